#include "records/filehash.h"
#include "records/fileidentity.h"
#include "records/hashcache.h"
#include "records/hashcheckpoints.h"
#include "records/identityreader.h"
#include "records/knowndevices.h"
#include "records/partialregistry.h"
#include "records/recordstore.h"

#include "testdata.h"

#include <QDateTime>
#include <QFile>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

bool write(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// Sets the modification time back to `modified` nanoseconds, as `touch -d` would.
bool setModified(const QString &path, qint64 modified)
{
    const struct timespec times[2] = {{0, UTIME_OMIT},
                                      {modified / 1000000000, modified % 1000000000}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

// Writes the file anew in place and sets its time back; true once the system has noted a change
// time other than `changed`.
bool rewriteInPlace(const QString &path, qint64 modified, qint64 changed)
{
    return write(path, "FIRST") && setModified(path, modified) &&
           FileIdentity::of(path).changed() != changed;
}

PartialRegistry::Entry partialEntry(const QString &finalPath, qint64 kept)
{
    return {"sender-a", QFileInfo(finalPath).fileName(),     kept + 100, 5, hashOf("whole"),
            finalPath,  QDateTime::currentMSecsSinceEpoch(), kept,       {}};
}

} // namespace

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void hashCacheFollowsTheFile_data();
    void hashCacheFollowsTheFile();
    void identityReaderSaysWhatTheFileSays();
    void recordsSurviveReopening_data();
    void recordsSurviveReopening();
    void oldLineFilesAreTakenOverOnce();
    void hashesKeptByRowAreMovedOver();
    void fewFilesReadFewRecords();
    void partialsAreFoundBySenderAndVersion_data();
    void partialsAreFoundBySenderAndVersion();
    void cleanKeepsWhatCanBeContinued_data();
    void cleanKeepsWhatCanBeContinued();
    void hashStateContinues_data();
    void hashStateContinues();
    void threadsShareTheStore();
    void knownDevicesKeepTheLastSeen_data();
    void knownDevicesKeepTheLastSeen();

private:
    QString filePath(const QString &name) const { return dir->filePath(name); }
    void reopen();

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<RecordStore> store;
};

void TestRecords::init()
{
    store.reset();
    dir = std::make_unique<QTemporaryDir>();
    reopen();
}

void TestRecords::reopen()
{
    store.reset();
    store = std::make_unique<RecordStore>(filePath(RecordStore::fileName()));
    QVERIFY(store->isOpen());
}

// A cached hash stands only while nothing can have written the file: a lie planted in the cache
// shows whether the file was read again.
void TestRecords::hashCacheFollowsTheFile_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("saved");
    QTest::newRow("unchanged") << "none" << false;
    QTest::newRow("unchanged, written down") << "none" << true;
    QTest::newRow("rewritten in place, time set back") << "rewrite" << false;
    QTest::newRow("rewritten in place, written down") << "rewrite" << true;
    QTest::newRow("replaced by a copy of the same time") << "replace" << false;
}

void TestRecords::hashCacheFollowsTheFile()
{
    QFETCH(QString, change);
    QFETCH(bool, saved);
    const bool cached = change == "none";
    const QString path = filePath("a file");
    QVERIFY(write(path, "first"));
    HashCache cache(*store);
    const FileIdentity before = FileIdentity::of(path);
    cache.store(path, before, ContentHash::Value{7, 7});
    if (saved)
        cache.save();
    if (change == "rewrite") {
        QTRY_VERIFY(rewriteInPlace(path, before.modified(), before.changed()));
    } else if (change == "replace") {
        QVERIFY(write(path + ".new", "FIRST") && QFile::remove(path) &&
                QFile::rename(path + ".new", path) && setModified(path, before.modified()));
    }
    QCOMPARE(FileIdentity::of(path).modified(), before.modified());
    const QVector<FileIdentity> now{FileIdentity::of(path)};
    const QString name = QFileInfo(dir->path()).fileName() + "/a file";
    QCOMPARE(cache.lookupMany({path}, {name}, now).at(0).has_value(), cached);
    ContentHash::Value hash;
    FileIdentity identity;
    QVERIFY(cache.hashOf(path, &hash, nullptr, &identity));
    QCOMPARE(identity.version() == before.version(), cached);
    QVERIFY(hash == (cached ? ContentHash::Value{7, 7} : hashOf("FIRST")));
    // A link is not a plain file, whatever it points at.
    QVERIFY(QFile::link(path, filePath("link")));
    QVERIFY(!cache.hashOf(filePath("link"), &hash));
}

