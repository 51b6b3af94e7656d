// The encryption and decryption option objects.
//
// Encryption settings hold the recipients and decide the content-encryption algorithm and provider
// type that every recipient can use: the recipients are cleaned first (certificates without a
// context and duplicates are dropped, each with a log line), then the provider catalogue is asked
// which data-encryption algorithms one provider offers for all of them. A provider given later keeps
// the algorithm only when that very provider offers it. Decryption settings hold the certificate and
// key container that decrypt; the certificate must belong to the container.
#include <vsk/pki/CryptError.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/OidNames.h>
#include <vsk/pki/ProviderChoice.h>
#include <vsk/pki/ProviderChoiceCert.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>

#include "optionPassword.h"

using Vsk::InternalUtils::GetLogLevel;
using Vsk::InternalUtils::LogAt;
using Vsk::Utils::CArray;
using Vsk::Utils::CAString;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;

namespace Vsk::PKI {

namespace {

bool sameObjects(const CArray<CCertificate>& a, const CArray<CCertificate>& b) {
    if (a.getCount() != b.getCount()) return false;
    for (size_t i = 0; i < a.getCount(); ++i)
        if (a[i].getImpl().get() != b[i].getImpl().get()) return false;
    return true;
}

bool equalCertificates(const CArray<CCertificate>& a, const CArray<CCertificate>& b) {
    if (a.getCount() != b.getCount()) return false;
    for (size_t i = 0; i < a.getCount(); ++i)
        if (!a[i].equal(b[i])) return false;
    return true;
}

bool offeredByType(const CAlgorithm& algorithm, int providerType) {
    for (const CRefPtr<CSPInfo>& provider : algorithm.getProviders())
        if (provider && static_cast<int>(provider->m_type) == providerType) return true;
    return false;
}

bool offeredBy(const CAlgorithm& algorithm, const CSPInfo* provider) {
    for (const CRefPtr<CSPInfo>& offering : algorithm.getProviders())
        if (offering.get() == provider) return true;
    return false;
}

}  // namespace

// ---- Encryption: implementation -------------------------------------------------------------------------

void CEncryptSettings::CImpl::putRecipientCertificates(CArray<CCertificate> recipients) {
    static const char* const Name = "PKI::CEncryptSettings::CImpl::putRecipientCertificates";
    if (sameObjects(recipients, m_recipients)) return;

    // Certificates without a context cannot be encrypted for; later copies of one certificate
    // would give the same recipient twice.
    CArray<CCertificate> withContext;
    for (const CCertificate& certificate : recipients) {
        if (!certificate.isNull() && certificate.get_CertContext()) {
            withContext.add(certificate);
        } else if (GetLogLevel() >= 2) {
            LogAt(2, CWString(Name, Vsk::Utils::CP_PROGRAM) + u" removed null PCCERT_CONTEXT");
        }
    }
    CArray<CCertificate> cleaned;
    for (const CCertificate& certificate : withContext) {
        bool duplicate = false;
        for (const CCertificate& kept : cleaned) {
            if (kept.equal(certificate)) {
                duplicate = true;
                break;
            }
        }
        if (!duplicate) {
            cleaned.add(certificate);
        } else if (GetLogLevel() >= 2) {
            LogAt(2, CWString(Name, Vsk::Utils::CP_PROGRAM) + u" removed duplicate " + certificate.getText());
        }
    }
    if (equalCertificates(cleaned, m_recipients)) return;

    m_recipients.clear();
    if (cleaned.isEmpty()) {
        m_possibleAlgorithms.clear();
        return;
    }
    CCryptError error;
    m_possibleAlgorithms = GetPossibleEncryptAlgs(cleaned, &error);
    if (m_possibleAlgorithms.isEmpty()) {
        m_providerType = 0;
        m_encryptAlgorithm = CAString();
        throw error;
    }
    m_recipients = cleaned;

    if (m_providerType != 0) {
        for (const CRefPtr<CAlgorithm>& algorithm : m_possibleAlgorithms) {
            if (!algorithm) continue;
            if (m_encryptAlgorithm.getLength() && algorithm->m_oid != m_encryptAlgorithm) continue;
            if (!offeredByType(*algorithm, m_providerType)) continue;
            if (!m_encryptAlgorithm.getLength()) m_encryptAlgorithm = algorithm->m_oid;
            return;
        }
    }
    const CRefPtr<CAlgorithm>& first = m_possibleAlgorithms[0];
    m_encryptAlgorithm = first->m_oid;
    for (const CRefPtr<CSPInfo>& provider : first->getProviders()) {
        if (provider && provider->m_type != 0) {
            m_providerType = static_cast<int32_t>(provider->m_type);
            break;
        }
    }
}

void CEncryptSettings::CImpl::putProvider(CSPInfo* provider) {
    if (GetLogLevel() >= 4)
        LogAt(4, CWString(u"PKI::CEncryptSettings::CImpl::putProvider ") +
                     (provider ? provider->toString() : CWString(u"null")));
    if (provider == m_provider) return;
    m_providerType = provider ? static_cast<int32_t>(provider->m_type) : 0;
    m_providerName = provider ? provider->m_name : CWString();
    m_provider = provider;
    if (!m_recipients.isEmpty()) {
        for (const CRefPtr<CAlgorithm>& algorithm : m_possibleAlgorithms)
            if (algorithm && algorithm->m_oid == m_encryptAlgorithm && offeredBy(*algorithm, provider))
                return;
    }
    if (m_recipients.isEmpty() || m_possibleAlgorithms.isEmpty())
        m_encryptAlgorithm = CAString();
    else
        m_encryptAlgorithm = m_possibleAlgorithms[m_possibleAlgorithms.getCount() - 1]->m_oid;
}

// ---- Encryption: handle ---------------------------------------------------------------------------------

CEncryptSettings::CEncryptSettings() : m_pImpl(CRefPtr<CImpl>::create()) {}

CEncryptSettings::CEncryptSettings(const CEncryptSettings* other) {
    if (other) m_pImpl = other->m_pImpl;
}

CEncryptSettings::CImpl* CEncryptSettings::impl() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

void CEncryptSettings::putRecipientCertificates(CArray<CCertificate> recipients) {
    impl()->putRecipientCertificates(recipients);
}

void CEncryptSettings::putProvider(CSPInfo* provider) {
    impl()->putProvider(provider);
}

const CArray<CCertificate>& CEncryptSettings::get_RecipientCertificates() const {
    return impl()->m_recipients;
}

CWString CEncryptSettings::get_EncryptAlgorithm(bool display) const {
    const CImpl* p = impl();
    if (display) return NameFromOID(p->m_encryptAlgorithm);
    return CWString(p->m_encryptAlgorithm, Vsk::Utils::CP_PROGRAM);
}

int CEncryptSettings::get_ProviderType() const {
    return impl()->m_providerType;
}

const WCHAR* CEncryptSettings::get_ProviderName() const {
    const CImpl* p = impl();
    return p->m_providerName.getLength() ? p->m_providerName.c_str() : nullptr;
}

CSPInfo* CEncryptSettings::get_Provider() const {
    return impl()->m_provider;
}

bool CEncryptSettings::get_UseSessionKey() const {
    return (impl()->m_flags & FlagUseSessionKey) != 0;
}

CAString CEncryptSettings::get_KeysetPassword() const {
    return impl()->getPassword();
}

CCommonSettings CEncryptSettings::get_CommonSettings() const {
    return impl()->m_commonSettings;
}

// ---- Decryption -------------------------------------------------------------------------------------------

void CDecryptSettings::CImpl::putCertificate(const CCertificate* certificate) {
    const bool empty = !certificate || certificate->isNull();
    if (!empty && !m_keyContainer.isNull()) checkCertMatchesContainer(*certificate, m_keyContainer);
    m_certificate = empty ? CCertificate() : *certificate;
}

void CDecryptSettings::CImpl::putKeyContainer(const CKeyContainer* container) {
    if (!container || container->isNull()) {
        m_keyContainer = CKeyContainer();
        return;
    }
    // Checked and read before anything changes, so that a container that does not fit leaves the
    // object as it was.
    CKeyContainer held(*container);
    if (!m_certificate.isNull()) checkCertMatchesContainer(m_certificate, held);
    const CCertificate* stored = held.getCertificate();
    const CCertificate storedCertificate = stored ? *stored : CCertificate();

    held.get_CommonSettings().put_Silent(m_commonSettings.get_Silent());
    if (hasPassword()) held.put_KeysetPassword(static_cast<const CPassword&>(*this));
    if (!storedCertificate.isNull()) m_certificate = storedCertificate;
    m_keyContainer = held;
}

CRememberedPassword* CDecryptSettings::CImpl::getKeysetPassword() {
    if (!hasPassword()) {
        if (!m_keyContainer.isNull())
            fillRememberedPasswordUpTo(m_keyContainer.get_Name());
        else if (!m_certificate.isNull())
            fillRememberedPasswordUpTo(m_certificate.get_ContainerName());
    }
    return this;
}

CDecryptSettings::CDecryptSettings() : m_pImpl(CRefPtr<CImpl>::create()) {}

CDecryptSettings::CDecryptSettings(const CDecryptSettings* other) {
    if (other) m_pImpl = other->m_pImpl;
}

CDecryptSettings::CImpl* CDecryptSettings::impl() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

const CCertificate* CDecryptSettings::get_Certificate() const {
    const CImpl* p = impl();
    return p->m_certificate.isNull() ? nullptr : &p->m_certificate;
}

void CDecryptSettings::put_Certificate(const CCertificate* certificate) {
    impl()->putCertificate(certificate);
}

const CKeyContainer* CDecryptSettings::get_KeyContainer() const {
    const CImpl* p = impl();
    return p->m_keyContainer.isNull() ? nullptr : &p->m_keyContainer;
}

void CDecryptSettings::put_KeyContainer(const CKeyContainer* container) {
    impl()->putKeyContainer(container);
}

bool CDecryptSettings::get_AutoFindRecipient() const {
    return (impl()->m_flags & FlagAutoFindRecipient) != 0;
}
bool CDecryptSettings::get_AutoBindWithKeyContainer() const {
    return (impl()->m_flags & FlagAutoBindWithKeyContainer) != 0;
}
bool CDecryptSettings::get_HSMToCSPOptimization() const {
    return (impl()->m_flags & FlagHSMToCSPOptimization) != 0;
}
bool CDecryptSettings::get_UseSessionKey() const {
    return (impl()->m_flags & FlagUseSessionKey) != 0;
}

CCommonSettings CDecryptSettings::get_CommonSettings() const {
    return impl()->m_commonSettings;
}

CRememberedPassword* CDecryptSettings::get_KeysetPassword() const {
    if (!m_pImpl) return nullptr;
    return m_pImpl->getKeysetPassword();
}

void CDecryptSettings::ApplyKeysetPassword(HCRYPTPROV hProv, DWORD keySpec) const {
    CImpl* p = impl();
    applyOptionKeysetPassword(p->getKeysetPassword(), p->m_commonSettings, hProv, keySpec);
}

}  // namespace Vsk::PKI
