// The common and the certificate-verification option objects.
#include <vsk/pki/PkiHelpers.h>
#include <vsk/pki/Settings.h>

using Vsk::Utils::CAString;
using Vsk::Utils::CWString;

namespace Vsk::PKI {

CCommonSettings::CCommonSettings(bool create) {
    if (create) m_pImpl = Vsk::Utils::CRefPtr<CImpl>::create();
}

CCommonSettings::CImpl* CCommonSettings::impl() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

bool CCommonSettings::get_Silent() const {
    return (impl()->m_flags & FlagSilent) != 0;
}

void CCommonSettings::put_Silent(bool silent) {
    CImpl* p = impl();
    if (get_Silent() == silent) return;
    if (silent)
        p->m_flags |= FlagSilent;
    else
        p->m_flags &= ~static_cast<DWORD>(FlagSilent);
}

Vsk::Utils::IProgress* CCommonSettings::get_Progress() const {
    return impl()->m_progress;
}

CCertVerifySettings::CCertVerifySettings() : m_pImpl(Vsk::Utils::CRefPtr<CImpl>::create()) {}

CCertVerifySettings::CCertVerifySettings(const CCertVerifySettings* other) {
    if (!other) return;
    other->impl();
    m_pImpl = other->m_pImpl;
}

CCertVerifySettings::CImpl* CCertVerifySettings::impl() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

int CCertVerifySettings::get_RevocationFlag() const {
    return impl()->m_RevocationFlag;
}
void CCertVerifySettings::put_RevocationFlag(int value) {
    impl()->m_RevocationFlag = value;
}
int CCertVerifySettings::get_RevocationMode() const {
    return impl()->m_RevocationMode;
}
void CCertVerifySettings::put_RevocationMode(int value) {
    impl()->m_RevocationMode = value;
}
uint32_t CCertVerifySettings::get_UrlRetrievalTimeout() const {
    return impl()->m_UrlRetrievalTimeout;
}
void CCertVerifySettings::put_UrlRetrievalTimeout(uint32_t milliseconds) {
    impl()->m_UrlRetrievalTimeout = milliseconds;
}
int CCertVerifySettings::get_VerifyFlags() const {
    return impl()->m_VerifyFlags;
}
void CCertVerifySettings::put_VerifyFlags(int value) {
    impl()->m_VerifyFlags = value;
}

CWString CCertVerifySettings::getText() const {
    if (!m_pImpl) return {};
    const CImpl* p = m_pImpl.get();
    CAString text = CAString("RevocationFlag=\"") + RevocationFlagToStr(p->m_RevocationFlag) +
                    "\", RevocationMode=\"" + RevocationModeToStr(p->m_RevocationMode) +
                    "\", UrlRetrievalTimeout=" + Vsk::Utils::ToAString(p->m_UrlRetrievalTimeout) +
                    ", VerifyFlags=" + Vsk::Utils::ToAString(p->m_VerifyFlags);
    return CWString(text, Vsk::Utils::CP_PROGRAM);
}

}  // namespace Vsk::PKI
