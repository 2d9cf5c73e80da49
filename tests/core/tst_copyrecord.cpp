// The copy's record: what is put comes back, a killed writer leaves whole batches, and a record
// that cannot be opened or written says why.

#include "output/copyrecord.h"

#include "support/testenvironment.h"

#include <functional>

#include <gtest/gtest.h>
#include <sqlite3.h>

#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tw {

void PrintTo(const UrlRecord &record, std::ostream *out)
{
    *out << record.url << " [" << static_cast<int>(record.state) << ' ' << record.reason << ' '
         << record.localPath << ']';
}

namespace {

std::unique_ptr<CopyRecord> OpenRecord(const test::TempDir &dir)
{
    std::string error;
    auto record = CopyRecord::Open(dir.Path(), error);
    EXPECT_TRUE(record) << error;
    return record;
}

// A second connection to the record's file, as another program would open it.
class RawFile
{
public:
    explicit RawFile(const test::TempDir &dir)
    {
        const QString path = dir.NativePath() + QStringLiteral("/.tidewell/copy.sqlite");
        sqlite3_open(path.toStdString().c_str(), &m_db);
    }
    ~RawFile() { sqlite3_close(m_db); }
    RawFile(const RawFile &) = delete;
    RawFile &operator=(const RawFile &) = delete;

    // The first column of the last row that sql gives, or SQLite's error.
    std::string Query(const char *sql)
    {
        std::string value;
        const auto keep = [](void *value, int, char **columns, char **) {
            *static_cast<std::string *>(value) = columns[0] ? columns[0] : "";
            return 0;
        };
        return sqlite3_exec(m_db, sql, keep, &value, nullptr) == SQLITE_OK
            ? value
            : std::string("error: ") + sqlite3_errmsg(m_db);
    }

private:
    sqlite3 *m_db = nullptr;
};

TEST(CopyRecord, GivesBackEveryKindOfRowAfterReopening)
{
    const auto outcome = [](std::string url, UrlState state, std::string reason, int status) {
        return UrlRecord {.url = url, .state = state, .reason = reason, .httpStatus = status};
    };
    const std::vector<UrlRecord> rows = {
        outcome("host.com/", UrlState::Queued, "", 0),
        {.url = "host.com/index.html",
            .localPath = "host.com/index.html",
            .state = UrlState::Stored,
            .httpStatus = 200,
            .size = 5120,
            .contentType = "text/html; charset=utf-8",
            .lastModified = "Tue, 01 Oct 2024 10:00:00 GMT",
            .etag = "\"5120-abc\"",
            .tries = 1,
            .fetchedAt = 1727776800,
            .received = 1400,
            .rendering = "rendered"},
        outcome("host.com/gone.html", UrlState::Failed, "404 Not Found", 404),
        outcome("host.com/slow.html", UrlState::Failed, "timed out", 0),
        {.url = "host.com/app", .state = UrlState::Stored, .rendering = "did not settle in time"},
        outcome("host.com/a.zip", UrlState::Skipped, "type not wanted: application/zip", 200),
        outcome("host.com/list.php?page=2&sort=name", UrlState::Skipped, "query page", 0),
        {.url = "cdn.other.net/caf\xc3\xa9.woff2",
            .localPath = "cdn.other.net/caf\xc3\xa9.woff2",
            .state = UrlState::Stored,
            .size = 4'000'000'000},
    };
    const test::TempDir dir;
    {
        const auto record = OpenRecord(dir);
        ASSERT_TRUE(record);
        EXPECT_TRUE(record->SetValue("start", "http://host.com/"));
        for (const UrlRecord &row : rows)
            EXPECT_TRUE(record->Put(row));
        EXPECT_EQ(record->Find(rows[2].url), rows[2]) << "a buffered row is found";
        EXPECT_TRUE(record->Flush());
        EXPECT_EQ(record->Find(rows[2].url), rows[2]) << "a written row of a new record is found";
        EXPECT_EQ(record->Find("host.com/never"), std::nullopt);
    }
    const auto record = OpenRecord(dir);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->All(), rows);
    for (const UrlRecord &row : rows)
        EXPECT_EQ(record->Find(row.url), row);
    EXPECT_EQ(record->Find("host.com/never"), std::nullopt);
    EXPECT_EQ(record->Value("start"), "http://host.com/");
    EXPECT_EQ(record->Value("finished"), std::nullopt);
    EXPECT_EQ(record->Error(), "");
}

TEST(CopyRecord, ARecordOfAnEarlierFormatIsBroughtUpToDate)
{
    const test::TempDir dir;
    const UrlRecord page {.url = "a", .localPath = "a.html", .state = UrlState::Stored};
    {
        const auto record = OpenRecord(dir);
        ASSERT_TRUE(record);
        EXPECT_TRUE(record->Put(page));
    }
    RawFile(dir).Query("ALTER TABLE url DROP COLUMN rendering; PRAGMA user_version = 2");
    const auto record = OpenRecord(dir);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->All(), std::vector<UrlRecord> {page});
    UrlRecord drawn = page;
    drawn.rendering = std::string(kRendered);
    EXPECT_TRUE(record->Put(drawn));
    EXPECT_TRUE(record->Flush());
    EXPECT_EQ(record->Find("a"), drawn);
}

