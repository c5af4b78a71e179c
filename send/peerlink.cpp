#include "send/peerlink.h"

#include "protocol/socketreset.h"
#include "send/socketwait.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// A wait for the peer is cut into slices so that a cancel ends it soon.
constexpr int sliceMs = 100;

} // namespace

PeerLink::PeerLink(qintptr descriptor, QObject *parent)
    : QObject(parent), fd(descriptor),
      notifier(new QSocketNotifier(descriptor, QSocketNotifier::Read, this))
{
    connect(notifier, &QSocketNotifier::activated, this, &PeerLink::readable);
}

PeerLink::~PeerLink()
{
    notifier->setEnabled(false);
    if (fd >= 0)
        ::close(int(fd));
}

bool PeerLink::write(const QByteArray &bytes, const std::atomic<bool> &cancelled, int stallMs)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    QDeadlineTimer stall(stallMs);
    while (left > 0) {
        if (cancelled)
            return false;
        const ssize_t n = ::send(int(fd), data, size_t(left), MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            left -= n;
            stall.setRemainingTime(stallMs);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (stall.hasExpired())
                return false;
            SocketWait::writable(fd, sliceMs);
        } else {
            return false;
        }
    }
    return true;
}

PeerLink::State PeerLink::read(QByteArray *into)
{
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::recv(int(fd), buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            into->append(buffer, int(got));
            continue;
        }
        if (got == 0) {
            // Nothing more will come: the notifier would report the end again and again.
            notifier->setEnabled(false);
            return Ended;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return Open;
        notifier->setEnabled(false);
        return Broken;
    }
}

qint64 PeerLink::unacknowledged() const
{
    return SocketWait::unacknowledged(fd);
}

void PeerLink::finishWriting()
{
    ::shutdown(int(fd), SHUT_WR);
}

void PeerLink::reset()
{
    SocketReset::arm(fd);
    notifier->setEnabled(false);
    ::close(int(fd));
    fd = -1;
}
