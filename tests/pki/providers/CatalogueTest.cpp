// The provider and algorithm catalogue: descriptions, their order and texts, the filling from the
// provider stand-in (built-in providers and the fake backend) and the lookups.
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/OidNames.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/utils/global.h>
#include <vsk/utils/registry.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <regex>
#include <string>

#include "catalogueTestSupport.h"

using namespace Vsk::PKI;
using Vsk::Utils::CAString;
using Vsk::Utils::CError;
using Vsk::Utils::CErrorFormatter;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;
using namespace catalogue_test;

namespace {

CRefPtr<CSPInfo> Description(DWORD type, const char* name, DWORD version = 0) {
    CRefPtr<CSPInfo> d = CRefPtr<CSPInfo>::create();
    d->m_type = type;
    d->m_name = W(name);
    d->m_version = version;
    return d;
}

CRefPtr<CAlgorithm> Algorithm(ALG_ID aid, const char* oid, DWORD bits, const char* name = "") {
    CRefPtr<CAlgorithm> a = CAlgorithm::createNew();
    a->m_aid = aid;
    a->m_oid = CAString(oid);
    a->m_keyBitLength = bits;
    a->m_name = W(name);
    return a;
}

using VskTest::Utf8;

std::vector<ALG_ID> AlgIds(const CSPInfo& provider) {
    std::vector<ALG_ID> ids;
    for (const auto& a : provider.GetAlgorithms(0)) ids.push_back(a->m_aid);
    return ids;
}

// ---- Descriptions
// ------------------------------------------------------------------------------------------

TEST(CSPInfoOrder, TypeThenShorterNameThenCodeUnits) {
    CSPInfoSet set;
    for (auto [type, name] : {std::pair{24u, "ABC"}, {24u, "AB"}, {1u, "Z"}, {24u, "AC"}, {1u, "Y"}})
        set.insert(Description(type, name));
    std::vector<std::string> order;
    for (const auto& d : set) order.push_back(std::to_string(d->m_type) + " " + Utf8(d->m_name));
    EXPECT_EQ(order, (std::vector<std::string>{"1 Y", "1 Z", "24 AB", "24 AC", "24 ABC"}));
}

TEST(CSPInfoOrder, SameTypeAndNameAreOneEntryAndDifferentVersionsAreLogged) {
    LogCapture log(2);
    CSPInfoSet set;
    set.insert(Description(80, "P", 0x0100));
    EXPECT_FALSE(set.insert(Description(80, "P", 0x0200)).second);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ((*set.begin())->m_version, 0x0100u);
    EXPECT_TRUE(
        log.any(u"PKI::CSPInfo::operator < Разные версии 256 и 512 одного и того же криптопровайдера 80 P") ||
        log.any(u"PKI::CSPInfo::operator < Разные версии 512 и 256 одного и того же криптопровайдера 80 P"));
}

TEST(CSPInfoText, ProviderAndVersionTexts) {
    CRefPtr<CSPInfo> d = Description(80, "Test CSP", 0x0201);
    EXPECT_EQ(U16(d->getVersionText()), u"2.1.0.0");
    d->m_versionEx[0] = 3;
    d->m_versionEx[1] = 4;
    EXPECT_EQ(U16(d->toString()), u"криптопровайдер \"Test CSP\" типа 80, версии 2.1.3.4");
}

TEST(CSPInfoTests, NamesTypesAndGostAlgorithms) {
    struct Row {
        DWORD type;
        const char* name;
        bool kc, uec, hsm;
        ALG_ID ephem;
    };
    const Row rows[] = {
        {75, "Crypto-Pro GOST R 34.10-2001 KC1 CSP", true, false, false, 0xAA25},
        {75, "Crypto-Pro GOST R 34.10-2001 KC2 CSP", true, false, false, 0xAA25},
        {75, "crypto-pro GOST R 34.10-2001 KC1 CSP", false, false, false, 0xAA25},
        {71, "Crypto-Pro GOST R 34.10-94 KC2 CSP", true, false, false, 0xAA02},
        {80, "Crypto-Pro GOST R 34.10-2001 KC1 CSP", false, false, false, 0xAA47},
        {81, "cryptopro gost R 34.10-2012 uec csp", false, true, false, 0xAA43},
        {80, "CryptoPro GOST R 34.10-2012 CSP", false, false, false, 0xAA47},
        {1, "My hsm Provider", false, false, true, 0xAA02},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CRefPtr<CSPInfo> d = Description(row.type, row.name);
        EXPECT_EQ(d->isCryptoProKC(), row.kc);
        EXPECT_EQ(d->isCryptoProUEC(), row.uec);
        EXPECT_EQ(CSPInfo::isHSM(d->m_name), row.hsm);
        EXPECT_EQ(d->getEphemDHAlgId(), row.ephem);
    }

    CRefPtr<CSPInfo> d = Description(1, "RSA");
    EXPECT_FALSE(d->hasGostAlgorithm());
    EXPECT_TRUE(d->GetAlgorithms(0x8000).isEmpty());
    EXPECT_FALSE(d->getAlgorithm(0));
    d->m_algorithms.insert(Algorithm(0x8004, "1.3.14.3.2.26", 160));
    d->m_algorithms.insert(Algorithm(0x6610, "2.16.840.1.101.3.4.1.42", 256));
    EXPECT_FALSE(d->hasGostAlgorithm());
    EXPECT_EQ(d->GetAlgorithms(0x8000).getCount(), 1u);
    EXPECT_EQ(d->GetAlgorithms(0x6000).getCount(), 1u);
    EXPECT_EQ(d->GetAlgorithms(0).getCount(), 2u);
    EXPECT_EQ(d->getAlgorithm(0x6610)->m_keyBitLength, 256u);
    // A GOST hash known only by its OID counts too.
    d->m_algorithms.insert(Algorithm(0x9999, "1.2.643.7.1.1.2.3", 512));
    EXPECT_TRUE(d->hasGostAlgorithm());
}

TEST(CAlgorithmTest, TextAndOrder) {
    EXPECT_EQ(U16(Algorithm(0x8004, "1.3.14.3.2.26", 160, "SHA-1")->toString()),
              u"aid=0x8004, oid=1.3.14.3.2.26, name=SHA-1, keyBitLength=160");
    // ALG_ID, then OID (shorter first), then key length unless one of them is unknown.
    EXPECT_LT(*Algorithm(0x2E3D, "1.2.643.7.1.1.1.2", 1024), *Algorithm(0x2E49, "1.2.643.7.1.1.1.1", 512));
    EXPECT_LT(*Algorithm(1, "9.9", 0), *Algorithm(1, "1.1.1", 0));
    EXPECT_LT(*Algorithm(1, "1.2", 256), *Algorithm(1, "1.2", 512));
    CAlgorithmSet set{Algorithm(1, "1.2", 0, "first")};
    EXPECT_FALSE(set.insert(Algorithm(1, "1.2", 512, "second")).second);
}

TEST(CAlgorithmTest, FromEnumAlgsRecord) {
    PROV_ENUMALGS record{};
    record.aiAlgid = 0x8021;
    record.dwBitLen = 256;
    // A name that fills all 20 bytes without a terminator.
    std::memcpy(record.szName, "GR3411_2012_256_ABCD", 20);
    record.dwNameLen = 21;
    CRefPtr<CAlgorithm> a = CAlgorithm::CAlgorithmFromEnumAlgs(record);
    EXPECT_EQ(a->m_aid, 0x8021u);
    EXPECT_EQ(a->m_keyBitLength, 256u);
    EXPECT_EQ(U16(a->m_name), u"GR3411_2012_256_ABCD");
    EXPECT_EQ(a->m_oid.toStd(), "1.2.643.7.1.1.2.2");
    EXPECT_TRUE(a->m_providers.empty());
}

TEST(CheckAlgorithmWithCSP, RefusalTableByType) {
    struct Row {
        DWORD type;
        ALG_ID aid;
        bool accepted;
    };
    const Row rows[] = {
        {2, 0x2E3D, false}, {2, 0x8021, false},  {2, 0xAA48, false},  {2, 0x2E23, true},
        {2, 0x801E, true},  {77, 0x2E23, false}, {77, 0xAA28, false}, {77, 0x8021, true},
        {77, 0x2E49, true}, {78, 0x2E49, false}, {78, 0x8021, false}, {78, 0xAA48, false},
        {78, 0x8022, true}, {78, 0x2E3D, true},  {80, 0x2E3D, true},  {1, 0xAA3F, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.type) + " " + std::to_string(row.aid));
        const char* name = row.type == 2    ? "Infotecs Cryptographic Service Provider"
                           : row.type == 77 ? "Infotecs GOST 2012/512 Cryptographic Service Provider"
                                            : "INFOTECS GOST 2012/1024 CRYPTOGRAPHIC SERVICE PROVIDER";
        EXPECT_EQ(checkAlgorithmWithCSP(*Description(row.type, name), *Algorithm(row.aid, "", 0)),
                  row.accepted);
    }
    // A provider of a listed type under another name is warned about and refused all the same.
    LogCapture log(2);
    EXPECT_FALSE(checkAlgorithmWithCSP(*Description(78, "Other"), *Algorithm(0x8021, "", 0)));
    EXPECT_TRUE(log.any(u"PKI::checkAlgorithmWithCSP Имя криптопровайдера не соответствует типу."));
}

