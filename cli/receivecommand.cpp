#include "cli/receivecommand.h"

#include "cli/terminalinput.h"
#include "cli/terminaloutput.h"
#include "protocol/formatsize.h"
#include "protocol/transferrequest.h"
#include "protocol/udpsendthread.h"
#include "receive/downloadview.h"
#include "receive/receivehtml.h"
#include "receive/receivesession.h"
#include "records/knowndevices.h"
#include "security/identity.h"
#include "settings/settingskeys.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QMetaEnum>
#include <QSettings>

#include <unistd.h>

namespace {

QString outcomeName(int outcome)
{
    return QString::fromLatin1(QMetaEnum::fromType<ReceiveOutcome::Outcome>().valueToKey(outcome));
}

} // namespace

ReceiveCommand::ReceiveCommand(const CliOptions &options, TerminalOutput &out, QObject *parent)
    : QObject(parent), options(options), out(out),
      oneLine(options.accept != CliOptions::Accept::Ask && ::isatty(STDOUT_FILENO) != 1),
      settings(SettingsKeys::openConfig()), session(std::make_unique<ReceiveSession>())
{
    connect(session.get(), &ReceiveSession::listening, this, &ReceiveCommand::listening);
    // Those a transfer leaves are told by its line.
    connect(session.get(), &ReceiveSession::partialsKept, this,
            [this](const QList<PartialRegistry::Entry> &entries) {
                listPartials(entries, oneLine && transfer != 0);
            });
    connect(session.get(), &ReceiveSession::offered, this, &ReceiveCommand::offered);
    connect(session.get(), &ReceiveSession::progress, this, &ReceiveCommand::progress);
    connect(session.get(), &ReceiveSession::itemsStored, this, &ReceiveCommand::itemsStored);
    connect(session.get(), &ReceiveSession::ended, this, &ReceiveCommand::ended);
    connect(session.get(), &ReceiveSession::busyRefused, this,
            [this](const QString &sender, const QString &address) {
                this->out.say(tr("来自 %1（%2）的请求因正在传输而被拒绝").arg(sender, address));
                this->out.event(QStringLiteral("busy"), {{QStringLiteral("sender"), sender},
                                                         {QStringLiteral("address"), address}});
            });
    clock.start();
}

ReceiveCommand::~ReceiveCommand() = default;

bool ReceiveCommand::prepare(int *exitCode)
{
    saveDir = options.saveDir.isEmpty() ? SettingsKeys::saveDir(*settings)
                                        : QDir(options.saveDir).absolutePath();
    const QFileInfo info(saveDir);
    if (!info.isDir() || !info.isWritable()) {
        out.say(tr("保存路径不存在或不可写：%1").arg(saveDir));
        *exitCode = CliOptions::SaveDirUnusable;
        return false;
    }
    return true;
}

// Announced only once the session listens: senders would otherwise pick this machine in vain.
void ReceiveCommand::start()
{
    presence = std::make_unique<UDPSendThread>();
    presence->setUserName(SettingsKeys::userName(*settings));
    presence->setFingerprint(Identity::shared().fingerprint());
    presence->setListenMode(false);
    if (presence->localAddress.isNull()) {
        out.say(tr("未找到本机网络地址，无法接收文件！"));
        stop(CliOptions::NoNetwork);
        return;
    }
    if (!SettingsKeys::isValidUserName(SettingsKeys::userName(*settings)))
        out.say(tr("名称无效，其他设备看不到本机，请在“设置”中修改名称。"));
    if (options.accept == CliOptions::Accept::Known)
        out.say(tr("只接收已配对设备的文件，其余一律拒绝。"));
    if (options.accept == CliOptions::Accept::All)
        out.say(tr("警告：将自动接收所有文件！同一网络中的任何人都可以向 %1 写入文件，"
                   "不会逐个询问。")
                    .arg(QDir::toNativeSeparators(saveDir)));
    session->setSaveFolder(saveDir, SettingsKeys::nameClash(*settings));
    // Taking everything, nobody compares a pairing code: nobody is paired with either.
    session->setRememberPaired(options.accept != CliOptions::Accept::All);
    session->listen(presence->localAddress, TransferRequest::port);
}

void ReceiveCommand::listening(bool ok, const QString &error, quint16 extendedPort)
{
    if (!ok) {
        out.say(tr("无法监听端口%1（%2），无法接收文件！").arg(TransferRequest::port).arg(error));
        stop(CliOptions::NoNetwork);
        return;
    }
    presence->setExtendedPort(extendedPort);
    presence->start();
    const QString name = SettingsKeys::userName(*settings);
    out.say(tr("本机名称：%1，地址：%2").arg(name, presence->localIp));
    out.say(tr("保存到：%1").arg(QDir::toNativeSeparators(saveDir)));
    out.say(tr("等待对方发送…"));
    out.event(QStringLiteral("listening"), {{QStringLiteral("name"), name},
                                            {QStringLiteral("address"), presence->localIp},
                                            {QStringLiteral("saveDir"), saveDir},
                                            {QStringLiteral("extended"), extendedPort != 0}});
}

