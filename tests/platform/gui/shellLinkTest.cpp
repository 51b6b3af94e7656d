// The shell link object: COM initialisation and desktop entries that desktops accept.
#include "guiTestEnvironment.h"

#include <vsk/platform/shellLink.h>

#include <QFile>
#include <QString>

#include <sys/stat.h>
#include <cstdlib>
#include <filesystem>

namespace {

// Initialises COM for one test.
class ShellLinkTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitialize(nullptr), S_OK); }
    void TearDown() override {
        if (persist) persist->Release();
        if (link) link->Release();
        CoUninitialize();
    }

    void create() {
        ASSERT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_ALL, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link)),
                  S_OK);
        ASSERT_EQ(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)), S_OK);
    }

    static std::u16string u16(const std::string& utf8) {
        return QString::fromStdString(utf8).toStdU16String();
    }
    static QString read(const std::string& path) {
        QFile file(QString::fromStdString(path));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    // desktop-file-validate's verdict; skipped where the tool is missing.
    static int validate(const std::string& path) {
        return std::system(("desktop-file-validate '" + path + "'").c_str());
    }
    static bool haveValidator() {
        return std::system("command -v desktop-file-validate >/dev/null 2>&1") == 0;
    }

    IShellLinkW* link = nullptr;
    IPersistFile* persist = nullptr;
};

TEST(ComInitTest, NestedCallsAndObjectsNeedInitialisation) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_ALL, IID_IShellLinkW, &out),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoCreateInstance(IID_IShellLinkW, nullptr, CLSCTX_ALL, IID_IShellLinkW, &out),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_ALL, IID_IErrorInfo, &out), E_NOINTERFACE);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_ALL, IID_IShellLinkW, &out),
              CO_E_NOTINITIALIZED);
}

TEST(DesktopEntryPathTest, LnkBecomesDesktop) {
    EXPECT_EQ(DesktopEntryPath(u"/d/Кестрован.lnk"), u"/d/Кестрован.desktop");
    EXPECT_EQ(DesktopEntryPath(u"/d/A.LNK"), u"/d/A.desktop");
    EXPECT_EQ(DesktopEntryPath(u"/d/a.desktop"), u"/d/a.desktop");
    EXPECT_EQ(DesktopEntryPath(u"lnk"), u"lnk");
}

TEST_F(ShellLinkTest, SavesAnExecutableDesktopEntryThatValidates) {
    create();
    const std::string folder = GuiTest::Root() + "/Desktop";
    std::filesystem::create_directories(folder);
    // A target with the characters that need quoting in Exec.
    const std::string target = GuiTest::Root() + "/Program Files/a\"b$c`d\\e%f";
    ASSERT_EQ(link->SetPath(u16(target).c_str()), S_OK);
    ASSERT_EQ(link->SetDescription(u"Управление сертификатами\nи ключами"), S_OK);
    ASSERT_EQ(link->SetIconLocation(u16(GuiTest::Root() + "/icon.png").c_str(), 0), S_OK);
    ASSERT_EQ(persist->Save((u16(folder) + u"/Кестрован.lnk").c_str(), TRUE), S_OK);

    const std::string saved = folder + "/" + QString::fromUtf16(u"Кестрован.desktop").toStdString();
    ASSERT_TRUE(std::filesystem::exists(saved));
    EXPECT_FALSE(std::filesystem::exists(folder + "/" + QString::fromUtf16(u"Кестрован.lnk").toStdString()));
    struct stat st {};
    ASSERT_EQ(stat(saved.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    const QString text = read(saved);
    EXPECT_TRUE(text.startsWith(QStringLiteral("[Desktop Entry]\nType=Application\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nName=Кестрован\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nComment=Управление сертификатами\\nи ключами\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nTerminal=false\n")));
    // Quoted, with \ " ` $ escaped inside the quotes, % doubled, then every \ doubled once more by
    // the string escapes of the file.
    EXPECT_TRUE(text.contains(QStringLiteral("/Program Files/a\\\\\"b\\\\$c\\\\`d\\\\\\\\e%%f\"\n")));
    if (!haveValidator()) GTEST_SKIP() << "desktop-file-validate is not installed";
    EXPECT_EQ(validate(saved), 0);
}

TEST_F(ShellLinkTest, FailuresComeBackAsHresults) {
    create();
    EXPECT_EQ(persist->Save(u"/tmp/x.lnk", TRUE), E_INVALIDARG);  // no target yet
    ASSERT_EQ(link->SetPath(u"/usr/bin/true"), S_OK);
    EXPECT_EQ(persist->Save(u16(GuiTest::Root() + "/missing/x.lnk").c_str(), TRUE),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

}  // namespace
