#include "send/packprogress.h"
#include "send/sendpacker.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void makeFile(const QString &path, const QByteArray &data)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), qint64(data.size()));
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QStringList names(const SendPacker &packer)
{
    QStringList result;
    for (const SendPacker::Item &item : packer.items())
        result << item.name;
    return result;
}

QStringList relative(const QString &base, const QList<QFileInfo> &infos)
{
    QStringList result;
    for (const QFileInfo &info : infos)
        result << QDir(base).relativeFilePath(info.absoluteFilePath());
    return result;
}

} // namespace

class TestSendPacker : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void listingOrderAndFilters();
    void linkedFoldersAreFollowedOnce();
    void droppedFolder();
    void droppedFiles();
    void filesFromTwoFolders();
    void streamBytes_data();
    void streamBytes();
    void cancelled();
    void refusedDrops_data();
    void refusedDrops();
    void sourceChangesAfterCollecting_data();
    void sourceChangesAfterCollecting();
    void unwritableWorkFile();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString path(const QString &name) const { return dir->filePath(name); }
};

void TestSendPacker::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestSendPacker::listingOrderAndFilters()
{
    makeFile(path("D/b.txt"), "b");
    makeFile(path("D/A.txt"), "a");
    makeFile(path("D/.hidden"), "h");
    makeFile(path("D/sub/c.txt"), "c");
    makeFile(path("D/Sub2/d.txt"), "d");
    makeFile(path("D/.secret/e.txt"), "e");
    QVERIFY(QDir().mkpath(path("D/empty")));
    QVERIFY(QFile::link(path("D/b.txt"), path("D/link.txt")));

    const QStringList expected{".hidden", "A.txt", "b.txt",     "empty",
                               "sub",     "Sub2",  "sub/c.txt", "Sub2/d.txt"};
    QCOMPARE(relative(path("D"), SendPacker::listFolder(path("D"))), expected);
}

void TestSendPacker::linkedFoldersAreFollowedOnce()
{
    makeFile(path("D/a/x.txt"), "x");
    makeFile(path("outside/y.txt"), "y");
    QVERIFY(QFile::link(path("D"), path("D/a/back")));    // leads back to the top
    QVERIFY(QFile::link(path("D/a"), path("D/z")));       // a second way into a
    QVERIFY(QFile::link(path("outside"), path("D/ext"))); // leads out of the tree

    const QStringList expected{"a", "ext", "a/x.txt", "ext/y.txt"};
    QCOMPARE(relative(path("D"), SendPacker::listFolder(path("D"))), expected);

    SendPacker packer;
    QVERIFY(packer.collect({path("D")}));
    QCOMPARE(names(packer), (QStringList{"D", "D/a", "D/ext", "D/a/x.txt", "D/ext/y.txt"}));
}

void TestSendPacker::droppedFolder()
{
    makeFile(path("x/D/a.txt"), "hello");
    makeFile(path("x/D/sub/b.txt"), QByteArray(1536, 'b'));

    SendPacker packer;
    QVERIFY(packer.collect({path("x/D")}));
    QCOMPARE(names(packer), (QStringList{"D", "D/a.txt", "D/sub", "D/sub/b.txt"}));
    QCOMPARE(packer.filesNumber(), 1);
    QCOMPARE(packer.itemsNumber(), 4);
    QCOMPARE(packer.totalSize(), qint64(5 + 1536));
    QCOMPARE(packer.fileName(), QString("D"));
    QCOMPARE(packer.fileType(), QString("folder"));
    QCOMPARE(packer.error(), SendPacker::NoError);
}

void TestSendPacker::droppedFiles()
{
    makeFile(path("x/one.txt"), "1");
    makeFile(path("x/two.bin"), "22");
    makeFile(path("x/三.txt"), "333");

    SendPacker packer;
    QVERIFY(packer.collect({path("x/one.txt"), path("x/two.bin"), path("x/三.txt")}));
    QCOMPARE(names(packer), (QStringList{"one.txt", "two.bin", QString::fromUtf8("三.txt")}));
    QCOMPARE(packer.filesNumber(), 3);
    QCOMPARE(packer.itemsNumber(), 3);
    QCOMPARE(packer.totalSize(), qint64(6));
    QCOMPARE(packer.fileName(), QString::fromUtf8("三.txt"));
    QCOMPARE(packer.fileType(), QString("file"));
}

