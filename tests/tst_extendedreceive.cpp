#include "protocol/extendedprotocol.h"
#include "protocol/manifest.h"
#include "protocol/transferplan.h"
#include "receive/incomingtransfer.h"
#include "receive/receivesession.h"
#include "records/fileidentity.h"
#include "records/hashcache.h"
#include "records/knowndevices.h"
#include "records/partialregistry.h"
#include "security/pairingcode.h"
#include "security/tlsrelay.h"
#include "send/socketwait.h"
#include "settings/settingskeys.h"

#include "receivetest.h"
#include "tempworkdir.h"
#include "testdata.h"
#include "tlspeer.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <QtTest>

#include <memory>

#include <sys/socket.h>

namespace {

const QString senderA = QStringLiteral("sender-a");
const QString senderB = QStringLiteral("sender-b");

// An item the test sends: a folder when `data` is null.
struct Item
{
    QByteArray name;
    QByteArray data;
};

// Hashes told only when `hashed`, as by a sender whose cache has none of the files yet.
Manifest manifestOf(const QList<Item> &items, bool hashed = true)
{
    Manifest manifest;
    for (const Item &item : items) {
        Manifest::Item entry;
        entry.name = QString::fromUtf8(item.name);
        entry.isFile = !item.data.isNull();
        entry.size = item.data.size();
        entry.version = quint64(item.data.size()) + 1;
        entry.hasHash = hashed;
        entry.hash = hashOf(item.data);
        manifest.items << entry;
    }
    return manifest;
}

void write(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
}

// What the receiver said up to its answer or its question for hashes: the kinds of its messages
// before it ("W", "A"), and the plan of a "Y", the reason of an "N" or the files a "C" asks for.
struct Answer
{
    QList<int> before;
    QVector<int> indexes;
    bool accepted = false;
    QByteArray plan;
    QString reason;
    QByteArray nonce; // the receiver pairs
};

Answer readAnswer(QTcpSocket *socket, int items)
{
    Answer answer;
    QByteArray bytes;
    ExtendedProtocol::Message message;
    for (int i = 0; i < 300; ++i) {
        if (socket->bytesAvailable() == 0)
            socket->waitForReadyRead(100);
        bytes += socket->readAll();
        for (int taken; (taken = ExtendedProtocol::takeMessage(bytes, items, &message)) > 0;) {
            bytes.remove(0, taken);
            answer.accepted = message.kind == ExtendedProtocol::Message::Accepted;
            answer.plan = message.plan;
            answer.reason = message.reason;
            answer.indexes = message.indexes;
            answer.nonce = message.nonce;
            if (answer.accepted || message.kind == ExtendedProtocol::Message::Refused ||
                message.kind == ExtendedProtocol::Message::NeedHashes ||
                message.kind == ExtendedProtocol::Message::Pairing)
                return answer;
            answer.before << message.kind;
        }
    }
    return answer;
}

// A planner that waits until the test lets it go or it is cancelled, and takes a moment to stop,
// as one deep in a file would.
struct HeldPlanner
{
    std::shared_ptr<std::atomic<bool>> running = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<bool>> release = std::make_shared<std::atomic<bool>>(false);

    std::function<void(const std::atomic<bool> &)> hook() const
    {
        return [running = running, release = release](const std::atomic<bool> &cancelled) {
            *running = true;
            while (!cancelled && !*release)
                QThread::msleep(5);
            if (cancelled)
                QThread::msleep(200);
            *running = false;
        };
    }
};

} // namespace

