#include "app/activationchannel.h"
#include "app/instancelock.h"
#include "app/quitonsignal.h"
#include "app/startup.h"
#include "settings/settingskeys.h"

#include "tempworkdir.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <vector>

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void lockIsOnePerFolder();
    void retiredWorkFilesAreRemoved();
    void lockIsHeldAcrossProcessesUntilTheHolderDies();
    void userDataOptionIsTakenFromTheArguments_data();
    void userDataOptionIsTakenFromTheArguments();
    void defaultUserNameComesFromTheAccount_data();
    void defaultUserNameComesFromTheAccount();
    void defaultSaveDirIsOneTheUserCanWrite_data();
    void defaultSaveDirIsOneTheUserCanWrite();
    void storedValuesWinOverTheDefaults();
    void userDataStartUsesItsFolderAndDownloads();
    void secondStartShowsTheRunningCopy_data();
    void secondStartShowsTheRunningCopy();
    void qtTextsAreChinese();
    void stopSignalsQuitThroughTheEventLoop_data();
    void stopSignalsQuitThroughTheEventLoop();
};

void TestStartup::lockIsOnePerFolder()
{
    QTemporaryDir first;
    QTemporaryDir second;
    QVERIFY(first.isValid() && second.isValid());

    auto held = std::make_unique<InstanceLock>(first.path());
    QCOMPARE(held->tryLock(), InstanceLock::Result::Acquired);
    QVERIFY(QFile::exists(first.filePath(InstanceLock::lockFileName())));

    InstanceLock sameFolder(first.path());
    QCOMPARE(sameFolder.tryLock(), InstanceLock::Result::HeldByOther);
    QCOMPARE(sameFolder.holderPid(), QCoreApplication::applicationPid());

    InstanceLock otherFolder(second.path());
    QCOMPARE(otherFolder.tryLock(), InstanceLock::Result::Acquired);

    held.reset();
    QVERIFY(!QFile::exists(first.filePath(InstanceLock::lockFileName())));
    QCOMPARE(InstanceLock(first.path()).tryLock(), InstanceLock::Result::Acquired);
}

void TestStartup::retiredWorkFilesAreRemoved()
{
    const TempWorkDir workDir;
    for (const char *name : {"send", "stream", "header", "config.ini"}) {
        QFile file{QString::fromLatin1(name)};
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    SettingsKeys::removeRetiredWorkFiles();
    QCOMPARE(QDir().entryList(QDir::Files, QDir::Name), (QStringList{"config.ini", "header"}));

    // A folder of that name is the user's, not a leftover.
    QVERIFY(QDir().mkdir("send"));
    SettingsKeys::removeRetiredWorkFiles();
    QVERIFY(QFileInfo("send").isDir());
}

// A second copy of this test binary holds the lock, as a running program would.
void TestStartup::lockIsHeldAcrossProcessesUntilTheHolderDies()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QProcess holder;
    holder.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--hold-lock"), folder.path()});
    QVERIFY(holder.waitForStarted(30000));
    QVERIFY(holder.waitForReadyRead(30000));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("locked"));

    InstanceLock second(folder.path());
    QCOMPARE(second.tryLock(), InstanceLock::Result::HeldByOther);
    QCOMPARE(second.holderPid(), holder.processId());

    // A copy that crashed leaves its lock file and its socket behind; the next one takes both over.
    holder.kill();
    QVERIFY(holder.waitForFinished(30000));
    QVERIFY(QFile::exists(folder.filePath(InstanceLock::lockFileName())));
    QCOMPARE(second.tryLock(), InstanceLock::Result::Acquired);
    QVERIFY(ActivationChannel(folder.path(), false).listen());
}

void TestStartup::userDataOptionIsTakenFromTheArguments_data()
{
    QTest::addColumn<QStringList>("given");
    QTest::addColumn<QStringList>("left");
    QTest::addColumn<bool>("found");

    const QString option = Startup::userDataOption();
    QTest::newRow("option alone") << QStringList{"prog", option} << QStringList{"prog"} << true;
    QTest::newRow("between Qt options") << QStringList{"prog", "-style", option, "fusion"}
                                        << QStringList{"prog", "-style", "fusion"} << true;
    QTest::newRow("no option") << QStringList{"prog", "-style", "fusion"}
                               << QStringList{"prog", "-style", "fusion"} << false;
    QTest::newRow("a longer word is not the option")
        << QStringList{"prog", option + "x"} << QStringList{"prog", option + "x"} << false;
}

