// Verifying the chains of many certificates with revocation from installed CRLs, against
// `openssl verify -crl_check` on the same files in one run.
//
// For each key kind (GOST R 34.10-2012 256 and 512, RSA-2048) a hierarchy is made with OpenSSL's API
// in a temporary root: a root, an intermediate, `--count` leaves of the intermediate (every tenth one
// revoked) and the intermediate's CRL. The root goes into the user's ROOT store, the intermediate and
// the CRL into CA, the leaves into MY; the same certificates and CRL are written as PEM files.
//   library: for every leaf of the MY store, CertGetCertificateChain (revocation of the end
//            certificate, cached data only), CertVerifyCertificateChainPolicy with the GOST signature
//            policy, CertFreeCertificateChain;
//   OpenSSL: one `openssl verify [-engine gost] -no-CApath -CAfile root.pem -untrusted inter.pem
//            -CRLfile inter.crl -crl_check <every leaf file>` process.
// Both sides must find the same number of revoked leaves. CPU time (this process's for the library,
// the child's for OpenSSL: robust on a loaded machine). The library's first round is the one to
// compare: it reads the stores and verifies every signature once, as the OpenSSL run does; the later
// rounds find the signatures verified before (the chain engine keeps them) and are shown apart. The
// OpenSSL time is the median of its runs and includes its process start, given apart (one leaf).
//   bench_chains [--count N] [--rounds N]
#include "tempRoot.h"

#include <vsk/platform/cert.h>
#include <vsk/platform/kernel.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench_chains: %s failed (0x%08lx)\n", what,
                 static_cast<unsigned long>(GetLastError()));
    std::exit(1);
}

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// CPU time of the children that have ended.
double childSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Kind {
    const char* name;
    const char* folder;
    int nid;  // 0: RSA
    const char* digest;
};

const Kind Kinds[] = {
    {"GOST R 34.10-2012 256", "g256", NID_id_GostR3410_2012_256, "md_gost12_256"},
    {"GOST R 34.10-2012 512", "g512", NID_id_GostR3410_2012_512, "md_gost12_512"},
    {"RSA-2048", "rsa", 0, "SHA256"},
};

EVP_PKEY* makeKey(const Kind& kind) {
    if (!kind.nid) {
        EVP_PKEY* key = EVP_RSA_gen(2048);
        if (!key) fail("RSA key generation");
        return key;
    }
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(kind.nid, nullptr);
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx) <= 0 || EVP_PKEY_CTX_ctrl_str(ctx, "paramset", "A") <= 0 ||
        EVP_PKEY_keygen(ctx, &key) <= 0)
        fail("GOST key generation");
    EVP_PKEY_CTX_free(ctx);
    return key;
}

X509_NAME* commonName(const std::string& text) {
    X509_NAME* n = X509_NAME_new();
    X509_NAME_add_entry_by_txt(n, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(text.c_str()),
                               -1, -1, 0);
    return n;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX v3{};
    X509V3_set_ctx(&v3, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    if (!ext || !X509_add_ext(cert, ext, -1)) fail("adding an extension");
    X509_EXTENSION_free(ext);
}

// `issuer` null: self-signed.
X509* makeCertificate(const std::string& subject, long serial, EVP_PKEY* key, X509* issuer,
                      EVP_PKEY* issuerKey, bool ca, const EVP_MD* md) {
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
    X509_NAME* name = commonName(subject);
    X509_set_subject_name(x, name);
    X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name);
    X509_NAME_free(name);
    X509_gmtime_adj(X509_getm_notBefore(x), -86400);
    X509_gmtime_adj(X509_getm_notAfter(x), 365L * 86400);
    X509_set_pubkey(x, key);
    addExtension(x, issuer ? issuer : x, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    addExtension(x, issuer ? issuer : x, NID_key_usage,
                 ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,nonRepudiation");
    if (!X509_sign(x, issuerKey ? issuerKey : key, md)) fail("signing a certificate");
    return x;
}

Bytes der(X509* x) {
    unsigned char* p = nullptr;
    const int n = i2d_X509(x, &p);
    Bytes out(p, p + n);
    OPENSSL_free(p);
    return out;
}

void writePem(const std::string& path, X509* x) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f || !PEM_write_X509(f, x)) fail("writing a certificate");
    std::fclose(f);
}

