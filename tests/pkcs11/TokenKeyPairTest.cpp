// Key pairs on the GOST test token: mechanism choice, digests in one call and in parts (with progress,
// cancellation and failures that must leave the token free), signatures checked with OpenSSL,
// verification through a temporary key, key-pair generation and the argument checks of the unwrap.
#include "gostTokenFixture.h"

#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/pkcs11/TokenSessionKey.h>

#include <regex>

using namespace Vsk::PKCS11;
using namespace GostTest;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CWString;
using VskTest::Blob;
using VskTest::Gost;
using VskTest::MaybeThrown;
using VskTest::Thrown;
using VskTest::Utf8;
using VskTest::Vec;

namespace {

class TokenKeyPairTest : public VskTest::GostLibraryTest {
protected:
    // A pair generated with the mechanisms of a CryptoAPI algorithm.
    CTokenKeyPair Generate(ALG_ID algId, size_t token = 0) {
        CTokenKeyPair pair(&m_tokens.at(token));
        pair.setAlgsByAlgId(algId);
        pair.generateKeyPair(u"pub", u"priv", u"");
        return pair;
    }
    CDataBlob Value(const CTokenKeyPair& pair) {
        return m_tokens[0].getAttributeValue(pair.getPubKeyHandle(), CKA_VALUE);
    }
    CDataBlob Data(size_t size) {
        CDataBlob data(size);
        for (size_t i = 0; i < size; ++i) data.getData()[i] = static_cast<BYTE>(i * 7 + 1);
        return data;
    }
};

// Engine digest of the same data, as the independent reference.
Bytes EngineDigest(const char* name, const CDataBlob& data) {
    LoadEngine();
    const EVP_MD* md = EVP_get_digestbyname(name);
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EXPECT_TRUE(md && EVP_Digest(data.getData(), data.getSize(), out.data(), &n, md, nullptr) == 1) << name;
    out.resize(n);
    return out;
}

}  // namespace

TEST_F(TokenKeyPairTest, MechanismsFollowTheAlgorithmOrTheKey) {
    Login();
    struct Row {
        ALG_ID algId;
        CK_MECHANISM_TYPE digest;
    } rows[] = {{0x2E23, CKM_GOSTR3411}, {0x2E49, CKM_GOSTR3411_12_256}, {0x2E3D, CKM_GOSTR3411_12_512}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.algId);
        CTokenKeyPair generated = Generate(row.algId);
        EXPECT_EQ(generated.getDigestAlg(), row.digest);
        // A fresh pair takes its mechanisms from the key's hash parameters.
        CTokenKeyPair fromKey(&m_tokens[0]);
        EXPECT_EQ(fromKey.getDigestAlg(), 0u);
        fromKey.setPubKey(generated.getPubKeyHandle());
        EXPECT_EQ(fromKey.getDigestAlg(), row.digest);
        EXPECT_EQ(m_tokens[0].getImpl()->getHashMechanism(generated.getPubKeyHandle()), row.digest);
        generated.destroyObjects();
    }
    EXPECT_EQ(Message(Thrown([&] { m_tokens[0].getImpl()->getHashMechanism(0); })), u"Ключ не задан.");

    // A token without the combined mechanism signs in two steps; one without the 512-bit digest is
    // refused by name.
    Start("token0.mechanisms = 0xD4321012:0x400, 0x1201:0x2800, 0x1200:0x10000\n");
    CTokenKeyPair pair(&m_tokens[0]);
    {
        VskTest::LogCapture log(4);
        pair.setAlgsByAlgId(0x2E49);
        EXPECT_TRUE(log.any(u"PKCS11::CTokenKeyPair::CImpl::setSignAndDigAlg 0xd4321008"));
        EXPECT_TRUE(log.any(u"PKCS11::CTokenKeyPair::CImpl::setSignAlg 0x1201"));
    }
    EXPECT_EQ(pair.getDigestAlg(), CKM_GOSTR3411_12_256);
    const std::u16string refused = Message(Thrown([&] { pair.setAlgsByAlgId(0x2E3D); }));
    EXPECT_EQ(refused, u"Токен \"" + m_tokens[0].getName().toU16() +
                           u"\" не поддерживает алгоритм хэширования 0xd4321013");
}

