#pragma once

// The client side of TLS over a connected non-blocking socket, through OpenSSL. It never blocks
// and never touches the event loop: every call reports whether it needs the socket to become
// readable or writable before it can go on, and `Connection` waits for that.

#include "transport/socketcalls.h"

#include <cstddef>
#include <memory>
#include <string>

struct ssl_st;

namespace tw {

// Why a connection could not be used.
enum class ConnectFailure {
    None,
    NameNotFound,
    Refused,
    CertificateUntrusted,
    CertificateWrongHost,
    CertificateExpired,
    HandshakeFailed,
    TlsUnavailable, // OpenSSL could not be loaded
    ProxyUnusable, // the proxy's URL names no HTTP proxy
    ProxyNameNotFound,
    ProxyRefused,
    ProxyWantsPassword, // the proxy answered 407 to a tunnel asked without a password
    ProxyRefusedPassword, // the proxy answered 407 or 401 to the password given
    TunnelRefused, // the proxy answered the tunnel with another status
    TunnelClosed // the proxy closed the connection before the tunnel was open
};

// Whom secure connections trust. Process-wide, like the connect-to map: the command line sets it
// once; tests set it per case.
struct TlsTrust
{
    // PEM certificates trusted in addition to the system's; empty for none.
    std::string extraAuthorities;
    // Off: any certificate is accepted, for whatever host.
    bool verify = true;
};

// Applies trust to every secure connection opened afterwards. False, and the trust before stays,
// when extraAuthorities cannot be read as PEM certificates (or OpenSSL cannot be loaded to read
// them: TlsAvailable() tells).
bool SetTlsTrust(const TlsTrust &trust);
// Whether OpenSSL could be loaded; without it no secure connection can be made.
bool TlsAvailable();

class TlsSession
{
public:
    enum class Io {
        Done, // some bytes moved, or the handshake is complete
        WantRead, // nothing to do until the socket is readable
        WantWrite, // nothing to do until the socket is writable
        Closed, // the peer ended the stream (with or without close_notify)
        Failed // the stream is broken: reset, or a protocol error
    };

    // Prepares a session on socket for peerName, the host as the user named it (a name, or an
    // address without brackets): sent as SNI and checked against the certificate. With
    // offerHttp2, the handshake offers HTTP/2 before HTTP/1.1.
    TlsSession(SocketHandle socket, const std::string &peerName, bool offerHttp2 = false);
    ~TlsSession();
    TlsSession(const TlsSession &) = delete;
    TlsSession &operator=(const TlsSession &) = delete;

    Io Handshake();
    // Why the handshake failed; meaningful after Handshake() returned Failed.
    ConnectFailure Failure() const { return m_failure; }
    // Decrypts up to size bytes into out; moved counts them when the result is Done.
    Io Read(char *out, std::size_t size, std::size_t &moved);
    Io Write(const char *data, std::size_t size, std::size_t &moved);
    // True when decrypted bytes wait inside the session, where no socket event announces them.
    bool HasPending() const;
    // The server chose HTTP/2 in the handshake.
    bool SpeaksHttp2() const;

private:
    Io Outcome(int result);
    // The outcome of a read or write that returned result, with the bytes it moved.
    Io Moved(int result, std::size_t &moved);

    ssl_st *m_ssl = nullptr;
    ConnectFailure m_failure = ConnectFailure::None;
};

} // namespace tw
