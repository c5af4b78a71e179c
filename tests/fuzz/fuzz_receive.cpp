// Drives the whole receive path: a request and a body, cut into pieces, go over a loopback
// connection into a ReceiveListener that accepts every offer and stores into a save folder laid
// with traps (links to a folder and a file outside, a dangling link, a link to the working
// folder, a hard link, existing files). Fails when anything changes outside the save folder,
// when more file contents are stored than the request announced, when the body is copied into a
// work file, or when a transfer is called complete whose body is not a whole item stream within
// the announced counts, stored as it was sent.
//
// First byte: bit 0 the save folder is the working folder (config.ini and the work files lie in
// it), bit 1 the sender closes its end after the body, bit 2 raw body (else generated from the
// rest, see generateBody()), bit 3 append the end marker to a generated body, bit 4 raw request
// (two length bytes, big-endian, then the request; else five bytes choose its fields, see
// request()), bits 5-7 the quiet period in ms (modulo 6).
// Second byte: bits 0-1 the body's piece sizes (1-8, 1-64, 1-4096, 1-70000), bits 2-3 the
// request's (whole, 1-8, 1-64, two halves), bits 4-6 body pieces pushed before the answer.
#include "fuzzinput.h"
#include "protocol/streamreader.h"
#include "receive/planpool.h"
#include "receive/receivelistener.h"
#include "receive/receiveoffer.h"
#include "receive/receiveoutcome.h"
#include "settings/settingskeys.h"

#include <cstdio>
#include <cstdlib>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

#include <unistd.h>

