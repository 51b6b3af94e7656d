// Key functions of the provider stand-in on real containers, checked against the openssl command
// with the GOST engine, and the private key of a certificate (CryptAcquireCertificatePrivateKey,
// CryptFindCertificateKeyProvInfo).
#include <vsk/platform/cert.h>
#include <vsk/platform/certname.h>
#include <vsk/platform/crypt.h>
#include <vsk/platform/kernel.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

struct KindCase {
    const char* name;
    DWORD provType;
    ALG_ID alg;  // asked of CryptGenKey
    DWORD spec;
    ALG_ID keyAlg;
    DWORD keyLen;
    ALG_ID hashAlg;
    const char* digestOption;  // pkeyutl's option for RSA; empty for GOST
};

const KindCase Kinds[] = {
    {"gost256", PROV_GOST_2012_256, AT_KEYEXCHANGE, AT_KEYEXCHANGE, CALG_DH_GR3410_12_256_SF, 512,
     CALG_GR3411_2012_256, ""},
    {"gost512", PROV_GOST_2012_512, CALG_GR3410_12_512, AT_SIGNATURE, CALG_GR3410_12_512, 1024,
     CALG_GR3411_2012_512, ""},
    {"rsa2048", PROV_RSA_FULL, AT_KEYEXCHANGE, AT_KEYEXCHANGE, CALG_RSA_KEYX, 2048, CALG_SHA_256,
     " -pkeyopt digest:sha256"},
};

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

Bytes Reversed(Bytes bytes) {
    return Bytes(bytes.rbegin(), bytes.rend());
}

// A context of a new container (silent) of the kind's provider type.
HCRYPTPROV NewContainer(const std::u16string& name, DWORD provType, DWORD extraFlags = 0) {
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(CryptAcquireContextW(&prov, name.c_str(), nullptr, provType,
                                     CRYPT_NEWKEYSET | CRYPT_SILENT | extraFlags))
        << std::hex << GetLastError();
    return prov;
}

Bytes KeyParam(HCRYPTKEY key, DWORD param) {
    DWORD size = 0;
    if (!CryptGetKeyParam(key, param, nullptr, &size, 0)) return {};
    Bytes out(size);
    if (!CryptGetKeyParam(key, param, out.data(), &size, 0)) return {};
    out.resize(size);
    return out;
}

DWORD DwordParam(HCRYPTKEY key, DWORD param) {
    Bytes b = KeyParam(key, param);
    DWORD v = 0;
    if (b.size() == sizeof v) std::memcpy(&v, b.data(), sizeof v);
    return v;
}

Bytes ExportPublic(HCRYPTKEY key) {
    DWORD size = 0;
    if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size)) return {};
    Bytes out(size);
    if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, out.data(), &size)) return {};
    out.resize(size);
    return out;
}

// The container key's CERT_PUBLIC_KEY_INFO block.
Bytes ExportInfo(HCRYPTPROV prov, DWORD spec) {
    DWORD size = 0;
    if (!CryptExportPublicKeyInfo(prov, spec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, nullptr, &size))
        return {};
    Bytes out(size);
    if (!CryptExportPublicKeyInfo(prov, spec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                  reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(out.data()), &size))
        return {};
    return out;
}

const CERT_PUBLIC_KEY_INFO* Info(const Bytes& block) {
    return reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(block.data());
}

