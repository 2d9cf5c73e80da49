#include "extractor/references.h"

#include "common/stringops.h"
#include "extractor/admission.h"

#include <algorithm>
#include <array>

namespace tw {

namespace {

// The longest name and the widest gap before "=" looked at; longer ones are not attributes the
// scan cares for.
constexpr std::size_t kMaxNameLength = 16;
constexpr std::size_t kMaxGapBeforeEquals = 8;
// The scanner reads at most this many characters after "href=".
constexpr std::size_t kScannedValueReach = 300;

// The spellings the link scanner rewrites to "href=", by name; "src" only after a space.
constexpr std::array<std::string_view, 10> kScannedNames = {
    "href", "HREF", "hRef", "Href", "hREF", "background", "BACKGROUND", "BackGround", "src", "SRC"};
// Where the scanner cuts a raw link, and what it keeps as part of one that a browser does not.
constexpr std::string_view kScannedCuts = "#'\"> ;}\r\n\t\f";

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

bool IsNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
        || c == '_' || c == ':' || c == '.';
}

// A character of a CSS name: "url(" right after one is part of a longer name.
bool IsCssNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
        || c == '_';
}

bool StartsWithNoCase(std::string_view text, std::size_t at, std::string_view lowerWord)
{
    return text.size() - std::min(at, text.size()) >= lowerWord.size()
        && ToLower(text.substr(at, lowerWord.size())) == lowerWord;
}

// The first "</style" (any case) at or after from, or the end of the text.
std::size_t StyleEnd(std::string_view text, std::size_t from)
{
    for (auto at = text.find("</", from); at != std::string_view::npos;
         at = text.find("</", at + 2)) {
        if (StartsWithNoCase(text, at, "</style"))
            return at;
    }
    return text.size();
}

class Collector
{
public:
    explicit Collector(std::string_view text)
        : m_text(text)
    {
    }

    // The span [from, to) without its surrounding white space, when anything is left of it.
    void Add(std::size_t from, std::size_t to, ReferenceOrigin origin)
    {
        while (from < to && IsSpace(m_text[from]))
            ++from;
        while (to > from && IsSpace(m_text[to - 1]))
            --to;
        if (from < to)
            m_found.push_back({from, to - from, origin});
    }

    std::vector<Reference> Take() { return std::move(m_found); }

private:
    std::string_view m_text;
    std::vector<Reference> m_found;
};

// The value of url( whose "(" is at open: quoted or not, up to its closing quote or ")".
// Returns where the scan goes on.
std::size_t UrlValue(std::string_view text, std::size_t open, std::size_t end, Collector &found)
{
    std::size_t at = open + 1;
    while (at < end && IsSpace(text[at]))
        ++at;
    if (at < end && (text[at] == '"' || text[at] == '\'')) {
        const std::size_t close = std::min(text.find(text[at], at + 1), end);
        found.Add(at + 1, close, ReferenceOrigin::Added);
        return std::min(close + 1, end);
    }
    const std::size_t close = std::min(text.find(')', at), end);
    found.Add(at, close, ReferenceOrigin::Added);
    return std::min(close + 1, end);
}

// The references of the style sheet text [from, end).
void FindStyleReferences(std::string_view text, std::size_t from, std::size_t end, Collector &found)
{
    for (std::size_t at = from; at < end;) {
        const char c = text[at];
        if (c == '/' && at + 1 < end && text[at + 1] == '*') {
            at = std::min(text.find("*/", at + 2), end - 2) + 2;
        } else if ((c == 'u' || c == 'U') && (at == from || !IsCssNameChar(text[at - 1]))
            && at + 4 <= end && StartsWithNoCase(text, at, "url(")) {
            at = UrlValue(text, at + 3, end, found);
        } else if (c == '@' && at + 7 <= end && StartsWithNoCase(text, at, "@import")) {
            at += 7;
            while (at < end && IsSpace(text[at]))
                ++at;
            // "@import url(...)" is found as url( itself.
            if (at < end && (text[at] == '"' || text[at] == '\'')) {
                const std::size_t close = std::min(text.find(text[at], at + 1), end);
                found.Add(at + 1, close, ReferenceOrigin::Added);
                at = std::min(close + 1, end);
            }
        } else {
            ++at;
        }
    }
}

