#pragma once

// Stores one finished (or abandoned) fetch in the mirror tree: the header goes, the local name is
// chosen, pages get their line endings and links rewritten for browsing from disk, the URL's
// placeholder goes and the file is counted.

#include "connections/sitejob.h"

#include <string>
#include <string_view>

namespace tw {

// True when the save path names a page: it holds ".htm", ".php", ".shtm", ".asp" or ".txt"
// (exact lower case) anywhere.
bool IsPagePath(std::string_view savePath);

// The body of a page or style sheet as it is stored: for a page each CR becomes CR LF and each LF
// becomes CR LF LF; links to ".php" and ".asp" names point at the stored ".html" names and
// query marks become "_"; in a file of the site's root directory, a quoted href value loses one
// leading "../". The result equals applying each replacement in its turn, in one pass.
std::string RewriteStoredBody(std::string_view body, bool page, bool inSiteRoot);

// Where a fetch saved under relativePath ("\" + host + URL path) is stored.
struct StoredLocation
{
    // The path as named, before normalization: what must stay inside the output directory.
    std::string unprepared;
    // The file written.
    std::string file;
    // The name before ".html" is added to ".php" and ".asp" names; the placeholder's is this
    // name with ".tmp".
    std::string placeholderBase;
    // Where the part below the download folder begins.
    std::size_t mirrorStart = 0;
    // A page (IsPagePath of the part below the download folder).
    bool page = false;
};
StoredLocation StoredLocationOf(std::string_view relativePath, const SiteJob &job);

// Saves response under relativePath ("\" + host + URL path) below job.outputDir. "cancel" in any
// case, spaces around, means there is nothing to save. A body without a header blank line is
// saved whole. Files that are neither pages nor style sheets (".css") are stored exactly as
// received; pages and style sheets are rewritten and end with CR LF. A path that would lead
// outside the output directory is refused before any directory is made: then nothing is written,
// deleted or counted. Otherwise the placeholder is deleted and job.aFiles counts the file even
// when the write failed.
void SaveDownloadedFile(std::string_view response, std::string_view relativePath, SiteJob &job);

// True when savePath lies directly in the site's directory: the text after the first
// "siteHost\" (case ignored), less its first character, holds no "\".
bool IsInSiteRoot(std::string_view savePath, std::string_view siteHost);

} // namespace tw
