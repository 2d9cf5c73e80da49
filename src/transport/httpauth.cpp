#include "transport/httpauth.h"

#include "common/stringops.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <array>
#include <cstdio>
#include <utility>

namespace tw {

namespace {

using Params = std::vector<std::pair<std::string, std::string>>;
struct RawChallenge
{
    std::string scheme;
    Params params;
};

bool IsTokenChar(char c)
{
    return c > ' ' && c < 0x7f && c != ',' && c != '=' && c != '"' && c != ';';
}

void SkipWhite(std::string_view text, std::size_t &at)
{
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        ++at;
}

std::string Token(std::string_view text, std::size_t &at)
{
    const std::size_t start = at;
    while (at < text.size() && IsTokenChar(text[at]))
        ++at;
    return std::string(text.substr(start, at - start));
}

std::string QuotedOrToken(std::string_view text, std::size_t &at)
{
    if (at >= text.size() || text[at] != '"')
        return Token(text, at);
    std::string value;
    for (++at; at < text.size() && text[at] != '"'; ++at) {
        if (text[at] == '\\' && at + 1 < text.size())
            ++at;
        value += text[at];
    }
    ++at;
    return value;
}

// The challenges of one field: "Basic realm=\"a\", Digest realm=\"b\", nonce=\"c\"".
std::vector<RawChallenge> ChallengesOf(std::string_view text)
{
    std::vector<RawChallenge> challenges;
    std::size_t at = 0;
    while (at < text.size()) {
        SkipWhite(text, at);
        const std::size_t before = at;
        std::string token = Token(text, at);
        SkipWhite(text, at);
        if (!token.empty() && at < text.size() && text[at] == '=') {
            // A parameter of the challenge before it (a token68 is passed over).
            ++at;
            SkipWhite(text, at);
            std::string value = QuotedOrToken(text, at);
            if (!challenges.empty())
                challenges.back().params.emplace_back(ToLower(token), std::move(value));
        } else if (!token.empty()) {
            challenges.push_back({ToLower(token), {}});
        }
        SkipWhite(text, at);
        // A separator, or a character no challenge holds, is passed over.
        const bool stuck = at == before || (at < text.size() && !IsTokenChar(text[at]));
        if (stuck || (at < text.size() && text[at] == ','))
            ++at;
    }
    return challenges;
}

std::string ParamOf(const Params &params, std::string_view name)
{
    for (const auto &[key, value] : params) {
        if (key == name)
            return value;
    }
    return {};
}

std::optional<AuthChallenge> Understood(const RawChallenge &raw)
{
    AuthChallenge challenge {.realm = ParamOf(raw.params, "realm")};
    if (raw.scheme == "basic")
        return challenge;
    if (raw.scheme != "digest")
        return std::nullopt;
    challenge.scheme = AuthChallenge::Scheme::Digest;
    challenge.nonce = ParamOf(raw.params, "nonce");
    challenge.opaque = ParamOf(raw.params, "opaque");
    challenge.stale = EqualsNoCase(ParamOf(raw.params, "stale"), "true");
    const std::string algorithm = ToLower(ParamOf(raw.params, "algorithm"));
    challenge.sha256 = algorithm == "sha-256";
    const std::string qop = ToLower(ParamOf(raw.params, "qop"));
    for (std::size_t at = 0; at <= qop.size();) {
        const std::size_t end = std::min(qop.find(',', at), qop.size());
        if (Trim(qop.substr(at, end - at)) == "auth")
            challenge.qopAuth = true;
        at = end + 1;
    }
    if (challenge.nonce.empty() || (!algorithm.empty() && algorithm != "md5" && !challenge.sha256)
        || (!qop.empty() && !challenge.qopAuth))
        return std::nullopt;
    return challenge;
}

int Strength(const AuthChallenge &challenge)
{
    if (challenge.scheme == AuthChallenge::Scheme::Basic)
        return 0;
    return challenge.sha256 ? 2 : 1;
}

std::string Hex(std::string_view text, bool sha256)
{
    return QCryptographicHash::hash(QByteArray(text.data(), qsizetype(text.size())),
        sha256 ? QCryptographicHash::Sha256 : QCryptographicHash::Md5)
        .toHex()
        .toStdString();
}

std::string Quoted(std::string_view text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

} // namespace

std::optional<AuthChallenge> ChosenChallenge(const std::vector<std::string> &fields)
{
    std::optional<AuthChallenge> chosen;
    for (const std::string &field : fields) {
        for (const RawChallenge &raw : ChallengesOf(field)) {
            const std::optional<AuthChallenge> challenge = Understood(raw);
            if (challenge && (!chosen || Strength(*challenge) > Strength(*chosen)))
                chosen = challenge;
        }
    }
    return chosen;
}

std::string BasicCredentials(std::string_view user, std::string_view password)
{
    const std::string pair = std::string(user) + ':' + std::string(password);
    return "Basic " + QByteArray(pair.data(), qsizetype(pair.size())).toBase64().toStdString();
}

std::string AuthorizationValue(const AuthChallenge &challenge, std::string_view user,
    std::string_view password, std::string_view uri, unsigned count, std::string_view clientNonce)
{
    if (challenge.scheme == AuthChallenge::Scheme::Basic)
        return BasicCredentials(user, password);
    const bool sha = challenge.sha256;
    const std::string known
        = Hex(std::string(user) + ':' + challenge.realm + ':' + std::string(password), sha);
    const std::string asked = Hex("GET:" + std::string(uri), sha);
    std::array<char, 9> countText {};
    std::snprintf(countText.data(), countText.size(), "%08x", count);
    const std::string response = challenge.qopAuth
        ? Hex(known + ':' + challenge.nonce + ':' + countText.data() + ':'
                + std::string(clientNonce) + ":auth:" + asked,
            sha)
        : Hex(known + ':' + challenge.nonce + ':' + asked, sha);
    std::string value = "Digest username=" + Quoted(user) + ", realm=" + Quoted(challenge.realm)
        + ", nonce=" + Quoted(challenge.nonce) + ", uri=" + Quoted(uri)
        + ", algorithm=" + (sha ? "SHA-256" : "MD5") + ", response=" + Quoted(response);
    if (challenge.qopAuth)
        value += std::string(", qop=auth, nc=") + countText.data()
            + ", cnonce=" + Quoted(clientNonce);
    if (!challenge.opaque.empty())
        value += ", opaque=" + Quoted(challenge.opaque);
    return value;
}

} // namespace tw
