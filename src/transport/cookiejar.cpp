#include "transport/cookiejar.h"

#include "common/stringops.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace tw {

namespace {

constexpr std::string_view kWhite = " \t";
// Name and value together; a browser keeps no bigger cookie.
constexpr std::size_t kMostCookieBytes = 4096;
constexpr std::int64_t kSecondsPerDay = 86400;
// Far enough for any date a cookie names, near enough to add to without overflow.
constexpr std::int64_t kLatestExpiry = std::int64_t {1} << 40;
constexpr std::string_view kHttpOnlyPrefix = "#HttpOnly_";

std::string_view TrimWhite(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(kWhite);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kWhite) - first + 1);
}

bool IsIpAddress(std::string_view host)
{
    return host.starts_with('[')
        || (!host.empty() && host.find_first_not_of("0123456789.") == std::string_view::npos);
}

bool HoldsForbidden(std::string_view text)
{
    return std::any_of(text.begin(), text.end(),
        [](char c) { return c == ';' || c == 0x7f || (static_cast<unsigned char>(c) < 0x20); });
}

bool Expired(const Cookie &cookie, std::int64_t now)
{
    return cookie.expires != 0 && cookie.expires <= now;
}

std::optional<std::int64_t> Number(std::string_view text)
{
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

std::vector<std::string_view> Split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

} // namespace

bool DomainMatches(std::string_view host, std::string_view domain)
{
    if (EqualsNoCase(host, ToLower(domain)))
        return true;
    return !IsIpAddress(host) && host.size() > domain.size()
        && host[host.size() - domain.size() - 1] == '.'
        && EqualsNoCase(host.substr(host.size() - domain.size()), ToLower(domain));
}

bool PathMatches(std::string_view requestPath, std::string_view cookiePath)
{
    if (!requestPath.starts_with(cookiePath))
        return false;
    return requestPath.size() == cookiePath.size() || cookiePath.ends_with('/')
        || requestPath[cookiePath.size()] == '/';
}

std::string DefaultCookiePath(std::string_view requestPath)
{
    requestPath = requestPath.substr(0, requestPath.find_first_of("?#"));
    const std::size_t last = requestPath.rfind('/');
    if (!requestPath.starts_with('/') || last == 0)
        return "/";
    return std::string(requestPath.substr(0, last));
}

bool IsPublicSuffixLike(std::string_view domain)
{
    static constexpr std::array<std::string_view, 10> kRegistries
        = {"ac", "co", "com", "edu", "go", "gov", "ne", "net", "or", "org"};
    const std::vector<std::string_view> labels = Split(domain, '.');
    if (labels.size() == 1)
        return true;
    return labels.size() == 2 && labels[1].size() == 2
        && std::find(kRegistries.begin(), kRegistries.end(), labels[0]) != kRegistries.end();
}

std::optional<std::int64_t> CookieDate(std::string_view text)
{
    static constexpr std::array<std::string_view, 12> kMonths
        = {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    std::optional<std::int64_t> hour, minute, second, day, month, year;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find_first_of(" \t,-;/", at);
        const std::string_view token = text.substr(at, end - at);
        at = end == std::string_view::npos ? text.size() : end + 1;
        if (token.empty())
            continue;
        if (!hour && token.find(':') != std::string_view::npos) {
            const std::vector<std::string_view> parts = Split(token, ':');
            if (parts.size() == 3 && Number(parts[0]) && Number(parts[1]) && Number(parts[2])) {
                hour = Number(parts[0]);
                minute = Number(parts[1]);
                second = Number(parts[2]);
            }
            continue;
        }
        const std::optional<std::int64_t> number = Number(token);
        if (!day && number && token.size() <= 2) {
            day = number;
        } else if (!year && number && token.size() <= 4) {
            year = number;
        } else if (!month && token.size() >= 3) {
            const auto found
                = std::find(kMonths.begin(), kMonths.end(), ToLower(token.substr(0, 3)));
            if (found != kMonths.end())
                month = found - kMonths.begin() + 1;
        }
    }
    if (!hour || !day || !month || !year)
        return std::nullopt;
    if (*year < 70)
        *year += 2000;
    else if (*year < 100)
        *year += 1900;
    if (*day < 1 || *day > 31 || *year < 1601 || *hour > 23 || *minute > 59 || *second > 59)
        return std::nullopt;
    return DaysFromCivil(*year, unsigned(*month), unsigned(*day)) * kSecondsPerDay + *hour * 3600
        + *minute * 60 + *second;
}

