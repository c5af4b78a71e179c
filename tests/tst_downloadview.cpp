#include "protocol/streamwriter.h"
#include "protocol/transferrequest.h"
#include "receive/downloadview.h"

#include "modalhelper.h"
#include "tempworkdir.h"
#include "testnetwork.h"

#include <QAbstractButton>
#include <QBuffer>
#include <QDesktopServices>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMutex>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QByteArray acceptReply = "HTTP/1.1 200 OK\r\nTransfer-Version: 1\r\n"
                               "Server: Nubo Name Response Server\r\nContent-Type: text/html\r\n"
                               "Content-Length: 2\r\nConnection: close\r\n\r\nOK";
const QByteArray refusalReply = "HTTP/1.1 404 Not Found\r\n\r\n";
const quint16 transferPort = 42135;

// The presence thread logs from its own thread.
QMutex debugMutex;
QStringList debugLines;
QtMessageHandler previousHandler = nullptr;

void collectMessages(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    {
        QMutexLocker locker(&debugMutex);
        debugLines << text;
    }
    if (previousHandler)
        previousHandler(type, context, text);
}

int logged(const char *line)
{
    QMutexLocker locker(&debugMutex);
    return debugLines.count(QString::fromUtf8(line));
}

int disconnectsLogged()
{
    return logged("客户端断开连接");
}

// Answers every message box the view opens, records what it showed, and answers the question
// with `answer` unless `duringQuestion` is set, which then acts once instead (and must close it).
class BoxAnswerer : public QObject
{
public:
    struct Box
    {
        QString title;
        QString text;
        QImage picture;
    };

    BoxAnswerer() { arm(); }

    QList<Box> boxes;
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    std::function<void(QMessageBox *)> duringQuestion;

    int count(const QString &title) const
    {
        int n = 0;
        for (const Box &box : boxes)
            n += box.title == title;
        return n;
    }
    int questions() const { return count(QString::fromUtf8("是否接收文件？")); }
    int notices() const { return count(QString::fromUtf8("提示")); }

private:
    void arm()
    {
        helper = std::make_unique<ModalHelper>([this](QWidget *widget) { handle(widget); },
                                               10 * 60 * 1000);
    }

    void handle(QWidget *widget)
    {
        // Armed again only once this box is dealt with, and from the next turn of the loop:
        // this runs inside the helper itself.
        struct Rearm
        {
            BoxAnswerer *answerer;
            ~Rearm()
            {
                QTimer::singleShot(0, answerer, [a = answerer] { a->arm(); });
            }
        } rearm{this};
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (!box) {
            widget->close();
            return;
        }
        boxes.append({box->windowTitle(), box->text(), box->iconPixmap().toImage()});
        if (box->windowTitle() == QString::fromUtf8("是否接收文件？")) {
            if (duringQuestion) {
                const auto act = std::move(duringQuestion);
                duringQuestion = nullptr;
                act(box);
            } else {
                box->button(answer)->click();
            }
        } else if (QAbstractButton *ok = box->button(QMessageBox::Ok)) {
            ok->click();
        } else {
            box->close();
        }
    }

    std::unique_ptr<ModalHelper> helper;
};

// The sending end of one transfer.
class Sender
{
public:
    Sender()
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { reply += socket.readAll(); });
    }

    bool connectTo(const QHostAddress &address)
    {
        socket.connectToHost(address, transferPort);
        return socket.waitForConnected(5000);
    }

    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }

    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }

    QTcpSocket socket;
    QByteArray reply;
};

QByteArray request(const QString &kind, qint64 contentLength, int items,
                   const QString &senderName = QStringLiteral("ruvak"))
{
    TransferRequest request;
    request.target = QStringLiteral("docs");
    request.kind = kind;
    request.filesNumber = 1;
    request.itemsNumber = items;
    request.contentLength = contentLength;
    request.senderName = senderName;
    return request.toUtf8();
}

QByteArray fileRecord(const QByteArray &name, const QByteArray &data)
{
    return name + "\r\nfile\r\n" + QByteArray::number(data.size()) + "\r\n" + data + "File end\r\n";
}

QByteArray folderRecord(const QByteArray &name)
{
    return name + "\r\nfolder\r\n";
}

QByteArray fileContents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

struct Link
{
    QString text;
    QUrl url;
};

QList<Link> linksIn(const QTextBrowser *browser)
{
    QList<Link> links;
    const QTextDocument *document = browser->document();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (format.isAnchor())
                links.append({it.fragment().text(), QUrl(format.anchorHref())});
        }
    }
    return links;
}

