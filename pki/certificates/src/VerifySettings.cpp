// The option objects of signature and time-stamp verification, and the time-stamp object's own
// options. The system only reads them: signature verification runs in mode 1 (the signer's
// certificate is not examined), no stamp-verification settings are ever made, and the time-stamp
// options are inert apart from their hash algorithm.
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/ProviderChoice.h>
#include <vsk/utils/error.h>

using Vsk::Utils::CLock;
using Vsk::Utils::CRefPtr;

namespace Vsk::PKI {

// ---- Stamp verification -----------------------------------------------------------------------------------

CStampVerifySettings::CStampVerifySettings() : m_pImpl(CRefPtr<CImpl>::create()) {}

CStampVerifySettings::CStampVerifySettings(const CStampVerifySettings* other) {
    if (other) m_pImpl = other->m_pImpl;
}

CStampVerifySettings::CImpl* CStampVerifySettings::impl() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

const CCertificate* CStampVerifySettings::get_StampCert() const {
    const CImpl* p = impl();
    return p->m_stampCert.isNull() ? nullptr : &p->m_stampCert;
}

int CStampVerifySettings::get_CertVerifyMode() const {
    return impl()->m_CertVerifyMode;
}

const CCertVerifySettings* CStampVerifySettings::get_CertVerifySettings() const {
    const CImpl* p = impl();
    return p->m_certVerifySettings.isNull() ? nullptr : &p->m_certVerifySettings;
}

// ---- Signature verification -------------------------------------------------------------------------------

CSignatureVerifySettings::CSignatureVerifySettings() : m_pImpl(CRefPtr<CImpl>::create()) {}

CSignatureVerifySettings::CSignatureVerifySettings(const CSignatureVerifySettings* other) {
    if (other) m_pImpl = other->m_pImpl;
}

CSignatureVerifySettings::CImpl* CSignatureVerifySettings::impl() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

int CSignatureVerifySettings::get_CertVerifyMode() const {
    return impl()->m_CertVerifyMode;
}

const CCertVerifySettings* CSignatureVerifySettings::get_CertVerifySettings() const {
    const CImpl* p = impl();
    return p->m_certVerifySettings.isNull() ? nullptr : &p->m_certVerifySettings;
}

void CSignatureVerifySettings::put_CertVerifySettings(const CCertVerifySettings* settings) {
    CImpl* p = impl();
    if (settings == &p->m_certVerifySettings) return;
    // Shared, not copied: later changes to the caller's settings are seen here.
    p->m_certVerifySettings = CCertVerifySettings(settings);
}

const CCertificate* CSignatureVerifySettings::get_SignerCert() const {
    const CImpl* p = impl();
    return p->m_signerCert.isNull() ? nullptr : &p->m_signerCert;
}

bool CSignatureVerifySettings::get_RequireTimestamp() const {
    return impl()->m_RequireTimestamp;
}

const CStampVerifySettings* CSignatureVerifySettings::get_StampVerifySettings() const {
    const CImpl* p = impl();
    return p->m_stampVerifySettings.isNull() ? nullptr : &p->m_stampVerifySettings;
}

// ---- Time-stamp options -----------------------------------------------------------------------------------

CTimeStampSettings::CImpl::CImpl() {
    CLock lock(this);
    // Fills the provider catalogue when it is still empty, which can take as long as listing every
    // provider; the catalogue's own error is raised when it cannot be filled.
    const CRefPtr<CAlgorithm> hash = GetDefaultHashAlgorithm();
    hash.checkCreated();
    m_hashAlgorithm = hash->m_oid;
}

CTimeStampSettings::CTimeStampSettings() : m_pImpl(CRefPtr<CImpl>::create()) {}

}  // namespace Vsk::PKI
