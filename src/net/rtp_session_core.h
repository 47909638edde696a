#pragma once

// The AppleMIDI session logic of one RTP-MIDI session, without sockets,
// threads or clock: the peer table, both handshakes, the invitation retries,
// clock synchronisation, liveness, receiver feedback and the delivery of
// received MIDI (with segmented system-exclusive reassembly). The session
// thread feeds it datagrams, the time and resolver answers; it answers with
// datagrams to send, log lines and change flags (Output), and tells when it
// next wants to be called (nextDeadline). Not thread-safe: one thread drives it.
//
// Peer stages (key: the peer's control address, so two sessions of one host
// are two peers):
//
//   IN on control ──> invitedControl ── IN on data ──> established
//   (cap: 32 peers, else NO)       (IN on data from anyone else: NO)
//
//   established ── BY, or silent longer than its timeout ──> removed
//   (timeout: 30 s for the peer we invited, which answers our CK every 10 s;
//    61 s for a peer that invited us, since it may sync only once a minute;
//    a peer removed for silence is sent a BY)
//
// Our own invitation (role initiator), one remote:
//
//   resolving ──> inviting on control ── OK ──> inviting on data ── OK ──> established
//       │  (IN every 1 s for 12 tries, then every 10 s, for as long as it takes;
//       │   NO: back to control at the slow pace)
//       └─ host not found: resolved again every 10 s
//   established ── BY or timeout ──> inviting on control (same schedule)

#include "midi/midi_message.h"
#include "model/project.h"
#include "net/apple_midi.h"
#include "net/rtp_journal_state.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

// An IPv4 address and UDP port, both in host order.
struct NetAddress {
    std::uint32_t ip = 0;
    std::uint16_t port = 0;

    std::string ipString() const;
    std::string text() const; // "a.b.c.d:port"
    friend auto operator<=>(const NetAddress &, const NetAddress &) = default;
};

enum class RTPSocket { control, data };

// Every duration of the session protocol, so tests can shorten them.
struct RTPSessionTiming {
    std::chrono::milliseconds clockPeriod{std::chrono::seconds(10)};
    std::chrono::milliseconds livenessPeriod{std::chrono::seconds(10)};
    std::chrono::milliseconds peerTimeout{std::chrono::seconds(30)};       // peers we invited
    std::chrono::milliseconds syncedPeerTimeout{std::chrono::seconds(61)}; // peers that invited us
    std::chrono::milliseconds inviteFastPeriod{std::chrono::seconds(1)};
    int inviteFastTries = 12;
    std::chrono::milliseconds inviteSlowPeriod{std::chrono::seconds(10)};
    std::chrono::milliseconds feedbackPeriod{std::chrono::seconds(1)};
    std::chrono::milliseconds openRetryPeriod{std::chrono::seconds(3)};   // sockets that failed to open
    std::chrono::milliseconds strangerByePeriod{std::chrono::seconds(1)}; // per address
};

enum class RTPSessionState {
    starting,
    listening,
    portBusy,
    addressUnavailable,
    invalidPort,
    hostNotFound,
    stopped
};
std::string_view toString(RTPSessionState state);

struct RTPPeerStatus {
    std::string label;
    std::string address; // control address, "a.b.c.d:port"
    bool invitedByUs = false;
    std::optional<double> roundTripMs; // from the last complete clock exchange
    friend bool operator==(const RTPPeerStatus &, const RTPPeerStatus &) = default;
};

struct RTPSessionStatus {
    RTPSessionState state = RTPSessionState::starting;
    std::vector<RTPPeerStatus> peers; // established ones
    std::uint64_t droppedPackets = 0; // outgoing MIDI packets that could not be sent
    std::uint64_t latePackets = 0;    // received late or twice, dropped
    friend bool operator==(const RTPSessionStatus &, const RTPSessionStatus &) = default;
};

class RTPSessionCore {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    // origin: non-zero, unique in the process for one established period of
    // one peer; a peer that joins again gets a new one.
    using MessageSink = std::function<void(const MIDIMessage &, std::uint64_t origin)>;