// ---- The catalogue from the stand-in
// ------------------------------------------------------------------------

using CatalogueTest = CatalogueFixture;

TEST_F(CatalogueTest, BuiltInProvidersInOrderWithVersionsMarksAndRussianNames) {
    CError errors(Vsk::Utils::NoErrorCode);
    InitCspAlgInfo(&errors);
    EXPECT_TRUE(errors.isEmpty()) << Utf8(errors.getText());
    EXPECT_EQ(providerNames(), (std::vector<std::u16string>{KESTROVAN_RSA_PROV, KESTROVAN_GOST_2012_256_PROV,
                                                            KESTROVAN_GOST_2012_512_PROV}));
    const std::wregex versionText(L"1\\.0\\.[0-9]+\\.[0-9]+");
    const CAlgorithmSet catalogued = GetAllAlgorithms(0);
    for (const auto& p : GetCatalogueProviders()) {
        SCOPED_TRACE(Utf8(p->m_name));
        const std::u16string version = U16(p->getVersionText());
        EXPECT_TRUE(std::regex_match(std::wstring(version.begin(), version.end()), versionText));
        EXPECT_EQ(U16(p->toString()), u"криптопровайдер \"" + U16(p->m_name) + u"\" типа " +
                                          U16(Vsk::Utils::ToWString(p->m_type)) + u", версии " + version);
        EXPECT_EQ(p->m_defaultFlags, static_cast<DWORD>(CRYPT_MACHINE_DEFAULT));
        EXPECT_NE(p->m_typeName.getLength(), 0u);
        EXPECT_FALSE(p->isToken());
        // Each algorithm of a provider is the catalogue's own entry and names the provider back.
        for (const auto& a : p->GetAlgorithms(0)) {
            EXPECT_EQ(catalogued.count(a), 1u) << Utf8(a->toString());
            if (catalogued.count(a)) {
                EXPECT_EQ(catalogued.find(a)->get(), a.get());
            }
            EXPECT_EQ(a->m_providers.count(p.get()), 1u);
        }
    }
    const auto rsa = provider("Kestrovan RSA Cryptographic Provider");
    const auto gost256 = provider("Kestrovan GOST R 34.10-2012 Cryptographic Provider");
    const auto gost512 = provider("Kestrovan GOST R 34.10-2012 Strong Cryptographic Provider");
    ASSERT_TRUE(rsa && gost256 && gost512);
    EXPECT_FALSE(rsa->hasGostAlgorithm());
    EXPECT_TRUE(gost256->hasGostAlgorithm());
    EXPECT_EQ(U16(rsa->getAlgorithm(CALG_SHA1)->m_name), u"SHA-1");
    for (const auto& p : {gost256, gost512})
        for (const auto& a : p->GetAlgorithms(0)) EXPECT_TRUE(a->m_name.hasCyrillic()) << Utf8(a->toString());

    // One GOST R 34.11-2012 256 entry, offered by both GOST providers; key lengths as certificates
    // look them up.
    const auto hash256 = FindAlgorithm(CAString("1.2.643.7.1.1.2.2"), -1);
    ASSERT_TRUE(hash256);
    EXPECT_EQ(hash256->m_aid, CALG_GR3411_2012_256);
    const auto offering = hash256->getProviders();
    ASSERT_EQ(offering.getCount(), 2u);
    EXPECT_EQ(offering[0].get(), gost256.get());
    EXPECT_EQ(offering[1].get(), gost512.get());
    EXPECT_EQ(FindAlgorithm(CAString("1.2.643.7.1.1.1.1"), 512)->m_aid, CALG_GR3410_12_256);
    EXPECT_EQ(FindAlgorithm(CAString("1.2.643.7.1.1.1.2"), 1024)->m_aid, CALG_GR3410_12_512);
    EXPECT_FALSE(FindAlgorithm(CAString("1.2.643.7.1.1.1.2"), 512));

    EXPECT_EQ(GetAllAlgorithms(0x8000).size(), 7u);  // MD5, SHA-1, SHA-2 x3, GOST 2012 x2
    EXPECT_EQ(
        FindCSPInfo(PROV_GOST_2012_512, W("Kestrovan GOST R 34.10-2012 Strong Cryptographic Provider")).get(),
        gost512.get());
}

