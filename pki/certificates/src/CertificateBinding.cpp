// The link between a certificate and its private key: finding the key container that holds the key
// (the provider's own search, the tokens presented as providers, then every container of every
// provider that fits the certificate), writing the link as the certificate's key-provider property,
// acquiring the key for an operation, and telling whether a certificate has a key at all.
//
// Everything runs under the certificate's lock. A search that reaches containers opens each of them
// inside its own guard: one unreadable or foreign container never ends the search. A user who cancels
// a password prompt ends a binding with false, never with an error.
#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/pki/CertApi.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/Csp.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/Password.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/pki/ProviderChoice.h>
#include <vsk/pki/ProviderChoiceCert.h>
#include <vsk/pki/Settings.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <cstring>

#include "CertificateImpl.h"
#include "certificateText.h"

namespace Vsk::PKI {

using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CArray;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace {

constexpr DWORD CodeKeyNotFound = 1168;  // ERROR_NOT_FOUND
constexpr DWORD FacilityWin32 = 7;

const char16_t* flagText(bool value) {
    return value ? u"1" : u"0";
}

// A cancel, also as the HRESULT a provider may wrap it in.
bool isCancelCode(int32_t code) {
    const DWORD value = static_cast<DWORD>(code);
    if (value == ERROR_CANCELLED) return true;
    return (value & 0xFFFF0000u) == (0x80000000u | (FacilityWin32 << 16)) &&
           (value & 0xFFFF) == ERROR_CANCELLED;
}

// The user key of a binding, destroyed when the binding ends.
class CUserKey {
public:
    CUserKey() = default;
    CUserKey(const CUserKey&) = delete;
    CUserKey& operator=(const CUserKey&) = delete;
    ~CUserKey() { DestroyKey(m_key); }
    HCRYPTKEY* out() { return &m_key; }
    HCRYPTKEY get() const { return m_key; }

private:
    HCRYPTKEY m_key = 0;
};

}  // namespace

// ---- Container search -----------------------------------------------------------------------------------

bool CCertificate::CImpl::findKeyContainer(const CPassword& password, bool machine, bool silent) {
    CLock lock(this);
    CError listing;
    const CSPInfoArray providers = CSPsFromCertificate(m_context.get(), &listing);
    if (providers.isEmpty()) {
        if (!listing.isEmpty()) throw listing;
        return false;
    }
    const CDataBlob wrap = get_PublicKeyWrap();
    for (const CRefPtr<CSPInfo>& provider : providers) {
        if (!provider || provider->m_name.getLength() == 0) continue;
        CArray<CKeyContainer> containers;
        try {
            CCsp csp(true);
            csp.putCSPInfo(provider.get());
            csp.GetContainerList(containers, machine, nullptr);
        } catch (const CError& error) {
            CertText::log(2, "Vsk::PKI::CCertificate::CImpl::findKeyContainer",
                          provider->m_name + u": " + error.getText());
            continue;
        }
        for (CKeyContainer& container : containers) {
            try {
                container.get_CommonSettings().put_Silent(silent);
                if (container.get_Name().getLength() == 0) continue;
                bool match = false;
                const CCertificate* stored = container.getCertificate();
                if (stored && !stored->isNull()) {
                    match = stored->getImpl()->equal(*this);
                } else {
                    container.put_KeysetPassword(password);
                    const CDataBlob containerWrap = container.get_PublicKeyWrap();
                    match = containerWrap.getSize() != 0 && containerWrap.getSize() == wrap.getSize() &&
                            std::memcmp(containerWrap.getData(), wrap.getData(), wrap.getSize()) == 0;
                }
                if (!match) continue;
                m_values.providerType = provider->m_type;
                m_values.providerName = provider->m_name;
                m_values.containerName = container.get_Name();
                m_values.keySpec = container.get_KeySpec();
                m_values.cspInfo = provider;
                return true;
            } catch (const CError& error) {
                CertText::log(3, "Vsk::PKI::CCertificate::CImpl::findKeyContainer",
                              container.get_Name() + u": " + error.getText());
            } catch (...) {
                CertText::log(3, "Vsk::PKI::CCertificate::CImpl::findKeyContainer",
                              container.get_Name() + u": ...");
            }
        }
    }
    return false;
}

// ---- Binding --------------------------------------------------------------------------------------------

bool CCertificate::CImpl::BindWithKeyContainer(const CPassword& password, bool machine, bool addCertToCont,
                                               bool silent, bool cache) {
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::CCertificate::CImpl::BindWithKeyContainer",
                    u"keysetPasswLen=" + ToWString(static_cast<uint64_t>(password.getProtectedSize())) +
                        u", machineContext=" + flagText(machine) + u", addCertToCont=" +
                        flagText(addCertToCont) + u", silent=" + flagText(silent));
    CLock lock(this);
    if (!m_context) return false;

