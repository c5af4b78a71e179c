#ifndef STOREDENTRY_H
#define STOREDENTRY_H

#include <QMetaType>
#include <QString>

// What became of one record of a transfer below the save folder, as the view lists it.
struct StoredEntry
{
    enum Status {
        Stored,      // folder made or file written whole
        Refused,     // the name would lead outside the save folder; nothing stored
        WriteFailed, // the item could not be stored (folder missing, no permission, disk full)
        UnknownType, // the type line is neither "file" nor "folder"; nothing stored
        Invalid,     // the record is framed wrongly (size line, "File end", overlong line)
        Excess,      // a record beyond the count or the size the request announced
        Incomplete,  // the input ended inside this record; nothing stored as if whole
        Resumed,     // not an end: the file continues from `offset` bytes kept of a cut transfer
        Mismatch,    // the file's contents are not the ones announced; not kept under its name
        Changed      // a file found identical before the user was asked changed since
    };

    // What became of a top-level item whose name was taken, told on its first entry only; inside
    // an item stored in place, what became of each file whose name was taken.
    enum Clash {
        NoClash,
        Replaced, // stored over the existing item
        Renamed,  // stored under a free name: storedPath says which
        Skipped,  // the existing item kept, storedPath pointing at it; nothing of it stored
        Unchanged // a file identical here already, so not sent; storedPath points at it
    };

    QString name;
    QString storedPath;
    Status status = Stored;
    Clash clash = NoClash;
    qint64 offset = 0; // where a Resumed file continues
};

Q_DECLARE_METATYPE(StoredEntry)

#endif // STOREDENTRY_H
