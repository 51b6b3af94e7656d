// The ASN.1 codec against OpenSSL's generic ASN.1 code, doing the same work on the same certificates:
// the system's CA bundle, or the PEM/DER files named on the command line. Both sides read the same
// DER octets from the same memory and produce the same outputs, which are compared.
//
//   bench_asn1 [--runs N] [--slice SECONDS] [--only NAME] [--side vsk|openssl] [file...]
//
// --only and --side narrow the run to one benchmark or one side, for a profiler.
// Each benchmark runs its two sides in turn, one slice of CPU time each, N times over. Each side's
// figure is the median of its N slices in process CPU time; the ratio is the median of the N ratios
// of slices run back to back, so that a machine whose load changes slows both sides of a pair alike.
#include <vsk/asn1.h>

#include <openssl/asn1.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

using namespace Vsk::ASN1;
using Vsk::Utils::CDataBlob;

namespace {

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

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// What one pass over the corpus produced; both sides of a benchmark must produce the same.
struct Output {
    uint64_t items = 0;   // certificates re-encoded to their input octets, or nodes reached
    uint64_t octets = 0;  // octets written
    bool operator==(const Output&) const = default;
};

// ---- Our side --------------------------------------------------------------------------------------

// One level: the certificate's header and its three elements, the encoding written anew.
Output vskLazy(const std::vector<CDataBlob>& corpus) {
    Output o;
    for (const CDataBlob& in : corpus) {
        CSequence top;
        top.decode(in);
        CDataBlob out = top.encode();
        if (out == in) ++o.items;
        o.octets += out.getSize();
    }
    return o;
}

void countNodes(CNode* node, Output& o) {
    ++o.items;
    if (auto* c = castToConstructed(node))
        for (size_t i = 0; i < c->getCount(); ++i) countNodes(c->getItem(i), o);
}

// Every node: each constructed node's children parsed and handed out as typed handles.
Output vskEveryNode(const std::vector<CDataBlob>& corpus) {
    Output o;
    for (const CDataBlob& in : corpus) {
        CSequence top;
        top.decode(in);
        countNodes(&top, o);
    }
    return o;
}

// ---- OpenSSL's side ----------------------------------------------------------------------------------

Output sslLazy(const std::vector<CDataBlob>& corpus) {
    Output o;
    for (const CDataBlob& in : corpus) {
        const unsigned char* p = in.getData();
        ASN1_SEQUENCE_ANY* s = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(in.getSize()));
        if (!s) continue;
        unsigned char* out = nullptr;
        int n = i2d_ASN1_SEQUENCE_ANY(s, &out);
        if (n == static_cast<int>(in.getSize()) && std::memcmp(out, in.getData(), in.getSize()) == 0)
            ++o.items;
        o.octets += n > 0 ? static_cast<uint64_t>(n) : 0;
        OPENSSL_free(out);
        sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free);
    }
    return o;
}

// Headers of every node with ASN1_get_object, descending into every constructed node.
bool walkHeaders(const unsigned char*& p, long room, Output& o) {
    const unsigned char* start = p;
    long length = 0;
    int tag = 0, cls = 0;
    int r = ASN1_get_object(&p, &length, &tag, &cls, room);
    if (r & 0x80) return false;
    ++o.items;
    if (r & V_ASN1_CONSTRUCTED) {
        const unsigned char* end = p + length;
        while (p < end)
            if (!walkHeaders(p, static_cast<long>(end - p), o)) return false;
        return p == end && p - start <= room;
    }
    p += length;
    return true;
}

Output sslHeaders(const std::vector<CDataBlob>& corpus) {
    Output o;
    for (const CDataBlob& in : corpus) {
        const unsigned char* p = in.getData();
        walkHeaders(p, static_cast<long>(in.getSize()), o);
    }
    return o;
}