// SubjectPublicKeyInfo DER rebuilt from a CERT_PUBLIC_KEY_INFO (through OpenSSL's own parser of the
// OID text), for the openssl command.
Bytes SpkiDer(const CERT_PUBLIC_KEY_INFO& info) {
    auto header = [](Bytes& out, BYTE tag, size_t size) {
        out.push_back(tag);
        if (size < 0x80) {
            out.push_back(static_cast<BYTE>(size));
        } else if (size < 0x100) {
            out.push_back(0x81);
            out.push_back(static_cast<BYTE>(size));
        } else {
            out.push_back(0x82);
            out.push_back(static_cast<BYTE>(size >> 8));
            out.push_back(static_cast<BYTE>(size));
        }
    };
    ASN1_OBJECT* obj = OBJ_txt2obj(info.Algorithm.pszObjId, 1);
    Bytes oid(static_cast<size_t>(i2d_ASN1_OBJECT(obj, nullptr)));
    unsigned char* p = oid.data();
    i2d_ASN1_OBJECT(obj, &p);
    ASN1_OBJECT_free(obj);
    Bytes alg;
    header(alg, 0x30, oid.size() + info.Algorithm.Parameters.cbData);
    alg.insert(alg.end(), oid.begin(), oid.end());
    alg.insert(alg.end(), info.Algorithm.Parameters.pbData,
               info.Algorithm.Parameters.pbData + info.Algorithm.Parameters.cbData);
    Bytes bits;
    header(bits, 0x03, info.PublicKey.cbData + 1);
    bits.push_back(static_cast<BYTE>(info.PublicKey.cUnusedBits));
    bits.insert(bits.end(), info.PublicKey.pbData, info.PublicKey.pbData + info.PublicKey.cbData);
    Bytes spki;
    header(spki, 0x30, alg.size() + bits.size());
    spki.insert(spki.end(), alg.begin(), alg.end());
    spki.insert(spki.end(), bits.begin(), bits.end());
    return spki;
}

Bytes Digest(HCRYPTPROV prov, ALG_ID alg, const std::string& text, HCRYPTHASH* keep = nullptr) {
    HCRYPTHASH hash = 0;
    EXPECT_TRUE(CryptCreateHash(prov, alg, 0, 0, &hash));
    CryptHashData(hash, reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()), 0);
    DWORD size = 64;
    Bytes value(size);
    CryptGetHashParam(hash, HP_HASHVAL, value.data(), &size, 0);
    value.resize(size);
    if (keep)
        *keep = hash;
    else
        CryptDestroyHash(hash);
    return value;
}

Bytes Sign(HCRYPTPROV prov, ALG_ID alg, DWORD spec, const std::string& text) {
    HCRYPTHASH hash = 0;
    EXPECT_TRUE(CryptCreateHash(prov, alg, 0, 0, &hash));
    CryptHashData(hash, reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()), 0);
    DWORD size = 0;
    if (!CryptSignHashW(hash, spec, nullptr, 0, nullptr, &size)) {
        ADD_FAILURE() << "size query: " << std::hex << GetLastError();
        CryptDestroyHash(hash);
        return {};
    }
    Bytes signature(size);
    if (!CryptSignHashW(hash, spec, nullptr, 0, signature.data(), &size)) {
        ADD_FAILURE() << "CryptSignHashW: " << std::hex << GetLastError();
        signature.clear();
    } else {
        signature.resize(size);
    }
    CryptDestroyHash(hash);
    return signature;
}

// The openssl options that load the GOST engine for a kind.
std::string Engine(const KindCase& k) {
    return k.digestOption[0] ? "" : " -engine gost";
}

// A self-signed RSA issuer for the certificates the tests make with openssl, made once.
const std::string& IssuerKey() {
    static const std::string key = [] {
        EXPECT_TRUE(
            Shell("test -f issuer.key || openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 "
                  "-out issuer.key"));
        return std::string("issuer.key");
    }();
    return key;
}

// A certificate that openssl issues for the public key `spki` (DER), as DER.
Bytes IssueCertificate(const Bytes& spki, const std::string& base, const std::string& subject) {
    WriteFile(base + ".spki", spki);
    EXPECT_TRUE(Shell("openssl pkey -engine gost -pubin -inform DER -in " + base + ".spki -out " + base +
                      ".pub.pem && openssl x509 -engine gost -new -subj '/CN=" + subject + "' -key " +
                      IssuerKey() + " -force_pubkey " + base + ".pub.pem -days 30 -outform DER -out " + base +
                      ".cer"));
    return ReadFile(base + ".cer");
}

