#include "security/identity.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString text(const char *source)
{
    return QCoreApplication::translate("Identity", source);
}

QByteArray randomHex(int size)
{
    QByteArray bytes(size, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(bytes.data()), size) != 1)
        return {};
    return bytes.toHex();
}

// Neither end trusts dates: pairing and pinning vouch for a certificate. Machines on a LAN without
// network time may run years off, so the certificate holds from 2000 and never expires
// (99991231235959Z is the date RFC 5280 sets aside for that).
X509Ptr makeCertificate(EVP_PKEY *key)
{
    X509Ptr certificate(X509_new());
    const QByteArray id = randomHex(16);
    std::uint64_t serial = 0;
    if (!certificate || id.isEmpty() ||
        RAND_bytes(reinterpret_cast<unsigned char *>(&serial), sizeof serial) != 1)
        return nullptr;
    X509 *x = certificate.get();
    X509_NAME *name = X509_get_subject_name(x);
    const bool built =
        X509_set_version(x, X509_VERSION_3) == 1 &&
        ASN1_INTEGER_set_uint64(X509_get_serialNumber(x), serial >> 1) == 1 &&
        ASN1_TIME_set_string_X509(X509_getm_notBefore(x), "20000101000000Z") == 1 &&
        ASN1_TIME_set_string_X509(X509_getm_notAfter(x), "99991231235959Z") == 1 &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char *>(id.constData()), -1, -1,
                                   0) == 1 &&
        X509_set_issuer_name(x, name) == 1 && X509_set_pubkey(x, key) == 1 &&
        X509_sign(x, key, nullptr) > 0;
    return built ? std::move(certificate) : nullptr;
}

QByteArray pem(const std::function<int(BIO *)> &write)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    char *data = nullptr;
    if (!bio || write(bio.get()) != 1)
        return {};
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, int(size));
}

// Created with its final mode and never over an existing file, so the key is not readable by
// others for a moment and a second copy of the program cannot overwrite a pair being made.
bool writeNew(const QString &path, const QByteArray &data, mode_t mode)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0)
        return false;
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    const bool synced = done == data.size() && ::fsync(fd) == 0;
    const bool written = ::close(fd) == 0 && synced;
    if (!written)
        ::unlink(QFile::encodeName(path).constData());
    return written;
}

} // namespace

Identity::Identity(const QString &folder)
{
    const QDir dir(folder);
    const QString keyPath = dir.filePath(keyFileName());
    const QString certificatePath = dir.filePath(certificateFileName());
    const bool keyThere = QFileInfo::exists(keyPath) || QFileInfo(keyPath).isSymLink();
    const bool certificateThere =
        QFileInfo::exists(certificatePath) || QFileInfo(certificatePath).isSymLink();
    if (!keyThere && !certificateThere)
        made = make(keyPath, certificatePath);
    else if (keyThere && certificateThere)
        load(keyPath, certificatePath);
    else
        fail(text("身份文件不完整：缺少「%1」")
                 .arg(keyThere ? certificateFileName() : keyFileName()));
}

const Identity &Identity::shared()
{
    static const Identity identity(QDir::currentPath());
    return identity;
}

bool Identity::fail(const QString &why)
{
    key.reset();
    certificate.reset();
    own = {};
    error = why;
    return false;
}

bool Identity::load(const QString &keyPath, const QString &certificatePath)
{
    struct stat info;
    if (::stat(QFile::encodeName(keyPath).constData(), &info) == 0 && (info.st_mode & 077))
        return fail(text("「%1」可被其他用户读取，已停止使用").arg(keyFileName()));
    QFile keyFile(keyPath);
    QFile certificateFile(certificatePath);
    if (!keyFile.open(QIODevice::ReadOnly) || !certificateFile.open(QIODevice::ReadOnly))
        return fail(
            text("无法读取身份文件「%1」").arg(keyFile.isOpen() ? certificatePath : keyPath));
    QByteArray keyPem = keyFile.readAll();
    const QByteArray certificatePem = certificateFile.readAll();
    BioPtr keyBio(BIO_new_mem_buf(keyPem.constData(), int(keyPem.size())));
    BioPtr certificateBio(BIO_new_mem_buf(certificatePem.constData(), int(certificatePem.size())));
    key.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    certificate.reset(PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
    OPENSSL_cleanse(keyPem.data(), size_t(keyPem.size()));
    if (!key || !certificate || X509_check_private_key(certificate.get(), key.get()) != 1)
        return fail(
            text("身份文件「%1」与「%2」已损坏或不成对").arg(keyFileName(), certificateFileName()));
    own = Fingerprint::of(certificate.get());
    return true;
}

bool Identity::make(const QString &keyPath, const QString &certificatePath)
{
    key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (key)
        certificate = makeCertificate(key.get());
    if (!key || !certificate)
        return fail(text("无法生成本机身份"));
    QByteArray keyPem = pem([this](BIO *bio) {
        return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    const QByteArray certificatePem =
        pem([this](BIO *bio) { return PEM_write_bio_X509(bio, certificate.get()); });
    const bool keyWritten = writeNew(keyPath, keyPem, 0600);
    OPENSSL_cleanse(keyPem.data(), size_t(keyPem.size()));
    if (!keyWritten || !writeNew(certificatePath, certificatePem, 0644)) {
        // Only what this call made goes: a file that was there first is someone else's.
        if (keyWritten)
            QFile::remove(keyPath);
        return fail(text("无法保存本机身份到「%1」").arg(QFileInfo(keyPath).absolutePath()));
    }
    own = Fingerprint::of(certificate.get());
    return true;
}
