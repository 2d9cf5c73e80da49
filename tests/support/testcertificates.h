#pragma once

// Certificates made when a test runs: a certificate authority of its own and the server
// certificates it issues, so that no key is ever committed and nothing expires in the repository.

#include <string>
#include <vector>

namespace tw::test {

struct TestCertificate
{
    std::string certificatePem;
    std::string keyPem;
};

class TestAuthority
{
public:
    TestAuthority();

    // The authority's own certificate, to be trusted by the client.
    const std::string &Pem() const { return m_self.certificatePem; }

    // A server certificate for names (host names, or IPv4 addresses), valid from validFromDays to
    // validToDays relative to now (negative: in the past).
    TestCertificate Issue(
        const std::vector<std::string> &names, int validFromDays = -1, int validToDays = 30) const;

private:
    TestCertificate m_self;
};

// The authority the tests trust, made once.
const TestAuthority &TrustedAuthority();

} // namespace tw::test
