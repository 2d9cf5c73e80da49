#pragma once

// The page stored where the site answered with a redirect, so that links to the old address
// still lead somewhere when the copy is browsed from disk.

#include <string>
#include <string_view>
#include <vector>

namespace tw {

// A page that sends a browser on to href at once (a refresh) and shows a plain link to it for
// those that do not follow refreshes. href is escaped for its attributes and text.
std::string RedirectPage(std::string_view href);

// The link from the stored file from to the stored file to, both system paths ("/" separators)
// below the same download folder, fitted as StoredLocationOf gives them: relative, with "/"
// separators, each name escaped for a URL.
std::string RelativeHref(std::string_view from, std::string_view to);

// RelativeHref from one stored file to many: a page's own place is worked out once.
class HrefsFrom
{
public:
    explicit HrefsFrom(std::string_view from);
    HrefsFrom(const HrefsFrom &) = delete;
    HrefsFrom &operator=(const HrefsFrom &) = delete;
    std::string To(std::string_view to) const;

private:
    std::string m_from;
    std::vector<std::string_view> m_source; // the names of m_from
};

} // namespace tw
