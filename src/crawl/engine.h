#pragma once

// The download engine: one site job, 24 connection slots with their connections and timeout
// timers, the download queue and the 20 ms scheduler. Everything runs on the thread that owns it;
// handlers let the event loop run at fixed points so that the other slots go on meanwhile. The
// engine shows nothing: it reports through signals what a window or a terminal shows.

#include "common/sitejob.h"
#include "crawl/downloadqueue.h"
#include "crawl/failure.h"
#include "crawl/hostpace.h"
#include "crawl/sitelogin.h"
#include "crawl/slotfetch.h"
#include "extractor/linkscanner.h"
#include "extractor/localreferences.h"
#include "output/jobwrites.h"
#include "transport/siteaddress.h"
#include "transport/tlssession.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

class QTimer;

namespace tw {

inline constexpr int kSlotCount = 24;
inline constexpr int kDefaultConnectionCount = 3;
inline constexpr int kSchedulerIntervalMs = 20;
// New fetches a second by default: one a scheduler tick.
inline constexpr int kDefaultStartRate = 1000 / kSchedulerIntervalMs;
// At most this many connections go to one host other than the site's at once.
inline constexpr int kMaxConnectionsPerOtherHost = 4;
// The event loop runs at most this often while a handler works: a window's answer waits no longer.
inline constexpr std::int64_t kYieldIntervalNs = 2'000'000;
// A start page that moved is followed this many times at most.
inline constexpr int kMaxStartMoves = 10;

// What a copy has done since its start.
struct JobCounters
{
    // Bytes received over all connections, headers included, and files saved.
    std::int64_t aBytes = 0;
    std::int64_t aFiles = 0;
    // URLs fetched and not stored because their type was not wanted, each counted once.
    std::int64_t aSkipped = 0;
    // URLs that failed for good, each counted once.
    std::int64_t aFailures = 0;
};

class Engine final : public QObject, private FetchContext
{
    Q_OBJECT

public:
    explicit Engine(QObject *parent = nullptr);
    ~Engine() override;

    SiteJob &Job() override { return m_job; }
    const SiteJob &Job() const { return m_job; }
    const JobSettings &Settings() const override { return m_job; }
    // What the output knows of its writes this job; a new job starts knowing none.
    JobWrites &Writes() override { return m_writes; }
    const JobCounters &Counters() const { return m_counters; }
    // The cookies of the copy: those it started with (JobSettings::cookies) and those its sites
    // set, kept until the next job starts.
    const CookieJar &Cookies() const { return m_login.Jar(); }
    JobCounters &Counters() { return m_counters; }
    DownloadQueue &Queue() { return m_queue; }
    // The page paths with more queries than the job's limit, whose others were not queued.
    const std::set<std::string> &PathsAtQueryLimit() const
    {
        return m_knownPaths.PathsAtQueryLimit();
    }
    const ConnectionSlot &Slot(int n) const;

    // A job is running from ConnectNowNow until StopNOW.
    bool IsRunning() const override { return m_running; }

    // Starts a job from the start URL as typed; job.outputDir must be set. Returns the start URL in
    // the form the job uses (trimmed, "http://" removed, "www." added where the host takes it;
    // "https://" kept for a secure job), for the URL box to show.
    QString ConnectNowNow(const QString &startUrl);
    // Starts a job that takes up an earlier copy in job.outputDir: the start page is fetched
    // only when fetchStartPage, and the waiting URLs (as queued) are queued at once, as if their
    // links had been found, without a line in the log; the settled ones were fetched and not
    // stored, and the stored ones were stored: neither is asked again. Whatever else the folder
    // holds is not taken as stored, and the placeholders an earlier run left go.
    // job.revalidate names the URLs asked again.
    struct TakenUp
    {
        std::vector<std::string> waiting;
        std::vector<std::string> settled;
        std::vector<std::string> stored;
    };
    QString TakeUpCopy(const QString &startUrl, bool fetchStartPage, const TakenUp &urls);
    // Ends the job unconditionally: scheduler off, placeholders swept, queue emptied, every slot
    // closed and shown as "Not Connected.".
    void StopNOW();
    void CloseAllSockets();
    // No slot has a connection open or a try waiting.
    bool AllSocketsClosed() const;
    // The number of slots whose connection is not closed or whose next try waits.
    int BusyConnections() const;

    // The number of slots (1..N) that may be given new fetches; 0 when no number is chosen.
    // Lowering it resets the rows above it; their fetches run to their end.
    void SetConnectionCount(int count);
    int ConnectionCount() const { return m_connectionCount; }

    // The timeout of one fetch, the same for all 24 slots.
    void SetTimeoutInterval(int milliseconds);
    int TimeoutInterval() const;

    // At most perSecond new fetches a second (by default one a tick); 0 starts as many fetches as
    // there are free connections and queued URLs, every tick and whenever a fetch ends.
    void SetStartRate(int perSecond);

