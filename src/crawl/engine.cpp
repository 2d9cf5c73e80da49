#include "crawl/engine.h"

#include "common/stringops.h"
#include "crawl/memorylimit.h"
#include "extractor/urlnormalize.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/jobfiles.h"
#include "output/localpath.h"
#include "output/placeholders.h"
#include "transport/http2link.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <unordered_set>

namespace tw {

Engine::Engine(QObject *parent)
    : QObject(parent)
    , m_queue(this)
    , m_scheduler(new QTimer(this))
    , m_fileTypeFilterSource(&LoadFileTypeFilter)
    , m_responseMemoryLimit(DefaultResponseMemoryLimit())
{
    m_scheduler->setInterval(kSchedulerIntervalMs);
    m_scheduler->setTimerType(Qt::PreciseTimer);
    connect(m_scheduler, &QTimer::timeout, this, &Engine::tmrMove_Timer);
    for (int n = 1; n <= kSlotCount; ++n)
        m_fetches[n - 1] = std::make_unique<SlotFetch>(static_cast<FetchContext &>(*this), n, this);
    connect(
        &m_queue, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex &, int first) {
            Q_EMIT urlQueued(m_queue.At(static_cast<std::size_t>(first)));
        });
}

Engine::~Engine() = default;

SlotFetch &Engine::Fetch(int slot)
{
    return *m_fetches.at(static_cast<std::size_t>(slot - 1));
}

const SlotFetch &Engine::Fetch(int slot) const
{
    return *m_fetches.at(static_cast<std::size_t>(slot - 1));
}

const ConnectionSlot &Engine::Slot(int n) const
{
    return Fetch(n).Record();
}

void Engine::StopNOW()
{
    m_scheduler->stop();
    SweepPlaceholders(m_writes);
    FileSystem::CloseLogs();
    CloseAllSockets(); // which gives back the URLs whose requests went out ahead
    m_queue.Clear();
    for (int n = 1; n <= kSlotCount; ++n) {
        Q_EMIT slotStateChanged(n, SlotState::NotConnected);
        Fetch(n).Clear();
    }
    m_running = false;
    Q_EMIT runningChanged(false);
}

void Engine::CloseAllSockets()
{
    for (const auto &fetch : m_fetches)
        fetch->CloseConnection();
    Http2Link::CloseAll();
}

bool Engine::AllSocketsClosed() const
{
    return BusyConnections() == 0;
}

std::int64_t Engine::MemoryLeft() const
{
    std::int64_t held = 0;
    for (const auto &fetch : m_fetches)
        held += static_cast<std::int64_t>(fetch->HeldBytes());
    return m_responseMemoryLimit - held;
}

bool Engine::OutgrowsMemoryLimit(int slot, std::size_t incoming) const
{
    if (static_cast<std::int64_t>(incoming) <= MemoryLeft())
        return false;
    // Only the biggest response gives way, so that a site sending without end cannot make the
    // small responses beside it fail.
    const std::size_t held = Fetch(slot).HeldBytes() + incoming;
    return std::all_of(m_fetches.begin(), m_fetches.end(),
        [held](const auto &other) { return other->HeldBytes() <= held; });
}

int Engine::BusyConnections() const
{
    return static_cast<int>(std::count_if(
        m_fetches.begin(), m_fetches.end(), [](const auto &fetch) { return !fetch->IsFree(); }));
}

void Engine::SetConnectionCount(int count)
{
    m_connectionCount = std::clamp(count, 0, kSlotCount);
    if (count < 1 || count >= kSlotCount)
        return;
    for (int n = count + 1; n <= kSlotCount; ++n) {
        // A connection kept open on a slot no longer used would wait for a fetch that never comes.
        if (SlotFetch &fetch = Fetch(n); fetch.IsKeptOpen())
            fetch.CloseConnection();
        Q_EMIT slotReset(n);
    }
}

void Engine::SetTimeoutInterval(int milliseconds)
{
    for (const auto &fetch : m_fetches)
        fetch->SetTimeoutInterval(milliseconds);
}

int Engine::TimeoutInterval() const
{
    return m_fetches.front()->TimeoutInterval();
}

void Engine::SetSchedulerEnabled(bool enabled)
{
    if (enabled)
        m_scheduler->start();
    else
        m_scheduler->stop();
}

