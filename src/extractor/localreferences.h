#pragma once

// Points the references of a saved page or style sheet at the copy, so that it browses from disk:
// a reference whose target the copy fetches becomes the relative path from the page's folder to
// the target's stored file; a root-relative or protocol-relative one whose target it does not
// fetch becomes absolute, so that it still leads to the site.

#include "common/sitejob.h"
#include "output/pagesaver.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

// The file a fetch of queuedUrl is stored as.
std::string StoredFileOf(std::string_view queuedUrl, const SiteJob &job);

// The edits for body (a page or style sheet found at a URL whose directory is pageBase, stored
// as storedFile), in order of position. A relative reference that already names its stored file
// is left as written, and so is every reference off the site. yield, when given, is called after
// every kReferencesPerYield references; body must stay valid through it.
inline constexpr std::size_t kReferencesPerYield = 1000;
std::vector<TextEdit> LocalReferenceEdits(std::string_view body, DocumentKind kind,
    std::string_view pageBase, std::string_view storedFile, const SiteJob &job,
    const std::function<void()> &yield = {});

} // namespace tw
