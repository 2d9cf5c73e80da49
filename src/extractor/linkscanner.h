#pragma once

// The link scanner: finds the links in a fetched file, whatever its type. A text scanner, not an
// HTML parser: it rewrites every link attribute it knows to "href=", then walks from one "href"
// to the next and hands each value that could be fetched to queue admission.

#include "common/sitejob.h"
#include "extractor/admission.h"
#include "extractor/queuesink.h"
#include "output/pagesaver.h"

#include <functional>
#include <string>
#include <string_view>

namespace tw {

// Receives each raw link that survives the scanner's own filters.
using LinkSink = std::function<Admission(const std::string &rawLink)>;

// The part of text in front of its first "#", "'", ">", "}", " " or ";" (all of it when it holds
// none of them).
std::string CutAtDelimiter(std::string_view text);

// Brings text into the form the scan walks, in place and in linear time: the known spellings of
// href, background and src become "href="; double quotes become "'"; line breaks go; refresh
// targets ("; url=" and its spellings) become "a href='http://". The result is exactly that of
// replacing each spelling in its turn over the whole text.
void RewriteForScan(std::string &text);

// Rewrites pageText (RewriteForScan) and walks it from one "href" to the next, handing each
// raw link to admit. It calls yield three times before each raw link, once after each link that
// admit queued and twice after each advance. pageText stays the caller's: a yield may add to its
// end, or empty it (a stop), which ends the scan at once unless nothing was left to scan. A
// Failed verdict ends the scan too. Otherwise pageText is left as the part after the last
// advance. Linear in the length of the text.
void ScanLinks(std::string &pageText, const LinkSink &admit, const std::function<void()> &yield);

// Scans pageText (the slot's response, rewritten in place) and admits its links against base,
// the directory of the page ("/" is added when missing, so an empty base becomes "/"). The
// references of a page or style sheet that the scan does not see (srcset, style sheets' url()
// and the like) are admitted first, with a yield after every kReferencesPerYield of them. False
// when a file append failed and the links after it were not offered (job.lastWriteError says
// why).
bool ExtractLinks(std::string &pageText, DocumentKind kind, QueueSink &queue, std::string base,
    SiteJob &job, const std::function<void()> &yield);

} // namespace tw
