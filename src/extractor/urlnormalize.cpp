#include "extractor/urlnormalize.h"

#include "common/stringops.h"

#include <array>

namespace tw {

namespace {

constexpr std::string_view kScheme = "http://";
constexpr std::string_view kSecureScheme = "https://";

// The host of a site URL as the site test compares it: lower case, without any "www." and
// without a port.
std::string HostKey(std::string_view url)
{
    std::string host = ReplaceAll(ToLower(url.substr(0, url.find_first_of("/?#"))), "www.", "");
    const std::size_t close = host.rfind(']');
    return host.substr(0, host.find(':', close == std::string::npos ? 0 : close));
}

bool OnSite(std::string_view url, std::string_view siteHost)
{
    const std::string host = HostKey(url);
    const std::string site = HostKey(siteHost);
    return host == site || host.ends_with('.' + site);
}

} // namespace

LinkForm FormOfLink(std::string_view link)
{
    const std::string scheme = ToLower(link.substr(0, kSecureScheme.size()));
    if (scheme == kSecureScheme)
        return LinkForm::Secure;
    if (scheme.starts_with(kScheme))
        return LinkForm::Plain;
    if (link.starts_with("//"))
        return LinkForm::ProtocolRelative;
    return link.starts_with('/') ? LinkForm::RootRelative : LinkForm::Relative;
}

std::optional<std::string> NormalizeLink(
    std::string_view rawLink, std::string_view base, std::string_view siteHost, bool secureJob)
{
    std::string link = ReplaceAll(rawLink, "\\", "/");
    switch (FormOfLink(link)) {
    case LinkForm::Secure:
        // The job has one scheme: a secure link is its own only in a secure job.
        if (!secureJob)
            return std::nullopt;
        link.replace(0, kSecureScheme.size(), kScheme);
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
        link = std::string(base) + link;
        break;
    }

    // A doubled slash after a host ending in .com, .net or .org, even inside the scheme's part
    // that CollapseSlashes leaves alone.
    link = ReplaceAll(link, "m//", "m/");
    link = ReplaceAll(link, "t//", "t/");
    link = ReplaceAll(link, "g//", "g/");
    // A rewritten refresh target carries the scheme twice.
    link = ReplaceAll(link, "http://http://", "http://");
    link = CollapseSlashes(link);

    if (LowerTrim(link).starts_with(kScheme))
        link.erase(0, kScheme.size());
    if (!OnSite(link, siteHost))
        return std::nullopt;
    if (LastChar(link) == "/")
        link += "index.html";
    return link;
}

std::string CollapseSlashes(std::string_view url)
{
    const std::size_t keep = std::min<std::size_t>(url.size(), 7);
    std::string result(url.substr(0, keep));
    result += ReplaceAll(Trim(url.substr(keep)), "//", "/");
    return result;
}

bool ClimbsAboveHost(std::string_view url)
{
    static constexpr std::array<std::string_view, 10> kMarkers = {
        ".info/..",
        ".tk/..",
        ".uk/..",
        ".au/..",
        ".mil/..",
        ".gov/..",
        ".edu/..",
        ".org/..",
        ".net/..",
        ".com/..",
    };
    for (std::string_view marker : kMarkers) {
        if (Contains(url, marker))
            return true;
    }
    return false;
}

std::string ResolveDotDot(std::string_view url)
{
    std::string result = ReplaceAll(url, "\\", "/");
    for (auto up = result.find("/../"); up != std::string::npos; up = result.find("/../")) {
        if (up > 0) {
            const auto segment = result.rfind('/', up - 1);
            if (segment != std::string::npos) {
                result.erase(segment, up - segment);
                up = segment;
            }
        }
        // "/../" becomes "/".
        result.erase(up + 1, 3);
    }
    return result;
}

std::string TidyLink(std::string_view url)
{
    std::string result = ReplaceAll(url, "/./", "/");
    result = ReplaceAll(result, "http://", "http:/");
    return ReplaceAll(result, "http:/", "http://");
}

std::string UrlToRelativePath(std::string_view url)
{
    std::string path = Trim(url);
    if (LowerTrim(path).starts_with(kScheme))
        path.erase(0, kScheme.size());
    path = Trim(ReplaceAll(path, "www.", ""));
    return Trim(ReplaceAll(path, "/", "\\"));
}

std::string StripScheme(std::string_view url)
{
    std::string result = Trim(url);
    const std::string lowered = LowerTrim(result);
    if (lowered.starts_with(kScheme))
        result = lowered.substr(kScheme.size());
    result = ReplaceAll(result, "http:\\\\", "");
    return ReplaceAll(result, "\\", "/");
}

FetchTarget FetchTargetOf(std::string_view queuedUrl)
{
    FetchTarget target;
    target.url = ReplaceAll(StripScheme(queuedUrl), ".jpeg", ".jpg");
    if (const auto slash = target.url.find('/'); slash != std::string::npos) {
        target.path = target.url.substr(slash, kMaxRequestPath);
        target.host = target.url.substr(0, slash);
    } else {
        target.host = target.url;
        // Not assigned from a literal: GCC 12 at -O3 warns falsely (-Wrestrict) about that.
        target.path.assign(1, '/');
    }
    if (!Contains(target.path, "."))
        target.path += '/';
    return target;
}

} // namespace tw
