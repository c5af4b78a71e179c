// The send view with its session and real sends to a receiver on loopback. Runs inside a
// network namespace of its own (the session starts the presence thread).
#include "send/uploadview.h"
#include "send/userlistdialog.h"

#include "app/formatsize.h"
#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"

#include "modalhelper.h"
#include "senddrop.h"
#include "tempworkdir.h"
#include "testnetwork.h"
#include "testreceiver.h"

#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace SendDrop;

namespace {

// Answers the chooser with the one receiver given, as if it had been heard.
void chooseReceiver(QWidget *modal, const QString &peer)
{
    auto *dialog = qobject_cast<UserListDialog *>(modal);
    QVERIFY(dialog);
    dialog->userListUpdate({peer});
    dialog->findChild<QListWidget *>("listWidget")->setCurrentRow(0);
    QTest::mouseClick(dialog->findChild<QPushButton *>("pushButton"), Qt::LeftButton);
}

const QString loopbackPeer = QStringLiteral("peer:127.0.0.1:receive");

} // namespace

class TestUploadViewSend : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void sessionAndBack();
    void sendsRequestAndBody_data();
    void sendsRequestAndBody();
    void failedSends_data();
    void failedSends();
    void dropWhileSendingIsRefused();
    void progressRedrawsOnlyWhenItChanges();

private:
    QString path(const QString &name) const { return workDir->filePath("items/" + name); }
    int progress(UploadView &view) const
    {
        return view.findChild<QProgressBar *>("progressBar")->value();
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
    QCOMPARE(progress(view), 0);
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

void TestUploadViewSend::sendsRequestAndBody_data()
{
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("folder")
        << QStringList{"D"}
        << QByteArray("MYPOST /D HTTP/1.1\r\nConnection: Keep-Alive\r\n"
                      "Content-Type: application/folder\r\nFiles-Number: 1\r\n"
                      "Items-Number: 4\r\nContent-Length: 1541\r\nUser-Agent: Dalvik\r\n"
                      "Host: localhost\r\nsender-name: \xe5\xb0\x8f\xe6\x98\x8e\r\n\r\n")
        << QByteArray("D\r\nfolder\r\n"
                      "D/a.txt\r\nfile\r\n5\r\nhelloFile end\r\n"
                      "D/sub\r\nfolder\r\n"
                      "D/sub/b.txt\r\nfile\r\n1536\r\n") +
               QByteArray(1536, 'b') + QByteArray("File end\r\nOVER\r\n");
    QTest::newRow("three files")
        << QStringList{"x.txt", "y.txt", "z.bin"}
        << QByteArray("MYPOST /z.bin HTTP/1.1\r\nConnection: Keep-Alive\r\n"
                      "Content-Type: application/file\r\nFiles-Number: 3\r\n"
                      "Items-Number: 3\r\nContent-Length: 6\r\nUser-Agent: Dalvik\r\n"
                      "Host: localhost\r\nsender-name: \xe5\xb0\x8f\xe6\x98\x8e\r\n\r\n")
        << QByteArray("x.txt\r\nfile\r\n1\r\nxFile end\r\n"
                      "y.txt\r\nfile\r\n2\r\nyyFile end\r\n"
                      "z.bin\r\nfile\r\n3\r\nzzzFile end\r\nOVER\r\n");
}

void TestUploadViewSend::sendsRequestAndBody()
{
    QFETCH(QStringList, dropped);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, body);

    QVERIFY(makeFile(path("D/a.txt"), "hello"));
    QVERIFY(makeFile(path("D/sub/b.txt"), QByteArray(1536, 'b')));
    QVERIFY(makeFile(path("x.txt"), "x"));
    QVERIFY(makeFile(path("y.txt"), "yy"));
    QVERIFY(makeFile(path("z.bin"), "zzz"));
    QStringList paths;
    for (const QString &name : dropped)
        paths << path(name);

    TestReceiver receiver(TransferReply::accept(), TransferRequest::port);
    QVERIFY(receiver.isListening());
    UploadView view;
    view.startSession();
    {
        ModalHelper chooser([](QWidget *modal) { chooseReceiver(modal, loopbackPeer); });
        QVERIFY(drop(view, fileUrls(paths)));
        QVERIFY(chooser.answered);
    }
    QString boxText;
    QString boxTitle;
    ModalHelper box(
        [&](QWidget *modal) {
            auto *message = qobject_cast<QMessageBox *>(modal);
            QVERIFY(message);
            boxText = message->text();
            boxTitle = message->windowTitle();
            message->button(QMessageBox::Ok)->click();
        },
        30000);
    QTRY_VERIFY_WITH_TIMEOUT(box.answered, 30000);

    QCOMPARE(receiver.request(), request);
    QCOMPARE(receiver.body(), body);
    QCOMPARE(readFile("send"), body);
    QTRY_VERIFY(receiver.closed);
    QCOMPARE(boxTitle, QString::fromUtf8("提示"));
    QCOMPARE(boxText, QString::fromUtf8("传输完成！"));
    QCOMPARE(progress(view), 100);
    const QString size = formatSize(body.size());
    QCOMPARE(shownText(view), QString::fromUtf8("正在发送...\n%1/%1\n发送成功！").arg(size));
}

