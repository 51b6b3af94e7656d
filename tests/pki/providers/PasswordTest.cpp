// Passwords in protected memory, their hand-over to a provider as a PIN, and remembered passwords
// read from the user's registry.
#include <vsk/pki/HoldCSP.h>
#include <vsk/pki/Password.h>
#include <vsk/platform/module.h>
#include <vsk/platform/registry.h>
#include <vsk/platform/registryTesting.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/registry.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "catalogueTestSupport.h"

#include <string>
#include <vector>

using namespace Vsk::PKI;
using catalogue_test::U16;
using catalogue_test::W;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CWString;
using VskTest::LogCapture;

namespace {

BOOL FailingMemoryProtection(LPVOID, DWORD, DWORD) {
    SetLastError(NTE_FAIL);
    return FALSE;
}

// While alive, the resident "Crypt32.dll" answers the chosen memory-protection calls with a
// failure; the real functions come back at the end.
class BrokenMemoryProtection {
public:
    BrokenMemoryProtection(bool protect, bool unprotect) {
        RegisterStandInModule(u"Crypt32.dll",
                              {{"CryptProtectMemory", protect ? StandInAddress(&FailingMemoryProtection)
                                                              : StandInAddress(&CryptProtectMemory)},
                               {"CryptUnprotectMemory", unprotect ? StandInAddress(&FailingMemoryProtection)
                                                                  : StandInAddress(&CryptUnprotectMemory)}},
                              true);
        Vsk::InternalUtils::BindMemoryProtection();
    }
    ~BrokenMemoryProtection() {
        RegisterStandInModule(u"Crypt32.dll",
                              {{"CryptProtectMemory", StandInAddress(&CryptProtectMemory)},
                               {"CryptUnprotectMemory", StandInAddress(&CryptUnprotectMemory)}},
                              true);
        Vsk::InternalUtils::BindMemoryProtection();
    }
};

std::vector<BYTE> Digest(const EVP_MD* md, const std::vector<BYTE>& data, size_t length) {
    std::vector<BYTE> out(EVP_MAX_MD_SIZE);
    unsigned size = 0;
    EVP_Digest(data.data(), length, out.data(), &size, md, nullptr);
    out.resize(size);
    return out;
}

// The scrambling that VskDecode undoes, written from the descrambling rule: each byte is raised by
// a byte of the MD5 or SHA-1 of the plain bytes before it.
std::vector<BYTE> Scramble(const std::vector<BYTE>& plain) {
    const size_t n = plain.size();
    std::vector<BYTE> out(plain);
    for (size_t i = 1; i < n; ++i) {
        const BYTE b = plain[n % i];
        const bool sha = (b >> (i % 8)) & 1;
        const std::vector<BYTE> h = Digest(sha ? EVP_sha1() : EVP_md5(), plain, i);
        out[i] = static_cast<BYTE>(plain[i] + h[i % (sha ? 20 : 16)]);
    }
    return out;
}

uint64_t Now() {
    FILETIME ft{};
    Vsk::Utils::GetSystemFileTime(&ft);
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// A remembered value: the 8-byte expiry time, then the code page 1251 password.
std::vector<BYTE> Remembered(uint64_t until, const std::string& password) {
    std::vector<BYTE> v;
    for (int i = 0; i < 8; ++i) v.push_back(static_cast<BYTE>(until >> (8 * i)));
    v.insert(v.end(), password.begin(), password.end());
    return v;
}

constexpr uint64_t Hour = 36000000000ull;

class PasswordTest : public ::testing::Test {
protected:
    void SetUp() override { RegistryResetForTests(); }
    void TearDown() override { RegistryResetForTests(); }

    void storeRem(const CWString& keyPath, const std::vector<BYTE>& scrambled) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  0);
        ASSERT_EQ(RegSetValueExW(key, u"rem", 0, REG_BINARY, scrambled.data(),
                                 static_cast<DWORD>(scrambled.size())),
                  0);
        RegCloseKey(key);
    }
    bool remExists(const CWString& keyPath) {
        return Vsk::InternalUtils::regReadValue(keyPath.c_str(), u"rem", HKEY_CURRENT_USER).getSize() != 0;
    }

    VskTest::TestRoot m_root;
};

}  // namespace

TEST_F(PasswordTest, HeldInWholeBlocksAndReturnedExactly) {
    struct Row {
        const char* text;
        DWORD heldSize;
    };
    for (const Row& r :
         {Row{"", 0}, Row{"123456789012345", 16}, Row{"1234567890123456", 32}, Row{"пароль", 16}}) {
        SCOPED_TRACE(r.text);
        CPassword p;
        p.putPassword(W(r.text));
        EXPECT_EQ(p.getProtectedSize(), r.heldSize);
        EXPECT_EQ(p.isProtected(), r.heldSize != 0);
        EXPECT_EQ(p.getPassword().toStd(), r.text);
        EXPECT_EQ(U16(p.getPasswordWide()), U16(W(r.text)));
    }
}

TEST_F(PasswordTest, CallerTextWipedAndCopiesIndependent) {
    CWString text = W("secret");
    CWString sharing = text;
    CPassword a;
    a.putPassword(text);
    EXPECT_EQ(sharing.toU16(), std::u16string(6, u'\0'));

    CPassword b;
    b.copyFrom(a);
    a.putPassword(W("other"));
    EXPECT_EQ(b.getPassword().toStd(), "secret");
    EXPECT_EQ(a.getPassword().toStd(), "other");

    char16_t buffer[] = u"pin1";
    CPassword c;
    c.putPasswordAndClear(buffer);
    EXPECT_EQ(std::u16string(buffer, 4), std::u16string(4, u'\0'));
    EXPECT_EQ(c.getPassword().toStd(), "pin1");
}

