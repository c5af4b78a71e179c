#include "protocol/itemname.h"

namespace {

bool isSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r') ||
           c == QLatin1Char('\n') || c == QLatin1Char('\v') || c == QLatin1Char('\f');
}

} // namespace

bool ItemName::isValid(const QString &name)
{
    if (name.isEmpty() || isSpace(name.front()) || isSpace(name.back()) ||
        name == QLatin1String("OVER"))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0))
            return false;
    }
    return true;
}
