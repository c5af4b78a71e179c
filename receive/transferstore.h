#ifndef TRANSFERSTORE_H
#define TRANSFERSTORE_H

#include "receive/storedentry.h"

#include <QList>
#include <QString>

// Where the receive engine puts a transfer's body as it arrives, plain or extended alike.
class TransferStore
{
public:
    virtual ~TransferStore() = default;

    // The reply has left and the body is on its way: what can be done before it comes.
    virtual void begin() {}

    // False once storing has ended in a failure; what was stored before stays.
    virtual bool feed(const char *data, qint64 length) = 0;
    // The input ended before the body did: the file being written is dropped, or kept for a
    // later transfer where the body allows that.
    virtual void finish() = 0;
    virtual bool atEnd() const = 0;
    virtual bool failed() const = 0;
    virtual bool diskFull() const = 0;
    // Why storing failed, in the user's words; empty while it has not.
    virtual QString failure() const = 0;
    // Bytes of file contents taken so far, and those beyond what was planned to come (a resumed
    // file its sender chose to send whole).
    virtual qint64 dataBytes() const = 0;
    virtual qint64 extraBytes() const { return 0; }
    // The entries added since the last call.
    virtual QList<StoredEntry> takeEntries() = 0;
    // Files inside folders found unchanged since the last call: counted, not listed.
    virtual int takeUnchanged() { return 0; }
};

#endif // TRANSFERSTORE_H
