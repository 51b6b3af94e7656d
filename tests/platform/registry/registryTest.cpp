#include <vsk/platform/diagnostics.h>
#include <vsk/platform/registry.h>
#include <vsk/platform/registryTesting.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<BYTE>;

Bytes bytesOf(const std::u16string& text, bool withNul) {
    const BYTE* p = reinterpret_cast<const BYTE*>(text.c_str());
    return Bytes(p, p + (text.size() + (withNul ? 1 : 0)) * 2);
}

std::vector<std::string> g_diagnostics;
void collect(const char* line) {
    g_diagnostics.emplace_back(line);
}
// A sink like the developer log's, which reads its settings from the registry while it writes.
void collectAndReadRegistry(const char* line) {
    collect(line);
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Voskel\\Helvor", 0, KEY_READ, &key);
    RegCloseKey(key);
}

// Every test runs on hives in its own temporary folder, as a non-administrator unless it says
// otherwise.
class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        root_.emplace(VskTest::TestRoot::Folders::Missing);
        root_->set("HOME", root_->path());
        setAdmin(false);
        g_diagnostics.clear();
        SetPlatformDiagnosticSink(collect);
        RegistryResetForTests();
    }
    void TearDown() override {
        RegistryResetForTests();
        SetPlatformDiagnosticSink(nullptr);
        root_.reset();
    }

    fs::path userDir() const { return fs::path(root_->path()) / "user"; }
    fs::path machineDir() const { return fs::path(root_->path()) / "machine"; }
    static void setAdmin(bool admin) { setenv("KESTROVAN_ADMIN", admin ? "1" : "0", 1); }

    static HKEY create(HKEY root, const char16_t* path, REGSAM access = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, access, nullptr, &key, nullptr), 0);
        return key;
    }
    static void set(HKEY key, const char16_t* name, DWORD type, const Bytes& data) {
        EXPECT_EQ(RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())), 0);
    }
    // The value's bytes, or the failure code in `code`.
    static Bytes get(HKEY key, const char16_t* name, DWORD* type = nullptr, LSTATUS* code = nullptr) {
        DWORD size = 0;
        LSTATUS rc = RegQueryValueExW(key, name, nullptr, type, nullptr, &size);
        Bytes data(size);
        if (rc == 0) rc = RegQueryValueExW(key, name, nullptr, type, data.data(), &size);
        if (code != nullptr) *code = rc;
        if (rc != 0) return {};
        data.resize(size);
        return data;
    }
    static LSTATUS open(HKEY root, const char16_t* path, REGSAM access, HKEY* key) {
        return RegOpenKeyExW(root, path, 0, access, key);
    }

    std::optional<VskTest::TestRoot> root_;
};

struct ValueRow {
    const char16_t* name;
    DWORD type;
    Bytes data;
};

const std::vector<ValueRow>& valueRows() {
    static const std::vector<ValueRow> rows = {
        {u"text", REG_SZ, bytesOf(u"Каталог", true)},
        {u"no nul", REG_SZ, bytesOf(u"abc", false)},
        {u"odd", REG_SZ, {0x41, 0x00, 0x42}},
        {u"expand", REG_EXPAND_SZ, bytesOf(u"%HOME%/x", true)},
        {u"multi", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
        {u"binary", REG_BINARY, {0x00, 0xFF, 0x00, 0x80, 0x7F}},
        {u"dword", REG_DWORD, {0x04, 0x03, 0x02, 0x01}},
        {u"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"empty", REG_BINARY, {}},
        {u"none", REG_NONE, {0x01}},
        {u"custom type", 0x12345678, {0x09}},
        {u"", REG_SZ, bytesOf(u"default value", true)},
    };
    return rows;
}

TEST_F(Registry, ValuesKeepTypeAndBytesAcrossReopen) {
    HKEY key = create(HKEY_CURRENT_USER, u"Software\\Voskel\\Helvor");
    for (const ValueRow& row : valueRows()) set(key, row.name, row.type, row.data);
    // Overwriting replaces type and bytes.
    set(key, u"dword", REG_BINARY, {9});
    set(key, u"dword", REG_DWORD, valueRows()[6].data);
    ASSERT_EQ(RegCloseKey(key), 0);

    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "same connection" : "after reopening the hive");
        if (pass == 1) RegistryResetForTests();
        ASSERT_EQ(open(HKEY_CURRENT_USER, u"Software\\Voskel\\Helvor", KEY_READ, &key), 0);
        for (const ValueRow& row : valueRows()) {
            SCOPED_TRACE(std::string(row.name, row.name + std::char_traits<char16_t>::length(row.name)));
            DWORD type = 0xFFFF;
            EXPECT_EQ(get(key, row.name, &type), row.data);
            EXPECT_EQ(type, row.type);
        }
        EXPECT_EQ(get(key, nullptr), valueRows().back().data);  // null name = default value
        RegCloseKey(key);
    }
}