void TestUploadViewSend::failedSends_data()
{
    QTest::addColumn<QString>("receiverKind");
    QTest::addColumn<QString>("line");

    QTest::newRow("refused") << "refuse" << QString::fromUtf8("对方拒绝接收！");
    QTest::newRow("nobody listening") << "none" << QString::fromUtf8("连接失败！");
    QTest::newRow("connection dropped mid-body") << "drop" << QString::fromUtf8("发送中断！");
}

void TestUploadViewSend::failedSends()
{
    QFETCH(QString, receiverKind);
    QFETCH(QString, line);

    // Much more than the loopback buffers hold, so a dropped connection is met while sending.
    QVERIFY(makeFile(path("big.bin"), QByteArray(32 * 1024 * 1024, 'q')));
    std::unique_ptr<TestReceiver> receiver;
    if (receiverKind != "none") {
        receiver = std::make_unique<TestReceiver>(
            receiverKind == "refuse" ? TransferReply::refusal() : TransferReply::accept(),
            TransferRequest::port);
        QVERIFY(receiver->isListening());
        receiver->dropAfterBodyBytes = 64 * 1024;
    }

    UploadView view;
    view.startSession();
    {
        ModalHelper chooser([](QWidget *modal) { chooseReceiver(modal, loopbackPeer); });
        QVERIFY(drop(view, fileUrls({path("big.bin")})));
        QVERIFY(chooser.answered);
    }
    QTRY_VERIFY_WITH_TIMEOUT(shownText(view).endsWith(line), 30000);
    QVERIFY(!shownText(view).contains(QString::fromUtf8("发送成功！")));
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QVERIFY(progress(view) < 100);
    if (receiverKind != "drop")
        QCOMPARE(progress(view), 0);
}

void TestUploadViewSend::dropWhileSendingIsRefused()
{
    QVERIFY(makeFile(path("big.bin"), QByteArray(64 * 1024 * 1024, 'q')));
    QVERIFY(makeFile(path("other.txt"), "other"));
    TestReceiver receiver(TransferReply::accept(), TransferRequest::port);
    QVERIFY(receiver.isListening());
    receiver.stallAfterBodyBytes = 1024 * 1024;

    UploadView view;
    view.startSession();
    {
        ModalHelper chooser([](QWidget *modal) { chooseReceiver(modal, loopbackPeer); });
        QVERIFY(drop(view, fileUrls({path("big.bin")})));
        QVERIFY(chooser.answered);
    }
    QTRY_VERIFY(progress(view) > 0);
    const QFileInfo before("send");

    ModalHelper chooser([](QWidget *modal) { QTest::keyClick(modal, Qt::Key_Escape); }, 0);
    QVERIFY(drop(view, fileUrls({path("other.txt")})));
    QVERIFY(!chooser.answered);
    const QString busy = QString::fromUtf8("正在发送，请等待当前发送结束后再添加！");
    QVERIFY2(shownText(view).contains(busy), qPrintable(shownText(view)));
    const QFileInfo after("send");
    QCOMPARE(after.size(), before.size());
    QCOMPARE(after.lastModified(), before.lastModified());
    QCOMPARE(readFile("send").left(20), QByteArray("big.bin\r\nfile\r\n67108"));

    receiver.drop();
    QTRY_VERIFY_WITH_TIMEOUT(shownText(view).endsWith(QString::fromUtf8("发送中断！")), 30000);
}

void TestUploadViewSend::progressRedrawsOnlyWhenItChanges()
{
    QVERIFY(makeFile(path("big.bin"), QByteArray(32 * 1024 * 1024, 'r')));
    TestReceiver receiver(TransferReply::accept(), TransferRequest::port);
    QVERIFY(receiver.isListening());

    UploadView view;
    QSignalSpy changeView(&view, &UploadView::changeView);
    view.startSession();
    {
        ModalHelper chooser([](QWidget *modal) { chooseReceiver(modal, loopbackPeer); });
        QVERIFY(drop(view, fileUrls({path("big.bin")})));
        QVERIFY(chooser.answered);
    }
    const qint64 sendSize = QFileInfo("send").size();
    int redraws = 0;
    connect(view.findChild<QTextBrowser *>("textBrowser"), &QTextBrowser::textChanged, this,
            [&] { ++redraws; });
    // Leaving the view does not stop the send; its end is still shown.
    QTest::mouseClick(view.findChild<QPushButton *>("backPushButton"), Qt::LeftButton);
    QCOMPARE(changeView.count(), 1);

    ModalHelper box([](QWidget *modal) { QTest::keyClick(modal, Qt::Key_Return); }, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(box.answered, 60000);
    QCOMPARE(receiver.body().size(), sendSize);
    QCOMPARE(progress(view), 100);
    const QString size = formatSize(sendSize);
    QCOMPARE(shownText(view), QString::fromUtf8("正在发送...\n%1/%1\n发送成功！").arg(size));

    const qint64 reports = (sendSize + 1023) / 1024;
    qDebug() << redraws << "redraws for" << reports << "reports";
    QVERIFY2(redraws * 4 < reports,
             qPrintable(QString("%1 redraws for %2 reports").arg(redraws).arg(reports)));
}

QTEST_MAIN(TestUploadViewSend)
#include "tst_uploadviewsend.moc"
