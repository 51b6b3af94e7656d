#include "kernelTestRoot.h"

#include <vsk/platform/file.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/shell.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

std::string folderOf(int csidl) {
    WCHAR path[MAX_PATH] = {};
    const HRESULT hr =
        SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path);
    EXPECT_EQ(hr, S_OK);
    return Utf8(path);
}

TEST(Folders, FollowTheXdgVariablesAndTheHomeFolder) {
    KernelTestRoot root;
    const std::string home = root / "home";
    struct Case {
        const char* name;
        const char* variable;  // null: none set
        std::string value;
        int csidl;
        std::string expected;
    } cases[] = {
        {"local data from XDG_DATA_HOME", "XDG_DATA_HOME", root / "data", CSIDL_LOCAL_APPDATA, root / "data"},
        {"local data default", nullptr, "", CSIDL_LOCAL_APPDATA, home + "/.local/share"},
        {"relative XDG value ignored", "XDG_DATA_HOME", "rel/data", CSIDL_LOCAL_APPDATA,
         home + "/.local/share"},
        {"roaming data from XDG_CONFIG_HOME", "XDG_CONFIG_HOME", root / "config", CSIDL_APPDATA,
         root / "config"},
        {"roaming data default", nullptr, "", CSIDL_APPDATA, home + "/.config"},
        {"desktop default", nullptr, "", CSIDL_DESKTOPDIRECTORY, home + "/Desktop"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unsetenv("XDG_DATA_HOME");
        unsetenv("XDG_CONFIG_HOME");
        if (c.variable) KernelTestRoot::set(c.variable, c.value);
        EXPECT_EQ(folderOf(c.csidl), c.expected);
        struct stat st;
        ASSERT_EQ(stat(c.expected.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
    unsetenv("XDG_DATA_HOME");
}

TEST(Folders, DesktopComesFromUserDirs) {
    KernelTestRoot root;
    KernelTestRoot::set("XDG_CONFIG_HOME", root / "config");
    std::filesystem::create_directories(root / "config");
    std::ofstream(root / "config/user-dirs.dirs") << Utf8(
        u8"# written by xdg-user-dirs-update\n"
        u8"XDG_DOCUMENTS_DIR=\"$HOME/Документы\"\n"
        u8"XDG_DESKTOP_DIR=\"$HOME/Рабочий стол\"\n");
    WCHAR path[MAX_PATH] = {};
    // Not created unless asked.
    EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_DESKTOPDIRECTORY, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_DESKTOP, nullptr, 0, path),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_DESKTOPDIRECTORY, TRUE));
    EXPECT_EQ(Utf8(path), root / Utf8(u8"home/Рабочий стол"));
    EXPECT_TRUE(std::filesystem::is_directory(root / Utf8(u8"home/Рабочий стол")));
    EXPECT_EQ(SHGetFolderPathW(nullptr, 0x0005, nullptr, 0, path), E_INVALIDARG);
}

TEST(Folders, CreateDirectoryWithParents) {
    KernelTestRoot root;
    std::ofstream(root / "file") << "x";
    const struct {
        std::string path;
        int result;
    } cases[] = {
        {root / "a/b\\Helvor\\", ERROR_SUCCESS},
        {root / "a/b/Helvor", ERROR_ALREADY_EXISTS},
        {"relative/folder", static_cast<int>(ERROR_BAD_PATHNAME)},
        {root / "file/sub", static_cast<int>(ERROR_PATH_NOT_FOUND)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(SHCreateDirectoryExW(nullptr, Utf16(c.path).c_str(), nullptr), c.result);
    }
    EXPECT_TRUE(std::filesystem::is_directory(root / "a/b/Helvor"));
}

TEST(Folders, NoFileAssociations) {
    WCHAR buffer[260] = {};
    DWORD size = 260;
    EXPECT_EQ(AssocQueryStringW(0, ASSOCSTR_EXECUTABLE, u".zip", u"open", buffer, &size),
              MakeHResult(0x80070483));
    EXPECT_EQ(buffer[0], 0);
}

// Nothing is run as a program through the shell: elevation is refused, unknown verbs find no
// association, and "open" only hands the file to the desktop's handler. The file is a script that
// would leave a mark if it ran.
TEST(Folders, ShellExecuteStartsNothing) {
    KernelTestRoot root;
    const std::string script = root / "start.sh";
    const std::string mark = root / "started";
    std::ofstream(script) << "#!/bin/sh\ntouch '" << mark << "'\n";
    ::chmod(script.c_str(), 0755);
    const ShellOpenHandler saved = GetShellOpenHandler();
    std::vector<std::string> opened;
    bool handlerAnswer = true;
    enum Handler { None, Recording };
    const struct {
        const char16_t* verb;
        const char* file;  // relative to the root; null for none
        Handler handler;
        bool answer;
        intptr_t result;
        DWORD error;
    } cases[] = {
        {u"runas", "start.sh", Recording, true, SE_ERR_ACCESSDENIED, ERROR_NOT_SUPPORTED},
        {u"RunAs", "start.sh", Recording, true, SE_ERR_ACCESSDENIED, ERROR_NOT_SUPPORTED},
        {u"runasx", "start.sh", Recording, true, SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION},
        {u"edit", "start.sh", Recording, true, SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION},
        {u"open", "start.sh", None, true, SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION},
        {u"open", "start.sh", Recording, false, SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION},
        {u"open", "missing.txt", Recording, true, SE_ERR_FNF, ERROR_FILE_NOT_FOUND},
        {u"runas", nullptr, Recording, true, SE_ERR_FNF, ERROR_FILE_NOT_FOUND},
        {u"OPEN", "start.sh", Recording, true, 42, 0},
        {nullptr, "start.sh", Recording, true, 42, 0},
        {u"", ".", Recording, true, 42, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE((c.verb ? Utf8(std::u16string_view(c.verb)) : std::string("(null)")) + " " +
                     (c.file ? c.file : "(null)"));
        opened.clear();
        handlerAnswer = c.answer;
        SetShellOpenHandler(c.handler == None ? ShellOpenHandler() : [&](const std::string& path) {
            opened.push_back(path);
            return handlerAnswer;
        });
        const std::u16string file = c.file ? Utf16(root / c.file) : std::u16string();
        SetLastError(0);
        const HINSTANCE started =
            ShellExecuteW(nullptr, c.verb, c.file ? file.c_str() : nullptr, u"", nullptr, 5 /* SW_SHOW */);
        EXPECT_EQ(reinterpret_cast<intptr_t>(started), c.result);
        EXPECT_EQ(GetLastError(), c.error);
        // The handler gets the absolute path of what exists, and only for "open".
        const bool reached = c.result == 42 || (c.handler == Recording && !c.answer);
        EXPECT_EQ(opened.size(), reached ? 1u : 0u);
        if (c.result == 42) {
            EXPECT_EQ(opened.at(0).front(), '/');
            EXPECT_TRUE(std::filesystem::equivalent(opened.at(0), root / c.file));
        }
    }
    SetShellOpenHandler(saved);
    EXPECT_FALSE(std::filesystem::exists(mark));
}

}  // namespace
