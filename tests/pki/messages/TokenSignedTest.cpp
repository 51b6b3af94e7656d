// The token road of signed data, on the GOST test token loaded as a configured PKCS#11 library with an
// openssl-made key and certificate put on it: messages signed on the token (attached in one block and
// in several, detached; GOST R 34.10-2012 256 and 512) and bare token signatures verify with
// openssl, also for signers with negative or high-bit serial numbers; messages read through the token
// give the same result in any segmentation, detached ones verify with their content given apart, and a
// key-identifier signer is never reported valid.
#include "TokenSigned.h"

#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/Signature.h>
#include <vsk/pki/SignedData.h>

#include "tokenMessageFixture.h"

namespace {

using namespace token_messages;

using TokenSignedTest = TokenMessageFixture;

// Signed on the token in `pieces` blocks; the message comes with the final block.
Bytes signOnToken(const CCertificate& cert, const Kind& kind, const Bytes& data, size_t pieces,
                  bool detached) {
    CSignSettings settings;
    settings.put_SignerCert(&cert);
    settings.getImpl()->m_hashAlgorithm = kind.hashOid;
    settings.put_Detached(detached);
    settings.put_IncludeSignerCert(true);
    settings.put_IncludeDateTime(true);
    CSignedData signedData;
    signedData.SignStart(settings);
    CDataBlob message;
    const size_t step = (data.size() + pieces - 1) / pieces;
    for (size_t at = 0; at < data.size(); at += step) {
        const bool final = at + step >= data.size();
        signedData.SignBlock(blob(data.substr(at, step)), final ? &message : nullptr, final);
    }
    return bytes(message);
}

TEST_F(TokenSignedTest, TokenSignedMessagesVerifyWithOpenssl) {
    reporting([&] {
        struct Row {
            const Kind* kind;
            size_t pieces;
            bool detached;
        };
        // Several blocks of an attached message all reach its content, not only the last one.
        const Row rows[] = {{&Gost256, 1, false}, {&Gost256, 3, false}, {&Gost256, 3, true},
                            {&Gost512, 1, false}, {&Gost512, 4, false}, {&Gost512, 2, true}};
        const CCertificate cert256 = signerOnToken(Gost256);
        const CCertificate cert512 = signerOnToken(Gost512);
        const Bytes data = pattern(10000, 7);
        writeFile("ts-data.bin", data);
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.kind->name) + " pieces=" + std::to_string(row.pieces) +
                         (row.detached ? " detached" : " attached"));
            login();
            const Bytes message = signOnToken(row.kind == &Gost256 ? cert256 : cert512, *row.kind, data,
                                              row.pieces, row.detached);
            ASSERT_FALSE(message.empty());
            writeFile("ts-msg.der", message);
            std::string out;
            const std::string content = row.detached ? " -content ts-data.bin" : "";
            EXPECT_TRUE(openssl(
                "cms -verify -binary -inform DER -noverify -in ts-msg.der" + content + " -out ts-out.bin",
                &out))
                << out;
            EXPECT_EQ(readFile("ts-out.bin"), data);
        }
    });
}

TEST_F(TokenSignedTest, OpensslMessageVerifiesThroughTheToken) {
    reporting([&] {
        signerOnToken(Gost256);
        const Bytes data = pattern(5000, 3);
        writeFile("ts-data.bin", data);
        ASSERT_TRUE(openssl("x509 -inform DER -in ts256.cer -out ts256.pem"));
        ASSERT_TRUE(
            openssl("cms -sign -binary -nodetach -md md_gost12_256 -signer ts256.pem -inkey ts256.key "
                    "-outform DER -in ts-data.bin -out ts-os.der"));
        const Bytes message = readFile("ts-os.der");

        struct Row {
            const char* name;
            long offset;  // from the end of the message; -1: unchanged
            DWORD expected;
        };
        // The signature value is the message's last element; the content lies in its first part.
        const Row rows[] = {{"unchanged", -1, 0}, {"signature byte", 5, 1}, {"content byte", -2, 1}};
        for (const Row& row : rows) {
            SCOPED_TRACE(row.name);
            Bytes changed = message;
            if (row.offset >= 0) changed[changed.size() - 1 - row.offset] ^= 0x01;
            if (row.offset == -2) {
                const size_t at = changed.find(data.substr(100, 32));
                ASSERT_NE(at, std::string::npos);
                changed[at] ^= 0x01;
            }
            CDataBlob hash;
            CSignSettings settings;
            std::vector<CSignature> signatures;
            DWORD count = 0, state = 0;
            CTokenSigned reader(&hash, &settings, &signatures, &count, &state);
            CDataBlob content;
            bool detached = true;
            // Fed in two parts: the first is kept until the final one.
            reader.importByToken(blob(changed.substr(0, 700)), &content, false, &detached);
            reader.importByToken(blob(changed.substr(700)), &content, true, &detached);
            EXPECT_FALSE(detached);
            ASSERT_EQ(count, 1u);
            if (row.offset != -2) {
                EXPECT_EQ(bytes(content), data);
            }
            CSignatureVerifySettings verifySettings;
            EXPECT_EQ(signatures.at(0).Verify(&verifySettings), row.expected);
        }
    });
}

