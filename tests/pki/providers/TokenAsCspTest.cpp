// Tokens presented as providers, on the GOST test token loaded as a configured PKCS#11 library: the
// token's description, algorithms, reader and containers in the catalogue; removal and insertion with
// the windows told once per event; the same token through two libraries; the switch.
#include <vsk/pkcs11/Token.h>
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/platform/module.h>
#include <vsk/utils/global.h>
#include <vsk/utils/registry.h>

#include "catalogueTestSupport.h"
#include "gostTokenControl.h"

#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace {

using catalogue_test::U16;
using catalogue_test::W;
using catalogue_test::WaitFor;
using Vsk::PKI::CSPInfo;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;

constexpr const char* GostProvider = "Kestrovan Test GOST Provider";
constexpr const char* TokenName = "Test Reader 0 - GT-1 - 0001";

// One CryptoAPI provider offering only the GOST R 34.11-94 hash, as the token does.
const std::string ProviderFixture = std::string("[provider]\ntype = 80\nname = ") + GostProvider +
                                    "\nalgorithms = none\nalg = 0x801E 256 GR3411\n";

// A token listing a key-pair generation (no CryptoAPI counterpart), a signature, the 34.11-94 hash that
// the provider offers too, and the 2012-512 hash that only the token offers.
std::string TokenConfig(const std::string& mechanisms = "0x1200, 0x1201, 0x1210, 0xD4321013") {
    return "slot0.description = Test Reader 0\nslot0.manufacturer = Reader Maker\n"
           "token0.manufacturer = Token Maker\ntoken0.model = GT-1\ntoken0.serial = 0001\n"
           "token0.hw = 1.2\ntoken0.fw = 3.4\ntoken0.mechanisms = " +
           mechanisms + "\n";
}

// The window function the library finds in place of the windowing part's: counts the posts.
std::mutex postLock;
std::map<HWND, std::vector<UINT>> posts;

BOOL CountingPostMessage(HWND window, UINT message, uintptr_t, intptr_t) {
    std::lock_guard<std::mutex> guard(postLock);
    posts[window].push_back(message);
    return TRUE;
}

HWND FakeWindow(uintptr_t value) {
    return reinterpret_cast<HWND>(value);
}

class TokenAsCspTest : public catalogue_test::CatalogueFixture {
protected:
    void SetUp() override {
        CatalogueFixture::SetUp();
        ASSERT_FALSE(m_module.failed());
        Vsk::PKI::clearTokenAsCsp();
        m_savedLibraries = Vsk::PKCS11::CPKCS11::getLibraries();
        Vsk::Utils::CFlags* flags = Vsk::InternalUtils::GetCommonFlags();
        m_savedFlags = flags->getFlags(1);
        flags->setFlags(Vsk::Utils::CFlags::TokenAsCsp, Vsk::Utils::CFlags::TokenAsCsp, false, 1);
        useLibraries({m_module.path()});
        ASSERT_EQ(m_module.configure(TokenConfig()), CKR_OK);
        useFake(ProviderFixture);
    }

    void TearDown() override {
        Vsk::PKI::clearTokenAsCsp();
        Vsk::PKCS11::CPKCS11::setLibraries(m_savedLibraries, false);
        Vsk::InternalUtils::GetCommonFlags()->setFlags(m_savedFlags, 0xFFFFFFFF, false, 1);
        CatalogueFixture::TearDown();
    }

    static void useLibraries(const std::vector<std::string>& paths) {
        Vsk::Utils::CArray<CWString> names;
        for (const std::string& path : paths) names.add(CWString(VskTest::Utf16(path).c_str()));
        Vsk::PKCS11::CPKCS11::setLibraries(names, false);
    }

    // The token's description as the catalogue holds it now, without a filling.
    static CRefPtr<CSPInfo> tokenNow(const char* name = TokenName) {
        for (const auto& p : Vsk::PKI::GetCatalogueProviders())
            if (p->isToken() && p->m_name == W(name)) return p;
        return {};
    }