namespace {

QString startDir; // the fuzzer's own working folder, where it writes what it finds

void check(bool ok, const char *what, const QString &detail = QString())
{
    if (!ok) {
        QDir::setCurrent(startDir);
        fprintf(stderr, "fuzz_receive: %s %s\n", what, qPrintable(detail));
        abort();
    }
}

// Names that meet the traps and the program's own files.
const std::vector<QByteArray> names = {
    "a",  "b",       "sub",  "out",        "lf",          "dl",     "deep", "wk",           "real",
    "f",  "old.txt", "hl",   "config.ini", "header",      "stream", "send", ".nubo-0.part", ".",
    "..", "",        "OVER", "x y",        "\xe6\x96\x87"};

bool isSafeName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return false;
    if (name.size() >= 2 && name.at(1) == QLatin1Char(':') && name.at(0).isLetter())
        return false;
    return !name.split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

// The body read by the rules of the item stream, written here apart from the product's reader.
struct Stream
{
    bool ended = false; // the end marker was read
    int length = 0;     // bytes up to and with the end marker
    int records = 0;
    qint64 data = 0; // the sizes of the file records
    bool safeNames = true;
    QList<QPair<QString, QByteArray>> files;
};

Stream parse(const QByteArray &body)
{
    Stream out;
    int at = 0;
    const auto line = [&](QByteArray *text) {
        const int end = body.indexOf('\n', at);
        if (end < 0 || end - at + 1 > StreamReader::maxLineLength)
            return false;
        *text = body.mid(at, end - at + 1).trimmed();
        at = end + 1;
        return true;
    };
    for (;;) {
        QByteArray text;
        if (!line(&text))
            return out;
        const int nul = text.indexOf('\0');
        if (nul >= 0)
            text.truncate(nul);
        const QString name = QString::fromUtf8(text);
        if (out.records > 0 && name == QLatin1String("OVER")) {
            out.ended = true;
            out.length = at;
            return out;
        }
        ++out.records;
        out.safeNames = out.safeNames && isSafeName(name);
        QByteArray type;
        if (!line(&type))
            return out;
        if (type == "folder")
            continue;
        QByteArray sizeText;
        if (type != "file" || !line(&sizeText) || sizeText.isEmpty() || sizeText.size() > 10)
            return out;
        qint64 size = 0;
        for (const char c : qAsConst(sizeText)) {
            if (c < '0' || c > '9')
                return out;
            size = size * 10 + (c - '0');
        }
        if (size > Q_INT64_C(4294967295))
            return out;
        out.data += size;
        if (body.size() - at < size)
            return out;
        const QByteArray data = body.mid(at, int(size));
        at += int(size);
        QByteArray trailer;
        if (!line(&trailer) || trailer != "File end")
            return out;
        out.files.append({name, data});
    }
}

// A request with fields chosen by the input: the counts may match the body or not, be missing
// or not be numbers. `exact` is set to the Content-Length and Items-Number written when both
// are clean numbers.
QByteArray request(FuzzInput &choice, const Stream &body, QPair<qint64, qint64> *exact)
{
    static const char *const badNumbers[] = {"abc",
                                             "-1",
                                             "",
                                             "1e3",
                                             "0x10",
                                             " 7 ",
                                             "12:3",
                                             "999999999999999999",
                                             "9999999999999999999",
                                             "2147483648",
                                             "4294967296"};
    const auto count = [&](qint64 right, uint8_t mode, uint8_t delta, qint64 *value) {
        switch (mode % 8) {
        case 3:
            *value = qMax<qint64>(0, right - 1 - delta % 16);
            break;
        case 4:
            *value = right + 1 + delta % 16;
            break;
        case 5:
            *value = -1;
            return QByteArray(badNumbers[delta % std::size(badNumbers)]);
        case 6:
            *value = delta * 1000;
            break;
        case 7:
            *value = -1;
            return QByteArray(); // the line is left out
        default:
            *value = right;
            break;
        }
        return QByteArray::number(*value);
    };
    const uint8_t sizeMode = choice.byte();
    const uint8_t sizeDelta = choice.byte();
    const uint8_t itemsMode = choice.byte();
    const uint8_t itemsDelta = choice.byte();
    const uint8_t target = choice.byte();
    static const char *const targets[] = {"docs",       "a", "old.txt", "out",
                                          "config.ini", "",  "../x",    "\xe6\x96\x87 x"};
    qint64 size = 0;
    qint64 items = 0;
    const QByteArray sizeText = count(body.data, sizeMode, sizeDelta, &size);
    const QByteArray itemsText = count(body.records, itemsMode, itemsDelta, &items);
    *exact = {size, items};
    QByteArray text = "MYPOST /" + QByteArray(targets[target % std::size(targets)]) +
                      " HTTP/1.1\r\nConnection: Keep-Alive\r\nContent-Type: application/" +
                      (target & 0x80 ? "file" : "folder") + "\r\nFiles-Number: 1\r\n";
    if (itemsMode % 8 != 7)
        text += "Items-Number: " + itemsText + "\r\n";
    if (sizeMode % 8 != 7)
        text += "Content-Length: " + sizeText + "\r\n";
    return text + "User-Agent: Dalvik\r\nHost: localhost\r\nsender-name: fuzz\r\n\r\n";
}

std::vector<QByteArray> cut(const QByteArray &bytes, int span, quint32 seed)
{
    // Not more than about a thousand pieces, so that an input stays quick.
    span = qMax(span, bytes.size() / 500);
    std::vector<QByteArray> pieces;
    quint32 random = seed | 1u;
    for (int at = 0; at < bytes.size();) {
        random = random * 1664525u + 1013904223u;
        const int piece = qMin(int(1 + (random >> 8) % quint32(span)), bytes.size() - at);
        pieces.push_back(bytes.mid(at, piece));
        at += piece;
    }
    return pieces;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Path below `dir` to "folder", "link" or, for files, their size or (with `contents`) their
// bytes in hex. Links are not followed.
QMap<QString, QString> listing(const QString &dir, bool contents)
{
    QMap<QString, QString> out;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(dir);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        QString kind;
        if (info.isSymLink())
            kind = QStringLiteral("link ") + info.symLinkTarget();
        else if (info.isDir())
            kind = QStringLiteral("folder");
        else if (contents)
            kind = QString::fromLatin1(readAll(path).toHex());
        else
            kind = QString::number(info.size());
        out[base.relativeFilePath(path)] = kind;
    }
    return out;
}

qint64 fileBytes(const QMap<QString, QString> &entries)
{
    qint64 sum = 0;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        if (it.value() != QLatin1String("folder") && !it.value().startsWith(QLatin1String("link")))
            sum += it.value().toLongLong();
    }
    return sum;
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

// Empties a folder; a working folder keeps its config.ini.
void clear(const QString &dir, bool working)
{
    QDir().mkpath(dir);
    const QStringList names =
        QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QString path = dir + QLatin1Char('/') + name;
        const QFileInfo info(path);
        if (working && name == QLatin1String("config.ini") && info.isFile() && !info.isSymLink())
            continue;
        check(info.isDir() && !info.isSymLink() ? QDir(path).removeRecursively()
                                                : QFile::remove(path),
              "cannot clear", path);
    }
}

struct Folders
{
    QString root;
    QString workA; // working folder of the first layout, its save folder is `save`
    QString workB; // working and save folder of the second layout
    QString save;
    QString outside;
    QByteArray configA;
    QByteArray configB;
};

