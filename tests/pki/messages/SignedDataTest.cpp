// The signed-data object against the openssl command with the GOST engine: our messages (GOST R
// 34.10-2012 256 and 512, RSA-2048; one block or many; attached or detached) verify in openssl and
// read back with us; openssl's messages read with us whatever the block split; bare signatures
// both ways; the errors and edge cases of signing and reading.
#include "SignedDataImpl.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/Signature.h>
#include <vsk/pki/SignedData.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/error.h>
#include <vsk/utils/global.h>

#include "certificates/certificateFixtures.h"
#include "certificates/derFixtures.h"
#include "fakeProviders.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

using namespace Vsk::PKI;
using CertFixture::quote;
using CertFixture::run;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;

namespace {

using Bytes = std::string;
constexpr DWORD Encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::filesystem::path dir() {
    return CertFixture::folder();
}

std::string path(const std::string& name) {
    return quote((dir() / name).string());
}

void writeFile(const std::string& name, const Bytes& bytes) {
    std::ofstream(dir() / name, std::ios::binary | std::ios::trunc) << bytes;
}

Bytes readFile(const std::string& name) {
    std::ifstream in(dir() / name, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

CDataBlob blob(const Bytes& bytes) {
    return CDataBlob(bytes.data(), bytes.size(), true);
}

Bytes bytes(const CDataBlob& blob) {
    return Bytes(reinterpret_cast<const char*>(blob.getData()), blob.getSize());
}

// openssl with the GOST engine loaded by its configuration, in the fixture folder; true when it
// succeeded.
bool openssl(const std::string& arguments, std::string* output = nullptr) {
    static const std::string conf = [] {
        const std::string name = "sd-gost.cnf";
        writeFile(name,
                  "openssl_conf = oc\n[oc]\nengines = es\n[es]\ngost = gs\n[gs]\n"
                  "dynamic_path = /usr/lib/x86_64-linux-gnu/engines-3/gost.so\ndefault_algorithms = ALL\n");
        return (dir() / name).string();
    }();
    bool ok = false;
    const std::string out = run(
        "cd " + quote(dir().string()) + " && OPENSSL_CONF=" + quote(conf) + " openssl " + arguments + " 2>&1",
        &ok);
    if (output) *output = out;
    return ok;
}

Bytes pattern(size_t size, unsigned seed) {
    Bytes out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<char>(x >> 16);
    }
    return out;
}

std::u16string message(const CError& error) {
    return error.getMessage().toU16();
}

// ---- Signers whose keys live in containers of our providers -------------------------------------------

struct Kind {
    const char* name;
    DWORD provType;
    const char* hashOid;
    const char* dgst;  // openssl dgst digest option
};

const Kind Gost256{"gost256", PROV_GOST_2012_256, "1.2.643.7.1.1.2.2", "-md_gost12_256"};
const Kind Gost512{"gost512", PROV_GOST_2012_512, "1.2.643.7.1.1.2.3", "-md_gost12_512"};
const Kind Rsa2048{"rsa2048", PROV_RSA_FULL, "2.16.840.1.101.3.4.2.1", "-sha256"};

struct Signer {
    CCertificate cert;
    std::string pem;     // the certificate
    std::string pubPem;  // its public key
};

// A signature key in a new container and a certificate for it issued by openssl's RSA issuer; the
// certificate carries the container's key-provider information, so the private key is found.
const Signer& signerOf(const Kind& kind, const std::string& suffix = {}) {
    static std::map<std::string, Signer> signers;
    const std::string name = std::string("sd-") + kind.name + suffix;
    auto found = signers.find(name);
    if (found != signers.end()) return found->second;
    Signer& s = signers[name];
    const std::u16string container = VskTest::Utf16(name);
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(CryptAcquireContextW(&prov, container.c_str(), nullptr, kind.provType,
                                     CRYPT_NEWKEYSET | CRYPT_SILENT))
        << std::hex << GetLastError();
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGenKey(prov, AT_SIGNATURE, kind.provType == PROV_RSA_FULL ? (2048u << 16) : 0, &key));
    CryptDestroyKey(key);
    DWORD size = 0;
    EXPECT_TRUE(CryptExportPublicKeyInfo(prov, AT_SIGNATURE, Encoding, nullptr, &size));
    std::vector<BYTE> info(size);
    EXPECT_TRUE(CryptExportPublicKeyInfo(prov, AT_SIGNATURE, Encoding,
                                         reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()), &size));
    CryptReleaseContext(prov, 0);
    writeFile(name + ".spki",
              DerFixture::spkiDer(*reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(info.data())));
    EXPECT_TRUE(openssl("genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out sd-issuer.key") ||
                std::filesystem::exists(dir() / "sd-issuer.key"));
    s.pubPem = name + ".pub.pem";
    s.pem = name + ".pem";
    EXPECT_TRUE(openssl("pkey -engine gost -pubin -inform DER -in " + name + ".spki -out " + s.pubPem));
    EXPECT_TRUE(openssl("x509 -engine gost -new -subj /CN=" + name + " -key sd-issuer.key -force_pubkey " +
                        s.pubPem + " -days 30 -out " + s.pem));
    EXPECT_TRUE(openssl("x509 -in " + s.pem + " -outform DER -out " + name + ".cer"));
    const Bytes der = readFile(name + ".cer");
    PCCERT_CONTEXT context = CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), der.size());
    EXPECT_NE(context, nullptr);
    CRYPT_KEY_PROV_INFO provInfo{};
    provInfo.pwszContainerName = const_cast<WCHAR*>(reinterpret_cast<const WCHAR*>(container.c_str()));
    provInfo.dwProvType = kind.provType;
    provInfo.dwKeySpec = AT_SIGNATURE;
    EXPECT_TRUE(CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &provInfo));
    s.cert.put_CertContext(context);
    CertFreeCertificateContext(context);
    return s;
}

