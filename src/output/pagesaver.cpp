#include "output/pagesaver.h"

#include "common/stringops.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/jobfiles.h"
#include "output/localpath.h"
#include "output/mirrorbounds.h"

#include <algorithm>
#include <array>

namespace tw {

namespace {

// Links to names that are stored with ".html" added, and query marks that the stored name
// spells "_". Every find text begins with its only "." and no replacement can start another
// match, so rows applied at each "." in turn give what the row-by-row passes give.
struct Rewrite
{
    std::string_view find;
    std::string_view replace;
};
constexpr std::array<Rewrite, 8> kRewriteTable = {{
    {".php'", ".php.html'"},
    {".php\"", ".php.html\""},
    {".php>", ".php.html>"},
    {".asp'", ".asp.html'"},
    {".asp\"", ".asp.html\""},
    {".asp>", ".asp.html>"},
    {".php?", ".php_"},
    {".PHP?", ".PHP_"},
}};

// In a root page, href spelling + quote + "../" loses the "../". Each begins with its only "href"
// and removing "../" cannot complete another, so one pass equals the eight passes.
constexpr std::array<std::string_view, 4> kHrefSpellings = {"href=", "href =", "href = ", "href= "};
constexpr std::array<char, 2> kQuotes = {'"', '\''};

// Whether a parent link may start at rest: every spelling begins with "href", which most of the
// "h" in a page do not.
bool MayStartParentLink(std::string_view rest)
{
    return rest.starts_with("href");
}

// The length of the parent-link prefix at the start of rest that keeps its spelling and quote,
// or 0.
std::size_t ParentLinkAt(std::string_view rest)
{
    if (!MayStartParentLink(rest))
        return 0;
    for (char quote : kQuotes) {
        for (std::string_view spelling : kHrefSpellings) {
            if (rest.starts_with(spelling) && rest.size() >= spelling.size() + 4
                && rest[spelling.size()] == quote
                && rest.substr(spelling.size() + 1).starts_with("../"))
                return spelling.size() + 1;
        }
    }
    return 0;
}

// The bytes at which a rule of RewriteStoredBody may apply, with the parent-link rule and
// without it.
constexpr std::array<bool, 256> StopBytes(bool parentLinks)
{
    std::array<bool, 256> table {};
    for (const unsigned char c : {'.', '\r', '\n'})
        table[c] = true;
    table['h'] = parentLinks;
    return table;
}
constexpr std::array<bool, 256> kMayBeRewritten = StopBytes(true);
constexpr std::array<bool, 256> kMayBeRewrittenOutsideRoot = StopBytes(false);

// Whether a rewrite row may start at rest, which starts with ".": every find text goes on with
// "p", "P" or "a".
bool MayStartRow(std::string_view rest)
{
    return rest.size() >= 5 && (rest[1] == 'p' || rest[1] == 'P' || rest[1] == 'a');
}

// Whether a rule of RewriteStoredBody may take rest, which starts with a stop byte: most "." and
// "h" of a page start nothing, and a copy runs on past them.
bool MayApplyAt(std::string_view rest, bool page, bool inSiteRoot)
{
    switch (rest.front()) {
    case '\r':
    case '\n':
        return page;
    case '.':
        return MayStartRow(rest);
    default:
        return inSiteRoot && MayStartParentLink(rest);
    }
}

// How many bytes at the start of rest no rule takes, its first byte always among them. Stops are
// a few in a hundred bytes of a page: four bytes are looked up at a time between them.
std::size_t RunLength(
    std::string_view rest, const std::array<bool, 256> &stops, bool page, bool inSiteRoot)
{
    // Whole numbers, so that four are looked up without a branch between them.
    const auto isStop = [&](std::size_t at) -> unsigned {
        return stops[static_cast<unsigned char>(rest[at])] ? 1U : 0U;
    };
    std::size_t run = 1;
    for (;;) {
        while (run + 4 <= rest.size()
            && !(isStop(run) | isStop(run + 1) | isStop(run + 2) | isStop(run + 3)))
            run += 4;
        while (run < rest.size() && !isStop(run))
            ++run;
        if (run == rest.size() || MayApplyAt(rest.substr(run), page, inSiteRoot))
            return run;
        ++run;
    }
}

} // namespace

std::string RewriteStoredBody(
    std::string_view body, bool page, bool inSiteRoot, const std::vector<TextEdit> &edits)
{
    std::string result;
    result.reserve(body.size() + body.size() / 16 + 2);
    const std::array<bool, 256> &stops = inSiteRoot ? kMayBeRewritten : kMayBeRewrittenOutsideRoot;
    auto edit = edits.begin();
    const auto nextEditAt = [&] { return edit == edits.end() ? body.size() : edit->at; };
    for (std::size_t i = 0; i < body.size();) {
        if (i == nextEditAt()) {
            result += edit->text;
            i += edit->length;
            ++edit;
            continue;
        }
        const char c = body[i];
        // One line break stays one: CR LF, a lone CR and a lone LF each become CR LF.
        if (page && (c == '\r' || c == '\n')) {
            result += "\r\n";
            i += c == '\r' && i + 1 < body.size() && body[i + 1] == '\n' ? 2 : 1;
            continue;
        }
        // Neither rewrite below may reach into an edited span.
        const std::string_view rest = body.substr(i, nextEditAt() - i);
        if (c == '.' && MayStartRow(rest)) {
            const auto row = std::find_if(kRewriteTable.begin(), kRewriteTable.end(),
                [&](const Rewrite &r) { return rest.starts_with(r.find); });
            if (row != kRewriteTable.end()) {
                result += row->replace;
                i += row->find.size();
                continue;
            }
        }
        if (inSiteRoot && c == 'h') {
            if (const std::size_t keep = ParentLinkAt(rest)) {
                result.append(rest.substr(0, keep));
                i += keep + 3;
                continue;
            }
        }
        // The bytes up to the next that a rule above may take are copied at once.
        const std::size_t run = RunLength(rest, stops, page, inSiteRoot);
        result.append(rest.substr(0, run));
        i += run;
    }
    return result;
}

DocumentKind StoredLocation::Kind() const
{
    if (page)
        return DocumentKind::Page;
    const std::string name = ToLower(file);
    if (name.ends_with(".css"))
        return DocumentKind::StyleSheet;
    return name.ends_with(".svg") ? DocumentKind::Svg : DocumentKind::Other;
}

DocumentKind DocumentKindOf(const StoredLocation &location, std::string_view contentType)
{
    const DocumentKind byName = location.Kind();
    if (byName == DocumentKind::Page || IsHtmlMediaType(contentType))
        return DocumentKind::Page;
    const std::string extension = ExtensionOfMediaType(contentType);
    if (extension == ".css")
        return DocumentKind::StyleSheet;
    if (extension == ".svg")
        return DocumentKind::Svg;
    return byName;
}

StoredLocation StoredLocationOf(std::string_view relativePath, const SiteJob &job)
{
    StoredLocation location;
    location.unprepared = job.outputDir + Trim(SanitizeSavePath(WithHostFolder(relativePath)));
    std::string savePath = NormalizeLocalPath(location.unprepared);
    if (savePath.ends_with('\\'))
        savePath += "index.html";
    // A URL path ending in "/" on a host without a dot was named ".html" by SanitizeSavePath.
    ReplaceAllIn(savePath, "\\.html", "\\index.html");

    // The names and kinds of files are told from the part below the download folder, so that a
    // folder named like "notes.txt" or "site.com" cannot turn images into pages.
    location.mirrorStart = savePath.starts_with(job.outputDir) ? job.outputDir.size() : 0;
    const std::string_view inMirror = std::string_view(savePath).substr(location.mirrorStart);
    location.page = IsPagePath(inMirror);
    location.placeholderBase = savePath;
    if ((Contains(inMirror, ".php") || Contains(inMirror, ".asp")) && !Contains(inMirror, ".html"))
        savePath += ".html";
    ReplaceAllIn(savePath, "\\\\", "\\");
    location.file = FileSystem::StoredPath(savePath);
    return location;
}

SaveOutcome SaveDownloadedFile(std::string_view body, std::string_view relativePath, SiteJob &job,
    const ReferenceEditor &editReferences)
{
    return SaveDownloadedFile(body, StoredLocationOf(relativePath, job), job, editReferences);
}

std::optional<SaveOutcome> PrepareToStore(
    const StoredLocation &location, SiteJob &job, std::string_view alsoWritten)
{
    // The names written are longer than the one checked (".html", "index.html", ".tmp"): past the
    // system's path limit they are folded, and a fold may climb above a deep download folder.
    if (!StaysInOutputDir(location.unprepared, job)
        || !FileSystem::IsInsideDirectory(location.file, job.outputDir)
        || !FileSystem::IsInsideDirectory(location.placeholderBase + ".tmp", job.outputDir)
        || (!alsoWritten.empty() && !FileSystem::IsInsideDirectory(alsoWritten, job.outputDir)))
        return SaveOutcome {
            SaveOutcome::Kind::Failed, "its name leads outside the download folder"};
    std::string prepared = location.unprepared;
    PrepareLocalPath(prepared, job);
    return std::nullopt;
}

SaveOutcome SaveDownloadedFile(std::string_view body, const StoredLocation &location, SiteJob &job,
    const ReferenceEditor &editReferences)
{
    if (std::optional<SaveOutcome> refused = PrepareToStore(location, job))
        return *refused;

    const std::string &savePath = location.file;
    const DocumentKind kind = location.Kind();
    const bool rewritten = kind == DocumentKind::Page || kind == DocumentKind::StyleSheet;
    std::string stored;
    if (rewritten) {
        const std::string_view inMirror
            = std::string_view(location.placeholderBase).substr(location.mirrorStart);
        const std::vector<TextEdit> edits
            = editReferences ? editReferences(body, kind, savePath) : std::vector<TextEdit>();
        stored = RewriteStoredBody(body, kind == DocumentKind::Page,
            IsInSiteRoot(inMirror, HostFolderName(job.siteHost)), edits);
        stored += "\r\n";
    }
    // Images, archives and the like keep their exact bytes. The placeholder becomes the file: a
    // file system makes a new file and deletes another at a much higher cost.
    std::string error;
    const bool written = FileSystem::WriteFileInPlaceOf(location.placeholderBase + ".tmp", savePath,
        rewritten ? std::string_view(stored) : body, &error);
    if (!written) {
        NoteJobWrite(savePath, JobWrite::Failed, job);
        job.preparedDirs.clear();
        return {SaveOutcome::Kind::Failed, error};
    }
    NoteJobWrite(location.placeholderBase + ".tmp", JobWrite::Removed, job);
    NoteJobWrite(savePath, JobWrite::Written, job);
    return {SaveOutcome::Kind::Stored, {}};
}

bool IsInSiteRoot(std::string_view savePath, std::string_view siteHost)
{
    const std::string path = LowerTrim(ReplaceAll(savePath, "/", "\\"));
    const std::string host = ToLower(siteHost) + '\\';
    const auto found = path.find(host);
    // Counted on purpose this way: one character past the host's "\" is not looked at, and a
    // missing host skips the path's first characters instead.
    const std::size_t from = found == std::string::npos ? host.size() : found + host.size() + 1;
    return from >= path.size() || !Contains(std::string_view(path).substr(from), "\\");
}

} // namespace tw
