#include "protocol/transferrequest.h"

#include <QStringList>

namespace {

// A CR or LF inside a value would end the header line early and let the rest pass for a header
// of its own.
QString oneLine(QString text)
{
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

} // namespace

QByteArray TransferRequest::toUtf8() const
{
    const QString text =
        QStringLiteral("MYPOST /") + oneLine(target) +
        QStringLiteral(" HTTP/1.1\r\nConnection: Keep-Alive\r\nContent-Type: application/") + kind +
        QStringLiteral("\r\nFiles-Number: ") + QString::number(filesNumber) +
        QStringLiteral("\r\nItems-Number: ") + QString::number(itemsNumber) +
        QStringLiteral("\r\nContent-Length: ") + QString::number(contentLength) +
        QStringLiteral("\r\nUser-Agent: Dalvik\r\nHost: localhost\r\nsender-name: ") +
        oneLine(senderName) + QStringLiteral("\r\n\r\n");
    return text.toUtf8();
}

QMap<QString, QString> TransferRequest::parseHeader(const QString &text)
{
    QMap<QString, QString> header;
    QStringList lines = text.trimmed().split(QStringLiteral("\r\n"));
    if (!lines.isEmpty())
        lines.removeFirst(); // the request line
    for (const QString &line : qAsConst(lines)) {
        const QStringList parts = line.split(QLatin1Char(':'));
        if (parts.size() < 2)
            continue; // no "name: value" pair, e.g. body bytes that came early
        header.insert(parts.at(0).trimmed(), parts.at(1).trimmed());
    }
    return header;
}

QString TransferRequest::parseTarget(const QString &text)
{
    const QString line = text.left(text.indexOf(QLatin1String("\r\n")));
    const QString prefix = QStringLiteral("MYPOST /");
    const QString suffix = QStringLiteral(" HTTP/1.1");
    if (!line.startsWith(prefix) || !line.endsWith(suffix) ||
        line.size() < prefix.size() + suffix.size())
        return QString();
    return line.mid(prefix.size(), line.size() - prefix.size() - suffix.size()).trimmed();
}
