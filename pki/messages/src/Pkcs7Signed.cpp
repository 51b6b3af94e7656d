#include "Pkcs7Signed.h"

#include <vsk/pki/CryptError.h>
#include <vsk/platform/cert.h>
#include <vsk/utils/log.h>

namespace Vsk::PKI {

using namespace Vsk::ASN1;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

constexpr DWORD StepLoadSignature = 101203;
constexpr DWORD StepEncodeSigned = 101121;
constexpr int ClassContext = 0x80;

// A structural fault of the message, raised by the reader's one outer handler.
struct CFormatFault {
    const char16_t* text;
};

[[noreturn]] void fault(const char16_t* text) {
    throw CFormatFault{text};
}

CCryptError formatError(const CWString& inner) {
    CCryptError error = CCryptError::CCryptErrorTextW(
        StepLoadSignature, (u"Данные не являются подписью в формате PKCS#7 (" + inner + u").").c_str(),
        CRYPT_E_ASN1_BADTAG);
    SetLastError(CRYPT_E_ASN1_BADTAG);
    return error;
}

bool isContext(const CNode* node, int tag) {
    return node && node->getClass() == ClassContext && node->getTag() == tag;
}

// The OCTET STRINGs of a constructed eContent, one blob per segment, in order.
void collectSegments(CConstructed& node, std::vector<CDataBlob>& out, unsigned depth) {
    // A segmented OCTET STRING nests one level per constructed segment; more than the codec's own
    // bound cannot come from a well-formed message.
    if (depth > MaxNestingDepth) fault(u"EncapsulatedContentInfo.eContent");
    for (size_t i = 0; i < node.getCount(); ++i) {
        CNode* item = node.getItem(i);
        if (COctetString* octets = castToOctetString(item)) {
            if (CConstructed* inner = castToConstructed(item))
                collectSegments(*inner, out, depth + 1);
            else
                out.push_back(octets->getValue());
        } else if (CConstructed* inner = castToConstructed(item)) {
            collectSegments(*inner, out, depth + 1);
        }
    }
}

int parse(const CDataBlob& bytes, CSequence& contentInfo, std::set<CAString>* digestOids,
          std::vector<CDataBlob>* contents, CConstructed** certificates, CConstructed** crls,
          CSet** signerInfos) {
    contentInfo.decode(bytes, true, false);
    if (contentInfo.getCount() < 2) return Pkcs7NoSignedData;

    CObjectId* type = castToObjectId(contentInfo.getItem(0));
    if (!type) fault(u"ContentInfo.contentType");
    if (type->getValue() != CAString("1.2.840.113549.1.7.2")) fault(u"Это не PKCS_7_SIGNED");

    CConstructed* explicitContent = castToConstructed(contentInfo.getItem(1));
    CSequence* signedData = explicitContent && explicitContent->getCount() > 0
                                ? castToSequence(explicitContent->getItem(0))
                                : nullptr;
    if (!signedData) fault(u"отсутствует SignedData");
    if (signedData->getCount() < 3) return Pkcs7NoSignedData;

    CInteger* version = castToInteger(signedData->getItem(0));
    if (!version || version->isIndefinite()) fault(u"SignedData.version");
    if (version->getContents().getSize() > 5 ||
        (version->getContents().getSize() == 5 && version->getContents().getAt(0) != 0))
        fault(u"SignedData.version");

    CSet* digests = castToSet(signedData->getItem(1));
    if (!digests) fault(u"SignedData.digestAlgorithms");
    if (digests->isIndefinite())
        throw CCryptError::CCryptErrorTextA(StepEncodeSigned, "Кодирование подписанного сообщения",
                                            Vsk::Utils::NoErrorCode);
    if (digestOids) {
        for (size_t i = 0; i < digests->getCount(); ++i) {
            CConstructed* algorithm = castToConstructed(digests->getItem(i));
            CObjectId* oid =
                algorithm && algorithm->getCount() > 0 ? castToObjectId(algorithm->getItem(0)) : nullptr;
            if (!oid) fault(u"AlgorithmIdentifier.algorithm");
            digestOids->insert(oid->getValue());
        }
    }

    CSequence* encap = castToSequence(signedData->getItem(2));
    if (!encap) fault(u"SignedData.encapContentInfo");
    CObjectId* encapType = encap->getCount() > 0 ? castToObjectId(encap->getItem(0)) : nullptr;
    if (!encapType) fault(u"отсутствует EncapsulatedContentInfo.eContentType");
    const CAString encapOid = encapType->getValue();
    if (encapOid != CAString("1.2.840.113549.1.7.1") && encapOid != CAString("1.2.840.113549.1.7.5"))
        fault(u"не szOID_PKCS_7_DATA и не szOID_PKCS_7_DIGESTED");

    if (contents && encap->getCount() > 1) {
        CNode* eContent = encap->getItem(1);
        if (!isContext(eContent, 0))
            Vsk::InternalUtils::LogAt(
                1,
                u"PKI::parsePKCS7Signed wrong EncapsulatedContentInfo.eContent format in "
                u"PKCS_7_SIGNED");
        if (CConstructed* wrapper = castToConstructed(eContent)) {
            collectSegments(*wrapper, *contents, 0);
        } else {
            COctetString* octets = castToOctetString(eContent);
            if (!octets) fault(u"EncapsulatedContentInfo.eContent");
            contents->push_back(octets->getValue());
        }
        if (contents->empty()) contents->push_back(CDataBlob());
    }

    size_t next = 3;
    if (next >= signedData->getCount()) return Pkcs7EndsAfterContent;
    CConstructed* item = castToConstructed(signedData->getItem(next));
    if (!item) fault(u"SignedData.");
    if (isContext(item, 0)) {
        if (certificates) *certificates = item;
        if (++next >= signedData->getCount()) return Pkcs7EndsAfterCertificates;
        item = castToConstructed(signedData->getItem(next));
        if (!item) fault(u"SignedData.");
    }
    if (isContext(item, 1)) {
        if (crls) *crls = item;
        if (++next >= signedData->getCount()) return Pkcs7EndsAfterCrls;
        item = castToConstructed(signedData->getItem(next));
        if (!item) fault(u"SignedData.");
    }
    if (signerInfos) {
        CSet* set = castToSet(item);
        if (!set) fault(u"отсутствуют подписанты");
        *signerInfos = set;
    }
    return Pkcs7Complete;
}

}  // namespace

int parsePKCS7Signed(const CDataBlob& bytes, CSequence& contentInfo, std::set<CAString>* digestOids,
                     std::vector<CDataBlob>* contents, CConstructed** certificates, CConstructed** crls,
                     CSet** signerInfos) {
    if (Vsk::InternalUtils::GetLogLevel() >= 4)
        Vsk::InternalUtils::LogAt(4, u"PKI::parsePKCS7Signed size=" +
                                         Vsk::Utils::ToWString(static_cast<uint64_t>(bytes.getSize())));
    if (digestOids) digestOids->clear();
    if (contents) contents->clear();
    if (certificates) *certificates = nullptr;
    if (crls) *crls = nullptr;
    if (signerInfos) *signerInfos = nullptr;
    try {
        return parse(bytes, contentInfo, digestOids, contents, certificates, crls, signerInfos);
    } catch (const CFormatFault& f) {
        throw formatError(CWString(f.text));
    } catch (const CError& e) {
        throw formatError(e.getText());
    }
}

}  // namespace Vsk::PKI
