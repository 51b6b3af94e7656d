// Key containers: initialisation, the lazily read names, key and certificate, the public key, the
// provider's text parameters, the parent window and the password. The provider context and the user
// key are held only for one operation; installation and creation are in KeyContainerInstall.cpp.
#include "KeyContainerImpl.h"

#include <vsk/asn1/asn1.h>
#include <vsk/pkcs11/Mechanisms.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/CryptoApi.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <cstring>

namespace Vsk::PKI {

using Vsk::InternalUtils::CLogScope;
using Vsk::InternalUtils::GetLogLevel;
using Vsk::InternalUtils::LogAt;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;
using Vsk::Utils::GetSystemErrorText;
using Vsk::Utils::ToWString;

namespace {

constexpr DWORD FirstStrParam = 92;
constexpr DWORD LastStrParam = 95;

// "<name> <text> <system text>" at level 1 for a failure with a non-zero last error.
void logFailure(const char16_t* name, const char16_t* text, DWORD code) {
    if (code && GetLogLevel() >= 1) LogAt(1, CWString(name) + u" " + text + u" " + GetSystemErrorText(code));
}

}  // namespace

// ---- The implementation -------------------------------------------------------------------------------

CKeyContainer::CImpl::CImpl() = default;

CKeyContainer::CImpl::~CImpl() {
    reset(false);
}

void CKeyContainer::CImpl::reset(bool keepPassword) {
    CLock lock(this);
    releaseHeldContext();
    m_name = CWString();
    m_uniqueName = CWString();
    m_provider = CRefPtr<CSPInfo>();
    m_keySpec = 0;
    m_keyLength = 0;
    m_keyAlg = 0;
    m_publicKeyInfo.clear();
    m_publicKeyWrap.clear();
    m_storedCertificate = CCertificate();
    m_tokenKeyPair = Vsk::PKCS11::CTokenKeyPair();
    // What was read or searched for the previous container must not answer for the next one.
    m_flags &= ~(InfoRead | PersonalStoreSearched);
    m_personalCertificate = CCertificate();
    m_permissions = 0;
    for (auto& p : m_strParams) p = CAString();
    if (!keepPassword) putPassword(CWString());
}

void CKeyContainer::CImpl::releaseHeldContext() {
    CLock lock(this);
    DestroyKey(m_userKey);
    m_holdCSP = CHoldCSP();
}

CWString CKeyContainer::CImpl::description() const {
    return u"ключевой контейнер: \"" + m_name + u"\", " + (m_provider ? m_provider->toString() : CWString());
}

CHoldCSP CKeyContainer::CImpl::getHoldCSP() {
    CLock lock(this);
    const DWORD wanted =
        (IsSilent(m_settings) ? CRYPT_SILENT : 0) | ((m_flags & MachineKeyset) ? CRYPT_MACHINE_KEYSET : 0);
    if (m_holdCSP.isAcquired()) {
        if ((m_acquireFlags & ~CRYPT_NEWKEYSET) == wanted) return m_holdCSP;
        releaseHeldContext();
    }
    if (!m_provider) throw CError(u"Не задан криптопровайдер", Vsk::Utils::NoErrorCode);
    if (!m_name.getLength()) throw CError(u"Не задано имя ключевого контейнера", Vsk::Utils::NoErrorCode);
    // The unique name opens exactly this container when it is known.
    const CWString& name = m_uniqueName.getLength() ? m_uniqueName : m_name;
    CHoldCSP held = m_provider->acquireContext(name.c_str(), wanted);
    if (!held.isAcquired())
        throw CError(u"Ошибка получения контекста криптопровайдера, " + description() + u"!", GetLastError());
    m_acquireFlags = wanted;
    if (hasPassword()) {
        // Our provider takes the container's password through either PIN parameter, so the key
        // spec stays unknown and both keys are still tried.
        ApplyPassword(held.get_hCryptProv(), m_keySpec ? m_keySpec : AT_KEYEXCHANGE, true, nullptr);
    }
    return held;
}

void CKeyContainer::CImpl::openUserKey() {
    CLock lock(this);
    m_holdCSP = getHoldCSP();
    if (m_userKey) return;
    const HCRYPTPROV prov = m_holdCSP.get_hCryptProv();
    if (m_keySpec == 0) {
        for (DWORD spec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
            if (GetUserKey(prov, spec, &m_userKey)) {
                m_keySpec = spec;
                return;
            }
        }
    } else if (GetUserKey(prov, m_keySpec, &m_userKey)) {
        return;
    }
    throw CError(u"Ошибка получения ключей, " + description() + u"!", GetLastError());
}

void CKeyContainer::CImpl::fillInfo() {
    CLock lock(this);
    if (m_flags & InfoRead) return;
    m_flags |= InfoRead;
    if (isToken()) {
        const Vsk::PKCS11::CToken* token = m_tokenKeyPair.getToken();
        const CK_OBJECT_HANDLE key = m_tokenKeyPair.getPubKeyHandle();
        const CDataBlob id = token->getAttributeValue(key, CKA_ID);
        const CDataBlob value = token->getAttributeValue(key, CKA_VALUE);
        m_keyLength = value.getSize() * 8;
        const CDataBlob der = m_tokenKeyPair.getCertificate();
        if (der.getSize()) {
            CCertificate certificate;
            certificate.create();
            certificate.LoadFromBlob(der);
            m_storedCertificate = certificate;
        }
        m_uniqueName = token->attributeToString(id);
        static const struct {
            ALG_ID digest, key;
            const char *hash, *publicKey;
        } table[] = {
            {0x801E, 0x2E23, "1.2.643.2.2.9", "1.2.643.2.2.19"},
            {0x8022, 0x2E3D, "1.2.643.7.1.1.2.3", "1.2.643.7.1.1.1.2"},
            {0x8021, 0x2E49, "1.2.643.7.1.1.2.2", "1.2.643.7.1.1.1.1"},
        };
        const ALG_ID digest = Vsk::PKCS11::PKCS11AlgToWinCryptAlg(m_tokenKeyPair.getDigestAlg());
        for (const auto& row : table) {
            if (row.digest != digest) continue;
            m_keyAlg = row.key;
            m_strParams[0] = CAString(row.hash);
            m_strParams[2] = CAString(row.publicKey);
            m_strParams[1] = CAString("1.2.643.2.2.21");
        }
        return;
    }
    m_holdCSP = getHoldCSP();
    const HCRYPTPROV prov = m_holdCSP.get_hCryptProv();
    DWORD error = 0;
    if (!m_name.getLength()) {
        m_name = CWString(GetProvStrParam(prov, PP_CONTAINER, &error), 1251);
        if (!m_name.getLength()) {
            releaseHeldContext();
            throw CCryptError(200102, error, 0);
        }
    }
    if (!m_uniqueName.getLength()) {
        m_uniqueName = CWString(GetProvStrParam(prov, PP_UNIQUE_CONTAINER, &error), 1251);
        if (!m_uniqueName.getLength()) {
            releaseHeldContext();
            throw CCryptError(200106, error, 0);
        }
    }
    try {
        openUserKey();
        DWORD value = 0, size = sizeof value;
        if (GetKeyParam(m_userKey, KP_KEYLEN, reinterpret_cast<BYTE*>(&value), &size, 0))
            m_keyLength = value;
        else
            logFailure(u"PKI::CKeyContainer::CImpl::fillInfo", u"get KP_KEYLEN", GetLastError());
        size = sizeof value;
        if (GetKeyParam(m_userKey, KP_ALGID, reinterpret_cast<BYTE*>(&value), &size, 0))
            m_keyAlg = value;
        else
            logFailure(u"PKI::CKeyContainer::CImpl::fillInfo", u"get KP_ALGID", GetLastError());
        const CDataBlob der = GetKeyParam(m_userKey, KP_CERTIFICATE, &error);
        if (der.getSize()) {
            CCertificate certificate;
            certificate.create();
            certificate.LoadFromBlob(der);
            certificate.setKeyProvInfo(m_provider->m_type, m_provider->m_name, m_uniqueName, m_keySpec,
                                       (m_flags & MachineKeyset) != 0, true, false);
            m_storedCertificate = certificate;
        } else if (GetLogLevel() >= 1) {
            LogAt(1, CWString(u"PKI::CKeyContainer::CImpl::fillInfo ") +
                         CCryptError(200205, error, 0).getText());
        }
    } catch (const CError& e) {
        if (GetLogLevel() >= 2) LogAt(2, CWString(u"PKI::CKeyContainer::CImpl::fillInfo ") + e.getText());
    }
    releaseHeldContext();
}

DWORD CKeyContainer::CImpl::getPermissions() {
    CLock lock(this);
    if (isToken()) return 0;
    if (m_permissions) return m_permissions;
    struct Release {
        CImpl* p;
        ~Release() { p->releaseHeldContext(); }
    } release{this};
    openUserKey();
    DWORD value = 0, size = sizeof value;
    if (!GetKeyParam(m_userKey, KP_PERMISSIONS, reinterpret_cast<BYTE*>(&value), &size, 0))
        throw CError("get permissions of the key", Vsk::Utils::LastErrorCode);
    m_permissions = value;
    return m_permissions;
}

CAString CKeyContainer::CImpl::getStrParam(DWORD param) {
    CLock lock(this);
    if (param < FirstStrParam || param > LastStrParam)
        throw CError(u"Поддержка параметра " + ToWString(param), E_NOTIMPL);
    CAString& cached = m_strParams[param - FirstStrParam];
    // A token's parameters come from its key's objects; a token has no provider context.
    if (isToken()) {
        fillInfo();
        return cached;
    }
    if (!cached.getLength()) {
        CHoldCSP held = getHoldCSP();
        cached = GetProvStrParam(held.get_hCryptProv(), param);
    }
    return cached;
}

// ---- The handle
// --------------------------------------------------------------------------------------------

CKeyContainer::CKeyContainer(bool create) {
    if (create) m_pImpl = CRefPtr<CImpl>::create();
}
CKeyContainer::CKeyContainer(const CKeyContainer& other) = default;
CKeyContainer& CKeyContainer::operator=(const CKeyContainer& other) = default;
CKeyContainer::~CKeyContainer() = default;

void CKeyContainer::Initialize(const CWString& name, const CWString* uniqueName, CSPInfo* provider,
                               bool machineKeyset) {
    m_pImpl.checkCreated();
    CWString args = name;
    if (uniqueName) args += u", " + *uniqueName;
    if (provider) args += u", " + provider->toString();
    CLogScope scope("Vsk::PKI::CKeyContainer::CImpl::Initialize", 4, args);
    CImpl* p = m_pImpl.get();
    CLock lock(p);
    p->reset(false);
    p->m_name = name;
    if (uniqueName) p->m_uniqueName = *uniqueName;
    p->m_provider = CRefPtr<CSPInfo>(provider);
    if (machineKeyset)
        p->m_flags |= CImpl::MachineKeyset;
    else
        p->m_flags &= ~CImpl::MachineKeyset;
}

void CKeyContainer::InitByToken(CSPInfo* provider, CK_OBJECT_HANDLE publicKeyObject) {
    m_pImpl.checkCreated();
    CLogScope scope("Vsk::PKI::CKeyContainer::CImpl::InitByToken", 4);
    CImpl* p = m_pImpl.get();
    CLock lock(p);
    p->reset(false);
    p->m_provider = CRefPtr<CSPInfo>(provider);
    if (!provider || !provider->isToken()) throw Vsk::Utils::InternalError(__FILE__, __LINE__);
    const Vsk::PKCS11::CToken& token = provider->getToken();
    p->m_tokenKeyPair = Vsk::PKCS11::CTokenKeyPair(&token);
    p->m_name = token.attributeToString(token.getAttributeValue(publicKeyObject, CKA_LABEL));
    token.getTokenInfo();
    p->m_tokenKeyPair.setPubKey(publicKeyObject);
}

CWString CKeyContainer::get_Name() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_name;
}

