// Hash objects: digests through OpenSSL, values in the digest's own byte order.
//
// Short inputs are common (thumbprints, password hashes, signed attributes), and for them setting up
// a digest context costs as much as the hashing: a new context is allocated, OpenSSL searches its
// engine tables for the digest and allocates the digest's state. So the context of a destroyed hash
// object is kept on its thread for the next hash of the same algorithm; set up again for the digest it
// already had, it skips the search and the allocations.
#include "cryptState.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace vsk::crypt {

static_assert(sizeof(HashObject::value) >= EVP_MAX_MD_SIZE);

namespace {

// Digest contexts kept by one thread. A few per thread cover the usual mix of algorithms (a
// thumbprint and a GOST hash side by side); more would only hold memory.
class SpareContexts {
public:
    static constexpr size_t Max = 4;

    ~SpareContexts() {
        s_gone = true;
        for (auto& spare : m_spares) EVP_MD_CTX_free(spare.second);
    }

    // A kept context of `alg`, or null.
    static EVP_MD_CTX* take(ALG_ID alg) {
        if (s_gone) return nullptr;
        auto& spares = instance().m_spares;
        for (auto it = spares.begin(); it != spares.end(); ++it)
            if (it->first == alg) {
                EVP_MD_CTX* md = it->second;
                spares.erase(it);
                return md;
            }
        return nullptr;
    }

    // Keeps `md` or frees it when the thread keeps enough (or is ending).
    static void give(ALG_ID alg, EVP_MD_CTX* md) {
        if (!s_gone && alg != 0) {
            auto& spares = instance().m_spares;
            if (spares.size() < Max) {
                spares.emplace_back(alg, md);
                return;
            }
        }
        EVP_MD_CTX_free(md);
    }

private:
    static SpareContexts& instance() {
        thread_local SpareContexts spares;
        return spares;
    }

    std::vector<std::pair<ALG_ID, EVP_MD_CTX*>> m_spares;
    // Set when the thread's spares were destroyed: a hash object released later frees its context.
    static thread_local bool s_gone;
};

thread_local bool SpareContexts::s_gone = false;

std::shared_ptr<HashObject> FindHash(HCRYPTHASH hash) {
    return std::static_pointer_cast<HashObject>(FindHandle(hash, HandleKind::Hash, NTE_BAD_HASH));
}

}  // namespace

void DigestContextRelease::operator()(evp_md_ctx_st* md) const {
    SpareContexts::give(alg, md);
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
    const EVP_MD* digest = DigestOf(alg);
    if (!digest) {
        // A GOST digest is missing only when the GOST engine could not be loaded.
        bool gost = alg == CALG_GR3411 || alg == CALG_GR3411_2012_256 || alg == CALG_GR3411_2012_512;
        return Fail(gost ? NTE_PROVIDER_DLL_FAIL : NTE_BAD_ALGID);
    }
    auto h = std::make_shared<HashObject>();
    h->context = std::move(ctx);
    h->alg = alg;
    h->size = static_cast<DWORD>(EVP_MD_get_size(digest));
    EVP_MD_CTX* md = SpareContexts::take(alg);
    if (!md) md = EVP_MD_CTX_new();
    if (!md) return Fail(NTE_NO_MEMORY);
    // Only a context that was set up for the digest goes back to the spares.
    h->md = DigestContext(md, DigestContextRelease{0});
    if (EVP_DigestInit_ex(md, digest, nullptr) != 1) return Fail(NTE_FAIL);
    h->md.get_deleter().alg = alg;
    *hash = AddHandle(HandleKind::Hash, std::move(h));
    return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD dataLen, DWORD flags) {
    auto h = FindHash(hash);
    if (!h) return FALSE;
    if (flags) return Fail(NTE_BAD_FLAGS);
    if (!data && dataLen) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(h->mutex);
    if (h->finished) return Fail(NTE_BAD_HASH_STATE);
    if (dataLen && EVP_DigestUpdate(h->md.get(), data, dataLen) != 1) return Fail(NTE_FAIL);
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
            value = h->size;
            break;
        case HP_HASHVAL: {
            const DWORD size = h->size;
            if (!data) {
                *dataLen = size;
                return TRUE;
            }
            if (*dataLen < size) {
                *dataLen = size;
                return Fail(ERROR_MORE_DATA);
            }
            if (!h->finished) {
                unsigned int written = 0;
                if (EVP_DigestFinal_ex(h->md.get(), h->value, &written) != 1) return Fail(NTE_FAIL);
                h->finished = true;
            }
            std::memcpy(data, h->value, size);
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
    std::memcpy(h->value, data, h->size);
    h->finished = true;
    return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hash) {
    return RemoveHandle(hash, HandleKind::Hash, NTE_BAD_HASH) ? TRUE : FALSE;
}
