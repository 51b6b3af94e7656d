// CryptoAPI's low-level message functions (crypt32) for signed messages (CMS SignedData) and
// enveloped messages (CMS EnvelopedData with GOST key transport), on our own streaming BER reader and
// writer with OpenSSL EVP for digests and signatures and the provider stand-in's GOST cipher and key
// transport. Both directions stream: the encoder emits its output through the stream callback as
// each update is made (BER with indefinite lengths, the content as a constructed OCTET STRING of one
// segment per update), and the decoder takes any split of its input and emits the content as it is
// decoded (an enveloped message's from the moment CMSG_CTRL_DECRYPT has given the key). Memory stays
// bounded by the block size whatever the message size; only certificates, CRLs, signer and recipient
// infos are kept whole (each at most MaxMsgElementBytes), and an enveloped decoder keeps the
// ciphertext that comes before its key (at most MaxMsgPendingCipherBytes).
//
// Failures return FALSE (or null) and set the thread's last error; success leaves it alone.
// Parameters with a variable size follow the two-call protocol: a null buffer gives the size, a
// buffer too small gives ERROR_MORE_DATA with the size. Structures come in one block whose pointers
// point into the same block.
#pragma once

#include <vsk/platform/cert.h>
#include <vsk/platform/crypt.h>

using HCRYPTMSG = void*;
using HCRYPTPROV_LEGACY = HCRYPTPROV;

// Message types.
constexpr DWORD CMSG_DATA = 1;
constexpr DWORD CMSG_SIGNED = 2;
constexpr DWORD CMSG_ENVELOPED = 3;

// Open flags.
constexpr DWORD CMSG_DETACHED_FLAG = 0x00000004;

// CMSG_STREAM_INFO.cbContent when the content length is not known in advance.
constexpr DWORD CMSG_INDEFINITE_LENGTH = 0xFFFFFFFF;

// Parameters (CryptMsgGetParam).
constexpr DWORD CMSG_TYPE_PARAM = 1;
constexpr DWORD CMSG_CONTENT_PARAM = 2;
constexpr DWORD CMSG_INNER_CONTENT_TYPE_PARAM = 4;
constexpr DWORD CMSG_SIGNER_COUNT_PARAM = 5;
constexpr DWORD CMSG_SIGNER_INFO_PARAM = 6;
constexpr DWORD CMSG_SIGNER_CERT_INFO_PARAM = 7;
constexpr DWORD CMSG_SIGNER_HASH_ALGORITHM_PARAM = 8;
constexpr DWORD CMSG_SIGNER_AUTH_ATTR_PARAM = 9;
constexpr DWORD CMSG_SIGNER_UNAUTH_ATTR_PARAM = 10;
constexpr DWORD CMSG_CERT_COUNT_PARAM = 11;
constexpr DWORD CMSG_CERT_PARAM = 12;
constexpr DWORD CMSG_CRL_COUNT_PARAM = 13;
constexpr DWORD CMSG_CRL_PARAM = 14;
constexpr DWORD CMSG_ENVELOPE_ALGORITHM_PARAM = 15;
constexpr DWORD CMSG_RECIPIENT_COUNT_PARAM = 17;
constexpr DWORD CMSG_ENCODED_MESSAGE = 29;
constexpr DWORD CMSG_VERSION_PARAM = 30;
constexpr DWORD CMSG_CMS_RECIPIENT_COUNT_PARAM = 33;
constexpr DWORD CMSG_CMS_RECIPIENT_INFO_PARAM = 36;
constexpr DWORD CMSG_CMS_SIGNER_INFO_PARAM = 39;

// Controls (CryptMsgControl).
constexpr DWORD CMSG_CTRL_VERIFY_SIGNATURE = 1;
constexpr DWORD CMSG_CTRL_DECRYPT = 2;
constexpr DWORD CMSG_CTRL_VERIFY_SIGNATURE_EX = 19;

// Signer kinds of CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA.
constexpr DWORD CMSG_VERIFY_SIGNER_PUBKEY = 1;  // pvSigner: PCERT_PUBLIC_KEY_INFO
constexpr DWORD CMSG_VERIFY_SIGNER_CERT = 2;    // pvSigner: PCCERT_CONTEXT

