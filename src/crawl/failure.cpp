#include "crawl/failure.h"

namespace tw {

bool IsLastingConnectFailure(ConnectFailure failure)
{
    switch (failure) {
    case ConnectFailure::CertificateUntrusted:
    case ConnectFailure::CertificateWrongHost:
    case ConnectFailure::CertificateExpired:
    case ConnectFailure::HandshakeFailed:
    case ConnectFailure::TlsUnavailable:
    case ConnectFailure::ProxyUnusable:
    case ConnectFailure::ProxyWantsPassword:
    case ConnectFailure::ProxyRefusedPassword:
        return true;
    default:
        return false;
    }
}

} // namespace tw
