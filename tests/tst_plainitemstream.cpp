#include "receive/plainitemstream.h"
#include "send/sendpacker.h"
#include "send/streamsender.h"
#include "tempworkdir.h"

#include <QtTest>

#include <climits>
#include <memory>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

struct Result
{
    QList<StoredEntry> entries;
    bool complete = false;
};

QString statusName(StoredEntry::Status status)
{
    static const char *const names[] = {"Stored",   "Refused", "WriteFailed", "UnknownType",
                                        "Invalid",  "Excess",  "Incomplete",  "Resumed",
                                        "Mismatch", "Changed"};
    return QString::fromLatin1(names[status]);
}

// "name Status", and what the name-clash rule did: " replaced", " skipped", " as NEWPATH".
QStringList describe(const Result &result, const QString &save = QString())
{
    QStringList lines;
    for (const StoredEntry &entry : result.entries) {
        QString line = entry.name + QLatin1Char(' ') + statusName(entry.status);
        if (entry.clash == StoredEntry::Replaced)
            line += QStringLiteral(" replaced");
        else if (entry.clash == StoredEntry::Skipped)
            line += QStringLiteral(" skipped");
        else if (entry.clash == StoredEntry::Renamed)
            line += QStringLiteral(" as ") + QDir(save).relativeFilePath(entry.storedPath);
        lines << line;
    }
    return lines;
}

// Everything below `dir`, sorted: "sub/" for a folder, "link@" for a link (never followed),
// "path=content" for a file.
QStringList tree(const QString &dir)
{
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(dir);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = base.relativeFilePath(path);
        if (info.isSymLink()) {
            entries << relative + QLatin1Char('@');
        } else if (info.isDir()) {
            entries << relative + QLatin1Char('/');
        } else {
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            entries << relative + QLatin1Char('=') + QString::fromUtf8(file.readAll());
        }
    }
    entries.sort();
    return entries;
}

} // namespace

class TestPlainItemStream : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void example();
    void stored_data();
    void stored();
    void safety_data();
    void safety();
    void framing_data();
    void framing();
    void writeFailed_data();
    void writeFailed();
    void everyPrefix();
    void pieceSizeDoesNotMatter_data();
    void pieceSizeDoesNotMatter();
    void costlyInputs();
    void nameClash_data();
    void nameClash();
    void modes_data();
    void modes();
    void roundTrip_data();
    void roundTrip();
    void largeFile();

private:
    static void addColumns();
    static void addRow(const char *tag, const QByteArray &stream, const QStringList &prepared,
                       const QStringList &entries, bool complete, const QStringList &saved,
                       int limit = -1, qint64 dataLimit = -1);
    void runCase();
    // Feeds `bytes` in pieces of `piece` bytes, taking the entries after every piece.
    Result unpack(const QByteArray &bytes, int piece = INT_MAX, int limit = -1,
                  qint64 dataLimit = -1);
    void make(const QString &path, const QByteArray &content);

    TempWorkDir workDir;
    std::unique_ptr<QTemporaryDir> root;
    QString save;
    QString outside;
    SettingsKeys::NameClash rule = SettingsKeys::NameClash::Overwrite;
};

void TestPlainItemStream::init()
{
    rule = SettingsKeys::NameClash::Overwrite;
    // A fresh save folder per case, beside a folder that must never be touched.
    root.reset(new QTemporaryDir(workDir.filePath(QStringLiteral("case-XXXXXX"))));
    QVERIFY(root->isValid());
    save = root->filePath(QStringLiteral("save"));
    outside = root->filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(save));
    QVERIFY(QDir().mkpath(outside));
    make(outside + QStringLiteral("/target.txt"), "secret");
}

void TestPlainItemStream::make(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(content), qint64(content.size()));
}

