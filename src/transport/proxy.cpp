#include "transport/proxy.h"

#include "common/percentcoding.h"
#include "common/stringops.h"
#include "common/textconversion.h"
#include "transport/httpauth.h"
#include "transport/httpmessage.h"
#include "transport/siteaddress.h"

namespace tw {

namespace {

std::string PercentDecoded(std::string_view text)
{
    std::string decoded;
    ForEachPercentDecoded(text, EscapeDigits::Hex, [&decoded](char c, bool) { decoded += c; });
    return decoded;
}

// A host name or address as no_proxy compares it: lower case, without brackets or a final dot.
std::string ComparedName(std::string_view name)
{
    if (name.starts_with('[') && name.ends_with(']'))
        name = name.substr(1, name.size() - 2);
    while (name.ends_with('.'))
        name.remove_suffix(1);
    return ToLower(name);
}

// One no_proxy entry: a name (its leading "*" and "." gone) and the port it is for, 0 for any;
// nothing when its port is no port.
std::optional<std::pair<std::string, quint16>> NoProxyEntry(std::string_view entry)
{
    const Endpoint split = SplitHostPort(FromNetworkText(entry), 0);
    if (!split.valid)
        return std::nullopt;
    std::string name = ToNetworkText(split.name);
    while (name.starts_with('*') || name.starts_with('.'))
        name.erase(0, 1);
    return std::pair {ComparedName(name), split.port};
}

} // namespace

std::optional<HttpProxy> ParseProxyUrl(std::string_view url)
{
    std::string_view rest = TrimmedView(url);
    if (const std::size_t scheme = rest.find("://"); scheme != std::string_view::npos) {
        if (!EqualsNoCase(rest.substr(0, scheme), "http"))
            return std::nullopt;
        rest.remove_prefix(scheme + 3);
    }
    HttpProxy proxy;
    if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
        const std::string_view userInfo = rest.substr(0, at);
        const std::size_t colon = userInfo.find(':');
        proxy.authorization = BasicCredentials(PercentDecoded(userInfo.substr(0, colon)),
            colon == std::string_view::npos ? std::string()
                                            : PercentDecoded(userInfo.substr(colon + 1)));
        rest.remove_prefix(at + 1);
    }
    rest = rest.substr(0, rest.find('/'));
    proxy.server = SplitHostPort(FromNetworkText(rest), kHttpPort);
    if (!proxy.server.valid || proxy.server.name.isEmpty())
        return std::nullopt;
    return proxy;
}

std::string WithoutUserInfo(std::string_view url)
{
    const std::size_t scheme = url.find("://");
    const std::size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
    const std::size_t at = url.rfind('@');
    if (at == std::string_view::npos || at < start)
        return std::string(url);
    return std::string(url.substr(0, start)) + std::string(url.substr(at + 1));
}

bool BypassesProxy(std::string_view name, quint16 port, std::string_view noProxy)
{
    const std::string host = ComparedName(name);
    std::size_t from = 0;
    while (from <= noProxy.size()) {
        const std::size_t comma = std::min(noProxy.find(',', from), noProxy.size());
        const std::string entry = Trim(ReplaceAll(noProxy.substr(from, comma - from), "\t", " "));
        from = comma + 1;
        if (entry == "*")
            return true;
        const auto named = NoProxyEntry(entry);
        if (entry.empty() || !named || named->first.empty()
            || (named->second != 0 && named->second != port))
            continue;
        if (host == named->first
            || (host.ends_with(named->first) && host[host.size() - named->first.size() - 1] == '.'))
            return true;
    }
    return false;
}

std::optional<HttpProxy> ProxyFor(bool secure, std::string_view host, const ProxySettings &settings)
{
    const ProxyEnvironment &environment = settings.environment;
    std::string_view url = settings.url;
    if (url.empty() && settings.fromEnvironment)
        url = secure ? environment.https : environment.http;
    if (url.empty())
        return std::nullopt;
    const Endpoint site = SplitHostPort(FromNetworkText(host), secure ? kHttpsPort : kHttpPort);
    if (settings.fromEnvironment
        && BypassesProxy(ToNetworkText(site.name), site.port, environment.noProxy))
        return std::nullopt;
    if (std::optional<HttpProxy> proxy = ParseProxyUrl(url))
        return proxy;
    return HttpProxy {.server = {.valid = false}};
}

ProxyEnvironment ReadProxyEnvironment()
{
    const auto read = [](const char *lower, const char *upper) {
        QString value = qEnvironmentVariable(lower).trimmed();
        if (value.isEmpty())
            value = qEnvironmentVariable(upper).trimmed();
        return value.toStdString();
    };
    return {read("http_proxy", "HTTP_PROXY"), read("https_proxy", "HTTPS_PROXY"),
        read("no_proxy", "NO_PROXY")};
}

std::string TunnelRequest(std::string_view name, quint16 port, const HttpProxy &proxy)
{
    const bool v6 = name.find(':') != std::string_view::npos;
    const std::string authority
        = (v6 ? "[" + std::string(name) + "]" : std::string(name)) + ':' + std::to_string(port);
    std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (!proxy.authorization.empty())
        request += "Proxy-Authorization: " + proxy.authorization + "\r\n";
    return request + "\r\n";
}

TunnelAnswer ReadTunnelAnswer(std::string_view received)
{
    for (;;) {
        const std::optional<HeadEnd> end = HeadEndOf(received);
        if (!end)
            return {};
        const int status = ParseResponse(received.substr(0, end->body)).status;
        if (!IsInterimStatus(status))
            return {
                status / 100 == 2 ? TunnelAnswer::Kind::Open : TunnelAnswer::Kind::Refused, status};
        received.remove_prefix(end->body);
    }
}

} // namespace tw