TEST_F(Registry, SizeQueryAndShortBuffer) {
    HKEY key = create(HKEY_CURRENT_USER, u"Software\\Sizes");
    Bytes value = bytesOf(u"four", true);  // 10 bytes
    set(key, u"v", REG_SZ, value);

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, &type, nullptr, &size), 0);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(type, REG_SZ);

    Bytes buf(16, 0xEE);
    size = 9;
    type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, &type, buf.data(), &size),
              static_cast<LSTATUS>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(type, REG_SZ);

    size = static_cast<DWORD>(buf.size());
    EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, buf.data(), &size), 0);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 10), value);
    EXPECT_EQ(buf[10], 0xEE);  // nothing written past the value

    EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, nullptr), 0);  // existence only
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"v", &reserved, nullptr, nullptr, &size), 87);
    EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, buf.data(), nullptr), 87);
    EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_BINARY, nullptr, 4), 87);
    RegCloseKey(key);
}

TEST_F(Registry, NamesIgnoreCaseForCyrillicAndKeepTheirSpelling) {
    HKEY key = create(HKEY_CURRENT_USER, u"Software\\Voskel\\Keyset\\Контейнер Ёлка");
    set(key, u"Пароль", REG_BINARY, {1, 2});
    RegCloseKey(key);

    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\voskel\\KEYSET\\кОНТЕЙНЕР ёЛКА", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition),
              0);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(get(key, u"пАРОЛЬ"), (Bytes{1, 2}));
    set(key, u"ПАРОЛЬ", REG_BINARY, {3});  // same value, new data
    RegCloseKey(key);

    HKEY keyset = nullptr;
    ASSERT_EQ(open(HKEY_CURRENT_USER, u"software\\VOSKEL\\keyset", KEY_READ, &keyset), 0);
    WCHAR name[64];
    DWORD chars = 64;
    ASSERT_EQ(RegEnumKeyExW(keyset, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(std::u16string(name, chars), u"Контейнер Ёлка");
    chars = 64;
    EXPECT_EQ(RegEnumKeyExW(keyset, 1, name, &chars, nullptr, nullptr, nullptr, nullptr),
              static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS));

    ASSERT_EQ(open(keyset, u"КОНТЕЙНЕР ЁЛКА", KEY_READ, &key), 0);
    chars = 64;
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegEnumValueW(key, 0, name, &chars, nullptr, &type, nullptr, &size), 0);
    EXPECT_EQ(std::u16string(name, chars), u"Пароль");
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(size, 1u);
    chars = 6;  // no room for the NUL
    EXPECT_EQ(RegEnumValueW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              static_cast<LSTATUS>(ERROR_MORE_DATA));
    RegCloseKey(key);
    RegCloseKey(keyset);
}

