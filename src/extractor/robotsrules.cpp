#include "extractor/robotsrules.h"

#include "common/percentcoding.h"
#include "common/stringops.h"

#include <charconv>
#include <cmath>
#include <utility>

namespace tw {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kLineBreaks = "\r\n";
constexpr std::string_view kWhitespace = " \t";

enum class Field { UserAgent, Allow, Disallow, CrawlDelay, Other };

struct Line
{
    Field field = Field::Other;
    std::string_view value;
};

std::string_view TrimWhitespace(std::string_view text)
{
    const auto first = text.find_first_not_of(kWhitespace);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kWhitespace) - first + 1);
}

// The part of text that is read: without a byte order mark, and within the read limit without
// the line the limit cuts, whose shortened rule could allow more than the whole one.
std::string_view ReadablePart(std::string_view text)
{
    if (text.starts_with(kByteOrderMark))
        text.remove_prefix(kByteOrderMark.size());
    if (text.size() <= kRobotsReadLimit)
        return text;
    const auto lastBreak = text.substr(0, kRobotsReadLimit + 1).find_last_of(kLineBreaks);
    return lastBreak == std::string_view::npos ? std::string_view {} : text.substr(0, lastBreak);
}

Line ParseLine(std::string_view line)
{
    line = line.substr(0, line.find('#'));
    const auto colon = line.find(':');
    if (colon == std::string_view::npos)
        return {};
    const std::string name = ToLower(TrimWhitespace(line.substr(0, colon)));
    const std::string_view value = TrimWhitespace(line.substr(colon + 1));
    if (name == "user-agent")
        return {Field::UserAgent, value};
    if (name == "allow")
        return {Field::Allow, value};
    if (name == "disallow")
        return {Field::Disallow, value};
    if (name == "crawl-delay")
        return {Field::CrawlDelay, value};
    return {};
}

bool IsAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The product token a user-agent value (or our own name) stands for: its leading letters, "-"
// and "_", lower-cased, so that a version or comment after it does not count.
std::string ProductTokenOf(std::string_view value)
{
    std::size_t end = 0;
    while (
        end < value.size() && (IsAsciiLetter(value[end]) || value[end] == '-' || value[end] == '_'))
        ++end;
    return ToLower(value.substr(0, end));
}

// Seconds as a non-negative decimal number ("10", "0.5"); nothing for any other value.
std::optional<double> ParseSeconds(std::string_view value)
{
    double seconds = 0;
    const char *end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, seconds);
    if (error != std::errc {} || stop != end || !std::isfinite(seconds) || seconds < 0)
        return std::nullopt;
    return seconds;
}

bool IsUnreserved(unsigned char c)
{
    return IsAsciiLetter(static_cast<char>(c)) || (c >= '0' && c <= '9') || c == '-' || c == '.'
        || c == '_' || c == '~';
}

// One form for the paths of rules and of URLs, so that a path compares equal however it was
// escaped: escapes of unreserved characters decoded, the others in upper case, and the bytes that
// cannot stand in a URL (spaces, controls, UTF-8, a "%" that starts no escape) escaped. Reserved
// characters keep their form, as "/" and "%2F" mean different paths; so "*" and "$" written
// escaped never turn into wildcards.
std::string NormalizePath(std::string_view path)
{
    std::string out;
    out.reserve(path.size());
    ForEachPercentDecoded(path, EscapeDigits::Hex, [&out](unsigned char byte, bool escaped) {
        const bool keepEscaped
            = escaped ? !IsUnreserved(byte) : byte == '%' || byte <= 0x20 || byte >= 0x7F;
        if (keepEscaped)
            AppendPercentEscape(static_cast<char>(byte), out);
        else
            out += static_cast<char>(byte);
    });
    return out;
}

// Whether pattern, where "*" stands for any run of bytes, matches the start of path (all of it
// when anchored). On a mismatch only the last "*" is retried one byte further on: with no other
// wildcard that finds every match, in at most pattern × path steps instead of exponentially many.
bool Matches(std::string_view pattern, bool anchored, std::string_view path)
{
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t retryPattern = std::string_view::npos;
    std::size_t retryPath = 0;
    for (;;) {
        if (p == pattern.size() && (!anchored || t == path.size()))
            return true;
        if (p < pattern.size() && pattern[p] == '*') {
            retryPattern = ++p;
            retryPath = t;
        } else if (p < pattern.size() && t < path.size() && pattern[p] == path[t]) {
            ++p;
            ++t;
        } else if (retryPattern == std::string_view::npos || retryPath == path.size()) {
            return false;
        } else {
            p = retryPattern;
            t = ++retryPath;
        }
    }
}

} // namespace

RobotsRules::Rule RobotsRules::MakeRule(std::string_view value, bool allow)
{
    std::string pattern = NormalizePath(value);
    const std::size_t length = pattern.size();
    const bool anchored = pattern.ends_with('$');
    if (anchored)
        pattern.pop_back();
    return {std::move(pattern), anchored, allow, length};
}

RobotsRules RobotsRules::DisallowAll()
{
    RobotsRules rules;
    rules.m_rules.push_back(MakeRule("/", false));
    return rules;
}

RobotsRules RobotsRules::Parse(std::string_view text, std::string_view productToken)
{
    const std::string ourToken = ProductTokenOf(productToken);
    RobotsRules ours;
    RobotsRules anyAgent;
    bool oursFound = false;
    bool anyAgentFound = false;
    // The group being read: whom its user-agent lines name, and whether more of them may follow.
    bool forUs = false;
    bool forAnyAgent = false;
    bool inAgentLines = false;
    text = ReadablePart(text);
    while (!text.empty()) {
        const auto end = text.find_first_of(kLineBreaks);
        const Line line = ParseLine(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.field == Field::Other)
            continue;
        if (line.field == Field::UserAgent) {
            if (!inAgentLines)
                forUs = forAnyAgent = false;
            inAgentLines = true;
            forUs = forUs || (!ourToken.empty() && ProductTokenOf(line.value) == ourToken);
            forAnyAgent = forAnyAgent || line.value == "*";
            oursFound = oursFound || forUs;
            anyAgentFound = anyAgentFound || forAnyAgent;
            continue;
        }
        inAgentLines = false;
        for (auto [wanted, group] :
            {std::pair {forUs, &ours}, std::pair {forAnyAgent, &anyAgent}}) {
            if (!wanted)
                continue;
            if (line.field == Field::CrawlDelay) {
                if (!group->m_crawlDelay)
                    group->m_crawlDelay = ParseSeconds(line.value);
            } else if (!line.value.empty()) { // an empty value forbids nothing
                group->m_rules.push_back(MakeRule(line.value, line.field == Field::Allow));
            }
        }
    }
    if (oursFound)
        return ours;
    return anyAgentFound ? anyAgent : RobotsRules {};
}

bool RobotsRules::Allows(std::string_view path) const
{
    const std::string normalized = NormalizePath(path.empty() ? "/" : path);
    if (normalized == "/robots.txt")
        return true;
    const Rule *best = nullptr;
    for (const Rule &rule : m_rules) {
        if (!Matches(rule.pattern, rule.anchored, normalized))
            continue;
        if (!best || rule.length > best->length || (rule.length == best->length && rule.allow))
            best = &rule;
    }
    return !best || best->allow;
}

} // namespace tw
