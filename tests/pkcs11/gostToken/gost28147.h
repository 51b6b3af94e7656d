// GOST 28147-89 for the test token: the block cipher with the parameter sets' S-boxes, ECB, CFB with
// CryptoPro key meshing, the MAC, and the RFC 4357 key diversification and key wrap. The GOST engine
// keeps these inside itself, so the token carries its own; the tests compare them with the engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace VskGostToken {

using Bytes = std::vector<uint8_t>;

// The S-box of a parameter set named by its OID text (CryptoPro A-D, TC 26 Z); null when unknown.
struct SBox;
const SBox* SBoxOf(const std::string& oid);

class Gost28147 {
public:
    Gost28147(const SBox& sbox, const uint8_t key[32]);
    ~Gost28147();
    Gost28147(const Gost28147&) = delete;
    Gost28147& operator=(const Gost28147&) = delete;

    void setKey(const uint8_t key[32]);
    void encryptBlock(const uint8_t in[8], uint8_t out[8]) const;
    void decryptBlock(const uint8_t in[8], uint8_t out[8]) const;
    // The 16-round MAC step over one block of the running state.
    void macBlock(uint8_t state[8], const uint8_t block[8]) const;
    // RFC 4357 section 2.3.2: the key becomes the decryption of the constant C; the IV, when given, is
    // encrypted with the new key.
    void meshKey(uint8_t* iv);

private:
    uint32_t f(uint32_t x) const;
    const SBox& m_sbox;
    std::array<uint32_t, 8> m_key{};
};

// CFB-64 as a stream, with key meshing after every 1024 bytes of gamma.
class Cfb {
public:
    Cfb(const SBox& sbox, const uint8_t key[32], const uint8_t iv[8], bool encrypt);
    ~Cfb();
    void update(const uint8_t* in, size_t len, uint8_t* out);

private:
    Gost28147 m_cipher;
    bool m_encrypt;
    uint8_t m_iv[8];
    uint8_t m_gamma[8];
    size_t m_used = 8;      // bytes of m_gamma already used
    size_t m_produced = 0;  // gamma bytes since the last meshing
};

// The 4-byte MAC with the given initial state (RFC 4357 gost28147IMIT); data is a multiple of 8.
std::array<uint8_t, 4> Mac(const SBox& sbox, const uint8_t key[32], const uint8_t iv[8], const Bytes& data);

// RFC 4357 section 6.5: the KEK diversified with the UKM.
Bytes Diversify(const SBox& sbox, const Bytes& kek, const uint8_t ukm[8]);

// RFC 4357 section 6.1: ECB of the key under the KEK, followed by its MAC with the UKM as the initial
// state (36 bytes); Unwrap returns an empty result when the MAC does not match.
Bytes Wrap(const SBox& sbox, const Bytes& kek, const uint8_t ukm[8], const Bytes& key);
Bytes Unwrap(const SBox& sbox, const Bytes& kek, const uint8_t ukm[8], const Bytes& wrapped);

void Wipe(void* p, size_t n);

}  // namespace VskGostToken
