#include "ExtSigned.h"

#include "Pkcs7Signed.h"

#include <vsk/pki/Attributes.h>
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/Hash.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/OidNames.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/pki/ProviderChoiceCert.h>
#include <vsk/pki/SignedData.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <cstring>
#include <string>

namespace Vsk::PKI {

using namespace Vsk::ASN1;
using Vsk::InternalUtils::CLogScope;
using Vsk::InternalUtils::GetLogLevel;
using Vsk::InternalUtils::LogAt;
using Vsk::Utils::CArray;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

constexpr DWORD StepNoSignerCert = 101602;
constexpr DWORD StepEncodeSigned = 101110;
constexpr const char* OidMessageDigest = "1.2.840.113549.1.9.4";
constexpr const char* OidData = "1.2.840.113549.1.7.1";
constexpr int ClassContext = 0x80;
constexpr int TagOctetString = 4;

// A structural fault of the message being rewritten: the text goes into "Неверный PKCS_7_SIGNED: ".
struct CFormatFault {
    CWString text;
};

CWString dec(uint64_t value) {
    return Vsk::Utils::ToWString(value);
}

CWString hexText(const CDataBlob& bytes) {
    return CWString(bytes.toHex(), Vsk::Utils::CP_PROGRAM);
}

// A malformed SignerInfo part in the log: it may hold the message digest, so below level 5 only its
// size and digest are written, its DER as Base64 at level 5.
void logNode(const char16_t* what, const CNode* node) {
    if (GetLogLevel() < 1 || !node) return;
    const CDataBlob der = node->encode();
    LogAt(1, CWString(what) + SizeAndDigestText(der));
    if (GetLogLevel() >= 5) LogAt(5, CWString(what) + Vsk::Utils::Base64EncNoCrlfW(der));
}

// The hash as the caller gave it, or the bytes of its hexadecimal or Base64 text when its length is
// that of such a text for a digest of `size` bytes.
CDataBlob decodeHashText(CDataBlob hash, DWORD size) {
    if (hash.getSize() == 2ull * size && size != 0) {
        // fromHex reads a terminated text: a blob with a NUL inside is not hexadecimal anyway.
        const std::string text(reinterpret_cast<const char*>(hash.getData()), hash.getSize());
        if (text.find('\0') == std::string::npos) {
            try {
                CDataBlob decoded;
                decoded.fromHex(text.c_str());
                hash = decoded;
                LogAt(3, u"PKI::ReplaceDataHash Хэш принят в x16 кодировке.");
            } catch (const CError&) {
                // Not hexadecimal text: the raw bytes are taken as they are.
            }
        }
    }
    if (size != 0 && hash.getSize() == 4ull * ((size + 2) / 3)) {
        try {
            hash = Vsk::Utils::Base64Dec(hash);
            LogAt(3, u"PKI::ReplaceDataHash Хэш принят в base64 кодировке.");
        } catch (const CError&) {
            // Not Base64 text: the raw bytes stay.
        }
    }
    return hash;
}

// The signer's key as SignStart obtains it: the settings' key container, else the certificate's
// linked key, else the certificate's key on a token (with the settings' password as its PIN).
struct CSignerKey {
    CHoldCSP provider;
    DWORD keySpec = 0;
    Vsk::PKCS11::CTokenKeyPair token;
};

CSignerKey acquireSignerKey(const CSignSettings& settings, const CCertificate& cert) {
    const bool silent = settings.get_CommonSettings().get_Silent();
    CSignerKey key;
    try {
        if (const CKeyContainer* container = settings.get_KeyContainer()) {
            container->get_CommonSettings().put_Silent(silent);
            key.keySpec = container->get_KeySpec();
            key.provider = container->get_hCryptProv();
        } else {
            key.provider = cert.AcquirePrivateKey(&key.keySpec, silent ? CRYPT_ACQUIRE_SILENT_FLAG : 0,
                                                  settings.get_AutoBindWithKeyContainer());
        }
        return key;
    } catch (const CError& first) {
        try {
            const CRememberedPassword* password = settings.get_KeysetPassword();
            key.token = cert.AcquireTokenPrivateKey(password ? static_cast<const CPassword&>(*password)
                                                             : CPassword());
        } catch (const CError&) {
            throw first;
        }
        if (key.token.isEmpty()) throw first;
        return key;
    }
}

// The signature of `data` with the signer's key, in the order a SignerInfo keeps it.
CDataBlob signAttributes(const CSignSettings& settings, const CCertificate& cert, const CDataBlob& data) {
    CSignerKey key = acquireSignerKey(settings, cert);
    // A token signs in the order a SignerInfo keeps, and its result goes in as it is.
    if (!key.token.isEmpty()) return key.token.hashAndSign(data, true);
    settings.ApplyKeysetPassword(key.provider.get_hCryptProv(), key.keySpec);
    const ALG_ID algId = OIDToAlgId(CAString(settings.get_HashAlgorithm(false), Vsk::Utils::CP_PROGRAM));
    HCRYPTHASH hash = 0;
    if (!CreateHash(key.provider.get_hCryptProv(), algId, 0, 0, &hash))
        throw CError("Создание хэша", Vsk::Utils::LastErrorCode);
    CDataBlob signature;
    DWORD error = 0;
    if (!HashData(hash, data.getData(), data.getSize(), 0)) {
        error = GetLastError();
        DestroyHash(hash);
        throw CError("Хэширование данных", error);
    }
    signature = SignHash(hash, key.keySpec, &error);
    DestroyHash(hash);
    if (signature.getSize() == 0) throw CError("Подпись хэша", error ? error : DWORD(NTE_BAD_SIGNATURE));
    // CryptoAPI gives the signature least significant byte first; CMS keeps the reverse.
    signature.reverse();
    return signature;
}

// The attributes of a signed-attributes node as one SET: the bytes the signature covers.
CDataBlob encodeAsSet(const CConstructed& attributes) {
    CSet set;
    for (size_t i = 0; i < attributes.getCount(); ++i) set.addItem(*attributes.getItem(i));
    return set.encode();
}

// A message made over empty content and then given the real data's hash would claim that the empty
// content has that hash: its empty eContent is dropped so that it reads as the detached message it is.
void dropEmptyContent(CSequence& contentInfo) {
    CConstructed* wrapper = castToConstructed(contentInfo.getItem(1));
    CSequence* signedData = wrapper ? castToSequence(wrapper->getItem(0)) : nullptr;
    CSequence* encap = signedData ? castToSequence(signedData->getItem(2)) : nullptr;
    if (!encap || encap->getCount() < 2) return;
    CSequence probe;
    std::vector<CDataBlob> pieces;
    parsePKCS7Signed(contentInfo.encode(), probe, nullptr, &pieces, nullptr, nullptr, nullptr);
    for (size_t i = 0; i < pieces.size(); ++i)
        if (pieces[i].getSize() != 0) return;
    CSequence detached;
    detached.addItem(*encap->getItem(0));
    signedData->setItem(2, detached);
}

CDataBlob& replaceDataHash(CDataBlob& out, const CDataBlob& message, const CSignSettings& settings,
                           CDataBlob hash) {
    const CCertificate* cert = settings.get_SignerCert();
    if (!cert) throw CError("Не задан сертификат подписанта.", E_INVALIDARG);

    CSequence contentInfo;
    CSet* signerInfos = getSignerInfos(message, contentInfo);
    CObjectId* digestOid = nullptr;
    DWORD index = 0;
    CSequence* signerInfo = nullptr;
    CConstructed* attributes =
        getAuthenticatedAttributes(signerInfos, *cert, &digestOid, &index, &signerInfo);
    if (!attributes || !signerInfo || !digestOid) throw Vsk::Utils::InternalError(__FILE__, __LINE__);

    bool found = false;
    for (size_t i = 0; i < attributes->getCount(); ++i) {
        CSequence* attribute = castToSequence(attributes->getItem(i));
        CObjectId* type =
            attribute && attribute->getCount() > 0 ? castToObjectId(attribute->getItem(0)) : nullptr;
        if (!type) throw CFormatFault{u"SignedAttributes.Attribute " + dec(i)};
        if (type->getValue() != CAString(OidMessageDigest)) continue;
        CSet* values = attribute->getCount() > 1 ? castToSet(attribute->getItem(1)) : nullptr;
        COctetString* digest =
            values && values->getCount() > 0 ? castToOctetString(values->getItem(0)) : nullptr;
        if (!digest || castToConstructed(digest)) throw Vsk::Utils::InternalError(__FILE__, __LINE__);
        const DWORD size = digest->getValue().getSize();
        hash = decodeHashText(hash, size);
        if (hash.getSize() != size)
            throw CError(u"Размер хэша данных по " + digestOid->getName() + u" должен быть " + dec(size) +
                             u" байт, а не " + dec(hash.getSize()) + u" байт.",
                         E_INVALIDARG);
        values->setItem(0, COctetString(hash));
        found = true;
    }
    if (!found) {
        CSequence attribute;
        attribute.addItem(CObjectId(CAString(OidMessageDigest)));
        CSet values;
        values.addItem(COctetString(hash));
        attribute.addItem(values);
        attributes->addItem(attribute);
    }

    const CDataBlob signature = signAttributes(settings, *cert, encodeAsSet(*attributes));
    if (signerInfo->getCount() < 6 || signerInfo->getItem(5)->getTag() != TagOctetString ||
        signerInfo->getItem(5)->getClass() != 0)
        throw CFormatFault{u"SignerInfo.signature"};
    signerInfo->setItem(5, COctetString(signature));

    dropEmptyContent(contentInfo);
    out = contentInfo.encode();
    return out;
}

}  // namespace

