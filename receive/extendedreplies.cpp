#include "receive/extendedreplies.h"

QByteArray ExtendedReplies::planning(qint64 done, qint64 total)
{
    return "W " + QByteArray::number(done) + ' ' + QByteArray::number(total) + '\n';
}

QByteArray ExtendedReplies::accept(const QByteArray &plan)
{
    return "Y " + QByteArray::number(plan.size()) + '\n' + plan;
}

QByteArray ExtendedReplies::refuse(const QString &reason)
{
    return "N " + reasonBytes(reason) + '\n';
}

QByteArray ExtendedReplies::failed(const QString &reason)
{
    return "X " + reasonBytes(reason) + '\n';
}

QByteArray ExtendedReplies::reasonBytes(const QString &reason)
{
    QString text = reason;
    text.replace(QLatin1Char('\r'), QLatin1Char(' '))
        .replace(QLatin1Char('\n'), QLatin1Char(' '))
        .replace(QChar(0), QLatin1Char(' '));
    QByteArray bytes = text.toUtf8();
    if (bytes.size() <= maxReasonBytes)
        return bytes;
    int cut = maxReasonBytes;
    // A UTF-8 continuation byte is 10xxxxxx: step back to the start of its character.
    while (cut > 0 && (uchar(bytes.at(cut)) & 0xc0) == 0x80)
        --cut;
    bytes.truncate(cut);
    return bytes;
}
