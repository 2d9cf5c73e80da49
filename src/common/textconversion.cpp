#include "common/textconversion.h"

namespace tw {

QString DisplayText(std::string_view text)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    QString shown;
    shown.reserve(static_cast<qsizetype>(text.size()));
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || (byte >= 0x7F && byte < 0xA0)) {
            shown += QLatin1String("\\x");
            shown += QLatin1Char(kDigits[byte >> 4]);
            shown += QLatin1Char(kDigits[byte & 15]);
        } else {
            shown += QLatin1Char(c);
        }
    }
    return shown;
}

} // namespace tw
