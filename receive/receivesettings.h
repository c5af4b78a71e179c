#ifndef RECEIVESETTINGS_H
#define RECEIVESETTINGS_H

#include "protocol/extendedprotocol.h"
#include "settings/settingskeys.h"

#include <QString>

#include <atomic>
#include <functional>

// What the receiving engine is handed by its view, and the times it allows; tests shorten them.
// A transfer takes a copy when it is asked about, so a change made meanwhile applies from the
// next one on.
struct ReceiveSettings
{
    QString saveDir;
    SettingsKeys::NameClash nameClash = SettingsKeys::NameClash::Overwrite;
    int idleMs = 60000;    // silence allowed while a body is expected
    int answerMs = 27000;  // the user's time to answer, from the moment the question shows
    int quietMs = 1000;    // ends a plain request that lacks its empty line
    int requestMs = 30000; // from connect until the request (and manifest) are in
    // Between two signs of life while planning: well inside the interval the sender relies on.
    int planSignMs = ExtendedProtocol::progressIntervalMs / 2;
    // A sender met for the first time becomes a known device once both users said yes; not
    // where nobody looks at the pairing code.
    bool rememberPaired = true;
    // Runs in the planner's thread before it plans; a test holds the planner there.
    std::function<void(const std::atomic<bool> &cancelled)> beforePlan;
};

#endif // RECEIVESETTINGS_H
