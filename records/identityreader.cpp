#include "records/identityreader.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

IdentityReader &IdentityReader::operator=(const IdentityReader &other)
{
    if (this != &other)
        close();
    return *this;
}

IdentityReader::~IdentityReader()
{
    close();
}

void IdentityReader::close()
{
#ifdef Q_OS_UNIX
    if (descriptor >= 0)
        ::close(descriptor);
#endif
    descriptor = -1;
    folder.clear();
}

#ifdef Q_OS_UNIX
bool IdentityReader::status(const QString &path, struct stat *status)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash <= 0)
        return ::lstat(QFile::encodeName(path).constData(), status) == 0;
    if (descriptor < 0 || QStringView(path).left(slash) != QStringView(folder)) {
        close();
        folder = path.left(slash);
        descriptor =
            ::open(QFile::encodeName(folder).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (descriptor < 0)
            return false;
    }
    if (::fstatat(descriptor, QFile::encodeName(path.mid(slash + 1)).constData(), status,
                  AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    // The folder may have been replaced since it was opened: the path itself decides.
    return errno == ENOENT && ::lstat(QFile::encodeName(path).constData(), status) == 0;
}
#endif

FileIdentity IdentityReader::of(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat found;
    return status(path, &found) ? FileIdentity::ofStatus(found) : FileIdentity();
#else
    return FileIdentity::of(path);
#endif
}
