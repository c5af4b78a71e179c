#include "protocol/extendedbodyreader.h"

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
                const int done = current;
                current = -1;
                next = done + 1;
                if (!handler->fileEnd(done))
                    return fail(HandlerFailed);
            }
            continue;
        }
        const char *newline = static_cast<const char *>(memchr(bytes, '\n', size_t(length)));
        const qint64 take = newline ? newline - bytes + 1 : length;
        line.append(bytes, int(take));
        bytes += take;
        length -= take;
        if (line.size() > ExtendedProtocol::maxPartLine)
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
    if (text == ExtendedProtocol::endLine()) {
        if (!passUpTo(manifest.items.size()))
            return false;
        ended = true;
        return true;
    }
    const QList<QByteArray> fields = text.left(text.size() - 1).split(' ');
    bool indexOk = false;
    bool offsetOk = false;
    const int index = fields.size() == 3 ? fields.at(1).toInt(&indexOk) : -1;
    const qint64 offset = fields.size() == 3 ? fields.at(2).toLongLong(&offsetOk) : -1;
    if (fields.size() != 3 || fields.at(0) != "P" || !indexOk || !offsetOk)
        return fail(BadLine);
    if (index < next || index >= manifest.items.size() || !manifest.items.at(index).isFile ||
        plan.steps.at(index).action == TransferPlan::Skip)
        return fail(WrongPart);
    const TransferPlan::Step &step = plan.steps.at(index);
    if (offset != 0 && !(step.action == TransferPlan::Resume && offset == step.offset))
        return fail(WrongOffset);
    if (!passUpTo(index))
        return false;
    if (!handler->fileBegin(index, offset))
        return fail(HandlerFailed);
    current = index;
    remaining = manifest.items.at(index).size - offset;
    if (remaining == 0) {
        current = -1;
        next = index + 1;
        if (!handler->fileEnd(index))
            return fail(HandlerFailed);
    }
    return true;
}
