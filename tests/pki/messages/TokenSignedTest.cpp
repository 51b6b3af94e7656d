// The token road of signed data, on the GOST test token loaded as a configured PKCS#11 library with an
// openssl-made key and certificate put on it: messages signed on the token (attached in one block and
// in several, detached; GOST R 34.10-2012 256 and 512) verify with openssl; openssl's messages read
// and verify through the token.
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

}  // namespace
