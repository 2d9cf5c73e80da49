#pragma once

// Where a job fetches from: its scheme, and URLs kept without one ("host[:port]/path"). Pure
// functions for the start URL as typed, for hosts that take "www.", for telling one site from
// another and for reading where a redirect points.

#include <optional>
#include <string>
#include <string_view>

namespace tw {

inline constexpr unsigned kHttpPort = 80;
inline constexpr unsigned kHttpsPort = 443;

struct SiteAddress
{
    bool secure = false;
    // Lower case for hosts read from a Location; ":port" only when it is not the scheme's own.
    std::string host;
    // From the first "/"; empty when the URL names only its host.
    std::string path;

    std::string Url() const { return host + path; }
};

struct StartAddress
{
    SiteAddress address;
    // "www." was put in front of the host as typed.
    bool wwwAdded = false;
};

// The host part of a URL: the text before the first of "#", "'", ">", "}", "?", " ", "/", "\".
std::string HostOfUrl(std::string_view text);

// True when "www." may be put in front of host ("name[:port]"): not for an IPv4 address, an IPv6
// address in brackets, "localhost" or a name without a dot.
bool TakesWww(std::string_view host);

// host without the ":port" the scheme implies (":80" for http, ":443" for https).
std::string WithoutDefaultPort(std::string_view host, bool secure);

// The start URL as the job uses it: trimmed; "https://" (any case) makes it secure and goes, as
// "http://" does; "www." goes in front of a host that takes it when the text holds no "www."
// anywhere; the scheme's own port goes.
StartAddress ParseStartUrl(std::string_view typed);

// True when the start URL as typed names a host to copy: not empty, spaces, a scheme or "www."
// alone.
bool NamesAHost(std::string_view typed);

// host ("name[:port]") without its ":port", an IPv6 address's brackets kept.
std::string_view HostName(std::string_view host);

// The same site: the hosts are equal once case, every "www." and any port are ignored.
bool SameSite(std::string_view host, std::string_view otherHost);

// The address a Location header value points to, read against the address that answered it.
// Absolute ("http://", "https://", any case), scheme-relative ("//host/..."), root-relative
// ("/...") and relative values are understood; the fragment goes. Nothing for another scheme.
std::optional<SiteAddress> ResolveLocation(std::string_view location, const SiteAddress &from);

// "http://" or "https://" followed by the URL.
std::string AbsoluteUrl(const SiteAddress &address);

} // namespace tw
