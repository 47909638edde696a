#include "net/rtp_midi_session.h"

#include "net/rtp_session_worker.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QRandomGenerator>
#include <QThread>

#include <sys/socket.h>

#include <array>
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
      m_initiatorToken(randomNonZero()), m_sendPath(std::make_unique<RTPSendPath>()),
      m_mainContext(std::make_unique<QObject>())
{
    if (auto *app = QCoreApplication::instance())
        m_mainContext->moveToThread(app->thread());
}

RTPMidiSession::~RTPMidiSession()
{
    stop();
    if (m_thread && QThread::currentThread() != m_thread.get()) {
        m_thread->wait();
        m_worker->joined();
    }
    // The thread has ended before the worker and m_mainContext go. The last
    // owner may be a MIDI thread that was sending while the manager let go:
    // the main-thread context is then deleted by its own thread.
    if (m_mainContext && m_mainContext->thread() != QThread::currentThread())
        m_mainContext.release()->deleteLater();
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
    m_worker = std::make_unique<RTPSessionWorker>(m_config, m_localName, m_ssrc, m_initiatorToken, m_timing,
                                                  *m_sendPath, std::move(callbacks));
    m_worker->post([worker = m_worker.get()] { worker->startProcedure(); });
    m_thread.reset(QThread::create([worker = m_worker.get()] { worker->run(); }));
    m_thread->setObjectName(QStringLiteral("korvane.rtp.%1").arg(m_config.localPort));
    m_thread->start();
}

void RTPMidiSession::stop()
{
    if (!m_started || m_stopping.exchange(true))
        return;
    if (QThread::currentThread() == m_thread.get()) {
        m_worker->stopNow();
        return;
    }
    // Runs after everything posted before it (start included); the thread
    // ends right after, once the BY packets are out and the sockets closed.
    m_worker->requestStop();
    m_thread->wait();
    m_worker->joined();
}

void RTPMidiSession::setLastSequence(std::uint16_t sequence)
{
    std::lock_guard lock(m_sendPath->mutex);
    m_sendPath->sequence = sequence;
}

void RTPMidiSession::send(const MIDIMessage &message)
{
    const auto timestamp = static_cast<std::uint32_t>(currentTick());
    // Encoded outside the lock; the sequence numbers are patched in below.
    std::array<std::uint8_t, AppleMIDI::maxDataPacketSize> single;
    std::vector<AppleMIDI::Bytes> segments;
    const std::size_t singleSize = AppleMIDI::encodeRTPInto(message, 0, timestamp, m_ssrc, single);
    if (singleSize == 0) {
        segments = AppleMIDI::encodeRTPPackets(message, 0, timestamp, m_ssrc);
        if (segments.empty())
            return;
    } else if (message.bytes.empty()) {
        return;
    }

    std::lock_guard lock(m_sendPath->mutex);
    if (m_sendPath->dataFD < 0 || m_sendPath->peers.empty())
        return; // the sequence number only counts packets that left
    const auto sendOne = [this](std::uint8_t *packet, std::size_t size) {
        const auto sequence = ++m_sendPath->sequence;
        packet[2] = static_cast<std::uint8_t>(sequence >> 8);
        packet[3] = static_cast<std::uint8_t>(sequence);
        for (const auto &to : m_sendPath->peers) {
            // Errors are ignored: no retry on a datagram socket.
            (void)::sendto(m_sendPath->dataFD, packet, size, MSG_DONTWAIT,
                           reinterpret_cast<const sockaddr *>(&to), sizeof to);
        }
    };
    if (singleSize != 0)
        sendOne(single.data(), singleSize);
    for (auto &packet : segments)
        sendOne(packet.data(), packet.size());
}

} // namespace korvane
