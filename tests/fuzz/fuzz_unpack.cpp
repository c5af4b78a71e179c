// Unpacks bodies, fed in pieces of varying size, into a save folder laid with traps (links to
// folders and files outside, dangling and deeper links, a link to the save folder itself, links
// inside it, a hard link, existing files, the program's own file), and compares everything with a
// model: which entries are reported, and what the save folder holds afterwards, byte for byte, so
// that a valid record that is not stored fails as surely as one stored outside.
//
// First input byte: bit 7 raw body (else the body is generated from the rest, see generateBody()),
// bit 6 append the end marker to a generated body, bit 5 set a record limit of bits 0-4.
// Second byte: how the body is cut into pieces; bit 2 sets a limit on the file sizes of
// 16 times bits 3-7.
#include "fuzzinput.h"
#include "protocol/streamreader.h"
#include "receive/plainitemstream.h"

#include <cstdio>
#include <cstdlib>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>
#include <QTextCodec>

#include <optional>

#include <unistd.h>

namespace {

void check(bool ok, const char *what, const QString &detail = QString())
{
    if (!ok) {
        fprintf(stderr, "fuzz_unpack: %s %s\n", what, qPrintable(detail));
        abort();
    }
}

// Names that meet the traps.
// clang-format off
const std::vector<QByteArray> names = {
    "a",    "b",    "c",    "out", "lf",           "dl",  "in",         "lin",
    "self", "deep", "real", "f",   "old.txt",      "hl",  "config.ini", ".nubo-0.part",
    ".",    "..",   "",     "x y", "\xe6\x96\x87", "OVER", ".a.nubo-partial"};
// clang-format on

// What the save folder holds, as the unpacker should leave it: "" is the save folder itself.
// A link's target is a path below the save folder or one of the outside kinds.
struct Node
{
    enum Kind { Dir, File, Link } kind;
    QByteArray content;
    QString target;
};

const QString outsideDir = QStringLiteral("!outside");
const QString outsideFile = QStringLiteral("!outside-file");
const QString dangling = QStringLiteral("!dangling");

class Model
{
public:
    enum Kind { Missing, Dir, File, Outside, Dangling, NotDir };
    struct Place
    {
        Kind kind;
        QString real; // below the save folder, links resolved
    };

    Model()
    {
        nodes[QString()] = {Node::Dir, {}, {}};
        nodes[QStringLiteral("out")] = {Node::Link, {}, outsideDir};
        nodes[QStringLiteral("lf")] = {Node::Link, {}, outsideFile};
        nodes[QStringLiteral("dl")] = {Node::Link, {}, dangling};
        nodes[QStringLiteral("deep")] = {Node::Dir, {}, {}};
        nodes[QStringLiteral("deep/out")] = {Node::Link, {}, outsideDir};
        nodes[QStringLiteral("deep/dl")] = {Node::Link, {}, dangling};
        nodes[QStringLiteral("real")] = {Node::Dir, {}, {}};
        nodes[QStringLiteral("real/f")] = {Node::File, "f", {}};
        nodes[QStringLiteral("in")] = {Node::Link, {}, QStringLiteral("real")};
        nodes[QStringLiteral("lin")] = {Node::Link, {}, QStringLiteral("real/f")};
        nodes[QStringLiteral("self")] = {Node::Link, {}, QString()};
        nodes[QStringLiteral("old.txt")] = {Node::File, "old", {}};
        nodes[QStringLiteral("hl")] = {Node::File, "secret", {}};
        nodes[QStringLiteral("config.ini")] = {Node::File, "cfg", {}};
    }

    Place resolve(const QString &path) const
    {
        QString current;
        const QStringList parts = path.split(QLatin1Char('/'));
        for (int i = 0; i < parts.size(); ++i) {
            QString at = current.isEmpty() ? parts.at(i) : current + QLatin1Char('/') + parts.at(i);
            auto it = nodes.constFind(at);
            if (it == nodes.cend())
                return {Missing, at};
            while (it->kind == Node::Link) {
                if (it->target == dangling)
                    return {Dangling, {}};
                if (it->target.startsWith(QLatin1Char('!')))
                    return {Outside, {}};
                at = it->target;
                it = nodes.constFind(at);
            }
            if (it->kind == Node::File)
                return {i == parts.size() - 1 ? File : NotDir, at};
            current = at;
        }
        return {Dir, current};
    }

    QString parentOf(const QString &path) const
    {
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        return slash < 0 ? QString() : path.left(slash);
    }

    // Where a new item of this path would be made; none when its folder is not there.
    std::optional<QString> placeFor(const QString &path) const
    {
        const Place parent = resolve(parentOf(path));
        if (parent.kind != Dir)
            return std::nullopt;
        const QString last = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
        return parent.real.isEmpty() ? last : parent.real + QLatin1Char('/') + last;
    }

