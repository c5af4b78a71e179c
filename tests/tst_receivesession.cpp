#include "receive/incomingtransfer.h"
#include "receive/receivesession.h"

#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "send/socketwait.h"
#include "settings/settingskeys.h"

#include "receivetest.h"
#include "tempworkdir.h"

#include <QDir>
#include <QFile>
#include <QSemaphore>
#include <QSettings>
#include <QStorageInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <QtTest>

#include <memory>

#ifdef Q_OS_LINUX
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

QByteArray record(const QByteArray &name, const QByteArray &data)
{
    return name + "\r\nfile\r\n" + QByteArray::number(data.size()) + "\r\n" + data + "File end\r\n";
}

QByteArray request(qint64 size, int items, const QByteArray &target = "docs",
                   const QByteArray &sender = "小明")
{
    TransferRequest r;
    r.target = QString::fromUtf8(target);
    r.kind = "folder";
    r.filesNumber = 1;
    r.itemsNumber = items;
    r.contentLength = size;
    r.senderName = QString::fromUtf8(sender);
    return r.toUtf8();
}

QByteArray readReply(QTcpSocket *socket)
{
    QByteArray reply;
    for (int i = 0; i < 100 && !reply.contains("\r\n\r\n"); ++i) {
        socket->waitForReadyRead(100);
        reply += socket->readAll();
    }
    return reply;
}

} // namespace

class TestReceiveSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void acceptedBodyIsStoredAndConfirmed();
    void refusalKeepsNothing();
    void invalidRequestsAreRefused_data();
    void invalidRequestsAreRefused();
    void questionComesAtTheEmptyLine_data();
    void questionComesAtTheEmptyLine();
    void cutBodyRemovesThePartialItem_data();
    void cutBodyRemovesThePartialItem();
    void storageFailureResets();
    void freeSpaceCountsContentsAndBlocks_data();
    void freeSpaceCountsContentsAndBlocks();
    void fullDiskResetsAndSaysSo();
    void ownFilesAreNeverReplaced_data();
    void ownFilesAreNeverReplaced();
    void nameClashRuleIsTakenWithTheOffer();
    void unansweredQuestionClosesWithoutReply();
    void lateAnswersAndEndsAreDropped();
    void busyReceiverRefusesAndTells();
    void callsNeverWaitForTheWorker();

private:
    void listen(int idleMs = 10000, int answerMs = 20000, int quietMs = 1000);
    // Connects, sends the request and waits for the offer (or the end, for a refused one).
    void offer(const QByteArray &head, const QByteArray &early = QByteArray());
    // Accepts the last offer and sends `body` once the accept reply is in.
    void acceptWith(const QByteArray &body);
    void expectEnd(int count, ReceiveOutcome::Outcome outcome);
    quint64 offeredId() const { return offers->last().first().toULongLong(); }
    QString endReason() const { return ends->last().at(2).toString(); }
    // A small file system of its own at the save folder, so that its free space is exact and
    // filling it touches nothing else; false where it cannot be had (it needs root).
    bool saveOnTmpfs(qint64 bytes);

    std::unique_ptr<TempWorkDir> workDir;
    std::unique_ptr<ReceiveSession> session;
    std::unique_ptr<QTcpSocket> sender;
    std::unique_ptr<QSignalSpy> offers;
    std::unique_ptr<QSignalSpy> ends;
    QList<StoredEntry> stored;
    QString save;
    quint16 port = 0;
    bool privateMounts = false;
    bool mounted = false;
};

void TestReceiveSession::initTestCase()
{
#ifdef Q_OS_LINUX
    // Mounts made from here on are this process's own and go with it; the session threads,
    // made later, share them.
    privateMounts = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
#endif
}

