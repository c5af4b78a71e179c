#include "receive/streamunpacker.h"

#include <QIODevice>

StreamUnpacker::Result StreamUnpacker::unpack(const QString &saveDir, QIODevice *stream)
{
    Result result;
    if (stream->atEnd())
        return result;
    for (;;) {
        const StreamItem item(saveDir, stream);
        result.entries.append(Entry{item.name, item.storedPath, item.status});
        if (item.truncated)
            return result;
        if (item.over) {
            // Bytes after the end marker mean it was a record's name, not the end: the records
            // that follow it were not read.
            stream->readLine();
            result.complete = stream->atEnd();
            return result;
        }
    }
}
