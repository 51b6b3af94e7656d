// The token road of enveloped data, on the GOST test token with openssl-made keys put on it: messages
// encrypted on the token (one DER block and streamed; 2012 recipients and a 2001 one among them)
// decrypt with openssl; openssl's messages decrypt on the token, a large one in blocks; the failures
// of encryption; raw CBC content decrypted with a token session key across key meshings.
#include "TokenEncrypted.h"

#include <vsk/pki/EncryptedData.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/platform/cert.h>

#include "tokenMessageFixture.h"

namespace {

using namespace token_messages;

const Kind Gost2001{"te2001",    "gost2001",    "1.2.643.2.2.9",
                    "md_gost94", CKK_GOSTR3410, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01}};

std::string hex(const Bytes& b) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : b) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

class TokenEncryptedTest : public TokenMessageFixture {
protected:
    // The certificate of `kind` with its key on the token, also in the user's "MY" (where the
    // recipient search looks certificates up) and as PEM for openssl.
    CCertificate recipient(const Kind& kind) {
        CCertificate cert = signerOnToken(kind);
        const std::string name = kind.name;
        EXPECT_TRUE(openssl("x509 -inform DER -in " + name + ".cer -out " + name + ".pem"));
        HCERTSTORE store =
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
        EXPECT_NE(store, nullptr);
        const Bytes der = readFile(name + ".cer");
        EXPECT_TRUE(CertAddEncodedCertificateToStore(
            store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
            static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, nullptr));
        CertCloseStore(store, 0);
        return cert;
    }

    // Our message of `data` encrypted on the token in `pieces` blocks.
    Bytes encryptOnToken(const std::vector<CCertificate>& recipients, const Bytes& data, size_t pieces,
                         const char16_t* pin = u"12345678") {
        CEncryptedData encrypted;
        Vsk::Utils::CArray<CCertificate> list;
        for (const CCertificate& c : recipients) list.add(c);
        bool gost2001 = false;
        for (const CCertificate& c : recipients)
            gost2001 = gost2001 || VskTest::Utf8(c.get_PublicKeyAlgorithmOID()) == "1.2.643.2.2.19";
        // The catalogue here has no provider for GOST R 34.10-2001 keys, so the settings would refuse
        // such a recipient before the token is asked: the list is then given as it is.
        if (gost2001)
            encrypted.EncryptSettings().getImpl()->m_recipients = list;
        else
            encrypted.EncryptSettings().putRecipientCertificates(list);
        token();
        encrypted.EncryptSettings().putProvider(m_provider.get());
        if (pin) encrypted.EncryptSettings().getImpl()->putPassword(CWString(pin));
        encrypted.EncryptStart();
        Bytes message;
        const size_t step = (data.size() + pieces - 1) / pieces;
        for (size_t at = 0; at < data.size(); at += step) {
            const bool final = at + step >= data.size();
            message += bytes(encrypted.EncryptBlock(blob(data.substr(at, step)), final));
        }
        return message;
    }

    // `message` decrypted through the enveloped-data object in blocks of `block` bytes.
    Bytes decryptOnToken(const Bytes& message, size_t block) {
        CEncryptedData decrypted;
        decrypted.DecryptSettings().getImpl()->putPassword(CWString(u"12345678"));
        decrypted.DecryptStart();
        Bytes plain;
        for (size_t at = 0; at < message.size(); at += block) {
            const bool final = at + block >= message.size();
            plain += bytes(decrypted.DecryptBlock(blob(message.substr(at, block)), final));
        }
        return plain;
    }

    void logout() {
        const Vsk::PKCS11::CToken* t = token();
        if (t && t->isLoggedIn()) t->logout();
    }
};

