#pragma once

// The records of one show. Plain values: copied on assignment, compared
// member by member in declaration order, no back references. Nothing here
// checks that ids are unique or that references resolve.

#include "model/midi_status_type.h"
#include "model/uuid.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

using Timestamp = std::chrono::sys_seconds; // projects store whole seconds, UTC

enum class EndpointKind { physical, virtual_, rtp };
enum class EndpointRole { source, destination };
enum class RTPRole { listener, initiator };
enum class NetworkMIDI2Role { host, client };

std::string_view rawValue(EndpointKind kind);
std::string_view rawValue(EndpointRole role);
std::string_view rawValue(RTPRole role);
std::optional<EndpointKind> endpointKindFromRaw(std::string_view raw);
std::optional<EndpointRole> endpointRoleFromRaw(std::string_view raw);
std::optional<RTPRole> rtpRoleFromRaw(std::string_view raw);
std::string_view rawValue(NetworkMIDI2Role role);
std::optional<NetworkMIDI2Role> networkMIDI2RoleFromRaw(std::string_view raw);

struct EndpointKey {
    EndpointKind kind = EndpointKind::physical;
    std::string name;
    std::optional<std::int32_t> uniqueID;

    EndpointKey() = default;
    EndpointKey(EndpointKind k, std::string n, std::optional<std::int32_t> uid = std::nullopt)
        : kind(k), name(std::move(n)), uniqueID(uid)
    {
    }

    // "<kind>:<uniqueID>" or "<kind>:<name>".
    std::string id() const;

    // Same endpoint? Looser than ==: equal non-zero unique ids win over names.
    static bool matches(const EndpointKey &a, const EndpointKey &b);

    friend bool operator==(const EndpointKey &, const EndpointKey &) = default;
};

struct DeviceRef {
    Uuid id = Uuid::create();
    EndpointKey key;
    EndpointRole role = EndpointRole::source;
    std::string nickname;

    friend bool operator==(const DeviceRef &, const DeviceRef &) = default;
};

struct Route {
    Uuid id = Uuid::create();
    std::string name = "Route";
    bool enabled = true;
    EndpointKey source;
    std::vector<EndpointKey> destinations;
    std::uint16_t channelMask = 0xFFFF; // bit n-1 = channel n
    std::optional<Uuid> filterChainID;

    Route() = default;
    explicit Route(EndpointKey src) : source(std::move(src)) {}

    // Whether `mask` lets a message starting with `status` through: only
    // channel messages (0x80…0xEF) are masked.
    static bool passesChannel(std::uint16_t mask, std::uint8_t status)
    {
        return status < 0x80 || status > 0xEF || ((mask >> (status & 0x0F)) & 1u);
    }

    friend bool operator==(const Route &, const Route &) = default;
};

struct FilterStep {
    enum class Kind { channelRemap, transpose, velocity, noteRange, ccRange, messageTypeFilter };

    Uuid id = Uuid::create();
    Kind kind = Kind::channelRemap;
    bool enabled = true;
    // Entries beyond int in a file are read as the nearest int: past 16 or
    // below 1 they act alike.
    std::optional<std::vector<int>> channelMap;
    std::optional<std::int64_t> transpose;
    std::optional<double> velocityScale;
    std::optional<std::int64_t> velocityOffset;
    std::optional<std::int64_t> noteLow;
    std::optional<std::int64_t> noteHigh;
    std::optional<std::int64_t> ccLow;
    std::optional<std::int64_t> ccHigh;
    std::optional<std::vector<MIDIStatusType>> blockedTypes;

    FilterStep() = default;
    // A new id, enabled, and the preset parameters of the kind.
    explicit FilterStep(Kind kind);

    friend bool operator==(const FilterStep &, const FilterStep &) = default;
};

inline constexpr FilterStep::Kind kAllFilterStepKinds[] = {
    FilterStep::Kind::channelRemap, FilterStep::Kind::transpose, FilterStep::Kind::velocity,
    FilterStep::Kind::noteRange,    FilterStep::Kind::ccRange,   FilterStep::Kind::messageTypeFilter,
};
std::string_view rawValue(FilterStep::Kind kind); // also its id
std::string_view label(FilterStep::Kind kind);    // French editor label
std::optional<FilterStep::Kind> filterStepKindFromRaw(std::string_view raw);

