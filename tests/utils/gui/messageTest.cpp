// Error message boxes and window texts.
#include "guiTestEnvironment.h"
#include "messageRecorder.h"

#include <vsk/utils/gui.h>

namespace {

using Vsk::Utils::CError;
using Vsk::Utils::CWString;

TEST(WindowTextStringTest, NullEmptyAndTitled) {
    EXPECT_EQ(Vsk::InternalUtils::GetWindowTextString(nullptr).getLength(), 0u);
    QWidget window;
    EXPECT_EQ(Vsk::InternalUtils::GetWindowTextString(&window).getLength(), 0u);
    window.setWindowTitle(QStringLiteral("Кестрован"));
    EXPECT_EQ(Vsk::InternalUtils::GetWindowTextString(&window).toU16(), u"Кестрован");
}

// (owner title or none, caption given or none) -> caption shown.
struct CaptionCase {
    bool showError;  // ShowError, else ShowErrorMessage
    const char16_t* ownerTitle;
    const char16_t* caption;
    const char16_t* expected;
};

class ErrorCaptionTest : public ::testing::TestWithParam<CaptionCase> {};

TEST_P(ErrorCaptionTest, CaptionAndIcon) {
    const CaptionCase& c = GetParam();
    GuiTest::MessageRecorder recorder;
    QWidget window;
    if (c.ownerTitle) window.setWindowTitle(QString::fromUtf16(c.ownerTitle));
    HWND owner = c.ownerTitle ? &window : nullptr;
    if (c.showError)
        Vsk::InternalUtils::ShowError(owner, CError(u"Что-то сломалось", Vsk::Utils::NoErrorCode), c.caption);
    else
        Vsk::InternalUtils::ShowErrorMessage(owner, u"Что-то сломалось");
    const auto shown = recorder.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, c.expected);
    EXPECT_EQ(shown[0].text, u"Что-то сломалось");
    EXPECT_EQ(shown[0].type, MB_ICONERROR);
    EXPECT_EQ(shown[0].owner, owner);
}

INSTANTIATE_TEST_SUITE_P(Owners, ErrorCaptionTest,
                         ::testing::Values(CaptionCase{false, nullptr, nullptr, u"Ошибка"},
                                           CaptionCase{false, u"", nullptr, u"Ошибка"},
                                           CaptionCase{false, u"Главное окно", nullptr, u"Главное окно"},
                                           CaptionCase{true, u"Главное окно", nullptr, u"Главное окно"},
                                           CaptionCase{true, u"Главное окно", u"Своя", u"Своя"},
                                           // ShowError leaves a missing owner text empty.
                                           CaptionCase{true, nullptr, nullptr, u""}));

}  // namespace
