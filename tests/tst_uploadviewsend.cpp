// The send view with its session and real sends to a receiver on loopback. Runs inside a
// network namespace of its own (the session starts the presence thread).
#include "send/uploadview.h"
#include "send/userlistdialog.h"

#include "protocol/formatsize.h"
#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "records/knowndevices.h"

#include "extendedreceiver.h"
#include "modalhelper.h"
#include "senddrop.h"
#include "tempworkdir.h"
#include "testnetwork.h"
#include "testreceiver.h"

#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>

#include <memory>

using namespace SendDrop;

namespace {

const QString loopbackPeer = QStringLiteral("peer:127.0.0.1:receive");

// Waits for the chooser the drop opens later and picks the one receiver given, as if heard.
void chooseReceiver(const QString &peer)
{
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<UserListDialog *>(QApplication::activeModalWidget()),
                             10000);
    auto *dialog = qobject_cast<UserListDialog *>(QApplication::activeModalWidget());
    dialog->userListUpdate({peer});
    dialog->findChild<QListWidget *>("listWidget")->setCurrentRow(0);
    QTest::mouseClick(dialog->findChild<QPushButton *>("pushButton"), Qt::LeftButton);
}

// Bytes of a size as formatSize() shows it.
double shownBytes(const QString &number, const QString &unit)
{
    return number.toDouble() * std::pow(1024.0, QStringList{"B", "KB", "MB", "GB"}.indexOf(unit));
}

} // namespace

class TestUploadViewSend : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void sessionAndBack();
    void sendsRequestAndBody();
    void extendedPlanLines();
    void failedSends_data();
    void failedSends();
    void dropWhileSendingIsRefusedAndCancelStops();
    void waitsForTheAnswerBeforeSending();

private:
    QString path(const QString &name) const { return workDir->filePath("items/" + name); }
    static int progress(UploadView &view)
    {
        return view.findChild<QProgressBar *>("progressBar")->value();
    }
    static QPushButton *cancelButton(UploadView &view)
    {
        return view.findChild<QPushButton *>("cancelPushButton");
    }
    static QLabel *progressLabel(UploadView &view)
    {
        return view.findChild<QLabel *>("progressLabel");
    }

    std::unique_ptr<TempWorkDir> workDir;
};

void TestUploadViewSend::initTestCase()
{
    REQUIRE_TEST_NETWORK();
}

void TestUploadViewSend::init()
{
    workDir = std::make_unique<TempWorkDir>();
    QVERIFY(workDir->isValid());
    QSettings("config.ini", QSettings::IniFormat).setValue("userName", QString::fromUtf8("小明"));
    // The test's extended receiver is a paired device.
    QVERIFY(KnownDevices().remember(TlsPeer::identity("receiver").fingerprint(), "receiver",
                                    "192.0.2.1"));
}

void TestUploadViewSend::cleanup()
{
    workDir.reset();
}

void TestUploadViewSend::sessionAndBack()
{
    UploadView view;
    QSignalSpy changeView(&view, &UploadView::changeView);
    view.startSession();
    QVERIFY(view.sessionActive());
    // The drop hint: the picture (one object character) over the heading.
    QCOMPARE(shownText(view).trimmed(),
             QChar(QChar::ObjectReplacementCharacter) +
                 QString::fromUtf8("\n将单个文件夹或多个文件\n拖拽到此处"));
    QVERIFY(
        view.findChild<QTextBrowser *>("textBrowser")->toHtml().contains(":/image/addItem.ico"));

    QTest::mouseClick(view.findChild<QPushButton *>("backPushButton"), Qt::LeftButton);
    QCOMPARE(changeView.count(), 1);
    QCOMPARE(changeView.at(0).at(0).toString(), QString("main"));
    QVERIFY(!view.sessionActive());
    view.startSession();
    QVERIFY(view.sessionActive());
}

