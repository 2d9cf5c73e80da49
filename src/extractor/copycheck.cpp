#include "extractor/copycheck.h"

#include "common/pathform.h"
#include "common/stringops.h"
#include "extractor/references.h"
#include "extractor/urlnormalize.h"
#include "output/filesystem.h"
#include "output/localpath.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <iterator>
#include <optional>
#include <thread>
#include <unordered_map>

namespace tw {

namespace {

// A check shares its documents among at most this many threads, each with this many at least.
constexpr std::size_t kMostWorkers = 4;
constexpr std::size_t kDocumentsPerWorker = 32;

// A path as one text, each of its components after a "/" ("/a/b"); a last empty component stands
// for a folder ("/a/b/"). Built a component at a time, never split into a list: a check resolves
// every reference of every page.
using Components = std::string;

// What a target inside the copy is: its components below the copy's folder in, the kind out.
using EntryLookup = std::function<FileSystem::EntryKind(std::string_view)>;

// Where the name starting at from ends: at the next "/" or "\", or at the end.
std::size_t NameEnd(std::string_view path, std::size_t from)
{
    while (from < path.size() && path[from] != '/' && path[from] != kBackslash)
        ++from;
    return from;
}

Components ComponentsOf(std::string_view path)
{
    Components components;
    for (std::size_t from = 0; from <= path.size();) {
        const std::size_t end = NameEnd(path, from);
        if (end > from)
            components.append("/").append(path.substr(from, end - from));
        from = end + 1;
    }
    return components;
}

// The folder of a file's components, or of a folder's ("/a/b/" gives "/a/b").
std::string_view FolderComponentsOf(std::string_view path)
{
    const std::size_t last = path.rfind('/');
    return path.substr(0, last == std::string_view::npos ? 0 : last);
}

// path (escapes decoded, "/" or "\" separators) resolved from folder as a URL's path is: "."
// and ".." resolved, never above the first component, empty components dropped, and a last
// component that is empty, "." or ".." naming a folder. The result replaces what joined held, so
// that one text serves every reference of a check.
void Join(std::string_view folder, std::string_view path, Components &joined)
{
    joined.assign(folder);
    bool folderForm = true;
    for (std::size_t from = 0; from <= path.size();) {
        const std::size_t end = NameEnd(path, from);
        const std::string_view piece = path.substr(from, end - from);
        folderForm = piece.empty() || piece == "." || piece == "..";
        if (piece == ".." && !joined.empty())
            joined.erase(joined.rfind('/'));
        else if (!folderForm)
            joined.append("/").append(piece);
        from = end + 1;
    }
    if (folderForm)
        joined += '/';
}

// The texts a document's check works in, reused from one reference to the next.
struct Scratch
{
    std::string tag;
    std::string decoded;
    Components target;
};

bool NeedsNetwork(LinkForm form)
{
    return form == LinkForm::Secure || form == LinkForm::Plain
        || form == LinkForm::ProtocolRelative;
}

// A host as the check compares it: lower case, without any "www.", a port or a last dot. A host
// folder's name holds "+" where the host holds ":".
std::string HostKey(std::string_view host)
{
    std::string key = ToLower(host);
    std::replace(key.begin(), key.end(), '+', ':');
    ReplaceAllIn(key, "www.", "");
    const std::size_t close = key.rfind(']');
    key.resize(std::min(key.find(':', close == std::string::npos ? 0 : close), key.size()));
    if (key.ends_with('.'))
        key.pop_back();
    return key;
}

// The host that a link which NeedsNetwork names, as HostKey gives it.
std::string HostKeyOfLink(std::string_view link)
{
    std::string_view authority = link.substr(link.find("//") + 2);
    authority = authority.substr(0, FindAnyOf<'/', kBackslash, '?', '#'>(authority));
    authority.remove_prefix(authority.rfind('@') + 1);
    return HostKey(authority);
}

// The hosts that may name a document's own site: the checked folder's name, and that of the
// folder at its top that holds the document (empty for a document at the top).
using OwnHosts = std::array<std::string, 2>;

bool IsOwn(const std::string &host, const OwnHosts &own)
{
    return !host.empty() && (host == own[0] || host == own[1]);
}

// Where the references of a document are resolved from: the document's own address, or what
// its <base href> names.
struct Origin
{
    Components address; // absolute; its last component is the file's name, or empty for a folder
    std::optional<std::string> online; // the host of a <base> that leads online, as HostKey
    bool rootRelative = false; // a <base> from the file system's root
    Components folder = Components(FolderComponentsOf(address));
};

// What became of one reference before any target is looked up: nothing to check, another site,
// a cause, or a target inside the copy to look up (in the scratch's target), which is unresolved
// for cause when it is no file.
struct Verdict
{
    bool skipped = false;
    bool otherSite = false;
    UnresolvedCause cause = UnresolvedCause::Missing;
    bool lookUp = false;
};

// Where link (its fragment gone, not empty) leads from origin, for the copy whose folder is root.
Verdict Resolve(std::string_view link, const Origin &origin, const OwnHosts &own,
    const Components &root, Scratch &scratch)
{
    const LinkForm form = FormOfLink(link);
    if (form == LinkForm::OtherScheme)
        return {.skipped = true};
    if (NeedsNetwork(form) || origin.online) {
        if (IsOwn(NeedsNetwork(form) ? HostKeyOfLink(link) : *origin.online, own))
            return {.cause = UnresolvedCause::Online};
        return {.otherSite = true};
    }
    const std::size_t query = link.find('?');
    const std::string_view path = DecodedEscapes(link.substr(0, query), scratch.decoded);
    Components &target = scratch.target;
    if (path.empty())
        target = origin.address;
    else
        Join(form == LinkForm::RootRelative ? std::string_view() : origin.folder, path, target);
    if (target == origin.address && query == std::string_view::npos)
        return {.skipped = true};
    const bool inside
        = target.starts_with(root) && (target.size() == root.size() || target[root.size()] == '/');
    if (form == LinkForm::RootRelative || origin.rootRelative)
        return {.cause = UnresolvedCause::RootRelative, .lookUp = inside};
    return inside ? Verdict {.lookUp = true} : Verdict {.cause = UnresolvedCause::AboveCopy};
}

// The text of the tag whose attributes hold position at, from its "<" up to its ">"; empty when
// at lies outside any tag (in a <style> block, in a style sheet).
std::string_view TagAround(std::string_view text, std::size_t at)
{
    std::size_t open = std::min(at + 1, text.size());
    while (open > 0 && text[open - 1] != '<' && text[open - 1] != '>')
        --open;
    if (open == 0 || text[--open] != '<')
        return {};
    return text.substr(open, text.find('>', at) - open);
}

// Whether tag is one named name (in lower case), in any case.
bool IsTag(std::string_view tag, std::string_view name)
{
    if (tag.size() <= name.size() + 1 || !EqualsNoCase(tag.substr(1, name.size()), name))
        return false;
    const char after = tag[name.size() + 1];
    return after == ' ' || after == '\t' || after == '\n' || after == '\r' || after == '\f';
}

// A <link> that only speaks to search engines or warms up a connection: a browser loads nothing
// for it. Its text is lowered into lowered.
bool IsHint(std::string_view tag, std::string &lowered)
{
    if (!IsTag(tag, "link"))
        return false;
    lowered.resize(tag.size());
    std::transform(tag.begin(), tag.end(), lowered.begin(), LowerAscii);
    for (std::string_view word : {"canonical", "preconnect", "dns-prefetch"}) {
        if (Contains(lowered, word))
            return true;
    }
    return false;
}

// The origin that a <base href> written as link gives a document at address.
Origin OriginOfBase(std::string_view link, const Components &address)
{
    const LinkForm form = FormOfLink(link);
    if (NeedsNetwork(form))
        return {address, HostKeyOfLink(link)};
    if (form == LinkForm::OtherScheme || link.empty())
        return {address};
    std::string decoded;
    Components based;
    Join(form == LinkForm::RootRelative ? std::string_view() : FolderComponentsOf(address),
        DecodedEscapes(link.substr(0, link.find('?')), decoded), based);
    return {std::move(based), std::nullopt, form == LinkForm::RootRelative};
}

ExaminedDocument Examine(std::string_view text, DocumentKind kind, const std::string &file,
    const Components &root, bool lookedUpWritten)
{
    const std::size_t top = file.find('/');
    const OwnHosts own {HostKey(root.substr(root.rfind('/') + 1)),
        top == std::string::npos ? std::string() : HostKey(file.substr(0, top))};
    const Components address = root + ComponentsOf(file);
    Origin origin {address};
    bool based = false;
    const TextEncoding encoding
        = kind == DocumentKind::Page ? DeclaredEncoding(text) : TextEncoding::Utf8;
    Scratch scratch;
    // The references found, the <base> and the hints left out in place.
    std::vector<Reference> references = FindReferences(text, kind);
    std::size_t kept = 0;
    for (const Reference &reference : references) {
        // Only links that lead elsewhere stand in a <base> or a hint, and each in a tag of its
        // own: looking back for the tag costs little for them.
        const std::string_view tag = kind == DocumentKind::Page && !reference.embedded
            ? TagAround(text, reference.at)
            : std::string_view();
        if (IsTag(tag, "base")) {
            if (!based)
                origin = OriginOfBase(ReadLink(text, reference, encoding).url, address);
            based = true;
        } else if (!IsHint(tag, scratch.tag)) {
            references[kept++] = reference;
        }
    }
    references.resize(kept);
    ExaminedDocument examined {
        .kind = kind, .references = references.size(), .lookedUpWritten = lookedUpWritten};
    examined.entries.reserve(references.size());
    for (const Reference &reference : references) {
        const std::string link = ReadLink(text, reference, encoding).url;
        const Verdict verdict
            = link.empty() ? Verdict {.skipped = true} : Resolve(link, origin, own, root, scratch);
        if (verdict.skipped) {
            ++examined.skipped;
        } else if (verdict.otherSite) {
            ++examined.otherSites;
        } else {
            if (verdict.lookUp)
                examined.texts.append(std::string_view(scratch.target).substr(root.size()));
            const std::size_t targetEnd = examined.texts.size();
            if (!verdict.lookUp || lookedUpWritten)
                examined.texts.append(text.substr(reference.at, reference.length));
            examined.entries.push_back(
                {targetEnd, examined.texts.size(), verdict.cause, verdict.lookUp});
        }
    }
    // Examinations are kept until the copy's end, each with no room to spare.
    examined.texts.shrink_to_fit();
    examined.entries.shrink_to_fit();
    return examined;
}

// Adds the document examined as file to check, its targets looked up now; false when a target
// does not resolve and the reference to it was not kept, and the document is to be read again.
bool Judge(const ExaminedDocument &examined, const std::string &file, const EntryLookup &lookup,
    CopyCheck &check)
{
    ++(examined.kind == DocumentKind::Page              ? check.pages
            : examined.kind == DocumentKind::StyleSheet ? check.styleSheets
                                                        : check.svgImages);
    check.references += examined.references;
    check.skipped += examined.skipped;
    check.otherSites += examined.otherSites;
    const std::string_view texts = examined.texts;
    std::size_t from = 0;
    for (const ExaminedDocument::Entry &entry : examined.entries) {
        UnresolvedCause cause = entry.cause;
        if (entry.lookUp) {
            const auto kind = lookup(texts.substr(from, entry.targetEnd - from));
            if (kind == FileSystem::EntryKind::File) {
                ++check.resolved;
                from = entry.referenceEnd;
                continue;
            }
            if (!examined.lookedUpWritten)
                return false;
            if (cause == UnresolvedCause::Missing && kind == FileSystem::EntryKind::Folder)
                cause = UnresolvedCause::Folder;
        }
        check.unresolved.push_back(
            {file, std::string(texts.substr(entry.targetEnd, entry.referenceEnd - entry.targetEnd)),
                cause});
        from = entry.referenceEnd;
    }
    return true;
}

// A report carries its mark in its head.
bool IsReport(std::string_view page)
{
    constexpr std::size_t kHeadLength = 1024;
    return Contains(page.substr(0, kHeadLength), kReportMark);
}

// The document file of the copy whose folder's components are root, its text as written
// examined, with its stamp then; nothing when it is a report.
std::optional<ExaminedDocument> ExamineText(std::string_view text,
    std::optional<FileSystem::FileStamp> stamp, const Components &root, const std::string &file,
    bool lookedUpWritten)
{
    const DocumentKind kind = KindOfStoredName(file);
    if (kind == DocumentKind::Page && IsReport(text))
        return std::nullopt;
    ExaminedDocument examined = Examine(text, kind, file, root, lookedUpWritten);
    examined.stamp = stamp;
    return examined;
}

// The document file examined in the copy whose folder (ending in "/") is root, with its stamp as
// it was read; nothing when it cannot be read or is a report.
std::optional<ExaminedDocument> ExamineFile(const std::string &root,
    const Components &rootComponents, const std::string &file, bool lookedUpWritten)
{
    const std::string path = root + file;
    std::optional<FileSystem::FileStamp> stamp = FileSystem::StampOf(path);
    const auto text = FileSystem::ReadFile(path);
    if (!text)
        return std::nullopt;
    return ExamineText(*text, stamp, rootComponents, file, lookedUpWritten);
}

} // namespace

DocumentKind KindOfStoredName(std::string_view path)
{
    const std::string name = ToLower(path.substr(path.find_last_of(kEitherSlash) + 1));
    if (IsPagePath(name))
        return DocumentKind::Page;
    const std::string_view type = std::string_view(name).substr(0, name.find('?'));
    if (type.ends_with(".css"))
        return DocumentKind::StyleSheet;
    return type.ends_with(".svg") ? DocumentKind::Svg : DocumentKind::Other;
}

std::optional<ExaminedDocument> ExamineStoredDocument(
    std::string_view folder, const std::string &file, const WrittenText &written)
{
    if (KindOfStoredName(file) == DocumentKind::Other)
        return std::nullopt;
    std::string root(folder);
    EndWithSlash(root);
    // Most references of a copy resolve: the text of one to be looked up is read again when it
    // does not.
    if (written.text)
        return ExamineText(*written.text, written.stamp, ComponentsOf(root), file, false);
    return ExamineFile(root, ComponentsOf(root), file, false);
}

std::size_t CopyCheck::CountOf(UnresolvedCause cause) const
{
    return static_cast<std::size_t>(std::count_if(unresolved.begin(), unresolved.end(),
        [cause](const UnresolvedReference &each) { return each.cause == cause; }));
}

CopyCheck CheckCopy(std::string_view folder, const ExaminedDocuments &examined)
{
    std::string root(folder);
    EndWithSlash(root);
    const Components rootComponents = ComponentsOf(root);
    std::vector<std::string> documents;
    // What the listing shows, its files and the folders above them, is not asked of the disk
    // again. Both are kept by their components below the folder, as references resolve to them.
    using Kinds = std::unordered_map<Components, FileSystem::EntryKind, TextHash, std::equal_to<>>;
    Kinds listed;
    for (std::string &file : FileSystem::FilesBelow(root)) {
        Components below = "/" + file;
        for (std::size_t end = below.find('/', 1); end != std::string::npos;
             end = below.find('/', end + 1)) {
            const std::string_view folder = std::string_view(below).substr(0, end);
            if (!listed.contains(folder))
                listed.emplace(folder, FileSystem::EntryKind::Folder);
        }
        listed.emplace(std::move(below), FileSystem::EntryKind::File);
        if (KindOfStoredName(file) != DocumentKind::Other)
            documents.push_back(std::move(file));
    }
    // Each document is checked on its own, by whichever worker takes it next, and the results
    // are joined in the documents' order.
    std::vector<CopyCheck> checks(documents.size());
    std::atomic<std::size_t> next = 0;
    const auto work = [&] {
        // A copy's pages name the same files again and again: each is asked of the disk once.
        Kinds known;
        const EntryLookup lookup = [&root, &listed, &known](std::string_view below) {
            if (const auto shown = listed.find(below); shown != listed.end())
                return shown->second;
            if (const auto found = known.find(below); found != known.end())
                return found->second;
            const FileSystem::EntryKind kind
                = FileSystem::KindOfEntry(root + std::string(below.substr(below.empty() ? 0 : 1)));
            known.emplace(below, kind);
            return kind;
        };
        for (std::size_t i = next++; i < documents.size(); i = next++) {
            const std::string &file = documents[i];
            const auto ahead = examined.find(file);
            const bool judged = ahead != examined.end() && ahead->second.stamp
                && ahead->second.stamp == FileSystem::StampOf(root + file)
                && Judge(ahead->second, file, lookup, checks[i]);
            if (judged)
                continue;
            checks[i] = {};
            if (const auto now = ExamineFile(root, rootComponents, file, true))
                Judge(*now, file, lookup, checks[i]);
        }
    };
    {
        const std::size_t workers = std::clamp<std::size_t>(
            std::min<std::size_t>(std::thread::hardware_concurrency(), kMostWorkers), 1,
            std::max<std::size_t>(documents.size() / kDocumentsPerWorker, 1));
        std::vector<std::jthread> helpers;
        for (std::size_t n = 1; n < workers; ++n)
            helpers.emplace_back(work);
        work();
    }
    CopyCheck all;
    for (CopyCheck &check : checks) {
        all.pages += check.pages;
        all.styleSheets += check.styleSheets;
        all.svgImages += check.svgImages;
        all.references += check.references;
        all.skipped += check.skipped;
        all.resolved += check.resolved;
        all.otherSites += check.otherSites;
        std::move(
            check.unresolved.begin(), check.unresolved.end(), std::back_inserter(all.unresolved));
    }
    return all;
}

} // namespace tw