// Folder by folder, and back to one it left, a folder that went and came back, a link, a gap.
void TestRecords::identityReaderSaysWhatTheFileSays()
{
    QVERIFY(QDir(dir->path()).mkpath("a") && QDir(dir->path()).mkpath("b"));
    QVERIFY(write(filePath("a/1"), "one") && write(filePath("b/2"), "two") &&
            write(filePath("top"), "top") && QFile::link(filePath("a/1"), filePath("b/link")));
    IdentityReader reader;
    const auto same = [&reader](const QString &path) {
        return reader.of(path) == FileIdentity::of(path);
    };
    QVERIFY(same(filePath("a/1")) && reader.of(filePath("a/1")).isValid());
    QVERIFY(same(filePath("b/2")) && same(filePath("b/link")) && same(filePath("b/none")));
    QVERIFY(!reader.of(filePath("b/link")).isValid());
    QVERIFY(same(filePath("top")) && same(filePath("none/x")) && same(filePath("a/1")));
    QVERIFY(QDir(filePath("a")).removeRecursively() && QDir(dir->path()).mkpath("a") &&
            write(filePath("a/1"), "another"));
    QVERIFY(same(filePath("a/1")) && reader.of(filePath("a/1")).isValid());
}

void TestRecords::recordsSurviveReopening_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("hashes, the least recently used dropped") << "hashes";
    QTest::newRow("a partial file with its hash state") << "partial";
    QTest::newRow("a sender's hash state") << "checkpoint";
}

void TestRecords::recordsSurviveReopening()
{
    QFETCH(QString, kind);
    const QByteArray data(int(HashCheckpoints::step) + 10, 'x');
    ContentHash part;
    part.add(data.constData(), HashCheckpoints::step);
    const QString big = filePath("big.bin");
    const QStringList names{"a", "b", "c"};
    ContentHash::Value hash;
    if (kind == "hashes") {
        HashCache cache(*store);
        for (const QString &name : names) {
            QVERIFY(write(filePath(name), name.toUtf8()));
            cache.store(filePath(name), FileIdentity::of(filePath(name)), hashOf(name.toUtf8()));
        }
        QVERIFY(cache.lookup(filePath("a"), FileIdentity::of(filePath("a")), &hash));
        cache.save();
    } else if (kind == "partial") {
        PartialRegistry::Entry entry = partialEntry(big, 0);
        entry.size = data.size();
        PartialRegistry registry(store.get());
        QVERIFY(registry.add(entry) && registry.advance(big, part));
    } else {
        QVERIFY(HashCheckpoints(*store).save(big, 42, part));
    }
    reopen();
    ContentHash resumed;
    if (kind == "hashes") {
        HashCache smaller(*store, 2);
        smaller.save();
        QStringList found;
        for (const QString &name : names) {
            if (smaller.lookup(filePath(name), FileIdentity::of(filePath(name)), &hash))
                found << name;
        }
        QCOMPARE(found, (QStringList{"a", "c"}));
        return;
    } else if (kind == "partial") {
        const auto entry =
            PartialRegistry(store.get()).find("sender-a", "big.bin", data.size(), 5, {});
        QVERIFY(entry && entry->kept == HashCheckpoints::step);
        QVERIFY(resumed.restoreState(entry->state));
    } else {
        QVERIFY(!HashCheckpoints(*store).find(big, 41, data.size(), &resumed));
        QVERIFY(HashCheckpoints(*store).find(big, 42, data.size(), &resumed));
    }
    resumed.add(data.constData() + HashCheckpoints::step, 10);
    QCOMPARE(resumed.value(), hashOf(data));
}