void TestUploadViewSend::sendsRequestAndBody()
{
    const QByteArray big(8 << 20, 'b');
    QVERIFY(makeFile(path("D/a.txt"), "hello"));
    QVERIFY(makeFile(path("D/sub/b.bin"), big));
    const QByteArray request("MYPOST /D HTTP/1.1\r\nConnection: Keep-Alive\r\n"
                             "Content-Type: application/folder\r\nFiles-Number: 1\r\n"
                             "Items-Number: 4\r\nContent-Length: 8388613\r\nUser-Agent: Dalvik\r\n"
                             "Host: localhost\r\nsender-name: \xe5\xb0\x8f\xe6\x98\x8e\r\n\r\n");
    const QByteArray body = "D\r\nfolder\r\nD/a.txt\r\nfile\r\n5\r\nhelloFile end\r\n"
                            "D/sub\r\nfolder\r\nD/sub/b.bin\r\nfile\r\n8388608\r\n" +
                            big + "File end\r\nOVER\r\n";

    // Ends the connection in order once it has the whole body, as our receiver does.
    TestReceiver receiver(TransferReply::accept(), TransferRequest::port);
    QVERIFY(receiver.isListening());
    receiver.closeAfterBodyBytes = body.size();
    UploadView view;
    view.show();
    view.startSession();
    // Every "sent/total" the progress text shows, at each turn of the event loop.
    QStringList shown;
    QStringList above;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        static const QRegularExpression pair(">([0-9.]+)(\\w+)/([0-9.]+)(\\w+)<");
        const QRegularExpressionMatch m = pair.match(progressLabel(view)->text());
        if (m.hasMatch() && (shown.isEmpty() || shown.last() != m.captured()))
            shown << m.captured();
        if (m.hasMatch() &&
            shownBytes(m.captured(1), m.captured(2)) > shownBytes(m.captured(3), m.captured(4)))
            above << m.captured();
    });
    watch.start(0);
    QVERIFY(drop(view, fileUrls({path("D")})));
    QVERIFY(!cancelButton(view)->isHidden());
    chooseReceiver(loopbackPeer);

    QString boxText;
    ModalHelper box(
        [&](QWidget *modal) {
            auto *message = qobject_cast<QMessageBox *>(modal);
            QVERIFY(message);
            boxText = message->text();
            message->button(QMessageBox::Ok)->click();
        },
        30000);
    QTRY_VERIFY2_WITH_TIMEOUT(box.answered, qPrintable(shownText(view)), 30000);
    QCOMPARE(boxText, QString::fromUtf8("传输完成！"));
    QCOMPARE(receiver.request(), request);
    QVERIFY(receiver.body() == body);
    QCOMPARE(progress(view), 100);
    QVERIFY(cancelButton(view)->isHidden());
    QVERIFY2(shownText(view).endsWith(QString::fromUtf8("发送成功！")),
             qPrintable(shownText(view)));
    QVERIFY(progressLabel(view)->text().contains(QString::fromUtf8("传输完成！")));
    QVERIFY(!shown.isEmpty());
    QVERIFY2(above.isEmpty(), qPrintable(above.join(' ')));
}

// An address never heard is tried on the extended port; what the plan spares is named.
void TestUploadViewSend::extendedPlanLines()
{
    const qint64 kept = 64 * 1024 * 1024;
    QVERIFY(makeFile(path("D/a.txt"), "hello"));
    QVERIFY(makeFile(path("D/b.bin"), QByteArray()));
    QVERIFY(QFile::resize(path("D/b.bin"), kept + 300000)); // sparse
    ExtendedReceiver receiver(ExtendedProtocol::tcpPort);
    receiver.plan = "S 1\nR 2 " + QByteArray::number(kept) + '\n';
    UploadView view;
    view.startSession();
    QVERIFY(drop(view, fileUrls({path("D")})));
    chooseReceiver(loopbackPeer);
    ModalHelper box([](QWidget *modal) { modal->close(); }, 30000);
    QTRY_VERIFY2_WITH_TIMEOUT(box.answered, qPrintable(shownText(view)), 30000);
    QCOMPARE(receiver.parts, QStringList{"2 " + QString::number(kept)});
    const QString shown = shownText(view);
    QVERIFY2(
        shown.contains(QString::fromUtf8("\n跳过 1 个未改变的文件（5B）\nD/b.bin：从 %1 处继续\n")
                           .arg(formatSize(kept))) &&
            shown.endsWith(QString::fromUtf8("发送成功！")),
        qPrintable(shown));
}

void TestUploadViewSend::failedSends_data()
{
    QTest::addColumn<QString>("receiverKind");
    QTest::addColumn<QString>("line");

    QTest::newRow("refused") << "refuse" << QString::fromUtf8("对方拒绝接收！");
    QTest::newRow("nobody listening") << "none" << QString::fromUtf8("连接失败！");
    QTest::newRow("connection dropped mid-body") << "drop" << QString::fromUtf8("发送中断！");
    // An extended receiver's own words are shown, not only that it said no or stopped.
    QTest::newRow("refused with the receiver's reason")
        << "refuse:保存文件夹无法写入" << QString::fromUtf8("对方拒绝接收：保存文件夹无法写入");
    QTest::newRow("stopped with the receiver's reason")
        << "stop:对方已取消接收" << QString::fromUtf8("对方未能保存全部文件：对方已取消接收");
    // Only the extended protocol carries it, and nothing answers on its port here.
    QTest::newRow("file of 4 GiB")
        << "huge"
        << QString::fromUtf8("文件不能超过4GB，无法发送：big.bin（对方需要使用 "
                             "NuboTransmission 才能接收 4GB 以上的文件）");
}

