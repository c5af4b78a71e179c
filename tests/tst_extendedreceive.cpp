#include "protocol/extendedprotocol.h"
#include "protocol/manifest.h"
#include "protocol/transferplan.h"
#include "protocol/transferreply.h"
#include "receive/receivesession.h"
#include "receive/savefolder.h"
#include "records/fileidentity.h"
#include "records/hashcache.h"
#include "records/partialregistry.h"
#include "send/socketwait.h"
#include "settings/settingskeys.h"

#include "receivetest.h"
#include "tempworkdir.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>

#include <QtTest>

#include <memory>

#include <sys/socket.h>

namespace {

const QString senderA = QStringLiteral("sender-a");

// An item the test sends: a folder when `data` is null.
struct Item
{
    QByteArray name;
    QByteArray data;
};

Manifest manifestOf(const QList<Item> &items)
{
    Manifest manifest;
    for (const Item &item : items) {
        Manifest::Item entry;
        entry.name = QString::fromUtf8(item.name);
        entry.isFile = !item.data.isNull();
        entry.size = item.data.size();
        ContentHash hash;
        hash.add(item.data.constData(), item.data.size());
        entry.hash = hash.value();
        entry.hasHash = true;
        manifest.items << entry;
    }
    return manifest;
}

ContentHash::Value hashOf(const QByteArray &data)
{
    ContentHash hash;
    hash.add(data.constData(), data.size());
    return hash.value();
}

void write(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
}

} // namespace

class TestExtendedReceive : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void identicalFilesAreSkipped_data();
    void identicalFilesAreSkipped();
    void mismatchIsNotKept();
    void namesOutsideAreNeverCompared();
    void invalidManifestsAreRefused_data();
    void invalidManifestsAreRefused();

private:
    void listen();
    // Connects to the extended port, sends the request with the manifest of `items` and waits
    // for the offer (or the end, for a refused one).
    void offer(const QList<Item> &items, const QString &sender = senderA,
               const QByteArray &manifestBytes = QByteArray());
    // Accepts the offer and returns the plan the reply carries.
    TransferPlan accept();
    // The body for `plan`; a resumed file from its offset unless `whole`.
    QByteArray body(const TransferPlan &plan, bool whole = false) const;
    void send(const QByteArray &bytes);
    void expectEnd(int count, ReceiveServer::Outcome outcome);
    ReceiveOffer lastOffer() const { return offers->last().at(1).value<ReceiveOffer>(); }

    std::unique_ptr<TempWorkDir> workDir;
    std::unique_ptr<ReceiveSession> session;
    std::unique_ptr<QTcpSocket> sender;
    std::unique_ptr<QSignalSpy> offers;
    std::unique_ptr<QSignalSpy> ends;
    std::unique_ptr<QSignalSpy> progress;
    QList<StoredEntry> stored;
    QList<Item> sent;
    Manifest manifest;
    QString save;
    quint16 extendedPort = 0;
};

void TestExtendedReceive::init()
{
    workDir = std::make_unique<TempWorkDir>();
    save = workDir->filePath("save");
    QVERIFY(QDir().mkdir(save));
    QSettings("config.ini", QSettings::IniFormat).setValue("saveDir", save);
    session = std::make_unique<ReceiveSession>();
    offers = std::make_unique<QSignalSpy>(session.get(), &ReceiveSession::offered);
    ends = std::make_unique<QSignalSpy>(session.get(), &ReceiveSession::ended);
    progress = std::make_unique<QSignalSpy>(session.get(), &ReceiveSession::progress);
    stored.clear();
    connect(session.get(), &ReceiveSession::itemsStored, this,
            [this](quint64, const QList<StoredEntry> &entries) { stored += entries; });
    listen();
}

void TestExtendedReceive::cleanup()
{
    sender.reset();
    session.reset();
    workDir.reset();
}

void TestExtendedReceive::listen()
{
    QSignalSpy listening(session.get(), &ReceiveSession::listening);
    extendedPort = freePort();
    session->setTimeouts(10000, 20000);
    session->listen(QHostAddress::LocalHost, freePort(), extendedPort);
    QTRY_COMPARE(listening.size(), 1);
    QVERIFY(listening.first().first().toBool());
    QCOMPARE(listening.first().at(2).toUInt(), uint(extendedPort));
}

