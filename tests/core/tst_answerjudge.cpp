// What a whole answer means for the fetch that asked for it.

#include "crawl/answerjudge.h"

#include <gtest/gtest.h>

#include <string>

namespace tw {
namespace {

TEST(AnswerJudge, AWholeAnswerIsJudgedByItsStatusItsTypeAndWhatTheFetchIsFor)
{
    using Verdict = AnswerVerdict::Kind;
    struct Row
    {
        std::string answer;
        FetchKind kind;
        FetchAsk ask;
        int attempt;
        const char *urlExtension;
        Verdict verdict;
        int pause;
        bool typedByServer;
    };
    const std::string html = "Content-Type: text/html\r\n";
    const Row rows[] = {
        {"HTTP/1.0 200 OK\r\n" + html + "\r\n", FetchKind::Link, FetchAsk::New, 1, ".html",
            Verdict::Store, 0, false},
        {"HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nshort", FetchKind::Link, FetchAsk::New, 1,
            ".html", Verdict::ShortBody, 0, false},
        {"HTTP/1.0 200 OK\r\n", FetchKind::Robots, FetchAsk::New, 1, ".txt", Verdict::BrokenHead, 0,
            false},
        {"HTTP/1.0 404 Not Found\r\n\r\n", FetchKind::Robots, FetchAsk::New, 1, ".txt",
            Verdict::ReadRobots, 0, false},
        {"HTTP/1.0 304 Not Modified\r\n\r\n", FetchKind::Link, FetchAsk::Update, 1, ".html",
            Verdict::Unchanged, 0, false},
        {"HTTP/1.0 304 Not Modified\r\n\r\n", FetchKind::Link, FetchAsk::New, 1, ".html",
            Verdict::Store, 0, false},
        {"HTTP/1.0 503 x\r\nRetry-After: 7\r\n\r\n", FetchKind::Link, FetchAsk::New, 2, ".html",
            Verdict::Retry, 7, false},
        {"HTTP/1.0 503 x\r\n\r\n", FetchKind::Link, FetchAsk::New, kTries, ".html", Verdict::Failed,
            0, false},
        {"HTTP/1.0 403 x\r\n\r\n", FetchKind::StartPage, FetchAsk::New, 1, ".html", Verdict::Failed,
            0, false},
        {"HTTP/1.0 410 Gone\r\n\r\n", FetchKind::Link, FetchAsk::Update, 1, ".html", Verdict::Gone,
            0, false},
        {"HTTP/1.0 404 x\r\n\r\n", FetchKind::Link, FetchAsk::New, 1, ".html", Verdict::Failed, 0,
            false},
        {"HTTP/1.0 301 x\r\nLocation: /b/\r\n\r\n", FetchKind::StartPage, FetchAsk::New, 1, "",
            Verdict::StartMoved, 0, false},
        {"HTTP/1.0 301 x\r\nLocation: /b/\r\n\r\n", FetchKind::Link, FetchAsk::New, 1, "",
            Verdict::Store, 0, false},
        {"HTTP/1.0 200 OK\r\nContent-Type: application/pdf\r\n\r\n", FetchKind::Link, FetchAsk::New,
            1, "", Verdict::Store, 0, true},
        {"HTTP/1.0 200 OK\r\nContent-Type: application/zip\r\n\r\n", FetchKind::Link, FetchAsk::New,
            1, "", Verdict::Skipped, 0, true},
        {"HTTP/1.0 200 OK\r\nContent-Type: application/zip\r\n\r\n", FetchKind::Link, FetchAsk::New,
            1, ".html", Verdict::Store, 0, false},
        {"HTTP/1.0 200 OK\r\nContent-Type: application/zip\r\n\r\n", FetchKind::Part, FetchAsk::New,
            1, ".html", Verdict::Store, 0, true},
        {"HTTP/1.0 200 OK\r\n" + html + "\r\n", FetchKind::Link, FetchAsk::New, 1, "",
            Verdict::Store, 0, false},
    };
    for (const Row &row : rows) {
        const AnswerVerdict verdict = JudgeAnswer(ParseResponse(row.answer),
            {.kind = row.kind,
                .ask = row.ask,
                .attempt = row.attempt,
                .urlExtension = row.urlExtension,
                .fileTypeFilter = ":.html::.pdf:"});
        EXPECT_EQ(verdict.kind, row.verdict) << row.answer;
        EXPECT_EQ(verdict.pause.count(), row.pause) << row.answer;
        EXPECT_EQ(verdict.typedByServer, row.typedByServer) << row.answer;
    }
}

} // namespace
} // namespace tw
