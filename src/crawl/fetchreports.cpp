// What the engine makes of what became of each slot's fetch: the counters, the signals the record
// and the windows follow, and the job's next step when a start page or a robots.txt is concerned.

#include "crawl/engine.h"

#include "extractor/localreferences.h"

namespace tw {

void Engine::GiveBack(std::string queuedUrl)
{
    if (m_running)
        m_queue.PutBackOldest(std::move(queuedUrl));
}

void Engine::SlowDown(const std::string &host, std::chrono::seconds pause)
{
    m_pace.SlowDown(host, pause, HostPace::Clock::now());
}

void Engine::ShowState(int slot, SlotState state)
{
    Q_EMIT slotStateChanged(slot, state);
}

void Engine::ShowIdle(int slot)
{
    Q_EMIT slotReset(slot);
}

void Engine::ShowProgress(int slot, std::int64_t received, std::int64_t length)
{
    Q_EMIT slotProgressChanged(slot, received, length);
}

void Engine::Report(int slot, const FetchOutcome &outcome)
{
    const ConnectionSlot &record = Slot(slot);
    using Kind = FetchOutcome::Kind;
    switch (outcome.kind) {
    case Kind::Saved:
        ++m_counters.aFiles;
        if (outcome.document != DocumentKind::Other
            && m_savedLinks.Note(record.url, outcome.stored->file, outcome.document,
                *outcome.references, m_knownPaths)) {
            // What is kept for a rewrite at the end holds no text: the rewrite changes it.
            StoredFetch kept = *outcome.stored;
            kept.text.reset();
            kept.stamp.reset();
            m_savedDocuments[record.url] = std::move(kept);
        }
        return;
    case Kind::NotStored:
        ReportFailure(record.url, outcome.failure, record.attempt);
        return;
    case Kind::StoredElsewhere:
        MarkNotStoredAsNamed(record.queuedUrl, std::string(outcome.text));
        return;
    case Kind::LinksFound:
        for (const PageReference &reference : *outcome.references) {
            if (reference.skipped && m_skippedLinks.insert(reference.skipped->url).second)
                Q_EMIT linkSkipped(reference.skipped->url, reference.skipped->cause);
        }
        return;
    case Kind::Stored:
        ReportStored(slot, outcome);
        return;
    case Kind::Unchanged:
        Q_EMIT fetchUnchanged(record.url);
        return;
    case Kind::Gone:
        Q_EMIT fetchGone(record.url, outcome.status);
        return;
    case Kind::Skipped:
        MarkNotStoredAsNamed(record.queuedUrl, {});
        ++m_counters.aSkipped;
        Q_EMIT fetchSkipped(record.url, std::string(outcome.text));
        return;
    case Kind::Failed:
    case Kind::Refused:
        ReportFetchFailure(slot, outcome.failure, outcome.kind == Kind::Refused);
        return;
    case Kind::RobotsRead:
        m_pace.RobotsRead(record.host, outcome.status, outcome.text, HostPace::Clock::now());
        return;
    case Kind::StartMoved:
        FollowStartMove(slot, std::string(outcome.text));
        return;
    case Kind::PasswordInClear:
        Q_EMIT passwordSentInClear(std::string(outcome.text));
        return;
    }
}

void Engine::ReportStored(int slot, const FetchOutcome &outcome)
{
    const ConnectionSlot &record = Slot(slot);
    if (outcome.stored)
        Q_EMIT fetchStored(record.url, *outcome.stored);
    if (!outcome.linksFollowed)
        ReportFailure(record.url,
            {.kind = Failure::Kind::LinksNotFollowed, .detail = m_writes.LastAppendError()},
            record.attempt);
}

void Engine::ReportFetchFailure(int slot, const Failure &failure, bool failedAtOnce)
{
    const ConnectionSlot &record = Slot(slot);
    switch (record.kind) {
    case FetchKind::Robots:
        m_pace.RobotsRead(record.host, 0, {}, HostPace::Clock::now());
        return;
    case FetchKind::StartPage:
        // The "www." the engine put before the host as typed names no host: the job starts
        // again without it.
        if (failedAtOnce && failure.connect == ConnectFailure::NameNotFound && m_startWwwAdded)
            StartAsTyped(std::string(record.url));
        else
            FailJob(slot, failure);
        return;
    case FetchKind::Link:
    case FetchKind::Part:
        if (failedAtOnce)
            Q_EMIT slotFailed(slot, failure);
        ReportFailure(record.url, failure, record.attempt);
        return;
    }
}

} // namespace tw
