#include "send/fileversion.h"

#include "protocol/contenthash.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

quint64 FileVersion::of(const QString &path)
{
    qint64 fields[5] = {};
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    fields[0] = status.st_size;
    fields[1] = qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    fields[2] = qint64(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
    fields[3] = qint64(status.st_ino);
    fields[4] = qint64(status.st_dev);
#else
    const QFileInfo info(path);
    if (!info.exists())
        return 0;
    fields[0] = info.size();
    fields[1] = info.lastModified().toMSecsSinceEpoch();
    fields[2] = info.metadataChangeTime().toMSecsSinceEpoch();
#endif
    ContentHash tag;
    tag.add(reinterpret_cast<const char *>(fields), sizeof fields);
    return tag.value().low;
}
