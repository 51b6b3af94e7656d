// Key material of the provider stand-in on OpenSSL 3. GOST keys come from the GOST engine (its
// provider module cannot make keys or signatures), RSA keys from the default provider.
#define OPENSSL_SUPPRESS_DEPRECATED  // EVP_PKEY_get0 reads the GOST engine's key objects
#include "keyMaterial.h"

#include "cryptState.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>

namespace vsk::crypt {

namespace {

// Parameter sets given to new keys, and the digest parameter set of each key algorithm.
constexpr const char* ExchangeParamset256 = "1.2.643.2.2.36.0";   // CryptoPro XchA
constexpr const char* SignatureParamset256 = "1.2.643.2.2.35.1";  // CryptoPro A
constexpr const char* Paramset512 = "1.2.643.7.1.2.1.2.1";        // TC26 512 A
constexpr const char* HashParamset2001 = "1.2.643.2.2.30.1";
constexpr const char* HashParamset2012_256 = "1.2.643.7.1.1.2.2";
constexpr const char* HashParamset2012_512 = "1.2.643.7.1.1.2.3";

constexpr DWORD PbkdfIterations = 100000;
constexpr int PbkdfSaltSize = 16;
constexpr DWORD DefaultRsaBits = 2048;

constexpr DWORD MagicGost = 0x3147414D;  // "MAG1"
constexpr DWORD MagicRsa = 0x31415352;   // "RSA1"
constexpr BYTE BlobVersionGost = 0x20;
constexpr BYTE BlobVersionRsa = 0x02;

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct PubkeyFree {
    void operator()(X509_PUBKEY* p) const { X509_PUBKEY_free(p); }
};
struct P8Free {
    void operator()(PKCS8_PRIV_KEY_INFO* p) const { PKCS8_PRIV_KEY_INFO_free(p); }
};
struct SigFree {
    void operator()(X509_SIG* p) const { X509_SIG_free(p); }
};
struct BnFree {
    void operator()(BIGNUM* p) const { BN_free(p); }
};
using CtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

// OpenSSL's thread error queue is emptied when a function of this file ends: failures travel as
// our own codes, and stale entries would be blamed on a later unrelated call.
struct ClearErrors {
    ~ClearErrors() { ERR_clear_error(); }
};

Pkey Own(EVP_PKEY* key) {
    return Pkey(key, PkeyFree{});
}

// The three GOST key algorithms, by OpenSSL's key type.
enum class Gost { None, K2001, K2012_256, K2012_512 };

Gost GostKind(const EVP_PKEY* key) {
    switch (EVP_PKEY_get_base_id(key)) {
        case NID_id_GostR3410_2001:
            return Gost::K2001;
        case NID_id_GostR3410_2012_256:
            return Gost::K2012_256;
        case NID_id_GostR3410_2012_512:
            return Gost::K2012_512;
        default:
            return Gost::None;
    }
}

Gost GostKindOfAlg(ALG_ID alg) {
    switch (alg) {
        case CALG_GR3410EL:
        case CALG_DH_EL_SF:
        case CALG_DH_EL_EPHEM:
            return Gost::K2001;
        case CALG_GR3410_12_256:
        case CALG_DH_GR3410_12_256_SF:
        case CALG_DH_GR3410_12_256_EPHEM:
            return Gost::K2012_256;
        case CALG_GR3410_12_512:
        case CALG_DH_GR3410_12_512_SF:
        case CALG_DH_GR3410_12_512_EPHEM:
            return Gost::K2012_512;
        default:
            return Gost::None;
    }
}

int GostNid(Gost g) {
    switch (g) {
        case Gost::K2001:
            return NID_id_GostR3410_2001;
        case Gost::K2012_256:
            return NID_id_GostR3410_2012_256;
        case Gost::K2012_512:
            return NID_id_GostR3410_2012_512;
        default:
            return NID_undef;
    }
}

const char* HashParamsetOf(Gost g) {
    switch (g) {
        case Gost::K2001:
            return HashParamset2001;
        case Gost::K2012_256:
            return HashParamset2012_256;
        case Gost::K2012_512:
            return HashParamset2012_512;
        default:
            return "";
    }
}

// Public-key bytes of X||Y (twice the field size).
size_t GostKeyBytes(Gost g) {
    return g == Gost::K2012_512 ? 128 : 64;
}

bool IsExchangeAlg(ALG_ID alg) {
    return GET_ALG_CLASS(alg) == ALG_CLASS_KEY_EXCHANGE;
}

std::string OidText(const ASN1_OBJECT* obj) {
    char buf[128];
    int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
    if (n <= 0 || n >= static_cast<int>(sizeof buf)) return {};
    return std::string(buf, static_cast<size_t>(n));
}

// DER of an OBJECT IDENTIFIER given as dotted text; empty when the text is no OID.
std::vector<BYTE> OidDer(const std::string& text) {
    ASN1_OBJECT* obj = OBJ_txt2obj(text.c_str(), 1);
    if (!obj) return {};
    std::vector<BYTE> der;
    int n = i2d_ASN1_OBJECT(obj, nullptr);
    if (n > 0) {
        der.resize(static_cast<size_t>(n));
        unsigned char* p = der.data();
        i2d_ASN1_OBJECT(obj, &p);
    }
    ASN1_OBJECT_free(obj);
    return der;
}

// A DER header for `size` content bytes.
void PutHeader(std::vector<BYTE>& out, BYTE tag, size_t size) {
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
}

// Reads one DER element at `p` (tag and definite length); false when it does not fit in `end`.
bool ReadElement(const BYTE*& p, const BYTE* end, BYTE& tag, const BYTE*& content, size_t& size) {
    if (end - p < 2) return false;
    tag = p[0];
    size_t len = p[1];
    const BYTE* q = p + 2;
    if (len & 0x80) {
        size_t n = len & 0x7F;
        if (n == 0 || n > 2 || static_cast<size_t>(end - q) < n) return false;
        len = 0;
        for (size_t i = 0; i < n; ++i) len = (len << 8) | *q++;
    }
    if (static_cast<size_t>(end - q) < len) return false;
    content = q;
    size = len;
    p = q + len;
    return true;
}

// The parts of a SubjectPublicKeyInfo: algorithm OID, parameters and the key bits.
struct SpkiParts {
    int algNid = NID_undef;
    std::string paramset;  // GOST: the first OID of the parameters
    std::vector<BYTE> bits;
};

bool SplitSpki(const EVP_PKEY* key, SpkiParts& parts) {
    X509_PUBKEY* pub = nullptr;
    if (X509_PUBKEY_set(&pub, const_cast<EVP_PKEY*>(key)) != 1) return false;
    std::unique_ptr<X509_PUBKEY, PubkeyFree> hold(pub);
    ASN1_OBJECT* alg = nullptr;
    const unsigned char* bits = nullptr;
    int bitsLen = 0;
    X509_ALGOR* algor = nullptr;
    if (X509_PUBKEY_get0_param(&alg, &bits, &bitsLen, &algor, pub) != 1) return false;
    parts.algNid = OBJ_obj2nid(alg);
    parts.bits.assign(bits, bits + bitsLen);
    const void* pval = nullptr;
    int ptype = 0;
    X509_ALGOR_get0(nullptr, &ptype, &pval, algor);
    if (ptype == V_ASN1_SEQUENCE && pval) {
        const ASN1_STRING* seq = static_cast<const ASN1_STRING*>(pval);
        const BYTE* p = ASN1_STRING_get0_data(seq);
        const BYTE* end = p + ASN1_STRING_length(seq);
        BYTE tag = 0;
        const BYTE* content = nullptr;
        size_t size = 0;
        // The stored parameters hold the SEQUENCE itself.
        if (ReadElement(p, end, tag, content, size) && tag == 0x30) {
            const BYTE* q = content;
            const BYTE* oid = q;
            if (ReadElement(q, content + size, tag, content, size) && tag == 0x06) {
                const unsigned char* d = oid;
                ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &d, q - oid);
                if (obj) {
                    parts.paramset = OidText(obj);
                    ASN1_OBJECT_free(obj);
                }
            }
        }
    }
    return true;
}

// The GOST public key X||Y (little-endian) from the key bits of the SPKI: an OCTET STRING.
bool GostPoint(const SpkiParts& parts, Gost g, std::vector<BYTE>& point) {
    const BYTE* p = parts.bits.data();
    BYTE tag = 0;
    const BYTE* content = nullptr;
    size_t size = 0;
    if (!ReadElement(p, p + parts.bits.size(), tag, content, size) || tag != 0x04 || size != GostKeyBytes(g))
        return false;
    point.assign(content, content + size);
    return true;
}

// The parameter-set OID of a GOST key.
std::string GostParamset(const EVP_PKEY* key) {
    const EC_KEY* ec = static_cast<const EC_KEY*>(EVP_PKEY_get0(const_cast<EVP_PKEY*>(key)));
    if (ec) {
        if (const EC_GROUP* group = EC_KEY_get0_group(ec)) {
            int nid = EC_GROUP_get_curve_name(group);
            if (nid != NID_undef) return OidText(OBJ_nid2obj(nid));
        }
    }
    SpkiParts parts;
    return SplitSpki(key, parts) ? parts.paramset : std::string();
}

Pkey KeyFromSpkiDer(const BYTE* der, size_t size) {
    const unsigned char* p = der;
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, static_cast<long>(size));
    if (!key || p != der + size) {
        EVP_PKEY_free(key);
        return nullptr;
    }
    return Own(key);
}

