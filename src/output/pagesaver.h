#pragma once

// Stores one finished (or abandoned) fetch in the mirror tree: the header goes, the local name is
// chosen, pages get their line endings and links rewritten for browsing from disk, the URL's
// placeholder goes and the file is counted.

#include "common/sitejob.h"
#include "output/jobwrites.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

// What a stored file holds, as far as its scan and rewriting go.
enum class DocumentKind {
    Page,
    StyleSheet,
    Svg, // scanned for its links, stored exactly as received
    Manifest, // a web app manifest: scanned for its icons, stored exactly as received
    Other, // neither scanned nor rewritten: stored exactly as received
};

// The replacement of the text [at, at + length) of a body by text.
struct TextEdit
{
    std::size_t at = 0;
    std::size_t length = 0;
    std::string text;
};

// The body of a page or style sheet as it is stored: each edit (in order of position, none
// overlapping) replaces its span, and for a page, outside the edited spans, each line break (CR
// LF, CR or LF) becomes CR LF.
std::string RewriteStoredBody(
    std::string_view body, bool page, const std::vector<TextEdit> &edits = {});

// Where a fetch saved under relativePath ("/" + host + URL path) is stored.
struct StoredLocation
{
    // The path as named, before normalization: what must stay inside the output directory.
    std::string unprepared;
    // The file written, as stored (fitted to the system's limits).
    std::string file;
    // The name before ".html" is added to ".php" and ".asp" names; the placeholder's is this
    // name with ".tmp".
    std::string placeholderBase;
    // Where the part below the download folder begins.
    std::size_t mirrorStart = 0;
    // A page (IsPagePath of the part below the download folder).
    bool page = false;

    // Page, StyleSheet (".css"), Svg (".svg"), Manifest (".webmanifest", "manifest.json") or
    // Other, by the stored name alone.
    DocumentKind Kind() const;
};
// How a stored file's name tells what it holds: by the URL's name (a ".php" or ".asp" name is a
// page, stored with ".html" added), or by the type its server named, added to the name, when it
// is a page's part that is no page.
enum class NamedBy { Url, ServerType };
StoredLocation StoredLocationOf(
    std::string_view relativePath, const SiteJob &job, NamedBy named = NamedBy::Url);

// How a file stored at location is scanned for links, told by its name or by the Content-Type
// its server gave: "text/html" and "application/xhtml+xml" are pages, "text/css" style sheets,
// "image/svg+xml" SVG images, "application/manifest+json" manifests.
DocumentKind DocumentKindOf(const StoredLocation &location, std::string_view contentType);

// The edits that make the references of a page or style sheet (body, stored as storedFile) point
// at the copy.
using ReferenceEditor = std::function<std::vector<TextEdit>(
    std::string_view body, DocumentKind kind, std::string_view storedFile)>;

// What became of a save.
struct SaveOutcome
{
    enum class Kind {
        Stored,
        Failed, // nothing could be stored; reason says why
    };
    Kind kind = Kind::Stored;
    std::string reason;
    // A rewritten page or style sheet as it was written, for whoever reads it next.
    std::shared_ptr<const std::string> text;
};

// Saves body (what a fetch received after its header, or a text that stands in for it) under
// relativePath ("/" + host + URL path) below job.outputDir. Files whose names are neither pages
// nor style sheets are stored exactly as received; pages and style sheets are rewritten (with
// the edits of editReferences, when given) and end with CR LF. A path that would lead outside the
// output directory is refused before any directory is made: then nothing is written or deleted.
// Otherwise the placeholder is deleted, and so is what a write that failed left of the file.
// Nothing is counted: the caller knows what the file was.
SaveOutcome SaveDownloadedFile(std::string_view body, std::string_view relativePath,
    const SiteJob &job, JobWrites &writes, const ReferenceEditor &editReferences = {});
// The same, for a caller that has worked out StoredLocationOf(relativePath, job) already.
SaveOutcome SaveDownloadedFile(std::string_view body, const StoredLocation &location,
    const SiteJob &job, JobWrites &writes, const ReferenceEditor &editReferences = {});

// Refuses location when a name written for it (its file, its placeholder, alsoWritten) would lead
// outside the output directory; otherwise makes its folders. Nothing when it may be stored.
std::optional<SaveOutcome> PrepareToStore(const StoredLocation &location, const SiteJob &job,
    JobWrites &writes, std::string_view alsoWritten = {});

} // namespace tw
