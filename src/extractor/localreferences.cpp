#include "extractor/localreferences.h"

#include "common/pathform.h"
#include "common/stringops.h"
#include "extractor/admission.h"
#include "extractor/references.h"
#include "extractor/urlnormalize.h"
#include "output/filesystem.h"
#include "output/redirectpage.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace tw {

namespace {

// The words of the <a> element whose link begins at at, its tags left out; empty when the link
// is no <a>'s. Only the first words are read: a link's name is short.
std::string LinkWords(std::string_view page, std::size_t at)
{
    constexpr std::size_t kMostRead = 400;
    const std::size_t open = page.rfind('<', at);
    if (open == std::string_view::npos || open + 2 >= page.size()
        || LowerAscii(page[open + 1]) != 'a' || !Contains(" \t\r\n", page.substr(open + 2, 1)))
        return {};
    const std::size_t tagEnd = page.find('>', at);
    if (tagEnd == std::string_view::npos)
        return {};
    const std::string_view rest = page.substr(tagEnd + 1, kMostRead);
    std::string words;
    bool inTag = false;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '<' && StartsWithNoCase(rest.substr(i), "</a"))
            break;
        if (rest[i] == '<' || rest[i] == '>')
            inTag = rest[i] == '<';
        else if (!inTag)
            words += rest[i];
        if (rest[i] == '>')
            words += ' ';
    }
    return words;
}

// True when a browser that opens storedFile from disk reads the relative link as file: its
// segments joined to the page's folder, "." and ".." resolved, escapes decoded, the query left
// out.
bool NamesFile(std::string_view storedFile, std::string_view link, std::string_view file)
{
    std::string joined(FolderOf(storedFile));
    std::string_view path = link.substr(0, link.find('?'));
    std::string slashed;
    if (Contains(path, "%")) {
        // Any two bytes after a "%" are decoded, so a "\" there becomes "/" first, as it would
        // below.
        slashed = WithSlashes(path);
        path = slashed;
    }
    std::string decoded;
    joined += DecodedEscapes(path, decoded);
    // Resolved as a site URL whose "host" is the first component of the stored path; that
    // resolving reads "\" as "/", a decoded one too.
    return ResolveDotDot(joined) == file;
}

// The folder a document whose own folder is pageBase reads its relative references from: that
// of its first <base href>, when it names one the copy can read.
std::string DocumentBase(std::string_view body, const std::vector<Reference> &found,
    TextEncoding encoding, const std::string &pageBase, const SiteJob &job)
{
    const auto base
        = std::find_if(found.begin(), found.end(), [](const Reference &r) { return r.base; });
    if (base == found.end())
        return pageBase;
    const std::string link = ReadLink(body, *base, encoding).url;
    const std::optional<std::string> url = link.empty()
        ? std::nullopt
        : NormalizeLink(link, pageBase, job.siteHost, job.secure, true);
    if (!url)
        return pageBase;
    std::string resolved = ResolveDotDot(*url);
    resolved.resize(std::min(resolved.find('?'), resolved.size()));
    const std::size_t folderEnd = resolved.rfind('/');
    return folderEnd == std::string::npos ? resolved + '/' : resolved.substr(0, folderEnd + 1);
}

// Where a browser finds online a URL kept without its scheme: a folder's "index.html" is the
// copy's name for it, not the site's.
std::string OnlineAddress(std::string_view url, const SiteJob &job)
{
    const std::string_view host = url.substr(0, std::min(url.find('/'), url.size()));
    const std::string path = WithoutFolderIndex(url.substr(host.size()));
    if (!FetchedOverTls(host, job.secure))
        return "http://" + std::string(host) + path;
    return "https://" + std::string(WithoutTlsPortMark(host)) + path;
}

// The file a reference to target leads to on disk: the file stored for its URL, or the one a
// fetch stored it as; none for a URL answered with an error or a type not wanted.
const std::string *FileOfTarget(const LinkTarget &target, const KnownPaths &known)
{
    const std::string *settled = known.SettledAs(target.localPath);
    if (!settled)
        return &target.storedFile;
    return settled->empty() ? nullptr : settled;
}

} // namespace