    // Pausing stops only the scheduler: running fetches go on, receive, time out and complete.
    void SetSchedulerEnabled(bool enabled);
    bool IsSchedulerEnabled() const;
    // The scheduler's tick, kSchedulerIntervalMs unless changed.
    void SetSchedulerInterval(int milliseconds);

    // The most memory the responses in flight may hold together (by default
    // DefaultResponseMemoryLimit()). Past it, the biggest response counts as a failed try, as a
    // timeout does, so that no site can exhaust memory by sending without end.
    void SetResponseMemoryLimit(std::int64_t bytes) { m_responseMemoryLimit = bytes; }

    // The program that draws pages whose scripts fill them (default: none, nothing is drawn), and
    // the flags its browser is started with.
    void SetRendererProgram(const QString &program, const QStringList &browserFlags = {})
    {
        m_renderers.SetProgram(program, browserFlags);
    }

    // Where ConnectNowNow takes the FileTypeFilter from (default: the file-type list file).
    void SetFileTypeFilterSource(std::function<std::string()> source);

    // Stops the job and lets go of every connection, for the program to end.
    void ShutDown();

Q_SIGNALS:
    void slotStateChanged(int slot, tw::SlotState state);
    // received bytes of a response that announced length (0 when it announced none).
    void slotProgressChanged(int slot, std::int64_t received, std::int64_t length);
    // The slot's row goes back to how an idle row looks.
    void slotReset(int slot);
    // The slot's fetch could not connect or was refused: its row tells why.
    void slotFailed(int slot, const tw::Failure &failure);
    // The job fetches the start page at url, in the form ConnectNowNow returns.
    void siteStarted(const QString &url);
    void runningChanged(bool running);
    // Every scheduler tick: time to refresh the counters.
    void statsRefresh();
    // A fetch failed for good: its last try timed out, broke off or outgrew the memory limit (its
    // file holds the timeout text, or what arrived of a body cut short), its server's
    // certificate failed, or its file could not be stored. url is the slot's, host and path.
    void fetchFailed(const std::string &url, const tw::Failure &failure);
    // The answer at url was not stored: its type (contentType) is not wanted.
    void fetchSkipped(const std::string &url, const std::string &contentType);
    // The answer at url was stored, as fetch tells.
    void fetchStored(const std::string &url, const tw::StoredFetch &fetch);
    // The stored page or style sheet at url was written again once the fetches were over, its
    // references to files that never came pointed online: fetch tells of it now.
    void storedFileRewritten(const std::string &url, const tw::StoredFetch &fetch);
    // The site's password went to host unencrypted (Basic over plain HTTP); told once a job.
    void passwordSentInClear(const std::string &host);
    // url, asked again, did not change (304): its stored file stays as it was.
    void fetchUnchanged(const std::string &url);
    // url, asked again, is gone (404, 410): its stored file stays as it was.
    void fetchGone(const std::string &url, int status);
    // url waits in the queue.
    void urlQueued(const std::string &url);
    // A saved page links to url, which the copy does not fetch, for cause; once a job.
    void linkSkipped(const std::string &url, tw::SkipCause cause);
    // The start page could not be fetched: the job has stopped, nothing is complete.
    void siteFailed(const tw::Failure &failure);
    // The job goes on from another start URL (the site moved, or its "www." form does not
    // resolve), in the form ConnectNowNow returns.
    void startUrlChanged(const QString &url);
    // The site is complete: the job has stopped, placeholders swept.
    void siteCompleted();

private:
    // What a slot's fetch asks of the job; the rest of FetchContext is public above.
    bool InUse(int slot) const override { return slot <= m_connectionCount; }
    QueueSink &NewLinks() override { return m_queue; }
    SiteLogin &Login() override { return m_login; }
    LinkTargets &Targets() override { return m_linkTargets; }
    UntypedParts &Parts() override { return m_untypedParts; }
    KnownPaths &Known() override { return m_knownPaths; }
    void GiveBack(std::string queuedUrl) override;
    void CountReceived(std::int64_t bytes) override { m_counters.aBytes += bytes; }
    void SlowDown(const std::string &host, std::chrono::seconds pause) override;
    void ShowState(int slot, SlotState state) override;
    void ShowIdle(int slot) override;
    void ShowProgress(int slot, std::int64_t received, std::int64_t length) override;
    // Turns what became of the slot's fetch into counters, the record's signals and the job's
    // next step.
    void Report(int slot, const FetchOutcome &outcome) override;
    void FetchEnded() override { CompleteSiteWhenDone(); }
    Renderers &PageRenderers() override { return m_renderers; }
    // The slot's fetch failed (failedAtOnce: its row shows why): a start page's failure ends the
    // job, a robots.txt that could not be read holds its host back for a while.
    void ReportFetchFailure(int slot, const Failure &failure, bool failedAtOnce);
    // The fetch stored its file and queued its links.
    void ReportStored(int slot, const FetchOutcome &outcome);

