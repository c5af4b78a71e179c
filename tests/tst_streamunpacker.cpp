#include "protocol/streamwriter.h"
#include "receive/streamunpacker.h"
#include "tempworkdir.h"

#include <QtTest>

#include <memory>

namespace {

QString statusName(StreamItem::Status status)
{
    switch (status) {
    case StreamItem::Stored:
        return QStringLiteral("Stored");
    case StreamItem::Refused:
        return QStringLiteral("Refused");
    case StreamItem::WriteFailed:
        return QStringLiteral("WriteFailed");
    case StreamItem::UnknownType:
        return QStringLiteral("UnknownType");
    case StreamItem::Incomplete:
        return QStringLiteral("Incomplete");
    }
    return QStringLiteral("?");
}

QStringList describe(const StreamUnpacker::Result &result)
{
    QStringList lines;
    for (const StreamUnpacker::Entry &entry : result.entries)
        lines << entry.name + QLatin1Char(' ') + statusName(entry.status);
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

class TestStreamUnpacker : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void example();
    void itemFields();
    void stored_data();
    void stored();
    void refused_data();
    void refused();
    void truncated_data();
    void truncated();
    void writeFailed_data();
    void writeFailed();
    void everyPrefix();
    void cutFileKeepsExistingOne();
    void unpackTwice();
    void roundTrip_data();
    void roundTrip();
    void manyRecords();
    void largeFile();

private:
    void addColumns();
    void runCase();
    StreamUnpacker::Result unpackBytes(const QByteArray &bytes);
    void make(const QString &path, const QByteArray &content);

    TempWorkDir workDir;
    std::unique_ptr<QTemporaryDir> root;
    QString save;
    QString outside;
};

void TestStreamUnpacker::init()
{
    // A fresh save folder per case, beside a folder that must never be touched.
    root.reset(new QTemporaryDir(workDir.filePath(QStringLiteral("case-XXXXXX"))));
    QVERIFY(root->isValid());
    save = root->filePath(QStringLiteral("save"));
    outside = root->filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(save));
    QVERIFY(QDir().mkpath(outside));
    make(outside + QStringLiteral("/target.txt"), "secret");
}

void TestStreamUnpacker::make(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(content), qint64(content.size()));
}

StreamUnpacker::Result TestStreamUnpacker::unpackBytes(const QByteArray &bytes)
{
    // Through a file, as the receive view does it.
    const QString path = root->filePath(QStringLiteral("stream"));
    make(path, bytes);
    QFile stream(path);
    stream.open(QIODevice::ReadOnly);
    const StreamUnpacker::Result result = StreamUnpacker::unpack(save, &stream);
    stream.close();
    QFile::remove(path);
    return result;
}

void TestStreamUnpacker::example()
{
    const StreamUnpacker::Result result =
        unpackBytes("docs\r\nfolder\r\ndocs/a.txt\r\nfile\r\n5\r\nhelloFile end\r\nOVER\r\n");
    QVERIFY(result.complete);
    QCOMPARE(describe(result), QStringList({"docs Stored", "docs/a.txt Stored"}));
    QCOMPARE(result.entries.at(0).storedPath, QDir(save).absoluteFilePath(QStringLiteral("docs")));
    QCOMPARE(result.entries.at(1).storedPath,
             QDir(save).absoluteFilePath(QStringLiteral("docs/a.txt")));
    QVERIFY(QFileInfo(result.entries.at(1).storedPath).isAbsolute());
    QCOMPARE(tree(save), QStringList({"docs/", "docs/a.txt=hello"}));
}

void TestStreamUnpacker::itemFields()
{
    QBuffer stream;
    stream.setData(" a.txt \r\nfile\r\n3\r\nxyzFile end\r\n\tOVER \r\n");
    stream.open(QIODevice::ReadOnly);
    const StreamItem item(save, &stream);
    QCOMPARE(item.name, QStringLiteral("a.txt"));
    QCOMPARE(item.type, QStringLiteral("file"));
    QCOMPARE(item.size, qint64(3));
    QCOMPARE(item.dataRange, QList<qint64>({18, 21}));
    QCOMPARE(item.recordEnd, qint64(31));
    QCOMPARE(stream.pos(), item.recordEnd);
    QVERIFY(item.over);
    QVERIFY(!item.truncated);
    QCOMPARE(item.saveDir, save);
    QCOMPARE(item.status, StreamItem::Stored);
    QCOMPARE(tree(save), QStringList({"a.txt=xyz"}));
}