const LinkTargets::Known &LinkTargets::Of(
    std::string_view link, std::string_view pageBase, const SiteJob &job, bool embedded)
{
    // Bounded, so that a site of millions of distinct links cannot make it hold them all.
    constexpr std::size_t kMostKept = 200'000;
    if (m_kept >= kMostKept)
        Clear();
    // The choices a window may change while the job runs are part of the folder's key.
    const char choices[] = {'\n', job.otherHosts ? 'o' : '-', job.queryPages ? 'q' : '-',
        job.pageParts ? 'p' : '-', job.holdsSession ? 's' : '-'};
    const std::string_view choiceKey(choices, sizeof choices);
    // A page's links are looked up one after another, all from its folder.
    if (m_folder == nullptr || m_folderKey.size() != pageBase.size() + choiceKey.size()
        || !m_folderKey.starts_with(pageBase) || !m_folderKey.ends_with(choiceKey)) {
        m_folderKey.assign(pageBase).append(choiceKey);
        m_folder = &m_folders[m_folderKey];
    }
    LinksOfFolder &links = (*m_folder)[embedded ? 1 : 0];
    if (const auto found = links.find(link); found != links.end())
        return found->second;
    Known known;
    if (std::optional<LinkTarget> target = UnplacedTargetOf(link, pageBase, job, embedded);
        target && Placed(*target, job))
        known.target = std::make_shared<const LinkTarget>(std::move(*target));
    else if (std::optional<SkippedLink> skipped = WhyNotFollowed(link, pageBase, job, embedded))
        known.skipped = std::make_shared<const SkippedLink>(std::move(*skipped));
    ++m_kept;
    return links.emplace(std::string(link), std::move(known)).first->second;
}

void LinkTargets::Clear()
{
    m_folders.clear();
    m_places.clear();
    m_folder = nullptr;
    m_kept = 0;
}

bool LinkTargets::Placed(LinkTarget &target, const SiteJob &job)
{
    // Pages in many folders link to the same URL: its place is worked out once.
    auto [place, added] = m_places.try_emplace(target.queued);
    if (added && PlaceTarget(target, job))
        place->second = Place {target.localPath, target.storedFile};
    else if (!added && place->second) {
        target.localPath = place->second->localPath;
        target.storedFile = place->second->storedFile;
    }
    return place->second.has_value();
}

std::vector<PageReference> PageReferencesOf(
    std::string_view body, DocumentKind kind, std::string pageBase, const SiteJob &job)
{
    LinkTargets known;
    return PageReferencesOf(body, kind, std::move(pageBase), job, known);
}

std::vector<PageReference> PageReferencesOf(std::string_view body, DocumentKind kind,
    std::string pageBase, const SiteJob &job, LinkTargets &known,
    const std::function<void()> &yield)
{
    if (pageBase.empty() || pageBase.back() != '/')
        pageBase += '/';
    const std::vector<Reference> found = FindReferences(body, kind);
    const TextEncoding encoding
        = kind == DocumentKind::Page ? DeclaredEncoding(body) : TextEncoding::Utf8;
    const std::string documentBase = DocumentBase(body, found, encoding, pageBase, job);
    std::vector<PageReference> references;
    std::size_t seen = 0;
    for (const Reference &reference : found) {
        if (yield && ++seen % kReferencesPerYield == 0)
            yield();
        LinkRead read = ReadLink(body, reference, encoding);
        if (reference.base) {
            references.push_back({.at = reference.at, .length = reference.length, .base = true});
            continue;
        }
        if (read.url.empty())
            continue;
        const LinkTargets::Known &target
            = known.Of(read.url, documentBase, job, reference.embedded);
        if (target.target && job.holdsSession && !reference.embedded && kind == DocumentKind::Page
            && NamesSessionEnd(LinkWords(body, reference.at))) {
            references.push_back(
                {reference.at, read.length, std::move(read.url), false, false, nullptr,
                    std::make_shared<const SkippedLink>(
                        SkippedLink {target.target->queued, SkipCause::EndsSession})});
            continue;
        }
        references.push_back({reference.at, read.length, std::move(read.url), reference.embedded,
            false, target.target, target.skipped});
    }
    return references;
}

std::vector<TextEdit> LocalReferenceEdits(const std::vector<PageReference> &references,
    std::string_view storedFile, const SiteJob &job, const KnownPaths &known)
{
    const HrefsFrom hrefs(storedFile);
    std::vector<TextEdit> edits;
    for (const PageReference &reference : references) {
        if (reference.base) {
            if (reference.length != 0)
                edits.push_back({reference.at, reference.length, {}});
            continue;
        }
        const std::string &link = reference.link;
        const LinkForm form = link.find(kBackslash) != std::string::npos
            ? FormOfLink(WithSlashes(link))
            : FormOfLink(link);
        const LinkTarget *target = reference.target.get();
        const std::string *file = target ? FileOfTarget(*target, known) : nullptr;
        std::string replacement;
        if (file) {
            if (form == LinkForm::Relative && NamesFile(storedFile, link, *file))
                continue;
            replacement = hrefs.To(*file);
        } else if (form == LinkForm::Plain || form == LinkForm::Secure) {
            continue;
        } else if (target) {
            replacement = OnlineAddress(target->queued, job);
        } else if (reference.skipped) {
            replacement = OnlineAddress(reference.skipped->url, job);
        }
        if (!replacement.empty() && replacement != link)
            edits.push_back({reference.at, reference.length, std::move(replacement)});
    }
    return edits;
}

