// The library's enveloped-data writer and block reader, the GOST key-transport and parameter parsers,
// the recipient record and the session key's blobs: the forms the writer emits, the reader fed in
// pieces (byte-equal consecutive blocks, recipients before the first whole chunk, the header cap),
// and the parsers' refusals.
#include "messages/src/Pkcs7Encrypted.h"
#include "testSupport.h"

#include <vsk/asn1/asn1.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/EncryptedDataRecipient.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/SessionKey.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/error.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Vsk::ASN1;
using namespace Vsk::PKI;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;

namespace {

using Bytes = std::vector<BYTE>;

CDataBlob Blob(const Bytes& b) {
    return CDataBlob(b.data(), b.size(), true);
}
Bytes ToBytes(const CDataBlob& b) {
    return Bytes(b.getData(), b.getData() + b.getSize());
}
CDataBlob Text(const std::string& s) {
    return CDataBlob(s.data(), s.size(), true);
}
Bytes Hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<BYTE>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// A writer with one (structurally plain) recipient and the GOST content algorithm.
void Prepare(CPKCS7Encrypted& writer) {
    CSequence recipient;
    recipient.addItem(CInteger(0));
    writer.recipientInfos().addItem(recipient);
    writer.setContentEncryptionAlgorithm("1.2.643.7.1.1.1.1", Blob(Bytes(8, 0x11)), "1.2.643.7.1.2.5.1.1");
}

Bytes Streamed(const std::vector<std::string>& blocks) {
    CPKCS7Encrypted writer;
    Prepare(writer);
    Bytes out;
    for (size_t i = 0; i < blocks.size(); ++i) {
        Bytes part = ToBytes(writer.makePKCS7Enveloped(Text(blocks[i]), i + 1 == blocks.size()));
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// The content the reader gives for `message` fed in pieces of `piece` bytes; each piece is also
// offered a second time as a repeated offer, which must hand back the same output.
std::string Read(const Bytes& message, size_t piece, CError* lastError = nullptr) {
    CPKCS7Encrypted reader;
    std::string content;
    for (size_t at = 0; at < message.size(); at += piece) {
        size_t n = std::min(piece, message.size() - at);
        CError error;
        // A stale error of the thread is not this block's: a good block must come back clean.
        SetLastError(ERROR_FILE_NOT_FOUND);
        CDataBlob out = reader.getEncryptedContent(CDataBlob(message.data() + at, n, true), &error);
        if (!lastError) {
            EXPECT_TRUE(error.isEmpty()) << at;
        }
        CDataBlob again = reader.getEncryptedContent(CDataBlob(message.data() + at, n, true), nullptr,
                                                     nullptr, nullptr, true);
        EXPECT_EQ(ToBytes(again), ToBytes(out));
        content.append(reinterpret_cast<const char*>(out.getData()), out.getSize());
        if (lastError) *lastError = error;
    }
    return content;
}

std::u16string TextOf(const CError& e) {
    return e.getMessage().toU16();
}

// The message begins with `text` (the system text of the code may follow).
::testing::AssertionResult StartsWith(const CError& e, const std::u16string& text) {
    std::u16string message = TextOf(e);
    if (message.compare(0, text.size(), text) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << VskTest::Utf8(message) << " does not begin with " << VskTest::Utf8(text);
}

}  // namespace

TEST(PKCS7EncryptedWriter, OneBlockIsDerAndStreamingIsBerWithChunks) {
    CPKCS7Encrypted writer;
    Prepare(writer);
    Bytes der = ToBytes(writer.makePKCS7Enveloped(Text("secret"), true));
    CSequence top;
    EXPECT_EQ(top.decode(Blob(der)), 0u);
    EXPECT_FALSE(top.isIndefinite());
    // The content is the last element: a primitive [0] with the bytes.
    ASSERT_GE(der.size(), 8u);
    EXPECT_EQ(Bytes(der.end() - 8, der.end()), Hex("8006736563726574"));
    // The state is ready for the next message.
    EXPECT_EQ(ToBytes(writer.makePKCS7Enveloped(Text("secret"), true)), der);

    Bytes streamed = Streamed({"abc", "", "defg"});
    EXPECT_EQ(Bytes(streamed.begin(), streamed.begin() + 2), Hex("3080"));
    // Five open values closed innermost first, after the last chunk.
    EXPECT_EQ(Bytes(streamed.end() - 16, streamed.end()), Hex("040464656667"
                                                              "00000000000000000000"));
    // An empty block still writes its (empty) chunk.
    const Bytes chunks = Hex("04036162630400");
    EXPECT_NE(std::search(streamed.begin(), streamed.end(), chunks.begin(), chunks.end()), streamed.end());
    for (size_t piece : {size_t{1}, size_t{5}, streamed.size()})
        EXPECT_EQ(Read(streamed, piece), "abcdefg") << piece;
    for (size_t piece : {size_t{1}, size_t{3}, der.size()}) EXPECT_EQ(Read(der, piece), "secret") << piece;
}

TEST(PKCS7EncryptedWriter, NeedsRecipients) {
    CPKCS7Encrypted writer;
    CError e = VskTest::Thrown([&] { writer.makePKCS7Enveloped(Text("x"), true); });
    EXPECT_EQ(e.getErrorNumber(), 180301u);
}

TEST(PKCS7EncryptedReader, ByteEqualConsecutiveBlocksAreBothConsumed) {
    // Content and chunk headers full of repeated bytes: fed one byte at a time, consecutive blocks are
    // often byte-equal, and every one of them carries new data.
    std::string content(300, 'a');
    Bytes message = Streamed({content.substr(0, 100), content.substr(100, 100), content.substr(200)});
    EXPECT_EQ(Read(message, 1), content);
    EXPECT_EQ(Read(message, 2), content);
}

TEST(PKCS7EncryptedReader, RecipientsAreHandedOutBeforeTheFirstChunkCompletes) {
    Bytes message = Streamed({std::string(50, 'z'), "tail"});
    // Cut inside the first chunk: the header is complete, no chunk is.
    const Bytes firstChunk = Hex("0432");
    auto chunk = std::search(message.begin(), message.end(), firstChunk.begin(), firstChunk.end());
    ASSERT_NE(chunk, message.end());
    size_t cut = static_cast<size_t>(chunk - message.begin()) + 10;
    CPKCS7Encrypted reader;
    CSet recipients;
    CSequence algorithm;
    CError error;
    CDataBlob out =
        reader.getEncryptedContent(CDataBlob(message.data(), cut, true), &error, &recipients, &algorithm);
    EXPECT_EQ(out.getSize(), 0u);
    EXPECT_TRUE(error.isEmpty());
    ASSERT_FALSE(recipients.isEmpty());
    EXPECT_EQ(recipients.getCount(), 1u);
    EXPECT_EQ(algorithm.getCount(), 2u);
    // A later call without new data hands them out again.
    CSet again;
    reader.getEncryptedContent(CDataBlob(), &error, &again);
    EXPECT_EQ(again.getCount(), 1u);
    out = reader.getEncryptedContent(CDataBlob(message.data() + cut, message.size() - cut, true), &error);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.getData()), out.getSize()),
              std::string(50, 'z') + "tail");
}

