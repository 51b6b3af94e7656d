// Key container objects on the provider stand-in's real containers: making, generating, reading and
// deleting them with a password, the request question on deletion, the provider's refusals as the
// texts and codes the program shows, and a re-used object forgetting the previous container.
#include "certificates/certificateFixtures.h"
#include "testSupport.h"

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/pki/Store.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/crypt.h>
#include <vsk/platform/module.h>
#include <vsk/utils/error.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace Vsk::Utils;
using namespace Vsk::PKI;

namespace {

constexpr DWORD GostType = 80;

CRefPtr<CSPInfo> gostProvider() {
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, GostType, CRYPT_VERIFYCONTEXT));
    DWORD type = 0;
    CWString name;
    EXPECT_TRUE(GetCSPParams(prov, &type, &name, nullptr, nullptr));
    CryptReleaseContext(prov, 0);
    return FindCSPInfo(GostType, name);
}

// The question the deletion asks, answered by the test.
struct Questions {
    static inline int asked = 0;
    static inline int answer = 7;  // IDNO
    static inline std::u16string text;
    static int box(HWND, LPCWSTR body, LPCWSTR caption, UINT) {
        ++asked;
        text = std::u16string(caption) + u"|" + body;
        return answer;
    }
};

CKeyContainer makeWithPassword(CSPInfo* provider, const std::u16string& name, bool silent,
                               const char16_t* password) {
    CKeyContainer container(true);
    container.get_CommonSettings().put_Silent(silent);
    if (password) {
        CWString text(password);
        container.put_KeysetPassword(text);
    }
    container.New(provider, CWString(u""), CWString(name.c_str()), false);
    container.Generate(true);
    return container;
}

std::u16string Thrown(const std::function<void()>& f, DWORD* code = nullptr) {
    try {
        f();
    } catch (const CError& e) {
        if (code) *code = e.getCode();
        return e.getText().toU16();
    }
    return u"<nothing thrown>";
}

class KeyContainerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove_all(std::string(std::getenv("KESTROVAN_USER_DIR")) + "/keys");
        Questions::asked = 0;
    }
};

}  // namespace

TEST_F(KeyContainerTest, NewGenerateReadAndDeleteWithAPassword) {
    CRefPtr<CSPInfo> provider = gostProvider();
    ASSERT_TRUE(provider);
    VskTest::LogCapture log(5);
    CKeyContainer made = makeWithPassword(provider.get(), u"pw-container", true, u"mivo");
    EXPECT_EQ(made.get_UniqueName().toU16(), u"\\\\.\\REGISTRY\\pw-container");

    // A fresh object reads the container: names, key, and the key needs the password to sign.
    CKeyContainer read(true);
    read.get_CommonSettings().put_Silent(true);
    read.Initialize(CWString(u"pw-container"), nullptr, provider.get(), false);
    EXPECT_EQ(read.get_UniqueName().toU16(), u"\\\\.\\REGISTRY\\pw-container");
    EXPECT_EQ(read.get_KeySpec(), static_cast<DWORD>(AT_KEYEXCHANGE));
    EXPECT_EQ(read.get_KeyLength(), 512u);
    EXPECT_EQ(read.get_KeyAID(), static_cast<ALG_ID>(CALG_DH_GR3410_12_256_SF));
    EXPECT_TRUE(read.isExchangeKey());
    EXPECT_TRUE(read.isExportable());
    EXPECT_EQ(read.get_PublicKey().getSize(), 64u);
    EXPECT_EQ(read.getCertificate(), nullptr);

    // Silent: a wrong password is an error with the provider's code; the right one is accepted.
    {
        CKeyContainer probe(true);
        probe.get_CommonSettings().put_Silent(true);
        probe.Initialize(CWString(u"pw-container"), nullptr, provider.get(), false);
        HCRYPTHASH hash = 0;
        CHoldCSP context = probe.get_hCryptProv();
        ASSERT_TRUE(CryptCreateHash(context.get_hCryptProv(), CALG_GR3411_2012_256, 0, 0, &hash));
        CryptHashData(hash, reinterpret_cast<const BYTE*>("x"), 1, 0);
        DWORD size = 0;
        ASSERT_TRUE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &size));
        std::vector<BYTE> signature(size);
        EXPECT_FALSE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &size));
        EXPECT_EQ(GetLastError(), 0x80090022u);  // no password on a silent context
        CryptDestroyHash(hash);
    }
    // A wrong password given to an object that holds a context (the one New made): raised with the
    // provider's code when silent, left to the provider's own prompt otherwise.
    DWORD code = 0;
    CWString wrong(u"wrong");
    EXPECT_NE(Thrown([&] { made.put_KeysetPassword(wrong); }, &code), u"<nothing thrown>");
    EXPECT_EQ(code, 0x8010006Bu);
    made.get_CommonSettings().put_Silent(false);
    CWString wrongAgain(u"wrong");
    EXPECT_EQ(Thrown([&] { made.put_KeysetPassword(wrongAgain); }), u"<nothing thrown>");
    made = CKeyContainer();

    // Deleting asks nothing when silent; the container is gone afterwards.
    Questions::asked = 0;
    read.Delete();
    EXPECT_EQ(Questions::asked, 0);
    HCRYPTPROV none = 0;
    EXPECT_FALSE(CryptAcquireContextW(&none, u"pw-container", nullptr, GostType, CRYPT_SILENT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));

    // The password never reaches the developer log, even at its most detailed level.
    for (const auto& line : log.lines()) EXPECT_EQ(line.find(u"mivo"), std::u16string::npos);
    for (const auto& line : log.lines())
        EXPECT_EQ(line.find(u"wrong"), std::u16string::npos)
            << CAString(CWString(line.c_str()), 65001).toStd();
}

