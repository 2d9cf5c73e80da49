#include "output/copyrecord.h"

#include "common/pathform.h"
#include "output/filesystem.h"

#include <sqlite3.h>

#include <algorithm>
#include <iterator>
#include <utility>

namespace tw {

void SqliteClose::operator()(sqlite3 *db) const
{
    sqlite3_close(db);
}

void SqliteFinalize::operator()(sqlite3_stmt *statement) const
{
    sqlite3_finalize(statement);
}

namespace {

// Step i takes a record of format i (its PRAGMA user_version) to format i + 1. The id keeps the
// order in which URLs were first put, through updates and VACUUM alike.
constexpr const char *kFormatSteps[] = {
    R"(CREATE TABLE url(
           id INTEGER PRIMARY KEY,
           url TEXT NOT NULL UNIQUE,
           local_path TEXT NOT NULL,
           state TEXT NOT NULL CHECK (state IN ('queued', 'stored', 'failed', 'skipped')),
           reason TEXT NOT NULL,
           http_status INTEGER NOT NULL,
           size INTEGER NOT NULL,
           content_type TEXT NOT NULL,
           last_modified TEXT NOT NULL,
           etag TEXT NOT NULL,
           tries INTEGER NOT NULL,
           fetched_at INTEGER NOT NULL);
       CREATE TABLE job(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;)",
    "ALTER TABLE url ADD COLUMN received INTEGER NOT NULL DEFAULT 0;",
    "ALTER TABLE url ADD COLUMN rendering TEXT NOT NULL DEFAULT '';",
};
constexpr int kFormat = std::size(kFormatSteps);

// Indexed by UrlState.
constexpr std::string_view kStateNames[] = {"queued", "stored", "failed", "skipped"};

const std::string kColumns = "url, local_path, state, reason, http_status, size, content_type, "
                             "last_modified, etag, tries, fetched_at, received, rendering";

// Makes a statement ready to run again when the scope ends.
class ResetAfter
{
public:
    explicit ResetAfter(sqlite3_stmt *statement)
        : m_statement(statement)
    {
    }
    ~ResetAfter() { sqlite3_reset(m_statement); }
    ResetAfter(const ResetAfter &) = delete;
    ResetAfter &operator=(const ResetAfter &) = delete;

private:
    sqlite3_stmt *m_statement;
};

// A set of bits in which each URL put marks one: few enough to stay in the cache, enough that a
// copy of 100,000 URLs leaves nine in ten unmarked.
constexpr std::size_t kPutMarks = std::size_t(1) << 20;

std::size_t PutMarkOf(std::string_view url)
{
    return TextHash {}(url) % kPutMarks;
}

std::string_view StateName(UrlState state)
{
    return kStateNames[static_cast<int>(state)];
}

UrlState StateNamed(std::string_view name)
{
    const auto *found = std::find(std::begin(kStateNames), std::end(kStateNames), name);
    return static_cast<UrlState>(std::distance(std::begin(kStateNames), found));
}

bool BindText(sqlite3_stmt *statement, int index, std::string_view text)
{
    // The text outlives the statement's step, so SQLite need not copy it (SQLITE_STATIC).
    return sqlite3_bind_text64(
               statement, index, text.empty() ? "" : text.data(), text.size(), nullptr, SQLITE_UTF8)
        == SQLITE_OK;
}

bool BindRecord(sqlite3_stmt *statement, const UrlRecord &record)
{
    return BindText(statement, 1, record.url) && BindText(statement, 2, record.localPath)
        && BindText(statement, 3, StateName(record.state)) && BindText(statement, 4, record.reason)
        && sqlite3_bind_int(statement, 5, record.httpStatus) == SQLITE_OK
        && sqlite3_bind_int64(statement, 6, record.size) == SQLITE_OK
        && BindText(statement, 7, record.contentType) && BindText(statement, 8, record.lastModified)
        && BindText(statement, 9, record.etag)
        && sqlite3_bind_int(statement, 10, record.tries) == SQLITE_OK
        && sqlite3_bind_int64(statement, 11, record.fetchedAt) == SQLITE_OK
        && sqlite3_bind_int64(statement, 12, record.received) == SQLITE_OK
        && BindText(statement, 13, record.rendering);
}

std::string Text(sqlite3_stmt *row, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(row, column));
    return text ? std::string(text, sqlite3_column_bytes(row, column)) : std::string();
}

