// Measures the link scanner on a generated page: the scanner of the program against the plain
// step-by-step scan kept in the tests. The plain scan copies the rest of the page after every
// link, so it is timed on samples of its advances and its time for the full page extrapolated.
//
// Usage: scanner_bench [megabytes=50] [links=100000] [--full-plain]
// --full-plain also times the plain scan on the whole page, to check the extrapolation.

#include "core/plainlinkscanner.h"
#include "extractor/linkscanner.h"
#include "extractor/localreferences.h"
#include "extractor/references.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// A page of about `bytes` bytes holding `links` links in the spellings the scanner meets on real
// sites: quoted and unquoted, upper case, src and background, anchors, mail links, refresh
// targets, CR LF line breaks and plenty of other attributes with "=". A modern page has srcset
// candidates, root-relative and absolute links and style attributes with url() in place of the
// mail links and refresh targets.
std::string GeneratePage(std::size_t bytes, std::size_t links, bool modern = false)
{
    static const char *const words[] = {"lorem ", "ipsum ", "dolor ", "sit ", "amet, ",
        "consectetur ", "adipiscing ", "elit. ", "sed ", "do "};
    std::mt19937 random(4711);
    std::string page;
    page.reserve(bytes + 1024);
    page += "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body>\r\n";
    const std::size_t perLink = bytes / std::max<std::size_t>(links, 1);
    for (std::size_t i = 0; i < links; ++i) {
        const std::size_t unitEnd = page.size() + perLink;
        const std::string n = std::to_string(i);
        switch (i % 8) {
        case 0:
            page += "<a href=\"dir" + n + "/page" + n + ".html\">";
            break;
        case 1:
            page += "<img class=\"pic\" src=\"img/p" + n + ".gif\" alt=\"\">";
            break;
        case 2:
            page += "<a HREF = 'x" + n + ".html#part'>";
            break;
        case 3:
            page += "<td width=10 background=bg" + n + ".gif>";
            break;
        case 4:
            page += modern
                ? "<img srcset=\"/img/s" + n + ".gif 1x, http://host.com/img/t" + n + ".gif 2x\">"
                : "<a href=\"mailto:me" + n + "@host.com\">";
            break;
        case 5:
            page += "<a href=../up" + n + ".html>";
            break;
        case 6:
            page += modern
                ? "<div style=\"background:url(/bg/" + n + ".gif)\">"
                : "<meta http-equiv=\"refresh\" content=\"0; url=http://host.com/r.html\">";
            break;
        default:
            page += "<a Href=\"#top\"><a href=\"page.php?id=" + n + "\">";
            break;
        }
        std::size_t column = 0;
        while (page.size() < unitEnd) {
            const char *word = words[random() % std::size(words)];
            page += word;
            column += std::char_traits<char>::length(word);
            if (column > 70) {
                page += random() % 4 == 0 ? "<p style=\"x\" id=\"y\">\r\n" : "\r\n";
                column = 0;
            }
        }
    }
    page += "</body></html>\r\n";
    return page;
}

struct Outcome
{
    std::size_t links = 0;
    std::size_t queued = 0;
    std::size_t yields = 0;
    std::size_t digest = 0; // over the raw links in order
    double seconds = 0;

    // Every "href" the scan passes costs three yields before its link and two after its advance,
    // and a queued link one more.
    std::size_t Advances() const { return (yields - queued) / 5; }
};

// Runs scanner on a copy of page; a yield hook that empties the text after stopAt yields (when
// not 0) stops the scan the way a user's stop does.
template <typename Scanner> Outcome Run(Scanner scanner, std::string page, std::size_t stopAt = 0)
{
    Outcome outcome;
    const auto admit = [&](const std::string &raw) {
        ++outcome.links;
        outcome.digest = outcome.digest * 31 + std::hash<std::string> {}(raw);
        if (outcome.links % 3 != 0)
            return tw::Admission::Rejected;
        ++outcome.queued;
        return tw::Admission::Queued;
    };
    const auto start = Clock::now();
    scanner(page, admit, [&] {
        if (++outcome.yields == stopAt)
            page.clear();
    });
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return outcome;
}

double Megabytes(std::size_t bytes)
{
    return static_cast<double>(bytes) / 1e6;
}

