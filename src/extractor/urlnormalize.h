#pragma once

// Turns raw links cut out of a page into site URLs: no scheme, host first, forward slashes,
// single slashes in the path, "index.html" for a directory. All functions are pure text work on
// byte strings; comparisons are exact unless a function says it lower-cases.

#include <optional>
#include <string>
#include <string_view>

namespace tw {

// The site URL for rawLink found on a page whose directory is base (a site URL ending in "/").
// Every link that does not begin with "http://" is taken relative to base, a leading "/"
// included. In a secure job a link that begins with "https://" (any case) is as absolute as one
// that begins with "http://": the job has one scheme. nullopt when the result does not contain
// siteHost (case ignored): not on the site.
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

} // namespace tw
