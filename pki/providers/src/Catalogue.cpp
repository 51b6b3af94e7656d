// The process-wide provider and algorithm catalogue: its state, clearing and the lookups over it.
#include <vsk/pki/CSPInfo.h>

#include <vsk/pki/CryptError.h>
#include <vsk/pki/CryptoApi.h>
#include <vsk/utils/global.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <utility>

#include "CatalogueState.h"

using Vsk::InternalUtils::CCommonInfoLock;
using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CAString;
using Vsk::Utils::CError;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace Vsk::PKI {

namespace Catalogue {

CState& State() {
    static CState* state = new CState();
    return *state;
}

Vsk::Utils::CCriticalSection& FillingLock() {
    static Vsk::Utils::CCriticalSection* lock = new Vsk::Utils::CCriticalSection();
    return *lock;
}

bool IsMember(const CSPInfo* provider) {
    CSPInfoSet& providers = State().m_providers;
    auto found = providers.find(CRefPtr<CSPInfo>(const_cast<CSPInfo*>(provider)));
    return found != providers.end() && found->get() == provider;
}

bool LogEnabled(int level) {
    return Vsk::InternalUtils::GetLogLevel() >= level;
}

void LogLine(int level, const char* function, const CWString& text) {
    if (!LogEnabled(level)) return;
    Vsk::Utils::CLastErrorGuard keep;
    Vsk::InternalUtils::LogAt(level,
                              Wide(Vsk::Utils::StripNamespacePrefix(CAString(function))) + u" " + text);
}

void LogSystemLine(int level, const char* function, const CWString& text, DWORD code) {
    if (code == 0 || !LogEnabled(level)) return;
    LogLine(level, function, text + u" " + Vsk::Utils::GetSystemErrorText(code));
}

void LogPlain(int level, const CWString& text) {
    if (!LogEnabled(level)) return;
    Vsk::Utils::CLastErrorGuard keep;
    Vsk::InternalUtils::LogAt(level, text);
}

CWString Wide(const char* text) {
    return CWString(text, static_cast<size_t>(-1), Vsk::Utils::CP_PROGRAM);
}

CWString Wide(const CAString& text) {
    return CWString(text, Vsk::Utils::CP_PROGRAM);
}

CError EmptyError() {
    return CError(Vsk::Utils::NoErrorCode);
}

}  // namespace Catalogue

using Catalogue::State;

void ClearCspAlgInfo() {
    CLogScope scope;
    if (Catalogue::LogEnabled(4)) scope.enter("Vsk::PKI::ClearCspAlgInfo");
    // The descriptions are released after the lock is left: the last reference to a description may
    // take other locks on its way out.
    CSPInfoSet providers;
    CAlgorithmSet algorithms;
    {
        CCommonInfoLock lock;
        Catalogue::CState& state = State();
        providers.swap(state.m_providers);
        // Algorithms that callers still hold must not point at descriptions about to go.
        for (const CRefPtr<CAlgorithm>& algorithm : state.m_algorithms) algorithm->m_providers.clear();
        algorithms.swap(state.m_algorithms);
        state.m_userDefaults.clear();
        state.m_machineDefaults.clear();
        ++state.m_generation;
    }
}

CSPInfoArray GetCatalogueProviders() {
    CSPInfoArray result;
    CCommonInfoLock lock;
    for (const CRefPtr<CSPInfo>& provider : State().m_providers) result.add(provider);
    return result;
}

namespace {

CRefPtr<CSPInfo> findInSet(DWORD type, const CWString& name) {
    CCommonInfoLock lock;
    for (const CRefPtr<CSPInfo>& provider : State().m_providers)
        if (provider->m_type == type && provider->m_name == name) return provider;
    return {};
}

}  // namespace

CRefPtr<CSPInfo> FindCSPInfo(DWORD type, const CWString& name) {
    InitCspAlgInfo();
    if (CRefPtr<CSPInfo> found = findInSet(type, name)) return found;
    {
        // A filling in progress ends first, so that the refill sees the whole system.
        Vsk::Utils::CLock filling(&Catalogue::FillingLock());
        ClearCspAlgInfo();
        InitCspAlgInfo();
    }
    return findInSet(type, name);
}

CRefPtr<CSPInfo> GetCSPInfo(HCRYPTPROV hProv, bool fillFirst) {
    CLogScope scope;
    if (Catalogue::LogEnabled(4))
        scope.enter("Vsk::PKI::GetCSPInfo", ToWString(static_cast<uint64_t>(hProv), 16));
    if (hProv == 0) return {};
    if (fillFirst) InitCspAlgInfo();

    CRefPtr<CSPInfo> description = CRefPtr<CSPInfo>::create();
    DWORD type = 0;
    DWORD length = sizeof type;
    if (!GetProvParam(hProv, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &length, 0))
        throw CCryptError(CError("Получение типа криптопровайдера", Vsk::Utils::LastErrorCode));
    description->m_type = type;

    DWORD nameError = 0;
    const CAString name = GetProvStrParam(hProv, PP_NAME, &nameError);
    description->m_name = Catalogue::Wide(name);
    if (description->m_name.getLength() == 0)
        throw CCryptError(CError("Получение наименования криптопровайдера", nameError));

    if (CRefPtr<CSPInfo> known = FindCSPInfo(description->m_type, description->m_name)) return known;

    DWORD version = 0;
    length = sizeof version;
    if (GetProvParam(hProv, PP_VERSION, reinterpret_cast<BYTE*>(&version), &length, 0))
        description->m_version = version;
    else
        CError("Получение версии криптопровайдера", Vsk::Utils::LastErrorCode);

    CRefPtr<CSPInfo> member;
    bool inserted;
    {
        CCommonInfoLock lock;
        auto placed = State().m_providers.insert(description);
        member = *placed.first;
        inserted = placed.second;
    }
    if (inserted) {
        Catalogue::LogLine(2, "Vsk::PKI::GetCSPInfo", member->toString() + u" отсутствовал!");
        CError ignored = Catalogue::EmptyError();
        member->fillAlgorithms(hProv, &ignored);
    }
    return member;
}

CRefPtr<CAlgorithm> FindAlgorithm(const CAString& oid, int keyBitLength) {
    CLogScope scope;
    if (Catalogue::LogEnabled(5))
        scope.enter("Vsk::PKI::FindAlgorithm", Catalogue::Wide(oid) + u" bitLen=" + ToWString(keyBitLength));
    InitCspAlgInfo();
    CRefPtr<CAlgorithm> found;
    {
        CCommonInfoLock lock;
        for (const CRefPtr<CAlgorithm>& algorithm : State().m_algorithms) {
            if (algorithm->m_oid != oid) continue;
            if (keyBitLength != -1 && algorithm->m_keyBitLength != static_cast<DWORD>(keyBitLength)) continue;
            found = algorithm;
            break;
        }
    }
    if (scope.isEntered())
        scope.m_result = found ? ToWString(static_cast<const void*>(found.get())) : CWString(u"0");
    return found;
}

CAlgorithmSet GetAllAlgorithms(DWORD algClass) {
    CError fillErrors = Catalogue::EmptyError();
    InitCspAlgInfo(&fillErrors);
    CAlgorithmSet result;
    CCommonInfoLock lock;
    const CAlgorithmSet& algorithms = State().m_algorithms;
    if (algorithms.empty()) throw CCryptError(fillErrors);
    for (const CRefPtr<CAlgorithm>& algorithm : algorithms)
        if (algClass == 0 || GET_ALG_CLASS(algorithm->m_aid) == algClass) result.insert(algorithm);
    return result;
}

}  // namespace Vsk::PKI
