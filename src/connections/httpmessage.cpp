#include "connections/httpmessage.h"

#include "common/stringops.h"
#include "output/pagesaver.h"

#include <algorithm>
#include <array>

namespace tw {

namespace {

std::string_view HeadOf(std::string_view response)
{
    return response.substr(0, response.find("\r\n\r\n"));
}

// The number a header value starts with (leading spaces, then decimal digits), or nullopt when
// it is too large to hold.
std::optional<std::int64_t> LeadingNumber(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > (INT64_MAX - 9) / 10)
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

} // namespace

std::string RequestFor(std::string_view host, std::string_view path)
{
    const std::string name = Trim(ReplaceAll(host, "/", ""));
    std::string request = "GET " + ReplaceAll(path, "//", "/") + " HTTP/1.0\r\n";
    request += "Host: " + name + "\r\n";
    request += "Referrer: " + name + "\r\n";
    request += "User-Agent: Internet Explorer 6.01\r\n";
    request += "\r\n";
    return request;
}

bool ClimbsAboveRoot(std::string_view request)
{
    return Contains(request, "GET /..") || Contains(request, "GET \\..");
}

std::optional<std::int64_t> ContentLengthIn(std::string_view chunk)
{
    const auto p = chunk.find("Content-Length:");
    if (p == std::string_view::npos)
        return std::nullopt;
    // The character right after the colon is skipped: it is normally the space.
    const auto start = std::min(chunk.size(), p + 16);
    std::string value = Trim(chunk.substr(start, 12));
    if (const auto lineEnd = value.find("\r\n"); lineEnd != std::string::npos)
        value = ReplaceAll(ReplaceAll(value.substr(0, lineEnd), "\r", ""), "\n", "");
    return LeadingNumber(value);
}

int StatusCodeOf(std::string_view response)
{
    if (!response.starts_with("HTTP/"))
        return 0;
    const std::size_t space = response.find(' ');
    if (space == std::string_view::npos || response.size() < space + 4)
        return 0;
    int code = 0;
    for (const char c : response.substr(space + 1, 3)) {
        if (c < '0' || c > '9')
            return 0;
        code = code * 10 + (c - '0');
    }
    return code;
}

std::optional<std::string> HeaderValue(std::string_view response, std::string_view name)
{
    const std::string_view head = HeadOf(response);
    const std::string wanted = ToLower(name) + ':';
    for (std::size_t start = head.find("\r\n"); start != std::string_view::npos;) {
        start += 2;
        const std::size_t end = std::min(head.find("\r\n", start), head.size());
        const std::string_view line = head.substr(start, end - start);
        if (line.size() >= wanted.size() && ToLower(line.substr(0, wanted.size())) == wanted)
            return Trim(line.substr(wanted.size()));
        start = end < head.size() ? end : std::string_view::npos;
    }
    return std::nullopt;
}

std::optional<std::string> RedirectLocation(std::string_view response)
{
    static constexpr std::array<int, 5> kRedirects = {301, 302, 303, 307, 308};
    const int status = StatusCodeOf(response);
    if (std::find(kRedirects.begin(), kRedirects.end(), status) == kRedirects.end())
        return std::nullopt;
    std::optional<std::string> location = HeaderValue(response, "Location");
    if (location && location->empty())
        return std::nullopt;
    return location;
}

std::optional<std::int64_t> AnnouncedLength(std::string_view response)
{
    const std::optional<std::string> value = HeaderValue(response, "Content-Length");
    if (!value || value->empty() || value->front() < '0' || value->front() > '9')
        return std::nullopt;
    return LeadingNumber(*value);
}

ResponseFault FaultOf(std::string_view response)
{
    if (!response.starts_with("HTTP/") || !Contains(response, "\r\n\r\n"))
        return ResponseFault::BrokenHead;
    const std::optional<std::int64_t> announced = AnnouncedLength(response);
    if (announced && static_cast<std::int64_t>(BodyOf(response).size()) < *announced)
        return ResponseFault::ShortBody;
    return ResponseFault::None;
}

} // namespace tw
