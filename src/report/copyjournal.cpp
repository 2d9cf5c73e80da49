#include "report/copyjournal.h"

#include "common/pathform.h"
#include "common/stringops.h"
#include "common/textconversion.h"
#include "extractor/copycheck.h"
#include "output/filesystem.h"
#include "output/localpath.h"
#include "report/failuretext.h"
#include "transport/siteaddress.h"

#include <QDateTime>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <map>
#include <utility>

namespace tw {

namespace {

// The record is written once a second at the designed tick, and whenever a job ends.
constexpr int kTicksPerFlush = 50;

// The words the record keeps for each cause; a type not wanted is followed by the type.
constexpr std::pair<SkipCause, std::string_view> kSkipWords[] = {
    {SkipCause::TypeNotWanted, "type not wanted"},
    {SkipCause::QueryPage, "page with a query"},
    {SkipCause::LimitReached, "more queries than the limit"},
    {SkipCause::OtherHost, "on another host"},
    {SkipCause::Robots, "forbidden by robots.txt"},
    {SkipCause::EndsSession, "would end the session"},
};

std::string_view WordsOf(SkipCause cause)
{
    return std::find_if(std::begin(kSkipWords), std::end(kSkipWords), [cause](const auto &row) {
        return row.first == cause;
    })->second;
}

SkipCause CauseOf(std::string_view words)
{
    const auto *row = std::find_if(std::begin(kSkipWords), std::end(kSkipWords),
        [words](const auto &each) { return words.starts_with(each.second); });
    return row == std::end(kSkipWords) ? SkipCause::TypeNotWanted : row->first;
}

std::int64_t Now()
{
    return QDateTime::currentSecsSinceEpoch();
}

constexpr std::string_view kStartUrlKey = "start url";
constexpr std::string_view kFinishedKey = "finished";

} // namespace

std::optional<TakeUpPlan> PlanTakeUp(const std::string &folder, TakeUp how, std::string &error)
{
    if (!FileExists(folder + ".tidewell/copy.sqlite")) {
        error = "it holds no record of a copy";
        return std::nullopt;
    }
    const std::unique_ptr<CopyRecord> record = CopyRecord::Open(folder, error);
    if (!record)
        return std::nullopt;
    const std::optional<std::string> start = record->Value(kStartUrlKey);
    if (!start || start->empty()) {
        error = "its record names no start URL";
        return std::nullopt;
    }
    if (how == TakeUp::Continue && record->Value(kFinishedKey) == "1") {
        error = "its copy is complete";
        return std::nullopt;
    }
    TakeUpPlan plan;
    plan.startUrl = QString::fromStdString(*start);
    for (UrlRecord &row : record->All()) {
        if (how == TakeUp::Update && row.state == UrlState::Stored) {
            plan.revalidate.emplace(row.url, SiteJob::Validators {row.lastModified, row.etag});
            plan.waiting.push_back(std::move(row.url));
        } else if (how == TakeUp::Continue && row.state == UrlState::Queued) {
            plan.waiting.push_back(std::move(row.url));
        } else if (how == TakeUp::Continue && row.state == UrlState::Stored) {
            plan.stored.push_back(std::move(row.url));
        } else if (how == TakeUp::Continue && row.tries > 0) {
            plan.settled.push_back(std::move(row.url));
        }
    }
    if (how == TakeUp::Continue) {
        // The start page is asked again unless it was stored (a run killed at once left no row).
        const std::string startPage = ToLower(plan.startUrl.toStdString());
        plan.fetchStartPage = std::none_of(plan.stored.begin(), plan.stored.end(),
            [&](const std::string &url) { return startPage.ends_with(ToLower(url)); });
    }
    return plan;
}

QString StartTakeUp(Engine &engine, TakeUpPlan plan)
{
    engine.Job().revalidate = std::move(plan.revalidate);
    return engine.TakeUpCopy(plan.startUrl, plan.fetchStartPage,
        {.waiting = std::move(plan.waiting),
            .settled = std::move(plan.settled),
            .stored = std::move(plan.stored)});
}

bool SameStartSite(const QString &one, const QString &other)
{
    const auto site = [](const QString &typed) {
        const SiteAddress address = ParseStartUrl(ToNetworkText(typed)).address;
        return std::pair(address.secure, ToLower(ReplaceAll(address.host, "www.", "")));
    };
    return site(one) == site(other);
}

std::optional<QString> UnfinishedCopyIn(const std::string &folder)
{
    std::string error;
    std::optional<TakeUpPlan> plan = PlanTakeUp(folder, TakeUp::Continue, error);
    return plan ? std::optional<QString>(plan->startUrl) : std::nullopt;
}

CopySummary SummaryOfRecord(const std::vector<UrlRecord> &rows, const std::string &folder)
{
    CopySummary summary;
    summary.folder = FileSystem::NativePath(folder);
    summary.fetchesRecorded = true;
    std::map<std::string, StoredByType> byType;
    for (const UrlRecord &row : rows) {
        switch (row.state) {
        case UrlState::Queued:
            break;
        case UrlState::Stored: {
            const std::string type = TypeOfUrl(row.localPath).extension;
            StoredByType &entry = byType[type];
            entry.type = type;
            ++entry.files;
            entry.bytes += row.size;
            if (!row.rendering.empty())
                summary.drawn.push_back(
                    {row.url, row.rendering == kRendered ? std::string() : row.rendering});
            if (row.received > 0) {
                summary.compressed.received += row.received;
                summary.compressed.stored += row.size;
            }
            break;
        }
        case UrlState::Failed:
            summary.failed.push_back({row.url, row.reason, row.tries});
            break;
        case UrlState::Skipped:
            summary.skipped.push_back({row.url, CauseOf(row.reason)});
            break;
        }
    }
    for (auto &[type, entry] : byType)
        summary.stored.push_back(std::move(entry));
    return summary;
}

CopyJournal::CopyJournal(Engine &engine)
    : m_engine(engine)
{
    connect(&engine, &Engine::runningChanged, this, [this](bool running) {
        if (running)
            Open();
        else
            Close();
    });
    connect(&engine, &Engine::urlQueued, this, [this](const std::string &url) {
        // A stored file asked again keeps its row until a new answer replaces it.
        if (m_changes && m_engine.Job().revalidate.contains(url))
            return;
        Put({.url = url, .state = UrlState::Queued});
    });
    connect(&engine, &Engine::fetchStored, this,
        [this](const std::string &url, const StoredFetch &fetch) {
            if (m_changes) {
                if (m_engine.Job().revalidate.contains(url)) {
                    ++m_changes->changed;
                    m_changes->changedUrls.push_back(url);
                } else {
                    ++m_changes->added;
                }
            }
            Stored(url, fetch);
        });
    // A document rewritten is examined again.
    connect(&engine, &Engine::storedFileRewritten, this, &CopyJournal::Stored);
    connect(&engine, &Engine::fetchFailed, this,
        [this](const std::string &url, const Failure &failure) {
            Put({.url = url,
                .state = UrlState::Failed,
                .reason = FailureText(failure).toStdString(),
                .httpStatus = failure.kind == Failure::Kind::HttpStatus
                    ? static_cast<int>(failure.announced)
                    : 0,
                .tries = failure.tries,
                .fetchedAt = Now()});
        });
    connect(&engine, &Engine::fetchSkipped, this,
        [this](const std::string &url, const std::string &contentType) {
            Put({.url = url,
                .state = UrlState::Skipped,
                .reason = std::string(WordsOf(SkipCause::TypeNotWanted)) + ": " + contentType,
                .contentType = contentType,
                .tries = 1,
                .fetchedAt = Now()});
        });
    connect(&engine, &Engine::linkSkipped, this, [this](const std::string &url, SkipCause cause) {
        CopyRecord *record = Record();
        if (record == nullptr)
            return;
        // A URL that robots.txt forbids was taken from the queue, and its waiting row ends.
        // A URL the copy fetched or queued keeps its row, though another page links to it where
        // it would not be followed.
        if (cause == SkipCause::Robots || !record->Find(url))
            Put({.url = url, .state = UrlState::Skipped, .reason = std::string(WordsOf(cause))});
    });
    connect(&engine, &Engine::fetchUnchanged, this, [this] {
        if (m_changes)
            ++m_changes->unchanged;
    });
    connect(&engine, &Engine::fetchGone, this, [this](const std::string &url, int status) {
        if (m_changes)
            ++m_changes->gone;
        CopyRecord *record = Record();
        if (record == nullptr)
            return;
        std::optional<UrlRecord> row = record->Find(url);
        if (!row)
            return;
        row->reason = "gone (" + std::to_string(status) + "), the stored file kept";
        row->httpStatus = status;
        row->fetchedAt = Now();
        Put(std::move(*row));
    });
    connect(&engine, &Engine::siteStarted, this, [this](const QString &url) {
        SetValue(kStartUrlKey, url.toStdString());
        SetValue(kFinishedKey, "0");
    });
    connect(&engine, &Engine::siteCompleted, this, [this] { SetValue(kFinishedKey, "1"); });
    connect(&engine, &Engine::statsRefresh, this, [this] {
        if (++m_ticks % kTicksPerFlush == 0)
            Write([](CopyRecord &record) { return record.Flush(); });
    });
}

CopyJournal::~CopyJournal()
{
    Record(); // what came while the record was opened is written into it
}

void CopyJournal::Open()
{
    Record();
    m_record.reset();
    m_check = {};
    m_examiner.reset();
    m_error.clear();
    if (!m_enabled)
        return;
    m_folder = m_engine.Job().outputDir;
    m_examiner = std::make_unique<DocumentExaminer>(m_folder);
    // The record is opened on a thread of its own while the first fetches start.
    m_opening = std::async(std::launch::async | std::launch::deferred, [folder = m_folder] {
        OpenedRecord opened;
        opened.record = CopyRecord::Open(folder, opened.error);
        return opened;
    });
    m_changes.reset();
    if (!m_engine.Job().revalidate.empty())
        m_changes.emplace();
}

CopyRecord *CopyJournal::Record()
{
    if (m_opening.valid()) {
        OpenedRecord opened = m_opening.get();
        m_record = std::move(opened.record);
        m_error = std::move(opened.error);
        for (auto &write : std::exchange(m_early, {}))
            Write(write);
    }
    return m_record.get();
}

template <typename Call> void CopyJournal::Write(Call &&write)
{
    if (m_opening.valid()
        && m_opening.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        m_early.emplace_back(std::forward<Call>(write));
        return;
    }
    if (CopyRecord *record = Record(); record != nullptr && !write(*record))
        m_error = record->Error();
}

void CopyJournal::SetValue(std::string_view key, std::string_view value)
{
    Write([key = std::string(key), value = std::string(value)](
              CopyRecord &record) { return record.SetValue(key, value); });
}

void CopyJournal::PutStored(const std::string &url, const StoredFetch &fetch)
{
    const std::string local
        = fetch.file.starts_with(m_folder) ? fetch.file.substr(m_folder.size()) : fetch.file;
    Put({.url = url,
        .localPath = local,
        .state = UrlState::Stored,
        .httpStatus = fetch.status,
        .size = fetch.size,
        .contentType = fetch.contentType,
        .lastModified = fetch.lastModified,
        .etag = fetch.etag,
        .tries = fetch.tries,
        .fetchedAt = Now(),
        .received = fetch.received,
        .rendering = fetch.rendering});
}

void CopyJournal::Stored(const std::string &url, const StoredFetch &fetch)
{
    PutStored(url, fetch);
    if (m_examiner)
        m_examiner->Add(fetch.file, {fetch.text, fetch.stamp});
}

void CopyJournal::Put(UrlRecord row)
{
    Write(
        [row = std::move(row)](CopyRecord &record) mutable { return record.Put(std::move(row)); });
}

void CopyJournal::Close()
{
    std::unique_ptr<DocumentExaminer> examiner = std::move(m_examiner);
    if (Record() == nullptr)
        return;
    // The engine has stopped and its files are final: the check, once the documents stored are
    // examined, runs beside the writing of the last rows.
    m_check = std::async(std::launch::async, [folder = m_folder, examiner = std::move(examiner)] {
        return CheckCopy(folder, examiner ? examiner->Finish() : ExaminedDocuments());
    });
    for (const std::string &path : m_engine.PathsAtQueryLimit())
        Put({.url = path,
            .state = UrlState::Skipped,
            .reason = std::string(WordsOf(SkipCause::LimitReached))});
    if (!m_record->Flush())
        m_error = m_record->Error();
}

std::string CopyJournal::WriteReport()
{
    if (Record() == nullptr)
        return {};
    CopySummary summary = SummaryOfRecord(m_record->All(), m_folder);
    summary.madeAt = QDateTime::currentDateTime().toString(Qt::ISODate).toStdString();
    summary.check = m_check.valid() ? m_check.get() : CheckCopy(m_folder);
    summary.changes = m_changes;
    std::string path = m_folder + std::string(kReportName);
    if (!FileSystem::WriteFile(path, CopyReportHtml(summary), &m_error))
        return {};
    return path;
}

} // namespace tw
