#include "security/splicepipe.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

// As much as a relay's buffer holds.
constexpr int pipeBytes = 256 * 1024;

bool wouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

} // namespace

SplicePipe::SplicePipe()
{
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        ends[0] = ends[1] = -1;
        return;
    }
    // A larger pipe than the default needs no privilege up to the system's limit; where it is
    // refused, the pipe keeps the size it has.
    ::fcntl(ends[1], F_SETPIPE_SZ, pipeBytes);
    capacity = ::fcntl(ends[1], F_GETPIPE_SZ);
}

SplicePipe::~SplicePipe()
{
    for (const int end : ends) {
        if (end >= 0)
            ::close(end);
    }
}

SplicePipe::Result SplicePipe::fill(int from)
{
    if (isFull())
        return Result::Idle;
    for (;;) {
        const ssize_t got = ::splice(from, nullptr, ends[1], nullptr, size_t(capacity - held),
                                     SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (got > 0) {
            held += got;
            return Result::Moved;
        }
        if (got == 0)
            return Result::Ended;
        // A pipe holds pieces of pages: it may be out of slots before its bytes are all taken.
        if (wouldBlock()) {
            slotsTaken = held > 0;
            return Result::Idle;
        }
        if (errno != EINTR)
            return Result::Broken;
    }
}

SplicePipe::Result SplicePipe::drain(int to)
{
    if (held == 0)
        return Result::Idle;
    for (;;) {
        const ssize_t sent = ::splice(ends[0], nullptr, to, nullptr, size_t(held),
                                      SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (sent > 0) {
            held -= sent;
            slotsTaken = false;
            return Result::Moved;
        }
        if (sent < 0 && wouldBlock())
            return Result::Idle;
        if (sent == 0 || errno != EINTR)
            return Result::Broken;
    }
}
