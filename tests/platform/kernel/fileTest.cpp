#include "kernelTestRoot.h"

#include <vsk/platform/file.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/security.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <fstream>
#include <sstream>

namespace {

// A value no call of these tests sets, to see that success leaves the last error alone.
constexpr DWORD Untouched = 0x5EED;

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

HANDLE open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileW(Utf16(path).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

struct DispositionCase {
    const char* name;
    DWORD disposition;
    bool exists;
    DWORD error;          // 0: the open succeeds
    const char* content;  // the file afterwards; null: no file
};

TEST(File, DispositionsCreateOpenAndTruncateAsThePlatform) {
    const DispositionCase cases[] = {
        {"create new, missing", CREATE_NEW, false, 0, ""},
        {"create new, exists", CREATE_NEW, true, ERROR_FILE_EXISTS, "old"},
        {"create always, exists", CREATE_ALWAYS, true, 0, ""},
        {"create always, missing", CREATE_ALWAYS, false, 0, ""},
        {"open existing, exists", OPEN_EXISTING, true, 0, "old"},
        {"open existing, missing", OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr},
        {"open always, exists", OPEN_ALWAYS, true, 0, "old"},
        {"open always, missing", OPEN_ALWAYS, false, 0, ""},
        {"truncate existing, exists", TRUNCATE_EXISTING, true, 0, ""},
        {"truncate existing, missing", TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr},
    };
    KernelTestRoot root;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = root / "f.txt";
        std::filesystem::remove(path);
        if (c.exists) writeText(path, "old");
        SetLastError(Untouched);
        HANDLE file = open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, c.disposition);
        if (c.error) {
            EXPECT_EQ(file, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), c.error);
        } else {
            ASSERT_NE(file, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), Untouched);
            EXPECT_TRUE(CloseHandle(file));
        }
        if (c.content)
            EXPECT_EQ(readText(path), c.content);
        else
            EXPECT_FALSE(std::filesystem::exists(path));
    }
    // A missing folder is told apart from a missing file.
    EXPECT_EQ(open(root / "no/f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    // Folders do not open as files.
    EXPECT_EQ(open(root.path(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// Each read access opens a handle that reads; only an open with no data access at all is for
// attributes alone.
TEST(File, ReadAccessOfAnExistingFileReads) {
    KernelTestRoot root;
    const std::string path = root / "r.txt";
    writeText(path, "abc");
    for (DWORD access : {DWORD(GENERIC_READ), DWORD(FILE_READ_DATA | FILE_READ_ATTRIBUTES)}) {
        SCOPED_TRACE(access);
        HANDLE file = open(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        char buffer[8] = {};
        DWORD read = 0;
        EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
        EXPECT_EQ(std::string(buffer, read), "abc");
        EXPECT_TRUE(CloseHandle(file));
    }
}

TEST(File, AppendingHandleWritesAtTheEndAndReadsFromTheStart) {
    KernelTestRoot root;
    const std::string path = root / "log.txt";
    writeText(path, "abc");
    // The log's way of opening an existing file: read data and append data.
    HANDLE file = open(path, FILE_READ_DATA | FILE_APPEND_DATA, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "def", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    DWORD high = 1;
    EXPECT_EQ(GetFileSize(file, &high), 6u);
    EXPECT_EQ(high, 0u);
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size.QuadPart, 6);

    ASSERT_EQ(SetFilePointer(file, 0, nullptr, FILE_BEGIN), 0u);
    char buffer[16] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "abcdef");
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));  // at the end: success, nothing read
    EXPECT_EQ(read, 0u);

    FILETIME created{}, accessed{}, modified{};
    ASSERT_TRUE(GetFileTime(file, &created, &accessed, &modified));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    const uint64_t expected = (static_cast<uint64_t>(st.st_mtim.tv_sec) + 11644473600ULL) * 10000000ULL +
                              static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
    EXPECT_EQ(FileTimeToU64(modified), expected);
    EXPECT_TRUE(CloseHandle(file));

    // Access is enforced per handle; a closed handle is gone.
    file =
        open(path, FILE_READ_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteFile(file, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetFileSize(file, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(File, WriterThatSharesOnlyReadingRefusesOtherWritersHereAndInOtherProcesses) {
    KernelTestRoot root;
    const std::string path = root / "held.log";
    HANDLE first = open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(first, "data", 4, &written, nullptr));

    // A second writer in this process, even one that would empty the file, is refused and empties nothing.
    for (DWORD disposition : {OPEN_EXISTING, CREATE_ALWAYS}) {
        EXPECT_EQ(open(path, GENERIC_WRITE, FILE_SHARE_READ, disposition), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    }
    EXPECT_EQ(open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(readText(path), "data");
    // Readers are never refused.
    HANDLE reader =
        open(path, FILE_READ_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
    // Another process: its writer is refused, its reader is not.
    EXPECT_EQ(RunHelper({"write", path}), static_cast<int>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(RunHelper({"read", path}), 0);

    ASSERT_TRUE(CloseHandle(first));
    EXPECT_EQ(RunHelper({"write", path}), 0);

    // Writers that all share writing do not refuse each other.
    HANDLE a = open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    HANDLE b = open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    EXPECT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(a);
    CloseHandle(b);
}

TEST(File, MoveRefusesAnExistingTargetUnlessAskedToReplace) {
    struct Case {
        const char* name;
        bool targetExists;
        DWORD flags;
        DWORD error;
        const char* target;  // content of the target afterwards
    } cases[] = {
        {"new target", false, MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH, 0, "new"},
        {"existing target kept", true, MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH, ERROR_ALREADY_EXISTS,
         "old"},
        {"existing target replaced", true,
         MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH | MOVEFILE_REPLACE_EXISTING, 0, "new"},
        {"plain replace", true, MOVEFILE_REPLACE_EXISTING, 0, "new"},
    };
    KernelTestRoot root;
    const std::string from = root / "zip_tmp", to = root / "2026.12.10 13.00.00.zip";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(to);
        writeText(from, "new");
        if (c.targetExists) writeText(to, "old");
        SetLastError(Untouched);
        const BOOL moved = MoveFileExW(Utf16(from).c_str(), Utf16(to).c_str(), c.flags);
        EXPECT_EQ(moved, c.error ? FALSE : TRUE);
        EXPECT_EQ(GetLastError(), c.error ? c.error : Untouched);
        EXPECT_EQ(std::filesystem::exists(from), c.error != 0);
        EXPECT_EQ(readText(to), c.target);
    }
    std::filesystem::remove(from);
    EXPECT_FALSE(MoveFileExW(Utf16(from).c_str(), Utf16(to).c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(File, FullPathIsLexical) {
    KernelTestRoot root;
    const auto cwd = std::filesystem::current_path();
    std::filesystem::create_directories(root / "work");
    std::filesystem::current_path(root / "work");
    const std::string here = root / "work";
    const struct {
        const char* in;
        std::string out;
    } cases[] = {
        {"/a/b/../c", "/a/c"},
        {"/a/./b//c/", "/a/b/c/"},
        {"/a/b/.", "/a/b"},
        {"/..", "/"},
        {"rel\\x.txt", here + "/rel/x.txt"},
        {"../up/missing/file", root.path() + "/up/missing/file"},
        {"C:dir", here + "/C:dir"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const std::u16string in = Utf16(c.in);
        const DWORD needed = GetFullPathNameW(in.c_str(), 0, nullptr, nullptr);
        EXPECT_EQ(needed, c.out.size() + 1);
        std::u16string buffer(needed, u'\0');
        LPWSTR filePart = nullptr;
        EXPECT_EQ(GetFullPathNameW(in.c_str(), needed, buffer.data(), &filePart), c.out.size());
        EXPECT_EQ(Utf8(buffer.c_str()), c.out);
        if (c.out.back() == '/')
            EXPECT_EQ(filePart, nullptr);
        else
            EXPECT_EQ(Utf8(filePart), c.out.substr(c.out.rfind('/') + 1));
    }
    std::filesystem::current_path(cwd);
    WCHAR buffer[8];
    EXPECT_EQ(GetFullPathNameW(u"", 8, buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
}

TEST(File, AttributesDeletionAndFolders) {
    KernelTestRoot root;
    const std::string file = root / "a.txt";
    writeText(file, "x");
    EXPECT_EQ(GetFileAttributesW(Utf16(root.path()).c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_NE(GetFileAttributesW(Utf16(file).c_str()) & (FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_READONLY),
              0u);
    EXPECT_TRUE(SetFileAttributesW(Utf16(file).c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(Utf16(root / "b.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesW(Utf16(root / "none/b.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(SetFileAttributesW(Utf16(root / "b.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    EXPECT_TRUE(DeleteFileW(Utf16(file).c_str()));
    EXPECT_FALSE(DeleteFileW(Utf16(file).c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    const std::string folder = root / Utf8(u8"Папка");
    EXPECT_TRUE(CreateDirectoryW(Utf16(folder).c_str(), nullptr));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_FALSE(CreateDirectoryW(Utf16(folder).c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryW(Utf16(root / "x/y").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

// The descriptor as the library builds it for its temporary files: the user and the administrators
// have full access, everyone may read when asked.
std::vector<BYTE> makeDescriptor(bool everyoneMayRead, PACL* dacl) {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_READ, &token));
    BYTE info[1024];
    DWORD length = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenUser, info, sizeof info, &length));
    CloseHandle(token);
    PSID user = reinterpret_cast<TOKEN_USER*>(info)->User.Sid;
    LPWSTR text = nullptr;
    EXPECT_TRUE(ConvertSidToStringSidW(user, &text));
    EXPECT_EQ(Utf8(text), "S-1-22-1-" + std::to_string(geteuid()));
    LocalFree(text);

    PSID admins = nullptr, world = nullptr;
    EXPECT_TRUE(AllocateAndInitializeSid(&SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                         DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins));
    EXPECT_TRUE(AllocateAndInitializeSid(&SECURITY_WORLD_SID_AUTHORITY, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0,
                                         0, 0, &world));
    EXPLICIT_ACCESS_W entries[3] = {};
    const PSID trustees[3] = {user, admins, world};
    const TRUSTEE_TYPE types[3] = {TRUSTEE_IS_USER, TRUSTEE_IS_GROUP, TRUSTEE_IS_WELL_KNOWN_GROUP};
    for (int i = 0; i < 3; ++i) {
        entries[i].grfAccessPermissions = i == 2 ? GENERIC_READ : GENERIC_ALL;
        entries[i].grfAccessMode = SET_ACCESS;
        entries[i].grfInheritance = NO_INHERITANCE;
        entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[i].Trustee.TrusteeType = types[i];
        entries[i].Trustee.ptstrName = static_cast<LPWSTR>(trustees[i]);
    }
    EXPECT_EQ(SetEntriesInAclW(everyoneMayRead ? 3 : 2, entries, nullptr, dacl), ERROR_SUCCESS);
    FreeSid(admins);
    FreeSid(world);
    std::vector<BYTE> descriptor(SECURITY_DESCRIPTOR_MIN_LENGTH);
    EXPECT_TRUE(InitializeSecurityDescriptor(descriptor.data(), SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(SetSecurityDescriptorDacl(descriptor.data(), TRUE, *dacl, FALSE));
    return descriptor;
}

TEST(File, SecurityDescriptorGivesTheModeOfANewFile) {
    KernelTestRoot root;
    const mode_t oldMask = umask(022);
    for (bool everyone : {true, false}) {
        SCOPED_TRACE(everyone);
        PACL dacl = nullptr;
        std::vector<BYTE> descriptor = makeDescriptor(everyone, &dacl);
        SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.data(), FALSE};
        const std::string path = root / (everyone ? "shared" : "private");
        HANDLE file = CreateFileW(Utf16(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                  &attributes, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        LocalFree(dacl);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        CloseHandle(file);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, everyone ? 0644u : 0600u);
    }
    umask(oldMask);
}

TEST(File, TemporaryFolderAndNames) {
    KernelTestRoot root;
    KernelTestRoot::set("TMPDIR", root.path());
    WCHAR buffer[MAX_PATH];
    const std::string expected = root.path() + "/";
    EXPECT_EQ(GetTempPathW(0, nullptr), expected.size() + 1);
    EXPECT_EQ(GetTempPathW(MAX_PATH, buffer), expected.size());
    EXPECT_EQ(Utf8(buffer), expected);
    unsetenv("TMPDIR");
    EXPECT_EQ(GetTempPathW(MAX_PATH, buffer), 5u);
    EXPECT_EQ(Utf8(buffer), "/tmp/");

    WCHAR first[MAX_PATH], second[MAX_PATH];
    const std::u16string folder = Utf16(root.path());
    EXPECT_NE(GetTempFileNameW(folder.c_str(), u"vskcrl", 0, first), 0u);
    EXPECT_NE(GetTempFileNameW(folder.c_str(), u"vskcrl", 0, second), 0u);
    EXPECT_NE(Utf8(first), Utf8(second));
    EXPECT_EQ(Utf8(first).rfind(root.path() + "/vsk", 0), 0u);
    EXPECT_TRUE(std::filesystem::is_regular_file(Utf8(first)));
}

}  // namespace
