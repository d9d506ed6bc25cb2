#include "support/TestCertificates.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

KeyPtr NewKey() {
    // EC keys: generated in microseconds, unlike RSA.
    return KeyPtr(EVP_EC_gen("P-256"), &EVP_PKEY_free);
}

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext)
        return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// A certificate for `commonName` with `key`; signed by `issuerKey` as `issuer`, or self-signed when
// `issuer` is null.
CertPtr MakeCert(const char* commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, bool isCa,
                 const char* altNames) {
    CertPtr cert(X509_new(), &X509_free);
    if (!cert)
        return cert;
    unsigned char serial[8];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool serialOk = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_NAME* name = X509_get_subject_name(cert.get());
    bool ok =
        serialOk && X509_set_version(cert.get(), 2) == 1 &&
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) &&
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400) &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0) == 1 &&
        X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name) == 1 &&
        X509_set_pubkey(cert.get(), key) == 1;
    X509* signer = issuer ? issuer : cert.get();
    ok = ok && AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    ok = ok && AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    if (isCa) {
        ok = ok && AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        ok = ok && AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        ok = ok && AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        ok = ok && AddExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
        ok = ok && AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    }
    if (altNames)
        ok = ok && AddExtension(cert.get(), signer, NID_subject_alt_name, altNames);
    ok = ok && X509_sign(cert.get(), issuer ? issuerKey : key, EVP_sha256()) > 0;
    if (!ok)
        cert.reset();
    return cert;
}

std::string CertPem(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    std::string pem;
    if (bio && PEM_write_bio_X509(bio, cert) == 1) {
        char* data = nullptr;
        const long n = BIO_get_mem_data(bio, &data);
        pem.assign(data, size_t(n));
    }
    BIO_free(bio);
    return pem;
}

std::string KeyPem(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    std::string pem;
    if (bio && PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
        char* data = nullptr;
        const long n = BIO_get_mem_data(bio, &data);
        pem.assign(data, size_t(n));
    }
    BIO_free(bio);
    return pem;
}

TestCertificates Make() {
    TestCertificates set;
    KeyPtr caKey = NewKey();
    KeyPtr serverKey = NewKey();
    KeyPtr selfKey = NewKey();
    if (!caKey || !serverKey || !selfKey) {
        set.error = "cannot generate EC keys";
        return set;
    }
    CertPtr ca = MakeCert("Nimbo Test CA", caKey.get(), nullptr, nullptr, true, nullptr);
    if (!ca) {
        set.error = "cannot make the test CA";
        return set;
    }
    // The name and the loopback address the TLS listener is reached by; any other name or address
    // in a URL fails verification.
    const char* const names = "DNS:localhost,IP:127.0.0.1";
    CertPtr server = MakeCert("localhost", serverKey.get(), ca.get(), caKey.get(), false, names);
    CertPtr self = MakeCert("localhost", selfKey.get(), nullptr, nullptr, false, names);
    if (!server || !self) {
        set.error = "cannot make the server certificates";
        return set;
    }
    set.caPem = CertPem(ca.get());
    set.serverCertPem = CertPem(server.get());
    set.serverKeyPem = KeyPem(serverKey.get());
    set.selfSignedPem = CertPem(self.get());
    set.selfSignedKeyPem = KeyPem(selfKey.get());
    if (set.caPem.empty() || set.serverKeyPem.empty() || set.selfSignedKeyPem.empty())
        set.error = "cannot write the certificates as PEM";
    return set;
}

} // namespace

const TestCertificates& TestCertificates::Get() {
    static const TestCertificates set = Make();
    return set;
}
