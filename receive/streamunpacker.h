#ifndef STREAMUNPACKER_H
#define STREAMUNPACKER_H

#include "receive/streamitem.h"

#include <QList>
#include <QString>

class QIODevice;

// Unpacks a whole received body: one StreamItem per record until the end marker or the end of
// the input, whichever comes first.
class StreamUnpacker
{
public:
    struct Entry {
        QString name;
        QString storedPath;
        StreamItem::Status status;
    };

    struct Result {
        QList<Entry> entries;
        // The end marker was read, nothing followed it, and no record was cut. Records that
        // were refused or could not be stored do not make a stream incomplete: see each status.
        bool complete = false;
    };

    static Result unpack(const QString &saveDir, QIODevice *stream);
};

#endif // STREAMUNPACKER_H