TEST_F(KeyContainerTest, DetailsReadBetweenNewAndGenerateDoNotLoseTheContainer) {
    CRefPtr<CSPInfo> provider = gostProvider();
    ASSERT_TRUE(provider);
    CKeyContainer container(true);
    container.get_CommonSettings().put_Silent(true);
    container.New(provider.get(), CWString(u""), CWString(u"read-early"), false);
    // Reading the empty container releases the context New held; generating still works.
    EXPECT_EQ(container.get_KeyLength(), 0u);
    container.Generate(false);
    EXPECT_EQ(container.get_KeySpec(), static_cast<DWORD>(AT_KEYEXCHANGE));
    EXPECT_EQ(container.get_KeyLength(), 512u);
    EXPECT_EQ(container.get_KeyAID(), static_cast<ALG_ID>(CALG_DH_GR3410_12_256_SF));
    EXPECT_TRUE(container.isExchangeKey());
    EXPECT_FALSE(container.isExportable());
    container.Delete();
}

TEST_F(KeyContainerTest, RefusalsOfTheProvider) {
    CRefPtr<CSPInfo> provider = gostProvider();
    ASSERT_TRUE(provider);
    makeWithPassword(provider.get(), u"exists", true, nullptr);
    const struct {
        std::u16string name;
        const char16_t* text;
        DWORD code;
    } cases[] = {
        {u"exists", u"Ошибка создания ключевого контейнера!", NTE_EXISTS},
        {std::u16string(65, u'x'),
         u"Сократите длину наименования ключевого контейнера до 64 символов или менее.",
         NTE_BAD_KEYSET_PARAM},
        {u"bad\\name", u"Возможно, в наименовании ключевого контейнера есть какие-то недопустимые символы.",
         NTE_BAD_KEYSET_PARAM},
    };
    for (const auto& c : cases) {
        DWORD code = 0;
        CKeyContainer container(true);
        const std::u16string text = Thrown(
            [&] { container.New(provider.get(), CWString(u""), CWString(c.name.c_str()), false); }, &code);
        EXPECT_NE(text.find(c.text), std::u16string::npos);
        EXPECT_EQ(code, c.code);
    }
    // A container that is not there cannot be read or deleted.
    CKeyContainer missing(true);
    missing.Initialize(CWString(u"missing"), nullptr, provider.get(), false);
    DWORD code = 0;
    Thrown([&] { missing.get_KeySpec(); }, &code);
    EXPECT_EQ(code, static_cast<DWORD>(NTE_BAD_KEYSET));
    Thrown([&] { missing.Delete(); }, &code);
    EXPECT_EQ(code, static_cast<DWORD>(NTE_BAD_KEYSET));
    CKeyContainer notMade(true);
    EXPECT_NE(Thrown([&] { notMade.Generate(false); }).find(u"Ключевой контейнер не был создан."),
              std::u16string::npos);
}

