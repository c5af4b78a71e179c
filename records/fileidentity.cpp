#include "records/fileidentity.h"

#include "protocol/manifest.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <xxhash.h>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

FileIdentity::FileIdentity(qint64 size, qint64 modified, qint64 changed, quint64 inode,
                           quint64 device)
    : valid(true), bytes(size), modifiedNs(modified), changedNs(changed), node(inode), dev(device)
{
}

FileIdentity FileIdentity::of(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return FileIdentity();
    return ofStatus(status);
#else
    const QFileInfo info(path);
    if (!info.isFile() || info.isSymLink())
        return FileIdentity();
    return FileIdentity(info.size(), info.lastModified().toMSecsSinceEpoch() * 1000000,
                        info.metadataChangeTime().toMSecsSinceEpoch() * 1000000, 0, 0);
#endif
}

#ifdef Q_OS_UNIX
FileIdentity FileIdentity::ofStatus(const struct stat &status)
{
    if (!S_ISREG(status.st_mode))
        return FileIdentity();
    return FileIdentity(status.st_size,
                        qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec,
                        qint64(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec,
                        quint64(status.st_ino), quint64(status.st_dev));
}
#endif

quint64 FileIdentity::version() const
{
    if (!valid)
        return 0;
    // Little-endian whatever the machine, so that a tag means the same on every one.
    const quint64 fields[] = {qToLittleEndian(quint64(bytes)), qToLittleEndian(quint64(modifiedNs)),
                              qToLittleEndian(quint64(changedNs)), qToLittleEndian(node),
                              qToLittleEndian(dev)};
    const quint64 tag = XXH3_64bits(fields, sizeof fields);
    return tag == 0 ? 1 : tag;
}

QByteArray FileIdentity::versionHex() const
{
    return Manifest::versionHex(version());
}

bool FileIdentity::operator==(const FileIdentity &other) const
{
    return valid == other.valid && bytes == other.bytes && modifiedNs == other.modifiedNs &&
           changedNs == other.changedNs && node == other.node && dev == other.dev;
}
