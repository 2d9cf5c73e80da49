#pragma once

// The HTTP/1.0 wire format: the request the engine sends, and the reading of the head of a raw
// response as received (status line, header lines, blank line).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tw {

// The GET request for path on host: "//" in the path written "/", the path escaped for the
// request line (EscapeForRequest), "/" removed from the host.
std::string RequestFor(std::string_view host, std::string_view path);

// path with every byte that may not stand in a request line (controls, space, '"', "<", ">",
// bytes above 127) written as "%" and two hexadecimal digits; "%" itself stays.
std::string EscapeForRequest(std::string_view path);

// True for a request whose path climbs above the site's root ("GET /.." or "GET \.."): it is
// never sent.
bool ClimbsAboveRoot(std::string_view request);

// The Content-Length announced in chunk: the number its value starts with (leading spaces,
// then decimal digits), 0 when there is none; nothing without the header, or when the number is
// too large to hold.
std::optional<std::int64_t> ContentLengthIn(std::string_view chunk);

// The status code of the status line ("HTTP/1.x NNN ..."), or 0 when there is none.
int StatusCodeOf(std::string_view response);

// The reason phrase of an error status: the standard one of its code ("Not Found", whatever
// words the server chose), or for a code without one, the status line's own.
std::string ReasonOf(std::string_view response);

// The value of the first header line called name (case ignored), spaces trimmed; nothing when
// the head has no such line. Header lines may end in CR LF or in LF alone.
std::optional<std::string> HeaderValue(std::string_view response, std::string_view name);

// Where a redirect (301, 302, 303, 307 or 308) points: its non-empty Location. Nothing for
// other answers, and for a redirect without one.
std::optional<std::string> RedirectLocation(std::string_view response);

// The statuses that are tried again as a timeout is: 408, 429, 500, 502, 503 and 504.
bool IsRetriedStatus(int status);

// The delay a Retry-After header asks for, in seconds (a number of seconds; a date is not read),
// at most kMaxRetryAfterSeconds.
inline constexpr int kMaxRetryAfterSeconds = 60;
std::optional<int> RetryAfterSeconds(std::string_view response);

// What makes a response as received unusable: a head without its status line or blank line
// (the server closed before the end of its header), or a body shorter than its Content-Length.
enum class ResponseFault { None, BrokenHead, ShortBody };
ResponseFault FaultOf(std::string_view response);

// The Content-Length of the head (case ignored), when it has one that can be held.
std::optional<std::int64_t> AnnouncedLength(std::string_view response);

} // namespace tw
