// The mechanism tables: PKCS#11 mechanism to CryptoAPI ALG_ID, to OID text and to name.
#include <vsk/pkcs11/Mechanisms.h>

#include <vsk/utils/error.h>
#include <vsk/utils/log.h>

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace Vsk::PKCS11 {

namespace {

struct GostMechanism {
    CK_MECHANISM_TYPE mechanism;
    ALG_ID algId;
    const char* oid;
};

// The GOST mechanisms that have a CryptoAPI counterpart.
constexpr GostMechanism GostMechanisms[] = {
    {CKM_GOSTR3410, 0x2E23, "1.2.643.2.2.19"},
    {CKM_GOSTR3410_WITH_GOSTR3411, 0x2E23, "1.2.643.2.2.19"},
    {CKM_GOSTR3411, 0x801E, "1.2.643.2.2.9"},
    {CKM_GOST28147, 0x661E, "1.2.643.2.2.21"},
    {CKM_GOST28147_KEY_WRAP, 0x661E, "1.2.643.2.2.21"},
    {CKM_GOSTR3410_512, 0x2E3D, "1.2.643.7.1.1.1.2"},
    {CKM_GOSTR3410_WITH_GOSTR3411_12_512, 0x2E3D, "1.2.643.7.1.1.1.2"},
    {CKM_GOSTR3410_WITH_GOSTR3411_12_256, 0x2E49, "1.2.643.7.1.1.1.1"},
    {CKM_GOSTR3411_12_256, 0x8021, "1.2.643.7.1.1.2.2"},
    {CKM_GOSTR3411_12_512, 0x8022, "1.2.643.7.1.1.2.3"},
};

const GostMechanism* findGost(CK_MECHANISM_TYPE mechanism) {
    for (const auto& m : GostMechanisms)
        if (m.mechanism == mechanism) return &m;
    return nullptr;
}

struct MechanismName {
    CK_MECHANISM_TYPE code;
    const char* name;
};

constexpr MechanismName MechanismNames[] = {
#include "mechanismNames.inc"
};

}  // namespace

ALG_ID PKCS11AlgToWinCryptAlg(CK_MECHANISM_TYPE mechanism) {
    if (const GostMechanism* m = findGost(mechanism)) return m->algId;
    if (Vsk::InternalUtils::GetLogLevel() >= 4)
        Vsk::InternalUtils::LogAt(4, Vsk::Utils::CWString(u"PKCS11::PKCS11AlgToWinCryptAlg механизм 0x") +
                                         Vsk::Utils::ToWString(static_cast<uint64_t>(mechanism), 16));
    return 0;
}

Vsk::Utils::CAString PKCS11AlgToOID(CK_MECHANISM_TYPE mechanism) {
    if (const GostMechanism* m = findGost(mechanism)) return m->oid;
    Vsk::InternalUtils::LogAt(1, Vsk::Utils::CWString(u"PKCS11::PKCS11AlgToOID ") +
                                     Vsk::Utils::ToWString(static_cast<uint64_t>(mechanism)));
    throw Vsk::Utils::CError("Не реализовано, не было необходимости. global:203.", Vsk::Utils::NoErrorCode);
}

Vsk::Utils::CAString mechanismName(CK_MECHANISM_TYPE mechanism) {
    const auto* end = std::end(MechanismNames);
    const auto* it = std::lower_bound(std::begin(MechanismNames), end, mechanism,
                                      [](const MechanismName& e, CK_MECHANISM_TYPE c) { return e.code < c; });
    if (it != end && it->code == mechanism) return it->name;
    char text[32];
    std::snprintf(text, sizeof text, "unknown 0x%lx", static_cast<unsigned long>(mechanism));
    return text;
}

}  // namespace Vsk::PKCS11