TEST_F(Registry, EnumerationIsAlphabeticalIgnoringCase) {
    const std::u16string names[] = {u"Ā", u"b", u"А", u"a-second", u"C"};
    const std::u16string sorted[] = {u"a-second", u"b", u"C", u"Ā", u"А"};
    HKEY parent = create(HKEY_CURRENT_USER, u"Software\\Enum");
    for (const std::u16string& n : names) {
        RegCloseKey(create(parent, n.c_str()));
        set(parent, n.c_str(), REG_BINARY, {1});
    }
    WCHAR name[32];
    DWORD chars = 0;
    for (DWORD i = 0; i < std::size(sorted); ++i) {
        chars = 32;
        ASSERT_EQ(RegEnumKeyExW(parent, i, name, &chars, nullptr, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(std::u16string(name, chars), sorted[i]);
        chars = 32;
        ASSERT_EQ(RegEnumValueW(parent, i, name, &chars, nullptr, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(std::u16string(name, chars), sorted[i]);
    }
    chars = 32;
    EXPECT_EQ(RegEnumKeyExW(parent, 5, name, &chars, nullptr, nullptr, nullptr, nullptr),
              static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(RegEnumValueW(parent, 5, name, &chars, nullptr, nullptr, nullptr, nullptr),
              static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS));
    RegCloseKey(parent);
}

TEST_F(Registry, MissingKeysAndValuesGive2) {
    // Before any write the hive has no file: still an empty hive, not an error.
    HKEY key = nullptr;
    EXPECT_EQ(open(HKEY_CURRENT_USER, u"Software\\Nothing", KEY_READ, &key), 2);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(fs::exists(userDir() / "registry.db"));

    HKEY existing = create(HKEY_CURRENT_USER, u"Software\\There");
    set(existing, u"v", REG_DWORD, {1, 0, 0, 0});
    struct Row {
        const char* what;
        LSTATUS code;
    };
    LSTATUS code = 0;
    get(existing, u"missing", nullptr, &code);
    const Row rows[] = {
        {"missing key", open(HKEY_CURRENT_USER, u"Software\\Nothing", KEY_READ, &key)},
        {"missing middle key", open(HKEY_CURRENT_USER, u"Software\\Nothing\\There", KEY_READ, &key)},
        {"missing value", code},
        {"delete missing value", RegDeleteValueW(existing, u"missing")},
        {"delete missing key", RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Nothing")},
        {"copy missing source", SHCopyKeyW(HKEY_CURRENT_USER, u"Software\\Nothing", existing, 0)},
    };
    for (const Row& row : rows) EXPECT_EQ(row.code, 2) << row.what;

    // Path forms: a trailing separator is allowed, an empty name inside is not.
    ASSERT_EQ(open(HKEY_CURRENT_USER, u"Software\\There\\", KEY_READ, &key), 0);
    RegCloseKey(key);
    EXPECT_EQ(open(HKEY_CURRENT_USER, u"Software\\\\There", KEY_READ, &key), 161);
    EXPECT_EQ(open(HKEY_CURRENT_USER, u"\\Software", KEY_READ, &key), 161);

    EXPECT_EQ(RegDeleteValueW(existing, u"V"), 0);
    get(existing, u"v", nullptr, &code);
    EXPECT_EQ(code, 2);
    RegCloseKey(existing);
}

TEST(RegistryRoots, PredefinedRootsAreSignExtended) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(HKEY_CURRENT_USER), 0xffffffff80000001u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(HKEY_LOCAL_MACHINE), 0xffffffff80000002u);
}

TEST_F(Registry, BadHandlesGive6) {
    HKEY closed = create(HKEY_CURRENT_USER, u"Software\\Closed");
    ASSERT_EQ(RegCloseKey(closed), 0);
    HKEY good = create(HKEY_CURRENT_USER, u"Software\\Good");
    const HKEY bad[] = {closed, reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234)), nullptr,
                        reinterpret_cast<HKEY>(
                            static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000003u))))};
    for (HKEY h : bad) {
        SCOPED_TRACE(reinterpret_cast<uintptr_t>(h));
        HKEY out = nullptr;
        DWORD size = 0;
        WCHAR name[8];
        DWORD chars = 8;
        BYTE one = 1;
        EXPECT_EQ(RegCloseKey(h), 6);
        EXPECT_EQ(RegOpenKeyExW(h, u"x", 0, KEY_READ, &out), 6);
        EXPECT_EQ(RegCreateKeyExW(h, u"x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr), 6);
        EXPECT_EQ(RegQueryValueExW(h, u"x", nullptr, nullptr, nullptr, &size), 6);
        EXPECT_EQ(RegSetValueExW(h, u"x", 0, REG_BINARY, &one, 1), 6);
        EXPECT_EQ(RegDeleteValueW(h, u"x"), 6);
        EXPECT_EQ(RegDeleteKeyW(h, u"x"), 6);
        EXPECT_EQ(RegEnumKeyExW(h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), 6);
        EXPECT_EQ(RegEnumValueW(h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), 6);
        EXPECT_EQ(RegEnableReflectionKey(h), 6);
        EXPECT_EQ(SHCopyKeyW(h, nullptr, good, 0), 6);
        EXPECT_EQ(SHCopyKeyW(HKEY_CURRENT_USER, u"Software\\Good", h, 0), 6);
    }
    EXPECT_EQ(RegEnableReflectionKey(good), 0);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), 0);  // predefined roots stay usable
    EXPECT_EQ(RegCloseKey(good), 0);
}