Result TestPlainItemStream::unpack(const QByteArray &bytes, int piece, int limit, qint64 dataLimit)
{
    PlainItemStream unpacker(SaveFolder(save, rule, {save + QStringLiteral("/config.ini")}));
    unpacker.setRecordLimit(limit);
    unpacker.setDataLimit(dataLimit);
    Result result;
    for (int at = 0; at < bytes.size(); at += piece) {
        const bool going = unpacker.feed(bytes.constData() + at, qMin(piece, bytes.size() - at));
        result.entries += unpacker.takeEntries();
        if (!going)
            break;
    }
    unpacker.finish();
    result.entries += unpacker.takeEntries();
    result.complete = unpacker.complete();
    return result;
}

void TestPlainItemStream::example()
{
    PlainItemStream unpacker(SaveFolder(save, rule, {}));
    QVERIFY(unpacker.feed("docs\r\nfolder\r\ndocs/a.txt\r\nfile\r\n5\r\nhel"));
    QCOMPARE(unpacker.takeEntries().size(), 1);
    QVERIFY(unpacker.feed("loFile end\r\nOVER\r\n"));
    unpacker.finish();
    QVERIFY(unpacker.atEnd());
    QVERIFY(unpacker.complete());
    QCOMPARE(unpacker.dataBytes(), qint64(5));
    const QList<StoredEntry> entries = unpacker.takeEntries();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.at(0).name, QStringLiteral("docs/a.txt"));
    QCOMPARE(entries.at(0).storedPath, QDir(save).absoluteFilePath(QStringLiteral("docs/a.txt")));
    QVERIFY(QFileInfo(entries.at(0).storedPath).isAbsolute());
    QCOMPARE(tree(save), QStringList({"docs/", "docs/a.txt=hello"}));
}

void TestPlainItemStream::addColumns()
{
    QTest::addColumn<QByteArray>("stream");    // "%OUT%" stands for the outside folder's path
    QTest::addColumn<QStringList>("prepared"); // made first: "dir/", "file=content",
                                               // "link>target", "hardlink>>target"
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QStringList>("saved"); // the save folder afterwards
    QTest::addColumn<int>("limit");         // records
    QTest::addColumn<qint64>("dataLimit");  // bytes of file contents
}

void TestPlainItemStream::addRow(const char *tag, const QByteArray &stream,
                                 const QStringList &prepared, const QStringList &entries,
                                 bool complete, const QStringList &saved, int limit,
                                 qint64 dataLimit)
{
    QTest::newRow(tag) << stream << prepared << entries << complete << saved << limit << dataLimit;
}

void TestPlainItemStream::runCase()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, prepared);
    QFETCH(QStringList, entries);
    QFETCH(bool, complete);
    QFETCH(QStringList, saved);
    QFETCH(int, limit);
    QFETCH(qint64, dataLimit);

    for (const QString &item : prepared) {
        const QString name = save + QLatin1Char('/') + item.section(QLatin1Char('>'), 0, 0);
        const QString target = root->filePath(item.section(QLatin1Char('>'), -1));
        if (item.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir(save).mkpath(item));
        } else if (item.contains(QLatin1String(">>"))) {
#ifdef Q_OS_UNIX
            QCOMPARE(
                ::link(QFile::encodeName(target).constData(), QFile::encodeName(name).constData()),
                0);
#else
            QSKIP("hard links are made with POSIX link()");
#endif
        } else if (item.contains(QLatin1Char('>'))) {
            QVERIFY(QFile::link(target, name));
        } else {
            make(save + QLatin1Char('/') + item.section(QLatin1Char('='), 0, 0),
                 item.section(QLatin1Char('='), 1).toUtf8());
        }
    }
    stream.replace("%OUT%", outside.toUtf8());
    entries.replaceInStrings(QStringLiteral("%OUT%"), outside);

    const Result result = unpack(stream, INT_MAX, limit, dataLimit);
    QCOMPARE(describe(result, save), entries);
    QCOMPARE(result.complete, complete);
    QCOMPARE(tree(save), saved);
    for (const StoredEntry &entry : result.entries) {
        QCOMPARE(entry.storedPath.isEmpty(), entry.status != StoredEntry::Stored);
        if (entry.status == StoredEntry::Stored)
            QVERIFY(QFileInfo::exists(entry.storedPath));
    }
    // Nothing lands beside the save folder or in the folder outside it.
    QCOMPARE(tree(outside), QStringList({"target.txt=secret"}));
    QCOMPARE(QDir(root->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList({"outside", "save"}));
}

