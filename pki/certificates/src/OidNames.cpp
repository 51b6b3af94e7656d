#include <vsk/asn1/asn1.h>
#include <vsk/pki/OidNames.h>
#include <vsk/platform/certname.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <cstring>
#include <map>
#include <string>

namespace Vsk::PKI {

using Vsk::Utils::CAString;
using Vsk::Utils::CWString;

namespace {

struct AlgIdOid {
    ALG_ID algId;
    const char* oid;
};

// The GOST and SHA-2 identifiers whose OIDs CryptoAPI may not know, consulted first.
constexpr AlgIdOid AlgIdToOidTable[] = {
    {0x2E23, "1.2.643.2.2.19"},         {0x2E3D, "1.2.643.7.1.1.1.2"},
    {0x2E49, "1.2.643.7.1.1.1.1"},      {0x661E, "1.2.643.2.2.21"},
    {0x800C, "2.16.840.1.101.3.4.2.1"}, {0x800D, "2.16.840.1.101.3.4.2.2"},
    {0x800E, "2.16.840.1.101.3.4.2.3"}, {0x801E, "1.2.643.2.2.9"},
    {0x8021, "1.2.643.7.1.1.2.2"},      {0x8022, "1.2.643.7.1.1.2.3"},
};

// The reverse direction, with the GOST signature algorithms mapped to the key algorithm they name.
constexpr AlgIdOid OidToAlgIdTable[] = {
    {0x801E, "1.2.643.2.2.9"},          {0x8021, "1.2.643.7.1.1.2.2"},
    {0x8022, "1.2.643.7.1.1.2.3"},      {0x2E23, "1.2.643.2.2.19"},
    {0x2E49, "1.2.643.7.1.1.1.1"},      {0x2E3D, "1.2.643.7.1.1.1.2"},
    {0x2E23, "1.2.643.2.2.3"},          {0x2E49, "1.2.643.7.1.1.3.2"},
    {0x2E3D, "1.2.643.7.1.1.3.3"},      {0x661E, "1.2.643.2.2.21"},
    {0x800C, "2.16.840.1.101.3.4.2.1"}, {0x800D, "2.16.840.1.101.3.4.2.2"},
    {0x800E, "2.16.840.1.101.3.4.2.3"},
};

// The registry. Provider-description threads that outlived their wait may still add names while the
// process ends, so the object is never destroyed.
struct NameRegistry {
    Vsk::Utils::CCriticalSection lock;
    std::map<std::string, CNameSet> names;
};

NameRegistry& registry() {
    static NameRegistry* const instance = new NameRegistry();
    return *instance;
}

// Handed-out names are copies of their own: the registry's strings are never shared with callers.
CNameSet cloneSet(const CNameSet& names) {
    CNameSet copy;
    for (const CWString& name : names) copy.insert(name.clone());
    return copy;
}

BOOL addEnumeratedName(PCCRYPT_OID_INFO info, void* arg) {
    auto* names = static_cast<std::map<std::string, CNameSet>*>(arg);
    if (info && info->pszOID && info->pwszName && info->pwszName[0] != 0)
        (*names)[info->pszOID].insert(CWString(info->pwszName));
    return TRUE;
}

}  // namespace

bool CNameOrder::operator()(const CWString& a, const CWString& b) const {
    if (a.getLength() != b.getLength()) return a.getLength() < b.getLength();
    const WCHAR* pa = a.c_str();
    const WCHAR* pb = b.c_str();
    for (DWORD i = 0; i < a.getLength(); ++i)
        if (pa[i] != pb[i]) return pa[i] < pb[i];
    return false;
}

CAString AlgIdToOID(ALG_ID algId) {
    for (const AlgIdOid& row : AlgIdToOidTable)
        if (row.algId == algId) return CAString(row.oid);
    const char* oid = CertAlgIdToOID(algId);
    return oid ? CAString(oid) : CAString();
}

ALG_ID OIDToAlgId(const CAString& oid) {
    if (oid.getLength() == 0) return 0;
    for (const AlgIdOid& row : OidToAlgIdTable)
        if (oid == row.oid) return row.algId;
    const DWORD algId = CertOIDToAlgId(oid.c_str());
    return algId == 0xFFFFFFFF ? 0 : algId;
}

CWString NameFromOID(const CAString& oid) {
    Vsk::InternalUtils::CLogScope scope;
    if (scope.getLevel() >= 4) scope.enter("Vsk::PKI::NameFromOID", CWString(oid, Vsk::Utils::CP_PROGRAM));
    if (oid.getLength() == 0) return CWString();
    // Names registered on this machine count as much as the built-in ones.
    LoadRegisteredOIDInfo();
    PCCRYPT_OID_INFO info = CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(oid.c_str()), 0);
    CWString name = info && info->pwszName ? CWString(info->pwszName) : CWString();
    if (scope.isEntered()) scope.m_result = name;
    return name;
}

void CNameOID::check() {
    NameRegistry& reg = registry();
    Vsk::Utils::CLock guard(&reg.lock);
    if (!reg.names.empty()) return;
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CNameOID::check", 4);
    LoadRegisteredOIDInfo();
    if (!CryptEnumOIDInfo(0, 0, &reg.names, addEnumeratedName))
        Vsk::InternalUtils::LogAt(
            2, CWString(u"PKI::CNameOID::check The callback function has stopped the enumeration"));
}

void CNameOID::add(const CAString& oid, const CWString& name) {
    NameRegistry& reg = registry();
    Vsk::Utils::CLock guard(&reg.lock);
    reg.names[oid.toStd()].insert(name.clone());
}

CNameSet CNameOID::getNames(const CAString& oid) {
    check();
    NameRegistry& reg = registry();
    Vsk::Utils::CLock guard(&reg.lock);
    auto it = reg.names.find(oid.toStd());
    return it == reg.names.end() ? CNameSet() : cloneSet(it->second);
}

CWString CNameOID::joinNames(const CAString& oid, const CWString& separator) {
    CWString joined;
    bool first = true;
    for (const CWString& name : getNames(oid)) {
        if (!first) joined += separator;
        joined += name;
        first = false;
    }
    return joined;
}

CWString CNameOID::getName(const CAString& oid) {
    CNameSet names = getNames(oid);
    if (names.empty()) return CWString(oid, Vsk::Utils::CP_PROGRAM);
    return *names.begin();
}

namespace {

// The ASN.1 codec names OIDs and gives their ALG_IDs through these tables from the start of the
// process, whatever is called first. The library's link interface names the symbol below, so every
// program linked with the library carries this object and its registration.
struct COidResolversAtStart {
    COidResolversAtStart() {
        Vsk::ASN1::setOidNameResolver(&NameFromOID);
        Vsk::ASN1::setOidAlgIdResolver(&OIDToAlgId);
    }
} g_oidResolversAtStart;

}  // namespace

}  // namespace Vsk::PKI

extern "C" const int VskPkiOidResolversAtStart = 1;