Pkey GenerateGost(Gost g, const char* paramset, DWORD& error) {
    CtxPtr ctx(EVP_PKEY_CTX_new_id(GostNid(g), nullptr));
    if (!ctx) {
        error = NTE_PROVIDER_DLL_FAIL;
        return nullptr;
    }
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", paramset) <= 0 ||
        EVP_PKEY_keygen(ctx.get(), &key) != 1) {
        EVP_PKEY_free(key);
        error = NTE_FAIL;
        return nullptr;
    }
    return Own(key);
}

Pkey GenerateRsa(DWORD bits, DWORD& error) {
    CtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    BnPtr e(BN_new());
    if (!ctx || !e || BN_set_word(e.get(), RSA_F4) != 1 || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) <= 0 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) <= 0 ||
        EVP_PKEY_keygen(ctx.get(), &key) != 1) {
        EVP_PKEY_free(key);
        error = NTE_FAIL;
        return nullptr;
    }
    return Own(key);
}

// Reverses a byte string in place (CryptoAPI order <-> OpenSSL order).
void Reverse(std::vector<BYTE>& bytes) {
    std::reverse(bytes.begin(), bytes.end());
}

// An OpenSSL signature context of `key` for `hashAlg`; RSA gets PKCS#1 v1.5 with the DigestInfo of
// the digest. The digest must have the size of the hash algorithm.
CtxPtr SignatureContext(const EVP_PKEY* key, ALG_ID hashAlg, size_t digestSize, bool sign, DWORD& error) {
    Gost g = GostKind(key);
    const EVP_MD* md = nullptr;
    if (g == Gost::None) {
        md = DigestOf(hashAlg);
        if (!md || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
            error = NTE_BAD_ALGID;
            return nullptr;
        }
        if (static_cast<size_t>(EVP_MD_get_size(md)) != digestSize) {
            error = NTE_BAD_HASH;
            return nullptr;
        }
    } else {
        if (GET_ALG_CLASS(hashAlg) != ALG_CLASS_HASH) {
            error = NTE_BAD_ALGID;
            return nullptr;
        }
        // The engine signs the digest as a number of the field's size.
        if (digestSize != GostKeyBytes(g) / 2) {
            error = NTE_BAD_HASH;
            return nullptr;
        }
    }
    CtxPtr ctx(EVP_PKEY_CTX_new(const_cast<EVP_PKEY*>(key), nullptr));
    if (!ctx || (sign ? EVP_PKEY_sign_init(ctx.get()) : EVP_PKEY_verify_init(ctx.get())) != 1) {
        error = NTE_FAIL;
        return nullptr;
    }
    if (md && (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
               EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0)) {
        error = NTE_FAIL;
        return nullptr;
    }
    return ctx;
}

}  // namespace

