#pragma once

#include <QString>

#include <memory>

class QLockFile;

namespace korvane {

// One KORVANE per user and MIDI server: a second one would connect to the same
// sources and route every note twice. The lock is a file in the user's
// runtime folder named after the JACK server; a lock left by a crashed
// process is taken over. Released when the object goes.
class InstanceLock {
public:
    // The exit status of a program that finds another instance running; the
    // user unit does not restart on it (RestartPreventExitStatus=).
    static constexpr int exitAlreadyRunning = 3;

    enum class Result { acquired, heldByAnother, unavailable };

    // `serverName` empty: the server JACK clients reach by default.
    explicit InstanceLock(const QString &serverName = {});
    ~InstanceLock();

    Result result() const { return m_result; }
    QString path() const { return m_path; }

private:
    std::unique_ptr<QLockFile> m_lock;
    QString m_path;
    Result m_result = Result::unavailable;
};

} // namespace korvane
