// Unpacks arbitrary bodies into a temporary save folder that holds a link pointing out of it,
// and checks that nothing lands outside and that everything inside is a stored item.
#include "receive/streamunpacker.h"

#include <cstdio>
#include <cstdlib>

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QtGlobal>

namespace {

QStringList listing(const QString &dir)
{
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << it.next();
    entries.sort();
    return entries;
}

void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "fuzz_unpack: %s\n", what);
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir root;
    static const QString save = QDir::cleanPath(root.filePath(QStringLiteral("save")));
    static const QString outside = root.filePath(QStringLiteral("outside"));
    static bool quiet = [] {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        return true;
    }();
    Q_UNUSED(quiet);

    QDir(save).removeRecursively();
    QDir(outside).removeRecursively();
    check(QDir().mkpath(save) && QDir().mkpath(outside), "cannot make the folders");
    {
        QFile marker(outside + QStringLiteral("/target.txt"));
        check(marker.open(QIODevice::WriteOnly) && marker.write("secret") == 6, "no marker");
    }
    check(QFile::link(outside, save + QStringLiteral("/out")), "cannot make the link");
    const QString link = save + QStringLiteral("/out");

    QBuffer stream;
    stream.setData(reinterpret_cast<const char *>(data), int(size));
    stream.open(QIODevice::ReadOnly);
    const StreamUnpacker::Result result = StreamUnpacker::unpack(save, &stream);

    QSet<QString> stored;
    for (const StreamUnpacker::Entry &entry : result.entries) {
        check(entry.storedPath.isEmpty() == (entry.status != StreamItem::Stored), "storedPath");
        if (entry.status == StreamItem::Stored) {
            check(entry.storedPath == save || entry.storedPath.startsWith(save + QLatin1Char('/')),
                  "stored path outside the save folder");
            stored.insert(entry.storedPath);
        }
    }
    check(result.entries.size() <= int(size / 2) + 1, "more records than lines");
    check(!result.complete || stream.atEnd(), "complete but input left");

    check(listing(outside) == QStringList({outside + QStringLiteral("/target.txt")}),
          "something landed in the outside folder");
    {
        QFile marker(outside + QStringLiteral("/target.txt"));
        check(marker.open(QIODevice::ReadOnly) && marker.readAll() == "secret", "marker changed");
    }
    check(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden) ==
              QStringList({"outside", "save"}),
          "something landed beside the save folder");
    for (const QString &path : listing(save)) {
        if (path != link && !stored.contains(path)) {
            fprintf(stderr, "unexpected: %s\n", qPrintable(path));
            check(false, "an item in the save folder that was not reported stored");
        }
    }
    return 0;
}