TEST_F(TokenKeyPairTest, DigestTakesOneCallOrPartsAndAgreesWithTheEngine) {
    CTokenKeyPair pair(&m_tokens[0]);
    pair.setAlgsByAlgId(0x8021);
    struct Row {
        size_t size;
        bool split;
        unsigned long init, digest, update, final;
    } rows[] = {
        {1024, false, 1, 2, 0, 0},  // one call: the length, then the hash
        {1025, false, 1, 0, 2, 2},  // parts of 1024 and 1
        {1034, true, 1, 0, 2, 2},   // 1024 not final, then 10 final: parts again
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        const CDataBlob data = Data(row.size);
        Gost().resetCounts();
        CDataBlob hash;
        if (row.split) {
            EXPECT_EQ(pair.digest(data.getBlock(0, 1024).clone(), false).getSize(), 0u);
            EXPECT_EQ(m_tokens[0].getImpl()->m_state.load(), CToken::CImpl::StateDigest);
            hash = pair.digest(data.getBlock(1024).clone(), true);
        } else {
            hash = pair.digest(data, true);
        }
        EXPECT_EQ(m_tokens[0].getImpl()->m_state.load(), CToken::CImpl::StateIdle);
        EXPECT_EQ(Vec(hash), EngineDigest("md_gost12_256", data));
        EXPECT_EQ(Calls("C_DigestInit"), row.init);
        EXPECT_EQ(Calls("C_Digest"), row.digest);
        EXPECT_EQ(Calls("C_DigestUpdate"), row.update);
        EXPECT_EQ(Calls("C_DigestFinal"), row.final);
    }
    EXPECT_EQ(Message(Thrown([&] { pair.digest(CDataBlob(), true); })), u"Отсутствуют хэшируемые данные.");
}

TEST_F(TokenKeyPairTest, MultiPartRunsRefuseOtherStatesAndReportProgress) {
    Login();
    CTokenKeyPair pair = Generate(0x2E49);
    VskTest::RecordingProgress progress;
    pair.setProgress(&progress);
    EXPECT_EQ(pair.hashAndSign(Data(3000), false).getSize(), 0u);
    EXPECT_EQ(progress.ranges, std::vector<uint32_t>{3});
    EXPECT_EQ(progress.getPos(), 2);
    const std::u16string misuse = u"Неверное использование Vsk::PKI::CPKCS11.";
    EXPECT_EQ(Message(Thrown([&] { pair.digest(Data(10), true); })), misuse);
    EXPECT_EQ(pair.hashAndSign(Data(10), true).getSize(), 64u);

    // A removed token refuses every multi-part call.
    m_tokens[0].getImpl()->m_state = CToken::CImpl::StateRemoved;
    EXPECT_EQ(Message(Thrown([&] { pair.digest(Data(10), true); })), misuse);
    EXPECT_EQ(Message(Thrown([&] { pair.hashAndSign(Data(10), true); })), misuse);
}

// A cancelled or failed part ends the token's operation: the next run starts at once instead of
// meeting CKR_OPERATION_ACTIVE.
TEST_F(TokenKeyPairTest, CancelledOrFailedPartsLeaveTheTokenFree) {
    Login();
    CTokenKeyPair pair = Generate(0x2E49);
    VskTest::RecordingProgress progress;
    progress.cancelAt = 1;
    pair.setProgress(&progress);
    const Vsk::Utils::CError cancelled = Thrown([&] { pair.digest(Data(5000), true); });
    EXPECT_EQ(cancelled.getCode(), 1223);
    EXPECT_EQ(m_tokens[0].getImpl()->m_state.load(), CToken::CImpl::StateIdle);
    pair.setProgress(nullptr);
    EXPECT_EQ(pair.digest(Data(5000), true).getSize(), 32u);

    struct Row {
        const char* function;
        bool signing;
    } rows[] = {
        {"C_DigestUpdate", false}, {"C_DigestFinal", false}, {"C_SignUpdate", true}, {"C_SignFinal", true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.function);
        Gost().failCall(row.function, CKR_DEVICE_ERROR, 1, VSK_GOST_TOKEN_ANY_SLOT);
        const Vsk::Utils::CError failed =
            Thrown([&] { row.signing ? pair.hashAndSign(Data(2000), true) : pair.digest(Data(2000), true); });
        EXPECT_EQ(failed.getErrorNumber(), CKR_DEVICE_ERROR);
        EXPECT_EQ(m_tokens[0].getImpl()->m_state.load(), CToken::CImpl::StateIdle);
        EXPECT_FALSE(MaybeThrown([&] { pair.digest(Data(2000), true); }));
        EXPECT_FALSE(MaybeThrown([&] { pair.hashAndSign(Data(2000), true); }));
    }
}

