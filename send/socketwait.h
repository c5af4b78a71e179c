#ifndef SOCKETWAIT_H
#define SOCKETWAIT_H

#include <QtGlobal>

// Waits on a connected TCP socket's descriptor where Qt's blocking calls cannot tell what is
// needed: Qt reads an orderly close and a reset alike as "closed", but a sender must know
// whether the receiver ended the transfer because everything was stored or because it was not.
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
