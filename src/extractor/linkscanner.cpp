#include "extractor/linkscanner.h"

#include "common/stringops.h"
#include "extractor/localreferences.h"
#include "extractor/references.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace tw {

namespace {

// Replaced by "href=" in this order; an earlier spelling may consume the front of a later one
// ("href =" leaves the space of "href = ", removed later by the trim of the value).
// clang-format off
constexpr std::array<std::string_view, 38> kAttributeSpellings = {
    "href =", "href = ",
    "HREF=", "HREF = ", "HREF =", "HREF= ",
    "hRef=", "hRef = ", "hRef =", "hRef= ",
    "Href=", "Href = ", "Href =", "Href= ",
    "hREF=", "hREF = ", "hREF =", "hREF= ",
    "background =", "background=", "background = ", "background= ",
    "BACKGROUND =", "BACKGROUND=", "BACKGROUND = ", "BACKGROUND= ",
    "BackGround =", "BackGround=", "BackGround = ", "BackGround= ",
    " SRC=", " src=", " SRC =", " src =", " SRC = ", " src = ", " SRC= ", " src= ",
};
// clang-format on
constexpr std::string_view kHref = "href=";

// Each spelling holds exactly one "=", so every occurrence lies within a fixed reach of an "=".
// No replacement can be part of a later spelling's match, so the passes over a window around
// such an "=" give what the passes over the whole text give there.
constexpr bool HasOneEquals(std::string_view spelling)
{
    return std::count(spelling.begin(), spelling.end(), '=') == 1;
}
static_assert(std::all_of(kAttributeSpellings.begin(), kAttributeSpellings.end(), HasOneEquals));

constexpr std::size_t MostBeforeEquals()
{
    std::size_t most = 0;
    for (std::string_view spelling : kAttributeSpellings)
        most = std::max(most, spelling.find('='));
    return most;
}
constexpr std::size_t MostAfterEquals()
{
    std::size_t most = 0;
    for (std::string_view spelling : kAttributeSpellings)
        most = std::max(most, spelling.size() - spelling.find('=') - 1);
    return most;
}
constexpr std::size_t kBeforeEquals = MostBeforeEquals();
constexpr std::size_t kAfterEquals = MostAfterEquals();

constexpr std::array<std::string_view, 4> kRefreshSpellings
    = {"; url=", ";url=", "; URL=", ";URL="};
constexpr std::string_view kRefreshLink = "a href='http://";

constexpr bool EndsAttributeName(char c)
{
    return c == 'f' || c == 'F' || c == 'd' || c == 'D' || c == 'c' || c == 'C';
}

// The quick test of IsSpellingAt: the name's last letter stands right before "=" or one space
// before it.
constexpr bool NameEndsBefore(char oneBefore, char twoBefore)
{
    return EndsAttributeName(oneBefore) || (oneBefore == ' ' && EndsAttributeName(twoBefore));
}
constexpr char CharBefore(std::string_view text, std::size_t at, std::size_t distance)
{
    return at >= distance ? text[at - distance] : '\0';
}
constexpr bool HasNameBeforeEquals(std::string_view spelling)
{
    const std::size_t equals = spelling.find('=');
    return NameEndsBefore(CharBefore(spelling, equals, 1), CharBefore(spelling, equals, 2));
}
static_assert(
    std::all_of(kAttributeSpellings.begin(), kAttributeSpellings.end(), HasNameBeforeEquals));

// True when the "=" at position equals belongs to an occurrence of some spelling.
bool IsSpellingAt(std::string_view text, std::size_t equals)
{
    if (!NameEndsBefore(CharBefore(text, equals, 1), CharBefore(text, equals, 2)))
        return false;
    for (std::string_view spelling : kAttributeSpellings) {
        const std::size_t offset = spelling.find('=');
        // The letter in front of "=" tells most spellings apart before a full comparison.
        if (equals >= offset && text[equals - 1] == spelling[offset - 1]
            && text.substr(equals - offset).starts_with(spelling))
            return true;
    }
    return false;
}

// Copies the text forward onto itself with double quotes turned into apostrophes and CR and LF
// dropped: the net effect of removing CR LF pairs, then LF, then CR. Writes never pass reads.
// Runs free of those characters move as blocks, and each of the three is searched for once over
// the whole text, so the cost stays linear however the copies are cut up.
class LineJoiner
{
public:
    explicit LineJoiner(std::string &text)
        : m_text(text)
    {
    }

