// Key functions: key handles over the keys of a context's container (generated or read back), and
// public keys imported from blobs or SubjectPublicKeyInfo. The private key of a container key is
// never held by its handle: signing unlocks it through the container (password, prompt), which keeps
// it while the context is open.
#include "containerStore.h"
#include "cryptState.h"
#include "gost89.h"
#include "gostTransport.h"
#include "keyMaterial.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rand.h>

#include <cstring>

namespace vsk::crypt {

namespace {

// What a key handle stands for.
enum class KeyType {
    Pair,       // a container key, an imported public key or an ephemeral key pair
    Agreement,  // our private key with the other side's public key (VKO at each wrap)
    Session,    // a GOST 28147-89 key
};

// A key handle. A container key knows its context and spec; an imported public key and an ephemeral
// key have spec 0.
struct KeyObject : Object {
    std::shared_ptr<Context> context;
    KeyType type = KeyType::Pair;
    DWORD spec = 0;
    KeyKind kind;
    bool exportable = false;
    std::mutex mutex;
    Pkey publicKey;  // taken from the container when first needed
    // Ephemeral keys: the pair (null while a CRYPT_PREGEN key waits for KP_X); agreement keys: our
    // private key, with the other side's public key in `peer`.
    Pkey privateKey;
    bool pregen = false;
    Pkey peer;
    ALG_ID exportAlg = CALG_SIMPLE_EXPORT;  // agreement keys: the key wrap (KP_ALGID)
    // Session keys.
    SecretBytes secret;
    std::string cipherOid;  // S-box set (KP_CIPHEROID)
    BYTE iv[8] = {};
    std::unique_ptr<gost89::Cfb> stream;  // the message in progress between non-final calls
    bool streamEncrypt = false;