void TestRecords::oldLineFilesAreTakenOverOnce()
{
    store.reset();
    const QString kept = filePath("kept.txt");
    const QString changed = filePath("changed.txt");
    const QString final = filePath("big.bin");
    QVERIFY(write(kept, "kept") && write(changed, "changed") && write(final + ".part", "12345"));
    QVERIFY(QFile::rename(final + ".part", PartialRegistry::partialPathOf(final)));
    const FileIdentity keptNow = FileIdentity::of(kept);
    const FileIdentity changedNow = FileIdentity::of(changed);
    QVERIFY(write(filePath("hashes"), "nubo-hashes 1\n4 " + QByteArray::number(keptNow.modified()) +
                                          ' ' + hashOf("kept").toHex() + ' ' + kept.toUtf8() +
                                          "\n7 " + QByteArray::number(changedNow.modified() - 1) +
                                          ' ' + hashOf("changed").toHex() + ' ' + changed.toUtf8() +
                                          '\n'));
    QVERIFY(write(filePath("partials"), "nubo-partials 1\n1000 9 " + hashOf("123456789").toHex() +
                                            " sender-a big.bin " +
                                            final.toUtf8().toPercentEncoding() + '\n'));
    reopen();
    reopen();
    QVERIFY(!QFileInfo::exists(filePath("hashes")) && !QFileInfo::exists(filePath("partials")));
    HashCache cache(*store);
    ContentHash::Value hash;
    QVERIFY(cache.lookup(kept, keptNow, &hash) && hash == hashOf("kept"));
    QVERIFY(!cache.lookup(changed, changedNow, &hash));
    const QList<PartialRegistry::Entry> entries = PartialRegistry(store.get()).entries();
    QVERIFY(entries.size() == 1 && entries.first().kept == 5);
    QVERIFY(PartialRegistry(store.get()).find("sender-a", "big.bin", 9, 0, hashOf("123456789")));
}

// Hashes kept by row number, as earlier versions kept them, are moved over, not lost.
void TestRecords::hashesKeptByRowAreMovedOver()
{
    store.reset();
    QFile::remove(filePath(RecordStore::fileName()));
    const QString path = filePath("kept.txt");
    QVERIFY(write(path, "kept"));
    const FileIdentity now = FileIdentity::of(path);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "by-row");
        db.setDatabaseName(filePath(RecordStore::fileName()));
        QSqlQuery make(db);
        QVERIFY(db.open() && make.exec("CREATE TABLE hashes (path TEXT PRIMARY KEY, size, modified,"
                                       " changed, inode, device, hash, used)"));
        QVERIFY(make.prepare("INSERT INTO hashes VALUES (?, 4, ?, ?, ?, ?, ?, 1)"));
        for (const QVariant &value :
             {QVariant(path), QVariant(now.modified()), QVariant(now.changed()),
              QVariant(now.inode()), QVariant(now.device()),
              QVariant(QString(hashOf("kept").toHex()))})
            make.addBindValue(value);
        QVERIFY(make.exec());
    }
    QSqlDatabase::removeDatabase("by-row");
    reopen();
    QSqlQuery &schema = store->query("SELECT sql FROM sqlite_master WHERE name = 'hashes'");
    QVERIFY(schema.exec() && schema.next() && schema.value(0).toString().contains("WITHOUT ROWID"));
    schema.finish();
    ContentHash::Value hash;
    QVERIFY(HashCache(*store).lookup(path, now, &hash) && hash == hashOf("kept"));
}

// A folder holding far more records than a request has files is not read whole: its files are
// looked up one by one, and what they need is still found.
void TestRecords::fewFilesReadFewRecords()
{
    HashCache cache(*store);
    const qint64 many = HashCache::rowBudget(1) + 1;
    for (qint64 i = 0; i < many; ++i)
        cache.store(filePath("big/%1").arg(i), FileIdentity(1, i, i, 1, 1), {quint64(i), 1});
    cache.save();
    const QString wanted = filePath("big/7");
    QVERIFY(!cache.recordsUnder(filePath("big"), 1));
    QVERIFY(cache.recordsOf({wanted}, {"big/7"}).size() <= HashCache::rowBudget(1));
    const auto found = cache.lookupMany({wanted}, {"big/7"}, {FileIdentity(1, 7, 7, 1, 1)});
    QVERIFY(found.at(0) && *found.at(0) == ContentHash::Value({7, 1}));
    QCOMPARE(cache.recordsUnder(filePath("big"), many)->size(), many);
}

