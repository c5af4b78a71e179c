#include "receive/downloadview.h"
#include "ui_downloadview.h"

#include "protocol/formatsize.h"
#include "protocol/transferrequest.h"
#include "protocol/udpsendthread.h"
#include "receive/receivehtml.h"
#include "receive/receivesession.h"
#include "security/identity.h"
#include "settings/settingskeys.h"

#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHelpEvent>
#include <QMessageBox>
#include <QPixmap>
#include <QScrollBar>
#include <QSettings>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QToolTip>
#include <QUrl>

DownloadView::DownloadView(QWidget *parent)
    : QWidget(parent), ui(new Ui::DownloadView), session(new ReceiveSession(this))
{
    ui->setupUi(this);
    ui->cancelPushButton->hide();

    settings = SettingsKeys::openConfig();
    connect(ui->textBrowser, &QTextBrowser::anchorClicked, this, &DownloadView::openFile);
    ui->textBrowser->viewport()->installEventFilter(this);
    connect(session, &ReceiveSession::listening, this, &DownloadView::listening);
    connect(session, &ReceiveSession::partialsKept, this, &DownloadView::partialsKept);
    connect(session, &ReceiveSession::busyRefused, this, &DownloadView::busyRefused);
    connect(session, &ReceiveSession::offered, this, &DownloadView::offered);
    connect(session, &ReceiveSession::progress, this, &DownloadView::updateProgress);
    connect(session, &ReceiveSession::itemsStored, this, &DownloadView::itemsStored);
    connect(session, &ReceiveSession::ended, this, &DownloadView::ended);

    questionBox = new QMessageBox(this);
    questionBox->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    questionBox->setWindowTitle(tr("是否接收文件？"));
    // Names and the target come from the sender: shown as they are, never as markup.
    questionBox->setTextFormat(Qt::PlainText);
    connect(questionBox, &QMessageBox::finished, this, &DownloadView::answered);
    storedTimer.setInterval(0);
    connect(&storedTimer, &QTimer::timeout, this, &DownloadView::appendStored);
    countdown.setInterval(1000);
    connect(&countdown, &QTimer::timeout, this, &DownloadView::updateCountdown);
    clock.start();
}

DownloadView::~DownloadView()
{
    endSession();
}

QMap<QString, QString> DownloadView::parseHeader(const QString &text)
{
    return TransferRequest::parseHeader(text);
}

bool DownloadView::transferRunning() const
{
    return session->transferRunning();
}

void DownloadView::setTimeouts(int idleMs, int answerMs)
{
    session->setTimeouts(idleMs, answerMs);
}

void DownloadView::startSession()
{
    endSession();

    ui->textBrowser->clear();
    itemLinks.clear();
    ui->progressBar->setValue(0);
    ui->progressLabel->clear();
    ui->cancelPushButton->hide();
    active = true;

    udpThread = std::make_unique<UDPSendThread>();
    udpThread->setUserName(SettingsKeys::userName(*settings));
    udpThread->setFingerprint(Identity::shared().fingerprint());
    udpThread->setListenMode(false);

    // Without an address of our own there is nothing safe to listen on, and a receiver that
    // cannot listen must not announce itself: senders would pick it in vain.
    const QHostAddress address = udpThread->localAddress;
    listenAddress.clear();
    askedAddress.clear();
    if (address.isNull()) {
        appendHtml(ReceiveHtml::problem(tr("未找到本机网络地址，无法接收文件！")));
    } else {
        askedAddress = address.toString();
        handSaveFolder();
        session->listen(address, TransferRequest::port);
    }
    if (!SettingsKeys::isValidUserName(SettingsKeys::userName(*settings)))
        appendHtml(
            ReceiveHtml::problem(tr("名称无效，其他设备看不到本机，请在“设置”中修改名称。")));

    reportUnusableSaveDir(SettingsKeys::saveDir(*settings));
}