void TestReceiveSession::init()
{
    workDir = std::make_unique<TempWorkDir>();
    save = workDir->filePath("save");
    QVERIFY(QDir().mkdir(save));
    session = std::make_unique<ReceiveSession>();
    session->setSaveFolder(save, SettingsKeys::NameClash::Overwrite);
    port = freePort();
    offers = std::make_unique<QSignalSpy>(session.get(), &ReceiveSession::offered);
    ends = std::make_unique<QSignalSpy>(session.get(), &ReceiveSession::ended);
    stored.clear();
    connect(session.get(), &ReceiveSession::itemsStored, this,
            [this](quint64, const QList<StoredEntry> &entries) { stored += entries; });
    listen();
}

void TestReceiveSession::cleanup()
{
    sender.reset();
    session.reset();
#ifdef Q_OS_LINUX
    if (mounted)
        ::umount2(QFile::encodeName(save).constData(), MNT_DETACH);
#endif
    mounted = false;
    workDir.reset();
}

void TestReceiveSession::listen(int idleMs, int answerMs, int quietMs)
{
    QSignalSpy listening(session.get(), &ReceiveSession::listening);
    session->setTimeouts(idleMs, answerMs, quietMs);
    session->listen(QHostAddress::LocalHost, port);
    QTRY_COMPARE(listening.size(), 1);
    QVERIFY2(listening.first().first().toBool(), qPrintable(listening.first().at(1).toString()));
}

void TestReceiveSession::offer(const QByteArray &head, const QByteArray &early)
{
    const int before = offers->size() + ends->size();
    sender = std::make_unique<QTcpSocket>();
    sender->connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(sender->waitForConnected(10000));
    sender->write(head + early);
    QVERIFY(sender->waitForBytesWritten(10000));
    QTRY_COMPARE_WITH_TIMEOUT(offers->size() + ends->size(), before + 1, 10000);
}

void TestReceiveSession::acceptWith(const QByteArray &body)
{
    session->accept(offeredId());
    QCOMPARE(readReply(sender.get()), TransferReply::accept());
    sender->write(body);
    while (sender->bytesToWrite() > 0 && sender->waitForBytesWritten(10000)) {
    }
}

void TestReceiveSession::expectEnd(int count, ReceiveOutcome::Outcome outcome)
{
    QTRY_COMPARE(ends->size(), count);
    QCOMPARE(ends->last().at(1).toInt(), int(outcome));
}

bool TestReceiveSession::saveOnTmpfs(qint64 bytes)
{
#ifdef Q_OS_LINUX
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0755";
    mounted = privateMounts && ::mount("tmpfs", QFile::encodeName(save).constData(), "tmpfs", 0,
                                       options.constData()) == 0;
#else
    Q_UNUSED(bytes)
#endif
    return mounted;
}

void TestReceiveSession::acceptedBodyIsStoredAndConfirmed()
{
    const QByteArray a = "hello";
    const QByteArray b(300000, 'x');
    const QByteArray head = request(a.size() + b.size(), 3);
    offer(head);
    const ReceiveOffer o = offers->first().at(1).value<ReceiveOffer>();
    QCOMPARE(o.sender, QString::fromUtf8("小明"));
    QCOMPARE(o.address, QHostAddress(QHostAddress::LocalHost).toString());
    QCOMPARE(o.target, QString("docs"));
    QCOMPARE(o.size, qint64(a.size() + b.size()));
    QCOMPARE(o.items, 3);
    QVERIFY(!o.isFile);
    QVERIFY(session->transferRunning());
    QCOMPARE(contents("header"), head);

    QSignalSpy progress(session.get(), &ReceiveSession::progress);
    acceptWith("docs\r\nfolder\r\n" + record("docs/a.txt", a) + record("docs/b", b) + "OVER\r\n");
    // The receiver ends the connection itself, and in order, once everything is stored.
    QCOMPARE(peerEnd(*sender), SocketWait::Closed);
    expectEnd(1, ReceiveOutcome::Complete);
    QCOMPARE(ends->first().first().toULongLong(), offeredId());
    QVERIFY(!session->transferRunning());

    QCOMPARE(stored.size(), 3);
    QCOMPARE(stored.at(1).storedPath, save + "/docs/a.txt");
    QVERIFY(contents(save + "/docs/b") == b);
    QCOMPARE(progress.last(), (QList<QVariant>{offeredId(), o.size, o.size}));
    // The body went to the items only; the request file is ready for the next one.
    QVERIFY(!QFileInfo::exists("stream"));
    QCOMPARE(contents("header"), QByteArray());
}

