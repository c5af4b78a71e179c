#include "receive/partialregistry.h"

#include "protocol/decimal.h"
#include "receive/savefolder.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace {

const QByteArray magic = QByteArrayLiteral("nubo-partials 1\n");

// The length of a partial file that can be continued: a plain file, not a link; -1 otherwise.
qint64 lengthOf(const QString &finalPath)
{
    const QFileInfo info(SaveFolder::partialPathOf(finalPath));
    return info.isFile() && !info.isSymLink() ? info.size() : -1;
}

QString decoded(const QByteArray &field)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(field));
}

} // namespace

PartialRegistry::PartialRegistry(const QString &fileName)
    : path(QFileInfo(fileName).absoluteFilePath())
{
}

// One line per entry, each field percent-encoded so that none holds a space or a line end. A line
// of six fields, from before hash states were kept, lists a file that can only be cleaned away.
void PartialRegistry::load()
{
    list.clear();
    changed = false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.readLine() != magic)
        return;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (!line.endsWith('\n'))
            break;
        const QList<QByteArray> fields = line.trimmed().split(' ');
        Entry entry;
        if ((fields.size() != 6 && fields.size() != 9) ||
            !Decimal::parse(fields.at(0), &entry.time) ||
            !Decimal::parse(fields.at(1), &entry.size))
            continue;
        entry.hasHash = ContentHash::Value::fromHex(fields.at(2), &entry.hash);
        entry.senderId = decoded(fields.at(3));
        entry.item = decoded(fields.at(4));
        entry.finalPath = decoded(fields.at(5));
        bool versionOk = true;
        if (fields.size() == 9 && Decimal::parse(fields.at(6), &entry.saved)) {
            entry.state = QByteArray::fromHex(fields.at(7));
            entry.version = fields.at(8).toULongLong(&versionOk, 16);
        }
        if (versionOk && QFileInfo(entry.finalPath).isAbsolute()) {
            entry.kept = lengthOf(entry.finalPath);
            list.append(entry);
        }
    }
}

bool PartialRegistry::save()
{
    if (!changed)
        return true;
    QByteArray text = magic;
    for (const Entry &entry : qAsConst(list)) {
        text += QByteArray::number(entry.time) + ' ' + QByteArray::number(entry.size) + ' ' +
                (entry.hasHash ? entry.hash.toHex() : QByteArray("-")) + ' ' +
                entry.senderId.toUtf8().toPercentEncoding() + ' ' +
                entry.item.toUtf8().toPercentEncoding() + ' ' +
                entry.finalPath.toUtf8().toPercentEncoding() + ' ' +
                QByteArray::number(entry.saved) + ' ' +
                (entry.state.isEmpty() ? QByteArray("-") : entry.state.toHex()) + ' ' +
                Manifest::versionHex(entry.version) + '\n';
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return false;
    changed = false;
    return true;
}

const PartialRegistry::Entry *PartialRegistry::find(const QString &senderId,
                                                    const Manifest::Item &item) const
{
    for (const Entry &entry : list) {
        const bool same = entry.version == item.version ||
                          (entry.hasHash && item.hasHash && entry.hash == item.hash);
        if (entry.senderId == senderId && entry.item == item.name && entry.size == item.size &&
            same && entry.saved > 0 && entry.saved < item.size && entry.kept >= entry.saved &&
            !entry.state.isEmpty())
            return &entry;
    }
    return nullptr;
}

void PartialRegistry::put(const Entry &entry)
{
    remove(entry.finalPath);
    list.append(entry);
    changed = true;
}

void PartialRegistry::remove(const QString &finalPath)
{
    for (int i = list.size() - 1; i >= 0; --i) {
        if (list.at(i).finalPath == finalPath) {
            list.removeAt(i);
            changed = true;
        }
    }
}

void PartialRegistry::clean(qint64 now, qint64 maxTotal)
{
    std::stable_sort(list.begin(), list.end(),
                     [](const Entry &a, const Entry &b) { return a.time > b.time; });
    qint64 total = 0;
    bool full = false;
    for (int i = 0; i < list.size();) {
        Entry &entry = list[i];
        entry.kept = lengthOf(entry.finalPath);
        if (entry.kept < 0) {
            list.removeAt(i);
            changed = true;
            continue;
        }
        // Newest first: once the total is reached, everything older goes.
        const bool tooOld = now - entry.time > maxAgeMs;
        full = full || (!tooOld && total + entry.kept > maxTotal);
        if (tooOld || full) {
            QFile::remove(SaveFolder::partialPathOf(entry.finalPath));
            list.removeAt(i);
            changed = true;
            continue;
        }
        total += entry.kept;
        ++i;
    }
}
