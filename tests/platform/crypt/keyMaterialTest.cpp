// Key material of the provider stand-in against the openssl command with the GOST engine: keys,
// signatures in CryptoAPI byte order, the stored forms and the public-key blobs.
#include "cryptState.h"
#include "keyMaterial.h"

#include <vsk/platform/crypt.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace vsk::crypt;

namespace {

struct KindCase {
    const char* name;
    DWORD provType;
    ALG_ID alg;  // what CryptGenKey is asked for
    ALG_ID hashAlg;
    const char* opensslDigest;  // pkeyutl's digest option for RSA; empty for GOST
    DWORD keyLen;
};

const KindCase Kinds[] = {
    {"gost256", PROV_GOST_2012_256, AT_KEYEXCHANGE, CALG_GR3411_2012_256, "", 512},
    {"gost512", PROV_GOST_2012_512, AT_SIGNATURE, CALG_GR3411_2012_512, "", 1024},
    {"rsa2048", PROV_RSA_FULL, AT_SIGNATURE, CALG_SHA_256, "sha256", 2048},
};

std::string Dir() {
    return VskTest::TempDir();
}

void WriteFile(const std::string& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::vector<BYTE> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), {});
}

bool Shell(const std::string& command) {
    return std::system(("cd '" + Dir() + "' && (" + command + ") >/dev/null 2>&1 </dev/null").c_str()) == 0;
}

std::vector<BYTE> Digest(ALG_ID alg, const std::string& text) {
    const EVP_MD* md = DigestOf(alg);
    std::vector<BYTE> out(static_cast<size_t>(EVP_MD_get_size(md)));
    unsigned int n = 0;
    EVP_Digest(text.data(), text.size(), out.data(), &n, md, nullptr);
    return out;
}

std::string Engine(const KindCase& k) {
    return k.opensslDigest[0] ? "" : " -engine gost";
}

class KeyMaterialTest : public testing::TestWithParam<KindCase> {};

// A key signs a digest; openssl verifies the reversed signature; a signature that openssl makes
// verifies here after reversal; a flipped byte does not.
TEST_P(KeyMaterialTest, SignaturesAgreeWithOpenssl) {
    const KindCase& k = GetParam();
    DWORD spec = 0;
    ALG_ID keyAlg = KeyAlgorithmFor(k.provType, k.alg, spec);
    ASSERT_NE(keyAlg, 0u);
    KeyKind kind;
    DWORD error = 0;
    Pkey key = GenerateKey(k.provType, keyAlg, 0, kind, error);
    ASSERT_TRUE(key) << std::hex << error;
    EXPECT_EQ(KeyBits(key.get()), k.keyLen);
    const std::string base = std::string("km-") + k.name;

    SecretBytes stored = EncodePrivateKey(key.get(), nullptr, error);
    ASSERT_FALSE(stored.empty());
    EXPECT_FALSE(IsEncryptedPrivateKey(stored));
    WriteFile(Dir() + "/" + base + ".key", stored.data(), stored.size());
    std::vector<BYTE> spki = PublicKeyInfoDer(key.get());
    WriteFile(Dir() + "/" + base + ".pub", spki.data(), spki.size());

    std::vector<BYTE> digest = Digest(k.hashAlg, "abc");
    WriteFile(Dir() + "/" + base + ".dgst", digest.data(), digest.size());
    std::vector<BYTE> signature = SignDigest(key.get(), k.hashAlg, digest.data(), digest.size(), error);
    ASSERT_FALSE(signature.empty()) << std::hex << error;
    std::vector<BYTE> reversed(signature.rbegin(), signature.rend());
    WriteFile(Dir() + "/" + base + ".sig", reversed.data(), reversed.size());
    const std::string digestOpt =
        k.opensslDigest[0] ? std::string(" -pkeyopt digest:") + k.opensslDigest : "";
    EXPECT_TRUE(Shell("openssl pkeyutl" + Engine(k) + " -verify -pubin -keyform DER -inkey " + base +
                      ".pub -in " + base + ".dgst -sigfile " + base + ".sig" + digestOpt));
    // The unreversed signature is not OpenSSL's.
    WriteFile(Dir() + "/" + base + ".bad", signature.data(), signature.size());
    EXPECT_FALSE(Shell("openssl pkeyutl" + Engine(k) + " -verify -pubin -keyform DER -inkey " + base +
                       ".pub -in " + base + ".dgst -sigfile " + base + ".bad" + digestOpt));

    ASSERT_TRUE(Shell("openssl pkeyutl" + Engine(k) + " -sign -keyform DER -inkey " + base + ".key -in " +
                      base + ".dgst -out " + base + ".osig" + digestOpt));
    std::vector<BYTE> theirs = ReadFile(Dir() + "/" + base + ".osig");
    std::vector<BYTE> ours(theirs.rbegin(), theirs.rend());
    Pkey pub = PublicHalf(key.get(), error);
    ASSERT_TRUE(pub);
    EXPECT_TRUE(
        VerifyDigest(pub.get(), k.hashAlg, digest.data(), digest.size(), ours.data(), ours.size(), error));
    ours[ours.size() / 2] ^= 1;
    error = 0;
    EXPECT_FALSE(
        VerifyDigest(pub.get(), k.hashAlg, digest.data(), digest.size(), ours.data(), ours.size(), error));
    EXPECT_EQ(error, NTE_BAD_SIGNATURE);
}