void TestPlainItemStream::stored_data()
{
    addColumns();
    addRow("folder and nested file",
           "d\r\nfolder\r\nd/e\r\nfolder\r\nd/e/f.bin\r\nfile\r\n4\r\n\r\n\r\nFile end\r\nOVER\r\n",
           {}, {"d Stored", "d/e Stored", "d/e/f.bin Stored"}, true,
           {"d/", "d/e/", "d/e/f.bin=\r\n\r\n"});
    addRow("existing items replaced or reused",
           "d\r\nfolder\r\nd/f\r\nfile\r\n3\r\nnewFile end\r\ne\r\nfile\r\n0\r\nFile end\r\n"
           "OVER\r\n",
           {"d/", "d/old=kept", "d/f=much longer old content", "e=old"},
           {"d Stored replaced", "d/f Stored", "e Stored replaced"}, true,
           {"d/", "d/f=new", "d/old=kept", "e="});
    addRow("link that stays inside", "in/x\r\nfile\r\n1\r\nXFile end\r\nOVER\r\n",
           {"real/", "in>save/real"}, {"in/x Stored replaced"}, true, {"in@", "real/", "real/x=X"});
}

void TestPlainItemStream::stored()
{
    runCase();
}

void TestPlainItemStream::safety_data()
{
    addColumns();
    // Each refused record ends the unpacking: the record after it is never stored.
    const QByteArray ok("ok\r\nfile\r\n2\r\nokFile end\r\nOVER\r\n");
    const auto file = [&](const char *name) {
        return QByteArray(name) + "\r\nfile\r\n6\r\nevil!!File end\r\n" + ok;
    };
    const auto refused = [](const char *name) {
        return QStringList({QString::fromUtf8(name) + " Refused"});
    };

    addRow("parent component", file("../evil"), {}, refused("../evil"), false, {});
    addRow("parent component deeper", file("a/../../outside/evil"), {"a/"},
           refused("a/../../outside/evil"), false, {"a/"});
    addRow("absolute path", file("%OUT%/evil"), {}, refused("%OUT%/evil"), false, {});
    addRow("leading backslash", file("\\evil"), {}, refused("\\evil"), false, {});
    addRow("drive letter", file("C:evil"), {}, refused("C:evil"), false, {});
    addRow("blank name", file("  "), {}, refused(""), false, {});
    addRow("link to a folder outside", file("link/evil"), {"link>outside"}, refused("link/evil"),
           false, {"link@"});
    addRow("folder record through a link", "link/d\r\nfolder\r\n" + ok, {"link>outside"},
           refused("link/d"), false, {"link@"});
    addRow("link to a file outside", file("lf"), {"lf>outside/target.txt"}, refused("lf"), false,
           {"lf@"});
    addRow("dangling link", file("dl"), {"dl>outside/new.txt"}, refused("dl"), false, {"dl@"});
    addRow("link deeper in the path", file("a/link/b/evil"), {"a/", "a/link>outside"},
           refused("a/link/b/evil"), false, {"a/", "a/link@"});
    // The file is replaced, not written into, so the outside name for it keeps its bytes.
    addRow("hard link to a file outside", file("hl"), {"hl>>outside/target.txt"},
           {"hl Stored replaced", "ok Stored"}, true, {"hl=evil!!", "ok=ok"});
}

void TestPlainItemStream::safety()
{
    runCase();
}

