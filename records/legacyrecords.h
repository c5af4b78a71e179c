#ifndef LEGACYRECORDS_H
#define LEGACYRECORDS_H

#include <QString>

class RecordStore;

// The line files "hashes" and "partials" that earlier versions kept in the working folder: their
// entries are taken into the store once, and the files removed.
class LegacyRecords
{
public:
    static void takeOver(RecordStore &store, const QString &folder);

private:
    static bool takeHashes(RecordStore &store, const QString &fileName);
    static bool takePartials(RecordStore &store, const QString &fileName);
};

#endif // LEGACYRECORDS_H
