#pragma once

// The HTTP/1.0 wire format: the request the engine sends, and the reading of a response as
// received (status line, header lines, blank line, body).

#include "transport/proxy.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tw {

// The GET request for path on host: "//" in the path written "/", the path escaped for the
// request line (EscapeForRequest), "/" removed from the host. HTTP/1.0; with keepAlive, HTTP/1.1
// asking for the connection to stay open and taking compressed answers.
// extraFields, header lines each ending in CR LF, come after the designed ones. Through proxy
// (a plain site's fetch), the request line names the whole URL, and the proxy's
// Proxy-Authorization goes with it.
std::string RequestFor(std::string_view host, std::string_view path, bool keepAlive = false,
    std::string_view extraFields = {}, const std::optional<HttpProxy> &proxy = std::nullopt);

// The fields that ask whether a file changed since it was served with lastModified and etag
// (If-Modified-Since, If-None-Match), each only when known.
std::string ConditionalFields(std::string_view lastModified, std::string_view etag);

// The target a request line names for path: "//" written "/", escaped (EscapeForRequest).
std::string RequestTargetOf(std::string_view path);

// path with every byte that may not stand in a request line (controls, space, '"', "<", ">",
// bytes above 127) written as "%" and two hexadecimal digits; "%" itself stays.
std::string EscapeForRequest(std::string_view path);

// True for a request whose path climbs above the site's root (its first segment is ".."), in
// either form of the request line: it is never sent.
bool ClimbsAboveRoot(std::string_view request);

// Where the blank line that ends a response's header begins, and where the body after it
// begins; nothing when there is no blank line. Header lines may end in CR LF or in LF alone.
struct HeadEnd
{
    std::size_t blankLine = 0;
    std::size_t body = 0;
};
std::optional<HeadEnd> HeadEndOf(std::string_view response);

// The header fields of a message's head (its first line left out) in order: names in lower case,
// values trimmed; a line without a colon is passed over.
std::vector<std::pair<std::string, std::string>> HeadFields(std::string_view head);

// A 1xx status other than 101: an interim answer, which the answer to the request follows.
bool IsInterimStatus(int status);

// bytes may be the start of a response: they begin "HTTP/", or are the first bytes of it.
bool MayBeginAnswer(std::string_view bytes);

// What makes a response as received unusable: a head without its status line or blank line
// (the server closed before the end of its header), or a body shorter than its Content-Length.
enum class ResponseFault { None, BrokenHead, ShortBody };

// A response as received, read once.
struct HttpResponse
{
    // The protocol the status line names ("HTTP/1.1"), empty when there is none.
    std::string version;
    // The code of the status line ("HTTP/1.x NNN ..."), or 0 when there is none.
    int status = 0;
    // The standard phrase of an error status ("Not Found", whatever words the server chose), or
    // for a code without one, the status line's own.
    std::string reason;
    // The header fields in order: names in lower case, values trimmed.
    std::vector<std::pair<std::string, std::string>> fields;
    // Where the body begins in the text as received: after the header's blank line, or at 0 when
    // there is none (all of it is body).
    std::size_t bodyStart = 0;
    // The Content-Length, when there is one that can be held.
    std::optional<std::int64_t> announcedLength;
    ResponseFault fault = ResponseFault::None;

    // The value of the first field called name (case ignored).
    std::optional<std::string> Field(std::string_view name) const;
    // Where a redirect (301, 302, 303, 307 or 308) points: its non-empty Location.
    std::optional<std::string> Location() const;
    // The delay a Retry-After field asks for, in seconds (a number; a date is not read), at most
    // kMaxRetryAfterSeconds.
    std::optional<int> RetryAfterSeconds() const;
    std::string_view Body(std::string_view raw) const { return raw.substr(bodyStart); }
};
inline constexpr int kMaxRetryAfterSeconds = 60;
// bodyWrittenAhead counts the bytes of the body that came before those raw holds (written to
// disk as they arrived): they count towards its length.
HttpResponse ParseResponse(std::string_view raw, std::int64_t bodyWrittenAhead = 0);
// What makes raw, whose head was read as head, unusable.
ResponseFault FaultOf(
    const HttpResponse &head, std::string_view raw, std::int64_t bodyWrittenAhead);

// The statuses that are tried again as a timeout is: 408, 429, 500, 502, 503 and 504.
bool IsRetriedStatus(int status);

} // namespace tw