QStringList entriesBelow(const QString &folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(folder).relativeFilePath(it.next());
    entries.sort();
    return entries;
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
    void cleanupTestCase();

    void formMatchesTheDesign();
    void headerInChunksGivesOneQuestion_data();
    void headerInChunksGivesOneQuestion();
    void answerWritesExactlyOneReply_data();
    void answerWritesExactlyOneReply();
    void questionShowsTheOffer_data();
    void questionShowsTheOffer();
    void progressShowsTrueCounts();
    void bodyIsUnpackedWithOneLinkPerRecord();
    void twoTransfersInOneSession();
    void refusedTransferUnpacksNothing();
    void refusedSenderCannotHoldTheSession();
    void transferCutShortIsIncomplete_data();
    void transferCutShortIsIncomplete();
    void silentPeersDoNotHoldTheSession();
    void secondConnectionIsRefused_data();
    void secondConnectionIsRefused();
    void senderLeavingClosesTheQuestion();
    void maliciousBodyStaysInTheSaveFolder();
    void leavingFreesThePortAtOnce();
    void listenFailureIsReported();
    void missingSaveFolderIsReported();
    void manySmallFilesShowInOneGo();
    void largeBodyGoesToDiskInPieces();

private:
    void startView(const QString &saveFolder = QString());
    QTextBrowser *browser() const { return view->findChild<QTextBrowser *>("textBrowser"); }
    QProgressBar *bar() const { return view->findChild<QProgressBar *>("progressBar"); }
    QString shownText() const { return browser()->toPlainText(); }
    bool showsRedLine() const { return browser()->toHtml().contains("color:#ff0000"); }
    bool questionPending() const;
    // Connects, sends the request and has the question answered by `answerer`.
    bool offer(Sender &sender, const QByteArray &header, int questionsBefore = 0);
    QString writeSource(const QString &name, const QByteArray &data);

    QHostAddress address;
    std::unique_ptr<TempWorkDir> workDir;
    QString saveDir;
    std::unique_ptr<BoxAnswerer> answerer;
    std::unique_ptr<DownloadView> view;
    QList<QUrl> openedUrls;
};

void TestDownloadView::initTestCase()
{
    // The view announces itself and listens on this machine's address: only ever inside a test
    // host, whose one link carries the address the view learns.
    REQUIRE_TEST_NETWORK();
    for (const QNetworkAddressEntry &entry :
         QNetworkInterface::interfaceFromName("nubo0").addressEntries()) {
        if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
            address = entry.ip();
    }
    QVERIFY2(!address.isNull(), "the test host's link has no IPv4 address");
    previousHandler = qInstallMessageHandler(collectMessages);
}

void TestDownloadView::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
}

void TestDownloadView::init()
{
    {
        QMutexLocker locker(&debugMutex);
        debugLines.clear();
    }
    openedUrls.clear();
    workDir = std::make_unique<TempWorkDir>();
    QVERIFY(workDir->isValid());
    saveDir = workDir->filePath("save");
    QVERIFY(QDir().mkdir(saveDir));
    answerer = std::make_unique<BoxAnswerer>();
}

void TestDownloadView::cleanup()
{
    QDesktopServices::unsetUrlHandler("file");
    view.reset();
    answerer.reset();
    workDir.reset();
}

void TestDownloadView::startView(const QString &saveFolder)
{
    {
        QSettings config("config.ini", QSettings::IniFormat);
        config.setValue("saveDir", saveFolder.isEmpty() ? saveDir : saveFolder);
        config.setValue("userName", "tester");
    }
    view = std::make_unique<DownloadView>();
    view->show();
    view->startSession();
}

bool TestDownloadView::questionPending() const
{
    const auto timers = view->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
    for (const QTimer *timer : timers) {
        if (timer->isActive())
            return true;
    }
    return false;
}

bool TestDownloadView::offer(Sender &sender, const QByteArray &header, int questionsBefore)
{
    if (!sender.connectTo(address))
        return false;
    sender.send(header);
    const QByteArray expected = answerer->answer == QMessageBox::Yes ? acceptReply : refusalReply;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 5000 &&
           (answerer->questions() == questionsBefore || sender.reply.size() < expected.size()))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return answerer->questions() == questionsBefore + 1 && sender.reply == expected;
}

QString TestDownloadView::writeSource(const QString &name, const QByteArray &data)
{
    const QString path = workDir->filePath("src/" + name);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(data);
    return path;
}

