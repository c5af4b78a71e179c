#include "protocol/contenthash.h"

#define XXH_STATIC_LINKING_ONLY // the state is kept by value, so that a copy can be taken
#include <xxhash.h>

#include <cstring>

namespace {

// Leads a saved state; read back only by the same build of the hashing library.
struct StateTag
{
    quint32 version = 0;
    quint32 stateSize = 0;
    qint64 fed = 0;
};

// The value of each lowercase hexadecimal digit, 16 for every other byte: a manifest carries a hash
// for each of tens of thousands of files, and a table spares a branch for each digit.
struct HexDigits
{
    quint8 value[256];
    constexpr HexDigits() : value()
    {
        for (int c = 0; c < 256; ++c)
            value[c] = c >= '0' && c <= '9'   ? quint8(c - '0')
                       : c >= 'a' && c <= 'f' ? quint8(c - 'a' + 10)
                                              : 16;
    }
};
constexpr HexDigits hexDigits;

// Sixteen hexadecimal digits.
bool readHalf(const char *hex, quint64 *half)
{
    quint64 value = 0;
    quint8 bad = 0;
    for (int i = 0; i < 16; ++i) {
        const quint8 digit = hexDigits.value[uchar(hex[i])];
        bad |= digit;
        value = value << 4 | (digit & 0xf);
    }
    if (bad & 16)
        return false;
    *half = value;
    return true;
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
    Value parsed;
    if (hex.size() != 32 || !readHalf(hex.constData(), &parsed.high) ||
        !readHalf(hex.constData() + 16, &parsed.low))
        return false;
    *value = parsed;
    return true;
}

// The state takes more than half a kilobyte: it is made only once bytes are fed, so that many
// hashes not begun yet (one per file of a transfer) cost next to nothing.
ContentHash::ContentHash() = default;

ContentHash::ContentHash(const ContentHash &other) : fed(other.fed)
{
    if (other.state) {
        state = std::make_unique<State>();
        XXH3_copyState(&state->xxh, &other.state->xxh);
    }
}

ContentHash &ContentHash::operator=(const ContentHash &other)
{
    if (this == &other)
        return *this;
    if (!other.state) {
        state.reset();
    } else {
        if (!state)
            state = std::make_unique<State>();
        XXH3_copyState(&state->xxh, &other.state->xxh);
    }
    fed = other.fed;
    return *this;
}

ContentHash::State &ContentHash::begun()
{
    if (!state) {
        state = std::make_unique<State>();
        XXH3_INITSTATE(&state->xxh);
        XXH3_128bits_reset(&state->xxh);
    }
    return *state;
}

ContentHash::~ContentHash() = default;

void ContentHash::add(const char *data, qint64 length)
{
    if (length <= 0)
        return;
    XXH3_128bits_update(&begun().xxh, data, size_t(length));
    fed += length;
}

ContentHash::Value ContentHash::value() const
{
    const XXH128_hash_t digest =
        state ? XXH3_128bits_digest(&state->xxh) : XXH3_128bits(nullptr, 0);
    return Value{digest.high64, digest.low64};
}

QByteArray ContentHash::saveState() const
{
    const StateTag tag{XXH_versionNumber(), quint32(sizeof(XXH3_state_t)), fed};
    // The state points at the library's default secret, whose address is this process's own: it
    // is kept as null and pointed at it again on restoring.
    ContentHash copy(*this);
    State kept;
    XXH3_copyState(&kept.xxh, &copy.begun().xxh);
    kept.xxh.extSecret = nullptr;
    QByteArray saved(reinterpret_cast<const char *>(&tag), int(sizeof tag));
    saved.append(reinterpret_cast<const char *>(&kept.xxh), int(sizeof(XXH3_state_t)));
    return saved;
}

bool ContentHash::restoreState(const QByteArray &saved)
{
    StateTag tag;
    if (saved.size() != int(sizeof tag + sizeof(XXH3_state_t)))
        return false;
    std::memcpy(&tag, saved.constData(), sizeof tag);
    if (tag.version != XXH_versionNumber() || tag.stateSize != sizeof(XXH3_state_t) || tag.fed < 0)
        return false;
    State restored;
    std::memcpy(&restored.xxh, saved.constData() + sizeof tag, sizeof(XXH3_state_t));
    if (restored.xxh.extSecret != nullptr || restored.xxh.useSeed != 0 ||
        restored.xxh.totalLen != quint64(tag.fed))
        return false;
    ContentHash fresh;
    restored.xxh.extSecret = fresh.begun().xxh.extSecret;
    XXH3_copyState(&begun().xxh, &restored.xxh);
    fed = tag.fed;
    return true;
}
