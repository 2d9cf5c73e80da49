#pragma once

// Turns raw links cut out of a page into site URLs: no scheme, host first, forward slashes,
// single slashes in the path, "index.html" for a directory. All functions are pure text work on
// byte strings; comparisons are exact unless a function says it lower-cases.

#include <optional>
#include <string>
#include <string_view>

namespace tw {

// How a link (with "/" separators) is written: with a scheme in any case, "https://" or
// "http://", as "//host...", as "/path..." from the host, or relative to its page's folder.
enum class LinkForm { Secure, Plain, ProtocolRelative, RootRelative, Relative };
LinkForm FormOfLink(std::string_view link);

// The site URL for rawLink found on a page whose directory is base (a site URL ending in "/"),
// resolved as a browser does: "http://" in any case is absolute, and so is "https://" in a secure
// job (the job has one scheme; in a plain job such a link is not the site's); "//" is absolute
// with the job's scheme; a single "/" is taken from base's host; anything else is joined to base.
// nullopt when the link's host is not the site's: hosts are compared in lower case, without any
// "www." and without a port, and a sub-domain of the site counts as the site.
std::optional<std::string> NormalizeLink(std::string_view rawLink, std::string_view base,
    std::string_view siteHost, bool secureJob = false);

// The first seven characters stay; the rest is trimmed and every "//" in it becomes "/" in one
// pass (so "///" leaves "//").
std::string CollapseSlashes(std::string_view url);

// True when url holds one of the ten markers (".com/..", ".org/..", ...) of a climb above a host
// under a well-known top-level domain. Climbs under other domains are not seen here.
bool ClimbsAboveHost(std::string_view url);

// Resolves every "/../" against the segment in front of it; the host is never removed, so
// host/../c.html gives host/c.html.
std::string ResolveDotDot(std::string_view url);

// Drops "/./" (one pass) and gives a scheme written "http:/" its second slash.
std::string TidyLink(std::string_view url);

// url as a path relative to the output directory: no scheme, no "www.", "\" separators, trimmed.
std::string UrlToRelativePath(std::string_view url);

// The URL as the scheduler keeps it: trimmed, a leading "http://" (any case) removed with the rest
// lower-cased, every "http:\\" removed, "\" turned into "/".
std::string StripScheme(std::string_view url);

// The longest request path sent; a longer one is cut.
constexpr std::size_t kMaxRequestPath = 999;

// What a fetch of a queued URL asks for and where it is saved: url is the URL as fetched (its
// scheme stripped, ".jpeg" spelled ".jpg"), host and path its parts; a path without a dot names a
// directory and ends in "/".
struct FetchTarget
{
    std::string url;
    std::string host;
    std::string path;
};
FetchTarget FetchTargetOf(std::string_view queuedUrl);

} // namespace tw
