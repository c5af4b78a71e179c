// The receive view around its session: what it shows and asks. The session itself (requests,
// bodies, work files, storing) is tested without a window in tst_receivesession.
#include "protocol/extendedprotocol.h"
#include "protocol/formatsize.h"
#include "protocol/manifest.h"
#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "protocol/udpsendthread.h"
#include "receive/downloadview.h"
#include "receive/receivesession.h"
#include "records/knowndevices.h"
#include "records/partialregistry.h"
#include "settings/settingskeys.h"

#include "modalhelper.h"
#include "tempworkdir.h"
#include "testdata.h"
#include "testnetwork.h"
#include "tlspeer.h"

#include <QDesktopServices>
#include <QGridLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QToolTip>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

namespace {

const quint16 transferPort = TransferRequest::port;
const QString askTitle = QString::fromUtf8("是否接收文件？");

// The sending end of one transfer: connects and sends its request at once.
struct Sender
{
    Sender(const QHostAddress &address, const QByteArray &request, quint16 port = transferPort)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { reply += socket.readAll(); });
        if (port == ExtendedProtocol::tcpPort) // which speaks only inside TLS
            TlsPeer::connect(&socket, port, QStringLiteral("sender"), address);
        else
            socket.connectToHost(address, port);
        socket.write(request);
    }
    QTcpSocket socket;
    QByteArray reply;
};

QByteArray request(const QString &kind, qint64 size, int items,
                   const QString &target = QStringLiteral("docs"), int files = 1,
                   const QString &sender = QString::fromUtf8("小明"))
{
    TransferRequest request;
    request.target = target;
    request.kind = kind;
    request.filesNumber = files;
    request.itemsNumber = items;
    request.contentLength = size;
    request.senderName = sender;
    return request.toUtf8();
}

// The names announced on the presence port, as they are heard.
struct PresenceEar
{
    PresenceEar()
    {
        socket.bind(QHostAddress::AnyIPv4, UDPSendThread::presencePort,
                    QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
        socket.joinMulticastGroup(QHostAddress("224.0.0.1"));
        QObject::connect(&socket, &QUdpSocket::readyRead, [this] {
            while (socket.hasPendingDatagrams()) {
                QByteArray datagram(int(socket.pendingDatagramSize()), Qt::Uninitialized);
                socket.readDatagram(datagram.data(), datagram.size());
                names << QString::fromUtf8(datagram).section(':', 0, 0);
            }
        });
    }
    QUdpSocket socket;
    QStringList names;
};

Manifest::Item fileItem(const QString &name, const QByteArray &data)
{
    return Manifest::Item{name, true, data.size(), 1, true, hashOf(data)};
}

QByteArray fileRecord(const QByteArray &name, const QByteArray &data)
{
    return name + "\r\nfile\r\n" + QByteArray::number(data.size()) + "\r\n" + data + "File end\r\n";
}

} // namespace

class TestDownloadView : public QObject
{
    Q_OBJECT

public slots:
    void openedByDesktop(const QUrl &url) { openedUrls << url; }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void form();
    void questionShowsTheOffer_data();
    void questionShowsTheOffer();
    void returnAcceptsEvenAfterAnEarlierNo();
    void transferShowsLinksAndItsEnd();
    void headingShowsOnlyTheEnd();
    void leavingFreesThePort();
    void listenFailureIsReportedAndNotAnnounced();
    void newSettingsApplyAtOnce();
    void lateEndNeverClosesTheNextQuestion();
    void unchangedFilesAreCountedOnce();
    void busyRefusalIsTold();
    void extendedOfferSaysWhatIsKeptAndSkipped();
    void extendedTransferSaysWhatHappens_data();
    void extendedTransferSaysWhatHappens();

private:
    void startView(const QString &userName = QStringLiteral("tester"));
    QTextBrowser *browser() const { return view->findChild<QTextBrowser *>("textBrowser"); }
    QPushButton *cancelButton() const { return view->findChild<QPushButton *>("cancelPushButton"); }
    QString shownText() const { return browser()->toPlainText(); }
    bool showsRedLine() const { return browser()->toHtml().contains("color:#ff0000"); }
    QMessageBox *question() const;
    bool asking() const { return question() && question()->isVisible(); }
    QList<QPair<QString, QUrl>> links();

