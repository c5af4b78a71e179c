#include "send/receiverwords.h"

#include <QList>

#include <climits>
#include <limits>

namespace {

// A line longer than this is no message of ours (a reason has at most 1000 bytes).
constexpr int maxLine = 1100;

ReceiverWords withKind(ReceiverWords::Kind kind)
{
    ReceiverWords words;
    words.kind = kind;
    return words;
}

bool isReason(const QByteArray &text)
{
    return text.size() <= ReceiverWords::maxReasonBytes && !text.contains('\r') &&
           !text.contains('\0');
}

// The "C" message: its count line and as many index lines, in rising order.
ReceiverWords compare(const QByteArray &bytes, qint64 count, int *used)
{
    ReceiverWords words = withKind(ReceiverWords::Compare);
    int at = *used;
    for (qint64 i = 0; i < count; ++i) {
        const int end = bytes.indexOf('\n', at);
        if (end < 0)
            return withKind(bytes.size() - at > maxLine ? ReceiverWords::Invalid
                                                        : ReceiverWords::Incomplete);
        qint64 index = 0;
        if (!ReceiverWords::parseNumber(bytes.mid(at, end - at), &index) || index > INT_MAX ||
            (!words.indexes.isEmpty() && index <= words.indexes.last()))
            return withKind(ReceiverWords::Invalid);
        words.indexes << int(index);
        at = end + 1;
    }
    *used = at;
    return words;
}

} // namespace

bool ReceiverWords::parseNumber(const QByteArray &text, qint64 *value)
{
    if (text.isEmpty() || text.size() > 19 || (text.size() > 1 && text.at(0) == '0'))
        return false;
    quint64 number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + quint64(c - '0');
    }
    if (number > quint64(std::numeric_limits<qint64>::max()))
        return false;
    *value = qint64(number);
    return true;
}

ReceiverWords ReceiverWords::take(QByteArray *bytes)
{
    const int end = bytes->indexOf('\n');
    if (end < 0)
        return withKind(bytes->size() > maxLine ? Invalid : Incomplete);
    const QByteArray line = bytes->left(end);
    if (line.isEmpty() || (line.size() > 1 && line.at(1) != ' '))
        return withKind(Invalid);
    int used = end + 1;
    const ReceiverWords words = fromLine(line.at(0), line.mid(2), line.size() == 1, *bytes, &used);
    if (words.kind != Incomplete && words.kind != Invalid)
        bytes->remove(0, used);
    return words;
}

// The message that begins with the line "<kind> <rest>"; `used` grows by what follows the line.
ReceiverWords ReceiverWords::fromLine(char kind, const QByteArray &rest, bool bare,
                                      const QByteArray &bytes, int *used)
{
    ReceiverWords words;
    qint64 number = 0;
    if (kind == 'W') {
        words.kind = Planning;
    } else if (kind == 'A' && bare) {
        words.kind = Asking;
    } else if (kind == 'K' && bare) {
        words.kind = Stored;
    } else if ((kind == 'N' || kind == 'X') && (bare || isReason(rest))) {
        words.kind = kind == 'N' ? Refused : Stopped;
        words.reason = QString::fromUtf8(rest);
    } else if (kind == 'C' && parseNumber(rest, &number) && number <= 1000000) {
        words = compare(bytes, number, used);
    } else if (kind == 'Y' && parseNumber(rest, &number) && number <= maxPlanBytes) {
        if (bytes.size() - *used < number)
            return withKind(Incomplete);
        words.kind = Accepted;
        words.plan = bytes.mid(*used, int(number));
        *used += int(number);
    } else {
        words.kind = Invalid;
    }
    return words;
}

bool ReceiverWords::parsePlan(const QByteArray &plan, const QVector<qint64> &sizes,
                              QVector<qint64> *steps)
{
    QVector<qint64> parsed(sizes.size(), 0);
    if (!plan.isEmpty() && !plan.endsWith('\n'))
        return false;
    qint64 previous = -1;
    const QList<QByteArray> lines = plan.split('\n');
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).split(' ');
        qint64 index = -1;
        if (fields.size() < 2 || !parseNumber(fields.at(1), &index) || index <= previous ||
            index >= sizes.size() || sizes.at(int(index)) < 0)
            return false;
        previous = index;
        qint64 offset = 0;
        if (fields.at(0) == "S" && fields.size() == 2)
            parsed[int(index)] = skip;
        else if (fields.at(0) == "R" && fields.size() == 3 && parseNumber(fields.at(2), &offset) &&
                 offset > 0 && offset % resumeStep == 0 && offset < sizes.at(int(index)))
            parsed[int(index)] = offset;
        else
            return false;
    }
    *steps = parsed;
    return true;
}