void TestStreamUnpacker::addColumns()
{
    QTest::addColumn<QByteArray>("stream");    // "%OUT%" stands for the outside folder's path
    QTest::addColumn<QStringList>("prepared"); // made first: "dir/", "file=content", "link>target"
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QStringList>("saved"); // the save folder afterwards
}

void TestStreamUnpacker::runCase()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, prepared);
    QFETCH(QStringList, entries);
    QFETCH(bool, complete);
    QFETCH(QStringList, saved);

    for (const QString &item : prepared) {
        if (item.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir(save).mkpath(item));
        } else if (item.contains(QLatin1Char('>'))) {
            const QString link = save + QLatin1Char('/') + item.section(QLatin1Char('>'), 0, 0);
            const QString target = root->filePath(item.section(QLatin1Char('>'), 1));
            QVERIFY(QFile::link(target, link));
        } else {
            make(save + QLatin1Char('/') + item.section(QLatin1Char('='), 0, 0),
                 item.section(QLatin1Char('='), 1).toUtf8());
        }
    }
    stream.replace("%OUT%", outside.toUtf8());
    entries.replaceInStrings(QStringLiteral("%OUT%"), outside);

    const StreamUnpacker::Result result = unpackBytes(stream);
    QCOMPARE(describe(result), entries);
    QCOMPARE(result.complete, complete);
    QCOMPARE(tree(save), saved);
    for (const StreamUnpacker::Entry &entry : result.entries) {
        QCOMPARE(entry.storedPath.isEmpty(), entry.status != StreamItem::Stored);
        if (entry.status == StreamItem::Stored)
            QVERIFY(QFileInfo::exists(entry.storedPath));
    }
    // Nothing lands beside the save folder or in the folder outside it.
    QCOMPARE(tree(outside), QStringList({"target.txt=secret"}));
    QCOMPARE(QDir(root->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList({"outside", "save"}));
}

void TestStreamUnpacker::stored_data()
{
    addColumns();
    QTest::newRow("folder and nested file")
        << QByteArray("d\r\nfolder\r\nd/e\r\nfolder\r\nd/e/f.bin\r\nfile\r\n4\r\n\r\n\r\nFile "
                      "end\r\nOVER\r\n")
        << QStringList() << QStringList({"d Stored", "d/e Stored", "d/e/f.bin Stored"}) << true
        << QStringList({"d/", "d/e/", "d/e/f.bin=\r\n\r\n"});
    QTest::newRow("empty file empties an existing one")
        << QByteArray("e.txt\r\nfile\r\n0\r\nFile end\r\nOVER\r\n") << QStringList({"e.txt=old"})
        << QStringList({"e.txt Stored"}) << true << QStringList({"e.txt="});
    QTest::newRow("existing folder reused")
        << QByteArray("d\r\nfolder\r\nd/n\r\nfile\r\n1\r\nNFile end\r\nOVER\r\n")
        << QStringList({"d/", "d/old=kept"}) << QStringList({"d Stored", "d/n Stored"}) << true
        << QStringList({"d/", "d/n=N", "d/old=kept"});
    QTest::newRow("link that stays inside")
        << QByteArray("in/x\r\nfile\r\n1\r\nXFile end\r\nOVER\r\n")
        << QStringList({"real/", "in>save/real"}) << QStringList({"in/x Stored"}) << true
        << QStringList({"in@", "real/", "real/x=X"});
    QTest::newRow("wrong trailer is logged and passed")
        << QByteArray("a\r\nfile\r\n2\r\nhiFile nd\r\nb\r\nfolder\r\nOVER\r\n") << QStringList()
        << QStringList({"a Stored", "b Stored"}) << true << QStringList({"a=hi", "b/"});
    QTest::newRow("end marker without line end")
        << QByteArray("a\r\nfolder\r\nOVER") << QStringList() << QStringList({"a Stored"}) << true
        << QStringList({"a/"});
    QTest::newRow("largest size line is framed")
        << QByteArray("a\r\nfile\r\n4294967295\r\nxyz") << QStringList()
        << QStringList({"a Incomplete"}) << false << QStringList();
}