// ---- CExtSigned ---------------------------------------------------------------------------------------

CExtSigned::CExtSigned(CHash* hash, CSignSettings* settings, HCRYPTMSG* encodingMsg, CDataBlob* output,
                       DWORD* outputCount)
    : m_pHash(hash),
      m_pSettings(settings),
      m_phEncodingMsg(encodingMsg),
      m_pOutput(output),
      m_pOutputCount(outputCount) {}

void CExtSigned::reset() {
    if (m_pHash) m_pHash->clear();
}

void CExtSigned::hsmOptimSignStart(const CSignSettings& settings) {
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::CExtSigned::hsmOptimSignStart", settings.getText(), this);
    const CCertificate* cert = settings.get_SignerCert();
    if (!cert || !cert->get_CertContext()) throw CCryptError(StepNoSignerCert, Vsk::Utils::NoErrorCode);
    const DWORD type = cert->get_ProviderType();
    if (type != PROV_GOST_2001_DH && type != PROV_RSA_FULL) return;
    if (!CSPInfo::isHSM(cert->get_ProviderName())) return;

    const ALG_ID algId = OIDToAlgId(CAString(settings.get_HashAlgorithm(false), Vsk::Utils::CP_PROGRAM));
    const CSPInfoArray providers = CSPsFromCertificate(cert->get_CertContext(), nullptr);
    for (size_t i = 0; i < providers.getCount(); ++i) {
        CSPInfo* provider = providers[i].get();
        if (!provider || CSPInfo::isHSM(provider->m_name)) continue;
        try {
            m_pHash->create(algId, provider);
        } catch (const CError& e) {
            if (GetLogLevel() >= 4) LogAt(4, u"PKI::CExtSigned::hsmOptimSignStart " + e.getText());
            m_pHash->clear();
            continue;
        }
        if (GetLogLevel() >= 4)
            LogAt(4, u"PKI::CExtSigned::hsmOptimSignStart Смена криптопровайдера для хэширования на " +
                         dec(provider->m_type) + u" " + provider->m_name);
        break;
    }
}