void TestRecords::partialsAreFoundBySenderAndVersion_data()
{
    QTest::addColumn<QString>("asked"); // "sender size version hash", the entry's hash or "-"
    QTest::addColumn<bool>("found");
    QTest::newRow("same version") << "sender-a 150 5 -" << true;
    QTest::newRow("other version, same hash") << "sender-a 150 6 whole" << true;
    QTest::newRow("other version, hash not known") << "sender-a 150 6 -" << false;
    QTest::newRow("other sender") << "sender-b 150 5 whole" << false;
    QTest::newRow("other size") << "sender-a 151 5 whole" << false;
}

void TestRecords::partialsAreFoundBySenderAndVersion()
{
    QFETCH(QString, asked);
    QFETCH(bool, found);
    const QStringList fields = asked.split(' ');
    PartialRegistry registry(store.get());
    QVERIFY(registry.add(partialEntry(filePath("big.bin"), 50)));
    std::optional<ContentHash::Value> hash;
    if (fields.at(3) != "-")
        hash = hashOf(fields.at(3).toUtf8());
    QCOMPARE(bool(registry.find(fields.at(0), "big.bin", fields.at(1).toLongLong(),
                                fields.at(2).toULongLong(), hash)),
             found);
}

// What a week or the total leaves, cut back to the offset whose hash state was saved.
void TestRecords::cleanKeepsWhatCanBeContinued_data()
{
    // "name length days saved", newest first; a length written as "~N" is a hole of N bytes.
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<QStringList>("left"); // "name length"
    QTest::newRow("older than a week")
        << QStringList{"recent 10 1 10", "old 10 8 10"} << QStringList{"recent 10"};
    QTest::newRow("beyond the total") << QStringList{"recent 4096 1 4096", "newer 8192 2 8192",
                                                     "older 8192 3 8192", "small 4096 4 4096"}
                                      << QStringList{"newer 8192", "recent 4096"};
    QTest::newRow("holes take no room")
        << QStringList{"recent 4096 1 4096", "sparse ~1000000 2 4096"}
        << QStringList{"recent 4096", "sparse 4096"};
    QTest::newRow("written past its saved offset")
        << QStringList{"cut 30 1 20"} << QStringList{"cut 20"};
    QTest::newRow("shorter than its saved offset") << QStringList{"short 10 1 20"} << QStringList();
    QTest::newRow("nothing saved yet") << QStringList{"fresh 10 1 0"} << QStringList();
    QTest::newRow("file gone") << QStringList{"gone -1 1 10"} << QStringList();
}

void TestRecords::cleanKeepsWhatCanBeContinued()
{
    QFETCH(QStringList, kept);
    QFETCH(QStringList, left);
    const qint64 day = 24 * 60 * 60 * 1000;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    PartialRegistry registry(store.get());
    for (const QString &line : kept) {
        const QStringList fields = line.split(' ');
        PartialRegistry::Entry entry =
            partialEntry(filePath(fields.at(0)), fields.at(3).toLongLong());
        entry.time = now - fields.at(2).toInt() * day + 1000;
        QFile partial(PartialRegistry::partialPathOf(entry.finalPath));
        const bool hole = fields.at(1).startsWith('~');
        const qint64 length = fields.at(1).mid(hole ? 1 : 0).toLongLong();
        if (length >= 0)
            QVERIFY(partial.open(QIODevice::WriteOnly) &&
                    (hole ? partial.resize(length)
                          : partial.write(QByteArray(int(length), 'x')) == length));
        QVERIFY(registry.add(entry));
    }
    registry.clean(now, 20000);
    QStringList found;
    for (const PartialRegistry::Entry &entry : registry.entries())
        found << entry.item + ' ' + QString::number(entry.kept);
    found.sort();
    QCOMPARE(found, left);
    QStringList files;
    const QDir::Filters hidden = QDir::Hidden | QDir::Files;
    for (const QFileInfo &file : QDir(dir->path()).entryInfoList({"*.nubo-partial"}, hidden))
        files << file.fileName().section('.', 1, -2) + ' ' + QString::number(file.size());
    QCOMPARE(files, left);
}

void TestRecords::hashStateContinues_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("taken");
    QTest::newRow("as saved") << "none" << true;
    QTest::newRow("of another size") << "size" << false;
    QTest::newRow("of another library version") << "version" << false;
}

