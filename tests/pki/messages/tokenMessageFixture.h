// A PKCS#11 token for message tests: the GOST test token loaded as the configured library and presented
// as a provider, with openssl-made GOST keys and certificates put on it, and openssl run beside it.
#pragma once

#include <vsk/pkcs11/Token.h>
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
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

namespace token_messages {

using namespace Vsk::PKI;
using CertFixture::quote;
using CertFixture::run;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CWString;

using Bytes = std::string;

inline std::filesystem::path dir() {
    return CertFixture::folder();
}
inline void writeFile(const std::string& name, const Bytes& bytes) {
    std::ofstream(dir() / name, std::ios::binary | std::ios::trunc) << bytes;
}
inline Bytes readFile(const std::string& name) {
    std::ifstream in(dir() / name, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
inline CDataBlob blob(const Bytes& bytes) {
    return CDataBlob(bytes.data(), bytes.size(), true);
}
inline Bytes bytes(const CDataBlob& blob) {
    return Bytes(reinterpret_cast<const char*>(blob.getData()), blob.getSize());
}

inline bool openssl(const std::string& arguments, std::string* output = nullptr) {
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
inline const Kind Gost256{
    "ts256",         "gost2012_256", "1.2.643.7.1.1.2.2",
    "md_gost12_256", CKK_GOSTR3410,  {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02}};
inline const Kind Gost512{
    "ts512",         "gost2012_512",        "1.2.643.7.1.1.2.3",
    "md_gost12_512", VSK_CKK_GOSTR3410_512, {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x03}};

inline Bytes pattern(size_t size, unsigned seed) {
    Bytes out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<char>(x >> 16);
    }
    return out;
}

class TokenMessageFixture : public catalogue_test::CatalogueFixture {
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

}  // namespace token_messages
