// GOST 28147-89 block cipher, CFB with CryptoPro key meshing, MAC and key wrap; VKO through the
// GOST engine.
#define OPENSSL_SUPPRESS_DEPRECATED  // the engine's key agreement takes its UKM through a control
#include "gost89.h"

#include "cryptState.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstring>

namespace vsk::crypt::gost89 {

namespace {

// TC26 Z (GOST R 34.12-2015) and CryptoPro A; row 0 substitutes the lowest nibble.
constexpr SBox SBoxZ = {{
    {0xC, 0x4, 0x6, 0x2, 0xA, 0x5, 0xB, 0x9, 0xE, 0x8, 0xD, 0x7, 0x0, 0x3, 0xF, 0x1},
    {0x6, 0x8, 0x2, 0x3, 0x9, 0xA, 0x5, 0xC, 0x1, 0xE, 0x4, 0x7, 0xB, 0xD, 0x0, 0xF},
    {0xB, 0x3, 0x5, 0x8, 0x2, 0xF, 0xA, 0xD, 0xE, 0x1, 0x7, 0x4, 0xC, 0x9, 0x6, 0x0},
    {0xC, 0x8, 0x2, 0x1, 0xD, 0x4, 0xF, 0x6, 0x7, 0x0, 0xA, 0x5, 0x3, 0xE, 0x9, 0xB},
    {0x7, 0xF, 0x5, 0xA, 0x8, 0x1, 0x6, 0xD, 0x0, 0x9, 0x3, 0xE, 0xB, 0x4, 0x2, 0xC},
    {0x5, 0xD, 0xF, 0x6, 0x9, 0x2, 0xC, 0xA, 0xB, 0x7, 0x8, 0x1, 0x4, 0x3, 0xE, 0x0},
    {0x8, 0xE, 0x2, 0x5, 0x6, 0x9, 0x1, 0xC, 0xF, 0x4, 0xB, 0x0, 0xD, 0xA, 0x3, 0x7},
    {0x1, 0x7, 0xE, 0xD, 0x0, 0x5, 0x8, 0x3, 0x4, 0xF, 0xA, 0x6, 0x9, 0xC, 0xB, 0x2},
}};
constexpr SBox SBoxCryptoProA = {{
    {0x9, 0x6, 0x3, 0x2, 0x8, 0xB, 0x1, 0x7, 0xA, 0x4, 0xE, 0xF, 0xC, 0x0, 0xD, 0x5},
    {0x3, 0x7, 0xE, 0x9, 0x8, 0xA, 0xF, 0x0, 0x5, 0x2, 0x6, 0xC, 0xB, 0x4, 0xD, 0x1},
    {0xE, 0x4, 0x6, 0x2, 0xB, 0x3, 0xD, 0x8, 0xC, 0xF, 0x5, 0xA, 0x0, 0x7, 0x1, 0x9},
    {0xE, 0x7, 0xA, 0xC, 0xD, 0x1, 0x3, 0x9, 0x0, 0x2, 0xB, 0x4, 0xF, 0x8, 0x5, 0x6},
    {0xB, 0x5, 0x1, 0x9, 0x8, 0xD, 0xF, 0x0, 0xE, 0x4, 0x2, 0x3, 0xC, 0x7, 0xA, 0x6},
    {0x3, 0xA, 0xD, 0xC, 0x1, 0x2, 0x0, 0xB, 0x7, 0x5, 0x9, 0x4, 0x8, 0xF, 0xE, 0x6},
    {0x1, 0xD, 0x2, 0x9, 0x7, 0xA, 0x6, 0x0, 0x8, 0xC, 0x4, 0x5, 0xF, 0x3, 0xB, 0xE},
    {0xB, 0xA, 0xF, 0x5, 0x0, 0xC, 0xE, 0x8, 0x6, 0x2, 0x3, 0x9, 0x1, 0x7, 0xD, 0x4},
}};

// The key that CryptoPro key meshing decrypts into the next key.
constexpr BYTE MeshingKey[32] = {0x69, 0x00, 0x72, 0x22, 0x64, 0xC9, 0x04, 0x23, 0x8D, 0x3A, 0xDB,
                                 0x96, 0x46, 0xE9, 0x2A, 0xC4, 0x18, 0xFE, 0xAC, 0x94, 0x00, 0xED,
                                 0x07, 0x12, 0xC0, 0x86, 0xDC, 0xC2, 0xEF, 0x4C, 0xA9, 0x2B};

uint32_t Load(const BYTE* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void Store(uint32_t v, BYTE* p) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

}  // namespace

const SBox* SBoxOf(const std::string& oid) {
    if (oid == "1.2.643.7.1.2.5.1.1") return &SBoxZ;
    if (oid == "1.2.643.2.2.31.1") return &SBoxCryptoProA;
    return nullptr;
}

Cipher::~Cipher() {
    OPENSSL_cleanse(key_, sizeof key_);
}

void Cipher::setKey(const SBox& sbox, const BYTE key[32]) {
    for (int i = 0; i < 8; ++i) key_[i] = Load(key + 4 * i);
    for (int b = 0; b < 4; ++b)
        for (int v = 0; v < 256; ++v)
            table_[b][v] = static_cast<uint32_t>(sbox.row[2 * b + 1][v >> 4] << 4 | sbox.row[2 * b][v & 15])
                           << (8 * b);
}

uint32_t Cipher::f(uint32_t x) const {
    x = table_[0][x & 255] | table_[1][(x >> 8) & 255] | table_[2][(x >> 16) & 255] | table_[3][x >> 24];
    return x << 11 | x >> 21;
}

void Cipher::encrypt(const BYTE in[8], BYTE out[8]) const {
    uint32_t n1 = Load(in), n2 = Load(in + 4);
    for (int round = 0; round < 3; ++round)
        for (int i = 0; i < 8; i += 2) {
            n2 ^= f(n1 + key_[i]);
            n1 ^= f(n2 + key_[i + 1]);
        }
    for (int i = 7; i > 0; i -= 2) {
        n2 ^= f(n1 + key_[i]);
        n1 ^= f(n2 + key_[i - 1]);
    }
    Store(n2, out);
    Store(n1, out + 4);
}

void Cipher::decrypt(const BYTE in[8], BYTE out[8]) const {
    uint32_t n1 = Load(in), n2 = Load(in + 4);
    for (int i = 0; i < 8; i += 2) {
        n2 ^= f(n1 + key_[i]);
        n1 ^= f(n2 + key_[i + 1]);
    }
    for (int round = 0; round < 3; ++round)
        for (int i = 7; i > 0; i -= 2) {
            n2 ^= f(n1 + key_[i]);
            n1 ^= f(n2 + key_[i - 1]);
        }
    Store(n2, out);
    Store(n1, out + 4);
}

void Cipher::macStep(BYTE buffer[8], const BYTE block[8]) const {
    for (int i = 0; i < 8; ++i) buffer[i] ^= block[i];
    uint32_t n1 = Load(buffer), n2 = Load(buffer + 4);
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 8; i += 2) {
            n2 ^= f(n1 + key_[i]);
            n1 ^= f(n2 + key_[i + 1]);
        }
    Store(n1, buffer);
    Store(n2, buffer + 4);
}

void Cipher::mesh(BYTE iv[8]) {
    BYTE next[32];
    for (int i = 0; i < 4; ++i) decrypt(MeshingKey + 8 * i, next + 8 * i);
    for (int i = 0; i < 8; ++i) key_[i] = Load(next + 4 * i);
    OPENSSL_cleanse(next, sizeof next);
    BYTE encrypted[8];
    encrypt(iv, encrypted);
    std::memcpy(iv, encrypted, 8);
}

void Cfb::init(const SBox& sbox, const BYTE key[32], const BYTE iv[8], bool encrypt) {
    cipher_.setKey(sbox, key);
    std::memcpy(reg_, iv, 8);
    used_ = 8;
    count_ = 0;
    encrypt_ = encrypt;
}

Cfb::~Cfb() {
    OPENSSL_cleanse(reg_, sizeof reg_);
    OPENSSL_cleanse(gamma_, sizeof gamma_);
}

void Cfb::process(const BYTE* in, size_t size, BYTE* out) {
    for (size_t i = 0; i < size; ++i) {
        if (used_ == 8) {
            // A new block: the key changes after every 1024 bytes.
            if (count_ == 1024) {
                cipher_.mesh(reg_);
                count_ = 0;
            }
            cipher_.encrypt(reg_, gamma_);
            count_ += 8;
            used_ = 0;
        }
        const BYTE c = in[i];
        const BYTE o = static_cast<BYTE>(c ^ gamma_[used_]);
        reg_[used_++] = encrypt_ ? o : c;
        out[i] = o;
    }
}

void Diversify(const SBox& sbox, const BYTE kek[32], const BYTE ukm[8], BYTE out[32]) {
    std::memcpy(out, kek, 32);
    Cipher cipher;
    for (int i = 0; i < 8; ++i) {
        uint32_t s1 = 0, s2 = 0;
        for (int j = 0; j < 8; ++j) {
            const uint32_t k = Load(out + 4 * j);
            if (ukm[i] & (1u << j))
                s1 += k;
            else
                s2 += k;
        }
        BYTE reg[8];
        Store(s1, reg);
        Store(s2, reg + 4);
        // CFB encryption of the key under itself, without meshing (32 bytes).
        cipher.setKey(sbox, out);
        for (int b = 0; b < 4; ++b) {
            BYTE gamma[8];
            cipher.encrypt(reg, gamma);
            for (int j = 0; j < 8; ++j) reg[j] = out[8 * b + j] ^= gamma[j];
        }
    }
}

namespace {

void Mac(const Cipher& cipher, const BYTE iv[8], const BYTE data[32], BYTE mac[4]) {
    BYTE buffer[8];
    std::memcpy(buffer, iv, 8);
    for (int b = 0; b < 4; ++b) cipher.macStep(buffer, data + 8 * b);
    std::memcpy(mac, buffer, 4);
}

}  // namespace

void Wrap(const SBox& sbox, const BYTE kek[32], const BYTE ukm[8], const BYTE cek[32], bool cryptoPro,
          BYTE encrypted[32], BYTE mac[4]) {
    BYTE key[32];
    if (cryptoPro)
        Diversify(sbox, kek, ukm, key);
    else
        std::memcpy(key, kek, 32);
    Cipher cipher(sbox, key);
    OPENSSL_cleanse(key, sizeof key);
    for (int b = 0; b < 4; ++b) cipher.encrypt(cek + 8 * b, encrypted + 8 * b);
    Mac(cipher, ukm, cek, mac);
}

bool Unwrap(const SBox& sbox, const BYTE kek[32], const BYTE ukm[8], const BYTE encrypted[32], const BYTE mac[4],
            bool cryptoPro, BYTE cek[32]) {
    BYTE key[32];
    if (cryptoPro)
        Diversify(sbox, kek, ukm, key);
    else
        std::memcpy(key, kek, 32);
    Cipher cipher(sbox, key);
    OPENSSL_cleanse(key, sizeof key);
    for (int b = 0; b < 4; ++b) cipher.decrypt(encrypted + 8 * b, cek + 8 * b);
    BYTE check[4];
    Mac(cipher, ukm, cek, check);
    if (CRYPTO_memcmp(check, mac, 4) != 0) {
        OPENSSL_cleanse(cek, 32);
        return false;
    }
    return true;
}

bool Vko(const evp_pkey_st* own, const evp_pkey_st* peer, const BYTE ukm[8], SecretBytes& out, DWORD& error) {
    GostEngine();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(const_cast<evp_pkey_st*>(own), nullptr);
    size_t size = 32;
    out.assign(32, 0);
    BYTE ukmCopy[8];
    std::memcpy(ukmCopy, ukm, 8);
    const bool ok = ctx && EVP_PKEY_derive_init(ctx) == 1 &&
                    EVP_PKEY_CTX_ctrl(ctx, -1, -1, EVP_PKEY_CTRL_SET_IV, 8, ukmCopy) > 0 &&
                    EVP_PKEY_derive_set_peer(ctx, const_cast<evp_pkey_st*>(peer)) == 1 &&
                    EVP_PKEY_derive(ctx, out.data(), &size) == 1 && size == 32;
    EVP_PKEY_CTX_free(ctx);
    ERR_clear_error();
    if (!ok) {
        out.clear();
        error = NTE_BAD_KEY;
    }
    return ok;
}

}  // namespace vsk::crypt::gost89
