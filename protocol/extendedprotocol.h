#ifndef EXTENDEDPROTOCOL_H
#define EXTENDEDPROTOCOL_H

#include "protocol/contenthash.h"
#include "protocol/transferrequest.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

// What two copies of this program speak between them, next to the plain protocol and never on its
// ports, so that a peer that knows only the plain one sees nothing of it. Numbers are read by
// Decimal; lines end with "\n" alone; a reason is UTF-8 without CR, LF or NUL, of at most
// maxReasonBytes.
//
// - A receiver also announces itself on udpPort (Announcement).
// - Every connection on tcpPort is a TLS 1.3 session in which both ends show their certificate
//   (TlsRelay); all that follows travels inside it, and its ends are those of the session.
// - The sender writes the plain request's lines plus "Nubo-Sender-Id: <id>", <id> the hex
//   fingerprint of the certificate it showed, and
//   "Nubo-Pairing: <commitment>", 64 hex digits (PairingCode::commitment of a fresh nonce),
//   "Nubo-Known: <fingerprint>" only when the receiver's certificate is a paired device's,
//   "Manifest-Length: <n>", the empty line, then the manifest (Manifest).
// - Unless each end knows the other's certificate, the two pair first: the receiver's first
//   message is "R <nonce>\n" and the sender answers at once with "S <nonce>\n" (64 hex digits
//   each), the nonce the commitment was made of. Both then show the six digits of
//   PairingCode::digits to their users, the receiver inside its question; the sender sends no
//   byte of the body before its user said the codes match.
// - Before its answer the receiver may send, in this order:
//     "W <done> <total>\n"  planning, at least every progressIntervalMs;
//     "C <count>\n" and <count> lines "<index>\n": it needs the hashes of these files, whose
//                           manifest lines had none, to compare them with what it holds; the sender
//                           answers with <count> lines "<index> <32 hex digits>\n" in that order,
//                           and "W\n" at least every progressIntervalMs while it hashes;
//     "A\n"                 its user is being asked.
//   Then "Y <n>\n" and the plan's <n> bytes (TransferPlan), or "N <reason>\n" and its close; the
//   reason is empty when the user said no. Neither side waits more than messageGapMs for the next
//   message, except the sender after "A", which waits answerWaitMs.
// - The body holds, for each file the plan does not skip, in manifest order, "P <index> <offset>\n"
//   (0 or the plan's resume offset), the file's bytes from there to its end, and "H <32 hex
//   digits>\n", the hash of the whole file as the sender read it; then "E\n".
// - The receiver ends with "K\n" and an orderly close once everything is stored and verified, or
//   at any failure after "Y" with "X <reason>\n" and a reset.
// - A resumed file continues at a multiple of resumeStep, where both ends kept their hash state.
class ExtendedProtocol
{
public:
    static constexpr quint16 tcpPort = 42136;
    static constexpr quint16 udpPort = 6344;
    // A request's lines; the manifest that follows has its own limit.
    static constexpr int maxHeaderBytes = 64 * 1024;
    static constexpr int maxReasonBytes = 1000;
    // Any one line other than a body's data; the longest is a reason's.
    static constexpr int maxLineBytes = maxReasonBytes + 8;
    static constexpr qint64 resumeStep = 64 * 1024 * 1024;
    static constexpr int progressIntervalMs = 2000;
    static constexpr int messageGapMs = 30000;
    static constexpr int answerWaitMs = 30000;

    // `commitment` binds the sender's pairing nonce; `knownReceiver` is the hex fingerprint of
    // the receiver when it is a paired device, else empty.
    static QByteArray request(const TransferRequest &plain, const QString &senderId,
                              const QByteArray &commitment, const QString &knownReceiver,
                              const QByteArray &manifest);
    // From the header fields of a request: the sender's id and the manifest's length, which may
    // not exceed `manifestLimit`. False when either is missing or malformed.
    static bool parseRequestFields(const QMap<QString, QString> &fields, QString *senderId,
                                   qint64 *manifestLength, qint64 manifestLimit);

    // The pairing fields of a request: the commitment, and the receiver the sender says it knows
    // (empty when none). False when the commitment is missing or malformed.
    static bool parsePairingFields(const QMap<QString, QString> &fields, QByteArray *commitment,
                                   QString *knownReceiver);
    // Each end's nonce, the receiver's first ("R") and the sender's answer ("S").
    static QByteArray receiverNonce(const QByteArray &nonce);
    static QByteArray senderNonce(const QByteArray &nonce);
    // Reads the sender's nonce line at the start of `bytes`: the bytes it took, 0 while it is not
    // whole, -1 when it is none.
    static int takeSenderNonce(const QByteArray &bytes, QByteArray *nonce);

    // What the receiver says before the body.
    struct Message
    {
        enum Kind { Pairing, Planning, NeedHashes, Asking, Accepted, Refused };
        Kind kind = Planning;
        qint64 done = 0;
        qint64 total = 0;
        QVector<int> indexes; // NeedHashes
        QByteArray plan;      // Accepted
        QString reason;       // Refused
        QByteArray nonce;     // Pairing
    };
    static QByteArray planning(qint64 done, qint64 total);
    static QByteArray needHashes(const QVector<int> &indexes);
    static QByteArray asking() { return QByteArrayLiteral("A\n"); }
    static QByteArray accept(const QByteArray &plan);
    static QByteArray refuse(const QString &reason);
    // Reads the message at the start of `bytes`: the bytes it took, 0 while it is not whole, -1
    // when it is none. `items` bounds the indexes of a NeedHashes.
    static int takeMessage(const QByteArray &bytes, int items, Message *message);

    // The sender's answer to NeedHashes, one line per file, and its sign of life meanwhile.
    static QByteArray hashAnswer(int index, const ContentHash::Value &hash);
    static QByteArray stillHashing() { return QByteArrayLiteral("W\n"); }
    // Reads one line of the answer: the bytes it took, 0 while it is not whole, -1 when it is
    // none. `index` is -1 for a sign of life.
    static int takeHashAnswer(const QByteArray &bytes, int *index, ContentHash::Value *hash);

    static QByteArray partLine(int index, qint64 offset);
    static QByteArray hashLine(const ContentHash::Value &hash);
    static QByteArray endLine() { return QByteArrayLiteral("E\n"); }

    // The receiver's last word.
    static QByteArray done() { return QByteArrayLiteral("K\n"); }
    static QByteArray failed(const QString &reason);
    enum End { EndIncomplete, EndDone, EndFailed, EndInvalid };
    static End parseEnd(const QByteArray &bytes, QString *reason);

    // A reason as it may travel: line breaks and NULs become spaces, and a long one is cut
    // at a character's boundary.
    static QByteArray reasonBytes(const QString &reason);
};

#endif // EXTENDEDPROTOCOL_H
