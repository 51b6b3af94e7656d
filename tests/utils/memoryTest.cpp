#include <vsk/platform/kernelTesting.h>
#include <vsk/utils.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <atomic>
#include <thread>
#include <vector>

using namespace Vsk::Utils;
using Vsk::InternalUtils::getAllocatedBytes;
using Vsk::InternalUtils::GetLog;

namespace {

struct Tracked : CRefMan {
    static inline std::atomic<int> destroyed{0};
    CRefPtr<Tracked> child;
    ~Tracked() override { ++destroyed; }
};

}  // namespace

TEST(Memory, CounterFollowsExactBlockSizes) {
    GetLog();  // the counter lives in the common record
    EXPECT_TRUE(memFree(nullptr));
    uint64_t before = getAllocatedBytes();
    void* block = memAlloc(100);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(getAllocatedBytes(), before + 100);
    block = memRealloc(block, 40);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(getAllocatedBytes(), before + 40);
    EXPECT_TRUE(memFree(block));
    EXPECT_EQ(getAllocatedBytes(), before);
}

TEST(Memory, FailedAllocationsLeaveCounterAndRaise) {
    GetLog();
    uint64_t before = getAllocatedBytes();
    HeapFailNext(1);
    EXPECT_EQ(memAlloc(64), nullptr);
    EXPECT_EQ(getAllocatedBytes(), before);

    HeapFailNext(1);
    const auto e = VskTest::Thrown([&] { CRefPtr<Tracked>::create(); });
    EXPECT_EQ(e.getCode(), 14);
    EXPECT_TRUE(e.getMessage().startsWith(CWString(u"Нехватка памяти для выделения ")));
}

TEST(Memory, FreeKeepsCallersLastError) {
    void* block = memAlloc(8);
    SetLastError(1234);
    HeapFailNext(0, 1);
    EXPECT_FALSE(memFree(block));
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_TRUE(memFree(block));
}

TEST(Memory, SubtractionNeverWrapsBelowZero) {
    GetLog();
    Vsk::InternalUtils::subAllocatedBytes(static_cast<size_t>(-2));
    EXPECT_EQ(getAllocatedBytes(), 0u);
}

TEST(CriticalSection, OwnerAndDepth) {
    CCriticalSection cs;
    cs.lock();
    cs.lock();
    EXPECT_TRUE(cs.isOwner());
    EXPECT_EQ(cs.getDepth(), 2);

    // A thread that does not own the lock cannot release it.
    std::thread([&] {
        cs.unlock();
        EXPECT_FALSE(cs.isOwner());
    }).join();
    EXPECT_EQ(cs.getDepth(), 2);

    cs.unlock();
    EXPECT_EQ(cs.getOwner(), GetCurrentThreadId());
    EXPECT_EQ(cs.getDepth(), 1);
    cs.unlock();
    EXPECT_EQ(cs.getOwner(), 0u);
    { CLock none(static_cast<CCriticalSection*>(nullptr)); }
}

TEST(RefPtr, LifecycleDestroysOnce) {
    Tracked::destroyed = 0;
    {
        auto a = CRefPtr<Tracked>::create();
        EXPECT_EQ(a->getRefCount(), 1u);
        CRefPtr<Tracked> b = a;
        EXPECT_EQ(a->getRefCount(), 2u);
        b.release();
        EXPECT_EQ(Tracked::destroyed, 0);
    }
    EXPECT_EQ(Tracked::destroyed, 1);
}

TEST(RefPtr, AssigningOwnChildKeepsChildAlive) {
    Tracked::destroyed = 0;
    auto p = CRefPtr<Tracked>::create();
    p->child = CRefPtr<Tracked>::create();
    Tracked* child = p->child.get();
    p = p->child;  // the parent holds the only other reference to the child
    EXPECT_EQ(p.get(), child);
    EXPECT_EQ(p->getRefCount(), 1u);
    EXPECT_EQ(Tracked::destroyed, 1);
}

TEST(RefMan, ReleaseAtZeroOnlyLogs) {
    VskTest::LogCapture capture;
    Tracked t;
    EXPECT_EQ(t.release(), 0u);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0], u"Utils::CRefMan::release Повторное освобождение объекта");
}

TEST(Memory, GlobalFreeOfNullHandle) {
    HGLOBAL h = nullptr;
    EXPECT_TRUE(globalFree(h));
    h = GlobalAlloc(GMEM_FIXED, 16);
    EXPECT_TRUE(globalFree(h));
    EXPECT_EQ(h, nullptr);
}

// Two threads copy and drop handles of one object; the count must end where it started.
TEST(RefPtr, TwoThreadStress) {
    Tracked::destroyed = 0;
    auto shared = CRefPtr<Tracked>::create();
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            CRefPtr<Tracked> copy = shared;
            CRefPtr<Tracked> other;
            other = copy;
        }
    };
    std::thread t1(work), t2(work);
    t1.join();
    t2.join();
    EXPECT_EQ(shared->getRefCount(), 1u);
    EXPECT_EQ(Tracked::destroyed, 0);
    shared.release();
    EXPECT_EQ(Tracked::destroyed, 1);
}
