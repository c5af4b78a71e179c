#ifndef RECEIVEHTML_H
#define RECEIVEHTML_H

#include "receive/streamunpacker.h"

#include <QString>

// The HTML paragraphs the receive view shows. Every text that came from a peer (names, paths) is
// escaped here, so a sender can add words to the view but never markup or links.
class ReceiveHtml
{
public:
    static QString progress(qint64 received, qint64 total);
    static QString refused();
    static QString problem(const QString &text); // red line
    static QString notice(const QString &text);  // grey line
    static QString link(const QString &name, const QString &storedPath);

    // Everything shown once a body has been unpacked, as one piece, so that a body of thousands
    // of records costs a single append.
    static QString unpackReport(const StreamUnpacker::Result &result);
    // The body arrived whole and every item in it was stored.
    static bool isSuccess(const StreamUnpacker::Result &result);
};

#endif // RECEIVEHTML_H
