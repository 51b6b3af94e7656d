// GOST R 34.10-2012 keys, signatures, digests and the VKO key agreement of the test token, on OpenSSL
// with the GOST engine, which the module loads for itself.
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string>

#include "gost28147.h"

namespace VskGostToken {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::shared_ptr<EVP_PKEY>;

bool EngineReady();

// The OID text of a DER-encoded OID; empty when the bytes are not one.
std::string OidText(const Bytes& der);

// Key size in bits (256 or 512) of a GOST R 34.10 curve named by its OID text; 0 when unknown.
int CurveBits(const std::string& curveOid);

// A new key pair on the curve.
Pkey Generate(const std::string& curveOid);
// A private key from its little-endian scalar, or a public key from its little-endian X||Y.
Pkey PrivateFromValue(const std::string& curveOid, const Bytes& value);
Pkey PublicFromValue(const std::string& curveOid, const Bytes& value);
// The little-endian X||Y of a key's public point, and the little-endian scalar of a private key.
Bytes PublicValue(EVP_PKEY* key);
Bytes PrivateValue(EVP_PKEY* key);

// Signature s||r over a hash (the engine reads the hash as a little-endian number).
Bytes Sign(EVP_PKEY* key, const Bytes& hash);
bool Verify(EVP_PKEY* key, const Bytes& hash, const Bytes& signature);

// The digest named by the engine ("md_gost94", "md_gost12_256", "md_gost12_512").
const EVP_MD* Digest(const char* name);

// VKO GOST R 34.10: the digest of the little-endian X||Y of (h * d * UKM) * Q, h the curve's cofactor
// (4 for the twisted Edwards curves), the UKM read as a little-endian number. Empty when the peer's
// value is not a point of the curve.
Bytes Vko(EVP_PKEY* priv, const Bytes& peerValue, const uint8_t ukm[8], const EVP_MD* md);

}  // namespace VskGostToken
