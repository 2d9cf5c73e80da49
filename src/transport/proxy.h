#pragma once

// Fetches through an HTTP proxy: which proxy a fetch goes through, if any (pure, from the
// settings and the environment as read), the CONNECT request that opens a tunnel for a secure
// site, and the reading of the proxy's answer to it.

#include "common/sitejob.h"
#include "transport/endpoint.h"

#include <optional>
#include <string>
#include <string_view>

namespace tw {

struct HttpProxy
{
    Endpoint server;
    // The Proxy-Authorization value ("Basic ..."), sent to the proxy alone; empty without a user.
    std::string authorization;

    bool operator==(const HttpProxy &) const = default;
};

// "http://[user[:password]@]host[:port][/]" or "host[:port]" (the port 80 when not named); the
// user and password may be percent-escaped. Nothing for another scheme or without a host.
std::optional<HttpProxy> ParseProxyUrl(std::string_view url);

// url with its "user:password@" removed, to be shown.
std::string WithoutUserInfo(std::string_view url);

// True when no_proxy sends a fetch of name on port around the proxy: a comma list of host
// names, domain suffixes (".example.com" and "example.com" alike take its sub-domains too),
// addresses, any of them with ":port", and "*" for every host. Case is ignored. A loopback
// name or address goes through the proxy unless the list names it.
bool BypassesProxy(std::string_view name, quint16 port, std::string_view noProxy);

// The proxy a fetch of host ("name[:port]", the scheme's own port when none) goes through, over
// TLS or not; nothing for a direct connection. An unusable proxy URL gives a proxy whose server
// is invalid, so that the fetch fails with that reason instead of going around it.
std::optional<HttpProxy> ProxyFor(
    bool secure, std::string_view host, const ProxySettings &settings);

// The environment's proxies; the lower-case name first, an empty value as none.
ProxyEnvironment ReadProxyEnvironment();

// The CONNECT request that asks proxy for a tunnel to name on port.
std::string TunnelRequest(std::string_view name, quint16 port, const HttpProxy &proxy);

// What the proxy's answer to CONNECT says, as far as it arrived.
struct TunnelAnswer
{
    enum class Kind { Incomplete, Open, Refused };
    Kind kind = Kind::Incomplete;
    // The status of a whole head.
    int status = 0;
};
TunnelAnswer ReadTunnelAnswer(std::string_view received);

} // namespace tw
