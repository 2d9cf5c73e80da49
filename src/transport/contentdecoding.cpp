#include "transport/contentdecoding.h"

#include "common/stringops.h"

#include <brotli/decode.h>
#include <zlib.h>

namespace tw {

namespace {

constexpr std::size_t kOutputStep = std::size_t {64} * 1024;

bool IsZlibHeader(unsigned char cmf, unsigned char flg)
{
    constexpr unsigned kDeflateMethod = 8;
    constexpr unsigned kHeaderCheck = 31;
    return (cmf & 0x0fU) == kDeflateMethod && ((cmf << 8U) | flg) % kHeaderCheck == 0;
}

bool IsGzipMagic(std::string_view bytes)
{
    return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1f
        && static_cast<unsigned char>(bytes[1]) == 0x8b;
}

// Appends the bytes a step produced to out while they fit in room, which they use up.
bool Emit(const unsigned char *bytes, std::size_t produced, std::string &out, std::int64_t &room)
{
    if (static_cast<std::int64_t>(produced) > room)
        return false;
    out.append(reinterpret_cast<const char *>(bytes), produced);
    room -= static_cast<std::int64_t>(produced);
    return true;
}

} // namespace

ContentCoding CodingOf(std::string_view contentEncoding)
{
    const std::string coding = LowerTrim(contentEncoding);
    if (coding.empty() || coding == "identity")
        return ContentCoding::Identity;
    if (coding == "gzip" || coding == "x-gzip")
        return ContentCoding::Gzip;
    if (coding == "deflate")
        return ContentCoding::Deflate;
    if (coding == "br")
        return ContentCoding::Brotli;
    return ContentCoding::Unknown;
}

// One coded stream; each step appends to out what the input decodes to, bounded by room.
class BodyDecoder::Stream
{
public:
    enum class Step { Going, Ended, Corrupt, TooLarge };
    virtual ~Stream() = default;
    virtual Step Feed(std::string_view coded, std::string &out, std::int64_t room) = 0;
    virtual bool Ended() const = 0;
};

namespace {

class PlainStream final : public BodyDecoder::Stream
{
public:
    Step Feed(std::string_view coded, std::string &out, std::int64_t room) override
    {
        if (static_cast<std::int64_t>(coded.size()) > room)
            return Step::TooLarge;
        out.append(coded);
        return Step::Going;
    }
    bool Ended() const override { return true; }
};

class ZlibStream final : public BodyDecoder::Stream
{
public:
    explicit ZlibStream(ContentCoding coding)
        : m_gzip(coding == ContentCoding::Gzip)
    {
    }
    ~ZlibStream() override
    {
        if (m_started)
            inflateEnd(&m_z);
    }
    ZlibStream(const ZlibStream &) = delete;
    ZlibStream &operator=(const ZlibStream &) = delete;

    Step Feed(std::string_view coded, std::string &out, std::int64_t room) override
    {
        if (!m_pending.empty() && m_started) {
            // The start of a next gzip member came split.
            const std::string held = std::move(m_pending) + std::string(coded);
            m_pending.clear();
            return Inflate(held, out, room);
        }
        if (!m_started) {
            // A deflate body's first two bytes tell the zlib format from a bare stream.
            m_pending.append(coded);
            if (!m_gzip && m_pending.size() < 2)
                return Step::Going;
            if (!Begin())
                return Step::Corrupt;
            const std::string first = std::move(m_pending);
            return Inflate(first, out, room);
        }
        return Inflate(coded, out, room);
    }
    bool Ended() const override { return m_ended; }

private:
    bool Begin()
    {
        constexpr int kWindowBits = 15;
        constexpr int kGzipWrapper = 16;
        int windowBits = kWindowBits;
        if (m_gzip)
            windowBits += kGzipWrapper;
        else if (!IsZlibHeader(static_cast<unsigned char>(m_pending[0]),
                     static_cast<unsigned char>(m_pending[1])))
            windowBits = -kWindowBits;
        m_started = inflateInit2(&m_z, windowBits) == Z_OK;
        return m_started;
    }