void TestStreamUnpacker::stored()
{
    if (QTest::currentDataTag() == QLatin1String("wrong trailer is logged and passed"))
        QTest::ignoreMessage(QtDebugMsg, "File end错误");
    runCase();
}

void TestStreamUnpacker::refused_data()
{
    addColumns();
    const QByteArray ok("ok\r\nfile\r\n2\r\nokFile end\r\nOVER\r\n");
    const auto file = [](const char *name) {
        return QByteArray(name) + "\r\nfile\r\n6\r\nevil!!File end\r\n";
    };
    const auto refused = [](const char *name) {
        return QStringList({QString::fromUtf8(name) + " Refused", "ok Stored"});
    };

    QTest::newRow("parent component") << file("../evil") + ok << QStringList() << refused("../evil")
                                      << true << QStringList({"ok=ok"});
    QTest::newRow("parent component deeper")
        << file("a/../../outside/evil") + ok << QStringList({"a/"})
        << refused("a/../../outside/evil") << true << QStringList({"a/", "ok=ok"});
    QTest::newRow("parent folder record") << QByteArray("..\r\nfolder\r\n") + ok << QStringList()
                                          << refused("..") << true << QStringList({"ok=ok"});
    QTest::newRow("absolute path")
        << file("%OUT%/evil") + ok << QStringList()
        << QStringList({"%OUT%/evil Refused", "ok Stored"}) << true << QStringList({"ok=ok"});
    QTest::newRow("absolute folder")
        << QByteArray("%OUT%/d\r\nfolder\r\n") + ok << QStringList()
        << QStringList({"%OUT%/d Refused", "ok Stored"}) << true << QStringList({"ok=ok"});
    QTest::newRow("leading backslash") << file("\\evil") + ok << QStringList() << refused("\\evil")
                                       << true << QStringList({"ok=ok"});
    QTest::newRow("drive letter") << file("C:evil") + ok << QStringList() << refused("C:evil")
                                  << true << QStringList({"ok=ok"});
    QTest::newRow("drive letter and slash") << file("c:/evil") + ok << QStringList()
                                            << refused("c:/evil") << true << QStringList({"ok=ok"});
    QTest::newRow("empty name") << file("") + ok << QStringList() << refused("") << true
                                << QStringList({"ok=ok"});
    QTest::newRow("blank name") << file("  ") + ok << QStringList() << refused("") << true
                                << QStringList({"ok=ok"});
    QTest::newRow("link to a folder outside")
        << file("link/evil") + ok << QStringList({"link>outside"}) << refused("link/evil") << true
        << QStringList({"link@", "ok=ok"});
    QTest::newRow("folder record through a link")
        << QByteArray("link/d\r\nfolder\r\n") + ok << QStringList({"link>outside"})
        << refused("link/d") << true << QStringList({"link@", "ok=ok"});
    QTest::newRow("link to a file outside")
        << file("lf") + ok << QStringList({"lf>outside/target.txt"}) << refused("lf") << true
        << QStringList({"lf@", "ok=ok"});
    QTest::newRow("dangling link") << file("dl") + ok << QStringList({"dl>outside/new.txt"})
                                   << refused("dl") << true << QStringList({"dl@", "ok=ok"});
    QTest::newRow("link deeper in the path")
        << file("a/link/b/evil") + ok << QStringList({"a/", "a/link>outside"})
        << refused("a/link/b/evil") << true << QStringList({"a/", "a/link@", "ok=ok"});
    QTest::newRow("refused data that is cut")
        << QByteArray("../evil\r\nfile\r\n100\r\nshort") << QStringList()
        << QStringList({"../evil Refused"}) << false << QStringList();
}

void TestStreamUnpacker::refused()
{
    runCase();
}