ALG_ID KeyAlgorithmFor(DWORD provType, ALG_ID alg, DWORD& spec) {
    struct Pair {
        DWORD type;
        ALG_ID exchange;
        ALG_ID signature;
    };
    static constexpr Pair Pairs[] = {
        {PROV_GOST_2001_DH, CALG_DH_EL_SF, CALG_GR3410EL},
        {PROV_GOST_2012_256, CALG_DH_GR3410_12_256_SF, CALG_GR3410_12_256},
        {PROV_GOST_2012_512, CALG_DH_GR3410_12_512_SF, CALG_GR3410_12_512},
        {PROV_RSA_FULL, CALG_RSA_KEYX, CALG_RSA_SIGN},
    };
    for (const Pair& pair : Pairs) {
        if (pair.type != provType) continue;
        if (alg == AT_KEYEXCHANGE || alg == pair.exchange) {
            spec = AT_KEYEXCHANGE;
            return pair.exchange;
        }
        if (alg == AT_SIGNATURE || alg == pair.signature) {
            spec = AT_SIGNATURE;
            return pair.signature;
        }
        return 0;
    }
    return 0;
}

Pkey GenerateKey(DWORD provType, ALG_ID keyAlg, DWORD rsaBits, KeyKind& kind, DWORD& error) {
    ClearErrors clear;
    (void)provType;
    kind = KeyKind{};
    Gost g = GostKindOfAlg(keyAlg);
    if (g != Gost::None) {
        if (!GostEngine()) {
            error = NTE_PROVIDER_DLL_FAIL;
            return nullptr;
        }
        const char* paramset = g == Gost::K2012_512
                                   ? Paramset512
                                   : (IsExchangeAlg(keyAlg) ? ExchangeParamset256 : SignatureParamset256);
        Pkey key = GenerateGost(g, paramset, error);
        if (!key) return nullptr;
        kind.algId = keyAlg;
        kind.keyParamset = paramset;
        kind.hashParamset = HashParamsetOf(g);
        return key;
    }
    if (keyAlg == CALG_RSA_KEYX || keyAlg == CALG_RSA_SIGN) {
        DWORD bits = rsaBits ? rsaBits : DefaultRsaBits;
        if (bits < 512 || bits > 16384 || bits % 8) {
            error = NTE_BAD_FLAGS;
            return nullptr;
        }
        Pkey key = GenerateRsa(bits, error);
        if (!key) return nullptr;
        kind.algId = keyAlg;
        return key;
    }
    error = NTE_BAD_ALGID;
    return nullptr;
}

