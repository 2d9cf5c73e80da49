#include "extractor/documentlinks.h"

#include "common/stringops.h"
#include "extractor/characterreferences.h"
#include "extractor/copycheck.h"

#include <algorithm>
#include <utility>

namespace tw {

namespace {

// Where the tag whose attributes hold position at begins ("<") and ends (its ">" or the end of
// text); nothing when at lies outside any tag (in a <style> block, in a style sheet).
std::optional<std::pair<std::size_t, std::size_t>> TagSpan(std::string_view text, std::size_t at)
{
    std::size_t open = std::min(at + 1, text.size());
    while (open > 0 && text[open - 1] != '<' && text[open - 1] != '>')
        --open;
    if (open == 0 || text[--open] != '<')
        return std::nullopt;
    return std::pair(open, std::min(text.find('>', at), text.size()));
}

std::string Lowered(std::string_view text)
{
    std::string lowered(text.size(), '\0');
    std::transform(text.begin(), text.end(), lowered.begin(), LowerAscii);
    return lowered;
}

bool IsTag(std::string_view lowerTag, std::string_view name)
{
    if (lowerTag.size() <= name.size() + 1 || lowerTag.substr(1, name.size()) != name)
        return false;
    const char after = lowerTag[name.size() + 1];
    return after == ' ' || after == '\t' || after == '\n' || after == '\r' || after == '\f';
}

// A <link> that only speaks to search engines or warms up a connection: a browser loads nothing
// for it.
bool IsHint(std::string_view lowerTag)
{
    if (!IsTag(lowerTag, "link"))
        return false;
    for (std::string_view word : {"canonical", "preconnect", "dns-prefetch"}) {
        if (Contains(lowerTag, word))
            return true;
    }
    return false;
}

// Where a reference of a stored document leads, and the tag it stands in.
struct Read
{
    std::string written;
    std::string lowerTag; // empty outside a tag
    bool emptied = false; // edited away: the stored file holds no reference there
};

// Sorts the references of a document into links, its <base> and the hints left out; read gives
// what the stored file holds at a reference.
template <typename ReadAt>
DocumentLinks Collect(const std::vector<Reference> &found, TextEncoding encoding, ReadAt &&read)
{
    DocumentLinks links;
    links.links.reserve(found.size());
    bool based = false;
    for (const Reference &reference : found) {
        Read at = read(reference);
        if (at.emptied)
            continue;
        Reference alone = reference;
        alone.at = 0;
        alone.length = at.written.size();
        std::string link = ReadLink(at.written, alone, encoding).url;
        if (IsTag(at.lowerTag, "base")) {
            if (!based)
                links.base = std::move(link);
            based = true;
        } else if (!IsHint(at.lowerTag)) {
            links.links.push_back({std::move(at.written), std::move(link)});
        }
    }
    return links;
}

// Characters that may end or split a reference, or the tag around it: an edit that takes one
// away or brings one in may move where the stored file's references begin and end.
constexpr std::string_view kBounds = " \t\r\n\f\"'<>(),\\";

bool MayMoveBounds(std::string_view body, const TextEdit &edit)
{
    const auto holdsBound = [](std::string_view text) {
        return text.find_first_of(kBounds) != std::string_view::npos;
    };
    return holdsBound(edit.text) || holdsBound(body.substr(edit.at, edit.length));
}

// Whether text reads the same from a page whatever its line breaks and declared encoding.
bool PlainAscii(std::string_view text)
{
    return std::none_of(
        text.begin(), text.end(), [](char c) { return (c & 0x80) != 0 || c == '\r' || c == '\n'; });
}

// The tag [open, close) of body with the edits that fall in it applied, in lower case.
std::string EditedTag(
    std::string_view body, std::size_t open, std::size_t close, const std::vector<TextEdit> &edits)
{
    std::string tag;
    std::size_t from = open;
    for (const TextEdit &edit : edits) {
        if (edit.at < open || edit.at >= close)
            continue;
        tag.append(body.substr(from, edit.at - from)).append(edit.text);
        from = edit.at + edit.length;
    }
    return Lowered(tag.append(body.substr(from, close - from)));
}

// The tag [open, close) as far as it tells a reference apart, in lower case: its name, and all
// of it for a <link>, as whole gives it.
template <typename Whole>
std::string TagKey(std::string_view text, std::size_t open, std::size_t close, Whole &&whole)
{
    constexpr std::size_t kNameLength = std::string_view("<link ").size();
    std::string key = Lowered(text.substr(open, std::min(close - open, kNameLength)));
    return IsTag(key, "link") ? whole() : key;
}

} // namespace

std::size_t DocumentLinks::Bytes() const
{
    std::size_t bytes = sizeof(DocumentLinks) + links.capacity() * sizeof(CheckedLink);
    for (const CheckedLink &each : links)
        bytes += each.written.capacity() + each.link.capacity();
    return bytes;
}

DocumentLinks LinksOfStoredDocument(std::string_view text, DocumentKind kind)
{
    const bool page = kind == DocumentKind::Page;
    return Collect(FindReferences(text, kind), page ? DeclaredEncoding(text) : TextEncoding::Utf8,
        [&](const Reference &reference) {
            Read read {std::string(text.substr(reference.at, reference.length)), {}};
            // Only links that lead elsewhere stand in a <base> or a hint, and each in a tag of
            // its own: looking back for the tag costs little for them.
            if (page && !reference.embedded) {
                if (const auto span = TagSpan(text, reference.at)) {
                    const std::size_t open = span->first;
                    const std::size_t close = span->second;
                    read.lowerTag = TagKey(text, open, close,
                        [&] { return Lowered(text.substr(open, close - open)); });
                }
            }
            return read;
        });
}

std::optional<DocumentLinks> LinksOfSavedBody(std::string_view body, DocumentKind kind,
    const std::vector<Reference> &found, const std::vector<TextEdit> *edits)
{
    constexpr std::size_t kReportHead = 2048;
    const bool page = kind == DocumentKind::Page;
    if (page && Contains(body.substr(0, kReportHead), kReportMark))
        return std::nullopt;
    const std::vector<TextEdit> none;
    const std::vector<TextEdit> &applied = edits ? *edits : none;
    if (std::any_of(applied.begin(), applied.end(),
            [&](const TextEdit &edit) { return MayMoveBounds(body, edit); }))
        return std::nullopt;
    // A rewritten body ends with a line break the body had not.
    if (edits && !found.empty() && found.back().at + found.back().length >= body.size())
        return std::nullopt;
    bool sure = true;
    auto edit = applied.begin();
    DocumentLinks links = Collect(found, TextEncoding::Utf8, [&](const Reference &reference) {
        while (edit != applied.end() && edit->at < reference.at)
            ++edit;
        Read read;
        if (edit != applied.end() && edit->at == reference.at && edit->length <= reference.length) {
            read.written = edit->text
                + std::string(
                    body.substr(reference.at + edit->length, reference.length - edit->length));
            read.emptied = read.written.empty();
        } else
            read.written = body.substr(reference.at, reference.length);
        // A page's line breaks are rewritten; its encoding is the one its stored head declares.
        if (page && !PlainAscii(read.written))
            sure = false;
        if (page && !reference.embedded) {
            if (const auto span = TagSpan(body, reference.at)) {
                const std::size_t open = span->first;
                const std::size_t close = span->second;
                read.lowerTag = TagKey(
                    body, open, close, [&] { return EditedTag(body, open, close, applied); });
            }
        }
        return read;
    });
    if (!sure)
        return std::nullopt;
    return links;
}

} // namespace tw
