#ifndef CONTENTHASH_H
#define CONTENTHASH_H

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <memory>

// A file's contents as two copies of this program compare them: XXH3-128, written as 32 lowercase
// hexadecimal digits. Hashes as it is fed, and a copy carries on from where the original was, so
// that a resumed file needs its first part read only once.
class ContentHash
{
public:
    struct Value
    {
        quint64 high = 0;
        quint64 low = 0;
        bool operator==(const Value &other) const { return high == other.high && low == other.low; }
        bool operator!=(const Value &other) const { return !(*this == other); }
        QByteArray toHex() const;
        // Exactly 32 lowercase hexadecimal digits; false otherwise.
        static bool fromHex(const QByteArray &hex, Value *value);
    };

    ContentHash();
    ContentHash(const ContentHash &other);
    ContentHash &operator=(const ContentHash &other);
    ~ContentHash();

    void add(const char *data, qint64 length);
    Value value() const;
    qint64 bytes() const { return fed; }

    // The running state as bytes, for a partial file's record on this machine only: the layout
    // is the library's, not a format to send.
    QByteArray saveState() const;
    // False, leaving this hash as it was, for bytes that saveState() did not make.
    bool restoreState(const QByteArray &saved);

    // Feeds the first `length` bytes of the file at `path` (all of it when `length` is -1). False
    // when it cannot be read that far, or when `cancelled` was set on the way.
    bool addFile(const QString &path, qint64 length = -1,
                 const std::atomic<bool> *cancelled = nullptr);

private:
    struct State;
    std::unique_ptr<State> state;
    qint64 fed = 0;
};

#endif // CONTENTHASH_H
