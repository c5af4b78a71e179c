#include "records/legacyrecords.h"

#include "protocol/decimal.h"

#include "records/fileidentity.h"
#include "records/hashcache.h"
#include "records/partialregistry.h"
#include "records/recordstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// The lines after the file's first, which must be `magic`; a line cut short ends them.
QList<QByteArray> linesOf(const QString &fileName, const QByteArray &magic)
{
    QList<QByteArray> lines;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly) || file.readLine() != magic)
        return lines;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (!line.endsWith('\n'))
            break;
        lines << line.chopped(1);
    }
    return lines;
}

QString decoded(const QByteArray &field)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(field));
}

} // namespace

void LegacyRecords::takeOver(RecordStore &store, const QString &folder)
{
    const QDir dir(folder);
    const QString hashes = dir.filePath(QStringLiteral("hashes"));
    const QString partials = dir.filePath(QStringLiteral("partials"));
    // Removed only once taken: a store that cannot be written leaves them for the next start.
    if (QFileInfo::exists(hashes) && takeHashes(store, hashes))
        QFile::remove(hashes);
    if (QFileInfo::exists(partials) && takePartials(store, partials))
        QFile::remove(partials);
}

// "size time hash path": an entry knew the size and modification time only, so it is taken for
// a file that still has both, under the identity the file has now.
bool LegacyRecords::takeHashes(RecordStore &store, const QString &fileName)
{
    HashCache cache(store);
    const QList<QByteArray> lines = linesOf(fileName, "nubo-hashes 1\n");
    return store.write([&] {
        for (const QByteArray &line : lines) {
            const QList<QByteArray> fields = line.split(' ');
            ContentHash::Value hash;
            if (fields.size() < 4 || !ContentHash::Value::fromHex(fields.at(2), &hash))
                continue;
            const int pathStart = fields.at(0).size() + fields.at(1).size() + 35;
            const QString path = QString::fromUtf8(line.mid(pathStart));
            const FileIdentity now = FileIdentity::of(path);
            if (now.isValid() && QByteArray::number(now.size()) == fields.at(0) &&
                QByteArray::number(now.modified()) == fields.at(1))
                cache.store(path, now, hash);
        }
        cache.save();
        return true;
    });
}

// "time size hash sender item final-path", the last three percent-encoded. The kept length was
// the partial file's own, and no hash state was kept with it.
bool LegacyRecords::takePartials(RecordStore &store, const QString &fileName)
{
    PartialRegistry registry(&store);
    const QList<QByteArray> lines = linesOf(fileName, "nubo-partials 1\n");
    return store.write([&] {
        for (const QByteArray &line : lines) {
            const QList<QByteArray> fields = line.split(' ');
            PartialRegistry::Entry entry;
            ContentHash::Value hash;
            if (fields.size() != 6)
                continue;
            const bool timeOk = Decimal::parse(fields.at(0), &entry.time);
            const bool sizeOk = Decimal::parse(fields.at(1), &entry.size);
            entry.senderId = decoded(fields.at(3));
            entry.item = decoded(fields.at(4));
            entry.finalPath = decoded(fields.at(5));
            const QFileInfo partial(PartialRegistry::partialPathOf(entry.finalPath));
            if (!timeOk || !sizeOk || !ContentHash::Value::fromHex(fields.at(2), &hash) ||
                !QFileInfo(entry.finalPath).isAbsolute() || !partial.isFile())
                continue;
            entry.hash = hash;
            entry.kept = partial.size();
            registry.add(entry);
        }
        return true;
    });
}