bool CExtSigned::hsmOptimSignBlock(const CDataBlob& block, CDataBlob& output, bool final) {
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::CExtSigned::hsmOptimSignBlock",
                    u"size=" + dec(block.getSize()) + u", final=" + (final ? u"true" : u"false"), this);
    if (!m_pHash->getHoldCSP().isAcquired()) return false;
    m_pHash->addData(block);
    if (final) return cmsSignHash(m_pHash->value(), output);
    output.clear();
    return true;
}

bool CExtSigned::cmsSignHash(const CDataBlob& hash, CDataBlob& output) {
    CLogScope scope;
    if (scope.getLevel() >= 4) scope.enter("Vsk::PKI::CExtSigned::cmsSignHash", CWString(), this);
    const HCRYPTMSG message = *m_phEncodingMsg;
    const BOOL updated = CryptMsgUpdate(message, nullptr, 0, TRUE);
    const DWORD error = updated ? 0 : GetLastError();
    CryptMsgClose(message);
    *m_phEncodingMsg = nullptr;
    if (updated) {
        const CDataBlob signedTemplate = m_pOutput->getBlock(0, *m_pOutputCount);
        output = ReplaceDataHash(output, signedTemplate, *m_pSettings, hash);
        LogAt(3, u"PKI::CExtSigned::cmsSignHash Hash signed Ok");
        return true;
    }
    if (isCancelledError(error) || isPinError(error)) throw CCryptError(CError(error));
    if (GetLogLevel() >= 1)
        LogAt(1, u"PKI::CExtSigned::cmsSignHash CryptMsgUpdate(" + dec(reinterpret_cast<uintptr_t>(message)) +
                     u") " + Vsk::Utils::GetSystemErrorText(error));
    SetLastError(error);
    return false;
}

