#include "send/socketwait.h"

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#endif

namespace {

int pollFor(qintptr fd, short events, int ms)
{
#ifdef Q_OS_WIN
    WSAPOLLFD entry = {SOCKET(fd), events, 0};
    return WSAPoll(&entry, 1, ms);
#else
    pollfd entry = {int(fd), events, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, ms);
    } while (ready < 0 && errno == EINTR);
    return ready;
#endif
}

} // namespace

bool SocketWait::writable(qintptr fd, int ms)
{
    return pollFor(fd, POLLOUT, ms) > 0;
}

SocketWait::PeerEnd SocketWait::peerEnd(qintptr fd, int ms)
{
    if (pollFor(fd, POLLIN, ms) <= 0)
        return Pending;
    char buffer[4096];
    for (;;) {
#ifdef Q_OS_WIN
        const int got = ::recv(SOCKET(fd), buffer, sizeof buffer, 0);
        if (got == 0)
            return Closed;
        if (got < 0)
            return WSAGetLastError() == WSAEWOULDBLOCK ? Pending : Reset;
#else
        const ssize_t got = ::recv(int(fd), buffer, sizeof buffer, 0);
        if (got == 0)
            return Closed;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? Pending : Reset;
        }
#endif
    }
}

qint64 SocketWait::unacknowledged(qintptr fd)
{
#ifdef Q_OS_LINUX
    int queued = 0;
    if (::ioctl(int(fd), SIOCOUTQ, &queued) == 0)
        return queued;
#else
    Q_UNUSED(fd)
#endif
    return 0;
}
