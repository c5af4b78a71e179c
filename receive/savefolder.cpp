#include "receive/savefolder.h"

#include "records/identityreader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity pathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity pathCase = Qt::CaseSensitive;
#endif

const QString partialSuffix = QStringLiteral(".nubo-partial");

// Whether each "/"-separated part of `name` passes `ok`, without making a list: asked for every
// record.
template <typename Check> bool allParts(const QString &name, Check ok)
{
    for (int start = 0; start <= name.size();) {
        int end = name.indexOf(QLatin1Char('/'), start);
        if (end < 0)
            end = name.size();
        if (!ok(QStringView(name).mid(start, end - start)))
            return false;
        start = end + 1;
    }
    return true;
}

// No empty part, no "." and no "..": such a name below a clean folder is clean already.
bool isPlain(const QString &name)
{
    return allParts(name, [](QStringView part) {
        return !part.isEmpty() && part != QLatin1String(".") && part != QLatin1String("..");
    });
}

} // namespace

// Names are paths below the save folder; anything that could climb out of it is refused
// before the file system is asked.
bool SaveFolder::isSafeName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return false;
    if (name.size() >= 2 && name.at(1) == QLatin1Char(':') && name.at(0).isLetter())
        return false;
#ifdef Q_OS_WIN
    if (name.contains(QLatin1Char('\\')) || name.contains(QLatin1Char(':')))
        return false;
#endif
    return allParts(name, [](QStringView part) {
        if (part == QLatin1String(".."))
            return false;
#ifdef Q_OS_WIN
        // Windows drops trailing dots and spaces, so ". ." or "... " can stand for "..".
        QStringView stripped = part;
        while (stripped.endsWith(QLatin1Char('.')) || stripped.endsWith(QLatin1Char(' ')))
            stripped.chop(1);
        if (part.size() > 1 && stripped.isEmpty())
            return false;
#endif
        return true;
    });
}

namespace {

bool isInside(const QString &path, const QString &folder)
{
    if (path.compare(folder, pathCase) == 0)
        return true;
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path.startsWith(prefix, pathCase);
}

enum class Kind { Missing, Link, DanglingLink, Other };

// One lstat(2) for what the path names, and a stat(2) only for a link: asked for every record.
// What lstat said of a plain file is handed to `seen`, where given.
Kind kindOf(const QString &path, std::optional<FileIdentity> *seen = nullptr,
            IdentityReader *reader = nullptr)
{
#ifdef Q_OS_UNIX
    struct stat info;
    const bool found = reader ? reader->status(path, &info)
                              : ::lstat(QFile::encodeName(path).constData(), &info) == 0;
    if (seen)
        *seen = found ? FileIdentity::ofStatus(info) : FileIdentity();
    if (!found)
        return Kind::Missing;
    if (!S_ISLNK(info.st_mode))
        return Kind::Other;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? Kind::Link
                                                                   : Kind::DanglingLink;
#else
    const QFileInfo info(path);
    if (info.isSymLink())
        return info.exists() ? Kind::Link : Kind::DanglingLink;
    return info.exists() ? Kind::Other : Kind::Missing;
#endif
}

bool isTaken(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// The deepest existing part of the path decides where the item really lands: it must resolve to
// a place inside the save folder. A dangling link is refused, as its target cannot be checked.
bool staysInside(const QString &canonicalRoot, const QStringList &parts)
{
    QString existing = canonicalRoot;
    QString prefix = canonicalRoot;
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        prefix += QLatin1Char('/') + part;
        const Kind kind = kindOf(prefix);
        if (kind == Kind::DanglingLink)
            return false;
        if (kind == Kind::Missing)
            break;
        existing = prefix;
    }
    if (existing == canonicalRoot)
        return true;
    const QString real = QFileInfo(existing).canonicalFilePath();
    return !real.isEmpty() && isInside(real, canonicalRoot);
}

} // namespace

SaveFolder::SaveFolder(const QString &dir, SettingsKeys::NameClash rule,
                       const QStringList &protectedPaths)
    : root(QDir::cleanPath(QFileInfo(dir).absoluteFilePath())),
      canonicalRoot(QFileInfo(dir).canonicalFilePath()), clashRule(rule),
      protectedPaths(protectedPaths)
{
    rootPrefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    for (const QString &own : protectedPaths)
        protectedNames << own.mid(own.lastIndexOf(QLatin1Char('/')) + 1);
}

