#include "transport/tlssession.h"

#include "transport/socketcalls.h"
#include "transport/tlslibrary.h"

#include <algorithm>
#include <climits>
#include <string_view>

namespace tw {

namespace {

struct ContextFree
{
    void operator()(SSL_CTX *context) const { Tls()->SSL_CTX_free(context); }
};
using ContextPtr = std::unique_ptr<SSL_CTX, ContextFree>;

// Sessions keep their own reference, so a context replaced by new trust outlives them. It is
// made for the first secure connection: reading the system's authorities takes longer than a
// small plain copy.
ContextPtr &CurrentContext()
{
    static ContextPtr context;
    return context;
}

TlsTrust &CurrentTrust()
{
    static TlsTrust trust;
    return trust;
}

bool AddAuthorities(const TlsLibrary &ssl, X509_STORE *store, const std::string &pem)
{
    BIO *input = ssl.BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (input == nullptr)
        return false;
    int added = 0;
    while (X509 *certificate = ssl.PEM_read_bio_X509(input, nullptr, nullptr, nullptr)) {
        if (ssl.X509_STORE_add_cert(store, certificate) == 1)
            ++added;
        ssl.X509_free(certificate);
    }
    ssl.BIO_free(input);
    // Reading stops with an end-of-file error on the queue; it must not be seen by later calls.
    ssl.ERR_clear_error();
    return added > 0;
}

ContextPtr MakeContext(const TlsLibrary &ssl, const TlsTrust &trust)
{
    ContextPtr context(ssl.SSL_CTX_new(ssl.TLS_client_method()));
    if (!context)
        return nullptr;
    // SSL_CTX_set_min_proto_version() and SSL_CTX_set_mode() are macros over this call.
    ssl.SSL_CTX_ctrl(context.get(), SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    ssl.SSL_CTX_ctrl(context.get(), SSL_CTRL_MODE,
        SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER, nullptr);
    // Many servers end an HTTP/1.0 answer by closing without close_notify; that is still its end.
    ssl.SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    ssl.SSL_CTX_set_default_verify_paths(context.get());
    if (!trust.extraAuthorities.empty()
        && !AddAuthorities(ssl, ssl.SSL_CTX_get_cert_store(context.get()), trust.extraAuthorities))
        return nullptr;
    ssl.SSL_CTX_set_verify(
        context.get(), trust.verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    return context;
}

SSL_CTX *Context(const TlsLibrary &ssl)
{
    ContextPtr &context = CurrentContext();
    if (!context)
        context = MakeContext(ssl, CurrentTrust());
    return context.get();
}

ConnectFailure FailureOfVerification(long result)
{
    switch (result) {
    case X509_V_OK:
        return ConnectFailure::HandshakeFailed;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return ConnectFailure::CertificateWrongHost;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return ConnectFailure::CertificateExpired;
    default:
        return ConnectFailure::CertificateUntrusted;
    }
}

// SSL_get_error() reads the error queue and the socket error of the call just made.
void ClearErrors()
{
    Tls()->ERR_clear_error();
    ClearSocketError();
}

int ClampedSize(std::size_t size)
{
    return static_cast<int>(std::min<std::size_t>(size, INT_MAX));
}

} // namespace

bool SetTlsTrust(const TlsTrust &trust)
{
    if (!trust.extraAuthorities.empty()) {
        const TlsLibrary *ssl = Tls();
        if (ssl == nullptr)
            return false;
        X509_STORE *readable = ssl->X509_STORE_new();
        const bool read
            = readable != nullptr && AddAuthorities(*ssl, readable, trust.extraAuthorities);
        ssl->X509_STORE_free(readable);
        if (!read)
            return false;
    }
    CurrentTrust() = trust;
    CurrentContext().reset();
    return true;
}

bool TlsAvailable()
{
    return Tls() != nullptr;
}

TlsSession::TlsSession(SocketHandle socket, const std::string &peerName, bool offerHttp2)
{
    const TlsLibrary *ssl = Tls();
    if (ssl == nullptr) {
        m_failure = ConnectFailure::TlsUnavailable;
        return;
    }
    SSL_CTX *context = Context(*ssl);
    m_ssl = context != nullptr ? ssl->SSL_new(context) : nullptr;
    if (m_ssl == nullptr || ssl->SSL_set_fd(m_ssl, static_cast<int>(socket)) != 1) {
        m_failure = ConnectFailure::HandshakeFailed;
        return;
    }
    if (IsAddressLiteral(peerName)) {
        ssl->X509_VERIFY_PARAM_set1_ip_asc(ssl->SSL_get0_param(m_ssl), peerName.c_str());
    } else {
        // What SSL_set_tlsext_host_name() does, without its casts.
        ssl->SSL_ctrl(m_ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
            const_cast<char *>(peerName.c_str()));
        ssl->SSL_set1_host(m_ssl, peerName.c_str());
    }
    if (offerHttp2) {
        // The protocols in ALPN's wire form: each name after its length.
        static constexpr unsigned char kProtocols[] = "\x02h2\x08http/1.1";
        ssl->SSL_set_alpn_protos(m_ssl, kProtocols, sizeof kProtocols - 1);
    }
    ssl->SSL_set_connect_state(m_ssl);
}

bool TlsSession::SpeaksHttp2() const
{
    if (m_ssl == nullptr)
        return false;
    const unsigned char *chosen = nullptr;
    unsigned int length = 0;
    Tls()->SSL_get0_alpn_selected(m_ssl, &chosen, &length);
    return std::string_view(reinterpret_cast<const char *>(chosen), length) == "h2";
}

TlsSession::~TlsSession()
{
    // No close_notify: a connection is only ever dropped, never ended politely.
    if (m_ssl != nullptr)
        Tls()->SSL_free(m_ssl);
}

TlsSession::Io TlsSession::Handshake()
{
    if (m_ssl == nullptr)
        return Io::Failed;
    ClearErrors();
    const int result = Tls()->SSL_do_handshake(m_ssl);
    if (result == 1)
        return Io::Done;
    const Io io = Outcome(result);
    if (io == Io::Failed || io == Io::Closed) {
        m_failure = FailureOfVerification(Tls()->SSL_get_verify_result(m_ssl));
        return Io::Failed;
    }
    return io;
}

TlsSession::Io TlsSession::Read(char *out, std::size_t size, std::size_t &moved)
{
    ClearErrors();
    return Moved(Tls()->SSL_read(m_ssl, out, ClampedSize(size)), moved);
}

TlsSession::Io TlsSession::Write(const char *data, std::size_t size, std::size_t &moved)
{
    ClearErrors();
    return Moved(Tls()->SSL_write(m_ssl, data, ClampedSize(size)), moved);
}

TlsSession::Io TlsSession::Moved(int result, std::size_t &moved)
{
    moved = result > 0 ? static_cast<std::size_t>(result) : 0;
    return result > 0 ? Io::Done : Outcome(result);
}

bool TlsSession::HasPending() const
{
    return m_ssl != nullptr && Tls()->SSL_has_pending(m_ssl) == 1;
}

TlsSession::Io TlsSession::Outcome(int result)
{
    switch (Tls()->SSL_get_error(m_ssl, result)) {
    case SSL_ERROR_WANT_READ:
        return Io::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return Io::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        return Io::Closed;
    case SSL_ERROR_SYSCALL:
        // No socket error: the stream ended; any error, a reset among them, breaks it.
        return HasSocketError() ? Io::Failed : Io::Closed;
    default:
        return Io::Failed;
    }
}

} // namespace tw
