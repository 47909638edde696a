#include "app/app_state.h"

#include "midi/midi_engine.h"
#include "midi/midi_monitor.h"
#include "midi/midi_router.h"
#include "model/project_document.h"
#include "net/network_midi2_manager.h"
#include "net/rtp_discovery.h"
#include "net/rtp_manager.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <unordered_set>

namespace korvane {

namespace {

std::string lastPathComponent(const std::filesystem::path &url)
{
    auto p = url;
    if (!p.has_filename()) // "show.tovprjct/" names the directory
        p = p.parent_path();
    return p.filename().string();
}

} // namespace

AppState::AppState(std::shared_ptr<MidiService> midiService, std::shared_ptr<UserPrompts> prompts,
                   QObject *parent)
    : QObject(parent), m_prompts(std::move(prompts))
{
    m_engine = MIDIEngine::create(std::move(midiService));
    m_router = std::make_shared<MIDIRouter>();
    m_monitor = MIDIMonitor::create();
    m_rtp = std::make_shared<RTPManager>();
    m_midi2 = std::make_shared<NetworkMIDI2Manager>();
    m_discovery = std::make_shared<RTPDiscovery>();

    m_router->setEngine(m_engine);
    m_router->setMonitor(m_monitor);

    // These two run on MIDI and network threads: they hold only weak
    // references to thread-safe services, never the controller's state.
    std::weak_ptr<RTPManager> weakRtp = m_rtp;
    std::weak_ptr<NetworkMIDI2Manager> weakMidi2 = m_midi2;
    m_router->setRtpSend([weakRtp, weakMidi2](const EndpointKey &key, const MIDIMessage &message) {
        if (auto rtp = weakRtp.lock())
            rtp->sendToKey(key, message);
        if (auto midi2 = weakMidi2.lock())
            midi2->sendToKey(key, message);
    });
    std::weak_ptr<MIDIRouter> weakRouter = m_router;
    // Every input reaches the router with its origin (a connection, a
    // network peer's joined period), and the router hears when one goes.
    const auto input = [weakRouter](const EndpointKey &key, const MIDIMessage &message, std::uint64_t origin) {
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
    // Where the service can, its input is routed inside its real-time cycle.
    m_engine->setRealtimeRouter(m_router);
    // Released notes may be logged on any MIDI or network thread.
    // The hop goes through the application object, which outlives this one;
    // the token says, on the main thread, whether this one still exists.
    m_router->setLog([this, alive = std::weak_ptr<void>(m_alive)](const std::string &line) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [this, alive, line] {
                if (alive.lock())
                    appendLog(line);
            },
            Qt::QueuedConnection);
    });

    const auto forward = [this] { emit changed(); };
    connect(m_engine.get(), &MIDIEngine::sourcesChanged, this, forward, Qt::QueuedConnection);
    connect(m_engine.get(), &MIDIEngine::destinationsChanged, this, forward, Qt::QueuedConnection);
    connect(m_engine.get(), &MIDIEngine::runningChanged, this, forward, Qt::QueuedConnection);
    connect(m_monitor.get(), &MIDIMonitor::eventsChanged, this, forward, Qt::QueuedConnection);
    connect(m_monitor.get(), &MIDIMonitor::pausedChanged, this, forward, Qt::QueuedConnection);
    connect(m_rtp.get(), &RTPManager::peersBySessionChanged, this, forward, Qt::QueuedConnection);
    connect(m_rtp.get(), &RTPManager::logLinesChanged, this, forward, Qt::QueuedConnection);
    connect(m_rtp.get(), &RTPManager::statusBySessionChanged, this, forward, Qt::QueuedConnection);
    connect(m_midi2.get(), &NetworkMIDI2Manager::statusBySessionChanged, this, forward, Qt::QueuedConnection);
    connect(m_midi2.get(), &NetworkMIDI2Manager::logLinesChanged, this, forward, Qt::QueuedConnection);
    connect(m_midi2.get(), &NetworkMIDI2Manager::droppedCountChanged, this, forward, Qt::QueuedConnection);
    connect(m_discovery.get(), &RTPDiscovery::peersChanged, this, forward, Qt::QueuedConnection);
    connect(m_discovery.get(), &RTPDiscovery::advertisedNameChanged, this, forward, Qt::QueuedConnection);

    m_discovery->start();

    // The project stream: its current value first, then every new one, on
    // the next event-loop pass.
    scheduleProjectDelivery();

