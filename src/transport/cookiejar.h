#pragma once

// The cookies of one copy, kept as RFC 6265 says: what a site sets, what it is sent back, and
// the cookies.txt file they are read from and written to (tab-separated domain, include
// subdomains, path, secure, expiry, name, value). Pure: nothing is read from or written to disk.

#include "common/cookie.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

// The most cookies a jar holds; further ones are refused.
inline constexpr std::size_t kMostCookies = 3000;

class CookieJar
{
public:
    // Adds cookie, replacing the one of the same name, domain and path; an expired cookie
    // removes that one instead. False, nothing kept, for a cookie no browser would keep: a
    // domain cookie of a public suffix ("com", "co.uk") or of an IP address, a name or value
    // holding a control character or ';', an empty name or domain, or a full jar. now: seconds
    // since 1970 (UTC).
    bool Add(Cookie cookie, std::int64_t now);
    // Keeps what the Set-Cookie value sets, as received from host (no port) in answer to a
    // request for path, over TLS when secure. False when it sets nothing.
    bool TakeSetCookie(std::string_view setCookie, std::string_view host, std::string_view path,
        bool secure, std::int64_t now);
    // The value of the Cookie field for a request to host (no port) for path: "a=1; b=2", the
    // longest paths first; empty when no cookie goes there.
    std::string CookieFieldFor(
        std::string_view host, std::string_view path, bool secure, std::int64_t now) const;

    // Every cookie kept, in the order they were first set; expired ones may remain until the
    // next Add.
    const std::vector<Cookie> &Cookies() const { return m_cookies; }
    // The cookies not expired at now.
    std::vector<Cookie> Live(std::int64_t now) const;
    bool IsEmpty() const { return m_cookies.empty(); }
    void Clear() { m_cookies.clear(); }

private:
    std::vector<Cookie> m_cookies;
};

// host lies in domain: it is domain, or a name (not an IP address) ending in "." + domain.
bool DomainMatches(std::string_view host, std::string_view domain);
// cookie is sent to host: its own host alone, or the hosts in its domain.
bool GoesToHost(const Cookie &cookie, std::string_view host);
// The request path lies under cookiePath.
bool PathMatches(std::string_view requestPath, std::string_view cookiePath);
// The path a cookie set without one takes: the request's folder, without its last "/".
std::string DefaultCookiePath(std::string_view requestPath);
// A name cookies may not be set for: a top-level domain alone ("com", "localhost"), or a
// country's registry of the form "co.uk", "com.au".
bool IsPublicSuffixLike(std::string_view domain);
// A date as cookies write it ("Wed, 21 Oct 2015 07:28:00 GMT", "Wed, 21-Oct-15 07:28:00 GMT"),
// in seconds since 1970; nothing when it cannot be read.
std::optional<std::int64_t> CookieDate(std::string_view text);

// A cookies.txt file read: its cookies, and the first line that could not be read (1-based,
// 0 when all could) with what was wrong with it.
struct CookieFile
{
    std::vector<Cookie> cookies;
    int badLine = 0;
    std::string fault;
};
CookieFile ReadCookiesTxt(std::string_view text);
// cookies as a cookies.txt file, with its heading comment; session cookies have expiry 0.
std::string CookiesTxt(const std::vector<Cookie> &cookies);

} // namespace tw