// Announced only once the session listens: senders would otherwise pick this machine in vain.
void DownloadView::listening(bool ok, const QString &error, quint16 extendedPort)
{
    if (!active || askedAddress.isEmpty())
        return;
    if (!ok) {
        appendHtml(ReceiveHtml::problem(
            tr("无法监听端口%1（%2），无法接收文件！").arg(TransferRequest::port).arg(error)));
        return;
    }
    listenAddress = askedAddress;
    // 0 when the extended port could not be had: then this copy is a plain receiver like any.
    udpThread->setExtendedPort(extendedPort);
    udpThread->start(QThread::InheritPriority);
    showWaiting();
}

void DownloadView::partialsKept(const QList<PartialRegistry::Entry> &entries)
{
    if (!active || entries.isEmpty())
        return;
    QStringList lines;
    for (const PartialRegistry::Entry &entry : entries)
        lines << tr("可续传：%1（已接收 %2，共 %3）")
                     .arg(entry.item, formatSize(entry.kept), formatSize(entry.size))
                     .toHtmlEscaped();
    lines << tr("未完成的文件保留 %1 天，最多 %2GB")
                 .arg(PartialRegistry::maxAgeMs / (24 * 60 * 60 * 1000))
                 .arg(PartialRegistry::maxTotalBytes / 1000000000);
    appendHtml(QLatin1String("<p style='color:gray;font-size:14px'>") +
               lines.join(QLatin1String("<br>")) + QLatin1String("</p>"));
}

void DownloadView::busyRefused(const QString &sender, const QString &address)
{
    if (active)
        appendHtml(
            ReceiveHtml::notice(tr("来自 %1（%2）的请求因正在传输而被拒绝").arg(sender, address)));
}

// Whatever the session still says of a transfer before the latest one is dropped: a late end
// must never close the next question.
bool DownloadView::isLate(quint64 id) const
{
    return id < transfer;
}

// Who others see, where files go, and that the view is ready.
void DownloadView::showWaiting()
{
    if (listenAddress.isEmpty())
        return;
    shownName = SettingsKeys::userName(*settings);
    shownSaveDir = SettingsKeys::saveDir(*settings);
    QString html = QLatin1String("<p style='color:gray;font-size:14px'>") +
                   tr("本机名称：%1，地址：%2").arg(shownName.toHtmlEscaped(), listenAddress) +
                   QLatin1String("<br>") + tr("保存到：") +
                   ReceiveHtml::link(QDir::toNativeSeparators(shownSaveDir), shownSaveDir);
    if (!transferRunning())
        html += QLatin1String("<br>") + tr("等待对方发送…");
    appendHtml(html + QLatin1String("</p>"));
}

void DownloadView::applySettings()
{
    if (!active)
        return;
    handSaveFolder();
    const QString name = SettingsKeys::userName(*settings);
    const QString saveDir = SettingsKeys::saveDir(*settings);
    if (name == shownName && saveDir == shownSaveDir)
        return;
    udpThread->setUserName(name);
    if (saveDir != shownSaveDir && !reportUnusableSaveDir(saveDir) && failedHeading) {
        // The failure it told of is mended: the heading no longer holds.
        failedHeading = false;
        ui->progressLabel->clear();
    }
    showWaiting();
}

void DownloadView::handSaveFolder()
{
    session->setSaveFolder(SettingsKeys::saveDir(*settings), SettingsKeys::nameClash(*settings));
}

void DownloadView::endSession()
{
    if (!active)
        return;
    active = false;
    udpThread.reset(); // stops the presence loop at once and waits for it
    session->close();
    if (asking) {
        asking = false;
        questionBox->done(QMessageBox::No);
    }
    countdown.stop();
    ui->cancelPushButton->hide();
}