    // Every publication of the endpoint lists, changed or not, so a refresh
    // skipped while the lists were in flight is made up for.
    const auto engineChanged = [this] { refreshMissing(); };
    connect(m_engine.get(), &MIDIEngine::endpointListsPublished, this, engineChanged, Qt::QueuedConnection);
    connect(m_engine.get(), &MIDIEngine::runningChanged, this, engineChanged, Qt::QueuedConnection);

    m_lossesTimer = new QTimer(this);
    m_lossesTimer->setInterval(std::chrono::seconds(1));
    connect(m_lossesTimer, &QTimer::timeout, this, [this] { refreshLosses(); });
    m_lossesTimer->start();

    m_engineRetry = new QTimer(this);
    m_engineRetry->setInterval(std::chrono::seconds(2));
    connect(m_engineRetry, &QTimer::timeout, this, [this] { retryEngine(); });
    connect(
        m_engine.get(), &MIDIEngine::runningChanged, this,
        [this](bool running) {
            // Stopped while wanted: the server went (a user's stop ends the wish first).
            if (!running && m_engineWanted)
                m_engineLossReason = "Le serveur MIDI " + m_engine->serviceName() + " s'est arrêté";
            superviseEngine();
        },
        Qt::QueuedConnection);

    m_engine->start();
    applyAll();
}

AppState::~AppState()
{
    // Sessions say goodbye and the engine releases its ports before the
    // services go; the MIDI threads may still be delivering until then.
    m_router->setLog(nullptr);
    m_router->setEnabled(false);
    m_rtp->stopAll();
    m_midi2->stopAll();
    m_engine->setOnInput(nullptr);
    m_engine->stop();
    m_discovery->stop();
}

void AppState::appendLog(std::string line)
{
    m_logLines.push_back(line);
    while (m_logLines.size() > maxLogLines)
        m_logLines.pop_front();
    emit logLineAdded(QString::fromStdString(line));
}

std::string lossesText(const AppState::Losses &losses)
{
    const auto n = [](std::uint64_t value) { return std::to_string(value); };
    return "Pertes : " + n(losses.total()) + (losses.total() > 1 ? " messages" : " message") + " (sorties MIDI " +
           n(losses.midi) + ", réseau " + n(losses.network) + ", SysEx abandonnés " + n(losses.sysex) +
           ", moniteur " + n(losses.monitor) + ")";
}

void AppState::refreshLosses()
{
    const MIDIEngine::Losses engine = m_engine->losses();
    Losses losses;
    losses.midi = engine.service;
    losses.network = engine.network + m_rtp->droppedMessages() + m_midi2->droppedCount();
    losses.sysex = engine.sysex;
    losses.monitor = m_monitor->droppedRecords();
    if (losses == m_losses)
        return;
    m_losses = losses;
    emit lossesChanged();
}

void AppState::setProject(TOVProject project)
{
    m_project = std::move(project);
    emit changed();
    emit projectChanged();
    if (!m_isApplyingLoad)
        setDirty(true);
    scheduleProjectDelivery();
}

void AppState::mutateProject(const std::function<void(TOVProject &)> &edit)
{
    TOVProject copy = m_project;
    edit(copy);
    setProject(std::move(copy));
}

void AppState::scheduleProjectDelivery()
{
    // Several edits in one pass reach the router once, with the last value.
    if (m_projectDeliveryPending)
        return;
    m_projectDeliveryPending = true;
    QMetaObject::invokeMethod(
        this, [this] { deliverProject(); }, Qt::QueuedConnection);
}

void AppState::deliverProject()
{
    m_projectDeliveryPending = false;
    m_router->updateConfiguration(m_project.routes, m_project.filterChains);
    m_engine->setNicknames(m_project.devices);
    refreshMissing();
}

void AppState::setStatus(std::string text)
{
    m_statusMessage = std::move(text);
    emit changed();
    emit statusMessageChanged(QString::fromStdString(m_statusMessage));
}

void AppState::setDirty(bool dirty)
{
    const bool was = m_dirty;
    m_dirty = dirty;
    emit changed();
    if (was != dirty)
        emit dirtyChanged(dirty);
}

void AppState::setProjectURL(std::optional<std::filesystem::path> url)
{
    m_projectURL = std::move(url);
    emit changed();
    emit projectURLChanged();
}

void AppState::markDirty()
{
    setDirty(true);
}

