#include "app/mainview.h"
#include "app/mainwindow.h"
#include "protocol/transferrequest.h"
#include "protocol/udpsendthread.h"
#include "receive/downloadview.h"
#include "security/identity.h"
#include "send/uploadview.h"
#include "settings/settingdialog.h"

#include "modalhelper.h"
#include "tempworkdir.h"
#include "testnetwork.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTcpSocket>
#include <QTextBrowser>
#include <QToolButton>
#include <QtTest>

#include <memory>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void showsWithoutWaitingForTheNetwork();
    void windowIsFixedWithItsMenus();
    void homeViewIsShownFirst();
    void homeButtonsAskForTheirViews();
    void changeView_data();
    void changeView();
    void viewsSurviveManySwitches();
    void aboutBoxShowsNameAndVersion();
    void aboutQtBoxHasItsTitle();
    void closingMidTransferAsks();
    void newSettingsReachTheReceiveView();

private:
    template <typename View> static View *findView();
    static void switchTo(MainWindow &window, const QString &name);

    std::unique_ptr<TempWorkDir> workDir;
};

void TestMainWindow::initTestCase()
{
    REQUIRE_TEST_NETWORK();
    // The first window of the process makes the identity in a fresh working folder.
    const TempWorkDir fresh;
    const MainWindow window;
    QVERIFY(QFile::exists(fresh.filePath(Identity::keyFileName())) && Identity::shared().isValid());
}

void TestMainWindow::init()
{
    workDir = std::make_unique<TempWorkDir>();
    QVERIFY(workDir->isValid());
}

void TestMainWindow::cleanup()
{
    workDir.reset();
}

template <typename View> View *TestMainWindow::findView()
{
    // The views that are not central have no parent, so look among all widgets.
    View *found = nullptr;
    for (QWidget *widget : QApplication::allWidgets()) {
        if (auto *view = qobject_cast<View *>(widget))
            found = view;
    }
    return found;
}

void TestMainWindow::switchTo(MainWindow &window, const QString &name)
{
    QVERIFY(QMetaObject::invokeMethod(&window, "changeView", Q_ARG(QString, name)));
}

void TestMainWindow::showsWithoutWaitingForTheNetwork()
{
    // Learning the local address once blocked start-up for up to 30 s where there was no
    // internet; nothing in start-up may wait for the network.
    QElapsedTimer clock;
    clock.start();
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed()) + " ms"));
}

void TestMainWindow::windowIsFixedWithItsMenus()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QString::fromUtf8("Nubo文件传输助手"));
    QCOMPARE(window.size(), QSize(531, 335));
    QCOMPARE(window.minimumSize(), QSize(531, 335));
    QCOMPARE(window.maximumSize(), QSize(531, 335));
    QVERIFY(!window.windowIcon().isNull());

    const QList<QAction *> menus = window.menuBar()->actions();
    QCOMPARE(menus.size(), 2);
    QCOMPARE(menus.at(0)->text(), QString::fromUtf8("设置(&S)"));
    QCOMPARE(menus.at(1)->text(), QString::fromUtf8("帮助(&H)"));

    const QList<QAction *> settingEntries = menus.at(0)->menu()->actions();
    QCOMPARE(settingEntries.size(), 1);
    QCOMPARE(settingEntries.at(0)->objectName(), QString("SettingAction"));
    QVERIFY(!settingEntries.at(0)->icon().isNull());

    const QList<QAction *> helpEntries = menus.at(1)->menu()->actions();
    QCOMPARE(helpEntries.size(), 2);
    QCOMPARE(helpEntries.at(0)->text(), QString::fromUtf8("关于(&A)"));
    QCOMPARE(helpEntries.at(1)->text(), QString::fromUtf8("关于 Qt(&Q)"));
}

void TestMainWindow::homeViewIsShownFirst()
{
    MainWindow window;
    QVERIFY(qobject_cast<MainView *>(window.centralWidget()));
    // The form's placeholder goes once the home view takes its place.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!window.findChild<QWidget *>("centralwidget"));
}

void TestMainWindow::homeButtonsAskForTheirViews()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *home = qobject_cast<MainView *>(window.centralWidget());
    QVERIFY(home);
    QSignalSpy spy(home, &MainView::changeView);

    // Send is the left button, receive the right one.
    home->findChild<QToolButton *>("toolButtonS")->click();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.takeFirst().at(0).toString(), QString("send"));
    QVERIFY(qobject_cast<UploadView *>(window.centralWidget()));

    switchTo(window, "main");
    home->findChild<QToolButton *>("toolButtonR")->click();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.takeFirst().at(0).toString(), QString("recv"));
    QVERIFY(qobject_cast<DownloadView *>(window.centralWidget()));
}

