// The per-thread certificate cache: adding, removing before a deletion, clearing, and dropping the
// sets of threads that have ended.
#include "certificates/certificateFixtures.h"

#include <vsk/pki/CertCache.h>
#include <vsk/pki/Certificate.h>

#include <condition_variable>
#include <mutex>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace Vsk::Utils;
using namespace Vsk::PKI;
using CertFixture::Key;
using CertFixture::utf8;

namespace {

CCertificate load(const char* name, const char8_t* subject) {
    CCertificate certificate(true);
    certificate.LoadFromBlob(CertFixture::make(name, Key::Gost256, utf8(subject)).derBytes());
    return certificate;
}

}  // namespace

// Runs first in this executable: no other test adds to the cache.
TEST(CertCache, ClearOnEmptyCacheMakesNoEntry) {
    if (CCertCache::getThreadCount() != 0) GTEST_SKIP() << "the cache was used before";
    CCertificate::ClearCache();
    EXPECT_EQ(CCertCache::getThreadCount(), 0u);
}

TEST(CertCache, AddDeleteAndClear) {
    const CCertificate a = load("cache-a", u8"/CN=Кэш А");
    const CCertificate b = load("cache-b", u8"/CN=Кэш Б");
    const CCertificate absent = load("cache-c", u8"/CN=Кэш В");
    CCertificate::ClearCache();

    EXPECT_TRUE(CCertCache::add(a));
    EXPECT_TRUE(CCertCache::add(b));
    EXPECT_FALSE(CCertCache::add(a));
    EXPECT_EQ(CCertCache::getThreadCacheSize(), 2u);

    // Not held: nothing changes.
    EXPECT_FALSE(CCertCache::deleteInCache(absent.get_CertContext()));
    EXPECT_EQ(CCertCache::getThreadCacheSize(), 2u);
    // Another object over the same context is the same cache element.
    CCertificate sameContext;
    sameContext.put_CertContext(a.get_CertContext());
    EXPECT_TRUE(CCertCache::deleteInCache(sameContext.get_CertContext()));
    EXPECT_EQ(CCertCache::getThreadCacheSize(), 1u);
    EXPECT_FALSE(CCertCache::deleteInCache(a.get_CertContext()));

    // Sets are per thread: another thread's clearing leaves ours alone.
    std::thread([] { CCertificate::ClearCache(); }).join();
    EXPECT_EQ(CCertCache::getThreadCacheSize(), 1u);
    CCertificate::ClearCache();
    EXPECT_EQ(CCertCache::getThreadCacheSize(), 0u);
}

// After a worker that used the cache has ended, the next certificate that takes a context drops the
// worker's set; a thread that still runs keeps its set.
// join() returns while the kernel may still be tearing the thread down; waits until it is gone.
void waitUntilGone(DWORD threadId) {
    for (int i = 0; i < 400 && std::filesystem::exists("/proc/self/task/" + std::to_string(threadId)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST(CertCache, EndedThreadsAreDropped) {
    const CCertificate a = load("cache-a", u8"/CN=Кэш А");
    CCertificate::ClearCache();
    CCertCache::freeNonUsedCache();
    const size_t before = CCertCache::getThreadCount();

    DWORD endedId = 0;
    std::thread([&] {
        endedId = GetCurrentThreadId();
        CCertCache::add(a);
    }).join();
    waitUntilGone(endedId);

    std::mutex lock;
    std::condition_variable changed;
    bool added = false, release = false;
    DWORD runningId = 0;
    std::thread running([&] {
        runningId = GetCurrentThreadId();
        CCertCache::add(a);
        std::unique_lock guard(lock);
        added = true;
        changed.notify_all();
        changed.wait(guard, [&] { return release; });
    });
    {
        std::unique_lock guard(lock);
        changed.wait(guard, [&] { return added; });
    }
    EXPECT_EQ(CCertCache::getThreadCount(), before + 2);

    CCertificate taker;
    taker.put_CertContext(a.get_CertContext());
    EXPECT_EQ(CCertCache::getThreadCount(), before + 1);

    {
        std::lock_guard guard(lock);
        release = true;
    }
    changed.notify_all();
    running.join();
    waitUntilGone(runningId);
    CCertCache::freeNonUsedCache();
    EXPECT_EQ(CCertCache::getThreadCount(), before);
}
