#pragma once

// A site's robots.txt (RFC 9309), read for one user agent: which paths it lets the copier fetch,
// and how long it asks the copier to wait between fetches.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

// How much of a robots.txt is read; a line cut by this limit is dropped whole.
inline constexpr std::size_t kRobotsReadLimit = std::size_t {500} * 1024;

// The rules of one robots.txt for one user agent.
class RobotsRules
{
public:
    // Everything allowed: no robots.txt, or one that names no group for us.
    RobotsRules() = default;
    // Everything disallowed but "/robots.txt": a robots.txt that could not be read (5xx,
    // unreachable).
    static RobotsRules DisallowAll();
    // The group for productToken: those whose user-agent line names it (case-insensitively, by
    // the letters, "-" and "_" it starts with, so "Tidewell/2.0" names "tidewell"), merged; else
    // the "*" group. A group is one or more consecutive user-agent lines and the lines that follow
    // them up to the next user-agent line.
    static RobotsRules Parse(std::string_view text, std::string_view productToken);
    // path is the URL's path and query as requested ("/a/b.html?x=1"); "" stands for "/".
    bool Allows(std::string_view path) const;
    // Crawl-delay of the chosen group, in seconds, if given (the first valid one).
    std::optional<double> CrawlDelay() const { return m_crawlDelay; }

private:
    struct Rule
    {
        std::string pattern; // normalized, without the anchoring "$"
        bool anchored = false; // ended in "$": matches the whole path, not a prefix
        bool allow = false;
        std::size_t length = 0; // octets of the normalized value, "$" included: its specificity
    };
    static Rule MakeRule(std::string_view value, bool allow);

    std::vector<Rule> m_rules;
    std::optional<double> m_crawlDelay;
};

} // namespace tw
