// The token road of signed data, on the GOST test token loaded as a configured PKCS#11 library with an
// openssl-made key and certificate put on it: messages signed on the token (attached in one block and
// in several, detached; GOST R 34.10-2012 256 and 512) verify with openssl; openssl's messages read
// and verify through the token.
#include "TokenSigned.h"

#include <vsk/pkcs11/Token.h>
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/Signature.h>
#include <vsk/pki/SignedData.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/utils/global.h>

#include "certificates/certificateFixtures.h"
#include "gostTokenControl.h"
#include "providers/catalogueTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace Vsk::PKI;
using CertFixture::quote;
using CertFixture::run;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CWString;

namespace {

using Bytes = std::string;

std::filesystem::path dir() {
    return CertFixture::folder();
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

bool openssl(const std::string& arguments, std::string* output = nullptr) {
    static const std::string conf = [] {
        const std::string name = "ts-gost.cnf";
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

struct Kind {
    const char* name;
    const char* newKey;
    const char* hashOid;
    const char* md;
    CK_KEY_TYPE keyType;
    std::vector<CK_BYTE> hashParams;  // DER of the hash OID
};
const Kind Gost256{
    "ts256",         "gost2012_256", "1.2.643.7.1.1.2.2",
    "md_gost12_256", CKK_GOSTR3410,  {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02}};
const Kind Gost512{
    "ts512",         "gost2012_512",        "1.2.643.7.1.1.2.3",
    "md_gost12_512", VSK_CKK_GOSTR3410_512, {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x03}};

Bytes pattern(size_t size, unsigned seed) {
    Bytes out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<char>(x >> 16);
    }
    return out;
}

class TokenSignedTest : public catalogue_test::CatalogueFixture {
protected:
    void SetUp() override {
        CatalogueFixture::SetUp();
        ASSERT_FALSE(m_module.failed());
        clearTokenAsCsp();
        m_savedLibraries = Vsk::PKCS11::CPKCS11::getLibraries();
        Vsk::Utils::CFlags* flags = Vsk::InternalUtils::GetCommonFlags();
        m_savedFlags = flags->getFlags(1);
        flags->setFlags(Vsk::Utils::CFlags::TokenAsCsp, Vsk::Utils::CFlags::TokenAsCsp, false, 1);
        Vsk::Utils::CArray<CWString> names;
        names.add(CWString(VskTest::Utf16(m_module.path()).c_str()));
        Vsk::PKCS11::CPKCS11::setLibraries(names, false);
        ASSERT_EQ(m_module.configure("token0.serial = 0001\n"), CKR_OK);
        InitCspAlgInfo();
    }

    void TearDown() override {
        clearTokenAsCsp();
        Vsk::PKCS11::CPKCS11::setLibraries(m_savedLibraries, false);
        Vsk::InternalUtils::GetCommonFlags()->setFlags(m_savedFlags, 0xFFFFFFFF, false, 1);
        CatalogueFixture::TearDown();
    }

    // The token as the catalogue presents it.
    const Vsk::PKCS11::CToken* token() {
        for (const auto& p : GetCatalogueProviders())
            if (p->isToken()) {
                m_provider = p;
                return &p->getToken();
            }
        return nullptr;
    }

    void login() {
        const Vsk::PKCS11::CToken* t = token();
        ASSERT_NE(t, nullptr);
        if (!t->isLoggedIn()) {
            CWString pin(u"12345678");
            t->login(pin);
        }
    }

    // An openssl key and self-signed certificate of `kind`, the key put on the token.
    CCertificate signerOnToken(const Kind& kind) {
        const std::string name = kind.name;
        EXPECT_TRUE(openssl("req -x509 -engine gost -newkey " + std::string(kind.newKey) +
                            " -pkeyopt paramset:A -nodes -keyout " + name + ".key -subj /CN=" + name +
                            " -days 30 -outform DER -out " + name + ".cer"));
        std::string text;
        EXPECT_TRUE(openssl("pkey -engine gost -in " + name + ".key -text -noout", &text));
        const size_t at = text.find("Private key: ");
        EXPECT_NE(at, std::string::npos);
        std::string hex = text.substr(at + 13, text.find('\n', at) - at - 13);
        const size_t half = kind.keyType == CKK_GOSTR3410 ? 32 : 64;
        hex.insert(0, 2 * half - hex.size(), '0');
        std::vector<CK_BYTE> privateValue(half);
        for (size_t i = 0; i < half; ++i)
            privateValue[half - 1 - i] = static_cast<CK_BYTE>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));

        CCertificate cert(true);
        cert.LoadFromBlob(blob(readFile(name + ".cer")));
        const CDataBlob publicValue = cert.get_PublicKey();
        const CRYPT_OBJID_BLOB& params =
            cert.get_CertContext()->pCertInfo->SubjectPublicKeyInfo.Algorithm.Parameters;
        // The curve OID: the first element of the parameters SEQUENCE.
        std::vector<CK_BYTE> curve(params.pbData + 2, params.pbData + 4 + params.pbData[3]);

        login();
        CK_FUNCTION_LIST_PTR f = m_module.functions();
        CK_SESSION_HANDLE session = 0;
        EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
                  CKR_OK);
        CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY, privateClass = CKO_PRIVATE_KEY;
        CK_KEY_TYPE type = kind.keyType;
        CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
        std::vector<CK_BYTE> hash = kind.hashParams;
        CK_ATTRIBUTE pub[] = {{CKA_CLASS, &publicClass, sizeof publicClass},
                              {CKA_KEY_TYPE, &type, sizeof type},
                              {CKA_TOKEN, &yes, 1},
                              {CKA_PRIVATE, &no, 1},
                              {CKA_LABEL, const_cast<char*>(name.data()), name.size()},
                              {CKA_GOSTR3410_PARAMS, curve.data(), curve.size()},
                              {CKA_GOSTR3411_PARAMS, hash.data(), hash.size()},
                              {CKA_VALUE, publicValue.getData(), publicValue.getSize()}};
        CK_ATTRIBUTE priv[] = {{CKA_CLASS, &privateClass, sizeof privateClass},
                               {CKA_KEY_TYPE, &type, sizeof type},
                               {CKA_TOKEN, &yes, 1},
                               {CKA_PRIVATE, &yes, 1},
                               {CKA_LABEL, const_cast<char*>(name.data()), name.size()},
                               {CKA_GOSTR3410_PARAMS, curve.data(), curve.size()},
                               {CKA_GOSTR3411_PARAMS, hash.data(), hash.size()},
                               {CKA_VALUE, privateValue.data(), privateValue.size()}};
        CK_OBJECT_HANDLE handle = 0;
        EXPECT_EQ(f->C_CreateObject(session, pub, 8, &handle), CKR_OK);
        EXPECT_EQ(f->C_CreateObject(session, priv, 8, &handle), CKR_OK);
        f->C_CloseSession(session);
        return cert;
    }

    template <typename Body>
    static void reporting(Body body) {
        try {
            body();
        } catch (const Vsk::Utils::CError& error) {
            ADD_FAILURE() << "CError " << error.getErrorNumber() << ": " << VskTest::Utf8(error.getText());
        }
    }

    VskTest::GostTokenModule m_module{VSK_GOST_TOKEN_PATH};
    Vsk::Utils::CRefPtr<CSPInfo> m_provider;

private:
    Vsk::Utils::CArray<CWString> m_savedLibraries;
    DWORD m_savedFlags = 0;
};

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
