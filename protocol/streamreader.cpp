#include "protocol/streamreader.h"

#include <cstring>

namespace {

// A line as the stream's readers have always taken it: white space trimmed at both ends and
// the text cut at its first NUL byte.
QString decodeLine(const QByteArray &line)
{
    QByteArray text = line.trimmed();
    const int nul = text.indexOf('\0');
    if (nul >= 0)
        text.truncate(nul);
    return QString::fromUtf8(text);
}

bool parseSize(const QByteArray &text, qint64 *size)
{
    if (text.isEmpty() || text.size() > 10)
        return false;
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > Q_INT64_C(4294967295))
        return false;
    *size = value;
    return true;
}

} // namespace

StreamReader::StreamReader(Handler *handler) : handler(handler) {}

bool StreamReader::feed(const char *data, qint64 length)
{
    while (length > 0) {
        switch (state) {
        case State::Failed:
            return false;
        case State::Ended:
            return fail(DataAfterEnd);
        case State::Data: {
            const qint64 take = qMin(remaining, length);
            if (!handler->fileData(data, take))
                return fail(Stopped);
            data += take;
            length -= take;
            remaining -= take;
            if (remaining == 0)
                state = State::Trailer;
            break;
        }
        default:
            if (!takeLine(data, length))
                return false;
            break;
        }
    }
    return state != State::Failed;
}

// Collects bytes up to a line end; a whole line is handled at once.
bool StreamReader::takeLine(const char *&data, qint64 &length)
{
    const void *end = std::memchr(data, '\n', size_t(length));
    const qint64 take = end ? static_cast<const char *>(end) - data + 1 : length;
    if (line.size() + take > maxLineLength) {
        // A name that never ends is named by its start, not taken for the record before it.
        if (state == State::Name)
            name = decodeLine((line + QByteArray(data, int(qMin<qint64>(take, 64)))).left(64)) +
                   QStringLiteral("…");
        return fail(LineTooLong);
    }
    line.append(data, int(take));
    data += take;
    length -= take;
    if (!end)
        return true;
    const QByteArray whole = line;
    line.clear();
    return handleLine(whole);
}

bool StreamReader::handleLine(const QByteArray &bytes)
{
    switch (state) {
    case State::Name: {
        const QString text = decodeLine(bytes);
        // The end marker can only follow a record: as the first line it is a name.
        if (recordCount > 0 && text == QLatin1String("OVER")) {
            state = State::Ended;
            return true;
        }
        name = text;
        ++recordCount;
        state = State::Type;
        return true;
    }
    case State::Type: {
        const QByteArray type = bytes.trimmed();
        if (type == "file") {
            state = State::Size;
            return true;
        }
        if (type == "folder") {
            state = State::Name;
            return handler->folder(name) || fail(Stopped);
        }
        return fail(UnknownType);
    }
    case State::Size: {
        if (!parseSize(bytes.trimmed(), &remaining))
            return fail(BadSize);
        if (!handler->fileBegin(name, remaining))
            return fail(Stopped);
        state = remaining > 0 ? State::Data : State::Trailer;
        return true;
    }
    case State::Trailer:
        // The trailer follows the data directly; anything else means the size was wrong.
        if (bytes.trimmed() != "File end")
            return fail(BadTrailer);
        state = State::Name;
        return handler->fileEnd() || fail(Stopped);
    case State::Data:
    case State::Ended:
    case State::Failed:
        break;
    }
    return false;
}

bool StreamReader::fail(Error error)
{
    if (state != State::Failed)
        lastError = error;
    state = State::Failed;
    return false;
}