void TestExtendedReceive::offer(const QList<Item> &items, const QString &senderId,
                                const QByteArray &manifestBytes)
{
    sent = items;
    manifest = manifestOf(items);
    TransferRequest request;
    request.target = QString::fromUtf8(items.first().name).section('/', 0, 0);
    request.kind = "folder";
    request.filesNumber = 1;
    request.itemsNumber = items.size();
    request.contentLength = manifest.totalSize();
    request.senderName = QStringLiteral("小明");
    const int before = offers->size() + ends->size();
    sender = std::make_unique<QTcpSocket>();
    sender->connectToHost(QHostAddress::LocalHost, extendedPort);
    QVERIFY(sender->waitForConnected(10000));
    send(ExtendedProtocol::request(request, senderId,
                                   manifestBytes.isNull() ? manifest.toBytes() : manifestBytes));
    QTRY_COMPARE_WITH_TIMEOUT(offers->size() + ends->size(), before + 1, 10000);
}

TransferPlan TestExtendedReceive::accept()
{
    session->accept(offers->last().first().toULongLong());
    QByteArray reply;
    ExtendedProtocol::Message message;
    for (int i = 0; i < 100 && message.kind != ExtendedProtocol::Message::Accepted; ++i) {
        sender->waitForReadyRead(100);
        reply += sender->readAll();
        for (int taken;
             (taken = ExtendedProtocol::takeMessage(reply, manifest.items.size(), &message)) > 0;)
            reply.remove(0, taken);
    }
    TransferPlan plan;
    if (message.kind != ExtendedProtocol::Message::Accepted ||
        !TransferPlan::parse(message.plan, manifest, &plan))
        qWarning() << "no plan in" << reply;
    return plan;
}

QByteArray TestExtendedReceive::body(const TransferPlan &plan, bool whole) const
{
    QByteArray bytes;
    for (int i = 0; i < sent.size(); ++i) {
        const TransferPlan::Step &step = plan.steps.value(i);
        if (sent.at(i).data.isNull() || step.action == TransferPlan::Skip)
            continue;
        const qint64 from = step.action == TransferPlan::Resume && !whole ? step.offset : 0;
        bytes += ExtendedProtocol::partLine(i, from) + sent.at(i).data.mid(int(from)) +
                 ExtendedProtocol::hashLine(hashOf(sent.at(i).data));
    }
    return bytes + ExtendedProtocol::endLine();
}

void TestExtendedReceive::send(const QByteArray &bytes)
{
    sender->write(bytes);
    while (sender->bytesToWrite() > 0 && sender->waitForBytesWritten(10000)) {
    }
}

void TestExtendedReceive::expectEnd(int count, ReceiveServer::Outcome outcome)
{
    QTRY_COMPARE(ends->size(), count);
    QCOMPARE(ends->last().at(1).toInt(), int(outcome));
}

// Identical files are neither sent nor touched, and make their item a continuation: stored in
// place, where each other file that meets one of its name obeys the rule.
void TestExtendedReceive::identicalFilesAreSkipped_data()
{
    QTest::addColumn<int>("rule");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QByteArray>("changed");
    QTest::newRow("overwrite") << int(SettingsKeys::NameClash::Overwrite)
                               << QStringList{"changed.txt", "new.txt", "same.txt"}
                               << QByteArray("after!");
    QTest::newRow("keep both") << int(SettingsKeys::NameClash::KeepBoth)
                               << QStringList{"changed (1).txt", "changed.txt", "new.txt",
                                              "same.txt"}
                               << QByteArray("before");
    QTest::newRow("skip") << int(SettingsKeys::NameClash::Skip)
                          << QStringList{"changed.txt", "new.txt", "same.txt"}
                          << QByteArray("before");
}

