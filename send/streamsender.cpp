#include "send/streamsender.h"

#include "protocol/extendedprotocol.h"
#include "send/readahead.h"
#include "send/socketwait.h"

#include <QDeadlineTimer>
#include <QFile>

#include <cerrno>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/sendfile.h>
#endif

namespace {

// Framing lines and small files are gathered up to this much before one write; a file above
// `smallFile` goes out on its own, straight from the file.
constexpr int batchSize = 256 * 1024;
constexpr qint64 smallFile = 64 * 1024;
constexpr qint64 pieceSize = 1024 * 1024;
// Waits are sliced so that a cancel ends them soon.
constexpr int sliceMs = 100;

#ifndef Q_OS_WIN
// sendfile(2) raises SIGPIPE on a connection the peer has reset, and has no flag against it as
// send(2) has; the signal is held back in this thread while the body goes out, and one that
// came is taken, so that it never reaches the process.
class HoldSigpipe
{
public:
    HoldSigpipe()
    {
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    }
    ~HoldSigpipe()
    {
        sigset_t pending;
        sigpending(&pending);
        if (!wasPending && sigismember(&pending, SIGPIPE) == 1) {
            const timespec none = {0, 0};
            while (sigtimedwait(&pipeOnly, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    HoldSigpipe(const HoldSigpipe &) = delete;
    HoldSigpipe &operator=(const HoldSigpipe &) = delete;

private:
    sigset_t pipeOnly;
    sigset_t previous;
    bool wasPending = false;
};
#endif

void setCork(qintptr fd, bool on)
{
#ifdef Q_OS_LINUX
    // Corked, the system sends only full segments: a record's lines and the start of its data
    // share packets even when they are handed over apart.
    const int value = on ? 1 : 0;
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_CORK, &value, sizeof value);
#else
    Q_UNUSED(fd)
    Q_UNUSED(on)
#endif
}

} // namespace

StreamSender::StreamSender(qintptr descriptor) : fd(descriptor)
{
#ifdef Q_OS_WIN
    isSocket = true;
#else
    struct stat info;
    isSocket = ::fstat(int(fd), &info) == 0 && S_ISSOCK(info.st_mode);
#endif
    batch.reserve(batchSize + int(pieceSize) + 4096);
}

bool StreamSender::send(const QList<SendPacker::Item> &items)
{
#ifndef Q_OS_WIN
    const HoldSigpipe holdSigpipe;
#endif
    if (isSocket)
        setCork(fd, true);
    ReadAhead ahead(items.size(),
                    [&items](int i) { return items.at(i).isDir ? QString() : items.at(i).path; });
    for (int i = 0; i < items.size(); ++i) {
        const SendPacker::Item &item = items.at(i);
        ahead.reached(i);
        if (cancelled && cancelled->load())
            return fail(Cancelled);
        const bool sent = item.isDir ? append(item.name.toUtf8() + "\r\nfolder\r\n")
                                     : sendFile(item,
                                                item.name.toUtf8() + "\r\nfile\r\n" +
                                                    QByteArray::number(item.size) + "\r\n",
                                                QByteArrayLiteral("File end\r\n"));
        if (!sent)
            return false;
    }
    if (!append(QByteArrayLiteral("OVER\r\n")) || !flush())
        return false;
    if (isSocket)
        setCork(fd, false);
    return true;
}

bool StreamSender::sendParts(const QList<SendPacker::Item> &items, const QVector<Part> &parts)
{
#ifndef Q_OS_WIN
    const HoldSigpipe holdSigpipe;
#endif
    if (isSocket)
        setCork(fd, true);
    ReadAhead ahead(parts.size(),
                    [&items, &parts](int k) { return items.at(parts.at(k).index).path; });
    for (int k = 0; k < parts.size(); ++k) {
        Part part = parts.at(k);
        ahead.reached(k);
        if (cancelled && cancelled->load())
            return fail(Cancelled);
        if (!sendFile(items.at(part.index), ExtendedProtocol::partLine(part.index, part.from),
                      QByteArray(), &part))
            return false;
    }
    if (!append(ExtendedProtocol::endLine()) || !flush())
        return false;
    if (isSocket)
        setCork(fd, false);
    return true;
}

qint64 StreamSender::partsSize(const QList<SendPacker::Item> &items, const QVector<Part> &parts)
{
    qint64 size = ExtendedProtocol::endLine().size();
    for (const Part &part : parts) {
        size += ExtendedProtocol::partLine(part.index, part.from).size() +
                items.at(part.index).size - part.from +
                ExtendedProtocol::hashLine(part.hash.value()).size();
    }
    return size;
}

bool StreamSender::sendFile(const SendPacker::Item &item, const QByteArray &head,
                            const QByteArray &tail, Part *part)
{
    const qint64 size = item.size;
    const int recordStart = batch.size();
    QFile source(item.path);
    if (!openSource(source, item, recordStart))
        return false;
    if (!append(head))
        return false;
    if (!(part ? copyHashed(source, size, *part) : copyContents(source, size))) {
        if (lastError == SourceChanged || lastError == SourceUnreadable)
            return failInRecord(lastError, item.name, recordStart);
        return false;
    }
    // A file that grew since it was listed would be sent cut.
    char extra;
    if (!source.seek(size) || source.read(&extra, 1) != 0)
        return failInRecord(SourceChanged, item.name, recordStart);
    if (part) {
        const ContentHash::Value value = part->hash.value();
        if (onHashed)
            onHashed(part->index, value);
        return append(ExtendedProtocol::hashLine(value));
    }
    return tail.isEmpty() || append(tail);
}

bool StreamSender::openSource(QFile &source, const SendPacker::Item &item, int recordStart)
{
    // A folder opens for reading too, and reads as an error only later.
    if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || source.isSequential())
        return failInRecord(SourceUnreadable, item.name, recordStart);
#ifdef Q_OS_UNIX
    struct stat info;
    if (::fstat(source.handle(), &info) != 0 || !S_ISREG(info.st_mode))
        return failInRecord(SourceUnreadable, item.name, recordStart);
    const qint64 size = info.st_size;
#else
    if (QFileInfo(source.fileName()).isDir())
        return failInRecord(SourceUnreadable, item.name, recordStart);
    const qint64 size = source.size();
#endif
    if (size != item.size)
        return failInRecord(SourceChanged, item.name, recordStart);
    return true;
}

// The records gathered before this one still go out whole, so that the receiver keeps them;
// what was gathered of this one does not. Whatever of it went out already is cut by the reset.
bool StreamSender::failInRecord(Error error, const QString &item, int recordStart)
{
    if (batch.size() > recordStart)
        batch.resize(recordStart);
    flush();
    return fail(error, item);
}

// Each piece is read into the batch, hashed there and written from there: the file is read once.
// Pieces end at every multiple of the step, where the hashing state is handed out for a resume.
bool StreamSender::copyHashed(QFile &source, qint64 size, Part &part)
{
    qint64 done = part.from;
    if (done > 0 && !source.seek(done))
        return fail(SourceUnreadable);
    while (done < size) {
        if (cancelled && cancelled->load())
            return fail(Cancelled);
        // Looked at once per write, as the receiver's "X" matters only between pieces.
        const Error peer = peerCheck && batch.isEmpty() ? peerCheck() : NoError;
        if (peer != NoError)
            return fail(peer);
        qint64 length = qMin(size - done, pieceSize);
        if (stepBytes > 0)
            length = qMin(length, stepBytes - done % stepBytes);
        const int at = batch.size();
        if (!readInto(source, length))
            return false;
        part.hash.add(batch.constData() + at, length);
        done += length;
        if (stepBytes > 0 && done % stepBytes == 0 && onStep)
            onStep(part.index, part.hash);
        if (batch.size() >= batchSize && !flush())
            return false;
    }
    return true;
}

// Appends `length` bytes of the file to the batch.
bool StreamSender::readInto(QFile &source, qint64 length)
{
    const int at = batch.size();
    batch.resize(at + int(length));
    qint64 got = 0;
    while (got < length) {
        const qint64 n = source.read(batch.data() + at + got, length - got);
        if (n < 0)
            return fail(SourceUnreadable);
        if (n == 0)
            return fail(SourceChanged);
        got += n;
        readBytes += n;
    }
    return true;
}

bool StreamSender::copyContents(QFile &source, qint64 size)
{
    if (size <= smallFile) {
        if (!readInto(source, size))
            return false;
        return batch.size() < batchSize || flush();
    }
    if (!flush())
        return false;
#ifdef Q_OS_LINUX
    off_t offset = 0;
    while (offset < size) {
        if (cancelled && cancelled->load())
            return fail(Cancelled);
        const ssize_t n =
            ::sendfile(int(fd), source.handle(), &offset, size_t(qMin(size - offset, pieceSize)));
        if (n > 0) {
            report(n);
            continue;
        }
        if (n == 0)
            return fail(SourceChanged); // the file ended before its listed size
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitWritable())
                return false;
            continue;
        }
        // EIO and the like come from the file; the connection's errors from the socket.
        return fail(errno == EIO ? SourceUnreadable : SendFailed);
    }
    return true;
#else
    qint64 done = 0;
    while (done < size) {
        if (cancelled && cancelled->load())
            return fail(Cancelled);
        const qint64 length = qMin(size - done, pieceSize);
        if (!readInto(source, length) || !flush())
            return false;
        done += length;
    }
    return true;
#endif
}