CSignSettings settingsFor(const Kind& kind, bool detached) {
    CSignSettings settings;
    settings.put_SignerCert(&signerOf(kind).cert);
    settings.getImpl()->m_hashAlgorithm = kind.hashOid;
    settings.put_Detached(detached);
    return settings;
}

// Signs `data` in `pieces` blocks; every block's output is kept.
std::vector<Bytes> sign(CSignedData& signedData, const CSignSettings& settings, const Bytes& data,
                        size_t pieces) {
    std::vector<Bytes> outputs;
    signedData.SignStart(settings);
    const size_t step = (data.size() + pieces - 1) / pieces;
    for (size_t at = 0; at < data.size(); at += step) {
        const size_t n = std::min(step, data.size() - at);
        CDataBlob out;
        signedData.SignBlock(blob(data.substr(at, n)), &out, at + n == data.size());
        outputs.push_back(bytes(out));
    }
    return outputs;
}

Bytes joined(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) all += part;
    return all;
}

// Reads a message in pieces of `piece` bytes (0: one block), then the detached content; the
// content the message released.
Bytes read(CSignedData& signedData, const Bytes& message, size_t piece, const Bytes* content = nullptr) {
    Bytes released;
    if (piece == 0) piece = message.size();
    for (size_t at = 0; at < message.size(); at += piece) {
        const size_t n = std::min(piece, message.size() - at);
        CDataBlob out;
        signedData.ImportBlock(blob(message.substr(at, n)), &out, at + n == message.size());
        released += bytes(out);
    }
    if (content) signedData.ImportBlockClearData(blob(*content), true);
    return released;
}

DWORD verify(CSignedData& signedData, DWORD index = 0) {
    CSignature* signature = signedData.GetSignature(index);
    EXPECT_NE(signature, nullptr);
    if (!signature) return 99;
    CSignatureVerifySettings settings;
    return signature->Verify(&settings);
}

// The first signingTime openssl prints for a message, as a FILETIME.
uint64_t opensslSigningTime(const std::string& file) {
    std::string printed;
    EXPECT_TRUE(openssl("cms -cmsout -print -inform DER -in " + file, &printed));
    const size_t at = printed.find("UTCTIME:");
    EXPECT_NE(at, std::string::npos) << printed;
    if (at == std::string::npos) return 0;
    const size_t end = printed.find('\n', at);
    return CertFixture::ticks(CertFixture::opensslTime(printed.substr(at + 8, end - at - 8)));
}

uint64_t signingTimeOf(CSignedData& signedData, DWORD index = 0) {
    FILETIME time{};
    CSignature* signature = signedData.GetSignature(index);
    EXPECT_TRUE(signature && signature->get_SigningTime(&time));
    return CertFixture::ticks(time);
}