// Each candidate URL of a srcset value [from, end): candidates are separated by commas, and a
// URL runs to white space, less any commas it ends in.
void FindCandidates(std::string_view text, std::size_t from, std::size_t end, Collector &found)
{
    std::size_t at = from;
    while (at < end) {
        while (at < end && (IsSpace(text[at]) || text[at] == ','))
            ++at;
        const std::size_t urlStart = at;
        while (at < end && !IsSpace(text[at]))
            ++at;
        std::size_t urlEnd = at;
        while (urlEnd > urlStart && text[urlEnd - 1] == ',')
            --urlEnd;
        found.Add(urlStart, urlEnd, ReferenceOrigin::Added);
        if (urlEnd < at)
            continue;
        // The descriptors, up to the comma that ends the candidate.
        for (int depth = 0; at < end && (text[at] != ',' || depth > 0); ++at) {
            if (text[at] == '(')
                ++depth;
            else if (text[at] == ')' && depth > 0)
                --depth;
        }
    }
}

struct Attribute
{
    std::size_t nameStart = 0;
    std::size_t nameEnd = 0;
    std::size_t equals = 0;
    std::size_t valueStart = 0;
    std::size_t valueEnd = 0;
    bool quoted = false;
};

bool OnlyBlanks(std::string_view text, std::string_view allowed)
{
    return text.find_first_not_of(allowed) == std::string_view::npos;
}

// The link scanner reads this attribute: one of its spellings, with at most one space before
// "=" once line breaks are gone and only spaces and line breaks after it.
bool IsScannedSpelling(std::string_view text, const Attribute &a)
{
    const std::string_view name = text.substr(a.nameStart, a.nameEnd - a.nameStart);
    if (std::find(kScannedNames.begin(), kScannedNames.end(), name) == kScannedNames.end())
        return false;
    if (ToLower(name) == "src" && (a.nameStart == 0 || text[a.nameStart - 1] != ' '))
        return false;
    const std::string gap
        = ReplaceAll(ReplaceAll(text.substr(a.nameEnd, a.equals - a.nameEnd), "\r", ""), "\n", "");
    const std::size_t valueGapEnd = a.valueStart - (a.quoted ? 1 : 0);
    return (gap.empty() || gap == " ")
        && OnlyBlanks(text.substr(a.equals + 1, valueGapEnd - a.equals - 1), " \r\n");
}

// An attribute the scanner reads: its raw link, when it is the value a browser reads, less the
// fragment.
void AddScannedValue(std::string_view text, const Attribute &a, Collector &found)
{
    const std::size_t cut = std::min(text.find_first_of(kScannedCuts, a.valueStart), a.valueEnd);
    std::size_t browserEnd = a.valueEnd;
    while (browserEnd > a.valueStart && IsSpace(text[browserEnd - 1]))
        --browserEnd;
    const bool sameValue = cut == browserEnd || (cut < browserEnd && text[cut] == '#');
    if (sameValue && cut > a.valueStart && cut - (a.equals + 1) <= kScannedValueReach)
        found.Add(a.valueStart, cut, ReferenceOrigin::Scanned);
}