    // Copies text[from, to) to position out; returns the position after the last byte written.
    std::size_t Copy(std::size_t from, std::size_t to, std::size_t out)
    {
        while (from < to) {
            const std::size_t special = std::min({Next(m_nextCr, '\r', from),
                Next(m_nextLf, '\n', from), Next(m_nextQuote, '"', from)});
            const std::size_t runEnd = std::min(special, to);
            if (out != from)
                std::memmove(m_text.data() + out, m_text.data() + from, runEnd - from);
            out += runEnd - from;
            from = runEnd;
            if (from < to) {
                if (m_text[from] == '"')
                    m_text[out++] = '\'';
                ++from;
            }
        }
        return out;
    }

    // Writes piece, a rewritten copy of text that ended before position out + piece.size().
    std::size_t Write(std::string_view piece, std::size_t out)
    {
        for (const char c : piece) {
            if (c != '\r' && c != '\n')
                m_text[out++] = c == '"' ? '\'' : c;
        }
        return out;
    }

private:
    // The first position at or after from that holds c (the text's size when there is none).
    std::size_t Next(std::size_t &known, char c, std::size_t from)
    {
        if (known < from || known == kUnknown)
            known = std::min(m_text.find(c, from), m_text.size());
        return known;
    }

    static constexpr std::size_t kUnknown = std::string::npos;
    std::string &m_text;
    std::size_t m_nextCr = kUnknown;
    std::size_t m_nextLf = kUnknown;
    std::size_t m_nextQuote = kUnknown;
};

// Attribute spellings, quotes and line breaks, in one forward pass that compacts the text in
// place (no replacement is longer than what it replaces). Only short windows around an "=" that
// starts a spelling get the replacement passes; windows are merged while they could share an
// occurrence, so each window gives what the passes over the whole text give there.
void RewriteAttributes(std::string &text)
{
    LineJoiner joiner(text);
    std::size_t out = 0;
    std::size_t done = 0;
    std::size_t equals = text.find('=');
    while (equals != std::string::npos) {
        if (!IsSpellingAt(text, equals)) {
            equals = text.find('=', equals + 1);
            continue;
        }
        const std::size_t windowStart = equals >= kBeforeEquals ? equals - kBeforeEquals : 0;
        std::size_t windowEnd = equals + kAfterEquals + 1;
        for (equals = text.find('=', equals + 1);
             equals != std::string::npos && equals < windowEnd + kBeforeEquals;
             equals = text.find('=', equals + 1)) {
            if (IsSpellingAt(text, equals))
                windowEnd = equals + kAfterEquals + 1;
        }
        windowEnd = std::min(windowEnd, text.size());

        out = joiner.Copy(done, windowStart, out);
        std::string window = text.substr(windowStart, windowEnd - windowStart);
        for (std::string_view spelling : kAttributeSpellings) {
            if (Contains(window, spelling))
                window = ReplaceAll(window, spelling, kHref);
        }
        out = joiner.Write(window, out);
        done = windowEnd;
    }
    out = joiner.Copy(done, text.size(), out);
    text.resize(out);
}

std::size_t RefreshSpellingAt(std::string_view text, std::size_t semicolon)
{
    for (std::string_view spelling : kRefreshSpellings) {
        if (text.substr(semicolon).starts_with(spelling))
            return spelling.size();
    }
    return 0;
}

// Every refresh spelling begins with its only ";" and the replacement holds none, so one pass
// gives what the four passes give. The text grows in place, moved from its end backwards.
void RewriteRefreshTargets(std::string &text)
{
    std::vector<std::pair<std::size_t, std::size_t>> hits; // position and length of each
    for (auto semicolon = text.find(';'); semicolon != std::string::npos;
         semicolon = text.find(';', semicolon + 1)) {
        if (const std::size_t length = RefreshSpellingAt(text, semicolon)) {
            hits.emplace_back(semicolon, length);
            semicolon += length - 1;
        }
    }
    if (hits.empty())
        return;
    std::size_t grown = text.size();
    for (const auto &hit : hits)
        grown += kRefreshLink.size() - hit.second;

    std::size_t unmoved = text.size();
    text.resize(grown);
    std::size_t write = grown;
    for (auto hit = hits.rbegin(); hit != hits.rend(); ++hit) {
        const std::size_t after = hit->first + hit->second;
        write -= unmoved - after;
        std::memmove(text.data() + write, text.data() + after, unmoved - after);
        write -= kRefreshLink.size();
        std::memcpy(text.data() + write, kRefreshLink.data(), kRefreshLink.size());
        unmoved = hit->first;
    }
}

// Steps from the "href" at hit to the verdict on its raw link; values that can never be
// fetched are skipped without asking admit.
Admission OfferLink(std::string_view text, std::size_t hit, const LinkSink &admit)
{
    const std::size_t valueStart = std::min(hit + kHref.size(), text.size());
    std::string raw = Trim(text.substr(valueStart, 300));
    if (raw.starts_with('\''))
        raw.erase(0, 1);
    if (raw.starts_with('#'))
        return Admission::Rejected;
    raw = Trim(CutAtDelimiter(raw));
    if (IsSkippedLink(raw))
        return Admission::Rejected;
    return admit(raw);
}

} // namespace