void TestMainWindow::changeView_data()
{
    QTest::addColumn<QString>("viewName");
    QTest::addColumn<QString>("shownClass");
    QTest::addColumn<bool>("receiveStarted");
    QTest::addColumn<bool>("sendStarted");

    QTest::newRow("recv shows the receive view") << "recv"
                                                 << "DownloadView" << true << false;
    QTest::newRow("send shows the send view") << "send"
                                              << "UploadView" << false << true;
    QTest::newRow("main shows home") << "main"
                                     << "MainView" << false << false;
    QTest::newRow("capital Recv is not recv") << "Recv"
                                              << "MainView" << false << false;
    QTest::newRow("empty name shows home") << ""
                                           << "MainView" << false << false;
}

void TestMainWindow::changeView()
{
    QFETCH(QString, viewName);
    QFETCH(QString, shownClass);
    QFETCH(bool, receiveStarted);
    QFETCH(bool, sendStarted);

    MainWindow window;
    window.show();
    auto *receiveView = findView<DownloadView>();
    auto *sendView = findView<UploadView>();
    QVERIFY(receiveView && sendView);
    QVERIFY(!receiveView->sessionActive() && !sendView->sessionActive());

    switchTo(window, viewName);
    QWidget *shown = window.centralWidget();
    QVERIFY(shown);
    QCOMPARE(QString(shown->metaObject()->className()), shownClass);
    QTRY_VERIFY(shown->isVisible());
    QCOMPARE(receiveView->sessionActive(), receiveStarted);
    QCOMPARE(sendView->sessionActive(), sendStarted);
}

void TestMainWindow::viewsSurviveManySwitches()
{
    MainWindow window;
    window.show();
    QPointer<QWidget> home = window.centralWidget();
    switchTo(window, "recv");
    QPointer<QWidget> receive = window.centralWidget();
    switchTo(window, "send");
    QPointer<QWidget> send = window.centralWidget();

    for (int i = 0; i < 40; ++i) {
        switchTo(window, "main");
        QCOMPARE(window.centralWidget(), home.data());
        switchTo(window, i % 2 ? "recv" : "send");
        QCOMPARE(window.centralWidget(), (i % 2 ? receive : send).data());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(home && receive && send);
    }
    // The views that are not central are hidden and have no parent.
    switchTo(window, "main");
    QVERIFY(!receive->parent() && !receive->isVisible());
    QVERIFY(!send->parent() && !send->isVisible());
    QCOMPARE(home->parent(), &window);
}

void TestMainWindow::aboutBoxShowsNameAndVersion()
{
    MainWindow window;
    QString title;
    QString text;
    bool hasIcon = false;
    ModalHelper about([&](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY(box);
        title = box->windowTitle();
        text = box->text();
        hasIcon = !box->iconPixmap().isNull();
        box->accept();
    });
    window.findChild<QAction *>("action")->trigger();
    QVERIFY(about.answered);
    QCOMPARE(title, QString::fromUtf8("关于"));
    // The box shows the program's icon beside the text, so the text has none.
    QVERIFY(hasIcon);
    QCOMPARE(text, QString::fromUtf8("<h3>Nubo文件传输助手</h3>版本：1.0.0"));
}

void TestMainWindow::aboutQtBoxHasItsTitle()
{
    MainWindow window;
    QString title;
    ModalHelper about([&](QWidget *modal) {
        title = modal->windowTitle();
        modal->close();
    });
    window.findChild<QAction *>("action_QT")->trigger();
    QVERIFY(about.answered);
    QCOMPARE(title, QString::fromUtf8("关于 Qt"));
}

// The question says that the window closes, and "否" keeps it open.
void TestMainWindow::closingMidTransferAsks()
{
    MainWindow window;
    window.show();
    switchTo(window, "recv");
    TransferRequest request;
    request.target = "a.txt";
    request.kind = "file";
    request.filesNumber = request.itemsNumber = 1;
    request.senderName = "pc";
    QTcpSocket sender;
    sender.connectToHost(UDPSendThread().localAddress, TransferRequest::port);
    sender.write(request.toUtf8());
    QTRY_VERIFY_WITH_TIMEOUT(findView<DownloadView>()->transferRunning(), 10000);

    QString asked;
    ModalHelper answer([&](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY(box);
        asked = box->text();
        box->button(QMessageBox::No)->click();
    });
    QVERIFY(!window.close());
    QCOMPARE(asked, QString::fromUtf8("正在接收文件。关闭窗口将取消这次接收，确定要关闭吗？"));
}

void TestMainWindow::newSettingsReachTheReceiveView()
{
    MainWindow window;
    window.show();
    switchTo(window, "recv");
    ModalHelper settings([&](QWidget *modal) {
        auto *dialog = qobject_cast<SettingDialog *>(modal);
        QVERIFY(dialog);
        dialog->findChild<QLineEdit *>("userNameLineEdit")->setText("renamed");
        dialog->findChild<QPushButton *>("pushButton_3")->click();
    });
    window.findChild<QAction *>("SettingAction")->trigger();
    QVERIFY(settings.answered);
    // The view says it is listening once its session has told it, before or after the change.
    auto *text = findView<DownloadView>()->findChild<QTextBrowser *>();
    QTRY_VERIFY2_WITH_TIMEOUT(
        text->toPlainText().contains(QString::fromUtf8("本机名称：renamed，")),
        qPrintable(text->toPlainText()), 10000);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
