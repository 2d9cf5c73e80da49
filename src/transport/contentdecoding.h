#pragma once

// The content codings a server may put on an answer's body (gzip, deflate, br), taken off as the
// body arrives, so that what is stored is the file the site means. Decoding is bounded: a small
// body that would decode past the limit stops there.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tw {

// The value of Accept-Encoding for the codings this reader takes off.
inline constexpr std::string_view kAcceptedCodings = "gzip, deflate, br";

enum class ContentCoding {
    Identity, // no field, or "identity"
    Gzip, // "gzip", "x-gzip"
    Deflate, // "deflate": the zlib format, or a bare deflate stream, as some servers send it
    Brotli, // "br"
    Unknown, // a coding not taken off, or more than one
};

// The coding named by an answer's Content-Encoding field (empty: none).
ContentCoding CodingOf(std::string_view contentEncoding);

enum class DecodeFault {
    None,
    UnknownCoding, // the body is in a coding not taken off
    Corrupt, // the body does not follow its coding
    CutShort, // the body ended inside the coded stream
    TooLarge, // the decoded body would outgrow the limit
};

class BodyDecoder
{
public:
    // limit: the most bytes the decoded body may have.
    BodyDecoder(ContentCoding coding, std::int64_t limit);
    ~BodyDecoder();
    BodyDecoder(const BodyDecoder &) = delete;
    BodyDecoder &operator=(const BodyDecoder &) = delete;

    // Appends what coded decodes to to out; false, with the fault, when it cannot go on.
    bool Feed(std::string_view coded, std::string &out);
    // The coded body ended: false when its stream is not whole.
    bool Finish();
    DecodeFault Fault() const { return m_fault; }
    // The most bytes the decoded body may have from now on.
    void SetLimit(std::int64_t limit) { m_limit = limit; }
    std::int64_t CodedSize() const { return m_coded; }
    std::int64_t DecodedSize() const { return m_decoded; }

    class Stream;

private:
    bool Fail(DecodeFault fault);

    std::unique_ptr<Stream> m_stream;
    std::int64_t m_limit;
    std::int64_t m_coded = 0;
    std::int64_t m_decoded = 0;
    DecodeFault m_fault = DecodeFault::None;
};

} // namespace tw