TEST(PKCS7EncryptedReader, HeaderThatNeverEndsStopsAtTheCap) {
    // A recipient SET that declares 16 MiB: the header cannot end within the cap.
    Bytes head =
        Hex("3080"
            "06092A864886F70D010703"
            "A080"
            "3080"
            "020100"
            "3184"
            "01000000");
    CPKCS7Encrypted reader;
    CError error;
    reader.getEncryptedContent(Blob(head), &error);
    EXPECT_TRUE(error.isEmpty());
    Bytes filler(64 * 1024, 0x30);
    size_t fed = head.size();
    while (error.isEmpty() && fed <= MaxEnvelopedHeaderSize + filler.size()) {
        reader.getEncryptedContent(Blob(filler), &error);
        fed += filler.size();
    }
    EXPECT_EQ(static_cast<DWORD>(error.getCode()), CRYPT_E_ASN1_LARGE);
    EXPECT_GT(fed, MaxEnvelopedHeaderSize);
    EXPECT_LE(fed, MaxEnvelopedHeaderSize + filler.size());
    // Later blocks report it again and give nothing.
    CError later;
    EXPECT_EQ(reader.getEncryptedContent(Blob(filler), &later).getSize(), 0u);
    EXPECT_EQ(static_cast<DWORD>(later.getCode()), CRYPT_E_ASN1_LARGE);
}

