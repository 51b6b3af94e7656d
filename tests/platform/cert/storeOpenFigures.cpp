// Figures, not a check: the CPU time and the heap that opening a system store of 1,000 and of 10,000
// certificates takes, per certificate. Run by hand:
//   test_platform_cert --gtest_also_run_disabled_tests --gtest_filter='*StoreOpenFigures*'
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <malloc.h>
#include <sys/resource.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "coreFixtures.h"
#include "testSupport.h"

using namespace CoreFixtures;
namespace fs = std::filesystem;

namespace {

// CPU time of the process, and the part of it spent outside the kernel.
struct Cpu {
    double total, user;
};
Cpu cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const double user = double(u.ru_utime.tv_sec) + double(u.ru_utime.tv_usec) / 1e6;
    const double system = double(u.ru_stime.tv_sec) + double(u.ru_stime.tv_usec) / 1e6;
    return {user + system, user};
}

// `count` distinct certificates (up to 28,000): the leaf with its two-octet serial number replaced.
std::vector<Bytes> manyCertificates(int count) {
    const Bytes& leaf = Get().leaf;
    const BYTE serial[] = {0x02, 0x02, 0x12, 0x34};
    const auto at = std::search(leaf.begin(), leaf.end(), std::begin(serial), std::end(serial));
    if (at == leaf.end()) throw std::runtime_error("serial number not found");
    const size_t offset = static_cast<size_t>(at - leaf.begin()) + 2;
    std::vector<Bytes> out;
    for (int i = 0; i < count; ++i) {
        Bytes der = leaf;
        der[offset] = static_cast<BYTE>(0x10 + (i >> 8));
        der[offset + 1] = static_cast<BYTE>(i);
        out.push_back(std::move(der));
    }
    return out;
}

void writeElementFile(const fs::path& dir, const Bytes& der) {
    BYTE sha[SHA_DIGEST_LENGTH];
    SHA1(der.data(), der.size(), sha);
    static const char digits[] = "0123456789ABCDEF";
    std::string name;
    for (BYTE b : sha) name += {digits[b >> 4], digits[b & 15]};
    Bytes file;
    for (DWORD v : {DWORD{0x20}, DWORD{1}, static_cast<DWORD>(der.size())})
        for (int i = 0; i < 4; ++i) file.push_back(static_cast<BYTE>(v >> (8 * i)));
    file.insert(file.end(), der.begin(), der.end());
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), file.size());
}

void openFigures(int kCount) {
    VskTest::TestRoot root;
    const std::vector<Bytes> certs = manyCertificates(kCount);
    const fs::path dir = fs::path(std::getenv("KESTROVAN_USER_DIR")) / "stores" / "FIGURES";
    fs::create_directories(dir);
    for (const Bytes& der : certs) writeElementFile(dir, der);

    std::vector<double> times, userTimes;
    size_t heap = 0;
    for (int run = 0; run < 7; ++run) {
        malloc_trim(0);
        const size_t before = mallinfo2().uordblks;
        const Cpu start = cpuSeconds();
        HCERTSTORE store =
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"FIGURES");
        const Cpu end = cpuSeconds();
        times.push_back(end.total - start.total);
        userTimes.push_back(end.user - start.user);
        ASSERT_NE(store, nullptr);
        heap = mallinfo2().uordblks - before;
        EXPECT_EQ(CountCertificates(store), kCount);
        CertCloseStore(store, 0);
    }
    // The first open meets a fresh heap, as a program's first listing does; later ones reuse what the
    // closed stores left.
    const double first = times.front(), firstUser = userTimes.front();
    std::sort(times.begin(), times.end());
    std::sort(userTimes.begin(), userTimes.end());
    std::printf(
        "open of %d certificates (DER %zu bytes each), per certificate: first open %.2f us CPU "
        "(%.2f us in user space), median of %zu opens %.2f us (%.2f us); heap %zu bytes\n",
        kCount, certs.front().size(), first * 1e6 / kCount, firstUser * 1e6 / kCount, times.size(),
        times[times.size() / 2] * 1e6 / kCount, userTimes[userTimes.size() / 2] * 1e6 / kCount,
        heap / kCount);
}

}  // namespace

TEST(StoreOpenFigures, DISABLED_OpenSystemStores) {
    for (int count : {1000, 10000}) openFigures(count);
}
