#ifndef TESTDATA_H
#define TESTDATA_H

#include "protocol/contenthash.h"
#include "protocol/extendedprotocol.h"
#include "protocol/manifest.h"
#include "protocol/transferrequest.h"

#include <QByteArray>

inline ContentHash::Value hashOf(const QByteArray &data)
{
    ContentHash hash;
    hash.add(data.constData(), data.size());
    return hash.value();
}

// Bytes that change along the file, so that a part put at a wrong offset shows.
inline QByteArray pattern(qint64 size, int seed = 7)
{
    QByteArray data(int(size), Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        data[int(i)] = char((i * seed + i / 1024) & 0xff);
    return data;
}

// An extended request offering `manifest`, with other manifest bytes when they are given, from a
// sender that knows the receiver as `knownReceiver` (none when empty) and commits to `commitment`.
inline QByteArray extendedRequest(const Manifest &manifest, const QString &senderId,
                                  const QByteArray &manifestBytes = QByteArray(),
                                  const QString &knownReceiver = QString(),
                                  const QByteArray &commitment = QByteArray(32, '\0'))
{
    TransferRequest request;
    request.target = manifest.items.first().name.section('/', 0, 0);
    request.kind = "folder";
    request.filesNumber = 1;
    request.itemsNumber = manifest.items.size();
    request.contentLength = manifest.totalSize();
    request.senderName = QStringLiteral("小明");
    return ExtendedProtocol::request(request, senderId, commitment, knownReceiver,
                                     manifestBytes.isNull() ? manifest.toBytes() : manifestBytes);
}

#endif // TESTDATA_H