    // The catalogue's algorithms as "aid:keyBitLength:providers" with providers by name.
    static std::set<std::string> algorithmTable() {
        std::set<std::string> table;
        for (const auto& algorithm : Vsk::PKI::GetAllAlgorithms(0)) {
            std::string row =
                std::to_string(algorithm->m_aid) + ":" + std::to_string(algorithm->m_keyBitLength);
            for (const auto& provider : algorithm->getProviders())
                row += ":" + Vsk::Utils::CAString(provider->m_name, CP_UTF8).toStd();
            table.insert(row);
        }
        return table;
    }

    VskTest::GostTokenModule m_module{VSK_GOST_TOKEN_PATH};

private:
    Vsk::Utils::CArray<CWString> m_savedLibraries;
    DWORD m_savedFlags = 0;
};

TEST_F(TokenAsCspTest, TokenIsAProviderWithItsAlgorithmsReaderAndContainers) {
    CRefPtr<CSPInfo> token = provider(TokenName);
    ASSERT_TRUE(token);
    ASSERT_TRUE(provider(GostProvider));
    m_module.addKeyPair(0, "first key");
    // The module speaks Cryptoki 2.20: its texts are UTF-8.
    m_module.addKeyPair(0, reinterpret_cast<const char*>(u8"второй ключ"));

    EXPECT_EQ(token->m_type, 0u);
    EXPECT_EQ(U16(token->m_typeName), u"Token Maker");
    EXPECT_EQ(token->m_version, 0x01020304u);
    EXPECT_EQ(token->m_defaultFlags, static_cast<DWORD>(token->getToken().getTokenInfo().flags));
    EXPECT_NE(token->m_defaultFlags, 0u);

    // 0x1200 has no CryptoAPI counterpart; the signature takes the token's smallest key size; the
    // 34.11-94 hash is one entry shared with the provider, made by the token, which is entered first.
    // Providers in catalogue order: the token (type 0) first.
    const std::string both = std::string(":") + TokenName + ":" + GostProvider;
    const std::set<std::string> expected = {std::to_string(0x2E23) + ":256:" + TokenName,
                                            std::to_string(0x801E) + ":0" + both,
                                            std::to_string(0x8022) + ":0:" + TokenName};
    EXPECT_EQ(algorithmTable(), expected);
    const auto signature = token->getAlgorithm(0x2E23);
    ASSERT_TRUE(signature);
    EXPECT_EQ(U16(signature->m_name), u"GOSTR3410");
    EXPECT_EQ(signature->m_oid.toStd(), "1.2.643.2.2.19");
    EXPECT_EQ(token->getAlgorithm(0x8022)->m_oid.toStd(), "1.2.643.7.1.1.2.3");

    // Its containers are the labels of its public keys; its one reader is its slot.
    Vsk::Utils::CArray<CWString> names;
    Vsk::Utils::CError error;
    token->GetKeyContainers(names, &error, false, nullptr, nullptr);
    ASSERT_EQ(names.getCount(), 2u);
    EXPECT_EQ(U16(names[0]), u"first key");
    EXPECT_EQ(U16(names[1]), u"второй ключ");
    const Vsk::PKI::CReaderArray readers = token->GetReaders(false);
    ASSERT_EQ(readers.getCount(), 1u);
    EXPECT_EQ(U16(readers[0].m_nickName), u"Test Reader 0");
    EXPECT_EQ(U16(readers[0].m_name), u"Reader Maker");
}

// A token that lists no mechanism is left out; one whose mechanisms all lack a CryptoAPI counterpart
// is entered without algorithms.
TEST_F(TokenAsCspTest, TokenWithoutMechanismsIsLeftOutAndOneWithoutCounterpartsHasNoAlgorithms) {
    ASSERT_EQ(m_module.configure("slots = 2\nslot0.description = Bare\ntoken0.model = M\ntoken0.serial = 0\n"
                                 "token0.mechanisms =\nslot1.description = Keygen\ntoken1.model = M\n"
                                 "token1.serial = 1\ntoken1.mechanisms = 0x1200, 0x1220\n"),
              CKR_OK);
    ASSERT_TRUE(provider(GostProvider));
    EXPECT_FALSE(tokenNow("Bare - M - 0"));
    const CRefPtr<CSPInfo> keygen = tokenNow("Keygen - M - 1");
    ASSERT_TRUE(keygen);
    EXPECT_TRUE(keygen->m_algorithms.empty());

    Vsk::PKCS11::CPKCS11 library(true);
    ASSERT_TRUE(library.init(CWString(VskTest::Utf16(m_module.path()).c_str())));
    ASSERT_EQ(library.getTokenCount(), 2u);
    EXPECT_FALSE(Vsk::PKI::addTokenAsCsp(library.getToken(0)));
    EXPECT_TRUE(Vsk::PKI::addTokenAsCsp(library.getToken(1)));  // a duplicate, entered once
    int tokens = 0;
    for (const auto& p : Vsk::PKI::GetCatalogueProviders()) tokens += p->isToken() ? 1 : 0;
    EXPECT_EQ(tokens, 1);
}

