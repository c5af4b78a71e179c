#ifndef RECORDGATHER_H
#define RECORDGATHER_H

#include "security/opensslptr.h"

#include <QtGlobal>

// The session's records on their way to the socket. OpenSSL hands each record of 16 KiB to its
// write side on its own, one send() apiece; here it writes them into one half of a BIO pair
// instead, and flush() sends what has gathered from the other half's buffer in place, many
// records to a send().
class RecordGather
{
public:
    enum class Flush { Done, Blocked, Failed };

    RecordGather(int socket, int capacity);
    bool isValid() const { return bool(socketSide); }
    // The half OpenSSL writes into; the caller gives it to the session, which then owns it.
    BIO *takeSslSide();
    // Sends what has gathered: Done when nothing is left, Blocked when the socket is full, Failed
    // with errno set when the connection broke.
    Flush flush();
    // Bytes gathered and not yet sent.
    qint64 size() const;

private:
    const int socket;
    BioPtr sslSide;
    BioPtr socketSide;
};

#endif // RECORDGATHER_H
