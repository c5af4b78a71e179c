#include "cli/sendcommand.h"

#include "cli/terminalinput.h"
#include "cli/terminaloutput.h"
#include "protocol/formatsize.h"
#include "protocol/presencelist.h"
#include "protocol/udpsendthread.h"
#include "send/sendresulttext.h"
#include "settings/settingskeys.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QSettings>

namespace {

// Receivers announce once a second: a name first heard is given one more round, in which its
// extended port and a second receiver of the same name would be heard.
constexpr qint64 settleMs = 1200;
constexpr int lookIntervalMs = 100;
constexpr qint64 eventIntervalMs = 250;

} // namespace

SendCommand::SendCommand(const CliOptions &options, TerminalOutput &out, QObject *parent)
    : QObject(parent), options(options), out(out), presence(std::make_unique<UDPSendThread>()),
      settings(SettingsKeys::openConfig()), session(new SendSession(this))
{
    connect(session, &SendSession::listed, this, &SendCommand::listed);
    connect(session, &SendSession::planned, this, &SendCommand::planned);
    connect(session, &SendSession::accepted, this, &SendCommand::accepted);
    connect(session, &SendSession::asking, this, &SendCommand::askUser);
    connect(session, &SendSession::progress, this, &SendCommand::progress);
    connect(session, &SendSession::ended, this, &SendCommand::ended);
    lookTimer.setInterval(lookIntervalMs);
    clock.start();
}

SendCommand::~SendCommand() = default;

void SendCommand::start()
{
    if (PresenceList::isHostIPv4(options.to)) {
        sendTo(options.to);
        return;
    }
    presence->setListenMode(true);
    presence->start();
    looking.start();
    if (options.to.isEmpty()) {
        out.say(tr("正在查找接收方（%1 秒）…").arg(options.waitSeconds));
        QTimer::singleShot(options.waitSeconds * 1000, this, &SendCommand::showChoice);
    } else {
        connect(&lookTimer, &QTimer::timeout, this, &SendCommand::lookForName);
        lookTimer.start();
    }
}

QList<QPair<QString, QString>> SendCommand::heard() const
{
    QList<QPair<QString, QString>> list;
    const QStringList texts = presence->userList();
    for (const QString &text : texts) {
        // "name:address:receive"; a name may hold colons itself.
        list.append(
            {text.section(QLatin1Char(':'), -2, -2), text.section(QLatin1Char(':'), 0, -3)});
    }
    return list;
}

void SendCommand::lookForName()
{
    QStringList addresses;
    for (const auto &receiver : heard()) {
        if (receiver.second == options.to)
            addresses << receiver.first;
    }
    const qint64 now = looking.elapsed();
    if (!addresses.isEmpty() && firstHeardMs < 0)
        firstHeardMs = now;
    const bool deadline = now >= options.waitSeconds * 1000;
    const bool settled = !addresses.isEmpty() && (now - firstHeardMs >= settleMs ||
                                                  presence->extendedPort(addresses.first()) != 0);
    if (addresses.size() > 1) {
        end(CliOptions::BadInput, tr("有多个名为 %1 的接收方（%2），请用地址指定")
                                      .arg(options.to, addresses.join(QStringLiteral("，"))));
    } else if (addresses.size() == 1 && (settled || deadline)) {
        lookTimer.stop();
        sendTo(addresses.first());
    } else if (deadline) {
        end(CliOptions::NotFound,
            tr("在 %1 秒内未找到名为 %2 的接收方").arg(options.waitSeconds).arg(options.to));
    }
}

void SendCommand::showChoice()
{
    choices = heard();
    QJsonArray list;
    for (int i = 0; i < choices.size(); ++i) {
        const QString &ip = choices.at(i).first;
        out.say(QStringLiteral("%1. %2  %3  %4")
                    .arg(i + 1)
                    .arg(choices.at(i).second, ip, protocolText(ip)));
        list.append(QJsonObject{{QStringLiteral("name"), choices.at(i).second},
                                {QStringLiteral("address"), ip},
                                {QStringLiteral("extended"), presence->extendedPort(ip) != 0}});
    }
    out.event(QStringLiteral("receivers"), {{QStringLiteral("receivers"), list}});
    if (choices.isEmpty()) {
        end(CliOptions::NotFound,
            tr("未找到接收方，请确认对方已打开“接收”，并与本机在同一网络中。"));
        return;
    }
    input = new TerminalInput(this);
    connect(input, &TerminalInput::lineRead, this, &SendCommand::chosen);
    connect(input, &TerminalInput::closed, this,
            [this] { end(CliOptions::BadInput, tr("未选择接收方，取消发送！")); });
    out.say(tr("请输入接收方编号（1-%1）：").arg(choices.size()));
}

