// zerocopy: the plainest copy of a tree over one TCP connection, the benchmark's measure of what
// the machine itself can do. The sender walks the tree and sends, for each folder and file, a
// frame (kind, path, size) and then the file's contents with sendfile(2); the receiver reads in
// pieces of 1 MiB and writes the files. No checks of any kind.
//
//   zerocopy [--tls] receive PORT DEST        takes one connection, stores what comes into DEST
//   zerocopy [--tls] send ADDRESS PORT PATH   sends PATH (a file or a folder) and exits
//
// --tls runs the same stream through one OpenSSL TLS 1.3 connection with AES-128-GCM: files go
// with SSL_sendfile where the kernel took over the cipher (kernel TLS), else are read in pieces of
// 1 MiB and written with SSL_write. Which of the two ran is printed on stderr.
//
// Runs only inside a test host made by tests/netns.sh, as the benchmark runs it.

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <string>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t pieceSize = 1 << 20;

// The connection's TLS session with --tls, else none.
SSL *tls = nullptr;

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "zerocopy: %s: %s\n", what.c_str(), std::strerror(errno));
    if (tls)
        ERR_print_errors_fp(stderr);
    std::exit(1);
}

// A throwaway Ed25519 certificate on both ends: the yardstick measures the cipher, not who is who.
void makeCredentials(SSL_CTX *context)
{
    EVP_PKEY *key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    X509 *certificate = X509_new();
    X509_NAME *name = certificate ? X509_get_subject_name(certificate) : nullptr;
    if (!key || !name || ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1) != 1 ||
        !X509_gmtime_adj(X509_getm_notBefore(certificate), 0) ||
        !X509_gmtime_adj(X509_getm_notAfter(certificate), 86400) ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>("zerocopy"), -1, -1,
                                   0) != 1 ||
        X509_set_issuer_name(certificate, name) != 1 || X509_set_pubkey(certificate, key) != 1 ||
        X509_sign(certificate, key, nullptr) <= 0 ||
        SSL_CTX_use_certificate(context, certificate) != 1 ||
        SSL_CTX_use_PrivateKey(context, key) != 1)
        fail("TLS certificate");
    X509_free(certificate);
    EVP_PKEY_free(key);
}

void startTls(int connection, bool server)
{
    SSL_CTX *context = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (!context || SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_ciphersuites(context, "TLS_AES_128_GCM_SHA256") != 1)
        fail("TLS setup");
    SSL_CTX_set_options(context, SSL_OP_ENABLE_KTLS);
    SSL_CTX_set_num_tickets(context, 0);
    makeCredentials(context);
    tls = SSL_new(context);
    if (!tls || SSL_set_fd(tls, connection) != 1 ||
        (server ? SSL_accept(tls) : SSL_connect(tls)) != 1)
        fail("TLS handshake");
    std::fprintf(stderr, "zerocopy: TLS 1.3 %s, %s; kernel TLS receive: %s\n",
                 SSL_get_cipher_name(tls),
                 BIO_get_ktls_send(SSL_get_wbio(tls)) ? "kernel TLS send (SSL_sendfile)"
                                                      : "user-space send (SSL_write)",
                 BIO_get_ktls_recv(SSL_get_rbio(tls)) ? "yes" : "no");
}

// The same rule as the program's test hosts: no link up but loopback and the test link "nubo0".
bool insideTestHost()
{
    ifaddrs *links = nullptr;
    if (getifaddrs(&links) != 0)
        return false;
    bool inside = true;
    for (const ifaddrs *link = links; link; link = link->ifa_next) {
        if ((link->ifa_flags & IFF_UP) && !(link->ifa_flags & IFF_LOOPBACK) &&
            std::strcmp(link->ifa_name, "nubo0") != 0)
            inside = false;
    }
    freeifaddrs(links);
    return inside;
}

void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("write");
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// To the connection: written as they are, or through TLS.
void sendAll(int connection, const char *data, size_t size)
{
    if (!tls)
        return writeAll(connection, data, size);
    size_t written = 0;
    for (; size > 0; data += written, size -= written) {
        if (SSL_write_ex(tls, data, size, &written) != 1)
            fail("SSL_write");
    }
}

