#ifndef RATEMETER_H
#define RATEMETER_H

#include <QList>
#include <QPair>
#include <QString>

// The rate of a transfer over its last few seconds and the time it still needs, as the smaller
// progress line shows them ("112.4MB/s，剩余 0:07").
class RateMeter
{
public:
    static constexpr qint64 windowMs = 3000;

    void start(qint64 total);
    // `done` bytes at `ms`, a monotonic clock in milliseconds.
    void sample(qint64 done, qint64 ms);

    double bytesPerSecond() const;
    qint64 secondsLeft() const; // -1 while the rate is not known yet
    QString text() const;

    static QString rateText(double bytesPerSecond);
    static QString durationText(qint64 seconds);

private:
    qint64 total = 0;
    QList<QPair<qint64, qint64>> samples; // (ms, done), oldest first
};

#endif // RATEMETER_H
