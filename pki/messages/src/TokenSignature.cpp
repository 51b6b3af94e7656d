// Reads one DER SignerInfo into the signer's fields and verifies it on a token.
#include "TokenSignature.h"

#include <vsk/asn1/asn1.h>
#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/pki/Attributes.h>
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/OidNames.h>
#include <vsk/pki/ProviderChoice.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/certname.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>

#include <cstdlib>

namespace Vsk::PKI {

using namespace Vsk::ASN1;
using Vsk::InternalUtils::GetLogLevel;
using Vsk::InternalUtils::LogAt;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace {

constexpr DWORD StepLoadSignature = 101203;
constexpr DWORD StepSigningTimeDecode = 110212;
constexpr DWORD StepSigningTimeBuffer = 110213;
constexpr int ClassContext = 0x80;
constexpr const char* OidMessageDigest = "1.2.840.113549.1.9.4";
constexpr const char* OidSigningTime = "1.2.840.113549.1.9.5";
constexpr DWORD CkrSignatureInvalid = 0xC0;
constexpr DWORD CkrSignatureLenRange = 0xC1;

[[noreturn]] void fault(const CWString& text) {
    RaiseTokenSignedFault(text);
}

CObjectId* firstOid(CNode* node) {
    CSequence* sequence = castToSequence(node);
    return sequence && sequence->getCount() > 0 ? castToObjectId(sequence->getItem(0)) : nullptr;
}

}  // namespace

void RaiseTokenSignedFault(const CWString& text) {
    CCryptError error = CCryptError::CCryptErrorTextW(
        StepLoadSignature, (u"Данные не являются подписью в формате PKCS#7 (" + text + u").").c_str(),
        CRYPT_E_ASN1_BADTAG);
    SetLastError(CRYPT_E_ASN1_BADTAG);
    throw error;
}

CDataBlob TokenKeyParamSet(const CERT_PUBLIC_KEY_INFO& key) {
    if (key.Algorithm.Parameters.cbData == 0) return CDataBlob();
    try {
        CNode params;
        params.decode(CDataBlob(key.Algorithm.Parameters.pbData, key.Algorithm.Parameters.cbData, true));
        CSequence* sequence = castToSequence(&params);
        if (sequence && sequence->getCount() > 0 && castToObjectId(sequence->getItem(0)))
            return sequence->getItem(0)->encode();
    } catch (const CError&) {
        // Parameters of another form: the token's usual set.
    }
    return CDataBlob();
}

void LoginTokenKeyPair(const Vsk::PKCS11::CTokenKeyPair& pair, CPassword* first, CPassword* second) {
    const Vsk::PKCS11::CToken* token = pair.getToken();
    if (token && !token->isLoggedIn()) {
        CWString pin = first ? first->getPasswordWide() : CWString();
        if (pin.getLength() == 0 && second) pin = second->getPasswordWide();
        try {
            token->login(pin);
        } catch (...) {
            pin.zeroFill();
            throw;
        }
        pin.zeroFill();
        pair.findPrivKey();
    } else if (!pair.hasPrivKey()) {
        pair.findPrivKey();
    }
}

void CTokenSignature::parse(const CNode& signerInfoNode, const CDataBlob* dataHash,
                            const std::vector<CCertificate>& certificates) {
    m_dataHash = dataHash;
    // A typed handle from a parsed tree is used as it is; a plain handle is read again as a SEQUENCE.
    CSequence* signerInfo = castToSequence(const_cast<CNode*>(&signerInfoNode));
    CSequence holder;
    if (!signerInfo && !signerInfoNode.isEmpty() && signerInfoNode.getTag() == 16 &&
        signerInfoNode.getClass() == 0) {
        holder.decode(signerInfoNode.encode());
        signerInfo = &holder;
    }
    if (!signerInfo) fault(u"Количество элементов в SignerInfo: 0");
    const size_t count = signerInfo->getCount();
    if (count < 5) fault(u"Количество элементов в SignerInfo: " + ToWString(static_cast<uint64_t>(count)));

    CInteger* versionNode = castToInteger(signerInfo->getItem(0));
    if (!versionNode) fault(u"SignerInfo.version");
    bool fits = false;
    const uint32_t version = versionNode->getValue().toUInt32(&fits);
    if (!fits) fault(u"SignerInfo.version not INTEGER");
    if (version == 1) {
        CSequence* sid = castToSequence(signerInfo->getItem(1));
        CInteger* serial = sid && sid->getCount() >= 2 ? castToInteger(sid->getItem(1)) : nullptr;
        if (!serial) fault(u"SignerInfo.sid");
        CAttributes issuer;
        // A damaged issuer name is a fault of the message like any other of its parts.
        try {
            issuer.fromX501Name(sid->getItem(0)->getRawEncoding());
        } catch (const CError&) {
            fault(u"SignerInfo.sid.issuer");
        }
        CDataBlob serialBytes = serial->getValue();
        serialBytes.reverse();
        CWString serialText(CWString(serialBytes.toHex(), Vsk::Utils::CP_PROGRAM));
        serialText.toUpper();
        for (const CCertificate& certificate : certificates) {
            if (!certificate.get_CertContext()) continue;
            Vsk::Utils::CRefPtr<CAttributes> certificateIssuer = certificate.get_Issuer();
            if (!certificateIssuer || !certificateIssuer->equal(issuer, true)) continue;
            if (certificate.get_SerialNumber() != serialText) continue;
            *m_fields.signerCert = certificate;
            *m_fields.foundInMessage = true;
            break;
        }
    } else if (version != 3) {
        fault(u"Не поддерживаемая SignerInfo.version = " + ToWString(version));
    }

    size_t next = 2;
    CObjectId* digestOid = nullptr;
    if (!castToSequence(signerInfo->getItem(next))) fault(u"отсутствует SignerInfo.digestAlgorithm");
    digestOid = firstOid(signerInfo->getItem(next));
    if (!digestOid) fault(u"отсутствует SignerInfo.digestAlgorithm.algorithm");
    *m_fields.digestAlgorithm = digestOid->getValue();
    ++next;

    CNode* attrsNode = signerInfo->getItem(next);
    if (attrsNode && attrsNode->getClass() == ClassContext && attrsNode->getTag() == 0) {
        CConstructed* attrs = castToConstructed(attrsNode);
        if (!attrs) fault(u"SignerInfo.signedAttrs");
        CSet copied;
        for (size_t i = 0; i < attrs->getCount(); ++i) {
            CSequence* attr = castToSequence(attrs->getItem(i));
            if (!attr) fault(u"SignedAttributes.Attribute");
            CObjectId* type = attr->getCount() > 0 ? castToObjectId(attr->getItem(0)) : nullptr;
            if (!type) fault(u"Attribute.attrType");
            const CAString oid = type->getValue();
            if (oid == OidMessageDigest) {
                CSet* values = attr->getCount() > 1 ? castToSet(attr->getItem(1)) : nullptr;
                if (!values) fault(u"Attribute.attrValues");
                if (values->getCount() > 0)
                    if (COctetString* digest = castToOctetString(values->getItem(0)))
                        *m_fields.messageDigest = digest->getValue();
            } else if (oid == OidSigningTime) {
                CSet* values = attr->getCount() > 1 ? castToSet(attr->getItem(1)) : nullptr;
                if (!values || values->getCount() == 0) fault(u"Attribute.attrValues RSA_signingTime");
                if (!*m_fields.signingTime) {
                    *m_fields.signingTime = static_cast<FILETIME*>(std::malloc(sizeof(FILETIME)));
                    if (!*m_fields.signingTime)
                        throw CCryptError(StepSigningTimeBuffer, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
                }
                const CDataBlob value = values->getItem(0)->getRawEncoding();
                DWORD size = sizeof(FILETIME);
                if (!CryptDecodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, szOID_RSA_signingTime,
                                       value.getData(), value.getSize(), 0, *m_fields.signingTime, &size))
                    throw CCryptError(StepSigningTimeDecode, static_cast<DWORD>(-1));
            }
            copied.addItem(*attr);
        }
        *m_fields.signedAttributes = copied.encode();
        ++next;
    }

    CNode* algorithm = signerInfo->getItem(next);
    if (!castToSequence(algorithm)) fault(u"отсутствует SignerInfo.signatureAlgorithm");
    CObjectId* signatureOid = firstOid(algorithm);
    if (!signatureOid) fault(u"отсутствует SignerInfo.signatureAlgorithm.algorithm");
    *m_fields.signatureAlgorithm = signatureOid->getValue();
    ++next;

    COctetString* signature = next < count ? castToOctetString(signerInfo->getItem(next)) : nullptr;
    if (!signature) fault(u"отсутствует SignerInfo.signature");
    *m_fields.signatureValue = signature->getValue();
}

int CTokenSignature::verify() {
    if (!m_dataHash || m_fields.signatureValue->getSize() == 0) return -1;
    if (m_dataHash->getSize() == 0)
        throw CCryptError::CCryptErrorText(0, CWString(u"Не были загружены исходные данные"), 0);
    if (m_fields.messageDigest->getSize() == 0)
        throw CCryptError::CCryptErrorText(0, CWString(u"Отсутствует 1.2.840.113549.1.9.4"), 0);
    if (*m_fields.messageDigest != *m_dataHash) return 1;

    const CAString& digestOid = *m_fields.digestAlgorithm;
    COidSet oids{CWString(digestOid, Vsk::Utils::CP_PROGRAM),
                 CWString(*m_fields.signatureAlgorithm, Vsk::Utils::CP_PROGRAM)};
    const CSPInfoArray providers = CSPsFromSupportedOIDs(oids, nullptr);
    const PCCERT_CONTEXT context = m_fields.signerCert->get_CertContext();
    if (!context || m_fields.signedAttributes->getSize() == 0) return -1;
    const CDataBlob publicKey = m_fields.signerCert->get_PublicKey();
    const CDataBlob keyParams = TokenKeyParamSet(context->pCertInfo->SubjectPublicKeyInfo);
    for (const auto& provider : providers) {
        if (!provider->isToken()) continue;
        Vsk::PKCS11::CTokenKeyPair pair(&provider->getToken());
        if (pair.isEmpty()) continue;
        CDataBlob digest;
        try {
            if (GetLogLevel() >= 4)
                LogAt(4, u"PKI::CTokenSignature::verify " + provider->getToken().getName() + u" " +
                             provider->getToken().getLibraryName());
            pair.setAlgsByAlgId(OIDToAlgId(digestOid));
            digest = pair.digest(*m_fields.signedAttributes, true);
        } catch (...) {
            continue;
        }
        try {
            pair.verifySign(digest, *m_fields.signatureValue, publicKey, keyParams);
            return 0;
        } catch (const CError& error) {
            const DWORD number = error.getErrorNumber();
            if (number == CkrSignatureInvalid || number == CkrSignatureLenRange) return 1;
        } catch (...) {
            throw CCryptError(Vsk::Utils::InternalError(__FILE__, __LINE__));
        }
    }
    return -1;
}

}  // namespace Vsk::PKI