void Engine::SetSchedulerInterval(int milliseconds)
{
    m_scheduler->setInterval(milliseconds);
}

bool Engine::IsSchedulerEnabled() const
{
    return m_scheduler->isActive();
}

void Engine::SetFileTypeFilterSource(std::function<std::string()> source)
{
    m_fileTypeFilterSource = std::move(source);
}

void Engine::ShutDown()
{
    // A stop sweeps the placeholders; a job that ended by itself has swept them already.
    if (m_running)
        StopNOW();
    YieldNow();
    SetSchedulerEnabled(false);
    CloseAllSockets();
    m_renderers.StopAll();
}

void Engine::Yield()
{
    // Letting the event loop run polls every socket, which costs far more than a scan's step
    // between two yields: a yield soon after the last one waits for the next.
    if (m_sinceYield.isValid() && m_sinceYield.nsecsElapsed() < kYieldIntervalNs)
        return;
    YieldNow();
}

void Engine::YieldNow()
{
    QCoreApplication::processEvents();
    m_sinceYield.start();
}

void Engine::SetStartRate(int perSecond)
{
    m_startRate = std::max(0, perSecond);
    m_startCredit = 0;
}

void Engine::tmrMove_Timer()
{
    // A rate below one a tick saves its fractions up to one fetch; above, no tick starts more than
    // its share, so an idle spell never lets a burst out.
    const double share = m_startRate * m_scheduler->interval() / 1000.0;
    m_startCredit = std::min(m_startCredit + share, std::max(1.0, share));
    StartWaitingFetches();
    Q_EMIT statsRefresh();
}

void Engine::StartWaitingFetches()
{
    while (m_running && (m_startRate == 0 || m_startCredit >= 1.0) && !m_queue.IsEmpty()
        && FindFreeSlot({}) != 0) {
        // A host held back holds back all its URLs this round: they are not looked at one by one.
        std::unordered_set<std::string> held;
        Room room = Room::Held;
        std::optional<std::string> url = m_queue.TakeOldest([&](const std::string &queued) {
            std::string host = ToLower(HostOfUrl(queued));
            if (FindFreeSlot({}) == 0 || held.contains(host))
                return false;
            room = RoomFor(queued, host);
            if (room == Room::Held)
                held.insert(std::move(host));
            return room != Room::Held;
        });
        if (!url)
            break;
        if (room == Room::Forbidden) {
            SkipForbidden(*url);
            continue;
        }
        StartFetch(std::move(*url));
        m_startCredit -= 1.0;
    }
    if (m_job.KeepsConnectionsAlive() && m_startRate == 0)
        SendAheadWaitingFetches();
}

void Engine::SendAheadWaitingFetches()
{
    if (!m_running || FindFreeSlot({}) != 0)
        return;
    // The slots that may carry a request ahead, each with its host in lower case; a slot leaves
    // the list once a request has gone out on it, and sending frees none.
    std::vector<std::pair<std::string, int>> open;
    for (int n = 1; n <= m_connectionCount; ++n) {
        if (Fetch(n).CanSendAhead())
            open.emplace_back(ToLower(Fetch(n).Record().host), n);
    }
    while (!open.empty() && !m_queue.IsEmpty()) {
        auto chosen = open.end();
        std::unordered_set<std::string> held;
        std::optional<std::string> url = m_queue.TakeOldest([&](const std::string &queued) {
            std::string host = ToLower(HostOfUrl(queued));
            const auto on = std::find_if(open.begin(), open.end(),
                [&host](const auto &entry) { return entry.first == host; });
            if (on == open.end() || held.contains(host))
                return false;
            if (RoomFor(queued, host) != Room::Start) {
                held.insert(std::move(host));
                return false;
            }
            chosen = on;
            return true;
        });
        if (!url)
            return;
        FetchTarget target = FetchTargetOf(*url);
        m_pace.Started(target.host, HostPace::Clock::now());
        if (!Fetch(chosen->second).SendAhead(*url, std::move(target))) {
            // Its request cannot go out: it waits for a slot of its own, which reports why.
            m_queue.PutBackOldest(std::move(*url));
            return;
        }
        open.erase(chosen);
    }
}

