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

// What a fetch is for: a link found, the job's start page, or a host's robots.txt.
enum class FetchKind { Link, StartPage, Robots };

// What the fetch knows of its URL when its answer is whole.
struct AnswerContext
{
    FetchKind kind = FetchKind::Link;
    // The URL is a file of an earlier copy, asked again with its validators.
    bool revalidating = false;
    // The tries made, this one included.
    int attempt = 1;
    // The extension the URL's name ends in, empty when none.
    std::string_view urlExtension;
    // A page loads the URL as its part: its server's type names it, whatever it is.
    bool untypedPart = false;
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
bool TypedByServer(const HttpResponse &answer, std::string_view urlExtension, bool untypedPart);

AnswerVerdict JudgeAnswer(const HttpResponse &answer, const AnswerContext &context);

} // namespace tw
