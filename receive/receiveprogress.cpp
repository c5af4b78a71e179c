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

int ReceiveProgress::barMaximum() const
{
    return static_cast<int>(totalBytes >> shift);
}

int ReceiveProgress::barValue() const
{
    return static_cast<int>(receivedBytes >> shift);
}