bool CookieJar::Add(Cookie cookie, std::int64_t now)
{
    cookie.domain = ToLower(cookie.domain);
    while (cookie.domain.starts_with('.'))
        cookie.domain.erase(0, 1);
    if (cookie.name.empty() || cookie.domain.empty() || HoldsForbidden(cookie.name)
        || HoldsForbidden(cookie.value) || HoldsForbidden(cookie.path)
        || cookie.name.find_first_of("= \t") != std::string::npos
        || cookie.name.size() + cookie.value.size() > kMostCookieBytes)
        return false;
    if (!cookie.hostOnly && (IsPublicSuffixLike(cookie.domain) || IsIpAddress(cookie.domain)))
        return false;
    if (!cookie.path.starts_with('/'))
        cookie.path.assign(1, '/');
    const auto sameKey = [&cookie](const Cookie &old) {
        return old.name == cookie.name && old.domain == cookie.domain && old.path == cookie.path;
    };
    std::erase_if(m_cookies, [now](const Cookie &old) { return Expired(old, now); });
    if (Expired(cookie, now)) {
        std::erase_if(m_cookies, sameKey);
        return true;
    }
    const auto kept = std::find_if(m_cookies.begin(), m_cookies.end(), sameKey);
    if (kept != m_cookies.end()) {
        *kept = std::move(cookie);
        return true;
    }
    if (m_cookies.size() >= kMostCookies)
        return false;
    m_cookies.push_back(std::move(cookie));
    return true;
}

bool CookieJar::TakeSetCookie(std::string_view setCookie, std::string_view host,
    std::string_view path, bool secure, std::int64_t now)
{
    const std::vector<std::string_view> parts = Split(setCookie, ';');
    const std::string_view pair = parts.front();
    const std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos)
        return false;
    Cookie cookie {.name = std::string(TrimWhite(pair.substr(0, equals))),
        .value = std::string(TrimWhite(pair.substr(equals + 1))),
        .domain = ToLower(host),
        .path = DefaultCookiePath(path)};
    std::optional<std::int64_t> maxAge;
    std::optional<std::int64_t> expires;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::string_view attribute = parts[i];
        const std::size_t is = attribute.find('=');
        const std::string name = ToLower(TrimWhite(attribute.substr(0, is)));
        const std::string_view value = is == std::string_view::npos
            ? std::string_view()
            : TrimWhite(attribute.substr(is + 1));
        if (name == "expires") {
            expires = CookieDate(value);
        } else if (name == "max-age") {
            if (const std::optional<std::int64_t> seconds = Number(value))
                maxAge = std::clamp<std::int64_t>(*seconds, 0, kLatestExpiry);
        } else if (name == "domain" && !value.empty()) {
            std::string domain = ToLower(value);
            if (domain.starts_with('.'))
                domain.erase(0, 1);
            if (domain == ToLower(host))
                continue;
            // Set for a host the answer did not come from, or for a whole registry.
            if (!DomainMatches(host, domain) || IsPublicSuffixLike(domain))
                return false;
            cookie.domain = std::move(domain);
            cookie.hostOnly = false;
        } else if (name == "path") {
            cookie.path = value.starts_with('/') ? std::string(value) : DefaultCookiePath(path);
        } else if (name == "secure") {
            cookie.secure = true;
        } else if (name == "httponly") {
            cookie.httpOnly = true;
        }
    }
    // A plain answer may not set, nor overwrite, a cookie kept for TLS alone.
    if (cookie.secure && !secure)
        return false;
    if (maxAge)
        cookie.expires = *maxAge == 0 ? 1 : std::min(now + *maxAge, kLatestExpiry);
    else if (expires)
        cookie.expires = std::clamp<std::int64_t>(*expires, 1, kLatestExpiry);
    return Add(std::move(cookie), now);
}

