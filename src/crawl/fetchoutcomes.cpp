// A slot's answers to a fetch that does not end in a stored file as it came: a try that
// timed out or broke off, an error status, a type not wanted, a type that gives the file another
// name, a robots.txt read, a file of an earlier copy left as it was; and retries, with the delay
// a server asks for.

#include "crawl/slotfetch.h"

#include "extractor/admission.h"
#include "output/filesystem.h"
#include "output/jobfiles.h"
#include "output/pagesaver.h"
#include "output/redirectpage.h"
#include "transport/connection.h"
#include "transport/httpmessage.h"

#include <QTimer>

#include <algorithm>

namespace tw {

namespace {

constexpr std::string_view kTimeoutText = "Unable to download this file. (Timeout)";

// A connect refused, or a name not found, is tried again after this pause, or a tenth of the
// timeout when that is shorter: at once would only meet the same refusal.
constexpr std::chrono::milliseconds kConnectRetryPause {500};

} // namespace

void SlotFetch::tmrOut_Timer()
{
    // What arrived while this slot's handler waited under other slots' handlers is no silence of
    // the server: its event comes once that handler returns.
    if (m_socket->HasNewsPending())
        return;
    FailTry(TryFailure::Timeout);
}

void SlotFetch::FailTry(TryFailure failure)
{
    const bool lastTry = m_record.attempt >= kTries;
    // What arrived of a body cut short is kept after the last try; otherwise the timeout text
    // stands in for the file until a try succeeds. A file of an earlier copy is kept instead.
    const bool keepsWhatArrived
        = lastTry && (failure == TryFailure::ShortBody || failure == TryFailure::Reset);
    const Failure reason = FailureOf(failure);
    if (!StoresNothingUntilWhole()) {
        const std::string arrived
            = keepsWhatArrived ? m_record.reader.ArrivedBody() : std::string();
        const SaveOutcome saved = keepsWhatArrived && m_record.incoming.IsOpen()
            ? m_record.incoming.Store(arrived, Job(), Writes())
            : SaveDownloadedFile(
                keepsWhatArrived ? arrived : kTimeoutText, SavedName(), Job(), Writes());
        m_record.standIn = !keepsWhatArrived && saved.kind == SaveOutcome::Kind::Stored
            ? StandIn::TimeoutText
            : StandIn::Nothing;
    }
    m_record.incoming.Discard();
    // A stop, or a new fetch given to this slot meanwhile (a refused request leaves it free),
    // ends the retry.
    if (!YieldFor(Guard()))
        return;
    CloseConnection();
    if (!lastTry) {
        RetryAfter(failure == TryFailure::Connect
                ? std::min(kConnectRetryPause, std::chrono::milliseconds(m_tmrOut->interval() / 10))
                : std::chrono::milliseconds::zero());
        return;
    }
    ShowIdle();
    // The last try failed: what it left stays as the file, written once and not counted.
    m_tmrOut->stop();
    const FetchKind kind = m_record.kind;
    Report({.kind = FetchOutcome::Kind::Failed, .failure = reason});
    if (kind == FetchKind::Robots)
        LeaveStoredFile();
    else if (FoundInPage(kind))
        m_context.FetchEnded();
}

void SlotFetch::RetryStatus(std::chrono::seconds pause)
{
    // The host asked for a pause: none of its other fetches starts before it ends either.
    m_context.SlowDown(m_record.host, pause);
    if (pause == std::chrono::seconds::zero() && RetryBehindNext())
        return;
    CloseConnection();
    RetryAfter(pause);
}

void SlotFetch::FailStatus(const HttpResponse &answer, Failure::Kind kind)
{
    const Failure failure {.kind = kind, .announced = answer.status, .detail = answer.reason};
    // The answer is the server's word that there is no such file: neither it nor a timeout text
    // of an earlier try stands in for the file.
    MarkNotStoredAsNamed({});
    const std::string stored = StoredLocationOf(SavedName(), Job()).file;
    if (m_record.standIn == StandIn::TimeoutText
        && FileSystem::IsInsideDirectory(stored, Job().outputDir))
        RemoveJobFile(stored, Job(), Writes());
    FailFetch(failure);
}

void SlotFetch::FailFetch(const Failure &failure)
{
    m_tmrOut->stop();
    const FetchKind kind = m_record.kind;
    if (!FoundInPage(kind)) {
        CloseConnection();
        Report({.kind = FetchOutcome::Kind::Refused, .failure = failure});
        if (kind == FetchKind::Robots)
            LeaveStoredFile();
        return;
    }
    ShowIdle();
    Report({.kind = FetchOutcome::Kind::Refused, .failure = failure});
    // A whole error answer leaves a kept connection fit for the answer sent ahead on it.
    ReleaseConnection();
    m_context.FetchEnded();
}

void SlotFetch::SkipFetch(const std::string &contentType)
{
    m_record.incoming.Discard();
    Report({.kind = FetchOutcome::Kind::Skipped, .text = contentType});
    ShowIdle();
    ReleaseConnection();
    m_context.FetchEnded();
}

void SlotFetch::ReadRobots(int status, std::string_view body)
{
    Report({.kind = FetchOutcome::Kind::RobotsRead, .status = status, .text = body});
    LeaveStoredFile();
}

void SlotFetch::LeaveStoredFile()
{
    m_tmrOut->stop();
    ShowIdle();
    ReleaseConnection();
    m_context.FetchEnded();
}

void SlotFetch::LeadOnFromItsName(const std::string &storedAs)
{
    const std::string named = SavedName();
    SaveDownloadedFile(RedirectPage(RelativeHref(StoredLocationOf(named, Job()).file, storedAs)),
        named, Job(), Writes());
    MarkNotStoredAsNamed(storedAs);
}

void SlotFetch::MarkNotStoredAsNamed(std::string_view storedAs)
{
    Report({.kind = FetchOutcome::Kind::StoredElsewhere, .text = storedAs});
}

void SlotFetch::RetryAfter(std::chrono::milliseconds pause)
{
    ShowIdle();
    ++m_record.attempt;
    m_record.ForgetResponse();
    if (pause <= std::chrono::milliseconds::zero()) {
        m_tmrOut->start();
        Connect();
        return;
    }
    m_tmrOut->stop();
    MoveTo(SlotPhase::WaitingToRetry);
    QTimer::singleShot(pause, this, [this, guard = Guard()] {
        // A stop or a new job let go of the slot meanwhile.
        if (!guard.StillCurrent() || m_phase != SlotPhase::WaitingToRetry)
            return;
        m_tmrOut->start();
        Connect();
    });
}

void SlotFetch::FailDecoding()
{
    FailTry(m_record.reader.Undecoded() == DecodeFault::TooLarge ? TryFailure::TooLarge
                                                                 : TryFailure::BadCoding);
}

Failure SlotFetch::FailureOf(TryFailure failure) const
{
    switch (failure) {
    case TryFailure::Timeout:
        return {.kind = Failure::Kind::TimedOut};
    case TryFailure::Connect:
        return {.kind = Failure::Kind::Connect,
            .connect = m_record.lastFailure,
            .announced = m_record.lastProxyStatus};
    case TryFailure::BrokenHead:
        return {.kind = Failure::Kind::BrokenHead};
    case TryFailure::ShortBody: {
        const ResponseReader &reader = m_record.reader;
        const HttpResponse answer = reader.Answer();
        return {.kind = Failure::Kind::ShortBody,
            .received
            = static_cast<std::int64_t>(answer.Body(reader.Bytes()).size()) + reader.PassedOn(),
            .announced = answer.announcedLength.value_or(0)};
    }
    case TryFailure::Reset:
        return {.kind = Failure::Kind::Reset};
    case TryFailure::BrokenChunks:
        return {.kind = Failure::Kind::BrokenChunks};
    case TryFailure::TooLarge:
        return {.kind = Failure::Kind::TooLarge};
    case TryFailure::BadCoding:
        return {.kind = Failure::Kind::BadCoding,
            .detail = m_record.reader.Head()->Field("Content-Encoding").value_or("")};
    }
    return {};
}

} // namespace tw