TEST_F(TokenEncryptedTest, TokenMessagesDecryptWithOpenssl) {
    reporting([&] {
        const CCertificate c256 = recipient(Gost256);
        const CCertificate c512 = recipient(Gost512);
        const CCertificate c2001 = recipient(Gost2001);
        struct Row {
            std::vector<const Kind*> kinds;
            size_t pieces;
            const char* paramSet;  // as openssl names the content's parameter set
        };
        // With 2012 recipients only, the key and the content declare the TC 26 Z set; one 2001
        // recipient makes both CryptoPro A, which the 2012 recipient's key must then take as well.
        const Row rows[] = {{{&Gost256}, 1, "GOST 28147-89 TC26 parameter set"},
                            {{&Gost256, &Gost512}, 3, "GOST 28147-89 TC26 parameter set"},
                            {{&Gost256, &Gost2001}, 2, "id-Gost28147-89-CryptoPro-A-ParamSet"}};
        const Bytes data = pattern(10000, 11);
        for (const Row& row : rows) {
            SCOPED_TRACE("pieces=" + std::to_string(row.pieces) + " first=" + row.kinds[0]->name);
            std::vector<CCertificate> certs;
            for (const Kind* k : row.kinds)
                certs.push_back(k == &Gost256 ? c256 : k == &Gost512 ? c512 : c2001);
            logout();
            const Bytes message = encryptOnToken(certs, data, row.pieces);
            ASSERT_GT(message.size(), 4u);
            // One block is DER; several are the streamed form with indefinite lengths.
            EXPECT_EQ(static_cast<unsigned char>(message[1]) == 0x80, row.pieces > 1);
            EXPECT_FALSE(token()->isLoggedIn()) << "the token is let go after the final block";
            writeFile("te-msg.der", message);
            std::string printed;
            ASSERT_TRUE(openssl("cms -cmsout -print -inform DER -in te-msg.der", &printed)) << printed;
            EXPECT_NE(printed.find(row.paramSet), std::string::npos) << printed;
            for (const Kind* k : row.kinds) {
                std::string out;
                const std::string name = k->name;
                EXPECT_TRUE(openssl("cms -decrypt -binary -inform DER -in te-msg.der -recip " + name +
                                        ".pem -inkey " + name + ".key -out te-out.bin",
                                    &out))
                    << name << ": " << out;
                EXPECT_EQ(readFile("te-out.bin"), data) << name;
            }
            // Our own reader finds the key on the token as well.
            EXPECT_EQ(decryptOnToken(message, 1000), data);
        }
    });
}

TEST_F(TokenEncryptedTest, OpensslMessagesDecryptOnTheToken) {
    reporting([&] {
        recipient(Gost256);
        recipient(Gost2001);
        struct Row {
            const char* name;
            const Kind* kind;
            size_t size;
            size_t block;
            bool stream;
            size_t cut;  // bytes taken off the end of the message
        };
        // The large one passes the bound on ciphertext the system's decoder would keep. openssl
        // encrypts the content with the TC 26 Z set and wraps a 2001 recipient's key under
        // CryptoPro A: the session key must take the content's set. A cut message is no success.
        const Row rows[] = {{"one block", &Gost256, 5000, 1 << 20, false, 0},
                            {"small pieces", &Gost256, 5000, 97, false, 0},
                            {"2001 recipient", &Gost2001, 5000, 1000, true, 0},
                            {"large streamed", &Gost256, (20u << 20) + 5, 4u << 20, true, 0},
                            {"cut streamed", &Gost256, 5000, 700, true, 1700}};
        for (const Row& row : rows) {
            SCOPED_TRACE(row.name);
            const Bytes data = pattern(row.size, 5);
            writeFile("te-data.bin", data);
            std::string out;
            ASSERT_TRUE(openssl(std::string("cms -encrypt -binary -gost89 ") +
                                    (row.stream ? "-stream " : "") +
                                    "-outform DER -in te-data.bin -out te-os.der " + row.kind->name + ".pem",
                                &out))
                << out;
            logout();
            Bytes message = readFile("te-os.der");
            message.resize(message.size() - row.cut);
            if (!row.cut) {
                EXPECT_TRUE(decryptOnToken(message, row.block) == data);
                continue;
            }
            try {
                decryptOnToken(message, row.block);
                ADD_FAILURE() << "a cut message decrypted";
            } catch (const CCryptError& error) {
                EXPECT_EQ(error.getErrorNumber(), 180604u);
            }
        }
    });
}

