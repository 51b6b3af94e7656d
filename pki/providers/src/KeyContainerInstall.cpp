// Key containers and the certificate stores: the container's public-key information, its certificate
// in the personal store, installing a certificate into "MY" bound to the container's key; and making,
// generating and deleting containers.
#include "KeyContainerImpl.h"

#include <vsk/pkcs11/Mechanisms.h>
#include <cstring>
#include <vector>

#include <vsk/pki/Attributes.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/Store.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/certname.h>
#include <vsk/platform/module.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

namespace Vsk::PKI {

using Vsk::InternalUtils::CLogScope;
using Vsk::InternalUtils::GetLogLevel;
using Vsk::InternalUtils::LogAt;
using Vsk::Utils::CArray;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CWString;
using Vsk::Utils::GetSystemErrorText;
using Vsk::Utils::ToWString;

namespace {

constexpr DWORD MaxContainerNameChars = 64;
constexpr UINT MbYesNo = 0x4;
constexpr UINT MbIconQuestion = 0x20;
constexpr int IdYes = 6;

CWString hexBytes(const CDataBlob& blob) {
    static const char16_t digits[] = u"0123456789ABCDEF";
    std::u16string out;
    for (DWORD i = 0; i < blob.getSize(); ++i) {
        if (i) out += u' ';
        out += digits[blob.getData()[i] >> 4];
        out += digits[blob.getData()[i] & 15];
    }
    return CWString(out.c_str());
}

// The message box of the windowing part, when the program has one; without it the question is
// answered "No" (the request stays).
int askYesNo(HWND owner, const CWString& text, const CWString& caption) {
    using MessageBoxFn = int (*)(HWND, LPCWSTR, LPCWSTR, UINT);
    HMODULE user32 = GetModuleHandleW(u"User32.dll");
    auto fn = user32 ? reinterpret_cast<MessageBoxFn>(GetProcAddress(user32, "MessageBoxW")) : nullptr;
    if (!fn) {
        if (GetLogLevel() >= 2)
            LogAt(2, u"PKI::CKeyContainer::CImpl::Delete " + caption + u": нет окна для вопроса");
        return 0;
    }
    return fn(owner, text.c_str(), caption.c_str(), MbYesNo | MbIconQuestion);
}

// Smart-card containers have unique names "SCARD\..." (any case).
bool startsWithScard(const CWString& name) {
    static const char16_t prefix[] = u"scard\\";
    if (name.getLength() < 6) return false;
    for (int i = 0; i < 6; ++i) {
        char16_t c = name.c_str()[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

struct StoreCloser {
    HCERTSTORE store;
    ~StoreCloser() {
        if (store) CertCloseStore(store, 0);
    }
};

}  // namespace

void CKeyContainer::CImpl::fillPublicKeyInfo() {
    CLock lock(this);
    if (!m_name.getLength()) throw CCryptError(200401, Vsk::Utils::LastErrorCode, 0);
    m_publicKeyInfo.clear();
    if (isToken()) {
        // CERT_PUBLIC_KEY_INFO, the OID text, then the key as a DER OCTET STRING.
        const Vsk::PKCS11::CToken* token = m_tokenKeyPair.getToken();
        const CDataBlob value = token->getAttributeValue(m_tokenKeyPair.getPubKeyHandle(), CKA_VALUE);
        const char* oid = "";
        switch (Vsk::PKCS11::PKCS11AlgToWinCryptAlg(m_tokenKeyPair.getDigestAlg())) {
            case 0x801E:
                oid = "1.2.643.2.2.19";
                break;
            case 0x8021:
                oid = "1.2.643.7.1.1.1.1";
                break;
            case 0x8022:
                oid = "1.2.643.7.1.1.1.2";
                break;
            default:
                break;
        }
        std::vector<BYTE> octets{0x04};
        const size_t n = value.getSize();
        if (n < 0x80) {
            octets.push_back(static_cast<BYTE>(n));
        } else {
            octets.push_back(n < 0x100 ? 0x81 : 0x82);
            if (n >= 0x100) octets.push_back(static_cast<BYTE>(n >> 8));
            octets.push_back(static_cast<BYTE>(n));
        }
        octets.insert(octets.end(), value.getData(), value.getData() + n);
        const size_t oidLen = std::strlen(oid) + 1;
        CDataBlob blob(sizeof(CERT_PUBLIC_KEY_INFO) + oidLen + octets.size());
        std::memset(blob.getData(), 0, blob.getSize());
        auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(blob.getData());
        char* text = reinterpret_cast<char*>(blob.getData() + sizeof(CERT_PUBLIC_KEY_INFO));
        std::memcpy(text, oid, oidLen);
        BYTE* key = blob.getData() + sizeof(CERT_PUBLIC_KEY_INFO) + oidLen;
        std::memcpy(key, octets.data(), octets.size());
        info->Algorithm.pszObjId = text;
        info->PublicKey.cbData = static_cast<DWORD>(octets.size());
        info->PublicKey.pbData = key;
        m_publicKeyInfo = blob;
    } else {
        struct Release {
            CImpl* p;
            ~Release() { p->releaseHeldContext(); }
        } release{this};
        openUserKey();
        CDataBlob blob;
        if (!ExportPublicKeyInfo(m_holdCSP.get_hCryptProv(), m_keySpec,
                                 X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, &blob))
            throw CCryptError(200405, CWString(u"Экспорт публичного ключа с параметрами"), GetLastError());
        m_publicKeyInfo = blob;
    }
    if (GetLogLevel() >= 4)
        LogAt(4, u"PKI::CKeyContainer::CImpl::fillPublicKeyInfo " + hexBytes(m_publicKeyInfo));
}

bool CKeyContainer::CImpl::comparePublicKey(PCCERT_CONTEXT certificate) {
    CLock lock(this);
    if (!certificate) throw CCryptError(200402, Vsk::Utils::LastErrorCode, 0);
    const CERT_PUBLIC_KEY_INFO* own = nullptr;
    if (!m_storedCertificate.isNull() && m_storedCertificate.get_CertContext()) {
        own = &m_storedCertificate.get_CertContext()->pCertInfo->SubjectPublicKeyInfo;
    } else {
        if (!m_publicKeyInfo.getSize()) fillPublicKeyInfo();
        own = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(m_publicKeyInfo.getData());
    }
    return CertComparePublicKeyInfo(certificate->dwCertEncodingType,
                                    &certificate->pCertInfo->SubjectPublicKeyInfo, own) != FALSE;
}

const CCertificate* CKeyContainer::CImpl::findCertificateInPersonalStore() {
    CLogScope scope("Vsk::PKI::CKeyContainer::CImpl::findCertificateInPersonalStore", 4);
    CLock lock(this);
    if (m_flags & PersonalStoreSearched)
        return m_personalCertificate.isNull() ? nullptr : &m_personalCertificate;
    if (!m_publicKeyInfo.getSize()) fillPublicKeyInfo();
    const DWORD flags = (m_flags & MachineKeyset) ? 0x24000 : 0x14000;
    StoreCloser store{CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, u"MY")};
    if (!store.store)
        throw CCryptError(GetLastError() == ERROR_FILE_NOT_FOUND ? 150102 : 150101, GetLastError(), 0);
    PCCERT_CONTEXT found =
        CertFindCertificateInStore(store.store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                   CERT_FIND_PUBLIC_KEY, m_publicKeyInfo.getData(), nullptr);
    if (!found && isToken() && !m_storedCertificate.isNull() && m_storedCertificate.get_CertContext())
        found =
            CertFindCertificateInStore(store.store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                       CERT_FIND_EXISTING, m_storedCertificate.get_CertContext(), nullptr);
    if (found) {
        CCertificate certificate;
        certificate.create();
        certificate.put_CertContext(found);
        CertFreeCertificateContext(found);
        m_personalCertificate = certificate;
    }
    m_flags |= PersonalStoreSearched;
    return m_personalCertificate.isNull() ? nullptr : &m_personalCertificate;
}

const CCertificate* CKeyContainer::findCertificateInPersonalStore() const {
    m_pImpl.checkCreated();
    return m_pImpl->findCertificateInPersonalStore();
}

const CCertificate* CKeyContainer::findCertificate() const {
    if (const CCertificate* stored = getCertificate()) return stored;
    try {
        return findCertificateInPersonalStore();
    } catch (const CError& e) {
        if (GetLogLevel() >= 2) LogAt(2, u"PKI::CKeyContainer::findCertificate " + e.getText());
        return nullptr;
    }
}

void CKeyContainer::installCertificate(PCCERT_CONTEXT certificate) {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    CLock lock(p);
    if (!p->m_name.getLength()) throw CCryptError(200301, Vsk::Utils::LastErrorCode, 0);
    if (!certificate) throw CCryptError(200302, Vsk::Utils::LastErrorCode, 0);
    if (!p->comparePublicKey(certificate)) throw CCryptError(200303, Vsk::Utils::LastErrorCode, 0);
    CRYPT_KEY_PROV_INFO info{};
    CWString providerName;
    CHoldCSP held;
    if (!p->isToken()) {
        p->fillInfo();
        if (!p->m_provider) p->m_provider.checkCreated();
        providerName = p->m_provider->m_name;
        info.pwszContainerName = const_cast<LPWSTR>(p->m_uniqueName.c_str());
        info.pwszProvName = const_cast<LPWSTR>(providerName.c_str());
        info.dwProvType = p->m_provider->m_type;
        info.dwFlags = (p->m_flags & CImpl::MachineKeyset) ? CRYPT_MACHINE_KEYSET : 0;
        info.dwKeySpec = p->m_keySpec;
        if (!CertSetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
            throw CCryptError(200304, Vsk::Utils::LastErrorCode, 0);
        held = p->getHoldCSP();
    }
    const DWORD flags = (p->m_flags & CImpl::MachineKeyset) ? 0x24000 : 0x14000;
    StoreCloser store{CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, held.get_hCryptProv(), flags, u"MY")};
    if (!store.store) throw CCryptError(200305, Vsk::Utils::LastErrorCode, 0);
    PCCERT_CONTEXT added = nullptr;
    if (!CertAddCertificateContextToStore(store.store, certificate, CERT_STORE_ADD_REPLACE_EXISTING,
                                          &added)) {
        const DWORD code = GetLastError();
        CertCloseStore(store.store, 0);
        store.store = nullptr;
        throw CCryptError(200306, code, 0);
    }
    if (!p->isToken() && !CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
        const DWORD code = GetLastError();
        CertFreeCertificateContext(added);
        throw CCryptError(200304, code, 0);
    }
    CertFreeCertificateContext(added);
}

void CKeyContainer::New(CSPInfo* provider, const CWString& reader, const CWString& name, bool machineKeyset) {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    CLogScope scope("Vsk::PKI::CKeyContainer::New", 4,
                    (provider ? provider->toString() : CWString()) + u", keySetReader=" + reader +
                        u", keySetName=" + name + u", machineKeyset=" + (machineKeyset ? u"true" : u"false"));
    CLock lock(p);
    p->reset(true);
    if (!provider)
        throw CCryptError(0, CWString(u"Не задан криптопровайдер"), static_cast<DWORD>(E_INVALIDARG));
    if (!name.getLength())
        throw CCryptError(0, CWString(u"Не задано имя нового ключевого контейнера"),
                          static_cast<DWORD>(E_INVALIDARG));
    CWString fullName = name;
    if (reader.getLength()) {
        CWString readerName = reader;
        const CReaderArray readers = provider->GetReaders(true);
        for (size_t i = 0; i < readers.getCount(); ++i)
            if (readers[i].m_nickName == reader || readers[i].m_name == reader) {
                readerName = readers[i].m_name;
                break;
            }
        fullName = u"\\\\.\\" + readerName + u"\\" + name;
    }
    const DWORD flags = CRYPT_NEWKEYSET | (machineKeyset ? CRYPT_MACHINE_KEYSET : 0) |
                        (IsSilent(p->m_settings) ? CRYPT_SILENT : 0);
    CHoldCSP held = provider->acquireContext(fullName.c_str(), flags);
    if (!held.isAcquired()) {
        const DWORD code = GetLastError();
        if (code == static_cast<DWORD>(NTE_BAD_KEYSET_PARAM))
            throw CError(
                name.getLength() > MaxContainerNameChars
                    ? u"Сократите длину наименования ключевого контейнера до 64 символов или менее."
                    : u"Возможно, в наименовании ключевого контейнера есть какие-то недопустимые символы.",
                code);
        throw CError(u"Ошибка создания ключевого контейнера!", code);
    }
    p->m_holdCSP = held;
    p->m_acquireFlags = flags;
    p->m_provider = Vsk::Utils::CRefPtr<CSPInfo>(provider);
    p->m_name = name;
    // The provider's own unique name when it gives one: a container made without a reader would
    // otherwise be known by its plain name, which its certificate requests and key-provider
    // information (carrying the unique name) never match.
    const CAString unique = GetProvStrParam(held.get_hCryptProv(), PP_UNIQUE_CONTAINER);
    p->m_uniqueName = unique.getLength() ? CWString(unique, 1251) : fullName;
    if (machineKeyset)
        p->m_flags |= CImpl::MachineKeyset;
    else
        p->m_flags &= ~CImpl::MachineKeyset;
}

void CKeyContainer::Generate(bool exportable) {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    CLock lock(p);
    // Reading the new container's details between New and Generate releases the context New held;
    // the container exists by then, so it is opened again by its unique name.
    if (!p->m_holdCSP.isAcquired() && p->m_uniqueName.getLength() && p->m_provider)
        p->m_holdCSP = p->getHoldCSP();
    if (!p->m_holdCSP.isAcquired())
        throw CCryptError(0, CWString(u"Ключевой контейнер не был создан."),
                          static_cast<DWORD>(E_INVALIDARG));
    const HCRYPTPROV prov = p->m_holdCSP.get_hCryptProv();
    if (p->m_parentWindow &&
        !SetProvParam(prov, PP_CLIENT_HWND, reinterpret_cast<const BYTE*>(&p->m_parentWindow), 0) &&
        GetLastError() && GetLogLevel() >= 1)
        LogAt(1, u"PKI::CKeyContainer::CImpl::Generate Ошибка установки родительского окна " +
                     GetSystemErrorText(GetLastError()));
    if (!p->m_keySpec) p->m_keySpec = AT_KEYEXCHANGE;
    p->ApplyPassword(prov, p->m_keySpec, true, nullptr);
    const DWORD flags = (p->m_keyLength << 16) | (exportable ? CRYPT_EXPORTABLE : 0);
    DWORD code = 0;
    for (ALG_ID alg :
         {ALG_ID(AT_KEYEXCHANGE), ALG_ID(AT_SIGNATURE), ALG_ID(0x2E23), ALG_ID(0x2E3D), ALG_ID(0x2E49)}) {
        DestroyKey(p->m_userKey);
        if (GenKey(prov, alg, flags, &p->m_userKey)) {
            // The key is found again by its spec and described by its real algorithm.
            p->m_keySpec = alg == AT_KEYEXCHANGE ? AT_KEYEXCHANGE : AT_SIGNATURE;
            DWORD algId = 0, size = sizeof algId;
            p->m_keyAlg =
                GetKeyParam(p->m_userKey, KP_ALGID, reinterpret_cast<BYTE*>(&algId), &size, 0) ? algId : 0;
            // Details read before the key existed are read again.
            p->m_flags &= ~CImpl::InfoRead;
            if (p->m_parentWindow) {
                HWND none = nullptr;
                if (!SetProvParam(prov, PP_CLIENT_HWND, reinterpret_cast<const BYTE*>(&none), 0) &&
                    GetLastError() && GetLogLevel() >= 1)
                    LogAt(1, u"PKI::CKeyContainer::CImpl::Generate Ошибка очистки родительского окна " +
                                 GetSystemErrorText(GetLastError()));
            }
            return;
        }
        code = GetLastError();
        if (code != static_cast<DWORD>(NTE_BAD_ALGID)) break;
        if (GetLogLevel() >= 1)
            LogAt(1, u"PKI::CKeyContainer::CImpl::Generate ALG_ID=0x" +
                         ToWString(static_cast<uint32_t>(alg), 16) + u" " + GetSystemErrorText(code));
    }
    if (code == static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER) || !exportable)
        throw CError(u"Ошибка генерации ключей!", code);
    throw CError(u"Ошибка генерации экспортируемых ключей (попробуйте убрать экспортируемость ключей)!",
                 code);
}

void CKeyContainer::Delete() {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    CLock lock(p);
    const bool machine = (p->m_flags & CImpl::MachineKeyset) != 0;
    const bool silent = IsSilent(p->m_settings);
    // The unique name tells this container's requests and file apart from a namesake's; read it
    // when the object was set up by plain name only.
    if (!p->isToken() && !p->m_uniqueName.getLength() && p->m_name.getLength() && p->m_provider) {
        try {
            p->fillInfo();
        } catch (const CError& e) {
            if (GetLogLevel() >= 2) LogAt(2, CWString(u"PKI::CKeyContainer::CImpl::Delete ") + e.getText());
        }
    }
    if (!silent) {
        // Certificate requests made for this container's key go with it when the user agrees.
        CStore requests(true);
        requests.Open(u"REQUEST", machine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER);
        CArray<CCertificate> all;
        requests.GetCertificates(&all);
        CArray<CCertificate> kept;
        for (size_t i = 0; i < all.getCount(); ++i) {
            HCRYPTPROV prov = 0;
            DWORD spec = 0;
            BOOL mustFree = FALSE;
            if (!CryptAcquireCertificatePrivateKey(all[i].get_CertContext(), CRYPT_ACQUIRE_SILENT_FLAG,
                                                   nullptr, &prov, &spec, &mustFree))
                continue;
            const CAString unique = GetProvStrParam(prov, PP_UNIQUE_CONTAINER);
            if (unique.getLength() && CWString(unique, 1251) == p->m_uniqueName) kept.add(all[i]);
            if (mustFree) CryptReleaseContext(prov, 0);
        }
        for (size_t i = 0; i < kept.getCount(); ++i) {
            const CWString subject = kept[i].get_Subject()->toDisplayString(u"=", u"; ", false);
            if (askYesNo(p->m_parentWindow,
                         u"Удалить также запрос на сертификат \"" + subject +
                             u"\" по удаляемому ключевому контейнеру?",
                         u"Удаление запроса на сертификат") == IdYes)
                requests.DeleteCertificate(kept[i]);
        }
        requests.Close();
    }
    if (p->isToken()) {
        p->m_tokenKeyPair.destroyObjects();
        return;
    }
    if (!p->m_name.getLength())
        throw CError(u"Объект KeyContainer не инициализирован.", Vsk::Utils::NoErrorCode);
    if (!p->m_provider) p->m_provider.checkCreated();
    const CWString& unique = p->m_uniqueName;
    if (startsWithScard(unique)) {
        CHoldCSP held = p->getHoldCSP();
        p->releaseHeldContext();
        if (!p->hasPassword()) throw CError(u"Не задан ПИН токена/карты", Vsk::Utils::NoErrorCode);
        if (SetProvParam(held.get_hCryptProv(), PP_DELETE_SCARD_CONTAINER, nullptr, 0)) return;
        if (GetLastError() && GetLogLevel() >= 1)
            LogAt(1,
                  u"PKI::CKeyContainer::CImpl::Delete delete keyset " + GetSystemErrorText(GetLastError()));
    }
    p->releaseHeldContext();
    // The unique name names exactly this container, whatever other reader holds the same name.
    const CWString& name = unique.getLength() ? unique : p->m_name;
    HCRYPTPROV none = 0;
    if (!AcquireContext(
            &none, name.c_str(), p->m_provider->m_name.c_str(), p->m_provider->m_type,
            CRYPT_DELETEKEYSET | (machine ? CRYPT_MACHINE_KEYSET : 0) | (silent ? CRYPT_SILENT : 0)))
        throw CCryptError(0, u"Удаление ключевого контейнера " + p->m_name, GetLastError());
}

}  // namespace Vsk::PKI
