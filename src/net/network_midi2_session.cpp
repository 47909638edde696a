#include "net/network_midi2_session.h"

#include "net/network_midi2_session_worker.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace korvane {

NetworkMIDI2Session::NetworkMIDI2Session(NetworkMIDI2SessionConfig config, std::string endpointName)
    : m_config(std::move(config)), m_endpointName(std::move(endpointName)),
      m_reports(std::make_shared<NetworkMIDI2ReportBox>()), m_mainContext(std::make_unique<QObject>())
{
    if (auto *app = QCoreApplication::instance())
        m_mainContext->moveToThread(app->thread());
}

NetworkMIDI2Session::~NetworkMIDI2Session()
{
    stop();
    if (m_thread && QThread::currentThread() != m_thread.get()) {
        m_thread->wait();
        m_worker->joined();
    }
    // The last owner may be a MIDI thread that was sending: the main-thread
    // context is then deleted by its own thread.
    if (m_mainContext && m_mainContext->thread() != QThread::currentThread())
        m_mainContext.release()->deleteLater();
}

void NetworkMIDI2Session::start()
{
    if (m_worker)
        return;
    NetworkMIDI2SessionWorker::Callbacks callbacks;
    callbacks.onReceive = m_onReceive;
    callbacks.onOriginGone = m_onOriginGone;
    callbacks.log = m_log;
    if (m_onStatus) {
        // m_mainContext outlives the thread (the destructor joins it first);
        // a delivery still queued when the session goes holds the box itself.
        callbacks.report = [context = m_mainContext.get(), box = m_reports, status = m_onStatus] {
            QMetaObject::invokeMethod(
                context,
                [box, status] {
                    NetworkMIDI2Status latest;
                    {
                        std::lock_guard lock(box->mutex);
                        box->pending = false;
                        latest = box->status;
                    }
                    status(latest);
                },
                Qt::QueuedConnection);
        };
    }
    m_worker = std::make_unique<NetworkMIDI2SessionWorker>(m_config, m_endpointName, m_timing, m_resolver,
                                                           *m_reports, std::move(callbacks));
    m_worker->post([worker = m_worker.get()] { worker->startProcedure(); });
    m_thread.reset(QThread::create([worker = m_worker.get()] { worker->run(); }));
    m_thread->setObjectName(QStringLiteral("korvane.nm2.%1").arg(m_config.localPort));
    m_thread->start();
    // Senders on other threads see the worker only from here on.
    m_started.store(true, std::memory_order_release);
}

void NetworkMIDI2Session::stop()
{
    if (!m_started.load(std::memory_order_acquire) || m_stopping.exchange(true))
        return;
    if (QThread::currentThread() == m_thread.get()) {
        m_worker->stopNow();
        return;
    }
    // Runs after everything posted before it (start included).
    m_worker->requestStop();
    m_thread->wait();
    m_worker->joined();
}

void NetworkMIDI2Session::send(const MIDIMessage &message)
{
    if (m_started.load(std::memory_order_acquire) && !message.bytes.empty())
        m_worker->send(message.bytes);
}

std::uint64_t NetworkMIDI2Session::dropped() const
{
    return m_started.load(std::memory_order_acquire) ? m_worker->dropped() : 0;
}

} // namespace korvane
