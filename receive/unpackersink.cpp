#include "receive/unpackersink.h"

#include "protocol/hashcache.h"
#include "receive/extendedunpacker.h"
#include "receive/streamunpacker.h"

#include <QFileInfo>
#include <QObject>

UnpackerSink::UnpackerSink(const QString &saveDir, SettingsKeys::NameClash rule, int items,
                           qint64 size)
    : unpacker(std::make_unique<StreamUnpacker>(saveDir))
{
    unpacker->setRecordLimit(items);
    unpacker->setDataLimit(size);
    unpacker->setNameClash(rule);
    QStringList own;
    for (const QString &name : SettingsKeys::workingFolderFiles())
        own << QFileInfo(name).absoluteFilePath();
    unpacker->setProtectedPaths(own);
}

UnpackerSink::~UnpackerSink() = default;

void UnpackerSink::expectParts(const Manifest &manifest, const TransferPlan &plan,
                               const QHash<int, ContentHash> &prefixes,
                               const QHash<QString, QString> &continued, PartialRegistry *partials,
                               const QString &senderId)
{
    unpacker->setContinuations(continued);
    unpacker->setHashCache(&HashCache::shared());
    parts = std::make_unique<ExtendedUnpacker>(unpacker.get(), manifest, plan, prefixes, partials,
                                               senderId);
}

bool UnpackerSink::feed(const char *data, qint64 length)
{
    return parts ? parts->feed(data, length) : unpacker->feed(data, length);
}

void UnpackerSink::finish()
{
    if (parts)
        parts->finish();
    else
        unpacker->finish();
}

bool UnpackerSink::atEnd() const
{
    return parts ? parts->atEnd() : unpacker->atEnd();
}

bool UnpackerSink::failed() const
{
    return unpacker->failed();
}

bool UnpackerSink::diskFull() const
{
    return unpacker->diskFull();
}

QString UnpackerSink::failure() const
{
    return unpacker->diskFull() ? QObject::tr("磁盘空间已满，接收不完整！") : QString();
}

qint64 UnpackerSink::dataBytes() const
{
    return unpacker->dataBytes();
}

qint64 UnpackerSink::extraBytes() const
{
    return parts ? parts->extraBytes() : 0;
}

QList<StoredEntry> UnpackerSink::takeEntries()
{
    return unpacker->takeEntries();
}