// The token road's reader with the members a signed-data object lends it.
struct TokenReader {
    CDataBlob hash;
    CSignSettings settings;
    std::vector<CSignature> signatures;
    DWORD count = 0, state = 0;
    CTokenSigned road{&hash, &settings, &signatures, &count, &state};

    // Fed in segments of `segment` bytes (0: one block); `emptyFinal` keeps every byte in non-final
    // segments and ends with an empty final block.
    CDataBlob read(const Bytes& message, size_t segment = 0, bool* detached = nullptr,
                   bool emptyFinal = false) {
        CDataBlob content;
        const size_t step = segment ? segment : message.size();
        for (size_t at = 0; at < message.size(); at += step) {
            const bool final = !emptyFinal && at + step >= message.size();
            road.importByToken(blob(message.substr(at, step)), &content, final, detached);
        }
        if (emptyFinal) road.importByToken(CDataBlob(), &content, true, detached);
        return content;
    }

    DWORD verify() {
        CSignatureVerifySettings verifySettings;
        return signatures.at(0).Verify(&verifySettings);
    }
};

Bytes withByteChanged(Bytes data, size_t at) {
    data.at(at) ^= 0x01;
    return data;
}

// Another certificate of the token's 256-bit key: the serial number in openssl's form, and extra
// openssl arguments; written as ts-same-key.cer.
CCertificate sameKeyCertificate(const std::string& serial, const std::string& extra = "") {
    EXPECT_TRUE(openssl("req -new -x509 -engine gost -key ts256.key -set_serial " + serial +
                        " -subj /CN=ts256same -days 30 " + extra + " -outform DER -out ts-same-key.cer"));
    CCertificate cert(true);
    cert.LoadFromBlob(blob(readFile("ts-same-key.cer")));
    return cert;
}

TEST_F(TokenSignedTest, SignerSerialIsTheCertificatesOwnInteger) {
    reporting([&] {
        signerOnToken(Gost256);
        const Bytes data = pattern(3000, 11);
        // High bit set (the certificate carries a leading zero byte), negative, and negative in one
        // byte: the signer identifier must hold the same INTEGER or no reader finds the signer.
        for (const char* serial : {"0x80112233", "-0x1234", "-0x80"}) {
            SCOPED_TRACE(serial);
            const CCertificate cert = sameKeyCertificate(serial);
            login();
            const Bytes message = signOnToken(cert, Gost256, data, 1, false);
            ASSERT_FALSE(message.empty());
            writeFile("ts-msg.der", message);
            std::string out;
            EXPECT_TRUE(
                openssl("cms -verify -binary -inform DER -noverify -in ts-msg.der -out ts-out.bin", &out))
                << out;
            EXPECT_TRUE(readFile("ts-out.bin") == data);

            TokenReader reader;
            EXPECT_TRUE(bytes(reader.read(message)) == data);
            ASSERT_EQ(reader.count, 1u);
            EXPECT_TRUE(reader.signatures[0].get_FoundInMessage());
            EXPECT_EQ(reader.verify(), 0u);
        }
    });
}