Pkey GenerateGostKey(ALG_ID keyAlg, const std::string& paramset, KeyKind& kind, DWORD& error) {
    ClearErrors clear;
    kind = KeyKind{};
    Gost g = GostKindOfAlg(keyAlg);
    if (g == Gost::None) {
        error = NTE_BAD_ALGID;
        return nullptr;
    }
    if (!GostEngine()) {
        error = NTE_PROVIDER_DLL_FAIL;
        return nullptr;
    }
    Pkey key = GenerateGost(g, paramset.c_str(), error);
    if (!key) {
        error = NTE_BAD_DATA;
        return nullptr;
    }
    kind.algId = keyAlg;
    kind.keyParamset = paramset;
    kind.hashParamset = HashParamsetOf(g);
    return key;
}

DWORD KeyBits(const evp_pkey_st* key) {
    switch (GostKind(key)) {
        case Gost::K2001:
        case Gost::K2012_256:
            return 512;
        case Gost::K2012_512:
            return 1024;
        default:
            return static_cast<DWORD>(EVP_PKEY_get_bits(key));
    }
}

bool DescribePublicKey(const evp_pkey_st* key, KeyKind& kind) {
    ClearErrors clear;
    kind = KeyKind{};
    Gost g = GostKind(key);
    if (g == Gost::None) {
        if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return false;
        kind.algId = CALG_RSA_KEYX;
        return true;
    }
    kind.keyParamset = GostParamset(key);
    if (kind.keyParamset.empty()) return false;
    kind.hashParamset = HashParamsetOf(g);
    // An exchange parameter set marks an exchange key; 512-bit keys share their parameter sets, and
    // the exchange key is the one containers make first.
    bool exchange = g == Gost::K2012_512 || kind.keyParamset == "1.2.643.2.2.36.0" ||
                    kind.keyParamset == "1.2.643.2.2.36.1";
    switch (g) {
        case Gost::K2001:
            kind.algId = exchange ? CALG_DH_EL_SF : CALG_GR3410EL;
            break;
        case Gost::K2012_256:
            kind.algId = exchange ? CALG_DH_GR3410_12_256_SF : CALG_GR3410_12_256;
            break;
        default:
            kind.algId = CALG_DH_GR3410_12_512_SF;
            break;
    }
    return true;
}