CWString CKeyContainer::get_UniqueName() const {
    m_pImpl.checkCreated();
    CLock lock(m_pImpl.get());
    if (!m_pImpl->m_uniqueName.getLength()) m_pImpl->fillInfo();
    return m_pImpl->m_uniqueName;
}

CSPInfo* CKeyContainer::get_CSPInfo() const {
    m_pImpl.checkCreated();
    if (!m_pImpl->m_provider) m_pImpl->m_provider.checkCreated();
    return m_pImpl->m_provider.get();
}

DWORD CKeyContainer::get_ProvType() const {
    return get_CSPInfo()->m_type;
}

CWString CKeyContainer::get_ProvName() const {
    return get_CSPInfo()->m_name;
}

DWORD CKeyContainer::get_KeySpec() const {
    m_pImpl.checkCreated();
    m_pImpl->fillInfo();
    return m_pImpl->m_keySpec;
}

DWORD CKeyContainer::get_KeyLength() const {
    m_pImpl.checkCreated();
    m_pImpl->fillInfo();
    return m_pImpl->m_keyLength;
}

ALG_ID CKeyContainer::get_KeyAID() const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    CLock lock(p);
    // A token's key is described by its objects: there is no provider context to ask.
    if (p->isToken()) {
        p->fillInfo();
        return p->m_keyAlg;
    }
    if (p->m_keyAlg == 0) {
        try {
            p->openUserKey();
            DWORD value = 0, size = sizeof value;
            if (GetKeyParam(p->m_userKey, KP_ALGID, reinterpret_cast<BYTE*>(&value), &size, 0))
                p->m_keyAlg = value;
            else
                logFailure(u"PKI::CKeyContainer::CImpl::get_KeyAID", u"get KP_ALGID", GetLastError());
        } catch (const CError& e) {
            logFailure(u"PKI::CKeyContainer::CImpl::get_KeyAID", u"get KP_ALGID", e.getCode());
        }
    }
    return p->m_keyAlg;
}

