#include "extractor/references.h"

#include "common/pathform.h"
#include "common/stringops.h"
#include "extractor/urlnormalize.h"

#include <algorithm>
#include <array>

namespace tw {

namespace {

// The longest name and the widest gap before "=" looked at; longer ones are not attributes the
// scan cares for.
constexpr std::size_t kMaxNameLength = 16;
constexpr std::size_t kMaxGapBeforeEquals = 8;

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

// The bytes of tag and attribute names, looked up rather than compared: a page's every tag and
// attribute name is read byte by byte, twice.
constexpr std::array<bool, 256> kNameBytes = [] {
    std::array<bool, 256> table {};
    for (int c = 0; c < 256; ++c)
        table[static_cast<std::size_t>(c)] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
            || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == ':' || c == '.';
    return table;
}();

bool IsNameChar(char c)
{
    return kNameBytes[static_cast<unsigned char>(c)];
}

// A character of a CSS name: "url(" right after one is part of a longer name.
bool IsCssNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
        || c == '_';
}

bool StartsWithNoCase(std::string_view text, std::size_t at, std::string_view lowerWord)
{
    return tw::StartsWithNoCase(text.substr(std::min(at, text.size())), lowerWord);
}

// "<" + name at at, as a whole tag name.
bool IsTagAt(std::string_view text, std::size_t at, std::string_view lowerOpening)
{
    // Most tags differ in the name's first letter already.
    if (at + 1 >= text.size() || LowerAscii(text[at + 1]) != lowerOpening[1])
        return false;
    return StartsWithNoCase(text, at, lowerOpening)
        && (at + lowerOpening.size() == text.size() || !IsNameChar(text[at + lowerOpening.size()]));
}

// The first lowerClosing ("</style", "</script") in any case at or after from, or the end.
std::size_t ElementEnd(std::string_view text, std::size_t from, std::string_view lowerClosing)
{
    for (auto at = text.find("</", from); at != std::string_view::npos;
         at = text.find("</", at + 2)) {
        if (StartsWithNoCase(text, at, lowerClosing))
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

    // Whether the references added from now on are embedded in the document, stand in an
    // attribute's value, or are a <base>'s.
    void SetEmbedded(bool embedded) { m_embedded = embedded; }
    void SetInAttribute(bool attribute) { m_attribute = attribute; }
    void SetBase(bool base) { m_base = base; }

    // The span [from, to) without its surrounding white space, when anything is left of it.
    void Add(std::size_t from, std::size_t to)
    {
        while (from < to && IsSpace(m_text[from]))
            ++from;
        while (to > from && IsSpace(m_text[to - 1]))
            --to;
        if (from < to)
            m_found.push_back({from, to - from, m_embedded, m_attribute, m_base});
    }

    std::size_t Count() const { return m_found.size(); }
    // The references from number first on are embedded or not, as a tag's last attribute tells.
    void SetEmbeddedFrom(std::size_t first, bool embedded)
    {
        for (std::size_t i = first; i < m_found.size(); ++i)
            m_found[i].embedded = embedded;
    }

    std::vector<Reference> Take() { return std::move(m_found); }

private:
    std::string_view m_text;
    std::vector<Reference> m_found;
    bool m_embedded = false;
    bool m_attribute = false;
    bool m_base = false;
};

// A value [at, end) that may stand in quotes of its own: the part inside them, or all of it.
void AddMaybeQuoted(std::string_view text, std::size_t at, std::size_t end, Collector &found)
{
    while (at < end && IsSpace(text[at]))
        ++at;
    if (at < end && (text[at] == '"' || text[at] == '\'')) {
        found.Add(at + 1, std::min(text.find(text[at], at + 1), end));
        return;
    }
    found.Add(at, end);
}

// The value of url( whose "(" is at open: quoted or not, up to its closing quote or ")".
// Returns where the scan goes on.
std::size_t UrlValue(std::string_view text, std::size_t open, std::size_t end, Collector &found)
{
    std::size_t at = open + 1;
    while (at < end && IsSpace(text[at]))
        ++at;
    if (at < end && (text[at] == '"' || text[at] == '\'')) {
        const std::size_t close = std::min(text.find(text[at], at + 1), end);
        found.Add(at + 1, close);
        return std::min(close + 1, end);
    }
    const std::size_t close = std::min(text.find(')', at), end);
    found.Add(at, close);
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
                found.Add(at + 1, close);
                at = std::min(close + 1, end);
            }
        } else {
            // Only these bytes begin what the branches above look for.
            at = std::min(FindAnyOf<'/', 'u', 'U', '@'>(text.substr(0, end), at + 1), end);
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
        found.Add(urlStart, urlEnd);
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

// The target of a refresh instruction in [from, end): a delay, ";" or ",", then "url=" in any
// case and spacing, then the URL, in quotes of its own or not.
void FindRefreshTarget(std::string_view text, std::size_t from, std::size_t end, Collector &found)
{
    std::size_t at = from;
    const auto skipSpaces = [&] {
        while (at < end && IsSpace(text[at]))
            ++at;
    };
    skipSpaces();
    const std::size_t delay = at;
    while (at < end && ((text[at] >= '0' && text[at] <= '9') || text[at] == '.'))
        ++at;
    if (at == delay)
        return;
    skipSpaces();
    if (at == end || (text[at] != ';' && text[at] != ','))
        return;
    ++at;
    skipSpaces();
    if (!StartsWithNoCase(text, at, "url") || at + 3 > end)
        return;
    at += 3;
    skipSpaces();
    if (at == end || text[at] != '=')
        return;
    AddMaybeQuoted(text, at + 1, end, found);
}

// A tag's or an attribute's name in lower case, held without allocating. A name longer than any
// the scan looks for reads as "~", which none of them is, but is not empty.
class ShortName
{
public:
    ShortName() = default;
    explicit ShortName(std::string_view name)
    {
        if (name.size() > m_chars.size()) {
            m_chars[0] = '~';
            m_size = 1;
            return;
        }
        for (char c : name)
            m_chars[m_size++] = LowerAscii(c);
    }

    bool Empty() const { return m_size == 0; }
    bool operator==(std::string_view lower) const
    {
        return std::string_view(m_chars.data(), m_size) == lower;
    }

private:
    std::array<char, kMaxNameLength> m_chars {};
    std::size_t m_size = 0;
};

struct Attribute
{
    std::size_t nameStart = 0;
    std::size_t nameEnd = 0;
    std::size_t valueStart = 0;
    std::size_t valueEnd = 0;
};

// The tag whose attributes are being read: its name in lower case, and for a <link>, whether
// its rel makes it load something into the page (a style sheet, an icon, a preload).
struct Tag
{
    ShortName name;
    std::size_t firstReference = 0;
    bool loadsResource = false;
};

bool RelLoadsResource(std::string_view rel)
{
    const std::string lowered = ToLower(rel);
    for (std::string_view kind : {"stylesheet", "icon", "preload", "modulepreload", "manifest"}) {
        if (Contains(lowered, kind))
            return true;
    }
    return false;
}

// Records the references of one attribute's value by the attribute's and the tag's name: what
// a page loads into itself (images, scripts, styles, fonts) is embedded, what leads elsewhere
// (a link, a frame, a refresh) is not.
void AddAttributeReferences(std::string_view text, const Attribute &a, Tag &tag, Collector &found)
{
    const ShortName name(text.substr(a.nameStart, a.nameEnd - a.nameStart));
    if (name == "rel" && tag.name == "link")
        tag.loadsResource = RelLoadsResource(text.substr(a.valueStart, a.valueEnd - a.valueStart));
    const bool link = name == "href" || name == "xlink:href";
    found.SetInAttribute(true);
    found.SetBase(link && tag.name == "base");
    found.SetEmbedded(link  ? tag.name == "image" || tag.name == "use"
            : name == "src" ? tag.name != "iframe" && tag.name != "frame"
                            : name != "content");
    if (link || name == "src" || name == "background" || name == "data-src" || name == "poster"
        || (name == "data" && tag.name == "object"))
        found.Add(a.valueStart, a.valueEnd);
    else if (name == "srcset" || name == "data-srcset" || name == "imagesrcset")
        FindCandidates(text, a.valueStart, a.valueEnd, found);
    else if (name == "style")
        FindStyleReferences(text, a.valueStart, a.valueEnd, found);
    else if (name == "content")
        FindRefreshTarget(text, a.valueStart, a.valueEnd, found);
}

// Reads the attribute whose "=" is at equals, records its references and returns where the
// scan goes on: past its value, so that nothing inside a value is taken for an attribute.
std::size_t ReadAttribute(std::string_view text, std::size_t equals, Tag &tag, Collector &found)
{
    Attribute a;
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
    const bool quoted = text[at] == '"' || text[at] == '\'';
    if (quoted) {
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
    const bool named = a.nameStart < a.nameEnd && a.nameEnd - a.nameStart <= kMaxNameLength
        && (a.nameStart == 0 || !IsNameChar(text[a.nameStart - 1]));
    if (named)
        AddAttributeReferences(text, a, tag, found);
    return a.valueEnd + (quoted ? 1 : 0);
}

// The name of the tag that opens at "<" at, or an empty name for anything else.
ShortName TagNameAt(std::string_view text, std::size_t at)
{
    std::size_t end = at + 1;
    while (end < text.size() && IsNameChar(text[end]))
        ++end;
    return ShortName(text.substr(at + 1, end - at - 1));
}

// The next "=", "<" or ">" from at.
std::size_t NextMark(std::string_view text, std::size_t at)
{
    return FindAnyOf<'=', '<', '>'>(text, at);
}

// Pages and SVG images. Only the attributes of tags hold references: a comment holds none, nor
// does text or a script's text; a script tag's own attributes do.
void FindPageReferences(std::string_view text, Collector &found)
{
    Tag tag;
    const auto endTag = [&] {
        if (tag.name == "link")
            found.SetEmbeddedFrom(tag.firstReference, tag.loadsResource);
        tag = Tag();
    };
    // Outside a tag only a "<" matters: an "=" there is text ("a = b", an example of markup shown
    // escaped), and a ">" closes nothing.
    const auto next = [&](std::size_t from) {
        return tag.name.Empty() ? text.find('<', from) : NextMark(text, from);
    };
    for (std::size_t at = next(0); at != std::string_view::npos; at = next(at)) {
        if (text[at] == '=') {
            at = ReadAttribute(text, at, tag, found);
            continue;
        }
        const bool inScriptTag = tag.name == "script";
        endTag();
        if (text[at] == '>') {
            at = inScriptTag ? ElementEnd(text, at + 1, "</script") : at + 1;
        } else if (text.substr(at).starts_with("<!--")) {
            const std::size_t close = text.find("-->", at + 4);
            at = close == std::string_view::npos ? text.size() : close + 3;
        } else if (const std::size_t open
                   = IsTagAt(text, at, "<style") ? text.find('>', at) : std::string_view::npos;
                   open != std::string_view::npos) {
            const std::size_t close = ElementEnd(text, open + 1, "</style");
            found.SetEmbedded(true);
            found.SetInAttribute(false);
            found.SetBase(false);
            FindStyleReferences(text, open + 1, close, found);
            at = close;
        } else {
            tag.name = TagNameAt(text, at);
            tag.firstReference = found.Count();
            ++at;
        }
    }
    endTag();
}

// The "src" of each icon (and screenshot) of a web app manifest, a JSON text. A value holding an
// escape is passed over: the few manifests that escape their "/" are not worth a JSON reader.
void FindManifestIcons(std::string_view text, Collector &found)
{
    constexpr std::string_view kKey = "\"src\"";
    for (std::size_t at = text.find(kKey); at != std::string_view::npos;
         at = text.find(kKey, at + 1)) {
        std::size_t value = at + kKey.size();
        while (value < text.size() && IsSpace(text[value]))
            ++value;
        if (value == text.size() || text[value] != ':')
            continue;
        value = text.find_first_not_of(" \t\r\n", value + 1);
        if (value == std::string_view::npos || text[value] != '"')
            continue;
        const std::size_t close = text.find('"', value + 1);
        if (close == std::string_view::npos)
            return;
        if (text.substr(value + 1, close - value - 1).find(kBackslash) == std::string_view::npos)
            found.Add(value + 1, close);
    }
}

} // namespace

std::vector<Reference> FindReferences(std::string_view text, DocumentKind kind)
{
    Collector found(text);
    if (kind == DocumentKind::Page || kind == DocumentKind::Svg) {
        FindPageReferences(text, found);
    } else if (kind == DocumentKind::StyleSheet) {
        found.SetEmbedded(true);
        FindStyleReferences(text, 0, text.size(), found);
    } else if (kind == DocumentKind::Manifest) {
        found.SetEmbedded(true);
        FindManifestIcons(text, found);
    }
    return found.Take();
}

std::vector<AttributeSpan> DiskRefusedAttributes(std::string_view page)
{
    std::vector<AttributeSpan> found;
    for (std::string_view name : {" crossorigin", " integrity"}) {
        for (std::size_t at = page.find(name.substr(1)); at != std::string_view::npos;
             at = page.find(name.substr(1), at + 1)) {
            const std::size_t open = page.rfind('<', at);
            if (at == 0 || !IsSpace(page[at - 1]) || open == std::string_view::npos
                || page.substr(open, at - open).find('>') != std::string_view::npos)
                continue;
            const ShortName tag = TagNameAt(page, open);
            if (!(tag == "link" || tag == "script" || tag == "img" || tag == "audio"
                    || tag == "video"))
                continue;
            std::size_t end = at + name.size() - 1;
            if (end < page.size() && IsNameChar(page[end]))
                continue;
            std::size_t next = end;
            while (next < page.size() && IsSpace(page[next]))
                ++next;
            if (next < page.size() && page[next] == '=') {
                ++next;
                while (next < page.size() && IsSpace(page[next]))
                    ++next;
                if (next < page.size() && (page[next] == '"' || page[next] == '\'')) {
                    const std::size_t close = page.find(page[next], next + 1);
                    if (close == std::string_view::npos)
                        continue;
                    end = close + 1;
                } else {
                    end = next;
                    while (end < page.size() && !IsSpace(page[end]) && page[end] != '>')
                        ++end;
                }
            }
            found.push_back({at - 1, end - at + 1});
        }
    }
    std::sort(found.begin(), found.end(),
        [](const AttributeSpan &a, const AttributeSpan &b) { return a.at < b.at; });
    return found;
}

LinkRead ReadLink(std::string_view text, const Reference &reference, TextEncoding encoding)
{
    const std::string_view written = text.substr(reference.at, reference.length);
    const auto isBreak = [](char c) { return c == '\t' || c == '\n' || c == '\r'; };
    const bool converted = encoding != TextEncoding::Utf8
        && std::any_of(written.begin(), written.end(), [](char c) { return (c & 0x80) != 0; });
    LinkRead read;
    if (converted || (reference.attribute && Contains(written, "&"))) {
        DecodedValue value = ToUtf8(written, converted ? encoding : TextEncoding::Utf8);
        if (reference.attribute) {
            DecodedValue decoded = DecodeCharacterReferences(value.text);
            for (std::size_t &from : decoded.from)
                from = value.from[from];
            value = std::move(decoded);
        }
        const std::size_t fragment = std::min(value.text.find('#'), value.text.size());
        read.length = value.from[fragment];
        value.text.resize(fragment);
        read.url = std::move(value.text);
    } else {
        read.length = std::min(written.find('#'), written.size());
        read.url = written.substr(0, read.length);
    }
    std::erase_if(read.url, isBreak);
    if (FormOfLink(read.url) == LinkForm::OtherScheme)
        read.url.clear();
    return read;
}

} // namespace tw
