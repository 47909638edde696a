#include "midi/service/jack/jack_midi_service.h"

#include "midi/service/jack/jack_port_io.h"

#include <jack/metadata.h>
#include <jack/midiport.h>
#include <jack/thread.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <shared_mutex>
#include <thread>

namespace korvane {

namespace {

using jackio::InputPump;
using jackio::InputSlot;
using jackio::Output;

constexpr std::size_t kMaxInputPorts = 512;
constexpr std::size_t kMaxOutputPorts = 512;
constexpr std::size_t kInputRingBytes = std::size_t{1} << 18;
constexpr std::size_t kOutputRingBytes = std::size_t{1} << 16;
// Status for failures after the client was opened (JACK's own JackFailure bit).
constexpr int kFailure = JackFailure;

bool allDigits(std::string_view text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "in_<n>" of a client "<base>" or "<base>-<nn>" (JACK's name for a second
// instance), or "out_<n>" of that client's " sends" companion: the plumbing of
// another instance of this program on the same server, not an endpoint.
bool isInstancePlumbing(std::string_view base, std::string_view fullName)
{
    const auto colon = fullName.find(':');
    if (base.empty() || colon == std::string_view::npos)
        return false;
    std::string_view client = fullName.substr(0, colon);
    const std::string_view port = fullName.substr(colon + 1);
    auto isInstance = [&](std::string_view name) {
        if (!name.starts_with(base))
            return false;
        name.remove_prefix(base.size());
        return name.empty() || (name.front() == '-' && allDigits(name.substr(1)));
    };
    constexpr std::string_view sends = " sends";
    if (client.ends_with(sends)) {
        client.remove_suffix(sends.size());
        return isInstance(client) && port.starts_with("out_") && allDigits(port.substr(4));
    }
    return isInstance(client) && port.starts_with("in_") && allDigits(port.substr(3));
}

class JackMidiService final : public MidiService {
public:
    explicit JackMidiService(std::string serverName) : m_serverName(std::move(serverName)) {}
    ~JackMidiService() override { closeClient(kClientHandle); }

    ClientResult openClient(const std::string &name, NotificationHandler notify) override;
    void closeClient(Handle client) override;
    std::optional<Handle> createInputPort(Handle client, const std::string &name,
                                          InputHandler receive) override;
    std::optional<Handle> createOutputPort(Handle client, const std::string &name) override;
    void disposePort(Handle port) override;
    std::vector<EndpointDescription> sources() override { return enumerate(JackPortIsOutput); }
    std::vector<EndpointDescription> destinations() override { return enumerate(JackPortIsInput); }
    int connectSource(Handle inputPort, Handle source, Token token) override;
    int disconnectSource(Handle inputPort, Handle source) override;
    std::optional<Handle> createVirtualSource(Handle client, const std::string &name) override;
    std::optional<Handle> createVirtualDestination(Handle client, const std::string &name,
                                                   VirtualInputHandler receive) override;
    void disposeEndpoint(Handle endpoint) override;
    int send(Handle outputPort, Handle destination, PacketList packets) override;
    int publish(Handle ownVirtualSource, PacketList packets) override;

private:
    static constexpr Handle kClientHandle = 1;
    static constexpr Handle kInputPortHandle = 2;
    static constexpr Handle kOutputPortHandle = 3;
    static constexpr Handle kFirstEndpointHandle = 16;

    // One JACK client of ours, with the output ports its process callback drains.
    struct Side {
        jack_client_t *client = nullptr;
        std::string name;
        jackio::SlotTable<Output, kMaxOutputPorts> outputs;
        std::atomic<std::uint64_t> cycles{0};
    };

    // One of our input ports: per connected source, or an own virtual destination.
    struct InputPort {
        std::unique_ptr<InputSlot> slot;
        int index = -1;
        std::string peerName; // the source it listens to; empty for a virtual destination
        bool wanted = false;  // the source should be connected
    };
    // One of our output ports: per destination, or an own virtual source.
    struct OutputPort {
        Side *side = nullptr;
        std::shared_ptr<Output> output;
        int index = -1;
        std::string peerName; // the destination it feeds; empty for a virtual source
    };

    static int processMain(jack_nframes_t frames, void *arg);
    static int processSends(jack_nframes_t frames, void *arg);
    static void onPortRegistration(jack_port_id_t, int, void *arg);
    static void onPortConnect(jack_port_id_t, jack_port_id_t, int, void *arg);
    static void onPortRename(jack_port_id_t, const char *, const char *, void *arg);
    static void onPropertyChange(jack_uuid_t, const char *, jack_property_change_t, void *arg);
    static void onShutdown(void *arg);
    void setupChanged();

    bool alive() const { return m_main.client != nullptr && !m_dead.load(); }
    jack_client_t *openOne(const std::string &name, int &status);
    bool isOurPlumbing(jack_port_t *port, const std::string &fullName, Handle handle, bool source) const;
    Handle handleFor(const std::string &fullName);
    const std::string *nameOf(Handle handle) const;
    std::string displayName(jack_port_t *port, const std::string &fullName) const;
    std::vector<EndpointDescription> enumerate(unsigned long direction);
    void ensureConnected(jack_port_t *ours, const std::string &peer, bool oursIsOutput);
    void ensureOutputFor(Handle destination, const std::string &fullName);

    std::optional<InputPort> registerInput(const std::string &shortName);
    std::optional<OutputPort> registerOutput(Side &side, const std::string &shortName);
    // Take ports out of the process callback's view, wait until it is done
    // with them, then unregister them.
    void retireInputs(std::vector<InputPort> ports);
    void retireOutputs(std::vector<OutputPort> ports);
    // Returns whether the side's process callback finished a cycle since.
    bool waitForCycle(const Side &side);

    const std::string m_serverName;
    // The client other programs see: the per-source inputs and the own
    // virtual ports. Sends to destinations leave from a second client, so a
    // program that both sends to us and receives from us does not form a
    // loop in JACK's graph (a loop costs one more period on one of its edges).
    Side m_main;
    Side m_sends;
    std::string m_requestedName;
    NotificationHandler m_notify;
    std::atomic<bool> m_dead{false};
    // Set by notifications, cleared by the enumeration that will see the change.
    std::atomic<bool> m_sourcesStale{false};
    std::atomic<bool> m_destinationsStale{false};

    // Read by the main client's process callback.
    jackio::SlotTable<InputSlot, kMaxInputPorts> m_inputSlots;
    std::unique_ptr<InputPump> m_pump;

    // Main thread only.
    std::shared_ptr<const InputHandler> m_inputHandler;
    bool m_outputPortOpen = false;
    std::uint64_t m_portCounter = 0;
    std::map<std::string, Handle> m_handles;
    std::vector<std::string> m_names; // by handle - kFirstEndpointHandle
    std::map<Handle, InputPort> m_sourceInputs;
    std::map<Handle, InputPort> m_virtualDestinations;
    std::map<Handle, std::uint32_t> m_virtualDestinationBindings;
    // Retired while a process callback could still see them (stalled or
    // vanished server): freed once the clients are closed.
    std::vector<std::shared_ptr<Output>> m_stuck;
    std::vector<std::unique_ptr<InputSlot>> m_stuckInputs;

    // Looked up by senders on any thread.
    mutable std::shared_mutex m_outputsMutex;
    std::map<Handle, OutputPort> m_destinationOutputs;
    std::map<Handle, OutputPort> m_virtualSources;
};

// --- client

jack_client_t *JackMidiService::openOne(const std::string &name, int &status)
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
    status = client ? 0 : (jackStatus != 0 ? static_cast<int>(jackStatus) : kFailure);
    return client;
}

MidiService::ClientResult JackMidiService::openClient(const std::string &name, NotificationHandler notify)
{
    if (m_main.client)
        return {kFailure, 0};
    int status = 0;
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
        return {kFailure, 0};
    }
    return {0, kClientHandle};
}

void JackMidiService::closeClient(Handle client)
{
    if (client != kClientHandle || !m_main.client)
        return;
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

// --- endpoints

MidiService::Handle JackMidiService::handleFor(const std::string &fullName)
{
    auto [it, inserted] = m_handles.try_emplace(fullName, 0);
    if (inserted) {
        it->second = kFirstEndpointHandle + static_cast<Handle>(m_names.size());
        m_names.push_back(fullName);
    }
    return it->second;
}

const std::string *JackMidiService::nameOf(Handle handle) const
{
    if (handle < kFirstEndpointHandle || handle - kFirstEndpointHandle >= m_names.size())
        return nullptr;
    return &m_names[handle - kFirstEndpointHandle];
}

std::string JackMidiService::displayName(jack_port_t *port, const std::string &fullName) const
{
    const Handle handle = m_handles.at(fullName);
    if (m_virtualSources.count(handle) || m_virtualDestinations.count(handle))
        return jack_port_short_name(port);
    char *value = nullptr;
    char *type = nullptr;
    std::string name;
    if (jack_get_property(jack_port_uuid(port), JACK_METADATA_PRETTY_NAME, &value, &type) == 0 && value)
        name = value;
    if (value)
        jack_free(value);
    if (type)
        jack_free(type);
    return name.empty() ? fullName : name;
}

std::vector<MidiService::EndpointDescription> JackMidiService::enumerate(unsigned long direction)
{
    const bool wantSources = direction == JackPortIsOutput;
    // Every change reported so far is seen by this enumeration.
    (wantSources ? m_sourcesStale : m_destinationsStale) = false;
    std::vector<EndpointDescription> result;
    if (!alive())
        return result;
    std::set<std::string> present;
    if (const char **names = jack_get_ports(m_main.client, nullptr, JACK_DEFAULT_MIDI_TYPE, direction)) {
        for (const char **n = names; *n; ++n) {
            jack_port_t *port = jack_port_by_name(m_main.client, *n);
            if (!port)
                continue;
            const std::string fullName = *n;
            const Handle handle = handleFor(fullName);
            if (isOurPlumbing(port, fullName, handle, wantSources))
                continue;
            present.insert(fullName);
            result.push_back({handle, displayName(port, fullName), jackPortUniqueID(fullName), false});
            if (!wantSources && m_outputPortOpen)
                ensureOutputFor(handle, fullName);
        }
        jack_free(names);
    }
    // JACK drops the connections of a port that goes away; a source that
    // comes back under the same name is listened to again.
    if (wantSources)
        for (auto &[handle, input] : m_sourceInputs)
            if (input.wanted && present.count(input.peerName))
                ensureConnected(input.slot->port, input.peerName, false);
    return result;
}

bool JackMidiService::isOurPlumbing(jack_port_t *port, const std::string &fullName, Handle handle,
                                    bool source) const
{
    if (jack_port_is_mine(m_main.client, port))
        return source ? m_virtualSources.count(handle) == 0 : m_virtualDestinations.count(handle) == 0;
    if (jack_port_is_mine(m_sends.client, port))
        return true;
    return isInstancePlumbing(m_requestedName, fullName);
}

void JackMidiService::ensureConnected(jack_port_t *ours, const std::string &peer, bool oursIsOutput)
{
    if (jack_port_connected_to(ours, peer.c_str()))
        return;
    const char *own = jack_port_name(ours);
    if (oursIsOutput)
        jack_connect(m_main.client, own, peer.c_str());
    else
        jack_connect(m_main.client, peer.c_str(), own);
}

void JackMidiService::ensureOutputFor(Handle destination, const std::string &fullName)
{
    jack_port_t *port = nullptr;
    {
        std::shared_lock lock(m_outputsMutex);
        if (auto it = m_destinationOutputs.find(destination); it != m_destinationOutputs.end())
            port = it->second.output->port();
    }
    if (!port) {
        auto output = registerOutput(m_sends, "out_" + std::to_string(++m_portCounter));
        if (!output)
            return;
        output->peerName = fullName;
        port = output->output->port();
        std::unique_lock lock(m_outputsMutex);
        m_destinationOutputs[destination] = std::move(*output);
    }
    ensureConnected(port, fullName, true);
}

// --- our ports

std::optional<JackMidiService::InputPort> JackMidiService::registerInput(const std::string &shortName)
{
    jack_port_t *port =
        jack_port_register(m_main.client, shortName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (!port)
        return std::nullopt;
    InputPort input;
    input.slot = std::make_unique<InputSlot>();
    input.slot->port = port;
    input.index = m_inputSlots.add(input.slot.get());
    if (input.index < 0) {
        jack_port_unregister(m_main.client, port);
        return std::nullopt;
    }
    return input;
}

std::optional<JackMidiService::OutputPort> JackMidiService::registerOutput(Side &side,
                                                                           const std::string &shortName)
{
    jack_port_t *port =
        jack_port_register(side.client, shortName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!port)
        return std::nullopt;
    OutputPort output;
    output.side = &side;
    output.output = std::make_shared<Output>(port, kOutputRingBytes);
    output.index = side.outputs.add(output.output.get());
    if (output.index < 0) {
        jack_port_unregister(side.client, port);
        return std::nullopt;
    }
    return output;
}

bool JackMidiService::waitForCycle(const Side &side)
{
    // Bounded: a stalled or vanished server must not hang the program.
    const std::uint64_t seen = side.cycles.load(std::memory_order_seq_cst);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (side.cycles.load(std::memory_order_seq_cst) <= seen) {
        if (m_dead || std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void JackMidiService::retireInputs(std::vector<InputPort> ports)
{
    if (ports.empty())
        return;
    for (const InputPort &port : ports)
        m_inputSlots.remove(port.index);
    const bool safe = waitForCycle(m_main);
    for (InputPort &port : ports) {
        if (alive())
            jack_port_unregister(m_main.client, port.slot->port);
        if (!safe)
            m_stuckInputs.push_back(std::move(port.slot));
    }
}

void JackMidiService::retireOutputs(std::vector<OutputPort> ports)
{
    if (ports.empty())
        return;
    for (const OutputPort &port : ports)
        port.side->outputs.remove(port.index);
    bool safe = true;
    for (Side *side : {&m_main, &m_sends})
        if (std::any_of(ports.begin(), ports.end(), [&](const OutputPort &p) { return p.side == side; }))
            safe = waitForCycle(*side) && safe;
    for (OutputPort &port : ports) {
        if (alive())
            jack_port_unregister(port.side->client, port.output->port());
        if (!safe)
            m_stuck.push_back(port.output);
    }
}

std::optional<MidiService::Handle> JackMidiService::createInputPort(Handle client, const std::string &,
                                                                    InputHandler receive)
{
    if (client != kClientHandle || !alive())
        return std::nullopt;
    m_inputHandler = std::make_shared<const InputHandler>(std::move(receive));
    return kInputPortHandle;
}

std::optional<MidiService::Handle> JackMidiService::createOutputPort(Handle client, const std::string &)
{
    if (client != kClientHandle || !alive())
        return std::nullopt;
    m_outputPortOpen = true;
    return kOutputPortHandle;
}

void JackMidiService::disposePort(Handle port)
{
    if (port == kInputPortHandle) {
        std::vector<InputPort> retired;
        for (auto &[handle, input] : m_sourceInputs) {
            if (m_pump)
                m_pump->removeBinding(input.slot->binding.exchange(0));
            retired.push_back(std::move(input));
        }
        m_sourceInputs.clear();
        m_inputHandler.reset();
        retireInputs(std::move(retired));
    } else if (port == kOutputPortHandle) {
        std::vector<OutputPort> retired;
        {
            std::unique_lock lock(m_outputsMutex);
            for (auto &[handle, output] : m_destinationOutputs)
                retired.push_back(std::move(output));
            m_destinationOutputs.clear();
        }
        m_outputPortOpen = false;
        retireOutputs(std::move(retired));
    }
}

int JackMidiService::connectSource(Handle inputPort, Handle source, Token token)
{
    const std::string *name = nameOf(source);
    if (inputPort != kInputPortHandle || !m_inputHandler || !name || !alive())
        return kFailure;
    auto it = m_sourceInputs.find(source);
    if (it == m_sourceInputs.end()) {
        auto input = registerInput("in_" + std::to_string(++m_portCounter));
        if (!input)
            return kFailure;
        input->peerName = *name;
        it = m_sourceInputs.emplace(source, std::move(*input)).first;
    }
    InputPort &input = it->second;
    const auto handler = m_inputHandler;
    const std::uint32_t binding =
        m_pump->addBinding([handler, token](PacketList packets) { (*handler)(packets, token); });
    m_pump->removeBinding(input.slot->binding.exchange(binding));
    input.wanted = true;
    ensureConnected(input.slot->port, input.peerName, false);
    return 0;
}

int JackMidiService::disconnectSource(Handle inputPort, Handle source)
{
    auto it = m_sourceInputs.find(source);
    if (inputPort != kInputPortHandle || it == m_sourceInputs.end())
        return kFailure;
    InputPort &input = it->second;
    input.wanted = false;
    if (m_pump)
        m_pump->removeBinding(input.slot->binding.exchange(0));
    if (alive())
        jack_disconnect(m_main.client, input.peerName.c_str(), jack_port_name(input.slot->port));
    return 0;
}

// --- own virtual endpoints

std::optional<MidiService::Handle> JackMidiService::createVirtualSource(Handle client,
                                                                        const std::string &name)
{
    if (client != kClientHandle || !alive())
        return std::nullopt;
    auto output = registerOutput(m_main, name);
    if (!output)
        return std::nullopt;
    const Handle handle = handleFor(jack_port_name(output->output->port()));
    std::unique_lock lock(m_outputsMutex);
    m_virtualSources[handle] = std::move(*output);
    return handle;
}

std::optional<MidiService::Handle>
JackMidiService::createVirtualDestination(Handle client, const std::string &name, VirtualInputHandler receive)
{
    if (client != kClientHandle || !alive())
        return std::nullopt;
    auto input = registerInput(name);
    if (!input)
        return std::nullopt;
    const Handle handle = handleFor(jack_port_name(input->slot->port));
    input->slot->binding = m_pump->addBinding(std::move(receive));
    input->wanted = true;
    m_virtualDestinations[handle] = std::move(*input);
    return handle;
}

void JackMidiService::disposeEndpoint(Handle endpoint)
{
    if (auto it = m_virtualDestinations.find(endpoint); it != m_virtualDestinations.end()) {
        if (m_pump)
            m_pump->removeBinding(it->second.slot->binding.exchange(0));
        std::vector<InputPort> retired;
        retired.push_back(std::move(it->second));
        m_virtualDestinations.erase(it);
        retireInputs(std::move(retired));
        return;
    }
    std::vector<OutputPort> retired;
    {
        std::unique_lock lock(m_outputsMutex);
        if (auto it = m_virtualSources.find(endpoint); it != m_virtualSources.end()) {
            retired.push_back(std::move(it->second));
            m_virtualSources.erase(it);
        }
    }
    retireOutputs(std::move(retired));
}

// --- sending (any thread)

int JackMidiService::send(Handle outputPort, Handle destination, PacketList packets)
{
    std::shared_ptr<Output> output;
    {
        std::shared_lock lock(m_outputsMutex);
        auto it = m_destinationOutputs.find(destination);
        if (outputPort != kOutputPortHandle || it == m_destinationOutputs.end())
            return kFailure;
        output = it->second.output;
    }
    return output->write(packets) ? 0 : kFailure;
}

int JackMidiService::publish(Handle ownVirtualSource, PacketList packets)
{
    std::shared_ptr<Output> output;
    {
        std::shared_lock lock(m_outputsMutex);
        auto it = m_virtualSources.find(ownVirtualSource);
        if (it == m_virtualSources.end())
            return kFailure;
        output = it->second.output;
    }
    return output->write(packets) ? 0 : kFailure;
}

} // namespace

std::shared_ptr<MidiService> makeJackMidiService(std::string serverName)
{
    return std::make_shared<JackMidiService>(std::move(serverName));
}

std::int32_t jackPortUniqueID(std::string_view fullName)
{
    // FNV-1a, 32 bits.
    std::uint32_t hash = 2166136261u;
    for (const char c : fullName) {
        hash ^= static_cast<std::uint8_t>(c);
        hash *= 16777619u;
    }
    const auto id = static_cast<std::int32_t>(hash);
    return id != 0 ? id : 1;
}

} // namespace korvane
