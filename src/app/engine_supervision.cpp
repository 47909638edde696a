#include "app/app_state.h"

#include "midi/midi_engine.h"

#include <QTimer>

namespace korvane {

std::chrono::milliseconds AppState::engineRetryInterval() const
{
    return m_engineRetry->intervalAsDuration();
}

void AppState::setEngineRetryInterval(std::chrono::milliseconds interval)
{
    m_engineRetry->setInterval(interval);
}

// After every change of the engine's running flag (queued) and every apply.
void AppState::superviseEngine()
{
    if (!m_engineWanted || m_engine->running() || m_engineRetry->isActive())
        return;
    const auto seconds = std::chrono::duration<double>(engineRetryInterval()).count();
    setStatus("Moteur arrêté : serveur MIDI injoignable, nouvel essai toutes les " +
              QString::number(seconds).toStdString() + " s");
    m_engineRetry->start();
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
    m_engine->applyVirtualPorts(m_project.virtualPorts);
    setStatus("Moteur redémarré");
}

} // namespace korvane