TEST(PKCS7EncryptedReader, StructureErrors) {
    Bytes chunkNotOctets = Streamed({"abc", "d"});
    const Bytes firstChunk = Hex("0403616263");
    auto chunk =
        std::search(chunkNotOctets.begin(), chunkNotOctets.end(), firstChunk.begin(), firstChunk.end());
    ASSERT_NE(chunk, chunkNotOctets.end());
    *chunk = 0x05;
    CPKCS7Encrypted writer;
    Prepare(writer);
    Bytes emptyPrimitive = ToBytes(writer.makePKCS7Enveloped(CDataBlob(), true));
    struct Case {
        const char* name;
        Bytes message;
        const char16_t* text;
    } cases[] = {
        {"no content type", Hex("3003020100"), u"Отсутствует ContentInfo.contentType"},
        {"data, not enveloped", Hex("300B06092A864886F70D010701"), u"Не PKCS_7_ENVELOPED"},
        {"content not [0]", Hex("300D06092A864886F70D0107030400"), u"Отсутствует ContentInfo.content"},
        {"no version",
         Hex("301106092A864886F70D010703A0043002"
             "0500"),
         u"Отсутствует EnvelopedData.version"},
        {"chunk not an OCTET STRING", chunkNotOctets, u"Неверный EncryptedContentInfo.encryptedContent"},
        {"empty primitive content", emptyPrimitive, u"Отсутствует EncryptedContentInfo.encryptedContent"},
    };
    for (const Case& c : cases) {
        CError error;
        Read(c.message, c.message.size(), &error);
        EXPECT_TRUE(StartsWith(error, c.text)) << c.name;
        EXPECT_EQ(static_cast<DWORD>(error.getCode()), CRYPT_E_ASN1_BADTAG) << c.name;
    }
}

// ---- GOST structures ------------------------------------------------------------------------------

namespace {

struct TransportShape {
    bool maskKey = false;
    bool ephemeral = true;
    bool emptyBits = false;
};

// A GostR3410-KeyTransport put together node by node, in the shapes the parser must refuse or read.
CDataBlob Transport(const TransportShape& shape) {
    CSequence sessionKey;
    sessionKey.addItem(COctetString(Blob(Bytes(32, 0xE1))));
    if (shape.maskKey) sessionKey.addItem(COctetString(Blob(Bytes(32, 0x99))));
    sessionKey.addItem(COctetString(Blob(Bytes(4, 0x3C))));
    CSequence algorithm;
    algorithm.addItem(CObjectId(CAString("1.2.643.7.1.1.1.1")));
    CSequence parameters;
    parameters.addItem(CObjectId(CAString("1.2.643.7.1.2.1.1.1")));
    algorithm.addItem(parameters);
    CDataBlob key = COctetString(Blob(Bytes(64, 0x5A))).encode();
    CConstructed ephemeral(0, 0x80);
    ephemeral.addItem(algorithm);
    ephemeral.addItem(shape.emptyBits ? CBitString(CDataBlob(), 0) : CBitString(key, key.getSize() * 8ull));
    CConstructed transportParameters(0, 0x80);
    transportParameters.addItem(CObjectId(CAString("1.2.643.7.1.2.5.1.1")));
    if (shape.ephemeral) transportParameters.addItem(ephemeral);
    transportParameters.addItem(COctetString(Blob(Bytes(8, 0x77))));
    CSequence transport;
    transport.addItem(sessionKey);
    transport.addItem(transportParameters);
    return transport.encode();
}

}  // namespace

