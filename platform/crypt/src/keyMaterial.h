// Keys of the provider stand-in as OpenSSL objects, without any knowledge of containers: generation
// for an ALG_ID, the stored form (PKCS#8, encrypted with PBES2 when the container has a password),
// the public-key forms (SubjectPublicKeyInfo, CryptoAPI PUBLICKEYBLOB) and raw signatures in
// CryptoAPI byte order. Failures come back as a Win32/NTE code in `error`, never as exceptions.
#pragma once

#include <vsk/platform/crypt.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

struct evp_pkey_st;

namespace vsk::crypt {

// Allocator whose memory is wiped before it is given back: passwords, PINs and decrypted key bytes
// live only in containers that use it.
template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, size_t n) noexcept {
        volatile unsigned char* b = reinterpret_cast<volatile unsigned char*>(p);
        for (size_t i = 0; i < n * sizeof(T); ++i) b[i] = 0;
        std::allocator<T>().deallocate(p, n);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};
using SecretBytes = std::vector<unsigned char, WipingAllocator<unsigned char>>;
// A password as the library hands it over: code page 1251 bytes without the NUL.
using SecretText = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

// An OpenSSL key, shared between key handles and the context that decrypted it.
using Pkey = std::shared_ptr<evp_pkey_st>;

// What a container keeps about one key besides the key itself.
struct KeyKind {
    ALG_ID algId = 0;          // CALG_DH_GR3410_12_256_SF, CALG_GR3410_12_256, CALG_RSA_KEYX, ...
    std::string keyParamset;   // public-key parameter set OID (GOST only)
    std::string hashParamset;  // digest parameter set OID (GOST only)
};

// The key ALG_ID that CryptGenKey makes for `alg` (AT_KEYEXCHANGE, AT_SIGNATURE or an explicit ALG_ID)
// on a provider of `provType`; 0 when the type does not make such keys (the caller answers
// NTE_BAD_ALGID). `spec` receives the key spec the key is kept under.
ALG_ID KeyAlgorithmFor(DWORD provType, ALG_ID alg, DWORD& spec);

// A new key pair. `rsaBits` 0 means the default (2048). The kind's parameter sets are filled with
// the defaults of the algorithm.
Pkey GenerateKey(DWORD provType, ALG_ID keyAlg, DWORD rsaBits, KeyKind& kind, DWORD& error);
// A new GOST key pair of `keyAlg` on the parameter set `paramset` (dotted OID): ephemeral keys made
// with CRYPT_PREGEN take the set of the other side. NTE_BAD_DATA when the set does not fit the key.
Pkey GenerateGostKey(ALG_ID keyAlg, const std::string& paramset, KeyKind& kind, DWORD& error);
// The key length that KP_KEYLEN reports: 512 or 1024 for GOST (public-key bits), modulus bits for RSA.
DWORD KeyBits(const evp_pkey_st* key);

// The stored form: PrivateKeyInfo DER without a password (null or empty), else PBES2
// EncryptedPrivateKeyInfo DER (PBKDF2-HMAC-SHA256, AES-256-CBC), which `openssl pkey` reads with the
// password. Empty on failure.
SecretBytes EncodePrivateKey(const evp_pkey_st* key, const SecretText* password, DWORD& error);
// Whether a stored form is encrypted (needs a password).
bool IsEncryptedPrivateKey(const SecretBytes& stored);
// The key of a stored form. An encrypted form with a wrong password gives SCARD_W_WRONG_CHV; an
// encrypted form without one NTE_SILENT_CONTEXT; damaged data NTE_BAD_KEYSET.
Pkey DecodePrivateKey(const SecretBytes& stored, const SecretText* password, DWORD& error);

// The public half of a key (a new key object without private parts).
Pkey PublicHalf(const evp_pkey_st* key, DWORD& error);
// SubjectPublicKeyInfo DER as i2d_PUBKEY writes it, and back.
std::vector<BYTE> PublicKeyInfoDer(const evp_pkey_st* key);
Pkey PublicKeyFromInfoDer(const BYTE* der, size_t size, DWORD& error);
// The kind of a public key that came without one (an imported SubjectPublicKeyInfo): its parameter
// sets, and the ALG_ID of an exchange key for an exchange parameter set (and for every 512-bit GOST
// key, whose sets are shared), of a signature key otherwise; CALG_RSA_KEYX for RSA. False for
// another kind of key.
bool DescribePublicKey(const evp_pkey_st* key, KeyKind& kind);
// The parts of a SubjectPublicKeyInfo as CERT_PUBLIC_KEY_INFO holds them: the algorithm OID (dotted
// text), the DER of its parameters (empty when absent) and the key bits.
struct PublicKeyInfoParts {
    std::string algorithmOid;
    std::vector<BYTE> parameters;
    std::vector<BYTE> keyBits;
    DWORD unusedBits = 0;
};
bool SplitPublicKeyInfo(const BYTE* der, size_t size, PublicKeyInfoParts& parts);
std::vector<BYTE> JoinPublicKeyInfo(const PublicKeyInfoParts& parts);

// Whether two keys have the same public key (the key bits; parameter sets may be named differently).
bool SamePublicKey(const evp_pkey_st* a, const evp_pkey_st* b);

// PUBLICKEYBLOB: GOST "MAG1" with SEQUENCE {key paramset, hash paramset} and X||Y little-endian;
// RSA "RSA1" with the modulus little-endian, bitlen/8 bytes.
std::vector<BYTE> PublicKeyBlob(const evp_pkey_st* key, const KeyKind& kind);
// A public key from a PUBLICKEYBLOB; `kind` receives the blob's ALG_ID and parameter sets.
Pkey PublicKeyFromBlob(const BYTE* blob, size_t size, KeyKind& kind, DWORD& error);

// A signature of a digest made with the hash algorithm `hashAlg`, in CryptoAPI byte order (the
// reverse of OpenSSL's output). Empty with `error` set on failure.
std::vector<BYTE> SignDigest(const evp_pkey_st* key, ALG_ID hashAlg, const BYTE* digest, size_t digestSize,
                             DWORD& error);
// Checks a signature in CryptoAPI byte order: NTE_BAD_SIGNATURE when it does not match.
bool VerifyDigest(const evp_pkey_st* key, ALG_ID hashAlg, const BYTE* digest, size_t digestSize,
                  const BYTE* signature, size_t signatureSize, DWORD& error);

}  // namespace vsk::crypt
