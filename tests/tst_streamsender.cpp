#include "protocol/itemname.h"
#include "send/sendpacker.h"
#include "send/streamsender.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <sys/socket.h>
#include <unistd.h>

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

// Both ends of a connected local stream socket, closed with the pair.
struct SocketPair
{
    SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd); }
    ~SocketPair()
    {
        for (const int end : fd) {
            if (end >= 0)
                ::close(end);
        }
    }
    int fd[2] = {-1, -1};
};

} // namespace

class TestStreamSender : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void streamBytes_data();
    void streamBytes();
    void isValidName_data();
    void isValidName();
    void smallFilesGoOutTogether();
    void sourceChanges_data();
    void sourceChanges();
    void peerTroubles_data();
    void peerTroubles();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString path(const QString &name) const { return dir->filePath(name); }
    // Lists `dropped` (below the folder) and sends it into the file "out".
    bool sendTo(const QStringList &dropped, StreamSender **sender = nullptr);
    SendPacker packer;
    std::unique_ptr<StreamSender> lastSender;
};

void TestStreamSender::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

bool TestStreamSender::sendTo(const QStringList &dropped, StreamSender **sender)
{
    QStringList paths;
    for (const QString &entry : dropped)
        paths << path("x/" + entry);
    if (!packer.collect(paths))
        return false;
    QFile out(path("out"));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    lastSender = std::make_unique<StreamSender>(out.handle());
    if (sender)
        *sender = lastSender.get();
    return lastSender->send(packer.items());
}

void TestStreamSender::streamBytes_data()
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
    // "big" goes out straight from the file, between two gathered writes.
    QTest::newRow("small and large files")
        << QStringList{"one.txt=1", QString::fromUtf8("三.txt=333"), "big=" + QString(300000, 'b'),
                       "z="}
        << QStringList{"one.txt", QString::fromUtf8("三.txt"), "big", "z"}
        << "one.txt\r\nfile\r\n1\r\n1File end\r\n" + QString::fromUtf8("三").toUtf8() +
               ".txt\r\nfile\r\n3\r\n333File end\r\nbig\r\nfile\r\n300000\r\n" +
               QByteArray(300000, 'b') + "File end\r\nz\r\nfile\r\n0\r\nFile end\r\nOVER\r\n";
}

void TestStreamSender::streamBytes()
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
    StreamSender *sender = nullptr;
    QVERIFY(sendTo(dropped, &sender));
    QCOMPARE(readAll(path("out")), bytes);
    // Known before sending: the request announces it.
    QCOMPARE(packer.bodySize(), qint64(bytes.size()));
    QCOMPARE(sender->sent(), qint64(bytes.size()));
}

void TestStreamSender::isValidName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");

    QTest::newRow("plain") << "a.txt" << true;
    QTest::newRow("nested") << "docs/sub/b.txt" << true;
    QTest::newRow("inner spaces") << "my docs/a b.txt" << true;
    QTest::newRow("non-ascii") << QString::fromUtf8("文件/数据.txt") << true;
    QTest::newRow("end marker inside a path") << "docs/OVER" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("carriage return") << "a\rb" << false;
    QTest::newRow("line feed") << "a\nb" << false;
    QTest::newRow("nul") << QString(QStringLiteral("a") + QChar(0) + QStringLiteral("b")) << false;
    QTest::newRow("leading space") << " a" << false;
    QTest::newRow("trailing tab") << "a\t" << false;
    QTest::newRow("end marker") << "OVER" << false;
}

void TestStreamSender::isValidName()
{
    QFETCH(QString, name);
    QFETCH(bool, valid);
    QCOMPARE(ItemName::isValid(name), valid);
}

// Thousands of small files must not become thousands of small writes (and packets).
void TestStreamSender::smallFilesGoOutTogether()
{
    constexpr int count = 2000;
    for (int i = 0; i < count; ++i)
        makeFile(path(QStringLiteral("x/D/f%1").arg(i)), QByteArray(1024, char('a' + i % 26)));
    QStringList paths{path("x/D")};
    QVERIFY(packer.collect(paths));
    QFile out(path("out"));
    QVERIFY(out.open(QIODevice::WriteOnly));
    StreamSender sender(out.handle());
    int handOvers = 0;
    sender.setSentCallback([&](qint64) { ++handOvers; });
    QVERIFY(sender.send(packer.items()));
    QCOMPARE(QFileInfo(path("out")).size(), packer.bodySize());
    QVERIFY2(handOvers < 20, qPrintable(QString::number(handOvers)));
}

