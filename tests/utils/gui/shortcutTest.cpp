// CreateLink: the program's desktop shortcut and its failures.
#include "guiTestEnvironment.h"

#include <vsk/platform/file.h>
#include <vsk/platform/shell.h>
#include <vsk/platform/shellLink.h>
#include <vsk/utils/gui.h>

#include <QString>

#include <cstdlib>
#include <filesystem>

namespace {

using Vsk::Utils::CErrorFormatter;
using Vsk::Utils::CWString;

std::u16string u16(const std::string& utf8) {
    return QString::fromStdString(utf8).toStdU16String();
}

TEST(CreateLinkTest, DesktopShortcutIsADesktopEntryThatValidates) {
    WCHAR desktop[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY | CSIDL_FLAG_CREATE, nullptr, 0, desktop),
              S_OK);
    const std::u16string link = std::u16string(desktop) + u"/Кестрован.lnk";
    CErrorFormatter formatter;
    EXPECT_TRUE(Vsk::InternalUtils::CreateLink(u"/opt/kestrovan/kestrovan", link.c_str(),
                                               u"Управление сертификатами и ключами ЭП", nullptr,
                                               &formatter));
    EXPECT_EQ(formatter.getCount(), 0u);
    const std::string saved =
        QString::fromStdU16String(std::u16string(desktop) + u"/Кестрован.desktop").toStdString();
    ASSERT_TRUE(std::filesystem::exists(saved));
    if (std::system("command -v desktop-file-validate >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "desktop-file-validate is not installed";
    EXPECT_EQ(std::system(("desktop-file-validate '" + saved + "'").c_str()), 0);
}

TEST(CreateLinkTest, FailureGoesIntoTheFormatterWithTheShortcutPath) {
    const std::u16string link = u16(GuiTest::Root()) + u"/нет такой папки/Кестрован.lnk";
    CErrorFormatter formatter;
    EXPECT_FALSE(Vsk::InternalUtils::CreateLink(u"/opt/kestrovan/kestrovan", link.c_str(), u"Описание",
                                                u"/opt/kestrovan/icon.png", &formatter));
    ASSERT_EQ(formatter.getCount(), 1u);
    const Vsk::Utils::CError error = formatter.format(CWString(u"\n"));
    EXPECT_TRUE(error.getText().startsWith(CWString(u"Создание ярлыка ") + CWString(link.c_str())));
    // Without a formatter the failure is only returned.
    EXPECT_FALSE(Vsk::InternalUtils::CreateLink(u"/x", link.c_str(), u"", nullptr, nullptr));
    // The shell-link part alone needs COM initialised by its caller.
    EXPECT_EQ(Vsk::InternalUtils::createLink(u"/x", link.c_str(), u"", nullptr), CO_E_NOTINITIALIZED);
}

}  // namespace