// A password whose protection failed stays plain and is handed out as it is, never "unprotected"
// into garbage; bytes that were protected and cannot be unprotected give no password at all.
TEST_F(PasswordTest, ProtectionFailuresNeverYieldGarbage) {
    LogCapture log(2);
    {
        BrokenMemoryProtection broken(true, false);
        CPassword p;
        p.putPassword(W("1234"));
        EXPECT_FALSE(p.isProtected());
        EXPECT_EQ(p.getPassword().toStd(), "1234");
        EXPECT_TRUE(log.any(u"PKI::CPassword::putPassword ProtectMemory "));
    }
    CPassword q;
    q.putPassword(W("5678"));
    ASSERT_TRUE(q.isProtected());
    {
        BrokenMemoryProtection broken(false, true);
        EXPECT_EQ(q.getPassword().toStd(), "");
        EXPECT_TRUE(log.any(u"PKI::CPassword::getPassword UnprotectMemory "));
    }
    EXPECT_EQ(q.getPassword().toStd(), "5678");
    for (const auto& line : log.lines()) {
        EXPECT_EQ(line.find(u"1234"), std::u16string::npos);
        EXPECT_EQ(line.find(u"5678"), std::u16string::npos);
    }
}

TEST_F(PasswordTest, ApplyPasswordChoosesThePinParameterAndSkipsEmpty) {
    CHoldCSP context;
    ASSERT_TRUE(context.acquire(nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    const HCRYPTPROV h = context.get_hCryptProv();
    struct Row {
        const char* password;
        DWORD keySpec;
        bool skipEmpty;
        const char16_t* expected;  // null: no provider call
    };
    const Row rows[] = {
        {"mivo", 1, false, u"dwParam=0x20"},
        {"mivo", 2, false, u"dwParam=0x21"},
        {"mivo", 0, true, u"dwParam=0x21"},
        {"", 1, false, u"dwParam=0x20"},
        {"", 1, true, nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.password) + " spec " + std::to_string(r.keySpec));
        CPassword p;
        p.putPassword(W(r.password));
        LogCapture log(5);
        EXPECT_TRUE(p.ApplyPassword(h, r.keySpec, r.skipEmpty, nullptr));
        if (r.expected)
            EXPECT_TRUE(log.any(r.expected));
        else
            EXPECT_FALSE(log.any(u"SetProvParam"));
        for (const auto& line : log.lines()) EXPECT_EQ(line.find(u"mivo"), std::u16string::npos);
    }

    CPassword p;
    p.putPassword(W("mivo"));
    Vsk::Utils::CError error;
    EXPECT_FALSE(p.ApplyPassword(0x7777, 1, false, &error));
    EXPECT_EQ(U16(error.getMessage()).rfind(u"Применение пароля на ключевой контейнер", 0), 0u);
    EXPECT_NE(error.getCode(), 0);
    LogCapture log(2);
    EXPECT_FALSE(p.ApplyPassword(0x7777, 1, false, nullptr));
    EXPECT_TRUE(log.any(u"PKI::CPassword::ApplyPassword Применение пароля на ключевой контейнер "));
}

TEST_F(PasswordTest, VskDecodeUndoesTheScramblingAndKeepsLengthAndFirstByte) {
    std::vector<BYTE> plain = Remembered(0x01D9000012345678ull, "Пароль-1");
    for (size_t n : {size_t(0), size_t(1), size_t(2), plain.size()}) {
        std::vector<BYTE> part(plain.begin(), plain.begin() + n);
        const std::vector<BYTE> scrambled = Scramble(part);
        const CDataBlob out = VskDecode(CDataBlob(scrambled.data(), scrambled.size(), true));
        ASSERT_EQ(out.getSize(), n);
        EXPECT_EQ(std::vector<BYTE>(out.getData(), out.getData() + n), part);
    }
}

TEST_F(PasswordTest, RememberedPasswordHonoursExpiryAndIgnoresShortValues) {
    const CWString container = W("a:b\\c*d");
    const CWString keyPath = RememberedPasswordKey(container);
    EXPECT_EQ(U16(keyPath), U16(W("Software\\Voskel\\Keyset\\a b c d")));

    struct Row {
        const char* what;
        std::vector<BYTE> value;
        const char* password;  // expected after the read
        bool kept;             // the value is still in the registry
    };
    const uint64_t now = Now();
    const Row rows[] = {
        {"valid", Remembered(now + Hour, std::string("pass\0junk", 9)), "pass", true},
        {"expired", Remembered(now - Hour, "pass"), "", false},
        {"zero time", Remembered(0, "pass"), "", false},
        {"exactly 8 bytes", Remembered(now + Hour, ""), "", true},
        {"shorter than 8 bytes", {1, 2, 3, 4, 5}, "", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        storeRem(keyPath, Scramble(r.value));
        LogCapture log(2);
        CRememberedPassword p;
        p.fillRememberedPasswordUpTo(container);
        EXPECT_EQ(p.getPassword().toStd(), r.password);
        EXPECT_EQ(remExists(keyPath), r.kept);
        if (r.value.size() < 8) {
            EXPECT_TRUE(log.any(u"короче 8 байт"));
            EXPECT_EQ(p.getRememberedUntil(), 0u);
        }
        for (const auto& line : log.lines()) EXPECT_EQ(line.find(u"pass"), std::u16string::npos);
    }

    CRememberedPassword none;
    none.fillRememberedPasswordUpTo(CWString());
    EXPECT_FALSE(none.hasPassword());
    LogCapture log(1);
    EXPECT_FALSE(none.deleteRememberedPassword(W("Software\\Voskel\\Keyset\\missing")));
    EXPECT_TRUE(log.any(u" open for delete "));
}
