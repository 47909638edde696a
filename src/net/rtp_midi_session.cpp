#include "net/rtp_midi_session.h"

#include "net/rtp_session_worker.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QRandomGenerator>
#include <QThread>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
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

std::optional<std::uint32_t> RTPMidiSession::systemResolver(const std::string &host)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result)
        return std::nullopt;
    std::optional<std::uint32_t> found;
    if (result->ai_family == AF_INET && result->ai_addrlen >= sizeof(sockaddr_in))
        found = ntohl(reinterpret_cast<const sockaddr_in *>(result->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(result);
    return found;
}

RTPMidiSession::RTPMidiSession(RTPSessionConfig config, std::string localName)
    : m_config(std::move(config)), m_localName(std::move(localName)), m_ssrc(randomNonZero()),
      m_initiatorToken(randomNonZero()), m_sendPath(std::make_unique<RTPSendPath>()),
      m_reports(std::make_shared<RTPReportBox>()), m_mainContext(std::make_unique<QObject>())
{
    m_sendPath->ssrc = m_ssrc;
    if (m_config.recoveryJournal)
        m_sendPath->journal = std::make_unique<RecoveryJournal::JournalSender>();
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
    callbacks.onOriginGone = m_onOriginGone;
    callbacks.log = m_log;
    if (m_onPeersChanged || m_onStatus) {
        // m_mainContext outlives the thread (the destructor joins it first),
        // so posting from the session thread is safe; deleting the context
        // drops deliveries not yet made. A delivery still queued when the
        // session goes holds the box itself.
        callbacks.report = [context = m_mainContext.get(), box = m_reports, peers = m_onPeersChanged,
                            status = m_onStatus] {
            QMetaObject::invokeMethod(
                context,
                [box, peers, status] {
                    std::vector<std::string> labels;
                    RTPSessionStatus latest;
                    {
                        std::lock_guard lock(box->mutex);
                        box->pending = false;
                        labels = box->labels;
                        latest = box->status;
                    }
                    if (peers)
                        peers(labels);
                    if (status)
                        status(latest);
                },
                Qt::QueuedConnection);
        };
    }
    m_worker = std::make_unique<RTPSessionWorker>(m_config, m_localName, m_ssrc, m_initiatorToken, m_timing,
                                                  m_resolver, *m_sendPath, *m_reports, std::move(callbacks));
    m_worker->post([worker = m_worker.get()] { worker->startProcedure(); });
    m_thread.reset(QThread::create([worker = m_worker.get()] { worker->run(); }));
    m_thread->setObjectName(QStringLiteral("korvane.rtp.%1").arg(m_config.localPort));
    m_thread->start();
}

void RTPMidiSession::requestStop(bool panicFirst)
{
    if (!m_started || m_stopRequested.exchange(true))
        return;
    if (QThread::currentThread() == m_thread.get()) {
        m_worker->stopNow(); // inside a callback: no waiting for a confirmation here
        return;
    }
    // Runs after everything posted before it (start included); the thread
    // ends right after, once the BY packets are out and the sockets closed.
    m_worker->post([worker = m_worker.get(), panicFirst] { worker->beginStop(panicFirst); });
}

void RTPMidiSession::stop(bool panicFirst)
{
    requestStop(panicFirst);
    if (!m_started || QThread::currentThread() == m_thread.get())
        return;
    m_thread->wait();
    m_worker->joined();
}

void RTPMidiSession::setLastSequence(std::uint16_t sequence)
{
    std::lock_guard lock(m_sendPath->mutex);
    m_sendPath->sequence = sequence;
}

void RTPMidiSession::setSendFunction(
    std::function<long(int, const std::uint8_t *, std::size_t, const sockaddr_in &)> send)
{
    std::lock_guard lock(m_sendPath->mutex);
    m_sendPath->sendFunction = std::move(send);
}

void RTPMidiSession::send(const MIDIMessage &message)
{
    m_sendPath->send(message);
}

void RTPMidiSession::sendPanic()
{
    RTPSessionWorker::sendPanic(*m_sendPath);
}

std::uint64_t RTPMidiSession::droppedPackets() const
{
    return m_sendPath->dropped.load();
}

} // namespace korvane