// Every node as an ASN1_TYPE kept until the whole certificate is read: d2i_ASN1_TYPE on each element
// of each constructed node, which OpenSSL keeps as a copy of its encoding and which is then read in
// turn.
struct SslTree {
    std::vector<ASN1_TYPE*> types;
    ~SslTree() {
        for (ASN1_TYPE* t : types) ASN1_TYPE_free(t);
    }
};

bool readTypes(const unsigned char* p, long room, SslTree& tree, Output& o) {
    const unsigned char* end = p + room;
    while (p < end) {
        const unsigned char* start = p;
        ASN1_TYPE* t = d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(end - p));
        if (!t) return false;
        tree.types.push_back(t);
        // The element's contents, found in its own encoding, and whether they hold elements.
        const unsigned char* q = start;
        long length = 0;
        int tag = 0, cls = 0;
        int r = ASN1_get_object(&q, &length, &tag, &cls, static_cast<long>(p - start));
        if (r & 0x80) return false;
        ++o.items;
        if (r & V_ASN1_CONSTRUCTED) {
            // SEQUENCE, SET and tagged constructed elements are held as copies of their encoding.
            const ASN1_STRING* held =
                t->type == V_ASN1_SEQUENCE || t->type == V_ASN1_SET || t->type == V_ASN1_OTHER
                    ? t->value.asn1_string
                    : nullptr;
            if (!held) return false;
            const unsigned char* c = ASN1_STRING_get0_data(held);
            long n = ASN1_STRING_length(held);
            const unsigned char* h = c;
            if (ASN1_get_object(&h, &length, &tag, &cls, n) & 0x80) return false;
            if (!readTypes(h, length, tree, o)) return false;
        }
    }
    return true;
}

Output sslTypeTree(const std::vector<CDataBlob>& corpus) {
    Output o;
    for (const CDataBlob& in : corpus) {
        SslTree tree;
        readTypes(in.getData(), static_cast<long>(in.getSize()), tree, o);
    }
    return o;
}

Output sslX509(const std::vector<CDataBlob>& corpus) {
    Output o;
    for (const CDataBlob& in : corpus) {
        const unsigned char* p = in.getData();
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(in.getSize()));
        if (!x) continue;
        unsigned char* out = nullptr;
        int n = i2d_X509(x, &out);
        if (n == static_cast<int>(in.getSize()) && std::memcmp(out, in.getData(), in.getSize()) == 0)
            ++o.items;
        o.octets += n > 0 ? static_cast<uint64_t>(n) : 0;
        OPENSSL_free(out);
        X509_free(x);
    }
    return o;
}

// ---- Driver ----------------------------------------------------------------------------------------

using Pass = std::function<Output(const std::vector<CDataBlob>&)>;

struct Side {
    const char* who;
    const char* work;
    Pass pass;
    std::vector<double> perCertificate = {};  // CPU seconds per certificate, one entry per run
    Output output = {};
};

struct Bench {
    const char* name;
    const char* verdict;  // how the two sides compare in their work
    Side ours;
    Side theirs;
};

