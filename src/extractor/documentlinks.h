#pragma once

// The references of a stored page, style sheet or SVG image as the check of a copy reads them:
// told from the stored file, or, without reading it again, from the body the copy fetched, the
// references it found there and the edits that pointed them at the copy.

#include "extractor/references.h"
#include "output/pagesaver.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

struct CheckedLink
{
    std::string written; // as the stored file holds it, its fragment included
    std::string link; // as a browser reads it (ReadLink); empty when it names nothing to fetch

    bool operator==(const CheckedLink &) const = default;
};

struct DocumentLinks
{
    // The href of the document's first <base>, as a browser reads it, when it has one.
    std::optional<std::string> base;
    // In order of position; <base> and the hints a browser does not load from disk (canonical,
    // preconnect, dns-prefetch) left out.
    std::vector<CheckedLink> links;

    // What the links hold, roughly: what keeping them costs.
    std::size_t Bytes() const;
    bool operator==(const DocumentLinks &) const = default;
};

// The links of a stored file that holds text, a document of kind.
DocumentLinks LinksOfStoredDocument(std::string_view text, DocumentKind kind);

// The links of the file that body, a document of kind whose references are found, is stored as:
// with edits (LocalReferenceEdits) applied as RewriteStoredBody applies them when it was
// rewritten (edits given), as it came otherwise. Nothing where only the stored file tells them
// for sure: a reference spanning a line break of a page, or holding a byte outside ASCII (read
// in the encoding the stored page declares), an edit that may change where references begin and
// end, a body that may be a report.
std::optional<DocumentLinks> LinksOfSavedBody(std::string_view body, DocumentKind kind,
    const std::vector<Reference> &found, const std::vector<TextEdit> *edits);

} // namespace tw
