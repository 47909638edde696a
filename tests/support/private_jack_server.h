#pragma once

#include "support/jack_test_client.h"
#include "support/test_support.h"

#include <QProcess>
#include <QProcessEnvironment>

namespace korvane::test {

// A private server, so the shared one survives. Its name is fixed: JACK keeps
// a small registry of server names (eight at most) in shared memory, and a
// crashed server's entry is only reclaimed by a later server of the same name.
class PrivateJackServer {
public:
    explicit PrivateJackServer(QString name) : m_name(std::move(name)) {}
    ~PrivateJackServer() { stop(); }

    bool start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("JACK_NO_AUDIO_RESERVATION", "1");
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start("jackd", {"-n", m_name, "--no-realtime", "-d", "dummy", "-r", "48000", "-p", "256"});
        if (!m_process.waitForStarted(5000))
            return false;
        // Probe every 100 ms: each failed attempt makes libjack print a few lines.
        auto lastTry = std::chrono::steady_clock::now() - std::chrono::seconds(1);
        return waitUntil(
            [&] {
                if (std::chrono::steady_clock::now() - lastTry < std::chrono::milliseconds(100))
                    return false;
                lastTry = std::chrono::steady_clock::now();
                return JackTestClient("korvane-probe", m_name.toStdString()).ok();
            },
            std::chrono::seconds(10));
    }
    std::string output() { return m_process.readAll().toStdString(); }
    // A crash: no clean-up by the server.
    void kill()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    // A clean exit that gives back its registry entry.
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            kill();
    }

private:
    QString m_name;
    QProcess m_process;
};

} // namespace korvane::test
