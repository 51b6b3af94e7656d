// The GOST pieces of enveloped messages: the content cipher (GOST 28147-89 in CFB mode with the
// CryptoPro key meshing every 1024 bytes, streaming) and the key transport of the content key (RFC
// 4490 GostR3410-KeyTransport), made for a recipient's public key and unwrapped with the private key
// of a provider context. Keys live in wiped memory.
#pragma once

#include "msgImpl.h"

#include <memory>
#include <string>

namespace vsk::crypt {
class Gost89Cfb;
}

namespace vsk::msg {

constexpr const char* szOID_CP_GOST_28147 = "1.2.643.2.2.21";
constexpr const char* szOID_CP_GOST_R3410 = "1.2.643.2.2.19";
constexpr const char* szOID_CP_GOST_R3410_12_256 = "1.2.643.7.1.1.1.1";
constexpr const char* szOID_CP_GOST_R3410_12_512 = "1.2.643.7.1.1.1.2";
// Parameter sets of GOST 28147-89: CryptoPro A and TC26 Z.
constexpr const char* szOID_Gost28147_CryptoProA = "1.2.643.2.2.31.1";
constexpr const char* szOID_Gost28147_TC26Z = "1.2.643.7.1.2.5.1.1";
constexpr size_t GostKeyBytes = 32;
constexpr size_t GostIvBytes = 8;

// A content key: 32 bytes, wiped when destroyed.
class ContentKey {
public:
    ContentKey();
    ~ContentKey();
    ContentKey(const ContentKey&) = delete;
    ContentKey& operator=(const ContentKey&) = delete;
    BYTE* data() { return m_key; }
    const BYTE* data() const { return m_key; }

private:
    BYTE m_key[GostKeyBytes];
};

// GOST 28147-89 CFB with key meshing over a stream: any split of the input gives the same output,
// as long as the input is.
class ContentCipher {
public:
    ContentCipher();
    ~ContentCipher();
    // `params`: the DER of Gost28147-89-Parameters {iv, encryptionParamSet}. 0, or
    // CRYPT_E_UNKNOWN_ALGO for parameters the cipher does not take.
    DWORD start(const ContentKey& key, const Bytes& params, bool encrypt);
    // Transforms `size` bytes from `in` into `out` (the same size; they may be the same buffer).
    DWORD update(const BYTE* in, size_t size, BYTE* out);
    bool started() const { return m_cipher != nullptr; }

private:
    std::unique_ptr<crypt::Gost89Cfb> m_cipher;
};

// The DER of Gost28147-89-Parameters with a new random IV and the parameter set.
DWORD NewContentParams(const std::string& paramSetOid, Bytes& params);
// A new random content key.
DWORD NewContentKey(ContentKey& key);

// The DER of a GostR3410-KeyTransport of `key` for the recipient's public key (a GOST R 34.10-2001
// or -2012 key), with a new ephemeral key and UKM. NTE_BAD_PUBLIC_KEY for another key, or one that
// cannot be read.
DWORD MakeKeyTransport(const CERT_PUBLIC_KEY_INFO& recipient, const ContentKey& key, Bytes& transport);
// The content key of a GostR3410-KeyTransport, unwrapped with the private key `keySpec` of the
// provider context (asked for its password as the provider does). NTE_BAD_DATA when the transport is
// not for this key (its MAC does not check), CRYPT_E_ASN1_* when it is malformed, else the
// provider's error.
DWORD UnwrapKeyTransport(HCRYPTPROV prov, DWORD keySpec, const Bytes& transport, ContentKey& key);

}  // namespace vsk::msg
