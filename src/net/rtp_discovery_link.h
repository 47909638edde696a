#pragma once

#include "net/discovery_core.h"
#include "net/discovery_types.h"

#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

struct RTPDiscoveryAvahi;

// Shared by the main thread and the discovery thread. The mutex guards only copies and
// postings, never an Avahi call, so the main thread never waits on a thread stuck in D-Bus.
struct RTPDiscoveryLink {
    using Publication = DiscoveryCore::Publication;
    // Publication serials are the owner's (its m_publication and m_midi2Publication).
    struct Wanted : DiscoveryCore::Wanted {
        std::chrono::milliseconds resolveTimeout{0};
        std::chrono::milliseconds reconnectInterval{0};
        std::chrono::milliseconds daemonReplyTimeout{0};
    };

    // Milliseconds of the steady clock.
    static std::int64_t now();

    // Queues f(reports) on the owner's (main) thread unless the owner is gone. Calls
    // already queued for a destroyed owner are discarded with it.
    template <typename F> void post(F &&f)
    {
        std::lock_guard lock(mutex);
        if (owner != nullptr)
            QMetaObject::invokeMethod(
                owner, [r = reports, f = std::forward<F>(f)]() mutable { f(*r); }, Qt::QueuedConnection);
    }
    // Called with the mutex held: wakes the discovery thread, once per batch of changes.
    void wake();

    std::mutex mutex;
    QObject *owner = nullptr;            // cleared by ~RTPDiscovery
    DiscoveryReports *reports = nullptr; // the owner's
    Wanted wanted;
    bool wakePending = false;
    RTPDiscoveryAvahi *worker = nullptr; // set by the discovery thread while its event loop runs
    // Set once by ~RTPDiscovery; read without the mutex between Avahi calls.
    std::atomic<bool> quit{false};
    // When the daemon last answered (now()); the main thread watches its age.
    std::atomic<std::int64_t> lastAnswer{0};
};

} // namespace korvane
