#include "transport/bodyframing.h"

#include "common/percentcoding.h"
#include "common/stringops.h"

#include <cstring>

namespace tw {

namespace {

// A chunk-size line longer than this (extensions included) is not waited for.
constexpr std::size_t kMaxChunkLine = 4096;
// Sixteen hexadecimal digits would overflow the count of a chunk's bytes.
constexpr std::size_t kMaxSizeDigits = 15;

// The chunk whose size line begins at `at` in body.
struct Chunk
{
    enum class Kind { Partial, Broken, Data, Last };
    Kind kind = Kind::Partial;
    std::size_t dataStart = 0;
    std::size_t size = 0;
    // Where the next chunk begins, or for the last chunk, its trailer fields.
    std::size_t next = 0;
};

Chunk ChunkAt(std::string_view body, std::size_t at)
{
    const std::size_t lf = body.find('\n', at);
    if (lf == std::string_view::npos)
        return {
            .kind = body.size() - at > kMaxChunkLine ? Chunk::Kind::Broken : Chunk::Kind::Partial};
    // Extensions after ";" say nothing the copy needs.
    std::string_view line = body.substr(at, lf - at);
    line = line.substr(0, line.find(';'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    if (line.empty() || line.size() > kMaxSizeDigits)
        return {.kind = Chunk::Kind::Broken};
    std::size_t size = 0;
    for (const char c : line) {
        const int digit = HexValue(c);
        if (digit < 0)
            return {.kind = Chunk::Kind::Broken};
        size = size * 16 + static_cast<std::size_t>(digit);
    }
    if (size == 0)
        return {.kind = Chunk::Kind::Last, .next = lf + 1};
    const std::size_t dataStart = lf + 1;
    const std::size_t dataEnd = dataStart + size;
    // The data is followed by its own line end, CR LF or LF alone.
    if (body.size() <= dataEnd || (body[dataEnd] == '\r' && body.size() == dataEnd + 1))
        return {.kind = Chunk::Kind::Partial};
    std::size_t next = 0;
    if (body[dataEnd] == '\n')
        next = dataEnd + 1;
    else if (body[dataEnd] == '\r' && body[dataEnd + 1] == '\n')
        next = dataEnd + 2;
    else
        return {.kind = Chunk::Kind::Broken};
    return {.kind = Chunk::Kind::Data, .dataStart = dataStart, .size = size, .next = next};
}

// Where the trailer fields that begin at `at` end, after their empty line; nothing while it has
// not arrived.
std::optional<std::size_t> TrailerEnd(std::string_view body, std::size_t at)
{
    for (std::size_t lf = body.find('\n', at); lf != std::string_view::npos;
         lf = body.find('\n', at)) {
        const std::string_view line = body.substr(at, lf - at);
        if (line.empty() || line == "\r")
            return lf + 1;
        at = lf + 1;
    }
    return std::nullopt;
}

bool IsChunked(const HttpResponse &head)
{
    const std::optional<std::string> coding = head.Field("Transfer-Encoding");
    return coding && Contains(ToLower(*coding), "chunked");
}

} // namespace

BodyFrame FrameOf(const HttpResponse &head)
{
    const std::string connection = ToLower(head.Field("Connection").value_or(""));
    const bool persistent = head.version == "HTTP/1.0" ? Contains(connection, "keep-alive")
                                                       : !Contains(connection, "close");
    const bool noBody
        = (head.status >= 100 && head.status < 200) || head.status == 204 || head.status == 304;
    if (noBody)
        return {.framing = Framing::NoBody, .reusable = persistent};
    if (IsChunked(head))
        return {.framing = Framing::Chunked, .reusable = persistent};
    if (persistent && head.announcedLength)
        return {.framing = Framing::Length, .length = *head.announcedLength, .reusable = true};
    return {};
}

ChunkedReader::State ChunkedReader::Read(std::string_view body)
{
    if (m_whole)
        return State::Whole;
    for (;;) {
        const Chunk chunk = ChunkAt(body, m_at);
        switch (chunk.kind) {
        case Chunk::Kind::Partial:
            return State::Partial;
        case Chunk::Kind::Broken:
            return State::Broken;
        case Chunk::Kind::Data:
            m_at = chunk.next;
            continue;
        case Chunk::Kind::Last:
            const std::optional<std::size_t> end = TrailerEnd(body, chunk.next);
            if (!end)
                return State::Partial;
            m_at = *end;
            m_whole = true;
            return State::Whole;
        }
    }
}

namespace {

// Moves the data of the chunks of text[bodyStart, bodyEnd) to bodyStart, one after the other, up
// to the first chunk that is not a whole data chunk, which is returned.
Chunk MoveChunkData(
    std::string &text, std::size_t bodyStart, std::size_t bodyEnd, DecodedChunks &decoded)
{
    const std::string_view body = std::string_view(text).substr(bodyStart, bodyEnd - bodyStart);
    for (;;) {
        const Chunk chunk = ChunkAt(body, decoded.coded);
        if (chunk.kind != Chunk::Kind::Data)
            return chunk;
        // The data moves only towards the front: the coding it leaves behind is longer.
        std::memmove(text.data() + bodyStart + decoded.data,
            text.data() + bodyStart + chunk.dataStart, chunk.size);
        decoded.data += chunk.size;
        decoded.coded = chunk.next;
    }
}

} // namespace

bool DecodeChunked(std::string &text, std::size_t bodyStart, std::size_t bodyEnd)
{
    DecodedChunks decoded;
    if (MoveChunkData(text, bodyStart, bodyEnd, decoded).kind != Chunk::Kind::Last)
        return false;
    text.resize(bodyStart + decoded.data);
    return true;
}

DecodedChunks DecodeWholeChunks(std::string &text, std::size_t bodyStart)
{
    DecodedChunks decoded;
    MoveChunkData(text, bodyStart, text.size(), decoded);
    return decoded;
}

} // namespace tw
