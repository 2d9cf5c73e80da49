#include "extractor/localreferences.h"

#include "common/stringops.h"
#include "extractor/admission.h"
#include "extractor/references.h"
#include "extractor/urlnormalize.h"
#include "output/redirectpage.h"

#include <vector>

namespace tw {

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The text with each "%" and two hexadecimal digits turned into the byte they name.
std::string PercentDecoded(std::string_view text)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = i + 2 < text.size() && text[i] == '%' ? HexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
        if (low >= 0) {
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

// True when a browser that opens storedFile from disk reads the relative link as file: its
// segments joined to the page's folder, "." and ".." resolved, escapes decoded, the query left
// out.
bool NamesFile(std::string_view storedFile, std::string_view link, std::string_view file)
{
    std::vector<std::string_view> parts;
    for (std::size_t start = 0, end = 0;
         (end = storedFile.find('\\', start)) != std::string_view::npos; start = end + 1)
        parts.push_back(storedFile.substr(start, end - start));
    const std::string path = PercentDecoded(ReplaceAll(link.substr(0, link.find('?')), "\\", "/"));
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view segment = std::string_view(path).substr(start, end - start);
        if (segment == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (segment != ".") {
            parts.push_back(segment);
        }
        start = end + 1;
    }
    std::string joined;
    for (std::size_t i = 0; i < parts.size(); ++i)
        joined.append(i == 0 ? "" : "\\").append(parts[i]);
    return joined == file;
}

} // namespace

std::string StoredFileOf(std::string_view queuedUrl, const SiteJob &job)
{
    const FetchTarget target = FetchTargetOf(queuedUrl);
    return StoredLocationOf("\\" + target.host + target.path, job).file;
}

std::vector<TextEdit> LocalReferenceEdits(std::string_view body, DocumentKind kind,
    std::string_view pageBase, std::string_view storedFile, const SiteJob &job,
    const std::function<void()> &yield)
{
    const std::string scheme = job.secure ? "https://" : "http://";
    const std::string_view pageHost = pageBase.substr(0, pageBase.find('/'));
    std::vector<TextEdit> edits;
    std::size_t seen = 0;
    for (const Reference &reference : FindReferences(body, kind)) {
        if (yield && ++seen % kReferencesPerYield == 0)
            yield();
        const std::string_view link = LinkOf(body, reference);
        if (link.empty())
            continue;
        const LinkForm form = FormOfLink(ReplaceAll(link, "\\", "/"));
        std::string replacement;
        if (const std::optional<LinkTarget> target = LinkTargetOf(link, pageBase, job)) {
            const std::string file = StoredFileOf(target->queued, job);
            if (form == LinkForm::Relative && NamesFile(storedFile, link, file))
                continue;
            replacement = RelativeHref(storedFile, file);
        } else if (form == LinkForm::ProtocolRelative) {
            replacement = scheme + std::string(link.substr(2));
        } else if (form == LinkForm::RootRelative) {
            replacement = scheme + std::string(pageHost) + std::string(link);
        }
        if (!replacement.empty() && replacement != link)
            edits.push_back({reference.at, link.size(), std::move(replacement)});
    }
    return edits;
}

} // namespace tw
