#include "crawl/sitelogin.h"

#include "common/stringops.h"
#include "transport/siteaddress.h"

#include <QDateTime>
#include <QRandomGenerator>

namespace tw {

namespace {

std::string ClientNonce()
{
    return QString::number(QRandomGenerator::system()->generate64(), 16).toStdString();
}

} // namespace

std::int64_t SecondsNow()
{
    return QDateTime::currentSecsSinceEpoch();
}

void SiteLogin::Begin(const JobSettings &settings)
{
    m_jar.Clear();
    const std::int64_t now = SecondsNow();
    for (const Cookie &cookie : settings.cookies)
        m_jar.Add(cookie, now);
    m_user = settings.user;
    m_password = settings.password;
    m_fields.clear();
    for (const auto &[name, value] : settings.headerFields)
        m_fields.append(name).append(": ").append(value).append("\r\n");
    m_challenges.clear();
    m_toldInClear = false;
}

void SiteLogin::SetSite(std::string_view siteHost, bool secure)
{
    m_siteHost = ToLower(siteHost);
    m_secure = secure;
}

bool SiteLogin::IsSiteHost(std::string_view host, bool secure) const
{
    return secure == m_secure
        && ReplaceAll(ToLower(WithoutTlsPortMark(host)), "www.", "") == m_siteHost;
}

std::string SiteLogin::FieldsFor(
    std::string_view host, std::string_view path, bool secure, bool &withCredentials)
{
    std::string fields;
    if (const std::string cookies
        = m_jar.CookieFieldFor(HostName(host), path, secure, SecondsNow());
        !cookies.empty())
        fields.append("Cookie: ").append(cookies).append("\r\n");
    withCredentials = false;
    if (!IsSiteHost(host, secure))
        return fields;
    fields += m_fields;
    if (const auto asked = m_challenges.find(host); asked != m_challenges.end()) {
        withCredentials = true;
        fields.append("Authorization: ")
            .append(AuthorizationValue(asked->second.challenge, m_user, m_password, path,
                ++asked->second.count, ClientNonce()))
            .append("\r\n");
    }
    return fields;
}

void SiteLogin::TakeCookies(
    const HttpResponse &answer, std::string_view host, std::string_view path, bool secure)
{
    const std::int64_t now = SecondsNow();
    for (const auto &[name, value] : answer.fields) {
        if (name == "set-cookie")
            m_jar.TakeSetCookie(value, HostName(host), path, secure, now);
    }
}

SiteLogin::Challenge SiteLogin::Answer401(
    const HttpResponse &answer, std::string_view host, bool secure, bool sentCredentials)
{
    if (m_user.empty() || !IsSiteHost(host, secure))
        return Challenge::Unanswered;
    std::vector<std::string> offered;
    for (const auto &[name, value] : answer.fields) {
        if (name == "www-authenticate")
            offered.push_back(value);
    }
    const std::optional<AuthChallenge> chosen = ChosenChallenge(offered);
    if (!chosen)
        return sentCredentials ? Challenge::Refused : Challenge::Unanswered;
    // A nonce that ran out is no refusal of the password.
    if (sentCredentials && !chosen->stale)
        return Challenge::Refused;
    m_challenges.insert_or_assign(std::string(host), Answered {*chosen, 0});
    if (secure || chosen->scheme != AuthChallenge::Scheme::Basic || m_toldInClear)
        return Challenge::Answered;
    m_toldInClear = true;
    return Challenge::AnsweredInClear;
}

} // namespace tw
