#include <vsk/platform/kernel.h>

#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <thread>

namespace {

struct CriticalSectionTest : ::testing::Test {
    CRITICAL_SECTION cs;
    void SetUp() override { InitializeCriticalSection(&cs); }
    void TearDown() override { DeleteCriticalSection(&cs); }
};

}  // namespace

TEST_F(CriticalSectionTest, RecursiveOnOneThread) {
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
}

TEST_F(CriticalSectionTest, ExcludesOtherThreadsUntilFullyLeft) {
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    std::atomic<bool> otherGotIn{false};
    std::thread([&] { otherGotIn = TryEnterCriticalSection(&cs) != FALSE; }).join();
    EXPECT_FALSE(otherGotIn);

    LeaveCriticalSection(&cs);
    std::thread([&] { otherGotIn = TryEnterCriticalSection(&cs) != FALSE; }).join();
    EXPECT_FALSE(otherGotIn);  // still held once

    // Counted increments from two threads under the lock lose nothing.
    LeaveCriticalSection(&cs);
    int counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            EnterCriticalSection(&cs);
            int seen = counter;
            counter = seen + 1;
            LeaveCriticalSection(&cs);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

TEST(ThreadIds, DistinctPerThreadAndNeverZero) {
    const DWORD mine = GetCurrentThreadId();
    DWORD other = 0;
    std::thread([&] { other = GetCurrentThreadId(); }).join();
    EXPECT_NE(mine, 0u);
    EXPECT_NE(other, 0u);
    EXPECT_NE(mine, other);
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}