SecretBytes EncodePrivateKey(const evp_pkey_st* key, const SecretText* password, DWORD& error) {
    ClearErrors clear;
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, P8Free> p8(EVP_PKEY2PKCS8(key));
    if (!p8) {
        error = NTE_FAIL;
        return {};
    }
    SecretBytes out;
    if (!password || password->empty()) {
        int n = i2d_PKCS8_PRIV_KEY_INFO(p8.get(), nullptr);
        if (n <= 0) {
            error = NTE_FAIL;
            return {};
        }
        out.resize(static_cast<size_t>(n));
        unsigned char* p = out.data();
        i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &p);
        return out;
    }
    // A random salt of 16 bytes and a random IV (null arguments).
    X509_ALGOR* pbe = PKCS5_pbe2_set_iv(EVP_aes_256_cbc(), static_cast<int>(PbkdfIterations), nullptr,
                                        PbkdfSaltSize, nullptr, NID_hmacWithSHA256);
    if (!pbe) {
        error = NTE_FAIL;
        return {};
    }
    X509_SIG* sig = PKCS8_set0_pbe(password->data(), static_cast<int>(password->size()), p8.get(), pbe);
    if (!sig) {
        X509_ALGOR_free(pbe);
        error = NTE_FAIL;
        return {};
    }
    std::unique_ptr<X509_SIG, SigFree> hold(sig);
    int n = i2d_X509_SIG(sig, nullptr);
    if (n <= 0) {
        error = NTE_FAIL;
        return {};
    }
    out.resize(static_cast<size_t>(n));
    unsigned char* p = out.data();
    i2d_X509_SIG(sig, &p);
    return out;
}

bool IsEncryptedPrivateKey(const SecretBytes& stored) {
    // PrivateKeyInfo starts with its version INTEGER; EncryptedPrivateKeyInfo with the algorithm's
    // SEQUENCE.
    const BYTE* p = stored.data();
    BYTE tag = 0;
    const BYTE* content = nullptr;
    size_t size = 0;
    if (!ReadElement(p, p + stored.size(), tag, content, size) || tag != 0x30 || size < 2) return false;
    return content[0] == 0x30;
}

Pkey DecodePrivateKey(const SecretBytes& stored, const SecretText* password, DWORD& error) {
    ClearErrors clear;
    const unsigned char* p = stored.data();
    const long size = static_cast<long>(stored.size());
    if (IsEncryptedPrivateKey(stored)) {
        if (!password) {
            error = NTE_SILENT_CONTEXT;
            return nullptr;
        }
        std::unique_ptr<X509_SIG, SigFree> sig(d2i_X509_SIG(nullptr, &p, size));
        if (!sig) {
            error = NTE_BAD_KEYSET;
            return nullptr;
        }
        std::unique_ptr<PKCS8_PRIV_KEY_INFO, P8Free> p8(
            PKCS8_decrypt(sig.get(), password->data(), static_cast<int>(password->size())));
        EVP_PKEY* key = p8 ? EVP_PKCS82PKEY(p8.get()) : nullptr;
        if (!key) {
            // A wrong password mostly fails the padding; else the decrypted bytes are no key.
            error = SCARD_W_WRONG_CHV;
            return nullptr;
        }
        return Own(key);
    }
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, P8Free> p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, size));
    EVP_PKEY* key = p8 ? EVP_PKCS82PKEY(p8.get()) : nullptr;
    if (!key) {
        error = NTE_BAD_KEYSET;
        return nullptr;
    }
    return Own(key);
}

Pkey PublicHalf(const evp_pkey_st* key, DWORD& error) {
    std::vector<BYTE> der = PublicKeyInfoDer(key);
    Pkey pub = der.empty() ? nullptr : KeyFromSpkiDer(der.data(), der.size());
    if (!pub) error = NTE_BAD_KEY;
    return pub;
}

std::vector<BYTE> PublicKeyInfoDer(const evp_pkey_st* key) {
    int n = i2d_PUBKEY(key, nullptr);
    if (n <= 0) return {};
    std::vector<BYTE> der(static_cast<size_t>(n));
    unsigned char* p = der.data();
    i2d_PUBKEY(key, &p);
    return der;
}

