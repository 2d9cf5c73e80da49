#include "render/hashroutes.h"

namespace tw {

namespace {

constexpr std::string_view kHref = "href=\"";

// The link value written as the path that stands for its route; value when it is no such link.
std::string RoutePathOf(std::string_view value, std::string_view origin)
{
    const std::size_t hash = value.find('#');
    if (hash == std::string_view::npos || !value.starts_with(origin))
        return std::string(value);
    std::string_view page = value.substr(0, hash);
    std::string_view route = value.substr(hash + 1);
    if (route.starts_with('!'))
        route.remove_prefix(1);
    route = route.substr(0, route.find('?'));
    if (page.ends_with("/index.html"))
        page.remove_suffix(std::string_view("index.html").size());
    const bool folder = page.size() > origin.size() ? page.ends_with('/') : true;
    if (!route.starts_with('/') || !folder)
        return std::string(value);
    std::string path(page);
    if (!path.ends_with('/'))
        path += '/';
    if (route == "/")
        return path;
    return path.append(kRouteFolder).append(route);
}

} // namespace

std::string WithRoutesAsPaths(std::string_view html, std::string_view origin)
{
    std::string out;
    out.reserve(html.size());
    std::size_t at = 0;
    for (std::size_t found = html.find(kHref); found != std::string_view::npos;
         found = html.find(kHref, at)) {
        const std::size_t start = found + kHref.size();
        const std::size_t end = html.find('"', start);
        if (end == std::string_view::npos)
            break;
        out.append(html.substr(at, start - at));
        out += RoutePathOf(html.substr(start, end - start), origin);
        at = end;
    }
    return out.append(html.substr(at));
}

std::optional<HashRoute> RouteOfPath(std::string_view path)
{
    const std::string marker = "/" + std::string(kRouteFolder) + "/";
    const std::size_t at = path.find(marker);
    if (at == std::string_view::npos)
        return std::nullopt;
    return HashRoute {.pagePath = std::string(path.substr(0, at + 1)),
        .route = std::string(path.substr(at + marker.size() - 1))};
}

std::string PathAskedFor(std::string_view path)
{
    const std::optional<HashRoute> route = RouteOfPath(path);
    return route ? route->pagePath : std::string(path);
}

} // namespace tw