void TestSendPacker::filesFromTwoFolders()
{
    // Every name stays relative, also for an entry that does not lie beside the first one.
    makeFile(path("x/a.txt"), "a");
    makeFile(path("y/deeper/b.txt"), "b");
    SendPacker packer;
    QVERIFY(packer.collect({path("x/a.txt"), "", path("y/deeper/b.txt")}));
    QCOMPARE(names(packer), (QStringList{"a.txt", "b.txt"}));
    QCOMPARE(packer.filesNumber(), 2);
}

void TestSendPacker::streamBytes_data()
{
    QTest::addColumn<QStringList>("files"); // made below x/; "name/" makes a folder
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("folder tree")
        << QStringList{"docs/a.txt=hello", "docs/sub/b=line\r\nFile end\r\nOVER\r\n",
                       "docs/sub/empty/"}
        << QStringList{"docs"}
        << QByteArray("docs\r\nfolder\r\n"
                      "docs/a.txt\r\nfile\r\n5\r\nhelloFile end\r\n"
                      "docs/sub\r\nfolder\r\n"
                      "docs/sub/b\r\nfile\r\n22\r\nline\r\nFile end\r\nOVER\r\nFile end\r\n"
                      "docs/sub/empty\r\nfolder\r\n"
                      "OVER\r\n");
    QTest::newRow("several files")
        << QStringList{"one.txt=1", QString::fromUtf8("三.txt=333"), "big=" + QString(300000, 'b')}
        << QStringList{"one.txt", QString::fromUtf8("三.txt"), "big"}
        << "one.txt\r\nfile\r\n1\r\n1File end\r\n" + QString::fromUtf8("三").toUtf8() +
               ".txt\r\nfile\r\n3\r\n333File end\r\nbig\r\nfile\r\n300000\r\n" +
               QByteArray(300000, 'b') + "File end\r\nOVER\r\n";
    QTest::newRow("empty file") << QStringList{"z.txt="} << QStringList{"z.txt"}
                                << QByteArray("z.txt\r\nfile\r\n0\r\nFile end\r\nOVER\r\n");
}

void TestSendPacker::streamBytes()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, dropped);
    QFETCH(QByteArray, bytes);

    for (const QString &file : files) {
        if (file.endsWith('/'))
            QVERIFY(QDir().mkpath(path("x/" + file)));
        else
            makeFile(path("x/" + file.section('=', 0, 0)), file.section('=', 1).toUtf8());
    }
    QStringList paths;
    for (const QString &entry : dropped)
        paths << path("x/" + entry);
    // The work file holds an older, longer stream: it is replaced.
    makeFile(path("send"), QByteArray(400000, 'o'));

    SendPacker packer;
    QVERIFY(packer.collect(paths));
    // Known before writing: the request announces it.
    QCOMPARE(packer.bodySize(), qint64(bytes.size()));
    PackProgress progress;
    QVERIFY(packer.write(path("send"), &progress));
    QCOMPARE(readAll(path("send")), bytes);
    PackProgress::State state;
    QCOMPARE(progress.waitBeyond(0, 0, &state), qint64(bytes.size()));
}

void TestSendPacker::cancelled()
{
    makeFile(path("x/big"), QByteArray(3 * 1024 * 1024, 'c'));
    SendPacker packer;
    QVERIFY(packer.collect({path("x/big")}));
    const std::atomic<bool> stop{true};
    QVERIFY(!packer.write(path("send"), nullptr, &stop));
    QCOMPARE(packer.error(), SendPacker::Cancelled);
    // Stopped at the first piece, not at the end of the file.
    QVERIFY(QFileInfo(path("send")).size() < packer.bodySize());

    // A listing given up is no list: nothing of a half-read tree may be sent.
    QVERIFY(!packer.collect({path("x")}, &stop));
    QCOMPARE(packer.error(), SendPacker::Cancelled);
}

