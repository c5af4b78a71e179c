#include "receive/receivesession.h"

#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "send/socketwait.h"
#include "settings/settingskeys.h"

#include "tempworkdir.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {

QByteArray record(const QByteArray &name, const QByteArray &data)
{
    return name + "\r\nfile\r\n" + QByteArray::number(data.size()) + "\r\n" + data + "File end\r\n";
}

QByteArray request(qint64 size, int items, const QByteArray &target = "docs")
{
    TransferRequest r;
    r.target = QString::fromUtf8(target);
    r.kind = "folder";
    r.filesNumber = 1;
    r.itemsNumber = items;
    r.contentLength = size;
    r.senderName = QString::fromUtf8("小明");
    return r.toUtf8();
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Blocks this thread (the session works in its own) until the receiver ends the connection, and
// tells an orderly close from a reset, which Qt would read alike.
SocketWait::PeerEnd peerEnd(const QTcpSocket &socket)
{
    for (int i = 0; i < 300; ++i) {
        const SocketWait::PeerEnd end = SocketWait::peerEnd(socket.socketDescriptor(), 100);
        if (end != SocketWait::Pending)
            return end;
    }
    return SocketWait::Pending;
}

} // namespace

class TestReceiveSession : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void acceptedBodyIsStoredAndConfirmed();
    void refusalKeepsNothing();
    void invalidRequestsAreRefused_data();
    void invalidRequestsAreRefused();
    void cancelRemovesThePartialItem();
    void cutBodyKeepsWholeRecords();
    void storageFailureResets();
    void ownFilesAreNeverReplaced_data();
    void ownFilesAreNeverReplaced();
    void unansweredQuestionClosesWithoutReply();

private:
    // Connects, sends the request and waits for the offer.
    void offer(const QByteArray &head, const QByteArray &early = QByteArray());
    QByteArray readReply();

    std::unique_ptr<TempWorkDir> workDir;
    std::unique_ptr<ReceiveSession> session;
    std::unique_ptr<QTcpSocket> sender;
    std::unique_ptr<QSignalSpy> offers;
    std::unique_ptr<QSignalSpy> ends;
    QList<StreamUnpacker::Entry> stored;
    QString save;
    quint16 port = 0;
};

void TestReceiveSession::init()
{
    workDir = std::make_unique<TempWorkDir>();
    save = workDir->filePath("save");
    QVERIFY(QDir().mkdir(save));
    QSettings("config.ini", QSettings::IniFormat).setValue("saveDir", save);
    session = std::make_unique<ReceiveSession>();
    session->setTimeouts(10000, 20000);
    port = freePort();
    QString error;
    QVERIFY2(session->listen(QHostAddress::LocalHost, port, &error), qPrintable(error));
    offers = std::make_unique<QSignalSpy>(session.get(), &ReceiveSession::offered);
    ends = std::make_unique<QSignalSpy>(session.get(), &ReceiveSession::ended);
    stored.clear();
    connect(session.get(), &ReceiveSession::itemsStored, this,
            [this](const QList<StreamUnpacker::Entry> &entries) { stored += entries; });
}

void TestReceiveSession::cleanup()
{
    sender.reset();
    session.reset();
    workDir.reset();
}

void TestReceiveSession::offer(const QByteArray &head, const QByteArray &early)
{
    sender = std::make_unique<QTcpSocket>();
    sender->connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(sender->waitForConnected(10000));
    sender->write(head + early);
    QVERIFY(sender->waitForBytesWritten(10000));
    QTRY_COMPARE_WITH_TIMEOUT(offers->size() + ends->size(), 1, 10000);
}

QByteArray TestReceiveSession::readReply()
{
    QByteArray reply;
    for (int i = 0; i < 100 && !reply.contains("\r\n\r\n"); ++i) {
        sender->waitForReadyRead(100);
        reply += sender->readAll();
    }
    return reply;
}

void TestReceiveSession::acceptedBodyIsStoredAndConfirmed()
{
    const QByteArray a = "hello";
    const QByteArray b(300000, 'x');
    offer(request(a.size() + b.size(), 3));
    const ReceiveOffer o = offers->first().first().value<ReceiveOffer>();
    QCOMPARE(o.sender, QString::fromUtf8("小明"));
    QCOMPARE(o.target, QString("docs"));
    QCOMPARE(o.size, qint64(a.size() + b.size()));
    QCOMPARE(o.items, 3);
    QVERIFY(!o.isFile);
    QVERIFY(session->transferRunning());

    QSignalSpy progress(session.get(), &ReceiveSession::progress);
    session->accept();
    QCOMPARE(readReply(), TransferReply::accept());
    const QByteArray body =
        "docs\r\nfolder\r\n" + record("docs/a.txt", a) + record("docs/b", b) + "OVER\r\n";
    sender->write(body);
    while (sender->bytesToWrite() > 0)
        QVERIFY(sender->waitForBytesWritten(10000));
    // The receiver ends the connection itself, and in order, once everything is stored.
    QCOMPARE(peerEnd(*sender), SocketWait::Closed);
    QTRY_COMPARE(ends->size(), 1);
    QCOMPARE(ends->first().first().toInt(), int(ReceiveServer::Complete));
    QVERIFY(!session->transferRunning());

    QCOMPARE(stored.size(), 3);
    QCOMPARE(stored.at(1).storedPath, save + "/docs/a.txt");
    QFile file(save + "/docs/b");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == b);
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(a.size() + b.size()));
    QFile stream("stream");
    QVERIFY(stream.open(QIODevice::ReadOnly));
    QVERIFY(stream.readAll() == body);
}

