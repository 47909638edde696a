#pragma once

#include <QObject>

#include <chrono>
#include <optional>
#include <string>

class QTimer;

namespace korvane {

class MIDIEngine;

// While the user wants the engine running (the show starts it on open, or
// Start was asked for), a missing or restarted MIDI server is tried again
// every `retryInterval()`; once it answers, `restarted` lets the controller
// bring the show's virtual ports back. Stop ends the wish. Main thread.
class EngineSupervisor : public QObject {
    Q_OBJECT

public:
    explicit EngineSupervisor(MIDIEngine &engine, QObject *parent = nullptr);

    bool wanted() const { return m_wanted; }
    void setWanted(bool wanted);
    // The user asked for the engine and it did not start: retrying begins now.
    void startFailed();

    std::chrono::milliseconds retryInterval() const;
    void setRetryInterval(std::chrono::milliseconds interval);

    // While the server is tried again: why the engine is down ("Le serveur
    // MIDI JACK s'est arrêté") and how often it is tried.
    struct Loss {
        std::string reason;
        std::chrono::milliseconds retryInterval;
        friend bool operator==(const Loss &, const Loss &) = default;
    };
    std::optional<Loss> loss() const;
    // The next try, now.
    void retryNow();
    // After every change of the engine's running flag (queued) and every apply.
    void supervise();

signals:
    void lossChanged();
    void restarted();
    void statusMessage(const QString &text);

private:
    void retry();
    // A server that runs on after reporting a shutdown: a new client at once,
    // at most once every few seconds (a server that keeps failing gets the
    // slow retries).
    bool reopenAtOnce();
    // Announces loss() when it differs from what was last announced.
    void publishLoss();

    MIDIEngine &m_engine;
    bool m_wanted = false;
    QTimer *m_retry;
    std::string m_lossReason;
    std::optional<Loss> m_publishedLoss;
    std::optional<std::chrono::steady_clock::time_point> m_lastReopen;
};

} // namespace korvane