    ~KeyObject() override {
        if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
        OPENSSL_cleanse(iv, sizeof iv);
    }
};

bool IsEphemeralAlg(ALG_ID alg) {
    return alg == CALG_DH_EL_EPHEM || alg == CALG_DH_GR3410_12_256_EPHEM || alg == CALG_DH_GR3410_12_512_EPHEM;
}

// The ephemeral ALG_ID that a provider type makes; 0 for a type without one.
ALG_ID EphemeralAlgOf(DWORD provType) {
    switch (provType) {
        case PROV_GOST_2001_DH:
            return CALG_DH_EL_EPHEM;
        case PROV_GOST_2012_256:
            return CALG_DH_GR3410_12_256_EPHEM;
        case PROV_GOST_2012_512:
            return CALG_DH_GR3410_12_512_EPHEM;
        default:
            return 0;
    }
}

// The S-box set of new session keys: TC26 Z on the 2012 providers, CryptoPro A on 2001.
const char* DefaultCipherOid(DWORD provType) {
    return provType == PROV_GOST_2001_DH ? "1.2.643.2.2.31.1" : "1.2.643.7.1.2.5.1.1";
}

uint64_t AddSessionKey(std::shared_ptr<Context> ctx, const BYTE key[32], std::string cipherOid, bool exportable) {
    auto k = std::make_shared<KeyObject>();
    k->context = std::move(ctx);
    k->type = KeyType::Session;
    k->kind.algId = CALG_G28147;
    k->exportable = exportable;
    k->secret.assign(key, key + 32);
    k->cipherOid = std::move(cipherOid);
    RAND_bytes(k->iv, sizeof k->iv);
    return AddHandle(HandleKind::Key, std::move(k));
}

// Our private key of a pair handle: the ephemeral pair, else the container key (unlocked).
Pkey PrivateKeyOf(KeyObject& key, DWORD& error) {
    if (key.type != KeyType::Pair) {
        error = NTE_BAD_KEY;
        return nullptr;
    }
    {
        std::lock_guard lock(key.mutex);
        if (key.privateKey) return key.privateKey;
        if (key.pregen) {
            error = NTE_BAD_KEY_STATE;
            return nullptr;
        }
    }
    if (!key.spec) {
        error = NTE_BAD_KEY;  // a public key alone
        return nullptr;
    }
    return UnlockKey(*key.context, key.spec, error);
}

constexpr DWORD AllPermissions = 0x3F;
constexpr DWORD GenKeyFlagsKnown = CRYPT_EXPORTABLE | 0x2 /* CRYPT_USER_PROTECTED */;

std::shared_ptr<KeyObject> FindKey(HCRYPTKEY key) {
    return std::static_pointer_cast<KeyObject>(FindHandle(key, HandleKind::Key, NTE_BAD_KEY));
}

BOOL ReturnBytes(const void* bytes, size_t size, BYTE* data, DWORD* dataLen) {
    if (!data) {
        *dataLen = static_cast<DWORD>(size);
        return TRUE;
    }
    if (*dataLen < size) {
        *dataLen = static_cast<DWORD>(size);
        return Fail(ERROR_MORE_DATA);
    }
    if (size) std::memcpy(data, bytes, size);
    *dataLen = static_cast<DWORD>(size);
    return TRUE;
}

BOOL ReturnDword(DWORD value, BYTE* data, DWORD* dataLen) {
    return ReturnBytes(&value, sizeof value, data, dataLen);
}

bool IsGostAlg(ALG_ID alg) {
    switch (alg) {
        case CALG_GR3410EL:
        case CALG_DH_EL_SF:
        case CALG_GR3410_12_256:
        case CALG_DH_GR3410_12_256_SF:
        case CALG_GR3410_12_512:
        case CALG_DH_GR3410_12_512_SF:
            return true;
        default:
            return false;
    }
}

bool IsGostKey(const evp_pkey_st* key) {
    const int id = EVP_PKEY_get_base_id(key);
    return id == NID_id_GostR3410_2001 || id == NID_id_GostR3410_2012_256 || id == NID_id_GostR3410_2012_512;
}

// The public key of the container key `spec`: kept with the key, else from an unprotected private
// key, else from the unlocked key (password or prompt).
Pkey ContainerPublicKey(Context& ctx, DWORD spec, DWORD& error) {
    if (ctx.container.empty()) {
        error = NTE_NO_KEY;  // a verification context has no keys
        return nullptr;
    }
    StoredKey stored;
    if (!ContainerKey(ctx, spec, stored, error)) return nullptr;
    if (!stored.publicKey.empty())
        return PublicKeyFromInfoDer(stored.publicKey.data(), stored.publicKey.size(), error);
    Pkey key;
    if (IsEncryptedPrivateKey(stored.privateKey))
        key = UnlockKey(ctx, spec, error);
    else
        key = DecodePrivateKey(stored.privateKey, nullptr, error);
    return key ? PublicHalf(key.get(), error) : nullptr;
}

Pkey PublicKeyOf(KeyObject& key, DWORD& error) {
    std::lock_guard lock(key.mutex);
    if (key.type != KeyType::Pair) {
        error = NTE_BAD_KEY;
        return nullptr;
    }
    if (!key.publicKey && !key.spec) {
        error = NTE_BAD_KEY_STATE;  // an ephemeral key not generated yet
        return nullptr;
    }
    if (!key.publicKey) key.publicKey = ContainerPublicKey(*key.context, key.spec, error);
    return key.publicKey;
}

uint64_t AddKey(std::shared_ptr<Context> ctx, DWORD spec, const KeyKind& kind, bool exportable,
                Pkey publicKey) {
    auto k = std::make_shared<KeyObject>();
    k->context = std::move(ctx);
    k->spec = spec;
    k->kind = kind;
    k->exportable = exportable;
    k->publicKey = std::move(publicKey);
    return AddHandle(HandleKind::Key, std::move(k));
}

// The key bits of a KP_CERTIFICATE value: a certificate's SubjectPublicKeyInfo. Null when the bytes
// are no certificate.
Pkey CertificatePublicKey(const BYTE* der, size_t size, size_t& certSize) {
    // Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version, serial, signature, issuer,
    // validity, subject, subjectPublicKeyInfo, ... }, ... }
    auto element = [](const BYTE*& p, const BYTE* end, BYTE& tag, const BYTE*& content, size_t& len) {
        if (end - p < 2) return false;
        tag = p[0];
        len = p[1];
        const BYTE* q = p + 2;
        if (len & 0x80) {
            size_t n = len & 0x7F;
            if (n == 0 || n > 4 || static_cast<size_t>(end - q) < n) return false;
            len = 0;
            for (size_t i = 0; i < n; ++i) len = (len << 8) | *q++;
        }
        if (static_cast<size_t>(end - q) < len) return false;
        content = q;
        p = q + len;
        return true;
    };
    const BYTE* p = der;
    const BYTE* end = der + size;
    BYTE tag = 0;
    const BYTE* cert = nullptr;
    size_t len = 0;
    if (!element(p, end, tag, cert, len) || tag != 0x30) return nullptr;
    certSize = static_cast<size_t>(p - der);
    const BYTE* q = cert;
    const BYTE* tbs = nullptr;
    if (!element(q, cert + len, tag, tbs, len) || tag != 0x30) return nullptr;
    const BYTE* r = tbs;
    const BYTE* tbsEnd = tbs + len;
    const BYTE* content = nullptr;
    if (r < tbsEnd && *r == 0xA0 && !element(r, tbsEnd, tag, content, len)) return nullptr;
    for (int skip = 0; skip < 5; ++skip)  // serial, signature, issuer, validity, subject
        if (!element(r, tbsEnd, tag, content, len)) return nullptr;
    const BYTE* spki = r;
    if (!element(r, tbsEnd, tag, content, len) || tag != 0x30) return nullptr;
    DWORD error = 0;
    return PublicKeyFromInfoDer(spki, static_cast<size_t>(r - spki), error);
}

// The value of a hash object, finishing it.
bool HashValue(HashObject& h, std::vector<BYTE>& value) {
    std::lock_guard lock(h.mutex);
    if (!h.finished) {
        unsigned int written = 0;
        if (EVP_DigestFinal_ex(h.md.get(), h.value, &written) != 1) return false;
        h.finished = true;
    }
    value.assign(h.value, h.value + h.size);
    return true;
}

// The size of the signatures of the container key `spec`.
bool SignatureSize(Context& ctx, DWORD spec, size_t& size, DWORD& error) {
    if (ctx.container.empty()) {
        error = NTE_NO_KEY;
        return false;
    }
    StoredKey stored;
    if (!ContainerKey(ctx, spec, stored, error)) return false;
    if (IsGostAlg(stored.kind.algId)) {
        size = stored.kind.algId == CALG_GR3410_12_512 || stored.kind.algId == CALG_DH_GR3410_12_512_SF ? 128
                                                                                                        : 64;
        return true;
    }
    Pkey pub = ContainerPublicKey(ctx, spec, error);
    if (!pub) return false;
    size = static_cast<size_t>(EVP_PKEY_get_size(pub.get()));
    return true;
}

// The text of an OID parameter: NUL-terminated dotted text.
bool OidParam(const BYTE* data, std::string& oid) {
    if (!data) return false;
    const char* text = reinterpret_cast<const char*>(data);
    const size_t size = strnlen(text, 128);
    if (size == 0 || size == 128) return false;
    oid.assign(text, size);
    ASN1_OBJECT* obj = OBJ_txt2obj(oid.c_str(), 1);
    ASN1_OBJECT_free(obj);
    return obj != nullptr;
}

// CryptSetKeyParam of session, agreement and ephemeral keys.
BOOL SetSecretKeyParam(KeyObject& k, DWORD param, const BYTE* data) {
    std::lock_guard lock(k.mutex);
    switch (k.type) {
        case KeyType::Session:
            switch (param) {
                case KP_IV:
                    if (!data) return Fail(ERROR_INVALID_PARAMETER);
                    std::memcpy(k.iv, data, sizeof k.iv);
                    k.stream.reset();
                    return TRUE;
                case KP_MODE: {
                    if (!data) return Fail(ERROR_INVALID_PARAMETER);
                    DWORD mode = 0;
                    std::memcpy(&mode, data, sizeof mode);
                    return mode == CRYPT_MODE_CFB ? TRUE : Fail(NTE_BAD_DATA);
                }
                case KP_CIPHEROID: {
                    std::string oid;
                    if (!OidParam(data, oid)) return Fail(NTE_BAD_DATA);
                    if (!gost89::SBoxOf(oid)) return Fail(NTE_BAD_ALGID);
                    k.cipherOid = oid;
                    k.stream.reset();
                    return TRUE;
                }
                default:
                    return Fail(NTE_BAD_TYPE);
            }
        case KeyType::Agreement:
            if (param != KP_ALGID) return Fail(NTE_BAD_TYPE);
            if (!data) return Fail(ERROR_INVALID_PARAMETER);
            {
                ALG_ID alg = 0;
                std::memcpy(&alg, data, sizeof alg);
                if (alg != CALG_PRO_EXPORT && alg != CALG_SIMPLE_EXPORT) return Fail(NTE_BAD_ALGID);
                k.exportAlg = alg;
            }
            return TRUE;
        case KeyType::Pair:
            // An ephemeral key made with CRYPT_PREGEN: the parameter set, then the generation.
            if (param == KP_DHOID) {
                if (!k.pregen || k.privateKey) return Fail(NTE_BAD_KEY_STATE);
                std::string oid;
                if (!OidParam(data, oid)) return Fail(NTE_BAD_DATA);
                k.kind.keyParamset = oid;
                return TRUE;
            }
            if (param == KP_X) {
                if (data) return Fail(NTE_NOT_SUPPORTED);  // no import of a private value
                if (!k.pregen || k.privateKey || k.kind.keyParamset.empty()) return Fail(NTE_BAD_KEY_STATE);
                DWORD error = 0;
                KeyKind kind;
                Pkey pair = GenerateGostKey(k.kind.algId, k.kind.keyParamset, kind, error);
                if (!pair) return Fail(error);
                Pkey pub = PublicHalf(pair.get(), error);
                if (!pub) return Fail(error);
                k.kind = kind;
                k.privateKey = std::move(pair);
                k.publicKey = std::move(pub);
                return TRUE;
            }
            return Fail(NTE_BAD_TYPE);
    }
    return Fail(NTE_BAD_TYPE);
}

// The key-encryption key of an agreement for one UKM.
bool AgreementKek(KeyObject& agreement, const BYTE ukm[8], SecretBytes& kek, DWORD& error) {
    return gost89::Vko(agreement.privateKey.get(), agreement.peer.get(), ukm, kek, error);
}

// CryptExportKey(SIMPLEBLOB): the session key wrapped under an agreement key.
BOOL ExportSimpleBlob(KeyObject& session, KeyObject& agreement, BYTE* data, DWORD* dataLen) {
    std::string cipherOid;
    SecretBytes cek;
    {
        std::lock_guard lock(session.mutex);
        cipherOid = session.cipherOid;
        cek = session.secret;
    }
    std::vector<BYTE> block = GostParamSetBlock(cipherOid);
    const gost89::SBox* sbox = gost89::SBoxOf(cipherOid);
    if (block.empty() || !sbox) return Fail(NTE_BAD_ALGID);
    const size_t size = GostSimpleBlobFixedSize + block.size();
    if (!data) {
        *dataLen = static_cast<DWORD>(size);
        return TRUE;
    }
    if (*dataLen < size) {
        *dataLen = static_cast<DWORD>(size);
        return Fail(ERROR_MORE_DATA);
    }
    BYTE ukm[8];
    if (RAND_bytes(ukm, sizeof ukm) != 1) return Fail(NTE_FAIL);
    SecretBytes kek;
    DWORD error = 0;
    ALG_ID exportAlg = 0;
    {
        std::lock_guard lock(agreement.mutex);
        exportAlg = agreement.exportAlg;
    }
    if (!AgreementKek(agreement, ukm, kek, error)) return Fail(error);
    BYTE encrypted[32];
    BYTE mac[4];
    gost89::Wrap(*sbox, kek.data(), ukm, cek.data(), exportAlg == CALG_PRO_EXPORT, encrypted, mac);
    std::memset(data, 0, GostSimpleBlobFixedSize);
    auto put = [data](size_t at, DWORD v) {
        for (int i = 0; i < 4; ++i) data[at + i] = static_cast<BYTE>(v >> (8 * i));
    };
    data[0] = SIMPLEBLOB;
    data[1] = GOST_BLOB_VERSION;
    put(4, CALG_G28147);
    put(8, G28147_MAGIC);
    put(12, CALG_G28147);
    std::memcpy(data + 16, ukm, 8);
    std::memcpy(data + 24, encrypted, 32);
    std::memcpy(data + 56, mac, 4);
    std::memcpy(data + GostSimpleBlobFixedSize, block.data(), block.size());
    *dataLen = static_cast<DWORD>(size);
    return TRUE;
}

// CryptImportKey(SIMPLEBLOB): the session key unwrapped under an agreement key; a MAC that does not
// match (another key, a damaged blob) gives NTE_BAD_DATA.
BOOL ImportSimpleBlob(std::shared_ptr<Context> ctx, const BYTE* data, DWORD dataLen, KeyObject& agreement,
                      DWORD flags, HCRYPTKEY* key) {
    auto dword = [data](size_t at) {
        return static_cast<DWORD>(data[at]) | static_cast<DWORD>(data[at + 1]) << 8 |
               static_cast<DWORD>(data[at + 2]) << 16 | static_cast<DWORD>(data[at + 3]) << 24;
    };
    if (dataLen < GostSimpleBlobFixedSize) return Fail(NTE_BAD_DATA);
    if (data[1] != GOST_BLOB_VERSION) return Fail(NTE_BAD_VER);
    if (dword(4) != CALG_G28147 || dword(12) != CALG_G28147) return Fail(NTE_BAD_ALGID);
    if (dword(8) != G28147_MAGIC) return Fail(NTE_BAD_DATA);
    std::string cipherOid;
    if (!ParseGostParamSetBlock(data + GostSimpleBlobFixedSize, dataLen - GostSimpleBlobFixedSize, cipherOid))
        return Fail(NTE_BAD_DATA);
    const gost89::SBox* sbox = gost89::SBoxOf(cipherOid);
    if (!sbox) return Fail(NTE_BAD_ALGID);
    ALG_ID exportAlg = 0;
    {
        std::lock_guard lock(agreement.mutex);
        exportAlg = agreement.exportAlg;
    }
    SecretBytes kek;
    DWORD error = 0;
    if (!AgreementKek(agreement, data + 16, kek, error)) return Fail(error);
    BYTE cek[32];
    if (!gost89::Unwrap(*sbox, kek.data(), data + 16, data + 24, data + 56, exportAlg == CALG_PRO_EXPORT, cek))
        return Fail(NTE_BAD_DATA);
    *key = AddSessionKey(std::move(ctx), cek, cipherOid, flags & CRYPT_EXPORTABLE);
    OPENSSL_cleanse(cek, sizeof cek);
    return TRUE;
}

// CryptImportKey(PUBLICKEYBLOB, user key): an agreement key of the user key (container or ephemeral)
// and the blob's public key.
BOOL ImportAgreement(std::shared_ptr<Context> ctx, const BYTE* data, DWORD dataLen, KeyObject& userKey,
                     HCRYPTKEY* key) {
    KeyKind kind;
    DWORD error = 0;
    Pkey peer = PublicKeyFromBlob(data, dataLen, kind, error);
    if (!peer) return Fail(error);
    Pkey own = PrivateKeyOf(userKey, error);
    if (!own) return Fail(error);
    if (EVP_PKEY_get_base_id(own.get()) != EVP_PKEY_get_base_id(peer.get())) return Fail(NTE_BAD_PUBLIC_KEY);
    // A trial agreement refuses a key on another curve now rather than at the first wrap.
    const BYTE probe[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    SecretBytes trial;
    if (!gost89::Vko(own.get(), peer.get(), probe, trial, error)) return Fail(NTE_BAD_PUBLIC_KEY);
    auto k = std::make_shared<KeyObject>();
    k->context = std::move(ctx);
    k->type = KeyType::Agreement;
    k->kind.algId = CALG_SIMPLE_EXPORT;
    k->privateKey = std::move(own);
    k->peer = std::move(peer);
    *key = AddHandle(HandleKind::Key, std::move(k));
    return TRUE;
}

// CryptEncrypt / CryptDecrypt in place: CFB with key meshing; a non-final call leaves the stream open
// for the next one, a final call ends it (the next call starts again from KP_IV).
BOOL CipherInPlace(KeyObject& k, bool encrypt, BOOL final, BYTE* data, DWORD size) {
    std::lock_guard lock(k.mutex);
    if (!k.stream || k.streamEncrypt != encrypt) {
        const gost89::SBox* sbox = gost89::SBoxOf(k.cipherOid);
        if (!sbox) return Fail(NTE_BAD_ALGID);
        k.stream = std::make_unique<gost89::Cfb>();
        k.stream->init(*sbox, k.secret.data(), k.iv, encrypt);
        k.streamEncrypt = encrypt;
    }
    if (size) k.stream->process(data, size, data);
    if (final) k.stream.reset();
    return TRUE;
}

}  // namespace

}  // namespace vsk::crypt

using namespace vsk::crypt;

BOOL CryptGenKey(HCRYPTPROV prov, ALG_ID alg, DWORD flags, HCRYPTKEY* key) {
    auto ctx = FindContext(prov);
    if (!ctx) return FALSE;
    if (!key) return Fail(ERROR_INVALID_PARAMETER);
    *key = 0;
    if (alg == CALG_G28147) {
        if (flags & ~CRYPT_EXPORTABLE) return Fail(NTE_BAD_FLAGS);
        if (!EphemeralAlgOf(ctx->provider->type)) return Fail(NTE_BAD_ALGID);
        BYTE bytes[32];
        if (RAND_priv_bytes(bytes, sizeof bytes) != 1) return Fail(NTE_FAIL);
        *key = AddSessionKey(ctx, bytes, DefaultCipherOid(ctx->provider->type), flags & CRYPT_EXPORTABLE);
        OPENSSL_cleanse(bytes, sizeof bytes);
        return TRUE;
    }
    if (IsEphemeralAlg(alg)) {
        // Ephemeral keys live only in their handle, in any context. CRYPT_PREGEN waits for KP_DHOID
        // and KP_X, so that both sides of an agreement use one parameter set.
        if (flags & ~(CRYPT_EXPORTABLE | CRYPT_PREGEN)) return Fail(NTE_BAD_FLAGS);
        if (alg != EphemeralAlgOf(ctx->provider->type)) return Fail(NTE_BAD_ALGID);
        auto k = std::make_shared<KeyObject>();
        k->context = ctx;
        k->exportable = flags & CRYPT_EXPORTABLE;
        k->kind.algId = alg;
        if (flags & CRYPT_PREGEN) {
            k->pregen = true;
        } else {
            DWORD error = 0;
            KeyKind kind;
            Pkey pair = GenerateKey(ctx->provider->type, alg, 0, kind, error);
            if (!pair) return Fail(error);
            Pkey pub = PublicHalf(pair.get(), error);
            if (!pub) return Fail(error);
            k->kind = kind;
            k->privateKey = std::move(pair);
            k->publicKey = std::move(pub);
        }
        *key = AddHandle(HandleKind::Key, std::move(k));
        return TRUE;
    }
    if (flags & 0xFFFF & ~GenKeyFlagsKnown) return Fail(NTE_BAD_FLAGS);
    DWORD spec = 0;
    const ALG_ID keyAlg = KeyAlgorithmFor(ctx->provider->type, alg, spec);
    if (!keyAlg) return Fail(NTE_BAD_ALGID);
    // Keys are kept only in containers.
    if (ctx->container.empty()) return Fail(NTE_BAD_KEYSET);
    DWORD error = 0;
    KeyKind kind;
    Pkey pair = GenerateKey(ctx->provider->type, keyAlg, flags >> 16, kind, error);
    if (!pair) return Fail(error);
    const bool exportable = flags & CRYPT_EXPORTABLE;
    if (!PutKey(*ctx, spec, pair, kind, exportable, error)) return Fail(error);
    Pkey pub = PublicHalf(pair.get(), error);
    if (!pub) return Fail(error);
    *key = AddKey(std::move(ctx), spec, kind, exportable, std::move(pub));
    return TRUE;
}

BOOL CryptGetUserKey(HCRYPTPROV prov, DWORD spec, HCRYPTKEY* key) {
    auto ctx = FindContext(prov);
    if (!ctx) return FALSE;
    if (!key) return Fail(ERROR_INVALID_PARAMETER);
    *key = 0;
    if (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) return Fail(NTE_BAD_KEY);
    // A verification context has no keys.
    if (ctx->container.empty()) return Fail(NTE_NO_KEY);
    StoredKey stored;
    DWORD error = 0;
    if (!ContainerKey(*ctx, spec, stored, error)) return Fail(error);
    Pkey pub;
    if (!stored.publicKey.empty())
        pub = PublicKeyFromInfoDer(stored.publicKey.data(), stored.publicKey.size(), error);
    *key = AddKey(std::move(ctx), spec, stored.kind, stored.exportable, std::move(pub));
    return TRUE;
}

BOOL CryptDestroyKey(HCRYPTKEY key) {
    return RemoveHandle(key, HandleKind::Key, NTE_BAD_KEY) ? TRUE : FALSE;
}

BOOL CryptGetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags) {
    auto k = FindKey(key);
    if (!k) return FALSE;
    if (!dataLen) return Fail(ERROR_INVALID_PARAMETER);
    if (flags) return Fail(NTE_BAD_FLAGS);
    DWORD error = 0;
    if (k->type != KeyType::Pair) {
        std::lock_guard lock(k->mutex);
        const bool session = k->type == KeyType::Session;
        switch (param) {
            case KP_ALGID:
                return ReturnDword(session ? CALG_G28147 : k->exportAlg, data, dataLen);
            case KP_KEYLEN:
                return ReturnDword(256, data, dataLen);
            case KP_PERMISSIONS:
                return ReturnDword(k->exportable ? AllPermissions : AllPermissions & ~CRYPT_EXPORT, data,
                                   dataLen);
            case KP_IV:
                if (!session) return Fail(NTE_BAD_TYPE);
                return ReturnBytes(k->iv, sizeof k->iv, data, dataLen);
            case KP_MODE:
                if (!session) return Fail(NTE_BAD_TYPE);
                return ReturnDword(CRYPT_MODE_CFB, data, dataLen);
            case KP_CIPHEROID:
                if (!session) return Fail(NTE_BAD_TYPE);
                return ReturnBytes(k->cipherOid.c_str(), k->cipherOid.size() + 1, data, dataLen);
            default:
                return Fail(NTE_BAD_TYPE);
        }
    }
    switch (param) {
        case KP_DHOID: {
            std::lock_guard lock(k->mutex);
            if (k->kind.keyParamset.empty()) return Fail(k->pregen ? NTE_BAD_KEY_STATE : NTE_BAD_TYPE);
            return ReturnBytes(k->kind.keyParamset.c_str(), k->kind.keyParamset.size() + 1, data, dataLen);
        }
        case KP_ALGID:
            return ReturnDword(k->kind.algId, data, dataLen);
        case KP_PERMISSIONS:
            return ReturnDword(k->exportable ? AllPermissions : AllPermissions & ~CRYPT_EXPORT, data,
                               dataLen);
        case KP_KEYLEN: {
            if (IsGostAlg(k->kind.algId) || IsEphemeralAlg(k->kind.algId))
                return ReturnDword(k->kind.algId == CALG_GR3410_12_512 || k->kind.algId == CALG_DH_GR3410_12_512_SF ||
                                           k->kind.algId == CALG_DH_GR3410_12_512_EPHEM
                                       ? 1024
                                       : 512,
                                   data, dataLen);
            Pkey pub = PublicKeyOf(*k, error);
            if (!pub) return Fail(error);
            return ReturnDword(KeyBits(pub.get()), data, dataLen);
        }
        case KP_CERTIFICATE: {
            if (!k->spec) return Fail(NTE_NOT_FOUND);
            StoredKey stored;
            if (!ContainerKey(*k->context, k->spec, stored, error)) return Fail(error);
            if (stored.certificate.empty()) return Fail(NTE_NOT_FOUND);
            return ReturnBytes(stored.certificate.data(), stored.certificate.size(), data, dataLen);
        }
        default:
            return Fail(NTE_BAD_TYPE);
    }
}

