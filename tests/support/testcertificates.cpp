#include "support/testcertificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <memory>
#include <stdexcept>

namespace tw::test {

namespace {

constexpr long kSecondsPerDay = 24L * 60 * 60;

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

Owned<EVP_PKEY> NewKey()
{
    Owned<EVP_PKEY> key(EVP_EC_gen("P-256"));
    Require(key != nullptr, "key");
    return key;
}

Owned<EVP_PKEY> KeyFromPem(const std::string &pem)
{
    Owned<BIO> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Owned<EVP_PKEY> key(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
    Require(key != nullptr, "key PEM");
    return key;
}

Owned<X509> CertificateFromPem(const std::string &pem)
{
    Owned<BIO> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Owned<X509> certificate(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
    Require(certificate != nullptr, "certificate PEM");
    return certificate;
}

void AddExtension(X509 *certificate, X509 *issuer, int nid, const std::string &value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    Require(extension != nullptr, "extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

std::string AltNames(const std::vector<std::string> &names)
{
    std::string list;
    for (const std::string &name : names) {
        unsigned char address[16];
        const bool ip = inet_pton(AF_INET, name.c_str(), address) == 1
            || inet_pton(AF_INET6, name.c_str(), address) == 1;
        list += (list.empty() ? "" : ",") + std::string(ip ? "IP:" : "DNS:") + name;
    }
    return list;
}

// An unsigned certificate for subjectKey, issued by issuer (by itself when issuer is null).
Owned<X509> NewCertificate(const std::string &commonName, EVP_PKEY *subjectKey, X509 *issuer,
    int validFromDays, int validToDays)
{
    Owned<X509> certificate(X509_new());
    Require(certificate != nullptr, "X509_new");
    X509_set_version(certificate.get(), 2);
    unsigned char serial[8];
    RAND_bytes(serial, sizeof(serial));
    serial[0] &= 0x7f;
    BIGNUM *number = BN_bin2bn(serial, sizeof(serial), nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), validFromDays * kSecondsPerDay);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), validToDays * kSecondsPerDay);
    X509_NAME *name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
        reinterpret_cast<const unsigned char *>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(certificate.get(), subjectKey);
    return certificate;
}

} // namespace

TestAuthority::TestAuthority()
{
    const Owned<EVP_PKEY> key = NewKey();
    const Owned<X509> certificate = NewCertificate("Test Authority", key.get(), nullptr, -1, 3650);
    AddExtension(certificate.get(), certificate.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(
        certificate.get(), certificate.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(certificate.get(), certificate.get(), NID_subject_key_identifier, "hash");
    Require(X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0, "sign");
    m_self.certificatePem
        = ToPem([&](BIO *out) { return PEM_write_bio_X509(out, certificate.get()); });
    m_self.keyPem = ToPem([&](BIO *out) {
        return PEM_write_bio_PrivateKey(out, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
}

TestCertificate TestAuthority::Issue(
    const std::vector<std::string> &names, int validFromDays, int validToDays) const
{
    const Owned<EVP_PKEY> authorityKey = KeyFromPem(m_self.keyPem);
    const Owned<X509> authority = CertificateFromPem(m_self.certificatePem);
    const Owned<EVP_PKEY> key = NewKey();
    const Owned<X509> certificate = NewCertificate(names.empty() ? "server" : names.front(),
        key.get(), authority.get(), validFromDays, validToDays);
    AddExtension(certificate.get(), authority.get(), NID_basic_constraints, "CA:FALSE");
    AddExtension(certificate.get(), authority.get(), NID_ext_key_usage, "serverAuth");
    AddExtension(certificate.get(), authority.get(), NID_authority_key_identifier, "keyid");
    if (!names.empty())
        AddExtension(certificate.get(), authority.get(), NID_subject_alt_name, AltNames(names));
    Require(X509_sign(certificate.get(), authorityKey.get(), EVP_sha256()) > 0, "sign");
    TestCertificate issued;
    issued.certificatePem
        = ToPem([&](BIO *out) { return PEM_write_bio_X509(out, certificate.get()); });
    issued.keyPem = ToPem([&](BIO *out) {
        return PEM_write_bio_PrivateKey(out, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    return issued;
}

} // namespace tw::test
