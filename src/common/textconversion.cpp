#include "common/textconversion.h"

namespace tw {

void AppendShownByte(unsigned char byte, std::string &out)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out.append("\\x").append(1, kDigits[byte >> 4]).append(1, kDigits[byte & 15]);
}

QString DisplayText(std::string_view text)
{
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || (byte >= 0x7F && byte < 0xA0))
            AppendShownByte(byte, shown);
        else
            shown += c;
    }
    return FromNetworkText(shown);
}

} // namespace tw