TEST_F(Registry, OpenKeyWhoseKeyWasDeletedGives1018) {
    HKEY key = create(HKEY_CURRENT_USER, u"Software\\Doomed");
    ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"software\\doomed"), 0);
    BYTE one = 1;
    EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_BINARY, &one, 1), static_cast<LSTATUS>(ERROR_KEY_DELETED));
    HKEY again = create(HKEY_CURRENT_USER, u"Software\\Doomed");  // a new key, not the old one
    EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_BINARY, &one, 1), static_cast<LSTATUS>(ERROR_KEY_DELETED));
    RegCloseKey(again);
    RegCloseKey(key);

    HKEY parent = create(HKEY_CURRENT_USER, u"Software\\Parent\\Child");
    RegCloseKey(parent);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Parent"), 5);  // has a subkey
}

TEST_F(Registry, MachineHiveIsWritableForAdministratorsOnly) {
    // A non-administrator gets 5 for every write, and nothing is created.
    HKEY key = nullptr;
    BYTE one = 1;
    const REGSAM writeAccess[] = {KEY_WRITE, KEY_SET_VALUE, KEY_CREATE_SUB_KEY, KEY_ALL_ACCESS,
                                  KEY_READ | KEY_WRITE};
    for (REGSAM access : writeAccess) {
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Voskel", 0, nullptr, 0, access, nullptr,
                                  &key, nullptr),
                  5)
            << access;
        EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"", access, &key), 5) << access;
    }
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Voskel", 0, nullptr, 0, KEY_READ, nullptr, &key,
                              nullptr),
              5);
    EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"v", 0, REG_BINARY, &one, 1), 5);
    EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"Software\\Voskel", KEY_READ, &key), 2);  // empty hive
    EXPECT_FALSE(fs::exists(machineDir()));

    setAdmin(true);
    key = create(HKEY_LOCAL_MACHINE, u"Software\\Voskel\\Helvor", KEY_WRITE);
    set(key, u"log", REG_DWORD, {3, 0, 0, 0});
    RegCloseKey(key);
    HKEY child = create(HKEY_LOCAL_MACHINE, u"Software\\Voskel\\Helvor\\Sub");
    RegCloseKey(child);

    setAdmin(false);
    ASSERT_EQ(open(HKEY_LOCAL_MACHINE, u"Software\\Voskel\\Helvor", KEY_READ, &key), 0);
    EXPECT_EQ(get(key, u"log"), (Bytes{3, 0, 0, 0}));
    EXPECT_EQ(RegSetValueExW(key, u"log", 0, REG_BINARY, &one, 1), 5);  // read-only handle
    EXPECT_EQ(RegDeleteValueW(key, u"log"), 5);
    EXPECT_EQ(RegDeleteKeyW(key, u"Sub"), 5);
    HKEY user = create(HKEY_CURRENT_USER, u"Software\\Copy");
    EXPECT_EQ(SHCopyKeyW(HKEY_CURRENT_USER, u"Software\\Copy", key, 0), 5);
    EXPECT_EQ(SHCopyKeyW(HKEY_LOCAL_MACHINE, u"Software\\Voskel", user, 0), 0);  // reading is fine
    RegCloseKey(user);
    // An existing key opens through RegCreateKeyExW with read access.
    DWORD disposition = 0;
    HKEY again = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Voskel\\Helvor", 0, nullptr, 0, KEY_READ,
                              nullptr, &again, &disposition),
              0);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(again);
    RegCloseKey(key);
}