QStringList SaveFolder::ownFiles()
{
    QStringList own;
    for (const QString &name : SettingsKeys::workingFolderFiles())
        own << QFileInfo(name).absoluteFilePath();
    return own;
}

QString SaveFolder::partialPathOf(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return path.left(slash + 1) + QLatin1Char('.') + path.mid(slash + 1) + partialSuffix;
}

bool SaveFolder::isOwnName(const QString &fileName)
{
    return fileName.startsWith(QLatin1Char('.')) && fileName.endsWith(partialSuffix, pathCase);
}

QString SaveFolder::relativeOf(const QString &path) const
{
    return path.mid(rootPrefix.size());
}

QString SaveFolder::topOf(const QString &name) const
{
    // A plain name's top is its first part.
    if (isPlain(name))
        return name.left(name.indexOf(QLatin1Char('/')));
    return relativeOf(QDir::cleanPath(rootPrefix + name)).section(QLatin1Char('/'), 0, 0);
}

// The program's own files may lie in the save folder; a record must never replace them.
bool SaveFolder::isProtected(const QString &path) const
{
    const QString fileName = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    if (isOwnName(fileName))
        return true;
    for (int i = 0; i < protectedPaths.size(); ++i) {
        if (protectedNames.at(i).compare(fileName, pathCase) != 0)
            continue;
        const QString &own = protectedPaths.at(i);
        const QString real = QFileInfo(path).canonicalFilePath();
        const QString ownReal = QFileInfo(own).canonicalFilePath();
        const QString folder = QFileInfo(QFileInfo(path).absolutePath()).canonicalFilePath();
        const QString ownFolder = QFileInfo(QFileInfo(own).absolutePath()).canonicalFilePath();
        if (path.compare(own, pathCase) == 0 ||
            (!real.isEmpty() && real.compare(ownReal, pathCase) == 0) ||
            folder.compare(ownFolder, pathCase) == 0)
            return true;
    }
    return false;
}

StoredEntry::Status SaveFolder::check(const QString &name, QString *path,
                                      std::optional<FileIdentity> *seen)
{
    if (!isSafeName(name))
        return StoredEntry::Refused;
    if (canonicalRoot.isEmpty())
        return StoredEntry::WriteFailed; // no save folder to store into
    *path = isPlain(name) ? rootPrefix + name : QDir::cleanPath(rootPrefix + name);
    if (!path->startsWith(rootPrefix, pathCase) || *path == root || isProtected(*path))
        return StoredEntry::Refused;

    const QString relative = relativeOf(*path);
    const int slash = relative.lastIndexOf(QLatin1Char('/'));
    const QString parent = slash < 0 ? QString() : relative.left(slash);
    if (parent.isEmpty() || knownFolders.contains(parent)) {
        const Kind kind = kindOf(*path, seen, seen ? &reader : nullptr);
        if (kind != Kind::Link && kind != Kind::DanglingLink)
            return StoredEntry::Stored;
        const QString real = QFileInfo(*path).canonicalFilePath();
        return !real.isEmpty() && isInside(real, canonicalRoot) ? StoredEntry::Stored
                                                                : StoredEntry::Refused;
    }
    if (!staysInside(canonicalRoot, relative.split(QLatin1Char('/'))))
        return StoredEntry::Refused;
    const QFileInfo parentInfo(root + QLatin1Char('/') + parent);
    if (parentInfo.isDir() && isInside(parentInfo.canonicalFilePath(), canonicalRoot))
        knownFolders.insert(parent);
    return StoredEntry::Stored;
}

QString SaveFolder::pathFor(const QString &name, FileIdentity *identity)
{
    QString path;
    std::optional<FileIdentity> seen;
    if (check(name, &path, identity ? &seen : nullptr) != StoredEntry::Stored)
        return QString();
    if (identity)
        *identity = seen ? *seen : FileIdentity::of(path);
    return path;
}

void SaveFolder::continueItem(const QString &name)
{
    continued.insert(topOf(name));
}

bool SaveFolder::isContinued(const QString &name) const
{
    return continued.contains(topOf(name));
}

void SaveFolder::madeFolder(const QString &path)
{
    knownFolders.insert(relativeOf(path));
}

