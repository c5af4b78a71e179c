#include "security/tlsrelay.h"

#include "security/identity.h"
#include "security/loopbackpair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QtDebug>

#include <openssl/crypto.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One write into the session, sixteen full records gathered into one send(): between two, the
// peer's words are read.
constexpr qint64 writePiece = 256 * 1024;
constexpr int stopWaitMs = 5000;
// What the peer gets to read its last words before the reset that follows them.
constexpr int lastWordsMs = 200;
// How often the count of unacknowledged bytes is looked at again while there are any.
constexpr int ackLookMs = 250;

std::mutex runningLock;
std::condition_variable runningChanged;
int running = 0;
std::atomic<bool> stopping{false};
std::atomic<int> nextHandshakeMs{TlsRelay::handshakeMs};
// Every relay waits on its read end as well; stopAll() makes it readable for good.
int wakeFds[2] = {-1, -1};
std::once_flag prepared;

void prepare()
{
    std::call_once(prepared, [] {
        if (::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
            wakeFds[0] = wakeFds[1] = -1;
        // Registered after OpenSSL's own clean-up, so it runs before that.
        std::atexit([] { TlsRelay::stopAll(); });
    });
}

QString text(const char *source)
{
    return QCoreApplication::translate("TlsRelay", source);
}

QString peerOf(int socket)
{
    sockaddr_storage address = {};
    socklen_t length = sizeof address;
    if (::getpeername(socket, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QStringLiteral("?");
    return QHostAddress(reinterpret_cast<const sockaddr *>(&address)).toString();
}

void resetAndClose(int *fd)
{
    if (*fd < 0)
        return;
    const struct linger hard = {1, 0};
    ::setsockopt(*fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(*fd);
    *fd = -1;
}

void closeQuietly(int *fd)
{
    if (*fd >= 0)
        ::close(*fd);
    *fd = -1;
}

qint64 threadProcessorNs()
{
    timespec now = {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool wouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

} // namespace

std::shared_ptr<TlsRelay> TlsRelay::start(int socket, TlsChannel::Role role,
                                          const Identity &identity)
{
    prepare();
    std::shared_ptr<TlsRelay> relay(new TlsRelay(socket, role, identity));
    if (relay->plain < 0 || relay->shaken < 0) {
        relay->fail(text("无法准备加密连接：%1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        resetAndClose(&relay->tls);
        relay->tellShaken();
        return relay;
    }
    {
        const std::lock_guard<std::mutex> held(runningLock);
        ++running;
    }
    std::thread([relay] { relay->run(); }).detach();
    return relay;
}

std::shared_ptr<TlsRelay> TlsRelay::start(int socket, TlsChannel::Role role)
{
    return start(socket, role, Identity::shared());
}

TlsRelay::TlsRelay(int socket, TlsChannel::Role role, const Identity &identity)
    : channel(std::make_unique<TlsChannel>(identity, socket, role)), tls(socket),
      handshakeTime(nextHandshakeMs.load()), peerName(peerOf(socket))
{
    ::fcntl(tls, F_SETFL, ::fcntl(tls, F_GETFL) | O_NONBLOCK);
    // Records go out whole; a short one, such as the last words before a reset, must not wait.
    const int on = 1;
    ::setsockopt(tls, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (!LoopbackPair::make(&plain, &callerEnd))
        plain = callerEnd = -1;
    shaken = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TlsRelay::~TlsRelay()
{
    closeQuietly(&callerEnd);
    closeQuietly(&shaken);
}

void TlsRelay::tellShaken()
{
    const std::uint64_t one = 1;
    if (shaken >= 0)
        while (::write(shaken, &one, sizeof one) < 0 && errno == EINTR) {
        }
}

int TlsRelay::takePlainEnd()
{
    const int taken = callerEnd;
    callerEnd = -1;
    return taken;
}

Fingerprint TlsRelay::peerFingerprint() const
{
    const std::lock_guard<std::mutex> held(lock);
    return peer;
}

QString TlsRelay::errorString() const
{
    const std::lock_guard<std::mutex> held(lock);
    return error;
}

PairingCode TlsRelay::pairingCode(PairingCode::Side side) const
{
    const std::lock_guard<std::mutex> held(lock);
    return channel && channel->isEncrypted() ? PairingCode::of(*channel, side) : PairingCode();
}

void TlsRelay::setHandshakeTime(int ms)
{
    nextHandshakeMs = ms;
}

void TlsRelay::stopAll()
{
    stopping = true;
    if (wakeFds[1] >= 0) {
        const char wake = 0;
        while (::write(wakeFds[1], &wake, 1) < 0 && errno == EINTR) {
        }
    }
    waitForAll(stopWaitMs);
}

bool TlsRelay::waitForAll(int ms)
{
    std::unique_lock<std::mutex> held(runningLock);
    return runningChanged.wait_for(held, std::chrono::milliseconds(ms),
                                   [] { return running == 0; });
}

void TlsRelay::run()
{
    // A write to a peer that reset must fail with EPIPE, not end the program.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    const bool made = shake();
    tellShaken();
    if (made)
        relay();
    end();
}

bool TlsRelay::shake()
{
    const QDeadlineTimer deadline(handshakeTime);
    QElapsedTimer took;
    took.start();
    const qint64 processorBefore = threadProcessorNs();
    for (;;) {
        TlsChannel::Step step;
        {
            const std::lock_guard<std::mutex> held(lock);
            step = channel->handshake(deadline);
            if (step == TlsChannel::Step::Done)
                peer = channel->peerFingerprint();
            else if (step == TlsChannel::Step::Failed)
                error = channel->errorString();
        }
        if (step == TlsChannel::Step::Done) {
            // What a new session costs this side, which the log keeps for the benchmark.
            qInfo().noquote() << "TLS: session with" << peerName << "in" << took.elapsed() << "ms,"
                              << (threadProcessorNs() - processorBefore) / 1000
                              << "µs of this side's processor time";
            return true;
        }
        if (step == TlsChannel::Step::Failed || stopping) {
            fail(text("加密握手未完成"));
            qInfo().noquote() << "TLS: handshake with" << peerName << "failed:" << errorString();
            resetBoth();
            return false;
        }
        pollfd waits[2] = {{tls, short(step == TlsChannel::Step::WantRead ? POLLIN : POLLOUT), 0},
                           {wakeFds[0], POLLIN, 0}};
        ::poll(waits, 2, int(qBound(qint64(0), deadline.remainingTime(), qint64(INT_MAX))));
    }
}

void TlsRelay::relay()
{
    bool kernelSends = false;
    {
        const std::lock_guard<std::mutex> held(lock);
        kernelSends = channel->kernelSends();
    }
    if (kernelSends) {
        auto pipe = std::make_unique<SplicePipe>();
        if (pipe->isValid())
            spliced = std::move(pipe);
    }
    while (!stopping && pump()) {
        if (closeSent && plainShut && outgoing() == 0 && toCaller.isEmpty()) {
            // Both ends came in order and everything crossed.
            closeQuietly(&tls);
            closeQuietly(&plain);
            return;
        }
        if (!wait())
            break;
    }
    if (!stopping) {
        qInfo().noquote() << "TLS: connection with" << peerName << "reset:" << errorString();
        flushAtReset();
    }
    resetBoth();
}

// What one end said before it broke still goes to the other, as it would over a connection that
// a reset ends: the reset follows it. The caller's last words can still be read after its reset.
// Words that go into the session now get a moment before the reset: a peer that meets the reset
// in the middle of its own write can no longer read what came before it.
void TlsRelay::flushAtReset()
{
    // A write that met the peer's reset may have come before the read of what the peer said
    // last: that is still in the socket, ahead of the reset.
    if (!peerEnded)
        readTls();
    while (!toCaller.isEmpty() && writePlain() == Pump::Moved) {
    }
    bool told = false;
    do {
        while (outgoing() > 0 && writeTls() == Pump::Moved)
            told = true;
    } while (!plainEnded && readPlain() == Pump::Moved);
    pollfd stop = {wakeFds[0], POLLIN, 0};
    if (told)
        ::poll(&stop, 1, lastWordsMs);
}

// Moves what can move without waiting; false once either end broke.
bool TlsRelay::pump()
{
    for (bool moved = true; moved;) {
        tlsWantsRead = tlsWantsWrite = false;
        moved = false;
        // The peer's words first: a write that meets its reset would take them with it.
        for (Pump (TlsRelay::*step)() : {&TlsRelay::readTls, &TlsRelay::writePlain,
                                         &TlsRelay::readPlain, &TlsRelay::writeTls}) {
            const Pump result = (this->*step)();
            if (result == Pump::Broken)
                return false;
            moved |= result == Pump::Moved;
        }
    }
    return true;
}

TlsRelay::Pump TlsRelay::readPlain()
{
    if (spliced)
        return splicePlain();
    if (plainEnded || toPeer.room() == 0)
        return Pump::Idle;
    const ssize_t got = ::recv(plain, toPeer.end(), toPeer.room(), MSG_DONTWAIT);
    if (got > 0)
        toPeer.filled(size_t(got));
    else if (got == 0)
        plainEnded = true;
    else if (wouldBlock())
        return Pump::Idle;
    else if (errno != EINTR)
        return fail(text("本端重置了连接")), Pump::Broken;
    return Pump::Moved;
}

// Over a connection the peer reset, what it sent before is read first (readTls), and only then
// does a write fail.
bool TlsRelay::peerWordsFirst()
{
    pollfd reset = {tls, 0, 0};
    return ::poll(&reset, 1, 0) > 0 && (reset.revents & POLLERR) && !peerEnded &&
           toCaller.room() > 0;
}

TlsRelay::Pump TlsRelay::splicePlain()
{
    if (plainEnded || spliced->isFull())
        return Pump::Idle;
    switch (spliced->fill(plain)) {
    case SplicePipe::Result::Moved:
        return Pump::Moved;
    case SplicePipe::Result::Ended:
        plainEnded = true;
        return Pump::Moved;
    case SplicePipe::Result::Idle:
        return Pump::Idle;
    default:
        return fail(text("本端重置了连接")), Pump::Broken;
    }
}

// The kernel encrypts what is spliced into the session. OpenSSL cannot renew a key the kernel
// holds: a session that has carried what one key may carry safely ends, and the transfer goes on
// from where it stopped in a new one.
TlsRelay::Pump TlsRelay::spliceTls()
{
    if (peerWordsFirst())
        return Pump::Idle;
    const qint64 before = spliced->size();
    const SplicePipe::Result result = spliced->drain(tls);
    splicedBytes += before - spliced->size();
    if (result == SplicePipe::Result::Broken)
        return fail(text("对方重置了连接")), Pump::Broken;
    if (splicedBytes >= TlsChannel::kernelKeyBytes)
        return fail(text("加密连接的密钥已用满")), Pump::Broken;
    tlsWantsWrite |= result == SplicePipe::Result::Idle;
    return result == SplicePipe::Result::Moved ? Pump::Moved : Pump::Idle;
}

bool TlsRelay::roomFromPlain() const
{
    return spliced ? !spliced->isFull() : toPeer.room() > 0;
}

qint64 TlsRelay::outgoing() const
{
    return qint64(toPeer.size()) + (spliced ? spliced->size() : 0);
}

TlsRelay::Pump TlsRelay::writeTls()
{
    if (spliced && spliced->size() > 0)
        return spliceTls();
    if (toPeer.isEmpty())
        return plainEnded && !closeSent ? closeTls() : flushTls();
    if (peerWordsFirst())
        return Pump::Idle;
    const qint64 size = pendingWrite > 0 ? pendingWrite : qMin(qint64(toPeer.span()), writePiece);
    TlsChannel::Transfer sent;
    {
        const std::lock_guard<std::mutex> held(lock);
        sent = channel->write(toPeer.data(), size);
    }
    if (sent.step != TlsChannel::Step::Done) {
        pendingWrite = size;
        return afterStep(sent.step);
    }
    pendingWrite = 0;
    toPeer.taken(size_t(sent.bytes));
    return Pump::Moved;
}

// Records the session gathered and could not send at once.
TlsRelay::Pump TlsRelay::flushTls()
{
    TlsChannel::Step step;
    {
        const std::lock_guard<std::mutex> held(lock);
        if (channel->gathered() == 0)
            return Pump::Idle;
        if (peerWordsFirst())
            return Pump::Idle;
        step = channel->flush();
    }
    return step == TlsChannel::Step::Done ? Pump::Moved : afterStep(step);
}

TlsRelay::Pump TlsRelay::closeTls()
{
    TlsChannel::Step step;
    {
        const std::lock_guard<std::mutex> held(lock);
        step = channel->close();
    }
    if (step != TlsChannel::Step::Done)
        return afterStep(step);
    ::shutdown(tls, SHUT_WR);
    closeSent = true;
    return Pump::Moved;
}

// SSL_read hands out one record a call: the buffer is filled with as many as have come before
// the caller is given them, in one write.
TlsRelay::Pump TlsRelay::readTls()
{
    Pump result = Pump::Idle;
    while (!peerEnded && toCaller.room() > 0) {
        TlsChannel::Transfer got;
        {
            const std::lock_guard<std::mutex> held(lock);
            got = channel->read(toCaller.end(), qint64(toCaller.room()));
        }
        if (got.step == TlsChannel::Step::Closed)
            peerEnded = true;
        else if (got.step != TlsChannel::Step::Done)
            return afterStep(got.step) == Pump::Broken ? Pump::Broken : result;
        toCaller.filled(size_t(got.bytes));
        result = Pump::Moved;
    }
    return result;
}

TlsRelay::Pump TlsRelay::writePlain()
{
    if (toCaller.isEmpty()) {
        if (!peerEnded || plainShut)
            return Pump::Idle;
        ::shutdown(plain, SHUT_WR);
        plainShut = true;
        return Pump::Moved;
    }
    const ssize_t sent =
        ::send(plain, toCaller.data(), toCaller.span(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent > 0)
        toCaller.taken(size_t(sent));
    else if (sent < 0 && wouldBlock())
        return Pump::Idle;
    else if (sent == 0 || errno != EINTR)
        return fail(text("本端关闭了连接")), Pump::Broken;
    return Pump::Moved;
}

TlsRelay::Pump TlsRelay::afterStep(TlsChannel::Step step)
{
    tlsWantsRead |= step == TlsChannel::Step::WantRead;
    tlsWantsWrite |= step == TlsChannel::Step::WantWrite;
    if (step != TlsChannel::Step::Failed)
        return Pump::Idle;
    const std::lock_guard<std::mutex> held(lock);
    error = channel->errorString();
    return Pump::Broken;
}

// Waits for either end. An end that is asked nothing is still watched while it may be reset:
// the reset is what the other side must hear of. Where it is read, the read meets the reset, after
// the bytes that came before it.
bool TlsRelay::wait()
{
    const short plainEvents =
        short((!plainEnded && roomFromPlain() ? POLLIN : 0) | (toCaller.isEmpty() ? 0 : POLLOUT));
    const short tlsEvents = short((tlsWantsRead ? POLLIN : 0) | (tlsWantsWrite ? POLLOUT : 0));
    pollfd waits[3] = {{plainEvents != 0 || !plainShut ? plain : -1, plainEvents, 0},
                       {tlsEvents != 0 || !closeSent ? tls : -1, tlsEvents, 0},
                       {wakeFds[0], POLLIN, 0}};
    int queued = 0;
    if (::ioctl(tls, SIOCOUTQ, &queued) != 0)
        queued = 0;
    qint64 gathered = 0;
    {
        const std::lock_guard<std::mutex> held(lock);
        gathered = channel->gathered();
    }
    unacked = outgoing() + gathered + queued;
    if (::poll(waits, 3, unacked > 0 ? ackLookMs : -1) < 0)
        return errno == EINTR;
    const bool plainBroke = plainEvents == 0 && ((waits[0].revents & POLLERR) ||
                                                 ((waits[0].revents & POLLHUP) && !plainShut));
    const bool tlsBroke = tlsEvents == 0 && ((waits[1].revents & POLLERR) ||
                                             ((waits[1].revents & POLLHUP) && !closeSent));
    if (plainBroke)
        fail(text("本端重置了连接"));
    else if (tlsBroke)
        fail(text("对方重置了连接"));
    return !plainBroke && !tlsBroke && !stopping;
}

void TlsRelay::fail(const QString &why)
{
    const std::lock_guard<std::mutex> held(lock);
    if (error.isEmpty())
        error = why;
}

void TlsRelay::resetBoth()
{
    resetAndClose(&tls);
    resetAndClose(&plain);
}

void TlsRelay::end()
{
    unacked = 0;
    {
        const std::lock_guard<std::mutex> held(lock);
        channel.reset();
    }
    closeQuietly(&tls);
    closeQuietly(&plain);
    // OpenSSL frees this thread's own state (its error queue) as the thread ends, which may be
    // after the program, told that no relay runs any more, has gone on to exit: freed here.
    OPENSSL_thread_stop();
    const std::lock_guard<std::mutex> held(runningLock);
    --running;
    runningChanged.notify_all();
}
