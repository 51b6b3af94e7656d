// Certificate and CRL contexts: decoding checked against OpenSSL's own reading of the same bytes,
// reference counts, the shared property sets and CertFindCertificateInCRL.
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>
#include <vsk/platform/kernel.h>

#include <cstring>
#include <ctime>

#include "coreFixtures.h"

using namespace CoreFixtures;

namespace {

Bytes reversed(const BYTE* p, size_t n) {
    return Bytes(std::reverse_iterator(p + n), std::reverse_iterator(p));
}

uint64_t fileTimeOf(const ASN1_TIME* t) {
    std::tm tm{};
    ASN1_TIME_to_tm(t, &tm);
    const int64_t seconds = timegm(&tm);
    return (static_cast<uint64_t>(seconds) + 11644473600ull) * 10000000ull;
}

std::string oidText(const ASN1_OBJECT* o) {
    char buf[128];
    OBJ_obj2txt(buf, sizeof buf, o, 1);
    return buf;
}

Bytes nameDer(const X509_NAME* name) {
    unsigned char* out = nullptr;
    const int n = i2d_X509_NAME(name, &out);
    Bytes b(out, out + n);
    OPENSSL_free(out);
    return b;
}

struct DecodeCase {
    const char* name;
    Bytes CoreFixtures::Set::*der;
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

// Every field of CERT_INFO against OpenSSL's reading; GOST certificates decode without the engine.
TEST_P(DecodeTest, MatchesOpenSsl) {
    const Bytes& der = Get().*GetParam().der;
    Cert cert(der);
    ASSERT_NE(cert.p, nullptr) << std::hex << GetLastError();
    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(x, nullptr);
    const CERT_INFO& info = *cert.p->pCertInfo;

    EXPECT_EQ(cert.p->dwCertEncodingType, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING);
    EXPECT_EQ(Bytes(cert.p->pbCertEncoded, cert.p->pbCertEncoded + cert.p->cbCertEncoded), der);
    EXPECT_NE(cert.p->hCertStore, nullptr);
    EXPECT_EQ(info.dwVersion, static_cast<DWORD>(X509_get_version(x)));

    const ASN1_INTEGER* serial = X509_get0_serialNumber(x);
    unsigned char* serialDer = nullptr;
    const int serialLen = i2d_ASN1_INTEGER(serial, &serialDer);
    // The DER INTEGER's contents (after tag and one length octet), reversed.
    const Bytes serialLE = reversed(serialDer + 2, serialLen - 2);
    OPENSSL_free(serialDer);
    EXPECT_EQ(Blob(info.SerialNumber), serialLE);

    EXPECT_EQ(Blob(info.Issuer), nameDer(X509_get_issuer_name(x)));
    EXPECT_EQ(Blob(info.Subject), nameDer(X509_get_subject_name(x)));
    EXPECT_EQ(FileTimeToU64(info.NotBefore), fileTimeOf(X509_get0_notBefore(x)));
    EXPECT_EQ(FileTimeToU64(info.NotAfter), fileTimeOf(X509_get0_notAfter(x)));

    const X509_ALGOR* sig = X509_get0_tbs_sigalg(x);
    const ASN1_OBJECT* sigOid = nullptr;
    X509_ALGOR_get0(&sigOid, nullptr, nullptr, sig);
    EXPECT_EQ(info.SignatureAlgorithm.pszObjId, oidText(sigOid));

    X509_PUBKEY* pub = X509_get_X509_PUBKEY(x);
    ASN1_OBJECT* keyOid = nullptr;
    const unsigned char* keyBits = nullptr;
    int keyLen = 0;
    X509_PUBKEY_get0_param(&keyOid, &keyBits, &keyLen, nullptr, pub);
    EXPECT_EQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, oidText(keyOid));
    EXPECT_EQ(Blob({info.SubjectPublicKeyInfo.PublicKey.cbData, info.SubjectPublicKeyInfo.PublicKey.pbData}),
              Bytes(keyBits, keyBits + keyLen));
    EXPECT_EQ(info.SubjectPublicKeyInfo.PublicKey.cUnusedBits, 0u);