TEST_F(TokenEncryptedTest, AbandonedMessagesDoNotSpoilTheNext) {
    reporting([&] {
        const CCertificate c256 = recipient(Gost256);
        const Bytes data = pattern(4000, 4);
        const Bytes message = encryptOnToken({c256}, data, 4);
        logout();

        // Encryption: a message given up after its first block, then a whole one on the same object.
        CEncryptedData encrypted;
        Vsk::Utils::CArray<CCertificate> list;
        list.add(c256);
        encrypted.EncryptSettings().putRecipientCertificates(list);
        encrypted.EncryptSettings().putProvider(m_provider.get());
        encrypted.EncryptSettings().getImpl()->putPassword(CWString(u"12345678"));
        encrypted.EncryptStart();
        encrypted.EncryptBlock(blob(data.substr(0, 1000)), false);
        encrypted.EncryptStart();
        const Bytes whole = bytes(encrypted.EncryptBlock(blob(data), true));
        writeFile("te-msg.der", whole);
        std::string out;
        EXPECT_TRUE(
            openssl("cms -decrypt -binary -inform DER -in te-msg.der -recip ts256.pem -inkey ts256.key "
                    "-out te-out.bin",
                    &out))
            << out;
        EXPECT_EQ(readFile("te-out.bin"), data);

        // Decryption: the token's operation of a message given up half-way does not block the next.
        CEncryptedData decrypted;
        decrypted.DecryptSettings().getImpl()->putPassword(CWString(u"12345678"));
        decrypted.DecryptStart();
        decrypted.DecryptBlock(blob(message.substr(0, 2500)), false);
        decrypted.DecryptStart();
        EXPECT_EQ(bytes(decrypted.DecryptBlock(blob(message), true)), data);
    });
}

TEST_F(TokenEncryptedTest, EncryptionFailuresLeaveNothingBehind) {
    reporting([&] {
        const CCertificate c256 = recipient(Gost256);
        const Bytes data = pattern(3000, 2);
        struct Row {
            const char* name;
            std::vector<CCertificate> recipients;
            const char16_t* pin;
            DWORD number;  // the step code, or the error code where there is none
            const char16_t* text;
        };
        const Row rows[] = {{"no PIN", {c256}, nullptr, 0x8010006B, u"Не задан ПИН токена!"},
                            {"no recipients", {}, u"12345678", 180301, nullptr}};
        for (const Row& row : rows) {
            SCOPED_TRACE(row.name);
            logout();
            try {
                encryptOnToken(row.recipients, data, 2, row.pin);
                ADD_FAILURE() << "encrypted";
            } catch (const CCryptError& error) {
                if (row.text) {
                    EXPECT_EQ(static_cast<DWORD>(error.getCode()), row.number);
                    EXPECT_EQ(VskTest::Utf8(error.getMessage()).rfind(VskTest::Utf8(CWString(row.text)), 0),
                              0u)
                        << VskTest::Utf8(error.getMessage());
                } else {
                    EXPECT_EQ(error.getErrorNumber(), row.number);
                }
            }
        }
        // The next message on the same token is whole.
        logout();
        const Bytes message = encryptOnToken({c256}, data, 2);
        writeFile("te-msg.der", message);
        std::string out;
        EXPECT_TRUE(
            openssl("cms -decrypt -binary -inform DER -in te-msg.der -recip ts256.pem -inkey ts256.key "
                    "-out te-out.bin",
                    &out))
            << out;
        EXPECT_EQ(readFile("te-out.bin"), data);
    });
}

TEST_F(TokenEncryptedTest, RecipientWithoutEntryIsNoError) {
    reporting([&] {
        const CCertificate c256 = recipient(Gost256);
        const CCertificate c512 = recipient(Gost512);
        const Bytes message = encryptOnToken({c256}, pattern(500, 1), 1);
        login();
        CTokenEncrypted reader;
        CDataBlob plain;
        CCryptError error;
        EXPECT_FALSE(reader.cmsDecryptBlockByToken(c512, blob(message), true, plain, error));
        EXPECT_TRUE(error.isEmpty()) << VskTest::Utf8(error.getText());
    });
}

