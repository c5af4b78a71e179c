#include "receive/receiveprogress.h"

#include "protocol/formatsize.h"

#include <climits>

void ReceiveProgress::start(qint64 bytes)
{
    totalBytes = qMax<qint64>(bytes, 0);
    receivedBytes = 0;
    shift = 0;
    while ((totalBytes >> shift) > INT_MAX)
        ++shift;
    shownReceived.clear();
}

bool ReceiveProgress::add(qint64 bytes)
{
    receivedBytes += bytes;
    const QString now = formatSize(receivedBytes);
    if (now == shownReceived)
        return false;
    shownReceived = now;
    return true;
}

int ReceiveProgress::barMaximum() const
{
    return static_cast<int>(totalBytes >> shift);
}

int ReceiveProgress::barValue() const
{
    // The body also carries names and markers, so it ends a little above the announced size.
    return static_cast<int>(qMin(receivedBytes, totalBytes) >> shift);
}

QString ReceiveProgress::text() const
{
    return formatSize(receivedBytes) + QLatin1Char('/') + formatSize(totalBytes);
}
