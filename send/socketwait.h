#ifndef SOCKETWAIT_H
#define SOCKETWAIT_H

#include <QtGlobal>

// What the body's loops need of a connected socket's descriptor beside its system calls, and
// what Qt cannot tell: an orderly close from a reset, which it reads alike as "closed".
class SocketWait
{
public:
    enum PeerEnd { Pending, Closed, Reset };

    // Waits up to `ms` for the socket to take more bytes; false on timeout.
    static bool writable(qintptr fd, int ms);
    // Waits up to `ms` for the peer's end; bytes the peer sends meanwhile are read and dropped.
    static PeerEnd peerEnd(qintptr fd, int ms);
    // Bytes handed to the system that the peer has not acknowledged yet; 0 where unknown.
    static qint64 unacknowledged(qintptr fd);
};

#endif // SOCKETWAIT_H