// A library error fails the test with its text instead of an unknown exception.
class SignedDataTest : public ::testing::Test {
protected:
    template <class Body>
    static void reporting(Body body) {
        try {
            body();
        } catch (const CError& error) {
            ADD_FAILURE() << "CError " << error.getErrorNumber() << ": " << VskTest::Utf8(error.getText());
        }
    }
};

}  // namespace

// Our messages in every combination: openssl verifies them (the content of an attached one equal to
// the data) and prints version 1, a UTCTime signingTime and no SMIMECapabilities; we read them back
// with status 0; a changed data byte fails in openssl and gives status 1 with us. A detached
// message comes whole from the final block; an attached one block by block.
TEST_F(SignedDataTest, OurMessagesVerifyInOpenssl) {
    reporting([&] {
        const Bytes data = pattern(150000, 1);
        writeFile("sd-data.bin", data);
        Bytes changed = data;
        changed[data.size() / 2] ^= 0x01;
        writeFile("sd-changed.bin", changed);
        for (const Kind* kind : {&Gost256, &Gost512, &Rsa2048}) {
            for (size_t pieces : {size_t(1), size_t(4)}) {
                for (bool detached : {false, true}) {
                    const std::string what = std::string(kind->name) + " pieces=" + std::to_string(pieces) +
                                             (detached ? " detached" : " attached");
                    CSignedData signedData;
                    const std::vector<Bytes> outputs =
                        sign(signedData, settingsFor(*kind, detached), data, pieces);
                    ASSERT_EQ(outputs.size(), pieces) << what;
                    if (detached)
                        for (size_t i = 0; i + 1 < pieces; ++i) EXPECT_TRUE(outputs[i].empty()) << what;
                    else
                        for (const Bytes& output : outputs) {
                            EXPECT_FALSE(output.empty()) << what;
                        }
                    // The signer of the message just made, with the settings' certificate.
                    ASSERT_NE(signedData.GetSignature(0), nullptr) << what;
                    EXPECT_EQ(signedData.GetSignature(1), nullptr) << what;
                    EXPECT_TRUE(signedData.GetSignature(0)->get_SignerCert().equal(signerOf(*kind).cert))
                        << what;
                    EXPECT_EQ(verify(signedData), 0u) << what;

                    const Bytes message = joined(outputs);
                    writeFile("sd-msg.der", message);
                    std::string said;
                    const std::string content = detached ? " -content sd-data.bin" : "";
                    EXPECT_TRUE(openssl(
                        "cms -verify -binary -inform DER -noverify -in sd-msg.der -out sd-out.bin" + content,
                        &said))
                        << what << "\n"
                        << said;
                    if (!detached) {
                        EXPECT_TRUE(readFile("sd-out.bin") == data) << what;
                    }
                    std::string printed;
                    EXPECT_TRUE(openssl("cms -cmsout -print -inform DER -in sd-msg.der", &printed)) << what;
                    EXPECT_NE(printed.find("version: 1"), std::string::npos) << what;
                    EXPECT_NE(printed.find("UTCTIME:"), std::string::npos) << what;
                    EXPECT_EQ(printed.find("SMIMECapabilities"), std::string::npos) << what;
                    EXPECT_EQ(printed.find("S/MIME Capabilities"), std::string::npos) << what;

                    // Back through our reader, then with one data byte changed.
                    CSignedData reader;
                    const Bytes released = read(reader, message, 0, detached ? &data : nullptr);
                    EXPECT_TRUE(released == (detached ? Bytes() : data)) << what;
                    EXPECT_EQ(verify(reader), 0u) << what;
                    EXPECT_EQ(signingTimeOf(reader), signingTimeOf(signedData)) << what;

                    Bytes tampered = message;
                    if (detached) {
                        EXPECT_FALSE(
                            openssl("cms -verify -binary -inform DER -noverify -in sd-msg.der -content "
                                    "sd-changed.bin -out /dev/null"))
                            << what;
                        read(reader, message, 0, &changed);
                    } else {
                        const size_t at = tampered.find(data.substr(0, 64));
                        ASSERT_NE(at, Bytes::npos) << what;
                        tampered[at + 10] ^= 0x01;
                        writeFile("sd-tampered.der", tampered);
                        EXPECT_FALSE(openssl(
                            "cms -verify -binary -inform DER -noverify -in sd-tampered.der -out /dev/null"))
                            << what;
                        read(reader, tampered, 0);
                    }
                    EXPECT_EQ(verify(reader), 1u) << what;
                }
            }
        }
    });
}

