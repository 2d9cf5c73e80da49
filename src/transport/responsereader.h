#pragma once

// One answer read as its bytes arrive: the head parsed once, when it is whole (interim answers
// before it dropped), the body's framing known from it, and the body's end found as it comes. A
// body may be passed on (to disk) while it arrives; what is passed on still counts towards its
// length. A body in a content coding (gzip, deflate, br) is decoded as it is passed on, or once
// whole: what is passed on and held is the file the site means.

#include "transport/bodyframing.h"
#include "transport/contentdecoding.h"
#include "transport/httpmessage.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tw {

class ResponseReader
{
public:
    // The bytes held: the head and the body not passed on. New bytes are appended to it.
    std::string &Bytes() { return m_bytes; }
    const std::string &Bytes() const { return m_bytes; }

    // Reads the head once it is whole; true only for the call that reads it. framed: the request
    // asked for the connection to stay open, so the body ends by its framing; otherwise only at
    // the close.
    bool ReadHead(bool framed);
    // The head, once read.
    const std::optional<HttpResponse> &Head() const { return m_head; }
    // How the body ends, once the head is read.
    const std::optional<BodyFrame> &Frame() const { return m_frame; }
    // Where the body begins in Bytes(): after the head once it is read, else at 0.
    std::size_t BodyStart() const { return m_head ? m_head->bodyStart : 0; }
    // The body's bytes held.
    std::string_view HeldBody() const { return std::string_view(m_bytes).substr(BodyStart()); }
    // The body's bytes passed on so far.
    std::int64_t PassedOn() const { return m_passedOn; }

    // Makes room for bytes in all (a reservation that fails changes nothing).
    void Reserve(std::int64_t bytes);
    // The body is whole by its framing, before any close.
    bool BodyComplete();
    // The answer has a head, is not whole by its framing, and has neither a length nor an empty
    // body: only an orderly close ends it.
    bool EndsOnlyAtClose();
    // The connection may carry the next request once this answer is whole.
    bool LeavesConnectionReusable() const { return m_frame && m_frame->reusable; }
    // Whatever comes after this answer on the connection is not another answer's.
    void MarkConnectionUnfit();

    // Hands the body's bytes that are whole (the data of whole chunks, no bytes past the length),
    // decoded, to passOn and drops them; false when passOn fails, keeping them, or when they do
    // not decode (Undecoded tells).
    bool PassOnBody(const std::function<bool(std::string_view)> &passOn);
    // The body is in a content coding, which is taken off.
    bool InCoding() const { return m_decoder != nullptr; }
    // The most bytes the body may decode to (held in memory, or passed on to disk).
    void LimitDecodedBody(std::int64_t bytes);
    // Decodes the body held, once the answer is whole and cut to its frame; false when it does
    // not decode (Undecoded tells).
    bool DecodeHeldBody();
    // What arrived of a body cut short, decoded as far as it goes when it is in a coding.
    std::string ArrivedBody();
    // Why the body did not decode; None while it does, or when it is in no coding.
    DecodeFault Undecoded() const { return m_decoder ? m_decoder->Fault() : DecodeFault::None; }
    // The bytes of a body in a content coding as they came, passed on and decoded so far; 0 for a
    // body in none.
    std::int64_t CodedSize() const;

    // Cuts the answer to its framing: what follows its length or last chunk is taken off (into
    // next, when nextAnswerExpected and it may begin an answer; otherwise the connection is unfit
    // for another answer), the chunked coding taken off. False for a chunked body that broke off
    // or is broken.
    bool CutToFrame(bool nextAnswerExpected, std::string &next);

    // The whole answer as received, its fault included; its head is read however long it is.
    HttpResponse Answer() const;
    // The bytes held, which the reader lets go of.
    std::string TakeBytes();
    // Lets go of the bytes held, their memory included.
    void Release();

private:
    HttpResponse Parse(std::size_t headEnd) const;

    std::string m_bytes;
    std::optional<HttpResponse> m_head;
    std::optional<BodyFrame> m_frame;
    ChunkedReader m_chunks;
    std::int64_t m_passedOn = 0;
    std::unique_ptr<BodyDecoder> m_decoder;
};

} // namespace tw