class TestExtendedReceive : public QObject
{
    Q_OBJECT

private slots:
    // A relay may outlive its transfer and still log: all end before the test closes its log.
    void cleanupTestCase() { QVERIFY(TlsRelay::waitForAll(30000)); }
    void init();
    void cleanup();
    void identicalFilesAreSkipped();
    void cutKeepsThePartialFile_data();
    void cutKeepsThePartialFile();
    void cutFileIsContinued_data();
    void cutFileIsContinued();
    void unhashedFilesAreAskedFor();
    void mismatchIsNotKept();
    void namesOutsideAreNeverCompared();
    void refusalReasonReachesTheSender_data();
    void refusalReasonReachesTheSender();
    void peerHoldsLittleBeforeTheQuestion_data();
    void peerHoldsLittleBeforeTheQuestion();
    void planningIsToldAndTheAnswerTimeStartsAtTheQuestion_data();
    void planningIsToldAndTheAnswerTimeStartsAtTheQuestion();
    void closingWaitsForThePlanner_data();
    void closingWaitsForThePlanner();
    void idMustBeTheCertificates();
    void pairing_data();
    void pairing();

private:
    void listen();
    // Connects to the extended port and sends the request offering `offered`.
    void request(const Manifest &offered, const QString &senderId = senderA,
                 const QByteArray &manifestBytes = QByteArray());
    // Connects to the extended port, sends the request with the manifest of `items` and waits
    // for the offer (or the end, for a refused one).
    void offer(const QList<Item> &items, const QString &sender = senderA,
               const QByteArray &manifestBytes = QByteArray());
    // Accepts the offer and returns the plan the reply carries.
    TransferPlan accept();
    // The body for `plan`; a resumed file from its offset unless `whole`.
    QByteArray body(const TransferPlan &plan, bool whole = false) const;
    void send(const QByteArray &bytes);
    void expectEnd(int count, ReceiveOutcome::Outcome outcome);
    // A transfer of `data` as "big.bin" cut by the sender after `bytes`, which are stored.
    void cutAfter(const QByteArray &data, int bytes, const QString &how = QStringLiteral("close"));
    ReceiveOffer lastOffer() const { return offers->last().at(1).value<ReceiveOffer>(); }

    std::unique_ptr<TempWorkDir> workDir;
    std::unique_ptr<ReceiveSession> session;
    std::unique_ptr<QTcpSocket> sender;
    std::unique_ptr<QSignalSpy> offers;
    std::unique_ptr<QSignalSpy> ends;
    std::unique_ptr<QSignalSpy> progress;
    QList<StoredEntry> stored;
    int unchanged = 0; // files inside folders, only counted
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
    // The test's senders have paired with this receiver before.
    for (const QString &name : {senderA, senderB})
        QVERIFY(
            KnownDevices().remember(TlsPeer::identity(name).fingerprint(), "小明", "127.0.0.1"));
    session = std::make_unique<ReceiveSession>();
    session->setSaveFolder(save, SettingsKeys::NameClash::Overwrite);
    offers = std::make_unique<QSignalSpy>(session.get(), &ReceiveSession::offered);
    ends = std::make_unique<QSignalSpy>(session.get(), &ReceiveSession::ended);
    progress = std::make_unique<QSignalSpy>(session.get(), &ReceiveSession::progress);
    stored.clear();
    unchanged = 0;
    connect(session.get(), &ReceiveSession::itemsStored, this,
            [this](quint64, const QList<StoredEntry> &entries, int files) {
                stored += entries;
                unchanged += files;
            });
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
    const int before = offers->size() + ends->size();
    request(manifestOf(items), senderId, manifestBytes);
    QTRY_COMPARE_WITH_TIMEOUT(offers->size() + ends->size(), before + 1, 10000);
}

void TestExtendedReceive::request(const Manifest &offered, const QString &senderId,
                                  const QByteArray &manifestBytes)
{
    manifest = offered;
    sender = std::make_unique<QTcpSocket>();
    QVERIFY(TlsPeer::connect(sender.get(), extendedPort, senderId));
    send(extendedRequest(manifest, TlsPeer::identity(senderId).fingerprint().hex(), manifestBytes,
                         Identity::shared().fingerprint().hex()));
}

