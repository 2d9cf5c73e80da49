#pragma once

// The link scan done step by step, the slow way: every replacement over the whole text, every
// search from the start of what is left, every advance a copy of the rest. The fast scanner must
// give exactly what this gives.

#include "common/stringops.h"
#include "extractor/linkscanner.h"

#include <string>

namespace tw::test {

// The spellings the scan reads as "href=", in the order they are replaced.
inline constexpr const char *kLinkSpellings[] = {
    "href =", "href = ", "HREF=", "HREF = ", "HREF =", "HREF= ", "hRef=", "hRef = ", "hRef =",
    "hRef= ", "Href=", "Href = ", "Href =", "Href= ", "hREF=", "hREF = ", "hREF =", "hREF= ",
    "background =", "background=", "background = ", "background= ", "BACKGROUND =", "BACKGROUND=",
    "BACKGROUND = ", "BACKGROUND= ", "BackGround =", "BackGround=", "BackGround = ", "BackGround= ",
    " SRC=", " src=", " SRC =", " src =", " SRC = ", " src = ", " SRC= ", " src= "};

inline void PlainRewriteForScan(std::string &text)
{
    for (const char *spelling : kLinkSpellings)
        text = ReplaceAll(text, spelling, "href=");
    text = ReplaceAll(text, "\"", "'");
    for (const char *lineBreak : {"\r\n", "\n", "\r"})
        text = ReplaceAll(text, lineBreak, "");
    for (const char *refresh : {"; url=", ";url=", "; URL=", ";URL="})
        text = ReplaceAll(text, refresh, "a href='http://");
}

inline void PlainScanLinks(
    std::string &text, const LinkSink &admit, const std::function<void()> &yield)
{
    PlainRewriteForScan(text);
    std::size_t knownSize = text.size();
    const auto yieldAndGoOn = [&](int times) {
        for (int i = 0; i < times; ++i) {
            yield();
            if (text.size() < knownSize)
                return false;
            knownSize = text.size();
        }
        return true;
    };
    while (Contains(text, "href")) {
        if (!yieldAndGoOn(3))
            return;
        std::size_t k = text.find("href");
        std::string raw = k + 5 <= text.size() ? Trim(text.substr(k + 5, 300)) : "";
        if (raw.starts_with('\''))
            raw = raw.substr(1);
        if (!raw.starts_with('#')) {
            raw = Trim(CutAtDelimiter(raw));
            if (!Contains(raw, "irc:") && !Contains(raw, "ftp:") && !Contains(raw, "@")) {
                const Admission verdict = admit(raw);
                if (verdict == Admission::Failed)
                    return;
                if (verdict == Admission::Queued && !yieldAndGoOn(1))
                    return;
            }
        }
        k = text.find("href");
        text = k + 10 <= text.size() ? text.substr(k + 10) : "";
        knownSize = text.size();
        if (!yieldAndGoOn(2))
            return;
    }
}

} // namespace tw::test
