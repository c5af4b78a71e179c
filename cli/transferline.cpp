#include "cli/transferline.h"

#include "protocol/formatsize.h"
#include "protocol/ratemeter.h"
#include "receive/receiveoutcome.h"

#include <QRegularExpression>
#include <QStringList>

void TransferLine::offered(const ReceiveOffer &newOffer)
{
    offer = newOffer;
    refusal.clear();
    // The files skipped as unchanged are in the save folder already.
    storedItems = offer.skippedFiles;
    unchangedFiles = 0;
    failedItems = 0;
}

void TransferLine::stored(const QList<StoredEntry> &entries, int unchanged)
{
    unchangedFiles += unchanged;
    for (const StoredEntry &entry : entries) {
        if (entry.status == StoredEntry::Resumed)
            continue; // a file that goes on, not an end of it
        if (entry.status != StoredEntry::Stored)
            ++failedItems;
        else if (entry.clash == StoredEntry::Unchanged)
            ++unchangedFiles; // counted from the offer
        else
            ++storedItems;
    }
}

QString TransferLine::keptText() const
{
    return (offer.extended ? tr("已保存 %1 个项目，共 %2 个；未完整收到的文件已保留，"
                                "对方再次发送时从中断处继续。")
                           : tr("已保存 %1 个项目，共 %2 个；未完整收到的项目已删除。"))
        .arg(storedItems)
        .arg(offer.items);
}

// One line, whatever the sender put in its names: a line break in them would start a false one.
QString TransferLine::text(int outcome, const QString &reason, qint64 receivedBytes,
                           qint64 elapsedMs) const
{
    QStringList parts;
    if (!offer.sender.isEmpty() || !offer.address.isEmpty())
        parts << origin();
    if (offer.resumedBytes > 0)
        parts << tr("从上次中断处继续");
    // What moved differs from the offered size only where files were skipped or continued.
    const QString took = tr("用时 %1").arg(RateMeter::durationText(elapsedMs / 1000));
    if (outcome == ReceiveOutcome::Complete)
        parts << (receivedBytes == offer.size
                      ? took
                      : tr("传输 %1，").arg(formatSize(receivedBytes)) + took);
    if (unchangedFiles > 0)
        parts << tr("%1 个文件已存在且相同，未传输").arg(unchangedFiles);
    if (failedItems > 0)
        parts << tr("%1 个项目未能保存").arg(failedItems);
    if (outcome == ReceiveOutcome::Incomplete || outcome == cutHere)
        parts << keptText();
    QString line = heading(outcome);
    const QString why = refusal.isEmpty() ? reason : refusal;
    if (!why.isEmpty())
        line += tr("（%1）").arg(why);
    if (!parts.isEmpty())
        line += tr("：") + parts.join(tr("，"));
    return line.replace(QRegularExpression(QStringLiteral("[\\r\\n]+")), QStringLiteral(" "));
}

QString TransferLine::heading(int outcome) const
{
    switch (outcome) {
    case ReceiveOutcome::Complete:
        return tr("接收完成");
    case ReceiveOutcome::Incomplete:
        return tr("传输中断，接收不完整");
    case ReceiveOutcome::Refused:
        return tr("已拒绝接收");
    case ReceiveOutcome::Failed:
        return tr("接收失败");
    case ReceiveOutcome::SenderLeft:
        return tr("发送方已断开连接");
    case ReceiveOutcome::Unanswered:
        return tr("未在时限内回答，已自动拒绝");
    default:
        return tr("已取消接收，传输中断");
    }
}

QString TransferLine::origin() const
{
    if (offer.sender.isEmpty() && offer.address.isEmpty())
        return QString();
    const QString name = offer.files > 1
                             ? tr("%1 等%2个项目").arg(offer.target, QString::number(offer.files))
                             : offer.target;
    // All at once: a "%2" in a peer's text must stay as it is.
    QString text = tr("来自 %1（%2）的「%3」，%4，%5个项目")
                       .arg(offer.sender, offer.address, name, formatSize(offer.size),
                            QString::number(offer.items));
    if (!offer.extended)
        text += tr("，未加密");
    return text;
}
