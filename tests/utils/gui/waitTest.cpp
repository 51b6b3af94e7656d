// MsgWaitForObjects and BringToForeground on the GUI thread.
#include "guiTestEnvironment.h"
#include "messageRecorder.h"

#include <vsk/platform/handle.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/gui.h>

#include <QTimer>

#include <atomic>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::atomic<bool> g_release{false};
std::atomic<int> g_answer{0};
std::atomic<bool> g_ranOnGui{false};

DWORD held(LPVOID) {
    while (!g_release.load()) Sleep(1);
    return 0;
}

DWORD askUser(LPVOID) {
    g_answer =
        MessageBoxW(nullptr, u"Доступна новая версия", u"Обновление программы", MB_ICONQUESTION | MB_YESNO);
    RunOnGuiThread([] { g_ranOnGui = QThread::currentThread() == qApp->thread(); });
    return 0;
}

DWORD nothing(LPVOID) {
    return 0;
}

class MsgWaitForObjectsTest : public ::testing::Test {
protected:
    void TearDown() override {
        g_release = true;
        for (HANDLE h : threads) {
            WaitForSingleObject(h, INFINITE);
            CloseHandle(h);
        }
    }
    HANDLE start(LPTHREAD_START_ROUTINE routine) {
        threads.push_back(CreateThread(nullptr, 0, routine, nullptr, 0, nullptr));
        return threads.back();
    }
    std::vector<HANDLE> threads;
};

TEST_F(MsgWaitForObjectsTest, SignalledThreadReturnsAtOnce) {
    HANDLE thread = start(nothing);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    const auto begin = Clock::now();
    Vsk::InternalUtils::MsgWaitForObjects(1, &thread, false, 10000);
    EXPECT_LT(msSince(begin), 5000);  // a hang guard: it does not sit out the time-out
}

TEST_F(MsgWaitForObjectsTest, SteadyFlowOfEventsIsServedUntilTheTimeOut) {
    g_release = false;
    HANDLE thread = start(held);
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(1);
    const auto begin = Clock::now();
    Vsk::InternalUtils::MsgWaitForObjects(1, &thread, false, 100);
    const long long elapsed = msSince(begin);
    EXPECT_GE(elapsed, 100);
    EXPECT_LT(elapsed, 1000);  // a hang guard
    // The events were served again and again during the wait, not once at its end (how many times
    // depends on the machine's load).
    EXPECT_GE(ticks, 2);
}

TEST_F(MsgWaitForObjectsTest, WorkersCallsToTheGuiThreadAreServedWhileWaiting) {
    GuiTest::MessageRecorder recorder(IDYES);
    g_answer = 0;
    g_ranOnGui = false;
    HANDLE thread = start(askUser);
    const auto begin = Clock::now();
    Vsk::InternalUtils::MsgWaitForObjects(1, &thread, false, 10000);
    EXPECT_LT(msSince(begin), 5000);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_EQ(g_answer.load(), IDYES);
    EXPECT_TRUE(g_ranOnGui.load());
    const auto shown = recorder.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shown[0].onGuiThread);
    EXPECT_EQ(shown[0].caption, u"Обновление программы");
}

TEST_F(MsgWaitForObjectsTest, QuitEndsTheWait) {
    g_release = false;
    HANDLE thread = start(held);
    QTimer::singleShot(20, [] { PostQuitMessage(0); });
    const auto begin = Clock::now();
    Vsk::InternalUtils::MsgWaitForObjects(1, &thread, false, 5000);
    EXPECT_LT(msSince(begin), 2000);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
}

TEST(BringToForegroundTest, ActivatesAndFocusesAndLeavesAnActiveWindowAlone) {
    QWidget first;
    QWidget second;
    first.show();
    second.show();
    Vsk::InternalUtils::BringToForeground(&first);
    EXPECT_EQ(QApplication::activeWindow(), &first);
    Vsk::InternalUtils::BringToForeground(&second);
    EXPECT_EQ(QApplication::activeWindow(), &second);
    // Already in front: nothing changes.
    Vsk::InternalUtils::BringToForeground(&second);
    EXPECT_EQ(QApplication::activeWindow(), &second);
}

}  // namespace
