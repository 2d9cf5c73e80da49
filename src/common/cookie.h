#pragma once

#include <cstdint>
#include <string>

namespace tw {

// One cookie as a browser keeps it: from a site's Set-Cookie, a cookies.txt file or a login
// made elsewhere. A window that logs in with a browser's view hands its cookies over as these, in
// JobSettings::cookies before the copy starts; a cookie of Qt's network module maps field by
// field: name, value, domain (a leading "." makes it a domain cookie, hostOnly false; none: the
// host logged in to), path, isSecure, isHttpOnly, and the expiration date in seconds (0 for a
// session cookie). The engine keeps them with what the site sets (Engine::Cookies).
struct Cookie
{
    std::string name;
    std::string value;
    // Lower case, without a leading dot.
    std::string domain;
    std::string path = "/";
    // Sent to domain alone, not to the hosts below it.
    bool hostOnly = true;
    // Sent over TLS alone.
    bool secure = false;
    // Kept from a page's scripts; the copier runs none, so it only travels with the cookie.
    bool httpOnly = false;
    // When it expires, in seconds since 1970 (UTC); 0: when the copy ends.
    std::int64_t expires = 0;
};

} // namespace tw