void AppState::applyAll()
{
    applyAll(true);
}

void AppState::applyAll(bool followStartSetting)
{
    m_router->updateConfiguration(m_project.routes, m_project.filterChains);
    m_engine->setNicknames(m_project.devices);
    if (followStartSetting) {
        m_engineWanted = m_project.settings.startEngineOnOpen;
        if (!m_engineWanted) {
            m_engineRetry->stop();
            publishEngineLoss();
        }
    }
    if (followStartSetting && m_project.settings.startEngineOnOpen && !m_engine->running())
        m_engine->start();
    else if (followStartSetting && !m_project.settings.startEngineOnOpen && m_engine->running())
        m_engine->stop();
    m_engine->applyVirtualPorts(m_project.virtualPorts);
    m_rtp->setLocalName(m_project.name);
    m_rtp->apply(m_project.rtpSessions);
    m_midi2->setLocalName(m_project.name);
    m_midi2->apply(m_project.networkMidi2Sessions);
    advertiseListener();
    m_monitor->setCapacity(m_project.settings.monitorBufferSize);
    // On the next pass, so a controller being built still starts on "Prêt".
    if (followStartSetting)
        QMetaObject::invokeMethod(
            this, [this] { superviseEngine(); }, Qt::QueuedConnection);
}

void AppState::applyVirtualPorts()
{
    m_engine->applyVirtualPorts(m_project.virtualPorts);
    setDirty(true);
    if (!m_engine->running())
        return; // created when the engine starts
    // The engine keeps only the ports the MIDI service created: own virtual
    // destinations are routable sources and the other way round.
    std::set<std::string> created;
    for (const auto &keys : {m_engine->routableSources(), m_engine->routableDestinations()})
        for (const EndpointKey &key : keys)
            if (key.kind == EndpointKind::virtual_)
                created.insert(key.name);
    std::string failed;
    std::set<std::string> reported;
    for (const VirtualPortConfig &config : m_project.virtualPorts) {
        for (const auto &[wanted, suffix] :
             {std::pair{config.createsSource, " Out"}, std::pair{config.createsDestination, " In"}}) {
            const std::string name = config.name + suffix;
            if (wanted && !created.count(name) && reported.insert(name).second)
                failed += (failed.empty() ? "" : ", ") + name;
        }
    }
    setStatus(failed.empty() ? "Ports virtuels appliqués" : "Port virtuel non créé : " + failed);
}

void AppState::applyNetwork()
{
    m_rtp->setLocalName(m_project.name);
    m_rtp->apply(m_project.rtpSessions);
    m_midi2->setLocalName(m_project.name);
    m_midi2->apply(m_project.networkMidi2Sessions);
    advertiseListener();
    setDirty(true);
}

void AppState::advertiseListener()
{
    // Unlike the RTP-MIDI listener, a Network MIDI 2.0 publication goes as
    // soon as no enabled host remains: it would announce a port nobody serves.
    const auto &hosts = m_project.networkMidi2Sessions;
    const auto host = std::find_if(hosts.begin(), hosts.end(), [](const NetworkMIDI2SessionConfig &c) {
        return c.enabled && c.role == NetworkMIDI2Role::host;
    });
    if (host == hosts.end())
        m_discovery->withdrawMidi2();
    else
        m_discovery->advertiseMidi2(host->name, host->localPort, m_project.name, host->id.toString());
    for (const auto &config : m_project.rtpSessions) {
        if (config.enabled && config.role == RTPRole::listener) {
            m_discovery->advertise(config.name, config.localPort);
            return;
        }
    }
}

void AppState::newProject()
{
    m_isApplyingLoad = true;
    setProject(TOVProject());
    setProjectURL(std::nullopt);
    setDirty(false);
    m_isApplyingLoad = false;
    applyAll();
    setStatus("Nouveau projet");
}

void AppState::openProject()
{
    const auto url = m_prompts ? m_prompts->chooseProjectToOpen() : std::nullopt;
    if (!url || url->empty())
        return;
    openProjectAt(*url);
}

bool AppState::openProjectAt(const std::filesystem::path &url)
{
    m_isApplyingLoad = true;
    auto loaded = ProjectDocument::load(QString::fromStdString(url.string()));
    if (!loaded) {
        m_isApplyingLoad = false;
        presentError(loaded.error().description());
        return false;
    }
    setProject(std::move(loaded.value()));
    setProjectURL(url);
    setDirty(false);
    m_isApplyingLoad = false;
    applyAll();
    setStatus("Ouvert : " + lastPathComponent(url));
    return true;
}