TransferPlan TestExtendedReceive::accept()
{
    session->accept(offers->last().first().toULongLong());
    const Answer answer = readAnswer(sender.get(), manifest.items.size());
    TransferPlan plan;
    if (!answer.accepted || !TransferPlan::parse(answer.plan, manifest, &plan))
        qWarning() << "no plan:" << answer.reason;
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

void TestExtendedReceive::expectEnd(int count, ReceiveOutcome::Outcome outcome)
{
    QTRY_COMPARE(ends->size(), count);
    QCOMPARE(ends->last().at(1).toInt(), int(outcome));
}

void TestExtendedReceive::cutAfter(const QByteArray &data, int bytes, const QString &how)
{
    offer({{"big.bin", data}});
    const TransferPlan plan = accept();
    QCOMPARE(plan.skippedFiles(), 0);
    send(ExtendedProtocol::partLine(0, 0) + data.left(bytes));
    QTRY_VERIFY(!progress->isEmpty() && progress->last().at(1).toLongLong() == bytes);
    const int before = ends->size();
    if (how == "cancel") {
        session->cancel(offers->last().first().toULongLong());
    } else if (how == "reset") {
        const struct linger hard = {1, 0};
        ::setsockopt(int(sender->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        sender->abort();
        expectEnd(before + 1, ReceiveOutcome::Incomplete);
        return;
    } else if (how == "quit") {
        session.reset(); // as the program ends
    } else {
        // Only the sender's half: it could still read a confirmation, and must get none.
        ::shutdown(int(sender->socketDescriptor()), SHUT_WR);
    }
    QCOMPARE(peerEnd(*sender), SocketWait::Reset);
    if (session)
        expectEnd(before + 1, ReceiveOutcome::Incomplete);
}

// Identical files are neither sent nor touched, and make their item a continuation: stored in
// place, where each other file that meets one of its name obeys the rule (the rules themselves
// are tried in tst_savefolder).
void TestExtendedReceive::identicalFilesAreSkipped()
{
    session->setSaveFolder(save, SettingsKeys::NameClash::KeepBoth);
    write(save + "/docs/same.txt", "same");
    write(save + "/docs/changed.txt", "before");
    offer({{"docs", QByteArray()},
           {"docs/same.txt", "same"},
           {"docs/changed.txt", "after!"},
           {"docs/new.txt", "new contents"}});
    QCOMPARE(lastOffer().skippedFiles, 1);
    QCOMPARE(lastOffer().skippedBytes, qint64(4));
    QCOMPARE(lastOffer().movingBytes(), qint64(18));
    QCOMPARE(lastOffer().peer, TlsPeer::identity(senderA).fingerprint());
    const TransferPlan plan = accept();
    QCOMPARE(plan.steps.at(1).action, TransferPlan::Skip);
    send(body(plan));
    QCOMPARE(peerEnd(*sender), SocketWait::Closed);
    expectEnd(1, ReceiveOutcome::Complete);
    QCOMPARE(progress->last().at(2).toLongLong(), qint64(18));
    QCOMPARE(unchanged, 1);
    QVERIFY(std::none_of(stored.cbegin(), stored.cend(), [](const StoredEntry &entry) {
        return entry.clash == StoredEntry::Unchanged;
    }));

    QCOMPARE(entriesOf(save), QStringList{"docs"});
    QCOMPARE(entriesOf(save + "/docs"),
             (QStringList{"changed (1).txt", "changed.txt", "new.txt", "same.txt"}));
    QCOMPARE(contents(save + "/docs/changed (1).txt") + contents(save + "/docs/new.txt"),
             "after!new contents");

    // What was verified is remembered, so that the next offer of it reads nothing.
    const QString verified = save + "/docs/new.txt";
    ContentHash::Value remembered;
    QVERIFY(HashCache::shared().lookup(verified, FileIdentity::of(verified), &remembered));
    QCOMPARE(remembered, hashOf("new contents"));
}

// However an extended transfer is cut, the file being written stays, hidden, for the next one.
void TestExtendedReceive::cutKeepsThePartialFile_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("bytes"); // beyond the first resume step
    QTest::newRow("a file 1,000 bytes short, then the sender's half-close") << "close" << 299000;
    QTest::newRow("sender resets") << "reset" << 120000;
    QTest::newRow("user cancels") << "cancel" << 120000;
    QTest::newRow("the program ends") << "quit" << 120000;
}

void TestExtendedReceive::cutKeepsThePartialFile()
{
    QFETCH(QString, how);
    QFETCH(int, bytes);
    // Kept up to the last whole step the hash state was saved at.
    const int step = int(ExtendedProtocol::resumeStep);
    const QByteArray data(step + 300000, 'k');
    cutAfter(data, step + bytes, how);
    QVERIFY(how == "quit" || stored.last().status == StoredEntry::Incomplete);
    QCOMPARE(entriesOf(save), QStringList{".big.bin.nubo-partial"});
    QVERIFY(contents(save + "/.big.bin.nubo-partial") == data.left(step));
    const std::optional<PartialRegistry::Entry> kept =
        PartialRegistry().find(TlsPeer::identity(senderA).fingerprint().hex(), "big.bin",
                               data.size(), manifest.items.first().version, std::nullopt);
    QVERIFY(kept && kept->finalPath == save + "/big.bin" && kept->kept == step);
}

// The next transfer of the same file from the same sender continues it where the sender's first
// bytes hash alike; otherwise the file comes whole. Either way it ends verified and complete.
void TestExtendedReceive::cutFileIsContinued_data()
{
    QTest::addColumn<QString>("senderId");
    QTest::addColumn<bool>("whole"); // the sender's start differs from the kept bytes
    QTest::addColumn<qint64>("moved");
    const qint64 step = ExtendedProtocol::resumeStep;
    QTest::newRow("same sender, from the kept step") << senderA << false << qint64(200000);
    QTest::newRow("same sender, sent whole") << senderA << true << step + 200000;
    QTest::newRow("another sender") << senderB << false << step + 200000;
}

void TestExtendedReceive::cutFileIsContinued()
{
    QFETCH(QString, senderId);
    QFETCH(bool, whole);
    QFETCH(qint64, moved);
    // Continued only from a whole step, past what the cut left of the next one.
    const qint64 step = ExtendedProtocol::resumeStep;
    const QByteArray data = pattern(step + 200000);
    cutAfter(data, int(step) + 100000);
    stored.clear();

    offer({{"big.bin", data}}, senderId);
    const bool resumed = senderId == senderA;
    QCOMPARE(lastOffer().resumedBytes, resumed ? step : qint64(0));
    const TransferPlan plan = accept();
    if (resumed) {
        QCOMPARE(plan.steps.at(0).action, TransferPlan::Resume);
        QCOMPARE(plan.steps.at(0).offset, step);
    }
    send(body(plan, whole));
    QCOMPARE(peerEnd(*sender), SocketWait::Closed);
    expectEnd(2, ReceiveOutcome::Complete);
    QVERIFY(contents(save + "/big.bin") == data);
    QCOMPARE(progress->last().at(1).toLongLong(), moved);
    QCOMPARE(stored.first().status, resumed && !whole ? StoredEntry::Resumed : StoredEntry::Stored);
    // A final path has one partial file: whoever completes it ends it.
    QCOMPARE(entriesOf(save), QStringList{"big.bin"});
    QVERIFY(PartialRegistry().entries().isEmpty());
}

// Files sent without their hashes are compared once the sender told the hashes of those whose
// sizes match a file here; the others are not asked for.
void TestExtendedReceive::unhashedFilesAreAskedFor()
{
    write(save + "/docs/same.txt", "same");
    write(save + "/docs/other.txt", "before");
    request(manifestOf({{"docs", QByteArray()},
                        {"docs/same.txt", "same"},
                        {"docs/other.txt", "after!"},
                        {"docs/new.txt", "new"}},
                       false));
    QCOMPARE(readAnswer(sender.get(), 4).indexes, (QVector<int>{1, 2}));
    send(ExtendedProtocol::hashAnswer(1, hashOf("same")) + ExtendedProtocol::stillHashing() +
         ExtendedProtocol::hashAnswer(2, hashOf("after!")));
    QTRY_COMPARE(offers->size(), 1);
    QCOMPARE(lastOffer().skippedFiles, 1);
    QCOMPARE(lastOffer().skippedBytes, qint64(4));
}

void TestExtendedReceive::mismatchIsNotKept()
{
    offer({{"a.bin", "announced"}});
    sent.first().data = "delivered";
    send(body(accept()));
    QCOMPARE(peerEnd(*sender), SocketWait::Reset);
    expectEnd(1, ReceiveOutcome::Failed);
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
    expectEnd(1, ReceiveOutcome::Refused);
    session->setSaveFolder(workDir->path(), SettingsKeys::NameClash::Overwrite);
    write("config.ini", "[General]\n");
    offer({{"config.ini", contents("config.ini")}});
    QCOMPARE(lastOffer().skippedFiles, 0);
    send(body(accept()));
    expectEnd(2, ReceiveOutcome::Failed);
    QCOMPARE(stored.last().status, StoredEntry::Refused);
}

// The sender shows why it was refused: the receiver's own words, or nothing when its user said no.
void TestExtendedReceive::refusalReasonReachesTheSender_data()
{
    QTest::addColumn<QByteArray>("manifest"); // null: the request's own
    QTest::addColumn<bool>("writable");
    QTest::addColumn<QString>("reason");
    const Manifest two = manifestOf({{"a", "12345"}, {"b", QByteArray()}});
    const Manifest other = manifestOf({{"a", "123456"}});
    const QString invalid = QString::fromUtf8("请求无效，拒绝传输！");
    QTest::newRow("the user says no") << QByteArray() << true << QString();
    QTest::newRow("save folder cannot be written")
        << QByteArray() << false << QString::fromUtf8("保存路径不存在且无法创建");
    QTest::newRow("not a manifest") << QByteArray("X a\n") << true << invalid;
    QTest::newRow("more items than the request") << two.toBytes() << true << invalid;
    QTest::newRow("other size than the request") << other.toBytes() << true << invalid;
}

void TestExtendedReceive::refusalReasonReachesTheSender()
{
    QFETCH(QByteArray, manifest);
    QFETCH(bool, writable);
    QFETCH(QString, reason);
    if (!writable) {
        write(save + "/file", "a file, not a folder");
        session->setSaveFolder(save + "/file/sub", SettingsKeys::NameClash::Overwrite);
    }
    offer({{"a", "12345"}}, senderA, manifest);
    if (!offers->isEmpty())
        session->refuse(offers->last().first().toULongLong());
    const Answer answer = readAnswer(sender.get(), 1);
    QVERIFY(!answer.accepted);
    QVERIFY2(answer.reason.startsWith(reason) && (reason.isEmpty() == answer.reason.isEmpty()),
             qPrintable(answer.reason));
    expectEnd(1, reason.isEmpty() ? ReceiveOutcome::Refused : ReceiveOutcome::Failed);
    QCOMPARE(ends->last().at(2).toString(), answer.reason);
}

// Before its user is asked, a peer holds no more than its offer's size allows, and for no more
// than a short while from its connect; meanwhile a real sender is asked as usual.
void TestExtendedReceive::peerHoldsLittleBeforeTheQuestion_data()
{
    QTest::addColumn<bool>("declaredTooMuch"); // else the manifest trickles in
    QTest::newRow("a manifest declared beyond its limit") << true;
    QTest::newRow("a manifest still coming at the deadline") << false;
}

void TestExtendedReceive::peerHoldsLittleBeforeTheQuestion()
{
    QFETCH(bool, declaredTooMuch);
    session->setTimeouts(10000, 20000, 1000, 1000);
    const Manifest one = manifestOf({{"a", "12345"}});
    const qint64 limit = Manifest::byteLimit(1);
    const QString id = TlsPeer::identity(senderA).fingerprint().hex();
    QByteArray head = extendedRequest(one, id, QByteArray(int(limit) + 1, 'x'));
    head.truncate(head.indexOf("\r\n\r\n") + 4);
    QTcpSocket peer;
    QVERIFY(TlsPeer::connect(&peer, extendedPort, senderA));
    peer.write(declaredTooMuch ? head + QByteArray(int(limit), 'x')
                               : extendedRequest(one, id).chopped(3));
    QVERIFY(peer.waitForBytesWritten(10000));
    if (declaredTooMuch) {
        const Answer answer = readAnswer(&peer, 1);
        QCOMPARE(answer.reason, QString::fromUtf8("请求无效，拒绝传输！"));
    }
    offer({{"b", "67890"}});
    QCOMPARE(offers->size(), 1);
    // With nobody else to wait for, only its own time ends the one still sending.
    session->refuse(offers->last().first().toULongLong());
    expectEnd(1, ReceiveOutcome::Refused);
    QTRY_COMPARE_WITH_TIMEOUT(peer.state(), QAbstractSocket::UnconnectedState, 10000);
    QCOMPARE(offers->size() + ends->size(), 2);
}

// While the receiver plans it says so, and the answer's time runs from the question on.
void TestExtendedReceive::planningIsToldAndTheAnswerTimeStartsAtTheQuestion_data()
{
    QTest::addColumn<bool>("answered");
    QTest::newRow("the user says yes") << true;
    QTest::newRow("no answer in time") << false;
}

void TestExtendedReceive::planningIsToldAndTheAnswerTimeStartsAtTheQuestion()
{
    QFETCH(bool, answered);
    const HeldPlanner planner;
    session->setPlanning(50, planner.hook());
    session->setTimeouts(10000, answered ? 20000 : 300);
    request(manifestOf({{"a", "12345"}}));
    QByteArray told;
    // Longer than the answer's time, before the question.
    while (told.count("W 0 1\n") < 10 && sender->waitForReadyRead(10000))
        told += sender->readAll();
    QCOMPARE(told, QByteArray("W 0 1\n").repeated(told.count('\n')));
    QVERIFY(offers->isEmpty() && ends->isEmpty());
    *planner.release = true;
    QTRY_COMPARE(offers->size(), 1);
    if (answered)
        session->accept(offers->last().first().toULongLong());
    const Answer answer = readAnswer(sender.get(), manifest.items.size());
    QCOMPARE(answer.before.last(), int(ExtendedProtocol::Message::Asking));
    QCOMPARE(answer.accepted, answered);
    if (!answered)
        expectEnd(1, ReceiveOutcome::Unanswered);
}

// A planner still running uses the shared hash cache: the session never leaves it behind.
void TestExtendedReceive::closingWaitsForThePlanner_data()
{
    QTest::addColumn<bool>("stuck"); // the receive thread is held and left behind
    QTest::newRow("session ends") << false;
    QTest::newRow("session ends while its thread is stuck") << true;
}

void TestExtendedReceive::closingWaitsForThePlanner()
{
    QFETCH(bool, stuck);
    const HeldPlanner planner;
    session->setPlanning(2000, planner.hook());
    request(manifestOf({{"a", "12345"}}));
    QTRY_VERIFY(*planner.running);
    auto held = std::make_shared<QSemaphore>();
    if (stuck) {
        auto *blocker = new QObject;
        blocker->moveToThread(session->findChild<QThread *>());
        QMetaObject::invokeMethod(
            blocker,
            [held, blocker] {
                held->acquire();
                blocker->deleteLater();
            },
            Qt::QueuedConnection);
    }
    const QPointer<QThread> thread = session->findChild<QThread *>();
    session.reset();
    QVERIFY(!*planner.running);
    held->release();
    // What was left behind goes once its thread has ended.
    QTRY_VERIFY(thread.isNull());
}

// A request naming a sender other than the certificate its session proved is refused.
void TestExtendedReceive::idMustBeTheCertificates()
{
    sender = std::make_unique<QTcpSocket>();
    QVERIFY(TlsPeer::connect(sender.get(), extendedPort, senderA));
    send(extendedRequest(manifestOf({{"a", "12345"}}),
                         TlsPeer::identity("sender-b").fingerprint().hex()));
    QCOMPARE(readAnswer(sender.get(), 1).reason,
             QString::fromUtf8("发送方标识与其证书不符，拒绝传输！"));
    QCOMPARE(offers->size() + ends->size(), 0);
}

// A sender met for the first time pairs: the question shows the code that only the nonce its
// request committed to yields, and the sender is known once the body begins. An unknown
// certificate under a paired device's name is turned away unasked.
void TestExtendedReceive::pairing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("committedNonce");
    QTest::addColumn<QString>("refusal");

    QTest::newRow("first meeting") << "sender-c" << true << QString();
    QTest::newRow("another nonce than committed") << "sender-c" << false << "配对失败，拒绝传输！";
    QTest::newRow("another certificate under a paired name")
        << "sender-d" << true << "「小明」的身份与上次不同，已拒绝接收";
}

void TestExtendedReceive::pairing()
{
    QFETCH(QString, name);
    QFETCH(bool, committedNonce);
    QFETCH(QString, refusal);

    const bool impostor = name == "sender-d";
    for (const QString &known : {senderA, senderB})
        QVERIFY(impostor || KnownDevices().forget(TlsPeer::identity(known).fingerprint()));
    std::shared_ptr<TlsRelay> relay;
    sender = std::make_unique<QTcpSocket>();
    QVERIFY(TlsPeer::connect(sender.get(), extendedPort, name, QHostAddress::LocalHost, &relay));
    QTRY_VERIFY(relay->pairingCode(PairingCode::Side::Sender).isValid());
    const PairingCode code = relay->pairingCode(PairingCode::Side::Sender);
    const QByteArray nonce = PairingCode::newNonce();
    const Fingerprint id = TlsPeer::identity(name).fingerprint();
    manifest = manifestOf({{"a", "12345"}});
    send(extendedRequest(manifest, id.hex(), QByteArray(), QString(), code.commitment(nonce)));
    Answer answer = readAnswer(sender.get(), 1);
    if (!impostor) {
        QCOMPARE(answer.nonce.size(), PairingCode::nonceSize);
        send(ExtendedProtocol::senderNonce(committedNonce ? nonce : PairingCode::newNonce()));
    }
    if (!refusal.isEmpty()) {
        QCOMPARE((impostor ? answer : readAnswer(sender.get(), 1)).reason, refusal);
        QCOMPARE(offers->size(), 0);
        QVERIFY(!KnownDevices().find(id));
        return;
    }
    QTRY_COMPARE(offers->size(), 1);
    QCOMPARE(lastOffer().pairingCode, code.digits(nonce, answer.nonce));
    const TransferPlan plan = accept();
    QVERIFY(!KnownDevices().find(id));
    sent = {{"a", "12345"}};
    send(body(plan));
    expectEnd(1, ReceiveOutcome::Complete);
    QVERIFY(KnownDevices().find(id));
}

QTEST_GUILESS_MAIN(TestExtendedReceive)
#include "tst_extendedreceive.moc"
