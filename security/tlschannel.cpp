#include "security/tlschannel.h"

#include "security/identity.h"

#include <QCoreApplication>
#include <QtDebug>

#include <openssl/err.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

// AES-128-GCM first: the processors this runs on have AES instructions, and it is the cheapest
// suite the kernel can take over.
const char *const cipherSuites =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
constexpr qint64 pieceSize = 1 << 20;
// Room for the records of one large write (16 records of 16 KiB and their overhead) and more.
constexpr int gatherBytes = 512 * 1024;
// One read from the socket takes in this much, a few records, that SSL_read then hands out. Not
// more: OpenSSL moves what is left in its buffer to the front at every record, to align the next
// payload, so a larger buffer costs more in copies than it saves in reads.
constexpr int readAheadBytes = 64 * 1024;

std::atomic<int> usedPath{int(TlsChannel::SendPath::Unknown)};
std::atomic<qint64> nextRekeyBytes{TlsChannel::rekeyBytes};

QString text(const char *source)
{
    return QCoreApplication::translate("TlsChannel", source);
}

// A lone self-signed certificate at depth 0 is what every installation shows; a chain, a
// certificate from someone else's CA, a bad signature or an expired date are not.
int acceptSelfSigned(int verified, X509_STORE_CTX *store)
{
    return verified || (X509_STORE_CTX_get_error(store) == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT &&
                        X509_STORE_CTX_get_error_depth(store) == 0);
}

QString openSslError()
{
    char reason[256] = {};
    const unsigned long code = ERR_peek_last_error();
    if (code == 0)
        return errno != 0 ? QString::fromLocal8Bit(std::strerror(errno)) : text("对方断开了连接");
    ERR_error_string_n(code, reason, sizeof reason);
    return QString::fromLatin1(reason);
}

void noteSendPath(bool kernel)
{
    const int path = int(kernel ? TlsChannel::SendPath::Kernel : TlsChannel::SendPath::UserSpace);
    if (usedPath.exchange(path) == path)
        return;
    qInfo().noquote() << (kernel ? "TLS: the kernel encrypts what is sent (kernel TLS): files with "
                                   "SSL_sendfile, a relay's bytes spliced into the session"
                                 : "TLS: the kernel has no TLS here; records are encrypted in user "
                                   "space (SSL_write) and sent many to a send()");
}

} // namespace

TlsChannel::TlsChannel(const Identity &identity, int socket, Role role)
    : local(identity.fingerprint()), rekeyAfter(nextRekeyBytes.load())
{
    context.reset(SSL_CTX_new(role == Role::Client ? TLS_client_method() : TLS_server_method()));
    if (!identity.isValid()) {
        fail(identity.errorString());
        return;
    }
    if (!context || !configure(identity)) {
        fail(text("无法准备加密连接：%1").arg(openSslError()));
        return;
    }
    ssl.reset(SSL_new(context.get()));
    if (!ssl || SSL_set_fd(ssl.get(), socket) != 1) {
        fail(text("无法准备加密连接：%1").arg(openSslError()));
        return;
    }
    if (role == Role::Client)
        SSL_set_connect_state(ssl.get());
    else
        SSL_set_accept_state(ssl.get());
}

TlsChannel::~TlsChannel() = default;

bool TlsChannel::configure(const Identity &identity)
{
    SSL_CTX *const ctx = context.get();
    // No tickets: a resumed session would skip the certificates that pairing relies on.
    SSL_CTX_set_options(ctx,
                        SSL_OP_ENABLE_KTLS | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_TICKET);
    SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, readAheadBytes);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, acceptSelfSigned);
    X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(ctx), X509_V_FLAG_CHECK_SS_SIGNATURE);
    return SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) == 1 &&
           SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1 &&
           SSL_CTX_set_ciphersuites(ctx, cipherSuites) == 1 &&
           SSL_CTX_set_num_tickets(ctx, 0) == 1 &&
           SSL_CTX_use_certificate(ctx, identity.x509()) == 1 &&
           SSL_CTX_use_PrivateKey(ctx, identity.privateKey()) == 1 &&
           SSL_CTX_check_private_key(ctx) == 1;
}

