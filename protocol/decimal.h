#ifndef DECIMAL_H
#define DECIMAL_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <limits>

// The one reader of numbers on the wire and in work files: "0", or a digit 1-9 followed by
// digits, nothing else (no sign, no white space, no NUL), and no more than `limit`. A number that
// two readers could read differently is refused by both.
class Decimal
{
public:
    static constexpr qint64 maxValue = std::numeric_limits<qint64>::max();

    static bool parse(const char *text, qsizetype length, qint64 *value, qint64 limit = maxValue);
    static bool parse(const QByteArray &text, qint64 *value, qint64 limit = maxValue)
    {
        return parse(text.constData(), text.size(), value, limit);
    }
    // Only ASCII digits count: a QString's other digits (Arabic-Indic, full-width) are refused.
    static bool parse(const QString &text, qint64 *value, qint64 limit = maxValue);
};

#endif // DECIMAL_H
