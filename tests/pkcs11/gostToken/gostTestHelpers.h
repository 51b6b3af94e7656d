// Helpers of the tests that check the GOST test token and the token roads against OpenSSL with the GOST
// engine: DER of the few structures they build, engine keys, the engine's key transport and gost89.
#pragma once

#define OPENSSL_SUPPRESS_DEPRECATED  // the engine's key transport is reached through the legacy controls
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace GostTest {

using Bytes = std::vector<uint8_t>;

// DER of the few structures the tests build.
inline Bytes Tlv(uint8_t tag, const Bytes& value) {
    Bytes out{tag};
    size_t n = value.size();
    if (n < 0x80) {
        out.push_back(uint8_t(n));
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, uint8_t(n)});
    } else {
        out.insert(out.end(), {0x82, uint8_t(n >> 8), uint8_t(n)});
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes Oid(const char* text) {
    ASN1_OBJECT* obj = OBJ_txt2obj(text, 1);
    int n = i2d_ASN1_OBJECT(obj, nullptr);
    Bytes der(n);
    unsigned char* p = der.data();
    i2d_ASN1_OBJECT(obj, &p);
    ASN1_OBJECT_free(obj);
    return der;
}

// SubjectPublicKeyInfo of a GOST key from its little-endian X||Y.
inline Bytes Spki(const char* alg, const char* curve, const char* hash, const Bytes& value) {
    Bytes params = Tlv(0x30, Cat({Oid(curve), Oid(hash)}));
    Bytes bits = Cat({Bytes{0}, Tlv(0x04, value)});
    return Tlv(0x30, Cat({Tlv(0x30, Cat({Oid(alg), params})), Tlv(0x03, bits)}));
}

// The contents of one DER value (short and long lengths).
inline Bytes Content(const Bytes& tlv) {
    size_t at = 2;
    if (tlv[1] & 0x80) at += tlv[1] & 0x7F;
    return Bytes(tlv.begin() + at, tlv.end());
}

// The values inside a DER constructed value.
inline std::vector<Bytes> Children(const Bytes& tlv) {
    Bytes c = Content(tlv);
    std::vector<Bytes> out;
    size_t at = 0;
    while (at + 2 <= c.size()) {
        size_t start = at, len = c[at + 1];
        at += 2;
        if (len & 0x80) {
            int k = len & 0x7F;
            len = 0;
            while (k-- && at < c.size()) len = len << 8 | c[at++];
        }
        at = std::min(at + len, c.size());
        out.emplace_back(c.begin() + start, c.begin() + at);
    }
    return out;
}

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

inline void LoadEngine() {
    static bool done = [] {
        OPENSSL_init_crypto(OPENSSL_INIT_ENGINE_DYNAMIC, nullptr);
        ENGINE* e = ENGINE_by_id("gost");
        if (e && ENGINE_init(e) == 1) {
            ENGINE_set_default(e, ENGINE_METHOD_ALL);
            ENGINE_finish(e);
        }
        ENGINE_free(e);
        return true;
    }();
    (void)done;
}

inline Pkey EngineKey(const char* alg, const char* paramset) {
    LoadEngine();
    Ctx ctx(EVP_PKEY_CTX_new_id(OBJ_sn2nid(alg), nullptr));
    EVP_PKEY* key = nullptr;
    EXPECT_TRUE(ctx && EVP_PKEY_keygen_init(ctx.get()) == 1 &&
                EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", paramset) > 0 &&
                EVP_PKEY_keygen(ctx.get(), &key) == 1);
    return Pkey(key);
}

// The little-endian X||Y at the end of a GOST key's SubjectPublicKeyInfo.
inline Bytes EnginePublicValue(EVP_PKEY* key, size_t size) {
    unsigned char* der = nullptr;
    int n = i2d_PUBKEY(key, &der);
    Bytes out(der + n - size, der + n);
    OPENSSL_free(der);
    return out;
}

inline Bytes KeyTransport(EVP_PKEY* key, bool encrypt, const Bytes& in, const Bytes& ukm = {}) {
    Ctx ctx(EVP_PKEY_CTX_new(key, nullptr));
    size_t len = 0;
    bool ok = ctx && (encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) == 1;
    if (ok && !ukm.empty())
        ok = EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, int(ukm.size()), (void*)ukm.data()) >
             0;
    auto op = encrypt ? EVP_PKEY_encrypt : EVP_PKEY_decrypt;
    ok = ok && op(ctx.get(), nullptr, &len, in.data(), in.size()) == 1;
    Bytes out(len);
    ok = ok && op(ctx.get(), out.data(), &len, in.data(), in.size()) == 1;
    EXPECT_TRUE(ok) << (encrypt ? "engine key transport encryption" : "engine key transport decryption");
    out.resize(ok ? len : 0);
    return out;
}

// gost89 (CFB with key meshing) of the engine with the S-box of a parameter set.
inline Bytes EngineCfb(const Bytes& key, const Bytes& iv, const char* paramset, const Bytes& data) {
    LoadEngine();
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(data.size() + 16);
    int len = 0, fin = 0;
    bool ok = EVP_EncryptInit_ex(ctx, EVP_get_cipherbyname("gost89"), nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_SET_SBOX, 0, (void*)paramset) > 0 &&
              EVP_EncryptInit_ex(ctx, nullptr, nullptr, key.data(), iv.data()) == 1 &&
              EVP_EncryptUpdate(ctx, out.data(), &len, data.data(), int(data.size())) == 1 &&
              EVP_EncryptFinal_ex(ctx, out.data() + len, &fin) == 1;
    EVP_CIPHER_CTX_free(ctx);
    EXPECT_TRUE(ok) << "engine gost89 with " << paramset;
    out.resize(len + fin);
    return out;
}

// GOST 28147-89 simple-replacement decryption of whole 8-byte blocks: the engine's gost89-cbc with a
// zero IV, one block at a time.
inline Bytes EngineEcbDecrypt(const Bytes& key, const char* paramset, const Bytes& data) {
    LoadEngine();
    Bytes out;
    const uint8_t zero[8] = {};
    for (size_t at = 0; at + 8 <= data.size(); at += 8) {
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        uint8_t block[16];
        int len = 0;
        bool ok =
            EVP_DecryptInit_ex(ctx, EVP_get_cipherbyname("gost89-cbc"), nullptr, nullptr, nullptr) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_SET_SBOX, 0, (void*)paramset) > 0 &&
            EVP_DecryptInit_ex(ctx, nullptr, nullptr, key.data(), zero) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
            EVP_DecryptUpdate(ctx, block, &len, data.data() + at, 8) == 1 && len == 8;
        EVP_CIPHER_CTX_free(ctx);
        EXPECT_TRUE(ok) << "engine gost89-cbc with " << paramset;
        out.insert(out.end(), block, block + 8);
    }
    return out;
}

inline bool WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    return bool(out);
}

}  // namespace GostTest