void SendCommand::chosen(const QString &line)
{
    bool number = false;
    const int index = line.toInt(&number) - 1;
    if (!number || index < 0 || index >= choices.size()) {
        out.say(tr("请输入 1 到 %1 之间的编号：").arg(choices.size()));
        return;
    }
    input->deleteLater();
    input = nullptr;
    sendTo(choices.at(index).first);
}

void SendCommand::sendTo(const QString &ip)
{
    target = ip;
    transfer = session->start(options.paths);
    session->send(receiverAt(ip));
    out.event(QStringLiteral("asked"), {{QStringLiteral("address"), ip}});
    out.say(tr("正在发送给 %1，等待对方确认…").arg(ip));
}

// The session is told who we are as config.ini says, and how to reach the receiver: only one that
// announced the extended protocol gets it at once, one heard on the presence port alone is a plain
// receiver, and an address given by hand is tried.
SendSession::Receiver SendCommand::receiverAt(const QString &ip) const
{
    SendSession::Receiver receiver;
    receiver.ip = ip;
    receiver.senderName = SettingsKeys::userName(*settings);
    for (const auto &known : heard()) {
        if (known.first == ip)
            receiver.name = known.second;
    }
    receiver.extendedPort = presence->extendedPort(ip);
    if (receiver.extendedPort != 0) {
        receiver.protocol = SendSession::Protocol::Extended;
        return receiver;
    }
    receiver.extendedPort = ExtendedProtocol::tcpPort;
    receiver.protocol = SendSession::Protocol::Probe;
    for (const auto &known : heard()) {
        if (known.first == ip)
            receiver.protocol = SendSession::Protocol::Plain;
    }
    return receiver;
}

// Asked on the terminal like the chooser's number; where nobody can answer, the answer is no.
void SendCommand::askUser(int id, SendSession::Question question, const QString &code)
{
    if (id != transfer)
        return;
    const bool pairing = question == SendSession::Question::Pairing;
    out.event(QStringLiteral("question"),
              {{QStringLiteral("kind"),
                pairing ? QStringLiteral("pairing") : QStringLiteral("unencrypted")},
               {QStringLiteral("code"), code}});
    out.say(pairing ? tr("第一次向这台设备发送。对方屏幕上显示的配对码是否为 %1？一致才能发送"
                         "（y/n）：")
                          .arg(code)
                    : tr("对方此次未加密：上次与它的传输是加密的，这次它只能以明文接收，同一网络中"
                         "的其他人可以看到传输的内容。仍要发送吗（y/n）："));
    input = new TerminalInput(this);
    connect(input, &TerminalInput::lineRead, this, &SendCommand::answered);
    connect(input, &TerminalInput::closed, this, [this] { answered(QStringLiteral("n")); });
}

void SendCommand::answered(const QString &line)
{
    const QString word = line.trimmed().toLower();
    if (word != QLatin1String("y") && word != QLatin1String("n")) {
        out.say(tr("请输入 y 或 n："));
        return;
    }
    input->disconnect(this);
    input->deleteLater();
    input = nullptr;
    session->answer(word == QLatin1String("y"));
}

QString SendCommand::protocolText(const QString &ip) const
{
    return presence->extendedPort(ip) != 0 ? tr("扩展协议") : tr("普通协议");
}

void SendCommand::interrupted()
{
    end(CliOptions::Interrupted, tr("已取消发送！"));
}

void SendCommand::end(int exitCode, const QString &why)
{
    if (over)
        return;
    over = true;
    lookTimer.stop();
    out.say(why);
    out.event(QStringLiteral("ended"), {{QStringLiteral("outcome"), QStringLiteral("NotSent")},
                                        {QStringLiteral("exitCode"), exitCode},
                                        {QStringLiteral("reason"), why}});
    emit finished(exitCode);
}