// Bytes pushed before the answer are held, not written: after a refusal nothing of them is kept.
void TestReceiveSession::refusalKeepsNothing()
{
    offer(request(5, 1), record("a", "hello") + "OVER\r\n");
    session->refuse();
    QCOMPARE(readReply(), TransferReply::refusal());
    QTRY_COMPARE(ends->size(), 1);
    QCOMPARE(ends->first().first().toInt(), int(ReceiveServer::Refused));
    QCOMPARE(QFileInfo("stream").size(), qint64(0));
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
        << request(10, 1) << QByteArray(ReceiveServer::maxEarlyBytes + 1, 'x');
}

void TestReceiveSession::invalidRequestsAreRefused()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, early);
    offer(head);
    if (!early.isEmpty()) {
        sender->write(early);
        QTRY_COMPARE(ends->size(), 1);
    }
    QTRY_COMPARE(ends->size(), 1);
    QCOMPARE(ends->first().first().toInt(), int(ReceiveServer::Failed));
    QVERIFY(!ends->first().at(1).toString().isEmpty());
    QCOMPARE(offers->size(), early.isEmpty() ? 0 : 1);
    QCOMPARE(QFileInfo("stream").size(), qint64(0));
    QVERIFY(QDir(save).isEmpty());
}

void TestReceiveSession::cancelRemovesThePartialItem()
{
    offer(request(1000000, 1));
    session->accept();
    readReply();
    QSignalSpy progress(session.get(), &ReceiveSession::progress);
    sender->write("big\r\nfile\r\n1000000\r\n" + QByteArray(1000, 'x'));
    QTRY_VERIFY(!progress.isEmpty() && progress.last().first().toLongLong() == 1000);
    session->cancel();
    QVERIFY(peerEnd(*sender) != SocketWait::Pending);
    QTRY_COMPARE(ends->size(), 1);
    QCOMPARE(ends->first().first().toInt(), int(ReceiveServer::Incomplete));
    QCOMPARE(QDir(save).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
}

void TestReceiveSession::cutBodyKeepsWholeRecords()
{
    offer(request(10, 2));
    session->accept();
    readReply();
    sender->write(record("one", "12345") + "two\r\nfile\r\n5\r\n12");
    QTRY_COMPARE(stored.size(), 1);
    sender->disconnectFromHost();
    QTRY_COMPARE(ends->size(), 1);
    QCOMPARE(ends->first().first().toInt(), int(ReceiveServer::Incomplete));
    QCOMPARE(stored.last().status, StreamUnpacker::Incomplete);
    QCOMPARE(stored.last().name, QString("two"));
    QVERIFY(QFileInfo::exists(save + "/one"));
    QCOMPARE(QDir(save).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"one"});
}

// A record that cannot be stored ends the transfer at once, with a reset the sender can tell.
void TestReceiveSession::storageFailureResets()
{
    QVERIFY(QDir(save).mkdir("taken"));
    offer(request(10, 2));
    session->accept();
    readReply();
    sender->write(record("taken", "12345"));
    QVERIFY(sender->waitForBytesWritten(10000));
    QCOMPARE(peerEnd(*sender), SocketWait::Reset);
    QTRY_COMPARE(ends->size(), 1);
    QCOMPARE(ends->first().first().toInt(), int(ReceiveServer::Failed));
    QCOMPARE(stored.last().status, StreamUnpacker::WriteFailed);
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
    QSettings("config.ini", QSettings::IniFormat).setValue("saveDir", workDir->path());
    offer(request(5, 1));
    session->accept();
    readReply();
    sender->write(record(name.toUtf8(), "owned") + "OVER\r\n");
    QTRY_COMPARE(ends->size(), 1);
    QCOMPARE(ends->first().first().toInt(), int(ReceiveServer::Failed));
    QCOMPARE(stored.last().status, StreamUnpacker::Refused);
    QFile file(workDir->filePath(name));
    QVERIFY(!file.open(QIODevice::ReadOnly) || file.readAll() != "owned");
}

void TestReceiveSession::unansweredQuestionClosesWithoutReply()
{
    session->setTimeouts(10000, 200);
    QString error;
    QVERIFY(session->listen(QHostAddress::LocalHost, port, &error));
    offer(request(5, 1));
    QCOMPARE(offers->first().first().value<ReceiveOffer>().answerMs, 200);
    QCOMPARE(peerEnd(*sender), SocketWait::Closed); // with no reply: none was read before it
    QTRY_COMPARE(ends->size(), 1);
    QCOMPARE(ends->first().first().toInt(), int(ReceiveServer::Unanswered));
}

QTEST_GUILESS_MAIN(TestReceiveSession)
#include "tst_receivesession.moc"
