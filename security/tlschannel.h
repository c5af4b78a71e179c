#ifndef TLSCHANNEL_H
#define TLSCHANNEL_H

#include "security/fingerprint.h"
#include "security/opensslptr.h"
#include "security/recordgather.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

#include <memory>
#include <sys/types.h>
#include <vector>

class Identity;

// TLS 1.3 with OpenSSL on a connected socket descriptor, both ends showing their certificate.
// OpenSSL works on the descriptor itself (not Qt's buffers) so that, where the kernel has TLS,
// files go from the page cache to the link with SSL_sendfile. Any lone self-signed certificate
// is taken: whom it belongs to is settled by the fingerprint the caller pins or pairs.
// Every call is one step: on a non-blocking socket it returns WantRead or WantWrite and the
// caller waits for the descriptor and calls again with the same arguments; on a blocking socket
// with send and receive timeouts, a timeout shows as the same answers. The socket stays the
// caller's to close. Like any write to a socket, a write to a reset peer raises SIGPIPE, which the
// caller's thread must block.
// Where the kernel does not encrypt, the records a write makes are gathered and sent many to a
// send(); what a write took may still be gathered when it returns, and goes with the next call
// that writes, or with flush(). Reads take in what the socket holds, many records at once.
// Each end renews its sending key after `rekeyBytes`, far below what AES-GCM may safely carry
// under one key in TLS 1.3 (about 2^24.5 full records). OpenSSL cannot renew a key the kernel
// holds: with kernel TLS the channel fails instead once the key has carried `kernelKeyBytes`.
class TlsChannel
{
public:
    enum class Role { Client, Server };
    enum class Step { WantRead, WantWrite, Done, Closed, Failed };
    // How files leave this process: through kernel TLS with SSL_sendfile, or read and written
    // through user space; Unknown until a channel has finished its handshake.
    enum class SendPath { Unknown, Kernel, UserSpace };
    static constexpr qint64 rekeyBytes = qint64(16) << 30;
    // What a key the kernel holds may carry (2^24 full records): OpenSSL cannot renew it.
    static constexpr qint64 kernelKeyBytes = qint64(1) << 38;
    struct Transfer
    {
        qint64 bytes;
        Step step;
    };

    TlsChannel(const Identity &identity, int socket, Role role);
    ~TlsChannel();
    TlsChannel(const TlsChannel &) = delete;
    TlsChannel &operator=(const TlsChannel &) = delete;

    // One step of the handshake; Failed once `deadline` has passed, however much the peer sends,
    // so a peer that trickles its bytes cannot hold a connection open.
    Step handshake(const QDeadlineTimer &deadline);
    bool isEncrypted() const { return handshaken; }
    // Why the channel failed, for the log and the user; empty while it has not.
    QString errorString() const { return error; }

    Fingerprint localFingerprint() const { return local; }
    // The certificate the peer proved it holds the key of; null before the handshake.
    Fingerprint peerFingerprint() const { return peer; }
    // RFC 8446's exporter: the same bytes at both ends of this session, other bytes elsewhere.
    QByteArray exportKeyingMaterial(const QByteArray &label, const QByteArray &context,
                                    int size) const;

    // All of `data`, in records of at most 16 KiB; after WantRead or WantWrite the same bytes
    // must be offered again (from wherever they are by then).
    Transfer write(const char *data, qint64 size);
    // Up to `size` bytes into `data`; Closed when the peer ended the session in order.
    Transfer read(char *data, qint64 size);
    // Part of `length` bytes of `file` from `offset`; Done with how many went. After WantRead or
    // WantWrite the call must be repeated with the same arguments.
    Transfer sendFile(int file, qint64 offset, qint64 length);
    // Sends the records gathered so far: Done when none are left, WantWrite when the socket is
    // full, Failed when the connection broke; what the peer sent before can still be read.
    Step flush();
    // Bytes of records gathered and not yet sent.
    qint64 gathered() const { return gather ? gather->size() : 0; }
    // Sends the end of the session; WantRead/WantWrite to call again.
    Step close();
    // How often this end has renewed its sending key.
    int keyUpdates() const { return renewals; }
    // The bytes after which channels made afterwards renew their sending key; a small figure lets
    // a test see renewals.
    static void setRekeyBytes(qint64 bytes);

    bool kernelSends() const { return kernelSend; }
    QString cipherName() const;
    static SendPath sendPath();

private:
    bool configure(const Identity &identity);
    Step stepAfter(int result);
    Step fail(const QString &why);
    void finishHandshake();
    void gatherWrites();
    void countSent(qint64 bytes);
    bool keyStillSafe();

    SslContextPtr context;
    SslPtr ssl;
    Fingerprint local;
    Fingerprint peer;
    QString error;
    std::unique_ptr<RecordGather> gather;
    const qint64 rekeyAfter;
    qint64 sentUnderKey = 0;
    int renewals = 0;
    bool closeQueued = false;
    std::vector<char> piece;
    ssize_t pieceBytes = 0;
    bool retrying = false;
    bool handshaken = false;
    bool kernelSend = false;
};

#endif // TLSCHANNEL_H
