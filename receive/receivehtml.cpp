#include "receive/receivehtml.h"

#include "app/formatsize.h"

#include <QCoreApplication>
#include <QUrl>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("DownloadView", text);
}

QString green(const QString &html)
{
    return QLatin1String("<p style='color:green;font-size:20px;font-weight:bold'>") + html +
           QLatin1String("</p>");
}

QString entryProblem(const StreamUnpacker::Entry &entry)
{
    switch (entry.status) {
    case StreamItem::Stored:
        break;
    case StreamItem::Refused:
        return tr("已拒绝不安全的名称：%1").arg(entry.name);
    case StreamItem::WriteFailed:
        return tr("未能保存：%1").arg(entry.name);
    case StreamItem::UnknownType:
        return tr("无法识别的项目：%1").arg(entry.name);
    case StreamItem::Incomplete:
        // Input that ended between two records leaves no name to show.
        if (!entry.name.isEmpty())
            return tr("未完整收到：%1").arg(entry.name);
        break;
    }
    return QString();
}

} // namespace

QString ReceiveHtml::progress(qint64 received, qint64 total)
{
    return QLatin1String("<p style='color:green;font-size:20px;font-weight:bold'>") +
           tr("正在接收...") + QLatin1String("</p><p style='font-size:30px;font-weight:bold'>") +
           formatSize(received) + QLatin1Char('/') + formatSize(total) + QLatin1String("</p>");
}

QString ReceiveHtml::refused()
{
    return problem(tr("拒绝传输！"));
}

QString ReceiveHtml::problem(const QString &text)
{
    return QLatin1String("<p style='color:red;font-size:20px;font-weight:bold'>") +
           text.toHtmlEscaped() + QLatin1String("</p>");
}

QString ReceiveHtml::notice(const QString &text)
{
    return QLatin1String("<p style='color:gray;font-size:14px'>") + text.toHtmlEscaped() +
           QLatin1String("</p>");
}

QString ReceiveHtml::link(const QString &name, const QString &storedPath)
{
    // A fully encoded URL holds no quote or angle bracket, and '#', '%' and spaces in the path
    // stay part of the path instead of starting a fragment or an escape.
    const QString href = QUrl::fromLocalFile(storedPath).toString(QUrl::FullyEncoded);
    return QLatin1String("<a href=\"") + href.toHtmlEscaped() + QLatin1String("\">") +
           name.toHtmlEscaped() + QLatin1String("</a>");
}

QString ReceiveHtml::unpackReport(const StreamUnpacker::Result &result)
{
    QString html;
    if (result.complete)
        html += green(tr("接收完成!") + QLatin1String("<br>") + tr("正在解析流文件..."));
    // Runs of links share one paragraph, a line each: a paragraph per link costs the document
    // a few kilobytes each, which adds up to tens of megabytes for a transfer of many files.
    QStringList links;
    const auto flushLinks = [&] {
        if (!links.isEmpty())
            html += QLatin1String("<p>") + links.join(QLatin1String("<br>")) + QLatin1String("</p>");
        links.clear();
    };
    for (const StreamUnpacker::Entry &entry : result.entries) {
        if (entry.status == StreamItem::Stored) {
            links << link(entry.name, entry.storedPath);
        } else {
            const QString text = entryProblem(entry);
            if (!text.isEmpty()) {
                flushLinks();
                html += problem(text);
            }
        }
    }
    flushLinks();
    if (!result.complete)
        html += problem(tr("传输中断，接收不完整！"));
    else if (!isSuccess(result))
        html += problem(tr("部分项目未能保存！"));
    else
        html += green(tr("完成!"));
    return html;
}

bool ReceiveHtml::isSuccess(const StreamUnpacker::Result &result)
{
    if (!result.complete)
        return false;
    for (const StreamUnpacker::Entry &entry : result.entries) {
        if (entry.status != StreamItem::Stored)
            return false;
    }
    return true;
}
