#include "common/percentcoding.h"

namespace tw {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void AppendPercentEscape(char byte, std::string &out)
{
    constexpr std::string_view kHexDigits = "0123456789ABCDEF";
    const auto value = static_cast<unsigned char>(byte);
    out += '%';
    out += kHexDigits[value >> 4];
    out += kHexDigits[value & 0xf];
}

std::string PercentDecoded(std::string_view text, EscapeDigits digits)
{
    std::string decoded;
    decoded.reserve(text.size());
    ForEachPercentDecoded(
        text, digits, [&decoded](unsigned char byte, bool) { decoded += static_cast<char>(byte); });
    return decoded;
}

} // namespace tw
