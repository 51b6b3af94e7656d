// GOST 28147-89 primitives of the provider stand-in: the block cipher with its S-box sets, CFB with
// CryptoPro key meshing, the MAC, the CryptoPro key wrap (KEK diversification, ECB, MAC) and the VKO
// GOST R 34.10-2012 key agreement. Own code for the block cipher (the engine offers no raw ECB or MAC
// with a chosen S-box set); the agreement goes through the GOST engine.
#pragma once

#include "keyMaterial.h"

#include <string>

namespace vsk::crypt::gost89 {

// One S-box set: row i substitutes the i-th nibble, counting from the least significant.
struct SBox {
    BYTE row[8][16];
};
// The set of a dotted parameter-set OID; null for a set this stand-in does not know.
const SBox* SBoxOf(const std::string& oid);

// A key schedule with its S-box set; the key words are wiped when the object goes.
class Cipher {
public:
    Cipher() = default;
    Cipher(const SBox& sbox, const BYTE key[32]) { setKey(sbox, key); }
    ~Cipher();
    Cipher(const Cipher&) = delete;
    Cipher& operator=(const Cipher&) = delete;

    void setKey(const SBox& sbox, const BYTE key[32]);
    void encrypt(const BYTE in[8], BYTE out[8]) const;
    void decrypt(const BYTE in[8], BYTE out[8]) const;
    // One step of the MAC (16 rounds) over `buffer` XORed with `block`.
    void macStep(BYTE buffer[8], const BYTE block[8]) const;
    // The CryptoPro key meshing: the key becomes D_K(C) and `iv` is encrypted under the new key.
    void mesh(BYTE iv[8]);

private:
    uint32_t f(uint32_t x) const;
    uint32_t key_[8] = {};
    uint32_t table_[4][256] = {};
};

// CFB with CryptoPro key meshing every 1024 bytes, as a stream: any split gives the same bytes.
class Cfb {
public:
    void init(const SBox& sbox, const BYTE key[32], const BYTE iv[8], bool encrypt);
    void process(const BYTE* in, size_t size, BYTE* out);
    ~Cfb();

private:
    Cipher cipher_;
    BYTE reg_[8] = {};    // the feedback register (the last ciphertext block)
    BYTE gamma_[8] = {};  // E_K(register) of the block in progress
    size_t used_ = 8;     // bytes of gamma_ consumed
    size_t count_ = 0;    // bytes since the last meshing (whole blocks)
    bool encrypt_ = true;
};

// RFC 4357 6.5: the KEK diversified by the UKM.
void Diversify(const SBox& sbox, const BYTE kek[32], const BYTE ukm[8], BYTE out[32]);
// The GOST 28147-89 key wrap (RFC 4357 6.1) with the KEK, after diversification when `cryptoPro`
// (6.3): the encrypted key (ECB) and the 4-byte MAC of the key with the UKM as IV.
void Wrap(const SBox& sbox, const BYTE kek[32], const BYTE ukm[8], const BYTE cek[32], bool cryptoPro,
          BYTE encrypted[32], BYTE mac[4]);
// The unwrap; false when the MAC does not match.
bool Unwrap(const SBox& sbox, const BYTE kek[32], const BYTE ukm[8], const BYTE encrypted[32], const BYTE mac[4],
            bool cryptoPro, BYTE cek[32]);

// VKO GOST R 34.10-2012 with an 8-byte UKM (the 256-bit output of RFC 7836, as the engine computes it
// for key transport) of our private key and the peer's public key; 32 bytes into `out`.
bool Vko(const evp_pkey_st* own, const evp_pkey_st* peer, const BYTE ukm[8], SecretBytes& out, DWORD& error);

}  // namespace vsk::crypt::gost89