BOOL CryptSetKeyParam(HCRYPTKEY key, DWORD param, const BYTE* data, DWORD flags) {
    auto k = FindKey(key);
    if (!k) return FALSE;
    if (flags) return Fail(NTE_BAD_FLAGS);
    if (k->type != KeyType::Pair || IsEphemeralAlg(k->kind.algId)) return SetSecretKeyParam(*k, param, data);
    if (param != KP_CERTIFICATE) return Fail(NTE_BAD_TYPE);
    if (!data) return Fail(ERROR_INVALID_PARAMETER);
    if (!k->spec) return Fail(NTE_BAD_KEY);
    // The certificate's length is its DER's own; its key must be this key, so that a container never
    // holds a certificate for another key.
    // The caller passes no length: the DER header of the certificate gives it.
    if (data[0] != 0x30) return Fail(NTE_BAD_DATA);
    size_t size = data[1];
    size_t headSize = 2;
    if (size & 0x80) {
        const size_t n = size & 0x7F;
        if (n == 0 || n > 3) return Fail(NTE_BAD_DATA);
        size = 0;
        for (size_t i = 0; i < n; ++i) size = (size << 8) | data[2 + i];
        headSize += n;
    }
    size += headSize;
    size_t certSize = 0;
    Pkey certKey = CertificatePublicKey(data, size, certSize);
    if (!certKey) return Fail(NTE_BAD_DATA);
    DWORD error = 0;
    Pkey own = PublicKeyOf(*k, error);
    if (!own) return Fail(error);
    if (!SamePublicKey(own.get(), certKey.get())) return Fail(NTE_BAD_PUBLIC_KEY);
    if (!PutCertificate(*k->context, k->spec, std::vector<BYTE>(data, data + certSize), error))
        return Fail(error);
    return TRUE;
}

