#pragma once

// Whether a page is a shell that its scripts draw, told from its text alone, cheaply enough to ask
// of every page: a copy of a site whose pages hold their content pays nothing for it.

#include <cstddef>
#include <string_view>

namespace tw {

// What a reader sees of a page as served.
struct PageContent
{
    // Characters other than white space outside tags, comments, scripts, styles and templates.
    std::size_t visibleText = 0;
    // <a> tags with an href.
    std::size_t links = 0;
    bool scripts = false;
    // An application's root (id "app", "root", "__next", "__nuxt", "svelte") holds no element and
    // at most a short word such as "Loading...".
    bool emptyRoot = false;
};

PageContent ContentOf(std::string_view html);

// The page loads scripts and shows little text, or leaves its application's root empty.
bool IsShellPage(std::string_view html);

// The drawn document shows more text or more links than the page as served.
bool DrawingAddsContent(std::string_view served, std::string_view drawn);

} // namespace tw
