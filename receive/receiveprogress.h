#ifndef RECEIVEPROGRESS_H
#define RECEIVEPROGRESS_H

#include <QString>

// Counts the body bytes of one transfer against the size the request announced, and maps both
// onto a progress bar, whose int range cannot hold 2 GiB or more: large counts are shifted down
// by the same number of bits, so the bar keeps its proportions while the text keeps true counts.
class ReceiveProgress
{
public:
    void start(qint64 totalBytes);
    // Adds a chunk; true when the shown size text has changed with it.
    bool add(qint64 bytes);
    void setReceived(qint64 bytes) { receivedBytes = qBound<qint64>(0, bytes, totalBytes); }

    qint64 received() const { return receivedBytes; }
    qint64 total() const { return totalBytes; }

    int barMaximum() const;
    int barValue() const;
    QString text() const; // "received/total" as size texts

private:
    qint64 totalBytes = 0;
    qint64 receivedBytes = 0;
    int shift = 0;
    QString shownReceived;
};

#endif // RECEIVEPROGRESS_H
