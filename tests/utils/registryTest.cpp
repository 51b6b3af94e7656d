#include <vsk/platform/registry.h>
#include <vsk/platform/registryTesting.h>
#include <vsk/utils/registry.h>

#include "testSupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using namespace Vsk::InternalUtils;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;
using VskTest::EnvGuard;
using VskTest::LogCapture;

namespace {

// Paths of our own area, so that the library's own settings reads never touch them.
const WCHAR* const NewPath = u"Software\\Voskel\\RegTest";
const WCHAR* const OldPath = u"Software\\Vsks\\RegTest";

std::string bytesOf(const CDataBlob& blob) {
    return std::string(reinterpret_cast<const char*>(blob.getData()), blob.getSize());
}

// Writes straight through the platform, without any of the library's fall-backs.
void put(HKEY root, const std::u16string& path, const WCHAR* name, const std::string& bytes,
         DWORD type = REG_BINARY, REGSAM extra = 0) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE | extra, nullptr, &key, nullptr),
              0)
        << std::string(path.begin(), path.end());
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              0);
    RegCloseKey(key);
}

// Reads straight through the platform: nothing when the key or the value is missing.
std::optional<std::string> get(HKEY root, const std::u16string& path, const WCHAR* name,
                               DWORD* type = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != 0) return std::nullopt;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size);
    std::string bytes(size, '\0');
    if (rc == 0)
        rc = RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(bytes.data()), &size);
    RegCloseKey(key);
    if (rc != 0) return std::nullopt;
    bytes.resize(size);
    return bytes;
}

bool exists(HKEY root, const std::u16string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != 0) return false;
    RegCloseKey(key);
    return true;
}

using VskTest::Utf8;

std::u16string operator+(const WCHAR* a, const std::u16string& b) {
    return std::u16string(a) + b;
}

// Each test reopens the registry from hives of its own.
class RegistryAccess : public ::testing::Test {
protected:
    RegistryAccess() { RegistryResetForTests(); }
    ~RegistryAccess() override { RegistryResetForTests(); }

    VskTest::TestRoot m_root;
};

