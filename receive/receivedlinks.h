#ifndef RECEIVEDLINKS_H
#define RECEIVEDLINKS_H

#include "receive/storedentry.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

class QBrush;
class QTextCursor;
class QTextDocument;

// The links to stored items in the receive view's text area, a line each in paragraphs of many.
// They share one anchor format, whose address only marks them as such: a format of its own would
// cost each link about half a kilobyte in the document, tens of megabytes for a large tree. Which
// item a place in the document links to is kept here instead.
class ReceivedLinks
{
public:
    // The address every such link carries.
    static QString marker();

    void clear();
    // Adds `links` as one paragraph at `cursor`, which stands at the document's end: per line the
    // item's name as a link, then what the name-clash rule did to it.
    void append(QTextCursor *cursor, const QList<StoredEntry> &links, const QBrush &colour);
    // The stored path of the item whose link holds `position`; empty where no such link is.
    QString pathAt(const QTextDocument *document, int position) const;

private:
    QHash<int, int> firstOfBlock; // paragraph number -> index in `paths` of its first link
    QStringList paths;
};

#endif // RECEIVEDLINKS_H