// A row of a statement that selects kColumns.
UrlRecord ReadRecord(sqlite3_stmt *row)
{
    return {.url = Text(row, 0),
        .localPath = Text(row, 1),
        .state = StateNamed(Text(row, 2)),
        .reason = Text(row, 3),
        .httpStatus = sqlite3_column_int(row, 4),
        .size = sqlite3_column_int64(row, 5),
        .contentType = Text(row, 6),
        .lastModified = Text(row, 7),
        .etag = Text(row, 8),
        .tries = sqlite3_column_int(row, 9),
        .fetchedAt = sqlite3_column_int64(row, 10),
        .received = sqlite3_column_int64(row, 11),
        .rendering = Text(row, 12)};
}

} // namespace

std::unique_ptr<CopyRecord> CopyRecord::Open(std::string_view downloadFolder, std::string &error)
{
    const std::string folder = std::string(downloadFolder) + ".tidewell/";
    FileSystem::MakeDir(folder); // when it cannot be made, opening the file says why
    const std::string path = FileSystem::NativePath(folder + "copy.sqlite");
    sqlite3 *db = nullptr;
    // A record is used from one thread, so SQLite need not lock around each call.
    const int opened = sqlite3_open_v2(path.c_str(), &db,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<CopyRecord> record(new CopyRecord(db)); // a failed open has a handle to close
    if (opened != SQLITE_OK) {
        error = path + ": " + sqlite3_errmsg(db);
        return nullptr;
    }
    if (!record->Setup()) {
        error = path + ": " + record->m_error;
        return nullptr;
    }
    return record;
}

CopyRecord::CopyRecord(sqlite3 *db)
    : m_db(db)
{
}

CopyRecord::~CopyRecord()
{
    Flush();
}

bool CopyRecord::Setup()
{
    // With WAL and synchronous NORMAL a commit appends to the journal without a sync: a killed
    // process loses no committed batch, and a power cut at most the latest ones, never the file.
    // The states written come from UrlState alone, so the table's check of them is left to other
    // writers: it builds a table of the four names for every row written.
    return Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; "
                "PRAGMA ignore_check_constraints = ON",
               "setting up the journal")
        && Migrate() && Prepare() && LookForRows();
}

bool CopyRecord::LookForRows()
{
    SqliteStatement any;
    if (!Compile("SELECT EXISTS (SELECT 1 FROM url)", any))
        return false;
    if (sqlite3_step(any.get()) != SQLITE_ROW)
        return Fail("reading the rows");
    m_heldRows = sqlite3_column_int(any.get(), 0) != 0;
    if (!m_heldRows)
        m_putMarks.assign(kPutMarks, false);
    return true;
}

bool CopyRecord::Migrate()
{
    int format = 0;
    {
        SqliteStatement read;
        if (!Compile("PRAGMA user_version", read))
            return false;
        if (sqlite3_step(read.get()) != SQLITE_ROW)
            return Fail("reading the format");
        format = sqlite3_column_int(read.get(), 0);
    }
    if (format > kFormat) {
        m_error = "written in format " + std::to_string(format) + ", later than this program's "
            + std::to_string(kFormat);
        return false;
    }
    for (; format < kFormat; ++format) {
        const std::string step = std::string("BEGIN IMMEDIATE; ") + kFormatSteps[format]
            + "; PRAGMA user_version = " + std::to_string(format + 1) + "; COMMIT";
        if (!Exec(step.c_str(), "making the tables")) {
            RollBack();
            return false;
        }
    }
    return true;
}

bool CopyRecord::Prepare()
{
    const std::pair<SqliteStatement *, std::string> statements[] = {
        {&m_begin, "BEGIN IMMEDIATE"},
        {&m_commit, "COMMIT"},
        {&m_put,
            "INSERT INTO url(" + kColumns
                + ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13) "
                  "ON CONFLICT(url) "
                  "DO UPDATE SET local_path = ?2, state = ?3, reason = ?4, http_status = ?5, "
                  "size = ?6, content_type = ?7, last_modified = ?8, etag = ?9, tries = ?10, "
                  "fetched_at = ?11, received = ?12, rendering = ?13"},
        {&m_find, "SELECT " + kColumns + " FROM url WHERE url = ?1"},
        {&m_all, "SELECT " + kColumns + " FROM url ORDER BY id"},
        {&m_setValue, "INSERT OR REPLACE INTO job(key, value) VALUES (?1, ?2)"},
        {&m_value, "SELECT value FROM job WHERE key = ?1"},
    };
    return std::all_of(std::begin(statements), std::end(statements),
        [this](const auto &statement) { return Compile(statement.second, *statement.first); });
}

