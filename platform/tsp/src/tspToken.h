// The time-stamp token as the client library keeps it: read once, completely, from the DER bytes with
// the ASN.1 codec, so that every later question is answered from plain values and cannot fail on the
// input. Private to the library.
#pragma once

#include <vsk/platform/tspClient.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vsk::tsp {

using Bytes = std::vector<uint8_t>;

// A failure inside the library: an HRESULT-style code and a UTF-8 text. Only the C boundary turns it
// into a status and an object's last error.
struct Failure {
    uint32_t code;
    std::string text;
};

// A stamp of a real authority, with the authority's certificate chain, is a few kilobytes; anything
// far larger is not a token (checked by TspLimits.OversizedTokenRefused).
constexpr size_t MaxTokenBytes = 1 << 20;

// One hash algorithm the library knows: its ALG_ID, OID and digest size.
struct HashAlgorithm {
    uint32_t algId;
    const char* oid;
    size_t size;
};
// Null for an algorithm the library does not know.
const HashAlgorithm* HashByAlgId(uint32_t algId);
const HashAlgorithm* HashByOid(const std::string& oid);

// The parts of a certificate the library needs.
struct CertificateParts {
    Bytes der;
    Bytes issuer;  // the Name's DER
    Bytes serial;  // the INTEGER's contents octets
    Bytes spki;    // SubjectPublicKeyInfo's DER
    Bytes keyId;   // subjectKeyIdentifier, empty without one
};
// Throws Failure for bytes that are not a certificate.
CertificateParts ReadCertificate(const uint8_t* der, size_t size);

struct Token {
    // From the TSTInfo.
    uint32_t imprintAlgId = 0;
    Bytes imprint;
    VskTspTime genTime{};
    // The TSTInfo's DER (the signed content) and the signer's values.
    Bytes content;
    std::string digestOid;
    std::string signatureOid;
    Bytes signedAttributes;  // the DER of the SET (the bytes the signature covers)
    Bytes messageDigest;
    Bytes signature;
    // The first reference of the signing-certificate attribute (v2 preferred); empty hash when the
    // token has none.
    std::string certHashOid;
    Bytes certHash;
    // The signer identifier: issuer and serial number, or the key identifier.
    Bytes sidIssuer;
    Bytes sidSerial;
    Bytes sidKeyId;
    std::vector<CertificateParts> certificates;
    // Index of the certificate the signer identifier names; -1 when none does.
    int signerCertificate = -1;
};

// Reads a whole token; throws Failure (a format error, CRYPT_E_UNKNOWN_ALGO for an imprint hash the
// library does not know) for anything else.
Token ReadToken(const uint8_t* data, size_t size);

// Checks the token's signature with `certificate`: 0 when valid, else the reason (see
// stampVerifySignature). Throws Failure when the certificate cannot be used at all.
uint32_t VerifyToken(const Token& token, const CertificateParts& certificate);

// The digest of `data` with a known hash algorithm; throws Failure when the hash is not available.
Bytes Digest(const HashAlgorithm& hash, const uint8_t* data, size_t size);

// Loads the GOST engine the way the rest of the program does (once per process).
void PrepareCrypto();

}  // namespace vsk::tsp
