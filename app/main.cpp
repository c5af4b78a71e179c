#include "app/activationchannel.h"
#include "app/instancelock.h"
#include "app/mainwindow.h"
#include "app/quitonsignal.h"
#include "app/startup.h"
#include "cli/clioptions.h"
#include "cli/commandline.h"
#include "settings/settingskeys.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>

int main(int argc, char *argv[])
{
    // The terminal commands run without a display: no QApplication, no widget.
    if (argc > 1 && CliOptions::isCommand(argv[1]))
        return CommandLine::run(argc, argv);
    const bool userData = Startup::takeUserDataOption(argc, argv);
    QApplication app(argc, argv);
    // The window's WM_CLASS is made of this name, whatever the program file is called; the menu
    // entry's StartupWMClass names it so that docks match the window to the entry.
    QApplication::setApplicationName(QStringLiteral("NuboTransmission"));
    QApplication::setDesktopFileName(QStringLiteral(NUBO_APP_ID));
    if (!Startup::installQtTranslations(app))
        qWarning("Qt's Chinese translations are missing (qttranslations5-l10n)");

    if (userData && !Startup::enterUserDataFolder()) {
        QMessageBox::critical(nullptr, QApplication::translate("main", "提示"),
                              QApplication::translate("main", "无法创建或进入数据文件夹：%1")
                                  .arg(Startup::userDataFolder()));
        return 1;
    }
    InstanceLock lock(QDir::currentPath());
    ActivationChannel channel(QDir::currentPath(), userData);
    switch (lock.tryLock()) {
    case InstanceLock::Result::Acquired:
        if (!channel.listen())
            qWarning("Cannot listen on %s; a second start will not find this copy",
                     qPrintable(channel.serverName()));
        break;
    case InstanceLock::Result::HeldByOther:
        if (channel.askRunningCopy())
            return 0;
        QMessageBox::information(
            nullptr, QApplication::translate("main", "提示"),
            QApplication::translate(
                "main", "此文件夹中已有一个Nubo文件传输助手在运行（进程号 %1）：\n%2\n"
                        "同一文件夹中只能运行一个，要再打开一个请在另一个文件夹中启动。")
                .arg(lock.holderPid())
                .arg(QDir::toNativeSeparators(QDir::currentPath())));
        return 1;
    case InstanceLock::Result::Unavailable:
        // No lock can be made in a folder that cannot be written; run without one.
        qWarning("Cannot create the lock file %s", qPrintable(lock.fileName()));
        break;
    }

    // Only now that this copy holds the folder: another copy might still be using them.
    SettingsKeys::removeRetiredWorkFiles();
    Startup::makeDefaultSaveDir();
    MainWindow window;
    // A copy stopped by the system ends as one whose window is closed.
    QuitOnSignal quitOnSignal;
    if (!quitOnSignal.install())
        qWarning("SIGTERM and SIGINT will end this copy without its usual shutdown");
    QObject::connect(&channel, &ActivationChannel::activationRequested, &window,
                     [&window] { ActivationChannel::bringToFront(&window); });
    window.show();
    return app.exec();
}
