#pragma once

// Text operations every part of the engine shares. All texts are byte strings, one character per
// byte, as received from the network; positions are those of std::string (0-based). None of them
// ever throws or reports an error: every input, the empty string included, has a defined result.

#include <array>
#include <functional>
#include <string>
#include <string_view>

namespace tw {

// A hash that looks a text up without making a std::string of it.
struct TextHash
{
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const
    {
        return std::hash<std::string_view> {}(text);
    }
};

// c in lower case when it is one of A to Z; any other byte as it is.
constexpr char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The characters of text in reverse order.
std::string ReverseString(std::string_view text);

// The text from its last "." to its end, dot included; the whole text when it holds no ".".
std::string_view GetExtension(std::string_view text);

// Lower-cases A to Z, then trims leading and trailing spaces (only U+0020, never tabs or line
// breaks).
std::string LowerTrim(std::string_view text);

// True when text begins with lowerPrefix (written in lower case), whatever the case of text.
bool StartsWithNoCase(std::string_view text, std::string_view lowerPrefix);
// True when text is lower (written in lower case), whatever the case of text.
inline bool EqualsNoCase(std::string_view text, std::string_view lower)
{
    return text.size() == lower.size() && StartsWithNoCase(text, lower);
}

// Removes leading and trailing spaces (U+0020) only.
std::string Trim(std::string_view text);

// The port a host is kept with when a plain site's page embeds a file of it over TLS
// ("fonts.example.net:443"): TLS's own, which neither its folder nor its Host field names.
inline constexpr std::string_view kTlsPortMark = ":443";
inline std::string_view WithoutTlsPortMark(std::string_view host)
{
    if (host.ends_with(kTlsPortMark))
        host.remove_suffix(kTlsPortMark.size());
    return host;
}

// Trim's result as a part of text.
std::string_view TrimmedView(std::string_view text);

// A to Z become a to z; every other byte stays.
std::string ToLower(std::string_view text);

// Replaces every occurrence of from by to, in one left-to-right pass without overlaps: the
// replacement text is never searched again. An empty from leaves text unchanged.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);

// ReplaceAll on text itself: nothing is copied when from does not occur, nor for a replacement of
// one character by another.
void ReplaceAllIn(std::string &text, std::string_view from, std::string_view to);

inline bool Contains(std::string_view text, std::string_view part)
{
    return text.find(part) != std::string_view::npos;
}

// The position of the first of Chars in text at or after from, or npos. find_first_of would search
// its set once for every byte of text.
template <char... Chars> std::size_t FindAnyOf(std::string_view text, std::size_t from = 0)
{
    static constexpr std::array<bool, 256> kOneOf = [] {
        std::array<bool, 256> table {};
        ((table[static_cast<unsigned char>(Chars)] = true), ...);
        return table;
    }();
    for (; from < text.size(); ++from) {
        if (kOneOf[static_cast<unsigned char>(text[from])])
            return from;
    }
    return std::string_view::npos;
}

// Make(key), worked out again only when key differs from the one asked with last on this thread:
// a job asks with its own folder or site for every file and link. Each Make keeps its own value.
template <auto Make> const std::string &RememberedFor(std::string_view key)
{
    thread_local std::string lastKey;
    thread_local std::string value;
    thread_local bool known = false;
    if (!known || lastKey != key) {
        lastKey = key;
        value = Make(key);
        known = true;
    }
    return value;
}

} // namespace tw
