#include "app/app_state.h"

#include "app/device_presence.h"
#include "app/engine_supervisor.h"
#include "midi/midi_engine.h"
#include "midi/midi_monitor.h"
#include "midi/midi_router.h"
#include "model/project_document.h"
#include "model/text.h"
#include "net/rtp_discovery.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <unordered_set>
#include <utility>

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
    : QObject(parent), m_prompts(std::move(prompts)),
      // Released notes may be logged on any MIDI or network thread. The hop
      // goes through the application object, which outlives this one; the
      // token says, on the main thread, whether this one still exists.
      m_services(std::move(midiService),
                 [this, alive = std::weak_ptr<void>(m_alive)](const std::string &line) {
                     QMetaObject::invokeMethod(
                         QCoreApplication::instance(),
                         [this, alive, line] {
                             if (alive.lock())
                                 appendLog(line);
                         },
                         Qt::QueuedConnection);
                 })
{
    // The project stream: its current value first, then every new one, on
    // the next event-loop pass.
    scheduleProjectDelivery();

    // Every publication of the endpoint lists, changed or not, so a refresh
    // skipped while the lists were in flight is made up for.
    const auto engineChanged = [this] { refreshMissing(); };
    connect(&engine(), &MIDIEngine::endpointListsPublished, this, engineChanged, Qt::QueuedConnection);
    connect(&engine(), &MIDIEngine::runningChanged, this, engineChanged, Qt::QueuedConnection);

    m_lossesTimer = new QTimer(this);
    m_lossesTimer->setInterval(std::chrono::seconds(1));
    connect(m_lossesTimer, &QTimer::timeout, this, [this] { refreshLosses(); });
    m_lossesTimer->start();

    m_supervisor = new EngineSupervisor(engine(), this);
    connect(m_supervisor, &EngineSupervisor::statusMessage, this,
            [this](const QString &text) { setStatus(toStd(text)); });
    connect(m_supervisor, &EngineSupervisor::restarted, this, [this] {
        engine().applyVirtualPorts(m_project.virtualPorts);
        setStatus("Moteur redémarré");
    });

    engine().start();
    applyAll();
}

AppState::~AppState() = default;

void AppState::appendLog(std::string line)
{
    m_logLines.push_back(line);
    while (m_logLines.size() > maxLogLines)
        m_logLines.pop_front();
    emit logLineAdded(toQString(line));
}

void AppState::refreshLosses()
{
    const MessageLosses losses = m_services.losses();
    if (losses == m_losses)
        return;
    m_losses = losses;
    emit lossesChanged();
}

void AppState::setProject(TOVProject project)
{
    m_project = std::move(project);
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
    router().updateConfiguration(m_project.routes, m_project.filterChains);
    engine().setNicknames(m_project.devices);
    refreshMissing();
}

void AppState::setStatus(std::string text)
{
    m_statusMessage = std::move(text);
    emit statusMessageChanged(toQString(m_statusMessage));
}

void AppState::setDirty(bool dirty)
{
    const bool was = m_dirty;
    m_dirty = dirty;
    if (was != dirty)
        emit dirtyChanged(dirty);
}

void AppState::setProjectURL(std::optional<std::filesystem::path> url)
{
    m_projectURL = std::move(url);
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
    router().updateConfiguration(m_project.routes, m_project.filterChains);
    engine().setNicknames(m_project.devices);
    if (followStartSetting) {
        const bool wanted = m_project.settings.startEngineOnOpen;
        m_supervisor->setWanted(wanted);
        if (wanted && !engine().running())
            engine().start();
        else if (!wanted && engine().running())
            engine().stop();
    }
    engine().applyVirtualPorts(m_project.virtualPorts);
    m_services.applyNetwork(m_project);
    monitor().setCapacity(m_project.settings.monitorBufferSize);
    // On the next pass, so a controller being built still starts on "Prêt".
    if (followStartSetting)
        QMetaObject::invokeMethod(
            this, [this] { m_supervisor->supervise(); }, Qt::QueuedConnection);
}

void AppState::applyVirtualPorts()
{
    engine().applyVirtualPorts(m_project.virtualPorts);
    setDirty(true);
    if (!engine().running())
        return; // created when the engine starts
    // The engine keeps only the ports the MIDI service created: own virtual
    // destinations are routable sources and the other way round.
    std::set<std::string> created;
    for (const auto &keys : {engine().routableSources(), engine().routableDestinations()})
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
    m_services.applyNetwork(m_project);
    setDirty(true);
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
    auto loaded = ProjectDocument::load(toQString(url.string()));
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
    auto saved = ProjectDocument::save(m_project, toQString(url.string()));
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
    m_supervisor->setWanted(true);
    engine().start();
    // The user asked for the engine: a show that does not start it on open
    // must not stop it again here.
    applyAll(false);
    if (!engine().running()) {
        // Supervision keeps trying; the user learns why nothing started.
        m_supervisor->startFailed();
        setStatus("Erreur : serveur MIDI injoignable");
        return;
    }
    setStatus("Moteur démarré");
}

void AppState::stopEngine()
{
    m_supervisor->setWanted(false);
    m_services.stop(m_project.settings.panicOnStop);
    setStatus("Moteur arrêté");
}

void AppState::panic()
{
    m_services.panic();
    setStatus("Panic envoyé (All Notes/Sound Off)");
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
            return config.role == clientRole && config.remoteHost == peer.host &&
                   config.remotePort == peer.port;
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

std::vector<EndpointKey> AppState::activeMissing() const
{
    std::vector<EndpointKey> active;
    for (const auto &key : m_missingDevices)
        if (!m_acknowledgedMissing.count(key.id()))
            active.push_back(key);
    return active;
}

void AppState::refreshMissing()
{
    if (!engine().running()) {
        if (!m_missingDevices.empty()) {
            m_missingDevices.clear();
            emit missingDevicesChanged();
        }
        return;
    }
    // Right after a start the lists are still empty: judging presence then
    // would raise a false alarm for every device of the show.
    if (!engine().endpointListsCurrent())
        return;
    std::vector<EndpointKey> missing =
        korvane::missingDevices(m_project, engine().sources(), engine().destinations());

    std::set<std::string> stillAcknowledged;
    for (const auto &key : missing)
        if (m_acknowledgedMissing.count(key.id()))
            stillAcknowledged.insert(key.id());
    m_acknowledgedMissing = std::move(stillAcknowledged);

    const auto ids = [](const std::vector<EndpointKey> &keys) {
        std::vector<std::string> list;
        for (const auto &key : keys)
            list.push_back(key.id());
        return list;
    };
    if (ids(missing) == ids(m_missingDevices))
        return;
    const std::vector<EndpointKey> previous = std::exchange(m_missingDevices, std::move(missing));
    emit missingDevicesChanged();
    const auto names = [this](const std::vector<EndpointKey> &keys) {
        std::string text;
        for (const auto &key : keys)
            text += (text.empty() ? "" : ", ") + displayName(key);
        return text;
    };
    if (!m_missingDevices.empty()) {
        setStatus("\u26A0\uFE0E Appareil déconnecté : " + names(m_missingDevices));
        return;
    }
    // Devices back: said in a line of their own, or the disconnect line would stay.
    if (const auto back = presentDevices(previous, engine().sources(), engine().destinations());
        !back.empty())
        setStatus("\u2713 Appareil reconnecté : " + names(back));
}

void AppState::acknowledgeMissing()
{
    m_acknowledgedMissing.clear();
    for (const auto &key : m_missingDevices)
        m_acknowledgedMissing.insert(key.id());
    emit missingDevicesChanged();
}

} // namespace korvane
