#include "crawl/failure.h"

namespace tw {

bool IsSecureConnectFailure(ConnectFailure failure)
{
    return failure == ConnectFailure::CertificateUntrusted
        || failure == ConnectFailure::CertificateWrongHost
        || failure == ConnectFailure::CertificateExpired
        || failure == ConnectFailure::HandshakeFailed || failure == ConnectFailure::TlsUnavailable;
}

} // namespace tw