void TestDownloadView::formMatchesTheDesign()
{
    startView();
    QCOMPARE(view->objectName(), QString("DownloadView"));
    QCOMPARE(view->windowTitle(), QString::fromUtf8("接受文件"));
    auto *grid = view->findChild<QGridLayout *>("gridLayout");
    QVERIFY(grid);
    QCOMPARE(view->layout(), grid);

    const auto cell = [grid](QWidget *widget) {
        int row, column, rowSpan, columnSpan;
        grid->getItemPosition(grid->indexOf(widget), &row, &column, &rowSpan, &columnSpan);
        return QList<int>{row, column, rowSpan, columnSpan};
    };
    auto *back = view->findChild<QPushButton *>("backPushButton");
    auto *label = view->findChild<QLabel *>("label");
    QVERIFY(back && label && bar() && browser());
    QCOMPARE(cell(browser()), (QList<int>{2, 0, 1, 4}));
    QCOMPARE(cell(back), (QList<int>{0, 0, 1, 1}));
    QCOMPARE(cell(label), (QList<int>{0, 1, 1, 1}));
    QCOMPARE(cell(bar()), (QList<int>{0, 2, 1, 1}));

    QVERIFY(!browser()->openLinks());
    QCOMPARE(back->minimumSize(), QSize(74, 0));
    QVERIFY(back->text().isEmpty());
    QVERIFY(!back->icon().isNull());
    QCOMPARE(label->text(), QString::fromUtf8("接收进度:"));
    QCOMPARE(label->font().family(), QString::fromUtf8("微软雅黑"));
    QVERIFY(label->font().bold());
    QCOMPARE(bar()->value(), 0);
    // A fresh session on a working namespace has nothing to complain about.
    QVERIFY2(!showsRedLine(), qPrintable(shownText()));
    QVERIFY(view->sessionActive());
}

void TestDownloadView::headerInChunksGivesOneQuestion_data()
{
    QTest::addColumn<int>("pieces");
    QTest::newRow("one piece") << 1;
    QTest::newRow("three pieces") << 3;
    QTest::newRow("five pieces") << 5;
}

void TestDownloadView::headerInChunksGivesOneQuestion()
{
    QFETCH(int, pieces);
    startView();
    QElapsedTimer clock;
    clock.start();
    qint64 askedAt = -1;
    QByteArray storedHeader;
    answerer->duringQuestion = [&](QMessageBox *box) {
        askedAt = clock.elapsed();
        storedHeader = fileContents("header");
        box->button(QMessageBox::No)->click();
    };

    Sender sender;
    QVERIFY(sender.connectTo(address));
    const QByteArray header = request("folder", 1536, 3);
    const int step = header.size() / pieces + 1;
    qint64 lastPieceAt = 0;
    for (int i = 0; i < pieces; ++i) {
        if (i > 0)
            QTest::qWait(400); // a slow sender: each piece well within the quiet period
        sender.send(header.mid(i * step, step));
        lastPieceAt = clock.elapsed();
    }
    QTRY_COMPARE_WITH_TIMEOUT(sender.reply, refusalReply, 5000);
    QCOMPARE(answerer->questions(), 1);
    QVERIFY2(askedAt - lastPieceAt >= 1000 && askedAt - lastPieceAt < 1800,
             qPrintable(QString("asked %1 ms after the last piece").arg(askedAt - lastPieceAt)));
    QVERIFY(!questionPending());
    QCOMPARE(storedHeader, header);
}

void TestDownloadView::answerWritesExactlyOneReply_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("refusalLine");

    QTest::newRow("yes accepts") << int(QMessageBox::Yes) << acceptReply << false;
    QTest::newRow("no refuses") << int(QMessageBox::No) << refusalReply << true;
    QTest::newRow("closing the box refuses") << -1 << refusalReply << true;
}

void TestDownloadView::answerWritesExactlyOneReply()
{
    QFETCH(int, answer);
    QFETCH(QByteArray, reply);
    QFETCH(bool, refusalLine);
    startView();
    answerer->duringQuestion = [answer](QMessageBox *box) {
        if (answer < 0)
            box->close();
        else
            box->button(QMessageBox::StandardButton(answer))->click();
    };

    Sender sender;
    QVERIFY(sender.connectTo(address));
    sender.send(request("file", 1536, 1));
    QTRY_COMPARE_WITH_TIMEOUT(sender.reply, reply, 5000);
    QCOMPARE(answerer->questions(), 1);
    QCOMPARE(shownText().contains(QString::fromUtf8("拒绝传输！")), refusalLine);
    QCOMPARE(showsRedLine(), refusalLine);
    // After an acceptance the body follows on the same connection; after a refusal the view
    // closes it, so that a sender keeping its end open cannot hold up the next transfer.
    if (refusalLine)
        QTRY_VERIFY(sender.closed());
    else
        QVERIFY(!sender.closed());
}