// Several MiB signed in blocks, as files are (their digest made on a thread of its own, the object's
// reader taking it from the encoder): the signer the object keeps verifies, and so does the message in
// openssl and in a reader of our own.
TEST_F(SignedDataTest, LargeMessageInBlocks) {
    reporting([&] {
        const Bytes data = pattern((6u << 20) + 5, 9);
        writeFile("sd-large.bin", data);
        for (bool detached : {false, true}) {
            const std::string what = detached ? "detached" : "attached";
            CSignedData signedData;
            const Bytes message = joined(sign(signedData, settingsFor(Gost256, detached), data, 4));
            EXPECT_EQ(verify(signedData), 0u) << what;
            writeFile("sd-large.der", message);
            const std::string content = detached ? " -content sd-large.bin" : "";
            EXPECT_TRUE(openssl("cms -verify -binary -inform DER -noverify -in sd-large.der -out /dev/null" +
                                content))
                << what;
            CSignedData reader;
            const Bytes released = read(reader, message, 1u << 20, detached ? &data : nullptr);
            EXPECT_TRUE(released == (detached ? Bytes() : data)) << what;
            EXPECT_EQ(verify(reader), 0u) << what;
        }
    });
}

// Messages made by openssl read with us from one block, from 1-byte pieces and, attached, from an
// input larger than the maximum file block size: the content equal to the data, status 0 and
// openssl's signing time; nothing comes out (and nothing fails) while fewer than 2048 bytes of a
// message's start have come.
TEST_F(SignedDataTest, OpensslMessagesRead) {
    reporting([&] {
        const CertFixture::Made signer =
            CertFixture::make("sd-openssl", CertFixture::Key::Gost256, "/CN=sd-openssl");
        const std::string keyFile = (dir() / "sd-openssl.key").string();
        const Bytes small = pattern(3000, 2);
        const Bytes large = pattern((4u << 20) + 1, 3);
        writeFile("sd-small.bin", small);
        writeFile("sd-large.bin", large);
        const std::string sign = "cms -sign -binary -md md_gost12_256 -outform DER -signer " +
                                 quote(signer.pem.string()) + " -inkey " + quote(keyFile);
        ASSERT_TRUE(openssl(sign + " -nodetach -in sd-small.bin -out sd-o-att.der"));
        ASSERT_TRUE(openssl(sign + " -in sd-small.bin -out sd-o-det.der"));
        ASSERT_TRUE(openssl(sign + " -nodetach -in sd-large.bin -out sd-o-large.der"));
        ASSERT_GT(Vsk::InternalUtils::GetMaxFileBlockSize(), 0u);

        struct Case {
            const char* file;
            const Bytes* data;
            bool detached;
            size_t piece;
        };
        const Case cases[] = {
            {"sd-o-att.der", &small, false, 0},   {"sd-o-att.der", &small, false, 1},
            {"sd-o-det.der", &small, true, 0},    {"sd-o-det.der", &small, true, 1},
            {"sd-o-large.der", &large, false, 0}, {"sd-o-large.der", &large, false, 1u << 20},
        };
        for (const Case& c : cases) {
            const std::string what = std::string(c.file) + " piece=" + std::to_string(c.piece);
            SCOPED_TRACE(what);
            const Bytes message = readFile(c.file);
            CSignedData reader;
            if (c.piece == 1) {
                // The start is held: no output and no error before 2048 bytes (or the final byte).
                const size_t held = std::min<size_t>(PendingStartBytes - 1, message.size() - 1);
                for (size_t i = 0; i < held; ++i) {
                    CDataBlob out;
                    reader.ImportBlock(blob(message.substr(i, 1)), &out, false);
                    ASSERT_EQ(out.getSize(), 0u) << what << " at " << i;
                }
                CDataBlob out;
                Bytes released;
                for (size_t i = held; i < message.size(); ++i) {
                    reader.ImportBlock(blob(message.substr(i, 1)), &out, i + 1 == message.size());
                    released += bytes(out);
                }
                if (c.detached) reader.ImportBlockClearData(blob(*c.data), true);
                EXPECT_TRUE(released == (c.detached ? Bytes() : *c.data)) << what;
            } else {
                EXPECT_TRUE(read(reader, message, c.piece, c.detached ? c.data : nullptr) ==
                            (c.detached ? Bytes() : *c.data))
                    << what;
            }
            EXPECT_EQ(verify(reader), 0u) << what;
            EXPECT_EQ(signingTimeOf(reader), opensslSigningTime(c.file)) << what;
        }
    });
}