TEST_F(CatalogueTest, DescriptionOfAnOpenHandle) {
    EXPECT_FALSE(GetCSPInfo(0));
    HCRYPTPROV handle = 0;
    ASSERT_TRUE(CryptAcquireContextW(&handle, nullptr, KESTROVAN_GOST_2012_256_PROV, PROV_GOST_2012_256,
                                     CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetCSPInfo(handle).get(), provider("Kestrovan GOST R 34.10-2012 Cryptographic Provider").get());
    CryptReleaseContext(handle, 0);
    try {
        GetCSPInfo(handle);
        FAIL() << "a released handle has no type";
    } catch (const CCryptError& error) {
        EXPECT_EQ(error.getErrorNumber(), 0u);
        EXPECT_EQ(U16(error.getMessage()).rfind(u"Получение типа криптопровайдера", 0), 0u);
        EXPECT_EQ(static_cast<DWORD>(error.getCode()), NTE_BAD_UID);
    }
}

TEST_F(CatalogueTest, UnknownProviderRefillsOnceThenNull) {
    const auto before = provider("Kestrovan RSA Cryptographic Provider");
    EXPECT_FALSE(FindCSPInfo(PROV_RSA_FULL, W("kestrovan RSA Cryptographic Provider")));
    // The refill made new descriptions; the old one stays valid for its holder.
    const auto after = provider("Kestrovan RSA Cryptographic Provider");
    ASSERT_TRUE(after);
    EXPECT_NE(before.get(), after.get());
    EXPECT_EQ(U16(before->m_name), U16(after->m_name));
}

TEST_F(CatalogueTest, ClearingCutsAlgorithmLinksThatHoldersStillSee) {
    const auto hash = FindAlgorithm(CAString("1.2.643.7.1.1.2.3"), -1);
    ASSERT_TRUE(hash);
    ASSERT_EQ(hash->getProviders().getCount(), 1u);
    ClearCspAlgInfo();
    EXPECT_TRUE(hash->getProviders().isEmpty());
    EXPECT_TRUE(hash->m_providers.empty());
    EXPECT_TRUE(GetCatalogueProviders().isEmpty());
    // The next lookup fills a new catalogue with new entries.
    const auto again = FindAlgorithm(CAString("1.2.643.7.1.1.2.3"), -1);
    ASSERT_TRUE(again);
    EXPECT_NE(again.get(), hash.get());
    EXPECT_EQ(again->getProviders().getCount(), 1u);
}

// The token switch loads or unloads the tokens and stores bit 0 only when it changes; the CryptoAPI
// providers stay in the catalogue either way.
TEST_F(CatalogueTest, TokenSwitchStoresItsBitOnlyWhenItChanges) {
    Vsk::Utils::CFlags* flags = Vsk::InternalUtils::GetCommonFlags();
    const DWORD saved = flags->getFlags(1);
    flags->load(1);  // nothing stored: the default word, switched on
    ASSERT_TRUE(provider("Kestrovan RSA Cryptographic Provider"));
    const std::vector<std::u16string> providers = providerNames();
    auto stored = []() -> std::optional<DWORD> {
        const Vsk::Utils::CDataBlob value = Vsk::InternalUtils::regReadValue(
            u"Software\\Voskel\\HelvorCom\\Settings", u"flags", HKEY_CURRENT_USER);
        bool ok = false;
        const uint32_t word = value.getSize() != 0 ? value.toUInt32(&ok) : 0;
        return ok ? std::optional<DWORD>(word) : std::nullopt;
    };
    struct Step {
        bool on;
        bool persist;
        std::optional<DWORD> stored;
    } steps[] = {
        {true, true, std::nullopt}, {false, false, std::nullopt}, {true, true, 1u}, {false, true, 0u}};
    for (const Step& step : steps) {
        SCOPED_TRACE(std::to_string(step.on) + " " + std::to_string(step.persist));
        setTokenAsCsp(step.on, step.persist);
        EXPECT_EQ(getTokenAsCsp(), step.on);
        EXPECT_EQ(stored(), step.stored);
        EXPECT_EQ(providerNames(), providers);
    }
    flags->setFlags(saved, 0xFFFFFFFF, false, 1);
}

TEST_F(CatalogueTest, DefaultProviderNames) {
    EXPECT_EQ(U16(GetDefaultProvName(PROV_GOST_2012_256, CRYPT_MACHINE_DEFAULT)),
              KESTROVAN_GOST_2012_256_PROV);
    EXPECT_EQ(GetDefaultProvName(PROV_GOST_2012_256, CRYPT_USER_DEFAULT).getLength(), 0u);
    EXPECT_EQ(GetDefaultProvName(PROV_GOST_2001_DH, CRYPT_MACHINE_DEFAULT).getLength(), 0u);
}

// ---- The fake backend
// ---------------------------------------------------------------------------------------

TEST_F(CatalogueTest, DuplicateProviderIsEnteredOnce) {
    useFake(R"(
[provider]
type = 80
name = Twin GOST
[provider]
type = 80
name = Twin GOST
[provider]
type = 81
name = Strong GOST
)");
    LogCapture log(2);
    InitCspAlgInfo();
    EXPECT_EQ(providerNames(), (std::vector<std::u16string>{u"Twin GOST", u"Strong GOST"}));
    size_t duplicates = 0;
    for (const auto& line : log.lines())
        if (line.rfind(u"PKI::CSPInfo::fillInfo криптопровайдер \"Twin GOST\" типа 80, версии 1.0.", 0) ==
                0 &&
            line.ends_with(u" встречается повторно!"))
            ++duplicates;
    EXPECT_EQ(duplicates, 1u);
    EXPECT_EQ(provider("Twin GOST")->GetAlgorithms(0).getCount(), 5u);
}

TEST_F(CatalogueTest, RefusedAlgorithmsStayInTheCatalogueWithoutTheProvider) {
    const char* algs = R"(algorithms = none
alg = 0x2E23 512 A
alg = 0x2E3D 1024 B
alg = 0x2E49 512 C
alg = 0x801E 256 D
alg = 0x8021 256 E
alg = 0x8022 512 F
alg = 0xAA24 512 G
alg = 0xAA25 512 H
alg = 0xAA28 512 I
alg = 0xAA3F 512 J
alg = 0xAA42 1024 K
alg = 0xAA43 1024 L
alg = 0xAA46 512 M
alg = 0xAA47 512 N
alg = 0xAA48 512 O
)";
    useFake(std::string("[provider]\ntype = 2\nname = Infotecs Cryptographic Service Provider\n") + algs +
            "[provider]\ntype = 77\nname = Infotecs GOST 2012/512 Cryptographic Service Provider\n" + algs +
            "[provider]\ntype = 78\nname = Some Other Provider\n" + algs);
    LogCapture log(2);
    InitCspAlgInfo();
    using Ids = std::vector<ALG_ID>;
    EXPECT_EQ(AlgIds(*provider("Infotecs Cryptographic Service Provider")),
              (Ids{0x2E23, 0x801E, 0xAA24, 0xAA25, 0xAA28}));
    EXPECT_EQ(AlgIds(*provider("Infotecs GOST 2012/512 Cryptographic Service Provider")),
              (Ids{0x2E49, 0x8021, 0xAA46, 0xAA47, 0xAA48}));
    EXPECT_EQ(AlgIds(*provider("Some Other Provider")), (Ids{0x2E3D, 0x8022, 0xAA3F, 0xAA42, 0xAA43}));
    // Every algorithm is in the catalogue, refused ones with fewer (or no) providers.
    const CAlgorithmSet all = GetAllAlgorithms(0);
    EXPECT_EQ(all.size(), 15u);
    // Each is refused by two of the three types and offered by the third.
    for (const auto& a : all) EXPECT_EQ(a->getProviders().getCount(), 1u) << Utf8(a->toString());
    EXPECT_TRUE(log.any(u"PKI::CSPInfo::fillAlgorithms Алгоритм aid=0x2e3d, oid=1.2.643.7.1.1.1.2, name="));
    EXPECT_TRUE(log.any(u" не соотвествует криптопровайдеру, игнорируем алгоритм."));
    EXPECT_EQ(log.count(u"Имя криптопровайдера не соответствует типу."), 15u);
    EXPECT_TRUE(log.any(u"PKI::CSPInfo::fillAlgorithms Не найдены OID для ALG_ID(x16)="));
}

