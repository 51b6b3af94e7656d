// The message side of the GOST content cipher and key transport: the provider stand-in's
// primitives (vsk/platform/gostCipher.h) with the CMS forms around them (Gost28147-89-Parameters,
// the recipient's SubjectPublicKeyInfo), random keys and IVs from OpenSSL.
#include "envelopeKeys.h"

#include <vsk/platform/gostCipher.h>

#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace vsk::msg {

namespace {

bool IsGostKeyOid(const std::string& oid) {
    return oid == szOID_CP_GOST_R3410 || oid == szOID_CP_GOST_R3410_12_256 ||
           oid == szOID_CP_GOST_R3410_12_512;
}

}  // namespace

ContentKey::ContentKey() {
    OPENSSL_cleanse(m_key, sizeof m_key);
}

ContentKey::~ContentKey() {
    OPENSSL_cleanse(m_key, sizeof m_key);
}

ContentCipher::ContentCipher() = default;
ContentCipher::~ContentCipher() = default;

DWORD ContentCipher::start(const ContentKey& key, const Bytes& params, bool encrypt) {
    m_cipher.reset();
    // Gost28147-89-Parameters ::= SEQUENCE { iv OCTET STRING (8), encryptionParamSet OBJECT IDENTIFIER }
    cert::Tlv whole, iv, set;
    if (!cert::ReadSingle(params.data(), params.size(), whole) || whole.tag != cert::TagSequence)
        return CRYPT_E_ASN1_BADTAG;
    cert::DerReader r(whole);
    if (!r.expect(cert::TagOctetString, iv) || !r.expect(cert::TagOid, set)) return r.error();
    if (!r.atEnd() || iv.length != GostIvBytes) return CRYPT_E_ASN1_CORRUPT;
    std::string setOid;
    if (!cert::OidFromDer(set.contents, set.length, setOid)) return CRYPT_E_ASN1_CORRUPT;
    auto cipher = std::make_unique<crypt::Gost89Cfb>();
    DWORD error = 0;
    if (!cipher->init(encrypt, key.data(), GostKeyBytes, iv.contents, iv.length, setOid.c_str(), error))
        return error == NTE_BAD_ALGID ? CRYPT_E_UNKNOWN_ALGO : error;
    m_cipher = std::move(cipher);
    return 0;
}

DWORD ContentCipher::update(const BYTE* in, size_t size, BYTE* out) {
    DWORD error = 0;
    return m_cipher->update(in, size, out, error) ? 0 : error;
}

DWORD NewContentParams(const std::string& paramSetOid, Bytes& params) {
    BYTE iv[GostIvBytes];
    if (RAND_bytes(iv, sizeof iv) != 1) return NTE_FAIL;
    Bytes contents;
    cert::PutTlv(contents, cert::TagOctetString, iv, sizeof iv);
    const Bytes oid = DerOid(paramSetOid);
    contents.insert(contents.end(), oid.begin(), oid.end());
    params = cert::MakeTlv(cert::TagSequence, contents);
    return 0;
}

DWORD NewContentKey(ContentKey& key) {
    return RAND_priv_bytes(key.data(), GostKeyBytes) == 1 ? 0 : NTE_FAIL;
}

DWORD MakeKeyTransport(const CERT_PUBLIC_KEY_INFO& recipient, const ContentKey& key, Bytes& transport) {
    if (!recipient.Algorithm.pszObjId || !IsGostKeyOid(recipient.Algorithm.pszObjId))
        return NTE_BAD_PUBLIC_KEY;
    const Bytes spki = SpkiDer(recipient);
    DWORD error = 0;
    transport = crypt::MakeGostKeyTransport(spki.data(), spki.size(), key.data(), GostKeyBytes, error);
    return transport.empty() ? (error ? error : NTE_FAIL) : 0;
}

DWORD UnwrapKeyTransport(HCRYPTPROV prov, DWORD keySpec, const Bytes& transport, ContentKey& key) {
    DWORD error = 0;
    if (!crypt::UnwrapGostKeyTransport(prov, keySpec, transport.data(), transport.size(), key.data(), error))
        return error ? error : NTE_FAIL;
    return 0;
}

}  // namespace vsk::msg
