// The token part of the signed-data object: signs with a key on a PKCS#11 token and reads a message
// that CryptoAPI cannot read, writing and reading the CMS SignedData with the library's own DER nodes
// and letting the token digest, sign and verify.
#include "TokenSigned.h"

#include "TokenSignature.h"

#include "Pkcs7Signed.h"

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/OidNames.h>
#include <vsk/pki/ProviderChoice.h>
#include <vsk/pki/Signature.h>
#include <vsk/pki/SignedData.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>

namespace Vsk::PKI {

using namespace Vsk::ASN1;
using Vsk::InternalUtils::GetLogLevel;
using Vsk::InternalUtils::LogAt;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

constexpr int ClassContext = 0x80;
constexpr const char* OidSignedData = "1.2.840.113549.1.7.2";
constexpr const char* OidData = "1.2.840.113549.1.7.1";
constexpr const char* OidContentType = "1.2.840.113549.1.9.3";
constexpr const char* OidMessageDigest = "1.2.840.113549.1.9.4";
constexpr const char* OidSigningTime = "1.2.840.113549.1.9.5";

CNode decodedNode(const CDataBlob& der) {
    CNode node;
    node.decode(der);
    return node;
}

CSequence algorithmIdentifier(const CAString& oid) {
    CSequence algorithm;
    algorithm.addItem(CObjectId(oid));
    algorithm.addItem(CNull());
    return algorithm;
}

CSequence attribute(const char* oid, const CNode& value) {
    CSequence attr;
    attr.addItem(CObjectId(CAString(oid)));
    CSet values;
    values.addItem(value);
    attr.addItem(values);
    return attr;
}

// The serial number exactly as the certificate encodes it (CryptoAPI keeps the INTEGER's own
// two's-complement bytes, least significant first): a reader matches the signer by these bytes, so a
// negative serial stays negative and a leading zero byte stays where the certificate has it.
CInteger serialNumber(const CERT_INFO& info) {
    if (info.SerialNumber.cbData == 0) return CInteger(0);
    return CInteger(CDataBlob(info.SerialNumber.pbData, info.SerialNumber.cbData, true));
}

}  // namespace

CTokenSigned::CTokenSigned(CDataBlob* dataHash, CSignSettings* settings, std::vector<CSignature>* signatures,
                           DWORD* signerCount, DWORD* state)
    : m_dataHash(dataHash),
      m_certificates(nullptr),
      m_signerInfos(nullptr),
      m_settings(settings),
      m_signatures(signatures),
      m_signerCount(signerCount),
      m_state(state) {}

CTokenSigned::~CTokenSigned() {
    try {
        reset();
    } catch (...) {
        // Nothing is raised from a destructor.
    }
}

bool CTokenSigned::signStart(const CSignSettings& settings) {
    Vsk::PKCS11::CTokenKeyPair pair;
    if (const CKeyContainer* container = settings.get_KeyContainer()) {
        pair = container->get_TokenKeyPair();
        if (!pair.isEmpty()) {
            LoginTokenKeyPair(pair, settings.get_KeysetPassword(), container->get_KeysetPassword());
        }
    }
    if (pair.isEmpty()) {
        if (const CCertificate* signer = settings.get_SignerCert()) {
            CRememberedPassword* remembered = settings.get_KeysetPassword();
            pair = remembered ? signer->AcquireTokenPrivateKey(*remembered)
                              : signer->AcquireTokenPrivateKey(CPassword());
        }
    }
    if (pair.isEmpty()) return false;
    // The token digests with the algorithm the message declares, not a default of the key.
    const ALG_ID hashAlgId = OIDToAlgId(CAString(settings.get_HashAlgorithm(false), Vsk::Utils::CP_PROGRAM));
    if (hashAlgId != 0) pair.setAlgsByAlgId(hashAlgId);
    pair.setProgress(settings.get_CommonSettings().get_Progress());
    m_keyPair = pair;
    m_signedBlocks.clear();
    return true;
}

void CTokenSigned::clearSignBlock(const CDataBlob& block, CDataBlob* output, bool final) {
    *m_dataHash = m_keyPair.digest(block, final);
    if (!final) {
        if (output) output->clear();
        return;
    }
    CDataBlob signature = m_keyPair.sign(*m_dataHash);
    if (Vsk::PKCS11::CToken* token = m_keyPair.getToken()) token->logout();
    signature.reverse();
    if (output) *output = signature;
}

