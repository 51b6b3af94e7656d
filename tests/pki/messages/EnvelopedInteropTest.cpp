// Enveloped messages between the library and the openssl command with the GOST engine, for GOST R
// 34.10-2012 256 and 512 recipients made at test time: openssl's messages read block by block and
// their key transport unwrapped through the session key's blob chain; our DER and streamed messages
// decrypted by openssl and shown by its asn1parse with the indefinite levels and one chunk per block.
#include "messages/src/Pkcs7Encrypted.h"
#include "testSupport.h"

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/EncryptedDataRecipient.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/pki/SessionKey.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/crypt.h>
#include <vsk/platform/gostCipher.h>

#include "containerStore.h"
#include "keyMaterial.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

using namespace Vsk::ASN1;
using namespace Vsk::PKI;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;

namespace {

using Bytes = std::vector<BYTE>;

std::string Dir() {
    return VskTest::TempDir();
}
void WriteFile(const std::string& name, const Bytes& bytes) {
    std::ofstream out(Dir() + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
Bytes ReadFile(const std::string& name) {
    std::ifstream in(Dir() + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}
bool Shell(const std::string& command) {
    return std::system(("cd '" + Dir() + "' && (" + command + ") >/dev/null 2>&1 </dev/null").c_str()) == 0;
}
Bytes Pattern(size_t size, int seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<BYTE>(i * 31 + seed);
    return b;
}
CDataBlob Blob(const Bytes& b) {
    return CDataBlob(b.data(), b.size(), true);
}
Bytes ToBytes(const CDataBlob& b) {
    return Bytes(b.getData(), b.getData() + b.getSize());
}

struct RecipientCase {
    const char* name;
    DWORD provType;
};

// One recipient: a key container of the provider stand-in, its key for openssl and a certificate.
class EnvelopedInterop : public testing::TestWithParam<RecipientCase> {
protected:
    void SetUp() override {
        const RecipientCase& c = GetParam();
        // Each test makes its recipient's container afresh.
        std::filesystem::remove_all(std::string(std::getenv("KESTROVAN_USER_DIR")) + "/keys");
        base = std::string("env-") + c.name;
        HCRYPTPROV probe = 0;
        ASSERT_TRUE(CryptAcquireContextW(&probe, nullptr, nullptr, c.provType, CRYPT_VERIFYCONTEXT));
        DWORD type = 0;
        CWString providerName;
        ASSERT_TRUE(GetCSPParams(probe, &type, &providerName, nullptr, nullptr));
        CryptReleaseContext(probe, 0);
        provider = FindCSPInfo(c.provType, providerName);
        ASSERT_TRUE(provider);
        container = CKeyContainer(true);
        container.get_CommonSettings().put_Silent(true);
        container.New(provider.get(), CWString(u""), CWString(VskTest::Utf16(base).c_str()), false);
        container.Generate(true);

        DWORD error = 0;
        auto ctx = vsk::crypt::FindContext(container.get_hCryptProv().get_hCryptProv());
        ASSERT_TRUE(ctx);
        vsk::crypt::Pkey key = vsk::crypt::UnlockKey(*ctx, container.get_KeySpec(), error);
        ASSERT_TRUE(key) << error;
        spki = vsk::crypt::PublicKeyInfoDer(key.get());
        WriteFile(base + ".spki", spki);
        BIO* bio = BIO_new_file((Dir() + "/" + base + ".key").c_str(), "w");
        ASSERT_TRUE(bio &&
                    PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1);
        BIO_free(bio);
        ASSERT_TRUE(Shell("test -f env-issuer.key || openssl genpkey -algorithm RSA -out env-issuer.key"));
        ASSERT_TRUE(Shell("openssl pkey -engine gost -pubin -inform DER -in " + base + ".spki -out " + base +
                          ".pub && openssl x509 -engine gost -new -subj /CN=" + base +
                          " -key env-issuer.key -force_pubkey " + base + ".pub -outform DER -out " + base +
                          ".cer"));
        certDer = ReadFile(base + ".cer");
        cert = CertCreateCertificateContext(X509_ASN_ENCODING, certDer.data(),
                                            static_cast<DWORD>(certDer.size()));
        ASSERT_TRUE(cert);
    }
    void TearDown() override {
        if (cert) CertFreeCertificateContext(cert);
    }

    // Our enveloped message of `plain` for the recipient, in blocks of `block` bytes (0: one block).
    Bytes OurMessage(const Bytes& plain, size_t block) {
        const Bytes cek = Pattern(32, 3), iv = Pattern(8, 5);
        DWORD error = 0;
        Bytes transport =
            vsk::crypt::MakeGostKeyTransport(spki.data(), spki.size(), cek.data(), cek.size(), error);
        EXPECT_FALSE(transport.empty()) << error;
        CDataBlob encryptedKey, ephemeralKey, mac, ukm, parameters;
        CAString paramSet;
        ALG_ID algId = 0;
        CPKCS7Encrypted::parseGostR3410KeyTransport(Blob(transport), encryptedKey, ephemeralKey, mac, ukm,
                                                    paramSet, algId, parameters);
        CEncryptedDataRecipient recipient;
        recipient.MakeKeyTransRecipientInfo(*cert->pCertInfo, encryptedKey, mac, ephemeralKey, ukm);

        Bytes cipher(plain.size());
        vsk::crypt::Gost89Cfb cfb;
        EXPECT_TRUE(cfb.init(true, cek.data(), cek.size(), iv.data(), iv.size(),
                             vsk::crypt::GOST89_PARAMSET_TC26_Z, error));
        EXPECT_TRUE(cfb.update(plain.data(), plain.size(), cipher.data(), error));
        EXPECT_TRUE(cfb.final(error));

        CPKCS7Encrypted writer;
        writer.recipientInfos().addItem(recipient.get_RecipientInfo());
        writer.setContentEncryptionAlgorithm(cert->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId,
                                             Blob(iv), vsk::crypt::GOST89_PARAMSET_TC26_Z);
        if (block == 0) return ToBytes(writer.makePKCS7Enveloped(Blob(cipher), true));
        Bytes out;
        for (size_t at = 0; at < cipher.size(); at += block) {
            size_t n = std::min(block, cipher.size() - at);
            Bytes part = ToBytes(
                writer.makePKCS7Enveloped(CDataBlob(cipher.data() + at, n, true), at + n == cipher.size()));
            out.insert(out.end(), part.begin(), part.end());
        }
        return out;
    }

    std::string base;
    CRefPtr<CSPInfo> provider;
    CKeyContainer container;
    Bytes spki;
    Bytes certDer;
    PCCERT_CONTEXT cert = nullptr;
};

}  // namespace

TEST_P(EnvelopedInterop, OpensslMessageDecryptsThroughTheSessionKey) {
    const Bytes plain = Pattern(5000, 7);
    WriteFile(base + ".plain", plain);
    ASSERT_TRUE(Shell("openssl cms -encrypt -engine gost -binary -gost89 -outform DER -in " + base +
                      ".plain -out " + base + ".p7m " + base + ".cer"));
    const Bytes message = ReadFile(base + ".p7m");

    // The reader gives the same ciphertext and recipients whole and in 1-byte pieces.
    Bytes cipher;
    CSet recipients;
    CSequence algorithm;
    for (size_t piece : {message.size(), size_t{1}}) {
        CPKCS7Encrypted reader;
        Bytes got;
        for (size_t at = 0; at < message.size(); at += piece) {
            Vsk::Utils::CError error;
            CDataBlob out = reader.getEncryptedContent(
                CDataBlob(message.data() + at, std::min(piece, message.size() - at), true), &error,
                &recipients, &algorithm);
            ASSERT_TRUE(error.isEmpty()) << VskTest::Utf8(error.getMessage());
            got.insert(got.end(), out.getData(), out.getData() + out.getSize());
        }
        EXPECT_TRUE(reader.isContentComplete());
        EXPECT_EQ(got.size(), plain.size()) << piece;
        if (cipher.empty()) cipher = got;
        EXPECT_EQ(got, cipher) << piece;
    }
    ASSERT_EQ(recipients.getCount(), 1u);

    CEncryptedDataRecipient recipient;
    recipient.Init(*recipients.getItem(0), algorithm);
    EXPECT_EQ(ToBytes(recipient.get_SerialNumber()),
              Bytes(cert->pCertInfo->SerialNumber.pbData,
                    cert->pCertInfo->SerialNumber.pbData + cert->pCertInfo->SerialNumber.cbData));
    CDataBlob iv;
    CAString paramSet;
    CPKCS7Encrypted::parseGost28147_89Parameters(recipient.get_ContentEncryptionParameters(), iv, paramSet);

    CSessionKey key;
    CDecryptSettings settings;
    settings.put_KeyContainer(&container);
    key.DecryptViaGostR3410KeyTransport(recipient.get_EncryptedKey(), true, settings);
    ASSERT_TRUE(key.isCreated());
    HCRYPTKEY h = key.get_hKey();
    ASSERT_NE(h, HCRYPTKEY{0});
    ASSERT_TRUE(CryptSetKeyParam(h, KP_CIPHEROID, reinterpret_cast<const BYTE*>(paramSet.c_str()), 0));
    key.put_IV(iv);
    Bytes data = cipher;
    DWORD n = static_cast<DWORD>(data.size());
    ASSERT_TRUE(CryptDecrypt(h, 0, TRUE, 0, data.data(), &n)) << std::hex << GetLastError();
    EXPECT_EQ(data, plain);

    // The key moves into another provider and decrypts there with the same IV.
    CRefPtr<CSPInfo> target = provider;
    key.setCSP(target.get());
    ASSERT_NE(key.get_hKey(), HCRYPTKEY{0});
    ASSERT_TRUE(
        CryptSetKeyParam(key.get_hKey(), KP_CIPHEROID, reinterpret_cast<const BYTE*>(paramSet.c_str()), 0));
    data = cipher;
    ASSERT_TRUE(CryptDecrypt(key.get_hKey(), 0, TRUE, 0, data.data(), &n)) << std::hex << GetLastError();
    EXPECT_EQ(data, plain);
}

TEST_P(EnvelopedInterop, OurMessagesDecryptWithOpenssl) {
    const Bytes plain = Pattern(2500, 11);
    struct Form {
        const char* name;
        size_t block;
    } forms[] = {{"der", 0}, {"streamed", 1000}};
    for (const Form& f : forms) {
        const std::string file = base + "-" + f.name;
        WriteFile(file + ".p7m", OurMessage(plain, f.block));
        std::remove((Dir() + "/" + file + ".out").c_str());
        EXPECT_TRUE(Shell("openssl cms -decrypt -engine gost -binary -inform DER -in " + file +
                          ".p7m -recip " + base + ".cer -inkey " + base + ".key -out " + file + ".out"))
            << f.name;
        EXPECT_EQ(ReadFile(file + ".out"), plain) << f.name;
        ASSERT_TRUE(Shell("openssl asn1parse -inform DER -in " + file + ".p7m -i > " + file + ".txt"));
        Bytes listing = ReadFile(file + ".txt");
        std::string text(listing.begin(), listing.end());
        auto count = [&](const char* pattern) {
            std::regex re(pattern);
            return std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator());
        };
        if (f.block == 0) {
            EXPECT_EQ(count("l=inf"), 0) << text;
            EXPECT_EQ(count("l= *2500 prim: +cont \\[ 0 \\]"), 1) << text;
        } else {
            EXPECT_EQ(count("l=inf"), 5) << text;
            EXPECT_EQ(count("l= *1000 prim: +OCTET STRING"), 2) << text;
            EXPECT_EQ(count("l= *500 prim: +OCTET STRING"), 1) << text;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Recipients, EnvelopedInterop,
                         testing::Values(RecipientCase{"gost256", PROV_GOST_2012_256},
                                         RecipientCase{"gost512", PROV_GOST_2012_512}),
                         [](const auto& info) { return std::string(info.param.name); });