// Reads the attribute whose "=" is at equals, records its references and returns where the
// scan goes on: past its value, so that nothing inside a value is taken for an attribute.
std::size_t ReadAttribute(std::string_view text, std::size_t equals, Collector &found)
{
    Attribute a;
    a.equals = equals;
    a.nameEnd = equals;
    while (
        a.nameEnd > 0 && equals - a.nameEnd < kMaxGapBeforeEquals && IsSpace(text[a.nameEnd - 1]))
        --a.nameEnd;
    a.nameStart = a.nameEnd;
    while (a.nameStart > 0 && a.nameEnd - a.nameStart <= kMaxNameLength
        && IsNameChar(text[a.nameStart - 1]))
        --a.nameStart;

    std::size_t at = equals + 1;
    while (at < text.size() && IsSpace(text[at]))
        ++at;
    if (at == text.size())
        return at;
    a.quoted = text[at] == '"' || text[at] == '\'';
    if (a.quoted) {
        a.valueStart = at + 1;
        a.valueEnd = text.find(text[at], a.valueStart);
        // An unclosed quote: nothing of it is taken as a value.
        if (a.valueEnd == std::string_view::npos)
            return a.valueStart;
    } else {
        a.valueStart = at;
        a.valueEnd = at;
        while (a.valueEnd < text.size() && !IsSpace(text[a.valueEnd]) && text[a.valueEnd] != '>')
            ++a.valueEnd;
    }
    const std::size_t next = a.valueEnd + (a.quoted ? 1 : 0);

    const bool named = a.nameStart < a.nameEnd && a.nameEnd - a.nameStart <= kMaxNameLength
        && (a.nameStart == 0 || !IsNameChar(text[a.nameStart - 1]));
    if (!named)
        return next;
    const std::string name = ToLower(text.substr(a.nameStart, a.nameEnd - a.nameStart));
    if (name == "srcset" || name == "data-srcset")
        FindCandidates(text, a.valueStart, a.valueEnd, found);
    else if (name == "data-src" || name == "poster")
        found.Add(a.valueStart, a.valueEnd, ReferenceOrigin::Added);
    else if (name == "style")
        FindStyleReferences(text, a.valueStart, a.valueEnd, found);
    else if (IsScannedSpelling(text, a))
        AddScannedValue(text, a, found);
    return next;
}

// The next "=" or "<" from at. find_first_of would search its set once for every byte of a page.
std::size_t NextAttributeOrTag(std::string_view text, std::size_t at)
{
    const auto hit
        = std::find_if(text.begin() + static_cast<std::ptrdiff_t>(std::min(at, text.size())),
            text.end(), [](char c) { return c == '=' || c == '<'; });
    return hit == text.end() ? std::string_view::npos
                             : static_cast<std::size_t>(hit - text.begin());
}

void FindPageReferences(std::string_view text, Collector &found)
{
    for (std::size_t at = NextAttributeOrTag(text, 0); at != std::string_view::npos;
         at = NextAttributeOrTag(text, at)) {
        if (text[at] == '=') {
            at = ReadAttribute(text, at, found);
            continue;
        }
        const bool styleBlock = StartsWithNoCase(text, at, "<style")
            && (at + 6 == text.size() || !IsNameChar(text[at + 6]));
        const std::size_t open = styleBlock ? text.find('>', at) : std::string_view::npos;
        if (open == std::string_view::npos) {
            ++at;
            continue;
        }
        const std::size_t close = StyleEnd(text, open + 1);
        FindStyleReferences(text, open + 1, close, found);
        at = close;
    }
}

bool HasOtherScheme(std::string_view link)
{
    const std::size_t colon = link.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    const std::string scheme = ToLower(link.substr(0, colon));
    const bool schemeChars = scheme.front() >= 'a' && scheme.front() <= 'z'
        && scheme.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789+.-") == std::string::npos;
    return schemeChars && scheme != "http" && scheme != "https";
}

} // namespace

std::vector<Reference> FindReferences(std::string_view text, DocumentKind kind)
{
    Collector found(text);
    if (kind == DocumentKind::Page)
        FindPageReferences(text, found);
    else if (kind == DocumentKind::StyleSheet)
        FindStyleReferences(text, 0, text.size(), found);
    return found.Take();
}

std::string_view LinkOf(std::string_view text, const Reference &reference)
{
    std::string_view link = text.substr(reference.at, reference.length);
    link = link.substr(0, link.find('#'));
    if (HasOtherScheme(link) || IsSkippedLink(link))
        return {};
    return link;
}

std::vector<std::string> AddedLinks(std::string_view text, DocumentKind kind)
{
    std::vector<std::string> links;
    for (const Reference &reference : FindReferences(text, kind)) {
        const std::string_view link = LinkOf(text, reference);
        if (reference.origin == ReferenceOrigin::Added && !link.empty())
            links.emplace_back(link);
    }
    return links;
}

} // namespace tw
