#include "security/loopbackpair.h"

#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool sameAddress(const sockaddr_in &a, const sockaddr_in &b)
{
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port &&
           a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// Small messages go at once; the larger writes fill whole segments anyway.
void prepare(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

int acceptFrom(int listener, const sockaddr_in &expected)
{
    for (;;) {
        sockaddr_in peer = {};
        socklen_t length = sizeof peer;
        const int fd =
            ::accept4(listener, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR)
            continue;
        if (fd < 0 || sameAddress(peer, expected))
            return fd;
        ::close(fd);
    }
}

bool connectBoth(int listener, int client, int *accepted)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
        ::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return false;
    sockaddr_in own = {};
    length = sizeof own;
    if (::getsockname(client, reinterpret_cast<sockaddr *>(&own), &length) != 0)
        return false;
    *accepted = acceptFrom(listener, own);
    return *accepted >= 0;
}

} // namespace

bool LoopbackPair::make(int *first, int *second)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int accepted = -1;
    const bool made = listener >= 0 && client >= 0 && connectBoth(listener, client, &accepted);
    const int error = errno;
    if (listener >= 0)
        ::close(listener);
    if (!made) {
        if (client >= 0)
            ::close(client);
        errno = error;
        return false;
    }
    prepare(client);
    prepare(accepted);
    *first = client;
    *second = accepted;
    return true;
}
