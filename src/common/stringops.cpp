#include "common/stringops.h"

#include <algorithm>
#include <utility>

namespace tw {

std::string ReverseString(std::string_view text)
{
    return std::string(text.rbegin(), text.rend());
}

std::string_view GetExtension(std::string_view text)
{
    const auto dot = text.rfind('.');
    return dot == std::string_view::npos ? text : text.substr(dot);
}

std::string_view TrimmedView(std::string_view text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::string Trim(std::string_view text)
{
    return std::string(TrimmedView(text));
}

std::string ToLower(std::string_view text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), LowerAscii);
    return result;
}

bool StartsWithNoCase(std::string_view text, std::string_view lowerPrefix)
{
    return text.size() >= lowerPrefix.size()
        && std::equal(lowerPrefix.begin(), lowerPrefix.end(), text.begin(),
            [](char lower, char c) { return lower == LowerAscii(c); });
}

std::string LowerTrim(std::string_view text)
{
    return ToLower(TrimmedView(text));
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to)
{
    std::string result(text);
    ReplaceAllIn(result, from, to);
    return result;
}

void ReplaceAllIn(std::string &text, std::string_view from, std::string_view to)
{
    if (from.size() == 1 && to.size() == 1) {
        std::replace(text.begin(), text.end(), from.front(), to.front());
        return;
    }
    std::size_t hit = from.empty() ? std::string::npos : text.find(from);
    if (hit == std::string::npos)
        return;
    std::string result;
    result.reserve(text.size());
    std::size_t start = 0;
    for (; hit != std::string::npos; hit = text.find(from, start)) {
        result.append(text, start, hit - start);
        result.append(to);
        start = hit + from.size();
    }
    result.append(text, start);
    text = std::move(result);
}

} // namespace tw