bool CKeyContainer::isExchangeKey() const {
    m_pImpl.checkCreated();
    if (!m_pImpl->m_provider) return false;
    switch (m_pImpl->m_provider->m_type) {
        case 75:
            return get_KeyAID() == 0xAA24;
        case 80:
            return get_KeyAID() == 0xAA46;
        case 81:
            return get_KeyAID() == 0xAA42;
        default:
            return true;
    }
}

bool CKeyContainer::isExportable() const {
    m_pImpl.checkCreated();
    return (m_pImpl->getPermissions() & CRYPT_EXPORT) != 0;
}

CDataBlob CKeyContainer::get_PublicKeyWrap() const {
    m_pImpl.checkCreated();
    CLogScope scope("Vsk::PKI::CKeyContainer::get_PublicKeyWrap", 4);
    CImpl* p = m_pImpl.get();
    if (p->isToken()) return CDataBlob();
    CLock lock(p);
    struct Release {
        CImpl* p;
        ~Release() { p->releaseHeldContext(); }
    } release{p};
    p->openUserKey();
    if (!p->m_publicKeyWrap.getSize()) {
        CDataBlob blob;
        if (!ExportKey(p->m_userKey, 0, PUBLICKEYBLOB, 0, &blob))
            throw CError(u"Экспорт публичного ключа", Vsk::Utils::LastErrorCode);
        p->m_publicKeyWrap = blob;
    }
    return p->m_publicKeyWrap.clone();
}