// Raw content in CBC mode with CryptoPro key meshing after every 1024 bytes, made by openssl one
// segment at a time: the GOST block cipher of openssl with the meshing done by hand.
Bytes CbcWithMeshing(std::string keyHex, std::string ivHex, const Bytes& plain) {
    static const char* meshing = "6900722264c904238d3adb9646e92ac418feac9400ed0712c086dcc2ef4ca92b";
    auto enc = [&](const std::string& args, const Bytes& in) {
        writeFile("te-in.bin", in);
        EXPECT_TRUE(openssl("enc -engine gost -gost89-cbc -nopad " + args + " -in te-in.bin -out te-o.bin"));
        return readFile("te-o.bin");
    };
    const std::string zero(16, '0');
    Bytes out;
    for (size_t at = 0; at < plain.size(); at += 1024) {
        if (at) {
            Bytes key;
            for (size_t b = 0; b < 32; b += 8) {
                Bytes c;
                for (size_t i = 0; i < 8; ++i)
                    c += static_cast<char>(std::stoul(std::string(meshing + 2 * (b + i), 2), nullptr, 16));
                key += enc("-d -K " + keyHex + " -iv " + zero, c);
            }
            keyHex = hex(key);
            Bytes iv;
            for (size_t i = 0; i < 8; ++i)
                iv += static_cast<char>(std::stoul(ivHex.substr(2 * i, 2), nullptr, 16));
            ivHex = hex(enc("-K " + keyHex + " -iv " + zero, iv));
        }
        const Bytes segment = enc("-K " + keyHex + " -iv " + ivHex, plain.substr(at, 1024));
        out += segment;
        ivHex = hex(segment.substr(segment.size() - 8));
    }
    return out;
}

TEST_F(TokenEncryptedTest, RawContentWithSessionKeyAcrossMeshings) {
    reporting([&] {
        const std::string keyHex = "0123456789abcdeffedcba9876543210000102030405060708090a0b0c0d0e0f";
        const std::string ivHex = "1122334455667788";
        const Bytes plain = pattern(2064, 9);
        const Bytes cipher = CbcWithMeshing(keyHex, ivHex, plain);
        ASSERT_EQ(cipher.size(), plain.size());

        login();
        Bytes key;
        for (size_t i = 0; i < 32; ++i)
            key += static_cast<char>(std::stoul(keyHex.substr(2 * i, 2), nullptr, 16));
        CK_FUNCTION_LIST_PTR f = m_module.functions();
        CK_SESSION_HANDLE session = 0;
        ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
                  CKR_OK);
        CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
        CK_KEY_TYPE type = CKK_GOST28147;
        CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
        // openssl's gost89-cbc uses the TC 26 Z substitution box.
        CK_BYTE paramSetZ[] = {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x05, 0x01, 0x01};
        CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &secret, sizeof secret},
                                     {CKA_KEY_TYPE, &type, sizeof type},
                                     {CKA_TOKEN, &no, 1},
                                     {CKA_ENCRYPT, &yes, 1},
                                     {CKA_DECRYPT, &yes, 1},
                                     {CKA_GOST28147_PARAMS, paramSetZ, sizeof paramSetZ},
                                     {CKA_VALUE, key.data(), key.size()}};
        CK_OBJECT_HANDLE handle = 0;
        ASSERT_EQ(f->C_CreateObject(session, attributes, std::size(attributes), &handle), CKR_OK);

        CTokenEncrypted reader;
        *reader.tokenSessionKey() = Vsk::PKCS11::CTokenSessionKey(token());
        reader.tokenSessionKey()->setKey(handle);
        CDataBlob iv = blob(cipher.substr(0, 0) + std::string("\x11\x22\x33\x44\x55\x66\x77\x88", 8));
        // 13 bytes give one block and keep 5; 3 more give the next; the rest crosses two meshings
        // with the block count carried over from the earlier calls.
        const Bytes first = bytes(reader.decryptWithSessionKey(blob(cipher.substr(0, 13)), iv));
        const Bytes second = bytes(reader.decryptWithSessionKey(blob(cipher.substr(13, 3)), iv));
        const Bytes rest = bytes(reader.decryptWithSessionKey(blob(cipher.substr(16)), iv));
        EXPECT_EQ(hex(first), hex(plain.substr(0, 8)));
        EXPECT_EQ(first.size(), 8u);
        EXPECT_EQ(second.size(), 8u);
        EXPECT_TRUE(first + second + rest == plain);
        EXPECT_EQ(bytes(iv), cipher.substr(cipher.size() - 8));
        f->C_CloseSession(session);
    });
}

}  // namespace