// A detached message read in one final block waits for its content (ImportBlockClearData is refused
// outside that state); two signers give two signature objects.
TEST_F(SignedDataTest, DetachedStatesAndTwoSigners) {
    reporting([&] {
        const CertFixture::Made a = CertFixture::make("sd-a", CertFixture::Key::Gost256, "/CN=sd-a");
        const CertFixture::Made b = CertFixture::make("sd-b", CertFixture::Key::Gost256, "/CN=sd-b");
        writeFile("sd-two.bin", pattern(5000, 4));
        ASSERT_TRUE(openssl("cms -sign -binary -md md_gost12_256 -outform DER -signer " +
                            quote(a.pem.string()) + " -inkey " + path("sd-a.key") + " -signer " +
                            quote(b.pem.string()) + " -inkey " + path("sd-b.key") +
                            " -in sd-two.bin -out sd-two.der"));
        CSignedData reader;
        CDataBlob out;
        reader.ImportBlock(blob(readFile("sd-two.der")), &out, true);
        EXPECT_EQ(out.getSize(), 0u);
        EXPECT_EQ(reader.getImpl()->m_state, SignedStateDetachedRead);
        reader.ImportBlockClearData(blob(readFile("sd-two.bin")), true);
        EXPECT_EQ(reader.getImpl()->m_state, static_cast<DWORD>(SignedStateIdle));
        EXPECT_EQ(verify(reader, 0), 0u);
        EXPECT_EQ(verify(reader, 1), 0u);
        EXPECT_EQ(reader.GetSignature(2), nullptr);

        // The content of a message whose content was already given, or of an attached one, is refused.
        EXPECT_EQ(VskTest::Thrown([&] { reader.ImportBlockClearData(blob("x"), true); }).getErrorNumber(),
                  101303u);
    });
}

// Bare signatures in CryptoAPI's byte order: ours, reversed, verify with openssl dgst; openssl's,
// reversed, verify with us; a signature of another key is refused on both sides.
TEST_F(SignedDataTest, BareSignaturesBothWays) {
    reporting([&] {
        const Bytes data = pattern(10000, 5);
        writeFile("sd-bare.bin", data);
        for (const Kind* kind : {&Gost256, &Gost512}) {
            const std::string what = kind->name;
            CSignSettings settings = settingsFor(*kind, true);
            settings.getImpl()->m_flags = CSignSettings::FlagDetached | CSignSettings::FlagClearSignature;
            CSignedData signedData;
            const std::vector<Bytes> outputs = sign(signedData, settings, data, 3);
            ASSERT_EQ(outputs.size(), 3u);
            EXPECT_TRUE(outputs[0].empty() && outputs[1].empty()) << what;
            Bytes signature = outputs[2];
            ASSERT_FALSE(signature.empty()) << what;
            std::reverse(signature.begin(), signature.end());
            writeFile("sd-bare.sig", signature);
            std::string said;
            EXPECT_TRUE(openssl(std::string("dgst ") + kind->dgst + " -verify " + signerOf(*kind).pubPem +
                                    " -signature sd-bare.sig sd-bare.bin",
                                &said))
                << what << said;
            EXPECT_FALSE(openssl(std::string("dgst ") + kind->dgst + " -verify " +
                                 signerOf(*kind, "-other").pubPem + " -signature sd-bare.sig sd-bare.bin"))
                << what;
            std::reverse(signature.begin(), signature.end());
            EXPECT_EQ(
                CSignedData::VerifyClearSignature(blob(data), blob(signature), signerOf(*kind).cert, true),
                0u)
                << what;
            EXPECT_EQ(CSignedData::VerifyClearSignature(blob(data), blob(signature),
                                                        signerOf(*kind, "-other").cert, true),
                      static_cast<DWORD>(NTE_BAD_SIGNATURE))
                << what;
        }

        const CertFixture::Made made = CertFixture::make("sd-dgst", CertFixture::Key::Gost256, "/CN=sd-dgst");
        ASSERT_TRUE(openssl("dgst -md_gost12_256 -sign sd-dgst.key -out sd-dgst.sig sd-bare.bin"));
        Bytes signature = readFile("sd-dgst.sig");
        std::reverse(signature.begin(), signature.end());
        CCertificate cert(true);
        cert.LoadFromBlob(made.derBytes());
        EXPECT_EQ(CSignedData::VerifyClearSignature(blob(data), blob(signature), cert, true), 0u);
        EXPECT_EQ(
            CSignedData::VerifyClearSignature(blob(data), blob(signature), signerOf(Gost256).cert, true),
            static_cast<DWORD>(NTE_BAD_SIGNATURE));
        const CError noCert = VskTest::Thrown([&] {
            CSignedData::VerifyClearSignature(blob(data), blob(signature), CCertificate(true), true);
        });
        EXPECT_EQ(message(noCert).rfind(u"Не задан сертификат для проверки подписи.\r\n", 0), 0u);
        EXPECT_EQ(noCert.getCode(), static_cast<int32_t>(ERROR_INVALID_PARAMETER));
    });
}

