#pragma once

// Where the body of an answer to a kept-alive request ends: at a length, at the last chunk of
// the chunked transfer coding, at once (an answer without a body), or only at the server's
// close. And the chunked coding itself, found as the bytes arrive and taken off at the end.

#include "transport/httpmessage.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tw {

enum class Framing {
    UntilClose, // the close ends the body, as for every answer to a request that closes
    Length, // Content-Length bytes
    Chunked, // chunks up to the last one and the trailer fields after it
    NoBody, // 1xx, 204 and 304 answers
};

struct BodyFrame
{
    Framing framing = Framing::UntilClose;
    std::int64_t length = 0;
    // The connection may carry the next request once this answer is whole.
    bool reusable = false;
};

// How an answer to a kept-alive request is framed, from its head: chunked when the transfer
// coding says so (a Content-Length beside it is ignored); else by its length when the connection
// stays open (HTTP/1.1 without "Connection: close", or HTTP/1.0 with "Connection: keep-alive");
// else until the close.
BodyFrame FrameOf(const HttpResponse &head);

// Reads a chunked body as it arrives. Feed it the body received so far each time more arrives;
// it resumes where it stopped, so a big body is walked once.
class ChunkedReader
{
public:
    enum class State { Partial, Whole, Broken };
    State Read(std::string_view body);
    // Where the body ends (after the trailer fields), once Whole.
    std::size_t End() const { return m_at; }

private:
    std::size_t m_at = 0;
    bool m_whole = false;
};

// Takes the chunked coding off the body of text that starts at bodyStart and ends at bodyEnd,
// in place: text becomes the head followed by the data of the chunks. False when the body is not
// a whole chunked body.
bool DecodeChunked(std::string &text, std::size_t bodyStart, std::size_t bodyEnd);

// Takes the coding off the whole data chunks at the start of the body of text (from bodyStart) in
// place, up to the last chunk or one not yet whole: their data then fills [bodyStart, bodyStart +
// data), and [bodyStart + data, bodyStart + coded) is left over for the caller to drop.
struct DecodedChunks
{
    std::size_t data = 0;
    std::size_t coded = 0;
};
DecodedChunks DecodeWholeChunks(std::string &text, std::size_t bodyStart);

} // namespace tw
