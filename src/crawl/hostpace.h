#pragma once

// The pace the copy keeps with each host: what its robots.txt lets the copy fetch, how long to wait
// between the starts of two fetches (the user's wait, the file's Crawl-delay, a Retry-After the
// host sent), and how many connections it may have at once. Times are passed in, so that the
// rules are plain to test.

#include "extractor/robotsrules.h"

#include <chrono>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tw {

// The name robots.txt groups are matched against.
inline constexpr std::string_view kRobotsProductToken = "tidewell";
// A Crawl-delay longer than this is taken as this.
inline constexpr std::chrono::seconds kMaxCrawlDelay {10};
// A robots.txt that could not be read forbids everything for this long, then is asked again.
inline constexpr std::chrono::seconds kUnreadableRobotsFor {60};

class HostPace
{
public:
    using Clock = std::chrono::steady_clock;

    struct Choices
    {
        bool robots = true;
        std::chrono::milliseconds wait {0};
        int maxConnections = 0; // 0: no limit of its own
    };

    enum class Verdict {
        Start,
        Wait, // the host's pace or its connections hold the fetch back for now
        AskRobots, // the host's robots.txt must be read first
        Forbidden, // its robots.txt forbids the path
    };

    void Reset(Choices choices);
    Verdict Check(std::string_view host, std::string_view path, int busy, Clock::time_point now);
    void Started(std::string_view host, Clock::time_point now);
    void RobotsAsked(std::string_view host);
    // The answer to the host's robots.txt: 2xx is read; 4xx allows everything; anything else
    // (5xx, no answer at all, status 0) forbids everything for a while.
    void RobotsRead(
        std::string_view host, int status, std::string_view body, Clock::time_point now);
    // The host asked for a pause (Retry-After).
    void SlowDown(std::string_view host, std::chrono::seconds pause, Clock::time_point now);

private:
    enum class Robots { Unknown, Asked, Read };
    struct Host
    {
        Robots robots = Robots::Unknown;
        RobotsRules rules;
        Clock::time_point readUntil = Clock::time_point::max();
        std::chrono::milliseconds gap {0};
        Clock::time_point nextStart {};
    };
    Host &Of(std::string_view host);

    Choices m_choices;
    std::unordered_map<std::string, Host> m_hosts;
};

} // namespace tw
