#include "extractor/urlnormalize.h"

#include "common/pathform.h"
#include "common/percentcoding.h"
#include "common/stringops.h"

#include <algorithm>

namespace tw {

namespace {

constexpr std::string_view kScheme = "http://";
constexpr std::string_view kSecureScheme = "https://";

bool HasDotSegment(std::string_view path)
{
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view segment = path.substr(start, end - start);
        if (segment == "." || segment == "..")
            return true;
        start = end + 1;
    }
    return false;
}

// The host of a site URL as the site test compares it: lower case, without any "www." and
// without the port a scheme implies; another port is another site.
std::string HostKey(std::string_view url)
{
    std::string host = ToLower(url.substr(0, FindAnyOf<'/', '?', '#'>(url)));
    ReplaceAllIn(host, "www.", "");
    for (std::string_view implied : {":80", ":443"}) {
        if (host.ends_with(implied))
            host.resize(host.size() - implied.size());
    }
    return host;
}

// Gives "http://host/..." the port that marks it as asked over TLS; false when it names a port
// of its own, which cannot say so.
bool AddTlsPort(std::string &link)
{
    const std::size_t hostEnd
        = std::min(FindAnyOf<'/', '?', '#'>(link, kScheme.size()), link.size());
    const std::size_t close = link.rfind(']', hostEnd);
    const std::size_t portFrom
        = close == std::string::npos || close < kScheme.size() ? kScheme.size() : close;
    const std::size_t colon = link.find(':', portFrom);
    if (colon < hostEnd)
        return link.compare(colon, hostEnd - colon, kTlsPortMark) == 0;
    link.insert(hostEnd, kTlsPortMark);
    return true;
}

} // namespace

bool FetchedOverTls(std::string_view host, bool secureJob)
{
    return secureJob || host.ends_with(kTlsPortMark);
}

bool IsOnSite(std::string_view url, std::string_view siteHost)
{
    const std::string &site = RememberedFor<HostKey>(siteHost);
    const std::string host = HostKey(url);
    return host == site
        || (host.ends_with(site) && host.size() > site.size()
            && host[host.size() - site.size() - 1] == '.');
}

LinkForm FormOfLink(std::string_view link)
{
    if (StartsWithNoCase(link, kSecureScheme))
        return LinkForm::Secure;
    if (StartsWithNoCase(link, kScheme))
        return LinkForm::Plain;
    if (link.starts_with("//"))
        return LinkForm::ProtocolRelative;
    if (link.starts_with('/'))
        return LinkForm::RootRelative;
    const auto isSchemeChar = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || c == '+' || c == '-' || c == '.';
    };
    std::size_t colon = 0;
    while (colon < link.size() && isSchemeChar(link[colon]))
        ++colon;
    if (colon != 0 && colon < link.size() && link[colon] == ':') {
        const std::string_view name = link.substr(0, colon);
        if (!EqualsNoCase(name, "http") && !EqualsNoCase(name, "https"))
            return LinkForm::OtherScheme;
    }
    return LinkForm::Relative;
}

std::optional<std::string> NormalizeLink(std::string_view rawLink, std::string_view base,
    std::string_view siteHost, bool secureJob, bool anyHost)
{
    std::string link = WithSlashes(rawLink);
    switch (FormOfLink(link)) {
    case LinkForm::Secure:
        link.replace(0, kSecureScheme.size(), kScheme);
        // The job has one scheme: a secure link is its own only in a secure job. A plain job
        // fetches such a link of another host over TLS, its host kept with the port that says so.
        if (!secureJob && !(anyHost && AddTlsPort(link)))
            return std::nullopt;
        break;
    case LinkForm::Plain:
        link.replace(0, kScheme.size(), kScheme);
        break;
    case LinkForm::ProtocolRelative:
        link.replace(0, 2, kScheme);
        break;
    case LinkForm::RootRelative:
        link = std::string(kScheme) + std::string(base.substr(0, base.find('/'))) + link;
        break;
    case LinkForm::Relative:
        link.insert(0, base);
        break;
    case LinkForm::OtherScheme:
        return std::nullopt;
    }

    // A doubled slash after a host ending in .com, .net or .org, even inside the scheme's part
    // that CollapseSlashes leaves alone.
    // Each of these holds "//": a link without one is left as it is.
    if (Contains(link, "//")) {
        ReplaceAllIn(link, "m//", "m/");
        ReplaceAllIn(link, "t//", "t/");
        ReplaceAllIn(link, "g//", "g/");
        // A rewritten refresh target carries the scheme twice.
        ReplaceAllIn(link, "http://http://", "http://");
    }
    link = CollapseSlashes(link);

    if (const std::size_t first = link.find_first_not_of(' ');
        first != std::string::npos && StartsWithNoCase(link.substr(first), kScheme))
        link.erase(0, kScheme.size());
    const std::size_t hostEnd = std::min(FindAnyOf<'/', '?', '#'>(link), link.size());
    const std::string_view impliedPort = secureJob ? kTlsPortMark : ":80";
    if (std::string_view(link).substr(0, hostEnd).ends_with(impliedPort))
        link.erase(hostEnd - impliedPort.size(), impliedPort.size());
    if (!anyHost && !IsOnSite(link, siteHost))
        return std::nullopt;
    if (link.ends_with("/.") || link.ends_with("/.."))
        link += '/';
    if (link.ends_with('/'))
        link += "index.html";
    return link;
}

