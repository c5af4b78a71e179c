#ifndef SOCKETRESET_H
#define SOCKETRESET_H

#include <QtGlobal>

class QAbstractSocket;

// A connection's end that a peer can tell from success: a reset (SO_LINGER 0) instead of the
// orderly close. Armed, every later close of the socket resets, also the one Qt makes by itself
// when the peer closes its half, until it is disarmed for the close that means success.
class SocketReset
{
public:
    static void arm(QAbstractSocket *socket);
    // The same for a descriptor that no Qt socket holds.
    static void arm(qintptr descriptor);
    static void disarm(QAbstractSocket *socket);
    // Arms and closes at once; what is still unsent is dropped.
    static void reset(QAbstractSocket *socket);
};

#endif // SOCKETRESET_H
