#include "catalogueTestSupport.h"

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Hash.h>
#include <vsk/utils/error.h>

#include <cstring>
#include <functional>
#include <string>

using namespace Vsk::Utils;
using namespace Vsk::PKI;
using catalogue_test::FakeBackend;
using VskTest::LogCapture;

namespace {

// RFC 6986 test messages: M1 is 63 ASCII digits, M2 the 72 code page 1251 bytes of a line of the
// Igor Tale (the RFC prints both byte-reversed).
const std::string M1 = "012345678901234567890123456789012345678901234567890123456789012";
const std::string M2 = "Се ветри, Стрибожи внуци, веютъ с моря стрелами на храбрыя плъкы Игоревы";

CDataBlob blobOf(const std::string& text) {
    return CDataBlob(text.data(), text.size(), true);
}

std::string hexOf(const CDataBlob& value) {
    return value.toHex().toStd();
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The text of the CError that `call` raises.
std::u16string raised(const std::function<void()>& call, int32_t* code = nullptr) {
    const CError error = VskTest::Thrown(call);
    if (code) *code = error.getCode();
    return error.getMessage().toU16();
}

struct KnownAnswer {
    ALG_ID algId;
    const std::string* message;
    const char* digest;
};

const std::string Abc = "abc";
const std::string Empty;

const KnownAnswer KnownAnswers[] = {
    {CALG_MD5, &Abc, "900150983cd24fb0d6963f7d28e17f72"},
    {CALG_MD5, &Empty, "d41d8cd98f00b204e9800998ecf8427e"},
    {CALG_SHA1, &Abc, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {CALG_SHA_256, &Abc, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {CALG_GR3411_2012_256, &M1, "9d151eefd8590b89daa6ba6cb74af9275dd051026bb149a452fd84e5e57b5500"},
    {CALG_GR3411_2012_256, &M2, "9dd2fe4e90409e5da87f53976d7405b0c0cac628fc669a741d50063c557e8f50"},
    {CALG_GR3411_2012_512, &M1,
     "1b54d01a4af5b9d5cc3d86d68d285462b19abc2475222f35c085122be4ba1ffa00ad30f8767b3a82384c6574f024c311e2a4813"
     "3"
     "2b08ef7f41797891c1646f48"},
    {CALG_GR3411_2012_512, &M2,
     "1e88e62226bfca6f9994f1f2d51569e0daf8475a3b0fe61a5300eee46d961376035fe83549ada2b8620fcd7c496ce5b33f0cb9d"
     "d"
     "dc2b6460143b03dabac9fb28"},
};

class HashTest : public ::testing::Test {
protected:
    void TearDown() override { SetLastError(0); }
};

}  // namespace

TEST_F(HashTest, TestMessagesAreTheRfcBytes) {
    ASSERT_EQ(M1.size(), 63u);
    ASSERT_EQ(M2.size(), 72u);
    EXPECT_EQ(static_cast<unsigned char>(M2[0]), 0xD1);  // "С" in code page 1251
}

// The catalogue's providers, the fixed provider types, and data given in pieces give the same
// digests.
TEST_F(HashTest, KnownAnswers) {
    for (const KnownAnswer& row : KnownAnswers) {
        const std::string expected = upper(row.digest);
        const CDataBlob data = blobOf(*row.message);
        CHash hash;
        hash.create(row.algId, nullptr);
        // Nothing to hash is asked for with length 0: the whole of an empty blob is refused.
        EXPECT_EQ(hexOf(hash.calculate(data, data.getSize() ? 0xFFFFFFFF : 0)), expected)
            << std::hex << row.algId;
        ASSERT_NE(hash.getAlgorithm(), nullptr);

        if (row.algId == CALG_SHA_256) continue;
        CHash fixed;
        fixed.createWithNoChecks(row.algId);
        for (size_t at = 0; at < data.getSize(); at += 10)
            fixed.addData(data.getBlock(at, std::min<size_t>(10, data.getSize() - at)));
        EXPECT_EQ(hexOf(fixed.value()), expected) << std::hex << row.algId;
    }
}

TEST_F(HashTest, CreateOnANamedProviderAndOnAHeldContext) {
    CRefPtr<CSPInfo> gost = FindCSPInfo(PROV_GOST_2012_512, CWString(KESTROVAN_GOST_2012_512_PROV));
    ASSERT_TRUE(gost);
    CHash hash;
    hash.create(CALG_GR3411_2012_512, gost.get());
    EXPECT_EQ(hexOf(hash.calculate(blobOf(M1))), upper(KnownAnswers[6].digest));
    EXPECT_EQ(hash.getHoldCSP().get_CSPInfo(), gost.get());

    // The provider does not list the algorithm.
    CRefPtr<CSPInfo> rsa = FindCSPInfo(PROV_RSA_FULL, CWString(KESTROVAN_RSA_PROV));
    ASSERT_TRUE(rsa);
    CHash refused;
    const std::u16string text = raised([&] { refused.create(CALG_GR3411_2012_512, rsa.get()); });
    EXPECT_EQ(text, rsa->toString().toU16() + u" не поддерживает алгоритм 32802 - 1.2.643.7.1.1.2.3");

    CHoldCSP context;
    ASSERT_TRUE(
        context.acquire(nullptr, KESTROVAN_GOST_2012_256_PROV, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
    CHash held;
    held.createWithHoldCSP(CALG_GR3411_2012_256, context);
    EXPECT_EQ(held.getHoldCSP().get_hCryptProv(), context.get_hCryptProv());
    EXPECT_EQ(hexOf(held.calculate(blobOf(M2))), upper(KnownAnswers[5].digest));
    // The same algorithm on the same context keeps the hash object and its data.
    held.reset();
    held.addData(blobOf("a"));
    held.createWithHoldCSP(CALG_GR3411_2012_256, context);
    CHash reference;
    reference.createWithNoChecks(CALG_GR3411_2012_256);
    EXPECT_EQ(held.value(), reference.calculate(blobOf("a")));
}

TEST_F(HashTest, NoProviderOffersTheAlgorithm) {
    CHash hash;
    SetLastError(0);
    int32_t code = -1;
    const std::u16string text = raised([&] { hash.create(0x8001, nullptr); }, &code);
    EXPECT_EQ(
        text.rfind(u"Не найден криптопровайдер по заданному алгоритму хэширования ALG_ID = 32769 - ", 0), 0u)
        << std::string(text.begin(), text.end());
    EXPECT_EQ(hash.getAlgId(), 0u);
    EXPECT_EQ(raised([&] { hash.value(); }),
              u"Не был задан поддерживаемый алгоритм хэширования CHash::create.");
}

// Microsoft's Base and Enhanced RSA providers are tried before the others, Base first; a provider
// that refuses the hash is passed over.
TEST_F(HashTest, PreferredProvidersComeFirst) {
    FakeBackend fake(
        "[provider]\ntype = 1\nname = A RSA\n"
        "[provider]\ntype = 1\nname = Microsoft Enhanced Cryptographic Provider v1.0\n"
        "[provider]\ntype = 1\nname = Microsoft Base Cryptographic Provider v1.0\n");
    CHash hash;
    hash.create(CALG_SHA1, nullptr);
    EXPECT_EQ(hash.getHoldCSP().get_CSPInfo()->m_name.toU16(), u"Microsoft Base Cryptographic Provider v1.0");
    EXPECT_EQ(hexOf(hash.calculate(blobOf(Abc))), upper(KnownAnswers[2].digest));
}

TEST_F(HashTest, RefusingProviderIsPassedOver) {
    FakeBackend fake(
        "[provider]\ntype = 1\nname = A RSA\n"
        "[provider]\ntype = 1\nname = Microsoft Base Cryptographic Provider v1.0\nrefuse_hash = 0x8004\n");
    LogCapture capture(1);
    CHash hash;
    hash.create(CALG_SHA1, nullptr);
    EXPECT_EQ(hash.getHoldCSP().get_CSPInfo()->m_name.toU16(), u"A RSA");
    EXPECT_EQ(capture.startingWith(u"PKI::CHash::create CryptCreateHash 0x80090008").size(), 1u);
}

// A second create for the same algorithm changes nothing, whichever provider it names.
TEST_F(HashTest, SecondCreateForTheSameAlgorithmKeepsTheData) {
    CRefPtr<CSPInfo> p = FindCSPInfo(PROV_GOST_2012_256, CWString(KESTROVAN_GOST_2012_256_PROV));
    CRefPtr<CSPInfo> q = FindCSPInfo(PROV_GOST_2012_512, CWString(KESTROVAN_GOST_2012_512_PROV));
    ASSERT_TRUE(p && q);
    ASSERT_TRUE(q->getAlgorithm(CALG_GR3411_2012_256)) << "the strong provider lists the 256-bit hash too";
    CHash hash;
    hash.create(CALG_GR3411_2012_256, p.get());
    hash.addData(blobOf(M1.substr(0, 30)));
    hash.create(CALG_GR3411_2012_256, q.get());
    EXPECT_EQ(hash.getHoldCSP().get_CSPInfo(), p.get());
    hash.addData(blobOf(M1.substr(30)));
    EXPECT_EQ(hexOf(hash.value()), upper(KnownAnswers[4].digest));
}

TEST_F(HashTest, CreateWithNoChecks) {
    CHash hash;
    const std::u16string text = raised([&] { hash.createWithNoChecks(CALG_SHA_256); });
    EXPECT_EQ(text, u"Не реализовано, не было необходимости. Hash:211.");

    hash.createWithNoChecks(CALG_MD5);
    const HCRYPTPROV first = hash.getHoldCSP().get_hCryptProv();
    EXPECT_NE(first, 0u);
    hash.addData(blobOf(Abc));
    hash.createWithNoChecks(CALG_MD5);
    EXPECT_EQ(hash.getHoldCSP().get_hCryptProv(), first);
    // The second call starts a fresh hash object on the same context.
    EXPECT_EQ(hexOf(hash.value()), upper(KnownAnswers[1].digest));
}

TEST_F(HashTest, AddDataAndValueEdges) {
    CHash hash;
    EXPECT_EQ(raised([&] { hash.addData(blobOf(Abc)); }),
              u"Не был задан поддерживаемый алгоритм хэширования CHash::create.");
    hash.createWithNoChecks(CALG_SHA1);
    EXPECT_EQ(raised([&] { hash.addData(CDataBlob()); }), u"Не заданы данные для CHash::addData.");
    hash.addData(CDataBlob(), 0);
    // Only the first four bytes count.
    hash.addData(blobOf("abcdefghij"), 4);
    CHash reference;
    reference.createWithNoChecks(CALG_SHA1);
    EXPECT_EQ(hash.value(), reference.calculate(blobOf("abcd")));
    // The value is cached; the provider refuses more data once it was read.
    EXPECT_EQ(hash.value(), reference.calculate(blobOf("abcd")));
    int32_t code = 0;
    EXPECT_EQ(raised([&] { hash.addData(blobOf("x")); }, &code),
              u"Ошибка подсчета хэша данных\r\n" + GetSystemErrorText(NTE_BAD_HASH_STATE).toU16());
    EXPECT_EQ(static_cast<DWORD>(code), NTE_BAD_HASH_STATE);

    // A length past the data is refused instead of reading beyond it.
    hash.reset();
    VskTest::Thrown([&] { hash.addData(blobOf(Abc), 4); });

    // calculate starts over each time.
    EXPECT_EQ(hexOf(hash.calculate(blobOf(Abc))), upper(KnownAnswers[2].digest));
    EXPECT_NE(hash.calculate(blobOf("abd")), hash.calculate(blobOf(Abc)));

    hash.clear();
    EXPECT_EQ(hash.getAlgId(), 0u);
    EXPECT_EQ(raised([&] { hash.value(); }),
              u"Не был задан поддерживаемый алгоритм хэширования CHash::create.");
}

TEST_F(HashTest, ValueOfNoDataAndReuseAfterIt) {
    CHash hash;
    hash.createWithNoChecks(CALG_MD5);
    EXPECT_EQ(hexOf(hash.value()), upper(KnownAnswers[1].digest));
    // The value was read from the hash object, so the next round needs a fresh one.
    EXPECT_EQ(hexOf(hash.calculate(blobOf(Abc))), upper(KnownAnswers[0].digest));
}

TEST_F(HashTest, InitialValue) {
    CHash hash;
    EXPECT_EQ(raised([&] { hash.setInitialValue(CDataBlob(32)); }),
              u"Не был задан поддерживаемый алгоритм хэширования CHash::create.");
    hash.createWithNoChecks(CALG_GR3411_2012_256);
    EXPECT_EQ(raised([&] { hash.setInitialValue(CDataBlob()); }), u"Задан пустой хэш");
    SetLastError(0);
    EXPECT_EQ(raised([&] { hash.setInitialValue(CDataBlob(20)); }),
              u"Неверный размер начального значения хэша");

    CDataBlob value(32);
    for (DWORD i = 0; i < value.getSize(); ++i) *value.at(i) = static_cast<BYTE>(i * 7);
    hash.setInitialValue(value);
    EXPECT_EQ(hash.value(), value);
}

// calculate traces its steps as addData and value do when the log level asks for it, and not below;
// the values it hands out are the caller's own: writing into one changes neither the cache nor the
// next value, though the cache's storage serves the next value.
TEST_F(HashTest, CalculateTracesItsStepsAndHandsOutOwnCopies) {
    CHash hash;
    hash.createWithNoChecks(CALG_MD5);
    {
        LogCapture capture(5);
        EXPECT_EQ(hexOf(hash.calculate(blobOf(Abc))), upper(KnownAnswers[0].digest));
        EXPECT_EQ(capture.count(u"-> PKI::CHash::addData(3)"), 1u);
        EXPECT_EQ(capture.count(u"-> PKI::CHash::value()"), 1u);
        const std::string digest = upper(KnownAnswers[0].digest);
        EXPECT_EQ(capture.count(u"PKI::CHash::value -> " + std::u16string(digest.begin(), digest.end())), 1u);
    }
    {
        LogCapture capture(3);
        CDataBlob first = hash.calculate(blobOf("abd"));
        EXPECT_EQ(capture.count(u"PKI::CHash::"), 0u);
        const std::string firstHex = hexOf(first);
        first.getData()[0] ^= 0xFF;
        EXPECT_EQ(hexOf(hash.value()), firstHex);
        CDataBlob second = hash.calculate(blobOf(Abc));
        EXPECT_EQ(hexOf(second), upper(KnownAnswers[0].digest));
        EXPECT_NE(hexOf(first), hexOf(second));
        second.getData()[1] ^= 0xFF;
        EXPECT_EQ(hexOf(hash.value()), upper(KnownAnswers[0].digest));
    }
}