void TestStartup::userDataOptionIsTakenFromTheArguments()
{
    QFETCH(QStringList, given);
    QFETCH(QStringList, left);
    QFETCH(bool, found);

    std::vector<QByteArray> storage;
    for (const QString &arg : given)
        storage.push_back(arg.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int argc = int(given.size());

    QCOMPARE(Startup::takeUserDataOption(argc, argv.data()), found);
    QStringList result;
    for (int i = 0; i < argc; ++i)
        result << QString::fromLocal8Bit(argv[size_t(i)]);
    QCOMPARE(result, left);
    QVERIFY(argv[size_t(argc)] == nullptr);
}

void TestStartup::defaultUserNameComesFromTheAccount_data()
{
    QTest::addColumn<QString>("gecos");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("name");

    const QString x63(63, 'x');
    const QString login("zs");
    const QString host("box");
    QTest::newRow("full name") << "Zhang San,Room 12,555-1234,," << login << host
                               << QString("Zhang San");
    QTest::newRow("chinese full name")
        << QString::fromUtf8("张三,,,") << login << host << QString::fromUtf8("张三");
    QTest::newRow("no full name") << QString() << login << host << login;
    QTest::newRow("empty fields") << ",,," << login << host << login;
    QTest::newRow("blank full name") << "   ,12" << login << host << login;
    QTest::newRow("forbidden characters taken out") << "Zhang:San\r\n"
                                                    << login << host << QString("ZhangSan");
    QTest::newRow("too long") << x63 + " and more" << login << host << x63;
    QTest::newRow("cut before half a character")
        << x63 + QString::fromUtf8("😀") << login << host << x63;
    QTest::newRow("only the host") << QString() << QString() << host << host;
    QTest::newRow("nothing known") << QString() << QString() << QString() << QString("ruvak");
}

void TestStartup::defaultUserNameComesFromTheAccount()
{
    QFETCH(QString, gecos);
    QFETCH(QString, login);
    QFETCH(QString, host);
    QFETCH(QString, name);

    QCOMPARE(SettingsKeys::defaultUserName(gecos, login, host), name);
}

void TestStartup::defaultSaveDirIsOneTheUserCanWrite_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("kept");

    QTest::newRow("writable") << "writable" << true;
    QTest::newRow("read only") << "read only" << false;
    QTest::newRow("missing") << "missing" << false;
}

void TestStartup::defaultSaveDirIsOneTheUserCanWrite()
{
    QFETCH(QString, kind);
    QFETCH(bool, kept);

    QTemporaryDir home;
    QVERIFY(home.isValid());
    qputenv("HOME", QFile::encodeName(home.path()));
    qunsetenv("XDG_CONFIG_HOME");
    QString program = home.filePath("bin");
    if (kind == "missing") {
        program = home.filePath("gone");
    } else {
        QVERIFY(QDir(home.path()).mkdir("bin"));
        if (kind == "read only") {
            QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));
            if (QFileInfo(program).isWritable())
                QSKIP("this account writes into read-only folders (root)");
        }
    }
    QCOMPARE(SettingsKeys::defaultSaveDir(program), kept ? program : home.filePath("Downloads"));
}

void TestStartup::storedValuesWinOverTheDefaults()
{
    TempWorkDir work;
    QVERIFY(work.isValid());
    QVERIFY(SettingsKeys::isValidUserName(SettingsKeys::defaultUserName()));
    const auto config = SettingsKeys::openConfig();
    config->setValue(SettingsKeys::userNameKey(), QString::fromUtf8("小明"));
    config->setValue(SettingsKeys::saveDirKey(), work.filePath("gone"));
    QCOMPARE(SettingsKeys::userName(*config), QString::fromUtf8("小明"));
    QCOMPARE(SettingsKeys::saveDir(*config), work.filePath("gone"));
}

void TestStartup::userDataStartUsesItsFolderAndDownloads()
{
    TempWorkDir home;
    QVERIFY(home.isValid());
    qputenv("HOME", QFile::encodeName(home.path()));
    qunsetenv("XDG_DATA_HOME");
    qunsetenv("XDG_CONFIG_HOME");

    // Started from a terminal: the working folder, and the program's own folder for received items.
    QCOMPARE(SettingsKeys::defaultSaveDir(), QCoreApplication::applicationDirPath());

    const QString data = home.filePath(".local/share/NuboTransmission");
    QCOMPARE(Startup::userDataFolder(), data);
    QVERIFY(Startup::enterUserDataFolder());
    QCOMPARE(QDir::currentPath(), data);
    QCOMPARE(SettingsKeys::defaultSaveDir(), home.filePath("Downloads"));
    QVERIFY(Startup::makeDefaultSaveDir());
    QVERIFY(QFileInfo(home.filePath("Downloads")).isDir());
    // The settings now go to the data folder, whatever folder the desktop started the program in.
    SettingsKeys::openConfig()->setValue(SettingsKeys::userNameKey(), "x");
    QVERIFY(QFile::exists(data + "/config.ini"));

    // A second start finds the folder there.
    QVERIFY(QDir::setCurrent(home.path()));
    QVERIFY(Startup::enterUserDataFolder());
    QCOMPARE(QDir::currentPath(), data);
}

