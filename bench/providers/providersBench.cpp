// GOST R 34.11-2012 (256) hashing throughput of the provider functions (CryptCreateHash,
// CryptHashData, CryptGetHashParam, CryptDestroyHash) and of CHash::calculate against OpenSSL's EVP
// doing the same work: one whole message in, its 32-byte digest out into a fresh buffer, for large
// inputs (streaming speed) and 64-byte ones (the cost of each call). Every side is measured in CPU
// time of the measuring thread; the sides take turns round by round and the median round counts.
//   bench_providers [--seconds N] [--rounds N] [--size BYTES] [--only NAME-PART]
// (--size: one input size instead of 1 MiB and 64 bytes; --only: the sides whose names contain the
// text, besides EVP, e.g. for a profiler).
// Runs in a temporary root of its own, so the provider catalogue never reads or writes the real home.
#include "tempRoot.h"

#include <vsk/pki/Hash.h>
#include <vsk/platform/crypt.h>

#include <openssl/evp.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

using Vsk::PKI::CHash;
using Vsk::Utils::CDataBlob;
using Digest = std::vector<unsigned char>;

namespace {

// One way of hashing a whole message; returns the digest.
using Hasher = std::function<Digest(const unsigned char* data, size_t size)>;

struct Method {
    const char* name;
    const char* work;  // what one call does, printed with the figures
    Hasher hash;
    std::vector<double> rates;  // bytes per second, one per round
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The CPU time of the calling thread: the machine may be shared, and time spent waiting for a CPU
// would count against whichever method happened to run then.
double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Hashes the message over and over for `seconds` of CPU time; bytes per second.
double measure(const Hasher& hash, const std::vector<unsigned char>& message, double seconds) {
    const size_t batch = message.size() >= 65536 ? 1 : 256;
    size_t calls = 0;
    const double start = threadSeconds();
    double elapsed = 0;
    do {
        for (size_t i = 0; i < batch; ++i) hash(message.data(), message.size());
        calls += batch;
        elapsed = threadSeconds() - start;
    } while (elapsed < seconds);
    return static_cast<double>(calls) * message.size() / elapsed;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s failed (0x%08lx)\n", what, static_cast<unsigned long>(GetLastError()));
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 4.0;
    int rounds = 21;
    std::vector<size_t> sizes = {size_t(1) << 20, size_t(64)};
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--size"))
            sizes = {static_cast<size_t>(std::max(1, std::atoi(argv[i + 1])))};
        else if (!std::strcmp(argv[i], "--only"))
            only = argv[i + 1];
    }
    VskTest::EnterProcessRoot("kestrovan-bench-");