void Engine::StartFetch(std::string url, FetchKind kind)
{
    if (!m_running)
        return;
    FetchTarget target = FetchTargetOf(url);
    const int n = FindFreeSlot(target.host);
    if (n == 0)
        return;
    if (kind != FetchKind::Robots)
        m_pace.Started(target.host, HostPace::Clock::now());
    Fetch(n).Start(std::move(url), std::move(target), kind);
}

void Engine::AskRobots(const std::string &host)
{
    if (FindFreeSlot(host) == 0)
        return;
    m_pace.RobotsAsked(host);
    StartFetch(host + "/robots.txt", FetchKind::Robots);
}

void Engine::SkipForbidden(const std::string &url)
{
    MarkNotStoredAsNamed(url, {});
    // Taken from the queue, so reported whether or not a link to it was reported before.
    m_skippedLinks.insert(url);
    Q_EMIT linkSkipped(url, SkipCause::Robots);
    CompleteSiteWhenDone();
}

void Engine::MarkNotStoredAsNamed(const std::string &queuedUrl, std::string storedAs)
{
    const std::string localPath = LocalPathOf(queuedUrl, m_job);
    if (FileSystem::IsInsideDirectory(localPath + ".tmp", m_job.outputDir))
        RemoveJobFile(localPath + ".tmp", m_job, m_writes);
    m_knownPaths.Settle(localPath, std::move(storedAs));
}

Engine::Room Engine::RoomFor(const std::string &queuedUrl, const std::string &host)
{
    const int busy = static_cast<int>(
        std::count_if(m_fetches.begin(), m_fetches.end(), [&host](const auto &fetch) {
            return !fetch->IsFree() && EqualsNoCase(fetch->Record().host, host);
        }));
    if (!IsOnSite(host, m_job.siteHost) && busy >= kMaxConnectionsPerOtherHost)
        return Room::Held;
    switch (
        m_pace.Check(host, FetchTargetOf(queuedUrl).requestPath, busy, HostPace::Clock::now())) {
    case HostPace::Verdict::Start:
        return Room::Start;
    case HostPace::Verdict::Forbidden:
        return Room::Forbidden;
    case HostPace::Verdict::AskRobots:
        AskRobots(host);
        break;
    case HostPace::Verdict::Wait:
        break;
    }
    return Room::Held;
}

int Engine::FindFreeSlot(const std::string &host) const
{
    // A connection kept open to the host saves a connect; a closed one is taken before one kept
    // open to another host.
    int closed = 0;
    int keptForOther = 0;
    for (int n = 1; n <= m_connectionCount; ++n) {
        const SlotFetch &fetch = Fetch(n);
        if (!fetch.IsFree())
            continue;
        if (fetch.IsKeptOpenTo(host))
            return n;
        int &first = fetch.IsKeptOpen() ? keptForOther : closed;
        first = first == 0 ? n : first;
    }
    return closed != 0 ? closed : keptForOther;
}

void Engine::ReportFailure(const std::string &url, Failure failure, int tries)
{
    failure.tries = tries;
    ++m_counters.aFailures;
    Q_EMIT fetchFailed(url, failure);
}

void Engine::CompleteSiteWhenDone()
{
    if (m_queue.IsEmpty() && AllSocketsClosed())
        SiteComplete();
    else if (m_startRate == 0 && m_scheduler->isActive())
        // Without a rate there is no reason to wait for the next tick.
        StartWaitingFetches();
}

void Engine::SiteComplete()
{
    if (!m_running)
        return;
    PointSavedLinksAtArrivals();
    StopNOW(); // which sweeps the placeholders
    YieldNow();
    Q_EMIT siteCompleted();
}

void Engine::PointSavedLinksAtArrivals()
{
    for (const auto &[url, size] : m_savedLinks.PointAtArrivals(m_job, m_knownPaths)) {
        const auto saved = m_savedDocuments.find(url);
        if (saved == m_savedDocuments.end())
            continue;
        saved->second.size = size;
        Q_EMIT storedFileRewritten(url, saved->second);
    }
    ForgetSavedLinks();
}

void Engine::ForgetSavedLinks()
{
    m_savedLinks.Clear();
    m_savedDocuments.clear();
}

} // namespace tw
