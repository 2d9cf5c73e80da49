#pragma once

#include "common/cookie.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tw {

// The proxies the environment names (http_proxy, https_proxy, no_proxy, or their upper-case
// forms), as the program read them.
struct ProxyEnvironment
{
    std::string http;
    std::string https;
    std::string noProxy;
};

// How fetches reach their hosts: through the HTTP proxy url for every site when it is named,
// instead of the environment's; the environment's proxies and its no_proxy are used unless
// fromEnvironment is off.
struct ProxySettings
{
    std::string url;
    bool fromEnvironment = true;
    ProxyEnvironment environment;
};

// The user's choices for a copy: set before it starts, and read, never changed, while it runs.
struct JobSettings
{
    // The download root in system form ("/" separators), always ending with "/".
    std::string outputDir;
    // The wanted extensions, each lower case and enclosed in colons (":.html::.gif:").
    std::string FileTypeFilter;
    // What a page embeds (style sheets, scripts, images, icons, fonts) is fetched from any host,
    // each host's files in a folder of their own.
    bool otherHosts = true;
    // What a page needs to be shown (its style sheets and what they import, scripts, images,
    // icons, media, objects) is fetched and stored whatever the wanted types; those decide only
    // which linked files are followed.
    bool pageParts = true;
    // What a stored file of an earlier copy was served with, for asking whether it changed.
    struct Validators
    {
        std::string lastModified;
        std::string etag;
    };
    // The URLs (host and path, as fetched) of an earlier copy that are asked again with their
    // validators: an answer that they did not change keeps the file, and nothing but a whole new
    // answer replaces it.
    std::unordered_map<std::string, Validators> revalidate;
    // Each host's robots.txt is read and obeyed; the start of two fetches on one host are at
    // least waitMs apart; at most maxPerHost connections go to one host (0: no limit).
    bool robots = true;
    int waitMs = 0;
    int maxPerHost = 0;
    // Requests ask for the connection to stay open (HTTP/1.1), and a connection kept open by the
    // server carries the next fetch from its host.
    bool keepAlive = false;
    // Secure fetches ask for HTTP/2 and go as streams of one connection per host where the server
    // speaks it; where it does not, they keep connections alive over HTTP/1.1.
    bool http2 = false;
    // Page URLs with a query are wanted too; at most maxQueriesPerPath distinct queries of one
    // path are queued.
    bool queryPages = false;
    int maxQueriesPerPath = 200;
    // What the copy tells the site of its user: the cookies it starts with, a name and password
    // given when the site's own host asks with a 401, and header fields (name, value) for the
    // site's own requests. Kept in memory for the copy alone; nothing of it is written to disk.
    std::vector<Cookie> cookies;
    std::string user;
    std::string password;
    std::vector<std::pair<std::string, std::string>> headerFields;
    ProxySettings proxy;
    // Which pages are drawn by a browser before they are stored: those that are shells their
    // scripts fill (Auto), every page, or none.
    enum class Render { Auto, Always, Never };
    Render render = Render::Auto;
};

// The site-wide values of the current copy: its settings and the site it copies. There is one job
// at a time.
struct SiteJob : JobSettings
{
    // Host of the start URL with every "www." removed: the same-site key.
    std::string siteHost;
    // Every fetch of the job runs over TLS.
    bool secure = false;
    // The copy holds a cookie or a password: links that would end its session are not followed.
    bool holdsSession = false;
    bool KeepsConnectionsAlive() const { return keepAlive || (secure && http2); }
};

} // namespace tw
