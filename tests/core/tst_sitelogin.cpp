// What a copy tells a site of its user: cookies kept and sent as RFC 6265 says, cookies.txt
// files, answers to a 401, links that would log out, and the user's header fields.

#include "app/clilogin.h"
#include "extractor/admission.h"
#include "transport/cookiejar.h"
#include "transport/httpauth.h"

#include <gtest/gtest.h>

#include <string>

namespace tw {
namespace {

constexpr std::int64_t kNow = 1'800'000'000;

TEST(CookieJar, ACookieGoesOnlyWhereItsDomainPathSecureFlagAndExpiryLetIt)
{
    CookieJar jar;
    for (const Cookie &cookie : {
             Cookie {.name = "a", .value = "1", .domain = "www.site.test"},
             Cookie {.name = "d", .value = "1", .domain = ".site.test", .hostOnly = false},
             Cookie {.name = "p", .value = "1", .domain = "www.site.test", .path = "/docs"},
             Cookie {.name = "s", .value = "1", .domain = "www.site.test", .secure = true},
             Cookie {.name = "t", .value = "1", .domain = "www.site.test", .expires = kNow + 100},
         })
        ASSERT_TRUE(jar.Add(cookie, kNow)) << cookie.name;
    const struct
    {
        const char *host;
        const char *path;
        bool secure;
        std::int64_t at;
        const char *sent;
    } rows[] = {
        {"www.site.test", "/", false, kNow, "a=1; d=1; t=1"},
        {"WWW.Site.test", "/docs/x.html?q=1", false, kNow, "p=1; a=1; d=1; t=1"},
        {"www.site.test", "/docsx", false, kNow, "a=1; d=1; t=1"},
        {"www.site.test", "/", true, kNow, "a=1; d=1; s=1; t=1"},
        {"www.site.test", "/", false, kNow + 200, "a=1; d=1"},
        {"img.site.test", "/docs/", true, kNow, "d=1"},
        {"site.test", "/", false, kNow, "d=1"},
        {"evilsite.test", "/", true, kNow, ""},
        {"site.test.evil", "/", true, kNow, ""},
    };
    for (const auto &row : rows)
        EXPECT_EQ(jar.CookieFieldFor(row.host, row.path, row.secure, row.at), row.sent)
            << row.host << row.path << " at " << row.at;
}

TEST(CookieJar, WhatASetCookieFieldSetsIsKeptAsABrowserKeepsIt)
{
    const struct
    {
        const char *setCookie;
        const char *host;
        bool secure;
        bool kept;
        const char *domain;
        bool hostOnly;
        const char *path;
        std::int64_t expires;
    } rows[] = {
        {"a=1", "www.site.test", false, true, "www.site.test", true, "/dir", 0},
        {" a = 1 ; Domain=.Site.test; Path=/x; HttpOnly", "www.site.test", false, true, "site.test",
            false, "/x", 0},
        {"a=1; Domain=test", "www.site.test", false, false, "", true, "", 0},
        {"a=1; Domain=co.uk", "www.shop.co.uk", false, false, "", true, "", 0},
        {"a=1; Domain=other.test", "www.site.test", false, false, "", true, "", 0},
        {"a=1; Domain=127.0.0.1", "127.0.0.1", false, true, "127.0.0.1", true, "/dir", 0},
        {"a=1; Domain=0.0.1", "127.0.0.1", false, false, "", true, "", 0},
        {"a=1; Secure", "www.site.test", false, false, "", true, "", 0},
        {"a=1; Secure", "www.site.test", true, true, "www.site.test", true, "/dir", 0},
        {"a=1; Max-Age=60; Expires=Wed, 21 Oct 2037 07:28:00 GMT", "h.test", false, true, "h.test",
            true, "/dir", kNow + 60},
        {"a=1; Expires=Wed, 21-Oct-37 07:28:00 GMT; Path=nope", "h.test", false, true, "h.test",
            true, "/dir", 2139722880},
        {"a=1; Max-Age=0", "h.test", false, false, "", true, "", 0},
        {"no equals sign", "h.test", false, false, "", true, "", 0},
        {"=1", "h.test", false, false, "", true, "", 0},
    };
    for (const auto &row : rows) {
        CookieJar jar;
        jar.TakeSetCookie(row.setCookie, row.host, "/dir/page.html", row.secure, kNow);
        ASSERT_EQ(jar.Cookies().size(), row.kept ? 1U : 0U) << row.setCookie;
        if (!row.kept)
            continue;
        const Cookie &cookie = jar.Cookies().front();
        EXPECT_EQ(cookie.value, "1") << row.setCookie;
        EXPECT_EQ(cookie.domain, row.domain) << row.setCookie;
        EXPECT_EQ(cookie.hostOnly, row.hostOnly) << row.setCookie;
        EXPECT_EQ(cookie.path, row.path) << row.setCookie;
        EXPECT_EQ(cookie.expires, row.expires) << row.setCookie;
    }
}

TEST(CookieJar, ACookieSetAgainReplacesItAndAnExpiredOneRemovesIt)
{
    CookieJar jar;
    jar.TakeSetCookie("sid=old", "h.test", "/", false, kNow);
    jar.TakeSetCookie("sid=new", "h.test", "/", false, kNow);
    EXPECT_EQ(jar.CookieFieldFor("h.test", "/", false, kNow), "sid=new");
    jar.TakeSetCookie("sid=; Max-Age=0", "h.test", "/", false, kNow);
    EXPECT_TRUE(jar.IsEmpty());
}

TEST(CookieFile, ACookiesTxtFileReadsAndWritesBackTheSame)
{
    const struct
    {
        std::string text;
        std::size_t cookies;
        int badLine;
        std::string writtenBack; // empty: the text itself after the heading
    } rows[] = {
        {"#HttpOnly_.site.test\tTRUE\t/\tFALSE\t0\tsid\tabc\n", 1, 0, {}},
        {"www.site.test\tFALSE\t/docs\tTRUE\t2000000000\tp\tv=w\n", 1, 0, {}},
        {"www.site.test\tFALSE\t/\tFALSE\t0\tempty\t\n", 1, 0, {}},
        {"# comment\r\n\r\nsite.test\tTRUE\t/\tFALSE\t0\ta\tb\r\n", 1, 0,
            ".site.test\tTRUE\t/\tFALSE\t0\ta\tb\n"},
        {"a.test\tFALSE\t/\tFALSE\t0\ta\tb\n.com\tTRUE\t/\tFALSE\t0\ta\tb\n", 1, 2, {}},
        {"a.test\tTRUE\t/\n", 0, 1, {}},
        {"a.test\tyes\t/\tFALSE\t0\ta\tb\n", 0, 1, {}},
        {"a.test\tTRUE\t/\tFALSE\tsoon\ta\tb\n", 0, 1, {}},
    };
    for (const auto &row : rows) {
        const CookieFile file = ReadCookiesTxt(row.text);
        EXPECT_EQ(file.badLine, row.badLine) << row.text;
        if (row.badLine != 0) {
            EXPECT_FALSE(file.fault.empty()) << row.text;
            continue;
        }
        EXPECT_EQ(file.cookies.size(), row.cookies) << row.text;
        EXPECT_EQ(CookiesTxt(file.cookies),
            "# Netscape HTTP Cookie File\n"
                + (row.writtenBack.empty() ? row.text : row.writtenBack));
    }
}

TEST(HttpAuth, TheStrongestChallengeUnderstoodIsAnswered)
{
    // The examples of RFC 7616 and RFC 7617.
    const std::string digest = "Digest realm=\"http-auth@example.org\", qop=\"auth, auth-int\", "
                               "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", "
                               "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\"";
    const struct
    {
        std::vector<std::string> fields;
        const char *user;
        const char *password;
        const char *answer; // a part of the Authorization value; null: none is answered
    } rows[] = {
        {{"Basic realm=\"WallyWorld\""}, "Aladdin", "open sesame",
            "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
        {{digest + ", algorithm=MD5"}, "Mufasa", "Circle of Life",
            "response=\"8ca523f5e9506fed4657c9700eebdbec\""},
        {{"Basic realm=x", digest + ", algorithm=SHA-256", digest + ", algorithm=MD5"}, "Mufasa",
            "Circle of Life",
            "response=\"753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1\""},
        {{"Negotiate abc==, Basic realm=\"a, b\""}, "u", "p", "Basic dTpw"},
        {{"Negotiate abc=="}, "u", "p", nullptr},
        {{"Digest realm=x"}, "u", "p", nullptr},
        {{"Digest realm=x, nonce=y, algorithm=SHA-512-256"}, "u", "p", nullptr},
        {{"Digest realm=x, nonce=y, qop=auth-int"}, "u", "p", nullptr},
    };
    for (const auto &row : rows) {
        const std::optional<AuthChallenge> chosen = ChosenChallenge(row.fields);
        ASSERT_EQ(chosen.has_value(), row.answer != nullptr) << row.fields.back();
        if (!chosen)
            continue;
        const std::string value = AuthorizationValue(*chosen, row.user, row.password,
            "/dir/index.html", 1, "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ");
        EXPECT_NE(value.find(row.answer), std::string::npos) << value;
    }
}

TEST(SessionLinks, LinksThatLogOutAreKnownByTheirWords)
{
    for (const char *ends : {"/logout", "/user/Log-Out.php", "/?action=signout", "/sign-out",
             "/a/log_off", "Log out", "Sign  Out", "LOGOFF"})
        EXPECT_TRUE(NamesSessionEnd(ends)) << ends;
    for (const char *stays : {"/catalog-outdoor.html", "/blog/outline", "/logo.png",
             "/changelog/offers", "Login", "Sign up"})
        EXPECT_FALSE(NamesSessionEnd(stays)) << stays;
}

TEST(CliLogin, AHeaderFieldIsANameAndAValueOfOneLine)
{
    const struct
    {
        const char *typed;
        const char *name; // null: refused
        const char *value;
    } rows[] = {
        {"X-Token: abc def ", "X-Token", "abc def"},
        {"Accept-Language:fr", "Accept-Language", "fr"},
        {"X-Empty:", "X-Empty", ""},
        {"Bad Name: x", nullptr, nullptr},
        {": value", nullptr, nullptr},
        {"NoColon", nullptr, nullptr},
        {"X-A: a\r\nInjected: 1", nullptr, nullptr},
        {"X-A: a\nb", nullptr, nullptr},
        {"host: elsewhere.test", nullptr, nullptr},
    };
    for (const auto &row : rows) {
        QString why;
        const auto field = HeaderFieldOf(QString::fromLatin1(row.typed), why);
        ASSERT_EQ(field.has_value(), row.name != nullptr) << row.typed;
        if (field) {
            EXPECT_EQ(field->first, row.name);
            EXPECT_EQ(field->second, row.value);
        } else {
            EXPECT_FALSE(why.isEmpty());
        }
    }
}

} // namespace
} // namespace tw