// Bytes pushed before the answer are held, not written: after a refusal nothing of them is kept.
void TestReceiveSession::refusalKeepsNothing()
{
    offer(request(5, 1), record("a", "hello") + "OVER\r\n");
    session->refuse(offeredId());
    QCOMPARE(readReply(sender.get()), TransferReply::refusal());
    expectEnd(1, ReceiveOutcome::Refused);
    QVERIFY(QDir(save).isEmpty());
}

void TestReceiveSession::invalidRequestsAreRefused_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("early");

    QTest::newRow("no Content-Length")
        << QByteArray("MYPOST /a HTTP/1.1\r\nItems-Number: 1\r\n\r\n") << QByteArray();
    QTest::newRow("Content-Length not a number")
        << QByteArray("MYPOST /a HTTP/1.1\r\nItems-Number: 1\r\nContent-Length: 12a\r\n\r\n")
        << QByteArray();
    QTest::newRow("more than the free space") << request(Q_INT64_C(1) << 60, 1) << QByteArray();
    QTest::newRow("too much pushed before the answer")
        << request(10, 1) << QByteArray(IncomingTransfer::maxEarlyBytes + 1, 'x');
}

void TestReceiveSession::invalidRequestsAreRefused()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, early);
    offer(head);
    sender->write(early);
    expectEnd(1, ReceiveOutcome::Failed);
    QVERIFY(!endReason().isEmpty());
    QCOMPARE(offers->size(), early.isEmpty() ? 0 : 1);
    QVERIFY(QDir(save).isEmpty());
}

// An honest sender writes its request in one piece: it is asked about at once. Only a request
// without its empty line waits for the quiet period, and is asked about with what arrived.
void TestReceiveSession::questionComesAtTheEmptyLine_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("quietMs");

    const QByteArray whole = request(5, 1);
    QTest::newRow("empty line, body pushed with it") << whole + record("docs", "hello") + "OVER\r\n"
                                                     << whole << 600000;
    QTest::newRow("no empty line") << whole.chopped(2) << whole.chopped(2) << 100;
}

void TestReceiveSession::questionComesAtTheEmptyLine()
{
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, header);
    QFETCH(int, quietMs);
    listen(10000, 20000, quietMs);
    offer(sent);
    QCOMPARE(offers->size(), 1);
    QCOMPARE(contents("header"), header);
    if (sent.size() > header.size()) {
        acceptWith(QByteArray());
        expectEnd(1, ReceiveOutcome::Complete);
        QCOMPARE(contents(save + "/docs"), QByteArray("hello"));
    }
}

void TestReceiveSession::cutBodyRemovesThePartialItem_data()
{
    QTest::addColumn<QString>("cut");
    QTest::newRow("sender closes") << "close";
    QTest::newRow("sender resets") << "reset";
    QTest::newRow("user cancels") << "cancel";
}

