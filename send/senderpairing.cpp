#include "send/senderpairing.h"

#include "protocol/extendedprotocol.h"
#include "records/knowndevices.h"

SenderPairing::Check SenderPairing::check(const Fingerprint &proved, const PairingCode &material,
                                          const QString &chosenName, const QString &chosenAddress)
{
    peer = proved;
    code = material;
    name = chosenName;
    address = chosenAddress;
    nonce = PairingCode::newNonce();
    const KnownDevices devices;
    known = devices.find(peer).has_value();
    if (known)
        return Check::Known;
    return devices.otherClaim(peer, name, address) ? Check::Impostor : Check::Unknown;
}

bool SenderPairing::takeReceiverNonce(const QByteArray &receiverNonce, QByteArray *answer,
                                      QString *digits)
{
    if (asked)
        return false;
    *digits = code.digits(nonce, receiverNonce);
    if (digits->isEmpty())
        return false;
    asked = true;
    *answer = ExtendedProtocol::senderNonce(nonce);
    return true;
}

void SenderPairing::remember() const
{
    if (bodyAllowed())
        KnownDevices().remember(peer, name.isEmpty() ? address : name, address);
}