double SecondsOf(const std::function<void()> &work)
{
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The work a page's references cost beside the scan: finding them, the added links that
// admission is offered, and the page as saved with its references pointed at the copy.
void TimeReferences(const std::string &page)
{
    tw::SiteJob job;
    job.siteHost = "host.com";
    job.outputDir = "\\out\\";
    job.FileTypeFilter = ":.html::.gif::.php:";
    const std::string_view body = tw::BodyOf(page);
    const double size = Megabytes(page.size());
    std::size_t found = 0;
    const double find
        = SecondsOf([&] { found = tw::FindReferences(body, tw::DocumentKind::Page).size(); });
    std::size_t added = 0;
    const double offer
        = SecondsOf([&] { added = tw::AddedLinks(body, tw::DocumentKind::Page).size(); });
    std::size_t edits = 0;
    std::size_t stored = 0;
    const double save = SecondsOf([&] {
        const std::vector<tw::TextEdit> pointed = tw::LocalReferenceEdits(
            body, tw::DocumentKind::Page, "host.com/dir/", "\\out\\host.com\\dir\\page.html", job);
        edits = pointed.size();
        stored = tw::RewriteStoredBody(body, true, false, pointed).size();
    });
    const double unpointed
        = SecondsOf([&] { stored = tw::RewriteStoredBody(body, true, false).size(); });
    std::printf(
        "references of %.1f MB: found %zu in %.3f s (%.0f MB/s); added links %zu in %.3f s; "
        "saved with %zu edits in %.3f s (%.0f MB/s; without pointing references at the copy %.3f "
        "s)\n",
        size, found, find, size / find, added, offer, edits, save, size / save, unpointed);
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const double megabytes = argc > 1 ? std::atof(argv[1]) : 50.0;
    const auto links = static_cast<std::size_t>(argc > 2 ? std::atol(argv[2]) : 100000);
    const auto bytes = static_cast<std::size_t>(megabytes * 1e6);
    const std::string page = GeneratePage(bytes, links);
    const double size = Megabytes(page.size());
    std::printf("Link scanner on a generated page of %.1f MB with %zu links\n", size, links);

    std::string rewritten = page;
    const double fastRewrite = SecondsOf([&] { tw::RewriteForScan(rewritten); });
    // The best of three runs: the machine may be shared.
    Outcome fast = Run(tw::ScanLinks, page);
    for (int run = 0; run < 2; ++run)
        fast.seconds = std::min(fast.seconds, Run(tw::ScanLinks, page).seconds);
    std::printf("fast scanner:  %.3f s = %.1f MB/s (%zu raw links, %zu yields; rewriting %.3f s)\n",
        fast.seconds, size / fast.seconds, fast.links, fast.yields, fastRewrite);

    // Linear: the same throughput on the page and on a tenth of it.
    TimeReferences(page);
    TimeReferences(GeneratePage(bytes / 10, links / 10));
    TimeReferences(GeneratePage(bytes, links, true));
    TimeReferences(GeneratePage(bytes / 10, links / 10, true));

    for (const std::size_t part : {50, 25}) {
        const std::string slice = GeneratePage(bytes / part, links / part);
        const Outcome plain = Run(tw::test::PlainScanLinks, slice);
        const Outcome check = Run(tw::ScanLinks, slice);
        const bool same = plain.links == check.links && plain.yields == check.yields
            && plain.digest == check.digest;
        std::printf("slice of %.2f MB: plain %.2f MB/s, fast %.1f MB/s, %s\n",
            Megabytes(slice.size()), Megabytes(slice.size()) / plain.seconds,
            Megabytes(slice.size()) / check.seconds, same ? "same links and yields" : "MISMATCH");
        if (!same)
            return 1;
    }

    // Small slices stay in the caches, while the plain scan of the full page copies up to 50 MB
    // per advance, and large copies cost more per byte (fresh memory from the system above 32 MB
    // in glibc). So the cost of one advance is sampled where the rest of the page is 8/8, 7/8 ...
    // 1/8 of it (by scanning the page's tail of that length for about a hundred advances), and
    // summed over all advances (trapezoids; an advance at the very end copies nothing).
    const double all = static_cast<double>(fast.Advances());
    double plainRewrite = 0;
    double costSum = 0;
    std::printf("plain scanner (quadratic: each advance copies the rest of the page):\n");
    for (int eighths = 8; eighths > 0; --eighths) {
        const double fraction = eighths / 8.0;
        const std::string tail = page.substr(
            page.size() - static_cast<std::size_t>(static_cast<double>(page.size()) * fraction));
        std::string rewrittenTail = tail;
        const double rewrite = SecondsOf([&] { tw::test::PlainRewriteForScan(rewrittenTail); });
        const Outcome sample = Run(tw::test::PlainScanLinks, tail, 500);
        const double perAdvance = std::max(0.0, sample.seconds - rewrite)
            / static_cast<double>(std::max<std::size_t>(sample.Advances(), 1));
        if (fraction == 1.0)
            plainRewrite = rewrite;
        costSum += fraction == 1.0 ? perAdvance / 2 : perAdvance;
        std::printf("  an advance with %.1f MB left: %.2f ms\n", size * fraction, perAdvance * 1e3);
    }
    std::printf("  rewriting the full page: %.2f s\n", plainRewrite);
    const double plainSeconds = plainRewrite + all * costSum / 8;
    std::printf("  extrapolated to the full page (%.0f advances): %.0f s = %.3f MB/s\n", all,
        plainSeconds, size / plainSeconds);
    std::printf("ratio plain/fast: %.0fx (plain extrapolated)\n", plainSeconds / fast.seconds);

    if (argc > 3 && std::string(argv[3]) == "--full-plain") {
        const Outcome plain = Run(tw::test::PlainScanLinks, page);
        const bool same = plain.digest == fast.digest && plain.yields == fast.yields;
        std::printf("plain scanner on the full page, measured: %.1f s = %.3f MB/s (%s); ratio "
                    "%.0fx\n",
            plain.seconds, size / plain.seconds, same ? "same links and yields" : "MISMATCH",
            plain.seconds / fast.seconds);
    }
    return 0;
}
