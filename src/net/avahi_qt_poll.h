#pragma once

#include <avahi-common/watch.h>

#include <QObject>

#include <unordered_set>

namespace korvane {

// An AvahiPoll that runs Avahi's descriptors and timers on the event loop of the thread that
// created it, so every Avahi callback arrives on that thread. Must outlive every Avahi object
// made with it (free the AvahiClient first).
class AvahiQtPoll {
public:
    AvahiQtPoll();
    ~AvahiQtPoll();
    AvahiQtPoll(const AvahiQtPoll &) = delete;
    AvahiQtPoll &operator=(const AvahiQtPoll &) = delete;

    const AvahiPoll *api() const { return &m_api; }

private:
    static AvahiWatch *watchNew(const AvahiPoll *api, int fd, AvahiWatchEvent events,
                                AvahiWatchCallback callback, void *userdata);
    static void watchUpdate(AvahiWatch *watch, AvahiWatchEvent events);
    static AvahiWatchEvent watchGetEvents(AvahiWatch *watch);
    static void watchFree(AvahiWatch *watch);
    static AvahiTimeout *timeoutNew(const AvahiPoll *api, const struct timeval *tv,
                                    AvahiTimeoutCallback callback, void *userdata);
    static void timeoutUpdate(AvahiTimeout *timeout, const struct timeval *tv);
    static void timeoutFree(AvahiTimeout *timeout);

    AvahiPoll m_api{};
    // Parent of the socket notifiers and timers: they are released with deleteLater() because
    // Avahi may free a watch or timeout from inside its own callback.
    QObject m_context;
    std::unordered_set<AvahiWatch *> m_watches;
    std::unordered_set<AvahiTimeout *> m_timeouts;
};

} // namespace korvane
