#include "protocol/ratemeter.h"

#include <QCoreApplication>

#include <cmath>

void RateMeter::start(qint64 bytes)
{
    total = bytes;
    samples.clear();
}

void RateMeter::sample(qint64 done, qint64 ms)
{
    samples.append(qMakePair(ms, done));
    // Keep one sample older than the window, so that the window is always spanned.
    while (samples.size() > 2 && ms - samples.at(1).first >= windowMs)
        samples.removeFirst();
}

double RateMeter::bytesPerSecond() const
{
    if (samples.size() < 2)
        return 0;
    const qint64 ms = samples.last().first - samples.first().first;
    const qint64 bytes = samples.last().second - samples.first().second;
    return ms > 0 && bytes > 0 ? bytes * 1000.0 / ms : 0;
}

qint64 RateMeter::secondsLeft() const
{
    const double rate = bytesPerSecond();
    if (rate <= 0 || samples.isEmpty())
        return -1;
    const qint64 left = qMax<qint64>(total - samples.last().second, 0);
    return qint64(std::ceil(left / rate));
}

QString RateMeter::text() const
{
    const qint64 seconds = secondsLeft();
    if (seconds < 0)
        return QCoreApplication::translate("RateMeter", "正在计算速度…");
    return QCoreApplication::translate("RateMeter", "%1，剩余 %2")
        .arg(rateText(bytesPerSecond()), durationText(seconds));
}

QString RateMeter::rateText(double rate)
{
    static const char *const units[] = {"B", "KB", "MB", "GB"};
    int unit = 0;
    while (rate >= 1024 && unit < 3) {
        rate /= 1024;
        ++unit;
    }
    return QString::number(rate, 'f', 1) + QLatin1String(units[unit]) + QLatin1String("/s");
}

QString RateMeter::durationText(qint64 seconds)
{
    const qint64 h = seconds / 3600;
    const qint64 m = seconds / 60 % 60;
    const qint64 s = seconds % 60;
    const QString mmss =
        QStringLiteral("%1:%2")
            .arg(h > 0 ? QStringLiteral("%1").arg(m, 2, 10, QLatin1Char('0')) : QString::number(m))
            .arg(s, 2, 10, QLatin1Char('0'));
    return h > 0 ? QString::number(h) + QLatin1Char(':') + mmss : mmss;
}
