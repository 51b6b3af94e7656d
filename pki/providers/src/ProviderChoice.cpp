// Choosing providers and algorithms from the catalogue.
#include <vsk/pki/ProviderChoice.h>

#include <vsk/pki/CryptError.h>
#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/utils/global.h>
#include <vsk/utils/logScope.h>

#include <cstring>

#include "CatalogueState.h"

using Vsk::InternalUtils::CCommonInfoLock;
using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CAString;
using Vsk::Utils::CError;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace Vsk::PKI {

namespace {

using Catalogue::State;
using Catalogue::Wide;

// Signature OIDs that a provider offers through their hash and public-key algorithms.
const CSignatureAlgorithm ReplacedSignatures[] = {
    {"1.2.643.2.2.3", "1.2.643.2.2.9", "1.2.643.2.2.19"},
    {"1.2.643.7.1.1.3.2", "1.2.643.7.1.1.2.2", "1.2.643.7.1.1.1.1"},
    {"1.2.643.7.1.1.3.3", "1.2.643.7.1.1.2.3", "1.2.643.7.1.1.1.2"},
    {"1.2.840.113549.1.1.5", "1.3.14.3.2.26", "1.2.840.113549.1.1.1"},
};

CWString join(const COidSet& texts, const WCHAR* separator) {
    CWString joined;
    for (const CWString& text : texts) {
        if (joined.getLength() != 0) joined += separator;
        joined += text;
    }
    return joined;
}

CAlgorithmArray toArray(const CAlgorithmSet& algorithms) {
    CAlgorithmArray result;
    for (const CRefPtr<CAlgorithm>& algorithm : algorithms) result.add(algorithm);
    return result;
}

}  // namespace

CSPInfoArray CSPsFromSupportedAIDs(const CAlgIdSet& algIds, CError* error) {
    InitCspAlgInfo(error);
    CSPInfoArray result;
    CCommonInfoLock lock;
    for (const CRefPtr<CSPInfo>& provider : State().m_providers) {
        CAlgIdSet missing = algIds;
        for (const CRefPtr<CAlgorithm>& algorithm : provider->m_algorithms) missing.erase(algorithm->m_aid);
        if (missing.empty()) result.add(provider);
    }
    return result;
}

CSPInfoArray GetAllCSPInfo(CError* error) {
    return CSPsFromSupportedAIDs({}, error);
}

CSPInfoArray GetGostCSPInfo(CError* error) {
    CSPInfoArray result;
    for (const CRefPtr<CSPInfo>& provider : GetAllCSPInfo(error))
        if (provider->hasGostAlgorithm()) result.add(provider);
    return result;
}

CSPInfoArray CSPsFromSupportedOIDs(COidSet oids, CError* error) {
    for (const CSignatureAlgorithm& row : ReplacedSignatures) {
        if (oids.erase(Wide(row.signatureOid)) != 0) {
            oids.insert(Wide(row.hashOid));
            oids.insert(Wide(row.publicKeyOid));
        }
    }
    const char* function = "Vsk::PKI::CSPsFromSupportedOIDs";
    CLogScope scope;
    if (Catalogue::LogEnabled(4)) scope.enter(function, join(oids, u", "));
    InitCspAlgInfo(error);

    CSPInfoArray result;
    {
        CCommonInfoLock lock;
        for (const CRefPtr<CSPInfo>& provider : State().m_providers) {
            COidSet missing = oids;
            CWString offered;
            for (const CRefPtr<CAlgorithm>& algorithm : provider->m_algorithms) {
                const CWString oid = Wide(algorithm->m_oid);
                missing.erase(oid);
                if (offered.getLength() != 0) offered += u", ";
                offered += oid;
            }
            const bool matches = missing.empty();
            if (matches) result.add(provider);
            if (Catalogue::LogEnabled(5))
                Catalogue::LogLine(
                    5, function,
                    CWString(matches ? u"yes - " : u"no - ") + provider->toString() + u": " + offered);
        }
    }
    if (scope.isEntered() && Catalogue::LogEnabled(3)) {
        CWString names;
        for (const CRefPtr<CSPInfo>& provider : result) {
            if (names.getLength() != 0) names += u", ";
            names += u"\"" + provider->m_name + u"\"";
        }
        scope.m_result = names;
    }
    return result;
}

COidSet CertificateAlgorithmOIDs(const CAString& publicKeyOid, const CAString& signatureOid) {
    COidSet oids;
    if (publicKeyOid.getLength() != 0) oids.insert(Wide(publicKeyOid));
    if (signatureOid.getLength() != 0) {
        if (const CSignatureAlgorithm* row = FindSignatureAlgorithm(signatureOid)) {
            oids.insert(Wide(row->hashOid));
            oids.insert(Wide(row->publicKeyOid));
        } else {
            oids.insert(Wide(signatureOid));
        }
    }
    return oids;
}

bool CSPSupportAIDs(HCRYPTPROV hProv, CAlgIdSet algIds, bool logAlgorithms) {
    CLogScope scope;
    if (Catalogue::LogEnabled(4))
        scope.enter("Vsk::PKI::CSPSupportAIDs", ToWString(static_cast<uint64_t>(hProv), 16));
    algIds.erase(0);
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        PROV_ENUMALGS record{};
        DWORD length = sizeof record;
        if (!GetProvParam(hProv, PP_ENUMALGS, reinterpret_cast<BYTE*>(&record), &length, flags)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS) {
                SetLastError(0);
                return false;
            }
            throw CError("CryptGetProvParam", Vsk::Utils::LastErrorCode);
        }
        flags = CRYPT_NEXT;
        if (logAlgorithms && Catalogue::LogEnabled(4)) {
            const size_t nameLength = strnlen(record.szName, sizeof record.szName);
            Catalogue::LogPlain(4, u"algorithm: id=0x" + ToWString(record.aiAlgid, 16) + u", KeyBitLength=" +
                                       ToWString(record.dwBitLen) + u", name=" +
                                       CWString(record.szName, nameLength, Vsk::Utils::CP_PROGRAM));
        }
        if (!algIds.empty() && algIds.erase(record.aiAlgid) != 0 && algIds.empty()) return true;
    }
}

