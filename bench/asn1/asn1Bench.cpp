// Parse and re-encode throughput of the ASN.1 codec and of OpenSSL on the same certificates: the
// system's CA bundle, or the PEM/DER files named on the command line.
//   bench_asn1 [--seconds N] [file...]
#include <vsk/asn1.h>

#include <openssl/asn1.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace Vsk::ASN1;
using Vsk::Utils::CDataBlob;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> loadCertificates(const char* path) {
    std::vector<std::string> out;
    FILE* f = std::fopen(path, "rb");
    if (!f) return out;
    // PEM first; a file with no PEM block is taken as one DER certificate.
    while (X509* x = PEM_read_X509(f, nullptr, nullptr, nullptr)) {
        unsigned char* der = nullptr;
        int n = i2d_X509(x, &der);
        if (n > 0) out.emplace_back(reinterpret_cast<char*>(der), static_cast<size_t>(n));
        OPENSSL_free(der);
        X509_free(x);
    }
    if (out.empty()) {
        std::rewind(f);
        std::string bytes;
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
        if (!bytes.empty()) out.push_back(bytes);
    }
    std::fclose(f);
    return out;
}

void walk(CNode* node) {
    if (auto* c = castToConstructed(node))
        for (size_t i = 0; i < c->getCount(); ++i) walk(c->getItem(i));
}

void rebuild(CNode* node) {
    if (auto* c = castToConstructed(node)) {
        for (size_t i = 0; i < c->getCount(); ++i) {
            rebuild(c->getItem(i));
            c->setItem(i, *c->getItem(i));
        }
    }
}

struct Result {
    const char* name;
    double seconds = 0;
    size_t bytes = 0;
    size_t rounds = 0;
    bool ok = true;
};

// Runs `body` over the corpus until `seconds` have passed.
template <class F>
Result measure(const char* name, const std::vector<CDataBlob>& corpus, double seconds, F body) {
    Result r{name};
    auto start = Clock::now();
    do {
        for (const auto& item : corpus) {
            r.ok &= body(item);
            r.bytes += item.getSize();
        }
        ++r.rounds;
        r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } while (r.seconds < seconds);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 2.0;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else
            files.push_back(argv[i]);
    }
    if (files.empty()) files.push_back("/etc/ssl/certs/ca-certificates.crt");

    std::vector<CDataBlob> corpus;
    size_t total = 0;
    for (const auto& f : files)
        for (auto& der : loadCertificates(f.c_str())) {
            corpus.emplace_back(der.data(), der.size(), true);
            total += der.size();
        }
    if (corpus.empty()) {
        std::fprintf(stderr, "no certificates\n");
        return 1;
    }
    std::printf("corpus: %zu certificates, %zu bytes\n", corpus.size(), total);

    std::vector<Result> results;
    results.push_back(measure("vsk: decode (lazy) + encode", corpus, seconds, [](const CDataBlob& in) {
        CSequence top;
        top.decode(in);
        return top.encode().getSize() == in.getSize();
    }));
    results.push_back(
        measure("vsk: decode + walk every node + encode", corpus, seconds, [](const CDataBlob& in) {
            CSequence top;
            top.decode(in);
            walk(&top);
            return top.encode().getSize() == in.getSize();
        }));
    results.push_back(
        measure("vsk: decode + walk + rebuild every node + encode", corpus, seconds, [](const CDataBlob& in) {
            CSequence top;
            top.decode(in);
            rebuild(&top);
            return top.encode() == in;
        }));
    results.push_back(measure("openssl: d2i_X509 + i2d_X509", corpus, seconds, [](const CDataBlob& in) {
        const unsigned char* p = in.getData();
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(in.getSize()));
        if (!x) return false;
        unsigned char* out = nullptr;
        int n = i2d_X509(x, &out);
        OPENSSL_free(out);
        X509_free(x);
        return n == static_cast<int>(in.getSize());
    }));
    results.push_back(measure(
        "openssl: d2i_ASN1_SEQUENCE_ANY + i2d_ASN1_SEQUENCE_ANY", corpus, seconds, [](const CDataBlob& in) {
            const unsigned char* p = in.getData();
            ASN1_SEQUENCE_ANY* s = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(in.getSize()));
            if (!s) return false;
            unsigned char* out = nullptr;
            int n = i2d_ASN1_SEQUENCE_ANY(s, &out);
            OPENSSL_free(out);
            sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free);
            return n == static_cast<int>(in.getSize());
        }));

    const Result& x509 = results[3];
    double x509Rate = x509.bytes / x509.seconds;
    for (const auto& r : results) {
        double rate = r.bytes / r.seconds;
        std::printf("%-58s %9.1f MB/s %10.0f certs/s  x%.2f vs d2i_X509%s\n", r.name, rate / 1e6,
                    r.rounds * corpus.size() / r.seconds, rate / x509Rate, r.ok ? "" : "  (MISMATCH)");
    }
    return 0;
}
