#pragma once

// Keeps the copy's record from what the engine reports: a row for every URL it queues, stores,
// fails or skips, written as the copy goes; and at its end the report page, made from the record
// and a check of the copy on disk. The desktop program and tidewell-cli each keep one beside their
// engine.

#include "crawl/engine.h"
#include "output/copyrecord.h"
#include "report/copyreport.h"
#include "report/documentexaminer.h"

#include <QObject>

#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace tw {

// The report's name in the download folder.
inline constexpr std::string_view kReportName = "report.html";

// What the report shows of the rows of a record, for the copy in folder (system form).
CopySummary SummaryOfRecord(const std::vector<UrlRecord> &rows, const std::string &folder);

// How a job takes up the copy in a download folder, read from its record.
struct TakeUpPlan
{
    QString startUrl;
    bool fetchStartPage = true;
    std::vector<std::string> waiting;
    // URLs fetched before and not stored (an error status, a type not wanted): not asked again.
    std::vector<std::string> settled;
    // URLs stored before, their links queued, when the copy is continued: not asked again.
    std::vector<std::string> stored;
    std::unordered_map<std::string, SiteJob::Validators> revalidate;
};
enum class TakeUp {
    Update, // every stored URL asked again, new ones copied
    Continue, // what was queued when the copy stopped, nothing stored fetched again
};
// The plan for the copy in folder (system form); nothing, with the reason in error, when the folder
// holds no record of a copy, or (to continue) a copy that is complete.
std::optional<TakeUpPlan> PlanTakeUp(const std::string &folder, TakeUp how, std::string &error);
// Starts engine on the copy as plan takes it up; the start URL to show.
QString StartTakeUp(Engine &engine, TakeUpPlan plan);
// Two start URLs as typed name the same site: the same host, "www." aside, and scheme.
bool SameStartSite(const QString &one, const QString &other);
// The start URL of the copy in folder when it stopped before its end.
std::optional<QString> UnfinishedCopyIn(const std::string &folder);

class CopyJournal final : public QObject
{
    Q_OBJECT

public:
    explicit CopyJournal(Engine &engine);
    ~CopyJournal() override;

    // Off: no record is kept and no report written (on by default).
    void SetEnabled(bool enabled) { m_enabled = enabled; }
    // Why the record of the running job could not be opened or written; empty while it could.
    const std::string &Error() const { return m_error; }
    // Writes the report of the last job into its download folder; its path, or empty when no
    // record was kept or the page could not be written (Error() says why).
    std::string WriteReport();

private:
    struct OpenedRecord
    {
        std::unique_ptr<CopyRecord> record;
        std::string error;
    };

    void Open();
    // The record of the running job, once its opening has ended and what came meanwhile is
    // written; nullptr when none is kept.
    CopyRecord *Record();
    // Runs write on the record, or keeps it for when the record is open.
    template <typename Call> void Write(Call &&write);
    void SetValue(std::string_view key, std::string_view value);
    void Put(UrlRecord row);
    // The row of a file stored at url, as fetch tells of it.
    void PutStored(const std::string &url, const StoredFetch &fetch);
    // PutStored, and the stored file examined for the check.
    void Stored(const std::string &url, const StoredFetch &fetch);
    void Close();

    Engine &m_engine;
    std::future<OpenedRecord> m_opening;
    // The check of the copy on disk, begun as soon as the job's files are final.
    std::future<CopyCheck> m_check;
    // Reads the documents the running job stores, while it runs, for the check.
    std::unique_ptr<DocumentExaminer> m_examiner;
    std::vector<std::function<bool(CopyRecord &)>> m_early;
    std::unique_ptr<CopyRecord> m_record;
    std::string m_folder;
    std::string m_error;
    bool m_enabled = true;
    // What an update changed, while the job is one.
    std::optional<CopyChanges> m_changes;
    int m_ticks = 0;
};

} // namespace tw
