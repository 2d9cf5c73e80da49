// A slot's receiving of an answer: taking what arrives within the memory limit, reading the head
// once, writing a file's body to disk as it comes, knowing where a kept-alive answer's body ends,
// and keeping or closing the connection after it.

#include "crawl/slotfetch.h"

#include "common/stringops.h"
#include "crawl/memorylimit.h"
#include "output/filesystem.h"
#include "output/pagesaver.h"
#include "transport/connection.h"

#include <QTimer>

#include <limits>

namespace tw {

namespace {

// A disk whose space cannot be told bounds a decoded body no further than writing does.
constexpr std::int64_t kUnknownSpaceLeft = std::numeric_limits<std::int64_t>::max();

} // namespace

bool SlotFetch::ConnectionReusable() const
{
    // A slot above the connections in use takes no next fetch to keep its connection for.
    return m_record.reader.LeavesConnectionReusable() && m_context.InUse(m_number);
}

void SlotFetch::ReleaseConnection()
{
    const bool reusable = ConnectionReusable();
    const int state = m_socket->State();
    // A server may answer the request sent ahead and close: its answer is whole all the same.
    const bool nextAnswerComes = state == Connection::Connected
        || (state == Connection::Closing && m_next && !m_next->answerStart.empty());
    if (reusable && m_next && nextAnswerComes) {
        TakeUpNext();
    } else if (reusable && !m_next && state == Connection::Connected
        && m_socket->BytesAvailable() == 0) {
        m_connectionUse = ConnectionUse::Kept;
        MoveTo(SlotPhase::KeptOpen);
    } else {
        CloseConnection();
    }
}

void SlotFetch::Sock_DataArrival()
{
    if (m_phase == SlotPhase::KeptOpen) {
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
    if (m_record.reader.BodyComplete())
        m_tmrOut->stop();
    ProcessChunk(Guard());

    if (Trim(m_record.url).empty()) {
        CloseConnection();
        ShowState(SlotState::NotConnected);
        return;
    }
    if (!m_context.InUse(m_number))
        ShowIdle();
    else
        ShowState(SlotState::Downloading);
}

bool SlotFetch::Receive()
{
    // Bytes that join a response held are checked first: one that grew first would hold twice
    // the limit while its buffer is copied to a bigger one. The first bytes are taken without a
    // copy, and a body written to disk as it comes is held only briefly: both are checked once
    // passed on.
    if (m_record.body == BodyKeeping::Held && !m_record.reader.Bytes().empty()
        && m_context.OutgrowsMemoryLimit(m_number, m_socket->BytesAvailable())) {
        std::string dropped;
        const auto received = static_cast<std::int64_t>(m_socket->TakeAll(dropped));
        m_context.CountReceived(received);
        m_record.bytesReceived += received;
        m_record.ForgetResponse();
        return false;
    }
    const auto received = static_cast<std::int64_t>(m_socket->TakeAll(m_record.reader.Bytes()));
    // The whole response is here: no timeout may fire while its handling waits behind other
    // slots' handlers, or a complete answer would be taken for a failed try.
    if (m_socket->State() == Connection::Closing)
        m_tmrOut->stop();
    m_context.CountReceived(received);
    m_record.bytesReceived += received;
    return true;
}

bool SlotFetch::PassOnBody()
{
    std::string error;
    if (!WriteBodyAhead(error)) {
        // The rest of the body must not be read as the next answer.
        m_record.reader.MarkConnectionUnfit();
        m_record.incoming.Discard();
        if (m_record.reader.Undecoded() != DecodeFault::None)
            FailDecoding();
        else
            FailFetch({.kind = Failure::Kind::NotStored, .detail = error});
        return false;
    }
    if (m_context.OutgrowsMemoryLimit(m_number, 0)) {
        m_record.ForgetResponse();
        FailTry(TryFailure::TooLarge);
        return false;
    }
    return true;
}

bool SlotFetch::WriteBodyAhead(std::string &error)
{
    ConnectionSlot &record = m_record;
    if (record.body == BodyKeeping::Held)
        return true;
    if (!record.incoming.IsOpen()) {
        if (record.reader.HeldBody().size() < kHeldBodyBytes && m_context.MemoryLeft() >= 0)
            return true;
        if (!record.incoming.Begin(
                StoredLocationFor(*record.reader.Head()), Job(), Writes(), error))
            return false;
    }
    if (!record.reader.PassOnBody(
            [&](std::string_view data) { return record.incoming.Append(data, error); }))
        return false;
    // What a read took in is not kept for the next one: with 24 big files at once, each slot's
    // buffer would stay as big as the biggest read.
    if (std::string &held = record.reader.Bytes(); held.capacity() > kHeldBodyBytes)
        held.shrink_to_fit();
    return true;
}

void SlotFetch::ProcessChunk(const FetchGuard &guard)
{
    // The head is read before the yield: a stop during the yield empties the response.
    ReadHead();
    if (!YieldFor(guard))
        return;

    if (!m_context.InUse(m_number))
        ShowIdle();
    else
        m_context.ShowProgress(m_number, m_record.bytesReceived, m_record.contentLength);

    // A reset cuts short an answer that only an orderly close would end; elsewhere it is judged
    // as a close: a head or a body short of its length fails there.
    const int state = m_socket->State();
    if (state == Connection::Error && m_record.reader.EndsOnlyAtClose())
        FailTry(TryFailure::Reset);
    else if (state == Connection::Closing || state == Connection::Error
        || m_record.reader.BodyComplete())
        Judge(guard);
}

void SlotFetch::ReadHead()
{
    ResponseReader &reader = m_record.reader;
    if (!reader.ReadHead(Job().KeepsConnectionsAlive()))
        return;
    const HttpResponse &head = *reader.Head();
    // A file's body goes to disk beyond what is held; a page, a style sheet or an SVG image is
    // held whole, for its links to be found and rewritten, and so is an answer that is not
    // stored as it came (an error, a move, robots.txt).
    const bool noBody = reader.Frame() && reader.Frame()->framing == Framing::NoBody;
    const bool asItArrives = m_record.kind != FetchKind::Robots && !noBody && head.status >= 200
        && head.status < 300
        && DocumentKindOf(StoredLocationFor(head), head.Field("Content-Type").value_or(""))
            == DocumentKind::Other;
    m_record.body = asItArrives ? BodyKeeping::AsItArrives : BodyKeeping::Held;
    // A body in a content coding decodes to at most what memory, or the disk, can take.
    if (reader.InCoding())
        reader.LimitDecodedBody(asItArrives
                ? FileSystem::SpaceLeft(Settings().outputDir).value_or(kUnknownSpaceLeft)
                : std::max<std::int64_t>(m_context.MemoryLeft(), 0));
    if (!head.announcedLength)
        return;
    m_record.contentLength = *head.announcedLength;
    const std::int64_t whole = static_cast<std::int64_t>(head.bodyStart) + m_record.contentLength;
    if (!asItArrives && m_record.contentLength > 0 && whole <= m_context.MemoryLeft())
        reader.Reserve(whole);
}

bool SlotFetch::BrokeBeforeAnswer()
{
    // A request the server left unanswered (a reset or refused HTTP/2 stream, a link going away)
    // is asked again at once, a few times.
    if (m_socket->Refused() && m_record.refusals < kFreeRetriesOfRefused) {
        ++m_record.refusals;
        return true;
    }
    // A stream of a link that carried earlier answers is no connection kept from one.
    if (m_connectionUse == ConnectionUse::New || m_socket->IsStream())
        return false;
    const int state = m_socket->State();
    if (state == Connection::Error)
        return !m_record.reader.BodyComplete();
    if (state != Connection::Closing)
        return false;
    // An answer that only the close ends is whole at the close, once any of it came.
    const std::optional<BodyFrame> &frame = m_record.reader.Frame();
    const bool endsAtClose = frame && frame->framing == Framing::UntilClose;
    return m_record.reader.Bytes().empty() || (!endsAtClose && !m_record.reader.BodyComplete());
}

void SlotFetch::RetryOnNewConnection()
{
    m_record.ForgetResponse();
    CloseConnection();
    m_tmrOut->start();
    Connect();
}

bool SlotFetch::TrimToFrame()
{
    std::string next;
    if (!m_record.reader.CutToFrame(m_next.has_value(), next))
        return false;
    if (!next.empty()) {
        const auto taken = static_cast<std::int64_t>(next.size());
        m_context.CountReceived(-taken);
        m_record.bytesReceived -= taken;
        m_next->answerStart = std::move(next);
    }
    return true;
}

} // namespace tw
