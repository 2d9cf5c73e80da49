#pragma once

// The report of a copy: one self-contained HTML page (inline style, inline SVG charts, nothing
// loaded from elsewhere) that tells a person what was copied, what failed, what was skipped, and
// which references do not lead to a file when the copy is opened from disk.

#include "extractor/admission.h"
#include "extractor/copycheck.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

struct StoredByType
{
    std::string type; // an extension such as ".html", or empty for names without one
    std::int64_t files = 0;
    std::int64_t bytes = 0;
};

struct FailedUrl
{
    std::string url;
    std::string reason; // a status ("404 Not Found") or what went wrong
    int tries = 0;
};

// A page stored as a browser drew it, or, when its drawing failed (why), as served.
struct DrawnPage
{
    std::string url;
    std::string failure;
};

struct SkippedUrl
{
    std::string url;
    SkipCause why = SkipCause::TypeNotWanted;
};

// What a copy made again of an earlier one found.
struct CopyChanges
{
    std::int64_t added = 0;
    std::int64_t changed = 0;
    std::int64_t gone = 0;
    std::int64_t unchanged = 0;
    std::vector<std::string> changedUrls;
};

struct CopySummary
{
    std::string folder; // the copy's folder, native form
    std::string madeAt; // when the report was made, as shown
    std::vector<StoredByType> stored;
    // Whether the copy's own record was read: without it, what failed and what was skipped are
    // not known.
    bool fetchesRecorded = false;
    std::vector<FailedUrl> failed;
    std::vector<SkippedUrl> skipped;
    std::vector<DrawnPage> drawn;
    CopyCheck check;
    std::optional<CopyChanges> changes;
    // The files that came compressed: their bytes as they came, and as stored.
    struct Compressed
    {
        std::int64_t received = 0;
        std::int64_t stored = 0;
    } compressed;
};

// The most rows one list shows; the rest are counted.
inline constexpr std::size_t kMaxReportRows = 2000;

// How a cause is named to a person.
std::string_view CauseTitle(UnresolvedCause cause);

// text for HTML: "&", "<", ">", quotes, and every control character but tab and line breaks
// (written \xHH) escaped. Bytes from 0x80 on pass as they are.
std::string HtmlEscaped(std::string_view text);

std::string CopyReportHtml(const CopySummary &summary);

} // namespace tw
