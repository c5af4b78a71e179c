#include "protocol/socketreset.h"

#include <QAbstractSocket>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

void setLinger(qintptr fd, bool hard)
{
    if (fd == -1)
        return;
    struct linger value = {hard ? 1 : 0, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&value), sizeof value);
}

void setLinger(QAbstractSocket *socket, bool hard)
{
    setLinger(socket ? socket->socketDescriptor() : -1, hard);
}

} // namespace

void SocketReset::arm(qintptr descriptor)
{
    setLinger(descriptor, true);
}

void SocketReset::arm(QAbstractSocket *socket)
{
    setLinger(socket, true);
}

void SocketReset::disarm(QAbstractSocket *socket)
{
    setLinger(socket, false);
}

void SocketReset::reset(QAbstractSocket *socket)
{
    if (!socket)
        return;
    arm(socket);
    socket->abort();
}
