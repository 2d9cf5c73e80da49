#pragma once

// Answers to a server's 401: its WWW-Authenticate challenges read, and the Authorization field
// that answers one with a name and password (Basic, or Digest with MD5 or SHA-256 and
// qop=auth). Pure: the caller decides where credentials may go.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

struct AuthChallenge
{
    enum class Scheme { Basic, Digest };
    Scheme scheme = Scheme::Basic;
    std::string realm;
    // Digest only.
    std::string nonce;
    std::string opaque;
    bool sha256 = false;
    bool qopAuth = false;
    // The nonce ran out, not the password: a new request with the new nonce may pass.
    bool stale = false;
};

// The challenge to answer among the values of an answer's WWW-Authenticate fields (each may
// hold several): Digest with SHA-256 before Digest with MD5 before Basic; nothing when none is
// understood (another scheme, a Digest without nonce, an algorithm or qop not spoken).
std::optional<AuthChallenge> ChosenChallenge(const std::vector<std::string> &fields);

// The value of a Basic Authorization (or Proxy-Authorization) field: "Basic " and the Base64 of
// "user:password".
std::string BasicCredentials(std::string_view user, std::string_view password);

// The Authorization field's value answering challenge for a GET of uri; count and clientNonce
// are Digest's nonce count and cnonce.
std::string AuthorizationValue(const AuthChallenge &challenge, std::string_view user,
    std::string_view password, std::string_view uri, unsigned count, std::string_view clientNonce);

} // namespace tw
