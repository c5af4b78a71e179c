#include "send/readahead.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

ReadAhead::ReadAhead(int count, std::function<QString(int)> pathOf)
    : count(count), pathOf(std::move(pathOf))
{
}

void ReadAhead::reached(int index)
{
    asked = qMax(asked, index + 1);
    for (; asked < count && asked <= index + window; ++asked) {
        const QString path = pathOf(asked);
        if (path.isEmpty())
            continue;
#ifdef Q_OS_LINUX
        // Non-blocking: a file replaced by a pipe since it was listed must not hold this up.
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        ::posix_fadvise(fd, 0, headBytes, POSIX_FADV_WILLNEED);
        ::close(fd);
#endif
    }
}