TlsChannel::Step TlsChannel::handshake(const QDeadlineTimer &deadline)
{
    if (handshaken)
        return Step::Done;
    if (!ssl)
        return Step::Failed;
    if (deadline.hasExpired())
        return fail(text("加密握手超时"));
    ERR_clear_error();
    errno = 0;
    const int result = SSL_do_handshake(ssl.get());
    if (result != 1) {
        const Step step = stepAfter(result);
        return step == Step::Closed ? fail(text("加密握手失败：对方断开了连接")) : step;
    }
    finishHandshake();
    return handshaken ? Step::Done : Step::Failed;
}

void TlsChannel::finishHandshake()
{
    peer = Fingerprint::of(SSL_get0_peer_certificate(ssl.get()));
    if (peer.isNull()) {
        fail(text("对方没有出示证书"));
        return;
    }
    handshaken = true;
    kernelSend = BIO_get_ktls_send(SSL_get_wbio(ssl.get())) != 0;
    noteSendPath(kernelSend);
    if (!kernelSend)
        gatherWrites();
}

// Gathering happens after the handshake, so that kernel TLS, which needs the socket itself as
// OpenSSL's way out, can be taken where the kernel offers it.
void TlsChannel::gatherWrites()
{
    auto made = std::make_unique<RecordGather>(SSL_get_fd(ssl.get()), gatherBytes);
    if (!made->isValid())
        return;
    SSL_set0_wbio(ssl.get(), made->takeSslSide());
    gather = std::move(made);
}

TlsChannel::Step TlsChannel::stepAfter(int result)
{
    switch (SSL_get_error(ssl.get(), result)) {
    case SSL_ERROR_WANT_READ:
        return Step::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return Step::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        return Step::Closed;
    default:
        break;
    }
    const long verified = SSL_get_verify_result(ssl.get());
    if (!handshaken && verified != X509_V_OK)
        return fail(text("对方的证书无效：%1")
                        .arg(QString::fromLatin1(X509_verify_cert_error_string(verified))));
    return fail(
        (handshaken ? text("加密连接中断：%1") : text("加密握手失败：%1")).arg(openSslError()));
}

TlsChannel::Step TlsChannel::fail(const QString &why)
{
    if (error.isEmpty())
        error = why;
    handshaken = false;
    peer = {};
    ssl.reset();
    gather.reset();
    return Step::Failed;
}

QByteArray TlsChannel::exportKeyingMaterial(const QByteArray &label, const QByteArray &context,
                                            int size) const
{
    QByteArray material(size, '\0');
    if (!handshaken ||
        SSL_export_keying_material(ssl.get(), reinterpret_cast<unsigned char *>(material.data()),
                                   size_t(size), label.constData(), size_t(label.size()),
                                   reinterpret_cast<const unsigned char *>(context.constData()),
                                   size_t(context.size()), 1) != 1)
        return {};
    return material;
}

// Gathered records go first; a full gathering buffer is sent and filled again for as long as the
// socket takes it.
TlsChannel::Transfer TlsChannel::write(const char *data, qint64 size)
{
    if (!handshaken || size <= 0)
        return {0, handshaken ? Step::Done : Step::Failed};
    for (;;) {
        const Step out = flush();
        if (out == Step::Failed)
            return {0, out};
        if (!keyStillSafe())
            return {0, fail(text("加密连接的密钥已用满"))};
        ERR_clear_error();
        errno = 0;
        size_t written = 0;
        const int result = SSL_write_ex(ssl.get(), data, size_t(size), &written);
        if (result == 1) {
            countSent(qint64(written));
            return {qint64(written), flush() == Step::Failed ? Step::Failed : Step::Done};
        }
        const Step step = stepAfter(result);
        if (step != Step::WantWrite || !gather || out == Step::WantWrite)
            return {0, step};
    }
}

