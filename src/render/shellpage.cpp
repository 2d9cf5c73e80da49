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

// Where lower (lower case) first stands in text from on, in any case.
std::size_t FindNoCase(std::string_view text, std::string_view lower, std::size_t from = 0)
{
    const char first[] = {lower[0], static_cast<char>(std::toupper(lower[0])), '\0'};
    for (std::size_t at = text.find_first_of(first, from); at != std::string_view::npos;
         at = text.find_first_of(first, at + 1))
        if (StartsWithNoCase(text.substr(at), lower))
            return at;
    return std::string_view::npos;
}

std::string_view TagNameAt(std::string_view html, std::size_t at)
{
    std::size_t end = at;
    while (end < html.size() && (std::isalnum(static_cast<unsigned char>(html[end])) != 0))
        ++end;
    return html.substr(at, end - at);
}

// The value of the attribute name (lower case) in the tag's text, without quotes; empty if none.
std::string_view AttributeOf(std::string_view tag, std::string_view name)
{
    for (std::size_t at = FindNoCase(tag, name); at != std::string_view::npos;
         at = FindNoCase(tag, name, at + 1)) {
        std::size_t value = at + name.size();
        if (!IsSpace(tag[at - 1]) || value >= tag.size() || tag[value] != '=')
            continue;
        ++value;
        const char quote = value < tag.size() ? tag[value] : ' ';
        if (quote == '"' || quote == '\'') {
            const std::size_t end = tag.find(quote, value + 1);
            return tag.substr(value + 1, end - value - 1);
        }
        const std::size_t end = tag.find_first_of(" \t\r\n>", value);
        return tag.substr(value, end - value);
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
    // Read in place, in any case: a page is not copied to be read.
    const auto isOneOf = [](std::string_view word, const auto &lowerWords) {
        return std::any_of(lowerWords.begin(), lowerWords.end(),
            [word](std::string_view lower) { return EqualsNoCase(word, lower); });
    };
    PageContent content;
    std::size_t at = 0;
    while (at < html.size()) {
        if (html[at] != '<') {
            content.visibleText += IsSpace(html[at]) ? 0 : 1;
            ++at;
            continue;
        }
        if (html.compare(at, 4, "<!--") == 0) {
            at = std::min(html.find("-->", at), html.size());
            continue;
        }
        const std::size_t end = std::min(html.find('>', at), html.size());
        const std::string_view name = TagNameAt(html, at + 1);
        const std::string_view tag = html.substr(at, end - at);
        at = end + 1;
        if (EqualsNoCase(name, "a") && !AttributeOf(tag, "href").empty())
            ++content.links;
        if (isOneOf(AttributeOf(tag, "id"), kRootIds) && HoldsPlaceholderOnly(html, at))
            content.emptyRoot = true;
        if (isOneOf(name, kHiddenContent)) {
            content.scripts = content.scripts || EqualsNoCase(name, "script");
            at = std::min(FindNoCase(html, "</" + ToLower(name), at), html.size());
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
