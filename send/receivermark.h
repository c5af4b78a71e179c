#ifndef RECEIVERMARK_H
#define RECEIVERMARK_H

#include <QString>

class Fingerprint;
class KnownDevices;

// What the chooser says of a receiver beside its name: that it is a paired device, as the
// fingerprint it announced is one of the known devices', or that only the plain protocol, which
// is not encrypted, reaches it. Nothing where neither is known.
class ReceiverMark
{
public:
    enum Kind { None, Verified, Unencrypted };

    // `extended`: the receiver announced the extended protocol; `announced`: the fingerprint it
    // announced with it, null when none.
    static Kind of(bool extended, const Fingerprint &announced, const KnownDevices &known);
    // Follows the receiver's address, so it begins with its own space; empty for None.
    static QString text(Kind kind);
    static QString toolTip(Kind kind);
};

#endif // RECEIVERMARK_H
