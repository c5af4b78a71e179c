#ifndef SPLICEPIPE_H
#define SPLICEPIPE_H

#include <QtGlobal>

// Moves bytes from one socket to another through a pipe with splice(2), so that they never pass
// through this process. Where the kernel encrypts a TLS session (kernel TLS), what the caller
// writes goes from its connection into the session's records with no copy of ours, as a file
// would with SSL_sendfile.
class SplicePipe
{
public:
    enum class Result { Moved, Idle, Ended, Broken };

    SplicePipe();
    ~SplicePipe();
    SplicePipe(const SplicePipe &) = delete;
    SplicePipe &operator=(const SplicePipe &) = delete;

    bool isValid() const { return ends[0] >= 0; }
    // Takes what `from` holds, as much as the pipe has room for: Idle when nothing is there,
    // Ended at its orderly end, Broken (errno set) when it failed.
    Result fill(int from);
    // Gives what the pipe holds to `to`: Idle when `to` takes nothing now, Broken when it failed.
    Result drain(int to);
    // Bytes in the pipe.
    qint64 size() const { return held; }
    // No room now: all of it is taken, or the last fill found no slot left for what came.
    bool isFull() const { return held >= capacity || slotsTaken; }

private:
    int ends[2] = {-1, -1};
    qint64 capacity = 0;
    qint64 held = 0;
    bool slotsTaken = false;
};

#endif // SPLICEPIPE_H
