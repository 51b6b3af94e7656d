#include "SignatureImpl.h"

#include <vsk/pki/CertApi.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/platform/certname.h>
#include <vsk/utils/array.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include "../../certificates/src/certHandles.h"

#include "ExtSigned.h"

#include <cstdlib>
#include <cstring>

namespace Vsk::PKI {

using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CWString;

namespace {

// The key of the class's live count in the level-5 log.
const char* const LiveClassName = "PKI::CSignature::CImpl";

constexpr DWORD Encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

constexpr DWORD StepEncodedSize = 101103;
constexpr DWORD StepEncodedData = 101105;
constexpr DWORD StepVerifyNoSettings = 110101;
constexpr DWORD StepNotInitialized = 110102;
constexpr DWORD StepVerify = 110104;
constexpr DWORD StepNoMessage = 110201;
constexpr DWORD StepSignerInfoSize = 110202;
constexpr DWORD StepCreate = 110203;
constexpr DWORD StepCmsSignerInfoData = 110204;
constexpr DWORD StepCertInfoSize = 110209;
constexpr DWORD StepCertInfoData = 110211;
constexpr DWORD StepSigningTimeDecode = 110212;
constexpr DWORD StepSigningTimeBuffer = 110213;
constexpr DWORD StepTimeStamp = 110215;
constexpr DWORD StepSignerInfoData = 110216;

constexpr DWORD LastError = static_cast<DWORD>(-1);

// A message parameter by the size protocol: the size query raises `sizeStep`, the data query
// `dataStep`, each with the last error.
CDataBlob getParam(HCRYPTMSG message, DWORD param, DWORD index, DWORD sizeStep, DWORD dataStep) {
    DWORD size = 0;
    if (!CryptMsgGetParam(message, param, index, nullptr, &size)) throw CCryptError(sizeStep, LastError);
    CDataBlob blob(static_cast<size_t>(size));
    if (!CryptMsgGetParam(message, param, index, blob.getData(), &size))
        throw CCryptError(dataStep, LastError);
    return blob;
}

// The first attribute of the block with the OID; null without one (or without a block).
const CRYPT_ATTRIBUTE* findAttribute(const CRYPT_ATTRIBUTES* attributes, const char* oid) {
    if (!attributes) return nullptr;
    for (DWORD i = 0; i < attributes->cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes->rgAttr[i];
        if (attribute.pszObjId && std::strcmp(attribute.pszObjId, oid) == 0) return &attribute;
    }
    return nullptr;
}

const CRYPT_ATTRIBUTES* attributesOf(const CDataBlob& blob) {
    return blob.getSize() >= sizeof(CRYPT_ATTRIBUTES)
               ? reinterpret_cast<const CRYPT_ATTRIBUTES*>(blob.getData())
               : nullptr;
}

// A signed attribute whose value is not what its type requires: a format error of the message.
[[noreturn]] void raiseMalformed(const char* what) {
    throw CError(CWString(u"Неверный формат атрибута подписи: ") + CWString(what, std::strlen(what), CP_ACP),
                 CRYPT_E_ASN1_BADTAG);
}

// The contents of a DER OCTET STRING that fills the value exactly; anything else is malformed.
CDataBlob decodeOctetString(const CRYPT_ATTR_BLOB& value) {
    const BYTE* p = value.pbData;
    const size_t size = value.cbData;
    if (!p || size < 2 || p[0] != 0x04) raiseMalformed("messageDigest");
    size_t length = p[1];
    size_t header = 2;
    if (length & 0x80) {
        const size_t octets = length & 0x7F;
        if (octets == 0 || octets > 4 || size < 2 + octets) raiseMalformed("messageDigest");
        length = 0;
        for (size_t i = 0; i < octets; ++i) length = (length << 8) | p[2 + i];
        header += octets;
    }
    if (length != size - header) raiseMalformed("messageDigest");
    return CDataBlob(p + header, length, true);
}

CWString decimal(DWORD value) {
    const std::string text = std::to_string(value);
    return CWString(text.c_str(), text.size(), CP_ACP);
}

}  // namespace

// ---- Implementation ---------------------------------------------------------------------------------

CSignature::CImpl::CImpl(const DWORD* ownerState)
    : CTokenSignature(Fields{&m_signerCert, &m_foundInMessage, &m_digestAlgorithm, &m_signatureAlgorithm,
                             &m_messageDigest, &m_signatureValue, &m_signedAttributes, &m_signingTime}),
      m_ownerState(ownerState) {
    countLiveObject(LiveClassName, this, 1, "PKI::CSignature::CImpl::CImpl");
}

CSignature::CImpl::~CImpl() {
    clear();
    m_timeStamp = CTimeStamp(false);
    countLiveObject(LiveClassName, this, -1, "PKI::CSignature::CImpl::~CImpl");
}

void CSignature::CImpl::clear() {
    CLock guard(this);
    if (m_message) {
        CryptMsgClose(m_message);
        m_message = nullptr;
    }
    m_digestAlgorithm = CAString();
    m_signatureAlgorithm = CAString();
    m_signatureValue.clear();
    m_signerCertInfo.clear();
    m_messageDigest.clear();
    std::free(m_signingTime);
    m_signingTime = nullptr;
    m_signerCert = CCertificate(false);
    m_timeStamp.release();
    m_dataHash = nullptr;
}

void CSignature::CImpl::create(DWORD index, HCRYPTMSG message, HCERTSTORE store) {
    Vsk::InternalUtils::LogAt(4, CWString(u"PKI::CSignature::CImpl::create ") + decimal(index));
    CLock guard(this);
    clear();
    if (!message) throw CCryptError(StepNoMessage, static_cast<DWORD>(0));
    m_message = CryptMsgDuplicate(message);
    m_index = index;
    PCCERT_CONTEXT found = nullptr;
    try {
        read(index, message, store, found);
    } catch (const CError& error) {
        clear();
        if (found) CertFreeCertificateContext(found);
        throw CCryptError::CCryptErrorFromError(StepCreate, error);
    }
    if (found) CertFreeCertificateContext(found);
}

void CSignature::CImpl::read(DWORD index, HCRYPTMSG message, HCERTSTORE store, PCCERT_CONTEXT& found) {
    // The signer: the CMS form with its signer identifier when the message gives it, else the older
    // form, whose certificate identity names the signer.
    CDataBlob info;
    const CMSG_CMS_SIGNER_INFO* cms = nullptr;
    const CMSG_SIGNER_INFO* older = nullptr;
    DWORD size = 0;
    if (CryptMsgGetParam(message, CMSG_CMS_SIGNER_INFO_PARAM, index, nullptr, &size)) {
        info = CDataBlob(static_cast<size_t>(size));
        if (!CryptMsgGetParam(message, CMSG_CMS_SIGNER_INFO_PARAM, index, info.getData(), &size))
            throw CCryptError(StepCmsSignerInfoData, LastError);
        cms = reinterpret_cast<const CMSG_CMS_SIGNER_INFO*>(info.getData());
    } else {
        info = getParam(message, CMSG_SIGNER_INFO_PARAM, index, StepSignerInfoSize, StepSignerInfoData);
        older = reinterpret_cast<const CMSG_SIGNER_INFO*>(info.getData());
    }
    const CRYPT_ALGORITHM_IDENTIFIER& hash = cms ? cms->HashAlgorithm : older->HashAlgorithm;
    const CRYPT_ALGORITHM_IDENTIFIER& sign =
        cms ? cms->HashEncryptionAlgorithm : older->HashEncryptionAlgorithm;
    const CRYPT_DATA_BLOB& encryptedHash = cms ? cms->EncryptedHash : older->EncryptedHash;
    const CRYPT_ATTRIBUTES& signedAttrs = cms ? cms->AuthAttrs : older->AuthAttrs;
    m_digestAlgorithm = CAString(hash.pszObjId ? hash.pszObjId : "");
    m_signatureAlgorithm = CAString(sign.pszObjId ? sign.pszObjId : "");
    m_signatureValue = CDataBlob(encryptedHash.pbData, encryptedHash.cbData, true);

    m_signerCertInfo =
        getParam(message, CMSG_SIGNER_CERT_INFO_PARAM, index, StepCertInfoSize, StepCertInfoData);
    const CERT_INFO* certInfo = reinterpret_cast<const CERT_INFO*>(m_signerCertInfo.getData());

    // The signer certificate: among the message's certificates, then in the user's and the
    // computer's personal and address-book stores.
    CERT_ID id{};
    if (cms) {
        id = cms->SignerId;
    } else {
        id.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
        id.IssuerSerialNumber.Issuer = certInfo->Issuer;
        id.IssuerSerialNumber.SerialNumber = certInfo->SerialNumber;
    }
    if (store) {
        found = CertFindCertificateInStore(store, Encoding, 0, CERT_FIND_CERT_ID, &id, nullptr);
        if (found) {
            if (Vsk::InternalUtils::GetLogLevel() >= 4)
                Vsk::InternalUtils::LogAt(
                    4, CWString(u"PKI::CSignature::CImpl::create ") + getCertContextText(found));
            m_foundInMessage = true;
        }
    }
    if (!found) {
        Vsk::Utils::CArray<CWString> stores;
        stores.add(CWString(u"MY"));
        stores.add(CWString(u"AddressBook"));
        found = FindCertificate(stores, id, CERT_SYSTEM_STORE_CURRENT_USER);
        if (!found) found = FindCertificate(stores, id, CERT_SYSTEM_STORE_LOCAL_MACHINE);
    }
    if (found) {
        m_signerCert.put_CertContext(found);
        CertFreeCertificateContext(found);
        found = nullptr;
    } else if (id.dwIdChoice == CERT_ID_ISSUER_SERIAL_NUMBER) {
        m_signerCert.put_DecryptCertInfo(
            CDataBlob(id.IssuerSerialNumber.Issuer.pbData, id.IssuerSerialNumber.Issuer.cbData, true),
            CDataBlob(id.IssuerSerialNumber.SerialNumber.pbData, id.IssuerSerialNumber.SerialNumber.cbData,
                      true),
            m_signatureAlgorithm);
    }

    // The signing time: a UTCTime or GeneralizedTime value, nothing else.
    if (const CRYPT_ATTRIBUTE* attribute = findAttribute(&signedAttrs, szOID_RSA_signingTime)) {
        m_signingTime = static_cast<FILETIME*>(std::malloc(sizeof(FILETIME)));
        if (!m_signingTime)
            throw CCryptError(StepSigningTimeBuffer, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        DWORD timeSize = sizeof(FILETIME);
        if (attribute->cValue == 0 || !attribute->rgValue) {
            SetLastError(CRYPT_E_ASN1_BADTAG);
            throw CCryptError(StepSigningTimeDecode, LastError);
        }
        if (!CryptDecodeObject(Encoding, szOID_RSA_signingTime, attribute->rgValue[0].pbData,
                               attribute->rgValue[0].cbData, 0, m_signingTime, &timeSize))
            throw CCryptError(StepSigningTimeDecode, LastError);
    }

    m_messageDigest.clear();
    DWORD attrSize = 0;
    if (CryptMsgGetParam(message, CMSG_SIGNER_AUTH_ATTR_PARAM, index, nullptr, &attrSize)) {
        CDataBlob blob(static_cast<size_t>(attrSize));
        if (CryptMsgGetParam(message, CMSG_SIGNER_AUTH_ATTR_PARAM, index, blob.getData(), &attrSize))
            m_signedAttributes = blob;
    }
    attrSize = 0;
    if (CryptMsgGetParam(message, CMSG_SIGNER_UNAUTH_ATTR_PARAM, index, nullptr, &attrSize)) {
        CDataBlob blob(static_cast<size_t>(attrSize));
        if (CryptMsgGetParam(message, CMSG_SIGNER_UNAUTH_ATTR_PARAM, index, blob.getData(), &attrSize))
            m_unsignedAttributes = blob;
    }
    findMessageDigestAttr();
    readTimeStamp();
}

void CSignature::CImpl::findMessageDigestAttr() {
    const CRYPT_ATTRIBUTE* attribute =
        findAttribute(attributesOf(m_signedAttributes), szOID_RSA_messageDigest);
    if (!attribute) attribute = findAttribute(attributesOf(m_unsignedAttributes), szOID_RSA_messageDigest);
    if (!attribute) return;
    if (attribute->cValue == 0 || !attribute->rgValue) raiseMalformed("messageDigest");
    m_messageDigest = decodeOctetString(attribute->rgValue[0]);
}

void CSignature::CImpl::readTimeStamp() {
    const CRYPT_ATTRIBUTES* attributes = attributesOf(m_unsignedAttributes);
    if (!attributes) return;
    for (DWORD i = 0; i < attributes->cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes->rgAttr[i];
        if (!attribute.pszObjId || std::strcmp(attribute.pszObjId, szOID_TIMESTAMP_TOKEN) != 0) continue;
        // Without the time-stamp client library the signer reads as carrying no stamp.
        try {
            m_timeStamp.create();
        } catch (...) {
            m_timeStamp = CTimeStamp(false);
            continue;
        }
        try {
            const CDataBlob token =
                attribute.cValue && attribute.rgValue
                    ? CDataBlob(attribute.rgValue[0].pbData, attribute.rgValue[0].cbData, true)
                    : CDataBlob();
            m_timeStamp.Import(token);
            m_timeStamp.AddData(m_signatureValue);
        } catch (const CCryptError&) {
            clear();
            throw;
        } catch (const CError& error) {
            throw CCryptError::CCryptErrorFromError(StepTimeStamp, error);
        }
        break;
    }
}

void CSignature::CImpl::createFromSignerInfo(DWORD index, const Vsk::ASN1::CNode& signerInfo,
                                             const CDataBlob* dataHash,
                                             const std::vector<CCertificate>& certificates) {
    CLock guard(this);
    clear();
    m_index = index;
    parse(signerInfo, dataHash, certificates);
}

DWORD CSignature::CImpl::verifySignature(PCCERT_CONTEXT certificate) {
    // A detached message whose content was not fed: only the signature over the signed attributes
    // can be checked.
    if (m_ownerState && *m_ownerState == SignedStateDetachedRead && m_signedAttributes.getSize() != 0 &&
        m_signatureValue.getSize() != 0) {
        const CDataBlob encoded =
            getParam(m_message, CMSG_ENCODED_MESSAGE, 0, StepEncodedSize, StepEncodedData);
        CCertificate signer;
        signer.put_CertContext(certificate);
        return verifySignedAttributes(encoded, signer);
    }
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{};
    para.cbSize = sizeof(para);
    para.hCryptProv = 0;
    para.dwSignerIndex = m_index;
    para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    para.pvSigner = const_cast<CERT_CONTEXT*>(certificate);
    if (CryptMsgControl(m_message, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para)) return 0;
    return GetLastError();
}

DWORD CSignature::CImpl::verify(const CSignatureVerifySettings* settings, const FILETIME* time) {
    if (!settings) throw CCryptError(StepVerifyNoSettings, static_cast<DWORD>(0));
    CLock guard(this);
    if (!m_message) {
        const int result = CTokenSignature::verify();
        if (result == -1) throw CCryptError(StepNotInitialized, static_cast<DWORD>(0));
        return static_cast<DWORD>(result);
    }
    const CCertificate* given = settings->get_SignerCert();
    PCCERT_CONTEXT certificate = given ? given->get_CertContext() : nullptr;
    if (!certificate) certificate = m_signerCert.get_CertContext();
    if (!certificate) return SignatureNoCertificate;

    const DWORD error = verifySignature(certificate);
    if (error == static_cast<DWORD>(NTE_BAD_DATA) || error == static_cast<DWORD>(NTE_BAD_SIGNATURE) ||
        error == static_cast<DWORD>(CRYPT_E_HASH_VALUE))
        return SignatureInvalid;
    if (error != 0) throw CCryptError(StepVerify, error);

    if (settings->get_CertVerifyMode() == 1) return SignatureValid;
    const bool stamped = !m_timeStamp.isEmpty();
    FILETIME stampTime{};
    const FILETIME* at = time;
    if (!at && !stamped) at = m_signingTime;
    if (!at && stamped) {
        m_timeStamp.get_FileTime(&stampTime);
        at = &stampTime;
    }
    const DWORD status = CCertificate::VerifyCertificate(certificate, settings->get_CertVerifySettings(), at);
    if (status != 0) return status;
    if (settings->get_RequireTimestamp() && !stamped) return SignatureNoTimeStamp;
    if (const CStampVerifySettings* stampSettings = settings->get_StampVerifySettings();
        stampSettings && stamped)
        return m_timeStamp.Verify(stampSettings);
    return status;
}

// ---- Handle -------------------------------------------------------------------------------------------

CSignature::CSignature(const DWORD* ownerState) : m_pImpl(Vsk::Utils::CRefPtr<CImpl>::create(ownerState)) {}
CSignature::CSignature(const CSignature& other) = default;
CSignature::CSignature(CSignature&& other) noexcept = default;
CSignature& CSignature::operator=(const CSignature& other) = default;
CSignature& CSignature::operator=(CSignature&& other) noexcept = default;
CSignature::~CSignature() = default;

CSignature::CImpl* CSignature::impl() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

void CSignature::create(DWORD index, HCRYPTMSG message, HCERTSTORE store) {
    impl()->create(index, message, store);
}

void CSignature::createFromSignerInfo(DWORD index, const Vsk::ASN1::CNode& signerInfo,
                                      const CDataBlob* dataHash,
                                      const std::vector<CCertificate>& certificates) {
    impl()->createFromSignerInfo(index, signerInfo, dataHash, certificates);
}

DWORD CSignature::Verify(const CSignatureVerifySettings* settings, const FILETIME* time) const {
    return impl()->verify(settings, time);
}

DWORD CSignature::get_Index() const {
    return impl()->m_index;
}

CDataBlob CSignature::get_MessageDigest() const {
    CImpl* p = impl();
    CLock guard(p);
    return p->m_messageDigest.clone();
}

void CSignature::put_SignerCert(const CCertificate* certificate) {
    CImpl* p = impl();
    CLock guard(p);
    p->m_signerCert = certificate ? *certificate : CCertificate(false);
}

CAString CSignature::get_DigestAlgorithm() const {
    CImpl* p = impl();
    CLock guard(p);
    return p->m_digestAlgorithm;
}

CAString CSignature::get_SignatureAlgorithm() const {
    CImpl* p = impl();
    CLock guard(p);
    return p->m_signatureAlgorithm;
}

CDataBlob CSignature::get_SignatureValue() const {
    CImpl* p = impl();
    CLock guard(p);
    return p->m_signatureValue.clone();
}

bool CSignature::get_SigningTime(FILETIME* time) const {
    CImpl* p = impl();
    CLock guard(p);
    if (!p->m_signingTime) return false;
    if (time) *time = *p->m_signingTime;
    return true;
}

CCertificate CSignature::get_SignerCert() const {
    CImpl* p = impl();
    CLock guard(p);
    return p->m_signerCert;
}

bool CSignature::get_FoundInMessage() const {
    CImpl* p = impl();
    CLock guard(p);
    return p->m_foundInMessage;
}

CTimeStamp CSignature::get_TimeStamp() const {
    CImpl* p = impl();
    CLock guard(p);
    return p->m_timeStamp;
}

bool CSignature::hasTimeStamp() const {
    CImpl* p = impl();
    CLock guard(p);
    return !p->m_timeStamp.isEmpty();
}

CDataBlob CSignature::get_SignedAttributes() const {
    CImpl* p = impl();
    CLock guard(p);
    return p->m_signedAttributes;
}

CDataBlob CSignature::get_UnsignedAttributes() const {
    CImpl* p = impl();
    CLock guard(p);
    return p->m_unsignedAttributes;
}

}  // namespace Vsk::PKI
