#ifndef PAIRINGCODE_H
#define PAIRINGCODE_H

#include "security/fingerprint.h"

#include <QByteArray>
#include <QString>

class TlsChannel;

// The six digits both screens show when two installations meet, so that the people at them can
// tell they reached each other and not a machine in the middle.
//
// The code rests on the TLS exporter over both certificates' fingerprints (the sender's first):
// a machine in the middle runs two sessions and so gets other material on each side. Six digits
// alone would not stop it: as the server it may try many key shares until its session with the
// sender yields the code of its session with the receiver. So the code also takes a nonce from
// each end, and the sender commits to its nonce before it sees the receiver's:
//   1. both ends take the material of their session;
//   2. sender -> receiver: commitment(Ns), Ns 32 random bytes;
//   3. receiver -> sender: Nr, 32 random bytes;
//   4. sender -> receiver: Ns; the receiver stops unless opens(commitment, Ns);
//   5. both show digits(Ns, Nr) and ask their user whether the other screen shows the same.
// Each end fixes its nonce before it learns the other's, so whatever a machine in the middle
// does, its two codes match by chance only, one time in a million, and each try is seen by a
// person. The commitment holds the material too, so it cannot be replayed in another session.
class PairingCode
{
public:
    enum class Side { Sender, Receiver };
    static constexpr int nonceSize = 32;

    PairingCode() = default;
    // The material of `channel`, an encrypted channel whose local end is `side`.
    static PairingCode of(const TlsChannel &channel, Side side);
    static QByteArray newNonce();

    bool isValid() const { return !material.isEmpty(); }
    QByteArray commitment(const QByteArray &senderNonce) const;
    bool opens(const QByteArray &commitment, const QByteArray &senderNonce) const;
    // Six decimal digits, leading zeros kept.
    QString digits(const QByteArray &senderNonce, const QByteArray &receiverNonce) const;

private:
    explicit PairingCode(const QByteArray &material) : material(material) {}

    QByteArray material;
};

#endif // PAIRINGCODE_H