// Recipient kinds of CMSG_CMS_RECIPIENT_INFO.
constexpr DWORD CMSG_KEY_TRANS_RECIPIENT = 1;

// Versions.
constexpr DWORD CMSG_SIGNED_DATA_V1 = 1;
constexpr DWORD CMSG_SIGNER_INFO_V1 = 1;

inline constexpr const char* szOID_RSA_data = "1.2.840.113549.1.7.1";
inline constexpr const char* szOID_RSA_signedData = "1.2.840.113549.1.7.2";
inline constexpr const char* szOID_RSA_envelopedData = "1.2.840.113549.1.7.3";
inline constexpr const char* szOID_RSA_digestedData = "1.2.840.113549.1.7.5";
inline constexpr const char* szOID_RSA_contentType = "1.2.840.113549.1.9.3";
inline constexpr const char* szOID_RSA_messageDigest = "1.2.840.113549.1.9.4";
inline constexpr const char* szOID_RSA_SMIMECapabilities = "1.2.840.113549.1.9.15";
inline constexpr const char* szOID_TIMESTAMP_TOKEN = "1.2.840.113549.1.9.16.2.14";

// The output function of a streaming message: `data`/`size` are the next bytes of the encoded
// message (encoder) or of the content (decoder); `final` marks the last call. FALSE fails the update
// that made the call (with the last error the function set, else CRYPT_E_MSG_ERROR).
using PFN_CMSG_STREAM_OUTPUT = BOOL (*)(const void* arg, BYTE* data, DWORD size, BOOL final);

struct CMSG_STREAM_INFO {
    DWORD cbContent;
    PFN_CMSG_STREAM_OUTPUT pfnStreamOutput;
    void* pvArg;
};
using PCMSG_STREAM_INFO = CMSG_STREAM_INFO*;

// One signer: the certificate's issuer and serial number come from pCertInfo (and its public-key
// algorithm names the signatureAlgorithm); the key is dwKeySpec of hCryptProv. The authenticated
// attributes are the caller's (typically the signing time); contentType and messageDigest are added
// when there is at least one of them, as CryptoAPI does. pvHashAuxInfo must be null.
struct CMSG_SIGNER_ENCODE_INFO {
    DWORD cbSize;
    PCERT_INFO pCertInfo;
    HCRYPTPROV hCryptProv;
    DWORD dwKeySpec;
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    void* pvHashAuxInfo;
    DWORD cAuthAttr;
    PCRYPT_ATTRIBUTE rgAuthAttr;
    DWORD cUnauthAttr;
    PCRYPT_ATTRIBUTE rgUnauthAttr;
};
using PCMSG_SIGNER_ENCODE_INFO = CMSG_SIGNER_ENCODE_INFO*;
static_assert(sizeof(CMSG_SIGNER_ENCODE_INFO) == 96);

using PCERT_BLOB = CERT_BLOB*;
using PCRL_BLOB = CRL_BLOB*;

struct CMSG_SIGNED_ENCODE_INFO {
    DWORD cbSize;
    DWORD cSigners;
    PCMSG_SIGNER_ENCODE_INFO rgSigners;
    DWORD cCertEncoded;
    PCERT_BLOB rgCertEncoded;
    DWORD cCrlEncoded;
    PCRL_BLOB rgCrlEncoded;
};
using PCMSG_SIGNED_ENCODE_INFO = CMSG_SIGNED_ENCODE_INFO*;
static_assert(sizeof(CMSG_SIGNED_ENCODE_INFO) == 48);

// CMSG_SIGNER_INFO_PARAM: SerialNumber little-endian; EncryptedHash as encoded in the message (for
// GOST the s||r big-endian of CMS, not CryptoAPI's reversed order); attribute values as their DER.
struct CMSG_SIGNER_INFO {
    DWORD dwVersion;
    CERT_NAME_BLOB Issuer;
    CRYPT_INTEGER_BLOB SerialNumber;
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
    CRYPT_DATA_BLOB EncryptedHash;
    CRYPT_ATTRIBUTES AuthAttrs;
    CRYPT_ATTRIBUTES UnauthAttrs;
};
using PCMSG_SIGNER_INFO = CMSG_SIGNER_INFO*;