void AppState::save()
{
    if (m_projectURL)
        persist(*m_projectURL);
    else
        saveAs();
}

void AppState::saveAs()
{
    const auto chosen =
        m_prompts ? m_prompts->chooseSaveLocation(m_project.name + ".tovprjct") : std::nullopt;
    if (!chosen || chosen->empty())
        return;
    std::filesystem::path url = *chosen;
    if (!url.has_filename())
        url = url.parent_path();
    if (url.extension() != ".tovprjct")
        url += ".tovprjct";
    persist(url);
    setProjectURL(url);
}

bool AppState::persist(const std::filesystem::path &url)
{
    auto saved = ProjectDocument::save(m_project, QString::fromStdString(url.string()));
    if (!saved) {
        presentError(saved.error().description());
        return false;
    }
    setDirty(false);
    setStatus("Enregistré : " + lastPathComponent(url));
    return true;
}

void AppState::presentError(const std::string &description)
{
    setStatus("Erreur : " + description);
    if (m_prompts)
        m_prompts->showAlert("KORVANE", description);
}

std::string AppState::windowTitle() const
{
    std::string title = "KORVANE \u2014 ";
    if (m_projectURL) {
        auto p = *m_projectURL;
        if (!p.has_filename())
            p = p.parent_path();
        title += p.stem().string();
    } else {
        title += m_project.name;
    }
    if (m_dirty)
        title += " \u2022";
    return title;
}

void AppState::startEngine()
{
    m_engineWanted = true;
    m_engine->start();
    // The user asked for the engine: a show that does not start it on open
    // must not stop it again here.
    applyAll(false);
    if (!m_engine->running()) {
        // Supervision keeps trying; the user learns why nothing started.
        m_engineRetry->start();
        publishEngineLoss();
        setStatus("Erreur : serveur MIDI injoignable");
        return;
    }
    setStatus("Moteur démarré");
}

void AppState::stopEngine()
{
    m_engineWanted = false;
    m_engineRetry->stop();
    publishEngineLoss();
    // Inputs and routing first, so nothing routed reaches a destination after
    // the panic (what sources held is released on the way); then the panic,
    // then the sessions (their panic before their goodbye) and the outputs.
    m_router->setEnabled(false);
    if (m_project.settings.panicOnStop)
        m_engine->panic();
    m_rtp->stopAll(m_project.settings.panicOnStop);
    m_midi2->stopAll(m_project.settings.panicOnStop);
    m_engine->stop();
    m_router->setEnabled(true);
    setStatus("Moteur arrêté");
}

void AppState::panic()
{
    // Every MIDI destination and every network peer.
    m_engine->panic();
    m_rtp->panic();
    m_midi2->panic();
    setStatus("Panic envoyé (All Notes/Sound Off)");
}

std::vector<EndpointKey> AppState::availableSourceKeys() const
{
    auto keys = m_engine->routableSources();
    for (auto &k : m_rtp->routableKeys())
        keys.push_back(std::move(k));
    for (auto &k : m_midi2->routableKeys())
        keys.push_back(std::move(k));
    return keys;
}

std::vector<EndpointKey> AppState::availableDestinationKeys() const
{
    auto keys = m_engine->routableDestinations();
    for (auto &k : m_rtp->routableKeys())
        keys.push_back(std::move(k));
    for (auto &k : m_midi2->routableKeys())
        keys.push_back(std::move(k));
    return keys;
}

void AppState::addRoute(const EndpointKey &source, const EndpointKey &destination)
{
    mutateProject([&](TOVProject &p) {
        Route route(source);
        route.name = source.name + " \u2192 " + destination.name;
        route.destinations = {destination};
        p.routes.push_back(std::move(route));
    });
    setDirty(true);
}

bool AppState::hasMatrixConnection(const EndpointKey &source, const EndpointKey &destination) const
{
    for (const auto &route : m_project.routes) {
        if (!route.enabled || !EndpointKey::matches(route.source, source))
            continue;
        for (const auto &d : route.destinations)
            if (EndpointKey::matches(d, destination))
                return true;
    }
    return false;
}

