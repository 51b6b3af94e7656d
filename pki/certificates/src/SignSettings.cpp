// The signing option object: what goes into a signature, with which certificate, hash and key
// container, and the keyset password the signer's provider gets.
//
// The hash algorithm follows the signer: every signer change chooses it again among the hashes that
// fit the certificate's public key, keeping the held one when it still fits and otherwise preferring
// GOST R 34.11-94. A key container narrows that list to what its provider offers. The signer change
// and the hash choice hold the object's lock; the other setters are plain writes.
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/OidNames.h>
#include <vsk/pki/ProviderChoice.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include "certHandles.h"
#include "optionPassword.h"

using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CAString;
using Vsk::Utils::CLock;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;

namespace Vsk::PKI {

namespace {

const char* const ImplClassName = "PKI::CSignSettings::CImpl";
// GOST R 34.11-94: the hash the signing layer prefers whenever the signer's key allows it.
const char* const PreferredHashOid = "1.2.643.2.2.9";

const char* boolText(bool value) {
    return value ? "true" : "false";
}

bool hasContext(const CCertificate& certificate) {
    return !certificate.isNull() && certificate.get_CertContext() != nullptr;
}

}  // namespace

// ---- Implementation
// ----------------------------------------------------------------------------------------

CSignSettings::CImpl::CImpl() {
    countLiveObject(ImplClassName, this, 1, "PKI::CSignSettings::CImpl::CImpl");
}

CSignSettings::CImpl::~CImpl() {
    try {
        if (m_signingTime) Vsk::Utils::memFree(m_signingTime);
        countLiveObject(ImplClassName, this, -1, "PKI::CSignSettings::CImpl::~CImpl");
    } catch (...) {
        // Only the count's log line can fail (out of memory).
    }
}

void CSignSettings::CImpl::putSignerCert(const CCertificate* certificate) {
    CLock lock(this);
    const bool newEmpty = !certificate || certificate->isNull();
    if (newEmpty && m_signerCert.isNull()) return;
    if (!newEmpty && !m_keyContainer.isNull()) checkCertMatchesContainer(*certificate, m_keyContainer);
    if (!newEmpty && !m_signerCert.isNull() && certificate->equal(m_signerCert)) {
        // The same certificate: only one that reaches its private key replaces one that does not.
        if (!certificate->get_HasPrivateKey(false) || m_signerCert.get_HasPrivateKey(false)) return;
    }
    m_signerCert = newEmpty ? CCertificate() : *certificate;
    chooseHashAlgorithm();
}

void CSignSettings::CImpl::chooseHashAlgorithm() {
    CLock lock(this);
    if (!hasContext(m_signerCert)) {
        m_possibleHashAlgorithms.clear();
        return;
    }
    Vsk::Utils::CArray<CAString> oids;
    m_signerCert.getPossibleHashAlgorithms(oids);
    CAlgorithmArray possible;
    for (const CAString& oid : oids)
        if (CRefPtr<CAlgorithm> algorithm = FindAlgorithm(oid, -1)) possible.add(algorithm);
    m_possibleHashAlgorithms = possible;
    if (!m_hashAlgorithm.getLength() || !FindAlgorithmInArr(m_possibleHashAlgorithms, m_hashAlgorithm)) {
        if (m_possibleHashAlgorithms.isEmpty())
            m_hashAlgorithm = CAString();
        else if (FindAlgorithmInArr(m_possibleHashAlgorithms, CAString(PreferredHashOid)))
            m_hashAlgorithm = CAString(PreferredHashOid);
        else
            m_hashAlgorithm = m_possibleHashAlgorithms[0]->m_oid;
    }
    clearRememberedUntil();
}

void CSignSettings::CImpl::putKeyContainer(const CKeyContainer* container) {
    if (!container || container->isNull()) {
        m_keyContainer = CKeyContainer();
        clearRememberedUntil();
        return;
    }
    // Everything that can fail is read and checked first, so that a container that does not fit
    // leaves the object as it was.
    CKeyContainer held(*container);
    if (!m_signerCert.isNull()) checkCertMatchesContainer(m_signerCert, held);
    CAlgorithmArray providerHashes;
    if (CSPInfo* provider = held.get_CSPInfo()) providerHashes = provider->GetAlgorithms(ALG_CLASS_HASH);
    const CCertificate* stored = held.getCertificate();
    const CCertificate storedCertificate = stored ? *stored : CCertificate();

    held.get_CommonSettings().put_Silent(m_commonSettings.get_Silent());
    if (hasPassword()) held.put_KeysetPassword(static_cast<const CPassword&>(*this));

    if (m_possibleHashAlgorithms.isEmpty()) {
        m_possibleHashAlgorithms = providerHashes;
    } else {
        CAlgorithmArray kept;
        for (const CRefPtr<CAlgorithm>& algorithm : m_possibleHashAlgorithms)
            if (algorithm && FindAlgorithmInArr(providerHashes, algorithm->m_oid)) kept.add(algorithm);
        m_possibleHashAlgorithms = kept;
    }
    if (!FindAlgorithmInArr(m_possibleHashAlgorithms, m_hashAlgorithm))
        m_hashAlgorithm = held.getAlgorithmOID(false);
    if (!storedCertificate.isNull()) m_signerCert = storedCertificate;
    m_keyContainer = held;
    clearRememberedUntil();
}

CRememberedPassword* CSignSettings::CImpl::getKeysetPassword() {
    if (!hasPassword()) {
        if (!m_keyContainer.isNull())
            fillRememberedPasswordUpTo(m_keyContainer.get_Name());
        else if (!m_signerCert.isNull())
            fillRememberedPasswordUpTo(m_signerCert.get_ContainerName());
    }
    return this;
}

// ---- Handle
// ------------------------------------------------------------------------------------------------

CSignSettings::CSignSettings() : m_pImpl(CRefPtr<CImpl>::create()) {}

CSignSettings::CSignSettings(const CSignSettings* other) {
    if (other) m_pImpl = other->m_pImpl;
}

CSignSettings::CImpl* CSignSettings::impl() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

namespace {

bool getBit(DWORD flags, DWORD bit) {
    return (flags & bit) != 0;
}

void putBit(DWORD& flags, DWORD bit, bool value) {
    if (value)
        flags |= bit;
    else
        flags &= ~bit;
}

}  // namespace

bool CSignSettings::get_Detached() const {
    return getBit(impl()->m_flags, FlagDetached);
}
void CSignSettings::put_Detached(bool value) {
    putBit(impl()->m_flags, FlagDetached, value);
}
bool CSignSettings::get_IncludeDateTime() const {
    return getBit(impl()->m_flags, FlagIncludeDateTime);
}
void CSignSettings::put_IncludeDateTime(bool value) {
    putBit(impl()->m_flags, FlagIncludeDateTime, value);
}
bool CSignSettings::get_IncludeSignerCert() const {
    return getBit(impl()->m_flags, FlagIncludeSignerCert);
}
void CSignSettings::put_IncludeSignerCert(bool value) {
    putBit(impl()->m_flags, FlagIncludeSignerCert, value);
}
bool CSignSettings::get_IncludeTimestamp() const {
    return getBit(impl()->m_flags, FlagIncludeTimestamp);
}
void CSignSettings::put_IncludeTimestamp(bool value) {
    putBit(impl()->m_flags, FlagIncludeTimestamp, value);
}
bool CSignSettings::get_AutoBindWithKeyContainer() const {
    return getBit(impl()->m_flags, FlagAutoBindWithKeyContainer);
}
bool CSignSettings::get_HSMToCSPOptimization() const {
    return getBit(impl()->m_flags, FlagHSMToCSPOptimization);
}
bool CSignSettings::get_ClearSignature() const {
    return getBit(impl()->m_flags, FlagClearSignature);
}

const CCertificate* CSignSettings::get_SignerCert() const {
    const CImpl* p = impl();
    return p->m_signerCert.isNull() ? nullptr : &p->m_signerCert;
}

void CSignSettings::put_SignerCert(const CCertificate* certificate) {
    CImpl* p = impl();
    CLogScope scope("Vsk::PKI::CSignSettings::put_SignerCert", 4, Vsk::Utils::ToWString(certificate));
    p->putSignerCert(certificate);
}

const CKeyContainer* CSignSettings::get_KeyContainer() const {
    const CImpl* p = impl();
    return p->m_keyContainer.isNull() ? nullptr : &p->m_keyContainer;
}

void CSignSettings::put_KeyContainer(const CKeyContainer* container) {
    impl()->putKeyContainer(container);
}

CWString CSignSettings::get_HashAlgorithm(bool display) const {
    const CImpl* p = impl();
    if (display) return NameFromOID(p->m_hashAlgorithm);
    return CWString(p->m_hashAlgorithm, Vsk::Utils::CP_PROGRAM);
}

FILETIME* CSignSettings::get_SigningTime() const {
    return impl()->m_signingTime;
}

CCommonSettings CSignSettings::get_CommonSettings() const {
    return impl()->m_commonSettings;
}

CRememberedPassword* CSignSettings::get_KeysetPassword() const {
    if (!m_pImpl) return nullptr;
    return m_pImpl->getKeysetPassword();
}

void applyOptionKeysetPassword(CRememberedPassword* password, const CCommonSettings& common, HCRYPTPROV hProv,
                               DWORD keySpec) {
    Vsk::Utils::CError error;
    if (password->ApplyPassword(hProv, keySpec, false, &error)) return;
    if (password->hasPassword() && common.get_Silent()) throw error;
}

void CSignSettings::ApplyKeysetPassword(HCRYPTPROV hProv, DWORD keySpec) const {
    CImpl* p = impl();
    applyOptionKeysetPassword(p->getKeysetPassword(), p->m_commonSettings, hProv, keySpec);
}

CWString CSignSettings::getText() const {
    CImpl* p = impl();
    const DWORD flags = p->m_flags;
    const bool passwordPresent = p->getKeysetPassword()->hasPassword();
    CAString text = CAString("Detached=") + boolText(flags & FlagDetached) +
                    ", IncludeDateTime=" + boolText(flags & FlagIncludeDateTime) +
                    ", IncludeSignerCert=" + boolText(flags & FlagIncludeSignerCert) +
                    ", IncludeTimestamp=" + boolText(flags & FlagIncludeTimestamp) + ", SignerCert=";
    CWString wide = CWString(text, Vsk::Utils::CP_PROGRAM) + p->m_signerCert.getText();
    text = CAString(", KeysetPassword ") + (passwordPresent ? "present" : "absent") + ", HashAlgorithm " +
           p->m_hashAlgorithm + ", AutoBindWithKeyContainer " +
           boolText(flags & FlagAutoBindWithKeyContainer);
    return wide + CWString(text, Vsk::Utils::CP_PROGRAM);
}

}  // namespace Vsk::PKI
