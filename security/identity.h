#ifndef IDENTITY_H
#define IDENTITY_H

#include "security/fingerprint.h"
#include "security/opensslptr.h"

#include <QString>

// This installation's key pair and self-signed certificate, kept in the working folder as
// "identity.key" (readable by the user alone) and "identity.crt". Made at the first use, loaded
// afterwards. A pair that is there but cannot be used is reported and left as it is: a new pair
// would be a new identity, which every device paired with this one must then refuse, and files
// someone else broke or made unreadable must not win a fresh identity without the user knowing.
class Identity
{
public:
    static QString keyFileName() { return QStringLiteral("identity.key"); }
    static QString certificateFileName() { return QStringLiteral("identity.crt"); }

    // The pair in `folder`, made there when neither file exists.
    explicit Identity(const QString &folder);
    // The pair in the working folder (the current folder), opened at its first use from any
    // thread and kept until the program ends.
    static const Identity &shared();

    bool isValid() const { return key && certificate; }
    // Why the pair cannot be used; empty when it can.
    QString errorString() const { return error; }
    // True when this object made the pair rather than found it.
    bool isNew() const { return made; }

    const Fingerprint &fingerprint() const { return own; }
    EVP_PKEY *privateKey() const { return key.get(); }
    X509 *x509() const { return certificate.get(); }

private:
    bool load(const QString &keyPath, const QString &certificatePath);
    bool make(const QString &keyPath, const QString &certificatePath);
    bool fail(const QString &why);

    EvpKeyPtr key;
    X509Ptr certificate;
    Fingerprint own;
    QString error;
    bool made = false;
};

#endif // IDENTITY_H