void sendFileTls(int connection, int file, const std::string &source, off_t size)
{
    if (BIO_get_ktls_send(SSL_get_wbio(tls))) {
        for (off_t offset = 0; offset < size;) {
            const ossl_ssize_t n = SSL_sendfile(tls, file, offset, size_t(size - offset), 0);
            if (n <= 0)
                fail("SSL_sendfile " + source);
            offset += n;
        }
        return;
    }
    static std::vector<char> piece(pieceSize);
    for (off_t offset = 0; offset < size;) {
        const ssize_t n =
            pread(file, piece.data(), std::min<size_t>(pieceSize, size_t(size - offset)), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("read " + source);
        sendAll(connection, piece.data(), size_t(n));
        offset += n;
    }
}

void sendFile(int connection, int file, const std::string &source, off_t size)
{
    off_t offset = 0;
    while (offset < size) {
        const ssize_t n = sendfile(connection, file, &offset, static_cast<size_t>(size - offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("sendfile " + source);
    }
}

// Frame: one byte 'd' or 'f', the path's length (4 bytes), the path, the size (8 bytes).
void sendFrame(int connection, char kind, const std::string &path, uint64_t size)
{
    std::string frame(1, kind);
    const uint32_t length = htonl(static_cast<uint32_t>(path.size()));
    frame.append(reinterpret_cast<const char *>(&length), sizeof length);
    frame += path;
    for (int shift = 56; shift >= 0; shift -= 8)
        frame += static_cast<char>((size >> shift) & 0xff);
    sendAll(connection, frame.data(), frame.size());
}

void sendTree(int connection, const std::string &source, const std::string &path)
{
    struct stat info;
    if (lstat(source.c_str(), &info) != 0)
        fail(source);
    if (S_ISDIR(info.st_mode)) {
        sendFrame(connection, 'd', path, 0);
        DIR *dir = opendir(source.c_str());
        if (!dir)
            fail(source);
        while (const dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                sendTree(connection, source + "/" + name, path + "/" + name);
        }
        closedir(dir);
    } else if (S_ISREG(info.st_mode)) {
        const int file = open(source.c_str(), O_RDONLY);
        if (file < 0)
            fail(source);
        sendFrame(connection, 'f', path, static_cast<uint64_t>(info.st_size));
        if (tls)
            sendFileTls(connection, file, source, info.st_size);
        else
            sendFile(connection, file, source, info.st_size);
        close(file);
    }
}

int send(const char *address, int port, const std::string &source, bool useTls)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address, &peer.sin_addr) != 1) {
        std::fprintf(stderr, "zerocopy: not an IPv4 address: %s\n", address);
        return 1;
    }
    const int connection = socket(AF_INET, SOCK_STREAM, 0);
    if (connection < 0 ||
        connect(connection, reinterpret_cast<sockaddr *>(&peer), sizeof peer) != 0)
        fail("connect");
    if (useTls)
        startTls(connection, false);
    // Corked, the frames and the small files after them leave in full segments.
    const int on = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
    std::string path = source;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    sendTree(connection, path, path.substr(path.find_last_of('/') + 1));
    if (tls)
        SSL_shutdown(tls);
    const int off = 0;
    setsockopt(connection, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
    shutdown(connection, SHUT_WR);
    char rest;
    while (read(connection, &rest, 1) > 0) {
    }
    close(connection);
    return 0;
}

// The connection's bytes through one 1 MiB buffer.
class Stream
{
public:
    explicit Stream(int connection) : connection(connection), buffer(pieceSize) {}

    // Makes `size` bytes available at data(); false at the end of the stream.
    bool need(size_t size)
    {
        if (end - begin >= size)
            return true;
        std::memmove(buffer.data(), buffer.data() + begin, end - begin);
        end -= begin;
        begin = 0;
        while (end < size) {
            const ssize_t n = fill(buffer.size() - end);
            if (n <= 0)
                return false;
            end += static_cast<size_t>(n);
        }
        return true;
    }

    const char *data() const { return buffer.data() + begin; }
    void consume(size_t size) { begin += size; }

    // Copies the next `size` bytes into `file`.
    void copy(int file, uint64_t size)
    {
        while (size > 0) {
            if (begin == end) {
                begin = end = 0;
                const ssize_t n = fill(buffer.size());
                if (n <= 0)
                    fail("connection ended inside a file");
                end = static_cast<size_t>(n);
            }
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(size, end - begin));
            writeAll(file, data(), piece);
            consume(piece);
            size -= piece;
        }
    }

private:
    ssize_t fill(size_t room)
    {
        if (tls)
            return fillTls(room);
        ssize_t n;
        do
            n = read(connection, buffer.data() + end, room);
        while (n < 0 && errno == EINTR);
        if (n < 0)
            fail("read");
        return n;
    }

    ssize_t fillTls(size_t room)
    {
        size_t n = 0;
        if (SSL_read_ex(tls, buffer.data() + end, room, &n) == 1)
            return ssize_t(n);
        if (SSL_get_error(tls, 0) != SSL_ERROR_ZERO_RETURN)
            fail("SSL_read");
        return 0;
    }

    int connection;
    std::vector<char> buffer;
    size_t begin = 0;
    size_t end = 0;
};

int receive(int port, const std::string &destination, bool useTls)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        listen(listener, 1) != 0)
        fail("listen");
    const int connection = accept(listener, nullptr, nullptr);
    if (connection < 0)
        fail("accept");
    close(listener);
    if (useTls)
        startTls(connection, true);
    Stream stream(connection);
    constexpr size_t head = 1 + 4;
    while (stream.need(head)) {
        const char kind = stream.data()[0];
        uint32_t length;
        std::memcpy(&length, stream.data() + 1, sizeof length);
        length = ntohl(length);
        stream.consume(head);
        if (!stream.need(length + 8))
            fail("connection ended inside a frame");
        const std::string path = destination + "/" + std::string(stream.data(), length);
        uint64_t size = 0;
        for (int i = 0; i < 8; ++i)
            size = size << 8 | static_cast<unsigned char>(stream.data()[length + i]);
        stream.consume(length + 8);
        if (kind == 'd') {
            if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
                fail(path);
            continue;
        }
        const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (file < 0)
            fail(path);
        stream.copy(file, size);
        close(file);
    }
    if (tls)
        SSL_shutdown(tls);
    close(connection);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool useTls = argc > 1 && std::strcmp(argv[1], "--tls") == 0;
    if (useTls) {
        --argc;
        ++argv;
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    if (!(mode == "receive" && argc == 4) && !(mode == "send" && argc == 5)) {
        std::fprintf(stderr, "usage: zerocopy [--tls] receive PORT DEST | "
                             "zerocopy [--tls] send ADDRESS PORT PATH\n");
        return 64;
    }
    if (!insideTestHost()) {
        std::fprintf(stderr, "zerocopy runs only inside a test host (tests/netns.sh)\n");
        return 64;
    }
    return mode == "receive" ? receive(std::atoi(argv[2]), argv[3], useTls)
                             : send(argv[2], std::atoi(argv[3]), argv[4], useTls);
}