void TestUploadViewSend::failedSends()
{
    QFETCH(QString, receiverKind);
    QFETCH(QString, line);

    // Much more than the loopback buffers hold, so a dropped connection is met while sending.
    QVERIFY(makeFile(path("big.bin"), QByteArray(32 * 1024 * 1024, 'q')));
    if (receiverKind == "huge")
        QVERIFY(QFile::resize(path("big.bin"), Q_INT64_C(4294967296))); // sparse
    std::unique_ptr<TestReceiver> receiver;
    std::unique_ptr<ExtendedReceiver> extended;
    if (receiverKind.contains(':')) {
        extended = std::make_unique<ExtendedReceiver>(ExtendedProtocol::tcpPort);
        extended->refuse = receiverKind.startsWith("refuse");
        extended->reason = receiverKind.section(':', 1);
        extended->stopAfterBodyBytes = receiverKind.startsWith("stop") ? 64 * 1024 : -1;
    } else if (receiverKind != "none") {
        receiver = std::make_unique<TestReceiver>(
            receiverKind == "refuse" ? TransferReply::refusal() : TransferReply::accept(),
            TransferRequest::port);
        QVERIFY(receiver->isListening());
        receiver->dropAfterBodyBytes = 64 * 1024;
    }

    UploadView view;
    view.startSession();
    QVERIFY(drop(view, fileUrls({path("big.bin")})));
    chooseReceiver(loopbackPeer);
    QTRY_VERIFY2_WITH_TIMEOUT(shownText(view).contains(line), qPrintable(shownText(view)), 30000);
    QVERIFY(!shownText(view).contains(QString::fromUtf8("发送成功！")));
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QVERIFY(progress(view) < 100);
    QVERIFY(cancelButton(view)->isHidden());
    QVERIFY(progressLabel(view)->text().contains(QString::fromUtf8("发送未完成")));
}

void TestUploadViewSend::dropWhileSendingIsRefusedAndCancelStops()
{
    const qint64 size = 64 * 1024 * 1024;
    QVERIFY(makeFile(path("big.bin"), QByteArray(int(size), 'q')));
    QVERIFY(makeFile(path("other.txt"), "other"));
    TestReceiver receiver(TransferReply::accept(), TransferRequest::port);
    QVERIFY(receiver.isListening());
    receiver.stallAfterBodyBytes = 1024 * 1024;

    UploadView view;
    view.startSession();
    QVERIFY(drop(view, fileUrls({path("big.bin")})));
    chooseReceiver(loopbackPeer);
    QTRY_VERIFY_WITH_TIMEOUT(receiver.body().size() >= 1024 * 1024, 30000);

    QVERIFY(drop(view, fileUrls({path("other.txt")})));
    const QString busy = QString::fromUtf8("正在发送，请等待当前发送结束后再添加！");
    QVERIFY2(shownText(view).endsWith(busy), qPrintable(shownText(view)));
    QVERIFY(!QApplication::activeModalWidget());
    // Sent from the file itself: no copy of it in the working folder.
    QVERIFY(QDir().entryList(QDir::Files).filter("send").isEmpty());

    // The cancel button asks first; yes stops the send.
    ModalHelper confirm([](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY(box);
        box->button(QMessageBox::Yes)->click();
    });
    QTest::mouseClick(cancelButton(view), Qt::LeftButton);
    QVERIFY(confirm.answered);
    QTRY_VERIFY2_WITH_TIMEOUT(shownText(view).endsWith(QString::fromUtf8("已取消发送！")),
                              qPrintable(shownText(view)), 30000);
    QVERIFY(cancelButton(view)->isHidden());
    QVERIFY(!view.transferRunning());
}

void TestUploadViewSend::waitsForTheAnswerBeforeSending()
{
    QVERIFY(makeFile(path("a.txt"), "a"));
    TestReceiver receiver(QByteArray(), TransferRequest::port); // never answers
    QVERIFY(receiver.isListening());
    UploadView view;
    view.startSession();
    QVERIFY(drop(view, fileUrls({path("a.txt")})));
    chooseReceiver(loopbackPeer);
    QTRY_VERIFY_WITH_TIMEOUT(receiver.request().endsWith("\r\n\r\n"), 30000);
    QVERIFY(progressLabel(view)->text().contains(QString::fromUtf8("等待对方确认…")));
    QVERIFY(!progressLabel(view)->text().contains(QString::fromUtf8("正在发送")));
    view.cancelTransfer();
    QTRY_VERIFY_WITH_TIMEOUT(shownText(view).endsWith(QString::fromUtf8("已取消发送！")), 30000);
}

QTEST_MAIN(TestUploadViewSend)
#include "tst_uploadviewsend.moc"
