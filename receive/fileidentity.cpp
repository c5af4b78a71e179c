#include "receive/fileidentity.h"

#include <QFile>

#include <sys/stat.h>

bool FileIdentity::of(const QString &path, FileIdentity *identity)
{
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    identity->size = status.st_size;
    identity->modified = qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    identity->changed = qint64(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
    identity->inode = status.st_ino;
    identity->device = status.st_dev;
    return true;
}

qint64 FileIdentity::key() const
{
    quint64 mixed = quint64(modified);
    for (const quint64 part : {quint64(changed), inode, device})
        mixed = (mixed ^ part) * Q_UINT64_C(0x100000001b3);
    return qint64(mixed >> 1);
}