void TestDownloadView::questionShowsTheOffer_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("picture");

    QTest::newRow("a file") << request("file", 1536, 1)
                            << QString::fromUtf8("1.50KB\n1个文件\n来自:ruvak")
                            << ":/image/file.ico";
    QTest::newRow("a folder") << request("folder", 1536, 3)
                              << QString::fromUtf8("1.50KB\n3个文件\n来自:ruvak")
                              << ":/image/folder.ico";
    QTest::newRow("another type") << request("zip", 0, 2, QString::fromUtf8("小明"))
                                  << QString::fromUtf8("0B\n2个文件\n来自:小明")
                                  << ":/image/folder.ico";
    QTest::newRow("several gigabytes")
        << request("folder", Q_INT64_C(5) << 30, 9)
        << QString::fromUtf8("5.00GB\n9个文件\n来自:ruvak") << ":/image/folder.ico";
    QTest::newRow("fields missing")
        << QByteArray("MYPOST /x HTTP/1.1\r\nHost: localhost\r\n\r\n")
        << QString::fromUtf8("0B\n个文件\n来自:") << ":/image/folder.ico";
    QTest::newRow("type in other case")
        << QByteArray("MYPOST /x HTTP/1.1\r\nContent-Type: Application/File\r\n"
                      "Content-Length: abc\r\nItems-Number: 1\r\nsender-name: a:b\r\n\r\n")
        << QString::fromUtf8("0B\n1个文件\n来自:a") << ":/image/folder.ico";
}

void TestDownloadView::questionShowsTheOffer()
{
    QFETCH(QByteArray, header);
    QFETCH(QString, text);
    QFETCH(QString, picture);
    startView();
    answerer->answer = QMessageBox::No;

    Sender sender;
    QVERIFY(offer(sender, header));
    const BoxAnswerer::Box &question = answerer->boxes.first();
    QCOMPARE(question.text, text);
    QCOMPARE(question.picture, QPixmap(picture).toImage());
    const QString other = picture.contains("file") ? ":/image/folder.ico" : ":/image/file.ico";
    QVERIFY(question.picture != QPixmap(other).toImage());
}

void TestDownloadView::progressShowsTrueCounts()
{
    startView();
    const QByteArray data(10240, 'x');
    const QByteArray body = fileRecord("big.bin", data) + "OVER\r\n";

    Sender sender;
    QVERIFY(offer(sender, request("file", data.size(), 1)));
    sender.send(body.left(5000));
    QTRY_COMPARE(shownText(), QString::fromUtf8("正在接收...\n4.88KB/10.00KB"));
    QCOMPARE(bar()->maximum(), 10240);
    QCOMPARE(bar()->value(), 5000);

    // The whole body is larger than the announced file sizes: the text says so, the bar is full.
    sender.send(body.mid(5000));
    QTRY_COMPARE(shownText(), QString::fromUtf8("正在接收...\n%1/10.00KB")
                                  .arg(QString::number(body.size() / 1024.0, 'f', 2) + "KB"));
    QCOMPARE(bar()->value(), 10240);

    sender.socket.disconnectFromHost();
    QTRY_COMPARE(answerer->notices(), 1);
    QCOMPARE(bar()->value(), 0);
    QCOMPARE(fileContents(saveDir + "/big.bin"), data);
}