CDataBlob CKeyContainer::get_PublicKey() const {
    m_pImpl.checkCreated();
    CLogScope scope("Vsk::PKI::CKeyContainer::get_PublicKey", 4);
    CImpl* p = m_pImpl.get();
    if (p->isToken())
        return p->m_tokenKeyPair.getToken()->getAttributeValue(p->m_tokenKeyPair.getPubKeyHandle(),
                                                               CKA_VALUE);
    const CDataBlob wrap = get_PublicKeyWrap();
    const BYTE* b = wrap.getData();
    const size_t size = wrap.getSize();
    DWORD magic = 0;
    if (size >= 16) std::memcpy(&magic, b + 8, sizeof magic);
    if (magic == GR3410_1_MAGIC) {
        try {
            Vsk::ASN1::CSequence params;
            const size_t left = params.decode(CDataBlob(b + 16, size - 16, true));
            return CDataBlob(b + size - left, left, true);
        } catch (const CError&) {
            // Not parameters after all: taken as any other blob below.
        }
    }
    size_t skip = 0;
    if (size && b[0] == PUBLICKEYBLOB) {
        skip = 8;
        DWORD rsa = 0;
        if (size >= 12) std::memcpy(&rsa, b + 8, sizeof rsa);
        if (rsa == RSA1_MAGIC) skip += 12;
    }
    return skip <= size ? CDataBlob(b + skip, size - skip, true) : CDataBlob();
}

