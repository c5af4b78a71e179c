#ifndef STREAMITEM_H
#define STREAMITEM_H

#include <QList>
#include <QString>

class QIODevice;

// Reads one record of an item stream from the device's current position and stores its folder or
// file below the save folder. Leaves the device at the start of the next record.
class StreamItem
{
public:
    enum Status {
        Stored,      // folder made or file written whole
        Refused,     // the name would lead outside the save folder; nothing stored, data skipped
        WriteFailed, // the item could not be stored (folder missing, no permission, disk full)
        UnknownType, // the type line is neither "file" nor "folder"; nothing stored
        Incomplete   // the input ended inside this record; nothing stored as if whole
    };

    StreamItem(const QString &saveDir, QIODevice *stream);

    QString name;
    QString type;
    qint64 size = 0;
    QList<qint64> dataRange;
    qint64 recordEnd = 0;
    bool over = false;       // the line after this record is the end marker "OVER"
    bool truncated = false;  // the input ended (or cannot be framed any further) before "OVER"
    QString saveDir;
    Status status = Stored;
    QString storedPath;      // absolute path of the stored item, when status is Stored
};

#endif // STREAMITEM_H
