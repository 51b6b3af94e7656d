#include "kernelTestRoot.h"

#include <vsk/platform/kernel.h>
#include <vsk/platform/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace {

std::u16string uniqueName(const char* base) {
    return Utf16(std::string(base) + ", VosKel, Helvor " + std::to_string(getpid()));
}

TEST(Wait, NamedMutexExcludesAnotherProcess) {
    KernelTestRoot root;
    const std::u16string name = uniqueName("operator");
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(WaitForSingleObject(mutex, 30000), WAIT_OBJECT_0);
    // Held here: the other process waits in vain.
    EXPECT_EQ(RunHelper({"mutex", Utf8(name), "200"}), 1);
    ASSERT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(RunHelper({"mutex", Utf8(name), "5000"}), 0);

    // A second handle of this process names the same object; a handle without SYNCHRONIZE cannot wait.
    HANDLE opened = OpenMutexW(MUTEX_MODIFY_STATE, FALSE, name.c_str());
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(WaitForSingleObject(opened, 30000), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(ReleaseMutex(opened));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    EXPECT_TRUE(CloseHandle(opened));
    EXPECT_TRUE(CloseHandle(mutex));

    EXPECT_EQ(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, u"never created"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

DWORD holdAndEnd(void* parameter) {
    WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);  // owned when the thread ends
    return 7;
}

TEST(Wait, ResultsAsThePlatformGivesThem) {
    KernelTestRoot root;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);

    // Recursive for its owner; another thread times out while it is held.
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    std::atomic<DWORD> other{0};
    std::pair<HANDLE, std::atomic<DWORD>*> args{mutex, &other};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            auto* args = static_cast<std::pair<HANDLE, std::atomic<DWORD>*>*>(p);
            args->second->store(WaitForSingleObject(args->first, 50));
            return 0;
        },
        &args, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(other.load(), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    CloseHandle(thread);

    // A thread that ends while owning the mutex leaves it abandoned, once.
    DWORD id = 0;
    thread = CreateThread(nullptr, 0, holdAndEnd, mutex, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(WaitForSingleObject(mutex, 10000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));

    const HANDLE both[2] = {thread, mutex};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(thread);

    // Failures: one object twice, a closed handle, a handle that is not waitable, no handles at all.
    const HANDLE twice[2] = {mutex, mutex};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// Whoever sees the owner's thread ended must find its mutex abandoned at once, named or not.
TEST(Wait, MutexIsAbandonedWhenItsOwnersThreadIsSignalled) {
    KernelTestRoot root;
    const std::u16string name = uniqueName("abandoned");
    for (const LPCWSTR mutexName : {static_cast<LPCWSTR>(nullptr), name.c_str()}) {
        HANDLE mutex = CreateMutexW(nullptr, FALSE, mutexName);
        ASSERT_NE(mutex, nullptr);
        for (int round = 0; round < 200; ++round) {
            HANDLE thread = CreateThread(nullptr, 0, holdAndEnd, mutex, 0, nullptr);
            ASSERT_NE(thread, nullptr);
            ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
            ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED) << "round " << round;
            ASSERT_TRUE(ReleaseMutex(mutex));
            CloseHandle(thread);
        }
        EXPECT_TRUE(CloseHandle(mutex));
    }
}

TEST(Wait, TimeOutTakesAboutTheTimeAsked) {
    // The other thread holds the mutex until told to let go, so the wait below can only time out.
    struct Holder {
        HANDLE mutex;
        std::atomic<bool> taken{false}, release{false};
    } holder{CreateMutexW(nullptr, FALSE, nullptr)};
    ASSERT_NE(holder.mutex, nullptr);
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            auto* holder = static_cast<Holder*>(p);
            WaitForSingleObject(holder->mutex, 0);
            holder->taken = true;
            while (!holder->release) Sleep(1);
            ReleaseMutex(holder->mutex);
            return 0;
        },
        &holder, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    while (!holder.taken) Sleep(1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(holder.mutex, 150), WAIT_TIMEOUT);
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(took.count(), 140);
    holder.release = true;
    EXPECT_EQ(WaitForSingleObject(holder.mutex, 10000), WAIT_OBJECT_0);
    ReleaseMutex(holder.mutex);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(holder.mutex);
}

}  // namespace

namespace {

TEST(Wait, ThreadCpuTimeGrowsWithWork) {
    FILETIME created, ended, kernel, user;
    ASSERT_TRUE(GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user));
    const uint64_t before = FileTimeToU64(kernel) + FileTimeToU64(user);
    volatile uint64_t sink = 0;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(50)) sink = sink + 1;
    ASSERT_TRUE(GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user));
    EXPECT_GT(FileTimeToU64(kernel) + FileTimeToU64(user), before);
    EXPECT_FALSE(GetThreadTimes(nullptr, &created, &ended, &kernel, &user));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
