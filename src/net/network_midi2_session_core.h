#pragma once

// The Network MIDI 2.0 (UDP) logic of one session, without sockets, threads
// or clock: the peer table, invitations, pings, the UMP Data sequence numbers
// both ways, forward error correction, retransmission, and the translation
// between UMPs and MIDI 1.0 messages. The driver feeds it datagrams, MIDI to
// send, the time and resolver answers; it answers with datagrams, log lines,
// received messages and change flags (Output) and tells when it next wants
// to be called (nextDeadline). Not thread-safe: the driver serialises every
// call (sends come from any thread, the rest from the session thread).
//
// Host (listens, accepts invitations, at most 32 peers):
//
//   Invitation ──> established ── Bye, or silent past peerTimeout ──> removed
//   (another Invitation from an established peer starts its session afresh)
//
// Client (one remote host):
//
//   resolving ──> inviting ── Accepted ──> established ── Bye / silence ──> inviting
//      │          (Invitation every 1 s for 12 tries, then every 10 s;
//      │           Pending or Authentication Required: every 10 s)
//      └─ host not found: resolved again every 10 s
//
// Sending: every UMP travels alone in its own UMP Data command, numbered per
// peer from 0; each datagram first repeats the peer's last fecDepth commands.
// The last retransmit-buffer commands answer Retransmit Requests. Shortly
// after the last data a NOOP command goes out, carrying those repeats, and a
// second one a little later, so a lost tail is repaired or at least noticed.
// Receiving: commands are delivered once, in sequence order. One that
// arrives after a gap waits (at most maxPending) while the missing ones are
// asked for (each hole as soon as it opens, then all of them again
// retransmitTimeout apart, retransmitAttempts times in all); then the first
// gap is skipped, counted and logged, and a system exclusive message it cut
// is dropped whole.

#include "midi/midi_message.h"
#include "model/project.h"
#include "net/network_midi2.h"
#include "net/rtp_session_core.h"
#include "net/ump_stream_responder.h"
#include "net/ump_translator.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

// Every duration of the protocol, so tests can shorten them.
struct NetworkMIDI2Timing {
    std::chrono::milliseconds pingPeriod{std::chrono::seconds(2)};
    std::chrono::milliseconds peerTimeout{std::chrono::seconds(10)};
    std::chrono::milliseconds inviteFastPeriod{std::chrono::seconds(1)};
    int inviteFastTries = 12;
    std::chrono::milliseconds inviteSlowPeriod{std::chrono::seconds(10)};
    std::chrono::milliseconds retransmitTimeout{100};
    int retransmitAttempts = 3;
    std::chrono::milliseconds tailDelay{10};
};

enum class NetworkMIDI2State {
    starting,
    listening,
    inviting,
    connected,
    refused,
    hostNotFound,
    portBusy,
    invalidPort,
    stopped
};
std::string_view toString(NetworkMIDI2State state);

struct NetworkMIDI2PeerStatus {
    std::string label;
    std::string address;               // "a.b.c.d:port"
    std::optional<double> roundTripMs; // from the last answered ping
    friend bool operator==(const NetworkMIDI2PeerStatus &, const NetworkMIDI2PeerStatus &) = default;
};

struct NetworkMIDI2Status {
    NetworkMIDI2State state = NetworkMIDI2State::starting;
    std::vector<NetworkMIDI2PeerStatus> peers; // established ones
    std::uint64_t dropped = 0;                 // UMPs and messages lost or refused since the start
    friend bool operator==(const NetworkMIDI2Status &, const NetworkMIDI2Status &) = default;
};

class NetworkMIDI2SessionCore {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using Bytes = NetworkMIDI2::Bytes;
    using ByteView = NetworkMIDI2::ByteView;

    static constexpr std::size_t maxPeers = 32;
    static constexpr std::size_t maxPending = 256; // commands held after a gap, per peer
    static constexpr int maxLogLinesPerSecond = 20;

    struct Received {
        std::uint64_t origin; // the sending peer's current established period
        MIDIMessage message;
    };

    // What one call made the session do. The driver reuses one Output per
    // calling side and clears it before each call.
    struct Output {
        struct Datagram {
            NetAddress to;
            std::size_t offset = 0;
            std::size_t size = 0;
        };
        Bytes bytes; // every datagram, back to back
        std::vector<Datagram> datagrams;
        std::vector<std::string> logs;          // whole lines, "NM2 <name>: ..."
        std::vector<Received> received;         // in order
        std::vector<std::uint64_t> originsGone; // each after its peer's last message above
        std::uint64_t dropped = 0;              // lost this call
        bool peersChanged = false;              // the established set or a label changed
        bool statusChanged = false;             // round trips or the state changed
        bool resolve = false;                   // resolve config.remoteHost, answer with remoteResolved
        bool wake = false;                      // a deadline was armed outside the session thread
        void clear();
        ByteView datagram(const Datagram &d) const { return ByteView(bytes).subspan(d.offset, d.size); }
    };

    // endpointName and productInstanceId are what invitations and their
    // replies, and the UMP endpoint notifications, announce.
    NetworkMIDI2SessionCore(NetworkMIDI2SessionConfig config, std::string endpointName,
                            std::string productInstanceId, NetworkMIDI2Timing timing = {});