void TestStartup::secondStartShowsTheRunningCopy_data()
{
    QTest::addColumn<bool>("sameFolder");
    QTest::addColumn<bool>("userData");
    QTest::addColumn<bool>("shown");

    // The running copy was started from a terminal, without the option.
    QTest::newRow("same folder, same way") << true << false << true;
    QTest::newRow("same folder, from the menu") << true << true << false;
    QTest::newRow("other folder") << false << false << false;
}

void TestStartup::secondStartShowsTheRunningCopy()
{
    QFETCH(bool, sameFolder);
    QFETCH(bool, userData);
    QFETCH(bool, shown);

    QTemporaryDir folder;
    QTemporaryDir other;
    QVERIFY(folder.isValid() && other.isValid());
    ActivationChannel running(folder.path(), false);
    QVERIFY(running.listen());
    QWidget window;
    connect(&running, &ActivationChannel::activationRequested, &window,
            [&window] { ActivationChannel::bringToFront(&window); });
    window.showMinimized();
    QVERIFY(window.isMinimized());
    QSignalSpy asked(&running, &ActivationChannel::activationRequested);

    QProcess second;
    second.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--ask-running-copy"), (sameFolder ? folder : other).path(),
                  userData ? QStringLiteral("user-data") : QStringLiteral("folder")});
    QVERIFY(second.waitForStarted(30000));
    QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 60000);
    QCOMPARE(second.exitCode(), shown ? 0 : 1);
    QCOMPARE(asked.count(), shown ? 1 : 0);
    QCOMPARE(window.isMinimized(), !shown);
    if (shown)
        QTRY_VERIFY_WITH_TIMEOUT(window.isActiveWindow(), 30000);
}

void TestStartup::qtTextsAreChinese()
{
    QVERIFY2(Startup::installQtTranslations(*QCoreApplication::instance()),
             "Qt's translations are not installed (Debian: qttranslations5-l10n)");
    // The buttons of QMessageBox and QDialogButtonBox.
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString("取消"));
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "&Yes"), QString("是(&Y)"));
}

// A copy stopped by a logout, `kill` or Ctrl+C ends as one whose window is closed.
void TestStartup::stopSignalsQuitThroughTheEventLoop_data()
{
    QTest::addColumn<int>("number");
    QTest::newRow("terminate") << int(SIGTERM);
    QTest::newRow("interrupt") << int(SIGINT);
}

void TestStartup::stopSignalsQuitThroughTheEventLoop()
{
    QFETCH(int, number);
    QuitOnSignal quitOnSignal;
    QVERIFY(quitOnSignal.install());
    QSignalSpy quitting(qApp, &QCoreApplication::aboutToQuit);
    QTimer::singleShot(0, [number] { ::raise(number); });
    // A failure rather than a test that never ends.
    QTimer::singleShot(60000, &quitOnSignal, [] { QCoreApplication::exit(1); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(quitting.size(), 1);
}

// With "--hold-lock FOLDER" the binary takes the lock and the socket as a running copy does, says
// so and waits to be killed.
static int holdLock(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString folder = QString::fromLocal8Bit(argv[2]);
    InstanceLock lock(folder);
    ActivationChannel channel(folder, false);
    if (lock.tryLock() != InstanceLock::Result::Acquired || !channel.listen())
        return 1;
    std::puts("locked");
    std::fflush(stdout);
    std::getchar();
    return 0;
}

// With "--ask-running-copy FOLDER user-data|folder" the binary is a second start: exit code 0 if
// the running copy came to the front.
static int askRunningCopy(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const ActivationChannel channel(QString::fromLocal8Bit(argv[2]),
                                    qstrcmp(argv[3], "user-data") == 0);
    return channel.askRunningCopy(30000) ? 0 : 1;
}

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--hold-lock") == 0)
        return holdLock(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--ask-running-copy") == 0)
        return askRunningCopy(argc, argv);
    QApplication app(argc, argv);
    TestStartup test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
