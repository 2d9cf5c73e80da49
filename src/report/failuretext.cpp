#include "report/failuretext.h"

#include "common/textconversion.h"
#include "output/filesystem.h"
#include "output/outputdirectory.h"

namespace tw {

namespace {

QString ConnectFailureText(ConnectFailure failure)
{
    switch (failure) {
    case ConnectFailure::None:
        break;
    case ConnectFailure::NameNotFound:
        return QStringLiteral("name not found");
    case ConnectFailure::Refused:
        return QStringLiteral("connection refused");
    case ConnectFailure::CertificateUntrusted:
        return QStringLiteral("certificate not trusted");
    case ConnectFailure::CertificateWrongHost:
        return QStringLiteral("certificate is for another host");
    case ConnectFailure::CertificateExpired:
        return QStringLiteral("certificate expired");
    case ConnectFailure::HandshakeFailed:
        return QStringLiteral("TLS handshake failed");
    case ConnectFailure::TlsUnavailable:
        return QStringLiteral("secure connections need OpenSSL, which could not be loaded");
    case ConnectFailure::ProxyUnusable:
        return QStringLiteral("the proxy's URL names no HTTP proxy (http://HOST:PORT)");
    case ConnectFailure::ProxyNameNotFound:
        return QStringLiteral("proxy not reachable: name not found");
    case ConnectFailure::ProxyRefused:
        return QStringLiteral("proxy not reachable: connection refused");
    case ConnectFailure::ProxyWantsPassword:
        return QStringLiteral("the proxy wants a user and password (407)");
    case ConnectFailure::ProxyRefusedPassword:
        return QStringLiteral("the proxy refused the user and password");
    case ConnectFailure::TunnelRefused:
        break;
    case ConnectFailure::TunnelClosed:
        return QStringLiteral("the proxy closed the connection before its tunnel to the site was "
                              "open");
    }
    return {};
}

} // namespace

QString FailureText(const Failure &failure)
{
    using Kind = Failure::Kind;
    switch (failure.kind) {
    case Kind::Connect:
        if (failure.connect == ConnectFailure::TunnelRefused)
            return QStringLiteral("the proxy refused a tunnel to the site: %1")
                .arg(failure.announced);
        return ConnectFailureText(failure.connect);
    case Kind::TimedOut:
        return QStringLiteral("timed out three times");
    case Kind::BrokenHead:
        return QStringLiteral("no complete response header");
    case Kind::ShortBody:
        return QStringLiteral("incomplete: %1 of %2 bytes")
            .arg(failure.received)
            .arg(failure.announced);
    case Kind::Reset:
        return QStringLiteral("connection reset");
    case Kind::BrokenChunks:
        return QStringLiteral("broken chunked body");
    case Kind::TooLarge:
        return QStringLiteral("too large");
    case Kind::BadCoding:
        return QStringLiteral("its %1 body does not decode").arg(FromNetworkText(failure.detail));
    case Kind::HttpStatus:
        return QString::number(failure.announced)
            + (failure.detail.empty() ? QString() : QLatin1Char(' ') + DisplayText(failure.detail));
    case Kind::NotStored:
        return QStringLiteral("not stored: ") + FromLocalText(failure.detail);
    case Kind::LinksNotFollowed:
        return QStringLiteral("links not all followed: ") + FromLocalText(failure.detail);
    case Kind::PathClimbsAboveSite:
        return QStringLiteral("request refused: its path climbs above the site");
    case Kind::MovedToAnotherSite:
        return QStringLiteral("the site moved to ") + DisplayText(failure.detail);
    case Kind::RedirectLoop:
        return QStringLiteral("redirect loop at ") + DisplayText(failure.detail);
    case Kind::TooManyRedirects:
        return QStringLiteral("more than %1 redirects").arg(failure.announced);
    case Kind::LoginRefused:
        return QStringLiteral("401: the site refused the name and password");
    }
    return {};
}

QString UncleanFolderText(std::string_view dir)
{
    return QStringLiteral("the names of stored files lose \"__\", \"www.\" and * ? < > { } ! & |, "
                          "which would make it %1")
        .arg(FromLocalText(FileSystem::NativePath(CleanedOutputDirectory(dir))));
}

} // namespace tw