TEST_F(CatalogueTest, MissingVersionExAndLatinNamesGivingWayToRussianOnes) {
    const char* fixture = R"(
[provider]
type = 80
name = Old GOST
version = 0x0203
version_ex = none
algorithms = none
alg = 0x8021 256 GR3411_2012_256
alg = 0x661E 256 GOST 28147
)";
    {
        useFake(fixture);
        LogCapture log(2);
        const auto old = provider("Old GOST");
        ASSERT_TRUE(old);
        EXPECT_EQ(U16(old->getVersionText()), u"2.3.0.0");
        EXPECT_FALSE(log.any(u" - get PP_VERSION_EX:"));
        // The first Cyrillic name registered for the OID (the registry also holds the names that
        // providers reported before).
        for (ALG_ID aid : {CALG_GR3411_2012_256, CALG_G28147}) {
            const auto algorithm = old->getAlgorithm(aid);
            ASSERT_TRUE(algorithm);
            CWString expected;
            for (const CWString& name : CNameOID::getNames(algorithm->m_oid))
                if (name.hasCyrillic()) {
                    expected = name;
                    break;
                }
            EXPECT_TRUE(expected.hasCyrillic());
            EXPECT_EQ(U16(algorithm->m_name), U16(expected));
        }
    }
    useFake(fixture);
    LogCapture log(3);
    InitCspAlgInfo();
    EXPECT_TRUE(
        log.any(u"PKI::CSPInfo::fillInfo криптопровайдер \"Old GOST\" типа 80, версии 2.3.0.0 - get "
                u"PP_VERSION_EX: "));
}