void ReceiveCommand::offered(quint64 id, const ReceiveOffer &offer)
{
    if (id < transfer)
        return;
    transfer = id;
    offeredId = id;
    line.offered(offer);
    receivedBytes = 0;
    totalBytes = offer.movingBytes();
    meter.start(totalBytes);
    tell(QString());
    tell(DownloadView::describeOffer(offer));
    out.event(QStringLiteral("offered"), {{QStringLiteral("sender"), offer.sender},
                                          {QStringLiteral("address"), offer.address},
                                          {QStringLiteral("target"), offer.target},
                                          {QStringLiteral("extended"), offer.extended},
                                          {QStringLiteral("bytes"), offer.size},
                                          {QStringLiteral("items"), offer.items},
                                          {QStringLiteral("skippedFiles"), offer.skippedFiles},
                                          {QStringLiteral("resumedBytes"), offer.resumedBytes},
                                          {QStringLiteral("replaced"), offer.replaced.count}});
    if (options.accept == CliOptions::Accept::All) {
        answered(QStringLiteral("y"));
        return;
    }
    // Only the certificate the connection proved counts, never a name or an address.
    if (options.accept == CliOptions::Accept::Known) {
        const bool paired = !offer.peer.isNull() && KnownDevices().find(offer.peer).has_value();
        if (!paired) {
            tell(tr("已拒绝：「%1」不是已配对的设备").arg(offer.sender));
            line.refusedBecause(tr("不是已配对的设备"));
        }
        answered(paired ? QStringLiteral("y") : QStringLiteral("n"));
        return;
    }
    asking = true;
    // Nobody can answer any more: no is the answer, now rather than at the countdown's end.
    if (inputEnded) {
        answered(QStringLiteral("n"));
        return;
    }
    if (!input) {
        input = new TerminalInput(this);
        connect(input, &TerminalInput::lineRead, this, &ReceiveCommand::answered);
        connect(input, &TerminalInput::closed, this, [this] {
            inputEnded = true;
            answered(QStringLiteral("n"));
        });
    }
    out.event(QStringLiteral("asked"), {{QStringLiteral("seconds"), offer.answerMs / 1000}});
    out.say(tr("是否接收文件？（y/n，请在 %1 秒内回答）").arg(offer.answerMs / 1000));
}

void ReceiveCommand::answered(const QString &line)
{
    if (!asking && options.accept == CliOptions::Accept::Ask)
        return; // typed while nothing was asked
    const QString answer = line.toLower();
    const bool yes = answer == QLatin1String("y") || answer == QLatin1String("yes");
    if (!yes && answer != QLatin1String("n") && answer != QLatin1String("no")) {
        out.say(tr("请输入 y 或 n："));
        return;
    }
    asking = false;
    out.event(yes ? QStringLiteral("accepted") : QStringLiteral("refused"));
    if (!yes) {
        session->refuse(transfer);
        return;
    }
    running = true;
    clock.restart();
    meter.sample(0, 0);
    tell(tr("正在接收..."));
    session->accept(transfer);
}

void ReceiveCommand::progress(quint64 id, qint64 received, qint64 total)
{
    if (id != transfer)
        return;
    // A resumed file the sender sends whole after all adds what was kept of it.
    totalBytes = qMax(total, totalBytes);
    receivedBytes = qBound<qint64>(0, received, totalBytes);
    meter.sample(receivedBytes, clock.elapsed());
    const int percent = totalBytes > 0 ? int(receivedBytes * 100 / totalBytes) : 0;
    out.progress(tr("正在接收... %1%  %2/%3  %4")
                     .arg(percent)
                     .arg(formatSize(receivedBytes), formatSize(totalBytes), meter.text()));
    constexpr qint64 eventIntervalMs = 250;
    const qint64 now = clock.elapsed();
    if (lastEventMs >= 0 && now - lastEventMs < eventIntervalMs && receivedBytes < totalBytes)
        return;
    lastEventMs = now;
    out.event(QStringLiteral("progress"), {{QStringLiteral("received"), receivedBytes},
                                           {QStringLiteral("total"), totalBytes},
                                           {QStringLiteral("percent"), percent}});
}

void ReceiveCommand::itemsStored(quint64 id, const QList<StoredEntry> &entries, int unchanged)
{
    if (id != transfer)
        return;
    line.stored(entries, unchanged);
    for (const StoredEntry &entry : entries) {
        if (entry.status == StoredEntry::Resumed) {
            tell(tr("%1：从 %2 处继续").arg(entry.name, formatSize(entry.offset)));
            out.event(QStringLiteral("continued"), {{QStringLiteral("name"), entry.name},
                                                    {QStringLiteral("offset"), entry.offset}});
        } else if (entry.status != StoredEntry::Stored) {
            tell(ReceiveHtml::entryProblem(entry));
            out.event(QStringLiteral("failed"), {{QStringLiteral("name"), entry.name}});
        } else if (entry.clash != StoredEntry::Unchanged) { // told once at the end
            tell(entry.storedPath + ReceiveHtml::clashText(entry));
            out.event(QStringLiteral("stored"), {{QStringLiteral("name"), entry.name},
                                                 {QStringLiteral("path"), entry.storedPath}});
        }
    }
}

