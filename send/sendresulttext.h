#ifndef SENDRESULTTEXT_H
#define SENDRESULTTEXT_H

#include "send/sendpacker.h"
#include "send/sendresult.h"

#include <QString>

// What the user is told of a send that did not deliver, in plain text, the same in the send view
// and on the terminal.
class SendResultText
{
public:
    // `receiver` is how the user named the receiver (its address).
    static QString of(const SendResult &result, const QString &receiver);
    static QString listFailure(SendPacker::Error error, const QString &item);
};

#endif // SENDRESULTTEXT_H
