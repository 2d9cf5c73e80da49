#pragma once

// A page whose script draws a route from the address's hash ("docs/#/guide/install") is one
// document online; in a copy each route is a file of its own. A drawn document's links to such
// routes are written as paths that stand for them ("docs/_route/guide/install"), which the copy
// fetches as pages: asking the site for the page ("docs/"), and drawing the route.

#include <optional>
#include <string>
#include <string_view>

namespace tw {

// The folder, beside a page, of the paths that stand for its routes.
inline constexpr std::string_view kRouteFolder = "_route";

// html (a drawn document whose links are absolute) with its links to routes of pages of origin
// ("http://host:port") that are a folder or its index.html written as the paths that stand for
// them; the route "/" is the page itself. A route's query ("?id=part") is left out.
std::string WithRoutesAsPaths(std::string_view html, std::string_view origin);

struct HashRoute
{
    std::string pagePath; // the page's path, a folder: "/docs/"
    std::string route; // "/guide/install"
};

// The route a path stands for; none for any other path.
std::optional<HashRoute> RouteOfPath(std::string_view path);

// What the site is asked for at path: the page, for a path that stands for one of its routes.
std::string PathAskedFor(std::string_view path);

} // namespace tw
