// Certificates for the certificate-list and expiry-check tests, made in process with OpenSSL (P-256
// keys: quick to make) with validity times to the second relative to the process's start, and their
// placing into the test root's system stores, optionally linked to a key container.
#pragma once

#include <vsk/platform/cert.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ListFixture {

using Der = std::vector<BYTE>;

constexpr long long Hour = 3600;
constexpr long long Day = 24 * Hour;

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

inline Key NewKey() {
    return Key(EVP_EC_gen("P-256"));
}

// "Now" for the times of the certificates: one instant per test process, so that equal offsets give
// equal times (the tests' margins are hours).
inline time_t Now() {
    static const time_t now = time(nullptr);
    return now;
}

// One key for all subjects: the certificates differ by their names, times and serial numbers.
inline EVP_PKEY* SubjectKey() {
    static const Key key = NewKey();
    return key.get();
}

// What a certificate says; times are seconds from now.
struct Spec {
    using Extensions = std::vector<std::pair<std::string, std::string>>;
    Spec(std::string name, long long from = -Day, long long to = 365 * Day, Extensions list = {},
         const EVP_MD* md = nullptr)
        : commonName(std::move(name)),
          notBefore(from),
          notAfter(to),
          extensions(std::move(list)),
          digest(md) {}

    std::string commonName;  // UTF-8
    long long notBefore;
    long long notAfter;
    // Extensions in openssl's configuration form: name and value ("keyUsage", "digitalSignature").
    Extensions extensions;
    // The signature's digest; null: SHA-256.
    const EVP_MD* digest;
};

inline long NextSerial() {
    static long serial = 1000;
    return ++serial;
}

inline X509_NAME* NameOf(const std::string& commonName) {
    X509_NAME* name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("RU"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    return name;
}

inline Der DerOf(X509* certificate) {
    unsigned char* bytes = nullptr;
    const int length = i2d_X509(certificate, &bytes);
    Der der;
    if (length > 0) der.assign(bytes, bytes + length);
    OPENSSL_free(bytes);
    return der;
}

// A certificate of `spec` for the subject key, signed by `issuerKey` under `issuerName` (itself when
// both are null).
inline Der Make(const Spec& spec, X509* issuer = nullptr, EVP_PKEY* issuerKey = nullptr,
                EVP_PKEY* key = nullptr) {
    if (!key) key = SubjectKey();
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), NextSerial());
    X509_NAME* subject = NameOf(spec.commonName);
    X509_set_subject_name(x, subject);
    X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : subject);
    X509_NAME_free(subject);
    time_t base = Now();
    X509_time_adj(X509_getm_notBefore(x), static_cast<long>(spec.notBefore), &base);
    X509_time_adj(X509_getm_notAfter(x), static_cast<long>(spec.notAfter), &base);
    X509_set_pubkey(x, key);
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer ? issuer : x, x, nullptr, nullptr, 0);
    for (const auto& [name, value] : spec.extensions) {
        X509_EXTENSION* extension = X509V3_EXT_conf(nullptr, &context, name.c_str(), value.c_str());
        EXPECT_NE(extension, nullptr) << name;
        if (!extension) continue;
        X509_add_ext(x, extension, -1);
        X509_EXTENSION_free(extension);
    }
    EXPECT_GT(X509_sign(x, issuerKey ? issuerKey : key, spec.digest ? spec.digest : EVP_sha256()), 0);
    Der der = DerOf(x);
    X509_free(x);
    return der;
}

