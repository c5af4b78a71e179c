#include "send/sendpacker.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

void makeFile(const QString &path, const QByteArray &data)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), qint64(data.size()));
}

QStringList names(const SendPacker &packer)
{
    QStringList result;
    for (const SendPacker::Item &item : packer.items())
        result << item.name;
    return result;
}

QStringList relative(const QString &base, const QList<SendPacker::Item> &items)
{
    QStringList result;
    for (const SendPacker::Item &item : items)
        result << QDir(base).relativeFilePath(item.path);
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
    void cancelled();
    void largeFileIsTakenAndRemembered();
    void refusedDrops_data();
    void refusedDrops();
    void unlistableFolder();

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
    SendPacker packer;
    QVERIFY(packer.collect({path("D")}));
    QCOMPARE(packer.leftOut(), 2); // .secret and link.txt
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

void TestSendPacker::cancelled()
{
    makeFile(path("x/sub/a"), "a");
    SendPacker packer;
    const std::atomic<bool> stop{true};
    // A listing given up is no list: nothing of a half-read tree may be sent.
    QVERIFY(!packer.collect({path("x")}, &stop));
    QCOMPARE(packer.error(), SendPacker::Cancelled);
}

// Whether a file of 4 GiB can go depends on the receiver, which is not known at the drop.
void TestSendPacker::largeFileIsTakenAndRemembered()
{
    makeFile(path("D/small"), "data");
    makeFile(path("D/huge"), "");
    QVERIFY(QFile::resize(path("D/huge"), Q_INT64_C(4294967296))); // sparse: takes no room
    SendPacker packer;
    QVERIFY(packer.collect({path("D")}));
    QCOMPARE(packer.largestFileSize(), Q_INT64_C(4294967296));
    QCOMPARE(packer.largestFileName(), QString("D/huge"));
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
}

void TestSendPacker::refusedDrops()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, dropped);
    QFETCH(int, error);
    QFETCH(QString, failedItem);

    for (const QString &file : files)
        makeFile(path(file), "data");
    QStringList paths;
    for (const QString &entry : dropped)
        paths << (entry.isEmpty() ? QString() : path(entry));

    SendPacker packer;
    QVERIFY(!packer.collect(paths));
    QCOMPARE(int(packer.error()), error);
    QCOMPARE(packer.failedItem(), failedItem);
}

// Root reads every folder; without the two capabilities that let it, it is held to the modes like
// anyone else, which is what a user who drops a folder they may not read meets.
class WithoutFileCapabilities
{
public:
    WithoutFileCapabilities()
    {
        header.version = _LINUX_CAPABILITY_VERSION_3;
        ok = ::syscall(SYS_capget, &header, saved) == 0;
        if (!ok)
            return;
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
            reduced[cap / 32].effective &= ~(1u << (cap % 32));
        ok = ::syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutFileCapabilities()
    {
        if (ok)
            ::syscall(SYS_capset, &header, saved);
    }
    bool ok = false;

private:
    __user_cap_header_struct header = {};
    __user_cap_data_struct saved[2] = {};
};

void TestSendPacker::unlistableFolder()
{
    makeFile(path("x/D/a.txt"), "a");
    makeFile(path("x/D/locked/secret.txt"), "s");
    QVERIFY(QFile::setPermissions(path("x/D/locked"), QFileDevice::Permissions()));
    SendPacker packer;
    bool listed = false;
    {
        const WithoutFileCapabilities plainUser;
        QVERIFY(plainUser.ok);
        listed = packer.collect({path("x/D")});
    }
    QVERIFY(QFile::setPermissions(path("x/D/locked"), QFileDevice::ReadOwner |
                                                          QFileDevice::WriteOwner |
                                                          QFileDevice::ExeOwner));
    QVERIFY(!listed);
    QCOMPARE(packer.error(), SendPacker::Unlistable);
    QCOMPARE(packer.failedItem(), QString("D/locked"));
}

QTEST_GUILESS_MAIN(TestSendPacker)
#include "tst_sendpacker.moc"