void TestPlainItemStream::framing_data()
{
    addColumns();
    const QByteArray next("b\r\nfolder\r\nOVER\r\n");
    addRow("size smaller than its data", "a\r\nfile\r\n1\r\nhiFile end\r\n" + next, {},
           {"a Invalid"}, false, {});
    addRow("size line not a number", "a\r\nfile\r\nabc\r\nhiFile end\r\n" + next, {}, {"a Invalid"},
           false, {});
    addRow("size line above 4294967295", "a\r\nfile\r\n4294967296\r\nhi", {}, {"a Invalid"}, false,
           {});
    addRow("size line of 4294967295 is framed", "a\r\nfile\r\n4294967295\r\nhi", {},
           {"a Incomplete"}, false, {});
    addRow("unknown type line", "a\r\nblob\r\n" + next, {}, {"a UnknownType"}, false, {});
    // Named by its start, never after the record before it.
    addRow("overlong name line without line end",
           "a\r\nfolder\r\n" + QByteArray(2 * 1024 * 1024, 'n'), {},
           {"a Stored", QString(64, 'n') + QString::fromUtf8("… Invalid")}, false, {"a/"});
    addRow("bytes after the end marker", "a\r\nfolder\r\nOVER\r\n" + next, {},
           {"a Stored", "OVER Invalid"}, false, {"a/"});
    addRow("end marker as the first line", "OVER\r\n", {}, {" Incomplete"}, false, {});
    addRow("end marker without its line end", "a\r\nfolder\r\nOVER", {},
           {"a Stored", " Incomplete"}, false, {"a/"});
    addRow("cut file keeps the existing one", "a.txt\r\nfile\r\n10\r\nhello", {"a.txt=previous"},
           {"a.txt Incomplete"}, false, {"a.txt=previous"});
    addRow("more records than announced", "a\r\nfolder\r\nb\r\nfolder\r\nc\r\nfolder\r\nOVER\r\n",
           {}, {"a Stored", "b Stored", "c Excess"}, false, {"a/", "b/"}, 2);
    const QByteArray twoFiles("a\r\nfile\r\n3\r\nabcFile end\r\nb\r\nfile\r\n3\r\nxyzFile end\r\n"
                              "OVER\r\n");
    addRow("more file bytes than announced", twoFiles, {}, {"a Stored", "b Excess"}, false,
           {"a=abc"}, -1, 5);
    addRow("as many records and bytes as announced", twoFiles, {}, {"a Stored", "b Stored"}, true,
           {"a=abc", "b=xyz"}, 2, 6);
    addRow("named like the program's own file", "config.ini\r\nfile\r\n1\r\nxFile end\r\nOVER\r\n",
           {"config.ini=mine"}, {"config.ini Refused"}, false, {"config.ini=mine"});
    addRow("named like a temporary file", ".nubo-0.part\r\nfile\r\n1\r\nxFile end\r\nOVER\r\n", {},
           {".nubo-0.part Stored"}, true, {".nubo-0.part=x"});
    addRow("named like a partial file, then its file",
           ".pv.nubo-partial\r\nfile\r\n1\r\nxFile end\r\npv\r\nfile\r\n1\r\nyFile end\r\nOVER\r\n",
           {}, {".pv.nubo-partial Refused"}, false, {});
}

void TestPlainItemStream::framing()
{
    runCase();
}

void TestPlainItemStream::writeFailed_data()
{
    addColumns();
    const QByteArray next("c\r\nfolder\r\nOVER\r\n");
    addRow("parent is a file",
           "a\r\nfile\r\n1\r\nxFile end\r\na/b\r\nfile\r\n2\r\nhiFile end\r\n" + next, {},
           {"a Stored", "a/b WriteFailed"}, false, {"a=x"});
    addRow("parent folder record missing", "x/y.txt\r\nfile\r\n2\r\nhiFile end\r\n" + next, {},
           {"x/y.txt WriteFailed"}, false, {});
    addRow("folder where a file is", "a\r\nfolder\r\n" + next, {"a=file"}, {"a WriteFailed"}, false,
           {"a=file"});
    addRow("file where a folder is", "d\r\nfile\r\n3\r\nabcFile end\r\n" + next, {"d/"},
           {"d WriteFailed"}, false, {"d/"});
}

void TestPlainItemStream::writeFailed()
{
    runCase();
}

