#pragma once

// Character references ("&amp;", "&#109;", "&#x6D;") in an attribute's value, decoded as a
// browser's HTML parser decodes them before the value is read as a URL.

#include <string>
#include <string_view>
#include <vector>

namespace tw {

// value with its character references decoded to UTF-8, and for each byte of the result the
// offset in value of the byte or reference it came from (one more entry, value.size(), ends the
// list). A reference without its ";" is decoded only where the parser does: numeric ones always,
// the older names (amp, lt, quot, the Latin-1 letters ...) unless a letter, a digit or "=" follows,
// so that a query's "&copy=2" stays as written.
struct DecodedValue
{
    std::string text;
    std::vector<std::size_t> from;
};
DecodedValue DecodeCharacterReferences(std::string_view value);

// The encodings a page's text is read in: UTF-8 unless the page declares one of the labels a
// browser reads as windows-1252 (iso-8859-1, latin1, us-ascii ...).
enum class TextEncoding { Utf8, Windows1252 };
// The encoding a page declares in a charset in its first 1024 bytes, as a browser's prescan finds
// it (<meta charset="..."> or <meta http-equiv="Content-Type" content="...; charset=...">).
TextEncoding DeclaredEncoding(std::string_view page);
// text, in encoding, as UTF-8, with the offset in text each byte came from (as above).
DecodedValue ToUtf8(std::string_view text, TextEncoding encoding);

} // namespace tw
