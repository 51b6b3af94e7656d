// Session keys on the GOST test token: argument checks, generation, ECB and feedback-mode round trips
// against the engine's gost89, key meshing, and the export to another token's key pair, which must
// unwrap to the same key while leaving no temporary object behind.
#include "gostTokenFixture.h"

#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/pkcs11/TokenSessionKey.h>
#include <vsk/utils/base64.h>

using namespace Vsk::PKCS11;
using namespace GostTest;
using Vsk::Utils::CDataBlob;
using VskTest::Blob;
using VskTest::Gost;
using VskTest::MaybeThrown;
using VskTest::Thrown;
using VskTest::Vec;

namespace {

const char* const Tc26Z = "1.2.643.7.1.2.5.1.1";
const char* const CryptoProA = "1.2.643.2.2.31.1";

class TokenSessionKeyTest : public VskTest::GostLibraryTest {
protected:
    // A session key with a value the test knows (a session object that may be read and changed).
    CTokenSessionKey KnownKey(const Bytes& value, const char* paramset, size_t token = 0) {
        CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
        CK_KEY_TYPE type = CKK_GOST28147;
        CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
        Bytes params = Oid(paramset);
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                               {CKA_KEY_TYPE, &type, sizeof type},
                               {CKA_TOKEN, &no, 1},
                               {CKA_SENSITIVE, &no, 1},
                               {CKA_ENCRYPT, &yes, 1},
                               {CKA_DECRYPT, &yes, 1},
                               {CKA_VALUE, const_cast<uint8_t*>(value.data()), value.size()},
                               {CKA_GOST28147_PARAMS, params.data(), params.size()}};
        if (!m_tokens.at(token).isLoggedIn()) Login(token);
        CTokenSessionKey key(&m_tokens.at(token));
        if (auto error = MaybeThrown([&] { key.setKey(m_tokens[token].getImpl()->createObject(tmpl, 8)); }))
            ADD_FAILURE() << VskTest::Utf8(error->getMessage());
        return key;
    }
    static Bytes Pattern(size_t size, uint8_t seed) {
        Bytes out(size);
        for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(seed + i * 13);
        return out;
    }
};

}  // namespace

TEST_F(TokenSessionKeyTest, StartsCheckTheirArgumentsBeforeTheKey) {
    CTokenSessionKey key(&m_tokens[0]);
    EXPECT_FALSE(key.isCreated());
    EXPECT_FALSE(CTokenSessionKey().isCreated());
    Gost().resetCounts();
    const Vsk::Utils::CError ecb = Thrown([&] { key.encryptStart(Blob(Bytes(8)), true); });
    // The message is followed by the text of E_INVALIDARG, kept as its Win32 code.
    EXPECT_EQ(
        Message(ecb).rfind(
            u"В режиме ElectronicCodeBook (простой замены) не используется вектор инициализации.\r\n", 0),
        0u);
    EXPECT_EQ(ecb.getCode(), 87);
    EXPECT_EQ(Message(Thrown([&] { key.decryptStart(Blob(Bytes(16)), false); })), u"Неверная длина IV");
    EXPECT_EQ(Message(Thrown([&] { key.encryptStart(Blob(Bytes(8)), false); })),
              u"Сессионный ключ не был создан.");
    EXPECT_EQ(Calls("C_EncryptInit") + Calls("C_DecryptInit"), 0u);
}

TEST_F(TokenSessionKeyTest, GenerateReplacesTheKeyAndTheObjectGoesWithTheHandle) {
    Login();
    const unsigned long objects = Gost().objectCount(0);
    {
        CTokenSessionKey key(&m_tokens[0]);
        key.generate(true);
        key.generate(false);
        EXPECT_TRUE(key.isCreated());
        EXPECT_EQ(Gost().objectCount(0), objects + 1);
        EXPECT_EQ(Vec(m_tokens[0].getAttributeValue(key.getKeyHandle(), CKA_GOST28147_PARAMS)),
                  Oid(CryptoProA));
        // Generated keys never leave the token in the clear.
        EXPECT_EQ(m_tokens[0].getAttributeValue(key.getKeyHandle(), CKA_VALUE).getSize(), 0u);
    }
    EXPECT_EQ(Gost().objectCount(0), objects);
}

