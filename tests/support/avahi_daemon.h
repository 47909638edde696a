#pragma once

// The private avahi-daemon that scripts/test.sh starts (scripts/lib/avahi.sh), shared by test
// runs in parallel on this machine.

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <optional>
#include <utility>

namespace korvane::test {

// Held shared while a test uses the daemon, exclusively by a test that stops or freezes it.
class AvahiLock {
public:
    explicit AvahiLock(bool exclusive)
    {
        const QByteArray dir = qgetenv("KORVANE_AVAHI_DIR");
        m_fd = dir.isEmpty() ? -1
                             : ::open((dir + "/tests.lock").constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd >= 0)
            ::flock(m_fd, exclusive ? LOCK_EX : LOCK_SH);
    }
    ~AvahiLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

private:
    int m_fd = -1;
};

// Stops the daemon and starts it again on destruction; with "daemon-pause"/"daemon-resume"
// freezes it instead (it keeps its bus name, answers nothing).
class DaemonOutage {
public:
    static std::optional<QString> control()
    {
        const QByteArray ctl = qgetenv("KORVANE_AVAHI_CTL");
        return ctl.isEmpty() ? std::nullopt : std::optional<QString>(QString::fromLocal8Bit(ctl));
    }
    explicit DaemonOutage(const char *begin = "daemon-stop", const char *end = "daemon-start") : m_end(end)
    {
        run(begin);
    }
    ~DaemonOutage() { end(); }
    void end()
    {
        if (m_end)
            run(std::exchange(m_end, nullptr));
    }

private:
    static void run(const char *command)
    {
        QProcess ctl;
        ctl.setProcessChannelMode(QProcess::ForwardedChannels);
        ctl.start("bash", {*control(), command});
        EXPECT_TRUE(ctl.waitForFinished(30000) && ctl.exitCode() == 0) << "avahi.sh " << command << " failed";
    }
    const char *m_end;
};

} // namespace korvane::test
