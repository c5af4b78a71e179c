#ifndef SOCKETWAIT_H
#define SOCKETWAIT_H

#include <QtGlobal>

// What the body's loops need of a connected socket's descriptor beside its system calls.
class SocketWait
{
public:
    // Waits up to `ms` for the socket to take more bytes; false on timeout.
    static bool writable(qintptr fd, int ms);
    // Bytes handed to the system that the peer has not acknowledged yet; 0 where unknown.
    static qint64 unacknowledged(qintptr fd);
};

#endif // SOCKETWAIT_H
