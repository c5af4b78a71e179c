#ifndef SAVEFOLDER_H
#define SAVEFOLDER_H

#include "protocol/manifest.h"
#include "protocol/transferplan.h"
#include "receive/storedentry.h"
#include "records/fileidentity.h"
#include "records/identityreader.h"
#include "settings/settingskeys.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

// What one transfer may write where below the save folder: names that stay inside it and follow
// no link out of it, never the program's own files nor its hidden partial files, and what the
// name-clash rule does to a name already taken. Changes nothing on disk. A value made when a
// transfer starts, with the folder and the rule the view handed over; one thread at a time.
//
// The rule is decided once per top-level item, unless the item is continued (a file of it is
// identical here or a kept partial of it goes on): then the item stays where it is and each of
// its files that meets an existing one obeys the rule on its own.
class SaveFolder
{
public:
    struct Place
    {
        StoredEntry::Status status = StoredEntry::Stored;
        QString path;
        StoredEntry::Clash clash = StoredEntry::NoClash;
        bool skip = false; // nothing to write: the existing item stays
    };

    // What a transfer would put in place of items that exist: how many, and the first few names.
    struct Replaced
    {
        int count = 0;
        QStringList first;
    };
    static constexpr int namedReplacements = 3;

    SaveFolder(const QString &dir, SettingsKeys::NameClash rule, const QStringList &protectedPaths);

    // The program's own files in its working folder, absolute: the protected list.
    static QStringList ownFiles();
    // The hidden file beside `path` that an extended transfer writes it to.
    static QString partialPathOf(const QString &path);
    // A name that cannot climb out of the folder it is put below, whatever the file system holds.
    static bool isSafeName(const QString &name);
    // A last part that only the program itself writes: a partial file. (A temporary file's
    // random name is taken only when free, so a record of that name does no harm.)
    static bool isOwnName(const QString &fileName);

    QString dir() const { return root; }
    SettingsKeys::NameClash rule() const { return clashRule; }

    // Where a record of `name` lands were no rule applied; empty when it may not land anywhere.
    // `identity`, when given, is what is there now (FileIdentity::of).
    QString pathFor(const QString &name, FileIdentity *identity = nullptr);
    // The top-level item of `name` is continued in place.
    void continueItem(const QString &name);
    bool isContinued(const QString &name) const;
    // Where a record goes under the rule. Call once per record, in the transfer's order.
    Place place(const QString &name, bool isFile);
    // A folder made at `path`: records below it need only their own last part checked.
    void madeFolder(const QString &path);

    Replaced replacedTops(const QStringList &tops);
    // The manifest's files that the plan leaves to come and that meet an existing item.
    Replaced replacedFiles(const Manifest &manifest, const TransferPlan &plan);

private:
    StoredEntry::Status check(const QString &name, QString *path,
                              std::optional<FileIdentity> *seen = nullptr);
    Place placeTop(const QString &top, const QString &relative, bool isFile);
    Place placeInContinued(const QString &relative, bool isFile);
    QString freeName(const QString &folder, const QString &name, bool isFile) const;
    QString topOf(const QString &name) const;
    QString relativeOf(const QString &path) const;
    bool isProtected(const QString &path) const;

    QString root;
    QString rootPrefix; // root with one slash after it
    QString canonicalRoot;
    SettingsKeys::NameClash clashRule;
    QStringList protectedPaths;
    QStringList protectedNames; // the last part of each, in the same order
    QSet<QString> knownFolders;
    IdentityReader reader; // for what pathFor() sees in known folders
    QSet<QString> continued;
    // Each top-level name met so far, to the name it is stored under; empty when skipped.
    QHash<QString, QString> tops;
    QSet<QString> usedNames;
};

#endif // SAVEFOLDER_H