    bool cancelled = false;
    bool failed = false;
    CError failure;
    CUserKey userKey;
    try {
        const DWORD silentFlag = silent ? CRYPT_FIND_SILENT_KEYSET_FLAG : 0;
        auto keysetFlag = [](bool forMachine) {
            return forMachine ? CRYPT_FIND_MACHINE_KEYSET_FLAG : CRYPT_FIND_USER_KEYSET_FLAG;
        };
        bool found =
            CryptFindCertificateKeyProvInfo(m_context.get(), keysetFlag(machine) | silentFlag, nullptr);
        if (!found) {
            CertText::logError(2, "Vsk::PKI::CCertificate::CImpl::BindWithKeyContainer", u"find private key",
                               GetLastError());
            found =
                CryptFindCertificateKeyProvInfo(m_context.get(), keysetFlag(!machine) | silentFlag, nullptr);
            if (found) machine = !machine;
        }
        if (!found) {
            if (bindOnToken(addCertToCont)) {
                scope.setResult(true);
                return true;
            }
            if (!findKeyContainer(password, machine, silent)) {
                if (!findKeyContainer(password, !machine, silent))
                    throw CError("Закрытый ключ сертификата не найден", CodeKeyNotFound);
                machine = !machine;
            }
            if (!setKeyProvInfo(m_values.providerType, m_values.providerName, m_values.containerName,
                                m_values.keySpec, machine, silent, cache))
                throw CError("Ошибка установки связи сертификата с ключевым контейнером!",
                             Vsk::Utils::LastErrorCode);
        }

        HCRYPTPROV handle = 0;
        DWORD keySpec = 0;
        BOOL mustFree = FALSE;
        if (!AcquireCertificatePrivateKey(m_context.get(), silent ? CRYPT_ACQUIRE_SILENT_FLAG : 0, &handle,
                                          &keySpec, &mustFree))
            throw CError("Закрытый ключ сертификата отсутствует или недоступен", Vsk::Utils::LastErrorCode);
        m_values.keySpec = keySpec;
        const CHoldCSP hold(handle, mustFree != FALSE, nullptr);

        if (password.hasPassword()) {
            CPassword pin(password);
            CError applied;
            if (!pin.ApplyPassword(handle, keySpec, false, &applied)) throw applied;
        }
        if (addCertToCont) {
            if (!GetUserKey(handle, keySpec, userKey.out()))
                throw CError("Ошибка получения ключей!", Vsk::Utils::LastErrorCode);
            if (!SetKeyParam(userKey.get(), KP_CERTIFICATE, m_context->pbCertEncoded, 0))
                throw CError("Ошибка добавления сертификата в ключевой контейнер!",
                             Vsk::Utils::LastErrorCode);
        }

        DWORD type = 0;
        CWString providerName;
        CWString containerName;
        CError readBack;
        if (!GetCSPParams(handle, &type, &providerName, &containerName, &readBack)) throw readBack;
        if (!setKeyProvInfo(type, providerName, containerName, keySpec, machine, silent, cache))
            throw CError("Ошибка установки связи сертификата с ключевым контейнером!",
                         Vsk::Utils::LastErrorCode);
    } catch (const CError& error) {
        if (isCancelCode(error.getCode())) {
            cancelled = true;
        } else {
            failed = true;
            failure = error;
        }
    } catch (...) {
        if (GetLastError() == ERROR_CANCELLED) {
            cancelled = true;
        } else {
            failed = true;
            failure = CError("...", Vsk::Utils::LastErrorCode);
        }
    }
    if (cancelled) {
        scope.setResult(false);
        return false;
    }
    if (failed) {
        CWString text;
        try {
            text = getText();
        } catch (...) {
        }
        failure.appendText(u", " + text);
        throw CCryptError(failure);
    }
    scope.setResult(true);
    return true;
}