    // The checks every record passes before anything is made; `path` is below the save folder.
    StoredEntry::Status admit(const QString &path) const
    {
        const QString last = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
        if (last.startsWith(QLatin1Char('.')) && last.endsWith(QLatin1String(".nubo-partial")))
            return StoredEntry::Refused; // the name of one of the program's partial files
        if (path.endsWith(QLatin1String("/config.ini")) || path == QLatin1String("config.ini")) {
            const Place parent = resolve(parentOf(path));
            if (parent.kind == Dir && parent.real.isEmpty())
                return StoredEntry::Refused;
        }
        // The deepest existing part of the path decides where the item lands.
        const QStringList parts = path.split(QLatin1Char('/'));
        for (int i = 1; i <= parts.size(); ++i) {
            const Place place = resolve(parts.mid(0, i).join(QLatin1Char('/')));
            if (place.kind == Dangling || place.kind == Outside)
                return StoredEntry::Refused;
            if (place.kind == Missing || place.kind == NotDir)
                break;
        }
        return StoredEntry::Stored;
    }

    // Where a folder record has its folder, made or found; none when it cannot.
    std::optional<QString> folderTarget(const QString &path) const
    {
        const Place place = resolve(path);
        if (place.kind == Dir)
            return place.real;
        return place.kind == Missing ? placeFor(path) : std::nullopt;
    }

    void makeFolder(const QString &at) { nodes[at] = {Node::Dir, {}, {}}; }

    // Where the file's bytes will go; none when it cannot be written. A link there is
    // replaced, not written through.
    std::optional<QString> fileTarget(const QString &path) const
    {
        const Kind kind = resolve(path).kind;
        return kind == File || kind == Missing ? placeFor(path) : std::nullopt;
    }

    void store(const QString &at, const QByteArray &data) { nodes[at] = {Node::File, data, {}}; }

    QMap<QString, QString> listing() const
    {
        QMap<QString, QString> out;
        for (auto it = nodes.cbegin(); it != nodes.cend(); ++it) {
            if (it.key().isEmpty())
                continue;
            out[it.key()] = it->kind == Node::Dir    ? QStringLiteral("folder")
                            : it->kind == Node::Link ? QStringLiteral("link")
                                                     : QString::fromLatin1(it->content.toHex());
        }
        return out;
    }

private:
    QMap<QString, Node> nodes;
};

bool isSafeName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return false;
    if (name.size() >= 2 && name.at(1) == QLatin1Char(':') && name.at(0).isLetter())
        return false;
    return !name.split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

// Names too long for the file system, or nearly so, may fail to be written; the unpacker is then
// allowed to report WriteFailed where the model would store.
bool isLong(const QString &save, const QString &path)
{
    if ((save + QLatin1Char('/') + path).toUtf8().size() > 3800)
        return true;
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.toUtf8().size() > 200)
            return true;
    }
    return false;
}

struct Expected
{
    QString name;
    StoredEntry::Status status;
    bool anyName = false;
};

// The body read whole by the rules of the item stream, each record checked against the model as
// the unpacker would meet it. `actual` is consulted only where the outcome may go either way.
class Reference
{
public:
    Reference(const QByteArray &body, const QString &save, int limit, qint64 dataLimit,
              const QList<StoredEntry> &actual)
        : body(body), save(save), limit(limit), dataLimit(dataLimit), actual(actual)
    {
        run();
    }

    QList<Expected> entries;
    bool complete = false;
    Model model;

private:
    // The next line, trimmed; false, with the entry added, when it is cut or overlong. Only a
    // file being written is named when the input is cut.
    bool line(QByteArray *text, const QString &name, bool inFile, bool anyName = false)
    {
        const int end = body.indexOf('\n', at);
        const int length = end < 0 ? body.size() - at : end - at + 1;
        if (length > StreamReader::maxLineLength)
            add(name, StoredEntry::Invalid, anyName);
        else if (end < 0)
            add(inFile ? name : QString(), StoredEntry::Incomplete);
        else
            *text = body.mid(at, length).trimmed();
        at += length;
        return end >= 0 && length <= StreamReader::maxLineLength;
    }

    void add(const QString &name, StoredEntry::Status status, bool anyName = false)
    {
        entries.append({name, status, anyName});
    }

    // A path too long for the file system cannot be looked at or written: where the model
    // expects something else, the unpacker may report the record as not written.
    bool failsAsLong(const QString &path) const
    {
        const int index = entries.size();
        return isLong(save, path) && index < actual.size() &&
               actual.at(index).status == StoredEntry::WriteFailed;
    }