bool GoesToHost(const Cookie &cookie, std::string_view host)
{
    return cookie.hostOnly ? EqualsNoCase(host, cookie.domain) : DomainMatches(host, cookie.domain);
}

std::string CookieJar::CookieFieldFor(
    std::string_view host, std::string_view path, bool secure, std::int64_t now) const
{
    path = path.substr(0, path.find_first_of("?#"));
    std::vector<const Cookie *> sent;
    for (const Cookie &cookie : m_cookies) {
        if (GoesToHost(cookie, host) && PathMatches(path, cookie.path) && (secure || !cookie.secure)
            && !Expired(cookie, now))
            sent.push_back(&cookie);
    }
    std::stable_sort(sent.begin(), sent.end(),
        [](const Cookie *a, const Cookie *b) { return a->path.size() > b->path.size(); });
    std::string field;
    for (const Cookie *cookie : sent)
        field.append(field.empty() ? "" : "; ")
            .append(cookie->name)
            .append("=")
            .append(cookie->value);
    return field;
}

std::vector<Cookie> CookieJar::Live(std::int64_t now) const
{
    std::vector<Cookie> live;
    std::copy_if(m_cookies.begin(), m_cookies.end(), std::back_inserter(live),
        [now](const Cookie &cookie) { return !Expired(cookie, now); });
    return live;
}

CookieFile ReadCookiesTxt(std::string_view text)
{
    CookieFile file;
    int number = 0;
    for (std::string_view line : Split(text, '\n')) {
        ++number;
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        bool httpOnly = false;
        if (line.starts_with(kHttpOnlyPrefix)) {
            httpOnly = true;
            line.remove_prefix(kHttpOnlyPrefix.size());
        } else if (TrimWhite(line).empty() || TrimWhite(line).starts_with('#')) {
            continue;
        }
        const std::vector<std::string_view> fields = Split(line, '\t');
        const auto fail = [&](std::string fault) {
            file.badLine = number;
            file.fault = std::move(fault);
            return file;
        };
        if (fields.size() != 7 && fields.size() != 6)
            return fail("not seven fields separated by tabs");
        const auto flag = [](std::string_view field) -> std::optional<bool> {
            if (EqualsNoCase(field, "true"))
                return true;
            if (EqualsNoCase(field, "false"))
                return false;
            return std::nullopt;
        };
        const std::optional<bool> subdomains = flag(fields[1]);
        const std::optional<bool> secure = flag(fields[3]);
        const std::optional<std::int64_t> expires = Number(fields[4]);
        if (!subdomains || !secure)
            return fail("the flags are neither TRUE nor FALSE");
        if (!expires || *expires < 0)
            return fail("the expiry is not a number of seconds");
        Cookie cookie {.name = std::string(fields[5]),
            .value = fields.size() == 7 ? std::string(fields[6]) : std::string(),
            .domain = std::string(fields[0]),
            .path = std::string(fields[2]),
            .hostOnly = !*subdomains,
            .secure = *secure,
            .httpOnly = httpOnly,
            .expires = std::min(*expires, kLatestExpiry)};
        const std::string_view domain = fields[0].substr(fields[0].starts_with('.') ? 1 : 0);
        if (!cookie.hostOnly && IsPublicSuffixLike(ToLower(domain)))
            return fail("a cookie for a whole top-level domain is refused");
        CookieJar check;
        if (!check.Add(cookie, 0))
            return fail("not a cookie a browser would keep");
        file.cookies.push_back(check.Cookies().front());
    }
    return file;
}

std::string CookiesTxt(const std::vector<Cookie> &cookies)
{
    std::string text = "# Netscape HTTP Cookie File\n";
    for (const Cookie &cookie : cookies) {
        text.append(cookie.httpOnly ? kHttpOnlyPrefix : std::string_view())
            .append(cookie.hostOnly ? "" : ".")
            .append(cookie.domain)
            .append(cookie.hostOnly ? "\tFALSE\t" : "\tTRUE\t")
            .append(cookie.path)
            .append(cookie.secure ? "\tTRUE\t" : "\tFALSE\t")
            .append(std::to_string(cookie.expires))
            .append("\t")
            .append(cookie.name)
            .append("\t")
            .append(cookie.value)
            .append("\n");
    }
    return text;
}

} // namespace tw
