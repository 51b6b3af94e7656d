// The public provider object: one provider description of the catalogue with its properties, its
// random bytes and the lists of providers the application shows. The container list is in
// CspContainers.cpp.
#include <vsk/pki/Csp.h>

#include <vsk/pki/CryptError.h>
#include <vsk/pki/ProviderChoice.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include "CspImpl.h"

namespace Vsk::PKI {

using Vsk::InternalUtils::CLogScope;
using Vsk::InternalUtils::GetLogLevel;
using Vsk::InternalUtils::LogAt;
using Vsk::Utils::CArray;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

CCsp::CCsp(bool create) {
    if (create) m_pImpl = CRefPtr<CImpl>::tryCreate();
}
CCsp::CCsp(const CCsp& other) = default;
CCsp& CCsp::operator=(const CCsp& other) = default;
CCsp::~CCsp() = default;

void CCsp::putCSPInfo(CSPInfo* description) {
    if (!m_pImpl) m_pImpl = CRefPtr<CImpl>::create();
    Vsk::Utils::CLock lock(m_pImpl.get());
    if (m_pImpl->m_info.get() == description) return;
    m_pImpl->m_info = CRefPtr<CSPInfo>(description);
}

DWORD CCsp::get_Type() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_info ? m_pImpl->m_info->m_type : 0;
}

CWString CCsp::get_Name() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_info ? m_pImpl->m_info->m_name : CWString();
}

CWString CCsp::get_Version() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_info ? m_pImpl->m_info->getVersionText() : CWString();
}

CTokenAsCsp* CCsp::get_Token() const {
    m_pImpl.checkCreated();
    CSPInfo* info = m_pImpl->m_info.get();
    return info && info->isToken() ? static_cast<CTokenAsCsp*>(info) : nullptr;
}

DWORD CCsp::get_DefaultFlags() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_info ? m_pImpl->m_info->m_defaultFlags : 0;
}

int CCsp::GenRandom(CDataBlob& data) {
    m_pImpl.checkCreated();
    CSPInfo* info = m_pImpl->m_info.get();
    if (!info) throw CCryptError(190204, Vsk::Utils::LastErrorCode, 0);
    if (info->isToken()) return info->getToken().generateRandom(data);
    // The held context when there is one; else a verification context for this call only.
    CHoldCSP context = m_pImpl->m_holdCSP.isAcquired() ? m_pImpl->m_holdCSP
                                                       : info->acquireContext(nullptr, CRYPT_VERIFYCONTEXT);
    if (!context.isAcquired()) throw CError("CryptAcquireContext", Vsk::Utils::LastErrorCode);
    if (!CryptGenRandom(context.get_hCryptProv(), data.getSize(), data.getData()))
        throw CError("CryptGenRandom", Vsk::Utils::LastErrorCode);
    return 0;
}

void CCsp::GetGostCspArr(CArray<CCsp>& list) {
    CLogScope scope("Vsk::PKI::CCsp::GetGostCspArr", 3, ToWString(static_cast<const void*>(&list)));
    list.clear();
    CError error(Vsk::Utils::NoErrorCode);
    const CSPInfoArray providers = GetGostCSPInfo(&error);
    if (providers.isEmpty() && !error.isEmpty()) throw CCryptError::CCryptErrorFromError(190104, error);
    for (size_t i = 0; i < providers.getCount(); ++i) {
        CCsp csp(true);
        csp.putCSPInfo(providers[i].get());
        list.add(csp);
    }
    if (scope.isEntered()) scope.m_result = ToWString(static_cast<uint64_t>(list.getCount()));
}

void CCsp::GetAllCspArr(CArray<CCsp>& list) {
    CLogScope scope("Vsk::PKI::CCsp::GetAllCspArr", 3, ToWString(static_cast<const void*>(&list)));
    list.clear();
    CError error(Vsk::Utils::NoErrorCode);
    const CSPInfoArray providers = CSPsFromSupportedAIDs(CAlgIdSet(), &error);
    if (providers.isEmpty() && !error.isEmpty()) throw CCryptError::CCryptErrorFromError(190104, error);
    for (size_t i = 0; i < providers.getCount(); ++i) {
        CSPInfo* info = providers[i].get();
        CCsp csp(true);
        csp.putCSPInfo(info);
        // GOST providers go to the front, so they end up in reverse catalogue order.
        if (info->hasGostAlgorithm())
            list.insert(csp, 0);
        else
            list.add(csp);
        if (GetLogLevel() >= 4) LogAt(4, CWString(u"PKI::CCsp::GetAllCspArr ") + info->toString());
    }
    if (scope.isEntered()) scope.m_result = ToWString(static_cast<uint64_t>(list.getCount()));
}

}  // namespace Vsk::PKI
