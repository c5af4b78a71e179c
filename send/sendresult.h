#ifndef SENDRESULT_H
#define SENDRESULT_H

#include "security/fingerprint.h"
#include "send/sendpacker.h"
#include "send/streamsender.h"

#include <QMetaType>
#include <QString>

// How one transfer ended, reported once: the outcome, the error behind it where one is known,
// the item it is about and the receiver's own words.
struct SendResult
{
    enum Outcome {
        Delivered,     // the receiver confirmed that everything was stored
        Unconfirmed,   // the whole body went out, but the receiver never said how it ended
        Refused,       // the receiver said no (its reason, if it gave one, is in `reason`)
        Unanswered,    // no answer in time, or the receiver went away without one
        ConnectFailed, // no connection to the receiver
        SendBroken,    // the connection broke during the body
        NotStored,     // the receiver could not store everything (its reason in `reason`)
        Cancelled,     // our side stopped it
        ListFailed,    // the drop cannot be sent: see `listError`
        SourceFailed,  // a source file changed or became unreadable: see `sourceError`
        NotEncrypted,  // no TLS session with the extended receiver (why in `reason`)
        // the receiver showed another certificate than the paired device known under its name
        // or address (`item`)
        IdentityChanged,
        PairingDeclined // our user said the receiver does not show the same pairing code
    };

    Outcome outcome = Cancelled;
    SendPacker::Error listError = SendPacker::NoError;
    StreamSender::Error sourceError = StreamSender::NoError;
    QString item;
    QString reason;
    // The certificate an extended receiver proved it holds; null toward a plain one.
    Fingerprint peer;
    // Bytes read from the source files after the receiver answered.
    qint64 bytesRead = 0;
};

Q_DECLARE_METATYPE(SendResult)

#endif // SENDRESULT_H
