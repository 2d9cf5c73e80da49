#pragma once

// The references of a fetched page, style sheet or SVG image, found once with what the copy
// fetches for each: the one list that both points the saved page at the copy and offers the
// links to the queue. A saved page browses from disk:
// a reference whose target the copy fetches becomes the relative path from the page's folder to
// the target's stored file; a root-relative or protocol-relative one whose target it does not
// fetch becomes absolute, so that it still leads to the site.

#include "common/sitejob.h"
#include "extractor/admission.h"
#include "output/pagesaver.h"

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tw {

// One reference of a document as the copy sees it.
struct PageReference
{
    std::size_t at = 0; // where its link begins in the document
    std::size_t length = 0; // the length of the text it is read from, its fragment left out
    std::string link; // the URL as a browser reads it (ReadLink)
    bool embedded = false; // the document loads it into itself (Reference::embedded)
    bool base = false; // a <base>'s href, which the saved page does without
    // What the copy fetches for it, when it fetches anything.
    std::shared_ptr<const LinkTarget> target;
    // Otherwise, why a web URL it names is not fetched.
    std::shared_ptr<const SkippedLink> skipped;
};

// The targets of the links met so far in one job, by the page's folder, the link and whether it
// is embedded: a site's pages repeat the same links (menus, sidebars, footers), and each is worked
// out once. The site and the wanted types must stay as they were when the targets were found.
class LinkTargets
{
public:
    struct Known
    {
        std::shared_ptr<const LinkTarget> target;
        std::shared_ptr<const SkippedLink> skipped;
    };
    const Known &Of(
        std::string_view link, std::string_view pageBase, const SiteJob &job, bool embedded);
    void Clear();

private:
    struct Place
    {
        std::string localPath;
        std::string storedFile;
    };
    // Fills in target's place from the URL it queues; false when it leaves the download folder.
    bool Placed(LinkTarget &target, const SiteJob &job);

    // By page folder and the job's choices; by link, apart for links a page embeds.
    using LinksOfFolder = std::unordered_map<std::string, Known, TextHash, std::equal_to<>>;
    std::unordered_map<std::string, std::array<LinksOfFolder, 2>> m_folders;
    std::string m_folderKey;
    std::array<LinksOfFolder, 2> *m_folder = nullptr;
    std::size_t m_kept = 0;
    std::unordered_map<std::string, std::optional<Place>> m_places;
};

// The references of body (a document of kind found at a URL whose directory is pageBase; "/" is
// added when missing) that name something the copy could fetch, in order, each with its target.
// Relative references are read against the folder of the document's first <base href> when it
// has one. yield, when given, is called after every kReferencesPerYield references; body must
// stay valid through it.
inline constexpr std::size_t kReferencesPerYield = 1000;
std::vector<PageReference> PageReferencesOf(std::string_view body, DocumentKind kind,
    std::string pageBase, const SiteJob &job, LinkTargets &known,
    const std::function<void()> &yield = {});
// The same with targets worked out for this document alone.
std::vector<PageReference> PageReferencesOf(
    std::string_view body, DocumentKind kind, std::string pageBase, const SiteJob &job);

// The edits that point the references of a document stored as storedFile at the copy, in order
// of position. A relative reference that already reaches its stored file from disk is left as
// written, and so is every absolute one off the copy; any other whose target the copy does not
// hold leads to its address online. A <base> is emptied, so that the saved page reads its
// references from its own folder.
std::vector<TextEdit> LocalReferenceEdits(const std::vector<PageReference> &references,
    std::string_view storedFile, const SiteJob &job, const KnownPaths &known);

// LocalReferenceEdits for the document text of kind, and in a page the removal of the attributes
// a browser refuses files opened from disk for (DiskRefusedAttributes), in order of position.
std::vector<TextEdit> DiskEdits(std::string_view text, DocumentKind kind,
    const std::vector<PageReference> &references, std::string_view storedFile, const SiteJob &job,
    const KnownPaths &known);

// The files the saved documents of a job lead to on disk, and the documents that lead to each. A
// target that never arrives (an error, a type the server names unwanted, a query past the
// limit), or arrives under another name than the one looked for (a URL without an extension
// whose server names it an image), is known only after the documents that lead to it were saved:
// once the fetches are over, those references are pointed at the file it was stored as, or else
// at their addresses online.
class SavedLinks
{
public:
    // Notes where the references of the document at url, stored as storedFile, lead on disk;
    // false when none leads to a file of the copy.
    bool Note(std::string_view url, std::string_view storedFile, DocumentKind kind,
        const std::vector<PageReference> &references, const KnownPaths &known);
    // Rewrites each noted document that leads to a file not on disk or to a target stored as
    // another file, so that those references lead to that file or else online; the URL of each
    // document rewritten, with its new size.
    std::vector<std::pair<std::string, std::int64_t>> PointAtArrivals(
        const SiteJob &job, const KnownPaths &known);
    void Clear();

private:
    struct Target
    {
        std::string queued;
        std::string localPath;
        std::vector<std::size_t> documents;
    };
    struct Document
    {
        std::string url;
        std::string storedFile;
        DocumentKind kind;
    };
    std::vector<Document> m_documents;
    std::unordered_map<std::string, Target> m_targets;
};

} // namespace tw
