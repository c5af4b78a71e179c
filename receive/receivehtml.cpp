#include "receive/receivehtml.h"

#include "protocol/formatsize.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextDocument>
#include <QUrl>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("DownloadView", text);
}

} // namespace

QString ReceiveHtml::entryProblem(const StoredEntry &entry)
{
    switch (entry.status) {
    case StoredEntry::Stored:
        break;
    case StoredEntry::Refused:
        return tr("已拒绝不安全的名称：%1").arg(entry.name);
    case StoredEntry::WriteFailed:
        return tr("未能保存：%1").arg(entry.name);
    case StoredEntry::UnknownType:
        return tr("无法识别的项目：%1").arg(entry.name);
    case StoredEntry::Invalid:
        return tr("数据格式错误：%1").arg(entry.name);
    case StoredEntry::Excess:
        return tr("超出对方声明的项目数或大小：%1").arg(entry.name);
    case StoredEntry::Mismatch:
        return tr("文件校验失败，未保存：%1").arg(entry.name);
    case StoredEntry::Changed:
        return tr("文件在确认接收后被改动，已停止：%1").arg(entry.name);
    case StoredEntry::Resumed:
        break;
    case StoredEntry::Incomplete:
        // Input that ended between two records leaves no name to show.
        if (!entry.name.isEmpty())
            return tr("未完整收到：%1").arg(entry.name);
        break;
    }
    return QString();
}

QString ReceiveHtml::clashText(const StoredEntry &entry)
{
    switch (entry.clash) {
    case StoredEntry::NoClash:
        break;
    case StoredEntry::Replaced:
        return tr("（已替换）");
    case StoredEntry::Renamed:
        return tr("（已另存为 %1）").arg(QFileInfo(entry.storedPath).fileName());
    case StoredEntry::Skipped:
        return tr("（已跳过）");
    case StoredEntry::Unchanged:
        return tr("（未改变，已跳过）");
    }
    return QString();
}

QString ReceiveHtml::clashNote(const StoredEntry &entry)
{
    return clashText(entry).toHtmlEscaped();
}

QString ReceiveHtml::progress(const QString &title, qint64 received, qint64 total,
                              const QString &rate)
{
    return QLatin1String("<p style='color:green;font-size:20px;font-weight:bold'>") +
           title.toHtmlEscaped() +
           QLatin1String("</p><p style='font-size:30px;font-weight:bold'>") + formatSize(received) +
           QLatin1Char('/') + formatSize(total) +
           QLatin1String("</p><p style='color:gray;font-size:14px'>") + rate.toHtmlEscaped() +
           QLatin1String("</p>");
}

QString ReceiveHtml::endHeading(const QString &title, bool failed, qint64 received, qint64 total)
{
    return (failed ? problem(title) : success(title)) +
           QLatin1String("<p style='font-size:30px;font-weight:bold'>") + formatSize(received) +
           QLatin1Char('/') + formatSize(total) + QLatin1String("</p>");
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

QString ReceiveHtml::success(const QString &text)
{
    return QLatin1String("<p style='color:green;font-size:20px;font-weight:bold'>") +
           text.toHtmlEscaped() + QLatin1String("</p>");
}

QString ReceiveHtml::link(const QString &name, const QString &storedPath)
{
    return QLatin1String("<a href=\"") + href(storedPath).toHtmlEscaped() + QLatin1String("\">") +
           name.toHtmlEscaped() + QLatin1String("</a>");
}

QString ReceiveHtml::href(const QString &storedPath)
{
    // A fully encoded URL holds no quote or angle bracket, and '#', '%' and spaces in the path
    // stay part of the path instead of starting a fragment or an escape.
    return QUrl::fromLocalFile(storedPath).toString(QUrl::FullyEncoded);
}

QString ReceiveHtml::toolTip(const QString &text)
{
    return Qt::convertFromPlainText(text, Qt::WhiteSpacePre);
}

QString ReceiveHtml::entries(const QList<StoredEntry> &entries)
{
    QString html;
    for (const Piece &piece : pieces(entries)) {
        QStringList links;
        for (const StoredEntry &entry : piece.links)
            links << link(entry.name, entry.storedPath) + clashNote(entry);
        html += links.isEmpty() ? piece.html
                                : QLatin1String("<p>") + links.join(QLatin1String("<br>")) +
                                      QLatin1String("</p>");
    }
    return html;
}

QList<ReceiveHtml::Piece> ReceiveHtml::pieces(const QList<StoredEntry> &entries)
{
    QList<Piece> pieces;
    const auto line = [&pieces](const QString &html) { pieces.append(Piece{html, {}}); };
    for (const StoredEntry &entry : entries) {
        if (entry.status == StoredEntry::Stored) {
            if (pieces.isEmpty() || pieces.last().links.isEmpty())
                pieces.append(Piece());
            pieces.last().links << entry;
        } else if (entry.status == StoredEntry::Resumed) {
            line(notice(tr("%1：从 %2 处继续").arg(entry.name, formatSize(entry.offset))));
        } else if (!entryProblem(entry).isEmpty()) {
            line(problem(entryProblem(entry)));
        }
    }
    return pieces;
}

QString ReceiveHtml::unchangedLine(int count)
{
    return count > 0 ? notice(tr("%1 个文件未改变，未再接收").arg(count)) : QString();
}
