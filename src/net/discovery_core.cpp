#include "net/discovery_core.h"

namespace korvane {

namespace {

constexpr DiscoveredPeer::Kind kKinds[2] = {DiscoveredPeer::Kind::appleMidi, DiscoveredPeer::Kind::midi2};

} // namespace

void DiscoveryCore::setWanted(Wanted wanted)
{
    m_wanted = std::move(wanted);
}

bool DiscoveryCore::anythingWanted() const
{
    return m_wanted.browsing || m_wanted.publication.has_value() || m_wanted.midi2Publication.has_value();
}

void DiscoveryCore::retryLater(Time now, Time delay)
{
    if (!m_retryAt)
        m_retryAt = now + delay;
}

std::optional<DiscoveryCore::Action> DiscoveryCore::next(Time now)
{
    if (m_retryAt && now >= *m_retryAt) {
        m_retryAt.reset();
        m_clientBlocked = m_browseBlocked = false;
        for (auto &applied : m_applied)
            if (applied)
                applied->failed = false;
        // A client still waiting for the daemon is replaced: one whose first
        // call went unanswered would wait for ever.
        if (m_client == Client::connecting)
            m_client = Client::failed;
    }
    if (!anythingWanted()) {
        // Freeing the client takes its entry groups along without a call to the daemon.
        for (auto &applied : m_applied)
            applied.reset();
        if (m_client != Client::none)
            return Action{Step::freeClient};
        return std::nullopt;
    }
    for (std::size_t i = 0; i < m_applied.size(); ++i) {
        const auto &wanted = wantedPublication(i);
        auto &applied = m_applied[i];
        if (applied && (!wanted || applied->wanted.serial != wanted->serial))
            return Action{Step::withdraw, kKinds[i]};
        if (!applied && wanted)
            applied = Applied{*wanted, wanted->name};
    }
    switch (m_client) {
    case Client::failed:
        return Action{Step::freeClient};
    case Client::none:
        if (m_clientBlocked)
            return std::nullopt;
        return Action{Step::createClient};
    case Client::connecting:
    case Client::registering:
        return std::nullopt;
    case Client::running:
        break;
    }
    if (m_browserSession && (!m_wanted.browsing || *m_browserSession != m_wanted.session))
        return Action{Step::dropBrowser};
    if (m_wanted.browsing && !m_browserSession && !m_browseBlocked)
        return Action{Step::startBrowser};
    for (std::size_t i = 0; i < m_applied.size(); ++i)
        if (const auto &applied = m_applied[i]; applied && !applied->committed && !applied->failed)
            return Action{Step::publish, kKinds[i]};
    return std::nullopt;
}

void DiscoveryCore::withdrawn(DiscoveredPeer::Kind kind)
{
    m_applied[index(kind)].reset();
}

void DiscoveryCore::clientFreed()
{
    m_client = Client::none;
    m_browserSession.reset();
    for (auto &applied : m_applied)
        if (applied)
            applied->committed = false;
}

void DiscoveryCore::clientCreated(bool ok, Time now)
{
    if (!ok) {
        m_clientBlocked = true;
        retryLater(now, m_reconnectInterval);
    } else if (m_client == Client::none) {
        m_client = Client::connecting; // until the client tells its state
    }
}

void DiscoveryCore::browserStarted(bool ok, Time now)
{
    if (ok) {
        m_browserSession = m_wanted.session;
    } else {
        m_browseBlocked = true;
        retryLater(now, m_reconnectInterval);
    }
}

void DiscoveryCore::published(DiscoveredPeer::Kind kind, bool ok, Time now)
{
    auto &applied = m_applied[index(kind)];
    if (!applied)
        return;
    applied->committed = ok;
    applied->failed = !ok;
    if (!ok)
        retryLater(now, m_reconnectInterval);
}

void DiscoveryCore::renamed(DiscoveredPeer::Kind kind, std::string current)
{
    if (auto &applied = m_applied[index(kind)])
        applied->current = std::move(current);
}

void DiscoveryCore::recordsReset()
{
    m_client = Client::registering;
    for (auto &applied : m_applied)
        if (applied)
            applied->committed = false;
}

void DiscoveryCore::clientConnecting(Time now)
{
    clientFreed();
    m_client = Client::connecting;
    retryLater(now, m_reconnectInterval);
}

void DiscoveryCore::clientFailed(Time now, Time delay)
{
    m_client = Client::failed;
    m_clientBlocked = true;
    m_retryAt = now + delay;
}

} // namespace korvane
