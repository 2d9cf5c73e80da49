// Bodies in the content codings a server may use, taken off as they arrive in pieces, and copies
// of a site that answers in them.

#include "transport/contentdecoding.h"

#include "enginetest.h"

#include <brotli/encode.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace tw {
namespace {

std::string Zipped(const std::string &text, int windowBits)
{
    z_stream z {};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, text.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string Gzip(const std::string &text)
{
    return Zipped(text, 31);
}

std::string Brotli(const std::string &text)
{
    std::size_t size = BrotliEncoderMaxCompressedSize(text.size());
    std::string out(size, '\0');
    BrotliEncoderCompress(5, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, text.size(),
        reinterpret_cast<const std::uint8_t *>(text.data()), &size,
        reinterpret_cast<std::uint8_t *>(out.data()));
    out.resize(size);
    return out;
}

// A page-like text past one output step of the decoder.
std::string Page()
{
    std::string page;
    for (int line = 0; page.size() < 200'000; ++line)
        page += "<p id=\"p" + std::to_string(line * 7919 % 10007) + "\">line "
            + std::to_string(line) + "</p>\n";
    return page;
}

TEST(ContentDecoding, BodiesInPiecesDecodeToTheFileOrStopWithTheirFault)
{
    const std::string page = Page();
    const std::string zeros(4 << 20, '\0');
    const std::string zipped = Gzip(page);
    std::string corrupt = zipped;
    std::fill_n(corrupt.begin() + static_cast<std::ptrdiff_t>(corrupt.size() / 2), 16, 'x');
    const std::string cut = zipped.substr(0, zipped.size() - 12);
    const struct
    {
        std::string field; // Content-Encoding
        std::string coded;
        std::size_t piece; // bytes a read
        DecodeFault fault;
        std::string decoded;
    } cases[] = {
        {"gzip", zipped, 1 << 20, DecodeFault::None, page},
        {"x-gzip", zipped, 1, DecodeFault::None, page},
        {"Deflate", Zipped(page, 15), 7, DecodeFault::None, page},
        {"deflate", Zipped(page, -15), 1, DecodeFault::None, page},
        {"br", Brotli(page), 3, DecodeFault::None, page},
        {"gzip", Gzip("one ") + Gzip("two"), 5, DecodeFault::None, "one two"},
        {"", page, 4096, DecodeFault::None, page},
        {"gzip", "", 1, DecodeFault::None, ""},
        {"gzip", corrupt, 512, DecodeFault::Corrupt, {}},
        {"gzip", cut, 512, DecodeFault::CutShort, {}},
        {"br", Brotli(page).substr(0, 40), 8, DecodeFault::CutShort, {}},
        {"gzip", Gzip(zeros), 100, DecodeFault::TooLarge, {}},
        {"br", Brotli(zeros), 100, DecodeFault::TooLarge, {}},
        {"zstd", zipped, 512, DecodeFault::UnknownCoding, {}},
        {"gzip, br", Brotli(Gzip(page)), 512, DecodeFault::UnknownCoding, {}},
    };
    const std::int64_t limit = 1 << 20;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.field + " in pieces of " + std::to_string(c.piece));
        BodyDecoder decoder(CodingOf(c.field), limit);
        std::string out;
        bool going = true;
        for (std::size_t at = 0; going && at < c.coded.size(); at += c.piece)
            going = decoder.Feed(std::string_view(c.coded).substr(at, c.piece), out);
        if (going)
            decoder.Finish();
        EXPECT_EQ(decoder.Fault(), c.fault);
        EXPECT_LE(decoder.DecodedSize(), limit);
        if (c.fault == DecodeFault::None) {
            EXPECT_TRUE(out == c.decoded);
            EXPECT_EQ(decoder.DecodedSize(), static_cast<std::int64_t>(c.decoded.size()));
        }
    }
}

TEST_F(EngineTest, CompressedAnswersAreStoredAsTheFilesTheSiteMeans)
{
    std::string noise(1536 * 1024, '\0');
    std::uint32_t seed = 7;
    for (char &byte : noise) {
        seed = seed * 1664525U + 1013904223U;
        byte = static_cast<char>(seed >> 24);
    }
    const std::string page = "<a href=a.gif>a</a><link rel=stylesheet href=c.css>"
                             "<img src=bad.gif><a href=bomb.html>b</a><img src=short.gif>"
                             "<img src=missing.gif>";
    const std::string css = "body { background: url(d.gif) }";
    const std::string deflated = Zipped(css, 15);
    const std::string chunked = "10\r\n" + deflated.substr(0, 16) + "\r\n" +
        [&] {
            std::ostringstream size;
            size << std::hex << deflated.size() - 16;
            return size.str();
        }()
        + "\r\n" + deflated.substr(16) + "\r\n0\r\n\r\n";
    std::string corrupt = Gzip(page);
    std::fill_n(corrupt.begin() + 12, 8, 'x');
    const auto coded = [](std::string body, const char *coding, const char *type) {
        Route route = Route::Page(std::move(body), type);
        route.extraHeaders = std::string("Content-Encoding: ") + coding + "\r\n";
        return route;
    };
    m_server.SetKeptAnswers(100);
    m_server.SetRoute("/", coded(Gzip(page), "gzip", "text/html"));
    m_server.SetRoute("/a.gif", coded(Brotli(noise), "br", "image/gif"));
    m_server.SetRoute("/c.css",
        Route::Raw("HTTP/1.1 200 OK\r\nContent-Type: text/css\r\nContent-Encoding: deflate\r\n"
                   "Transfer-Encoding: chunked\r\n\r\n"
            + chunked));
    m_server.SetRoute("/d.gif", Route::Page("d", "image/gif"));
    m_server.SetRoute("/bad.gif", coded(corrupt, "gzip", "image/gif"));
    Route missing = coded(corrupt, "gzip", "text/html");
    missing.status = 404;
    m_server.SetRoute("/missing.gif", missing);
    const std::string longText = Page();
    m_server.SetRoute("/short.gif", coded(Gzip(longText), "gzip", "image/gif")).behaviours
        = {{.kind = Behaviour::Kind::Cut, .bytes = 4000, .fromBody = true}};
    m_server.SetRoute("/bomb.html", coded(Gzip(std::string(16 << 20, ' ')), "gzip", "text/html"));
    m_engine.Job().keepAlive = true;
    m_engine.SetResponseMemoryLimit(4 << 20);
    std::map<std::string, std::int64_t> received;
    QObject counting;
    QObject::connect(&m_engine, &Engine::fetchStored, &counting,
        [&received](
            const std::string &url, const StoredFetch &fetch) { received[url] = fetch.received; });
    ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));

    EXPECT_EQ(File("index.html"),
        Stored(ReplaceAll(page, "src=missing.gif", "src=http://www.site.test/missing.gif")));
    EXPECT_TRUE(File("a.gif") == noise) << "a file decoded as it goes to disk";
    EXPECT_EQ(File("c.css"), Stored(css)) << "chunked and deflated";
    EXPECT_EQ(File("d.gif"), "d") << "found in the decoded style sheet";
    EXPECT_EQ(received["www.site.test/a.gif"], static_cast<std::int64_t>(Brotli(noise).size()));
    EXPECT_EQ(received["www.site.test/c.css"], static_cast<std::int64_t>(deflated.size()));
    EXPECT_EQ(received["www.site.test/d.gif"], 0) << "it came as it is stored";
    EXPECT_EQ(m_failures[QStringLiteral("www.site.test/bad.gif")],
        QStringLiteral("its gzip body does not decode"));
    EXPECT_EQ(m_failures[QStringLiteral("www.site.test/bomb.html")], QStringLiteral("too large"));
    EXPECT_EQ(
        m_failures[QStringLiteral("www.site.test/missing.gif")], QStringLiteral("404 Not Found"))
        << "an error answer's body is not decoded, however broken";
    const std::string cutShort = File("short.gif");
    EXPECT_TRUE(cutShort.size() > 4000 && longText.starts_with(cutShort))
        << "a body cut short keeps what arrived, decoded: " << cutShort.size();
    EXPECT_NE(m_server.Requests().front().raw.find("Accept-Encoding: gzip, deflate, br\r\n"),
        std::string::npos);
}

} // namespace
} // namespace tw
