// The engine's job start and everything that decides where the job fetches from: the start URL,
// a start page that moved, a "www." form that does not resolve, redirects inside the site, and
// a start page that could not be fetched at all.

#include "connections/engine.h"

#include "common/stringops.h"
#include "common/textconversion.h"
#include "connections/connection.h"
#include "extractor/admission.h"
#include "extractor/urlnormalize.h"
#include "output/filesystem.h"
#include "output/pagesaver.h"
#include "output/redirectpage.h"

#include <QTimer>

#include <algorithm>

namespace tw {

namespace {

bool IsCertificateFailure(ConnectFailure failure)
{
    return failure == ConnectFailure::CertificateUntrusted
        || failure == ConnectFailure::CertificateWrongHost
        || failure == ConnectFailure::CertificateExpired
        || failure == ConnectFailure::HandshakeFailed;
}

} // namespace

SiteAddress Engine::RequestedAddress(const ConnectionSlot &slot) const
{
    return {m_job.secure, slot.host, ReplaceAll(slot.requestPath, "//", "/")};
}

QString Engine::ConnectNowNow(const QString &startUrl)
{
    CloseAllSockets();
    FileSystem::CloseLogs();
    m_queue.Clear();
    m_job.aBytes = 0;
    m_job.aFiles = 0;
    m_job.aFailures = 0;
    m_job.createdDirs.clear();
    m_job.placeholderDirs.clear();
    m_job.preparedDirs.clear();
    m_job.settledPaths.clear();
    m_job.queriesOfPath.clear();
    m_job.pathsAtQueryLimit.clear();
    m_job.aSkipped = 0;
    m_startCredit = 0;
    m_job.FileTypeFilter = m_fileTypeFilterSource();

    const StartAddress start = ParseStartUrl(ToNetworkText(startUrl));
    m_startWwwAdded = start.wwwAdded;
    m_startUrls.clear();

    m_running = true;
    Q_EMIT runningChanged(true);
    StartSiteAt(start.address);
    m_scheduler->start();
    return DisplayUrl(start.address);
}

void Engine::StartSiteAt(const SiteAddress &address)
{
    m_job.secure = address.secure;
    m_job.siteHost = Trim(ReplaceAll(address.host, "www.", ""));
    StartFetch(address.Url(), FetchKind::StartPage);
    Q_EMIT siteStarted(DisplayUrl(address));
}

QString Engine::DisplayUrl(const SiteAddress &address) const
{
    return DisplayText(address.secure ? AbsoluteUrl(address) : address.Url());
}

void Engine::Sock_Failed(int index)
{
    ConnectionSlot &slot = SlotRecord(index);
    const ConnectFailure failure = Sock(index).Failure();
    slot.lastFailure = failure;
    if (slot.startPage && failure == ConnectFailure::NameNotFound && m_startWwwAdded) {
        // The "www." form was our guess; the host as typed is used for the whole job.
        m_startWwwAdded = false;
        Sock(index).Close();
        const std::string url = slot.url.substr(4);
        const std::string host = HostOfUrl(url);
        const SiteAddress typed {m_job.secure, host, url.substr(host.size())};
        StartSiteAt(typed);
        Q_EMIT startUrlChanged(DisplayUrl(typed));
        return;
    }
    // A name that does not resolve keeps the slot busy until its timeout, as a refused connect
    // does; only the start page cannot wait for a name that will not come.
    if (IsCertificateFailure(failure)
        || (slot.startPage && failure == ConnectFailure::NameNotFound))
        FailFetch(index, {.kind = Failure::Kind::Connect, .connect = failure});
}

void Engine::FailFetch(int index, const Failure &failure)
{
    tmrOut(index).stop();
    Sock(index).Close();
    if (Slot(index).startPage) {
        FailJob(index, failure);
        return;
    }
    ResetSlotDisplay(index);
    Q_EMIT slotFailed(index, failure);
    ReportFailure(index, failure);
    if (m_queue.IsEmpty() && AllSocketsClosed())
        SiteComplete();
}

void Engine::FailJob(int index, const Failure &failure)
{
    StopNOW();
    Q_EMIT slotFailed(index, failure);
    Q_EMIT siteFailed(failure);
}

void Engine::FollowStartMove(int index, const std::string &location)
{
    const ConnectionSlot &slot = Slot(index);
    const SiteAddress from = RequestedAddress(slot);
    const std::optional<SiteAddress> to = ResolveLocation(location, from);
    Sock(index).Close();
    if (!to || !SameSite(to->host, from.host)) {
        const std::string named = to ? AbsoluteUrl(*to) : location;
        FailJob(index, {.kind = Failure::Kind::MovedToAnotherSite, .detail = named});
        return;
    }
    m_startUrls.push_back(AbsoluteUrl(from));
    if (std::find(m_startUrls.begin(), m_startUrls.end(), AbsoluteUrl(*to)) != m_startUrls.end()) {
        FailJob(index, {.kind = Failure::Kind::RedirectLoop, .detail = AbsoluteUrl(*to)});
        return;
    }
    if (m_startUrls.size() > static_cast<std::size_t>(kMaxStartMoves)) {
        FailJob(index, {.kind = Failure::Kind::TooManyRedirects, .announced = kMaxStartMoves});
        return;
    }
    m_startWwwAdded = false;
    StartSiteAt(*to);
    Q_EMIT startUrlChanged(DisplayUrl(*to));
}

std::optional<std::string> Engine::RedirectStub(int index, const std::string &location)
{
    const ConnectionSlot &slot = Slot(index);
    const std::optional<SiteAddress> to = ResolveLocation(location, RequestedAddress(slot));
    // A site link written "http://" is fetched over TLS in a secure job; "https://" in a plain
    // job is another site.
    const bool onSite = to && (!to->secure || m_job.secure)
        && ToLower(ReplaceAll(to->host, "www.", "")) == ToLower(m_job.siteHost);
    std::string href = to ? AbsoluteUrl(*to) : location;
    if (onSite) {
        const FetchTarget target = FetchTargetOf(to->Url());
        const StoredLocation here = StoredLocationOf("\\" + slot.host + slot.path, m_job);
        const StoredLocation there = StoredLocationOf("\\" + target.host + target.path, m_job);
        if (here.file == there.file)
            return std::nullopt;
        // An absolute link needs no base.
        const Admission verdict = AdmitLink("http://" + to->Url(), {}, m_job, m_queue);
        if (verdict == Admission::Queued || FileExists(there.file)
            || FileExists(there.placeholderBase + ".tmp"))
            href = RelativeHref(here.file, there.file);
    }
    return RedirectPage(href);
}

} // namespace tw
