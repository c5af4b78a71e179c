#include "protocol/extendedprotocol.h"
#include "receive/extendedparts.h"
#include "receive/receiveplanner.h"
#include "receive/savefolder.h"
#include "records/hashcache.h"
#include "records/partialregistry.h"
#include "records/recordstore.h"

#include "receivetest.h"
#include "tempworkdir.h"
#include "testdata.h"

#include <QtTest>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

const QString senderA = QStringLiteral("sender-a");
constexpr qint64 step = 64 * 1024; // the resume step, small for tests

// "D name" a folder, "F name=content" a file.
Manifest manifestOf(const QStringList &items)
{
    Manifest manifest;
    for (const QString &line : items) {
        Manifest::Item item;
        item.isFile = line.startsWith(QLatin1Char('F'));
        const int equals = line.indexOf(QLatin1Char('='));
        item.name = line.mid(2, equals < 0 ? -1 : equals - 2);
        const QByteArray data = equals < 0 ? QByteArray() : line.mid(equals + 1).toLatin1();
        item.size = data.size();
        item.hash = hashOf(data);
        item.hasHash = true;
        item.version = quint64(manifest.items.size() + 1);
        manifest.items << item;
    }
    return manifest;
}

// An entry as the rows show it: its name, then what was not plain about it.
QString shown(const StoredEntry &entry, const QString &save)
{
    static const char *const statuses[] = {"",          " Refused", " WriteFailed", " UnknownType",
                                           " Invalid",  " Excess",  " Incomplete",  " Resumed",
                                           " Mismatch", " Changed"};
    static const char *const clashes[] = {"", " replaced", " as ", " skipped", " unchanged"};
    return entry.name + statuses[entry.status] + clashes[entry.clash] +
           (entry.clash == StoredEntry::Renamed ? QDir(save).relativeFilePath(entry.storedPath)
                                                : QString());
}

// All of it: Qt 5 stops at the first NUL of a QByteArray.
QString latin(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.constData(), bytes.size());
}

} // namespace

class TestSaveFolder : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void extendedBody_data();
    void extendedBody();
    void keptPartial_data();
    void keptPartial();
    void filesAreListedWhileWritten_data();
    void filesAreListedWhileWritten();
    void zerosStayHoles();
    void replacedItems();

private:
    void prepare(const QStringList &items);
    ReceivePlanner::Result plan(const Manifest &manifest);
    // Feeds the body for `planned`, its first `to` bytes only and then a cut when `to` is set;
    // true when it was stored whole.
    bool store(const Manifest &manifest, const ReceivePlanner::Result &planned,
               const QStringList &data, int to = -1);
    QStringList tree() const;

    std::unique_ptr<TempWorkDir> work;
    QString save;
    QString outside;
    std::unique_ptr<RecordStore> records;
    std::unique_ptr<HashCache> cache;
    std::unique_ptr<PartialRegistry> partials;
    SettingsKeys::NameClash rule = SettingsKeys::NameClash::Overwrite;
    QList<StoredEntry> entries;
    QString failure;
    int unchangedBelow = 0;
};

void TestSaveFolder::init()
{
    partials.reset();
    cache.reset();
    records.reset();
    work = std::make_unique<TempWorkDir>();
    save = work->filePath("save");
    outside = work->filePath("outside");
    QVERIFY(QDir().mkpath(save) && QDir().mkpath(outside));
    records = std::make_unique<RecordStore>(work->filePath(RecordStore::fileName()));
    cache = std::make_unique<HashCache>(*records);
    partials = std::make_unique<PartialRegistry>(records.get());
    rule = SettingsKeys::NameClash::Overwrite;
    entries.clear();
}

// "dir/", "file=content".
void TestSaveFolder::prepare(const QStringList &items)
{
    for (const QString &item : items) {
        const QString path = save + QLatin1Char('/') + item.section(QLatin1Char('='), 0, 0);
        if (item.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir().mkpath(path));
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(item.section(QLatin1Char('='), 1).toUtf8());
        }
    }
}

ReceivePlanner::Result TestSaveFolder::plan(const Manifest &manifest)
{
    const std::atomic<bool> cancelled{false};
    ReceivePlanner planner(SaveFolder(save, rule, {}), manifest, senderA, partials.get(),
                           cache.get());
    planner.setResumeStep(step);
    return planner.plan(&cancelled);
}