// A certificate context freed at the end of the scope, also when an assertion ends a test early.
struct CertFree {
    void operator()(PCCERT_CONTEXT cert) const { CertFreeCertificateContext(cert); }
};
using CertPtr = std::unique_ptr<const CERT_CONTEXT, CertFree>;

CertPtr MakeCert(const Bytes& der) {
    return CertPtr(
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
}

class KeysTest : public testing::TestWithParam<KindCase> {};

// Generate, read back the parameters, sign with the stand-in and verify the reversed signature with
// openssl; a signature of openssl verifies through a key imported from the public-key blob.
TEST_P(KeysTest, GenerateSignAndVerifyWithOpenssl) {
    const KindCase& k = GetParam();
    const std::u16string name = VskTest::Utf16(std::string("sign-") + k.name);
    HCRYPTPROV prov = NewContainer(name, k.provType);
    ASSERT_NE(prov, 0u);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, k.alg, k.provType == PROV_RSA_FULL ? (2048u << 16) : 0, &key))
        << std::hex << GetLastError();
    EXPECT_EQ(DwordParam(key, KP_ALGID), k.keyAlg);
    EXPECT_EQ(DwordParam(key, KP_KEYLEN), k.keyLen);
    EXPECT_EQ(DwordParam(key, KP_PERMISSIONS), 0x3Fu & ~CRYPT_EXPORT);
    const Bytes blob = ExportPublic(key);
    ASSERT_GE(blob.size(), 16u);
    EXPECT_EQ(blob[0], PUBLICKEYBLOB);
    EXPECT_EQ(blob[4] | blob[5] << 8, static_cast<int>(k.keyAlg));
    CryptDestroyKey(key);

    // The key is there for a new context too.
    HCRYPTPROV again = 0;
    ASSERT_TRUE(CryptAcquireContextW(&again, name.c_str(), nullptr, k.provType, CRYPT_SILENT));
    HCRYPTKEY user = 0;
    ASSERT_TRUE(CryptGetUserKey(again, k.spec, &user)) << std::hex << GetLastError();
    EXPECT_EQ(ExportPublic(user), blob);
    EXPECT_EQ(DwordParam(user, KP_KEYLEN), k.keyLen);
    HCRYPTKEY missing = 0;
    EXPECT_FALSE(CryptGetUserKey(again, k.spec == AT_KEYEXCHANGE ? AT_SIGNATURE : AT_KEYEXCHANGE, &missing));
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);

    const std::string base = std::string("keys-") + k.name;
    const Bytes info = ExportInfo(again, k.spec);
    ASSERT_FALSE(info.empty());
    WriteFile(base + ".spki", SpkiDer(*Info(info)));
    const Bytes digest = Digest(again, k.hashAlg, "message");
    WriteFile(base + ".dgst", digest);
    const Bytes signature = Sign(again, k.hashAlg, k.spec, "message");
    ASSERT_FALSE(signature.empty());
    WriteFile(base + ".sig", Reversed(signature));
    EXPECT_TRUE(Shell("openssl pkeyutl" + Engine(k) + " -verify -pubin -keyform DER -inkey " + base +
                      ".spki -in " + base + ".dgst -sigfile " + base + ".sig" + k.digestOption));
    WriteFile(base + ".bad", signature);
    EXPECT_FALSE(Shell("openssl pkeyutl" + Engine(k) + " -verify -pubin -keyform DER -inkey " + base +
                       ".spki -in " + base + ".dgst -sigfile " + base + ".bad" + k.digestOption));

    // Verification through the container's key and through an imported public key.
    HCRYPTKEY imported = 0;
    ASSERT_TRUE(CryptImportKey(again, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &imported));
    EXPECT_EQ(ExportPublic(imported), blob);
    for (HCRYPTKEY verifier : {user, imported}) {
        HCRYPTHASH hash = 0;
        Digest(again, k.hashAlg, "message", &hash);
        EXPECT_TRUE(CryptVerifySignatureW(hash, signature.data(), static_cast<DWORD>(signature.size()),
                                          verifier, nullptr, 0))
            << std::hex << GetLastError();
        CryptDestroyHash(hash);
        Digest(again, k.hashAlg, "other message", &hash);
        EXPECT_FALSE(CryptVerifySignatureW(hash, signature.data(), static_cast<DWORD>(signature.size()),
                                           verifier, nullptr, 0));
        EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
        CryptDestroyHash(hash);
    }
    CryptDestroyKey(imported);
    CryptDestroyKey(user);
    CryptReleaseContext(again, 0);
    CryptReleaseContext(prov, 0);
}