Pkey PublicKeyFromInfoDer(const BYTE* der, size_t size, DWORD& error) {
    ClearErrors clear;
    GostEngine();
    Pkey key = der && size ? KeyFromSpkiDer(der, size) : nullptr;
    if (!key) error = NTE_BAD_PUBLIC_KEY;
    return key;
}

bool SplitPublicKeyInfo(const BYTE* der, size_t size, PublicKeyInfoParts& parts) {
    ClearErrors clear;
    parts = PublicKeyInfoParts{};
    if (!der) return false;
    const BYTE* p = der;
    const BYTE* end = der + size;
    BYTE tag = 0;
    const BYTE* spki = nullptr;
    size_t spkiSize = 0;
    if (!ReadElement(p, end, tag, spki, spkiSize) || tag != 0x30 || p != end) return false;
    const BYTE* q = spki;
    const BYTE* spkiEnd = spki + spkiSize;
    const BYTE* alg = nullptr;
    size_t algSize = 0;
    if (!ReadElement(q, spkiEnd, tag, alg, algSize) || tag != 0x30) return false;
    const BYTE* bits = nullptr;
    size_t bitsSize = 0;
    if (!ReadElement(q, spkiEnd, tag, bits, bitsSize) || tag != 0x03 || bitsSize < 1 || q != spkiEnd)
        return false;
    const BYTE* a = alg;
    const BYTE* oid = nullptr;
    size_t oidSize = 0;
    if (!ReadElement(a, alg + algSize, tag, oid, oidSize) || tag != 0x06) return false;
    const unsigned char* d = alg;
    ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &d, a - alg);
    if (!obj) return false;
    parts.algorithmOid = OidText(obj);
    ASN1_OBJECT_free(obj);
    if (parts.algorithmOid.empty()) return false;
    parts.parameters.assign(a, alg + algSize);
    parts.unusedBits = bits[0];
    parts.keyBits.assign(bits + 1, bits + bitsSize);
    return true;
}

std::vector<BYTE> JoinPublicKeyInfo(const PublicKeyInfoParts& parts) {
    std::vector<BYTE> oid = OidDer(parts.algorithmOid);
    if (oid.empty() || parts.unusedBits > 7) return {};
    std::vector<BYTE> alg;
    PutHeader(alg, 0x30, oid.size() + parts.parameters.size());
    alg.insert(alg.end(), oid.begin(), oid.end());
    alg.insert(alg.end(), parts.parameters.begin(), parts.parameters.end());
    std::vector<BYTE> bits;
    PutHeader(bits, 0x03, parts.keyBits.size() + 1);
    bits.push_back(static_cast<BYTE>(parts.unusedBits));
    bits.insert(bits.end(), parts.keyBits.begin(), parts.keyBits.end());
    std::vector<BYTE> der;
    PutHeader(der, 0x30, alg.size() + bits.size());
    der.insert(der.end(), alg.begin(), alg.end());
    der.insert(der.end(), bits.begin(), bits.end());
    return der;
}

bool SamePublicKey(const evp_pkey_st* a, const evp_pkey_st* b) {
    ClearErrors clear;
    if (!a || !b) return false;
    // The key bits decide: GOST keys with the same point may name their (equal) curves by different
    // parameter sets.
    SpkiParts pa, pb;
    return EVP_PKEY_get_base_id(a) == EVP_PKEY_get_base_id(b) && SplitSpki(a, pa) && SplitSpki(b, pb) &&
           pa.bits == pb.bits;
}

