#ifndef TRANSFERREQUEST_H
#define TRANSFERREQUEST_H

#include <QByteArray>
#include <QMap>
#include <QString>

// The MYPOST request that opens every transfer, and its parsing on the receiving side. The phone
// application speaks the same text, so the bytes are fixed: see toUtf8().
class TransferRequest
{
public:
    static constexpr quint16 port = 42135;

    QString target;           // file name of the last dropped folder or file
    QString kind;             // "folder" or "file"
    int filesNumber = 0;      // dropped items taken
    int itemsNumber = 0;      // records in the body
    qint64 contentLength = 0; // sum of the file sizes
    QString senderName;

    // The request text as UTF-8, ending in an empty line. CR and LF in the target and the sender
    // name become spaces, so that a name cannot break the line format.
    QByteArray toUtf8() const;

    // Header name to value; the request line and lines without ':' are ignored.
    static QMap<QString, QString> parseHeader(const QString &text);
    // The target of the request line "MYPOST /target HTTP/1.1"; empty when there is none.
    static QString parseTarget(const QString &text);
};

#endif // TRANSFERREQUEST_H