// KP_CERTIFICATE keeps only a certificate of the key's own public key; a certificate that openssl
// issues for the key compares equal with the container's CERT_PUBLIC_KEY_INFO, and its key imported
// exports the container key's blob byte for byte.
TEST_P(KeysTest, CertificateOfTheKey) {
    const KindCase& k = GetParam();
    const std::u16string name = VskTest::Utf16(std::string("cert-") + k.name);
    HCRYPTPROV prov = NewContainer(name, k.provType);
    ASSERT_NE(prov, 0u);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, k.alg, CRYPT_EXPORTABLE, &key));
    EXPECT_EQ(DwordParam(key, KP_PERMISSIONS), 0x3Fu);
    DWORD size = 0;
    EXPECT_FALSE(CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0));
    EXPECT_EQ(GetLastError(), NTE_NOT_FOUND);

    const Bytes info = ExportInfo(prov, k.spec);
    ASSERT_FALSE(info.empty());
    const std::string base = std::string("cert-") + k.name;
    const Bytes own = IssueCertificate(SpkiDer(*Info(info)), base, std::string("Own ") + k.name);
    ASSERT_FALSE(own.empty());

    // A certificate for another key of the same kind is refused and nothing is kept.
    HCRYPTPROV other = NewContainer(name + u"-other", k.provType);
    HCRYPTKEY otherKey = 0;
    ASSERT_TRUE(CryptGenKey(other, k.alg, 0, &otherKey));
    const Bytes foreign =
        IssueCertificate(SpkiDer(*Info(ExportInfo(other, k.spec))), base + "-foreign", "Foreign");
    ASSERT_FALSE(foreign.empty());
    EXPECT_FALSE(CryptSetKeyParam(key, KP_CERTIFICATE, foreign.data(), 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_PUBLIC_KEY);
    EXPECT_TRUE(KeyParam(key, KP_CERTIFICATE).empty());

    ASSERT_TRUE(CryptSetKeyParam(key, KP_CERTIFICATE, own.data(), 0)) << std::hex << GetLastError();
    EXPECT_EQ(KeyParam(key, KP_CERTIFICATE), own);
    HCRYPTKEY user = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, k.spec, &user));
    EXPECT_EQ(KeyParam(user, KP_CERTIFICATE), own);

    CertPtr cert = MakeCert(own);
    ASSERT_TRUE(cert);
    EXPECT_TRUE(CertComparePublicKeyInfo(X509_ASN_ENCODING, &cert.get()->pCertInfo->SubjectPublicKeyInfo,
                                         Info(info)));
    CertPtr foreignCert = MakeCert(foreign);
    ASSERT_TRUE(foreignCert);
    EXPECT_FALSE(CertComparePublicKeyInfo(X509_ASN_ENCODING,
                                          &foreignCert.get()->pCertInfo->SubjectPublicKeyInfo, Info(info)));

    // The certificate's key, imported, exports the container key's blob. An imported 512-bit GOST key
    // is taken for an exchange key (the two kinds share their parameter sets), so a signature key's
    // blob differs in its ALG_ID only.
    HCRYPTPROV verify = 0;
    ASSERT_TRUE(CryptAcquireContextW(&verify, nullptr, nullptr, k.provType, CRYPT_VERIFYCONTEXT));
    HCRYPTKEY fromCert = 0;
    ASSERT_TRUE(CryptImportPublicKeyInfo(verify, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                         &cert.get()->pCertInfo->SubjectPublicKeyInfo, &fromCert))
        << std::hex << GetLastError();
    const Bytes imported = ExportPublic(fromCert);
    const Bytes exported = ExportPublic(key);
    if (k.keyAlg == CALG_GR3410_12_512) {
        ASSERT_EQ(imported.size(), exported.size());
        EXPECT_EQ(imported[4] | imported[5] << 8, static_cast<int>(CALG_DH_GR3410_12_512_SF));
        EXPECT_TRUE(std::equal(imported.begin() + 8, imported.end(), exported.begin() + 8));
    } else {
        EXPECT_EQ(imported, exported);
    }

    CryptDestroyKey(fromCert);
    CryptReleaseContext(verify, 0);
    CryptDestroyKey(user);
    CryptDestroyKey(otherKey);
    CryptDestroyKey(key);
    CryptReleaseContext(other, 0);
    CryptReleaseContext(prov, 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KeysTest, testing::ValuesIn(Kinds),
                         [](const testing::TestParamInfo<KindCase>& info) { return info.param.name; });

