#include "security/fingerprint.h"

#include <QStringList>

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>

Fingerprint Fingerprint::of(const X509 *certificate)
{
    Fingerprint fingerprint;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (certificate && X509_digest(certificate, EVP_sha256(), digest, &size) == 1)
        fingerprint.digest = QByteArray(reinterpret_cast<const char *>(digest), int(size));
    return fingerprint;
}

Fingerprint Fingerprint::fromHex(const QByteArray &hex)
{
    Fingerprint fingerprint;
    const int digits = 2 * SHA256_DIGEST_LENGTH;
    const bool spelt = hex.size() == digits && std::all_of(hex.cbegin(), hex.cend(), [](char c) {
                           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                       });
    if (spelt)
        fingerprint.digest = QByteArray::fromHex(hex);
    return fingerprint;
}

QString Fingerprint::hex() const
{
    return QString::fromLatin1(digest.toHex());
}

QString Fingerprint::readable() const
{
    const QString digits = QString::fromLatin1(digest.left(16).toHex().toUpper());
    QStringList groups;
    for (int at = 0; at < digits.size(); at += 4)
        groups << digits.mid(at, 4);
    return groups.join(QLatin1Char(' '));
}