// The password-protected form reads with `openssl pkey` given the password and not without it; here a
// wrong password is SCARD_W_WRONG_CHV and none NTE_SILENT_CONTEXT.
TEST_P(KeyMaterialTest, PasswordProtectedFormReadsOnlyWithThePassword) {
    const KindCase& k = GetParam();
    DWORD spec = 0;
    KeyKind kind;
    DWORD error = 0;
    Pkey key = GenerateKey(k.provType, KeyAlgorithmFor(k.provType, k.alg, spec), 0, kind, error);
    ASSERT_TRUE(key);
    SecretText password("mivo");
    SecretBytes stored = EncodePrivateKey(key.get(), &password, error);
    ASSERT_FALSE(stored.empty());
    EXPECT_TRUE(IsEncryptedPrivateKey(stored));
    const std::string file = std::string("km-") + k.name + ".p8";
    WriteFile(Dir() + "/" + file, stored.data(), stored.size());
    EXPECT_TRUE(Shell("openssl pkey" + Engine(k) + " -inform DER -in " + file + " -passin pass:mivo -noout"));
    EXPECT_FALSE(Shell("openssl pkey" + Engine(k) + " -inform DER -in " + file + " -passin pass: -noout"));
    EXPECT_FALSE(
        Shell("openssl pkey" + Engine(k) + " -inform DER -in " + file + " -passin pass:miva -noout"));
    // PBES2 with PBKDF2-HMAC-SHA256 and AES-256-CBC.
    EXPECT_TRUE(Shell("openssl asn1parse -inform DER -in " + file +
                      " | grep -q hmacWithSHA256 && openssl asn1parse -inform DER -in " + file +
                      " | grep -q aes-256-cbc"));

    Pkey back = DecodePrivateKey(stored, &password, error);
    ASSERT_TRUE(back);
    EXPECT_TRUE(SamePublicKey(back.get(), key.get()));
    SecretText wrong("miva");
    error = 0;
    EXPECT_FALSE(DecodePrivateKey(stored, &wrong, error));
    EXPECT_EQ(error, SCARD_W_WRONG_CHV);
    error = 0;
    EXPECT_FALSE(DecodePrivateKey(stored, nullptr, error));
    EXPECT_EQ(error, NTE_SILENT_CONTEXT);
    SecretBytes damaged(stored.begin(), stored.begin() + stored.size() / 2);
    error = 0;
    EXPECT_FALSE(DecodePrivateKey(damaged, &password, error));
    EXPECT_EQ(error, NTE_BAD_KEYSET);
}