// ---- Acquiring the private key ---------------------------------------------------------------------------

CHoldCSP CCertificate::CImpl::AcquirePrivateKey(DWORD* keySpecOut, DWORD flags, bool autoBind) {
    CLogScope scope;
    if (scope.getLevel() >= 4) {
        CWString text;
        try {
            text = getText();
        } catch (...) {
        }
        scope.enter("Vsk::PKI::CCertificate::CImpl::AcquirePrivateKey",
                    u"flags=" + ToWString(static_cast<uint64_t>(flags)) + u", autoBindWithKeyCont=" +
                        flagText(autoBind) + u", " + text);
    }
    CLock lock(this);
    if (!m_context) throw CCryptError::CCryptErrorTextA(0, "Сертификат не задан", Vsk::Utils::NoErrorCode);
    if (m_values.cacheAcquisition) flags |= CRYPT_ACQUIRE_CACHE_FLAG;

    HCRYPTPROV handle = 0;
    DWORD keySpec = 0;
    BOOL mustFree = FALSE;
    if (!AcquireCertificatePrivateKey(m_context.get(), flags, &handle, &keySpec, &mustFree)) {
        const DWORD code = GetLastError();
        CertText::logError(2, "Vsk::PKI::CCertificate::CImpl::AcquirePrivateKey", u"AcquireCertPrivateKey",
                           code);
        if (!autoBind) throw CCryptError(101605, u", " + getText(), code);
        m_values.containerName = CWString();
        const bool bound =
            BindWithKeyContainer(CPassword(), false, false, (flags & CRYPT_ACQUIRE_SILENT_FLAG) != 0, false);
        // A cancelled binding keeps the cancel as the error's code, so that callers treat it as one.
        if (!bound) throw CCryptError(101605, u", " + getText(), static_cast<DWORD>(ERROR_CANCELLED));
        // One more try; when the key is still out of reach the caller gets an empty holder.
        if (!AcquireCertificatePrivateKey(m_context.get(), flags, &handle, &keySpec, &mustFree)) {
            CertText::logError(2, "Vsk::PKI::CCertificate::CImpl::AcquirePrivateKey",
                               u"AcquireCertPrivateKey", GetLastError());
            return CHoldCSP();
        }
    }
    CHoldCSP hold(handle, mustFree != FALSE, nullptr);
    m_values.keySpec = keySpec;
    if (m_values.providerType == 0 || m_values.providerName.getLength() == 0 ||
        m_values.containerName.getLength() == 0) {
        CError readBack;
        if (!GetCSPParams(handle, &m_values.providerType, &m_values.providerName, &m_values.containerName,
                          &readBack))
            throw CCryptError(readBack);
    }
    CRefPtr<CSPInfo> description = FindCSPInfo(m_values.providerType, m_values.providerName);
    if (!description) {
        try {
            description = CRefPtr<CSPInfo>(hold.get_CSPInfo());
        } catch (const CError& error) {
            CertText::log(2, "Vsk::PKI::CCertificate::CImpl::AcquirePrivateKey", error.getText());
        }
    }
    m_values.cspInfo = description;
    hold.getImpl()->m_cspInfo = description;
    if (Vsk::InternalUtils::GetLogLevel() >= 4)
        CertText::log(4, "Vsk::PKI::CCertificate::CImpl::AcquirePrivateKey",
                      u"hCryptProv=" + ToWString(static_cast<uint64_t>(handle)) + u", keySpec=" +
                          ToWString(static_cast<uint64_t>(keySpec)) + u", providerType=" +
                          ToWString(static_cast<uint64_t>(m_values.providerType)) + u", providerName=\"" +
                          m_values.providerName + u"\", containerName=\"" + m_values.containerName + u"\"");
    if (keySpecOut) *keySpecOut = keySpec;
    return hold;
}

