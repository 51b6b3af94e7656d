// Choosing providers and algorithms from the catalogue, over fake providers of the types the
// choice distinguishes.
#include <vsk/pki/CryptError.h>
#include <vsk/pki/ProviderChoice.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <string>
#include <vector>

#include "catalogueTestSupport.h"

using namespace Vsk::PKI;
using Vsk::Utils::CArray;
using Vsk::Utils::CAString;
using Vsk::Utils::CError;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;
using namespace catalogue_test;

namespace {

// Two RSA providers that both offer DES, a GOST R 34.10-2001 provider and the two GOST 2012 ones.
const char* const Providers = R"(
[provider]
type = 1
name = RSA Alpha Provider
alg = 0x6601 56 DES
[provider]
type = 1
name = RSA Provider
alg = 0x6601 56 DES
[provider]
type = 75
name = GOST 2001 Provider
algorithms = none
alg = 0x801E 256 GR3411
alg = 0x2E23 512 GR3410EL
alg = 0xAA24 512 DH_EL_SF
alg = 0x661E 256 G28147
[provider]
type = 80
name = GOST 2012 Provider
[provider]
type = 81
name = GOST 2012 Strong Provider
)";

std::vector<std::u16string> Names(const CSPInfoArray& providers) {
    std::vector<std::u16string> names;
    for (const auto& p : providers) names.push_back(U16(p->m_name));
    return names;
}

std::vector<ALG_ID> Ids(const CAlgorithmArray& algorithms) {
    std::vector<ALG_ID> ids;
    for (const auto& a : algorithms) ids.push_back(a->m_aid);
    return ids;
}

COidSet Oids(std::initializer_list<const char*> texts) {
    COidSet oids;
    for (const char* text : texts) oids.insert(W(text));
    return oids;
}

class ProviderChoiceTest : public CatalogueFixture {
protected:
    void SetUp() override {
        CatalogueFixture::SetUp();
        useFake(Providers);
    }
};

using Strings = std::vector<std::u16string>;

TEST_F(ProviderChoiceTest, ProvidersByAlgorithmIdentifiers) {
    EXPECT_EQ(Names(CSPsFromSupportedAIDs({0x6601}, nullptr)),
              (Strings{u"RSA Provider", u"RSA Alpha Provider"}));
    EXPECT_EQ(Names(CSPsFromSupportedAIDs({CALG_G28147, CALG_GR3411}, nullptr)),
              (Strings{u"GOST 2001 Provider"}));
    EXPECT_EQ(Names(CSPsFromSupportedAIDs({CALG_G28147}, nullptr)),
              (Strings{u"GOST 2001 Provider", u"GOST 2012 Provider", u"GOST 2012 Strong Provider"}));
    EXPECT_TRUE(CSPsFromSupportedAIDs({0x1234}, nullptr).isEmpty());
    EXPECT_EQ(GetAllCSPInfo().getCount(), 5u);
    EXPECT_EQ(Names(GetGostCSPInfo()),
              (Strings{u"GOST 2001 Provider", u"GOST 2012 Provider", u"GOST 2012 Strong Provider"}));
}

