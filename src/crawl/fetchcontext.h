#pragma once

// What a slot's fetch needs of the job around it, and what it hands back: the job's settings, the
// memory the responses may hold, the event loop, where new links go, the hosts' pace; and what
// became of each fetch, which the engine alone turns into signals, counters and the record.

#include "crawl/answerjudge.h"
#include "crawl/failure.h"
#include "output/filesystem.h"
#include "output/pagesaver.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

class JobWrites;
class KnownPaths;
class LinkTargets;
class QueueSink;
class Renderers;
class SiteLogin;
class UntypedParts;
struct PageReference;
struct JobSettings;
struct SiteJob;

// What the copy keeps of a fetch it stored.
struct StoredFetch
{
    std::string file; // the stored file, in system form
    int status = 0;
    std::int64_t size = 0; // of the file as stored
    std::string contentType;
    std::string lastModified;
    std::string etag;
    int tries = 0;
    // The body's bytes as they came when it came compressed; 0 when it came as stored.
    std::int64_t received = 0;
    // A page or style sheet as it was written, with the file's stamp then, so that a reader of
    // it need not read it from disk; none once the file was rewritten.
    std::shared_ptr<const std::string> text;
    std::optional<FileSystem::FileStamp> stamp;
    // kRendered when the page is stored as a browser drew it; why the drawing failed when it is
    // stored as served for that; empty when it was not drawn.
    std::string rendering;
};

// What a connection's row shows besides its progress.
enum class SlotState {
    NotConnected,
    Connecting, // to the slot's host
    Downloading, // the slot's URL
    Finished, // its file is stored; the row waits for the next fetch
};

// What became of a fetch. A fetch ends in one of the kinds from Stored on; one that stores its
// answer tells along the way of its file, of where it is stored and of what it links to. text and
// references point into the fetch's own data, which lasts for the report's call only.
struct FetchOutcome
{
    enum class Kind {
        Saved, // its file is written, as stored tells; document: a page or style sheet whose
               // references lead where references says, Other when none are to be kept
        NotStored, // failure: why its file could not be written
        StoredElsewhere, // not stored under its own name: at text, or nowhere (empty)
        LinksFound, // references: what it links to
        Stored, // its links are queued (linksFollowed: every one could be); stored: its file
        Unchanged, // a file of an earlier copy did not change: it stays as it was
        Gone, // a file of an earlier copy is gone (status): it stays as it was
        Skipped, // its type (text) is not wanted
        Failed, // failure: its last try failed
        Refused, // failure: it failed at once, which its row shows
        RobotsRead, // the host's robots.txt (status, its body text)
        StartMoved, // the start page moved to text
        PasswordInClear, // the password went to host text unencrypted (Basic over plain HTTP)
    };
    Kind kind = Kind::Stored;
    Failure failure;
    int status = 0;
    std::string_view text;
    std::optional<StoredFetch> stored;
    DocumentKind document = DocumentKind::Other;
    const std::vector<PageReference> *references = nullptr;
    bool linksFollowed = true;
};

class FetchContext
{
public:
    // The user's choices for the copy, fixed while it runs.
    virtual const JobSettings &Settings() const = 0;
    // The job the fetch belongs to: its settings and the site.
    virtual SiteJob &Job() = 0;
    // What the output knows of its writes this job.
    virtual JobWrites &Writes() = 0;
    // The cookies, password and header fields the job's requests carry.
    virtual SiteLogin &Login() = 0;
    // A job runs: a fetch the stop let go of goes no further.
    virtual bool IsRunning() const = 0;
    // The slot is one of the connections in use: it takes new fetches and keeps connections for
    // them.
    virtual bool InUse(int slot) const = 0;
    // What the memory limit leaves beside the responses held now.
    virtual std::int64_t MemoryLeft() const = 0;
    // The responses together, with incoming more bytes for slot, would hold more than the limit
    // and this slot's would be the biggest.
    virtual bool OutgrowsMemoryLimit(int slot, std::size_t incoming) const = 0;
    // Lets the event loop run, unless it ran a moment ago.
    virtual void Yield() = 0;
    // Where the links found go, and what the job knows of their targets.
    virtual QueueSink &NewLinks() = 0;
    virtual LinkTargets &Targets() = 0;
    // The parts that pages load, by URLs that do not tell their type.
    virtual UntypedParts &Parts() = 0;
    // The local paths queued or found taken, and the queries counted of each path.
    virtual KnownPaths &Known() = 0;
    // A URL taken from the queue whose answer will not come goes back, to start next.
    virtual void GiveBack(std::string queuedUrl) = 0;
    // The host asked for a pause before its next fetch.
    virtual void SlowDown(const std::string &host, std::chrono::seconds pause) = 0;
    // Bytes received (fewer: bytes counted that were the next answer's).
    virtual void CountReceived(std::int64_t bytes) = 0;
    // What the slot's row shows.
    virtual void ShowState(int slot, SlotState state) = 0;
    virtual void ShowIdle(int slot) = 0;
    virtual void ShowProgress(int slot, std::int64_t received, std::int64_t length) = 0;
    // What became of the slot's fetch.
    virtual void Report(int slot, const FetchOutcome &outcome) = 0;
    // A fetch has ended and let go of its connection: the job may be complete.
    virtual void FetchEnded() = 0;
    // What draws the pages that scripts fill.
    virtual Renderers &PageRenderers() = 0;

protected:
    FetchContext() = default;
    ~FetchContext() = default;
    FetchContext(const FetchContext &) = default;
    FetchContext &operator=(const FetchContext &) = default;
};

} // namespace tw