// Runs one side for a slice of CPU time and records the CPU time per certificate. The clock is read
// once per batch of passes (a batch of about a twentieth of the slice): reading the process CPU clock
// is a system call that would otherwise weigh on the short passes.
void runSlice(Side& side, const std::vector<CDataBlob>& corpus, double slice) {
    size_t passes = 0, batch = 1;
    double start = cpuSeconds(), now;
    do {
        double before = cpuSeconds();
        for (size_t i = 0; i < batch; ++i) side.output = side.pass(corpus);
        passes += batch;
        now = cpuSeconds();
        if (now - before < slice / 20) batch *= 2;
    } while (now - start < slice);
    side.perCertificate.push_back((now - start) / static_cast<double>(passes * corpus.size()));
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 15;
    double slice = 0.1;
    std::string only, side;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--slice") && i + 1 < argc)
            slice = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--only") && i + 1 < argc)
            only = argv[++i];
        else if (!std::strcmp(argv[i], "--side") && i + 1 < argc)
            side = argv[++i];
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

    std::vector<Bench> benches = {
        {"lazy",
         "like for like: one level deep on both sides",
         {"vsk",
          "CSequence::decode: header of the certificate and of its three elements (the two SEQUENCEs "
          "kept unparsed as views of the input, the BIT STRING value as a view); encode into a new "
          "CDataBlob; compare with the input",
          vskLazy},
         {"openssl",
          "d2i_ASN1_SEQUENCE_ANY: header of the certificate and of its three elements, each an "
          "ASN1_TYPE (the SEQUENCEs as copies of their encoding, the BIT STRING as a copy of its "
          "contents); i2d_ASN1_SEQUENCE_ANY into a new buffer; compare with the input",
          sslLazy}},
        {"nodes-tree",
         "like for like: every node read into an object that the caller can walk",
         {"vsk",
          "CSequence::decode, then getCount/getItem on every constructed node down the tree: every "
          "node read, its typed handle made, primitive values read as the reader reads them; nodes "
          "counted",
          vskEveryNode},
         {"openssl",
          "d2i_ASN1_TYPE on every element of every constructed node down the tree (OpenSSL's generic "
          "recursive parse into objects), ASN1_get_object to find a constructed node's contents; "
          "all ASN1_TYPEs kept until the certificate is done; nodes counted",
          sslTypeTree}},
        {"nodes-headers",
         "unlike: OpenSSL reads headers only, makes and keeps nothing; ours builds the tree as above",
         {"vsk", "as nodes-tree", vskEveryNode},
         {"openssl",
          "ASN1_get_object on every node, descending into every constructed node; nothing is made or "
          "kept; nodes counted",
          sslHeaders}},
        {"x509",
         "unlike: OpenSSL decodes every certificate field, the public key included; ours one level",
         {"vsk", "as lazy", vskLazy},
         {"openssl", "d2i_X509 + i2d_X509; compare with the input", sslX509}},
    };
    if (!only.empty()) std::erase_if(benches, [&](const Bench& b) { return only != b.name; });

    std::printf("corpus: %zu certificates, %zu octets; %d interleaved runs of %.2f s CPU per side\n",
                corpus.size(), total, runs, slice);
    // Interleaved: every run measures every side once, so drifts of the machine hit all alike.
    for (int r = 0; r < runs; ++r)
        for (Bench& b : benches) {
            if (side.empty() || side == b.ours.who) runSlice(b.ours, corpus, slice);
            if (side.empty() || side == b.theirs.who) runSlice(b.theirs, corpus, slice);
        }
    if (!side.empty()) return 0;

    int status = 0;
    for (const Bench& b : benches) {
        std::vector<double> ratios;
        for (size_t i = 0; i < b.ours.perCertificate.size(); ++i)
            ratios.push_back(b.theirs.perCertificate[i] / b.ours.perCertificate[i]);
        bool same = b.ours.output == b.theirs.output;
        std::printf("\n%s (%s)\n", b.name, b.verdict);
        for (const Side* s : {&b.ours, &b.theirs}) {
            auto [lo, hi] = std::minmax_element(s->perCertificate.begin(), s->perCertificate.end());
            std::printf("  %-8s %8.3f us/cert (runs %.3f..%.3f)  items %llu, octets %llu\n    work: %s\n",
                        s->who, median(s->perCertificate) * 1e6, *lo * 1e6, *hi * 1e6,
                        static_cast<unsigned long long>(s->output.items),
                        static_cast<unsigned long long>(s->output.octets), s->work);
        }
        auto [lo, hi] = std::minmax_element(ratios.begin(), ratios.end());
        std::printf("  speed of vsk relative to openssl: x%.2f (runs x%.2f..x%.2f; >1: vsk faster)%s\n",
                    median(ratios), *lo, *hi, same ? "" : "  OUTPUTS DIFFER");
        if (!same) status = 2;
    }
    return status;
}