// A removal takes the token's description and the algorithm only it offered, and keeps the one the
// provider also offers; an insertion brings them back. Each event reaches every registered window
// exactly once, also when the library hands the removal to a second live object of the slot.
TEST_F(TokenAsCspTest, RemovalAndInsertionUpdateTheCatalogueAndTellEachWindowOnce) {
    RegisterStandInModule(u"User32.dll", {{"PostMessageW", StandInAddress(&CountingPostMessage)}}, true);
    {
        std::lock_guard<std::mutex> guard(postLock);
        posts.clear();
    }
    const HWND first = FakeWindow(0x1000), second = FakeWindow(0x2000);
    Vsk::PKI::addWndOnTokenRefresh(first);
    Vsk::PKI::addWndOnTokenRefresh(second);
    Vsk::PKI::addWndOnTokenRefresh(first);
    ASSERT_TRUE(provider(TokenName));
    const std::set<std::string> present = algorithmTable();
    // Another holder of the token: a second object of the same slot.
    Vsk::PKCS11::CPKCS11 library(true);
    ASSERT_TRUE(library.init(CWString(VskTest::Utf16(m_module.path()).c_str())));
    const Vsk::PKCS11::CToken other = library.getToken(0);

    const auto postsTo = [](HWND window) {
        std::lock_guard<std::mutex> guard(postLock);
        return posts[window];
    };
    ASSERT_EQ(m_module.setPresent(0, false), CKR_OK);
    ASSERT_TRUE(WaitFor([&] { return !tokenNow() && !postsTo(first).empty(); }));
    EXPECT_TRUE(other.isRemoved());
    const std::string provider = std::string(":") + GostProvider;
    EXPECT_EQ(algorithmTable(), std::set<std::string>{std::to_string(0x801E) + ":0" + provider});
    EXPECT_FALSE(Vsk::PKI::FindAlgorithm("1.2.643.7.1.1.2.3", -1));

    Vsk::PKI::delWndOnTokenRefresh(second);
    ASSERT_EQ(m_module.setPresent(0, true), CKR_OK);
    ASSERT_TRUE(WaitFor([&] { return tokenNow() && postsTo(first).size() >= 2; }));
    EXPECT_EQ(algorithmTable(), present);

    // Late posts would show up here.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(postsTo(first), (std::vector<UINT>{0x800A, 0x800A}));
    EXPECT_EQ(postsTo(second), (std::vector<UINT>{0x800A}));
    Vsk::PKI::delWndOnTokenRefresh(first);
}