bool DownloadView::confirmLeave()
{
    if (!transferRunning())
        return true;
    return QMessageBox::question(this, tr("提示"), tr("正在接收文件，确定要取消吗？"),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void DownloadView::on_backPushButton_clicked()
{
    if (!confirmLeave())
        return;
    endSession();
    emit changeView(QStringLiteral("main"));
}

void DownloadView::on_cancelPushButton_clicked()
{
    if (confirmLeave())
        session->cancel(transfer);
}

void DownloadView::offered(quint64 id, const ReceiveOffer &offer)
{
    if (isLate(id))
        return;
    transfer = id;
    // Each transfer starts from a clean view.
    storedEntries.clear();
    storedTimer.stop();
    unchangedFiles = 0;
    ui->textBrowser->clear();
    itemLinks.clear();
    ui->progressLabel->clear();
    ui->progressBar->setValue(0);
    // Speed and time left count only what moves.
    progress.start(offer.movingBytes());
    offeredItems = offer.items;
    // The files skipped as unchanged are in the save folder already.
    storedItems = offer.skippedFiles;
    extendedOffer = offer.extended;
    skippedFiles = offer.skippedFiles;
    failedHeading = false;
    ui->progressBar->setMaximum(progress.barMaximum());
    meter.start(offer.movingBytes());
    skippedLine = offer.skippedFiles > 0 ? tr("跳过 %1 个未改变的文件（%2）")
                                               .arg(offer.skippedFiles)
                                               .arg(formatSize(offer.skippedBytes))
                                         : QString();

    receiving = false;
    questionText = describeOffer(offer);
    questionBox->setIconPixmap(QPixmap(offer.isFile ? QStringLiteral(":/image/file.ico")
                                                    : QStringLiteral(":/image/folder.ico")));
    secondsLeft = offer.answerMs / 1000;
    updateCountdown();
    countdown.start();
    // Return always means yes, whatever was clicked in an earlier question.
    questionBox->setDefaultButton(QMessageBox::Yes);
    asking = true;
    questionBox->open();
}

QString DownloadView::describeOffer(const ReceiveOffer &offer)
{
    // All at once: a "%2" in a peer's text must stay as it is.
    const QString name = offer.files > 1
                             ? tr("%1 等%2个项目").arg(offer.target, QString::number(offer.files))
                             : offer.target;
    QString text =
        tr("名称：%1\n大小：%2\n%3个项目\n来自：%4")
            .arg(name, formatSize(offer.size), QString::number(offer.items), offer.sender);
    // Only a transfer between two copies of this program runs inside TLS; the plain protocol,
    // the phone application's, carries names and contents readable by anyone on the network.
    if (!offer.extended)
        text += QLatin1Char('\n') + tr("未加密");
    if (offer.skippedFiles > 0)
        text +=
            QLatin1Char('\n') + tr("其中 %1 个文件已存在且相同，将跳过").arg(offer.skippedFiles);
    if (offer.resumedBytes > 0)
        text += QLatin1Char('\n') +
                tr("将从上次中断处继续，还需传输 %1").arg(formatSize(offer.movingBytes()));
    if (offer.replaced.count > 0 && !offer.replaced.first.isEmpty()) {
        const QString what =
            offer.replaced.count > 1
                ? tr("%1 等%2个")
                      .arg(offer.replaced.first.first(), QString::number(offer.replaced.count))
                : offer.replaced.first.first();
        text += QLatin1Char('\n') + tr("保存路径中已有同名项目 %1，接收后将被覆盖。").arg(what);
    }
    if (!offer.pairingCode.isEmpty())
        text += QStringLiteral("\n\n") +
                tr("第一次与这台设备传输。请确认对方屏幕上显示的配对码为 %1，一致才接收。")
                    .arg(offer.pairingCode);
    return text;
}

void DownloadView::updateCountdown()
{
    questionBox->setText(questionText + tr("\n\n请在 %1 秒内回答。").arg(qMax(secondsLeft, 0)));
    if (--secondsLeft < 0)
        countdown.stop();
}

void DownloadView::answered(int button)
{
    countdown.stop();
    if (!asking)
        return; // closed because the offer went away
    asking = false;
    if (button == QMessageBox::Yes) {
        receiving = true;
        ui->cancelPushButton->show();
        clock.restart();
        meter.sample(0, 0);
        showProgress(tr("正在接收..."));
        if (!skippedLine.isEmpty())
            appendHtml(ReceiveHtml::notice(skippedLine));
        session->accept(transfer);
    } else {
        session->refuse(transfer);
    }
}

void DownloadView::updateProgress(quint64 id, qint64 received, qint64 total)
{
    if (id != transfer)
        return;
    // A resumed file the sender sends whole after all adds what was kept of it.
    if (total > progress.total()) {
        progress.start(total);
        ui->progressBar->setMaximum(progress.barMaximum());
    }
    progress.setReceived(received);
    meter.sample(received, clock.elapsed());
    ui->progressBar->setValue(progress.barValue());
    showProgress(tr("正在接收..."));
}

void DownloadView::showProgress(const QString &title)
{
    ui->progressLabel->setText(
        ReceiveHtml::progress(title, progress.received(), progress.total(), meter.text()));
}

void DownloadView::itemsStored(quint64 id, const QList<StoredEntry> &entries, int unchanged)
{
    if (id != transfer)
        return;
    unchangedFiles += unchanged;
    for (const StoredEntry &entry : entries)
        storedItems += entry.status == StoredEntry::Stored &&
                       entry.clash != StoredEntry::Unchanged; // counted from the offer
    storedEntries += entries;
    storedTimer.start();
}

void DownloadView::appendStored()
{
    constexpr int linesPerTurn = 250;
    const int taken = std::min(int(storedEntries.size()), linesPerTurn);
    QList<StoredEntry> now;
    if (taken == storedEntries.size()) {
        now.swap(storedEntries);
    } else {
        now = storedEntries.mid(0, taken);
        storedEntries.erase(storedEntries.begin(), storedEntries.begin() + taken);
    }
    if (storedEntries.isEmpty())
        storedTimer.stop();
    for (const ReceiveHtml::Piece &piece : ReceiveHtml::pieces(now)) {
        if (piece.links.isEmpty())
            appendHtml(piece.html);
        else
            appendLinks(piece.links);
    }
}

// Links go in as text with an anchor format, a line each in one paragraph, rather than as HTML:
// what the markup leaves in the document costs several times the link itself, which adds up to
// tens of megabytes for a transfer of many files. Kept at the bottom as append() keeps it.
void DownloadView::appendLinks(const QList<StoredEntry> &links)
{
    QScrollBar *const bar = ui->textBrowser->verticalScrollBar();
    const bool atBottom = bar->value() >= bar->maximum();
    QTextCursor cursor(ui->textBrowser->document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    itemLinks.append(&cursor, links, ui->textBrowser->palette().brush(QPalette::Link));
    cursor.endEditBlock();
    if (atBottom)
        bar->setValue(bar->maximum());
}

// What a link leads to: an item's link is found by where it is (the browser selects the link it
// activates, by mouse or keys), another by its address.
QString DownloadView::linkedPath(const QString &address, int position) const
{
    if (address == ReceivedLinks::marker())
        return itemLinks.pathAt(ui->textBrowser->document(), position);
    const QUrl url(address);
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

bool DownloadView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != ui->textBrowser->viewport() || event->type() != QEvent::ToolTip)
        return QWidget::eventFilter(watched, event);
    const auto *help = static_cast<QHelpEvent *>(event);
    const QString path = linkedPath(ui->textBrowser->anchorAt(help->pos()),
                                    ui->textBrowser->cursorForPosition(help->pos()).position());
    if (path.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(help->globalPos(), ReceiveHtml::toolTip(path),
                           ui->textBrowser->viewport());
    return true;
}

void DownloadView::ended(quint64 id, int outcome, const QString &reason)
{
    if (isLate(id))
        return;
    transfer = id;
    // The end line comes after the last link, which may still be on its way in.
    if (!storedEntries.isEmpty()) {
        QTimer::singleShot(1, this, [this, id, outcome, reason] { ended(id, outcome, reason); });
        return;
    }
    ui->cancelPushButton->hide();
    countdown.stop();
    if (asking) {
        asking = false;
        questionBox->done(QMessageBox::No);
    }
    showEndHeading(outcome);
    // Once for the whole transfer, however many reports its entries came in.
    if (unchangedFiles > 0)
        appendHtml(ReceiveHtml::unchangedLine(unchangedFiles));
    switch (outcome) {
    case ReceiveOutcome::Complete:
        appendHtml(ReceiveHtml::success(tr("接收完成！")));
        showWaiting();
        QMessageBox::information(this, tr("提示"), tr("接收完成！"));
        return;
    case ReceiveOutcome::Incomplete:
        if (!reason.isEmpty())
            appendHtml(ReceiveHtml::notice(reason));
        appendHtml(ReceiveHtml::problem(tr("传输中断，接收不完整！")));
        appendHtml(ReceiveHtml::notice(
            (extendedOffer ? tr("已保存 %1 个项目，共 %2 个；未完整收到的文件已保留，"
                                "对方再次发送时从中断处继续。")
                           : tr("已保存 %1 个项目，共 %2 个；未完整收到的项目已删除。"))
                .arg(storedItems)
                .arg(offeredItems)));
        break;
    case ReceiveOutcome::Refused:
        appendHtml(ReceiveHtml::refused());
        break;
    case ReceiveOutcome::Failed:
        appendHtml(
            ReceiveHtml::problem(reason.isEmpty() ? tr("部分项目未能保存，接收失败！") : reason));
        break;
    case ReceiveOutcome::SenderLeft:
        appendHtml(ReceiveHtml::notice(tr("发送方已断开连接。")));
        break;
    case ReceiveOutcome::Unanswered:
        appendHtml(ReceiveHtml::notice(tr("未在时限内回答，已自动拒绝。")));
        break;
    }
    showWaiting();
}

// The heading says how the transfer ended and nothing of it that no longer holds: no rate, and
// counts only for a body that was being received.
void DownloadView::showEndHeading(int outcome)
{
    const bool hadBody = receiving;
    receiving = false;
    switch (outcome) {
    case ReceiveOutcome::Complete:
        // Full, also for an offer of nothing at all.
        ui->progressBar->setValue(ui->progressBar->maximum());
        // Counts of nothing moved say nothing: what happened instead is said.
        ui->progressLabel->setText(
            progress.total() == 0 && skippedFiles > 0
                ? ReceiveHtml::success(tr("全部 %1 个文件已存在且相同，无需传输").arg(skippedFiles))
                : ReceiveHtml::endHeading(tr("接收完成！"), false, progress.received(),
                                          progress.total()));
        return;
    case ReceiveOutcome::Incomplete:
    case ReceiveOutcome::Failed: {
        const QString title = outcome == ReceiveOutcome::Failed ? tr("接收失败") : tr("接收中断");
        failedHeading = true;
        ui->progressLabel->setText(
            hadBody ? ReceiveHtml::endHeading(title, true, progress.received(), progress.total())
                    : ReceiveHtml::problem(title));
        return;
    }
    default:
        ui->progressLabel->clear();
        return;
    }
}

void DownloadView::openFile(const QUrl &link)
{
    const QString path =
        linkedPath(link.toString(), ui->textBrowser->textCursor().selectionStart());
    if (path.isEmpty() || QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        return;
    const QString why = QFileInfo::exists(path) ? tr("没有可以打开它的程序") : tr("该项目已不存在");
    appendHtml(ReceiveHtml::problem(tr("无法打开：%1（%2）").arg(path, why)));
}

void DownloadView::appendHtml(const QString &html)
{
    ui->textBrowser->append(html);
}

bool DownloadView::reportUnusableSaveDir(const QString &saveDir)
{
    const QFileInfo info(saveDir);
    if (info.isDir() && info.isWritable())
        return false;
    appendHtml(ReceiveHtml::problem(tr("保存路径不存在或不可写：%1").arg(saveDir)));
    return true;
}