    ASSERT_EQ(info.cExtension, static_cast<DWORD>(X509_get_ext_count(x)));
    for (int i = 0; i < X509_get_ext_count(x); ++i) {
        X509_EXTENSION* ext = X509_get_ext(x, i);
        EXPECT_EQ(info.rgExtension[i].pszObjId, oidText(X509_EXTENSION_get_object(ext)));
        EXPECT_EQ(info.rgExtension[i].fCritical != 0, X509_EXTENSION_get_critical(ext) != 0);
        const ASN1_OCTET_STRING* v = X509_EXTENSION_get_data(ext);
        EXPECT_EQ(Blob(info.rgExtension[i].Value), Bytes(v->data, v->data + v->length));
    }

    unsigned char sha1[20];
    unsigned int sha1Len = 0;
    X509_digest(x, EVP_sha1(), sha1, &sha1Len);
    EXPECT_EQ(Thumbprint(cert.p), Bytes(sha1, sha1 + 20));
    X509_free(x);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DecodeTest,
                         ::testing::Values(DecodeCase{"rsaCa", &Set::ca}, DecodeCase{"rsaLeaf", &Set::leaf},
                                           DecodeCase{"gost256", &Set::gost256},
                                           DecodeCase{"gost512", &Set::gost512}),
                         [](const auto& info) { return std::string(info.param.name); });

struct BadInput {
    const char* name;
    Bytes (*make)();
    DWORD error;
};

const BadInput kBadCertificates[] = {
    {"empty", [] { return Bytes(); }, CRYPT_E_ASN1_EOD},
    {"base64 text",
     [] {
         const std::string text = "MIIC+zCCAeOgAwIBAgIBATANBgkqhkiG9w0BAQsFADA=";
         return Bytes(text.begin(), text.end());
     },
     CRYPT_E_ASN1_BADTAG},
    {"truncated",
     [] {
         Bytes b = Get().leaf;
         b.resize(b.size() / 2);
         return b;
     },
     CRYPT_E_ASN1_EOD},
    {"trailing byte",
     [] {
         Bytes b = Get().leaf;
         b.push_back(0);
         return b;
     },
     CRYPT_E_ASN1_CORRUPT},
    {"indefinite length",
     [] {
         Bytes b = Get().leaf;
         b[1] = 0x80;
         return b;
     },
     CRYPT_E_ASN1_CORRUPT},
    {"length over 4 octets",
     [] {
         Bytes b = Get().leaf;
         b[1] = 0x85;
         return b;
     },
     CRYPT_E_ASN1_CORRUPT},
    {"a CRL", [] { return Get().crl1; }, CRYPT_E_ASN1_BADTAG},
};

TEST(CertContextTest, MalformedInputFailsWithAsn1Codes) {
    for (const BadInput& row : kBadCertificates) {
        SCOPED_TRACE(row.name);
        const Bytes bytes = row.make();
        SetLastError(0);
        EXPECT_EQ(
            CertCreateCertificateContext(X509_ASN_ENCODING, bytes.data(), static_cast<DWORD>(bytes.size())),
            nullptr);
        // A CRL's first element is a SEQUENCE too; what fails is the structure, with some ASN.1 code.
        if (std::strcmp(row.name, "a CRL") == 0)
            EXPECT_EQ(GetLastError() & 0xFFFFFF00u, 0x80093100u);
        else
            EXPECT_EQ(GetLastError(), row.error);
    }
}

TEST(CertContextTest, DuplicateSharesAndFreeReleases) {
    PCCERT_CONTEXT a = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                    Get().leaf.data(), static_cast<DWORD>(Get().leaf.size()));
    ASSERT_NE(a, nullptr);
    PCCERT_CONTEXT b = CertDuplicateCertificateContext(a);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(CertFreeCertificateContext(a));
    // Still held by b.
    EXPECT_EQ(Thumbprint(b).size(), 20u);
    EXPECT_TRUE(CertFreeCertificateContext(b));
    EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}

