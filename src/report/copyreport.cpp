#include "report/copyreport.h"

#include "common/textconversion.h"
#include "report/progresstext.h"

#include <QDir>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <map>
#include <unordered_map>

namespace tw {

namespace {

constexpr std::string_view kStyle = R"(
body { font: 15px/1.45 system-ui, sans-serif; color: #1d2430; background: #f6f7f9; margin: 0; }
main { max-width: 1100px; margin: 0 auto; padding: 24px 32px 48px; }
h1 { font-size: 24px; margin: 0 0 4px; }
h2 { font-size: 19px; margin: 32px 0 8px; border-bottom: 1px solid #d5d9e0; padding-bottom: 4px; }
.sub { color: #5b6475; margin: 0 0 16px; word-break: break-all; }
.figures { display: flex; flex-wrap: wrap; gap: 12px; margin: 16px 0; }
.figure { background: #fff; border: 1px solid #d5d9e0; border-radius: 6px; padding: 10px 16px; }
.figure b { display: block; font-size: 22px; }
.good b { color: #1f7a3a; } .bad b { color: #b3261e; }
table { border-collapse: collapse; width: 100%; background: #fff; margin: 8px 0; }
th, td { text-align: left; padding: 4px 10px; border-bottom: 1px solid #e6e9ee;
  vertical-align: top; }
td { word-break: break-all; } td.n, th.n { text-align: right; white-space: nowrap; }
th { background: #eef1f5; font-weight: 600; }
details { background: #fff; border: 1px solid #d5d9e0; border-radius: 6px; margin: 8px 0;
  padding: 6px 12px; }
summary { cursor: pointer; font-weight: 600; }
.count { color: #5b6475; font-weight: normal; }
.none { color: #5b6475; font-style: italic; }
svg text { font: 13px system-ui, sans-serif; fill: #1d2430; }
)";

constexpr int kChartWidth = 720;
constexpr int kChartLabelWidth = 220;
constexpr int kChartValueWidth = 110;
constexpr int kChartRowHeight = 24;
// A chart with more rows than this sums the smallest into one.
constexpr std::size_t kMaxChartRows = 12;
// A list this short is shown opened.
constexpr std::size_t kMaxOpenRows = 20;

// 1536 gives "1.5 KB": bytes in binary multiples, one decimal from a kilobyte on.
struct Bar
{
    std::string label;
    std::int64_t value = 0;
    std::string shown;
};

// A horizontal bar chart, the longest bar for the largest value.
std::string BarChart(std::vector<Bar> bars, std::string_view title)
{
    const std::int64_t largest = std::max_element(bars.begin(), bars.end(), [](auto &a, auto &b) {
        return a.value < b.value;
    })->value;
    const int span = kChartWidth - kChartLabelWidth - kChartValueWidth;
    const auto height = static_cast<int>(bars.size()) * kChartRowHeight;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\""
        + std::to_string(kChartWidth) + "\" height=\"" + std::to_string(height)
        + "\" role=\"img\" aria-label=\"" + HtmlEscaped(title) + "\">\n";
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const Bar &bar = bars[i];
        const auto y = static_cast<int>(i) * kChartRowHeight;
        // A value too small to draw still shows as a sliver.
        const auto length
            = bar.value > 0 ? std::max<std::int64_t>(1, bar.value * span / largest) : 0;
        svg += "<text x=\"" + std::to_string(kChartLabelWidth - 8) + "\" y=\""
            + std::to_string(y + 17) + "\" text-anchor=\"end\">" + HtmlEscaped(bar.label)
            + "</text>";
        svg += "<rect x=\"" + std::to_string(kChartLabelWidth) + "\" y=\"" + std::to_string(y + 4)
            + "\" width=\"" + std::to_string(length) + "\" height=\""
            + std::to_string(kChartRowHeight - 8) + "\" rx=\"2\" fill=\"#4a78c2\"/>";
        svg += "<text x=\"" + std::to_string(kChartLabelWidth + length + 6) + "\" y=\""
            + std::to_string(y + 17) + "\">" + HtmlEscaped(bar.shown) + "</text>\n";
    }
    return svg + "</svg>\n";
}

std::string Figure(std::string_view value, std::string_view label, std::string_view tone = {})
{
    return "<div class=\"figure " + std::string(tone) + "\"><b>" + HtmlEscaped(value) + "</b>"
        + HtmlEscaped(label) + "</div>";
}

// A table of rows, at most kMaxReportRows of them, with a line that counts the rest.
std::string Table(const std::vector<std::string> &headings, std::size_t rows,
    const std::function<std::vector<std::string>(std::size_t)> &row)
{
    std::string html = "<table><tr>";
    for (const std::string &heading : headings)
        html += heading.starts_with('#') ? "<th class=\"n\">" + HtmlEscaped(heading.substr(1))
                                         : "<th>" + HtmlEscaped(heading);
    html += "</tr>\n";
    for (std::size_t i = 0; i < std::min(rows, kMaxReportRows); ++i) {
        html += "<tr>";
        const std::vector<std::string> cells = row(i);
        for (std::size_t c = 0; c < cells.size(); ++c)
            html += (headings[c].starts_with('#') ? "<td class=\"n\">" : "<td>") + cells[c];
        html += "</tr>\n";
    }
    html += "</table>\n";
    if (rows > kMaxReportRows)
        html += "<p class=\"none\">and " + std::to_string(rows - kMaxReportRows) + " more</p>\n";
    return html;
}

std::string Details(std::string_view title, std::size_t count, const std::string &body)
{
    return std::string(count <= kMaxOpenRows ? "<details open>" : "<details>") + "<summary>"
        + HtmlEscaped(title) + " <span class=\"count\">(" + std::to_string(count)
        + ")</span></summary>\n" + body + "</details>\n";
}

std::string None(std::string_view text)
{
    return "<p class=\"none\">" + HtmlEscaped(text) + "</p>\n";
}

std::string StoredSection(const CopySummary &summary)
{
    std::string html = "<h2>What was copied</h2>\n";
    if (summary.stored.empty())
        return html + None("No files.");
    std::vector<StoredByType> stored = summary.stored;
    std::sort(stored.begin(), stored.end(), [](auto &a, auto &b) { return a.bytes > b.bytes; });
    const auto typeName = [](const StoredByType &each) {
        return each.type.empty() ? std::string("(no extension)") : each.type;
    };
    // The largest types each have a bar; the rest share the last one.
    std::vector<Bar> bars;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (i + 1 < kMaxChartRows || stored.size() <= kMaxChartRows) {
            bars.push_back({typeName(stored[i]), stored[i].bytes, SizeText(stored[i].bytes)});
            continue;
        }
        if (i + 1 == kMaxChartRows)
            bars.push_back({"other types", 0, {}});
        bars.back().value += stored[i].bytes;
        bars.back().shown = SizeText(bars.back().value);
    }
    html += BarChart(bars, "Bytes by type");
    html += Table({"Type", "#Files", "#Bytes"}, stored.size(), [&](std::size_t i) {
        return std::vector<std::string> {HtmlEscaped(typeName(stored[i])),
            std::to_string(stored[i].files), HtmlEscaped(SizeText(stored[i].bytes))};
    });
    return html;
}

std::string FailedSection(const CopySummary &summary)
{
    std::string html = "<h2>What failed</h2>\n";
    if (!summary.fetchesRecorded)
        return html + None("Not known: this report was made from the files on disk alone.");
    if (summary.failed.empty())
        return html + None("Nothing failed.");
    const auto &failed = summary.failed;
    return html + Table({"URL", "Status or reason", "#Tries"}, failed.size(), [&](std::size_t i) {
        return std::vector<std::string> {HtmlEscaped(failed[i].url), HtmlEscaped(failed[i].reason),
            std::to_string(failed[i].tries)};
    });
}

std::string DrawnSection(const CopySummary &summary)
{
    std::vector<DrawnPage> failed;
    std::copy_if(summary.drawn.begin(), summary.drawn.end(), std::back_inserter(failed),
        [](const DrawnPage &page) { return !page.failure.empty(); });
    if (summary.drawn.empty())
        return {};
    std::string html = "<h2>Pages drawn by their scripts</h2>\n<p>"
        + std::to_string(summary.drawn.size() - failed.size())
        + " stored as a browser drew them, their scripts taken out.</p>\n";
    if (failed.empty())
        return html;
    return html + "<p>Stored as served, since their drawing failed:</p>\n"
        + Table({"URL", "Why"}, failed.size(), [&](std::size_t i) {
              return std::vector<std::string> {
                  HtmlEscaped(failed[i].url), HtmlEscaped(failed[i].failure)};
          });
}

std::string_view SkipTitle(SkipCause why)
{
    switch (why) {
    case SkipCause::TypeNotWanted:
        return "Type not wanted";
    case SkipCause::QueryPage:
        return "Page with a query";
    case SkipCause::LimitReached:
        return "Limit reached";
    case SkipCause::OtherHost:
        return "On another host";
    case SkipCause::Robots:
        return "Forbidden by robots.txt";
    case SkipCause::EndsSession:
        return "Would log out";
    }
    return {};
}

std::string SkippedSection(const CopySummary &summary)
{
    std::string html = "<h2>What was skipped</h2>\n";
    if (!summary.fetchesRecorded)
        return html + None("Not known: this report was made from the files on disk alone.");
    if (summary.skipped.empty())
        return html + None("Nothing was skipped.");
    std::map<SkipCause, std::vector<const std::string *>> byReason;
    for (const SkippedUrl &each : summary.skipped)
        byReason[each.why].push_back(&each.url);
    for (const auto &reason : byReason) {
        const std::vector<const std::string *> &urls = reason.second;
        html += Details(SkipTitle(reason.first), urls.size(),
            Table({"URL"}, urls.size(),
                [&](std::size_t i) { return std::vector<std::string> {HtmlEscaped(*urls[i])}; }));
    }
    return html;
}

// Links that open the checked files, as a browser names them. Every file lies in the folder, and
// a file URL escapes each character of a path on its own: the folder's address is made once, and
// the file's path below it is escaped as that URL's path would be.
class FileLinks
{
public:
    explicit FileLinks(const std::string &folder)
        : m_folder(QUrl::fromLocalFile(QDir::cleanPath(QString::fromLocal8Bit(folder))).toEncoded())
    {
        if (!m_folder.endsWith('/'))
            m_folder += '/';
    }

    // A page usually lacks several references: its link is made once.
    const std::string &To(const std::string &file)
    {
        const auto [at, added] = m_links.try_emplace(file);
        if (added) {
            const QByteArray path
                = QUrl::toPercentEncoding(QString::fromLocal8Bit(file), "!$&'()*+,;=:@/[]");
            at->second = "<a href=\"" + HtmlEscaped(m_folder.toStdString() + path.toStdString())
                + "\">" + HtmlEscaped(file) + "</a>";
        }
        return at->second;
    }

private:
    QByteArray m_folder;
    std::unordered_map<std::string, std::string> m_links;
};

std::string UnresolvedSection(const CopySummary &summary)
{
    const CopyCheck &check = summary.check;
    std::string html = "<h2>References that do not resolve from disk</h2>\n";
    if (check.unresolved.empty())
        return html + None("Every reference of the site leads to a file of the copy.");
    std::vector<Bar> bars;
    for (const UnresolvedCause cause : kUnresolvedCauses) {
        const std::size_t count = check.CountOf(cause);
        bars.push_back({std::string(CauseTitle(cause)), static_cast<std::int64_t>(count),
            std::to_string(count)});
    }
    html += BarChart(bars, "References that do not resolve, by cause");
    FileLinks links(summary.folder);
    for (const UnresolvedCause cause : kUnresolvedCauses) {
        std::vector<const UnresolvedReference *> found;
        for (const UnresolvedReference &each : check.unresolved) {
            if (each.cause == cause)
                found.push_back(&each);
        }
        if (!found.empty())
            html += Details(CauseTitle(cause), found.size(),
                Table({"Page", "Reference"}, found.size(), [&](std::size_t i) {
                    return std::vector<std::string> {
                        links.To(found[i]->file), HtmlEscaped(found[i]->reference)};
                }));
    }
    return html;
}

std::string ChangesSection(const CopyChanges &changes)
{
    std::string html = "<h2>Since the last copy</h2>\n<div class=\"figures\">";
    html += Figure(std::to_string(changes.added), "new")
        + Figure(std::to_string(changes.changed), "changed")
        + Figure(std::to_string(changes.gone), "gone")
        + Figure(std::to_string(changes.unchanged), "unchanged");
    html += "</div>\n";
    if (!changes.changedUrls.empty())
        html += Details("Changed", changes.changedUrls.size(),
            Table({"URL"}, changes.changedUrls.size(), [&](std::size_t i) {
                return std::vector<std::string> {HtmlEscaped(changes.changedUrls[i])};
            }));
    return html;
}

std::string Overview(const CopySummary &summary)
{
    const CopyCheck &check = summary.check;
    std::int64_t files = 0;
    std::int64_t bytes = 0;
    for (const StoredByType &each : summary.stored) {
        files += each.files;
        bytes += each.bytes;
    }
    const std::size_t counted = check.resolved + check.unresolved.size();
    const std::string resolving = counted == 0 ? std::string("n/a")
                                               : std::to_string(check.resolved * 100 / counted)
            + "." + std::to_string(check.resolved * 1000 / counted % 10) + " %";
    std::string html = "<div class=\"figures\">";
    html += Figure(std::to_string(files), "files") + Figure(SizeText(bytes), "copied");
    if (summary.compressed.received > 0)
        html += Figure(SizeText(std::max<std::int64_t>(
                           summary.compressed.stored - summary.compressed.received, 0)),
            "saved by compression");
    if (summary.fetchesRecorded)
        html += Figure(std::to_string(summary.failed.size()), "failed",
            summary.failed.empty() ? "good" : "bad");
    html += Figure(
        std::to_string(check.FilesChecked()), "pages, style sheets and SVG images checked");
    html += Figure(std::to_string(check.resolved), "references resolve", "good");
    html += Figure(std::to_string(check.unresolved.size()), "do not",
        check.unresolved.empty() ? "good" : "bad");
    html += Figure(std::to_string(check.otherSites), "lead to other sites");
    html += Figure(resolving, "of the references resolve");
    return html + "</div>\n<p class=\"sub\">" + std::to_string(check.references) + " references in "
        + std::to_string(check.pages) + " pages, " + std::to_string(check.styleSheets)
        + " style sheets and " + std::to_string(check.svgImages) + " SVG images; "
        + std::to_string(check.skipped)
        + " skipped (fragments, mailto:, data: and the like, links to the page itself); "
        + std::to_string(check.otherSites)
        + " lead to other sites, online by design, and are not the copy's to resolve.</p>\n";
}

} // namespace

std::string_view CauseTitle(UnresolvedCause cause)
{
    switch (cause) {
    case UnresolvedCause::Missing:
        return "Missing file";
    case UnresolvedCause::AboveCopy:
        return "Above the copy's folder";
    case UnresolvedCause::Folder:
        return "Names a folder";
    case UnresolvedCause::RootRelative:
        return "From the file system's root";
    case UnresolvedCause::Online:
        return "The site's own address, online";
    }
    return {};
}

std::string HtmlEscaped(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&#39;";
            break;
        default:
            if ((byte < 0x20 && c != '\t' && c != '\n' && c != '\r') || byte == 0x7F)
                AppendShownByte(byte, escaped);
            else
                escaped += c;
        }
    }
    return escaped;
}

std::string CopyReportHtml(const CopySummary &summary)
{
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    html.append(kReportMark).append("\n<title>Copy report: ");
    html += HtmlEscaped(summary.folder) + "</title>\n<style>" + std::string(kStyle)
        + "</style>\n</head>\n<body>\n<main>\n<h1>Copy report</h1>\n<p class=\"sub\">"
        + HtmlEscaped(summary.folder)
        + (summary.madeAt.empty() ? "" : ", " + HtmlEscaped(summary.madeAt)) + "</p>\n";
    html += Overview(summary);
    if (summary.changes)
        html += ChangesSection(*summary.changes);
    html += StoredSection(summary) + DrawnSection(summary) + FailedSection(summary)
        + SkippedSection(summary) + UnresolvedSection(summary);
    return html + "</main>\n</body>\n</html>\n";
}

} // namespace tw
