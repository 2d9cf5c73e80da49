#include "transport/siteaddress.h"

#include "common/pathform.h"
#include "common/stringops.h"
#include "transport/socketcalls.h"

#include <array>
#include <string_view>

namespace tw {

namespace {

std::string SiteKey(std::string_view host)
{
    return ReplaceAll(ToLower(HostName(host)), "www.", "");
}

// True for text that begins with a scheme of its own ("mailto:", "ftp://").
bool HasScheme(std::string_view text)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    for (const char c : text.substr(0, colon)) {
        const bool schemeCharacter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
            || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        if (!schemeCharacter)
            return false;
    }
    return true;
}

} // namespace

std::string HostOfUrl(std::string_view text)
{
    constexpr std::array kHostEnds {'#', '\'', '>', '}', '?', ' ', '/', kBackslash};
    const auto end = text.find_first_of(std::string_view(kHostEnds.data(), kHostEnds.size()));
    return std::string(text.substr(0, end));
}

bool TakesWww(std::string_view host)
{
    const std::string_view name = HostName(host);
    if (name.starts_with('[') || ToLower(name) == "localhost" || !Contains(name, "."))
        return false;
    return !LiteralAddress(std::string(name));
}

std::string WithoutDefaultPort(std::string_view host, bool secure)
{
    const std::string implied = ':' + std::to_string(secure ? kHttpsPort : kHttpPort);
    if (host.ends_with(implied) && HostName(host).size() == host.size() - implied.size())
        return std::string(host.substr(0, host.size() - implied.size()));
    return std::string(host);
}

StartAddress ParseStartUrl(std::string_view typed)
{
    StartAddress start;
    std::string text = Trim(typed);
    if (StartsWithNoCase(text, "https://")) {
        start.address.secure = true;
        text.erase(0, 8);
    } else if (StartsWithNoCase(text, "http://")) {
        text.erase(0, 7);
    }
    const std::string host = HostOfUrl(text);
    start.address.host = WithoutDefaultPort(host, start.address.secure);
    start.address.path = text.substr(host.size());
    if (!Contains(ToLower(text), "www.") && TakesWww(start.address.host)) {
        start.address.host.insert(0, "www.");
        start.wwwAdded = true;
    }
    return start;
}

bool NamesAHost(std::string_view typed)
{
    return !Trim(ReplaceAll(ParseStartUrl(typed).address.host, "www.", "")).empty();
}

std::string_view HostName(std::string_view host)
{
    const std::size_t close = host.starts_with('[') ? host.find(']') : 0;
    const std::size_t colon = host.find(':', close == std::string_view::npos ? 0 : close);
    return host.substr(0, colon);
}

bool SameSite(std::string_view host, std::string_view otherHost)
{
    return SiteKey(host) == SiteKey(otherHost);
}

std::optional<SiteAddress> ResolveLocation(std::string_view location, const SiteAddress &from)
{
    std::string value = Trim(location);
    value = value.substr(0, value.find('#'));
    SiteAddress to {from.secure, from.host, {}};
    std::string rest;
    if (StartsWithNoCase(value, "https://") || StartsWithNoCase(value, "http://")) {
        to.secure = StartsWithNoCase(value, "https://");
        rest = value.substr(to.secure ? 8 : 7);
    } else if (value.starts_with("//")) {
        rest = value.substr(2);
    } else if (HasScheme(value)) {
        return std::nullopt;
    } else if (value.starts_with('/')) {
        to.path = value;
        return to;
    } else {
        const std::size_t slash = from.path.rfind('/');
        to.path = (slash == std::string::npos ? "/" : from.path.substr(0, slash + 1)) + value;
        return to;
    }
    const std::size_t hostEnd = std::min(rest.find_first_of("/?"), rest.size());
    to.host = WithoutDefaultPort(ToLower(rest.substr(0, hostEnd)), to.secure);
    if (to.host.empty())
        return std::nullopt;
    to.path = rest.substr(hostEnd);
    if (!to.path.starts_with('/'))
        to.path.insert(0, "/");
    return to;
}

std::string AbsoluteUrl(const SiteAddress &address)
{
    return (address.secure ? "https://" : "http://") + address.Url();
}

} // namespace tw
