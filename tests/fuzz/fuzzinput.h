#ifndef FUZZINPUT_H
#define FUZZINPUT_H

#include "protocol/streamreader.h"

#include <QByteArray>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

// The fuzzer's bytes read as choices, and item stream bodies made from them.
class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size) : data(data), size(size) {}
    bool more() const { return at < size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    QByteArray bytes(size_t count)
    {
        count = std::min(count, size - at);
        const QByteArray taken(reinterpret_cast<const char *>(data + at), int(count));
        at += count;
        return taken;
    }

private:
    const uint8_t *data;
    size_t size;
    size_t at = 0;
};

// Records built from `words` (names that meet the traps), with framing faults mixed in; each
// name has up to `maxParts` parts.
inline QByteArray generateBody(FuzzInput &in, bool end, const std::vector<QByteArray> &words,
                               int maxParts)
{
    const auto name = [&] {
        QByteArray text;
        const int parts = 1 + in.byte() % maxParts;
        for (int i = 0; i < parts; ++i) {
            if (i > 0)
                text += '/';
            const uint8_t word = in.byte();
            text += word >= 240 ? in.bytes(word % 8) : words[word % words.size()];
        }
        return text;
    };
    const auto content = [&](int length) {
        static const QByteArray markers("x\r\nFile end\r\nOVER\r\n");
        QByteArray data = in.byte() & 1 ? markers.repeated(length / markers.size() + 1)
                                        : QByteArray(length, char(in.byte()));
        data.truncate(length);
        return data;
    };
    QByteArray body;
    while (in.more()) {
        const uint8_t op = in.byte();
        const QByteArray eol = op & 0x80 ? "\n" : "\r\n";
        switch (op % 10) {
        case 0:
        case 1:
            body += name() + eol + "folder" + eol;
            break;
        case 2:
        case 3: {
            const int length = in.byte() == 255 ? 70000 : in.byte();
            body += name() + eol + "file" + eol + QByteArray::number(length) + eol +
                    content(length) + "File end" + eol;
            break;
        }
        case 4: { // a size that does not match the data
            const int length = in.byte();
            body += name() + eol + "file" + eol +
                    QByteArray::number(qMax(0, length + in.byte() % 5 - 2)) + eol +
                    content(length) + "File end" + eol;
            break;
        }
        case 5: {
            static const char *const types[] = {"blob", "FILE", " folder\t", "file ", "folders"};
            body += name() + eol + types[in.byte() % std::size(types)] + eol;
            break;
        }
        case 6: {
            static const char *const sizes[] = {"abc", "-1", "4294967296", "00000000001",
                                                " 7",  "+3", "",           "4294967295"};
            body += name() + eol + "file" + eol + sizes[in.byte() % std::size(sizes)] + eol;
            break;
        }
        case 7:
            body += "OVER" + eol;
            break;
        case 8:
            body += in.bytes(in.byte() % 16);
            break;
        case 9: // lines about as long as a line may be
            body += QByteArray(StreamReader::maxLineLength - 8 + in.byte() % 16, 'n') +
                    (in.byte() & 1 ? eol : QByteArray());
            break;
        }
    }
    if (end)
        body += "OVER\r\n";
    return body;
}

#endif // FUZZINPUT_H
