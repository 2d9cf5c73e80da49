#pragma once

// OpenSSL's calls, reached through the library loaded the first time a secure connection or a
// trust setting needs it: loading it costs more than the rest of a start, and a copy of a plain
// site never needs it. The program is not linked against it; its headers give the calls' types.

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace tw {

#define TW_TLS_CALLS(CALL)                                                                         \
    CALL(BIO_free)                                                                                 \
    CALL(BIO_new_mem_buf)                                                                          \
    CALL(ERR_clear_error)                                                                          \
    CALL(PEM_read_bio_X509)                                                                        \
    CALL(SSL_CTX_ctrl)                                                                             \
    CALL(SSL_CTX_free)                                                                             \
    CALL(SSL_CTX_get_cert_store)                                                                   \
    CALL(SSL_CTX_new)                                                                              \
    CALL(SSL_CTX_set_default_verify_paths)                                                         \
    CALL(SSL_CTX_set_options)                                                                      \
    CALL(SSL_CTX_set_verify)                                                                       \
    CALL(SSL_ctrl)                                                                                 \
    CALL(SSL_do_handshake)                                                                         \
    CALL(SSL_free)                                                                                 \
    CALL(SSL_get0_alpn_selected)                                                                   \
    CALL(SSL_get0_param)                                                                           \
    CALL(SSL_get_error)                                                                            \
    CALL(SSL_get_verify_result)                                                                    \
    CALL(SSL_has_pending)                                                                          \
    CALL(SSL_new)                                                                                  \
    CALL(SSL_read)                                                                                 \
    CALL(SSL_set1_host)                                                                            \
    CALL(SSL_set_alpn_protos)                                                                      \
    CALL(SSL_set_connect_state)                                                                    \
    CALL(SSL_set_fd)                                                                               \
    CALL(SSL_write)                                                                                \
    CALL(TLS_client_method)                                                                        \
    CALL(X509_STORE_add_cert)                                                                      \
    CALL(X509_STORE_free)                                                                          \
    CALL(X509_STORE_new)                                                                           \
    CALL(X509_VERIFY_PARAM_set1_ip_asc)                                                            \
    CALL(X509_free)

struct TlsLibrary
{
// The name declared cannot stand in parentheses.
// NOLINTNEXTLINE(bugprone-macro-parentheses)
#define TW_TLS_POINTER(name) decltype(&::name) name = nullptr;
    TW_TLS_CALLS(TW_TLS_POINTER)
#undef TW_TLS_POINTER
};

// The library with every call found, loaded on the first use; nullptr when it cannot be loaded,
// which makes every secure connection fail with ConnectFailure::TlsUnavailable.
const TlsLibrary *Tls();

} // namespace tw
