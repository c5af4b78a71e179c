#ifndef EXTENDEDPROTOCOL_H
#define EXTENDEDPROTOCOL_H

#include "protocol/transferrequest.h"

#include <QByteArray>
#include <QMap>
#include <QString>

// What two copies of this program speak between them, next to the plain protocol and never on its
// ports, so that a peer that knows only the plain one sees nothing of it:
//
// - A receiver also announces itself on udpPort to the same group: "nubo-ext:1:<address>:<port>".
// - On that TCP port the sender writes the plain request's lines plus "Nubo-Sender-Id" and
//   "Manifest-Length", the empty line, then the manifest (Manifest).
// - The receiver asks its user as for a plain request and answers with the refusal reply, or with
//   "NUBOEXT/1 200 OK\r\nPlan-Length: <n>\r\n\r\n" and the plan (TransferPlan).
// - The body holds, for each file the plan does not skip, in manifest order, a part line
//   "P <index> <offset>\n" followed by the file's bytes from that offset to its end; then "E\n".
// - The receiver ends the connection as after a plain body: closed when everything was stored and
//   matched its hash, reset otherwise.
class ExtendedProtocol
{
public:
    static constexpr quint16 tcpPort = 42136;
    static constexpr quint16 udpPort = 6344;
    // A request's lines; the manifest that follows has its own limit.
    static constexpr int maxHeaderBytes = 64 * 1024;
    static constexpr int maxPartLine = 64;

    static QByteArray announcement(const QString &address, quint16 port);
    static bool parseAnnouncement(const QByteArray &datagram, QString *address, quint16 *port);

    static QByteArray request(const TransferRequest &plain, const QString &senderId,
                              const QByteArray &manifest);
    // From the header fields of a request: the sender's id and the manifest's length. False when
    // either is missing or malformed.
    static bool parseRequestFields(const QMap<QString, QString> &fields, QString *senderId,
                                   qint64 *manifestLength);

    static QByteArray accept(const QByteArray &plan);
    enum Reply { ReplyIncomplete, ReplyAccepted, ReplyRefused, ReplyInvalid };
    // What the bytes read so far of a reply say; for ReplyAccepted `plan` holds the plan's bytes.
    static Reply parseReply(const QByteArray &bytes, QByteArray *plan);

    static QByteArray partLine(int index, qint64 offset);
    static QByteArray endLine() { return QByteArrayLiteral("E\n"); }
};

#endif // EXTENDEDPROTOCOL_H
