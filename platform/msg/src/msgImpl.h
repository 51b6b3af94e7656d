// Inner objects of the message functions: the encoder and decoder of signed messages behind an
// HCRYPTMSG, the signer records they share, and the helpers for digests and signatures.
#pragma once

#include <vsk/platform/cryptmsg.h>
#include <vsk/platform/kernel.h>

#include "der.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct evp_md_ctx_st;
struct evp_md_st;

namespace vsk::msg {

using cert::Bytes;

// Fails the calling function: sets the last error and gives FALSE.
inline BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

struct MdCtxFree {
    void operator()(evp_md_ctx_st* ctx) const;
};
using MdCtx = std::unique_ptr<evp_md_ctx_st, MdCtxFree>;

// The digest of an OID (dotted), or null when OpenSSL with the GOST engine has none.
const evp_md_st* DigestOfOid(const std::string& oid);

// A running digest of the content for one digest algorithm.
struct ContentDigest {
    std::string oid;
    ALG_ID alg = 0;
    MdCtx ctx;
    Bytes value;  // once finished
    bool finished = false;
    void update(const BYTE* data, size_t size);
    // The value over everything so far; finishes the digest.
    const Bytes& finish();
};
// 0 or the error: CRYPT_E_UNKNOWN_ALGO for an OID without an algorithm.
DWORD StartDigest(const std::string& oid, ContentDigest& out);

// One attribute as read: the OID and each value's DER.
struct Attribute {
    std::string oid;
    std::vector<Bytes> values;
};

// One SignerInfo as read from a message (or as written by the encoder and read back).
struct SignerRecord {
    DWORD version = 1;
    bool byKeyId = false;
    Bytes issuer;    // the Name's DER
    Bytes serialLe;  // little-endian, as CERT_INFO keeps it
    Bytes keyId;
    std::string digestOid;
    Bytes digestParams;  // DER, empty when absent
    std::string signatureOid;
    Bytes signatureParams;
    Bytes signature;    // as encoded
    Bytes signedAttrs;  // the whole [0] element as received, empty when absent
    std::vector<Attribute> authAttrs;
    std::vector<Attribute> unauthAttrs;
    Bytes messageDigest;  // the messageDigest attribute's octets, empty when absent
};
// Parses one SignerInfo (DER); 0 or the error. The known signed attributes are checked: contentType
// an OID, messageDigest an OCTET STRING, signingTime a UTCTime or GeneralizedTime, each with one
// value; anything else about them is a format error (CRYPT_E_ASN1_BADTAG, CRYPT_E_ASN1_CORRUPT).
DWORD ParseSignerInfo(const BYTE* data, size_t size, SignerRecord& out);

// The SubjectPublicKeyInfo DER of a CERT_PUBLIC_KEY_INFO.
Bytes SpkiDer(const CERT_PUBLIC_KEY_INFO& info);
// Verifies a signer against a public key (SubjectPublicKeyInfo DER) with `contentDigest` the digest
// of the content by the signer's digest algorithm: 0, CRYPT_E_AUTH_ATTR_MISSING (signed attributes
// without messageDigest), CRYPT_E_HASH_VALUE (messageDigest is not the content's),
// NTE_BAD_SIGNATURE, NTE_BAD_ALGID (no digest for the signer), NTE_BAD_PUBLIC_KEY.
DWORD VerifySigner(const SignerRecord& signer, const Bytes& spki, const Bytes& contentDigest);

// DER SET OF: the elements sorted as X.690 wants (as octet strings, the shorter padded with zeros).
Bytes DerSetOf(BYTE tag, std::vector<Bytes> elements);
Bytes DerOid(const std::string& dotted);
Bytes AlgorithmId(const std::string& oid, const Bytes& params);

// What an encoder of signed messages tells a decoder that reads its output back unchanged (the
// signed-data object does so to learn its signers): how many content octets it has written and, once
// finished, the content digests it signed. Such a decoder takes these digests instead of hashing the
// same octets a second time; a decoder of any other input hashes the content itself.
struct EncodedContent {
    std::mutex mutex;
    uint64_t bytes = 0;
    bool finished = false;
    std::vector<std::pair<std::string, Bytes>> digests;  // (OID, value)
};

// The object behind an HCRYPTMSG. Every call takes the message's lock; the stream callback runs
// under it (a callback that calls back into the same message re-enters it).
class Message {
public:
    virtual ~Message() = default;
    virtual BOOL update(const BYTE* data, DWORD size, BOOL final) = 0;
    virtual BOOL getParam(DWORD param, DWORD index, void* data, DWORD* size) = 0;
    virtual BOOL control(DWORD flags, DWORD ctrlType, const void* para) = 0;
    // An encoder's record of its content, or null.
    virtual std::shared_ptr<EncodedContent> encodedContent() { return nullptr; }
    // Makes a decoder that has taken no input yet read the output of the encoder behind `content`;
    // false for any other message.
    virtual bool readEncoderOutput(std::shared_ptr<EncodedContent>) { return false; }

    std::recursive_mutex mutex;
    std::atomic<int> references{1};

protected:
    // Sends bytes to the stream callback; FALSE with the last error set when it refused them.
    BOOL emit(const BYTE* data, size_t size, bool final);
    bool m_streaming = false;
    CMSG_STREAM_INFO m_stream{};
    // The output without a stream callback (CMSG_CONTENT_PARAM).
    Bytes m_collected;
};

std::unique_ptr<Message> NewEncoder(DWORD flags, const CMSG_SIGNED_ENCODE_INFO& info,
                                    const CMSG_STREAM_INFO* stream, DWORD& error);
std::unique_ptr<Message> NewDecoder(DWORD flags, HCRYPTPROV prov, const CMSG_STREAM_INFO* stream);
std::unique_ptr<Message> NewEnvelopedEncoder(const CMSG_ENVELOPED_ENCODE_INFO& info,
                                             const CMSG_STREAM_INFO* stream, DWORD& error);
std::unique_ptr<Message> NewEnvelopedDecoder(const CMSG_STREAM_INFO* stream);
// A decoder of either kind, chosen by the ContentInfo's type once its first bytes are in.
std::unique_ptr<Message> NewAnyDecoder(DWORD flags, HCRYPTPROV prov, const CMSG_STREAM_INFO* stream);

// A byte blob answer with the two-call protocol.
BOOL DeliverBytes(const BYTE* bytes, size_t count, void* data, DWORD* size);
BOOL DeliverDword(DWORD value, void* data, DWORD* size);

}  // namespace vsk::msg