struct FilterChain {
    Uuid id = Uuid::create();
    std::string name;
    std::vector<FilterStep> steps;

    FilterChain() = default;
    explicit FilterChain(std::string n) : name(std::move(n)) {}

    friend bool operator==(const FilterChain &, const FilterChain &) = default;
};

struct RTPSessionConfig {
    Uuid id = Uuid::create();
    std::string name = "TOV-Net";
    bool enabled = true;
    RTPRole role = RTPRole::listener;
    // A file may hold any 64-bit integer here; one beyond int is read as
    // the nearest int, which the session refuses like any port out of range.
    int localPort = 5004;    // control port; data port is localPort + 1
    std::string bindAddress; // empty: all interfaces
    std::string remoteHost;  // initiator only
    int remotePort = 5004;   // initiator only
    // RFC 6295 recovery journal, sent and read. Stored only when off.
    bool recoveryJournal = true;
    // Who may join by invitation: everyone, or only the hosts listed (IPv4
    // addresses and CIDR subnets). Both stored only when not the default.
    bool onlyAllowedHosts = false;
    std::vector<std::string> allowedHosts{};

    friend bool operator==(const RTPSessionConfig &, const RTPSessionConfig &) = default;
};

// A Network MIDI 2.0 (UDP) session: a host listens on its port and accepts
// invitations; a client invites one host. Its UMPs travel on one group.
struct NetworkMIDI2SessionConfig {
    static constexpr int defaultPort = 5673;
    static constexpr int maxFecDepth = 10;
    static constexpr int maxRetransmitBufferSize = 1000;

    Uuid id = Uuid::create();
    std::string name = "TOV-Net2";
    bool enabled = true;
    NetworkMIDI2Role role = NetworkMIDI2Role::host;
    // Ports beyond int in a file are read as the nearest int, which the
    // session refuses like any port outside 1...65535.
    int localPort = defaultPort;
    std::string remoteHost; // client only
    int remotePort = defaultPort;
    int fecDepth = 2;              // earlier UMP Data commands repeated in each datagram
    int retransmitBufferSize = 50; // commands kept to answer retransmit requests
    int group = 0;                 // 0...15: UMP group 1...16

    friend bool operator==(const NetworkMIDI2SessionConfig &, const NetworkMIDI2SessionConfig &) = default;
};

struct VirtualPortConfig {
    Uuid id = Uuid::create();
    std::string name = "KORVANE Bus";
    bool createsSource = true;
    bool createsDestination = true;

    friend bool operator==(const VirtualPortConfig &, const VirtualPortConfig &) = default;
};

struct AssetRef {
    Uuid id = Uuid::create();
    std::string filename; // bare name inside the package's assets folder
    std::string label;
    std::string kind = "other";

    friend bool operator==(const AssetRef &, const AssetRef &) = default;
};

struct ProjectSettings {
    bool startEngineOnOpen = true;
    bool panicOnStop = true;
    std::int64_t monitorBufferSize = 500;

    friend bool operator==(const ProjectSettings &, const ProjectSettings &) = default;
};

Timestamp currentTimestamp();

struct TOVProject {
    static constexpr int currentFormatVersion = 1;

    Uuid id = Uuid::create();
    std::string name = "Nouveau projet";
    Timestamp createdAt = currentTimestamp();
    Timestamp modifiedAt = currentTimestamp();
    std::string notes;
    std::int64_t formatVersion = currentFormatVersion;
    std::vector<DeviceRef> devices;
    std::vector<Route> routes;
    std::vector<FilterChain> filterChains;
    std::vector<RTPSessionConfig> rtpSessions;
    std::vector<NetworkMIDI2SessionConfig> networkMidi2Sessions; // written only when not empty
    std::vector<VirtualPortConfig> virtualPorts;
    std::vector<AssetRef> assets;
    ProjectSettings settings;

    // First chain with that id, in list order.
    std::optional<FilterChain> filterChain(const std::optional<Uuid> &id) const;
    const FilterChain *findFilterChain(const std::optional<Uuid> &id) const;

    friend bool operator==(const TOVProject &, const TOVProject &) = default;
};

} // namespace korvane