void TestStreamUnpacker::truncated_data()
{
    addColumns();
    QTest::newRow("no end marker")
        << QByteArray("d\r\nfolder\r\nd/a\r\nfile\r\n1\r\naFile end\r\n") << QStringList()
        << QStringList({"d Stored", "d/a Stored"}) << false << QStringList({"d/", "d/a=a"});
    QTest::newRow("only the end marker")
        << QByteArray("OVER\r\n") << QStringList() << QStringList({"OVER Incomplete"}) << false
        << QStringList();
    QTest::newRow("empty input") << QByteArray() << QStringList() << QStringList() << false
                                 << QStringList();
    QTest::newRow("blank lines only")
        << QByteArray("\r\n\r\n\r\n") << QStringList()
        << QStringList({" UnknownType", " Incomplete"}) << false << QStringList();
    QTest::newRow("size line not a number")
        << QByteArray("a\r\nfile\r\nabc\r\nxFile end\r\nb\r\nfolder\r\nOVER\r\n") << QStringList()
        << QStringList({"a Incomplete"}) << false << QStringList();
    QTest::newRow("size line above the limit")
        << QByteArray("a\r\nfile\r\n4294967296\r\nx") << QStringList()
        << QStringList({"a Incomplete"}) << false << QStringList();
    QTest::newRow("negative size line")
        << QByteArray("a\r\nfile\r\n-1\r\nFile end\r\nOVER\r\n") << QStringList()
        << QStringList({"a Incomplete"}) << false << QStringList();
    QTest::newRow("empty size line")
        << QByteArray("a\r\nfile\r\n\r\nFile end\r\nOVER\r\n") << QStringList()
        << QStringList({"a Incomplete"}) << false << QStringList();
    QTest::newRow("data cut short") << QByteArray("a.txt\r\nfile\r\n10\r\nhello") << QStringList()
                                    << QStringList({"a.txt Incomplete"}) << false << QStringList();
    QTest::newRow("trailer missing") << QByteArray("a.txt\r\nfile\r\n5\r\nhello") << QStringList()
                                     << QStringList({"a.txt Incomplete"}) << false << QStringList();
    QTest::newRow("trailer cut") << QByteArray("a.txt\r\nfile\r\n5\r\nhelloFile e") << QStringList()
                                 << QStringList({"a.txt Incomplete"}) << false << QStringList();
    QTest::newRow("type line cut") << QByteArray("a\r\nfold") << QStringList()
                                   << QStringList({"a Incomplete"}) << false << QStringList();
    QTest::newRow("record named like the end marker")
        << QByteArray("a\r\nfolder\r\nOVER\r\nfolder\r\nb\r\nfolder\r\nOVER\r\n") << QStringList()
        << QStringList({"a Stored"}) << false << QStringList({"a/"});
}

void TestStreamUnpacker::truncated()
{
    if (QTest::currentDataTag() == QLatin1String("blank lines only"))
        QTest::ignoreMessage(QtDebugMsg, "类型错误");
    runCase();
}

void TestStreamUnpacker::writeFailed_data()
{
    addColumns();
    QTest::newRow("parent is a file")
        << QByteArray("a\r\nfile\r\n1\r\nxFile end\r\na/b\r\nfile\r\n2\r\nhiFile end\r\n"
                      "c\r\nfile\r\n1\r\nzFile end\r\nOVER\r\n")
        << QStringList() << QStringList({"a Stored", "a/b WriteFailed", "c Stored"}) << true
        << QStringList({"a=x", "c=z"});
    QTest::newRow("parent folder record missing")
        << QByteArray(
               "x/y.txt\r\nfile\r\n2\r\nhiFile end\r\nx/z\r\nfolder\r\nc\r\nfolder\r\nOVER\r\n")
        << QStringList() << QStringList({"x/y.txt WriteFailed", "x/z WriteFailed", "c Stored"})
        << true << QStringList({"c/"});
    QTest::newRow("folder where a file is")
        << QByteArray("a\r\nfolder\r\nOVER\r\n") << QStringList({"a=file"})
        << QStringList({"a WriteFailed"}) << true << QStringList({"a=file"});
    QTest::newRow("file where a folder is")
        << QByteArray("d\r\nfile\r\n3\r\nabcFile end\r\ne\r\nfile\r\n1\r\neFile end\r\nOVER\r\n")
        << QStringList({"d/"}) << QStringList({"d WriteFailed", "e Stored"}) << true
        << QStringList({"d/", "e=e"});
    QTest::newRow("unknown type in between")
        << QByteArray("a\r\nblob\r\nb\r\nfile\r\n1\r\nbFile end\r\nOVER\r\n") << QStringList()
        << QStringList({"a UnknownType", "b Stored"}) << true << QStringList({"b=b"});
}

