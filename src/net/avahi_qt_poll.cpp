#include "net/avahi_qt_poll.h"

#include <avahi-common/timeval.h>

#include <QSocketNotifier>
#include <QTimer>

#include <chrono>

struct AvahiWatch {
    korvane::AvahiQtPoll *poll = nullptr;
    int fd = -1;
    AvahiWatchEvent events{};
    AvahiWatchEvent happened{};
    AvahiWatchCallback callback = nullptr;
    void *userdata = nullptr;
    QSocketNotifier *readable = nullptr;
    QSocketNotifier *writable = nullptr;
};

struct AvahiTimeout {
    korvane::AvahiQtPoll *poll = nullptr;
    QTimer *timer = nullptr;
    AvahiTimeoutCallback callback = nullptr;
    void *userdata = nullptr;
};

namespace korvane {

namespace {

// The callback may free the watch: nothing touches it once the callback has been entered.
void dispatch(AvahiWatch *watch, AvahiWatchEvent event)
{
    watch->happened = event;
    watch->callback(watch, watch->fd, event, watch->userdata);
}

void applyEvents(AvahiWatch *watch)
{
    watch->readable->setEnabled((watch->events & AVAHI_WATCH_IN) != 0);
    watch->writable->setEnabled((watch->events & AVAHI_WATCH_OUT) != 0);
}

// Avahi gives absolute wall-clock deadlines; a null one disarms the timer.
void arm(QTimer *timer, const struct timeval *tv)
{
    if (tv == nullptr) {
        timer->stop();
        return;
    }
    const AvahiUsec overdue = avahi_age(tv);
    const long long remainingMs = overdue >= 0 ? 0 : (-overdue + 999) / 1000;
    timer->start(std::chrono::milliseconds(remainingMs));
}

void release(QObject *object)
{
    object->disconnect();
    object->deleteLater();
}

} // namespace

AvahiQtPoll::AvahiQtPoll()
{
    m_api.userdata = this;
    m_api.watch_new = &AvahiQtPoll::watchNew;
    m_api.watch_update = &AvahiQtPoll::watchUpdate;
    m_api.watch_get_events = &AvahiQtPoll::watchGetEvents;
    m_api.watch_free = &AvahiQtPoll::watchFree;
    m_api.timeout_new = &AvahiQtPoll::timeoutNew;
    m_api.timeout_update = &AvahiQtPoll::timeoutUpdate;
    m_api.timeout_free = &AvahiQtPoll::timeoutFree;
}

AvahiQtPoll::~AvahiQtPoll()
{
    // Normally empty: the Avahi client frees what it made. Notifiers and timers go with m_context.
    for (AvahiWatch *watch : m_watches)
        delete watch;
    for (AvahiTimeout *timeout : m_timeouts)
        delete timeout;
}

AvahiWatch *AvahiQtPoll::watchNew(const AvahiPoll *api, int fd, AvahiWatchEvent events,
                                  AvahiWatchCallback callback, void *userdata)
{
    auto *self = static_cast<AvahiQtPoll *>(api->userdata);
    auto *watch = new AvahiWatch;
    watch->poll = self;
    watch->fd = fd;
    watch->events = events;
    watch->callback = callback;
    watch->userdata = userdata;
    watch->readable = new QSocketNotifier(fd, QSocketNotifier::Read, &self->m_context);
    watch->writable = new QSocketNotifier(fd, QSocketNotifier::Write, &self->m_context);
    QObject::connect(watch->readable, &QSocketNotifier::activated,
                     [watch] { dispatch(watch, AVAHI_WATCH_IN); });
    QObject::connect(watch->writable, &QSocketNotifier::activated,
                     [watch] { dispatch(watch, AVAHI_WATCH_OUT); });
    applyEvents(watch);
    self->m_watches.insert(watch);
    return watch;
}

void AvahiQtPoll::watchUpdate(AvahiWatch *watch, AvahiWatchEvent events)
{
    watch->events = events;
    applyEvents(watch);
}

AvahiWatchEvent AvahiQtPoll::watchGetEvents(AvahiWatch *watch)
{
    return watch->happened;
}

void AvahiQtPoll::watchFree(AvahiWatch *watch)
{
    watch->readable->setEnabled(false);
    watch->writable->setEnabled(false);
    release(watch->readable);
    release(watch->writable);
    watch->poll->m_watches.erase(watch);
    delete watch;
}

AvahiTimeout *AvahiQtPoll::timeoutNew(const AvahiPoll *api, const struct timeval *tv,
                                      AvahiTimeoutCallback callback, void *userdata)
{
    auto *self = static_cast<AvahiQtPoll *>(api->userdata);
    auto *timeout = new AvahiTimeout;
    timeout->poll = self;
    timeout->callback = callback;
    timeout->userdata = userdata;
    timeout->timer = new QTimer(&self->m_context);
    timeout->timer->setSingleShot(true);
    // The callback may free the timeout: nothing touches it afterwards.
    QObject::connect(timeout->timer, &QTimer::timeout,
                     [timeout] { timeout->callback(timeout, timeout->userdata); });
    arm(timeout->timer, tv);
    self->m_timeouts.insert(timeout);
    return timeout;
}

void AvahiQtPoll::timeoutUpdate(AvahiTimeout *timeout, const struct timeval *tv)
{
    arm(timeout->timer, tv);
}

void AvahiQtPoll::timeoutFree(AvahiTimeout *timeout)
{
    timeout->timer->stop();
    release(timeout->timer);
    timeout->poll->m_timeouts.erase(timeout);
    delete timeout;
}

} // namespace korvane