void TestRecords::hashStateContinues()
{
    QFETCH(QString, change);
    QFETCH(bool, taken);
    const QByteArray data = QByteArray("a file's contents, hashed in two goes").repeated(100);
    ContentHash first;
    first.add(data.constData(), 1000);
    QByteArray saved = first.saveState();
    if (change == "size")
        saved.chop(1);
    else if (change == "version")
        saved[0] = char(saved.at(0) ^ 1);
    ContentHash resumed;
    QCOMPARE(resumed.restoreState(saved), taken);
    QCOMPARE(resumed.bytes(), taken ? qint64(1000) : qint64(0));
    // The rest is read from where the state stands; a refused state leaves the whole to read.
    QVERIFY(write(filePath("file"), data) && FileHash::feed(&resumed, filePath("file")));
    QCOMPARE(resumed.value(), hashOf(data));
}

// Each thread has a connection of its own, gone when the thread ends.
void TestRecords::threadsShareTheStore()
{
    const int perThread = 50;
    std::atomic<int> found{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t, &found] {
            HashCache cache(*store);
            ContentHash::Value hash{quint64(t), 1};
            for (int i = t * perThread; i < (t + 1) * perThread; ++i) {
                cache.store(QString::number(i), FileIdentity(i, i, i, i, 1), hash);
                found += cache.lookup(QString::number(i), FileIdentity(i, i, i, i, 1), &hash);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QCOMPARE(found.load(), 4 * perThread);
    QCOMPARE(QSqlDatabase::connectionNames().size(), 1);
}

void TestRecords::knownDevicesKeepTheLastSeen_data()
{
    // "<letter> <name> <time>" remembers, "-<letter> <1 when it was known>" forgets; "x" is no hex.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("expected"); // all(): fingerprint, name, address, first, last seen
    // Who else claims the name "pc" or the address 10.0.0.30, as device "f" would.
    QTest::addColumn<QString>("claim");
    QTest::newRow("renamed") << QStringList{"a al 10", "a ali 20"} << "a ali 10.0.0.20 10 20"
                             << "";
    QTest::newRow("newest first")
        << QStringList{"a pc 10", "b bob 30", "c pc 20"}
        << "b bob 10.0.0.30 30 30,c pc 10.0.0.20 20 20,a pc 10.0.0.10 10 10"
        << "c";
    QTest::newRow("forgot") << QStringList{"a pc 1", "b b 2", "-a 1", "-a 0"} << "b b 10.0.0.2 2 2"
                            << "";
    QTest::newRow("no name") << QStringList{"b  30"} << "b  10.0.0.30 30 30"
                             << "b";
    QTest::newRow("not a fingerprint") << QStringList{"x pc 10"} << ""
                                       << "";
}

void TestRecords::knownDevicesKeepTheLastSeen()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, expected);
    QFETCH(QString, claim);
    const auto fingerprint = [](QString f) { return Fingerprint::fromHex(QString(64, f.back())); };
    for (const QString &step : steps) {
        const QStringList f = step.split(' ');
        KnownDevices devices(store.get());
        if (step.startsWith('-'))
            QCOMPARE(devices.forget(fingerprint(f.at(0))), f.at(1) == "1");
        else
            QCOMPARE(devices.remember(fingerprint(f.at(0)), f.at(1), "10.0.0." + f.at(2),
                                      f.at(2).toLongLong()),
                     f.at(0) != "x");
    }
    reopen();
    const KnownDevices devices(store.get());
    QStringList shown;
    for (const KnownDevices::Device &d : devices.all())
        shown << QStringLiteral("%1 %2 %3 %4 %5")
                     .arg(d.fingerprint.hex().left(1), d.name, d.address)
                     .arg(d.firstSeen)
                     .arg(d.lastSeen);
    QCOMPARE(shown.join(','), expected);
    QCOMPARE(devices.findByName("pc").size(), expected.count(" pc "));
    QVERIFY(devices.find(fingerprint("b")).has_value() == expected.startsWith("b"));
    const auto other = devices.otherClaim(fingerprint("f"), "pc", "10.0.0.30");
    QCOMPARE(other ? other->fingerprint.hex().left(1) : QString(), claim);
}

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