    QHostAddress address;
    std::unique_ptr<TempWorkDir> workDir;
    QString saveDir;
    std::unique_ptr<DownloadView> view;
    QList<QUrl> openedUrls;
};

// Each link's text and what activating it opens, found as the browser activates a link: with the
// link selected.
QList<QPair<QString, QUrl>> TestDownloadView::links()
{
    QList<QPair<QString, QUrl>> found;
    QDesktopServices::setUrlHandler("file", this, "openedByDesktop");
    for (QTextBlock block = browser()->document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.charFormat().isAnchor())
                continue;
            QTextCursor link(browser()->document());
            link.setPosition(fragment.position());
            link.setPosition(fragment.position() + fragment.length(), QTextCursor::KeepAnchor);
            browser()->setTextCursor(link);
            openedUrls.clear();
            emit browser()->anchorClicked(QUrl(fragment.charFormat().anchorHref()));
            found.append({fragment.text(), openedUrls.value(0)});
        }
    }
    QDesktopServices::unsetUrlHandler("file");
    openedUrls.clear();
    return found;
}

void TestDownloadView::initTestCase()
{
    // The view announces itself and listens on this machine's address: only ever inside a test
    // host, whose one link carries the address the view learns.
    REQUIRE_TEST_NETWORK();
    address = UDPSendThread().localAddress;
    QVERIFY2(!address.isNull(), "the test host's link has no IPv4 address");
}

void TestDownloadView::init()
{
    openedUrls.clear();
    workDir = std::make_unique<TempWorkDir>();
    QVERIFY(workDir->isValid());
    saveDir = workDir->filePath("save");
    QVERIFY(QDir().mkdir(saveDir));
    // The extended sender of these tests has paired with the view's installation.
    QVERIFY(
        KnownDevices().remember(TlsPeer::identity("sender").fingerprint(), "sender", QString()));
}

void TestDownloadView::cleanup()
{
    QDesktopServices::unsetUrlHandler("file");
    view.reset();
    workDir.reset();
}

void TestDownloadView::startView(const QString &userName)
{
    {
        QSettings config("config.ini", QSettings::IniFormat);
        config.setValue("saveDir", saveDir);
        config.setValue("userName", userName);
    }
    view = std::make_unique<DownloadView>();
    view->setTimeouts(30000, 30000);
    view->show();
    view->startSession();
    // Listening is reported when the session has done it: by the line that invites senders.
    QTRY_VERIFY(shownText().contains(QString::fromUtf8("等待对方发送…")) || showsRedLine());
}

QMessageBox *TestDownloadView::question() const
{
    const auto boxes = view->findChildren<QMessageBox *>();
    for (QMessageBox *box : boxes) {
        if (box->windowTitle() == askTitle)
            return box;
    }
    return nullptr;
}

void TestDownloadView::form()
{
    startView();
    QCOMPARE(view->windowTitle(), QString::fromUtf8("接受文件"));
    auto *grid = view->findChild<QGridLayout *>("gridLayout");
    QCOMPARE(view->layout(), grid);
    const auto cell = [grid](QWidget *widget) {
        int row, column, rowSpan, columnSpan;
        grid->getItemPosition(grid->indexOf(widget), &row, &column, &rowSpan, &columnSpan);
        return QList<int>{row, column, rowSpan, columnSpan};
    };
    auto *back = view->findChild<QPushButton *>("backPushButton");
    auto *label = view->findChild<QLabel *>("label");
    auto *bar = view->findChild<QProgressBar *>("progressBar");
    auto *progress = view->findChild<QLabel *>("progressLabel");
    QVERIFY(back && label && bar && progress && cancelButton() && browser());
    QCOMPARE(cell(back), (QList<int>{0, 0, 1, 1}));
    QCOMPARE(cell(label), (QList<int>{0, 1, 1, 1}));
    QCOMPARE(cell(bar), (QList<int>{0, 2, 1, 1}));
    QCOMPARE(cell(cancelButton()), (QList<int>{0, 3, 1, 1}));
    QCOMPARE(cell(progress), (QList<int>{1, 0, 1, 4}));
    QCOMPARE(cell(browser()), (QList<int>{2, 0, 1, 4}));

    QVERIFY(!browser()->openLinks());
    QVERIFY(back->text().isEmpty());
    QVERIFY(!back->icon().isNull());
    QCOMPARE(label->text(), QString::fromUtf8("接收进度:"));
    QCOMPARE(cancelButton()->text(), QString::fromUtf8("取消"));
    QVERIFY(cancelButton()->isHidden());
    QVERIFY(progress->text().isEmpty());
    QCOMPARE(bar->value(), 0);
    // A fresh session on a working namespace says who and where, and nothing else.
    const QString waiting = QString::fromUtf8("本机名称：tester，地址：") + address.toString() +
                            QString::fromUtf8("\n保存到：") + saveDir +
                            QString::fromUtf8("\n等待对方发送…");
    QCOMPARE(shownText(), waiting);
    QVERIFY(!showsRedLine());
    QVERIFY(view->sessionActive());
}