    Step Inflate(std::string_view coded, std::string &out, std::int64_t room)
    {
        // zlib reads its input through a non-const pointer it never writes through.
        m_z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(coded.data()));
        m_z.avail_in = static_cast<uInt>(coded.size());
        while (m_z.avail_in > 0) {
            if (m_ended) {
                // A gzip body may hold several members; anything else after the end is ignored.
                const std::string_view rest(
                    reinterpret_cast<const char *>(m_z.next_in), m_z.avail_in);
                if (m_gzip && rest.size() < 2) {
                    m_pending = rest;
                    return Step::Ended;
                }
                if (!m_gzip || !IsGzipMagic(rest))
                    return Step::Ended;
                inflateReset(&m_z);
                m_ended = false;
            }
            m_z.next_out = m_buffer.get();
            m_z.avail_out = static_cast<uInt>(kOutputStep);
            const int result = inflate(&m_z, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
                return Step::Corrupt;
            const std::size_t produced = kOutputStep - m_z.avail_out;
            if (!Emit(m_buffer.get(), produced, out, room))
                return Step::TooLarge;
            m_ended = result == Z_STREAM_END;
            if (result == Z_BUF_ERROR && produced == 0)
                break;
        }
        return m_ended ? Step::Ended : Step::Going;
    }

    z_stream m_z {};
    bool m_gzip;
    bool m_started = false;
    bool m_ended = false;
    std::string m_pending;
    std::unique_ptr<unsigned char[]> m_buffer
        = std::make_unique_for_overwrite<unsigned char[]>(kOutputStep);
};

class BrotliStream final : public BodyDecoder::Stream
{
public:
    BrotliStream()
        : m_state(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr))
    {
    }
    ~BrotliStream() override { BrotliDecoderDestroyInstance(m_state); }
    BrotliStream(const BrotliStream &) = delete;
    BrotliStream &operator=(const BrotliStream &) = delete;

    Step Feed(std::string_view coded, std::string &out, std::int64_t room) override
    {
        if (m_state == nullptr)
            return Step::Corrupt;
        auto availableIn = coded.size();
        const auto *nextIn = reinterpret_cast<const std::uint8_t *>(coded.data());
        for (;;) {
            if (m_ended)
                return Step::Ended;
            std::size_t availableOut = kOutputStep;
            std::uint8_t *nextOut = m_buffer.get();
            const BrotliDecoderResult result = BrotliDecoderDecompressStream(
                m_state, &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
            if (result == BROTLI_DECODER_RESULT_ERROR)
                return Step::Corrupt;
            if (!Emit(m_buffer.get(), kOutputStep - availableOut, out, room))
                return Step::TooLarge;
            m_ended = result == BROTLI_DECODER_RESULT_SUCCESS;
            if (result == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT)
                return Step::Going;
        }
    }
    bool Ended() const override { return m_ended; }

private:
    BrotliDecoderState *m_state;
    bool m_ended = false;
    std::unique_ptr<std::uint8_t[]> m_buffer
        = std::make_unique_for_overwrite<std::uint8_t[]>(kOutputStep);
};

std::unique_ptr<BodyDecoder::Stream> StreamFor(ContentCoding coding)
{
    switch (coding) {
    case ContentCoding::Identity:
        return std::make_unique<PlainStream>();
    case ContentCoding::Gzip:
    case ContentCoding::Deflate:
        return std::make_unique<ZlibStream>(coding);
    case ContentCoding::Brotli:
        return std::make_unique<BrotliStream>();
    case ContentCoding::Unknown:
        break;
    }
    // A decoder of a coding not known fails before its stream is asked.
    return nullptr;
}

} // namespace

BodyDecoder::BodyDecoder(ContentCoding coding, std::int64_t limit)
    : m_stream(StreamFor(coding))
    , m_limit(limit)
    , m_fault(coding == ContentCoding::Unknown ? DecodeFault::UnknownCoding : DecodeFault::None)
{
}

BodyDecoder::~BodyDecoder() = default;

bool BodyDecoder::Feed(std::string_view coded, std::string &out)
{
    if (m_fault != DecodeFault::None)
        return false;
    if (coded.empty())
        return true;
    m_coded += static_cast<std::int64_t>(coded.size());
    const std::size_t before = out.size();
    const Stream::Step step = m_stream->Feed(coded, out, m_limit - m_decoded);
    m_decoded += static_cast<std::int64_t>(out.size() - before);
    if (step == Stream::Step::Corrupt)
        return Fail(DecodeFault::Corrupt);
    if (step == Stream::Step::TooLarge)
        return Fail(DecodeFault::TooLarge);
    return true;
}

bool BodyDecoder::Finish()
{
    if (m_fault != DecodeFault::None)
        return false;
    // An empty body is an empty file, whatever coding its head names.
    if (m_coded == 0 || m_stream->Ended())
        return true;
    return Fail(DecodeFault::CutShort);
}

bool BodyDecoder::Fail(DecodeFault fault)
{
    m_fault = fault;
    return false;
}

} // namespace tw