TEST_F(KeyContainerTest, DeletionOffersToDeleteItsRequests) {
    CRefPtr<CSPInfo> provider = gostProvider();
    ASSERT_TRUE(provider);
    RegisterStandInModule(u"User32.dll", {{"MessageBoxW", StandInAddress(&Questions::box)}}, true);
    CKeyContainer container = makeWithPassword(provider.get(), u"with-request", false, nullptr);
    const std::u16string unique = u"\\\\.\\REGISTRY\\with-request";

    // A request whose key is this container's, and one of another container.
    auto request = [&](const char* name, const std::u16string& containerName) {
        const auto made = CertFixture::make(name, CertFixture::Key::Gost256, std::string("/CN=") + name);
        CCertificate certificate(true);
        certificate.LoadFromBlob(CertFixture::readFile(made.der));
        ASSERT_TRUE(certificate.setKeyProvInfo(GostType, provider->m_name, CWString(containerName.c_str()),
                                               AT_KEYEXCHANGE, false, true, false));
        CStore store(true);
        store.Open(u"REQUEST", CERT_SYSTEM_STORE_CURRENT_USER);
        ASSERT_TRUE(store.InstallCertificate(certificate, CERT_STORE_ADD_REPLACE_EXISTING));
    };
    makeWithPassword(provider.get(), u"other", true, nullptr);
    request("Mine", unique);
    request("Other", u"\\\\.\\REGISTRY\\other");

    ASSERT_NE(GetModuleHandleW(u"User32.dll"), nullptr);
    Questions::answer = 6;  // IDYES
    container.Delete();
    EXPECT_EQ(Questions::asked, 1);
    EXPECT_EQ(Questions::text,
              u"Удаление запроса на сертификат|Удалить также запрос на сертификат \"Общее имя=Mine\" по "
              u"удаляемому ключевому контейнеру?");
    CStore store(true);
    store.Open(u"REQUEST", CERT_SYSTEM_STORE_CURRENT_USER);
    CArray<CCertificate> left;
    store.GetCertificates(&left);
    ASSERT_EQ(left.getCount(), 1u);
    EXPECT_NE(left[0].getText().toU16().find(u"Other"), std::u16string::npos);
}

TEST_F(KeyContainerTest, AReusedObjectForgetsThePreviousContainer) {
    CRefPtr<CSPInfo> provider = gostProvider();
    ASSERT_TRUE(provider);
    makeWithPassword(provider.get(), u"first", true, u"mivo");
    // A signature-only container with a password: both keys are still tried.
    {
        HCRYPTPROV prov = 0;
        ASSERT_TRUE(
            CryptAcquireContextW(&prov, u"signing", nullptr, GostType, CRYPT_NEWKEYSET | CRYPT_SILENT));
        ASSERT_TRUE(CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>("pin2"), 0));
        HCRYPTKEY key = 0;
        ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 0, &key));
        CryptDestroyKey(key);
        CryptReleaseContext(prov, 0);
    }
    CKeyContainer container(true);
    container.get_CommonSettings().put_Silent(true);
    container.Initialize(CWString(u"first"), nullptr, provider.get(), false);
    CWString password(u"mivo");
    container.put_KeysetPassword(password);
    EXPECT_EQ(container.get_KeySpec(), static_cast<DWORD>(AT_KEYEXCHANGE));
    EXPECT_TRUE(container.hasKeysetPassword());

    container.Initialize(CWString(u"signing"), nullptr, provider.get(), false);
    EXPECT_FALSE(container.hasKeysetPassword());
    CWString pin(u"pin2");
    container.put_KeysetPassword(pin);
    EXPECT_EQ(container.get_KeySpec(), static_cast<DWORD>(AT_SIGNATURE));
    EXPECT_EQ(container.get_KeyAID(), static_cast<ALG_ID>(CALG_GR3410_12_256));
    EXPECT_EQ(container.get_UniqueName().toU16(), u"\\\\.\\REGISTRY\\signing");
}
