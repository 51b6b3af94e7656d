// Key containers of the provider stand-in made for a test, with certificates that openssl (GOST
// engine) issues for their keys: a GOST R 34.10-2012 256 exchange key per container, its public key
// as PEM for openssl, and the certificate written into the container when a test wants it there.
#pragma once

#include "certificates/certificateFixtures.h"
#include "certificates/derFixtures.h"

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/Csp.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/array.h>
#include <vsk/utils/dataBlob.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace ContainerFixture {

using namespace Vsk::Utils;
using namespace Vsk::PKI;
using CertFixture::quote;
using CertFixture::run;
using DerFixture::spkiDer;

constexpr DWORD GostType = 80;
constexpr DWORD Encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// One container of the stand-in made for the test: a GOST R 34.10-2012 256 exchange key, its public
// key as PEM for openssl, and its PUBLICKEYBLOB.
struct CMadeContainer {
    std::string uniqueName;
    std::u16string providerName;
    std::filesystem::path publicPem;
    CDataBlob exported;
};

inline HCRYPTPROV acquire(const std::u16string& name, DWORD flags) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, reinterpret_cast<const WCHAR*>(name.c_str()), nullptr, GostType, flags))
        return 0;
    return prov;
}

inline CMadeContainer makeContainer(const std::u16string& name, bool machine) {
    CMadeContainer made;
    const DWORD scope = machine ? CRYPT_MACHINE_KEYSET : 0;
    HCRYPTPROV prov = acquire(name, CRYPT_NEWKEYSET | CRYPT_SILENT | scope);
    EXPECT_NE(prov, 0u) << "CRYPT_NEWKEYSET failed: " << std::hex << GetLastError();
    if (!prov) return made;
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, &key)) << std::hex << GetLastError();
    DWORD size = 0;
    EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size));
    std::string blob(size, '\0');
    EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, reinterpret_cast<BYTE*>(blob.data()), &size));
    made.exported = CDataBlob(blob.data(), size, true);
    DWORD uniqueSize = 0;
    EXPECT_TRUE(CryptGetProvParam(prov, PP_UNIQUE_CONTAINER, nullptr, &uniqueSize, 0));
    std::string unique(uniqueSize, '\0');
    EXPECT_TRUE(
        CryptGetProvParam(prov, PP_UNIQUE_CONTAINER, reinterpret_cast<BYTE*>(unique.data()), &uniqueSize, 0));
    made.uniqueName = unique.c_str();
    DWORD infoSize = 0;
    EXPECT_TRUE(CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, Encoding, nullptr, &infoSize));
    std::vector<BYTE> info(infoSize);
    EXPECT_TRUE(CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, Encoding,
                                         reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()), &infoSize));
    const std::filesystem::path base = CertFixture::folder() / std::string(name.begin(), name.end());
    writeFile(base.string() + ".pub.der",
              spkiDer(*reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(info.data())));
    made.publicPem = base.string() + ".pub.pem";
    bool ok = false;
    run("openssl pkey -engine gost -pubin -inform DER -in " + quote(base.string() + ".pub.der") + " -out " +
            quote(made.publicPem.string()) + " 2>&1",
        &ok);
    EXPECT_TRUE(ok) << "openssl could not read the container's public key";
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    return made;
}

// A certificate issued by a test authority for the public key in `publicPem`.
inline CDataBlob issue(const std::filesystem::path& publicPem, const std::string& subject) {
    const std::filesystem::path dir = CertFixture::folder();
    const std::string ca = (dir / "binding-ca").string();
    bool ok = true;
    if (!std::filesystem::exists(ca + ".pem"))
        run("openssl req -x509 -engine gost -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout " +
                quote(ca + ".key") + " -out " + quote(ca + ".pem") + " -subj '/CN=Binding CA' -days 30 2>&1",
            &ok);
    EXPECT_TRUE(ok);
    const std::string out = (dir / (subject + ".der")).string();
    run("openssl x509 -new -engine gost -subj " + quote("/CN=" + subject) + " -force_pubkey " +
            quote(publicPem.string()) + " -CA " + quote(ca + ".pem") + " -CAkey " + quote(ca + ".key") +
            " -days 30 -outform DER -out " + quote(out) + " 2>&1",
        &ok);
    EXPECT_TRUE(ok) << "openssl could not issue the certificate";
    return CertFixture::readFile(out);
}

// Writes the certificate into the container's exchange key.
inline void storeInContainer(const std::u16string& name, bool machine, const CDataBlob& certificate) {
    HCRYPTPROV prov = acquire(name, CRYPT_SILENT | (machine ? CRYPT_MACHINE_KEYSET : 0));
    ASSERT_NE(prov, 0u);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    EXPECT_TRUE(CryptSetKeyParam(key, KP_CERTIFICATE, certificate.getData(), 0))
        << std::hex << GetLastError();
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

inline CCertificate load(const CDataBlob& der) {
    CCertificate certificate(true);
    certificate.LoadFromBlob(der);
    return certificate;
}

inline CRefPtr<CSPInfo> gostProvider() {
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, GostType, CRYPT_VERIFYCONTEXT));
    DWORD type = 0;
    CWString name;
    EXPECT_TRUE(GetCSPParams(prov, &type, &name, nullptr, nullptr));
    CryptReleaseContext(prov, 0);
    return FindCSPInfo(GostType, name);
}

inline const CKeyContainer* findListed(const CArray<CKeyContainer>& list, const std::u16string& name) {
    for (const CKeyContainer& container : list)
        if (container.get_Name().toU16() == name) return &container;
    return nullptr;
}

}  // namespace ContainerFixture
