#include "extractor/characterreferences.h"

#include "common/stringops.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <utility>

namespace tw {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The names a page may write without ";": U+00A0 to U+00FF in order, then the few others.
constexpr std::array<std::string_view, 96> kLatin1Names = {"nbsp", "iexcl", "cent", "pound",
    "curren", "yen", "brvbar", "sect", "uml", "copy", "ordf", "laquo", "not", "shy", "reg", "macr",
    "deg", "plusmn", "sup2", "sup3", "acute", "micro", "para", "middot", "cedil", "sup1", "ordm",
    "raquo", "frac14", "frac12", "frac34", "iquest", "Agrave", "Aacute", "Acirc", "Atilde", "Auml",
    "Aring", "AElig", "Ccedil", "Egrave", "Eacute", "Ecirc", "Euml", "Igrave", "Iacute", "Icirc",
    "Iuml", "ETH", "Ntilde", "Ograve", "Oacute", "Ocirc", "Otilde", "Ouml", "times", "Oslash",
    "Ugrave", "Uacute", "Ucirc", "Uuml", "Yacute", "THORN", "szlig", "agrave", "aacute", "acirc",
    "atilde", "auml", "aring", "aelig", "ccedil", "egrave", "eacute", "ecirc", "euml", "igrave",
    "iacute", "icirc", "iuml", "eth", "ntilde", "ograve", "oacute", "ocirc", "otilde", "ouml",
    "divide", "oslash", "ugrave", "uacute", "ucirc", "uuml", "yacute", "thorn", "yuml"};

struct NamedCharacter
{
    std::string_view name;
    char32_t code;
};
constexpr std::array<NamedCharacter, 10> kOtherOldNames
    = {{{"amp", '&'}, {"AMP", '&'}, {"lt", '<'}, {"LT", '<'}, {"gt", '>'}, {"GT", '>'},
        {"quot", '"'}, {"QUOT", '"'}, {"COPY", 0xA9}, {"REG", 0xAE}}};

// Names that count only with their ";": the punctuation a URL is written with, and the
// typography pages put in titles and anchors.
constexpr std::array<NamedCharacter, 33> kNamesWithSemicolon = {{{"apos", '\''}, {"sol", '/'},
    {"colon", ':'}, {"period", '.'}, {"quest", '?'}, {"num", '#'}, {"percnt", '%'}, {"equals", '='},
    {"lowbar", '_'}, {"plus", '+'}, {"comma", ','}, {"excl", '!'}, {"lpar", '('}, {"rpar", ')'},
    {"ast", '*'}, {"commat", '@'}, {"dollar", '$'}, {"semi", ';'}, {"Tab", '\t'}, {"NewLine", '\n'},
    {"hyphen", 0x2010}, {"ndash", 0x2013}, {"mdash", 0x2014}, {"lsquo", 0x2018}, {"rsquo", 0x2019},
    {"ldquo", 0x201C}, {"rdquo", 0x201D}, {"bull", 0x2022}, {"hellip", 0x2026}, {"euro", 0x20AC},
    {"trade", 0x2122}, {"larr", 0x2190}, {"rarr", 0x2192}}};

// What numeric references to the C1 controls stand for: the characters windows-1252 puts there.
constexpr std::array<char16_t, 32> kC1Characters
    = {0x20AC, 0x81, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039,
        0x0152, 0x8D, 0x017D, 0x8F, 0x90, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D, 0x017E, 0x0178};

std::optional<char32_t> OldName(std::string_view name)
{
    if (const auto *found = std::find(kLatin1Names.begin(), kLatin1Names.end(), name);
        found != kLatin1Names.end())
        return static_cast<char32_t>(0xA0 + (found - kLatin1Names.begin()));
    for (const NamedCharacter &named : kOtherOldNames) {
        if (named.name == name)
            return named.code;
    }
    return std::nullopt;
}

std::optional<char32_t> NameWithSemicolon(std::string_view name)
{
    if (const std::optional<char32_t> old = OldName(name))
        return old;
    for (const NamedCharacter &named : kNamesWithSemicolon) {
        if (named.name == name)
            return named.code;
    }
    return std::nullopt;
}

bool IsAsciiAlnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

int DigitValue(char c, int radix)
{
    int value = -1;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    return value < radix ? value : -1;
}

char32_t NumericCharacter(std::uint32_t code)
{
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return kReplacement;
    if (code >= 0x80 && code <= 0x9F)
        return kC1Characters[code - 0x80];
    return code;
}

void AppendUtf8(char32_t code, std::string &out)
{
    const auto byte = [](std::uint32_t bits) { return static_cast<char>(bits); };
    if (code < 0x80) {
        out += byte(code);
    } else if (code < 0x800) {
        out += byte(0xC0 | (code >> 6));
        out += byte(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += byte(0xE0 | (code >> 12));
        out += byte(0x80 | ((code >> 6) & 0x3F));
        out += byte(0x80 | (code & 0x3F));
    } else {
        out += byte(0xF0 | (code >> 18));
        out += byte(0x80 | ((code >> 12) & 0x3F));
        out += byte(0x80 | ((code >> 6) & 0x3F));
        out += byte(0x80 | (code & 0x3F));
    }
}

// The character of the reference whose "&" is at at, and the length of its text; nothing when
// no reference starts there.
std::optional<std::pair<char32_t, std::size_t>> ReferenceAt(std::string_view value, std::size_t at)
{
    std::size_t end = at + 1;
    if (end < value.size() && value[end] == '#') {
        ++end;
        const int radix = end < value.size() && (value[end] == 'x' || value[end] == 'X') ? 16 : 10;
        if (radix == 16)
            ++end;
        const std::size_t digits = end;
        std::uint32_t code = 0;
        for (int digit = 0; end < value.size() && (digit = DigitValue(value[end], radix)) >= 0;
             ++end)
            code = std::min<std::uint32_t>(code * radix + digit, 0x110000);
        if (end == digits)
            return std::nullopt;
        if (end < value.size() && value[end] == ';')
            ++end;
        return std::pair {NumericCharacter(code), end - at};
    }
    while (end < value.size() && IsAsciiAlnum(value[end]))
        ++end;
    const std::string_view name = value.substr(at + 1, end - at - 1);
    if (end < value.size() && value[end] == ';') {
        if (const std::optional<char32_t> code = NameWithSemicolon(name))
            return std::pair {*code, end + 1 - at};
        return std::nullopt;
    }
    // In an attribute an old name without its ";" counts only where no "=" follows it; a name
    // that runs on into more letters is another word.
    if (end < value.size() && value[end] == '=')
        return std::nullopt;
    if (const std::optional<char32_t> code = OldName(name))
        return std::pair {*code, end - at};
    return std::nullopt;
}

} // namespace

TextEncoding DeclaredEncoding(std::string_view page)
{
    constexpr std::size_t kPrescanLength = 1024;
    constexpr std::string_view kCharset = "charset";
    constexpr std::array<std::string_view, 14> kWindows1252Labels
        = {"windows-1252", "cp1252", "x-cp1252", "iso-8859-1", "iso8859-1", "iso_8859-1", "latin1",
            "l1", "cp819", "ibm819", "iso-ir-100", "csisolatin1", "us-ascii", "ascii"};
    // Every page is looked at: its head is searched case-blind where it lies, not copied.
    const std::string_view head = page.substr(0, kPrescanLength);
    std::size_t charset = 0;
    while (charset + kCharset.size() <= head.size()
        && !((head[charset] | 0x20) == 'c' && StartsWithNoCase(head.substr(charset), kCharset)))
        ++charset;
    if (charset + kCharset.size() > head.size())
        return TextEncoding::Utf8;
    std::size_t at = head.find_first_not_of(" \t\r\n", charset + kCharset.size());
    if (at == std::string_view::npos || head[at] != '=')
        return TextEncoding::Utf8;
    at = head.find_first_not_of(" \t\r\n\"'", at + 1);
    const std::size_t end = std::min(head.find_first_of(" \t\r\n\"';>/", at), head.size());
    const std::string_view label = head.substr(std::min(at, end), end - std::min(at, end));
    return std::any_of(kWindows1252Labels.begin(), kWindows1252Labels.end(),
               [label](std::string_view each) { return EqualsNoCase(label, each); })
        ? TextEncoding::Windows1252
        : TextEncoding::Utf8;
}

DecodedValue ToUtf8(std::string_view text, TextEncoding encoding)
{
    DecodedValue converted;
    converted.text.reserve(text.size());
    converted.from.reserve(text.size() + 1);
    for (std::size_t at = 0; at < text.size(); ++at) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const std::size_t before = converted.text.size();
        if (encoding == TextEncoding::Utf8 || byte < 0x80)
            converted.text += text[at];
        else
            AppendUtf8(byte < 0xA0 ? kC1Characters[byte - 0x80] : char32_t {byte}, converted.text);
        converted.from.insert(converted.from.end(), converted.text.size() - before, at);
    }
    converted.from.push_back(text.size());
    return converted;
}

DecodedValue DecodeCharacterReferences(std::string_view value)
{
    DecodedValue decoded;
    decoded.text.reserve(value.size());
    decoded.from.reserve(value.size() + 1);
    for (std::size_t at = 0; at < value.size();) {
        const auto reference = value[at] == '&' ? ReferenceAt(value, at)
                                                : std::optional<std::pair<char32_t, std::size_t>>();
        if (!reference) {
            decoded.text += value[at];
            decoded.from.push_back(at++);
            continue;
        }
        const std::size_t before = decoded.text.size();
        AppendUtf8(reference->first, decoded.text);
        decoded.from.insert(decoded.from.end(), decoded.text.size() - before, at);
        at += reference->second;
    }
    decoded.from.push_back(value.size());
    return decoded;
}

} // namespace tw
