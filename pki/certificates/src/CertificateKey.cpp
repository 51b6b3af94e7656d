// The certificate's public key and algorithms, and the key-provider information it carries.
#include <vsk/asn1/asn1.h>
#include <vsk/pki/CertApi.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/OidNames.h>
#include <vsk/pki/ProviderChoice.h>
#include <vsk/pki/ProviderChoiceCert.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <cstring>

#include "CertificateImpl.h"
#include "certificateText.h"

namespace Vsk::PKI {

using CertText::a2w;
using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;

namespace {

constexpr DWORD Encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD RsaExponent = 65537;
constexpr DWORD PublicKeyMagic = 0x3147414D;  // "MAG1"
constexpr BYTE PublicKeyBlobVersion = 0x20;

bool isGostKeyOid(const CAString& oid) {
    return oid == "1.2.643.2.2.19" || oid == "1.2.643.7.1.1.1.1" || oid == "1.2.643.7.1.1.1.2";
}

// The hash parameter OID of a GOST key blob, null for other ALG_IDs.
const char* hashParameterOid(ALG_ID algId) {
    switch (algId) {
        case 0x2E23:
            return "1.2.643.2.2.30.1";
        case 0x2E3D:
            return "1.2.643.7.1.1.2.3";
        case 0x2E49:
            return "1.2.643.7.1.1.2.2";
        default:
            return nullptr;
    }
}

// Reads one whole DER node into `node`: trailing bytes, or an input that ends inside the node, are
// refused.
void decodeWhole(Vsk::ASN1::CNode& node, const CDataBlob& der) {
    const size_t left = node.decode(der, false, false);
    if (left != 0 || node.isIncomplete()) throw CError("DER", static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
}

// The OCTET STRING contents of a GOST key; throws for anything else.
CDataBlob gostKeyBytes(const CDataBlob& bits) {
    Vsk::ASN1::CNode node;
    decodeWhole(node, bits);
    // Primitive, universal OCTET STRING only.
    if (bits.getAt(0) != 0x04) throw CError("OCTET STRING", static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    return node.getContents().clone();
}

// The modulus of an RSA key with exponent 65537, least significant byte first without the sign
// byte; empty for any other key.
CDataBlob rsaModulus(const CDataBlob& bits) {
    Vsk::ASN1::CSequence node;
    decodeWhole(node, bits);
    Vsk::ASN1::CSequence* sequence = Vsk::ASN1::castToSequence(&node);
    if (!sequence || sequence->getCount() != 2) return CDataBlob();
    Vsk::ASN1::CInteger* modulus = Vsk::ASN1::castToInteger(sequence->getItem(0));
    Vsk::ASN1::CInteger* exponent = Vsk::ASN1::castToInteger(sequence->getItem(1));
    if (!modulus || !exponent) return CDataBlob();
    bool ok = false;
    if (exponent->getValue().toUInt32(&ok) != RsaExponent || !ok) return CDataBlob();
    CDataBlob value = modulus->getValue().clone();
    const DWORD size = value.getSize();
    if (size != 0 && value.getAt(size - 1) == 0) value = value.getBlock(0, size - 1).clone();
    return value;
}

void putDword(BYTE* at, DWORD value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<BYTE>(value >> (8 * i));
}

// The parameter sets a GOST key names in its SubjectPublicKeyInfo: SEQUENCE { key parameter set,
// digest parameter set (optional), ... }. Empty texts where the certificate names none or the
// parameters do not decode.
struct CGostParameterSets {
    CAString key;
    CAString digest;
};

CGostParameterSets gostParameterSets(const CRYPT_OBJID_BLOB& parameters) {
    CGostParameterSets sets;
    if (!parameters.pbData || parameters.cbData == 0) return sets;
    try {
        Vsk::ASN1::CSequence node;
        decodeWhole(node, CDataBlob(parameters.pbData, parameters.cbData, false));
        Vsk::ASN1::CSequence* sequence = Vsk::ASN1::castToSequence(&node);
        if (!sequence) return sets;
        if (sequence->getCount() > 0)
            if (Vsk::ASN1::CObjectId* oid = Vsk::ASN1::castToObjectId(sequence->getItem(0)))
                sets.key = oid->getValue();
        if (sequence->getCount() > 1)
            if (Vsk::ASN1::CObjectId* oid = Vsk::ASN1::castToObjectId(sequence->getItem(1)))
                sets.digest = oid->getValue();
    } catch (...) {
        return CGostParameterSets();
    }
    return sets;
}

// The key parameter set of a blob when the certificate names none: the exchange set the GOST
// providers take by default.
constexpr const char* DefaultKeyParameterSet = "1.2.643.2.2.36.0";

// The PUBLICKEYBLOB the certificate builds itself from the ALG_ID and the key bytes, with the
// parameter sets of the certificate's own key (the digest set by ALG_ID when the certificate leaves
// it out), so that a provider that imports the blob gets the curve the key lies on.
CDataBlob buildPublicKeyBlob(ALG_ID algId, const CDataBlob& key, const CGostParameterSets& sets) {
    Vsk::ASN1::CSequence parameters;
    parameters.addItem(
        Vsk::ASN1::CObjectId(sets.key.getLength() ? sets.key : CAString(DefaultKeyParameterSet)));
    if (sets.digest.getLength())
        parameters.addItem(Vsk::ASN1::CObjectId(sets.digest));
    else if (const char* hashOid = hashParameterOid(algId))
        parameters.addItem(Vsk::ASN1::CObjectId(CAString(hashOid)));
    const CDataBlob parametersDer = parameters.encode();
    BYTE header[16] = {PUBLICKEYBLOB, PublicKeyBlobVersion, 0, 0};
    putDword(header + 4, algId);
    putDword(header + 8, PublicKeyMagic);
    putDword(header + 12, key.getSize() * 8);
    CDataBlob blob(header, sizeof header, true);
    blob += parametersDer;
    if (key.getSize()) blob += key;
    return blob;
}

CWString oidText(const CAString& oid, bool asName) {
    if (asName && oid.getLength()) {
        const CNameSet names = CNameOID::getNames(oid);
        if (!names.empty()) return *names.begin();
    }
    return a2w(oid);
}

}  // namespace

namespace {

// Raises the step for a copy that failed: `noMemoryStep` when memory ran out, else `otherStep`.
template <typename Text>
Text checkedCopy(Text copy, DWORD noMemoryStep, DWORD otherStep) {
    int win32 = 0;
    const DWORD status = copy.getStatus(&win32);
    if (status == Vsk::Utils::CDataBlob::CImpl::StatusNoMemory)
        throw CCryptError(noMemoryStep, static_cast<DWORD>(ERROR_OUTOFMEMORY));
    if (status != 0) throw CCryptError(otherStep, static_cast<DWORD>(win32));
    return copy;
}

}  // namespace

CWString copyCertText(LPCWSTR text, DWORD noMemoryStep, DWORD otherStep) {
    return text ? checkedCopy(CWString(text), noMemoryStep, otherStep) : CWString();
}

Vsk::Utils::CAString copyCertText(LPCSTR text, DWORD noMemoryStep, DWORD otherStep) {
    return text ? checkedCopy(Vsk::Utils::CAString(text), noMemoryStep, otherStep) : Vsk::Utils::CAString();
}

// ---- Algorithm identifiers ------------------------------------------------------------------------------

void CCertificate::CImpl::fillAlgorithmOIDs() {
    CLock lock(this);
    const CERT_INFO* info = certInfo();
    if ((m_values.cacheFlags & FlagAlgorithms) || !info) return;
    m_values.publicKeyOid = CAString(
        info->SubjectPublicKeyInfo.Algorithm.pszObjId ? info->SubjectPublicKeyInfo.Algorithm.pszObjId : "");
    m_values.keyAlgId = OIDToAlgId(m_values.publicKeyOid);
    m_values.signatureOid =
        CAString(info->SignatureAlgorithm.pszObjId ? info->SignatureAlgorithm.pszObjId : "");
    m_values.cacheFlags |= FlagAlgorithms;
}

// ---- Public key -------------------------------------------------------------------------------------------

CDataBlob CCertificate::CImpl::get_PublicKey() {
    CLogScope scope;
    if (scope.getLevel() >= 5) scope.enter("Vsk::PKI::CCertificate::CImpl::get_PublicKey");
    CLock lock(this);
    if (m_values.publicKey.getSize() == 0 && m_context) {
        fillAlgorithmOIDs();
        const CRYPT_BIT_BLOB& bits = m_context->pCertInfo->SubjectPublicKeyInfo.PublicKey;
        const CDataBlob raw(bits.pbData, bits.cbData, true);
        m_values.publicKey = raw;
        if (raw.getSize() == 0) {
            CertText::log(2, "Vsk::PKI::CCertificate::CImpl::get_PublicKey", u"Публичный ключ отсутствует");
        } else if (isGostKeyOid(m_values.publicKeyOid)) {
            try {
                m_values.publicKey = gostKeyBytes(raw);
            } catch (...) {
                m_values.publicKey = raw;
                if (Vsk::InternalUtils::GetLogLevel() >= 2) {
                    CWString text;
                    try {
                        text = getText();
                    } catch (...) {
                    }
                    CertText::log(
                        2, "Vsk::PKI::CCertificate::CImpl::get_PublicKey",
                        u"Ошибка разбора публичного ключа: " + a2w(raw.toHex(nullptr, false)) + u", " + text);
                }
            }
        } else if (m_values.publicKeyOid == "1.2.840.113549.1.1.1") {
            try {
                const CDataBlob modulus = rsaModulus(raw);
                if (modulus.getSize()) m_values.publicKey = modulus;
            } catch (...) {
                m_values.publicKey = raw;
            }
        }
    }
    if (scope.isEntered()) scope.m_result = Vsk::Utils::ToBase64Text(m_values.publicKey);
    return m_values.publicKey;
}

CDataBlob CCertificate::CImpl::get_PublicKeyWrap() {
    CLock lock(this);
    fillAlgorithmOIDs();
    if (m_context) {
        CError listing;
        const CSPInfoArray providers = CSPsFromCertificate(m_context.get(), &listing);
        for (const CRefPtr<CSPInfo>& provider : providers) {
            if (!provider || provider->isCryptoProKC()) continue;
            CHoldCSP hold = provider->acquireContext(nullptr, CRYPT_VERIFYCONTEXT | CRYPT_SILENT);
            if (!hold.isAcquired()) continue;
            HCRYPTKEY key = 0;
            if (!ImportPublicKeyInfo(hold.get_hCryptProv(), Encoding,
                                     &m_context->pCertInfo->SubjectPublicKeyInfo, &key)) {
                CertText::logError(1, "Vsk::PKI::CCertificate::CImpl::get_PublicKeyWrap",
                                   u"CryptImportPublicKeyInfo", GetLastError());
                continue;
            }
            CDataBlob blob;
            if (!ExportKey(key, 0, PUBLICKEYBLOB, 0, &blob))
                CertText::logError(1, "Vsk::PKI::CCertificate::CImpl::get_PublicKeyWrap",
                                   u"Экспорт публичного ключа сертификата", GetLastError());
            DestroyKey(key);
            if (blob.getSize()) return blob;
        }
    }
    CGostParameterSets sets;
    if (m_context && isGostKeyOid(m_values.publicKeyOid))
        sets = gostParameterSets(m_context->pCertInfo->SubjectPublicKeyInfo.Algorithm.Parameters);
    return buildPublicKeyBlob(m_values.keyAlgId, get_PublicKey(), sets);
}

CRefPtr<CAlgorithm> CCertificate::CImpl::getPublicKeyAlgorithm() {
    CLock lock(this);
    if (m_values.algorithm) return m_values.algorithm;
    fillAlgorithmOIDs();
    const DWORD bits = get_PublicKey().getSize() * 8;
    CRefPtr<CAlgorithm> found = FindAlgorithm(m_values.publicKeyOid, static_cast<int>(bits));
    if (!found) {
        if (Vsk::InternalUtils::GetLogLevel() >= 3)
            CertText::log(3, "Vsk::PKI::CCertificate::CImpl::getPublicKeyAlgorithm",
                          u"Не поддерживается алгоритм " + a2w(m_values.publicKeyOid) +
                              u" с длиной публичного ключа " + Vsk::Utils::ToWString(bits) + u" бит.");
        found = CAlgorithm::createNew();
        found->m_oid = m_values.publicKeyOid;
        found->m_aid = m_values.keyAlgId;
        found->m_name = CNameOID::joinNames(m_values.publicKeyOid, u", ");
        found->m_keyBitLength = bits;
    }
    m_values.algorithm = found;
    return m_values.algorithm;
}

// ---- Key-provider information ----------------------------------------------------------------------------

void CCertificate::CImpl::loadKeyProvInfo() {
    CLock lock(this);
    if ((m_values.cacheFlags & FlagKeyProvInfo) || !m_context) return;
    DWORD error = 0;
    const CDataBlob record =
        GetCertificateContextProperty(m_context.get(), CERT_KEY_PROV_INFO_PROP_ID, &error);
    if (record.getSize() != 0) {
        if (record.getSize() < sizeof(CRYPT_KEY_PROV_INFO)) throw CCryptError(130109, error);
        CRYPT_KEY_PROV_INFO info;
        std::memcpy(&info, record.getData(), sizeof info);
        m_values.hasKeyLink = true;
        m_values.providerType = info.dwProvType;
        m_values.providerName = copyCertText(info.pwszProvName, 130111, 130112);
        m_values.containerName = copyCertText(info.pwszContainerName, 130113, 130114);
    } else {
        CERT_KEY_CONTEXT keyContext{};
        DWORD keyContextSize = sizeof keyContext;
        if (GetCertificateContextPropertyFixed(m_context.get(), CERT_KEY_CONTEXT_PROP_ID, &keyContext,
                                               &keyContextSize) &&
            keyContext.cbSize == sizeof keyContext)
            m_values.hasKeyLink = true;
        CError listing;
        const CSPInfoArray providers = CSPsFromCertificate(m_context.get(), &listing);
        if (!providers.isEmpty() && providers[0]) {
            m_values.providerType = providers[0]->m_type;
            m_values.providerName = providers[0]->m_name;
        }
    }
    m_values.cacheFlags |= FlagKeyProvInfo;
}

bool CCertificate::CImpl::setKeyProvInfo(DWORD providerType, const CWString& providerName,
                                         const CWString& containerName, DWORD keySpec, bool machine,
                                         bool silent, bool cache) {
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::CCertificate::CImpl::setKeyProvInfo",
                    Vsk::Utils::ToWString(providerType) + u"," + providerName + u"," + containerName + u"," +
                        Vsk::Utils::ToWString(keySpec) + u",machineContext=" + (machine ? u"1" : u"0") +
                        u",silent=" + (silent ? u"1" : u"0") + u",cache=" + (cache ? u"1" : u"0"));
    CLock lock(this);
    if (!m_context) return false;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<LPWSTR>(containerName.c_str());
    info.pwszProvName = const_cast<LPWSTR>(providerName.c_str());
    info.dwProvType = providerType;
    info.dwFlags = (machine ? CRYPT_MACHINE_KEYSET : 0) | (silent ? CRYPT_SILENT : 0);
    info.dwKeySpec = keySpec;
    if (!CertSetCertificateContextProperty(m_context.get(), CERT_KEY_PROV_INFO_PROP_ID, cache ? 1 : 0,
                                           &info)) {
        CertText::logError(1, "Vsk::PKI::CCertificate::CImpl::setKeyProvInfo",
                           u"set CERT_KEY_PROV_INFO_PROP_ID", GetLastError());
        scope.setResult(false);
        return false;
    }
    m_values.providerType = providerType;
    m_values.providerName = providerName;
    m_values.containerName = containerName;
    m_values.keySpec = keySpec;
    m_values.cacheAcquisition = cache;
    m_values.hasKeyLink = true;
    m_values.cacheFlags |= FlagKeyProvInfo;
    scope.setResult(true);
    return true;
}

// ---- Handle ---------------------------------------------------------------------------------------------

CWString CCertificate::get_PublicKeyAlgorithmOID(bool asName) const {
    CImpl* p = impl();
    CLock lock(p);
    p->fillAlgorithmOIDs();
    return oidText(p->m_values.publicKeyOid, asName);
}

CWString CCertificate::get_SignatureAlgorithmOID(bool asName) const {
    CImpl* p = impl();
    CLock lock(p);
    p->fillAlgorithmOIDs();
    return oidText(p->m_values.signatureOid, asName);
}

CDataBlob CCertificate::get_PublicKey() const {
    return impl()->get_PublicKey();
}

CDataBlob CCertificate::get_PublicKeyWrap() const {
    return impl()->get_PublicKeyWrap();
}

CRefPtr<CAlgorithm> CCertificate::getPublicKeyAlgorithm() const {
    CImpl* p = impl();
    CLogScope scope;
    if (scope.getLevel() >= 4) scope.enter("Vsk::PKI::CCertificate::getPublicKeyAlgorithm");
    CRefPtr<CAlgorithm> algorithm = p->getPublicKeyAlgorithm();
    if (scope.isEntered() && scope.getLevel() >= 3 && algorithm) scope.m_result = algorithm->toString();
    return algorithm;
}

void CCertificate::getPossibleHashAlgorithms(Vsk::Utils::CArray<CAString>& oids) const {
    CImpl* p = impl();
    CLock lock(p);
    p->fillAlgorithmOIDs();
    oids.clear();
    for (const CRefPtr<CAlgorithm>& algorithm : GetPossibleHashAlgs(p->m_values.publicKeyOid))
        if (algorithm) oids.add(algorithm->m_oid);
}

DWORD CCertificate::get_ProviderType() const {
    CImpl* p = impl();
    CLock lock(p);
    p->loadKeyProvInfo();
    return p->m_values.providerType;
}

CWString CCertificate::get_ProviderName() const {
    CImpl* p = impl();
    CLock lock(p);
    p->loadKeyProvInfo();
    return p->m_values.providerName;
}

CWString CCertificate::get_ContainerName() const {
    CImpl* p = impl();
    CLock lock(p);
    p->loadKeyProvInfo();
    return p->m_values.containerName;
}

bool CCertificate::setKeyProvInfo(DWORD providerType, const CWString& providerName,
                                  const CWString& containerName, DWORD keySpec, bool machine, bool silent,
                                  bool cache) {
    return impl()->setKeyProvInfo(providerType, providerName, containerName, keySpec, machine, silent, cache);
}

}  // namespace Vsk::PKI