std::vector<BYTE> PublicKeyBlob(const evp_pkey_st* key, const KeyKind& kind) {
    ClearErrors clear;
    std::vector<BYTE> blob;
    auto putDword = [&blob](DWORD v) {
        for (int i = 0; i < 4; ++i) blob.push_back(static_cast<BYTE>(v >> (8 * i)));
    };
    Gost g = GostKind(key);
    if (g != Gost::None) {
        SpkiParts parts;
        std::vector<BYTE> point;
        if (!SplitSpki(key, parts) || !GostPoint(parts, g, point)) return {};
        std::vector<BYTE> keyOid = OidDer(kind.keyParamset.empty() ? parts.paramset : kind.keyParamset);
        std::vector<BYTE> hashOid = OidDer(kind.hashParamset.empty() ? HashParamsetOf(g) : kind.hashParamset);
        if (keyOid.empty() || hashOid.empty()) return {};
        blob = {PUBLICKEYBLOB, BlobVersionGost, 0, 0};
        putDword(kind.algId);
        putDword(MagicGost);
        putDword(static_cast<DWORD>(point.size() * 8));
        PutHeader(blob, 0x30, keyOid.size() + hashOid.size());
        blob.insert(blob.end(), keyOid.begin(), keyOid.end());
        blob.insert(blob.end(), hashOid.begin(), hashOid.end());
        blob.insert(blob.end(), point.begin(), point.end());
        return blob;
    }
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return {};
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) != 1 ||
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) != 1) {
        BN_free(n);
        BN_free(e);
        return {};
    }
    BnPtr holdN(n), holdE(e);
    const int bits = BN_num_bits(n);
    const int bytes = (bits + 7) / 8;
    if (BN_num_bits(e) > 32) return {};
    blob = {PUBLICKEYBLOB, BlobVersionRsa, 0, 0};
    putDword(kind.algId ? kind.algId : CALG_RSA_KEYX);
    putDword(MagicRsa);
    putDword(static_cast<DWORD>(bytes * 8));
    putDword(static_cast<DWORD>(BN_get_word(e)));
    size_t at = blob.size();
    blob.resize(at + static_cast<size_t>(bytes));
    if (BN_bn2lebinpad(n, blob.data() + at, bytes) != bytes) return {};
    return blob;
}

