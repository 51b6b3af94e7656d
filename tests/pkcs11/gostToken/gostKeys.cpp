#define OPENSSL_SUPPRESS_DEPRECATED  // the engine's keys are EC_KEYs behind the legacy method tables
#include "gostKeys.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/engine.h>
#include <openssl/objects.h>

#include <map>
#include <mutex>

namespace VskGostToken {

namespace {

struct BnFree {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;
struct PointFree {
    void operator()(EC_POINT* p) const { EC_POINT_clear_free(p); }
};
using Point = std::unique_ptr<EC_POINT, PointFree>;
struct BnCtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using BnCtx = std::unique_ptr<BN_CTX, BnCtxFree>;

// The same loading as the library's: the engine made the default for what it implements. When the
// host process loaded it already, this finds the loaded one.
bool LoadEngine() {
    OPENSSL_init_crypto(OPENSSL_INIT_ENGINE_DYNAMIC, nullptr);
    ENGINE* e = ENGINE_by_id("gost");
    if (!e) return false;
    bool ok = ENGINE_init(e) == 1;
    if (ok) {
        ok = ENGINE_set_default(e, ENGINE_METHOD_ALL) == 1;
        ENGINE_finish(e);
    }
    ENGINE_free(e);
    return ok;
}

struct Curve {
    int bits;
    int nid;  // the key type the engine generates on it
};

const std::map<std::string, Curve>& Curves() {
    static const std::map<std::string, Curve> curves = {
        {"1.2.643.2.2.35.1", {256, NID_id_GostR3410_2012_256}},
        {"1.2.643.2.2.35.2", {256, NID_id_GostR3410_2012_256}},
        {"1.2.643.2.2.35.3", {256, NID_id_GostR3410_2012_256}},
        {"1.2.643.2.2.36.0", {256, NID_id_GostR3410_2012_256}},
        {"1.2.643.2.2.36.1", {256, NID_id_GostR3410_2012_256}},
        {"1.2.643.7.1.2.1.1.1", {256, NID_id_GostR3410_2012_256}},
        {"1.2.643.7.1.2.1.1.2", {256, NID_id_GostR3410_2012_256}},
        {"1.2.643.7.1.2.1.1.3", {256, NID_id_GostR3410_2012_256}},
        {"1.2.643.7.1.2.1.1.4", {256, NID_id_GostR3410_2012_256}},
        {"1.2.643.7.1.2.1.2.1", {512, NID_id_GostR3410_2012_512}},
        {"1.2.643.7.1.2.1.2.2", {512, NID_id_GostR3410_2012_512}},
        {"1.2.643.7.1.2.1.2.3", {512, NID_id_GostR3410_2012_512}},
    };
    return curves;
}

Pkey Own(EVP_PKEY* k) {
    return Pkey(k, PkeyFree());
}

// A key with the curve's parameters and no key material, made once per curve; new keys copy its
// group.
EVP_PKEY* ParamsOf(const std::string& curveOid) {
    static std::mutex mu;
    static std::map<std::string, Pkey> cache;
    std::lock_guard lk(mu);
    auto it = cache.find(curveOid);
    if (it != cache.end()) return it->second.get();
    auto c = Curves().find(curveOid);
    if (c == Curves().end() || !EngineReady()) return nullptr;
    Ctx ctx(EVP_PKEY_CTX_new_id(c->second.nid, nullptr));
    EVP_PKEY* params = nullptr;
    if (!ctx || EVP_PKEY_paramgen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", curveOid.c_str()) <= 0 ||
        EVP_PKEY_paramgen(ctx.get(), &params) != 1) {
        EVP_PKEY_free(params);
        return nullptr;
    }
    return cache.emplace(curveOid, Own(params)).first->second.get();
}

const EC_KEY* EcOf(EVP_PKEY* key) {
    return static_cast<const EC_KEY*>(EVP_PKEY_get0(key));
}

// A key of the curve around a fresh EC_KEY that the caller fills.
Pkey NewKey(const std::string& curveOid, EC_KEY*& ec) {
    EVP_PKEY* params = ParamsOf(curveOid);
    if (!params) return nullptr;
    Pkey key = Own(EVP_PKEY_new());
    ec = EC_KEY_new();
    if (!key || !ec || EC_KEY_set_group(ec, EC_KEY_get0_group(EcOf(params))) != 1 ||
        EVP_PKEY_assign(key.get(), EVP_PKEY_base_id(params), ec) != 1) {
        EC_KEY_free(ec);
        return nullptr;
    }
    return key;
}

int HalfOf(const EC_GROUP* group) {
    return (EC_GROUP_order_bits(group) + 7) / 8;
}

}  // namespace

bool EngineReady() {
    static const bool ready = LoadEngine();
    return ready;
}

std::string OidText(const Bytes& der) {
    const unsigned char* p = der.data();
    ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(der.size()));
    if (!obj || p != der.data() + der.size()) {
        ASN1_OBJECT_free(obj);
        return {};
    }
    char text[128];
    int n = OBJ_obj2txt(text, sizeof(text), obj, 1);
    ASN1_OBJECT_free(obj);
    return n > 0 && n < int(sizeof(text)) ? std::string(text, n) : std::string();
}

int CurveBits(const std::string& curveOid) {
    auto c = Curves().find(curveOid);
    return c == Curves().end() ? 0 : c->second.bits;
}

Pkey Generate(const std::string& curveOid) {
    auto c = Curves().find(curveOid);
    if (c == Curves().end() || !EngineReady()) return nullptr;
    Ctx ctx(EVP_PKEY_CTX_new_id(c->second.nid, nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", curveOid.c_str()) <= 0 ||
        EVP_PKEY_keygen(ctx.get(), &key) != 1) {
        EVP_PKEY_free(key);
        return nullptr;
    }
    return Own(key);
}

Pkey PrivateFromValue(const std::string& curveOid, const Bytes& value) {
    EC_KEY* ec = nullptr;
    Pkey key = NewKey(curveOid, ec);
    if (!key) return nullptr;
    const EC_GROUP* group = EC_KEY_get0_group(ec);
    if (int(value.size()) != HalfOf(group)) return nullptr;
    Bn d(BN_lebin2bn(value.data(), int(value.size()), nullptr));
    Point pub(EC_POINT_new(group));
    BnCtx bctx(BN_CTX_new());
    if (!d || !pub || !bctx || BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group)) >= 0 ||
        EC_POINT_mul(group, pub.get(), d.get(), nullptr, nullptr, bctx.get()) != 1 ||
        EC_KEY_set_private_key(ec, d.get()) != 1 || EC_KEY_set_public_key(ec, pub.get()) != 1)
        return nullptr;
    return key;
}