CAString CKeyContainer::getAlgorithmOID(bool fromProvider) const {
    m_pImpl.checkCreated();
    if (fromProvider) return m_pImpl->getStrParam(FirstStrParam);
    CSPInfo* provider = get_CSPInfo();
    const CAlgorithmArray hashes = provider->GetAlgorithms(ALG_CLASS_HASH);
    for (size_t i = 0; i < hashes.getCount(); ++i)
        if (hashes[i]->m_oid.getLength()) return hashes[i]->m_oid;
    return CAString();
}

CHoldCSP CKeyContainer::get_hCryptProv() const {
    m_pImpl.checkCreated();
    CLogScope scope("Vsk::PKI::CKeyContainer::get_hCryptProv", 4);
    CHoldCSP held = m_pImpl->getHoldCSP();
    if (scope.isEntered()) scope.m_result = ToWString(static_cast<uint64_t>(held.get_hCryptProv()));
    return held;
}

void CKeyContainer::put_ParentWnd(HWND window) {
    m_pImpl.checkCreated();
    CLogScope scope("Vsk::PKI::CKeyContainer::put_ParentWnd", 4,
                    ToWString(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(window)), 16));
    CImpl* p = m_pImpl.get();
    CLock lock(p);
    p->m_parentWindow = window;
    if (p->m_holdCSP.isAcquired() && !SetProvParam(p->m_holdCSP.get_hCryptProv(), PP_CLIENT_HWND,
                                                   reinterpret_cast<const BYTE*>(&window), 0))
        logFailure(u"PKI::CKeyContainer::CImpl::putParentWnd", u"Ошибка установки родительского окна",
                   GetLastError());
}

void CKeyContainer::put_KeysetPassword(const CPassword& password) {
    m_pImpl.checkCreated();
    CLogScope scope("Vsk::PKI::CKeyContainer::put_KeysetPassword", 4,
                    ToWString(static_cast<uint64_t>(password.getProtectedSize())));
    CImpl* p = m_pImpl.get();
    CLock lock(p);
    p->copyFrom(password);
    if (p->isToken()) {
        CAString pin = p->getPassword();
        if (pin.getLength())
            p->m_tokenKeyPair.getToken()->loginAnsi(pin);
        else
            p->m_tokenKeyPair.getToken()->logout();
        pin.zeroFill();
        return;
    }
    if (!p->m_holdCSP.isAcquired()) return;
    // The key type is left unset (our provider takes either PIN parameter), so both keys are still
    // tried when the container is read.
    CError error(Vsk::Utils::NoErrorCode);
    if (!p->ApplyPassword(p->m_holdCSP.get_hCryptProv(), p->m_keySpec ? p->m_keySpec : AT_KEYEXCHANGE, true,
                          &error) &&
        p->hasPassword() && IsSilent(p->m_settings))
        throw error;
}

void CKeyContainer::put_KeysetPassword(CWString& text) {
    m_pImpl.checkCreated();
    CPassword password;
    password.putPassword(text);
    text.zeroFill();
    put_KeysetPassword(password);
}

bool CKeyContainer::hasKeysetPassword() const {
    m_pImpl.checkCreated();
    return m_pImpl->hasPassword();
}

CPassword* CKeyContainer::get_KeysetPassword() const {
    return m_pImpl ? static_cast<CPassword*>(m_pImpl.get()) : nullptr;
}

const CCertificate* CKeyContainer::getCertificate() const {
    m_pImpl.checkCreated();
    CLogScope scope("Vsk::PKI::CKeyContainer::CImpl::getCertificate", 4);
    CImpl* p = m_pImpl.get();
    CLock lock(p);
    if (!p->m_storedCertificate.isNull()) return &p->m_storedCertificate;
    if (!p->isToken() && !p->m_name.getLength()) throw CCryptError(200201, Vsk::Utils::LastErrorCode, 0);
    p->fillInfo();
    return p->m_storedCertificate.isNull() ? nullptr : &p->m_storedCertificate;
}

CCommonSettings CKeyContainer::get_CommonSettings() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_settings;
}

Vsk::PKCS11::CTokenKeyPair CKeyContainer::get_TokenKeyPair() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_tokenKeyPair;
}

}  // namespace Vsk::PKI
