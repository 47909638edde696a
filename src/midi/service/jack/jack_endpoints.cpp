#include "midi/service/jack/jack_midi_service.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <set>
#include <thread>

namespace korvane::jackio {

namespace {

bool allDigits(std::string_view text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

// A per-endpoint port of a client "<base>", "<base>-<nn>" (JACK's name for a
// second client of that name; PipeWire's JACK keeps the name and suffixes the
// port instead) or "<base> sends" (the two-client layout of earlier
// versions): the plumbing of another instance of this program on the same
// server, not an endpoint.
bool isInstancePlumbing(std::string_view base, std::string_view fullName)
{
    const auto colon = fullName.find(':');
    if (base.empty() || colon == std::string_view::npos)
        return false;
    std::string_view client = fullName.substr(0, colon);
    if (client.ends_with(" sends"))
        client.remove_suffix(6);
    if (!client.starts_with(base))
        return false;
    client.remove_prefix(base.size());
    const bool instance = client.empty() || (client.front() == '-' && allDigits(client.substr(1)));
    return instance && isJackPlumbingPortName(fullName.substr(colon + 1));
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
    std::vector<std::string> fullNames; // beside result, entry for entry
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
            result.push_back({handle, displayName(port, fullName), std::nullopt, false});
            fullNames.push_back(fullName);
        }
        jack_free(names);
    }
    const std::vector<std::int32_t> ids = jackPortUniqueIDs(fullNames);
    for (std::size_t i = 0; i < result.size(); ++i) {
        EndpointDescription &endpoint = result[i];
        endpoint.uniqueID = ids[i];
        std::string label = m_labeler ? m_labeler(endpoint, wantSources) : std::string();
        if (label.empty())
            label = *endpoint.displayName;
        m_plumbingNames[endpoint.handle] = {jackPlumbingPortName(wantSources, label, ids[i]),
                                            (wantSources ? "from " : "to ") + label};
        if (!wantSources && m_outputPortOpen)
            ensureOutputFor(endpoint.handle, fullNames[i]);
    }
    // JACK drops the connections of a port that goes away; a source that
    // comes back under the same name is listened to again.
    if (wantSources) {
        for (auto &[handle, input] : m_sourceInputs) {
            if (input.wanted && present.count(input.peerName))
                ensureConnected(input.slot->port, input.peerName, false);
            if (present.count(input.peerName))
                nameOurPort(input.slot->port, input.givenName, plumbingName(handle, true));
        }
    } else {
        keepVirtualConnections();
    }
    releaseAbsent(present, wantSources);
    return result;
}

// The port of an endpoint that has been gone for a while is given back
// (the port limit is finite); a later comeback registers a new one. The
// handle, and with it the routes' view of the endpoint, stays.
void JackMidiService::releaseAbsent(const std::set<std::string> &present, bool sources)
{
    const auto now = std::chrono::steady_clock::now();
    auto gone = [&](Handle handle, const std::string &peer) {
        if (present.count(peer)) {
            m_absentSince.erase(handle);
            return false;
        }
        const auto [since, added] = m_absentSince.try_emplace(handle, now);
        return now - since->second >= kReleaseAbsentAfter;
    };
    if (sources) {
        std::vector<InputPort> retired;
        for (auto it = m_sourceInputs.begin(); it != m_sourceInputs.end();) {
            if (!it->second.wanted && gone(it->first, it->second.peerName)) {
                m_absentSince.erase(it->first);
                retired.push_back(std::move(it->second));
                it = m_sourceInputs.erase(it);
            } else {
                ++it;
            }
        }
        retireInputs(std::move(retired));
        return;
    }
    std::vector<OutputPort> retired;
    {
        std::unique_lock lock(m_outputsMutex);
        for (auto it = m_destinationOutputs.begin(); it != m_destinationOutputs.end();) {
            if (gone(it->first, it->second.peerName)) {
                m_absentSince.erase(it->first);
                setRealtimeOutput(it->first, nullptr);
                retired.push_back(std::move(it->second));
                it = m_destinationOutputs.erase(it);
            } else {
                ++it;
            }
        }
    }
    retireOutputs(std::move(retired));
}

// Other programs' connections to our virtual ports are theirs (or their
// patchbay's) to make, and a server restart loses them all: they are noted
// at every enumeration and made again once the ports are back, for as long
// as the other end takes to come back (bounded).
void JackMidiService::keepVirtualConnections()
{
    const auto now = std::chrono::steady_clock::now();
    auto visit = [&](jack_port_t *port) {
        const std::string shortName = jack_port_short_name(port);
        auto pending = m_restoring.find(shortName);
        if (pending != m_restoring.end() && now < m_restoreUntil) {
            std::erase_if(pending->second, [&](const std::string &peer) {
                jack_port_t *other = jack_port_by_name(m_main.client, peer.c_str());
                const bool isOutput = jack_port_flags(port) & JackPortIsOutput;
                return other && ensureConnected(port, peer, isOutput) == 0;
            });
            if (!pending->second.empty())
                return; // what is noted stays as it was until then
            m_restoring.erase(pending);
        }
        std::set<std::string> peers;
        if (const char **names = jack_port_get_all_connections(m_main.client, port)) {
            for (const char **n = names; *n; ++n)
                if (jack_port_t *other = jack_port_by_name(m_main.client, *n);
                    other && !jack_port_is_mine(m_main.client, other))
                    peers.insert(*n);
            jack_free(names);
        }
        m_virtualConnections[shortName] = std::move(peers);
    };
    for (auto &[handle, input] : m_virtualDestinations)
        visit(input.slot->port);
    std::shared_lock lock(m_outputsMutex);
    for (auto &[handle, output] : m_virtualSources)
        visit(output.output->port());
}

bool JackMidiService::isOurPlumbing(jack_port_t *port, const std::string &fullName, Handle handle,
                                    bool source) const
{
    if (jack_port_is_mine(m_main.client, port))
        return source ? m_virtualSources.count(handle) == 0 : m_virtualDestinations.count(handle) == 0;
    return isInstancePlumbing(m_requestedName, fullName);
}

int JackMidiService::ensureConnected(jack_port_t *ours, const std::string &peer, bool oursIsOutput)
{
    if (jack_port_connected_to(ours, peer.c_str()))
        return 0;
    const char *own = jack_port_name(ours);
    const int result = oursIsOutput ? jack_connect(m_main.client, own, peer.c_str())
                                    : jack_connect(m_main.client, peer.c_str(), own);
    return result == EEXIST ? 0 : result;
}

void JackMidiService::ensureOutputFor(Handle destination, const std::string &fullName)
{
    std::shared_ptr<Output> output;
    {
        std::shared_lock lock(m_outputsMutex);
        if (auto it = m_destinationOutputs.find(destination); it != m_destinationOutputs.end())
            output = it->second.output;
    }
    const PlumbingName name = plumbingName(destination, false);
    if (output) {
        // The table changes on this thread only: no lock needed to read it here.
        nameOurPort(output->port(), m_destinationOutputs.find(destination)->second.givenName, name);
    } else {
        auto registered = registerOutput(m_main, name.shortName, name.pretty);
        if (!registered)
            return;
        registered->peerName = fullName;
        registered->handle = destination;
        output = registered->output;
        setRealtimeOutput(destination, output.get());
        std::unique_lock lock(m_outputsMutex);
        m_destinationOutputs[destination] = std::move(*registered);
    }
    // What is sent to a destination that has just appeared (or come back)
    // waits for the connection: a route's first note, a panic.
    if (!jack_port_connected_to(output->port(), fullName.c_str()))
        output->awaitConnection(m_holdLimitFrames.load() * 25); // half a second
    ensureConnected(output->port(), fullName, true);
}

JackMidiService::PlumbingName JackMidiService::plumbingName(Handle endpoint, bool input) const
{
    if (auto it = m_plumbingNames.find(endpoint); it != m_plumbingNames.end())
        return it->second;
    const std::string *name = nameOf(endpoint);
    const std::string label = name ? *name : std::string("?");
    return {jackPlumbingPortName(input, label, name ? jackPortUniqueID(*name) : 0),
            (input ? "from " : "to ") + label};
}

void JackMidiService::nameOurPort(jack_port_t *port, std::string &givenName, const PlumbingName &name)
{
    if (givenName == name.shortName || !alive())
        return;
    // Asked once per name: a refusal is not retried at every reading of the lists.
    givenName = name.shortName;
    if (jack_port_rename(m_main.client, port, name.shortName.c_str()) == 0)
        setPrettyName(port, name.pretty);
}

void JackMidiService::setPrettyName(jack_port_t *port, const std::string &pretty)
{
    // PipeWire's JACK (0.3.65) keeps a port's metadata after the port, whose
    // id the next new port takes at once: our names would land on other
    // programs' ports. There our ports go without.
    if (!pretty.empty() && !m_onPipeWire)
        static_cast<void>(jack_set_property(m_main.client, jack_port_uuid(port), JACK_METADATA_PRETTY_NAME,
                                            pretty.c_str(), "text/plain"));
}

void JackMidiService::forgetMetadata(jack_port_t *port)
{
    if (alive())
        static_cast<void>(jack_remove_properties(m_main.client, jack_port_uuid(port)));
}

// --- our ports

std::optional<JackMidiService::InputPort> JackMidiService::registerInput(const std::string &shortName,
                                                                         const std::string &pretty)
{
    jack_port_t *port =
        jack_port_register(m_main.client, shortName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (!port)
        return std::nullopt;
    setPrettyName(port, pretty);
    InputPort input;
    input.givenName = shortName;
    input.slot = std::make_unique<InputSlot>();
    input.slot->port = port;
    input.index = m_inputSlots.add(input.slot.get());
    if (input.index < 0) {
        m_limitRefusals.fetch_add(1, std::memory_order_relaxed);
        jack_port_unregister(m_main.client, port);
        return std::nullopt;
    }
    return input;
}

std::optional<JackMidiService::OutputPort>
JackMidiService::registerOutput(Side &side, const std::string &shortName, const std::string &pretty)
{
    jack_port_t *port =
        jack_port_register(side.client, shortName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!port)
        return std::nullopt;
    setPrettyName(port, pretty);
    OutputPort output;
    output.givenName = shortName;
    output.side = &side;
    output.output = std::make_shared<Output>(
        port, kOutputRingBytes, jack_port_type_get_buffer_size(side.client, JACK_DEFAULT_MIDI_TYPE),
        m_outputCounters);
    output.index = side.outputs.add(output.output.get());
    if (output.index < 0) {
        m_limitRefusals.fetch_add(1, std::memory_order_relaxed);
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
        forgetMetadata(port.slot->port);
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
    const auto involved = [&](const Side *side) {
        return std::any_of(ports.begin(), ports.end(), [&](const OutputPort &p) { return p.side == side; });
    };
    // What was queued last (the panic sent right before a stop) must leave
    // before the port does; bounded like waitForCycle.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (!m_dead && std::chrono::steady_clock::now() < deadline &&
           !std::all_of(ports.begin(), ports.end(), [](const OutputPort &p) { return p.output->drained(); }))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // A port buffer keeps its events until the process callback clears it,
    // and JACK hands them out again every cycle: the buffer must have been
    // cleared once after the cycle that wrote the last events (two completed
    // cycles from here) before the callback stops visiting the port.
    for (const OutputPort &port : ports)
        setRealtimeOutput(port.handle, nullptr);
    if (involved(&m_main) && waitForCycle(m_main))
        waitForCycle(m_main);
    for (const OutputPort &port : ports)
        port.side->outputs.remove(port.index);
    const bool safe = !involved(&m_main) || waitForCycle(m_main);
    for (OutputPort &port : ports) {
        forgetMetadata(port.output->port());
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

MidiServiceStatus JackMidiService::connectSource(Handle inputPort, Handle source, Token token)
{
    if (!alive())
        return MidiServiceError::notOpen;
    const std::string *name = nameOf(source);
    if (inputPort != kInputPortHandle || !m_inputHandler || !name)
        return MidiServiceError::unknownObject;
    auto it = m_sourceInputs.find(source);
    if (it == m_sourceInputs.end()) {
        const PlumbingName portName = plumbingName(source, true);
        auto input = registerInput(portName.shortName, portName.pretty);
        if (!input)
            return MidiServiceError::backendFailure;
        input->peerName = *name;
        input->slot->endpoint = source;
        it = m_sourceInputs.emplace(source, std::move(*input)).first;
    }
    InputPort &input = it->second;
    const auto handler = m_inputHandler;
    const std::uint32_t binding =
        m_pump->addBinding([handler, token](PacketList packets) { (*handler)(packets, token); });
    m_pump->removeBinding(input.slot->binding.exchange(binding));
    input.wanted = true;
    // A source that has just gone away: JACK refuses the connection, and the
    // caller hears of it (the port stays wanted, so a comeback under the same
    // name connects it).
    if (const int result = ensureConnected(input.slot->port, input.peerName, false); result != 0)
        return {MidiServiceError::backendFailure, result};
    return {};
}

MidiServiceStatus JackMidiService::disconnectSource(Handle inputPort, Handle source)
{
    auto it = m_sourceInputs.find(source);
    if (inputPort != kInputPortHandle || it == m_sourceInputs.end())
        return MidiServiceError::unknownObject;
    InputPort &input = it->second;
    input.wanted = false;
    if (m_pump)
        m_pump->removeBinding(input.slot->binding.exchange(0));
    if (alive())
        jack_disconnect(m_main.client, input.peerName.c_str(), jack_port_name(input.slot->port));
    return {};
}

// --- own virtual endpoints

void JackMidiService::restoreLater(const std::string &shortName)
{
    auto noted = m_virtualConnections.find(shortName);
    if (noted == m_virtualConnections.end() || noted->second.empty())
        return;
    m_restoring[shortName] = noted->second;
    m_restoreUntil = std::chrono::steady_clock::now() + std::chrono::seconds(60);
}

std::optional<MidiService::Handle> JackMidiService::createVirtualSource(Handle client,
                                                                        const std::string &name)
{
    if (client != kClientHandle || !alive())
        return std::nullopt;
    auto output = registerOutput(m_main, name);
    if (!output)
        return std::nullopt;
    const Handle handle = handleFor(jack_port_name(output->output->port()));
    output->handle = handle;
    setRealtimeOutput(handle, output->output.get());
    restoreLater(name);
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
    input->slot->endpoint = handle;
    input->slot->binding = m_pump->addBinding(std::move(receive));
    input->wanted = true;
    restoreLater(name);
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

} // namespace korvane::jackio
