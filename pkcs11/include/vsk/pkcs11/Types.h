// The PKCS#11 types of the token subsystem, taken from p11-kit's copy of the standard header, and
// the records the token layer hands out about slots and tokens.
#pragma once

// The platform layer defines TRUE and FALSE as constants of its own; the header must not make them
// macros.
#ifndef CK_DISABLE_TRUE_FALSE
#define CK_DISABLE_TRUE_FALSE
#endif
#include <p11-kit/pkcs11.h>

#include <vsk/utils/string.h>

#include <cstdint>

namespace Vsk::PKCS11 {

// Vendor mechanisms of the GOST R 34.10-2012 / 34.11-2012 family (the TC 26 vendor range), which the
// standard header does not name.
constexpr CK_MECHANISM_TYPE CKM_GOSTR3410_512_KEY_PAIR_GEN = 0xD4321005UL;
constexpr CK_MECHANISM_TYPE CKM_GOSTR3410_512 = 0xD4321006UL;
constexpr CK_MECHANISM_TYPE CKM_GOSTR3410_12_DERIVE = 0xD4321007UL;
constexpr CK_MECHANISM_TYPE CKM_GOSTR3410_WITH_GOSTR3411_12_256 = 0xD4321008UL;
constexpr CK_MECHANISM_TYPE CKM_GOSTR3410_WITH_GOSTR3411_12_512 = 0xD4321009UL;
constexpr CK_MECHANISM_TYPE CKM_GOSTR3410_PUBLIC_KEY_DERIVE = 0xD432100AUL;
constexpr CK_MECHANISM_TYPE CKM_GOSTR3411_12_256 = 0xD4321012UL;
constexpr CK_MECHANISM_TYPE CKM_GOSTR3411_12_512 = 0xD4321013UL;
constexpr CK_MECHANISM_TYPE CKM_GOSTR3411_12_256_HMAC = 0xD4321014UL;
constexpr CK_MECHANISM_TYPE CKM_GOSTR3411_12_512_HMAC = 0xD4321015UL;
// Key derivation functions of CKM_GOSTR3410_12_DERIVE: the RFC 4357 KEK diversification and the
// GOST R 34.11-2012 256-bit KDF.
constexpr CK_ULONG CKD_KDF_4357 = 0xD4321025UL;
constexpr CK_ULONG CKD_KDF_GOSTR3411_2012_256 = 0xD4321026UL;
// The key type of GOST R 34.10-2012 512-bit keys in the same vendor range.
constexpr CK_KEY_TYPE CKK_GOSTR3410_512 = 0xD4321003UL;

// A version as one number: (major << 8) | minor.
inline uint32_t versionToNumber(const CK_VERSION& v) {
    return (static_cast<uint32_t>(v.major) << 8) | v.minor;
}
// A version as text: major "." minor, both decimal.
Vsk::Utils::CWString versionToString(const CK_VERSION& v);

// What C_GetSlotInfo tells about a slot; texts right-trimmed and converted with the token's code page.
struct SlotInfo {
    Vsk::Utils::CWString slotDescription;
    Vsk::Utils::CWString manufacturerID;
    CK_FLAGS flags = 0;
    CK_VERSION hardwareVersion{0, 0};
    CK_VERSION firmwareVersion{0, 0};
};

// What C_GetTokenInfo tells about a token.
struct TokenInfo {
    Vsk::Utils::CWString label;
    Vsk::Utils::CWString manufacturerID;
    Vsk::Utils::CWString model;
    Vsk::Utils::CWString serialNumber;
    CK_FLAGS flags = 0;
    CK_ULONG maxSessionCount = 0;
    CK_ULONG sessionCount = 0;
    CK_ULONG maxRwSessionCount = 0;
    CK_ULONG rwSessionCount = 0;
    CK_ULONG maxPinLen = 0;
    CK_ULONG minPinLen = 0;
    CK_ULONG totalPublicMemory = 0;
    CK_ULONG freePublicMemory = 0;
    CK_ULONG totalPrivateMemory = 0;
    CK_ULONG freePrivateMemory = 0;
    CK_VERSION hardwareVersion{0, 0};
    CK_VERSION firmwareVersion{0, 0};
    Vsk::Utils::CWString utcTime;
};

// A slot with its token; each record is set once it has been read.
struct TokenSlot {
    CK_SLOT_ID slotId = static_cast<CK_SLOT_ID>(-1);
    SlotInfo slotInfo;
    TokenInfo tokenInfo;
    bool hasSlotInfo = false;
    bool hasTokenInfo = false;

    // Slot description (the token's manufacturer ID when there is no slot record or its description
    // is empty), " - ", model, " - ", serial number; empty without token information.
    Vsk::Utils::CWString getName() const;
};

// One mechanism of a token with its limits and flags.
struct MechanismInfo {
    CK_MECHANISM_TYPE type = 0;
    CK_MECHANISM_INFO info{0, 0, 0};
};

}  // namespace Vsk::PKCS11
