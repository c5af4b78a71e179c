#ifndef RECEIVEPROGRESS_H
#define RECEIVEPROGRESS_H

#include <QtGlobal>

// Counts the body bytes of one transfer against the size the request announced, and maps both
// onto a progress bar, whose int range cannot hold 2 GiB or more: large counts are shifted down
// by the same number of bits, so the bar keeps its proportions while the text keeps true counts.
class ReceiveProgress
{
public:
    void start(qint64 totalBytes);
    // Never above the total: the bar and the text show no more than what was announced.
    void setReceived(qint64 bytes) { receivedBytes = qBound<qint64>(0, bytes, totalBytes); }

    qint64 received() const { return receivedBytes; }
    qint64 total() const { return totalBytes; }

    int barMaximum() const;
    int barValue() const;

private:
    qint64 totalBytes = 0;
    qint64 receivedBytes = 0;
    int shift = 0;
};

#endif // RECEIVEPROGRESS_H
