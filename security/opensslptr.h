#ifndef OPENSSLPTR_H
#define OPENSSLPTR_H

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

// OpenSSL's objects held like any other: each is freed by its own function when its owner goes.
template <typename T, void (*Free)(T *)> struct OpenSslFree
{
    void operator()(T *object) const { Free(object); }
};

using BioPtr = std::unique_ptr<BIO, OpenSslFree<BIO, BIO_free_all>>;
using EvpKeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY, EVP_PKEY_free>>;
using SslContextPtr = std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX, SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, OpenSslFree<SSL, SSL_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslFree<X509, X509_free>>;

#endif // OPENSSLPTR_H