TEST_F(CatalogueTest, DefaultMarksAndTypeNames) {
    useFake(R"(
[provider]
type = 80
name = First
[provider]
type = 80
name = Second
user_default = yes
[provider]
type = 81
name = Third
machine_default = no
[types]
type = 80 Type Eighty
)");
    InitCspAlgInfo();
    EXPECT_EQ(provider("First")->m_defaultFlags, 0x1u);
    EXPECT_EQ(provider("Second")->m_defaultFlags, 0x2u);
    EXPECT_EQ(provider("Third")->m_defaultFlags, 0x0u);
    EXPECT_EQ(U16(provider("First")->m_typeName), u"Type Eighty");
    EXPECT_EQ(provider("Third")->m_typeName.getLength(), 0u);
}

TEST_F(CatalogueTest, FailuresAreCollectedAndTheFillingGoesOn) {
    useFake(R"(
[provider]
type = 80
name = Broken Algorithms
enumalgs_error = 0x80090020 after 2
[provider]
type = 81
name = Unreachable
acquire_error = 0x80090016
[provider]
type = 81
name = Hidden
[global]
enum_providers_error = 2 0x80090020
enum_types_error = 1 0x80090020
)");
    LogCapture log(1);
    CError errors(Vsk::Utils::NoErrorCode);
    InitCspAlgInfo(&errors);
    // The provider that cannot be acquired is absent; the enumeration ended at index 2.
    EXPECT_EQ(providerNames(), (std::vector<std::u16string>{u"Broken Algorithms"}));
    EXPECT_EQ(provider("Broken Algorithms")->GetAlgorithms(0).getCount(), 2u);
    const std::u16string text = U16(errors.getText());
    EXPECT_EQ(text.rfind(u"\r\n1 - криптопровайдер \"Broken Algorithms\" типа 80, версии 1.0.", 0), 0u)
        << Utf8(errors.getText());
    EXPECT_NE(text.find(u" - get PP_ENUMALGS failed"), std::u16string::npos);
    EXPECT_NE(text.find(u"\r\n2 - криптопровайдер \""), std::u16string::npos);
    EXPECT_NE(text.find(u" - CryptEnumProviders:\r\n0x80090020"), std::u16string::npos);
    EXPECT_TRUE(
        log.any(u"PKI::CSPInfo::fillInfo криптопровайдер \"Unreachable\" типа 81, версии 0.0.0.0 - "
                u"CryptAcquireContext: 0x80090016"));
    EXPECT_TRUE(log.any(u"PKI::FillCspAlgInfo CryptEnumProviderTypes 0x80090020"));
}

