// The engine's job start and everything that decides where the job fetches from: the start URL,
// a start page that moved, a "www." form that does not resolve, redirects inside the site, and
// a start page that could not be fetched at all.

#include "crawl/engine.h"

#include "common/stringops.h"
#include "common/textconversion.h"
#include "extractor/admission.h"
#include "extractor/localreferences.h"
#include "extractor/urlnormalize.h"
#include "output/filesystem.h"
#include "output/localpath.h"
#include "output/pagesaver.h"
#include "output/placeholders.h"
#include "output/redirectpage.h"
#include "transport/connection.h"

#include <QTimer>

#include <algorithm>

namespace tw {

QString Engine::ConnectNowNow(const QString &startUrl)
{
    m_job.revalidate.clear();
    return BeginJob(startUrl, true);
}

QString Engine::TakeUpCopy(const QString &startUrl, bool fetchStartPage, const TakenUp &urls)
{
    RemovePlaceholdersBelow(m_job.outputDir);
    QString shown = BeginJob(startUrl, fetchStartPage);
    m_knownPaths.TakeFromRecord();
    for (const std::string &url : urls.settled)
        MarkNotStoredAsNamed(url, {});
    for (const auto *done : {&urls.settled, &urls.stored}) {
        for (const std::string &url : *done) {
            m_knownPaths.Add(LocalPathOf(url, m_job));
            m_knownPaths.CountQuery(url);
        }
    }
    for (const std::string &url : urls.waiting) {
        if (url == m_startPage)
            continue;
        // Taken as embedded, so that a file of another host the copy holds is asked again too.
        if (const std::optional<LinkTarget> target = LinkTargetOf("http://" + url, {}, m_job, true))
            SeedTarget(*target, m_job, m_writes, m_knownPaths, m_queue);
    }
    // Without a start page fetched, nothing else may end the job when nothing waits.
    CompleteSiteWhenDone();
    return shown;
}

QString Engine::BeginJob(const QString &startUrl, bool fetchStartPage)
{
    CloseAllSockets();
    FileSystem::CloseLogs();
    m_queue.Clear();
    m_counters = JobCounters();
    m_writes.Clear();
    m_knownPaths.Clear();
    m_untypedParts.Clear();
    m_skippedLinks.clear();
    m_login.Begin(m_job);
    m_job.holdsSession = m_login.HoldsSession();
    m_startCredit = 0;
    m_job.FileTypeFilter = m_fileTypeFilterSource();
    m_pace.Reset({.robots = m_job.robots,
        .wait = std::chrono::milliseconds(m_job.waitMs),
        .maxConnections = m_job.maxPerHost});

    const StartAddress start = ParseStartUrl(ToNetworkText(startUrl));
    m_startWwwAdded = start.wwwAdded;
    m_startUrls.clear();

    m_running = true;
    Q_EMIT runningChanged(true);
    StartSiteAt(start.address, fetchStartPage);
    m_scheduler->start();
    return DisplayUrl(start.address);
}

void Engine::StartSiteAt(const SiteAddress &address, bool fetchStartPage)
{
    m_linkTargets.Clear();
    ForgetSavedLinks();
    m_job.secure = address.secure;
    m_job.siteHost = Trim(ReplaceAll(address.host, "www.", ""));
    m_login.SetSite(m_job.siteHost, m_job.secure);
    m_startPage = address.Url();
    // A link to the start page is not queued, whether or not its file is written yet.
    if (const std::optional<LinkTarget> start = LinkTargetOf("http://" + m_startPage, {}, m_job))
        m_knownPaths.Add(start->localPath);
    if (fetchStartPage)
        StartFetch(m_startPage, FetchKind::StartPage);
    // The site's robots.txt is read beside the start page, before any link of it is followed.
    if (m_job.robots)
        AskRobots(ToLower(FetchTargetOf(m_startPage).host));
    // At a start rate, the tick and not the connect paces the fetches.
    if (m_job.KeepsConnectionsAlive() && m_startRate == 0 && fetchStartPage)
        OpenAhead(FetchTargetOf(m_startPage).host);
    Q_EMIT siteStarted(DisplayUrl(address));
}

QString Engine::DisplayUrl(const SiteAddress &address) const
{
    return DisplayText(address.secure ? AbsoluteUrl(address) : address.Url());
}

void Engine::StartAsTyped(const std::string &url)
{
    m_startWwwAdded = false;
    const std::string typedUrl = url.substr(4);
    const std::string host = HostOfUrl(typedUrl);
    const SiteAddress typed {m_job.secure, host, typedUrl.substr(host.size())};
    StartSiteAt(typed);
    Q_EMIT startUrlChanged(DisplayUrl(typed));
}

void Engine::FailJob(int slot, const Failure &failure)
{
    StopNOW();
    Q_EMIT slotFailed(slot, failure);
    Q_EMIT siteFailed(failure);
}

void Engine::FollowStartMove(int slot, const std::string &location)
{
    const SiteAddress from = RequestedAddress(Slot(slot), m_job.secure);
    const std::optional<SiteAddress> to = ResolveLocation(location, from);
    if (!to || !SameSite(to->host, from.host)) {
        const std::string named = to ? AbsoluteUrl(*to) : location;
        FailJob(slot, {.kind = Failure::Kind::MovedToAnotherSite, .detail = named});
        return;
    }
    m_startUrls.push_back(AbsoluteUrl(from));
    if (std::find(m_startUrls.begin(), m_startUrls.end(), AbsoluteUrl(*to)) != m_startUrls.end()) {
        FailJob(slot, {.kind = Failure::Kind::RedirectLoop, .detail = AbsoluteUrl(*to)});
        return;
    }
    if (m_startUrls.size() > static_cast<std::size_t>(kMaxStartMoves)) {
        FailJob(slot, {.kind = Failure::Kind::TooManyRedirects, .announced = kMaxStartMoves});
        return;
    }
    m_startWwwAdded = false;
    StartSiteAt(*to);
    Q_EMIT startUrlChanged(DisplayUrl(*to));
}

void Engine::OpenAhead(const std::string &host)
{
    int open = BusyConnections();
    for (int n = 1; n <= m_connectionCount; ++n) {
        if (m_job.maxPerHost > 0 && open >= m_job.maxPerHost)
            return;
        SlotFetch &fetch = Fetch(n);
        if (fetch.IsFree() && !fetch.IsKeptOpen()) {
            fetch.OpenAhead(host);
            ++open;
        }
    }
}

} // namespace tw