BOOL CryptExportKey(HCRYPTKEY key, HCRYPTKEY expKey, DWORD blobType, DWORD flags, BYTE* data,
                    DWORD* dataLen) {
    auto k = FindKey(key);
    if (!k) return FALSE;
    if (!dataLen) return Fail(ERROR_INVALID_PARAMETER);
    std::shared_ptr<KeyObject> wrapping;
    if (expKey && !(wrapping = FindKey(expKey))) return FALSE;
    if (blobType == SIMPLEBLOB) {
        if (flags) return Fail(NTE_BAD_FLAGS);
        if (k->type != KeyType::Session) return Fail(NTE_BAD_KEY);
        if (!k->exportable) return Fail(NTE_BAD_KEY_STATE);
        if (!wrapping || wrapping->type != KeyType::Agreement) return Fail(NTE_BAD_PUBLIC_KEY);
        return ExportSimpleBlob(*k, *wrapping, data, dataLen);
    }
    if (blobType != PUBLICKEYBLOB) return Fail(NTE_BAD_TYPE);
    if (expKey) return Fail(NTE_BAD_KEY);
    if (flags) return Fail(NTE_BAD_FLAGS);
    DWORD error = 0;
    Pkey pub = PublicKeyOf(*k, error);
    if (!pub) return Fail(error);
    std::vector<BYTE> blob = PublicKeyBlob(pub.get(), k->kind);
    if (blob.empty()) return Fail(NTE_BAD_KEY);
    return ReturnBytes(blob.data(), blob.size(), data, dataLen);
}