    static constexpr std::size_t maxPeers = 32;
    static constexpr std::size_t maxNameLength = 64; // code points
    static constexpr int maxLogLinesPerSecond = 20;
    static constexpr std::size_t maxOpenSysex = 16;
    static constexpr std::size_t maxStrangersPerPeriod = 1024; // answered with a BY

    struct Datagram {
        RTPSocket socket = RTPSocket::control;
        NetAddress to;
        AppleMIDI::Bytes bytes;
    };

    // What one call made the session do. The driver reuses one Output and
    // clears it before each call, so the data path allocates nothing.
    struct Output {
        std::vector<Datagram> datagrams;
        std::vector<std::string> logs; // whole lines, "RTP <name>: ..."
        bool peersChanged = false;     // the established set or a label changed
        bool statusChanged = false;    // round-trip times or the state changed
        bool resolve = false;          // resolve config.remoteHost, answer with remoteResolved
        // Established periods that ended, after their last message was delivered.
        std::vector<std::uint64_t> originsGone;
        // Receiver feedback: the highest sequence number a peer has from us.
        bool acknowledged = false;
        void clear();
        bool empty() const;
    };

    // onReceive gets every MIDI message established peers send, in order.
    RTPSessionCore(RTPSessionConfig config, std::string localName, std::uint32_t ssrc,
                   std::uint32_t initiatorToken, RTPSessionTiming timing, MessageSink onReceive);

    // Both sockets are bound: log, arm liveness, and for an initiator ask for
    // the remote's address (Output::resolve).
    void started(TimePoint now, Output &out);
    // The resolver's answer (host order), nothing when the host was not found.
    void remoteResolved(std::optional<std::uint32_t> ip, TimePoint now, Output &out);
    void datagram(AppleMIDI::ByteView bytes, NetAddress from, RTPSocket socket, TimePoint now, Output &out);
    // Runs whatever is due; call at nextDeadline() (earlier calls are harmless).
    void timers(TimePoint now, Output &out);
    std::optional<TimePoint> nextDeadline() const;
    // BY to every peer, "arrêté"; the core does nothing afterwards.
    void stop(TimePoint now, Output &out);
    // A line the driver itself has to say (socket failures), under the same
    // prefix and rate limit.
    void log(TimePoint now, const std::string &text, Output &out);

    std::vector<NetAddress> establishedDataAddresses() const;
    std::vector<std::string> peerLabels() const; // established peers, table order
    std::vector<RTPPeerStatus> peerStatuses() const;
    bool hostNotFound() const { return m_remote && m_remote->phase == Remote::Phase::unresolved; }
    bool remoteEstablished() const { return m_remote && m_remote->phase == Remote::Phase::established; }
    // True when every established peer has acknowledged sequence (RS) or a
    // later one, 16-bit sequence arithmetic.
    bool acknowledgedByAll(std::uint16_t sequence) const;
    std::uint64_t latePackets() const { return m_latePackets; }
    // The oldest acknowledgement among established peers, as a distance back
    // from lastSent; nothing while a peer has acknowledged nothing yet.
    std::optional<std::uint16_t> oldestAcknowledged(std::uint16_t lastSent) const;

    // Control characters replaced, cut at maxNameLength code points.
    static std::string sanitizeName(const std::string &name);
    // Dotted-decimal IPv4 (host order), nothing for anything else.
    static std::optional<std::uint32_t> parseIPv4(const std::string &text);
    // "a.b.c.d" or "a.b.c.d/n" (0..32): address and mask, nothing when invalid.
    static std::optional<std::pair<std::uint32_t, std::uint32_t>> parseSubnet(const std::string &text);

private:
    enum class Stage { invitedControl, invitedData, established };

    struct Peer {
        NetAddress control;
        NetAddress data;
        std::uint32_t ssrc = 0;
        std::string name;
        Stage stage = Stage::invitedControl;
        bool invitedByUs = false;
        TimePoint lastSeen;
        std::optional<std::uint64_t> roundTripTicks;
        std::uint64_t origin = 0;                  // while established
        std::optional<std::uint16_t> acknowledged; // our last packet it reported (RS)
        // Receiving side.
        std::optional<std::uint16_t> highestSequence; // in this period
        RecoveryJournal::JournalReceiver journal;
        bool feedbackPending = false;
        TimePoint feedbackDue;
        AppleMIDI::SysexReassembler sysex;