// The public-key blob round-trips to the same key and kind, and a SubjectPublicKeyInfo does too.
TEST_P(KeyMaterialTest, PublicFormsRoundTrip) {
    const KindCase& k = GetParam();
    DWORD spec = 0;
    KeyKind kind;
    DWORD error = 0;
    Pkey key = GenerateKey(k.provType, KeyAlgorithmFor(k.provType, k.alg, spec), 0, kind, error);
    ASSERT_TRUE(key);
    std::vector<BYTE> blob = PublicKeyBlob(key.get(), kind);
    ASSERT_GE(blob.size(), 16u);
    KeyKind back;
    Pkey pub = PublicKeyFromBlob(blob.data(), blob.size(), back, error);
    ASSERT_TRUE(pub) << std::hex << error;
    EXPECT_TRUE(SamePublicKey(pub.get(), key.get()));
    EXPECT_EQ(back.algId, kind.algId);
    EXPECT_EQ(back.keyParamset, kind.keyParamset);
    EXPECT_EQ(back.hashParamset, kind.hashParamset);
    EXPECT_EQ(PublicKeyBlob(pub.get(), back), blob);
    // Nothing follows the key: its last bitlen/8 bytes are the key.
    DWORD bitlen = blob[12] | blob[13] << 8;
    if (k.provType == PROV_RSA_FULL) {
        EXPECT_EQ(blob.size(), 20 + bitlen / 8);
    } else {
        EXPECT_EQ(bitlen, k.keyLen);
        EXPECT_EQ(blob[16], 0x30);
        EXPECT_EQ(blob.size(), 16 + 2 + blob[17] + bitlen / 8);
    }
    std::vector<BYTE> spki = PublicKeyInfoDer(key.get());
    Pkey fromInfo = PublicKeyFromInfoDer(spki.data(), spki.size(), error);
    ASSERT_TRUE(fromInfo);
    EXPECT_TRUE(SamePublicKey(fromInfo.get(), key.get()));
    KeyKind described;
    ASSERT_TRUE(DescribePublicKey(fromInfo.get(), described));
    EXPECT_EQ(described.keyParamset, kind.keyParamset);
    EXPECT_EQ(described.hashParamset, kind.hashParamset);
    described.algId = kind.algId;
    EXPECT_EQ(PublicKeyBlob(fromInfo.get(), described), blob);

    // Damaged blobs are refused.
    std::vector<BYTE> shortBlob(blob.begin(), blob.end() - 1);
    EXPECT_FALSE(PublicKeyFromBlob(shortBlob.data(), shortBlob.size(), back, error));
    std::vector<BYTE> longBlob = blob;
    longBlob.push_back(0);
    EXPECT_FALSE(PublicKeyFromBlob(longBlob.data(), longBlob.size(), back, error));
}

INSTANTIATE_TEST_SUITE_P(Kinds, KeyMaterialTest, testing::ValuesIn(Kinds),
                         [](const testing::TestParamInfo<KindCase>& info) { return info.param.name; });

// The 2012-256 exchange key's blob starts with the fixed header and its parameter sets.
TEST(KeyMaterial, GostExchangeBlobHeader) {
    DWORD spec = 0;
    ALG_ID alg = KeyAlgorithmFor(PROV_GOST_2012_256, AT_KEYEXCHANGE, spec);
    KeyKind kind;
    DWORD error = 0;
    Pkey key = GenerateKey(PROV_GOST_2012_256, alg, 0, kind, error);
    ASSERT_TRUE(key);
    std::vector<BYTE> blob = PublicKeyBlob(key.get(), kind);
    const std::vector<BYTE> header = {0x06, 0x20, 0x00, 0x00, 0x46, 0xAA, 0x00, 0x00,
                                      0x4D, 0x41, 0x47, 0x31, 0x00, 0x02, 0x00, 0x00};
    ASSERT_GE(blob.size(), 16u + 21 + 64);
    EXPECT_EQ(std::vector<BYTE>(blob.begin(), blob.begin() + 16), header);
    // SEQUENCE { 1.2.643.2.2.36.0, 1.2.643.7.1.1.2.2 }
    const std::vector<BYTE> params = {0x30, 0x13, 0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x00,
                                      0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};
    EXPECT_EQ(std::vector<BYTE>(blob.begin() + 16, blob.begin() + 16 + 21), params);
    EXPECT_EQ(blob.size(), 16u + 21 + 64);
}

