#include "transport/httpmessage.h"

#include "transport/contentdecoding.h"

#include "common/percentcoding.h"
#include "common/stringops.h"

#include <algorithm>
#include <array>

namespace tw {

namespace {

// The characters a request line may not carry as they are.
bool NeedsEscapeInRequest(unsigned char c)
{
    return c <= 0x20 || c >= 0x7f || c == '"' || c == '<' || c == '>';
}

// The reason phrases of the error statuses (RFC 9110 and its companions).
std::string_view StandardReason(int status)
{
    static constexpr std::array<std::pair<int, std::string_view>, 39> kReasons = {{
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {402, "Payment Required"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {406, "Not Acceptable"},
        {407, "Proxy Authentication Required"},
        {408, "Request Timeout"},
        {409, "Conflict"},
        {410, "Gone"},
        {411, "Length Required"},
        {412, "Precondition Failed"},
        {413, "Content Too Large"},
        {414, "URI Too Long"},
        {415, "Unsupported Media Type"},
        {416, "Range Not Satisfiable"},
        {417, "Expectation Failed"},
        {421, "Misdirected Request"},
        {422, "Unprocessable Content"},
        {423, "Locked"},
        {424, "Failed Dependency"},
        {425, "Too Early"},
        {426, "Upgrade Required"},
        {428, "Precondition Required"},
        {429, "Too Many Requests"},
        {431, "Request Header Fields Too Large"},
        {451, "Unavailable For Legal Reasons"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
        {505, "HTTP Version Not Supported"},
        {506, "Variant Also Negotiates"},
        {507, "Insufficient Storage"},
        {508, "Loop Detected"},
        {510, "Not Extended"},
        {511, "Network Authentication Required"},
    }};
    const auto found = std::find_if(kReasons.begin(), kReasons.end(),
        [status](const auto &reason) { return reason.first == status; });
    return found == kReasons.end() ? std::string_view() : found->second;
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

std::string RequestFor(std::string_view host, std::string_view path, bool keepAlive,
    std::string_view extraFields, const std::optional<HttpProxy> &proxy)
{
    std::string name = Trim(ReplaceAll(host, "/", ""));
    name.resize(WithoutTlsPortMark(name).size());
    std::string request = "GET " + (proxy ? "http://" + name : std::string())
        + RequestTargetOf(path) + (keepAlive ? " HTTP/1.1\r\n" : " HTTP/1.0\r\n");
    request += "Host: " + name + "\r\n";
    if (proxy && !proxy->authorization.empty())
        request += "Proxy-Authorization: " + proxy->authorization + "\r\n";
    // A copy that keeps connections alive speaks the wire of today: it takes compressed answers.
    if (keepAlive) {
        request += "Connection: keep-alive\r\n";
        request += "Accept-Encoding: " + std::string(kAcceptedCodings) + "\r\n";
    }
    request += "Referrer: " + name + "\r\n";
    request += "User-Agent: Internet Explorer 6.01\r\n";
    request += extraFields;
    request += "\r\n";
    return request;
}

std::string ConditionalFields(std::string_view lastModified, std::string_view etag)
{
    std::string fields;
    // A value with a line break would end the head early: such a one is not sent back.
    const auto sendable = [](std::string_view value) {
        return !value.empty() && value.find_first_of("\r\n") == std::string_view::npos;
    };
    if (sendable(lastModified))
        fields.append("If-Modified-Since: ").append(lastModified).append("\r\n");
    if (sendable(etag))
        fields.append("If-None-Match: ").append(etag).append("\r\n");
    return fields;
}

std::string RequestTargetOf(std::string_view path)
{
    return EscapeForRequest(ReplaceAll(path, "//", "/"));
}

std::string EscapeForRequest(std::string_view path)
{
    return PercentEncoded(path, NeedsEscapeInRequest);
}

bool ClimbsAboveRoot(std::string_view request)
{
    if (!request.starts_with("GET "))
        return false;
    std::string_view target = request.substr(4, request.find(' ', 4) - 4);
    if (StartsWithNoCase(target, "http://"))
        target.remove_prefix(std::min(target.find_first_of("/\\", 7), target.size()));
    // A name that begins with two dots ("..x.html") is a name like any other.
    for (std::string_view start : {"/..", "\\.."}) {
        if (target.starts_with(start)
            && (target.size() == start.size() || Contains("/\\?", target.substr(start.size(), 1))))
            return true;
    }
    return false;
}

namespace {

// The status code of the status line ("HTTP/1.x NNN ..."), or 0 when there is none.
int StatusCodeOf(std::string_view statusLine)
{
    if (!statusLine.starts_with("HTTP/"))
        return 0;
    const std::size_t space = statusLine.find(' ');
    if (space == std::string_view::npos || statusLine.size() < space + 4)
        return 0;
    int code = 0;
    for (const char c : statusLine.substr(space + 1, 3)) {
        if (c < '0' || c > '9')
            return 0;
        code = code * 10 + (c - '0');
    }
    return code;
}

// The number a field value starts with, when it starts with a digit and can be held.
std::optional<std::int64_t> NumberField(const std::optional<std::string> &value)
{
    if (!value || value->empty() || value->front() < '0' || value->front() > '9')
        return std::nullopt;
    return LeadingNumber(*value);
}

} // namespace

std::optional<HeadEnd> HeadEndOf(std::string_view response)
{
    // The first line break followed by an empty line, whichever way either ends.
    for (auto lf = response.find('\n'); lf != std::string_view::npos;
         lf = response.find('\n', lf + 1)) {
        const std::size_t blank = lf + 1;
        const std::size_t lineEnd = lf > 0 && response[lf - 1] == '\r' ? lf - 1 : lf;
        if (blank < response.size() && response[blank] == '\n')
            return HeadEnd {lineEnd, blank + 1};
        if (blank + 1 < response.size() && response[blank] == '\r' && response[blank + 1] == '\n')
            return HeadEnd {lineEnd, blank + 2};
    }
    return std::nullopt;
}

bool IsInterimStatus(int status)
{
    constexpr int kSwitchingProtocols = 101;
    return status >= 100 && status < 200 && status != kSwitchingProtocols;
}

bool MayBeginAnswer(std::string_view bytes)
{
    constexpr std::string_view kStatusLineStart = "HTTP/";
    const std::size_t compared = std::min(bytes.size(), kStatusLineStart.size());
    return bytes.substr(0, compared) == kStatusLineStart.substr(0, compared);
}

std::vector<std::pair<std::string, std::string>> HeadFields(std::string_view head)
{
    std::vector<std::pair<std::string, std::string>> fields;
    for (std::size_t start = head.find('\n'); start != std::string_view::npos;) {
        start += 1;
        const std::size_t lineEnd = std::min(head.find('\n', start), head.size());
        std::string_view line = head.substr(start, lineEnd - start);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (const std::size_t colon = line.find(':'); colon != std::string_view::npos)
            fields.emplace_back(ToLower(line.substr(0, colon)), Trim(line.substr(colon + 1)));
        start = lineEnd < head.size() ? lineEnd : std::string_view::npos;
    }
    return fields;
}

HttpResponse ParseResponse(std::string_view raw, std::int64_t bodyWrittenAhead)
{
    HttpResponse response;
    const std::optional<HeadEnd> end = HeadEndOf(raw);
    const std::string_view head = raw.substr(0, end ? end->blankLine : raw.size());
    response.bodyStart = end ? end->body : 0;
    const std::string_view statusLine = head.substr(0, head.find('\n'));
    response.status = StatusCodeOf(statusLine);
    if (response.status != 0)
        response.version = statusLine.substr(0, statusLine.find(' '));
    if (const std::string_view standard = StandardReason(response.status); !standard.empty())
        response.reason = standard;
    else if (response.status != 0)
        // "HTTP/1.x NNN " is followed by the reason, when there is one.
        response.reason = Trim(ReplaceAll(
            statusLine.substr(std::min(statusLine.find(' ') + 5, statusLine.size())), "\r", ""));
    response.fields = HeadFields(head);
    response.announcedLength = NumberField(response.Field("Content-Length"));
    response.fault = FaultOf(response, raw, bodyWrittenAhead);
    return response;
}

ResponseFault FaultOf(const HttpResponse &head, std::string_view raw, std::int64_t bodyWrittenAhead)
{
    // A head with an end has a body start past its blank line.
    if (!raw.starts_with("HTTP/") || head.bodyStart == 0)
        return ResponseFault::BrokenHead;
    if (head.announcedLength && !head.Field("Transfer-Encoding")
        && static_cast<std::int64_t>(raw.size() - head.bodyStart) + bodyWrittenAhead
            < *head.announcedLength)
        return ResponseFault::ShortBody;
    return ResponseFault::None;
}

std::optional<std::string> HttpResponse::Field(std::string_view name) const
{
    const std::string wanted = ToLower(name);
    const auto found = std::find_if(fields.begin(), fields.end(),
        [&wanted](const auto &field) { return field.first == wanted; });
    return found == fields.end() ? std::nullopt : std::optional<std::string>(found->second);
}

std::optional<std::string> HttpResponse::Location() const
{
    static constexpr std::array<int, 5> kRedirects = {301, 302, 303, 307, 308};
    if (std::find(kRedirects.begin(), kRedirects.end(), status) == kRedirects.end())
        return std::nullopt;
    std::optional<std::string> location = Field("Location");
    if (location && location->empty())
        return std::nullopt;
    return location;
}

std::optional<int> HttpResponse::RetryAfterSeconds() const
{
    // A number of seconds; a date is not read.
    const std::optional<std::string> value = Field("Retry-After");
    if (!value || value->empty() || value->front() < '0' || value->front() > '9')
        return std::nullopt;
    return static_cast<int>(std::min<std::int64_t>(
        LeadingNumber(*value).value_or(kMaxRetryAfterSeconds), kMaxRetryAfterSeconds));
}

bool IsRetriedStatus(int status)
{
    static constexpr std::array<int, 6> kRetried = {408, 429, 500, 502, 503, 504};
    return std::find(kRetried.begin(), kRetried.end(), status) != kRetried.end();
}

} // namespace tw