TEST_F(CatalogueTest, NoProviderLeavesTheCatalogueEmptyAndTheNextLookupFillsAgain) {
    useFake("# nothing installed\n");
    CError errors(Vsk::Utils::NoErrorCode);
    InitCspAlgInfo(&errors);
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_TRUE(GetCatalogueProviders().isEmpty());
    EXPECT_THROW(GetAllAlgorithms(0), CCryptError);
    VskTest::UseBuiltInProviders();
    InitCspAlgInfo();
    EXPECT_EQ(GetCatalogueProviders().getCount(), 3u);
}

// A worker that outlives the wait: the filling goes on without it, and the worker enters its
// provider later. The stored error of a late worker is never read by the starter after the wait.
TEST_F(CatalogueTest, WorkerThatTimesOutEntersItsProviderLater) {
    useFake(R"(
[provider]
type = 80
name = Quick
[provider]
type = 81
name = Slow
acquire_delay_ms = 1200
enumalgs_error = 0x80090020 after 3
)");
    LogCapture log(2);
    CErrorFormatter errors;
    FillCspAlgInfo(&errors, 100);
    EXPECT_EQ(errors.getCount(), 0u);
    EXPECT_TRUE(log.any(u"PKI::FillCspAlgInfo wait timeout 100 ms"));
    EXPECT_EQ(providerNames(), (std::vector<std::u16string>{u"Quick"}));
    EXPECT_EQ(U16(provider("Quick")->m_typeName),
              u"GOST R 34.10-2012 (256) Signature with Diffie-Hellman Key Exchange");

    ASSERT_TRUE(WaitFor([&] { return GetCatalogueProviders().getCount() == 2; }));
    const auto slow = provider("Slow");
    ASSERT_TRUE(slow);
    ASSERT_TRUE(WaitFor([&] { return slow->GetAlgorithms(0).getCount() == 3; }));
    EXPECT_EQ(slow->m_typeName.getLength(), 0u);
    const auto hash512 = FindAlgorithm(CAString("1.2.643.7.1.1.2.3"), -1);
    ASSERT_TRUE(hash512);
    EXPECT_EQ(hash512->getProviders().getCount(), 1u);
}

TEST_F(CatalogueTest, LateWorkerEntersNothingAfterTheCatalogueWasCleared) {
    useFake(R"(
[provider]
type = 81
name = Slow
acquire_delay_ms = 600
)");
    LogCapture log(2);
    CErrorFormatter errors;
    FillCspAlgInfo(&errors, 50);
    ClearCspAlgInfo();
    ASSERT_TRUE(WaitFor([&] { return log.any(u" не внесён: каталог за это время очищен"); }));
    EXPECT_EQ(log.startingWith(u"PKI::CSPInfo::fillInfo криптопровайдер \"Slow\" типа 81, версии ").size(),
              1u);
    EXPECT_TRUE(GetCatalogueProviders().isEmpty());
}

}  // namespace