void TestSendPacker::refusedDrops_data()
{
    QTest::addColumn<QStringList>("files");   // made below the temporary folder
    QTest::addColumn<QStringList>("dropped"); // relative to it; empty text: not a local path
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("failedItem");

    QTest::newRow("nothing dropped")
        << QStringList() << QStringList() << int(SendPacker::NoItems) << "";
    QTest::newRow("nothing local")
        << QStringList() << QStringList{"", "missing"} << int(SendPacker::NoItems) << "";
    QTest::newRow("line feed in a nested name")
        << QStringList{"D/ok.txt", "D/bad\nname.txt"} << QStringList{"D"}
        << int(SendPacker::InvalidName) << "D/bad\nname.txt";
    QTest::newRow("carriage return in a dropped name")
        << QStringList{"x/a\rb"} << QStringList{"x/a\rb"} << int(SendPacker::InvalidName) << "a\rb";
    QTest::newRow("space at the end")
        << QStringList{"x/a "} << QStringList{"x/a "} << int(SendPacker::InvalidName) << "a ";
    QTest::newRow("named like the end marker")
        << QStringList{"x/OVER"} << QStringList{"x/OVER"} << int(SendPacker::InvalidName) << "OVER";
    QTest::newRow("two files of one name from two folders")
        << QStringList{"x/a.txt", "y/a.txt"} << QStringList{"x/a.txt", "y/a.txt"}
        << int(SendPacker::DuplicateName) << "a.txt";
    QTest::newRow("file of 4 GiB") << QStringList{"D/small", "D/huge"} << QStringList{"D"}
                                   << int(SendPacker::TooLarge) << "D/huge";
}

void TestSendPacker::refusedDrops()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, dropped);
    QFETCH(int, error);
    QFETCH(QString, failedItem);

    for (const QString &file : files)
        makeFile(path(file), "data");
    if (files.contains("D/huge")) {
        // Sparse: takes no room on disk.
        QFile huge(path("D/huge"));
        QVERIFY(huge.resize(Q_INT64_C(4294967296)));
    }
    QStringList paths;
    for (const QString &entry : dropped)
        paths << (entry.isEmpty() ? QString() : path(entry));

    SendPacker packer;
    QVERIFY(!packer.collect(paths));
    QCOMPARE(int(packer.error()), error);
    QCOMPARE(packer.failedItem(), failedItem);
}

void TestSendPacker::sourceChangesAfterCollecting_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("error");

    QTest::newRow("file grows") << "grow" << int(SendPacker::SourceChanged);
    QTest::newRow("file removed") << "remove" << int(SendPacker::SourceUnreadable);
    QTest::newRow("file becomes a folder") << "folder" << int(SendPacker::SourceUnreadable);
    QTest::newRow("folder removed") << "rmdir" << int(SendPacker::SourceUnreadable);
}

void TestSendPacker::sourceChangesAfterCollecting()
{
    QFETCH(QString, change);
    QFETCH(int, error);

    makeFile(path("D/a.txt"), "first");
    makeFile(path("D/sub/b.txt"), "second");
    SendPacker packer;
    QVERIFY(packer.collect({path("D")}));

    QString expectedItem = "D/sub/b.txt";
    if (change == "grow") {
        makeFile(path("D/sub/b.txt"), "second and more");
    } else if (change == "remove") {
        QVERIFY(QFile::remove(path("D/sub/b.txt")));
    } else if (change == "folder") {
        QVERIFY(QFile::remove(path("D/sub/b.txt")));
        QVERIFY(QDir().mkpath(path("D/sub/b.txt")));
    } else {
        QVERIFY(QDir(path("D/sub")).removeRecursively());
        expectedItem = "D/sub";
    }
    QVERIFY(!packer.write(path("send")));
    QCOMPARE(int(packer.error()), error);
    QCOMPARE(packer.failedItem(), expectedItem);
}

void TestSendPacker::unwritableWorkFile()
{
    makeFile(path("x/a.txt"), "a");
    SendPacker packer;
    QVERIFY(packer.collect({path("x/a.txt")}));
    QVERIFY(!packer.write(path("no such folder/send")));
    QCOMPARE(packer.error(), SendPacker::WriteFailed);
}

QTEST_GUILESS_MAIN(TestSendPacker)
#include "tst_sendpacker.moc"