HCERTSTORE openUserStore(const char16_t* name) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name);
    if (!store) fail("CertOpenStore");
    return store;
}

void addCertificate(HCERTSTORE store, const Bytes& encoded) {
    if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, encoded.data(),
                                          static_cast<DWORD>(encoded.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                          nullptr))
        fail("CertAddEncodedCertificateToStore");
}

// Makes the hierarchy of one kind: stores of the current root's user, and PEM files in `folder`.
void makeHierarchy(const Kind& kind, int count, const std::string& folder) {
    const EVP_MD* md = EVP_get_digestbyname(kind.digest);
    if (!md) fail("finding the digest");
    EVP_PKEY* rootKey = makeKey(kind);
    EVP_PKEY* interKey = makeKey(kind);
    EVP_PKEY* leafKey = makeKey(kind);
    X509* root =
        makeCertificate(std::string("Bench Root ") + kind.folder, 1, rootKey, nullptr, nullptr, true, md);
    X509* inter =
        makeCertificate(std::string("Bench Inter ") + kind.folder, 2, interKey, root, rootKey, true, md);
    std::filesystem::create_directories(folder + "/leaves");
    writePem(folder + "/root.pem", root);
    writePem(folder + "/inter.pem", inter);

    HCERTSTORE rootStore = openUserStore(u"ROOT");
    HCERTSTORE caStore = openUserStore(u"CA");
    HCERTSTORE myStore = openUserStore(u"MY");
    addCertificate(rootStore, der(root));
    addCertificate(caStore, der(inter));

    X509_CRL* crl = X509_CRL_new();
    X509_CRL_set_version(crl, 1);
    X509_CRL_set_issuer_name(crl, X509_get_subject_name(inter));
    ASN1_TIME* lastUpdate = X509_gmtime_adj(nullptr, -3600);
    ASN1_TIME* nextUpdate = X509_gmtime_adj(nullptr, 30L * 86400);
    X509_CRL_set1_lastUpdate(crl, lastUpdate);
    X509_CRL_set1_nextUpdate(crl, nextUpdate);
    for (int i = 0; i < count; ++i) {
        const long serial = 100000 + i;
        X509* leaf =
            makeCertificate("Bench Leaf " + std::to_string(i), serial, leafKey, inter, interKey, false, md);
        char name[32];
        std::snprintf(name, sizeof name, "/leaves/l%05d.pem", i);
        writePem(folder + name, leaf);
        addCertificate(myStore, der(leaf));
        X509_free(leaf);
        if (i % 10 == 9) {
            X509_REVOKED* revoked = X509_REVOKED_new();
            ASN1_INTEGER* number = ASN1_INTEGER_new();
            ASN1_INTEGER_set(number, serial);
            X509_REVOKED_set_serialNumber(revoked, number);
            X509_REVOKED_set_revocationDate(revoked, lastUpdate);
            X509_CRL_add0_revoked(crl, revoked);
            ASN1_INTEGER_free(number);
        }
    }
    X509_CRL_sort(crl);
    if (!X509_CRL_sign(crl, interKey, md)) fail("signing the CRL");
    FILE* f = std::fopen((folder + "/inter.crl").c_str(), "w");
    if (!f || !PEM_write_X509_CRL(f, crl)) fail("writing the CRL");
    std::fclose(f);
    unsigned char* p = nullptr;
    const int n = i2d_X509_CRL(crl, &p);
    if (!CertAddEncodedCRLToStore(caStore, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, p, static_cast<DWORD>(n),
                                  CERT_STORE_ADD_ALWAYS, nullptr))
        fail("CertAddEncodedCRLToStore");
    OPENSSL_free(p);

    CertCloseStore(rootStore, 0);
    CertCloseStore(caStore, 0);
    CertCloseStore(myStore, 0);
    ASN1_TIME_free(lastUpdate);
    ASN1_TIME_free(nextUpdate);
    X509_CRL_free(crl);
    X509_free(inter);
    X509_free(root);
    EVP_PKEY_free(leafKey);
    EVP_PKEY_free(interKey);
    EVP_PKEY_free(rootKey);
}