void TestDownloadView::questionShowsTheOffer_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("present"); // "docs" is in the save folder already
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("files");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("picture");

    const QString docs = "docs";
    const QString xiaoming = QString::fromUtf8("小明");
    QTest::newRow("a file") << "file" << false << docs << 1 << xiaoming
                            << QString::fromUtf8(
                                   "名称：docs\n大小：1.50KB\n1个项目\n来自：小明\n未加密")
                            << ":/image/file.ico";
    QTest::newRow("a folder that would overwrite")
        << "folder" << true << docs << 1 << xiaoming
        << QString::fromUtf8("名称：docs\n大小：1.50KB\n1个项目\n来自：小明\n未加密\n"
                             "保存路径中已有同名项目 docs，接收后将被覆盖。")
        << ":/image/folder.ico";
    QTest::newRow("several files")
        << "file" << false << QString::fromUtf8("照片3.jpg") << 4 << xiaoming
        << QString::fromUtf8("名称：照片3.jpg 等4个项目\n大小：1.50KB\n4个项目\n来自：小明\n未加密")
        << ":/image/file.ico";
    // Shown as it is: no markup, and no placeholder filled in.
    QTest::newRow("markup from the sender")
        << "file" << false << QString::fromUtf8("report.pdf<br>大小：1.00KB<!--%2") << 2
        << QString::fromUtf8("<b>小明</b>")
        << QString::fromUtf8("名称：report.pdf<br>大小：1.00KB<!--%2 等2个项目\n大小：1.50KB\n"
                             "2个项目\n来自：<b>小明</b>\n未加密")
        << ":/image/file.ico";
}