bool TestSaveFolder::store(const Manifest &manifest, const ReceivePlanner::Result &planned,
                           const QStringList &data, int to)
{
    QByteArray body;
    for (int i = 0; i < manifest.items.size(); ++i) {
        const TransferPlan::Step &at = planned.plan.steps.at(i);
        if (manifest.items.at(i).isFile && at.action != TransferPlan::Skip)
            body += ExtendedProtocol::partLine(i, at.offset) +
                    data.at(i).toLatin1().mid(int(at.offset)) +
                    ExtendedProtocol::hashLine(manifest.items.at(i).hash);
    }
    body += ExtendedProtocol::endLine();
    ExtendedParts parts(SaveFolder(save, rule, {}), manifest, planned, partials.get(), senderA);
    parts.setResumeStep(step);
    parts.begin();
    const bool fed = parts.feed(body.constData(), to < 0 ? body.size() : to);
    if (to >= 0)
        parts.finish();
    entries = parts.takeEntries();
    unchangedBelow = parts.takeUnchanged();
    failure = parts.failure();
    return fed && parts.atEnd() && !parts.failed();
}

QStringList TestSaveFolder::tree() const
{
    QStringList found;
    QDirIterator it(save, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QDir(save).relativeFilePath(path);
        found << (it.fileInfo().isDir() ? name + '/' : name + '=' + contents(path));
    }
    found.sort();
    return found;
}

void TestSaveFolder::extendedBody_data()
{
    QTest::addColumn<int>("rule");
    QTest::addColumn<QStringList>("prepared");
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QString>("changed"); // rewritten between the plan and the body
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QStringList>("after");
    const QStringList photos{"DCIM/", "DCIM/.nomedia=", "DCIM/IMG_0001.JPG=mine"};
    const QStringList sent{"D DCIM", "F DCIM/.nomedia=", "F DCIM/IMG_0001.JPG=theirs"};
    QTest::newRow("keep both: one identical file does not let the others replace")
        << int(SettingsKeys::NameClash::KeepBoth) << photos << sent << QString()
        << QStringList{"DCIM", "DCIM/IMG_0001.JPG as DCIM/IMG_0001 (1).JPG", "1 unchanged"} << true
        << QStringList{"DCIM/", "DCIM/.nomedia=", "DCIM/IMG_0001 (1).JPG=theirs",
                       "DCIM/IMG_0001.JPG=mine"};
    QTest::newRow("skip: one identical file does not let the others replace")
        << int(SettingsKeys::NameClash::Skip) << photos << sent << QString()
        << QStringList{"DCIM", "DCIM/IMG_0001.JPG skipped", "1 unchanged"} << true << photos;
    QTest::newRow("a record named like a partial file")
        << int(SettingsKeys::NameClash::Overwrite) << QStringList()
        << QStringList{"F .pv.nubo-partial=aa", "F pv=bb"} << QString()
        << QStringList{".pv.nubo-partial Refused"} << false << QStringList();
    QTest::newRow("a skipped file changed after the plan")
        << int(SettingsKeys::NameClash::Overwrite) << QStringList{"d/", "d/a=same"}
        << QStringList{"D d", "F d/a=same", "F d/b=new"} << "d/a=changed"
        << QStringList{"d", "d/a Changed"} << false << QStringList{"d/", "d/a=changed"};
}

void TestSaveFolder::extendedBody()
{
    QFETCH(int, rule);
    QFETCH(QStringList, prepared);
    QFETCH(QStringList, items);
    QFETCH(QString, changed);
    QFETCH(QStringList, stored);
    QFETCH(bool, complete);
    QFETCH(QStringList, after);
    this->rule = SettingsKeys::NameClash(rule);
    prepare(prepared);
    const Manifest manifest = manifestOf(items);
    const ReceivePlanner::Result planned = plan(manifest);
    if (!changed.isEmpty())
        prepare({changed});
    QStringList data;
    for (const QString &item : items)
        data << item.mid(item.indexOf(QLatin1Char('=')) + 1);
    const bool ok = store(manifest, planned, data);
    QStringList got;
    for (const StoredEntry &entry : qAsConst(entries))
        got << shown(entry, save);
    if (unchangedBelow > 0)
        got << QString("%1 unchanged").arg(unchangedBelow); // only counted
    QCOMPARE(got, stored);
    QCOMPARE(ok, complete);
    QCOMPARE(failure.isEmpty(), complete);
    QCOMPARE(tree(), after);
}

// A partial file kept at its last step goes on from there when it is still a plain file; a link
// put in its place is neither read nor written through; a disk that fills while a kept file goes
// on costs none of what was kept.
void TestSaveFolder::keptPartial_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("resumed");
    QTest::addColumn<bool>("complete");
    QTest::newRow("kept partial goes on") << "same" << true << true;
    QTest::newRow("kept partial replaced by a link to a file outside") << "link" << false << true;
    QTest::newRow("disk full while it goes on") << "full" << true << false;
}