std::vector<TextEdit> DiskEdits(std::string_view text, DocumentKind kind,
    const std::vector<PageReference> &references, std::string_view storedFile, const SiteJob &job,
    const KnownPaths &known)
{
    std::vector<TextEdit> edits = LocalReferenceEdits(references, storedFile, job, known);
    if (kind != DocumentKind::Page)
        return edits;
    const std::vector<AttributeSpan> refused = DiskRefusedAttributes(text);
    if (refused.empty())
        return edits;
    std::vector<TextEdit> merged;
    merged.reserve(edits.size() + refused.size());
    auto edit = edits.begin();
    for (const AttributeSpan &attribute : refused) {
        for (; edit != edits.end() && edit->at < attribute.at; ++edit)
            merged.push_back(std::move(*edit));
        merged.push_back({attribute.at, attribute.length, {}});
    }
    std::move(edit, edits.end(), std::back_inserter(merged));
    return merged;
}

bool SavedLinks::Note(std::string_view url, std::string_view storedFile, DocumentKind kind,
    const std::vector<PageReference> &references, const KnownPaths &known)
{
    const std::size_t document = m_documents.size();
    bool noted = false;
    for (const PageReference &reference : references) {
        if (!reference.target)
            continue;
        // A target that failed while the page was saved left its link pointed at its own file.
        const std::string *file = FileOfTarget(*reference.target, known);
        if (!file)
            file = &reference.target->storedFile;
        if (file->empty())
            continue;
        Target &target = m_targets[*file];
        if (target.queued.empty()) {
            target.queued = reference.target->queued;
            target.localPath = reference.target->localPath;
        }
        if (target.documents.empty() || target.documents.back() != document)
            target.documents.push_back(document);
        noted = true;
    }
    if (noted)
        m_documents.push_back({std::string(url), std::string(storedFile), kind});
    return noted;
}

std::vector<std::pair<std::string, std::int64_t>> SavedLinks::PointAtArrivals(
    const SiteJob &job, const KnownPaths &known)
{
    // What each reference to a target that did not arrive where it was looked for now leads to.
    std::unordered_map<std::size_t, std::vector<std::pair<const std::string *, std::string>>>
        repointedOf;
    for (const auto &[file, target] : m_targets) {
        const std::string *settled = known.SettledAs(target.localPath);
        const bool storedElsewhere = settled && !settled->empty() && *settled != file;
        if (!storedElsewhere && FileExists(file))
            continue;
        for (const std::size_t document : target.documents) {
            const std::string &storedFile = m_documents[document].storedFile;
            repointedOf[document].emplace_back(&file,
                storedElsewhere ? HrefsFrom(storedFile).To(*settled)
                                : OnlineAddress(target.queued, job));
        }
    }
    std::vector<std::pair<std::string, std::int64_t>> rewritten;
    for (const auto &[document, repointed] : repointedOf) {
        const auto &[url, storedFile, kind] = m_documents[document];
        const std::optional<std::string> text = FileSystem::ReadFile(storedFile);
        if (!text)
            continue;
        const TextEncoding encoding
            = kind == DocumentKind::Page ? DeclaredEncoding(*text) : TextEncoding::Utf8;
        std::vector<TextEdit> edits;
        for (const Reference &reference : FindReferences(*text, kind)) {
            const LinkRead read = ReadLink(*text, reference, encoding);
            if (reference.base || FormOfLink(read.url) != LinkForm::Relative)
                continue;
            for (const auto &[file, leadsTo] : repointed) {
                if (NamesFile(storedFile, read.url, *file)) {
                    edits.push_back({reference.at, read.length, leadsTo});
                    break;
                }
            }
        }
        const std::string pointed = RewriteStoredBody(*text, false, edits);
        if (!edits.empty() && FileSystem::WriteFile(storedFile, pointed))
            rewritten.emplace_back(url, static_cast<std::int64_t>(pointed.size()));
    }
    return rewritten;
}

void SavedLinks::Clear()
{
    m_documents.clear();
    m_targets.clear();
}

} // namespace tw
