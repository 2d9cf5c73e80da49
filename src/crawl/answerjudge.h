#pragma once

// What a whole answer means for the fetch that asked for it, from the answer and what the fetch
// knows of its URL: a try that failed, robots.txt to read, a file unchanged or gone, an error, a
// move of the start page, a type not wanted, or a file to store.

#include "transport/httpmessage.h"

#include <chrono>
#include <string_view>

namespace tw {

// A fetch is tried this many times before it counts as failed.
inline constexpr int kTries = 3;

// What a fetch is for.
enum class FetchKind {
    Link, // a link a page holds, to a page or a file
    Part, // what a page loads as its part by a URL without an extension, or with a page's: its
          // server's type names it, whatever it is
    StartPage, // the job's start page: its failure, or its move, is the job's
    Robots, // a host's robots.txt: read, never stored
};

// The fetch is of what a page links to or loads, not one the job makes of its own.
constexpr bool FoundInPage(FetchKind kind)
{
    return kind == FetchKind::Link || kind == FetchKind::Part;
}

// How a fetch asks for its URL. An update asks whether a file of an earlier copy changed, with the
// validators it was served with: an answer that it did not change keeps the file, and nothing but
// a whole new answer replaces it. The start page and a part are updated as any other file.
enum class FetchAsk { New, Update };

// What the fetch knows of its URL when its answer is whole.
struct AnswerContext
{
    FetchKind kind = FetchKind::Link;
    FetchAsk ask = FetchAsk::New;
    // The tries made, this one included.
    int attempt = 1;
    // The extension the URL's name ends in, empty when none.
    std::string_view urlExtension;
    // The wanted extensions (":.html::.gif:").
    std::string_view fileTypeFilter;
};

struct AnswerVerdict
{
    enum class Kind {
        BrokenHead, // the try failed: no whole head
        ShortBody, // the try failed: a body short of its length
        ReadRobots, // the host's robots.txt, read and not stored
        Unchanged, // a file of an earlier copy that did not change (304)
        Retry, // an error status that may pass: tried again after pause
        Gone, // a file of an earlier copy that is gone (404, 410)
        Failed, // an error status: the fetch fails
        StartMoved, // the start page moved
        Skipped, // a type not wanted
        Store,
    };
    Kind kind = Kind::Store;
    std::chrono::seconds pause {0};
    // The answer's type, not the URL's name, tells how the file is named.
    bool typedByServer = false;
};

// The answer's type, not the URL's name, tells how its file is named: the URL has no extension
// (or is a page's part), and the answer is no move and names a type other than HTML's.
bool TypedByServer(const HttpResponse &answer, std::string_view urlExtension, FetchKind kind);

AnswerVerdict JudgeAnswer(const HttpResponse &answer, const AnswerContext &context);

} // namespace tw