Pkey PublicFromValue(const std::string& curveOid, const Bytes& value) {
    EC_KEY* ec = nullptr;
    Pkey key = NewKey(curveOid, ec);
    if (!key) return nullptr;
    int half = HalfOf(EC_KEY_get0_group(ec));
    if (int(value.size()) != 2 * half) return nullptr;
    Bn x(BN_lebin2bn(value.data(), half, nullptr));
    Bn y(BN_lebin2bn(value.data() + half, half, nullptr));
    if (!x || !y || EC_KEY_set_public_key_affine_coordinates(ec, x.get(), y.get()) != 1) return nullptr;
    return key;
}

Bytes PublicValue(EVP_PKEY* key) {
    const EC_KEY* ec = EcOf(key);
    const EC_GROUP* group = EC_KEY_get0_group(ec);
    int half = HalfOf(group);
    Bn x(BN_new()), y(BN_new());
    Bytes out(2 * half);
    if (!x || !y ||
        EC_POINT_get_affine_coordinates(group, EC_KEY_get0_public_key(ec), x.get(), y.get(), nullptr) != 1 ||
        BN_bn2lebinpad(x.get(), out.data(), half) != half ||
        BN_bn2lebinpad(y.get(), out.data() + half, half) != half)
        return {};
    return out;
}

Bytes PrivateValue(EVP_PKEY* key) {
    const EC_KEY* ec = EcOf(key);
    int half = HalfOf(EC_KEY_get0_group(ec));
    Bytes out(half);
    const BIGNUM* d = EC_KEY_get0_private_key(ec);
    if (!d || BN_bn2lebinpad(d, out.data(), half) != half) return {};
    return out;
}

Bytes Sign(EVP_PKEY* key, const Bytes& hash) {
    Ctx ctx(EVP_PKEY_CTX_new(key, nullptr));
    size_t len = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &len, hash.data(), hash.size()) != 1)
        return {};
    Bytes sig(len);
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, hash.data(), hash.size()) != 1) return {};
    sig.resize(len);
    return sig;
}

bool Verify(EVP_PKEY* key, const Bytes& hash, const Bytes& signature) {
    Ctx ctx(EVP_PKEY_CTX_new(key, nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash.data(), hash.size()) == 1;
}

const EVP_MD* Digest(const char* name) {
    return EngineReady() ? EVP_get_digestbyname(name) : nullptr;
}

Bytes Vko(EVP_PKEY* priv, const Bytes& peerValue, const uint8_t ukm[8], const EVP_MD* md) {
    const EC_KEY* ec = EcOf(priv);
    const EC_GROUP* group = EC_KEY_get0_group(ec);
    int half = HalfOf(group);
    if (!md || int(peerValue.size()) != 2 * half) return {};
    Bn x(BN_lebin2bn(peerValue.data(), half, nullptr));
    Bn y(BN_lebin2bn(peerValue.data() + half, half, nullptr));
    Bn u(BN_lebin2bn(ukm, 8, nullptr));
    Bn k(BN_new());
    Point peer(EC_POINT_new(group)), shared(EC_POINT_new(group));
    BnCtx bctx(BN_CTX_new());
    if (!x || !y || !u || !k || !peer || !shared || !bctx ||
        EC_POINT_set_affine_coordinates(group, peer.get(), x.get(), y.get(), bctx.get()) != 1 ||
        BN_mod_mul(k.get(), EC_KEY_get0_private_key(ec), u.get(), EC_GROUP_get0_order(group), bctx.get()) !=
            1 ||
        BN_mul(k.get(), k.get(), EC_GROUP_get0_cofactor(group), bctx.get()) != 1 ||
        EC_POINT_mul(group, shared.get(), nullptr, peer.get(), k.get(), bctx.get()) != 1 ||
        EC_POINT_get_affine_coordinates(group, shared.get(), x.get(), y.get(), bctx.get()) != 1)
        return {};
    Bytes point(2 * half);
    BN_bn2lebinpad(x.get(), point.data(), half);
    BN_bn2lebinpad(y.get(), point.data() + half, half);
    Bytes out(EVP_MD_get_size(md));
    unsigned int len = 0;
    bool ok = EVP_Digest(point.data(), point.size(), out.data(), &len, md, nullptr) == 1;
    Wipe(point.data(), point.size());
    if (!ok) return {};
    out.resize(len);
    return out;
}

}  // namespace VskGostToken
