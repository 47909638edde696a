#include "midi/service/jack/jack_midi_service.h"

#include <jack/midiport.h>
#include <jack/thread.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>

namespace korvane {

namespace jackio {

// --- client

namespace {

// PipeWire's JACK reads PIPEWIRE_PROPS when a client opens. Set once, before
// the first client of the process, and left in place: changing the
// environment later could race other threads reading it.
void preparePipeWireClient()
{
    static std::once_flag once;
    std::call_once(once, [] {
        const char *props = std::getenv("PIPEWIRE_PROPS");
        const bool latencyGiven = std::getenv("PIPEWIRE_LATENCY") != nullptr;
        ::setenv("PIPEWIRE_PROPS", withPipeWireClientProps(props ? props : "", !latencyGiven).c_str(), 1);
    });
}

} // namespace

jack_client_t *JackMidiService::openOne(const std::string &name, MidiServiceStatus &status)
{
    if (m_onPipeWire)
        preparePipeWireClient();
    jack_status_t jackStatus{};
    int options = JackNoStartServer;
    if (!m_serverName.empty())
        options |= JackServerName;
    jack_client_t *client =
        m_serverName.empty()
            ? jack_client_open(name.c_str(), static_cast<jack_options_t>(options), &jackStatus)
            : jack_client_open(name.c_str(), static_cast<jack_options_t>(options), &jackStatus,
                               m_serverName.c_str());
    status = client ? MidiServiceStatus()
                    : MidiServiceStatus(MidiServiceError::serverUnreachable,
                                        jackStatus != 0 ? static_cast<int>(jackStatus) : JackFailure);
    return client;
}

MidiService::ClientResult JackMidiService::openClient(const std::string &name, NotificationHandler notify)
{
    if (m_main.client)
        return {MidiServiceError::alreadyOpen, 0};
    MidiServiceStatus status;
    m_main.client = openOne(name, status);
    if (!m_main.client)
        return {status, 0};
    m_main.name = jack_get_client_name(m_main.client);
    m_requestedName = name;

    m_notify = std::move(notify);
    m_dead = false;
    m_holdLimitFrames = jack_get_sample_rate(m_main.client) / 50; // 20 ms
    m_pump = std::make_unique<InputPump>(kInputRingBytes);
    m_pump->startThread();
    // Under a real-time server the input thread must make the next cycle too:
    // run it just below the process threads.
    if (jack_is_realtime(m_main.client)) {
        const int priority = jack_client_real_time_priority(m_main.client);
        if (priority > 1)
            jack_acquire_real_time_scheduling(m_pump->threadHandle(), priority - 1);
    }
    jack_set_process_callback(m_main.client, &JackMidiService::processMain, this);
    jack_set_port_registration_callback(m_main.client, &JackMidiService::onPortRegistration, this);
    jack_set_port_connect_callback(m_main.client, &JackMidiService::onPortConnect, this);
    jack_set_port_rename_callback(m_main.client, &JackMidiService::onPortRename, this);
    jack_set_property_change_callback(m_main.client, &JackMidiService::onPropertyChange, this);
    jack_on_shutdown(m_main.client, &JackMidiService::onShutdown, this);
    if (jack_activate(m_main.client) != 0) {
        closeClient(kClientHandle);
        return {{MidiServiceError::backendFailure, JackFailure}, 0};
    }
    return {{}, kClientHandle};
}

void JackMidiService::closeClient(Handle client)
{
    if (client != kClientHandle || !m_main.client)
        return;
    if (alive()) {
        for (auto &[handle, input] : m_sourceInputs)
            forgetMetadata(input.slot->port);
        // What was sent or published last (a panic right before a stop)
        // leaves before the ports go.
        std::vector<OutputPort> retired;
        {
            std::unique_lock lock(m_outputsMutex);
            for (auto *table : {&m_destinationOutputs, &m_virtualSources}) {
                for (auto &[handle, output] : *table)
                    retired.push_back(std::move(output));
                table->clear();
            }
        }
        retireOutputs(std::move(retired));
    }
    // Once deactivated (or once the server is gone) the process callback no
    // longer runs, so nothing needs waiting for.
    if (!m_dead)
        jack_deactivate(m_main.client);
    m_inputSlots.clear();
    m_main.outputs.clear();
    for (auto &output : m_realtimeOutputs)
        output.store(nullptr, std::memory_order_relaxed);
    {
        std::lock_guard lock(m_routingMutex);
        m_routing.store(nullptr, std::memory_order_seq_cst);
    }
    // A server that died may not have ended its last callback: nothing the
    // callback reads is freed before the client is closed.
    jack_client_close(m_main.client); // unregisters every port of ours
    m_main.client = nullptr;
    m_main.name.clear();
    {
        std::lock_guard lock(m_routingMutex);
        m_lastRun.store(nullptr, std::memory_order_seq_cst);
        releaseRetiredRoutings(true);
    }
    if (m_pump) {
        m_pump->stopThread();
        m_pumpDropped += m_pump->dropped();
    }
    m_pump.reset();
    {
        std::unique_lock lock(m_outputsMutex);
        m_destinationOutputs.clear();
        m_virtualSources.clear();
    }
    m_sourceInputs.clear();
    m_virtualDestinations.clear();
    m_stuck.clear();
    m_stuckInputs.clear();
    m_absentSince.clear();
    m_inputHandler.reset();
    m_outputPortOpen = false;
    m_notify = nullptr;
    m_dead = false;
    m_sourcesStale = false;
    m_destinationsStale = false;
}

// --- JACK's threads

int JackMidiService::processMain(jack_nframes_t frames, void *arg)
{
    auto *self = static_cast<JackMidiService *>(arg);
    jack_client_t *client = self->m_main.client;
    const std::uint64_t cycle = self->m_main.cycles.load(std::memory_order_relaxed);
    const jack_nframes_t cycleStart = jack_last_frame_time(client);
    const std::uint64_t holdLimit = self->m_holdLimitFrames.load(std::memory_order_relaxed);
    // Output buffers first: cleared, then what other threads queued goes out
    // at the cycle's start; routed events follow at their own times.
    self->m_main.outputs.forEach([&](Output &output) {
        output.drainInto(jack_port_get_buffer(output.port(), frames), cycle, cycleStart, holdLimit);
    });
    // Sequentially consistent with the swap and with the cycle count below:
    // a routing replaced before this load is never used after the count moves.
    const RealtimeRouting *routing = self->m_routing.load(std::memory_order_seq_cst);
    const RealtimeRouting *lastRun = self->m_lastRun.load(std::memory_order_relaxed);
    if (routing && lastRun && routing != lastRun)
        routing->takeOver(*lastRun);
    if (routing) {
        self->routeInCycle(*routing, frames, cycle);
    } else {
        bool queued = false;
        self->m_inputSlots.forEach([&](InputSlot &slot) {
            const std::uint32_t binding = slot.binding.load(std::memory_order_acquire);
            void *buffer = jack_port_get_buffer(slot.port, frames);
            const std::uint32_t count = jack_midi_get_event_count(buffer);
            for (std::uint32_t i = 0; i < count; ++i) {
                jack_midi_event_t event;
                if (binding == 0 || jack_midi_event_get(&event, buffer, i) != 0)
                    continue;
                const std::uint64_t micros = jack_frames_to_time(client, cycleStart + event.time);
                self->m_pump->push(binding, event.buffer, event.size, micros * 1000);
                queued = true;
            }
        });
        if (queued)
            self->m_pump->wake();
    }
    // The routing this cycle ran stays alive while it is the last one run:
    // the next routing takes its state over from it.
    self->m_lastRun.store(routing, std::memory_order_seq_cst);
    // Marks the end of every use of the routing loaded above.
    self->m_main.cycles.fetch_add(1, std::memory_order_seq_cst);
    return 0;
}

// Every input's events in time order across inputs, each routed into the
// output buffers of this cycle at its own frame.
void JackMidiService::routeInCycle(const RealtimeRouting &routing, jack_nframes_t frames,
                                   std::uint64_t cycle) noexcept
{
    std::size_t inputs = 0;
    m_inputSlots.forEach([&](InputSlot &slot) {
        // An input with no binding is disconnected or being retired.
        const Handle endpoint = slot.endpoint.load(std::memory_order_acquire);
        if (slot.binding.load(std::memory_order_acquire) == 0 || endpoint == 0)
            return;
        void *buffer = jack_port_get_buffer(slot.port, frames);
        const std::uint32_t count = jack_midi_get_event_count(buffer);
        CycleInput &input = m_cycleInputs[inputs];
        input = {endpoint, buffer, count, 0, {}};
        while (input.next < input.count && jack_midi_event_get(&input.event, buffer, input.next) != 0)
            ++input.next;
        if (input.next < input.count)
            ++inputs;
    });
    if (inputs == 0)
        return;

    struct Sink final : RealtimeSink {
        JackMidiService *self;
        std::uint64_t cycle;
        jack_nframes_t frame = 0;
        Handle owner = 0; // the input being routed
        bool write(Handle endpoint, std::span<const std::uint8_t> bytes, std::uint8_t flags) noexcept override
        {
            Output *output = endpoint < kMaxRealtimeHandles
                                 ? self->m_realtimeOutputs[endpoint].load(std::memory_order_acquire)
                                 : nullptr;
            if (!output) {
                self->m_outputCounters.failed.fetch_add(1, std::memory_order_relaxed);
                return false;
            }
            return output->writeNow(cycle, frame, bytes.data(), bytes.size(), owner, flags);
        }
    } sink;
    sink.self = this;
    sink.cycle = cycle;

    for (;;) {
        CycleInput *earliest = nullptr;
        for (std::size_t i = 0; i < inputs; ++i) {
            CycleInput &input = m_cycleInputs[i];
            if (input.next < input.count && (!earliest || input.event.time < earliest->event.time))
                earliest = &input;
        }
        if (!earliest)
            break;
        sink.frame = earliest->event.time;
        sink.owner = earliest->endpoint;
        routing.route(earliest->endpoint,
                      std::span<const std::uint8_t>(earliest->event.buffer, earliest->event.size), sink);
        do
            ++earliest->next;
        while (earliest->next < earliest->count &&
               jack_midi_event_get(&earliest->event, earliest->buffer, earliest->next) != 0);
    }
    routing.endCycle();
}

void JackMidiService::setRealtimeRouting(std::shared_ptr<const RealtimeRouting> routing)
{
    std::lock_guard lock(m_routingMutex);
    m_routing.store(routing.get(), std::memory_order_seq_cst);
    if (m_routingOwner)
        m_retiredRoutings.emplace_back(std::move(m_routingOwner),
                                       m_main.cycles.load(std::memory_order_seq_cst));
    m_routingOwner = std::move(routing);
    releaseRetiredRoutings(false);
    if (!m_retiredRoutings.empty() && alive()) {
        // Let the replaced routing go now (two cycles: one to stop using it,
        // one to no longer be the last run, a few milliseconds, bounded), so
        // what only its inputs held is released at once, outputs still there.
        if (waitForCycle(m_main) && waitForCycle(m_main))
            releaseRetiredRoutings(false);
    }
}

// With m_routingMutex held, or from closeClient once the callback has stopped.
void JackMidiService::releaseRetiredRoutings(bool all)
{
    // A cycle that could still hold a retired routing was running when it was
    // replaced; the count moves past the recorded one when that cycle ends.
    const std::uint64_t now = m_main.cycles.load(std::memory_order_seq_cst);
    const RealtimeRouting *lastRun = m_lastRun.load(std::memory_order_seq_cst);
    // Freed here, on this thread: a routing going away may hand what its
    // inputs held to the outputs (note-offs), so none of that happens in
    // the callback.
    std::erase_if(m_retiredRoutings, [&](const auto &retired) {
        return all || (now > retired.second && retired.first.get() != lastRun);
    });
    if (all)
        m_routingOwner.reset();
}

void JackMidiService::setRealtimeOutput(Handle handle, Output *output)
{
    if (handle < kMaxRealtimeHandles)
        m_realtimeOutputs[handle].store(output, std::memory_order_seq_cst);
    else if (output)
        m_limitRefusals.fetch_add(1, std::memory_order_relaxed);
}

// Notification thread: no JACK calls here, only a note for the main thread.
// One notification stands for every change until both lists are enumerated.
void JackMidiService::setupChanged()
{
    const bool sourcesWereStale = m_sourcesStale.exchange(true);
    const bool destinationsWereStale = m_destinationsStale.exchange(true);
    if ((!sourcesWereStale || !destinationsWereStale) && m_notify)
        m_notify(Notification::setupChanged);
}

void JackMidiService::onPortRegistration(jack_port_id_t, int, void *arg)
{
    static_cast<JackMidiService *>(arg)->setupChanged();
}

void JackMidiService::onPortConnect(jack_port_id_t, jack_port_id_t, int, void *arg)
{
    static_cast<JackMidiService *>(arg)->setupChanged();
}

void JackMidiService::onPortRename(jack_port_id_t, const char *, const char *, void *arg)
{
    static_cast<JackMidiService *>(arg)->setupChanged();
}

void JackMidiService::onPropertyChange(jack_uuid_t, const char *, jack_property_change_t, void *arg)
{
    static_cast<JackMidiService *>(arg)->setupChanged();
}

void JackMidiService::onShutdown(void *arg)
{
    auto *self = static_cast<JackMidiService *>(arg);
    // Both clients report it; one notification is enough.
    if (!self->m_dead.exchange(true) && self->m_notify)
        self->m_notify(Notification::shutdown);
}

MidiService::Losses JackMidiService::losses() const
{
    Losses losses;
    losses.refused = m_outputCounters.failed.load(std::memory_order_relaxed) + m_pumpDropped.load() +
                     m_limitRefusals.load(std::memory_order_relaxed);
    losses.abandonedSysex = m_outputCounters.abandoned.load(std::memory_order_relaxed);
    return losses;
}

// --- sending (any thread)

MidiServiceStatus JackMidiService::missingOutput() const
{
    return m_dead ? MidiServiceError::notOpen : MidiServiceError::unknownObject;
}

MidiServiceStatus JackMidiService::send(Handle outputPort, Handle destination, PacketList packets)
{
    std::shared_ptr<Output> output;
    {
        std::shared_lock lock(m_outputsMutex);
        auto it = m_destinationOutputs.find(destination);
        if (outputPort != kOutputPortHandle || it == m_destinationOutputs.end())
            return missingOutput();
        output = it->second.output;
    }
    return output->write(packets) ? MidiServiceStatus() : MidiServiceError::rejected;
}

MidiServiceStatus JackMidiService::publish(Handle ownVirtualSource, PacketList packets)
{
    std::shared_ptr<Output> output;
    {
        std::shared_lock lock(m_outputsMutex);
        auto it = m_virtualSources.find(ownVirtualSource);
        if (it == m_virtualSources.end())
            return missingOutput();
        output = it->second.output;
    }
    return output->write(packets) ? MidiServiceStatus() : MidiServiceError::rejected;
}

} // namespace jackio

bool jackLibraryIsPipeWire()
{
    // PipeWire's library reports "3.0.0.0 (using PipeWire 0.3.65)"; JACK2 its own version.
    const char *version = jack_get_version_string();
    return version && std::strstr(version, "PipeWire") != nullptr;
}

std::shared_ptr<MidiService> makeJackMidiService(std::string serverName)
{
    return std::make_shared<jackio::JackMidiService>(std::move(serverName));
}

MidiBackend jackMidiBackend()
{
    return {
        "jack",
        false,
        [] {
            jack_status_t status{};
            jack_client_t *probe = jack_client_open("korvane-probe", JackNoStartServer, &status);
            if (!probe)
                return false;
            jack_client_close(probe);
            return true;
        },
        [] { return makeJackMidiService(); },
    };
}

namespace {

bool allDigits(std::string_view text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Where the ALSA client number sits in a bridge port's name, if it is one.
// a2j (the ALSA-to-JACK MIDI bridge) names a port
// "<bridge>:<device> [<ALSA client number>] (capture|playback): <port>".
struct BridgeNumber {
    std::size_t begin = 0; // first digit
    std::size_t end = 0;   // the closing bracket
};

std::optional<BridgeNumber> findBridgeNumber(std::string_view fullName)
{
    const std::size_t colon = fullName.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    for (const std::string_view direction :
         {std::string_view("] (capture): "), std::string_view("] (playback): ")}) {
        const std::size_t close = fullName.find(direction, colon + 1);
        if (close == std::string_view::npos)
            continue;
        const std::size_t open = fullName.rfind(" [", close);
        if (open != std::string_view::npos && open > colon &&
            allDigits(fullName.substr(open + 2, close - open - 2)))
            return BridgeNumber{open + 2, close};
    }
    return std::nullopt;
}

std::int32_t hashID(std::string_view text)
{
    // FNV-1a, 32 bits.
    std::uint32_t hash = 2166136261u;
    for (const char c : text) {
        hash ^= static_cast<std::uint8_t>(c);
        hash *= 16777619u;
    }
    const auto id = static_cast<std::int32_t>(hash);
    return id != 0 ? id : 1;
}

} // namespace

std::int32_t jackPortUniqueID(std::string_view fullName)
{
    // The client number changes with every replug or reboot, so it is left
    // out: "a2j:Desk [24] (capture): Port 1" -> "a2j:Desk [] (capture): Port
    // 1". The empty brackets keep such names apart from any port that never
    // had a number. Every other name is used whole.
    const auto number = findBridgeNumber(fullName);
    if (!number)
        return hashID(fullName);
    std::string identity(fullName.substr(0, number->begin));
    identity.append(fullName.substr(number->end));
    return hashID(identity);
}

std::vector<std::int32_t> jackPortUniqueIDs(const std::vector<std::string> &fullNames)
{
    std::vector<std::int32_t> stable;
    stable.reserve(fullNames.size());
    for (const std::string &name : fullNames)
        stable.push_back(jackPortUniqueID(name));
    std::vector<std::int32_t> ids = stable;
    auto clientNumber = [&](std::size_t i) {
        const auto number = findBridgeNumber(fullNames[i]);
        return number ? std::stoull(fullNames[i].substr(number->begin, number->end - number->begin))
                      : std::numeric_limits<unsigned long long>::max();
    };
    for (std::size_t i = 0; i < ids.size(); ++i) {
        std::size_t keeper = i; // the lowest client number among those sharing ids[i]
        bool shared = false;
        for (std::size_t j = 0; j < ids.size(); ++j) {
            if (j == i || stable[j] != stable[i])
                continue;
            shared = true;
            if (std::pair(clientNumber(j), fullNames[j]) < std::pair(clientNumber(keeper), fullNames[keeper]))
                keeper = j;
        }
        if (shared && keeper != i)
            ids[i] = hashID(fullNames[i]);
    }
    return ids;
}

} // namespace korvane