void AppState::toggleMatrix(const EndpointKey &source, const EndpointKey &destination)
{
    bool removed = false;
    for (std::size_t i = 0; i < m_project.routes.size(); ++i) {
        const auto &route = m_project.routes[i];
        // A disabled route shows no connection: a click on its cell must not
        // delete it (its mask and chain) unseen.
        if (!route.enabled || !EndpointKey::matches(route.source, source))
            continue;
        bool hasDestination = false;
        for (const auto &d : route.destinations)
            hasDestination = hasDestination || EndpointKey::matches(d, destination);
        if (hasDestination && route.destinations.size() == 1) {
            mutateProject([i](TOVProject &p) { p.routes.erase(p.routes.begin() + static_cast<long>(i)); });
            removed = true;
            break;
        }
    }
    if (!removed)
        addRoute(source, destination);
    setDirty(true);
}

std::string AppState::nickname(const EndpointKey &key) const
{
    for (const auto &device : m_project.devices)
        if (EndpointKey::matches(device.key, key))
            return device.nickname;
    return {};
}

std::string AppState::displayName(const EndpointKey &key) const
{
    std::string base = nickname(key);
    if (base.empty())
        base = key.name;
    switch (key.kind) {
    case EndpointKind::physical:
        return base;
    case EndpointKind::virtual_:
        return "\u2699\uFE0E " + base;
    case EndpointKind::rtp:
        return "\U0001F310 " + base;
    }
    return base;
}

void AppState::setNickname(const std::string &text, const EndpointKey &key, EndpointRole role)
{
    mutateProject([&](TOVProject &p) {
        for (auto &device : p.devices) {
            if (EndpointKey::matches(device.key, key)) {
                device.nickname = text;
                return;
            }
        }
        DeviceRef device;
        device.key = key;
        device.role = role;
        device.nickname = text;
        p.devices.push_back(std::move(device));
    });
    setDirty(true);
}

void AppState::removeDevice(const EndpointKey &key)
{
    mutateProject([&](TOVProject &p) {
        std::erase_if(p.devices, [&](const DeviceRef &d) { return EndpointKey::matches(d.key, key); });
    });
    setDirty(true);
}

void AppState::connectToDiscovered(const DiscoveredPeer &peer)
{
    const bool midi2 = peer.kind == DiscoveredPeer::Kind::midi2;
    const auto targets = [&](const auto &sessions, auto clientRole) {
        return std::any_of(sessions.begin(), sessions.end(), [&](const auto &config) {
            return config.role == clientRole && config.remoteHost == peer.host && config.remotePort == peer.port;
        });
    };
    if (midi2 ? targets(m_project.networkMidi2Sessions, NetworkMIDI2Role::client)
              : targets(m_project.rtpSessions, RTPRole::initiator)) {
        setStatus("Déjà connecté à " + peer.name);
        return;
    }
    const int port = freeLocalPort();
    mutateProject([&](TOVProject &p) {
        const std::string name = uniqueSessionName(p, peer.name);
        const auto fill = [&](auto &config, auto clientRole) {
            config.name = name;
            config.role = clientRole;
            config.localPort = port;
            config.remoteHost = peer.host;
            config.remotePort = peer.port;
        };
        if (midi2)
            fill(p.networkMidi2Sessions.emplace_back(), NetworkMIDI2Role::client);
        else
            fill(p.rtpSessions.emplace_back(), RTPRole::initiator);
    });
    applyNetwork();
    setStatus("Connexion à " + peer.name + " (" + peer.host + ":" + std::to_string(peer.port) + ")\u2026");
}

std::string AppState::uniqueSessionName(const TOVProject &project, const std::string &wanted)
{
    const auto taken = [&](const std::string &name) {
        return std::any_of(project.rtpSessions.begin(), project.rtpSessions.end(),
                           [&](const auto &s) { return s.name == name; }) ||
               std::any_of(project.networkMidi2Sessions.begin(), project.networkMidi2Sessions.end(),
                           [&](const auto &s) { return s.name == name; });
    };
    std::string name = wanted;
    for (int n = 2; taken(name); ++n)
        name = wanted + " (" + std::to_string(n) + ")";
    return name;
}

int AppState::freeLocalPort() const
{
    std::unordered_set<int> used;
    for (const auto &config : m_project.rtpSessions) {
        used.insert(config.localPort);
        used.insert(config.localPort + 1);
    }
    for (const auto &config : m_project.networkMidi2Sessions)
        used.insert(config.localPort);
    int p = 5004;
    while (used.count(p) || used.count(p + 1))
        p += 2;
    return p;
}

} // namespace korvane
