// Records the message boxes that the code under test shows and answers them.
#pragma once

#include <vsk/platform/gui.h>

#include <QCoreApplication>
#include <QThread>

#include <mutex>
#include <string>
#include <vector>

namespace GuiTest {

struct ShownMessage {
    std::u16string caption;
    std::u16string text;
    UINT type = 0;
    HWND owner = nullptr;
    bool onGuiThread = false;
};

class MessageRecorder {
public:
    explicit MessageRecorder(int answer = IDOK) : answer_(answer) {
        SetMessageBoxHook(
            [this](const std::u16string& caption, const std::u16string& text, UINT type, HWND owner) {
                std::lock_guard guard(lock_);
                shown_.push_back({caption, text, type, owner, QThread::currentThread() == qApp->thread()});
                return answer_;
            });
    }
    ~MessageRecorder() { SetMessageBoxHook({}); }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    std::vector<ShownMessage> shown() {
        std::lock_guard guard(lock_);
        return shown_;
    }

private:
    std::mutex lock_;
    std::vector<ShownMessage> shown_;
    int answer_;
};

}  // namespace GuiTest
