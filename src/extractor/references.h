#pragma once

// Finds the references of a page, style sheet or SVG image as a browser reads them: where each
// URL is written in the text as received. A forward scan in linear time, not a parser: an "=" is
// an attribute's when a name stands in front of it, and the value runs to its closing quote, or
// for an unquoted value to the next white space or ">". What the copy follows and what it
// rewrites are both taken from this one list.

#include "extractor/characterreferences.h"
#include "output/pagesaver.h"

#include <string>
#include <string_view>
#include <vector>

namespace tw {

// The span of one URL in the text, fragment included, and whether the document loads it into
// itself (a style sheet, script, image, icon or font, and every url() and @import) rather than
// leading to it (a link, a frame, a refresh).
struct Reference
{
    std::size_t at = 0;
    std::size_t length = 0;
    bool embedded = false;
    // An attribute's value, whose character references the browser decodes before it reads it.
    bool attribute = false;
    // The href of a <base>: what the document's relative references are read against.
    bool base = false;
};

// The references of text, in order of position: href, src and background attributes in any
// letter case and spacing (xlink:href too), each candidate of srcset, data-srcset and a
// preload's imagesrcset, data-src, poster, an <object>'s data, a refresh target ("0; url=..."),
// and url() and @import in style sheets, <style> blocks and style attributes, the icons of a web
// app manifest. Script blocks hold none. None for a kind that is not scanned.
std::vector<Reference> FindReferences(std::string_view text, DocumentKind kind);

// Where a page's tags ask for their files in a way a browser refuses for files opened from disk:
// each "crossorigin" or "integrity" attribute of a <link>, <script>, <img>, <audio> or <video>,
// value and the white space before it included (lower case, as pages write them). A font
// preloaded with crossorigin fails from disk and takes the style sheet's use of it along.
struct AttributeSpan
{
    std::size_t at = 0;
    std::size_t length = 0;
};
std::vector<AttributeSpan> DiskRefusedAttributes(std::string_view page);

// The URL a reference names as a browser reads it: an attribute's character references decoded,
// tabs and line breaks dropped, the fragment cut off; empty when it names nothing the copy could
// fetch: a fragment alone, or a link with another scheme than http and https (data:,
// javascript:, mailto:, file:). length is how much of the reference's text it is read from: all
// of it up to the fragment.
struct LinkRead
{
    std::string url;
    std::size_t length = 0;
};
// A page in a legacy encoding (DeclaredEncoding) is read as UTF-8, as a browser asks for its URLs.
LinkRead ReadLink(
    std::string_view text, const Reference &reference, TextEncoding encoding = TextEncoding::Utf8);

} // namespace tw
