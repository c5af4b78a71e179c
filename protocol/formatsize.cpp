#include "protocol/formatsize.h"

#include <cmath>

QString formatSize(qint64 bytes)
{
    constexpr qint64 KiB = Q_INT64_C(1) << 10;
    constexpr qint64 MiB = Q_INT64_C(1) << 20;
    constexpr qint64 GiB = Q_INT64_C(1) << 30;
    constexpr qint64 TiB = Q_INT64_C(1) << 40;

    if (bytes < KiB)
        return QString::number(bytes) + QLatin1String("B");
    if (bytes < MiB)
        return QString::number(std::ldexp(double(bytes), -10), 'f', 2) + QLatin1String("KB");
    if (bytes < GiB)
        return QString::number(std::ldexp(double(bytes), -20), 'f', 2) + QLatin1String("MB");
    if (bytes < TiB)
        return QString::number(std::ldexp(double(bytes), -30), 'f', 2) + QLatin1String("GB");
    return QString::number(std::ldexp(double(bytes), -40), 'f', 2) + QLatin1String("TB");
}
