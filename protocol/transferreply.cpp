#include "protocol/transferreply.h"

#include <QString>

QByteArray TransferReply::accept()
{
    return QByteArrayLiteral("HTTP/1.1 200 OK\r\n"
                             "Transfer-Version: 1\r\n"
                             "Server: Nubo Name Response Server\r\n"
                             "Content-Type: text/html\r\n"
                             "Content-Length: 2\r\n"
                             "Connection: close\r\n"
                             "\r\n"
                             "OK");
}

QByteArray TransferReply::refusal()
{
    return QByteArrayLiteral("HTTP/1.1 404 Not Found\r\n\r\n");
}

bool TransferReply::isAccepted(const QByteArray &reply)
{
    const int nul = reply.indexOf('\0');
    const QString text = QString::fromUtf8(nul < 0 ? reply : reply.left(nul));
    return text.contains(QStringLiteral("HTTP/1.1 200 OK\r\n"));
}
