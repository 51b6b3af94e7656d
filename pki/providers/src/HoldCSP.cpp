#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/HoldCSP.h>

#include <typeinfo>

namespace Vsk::PKI {

using Vsk::Utils::CLock;
using Vsk::Utils::CRefPtr;

CHoldCSP::CImpl::CImpl() : m_hCryptProv(0), m_release(FALSE) {}

CHoldCSP::CImpl::~CImpl() {
    CLock guard(this);
    if (m_release) ReleaseContext(m_hCryptProv);
    m_cspInfo.reset();
}

void CHoldCSP::CImpl::set(HCRYPTPROV context, bool release, CSPInfo* description) {
    CLock guard(this);
    if (m_release) ReleaseContext(m_hCryptProv);
    m_hCryptProv = context;
    m_release = release ? TRUE : FALSE;
    if (m_cspInfo.get() != description) m_cspInfo = CRefPtr<CSPInfo>(description);
}

CHoldCSP::CHoldCSP(HCRYPTPROV context, bool release, CSPInfo* description)
    : m_pImpl(CRefPtr<CImpl>::tryCreate()) {
    m_pImpl.checkCreated();
    m_pImpl->set(context, release, description);
}

bool CHoldCSP::acquire(const WCHAR* container, const WCHAR* providerName, DWORD type, DWORD flags) {
    // Copies made before keep the previous implementation and its context.
    m_pImpl = CRefPtr<CImpl>::tryCreate();
    m_pImpl.checkCreated();
    CImpl& impl = *m_pImpl;
    CLock guard(&impl);
    impl.m_release = TRUE;
    impl.m_cspInfo.reset();
    HCRYPTPROV context = 0;
    const BOOL ok = AcquireContext(&context, container, providerName, type, flags);
    impl.m_hCryptProv = ok ? context : 0;
    return ok != FALSE;
}

HCRYPTPROV CHoldCSP::get_hCryptProv() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_hCryptProv;
}

bool CHoldCSP::isAcquired() const {
    return get_hCryptProv() != 0;
}

CSPInfo* CHoldCSP::get_CSPInfo() const {
    m_pImpl.checkCreated();
    CImpl& impl = *m_pImpl;
    CSPInfo* description = nullptr;
    {
        CLock guard(&impl);
        description = impl.m_cspInfo.get();
    }
    const HCRYPTPROV context = impl.m_hCryptProv;
    if (!description && context != 0) {
        // Looked up without the object's lock (the catalogue may fill itself); two threads that race
        // here find the same catalogue entry and the first one stored wins.
        CRefPtr<CSPInfo> found = GetCSPInfo(context, true);
        CLock guard(&impl);
        if (!impl.m_cspInfo) impl.m_cspInfo = found;
        description = impl.m_cspInfo.get();
    }
    if (!description) Vsk::Utils::raiseNotCreated(typeid(CSPInfo));
    return description;
}

}  // namespace Vsk::PKI
