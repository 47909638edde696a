#include "net/rtp_discovery_link.h"

#include "net/rtp_discovery_avahi.h"

namespace korvane {

std::int64_t RTPDiscoveryLink::now()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void RTPDiscoveryLink::wake()
{
    if (wakePending || worker == nullptr)
        return; // a wake-up is queued, or the thread reads the wanted state when it starts
    wakePending = true;
    QMetaObject::invokeMethod(
        &worker->context, [worker = worker] { worker->reconcile(); }, Qt::QueuedConnection);
}

} // namespace korvane
