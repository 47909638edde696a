#include "midi/service/jack/jack_backend.h"

#include <jack/midiport.h>
#include <jack/thread.h>

#include <algorithm>
#include <limits>
#include <optional>

namespace korvane {

namespace jackio {

// --- client

jack_client_t *JackMidiService::openOne(const std::string &name, MidiServiceStatus &status)
{
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
    m_sends.client = openOne(m_main.name + " sends", status);
    if (!m_sends.client) {
        jack_client_close(m_main.client);
        m_main.client = nullptr;
        return {status, 0};
    }
    m_sends.name = jack_get_client_name(m_sends.client);

    m_notify = std::move(notify);
    m_dead = false;
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
    jack_set_process_callback(m_sends.client, &JackMidiService::processSends, this);
    jack_set_port_registration_callback(m_main.client, &JackMidiService::onPortRegistration, this);
    jack_set_port_connect_callback(m_main.client, &JackMidiService::onPortConnect, this);
    jack_set_port_rename_callback(m_main.client, &JackMidiService::onPortRename, this);
    jack_set_property_change_callback(m_main.client, &JackMidiService::onPropertyChange, this);
    jack_on_shutdown(m_main.client, &JackMidiService::onShutdown, this);
    jack_on_shutdown(m_sends.client, &JackMidiService::onShutdown, this);
    if (jack_activate(m_main.client) != 0 || jack_activate(m_sends.client) != 0) {
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
    // Once deactivated (or once the server is gone) the process callbacks no
    // longer run, so nothing needs waiting for.
    for (Side *side : {&m_main, &m_sends}) {
        if (!m_dead)
            jack_deactivate(side->client);
    }
    m_inputSlots.clear();
    for (Side *side : {&m_main, &m_sends}) {
        side->outputs.clear();
        jack_client_close(side->client); // unregisters every port of ours
        side->client = nullptr;
        side->name.clear();
    }
    if (m_pump)
        m_pump->stopThread();
    m_pump.reset();
    {
        std::unique_lock lock(m_outputsMutex);
        m_destinationOutputs.clear();
        m_virtualSources.clear();
    }
    m_sourceInputs.clear();
    m_virtualDestinations.clear();
    m_virtualDestinationBindings.clear();
    m_stuck.clear();
    m_stuckInputs.clear();
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
    const jack_nframes_t cycleStart = jack_last_frame_time(client);
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
    self->m_main.outputs.forEach(
        [&](Output &output) { output.drainInto(jack_port_get_buffer(output.port(), frames)); });
    self->m_main.cycles.fetch_add(1, std::memory_order_seq_cst);
    return 0;
}

int JackMidiService::processSends(jack_nframes_t frames, void *arg)
{
    auto *self = static_cast<JackMidiService *>(arg);
    self->m_sends.outputs.forEach(
        [&](Output &output) { output.drainInto(jack_port_get_buffer(output.port(), frames)); });
    self->m_sends.cycles.fetch_add(1, std::memory_order_seq_cst);
    return 0;
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