void SendCommand::listed(int id, const SendPacker &packer)
{
    if (id != transfer)
        return;
    bodyTotal = packer.bodySize();
    meter.start(bodyTotal);
    QString line =
        tr("已添加 %1 个项目（%2）").arg(packer.itemsNumber()).arg(formatSize(bodyTotal));
    if (packer.leftOut() > 0)
        line += tr("，%1 个隐藏文件夹或链接未添加").arg(packer.leftOut());
    out.say(line);
    out.event(QStringLiteral("listed"), {{QStringLiteral("items"), packer.itemsNumber()},
                                         {QStringLiteral("bytes"), bodyTotal},
                                         {QStringLiteral("leftOut"), packer.leftOut()}});
}

void SendCommand::planned(int id, int skippedFiles, qint64 skippedBytes,
                          const QList<SendWorker::ResumedFile> &resumed, qint64 total)
{
    if (id != transfer)
        return;
    if (skippedFiles > 0) {
        out.say(tr("跳过 %1 个未改变的文件（%2）").arg(skippedFiles).arg(formatSize(skippedBytes)));
        out.event(QStringLiteral("skipped"), {{QStringLiteral("files"), skippedFiles},
                                              {QStringLiteral("bytes"), skippedBytes}});
    }
    for (const SendWorker::ResumedFile &file : resumed) {
        out.say(tr("%1：从 %2 处继续").arg(file.name, formatSize(file.offset)));
        out.event(QStringLiteral("continued"),
                  {{QStringLiteral("name"), file.name}, {QStringLiteral("offset"), file.offset}});
    }
    // Speed and time left count only what moves.
    bodyTotal = total;
    meter.start(total);
}

void SendCommand::accepted(int id)
{
    if (id != transfer)
        return;
    out.say(tr("对方已同意接收"));
    out.event(QStringLiteral("accepted"));
    meter.sample(0, clock.elapsed());
}

void SendCommand::progress(int id, qint64 sent, qint64 total)
{
    if (id != transfer)
        return;
    const qint64 now = clock.elapsed();
    meter.sample(sent, now);
    const int percent = total > 0 ? int(qMin(sent, total) * 100 / total) : 0;
    out.progress(tr("正在发送... %1%  %2/%3  %4")
                     .arg(percent)
                     .arg(formatSize(qMin(sent, total)), formatSize(total), meter.text()));
    if (lastEventMs >= 0 && now - lastEventMs < eventIntervalMs && sent < total)
        return;
    lastEventMs = now;
    out.event(QStringLiteral("progress"), {{QStringLiteral("sent"), sent},
                                           {QStringLiteral("total"), total},
                                           {QStringLiteral("percent"), percent}});
}

void SendCommand::ended(int id, const SendResult &result)
{
    if (id != transfer || over)
        return;
    over = true;
    const int code = exitFor(result.outcome);
    const QString text =
        result.outcome == SendResult::Delivered
            ? tr("发送成功！%1，用时 %2")
                  .arg(formatSize(bodyTotal), RateMeter::durationText(clock.elapsed() / 1000))
            : SendResultText::of(result, target);
    out.summary(text);
    out.event(QStringLiteral("ended"), {{QStringLiteral("outcome"), outcomeName(result.outcome)},
                                        {QStringLiteral("exitCode"), code},
                                        {QStringLiteral("reason"), result.reason},
                                        {QStringLiteral("item"), result.item}});
    emit finished(code);
}

QString SendCommand::outcomeName(SendResult::Outcome outcome)
{
    static const char *const names[] = {
        "Delivered",    "Unconfirmed",     "Refused",        "Unanswered", "ConnectFailed",
        "SendBroken",   "NotStored",       "Cancelled",      "ListFailed", "SourceFailed",
        "NotEncrypted", "IdentityChanged", "PairingDeclined"};
    return QString::fromLatin1(names[outcome]);
}

int SendCommand::exitFor(SendResult::Outcome outcome)
{
    switch (outcome) {
    case SendResult::Delivered:
        return CliOptions::Ok;
    case SendResult::Refused:
    case SendResult::Unanswered:
        return CliOptions::Refused;
    case SendResult::Unconfirmed:
        return CliOptions::Unconfirmed;
    case SendResult::ConnectFailed:
        return CliOptions::NotFound;
    case SendResult::ListFailed:
        return CliOptions::BadInput;
    case SendResult::Cancelled:
        return CliOptions::Interrupted;
    case SendResult::NotEncrypted:
    case SendResult::IdentityChanged:
    case SendResult::PairingDeclined:
        return CliOptions::NotTrusted;
    default:
        return CliOptions::Broken;
    }
}
