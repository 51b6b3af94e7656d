// The thread's message queue and the message-pumping wait.
#include "guiTestEnvironment.h"

#include <vsk/platform/gui.h>
#include <vsk/platform/handle.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/wait.h>

#include <QThread>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::atomic<bool> g_release{false};

DWORD waitForRelease(LPVOID) {
    while (!g_release.load()) Sleep(1);
    return 0;
}

DWORD returnAtOnce(LPVOID) {
    return 0;
}

// A worker that runs until the test lets it go.
class HeldThread {
public:
    HeldThread() {
        g_release = false;
        handle = CreateThread(nullptr, 0, waitForRelease, nullptr, 0, nullptr);
    }
    ~HeldThread() {
        g_release = true;
        WaitForSingleObject(handle, INFINITE);
        CloseHandle(handle);
    }
    HANDLE handle;
};

TEST(MsgWaitTest, SignalledHandleReturnsAtOnce) {
    HANDLE thread = CreateThread(nullptr, 0, returnAtOnce, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    const auto start = Clock::now();
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &thread, FALSE, 10000, QS_ALLINPUT), WAIT_OBJECT_0);
    EXPECT_LT(msSince(start), 5000);  // a hang guard: it does not sit out the time-out
    CloseHandle(thread);
}

TEST(MsgWaitTest, GuiThreadIsToldToPumpAndOtherThreadsOnlyWait) {
    HeldThread held;
    auto start = Clock::now();
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &held.handle, FALSE, 10000, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
    EXPECT_LT(msSince(start), 5000);  // a hang guard: it does not sit out the time-out
    // Without a wake mask it is a plain wait.
    start = Clock::now();
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &held.handle, FALSE, 30, 0), WAIT_TIMEOUT);
    EXPECT_GE(msSince(start), 30);

    DWORD workerResult = 0;
    std::thread worker(
        [&] { workerResult = MsgWaitForMultipleObjects(1, &held.handle, FALSE, 30, QS_ALLINPUT); });
    worker.join();
    EXPECT_EQ(workerResult, WAIT_TIMEOUT);
}

TEST(MsgWaitTest, BadArgumentsFail) {
    SetLastError(0);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, nullptr, FALSE, 10, QS_ALLINPUT), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    HANDLE bogus = reinterpret_cast<HANDLE>(uintptr_t{0x5150});
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &bogus, FALSE, 10, QS_ALLINPUT), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(PeekMessageTest, OnePassPerLoopAndQuitFirst) {
    MSG message;
    int passes = 0;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        EXPECT_EQ(message.message, WM_NULL);
        ++passes;
    }
    EXPECT_EQ(passes, 1);

    // Posted events are delivered by the pass.
    bool delivered = false;
    QMetaObject::invokeMethod(
        qApp, [&] { delivered = true; }, Qt::QueuedConnection);
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
    EXPECT_TRUE(delivered);

    PostQuitMessage(3);
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 1000, QS_ALLINPUT), WAIT_OBJECT_0);
    // A window filter does not take the thread's WM_QUIT.
    QWidget window;
    ASSERT_TRUE(PeekMessageW(&message, &window, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, WM_NULL);
    EXPECT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(message.message, WM_QUIT);
    ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, WM_QUIT);
    EXPECT_EQ(message.wParam, 3u);
    // Gone now; the next call ends the window-filtered loop begun above.
    EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
}

}  // namespace