TEST_F(ProviderChoiceTest, ProvidersByOids) {
    struct Row {
        std::initializer_list<const char*> oids;
        Strings expected;
    };
    const Row rows[] = {
        // GOST R 34.10-2001 signature: its hash and key algorithms.
        {{"1.2.643.2.2.3"}, {u"GOST 2001 Provider"}},
        // GOST R 34.10-2012 256 signature: the strong provider lacks the 256-bit key.
        {{"1.2.643.7.1.1.3.2"}, {u"GOST 2012 Provider"}},
        {{"1.2.643.7.1.1.3.3"}, {u"GOST 2012 Strong Provider"}},
        {{"1.2.643.7.1.1.2.2", "1.2.643.2.2.21"}, {u"GOST 2012 Provider", u"GOST 2012 Strong Provider"}},
        // sha1RSA is replaced; the SHA-2 RSA signatures are not, and no provider lists them.
        {{"1.2.840.113549.1.1.5"}, {u"RSA Provider", u"RSA Alpha Provider"}},
        {{"1.2.840.113549.1.1.11"}, {}},
        {{},
         {u"RSA Provider", u"RSA Alpha Provider", u"GOST 2001 Provider", u"GOST 2012 Provider",
          u"GOST 2012 Strong Provider"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.oids.size() ? *row.oids.begin() : "(none)");
        EXPECT_EQ(Names(CSPsFromSupportedOIDs(Oids(row.oids), nullptr)), row.expected);
    }
}

TEST(CertificateAlgorithmOids, SignatureRowsAreReplaced) {
    struct Row {
        const char* publicKey;
        const char* signature;
        COidSet expected;
    };
    const Row rows[] = {
        {"1.2.643.7.1.1.1.1", "1.2.643.7.1.1.3.2", Oids({"1.2.643.7.1.1.1.1", "1.2.643.7.1.1.2.2"})},
        {"1.2.840.113549.1.1.1", "1.2.840.113549.1.1.11",
         Oids({"1.2.840.113549.1.1.1", "2.16.840.1.101.3.4.2.1"})},
        {"1.2.643.2.2.19", "1.2.3.4", Oids({"1.2.643.2.2.19", "1.2.3.4"})},
        {"", "", Oids({})},
    };
    for (const Row& row : rows)
        EXPECT_EQ(CertificateAlgorithmOIDs(CAString(row.publicKey), CAString(row.signature)), row.expected);
}

TEST_F(ProviderChoiceTest, ContextForAlgorithms) {
    // The default RSA provider lists SHA-1: it is used, and no description is reported.
    CRefPtr<CSPInfo> chosen;
    CHoldCSP context = CSPFromSupportedAID(CALG_SHA1, CRYPT_VERIFYCONTEXT, &chosen);
    ASSERT_TRUE(context.isAcquired());
    EXPECT_FALSE(chosen);
    EXPECT_TRUE(CSPSupportAIDs(context.get_hCryptProv(), {CALG_MD5, CALG_SHA1}, true));

    // GOST R 34.11-94: the first provider in catalogue order that offers it and can be acquired.
    context = CSPFromSupportedAID(CALG_GR3411, CRYPT_VERIFYCONTEXT, &chosen);
    ASSERT_TRUE(context.isAcquired());
    ASSERT_TRUE(chosen);
    EXPECT_EQ(U16(chosen->m_name), u"GOST 2001 Provider");
    EXPECT_TRUE(CSPSupportAIDs(context.get_hCryptProv(), {CALG_GR3411}, false));

    EXPECT_FALSE(CSPFromSupportedAID(0x1234, CRYPT_VERIFYCONTEXT, &chosen).isAcquired());
    EXPECT_FALSE(chosen);
}

TEST_F(ProviderChoiceTest, SupportOfAlgorithmIdentifiers) {
    HCRYPTPROV handle = 0;
    ASSERT_TRUE(CryptAcquireContextW(&handle, nullptr, u"RSA Provider", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    LogCapture log(4);
    // ALG_ID 0 is never satisfied: the whole list is read and the answer is false.
    EXPECT_FALSE(CSPSupportAIDs(handle, {0}, true));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(log.any(u"algorithm: id=0x6601, KeyBitLength=56, name=DES"));
    EXPECT_FALSE(CSPSupportAIDs(handle, {CALG_SHA1, CALG_GR3411}, false));
    CryptReleaseContext(handle, 0);
}

TEST_F(ProviderChoiceTest, FailedEnumerationRaisesTheLibraryError) {
    useFake(R"(
[provider]
type = 1
name = Failing
enumalgs_error = 0x80090020 after 1
)");
    HCRYPTPROV handle = 0;
    ASSERT_TRUE(CryptAcquireContextW(&handle, nullptr, u"Failing", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    const auto error = VskTest::Thrown([&] { CSPSupportAIDs(handle, {CALG_SHA_512}, false); });
    EXPECT_EQ(static_cast<DWORD>(error.getCode()), NTE_FAIL);
    EXPECT_EQ(U16(error.getMessage()).rfind(u"CryptGetProvParam\r\n0x80090020", 0), 0u);
    CryptReleaseContext(handle, 0);
    // The default RSA context is asked first, so the choice lets the error through.
    EXPECT_THROW(CSPFromSupportedAID(CALG_SHA_512, CRYPT_VERIFYCONTEXT, nullptr), CError);
}

TEST_F(ProviderChoiceTest, DefaultHashAlgorithmOrder) {
    struct Row {
        const char* fixture;
        ALG_ID expected;
    };
    const Row rows[] = {
        {Providers, CALG_GR3411},
        {"[provider]\ntype = 80\nname = G\n[provider]\ntype = 81\nname = S\n", CALG_GR3411_2012_256},
        {"[provider]\ntype = 81\nname = S\nalgorithms = none\nalg = 0x8022 512 H\nalg = 0x8004 160 SHA\n",
         CALG_GR3411_2012_512},
        {"[provider]\ntype = 1\nname = R\n", CALG_MD5},
        {"[provider]\ntype = 1\nname = R\nalgorithms = none\nalg = 0x6610 256 AES\n", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fixture);
        useFake(row.fixture);
        const CRefPtr<CAlgorithm> hash = GetDefaultHashAlgorithm();
        EXPECT_EQ(hash ? hash->m_aid : 0, row.expected);
    }
    useFake("");
    EXPECT_THROW(GetDefaultHashAlgorithm(), CCryptError);
}

TEST_F(ProviderChoiceTest, HashAlgorithmsForAPublicKey) {
    using IdList = std::vector<ALG_ID>;
    EXPECT_EQ(Ids(GetPossibleHashAlgs(CAString("1.2.643.7.1.1.1.1"))), (IdList{CALG_GR3411_2012_256}));
    EXPECT_EQ(Ids(GetPossibleHashAlgs(CAString("1.2.643.7.1.1.3.3"))), (IdList{CALG_GR3411_2012_512}));
    EXPECT_EQ(Ids(GetPossibleHashAlgs(CAString("1.2.643.2.2.19"))), (IdList{CALG_GR3411}));
    EXPECT_EQ(Ids(GetPossibleHashAlgs(CAString("1.2.840.113549.1.1.1"))),
              (IdList{CALG_SHA1, CALG_SHA_256, CALG_SHA_384, CALG_SHA_512}));
    // Not in the table: the hashes of every provider that offers the algorithm.
    EXPECT_EQ(Ids(GetPossibleHashAlgs(CAString("1.2.643.2.2.21"))),
              (IdList{CALG_GR3411, CALG_GR3411_2012_256, CALG_GR3411_2012_512}));
    EXPECT_TRUE(GetPossibleHashAlgs(CAString("1.2.3.4")).isEmpty());
    try {
        GetPossibleHashAlgs(CAString());
        ADD_FAILURE();
    } catch (const CCryptError& error) {
        EXPECT_EQ(U16(error.getMessage()), u"Не задан алгоритм публичного ключа сертификата.");
    }
}

TEST_F(ProviderChoiceTest, FindAlgorithmInArray) {
    const CAlgorithmArray hashes = provider("GOST 2012 Strong Provider")->GetAlgorithms(0x8000);
    EXPECT_EQ(FindAlgorithmInArr(hashes, CAString("1.2.643.7.1.1.2.3"))->m_aid, CALG_GR3411_2012_512);
    EXPECT_FALSE(FindAlgorithmInArr(hashes, CAString("1.2.643.2.2.9")));
    EXPECT_FALSE(FindAlgorithmInArr(hashes, CAString()));
}

TEST(RecipientLines, SignatureTextOnlyWhenItDiffers) {
    const CWString gost = AlgorithmOidText(W("1.2.643.7.1.1.1.1"), W("ГОСТ Р 34.10-2012 256 бит"));
    EXPECT_EQ(U16(gost), u"1.2.643.7.1.1.1.1 (ГОСТ Р 34.10-2012 256 бит)");
    EXPECT_EQ(U16(RecipientLineText(W("Иванов"), gost, gost)),
              u"\r\n\t\"Иванов\", его алгоритмы 1.2.643.7.1.1.1.1 (ГОСТ Р 34.10-2012 256 бит)");
    EXPECT_EQ(U16(RecipientLineText(W("Smith"), W("A"), W("B"))), u"\r\n\t\"Smith\", его алгоритмы A и B");
}

TEST_F(ProviderChoiceTest, EncryptionAlgorithmsEveryRecipientCanUse) {
    auto recipient = [](const char* oid, int bits, const char* line) {
        CRecipientAlgorithm r;
        r.m_publicKeyAlgorithm = FindAlgorithm(CAString(oid), bits);
        r.m_line = W(line);
        return r;
    };
    const CRecipientAlgorithm gost256 = recipient("1.2.643.7.1.1.1.1", 512, "\r\n\tA");
    const CRecipientAlgorithm gost512 = recipient("1.2.643.7.1.1.1.2", 1024, "\r\n\tB");
    const CRecipientAlgorithm rsa = recipient("1.2.840.113549.1.1.1", -1, "\r\n\tC");
    const CRecipientAlgorithm unknown = recipient("1.2.3.4", -1, "\r\n\tD");
    ASSERT_TRUE(gost256.m_publicKeyAlgorithm && gost512.m_publicKeyAlgorithm && rsa.m_publicKeyAlgorithm);

    auto list = [](std::initializer_list<CRecipientAlgorithm> items) {
        CArray<CRecipientAlgorithm> array;
        for (const auto& item : items) array.add(item);
        return array;
    };
    using IdList = std::vector<ALG_ID>;
    CError error(Vsk::Utils::NoErrorCode);
    EXPECT_EQ(Ids(GetPossibleEncryptAlgsFor(list({gost256, gost512}), &error)), (IdList{CALG_G28147}));
    EXPECT_TRUE(error.isEmpty());
    EXPECT_EQ(Ids(GetPossibleEncryptAlgsFor(list({rsa}), nullptr)),
              (IdList{0x6601, CALG_3DES, CALG_AES_128, CALG_AES_192, CALG_AES_256}));

    // Disjoint provider groups: nothing, and the error explains it with one line per recipient.
    CError explained(W("Шифрование"), Vsk::Utils::NoErrorCode);
    EXPECT_TRUE(GetPossibleEncryptAlgsFor(list({gost256, rsa, gost512}), &explained).isEmpty());
    EXPECT_EQ(U16(explained.getMessage()),
              u"Ни один установленный криптопровайдер не может шифровать сразу для всех данных сертификатов:"
              u"\r\n\tA\r\n\tC\r\n\tB\r\nШифрование");
    // A key algorithm the catalogue does not know offers nothing.
    EXPECT_TRUE(GetPossibleEncryptAlgsFor(list({gost256, unknown}), nullptr).isEmpty());
    EXPECT_TRUE(GetPossibleEncryptAlgsFor(list({}), nullptr).isEmpty());
}

}  // namespace