// The machine's hive is written by root and read by everyone else, who may not write in its folder.
TEST_F(Registry, MachineHiveWrittenByRootIsReadableByOtherUsers) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    setAdmin(true);
    HKEY key = create(HKEY_LOCAL_MACHINE, u"Software\\Voskel\\Helvor");
    set(key, u"log", REG_DWORD, {3, 0, 0, 0});
    RegCloseKey(key);
    RegistryResetForTests();  // the last connection closes, as when the administrator's program ends
    fs::permissions(root_->path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Voskel\\Helvor", 0, KEY_READ, &k) != 0) _exit(11);
        if (get(k, u"log") != Bytes{3, 0, 0, 0}) _exit(12);
        // Claiming to be an administrator does not make the file writable.
        setAdmin(true);
        BYTE one = 1;
        if (RegSetValueExW(HKEY_LOCAL_MACHINE, u"x", 0, REG_BINARY, &one, 1) != 5) _exit(13);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Registry, ThirtyTwoBitViewOfMachineSoftware) {
    setAdmin(true);
    HKEY key = create(HKEY_LOCAL_MACHINE, u"Software\\WOW6432Node\\Voskel\\Helvor");
    set(key, u"log", REG_DWORD, {2, 0, 0, 0});
    RegCloseKey(key);

    EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"Software\\Voskel\\Helvor", KEY_READ, &key), 2);
    EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"Software\\Voskel\\Helvor", KEY_READ | KEY_WOW64_64KEY, &key), 2);
    ASSERT_EQ(open(HKEY_LOCAL_MACHINE, u"software\\Voskel\\Helvor", KEY_READ | KEY_WOW64_32KEY, &key), 0);
    EXPECT_EQ(get(key, u"log"), (Bytes{2, 0, 0, 0}));
    RegCloseKey(key);
    // A path that already names the 32-bit node is not redirected again.
    ASSERT_EQ(open(HKEY_LOCAL_MACHINE, u"Software\\Wow6432Node\\Voskel", KEY_READ | KEY_WOW64_32KEY, &key),
              0);
    RegCloseKey(key);

    // Creating in the 32-bit view lands under WOW6432Node; paths outside Software are shared.
    key = create(HKEY_LOCAL_MACHINE, u"Software\\Only32", KEY_ALL_ACCESS | KEY_WOW64_32KEY);
    RegCloseKey(key);
    EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"Software\\WOW6432Node\\Only32", KEY_READ, &key), 0);
    RegCloseKey(key);
    key = create(HKEY_LOCAL_MACHINE, u"System\\Shared");
    RegCloseKey(key);
    EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"System\\Shared", KEY_READ | KEY_WOW64_32KEY, &key), 0);
    RegCloseKey(key);

    // The current user's Software key is one key in both views.
    key = create(HKEY_CURRENT_USER, u"Software\\Voskel\\Helvor");
    set(key, u"log", REG_DWORD, {5, 0, 0, 0});
    RegCloseKey(key);
    ASSERT_EQ(open(HKEY_CURRENT_USER, u"Software\\Voskel\\Helvor", KEY_READ | KEY_WOW64_32KEY, &key), 0);
    EXPECT_EQ(get(key, u"log"), (Bytes{5, 0, 0, 0}));
    RegCloseKey(key);
}

