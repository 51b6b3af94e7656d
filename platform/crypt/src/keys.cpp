// Key functions: key handles over the keys of a context's container (generated or read back), and
// public keys imported from blobs or SubjectPublicKeyInfo. The private key of a container key is
// never held by its handle: signing unlocks it through the container (password, prompt), which keeps
// it while the context is open.
#include "containerStore.h"
#include "cryptState.h"
#include "keyMaterial.h"

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cstring>

namespace vsk::crypt {

namespace {

// A key handle. A container key knows its context and spec; an imported public key has spec 0.
struct KeyObject : Object {
    std::shared_ptr<Context> context;
    DWORD spec = 0;
    KeyKind kind;
    bool exportable = false;
    std::mutex mutex;
    Pkey publicKey;  // taken from the container when first needed
};

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

}  // namespace

}  // namespace vsk::crypt

using namespace vsk::crypt;

BOOL CryptGenKey(HCRYPTPROV prov, ALG_ID alg, DWORD flags, HCRYPTKEY* key) {
    auto ctx = FindContext(prov);
    if (!ctx) return FALSE;
    if (!key) return Fail(ERROR_INVALID_PARAMETER);
    *key = 0;
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
    switch (param) {
        case KP_ALGID:
            return ReturnDword(k->kind.algId, data, dataLen);
        case KP_PERMISSIONS:
            return ReturnDword(k->exportable ? AllPermissions : AllPermissions & ~CRYPT_EXPORT, data,
                               dataLen);
        case KP_KEYLEN: {
            if (IsGostAlg(k->kind.algId))
                return ReturnDword(
                    k->kind.algId == CALG_GR3410_12_512 || k->kind.algId == CALG_DH_GR3410_12_512_SF ? 1024
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
    if (expKey && !FindKey(expKey)) return FALSE;
    // Session keys and private-key export come with encryption.
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
    if (pubKey && !FindKey(pubKey)) return FALSE;
    if (dataLen < sizeof(BLOBHEADER)) return Fail(NTE_BAD_DATA);
    // Agreement and session keys (a public key under a user key, SIMPLEBLOB) come with encryption.
    if (data[0] != PUBLICKEYBLOB) return Fail(NTE_BAD_TYPE);
    if (pubKey) return Fail(NTE_NOT_SUPPORTED);
    if (flags & ~CRYPT_EXPORTABLE) return Fail(NTE_BAD_FLAGS);
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

BOOL CryptEncrypt(HCRYPTKEY key, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*, DWORD) {
    return FindKey(key) ? Fail(NTE_NOT_SUPPORTED) : FALSE;
}

BOOL CryptDecrypt(HCRYPTKEY key, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*) {
    return FindKey(key) ? Fail(NTE_NOT_SUPPORTED) : FALSE;
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