// The 2012-256 exchange key's blob begins with the fixed header.
TEST(Keys, GostExchangeKeyBlobHeader) {
    HCRYPTPROV prov = NewContainer(u"blob-header", PROV_GOST_2012_256);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, 0, &key));
    const Bytes blob = ExportPublic(key);
    const Bytes header = {0x06, 0x20, 0x00, 0x00, 0x46, 0xAA, 0x00, 0x00,
                          0x4D, 0x41, 0x47, 0x31, 0x00, 0x02, 0x00, 0x00};
    ASSERT_GE(blob.size(), header.size());
    EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 16), header);
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

// Refusals of the key functions.
TEST(Keys, Refusals) {
    HCRYPTPROV prov = NewContainer(u"refusals", PROV_GOST_2012_256);
    HCRYPTKEY key = 0;
    for (ALG_ID alg : {CALG_GR3410_12_512, CALG_RSA_KEYX, CALG_DH_GR3410_12_512_EPHEM, CALG_SHA_256}) {
        EXPECT_FALSE(CryptGenKey(prov, alg, 0, &key));
        EXPECT_EQ(GetLastError(), NTE_BAD_ALGID) << std::hex << alg;
    }
    EXPECT_FALSE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 0, &key));
    DWORD size = 0;
    EXPECT_FALSE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
    EXPECT_FALSE(CryptGetKeyParam(key, KP_CIPHEROID, nullptr, &size, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
    const BYTE notACertificate[] = {0x04, 0x02, 0x00, 0x00};
    EXPECT_FALSE(CryptSetKeyParam(key, KP_CERTIFICATE, notACertificate, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
    // Keys are kept only in containers; hashes of a verification context sign nothing.
    HCRYPTPROV verify = 0;
    ASSERT_TRUE(CryptAcquireContextW(&verify, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
    HCRYPTKEY none = 0;
    EXPECT_FALSE(CryptGenKey(verify, AT_SIGNATURE, 0, &none));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(verify, CALG_GR3411_2012_256, 0, 0, &hash));
    EXPECT_FALSE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &size));
    CryptDestroyHash(hash);
    // A buffer too small gets the size and leaves the hash open for the real call.
    ASSERT_TRUE(CryptCreateHash(prov, CALG_GR3411_2012_256, 0, 0, &hash));
    Bytes signature(10);
    size = static_cast<DWORD>(signature.size());
    EXPECT_FALSE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 64u);
    EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("x"), 1, 0));
    signature.resize(size);
    EXPECT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &size));
    CryptDestroyHash(hash);
    // Damaged public-key blobs.
    const Bytes blob = ExportPublic(key);
    Bytes cut(blob.begin(), blob.end() - 1);
    HCRYPTKEY imported = 0;
    EXPECT_FALSE(CryptImportKey(verify, cut.data(), static_cast<DWORD>(cut.size()), 0, 0, &imported));
    Bytes wrongMagic = blob;
    wrongMagic[8] ^= 1;
    EXPECT_FALSE(
        CryptImportKey(verify, wrongMagic.data(), static_cast<DWORD>(wrongMagic.size()), 0, 0, &imported));
    CryptDestroyKey(key);
    CryptReleaseContext(verify, 0);
    CryptReleaseContext(prov, 0);
}

