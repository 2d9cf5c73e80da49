// The engine's answers to a fetch that does not end in a stored file as it came: a try that
// timed out or broke off, an error status, a type not wanted, a type that gives the file another
// name; retries, with the delay a server asks for; and the report of a failure.

#include "connections/engine.h"

#include "connections/connection.h"
#include "connections/httpmessage.h"
#include "extractor/admission.h"
#include "output/filesystem.h"
#include "output/pagesaver.h"
#include "output/redirectpage.h"

#include <QTimer>

namespace tw {

namespace {

constexpr std::string_view kTimeoutText = "Unable to download this file. (Timeout)";

} // namespace

void Engine::tmrOut_Timer(int index)
{
    FailTry(index, TryFailure::Timeout);
}

void Engine::FailTry(int index, TryFailure failure)
{
    ConnectionSlot &slot = SlotRecord(index);
    const bool lastTry = slot.attempt >= kTries;
    // What arrived of a body cut short is kept after the last try; otherwise the timeout text
    // stands in for the file until a try succeeds.
    const bool keepsWhatArrived = lastTry && failure == TryFailure::ShortBody;
    const SaveOutcome saved = SaveDownloadedFile(
        keepsWhatArrived ? ParseResponse(slot.response).Body(slot.response) : kTimeoutText,
        "\\" + slot.host + slot.path, m_job);
    slot.leftTimeoutText = !keepsWhatArrived && saved.kind == SaveOutcome::Kind::Stored;
    const Failure reason = FailureOf(failure, slot);
    // A stop, or a new fetch given to this slot meanwhile (a refused request leaves it free),
    // ends the retry.
    if (!YieldFor(GuardOf(index)))
        return;
    Sock(index).Close();
    if (!lastTry) {
        RetryAfter(index, 0);
        return;
    }
    ResetSlotDisplay(index);
    // The last try failed: what it left stays as the file, written once and not counted.
    tmrOut(index).stop();
    if (slot.startPage) {
        FailJob(index, reason);
        return;
    }
    ReportFailure(index, reason);
    if (m_queue.IsEmpty() && AllSocketsClosed())
        SiteComplete();
}

void Engine::FailStatus(int index, const HttpResponse &answer)
{
    ConnectionSlot &slot = SlotRecord(index);
    const Failure failure {
        .kind = Failure::Kind::HttpStatus, .announced = answer.status, .detail = answer.reason};
    Sock(index).Close();
    if (IsRetriedStatus(answer.status) && slot.attempt < kTries) {
        RetryAfter(index, answer.RetryAfterSeconds().value_or(0));
        return;
    }
    // The answer is the server's word that there is no such file: neither it nor a timeout text
    // of an earlier try stands in for the file.
    MarkNotStoredAsNamed(slot, {});
    const std::string stored = StoredLocationOf("\\" + slot.host + slot.path, m_job).file;
    if (slot.leftTimeoutText && FileSystem::IsInsideDirectory(stored, m_job.outputDir))
        FileSystem::RemoveFile(stored);
    FailFetch(index, failure);
}

void Engine::SkipFetch(int index, const std::string &contentType)
{
    ConnectionSlot &slot = SlotRecord(index);
    MarkNotStoredAsNamed(slot, {});
    ++m_job.aSkipped;
    Q_EMIT fetchSkipped(slot.url, contentType);
    Sock(index).Close();
    ResetSlotDisplay(index);
    if (m_queue.IsEmpty() && AllSocketsClosed())
        SiteComplete();
}

void Engine::LeadOnFromItsName(const ConnectionSlot &slot, const std::string &storedAs)
{
    const std::string named = "\\" + slot.host + slot.path;
    SaveDownloadedFile(
        RedirectPage(RelativeHref(StoredLocationOf(named, m_job).file, storedAs)), named, m_job);
    MarkNotStoredAsNamed(slot, storedAs);
}

void Engine::MarkNotStoredAsNamed(const ConnectionSlot &slot, std::string storedAs)
{
    const std::string localPath = LocalPathOf(slot.queuedUrl, m_job);
    if (FileSystem::IsInsideDirectory(localPath + ".tmp", m_job.outputDir))
        FileSystem::RemoveFile(localPath + ".tmp");
    m_job.settledPaths.insert_or_assign(localPath, std::move(storedAs));
}

void Engine::RetryAfter(int index, int seconds)
{
    ConnectionSlot &slot = SlotRecord(index);
    ResetSlotDisplay(index);
    ++slot.attempt;
    slot.ForgetResponse();
    if (seconds <= 0) {
        tmrOut(index).start();
        ConnectSlot(index);
        return;
    }
    tmrOut(index).stop();
    slot.waitingToRetry = true;
    QTimer::singleShot(seconds * 1000, this, [this, index, guard = GuardOf(index)] {
        ConnectionSlot &waiting = SlotRecord(index);
        // A stop or a new job let go of the slot meanwhile.
        if (!guard.StillCurrent() || !waiting.waitingToRetry)
            return;
        waiting.waitingToRetry = false;
        tmrOut(index).start();
        ConnectSlot(index);
    });
}

Failure Engine::FailureOf(TryFailure failure, const ConnectionSlot &slot)
{
    switch (failure) {
    case TryFailure::Timeout:
        break;
    case TryFailure::BrokenHead:
        return {.kind = Failure::Kind::BrokenHead};
    case TryFailure::ShortBody: {
        const HttpResponse answer = ParseResponse(slot.response);
        return {.kind = Failure::Kind::ShortBody,
            .received = static_cast<std::int64_t>(answer.Body(slot.response).size()),
            .announced = answer.announcedLength.value_or(0)};
    }
    case TryFailure::TooLarge:
        return {.kind = Failure::Kind::TooLarge};
    }
    if (slot.lastFailure == ConnectFailure::None)
        return {.kind = Failure::Kind::TimedOut};
    return {.kind = Failure::Kind::Connect, .connect = slot.lastFailure};
}

void Engine::ReportFailure(int index, const Failure &failure)
{
    ++m_job.aFailures;
    Q_EMIT fetchFailed(Slot(index).url, failure);
}

} // namespace tw