TlsChannel::Step TlsChannel::flush()
{
    if (!gather)
        return handshaken ? Step::Done : Step::Failed;
    switch (gather->flush()) {
    case RecordGather::Flush::Done:
        return Step::Done;
    case RecordGather::Flush::Blocked:
        return Step::WantWrite;
    default:
        // The session stays: what the peer sent before the reset our send met can still be read.
        if (error.isEmpty())
            error = text("加密连接中断：%1").arg(openSslError());
        return Step::Failed;
    }
}

void TlsChannel::countSent(qint64 bytes)
{
    sentUnderKey += bytes;
}

// Renews the sending key when it is due; the update goes out with the next record and the peer
// renews its receiving key as it reads it. OpenSSL cannot renew a key the kernel holds: there the
// session ends at kernelKeyBytes instead, and the transfer goes on in a new one.
bool TlsChannel::keyStillSafe()
{
    if (sentUnderKey < (kernelSend ? kernelKeyBytes : rekeyAfter))
        return true;
    if (kernelSend)
        return false;
    if (SSL_key_update(ssl.get(), SSL_KEY_UPDATE_NOT_REQUESTED) == 1) {
        sentUnderKey = 0;
        ++renewals;
    }
    return true;
}

void TlsChannel::setRekeyBytes(qint64 bytes)
{
    nextRekeyBytes = bytes;
}

TlsChannel::Transfer TlsChannel::read(char *data, qint64 size)
{
    if (!handshaken)
        return {0, Step::Failed};
    ERR_clear_error();
    errno = 0;
    size_t done = 0;
    const int result = SSL_read_ex(ssl.get(), data, size_t(size), &done);
    if (result == 1)
        return {qint64(done), Step::Done};
    return {0, stepAfter(result)};
}

TlsChannel::Transfer TlsChannel::sendFile(int file, qint64 offset, qint64 length)
{
    if (!handshaken || length <= 0)
        return {0, handshaken ? Step::Done : Step::Failed};
    if (kernelSend) {
        if (!keyStillSafe())
            return {0, fail(text("加密连接的密钥已用满"))};
        ERR_clear_error();
        errno = 0;
        const ossl_ssize_t sent = SSL_sendfile(ssl.get(), file, offset, size_t(length), 0);
        if (sent < 0)
            return {0, stepAfter(int(sent))};
        countSent(sent);
        return {qint64(sent), Step::Done};
    }
    // A retry must hand OpenSSL the same bytes again: they are still in the piece.
    if (!retrying) {
        piece.resize(size_t(pieceSize));
        do
            pieceBytes = ::pread(file, piece.data(), size_t(std::min(length, pieceSize)), offset);
        while (pieceBytes < 0 && errno == EINTR);
        if (pieceBytes <= 0)
            return {0, fail(text("无法读取要发送的文件"))};
    }
    const Transfer sent = write(piece.data(), pieceBytes);
    retrying = sent.step == Step::WantRead || sent.step == Step::WantWrite;
    return sent;
}

QString TlsChannel::cipherName() const
{
    return handshaken ? QString::fromLatin1(SSL_get_cipher_name(ssl.get())) : QString();
}

// Once close_notify is queued, a second SSL_shutdown would wait for the peer's; only the
// gathered records are sent then.
TlsChannel::Step TlsChannel::close()
{
    if (!handshaken)
        return Step::Failed;
    for (int tries = 0; !closeQueued && tries < 2; ++tries) {
        ERR_clear_error();
        const int result = SSL_shutdown(ssl.get());
        if (result >= 0) {
            closeQueued = true;
            break;
        }
        const Step step = stepAfter(result);
        if (step != Step::WantWrite || !gather)
            return step;
        const Step out = flush();
        if (out != Step::Done)
            return out;
    }
    return closeQueued ? flush() : Step::WantWrite;
}

TlsChannel::SendPath TlsChannel::sendPath()
{
    return SendPath(usedPath.load());
}
