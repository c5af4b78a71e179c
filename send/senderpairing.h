#ifndef SENDERPAIRING_H
#define SENDERPAIRING_H

#include "security/fingerprint.h"
#include "security/pairingcode.h"

#include <QByteArray>
#include <QString>

// The sender's half of meeting a receiver over an encrypted connection: whether the certificate
// it proved is a paired device's, or an unknown one under a paired device's name or address; the
// nonce the request commits to; the code shown to the user; and whether the body may begin,
// which it may only toward a paired device or once the user said the codes match.
class SenderPairing
{
public:
    enum class Check { Known, Unknown, Impostor };

    // After the handshake: `peer` as the session proved it, `code` the session's material, and
    // the name and address the receiver was chosen by.
    Check check(const Fingerprint &peer, const PairingCode &code, const QString &name,
                const QString &address);
    QByteArray commitment() const { return code.commitment(nonce); }
    // The receiver's fingerprint as the request names it when paired, else empty.
    QString knownReceiver() const { return known ? peer.hex() : QString(); }

    // The receiver's nonce: the line that answers it and the six digits to show. False for a
    // second one.
    bool takeReceiverNonce(const QByteArray &receiverNonce, QByteArray *answer, QString *digits);
    bool isAsking() const { return asked && !confirmed; }
    void confirm() { confirmed = asked; }
    bool bodyAllowed() const { return known || confirmed; }
    // Once the body may go: the receiver is (again) a known device, under this name and address.
    void remember() const;

private:
    PairingCode code;
    Fingerprint peer;
    QByteArray nonce;
    QString name;
    QString address;
    bool known = false;
    bool asked = false;
    bool confirmed = false;
};

#endif // SENDERPAIRING_H
