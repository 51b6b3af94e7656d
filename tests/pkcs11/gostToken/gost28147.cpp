#include "gost28147.h"

#include <openssl/crypto.h>

#include <cstring>
#include <map>

namespace VskGostToken {

// Rows k8 .. k1: row k1 substitutes the lowest 4 bits of the round function's input.
struct SBox {
    uint8_t k[8][16];
};

namespace {

SBox Parse(const char* rows) {
    SBox s{};
    for (int r = 0; r < 8; ++r) {
        for (int i = 0; i < 16; ++i) {
            char c = rows[r * 17 + i];
            s.k[r][i] = static_cast<uint8_t>(c <= '9' ? c - '0' : c - 'A' + 10);
        }
    }
    return s;
}

// The parameter sets of RFC 4357 (CryptoPro A-D) and RFC 7836 (TC 26 Z), one row per S-box from k8.
const std::map<std::string, SBox>& SBoxes() {
    static const std::map<std::string, SBox> boxes = {
        {"1.2.643.2.2.31.1", Parse("BAF50CE8623917D4 1D297A608C45F3BE 3ADC120B75948FE6 B5198DF0E423C7A6 "
                                   "E7ACD13902B4F856 E462B3D8CF5A0719 37E98AF0526CB4D1 96328B17A4EFC0D5")},
        {"1.2.643.2.2.31.2", Parse("04BE8371A296FD5C 52AB91C374D06F8E 83264DEBC17FA095 27CF95AB140D68E3 "
                                   "750DB6123ACF4E98 EC0A92DB758F3614 012A4D5C973FB86E 84B135092EACD67F")},
        {"1.2.643.2.2.31.3", Parse("7405A2FEC61BD938 A968DE20F35B41C7 C9B18E247365A0FD 8DB0451293CE6FA7 "
                                   "36015DA8B297EFC4 825049FA37CD6E1B 017DB4528EFC9A63 1BC29D0F458EA763")},
        {"1.2.643.2.2.31.4", Parse("1A68FB04C3597D2E 306F1E92D8C4BA57 80F325EB1A47C9D6 0C89D2AB73654EF1 "
                                   "15ECA70D62B493F8 1CB0FE65AD489372 B634CFE27D805A91 FC2A645079ED1B83")},
        {"1.2.643.7.1.2.5.1.1", Parse("17ED05834FA69CB2 8E25691CF4B0DA37 5DF692CAB78143E0 7F5A816D093EB42C "
                                      "C821D4F670A53E9B B3582FADE174C960 68239A5C1E47BD0F C462A5B9E8D703F1")},
    };
    return boxes;
}

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutLe32(uint32_t v, uint8_t* p) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// The key meshing constant C of RFC 4357 section 2.3.2.
constexpr uint8_t MeshingConstant[32] = {0x69, 0x00, 0x72, 0x22, 0x64, 0xC9, 0x04, 0x23, 0x8D, 0x3A, 0xDB,
                                         0x96, 0x46, 0xE9, 0x2A, 0xC4, 0x18, 0xFE, 0xAC, 0x94, 0x00, 0xED,
                                         0x07, 0x12, 0xC0, 0x86, 0xDC, 0xC2, 0xEF, 0x4C, 0xA9, 0x2B};

}  // namespace

void Wipe(void* p, size_t n) {
    if (p && n) OPENSSL_cleanse(p, n);
}

const SBox* SBoxOf(const std::string& oid) {
    auto it = SBoxes().find(oid);
    return it == SBoxes().end() ? nullptr : &it->second;
}

Gost28147::Gost28147(const SBox& sbox, const uint8_t key[32]) : m_sbox(sbox) {
    setKey(key);
}

Gost28147::~Gost28147() {
    Wipe(m_key.data(), sizeof(m_key));
}

void Gost28147::setKey(const uint8_t key[32]) {
    for (int i = 0; i < 8; ++i) m_key[i] = Le32(key + 4 * i);
}

uint32_t Gost28147::f(uint32_t x) const {
    uint32_t y = 0;
    for (int n = 0; n < 8; ++n) y |= uint32_t(m_sbox.k[7 - n][(x >> (4 * n)) & 15]) << (4 * n);
    return y << 11 | y >> 21;
}

void Gost28147::encryptBlock(const uint8_t in[8], uint8_t out[8]) const {
    uint32_t n1 = Le32(in), n2 = Le32(in + 4);
    for (int i = 0; i < 32; i += 2) {
        int a = i < 24 ? i % 8 : 7 - i % 8;
        int b = i < 24 ? (i + 1) % 8 : 7 - (i + 1) % 8;
        n2 ^= f(n1 + m_key[a]);
        n1 ^= f(n2 + m_key[b]);
    }
    PutLe32(n2, out);
    PutLe32(n1, out + 4);
}

void Gost28147::decryptBlock(const uint8_t in[8], uint8_t out[8]) const {
    uint32_t n1 = Le32(in), n2 = Le32(in + 4);
    for (int i = 0; i < 32; i += 2) {
        int a = i < 8 ? i : 7 - i % 8;
        int b = i < 8 ? i + 1 : 7 - (i + 1) % 8;
        n2 ^= f(n1 + m_key[a]);
        n1 ^= f(n2 + m_key[b]);
    }
    PutLe32(n2, out);
    PutLe32(n1, out + 4);
}

void Gost28147::macBlock(uint8_t state[8], const uint8_t block[8]) const {
    for (int i = 0; i < 8; ++i) state[i] ^= block[i];
    uint32_t n1 = Le32(state), n2 = Le32(state + 4);
    for (int i = 0; i < 16; i += 2) {
        n2 ^= f(n1 + m_key[i % 8]);
        n1 ^= f(n2 + m_key[(i + 1) % 8]);
    }
    PutLe32(n1, state);
    PutLe32(n2, state + 4);
}

void Gost28147::meshKey(uint8_t* iv) {
    uint8_t key[32];
    for (int i = 0; i < 4; ++i) decryptBlock(MeshingConstant + 8 * i, key + 8 * i);
    setKey(key);
    Wipe(key, sizeof(key));
    if (iv) {
        uint8_t next[8];
        encryptBlock(iv, next);
        std::memcpy(iv, next, 8);
    }
}

Cfb::Cfb(const SBox& sbox, const uint8_t key[32], const uint8_t iv[8], bool encrypt)
    : m_cipher(sbox, key), m_encrypt(encrypt) {
    std::memcpy(m_iv, iv, 8);
}

Cfb::~Cfb() {
    Wipe(m_iv, sizeof(m_iv));
    Wipe(m_gamma, sizeof(m_gamma));
}

void Cfb::update(const uint8_t* in, size_t len, uint8_t* out) {
    for (size_t i = 0; i < len; ++i) {
        if (m_used == 8) {
            if (m_produced == 1024) {
                m_cipher.meshKey(m_iv);
                m_produced = 0;
            }
            m_cipher.encryptBlock(m_iv, m_gamma);
            m_produced += 8;
            m_used = 0;
        }
        uint8_t c = m_encrypt ? uint8_t(in[i] ^ m_gamma[m_used]) : in[i];
        out[i] = uint8_t(in[i] ^ m_gamma[m_used]);
        m_iv[m_used++] = c;
    }
}

std::array<uint8_t, 4> Mac(const SBox& sbox, const uint8_t key[32], const uint8_t iv[8], const Bytes& data) {
    Gost28147 cipher(sbox, key);
    uint8_t state[8];
    std::memcpy(state, iv, 8);
    for (size_t i = 0; i + 8 <= data.size(); i += 8) cipher.macBlock(state, data.data() + i);
    std::array<uint8_t, 4> mac{state[0], state[1], state[2], state[3]};
    Wipe(state, sizeof(state));
    return mac;
}

Bytes Diversify(const SBox& sbox, const Bytes& kek, const uint8_t ukm[8]) {
    Bytes key = kek;
    for (int i = 0; i < 8; ++i) {
        uint32_t s1 = 0, s2 = 0;
        for (int j = 0; j < 8; ++j) {
            uint32_t k = Le32(key.data() + 4 * j);
            if (ukm[i] & (1 << j))
                s1 += k;
            else
                s2 += k;
        }
        uint8_t s[8];
        PutLe32(s1, s);
        PutLe32(s2, s + 4);
        // 32 bytes of CFB never reach the meshing point.
        Cfb cfb(sbox, key.data(), s, true);
        cfb.update(key.data(), key.size(), key.data());
    }
    return key;
}

Bytes Wrap(const SBox& sbox, const Bytes& kek, const uint8_t ukm[8], const Bytes& key) {
    Gost28147 cipher(sbox, kek.data());
    Bytes out(36);
    for (int i = 0; i < 4; ++i) cipher.encryptBlock(key.data() + 8 * i, out.data() + 8 * i);
    auto mac = Mac(sbox, kek.data(), ukm, key);
    std::memcpy(out.data() + 32, mac.data(), 4);
    return out;
}

Bytes Unwrap(const SBox& sbox, const Bytes& kek, const uint8_t ukm[8], const Bytes& wrapped) {
    Gost28147 cipher(sbox, kek.data());
    Bytes key(32);
    for (int i = 0; i < 4; ++i) cipher.decryptBlock(wrapped.data() + 8 * i, key.data() + 8 * i);
    auto mac = Mac(sbox, kek.data(), ukm, key);
    if (CRYPTO_memcmp(mac.data(), wrapped.data() + 32, 4) != 0) {
        Wipe(key.data(), key.size());
        return {};
    }
    return key;
}

}  // namespace VskGostToken
