#pragma once

// Queue admission: whether one raw link found on a page becomes a new entry of the download
// queue. A URL is known when its stored file or its placeholder file exists in the mirror tree;
// the queue itself is never searched.

#include "common/sitejob.h"
#include "extractor/queuesink.h"
#include "output/jobwrites.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace tw {

enum class Admission {
    Rejected, // nothing was changed
    Queued, // on top of the queue, with its placeholder file and its line in "log.txt"
    Failed, // a file append failed part-way; what was done before it stays done
};

// True when the URL's type is in filter (":.html::.gif:"): its extension, or all that follows
// its last dot when the filter names that (":.php?id=1:"); a page without an extension when
// ".htm" or ".html" is wanted; an asset with a query ("style.css?v=3") when its extension is
// wanted. A page with a query is wanted only with queryPages.
bool IsWantedType(std::string_view url, std::string_view filter, bool queryPages = false);

// The local path of a site URL: job.outputDir + its relative path, sanitized, with the suffix of
// its stored name (StoredNameSuffix). Directory components are not resolved here.
std::string LocalPathOf(std::string_view url, const SiteJob &job);

// What the copy fetches for a raw link found on a page whose directory is base, whether or not the
// URL is known yet.
struct LinkTarget
{
    // The URL as normalized, before its "." and ".." segments are resolved.
    std::string normalized;
    // normalized with its "." and ".." resolved as a browser does, the host kept.
    std::string resolved;
    // The URL as queued.
    std::string queued;
    // The local path that tells whether the URL is known.
    std::string localPath;
    // The file a fetch of it is stored as.
    std::string storedFile;
};

// Why a web link the copy could have fetched is not followed, in the order a report lists them.
enum class SkipCause {
    TypeNotWanted, // its name's type (or the type its server gave) is not among the wanted ones
    QueryPage, // a page with a query, while such pages are not followed
    LimitReached, // a page with a query, past the most queries one path may have
    OtherHost, // a link (not an embedded file) to another host, or any file of one when off
    Robots, // the host's robots.txt forbids it
    EndsSession, // a link to log out (by its URL or its text), while the copy is logged in
};
struct SkippedLink
{
    std::string url; // as it would have been queued
    SkipCause cause = SkipCause::OtherHost;
};
// text (a URL, or a link's words) names the end of a session: "logout", "log-out", "signout",
// "sign-out", "log_off" and their like, as words of their own, any case.
bool NamesSessionEnd(std::string_view text);

// For a link LinkTargetOf gives no target: why, when it names a web URL at all.
std::optional<SkippedLink> WhyNotFollowed(
    std::string_view rawLink, std::string_view base, const SiteJob &job, bool embedded);

// The path whose count of queries (at most job.maxQueriesPerPath) a page URL with a query adds
// to; nullopt for any other URL.
std::optional<std::string> QueriedPathOf(std::string_view queued);

// What admission knows of the job's URLs: the local paths queued, or found taken on disk, and
// those of URLs fetched that are not stored under them, to none of which a link is queued again;
// and the distinct queries queued of each path, with the paths that reached the job's limit.
class KnownPaths
{
public:
    bool Contains(std::string_view localPath) const
    {
        return m_paths.contains(localPath) || m_settled.contains(localPath);
    }
    // False when localPath was known already.
    bool Add(std::string localPath) { return m_paths.insert(std::move(localPath)).second; }
    // The URL fetched this job at localPath is not stored under it: it is stored as storedAs (a
    // page without an extension that was a PDF), or nowhere when empty (an error status, a type
    // not wanted).
    void Settle(std::string localPath, std::string storedAs)
    {
        m_settled.insert_or_assign(std::move(localPath), std::move(storedAs));
    }
    // What the URL at localPath is stored as when it was settled; nullptr when it was not.
    const std::string *SettledAs(std::string_view localPath) const
    {
        const auto settled = m_settled.find(localPath);
        return settled == m_settled.end() ? nullptr : &settled->second;
    }
    // Counts a URL queued, or one an earlier run of the job admitted, against the queries of its
    // path.
    void CountQuery(std::string_view queued);
    // Counts queued's query unless its path has limit of them already, and is then noted as at
    // the limit; true for a URL without a query.
    bool CountQueryWithin(std::string_view queued, int limit);
    const std::set<std::string> &PathsAtQueryLimit() const { return m_pathsAtQueryLimit; }
    // The job takes up a copy whose record names every path it knows: a file on disk that the
    // record does not name as stored (one an earlier run was writing when it was killed) is not
    // taken as known.
    void TakeFromRecord() { m_fromRecord = true; }
    bool FromRecord() const { return m_fromRecord; }
    void Clear() { *this = KnownPaths(); }

private:
    std::unordered_set<std::string, TextHash, std::equal_to<>> m_paths;
    std::unordered_map<std::string, std::string, TextHash, std::equal_to<>> m_settled;
    bool m_fromRecord = false;
    std::unordered_map<std::string, int> m_queriesOfPath;
    std::set<std::string> m_pathsAtQueryLimit;
};

// Queues target as AdmitTarget does, placeholder included and its query counted, without asking
// the disk and without a line in the log: a URL an earlier run of the job found already.
void SeedTarget(const LinkTarget &target, const SiteJob &job, JobWrites &writes, KnownPaths &known,
    QueueSink &queue);

// The target of rawLink when it is a web link on the site (or, for a reference a page embeds,
// on any host when job.otherHosts), of a wanted type, not one that would end the session the
// copy holds, and names a local path inside job.outputDir; nullopt otherwise. Pure: nothing is read
// or written.
std::optional<LinkTarget> LinkTargetOf(
    std::string_view rawLink, std::string_view base, const SiteJob &job, bool embedded = false);

// LinkTargetOf in two steps: the target with its URLs, and then its local path and stored file,
// which depend on the queued URL alone (false when the path would leave job.outputDir).
std::optional<LinkTarget> UnplacedTargetOf(
    std::string_view rawLink, std::string_view base, const SiteJob &job, bool embedded);
bool PlaceTarget(LinkTarget &target, const SiteJob &job);

// Normalizes rawLink against base (the page's directory, ending in "/") and queues it when it is
// on the site, unknown and of a wanted type. Then it writes the
// placeholder file and the line in "log.txt"; a URL that had "/../" also gets its record in
// "transdd.txt". A link whose local path would lie outside job.outputDir is rejected before
// anything is written. Never yields to the event loop, so the known test and the placeholder
// that marks the URL as known cannot be separated by another scan.
Admission AdmitLink(std::string_view rawLink, std::string_view base, const SiteJob &job,
    JobWrites &writes, KnownPaths &known, QueueSink &queue, bool embedded = false);

// AdmitLink for a link whose target is known already.
Admission AdmitTarget(const LinkTarget &target, const SiteJob &job, JobWrites &writes,
    KnownPaths &known, QueueSink &queue);

} // namespace tw
