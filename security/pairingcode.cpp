#include "security/pairingcode.h"

#include "security/tlschannel.h"

#include <QCryptographicHash>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstdint>

namespace {

constexpr int materialSize = 32;

} // namespace

PairingCode PairingCode::of(const TlsChannel &channel, Side side)
{
    const Fingerprint sender =
        side == Side::Sender ? channel.localFingerprint() : channel.peerFingerprint();
    const Fingerprint receiver =
        side == Side::Sender ? channel.peerFingerprint() : channel.localFingerprint();
    if (sender.isNull() || receiver.isNull())
        return {};
    return PairingCode(channel.exportKeyingMaterial(QByteArrayLiteral("EXPORTER-nubo-pairing"),
                                                    sender.bytes() + receiver.bytes(),
                                                    materialSize));
}

QByteArray PairingCode::newNonce()
{
    QByteArray nonce(nonceSize, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(nonce.data()), nonceSize) != 1)
        return {};
    return nonce;
}

QByteArray PairingCode::commitment(const QByteArray &senderNonce) const
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayLiteral("nubo-pairing-commitment"));
    hash.addData(senderNonce);
    hash.addData(material);
    return hash.result();
}

bool PairingCode::opens(const QByteArray &commitment, const QByteArray &senderNonce) const
{
    const QByteArray expected = this->commitment(senderNonce);
    return isValid() && senderNonce.size() == nonceSize && commitment.size() == expected.size() &&
           CRYPTO_memcmp(commitment.constData(), expected.constData(), size_t(expected.size())) ==
               0;
}

QString PairingCode::digits(const QByteArray &senderNonce, const QByteArray &receiverNonce) const
{
    if (!isValid() || senderNonce.size() != nonceSize || receiverNonce.size() != nonceSize)
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(material);
    hash.addData(senderNonce);
    hash.addData(receiverNonce);
    const QByteArray digest = hash.result();
    // 64 bits taken modulo a million: the bias is below one part in 10^13.
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value = value << 8 | std::uint8_t(digest[i]);
    return QStringLiteral("%1").arg(value % 1000000, 6, 10, QLatin1Char('0'));
}
