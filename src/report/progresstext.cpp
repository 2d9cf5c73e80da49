#include "report/progresstext.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace tw {

namespace {

// Fewer files, or less time, give a pace that says little about the next ones.
constexpr std::int64_t kFilesForAPace = 20;
constexpr double kSecondsForAPace = 2.0;

constexpr std::int64_t kSecondsPerMinute = 60;
constexpr std::int64_t kSecondsPerHour = 60 * kSecondsPerMinute;

QString TwoDigits(std::int64_t value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

// bytes (1024 at least) in the largest binary unit that leaves at least 1 of it.
struct SizeInUnits
{
    double value = 0;
    const char *unit = "KB";
};
SizeInUnits InBinaryUnits(std::int64_t bytes)
{
    static constexpr const char *kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    auto value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    for (; value >= 1024 && unit + 1 < std::size(kUnits); ++unit)
        value /= 1024;
    return {value, kUnits[unit]};
}

} // namespace

QString FormatByteSize(std::int64_t bytes)
{
    if (bytes < 1024)
        return QString::number(bytes) + QStringLiteral(" bytes");
    const auto [value, unit] = InBinaryUnits(bytes);
    // Three significant digits, cut rather than rounded, so 1023.9 KB never reads "1024 KB".
    const int decimals = value < 10.0 ? 2 : value < 100.0 ? 1 : 0;
    const double scale = std::pow(10.0, decimals);
    const double cut = std::floor(value * scale) / scale;
    return QString::number(cut, 'f', decimals) + QLatin1Char(' ') + QLatin1String(unit);
}

std::string SizeText(std::int64_t bytes)
{
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    const auto [value, unit] = InBinaryUnits(bytes);
    char text[32];
    std::snprintf(text, sizeof text, value < 100 ? "%.1f %s" : "%.0f %s", value, unit);
    return text;
}

QString RateText(std::int64_t bytes, double seconds)
{
    if (!(seconds > 0))
        return {};
    return QString::fromStdString(
               SizeText(static_cast<std::int64_t>(static_cast<double>(bytes) / seconds)))
        + QStringLiteral("/s");
}

QString DurationText(double seconds)
{
    const auto whole = static_cast<std::int64_t>(std::llround(std::max(seconds, 0.0)));
    if (whole < kSecondsPerMinute)
        return QString::number(whole) + QStringLiteral(" s");
    if (whole < kSecondsPerHour)
        return QString::number(whole / kSecondsPerMinute) + QStringLiteral(" min ")
            + TwoDigits(whole % kSecondsPerMinute) + QStringLiteral(" s");
    return QString::number(whole / kSecondsPerHour) + QStringLiteral(" h ")
        + TwoDigits(whole % kSecondsPerHour / kSecondsPerMinute) + QStringLiteral(" min");
}

QString TimeLeftText(std::int64_t filesDone, std::int64_t filesQueued, double seconds)
{
    if (filesDone < kFilesForAPace || seconds < kSecondsForAPace || filesQueued <= 0)
        return {};
    const double left = seconds * static_cast<double>(filesQueued) / static_cast<double>(filesDone);
    return DurationText(left) + QStringLiteral(" left");
}

} // namespace tw
