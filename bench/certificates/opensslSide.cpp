// The OpenSSL side of the certificate listing bench: making the certificate sets and the d2i_X509
// loop. Kept apart from the library side, whose platform declarations reuse names that OpenSSL's
// headers declare too.
// The GOST engine is loaded through the ENGINE interface, deprecated in OpenSSL 3 but the only one
// the engine offers.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "benchSets.h"

#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench_certificates: %s failed\n", what);
    std::exit(1);
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

volatile size_t sink = 0;

struct KeySet {
    const char* label;
    EVP_PKEY* authority = nullptr;
    EVP_PKEY* subject = nullptr;
    const EVP_MD* digest = nullptr;
};

EVP_PKEY* rsaKey() {
    EVP_PKEY* key = EVP_RSA_gen(2048);
    if (!key) fail("RSA key generation");
    return key;
}

EVP_PKEY* gostKey() {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(NID_id_GostR3410_2012_256, nullptr);
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx) <= 0 || EVP_PKEY_CTX_ctrl_str(ctx, "paramset", "A") <= 0 ||
        EVP_PKEY_keygen(ctx, &key) <= 0)
        fail("GOST key generation (is the gost engine installed?)");
    EVP_PKEY_CTX_free(ctx);
    return key;
}

void loadGostEngine() {
    ENGINE_load_builtin_engines();
    ENGINE* engine = ENGINE_by_id("gost");
    if (!engine || !ENGINE_init(engine) || !ENGINE_set_default(engine, ENGINE_METHOD_ALL))
        fail("loading the gost engine");
}

X509_NAME* name(const std::string& commonName, const char* organisation) {
    X509_NAME* n = X509_NAME_new();
    X509_NAME_add_entry_by_txt(n, "C", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("RU"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(n, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(organisation),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(n, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    return n;
}

std::vector<Der> makeCertificatesWith(const KeySet& keys, int count) {
    std::vector<Der> out;
    out.reserve(static_cast<size_t>(count));
    X509_NAME* issuer = name(std::string(keys.label) + " Bench Root", "Bench Authority");
    for (int i = 0; i < count; ++i) {
        X509* x = X509_new();
        X509_set_version(x, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x), 100000 + i);
        X509_set_issuer_name(x, issuer);
        X509_NAME* subject = name("Bench User " + std::to_string(i), "Bench Users");
        X509_set_subject_name(x, subject);
        X509_NAME_free(subject);
        X509_gmtime_adj(X509_getm_notBefore(x), 0);
        X509_gmtime_adj(X509_getm_notAfter(x), 365L * 24 * 3600);
        X509_set_pubkey(x, keys.subject);
        if (!X509_sign(x, keys.authority, keys.digest)) fail("signing");
        unsigned char* der = nullptr;
        const int length = i2d_X509(x, &der);
        if (length <= 0) fail("encoding");
        out.emplace_back(der, der + length);
        OPENSSL_free(der);
        X509_free(x);
    }
    X509_NAME_free(issuer);
    return out;
}

}  // namespace

std::vector<Der> MakeCertificates(SetKind kind, int count) {
    static bool engineLoaded = false;
    if (!engineLoaded) {
        loadGostEngine();
        engineLoaded = true;
    }
    KeySet keys;
    if (kind == SetKind::Rsa) {
        keys = {"RSA-2048", rsaKey(), rsaKey(), EVP_sha256()};
    } else {
        keys = {"GOST-2012-256", gostKey(), gostKey(), EVP_get_digestbyname("md_gost12_256")};
    }
    if (!keys.digest) fail("finding the digest");
    std::vector<Der> out = makeCertificatesWith(keys, count);
    EVP_PKEY_free(keys.authority);
    EVP_PKEY_free(keys.subject);
    return out;
}

double OpenSslLoop(const std::vector<Der>& certificates) {
    const double start = now();
    size_t total = 0;
    char text[512];
    for (const auto& der : certificates) {
        const unsigned char* p = der.data();
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        if (!x) fail("d2i_X509");
        unsigned char sha1[EVP_MAX_MD_SIZE];
        unsigned int sha1Length = 0;
        X509_digest(x, EVP_sha1(), sha1, &sha1Length);
        total += sha1Length;
        total += std::strlen(X509_NAME_oneline(X509_get_subject_name(x), text, sizeof text));
        total += std::strlen(X509_NAME_oneline(X509_get_issuer_name(x), text, sizeof text));
        tm t{};
        ASN1_TIME_to_tm(X509_get0_notBefore(x), &t);
        total += static_cast<size_t>(t.tm_year & 1);
        ASN1_TIME_to_tm(X509_get0_notAfter(x), &t);
        total += static_cast<size_t>(t.tm_year & 1);
        X509_free(x);
    }
    sink = sink + total;
    return now() - start;
}
