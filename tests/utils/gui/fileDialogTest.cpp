// SelectFile, SelectExistingFile and SelectWriteFile: cancel, failure, flags and the bound on the
// initial name.
#include "guiTestEnvironment.h"
#include "testSupport.h"

#include <vsk/platform/commdlg.h>
#include <vsk/utils/gui.h>

#include <optional>
#include <vector>

namespace {

using Vsk::Utils::CError;
using Vsk::Utils::CWString;

class SelectFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetFileDialogDriver([this](const FileDialogRequest& request) {
            requests.push_back(request);
            return answer;
        });
    }
    void TearDown() override { SetFileDialogDriver({}); }

    std::vector<FileDialogRequest> requests;
    std::optional<std::u16string> answer;
};

constexpr const WCHAR* Filter = u"Сертификаты (*.cer)\0*.cer\0\0";

TEST_F(SelectFileTest, ChosenPathIsReturnedWithTheDialogsFlags) {
    answer = u"/tmp/выбор.cer";
    EXPECT_EQ(Vsk::InternalUtils::SelectWriteFile(u"Сохраните", nullptr, Filter, u"cer", u"MY.cer").toU16(),
              u"/tmp/выбор.cer");
    answer = u"/tmp/any";
    EXPECT_EQ(Vsk::InternalUtils::SelectFile(u"Откройте", nullptr, Filter, u"cer", nullptr, false).toU16(),
              u"/tmp/any.cer");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[0].save);
    EXPECT_TRUE(requests[0].overwritePrompt);
    EXPECT_EQ(requests[0].initialName, u"MY.cer");
    EXPECT_FALSE(requests[1].save);
    EXPECT_FALSE(requests[1].mustExist);
    EXPECT_EQ(requests[1].initialName, u"");

    // Must-exist: a missing file cannot be chosen, so the dialog counts as cancelled.
    answer = u"/nonexistent/file.cer";
    EXPECT_THROW(Vsk::InternalUtils::SelectExistingFile(u"Откройте", nullptr, Filter, u"cer", nullptr),
                 CError);
    EXPECT_TRUE(requests.back().mustExist);
}

TEST_F(SelectFileTest, CancelRaisesFileNotChosenWithNumber1223) {
    for (bool save : {false, true}) {
        const auto error = VskTest::Thrown([&] {
            if (save)
                Vsk::InternalUtils::SelectWriteFile(u"Сохраните", nullptr, Filter, u"cer", nullptr);
            else
                Vsk::InternalUtils::SelectExistingFile(u"Откройте", nullptr, Filter, u"cer", nullptr);
        });
        EXPECT_EQ(error.getErrorNumber(), 1223u);
        EXPECT_TRUE(error.getText().startsWith(CWString(u"Файл не выбран.")));
    }
}

TEST_F(SelectFileTest, DialogFailureNamesTheTitleAndTheExtendedError) {
    answer = u"/" + std::u16string(1100, u'ф');
    const auto error = VskTest::Thrown(
        [&] { Vsk::InternalUtils::SelectWriteFile(u"Сохраните", nullptr, Filter, nullptr, nullptr); });
    EXPECT_TRUE(error.getText().startsWith(CWString(u"Ошибка диалога \"Сохраните\": 12291")));
    EXPECT_NE(error.getErrorNumber(), 1223u);
}

TEST_F(SelectFileTest, InitialNameIsCutTo1023Characters) {
    // Names are made from certificate subjects; a long one must not overrun the dialog's buffer.
    const std::u16string longName(5000, u'Ж');
    answer = std::nullopt;
    EXPECT_THROW(Vsk::InternalUtils::SelectWriteFile(u"Сохраните", nullptr, Filter, u"cer", longName.c_str()),
                 CError);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].initialName, longName.substr(0, Vsk::InternalUtils::MaxInitialFileName));
    EXPECT_EQ(Vsk::InternalUtils::MaxInitialFileName, 1023u);
}

}  // namespace
