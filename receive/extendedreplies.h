#ifndef EXTENDEDREPLIES_H
#define EXTENDEDREPLIES_H

#include <QByteArray>
#include <QString>

// The receiver's words on the extended port before and after the body: "W", "A", "Y", "N", "K"
// and "X" lines, each ending in "\n" alone.
class ExtendedReplies
{
public:
    static constexpr int maxReasonBytes = 1000;

    static QByteArray planning(qint64 done, qint64 total);
    static QByteArray asking() { return QByteArrayLiteral("A\n"); }
    static QByteArray accept(const QByteArray &plan);
    // Empty when the user said no.
    static QByteArray refuse(const QString &reason);
    static QByteArray done() { return QByteArrayLiteral("K\n"); }
    static QByteArray failed(const QString &reason);
    // Line breaks and NULs become spaces, and a long reason is cut at a character's boundary.
    static QByteArray reasonBytes(const QString &reason);
};

#endif // EXTENDEDREPLIES_H
