// Measures the reference finder on generated pages: finding the references of a page, the links
// that queue admission is offered, and the page as saved with its references pointed at the copy.
//
// Usage: scanner_bench [megabytes=50] [links=100000]

#include "extractor/localreferences.h"
#include "extractor/references.h"
#include "transport/httpmessage.h"

#include <chrono>
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

// The work a page's references cost: finding them, the references with the targets the copy
// fetches (what admission is offered and the saved page is pointed by), and the page as saved
// with its references pointed at the copy.
void TimeReferences(const std::string &page)
{
    tw::SiteJob job;
    job.siteHost = "host.com";
    job.outputDir = "\\out\\";
    job.FileTypeFilter = ":.html::.gif::.php:";
    const std::string_view body = tw::ParseResponse(page).Body(page);
    const double size = Megabytes(page.size());
    std::size_t found = 0;
    const double find
        = SecondsOf([&] { found = tw::FindReferences(body, tw::DocumentKind::Page).size(); });
    std::vector<tw::PageReference> references;
    const double offer = SecondsOf([&] {
        references = tw::PageReferencesOf(body, tw::DocumentKind::Page, "host.com/dir/", job);
    });
    const std::size_t offered = references.size();
    std::size_t edits = 0;
    std::size_t stored = 0;
    const double save = SecondsOf([&] {
        const std::vector<tw::TextEdit> pointed = tw::LocalReferenceEdits(
            references, "\\out\\host.com\\dir\\page.html", job, tw::KnownPaths());
        edits = pointed.size();
        stored = tw::RewriteStoredBody(body, true, pointed).size();
    });
    const double unpointed = SecondsOf([&] { stored = tw::RewriteStoredBody(body, true).size(); });
    std::printf(
        "references of %.1f MB: found %zu in %.3f s (%.0f MB/s); with their targets %zu in %.3f s; "
        "saved with %zu edits in %.3f s (%.0f MB/s; without pointing references at the copy %.3f "
        "s)\n",
        size, found, find, size / find, offered, offer, edits, save, size / save, unpointed);
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const double megabytes = argc > 1 ? std::atof(argv[1]) : 50.0;
    const auto links = static_cast<std::size_t>(argc > 2 ? std::atol(argv[2]) : 100000);
    const auto bytes = static_cast<std::size_t>(megabytes * 1e6);
    std::printf(
        "Reference finder on generated pages of %.1f MB with %zu links\n", megabytes, links);
    // Linear: the same throughput on the page and on a tenth of it.
    TimeReferences(GeneratePage(bytes, links));
    TimeReferences(GeneratePage(bytes / 10, links / 10));
    TimeReferences(GeneratePage(bytes, links, true));
    TimeReferences(GeneratePage(bytes / 10, links / 10, true));
    return 0;
}
