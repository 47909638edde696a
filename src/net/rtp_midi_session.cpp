#include "net/rtp_midi_session.h"

#include "net/rtp_session_worker.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QRandomGenerator>

#include <limits>

namespace korvane {

namespace {

// Uniform in 1 ... 2^32 - 1: never 0.
std::uint32_t randomNonZero()
{
    return QRandomGenerator::system()->bounded(std::numeric_limits<std::uint32_t>::max()) + 1u;
}

} // namespace

RTPMidiSession::RTPMidiSession(RTPSessionConfig config, std::string localName)
    : m_config(std::move(config)), m_localName(std::move(localName)), m_ssrc(randomNonZero()),
      m_initiatorToken(randomNonZero()), m_mainContext(std::make_unique<QObject>())
{
    if (auto *app = QCoreApplication::instance())
        m_mainContext->moveToThread(app->thread());
    m_thread.setObjectName(QStringLiteral("korvane.rtp.%1").arg(m_config.localPort));
}

RTPMidiSession::~RTPMidiSession()
{
    stop();
    if (QThread::currentThread() != &m_thread)
        m_thread.wait();
    // The thread has ended: nothing runs on the worker any more, and events
    // still queued for it (late sends) are discarded with it.
    delete m_worker;
}

void RTPMidiSession::start()
{
    if (m_started.exchange(true))
        return;
    RTPSessionWorker::Callbacks callbacks;
    callbacks.onReceive = m_onReceive;
    callbacks.log = m_log;
    if (m_onPeersChanged) {
        // m_mainContext outlives the thread (the destructor joins it first),
        // so posting to it from the session thread is safe; deleting it drops
        // reports not yet delivered.
        callbacks.reportPeers = [context = m_mainContext.get(),
                                 callback = m_onPeersChanged](const std::vector<std::string> &labels) {
            QMetaObject::invokeMethod(
                context, [callback, labels] { callback(labels); }, Qt::QueuedConnection);
        };
    }
    m_worker = new RTPSessionWorker(m_config, m_localName, m_ssrc, m_initiatorToken, m_timing, m_lastSequence,
                                    std::move(callbacks));
    m_worker->moveToThread(&m_thread);
    m_thread.start();
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker] { worker->startProcedure(); }, Qt::QueuedConnection);
}

void RTPMidiSession::stop()
{
    if (!m_started || m_stopping.exchange(true))
        return;
    if (QThread::currentThread() == &m_thread) {
        m_worker->stopProcedure();
        m_thread.quit();
        return;
    }
    // Runs after everything queued before it (start included) and blocks
    // until the BY packets are out and the sockets closed.
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker] { worker->stopProcedure(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void RTPMidiSession::send(const MIDIMessage &message)
{
    if (!m_started || m_stopping)
        return;
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, message] { worker->sendProcedure(message); }, Qt::QueuedConnection);
}

} // namespace korvane
