#pragma once

#include "model/project.h"

#include <QObject>

#include <chrono>
#include <map>

class QTimer;

namespace korvane {

class MIDIRouter;

// Which routes carried a message lately. Reads the router's per-route
// counters ten times a second while started; a route whose count moved is
// active from that reading for `litFor`, then goes dark on its own timer, so
// a light never stays on for longer than one reading plus `litFor`.
// Main thread only.
class RouteActivity : public QObject {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kPollInterval{100};
    static constexpr std::chrono::milliseconds kLitFor{150};

    RouteActivity(const MIDIRouter &router, QObject *parent = nullptr);

    // The owner starts it while its page is shown and stops it when hidden.
    void start();
    void stop();
    bool isActive(const Uuid &routeID) const;

signals:
    void activityChanged();

private:
    void poll();
    void expire();

    const MIDIRouter &m_router;
    QTimer *m_poll;
    QTimer *m_expiry;
    std::map<Uuid, std::uint64_t> m_lastCounts;
    std::map<Uuid, Clock::time_point> m_litUntil;
};

} // namespace korvane