std::string CutAtDelimiter(std::string_view text)
{
    return std::string(text.substr(0, text.find_first_of("#'>} ;")));
}

void RewriteForScan(std::string &text)
{
    RewriteAttributes(text);
    RewriteRefreshTargets(text);
}

void ScanLinks(std::string &pageText, const LinkSink &admit, const std::function<void()> &yield)
{
    RewriteForScan(pageText);

    // The scan keeps where the rest of the text starts instead of cutting the text after every
    // link, and cuts once at the end. Only a stop changes the text under the scan: it empties it.
    std::size_t start = 0;
    std::size_t knownRest = pageText.size();
    const auto yieldAndGoOn = [&](int times) {
        for (int i = 0; i < times; ++i) {
            yield();
            start = std::min(start, pageText.size());
            const std::size_t rest = pageText.size() - start;
            if (rest < knownRest)
                return false;
            knownRest = rest;
        }
        return true;
    };

    for (auto hit = pageText.find("href", start); hit != std::string::npos;
         hit = pageText.find("href", start)) {
        if (!yieldAndGoOn(3))
            return;
        const Admission verdict = OfferLink(pageText, hit, admit);
        if (verdict == Admission::Failed)
            break;
        if (verdict == Admission::Queued && !yieldAndGoOn(1))
            return;
        // Ten, not five: an "href" within the first five characters of this value is passed over.
        start = std::min(hit + 10, pageText.size());
        knownRest = pageText.size() - start;
        if (!yieldAndGoOn(2))
            return;
    }
    pageText.erase(0, start);
}

bool ExtractLinks(std::string &pageText, DocumentKind kind, QueueSink &queue, std::string base,
    SiteJob &job, const std::function<void()> &yield)
{
    if (base.empty() || base.back() != '/')
        base += '/';
    bool failed = false;
    const auto admit = [&](const std::string &rawLink) {
        const Admission verdict = AdmitLink(rawLink, base, job, queue);
        failed = failed || verdict == Admission::Failed;
        return verdict;
    };
    const std::vector<std::string> added = AddedLinks(BodyOf(pageText), kind);
    const std::size_t size = pageText.size();
    for (std::size_t i = 0; i < added.size(); ++i) {
        if (i > 0 && i % kReferencesPerYield == 0) {
            yield();
            // A stop empties the text.
            if (pageText.size() < size)
                return true;
        }
        if (admit(added[i]) == Admission::Failed)
            return false;
    }
    ScanLinks(pageText, admit, yield);
    return !failed;
}

} // namespace tw
