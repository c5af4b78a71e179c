#ifndef RECEIVEOUTCOME_H
#define RECEIVEOUTCOME_H

#include <QObject>

// How an incoming transfer ended, as the session's ended() signal carries it.
class ReceiveOutcome
{
    Q_GADGET

public:
    enum Outcome { Complete, Incomplete, Refused, Failed, SenderLeft, Unanswered };
    Q_ENUM(Outcome)
};

#endif // RECEIVEOUTCOME_H
