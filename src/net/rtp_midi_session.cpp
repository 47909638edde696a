#include "net/rtp_midi_session.h"

#include "net/rtp_session_worker.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QRandomGenerator>

#include <sys/socket.h>

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
      m_initiatorToken(randomNonZero()), m_sendPath(std::make_unique<RTPSendPath>()), m_mainContext(std::make_unique<QObject>())
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
    m_worker = new RTPSessionWorker(m_config, m_localName, m_ssrc, m_initiatorToken, m_timing, *m_sendPath,
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

void RTPMidiSession::setLastSequence(std::uint16_t sequence)
{
    std::lock_guard lock(m_sendPath->mutex);
    m_sendPath->sequence = sequence;
}

void RTPMidiSession::send(const MIDIMessage &message)
{
    // Encoded outside the lock; the sequence numbers are patched in below.
    auto packets = AppleMIDI::encodeRTPPackets(message, 0, static_cast<std::uint32_t>(currentTick()), m_ssrc);
    if (packets.empty())
        return;
    std::lock_guard lock(m_sendPath->mutex);
    if (m_sendPath->dataFD < 0 || m_sendPath->peers.empty())
        return; // the sequence number only counts packets that left
    for (auto &packet : packets) {
        const auto sequence = ++m_sendPath->sequence;
        packet[2] = static_cast<std::uint8_t>(sequence >> 8);
        packet[3] = static_cast<std::uint8_t>(sequence);
        for (const auto &to : m_sendPath->peers) {
            // Errors are ignored: no retry on a datagram socket.
            (void)::sendto(m_sendPath->dataFD, packet.data(), packet.size(), MSG_DONTWAIT,
                           reinterpret_cast<const sockaddr *>(&to), sizeof to);
        }
    }
}

} // namespace korvane
