#include "app/engine_supervisor.h"

#include "midi/midi_engine.h"
#include "model/text.h"

#include <QLocale>
#include <QTimer>

namespace korvane {

namespace {

// "2", "0,5": the window is French.
std::string retrySeconds(std::chrono::milliseconds interval)
{
    return toStd(QLocale(QLocale::French).toString(std::chrono::duration<double>(interval).count()));
}

} // namespace

EngineSupervisor::EngineSupervisor(MIDIEngine &engine, QObject *parent)
    : QObject(parent), m_engine(engine), m_retry(new QTimer(this))
{
    m_retry->setInterval(std::chrono::seconds(2));
    connect(m_retry, &QTimer::timeout, this, [this] { retry(); });
    connect(
        &m_engine, &MIDIEngine::runningChanged, this,
        [this](bool running) {
            // Stopped while wanted: the server went (a user's stop ends the wish first).
            if (!running && m_wanted) {
                m_lossReason = "Le serveur MIDI " + m_engine.serviceName() + " s'est arrêté";
                if (reopenAtOnce())
                    return;
            }
            supervise();
        },
        Qt::QueuedConnection);
}

void EngineSupervisor::setWanted(bool wanted)
{
    m_wanted = wanted;
    if (!wanted) {
        m_retry->stop();
        publishLoss();
    }
}

void EngineSupervisor::startFailed()
{
    m_retry->start();
    publishLoss();
}

std::chrono::milliseconds EngineSupervisor::retryInterval() const
{
    return m_retry->intervalAsDuration();
}

void EngineSupervisor::setRetryInterval(std::chrono::milliseconds interval)
{
    m_retry->setInterval(interval);
    publishLoss();
}

void EngineSupervisor::supervise()
{
    if (!m_wanted || m_engine.running() || m_retry->isActive())
        return;
    emit statusMessage(toQString("Moteur arrêté : serveur MIDI injoignable, nouvel essai toutes les " +
                                 retrySeconds(retryInterval()) + " s"));
    m_retry->start();
    publishLoss();
}

void EngineSupervisor::retry()
{
    if (!m_wanted || m_engine.running()) {
        m_retry->stop();
        return;
    }
    m_engine.start();
    if (!m_engine.running())
        return;
    m_retry->stop();
    publishLoss();
    emit restarted();
}

bool EngineSupervisor::reopenAtOnce()
{
    // PipeWire's JACK library (0.3.x) reports any error the server returns to
    // one of its requests as a shutdown and leaves the client unusable, while
    // the server and every other program run on. When the server is really
    // gone the open fails at once and the slow retries take over.
    if (m_engine.serviceName() != "PipeWire" || m_retry->isActive())
        return false;
    const auto now = std::chrono::steady_clock::now();
    if (m_lastReopen && now - *m_lastReopen < std::chrono::seconds(5))
        return false;
    m_lastReopen = now;
    m_engine.start();
    if (!m_engine.running())
        return false;
    m_lossReason.clear();
    emit restarted();
    return true;
}

void EngineSupervisor::retryNow()
{
    if (m_retry->isActive())
        retry();
}

std::optional<EngineSupervisor::Loss> EngineSupervisor::loss() const
{
    if (!m_wanted || m_engine.running() || !m_retry->isActive())
        return std::nullopt;
    return Loss{m_lossReason.empty() ? "Le serveur MIDI " + m_engine.serviceName() + " ne répond pas"
                                     : m_lossReason,
                retryInterval()};
}

void EngineSupervisor::publishLoss()
{
    auto loss = this->loss();
    if (!loss)
        m_lossReason.clear();
    if (loss == m_publishedLoss)
        return;
    m_publishedLoss = std::move(loss);
    emit lossChanged();
}

} // namespace korvane
