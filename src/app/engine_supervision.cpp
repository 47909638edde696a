#include "app/app_state.h"

#include "midi/midi_engine.h"

#include <QLocale>
#include <QTimer>

namespace korvane {

namespace {

// "2", "0,5": the window is French.
std::string retrySeconds(std::chrono::milliseconds interval)
{
    return QLocale(QLocale::French).toString(std::chrono::duration<double>(interval).count()).toStdString();
}

} // namespace

std::chrono::milliseconds AppState::engineRetryInterval() const
{
    return m_engineRetry->intervalAsDuration();
}

void AppState::setEngineRetryInterval(std::chrono::milliseconds interval)
{
    m_engineRetry->setInterval(interval);
    publishEngineLoss();
}

// After every change of the engine's running flag (queued) and every apply.
void AppState::superviseEngine()
{
    if (!m_engineWanted || m_engine->running() || m_engineRetry->isActive())
        return;
    setStatus("Moteur arrêté : serveur MIDI injoignable, nouvel essai toutes les " +
              retrySeconds(engineRetryInterval()) + " s");
    m_engineRetry->start();
    publishEngineLoss();
}

void AppState::retryEngine()
{
    if (!m_engineWanted || m_engine->running()) {
        m_engineRetry->stop();
        return;
    }
    m_engine->start();
    if (!m_engine->running())
        return;
    m_engineRetry->stop();
    publishEngineLoss();
    m_engine->applyVirtualPorts(m_project.virtualPorts);
    setStatus("Moteur redémarré");
}

void AppState::retryEngineNow()
{
    if (m_engineRetry->isActive())
        retryEngine();
}

std::optional<AppState::EngineLoss> AppState::engineLoss() const
{
    if (!m_engineWanted || m_engine->running() || !m_engineRetry->isActive())
        return std::nullopt;
    return EngineLoss{m_engineLossReason.empty()
                          ? "Le serveur MIDI " + m_engine->serviceName() + " ne répond pas"
                          : m_engineLossReason,
                      engineRetryInterval()};
}

void AppState::publishEngineLoss()
{
    auto loss = engineLoss();
    if (!loss)
        m_engineLossReason.clear();
    if (loss == m_publishedEngineLoss)
        return;
    m_publishedEngineLoss = std::move(loss);
    emit changed();
    emit engineLossChanged();
}

} // namespace korvane
