#include "output/pagesaver.h"

#include "common/pathform.h"
#include "common/stringops.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/jobfiles.h"
#include "output/localpath.h"
#include "output/mirrorbounds.h"

#include <algorithm>

namespace tw {

std::string RewriteStoredBody(std::string_view body, bool page, const std::vector<TextEdit> &edits)
{
    std::string result;
    result.reserve(body.size() + body.size() / 16 + 2);
    auto edit = edits.begin();
    const auto nextEditAt = [&] { return edit == edits.end() ? body.size() : edit->at; };
    for (std::size_t i = 0; i < body.size();) {
        if (i == nextEditAt()) {
            result += edit->text;
            i += edit->length;
            ++edit;
            continue;
        }
        const std::string_view rest = body.substr(i, nextEditAt() - i);
        if (!page) {
            result.append(rest);
            i += rest.size();
            continue;
        }
        // One line break stays one: CR LF, a lone CR and a lone LF each become CR LF.
        const std::size_t lineEnd = std::min(rest.find_first_of("\r\n"), rest.size());
        result.append(rest.substr(0, lineEnd));
        i += lineEnd;
        if (lineEnd < rest.size()) {
            result += "\r\n";
            i += rest.substr(lineEnd).starts_with("\r\n") ? 2 : 1;
        }
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
    if (name.ends_with(".webmanifest") || name.ends_with("manifest.json"))
        return DocumentKind::Manifest;
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
    if (extension == ".webmanifest")
        return DocumentKind::Manifest;
    return byName;
}

StoredLocation StoredLocationOf(std::string_view relativePath, const SiteJob &job, NamedBy named)
{
    StoredLocation location;
    location.unprepared = job.outputDir + Trim(SanitizeSavePath(WithHostFolder(relativePath)));
    std::string savePath = NormalizeLocalPath(location.unprepared);
    if (savePath.ends_with('/'))
        savePath += "index.html";
    // A URL path ending in "/" on a host without a dot was named ".html" by SanitizeSavePath.
    ReplaceAllIn(savePath, "/.html", "/index.html");

    // The names and kinds of files are told from the part below the download folder, so that a
    // folder named like "notes.txt" or "site.com" cannot turn images into pages.
    location.mirrorStart = savePath.starts_with(job.outputDir) ? job.outputDir.size() : 0;
    const std::string_view inMirror = std::string_view(savePath).substr(location.mirrorStart);
    location.page = named == NamedBy::Url && IsPagePath(inMirror);
    location.placeholderBase = savePath;
    if (named == NamedBy::Url && (Contains(inMirror, ".php") || Contains(inMirror, ".asp"))
        && !Contains(inMirror, ".html"))
        savePath += ".html";
    CollapseDoubledSlashes(savePath);
    location.file = FileSystem::StoredPath(savePath);
    return location;
}

SaveOutcome SaveDownloadedFile(std::string_view body, std::string_view relativePath,
    const SiteJob &job, JobWrites &writes, const ReferenceEditor &editReferences)
{
    return SaveDownloadedFile(
        body, StoredLocationOf(relativePath, job), job, writes, editReferences);
}

std::optional<SaveOutcome> PrepareToStore(const StoredLocation &location, const SiteJob &job,
    JobWrites &writes, std::string_view alsoWritten)
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
    PrepareLocalPath(prepared, job, writes);
    return std::nullopt;
}

SaveOutcome SaveDownloadedFile(std::string_view body, const StoredLocation &location,
    const SiteJob &job, JobWrites &writes, const ReferenceEditor &editReferences)
{
    if (std::optional<SaveOutcome> refused = PrepareToStore(location, job, writes))
        return *refused;

    const std::string &savePath = location.file;
    const DocumentKind kind = location.Kind();
    const bool rewritten = kind == DocumentKind::Page || kind == DocumentKind::StyleSheet;
    std::shared_ptr<std::string> stored;
    if (rewritten) {
        const std::vector<TextEdit> edits
            = editReferences ? editReferences(body, kind, savePath) : std::vector<TextEdit>();
        stored = std::make_shared<std::string>(
            RewriteStoredBody(body, kind == DocumentKind::Page, edits));
        *stored += "\r\n";
    }
    // Images, archives and the like keep their exact bytes. The placeholder becomes the file: a
    // file system makes a new file and deletes another at a much higher cost.
    std::string error;
    const bool written = FileSystem::WriteFileInPlaceOf(location.placeholderBase + ".tmp", savePath,
        rewritten ? std::string_view(*stored) : body, &error);
    if (!written) {
        NoteJobWrite(savePath, JobWrite::Failed, job, writes);
        writes.ForgetAskedDirs();
        return {SaveOutcome::Kind::Failed, error};
    }
    NoteJobWrite(location.placeholderBase + ".tmp", JobWrite::Removed, job, writes);
    NoteJobWrite(savePath, JobWrite::Written, job, writes);
    return {SaveOutcome::Kind::Stored, {}, std::move(stored)};
}

} // namespace tw