TEST(CopyRecord, APutUrlKeepsOneRowWithItsLatestValuesInItsFirstPlace)
{
    const test::TempDir dir;
    const auto record = OpenRecord(dir);
    ASSERT_TRUE(record);
    const UrlRecord stored {.url = "a", .localPath = "a.html", .state = UrlState::Stored};
    const UrlRecord failed {.url = "c", .state = UrlState::Failed, .reason = "timed out"};
    record->Put({.url = "a"});
    record->Put({.url = "b"});
    record->Flush();
    record->Put(stored); // over a written row
    record->Put({.url = "c"});
    record->Put(failed); // over a buffered one
    EXPECT_EQ(record->All(), (std::vector<UrlRecord> {stored, {.url = "b"}, failed}));
}

TEST(CopyRecord, AFailedFlushSaysWhyAndKeepsItsRowsForTheNext)
{
    const test::TempDir dir;
    const auto record = OpenRecord(dir);
    ASSERT_TRUE(record);
    record->Put({.url = "a"});
    RawFile other(dir);
    ASSERT_EQ(other.Query("BEGIN IMMEDIATE"), "");
    EXPECT_FALSE(record->Flush());
    EXPECT_EQ(record->Error(), "starting a batch: database is locked");
    ASSERT_EQ(other.Query("COMMIT"), "");
    EXPECT_TRUE(record->Flush());
    EXPECT_EQ(other.Query("SELECT url FROM url"), "a");
}

TEST(CopyRecord, SaysWhyItCannotBeOpened)
{
    const struct
    {
        const char *name;
        std::function<std::string(const test::TempDir &)> folder; // readies dir; what to open
        const char *error;
    } cases[] = {
        {"a folder that does not exist", [](const auto &dir) { return dir.Path() + "none/"; },
            "unable to open database file"},
        {"a file where the record's folder goes",
            [](const auto &dir) {
                FileSystem::WriteFile(dir.Path() + ".tidewell", "x");
                return dir.Path();
            },
            "unable to open database file"},
        {"a file that is no database",
            [](const auto &dir) {
                FileSystem::MakeDir(dir.Path() + ".tidewell/");
                FileSystem::WriteFile(dir.Path() + ".tidewell/copy.sqlite", std::string(4096, 'x'));
                return dir.Path();
            },
            "file is not a database"},
        {"a record of a later format",
            [](const auto &dir) {
                FileSystem::MakeDir(dir.Path() + ".tidewell/");
                RawFile(dir).Query("PRAGMA user_version = 4");
                return dir.Path();
            },
            "written in format 4, later than this program's 3"},
    };
    for (const auto &c : cases) {
        const test::TempDir dir;
        std::string error;
        EXPECT_EQ(CopyRecord::Open(c.folder(dir), error), nullptr) << c.name;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
    }
}

#ifndef _WIN32
// Puts numbered rows from first on in batches of kRows, and writes a byte to notify as each batch's
// Flush begins. Never returns.
constexpr std::size_t kRows = 300;
[[noreturn]] void WriteBatchesForever(const std::string &folder, std::size_t first, int notify)
{
    static_assert(kRows < CopyRecord::kBatchRows, "the batches are this process's own");
    std::string error;
    const auto record = CopyRecord::Open(folder, error);
    for (std::size_t n = first; record;) {
        for (const std::size_t end = n + kRows; n < end; ++n) {
            const std::string url = "host.com/page" + std::to_string(n) + ".html";
            record->Put({.url = url, .localPath = url, .state = UrlState::Stored, .tries = 1});
        }
        if (write(notify, "b", 1) != 1 || !record->Flush())
            break;
    }
    _exit(1); // no destructor: it would write the unfinished batch
}

TEST(CopyRecord, AWriterKilledWhileFlushingLeavesWholeBatchesInOrder)
{
    const test::TempDir dir;
    std::size_t rows = 0;
    for (std::size_t round = 0; round < 12; ++round) {
        int notify[2];
        ASSERT_EQ(pipe(notify), 0);
        const pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            close(notify[0]);
            WriteBatchesForever(dir.Path(), rows, notify[1]);
        }
        close(notify[1]);
        const std::size_t flushesBeforeKill = 2 + round % 3;
        std::size_t flushes = 0;
        char byte = 0;
        while (flushes < flushesBeforeKill && read(notify[0], &byte, 1) == 1)
            ++flushes;
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(notify[0]);
        ASSERT_EQ(flushes, flushesBeforeKill) << "the writer stopped by itself";

        EXPECT_EQ(RawFile(dir).Query("PRAGMA integrity_check"), "ok");
        const auto record = OpenRecord(dir);
        ASSERT_TRUE(record);
        const std::vector<UrlRecord> all = record->All();
        ASSERT_GE(all.size(), rows + (flushes - 1) * kRows);
        ASSERT_EQ(all.size() % kRows, 0u);
        EXPECT_EQ(all.back().url, "host.com/page" + std::to_string(all.size() - 1) + ".html");
        rows = all.size();
    }
}
#endif

} // namespace
} // namespace tw