// CMSG_CMS_SIGNER_INFO_PARAM: as above with the signer identifier as a CERT_ID (issuer and serial
// number, or the key identifier of a version 3 signer).
struct CMSG_CMS_SIGNER_INFO {
    DWORD dwVersion;
    CERT_ID SignerId;
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
    CRYPT_DATA_BLOB EncryptedHash;
    CRYPT_ATTRIBUTES AuthAttrs;
    CRYPT_ATTRIBUTES UnauthAttrs;
};
using PCMSG_CMS_SIGNER_INFO = CMSG_CMS_SIGNER_INFO*;

struct CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA {
    DWORD cbSize;
    HCRYPTPROV_LEGACY hCryptProv;
    DWORD dwSignerIndex;
    DWORD dwSignerType;
    void* pvSigner;
};
using PCMSG_CTRL_VERIFY_SIGNATURE_EX_PARA = CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA*;
static_assert(sizeof(CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA) == 32);

// Enveloped messages (CMSG_ENVELOPED): the content is encrypted with GOST 28147-89
// (1.2.643.2.2.21) in CFB mode with CryptoPro key meshing under a new random key and IV, and the key
// goes to each recipient in a KeyTransRecipientInfo (version 0, issuerAndSerialNumber, the
// recipient's public-key algorithm, a GostR3410-KeyTransport). hCryptProv is not used (the key and
// IV come from OpenSSL's generator); ContentEncryptionAlgorithm.Parameters and pvEncryptionAuxInfo
// must be empty: the parameter set is CryptoPro A when a recipient has a GOST R 34.10-2001 key, TC26
// Z otherwise. rgpRecipients: the recipients' certificates (issuer, serial number and public key).
struct CMSG_ENVELOPED_ENCODE_INFO {
    DWORD cbSize;
    HCRYPTPROV_LEGACY hCryptProv;
    CRYPT_ALGORITHM_IDENTIFIER ContentEncryptionAlgorithm;
    void* pvEncryptionAuxInfo;
    DWORD cRecipients;
    PCERT_INFO* rgpRecipients;
};
using PCMSG_ENVELOPED_ENCODE_INFO = CMSG_ENVELOPED_ENCODE_INFO*;
static_assert(sizeof(CMSG_ENVELOPED_ENCODE_INFO) == 64);

// One key-transport recipient as read: the encrypted key is the GostR3410-KeyTransport DER.
struct CMSG_KEY_TRANS_RECIPIENT_INFO {
    DWORD dwVersion;
    CERT_ID RecipientId;
    CRYPT_ALGORITHM_IDENTIFIER KeyEncryptionAlgorithm;
    CRYPT_DATA_BLOB EncryptedKey;
};
using PCMSG_KEY_TRANS_RECIPIENT_INFO = CMSG_KEY_TRANS_RECIPIENT_INFO*;

// CMSG_CMS_RECIPIENT_INFO_PARAM: dwRecipientChoice CMSG_KEY_TRANS_RECIPIENT (other kinds of
// recipient are counted but not read: CRYPT_E_UNKNOWN_ALGO). CMSG_RECIPIENT_COUNT_PARAM and
// CMSG_CMS_RECIPIENT_COUNT_PARAM both count every recipient, and the recipient indexes of this
// parameter and of CMSG_CTRL_DECRYPT run over that one list. Until the decoder has read them the
// recipients, and CMSG_ENVELOPE_ALGORITHM_PARAM until the content-encryption algorithm, answer
// CRYPT_E_STREAM_MSG_NOT_READY.
struct CMSG_CMS_RECIPIENT_INFO {
    DWORD dwRecipientChoice;
    PCMSG_KEY_TRANS_RECIPIENT_INFO pKeyTrans;
};
using PCMSG_CMS_RECIPIENT_INFO = CMSG_CMS_RECIPIENT_INFO*;

// CMSG_CTRL_DECRYPT: the private key dwKeySpec of hCryptProv unwraps recipient dwRecipientIndex's
// key. A failure leaves the message as it was, so another key or recipient can be tried.
struct CMSG_CTRL_DECRYPT_PARA {
    DWORD cbSize;
    HCRYPTPROV hCryptProv;
    DWORD dwKeySpec;
    DWORD dwRecipientIndex;
};
using PCMSG_CTRL_DECRYPT_PARA = CMSG_CTRL_DECRYPT_PARA*;
static_assert(sizeof(CMSG_CTRL_DECRYPT_PARA) == 24);

