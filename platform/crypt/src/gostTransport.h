// The GostR3410-KeyTransport (RFC 4490) as the key functions and the message helpers take it apart.
#pragma once

#include "keyMaterial.h"

#include <string>
#include <vector>

namespace vsk::crypt {

struct GostKeyTransport {
    BYTE encryptedKey[32] = {};
    BYTE mac[4] = {};
    std::string paramSet;             // encryptionParamSet, dotted
    std::vector<BYTE> ephemeralSpki;  // SubjectPublicKeyInfo DER (re-tagged); empty when absent
    BYTE ukm[8] = {};
};

// False for anything but a DER transport with a 32-byte key, a 4-byte MAC and an 8-byte UKM.
bool ParseGostKeyTransport(const BYTE* der, size_t size, GostKeyTransport& out);
// The content key: VKO of `own` and `peer` with the UKM, then the CryptoPro unwrap on the transport's
// parameter set. NTE_BAD_DATA when the MAC does not match, NTE_BAD_ALGID for an unknown set.
bool UnwrapWithKey(const evp_pkey_st* own, const evp_pkey_st* peer, const GostKeyTransport& t, BYTE cek[32],
                   DWORD& error);

// SIMPLEBLOB: the fixed part before the parameter-set block, and the block itself (DER of
// SEQUENCE { OBJECT IDENTIFIER }).
constexpr size_t GostSimpleBlobFixedSize = 60;
std::vector<BYTE> GostParamSetBlock(const std::string& oid);
bool ParseGostParamSetBlock(const BYTE* der, size_t size, std::string& oid);

}  // namespace vsk::crypt
