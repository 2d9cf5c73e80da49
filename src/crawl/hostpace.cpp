#include "crawl/hostpace.h"

#include "common/stringops.h"

#include <algorithm>

namespace tw {

void HostPace::Reset(Choices choices)
{
    m_choices = choices;
    m_hosts.clear();
}

HostPace::Host &HostPace::Of(std::string_view host)
{
    return m_hosts[ToLower(host)];
}

HostPace::Verdict HostPace::Check(
    std::string_view host, std::string_view path, int busy, Clock::time_point now)
{
    Host &pace = Of(host);
    if (m_choices.robots) {
        if (pace.robots == Robots::Read && now >= pace.readUntil)
            pace = Host {};
        if (pace.robots == Robots::Unknown)
            return Verdict::AskRobots;
        if (pace.robots == Robots::Asked)
            return Verdict::Wait;
        if (!pace.rules.Allows(path))
            return Verdict::Forbidden;
    }
    if (m_choices.maxConnections > 0 && busy >= m_choices.maxConnections)
        return Verdict::Wait;
    return now < pace.nextStart ? Verdict::Wait : Verdict::Start;
}

void HostPace::Started(std::string_view host, Clock::time_point now)
{
    Host &pace = Of(host);
    pace.nextStart = std::max(pace.nextStart, now + std::max(m_choices.wait, pace.gap));
}

void HostPace::RobotsAsked(std::string_view host)
{
    Of(host).robots = Robots::Asked;
}

void HostPace::RobotsRead(
    std::string_view host, int status, std::string_view body, Clock::time_point now)
{
    Host &pace = Of(host);
    pace.robots = Robots::Read;
    pace.readUntil = Clock::time_point::max();
    if (status >= 200 && status < 300) {
        pace.rules = RobotsRules::Parse(body, kRobotsProductToken);
        if (const std::optional<double> delay = pace.rules.CrawlDelay())
            pace.gap = std::chrono::milliseconds(static_cast<std::int64_t>(
                std::min(*delay, static_cast<double>(kMaxCrawlDelay.count())) * 1000));
    } else if (status >= 400 && status < 500) {
        pace.rules = RobotsRules();
    } else {
        pace.rules = RobotsRules::DisallowAll();
        pace.readUntil = now + kUnreadableRobotsFor;
    }
}

void HostPace::SlowDown(std::string_view host, std::chrono::seconds pause, Clock::time_point now)
{
    Host &pace = Of(host);
    pace.nextStart = std::max(pace.nextStart, now + pause);
}

} // namespace tw
