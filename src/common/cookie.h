#pragma once

#include <cstdint>
#include <string>

namespace tw {

// One cookie as a browser keeps it: from a site's Set-Cookie, a cookies.txt file or a login
// made elsewhere.
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
