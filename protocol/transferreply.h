#ifndef TRANSFERREPLY_H
#define TRANSFERREPLY_H

#include <QByteArray>

// The receiver's two answers to a request, and the sender's test for acceptance.
class TransferReply
{
public:
    static QByteArray accept();
    static QByteArray refusal();
    // True when the reply holds the accept status line "HTTP/1.1 200 OK\r\n" anywhere (decoded as
    // UTF-8 up to its first NUL byte).
    static bool isAccepted(const QByteArray &reply);
};

#endif // TRANSFERREPLY_H