bool StreamSender::append(const QByteArray &bytes)
{
    batch += bytes;
    return batch.size() < batchSize || flush();
}

bool StreamSender::flush()
{
    if (batch.isEmpty())
        return true;
    const bool written = writeOut(batch.constData(), batch.size());
    batch.resize(0); // keeps the reserved room
    return written;
}

bool StreamSender::writeOut(const char *data, qint64 length)
{
    while (length > 0) {
        if (cancelled && cancelled->load())
            return fail(Cancelled);
#ifdef Q_OS_WIN
        const int n = ::send(SOCKET(fd), data, int(qMin(length, pieceSize)), 0);
        if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
            if (!waitWritable())
                return false;
            continue;
        }
#else
        const ssize_t n = isSocket ? ::send(int(fd), data, size_t(length), MSG_NOSIGNAL)
                                   : ::write(int(fd), data, size_t(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitWritable())
                return false;
            continue;
        }
#endif
        if (n <= 0)
            return fail(SendFailed);
        data += n;
        length -= n;
        report(n);
    }
    return true;
}

bool StreamSender::waitWritable()
{
    const QDeadlineTimer stall(stallMs);
    while (!SocketWait::writable(fd, sliceMs)) {
        if (cancelled && cancelled->load())
            return fail(Cancelled);
        if (stall.hasExpired())
            return fail(Stalled);
    }
    return true;
}

void StreamSender::report(qint64 bytes)
{
    handedOver += bytes;
    if (onSent)
        onSent(handedOver);
}

bool StreamSender::fail(Error error, const QString &item)
{
    lastError = error;
    failedName = item;
    return false;
}