    // The checks before anything is made; false when the unpacker stops at the record.
    bool admit(const QString &name, int index, QString *path)
    {
        StoredEntry::Status status = StoredEntry::Stored;
        const QString clean = QDir::cleanPath(save + QLatin1Char('/') + name);
        if (!isSafeName(name))
            status = StoredEntry::Refused;
        else if (limit >= 0 && index > limit)
            status = StoredEntry::Excess;
        else if (!clean.startsWith(save + QLatin1Char('/')))
            status = StoredEntry::Refused;
        else if ((status = model.admit(*path = clean.mid(save.size() + 1))) !=
                     StoredEntry::Stored &&
                 failsAsLong(*path))
            status = StoredEntry::WriteFailed;
        if (status == StoredEntry::Stored)
            return true;
        add(name, status);
        return false;
    }

    // False, with the entry added, when the record cannot be written where the model puts it.
    bool canWrite(const QString &name, const QString &path, const std::optional<QString> &target)
    {
        if (target && !failsAsLong(path))
            return true;
        add(name, StoredEntry::WriteFailed);
        return false;
    }

    void run()
    {
        int records = 0;
        for (;;) {
            QByteArray text;
            if (!line(&text, QString(), false, true))
                return;
            const int nul = text.indexOf('\0');
            const QString name = QString::fromUtf8(nul < 0 ? text : text.left(nul));
            if (records > 0 && name == QLatin1String("OVER")) {
                if (at < body.size())
                    return add(QStringLiteral("OVER"), StoredEntry::Invalid);
                complete = true;
                return;
            }
            ++records;

            QByteArray type;
            if (!line(&type, name, false))
                return;
            QString path;
            if (type == "folder") {
                if (!admit(name, records, &path))
                    return;
                const std::optional<QString> target = model.folderTarget(path);
                if (!canWrite(name, path, target))
                    return;
                model.makeFolder(*target);
                add(name, StoredEntry::Stored);
                continue;
            }
            if (type != "file")
                return add(name, StoredEntry::UnknownType);

            QByteArray sizeText;
            if (!line(&sizeText, name, false))
                return;
            bool digits = !sizeText.isEmpty() && sizeText.size() <= 10;
            for (const char c : sizeText)
                digits = digits && c >= '0' && c <= '9';
            const qint64 size = sizeText.toLongLong();
            if (!digits || size > Q_INT64_C(4294967295))
                return add(name, StoredEntry::Invalid);
            announced += size;
            if (!admit(name, records, &path))
                return;
            if (dataLimit >= 0 && announced > dataLimit)
                return add(name, StoredEntry::Excess);
            const std::optional<QString> target = model.fileTarget(path);
            if (!canWrite(name, path, target))
                return;
            if (body.size() - at < size)
                return add(name, StoredEntry::Incomplete);
            const QByteArray data = body.mid(at, int(size));
            at += int(size);
            QByteArray trailer;
            if (!line(&trailer, name, true))
                return;
            if (trailer != "File end")
                return add(name, StoredEntry::Invalid);
            model.store(*target, data);
            add(name, StoredEntry::Stored);
        }
    }

    const QByteArray &body;
    const QString save;
    const int limit;
    const qint64 dataLimit;
    const QList<StoredEntry> &actual;
    int at = 0;
    qint64 announced = 0;
};

QMap<QString, QString> listing(const QString &dir)
{
    QMap<QString, QString> out;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(dir);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        QString kind;
        if (info.isSymLink()) {
            kind = QStringLiteral("link");
        } else if (info.isDir()) {
            kind = QStringLiteral("folder");
        } else {
            QFile file(path);
            check(file.open(QIODevice::ReadOnly), "cannot read back", path);
            kind = QString::fromLatin1(file.readAll().toHex());
        }
        out[base.relativeFilePath(path)] = kind;
    }
    return out;
}

void make(const QString &path, const QByteArray &content)
{
    QFile file(path);
    check(file.open(QIODevice::WriteOnly) && file.write(content) == content.size(), "cannot make",
          path);
}

void link(const QString &target, const QString &path)
{
    check(QFile::link(target, path), "cannot link", path);
}

