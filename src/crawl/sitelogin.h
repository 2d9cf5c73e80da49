#pragma once

// What a copy tells a site of its user, and to whom: the cookie jar (sent where RFC 6265 lets a
// cookie go), the name and password (sent only to the site's own host that asked for them with a
// 401, never to another), and the user's header fields (for the site's own hosts alone). All of
// it is kept in memory for the copy alone.

#include "common/sitejob.h"
#include "transport/cookiejar.h"
#include "transport/httpauth.h"
#include "transport/httpmessage.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace tw {

class SiteLogin
{
public:
    // Starts a copy with the cookies, name, password and fields of settings, nothing kept of an
    // earlier copy.
    void Begin(const JobSettings &settings);
    // The site whose hosts the password and fields go to: siteHost ("www." left out), over TLS
    // when secure. What the jar holds stays.
    void SetSite(std::string_view siteHost, bool secure);

    // The header lines (each ending in CR LF) of a GET for path of host ("name[:port]"), over
    // TLS when secure; withCredentials tells whether they carry the password.
    std::string FieldsFor(
        std::string_view host, std::string_view path, bool secure, bool &withCredentials);
    // Keeps the cookies answer sets, in answer to a GET for path of host.
    void TakeCookies(
        const HttpResponse &answer, std::string_view host, std::string_view path, bool secure);

    enum class Challenge {
        Unanswered, // not the site's own host, no name given, or no scheme understood
        Answered, // the next request carries the credentials
        AnsweredInClear, // so, the first time Basic goes over plain HTTP: anyone on the way
                         // can read the password
        Refused, // the request carried the credentials, and they were refused
    };
    // A 401 of host to a request that carried the credentials or not: whether the request goes
    // again with them.
    Challenge Answer401(
        const HttpResponse &answer, std::string_view host, bool secure, bool sentCredentials);

    // The site is entered with a cookie or a password: links that would end the session stay
    // unfollowed.
    bool HoldsSession() const { return !m_jar.IsEmpty() || !m_user.empty(); }
    CookieJar &Jar() { return m_jar; }
    const CookieJar &Jar() const { return m_jar; }

private:
    bool IsSiteHost(std::string_view host, bool secure) const;

    CookieJar m_jar;
    std::string m_siteHost;
    bool m_secure = false;
    std::string m_user;
    std::string m_password;
    std::string m_fields;
    // The challenge each host of the site asked with, and how many requests answered it.
    struct Answered
    {
        AuthChallenge challenge;
        unsigned count = 0;
    };
    std::map<std::string, Answered, std::less<>> m_challenges;
    bool m_toldInClear = false;
};

// Seconds since 1970 now (UTC).
std::int64_t SecondsNow();

} // namespace tw
