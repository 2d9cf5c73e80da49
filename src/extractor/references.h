#pragma once

// Finds the references of a page or style sheet as a browser reads them: where each URL is
// written in the text as received. A forward scan in linear time, not a parser: an "=" is an
// attribute's when a name stands in front of it, and the value runs to its closing quote, or
// for an unquoted value to the next white space or ">".

#include "output/pagesaver.h"

#include <string>
#include <string_view>
#include <vector>

namespace tw {

enum class ReferenceOrigin {
    // An href, src or background attribute in one of the spellings the link scanner rewrites,
    // whose value the scanner reads exactly as a browser does: the span is the raw link the
    // scanner offers, and the value's fragment follows it.
    Scanned,
    // A source the link scanner does not see: each candidate of srcset and data-srcset,
    // data-src, poster, and url() and @import in style sheets, <style> blocks and style
    // attributes. The span is the value whole, fragment included.
    Added,
};

struct Reference
{
    std::size_t at = 0;
    std::size_t length = 0;
    ReferenceOrigin origin = ReferenceOrigin::Added;
};

// The references of text, in order of position; none for a kind that is stored as received.
std::vector<Reference> FindReferences(std::string_view text, DocumentKind kind);

// The URL a reference names, without its fragment; empty when it names nothing the copy could
// fetch: a fragment alone, another scheme (data:, javascript:, mailto:), an IRC or FTP address,
// a mail address.
std::string_view LinkOf(std::string_view text, const Reference &reference);

// LinkOf every Added reference that names something, in order: what queue admission is offered
// beside the scanner's links.
std::vector<std::string> AddedLinks(std::string_view text, DocumentKind kind);

} // namespace tw
