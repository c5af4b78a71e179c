#include "cli/commandline.h"

#include "app/instancelock.h"
#include "app/quitonsignal.h"
#include "app/startup.h"
#include "cli/clioptions.h"
#include "cli/receivecommand.h"
#include "cli/sendcommand.h"
#include "cli/terminaloutput.h"
#include "settings/settingskeys.h"

#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("CommandLine", text);
}

} // namespace

int CommandLine::run(int argc, char *argv[])
{
    const bool userData = Startup::takeUserDataOption(argc, argv);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("NuboTransmission"));
    // The engine's debugging lines would break into the terminal's own; QT_LOGGING_RULES still
    // turns them on.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));
    const CliOptions options = CliOptions::parse(QCoreApplication::arguments().mid(1));
    TerminalOutput out(options.json);
    if (options.help) {
        out.summary(CliOptions::usage());
        return CliOptions::Ok;
    }
    if (!options.error.isEmpty()) {
        out.say(options.error);
        out.say(tr("用法和退出码见 NuboTransmission send --help"));
        return CliOptions::BadInput;
    }
    if (userData && !Startup::enterUserDataFolder()) {
        out.say(tr("无法创建或进入数据文件夹：%1").arg(Startup::userDataFolder()));
        return CliOptions::Failed;
    }
    return options.command == CliOptions::Command::Send ? send(options, out)
                                                        : receive(options, out);
}

int CommandLine::send(const CliOptions &options, TerminalOutput &out)
{
    const QString wrongPath = CliOptions::checkPaths(options.paths);
    if (!wrongPath.isEmpty()) {
        out.say(wrongPath);
        return CliOptions::BadInput;
    }
    SendCommand command(options, out);
    QuitOnSignal quitOnSignal;
    quitOnSignal.install();
    int code = CliOptions::Interrupted; // unless the command ends on its own
    // Queued: an end found at once must still find the event loop running to end it.
    QObject::connect(
        &command, &SendCommand::finished, &command,
        [&code](int exitCode) {
            code = exitCode;
            QCoreApplication::quit();
        },
        Qt::QueuedConnection);
    command.start();
    QCoreApplication::exec();
    if (code == CliOptions::Interrupted)
        command.interrupted();
    return code;
}

// A receiving window and a receiving terminal in one folder would share config.ini and the work
// files: the terminal takes the window's lock, and a window started later finds it held.
int CommandLine::receive(const CliOptions &options, TerminalOutput &out)
{
    InstanceLock lock(QDir::currentPath());
    switch (lock.tryLock()) {
    case InstanceLock::Result::Acquired:
        break;
    case InstanceLock::Result::HeldByOther:
        out.say(tr("此文件夹中已有一个Nubo文件传输助手在运行（进程号 %1）：%2\n"
                   "同一文件夹中只能运行一个，要再打开一个请在另一个文件夹中启动。")
                    .arg(lock.holderPid())
                    .arg(QDir::toNativeSeparators(QDir::currentPath())));
        return CliOptions::Busy;
    case InstanceLock::Result::Unavailable:
        qWarning("Cannot create the lock file %s", qPrintable(lock.fileName()));
        break;
    }
    SettingsKeys::removeRetiredWorkFiles();
    if (options.saveDir.isEmpty())
        Startup::makeDefaultSaveDir();
    ReceiveCommand command(options, out);
    int code = CliOptions::Ok;
    if (!command.prepare(&code))
        return code;
    QuitOnSignal quitOnSignal;
    quitOnSignal.install();
    QObject::connect(
        &command, &ReceiveCommand::finished, &command, [] { QCoreApplication::quit(); },
        Qt::QueuedConnection);
    command.start();
    QCoreApplication::exec();
    return command.finish();
}