TEST(CertContextTest, PropertiesTwoCallProtocolAndComputedIds) {
    Cert cert(Get().leaf);
    DWORD size = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(cert.p, CERT_SHA1_HASH_PROP_ID, nullptr, &size));
    EXPECT_EQ(size, 20u);
    BYTE small[4];
    size = sizeof small;
    EXPECT_FALSE(CertGetCertificateContextProperty(cert.p, CERT_SHA1_HASH_PROP_ID, small, &size));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(size, 20u);

    size = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(cert.p, CERT_MD5_HASH_PROP_ID, nullptr, &size));
    EXPECT_EQ(size, 16u);

    DWORD state = 0xFF;
    size = sizeof state;
    ASSERT_TRUE(CertGetCertificateContextProperty(cert.p, CERT_ACCESS_STATE_PROP_ID, &state, &size));
    EXPECT_EQ(state, 0u);

    for (DWORD id :
         {CERT_FRIENDLY_NAME_PROP_ID, CERT_KEY_PROV_INFO_PROP_ID, CERT_KEY_CONTEXT_PROP_ID, 0x9999u}) {
        size = 0;
        EXPECT_FALSE(CertGetCertificateContextProperty(cert.p, id, nullptr, &size));
        EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
    }
    // Hashes are always computed, never set.
    BYTE forged[20] = {};
    CRYPT_DATA_BLOB blob{sizeof forged, forged};
    EXPECT_FALSE(CertSetCertificateContextProperty(cert.p, CERT_SHA1_HASH_PROP_ID, 0, &blob));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST(CertContextTest, KeyProvInfoIsOneSelfContainedBlock) {
    Cert cert(Get().gost256);
    BYTE paramData[] = {1, 2, 3, 4, 5};
    CRYPT_KEY_PROV_PARAM param{42, paramData, sizeof paramData, 7};
    char16_t container[] = u"\\\\.\\REGISTRY\\Контейнер";
    char16_t provider[] = u"Kestrovan GOST R 34.10-2012 Cryptographic Provider";
    CRYPT_KEY_PROV_INFO info{container, provider, 80, CRYPT_MACHINE_KEYSET, 1, &param, AT_KEYEXCHANGE};
    // dwFlags 1 means nothing for this id.
    ASSERT_TRUE(CertSetCertificateContextProperty(cert.p, CERT_KEY_PROV_INFO_PROP_ID, 1, &info));

    DWORD size = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(cert.p, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    std::vector<BYTE> buffer(size);
    ASSERT_TRUE(CertGetCertificateContextProperty(cert.p, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size));
    const auto* got = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    auto inside = [&](const void* ptr) {
        return ptr >= static_cast<const void*>(buffer.data()) &&
               ptr < static_cast<const void*>(buffer.data() + buffer.size());
    };
    ASSERT_TRUE(inside(got->pwszContainerName));
    ASSERT_TRUE(inside(got->pwszProvName));
    ASSERT_TRUE(inside(got->rgProvParam));
    EXPECT_EQ(std::u16string(got->pwszContainerName), container);
    EXPECT_EQ(std::u16string(got->pwszProvName), provider);
    EXPECT_EQ(got->dwProvType, 80u);
    EXPECT_EQ(got->dwFlags, CRYPT_MACHINE_KEYSET);
    EXPECT_EQ(got->dwKeySpec, AT_KEYEXCHANGE);
    ASSERT_EQ(got->cProvParam, 1u);
    EXPECT_EQ(got->rgProvParam[0].dwParam, 42u);
    EXPECT_EQ(got->rgProvParam[0].dwFlags, 7u);
    EXPECT_EQ(Bytes(got->rgProvParam[0].pbData, got->rgProvParam[0].pbData + got->rgProvParam[0].cbData),
              Bytes(paramData, paramData + sizeof paramData));

    // A null value deletes.
    ASSERT_TRUE(CertSetCertificateContextProperty(cert.p, CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr));
    EXPECT_FALSE(CertGetCertificateContextProperty(cert.p, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
}

TEST(CertContextTest, KeyContextIsKeptInMemory) {
    Cert cert(Get().leaf);
    CERT_KEY_CONTEXT key{sizeof(CERT_KEY_CONTEXT), 0, AT_SIGNATURE};
    ASSERT_TRUE(CertSetCertificateContextProperty(cert.p, CERT_KEY_CONTEXT_PROP_ID, 0, &key));
    CERT_KEY_CONTEXT got{};
    DWORD size = sizeof got;
    ASSERT_TRUE(CertGetCertificateContextProperty(cert.p, CERT_KEY_CONTEXT_PROP_ID, &got, &size));
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(got.dwKeySpec, static_cast<DWORD>(AT_SIGNATURE));
    CERT_KEY_CONTEXT wrong{16, 0, AT_SIGNATURE};
    EXPECT_FALSE(CertSetCertificateContextProperty(cert.p, CERT_KEY_CONTEXT_PROP_ID, 0, &wrong));
}

// Every context of one store element shares its properties; the store lives while they do.
TEST(CertContextTest, StoreElementsShareOnePropertySetAndKeepTheStore) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_NE(store, nullptr);
    Cert source(Get().leaf);
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(CertAddCertificateContextToStore(store, source.p, CERT_STORE_ADD_ALWAYS, &added));
    EXPECT_NE(added, source.p);
    EXPECT_EQ(added->hCertStore, store);
    PCCERT_CONTEXT found = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(found, nullptr);
    char16_t name[] = u"Имя";
    CRYPT_DATA_BLOB blob{sizeof name, reinterpret_cast<BYTE*>(name)};
    ASSERT_TRUE(CertSetCertificateContextProperty(added, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
    DWORD size = 0;
    EXPECT_TRUE(CertGetCertificateContextProperty(found, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size));
    EXPECT_EQ(size, sizeof name);
    // The source context was not changed.
    EXPECT_FALSE(CertGetCertificateContextProperty(source.p, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size));

    EXPECT_TRUE(CertCloseStore(store, 0));
    // Still usable through the contexts.
    EXPECT_EQ(CountCertificates(found->hCertStore), 1);
    CertFreeCertificateContext(added);
    CertFreeCertificateContext(found);
}

TEST(CrlContextTest, FieldsAndEntries) {
    const Set& s = Get();
    PCCRL_CONTEXT crl = CertCreateCRLContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, s.crl1.data(),
                                             static_cast<DWORD>(s.crl1.size()));
    ASSERT_NE(crl, nullptr) << std::hex << GetLastError();
    Cert ca(s.ca);
    const CRL_INFO& info = *crl->pCrlInfo;
    EXPECT_EQ(info.dwVersion, CRL_V2);
    EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
    EXPECT_EQ(Blob(info.Issuer), Blob(ca.p->pCertInfo->Subject));
    SYSTEMTIME t{};
    FileTimeToSystemTime(&info.ThisUpdate, &t);
    EXPECT_EQ(t.wYear, 2025);
    EXPECT_EQ(t.wMonth, 1);
    FileTimeToSystemTime(&info.NextUpdate, &t);
    EXPECT_EQ(t.wYear, 2035);
    ASSERT_EQ(info.cCRLEntry, 1u);
    EXPECT_EQ(Blob(info.rgCRLEntry[0].SerialNumber), (Bytes{0x34, 0x12}));
    EXPECT_GE(info.cExtension, 1u);  // the CRL number
    EXPECT_EQ(CertDuplicateCRLContext(crl), crl);
    CertFreeCRLContext(crl);
    CertFreeCRLContext(crl);

    const std::string pem = ReadFile(s.dir + "/crl1.pem");
    EXPECT_EQ(CertCreateCRLContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(pem.data()),
                                   static_cast<DWORD>(pem.size())),
              nullptr);
    EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
}

// A serial number says something only together with its issuer: the other CA's certificate with the
// same serial is not revoked by this CRL.
TEST(CrlContextTest, FindCertificateInCrlNeedsIssuerAndSerial) {
    const Set& s = Get();
    PCCRL_CONTEXT crl =
        CertCreateCRLContext(X509_ASN_ENCODING, s.crl1.data(), static_cast<DWORD>(s.crl1.size()));
    ASSERT_NE(crl, nullptr);
    struct Row {
        const Bytes* cert;
        bool listed;
    } rows[] = {{&s.leaf, true}, {&s.leafOther, false}, {&s.ca, false}, {&s.gost256, false}};
    for (const Row& row : rows) {
        Cert cert(*row.cert);
        PCRL_ENTRY entry = reinterpret_cast<PCRL_ENTRY>(1);
        ASSERT_TRUE(CertFindCertificateInCRL(cert.p, crl, 0, nullptr, &entry));
        EXPECT_EQ(entry != nullptr, row.listed);
        if (entry) {
            EXPECT_EQ(entry, &crl->pCrlInfo->rgCRLEntry[0]);
        }
    }
    CertFreeCRLContext(crl);
}

}  // namespace