TEST_F(TokenSessionKeyTest, CipherRoundTripsAgreeWithTheEngine) {
    const Bytes value = Pattern(32, 3), iv = Pattern(8, 200);
    for (const char* paramset : {Tc26Z, CryptoProA}) {
        SCOPED_TRACE(paramset);
        CTokenSessionKey key = KnownKey(value, paramset);
        const Bytes data = Pattern(3000, 1);
        const Bytes expected = EngineCfb(value, iv, paramset, data);

        key.encryptStart(Blob(iv), false);
        EXPECT_EQ(Vec(key.encrypt(Blob(data))), expected);
        // In parts: 1000 bytes, then the rest with the final part.
        key.encryptStart(Blob(iv), false);
        Bytes parts = Vec(key.encryptUpdate(Blob(Bytes(data.begin(), data.begin() + 1000)), false));
        Gost().resetCounts();
        const Bytes rest = Vec(key.encryptUpdate(Blob(Bytes(data.begin() + 1000, data.end())), true));
        parts.insert(parts.end(), rest.begin(), rest.end());
        EXPECT_EQ(parts, expected);
        // An empty final part is asked for once, without output.
        EXPECT_EQ(Calls("C_EncryptFinal"), 1u);

        key.decryptStart(Blob(iv), false);
        EXPECT_EQ(Vec(key.decrypt(Blob(expected))), data);

        // ECB: the token's blocks decrypt with the engine, and back on the token.
        const Bytes blocks = Pattern(64, 9);
        key.encryptStart(CDataBlob(), true);
        const Bytes ecb = Vec(key.encrypt(Blob(blocks)));
        EXPECT_EQ(EngineEcbDecrypt(value, paramset, ecb), blocks);
        key.decryptStart(CDataBlob(), true);
        EXPECT_EQ(Vec(key.decryptUpdate(Blob(ecb), true)), blocks);
    }
}

TEST_F(TokenSessionKeyTest, MeshingReplacesTheKeyByTheDecryptedConstant) {
    const Bytes value = Pattern(32, 77);
    const Bytes meshingConstant = {0x69, 0x00, 0x72, 0x22, 0x64, 0xC9, 0x04, 0x23, 0x8D, 0x3A, 0xDB,
                                   0x96, 0x46, 0xE9, 0x2A, 0xC4, 0x18, 0xFE, 0xAC, 0x94, 0x00, 0xED,
                                   0x07, 0x12, 0xC0, 0x86, 0xDC, 0xC2, 0xEF, 0x4C, 0xA9, 0x2B};
    CTokenSessionKey key = KnownKey(value, Tc26Z);
    key.keyMeshing();
    EXPECT_EQ(Vec(m_tokens[0].getAttributeValue(key.getKeyHandle(), CKA_VALUE)),
              EngineEcbDecrypt(value, Tc26Z, meshingConstant));

    // A refused update still leaves the token's answer to the caller.
    Gost().failCall("C_SetAttributeValue", CKR_ATTRIBUTE_READ_ONLY, 1, VSK_GOST_TOKEN_ANY_SLOT);
    EXPECT_EQ(Thrown([&] { key.keyMeshing(); }).getErrorNumber(), CKR_ATTRIBUTE_READ_ONLY);
}

