#pragma once

#include "app/services.h"
#include "app/user_prompts.h"
#include "model/project.h"

#include <QObject>

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

class EngineSupervisor;
class MidiService;
struct DiscoveredPeer;

// The show's document and every user operation on it: open, save, the
// editing operations, device presence, and the services applied after the
// project (built and connected by Services). Main thread only.
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

    MIDIEngine &engine() { return m_services.engine(); }
    const MIDIEngine &engine() const { return m_services.engine(); }
    MIDIRouter &router() { return m_services.router(); }
    const MIDIRouter &router() const { return m_services.router(); }
    MIDIMonitor &monitor() { return m_services.monitor(); }
    const MIDIMonitor &monitor() const { return m_services.monitor(); }
    RTPManager &rtp() { return m_services.rtp(); }
    const RTPManager &rtp() const { return m_services.rtp(); }
    NetworkMIDI2Manager &networkMidi2() { return m_services.networkMidi2(); }
    const NetworkMIDI2Manager &networkMidi2() const { return m_services.networkMidi2(); }
    RTPDiscovery &discovery() { return m_services.discovery(); }
    const RTPDiscovery &discovery() const { return m_services.discovery(); }
    EngineSupervisor &supervisor() { return *m_supervisor; }
    const EngineSupervisor &supervisor() const { return *m_supervisor; }

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

    // Routing matrix
    std::vector<EndpointKey> availableSourceKeys() const { return m_services.routableSources(); }
    std::vector<EndpointKey> availableDestinationKeys() const { return m_services.routableDestinations(); }
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

    // Refreshed every second.
    const MessageLosses &losses() const { return m_losses; }
    // Lines about the routing (held notes released, limits reached), newest last.
    const std::deque<std::string> &logLines() const { return m_logLines; }
    static constexpr std::size_t maxLogLines = 200;

    // Device presence
    const std::vector<EndpointKey> &missingDevices() const { return m_missingDevices; }
    const std::set<std::string> &acknowledgedMissing() const { return m_acknowledgedMissing; }
    std::vector<EndpointKey> activeMissing() const;
    void refreshMissing();
    void acknowledgeMissing();

signals:
    void projectChanged();
    void projectURLChanged();
    void dirtyChanged(bool dirty);
    void statusMessageChanged(const QString &message);
    void missingDevicesChanged();
    void lossesChanged();
    void logLineAdded(const QString &line);

private:
    void applyAll(bool followStartSetting);
    bool persist(const std::filesystem::path &url);
    void presentError(const std::string &description);
    void setStatus(std::string text);
    void setDirty(bool dirty);
    void setProjectURL(std::optional<std::filesystem::path> url);
    void scheduleProjectDelivery();
    void deliverProject();
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
    QTimer *m_lossesTimer = nullptr;
    MessageLosses m_losses;
    std::deque<std::string> m_logLines;
    std::shared_ptr<void> m_alive = std::make_shared<int>(0);

    Services m_services;
    EngineSupervisor *m_supervisor = nullptr;
};

} // namespace korvane