void CTokenSigned::cmsSignBlock(const CDataBlob& block, CDataBlob* output, bool final) {
    const bool attached = !m_settings->get_Detached();
    if (!final && attached && output)
        throw CError(CWString(u"CSignedData::SignBlock пока не умеет возвращать присоединенную подпись по "
                              u"частям, воспользуйтесь CSignedData::ExportAttached"),
                     static_cast<DWORD>(0));
    *m_dataHash = m_keyPair.digest(block, final);
    // Every block of an attached message is its content, not only the last one: the digest covers
    // them all.
    if (attached) m_signedBlocks.push_back(block.clone());
    if (!final) {
        if (output) output->clear();
        return;
    }
    CDataBlob message;
    cmsSign(&message, block, *m_dataHash, *m_settings);
    m_signedBlocks.clear();
    if (Vsk::PKCS11::CToken* token = m_keyPair.getToken()) token->logout();

    std::vector<CCertificate> certificates;
    if (const CCertificate* signer = m_settings->get_SignerCert()) certificates.push_back(*signer);
    CSignature signature(m_state);
    signature.createFromSignerInfo(0, *m_signerInfos->getItem(0), m_dataHash, certificates);
    m_signatures->clear();
    m_signatures->push_back(std::move(signature));
    *m_signerCount = 1;
    if (output) *output = message;
}

void CTokenSigned::cmsSign(CDataBlob* out, const CDataBlob& content, const CDataBlob& dataHash,
                           const CSignSettings& settings) {
    if (GetLogLevel() >= 4)
        LogAt(4, CWString(u"PKI::CTokenSigned::cmsSign ") + Vsk::Utils::ToWString(content.getSize()) + u" " +
                     Vsk::Utils::ToWString(dataHash.getSize()));
    const CCertificate* signer = settings.get_SignerCert();
    const PCCERT_CONTEXT context = signer ? signer->get_CertContext() : nullptr;
    if (!context) throw CError(CWString(u"Сертификат подписанта не задан!"), static_cast<DWORD>(0));
    const CERT_INFO& info = *context->pCertInfo;
    const CAString hashOid(settings.get_HashAlgorithm(false), Vsk::Utils::CP_PROGRAM);

    // The signed attributes: contentType, signingTime when asked for, messageDigest.
    std::vector<CSequence> attributes;
    attributes.push_back(attribute(OidContentType, CObjectId(CAString(OidData))));
    if (settings.get_IncludeDateTime())
        attributes.push_back(attribute(
            OidSigningTime, decodedNode(CSignedData::getSigningTimeBlob(settings.get_SigningTime()))));
    attributes.push_back(attribute(OidMessageDigest, COctetString(dataHash)));

    CSet toSign;
    CConstructed signedAttrs(0, ClassContext);
    for (const CSequence& attr : attributes) {
        toSign.addItem(attr);
        signedAttrs.addItem(attr);
    }
    const CDataBlob signature = m_keyPair.hashAndSign(toSign.encode(), true);

    CSequence signerInfo;
    signerInfo.addItem(CInteger(1));
    CSequence sid;
    sid.addItem(decodedNode(CDataBlob(info.Issuer.pbData, info.Issuer.cbData, true)));
    sid.addItem(serialNumber(info));
    signerInfo.addItem(sid);
    signerInfo.addItem(algorithmIdentifier(hashOid));
    signerInfo.addItem(signedAttrs);
    // The signature algorithm is the signer key's own algorithm with its parameters.
    CSequence signatureAlgorithm;
    signatureAlgorithm.addItem(CObjectId(CAString(info.SubjectPublicKeyInfo.Algorithm.pszObjId)));
    const CRYPT_OBJID_BLOB& params = info.SubjectPublicKeyInfo.Algorithm.Parameters;
    if (params.cbData != 0)
        signatureAlgorithm.addItem(decodedNode(CDataBlob(params.pbData, params.cbData, true)));
    else
        signatureAlgorithm.addItem(CNull());
    signerInfo.addItem(signatureAlgorithm);
    signerInfo.addItem(COctetString(signature));

    CSequence signedData;
    signedData.addItem(CInteger(1));
    CSet digestAlgorithms;
    digestAlgorithms.addItem(algorithmIdentifier(hashOid));
    signedData.addItem(digestAlgorithms);
    CSequence encap;
    encap.addItem(CObjectId(CAString(OidData)));
    if (!settings.get_Detached()) {
        CConstructed eContent(0, ClassContext);
        if (m_signedBlocks.size() > 1) {
            // Several blocks: a constructed OCTET STRING, one segment per block.
            CConstructed segments(4, 0);
            for (const CDataBlob& piece : m_signedBlocks) segments.addItem(COctetString(piece));
            eContent.addItem(segments);
        } else {
            eContent.addItem(COctetString(content));
        }
        encap.addItem(eContent);
    }
    signedData.addItem(encap);
    const bool withCertificate = settings.get_IncludeSignerCert();
    if (withCertificate) {
        CConstructed certificates(0, ClassContext);
        certificates.addItem(decodedNode(CDataBlob(context->pbCertEncoded, context->cbCertEncoded, true)));
        signedData.addItem(certificates);
    }
    CSet signerInfos;
    signerInfos.addItem(signerInfo);
    signedData.addItem(signerInfos);

    CConstructed wrapper(0, ClassContext);
    wrapper.addItem(signedData);
    m_contentInfo = CSequence();
    m_contentInfo.addItem(CObjectId(CAString(OidSignedData)));
    m_contentInfo.addItem(wrapper);

    // The node pointers refer to the message now held.
    CSequence* held = castToSequence(castToConstructed(m_contentInfo.getItem(1))->getItem(0));
    const size_t count = held->getCount();
    m_signerInfos = castToSet(held->getItem(count - 1));
    m_certificates = withCertificate ? castToConstructed(held->getItem(count - 2)) : nullptr;
    *out = m_contentInfo.encode();
}