void TestExtendedReceive::identicalFilesAreSkipped()
{
    QFETCH(int, rule);
    QFETCH(QStringList, files);
    QFETCH(QByteArray, changed);
    QSettings config("config.ini", QSettings::IniFormat);
    SettingsKeys::setNameClash(config, SettingsKeys::NameClash(rule));
    config.sync();
    write(save + "/docs/same.txt", "same");
    write(save + "/docs/changed.txt", "before");
    offer({{"docs", QByteArray()},
           {"docs/same.txt", "same"},
           {"docs/changed.txt", "after!"},
           {"docs/new.txt", "new contents"}});
    QCOMPARE(lastOffer().skippedFiles, 1);
    QCOMPARE(lastOffer().skippedBytes, qint64(4));
    QCOMPARE(lastOffer().movingBytes(), qint64(18));
    const TransferPlan plan = accept();
    QCOMPARE(plan.steps.at(1).action, TransferPlan::Skip);
    send(body(plan));
    QCOMPARE(peerEnd(*sender), SocketWait::Closed);
    expectEnd(1, ReceiveServer::Complete);
    QCOMPARE(progress->last().at(2).toLongLong(), qint64(18));

    QCOMPARE(entriesOf(save), QStringList{"docs"});
    QCOMPARE(entriesOf(save + "/docs"), files);
    QCOMPARE(contents(save + "/docs/changed.txt") + contents(save + "/docs/new.txt"),
             changed + "new contents");
    for (const StoredEntry &entry : qAsConst(stored))
        QVERIFY2(entry.name != QLatin1String("docs/same.txt") ||
                     entry.clash == StoredEntry::Unchanged,
                 qPrintable(entry.name));

    // What was verified is remembered, so that the next offer of it reads nothing.
    const QString verified = save + "/docs/new.txt";
    ContentHash::Value remembered;
    QVERIFY(HashCache::shared().lookup(verified, FileIdentity::of(verified), &remembered));
    QCOMPARE(remembered, hashOf("new contents"));
}

void TestExtendedReceive::mismatchIsNotKept()
{
    offer({{"a.bin", "announced"}});
    sent.first().data = "delivered";
    send(body(accept()));
    QCOMPARE(peerEnd(*sender), SocketWait::Reset);
    expectEnd(1, ReceiveServer::Failed);
    QCOMPARE(stored.last().status, StoredEntry::Mismatch);
    QCOMPARE(stored.last().name, QString("a.bin"));
    QVERIFY(entriesOf(save).isEmpty());
}

// A sender must not learn, through the plan, what lies outside the save folder or in the
// program's own files.
void TestExtendedReceive::namesOutsideAreNeverCompared()
{
    write(workDir->filePath("outside.txt"), "secret");
    offer({{"../outside.txt", "secret"}});
    QCOMPARE(lastOffer().skippedFiles, 0);
    session->refuse(offers->last().first().toULongLong());
    expectEnd(1, ReceiveServer::Refused);
    QSettings("config.ini", QSettings::IniFormat).setValue("saveDir", workDir->path());
    offer({{"config.ini", contents("config.ini")}});
    QCOMPARE(lastOffer().skippedFiles, 0);
    send(body(accept()));
    expectEnd(2, ReceiveServer::Failed);
    QCOMPARE(stored.last().status, StoredEntry::Refused);
}

void TestExtendedReceive::invalidManifestsAreRefused_data()
{
    QTest::addColumn<QByteArray>("manifest");
    const Manifest two = manifestOf({{"a", "12345"}, {"b", QByteArray()}});
    const Manifest other = manifestOf({{"a", "123456"}});
    QTest::newRow("not a manifest") << QByteArray("X a\n");
    QTest::newRow("more items than the request") << two.toBytes();
    QTest::newRow("other size than the request") << other.toBytes();
}

void TestExtendedReceive::invalidManifestsAreRefused()
{
    QFETCH(QByteArray, manifest);
    offer({{"a", "12345"}}, senderA, manifest);
    expectEnd(1, ReceiveServer::Failed);
    QCOMPARE(offers->size(), 0);
    QCOMPARE(ends->last().at(2).toString(), QString::fromUtf8("请求无效，拒绝传输！"));
}

QTEST_GUILESS_MAIN(TestExtendedReceive)
#include "tst_extendedreceive.moc"
