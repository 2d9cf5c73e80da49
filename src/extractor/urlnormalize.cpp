#include "extractor/urlnormalize.h"

#include "extractor/stringops.h"

#include <array>

namespace tw {

namespace {

constexpr std::string_view kScheme = "http://";
constexpr std::string_view kSecureScheme = "https://";

} // namespace

std::optional<std::string> NormalizeLink(
    std::string_view rawLink, std::string_view base, std::string_view siteHost, bool secureJob)
{
    std::string link = ReplaceAll(rawLink, "\\", "/");
    if (secureJob && ToLower(link.substr(0, kSecureScheme.size())) == kSecureScheme)
        link.replace(0, kSecureScheme.size(), kScheme);
    if (!link.starts_with(kScheme))
        link = std::string(base) + link;

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
    if (!Contains(ToLower(link), ToLower(siteHost)))
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

} // namespace tw
