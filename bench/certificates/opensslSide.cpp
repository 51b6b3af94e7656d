// The OpenSSL side of the certificate listing bench: making the certificate sets, and listing a store
// folder's certificate files with OpenSSL. Kept apart from the library side, whose platform declarations
// reuse names that OpenSSL's headers declare too. The GOST engine is loaded through the ENGINE interface,
// deprecated in OpenSSL 3 but the only one the engine offers.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "benchSets.h"

#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench_certificates: %s failed\n", what);
    std::exit(1);
}

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

namespace {

bool readWhole(const std::string& path, std::vector<unsigned char>& out) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    out.clear();
    unsigned char buffer[8192];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) out.insert(out.end(), buffer, buffer + n);
    std::fclose(file);
    return true;
}

uint32_t u32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The certificate element (id 0x20) of a serialized element: records of id, encoding, length, value.
bool certificateOf(const std::vector<unsigned char>& data, const unsigned char*& der, size_t& size) {
    size_t pos = 0;
    while (data.size() - pos >= 12) {
        const uint32_t id = u32(&data[pos]), length = u32(&data[pos + 8]);
        pos += 12;
        if (length > data.size() - pos) return false;
        if (id == 0x20) {
            der = &data[pos];
            size = length;
            return true;
        }
        pos += length;
    }
    return false;
}

long long seconds(const ASN1_TIME* time) {
    tm t{};
    if (!ASN1_TIME_to_tm(time, &t)) fail("ASN1_TIME_to_tm");
    return static_cast<long long>(timegm(&t));
}

bool thumbprintName(const char* name) {
    if (std::strlen(name) != 40) return false;
    for (const char* p = name; *p; ++p)
        if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
    return true;
}

}  // namespace

const char* OpenSslWork() {
    return "read each element file of the store folder, d2i_X509, X509_digest SHA-1 as hex text, subject "
           "and issuer as text (X509_NAME_oneline), both times (ASN1_TIME_to_tm); rows kept";
}

void OpenSslListFolder(const std::string& folder, std::vector<OpenSslRow>& rows) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (!dir) fail("opening the store folder");
    while (dirent* entry = readdir(dir))
        if (thumbprintName(entry->d_name)) names.emplace_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    std::vector<unsigned char> data;
    char text[512];
    static const char hex[] = "0123456789ABCDEF";
    for (const std::string& name : names) {
        if (!readWhole(folder + "/" + name, data)) fail("reading an element file");
        const unsigned char* p = nullptr;
        size_t size = 0;
        if (!certificateOf(data, p, size)) fail("finding the certificate in an element file");
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(size));
        if (!x) fail("d2i_X509");
        OpenSslRow row;
        unsigned char sha1[EVP_MAX_MD_SIZE];
        unsigned int sha1Length = 0;
        if (!X509_digest(x, EVP_sha1(), sha1, &sha1Length)) fail("X509_digest");
        row.thumbprint.resize(sha1Length * 2);
        for (unsigned int i = 0; i < sha1Length; ++i) {
            row.thumbprint[2 * i] = hex[sha1[i] >> 4];
            row.thumbprint[2 * i + 1] = hex[sha1[i] & 15];
        }
        row.subject = X509_NAME_oneline(X509_get_subject_name(x), text, sizeof text);
        row.issuer = X509_NAME_oneline(X509_get_issuer_name(x), text, sizeof text);
        row.notBefore = seconds(X509_get0_notBefore(x));
        row.notAfter = seconds(X509_get0_notAfter(x));
        rows.push_back(std::move(row));
        X509_free(x);
    }
}