TEST_F(TokenKeyPairTest, SignaturesVerifyWithOpensslAndOnTheToken) {
    Login();
    struct Row {
        ALG_ID algId;
        const char *alg, *curve, *hash, *md;
        size_t size;
    } rows[] = {
        {0x2E49, "1.2.643.7.1.1.1.1", "1.2.643.2.2.35.1", "1.2.643.7.1.1.2.2", "md_gost12_256", 64},
        {0x2E3D, "1.2.643.7.1.1.1.2", "1.2.643.7.1.2.1.2.1", "1.2.643.7.1.1.2.3", "md_gost12_512", 128},
    };
    const std::string dir = VskTest::TempDir();
    const CDataBlob data = Data(2500);
    ASSERT_TRUE(WriteFile(dir + "/keypair-data", Vec(data)));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.md);
        CTokenKeyPair pair = Generate(row.algId);
        const CDataBlob value = Value(pair);
        ASSERT_EQ(value.getSize(), row.size);
        ASSERT_TRUE(WriteFile(dir + "/keypair-pub.der", Spki(row.alg, row.curve, row.hash, Vec(value))));

        // Hash-and-sign in parts and digest-then-sign both give signatures OpenSSL accepts as they are.
        const CDataBlob signature = pair.hashAndSign(data, true);
        const CDataBlob hash = pair.digest(data, true);
        const CDataBlob bare = pair.sign(hash);
        for (const CDataBlob* s : {&signature, &bare}) {
            ASSERT_EQ(s->getSize(), row.size);
            ASSERT_TRUE(WriteFile(dir + "/keypair-sig", Vec(*s)));
            const std::string cmd = "openssl dgst -engine gost -" + std::string(row.md) +
                                    " -keyform DER -verify " + dir + "/keypair-pub.der -signature " + dir +
                                    "/keypair-sig " + dir + "/keypair-data >/dev/null 2>&1";
            EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        }

        // The token verifies with the pair's key and with a temporary key made from the value.
        const unsigned long objects = Gost().objectCount(0);
        EXPECT_FALSE(MaybeThrown([&] { pair.verifySign(hash, bare, CDataBlob()); }));
        CTokenKeyPair stranger(&m_tokens[0]);
        stranger.setAlgsByAlgId(row.algId);
        EXPECT_FALSE(MaybeThrown([&] { stranger.verifySign(hash, signature, value); }));
        CDataBlob altered = signature.clone();
        altered.getData()[3] ^= 1;
        const Vsk::Utils::CError invalid = Thrown([&] { stranger.verifySign(hash, altered, value); });
        EXPECT_EQ(invalid.getErrorNumber(), CKR_SIGNATURE_INVALID);
        EXPECT_EQ(Message(invalid), u"Неправильное значение ЭП.");
        EXPECT_EQ(Gost().objectCount(0), objects);
        pair.destroyObjects();
    }
}

