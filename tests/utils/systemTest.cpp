#include <vsk/utils/system.h>

#include <vsk/platform/file.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/module.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/error.h>
#include <vsk/utils/file.h>

#include "testSupport.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cctype>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

using namespace Vsk::Utils;
using namespace Vsk::InternalUtils;
using VskTest::EnvGuard;
using VskTest::LogCapture;
using VskTest::TestRoot;

namespace {

std::string utf8(const CWString& text) {
    return CAString(text, CP_UTF8).toStd();
}

// Runs `body` in a fresh child process (the administrator answer is cached per process) and returns
// its exit status.
int inChild(const std::function<int()>& body) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(IsCurrentUserAdmin, AnswersOnceFromTheAdministratorTestAndKeepsIt) {
    struct Row {
        const char* env;
        int expected;  // bit 0 administrator, bit 1 check worked
    };
    const Row rows[] = {{"0", 2}, {"1", 3}};
    for (const Row& row : rows) {
        const int status = inChild([&] {
            setenv("KESTROVAN_ADMIN", row.env, 1);
            bool worked = false;
            const BOOL admin = IsCurrentUserAdmin(&worked);
            // A changed answer of the system is not seen again in this process.
            setenv("KESTROVAN_ADMIN", row.env[0] == '1' ? "0" : "1", 1);
            bool workedAgain = false;
            if (IsCurrentUserAdmin(&workedAgain) != admin || workedAgain != worked) return 50;
            if (IsCurrentUserAdmin(nullptr) != admin) return 51;
            return (admin ? 1 : 0) | (worked ? 2 : 0);
        });
        EXPECT_EQ(status, row.expected) << row.env;
    }
}

TEST(IsCurrentUserAdmin, UnboundMembershipCheckCountsAsOrdinaryUserWithoutCheck) {
    const int status = inChild([] {
        setenv("KESTROVAN_ADMIN", "1", 1);
        RegisterStandInModule(u"Advapi32.dll", {{"CheckTokenMembership", nullptr}});
        bool worked = true;
        const BOOL admin = IsCurrentUserAdmin(&worked);
        bool workedAgain = true;
        const BOOL again = IsCurrentUserAdmin(&workedAgain);
        return (admin ? 1 : 0) | (worked ? 2 : 0) | (again ? 4 : 0) | (workedAgain ? 8 : 0);
    });
    EXPECT_EQ(status, 0);
}

TEST(SystemServices, UserNameIsTheEffectiveUsersLogonName) {
    const passwd* pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(utf8(GetUserNameText()), pw->pw_name);
}

TEST(SystemServices, SecurityDescriptorGivesTheFileModeItsListAmountsTo) {
    TestRoot root;
    struct Row {
        bool everyoneMayRead;
        mode_t mode;
    };
    const Row rows[] = {{true, 0644}, {false, 0600}};
    for (const Row& row : rows) {
        ACL* dacl = nullptr;
        CDataBlob descriptor = CreateSecurityDescriptorForAdminAndCurrentUser(&dacl, row.everyoneMayRead);
        ASSERT_NE(dacl, nullptr);
        EXPECT_EQ(descriptor.getSize(), SECURITY_DESCRIPTOR_MIN_LENGTH);

        const std::string path = root.path() + "/file" + (row.everyoneMayRead ? "644" : "600");
        SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), descriptor.getData(), FALSE};
        const CWString widePath(path.c_str(), path.size(), CP_UTF8);
        const mode_t oldMask = umask(0);
        HANDLE file = CreateFileW(widePath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &sa,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        umask(oldMask);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(closeHandle(&file));
        LocalFree(dacl);

        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, row.mode) << row.everyoneMayRead;
    }
}

TEST(SystemServices, CloseHandleLeavesInvalidValuesAndNullsClosedOnes) {
    LogCapture capture(1);
    HANDLE invalid = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(closeHandle(&invalid));
    EXPECT_EQ(invalid, INVALID_HANDLE_VALUE);
    HANDLE none = nullptr;
    EXPECT_FALSE(closeHandle(&none));

    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_TRUE(closeHandle(&mutex));
    EXPECT_EQ(mutex, nullptr);
    EXPECT_TRUE(capture.lines().empty());

    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xbad0));
    EXPECT_FALSE(closeHandle(&bogus));
    EXPECT_EQ(bogus, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(capture.any(u"InternalUtils::closeHandle CloseHandle bad0 6"));
}

DWORD waitForRelease(LPVOID flag) {
    while (!static_cast<std::atomic<bool>*>(flag)->load()) Sleep(1);
    return 0;
}

DWORD holdMutexAndEnd(LPVOID mutex) {
    WaitForSingleObject(static_cast<HANDLE>(mutex), INFINITE);
    return 0;
}

