// Message boxes, window texts, controls and the hand-over of calls to the GUI thread.
#include "guiTestEnvironment.h"

#include <vsk/platform/gui.h>
#include <vsk/platform/kernel.h>

#include <QAbstractButton>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

struct Recorded {
    std::u16string caption;
    std::u16string text;
    UINT type = 0;
    HWND owner = nullptr;
    bool onGuiThread = false;
};

class MessageBoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetMessageBoxHook(
            [this](const std::u16string& caption, const std::u16string& text, UINT type, HWND owner) {
                calls.push_back({caption, text, type, owner, QThread::currentThread() == qApp->thread()});
                return answer;
            });
    }
    void TearDown() override { SetMessageBoxHook({}); }

    std::vector<Recorded> calls;
    int answer = IDYES;
};

// Runs the event loop on this (the GUI) thread until `done` or five seconds have passed.
void pumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
}

TEST_F(MessageBoxTest, HookRecordsTheCallAndAnswers) {
    QWidget owner;
    answer = IDNO;
    EXPECT_EQ(MessageBoxW(&owner, u"Текст", u"Заголовок", MB_YESNO | MB_ICONQUESTION), IDNO);
    // A null caption shows "Ошибка"; an empty one stays empty.
    EXPECT_EQ(MessageBoxW(nullptr, u"x", nullptr, MB_OK), IDNO);
    EXPECT_EQ(MessageBoxW(nullptr, nullptr, u"", MB_OK), IDNO);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].caption, u"Заголовок");
    EXPECT_EQ(calls[0].text, u"Текст");
    EXPECT_EQ(calls[0].type, MB_YESNO | MB_ICONQUESTION);
    EXPECT_EQ(calls[0].owner, &owner);
    EXPECT_EQ(calls[1].caption, u"Ошибка");
    EXPECT_EQ(calls[2].caption, u"");
    EXPECT_EQ(calls[2].text, u"");
}

TEST_F(MessageBoxTest, UnknownButtonTypeFails) {
    SetLastError(0);
    EXPECT_EQ(MessageBoxW(nullptr, u"x", u"y", 0x0F), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(calls.empty());
}

TEST_F(MessageBoxTest, WorkerThreadReachesTheHookOnTheGuiThread) {
    answer = IDCANCEL;
    std::atomic<int> result{-1};
    std::thread worker([&] { result = MessageBoxW(nullptr, u"Из потока", u"Вопрос", MB_YESNOCANCEL); });
    pumpUntil([&] { return result.load() != -1; });
    worker.join();
    EXPECT_EQ(result.load(), IDCANCEL);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].onGuiThread);
    EXPECT_EQ(calls[0].text, u"Из потока");
}

// The real box: icon, Russian button texts, plain text and the identifier of the button pressed.
struct BoxCase {
    UINT type;
    QMessageBox::Icon icon;
    std::vector<const char16_t*> buttons;
    const char16_t* press;
    int expected;
};

class RealMessageBoxTest : public ::testing::TestWithParam<BoxCase> {};

TEST_P(RealMessageBoxTest, ShowsButtonsAndReturnsThePressedOne) {
    const BoxCase& c = GetParam();
    QStringList texts;
    Qt::TextFormat format = Qt::AutoText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    GuiTest::OnModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        format = box->textFormat();
        icon = box->icon();
        for (QAbstractButton* button : box->buttons()) texts << button->text();
        for (QAbstractButton* button : box->buttons())
            if (button->text() == QString::fromUtf16(c.press)) {
                button->click();
                return;
            }
        box->reject();
    });
    EXPECT_EQ(MessageBoxW(nullptr, u"<b>не разметка</b>", u"Проверка", c.type), c.expected);
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(icon, c.icon);
    QStringList expected;
    for (const char16_t* b : c.buttons) expected << QString::fromUtf16(b);
    texts.sort();
    expected.sort();
    EXPECT_EQ(texts, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Types, RealMessageBoxTest,
    ::testing::Values(
        BoxCase{MB_OK | MB_ICONERROR, QMessageBox::Critical, {u"ОК"}, u"ОК", IDOK},
        BoxCase{MB_OKCANCEL | MB_ICONWARNING, QMessageBox::Warning, {u"ОК", u"Отмена"}, u"Отмена", IDCANCEL},
        BoxCase{MB_YESNO | MB_ICONQUESTION, QMessageBox::Question, {u"Да", u"Нет"}, u"Нет", IDNO},
        BoxCase{MB_YESNOCANCEL | MB_ICONINFORMATION,
                QMessageBox::Information,
                {u"Да", u"Нет", u"Отмена"},
                u"Да",
                IDYES},
        // Closed without a button: Cancel where the box has one.
        BoxCase{MB_YESNOCANCEL, QMessageBox::NoIcon, {u"Да", u"Нет", u"Отмена"}, u"", IDCANCEL}));