void TestPlainItemStream::everyPrefix()
{
    const QByteArray full("docs\r\nfolder\r\ndocs/a.txt\r\nfile\r\n5\r\nhelloFile end\r\n"
                          "docs/sub\r\nfolder\r\ndocs/sub/b\r\nfile\r\n16\r\nline\r\nFile end\r\n"
                          "File end\r\ne\r\nfile\r\n0\r\nFile end\r\nOVER\r\n");
    const QMap<QString, QString> whole{
        {"docs/a.txt", "hello"}, {"docs/sub/b", "line\r\nFile end\r\n"}, {"e", ""}};
    for (int length = 0; length <= full.size(); ++length) {
        init();
        const Result result = unpack(full.left(length));
        const QByteArray where = "prefix of " + QByteArray::number(length) + " bytes";
        QVERIFY2(result.complete == (length == full.size()), where);
        // A cut is reported once, as the last entry; everything before it was stored.
        for (int i = 0; i < result.entries.size(); ++i) {
            const StoredEntry &entry = result.entries.at(i);
            const bool last = i == result.entries.size() - 1;
            if (entry.status == StoredEntry::Stored)
                continue;
            QVERIFY2(last && !result.complete, where);
            QVERIFY2(entry.status == StoredEntry::Incomplete, where);
            QVERIFY2(entry.name.isEmpty() ||
                         !QFileInfo::exists(save + QLatin1Char('/') + entry.name),
                     where);
        }
        // Whatever is in the save folder is a whole item of the stream, and nothing else.
        for (const QString &item : tree(save)) {
            if (item.endsWith(QLatin1Char('/'))) {
                QVERIFY2(item == QLatin1String("docs/") || item == QLatin1String("docs/sub/"),
                         qPrintable(item + where));
            } else {
                const QString name = item.section(QLatin1Char('='), 0, 0);
                QVERIFY2(whole.contains(name), qPrintable(item + where));
                QCOMPARE(item.section(QLatin1Char('='), 1), whole.value(name));
            }
        }
        QCOMPARE(tree(outside), QStringList({"target.txt=secret"}));
        QCOMPARE(QDir(root->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList({"outside", "save"}));
    }
}

void TestPlainItemStream::pieceSizeDoesNotMatter_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::newRow("whole stream") << QByteArray(
        "d\r\nfolder\r\nd/a\r\nfile\r\n12\r\nx\r\nFile end\r\nFile end\r\n"
        "d/e\r\nfile\r\n0\r\nFile end\r\n \t d/b \r\nfile\r\n 3 \r\nyyy File end\r\n"
        "OVER\r\n");
    QTest::newRow("framing error midway")
        << QByteArray("d\r\nfolder\r\nd/a\r\nfile\r\n3\r\nxxxxFile end\r\nOVER\r\n");
    QTest::newRow("overlong line") << QByteArray("d\r\nfolder\r\n") + QByteArray(40000, 'n');
}

void TestPlainItemStream::pieceSizeDoesNotMatter()
{
    QFETCH(QByteArray, stream);
    const Result whole = unpack(stream);
    const QStringList wholeTree = tree(save);
    init();
    const Result bytewise = unpack(stream, 1);
    QCOMPARE(describe(bytewise), describe(whole));
    QCOMPARE(bytewise.complete, whole.complete);
    QCOMPARE(tree(save), wholeTree);
}

void TestPlainItemStream::costlyInputs()
{
    // 1,000 nested folders: each record's checks must not walk the whole path again.
    QByteArray nested;
    QByteArray name("d");
    for (int i = 0; i < 1000; ++i) {
        nested += name + "\r\nfolder\r\n";
        name += "/d";
    }
    nested += name + "\r\nfile\r\n4\r\ndeepFile end\r\nOVER\r\n";
    const Result deep = unpack(nested);
    QVERIFY(deep.complete);
    QCOMPARE(deep.entries.size(), 1001);
    QCOMPARE(deep.entries.last().status, StoredEntry::Stored);
    QFile file(deep.entries.last().storedPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("deep"));

    // A line without an end is not collected beyond the longest line a stream may hold.
    PlainItemStream unpacker(SaveFolder(save, rule, {}));
    const QByteArray piece(1024, 'n');
    int taken = 0;
    for (; taken < 2048 && unpacker.feed(piece); ++taken) {
    }
    QCOMPARE(taken, StreamReader::maxLineLength / piece.size());
    QVERIFY(unpacker.failed());
    QCOMPARE(unpacker.takeEntries().size(), 1);
}