// Signing errors: the step codes, and the settings a bare signature refuses (in the order of the
// checks) and the time stamp the message road cannot obtain, each raised before any data is used.
TEST_F(SignedDataTest, SigningErrors) {
    reporting([&] {
        const Bytes data = "some data";
        CSignedData empty(false);
        EXPECT_EQ(message(VskTest::Thrown([&] { empty.SignBlock(blob(data), nullptr, true); })),
                  u"Объект class Vsk::PKI::CSignedData::CImpl не был создан!");
        CSignedData signedData;
        EXPECT_EQ(VskTest::Thrown([&] { signedData.SignBlock(blob(data), nullptr, true); }).getErrorNumber(),
                  101709u);
        EXPECT_EQ(VskTest::Thrown([&] {
                      signedData.SignStart(CSignSettings(static_cast<const CSignSettings*>(nullptr)));
                  }).getErrorNumber(),
                  101601u);
        EXPECT_EQ(VskTest::Thrown([&] { signedData.SignStart(CSignSettings()); }).getErrorNumber(), 101602u);
        signedData.SignStart(settingsFor(Gost256, false));
        EXPECT_EQ(VskTest::Thrown([&] { signedData.SignBlock(CDataBlob(), nullptr, true); }).getErrorNumber(),
                  101701u);
        // The empty block reset the object.
        EXPECT_EQ(VskTest::Thrown([&] { signedData.SignBlock(blob(data), nullptr, true); }).getErrorNumber(),
                  101709u);

        struct Refusal {
            DWORD flags;
            const char16_t* text;
        };
        const DWORD clear = CSignSettings::FlagClearSignature;
        const Refusal refusals[] = {
            {clear | CSignSettings::FlagIncludeSignerCert, u"быть присоединенной."},
            {clear | CSignSettings::FlagDetached | CSignSettings::FlagIncludeSignerCert |
                 CSignSettings::FlagIncludeDateTime,
             u"содержать сертификат."},
            {clear | CSignSettings::FlagDetached | CSignSettings::FlagIncludeDateTime |
                 CSignSettings::FlagIncludeTimestamp,
             u"содержать дату-время."},
            {clear | CSignSettings::FlagDetached | CSignSettings::FlagIncludeTimestamp,
             u"содержать штамп времени."},
        };
        for (const Refusal& r : refusals) {
            CSignSettings settings = settingsFor(Gost256, true);
            settings.getImpl()->m_flags = r.flags;
            signedData.SignStart(settings);
            const CError error = VskTest::Thrown([&] { signedData.SignBlock(blob(data), nullptr, true); });
            EXPECT_EQ(
                message(error).rfind(
                    std::u16string(u"Не обернутая (\"голая\") подпись не может ") + r.text + u"\r\n", 0),
                0u)
                << VskTest::Utf8(error.getMessage());
            EXPECT_EQ(error.getCode(), static_cast<int32_t>(ERROR_INVALID_PARAMETER));
        }

        CSignSettings stamped = settingsFor(Gost256, false);
        stamped.put_IncludeTimestamp(true);
        signedData.SignStart(stamped);
        CDataBlob out;
        const CError refused = VskTest::Thrown([&] { signedData.SignBlock(blob(data), &out, true); });
        EXPECT_NE(message(refused).find(u"штамп времени"), std::u16string::npos);
        EXPECT_EQ(out.getSize(), 0u);
    });
}

