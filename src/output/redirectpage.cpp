#include "output/redirectpage.h"

#include "common/pathform.h"
#include "common/percentcoding.h"
#include "common/stringops.h"

#include <algorithm>
#include <initializer_list>
#include <vector>

namespace tw {

namespace {

std::vector<std::string_view> Components(std::string_view path)
{
    std::vector<std::string_view> parts;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

struct Escape
{
    char character;
    std::string_view replacement;
};

std::string Escaped(std::string_view text, std::initializer_list<Escape> table)
{
    const auto needsEscape = [&table](char c) {
        return std::any_of(
            table.begin(), table.end(), [c](const Escape &e) { return e.character == c; });
    };
    if (std::none_of(text.begin(), text.end(), needsEscape))
        return std::string(text);
    std::string escaped;
    for (const char c : text) {
        const auto row = std::find_if(
            table.begin(), table.end(), [c](const Escape &e) { return e.character == c; });
        if (row != table.end())
            escaped += row->replacement;
        else
            escaped += c;
    }
    return escaped;
}

// Characters that would end or change a URL read from a file name, or end the quoted value or
// the url() that holds it; and the bytes past ASCII, which a page in a legacy encoding would read
// as other characters.
std::string EscapeForUrl(std::string_view name)
{
    constexpr std::string_view kEndsUrl = "% #?\"'()";
    return PercentEncoded(name, [kEndsUrl](unsigned char c) {
        return c >= 0x80 || kEndsUrl.find(static_cast<char>(c)) != std::string_view::npos;
    });
}

std::string EscapeForHtml(std::string_view text)
{
    return Escaped(
        text, {{'&', "&amp;"}, {'"', "&quot;"}, {'\'', "&#39;"}, {'<', "&lt;"}, {'>', "&gt;"}});
}

} // namespace

std::string RedirectPage(std::string_view href)
{
    const std::string target = EscapeForHtml(href);
    return "<html><head><meta http-equiv=\"refresh\" content=\"0; url=" + target
        + "\"><title>Moved</title></head>\n<body><a href=\"" + target + "\">" + target
        + "</a></body></html>\n";
}

std::string RelativeHref(std::string_view from, std::string_view to)
{
    return HrefsFrom(from).To(to);
}

HrefsFrom::HrefsFrom(std::string_view from)
    : m_from(from)
    , m_source(Components(m_from))
{
}

std::string HrefsFrom::To(std::string_view to) const
{
    std::string_view rest = to;
    // The last name of each is its file name.
    std::size_t shared = 0;
    for (; shared + 1 < m_source.size(); ++shared) {
        const std::size_t end = rest.find('/');
        if (end == std::string_view::npos || rest.substr(0, end) != m_source[shared])
            break;
        rest.remove_prefix(end + 1);
    }
    std::string href;
    for (std::size_t i = shared; i + 1 < m_source.size(); ++i)
        href += "../";
    for (std::size_t end = rest.find('/'); end != std::string_view::npos; end = rest.find('/')) {
        href.append(EscapeForUrl(rest.substr(0, end))).push_back('/');
        rest.remove_prefix(end + 1);
    }
    return href.append(EscapeForUrl(rest));
}

} // namespace tw
