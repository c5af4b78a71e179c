#include "send/sourcerecords.h"

SourceRecords &SourceRecords::shared()
{
    static SourceRecords records;
    return records;
}

SourceRecords::Entry &SourceRecords::entryFor(const QString &path, quint64 version)
{
    Entry &entry = entries[path];
    if (entry.version != version)
        entry = Entry{version, false, {}, {}};
    return entry;
}

const SourceRecords::Entry *SourceRecords::find(const QString &path, quint64 version) const
{
    const auto entry = entries.constFind(path);
    return entry == entries.constEnd() || entry->version != version || version == 0 ? nullptr
                                                                                    : &*entry;
}

bool SourceRecords::hash(const QString &path, quint64 version, ContentHash::Value *hash) const
{
    const std::lock_guard<std::mutex> lock(mutex);
    const Entry *entry = find(path, version);
    if (!entry || !entry->hashed)
        return false;
    *hash = entry->hash;
    return true;
}

void SourceRecords::storeHash(const QString &path, quint64 version, const ContentHash::Value &hash)
{
    const std::lock_guard<std::mutex> lock(mutex);
    Entry &entry = entryFor(path, version);
    entry.hashed = true;
    entry.hash = hash;
}

void SourceRecords::saveState(const QString &path, quint64 version, const ContentHash &state)
{
    const std::lock_guard<std::mutex> lock(mutex);
    entryFor(path, version).states.insert(state.bytes(), state);
}

bool SourceRecords::findState(const QString &path, quint64 version, qint64 offset,
                              ContentHash *state) const
{
    const std::lock_guard<std::mutex> lock(mutex);
    const Entry *entry = find(path, version);
    if (!entry || !entry->states.contains(offset))
        return false;
    *state = entry->states.value(offset);
    return true;
}
