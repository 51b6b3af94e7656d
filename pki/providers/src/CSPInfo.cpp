// Provider and algorithm descriptions: construction, order, texts and the tests on them.
#include <vsk/pki/CSPInfo.h>

#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/OidNames.h>
#include <vsk/utils/global.h>

#include <cstring>

#include "CatalogueState.h"

using Vsk::InternalUtils::CCommonInfoLock;
using Vsk::Utils::CAString;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace Vsk::PKI {

// ---- CAlgorithm
// ---------------------------------------------------------------------------------------------

CAlgorithm::CAlgorithm() : m_aid(0), m_keyBitLength(0) {}

CAlgorithm::CAlgorithm(const PROV_ENUMALGS& record) : m_aid(record.aiAlgid), m_keyBitLength(record.dwBitLen) {
    // A provider is not trusted to terminate the name inside its 20 bytes.
    const size_t length = strnlen(record.szName, sizeof record.szName);
    m_name = CWString(record.szName, length, Vsk::Utils::CP_PROGRAM);
    m_name.checkStatus();
    m_oid = AlgIdToOID(m_aid);
    if (m_oid.getLength() != 0 && m_name.getLength() != 0) {
        CNameOID::check();
        CNameOID::add(m_oid, m_name);
    }
}

CRefPtr<CAlgorithm> CAlgorithm::createNew() {
    return CRefPtr<CAlgorithm>::create();
}

CRefPtr<CAlgorithm> CAlgorithm::CAlgorithmFromEnumAlgs(const PROV_ENUMALGS& record) {
    return CRefPtr<CAlgorithm>::create(record);
}

CWString CAlgorithm::toString() const {
    CCommonInfoLock lock;
    return u"aid=0x" + ToWString(m_aid, 16) + u", oid=" + Catalogue::Wide(m_oid) + u", name=" + m_name +
           u", keyBitLength=" + ToWString(m_keyBitLength);
}

bool CAlgorithm::operator<(const CAlgorithm& other) const {
    if (this == &other) return false;
    if (m_aid != other.m_aid) return m_aid < other.m_aid;
    const int byOid = m_oid.compare(other.m_oid, true);
    if (byOid != 0) return byOid < 0;
    if (m_keyBitLength != 0 && other.m_keyBitLength != 0 && m_keyBitLength != other.m_keyBitLength)
        return m_keyBitLength < other.m_keyBitLength;
    return false;
}

CSPInfoArray CAlgorithm::getProviders() const {
    CSPInfoArray result;
    CCommonInfoLock lock;
    CSPInfoSet ordered;
    for (CSPInfo* provider : m_providers) ordered.insert(CRefPtr<CSPInfo>(provider));
    for (const CRefPtr<CSPInfo>& provider : ordered) result.add(provider);
    return result;
}

// ---- CSPInfo
// ---------------------------------------------------------------------------------------------------

CSPInfo::CSPInfo() : m_type(0), m_version(0), m_versionEx{0, 0}, m_defaultFlags(0), m_generation(0) {}

CSPInfo::~CSPInfo() = default;

CHoldCSP CSPInfo::acquireContext(const WCHAR* container, DWORD flags) {
    HCRYPTPROV handle = 0;
    // An empty name would ask for the type's default provider instead of this one.
    const WCHAR* name = m_name.getLength() != 0 ? m_name.c_str() : u"";
    if (!AcquireContext(&handle, container, name, m_type, flags)) {
        const DWORD error = GetLastError();
        CHoldCSP empty;
        SetLastError(error);
        return empty;
    }
    return CHoldCSP(handle, true, this);
}

CWString CSPInfo::toString() const {
    return u"криптопровайдер \"" + m_name + u"\" типа " + ToWString(m_type) + u", версии " + getVersionText();
}

CWString CSPInfo::getVersionText() const {
    if (isToken()) return CTokenAsCsp::getVersionText();
    DWORD version, build, revision;
    {
        CCommonInfoLock lock;
        version = m_version;
        build = m_versionEx[0];
        revision = m_versionEx[1];
    }
    return ToWString((version >> 8) & 0xFF) + u"." + ToWString(version & 0xFF) + u"." + ToWString(build) +
           u"." + ToWString(revision);
}

CRefPtr<CAlgorithm> CSPInfo::getAlgorithm(ALG_ID aid) const {
    CCommonInfoLock lock;
    for (const CRefPtr<CAlgorithm>& algorithm : m_algorithms)
        if (algorithm->m_aid == aid) return algorithm;
    return {};
}

CAlgorithmArray CSPInfo::GetAlgorithms(DWORD algClass) const {
    CAlgorithmArray result;
    CCommonInfoLock lock;
    for (const CRefPtr<CAlgorithm>& algorithm : m_algorithms)
        if (algClass == 0 || GET_ALG_CLASS(algorithm->m_aid) == algClass) result.add(algorithm);
    return result;
}

bool CSPInfo::hasGostAlgorithm() const {
    static const ALG_ID gost[] = {CALG_GR3410EL, CALG_GR3410_12_512,   CALG_GR3410_12_256,  CALG_G28147,
                                  CALG_GR3411,   CALG_GR3411_2012_256, CALG_GR3411_2012_512};
    CCommonInfoLock lock;
    for (const CRefPtr<CAlgorithm>& algorithm : m_algorithms) {
        for (ALG_ID aid : gost)
            if (algorithm->m_aid == aid) return true;
        if (algorithm->m_oid == "1.2.643.7.1.1.2.2" || algorithm->m_oid == "1.2.643.7.1.1.2.3") return true;
    }
    return false;
}

bool CSPInfo::isCryptoProKC() const {
    if (m_type == PROV_GOST_2001_DH)
        return m_name == CWString(u"Crypto-Pro GOST R 34.10-2001 KC1 CSP") ||
               m_name == CWString(u"Crypto-Pro GOST R 34.10-2001 KC2 CSP");
    if (m_type == PROV_GOST_94_DH)
        return m_name == CWString(u"Crypto-Pro GOST R 34.10-94 KC1 CSP") ||
               m_name == CWString(u"Crypto-Pro GOST R 34.10-94 KC2 CSP");
    return false;
}

bool CSPInfo::isCryptoProUEC() const {
    return m_name.find(CWString(u"CryptoPro GOST "), false) >= 0 &&
           m_name.find(CWString(u" UEC CSP"), false) >= 0;
}

bool CSPInfo::isHSM(const CWString& providerName) {
    return providerName.find(CWString(u"HSM"), false) >= 0;
}

ALG_ID CSPInfo::getEphemDHAlgId() const {
    switch (m_type) {
        case PROV_GOST_2001_DH:
            return CALG_DH_EL_EPHEM;
        case PROV_GOST_2012_256:
            return CALG_DH_GR3410_12_256_EPHEM;
        case PROV_GOST_2012_512:
            return CALG_DH_GR3410_12_512_EPHEM;
        default:
            return CALG_DH_EPHEM;
    }
}

bool CSPInfo::operator<(const CSPInfo& other) const {
    if (this == &other) return false;
    if (m_type != other.m_type) return m_type < other.m_type;
    const int byName = m_name.compare(other.m_name, true);
    if (byName != 0) return byName < 0;
    if (Catalogue::LogEnabled(2)) {
        DWORD mine, theirs;
        {
            CCommonInfoLock lock;
            mine = m_version;
            theirs = other.m_version;
        }
        if (mine != theirs)
            Catalogue::LogLine(2, "Vsk::PKI::CSPInfo::operator <",
                               u"Разные версии " + ToWString(mine) + u" и " + ToWString(theirs) +
                                   u" одного и того же криптопровайдера " + ToWString(m_type) + u" " +
                                   m_name);
    }
    return false;
}

}  // namespace Vsk::PKI