TEST(SystemServices, WaitOutcomesAreLoggedAtTheirLevels) {
    const std::u16string name = u"InternalUtils::waitForSingleObject ";
    std::atomic<bool> release{false};
    HANDLE worker = CreateThread(nullptr, 0, waitForRelease, &release, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    {
        LogCapture quiet(1);
        EXPECT_EQ(waitForSingleObject(worker, 20), WAIT_TIMEOUT);
        EXPECT_TRUE(quiet.lines().empty());
    }
    {
        LogCapture capture(2);
        EXPECT_EQ(waitForSingleObject(worker, 20), WAIT_TIMEOUT);
        EXPECT_EQ(capture.lines(), std::vector<std::u16string>{name + u"wait timeout 20 ms"});
    }
    release = true;
    {
        LogCapture capture(4);
        EXPECT_EQ(waitForSingleObject(worker, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(capture.lines(), std::vector<std::u16string>{name + u"wait finished"});
    }
    closeHandle(&worker);

    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE owner = CreateThread(nullptr, 0, holdMutexAndEnd, mutex, 0, nullptr);
    WaitForSingleObject(owner, INFINITE);
    {
        LogCapture capture(1);
        EXPECT_EQ(waitForSingleObject(mutex, 0), WAIT_ABANDONED);
        EXPECT_EQ(capture.lines(), std::vector<std::u16string>{name + u"wait abandoned"});
        ReleaseMutex(mutex);

        SetLastError(0);
        EXPECT_EQ(waitForSingleObject(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xbad0)), 0),
                  WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        ASSERT_EQ(capture.lines().size(), 2u);
        EXPECT_EQ(capture.lines()[1].rfind(name + u"wait failed 6", 0), 0u);
    }
    closeHandle(&owner);
    closeHandle(&mutex);
}

TEST(SystemServices, ProcessModulesStartWithTheProgram) {
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
    struct stat st {};
    ASSERT_EQ(stat(exe, &st), 0);

    CArray<CWString> plain = GetProcessModules(GetCurrentProcess(), false);
    ASSERT_GT(plain.getCount(), 1u);
    EXPECT_EQ(utf8(plain[0]), exe);
    for (size_t i = 0; i < plain.getCount(); ++i) EXPECT_EQ(plain[i].find(u" | "), -1) << utf8(plain[i]);

    // The program carries our version information; the system's libraries do not.
    CArray<CWString> detailed = GetProcessModules(GetCurrentProcess(), true);
    ASSERT_EQ(detailed.getCount(), plain.getCount());
    char stamp[32];
    std::tm utc{};
    gmtime_r(&st.st_mtime, &utc);
    std::strftime(stamp, sizeof(stamp), "%d.%m.%Y %H:%M:%S", &utc);
    CAppVersion ours;
    ASSERT_TRUE(GetAppVersion(plain[0].c_str(), ours));
    EXPECT_EQ(utf8(detailed[0]),
              std::string(exe) + " | " + utf8(ours.text()) + " | " + stamp + " | \xC2\xA9 Voskel");

    bool sawSystemLibrary = false;
    for (size_t i = 1; i < detailed.getCount(); ++i) {
        const std::string entry = utf8(detailed[i]);
        if (entry.find("libc.so") == std::string::npos) continue;
        sawSystemLibrary = true;
        EXPECT_NE(entry.find(" | indeterminate | "), std::string::npos) << entry;
        EXPECT_EQ(entry.find("Voskel"), std::string::npos) << entry;
    }
    EXPECT_TRUE(sawSystemLibrary);
}

TEST(SystemServices, VersionsOfFilesAndModules) {
    EXPECT_EQ(utf8(CAppVersion().text()), "0.0.0.0");
    EXPECT_EQ(utf8(CAppVersion(1, 2, 3, 4).text()), "1.2.3.4");
    EXPECT_EQ(utf8(CAppVersion(65535, 0, 10, 200).text()), "65535.0.10.200");

    CAppVersion version(9, 9, 9, 9);
    EXPECT_FALSE(GetAppVersion(u"/nonexistent/file.so", version));
    EXPECT_EQ(utf8(version.text()), "9.9.9.9");

    // The program's own version is the project's, read back from its file.
    CAppVersion ours;
    ASSERT_TRUE(GetAppVersion(GetModuleFileNameW(nullptr).c_str(), ours));
    EXPECT_EQ(GetModuleVersion(nullptr), ours.text());
    EXPECT_NE(GetModuleVersion(nullptr), CWString(u"indeterminate"));
    HMODULE zlib = LoadLibraryW(u"libz.so.1");
    if (zlib) {
        EXPECT_EQ(GetModuleVersion(zlib), CWString(u"indeterminate"));
        FreeLibrary(zlib);
    }
}

TEST(SystemServices, ResourceLoaderReportsMissingResourcesAndModules) {
    CResourceLoader loader;
    {
        const auto error = VskTest::Thrown([&] { loader.load(nullptr, u"DIALOG", u"TEMPLATE"); });
        EXPECT_EQ(error.getMessage().toU16().rfind(u"Не найден ресурс.", 0), 0u);
    }
    {
        const auto error =
            VskTest::Thrown([&] { loader.load(u"/nonexistent/module.so", u"DIALOG", u"TEMPLATE"); });
        EXPECT_EQ(error.getMessage().toU16().rfind(u"Не найден модуль /nonexistent/module.so", 0), 0u);
        EXPECT_EQ(error.getCode(), static_cast<int32_t>(ERROR_MOD_NOT_FOUND));
    }
    loader.release();
}

TEST(SystemServices, GuidsAreLowerCaseWithoutBraces) {
    const CWString first = CreateGuid();
    const CWString second = CreateGuid();
    EXPECT_NE(first, second);
    for (const CWString& guid : {first, second}) {
        const std::string text = utf8(guid);
        ASSERT_EQ(text.size(), 36u) << text;
        for (size_t i = 0; i < text.size(); ++i) {
            if (i == 8 || i == 13 || i == 18 || i == 23)
                EXPECT_EQ(text[i], '-') << text;
            else
                EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(text[i])) && !std::isupper(text[i]))
                    << text;
        }
        EXPECT_EQ(text[14], '4') << text;
    }
}

}  // namespace