// The private key usage period extension (both bounds, seconds from now) in openssl's configuration
// form; `from` and `to` receive the bounds as times.
inline std::pair<std::string, std::string> PrivateKeyUsagePeriod(long long from, long long to,
                                                                 time_t* fromTime, time_t* toTime) {
    const time_t now = Now();
    *fromTime = now + from;
    *toTime = now + to;
    auto generalized = [](time_t t) {
        tm utc{};
        gmtime_r(&t, &utc);
        char text[16];
        strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &utc);
        return std::string(text, 15);
    };
    const std::string bytes =
        std::string("\x30\x22\x80\x0F", 4) + generalized(*fromTime) + "\x81\x0F" + generalized(*toTime);
    std::string value = "DER";
    static const char digits[] = "0123456789ABCDEF";
    for (unsigned char c : bytes) {
        value += ':';
        value += digits[c >> 4];
        value += digits[c & 15];
    }
    return {"2.5.29.16", value};
}

// A root that issues certificates and CRLs.
class Authority {
public:
    explicit Authority(const std::string& commonName) : m_key(NewKey()) {
        Spec spec{commonName,
                  -2 * Day,
                  3650 * Day,
                  {{"basicConstraints", "critical,CA:TRUE"}, {"keyUsage", "critical,keyCertSign,cRLSign"}}};
        m_der = Make(spec, nullptr, nullptr, m_key.get());
        const unsigned char* p = m_der.data();
        m_cert = d2i_X509(nullptr, &p, static_cast<long>(m_der.size()));
    }
    ~Authority() { X509_free(m_cert); }
    Authority(const Authority&) = delete;
    Authority& operator=(const Authority&) = delete;

    const Der& der() const { return m_der; }
    Der issue(const Spec& spec) const { return Make(spec, m_cert, m_key.get()); }

    // An empty CRL; `nextUpdate` 0 leaves the next update out.
    Der crl(long long thisUpdate, long long nextUpdate) const {
        X509_CRL* crl = X509_CRL_new();
        X509_CRL_set_version(crl, 1);
        X509_CRL_set_issuer_name(crl, X509_get_subject_name(m_cert));
        time_t base = Now();
        ASN1_TIME* time = X509_time_adj(nullptr, static_cast<long>(thisUpdate), &base);
        X509_CRL_set1_lastUpdate(crl, time);
        if (nextUpdate) {
            X509_time_adj(time, static_cast<long>(nextUpdate), &base);
            X509_CRL_set1_nextUpdate(crl, time);
        }
        ASN1_TIME_free(time);
        EXPECT_GT(X509_CRL_sign(crl, m_key.get(), EVP_sha256()), 0);
        unsigned char* bytes = nullptr;
        const int length = i2d_X509_CRL(crl, &bytes);
        Der der;
        if (length > 0) der.assign(bytes, bytes + length);
        OPENSSL_free(bytes);
        X509_CRL_free(crl);
        return der;
    }

private:
    Key m_key;
    Der m_der;
    X509* m_cert = nullptr;
};

// Adds the certificate to a system store of the location; with `container`, the store's copy is
// linked to that key container (which need not exist).
inline void AddToStore(const char16_t* store, const Der& der, const char16_t* container = nullptr,
                       DWORD location = CERT_SYSTEM_STORE_CURRENT_USER) {
    HCERTSTORE h = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, location, store);
    ASSERT_NE(h, nullptr);
    PCCERT_CONTEXT added = nullptr;
    EXPECT_TRUE(CertAddEncodedCertificateToStore(h, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                                 static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS,
                                                 &added));
    if (added && container) {
        CRYPT_KEY_PROV_INFO info{};
        info.pwszContainerName = const_cast<LPWSTR>(reinterpret_cast<const WCHAR*>(container));
        info.pwszProvName = const_cast<LPWSTR>(reinterpret_cast<const WCHAR*>(u"Test Provider"));
        info.dwProvType = 75;
        info.dwKeySpec = 1;
        EXPECT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    }
    CertFreeCertificateContext(added);
    CertCloseStore(h, 0);
}

inline void AddCrlToStore(const char16_t* store, const Der& der) {
    HCERTSTORE h = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, store);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(CertAddEncodedCRLToStore(h, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                         CERT_STORE_ADD_ALWAYS, nullptr));
    CertCloseStore(h, 0);
}

}  // namespace ListFixture