// ---- The DER functions --------------------------------------------------------------------------------

CDataBlob& ReplaceDataHash(CDataBlob& out, const CDataBlob& message, const CSignSettings& settings,
                           CDataBlob hash) {
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::ReplaceDataHash", u"size=" + dec(message.getSize()), nullptr);
    try {
        return replaceDataHash(out, message, settings, hash);
    } catch (const CFormatFault& f) {
        throw CCryptError::CCryptErrorTextW(0, (u"Неверный PKCS_7_SIGNED: " + f.text).c_str(),
                                            Vsk::Utils::NoErrorCode);
    } catch (const CError& e) {
        CCryptError wrapped(e);
        wrapped.set(StepEncodeSigned);
        throw wrapped;
    }
}

CSet* getSignerInfos(const CDataBlob& message, CSequence& contentInfo) {
    CSet* signerInfos = nullptr;
    const int result =
        parsePKCS7Signed(message, contentInfo, nullptr, nullptr, nullptr, nullptr, &signerInfos);
    if (!signerInfos)
        throw CError(result == 0 ? "отсутствуют подписанты" : "подпись должна быть целиком",
                     Vsk::Utils::NoErrorCode);
    return signerInfos;
}

CConstructed* getAuthenticatedAttributes(CSet* signerInfos, const CCertificate& cert, CObjectId** digestOid,
                                         DWORD* index, CSequence** signerInfo) {
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::getAuthenticatedAttributes", u"serialNumb: " + cert.get_SerialNumber(),
                    nullptr);
    if (!signerInfos)
        throw CCryptError::CCryptErrorTextW(0, u"Отсутствуют подписанты", Vsk::Utils::NoErrorCode);
    auto badSigner = [](size_t i) {
        return CCryptError::CCryptErrorTextW(0, (u"Неверная подпись " + dec(i)).c_str(),
                                             Vsk::Utils::NoErrorCode);
    };
    CSequence* taken = nullptr;
    size_t takenIndex = 0;
    for (size_t i = 0; i < signerInfos->getCount(); ++i) {
        CNode* item = signerInfos->getItem(i);
        CSequence* candidate = castToSequence(item);
        if (!candidate || candidate->getCount() < 4) {
            logNode(u"PKI::getAuthenticatedAttributes signerInfo=", item);
            throw badSigner(i);
        }
        if (isCorrespond(candidate, cert)) {
            taken = candidate;
            takenIndex = i;
            break;
        }
    }
    if (!taken) return nullptr;
    if (index) *index = static_cast<DWORD>(takenIndex);
    if (signerInfo) *signerInfo = taken;

    CNode* algorithmNode = taken->getItem(2);
    CSequence* algorithm = castToSequence(algorithmNode);
    if (!algorithm || algorithm->getCount() == 0) {
        logNode(u"PKI::getAuthenticatedAttributes digestAlgorithm=", algorithmNode);
        throw CError("Не верный формат CMS Signed-data: DigestAlgorithmIdentifier", E_INVALIDARG);
    }
    CObjectId* oid = castToObjectId(algorithm->getItem(0));
    if (!oid) {
        logNode(u"PKI::getAuthenticatedAttributes digestAlgorithm=", algorithmNode);
        throw CError("Не верный формат CMS Signed-data: DigestAlgorithmIdentifier.algorithm", E_INVALIDARG);
    }
    if (digestOid) *digestOid = oid;

    CNode* attributesNode = taken->getItem(3);
    CConstructed* attributes = castToConstructed(attributesNode);
    // Only the [0] signed attributes: a SignerInfo without them has its signature algorithm here.
    if (!attributes || attributesNode->getClass() != ClassContext || attributesNode->getTag() != 0) {
        logNode(u"PKI::getAuthenticatedAttributes signedAttrs=", attributesNode);
        throw badSigner(takenIndex);
    }
    return attributes;
}

