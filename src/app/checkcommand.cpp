#include "app/checkcommand.h"

#include "app/clirunner.h"
#include "report/copyreport.h"

#include "common/pathform.h"
#include "common/stringops.h"
#include "common/textconversion.h"
#include "extractor/copycheck.h"
#include "output/filesystem.h"
#include "output/localpath.h"

#include <QDateTime>
#include <QDir>

#include <map>

namespace tw {

namespace {

// The files below folder (system form) and their bytes, by extension.
std::vector<StoredByType> StoredByTypeBelow(const std::string &folder)
{
    std::map<std::string, StoredByType> byType;
    for (const std::string &file : FileSystem::FilesBelow(folder)) {
        const std::string type = TypeOfUrl(file).extension;
        StoredByType &entry = byType[type];
        entry.type = type;
        ++entry.files;
        entry.bytes += FileSystem::FileSize(folder + file).value_or(0);
    }
    std::vector<StoredByType> stored;
    stored.reserve(byType.size());
    for (auto &[type, entry] : byType)
        stored.push_back(std::move(entry));
    return stored;
}

std::string SystemPathOf(const QString &typed)
{
    return FileSystem::SystemPath(ToLocalText(
        QDir::toNativeSeparators(QDir::cleanPath(QDir::current().absoluteFilePath(typed)))));
}

} // namespace

int RunCheckCommand(const CliOptions &options, QTextStream &out, QTextStream &err)
{
    std::string folder = SystemPathOf(options.check);
    switch (FileSystem::KindOfEntry(folder)) {
    case FileSystem::EntryKind::Folder:
        break;
    case FileSystem::EntryKind::File:
        err << "tidewell-cli: --check takes a folder, and " << options.check << " is a file\n"
            << Qt::flush;
        return CliBadArguments;
    case FileSystem::EntryKind::Nothing:
        err << "tidewell-cli: there is no folder " << options.check << " to check\n" << Qt::flush;
        return CliBadArguments;
    }
    // The report stands beside the copy, never in it: the check changes nothing there.
    const std::string reportFile
        = options.report.isEmpty() ? folder + "-report.html" : SystemPathOf(options.report);
    EndWithSlash(folder);

    CopySummary summary;
    summary.folder = FileSystem::NativePath(folder.substr(0, folder.size() - 1));
    summary.madeAt = ToLocalText(QDateTime::currentDateTime().toString(Qt::ISODate));
    summary.stored = StoredByTypeBelow(folder);
    summary.check = CheckCopy(folder);
    std::string error;
    if (!FileSystem::WriteFile(reportFile, CopyReportHtml(summary), &error)) {
        err << "tidewell-cli: cannot write the report "
            << QString::fromLocal8Bit(FileSystem::NativePath(reportFile)) << ": "
            << QString::fromLocal8Bit(error) << '\n'
            << Qt::flush;
        return CliUnusableDirectory;
    }

    const CopyCheck &check = summary.check;
    if (!options.quiet) {
        out << "Checked " << check.pages << " pages, " << check.styleSheets << " style sheets and "
            << check.svgImages << " SVG images in " << FromLocalText(summary.folder) << '\n'
            << check.references << " references: " << check.resolved << " resolve, "
            << check.skipped << " skipped, " << check.otherSites << " lead to other sites, "
            << check.unresolved.size() << " do not resolve\n";
        for (const UnresolvedCause cause : kUnresolvedCauses)
            out << "  " << FromLocalText(CauseTitle(cause)) << ": " << check.CountOf(cause) << '\n';
        out << "Report: " << FromLocalText(FileSystem::NativePath(reportFile)) << '\n' << Qt::flush;
    }
    return check.unresolved.empty() ? CliCompleted : CliUnresolvedReferences;
}

} // namespace tw
