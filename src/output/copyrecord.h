#pragma once

// The copy's record: one row for each URL the copy has met, written as the copy goes into
// .tidewell/copy.sqlite in the download folder, so that a copy can be looked over or taken up again
// however it stopped. Rows are written in batches, each in one transaction: after a crash the
// record holds every batch written before it, whole, and nothing of the batch it interrupted.
// A record is used from one thread. No call throws; a failed one says why in Error().

#include "common/stringops.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tw {

enum class UrlState { Queued, Stored, Failed, Skipped };

// UrlRecord::rendering of a page stored as a browser drew it.
inline constexpr std::string_view kRendered = "rendered";

struct UrlRecord
{
    std::string url; // host, path and query as the queue knows it, without the scheme
    std::string localPath; // the stored file relative to the download folder, "/" separated
    UrlState state = UrlState::Queued;
    std::string reason; // why it failed or was skipped: "404 Not Found", "timed out"
    int httpStatus = 0;
    std::int64_t size = 0;
    std::string contentType;
    std::string lastModified;
    std::string etag;
    int tries = 0;
    std::int64_t fetchedAt = 0; // seconds since the epoch, of the latest try
    // The body's bytes as they came when it came compressed (size is then the decoded file's);
    // 0 when it came as it is stored.
    std::int64_t received = 0;
    // kRendered for a page stored as a browser drew it; why its drawing failed for a page stored
    // as served for that; empty for a file not drawn.
    std::string rendering;

    bool operator==(const UrlRecord &) const = default;
};

struct SqliteClose
{
    void operator()(sqlite3 *db) const;
};
struct SqliteFinalize
{
    void operator()(sqlite3_stmt *statement) const;
};
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalize>;

class CopyRecord
{
public:
    // Rows buffered before Put writes them itself. A URL is put when queued and again when
    // fetched: the larger the batch, the more often its second row replaces its first before
    // either is written.
    static constexpr std::size_t kBatchRows = 4096;

    // Opens the record of the download folder (system form, ending with "/"), creating it when
    // missing; nullptr, with the reason in error, when it cannot be opened or is of a later
    // format than this program writes.
    static std::unique_ptr<CopyRecord> Open(std::string_view downloadFolder, std::string &error);
    // Writes what is still buffered.
    ~CopyRecord();
    CopyRecord(const CopyRecord &) = delete;
    CopyRecord &operator=(const CopyRecord &) = delete;

    // Adds the record, or replaces the one with the same url, which keeps its place among All.
    // Buffered; false when the batch that it completed could not be written.
    bool Put(UrlRecord record);
    // Writes the buffered records in one transaction. When that fails they stay buffered for the
    // next Flush.
    bool Flush();
    // Every record in the order their URLs were first put (a failed Flush leaves out its rows).
    std::vector<UrlRecord> All();
    // nullopt when the URL has no record (or when it could not be read: Error() is set then).
    std::optional<UrlRecord> Find(std::string_view url);

    // Facts of the job, such as its start URL; written at once, after the buffered records.
    bool SetValue(std::string_view key, std::string_view value);
    std::optional<std::string> Value(std::string_view key);

    // Why the latest call failed; empty after one that succeeded.
    const std::string &Error() const { return m_error; }

private:
    explicit CopyRecord(sqlite3 *db);
    bool Setup();
    bool Migrate();
    bool Prepare();
    bool LookForRows();
    bool Compile(const std::string &sql, SqliteStatement &statement);
    bool Exec(const char *sql, const char *doing);
    // Steps a statement that returns no row, and makes it ready to run again.
    bool Run(sqlite3_stmt *statement, const char *doing);
    // Binds key to ?1 and steps to the statement's row; false when there is none or on a failure.
    bool StepToRow(sqlite3_stmt *statement, std::string_view key, const char *doing);
    bool WriteBatch();
    void RollBack();
    bool Fail(const char *doing);

    std::unique_ptr<sqlite3, SqliteClose> m_db;
    SqliteStatement m_begin, m_commit, m_put, m_find, m_all, m_setValue, m_value;
    // The rows waiting for the next batch, one a URL, each where the URL was first put.
    std::vector<UrlRecord> m_pending;
    std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> m_pendingAt;
    // A record that held no row when opened has rows only for the URLs put since: a URL whose
    // hash marks no bit that theirs marked is not looked for. A bit marked by another URL only
    // costs a lookup.
    bool m_heldRows = true;
    std::vector<bool> m_putMarks;
    std::string m_error;
};

} // namespace tw