TEST_F(TokenSignedTest, BareTokenSignatureVerifiesWithOpenssl) {
    reporting([&] {
        struct Row {
            const Kind* kind;
            size_t pieces;  // 0: signHash of the data's ready hash
        };
        const Row rows[] = {{&Gost256, 1}, {&Gost256, 3}, {&Gost512, 2}, {&Gost256, 0}, {&Gost512, 0}};
        const CCertificate cert256 = signerOnToken(Gost256);
        const CCertificate cert512 = signerOnToken(Gost512);
        const Bytes data = pattern(5000, 5);
        writeFile("ts-data.bin", data);
        writeFile("ts-changed.bin", withByteChanged(data, 4321));
        for (const Row& row : rows) {
            const std::string name = row.kind->name;
            SCOPED_TRACE(name + " pieces=" + std::to_string(row.pieces));
            ASSERT_TRUE(openssl("x509 -inform DER -in " + name + ".cer -pubkey -noout -out ts-pub.pem"));
            login();
            CDataBlob hash;
            CSignSettings settings;
            settings.put_SignerCert(row.kind == &Gost256 ? &cert256 : &cert512);
            settings.getImpl()->m_hashAlgorithm = row.kind->hashOid;
            std::vector<CSignature> signatures;
            DWORD count = 0, state = 0;
            CTokenSigned road(&hash, &settings, &signatures, &count, &state);
            ASSERT_TRUE(road.signStart(settings));
            CDataBlob signature;
            if (row.pieces == 0) {
                std::string ignored;
                ASSERT_TRUE(
                    openssl(std::string("dgst -") + row.kind->md + " -binary -out ts-hash.bin ts-data.bin",
                            &ignored));
                road.signHash(&signature, blob(readFile("ts-hash.bin")));
            } else {
                const size_t step = (data.size() + row.pieces - 1) / row.pieces;
                for (size_t at = 0; at < data.size(); at += step) {
                    const bool final = at + step >= data.size();
                    road.clearSignBlock(blob(data.substr(at, step)), &signature, final);
                    if (!final) EXPECT_EQ(signature.getSize(), 0u);
                }
            }
            ASSERT_EQ(signature.getSize(), row.kind == &Gost256 ? 64u : 128u);
            // CryptoAPI's order is the token's s||r reversed; openssl reads s||r.
            signature.reverse();
            writeFile("ts-sig.bin", bytes(signature));
            const std::string verify =
                std::string("dgst -") + row.kind->md + " -verify ts-pub.pem -signature ts-sig.bin ";
            std::string out;
            EXPECT_TRUE(openssl(verify + "ts-data.bin", &out)) << out;
            EXPECT_FALSE(openssl(verify + "ts-changed.bin", &out)) << out;
        }
    });
}

TEST_F(TokenSignedTest, MessageReadInSmallSegmentsMatchesOneBlock) {
    reporting([&] {
        const CCertificate cert = signerOnToken(Gost256);
        const Bytes data = pattern(7000, 9);
        writeFile("ts-data.bin", data);
        ASSERT_TRUE(openssl("x509 -inform DER -in ts256.cer -out ts256.pem"));
        // openssl's streamed message: indefinite lengths and a content in chunks.
        ASSERT_TRUE(openssl(
            "cms -sign -binary -nodetach -stream -md md_gost12_256 -signer ts256.pem -inkey ts256.key "
            "-outform DER -in ts-data.bin -out ts-stream.der"));
        login();
        const struct {
            const char* name;
            Bytes message;
        } sources[] = {{"token, three blocks", signOnToken(cert, Gost256, data, 3, false)},
                       {"openssl, streamed", readFile("ts-stream.der")}};
        for (const auto& source : sources) {
            SCOPED_TRACE(source.name);
            ASSERT_FALSE(source.message.empty());
            TokenReader whole;
            bool wholeDetached = true;
            const CDataBlob wholeContent = whole.read(source.message, 0, &wholeDetached);
            ASSERT_TRUE(bytes(wholeContent) == data);
            EXPECT_FALSE(wholeDetached);
            ASSERT_EQ(whole.count, 1u);
            ASSERT_EQ(whole.verify(), 0u);

            const struct {
                size_t segment;
                bool emptyFinal;
            } feeds[] = {{1, false}, {7, false}, {1000, false}, {333, true}};
            for (const auto& feed : feeds) {
                SCOPED_TRACE("segment " + std::to_string(feed.segment) +
                             (feed.emptyFinal ? " empty final" : ""));
                TokenReader reader;
                bool detached = true;
                const CDataBlob content =
                    reader.read(source.message, feed.segment, &detached, feed.emptyFinal);
                EXPECT_TRUE(bytes(content) == data);
                EXPECT_FALSE(detached);
                EXPECT_EQ(reader.road.getAccumulatedInput().getSize(), 0u);
                EXPECT_EQ(bytes(reader.hash), bytes(whole.hash));
                EXPECT_TRUE(reader.road.getContentInfo().encode() == whole.road.getContentInfo().encode());
                ASSERT_EQ(reader.count, 1u);
                EXPECT_TRUE(reader.signatures[0].get_FoundInMessage());
                EXPECT_EQ(reader.verify(), 0u);
            }
        }
    });
}