// The private key of a certificate: found among the containers, opened through the key-provider
// information, kept on the certificate with the cache flag.
TEST(CertificateKey, FindAndAcquire) {
    const std::u16string name = u"cert-key";
    HCRYPTPROV prov = NewContainer(name, PROV_GOST_2012_256);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, 0, &key));
    const Bytes der = IssueCertificate(SpkiDer(*Info(ExportInfo(prov, AT_KEYEXCHANGE))), "find", "Find me");
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    CertPtr cert = MakeCert(der);
    ASSERT_TRUE(cert);

    HCRYPTPROV got = 0;
    DWORD spec = 0;
    BOOL mustFree = FALSE;
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert.get(), 0, nullptr, &got, &spec, &mustFree));
    EXPECT_EQ(GetLastError(), CRYPT_E_NO_KEY_PROPERTY);
    // Not among the computer's containers; among the user's.
    EXPECT_FALSE(CryptFindCertificateKeyProvInfo(
        cert.get(), CRYPT_FIND_MACHINE_KEYSET_FLAG | CRYPT_FIND_SILENT_KEYSET_FLAG, nullptr));
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
    ASSERT_TRUE(CryptFindCertificateKeyProvInfo(
        cert.get(), CRYPT_FIND_USER_KEYSET_FLAG | CRYPT_FIND_SILENT_KEYSET_FLAG, nullptr))
        << std::hex << GetLastError();
    DWORD size = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    std::vector<uint64_t> block((size + 7) / 8);
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(block.data());
    ASSERT_TRUE(CertGetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, info, &size));
    EXPECT_EQ(std::u16string(info->pwszContainerName), u"\\\\.\\REGISTRY\\cert-key");
    EXPECT_EQ(info->dwProvType, PROV_GOST_2012_256);
    EXPECT_EQ(info->dwKeySpec, AT_KEYEXCHANGE);
    EXPECT_EQ(info->dwFlags, 0u);

    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert.get(), CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &got, &spec,
                                                  &mustFree))
        << std::hex << GetLastError();
    EXPECT_EQ(spec, AT_KEYEXCHANGE);
    EXPECT_TRUE(mustFree);
    char unique[128] = {};
    DWORD uniqueLen = sizeof unique;
    ASSERT_TRUE(CryptGetProvParam(got, PP_UNIQUE_CONTAINER, reinterpret_cast<BYTE*>(unique), &uniqueLen, 0));
    EXPECT_STREQ(unique, "\\\\.\\REGISTRY\\cert-key");
    EXPECT_FALSE(Sign(got, CALG_GR3411_2012_256, spec, "signed with the certificate's key").empty());
    CryptReleaseContext(got, 0);

    // Cached: the same context again, released by the certificate.
    HCRYPTPROV cached = 0;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert.get(),
                                                  CRYPT_ACQUIRE_CACHE_FLAG | CRYPT_ACQUIRE_COMPARE_KEY_FLAG,
                                                  nullptr, &cached, &spec, &mustFree));
    EXPECT_FALSE(mustFree);
    HCRYPTPROV again = 0;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert.get(), CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &again,
                                                  &spec, &mustFree));
    EXPECT_EQ(again, cached);
    EXPECT_FALSE(mustFree);
    cert.reset();
    // The certificate released its context.
    DWORD type = 0;
    DWORD typeLen = sizeof type;
    EXPECT_FALSE(CryptGetProvParam(cached, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &typeLen, 0));
}