// ---- Whether there is a private key ---------------------------------------------------------------------

bool CCertificate::CImpl::hasPrivateKey(bool verify) {
    CLock lock(this);
    loadKeyProvInfo();
    if (m_values.hasKeyLink) {
        if (!verify) return true;
        try {
            return AcquirePrivateKey(nullptr, CRYPT_ACQUIRE_SILENT_FLAG, false).isAcquired();
        } catch (...) {
            return false;
        }
    }
    if (!m_context) return false;
    try {
        return hasTokenKey(verify);
    } catch (...) {
        return false;
    }
}

// ---- Tokens presented as providers ----------------------------------------------------------------------
//
// Tokens take part only while they are presented as providers; the catalogue then holds one
// description per token. Without tokens every function below ends at once.

namespace {

// The catalogue's providers that present a token; empty while tokens are not presented.
CSPInfoArray tokenProviders() {
    CSPInfoArray tokens;
    if (!getTokenAsCsp()) return tokens;
    CError listing;
    const CSPInfoArray providers = CSPsFromSupportedOIDs(COidSet(), &listing);
    for (const CRefPtr<CSPInfo>& provider : providers)
        if (provider && provider->isToken()) tokens.add(provider);
    return tokens;
}

}  // namespace

bool CCertificate::CImpl::bindOnToken(bool addCertToCont) {
    CLock lock(this);
    const CDataBlob der(m_context->pbCertEncoded, m_context->cbCertEncoded, true);
    for (const CRefPtr<CSPInfo>& provider : tokenProviders()) {
        const Vsk::PKCS11::CToken& token = provider->getToken();
        if (!token.findCertificate(der)) continue;
        m_values.tokenKeyPair = Vsk::PKCS11::CTokenKeyPair(&token);
        if (addCertToCont) throw Vsk::Utils::NotImplementedError(__FILE__, __LINE__);
        return true;
    }
    return false;
}

bool CCertificate::CImpl::hasTokenKey(bool verify) {
    CLock lock(this);
    const CDataBlob publicKey = get_PublicKey();
    if (!m_values.tokenKeyPair.isEmpty()) {
        if (!verify) return true;
        const Vsk::PKCS11::CToken* token = m_values.tokenKeyPair.getToken();
        if (token && token->isLoggedIn() && m_values.tokenKeyPair.getPrivKeyHandle()) return true;
        if (token && publicKey.getSize() && token->findPubKey(publicKey)) return true;
    }
    const CDataBlob der(m_context->pbCertEncoded, m_context->cbCertEncoded, true);
    for (const CRefPtr<CSPInfo>& provider : tokenProviders()) {
        const Vsk::PKCS11::CToken& token = provider->getToken();
        if ((!verify && token.findCertificate(der)) || (publicKey.getSize() && token.findPubKey(publicKey))) {
            m_values.tokenKeyPair = Vsk::PKCS11::CTokenKeyPair(&token);
            return true;
        }
    }
    return false;
}