// Ciphertext that an enveloped decoder receives before CMSG_CTRL_DECRYPT succeeds is kept, up to this
// much; more fails the update with NTE_NO_MEMORY (checked by EnvelopedDecodeTest.PendingCap). The
// kept ciphertext is decrypted and emitted inside CryptMsgControl. A caller that never decrypts
// (it reads the content by other means) should close the message rather than feed it all.
constexpr size_t MaxMsgPendingCipherBytes = 16u << 20;

// Certificates, CRLs and signer infos are read whole; one larger than this is refused with
// CRYPT_E_ASN1_LARGE, so a message cannot make the decoder hold more than this per element (checked
// by MsgLimitsTest.ElementLargerThanTheLimit).
constexpr size_t MaxMsgElementBytes = 4u << 20;
// Everything a decoder keeps whole (certificates, CRLs, signer infos) together: CRYPT_E_ASN1_LARGE
// beyond it (checked by MsgLimitsTest.KeptBytesBeyondTheLimit).
constexpr size_t MaxMsgKeptBytes = 16u << 20;
// Constructed nesting of the message (ContentInfo down to the content's OCTET STRING segments);
// deeper input is refused with CRYPT_E_ASN1_CORRUPT before the state grows (checked by
// MsgLimitsTest.NestingDeeperThanTheLimit). Real messages nest 7 levels.
constexpr unsigned MaxMsgNestingDepth = 32;

// CMSG_SIGNED (pvMsgEncodeInfo: CMSG_SIGNED_ENCODE_INFO) or CMSG_ENVELOPED
// (CMSG_ENVELOPED_ENCODE_INFO); others: CRYPT_E_INVALID_MSG_TYPE.
// CMSG_DETACHED_FLAG leaves the content out of the message. With stream info the output goes to
// its callback (whatever cbContent: the output always uses indefinite lengths); without, it is
// collected and read with CMSG_CONTENT_PARAM after the final update. pszInnerContentObjID must be
// null (data).
HCRYPTMSG CryptMsgOpenToEncode(DWORD encodingType, DWORD flags, DWORD msgType, const void* pvMsgEncodeInfo,
                               LPSTR pszInnerContentObjID, PCMSG_STREAM_INFO pStreamInfo);
// msgType 0 (the type is read from the message), CMSG_SIGNED or CMSG_ENVELOPED. Input that is no
// CMS ContentInfo fails the update with CRYPT_E_ASN1_BADTAG. Signed messages: hCryptProv: the provider that
// must know the message's digest algorithms (0: any registered provider); one that lacks one fails the update
// with its error (NTE_BAD_ALGID). A digest OID without an algorithm fails with CRYPT_E_UNKNOWN_ALGO. With
// CMSG_DETACHED_FLAG the content is fed after the message's final update, in updates of its own (the last one
// final).
HCRYPTMSG CryptMsgOpenToDecode(DWORD encodingType, DWORD flags, DWORD msgType, HCRYPTPROV_LEGACY hCryptProv,
                               PCERT_INFO pRecipientInfo, PCMSG_STREAM_INFO pStreamInfo);
BOOL CryptMsgUpdate(HCRYPTMSG msg, const BYTE* data, DWORD size, BOOL final);
BOOL CryptMsgGetParam(HCRYPTMSG msg, DWORD param, DWORD index, void* data, DWORD* size);
BOOL CryptMsgControl(HCRYPTMSG msg, DWORD flags, DWORD ctrlType, const void* ctrlPara);
HCRYPTMSG CryptMsgDuplicate(HCRYPTMSG msg);
BOOL CryptMsgClose(HCRYPTMSG msg);

// Not a CryptoAPI function: tells a signed-message decoder that has taken no input yet that it will be
// fed the output of `encoder` (a signed-message encoder), unchanged and whole, as the signed-data
// object does to read back the signers it has just made. The decoder then takes the encoder's
// content digests instead of hashing the same content a second time; it only counts the content
// octets, and its final update fails with CRYPT_E_MSG_ERROR unless the encoder has finished and their
// counts agree. E_INVALIDARG for any other pair of messages. Never for input from elsewhere.
BOOL VskCryptMsgReadEncoderOutput(HCRYPTMSG decoder, HCRYPTMSG encoder);
