// The open and save dialogs: filters, the driver seam, the dialog's rules and the extended errors.
#include "guiTestEnvironment.h"

#include <vsk/platform/commdlg.h>

#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>

#include <map>

#include <fstream>
#include <optional>
#include <vector>

namespace {

struct FilterCase {
    std::u16string raw;  // with its NULs
    std::u16string converted;
};

class FilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FilterTest, Converts) {
    EXPECT_EQ(ConvertFileFilter(GetParam().raw.c_str()), GetParam().converted);
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(Lists, FilterTest,
                         ::testing::Values(FilterCase{u"Сертификаты (*.cer)\0*.cer\0\0"s,
                                                      u"Сертификаты (*.cer) (*.cer)"},
                                           FilterCase{u"Файлы ключей\0*.key; *.pfx\0Все файлы\0*.*\0\0"s,
                                                      u"Файлы ключей (*.key *.pfx);;Все файлы (*)"},
                                           // A description without patterns at the end of the list.
                                           FilterCase{u"Всё\0\0"s, u"Всё (*)"}, FilterCase{u"\0"s, u""}));

class FileDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetFileDialogDriver([this](const FileDialogRequest& request) {
            requests.push_back(request);
            return answer;
        });
        ofn.lStructSize = sizeof(ofn);
        ofn.lpstrFile = buffer.data();
        ofn.nMaxFile = static_cast<DWORD>(buffer.size());
        ofn.lpstrTitle = u"Выбор";
        ofn.lpstrFilter = u"Сертификаты\0*.cer\0\0";
        ofn.lpstrDefExt = u"cer";
    }
    void TearDown() override { SetFileDialogDriver({}); }

    std::vector<FileDialogRequest> requests;
    std::optional<std::u16string> answer;
    std::vector<WCHAR> buffer = std::vector<WCHAR>(64, 0);
    OPENFILENAMEW ofn{};
};

TEST_F(FileDialogTest, PassesTheRequestAndReturnsThePathWithTheDefaultExtension) {
    std::u16string initial = u"исходное.cer";
    std::copy(initial.begin(), initial.end(), buffer.begin());
    ofn.Flags = OFN_OVERWRITEPROMPT;
    answer = u"/tmp/папка/имя";
    ASSERT_TRUE(GetSaveFileNameW(&ofn));
    EXPECT_EQ(std::u16string(buffer.data()), u"/tmp/папка/имя.cer");
    EXPECT_EQ(ofn.nFileOffset, 11);
    EXPECT_EQ(ofn.nFileExtension, 15);
    EXPECT_EQ(CommDlgExtendedError(), 0u);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].save);
    EXPECT_TRUE(requests[0].overwritePrompt);
    EXPECT_EQ(requests[0].title, u"Выбор");
    EXPECT_EQ(requests[0].initialName, initial);
    EXPECT_EQ(requests[0].nameFilters, u"Сертификаты (*.cer)");
    EXPECT_EQ(requests[0].defaultSuffix, u"cer");
}

TEST_F(FileDialogTest, CancelAndMissingFileOfAMustExistDialogGiveNoExtendedError) {
    answer = std::nullopt;
    EXPECT_FALSE(GetOpenFileNameW(&ofn));
    EXPECT_EQ(CommDlgExtendedError(), 0u);
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    answer = QString::fromStdString(GuiTest::Root() + "/absent.cer").toStdU16String();
    EXPECT_FALSE(GetOpenFileNameW(&ofn));
    EXPECT_EQ(CommDlgExtendedError(), 0u);
    EXPECT_TRUE(requests.back().mustExist);
}

TEST_F(FileDialogTest, PathLongerThanTheBufferIsReportedWithTheSizeNeeded) {
    answer = u"/" + std::u16string(100, u'я') + u".cer";
    EXPECT_FALSE(GetOpenFileNameW(&ofn));
    EXPECT_EQ(CommDlgExtendedError(), FNERR_BUFFERTOOSMALL);
    EXPECT_EQ(buffer[0], 106);
}