void TestReceiveSession::cutBodyRemovesThePartialItem()
{
    QFETCH(QString, cut);
    offer(request(1000005, 2));
    QSignalSpy progress(session.get(), &ReceiveSession::progress);
    acceptWith(record("one", "12345") + "two\r\nfile\r\n1000000\r\n" + QByteArray(1000, 'x'));
    QTRY_VERIFY(!progress.isEmpty() && progress.last().at(1).toLongLong() == 1005);
    if (cut == "cancel") {
        session->cancel(offeredId());
        QCOMPARE(peerEnd(*sender), SocketWait::Reset);
    } else if (cut == "reset") {
        const struct linger hard = {1, 0};
        ::setsockopt(int(sender->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        sender->abort();
    } else {
        sender->disconnectFromHost();
    }
    expectEnd(1, ReceiveOutcome::Incomplete);
    QCOMPARE(stored.last().status, StoredEntry::Incomplete);
    QCOMPARE(stored.last().name, QString("two"));
    QCOMPARE(entriesOf(save), QStringList{"one"});
}

// A record that cannot be stored ends the transfer at once, with a reset the sender can tell.
void TestReceiveSession::storageFailureResets()
{
    QVERIFY(QDir(save).mkdir("taken"));
    offer(request(10, 2));
    acceptWith(record("taken", "12345"));
    QCOMPARE(peerEnd(*sender), SocketWait::Reset);
    expectEnd(1, ReceiveOutcome::Failed);
    QCOMPARE(stored.last().status, StoredEntry::WriteFailed);
}

// The contents and one block per item: a small disk takes what fits, not a fixed margin more.
void TestReceiveSession::freeSpaceCountsContentsAndBlocks_data()
{
    QTest::addColumn<qint64>("beyond"); // bytes asked for beyond the free space
    QTest::newRow("just fits") << qint64(0);
    QTest::newRow("one byte too many") << qint64(1);
}

void TestReceiveSession::freeSpaceCountsContentsAndBlocks()
{
    QFETCH(qint64, beyond);
    if (!saveOnTmpfs(8 * 1024 * 1024))
        QSKIP("a file system of its own needs root and mount namespaces");
    offer(request(QStorageInfo(save).bytesAvailable() - 3 * 4096 + beyond, 3));
    QCOMPARE(offers->size(), beyond == 0 ? 1 : 0);
    if (beyond > 0)
        QVERIFY2(endReason().contains(QString::fromUtf8("空间不足")), qPrintable(endReason()));
}

void TestReceiveSession::fullDiskResetsAndSaysSo()
{
    if (!saveOnTmpfs(1024 * 1024))
        QSKIP("a file system of its own needs root and mount namespaces");
    const QByteArray data(600000, 'd');
    offer(request(data.size(), 1));
    QCOMPARE(offers->size(), 1);
    // Something else takes the space between the question and the body.
    QFile filler(save + "/filler");
    QVERIFY(filler.open(QIODevice::WriteOnly));
    QCOMPARE(filler.write(QByteArray(700 * 1024, 'f')), qint64(700 * 1024));
    filler.close();

    acceptWith(record("big.bin", data) + "OVER\r\n");
    QCOMPARE(peerEnd(*sender), SocketWait::Reset);
    expectEnd(1, ReceiveOutcome::Failed);
    QCOMPARE(endReason(), QString::fromUtf8("磁盘空间不足，未能保存：big.bin"));
    QCOMPARE(entriesOf(save), QStringList{"filler"});
}

// The save folder may be the working folder itself, where the program keeps its own files.
void TestReceiveSession::ownFilesAreNeverReplaced_data()
{
    QTest::addColumn<QString>("name");
    for (const QString &name : SettingsKeys::workingFolderFiles())
        QTest::newRow(qPrintable(name)) << name;
}

void TestReceiveSession::ownFilesAreNeverReplaced()
{
    QFETCH(QString, name);
    session->setSaveFolder(workDir->path(), SettingsKeys::NameClash::Overwrite);
    offer(request(5, 1));
    acceptWith(record(name.toUtf8(), "owned") + "OVER\r\n");
    expectEnd(1, ReceiveOutcome::Failed);
    QCOMPARE(stored.last().status, StoredEntry::Refused);
    QVERIFY(contents(workDir->filePath(name)) != "owned");
}

// A change of the rule while a transfer is asked about applies from the next one on.
void TestReceiveSession::nameClashRuleIsTakenWithTheOffer()
{
    QFile old(save + "/a.txt");
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
    old.close();
    session->setSaveFolder(save, SettingsKeys::NameClash::KeepBoth);
    offer(request(3, 1, "a.txt"));
    QVERIFY(offers->last().at(1).value<ReceiveOffer>().replaced.count == 0);
    session->setSaveFolder(save, SettingsKeys::NameClash::Overwrite);
    acceptWith(record("a.txt", "new") + "OVER\r\n");
    expectEnd(1, ReceiveOutcome::Complete);
    QCOMPARE(contents(save + "/a.txt") + contents(save + "/a (1).txt"), QByteArray("oldnew"));
    QCOMPARE(stored.first().clash, StoredEntry::Renamed);
}

void TestReceiveSession::unansweredQuestionClosesWithoutReply()
{
    listen(10000, 200);
    offer(request(5, 1));
    QCOMPARE(offers->first().at(1).value<ReceiveOffer>().answerMs, 200);
    QCOMPARE(peerEnd(*sender), SocketWait::Closed); // with no reply: none was read before it
    expectEnd(1, ReceiveOutcome::Unanswered);
}

void TestReceiveSession::lateAnswersAndEndsAreDropped()
{
    // An answer to a question that is gone never answers the next one.
    offer(request(5, 1));
    const quint64 first = offeredId();
    sender->abort();
    expectEnd(1, ReceiveOutcome::SenderLeft);
    offer(request(5, 1));
    QVERIFY(offeredId() != first);
    session->accept(first);
    session->refuse(offeredId());
    QCOMPARE(readReply(sender.get()), TransferReply::refusal());

    // Nothing of a listen that was closed is reported after it, not even the end it caused.
    expectEnd(2, ReceiveOutcome::Refused);
    offer(request(5, 1));
    session->close();
    QVERIFY(!session->transferRunning());
    listen(); // its answer comes after the close's own end
    QCOMPARE(ends->size(), 2);
}

void TestReceiveSession::busyReceiverRefusesAndTells()
{
    listen(600000, 20000);
    QSignalSpy busy(session.get(), &ReceiveSession::busyRefused);
    // Connections that say nothing wait beside each other and hold nobody up.
    std::vector<std::unique_ptr<QTcpSocket>> silent(3);
    for (auto &socket : silent) {
        socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(socket->waitForConnected(10000));
    }
    offer(request(5, 1));
    QCOMPARE(offers->size(), 1);

    // Others while one is asked about are refused; the user hears of each address once a minute.
    for (const char *from : {"127.0.0.1 小红", "127.0.0.1 小红", "127.0.0.2 小刚"}) {
        const QStringList parts = QString::fromUtf8(from).split(' ');
        QTcpSocket other;
        QVERIFY(other.bind(QHostAddress(parts.first())));
        other.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(other.waitForConnected(10000));
        other.write(request(5, 1, "x", parts.last().toUtf8()));
        QCOMPARE(readReply(&other), TransferReply::refusal());
    }
    QTRY_COMPARE(busy.size(), 2);
    QCOMPARE(busy.at(0), (QList<QVariant>{QString::fromUtf8("小红"), "127.0.0.1"}));
    QCOMPARE(busy.at(1), (QList<QVariant>{QString::fromUtf8("小刚"), "127.0.0.2"}));
    // The silent ones get the refusal too, once they have had a short while.
    for (const auto &socket : silent)
        QCOMPARE(readReply(socket.get()), TransferReply::refusal());
    QCOMPARE(offers->size() + ends->size(), 1);
}

// Leaving the view or closing the window never waits for the worker, whatever it is doing.
void TestReceiveSession::callsNeverWaitForTheWorker()
{
    QSemaphore held;
    QSemaphore release;
    auto *blocker = new QObject;
    blocker->moveToThread(session->findChild<QThread *>());
    QMetaObject::invokeMethod(
        blocker,
        [&held, &release, blocker] {
            held.release();
            release.acquire();
            blocker->deleteLater();
        },
        Qt::QueuedConnection);
    QVERIFY(held.tryAcquire(1, 10000));
    session->close();
    session->cancel(1);
    release.release(); // only reached if none of them waited
    listen();
}

QTEST_GUILESS_MAIN(TestReceiveSession)
#include "tst_receivesession.moc"
