// Listing a system store into certificate objects, reading each one's thumbprint text, subject and
// issuer text and validity, against an OpenSSL program that produces the same outputs from the same
// files: the element files of the store's folder. The sets (GOST R 34.10-2012 256 by default, RSA-2048
// on request) are made once at start with OpenSSL's API (one subject key per set, each certificate
// signed by the set's authority) and added to a user store of a temporary root, one store per size.
//   bench_certificates [--counts 1000,10000,100000] [--rounds 5] [--sets gost|rsa|gost,rsa]
// For each size: the median over the rounds of each side's process CPU time (the two sides run
// interleaved, one after the other in each round), the ratio, and the heap each side holds per
// certificate once the listing is done (beyond the certificate's own encoding for the library).
#include "benchSets.h"

#include "tempRoot.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/Store.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/identity.h>
#include <vsk/utils/array.h>

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

using Vsk::PKI::CCertificate;
using Vsk::PKI::CStore;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench_certificates: %s failed\n", what);
    std::exit(1);
}

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double wallSeconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Bytes the heap hands out at the moment (small blocks and mapped ones).
double heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void fillStore(const std::u16string& storeName, const std::vector<Der>& certificates) {
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, storeName.c_str());
    if (!store) fail("opening the bench store");
    for (const auto& der : certificates)
        if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                              static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, nullptr))
            fail("adding to the bench store");
    CertCloseStore(store, 0);
}

// Keeps the compiler from dropping work whose results are not otherwise used.
volatile size_t sink = 0;

struct Measure {
    double cpu = 0;
    double wall = 0;
    double heap = 0;  // bytes held once done, while the results are alive
    // The library's heap after opening the store and after making the objects (before their values).
    double heapOpened = 0, heapObjects = 0;
};

// The library: open the store, list it into certificate objects, and ask each object for its
// thumbprint text, subject and issuer text and both validity times.
Measure listWithLibrary(const std::u16string& storeName, size_t expected) {
    Measure m;
    const double heapBefore = heapInUse();
    const double cpu = cpuSeconds(), wall = wallSeconds();
    {
        CStore store;
        store.Open(storeName.c_str(), CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG);
        m.heapOpened = heapInUse() - heapBefore;
        Vsk::Utils::CArray<CCertificate> certificates;
        store.GetCertificates(&certificates);
        m.heapObjects = heapInUse() - heapBefore;
        size_t total = 0;
        for (const CCertificate& cert : certificates) {
            total += cert.get_Thumbprint().getLength();
            total += cert.get_SubjectName().getLength() + cert.get_IssuerName().getLength();
            total += (cert.get_NotBefore().dwLowDateTime & 1) + (cert.get_NotAfter().dwLowDateTime & 1);
        }
        m.cpu = cpuSeconds() - cpu;
        m.wall = wallSeconds() - wall;
        m.heap = heapInUse() - heapBefore;
        if (certificates.getCount() != expected) fail("listing the bench store");
        sink = sink + total;
    }
    return m;
}

Measure listWithOpenSsl(const std::string& folder, size_t expected) {
    Measure m;
    const double heapBefore = heapInUse();
    const double cpu = cpuSeconds(), wall = wallSeconds();
    std::vector<OpenSslRow> rows;
    OpenSslListFolder(folder, rows);
    m.cpu = cpuSeconds() - cpu;
    m.wall = wallSeconds() - wall;
    m.heap = heapInUse() - heapBefore;
    if (rows.size() != expected) fail("listing the store folder with OpenSSL");
    size_t total = 0;
    for (const OpenSslRow& row : rows)
        total += row.thumbprint.size() + row.subject.size() + row.issuer.size();
    sink = sink + total;
    return m;
}

std::vector<int> parseCounts(const char* text) {
    std::vector<int> counts;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (const int n = std::atoi(item.c_str()); n > 0) counts.push_back(n);
    return counts;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> counts = {1000, 10000, 100000};
    int rounds = 5;
    std::string setNames = "gost";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--counts")) counts = parseCounts(argv[i + 1]);
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--sets")) setNames = argv[i + 1];
    }
    if (counts.empty() || rounds <= 0) {
        std::fprintf(
            stderr,
            "usage: bench_certificates [--counts 1000,10000,100000] [--rounds N] [--sets gost,rsa]\n");
        return 2;
    }
    VskTest::EnterProcessRoot("kestrovan-bench-");
    std::printf(
        "library: open the user store (CStore::Open), CStore::GetCertificates into CCertificate objects, "
        "then per object get_Thumbprint (hex text), get_SubjectName and get_IssuerName (text), "
        "get_NotBefore and get_NotAfter; objects kept\n");
    std::printf("OpenSSL: %s\n", OpenSslWork());
    std::printf(
        "figures: medians over %d interleaved rounds; CPU is process CPU time; heap is what each side "
        "holds when done, per certificate (library: beyond one copy of the DER)\n\n",
        rounds);
    const struct {
        SetKind kind;
        const char* key;
        const char* label;
    } sets[] = {{SetKind::Gost, "gost", "GOST-2012-256"}, {SetKind::Rsa, "rsa", "RSA-2048"}};
    for (const auto& set : sets) {
        if (setNames.find(set.key) == std::string::npos) continue;
        std::printf("%s\n", set.label);
        std::printf("  %8s  %14s %14s  %7s  %16s %16s  %9s\n", "count", "library us/cert", "OpenSSL us/cert",
                    "ratio", "library B/cert", "OpenSSL B/cert", "DER B/cert");
        for (const int count : counts) {
            const std::vector<Der> certificates = MakeCertificates(set.kind, count);
            double derBytes = 0;
            for (const Der& der : certificates) derBytes += static_cast<double>(der.size());
            const std::string name = std::string("Bench") + set.key + std::to_string(count);
            const std::u16string storeName(name.begin(), name.end());
            fillStore(storeName, certificates);
            std::string upper = name;
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            const std::string folder = UserStateRoot(false) + "/stores/" + upper;
            if (!std::filesystem::is_directory(folder)) fail("finding the store folder");
            std::vector<double> libCpu, sslCpu, libHeap, sslHeap, opened, objects;
            for (int r = 0; r < rounds; ++r) {
                const Measure lib = listWithLibrary(storeName, certificates.size());
                const Measure ssl = listWithOpenSsl(folder, certificates.size());
                libCpu.push_back(lib.cpu);
                sslCpu.push_back(ssl.cpu);
                libHeap.push_back(lib.heap);
                opened.push_back(lib.heapOpened);
                objects.push_back(lib.heapObjects);
                sslHeap.push_back(ssl.heap);
            }
            const double n = count;
            const double lib = median(libCpu), ssl = median(sslCpu);
            std::printf("  %8d  %14.2f %15.2f  %7.2f  %16.0f %16.0f  %9.0f\n", count, lib * 1e6 / n,
                        ssl * 1e6 / n, lib / ssl, median(libHeap) / n - derBytes / n, median(sslHeap) / n,
                        derBytes / n);
            std::printf(
                "  %8s  library heap per certificate: %.0f B with the store open, %.0f B more with the "
                "objects, %.0f B more with their values\n",
                "", median(opened) / n, (median(objects) - median(opened)) / n,
                (median(libHeap) - median(objects)) / n);
            std::fflush(stdout);
            std::filesystem::remove_all(folder);
        }
    }
    std::printf("\nratio: library CPU time / OpenSSL CPU time (below 1: the library is faster)\n");
    return 0;
}
