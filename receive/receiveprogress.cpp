#include "receive/receiveprogress.h"

#include <climits>

void ReceiveProgress::start(qint64 bytes)
{
    totalBytes = qMax<qint64>(bytes, 0);
    receivedBytes = 0;
    shift = 0;
    while ((totalBytes >> shift) > INT_MAX)
        ++shift;
}

// A bar whose maximum is 0 shows a busy animation that never ends; an empty offer keeps a range.
int ReceiveProgress::barMaximum() const
{
    return qMax(1, static_cast<int>(totalBytes >> shift));
}

int ReceiveProgress::barValue() const
{
    return static_cast<int>(receivedBytes >> shift);
}