bool CopyRecord::Compile(const std::string &sql, SqliteStatement &statement)
{
    sqlite3_stmt *compiled = nullptr;
    const int result = sqlite3_prepare_v3(
        m_db.get(), sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &compiled, nullptr);
    statement.reset(compiled);
    return result == SQLITE_OK || Fail("preparing the statements");
}

bool CopyRecord::Exec(const char *sql, const char *doing)
{
    return sqlite3_exec(m_db.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK || Fail(doing);
}

bool CopyRecord::Run(sqlite3_stmt *statement, const char *doing)
{
    const ResetAfter reset(statement);
    return sqlite3_step(statement) == SQLITE_DONE || Fail(doing);
}

bool CopyRecord::StepToRow(sqlite3_stmt *statement, std::string_view key, const char *doing)
{
    const int result = BindText(statement, 1, key) ? sqlite3_step(statement) : SQLITE_ERROR;
    return result == SQLITE_ROW || (result != SQLITE_DONE && Fail(doing));
}

bool CopyRecord::Fail(const char *doing)
{
    m_error = std::string(doing) + ": " + sqlite3_errmsg(m_db.get());
    return false;
}

void CopyRecord::RollBack()
{
    // SQLite ends the transaction itself after some failures (a full disk among them).
    if (!sqlite3_get_autocommit(m_db.get()))
        sqlite3_exec(m_db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

bool CopyRecord::Put(UrlRecord record)
{
    m_error.clear();
    const auto [at, added] = m_pendingAt.try_emplace(record.url, m_pending.size());
    if (!added) {
        m_pending[at->second] = std::move(record);
        return true;
    }
    if (!m_heldRows)
        m_putMarks[PutMarkOf(record.url)] = true;
    m_pending.push_back(std::move(record));
    return m_pending.size() < kBatchRows || Flush();
}

bool CopyRecord::Flush()
{
    m_error.clear();
    if (m_pending.empty())
        return true;
    if (!WriteBatch()) {
        RollBack();
        return false;
    }
    m_pending.clear();
    m_pendingAt.clear();
    return true;
}

bool CopyRecord::WriteBatch()
{
    if (!Run(m_begin.get(), "starting a batch"))
        return false;
    for (const UrlRecord &record : m_pending) {
        if (!BindRecord(m_put.get(), record))
            return Fail("writing a row");
        if (!Run(m_put.get(), "writing a row"))
            return false;
    }
    return Run(m_commit.get(), "committing a batch");
}

std::vector<UrlRecord> CopyRecord::All()
{
    Flush();
    std::vector<UrlRecord> records;
    const ResetAfter reset(m_all.get());
    int result = SQLITE_ROW;
    while ((result = sqlite3_step(m_all.get())) == SQLITE_ROW)
        records.push_back(ReadRecord(m_all.get()));
    if (result != SQLITE_DONE)
        Fail("reading the rows");
    return records;
}

std::optional<UrlRecord> CopyRecord::Find(std::string_view url)
{
    m_error.clear();
    if (const auto pending = m_pendingAt.find(url); pending != m_pendingAt.end())
        return m_pending[pending->second];
    if (!m_heldRows && !m_putMarks[PutMarkOf(url)])
        return std::nullopt;
    const ResetAfter reset(m_find.get());
    if (!StepToRow(m_find.get(), url, "finding a row"))
        return std::nullopt;
    return ReadRecord(m_find.get());
}

bool CopyRecord::SetValue(std::string_view key, std::string_view value)
{
    if (!Flush())
        return false;
    if (!BindText(m_setValue.get(), 1, key) || !BindText(m_setValue.get(), 2, value))
        return Fail("writing a job value");
    return Run(m_setValue.get(), "writing a job value");
}

std::optional<std::string> CopyRecord::Value(std::string_view key)
{
    m_error.clear();
    const ResetAfter reset(m_value.get());
    if (!StepToRow(m_value.get(), key, "reading a job value"))
        return std::nullopt;
    return Text(m_value.get(), 0);
}

} // namespace tw
