#include "app/services.h"

#include "midi/midi_engine.h"
#include "midi/midi_monitor.h"
#include "midi/midi_router.h"
#include "midi/realtime_routing_link.h"
#include "net/network_midi2_manager.h"
#include "net/rtp_discovery.h"
#include "net/rtp_manager.h"

#include <algorithm>

namespace korvane {

std::string lossesText(const MessageLosses &losses)
{
    const auto n = [](std::uint64_t value) { return std::to_string(value); };
    return "Pertes : " + n(losses.total()) + (losses.total() > 1 ? " messages" : " message") +
           " (sorties MIDI " + n(losses.midi) + ", réseau " + n(losses.network) + ", SysEx abandonnés " +
           n(losses.sysex) + ", moniteur " + n(losses.monitor) + ")";
}

Services::Services(std::shared_ptr<MidiService> midiService, Log log)
    : m_engine(MIDIEngine::create(std::move(midiService))), m_router(std::make_shared<MIDIRouter>()),
      m_monitor(MIDIMonitor::create()), m_rtp(std::make_shared<RTPManager>()),
      m_midi2(std::make_shared<NetworkMIDI2Manager>()), m_discovery(std::make_shared<RTPDiscovery>())
{
    m_router->setEngine(m_engine);
    m_router->setMonitor(m_monitor);
    m_router->setLog(std::move(log));

    // These run on MIDI and network threads: they hold only weak references
    // to thread-safe services.
    std::weak_ptr<RTPManager> weakRtp = m_rtp;
    std::weak_ptr<NetworkMIDI2Manager> weakMidi2 = m_midi2;
    m_router->setRtpSend([weakRtp, weakMidi2](const EndpointKey &key, const MIDIMessage &message) {
        if (auto rtp = weakRtp.lock())
            rtp->sendToKey(key, message);
        if (auto midi2 = weakMidi2.lock())
            midi2->sendToKey(key, message);
    });
    std::weak_ptr<MIDIRouter> weakRouter = m_router;
    const auto input = [weakRouter](const EndpointKey &key, const MIDIMessage &message,
                                    std::uint64_t origin) {
        if (auto router = weakRouter.lock())
            router->process(key, message, origin);
    };
    const auto gone = [weakRouter](const EndpointKey &key, std::uint64_t origin) {
        if (auto router = weakRouter.lock())
            router->releaseOrigin(key, origin);
    };
    m_rtp->setInput(input);
    m_rtp->setOriginGone(gone);
    m_midi2->setInput(input);
    m_midi2->setOriginGone(gone);
    m_engine->setOnInput(input);
    m_engine->setOnSourceGone(gone);
    m_link = RealtimeRoutingLink::attach(m_engine, m_router);

    m_discovery->start();
}

Services::~Services()
{
    // The MIDI threads may still be delivering until the sessions and the
    // engine have stopped.
    m_router->setLog(nullptr);
    m_router->setEnabled(false);
    m_rtp->stopAll();
    m_midi2->stopAll();
    m_engine->setOnInput(nullptr);
    m_engine->stop();
    m_link.reset();
    m_discovery->stop();
}

void Services::applyNetwork(const TOVProject &project)
{
    m_rtp->setLocalName(project.name);
    m_rtp->apply(project.rtpSessions);
    m_midi2->setLocalName(project.name);
    m_midi2->apply(project.networkMidi2Sessions);
    advertise(project);
}

void Services::advertise(const TOVProject &project)
{
    // Unlike the RTP-MIDI listener, a Network MIDI 2.0 publication goes as
    // soon as no enabled host remains: it would announce a port nobody serves.
    const auto &hosts = project.networkMidi2Sessions;
    const auto host = std::find_if(hosts.begin(), hosts.end(), [](const NetworkMIDI2SessionConfig &c) {
        return c.enabled && c.role == NetworkMIDI2Role::host;
    });
    if (host == hosts.end())
        m_discovery->withdrawMidi2();
    else
        m_discovery->advertiseMidi2(host->name, host->localPort, project.name, host->id.toString());
    for (const auto &config : project.rtpSessions) {
        if (config.enabled && config.role == RTPRole::listener) {
            m_discovery->advertise(config.name, config.localPort);
            return;
        }
    }
}

void Services::stop(bool panicFirst)
{
    m_router->setEnabled(false);
    if (panicFirst)
        m_engine->panic();
    m_rtp->stopAll(panicFirst);
    m_midi2->stopAll(panicFirst);
    m_engine->stop();
    m_router->setEnabled(true);
}

void Services::panic()
{
    m_engine->panic();
    m_rtp->panic();
    m_midi2->panic();
}

std::vector<EndpointKey> Services::routableSources() const
{
    return withSessions(m_engine->routableSources());
}

std::vector<EndpointKey> Services::routableDestinations() const
{
    return withSessions(m_engine->routableDestinations());
}

// A session is a source and a destination at once.
std::vector<EndpointKey> Services::withSessions(std::vector<EndpointKey> keys) const
{
    for (auto &k : m_rtp->routableKeys())
        keys.push_back(std::move(k));
    for (auto &k : m_midi2->routableKeys())
        keys.push_back(std::move(k));
    return keys;
}

MessageLosses Services::losses() const
{
    const MIDIEngine::Losses engine = m_engine->losses();
    MessageLosses losses;
    losses.midi = engine.service;
    losses.network = (m_link ? m_link->dropped() : 0) + m_rtp->droppedMessages() + m_midi2->droppedCount();
    losses.sysex = engine.sysex;
    losses.monitor = m_monitor->droppedRecords();
    return losses;
}

} // namespace korvane