BOOL CryptImportKey(HCRYPTPROV prov, const BYTE* data, DWORD dataLen, HCRYPTKEY pubKey, DWORD flags,
                    HCRYPTKEY* key) {
    auto ctx = FindContext(prov);
    if (!ctx) return FALSE;
    if (!key || !data || !dataLen) return Fail(ERROR_INVALID_PARAMETER);
    *key = 0;
    if (auto& busy = ctx->provider->inject.busyCalls; busy && busy->load() > 0 && busy->fetch_sub(1) > 0)
        return Fail(ERROR_BUSY);
    std::shared_ptr<KeyObject> with;
    if (pubKey && !(with = FindKey(pubKey))) return FALSE;
    if (dataLen < sizeof(BLOBHEADER)) return Fail(NTE_BAD_DATA);
    if (flags & ~CRYPT_EXPORTABLE) return Fail(NTE_BAD_FLAGS);
    if (data[0] == SIMPLEBLOB) {
        if (!with || with->type != KeyType::Agreement) return Fail(NTE_BAD_PUBLIC_KEY);
        return ImportSimpleBlob(std::move(ctx), data, dataLen, *with, flags, key);
    }
    if (data[0] != PUBLICKEYBLOB) return Fail(NTE_BAD_TYPE);
    if (with) return ImportAgreement(std::move(ctx), data, dataLen, *with, key);
    KeyKind kind;
    DWORD error = 0;
    Pkey pub = PublicKeyFromBlob(data, dataLen, kind, error);
    if (!pub) return Fail(error);
    *key = AddKey(std::move(ctx), 0, kind, true, std::move(pub));
    return TRUE;
}