    // The socket is bound: log, and for a client ask for the host's address.
    void started(TimePoint now, Output &out);
    // The resolver's answer (host order), nothing when the host was not found.
    void remoteResolved(std::optional<std::uint32_t> ip, TimePoint now, Output &out);
    void datagram(ByteView bytes, NetAddress from, TimePoint now, Output &out);
    // One MIDI 1.0 message to every established peer. False, and counted as
    // dropped, when it has no UMP form; true (nothing sent) without peers.
    bool send(std::span<const std::uint8_t> message, TimePoint now, Output &out);
    // Runs whatever is due; call at nextDeadline() (earlier calls are harmless).
    void timers(TimePoint now, Output &out);
    std::optional<TimePoint> nextDeadline() const;
    // Bye to every peer (and to a host being invited), "arrêté"; the core
    // does nothing afterwards.
    void stop(TimePoint now, Output &out);
    // A line the driver itself has to say, under the same prefix and limit.
    void log(TimePoint now, const std::string &text, Output &out);

    NetworkMIDI2State state() const;
    std::vector<NetworkMIDI2PeerStatus> peerStatuses() const;
    std::vector<std::string> peerLabels() const;

private:
    struct Sent {
        std::uint16_t sequence;
        UMP ump;
    };

    struct Peer {
        NetAddress address;
        std::string name;
        std::string productInstanceId;
        bool invitedByUs = false;
        TimePoint lastSeen;
        std::uint64_t origin = 0;
        // Sending.
        std::uint16_t lastSent = 0xFFFF; // the first command carries 0
        std::deque<Sent> history;
        std::optional<TimePoint> tailDue;
        int tailsLeft = 0;
        // Receiving.
        std::uint16_t lastReceived = 0xFFFF;
        std::map<std::uint16_t, std::vector<std::uint32_t>> pending;
        bool requesting = false;
        int attempts = 0;
        TimePoint requestDue;
        bool peerRetransmits = true;
        UMPTranslator translator;
        // Liveness.
        TimePoint pingDue;
        std::uint32_t nextPing = 0;
        std::map<std::uint32_t, TimePoint> pings; // outstanding, oldest dropped past a few
        std::optional<double> roundTripMs;

        std::string label() const { return name.empty() ? address.text() : name; }
    };

    struct Remote {
        enum class Phase { resolving, unresolved, inviting, pending, refused, established };
        Phase phase = Phase::resolving;
        NetAddress address;
        int tries = 0;
        bool quiet = false; // the current series has been logged
        TimePoint due;
    };

    using Peers = std::map<NetAddress, Peer>;

    void handle(const NetworkMIDI2::Command &c, NetAddress from, TimePoint now, Output &out);
    void handleInvitation(const NetworkMIDI2::Command &c, NetAddress from, TimePoint now, Output &out);
    void handleReply(const NetworkMIDI2::Command &c, NetAddress from, TimePoint now, Output &out);
    void handleData(Peer &peer, std::uint16_t sequence, const std::vector<std::uint32_t> &words,
                    TimePoint now, Output &out);
    void deliver(Peer &peer, std::span<const std::uint32_t> words, TimePoint now, Output &out);
    void drain(Peer &peer, TimePoint now, Output &out);
    // Asks for `count` commands from lastReceived + 1 + from.
    void requestMissing(Peer &peer, TimePoint now, Output &out, int from, int count);
    // Asks again for every hole before the commands held.
    void requestHoles(Peer &peer, TimePoint now, Output &out);
    void skipGap(Peer &peer, TimePoint now, Output &out);
    void answerRetransmit(Peer &peer, const NetworkMIDI2::Command &c, Output &out);
    void resetSequences(Peer &peer, Output &out);
    void sendUMPs(Peer &peer, std::span<const UMP> umps, TimePoint now, bool armTail, Output &out);
    void sendCommand(NetAddress to, const NetworkMIDI2::Command &c, Output &out);
    void refuseStranger(NetAddress from, TimePoint now, Output &out);
    Peer &establish(NetAddress address, const NetworkMIDI2::Command &c, bool invitedByUs, TimePoint now,
                    Output &out);
    void removePeer(Peers::iterator it, Output &out);
    void beginInvitations(TimePoint now, Output &out);
    void runInvitations(TimePoint now, Output &out);
    void checkPeers(TimePoint now, Output &out);
    void flushSkippedLogs(TimePoint now, Output &out);
    bool isRemote(NetAddress address) const { return m_remote && m_remote->address == address; }
    std::string remoteText() const;
    NetworkMIDI2::Command identity(NetworkMIDI2::CommandCode code) const;

    const NetworkMIDI2SessionConfig m_config;
    const std::string m_endpointName;
    const std::string m_productInstanceId;
    const NetworkMIDI2Timing m_timing;
    const std::string m_prefix; // "NM2 <name>: "
    const std::size_t m_historySize;
    const std::size_t m_fecDepth;
    const UMPStreamResponder m_responder;

    Peers m_peers;
    std::optional<Remote> m_remote;
    bool m_running = false;
    std::map<NetAddress, TimePoint> m_refused; // strangers told recently, bounded
    std::vector<UMP> m_umps;                   // scratch for send()
    std::optional<TimePoint> m_lastCapLog;

    TimePoint m_logWindowEnd;
    int m_logsInWindow = 0;
    std::uint64_t m_logsSkipped = 0;
};

} // namespace korvane