TEST_F(FileDialogTest, BadRecordsFail) {
    ofn.lStructSize = 76;
    EXPECT_FALSE(GetOpenFileNameW(&ofn));
    EXPECT_EQ(CommDlgExtendedError(), CDERR_STRUCTSIZE);
    ofn.lStructSize = sizeof(ofn);
    ofn.lpstrFile = nullptr;
    EXPECT_FALSE(GetOpenFileNameW(&ofn));
    EXPECT_EQ(CommDlgExtendedError(), CDERR_INITIALIZATION);
    EXPECT_TRUE(requests.empty());
}

// Without the driver the Qt dialog runs: its modes follow the flags and its choice comes back.
TEST(RealFileDialogTest, OpenDialogReturnsTheChosenExistingFile) {
    const std::string path = GuiTest::Root() + "/exists.cer";
    std::ofstream(path) << "x";
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    QStringList filters;
    GuiTest::OnModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        mode = dialog->fileMode();
        filters = dialog->nameFilters();
        dialog->selectFile(QString::fromStdString(path));
        QMetaObject::invokeMethod(dialog, "accept");
    });
    std::vector<WCHAR> buffer(1024, 0);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = 1024;
    ofn.lpstrFilter = u"Сертификаты (*.cer)\0*.cer\0Все файлы\0*.*\0\0";
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    ASSERT_TRUE(GetOpenFileNameW(&ofn));
    EXPECT_EQ(QString::fromUtf16(buffer.data()).toStdString(), path);
    EXPECT_EQ(mode, QFileDialog::ExistingFile);
    EXPECT_EQ(filters,
              QStringList({QStringLiteral("Сертификаты (*.cer) (*.cer)"), QStringLiteral("Все файлы (*)")}));
}

// Qt's own texts of the dialog are Russian once the program installs Qt's translation.
TEST(RealFileDialogTest, SpeaksRussian) {
    std::map<QString, QString> texts;
    GuiTest::OnModal([&](QWidget* modal) {
        for (QLabel* label : modal->findChildren<QLabel*>())
            if (!label->objectName().isEmpty()) texts[label->objectName()] = label->text();
        if (auto* box = modal->findChild<QDialogButtonBox*>()) {
            texts[QStringLiteral("accept")] = box->buttons().value(0)->text();
            for (QAbstractButton* button : box->buttons())
                if (box->buttonRole(button) == QDialogButtonBox::RejectRole)
                    texts[QStringLiteral("reject")] = button->text();
                else if (box->buttonRole(button) == QDialogButtonBox::AcceptRole)
                    texts[QStringLiteral("accept")] = button->text();
        }
        GuiTest::Screenshot(modal, "fileDialog");
        static_cast<QDialog*>(modal)->reject();
    });
    std::vector<WCHAR> buffer(1024, 0);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = 1024;
    ofn.lpstrTitle = u"Открыть сертификат";
    ofn.lpstrFilter = u"Сертификаты (*.cer)\0*.cer\0Все файлы\0*.*\0\0";
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    EXPECT_FALSE(GetOpenFileNameW(&ofn));
    EXPECT_EQ(texts[QStringLiteral("lookInLabel")], QStringLiteral("Перейти к:"));
    EXPECT_EQ(texts[QStringLiteral("fileNameLabel")], QStringLiteral("&Имя файла:"));
    EXPECT_EQ(texts[QStringLiteral("fileTypeLabel")], QStringLiteral("Типы файлов:"));
    EXPECT_EQ(texts[QStringLiteral("accept")], QStringLiteral("&Открыть"));
    EXPECT_EQ(texts[QStringLiteral("reject")], QStringLiteral("Отмена"));
    // The type column's words, which Qt's own translation lacks.
    EXPECT_EQ(QCoreApplication::translate("QAbstractFileIconProvider", "Folder"), QStringLiteral("Папка"));
}

}  // namespace