BOOL CryptSignHashW(HCRYPTHASH hash, DWORD spec, LPCWSTR, DWORD flags, BYTE* signature, DWORD* signatureLen) {
    auto h = std::static_pointer_cast<HashObject>(FindHandle(hash, HandleKind::Hash, NTE_BAD_HASH));
    if (!h) return FALSE;
    if (!signatureLen) return Fail(ERROR_INVALID_PARAMETER);
    if (flags) return Fail(NTE_BAD_FLAGS);
    if (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) return Fail(NTE_BAD_KEY);
    Context& ctx = *h->context;
    DWORD error = 0;
    if (!signature) {
        size_t size = 0;
        if (!SignatureSize(ctx, spec, size, error)) return Fail(error);
        *signatureLen = static_cast<DWORD>(size);
        return TRUE;
    }
    if (ctx.container.empty()) return Fail(NTE_NO_KEY);
    Pkey pair = UnlockKey(ctx, spec, error);
    if (!pair) return Fail(error);
    // A buffer too small is answered before the hash is finished.
    const size_t size =
        IsGostKey(pair.get()) ? KeyBits(pair.get()) / 8 : static_cast<size_t>(EVP_PKEY_get_size(pair.get()));
    if (*signatureLen < size) {
        *signatureLen = static_cast<DWORD>(size);
        return Fail(ERROR_MORE_DATA);
    }
    std::vector<BYTE> value;
    if (!HashValue(*h, value)) return Fail(NTE_FAIL);
    std::vector<BYTE> sig = SignDigest(pair.get(), h->alg, value.data(), value.size(), error);
    if (sig.empty()) return Fail(error);
    return ReturnBytes(sig.data(), sig.size(), signature, signatureLen);
}

