#include "app/instance_lock.h"

#include <QDir>
#include <QLockFile>
#include <QStandardPaths>

#include <unistd.h>

namespace korvane {

InstanceLock::InstanceLock(const QString &serverName)
{
    QString server = serverName;
    if (server.isEmpty())
        server = qEnvironmentVariable("JACK_DEFAULT_SERVER", QStringLiteral("default"));
    server.replace('/', '-');

    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath() + QStringLiteral("/korvane-%1").arg(::getuid());
    QDir().mkpath(folder);
    m_path = folder + QStringLiteral("/korvane-%1.lock").arg(server);

    m_lock = std::make_unique<QLockFile>(m_path);
    // Only a lock whose process is gone is stale, however old it is.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0))
        m_result = Result::acquired;
    else if (m_lock->error() == QLockFile::LockFailedError)
        m_result = Result::heldByAnother;
    else
        m_result = Result::unavailable;
}

InstanceLock::~InstanceLock() = default;

} // namespace korvane
