// Posted and sent messages to windows, from the GUI thread and from workers.
#include "guiTestEnvironment.h"

#include <vsk/platform/kernel.h>
#include <vsk/platform/windowMessages.h>

#include <QThread>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// A window that records the messages it receives and answers message + wParam.
class Receiver : public QWidget {
public:
    struct Received {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        bool onGuiThread;
    };
    std::vector<Received> received;

protected:
    bool event(QEvent* e) override {
        if (e->type() != WindowMessageEvent::eventType()) return QWidget::event(e);
        auto* m = static_cast<WindowMessageEvent*>(e);
        received.push_back(
            {m->message(), m->wParam(), m->lParam(), QThread::currentThread() == qApp->thread()});
        m->setResult(static_cast<LRESULT>(m->message() + m->wParam()));
        return true;
    }
};

void pumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
}

TEST(WindowMessagesTest, PostedAndSentFromAWorkerArriveOnTheGuiThread) {
    Receiver window;
    std::atomic<bool> done{false};
    LRESULT sent = 0;
    std::thread worker([&] {
        EXPECT_TRUE(PostMessageW(&window, 0x800A, 1, 2));
        sent = SendMessageW(&window, WM_APP, 5, 0);
        done = true;
    });
    pumpUntil([&] { return done.load() && window.received.size() == 2; });
    worker.join();
    ASSERT_EQ(window.received.size(), 2u);
    // Posted first, so delivered first.
    EXPECT_EQ(window.received[0].message, 0x800Au);
    EXPECT_EQ(window.received[0].wParam, 1u);
    EXPECT_EQ(window.received[0].lParam, 2);
    EXPECT_TRUE(window.received[0].onGuiThread);
    EXPECT_EQ(window.received[1].message, WM_APP);
    EXPECT_EQ(sent, static_cast<LRESULT>(WM_APP + 5));
}

TEST(WindowMessagesTest, GoneAndNullWindows) {
    auto* window = new Receiver;
    EXPECT_TRUE(PostMessageW(window, WM_APP, 0, 0));
    delete window;
    // Delivery finds the window gone and drops the message.
    QCoreApplication::processEvents();
    SetLastError(0);
    EXPECT_EQ(SendMessageW(window, WM_APP, 0, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PostMessageW(nullptr, WM_APP, 0, 0));
}

}  // namespace
