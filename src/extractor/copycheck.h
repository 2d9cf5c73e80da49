#pragma once

// Tells how much of a copy on disk browses from disk: every page, style sheet and SVG image below
// a folder is read with the reference finder the copier uses, and each reference is resolved as a
// browser resolves it from the file's own file:// address (the query left out, escapes decoded,
// "." and ".." resolved, a <base href> followed). Nothing in the folder is changed.
//
// A link to another site leads online by design and is counted apart. The site a page is of is
// told by the folders a copy is laid out in, "host/path": the host is the name of the folder
// checked (the host's folder itself) or of the folder at its top that holds the page (a download
// folder of host folders). Both are compared as hosts are, "www." and a port aside, and a host
// folder's "+" stands for ":".

#include "output/filesystem.h"
#include "output/pagesaver.h"

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tw {

// Why a reference does not lead to a file of the copy.
enum class UnresolvedCause {
    Missing, // names no file of the copy
    AboveCopy, // climbs out of the copy's folder
    Folder, // names a folder, of which a browser shows a listing, not its index page
    RootRelative, // starts with "/", which from disk is the file system's root
    Online, // http://, https:// or "//" to the page's own site: needs the network
};
inline constexpr std::array kUnresolvedCauses
    = {UnresolvedCause::Missing, UnresolvedCause::AboveCopy, UnresolvedCause::Folder,
        UnresolvedCause::RootRelative, UnresolvedCause::Online};

struct UnresolvedReference
{
    std::string file; // relative to the copy's folder, "/" separators
    std::string reference; // as written
    UnresolvedCause cause = UnresolvedCause::Missing;
};

struct CopyCheck
{
    std::size_t pages = 0;
    std::size_t styleSheets = 0;
    std::size_t svgImages = 0;
    // Every reference found. Those skipped name nothing a copy could make local (a fragment
    // alone, data:, javascript:, mailto: and other schemes, an empty value) or the file itself;
    // <base href> and the hints a browser does not load from disk (canonical, preconnect,
    // dns-prefetch) are not references at all.
    std::size_t references = 0;
    std::size_t skipped = 0;
    std::size_t resolved = 0;
    std::size_t otherSites = 0; // absolute, or under a <base>, to a host other than the page's own
    std::vector<UnresolvedReference> unresolved; // in order of file and position

    std::size_t FilesChecked() const { return pages + styleSheets + svgImages; }
    std::size_t CountOf(UnresolvedCause cause) const;
};

// Marks a page as a check's own report, which a check passes over.
inline constexpr std::string_view kReportMark
    = R"(<meta name="generator" content="tidewell report">)";

// How a check reads a stored file, by its name alone: pages are the names holding ".htm", ".php",
// ".shtm" or ".asp", style sheets and SVG images are told by their extension; a query kept in a
// stored name ("site.css?v=2") does not count. Other files are not read.
DocumentKind KindOfStoredName(std::string_view path);

// A document of a copy read ahead of the check, while the copy is still made: all that its check
// needs but the targets it names inside the copy, which are looked up once the copy is final.
struct ExaminedDocument
{
    // A reference that is neither skipped nor to another site, in the document's order: its
    // target's components below the copy's folder then the reference as written (for a target
    // looked up, only while lookedUpWritten), one after the other in texts. A target looked up that
    // is no file is unresolved for cause, or for Folder when cause is Missing and it is a folder;
    // one not looked up is unresolved for cause.
    struct Entry
    {
        std::size_t targetEnd = 0;
        std::size_t referenceEnd = 0;
        UnresolvedCause cause = UnresolvedCause::Missing;
        bool lookUp = false;
    };

    std::optional<FileSystem::FileStamp> stamp; // of the file as it was read, when it could be told
    DocumentKind kind = DocumentKind::Other;
    std::size_t references = 0;
    std::size_t skipped = 0;
    std::size_t otherSites = 0;
    // Whether texts holds the reference as written of a target looked up too, or only its
    // target.
    bool lookedUpWritten = true;
    std::string texts;
    std::vector<Entry> entries;
};
// Examined documents by their path relative to the copy's folder, in system form.
using ExaminedDocuments = std::unordered_map<std::string, ExaminedDocument>;

// A document's text as it was written, and its file's stamp then.
struct WrittenText
{
    std::shared_ptr<const std::string> text;
    std::optional<FileSystem::FileStamp> stamp;
};

// Examines file (relative to folder, system form) for a later check of the copy in folder, which
// reads it again only when one of the targets it looks up is not found: its written text when
// given, else the file read now; nothing when its name is not a document's, it cannot be read,
// or it is a report.
std::optional<ExaminedDocument> ExamineStoredDocument(
    std::string_view folder, const std::string &file, const WrittenText &written = {});

// Checks the copy in folder (absolute, system form). A document examined already is judged from
// its examination while its file is as it was examined; any other is read now.
CopyCheck CheckCopy(std::string_view folder, const ExaminedDocuments &examined = {});

} // namespace tw
