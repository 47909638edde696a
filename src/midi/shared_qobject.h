#pragma once

// Shared ownership of a QObject whose last owner may be any thread.
//
// The router and the receive threads hold the engine and the monitor only
// for the length of one message, but if the main thread lets go meanwhile,
// that thread ends up with the last reference. Destroying the object there
// would stop the engine from its own JACK input thread (a thread joining
// itself aborts the program) or kill the monitor's timer from a foreign
// thread. The deleter below hands such a release to the object's own thread
// through its event loop; a release on that thread deletes at once.

#include <QObject>
#include <QThread>

#include <memory>
#include <type_traits>
#include <utility>

namespace korvane {

struct DeleteOnOwnThread {
    void operator()(QObject *object) const
    {
        if (object->thread() == QThread::currentThread())
            delete object;
        else
            object->deleteLater(); // posted to the object's thread; thread-safe
    }
};

template <typename T, typename... Args> std::shared_ptr<T> makeSharedQObject(Args &&...args)
{
    static_assert(std::is_base_of_v<QObject, T>);
    return std::shared_ptr<T>(new T(std::forward<Args>(args)...), DeleteOnOwnThread{});
}

} // namespace korvane