SaveFolder::Place SaveFolder::place(const QString &name, bool isFile)
{
    const QString cleaned = QDir::cleanPath(root + QLatin1Char('/') + name);
    if (!isSafeName(name) || !isInside(cleaned, root) || cleaned == root) {
        Place refused;
        refused.status = check(name, &refused.path);
        return refused;
    }
    const QString relative = relativeOf(cleaned);
    const QString top = relative.section(QLatin1Char('/'), 0, 0);
    if (continued.contains(top))
        return placeInContinued(relative, isFile);
    return placeTop(top, relative, isFile);
}

// The rule for a name already taken is decided with the first record of a top-level item; the
// records below it follow it into a new name, or into nothing when it is skipped.
SaveFolder::Place SaveFolder::placeTop(const QString &top, const QString &relative, bool isFile)
{
    Place result;
    auto known = tops.constFind(top);
    if (known == tops.constEnd()) {
        QString storedTop = top;
        if (isTaken(root + QLatin1Char('/') + top)) {
            switch (clashRule) {
            case SettingsKeys::NameClash::Overwrite:
                result.clash = StoredEntry::Replaced;
                break;
            case SettingsKeys::NameClash::KeepBoth:
                storedTop = freeName(root, top, isFile && top == relative);
                result.clash = StoredEntry::Renamed;
                if (storedTop.isEmpty()) {
                    result.status = StoredEntry::WriteFailed;
                    return result;
                }
                break;
            case SettingsKeys::NameClash::Skip:
                storedTop.clear();
                result.clash = StoredEntry::Skipped;
                break;
            }
        }
        known = tops.insert(top, storedTop);
        usedNames.insert(storedTop);
    }
    if (known->isEmpty()) {
        result.skip = true;
        result.path = root + QLatin1Char('/') + top;
        return result;
    }
    result.status = check(*known + relative.mid(top.size()), &result.path);
    return result;
}

// Inside a continued item the rule is asked for each file that meets an existing one.
SaveFolder::Place SaveFolder::placeInContinued(const QString &relative, bool isFile)
{
    Place result;
    result.status = check(relative, &result.path);
    if (result.status != StoredEntry::Stored || !isFile || !isTaken(result.path))
        return result;
    switch (clashRule) {
    case SettingsKeys::NameClash::Overwrite:
        result.clash = StoredEntry::Replaced;
        break;
    case SettingsKeys::NameClash::KeepBoth: {
        const QString folder = QFileInfo(result.path).path();
        const QString free = freeName(folder, QFileInfo(result.path).fileName(), true);
        if (free.isEmpty()) {
            result.status = StoredEntry::WriteFailed;
            break;
        }
        result.path = folder + QLatin1Char('/') + free;
        usedNames.insert(relativeOf(result.path));
        result.clash = StoredEntry::Renamed;
        break;
    }
    case SettingsKeys::NameClash::Skip:
        result.skip = true;
        result.clash = StoredEntry::Skipped;
        break;
    }
    return result;
}

// "name (1).ext" for a file, "name (1)" for a folder, counting up: a name free in `folder` and
// not given to another record of this transfer.
QString SaveFolder::freeName(const QString &folder, const QString &name, bool isFile) const
{
    const int dot = isFile ? name.lastIndexOf(QLatin1Char('.')) : -1;
    const QString base = dot > 0 ? name.left(dot) : name; // ".profile" has no extension
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    for (int copy = 1; copy <= 9999; ++copy) {
        const QString free = base + QStringLiteral(" (%1)").arg(copy) + extension;
        const QString path = folder + QLatin1Char('/') + free;
        if (!isTaken(path) && !usedNames.contains(relativeOf(path)) && !isOwnName(free))
            return free;
    }
    return QString();
}

SaveFolder::Replaced SaveFolder::replacedTops(const QStringList &names)
{
    Replaced replaced;
    if (clashRule != SettingsKeys::NameClash::Overwrite)
        return replaced;
    for (const QString &name : names) {
        const QString path = pathFor(name);
        if (path.isEmpty() || !isTaken(path))
            continue;
        if (++replaced.count <= namedReplacements)
            replaced.first << name;
    }
    return replaced;
}

SaveFolder::Replaced SaveFolder::replacedFiles(const Manifest &manifest, const TransferPlan &plan)
{
    QStringList names;
    for (int i = 0; i < manifest.items.size(); ++i) {
        if (manifest.items.at(i).isFile && plan.steps.value(i).action != TransferPlan::Skip)
            names << manifest.items.at(i).name;
    }
    return replacedTops(names);
}