void TestDownloadView::questionShowsTheOffer()
{
    QFETCH(QString, kind);
    QFETCH(bool, present);
    QFETCH(QString, target);
    QFETCH(int, files);
    QFETCH(QString, sender);
    QFETCH(QString, text);
    QFETCH(QString, picture);
    if (present)
        QVERIFY(QDir(saveDir).mkdir("docs"));
    startView();

    Sender peer(address, request(kind, 1536, files, target, files, sender));
    QTRY_VERIFY_WITH_TIMEOUT(asking(), 10000);
    QMessageBox *box = question();
    QCOMPARE(box->windowModality(), Qt::WindowModal);
    QCOMPARE(box->textFormat(), Qt::PlainText);
    QVERIFY(cancelButton()->isHidden());
    const QStringList parts = box->text().split(QStringLiteral("\n\n"));
    QCOMPARE(parts.size(), 2);
    QCOMPARE(parts.first(), text);
    QCOMPARE(box->iconPixmap().toImage(), QPixmap(picture).toImage());

    // The seconds left count down while the question is open.
    const QRegularExpression seconds(QString::fromUtf8("^请在 (\\d+) 秒内回答。$"));
    const int first = seconds.match(parts.last()).captured(1).toInt();
    QVERIFY2(first > 0 && first <= 30, qPrintable(parts.last()));
    QTRY_VERIFY_WITH_TIMEOUT(
        seconds.match(box->text().section("\n\n", 1)).captured(1).toInt() < first, 10000);
    QTest::mouseClick(box->button(QMessageBox::No), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(peer.reply, TransferReply::refusal(), 10000);
    QVERIFY(!box->isVisible());
}

void TestDownloadView::returnAcceptsEvenAfterAnEarlierNo()
{
    startView();
    Sender refused(address, request("file", 5, 1));
    QTRY_VERIFY_WITH_TIMEOUT(asking(), 10000);
    QTest::mouseClick(question()->button(QMessageBox::No), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(refused.reply, TransferReply::refusal(), 10000);
    QTRY_VERIFY(shownText().startsWith(QString::fromUtf8("拒绝传输！\n本机名称：")));

    // A new offer starts from a clean text area, and Return means yes.
    Sender next(address, request("file", 5, 1));
    QTRY_VERIFY_WITH_TIMEOUT(asking(), 10000);
    QCOMPARE(shownText(), QString());
    QWidget *focus = question()->focusWidget();
    QTest::keyClick(focus ? focus : question(), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(next.reply, TransferReply::accept(), 10000);
    QVERIFY(!cancelButton()->isHidden());
}

void TestDownloadView::transferShowsLinksAndItsEnd()
{
    startView();
    const QStringList names{"docs", "docs/a.txt", QString::fromUtf8("docs/报告 <b>v2.txt")};
    Sender sender(address, request("folder", 3005, names.size()));
    QTRY_VERIFY_WITH_TIMEOUT(asking(), 10000);
    question()->button(QMessageBox::Yes)->click();
    QTRY_COMPARE_WITH_TIMEOUT(sender.reply, TransferReply::accept(), 10000);
    QVERIFY(!cancelButton()->isHidden());

    // Links come as items are stored, before the body is whole.
    sender.socket.write("docs\r\nfolder\r\n" + fileRecord("docs/a.txt", "hello"));
    QTRY_VERIFY2_WITH_TIMEOUT(links().size() == 2, qPrintable(shownText()), 10000);
    QVERIFY(!cancelButton()->isHidden());

    QString boxText;
    ModalHelper notice(
        [&boxText](QWidget *modal) {
            auto *box = qobject_cast<QMessageBox *>(modal);
            QVERIFY(box);
            boxText = box->text();
            box->button(QMessageBox::Ok)->click();
        },
        30000);
    sender.socket.write(fileRecord(names[2].toUtf8(), QByteArray(3000, 'c')) + "OVER\r\n");
    QTRY_VERIFY2_WITH_TIMEOUT(notice.answered, qPrintable(shownText()), 30000);
    QCOMPARE(boxText, QString::fromUtf8("接收完成！"));
    QTRY_COMPARE(sender.socket.state(), QAbstractSocket::UnconnectedState);

    QVERIFY(cancelButton()->isHidden());
    QVERIFY2(shownText().contains(QString::fromUtf8("接收完成！\n本机名称：")),
             qPrintable(shownText()));
    QVERIFY(shownText().endsWith(QString::fromUtf8("等待对方发送…")));
    QVERIFY(!showsRedLine());
    QVERIFY(view->findChild<QLabel *>("progressLabel")
                ->text()
                .contains(QString::fromUtf8("接收完成！")));
    auto *bar = view->findChild<QProgressBar *>("progressBar");
    QCOMPARE(bar->value(), bar->maximum());
    // The stored items, then the save folder in the line that says the view is ready again.
    const auto links = this->links();
    QCOMPARE(links.size(), names.size() + 1);
    QCOMPARE(links.last().second.toLocalFile(), saveDir);
    for (int i = 0; i < names.size(); ++i) {
        QCOMPARE(links[i].first, names[i]);
        QCOMPARE(links[i].second.toLocalFile(), saveDir + "/" + names[i]);
    }
    // Pointing at a link names the item it opens.
    const QPoint over = browser()->cursorRect(browser()->document()->find("a.txt")).center();
    QHelpEvent hover(QEvent::ToolTip, over, browser()->viewport()->mapToGlobal(over));
    QCoreApplication::sendEvent(browser()->viewport(), &hover);
    QVERIFY2(QToolTip::text().contains(saveDir + "/docs/a.txt"), qPrintable(QToolTip::text()));

    // A click hands the item to the desktop; one the desktop cannot open, or that is gone, gets
    // a line that says why (the offscreen platform opens nothing).
    QDesktopServices::setUrlHandler("file", this, "openedByDesktop");
    emit browser()->anchorClicked(links[2].second);
    QCOMPARE(openedUrls, QList<QUrl>{links[2].second});
    QVERIFY(!showsRedLine());
    QDesktopServices::unsetUrlHandler("file");
    const QString failed = QString::fromUtf8("无法打开：") + saveDir + "/docs/a.txt";
    emit browser()->anchorClicked(links[1].second);
    QVERIFY(showsRedLine());
    QVERIFY2(shownText().endsWith(failed + QString::fromUtf8("（没有可以打开它的程序）")),
             qPrintable(shownText()));
    QVERIFY(QFile::remove(saveDir + "/docs/a.txt"));
    emit browser()->anchorClicked(links[1].second);
    QVERIFY(shownText().endsWith(failed + QString::fromUtf8("（该项目已不存在）")));
}

// The heading says how the last transfer ended, in red for a failure, and nothing that no
// longer holds: no rate, no counts of an earlier transfer.
void TestDownloadView::headingShowsOnlyTheEnd()
{
    startView();
    auto *heading = view->findChild<QLabel *>("progressLabel");
    auto *bar = view->findChild<QProgressBar *>("progressBar");
    const auto shown = [heading] {
        QTextDocument document;
        document.setHtml(heading->text());
        return document.toPlainText();
    };

    Sender cut(address, request("file", 3072, 1, "a.txt"));
    QTRY_VERIFY_WITH_TIMEOUT(asking(), 10000);
    question()->button(QMessageBox::Yes)->click();
    QTRY_COMPARE_WITH_TIMEOUT(cut.reply, TransferReply::accept(), 10000);
    cut.socket.write("a.txt\r\nfile\r\n3072\r\n" + QByteArray(1000, 'a'));
    cut.socket.disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(shown().startsWith(QString::fromUtf8("接收中断\n")), 10000);
    QVERIFY2(QRegularExpression("^\\S+\n\\S+/3.00KB$").match(shown()).hasMatch(),
             qPrintable(shown()));
    QVERIFY(heading->text().contains("color:red"));

    // Refused before anything was asked: not the counts of the transfer before.
    Sender invalid(address, request("file", 5, 0));
    QTRY_COMPARE_WITH_TIMEOUT(invalid.reply, TransferReply::refusal(), 10000);
    QTRY_COMPARE(shown(), QString::fromUtf8("接收失败"));
    QVERIFY(heading->text().contains("color:red"));

    // Nothing to receive: a bar that stands still, full at the end.
    Sender empty(address, request("file", 0, 1, "e.txt"));
    QTRY_VERIFY_WITH_TIMEOUT(asking(), 10000);
    QVERIFY(bar->maximum() > 0);
    question()->button(QMessageBox::Yes)->click();
    QTRY_COMPARE_WITH_TIMEOUT(empty.reply, TransferReply::accept(), 10000);
    ModalHelper notice([](QWidget *modal) { modal->close(); }, 30000);
    empty.socket.write("e.txt\r\nfile\r\n0\r\nFile end\r\nOVER\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(notice.answered, 30000);
    QCOMPARE(shown(), QString::fromUtf8("接收完成！\n0B/0B"));
    QVERIFY(heading->text().contains("color:green"));
    QCOMPARE(bar->value(), bar->maximum());
}

void TestDownloadView::leavingFreesThePort()
{
    startView();
    QSignalSpy changes(view.get(), &DownloadView::changeView);
    QTest::mouseClick(view->findChild<QPushButton *>("backPushButton"), Qt::LeftButton);
    QCOMPARE(changes.count(), 1);
    QCOMPARE(changes.first().first().toString(), QString("main"));
    QVERIFY(!view->sessionActive());

    // Entering again at once works like the first time: the session closes before it listens.
    view->startSession();
    QTRY_VERIFY(shownText().endsWith(QString::fromUtf8("等待对方发送…")));
    QVERIFY(!showsRedLine());
    QVERIFY(view->sessionActive());
    Sender sender(address, request("file", 5, 1));
    QTRY_VERIFY_WITH_TIMEOUT(asking(), 10000);
}

void TestDownloadView::listenFailureIsReportedAndNotAnnounced()
{
    PresenceEar ear;
    const QStringList &heard = ear.names;

    auto blocker = std::make_unique<QTcpServer>();
    QVERIFY(blocker->listen(address, transferPort));
    startView("blocked");
    QTRY_VERIFY(showsRedLine());
    QVERIFY2(shownText().contains(QString::fromUtf8("无法监听端口42135")), qPrintable(shownText()));
    auto failed = std::move(view);

    // A view that can listen announces at once; the blocked one, started before it, would have
    // been heard first.
    blocker.reset();
    startView("working");
    QTRY_VERIFY_WITH_TIMEOUT(heard.contains("working"), 10000);
    QVERIFY2(!heard.contains("blocked"), qPrintable(heard.join(',')));
}

void TestDownloadView::newSettingsApplyAtOnce()
{
    PresenceEar ear;
    QFile file(workDir->filePath("file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    saveDir = workDir->filePath("file/save");
    startView("before");
    QTRY_VERIFY_WITH_TIMEOUT(ear.names.contains("before"), 10000);
    // A transfer refused for want of a save folder leaves its red heading until there is one.
    Sender refused(address, request("file", 5, 1));
    QTRY_COMPARE_WITH_TIMEOUT(refused.reply, TransferReply::refusal(), 10000);
    auto *heading = view->findChild<QLabel *>("progressLabel");
    QTRY_VERIFY(heading->text().contains(QString::fromUtf8("接收失败")));
    const QString newDir = workDir->filePath("new");
    QVERIFY(QDir().mkdir(newDir));
    {
        const auto config = SettingsKeys::openConfig();
        config->setValue("userName", QString::fromUtf8("之后"));
        config->setValue("saveDir", newDir);
    }
    view->applySettings();
    QVERIFY(heading->text().isEmpty());
    const QString said = QString::fromUtf8("本机名称：之后，地址：") + address.toString() +
                         QString::fromUtf8("\n保存到：") + newDir +
                         QString::fromUtf8("\n等待对方发送…");
    QVERIFY2(shownText().endsWith(said), qPrintable(shownText()));
    ear.names.clear();
    QTRY_VERIFY_WITH_TIMEOUT(ear.names.contains(QString::fromUtf8("之后")), 10000);
}

void TestDownloadView::lateEndNeverClosesTheNextQuestion()
{
    startView();
    QSignalSpy offers(view->findChild<ReceiveSession *>(), &ReceiveSession::offered);
    Sender first(address, request("file", 5, 1));
    QTRY_VERIFY_WITH_TIMEOUT(asking(), 10000);
    QTest::mouseClick(question()->button(QMessageBox::No), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(first.reply, TransferReply::refusal(), 10000);
    Sender second(address, request("file", 5, 1));
    QTRY_VERIFY_WITH_TIMEOUT(asking(), 10000);
    QCOMPARE(offers.size(), 2);

    // The end of the first, had it come only now, belongs to a transfer that is over.
    QMetaObject::invokeMethod(view.get(), "ended",
                              Q_ARG(quint64, offers.first().first().toULongLong()),
                              Q_ARG(int, ReceiveOutcome::SenderLeft), Q_ARG(QString, QString()));
    QVERIFY(asking());
    QVERIFY(shownText().isEmpty());
}

// However many reports and batches a transfer's entries come in, their count is one line.
void TestDownloadView::unchangedFilesAreCountedOnce()
{
    startView();
    const quint64 id = 1;
    ReceiveOffer offer;
    offer.items = 601;
    QMetaObject::invokeMethod(view.get(), "offered", Q_ARG(quint64, id),
                              Q_ARG(ReceiveOffer, offer));
    for (int report = 0; report < 2; ++report)
        QMetaObject::invokeMethod(view.get(), "itemsStored", Q_ARG(quint64, id),
                                  Q_ARG(QList<StoredEntry>, {}), Q_ARG(int, 300));
    QMetaObject::invokeMethod(view.get(), "ended", Q_ARG(quint64, id),
                              Q_ARG(int, ReceiveOutcome::Incomplete), Q_ARG(QString, QString()));
    QTRY_VERIFY(shownText().contains(QString::fromUtf8("传输中断")));
    QCOMPARE(shownText().count(QString::fromUtf8("个文件未改变")), 1);
    QVERIFY(shownText().contains(QString::fromUtf8("600 个文件未改变，未再接收")));
}

void TestDownloadView::busyRefusalIsTold()
{
    startView();
    Sender first(address, request("file", 5, 1));
    QTRY_VERIFY_WITH_TIMEOUT(asking(), 10000);
    Sender second(address, request("file", 5, 1, "docs", 1, QString::fromUtf8("小红")));
    QTRY_COMPARE_WITH_TIMEOUT(second.reply, TransferReply::refusal(), 10000);
    QTRY_VERIFY2(shownText().contains(QString::fromUtf8("来自 小红（") + address.toString() +
                                      QString::fromUtf8("）的请求因正在传输而被拒绝")),
                 qPrintable(shownText()));
    QVERIFY(asking());
}

// Between two copies of this program: the partial files kept for them are listed at the start,
// and the question says how many files are here already and how much of a cut one is left.
void TestDownloadView::extendedOfferSaysWhatIsKeptAndSkipped()
{
    QVERIFY(QDir(saveDir).mkdir("docs"));
    QFile same(saveDir + "/docs/a.txt");
    QVERIFY(same.open(QIODevice::WriteOnly) && same.write("same") == 4);
    same.close();
    // A cut file continues from its last whole step: one kept, and a little of the next.
    const qint64 step = ExtendedProtocol::resumeStep;
    const Manifest::Item cut{"docs/b.bin", true, step + 2048, 1, true, fileItem("", "c").hash};
    ContentHash kept;
    kept.add(QByteArray(int(step), '\0').constData(), step);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QString path = saveDir + "/docs/b.bin";
    const QString id = TlsPeer::identity("sender").fingerprint().hex();
    const PartialRegistry::Entry entry{id,  cut.name, cut.size,        0, cut.hash, path,
                                       now, step,     kept.saveState()};
    QFile partial(saveDir + "/docs/.b.bin.nubo-partial");
    QVERIFY(partial.open(QIODevice::WriteOnly) && partial.resize(step + 1024));
    partial.close();
    QVERIFY(PartialRegistry().add(entry));
    startView();
    QTRY_VERIFY(shownText().contains(
        QString::fromUtf8(
            "可续传：docs/b.bin（已接收 %1，共 %2）\n未完成的文件保留 7 天，最多 10GB")
            .arg(formatSize(step), formatSize(step + 2048))));

    Sender peer(address,
                extendedRequest(Manifest{{Manifest::Item{"docs", false, 0, 0, false, {}},
                                          fileItem("docs/a.txt", "same"), cut}},
                                id, QByteArray(), Identity::shared().fingerprint().hex()),
                ExtendedProtocol::tcpPort);
    QTRY_VERIFY_WITH_TIMEOUT(asking(), 10000);
    // A continued folder is stored in place: nothing is said to be overwritten.
    QCOMPARE(question()->text().section("\n\n", 0, 0),
             QString::fromUtf8("名称：docs\n大小：%1\n3个项目\n来自：小明\n"
                               "其中 1 个文件已存在且相同，将跳过\n"
                               "将从上次中断处继续，还需传输 2.00KB")
                 .arg(formatSize(step + 2052)));
    QTest::mouseClick(question()->button(QMessageBox::No), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(peer.reply.endsWith("A\nN \n"), 10000);
}

void TestDownloadView::extendedTransferSaysWhatHappens_data()
{
    QTest::addColumn<bool>("same"); // the items are here already as they are offered
    QTest::addColumn<QString>("said");
    QTest::newRow("all files here already")
        << true << QString::fromUtf8("全部 2 个文件已存在且相同，无需传输");
    QTest::newRow("several items replaced")
        << false << QString::fromUtf8("保存路径中已有同名项目 a.txt 等2个，接收后将被覆盖。");
}

void TestDownloadView::extendedTransferSaysWhatHappens()
{
    QFETCH(bool, same);
    QFETCH(QString, said);
    for (const char *name : {"a.txt", "b.txt"}) {
        QFile file(saveDir + '/' + name);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(name) > 0);
    }
    startView();
    Sender peer(address,
                extendedRequest(Manifest{{fileItem("a.txt", same ? "a.txt" : "new a"),
                                          fileItem("b.txt", same ? "b.txt" : "new b")}},
                                TlsPeer::identity("sender").fingerprint().hex(), QByteArray(),
                                Identity::shared().fingerprint().hex()),
                ExtendedProtocol::tcpPort);
    QTRY_VERIFY_WITH_TIMEOUT(asking(), 10000);
    if (!same) {
        QVERIFY2(question()->text().contains(said), qPrintable(question()->text()));
        return;
    }
    ModalHelper notice([](QWidget *modal) { modal->close(); }, 30000);
    question()->button(QMessageBox::Yes)->click();
    QTRY_VERIFY_WITH_TIMEOUT(peer.reply.contains("Y "), 10000);
    peer.socket.write(ExtendedProtocol::endLine());
    QTRY_VERIFY_WITH_TIMEOUT(notice.answered, 30000);
    QTextDocument heading;
    heading.setHtml(view->findChild<QLabel *>("progressLabel")->text());
    QCOMPARE(heading.toPlainText(), said);
}

QTEST_MAIN(TestDownloadView)
#include "tst_downloadview.moc"