void TestStreamSender::sourceChanges_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("error");

    const int small = 1000;
    const int large = 3 * 1024 * 1024;
    for (const int size : {small, large}) {
        const QByteArray kind = size == small ? "small file " : "large file ";
        QTest::newRow(kind + "grows") << size << "grow" << int(StreamSender::SourceChanged);
        QTest::newRow(kind + "shrinks") << size << "shrink" << int(StreamSender::SourceChanged);
        QTest::newRow(kind + "removed") << size << "remove" << int(StreamSender::SourceUnreadable);
        QTest::newRow(kind + "becomes a folder")
            << size << "folder" << int(StreamSender::SourceUnreadable);
    }
    QTest::newRow("large file shrinks while it is sent")
        << large << "shrink mid-file" << int(StreamSender::SourceChanged);
}

void TestStreamSender::sourceChanges()
{
    QFETCH(int, size);
    QFETCH(QString, change);
    QFETCH(int, error);

    makeFile(path("x/D/a.txt"), "first");
    makeFile(path("x/D/sub/b.bin"), QByteArray(size, 'z'));
    QVERIFY(packer.collect({path("x/D")}));
    const QString b = path("x/D/sub/b.bin");
    if (change == "grow") {
        makeFile(b, QByteArray(size + 1, 'z'));
    } else if (change == "shrink") {
        QVERIFY(QFile::resize(b, size - 1));
    } else if (change == "remove") {
        QVERIFY(QFile::remove(b));
    } else if (change == "folder") {
        QVERIFY(QFile::remove(b));
        QVERIFY(QDir().mkpath(b));
    }

    QFile out(path("out"));
    QVERIFY(out.open(QIODevice::WriteOnly));
    StreamSender sender(out.handle());
    bool changed = false;
    if (change == "shrink mid-file") {
        sender.setSentCallback([&](qint64 sent) {
            if (!changed && sent > 1024 * 1024) {
                changed = true;
                QVERIFY(QFile::resize(b, 1024 * 1024 + 10));
            }
        });
    }
    QVERIFY(!sender.send(packer.items()));
    QCOMPARE(int(sender.error()), error);
    QCOMPARE(sender.failedItem(), QString("D/sub/b.bin"));
    QCOMPARE(changed, change == "shrink mid-file");
    // Never a whole-looking record for the changed file.
    const QByteArray sent = readAll(path("out"));
    QVERIFY(sent.startsWith("D\r\nfolder\r\nD/a.txt\r\nfile\r\n5\r\nfirstFile end\r\n"));
    QCOMPARE(sent.count("File end\r\n"), 1);
    QVERIFY(!sent.contains("OVER\r\n"));
}

// A peer that is gone, takes nothing, or a cancel: each ends the sending with its own error and
// never takes the process down (a reset peer raises SIGPIPE on sendfile).
void TestStreamSender::peerTroubles_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<int>("error");
    QTest::newRow("closed") << "closed" << int(StreamSender::SendFailed);
    QTest::newRow("takes nothing") << "stalled" << int(StreamSender::Stalled);
    QTest::newRow("cancelled while the peer takes nothing")
        << "cancel" << int(StreamSender::Cancelled);
}

void TestStreamSender::peerTroubles()
{
    QFETCH(QString, peer);
    QFETCH(int, error);

    makeFile(path("x/big"), QByteArray(8 * 1024 * 1024, 'q'));
    QVERIFY(packer.collect({path("x/big")}));
    SocketPair pair;
    QVERIFY(pair.fd[0] >= 0);
    if (peer == "closed") {
        ::close(pair.fd[1]);
        pair.fd[1] = -1;
    }
    StreamSender sender(pair.fd[0]);
    sender.setStallTimeout(peer == "stalled" ? 300 : 60000);
    std::atomic<bool> cancelled{false};
    sender.setCancelFlag(&cancelled);
    if (peer == "cancel")
        sender.setSentCallback([&](qint64) { cancelled = true; });
    QVERIFY(!sender.send(packer.items()));
    QCOMPARE(int(sender.error()), error);
    QCOMPARE(sender.failedItem(), QString());
}

QTEST_GUILESS_MAIN(TestStreamSender)
#include "tst_streamsender.moc"