// Reading errors: an empty block, content before a message, a start too short to tell the kind
// given as final, bytes that are no signed message; each leaves the object ready for a new message.
TEST_F(SignedDataTest, ReadingErrors) {
    reporting([&] {
        CSignedData reader;
        EXPECT_EQ(VskTest::Thrown([&] { reader.ImportBlock(CDataBlob(), nullptr, true); }).getErrorNumber(),
                  101301u);
        EXPECT_EQ(VskTest::Thrown([&] { reader.ImportBlockClearData(CDataBlob(), true); }).getErrorNumber(),
                  101301u);
        EXPECT_EQ(VskTest::Thrown([&] { reader.ImportBlockClearData(blob("x"), true); }).getErrorNumber(),
                  101303u);

        const CertFixture::Made signer =
            CertFixture::make("sd-openssl", CertFixture::Key::Gost256, "/CN=sd-openssl");
        writeFile("sd-err.bin", pattern(100, 6));
        ASSERT_TRUE(openssl("cms -sign -binary -nodetach -md md_gost12_256 -outform DER -signer " +
                            quote(signer.pem.string()) + " -inkey " + path("sd-openssl.key") +
                            " -in sd-err.bin -out sd-err.der"));
        const Bytes message = readFile("sd-err.der");

        const CError shortStart =
            VskTest::Thrown([&] { reader.ImportBlock(blob(message.substr(0, 10)), nullptr, true); });
        EXPECT_EQ(shortStart.getErrorNumber(), 101203u);
        EXPECT_EQ(shortStart.getCode(), static_cast<int32_t>(ERROR_MORE_DATA));

        // A start that declares a 200 MB digest-algorithm set never tells: it is refused once the
        // held start passes its cap, not kept growing block after block.
        const Bytes hugeHeader(
            "\x30\x80\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02\xA0\x80\x30\x80"
            "\x02\x01\x01\x31\x84\x0B\xEB\xC2\x00",
            26);
        const Bytes filler(256 * 1024, '\x30');
        CSignedData flood;
        const CError capped = VskTest::Thrown([&] {
            flood.ImportBlock(blob(hugeHeader), nullptr, false);
            for (int i = 0; i < 16; ++i) flood.ImportBlock(blob(filler), nullptr, false);
        });
        EXPECT_EQ(capped.getErrorNumber(), 101203u);
        EXPECT_EQ(CSignedData::IsDetached(blob(message)), false);

        struct Broken {
            const char* what;
            Bytes bytes;
        };
        Bytes truncated = message.substr(0, message.size() - 40);
        Bytes wrongType = message;
        wrongType[wrongType.find("\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02", 0, 9) + 8] = 0x03;
        const Broken broken[] = {
            {"not DER", Bytes(3000, 'A')},
            {"truncated", truncated},
            {"enveloped type", wrongType},
        };
        for (const Broken& b : broken) {
            VskTest::LogCapture capture(1);
            const CError error = VskTest::Thrown([&] { reader.ImportBlock(blob(b.bytes), nullptr, true); });
            EXPECT_TRUE(error.getErrorNumber() == 101203u || error.getErrorNumber() == 101305u)
                << b.what << " " << error.getErrorNumber();
            // A block the decoder refused is logged by its size and digest, never its bytes.
            for (const std::u16string& line :
                 capture.startingWith(u"PKI::CSignedData::CImpl::ImportBlock Signed"))
                EXPECT_EQ(line.rfind(
                              u"PKI::CSignedData::CImpl::ImportBlock Signed Data Block (bFinal=true): size=" +
                                  VskTest::Utf16(std::to_string(b.bytes.size())) + u", sha256=",
                              0),
                          0u)
                    << b.what;
            EXPECT_EQ(capture.startingWith(u"PKI::CSignedData::CImpl::ImportBlock Signed").size(),
                      error.getErrorNumber() == 101305u ? 1u : 0u)
                << b.what;
            // Ready for the next message.
            CDataBlob out;
            reader.ImportBlock(blob(message), &out, true);
            EXPECT_EQ(bytes(out), readFile("sd-err.bin")) << b.what;
            EXPECT_EQ(verify(reader), 0u) << b.what;
        }
    });
}

