#ifndef RECEIVERWORDS_H
#define RECEIVERWORDS_H

#include <QByteArray>
#include <QString>
#include <QVector>

// What an extended receiver says to the sender, read one message at a time from the bytes that
// came so far: before its answer "W", "C", "A", then "Y" with the plan or "N"; after the body
// "K" or "X". Lines end with "\n".
class ReceiverWords
{
public:
    enum Kind {
        Incomplete, // more bytes are needed
        Invalid,    // not a message of ours
        Planning,   // "W ..." or "W"
        Compare,    // "C <count>" and the indexes
        Asking,     // "A"
        Accepted,   // "Y <length>" and the plan
        Refused,    // "N <reason>"
        Stored,     // "K"
        Stopped     // "X <reason>"
    };

    // The plan's steps, one per manifest item: 0 whole, -1 skipped, else the resume offset.
    static constexpr qint64 skip = -1;
    static constexpr qint64 resumeStep = Q_INT64_C(64) * 1024 * 1024;
    static constexpr int maxPlanBytes = 256 * 1024 * 1024;
    static constexpr int maxReasonBytes = 1000;

    Kind kind = Incomplete;
    QVector<int> indexes; // of Compare
    QByteArray plan;      // of Accepted
    QString reason;       // of Refused and Stopped

    // Takes the first whole message off `bytes`; leaves them as they are when it is incomplete.
    static ReceiverWords take(QByteArray *bytes);
    // The steps of `plan` for files of these sizes (-1: a folder); false when it names anything
    // but files in rising order, or an offset that is no positive multiple of resumeStep inside
    // the file.
    static bool parsePlan(const QByteArray &plan, const QVector<qint64> &sizes,
                          QVector<qint64> *steps);
    static bool parseNumber(const QByteArray &text, qint64 *value);

private:
    static ReceiverWords fromLine(char kind, const QByteArray &rest, bool bare,
                                  const QByteArray &bytes, int *used);
};

#endif // RECEIVERWORDS_H
