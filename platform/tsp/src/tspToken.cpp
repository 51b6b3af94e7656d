// Reading and checking RFC 3161 time-stamp tokens: ContentInfo -> SignedData -> TSTInfo, read with
// the ASN.1 codec (which checks every length against its enclosing element and bounds the nesting),
// then walked here element by element: each element must have the tag the syntax asks for, in its
// place, and nothing may be left over. The signature is checked with OpenSSL EVP over the DER of the
// signed attributes, as CMS prescribes.
#define OPENSSL_SUPPRESS_DEPRECATED  // the GOST keys come from the engine
#include "tspToken.h"

#include "cryptState.h"

#include <vsk/asn1/asn1.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/crypt.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/utf8.h>
#include <vsk/utils/error.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/x509.h>

#include <memory>
#include <set>

namespace vsk::tsp {

using Vsk::ASN1::CConstructed;
using Vsk::ASN1::CNode;
using Vsk::ASN1::CSequence;
using Vsk::Utils::CDataBlob;

namespace {

// The OIDs of the token's syntax.
constexpr char OidSignedData[] = "1.2.840.113549.1.7.2";
constexpr char OidTstInfo[] = "1.2.840.113549.1.9.16.1.4";
constexpr char OidContentType[] = "1.2.840.113549.1.9.3";
constexpr char OidMessageDigest[] = "1.2.840.113549.1.9.4";
constexpr char OidSigningCertificate[] = "1.2.840.113549.1.9.16.2.12";
constexpr char OidSigningCertificateV2[] = "1.2.840.113549.1.9.16.2.47";
constexpr char OidSubjectKeyIdentifier[] = "2.5.29.14";
constexpr char OidSha1[] = "1.3.14.3.2.26";
constexpr char OidSha256[] = "2.16.840.1.101.3.4.2.1";

// Identifier octets the walk expects.
enum : uint8_t {
    TagBoolean = 0x01,
    TagInteger = 0x02,
    TagBitString = 0x03,
    TagOctetString = 0x04,
    TagNull = 0x05,
    TagOid = 0x06,
    TagGeneralizedTime = 0x18,
    TagSequence = 0x30,
    TagSet = 0x31,
    TagImplicit0 = 0x80,
    TagImplicit1 = 0x81,
    TagImplicit2 = 0x82,
    TagExplicit0 = 0xA0,
    TagExplicit1 = 0xA1,
    TagExplicit3 = 0xA3,
};

constexpr HashAlgorithm Hashes[] = {
    {CALG_GR3411, "1.2.643.2.2.9", 32},
    {CALG_GR3411_2012_256, "1.2.643.7.1.1.2.2", 32},
    {CALG_GR3411_2012_512, "1.2.643.7.1.1.2.3", 64},
    {CALG_SHA1, OidSha1, 20},
    {CALG_SHA_256, OidSha256, 32},
    {CALG_SHA_384, "2.16.840.1.101.3.4.2.2", 48},
    {CALG_SHA_512, "2.16.840.1.101.3.4.2.3", 64},
};

// Which keys may make a signature of an algorithm, and the hash that the algorithm's OID fixes (none
// for the key OIDs, whose hash is the signer's digest algorithm).
enum class KeyKind { Gost2001, Gost2012_256, Gost2012_512, Rsa };
struct SignatureAlgorithm {
    const char* oid;
    KeyKind key;
    const char* hashOid;
};
constexpr SignatureAlgorithm SignatureAlgorithms[] = {
    {"1.2.643.2.2.19", KeyKind::Gost2001, nullptr},
    {"1.2.643.2.2.3", KeyKind::Gost2001, "1.2.643.2.2.9"},
    {"1.2.643.7.1.1.1.1", KeyKind::Gost2012_256, nullptr},
    {"1.2.643.7.1.1.3.2", KeyKind::Gost2012_256, "1.2.643.7.1.1.2.2"},
    {"1.2.643.7.1.1.1.2", KeyKind::Gost2012_512, nullptr},
    {"1.2.643.7.1.1.3.3", KeyKind::Gost2012_512, "1.2.643.7.1.1.2.3"},
    {"1.2.840.113549.1.1.1", KeyKind::Rsa, nullptr},
    {"1.2.840.113549.1.1.5", KeyKind::Rsa, OidSha1},
    {"1.2.840.113549.1.1.11", KeyKind::Rsa, OidSha256},
    {"1.2.840.113549.1.1.12", KeyKind::Rsa, "2.16.840.1.101.3.4.2.2"},
    {"1.2.840.113549.1.1.13", KeyKind::Rsa, "2.16.840.1.101.3.4.2.3"},
};

int NidOf(KeyKind kind) {
    switch (kind) {
        case KeyKind::Gost2001:
            return NID_id_GostR3410_2001;
        case KeyKind::Gost2012_256:
            return NID_id_GostR3410_2012_256;
        case KeyKind::Gost2012_512:
            return NID_id_GostR3410_2012_512;
        case KeyKind::Rsa:
            break;
    }
    return EVP_PKEY_RSA;
}

std::string Text(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

[[noreturn]] void FormatError(const char* where) {
    throw Failure{CRYPT_E_ASN1_CORRUPT, Text(u8"Неверный формат штампа времени: ") + where};
}

Bytes ToBytes(const CDataBlob& blob) {
    const uint8_t* p = blob.getData();
    return p ? Bytes(p, p + blob.getSize()) : Bytes();
}

uint8_t Identifier(const CNode* node) {
    const CDataBlob raw = node->getRawEncoding();
    if (raw.getSize() == 0) FormatError("identifier");
    return raw.getData()[0];
}

// The children of one constructed element, taken in order.
class Walk {
public:
    Walk(CNode* node, uint8_t identifier, const char* where) : m_where(where) {
        if (!node || Identifier(node) != identifier || (identifier & 0x20) == 0) FormatError(where);
        m_node = Vsk::ASN1::castToConstructed(node);
        if (!m_node) FormatError(where);
        m_count = m_node->getCount();
    }
    size_t count() const { return m_count; }
    // The identifier of the next child; 0 after the last.
    uint8_t peek() const { return m_index < m_count ? Identifier(m_node->getItem(m_index)) : 0; }
    CNode* next(uint8_t identifier, const char* what) {
        if (m_index >= m_count) FormatError(what);
        CNode* child = m_node->getItem(m_index++);
        if (Identifier(child) != identifier) FormatError(what);
        return child;
    }
    CNode* nextAny(const char* what) {
        if (m_index >= m_count) FormatError(what);
        return m_node->getItem(m_index++);
    }
    void end() const {
        if (m_index != m_count) FormatError(m_where);
    }

private:
    const char* m_where;
    CConstructed* m_node = nullptr;
    size_t m_count = 0;
    size_t m_index = 0;
};

std::string OidOf(CNode* node, const char* what) {
    if (!node || Identifier(node) != TagOid) FormatError(what);
    auto* oid = Vsk::ASN1::castToObjectId(node);
    if (!oid) FormatError(what);
    const std::string dotted = oid->getValue().toStd();
    if (dotted.empty()) FormatError(what);
    return dotted;
}

// A primitive element's contents.
Bytes Contents(CNode* node) {
    return ToBytes(node->getContents());
}

// AlgorithmIdentifier: the OID; `parameters` is set when parameters follow it.
std::string AlgorithmOf(CNode* node, const char* what, CNode** parameters = nullptr) {
    Walk walk(node, TagSequence, what);
    const std::string oid = OidOf(walk.nextAny(what), what);
    CNode* params = walk.count() > 1 ? walk.nextAny(what) : nullptr;
    walk.end();
    if (parameters) *parameters = params;
    return oid;
}

// Reads a whole DER element: a definite length covering exactly the input. A root that must be a
// SEQUENCE is read into a CSequence handle, which the walk takes as constructed.
void DecodeWhole(CNode& root, const CDataBlob& input, const char* what) {
    const size_t left = root.decode(input, false, false);
    if (left != 0 || root.isIncomplete() || root.isIndefinite() ||
        root.getRawEncoding().getSize() != input.getSize())
        FormatError(what);
}

// "YYYYMMDDhhmmss[.f...]Z", the only form RFC 3161 allows for genTime.
VskTspTime ReadGeneralizedTime(const Bytes& text) {
    auto digit = [&](size_t i) { return i < text.size() && text[i] >= '0' && text[i] <= '9'; };
    if (text.size() < 15 || text.back() != 'Z') FormatError("genTime");
    for (size_t i = 0; i < 14; ++i)
        if (!digit(i)) FormatError("genTime");
    unsigned milliseconds = 0;
    if (text.size() > 15) {
        if (text[14] != '.' || text.size() < 17) FormatError("genTime");
        unsigned scale = 100;
        for (size_t i = 15; i + 1 < text.size(); ++i) {
            if (!digit(i)) FormatError("genTime");
            milliseconds += scale * static_cast<unsigned>(text[i] - '0');
            scale /= 10;
        }
    }
    auto number = [&](size_t at, size_t digits) {
        unsigned v = 0;
        for (size_t i = 0; i < digits; ++i) v = v * 10 + static_cast<unsigned>(text[at + i] - '0');
        return static_cast<WORD>(v);
    };
    SYSTEMTIME st{};
    st.wYear = number(0, 4);
    st.wMonth = number(4, 2);
    st.wDay = number(6, 2);
    st.wHour = number(8, 2);
    st.wMinute = number(10, 2);
    st.wSecond = number(12, 2);
    st.wMilliseconds = static_cast<WORD>(milliseconds);
    FILETIME ft{};
    SYSTEMTIME checked{};
    // The conversion refuses a month, day or time of day out of range; the way back fills the
    // day of the week.
    if (!SystemTimeToFileTime(&st, &ft) || !FileTimeToSystemTime(&ft, &checked)) FormatError("genTime");
    return VskTspTime{checked.wYear, checked.wMonth,  checked.wDayOfWeek, checked.wDay,
                      checked.wHour, checked.wMinute, checked.wSecond,    checked.wMilliseconds};
}

CertificateParts ReadCertificateNode(CNode* node) {
    CertificateParts parts;
    parts.der = ToBytes(node->getRawEncoding());
    Walk certificate(node, TagSequence, "Certificate");
    Walk tbs(certificate.next(TagSequence, "tbsCertificate"), TagSequence, "tbsCertificate");
    certificate.next(TagSequence, "signatureAlgorithm");
    certificate.next(TagBitString, "signatureValue");
    certificate.end();
    if (tbs.peek() == TagExplicit0) tbs.nextAny("version");
    parts.serial = Contents(tbs.next(TagInteger, "serialNumber"));
    tbs.next(TagSequence, "signature");
    parts.issuer = ToBytes(tbs.next(TagSequence, "issuer")->getRawEncoding());
    tbs.next(TagSequence, "validity");
    tbs.next(TagSequence, "subject");
    parts.spki = ToBytes(tbs.next(TagSequence, "subjectPublicKeyInfo")->getRawEncoding());
    if (tbs.peek() == TagImplicit1) tbs.nextAny("issuerUniqueID");
    if (tbs.peek() == TagImplicit2) tbs.nextAny("subjectUniqueID");
    if (tbs.peek() == TagExplicit3) {
        Walk explicitExtensions(tbs.nextAny("extensions"), TagExplicit3, "extensions");
        Walk extensions(explicitExtensions.next(TagSequence, "extensions"), TagSequence, "extensions");
        explicitExtensions.end();
        for (size_t i = 0; i < extensions.count(); ++i) {
            Walk extension(extensions.next(TagSequence, "Extension"), TagSequence, "Extension");
            const std::string oid = OidOf(extension.nextAny("extnID"), "extnID");
            if (extension.peek() == TagBoolean) extension.nextAny("critical");
            CNode* value = extension.next(TagOctetString, "extnValue");
            extension.end();
            if (oid != OidSubjectKeyIdentifier) continue;
            CNode keyId;
            DecodeWhole(keyId, CDataBlob(value->getContents()), "subjectKeyIdentifier");
            if (Identifier(&keyId) != TagOctetString) FormatError("subjectKeyIdentifier");
            parts.keyId = Contents(&keyId);
        }
    }
    tbs.end();
    return parts;
}

// The first reference of a signing-certificate attribute's value: its hash OID and hash.
void ReadSigningCertificate(CNode* value, bool v2, std::string& hashOid, Bytes& hash) {
    Walk signingCertificate(value, TagSequence, "SigningCertificate");
    Walk certs(signingCertificate.next(TagSequence, "certs"), TagSequence, "certs");
    if (signingCertificate.peek() == TagSequence) signingCertificate.nextAny("policies");
    signingCertificate.end();
    if (certs.count() == 0) FormatError("certs");
    Walk id(certs.next(TagSequence, "ESSCertID"), TagSequence, "ESSCertID");
    hashOid = OidSha1;
    if (v2) {
        hashOid = OidSha256;
        if (id.peek() == TagSequence) hashOid = AlgorithmOf(id.nextAny("hashAlgorithm"), "hashAlgorithm");
    }
    hash = Contents(id.next(TagOctetString, "certHash"));
    if (id.peek() == TagSequence) id.nextAny("issuerSerial");
    id.end();
}

// The signed attributes: content type, message digest and the signing-certificate reference.
void ReadSignedAttributes(CNode* node, Token& token) {
    Bytes der = ToBytes(node->getRawEncoding());
    der[0] = TagSet;  // the signature covers the attributes as an explicit SET OF
    token.signedAttributes = std::move(der);
    Walk attributes(node, TagExplicit0, "signedAttrs");
    std::set<std::string> seen;
    bool contentType = false;
    bool v2Read = false;
    for (size_t i = 0; i < attributes.count(); ++i) {
        Walk attribute(attributes.next(TagSequence, "Attribute"), TagSequence, "Attribute");
        const std::string type = OidOf(attribute.nextAny("attrType"), "attrType");
        Walk values(attribute.next(TagSet, "attrValues"), TagSet, "attrValues");
        attribute.end();
        // Each attribute type once only (RFC 5652, 5.3).
        if (!seen.insert(type).second) FormatError("signedAttrs");
        if (type == OidContentType) {
            if (values.count() != 1 || OidOf(values.nextAny("contentType"), "contentType") != OidTstInfo)
                FormatError("contentType");
            contentType = true;
        } else if (type == OidMessageDigest) {
            if (values.count() != 1) FormatError("messageDigest");
            token.messageDigest = Contents(values.next(TagOctetString, "messageDigest"));
            if (token.messageDigest.empty()) FormatError("messageDigest");
        } else if (type == OidSigningCertificateV2 || (type == OidSigningCertificate && !v2Read)) {
            if (values.count() == 0) FormatError("signingCertificate");
            const bool v2 = type == OidSigningCertificateV2;
            ReadSigningCertificate(values.nextAny("signingCertificate"), v2, token.certHashOid,
                                   token.certHash);
            v2Read = v2Read || v2;
        }
    }
    if (!contentType || token.messageDigest.empty()) FormatError("signedAttrs");
}

void ReadSignerInfo(CNode* node, Token& token) {
    Walk signer(node, TagSequence, "SignerInfo");
    signer.next(TagInteger, "version");
    const uint8_t sid = signer.peek();
    if (sid == TagSequence) {
        Walk issuerAndSerial(signer.nextAny("sid"), TagSequence, "issuerAndSerialNumber");
        token.sidIssuer = ToBytes(issuerAndSerial.next(TagSequence, "issuer")->getRawEncoding());
        token.sidSerial = Contents(issuerAndSerial.next(TagInteger, "serialNumber"));
        issuerAndSerial.end();
        if (token.sidSerial.empty()) FormatError("serialNumber");
    } else if (sid == TagImplicit0) {
        token.sidKeyId = Contents(signer.nextAny("subjectKeyIdentifier"));
        if (token.sidKeyId.empty()) FormatError("subjectKeyIdentifier");
    } else {
        FormatError("sid");
    }
    token.digestOid = AlgorithmOf(signer.next(TagSequence, "digestAlgorithm"), "digestAlgorithm");
    // A time stamp always signs its attributes: the message digest is among them.
    ReadSignedAttributes(signer.next(TagExplicit0, "signedAttrs"), token);
    token.signatureOid = AlgorithmOf(signer.next(TagSequence, "signatureAlgorithm"), "signatureAlgorithm");
    token.signature = Contents(signer.next(TagOctetString, "signature"));
    if (token.signature.empty()) FormatError("signature");
    if (signer.peek() == TagExplicit1) signer.nextAny("unsignedAttrs");
    signer.end();
}

void ReadTstInfo(Token& token) {
    CSequence root;
    DecodeWhole(root, CDataBlob(token.content.data(), token.content.size(), false), "TSTInfo");
    Walk info(&root, TagSequence, "TSTInfo");
    if (Contents(info.next(TagInteger, "version")) != Bytes{1}) FormatError("version");
    OidOf(info.nextAny("policy"), "policy");
    {
        Walk imprint(info.next(TagSequence, "messageImprint"), TagSequence, "messageImprint");
        CNode* parameters = nullptr;
        const std::string oid = AlgorithmOf(imprint.nextAny("hashAlgorithm"), "hashAlgorithm", &parameters);
        if (parameters && (Identifier(parameters) != TagNull || parameters->getContents().getSize() != 0))
            FormatError("hashAlgorithm");
        const HashAlgorithm* hash = HashByOid(oid);
        if (!hash)
            throw Failure{CRYPT_E_UNKNOWN_ALGO,
                          Text(u8"Неизвестный алгоритм хэширования штампа времени: ") + oid};
        token.imprintAlgId = hash->algId;
        token.imprint = Contents(imprint.next(TagOctetString, "hashedMessage"));
        imprint.end();
        if (token.imprint.size() != hash->size) FormatError("hashedMessage");
    }
    if (Contents(info.next(TagInteger, "serialNumber")).empty()) FormatError("serialNumber");
    token.genTime = ReadGeneralizedTime(Contents(info.next(TagGeneralizedTime, "genTime")));
    // The optional fields, each at most once and in the order of the syntax.
    static constexpr uint8_t Optional[] = {TagSequence, TagBoolean, TagInteger, TagExplicit0, TagExplicit1};
    size_t next = 0;
    for (uint8_t id = info.peek(); id != 0; id = info.peek()) {
        while (next < std::size(Optional) && Optional[next] != id) ++next;
        if (next == std::size(Optional)) FormatError("TSTInfo");
        info.nextAny("TSTInfo");
        ++next;
    }
    info.end();
}

bool SignerNames(const Token& token, const CertificateParts& certificate) {
    if (!token.sidKeyId.empty()) return certificate.keyId == token.sidKeyId;
    return certificate.issuer == token.sidIssuer && certificate.serial == token.sidSerial;
}

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// The codec's errors as the library's failures.
template <class Action>
auto Guarded(Action&& action) {
    try {
        return action();
    } catch (const Vsk::Utils::CExcept& e) {
        throw Failure{CRYPT_E_ASN1_CORRUPT,
                      Text(u8"Неверный формат штампа времени: ") + vsk::kernel::Utf16ToUtf8(e.text.toU16())};
    } catch (const Vsk::Utils::CError& e) {
        throw Failure{CRYPT_E_ASN1_CORRUPT, Text(u8"Неверный формат штампа времени: ") +
                                                vsk::kernel::Utf16ToUtf8(e.getMessage().toU16())};
    }
}

}  // namespace

const HashAlgorithm* HashByAlgId(uint32_t algId) {
    for (const HashAlgorithm& hash : Hashes)
        if (hash.algId == algId) return &hash;
    return nullptr;
}

const HashAlgorithm* HashByOid(const std::string& oid) {
    for (const HashAlgorithm& hash : Hashes)
        if (oid == hash.oid) return &hash;
    return nullptr;
}

void PrepareCrypto() {
    LoadGostEngine();
}

Bytes Digest(const HashAlgorithm& hash, const uint8_t* data, size_t size) {
    PrepareCrypto();
    const EVP_MD* md = vsk::crypt::DigestOf(hash.algId);
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned length = 0;
    if (!md || EVP_Digest(data, size, out.data(), &length, md, nullptr) != 1) {
        ERR_clear_error();
        throw Failure{NTE_BAD_ALGID, Text(u8"Алгоритм хэширования недоступен: ") + hash.oid};
    }
    out.resize(length);
    return out;
}

CertificateParts ReadCertificate(const uint8_t* der, size_t size) {
    if (!der || size == 0) throw Failure{static_cast<uint32_t>(E_INVALIDARG), Text(u8"Не задан сертификат")};
    if (size > MaxTokenBytes) throw Failure{CRYPT_E_ASN1_LARGE, Text(u8"Сертификат слишком велик")};
    return Guarded([&] {
        CSequence root;
        DecodeWhole(root, CDataBlob(der, size, false), "Certificate");
        return ReadCertificateNode(&root);
    });
}

Token ReadToken(const uint8_t* data, size_t size) {
    if (!data || size == 0) throw Failure{static_cast<uint32_t>(E_INVALIDARG), Text(u8"Штамп времени пуст")};
    if (size > MaxTokenBytes) throw Failure{CRYPT_E_ASN1_LARGE, Text(u8"Штамп времени слишком велик")};
    return Guarded([&] {
        Token token;
        CSequence root;
        DecodeWhole(root, CDataBlob(data, size, false), "ContentInfo");
        Walk contentInfo(&root, TagSequence, "ContentInfo");
        if (OidOf(contentInfo.nextAny("contentType"), "contentType") != OidSignedData)
            FormatError("contentType");
        Walk explicitContent(contentInfo.next(TagExplicit0, "content"), TagExplicit0, "content");
        contentInfo.end();
        Walk signedData(explicitContent.next(TagSequence, "SignedData"), TagSequence, "SignedData");
        explicitContent.end();

        signedData.next(TagInteger, "version");
        signedData.next(TagSet, "digestAlgorithms");
        {
            Walk encap(signedData.next(TagSequence, "encapContentInfo"), TagSequence, "encapContentInfo");
            if (OidOf(encap.nextAny("eContentType"), "eContentType") != OidTstInfo)
                FormatError("eContentType");
            Walk explicitContent(encap.next(TagExplicit0, "eContent"), TagExplicit0, "eContent");
            token.content = Contents(explicitContent.next(TagOctetString, "eContent"));
            explicitContent.end();
            encap.end();
        }
        if (signedData.peek() == TagExplicit0) {
            Walk certificates(signedData.nextAny("certificates"), TagExplicit0, "certificates");
            for (size_t i = 0; i < certificates.count(); ++i) {
                CNode* choice = certificates.nextAny("certificates");
                // Other certificate formats (attribute certificates and the like) never sign a stamp.
                if (Identifier(choice) == TagSequence)
                    token.certificates.push_back(ReadCertificateNode(choice));
            }
        }
        if (signedData.peek() == TagExplicit1) signedData.nextAny("crls");
        Walk signers(signedData.next(TagSet, "signerInfos"), TagSet, "signerInfos");
        signedData.end();
        // A time-stamp token carries the authority's signature only (RFC 3161, 2.4.2).
        if (signers.count() != 1) FormatError("signerInfos");
        ReadSignerInfo(signers.next(TagSequence, "SignerInfo"), token);

        ReadTstInfo(token);
        for (size_t i = 0; i < token.certificates.size(); ++i)
            if (SignerNames(token, token.certificates[i])) {
                token.signerCertificate = static_cast<int>(i);
                break;
            }
        return token;
    });
}

uint32_t VerifyToken(const Token& token, const CertificateParts& certificate) {
    PrepareCrypto();
    const HashAlgorithm* digest = HashByOid(token.digestOid);
    if (!digest) return NTE_BAD_ALGID;
    if (Digest(*digest, token.content.data(), token.content.size()) != token.messageDigest)
        return CRYPT_E_HASH_VALUE;
    // The signed reference to the authority's certificate binds the signature to this certificate
    // and not merely to its key; RFC 3161 makes it mandatory.
    if (token.certHash.empty()) return CRYPT_E_SIGNER_NOT_FOUND;
    const HashAlgorithm* certHash = HashByOid(token.certHashOid);
    if (!certHash) return NTE_BAD_ALGID;
    if (Digest(*certHash, certificate.der.data(), certificate.der.size()) != token.certHash)
        return CRYPT_E_SIGNER_NOT_FOUND;

    const SignatureAlgorithm* algorithm = nullptr;
    for (const SignatureAlgorithm& a : SignatureAlgorithms)
        if (token.signatureOid == a.oid) algorithm = &a;
    if (!algorithm || (algorithm->hashOid && token.digestOid != algorithm->hashOid)) return NTE_BAD_ALGID;

    const unsigned char* p = certificate.spki.data();
    std::unique_ptr<EVP_PKEY, PkeyFree> key(
        d2i_PUBKEY(nullptr, &p, static_cast<long>(certificate.spki.size())));
    if (!key) {
        ERR_clear_error();
        throw Failure{NTE_BAD_PUBLIC_KEY, Text(u8"Открытый ключ сертификата не поддерживается")};
    }
    if (EVP_PKEY_get_base_id(key.get()) != NidOf(algorithm->key)) return NTE_BAD_SIGNATURE;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    const EVP_MD* md = vsk::crypt::DigestOf(digest->algId);
    const bool valid = ctx && md && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key.get()) == 1 &&
                       EVP_DigestVerify(ctx.get(), token.signature.data(), token.signature.size(),
                                        token.signedAttributes.data(), token.signedAttributes.size()) == 1;
    ERR_clear_error();
    return valid ? 0 : NTE_BAD_SIGNATURE;
}

}  // namespace vsk::tsp
