#include "render/shellpage.h"

#include "common/stringops.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace tw {

namespace {

// A page with less text than this that loads scripts waits for them to show anything.
constexpr std::size_t kShellText = 200;
// "Loading..." and its kin, in an application's root that the script fills.
constexpr std::size_t kRootPlaceholderText = 40;

constexpr std::array<std::string_view, 5> kHiddenContent
    = {"script", "style", "template", "noscript", "title"};
constexpr std::array<std::string_view, 5> kRootIds = {"app", "root", "__next", "__nuxt", "svelte"};

bool IsSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string TagNameAt(std::string_view html, std::size_t at)
{
    std::string name;
    for (; at < html.size() && (std::isalnum(static_cast<unsigned char>(html[at])) != 0); ++at)
        name += LowerAscii(html[at]);
    return name;
}

// The value of the attribute name in the tag's text (lower case), without quotes; empty if none.
std::string AttributeOf(std::string_view tag, std::string_view name)
{
    for (std::size_t at = tag.find(name); at != std::string_view::npos;
         at = tag.find(name, at + 1)) {
        std::size_t value = at + name.size();
        if (!IsSpace(tag[at - 1]) || value >= tag.size() || tag[value] != '=')
            continue;
        ++value;
        const char quote = value < tag.size() ? tag[value] : ' ';
        if (quote == '"' || quote == '\'') {
            const std::size_t end = tag.find(quote, value + 1);
            return std::string(tag.substr(value + 1, end - value - 1));
        }
        const std::size_t end = tag.find_first_of(" \t\r\n>", value);
        return std::string(tag.substr(value, end - value));
    }
    return {};
}

// The root element whose tag ends before at holds only a short text up to its closing tag.
bool HoldsPlaceholderOnly(std::string_view html, std::size_t at)
{
    const std::size_t next = html.find('<', at);
    if (next == std::string_view::npos || html.substr(next, 2) != "</")
        return false;
    const std::string_view text = html.substr(at, next - at);
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return !IsSpace(c);
    })) <= kRootPlaceholderText;
}

} // namespace

PageContent ContentOf(std::string_view html)
{
    const std::string lower = ToLower(html);
    PageContent content;
    std::size_t at = 0;
    while (at < html.size()) {
        if (html[at] != '<') {
            content.visibleText += IsSpace(html[at]) ? 0 : 1;
            ++at;
            continue;
        }
        if (lower.compare(at, 4, "<!--") == 0) {
            at = std::min(lower.find("-->", at), html.size());
            continue;
        }
        const std::size_t end = std::min(html.find('>', at), html.size());
        const std::string name = TagNameAt(lower, at + 1);
        const std::string_view tag = std::string_view(lower).substr(at, end - at);
        at = end + 1;
        if (name == "a" && !AttributeOf(tag, "href").empty())
            ++content.links;
        const std::string id = AttributeOf(tag, "id");
        if (std::find(kRootIds.begin(), kRootIds.end(), id) != kRootIds.end()
            && HoldsPlaceholderOnly(html, at))
            content.emptyRoot = true;
        if (std::find(kHiddenContent.begin(), kHiddenContent.end(), name) != kHiddenContent.end()) {
            content.scripts = content.scripts || name == "script";
            at = std::min(lower.find("</" + name, at), html.size());
        }
    }
    return content;
}

bool IsShellPage(std::string_view html)
{
    const PageContent content = ContentOf(html);
    return content.scripts && (content.visibleText < kShellText || content.emptyRoot);
}

bool DrawingAddsContent(std::string_view served, std::string_view drawn)
{
    const PageContent before = ContentOf(served);
    const PageContent after = ContentOf(drawn);
    return after.visibleText > before.visibleText || after.links > before.links;
}

} // namespace tw
