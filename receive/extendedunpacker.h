#ifndef EXTENDEDUNPACKER_H
#define EXTENDEDUNPACKER_H

#include "protocol/contenthash.h"
#include "protocol/extendedbodyreader.h"
#include "protocol/manifest.h"
#include "protocol/transferplan.h"

#include <QHash>
#include <QString>

class PartialRegistry;
class StreamUnpacker;

// Stores the body of an extended transfer through a StreamUnpacker, item by item as the plan
// leaves them to be sent, and keeps the list of partial files up to date: a file that ends is
// taken off it, and the file that a cut leaves half written is put on it.
class ExtendedUnpacker : private ExtendedBodyReader::Handler
{
public:
    ExtendedUnpacker(StreamUnpacker *unpacker, const Manifest &manifest, const TransferPlan &plan,
                     const QHash<int, ContentHash> &prefixes, PartialRegistry *partials,
                     const QString &senderId);

    // False once storing has ended in a failure, which the unpacker's entries tell.
    bool feed(const char *data, qint64 length);
    bool atEnd() const { return reader.atEnd(); }
    // The input has ended before the body did.
    void finish();
    // Bytes beyond the plan: resumed files the sender chose to send whole.
    qint64 extraBytes() const { return extra; }

private:
    bool folder(int index) override;
    bool skipped(int index) override;
    bool fileBegin(int index, qint64 offset) override;
    bool fileData(const char *data, qint64 length) override;
    bool fileEnd(int index, const ContentHash::Value &sent) override;

    StreamUnpacker *unpacker;
    const Manifest manifest;
    const TransferPlan plan;
    const QHash<int, ContentHash> prefixes;
    PartialRegistry *partials;
    const QString senderId;
    ExtendedBodyReader reader;
    int current = -1; // the file being written
    QString currentPath;
    qint64 extra = 0;
};

#endif // EXTENDEDUNPACKER_H
