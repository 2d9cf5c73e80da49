#include "transport/responsereader.h"

#include <algorithm>
#include <limits>
#include <new>

namespace tw {

namespace {

// A head is a few hundred bytes: a server that sends more without ending one is searched no
// further, and its response is read whole at the close.
constexpr std::size_t kLongestHead = std::size_t {64} * 1024;

bool HasBody(int status)
{
    constexpr int kNoContent = 204;
    constexpr int kNotModified = 304;
    return status >= 200 && status != kNoContent && status != kNotModified;
}

} // namespace

HttpResponse ResponseReader::Parse(std::size_t headEnd) const
{
    return ParseResponse(std::string_view(m_bytes).substr(0, headEnd), m_passedOn);
}

bool ResponseReader::ReadHead(bool framed)
{
    if (m_head)
        return false;
    for (;;) {
        const std::optional<HeadEnd> end
            = HeadEndOf(std::string_view(m_bytes).substr(0, kLongestHead));
        if (!end)
            return false;
        HttpResponse head = Parse(end->body);
        // An interim answer (100 Continue, 103 Early Hints) precedes the answer to the request.
        if (!IsInterimStatus(head.status)) {
            m_head = std::move(head);
            break;
        }
        m_bytes.erase(0, end->body);
    }
    if (framed)
        m_frame = FrameOf(*m_head);
    const ContentCoding coding = CodingOf(m_head->Field("Content-Encoding").value_or(""));
    if (coding != ContentCoding::Identity && HasBody(m_head->status))
        m_decoder = std::make_unique<BodyDecoder>(coding, std::numeric_limits<std::int64_t>::max());
    return true;
}

void ResponseReader::LimitDecodedBody(std::int64_t bytes)
{
    if (m_decoder)
        m_decoder->SetLimit(bytes);
}

bool ResponseReader::DecodeHeldBody()
{
    if (!m_decoder || !m_head)
        return true;
    std::string decoded;
    if (!m_decoder->Feed(HeldBody(), decoded) || !m_decoder->Finish())
        return false;
    m_bytes.replace(BodyStart(), std::string::npos, decoded);
    return true;
}

std::string ResponseReader::ArrivedBody()
{
    const std::string_view arrived = Answer().Body(m_bytes);
    if (!m_decoder)
        return std::string(arrived);
    std::string decoded;
    m_decoder->Feed(arrived, decoded);
    return decoded;
}

std::int64_t ResponseReader::CodedSize() const
{
    return m_decoder ? m_decoder->CodedSize() : 0;
}

void ResponseReader::Reserve(std::int64_t bytes)
{
    try {
        m_bytes.reserve(static_cast<std::size_t>(bytes));
    } catch (const std::bad_alloc &) {
        // Growing chunk by chunk still works; the reservation only saves copies.
    }
}

bool ResponseReader::BodyComplete()
{
    if (!m_frame)
        return false;
    const std::string_view body = HeldBody();
    switch (m_frame->framing) {
    case Framing::UntilClose:
        return false;
    case Framing::NoBody:
        return true;
    case Framing::Length:
        return static_cast<std::int64_t>(body.size()) + m_passedOn >= m_frame->length;
    case Framing::Chunked:
        return m_chunks.Read(body) != ChunkedReader::State::Partial;
    }
    return false;
}

bool ResponseReader::EndsOnlyAtClose()
{
    if (!m_head || BodyComplete())
        return false;
    return !m_head->announcedLength && FrameOf(*m_head).framing != Framing::NoBody;
}

void ResponseReader::MarkConnectionUnfit()
{
    if (m_frame)
        m_frame->reusable = false;
}

bool ResponseReader::PassOnBody(const std::function<bool(std::string_view)> &passOn)
{
    const std::size_t bodyStart = BodyStart();
    const std::size_t held = m_bytes.size() - bodyStart;
    std::size_t data = held;
    std::size_t taken = held;
    const Framing framing = m_frame ? m_frame->framing : Framing::UntilClose;
    if (framing == Framing::Length) {
        data = std::min(held, static_cast<std::size_t>(m_frame->length - m_passedOn));
        taken = data;
    } else if (framing == Framing::Chunked) {
        const DecodedChunks decoded = DecodeWholeChunks(m_bytes, bodyStart);
        data = decoded.data;
        taken = decoded.coded;
        // What it knew of the chunks is gone with them.
        m_chunks = ChunkedReader();
    }
    const std::string_view whole = std::string_view(m_bytes).substr(bodyStart, data);
    if (m_decoder) {
        std::string decoded;
        if (!m_decoder->Feed(whole, decoded) || !passOn(decoded))
            return false;
    } else if (!passOn(whole)) {
        return false;
    }
    m_passedOn += static_cast<std::int64_t>(data);
    m_bytes.erase(bodyStart, taken);
    return true;
}

bool ResponseReader::CutToFrame(bool nextAnswerExpected, std::string &next)
{
    if (!m_frame || !m_head)
        return true;
    BodyFrame &frame = *m_frame;
    const std::size_t bodyStart = BodyStart();
    std::size_t end = m_bytes.size();
    if (frame.framing == Framing::NoBody)
        end = bodyStart;
    else if (frame.framing == Framing::Length)
        end = std::min(end, bodyStart + static_cast<std::size_t>(frame.length - m_passedOn));
    else if (frame.framing == Framing::Chunked) {
        if (m_chunks.Read(HeldBody()) != ChunkedReader::State::Whole)
            return false;
        end = bodyStart + m_chunks.End();
    }
    // Bytes after the answer begin the answer to the request sent ahead, if they may; otherwise
    // they belong to no request and the connection cannot be trusted again.
    const std::string_view after = std::string_view(m_bytes).substr(end);
    if (!after.empty() && nextAnswerExpected && MayBeginAnswer(after))
        next.assign(after);
    else if (!after.empty())
        frame.reusable = false;
    if (frame.framing == Framing::Chunked)
        return DecodeChunked(m_bytes, bodyStart, end);
    m_bytes.resize(end);
    return true;
}

HttpResponse ResponseReader::Answer() const
{
    if (!m_head)
        return Parse(m_bytes.size());
    HttpResponse answer = *m_head;
    answer.fault = FaultOf(answer, m_bytes, m_passedOn);
    return answer;
}

std::string ResponseReader::TakeBytes()
{
    std::string bytes = std::move(m_bytes);
    m_bytes.clear();
    return bytes;
}

void ResponseReader::Release()
{
    m_bytes.clear();
    m_bytes.shrink_to_fit();
}

} // namespace tw