// A signer on another curve than the mechanism's usual one verifies once its curve is given; the
// temporary key goes also when the verification cannot start.
TEST_F(TokenKeyPairTest, VerificationTakesTheSignersCurveAndAlwaysDropsTheTemporaryKey) {
    Pkey engineKey = EngineKey("gost2012_512", "1.2.643.7.1.2.1.2.2");
    ASSERT_TRUE(engineKey);
    const Bytes value = EnginePublicValue(engineKey.get(), 128);
    Bytes hash(64, 0x5A);
    Bytes signature(128);
    size_t length = signature.size();
    Ctx ctx(EVP_PKEY_CTX_new(engineKey.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
    ASSERT_EQ(EVP_PKEY_sign(ctx.get(), signature.data(), &length, hash.data(), hash.size()), 1);

    CTokenKeyPair pair(&m_tokens[0]);
    pair.setAlgsByAlgId(0x2E3D);
    const unsigned long objects = Gost().objectCount(0);
    EXPECT_TRUE(MaybeThrown([&] { pair.verifySign(Blob(hash), Blob(signature), Blob(value)); }));
    EXPECT_FALSE(MaybeThrown([&] {
        pair.verifySign(Blob(hash), Blob(signature), Blob(value), Blob(Oid("1.2.643.7.1.2.1.2.2")));
    }));

    Gost().resetCounts();
    Gost().failCall("C_VerifyInit", CKR_KEY_TYPE_INCONSISTENT, 1, VSK_GOST_TOKEN_ANY_SLOT);
    EXPECT_EQ(Thrown([&] {
                  pair.verifySign(Blob(hash), Blob(signature), Blob(value), Blob(Oid("1.2.643.7.1.2.1.2.2")));
              }).getErrorNumber(),
              CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(Calls("C_CreateObject"), 1u);
    EXPECT_EQ(Calls("C_DestroyObject"), 1u);
    EXPECT_EQ(Gost().objectCount(0), objects);
}

TEST_F(TokenKeyPairTest, ArgumentsAreCheckedBeforeTheToken) {
    CTokenKeyPair pair(&m_tokens[0]);
    pair.setAlgsByAlgId(0x2E49);
    Gost().resetCounts();
    EXPECT_EQ(Message(Thrown([&] { pair.sign(Data(1025)); })),
              u"Размер данных для подписи не должен быть больше 32 килобайт. Иначе используйте hashAndSign.");
    EXPECT_EQ(Message(Thrown([&] { pair.sign(Data(32)); })), u"Закрытый ключ не задан");
    EXPECT_EQ(Message(Thrown([&] { pair.sign(CDataBlob()); })), u"Отсутствуют подписываемые данные.");
    EXPECT_EQ(Message(Thrown([&] { pair.hashAndSign(Data(5), true); })), u"Закрытый ключ не задан");
    EXPECT_EQ(Message(Thrown([&] { pair.verifySign(Data(32), Data(64), CDataBlob()); })),
              u"Открытый ключ не задан");
    EXPECT_EQ(
        Message(Thrown([&] { pair.verifySign(Data(31), Data(64), Data(64)); })),
        u"Для verifySign длина данных должна составлять 32 байта, а она составляет: 31 байт. Возможно, надо "
        u"использовать hashAndVerifySign.");
    EXPECT_EQ(Message(Thrown([&] { pair.verifySign(Data(32), Data(63), Data(64)); })),
              u"Длина ЭП должна составлять 64 байта, а она составляет: 63 байт.");
    EXPECT_EQ(Calls("C_SignInit") + Calls("C_CreateObject") + Calls("C_VerifyInit"), 0u);

    // Unwrap: no public key, then a wrong UKM length stops before any derivation.
    const Bytes ukm7(7, 1);
    EXPECT_EQ(Message(Thrown([&] {
                  pair.unwrapSessionKey(Data(32), Data(4), Data(64), Blob(ukm7), "1.2.643.7.1.2.5.1.1", true);
              })),
              u"Открытый ключ не задан.");
    Login();
    CTokenKeyPair owner = Generate(0x2E49);
    Gost().resetCounts();
    EXPECT_EQ(Message(Thrown([&] {
                  owner.unwrapSessionKey(Data(32), Data(4), Data(64), Blob(ukm7), "1.2.643.7.1.2.5.1.1",
                                         true);
              })),
              u"Неверная длина UKM");
    EXPECT_EQ(Message(Thrown([&] {
                  owner.unwrapSessionKey(Data(32), Data(4), Data(128), Data(8), "1.2.643.7.1.2.5.1.1", true);
              })),
              u"Длина публичного ключа 128 != 64");
    EXPECT_EQ(Calls("C_DeriveKey") + Calls("C_UnwrapKey"), 0u);
}

TEST_F(TokenKeyPairTest, RutokenSignsInOneCallOthersInParts) {
    struct Row {
        const char* description;
        unsigned long sign, update, final;
    } rows[] = {{"Rutoken ECP", 2, 0, 0}, {"Reader 0", 0, 1, 2}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.description);
        Start((std::string("slot0.description = ") + row.description + "\n").c_str());
        Login();
        CTokenKeyPair pair = Generate(0x2E49);
        Gost().resetCounts();
        EXPECT_EQ(pair.hashAndSign(Data(100), true).getSize(), 64u);
        EXPECT_EQ(Calls("C_SignInit"), 1u);
        EXPECT_EQ(Calls("C_Sign"), row.sign);
        EXPECT_EQ(Calls("C_SignUpdate"), row.update);
        EXPECT_EQ(Calls("C_SignFinal"), row.final);
    }
}

TEST_F(TokenKeyPairTest, GeneratedPairsCarryTheTemplatesAndGoAway) {
    Login();
    // Two generation mechanisms and none chosen: the user must choose.
    CTokenKeyPair unchosen(&m_tokens[0]);
    EXPECT_EQ(
        Message(Thrown([&] { unchosen.generateKeyPair(u"a", u"b", u"c"); })),
        u"Не задан алгоритм генерации ключевой пары на токене \"" + m_tokens[0].getName().toU16() + u"\"");

    const unsigned long objects = Gost().objectCount(0);
    CToken::CImpl* token = m_tokens[0].getImpl();
    struct Row {
        ALG_ID algId;
        const char *curve, *hash;
        CK_KEY_TYPE type;
    } rows[] = {{0x2E23, "1.2.643.2.2.35.1", "1.2.643.2.2.30.1", CKK_GOSTR3410},
                {0x2E49, "1.2.643.2.2.35.1", "1.2.643.7.1.1.2.2", CKK_GOSTR3410},
                {0x2E3D, "1.2.643.7.1.2.1.2.1", "1.2.643.7.1.1.2.3", CKK_GOSTR3410_512}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.algId);
        CTokenKeyPair pair(&m_tokens[0]);
        pair.setAlgsByAlgId(row.algId);
        pair.generateKeyPair(u"Открытый", u"Закрытый", u"");
        ASSERT_NE(pair.getPubKeyHandle(), 0u);
        ASSERT_TRUE(pair.hasPrivKey());
        for (CK_OBJECT_HANDLE key : {pair.getPubKeyHandle(), pair.getPrivKeyHandle()}) {
            EXPECT_EQ(Vec(token->getAttributeValue(key, CKA_GOSTR3410_PARAMS)), Oid(row.curve));
            EXPECT_EQ(Vec(token->getAttributeValue(key, CKA_GOSTR3411_PARAMS)), Oid(row.hash));
            EXPECT_EQ(token->getKeyType(key), row.type);
            EXPECT_EQ(token->getAttributeValue(key, CKA_TOKEN).getAt(0), CK_TRUE);
        }
        EXPECT_EQ(m_tokens[0]
                      .attributeToString(token->getAttributeValue(pair.getPubKeyHandle(), CKA_LABEL))
                      .toU16(),
                  u"Открытый");
        const std::string id =
            Utf8(m_tokens[0].attributeToString(token->getAttributeValue(pair.getPrivKeyHandle(), CKA_ID)));
        EXPECT_TRUE(std::regex_match(id, std::regex(R"(\d\d\.\d\d\.\d{4} \d\d\.\d\d\.\d\d\.\d{3})"))) << id;

        // The pair found again from its public key value, then removed with everything of it.
        CTokenKeyPair found(&m_tokens[0]);
        Vsk::Utils::CError error;
        ASSERT_TRUE(found.findByCertificate(Value(pair), u"сертификат", error));
        EXPECT_EQ(found.getPrivKeyHandle(), pair.getPrivKeyHandle());
        EXPECT_TRUE(found.getCertificate().getSize() == 0);
        found.destroyObjects();
        EXPECT_EQ(found.getPubKeyHandle(), 0u);
        EXPECT_EQ(Gost().objectCount(0), objects);
        EXPECT_FALSE(found.findByCertificate(Data(64), u"сертификат X", error));
        EXPECT_EQ(Message(error),
                  u"На токене отсутствует публичный ключ, соответствующий сертификату: сертификат X");
    }
}