void TestPlainItemStream::nameClash_data()
{
    addColumns();
    QTest::addColumn<int>("rule");
    const auto file = [](const char *name, const char *data) {
        return QByteArray(name) + "\r\nfile\r\n" + QByteArray::number(qstrlen(data)) + "\r\n" +
               data + "File end\r\n";
    };
    const QByteArray tree = "d\r\nfolder\r\n" + file("d/x", "new") + "d/s\r\nfolder\r\n" +
                            file("d/s/y", "new") + file("e", "e") + "OVER\r\n";
    const QByteArray two = file("a.txt", "new") + file(".cfg", "new") + "OVER\r\n";
    const QByteArray link = "out\r\nfolder\r\n" + file("out/evil", "evil") + "OVER\r\n";
    const QStringList taken{".cfg=old", "a (1).txt=older", "a.txt=old"};
    const int overwrite = int(SettingsKeys::NameClash::Overwrite);
    const int keepBoth = int(SettingsKeys::NameClash::KeepBoth);
    const int skip = int(SettingsKeys::NameClash::Skip);

    QTest::newRow("overwrite replaces")
        << two << taken << QStringList{"a.txt Stored replaced", ".cfg Stored replaced"} << true
        << QStringList{".cfg=new", "a (1).txt=older", "a.txt=new"} << -1 << qint64(-1) << overwrite;
    QTest::newRow("keep both counts up")
        << two << taken << QStringList{"a.txt Stored as a (2).txt", ".cfg Stored as .cfg (1)"}
        << true
        << QStringList{".cfg (1)=new", ".cfg=old", "a (1).txt=older", "a (2).txt=new", "a.txt=old"}
        << -1 << qint64(-1) << keepBoth;
    QTest::newRow("keep both, the folder's records follow it")
        << tree << QStringList{"d/", "d/x=old"}
        << QStringList{"d Stored as d (1)", "d/x Stored", "d/s Stored", "d/s/y Stored", "e Stored"}
        << true
        << QStringList{"d (1)/", "d (1)/s/", "d (1)/s/y=new", "d (1)/x=new", "d/", "d/x=old", "e=e"}
        << -1 << qint64(-1) << keepBoth;
    QTest::newRow("keep both beside a link")
        << link << QStringList{"out>outside"}
        << QStringList{"out Stored as out (1)", "out/evil Stored"} << true
        << QStringList{"out (1)/", "out (1)/evil=evil", "out@"} << -1 << qint64(-1) << keepBoth;
    QTest::newRow("skip keeps a folder, drops its records, reads on")
        << tree << QStringList{"d/", "d/x=old"} << QStringList{"d Stored skipped", "e Stored"}
        << true << QStringList{"d/", "d/x=old", "e=e"} << -1 << qint64(-1) << skip;
    // A skipped item is read all the same: it cannot carry more than the user accepted.
    QTest::newRow("skip counts against the announced size")
        << two << taken << QStringList{"a.txt Excess"} << false << taken << -1 << qint64(2) << skip;
}

void TestPlainItemStream::nameClash()
{
    QFETCH(int, rule);
    this->rule = SettingsKeys::NameClash(rule);
    runCase();
}

// Received items get the mode any program gets from the umask, not a temporary file's 0600.
void TestPlainItemStream::modes_data()
{
    QTest::addColumn<int>("mask");
    QTest::newRow("usual") << 022;
    QTest::newRow("private") << 077;
}

void TestPlainItemStream::modes()
{
#ifdef Q_OS_UNIX
    QFETCH(int, mask);
    const mode_t previous = ::umask(mode_t(mask));
    QVERIFY(unpack("d\r\nfolder\r\nd/f\r\nfile\r\n1\r\nxFile end\r\nOVER\r\n").complete);
    ::umask(previous);
    struct stat folder, file;
    QCOMPARE(::stat(QFile::encodeName(save + QStringLiteral("/d")).constData(), &folder), 0);
    QCOMPARE(::stat(QFile::encodeName(save + QStringLiteral("/d/f")).constData(), &file), 0);
    QCOMPARE(int(folder.st_mode & 0777), 0777 & ~mask);
    QCOMPARE(int(file.st_mode & 0777), 0666 & ~mask);
#endif
}