void TestSaveFolder::keptPartial()
{
    QFETCH(QString, how);
    QFETCH(bool, resumed);
    QFETCH(bool, complete);
    const QByteArray data = pattern(3 * step + 100);
    const Manifest manifest = manifestOf({"F big=" + latin(data)});
    const QStringList sent{latin(data)};
    QVERIFY(!store(manifest, plan(manifest), sent, int(2 * step + 80)));
    const QString partial = SaveFolder::partialPathOf(save + "/big");
    QCOMPARE(contents(partial), data.left(int(2 * step)));
    if (how == "link") {
        QFile::remove(partial);
        QFile prefix(outside + "/big.part");
        QVERIFY(prefix.open(QIODevice::WriteOnly));
        prefix.write(data.left(int(2 * step)));
        prefix.close();
        QVERIFY(QFile::link(prefix.fileName(), partial));
    }
    const ReceivePlanner::Result planned = plan(manifest);
    QCOMPARE(planned.plan.steps.at(0).action == TransferPlan::Resume, resumed);
    rlimit before;
    getrlimit(RLIMIT_FSIZE, &before);
    if (how == "full") {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = before;
        small.rlim_cur = rlim_t(2 * step + 10);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    const bool ok = store(manifest, planned, sent);
    setrlimit(RLIMIT_FSIZE, &before);
    QCOMPARE(ok, complete);
    QCOMPARE(contents(save + "/big"), complete ? data : QByteArray("(missing)"));
    if (!complete)
        QCOMPARE(contents(partial), data.left(int(2 * step)));
    QCOMPARE(contents(outside + "/big.part"),
             how == "link" ? data.left(int(2 * step)) : QByteArray("(missing)"));
}

// A receiver killed at any moment leaves no partial file the records do not know, nor one they
// think holds more than it does; a file too small to be continued leaves nothing with a name.
void TestSaveFolder::filesAreListedWhileWritten_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("written");
    QTest::addColumn<qint64>("kept");
    QTest::newRow("small file, first bytes") << qint64(100) << qint64(10) << qint64(-1);
    QTest::newRow("large file, past one step") << 3 * step << step + 5 << step;
}

void TestSaveFolder::filesAreListedWhileWritten()
{
    QFETCH(qint64, size);
    QFETCH(qint64, written);
    QFETCH(qint64, kept);
    const QByteArray data = pattern(size);
    const Manifest manifest = manifestOf({"F file=" + latin(data)});
    ExtendedParts parts(SaveFolder(save, rule, {}), manifest, plan(manifest), partials.get(),
                        senderA);
    parts.setResumeStep(step);
    const QByteArray body = ExtendedProtocol::partLine(0, 0) + data.left(int(written));
    QVERIFY(parts.feed(body.constData(), body.size()));
    const QList<PartialRegistry::Entry> listed = partials->entries();
    if (kept < 0) {
        QVERIFY(listed.isEmpty());
        QCOMPARE(QDir(save).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
        return;
    }
    QVERIFY(listed.size() == 1 && listed.first().finalPath == save + "/file");
    QCOMPARE(listed.first().kept, kept);
}

void TestSaveFolder::zerosStayHoles()
{
    QByteArray data(int(64 * step), '\0');
    data.append("end");
    const Manifest manifest = manifestOf({"F sparse=" + latin(data)});
    QVERIFY(store(manifest, plan(manifest), {latin(data)}));
    QCOMPARE(contents(save + "/sparse"), data);
    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(save + "/sparse").constData(), &info), 0);
    QVERIFY2(info.st_blocks * 512 < data.size() / 4, QByteArray::number(qint64(info.st_blocks)));
}

// What the question under "overwrite" names: existing items the transfer would put anything in
// place of, at most a few by name.
void TestSaveFolder::replacedItems()
{
    prepare({"a=x", "b=x", "c=x", "d=x", "e=x", "same=same"});
    const Manifest manifest =
        manifestOf({"F a=1", "F b=2", "F c=3", "F d=4", "F e=5", "F same=same", "F new=n"});
    const SaveFolder::Replaced replaced = plan(manifest).replaced;
    QCOMPARE(replaced.count, 5);
    QCOMPARE(replaced.first, (QStringList{"a", "b", "c"}));
    rule = SettingsKeys::NameClash::KeepBoth;
    QCOMPARE(plan(manifest).replaced.count, 0);
}

QTEST_GUILESS_MAIN(TestSaveFolder)
#include "tst_savefolder.moc"