TEST(GostStructures, KeyTransportParts) {
    for (bool mask : {false, true}) {
        CDataBlob encryptedKey, ephemeralKey, mac, ukm, parameters;
        CAString paramSet;
        ALG_ID algId = 0;
        CPKCS7Encrypted::parseGostR3410KeyTransport(Transport({mask, true, false}), encryptedKey,
                                                    ephemeralKey, mac, ukm, paramSet, algId, parameters);
        EXPECT_EQ(ToBytes(encryptedKey), Bytes(32, 0xE1)) << mask;
        EXPECT_EQ(ToBytes(mac), Bytes(4, 0x3C)) << mask;
        EXPECT_EQ(ToBytes(ephemeralKey), Bytes(64, 0x5A));
        EXPECT_EQ(ToBytes(ukm), Bytes(8, 0x77));
        EXPECT_EQ(paramSet, CAString("1.2.643.7.1.2.5.1.1"));
        EXPECT_EQ(algId, ALG_ID{0x2E49});
        EXPECT_EQ(ToBytes(parameters), Hex("300B06092A8503070102010101"));
    }
    struct Case {
        const char* name;
        CDataBlob der;
        const char16_t* text;
    } refusals[] = {
        {"no ephemeral key", Transport({false, false, false}),
         u"Неподдерживаемый GostR3410-TransportParameters"},
        {"empty BIT STRING", Transport({false, true, true}),
         u"Неверный SubjectPublicKeyInfo.subjectPublicKey"},
        {"not a transport", Blob(Hex("3003020100")),
         u"Отсутствует GostR3410-KeyTransport.sessionEncryptedKey"},
    };
    for (const Case& c : refusals) {
        CError e = VskTest::Thrown([&] {
            CDataBlob a, b, d, u, p;
            CAString s;
            ALG_ID id = 0;
            CPKCS7Encrypted::parseGostR3410KeyTransport(c.der, a, b, d, u, s, id, p);
        });
        EXPECT_TRUE(
            StartsWith(e, std::u16string(u"Неверный \"Key Transport Algorithm Based on GOST R 34.10-94/2001 "
                                         u"Public Keys\"?\r\n") +
                              c.text))
            << c.name;
    }
}

TEST(GostStructures, ContentParameters) {
    CDataBlob iv;
    CAString paramSet;
    CPKCS7Encrypted::parseGost28147_89Parameters(Blob(Hex("300F"
                                                          "04080102030405060708"
                                                          "06032A8503")),
                                                 iv, paramSet);
    EXPECT_EQ(ToBytes(iv), Hex("0102030405060708"));
    EXPECT_EQ(paramSet, CAString("1.2.643"));
    CError e = VskTest::Thrown([&] {
        CPKCS7Encrypted::parseGost28147_89Parameters(Blob(Hex("300C04080102030405060708"
                                                              "0500")),
                                                     iv, paramSet);
    });
    EXPECT_TRUE(StartsWith(
        e, u"Неверный \"Gost28147-89-Parameters\"?\r\nНеверный Gost28147-89-Parameters.encryptionParamSet"));
}

TEST(EncryptedDataRecipient, WrittenRecipientReadsBack) {
    Bytes issuer = Hex("300C310A300806035504030C0163");  // CN=c
    Bytes serial = Hex("FF8000");  // least significant byte first: the DER INTEGER 00 80 FF
    Bytes params = Hex("300A06082A85030701020101");
    char oid[] = "1.2.643.7.1.1.1.1";
    CERT_INFO info{};
    info.Issuer.pbData = issuer.data();
    info.Issuer.cbData = static_cast<DWORD>(issuer.size());
    info.SerialNumber.pbData = serial.data();
    info.SerialNumber.cbData = static_cast<DWORD>(serial.size());
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = oid;
    info.SubjectPublicKeyInfo.Algorithm.Parameters.pbData = params.data();
    info.SubjectPublicKeyInfo.Algorithm.Parameters.cbData = static_cast<DWORD>(params.size());
    CEncryptedDataRecipient written;
    written.MakeKeyTransRecipientInfo(info, Blob(Bytes(32, 1)), Blob(Bytes(4, 2)), Blob(Bytes(64, 3)),
                                      Blob(Bytes(8, 4)));

    CPKCS7Encrypted state;
    state.setContentEncryptionAlgorithm(oid, Blob(Bytes(8, 9)), "1.2.643.7.1.2.5.1.1");
    CEncryptedDataRecipient read;
    read.Init(written.get_RecipientInfo(), state.contentEncryptionAlgorithm());
    EXPECT_EQ(ToBytes(read.get_Issuer()), issuer);
    EXPECT_EQ(ToBytes(read.get_SerialNumber()), serial);
    EXPECT_EQ(read.get_KeyEncryptionAlgorithm(), CAString(oid));
    EXPECT_EQ(read.get_ContentEncryptionAlgorithm(), CAString("1.2.643.2.2.21"));
    EXPECT_EQ(ToBytes(read.get_EncryptedKey()), ToBytes(written.get_EncryptedKey()));

    CDataBlob encryptedKey, ephemeralKey, mac, ukm, parameters;
    CAString paramSet;
    ALG_ID algId = 0;
    CPKCS7Encrypted::parseGostR3410KeyTransport(read.get_EncryptedKey(), encryptedKey, ephemeralKey, mac, ukm,
                                                paramSet, algId, parameters);
    EXPECT_EQ(ToBytes(ephemeralKey), Bytes(64, 3));
    EXPECT_EQ(ToBytes(parameters), params);
    EXPECT_EQ(paramSet, CAString("1.2.643.7.1.2.5.1.1"));

    // Three children: refused.
    CSequence three;
    three.addItem(CInteger(0));
    three.addItem(CSequence());
    three.addItem(CSequence());
    CError e = VskTest::Thrown([&] { read.Init(three, state.contentEncryptionAlgorithm()); });
    EXPECT_TRUE(StartsWith(e, u"Неверная информация на получателя?\r\nКоличество в KeyTransRecipientInfo"));
}