void TestPlainItemStream::roundTrip_data()
{
    // The tree to send, in stream order: "folder/" or "file=content".
    QTest::addColumn<QStringList>("items");

    QTest::newRow("nested folders")
        << QStringList({"top/", "top/a/", "top/a/b/", "top/a/b/c=deep", "top/x=1", "top/a/y=2"});
    QTest::newRow("empty file and folder") << QStringList({"e=", "empty/"});
    QTest::newRow("markers in the data")
        << QStringList({"m=x\r\nFile end\r\nOVER\r\n", "n=OVER", "o=\r\n"});
    QTest::newRow("non-ascii names and spaces") << QStringList(
        {QString::fromUtf8("文件 夹/"), QString::fromUtf8("文件 夹/数据 ü.txt=内容")});
}

void TestPlainItemStream::roundTrip()
{
    QFETCH(QStringList, items);

    const QString source = root->filePath(QStringLiteral("source"));
    QVERIFY(QDir().mkpath(source));
    for (const QString &item : items) {
        if (item.endsWith(QLatin1Char('/')))
            QVERIFY(QDir(source).mkpath(item));
        else
            make(source + QLatin1Char('/') + item.section(QLatin1Char('='), 0, 0),
                 item.section(QLatin1Char('='), 1).toUtf8());
    }
    // Binary data of several pieces, so that piece boundaries are crossed both ways.
    QByteArray binary;
    for (int i = 0; i < 2 * 1024 * 1024 + 777; ++i)
        binary.append(char(i * 7 + i / 251));
    make(source + QStringLiteral("/binary"), binary);

    const QString streamPath = root->filePath(QStringLiteral("stream"));
    {
        QFile out(streamPath);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QStringList dropped;
        const QDir sourceDir(source);
        for (const QString &entry :
             sourceDir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
            dropped << sourceDir.filePath(entry);
        SendPacker packer;
        QVERIFY(packer.collect(dropped));
        StreamSender sender(out.handle());
        QVERIFY(sender.send(packer.items()));
    }
    // Through a file, in pieces as they would arrive.
    QFile in(streamPath);
    QVERIFY(in.open(QIODevice::ReadOnly));
    const Result result = unpack(in.readAll(), 1024 * 1024);
    QVERIFY(result.complete);
    QCOMPARE(result.entries.size(), items.size() + 1);
    for (const StoredEntry &entry : result.entries)
        QCOMPARE(statusName(entry.status), QStringLiteral("Stored"));
    QCOMPARE(tree(save), tree(source));
}

void TestPlainItemStream::largeFile()
{
    // Several GiB of disk traffic: run by hand with NUBO_LARGE_TESTS=1.
    if (qEnvironmentVariableIsEmpty("NUBO_LARGE_TESTS"))
        QSKIP("set NUBO_LARGE_TESTS=1 to unpack a 2.5 GiB file");
    const qint64 size = Q_INT64_C(2684354560) + 5; // 2.5 GiB and a little
    PlainItemStream unpacker(SaveFolder(save, rule, {}));
    QVERIFY(unpacker.feed("big\r\nfile\r\n" + QByteArray::number(size) + "\r\n"));
    const QByteArray zeros(1024 * 1024, '\0');
    for (qint64 left = size - 5; left > 0; left -= zeros.size())
        QVERIFY(unpacker.feed(zeros.constData(), qMin<qint64>(left, zeros.size())));
    QVERIFY(unpacker.feed("tail!File end\r\nOVER\r\n"));
    unpacker.finish();
    QVERIFY(unpacker.complete());
    QCOMPARE(unpacker.dataBytes(), size);
    QFile stored(save + QStringLiteral("/big"));
    QCOMPARE(stored.size(), size);
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QVERIFY(stored.seek(size - 6));
    QCOMPARE(stored.read(6), QByteArray("\0tail!", 6));
}

QTEST_GUILESS_MAIN(TestPlainItemStream)
#include "tst_plainitemstream.moc"
