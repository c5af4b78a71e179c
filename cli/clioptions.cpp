#include "cli/clioptions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("CliOptions", text);
}

} // namespace

bool CliOptions::isCommand(const char *argument)
{
    return qstrcmp(argument, "send") == 0 || qstrcmp(argument, "receive") == 0;
}

CliOptions CliOptions::parse(const QStringList &arguments)
{
    CliOptions options;
    const QString command = arguments.value(0);
    if (command == QLatin1String("send"))
        options.command = Command::Send;
    else if (command == QLatin1String("receive"))
        options.command = Command::Receive;
    else
        options.error = tr("未知的命令：%1").arg(command);
    for (int at = 1; at < arguments.size() && options.error.isEmpty(); ++at) {
        const QString &argument = arguments.at(at);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
            options.help = true;
        else if (argument == QLatin1String("--json"))
            options.json = true;
        else if (options.command == Command::Send && options.takeSendOption(arguments, &at))
            continue;
        else if (options.command == Command::Receive && options.takeReceiveOption(arguments, &at))
            continue;
        else if (argument.startsWith(QLatin1String("--")))
            options.error = tr("未知的选项：%1").arg(argument);
        else if (options.command == Command::Send)
            options.paths << argument;
        else
            options.error = tr("多余的参数：%1").arg(argument);
    }
    if (options.error.isEmpty() && !options.help && options.command == Command::Send &&
        options.paths.isEmpty())
        options.error = tr("请指定要发送的文件或文件夹");
    return options;
}

QString CliOptions::valueOf(const QStringList &arguments, int *at)
{
    if (*at + 1 >= arguments.size() || arguments.at(*at + 1).isEmpty()) {
        error = tr("选项 %1 缺少值").arg(arguments.at(*at));
        return QString();
    }
    return arguments.at(++*at);
}

bool CliOptions::takeSendOption(const QStringList &arguments, int *at)
{
    const QString &option = arguments.at(*at);
    if (option == QLatin1String("--to")) {
        to = valueOf(arguments, at);
    } else if (option == QLatin1String("--wait")) {
        const QString value = valueOf(arguments, at);
        bool number = false;
        waitSeconds = value.toInt(&number);
        if (error.isEmpty() && (!number || waitSeconds < 1 || waitSeconds > 600))
            error = tr("--wait 须为 1 到 600 之间的秒数：%1").arg(value);
    } else {
        return false;
    }
    return true;
}

bool CliOptions::takeReceiveOption(const QStringList &arguments, int *at)
{
    const QString &option = arguments.at(*at);
    if (option == QLatin1String("--save")) {
        saveDir = valueOf(arguments, at);
    } else if (option == QLatin1String("--once")) {
        once = true;
    } else if (option == QLatin1String("--accept")) {
        const QString value = valueOf(arguments, at);
        if (value == QLatin1String("ask"))
            accept = Accept::Ask;
        else if (value == QLatin1String("all"))
            accept = Accept::All;
        else if (value == QLatin1String("known"))
            accept = Accept::Known;
        else if (error.isEmpty())
            error = tr("--accept 只能是 ask、known 或 all：%1").arg(value);
    } else {
        return false;
    }
    return true;
}

// One folder alone or any number of files, as a drop on the send view; links are not followed,
// as the listing of a folder leaves them out too.
QString CliOptions::checkPaths(const QStringList &paths)
{
    int folders = 0;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (info.isSymLink())
            return tr("不能发送链接：%1").arg(path);
        if (!info.exists())
            return tr("文件或文件夹不存在：%1").arg(path);
        if (!info.isReadable() || (info.isDir() && !QDir(path).isReadable()))
            return tr("无法读取：%1").arg(path);
        folders += info.isDir();
    }
    if (folders > 0 && paths.size() > 1)
        return tr("只能发送一个文件夹，或多个文件");
    return QString();
}

QString CliOptions::usage()
{
    return tr(
        "用法：\n"
        "  NuboTransmission send 路径... [--to 名称|地址] [--wait 秒] [--json]\n"
        "  NuboTransmission receive [--save 文件夹] [--accept ask|known|all] [--once] [--json]\n"
        "\n"
        "send：不带 --to 时先查找接收方 --wait 秒（默认 2 秒），列出后请选择；\n"
        "      带 --to 时直接发送给该名称或地址的接收方。\n"
        "receive：--accept ask 逐个询问（默认），known 只接收已配对设备的文件，\n"
        "      all 自动接收所有文件；\n"
        "      --once 接收一次后结束；Ctrl+C 结束。\n"
        "--json：每个事件在标准输出中输出一行 JSON。\n"
        "\n"
        "退出码：\n"
        "  0  成功\n"
        "  1  其他失败（如部分项目未能保存）\n"
        "  2  参数有误（未知选项、路径不存在或不可读、路径是链接、名称重复）\n"
        "  3  对方拒绝接收或未应答\n"
        "  4  已发送全部数据，但对方未确认\n"
        "  5  传输中断\n"
        "  6  未找到接收方\n"
        "  7  此文件夹中已有一个Nubo文件传输助手在运行\n"
        "  8  保存路径不存在或不可写\n"
        "  9  无网络地址或无法监听端口\n"
        "  10 已取消（Ctrl+C）\n"
        "  11 无法加密、对方身份与上次不同或配对码不一致\n");
}