void ReceiveCommand::ended(quint64 id, int outcome, const QString &reason)
{
    if (id < transfer)
        return;
    transfer = id;
    running = false;
    asking = false;
    const int code = exitFor(outcome);
    // A request refused before it was offered is known by its reason alone.
    if (id != offeredId)
        line = TransferLine();
    if (oneLine)
        out.summary(line.text(outcome, reason, receivedBytes, clock.elapsed()));
    else
        sayEnd(outcome, reason);
    out.event(QStringLiteral("ended"), {{QStringLiteral("outcome"), outcomeName(outcome)},
                                        {QStringLiteral("exitCode"), code},
                                        {QStringLiteral("reason"), reason}});
    // A request refused before it was offered (a busy line, a bad request) is not this copy's
    // one transfer.
    if (options.once && id == offeredId)
        stop(code);
    else
        tell(tr("等待对方发送…"));
}

void ReceiveCommand::sayEnd(int outcome, const QString &reason)
{
    if (line.unchanged() > 0)
        out.say(tr("%1 个文件已存在且相同，未传输").arg(line.unchanged()));
    switch (outcome) {
    case ReceiveOutcome::Complete:
        out.summary(
            tr("接收完成！%1，用时 %2")
                .arg(formatSize(receivedBytes), RateMeter::durationText(clock.elapsed() / 1000)));
        return;
    case ReceiveOutcome::Incomplete:
        if (!reason.isEmpty())
            out.say(reason);
        out.summary(tr("传输中断，接收不完整！"));
        out.say(line.keptText());
        return;
    case ReceiveOutcome::Refused:
        out.summary(tr("已拒绝接收。"));
        return;
    case ReceiveOutcome::Failed:
        out.summary(reason.isEmpty() ? tr("部分项目未能保存，接收失败！") : reason);
        return;
    case ReceiveOutcome::SenderLeft:
        out.summary(tr("发送方已断开连接。"));
        return;
    default:
        out.summary(tr("未在时限内回答，已自动拒绝。"));
        return;
    }
}

void ReceiveCommand::tell(const QString &text)
{
    if (!oneLine)
        out.say(text);
}

void ReceiveCommand::listPartials(const QList<PartialRegistry::Entry> &entries, bool quiet)
{
    QJsonArray list;
    for (const PartialRegistry::Entry &entry : entries) {
        if (!quiet)
            out.say(tr("可续传：%1（已接收 %2，共 %3）")
                        .arg(entry.item, formatSize(entry.kept), formatSize(entry.size)));
        list.append(QJsonObject{{QStringLiteral("item"), entry.item},
                                {QStringLiteral("kept"), entry.kept},
                                {QStringLiteral("size"), entry.size}});
    }
    if (entries.isEmpty())
        return;
    if (!quiet)
        out.say(tr("未完成的文件保留 %1 天，最多 %2GB")
                    .arg(PartialRegistry::maxAgeMs / (24 * 60 * 60 * 1000))
                    .arg(PartialRegistry::maxTotalBytes / 1000000000));
    out.event(QStringLiteral("partials"), {{QStringLiteral("partials"), list}});
}

void ReceiveCommand::stop(int code)
{
    exitCode = code;
    emit finished(code);
}

int ReceiveCommand::finish()
{
    const bool cut = running;
    out.endProgress();
    // The session's end cancels a running transfer and waits until what it leaves is recorded.
    presence.reset();
    session.reset();
    if (cut) {
        exitCode = CliOptions::Broken;
        out.summary(
            oneLine ? line.text(TransferLine::cutHere, QString(), receivedBytes, clock.elapsed())
                    : tr("已取消接收，传输中断。"));
        out.event(QStringLiteral("ended"),
                  {{QStringLiteral("outcome"), QStringLiteral("Interrupted")},
                   {QStringLiteral("exitCode"), exitCode}});
    }
    QList<PartialRegistry::Entry> kept;
    const QString prefix = QDir(saveDir).absolutePath() + QLatin1Char('/');
    for (const PartialRegistry::Entry &entry : PartialRegistry().entries()) {
        if (entry.finalPath.startsWith(prefix) &&
            QFileInfo::exists(PartialRegistry::partialPathOf(entry.finalPath)))
            kept << entry;
    }
    listPartials(kept);
    return exitCode;
}

int ReceiveCommand::exitFor(int outcome)
{
    switch (outcome) {
    case ReceiveOutcome::Complete:
        return CliOptions::Ok;
    case ReceiveOutcome::Refused:
    case ReceiveOutcome::Unanswered:
        return CliOptions::Refused;
    case ReceiveOutcome::Failed:
        return CliOptions::Failed;
    default:
        return CliOptions::Broken;
    }
}
