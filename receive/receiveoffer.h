#ifndef RECEIVEOFFER_H
#define RECEIVEOFFER_H

#include "receive/savefolder.h"
#include "security/fingerprint.h"

#include <QMetaType>
#include <QString>

// What a sender offers, as its request says it, and what the receiving user is asked about.
struct ReceiveOffer
{
    QString sender;      // the sender's display name
    QString address;     // where the connection came from, as the receiver saw it
    QString target;      // name of the offered folder or file
    bool isFile = false; // a single file rather than a folder or several files
    qint64 size = 0;     // bytes of file contents announced
    int items = 0;       // records announced
    int files = 0;       // dropped items the sender took (Files-Number); 0 when not given
    // Items in the save folder that the name-clash rule will replace: how many, the first few.
    SaveFolder::Replaced replaced;
    int answerMs = 0; // time the user has to answer
    // Between two copies of this program: files identical here already, which are not sent, and
    // bytes of kept partial files that are continued; the rest moves.
    bool extended = false;
    int skippedFiles = 0;
    qint64 skippedBytes = 0;
    qint64 resumedBytes = 0;
    // The certificate an extended sender proved it holds; null for a plain one.
    Fingerprint peer;
    // Six digits the sender's screen shows too, when the two have not met before; else empty.
    QString pairingCode;

    qint64 movingBytes() const { return size - skippedBytes - resumedBytes; }
};

Q_DECLARE_METATYPE(ReceiveOffer)

#endif // RECEIVEOFFER_H