// ---- Session key blobs ----------------------------------------------------------------------------

TEST(SessionKeyBlobs, SimpleBlobLayoutAndLimits) {
    CDataBlob paramSet = Blob(Hex("300B06092A8503070102050101"));
    Bytes blob = ToBytes(CSessionKey::CImpl::makeSimpleBlob(Blob(Bytes(31, 0xAA)), Blob(Bytes(7, 0xBB)),
                                                            Blob(Bytes(3, 0xCC)), paramSet));
    Bytes expected =
        Hex("01200000"
            "1E660000"
            "FD514A37"
            "1E660000");
    expected.insert(expected.end(), 7, 0xBB);
    expected.push_back(0);
    expected.insert(expected.end(), 31, 0xAA);
    expected.push_back(0);
    expected.insert(expected.end(), 3, 0xCC);
    expected.push_back(0);
    Bytes tail = ToBytes(paramSet);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(blob, expected);

    struct Case {
        size_t key, ukm, mac;
        const char16_t* text;
    } limits[] = {
        {32, 9, 4, u"Вектор инициализации не вмещается"},
        {33, 8, 4, u"Зашифрованный сессионный ключ не вмещается"},
        {32, 8, 5, u"macKey (Gost28147-89-MAC) не вмещается"},
    };
    for (const Case& c : limits) {
        CError e = VskTest::Thrown([&] {
            CSessionKey::CImpl::makeSimpleBlob(Blob(Bytes(c.key, 1)), Blob(Bytes(c.ukm, 1)),
                                               Blob(Bytes(c.mac, 1)), paramSet);
        });
        EXPECT_TRUE(StartsWith(e, c.text));
        EXPECT_EQ(e.getCode(), 87);  // E_INVALIDARG, kept as its Win32 code
    }

    Bytes publicBlob =
        ToBytes(CSessionKey::CImpl::makePublicKeyBlob(Blob(Bytes(64, 7)), 0x2E49, Blob(Hex("3000"))));
    Bytes header =
        Hex("06200000"
            "492E0000"
            "4D414731"
            "00020000"
            "3000");
    EXPECT_EQ(Bytes(publicBlob.begin(), publicBlob.begin() + 18), header);
    EXPECT_EQ(publicBlob.size(), 18u + 64u);
}