std::string CollapseSlashes(std::string_view url)
{
    const std::size_t keep = std::min<std::size_t>(url.size(), 7);
    std::string rest(TrimmedView(url.substr(keep)));
    ReplaceAllIn(rest, "//", "/");
    return rest.insert(0, url.substr(0, keep));
}

std::string ResolveDotDot(std::string_view url)
{
    std::string result = WithSlashes(url);
    const std::size_t pathStart = result.find('/');
    if (pathStart == std::string::npos)
        return result;
    const std::size_t queryStart = std::min(result.find('?', pathStart), result.size());
    const std::string_view path
        = std::string_view(result).substr(pathStart + 1, queryStart - pathStart - 1);
    if (!HasDotSegment(path))
        return result;
    // The segments kept are joined as they come, and ".." cuts the last one off again.
    std::string resolved = result.substr(0, pathStart + 1);
    resolved.reserve(result.size());
    const std::size_t pathFrom = resolved.size();
    std::size_t kept = 0;
    bool endsInFolder = false;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view segment = path.substr(start, end - start);
        endsInFolder = segment == "." || segment == "..";
        if (segment == "..") {
            if (kept > 0)
                resolved.erase(--kept == 0 ? pathFrom : resolved.rfind('/'));
        } else if (segment != ".") {
            resolved.append(kept++ == 0 ? "" : "/").append(segment);
        }
        start = end + 1;
    }
    if (endsInFolder && kept > 0)
        resolved += '/';
    resolved.append(result, queryStart);
    return resolved;
}

std::string_view DecodedEscapes(std::string_view text, std::string &held)
{
    if (!Contains(text, "%"))
        return text;
    held = PercentDecoded(text, EscapeDigits::AnyTwo);
    return held;
}

std::string TidyLink(std::string_view url)
{
    std::string tidy(url);
    ReplaceAllIn(tidy, "http://", "http:/");
    ReplaceAllIn(tidy, "http:/", "http://");
    return tidy;
}

std::string UrlToRelativePath(std::string_view url)
{
    std::string path = Trim(url);
    if (LowerTrim(path).starts_with(kScheme))
        path.erase(0, kScheme.size());
    path = Trim(ReplaceAll(path, "www.", ""));
    return Trim(WithSlashes(path));
}

std::string StripScheme(std::string_view url)
{
    const std::string_view trimmed = TrimmedView(url);
    std::string result;
    if (StartsWithNoCase(trimmed, kScheme))
        result = ToLower(trimmed.substr(kScheme.size()));
    else
        result = trimmed;
    ReplaceAllIn(result, "http:" + std::string(2, kBackslash), "");
    return WithSlashes(result);
}

std::string WithoutFolderIndex(std::string_view url)
{
    constexpr std::string_view kFolderIndex = "/index.html";
    const std::size_t queryStart = std::min(url.find('?'), url.size());
    std::string server(url);
    if (url.substr(0, queryStart).ends_with(kFolderIndex))
        server.erase(queryStart - kFolderIndex.size() + 1, kFolderIndex.size() - 1);
    return server;
}

FetchTarget FetchTargetOf(std::string_view queuedUrl)
{
    FetchTarget target;
    target.url = StripScheme(queuedUrl);
    const std::string asStored = ReplaceAll(target.url, ".jpeg", ".jpg");
    const auto pathOf = [](std::string_view url) {
        const auto slash = url.find('/');
        std::string path(slash == std::string_view::npos ? std::string_view("/")
                                                         : url.substr(slash, kMaxRequestPath));
        // A folder's path ("/", "/docs/") is kept with a second "/", which the request drops.
        if (path.ends_with('/') && !Contains(path, "."))
            path += '/';
        return path;
    };
    target.host = target.url.substr(0, target.url.find('/'));
    target.path = pathOf(asStored);
    target.requestPath = pathOf(target.url);
    return target;
}

} // namespace tw