Vsk::PKCS11::CTokenKeyPair CCertificate::CImpl::AcquireTokenPrivateKey(const CPassword& pin) {
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::CCertificate::CImpl::AcquirePrivateKey",
                    ToWString(static_cast<uint64_t>(pin.getProtectedSize())));
    CLock lock(this);
    const CDataBlob publicKey = get_PublicKey();
    if (publicKey.getSize() == 0)
        throw CError("В сертификате отсутствует значение публичного ключа", Vsk::Utils::NoErrorCode);
    CError listing;
    const CSPInfoArray providers = CSPsFromSupportedOIDs(COidSet(), &listing);
    if (providers.isEmpty() && !listing.isEmpty()) throw listing;
    bool loginFailed = false;
    CError loginError;
    for (const CRefPtr<CSPInfo>& provider : providers) {
        if (!provider || !provider->isToken()) continue;
        const Vsk::PKCS11::CToken& token = provider->getToken();
        const CK_OBJECT_HANDLE publicObject = token.findPubKey(publicKey);
        if (!publicObject) continue;
        if (!token.isLoggedIn()) {
            try {
                CPassword copy(pin);
                CAString text = copy.getPassword();
                token.loginAnsi(text, false);
            } catch (const CError& error) {
                loginFailed = true;
                loginError = error;
                continue;
            }
        }
        const CK_OBJECT_HANDLE privateObject = token.findPrivByPubKey(publicObject);
        if (privateObject) return Vsk::PKCS11::CTokenKeyPair(&token, publicObject, privateObject);
    }
    if (loginFailed) throw loginError;
    return Vsk::PKCS11::CTokenKeyPair();
}

// ---- Handle ---------------------------------------------------------------------------------------------

bool CCertificate::BindWithKeyContainer(const CPassword& password, bool machineContext, bool addCertToCont,
                                        bool silent, bool cache) {
    CImpl* p = impl();
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::CCertificate::BindWithKeyContainer",
                    ToWString(static_cast<uint64_t>(password.getProtectedSize())) + u"," +
                        flagText(machineContext) + u"," + flagText(addCertToCont) + u"," + flagText(silent));
    CLock lock(p);
    if (!p->m_context) throw CCryptError::CCryptErrorTextA(0, "Сертификат не задан", Vsk::Utils::NoErrorCode);
    const bool bound = p->BindWithKeyContainer(password, machineContext, addCertToCont, silent, cache);
    scope.setResult(bound);
    return bound;
}

CHoldCSP CCertificate::AcquirePrivateKey(DWORD* keySpec, DWORD flags, bool autoBindWithKeyCont) const {
    CImpl* p = impl();
    CLock lock(p);
    return p->AcquirePrivateKey(keySpec, flags, autoBindWithKeyCont);
}

bool CCertificate::get_HasPrivateKey(bool verify) const {
    CImpl* p = impl();
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::CCertificate::get_HasPrivateKey",
                    CWString(u"checkOnlyLink=") + flagText(!verify));
    CLock lock(p);
    const bool has = p->hasPrivateKey(verify);
    if (scope.getLevel() >= 3) scope.setResult(has);
    return has;
}

Vsk::PKCS11::CTokenKeyPair CCertificate::AcquireTokenPrivateKey(const CPassword& pin) const {
    CImpl* p = impl();
    CLock lock(p);
    return p->AcquireTokenPrivateKey(pin);
}

void checkCertMatchesContainer(const CCertificate& certificate, const CKeyContainer& container) {
    if (certificate.isNull() || !certificate.get_CertContext() || container.isNull()) return;
    const CDataBlob containerKey = container.get_PublicKey();
    const CDataBlob certificateKey = certificate.get_PublicKey();
    if (containerKey.getSize() == certificateKey.getSize() &&
        std::memcmp(containerKey.getData(), certificateKey.getData(), containerKey.getSize()) == 0)
        return;
    CWString text = u"Сертификат (" + certificate.getText() + u") не соответствует ключевому контейнеру \"" +
                    container.get_Name() + u"\"";
    if (const CCertificate* held = container.getCertificate())
        if (!held->isNull()) text = text + u", в котором находится сертификат: " + held->getText();
    throw CError(text + u".", Vsk::Utils::NoErrorCode);
}

}  // namespace Vsk::PKI
