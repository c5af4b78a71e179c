#ifndef INSTANCELOCK_H
#define INSTANCELOCK_H

#include <QLockFile>
#include <QString>

// One copy of the program per working folder: copies in one folder would share config.ini and the
// work file "header" and spoil each other's transfers. The lock is a file in
// that folder, held until the object goes; a copy that died leaves a lock the next one takes over.
class InstanceLock
{
public:
    enum class Result { Acquired, HeldByOther, Unavailable };

    explicit InstanceLock(const QString &folder);

    Result tryLock();
    // The process id of the copy that holds the lock, once tryLock() said HeldByOther; 0 if the
    // lock file did not tell.
    qint64 holderPid() const { return holder; }
    QString fileName() const { return path; }

    static QString lockFileName();

private:
    QString path;
    QLockFile lock;
    qint64 holder = 0;
};

#endif // INSTANCELOCK_H