// A certificate whose key-provider information names a missing container, or whose key is in no
// container.
TEST(CertificateKey, Failures) {
    HCRYPTPROV prov = NewContainer(u"cert-key-gone", PROV_GOST_2012_256);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 0, &key));
    const Bytes der = IssueCertificate(SpkiDer(*Info(ExportInfo(prov, AT_SIGNATURE))), "gone", "Gone");
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    CertPtr cert = MakeCert(der);
    ASSERT_TRUE(cert);
    ASSERT_TRUE(CryptFindCertificateKeyProvInfo(cert.get(), CRYPT_FIND_SILENT_KEYSET_FLAG, nullptr));
    // Another key of the same container does not match when asked to compare.
    CRYPT_KEY_PROV_INFO info{};
    std::u16string container = u"\\\\.\\REGISTRY\\cert-key-gone";
    std::u16string provider = u"Kestrovan GOST R 34.10-2012 Cryptographic Provider";
    info.pwszContainerName = container.data();
    info.pwszProvName = provider.data();
    info.dwProvType = PROV_GOST_2012_256;
    info.dwKeySpec = AT_SIGNATURE;
    ASSERT_TRUE(CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    HCRYPTPROV got = 0;
    DWORD spec = 0;
    BOOL mustFree = FALSE;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert.get(), CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &got,
                                                  &spec, &mustFree));
    CryptReleaseContext(got, 0);
    info.dwKeySpec = AT_KEYEXCHANGE;
    ASSERT_TRUE(CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert.get(), 0, nullptr, &got, &spec, &mustFree));
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
    // The container is gone.
    HCRYPTPROV deleted = 0;
    ASSERT_TRUE(CryptAcquireContextW(&deleted, container.c_str(), nullptr, PROV_GOST_2012_256,
                                     CRYPT_DELETEKEYSET | CRYPT_SILENT));
    info.dwKeySpec = AT_SIGNATURE;
    ASSERT_TRUE(CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert.get(), 0, nullptr, &got, &spec, &mustFree));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    EXPECT_FALSE(CryptFindCertificateKeyProvInfo(cert.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert.get(), 0x80, nullptr, &got, &spec, &mustFree));
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
}

}  // namespace

// A key among the computer's containers: found only in that scope, and opened there again.
TEST(CertificateKey, MachineContainer) {
    VskTest::EnvGuard admin("KESTROVAN_ADMIN", "1");
    HCRYPTPROV prov = NewContainer(u"cert-key-machine", PROV_GOST_2012_512, CRYPT_MACHINE_KEYSET);
    ASSERT_NE(prov, 0u);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, 0, &key));
    const Bytes der =
        IssueCertificate(SpkiDer(*Info(ExportInfo(prov, AT_KEYEXCHANGE))), "machine", "Machine");
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    CertPtr cert = MakeCert(der);
    ASSERT_TRUE(cert);
    EXPECT_FALSE(CryptFindCertificateKeyProvInfo(cert.get(), CRYPT_FIND_USER_KEYSET_FLAG, nullptr));
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
    ASSERT_TRUE(CryptFindCertificateKeyProvInfo(cert.get(), 0, nullptr)) << std::hex << GetLastError();
    DWORD size = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    std::vector<uint64_t> block((size + 7) / 8);
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(block.data());
    ASSERT_TRUE(CertGetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, info, &size));
    EXPECT_EQ(std::u16string(info->pwszContainerName), u"\\\\.\\REGISTRY\\cert-key-machine");
    EXPECT_EQ(info->dwFlags, static_cast<DWORD>(CRYPT_MACHINE_KEYSET));
    EXPECT_EQ(info->dwProvType, PROV_GOST_2012_512);
    HCRYPTPROV got = 0;
    DWORD spec = 0;
    BOOL mustFree = FALSE;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert.get(), CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &got,
                                                  &spec, &mustFree))
        << std::hex << GetLastError();
    EXPECT_TRUE(mustFree);
    EXPECT_FALSE(Sign(got, CALG_GR3411_2012_512, spec, "machine").empty());
    CryptReleaseContext(got, 0);
}
