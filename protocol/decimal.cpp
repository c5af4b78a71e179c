#include "protocol/decimal.h"

bool Decimal::parse(const char *text, qsizetype length, qint64 *value, qint64 limit)
{
    if (length <= 0 || length > 19 || (length > 1 && text[0] == '0'))
        return false;
    quint64 number = 0;
    for (qsizetype i = 0; i < length; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + quint64(c - '0');
    }
    // Nineteen digits fit in 64 unsigned bits, so the sum above cannot wrap.
    if (number > quint64(limit) || number > quint64(maxValue))
        return false;
    *value = qint64(number);
    return true;
}

bool Decimal::parse(const QString &text, qint64 *value, qint64 limit)
{
    for (const QChar c : text) {
        if (c.unicode() > 0x7f)
            return false;
    }
    return parse(text.toLatin1(), value, limit);
}