BOOL CryptVerifySignatureW(HCRYPTHASH hash, const BYTE* signature, DWORD signatureLen, HCRYPTKEY pubKey,
                           LPCWSTR, DWORD flags) {
    auto h = std::static_pointer_cast<HashObject>(FindHandle(hash, HandleKind::Hash, NTE_BAD_HASH));
    if (!h) return FALSE;
    auto k = FindKey(pubKey);
    if (!k) return FALSE;
    if (flags) return Fail(NTE_BAD_FLAGS);
    if (!signature && signatureLen) return Fail(ERROR_INVALID_PARAMETER);
    DWORD error = 0;
    Pkey pub = PublicKeyOf(*k, error);
    if (!pub) return Fail(error);
    std::vector<BYTE> value;
    if (!HashValue(*h, value)) return Fail(NTE_FAIL);
    if (!VerifyDigest(pub.get(), h->alg, value.data(), value.size(), signature, signatureLen, error))
        return Fail(error);
    return TRUE;
}

BOOL CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data, DWORD* dataLen,
                  DWORD bufLen) {
    auto k = FindKey(key);
    if (!k) return FALSE;
    if (!dataLen) return Fail(ERROR_INVALID_PARAMETER);
    if (k->type != KeyType::Session) return Fail(NTE_BAD_KEY);
    if (hash) return Fail(NTE_NOT_SUPPORTED);  // no hashing alongside
    if (flags) return Fail(NTE_BAD_FLAGS);
    // CFB: the ciphertext is as long as the plaintext, so a size query answers *dataLen itself.
    if (!data) return TRUE;
    if (bufLen < *dataLen) return Fail(ERROR_MORE_DATA);
    return CipherInPlace(*k, true, final, data, *dataLen);
}