TEST(WindowTextTest, TitlesAndControlTexts) {
    QWidget window;
    window.setWindowTitle(QStringLiteral("Кестрован"));
    auto* label = new QLabel(QStringLiteral("Метка"), &window);
    auto* edit = new QLineEdit(&window);
    SetDlgCtrlID(edit, 1004);

    WCHAR buffer[6];
    EXPECT_EQ(GetWindowTextLengthW(&window), 9);
    // Cut to the buffer with its NUL.
    EXPECT_EQ(GetWindowTextW(&window, buffer, 6), 5);
    EXPECT_EQ(std::u16string(buffer), u"Кестр");
    EXPECT_EQ(GetWindowTextW(label, buffer, 6), 5);
    EXPECT_EQ(std::u16string(buffer), u"Метка");

    EXPECT_EQ(GetDlgItem(&window, 1004), edit);
    EXPECT_EQ(GetDlgCtrlID(edit), 1004);
    EXPECT_TRUE(SetWindowTextW(GetDlgItem(&window, 1004), u"пользователь"));
    EXPECT_EQ(edit->text(), QStringLiteral("пользователь"));
    SetLastError(0);
    EXPECT_EQ(GetDlgItem(&window, 1005), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CONTROL_ID_NOT_FOUND);

    SetLastError(0);
    EXPECT_EQ(GetWindowTextW(nullptr, buffer, 6), 0);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_TRUE(IsWindow(&window));
    EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(uintptr_t{0x10})));
}

TEST(GuiThreadTest, WorkerCallsRunOnTheGuiThreadWithTheirLastErrorAndExceptions) {
    std::atomic<int> stage{0};
    bool ranOnGui = false;
    DWORD seenError = 0;
    DWORD errorAfter = 0;
    bool caught = false;
    std::thread worker([&] {
        SetLastError(77);
        RunOnGuiThread([&] {
            ranOnGui = QThread::currentThread() == qApp->thread();
            seenError = GetLastError();
            SetLastError(88);
        });
        errorAfter = GetLastError();
        try {
            RunOnGuiThread([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error&) {
            caught = true;
        }
        stage = 1;
    });
    pumpUntil([&] { return stage.load() == 1; });
    worker.join();
    EXPECT_TRUE(ranOnGui);
    EXPECT_EQ(seenError, 77u);
    EXPECT_EQ(errorAfter, 88u);
    EXPECT_TRUE(caught);
}

TEST(ForegroundTest, ActivatesTheWindow) {
    QWidget window;
    window.setWindowTitle(QStringLiteral("Окно"));
    window.show();
    EXPECT_TRUE(SetForegroundWindow(&window));
    EXPECT_EQ(GetForegroundWindow(), &window);
    EXPECT_FALSE(SetForegroundWindow(nullptr));
}

// Whether two pictures are the same up to rounding: a pixmap keeps its pixels premultiplied by
// alpha, and which of Qt's conversion routines runs (and how it rounds) depends on the processor.
bool samePicture(const QImage& a, const QImage& b) {
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    if (x.size() != y.size()) return false;
    for (int row = 0; row < x.height(); ++row) {
        for (int column = 0; column < x.width(); ++column) {
            const QRgb p = x.pixel(column, row);
            const QRgb q = y.pixel(column, row);
            for (int shift : {0, 8, 16, 24}) {
                if (std::abs(static_cast<int>((p >> shift) & 0xFF) - static_cast<int>((q >> shift) & 0xFF)) >
                    1)
                    return false;
            }
        }
    }
    return true;
}

// Icons: the picture of resource n with the pictures drawn for 16 and 20 pixels when the resources hold
// them (the test's resources: 151 with both, 152 alone), one shared handle per icon.
TEST(IconTest, SmallPicturesJoinTheLargeOne) {
    struct Case {
        unsigned id;
        QList<QSize> sizes;
    };
    for (const Case& c : {Case{151, {{16, 16}, {20, 20}, {32, 32}}}, Case{152, {{32, 32}}}}) {
        SCOPED_TRACE(c.id);
        const HICON handle = LoadIconW(nullptr, MAKEINTRESOURCEW(c.id));
        ASSERT_NE(handle, nullptr);
        QList<QSize> sizes = reinterpret_cast<QIcon*>(handle)->availableSizes();
        std::sort(sizes.begin(), sizes.end(), [](QSize a, QSize b) { return a.width() < b.width(); });
        EXPECT_EQ(sizes, c.sizes);
        // Each size drawn is shown as drawn, not scaled from another.
        for (const QSize& size : c.sizes) {
            const QString file =
                QStringLiteral(":/vsk/icons/%1%2.png")
                    .arg(c.id)
                    .arg(size.width() == 32 ? QString() : QStringLiteral("-%1").arg(size.width()));
            EXPECT_TRUE(samePicture(reinterpret_cast<QIcon*>(handle)->pixmap(size).toImage(), QImage(file)))
                << file.toStdString();
        }
        EXPECT_EQ(LoadIconW(nullptr, MAKEINTRESOURCEW(c.id)), handle);
    }
    SetLastError(0);
    EXPECT_EQ(LoadIconW(nullptr, MAKEINTRESOURCEW(150)), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
}

}  // namespace