void TestDownloadView::bodyIsUnpackedWithOneLinkPerRecord()
{
    startView();
    const QStringList names{"docs",
                            "docs/a.txt",
                            "docs/sub",
                            "docs/sub/b c#1 100%.txt",
                            QString::fromUtf8("docs/报告 \"终稿\" <v2>.txt"),
                            "empty"};
    QBuffer body;
    body.open(QIODevice::WriteOnly);
    StreamWriter writer(&body);
    QVERIFY(writer.writeFolder(names[0]));
    QVERIFY(writer.writeFile(names[1], writeSource("a.txt", "hello")));
    QVERIFY(writer.writeFolder(names[2]));
    QVERIFY(writer.writeFile(names[3], writeSource("b.txt", "line\r\nFile end\r\nOVER\r\n")));
    QVERIFY(writer.writeFile(names[4], writeSource("c.txt", QByteArray(3000, 'c'))));
    QVERIFY(writer.writeFile(names[5], writeSource("empty", QByteArray())));
    QVERIFY(writer.writeEnd());

    Sender sender;
    QVERIFY(offer(sender, request("folder", 3005 + 22, names.size())));
    sender.send(body.data());
    QTRY_VERIFY(shownText().contains(QString::fromUtf8("正在接收")));
    sender.socket.disconnectFromHost();
    QTRY_COMPARE(answerer->notices(), 1);

    const BoxAnswerer::Box &notice = answerer->boxes.last();
    QCOMPARE(notice.text, QString::fromUtf8("接收完成！"));
    QVERIFY(shownText().contains(QString::fromUtf8("接收完成!\n正在解析流文件...")));
    QVERIFY(shownText().endsWith(QString::fromUtf8("完成!")));
    QVERIFY(!showsRedLine());

    const QList<Link> links = linksIn(browser());
    QCOMPARE(links.size(), names.size());
    for (int i = 0; i < names.size(); ++i) {
        QCOMPARE(links[i].text, names[i]);
        QCOMPARE(links[i].url.toLocalFile(), saveDir + "/" + names[i]);
    }
    QCOMPARE(fileContents(saveDir + "/docs/a.txt"), QByteArray("hello"));
    QCOMPARE(fileContents(saveDir + "/" + names[3]), QByteArray("line\r\nFile end\r\nOVER\r\n"));
    QCOMPARE(fileContents(saveDir + "/" + names[4]), QByteArray(3000, 'c'));
    QCOMPARE(fileContents(saveDir + "/empty"), QByteArray());
    QCOMPARE(fileContents("stream"), body.data());

    // A click hands the link's URL to the desktop, which opens the stored item.
    QDesktopServices::setUrlHandler("file", this, "openedByDesktop");
    for (const Link &link : links)
        QVERIFY(QMetaObject::invokeMethod(browser(), "anchorClicked", Q_ARG(QUrl, link.url)));
    QCOMPARE(openedUrls.size(), names.size());
    QCOMPARE(openedUrls[3].toLocalFile(), saveDir + "/" + names[3]);
    QVERIFY(QFileInfo(openedUrls[3].toLocalFile()).isFile());
    QVERIFY(QFileInfo(openedUrls[2].toLocalFile()).isDir());
}

void TestDownloadView::twoTransfersInOneSession()
{
    startView();
    for (int round = 1; round <= 2; ++round) {
        const QByteArray name = "round" + QByteArray::number(round) + ".txt";
        const QByteArray data = QByteArray(100 * round, 'a' + round);
        Sender sender;
        QVERIFY(offer(sender, request("file", data.size(), 1), round - 1));
        sender.send(fileRecord(name, data) + "OVER\r\n");
        // The first chunk of a body replaces what the previous transfer left in the view.
        QTRY_VERIFY(shownText().startsWith(QString::fromUtf8("正在接收")));
        sender.socket.disconnectFromHost();
        QTRY_COMPARE(answerer->notices(), round);

        QCOMPARE(fileContents(saveDir + "/" + name), data);
        const QList<Link> links = linksIn(browser());
        QCOMPARE(links.size(), 1);
        QCOMPARE(links.first().text, QString(name));
        // Ready for the next request.
        QCOMPARE(QFileInfo("header").size(), qint64(0));
        QCOMPARE(bar()->value(), 0);
    }
    QCOMPARE(answerer->questions(), 2);
}

void TestDownloadView::refusedTransferUnpacksNothing()
{
    startView();
    const QByteArray body = fileRecord("a.txt", "hello") + "OVER\r\n";
    Sender sender;
    // A sender that does not wait for the answer: its body is there before the refusal.
    answerer->duringQuestion = [&](QMessageBox *box) {
        sender.send(body);
        QTRY_COMPARE(QFileInfo("stream").size(), qint64(body.size()));
        box->button(QMessageBox::No)->click();
    };
    QVERIFY(sender.connectTo(address));
    sender.send(request("file", 5, 1));
    QTRY_COMPARE_WITH_TIMEOUT(sender.reply, refusalReply, 5000);
    QTRY_COMPARE(disconnectsLogged(), 1);

    QCOMPARE(entriesBelow(saveDir), QStringList());
    QCOMPARE(answerer->notices(), 0);
    QCOMPARE(shownText(), QString::fromUtf8("拒绝传输！"));
    QVERIFY(linksIn(browser()).isEmpty());
}

void TestDownloadView::refusedSenderCannotHoldTheSession()
{
    startView();
    answerer->answer = QMessageBox::No;
    Sender refused;
    QVERIFY(offer(refused, request("file", 5, 1)));
    // The refused sender never closes its end; the next one is still asked.
    answerer->answer = QMessageBox::Yes;
    Sender next;
    QVERIFY(offer(next, request("file", 5, 1), 1));
    QCOMPARE(refused.reply, refusalReply);
}