// One round of the library: every leaf of MY; returns the number found revoked.
int libraryRound(int& good) {
    HCERTSTORE my = openUserStore(u"MY");
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.dwUrlRetrievalTimeout = 1;
    const DWORD flags = CERT_CHAIN_REVOCATION_CHECK_END_CERT | CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY |
                        CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
    int revoked = 0;
    good = 0;
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(my, cert))) {
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        if (!CertGetCertificateChain(nullptr, cert, nullptr, nullptr, &para, flags, nullptr, &chain))
            fail("CertGetCertificateChain");
        CERT_CHAIN_POLICY_PARA policyPara{sizeof policyPara, 0x10000, nullptr};
        CPSIGNATURE_EXTRA_CERT_CHAIN_POLICY_STATUS extra{sizeof extra, 0, nullptr};
        CERT_CHAIN_POLICY_STATUS status{sizeof status, 0, 0, 0, &extra};
        if (!CertVerifyCertificateChainPolicy(CPCERT_CHAIN_POLICY_SIGNATURE, chain, &policyPara, &status))
            fail("CertVerifyCertificateChainPolicy");
        if (status.dwError == CRYPT_E_REVOKED) ++revoked;
        if (status.dwError == 0 && extra.dwError == 0) ++good;
        CertFreeCertificateChain(chain);
    }
    CertCloseStore(my, 0);
    return revoked;
}

struct OpenSslRun {
    double seconds = 0;
    int ok = 0;
    int revoked = 0;
};

OpenSslRun opensslVerify(const Kind& kind, const std::string& folder, const std::string& leaves) {
    const std::string command =
        "cd '" + folder + "' && openssl verify " + (kind.nid ? "-engine gost " : "") +
        "-no-CApath -CAfile root.pem -untrusted inter.pem -CRLfile inter.crl -crl_check " + leaves + " 2>&1";
    OpenSslRun run;
    const double start = childSeconds();
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) fail("popen");
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) {
        if (std::strstr(line, ": OK")) ++run.ok;
        if (std::strstr(line, "lookup: certificate revoked")) ++run.revoked;
    }
    pclose(pipe);
    run.seconds = childSeconds() - start;
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    int count = 1000;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--count"))
            count = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    const std::filesystem::path root = VskTest::EnterProcessRoot("kestrovan-bench-");
    if (!LoadGostEngine()) {
        std::fprintf(stderr, "the GOST engine is missing\n");
        return 1;
    }
    std::printf(
        "Chains of %d leaves (root, intermediate, leaf; every tenth leaf revoked), revocation of the end\n"
        "certificate from installed CRLs; CPU time over %d interleaved rounds:\n",
        count, rounds);
    std::printf("%-24s %10s %10s %12s %12s %8s\n", "kind", "library", "again", "openssl", "(start)", "ratio");
    for (const Kind& kind : Kinds) {
        // A user of its own per kind: the stores hold one hierarchy each.
        const std::string folder = (root / "bench" / kind.folder).string();
        setenv("KESTROVAN_USER_DIR", (folder + "/user").c_str(), 1);
        makeHierarchy(kind, count, folder);

        std::vector<double> again, openssl;
        double first = 0, start = 0;
        for (int round = 0; round < rounds; ++round) {
            int good = 0;
            const double t0 = cpuSeconds();
            const int revoked = libraryRound(good);
            const double spent = cpuSeconds() - t0;
            if (round == 0)
                first = spent;
            else
                again.push_back(spent);
            const OpenSslRun run = opensslVerify(kind, folder, "leaves/*.pem");
            openssl.push_back(run.seconds);
            if (revoked != run.revoked || good != run.ok || revoked != count / 10) {
                std::fprintf(stderr, "%s: the library found %d revoked and %d good, openssl %d and %d\n",
                             kind.name, revoked, good, run.revoked, run.ok);
                return 1;
            }
            start += opensslVerify(kind, folder, "leaves/l00000.pem").seconds / rounds;
        }
        const double theirs = median(openssl);
        std::printf("%-24s %9.3fs %9.3fs %11.3fs %11.3fs %7.2fx\n", kind.name, first,
                    again.empty() ? 0.0 : median(again), theirs, start, first / theirs);
    }
    std::printf(
        "library: first round; again: median of the later ones; ratio: library / openssl (below 1: the\n"
        "library is faster); (start): an openssl run on one leaf\n");
    return 0;
}