void layTraps(const QString &root, const QString &save, const QString &outside)
{
    QDir(save).removeRecursively();
    QDir(outside).removeRecursively();
    check(QDir().mkpath(save + QStringLiteral("/deep")) &&
              QDir().mkpath(save + QStringLiteral("/real")) && QDir().mkpath(outside),
          "cannot make the folders");
    make(outside + QStringLiteral("/target.txt"), "secret");
    link(outside, save + QStringLiteral("/out"));
    link(outside + QStringLiteral("/target.txt"), save + QStringLiteral("/lf"));
    link(outside + QStringLiteral("/new.txt"), save + QStringLiteral("/dl"));
    link(outside, save + QStringLiteral("/deep/out"));
    link(outside + QStringLiteral("/deepnew.txt"), save + QStringLiteral("/deep/dl"));
    make(save + QStringLiteral("/real/f"), "f");
    link(save + QStringLiteral("/real"), save + QStringLiteral("/in"));
    link(save + QStringLiteral("/real/f"), save + QStringLiteral("/lin"));
    link(save, save + QStringLiteral("/self"));
    make(save + QStringLiteral("/old.txt"), "old");
    make(save + QStringLiteral("/config.ini"), "cfg");
    check(::link(QFile::encodeName(outside + QStringLiteral("/target.txt")).constData(),
                 QFile::encodeName(save + QStringLiteral("/hl")).constData()) == 0,
          "cannot make the hard link");
    check(QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden) ==
              QStringList({"outside", "save"}),
          "leftovers beside the save folder");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir rootDir;
    static const QString root = QFileInfo(rootDir.path()).canonicalFilePath();
    static const QString save = root + QStringLiteral("/save");
    static const QString outside = root + QStringLiteral("/outside");
    static const bool quiet = [] {
        // Names are bytes on disk; read them back the way they were written.
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        return true;
    }();
    Q_UNUSED(quiet);

    FuzzInput in(data, size);
    const uint8_t flags = in.byte();
    const uint8_t cut = in.byte();
    const int limit = flags & 0x20 ? flags & 0x1f : -1;
    const qint64 dataLimit = cut & 4 ? (cut >> 3) * 16 : -1;
    const QByteArray body =
        flags & 0x80 ? in.bytes(size) : generateBody(in, flags & 0x40, names, 4);

    layTraps(root, save, outside);
    PlainItemStream unpacker(SaveFolder(save, SettingsKeys::NameClash::Overwrite,
                                        {save + QStringLiteral("/config.ini")}));
    unpacker.setRecordLimit(limit);
    unpacker.setDataLimit(dataLimit);
    QList<StoredEntry> entries;
    // Pieces of 1 to 8, 64, 4096 or 70000 bytes, varying within each run.
    static const int spans[] = {8, 64, 4096, 70000};
    const int span = spans[cut & 3];
    quint32 random = cut | 1u;
    for (int at = 0; at < body.size();) {
        random = random * 1664525u + 1013904223u;
        const int piece = qMin(int(1 + (random >> 8) % span), body.size() - at);
        const bool going = unpacker.feed(body.constData() + at, piece);
        entries += unpacker.takeEntries();
        at += piece;
        if (!going)
            break;
    }
    unpacker.finish();
    entries += unpacker.takeEntries();

    const Reference reference(body, save, limit, dataLimit, entries);
    if (entries.size() != reference.entries.size()) {
        for (const StoredEntry &entry : entries)
            fprintf(stderr, "got %d %s\n", entry.status, qPrintable(entry.name));
        for (const Expected &entry : reference.entries)
            fprintf(stderr, "expected %d %s\n", entry.status, qPrintable(entry.name));
        check(false, "entry count");
    }
    for (int i = 0; i < entries.size(); ++i) {
        const StoredEntry &got = entries.at(i);
        const Expected &want = reference.entries.at(i);
        const QString where = QString::number(i) + ": " + got.name + " / " + want.name;
        check(got.status == want.status, "status", where);
        check(want.anyName || got.name == want.name, "name", where);
        check(got.storedPath == (got.status == StoredEntry::Stored
                                     ? QDir::cleanPath(save + QLatin1Char('/') + got.name)
                                     : QString()),
              "stored path", where);
    }
    check(unpacker.complete() == reference.complete, "complete");
    const bool stopped = !entries.isEmpty() && entries.last().status != StoredEntry::Stored;
    check(unpacker.failed() == stopped, "failed");

    const QMap<QString, QString> saved = listing(save);
    const QMap<QString, QString> modelled = reference.model.listing();
    if (saved != modelled) {
        for (auto it = saved.cbegin(); it != saved.cend(); ++it) {
            if (modelled.value(it.key()) != it.value())
                fprintf(stderr, "on disk: %s = %s\n", qPrintable(it.key()),
                        qPrintable(it.value().left(80)));
        }
        for (auto it = modelled.cbegin(); it != modelled.cend(); ++it) {
            if (saved.value(it.key()) != it.value())
                fprintf(stderr, "expected: %s = %s\n", qPrintable(it.key()),
                        qPrintable(it.value().left(80)));
        }
        check(false, "the save folder differs from the model");
    }
    check(listing(outside) ==
              QMap<QString, QString>{
                  {"target.txt", QString::fromLatin1(QByteArray("secret").toHex())}},
          "something changed in the outside folder");
    check(QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden) ==
              QStringList({"outside", "save"}),
          "something landed beside the save folder");
    return 0;
}
