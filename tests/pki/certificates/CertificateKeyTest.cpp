// The certificate's public key, algorithms and key-provider information, the provider choice built on
// them and the ASN.1 codec's OID hooks, on certificates made by openssl with the GOST engine.
#include "certificates/certificateFixtures.h"

#include <vsk/asn1/asn1.h>
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/OidNames.h>
#include <vsk/pki/ProviderChoice.h>
#include <vsk/pki/ProviderChoiceCert.h>
#include <vsk/platform/cert.h>
#include <vsk/utils/error.h>

#include <algorithm>
#include <filesystem>

#include "fakeProviders.h"

using namespace Vsk::Utils;
using namespace Vsk::PKI;
using CertFixture::Key;
using CertFixture::Made;
using CertFixture::utf8;

namespace {

CCertificate load(const Made& made) {
    CCertificate certificate(true);
    certificate.LoadFromBlob(made.derBytes());
    return certificate;
}

Made fixture(Key key) {
    switch (key) {
        case Key::Gost256:
            return CertFixture::make("gost256", key, utf8(u8"/CN=Тест ГОСТ 256/O=Испытания/C=RU"),
                                     "0x0102030405");
        case Key::Gost512:
            return CertFixture::make("gost512", key, utf8(u8"/CN=Тест ГОСТ 512/O=Испытания/C=RU"),
                                     "0x7F0A0B");
        case Key::Rsa2048:
            return CertFixture::make("rsa2048", key, "/CN=RSA Test/O=Trials/C=RU", "0x00C0FFEE");
        case Key::Rsa2048Exponent3:
            return CertFixture::make("rsa2048e3", key, "/CN=RSA Exponent 3", "0x03");
    }
    return {};
}

std::string bytesOf(const CDataBlob& blob) {
    return std::string(reinterpret_cast<const char*>(blob.getData()), blob.getSize());
}

// The key bytes openssl reports, in the form the certificate gives them.
std::string oracleKey(const Made& made) {
    if (CertFixture::isGost(made.key)) {
        // The point's coordinates, each little-endian and padded to the coordinate size.
        const size_t size = made.key == Key::Gost256 ? 32 : 64;
        const std::string text = CertFixture::run(
            "openssl x509 -engine gost -in " + CertFixture::quote(made.pem.string()) +
            " -noout -pubkey 2>/dev/null | openssl pkey -engine gost -pubin -noout -text 2>/dev/null");
        auto coordinate = [&](const std::string& name) {
            const size_t at = text.find(name + ":");
            std::string hex;
            for (size_t i = at + name.size() + 1;
                 i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i])); ++i)
                hex += text[i];
            std::string bytes = CertFixture::hexToBytes((hex.size() % 2 ? "0" : "") + hex);
            bytes.insert(0, size - bytes.size(), '\0');
            std::reverse(bytes.begin(), bytes.end());
            return bytes;
        };
        return coordinate("X") + coordinate("Y");
    }
    if (made.key == Key::Rsa2048) {
        std::string modulus = CertFixture::hexToBytes(made.field("-modulus", "Modulus"));
        std::reverse(modulus.begin(), modulus.end());
        return modulus;
    }
    // Any other RSA key: the whole RSAPublicKey.
    return CertFixture::run(
        "openssl x509 -in " + CertFixture::quote(made.pem.string()) +
        " -noout -pubkey | openssl rsa -pubin -RSAPublicKey_out -outform DER 2>/dev/null");
}

struct KeyRow {
    const char* name;
    Key key;
    const char* publicKeyOid;
    const char* signatureOid;
    DWORD keyBytes;
    ALG_ID algId;
};

const KeyRow KeyRows[] = {
    {"Gost256", Key::Gost256, "1.2.643.7.1.1.1.1", "1.2.643.7.1.1.3.2", 64, 0x2E49},
    {"Gost512", Key::Gost512, "1.2.643.7.1.1.1.2", "1.2.643.7.1.1.3.3", 128, 0x2E3D},
    {"Rsa2048", Key::Rsa2048, "1.2.840.113549.1.1.1", "1.2.840.113549.1.1.11", 256, 0},
    {"Rsa2048Exponent3", Key::Rsa2048Exponent3, "1.2.840.113549.1.1.1", "1.2.840.113549.1.1.11", 0, 0},
};

