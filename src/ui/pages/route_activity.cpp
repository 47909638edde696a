#include "ui/pages/route_activity.h"

#include "midi/midi_router.h"

#include <QTimer>

namespace korvane {

RouteActivity::RouteActivity(const MIDIRouter &router, QObject *parent)
    : QObject(parent), m_router(router), m_poll(new QTimer(this)), m_expiry(new QTimer(this))
{
    m_poll->setInterval(kPollInterval);
    m_expiry->setSingleShot(true);
    m_expiry->setTimerType(Qt::PreciseTimer);
    connect(m_poll, &QTimer::timeout, this, [this] { poll(); });
    connect(m_expiry, &QTimer::timeout, this, [this] { expire(); });
}

void RouteActivity::start()
{
    if (m_poll->isActive())
        return;
    // Counts that moved while nobody looked are no news.
    m_lastCounts.clear();
    for (const Route &route : m_router.routes())
        if (auto count = m_router.routeMessageCount(route.id))
            m_lastCounts[route.id] = *count;
    m_poll->start();
}

void RouteActivity::stop()
{
    m_poll->stop();
    m_expiry->stop();
    const bool wasLit = !m_litUntil.empty();
    m_litUntil.clear();
    if (wasLit)
        emit activityChanged();
}

bool RouteActivity::isActive(const Uuid &routeID) const
{
    return m_litUntil.count(routeID) != 0;
}

void RouteActivity::poll()
{
    const auto now = Clock::now();
    bool changed = false;
    std::map<Uuid, std::uint64_t> counts;
    for (const Route &route : m_router.routes()) {
        const auto count = m_router.routeMessageCount(route.id);
        if (!count)
            continue;
        counts[route.id] = *count;
        // A route that reached the router since start() counted from zero.
        auto last = m_lastCounts.find(route.id);
        if ((last == m_lastCounts.end() ? 0 : last->second) == *count)
            continue;
        changed = changed || m_litUntil.count(route.id) == 0;
        m_litUntil[route.id] = now + kLitFor;
    }
    m_lastCounts = std::move(counts);
    if (changed)
        emit activityChanged();
    expire();
}

void RouteActivity::expire()
{
    const auto now = Clock::now();
    const auto before = m_litUntil.size();
    std::erase_if(m_litUntil, [&](const auto &entry) { return entry.second <= now; });
    if (m_litUntil.size() != before)
        emit activityChanged();
    if (m_litUntil.empty()) {
        m_expiry->stop();
        return;
    }
    auto next = m_litUntil.begin()->second;
    for (const auto &[id, until] : m_litUntil)
        next = std::min(next, until);
    m_expiry->start(std::chrono::ceil<std::chrono::milliseconds>(next - now));
}

} // namespace korvane