void TestDownloadView::transferCutShortIsIncomplete_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("leaveView");
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QString>("itemLine");

    const QByteArray whole = folderRecord("docs") + fileRecord("docs/a.txt", "hello");
    const QByteArray big = fileRecord("docs/big.bin", QByteArray(4000, 'b'));
    QTest::newRow("cut inside a file")
        << whole + big.left(2000) << false << QStringList{"docs", "docs/a.txt"}
        << QString::fromUtf8("未完整收到：docs/big.bin");
    QTest::newRow("cut before the end marker")
        << whole << false << QStringList{"docs", "docs/a.txt"} << QString();
    QTest::newRow("no body at all") << QByteArray() << false << QStringList() << QString();
    QTest::newRow("user leaves during the body")
        << whole + big.left(100) << true << QStringList{"docs", "docs/a.txt"}
        << QString::fromUtf8("未完整收到：docs/big.bin");
}

void TestDownloadView::transferCutShortIsIncomplete()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, leaveView);
    QFETCH(QStringList, stored);
    QFETCH(QString, itemLine);
    startView();

    Sender sender;
    QVERIFY(offer(sender, request("folder", 4005, 3)));
    if (!body.isEmpty()) {
        sender.send(body);
        QTRY_COMPARE(QFileInfo("stream").size(), qint64(body.size()));
    }
    QSignalSpy changes(view.get(), &DownloadView::changeView);
    if (leaveView)
        view->findChild<QPushButton *>("backPushButton")->click();
    else
        sender.socket.disconnectFromHost();
    QTRY_COMPARE(disconnectsLogged(), 1);

    QCOMPARE(entriesBelow(saveDir), stored);
    QCOMPARE(linksIn(browser()).size(), stored.size());
    QVERIFY(shownText().contains(QString::fromUtf8("传输中断，接收不完整！")));
    if (!itemLine.isEmpty())
        QVERIFY2(shownText().contains(itemLine), qPrintable(shownText()));
    QVERIFY(!shownText().contains(QString::fromUtf8("接收完成")));
    QCOMPARE(answerer->notices(), 0);
    QCOMPARE(changes.count(), leaveView ? 1 : 0);
    QCOMPARE(view->sessionActive(), !leaveView);
    if (leaveView)
        QTRY_VERIFY(sender.closed());
}

void TestDownloadView::silentPeersDoNotHoldTheSession()
{
    startView();
    view->setIdleTimeout(300);

    // A connection that never says anything is dropped, and the next sender is asked.
    Sender silent;
    QVERIFY(silent.connectTo(address));
    QTRY_VERIFY(silent.closed());
    QVERIFY(silent.reply.isEmpty());
    QCOMPARE(answerer->questions(), 0);

    // A body that stops half way is given up and reported incomplete, never complete. (The
    // request itself needs the one-second quiet period.)
    view->setIdleTimeout(1500);
    Sender stalled;
    QVERIFY(offer(stalled, request("file", 10, 2)));
    stalled.send(fileRecord("whole.txt", "12345") + "cut.txt\r\nfile\r\n5\r\n12");
    QTRY_VERIFY(stalled.closed());
    QTRY_COMPARE(disconnectsLogged(), 2);
    QCOMPARE(entriesBelow(saveDir), QStringList{"whole.txt"});
    QVERIFY(shownText().contains(QString::fromUtf8("传输中断，接收不完整！")));
    QVERIFY(!shownText().contains(QString::fromUtf8("接收完成")));
    QCOMPARE(answerer->notices(), 0);

    Sender next;
    QVERIFY(offer(next, request("file", 5, 1), 1));
}

void TestDownloadView::secondConnectionIsRefused_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("while the first header arrives") << "header";
    QTest::newRow("while the question is open") << "question";
    QTest::newRow("while the body arrives") << "body";
}

