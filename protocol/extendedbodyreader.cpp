#include "protocol/extendedbodyreader.h"

#include "protocol/decimal.h"
#include "protocol/extendedprotocol.h"

#include <cstring>

ExtendedBodyReader::ExtendedBodyReader(const Manifest &manifest, const TransferPlan &plan,
                                       Handler *handler)
    : manifest(manifest), plan(plan), handler(handler)
{
}

bool ExtendedBodyReader::fail(Error error)
{
    lastError = error;
    return false;
}

bool ExtendedBodyReader::feed(const char *bytes, qint64 length)
{
    if (lastError != NoError)
        return false;
    while (length > 0) {
        if (ended)
            return fail(DataAfterEnd);
        if (current >= 0) {
            const qint64 take = qMin(length, remaining);
            if (!handler->fileData(bytes, take))
                return fail(HandlerFailed);
            bytes += take;
            length -= take;
            remaining -= take;
            data += take;
            if (remaining == 0) {
                hashDue = current;
                current = -1;
            }
            continue;
        }
        const char *newline = static_cast<const char *>(memchr(bytes, '\n', size_t(length)));
        const qint64 take = newline ? newline - bytes + 1 : length;
        line.append(bytes, int(take));
        bytes += take;
        length -= take;
        if (line.size() > maxLine)
            return fail(BadLine);
        if (newline) {
            const QByteArray whole = line;
            line.clear();
            if (!takeLine(whole))
                return false;
        }
    }
    return true;
}

// Folders and skipped files up to `index` are passed; false when a file due to be sent lies
// before it.
bool ExtendedBodyReader::passUpTo(int index)
{
    for (; next < index; ++next) {
        const Manifest::Item &item = manifest.items.at(next);
        if (!item.isFile) {
            if (!handler->folder(next))
                return fail(HandlerFailed);
        } else if (plan.steps.at(next).action == TransferPlan::Skip) {
            if (!handler->skipped(next))
                return fail(HandlerFailed);
        } else {
            return fail(index == manifest.items.size() ? EarlyEnd : WrongPart);
        }
    }
    return true;
}

bool ExtendedBodyReader::takeLine(const QByteArray &text)
{
    const QByteArray bare = text.left(text.size() - 1);
    if (hashDue >= 0)
        return takeHash(bare);
    if (text == ExtendedProtocol::endLine()) {
        if (!passUpTo(manifest.items.size()))
            return false;
        ended = true;
        return true;
    }
    return takePart(bare);
}

bool ExtendedBodyReader::takeHash(const QByteArray &text)
{
    ContentHash::Value sent;
    if (!text.startsWith("H ") || !ContentHash::Value::fromHex(text.mid(2), &sent))
        return fail(BadLine);
    const int done = hashDue;
    hashDue = -1;
    next = done + 1;
    return handler->fileEnd(done, sent) || fail(HandlerFailed);
}

bool ExtendedBodyReader::takePart(const QByteArray &text)
{
    const QList<QByteArray> fields = text.split(' ');
    qint64 index = -1;
    qint64 offset = -1;
    if (fields.size() != 3 || fields.at(0) != "P" ||
        !Decimal::parse(fields.at(1), &index, manifest.items.size()) ||
        !Decimal::parse(fields.at(2), &offset))
        return fail(BadLine);
    if (index < next || index >= manifest.items.size() || !manifest.items.at(int(index)).isFile ||
        plan.steps.at(int(index)).action == TransferPlan::Skip)
        return fail(WrongPart);
    const TransferPlan::Step &step = plan.steps.at(int(index));
    if (offset != 0 && !(step.action == TransferPlan::Resume && offset == step.offset))
        return fail(WrongOffset);
    if (!passUpTo(int(index)))
        return false;
    if (!handler->fileBegin(int(index), offset))
        return fail(HandlerFailed);
    remaining = manifest.items.at(int(index)).size - offset;
    if (remaining == 0)
        hashDue = int(index);
    else
        current = int(index);
    return true;
}