TEST(RegistryOldKeyPath, ReplacesOnlyTheExactKeyWord) {
    struct Row {
        const char16_t* path;
        const char16_t* old;
    };
    const Row rows[] = {
        {u"Software\\Voskel\\Helvor", u"Software\\Vsks\\Helvor"},
        {u"Software\\Voskel\\Keyset\\Контейнер", u"Software\\Vsks\\Keyset\\Контейнер"},
        {u"A\\Voskel\\Voskel\\B", u"A\\Vsks\\Vsks\\B"},
        {u"A\\Voskel\\B\\Voskel\\C", u"A\\Vsks\\B\\Vsks\\C"},
        // Other letter case, a missing backslash or an application's own key: no old form.
        {u"Software\\voskel\\Helvor", u""},
        {u"Software\\VOSKEL\\Helvor", u""},
        {u"Voskel\\Helvor", u""},
        {u"Software\\Voskel", u""},
        {u"Software\\Kestrovan", u""},
        {u"", u""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(regOldKeyPath(row.path).toU16(), std::u16string(row.old)) << Utf8(row.path);
    EXPECT_EQ(regOldKeyPath(nullptr).getLength(), 0u);
}

TEST_F(RegistryAccess, ValueOnlyUnderOldKeyIsReadAndTheKeyMergedOnce) {
    put(HKEY_CURRENT_USER, OldPath, u"log", std::string("\x03\0\0\0", 4), REG_DWORD);
    put(HKEY_CURRENT_USER, OldPath, u"logFolder", std::string("x\0\0\0", 4), REG_SZ);
    put(HKEY_CURRENT_USER, OldPath + std::u16string(u"\\Sub\\Deeper"), u"v", "deep");
    ASSERT_FALSE(exists(HKEY_CURRENT_USER, NewPath));

    LONG code = -1;
    CDataBlob value = regReadValueEx(NewPath, u"log", HKEY_CURRENT_USER, &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(value.toUInt32(), 3u);

    // The whole old key now lives under the new name, types and bytes as they were.
    DWORD type = 0;
    EXPECT_EQ(get(HKEY_CURRENT_USER, NewPath, u"log", &type), std::string("\x03\0\0\0", 4));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(get(HKEY_CURRENT_USER, NewPath, u"logFolder", &type), std::string("x\0\0\0", 4));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(get(HKEY_CURRENT_USER, NewPath + std::u16string(u"\\Sub\\Deeper"), u"v"), "deep");

    // Later reads and opens take the new key at once: a change under the old name no longer shows.
    put(HKEY_CURRENT_USER, OldPath, u"log", std::string("\x09\0\0\0", 4), REG_DWORD);
    EXPECT_EQ(regReadValue(NewPath, u"log", HKEY_CURRENT_USER).toUInt32(), 3u);
    HKEY key = nullptr;
    ASSERT_EQ(regOpenKey(HKEY_CURRENT_USER, NewPath, KEY_READ, &key), 0);
    LONG queried = -1;
    EXPECT_EQ(regQueryValue(key, u"log", &queried).toUInt32(), 3u);
    EXPECT_EQ(queried, 0);
    EXPECT_EQ(regCloseKey(&key), 0);
    EXPECT_EQ(key, nullptr);
}

TEST_F(RegistryAccess, MigrationKeepsWhatTheNewKeyAlreadyHas) {
    put(HKEY_CURRENT_USER, OldPath, u"log", std::string("\x01\0\0\0", 4), REG_DWORD);
    put(HKEY_CURRENT_USER, OldPath, u"logMaxSize", "old-size");
    put(HKEY_CURRENT_USER, OldPath + std::u16string(u"\\Both"), u"kept", "stale");
    put(HKEY_CURRENT_USER, OldPath + std::u16string(u"\\Both"), u"added", "from-old");
    put(HKEY_CURRENT_USER, OldPath + std::u16string(u"\\OnlyOld"), u"v", "whole");
    // The new key was written since, with newer values.
    put(HKEY_CURRENT_USER, NewPath, u"log", std::string("\x05\0\0\0", 4), REG_DWORD);
    put(HKEY_CURRENT_USER, NewPath + std::u16string(u"\\Both"), u"kept", "newer");

    CError error(Vsk::Utils::NoErrorCode);
    EXPECT_EQ(bytesOf(regReadValue(NewPath, u"logMaxSize", HKEY_CURRENT_USER, &error)), "old-size");
    EXPECT_TRUE(error.isEmpty()) << Vsk::Utils::CAString(error.getMessage(), CP_UTF8).toStd();

    EXPECT_EQ(get(HKEY_CURRENT_USER, NewPath, u"log"), std::string("\x05\0\0\0", 4));
    EXPECT_EQ(get(HKEY_CURRENT_USER, NewPath, u"logMaxSize"), "old-size");
    EXPECT_EQ(get(HKEY_CURRENT_USER, NewPath + std::u16string(u"\\Both"), u"kept"), "newer");
    EXPECT_EQ(get(HKEY_CURRENT_USER, NewPath + std::u16string(u"\\Both"), u"added"), "from-old");
    EXPECT_EQ(get(HKEY_CURRENT_USER, NewPath + std::u16string(u"\\OnlyOld"), u"v"), "whole");
    // The old key is left as it was.
    EXPECT_EQ(get(HKEY_CURRENT_USER, OldPath, u"log"), std::string("\x01\0\0\0", 4));
}

TEST_F(RegistryAccess, ContainerKeyOnlyUnderOldNameOpensUnderTheNewName) {
    const std::u16string container = u"Контейнер №1";
    const std::u16string newKey = u"Software\\Voskel\\Keyset\\" + container;
    const std::u16string oldKey = u"Software\\Vsks\\Keyset\\" + container;
    put(HKEY_CURRENT_USER, oldKey, u"rem", "scrambled");

    HKEY key = nullptr;
    ASSERT_EQ(regOpenKey(HKEY_CURRENT_USER, newKey.c_str(), KEY_READ | KEY_SET_VALUE, &key), 0);
    // The handle is the new key's: a change through it lands under the new name only.
    ASSERT_EQ(RegDeleteValueW(key, u"rem"), 0);
    regCloseKey(&key);
    EXPECT_TRUE(exists(HKEY_CURRENT_USER, newKey));
    EXPECT_EQ(get(HKEY_CURRENT_USER, newKey, u"rem"), std::nullopt);
    EXPECT_EQ(get(HKEY_CURRENT_USER, oldKey, u"rem"), "scrambled");
}

TEST_F(RegistryAccess, KeyOnlyInThe32BitViewOpensAtTheSecondPassWithoutCopy) {
    EnvGuard admin("KESTROVAN_ADMIN", "1");
    const std::u16string path = u"Software\\Voskel\\Only32";
    put(HKEY_LOCAL_MACHINE, path, u"v", "thirty-two", REG_BINARY, KEY_WOW64_32KEY);
    ASSERT_FALSE(exists(HKEY_LOCAL_MACHINE, path));

    HKEY key = nullptr;
    ASSERT_EQ(regOpenKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ, &key), 0);
    LONG code = -1;
    EXPECT_EQ(bytesOf(regQueryValue(key, u"v", &code)), "thirty-two");
    regCloseKey(&key);
    EXPECT_EQ(bytesOf(regReadValue(path.c_str(), u"v", HKEY_LOCAL_MACHINE)), "thirty-two");

    EXPECT_FALSE(exists(HKEY_LOCAL_MACHINE, path));
    EXPECT_FALSE(exists(HKEY_LOCAL_MACHINE, u"Software\\Vsks\\Only32"));
}

TEST_F(RegistryAccess, FailuresGiveCodesAndExactTexts) {
    EnvGuard admin("KESTROVAN_ADMIN", "1");
    put(HKEY_CURRENT_USER, u"Software\\Kestrovan\\App", u"other", "x");
    put(HKEY_LOCAL_MACHINE, u"Software\\Kestrovan\\App", u"other", "x");
    put(HKEY_CURRENT_USER, NewPath, u"other", "x");
    struct Row {
        HKEY root;
        const char16_t* path;
        const char16_t* name;
        const char16_t* text;
    };
    const Row rows[] = {
        {HKEY_CURRENT_USER, u"Software\\Kestrovan\\Missing", u"v",
         u"Открытие ключа \"Software\\Kestrovan\\Missing\" в реестре ffffffff80000001"},
        {HKEY_LOCAL_MACHINE, u"Software\\Voskel\\Missing", u"v",
         u"Открытие ключа \"Software\\Voskel\\Missing\" в реестре ffffffff80000002"},
        {HKEY_CURRENT_USER, u"Software\\Kestrovan\\App", u"absent",
         u"Получение значения поля \"absent\" из реестра \"Software\\Kestrovan\\App\""},
        {HKEY_CURRENT_USER, NewPath, u"absent",
         u"Получение значения поля \"absent\" из реестра \"Software\\Voskel\\RegTest\""},
        // The key exists in the 64-bit view only: still a missing value, not a missing key.
        {HKEY_LOCAL_MACHINE, u"Software\\Kestrovan\\App", u"absent",
         u"Получение значения поля \"absent\" из реестра \"Software\\Kestrovan\\App\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Utf8(row.path) + " " + Utf8(row.name));
        LONG code = -1;
        CWString text;
        EXPECT_EQ(regReadValueEx(row.path, row.name, row.root, &code, &text).getSize(), 0u);
        EXPECT_EQ(code, 2);
        EXPECT_EQ(text.toU16(), std::u16string(row.text));

        CError error(Vsk::Utils::NoErrorCode);
        EXPECT_EQ(regReadValue(row.path, row.name, row.root, &error).getSize(), 0u);
        EXPECT_EQ(error.getCode(), 2);
        EXPECT_EQ(error.getMessage().toU16().rfind(row.text, 0), 0u);
    }
    // No old key was made up for the missing ones.
    EXPECT_FALSE(exists(HKEY_LOCAL_MACHINE, u"Software\\Voskel\\Missing"));
    // Without an error argument nothing is raised and nothing is needed.
    EXPECT_EQ(regReadValue(u"Software\\Kestrovan\\Missing", u"v", HKEY_CURRENT_USER).getSize(), 0u);
}

TEST_F(RegistryAccess, CreateWriteStringAndClose) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(
        regCreateKey(HKEY_CURRENT_USER, u"Software\\Kestrovan\\Made\\Deep", KEY_WRITE, &key, &disposition),
        0);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    regWriteString(key, u"logFolder", CWString(u"абв"));
    regWriteString(key, u"empty", CWString());
    EXPECT_EQ(regCloseKey(&key), 0);
    EXPECT_EQ(key, nullptr);

    DWORD type = 0;
    EXPECT_EQ(get(HKEY_CURRENT_USER, u"Software\\Kestrovan\\Made\\Deep", u"logFolder", &type),
              std::string("\x30\x04\x31\x04\x32\x04\0\0", 8));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(get(HKEY_CURRENT_USER, u"Software\\Kestrovan\\Made\\Deep", u"empty"), std::string("\0\0", 2));

    ASSERT_EQ(
        regCreateKey(HKEY_CURRENT_USER, u"Software\\Kestrovan\\Made\\Deep", KEY_READ, &key, &disposition), 0);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    regCloseKey(&key);

    // A non-administrator cannot create machine keys; the code comes back as the platform gives it.
    EnvGuard admin("KESTROVAN_ADMIN", "0");
    EXPECT_EQ(regCreateKey(HKEY_LOCAL_MACHINE, u"Software\\Kestrovan\\Denied", KEY_WRITE, &key), 5);
}

TEST_F(RegistryAccess, CloseOfNullIsSilentAndAFailedCloseIsLoggedAndNulled) {
    LogCapture capture(1);
    HKEY key = nullptr;
    EXPECT_EQ(regCloseKey(&key), 0);
    EXPECT_TRUE(capture.lines().empty());

    HKEY bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x5a5a0));
    key = bogus;
    EXPECT_EQ(regCloseKey(&key), 6);
    EXPECT_EQ(key, nullptr);
    EXPECT_TRUE(capture.any(u"InternalUtils::regCloseKey 5a5a0 6"));
}

TEST_F(RegistryAccess, ValueOnlyUnderOldKeyOfTheMachineHiveIsReadWithoutRights) {
    // A reader who may not write the machine hive still gets the value; the merge simply fails.
    {
        EnvGuard admin("KESTROVAN_ADMIN", "1");
        put(HKEY_LOCAL_MACHINE, OldPath, u"log", std::string("\x03\0\0\0", 4), REG_DWORD);
    }
    EnvGuard admin("KESTROVAN_ADMIN", "0");
    LONG code = -1;
    EXPECT_EQ(regReadValueEx(NewPath, u"log", HKEY_LOCAL_MACHINE, &code).toUInt32(), 3u);
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(exists(HKEY_LOCAL_MACHINE, NewPath));

    HKEY key = nullptr;
    ASSERT_EQ(regOpenKey(HKEY_LOCAL_MACHINE, NewPath, KEY_READ, &key), 0);
    EXPECT_EQ(regQueryValue(key, u"log", &code).toUInt32(), 3u);
    regCloseKey(&key);
}

}  // namespace