    void tmrMove_Timer();
    void StartFetch(std::string url, FetchKind kind = FetchKind::Link);
    // Reads host's robots.txt on a free slot, if there is one.
    void AskRobots(const std::string &host);
    // With connections kept alive and no start rate, the free slots open connections to host
    // ahead of the links the start page will bring, so that those go out without a connect of
    // their own.
    void OpenAhead(const std::string &host);
    // robots.txt forbids url: reported as skipped; links to it lead to the site.
    void SkipForbidden(const std::string &url);
    // Starts the job's fetches at address: the start page, and the site key and scheme with it.
    void StartSiteAt(const SiteAddress &address, bool fetchStartPage = true);
    // Forgets what the last job knew and starts a new one, its start page at startUrl.
    QString BeginJob(const QString &startUrl, bool fetchStartPage);
    QString DisplayUrl(const SiteAddress &address) const;
    // The start page's "www." form, the engine's guess, did not resolve: the job starts again
    // from the host as typed, for the whole job.
    void StartAsTyped(const std::string &url);
    void FailJob(int slot, const Failure &failure);
    void FollowStartMove(int slot, const std::string &location);
    // The first free slot, one with a connection kept open to host first.
    int FindFreeSlot(const std::string &host) const;
    // Starts the queued URLs that the free slots, the start rate and the hosts' limits allow.
    void StartWaitingFetches();
    // With connections kept alive and no start rate, a URL that finds no free slot goes out on a
    // connection that has carried an answer to its host, behind the request running there.
    void SendAheadWaitingFetches();
    // Whether the queued URL at host may start now: another host than the site's has at most
    // kMaxConnectionsPerOtherHost connections busy, and every host its pace and its robots.txt,
    // which is asked for when it is not known yet.
    enum class Room { Start, Held, Forbidden };
    Room RoomFor(const std::string &queuedUrl, const std::string &host);
    // The URL is not stored under its own name: its placeholder goes, and it stays known as
    // stored at storedAs (empty: nowhere).
    void MarkNotStoredAsNamed(const std::string &queuedUrl, std::string storedAs);
    // Counts url as failed after tries, once, and reports it.
    void ReportFailure(const std::string &url, Failure failure, int tries);
    // A fetch has ended: the job is complete once no URL waits and no fetch runs; without a
    // start rate, the waiting URLs start at once.
    void CompleteSiteWhenDone();
    void SiteComplete();
    // Points the references of saved pages to files that came under another name at those, and
    // to files that never came at their addresses online.
    void PointSavedLinksAtArrivals();
    void ForgetSavedLinks();
    // Lets the event loop run, unless it ran less than kYieldIntervalNs ago.
    void Yield() override;
    void YieldNow();
    SlotFetch &Fetch(int slot);
    const SlotFetch &Fetch(int slot) const;
    // What the memory limit leaves beside the responses held now.
    std::int64_t MemoryLeft() const override;
    // True when the responses together, with incoming more bytes for this slot, would hold more
    // than the limit and this slot's would be the biggest.
    bool OutgrowsMemoryLimit(int slot, std::size_t incoming) const override;

    SiteJob m_job;
    JobWrites m_writes;
    JobCounters m_counters;
    DownloadQueue m_queue;
    // The targets of the links met this job; forgotten when the job or its site changes.
    LinkTargets m_linkTargets;
    SiteLogin m_login;
    UntypedParts m_untypedParts;
    KnownPaths m_knownPaths;
    // Where the pages and style sheets saved this job lead, and what was reported of each.
    SavedLinks m_savedLinks;
    std::unordered_map<std::string, StoredFetch> m_savedDocuments;
    HostPace m_pace;
    // The URLs reported by linkSkipped this job.
    std::unordered_set<std::string> m_skippedLinks;
    // Before the fetches, which cancel their drawings when they go.
    Renderers m_renderers;
    std::array<std::unique_ptr<SlotFetch>, kSlotCount> m_fetches;
    QTimer *m_scheduler = nullptr;
    std::function<std::string()> m_fileTypeFilterSource;
    std::int64_t m_responseMemoryLimit;
    int m_startRate = kDefaultStartRate;
    // The fetches this tick may start, fractions of one carried over from earlier ticks.
    double m_startCredit = 0;
    bool m_startWwwAdded = false;
    // The start page of the job, as queued.
    std::string m_startPage;
    // The start URLs of this job so far, absolute: a move to one of them is a loop.
    std::vector<std::string> m_startUrls;
    int m_connectionCount = kDefaultConnectionCount;
    bool m_running = false;
    QElapsedTimer m_sinceYield;
};

} // namespace tw