Pkey PublicKeyFromBlob(const BYTE* blob, size_t size, KeyKind& kind, DWORD& error) {
    ClearErrors clear;
    error = NTE_BAD_DATA;
    if (!blob || size < 16 || blob[0] != PUBLICKEYBLOB) return nullptr;
    auto dword = [blob](size_t at) {
        return static_cast<DWORD>(blob[at]) | static_cast<DWORD>(blob[at + 1]) << 8 |
               static_cast<DWORD>(blob[at + 2]) << 16 | static_cast<DWORD>(blob[at + 3]) << 24;
    };
    const ALG_ID alg = dword(4);
    const DWORD magic = dword(8);
    const DWORD bitlen = dword(12);
    kind = KeyKind{};
    if (magic == MagicGost) {
        Gost g = GostKindOfAlg(alg);
        if (g == Gost::None || blob[1] != BlobVersionGost) {
            error = NTE_BAD_ALGID;
            return nullptr;
        }
        // The size decides between 256 and 512 bits; 2001 keys stay 2001 keys.
        if (bitlen == 1024)
            g = Gost::K2012_512;
        else if (bitlen == 512 && g == Gost::K2012_512)
            g = Gost::K2012_256;
        else if (bitlen != 512)
            return nullptr;
        const BYTE* p = blob + 16;
        const BYTE* end = blob + size;
        BYTE tag = 0;
        const BYTE* content = nullptr;
        size_t len = 0;
        if (!ReadElement(p, end, tag, content, len) || tag != 0x30) return nullptr;
        const BYTE* params = blob + 16;
        const size_t paramsSize = static_cast<size_t>(p - params);
        if (static_cast<size_t>(end - p) != bitlen / 8) return nullptr;
        // The parameter sets: the key's, the digest's (and a cipher's, not kept).
        std::vector<std::string> oids;
        for (const BYTE* q = content; q < content + len;) {
            const BYTE* start = q;
            const BYTE* c = nullptr;
            size_t n = 0;
            if (!ReadElement(q, content + len, tag, c, n) || tag != 0x06) return nullptr;
            const unsigned char* d = start;
            ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &d, q - start);
            if (!obj) return nullptr;
            oids.push_back(OidText(obj));
            ASN1_OBJECT_free(obj);
        }
        if (oids.empty()) return nullptr;
        // SubjectPublicKeyInfo {AlgorithmIdentifier {key OID, parameters}, BIT STRING {OCTET STRING X||Y}}
        std::vector<BYTE> algOid;
        {
            const ASN1_OBJECT* obj = OBJ_nid2obj(GostNid(g));
            int n = i2d_ASN1_OBJECT(obj, nullptr);
            if (n <= 0) return nullptr;
            algOid.resize(static_cast<size_t>(n));
            unsigned char* w = algOid.data();
            i2d_ASN1_OBJECT(obj, &w);
        }
        std::vector<BYTE> algId;
        PutHeader(algId, 0x30, algOid.size() + paramsSize);
        algId.insert(algId.end(), algOid.begin(), algOid.end());
        algId.insert(algId.end(), params, params + paramsSize);
        std::vector<BYTE> octets;
        PutHeader(octets, 0x04, bitlen / 8);
        octets.insert(octets.end(), p, end);
        std::vector<BYTE> bits;
        PutHeader(bits, 0x03, octets.size() + 1);
        bits.push_back(0);
        bits.insert(bits.end(), octets.begin(), octets.end());
        std::vector<BYTE> spki;
        PutHeader(spki, 0x30, algId.size() + bits.size());
        spki.insert(spki.end(), algId.begin(), algId.end());
        spki.insert(spki.end(), bits.begin(), bits.end());
        GostEngine();
        Pkey key = KeyFromSpkiDer(spki.data(), spki.size());
        if (!key) {
            error = NTE_BAD_PUBLIC_KEY;
            return nullptr;
        }
        kind.algId = alg;
        kind.keyParamset = oids[0];
        kind.hashParamset = oids.size() > 1 ? oids[1] : HashParamsetOf(g);
        error = 0;
        return key;
    }
    if (magic == MagicRsa) {
        if (blob[1] != BlobVersionRsa || (alg != CALG_RSA_KEYX && alg != CALG_RSA_SIGN)) {
            error = NTE_BAD_ALGID;
            return nullptr;
        }
        if (size < 20 || bitlen == 0 || bitlen % 8 || size - 20 != bitlen / 8) return nullptr;
        BnPtr n(BN_lebin2bn(blob + 20, static_cast<int>(bitlen / 8), nullptr));
        BnPtr e(BN_new());
        if (!n || !e || BN_set_word(e.get(), dword(16)) != 1) return nullptr;
        OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
        OSSL_PARAM* params = nullptr;
        if (bld && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n.get()) == 1 &&
            OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e.get()) == 1)
            params = OSSL_PARAM_BLD_to_param(bld);
        OSSL_PARAM_BLD_free(bld);
        EVP_PKEY* key = nullptr;
        CtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
        bool ok = params && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
                  EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) == 1;
        OSSL_PARAM_free(params);
        if (!ok) {
            EVP_PKEY_free(key);
            error = NTE_BAD_PUBLIC_KEY;
            return nullptr;
        }
        kind.algId = alg;
        error = 0;
        return Own(key);
    }
    return nullptr;
}

std::vector<BYTE> SignDigest(const evp_pkey_st* key, ALG_ID hashAlg, const BYTE* digest, size_t digestSize,
                             DWORD& error) {
    ClearErrors clear;
    CtxPtr ctx = SignatureContext(key, hashAlg, digestSize, true, error);
    if (!ctx) return {};
    size_t size = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &size, digest, digestSize) != 1) {
        error = NTE_FAIL;
        return {};
    }
    std::vector<BYTE> signature(size);
    if (EVP_PKEY_sign(ctx.get(), signature.data(), &size, digest, digestSize) != 1) {
        error = NTE_FAIL;
        return {};
    }
    signature.resize(size);
    Reverse(signature);
    return signature;
}

bool VerifyDigest(const evp_pkey_st* key, ALG_ID hashAlg, const BYTE* digest, size_t digestSize,
                  const BYTE* signature, size_t signatureSize, DWORD& error) {
    ClearErrors clear;
    CtxPtr ctx = SignatureContext(key, hashAlg, digestSize, false, error);
    if (!ctx) return false;
    if (!signature || signatureSize == 0) {
        error = NTE_BAD_SIGNATURE;
        return false;
    }
    std::vector<BYTE> reversed(signature, signature + signatureSize);
    Reverse(reversed);
    if (EVP_PKEY_verify(ctx.get(), reversed.data(), reversed.size(), digest, digestSize) != 1) {
        error = NTE_BAD_SIGNATURE;
        return false;
    }
    return true;
}

}  // namespace vsk::crypt
