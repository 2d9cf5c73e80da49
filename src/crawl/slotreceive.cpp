// A slot's receiving of an answer: taking what arrives within the memory limit, reading the head
// once, writing a file's body to disk as it comes, knowing where a kept-alive answer's body ends,
// and keeping or closing the connection after it.

#include "crawl/slotfetch.h"

#include "common/stringops.h"
#include "crawl/engine.h"
#include "crawl/memorylimit.h"
#include "output/pagesaver.h"
#include "transport/connection.h"

#include <QTimer>

#include <new>

namespace tw {

bool SlotFetch::ConnectionReusable() const
{
    // A slot above the connections in use takes no next fetch to keep its connection for.
    return m_record.frame && m_record.frame->reusable && m_number <= m_engine.m_connectionCount;
}

void SlotFetch::ReleaseConnection()
{
    const bool reusable = ConnectionReusable();
    const int state = m_socket->State();
    // A server may answer the request sent ahead and close: its answer is whole all the same.
    const bool nextAnswerComes
        = state == Connection::Connected || (state == Connection::Closing && !m_nextStart.empty());
    if (reusable && m_next && nextAnswerComes) {
        m_connectionKept = true;
        TakeUpNext();
    } else if (reusable && !m_next && state == Connection::Connected
        && m_socket->BytesAvailable() == 0) {
        m_connectionKept = true;
        m_keptOpen = true;
    } else {
        CloseConnection();
    }
}

void SlotFetch::Sock_DataArrival()
{
    if (m_keptOpen) {
        // The server closed the kept connection, or spoke out of turn, between fetches.
        CloseConnection();
        return;
    }
    m_tmrOut->start();
    if (!Receive()) {
        FailTry(TryFailure::TooLarge);
        return;
    }
    // The head is read first: an answer that came whole with the close is no broken one.
    ReadHead();
    if (!PassOnBody())
        return;
    if (BrokeBeforeAnswer()) {
        RetryOnNewConnection();
        return;
    }
    // A kept-alive answer whose length or last chunk came is whole, as one that came with the
    // close: taking it in may have outlasted the timeout, which must not fire while it is handled.
    if (BodyComplete())
        m_tmrOut->stop();
    ProcessChunk(Guard());

    if (Trim(m_record.url).empty()) {
        CloseConnection();
        ShowState(SlotState::NotConnected);
        return;
    }
    if (m_engine.m_connectionCount < m_number)
        ShowIdle();
    else
        ShowState(SlotState::Downloading);
}

bool SlotFetch::Receive()
{
    SiteJob &job = Job();
    // Bytes that join a response held are checked first: one that grew first would hold twice
    // the limit while its buffer is copied to a bigger one. The first bytes are taken without a
    // copy, and a body written to disk as it comes is held only briefly: both are checked once
    // passed on.
    if (!m_record.storedAsItArrives && !m_record.response.empty()
        && m_engine.OutgrowsMemoryLimit(m_number, m_socket->BytesAvailable())) {
        std::string dropped;
        const auto received = static_cast<std::int64_t>(m_socket->TakeAll(dropped));
        job.aBytes += received;
        m_record.bytesReceived += received;
        m_record.ForgetResponse();
        return false;
    }
    const auto received = static_cast<std::int64_t>(m_socket->TakeAll(m_record.response));
    // The whole response is here: no timeout may fire while its handling waits behind other
    // slots' handlers, or a complete answer would be taken for a failed try.
    if (m_socket->State() == Connection::Closing)
        m_tmrOut->stop();
    job.aBytes += received;
    m_record.bytesReceived += received;
    return true;
}

bool SlotFetch::PassOnBody()
{
    std::string error;
    if (!WriteBodyAhead(error)) {
        // The rest of the body must not be read as the next answer.
        if (m_record.frame)
            m_record.frame->reusable = false;
        m_record.incoming.Discard();
        FailFetch({.kind = Failure::Kind::NotStored, .detail = error});
        return false;
    }
    if (m_engine.OutgrowsMemoryLimit(m_number, 0)) {
        m_record.ForgetResponse();
        FailTry(TryFailure::TooLarge);
        return false;
    }
    return true;
}

bool SlotFetch::WriteBodyAhead(std::string &error)
{
    ConnectionSlot &record = m_record;
    if (!record.storedAsItArrives)
        return true;
    const std::size_t bodyStart = *record.bodyStart;
    const std::size_t held = record.response.size() - bodyStart;
    if (!record.incoming.IsOpen()) {
        if (held < kHeldBodyBytes && m_engine.MemoryLeft() >= 0)
            return true;
        const HttpResponse head
            = ParseResponse(std::string_view(record.response).substr(0, bodyStart));
        if (!record.incoming.Begin(StoredLocationFor(head), Job(), error))
            return false;
    }
    std::size_t data = held;
    std::size_t taken = held;
    const Framing framing = record.frame ? record.frame->framing : Framing::UntilClose;
    if (framing == Framing::Length) {
        data = std::min(held, static_cast<std::size_t>(record.frame->length - BodyWrittenAhead()));
        taken = data;
    } else if (framing == Framing::Chunked) {
        const DecodedChunks decoded = DecodeWholeChunks(record.response, bodyStart);
        data = decoded.data;
        taken = decoded.coded;
        // What it knew of the chunks is gone with them.
        record.chunks = ChunkedReader();
    }
    if (!record.incoming.Append(std::string_view(record.response).substr(bodyStart, data), error))
        return false;
    record.response.erase(bodyStart, taken);
    // What a read took in is not kept for the next one: with 24 big files at once, each slot's
    // buffer would stay as big as the biggest read.
    if (record.response.capacity() > kHeldBodyBytes)
        record.response.shrink_to_fit();
    return true;
}

std::int64_t SlotFetch::BodyWrittenAhead() const
{
    return m_record.incoming.Size();
}

void SlotFetch::ProcessChunk(const FetchGuard &guard)
{
    // The head is read before the yield: a stop during the yield empties the response.
    ReadHead();
    if (!YieldFor(guard))
        return;

    if (m_engine.m_connectionCount < m_number)
        ShowIdle();
    else
        Q_EMIT m_engine.slotProgressChanged(
            m_number, m_record.bytesReceived, m_record.contentLength);

    const int state = m_socket->State();
    if (state == Connection::Error && EndsOnlyAtClose())
        FailTry(TryFailure::Reset);
    else if (state == Connection::Closing || state == Connection::Error || BodyComplete())
        Judge(guard);
}

bool SlotFetch::EndsOnlyAtClose()
{
    if (!m_record.bodyStart || BodyComplete())
        return false;
    const HttpResponse head
        = ParseResponse(std::string_view(m_record.response).substr(0, *m_record.bodyStart));
    return !head.announcedLength && FrameOf(head).framing != Framing::NoBody;
}

void SlotFetch::ReadHead()
{
    // A head is a few hundred bytes: a server that sends more without ending one is searched no
    // further, and its response is judged whole at the close.
    constexpr std::size_t kLongestHead = std::size_t {64} * 1024;
    if (m_record.bodyStart)
        return;
    std::optional<HeadEnd> end;
    HttpResponse head;
    for (;;) {
        end = HeadEndOf(std::string_view(m_record.response).substr(0, kLongestHead));
        if (!end)
            return;
        head = ParseResponse(std::string_view(m_record.response).substr(0, end->body));
        // An interim answer (100 Continue, 103 Early Hints) precedes the answer to the request.
        if (!IsInterimStatus(head.status))
            break;
        m_record.response.erase(0, end->body);
    }
    m_record.bodyStart = end->body;
    if (Job().KeepsConnectionsAlive())
        m_record.frame = FrameOf(head);
    // A file's body goes to disk beyond what is held; a page, a style sheet or an SVG image is
    // held whole, for its links to be found and rewritten, and so is an answer that is not
    // stored as it came (an error, a move, robots.txt).
    const bool noBody = m_record.frame && m_record.frame->framing == Framing::NoBody;
    m_record.storedAsItArrives = !m_record.robots && !noBody && head.status >= 200
        && head.status < 300
        && DocumentKindOf(StoredLocationFor(head), head.Field("Content-Type").value_or(""))
            == DocumentKind::Other;
    if (!head.announcedLength)
        return;
    m_record.contentLength = *head.announcedLength;
    const std::int64_t whole = static_cast<std::int64_t>(end->body) + m_record.contentLength;
    if (!m_record.storedAsItArrives && m_record.contentLength > 0
        && whole <= m_engine.MemoryLeft()) {
        try {
            m_record.response.reserve(static_cast<std::size_t>(whole));
        } catch (const std::bad_alloc &) {
            // Growing chunk by chunk still works; the reservation only saves copies.
        }
    }
}

bool SlotFetch::BodyComplete()
{
    if (!m_record.frame)
        return false;
    const std::string_view body = std::string_view(m_record.response).substr(*m_record.bodyStart);
    switch (m_record.frame->framing) {
    case Framing::UntilClose:
        return false;
    case Framing::NoBody:
        return true;
    case Framing::Length:
        return static_cast<std::int64_t>(body.size()) + BodyWrittenAhead()
            >= m_record.frame->length;
    case Framing::Chunked:
        return m_record.chunks.Read(body) != ChunkedReader::State::Partial;
    }
    return false;
}

bool SlotFetch::BrokeBeforeAnswer()
{
    // A server that turns a request away unprocessed (a refused HTTP/2 stream, a link going away)
    // is asked again at once, a few times.
    if (m_socket->Refused() && m_record.refusals < kFreeRetriesOfRefused) {
        ++m_record.refusals;
        return true;
    }
    // A stream the server reset was its answer, not a connection let go of meanwhile.
    if (!m_record.reusedConnection || m_socket->IsStream())
        return false;
    const int state = m_socket->State();
    if (state == Connection::Error)
        return !BodyComplete();
    if (state != Connection::Closing)
        return false;
    // An answer that only the close ends is whole at the close, once any of it came.
    const bool endsAtClose = m_record.frame && m_record.frame->framing == Framing::UntilClose;
    return m_record.response.empty() || (!endsAtClose && !BodyComplete());
}

void SlotFetch::RetryOnNewConnection()
{
    m_record.reusedConnection = false;
    m_record.ForgetResponse();
    CloseConnection();
    m_tmrOut->start();
    Connect();
}

bool SlotFetch::TrimToFrame()
{
    if (!m_record.frame || !m_record.bodyStart)
        return true;
    BodyFrame &frame = *m_record.frame;
    const std::size_t bodyStart = *m_record.bodyStart;
    std::size_t end = m_record.response.size();
    if (frame.framing == Framing::NoBody)
        end = bodyStart;
    else if (frame.framing == Framing::Length)
        end = std::min(
            end, bodyStart + static_cast<std::size_t>(frame.length - BodyWrittenAhead()));
    else if (frame.framing == Framing::Chunked) {
        const std::string_view body = std::string_view(m_record.response).substr(bodyStart);
        if (m_record.chunks.Read(body) != ChunkedReader::State::Whole)
            return false;
        end = bodyStart + m_record.chunks.End();
    }
    // Bytes after the answer begin the answer to the request sent ahead, if they may; otherwise
    // they belong to no request and the connection cannot be trusted again.
    const std::string_view after = std::string_view(m_record.response).substr(end);
    if (!after.empty() && m_next && MayBeginAnswer(after)) {
        m_nextStart.assign(m_record.response, end);
        const auto taken = static_cast<std::int64_t>(m_nextStart.size());
        Job().aBytes -= taken;
        m_record.bytesReceived -= taken;
    } else if (!after.empty()) {
        frame.reusable = false;
    }
    if (frame.framing == Framing::Chunked)
        return DecodeChunked(m_record.response, bodyStart, end);
    m_record.response.resize(end);
    return true;
}

} // namespace tw
