#pragma once

// Keeps the copy's record from what the engine reports: a row for every URL it queues, stores,
// fails or skips, written as the copy goes; and at its end the report page, made from the record
// and a check of the copy on disk. The desktop program and tidewell-cli each keep one beside their
// engine.

#include "connections/engine.h"
#include "forms/copyreport.h"
#include "output/copyrecord.h"

#include <QObject>

#include <memory>
#include <string>

namespace tw {

// The report's name in the download folder.
inline constexpr std::string_view kReportName = "report.html";

// What the report shows of the rows of a record, for the copy in folder (system form).
CopySummary SummaryOfRecord(const std::vector<UrlRecord> &rows, const std::string &folder);

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
    void Open();
    void Put(UrlRecord row);
    void Close();

    Engine &m_engine;
    std::unique_ptr<CopyRecord> m_record;
    std::string m_folder;
    std::string m_error;
    bool m_enabled = true;
    int m_ticks = 0;
};

} // namespace tw