TEST_F(TokenSignedTest, KeyIdentifierSignerIsReadWithoutCertificateAndNeverValid) {
    reporting([&] {
        signerOnToken(Gost256);
        const Bytes data = pattern(2000, 13);
        writeFile("ts-data.bin", data);
        sameKeyCertificate("7", "-addext subjectKeyIdentifier=hash");
        ASSERT_TRUE(openssl("x509 -inform DER -in ts-same-key.cer -out ts-keyid.pem"));
        // -keyid: a version-3 SignerInfo whose sid is the subjectKeyIdentifier.
        ASSERT_TRUE(openssl(
            "cms -sign -binary -nodetach -keyid -md md_gost12_256 -signer ts-keyid.pem -inkey ts256.key "
            "-outform DER -in ts-data.bin -out ts-keyid.der"));
        const Bytes message = readFile("ts-keyid.der");
        const size_t contentAt = message.find(data.substr(0, 64));
        ASSERT_NE(contentAt, std::string::npos);

        // The signer certificate travels in the message but is not matched to a key-identifier signer,
        // so the token cannot check the signature: the signer cannot be verified, whether its
        // signature is good or not. A changed content is invalid before the token is asked.
        struct Row {
            const char* name;
            Bytes message;
            DWORD expected;  // 110102: raised as "cannot be verified"
        } rows[] = {{"unchanged", message, 110102},
                    {"signature byte", withByteChanged(message, message.size() - 5), 110102},
                    {"content byte", withByteChanged(message, contentAt + 10), 1}};
        for (const Row& row : rows) {
            SCOPED_TRACE(row.name);
            TokenReader reader;
            bool detached = true;
            reader.read(row.message, 0, &detached);
            EXPECT_FALSE(detached);
            ASSERT_EQ(reader.count, 1u);
            const CSignature& signer = reader.signatures[0];
            EXPECT_FALSE(signer.get_FoundInMessage());
            EXPECT_EQ(signer.get_SignerCert().get_CertContext(), nullptr);
            EXPECT_EQ(signer.get_DigestAlgorithm(), Vsk::Utils::CAString(Gost256.hashOid));
            EXPECT_FALSE(signer.get_MessageDigest().getSize() == 0);
            if (row.expected == 110102) {
                try {
                    reader.verify();
                    ADD_FAILURE() << "a key-identifier signer verified";
                } catch (const Vsk::Utils::CError& error) {
                    EXPECT_EQ(error.getErrorNumber(), 110102u);
                }
            } else {
                EXPECT_EQ(reader.verify(), row.expected);
            }
        }
    });
}

TEST_F(TokenSignedTest, DetachedTokenMessageVerifiesWithItsContentGivenApart) {
    reporting([&] {
        const CCertificate cert256 = signerOnToken(Gost256);
        const CCertificate cert512 = signerOnToken(Gost512);
        const Bytes data = pattern(9000, 17);
        for (const Kind* kind : {&Gost256, &Gost512}) {
            login();
            const Bytes message = signOnToken(kind == &Gost256 ? cert256 : cert512, *kind, data, 2, true);
            ASSERT_FALSE(message.empty());
            const struct {
                const char* name;
                Bytes content;
                DWORD expected;
            } rows[] = {{"content as signed", data, 0},
                        {"one content byte changed", withByteChanged(data, 8999), 1}};
            for (const auto& row : rows) {
                SCOPED_TRACE(std::string(kind->name) + " " + row.name);
                TokenReader reader;
                bool detached = false;
                EXPECT_EQ(reader.read(message, 0, &detached).getSize(), 0u);
                EXPECT_TRUE(detached);
                ASSERT_EQ(reader.count, 1u);
                // The content comes apart, in blocks other than those it was signed in.
                const size_t step = 4000;
                for (size_t at = 0; at < row.content.size(); at += step)
                    reader.road.digestClearData(blob(row.content.substr(at, step)),
                                                at + step >= row.content.size());
                EXPECT_EQ(reader.verify(), row.expected);
            }
        }
    });
}

}  // namespace
