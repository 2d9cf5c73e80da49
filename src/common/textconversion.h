#pragma once

// Where byte strings meet Qt's text. Network text (URLs, responses) has one character per byte
// and is Latin-1; file names are in the local 8-bit encoding the system uses for paths.

#include <QString>

#include <string>
#include <string_view>

namespace tw {

inline QString FromNetworkText(std::string_view text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// Appends "\x" and byte's two upper-case hexadecimal digits to out: a control byte as shown.
void AppendShownByte(unsigned char byte, std::string &out);

// Network text as it may be shown: every control character (C0, DEL and C1) written as \xHH, so
// that no server can move a terminal's cursor or hide text in a window.
QString DisplayText(std::string_view text);

inline std::string ToNetworkText(const QString &text)
{
    return text.toLatin1().toStdString();
}

inline QString FromLocalText(std::string_view text)
{
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string ToLocalText(const QString &text)
{
    return text.toLocal8Bit().toStdString();
}

} // namespace tw