    if (!LoadGostEngine()) {
        std::fprintf(stderr, "the GOST engine is missing\n");
        return 1;
    }
    const EVP_MD* md = EVP_get_digestbyname("md_gost12_256");
    if (!md) {
        std::fprintf(stderr, "md_gost12_256 is unknown to OpenSSL\n");
        return 1;
    }
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT))
        fail("CryptAcquireContextW");
    CHash chash;
    chash.createWithNoChecks(CALG_GR3411_2012_256);

    std::vector<Method> methods = {
        {"OpenSSL EVP",
         "EVP_DigestInit_ex, EVP_DigestUpdate, EVP_DigestFinal_ex on one EVP_MD_CTX kept between calls",
         [&](const unsigned char* data, size_t size) {
             Digest out(EVP_MAX_MD_SIZE);
             unsigned int n = 0;
             if (EVP_DigestInit_ex(ctx, md, nullptr) != 1 || EVP_DigestUpdate(ctx, data, size) != 1 ||
                 EVP_DigestFinal_ex(ctx, out.data(), &n) != 1)
                 fail("EVP digest");
             out.resize(n);
             return out;
         },
         {}},
        // For comparison only: what a hash object costs when it sets up a digest context of its own.
        {"OpenSSL EVP, new context each time",
         "EVP_MD_CTX_new, EVP_DigestInit_ex, EVP_DigestUpdate, EVP_DigestFinal_ex, EVP_MD_CTX_free",
         [&](const unsigned char* data, size_t size) {
             EVP_MD_CTX* own = EVP_MD_CTX_new();
             Digest out(EVP_MAX_MD_SIZE);
             unsigned int n = 0;
             if (!own || EVP_DigestInit_ex(own, md, nullptr) != 1 || EVP_DigestUpdate(own, data, size) != 1 ||
                 EVP_DigestFinal_ex(own, out.data(), &n) != 1)
                 fail("EVP digest");
             EVP_MD_CTX_free(own);
             out.resize(n);
             return out;
         },
         {}},
        {"provider functions",
         "CryptCreateHash, CryptHashData, CryptGetHashParam(HP_HASHVAL), CryptDestroyHash on one context",
         [&](const unsigned char* data, size_t size) {
             HCRYPTHASH hash = 0;
             if (!CryptCreateHash(prov, CALG_GR3411_2012_256, 0, 0, &hash)) fail("CryptCreateHash");
             if (!CryptHashData(hash, data, static_cast<DWORD>(size), 0)) fail("CryptHashData");
             Digest out(32);
             DWORD n = static_cast<DWORD>(out.size());
             if (!CryptGetHashParam(hash, HP_HASHVAL, out.data(), &n, 0)) fail("CryptGetHashParam");
             CryptDestroyHash(hash);
             out.resize(n);
             return out;
         },
         {}},
        {"CHash::calculate",
         "CHash::calculate (reset, addData, value) on one prepared object; the value copied out",
         [&](const unsigned char* data, size_t size) {
             const CDataBlob value = chash.calculate(CDataBlob(data, size, false));
             return Digest(value.getData(), value.getData() + value.getSize());
         },
         {}},
    };

    if (!only.empty())
        methods.erase(std::remove_if(methods.begin() + 1, methods.end(),
                                     [&](const Method& m) {
                                         return std::string(m.name).find(only) == std::string::npos;
                                     }),
                      methods.end());
    std::printf("Each call hashes one whole message and returns its digest in a new buffer:\n");
    for (const auto& m : methods) std::printf("  %-34s %s\n", m.name, m.work);

    std::mt19937 random(2012);
    bool agree = true;
    for (const size_t size : sizes) {
        std::vector<unsigned char> message(size);
        for (auto& b : message) b = static_cast<unsigned char>(random());
        const Digest reference = methods[0].hash(message.data(), message.size());
        for (auto& m : methods) {
            m.rates.clear();
            if (m.hash(message.data(), message.size()) != reference) {
                std::printf("%s: DIGEST DIFFERS from EVP\n", m.name);
                agree = false;
            }
        }
        // The methods take turns round by round, so a slow spell of the machine hits all of them.
        for (int r = 0; r < rounds; ++r)
            for (auto& m : methods) m.rates.push_back(measure(m.hash, message, seconds / rounds));

        std::printf("\n%zu-byte inputs (median of %d interleaved rounds, %.2f s of CPU time per method):\n",
                    size, rounds, seconds);
        const double evp = median(methods[0].rates);
        for (const auto& m : methods) {
            const double rate = median(m.rates);
            const auto [low, high] = std::minmax_element(m.rates.begin(), m.rates.end());
            std::printf(
                "  %-34s %9.2f MB/s %11.0f calls/s  time x%.3f of EVP (%+.1f %%)  rounds %.2f..%.2f MB/s\n",
                m.name, rate / 1e6, rate / size, evp / rate, (evp / rate - 1) * 100, *low / 1e6, *high / 1e6);
        }
    }

    CryptReleaseContext(prov, 0);
    EVP_MD_CTX_free(ctx);
    chash.clear();
    return agree ? 0 : 1;
}