TEST(SessionKeyObject, EmptyHandleAndKeylessObject) {
    CSessionKey empty(false);
    EXPECT_FALSE(empty.isCreated());
    CError e = VskTest::Thrown([&] { empty.get_hKey(); });
    EXPECT_NE(TextOf(e).find(u"не был создан!"), std::u16string::npos);

    CSessionKey key;
    EXPECT_FALSE(key.isCreated());
    // Without a key the target provider is only remembered; the IV is kept for the key to come.
    key.setCSP(nullptr);
    key.put_IV(Blob(Bytes(8, 5)));
    EXPECT_EQ(ToBytes(key.get_IV()), Bytes(8, 5));
    // Empty blobs are refused before anything else.
    CError bad = VskTest::Thrown([&] { key.getImpl()->Decrypt(CDataBlob(), 1, Blob(Bytes(3, 1))); });
    EXPECT_EQ(bad.getErrorNumber(), 130501u);
    // Settings with neither a key container nor a certificate name no recipient key.
    CDecryptSettings settings;
    CError none = VskTest::Thrown([&] {
        key.DecryptViaGostR3410KeyTransport(Transport({false, true, false}), true, settings);
    });
    EXPECT_TRUE(StartsWith(none, u"Не задан личный сертификат для расшифрования"));
    EXPECT_FALSE(key.isCreated());
}

TEST(PKCS7EncryptedReader, DamagedMessagesFailCleanly) {
    // A message with a real key-transport recipient, header bytes changed in turn and read in
    // 7-byte pieces: the reader, the recipient and the transport parser either work or raise CError.
    Bytes issuer = Hex("300C310A300806035504030C0163");
    Bytes serial = Hex("01");
    Bytes params = Hex("300B06092A8503070102010101");
    char oid[] = "1.2.643.7.1.1.1.1";
    CERT_INFO info{};
    info.Issuer = {static_cast<DWORD>(issuer.size()), issuer.data()};
    info.SerialNumber = {static_cast<DWORD>(serial.size()), serial.data()};
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = oid;
    info.SubjectPublicKeyInfo.Algorithm.Parameters = {static_cast<DWORD>(params.size()), params.data()};
    CEncryptedDataRecipient written;
    written.MakeKeyTransRecipientInfo(info, Blob(Bytes(32, 1)), Blob(Bytes(4, 2)), Blob(Bytes(64, 3)),
                                      Blob(Bytes(8, 4)));
    CPKCS7Encrypted writer;
    writer.recipientInfos().addItem(written.get_RecipientInfo());
    writer.setContentEncryptionAlgorithm(oid, Blob(Bytes(8, 9)), "1.2.643.7.1.2.5.1.1");
    Bytes message = ToBytes(writer.makePKCS7Enveloped(Blob(Bytes(20, 0x42)), false));
    Bytes tail = ToBytes(writer.makePKCS7Enveloped(Blob(Bytes(5, 0x43)), true));
    message.insert(message.end(), tail.begin(), tail.end());

    size_t readBack = 0;
    for (size_t i = 0; i < message.size(); i += (i < 64 ? 1 : 3)) {
        for (BYTE delta : {BYTE{0x01}, BYTE{0x80}, BYTE{0xFF}}) {
            Bytes damaged = message;
            damaged[i] ^= delta;
            CPKCS7Encrypted reader;
            CSet recipients;
            CSequence algorithm;
            for (size_t at = 0; at < damaged.size(); at += 7) {
                CError error;
                reader.getEncryptedContent(
                    CDataBlob(damaged.data() + at, std::min<size_t>(7, damaged.size() - at), true), &error,
                    &recipients, &algorithm);
            }
            if (recipients.isEmpty() || recipients.getCount() == 0 || algorithm.isEmpty()) continue;
            try {
                // The recipient record looks its certificate up in the stores: once per damaged byte.
                CDataBlob transport;
                if (delta == 0x80) {
                    CEncryptedDataRecipient recipient;
                    recipient.Init(*recipients.getItem(0), algorithm);
                    transport = recipient.get_EncryptedKey();
                } else {
                    CConstructed* node = castToConstructed(recipients.getItem(0));
                    if (!node || node->getCount() < 4) continue;
                    transport = node->getItem(3)->getContents();
                }
                CDataBlob a, b, c, d, e;
                CAString s;
                ALG_ID id = 0;
                CPKCS7Encrypted::parseGostR3410KeyTransport(transport, a, b, c, d, s, id, e);
                ++readBack;
            } catch (const CError&) {
            }
        }
    }
    // The bytes of the content and of the chunk lengths' neighbours leave the recipient readable.
    EXPECT_GT(readBack, 0u);
}
