// Header parsing takes whatever a peer sends before it is asked anything.
#include "protocol/transferrequest.h"

#include <cstdlib>

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const QMap<QString, QString> header = TransferRequest::parseHeader(QString::fromUtf8(bytes));
    for (auto it = header.cbegin(); it != header.cend(); ++it) {
        if (it.key().contains(QLatin1Char(':')) || it.value().contains(QLatin1Char(':')) ||
            it.key() != it.key().trimmed() || it.value() != it.value().trimmed() ||
            it.key().contains(QStringLiteral("\r\n")) ||
            it.value().contains(QStringLiteral("\r\n")))
            abort();
    }

    // Whatever target and name the sender uses, they cannot add or change other header lines.
    const int half = bytes.size() / 2;
    TransferRequest request;
    request.target = QString::fromUtf8(bytes.left(half));
    request.kind = QStringLiteral("file");
    request.filesNumber = 2;
    request.itemsNumber = 7;
    request.contentLength = 123456789012;
    request.senderName = QString::fromUtf8(bytes.mid(half));
    const QMap<QString, QString> parsed =
        TransferRequest::parseHeader(QString::fromUtf8(request.toUtf8()));
    if (parsed.value(QStringLiteral("Content-Length")) != QLatin1String("123456789012") ||
        parsed.value(QStringLiteral("Items-Number")) != QLatin1String("7") ||
        parsed.value(QStringLiteral("Host")) != QLatin1String("localhost") ||
        parsed.value(QStringLiteral("User-Agent")) != QLatin1String("Dalvik") ||
        parsed.value(QStringLiteral("Content-Type")) != QLatin1String("application/file"))
        abort();
    return 0;
}
