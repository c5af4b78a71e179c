#ifndef TLSRELAY_H
#define TLSRELAY_H

#include "security/fingerprint.h"
#include "security/pairingcode.h"
#include "security/relaybuffer.h"
#include "security/splicepipe.h"
#include "security/tlschannel.h"

#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

class Identity;

// Puts one connection inside TLS 1.3 without the code that speaks over it knowing. The relay
// takes the connected socket, makes the handshake in its own thread within a deadline, and then
// passes the plain bytes between the TLS session and the "plain end", a loopback connection whose
// other end the caller reads and writes as it did the socket itself. Both ways, each kind of end
// crosses as it is: an orderly close becomes close_notify and FIN, a reset (SO_LINGER 0), a peer
// that ends without close_notify or a TLS error becomes a reset. When the handshake fails the
// plain end is reset, so the caller sees a broken connection, never a plain one.
// The relay keeps itself until both ends are closed; what the caller holds only looks at it.
class TlsRelay
{
public:
    static constexpr int handshakeMs = 10000;
    static constexpr int bufferBytes = 256 * 1024;

    // Takes `socket`; the relay shows `identity`, which must outlive it.
    static std::shared_ptr<TlsRelay> start(int socket, TlsChannel::Role role,
                                           const Identity &identity);
    // The same with this installation's identity.
    static std::shared_ptr<TlsRelay> start(int socket, TlsChannel::Role role);
    ~TlsRelay();
    TlsRelay(const TlsRelay &) = delete;
    TlsRelay &operator=(const TlsRelay &) = delete;

    // The end for the caller, who owns it from here on; -1 when it could not be made, or after
    // the first call.
    int takePlainEnd();
    // A descriptor that becomes readable once the handshake has ended, either way; the relay's
    // own, valid while it is held.
    int handshakeEnded() const { return shaken; }
    // The certificate the peer proved it holds the key of; null until the handshake is done.
    Fingerprint peerFingerprint() const;
    // Why the session failed; empty while it has not.
    QString errorString() const;
    // The session's pairing material; invalid before the handshake and after the end.
    PairingCode pairingCode(PairingCode::Side side) const;
    // Bytes the caller wrote that the peer has not acknowledged yet: those held here, in the
    // session's gathered records and in the socket's queue, as last seen.
    qint64 unacknowledged() const { return unacked; }

    // How long relays started afterwards give their handshake; a short time lets a test see a
    // trickling peer fail.
    static void setHandshakeTime(int ms);
    // Resets every running relay and waits for their threads; runs by itself at exit.
    static void stopAll();
    // Waits up to `ms` for every relay to end by itself; false if some still run. What they did
    // happened before this returns true.
    static bool waitForAll(int ms);

private:
    TlsRelay(int socket, TlsChannel::Role role, const Identity &identity);
    void run();
    bool shake();
    void tellShaken();
    enum class Pump { Idle, Moved, Broken };
    void relay();
    bool pump();
    Pump readPlain();
    Pump splicePlain();
    Pump spliceTls();
    bool roomFromPlain() const;
    qint64 outgoing() const;
    Pump writeTls();
    bool peerWordsFirst();
    Pump flushTls();
    Pump closeTls();
    Pump readTls();
    Pump writePlain();
    Pump afterStep(TlsChannel::Step step);
    bool wait();
    void flushAtReset();
    void fail(const QString &why);
    void resetBoth();
    void end();

    mutable std::mutex lock; // the channel, `peer` and `error`
    std::unique_ptr<TlsChannel> channel;
    int tls;
    int plain = -1;
    int callerEnd = -1;
    int shaken = -1; // an eventfd
    const int handshakeTime;
    const QString peerName;
    Fingerprint peer;
    QString error;
    RelayBuffer toPeer{bufferBytes};
    RelayBuffer toCaller{bufferBytes};
    // Where the kernel encrypts, the caller's bytes go to the session through this instead of
    // `toPeer`.
    std::unique_ptr<SplicePipe> spliced;
    qint64 splicedBytes = 0;
    qint64 pendingWrite = 0; // bytes offered to a write that has to be repeated
    std::atomic<qint64> unacked{0};
    bool plainEnded = false; // the caller's orderly end came
    bool closeSent = false;  // close_notify and FIN went to the peer
    bool peerEnded = false;  // the peer's close_notify came
    bool plainShut = false;  // the caller was given the peer's end
    bool tlsWantsRead = false;
    bool tlsWantsWrite = false;
};

#endif // TLSRELAY_H
