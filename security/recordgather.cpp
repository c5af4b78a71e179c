#include "security/recordgather.h"

#include <cerrno>

#include <sys/socket.h>

RecordGather::RecordGather(int socket, int capacity) : socket(socket)
{
    BIO *ours = nullptr;
    BIO *other = nullptr;
    // Only the records' way out is gathered: the socket side's own buffer stays unused.
    if (BIO_new_bio_pair(&ours, size_t(capacity), &other, 0) == 1) {
        sslSide.reset(ours);
        socketSide.reset(other);
    }
}

BIO *RecordGather::takeSslSide()
{
    return sslSide.release();
}

RecordGather::Flush RecordGather::flush()
{
    for (;;) {
        char *data = nullptr;
        const int ready = BIO_nread0(socketSide.get(), &data);
        if (ready <= 0)
            return Flush::Done;
        const ssize_t sent = ::send(socket, data, size_t(ready), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0)
            BIO_nread(socketSide.get(), &data, int(sent));
        else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return Flush::Blocked;
        else if (sent == 0 || errno != EINTR)
            return Flush::Failed;
    }
}

qint64 RecordGather::size() const
{
    return socketSide ? qint64(BIO_ctrl_pending(socketSide.get())) : 0;
}