void TestStreamUnpacker::writeFailed()
{
    if (QTest::currentDataTag() == QLatin1String("unknown type in between"))
        QTest::ignoreMessage(QtDebugMsg, "类型错误");
    runCase();
}

void TestStreamUnpacker::everyPrefix()
{
    const QByteArray full("docs\r\nfolder\r\ndocs/a.txt\r\nfile\r\n5\r\nhelloFile end\r\n"
                          "docs/sub\r\nfolder\r\ndocs/sub/b\r\nfile\r\n16\r\nline\r\nFile end\r\n"
                          "File end\r\ne\r\nfile\r\n0\r\nFile end\r\nOVER\r\n");
    const QMap<QString, QString> whole{
        {"docs/a.txt", "hello"}, {"docs/sub/b", "line\r\nFile end\r\n"}, {"e", ""}};
    for (int length = 0; length <= full.size(); ++length) {
        init();
        const StreamUnpacker::Result result = unpackBytes(full.left(length));
        const QByteArray where = "prefix of " + QByteArray::number(length) + " bytes";
        QVERIFY2(result.complete == (length >= full.size() - 2), where);
        for (const StreamUnpacker::Entry &entry : result.entries) {
            if (entry.status == StreamItem::Stored)
                continue;
            QVERIFY2(entry.status == StreamItem::Incomplete, where);
            QVERIFY2(!QFileInfo::exists(save + QLatin1Char('/') + entry.name), where);
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

void TestStreamUnpacker::cutFileKeepsExistingOne()
{
    make(save + QStringLiteral("/a.txt"), "previous");
    const StreamUnpacker::Result result =
        unpackBytes("a.txt\r\nfile\r\n3000000\r\n" + QByteArray(2500000, 'n'));
    QCOMPARE(describe(result), QStringList({"a.txt Incomplete"}));
    QVERIFY(!result.complete);
    QCOMPARE(tree(save), QStringList({"a.txt=previous"}));
}

void TestStreamUnpacker::unpackTwice()
{
    const QByteArray stream("d\r\nfolder\r\nd/f\r\nfile\r\n3\r\nnewFile end\r\nOVER\r\n");
    QVERIFY(QDir(save).mkpath(QStringLiteral("d")));
    make(save + QStringLiteral("/d/f"), "much longer old content");
    for (int round = 0; round < 2; ++round) {
        const StreamUnpacker::Result result = unpackBytes(stream);
        QVERIFY(result.complete);
        QCOMPARE(describe(result), QStringList({"d Stored", "d/f Stored"}));
        QCOMPARE(tree(save), QStringList({"d/", "d/f=new"}));
    }
}

void TestStreamUnpacker::roundTrip_data()
{
    // The tree to send, in stream order: "folder/" or "file=content".
    QTest::addColumn<QStringList>("items");

    QTest::newRow("nested folders")
        << QStringList({"top/", "top/a/", "top/a/b/", "top/a/b/c=deep", "top/x=1", "top/a/y=2"});
    QTest::newRow("empty file and folder") << QStringList({"e=", "empty/"});
    QTest::newRow("markers in the data")
        << QStringList({"m=x\r\nFile end\r\nOVER\r\n", "n=OVER", "o=\r\n"});
    QTest::newRow("non-ascii names")
        << QStringList({QString::fromUtf8("文件夹/"), QString::fromUtf8("文件夹/数据 ü.txt=内容")});
    QTest::newRow("names with spaces") << QStringList({"my docs/", "my docs/a b c.txt=s p"});
    QTest::newRow("several top-level items")
        << QStringList({"one=1", "two/", "two/2=2", "three=3"});
}

void TestStreamUnpacker::roundTrip()
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
        StreamWriter writer(&out);
        for (const QString &item : items) {
            if (item.endsWith(QLatin1Char('/'))) {
                QVERIFY(writer.writeFolder(item.chopped(1)));
            } else {
                const QString name = item.section(QLatin1Char('='), 0, 0);
                QVERIFY(writer.writeFile(name, source + QLatin1Char('/') + name));
            }
        }
        QVERIFY(writer.writeFile(QStringLiteral("binary"), source + QStringLiteral("/binary")));
        QVERIFY(writer.writeEnd());
    }
    QFile in(streamPath);
    QVERIFY(in.open(QIODevice::ReadOnly));
    const StreamUnpacker::Result result = StreamUnpacker::unpack(save, &in);
    QVERIFY(result.complete);
    QCOMPARE(result.entries.size(), items.size() + 1);
    for (const StreamUnpacker::Entry &entry : result.entries)
        QCOMPARE(statusName(entry.status), QStringLiteral("Stored"));
    QCOMPARE(tree(save), tree(source));
}

void TestStreamUnpacker::manyRecords()
{
    const int count = 20000;
    QByteArray bytes("d\r\nfolder\r\n");
    for (int i = 0; i < count; ++i)
        bytes += "d/f" + QByteArray::number(i) + "\r\nfile\r\n6\r\n" +
                 QByteArray::number(100000 + i) + "File end\r\n";
    bytes += "OVER\r\n";

    QElapsedTimer timer;
    timer.start();
    const StreamUnpacker::Result result = unpackBytes(bytes);
    const qint64 elapsed = timer.elapsed();
    qInfo("%d records unpacked in %lld ms", count + 1, elapsed);
    QVERIFY(result.complete);
    QCOMPARE(result.entries.size(), count + 1);
    QCOMPARE(QDir(save + QStringLiteral("/d")).count(), uint(count + 2)); // with . and ..
    QFile last(save + QStringLiteral("/d/f19999"));
    QVERIFY(last.open(QIODevice::ReadOnly));
    QCOMPARE(last.readAll(), QByteArray("119999"));
    // Reading all records again for each one would take minutes here.
    QVERIFY2(elapsed < 60000, "unpacking is not linear in the number of records");
}

void TestStreamUnpacker::largeFile()
{
    // Several GiB of disk traffic: run by hand with NUBO_LARGE_TESTS=1.
    if (qEnvironmentVariableIsEmpty("NUBO_LARGE_TESTS"))
        QSKIP("set NUBO_LARGE_TESTS=1 to round-trip a 2.5 GiB file");
    const qint64 size = Q_INT64_C(2684354560) + 5; // 2.5 GiB and a little
    const QString source = root->filePath(QStringLiteral("big"));
    {
        QFile big(source);
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(size)); // sparse: zeros
        QVERIFY(big.seek(size - 5));
        QCOMPARE(big.write("tail!"), qint64(5));
    }
    const QString streamPath = root->filePath(QStringLiteral("stream"));
    {
        QFile out(streamPath);
        QVERIFY(out.open(QIODevice::WriteOnly));
        StreamWriter writer(&out);
        QVERIFY(writer.writeFile(QStringLiteral("big"), source));
        QVERIFY(writer.writeEnd());
    }
    QVERIFY(QFile::remove(source));
    QFile in(streamPath);
    QVERIFY(in.open(QIODevice::ReadOnly));
    const StreamUnpacker::Result result = StreamUnpacker::unpack(save, &in);
    in.close();
    QVERIFY(QFile::remove(streamPath));
    QVERIFY(result.complete);
    QCOMPARE(describe(result), QStringList({"big Stored"}));
    QFile stored(save + QStringLiteral("/big"));
    QCOMPARE(stored.size(), size);
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QVERIFY(stored.seek(size - 6));
    QCOMPARE(stored.read(6), QByteArray("\0tail!", 6));
}

QTEST_GUILESS_MAIN(TestStreamUnpacker)
#include "tst_streamunpacker.moc"
