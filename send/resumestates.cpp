#include "send/resumestates.h"

ResumeStates &ResumeStates::shared()
{
    static ResumeStates states;
    return states;
}

void ResumeStates::save(const QString &path, quint64 version, const ContentHash &state)
{
    const std::lock_guard<std::mutex> lock(mutex);
    Saved &entry = saved[path];
    if (entry.version != version)
        entry = Saved{version, {}};
    entry.states.insert(state.bytes(), state);
}

bool ResumeStates::find(const QString &path, quint64 version, qint64 offset,
                        ContentHash *state) const
{
    const std::lock_guard<std::mutex> lock(mutex);
    const auto entry = saved.constFind(path);
    if (entry == saved.constEnd() || entry->version != version || !entry->states.contains(offset))
        return false;
    *state = entry->states.value(offset);
    return true;
}