void CTokenSigned::signHash(CDataBlob* out, const CDataBlob& hash) {
    CDataBlob signature = m_keyPair.sign(hash);
    signature.reverse();
    *out = signature;
}

void CTokenSigned::readParts(std::vector<CCertificate>& certificates) {
    if (m_certificates) {
        for (size_t i = 0; i < m_certificates->getCount(); ++i) {
            CNode* item = m_certificates->getItem(i);
            CSequence* sequence = castToSequence(item);
            if (sequence && sequence->getCount() == 3) {
                CCertificate certificate(true);
                certificate.LoadFromBlob(item->getRawEncoding());
                certificates.push_back(certificate);
            } else if (GetLogLevel() >= 1) {
                LogAt(1, CWString(u"PKI::CTokenSigned::importByToken Формат SignedData.certificates: ") +
                             Vsk::Utils::Base64EncNoCrlfW(item->getRawEncoding()));
            }
        }
    }
    if (m_signerInfos) {
        m_signatures->clear();
        *m_signerCount = static_cast<DWORD>(m_signerInfos->getCount());
        for (DWORD i = 0; i < *m_signerCount; ++i) {
            CSignature signature(m_state);
            signature.createFromSignerInfo(i, *m_signerInfos->getItem(i), m_dataHash, certificates);
            if (m_dataHash->getSize() == 0) *m_dataHash = signature.get_MessageDigest();
            m_signatures->push_back(std::move(signature));
        }
    }
}

void CTokenSigned::importByToken(const CDataBlob& block, CDataBlob* output, bool final, bool* detached) {
    if (output) output->clear();
    m_accumulated.appendBlob(block);
    if (!final) return;
    const CDataBlob message = m_accumulated;
    m_accumulated = CDataBlob();

    // The nodes of a message read before are replaced by this one's, even when this one fails.
    m_certificates = nullptr;
    m_signerInfos = nullptr;
    std::set<CAString> digestOids;
    std::vector<CDataBlob> contents;
    CConstructed* certificatesNode = nullptr;
    CSet* signerInfos = nullptr;
    const int parsed = parsePKCS7Signed(message, m_contentInfo, &digestOids, &contents, &certificatesNode,
                                        nullptr, &signerInfos);
    m_certificates = certificatesNode;
    m_signerInfos = signerInfos;

    std::vector<CCertificate> certificates;
    // The parts of the message are decoded as they are walked: a damaged one is a fault of the
    // message, like those the reader found above, not a bare codec error.
    try {
        readParts(certificates);
    } catch (const CError& error) {
        if (error.getErrorNumber() != 0) throw;
        RaiseTokenSignedFault(error.getMessage());
    }
    if (detached && parsed != Pkcs7NoSignedData) *detached = contents.empty();

    // The token that digests: the first token among the providers of the message's digests.
    CError collected;
    COidSet oids;
    for (const CAString& oid : digestOids) oids.insert(CWString(oid, Vsk::Utils::CP_PROGRAM));
    for (const auto& provider : CSPsFromSupportedOIDs(oids, &collected)) {
        if (provider->isToken()) {
            m_keyPair = Vsk::PKCS11::CTokenKeyPair(&provider->getToken());
            break;
        }
    }
    if (m_keyPair.isEmpty()) {
        // The catalogue's own error, with its number and code, told why no provider was found.
        CError error(collected);
        error.prependText(CWString(u"Отсутствует подходящий криптопровайдер"));
        throw error;
    }
    if (!digestOids.empty()) m_keyPair.setAlgsByAlgId(OIDToAlgId(*digestOids.begin()));
    for (size_t i = 0; i < contents.size(); ++i) {
        const bool last = i + 1 == contents.size();
        const CDataBlob digest = m_keyPair.digest(contents[i], last);
        if (last) *m_dataHash = digest;
        if (output) output->appendBlob(contents[i]);
    }
}

void CTokenSigned::digestClearData(const CDataBlob& block, bool final) {
    *m_dataHash = m_keyPair.digest(block, final);
}

void CTokenSigned::reset() {
    if (!m_keyPair.isEmpty()) {
        if (Vsk::PKCS11::CToken* token = m_keyPair.getToken()) token->logout();
    }
    m_keyPair = Vsk::PKCS11::CTokenKeyPair();
    m_certificates = nullptr;
    m_signerInfos = nullptr;
    m_contentInfo = CSequence();
    m_accumulated.clear();
    m_signedBlocks.clear();
}

}  // namespace Vsk::PKI
