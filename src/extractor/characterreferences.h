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

} // namespace tw