void TestDownloadView::secondConnectionIsRefused()
{
    QFETCH(QString, when);
    startView();
    const QByteArray data(2000, 'd');
    const QByteArray body = fileRecord("first.bin", data) + "OVER\r\n";
    const QByteArray intruderBytes =
        request("file", 4, 1, "intruder") + fileRecord("second.bin", "evil") + "OVER\r\n";
    Sender first;
    Sender second;

    // Work files as they stand, and the intruder's turn: it must get the refusal, be closed,
    // and leave them as they were.
    const auto intrude = [&] {
        const QByteArray header = fileContents("header");
        const QByteArray stream = fileContents("stream");
        QVERIFY(second.connectTo(address));
        second.send(intruderBytes);
        QTRY_VERIFY(second.closed());
        QCOMPARE(second.reply, refusalReply);
        QCOMPARE(fileContents("header"), header);
        QCOMPARE(fileContents("stream"), stream);
    };

    QVERIFY(first.connectTo(address));
    if (when == "header") {
        const QByteArray header = request("file", data.size(), 1);
        first.send(header.left(20));
        QTRY_COMPARE(QFileInfo("header").size(), qint64(20));
        intrude();
        first.send(header.mid(20));
    } else {
        first.send(request("file", data.size(), 1));
    }
    if (when == "question") {
        answerer->duringQuestion = [&](QMessageBox *box) {
            intrude();
            box->button(QMessageBox::Yes)->click();
        };
    }
    QTRY_COMPARE_WITH_TIMEOUT(first.reply, acceptReply, 5000);
    if (when == "body") {
        first.send(body.left(1000));
        QTRY_COMPARE(QFileInfo("stream").size(), qint64(1000));
        intrude();
    }
    first.send(body.mid(when == "body" ? 1000 : 0));
    first.socket.disconnectFromHost();
    QTRY_COMPARE(answerer->notices(), 1);

    QCOMPARE(answerer->questions(), 1);
    QCOMPARE(answerer->boxes.first().text, QString::fromUtf8("1.95KB\n1个文件\n来自:ruvak"));
    QCOMPARE(entriesBelow(saveDir), QStringList{"first.bin"});
    QCOMPARE(fileContents(saveDir + "/first.bin"), data);
    QCOMPARE(fileContents("stream"), body);
    QVERIFY(!showsRedLine());
}

void TestDownloadView::senderLeavingClosesTheQuestion()
{
    startView();
    Sender sender;
    bool forced = false;
    answerer->duringQuestion = [&](QMessageBox *box) {
        sender.socket.abort();
        // Only a safety net so that a faulty view cannot keep the test waiting.
        QTimer::singleShot(5000, box, [box, &forced] {
            if (box->isVisible()) {
                forced = true;
                box->done(QMessageBox::Yes);
            }
        });
    };
    QVERIFY(sender.connectTo(address));
    sender.send(request("file", 10, 1));
    QTRY_COMPARE_WITH_TIMEOUT(answerer->questions(), 1, 5000);
    QTRY_COMPARE(disconnectsLogged(), 1);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY(!forced);

    QCOMPARE(shownText(), QString::fromUtf8("发送方已断开连接。"));
    QVERIFY(!showsRedLine());
    QCOMPARE(answerer->notices(), 0);

    // The session goes on: the next sender is asked as usual.
    Sender next;
    QVERIFY(offer(next, request("file", 10, 1), 1));
}

void TestDownloadView::maliciousBodyStaysInTheSaveFolder()
{
    startView();
    const QString outside = workDir->filePath("outside");
    QVERIFY(QDir().mkdir(outside));
    const QByteArray absolute = (outside + "/absolute.txt").toUtf8();
    const QByteArray body = fileRecord("../up.txt", "evil") + fileRecord(absolute, "evil") +
                            folderRecord("docs") + fileRecord("docs/../../deep.txt", "evil") +
                            fileRecord("<a href='x.invalid'>click.txt", "markup") +
                            fileRecord("<img src=x.png><b>bold.txt", "markup") +
                            fileRecord("ok.txt", "fine") + "OVER\r\n";
    Sender sender;
    QVERIFY(offer(sender, request("folder", 30, 7)));
    sender.send(body);
    QTRY_COMPARE(QFileInfo("stream").size(), qint64(body.size()));
    sender.socket.disconnectFromHost();
    QTRY_COMPARE(disconnectsLogged(), 1);

    // Only the save folder gained anything, and only names that stay inside it.
    QCOMPARE(entriesBelow(outside), QStringList());
    QCOMPARE(entriesBelow(workDir->path()),
             (QStringList{"config.ini", "header", "outside", "save",
                          "save/<a href='x.invalid'>click.txt", "save/<img src=x.png><b>bold.txt",
                          "save/docs", "save/ok.txt", "stream"}));

    // The view shows peer names as text: links only to stored items, no markup of the peer's.
    const QList<Link> links = linksIn(browser());
    QStringList texts;
    for (const Link &link : links) {
        texts << link.text;
        QCOMPARE(link.url.toLocalFile(), saveDir + "/" + link.text);
    }
    QCOMPARE(texts, (QStringList{"docs", "<a href='x.invalid'>click.txt",
                                 "<img src=x.png><b>bold.txt", "ok.txt"}));
    QVERIFY(!browser()->toHtml().contains("<img"));
    for (const QString &name :
         {QString("../up.txt"), QString(absolute), QString("docs/../../deep.txt")})
        QVERIFY2(shownText().contains(QString::fromUtf8("已拒绝不安全的名称：") + name),
                 qPrintable(name));
    QVERIFY(showsRedLine());
    QCOMPARE(answerer->notices(), 0);
}