bool isCorrespond(CNode* signerInfoNode, const CCertificate& cert) {
    CConstructed* signerInfo = castToConstructed(signerInfoNode);
    CSequence* sid =
        signerInfo && signerInfo->getCount() > 1 ? castToSequence(signerInfo->getItem(1)) : nullptr;
    // A subjectKeyIdentifier sid ([0]) or a malformed one names no certificate by issuer and serial.
    if (!sid || sid->getCount() < 2 || !castToInteger(sid->getItem(1))) return false;
    CDataBlob signerSerial = sid->getItem(1)->getContents().clone();
    signerSerial.reverse();
    const CDataBlob certSerial = cert.get_SerialNumberBlob();
    if (signerSerial != certSerial) {
        if (GetLogLevel() >= 4)
            LogAt(4, u"PKI::isCorrespond SerialNumber: " + hexText(certSerial) + u" != " +
                         hexText(signerSerial));
        return false;
    }
    const CDataBlob signerIssuer = sid->getItem(0)->getRawEncoding();
    CDataBlob certIssuer;
    if (Vsk::Utils::CRefPtr<CAttributes> issuer = cert.get_Issuer()) certIssuer = issuer->toX501Name(false);
    if (signerIssuer != certIssuer) {
        if (GetLogLevel() >= 4)
            LogAt(4, u"PKI::isCorrespond Issuer: " + hexText(certIssuer) + u" != " + hexText(signerIssuer));
        return false;
    }
    return true;
}

DWORD verifySignedAttributes(const CDataBlob& message, const CCertificate& cert) {
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::verifySignedAttributes", u"size=" + dec(message.getSize()), nullptr);
    CSequence contentInfo;
    CSet* signerInfos = getSignerInfos(message, contentInfo);
    CSequence* signerInfo = nullptr;
    CConstructed* attributes = getAuthenticatedAttributes(signerInfos, cert, nullptr, nullptr, &signerInfo);
    if (!attributes || !signerInfo)
        throw CError(u"Отсутствует подпись сертификатом: " + cert.getText(), E_INVALIDARG);
    const CDataBlob data = encodeAsSet(*attributes);
    COctetString* value = signerInfo->getCount() > 5 ? castToOctetString(signerInfo->getItem(5)) : nullptr;
    if (!value || castToConstructed(value))
        throw CError("Не верный формат CMS Signed-data: отсутствует SignatureValue.", E_INVALIDARG);
    CDataBlob signature = value->getValue().clone();
    signature.reverse();
    return CSignedData::VerifyClearSignature(data, signature, cert, true);
}

}  // namespace Vsk::PKI
