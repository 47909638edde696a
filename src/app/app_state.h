#pragma once

#include "app/user_prompts.h"
#include "model/project.h"

#include <QObject>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QTimer;

namespace korvane {

class MIDIEngine;
class MIDIMonitor;
class MIDIRouter;
class MidiService;
class NetworkMIDI2Manager;
class RTPDiscovery;
class RTPManager;
struct DiscoveredPeer;

// The one controller: owns the open project and the five services, applies
// the one to the other and offers every user operation. Main thread only,
// apart from the two MIDI callbacks wired in the constructor, which reach the
// router and the RTP manager through weak references and never touch state.
class AppState : public QObject {
    Q_OBJECT

public:
    // The MIDI service is injected so tests can run the controller on the
    // in-process loopback backend; the program passes the JACK backend.
    AppState(std::shared_ptr<MidiService> midiService, std::shared_ptr<UserPrompts> prompts,
             QObject *parent = nullptr);
    ~AppState() override;

    const TOVProject &project() const { return m_project; }
    // The mutation entry point for every edit of the project: runs the edit,
    // then announces one change (marks dirty unless a whole project is being
    // installed, and re-sends routes and chains on the next event-loop pass).
    void mutateProject(const std::function<void(TOVProject &)> &edit);
    void setProject(TOVProject project);

    const std::optional<std::filesystem::path> &projectURL() const { return m_projectURL; }
    bool dirty() const { return m_dirty; }
    const std::string &statusMessage() const { return m_statusMessage; }
    bool isApplyingLoad() const { return m_isApplyingLoad; }

    MIDIEngine &engine() const { return *m_engine; }
    MIDIRouter &router() const { return *m_router; }
    MIDIMonitor &monitor() const { return *m_monitor; }
    RTPManager &rtp() const { return *m_rtp; }
    NetworkMIDI2Manager &networkMidi2() const { return *m_midi2; }
    RTPDiscovery &discovery() const { return *m_discovery; }

    // Project lifecycle
    void newProject();
    void openProject();
    // Loads the given package; false (with the error presented) when it fails.
    bool openProjectAt(const std::filesystem::path &url);
    void save();
    void saveAs();
    void applyAll();
    void applyVirtualPorts();
    void applyNetwork();
    void markDirty();
    std::string windowTitle() const;

    // Engine
    void startEngine();
    void stopEngine();
    void panic();

    // Supervision: while the user wants the engine running (the show starts
    // it on open, or Start was asked for), a missing or restarted MIDI server
    // is tried again every `engineRetryInterval`; once it answers, the
    // engine and the show's virtual ports are back. Stop ends the wish.
    bool engineWanted() const { return m_engineWanted; }
    std::chrono::milliseconds engineRetryInterval() const;
    void setEngineRetryInterval(std::chrono::milliseconds interval);

    // Routing matrix
    std::vector<EndpointKey> availableSourceKeys() const;
    std::vector<EndpointKey> availableDestinationKeys() const;
    void addRoute(const EndpointKey &source, const EndpointKey &destination);
    void toggleMatrix(const EndpointKey &source, const EndpointKey &destination);
    bool hasMatrixConnection(const EndpointKey &source, const EndpointKey &destination) const;

    // Devices
    std::string nickname(const EndpointKey &key) const;
    std::string displayName(const EndpointKey &key) const;
    void setNickname(const std::string &nickname, const EndpointKey &key, EndpointRole role);
    void removeDevice(const EndpointKey &key);

    // Network
    // A Network MIDI 2.0 host gets a client session, an RTP-MIDI participant an initiator.
    void connectToDiscovered(const DiscoveredPeer &peer);
    // wanted, or wanted followed by " (2)", " (3)"... : no session of either kind has it.
    static std::string uniqueSessionName(const TOVProject &project, const std::string &wanted);
    int freeLocalPort() const;

    // Messages lost since start, by where: the MIDI service and its
    // buffers, in-cycle routing to the network, system-exclusive messages
    // abandoned at a destination, monitor records. Refreshed every second.
    struct Losses {
        std::uint64_t midi = 0;
        std::uint64_t network = 0;
        std::uint64_t sysex = 0;
        std::uint64_t monitor = 0;
        std::uint64_t total() const { return midi + network + sysex + monitor; }
        friend bool operator==(const Losses &, const Losses &) = default;
    };
    const Losses &losses() const { return m_losses; }
    // Lines about the routing (held notes released, limits reached), newest last.
    const std::deque<std::string> &logLines() const { return m_logLines; }
    static constexpr std::size_t maxLogLines = 200;

    // Device presence
    const std::vector<EndpointKey> &missingDevices() const { return m_missingDevices; }
    const std::set<std::string> &acknowledgedMissing() const { return m_acknowledgedMissing; }
    std::vector<EndpointKey> activeMissing() const;
    void refreshMissing();
    void acknowledgeMissing();

    // Internal steps, public for the shell and tests.
    void advertiseListener();
    bool persist(const std::filesystem::path &url);
    void presentError(const std::string &description);

signals:
    // Announced on every change of published state, including any service's.
    void changed();
    void projectChanged();
    void projectURLChanged();
    void dirtyChanged(bool dirty);
    void statusMessageChanged(const QString &message);
    void missingDevicesChanged();
    void lossesChanged();
    void logLineAdded(const QString &line);

private:
    void applyAll(bool followStartSetting);
    void setStatus(std::string text);
    void setDirty(bool dirty);
    void setProjectURL(std::optional<std::filesystem::path> url);
    void scheduleProjectDelivery();
    void deliverProject();
    void superviseEngine();
    void retryEngine();
    void refreshLosses();
    void appendLog(std::string line);

    std::shared_ptr<UserPrompts> m_prompts;

    TOVProject m_project;
    std::optional<std::filesystem::path> m_projectURL;
    bool m_dirty = false;
    std::string m_statusMessage = "Prêt";
    std::vector<EndpointKey> m_missingDevices;
    std::set<std::string> m_acknowledgedMissing;
    bool m_isApplyingLoad = false;
    bool m_projectDeliveryPending = false;
    bool m_engineWanted = false;
    QTimer *m_engineRetry = nullptr;
    QTimer *m_lossesTimer = nullptr;
    Losses m_losses;
    std::deque<std::string> m_logLines;
    std::shared_ptr<void> m_alive = std::make_shared<int>(0);

    std::shared_ptr<MIDIEngine> m_engine;
    std::shared_ptr<MIDIRouter> m_router;
    std::shared_ptr<MIDIMonitor> m_monitor;
    std::shared_ptr<RTPManager> m_rtp;
    std::shared_ptr<NetworkMIDI2Manager> m_midi2;
    std::shared_ptr<RTPDiscovery> m_discovery;
};

// "Pertes : 3 messages (sorties MIDI 2, réseau 1, SysEx abandonnés 0, moniteur 0)".
std::string lossesText(const AppState::Losses &losses);

} // namespace korvane