TEST(KeyMaterial, AlgorithmsOfProviderTypes) {
    struct Case {
        DWORD type;
        ALG_ID alg;
        ALG_ID expected;
        DWORD spec;
    };
    const Case cases[] = {
        {PROV_GOST_2012_256, AT_KEYEXCHANGE, CALG_DH_GR3410_12_256_SF, AT_KEYEXCHANGE},
        {PROV_GOST_2012_256, AT_SIGNATURE, CALG_GR3410_12_256, AT_SIGNATURE},
        {PROV_GOST_2012_256, CALG_GR3410_12_256, CALG_GR3410_12_256, AT_SIGNATURE},
        {PROV_GOST_2012_256, CALG_GR3410_12_512, 0, 0},
        {PROV_GOST_2012_256, CALG_GR3410EL, 0, 0},
        {PROV_GOST_2012_512, AT_KEYEXCHANGE, CALG_DH_GR3410_12_512_SF, AT_KEYEXCHANGE},
        {PROV_GOST_2012_512, CALG_GR3410_12_512, CALG_GR3410_12_512, AT_SIGNATURE},
        {PROV_GOST_2001_DH, AT_SIGNATURE, CALG_GR3410EL, AT_SIGNATURE},
        {PROV_GOST_2001_DH, CALG_DH_EL_SF, CALG_DH_EL_SF, AT_KEYEXCHANGE},
        {PROV_RSA_FULL, AT_KEYEXCHANGE, CALG_RSA_KEYX, AT_KEYEXCHANGE},
        {PROV_RSA_FULL, CALG_RSA_SIGN, CALG_RSA_SIGN, AT_SIGNATURE},
        {PROV_RSA_FULL, CALG_GR3410_12_256, 0, 0},
        {PROV_RSA_AES, AT_KEYEXCHANGE, 0, 0},
    };
    for (const Case& c : cases) {
        DWORD spec = 0;
        EXPECT_EQ(KeyAlgorithmFor(c.type, c.alg, spec), c.expected) << c.type << " " << std::hex << c.alg;
        if (c.expected) {
            EXPECT_EQ(spec, c.spec);
        }
    }
}

// The RSA key length comes from the caller; GOST keys use their algorithm's parameter sets.
TEST(KeyMaterial, KindsOfNewKeys) {
    KeyKind kind;
    DWORD error = 0;
    Pkey rsa = GenerateKey(PROV_RSA_FULL, CALG_RSA_KEYX, 1024, kind, error);
    ASSERT_TRUE(rsa);
    EXPECT_EQ(KeyBits(rsa.get()), 1024u);
    Pkey sig = GenerateKey(PROV_GOST_2012_256, CALG_GR3410_12_256, 0, kind, error);
    ASSERT_TRUE(sig);
    EXPECT_EQ(kind.keyParamset, "1.2.643.2.2.35.1");
    EXPECT_EQ(kind.hashParamset, "1.2.643.7.1.1.2.2");
    Pkey big = GenerateKey(PROV_GOST_2012_512, CALG_DH_GR3410_12_512_SF, 0, kind, error);
    ASSERT_TRUE(big);
    EXPECT_EQ(kind.keyParamset, "1.2.643.7.1.2.1.2.1");
    EXPECT_EQ(kind.hashParamset, "1.2.643.7.1.1.2.3");
    // Different keys are different; the same point under another parameter-set name is the same key.
    EXPECT_FALSE(SamePublicKey(sig.get(), rsa.get()));
    Pkey other = GenerateKey(PROV_GOST_2012_256, CALG_GR3410_12_256, 0, kind, error);
    EXPECT_FALSE(SamePublicKey(sig.get(), other.get()));
    Pkey xch = GenerateKey(PROV_GOST_2012_256, CALG_DH_GR3410_12_256_SF, 0, kind, error);
    ASSERT_TRUE(xch);
    KeyKind renamed = kind;
    renamed.keyParamset = "1.2.643.2.2.35.1";  // the curve of XchA
    std::vector<BYTE> blob = PublicKeyBlob(xch.get(), renamed);
    KeyKind back;
    Pkey same = PublicKeyFromBlob(blob.data(), blob.size(), back, error);
    ASSERT_TRUE(same);
    EXPECT_EQ(back.keyParamset, "1.2.643.2.2.35.1");
    EXPECT_TRUE(SamePublicKey(same.get(), xch.get()));
    // A digest of another size than the key's, or no digest algorithm.
    std::vector<BYTE> digest = Digest(CALG_GR3411_2012_512, "abc");
    error = 0;
    EXPECT_TRUE(SignDigest(sig.get(), CALG_GR3411_2012_512, digest.data(), digest.size(), error).empty());
    EXPECT_EQ(error, NTE_BAD_HASH);
    error = 0;
    EXPECT_TRUE(SignDigest(sig.get(), CALG_GR3410_12_256, digest.data(), 32, error).empty());
    EXPECT_EQ(error, NTE_BAD_ALGID);
    error = 0;
    EXPECT_FALSE(GenerateKey(PROV_GOST_2012_256, CALG_SHA_256, 0, kind, error));
    EXPECT_EQ(error, NTE_BAD_ALGID);
}

}  // namespace
