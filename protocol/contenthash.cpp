#include "protocol/contenthash.h"

#include <QFile>

#define XXH_STATIC_LINKING_ONLY // the state is kept by value, so that a copy can be taken
#include <xxhash.h>

#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr qint64 pieceSize = 1024 * 1024;

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

struct ContentHash::State
{
    XXH3_state_t xxh;
};

QByteArray ContentHash::Value::toHex() const
{
    QByteArray hex(32, '0');
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        hex[15 - i] = digits[(high >> (4 * i)) & 0xf];
        hex[31 - i] = digits[(low >> (4 * i)) & 0xf];
    }
    return hex;
}

bool ContentHash::Value::fromHex(const QByteArray &hex, Value *value)
{
    if (hex.size() != 32)
        return false;
    Value parsed;
    for (int i = 0; i < 32; ++i) {
        const int digit = hexDigit(hex.at(i));
        if (digit < 0)
            return false;
        quint64 &half = i < 16 ? parsed.high : parsed.low;
        half = (half << 4) | quint64(digit);
    }
    *value = parsed;
    return true;
}

ContentHash::ContentHash() : state(std::make_unique<State>())
{
    XXH3_INITSTATE(&state->xxh);
    XXH3_128bits_reset(&state->xxh);
}

ContentHash::ContentHash(const ContentHash &other)
    : state(std::make_unique<State>()), fed(other.fed)
{
    XXH3_copyState(&state->xxh, &other.state->xxh);
}

ContentHash &ContentHash::operator=(const ContentHash &other)
{
    if (this != &other) {
        XXH3_copyState(&state->xxh, &other.state->xxh);
        fed = other.fed;
    }
    return *this;
}

ContentHash::~ContentHash() = default;

void ContentHash::add(const char *data, qint64 length)
{
    if (length <= 0)
        return;
    XXH3_128bits_update(&state->xxh, data, size_t(length));
    fed += length;
}

ContentHash::Value ContentHash::value() const
{
    const XXH128_hash_t digest = XXH3_128bits_digest(&state->xxh);
    return Value{digest.high64, digest.low64};
}

QByteArray ContentHash::saveState() const
{
    return QByteArray(reinterpret_cast<const char *>(&state->xxh), sizeof(XXH3_state_t));
}

bool ContentHash::restoreState(const QByteArray &saved)
{
    if (saved.size() != int(sizeof(XXH3_state_t)))
        return false;
    XXH3_state_t restored;
    memcpy(&restored, saved.constData(), sizeof restored);
    XXH3_state_t fresh;
    XXH3_INITSTATE(&fresh);
    XXH3_128bits_reset(&fresh);
    // Only the default secret is ever used; its address from another run means nothing here.
    restored.extSecret = fresh.extSecret;
    if (restored.bufferedSize > sizeof restored.buffer || restored.useSeed != 0 ||
        restored.secretLimit != fresh.secretLimit ||
        restored.nbStripesPerBlock != fresh.nbStripesPerBlock ||
        restored.nbStripesSoFar >= restored.nbStripesPerBlock ||
        restored.totalLen > quint64(std::numeric_limits<qint64>::max()))
        return false;
    XXH3_copyState(&state->xxh, &restored);
    fed = qint64(restored.totalLen);
    return true;
}

bool ContentHash::addFile(const QString &path, qint64 length, const std::atomic<bool> *cancelled)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    qint64 left = length < 0 ? std::numeric_limits<qint64>::max() : length;
    // No more than the file holds, plus a byte to see its end: most files are small, and a piece
    // of full size would be mapped and unmapped afresh for each of them.
    const qint64 bufferSize = qMin(pieceSize, qMin(left, file.size() + 1));
    std::vector<char> piece(static_cast<size_t>(qMax<qint64>(bufferSize, 1)));
    while (left > 0) {
        if (cancelled && *cancelled)
            return false;
        const qint64 got = file.read(piece.data(), qMin(left, qint64(piece.size())));
        if (got < 0)
            return false;
        if (got == 0)
            return length < 0;
        add(piece.data(), got);
        left -= got;
    }
    return true;
}
