// What every window function owes its caller: the caller's last error survives a call that does not
// fail; the foreground pause neither takes a pending quit request nor runs handlers; an error of
// the template module's loading reaches the caller unchanged.
#include "guiTestEnvironment.h"
#include "messageRecorder.h"

#include <vsk/platform/commdlg.h>
#include <vsk/platform/file.h>
#include <vsk/platform/shell.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/gui.h>

#include <vsk/utils/progressDialog.h>
#include "templateModule.h"

#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

namespace {

using Vsk::Utils::CError;
using Vsk::Utils::CErrorFormatter;
using Vsk::Utils::CWString;

struct Call {
    const char* what;
    std::function<void()> run;
};

TEST(WindowContractTest, CallerLastErrorSurvivesCallsThatDoNotFail) {
    GuiTest::MessageRecorder recorder;
    SetFileDialogDriver(
        [](const FileDialogRequest&) { return std::optional<std::u16string>(u"/tmp/выбор.cer"); });
    QWidget window;
    window.setWindowTitle(QStringLiteral("Главное окно"));
    window.show();
    WCHAR desktop[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY | CSIDL_FLAG_CREATE, nullptr, 0, desktop),
              S_OK);
    const std::u16string link = std::u16string(desktop) + u"/Кестрован.lnk";
    const Call calls[] = {
        {"ShowErrorMessage", [] { Vsk::InternalUtils::ShowErrorMessage(nullptr, u"Сбой"); }},
        {"ShowError",
         [&] { Vsk::InternalUtils::ShowError(&window, CError(u"Сбой", Vsk::Utils::NoErrorCode), nullptr); }},
        {"GetWindowTextString", [] { Vsk::InternalUtils::GetWindowTextString(nullptr); }},
        {"SelectFile",
         [] { Vsk::InternalUtils::SelectFile(u"Выбор", nullptr, u"Все\0*.*\0\0", u"cer", nullptr, false); }},
        {"BringToForeground", [&] { Vsk::InternalUtils::BringToForeground(&window); }},
        {"MsgWaitForObjects", [] { Vsk::InternalUtils::MsgWaitForObjects(0, nullptr, false, 10); }},
        {"CreateLink",
         [&] {
             Vsk::InternalUtils::CreateLink(u"/opt/kestrovan/kestrovan", link.c_str(), u"Кестрован", nullptr,
                                            nullptr);
         }},
        {"CListDialogParams::show",
         [] {
             Vsk::InternalUtils::CListDialogParams params;
             params.addItem(CWString(u"Имя"), CWString(u"Значение"));
             params.show(CWString(u"Список"), CWString(u"Поле"), CWString(u"Значение"), nullptr, false);
             qobject_cast<QPushButton*>(GetDlgItem(params.getDialog(), IDOK))->click();
             QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
         }},
        {"CProgress",
         [] {
             Vsk::InternalUtils::CProgress progress(nullptr);
             progress.start(u"Загрузка");
             progress.setRange(10);
             progress.setPos(5);
             progress.stop();
         }},
        {"ShowLoginDialog",
         [] {
             GuiTest::OnModal(
                 [](QWidget* dialog) { qobject_cast<QPushButton*>(GetDlgItem(dialog, IDOK))->click(); });
             CWString user;
             CWString password;
             EXPECT_TRUE(
                 Vsk::InternalUtils::ShowLoginDialog(nullptr, CWString(u"Прокси"), user, password, nullptr));
         }},
    };
    for (const DWORD before : {DWORD{0}, DWORD{12345}}) {
        for (const Call& call : calls) {
            SCOPED_TRACE(call.what);
            SetLastError(before);
            call.run();
            EXPECT_EQ(GetLastError(), before);
        }
    }
    SetFileDialogDriver({});
    // The case that showed it: an error built after a message box names no error of the box's.
    SetLastError(0);
    Vsk::InternalUtils::ShowErrorMessage(nullptr, u"Сбой");
    const CError later("Операция не выполнена", Vsk::Utils::LastErrorCode);
    EXPECT_EQ(later.getCode(), 0);
    EXPECT_EQ(later.getText().toU16(), u"Операция не выполнена");
}

// A window that cannot be activated makes BringToForeground try and pause a hundred times. The
// pauses sleep: a pending quit request is still there afterwards, for the caller's loop.
TEST(WindowContractTest, ForegroundPausesKeepTheQuitRequest) {
    // A window kept off the screen is never activated.
    QWidget window;
    window.setAttribute(Qt::WA_DontShowOnScreen);
    PostQuitMessage(3);
    const auto begin = std::chrono::steady_clock::now();
    Vsk::InternalUtils::BringToForeground(&window);
    // The hundred tries with their pauses of 20 ms ran.
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(2000));
    MSG message{};
    ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, WM_QUIT);
    EXPECT_EQ(message.wParam, 3u);
}

// The template module's error: CLib's own, the same for every dialog.
TEST(WindowContractTest, TemplateModuleErrorReachesTheCallerUnchanged) {
    const char16_t* const absent = u"/absent/templates.so";
    CWString expected;
    int32_t expectedCode = 0;
    try {
        Vsk::InternalUtils::CLib lib(absent);
        lib.load();
        FAIL() << "the module loaded";
    } catch (const CError& error) {
        expected = error.getText();
        expectedCode = error.getCode();
    }
    Vsk::InternalUtils::SetTemplateFallbackModule(absent);

    CErrorFormatter formatter;
    CWString user;
    CWString password;
    EXPECT_FALSE(
        Vsk::InternalUtils::ShowLoginDialog(&formatter, CWString(u"Прокси"), user, password, nullptr));
    EXPECT_EQ(formatter.format(CWString(u"")).getText().toU16(), expected.toU16());

    const std::function<void()> raising[] = {
        [] { Vsk::InternalUtils::CProgress(nullptr).start(u"Загрузка"); },
        [] {
            Vsk::InternalUtils::CListDialogParams params;
            params.show(CWString(u"Список"), CWString(u"Поле"), CWString(u"Значение"), nullptr, false);
        },
    };
    for (const auto& call : raising) {
        try {
            call();
            ADD_FAILURE() << "no error";
        } catch (const CError& error) {
            EXPECT_EQ(error.getText().toU16(), expected.toU16());
            EXPECT_EQ(error.getCode(), expectedCode);
        }
    }
    Vsk::InternalUtils::SetTemplateFallbackModule(nullptr);
}

}  // namespace