// A session key made on one token, wrapped for a key pair on another and unwrapped there, encrypts
// the same; the wrapping token keeps no ephemeral pair and no derived key, whatever happens.
TEST_F(TokenSessionKeyTest, WrapOnOneTokenUnwrapsOnAnotherToTheSameKey) {
    Start("slots = 2\n");
    ASSERT_EQ(m_tokens.size(), 2u);
    Login(0);
    Login(1);
    struct Row {
        ALG_ID algId;
        const char *oid, *curve;
        size_t size;
    } rows[] = {
        {0x2E23, "1.2.643.2.2.19", "", 64},
        {0x2E49, "1.2.643.7.1.1.1.1", "", 64},
        {0x2E3D, "1.2.643.7.1.1.1.2", "", 128},
        // Recipients on other curves: the ephemeral pair must follow them.
        {0x2E49, "1.2.643.7.1.1.1.1", "1.2.643.7.1.2.1.1.1", 64},
        {0x2E3D, "1.2.643.7.1.1.1.2", "1.2.643.7.1.2.1.2.2", 128},
    };
    const Bytes ukm = Pattern(8, 50), iv = Pattern(8, 60), data = Pattern(100, 70);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.oid) + " " + row.curve);
        const Bytes curve = *row.curve ? Oid(row.curve) : Bytes();
        CTokenKeyPair recipient(&m_tokens[0]);
        prepareEphemeralPair(recipient, Blob(curve));
        recipient.setAlgsByAlgId(row.algId);
        recipient.generateKeyPair(u"recipient", u"recipient", u"");
        const CDataBlob recipientValue =
            m_tokens[0].getAttributeValue(recipient.getPubKeyHandle(), CKA_VALUE);

        CTokenSessionKey key(&m_tokens[1]);
        const bool tc26 = row.algId != 0x2E23;
        key.generate(tc26);
        const unsigned long objects = Gost().objectCount(1);
        CDataBlob ephemeral;
        const CDataBlob wrapped =
            key.wrapKey(recipientValue, row.oid, Blob(ukm), true, ephemeral, Blob(curve));
        EXPECT_EQ(Gost().objectCount(1), objects);
        ASSERT_EQ(wrapped.getSize(), 36u);
        ASSERT_EQ(ephemeral.getSize(), row.size);

        CTokenSessionKey unwrapped =
            recipient.unwrapSessionKey(wrapped.getBlock(0, 32).clone(), wrapped.getBlock(32).clone(),
                                       ephemeral, Blob(ukm), tc26 ? Tc26Z : CryptoProA, true);
        ASSERT_TRUE(unwrapped.isCreated());
        key.encryptStart(Blob(iv), false);
        unwrapped.encryptStart(Blob(iv), false);
        EXPECT_EQ(Vec(unwrapped.encrypt(Blob(data))), Vec(key.encrypt(Blob(data))));
        recipient.destroyObjects();
    }

    // Failures on the way remove the temporaries too; unknown algorithms stop before the token.
    CTokenKeyPair recipient(&m_tokens[0]);
    recipient.setAlgsByAlgId(0x2E49);
    recipient.generateKeyPair(u"r", u"r", u"");
    const CDataBlob value = m_tokens[0].getAttributeValue(recipient.getPubKeyHandle(), CKA_VALUE);
    CTokenSessionKey key(&m_tokens[1]);
    key.generate(true);
    const unsigned long objects = Gost().objectCount(1);
    // An unwrap that fails leaves no derived key on the recipient's token either.
    {
        CDataBlob ephemeral;
        const CDataBlob wrapped = key.wrapKey(value, "1.2.643.7.1.1.1.1", Blob(ukm), true, ephemeral);
        const unsigned long recipientObjects = Gost().objectCount(0);
        Gost().failCall("C_UnwrapKey", CKR_DEVICE_ERROR, 1, VSK_GOST_TOKEN_ANY_SLOT);
        EXPECT_EQ(Thrown([&] {
                      recipient.unwrapSessionKey(wrapped.getBlock(0, 32).clone(),
                                                 wrapped.getBlock(32).clone(), ephemeral, Blob(ukm), Tc26Z,
                                                 true);
                  }).getErrorNumber(),
                  CKR_DEVICE_ERROR);
        EXPECT_EQ(Gost().objectCount(0), recipientObjects);
    }
    for (const char* function : {"C_GenerateKeyPair", "C_DeriveKey", "C_WrapKey"}) {
        SCOPED_TRACE(function);
        Gost().failCall(function, CKR_DEVICE_ERROR, 1, VSK_GOST_TOKEN_ANY_SLOT);
        CDataBlob ephemeral;
        EXPECT_EQ(Thrown([&] {
                      key.wrapKey(value, "1.2.643.7.1.1.1.1", Blob(ukm), true, ephemeral);
                  }).getErrorNumber(),
                  CKR_DEVICE_ERROR);
        EXPECT_EQ(Gost().objectCount(1), objects);
    }
    Gost().resetCounts();
    CDataBlob ephemeral;
    const Vsk::Utils::CError unknown =
        Thrown([&] { key.wrapKey(value, "1.2.840.113549.1.1.1", Blob(ukm), true, ephemeral); });
    EXPECT_EQ(Message(unknown).rfind(u"Не реализовано шифрование ключами 1.2.840.113549.1.1.1\r\n", 0), 0u);
    EXPECT_EQ(unknown.getCode(), 120);
    EXPECT_EQ(
        Message(Thrown([&] { key.wrapKey(value, "1.2.643.7.1.1.1.1", Blob(Bytes(7)), true, ephemeral); })),
        u"Неверная длина UKM");
    EXPECT_EQ(Calls("C_GenerateKeyPair") + Calls("C_DeriveKey") + Calls("C_WrapKey"), 0u);
    EXPECT_EQ(Message(Thrown([&] {
                  CTokenSessionKey(&m_tokens[1]).wrapKey(value, "1.2.643.2.2.19", Blob(ukm), true, ephemeral);
              })),
              u"Сессионный ключ не был создан.");
}

// Traces name the sizes and digests of the data, never the data or the result.
TEST_F(TokenSessionKeyTest, TracesCarryNoPlaintext) {
    VskTest::LogCapture log(5);
    const Bytes value = Pattern(32, 3), iv = Pattern(8, 4);
    CTokenSessionKey key = KnownKey(value, Tc26Z);
    const Bytes data(48, 'Q');
    key.encryptStart(Blob(iv), false);
    const CDataBlob encrypted = key.encrypt(Blob(data));
    key.decryptStart(Blob(iv), false);
    key.decryptUpdate(encrypted, true);
    const std::u16string plain = Vsk::Utils::Base64EncNoCrlfW(Blob(data)).toU16();
    const std::u16string cipher = Vsk::Utils::Base64EncNoCrlfW(encrypted).toU16();
    EXPECT_TRUE(log.any(u"size=48 sha256="));
    EXPECT_FALSE(log.any(plain.substr(0, 16)));
    EXPECT_FALSE(log.any(cipher.substr(0, 16)));
}