class CertificateKey : public ::testing::TestWithParam<KeyRow> {};

}  // namespace

// Algorithm OIDs (as text and as registered names), the key bytes against openssl's, the algorithm
// description and the usable hash algorithms.
TEST_P(CertificateKey, AlgorithmsAndKey) {
    const KeyRow& row = GetParam();
    const Made made = fixture(row.key);
    const CCertificate certificate = load(made);

    EXPECT_EQ(certificate.get_PublicKeyAlgorithmOID(false).toU16(), CWString(row.publicKeyOid, 1251).toU16());
    EXPECT_EQ(certificate.get_SignatureAlgorithmOID(false).toU16(), CWString(row.signatureOid, 1251).toU16());
    EXPECT_EQ(certificate.get_PublicKeyAlgorithmOID(true), CNameOID::getName(row.publicKeyOid));
    EXPECT_EQ(certificate.get_SignatureAlgorithmOID(true), CNameOID::getName(row.signatureOid));

    const CDataBlob key = certificate.get_PublicKey();
    const std::string expected = oracleKey(made);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(CertFixture::upperHex(key),
              CertFixture::upperHex(reinterpret_cast<const BYTE*>(expected.data()), expected.size()));
    if (row.keyBytes) {
        EXPECT_EQ(key.getSize(), row.keyBytes);
    }

    const CRefPtr<CAlgorithm> algorithm = certificate.getPublicKeyAlgorithm();
    ASSERT_TRUE(algorithm);
    EXPECT_EQ(algorithm->m_oid, CAString(row.publicKeyOid));
    const CRefPtr<CAlgorithm> catalogued =
        FindAlgorithm(row.publicKeyOid, static_cast<int>(key.getSize() * 8));
    if (catalogued) {
        EXPECT_EQ(algorithm.get(), catalogued.get());
    } else {
        EXPECT_EQ(algorithm->m_keyBitLength, key.getSize() * 8);
        EXPECT_EQ(algorithm->m_aid, OIDToAlgId(row.publicKeyOid));
        EXPECT_EQ(algorithm->m_name, CNameOID::joinNames(row.publicKeyOid, u", "));
    }
    EXPECT_EQ(certificate.getPublicKeyAlgorithm().get(), algorithm.get());
    if (row.key == Key::Gost256) {
        EXPECT_EQ(algorithm->m_keyBitLength, 512u);
    }
    if (row.key == Key::Gost512) {
        EXPECT_EQ(algorithm->m_keyBitLength, 1024u);
    }

    CArray<CAString> hashes;
    certificate.getPossibleHashAlgorithms(hashes);
    const CAlgorithmArray direct = GetPossibleHashAlgs(row.publicKeyOid);
    ASSERT_EQ(hashes.getCount(), direct.getCount());
    for (size_t i = 0; i < hashes.getCount(); ++i) EXPECT_EQ(hashes[i], direct[i]->m_oid);
}

INSTANTIATE_TEST_SUITE_P(Keys, CertificateKey, ::testing::ValuesIn(KeyRows),
                         [](const auto& info) { return std::string(info.param.name); });

// The key blob: a provider's export or the certificate's own, both with the GOST layout; without a
// certificate, the built blob with no key.
TEST(CertificateKeyBlob, Layouts) {
    const CCertificate gost = load(fixture(Key::Gost256));
    const CDataBlob wrap = gost.get_PublicKeyWrap();
    const BYTE header[] = {0x06, 0x20, 0x00, 0x00, 0x49, 0x2E, 0x00, 0x00,
                           0x4D, 0x41, 0x47, 0x31, 0x00, 0x02, 0x00, 0x00};
    ASSERT_GT(wrap.getSize(), sizeof header + 64);
    EXPECT_EQ(CertFixture::upperHex(wrap.getData(), sizeof header),
              CertFixture::upperHex(header, sizeof header));
    EXPECT_EQ(bytesOf(wrap.getBlock(wrap.getSize() - 64)), bytesOf(gost.get_PublicKey()));

    CCertificate description;
    description.put_DecryptCertInfo(CDataBlob(gost.get_CertContext()->pCertInfo->Issuer.pbData,
                                              gost.get_CertContext()->pCertInfo->Issuer.cbData, true),
                                    CDataBlob("\x01", 1, true), CAString("1.2.643.7.1.1.1.1"));
    EXPECT_EQ(description.get_PublicKey().getSize(), 0u);
    const CDataBlob built = description.get_PublicKeyWrap();
    // Header, then SEQUENCE { 1.2.643.2.2.36.0, 1.2.643.7.1.1.2.2 }, then no key bytes.
    EXPECT_EQ(CertFixture::upperHex(built),
              "06200000492E00004D41473100000000"
              "3013"
              "06072A850302022400"
              "06082A85030701010202");
}

