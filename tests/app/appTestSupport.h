// What the window tests share: one QApplication on the offscreen platform for the process, a fresh
// root per test (registry hives, stores, key containers), the message-box recorder with scripted
// answers, and the main window made and shown as the program makes it.
#pragma once

#include "kestrovanDlg.h"
#include "testSupport.h"

#include <vsk/platform/gui.h>
#include <vsk/platform/registry.h>
#include <vsk/platform/registryTesting.h>
#include <vsk/platform/wait.h>

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QTreeWidget>

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Wait, letting events flow, until a condition holds (at most 5 s), then check it with GoogleTest.
// (QtTest's QTRY_ macros report to QtTest's own runner, which GoogleTest does not see.)
#define APP_WAIT_TRUE(condition) \
    EXPECT_TRUE(QTest::qWaitFor([&] { return static_cast<bool>(condition); }, 5000)) << #condition
#define APP_WAIT_EQ(actual, expected)                                  \
    do {                                                               \
        QTest::qWaitFor([&] { return (actual) == (expected); }, 5000); \
        EXPECT_EQ(actual, expected);                                   \
    } while (0)

namespace AppTest {

// The download address of the window tests that do not test the update.
inline const WCHAR NoUpdateServer[] = u"https://127.0.0.1:1/download/kestrovan";

class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        if (!getenv("VSK_GUI_SCREENSHOTS")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "kestrovan";
        static char* argv[] = {name, nullptr};
        m_app = std::make_unique<QApplication>(argc, argv);
        InstallQtTranslations();
        // Every window starts the update check: it asks a port where nothing listens, never the
        // authority's server. The update tests point it at their own server.
        SetUpdateUrlForTests(NoUpdateServer);
    }
    void TearDown() override { m_app.reset(); }

private:
    std::unique_ptr<QApplication> m_app;
};

// A fresh root for one test (testSupport.h) whose registry hives are opened from it: the hives stay
// open for the whole process otherwise, so option bits and settings would pass from test to test.
class FreshRoot : public VskTest::TestRoot {
public:
    FreshRoot() { RegistryResetForTests(); }
    ~FreshRoot() { RegistryResetForTests(); }
};

// One message box as the window asked for it.
struct Message {
    std::u16string caption;
    std::u16string text;
    UINT type;
};

// Records every message box while it lives and answers from a script (IDOK, or IDYES for a question
// box, when the script is empty). Message boxes are shown on the GUI thread, also those of workers.
class MessageRecorder {
public:
    MessageRecorder() {
        SetMessageBoxHook([this](const std::u16string& caption, const std::u16string& text, UINT type, HWND) {
            std::lock_guard guard(m_mutex);
            m_messages.push_back({caption, text, type});
            if (!m_answers.empty()) {
                const int answer = m_answers.front();
                m_answers.pop_front();
                return answer;
            }
            const UINT buttons = type & MB_TYPEMASK;
            return buttons == MB_YESNO || buttons == MB_YESNOCANCEL ? IDYES : IDOK;
        });
    }
    ~MessageRecorder() { SetMessageBoxHook({}); }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    void answer(int button) {
        std::lock_guard guard(m_mutex);
        m_answers.push_back(button);
    }
    std::vector<Message> messages() const {
        std::lock_guard guard(m_mutex);
        return m_messages;
    }
    size_t count() const {
        std::lock_guard guard(m_mutex);
        return m_messages.size();
    }
    void clear() {
        std::lock_guard guard(m_mutex);
        m_messages.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Message> m_messages;
    std::deque<int> m_answers;
};

// Writes the application's option bits ("flags") for the next window.
inline void SetOptions(DWORD options) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, AppRegistryKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              0);
    ASSERT_EQ(
        RegSetValueExW(key, u"flags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&options), sizeof options),
        0);
    RegCloseKey(key);
}

// The main window, shown; its destructor stops the workers as closing the window does.
inline std::unique_ptr<CKestrovanDlg> ShowWindow() {
    auto window = std::make_unique<CKestrovanDlg>();
    window->show();
    // Qt remembers the modifiers of the last key event: a Ctrl+key of an earlier test would still
    // count as held. A bare release clears them.
    QTest::keyRelease(window.get(), Qt::Key_Control, Qt::NoModifier);
    QCoreApplication::processEvents();
    return window;
}

// Waits (letting events flow) until the initialisation thread has ended.
inline bool WaitForInit(CKestrovanDlg& window, int milliseconds = 30000) {
    return QTest::qWaitFor(
        [&] {
            if (!window.m_initThread) return true;
            return WaitForSingleObject(window.m_initThread, 0) == WAIT_OBJECT_0;
        },
        milliseconds);
}

// Selects a tree node by its identifier.
inline void SelectNode(CKestrovanDlg& window, NodeId node) {
    QTreeWidget* tree = window.tree();
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        if (CKestrovanDlg::nodeOf(*it) == node) {
            tree->setCurrentItem(*it);
            return;
        }
    }
    ADD_FAILURE() << "no tree node " << node;
}

inline QString Text(const char16_t* text) {
    return QString::fromUtf16(text);
}

}  // namespace AppTest