// The same token through two libraries is entered once: the description with more algorithms stays,
// and an algorithm that only the other one offered does not stay behind.
TEST_F(TokenAsCspTest, SameTokenThroughTwoLibrariesKeepsTheDescriptionWithMoreAlgorithms) {
    struct Case {
        const char* firstMechanisms;
        const char* secondMechanisms;
        bool secondWins;
    } cases[] = {{"0x1201, 0xD4321012", "0x1201, 0x1210, 0xD4321013", true},
                 {"0x1201, 0x1210, 0xD4321013", "0x1201, 0xD4321012", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.secondMechanisms);
        Vsk::PKI::clearTokenAsCsp();
        VskTest::GostTokenModule copy(VskTest::GostTokenModule::copyOf(m_module.path(), root()));
        ASSERT_FALSE(copy.failed());
        ASSERT_EQ(m_module.configure(TokenConfig(c.firstMechanisms)), CKR_OK);
        ASSERT_EQ(copy.configure(TokenConfig(c.secondMechanisms)), CKR_OK);
        useLibraries({m_module.path(), copy.path()});
        VskTest::LogCapture log(2);
        Vsk::PKI::ClearCspAlgInfo();

        CRefPtr<CSPInfo> token = provider(TokenName);
        ASSERT_TRUE(token);
        int tokens = 0;
        for (const auto& p : Vsk::PKI::GetCatalogueProviders()) tokens += p->isToken() ? 1 : 0;
        EXPECT_EQ(tokens, 1);
        EXPECT_EQ(token->m_algorithms.size(), 3u);
        const std::string library = Vsk::Utils::CAString(token->getToken().getLibraryName(), CP_UTF8).toStd();
        EXPECT_EQ(library.find(copy.path()) != std::string::npos, c.secondWins) << library;
        // The 2012-256 hash came only with the description that lost.
        EXPECT_FALSE(Vsk::PKI::FindAlgorithm("1.2.643.7.1.1.2.2", -1));
        bool logged = false;
        for (const std::u16string& line : log.lines())
            logged |= line.find(u"PKI::addTokenAsCsp криптопровайдер \"" + U16(W(TokenName))) !=
                          std::u16string::npos &&
                      line.find(u" встречается повторно!") != std::u16string::npos;
        EXPECT_TRUE(logged);
    }
}

// A signature mechanism's key length is the token's smallest key size, or the usual size of its
// algorithm when the token reports none.
TEST_F(TokenAsCspTest, SignatureKeyLengthFallsBackToTheAlgorithmsUsualSize) {
    struct Case {
        const char* mechanism;
        const char* keySize;
        ALG_ID aid;
        DWORD bits;
    } cases[] = {{"0x1201", "0", 0x2E23, 512},
                 {"0xD4321006", "0", 0x2E3D, 1024},
                 {"0xD4321008", "0", 0x2E49, 512},
                 {"0xD4321008", "256", 0x2E49, 256}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mechanism) + ":" + c.keySize);
        Vsk::PKI::clearTokenAsCsp();
        // CKF_SIGN | CKF_VERIFY, then the key size the token reports.
        ASSERT_EQ(m_module.configure(TokenConfig(std::string(c.mechanism) + ":0x2800:" + c.keySize)), CKR_OK);
        Vsk::PKI::ClearCspAlgInfo();
        const CRefPtr<CSPInfo> token = provider(TokenName);
        ASSERT_TRUE(token);
        const auto algorithm = token->getAlgorithm(c.aid);
        ASSERT_TRUE(algorithm);
        EXPECT_EQ(algorithm->m_keyBitLength, c.bits);
    }
}

// The switch takes the tokens out and brings them back, storing bit 0 of the flags when asked to.
TEST_F(TokenAsCspTest, SwitchTakesTokensOutAndBringsThemBack) {
    ASSERT_TRUE(provider(TokenName));
    auto stored = []() -> std::optional<DWORD> {
        const Vsk::Utils::CDataBlob value = Vsk::InternalUtils::regReadValue(
            u"Software\\Voskel\\HelvorCom\\Settings", u"flags", HKEY_CURRENT_USER);
        bool ok = false;
        const uint32_t word = value.getSize() != 0 ? value.toUInt32(&ok) : 0;
        return ok ? std::optional<DWORD>(word & 1) : std::nullopt;
    };
    Vsk::PKI::setTokenAsCsp(false, true);
    EXPECT_FALSE(tokenNow());
    EXPECT_FALSE(Vsk::PKI::FindAlgorithm("1.2.643.7.1.1.2.3", -1));
    EXPECT_TRUE(provider(GostProvider));
    EXPECT_EQ(stored(), 0u);
    // A refilling of the catalogue leaves them out while the switch is off.
    Vsk::PKI::ClearCspAlgInfo();
    EXPECT_TRUE(provider(GostProvider));
    EXPECT_FALSE(tokenNow());

    Vsk::PKI::setTokenAsCsp(true, true);
    EXPECT_TRUE(tokenNow());
    EXPECT_TRUE(Vsk::PKI::getTokenAsCsp());
    EXPECT_EQ(stored(), 1u);
}

}  // namespace