        std::string label() const { return name.empty() ? control.ipString() : name; }
    };

    struct Remote {
        enum class Phase { resolving, unresolved, control, data, established };
        Phase phase = Phase::resolving;
        NetAddress control;
        NetAddress data;
        int tries = 0;
        bool slowLogged = false;
        bool lookUpForSlowTry = false; // the lookup under way was for a slow try
        TimePoint due;
    };

    using Peers = std::map<NetAddress, Peer>;

    void handleExchange(const AppleMIDI::Exchange &exchange, NetAddress from, RTPSocket socket, TimePoint now,
                        Output &out);
    void handleInvitation(const AppleMIDI::Exchange &exchange, NetAddress from, RTPSocket socket,
                          TimePoint now, Output &out);
    void handleOK(const AppleMIDI::Exchange &exchange, NetAddress from, RTPSocket socket, TimePoint now,
                  Output &out);
    void handleClock(const AppleMIDI::ClockSync &sync, NetAddress from, TimePoint now, Output &out);
    void handleData(AppleMIDI::ByteView bytes, Peer &peer, TimePoint now, Output &out);
    void onSegment(const AppleMIDI::SysexSegment &segment);

    Peers::iterator findByData(NetAddress from);
    Peers::iterator findBy(NetAddress from, RTPSocket socket);
    // A peer that was established stays in the same period unless its SSRC changed.
    void establish(Peer &peer, std::uint32_t ssrc, TimePoint now, Output &out);
    void deliver(const MIDIMessage &message);
    void removePeer(Peers::iterator it, TimePoint now, Output &out);
    // A new invitation series; a remote given by name is looked up first.
    void beginInvitations(TimePoint now, Output &out, bool lookUp = true);
    void byeToStranger(NetAddress from, RTPSocket socket, TimePoint now, Output &out);
    bool allowed(std::uint32_t ip) const;
    void logState(const std::string &text, Output &out);
    void sendInvitation(TimePoint now, Output &out);
    void runInvitations(TimePoint now, Output &out);
    void checkLiveness(TimePoint now, Output &out);
    void sendFeedback(Peer &peer, TimePoint now, Output &out);
    void flushSkippedLogs(TimePoint now, Output &out);
    bool isRemoteKey(NetAddress key) const { return m_remote && m_remote->control == key; }
    std::string remoteText() const;
    AppleMIDI::Bytes ownExchange(AppleMIDI::Command command, std::uint32_t token) const;
    void send(Output &out, RTPSocket socket, NetAddress to, AppleMIDI::Bytes bytes) const;

    const RTPSessionConfig m_config;
    const std::string m_localName;
    const std::uint32_t m_ssrc;
    const std::uint32_t m_initiatorToken;
    const RTPSessionTiming m_timing;
    const MessageSink m_onReceive;
    const std::string m_prefix; // "RTP <name>: "

    Peers m_peers;
    std::optional<Remote> m_remote;
    std::optional<TimePoint> m_clockDue;
    std::optional<TimePoint> m_livenessDue;
    bool m_running = false;

    Peer *m_segmentPeer = nullptr; // the peer whose packet is being decoded
    const std::function<void(const MIDIMessage &)> m_deliver;
    std::size_t m_openSysex = 0;
    RecoveryJournal::Journal m_journal; // decoding scratch
    std::uint64_t m_latePackets = 0;
    const std::function<void(const AppleMIDI::SysexSegment &)> m_segmentSink;

    TimePoint m_logWindowEnd;
    int m_logsInWindow = 0;
    std::uint64_t m_logsSkipped = 0;
    std::optional<TimePoint> m_lastCapLog;
    const bool m_remoteIsName;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_allowed; // address, mask
    std::map<NetAddress, TimePoint> m_lastStrangerBye;
    std::map<std::uint32_t, TimePoint> m_lastRefusalLog;
};

} // namespace korvane