// A message whose digest algorithm the decoder does not know goes to the token road, and so do the
// message's further blocks, until the final one: the token road gets every byte of the message (it
// parses whole) and, without a token among the providers, says that no provider fits.
TEST_F(SignedDataTest, UnknownAlgorithmGoesToTheTokenRoad) {
    reporting([&] {
        const CertFixture::Made signer =
            CertFixture::make("sd-openssl", CertFixture::Key::Gost256, "/CN=sd-openssl");
        writeFile("sd-unk.bin", pattern(5000, 7));
        ASSERT_TRUE(openssl("cms -sign -binary -nodetach -md md_gost12_256 -outform DER -signer " +
                            quote(signer.pem.string()) + " -inkey " + path("sd-openssl.key") +
                            " -in sd-unk.bin -out sd-unk.der"));
        Bytes message = readFile("sd-unk.der");
        // id-tc26-gost3411-12-256 becomes an arc no provider knows.
        const Bytes oid("\x06\x08\x2a\x85\x03\x07\x01\x01\x02\x02", 10);
        for (size_t at = message.find(oid); at != Bytes::npos; at = message.find(oid, at + 1))
            message[at + 9] = 0x7f;

        CSignedData reader;
        const size_t piece = 2048;
        CError error;
        for (size_t at = 0; at < message.size(); at += piece) {
            const size_t n = std::min(piece, message.size() - at);
            CDataBlob out;
            if (at + n < message.size()) {
                reader.ImportBlock(blob(message.substr(at, n)), &out, false);
                EXPECT_EQ(out.getSize(), 0u);
                continue;
            }
            error = VskTest::Thrown([&] { reader.ImportBlock(blob(message.substr(at, n)), &out, true); });
        }
        EXPECT_NE(error.getMessage().toU16().find(u"Отсутствует подходящий криптопровайдер"),
                  std::u16string::npos)
            << VskTest::Utf8(error.getText());
        EXPECT_EQ(reader.getImpl()->getAccumulatedInput().getSize(), 0u);

        // A new message starts afresh: nothing of the old one is kept.
        reader.ImportBlock(blob(readFile("sd-unk.der")), nullptr, true);
        EXPECT_EQ(reader.getImpl()->getAccumulatedInput().getSize(), 0u);
        EXPECT_EQ(verify(reader), 0u);
    });
}

// A decoder whose providers lack the message's digest (NTE_BAD_ALGID) is opened once more on a
// provider of GOST R 34.10-2001 signatures; when that one lacks it too, the first error is raised.
TEST_F(SignedDataTest, DecoderWithoutTheAlgorithmIsRetriedOnce) {
    reporting([&] {
        CSignedData signedData;
        signedData.SignStart(settingsFor(Gost256, false));
        VskTest::UseFakeProviders(
            "[provider]\ntype = 80\nname = Refusing 2012\nrefuse_hash = 0x8021\n"
            "[provider]\ntype = 75\nname = Refusing 2001\nalg = 0x2e23 512 GOST 34.10-2001\n"
            "refuse_hash = 0x8021\n");
        ClearCspAlgInfo();
        VskTest::LogCapture capture(1);
        const CError error = VskTest::Thrown([&] { signedData.SignBlock(blob("data"), nullptr, true); });
        VskTest::UseBuiltInProviders();
        ClearCspAlgInfo();
        EXPECT_EQ(error.getErrorNumber(), 101705u) << VskTest::Utf8(error.getText());
        EXPECT_EQ(error.getCode(), static_cast<int32_t>(NTE_BAD_ALGID));
        EXPECT_EQ(capture.startingWith(u"PKI::CSignedData::CImpl::SignBlock MsgUpdate ").size(), 1u);
    });
}