void TestDownloadView::leavingFreesThePortAtOnce()
{
    startView();
    QSignalSpy changes(view.get(), &DownloadView::changeView);
    view->findChild<QPushButton *>("backPushButton")->click();
    QCOMPARE(changes.count(), 1);
    QCOMPARE(changes.first().first().toString(), QString("main"));
    QVERIFY(!view->sessionActive());
    // The presence thread has ended by the time the view asks to be left.
    QCOMPARE(logged("退出UDP线程"), 1);

    QTcpServer probe;
    QVERIFY2(probe.listen(address, transferPort), qPrintable(probe.errorString()));
    probe.close();

    // Entering again at once works like the first time.
    browser()->append("old text");
    view->startSession();
    QVERIFY(view->sessionActive());
    QCOMPARE(shownText(), QString());
    Sender sender;
    QVERIFY(offer(sender, request("file", 10, 1)));
}

void TestDownloadView::listenFailureIsReported()
{
    QTcpServer blocker;
    QVERIFY(blocker.listen(address, transferPort));
    startView();
    QVERIFY(showsRedLine());
    QVERIFY2(shownText().contains(QString::fromUtf8("无法监听端口42135")), qPrintable(shownText()));
}

void TestDownloadView::missingSaveFolderIsReported()
{
    const QString missing = workDir->filePath("gone");
    startView(missing);
    QVERIFY(showsRedLine());
    const QString line = QString::fromUtf8("保存路径不存在或不可写：") + missing;
    QCOMPARE(shownText(), line);

    Sender sender;
    QVERIFY(offer(sender, request("file", 5, 1)));
    sender.send(fileRecord("a.txt", "hello") + "OVER\r\n");
    QTRY_VERIFY(shownText().contains(QString::fromUtf8("正在接收")));
    sender.socket.disconnectFromHost();
    QTRY_COMPARE(disconnectsLogged(), 1);

    QVERIFY(shownText().contains(line));
    QVERIFY(!QFileInfo::exists(missing));
    QCOMPARE(answerer->notices(), 0);
}

void TestDownloadView::manySmallFilesShowInOneGo()
{
    const int files = qEnvironmentVariableIntValue("NUBO_MANY_FILES");
    if (files <= 0)
        QSKIP("a measurement: set NUBO_MANY_FILES to the number of files to send");
    startView();
    QByteArray body = folderRecord("many");
    for (int i = 0; i < files; ++i)
        body += fileRecord("many/" + QByteArray::number(i) + ".txt", QByteArray::number(i));
    body += "OVER\r\n";

    Sender sender;
    QVERIFY(offer(sender, request("folder", files * 5, files + 1)));
    sender.send(body);
    QTRY_COMPARE(QFileInfo("stream").size(), qint64(body.size()));
    QElapsedTimer clock;
    clock.start();
    sender.socket.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(answerer->notices(), 1, 600000);
    qInfo("%d files unpacked and listed in %lld ms", files, clock.elapsed());
    QCOMPARE(linksIn(browser()).size(), files + 1);
    QCOMPARE(fileContents(saveDir + "/many/" + QString::number(files - 1) + ".txt"),
             QByteArray::number(files - 1));
}

void TestDownloadView::largeBodyGoesToDiskInPieces()
{
    const qint64 size = qint64(qEnvironmentVariableIntValue("NUBO_LARGE_BODY_MIB")) << 20;
    if (size <= 0)
        QSKIP("a measurement: set NUBO_LARGE_BODY_MIB to the size of the file to send");
    startView();
    QByteArray piece(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < piece.size(); ++i)
        piece[i] = char(i * 7);

    Sender sender;
    QVERIFY(offer(sender, request("file", size, 1)));
    sender.send("big.bin\r\nfile\r\n" + QByteArray::number(size) + "\r\n");
    QElapsedTimer clock;
    clock.start();
    for (qint64 sent = 0; sent < size; sent += piece.size()) {
        // The sender keeps at most a few pieces in flight, so only the view can grow.
        while (sender.socket.bytesToWrite() > 4 * piece.size())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        sender.socket.write(piece.left(int(qMin<qint64>(piece.size(), size - sent))));
    }
    sender.send("File end\r\nOVER\r\n");
    while (sender.socket.bytesToWrite() > 0)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo("stream").size() >= size, 600000);
    qInfo("%lld MiB received in %lld ms, shown: %s", size >> 20, clock.elapsed(),
          qPrintable(shownText().section('\n', 1)));
    QCOMPARE(bar()->value(), bar()->maximum());
    sender.socket.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(answerer->notices(), 1, 600000);
    QCOMPARE(QFileInfo(saveDir + "/big.bin").size(), size);
}

QTEST_MAIN(TestDownloadView)
#include "tst_downloadview.moc"