void layTraps(const Folders &f, const QString &save)
{
    clear(f.workA, true);
    clear(f.workB, true);
    clear(f.save, false);
    QDir(f.outside).removeRecursively();
    check(QDir().mkpath(f.outside) && QDir().mkpath(save + QStringLiteral("/deep")) &&
              QDir().mkpath(save + QStringLiteral("/real")),
          "cannot make the folders");
    make(f.outside + QStringLiteral("/target.txt"), "secret");
    link(f.outside, save + QStringLiteral("/out"));
    link(f.outside + QStringLiteral("/target.txt"), save + QStringLiteral("/lf"));
    link(f.outside + QStringLiteral("/new.txt"), save + QStringLiteral("/dl"));
    link(f.outside, save + QStringLiteral("/deep/out"));
    link(f.workA, save + QStringLiteral("/wk"));
    make(save + QStringLiteral("/real/f"), "f");
    make(save + QStringLiteral("/old.txt"), "old");
    check(::link(QFile::encodeName(f.outside + QStringLiteral("/target.txt")).constData(),
                 QFile::encodeName(save + QStringLiteral("/hl")).constData()) == 0,
          "cannot make the hard link");
}

const Folders &folders()
{
    static QTemporaryDir rootDir;
    static const Folders f = [] {
        Folders made;
        made.root = QFileInfo(rootDir.path()).canonicalFilePath();
        made.workA = made.root + QStringLiteral("/a");
        made.workB = made.root + QStringLiteral("/b");
        made.save = made.root + QStringLiteral("/save");
        made.outside = made.root + QStringLiteral("/outside");
        made.configA = "[General]\nsaveDir=" + made.save.toUtf8() + "\n";
        made.configB = "[General]\nsaveDir=" + made.workB.toUtf8() + "\n";
        check(QDir().mkpath(made.workA) && QDir().mkpath(made.workB), "cannot make the folders");
        make(made.workA + QStringLiteral("/config.ini"), made.configA);
        make(made.workB + QStringLiteral("/config.ini"), made.configB);
        return made;
    }();
    return f;
}

struct Run
{
    bool offered = false;
    ReceiveOffer offer;
    QByteArray headerAtOffer; // the work file "header" when the question came
    bool ended = false;
    int outcome = -1;
    QByteArray sent; // everything the sender wrote, request and body
};

