#ifndef RECEIVEHTML_H
#define RECEIVEHTML_H

#include "receive/storedentry.h"

#include <QList>

#include <QString>

// The HTML the receive view shows. Every text that came from a peer (names, paths) is escaped
// here, so a sender can add words to the view but never markup or links.
class ReceiveHtml
{
public:
    // The title line, the "received/total" line and a smaller line with rate and time left.
    static QString progress(const QString &title, qint64 received, qint64 total,
                            const QString &rate);
    // The heading once a transfer has ended: the title, red for a failure and green otherwise,
    // over the counts it reached; no rate, as nothing moves any more.
    static QString endHeading(const QString &title, bool failed, qint64 received, qint64 total);
    static QString refused();
    static QString problem(const QString &text); // red line
    static QString notice(const QString &text);  // grey line
    static QString success(const QString &text); // green line
    static QString link(const QString &name, const QString &storedPath);
    // The file URL a link to a stored item opens.
    static QString href(const QString &storedPath);
    // Tooltips take text that looks like markup as markup, so a path is always handed over as
    // escaped HTML.
    static QString toolTip(const QString &text);

    // What a run of stored (or failed) items shows, in order: lines of HTML, and runs of links,
    // one line each, which the view may put in without markup.
    struct Piece
    {
        QString html;             // a line, or
        QList<StoredEntry> links; // stored items, each shown as a link and its clash text
    };
    static QList<Piece> pieces(const QList<StoredEntry> &entries);
    // The same as HTML, links and all.
    static QString entries(const QList<StoredEntry> &entries);
    // The line that counts the files inside folders found unchanged; empty for none.
    static QString unchangedLine(int count);
    // The problem line of an entry that was not stored; empty for a stored one.
    static QString entryProblem(const StoredEntry &entry);
    // What the name-clash rule did to an item, said after its link; empty if nothing.
    static QString clashText(const StoredEntry &entry);
    static QString clashNote(const StoredEntry &entry); // the same as HTML
};

#endif // RECEIVEHTML_H