BOOL CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data, DWORD* dataLen) {
    auto k = FindKey(key);
    if (!k) return FALSE;
    if (!dataLen || (!data && *dataLen)) return Fail(ERROR_INVALID_PARAMETER);
    if (k->type != KeyType::Session) return Fail(NTE_BAD_KEY);
    if (hash) return Fail(NTE_NOT_SUPPORTED);
    if (flags) return Fail(NTE_BAD_FLAGS);
    return CipherInPlace(*k, false, final, data, *dataLen);
}

BOOL CryptExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov, DWORD spec, DWORD encoding,
                              CERT_PUBLIC_KEY_INFO* info, DWORD* infoLen) {
    auto ctx = FindContext(prov);
    if (!ctx) return FALSE;
    if (!infoLen) return Fail(ERROR_INVALID_PARAMETER);
    if (!(encoding & X509_ASN_ENCODING)) return Fail(ERROR_INVALID_PARAMETER);
    if (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) return Fail(NTE_BAD_KEY);
    DWORD error = 0;
    Pkey pub = ContainerPublicKey(*ctx, spec, error);
    if (!pub) return Fail(error);
    std::vector<BYTE> der = PublicKeyInfoDer(pub.get());
    PublicKeyInfoParts parts;
    if (der.empty() || !SplitPublicKeyInfo(der.data(), der.size(), parts)) return Fail(NTE_BAD_KEY);
    // One block: the structure, the OID text, the parameters, the key bits.
    const size_t oidAt = sizeof(CERT_PUBLIC_KEY_INFO);
    const size_t paramsAt = oidAt + parts.algorithmOid.size() + 1;
    const size_t bitsAt = paramsAt + parts.parameters.size();
    const size_t total = bitsAt + parts.keyBits.size();
    if (!info) {
        *infoLen = static_cast<DWORD>(total);
        return TRUE;
    }
    if (*infoLen < total) {
        *infoLen = static_cast<DWORD>(total);
        return Fail(ERROR_MORE_DATA);
    }
    BYTE* base = reinterpret_cast<BYTE*>(info);
    std::memcpy(base + oidAt, parts.algorithmOid.c_str(), parts.algorithmOid.size() + 1);
    if (!parts.parameters.empty())
        std::memcpy(base + paramsAt, parts.parameters.data(), parts.parameters.size());
    std::memcpy(base + bitsAt, parts.keyBits.data(), parts.keyBits.size());
    info->Algorithm.pszObjId = reinterpret_cast<LPSTR>(base + oidAt);
    info->Algorithm.Parameters.cbData = static_cast<DWORD>(parts.parameters.size());
    info->Algorithm.Parameters.pbData = parts.parameters.empty() ? nullptr : base + paramsAt;
    info->PublicKey.cbData = static_cast<DWORD>(parts.keyBits.size());
    info->PublicKey.pbData = base + bitsAt;
    info->PublicKey.cUnusedBits = parts.unusedBits;
    *infoLen = static_cast<DWORD>(total);
    return TRUE;
}

BOOL CryptImportPublicKeyInfo(HCRYPTPROV prov, DWORD encoding, const CERT_PUBLIC_KEY_INFO* info,
                              HCRYPTKEY* key) {
    auto ctx = FindContext(prov);
    if (!ctx) return FALSE;
    if (!info || !key) return Fail(ERROR_INVALID_PARAMETER);
    *key = 0;
    if (!(encoding & X509_ASN_ENCODING)) return Fail(ERROR_INVALID_PARAMETER);
    if (!info->Algorithm.pszObjId || (!info->PublicKey.pbData && info->PublicKey.cbData) ||
        (!info->Algorithm.Parameters.pbData && info->Algorithm.Parameters.cbData))
        return Fail(ERROR_INVALID_PARAMETER);
    PublicKeyInfoParts parts;
    parts.algorithmOid = info->Algorithm.pszObjId;
    if (info->Algorithm.Parameters.cbData)
        parts.parameters.assign(info->Algorithm.Parameters.pbData,
                                info->Algorithm.Parameters.pbData + info->Algorithm.Parameters.cbData);
    if (info->PublicKey.cbData)
        parts.keyBits.assign(info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData);
    parts.unusedBits = info->PublicKey.cUnusedBits;
    std::vector<BYTE> der = JoinPublicKeyInfo(parts);
    DWORD error = 0;
    Pkey pub = der.empty() ? nullptr : PublicKeyFromInfoDer(der.data(), der.size(), error);
    if (!pub) return Fail(der.empty() ? NTE_BAD_ALGID : error);
    KeyKind kind;
    if (!DescribePublicKey(pub.get(), kind)) return Fail(NTE_BAD_ALGID);
    *key = AddKey(std::move(ctx), 0, kind, true, std::move(pub));
    return TRUE;
}