// One transfer: the sender writes the request pieces, then, once asked, `early` body pieces
// before the answer and the rest after it.
Run transfer(const std::vector<QByteArray> &requestPieces,
             const std::vector<QByteArray> &bodyPieces, size_t early, bool closeAfter, int quietMs)
{
    Run run;
    QEventLoop loop;
    PlanPool planners;
    ReceiveListener server(&planners);
    ReceiveSettings settings;
    const auto config = SettingsKeys::openConfig();
    settings.saveDir = SettingsKeys::saveDir(*config);
    settings.nameClash = SettingsKeys::nameClash(*config);
    // The idle time is short so that a cut body ends quickly; that it may cut a slow sender
    // off only changes the outcome, which every check allows for.
    settings.idleMs = 20;
    settings.answerMs = 60000;
    settings.quietMs = quietMs;
    server.setSettings(settings);
    check(server.listen(QStringLiteral("127.0.0.1"), 0, 0, 0), "cannot listen");
    const QTcpServer *listener = server.findChild<QTcpServer *>();
    check(listener && listener->serverPort() != 0, "no port");

    QTcpSocket sender;
    QByteArray reply;
    bool answered = false;
    bool closed = false;
    size_t next = 0;
    const size_t total = requestPieces.size() + bodyPieces.size();
    const auto piece = [&](size_t index) {
        return index < requestPieces.size() ? requestPieces[index]
                                            : bodyPieces[index - requestPieces.size()];
    };
    const auto sendOne = [&] {
        const QByteArray bytes = piece(next++);
        if (sender.write(bytes) == bytes.size())
            run.sent += bytes;
        sender.flush();
    };
    QTimer pump;
    pump.setInterval(0);
    QObject::connect(&pump, &QTimer::timeout, [&] {
        const size_t allowed = answered      ? total
                               : run.offered ? requestPieces.size() + early
                                             : requestPieces.size();
        if (run.ended || sender.state() != QAbstractSocket::ConnectedState) {
            pump.stop();
        } else if (next < qMin(allowed, total)) {
            sendOne();
        } else if (next == total && closeAfter && !closed) {
            closed = true;
            sender.disconnectFromHost();
            pump.stop();
        } else {
            pump.stop(); // until the question or the answer
        }
    });

    QObject::connect(&server, &ReceiveListener::offered, [&](quint64 id, const ReceiveOffer &got) {
        run.offered = true;
        run.offer = got;
        run.headerAtOffer = readAll(QStringLiteral("header"));
        // The pushed pieces are in the receiver's hands before it hears the answer, or
        // together with it.
        while (next < total && next < requestPieces.size() + early)
            sendOne();
        QTimer::singleShot(0, &server, [&server, id] { server.accept(id); });
        pump.start();
    });
    QObject::connect(&server, &ReceiveListener::ended, [&](quint64, int outcome, const QString &) {
        run.ended = true;
        run.outcome = outcome;
        loop.quit();
    });
    QObject::connect(&sender, &QTcpSocket::connected, [&] { pump.start(); });
    QObject::connect(&sender, &QTcpSocket::readyRead, [&] {
        reply += sender.readAll();
        if (!answered && reply.startsWith("HTTP/1.1 200 OK\r\n")) {
            answered = true;
            pump.start();
        }
    });
    QObject::connect(&sender, &QTcpSocket::disconnected, [&] {
        // Dropped before the question: the receiver reports nothing for it.
        if (!run.offered)
            loop.quit();
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout,
                     [] { check(false, "the receiver did not end the transfer within 30 s"); });
    deadline.start(30000);

    sender.connectToHost(QHostAddress::LocalHost, listener->serverPort());
    loop.exec();
    pump.stop();
    deadline.stop();
    sender.abort();
    server.close();
    return run;
}

bool isTemporary(const QString &path, const QByteArray &body)
{
    static const QRegularExpression name(QStringLiteral("(^|/)\\.nubo-[A-Za-z0-9]{6}\\.part$"));
    return name.match(path).hasMatch() &&
           !body.contains(QFileInfo(path).fileName().toUtf8()); // unless a record is named so
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    startDir = QDir::currentPath();
    // While an input runs, the working folder is a temporary one: what the fuzzer finds must
    // still land where it was started.
    static std::vector<char *> args(*argv, *argv + *argc);
    static QByteArray prefix = "-artifact_prefix=" + QFile::encodeName(startDir) + '/';
    if (std::none_of(args.begin(), args.end(),
                     [](const char *arg) { return qstrncmp(arg, "-artifact_prefix=", 17) == 0; })) {
        args.push_back(prefix.data());
        *argc = int(args.size());
        args.push_back(nullptr);
        *argv = args.data();
    }
    static int appArgc = 1;
    static char *appArgv[] = {args.front(), nullptr};
    static QCoreApplication app(appArgc, appArgv);
    // Names are bytes on disk; read them back the way they were written.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Folders &f = folders();
    FuzzInput in(data, size);
    const uint8_t flags = in.byte();
    const uint8_t cuts = in.byte();
    const bool ownFolder = flags & 1;
    const QString work = ownFolder ? f.workB : f.workA;
    const QString save = ownFolder ? f.workB : f.save;

    QByteArray requestBytes;
    QByteArray body;
    QPair<qint64, qint64> exact{-1, -1};
    if (flags & 0x10) {
        const int length = in.byte() << 8 | in.byte();
        requestBytes = in.bytes(size_t(length));
        body = flags & 4 ? in.bytes(size) : generateBody(in, flags & 8, names, 3);
    } else {
        const QByteArray fields = in.bytes(5);
        FuzzInput choice(reinterpret_cast<const uint8_t *>(fields.constData()),
                         size_t(fields.size()));
        body = flags & 4 ? in.bytes(size) : generateBody(in, flags & 8, names, 3);
        requestBytes = request(choice, parse(body), &exact);
    }

    // The program's own files, when in the save folder, are checked apart.
    const auto contents = [&] {
        QMap<QString, QString> entries = listing(save, false);
        if (ownFolder) {
            for (const char *own : {"config.ini", "header", "stream"})
                entries.remove(QLatin1String(own));
        }
        return entries;
    };
    layTraps(f, save);
    const QMap<QString, QString> before = contents();

    static const int spans[] = {8, 64, 4096, 70000};
    const std::vector<QByteArray> bodyPieces = cut(body, spans[cuts & 3], cuts);
    std::vector<QByteArray> requestPieces;
    switch ((cuts >> 2) & 3) {
    case 0:
        requestPieces = {requestBytes};
        break;
    case 1:
    case 2:
        requestPieces = cut(requestBytes, (cuts >> 2) & 1 ? 8 : 64, cuts * 7u);
        break;
    case 3:
        requestPieces = {requestBytes.left(requestBytes.size() / 2),
                         requestBytes.mid(requestBytes.size() / 2)};
        break;
    }
    requestPieces.erase(std::remove_if(requestPieces.begin(), requestPieces.end(),
                                       [](const QByteArray &piece) { return piece.isEmpty(); }),
                        requestPieces.end());

    check(QDir::setCurrent(work), "cannot enter the working folder");
    const Run run =
        transfer(requestPieces, bodyPieces, (cuts >> 4) & 7, flags & 2, ((flags >> 5) & 7) % 6);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QDir::setCurrent(startDir);

    // For looking at one input: NUBO_FUZZ_TRACE=1 fuzz_receive input
    static const bool trace = qEnvironmentVariableIsSet("NUBO_FUZZ_TRACE");
    if (trace)
        fprintf(stderr, "offered %d (size %lld, items %d) outcome %d, sent %d, header %d\n",
                run.offered, run.offer.size, run.offer.items, run.outcome, run.sent.size(),
                run.headerAtOffer.size());

    // Nothing changes outside the save folder.
    check(QDir(f.root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden) ==
              QStringList({"a", "b", "outside", "save"}),
          "something landed beside the folders");
    check(listing(f.outside, true) ==
              QMap<QString, QString>{
                  {"target.txt", QString::fromLatin1(QByteArray("secret").toHex())}},
          "something changed in the outside folder");
    check(readAll(f.workA + QStringLiteral("/config.ini")) == f.configA &&
              readAll(f.workB + QStringLiteral("/config.ini")) == f.configB,
          "config.ini changed");
    for (const QString &other : {f.workA, f.workB, f.save}) {
        if (other == work || other == save)
            continue;
        const QMap<QString, QString> left = listing(other, false);
        check(left.keys() == (other == f.save ? QStringList() : QStringList{"config.ini"}),
              "something landed in a folder not in use", left.keys().join(QLatin1Char(' ')));
    }
    const QMap<QString, QString> saved = contents();
    if (!ownFolder) {
        const QStringList own = listing(work, false).keys();
        for (const QString &name : own)
            check(name == QLatin1String("config.ini") || name == QLatin1String("header"),
                  "something landed in the working folder", name);
    }
    for (const char *staged : {"send", "stream"})
        check(!QFileInfo::exists(work + QLatin1Char('/') + QLatin1String(staged)),
              "a work file was made", QLatin1String(staged));

    // The work file "header" holds what the sender sent first: the request.
    const QByteArray header = readAll(work + QStringLiteral("/header"));
    check(run.sent.startsWith(header), "header holds bytes that were not sent");
    if (!run.offered) {
        check(saved == before, "the save folder changed for a transfer never asked about");
        return 0;
    }
    check(run.sent.startsWith(run.headerAtOffer), "header held bytes that were not sent");
    const QByteArray receivedBody = run.sent.mid(run.headerAtOffer.size());
    if (run.headerAtOffer == requestBytes && exact.first >= 0 && exact.second >= 0)
        check(run.offer.size == exact.first && run.offer.items == int(exact.second),
              "the offer does not say what the request announced");

    // No more file contents stored than the user accepted, and no temporary file left behind.
    const qint64 stored = fileBytes(saved) - fileBytes(before);
    check(stored <= run.offer.size, "more file contents stored than announced",
          QString::number(stored) + " > " + QString::number(run.offer.size));
    for (auto it = saved.cbegin(); it != saved.cend(); ++it)
        check(!isTemporary(it.key(), body), "a temporary file was left", it.key());

    if (run.outcome != ReceiveOutcome::Complete)
        return 0;
    // Complete: the body was a whole item stream within the announced counts (what the sender
    // wrote after its end marker the receiver may have closed before), and every file is stored
    // with the bytes of its last record.
    const Stream read = parse(receivedBody);
    check(read.ended, "complete, but the body is not a whole item stream");
    check(read.records <= run.offer.items, "complete with more records than announced");
    check(read.data <= run.offer.size, "complete with more file contents than announced");
    check(read.safeNames, "complete with a name that leads out of the save folder");
    QMap<QString, QByteArray> files;
    for (const auto &file : read.files)
        files[QDir::cleanPath(save + QLatin1Char('/') + file.first)] = file.second;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        check(QFileInfo(it.key()).isFile() && !QFileInfo(it.key()).isSymLink() &&
                  readAll(it.key()) == it.value(),
              "complete, but a file is not stored as sent", it.key());
    }
    return 0;
}
