#include "receive/plainitemstream.h"

#include <QDebug>

PlainItemStream::PlainItemStream(const SaveFolder &folder) : reader(this), storage(folder) {}

bool PlainItemStream::fileBegin(const QString &name, qint64 size)
{
    return storage.beginFile(name, size);
}

bool PlainItemStream::fileData(const char *data, qint64 length)
{
    return storage.addData(data, length);
}

bool PlainItemStream::feed(const char *data, qint64 length)
{
    if (storage.failed())
        return false;
    if (!reader.feed(data, length) && !storage.failed()) {
        const bool unknown = reader.error() == StreamReader::UnknownType;
        qDebug() << (unknown ? "类型错误" : "File end错误") << reader.recordName();
        storage.fail(reader.error() == StreamReader::DataAfterEnd ? QStringLiteral("OVER")
                                                                  : reader.recordName(),
                     unknown ? StoredEntry::UnknownType : StoredEntry::Invalid);
    }
    return !storage.failed();
}

void PlainItemStream::finish()
{
    if (storage.failed() || reader.atEnd())
        return;
    // Only a file being written has a name worth showing; the missing end counts all the same.
    storage.cut(storage.fileName());
}