// Without a provider that imports the key, the built blob carries the parameter sets of the
// certificate's own key (the digest set by ALG_ID when the certificate names none), not a fixed set.
TEST(CertificateKeyBlob, BuiltBlobTakesTheCertificatesParameterSets) {
    struct Row {
        const char* name;
        const char* newKey;
        const char* parameters;
    };
    const Row rows[] = {
        {"xb256", "gost2012_256 -pkeyopt paramset:XB",
         "3013"
         "06072A850302022401"
         "06082A85030701010202"},
        {"b256", "gost2012_256 -pkeyopt paramset:B",
         "3013"
         "06072A850302022302"
         "06082A85030701010202"},
        {"b512", "gost2012_512 -pkeyopt paramset:B",
         "3015"
         "06092A8503070102010202"
         "06082A85030701010203"},
    };
    // Only an RSA provider: no GOST provider imports the key.
    VskTest::UseFakeProviders("[provider]\ntype = 24\nname = RSA only\n");
    ClearCspAlgInfo();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::filesystem::path pem = CertFixture::folder() / (std::string(row.name) + ".pem");
        bool ok = false;
        CertFixture::run("openssl req -x509 -engine gost -newkey " + std::string(row.newKey) +
                             " -nodes -keyout /dev/null -subj /CN=" + row.name +
                             " -days 30 -outform DER -out " + CertFixture::quote(pem.string()) + " 2>&1",
                         &ok);
        ASSERT_TRUE(ok);
        CCertificate certificate(true);
        certificate.LoadFromBlob(CertFixture::readFile(pem));
        const CDataBlob key = certificate.get_PublicKey();
        const std::string blob = CertFixture::upperHex(certificate.get_PublicKeyWrap());
        const std::string parameters = row.parameters;
        ASSERT_GT(blob.size(), 32 + parameters.size());
        EXPECT_EQ(blob.substr(24, 8), key.getSize() == 64 ? "00020000" : "00040000");
        EXPECT_EQ(blob.substr(32, parameters.size()), parameters);
        EXPECT_EQ(blob.substr(32 + parameters.size()), CertFixture::upperHex(key));
    }
    VskTest::UseBuiltInProviders();
    ClearCspAlgInfo();
}

// The key-provider property written by the certificate is read back by any object over the context,
// without a provider search; without it, the first provider that fits is reported.
TEST(CertificateKeyProvInfo, WrittenAndLookedUp) {
    const Made made = fixture(Key::Gost256);
    CCertificate certificate = load(made);
    ASSERT_TRUE(
        certificate.setKeyProvInfo(80, u"Провайдер", u"контейнер", AT_KEYEXCHANGE, true, true, false));
    EXPECT_EQ(certificate.get_ProviderType(), 80u);
    EXPECT_EQ(certificate.get_ProviderName().toU16(), u"Провайдер");
    EXPECT_EQ(certificate.get_ContainerName().toU16(), u"контейнер");

    CCertificate other;
    other.put_CertContext(certificate.get_CertContext());
    EXPECT_EQ(other.get_ProviderType(), 80u);
    EXPECT_EQ(other.get_ProviderName().toU16(), u"Провайдер");
    EXPECT_EQ(other.get_ContainerName().toU16(), u"контейнер");
    BYTE buffer[512];
    DWORD size = sizeof buffer;
    ASSERT_TRUE(CertGetCertificateContextProperty(other.get_CertContext(), CERT_KEY_PROV_INFO_PROP_ID, buffer,
                                                  &size));
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer);
    EXPECT_EQ(info->dwFlags, CRYPT_MACHINE_KEYSET | CRYPT_SILENT);
    EXPECT_EQ(info->dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));

    const CCertificate plain = load(made);
    const CSPInfoArray suitable = CSPsFromCertificate(plain.get_CertContext(), nullptr);
    if (!suitable.isEmpty()) {
        EXPECT_EQ(plain.get_ProviderType(), suitable[0]->m_type);
        EXPECT_EQ(plain.get_ProviderName(), suitable[0]->m_name);
    }
    EXPECT_EQ(plain.get_ContainerName().getLength(), 0u);

    CCertificate empty(true);
    EXPECT_FALSE(empty.setKeyProvInfo(80, u"p", u"c", AT_SIGNATURE, false, false, false));
}

