#ifndef FINGERPRINT_H
#define FINGERPRINT_H

#include <QByteArray>
#include <QString>

#include <openssl/x509.h>

// What names an installation: the SHA-256 of its certificate in DER form. Two copies of the
// program know each other by it, so it is compared, stored and shown, never parsed from a name.
class Fingerprint
{
public:
    Fingerprint() = default;
    static Fingerprint of(const X509 *certificate);
    // From hex() as it is stored and announced: 64 lower-case hex digits and nothing else, so
    // that one fingerprint has one spelling; null otherwise.
    static Fingerprint fromHex(const QByteArray &hex);
    static Fingerprint fromHex(const QString &hex) { return fromHex(hex.toLatin1()); }

    bool isNull() const { return digest.isEmpty(); }
    QByteArray bytes() const { return digest; }
    // All 32 bytes as 64 lower-case hex digits.
    QString hex() const;
    // The first 16 bytes in groups of four upper-case hex digits ("3F2A 91C0 …"), short enough to
    // read aloud and long enough that no one makes a certificate to match it.
    QString readable() const;

    bool operator==(const Fingerprint &other) const { return digest == other.digest; }
    bool operator!=(const Fingerprint &other) const { return digest != other.digest; }

private:
    QByteArray digest;
};

#endif // FINGERPRINT_H
