#include "support/testcertificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <memory>
#include <random>
#include <stdexcept>

namespace tw::test {

namespace {

struct Freer
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
    void operator()(X509 *certificate) const { X509_free(certificate); }
    void operator()(BIO *bio) const { BIO_free(bio); }
};
template <typename T> using Owned = std::unique_ptr<T, Freer>;

void Require(bool ok, const char *what)
{
    if (!ok)
        throw std::runtime_error(std::string("test certificate: ") + what);
}

template <typename Write> std::string ToPem(Write write)
{
    Owned<BIO> out(BIO_new(BIO_s_mem()));
    Require(out && write(out.get()) == 1, "PEM output");
    char *data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

template <typename T, typename Read> Owned<T> FromPem(const std::string &pem, Read read)
{
    Owned<BIO> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Owned<T> object(read(in.get(), nullptr, nullptr, nullptr));
    Require(object != nullptr, "PEM input");
    return object;
}

// A certificate with a new key for commonName and extensions, signed by issuer and issuerKey
// (by itself when they are null).
TestCertificate Make(const std::string &commonName,
    const std::vector<std::pair<int, std::string>> &extensions, X509 *issuer, EVP_PKEY *issuerKey,
    int validFromDays, int validToDays)
{
    const Owned<EVP_PKEY> key(EVP_EC_gen("P-256"));
    const Owned<X509> certificate(X509_new());
    Require(key && certificate, "new key or certificate");
    X509 *self = certificate.get();
    X509_set_version(self, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(self), static_cast<long>(std::random_device {}() >> 1));
    X509_gmtime_adj(X509_getm_notBefore(self), validFromDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(self), validToDays * 86400L);
    X509_NAME *name = X509_get_subject_name(self);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
        reinterpret_cast<const unsigned char *>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(self, issuer ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(self, key.get());
    for (const auto &[nid, value] : extensions) {
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, issuer ? issuer : self, self, nullptr, nullptr, 0);
        X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
        Require(extension != nullptr, "extension");
        X509_add_ext(self, extension, -1);
        X509_EXTENSION_free(extension);
    }
    Require(X509_sign(self, issuerKey ? issuerKey : key.get(), EVP_sha256()) > 0, "sign");
    return {ToPem([&](BIO *out) { return PEM_write_bio_X509(out, self); }), ToPem([&](BIO *out) {
                return PEM_write_bio_PrivateKey(
                    out, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
            })};
}

} // namespace

TestAuthority::TestAuthority()
    : m_self(Make("Test Authority",
        {{NID_basic_constraints, "critical,CA:TRUE"},
            {NID_key_usage, "critical,keyCertSign,cRLSign"}, {NID_subject_key_identifier, "hash"}},
        nullptr, nullptr, -1, 3650))
{
}

TestCertificate TestAuthority::Issue(
    const std::vector<std::string> &names, int validFromDays, int validToDays) const
{
    std::vector<std::pair<int, std::string>> extensions = {{NID_basic_constraints, "CA:FALSE"},
        {NID_ext_key_usage, "serverAuth"}, {NID_authority_key_identifier, "keyid"}};
    std::string altNames;
    for (const std::string &name : names) {
        const bool ip = name.find_first_not_of("0123456789.") == std::string::npos;
        altNames += (altNames.empty() ? "" : ",") + std::string(ip ? "IP:" : "DNS:") + name;
    }
    extensions.emplace_back(NID_subject_alt_name, altNames);
    const auto authority = FromPem<X509>(m_self.certificatePem, PEM_read_bio_X509);
    const auto authorityKey = FromPem<EVP_PKEY>(m_self.keyPem, PEM_read_bio_PrivateKey);
    return Make(
        names.front(), extensions, authority.get(), authorityKey.get(), validFromDays, validToDays);
}

const TestAuthority &TrustedAuthority()
{
    static const TestAuthority authority;
    return authority;
}

} // namespace tw::test