// ---- Provider choice over certificates ------------------------------------------------------------------

TEST(ProviderChoiceCert, ProvidersOfCertificates) {
    EXPECT_TRUE(CSPsFromCertificate(nullptr, nullptr).isEmpty());
    for (Key key : {Key::Gost256, Key::Gost512, Key::Rsa2048}) {
        const CCertificate certificate = load(fixture(key));
        CError error;
        const CSPInfoArray providers = CSPsFromCertificate(certificate.get_CertContext(), &error);
        const CSPInfoArray expected = CSPsFromSupportedOIDs(
            CertificateAlgorithmOIDs(CAString(certificate.get_PublicKeyAlgorithmOID(), 1251),
                                     CAString(certificate.get_SignatureAlgorithmOID(), 1251)),
            nullptr);
        ASSERT_EQ(providers.getCount(), expected.getCount());
        EXPECT_FALSE(providers.isEmpty());
        for (size_t i = 0; i < providers.getCount(); ++i) EXPECT_EQ(providers[i].get(), expected[i].get());
    }
}

TEST(ProviderChoiceCert, EncryptionAlgorithmsOfRecipients) {
    const CCertificate gost = load(fixture(Key::Gost256));
    const CCertificate rsa = load(fixture(Key::Rsa2048));

    CArray<CCertificate> one;
    one.add(gost);
    const CAlgorithmArray gostCiphers = GetPossibleEncryptAlgs(one, nullptr);
    EXPECT_FALSE(gostCiphers.isEmpty());
    for (const CRefPtr<CAlgorithm>& cipher : gostCiphers)
        EXPECT_EQ(GET_ALG_CLASS(cipher->m_aid), ALG_CLASS_DATA_ENCRYPT);

    CArray<CCertificate> both;
    both.add(gost);
    both.add(rsa);
    CArray<CCertificate> rsaOnly;
    rsaOnly.add(rsa);
    CError error(u"", Vsk::Utils::NoErrorCode);
    const CAlgorithmArray common = GetPossibleEncryptAlgs(both, &error);
    // The expected intersection, from the two single-recipient answers.
    size_t shared = 0;
    for (const CRefPtr<CAlgorithm>& cipher : GetPossibleEncryptAlgs(rsaOnly, nullptr))
        for (const CRefPtr<CAlgorithm>& other : gostCiphers) shared += cipher.get() == other.get();
    EXPECT_EQ(common.getCount(), shared);
    if (shared == 0) {
        const std::u16string text = error.getText().toU16();
        EXPECT_EQ(text.find(u"Ни один установленный криптопровайдер не может шифровать сразу для всех данных "
                            u"сертификатов:\r\n\t\"Тест ГОСТ 256\", его алгоритмы 1.2.643.7.1.1.1.1 ("),
                  0u)
            << std::string(text.begin(), text.end());
        EXPECT_NE(text.find(u"\r\n\t\"RSA Test\", его алгоритмы 1.2.840.113549.1.1.1 ("),
                  std::u16string::npos);
    }

    // A recipient whose certificate cannot be read offers nothing and is explained by its error.
    CArray<CCertificate> broken;
    broken.add(gost);
    broken.add(CCertificate());
    CError brokenError(u"", Vsk::Utils::NoErrorCode);
    EXPECT_TRUE(GetPossibleEncryptAlgs(broken, &brokenError).isEmpty());
    EXPECT_NE(brokenError.getText().toU16().find(u"не был создан!"), std::u16string::npos);
}
