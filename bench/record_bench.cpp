// Measures the copy's record: putting rows as a copy does, written in batches of a given size, with
// one line per URL appended to the job's log as the baseline. Works in a temporary folder.
//
// Usage: record_bench [rows=100000]

#include "output/copyrecord.h"
#include "output/filesystem.h"

#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

tw::UrlRecord RowFor(std::size_t n)
{
    const std::string path
        = "host.com/section" + std::to_string(n % 97) + "/page" + std::to_string(n) + ".html";
    return {.url = path,
        .localPath = path,
        .state = tw::UrlState::Stored,
        .httpStatus = 200,
        .size = static_cast<std::int64_t>(n * 37 % 200000),
        .contentType = "text/html; charset=utf-8",
        .lastModified = "Tue, 01 Oct 2024 10:00:00 GMT",
        .etag = "\"" + std::to_string(n) + "-5f0c\"",
        .tries = 1,
        .fetchedAt = 1727776800 + static_cast<std::int64_t>(n)};
}

struct RecordTimes
{
    double inserting = 0; // each URL put as queued
    double updating = 0; // each put again as stored
};

// Puts the rows into a fresh record as a copy does, flushing after every `batch` of them (the
// record writes by itself at CopyRecord::kBatchRows).
RecordTimes TimeRecord(std::size_t rows, std::size_t batch)
{
    const QTemporaryDir dir;
    std::string error;
    const auto record
        = tw::CopyRecord::Open(tw::FileSystem::SystemPath(dir.path().toStdString()) + "\\", error);
    if (!record) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    const auto putAll = [&](bool stored) {
        const auto start = Clock::now();
        for (std::size_t n = 0; n < rows; ++n) {
            tw::UrlRecord row = RowFor(n);
            record->Put(stored ? std::move(row) : tw::UrlRecord {.url = row.url});
            if ((n + 1) % batch == 0)
                record->Flush();
        }
        if (!record->Flush()) {
            std::fprintf(stderr, "%s\n", record->Error().c_str());
            std::exit(1);
        }
        return SecondsSince(start);
    };
    const double inserting = putAll(false);
    return {inserting, putAll(true)};
}

// Seconds to append one log line for each row, as the job's log is written.
double TimeLog(std::size_t rows)
{
    const QTemporaryDir dir;
    const std::string log = tw::FileSystem::SystemPath(dir.path().toStdString()) + "\\log.txt";
    const auto start = Clock::now();
    for (std::size_t n = 0; n < rows; ++n)
        tw::FileSystem::AppendToLog(log, "http://" + RowFor(n).url + " saved\r\n");
    tw::FileSystem::CloseLogs();
    return SecondsSince(start);
}

} // namespace

int main(int argc, char **argv)
{
    const std::size_t rows = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
    for (const std::size_t batch : {std::size_t {50}, tw::CopyRecord::kBatchRows}) {
        const RecordTimes times = TimeRecord(rows, batch);
        std::printf(
            "record, flushed every %zu rows: %zu inserted in %.3f s, then updated in %.3f s\n",
            batch, rows, times.inserting, times.updating);
    }
    const double seconds = TimeLog(rows);
    std::printf("baseline: %zu log lines appended in %.3f s\n", rows, seconds);
}
