#include "app/instancelock.h"

#include "settings/settingskeys.h"

#include <QDir>

InstanceLock::InstanceLock(const QString &folder)
    : path(QDir(folder).filePath(lockFileName())), lock(path)
{
    // A copy runs for hours: its lock must not count as stale by age, only once its process is gone
    // (QLockFile checks that by the process id in the file).
    lock.setStaleLockTime(0);
}

QString InstanceLock::lockFileName()
{
    return SettingsKeys::lockFileName();
}

InstanceLock::Result InstanceLock::tryLock()
{
    if (lock.tryLock(0))
        return Result::Acquired;
    if (lock.error() != QLockFile::LockFailedError)
        return Result::Unavailable;
    QString hostName;
    QString appName;
    if (!lock.getLockInfo(&holder, &hostName, &appName))
        holder = 0;
    return Result::HeldByOther;
}
