#pragma once

// Percent-coding: a byte written as "%" and its two hexadecimal digits, and read back. Which
// bytes are escaped, and how loosely an escape is read, is each caller's rule.

#include <string>
#include <string_view>

namespace tw {

// The value of a hexadecimal digit in either case, or -1.
int HexValue(char c);

// Appends "%" and byte's two upper-case hexadecimal digits to out.
void AppendPercentEscape(char byte, std::string &out);

// text with every byte for which escape(byte) holds written as an escape.
template <typename Escape> std::string PercentEncoded(std::string_view text, Escape escape)
{
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        if (escape(static_cast<unsigned char>(c)))
            AppendPercentEscape(c, encoded);
        else
            encoded += c;
    }
    return encoded;
}

// What may follow a "%" for it to start an escape: two hexadecimal digits, or any two bytes (a
// byte that is no digit then stands for its own value, as a lenient URL reader takes it).
enum class EscapeDigits { Hex, AnyTwo };

// Calls take(byte, escaped) for each byte text stands for, in order: an escape is one byte with
// escaped true; every other byte, a "%" that starts no escape included, is itself.
template <typename Take>
void ForEachPercentDecoded(std::string_view text, EscapeDigits digits, Take take)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '%' && i + 2 < text.size()) {
            const auto value = [&](char c) {
                const int digit = HexValue(c);
                return digit >= 0 || digits == EscapeDigits::Hex ? digit
                                                                 : static_cast<unsigned char>(c);
            };
            const int high = value(text[i + 1]);
            const int low = value(text[i + 2]);
            if (high >= 0 && low >= 0) {
                i += 2;
                take(static_cast<unsigned char>(((high & 0xF) << 4) | low), true);
                continue;
            }
        }
        take(byte, false);
    }
}

// text with every escape decoded.
std::string PercentDecoded(std::string_view text, EscapeDigits digits);

} // namespace tw
