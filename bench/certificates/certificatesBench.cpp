// Listing a system store of 10,000 certificates into certificate objects, reading each one's
// thumbprint, subject, issuer and validity, against an OpenSSL loop that decodes the same
// certificates with d2i_X509 and reads the same four things. One RSA-2048 set and one GOST
// R 34.10-2012 (256) set, made once at start with OpenSSL's API (one subject key per set, each
// certificate signed by the set's authority) and added to a user store of the temporary root.
//   bench_certificates [--count N] [--rounds N]
// Prints the best round of each side and the ratio OpenSSL time / listing time.
#include "benchSets.h"

#include "tempRoot.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/Store.h>
#include <vsk/platform/cert.h>
#include <vsk/utils/array.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using Vsk::PKI::CCertificate;
using Vsk::PKI::CStore;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench_certificates: %s failed\n", what);
    std::exit(1);
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void fillStore(const char16_t* storeName, const std::vector<Der>& certificates) {
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, storeName);
    if (!store) fail("opening the bench store");
    for (const auto& der : certificates)
        if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                              static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, nullptr))
            fail("adding to the bench store");
    CertCloseStore(store, 0);
}

// Keeps the compiler from dropping work whose results are not otherwise used.
volatile size_t sink = 0;

// Seconds spent in each phase of the best listing round.
struct Phases {
    double open = 0, list = 0, thumbprint = 0, names = 0, validity = 0;
    double total() const { return open + list + thumbprint + names + validity; }
};

Phases listStore(const char16_t* storeName, size_t expected) {
    Phases phases;
    double t = now();
    CStore store;
    store.Open(storeName, CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG);
    phases.open = now() - t;
    t = now();
    Vsk::Utils::CArray<CCertificate> certificates;
    store.GetCertificates(&certificates);
    phases.list = now() - t;
    size_t total = 0;
    t = now();
    for (const CCertificate& cert : certificates) total += cert.get_Thumbprint().getLength();
    phases.thumbprint = now() - t;
    t = now();
    for (const CCertificate& cert : certificates)
        total += cert.get_SubjectName().getLength() + cert.get_IssuerName().getLength();
    phases.names = now() - t;
    t = now();
    for (const CCertificate& cert : certificates)
        total += (cert.get_NotBefore().dwLowDateTime & 1) + (cert.get_NotAfter().dwLowDateTime & 1);
    phases.validity = now() - t;
    if (certificates.getCount() != expected) fail("listing the bench store");
    sink = sink + total;
    return phases;
}

}  // namespace

int main(int argc, char** argv) {
    int count = 10000, rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--count")) count = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
    }
    if (count <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_certificates [--count N] [--rounds N]\n");
        return 2;
    }
    VskTest::EnterProcessRoot("kestrovan-bench-");
    const struct {
        SetKind kind;
        const char* label;
        const char16_t* store;
    } sets[] = {{SetKind::Rsa, "RSA-2048", u"BenchRsa"}, {SetKind::Gost, "GOST-2012-256", u"BenchGost"}};
    for (const auto& set : sets) {
        double t = now();
        const std::vector<Der> certificates = MakeCertificates(set.kind, count);
        const double made = now() - t;
        t = now();
        fillStore(set.store, certificates);
        const double filled = now() - t;
        Phases bestPhases;
        double best = 1e30, bestOpenSsl = 1e30;
        for (int r = 0; r < rounds; ++r) {
            const Phases phases = listStore(set.store, certificates.size());
            if (phases.total() < best) {
                best = phases.total();
                bestPhases = phases;
            }
            bestOpenSsl = std::min(bestOpenSsl, OpenSslLoop(certificates));
        }
        std::printf("%-14s %d certificates (made in %.1f s, stored in %.1f s)\n", set.label, count, made,
                    filled);
        std::printf("  store listing into certificate objects: %8.1f ms  (%.1f us per certificate)\n",
                    best * 1e3, best * 1e6 / count);
        std::printf(
            "    open %.1f ms, certificate objects %.1f ms, thumbprints %.1f ms, names %.1f ms, validity "
            "%.1f ms\n",
            bestPhases.open * 1e3, bestPhases.list * 1e3, bestPhases.thumbprint * 1e3, bestPhases.names * 1e3,
            bestPhases.validity * 1e3);
        std::printf("  OpenSSL d2i_X509 loop:                  %8.1f ms  (%.1f us per certificate)\n",
                    bestOpenSsl * 1e3, bestOpenSsl * 1e6 / count);
        std::printf("  ratio OpenSSL / listing:                %8.2f\n", bestOpenSsl / best);
    }
    return 0;
}
