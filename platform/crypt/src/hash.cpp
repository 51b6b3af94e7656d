// Hash objects: digests through OpenSSL, values in the digest's own byte order.
#include "cryptState.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace vsk::crypt {

HashObject::~HashObject() {
    EVP_MD_CTX_free(md);
}

static std::shared_ptr<HashObject> FindHash(HCRYPTHASH hash) {
    return std::static_pointer_cast<HashObject>(FindHandle(hash, HandleKind::Hash, NTE_BAD_HASH));
}

static DWORD HashSize(const HashObject& h) {
    return static_cast<DWORD>(EVP_MD_CTX_get_size(h.md));
}

}  // namespace vsk::crypt

using namespace vsk::crypt;

BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID alg, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash) {
    auto ctx = FindContext(prov);
    if (!ctx) return FALSE;
    if (!hash) return Fail(ERROR_INVALID_PARAMETER);
    *hash = 0;
    if (flags) return Fail(NTE_BAD_FLAGS);
    // Keyed hashes come with the keys; until then every key handle is unknown.
    if (key && !FindHandle(key, HandleKind::Key, NTE_BAD_KEY)) return FALSE;
    const ProviderEntry& p = *ctx->provider;
    if (GET_ALG_CLASS(alg) != ALG_CLASS_HASH || !p.findAlgorithm(alg)) return Fail(NTE_BAD_ALGID);
    const auto& refused = p.inject.refusedHashes;
    if (std::find(refused.begin(), refused.end(), alg) != refused.end()) return Fail(NTE_BAD_ALGID);
    const EVP_MD* md = DigestOf(alg);
    if (!md) {
        // A GOST digest is missing only when the GOST engine could not be loaded.
        bool gost = alg == CALG_GR3411 || alg == CALG_GR3411_2012_256 || alg == CALG_GR3411_2012_512;
        return Fail(gost ? NTE_PROVIDER_DLL_FAIL : NTE_BAD_ALGID);
    }
    auto h = std::make_shared<HashObject>();
    h->context = ctx;
    h->alg = alg;
    h->md = EVP_MD_CTX_new();
    if (!h->md) return Fail(NTE_NO_MEMORY);
    if (EVP_DigestInit_ex(h->md, md, nullptr) != 1) return Fail(NTE_FAIL);
    *hash = AddHandle(HandleKind::Hash, h);
    return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD dataLen, DWORD flags) {
    auto h = FindHash(hash);
    if (!h) return FALSE;
    if (flags) return Fail(NTE_BAD_FLAGS);
    if (!data && dataLen) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(h->mutex);
    if (h->finished) return Fail(NTE_BAD_HASH_STATE);
    if (dataLen && EVP_DigestUpdate(h->md, data, dataLen) != 1) return Fail(NTE_FAIL);
    return TRUE;
}

BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags) {
    auto h = FindHash(hash);
    if (!h) return FALSE;
    if (!dataLen) return Fail(ERROR_INVALID_PARAMETER);
    if (flags) return Fail(NTE_BAD_FLAGS);
    std::lock_guard lock(h->mutex);
    DWORD value = 0;
    switch (param) {
        case HP_ALGID:
            value = h->alg;
            break;
        case HP_HASHSIZE:
            value = HashSize(*h);
            break;
        case HP_HASHVAL: {
            DWORD size = HashSize(*h);
            if (!data) {
                *dataLen = size;
                return TRUE;
            }
            if (*dataLen < size) {
                *dataLen = size;
                return Fail(ERROR_MORE_DATA);
            }
            if (!h->finished) {
                h->value.resize(size);
                unsigned int written = 0;
                if (EVP_DigestFinal_ex(h->md, h->value.data(), &written) != 1) return Fail(NTE_FAIL);
                h->finished = true;
            }
            std::memcpy(data, h->value.data(), size);
            *dataLen = size;
            return TRUE;
        }
        default:
            return Fail(NTE_BAD_TYPE);
    }
    if (!data) {
        *dataLen = sizeof value;
        return TRUE;
    }
    if (*dataLen < sizeof value) {
        *dataLen = sizeof value;
        return Fail(ERROR_MORE_DATA);
    }
    std::memcpy(data, &value, sizeof value);
    *dataLen = sizeof value;
    return TRUE;
}

BOOL CryptSetHashParam(HCRYPTHASH hash, DWORD param, const BYTE* data, DWORD flags) {
    auto h = FindHash(hash);
    if (!h) return FALSE;
    if (flags) return Fail(NTE_BAD_FLAGS);
    if (param != HP_HASHVAL) return Fail(NTE_BAD_TYPE);
    if (!data) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(h->mutex);
    h->value.assign(data, data + HashSize(*h));
    h->finished = true;
    return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hash) {
    return RemoveHandle(hash, HandleKind::Hash, NTE_BAD_HASH) ? TRUE : FALSE;
}