CHoldCSP CSPFromSupportedAIDs(const CAlgIdSet& algIds, DWORD flags, CRefPtr<CSPInfo>* chosen) {
    CLogScope scope;
    if (Catalogue::LogEnabled(4)) scope.enter("Vsk::PKI::CSPFromSupportedAIDs");
    if (chosen) chosen->reset();
    {
        CHoldCSP defaultRsa;
        if (defaultRsa.acquire(nullptr, nullptr, PROV_RSA_FULL, flags) &&
            CSPSupportAIDs(defaultRsa.get_hCryptProv(), algIds, false))
            return defaultRsa;
    }
    CError ignored = Catalogue::EmptyError();
    for (const CRefPtr<CSPInfo>& provider : CSPsFromSupportedAIDs(algIds, &ignored)) {
        CHoldCSP context = provider->acquireContext(nullptr, flags);
        if (context.isAcquired()) {
            if (chosen) *chosen = provider;
            return context;
        }
    }
    return CHoldCSP();
}

CHoldCSP CSPFromSupportedAID(ALG_ID algId, DWORD flags, CRefPtr<CSPInfo>* chosen) {
    return CSPFromSupportedAIDs(CAlgIdSet{algId}, flags, chosen);
}

CRefPtr<CAlgorithm> GetDefaultHashAlgorithm() {
    const CAlgorithmSet hashes = GetAllAlgorithms(ALG_CLASS_HASH);
    for (const CRefPtr<CAlgorithm>& algorithm : hashes) {
        const ALG_ID aid = algorithm->m_aid;
        if (aid == CALG_GR3411 || aid == CALG_GR3411_2012_256 || aid == CALG_GR3411_2012_512)
            return algorithm;
    }
    return hashes.empty() ? CRefPtr<CAlgorithm>() : *hashes.begin();
}

CAlgorithmArray GetPossibleHashAlgs(const CAString& publicKeyOid) {
    CLogScope scope;
    if (Catalogue::LogEnabled(5)) scope.enter("Vsk::PKI::GetPossibleHashAlgs", Wide(publicKeyOid));
    if (publicKeyOid.getLength() == 0)
        throw CCryptError::CCryptErrorTextA(0, "Не задан алгоритм публичного ключа сертификата.", 0);
    CAlgorithmSet found;
    for (const CSignatureAlgorithm& row : SignatureAlgorithms) {
        if (publicKeyOid != row.publicKeyOid && publicKeyOid != row.signatureOid) continue;
        if (CRefPtr<CAlgorithm> hash = FindAlgorithm(CAString(row.hashOid), -1)) found.insert(hash);
    }
    if (found.empty()) {
        for (const CRefPtr<CSPInfo>& provider : CSPsFromSupportedOIDs(COidSet{Wide(publicKeyOid)}, nullptr))
            for (const CRefPtr<CAlgorithm>& hash : provider->GetAlgorithms(ALG_CLASS_HASH))
                found.insert(hash);
    }
    return toArray(found);
}

CRefPtr<CAlgorithm> FindAlgorithmInArr(const CAlgorithmArray& algorithms, const CAString& oid) {
    if (oid.getLength() == 0) return {};
    for (const CRefPtr<CAlgorithm>& algorithm : algorithms)
        if (algorithm && algorithm->m_oid == oid) return algorithm;
    return {};
}

CWString AlgorithmOidText(const CWString& oid, const CWString& name) {
    return oid + u" (" + name + u")";
}

CWString RecipientLineText(const CWString& subject, const CWString& publicKeyText,
                           const CWString& signatureText) {
    CWString line = u"\r\n\t\"" + subject + u"\", его алгоритмы " + publicKeyText;
    if (signatureText != publicKeyText) line += u" и " + signatureText;
    return line;
}

CAlgorithmArray GetPossibleEncryptAlgsFor(const Vsk::Utils::CArray<CRecipientAlgorithm>& recipients,
                                          CError* error) {
    CAlgorithmSet running;
    bool first = true;
    for (const CRecipientAlgorithm& recipient : recipients) {
        CAlgorithmSet offered;
        // A key algorithm the catalogue does not know is offered by no provider.
        if (recipient.m_publicKeyAlgorithm)
            for (const CRefPtr<CSPInfo>& provider : recipient.m_publicKeyAlgorithm->getProviders())
                for (const CRefPtr<CAlgorithm>& cipher : provider->GetAlgorithms(ALG_CLASS_DATA_ENCRYPT))
                    offered.insert(cipher);
        if (first) {
            running = offered;
            first = false;
        } else {
            for (auto it = running.begin(); it != running.end();)
                it = offered.count(*it) != 0 ? std::next(it) : running.erase(it);
        }
        if (running.empty()) break;
    }
    if (running.empty() && error) {
        CWString text =
            u"Ни один установленный криптопровайдер не может шифровать сразу для всех данных сертификатов:";
        for (const CRecipientAlgorithm& recipient : recipients) text += recipient.m_line;
        text += u"\r\n";
        error->prependText(text);
    }
    return toArray(running);
}

}  // namespace Vsk::PKI
