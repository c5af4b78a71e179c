#ifndef UNPACKERSINK_H
#define UNPACKERSINK_H

#include "protocol/contenthash.h"
#include "protocol/manifest.h"
#include "protocol/transferplan.h"
#include "receive/storedentry.h"
#include "settings/settingskeys.h"

#include <QHash>
#include <QList>
#include <QString>

#include <memory>

class ExtendedUnpacker;
class PartialRegistry;
class StreamUnpacker;

// Where a transfer's body goes once it is accepted: the plain item stream, or the parts of an
// extended body, stored below the save folder. One face for both, so that the transfer that
// feeds it does not care which.
class UnpackerSink
{
public:
    // Of a plain request: at most `items` records and `size` bytes of contents.
    UnpackerSink(const QString &saveDir, SettingsKeys::NameClash rule, int items, qint64 size);
    ~UnpackerSink();

    // The body of an extended request instead, stored as `plan` says.
    void expectParts(const Manifest &manifest, const TransferPlan &plan,
                     const QHash<int, ContentHash> &prefixes,
                     const QHash<QString, QString> &continued, PartialRegistry *partials,
                     const QString &senderId);

    // False once storing has failed; what was stored before stays.
    bool feed(const char *data, qint64 length);
    // The input ended before the body did: a file begun is dropped, or kept to be continued.
    void finish();
    bool atEnd() const;
    bool failed() const;
    bool diskFull() const;
    // Why storing failed, in the user's words; empty where the entries tell it.
    QString failure() const;
    // Bytes of file contents taken so far, and those beyond the plan (a resumed file sent whole).
    qint64 dataBytes() const;
    qint64 extraBytes() const;
    QList<StoredEntry> takeEntries();

private:
    std::unique_ptr<StreamUnpacker> unpacker;
    std::unique_ptr<ExtendedUnpacker> parts;
};

#endif // UNPACKERSINK_H