TEST_F(Registry, CopyKeyMergesValuesAndSubkeysRecursively) {
    HKEY src = create(HKEY_CURRENT_USER, u"Software\\Vsks\\Helvor");
    set(src, u"log", REG_DWORD, {4, 0, 0, 0});
    set(src, u"logFolder", REG_SZ, bytesOf(u"/tmp/старый", true));
    HKEY deep = create(src, u"Контейнер\\Глубже");
    set(deep, u"rem", REG_BINARY, {7, 7});
    RegCloseKey(deep);

    HKEY dst = create(HKEY_CURRENT_USER, u"Software\\Voskel\\Helvor", KEY_WRITE);
    set(dst, u"LOG", REG_DWORD, {1, 0, 0, 0});  // replaced by the copy, spelling kept
    set(dst, u"other", REG_BINARY, {9});        // kept
    HKEY existing = create(dst, u"КОНТЕЙНЕР");
    set(existing, u"keep", REG_BINARY, {8});
    RegCloseKey(existing);

    ASSERT_EQ(SHCopyKeyW(HKEY_CURRENT_USER, u"Software\\Vsks\\Helvor", dst, 0), 0);
    RegCloseKey(dst);

    struct Row {
        const char16_t* key;
        const char16_t* value;
        Bytes data;
    };
    const Row rows[] = {
        {u"Software\\Voskel\\Helvor", u"log", {4, 0, 0, 0}},
        {u"Software\\Voskel\\Helvor", u"logFolder", bytesOf(u"/tmp/старый", true)},
        {u"Software\\Voskel\\Helvor", u"other", {9}},
        {u"Software\\Voskel\\Helvor\\контейнер", u"keep", {8}},
        {u"Software\\Voskel\\Helvor\\Контейнер\\Глубже", u"rem", {7, 7}},
        {u"Software\\Vsks\\Helvor\\Контейнер\\Глубже", u"rem", {7, 7}},  // the source stays
    };
    for (const Row& row : rows) {
        HKEY key = nullptr;
        ASSERT_EQ(open(HKEY_CURRENT_USER, row.key, KEY_READ, &key), 0);
        EXPECT_EQ(get(key, row.value), row.data);
        RegCloseKey(key);
    }
    HKEY key = nullptr;
    ASSERT_EQ(open(HKEY_CURRENT_USER, u"Software\\Voskel\\Helvor", KEY_READ, &key), 0);
    WCHAR name[16];
    DWORD chars = 16;
    ASSERT_EQ(RegEnumValueW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(std::u16string(name, chars), u"LOG");
    RegCloseKey(key);

    // Across hives: from the machine into the current user.
    setAdmin(true);
    HKEY machine = create(HKEY_LOCAL_MACHINE, u"Software\\Voskel\\HelvorCom\\Settings");
    set(machine, u"pkcs11Libraries", REG_SZ, bytesOf(u"a.so|b.so", true));
    RegCloseKey(machine);
    setAdmin(false);
    dst = create(HKEY_CURRENT_USER, u"Software\\FromMachine");
    ASSERT_EQ(SHCopyKeyW(HKEY_LOCAL_MACHINE, u"Software\\Voskel", dst, 0), 0);
    ASSERT_EQ(open(dst, u"HelvorCom\\Settings", KEY_READ, &key), 0);
    EXPECT_EQ(get(key, u"pkcs11Libraries"), bytesOf(u"a.so|b.so", true));
    RegCloseKey(key);
    RegCloseKey(dst);
    RegCloseKey(src);
}

TEST_F(Registry, FilesAndFoldersHaveTheirModes) {
    setAdmin(true);
    RegCloseKey(create(HKEY_CURRENT_USER, u"Software\\A"));
    RegCloseKey(create(HKEY_LOCAL_MACHINE, u"Software\\A"));
    auto mode = [](const fs::path& p) {
        struct stat st {};
        EXPECT_EQ(stat(p.c_str(), &st), 0) << p;
        return st.st_mode & 07777;
    };
    EXPECT_EQ(mode(userDir()), 0700u);
    EXPECT_EQ(mode(userDir() / "registry.db"), 0600u);
    EXPECT_EQ(mode(userDir() / "registry.db-wal"), 0600u);  // the log holds the same secrets
    EXPECT_EQ(mode(machineDir() / "registry.db"), 0644u);
}

TEST_F(Registry, DamagedDatabaseIsAnErrorAndIsKept) {
    struct Row {
        const char* what;
        bool startFromRealHive;
    };
    const Row rows[] = {{"not a database", false}, {"damaged pages", true}};
    SetPlatformDiagnosticSink(collectAndReadRegistry);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(userDir());
        RegistryResetForTests();
        g_diagnostics.clear();
        fs::path file = userDir() / "registry.db";
        if (row.startFromRealHive) {
            HKEY key = create(HKEY_CURRENT_USER, u"Software\\Voskel\\Helvor");
            for (int i = 0; i < 200; ++i)
                set(key,
                    (u"value " + std::u16string(1, char16_t(u'A' + i % 26)) +
                     std::u16string(i / 26 + 1, u'x'))
                        .c_str(),
                    REG_BINARY, Bytes(64, BYTE(i)));
            RegCloseKey(key);
            RegistryResetForTests();
            // Everything after the header page becomes garbage.
            std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(4096);
            std::string junk(8192, '\x5A');
            f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
        } else {
            fs::create_directories(userDir());
            std::ofstream(file, std::ios::binary) << std::string(4096, '\x5A');
        }
        std::ifstream in(file, std::ios::binary);
        std::string before((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

        HKEY key = nullptr;
        EXPECT_EQ(open(HKEY_CURRENT_USER, u"Software\\Voskel\\Helvor", KEY_READ, &key),
                  static_cast<LSTATUS>(ERROR_BADDB));
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\New", 0, nullptr, 0, KEY_WRITE, nullptr,
                                  &key, nullptr),
                  static_cast<LSTATUS>(ERROR_BADDB));
        EXPECT_EQ(key, nullptr);
        ASSERT_EQ(g_diagnostics.size(), 1u);  // one line while the failure stays the same
        EXPECT_NE(g_diagnostics[0].find("HKEY_CURRENT_USER"), std::string::npos) << g_diagnostics[0];

        std::ifstream again(file, std::ios::binary);
        std::string after((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
        EXPECT_EQ(after, before);
    }
}

// Writers in several processes or threads at once: every write of every writer survives.
TEST_F(Registry, ConcurrentWritersLoseNothing) {
    constexpr int kPerWriter = 300;
    auto valueName = [](int writer, int i) {
        std::string n = "v" + std::to_string(writer) + "-" + std::to_string(i);
        return std::u16string(n.begin(), n.end());
    };
    auto subkey = [](int i) { return u"Software\\Load\\k" + std::u16string(1, char16_t(u'0' + i % 10)); };
    auto data = [](int writer, int i) {
        DWORD v = static_cast<DWORD>(writer * 100000 + i);
        return Bytes(reinterpret_cast<BYTE*>(&v), reinterpret_cast<BYTE*>(&v) + 4);
    };
    // Every writer creates the same subkeys while it writes. Returns the number of failed calls.
    auto writeMany = [&](int writer) {
        int failures = 0;
        for (int i = 0; i < kPerWriter; ++i) {
            HKEY k = nullptr;
            if (RegCreateKeyExW(HKEY_CURRENT_USER, subkey(i).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k,
                                nullptr) != 0) {
                ++failures;
                continue;
            }
            Bytes v = data(writer, i);
            if (RegSetValueExW(k, valueName(writer, i).c_str(), 0, REG_DWORD, v.data(), 4) != 0) ++failures;
            RegCloseKey(k);
        }
        return failures;
    };

    struct Row {
        const char* what;
        bool processes;
        int writers;
    };
    const Row rows[] = {{"two processes", true, 2}, {"four threads", false, 4}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(userDir());
        RegistryResetForTests();
        RegCloseKey(create(HKEY_CURRENT_USER, u"Software\\Load"));  // children inherit this connection

        if (row.processes) {
            std::vector<pid_t> children;
            for (int w = 0; w < row.writers; ++w) {
                pid_t pid = fork();
                ASSERT_GE(pid, 0);
                if (pid == 0) _exit(writeMany(w) == 0 ? 0 : 1);
                children.push_back(pid);
            }
            for (pid_t child : children) {
                int status = 0;
                ASSERT_EQ(waitpid(child, &status, 0), child);
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            }
            RegistryResetForTests();
        } else {
            std::vector<std::thread> threads;
            std::atomic<int> failures{0};
            for (int w = 0; w < row.writers; ++w) threads.emplace_back([&, w] { failures += writeMany(w); });
            for (std::thread& t : threads) t.join();
            EXPECT_EQ(failures.load(), 0);
        }

        int found = 0;
        for (int w = 0; w < row.writers; ++w) {
            for (int i = 0; i < kPerWriter; ++i) {
                HKEY k = nullptr;
                ASSERT_EQ(open(HKEY_CURRENT_USER, subkey(i).c_str(), KEY_READ, &k), 0);
                if (get(k, valueName(w, i).c_str()) == data(w, i)) ++found;
                RegCloseKey(k);
            }
        }
        EXPECT_EQ(found, row.writers * kPerWriter);
    }
}

}  // namespace
