#pragma once

// Turns raw links cut out of a page into site URLs: no scheme, host first, forward slashes,
// single slashes in the path, "index.html" for a directory. All functions are pure text work on
// byte strings; comparisons are exact unless a function says it lower-cases.

#include "common/pathform.h"

#include <optional>
#include <string>
#include <string_view>

namespace tw {

// How a link (with "/" separators) is written: with a scheme in any case, "https://" or
// "http://", as "//host...", as "/path..." from the host, relative to its page's folder, or with
// any other scheme (letters, digits, "+", "-" and "." before a ":" that comes before any "/", "?"
// or "#": "mailto:", "file:", "javascript:", "data:"), which no copy fetches.
enum class LinkForm { Secure, Plain, ProtocolRelative, RootRelative, Relative, OtherScheme };
LinkForm FormOfLink(std::string_view link);

// The site URL for rawLink found on a page whose directory is base (a site URL ending in "/"),
// resolved as a browser does: "http://" in any case is absolute, and so is "https://" in a secure
// job (the job has one scheme; in a plain job such a link is not the site's); "//" is absolute
// with the job's scheme; a single "/" is taken from base's host; anything else is joined to base.
// nullopt when the link has another scheme or its host is not the site's: hosts are compared in
// lower case, without any "www." and without the port its scheme implies, and a sub-domain of
// the site (on the same port) counts as the site. A last segment "." or ".." names a folder, so it
// gets "index.html" like one ending in "/". With anyHost, a link to any host is taken;
// in a plain job, an "https://" one to a host without a port of its own gets ":443".
std::optional<std::string> NormalizeLink(std::string_view rawLink, std::string_view base,
    std::string_view siteHost, bool secureJob = false, bool anyHost = false);

// True when a fetch from host (a queued URL's, "name[:port]") is made over TLS: every fetch of a
// secure job, and in a plain one a host kept with ":443", linked "https://" from a page.
bool FetchedOverTls(std::string_view host, bool secureJob);

// True when url (a site URL, host first) lies on siteHost or a sub-domain of it, on its port.
bool IsOnSite(std::string_view url, std::string_view siteHost);

// The first seven characters stay; the rest is trimmed and every "//" in it becomes "/" in one
// pass (so "///" leaves "//").
std::string CollapseSlashes(std::string_view url);

// Resolves the "." and ".." segments of a site URL's path as a browser does; the host is never
// removed, so host/../c.html gives host/c.html and host/a/./b/../c.html gives host/a/c.html.
// "\" counts as "/". The query is left as it is.
std::string ResolveDotDot(std::string_view url);

// text with its escapes ("%" and two characters) decoded as a browser decodes a path: text
// itself when it holds none, else held.
std::string_view DecodedEscapes(std::string_view text, std::string &held);

// Gives a scheme written "http:/" its second slash.
std::string TidyLink(std::string_view url);

// url as a path relative to the output directory: no scheme, no "www.", "/" separators, trimmed.
std::string UrlToRelativePath(std::string_view url);

// The URL as the scheduler keeps it: trimmed, a leading "http://" (any case) removed with the rest
// lower-cased, every "http:\\" removed, "\" turned into "/".
std::string StripScheme(std::string_view url);

// url (or a path) as its server knows it: a folder's "index.html", which the copy names every
// folder link by, goes, its query kept ("a/index.html?x" gives "a/?x"; "a/index.htmlx.html" stays).
std::string WithoutFolderIndex(std::string_view url);

// The longest request path sent; a longer one is cut.
constexpr std::size_t kMaxRequestPath = 999;

// What a fetch of a queued URL asks for and where it is saved: url is the URL as queued, its
// scheme stripped, which names the fetch in every report of it; host and path name the stored
// file (".jpeg" spelled ".jpg"): a folder's path without a dot gets a second "/" ("/docs//"), a
// page's without an extension is kept ("/about"). requestPath is path as the site spells it
// (".jpeg" kept).
struct FetchTarget
{
    std::string url;
    std::string host;
    std::string path;
    std::string requestPath;
};
FetchTarget FetchTargetOf(std::string_view queuedUrl);

// The name the output layer stores a fetch of host and path under: "/" host path.
inline std::string SavedNameOf(std::string_view host, std::string_view path)
{
    return std::string("/").append(host).append(path);
}

} // namespace tw
