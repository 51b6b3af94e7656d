// OpenSSL 3 with the GOST engine. The engine is loaded once and made the default for everything it
// implements, so that GOST algorithms are found by name (md_gost12_256, gost89, ...).
#define OPENSSL_SUPPRESS_DEPRECATED  // the engine API is the only way to the GOST keys and signatures
#include "cryptState.h"

#include <openssl/engine.h>
#include <openssl/evp.h>

namespace vsk::crypt {

namespace {

bool LoadEngine() {
    OPENSSL_init_crypto(OPENSSL_INIT_ENGINE_DYNAMIC, nullptr);
    ENGINE* e = ENGINE_by_id("gost");
    if (!e) return false;
    bool ok = ENGINE_init(e) == 1;
    if (ok) {
        ok = ENGINE_set_default(e, ENGINE_METHOD_ALL) == 1;
        // The default tables hold their own references from here on.
        ENGINE_finish(e);
    }
    ENGINE_free(e);
    return ok;
}

const EVP_MD* GostDigest(const char* name) {
    if (!GostEngine()) return nullptr;
    return EVP_get_digestbyname(name);
}

}  // namespace

bool GostEngine() {
    static const bool loaded = LoadEngine();
    return loaded;
}

// The digests of the default provider are fetched once: a digest passed by its old-style constant
// (EVP_sha256()) makes OpenSSL fetch the implementation again at every set-up of a context.
const EVP_MD* DigestOf(ALG_ID alg) {
    switch (alg) {
        case CALG_MD5: {
            static const EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
            return md;
        }
        case CALG_SHA1: {
            static const EVP_MD* md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
            return md;
        }
        case CALG_SHA_256: {
            static const EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
            return md;
        }
        case CALG_SHA_384: {
            static const EVP_MD* md = EVP_MD_fetch(nullptr, "SHA384", nullptr);
            return md;
        }
        case CALG_SHA_512: {
            static const EVP_MD* md = EVP_MD_fetch(nullptr, "SHA512", nullptr);
            return md;
        }
        case CALG_GR3411: {
            static const EVP_MD* md = GostDigest("md_gost94");
            return md;
        }
        case CALG_GR3411_2012_256: {
            static const EVP_MD* md = GostDigest("md_gost12_256");
            return md;
        }
        case CALG_GR3411_2012_512: {
            static const EVP_MD* md = GostDigest("md_gost12_512");
            return md;
        }
        default:
            return nullptr;
    }
}

}  // namespace vsk::crypt

bool LoadGostEngine() {
    return vsk::crypt::GostEngine();
}
