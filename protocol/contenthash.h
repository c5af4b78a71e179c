#ifndef CONTENTHASH_H
#define CONTENTHASH_H

#include <QByteArray>
#include <QtGlobal>

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

    // The state as bytes to be kept on disk, tagged with the library's version and the count of
    // bytes fed. Restoring refuses bytes of another library version or another size; the caller
    // then reads the file from its start instead.
    QByteArray saveState() const;
    bool restoreState(const QByteArray &saved);

private:
    struct State;
    State &begun();

    std::unique_ptr<State> state; // none until the first bytes
    qint64 fed = 0;
};

#endif // CONTENTHASH_H
