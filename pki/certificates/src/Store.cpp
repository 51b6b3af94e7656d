// The certificate store object over the platform's stores: system stores by name, serialized
// stores read from a blob.
#include <vsk/pki/Store.h>

#include <vsk/pki/CertApi.h>
#include <vsk/pki/CertCache.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/Crl.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/Password.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/system.h>

#include "StoreImpl.h"
#include "certHandles.h"

using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CArray;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace Vsk::PKI {

namespace {

constexpr UINT CP = Vsk::Utils::CP_PROGRAM;
constexpr DWORD Encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// ERROR_NO_MORE_FILES: some stores end an enumeration with it instead of CRYPT_E_NOT_FOUND.
constexpr DWORD NoMoreFiles = 18;

bool traced() {
    return Vsk::InternalUtils::GetLogLevel() >= 4;
}

// "PKI::CStore::CImpl::<operation> <message>"
void logLine(int level, const char* operation, const CWString& message) {
    if (Vsk::InternalUtils::GetLogLevel() < level) return;
    Vsk::InternalUtils::LogAt(
        level, CWString("PKI::CStore::CImpl::", CP) + CWString(operation, CP) + u' ' + message);
}

CWString handleText(const void* handle) {
    return ToWString(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle)), 16);
}

CWString base64(const BYTE* data, DWORD size) {
    return CWString(Vsk::Utils::Base64Enc(CDataBlob(data, size, false), 0), CP);
}

}  // namespace

CStore::CImpl::~CImpl() {
    close();
}

void CStore::CImpl::close() {
    CLock lock(this);
    m_store.reset();
    m_name.clear();
    m_flags = 0;
}

CStore::CStore(bool create) {
    if (create) m_pImpl = Vsk::Utils::CRefPtr<CImpl>::create();
}
CStore::CStore(const CStore& other) = default;
CStore::CStore(CStore&& other) noexcept = default;
CStore& CStore::operator=(const CStore& other) = default;
CStore& CStore::operator=(CStore&& other) noexcept = default;
CStore::~CStore() = default;

CStore::CImpl* CStore::impl() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

void CStore::Open(const WCHAR* name, DWORD flags) {
    CImpl* p = impl();
    CLogScope scope;
    if (traced()) scope.enter("Vsk::PKI::CStore::Open", CWString(name ? name : u""));
    CLock lock(p);
    // Only the very buffer that get_Name hands out counts as "the same name": an equal text from
    // elsewhere reopens, so a caller can force a fresh snapshot of the store.
    if (p->m_store && p->m_flags == flags && name && name == p->m_name.c_str()) return;

    p->close();
    p->m_name = CWString(name ? name : u"");
    p->m_flags = flags;
    p->m_store.reset(OpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, name));
    if (p->m_store) {
        logLine(4, "Open", handleText(p->m_store.get()));
        return;
    }
    DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED && !(flags & CERT_STORE_READONLY_FLAG)) {
        logLine(2, "Open",
                CWString(u"(") + p->m_name + u',' + ToWString(flags, 16) + CWString(") - ", CP) +
                    Vsk::Utils::GetSystemErrorText(code) + CWString("Пробуем открыть только на чтение.", CP));
        p->m_store.reset(OpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags | CERT_STORE_READONLY_FLAG, name));
        if (p->m_store) {
            p->m_flags |= CERT_STORE_READONLY_FLAG;
            logLine(4, "Open", handleText(p->m_store.get()) + CWString(" readonly", CP));
            return;
        }
        code = GetLastError();
    }
    p->m_name.clear();
    p->m_flags = 0;
    throw CCryptError(code == ERROR_FILE_NOT_FOUND ? 150102 : 150101, code);
}

void CStore::Close() {
    impl()->close();
}

bool CStore::isOpened() const {
    return impl()->m_store != nullptr;
}

bool CStore::isEmpty() const {
    const CImpl* p = impl();
    CLogScope scope("Vsk::PKI::CStore::isEmpty", 3);
    if (!p->m_store) throw CCryptError(150201, Vsk::Utils::NoErrorCode);
    const CertContextPtr first(CertEnumCertificatesInStore(p->m_store.get(), nullptr));
    if (first) {
        scope.setResult(false);
        return false;
    }
    const DWORD code = GetLastError();
    if (code != NoMoreFiles && code != CRYPT_E_NOT_FOUND) throw CCryptError(0, code);
    scope.setResult(true);
    return true;
}

CWString CStore::get_Name() const {
    return impl()->m_name;
}

DWORD CStore::get_Flags() const {
    return impl()->m_flags;
}

HCERTSTORE CStore::get_Handle() const {
    return impl()->m_store.get();
}

void CStore::GetCertificates(CArray<CCertificate>* certificates, Vsk::Utils::IProgress* progress) {
    CImpl* p = impl();
    CLogScope scope;
    if (traced()) scope.enter("Vsk::PKI::CStore::GetCertificates");
    CLock lock(p);
    if (!p->m_store || !certificates) throw CCryptError(150301, Vsk::Utils::NoErrorCode);
    certificates->clear();
    if (progress) {
        progress->setRange(10);
        progress->setPos(0);
    }
    // The enumeration frees the context it continues after; the owner holds the current one.
    CertContextPtr context;
    while (context.reset(CertEnumCertificatesInStore(p->m_store.get(), context.release())), context) {
        CCertificate certificate(false);
        try {
            certificate.put_CertContext(context.get());
        } catch (const CCryptError& e) {
            throw CCryptError::CCryptErrorText(150303, e.getText(), 0);
        }
        certificates->add(certificate);
        if (!progress) continue;
        progress->next();
        if (progress->isCancelled()) return;
        const uint32_t range = progress->getRange();
        if (progress->getPos() >= static_cast<int32_t>(range)) progress->setRange(range * 2);
    }
}

namespace {

// A certificate object for a context a search returned; the object keeps a duplicate of its own and
// the search's context is freed with its owner.
CCertificate adoptFound(const CertContextPtr& found) {
    CCertificate result(false);
    result.put_CertContext(found.get());
    if (result.isNull()) throw CCryptError(130116, Vsk::Utils::LastErrorCode);
    return result;
}

}  // namespace

CCertificate CStore::FindCertificate(const CCertificate& certificate) {
    CImpl* p = impl();
    CLogScope scope;
    if (traced()) scope.enter("Vsk::PKI::CStore::FindCertificate", ToWString(&certificate));
    CLock lock(p);
    if (!p->m_store) throw CCryptError(150801, Vsk::Utils::NoErrorCode);
    PCCERT_CONTEXT wanted = certificate.get_CertContext();
    if (!wanted) throw CCryptError(150702, Vsk::Utils::NoErrorCode);
    const CertContextPtr found(
        CertFindCertificateInStore(p->m_store.get(), Encoding, 0, CERT_FIND_EXISTING, wanted, nullptr));
    if (!found) return CCertificate(false);
    CCertificate result = adoptFound(found);
    if (scope.isEntered()) scope.setResult(true);
    return result;
}

CCertificate CStore::FindCertificate(const char* thumbprint, const CCertificate* pPreviousCert) {
    CImpl* p = impl();
    CLogScope scope;
    if (traced())
        scope.enter("Vsk::PKI::CStore::FindCertificate",
                    CWString("thumbprint=", CP) + CWString(thumbprint ? thumbprint : "", CP) +
                        CWString(", pPreviousCert=", CP) +
                        ToWString(static_cast<const void*>(pPreviousCert)));
    CLock lock(p);
    if (!p->m_store) throw CCryptError(150801, Vsk::Utils::NoErrorCode);
    if (!thumbprint || !*thumbprint) throw CCryptError(150702, Vsk::Utils::NoErrorCode);
    CDataBlob hash;
    try {
        hash.fromHex(thumbprint);
    } catch (const CError& e) {
        throw CError(CWString("Неверный формат отпечатка сертификата: ", CP) + e.getText(), E_INVALIDARG);
    }
    CRYPT_HASH_BLOB blob{hash.getSize(), hash.getData()};
    // The search frees the context it continues after; it gets a duplicate so that the caller's
    // certificate keeps its own.
    CertContextPtr previous = duplicateContext(pPreviousCert ? pPreviousCert->get_CertContext() : nullptr);
    const CertContextPtr found(CertFindCertificateInStore(p->m_store.get(), Encoding, 0, CERT_FIND_SHA1_HASH,
                                                          &blob, previous.release()));
    if (!found) return CCertificate(false);
    CCertificate result = adoptFound(found);
    if (scope.isEntered()) scope.setResult(true);
    return result;
}

bool CStore::InstallCertificate(const CCertificate& certificate, DWORD disposition,
                                bool bindWithKeyContainer) {
    CImpl* p = impl();
    CLogScope scope;
    if (traced()) scope.enter("Vsk::PKI::CStore::InstallCertificate", ToWString(&certificate));
    CLock lock(p);
    if (!p->m_store) throw CCryptError(150801, Vsk::Utils::NoErrorCode);
    PCCERT_CONTEXT context = certificate.get_CertContext();
    if (!context) throw CCryptError(150702, Vsk::Utils::NoErrorCode);
    if (bindWithKeyContainer && p->m_name.compare(CWString(u"My"), false) != 0)
        throw CCryptError::CCryptErrorTextA(
            0, "Привязка сертификата к ключевому контейнеру должна быть для Личных сертификатов!",
            Vsk::Utils::LastErrorCode);

    PCCERT_CONTEXT added = nullptr;
    const BOOL addedOk = CertAddCertificateContextToStore(p->m_store.get(), context, disposition,
                                                          bindWithKeyContainer ? &added : nullptr);
    const CertContextPtr storeContext(added);
    if (!addedOk) {
        const DWORD code = GetLastError();
        if (code == ERROR_CANCELLED) return false;
        throw CCryptError::CCryptErrorTextA(0, "Добавление сертификата в хранилище", code);
    }
    if (Vsk::InternalUtils::GetLogLevel() >= 4)
        logLine(4, "InstallCertificate",
                CWString("Сертификат \"", CP) + certificate.getText() +
                    CWString("\" успешно добавлен в хранилище ", CP) + p->m_name);
    if (!bindWithKeyContainer) return true;

    CCertificate storeCopy(false);
    storeCopy.put_CertContext(storeContext.get());
    try {
        return storeCopy.BindWithKeyContainer(
            CPassword(), (p->m_flags & CERT_SYSTEM_STORE_LOCAL_MACHINE) != 0, false, false, false);
    } catch (const CCryptError&) {
        throw;
    } catch (const CError& e) {
        throw CCryptError(e);
    } catch (...) {
        throw CCryptError::CCryptErrorTextA(0, "...", Vsk::Utils::NoErrorCode);
    }
}

bool CStore::AddCrl(const CCrl& crl, DWORD disposition) {
    CImpl* p = impl();
    CLogScope scope;
    if (traced()) scope.enter("Vsk::PKI::CStore::AddCrl");
    CLock lock(p);
    if (!p->m_store) throw CCryptError(150801, Vsk::Utils::NoErrorCode);
    PCCRL_CONTEXT context = crl.isNull() ? nullptr : crl.get_CrlContext();
    if (!context) throw CCryptError(150802, Vsk::Utils::NoErrorCode);
    if (CertAddCRLContextToStore(p->m_store.get(), context, disposition, nullptr)) return true;
    const DWORD code = GetLastError();
    if (code == ERROR_CANCELLED) return false;
    throw CCryptError::CCryptErrorTextA(0, "CertAddCRLContextToStore", code);
}

void CStore::GetCrls(CArray<CCrl>* crls) {
    CImpl* p = impl();
    CLogScope scope;
    if (traced()) scope.enter("Vsk::PKI::CStore::GetCrls");
    CLock lock(p);
    if (!p->m_store || !crls) throw CCryptError(150401, Vsk::Utils::NoErrorCode);
    crls->clear();
    CrlContextPtr context;
    while (context.reset(CertEnumCRLsInStore(p->m_store.get(), context.release())), context) {
        CCrl crl(true);
        try {
            crl.put_CrlContext(context.get());
        } catch (const CCryptError& e) {
            crls->clear();
            throw CCryptError::CCryptErrorText(150403, e.getText(), 0);
        }
        crls->add(crl);
    }
}

bool CStore::canDeleteCertificate(PCCERT_CONTEXT context) const {
    const CImpl* p = impl();
    DWORD state = 0;
    DWORD stateSize = sizeof state;
    if (!GetCertificateContextPropertyFixed(context, CERT_ACCESS_STATE_PROP_ID, &state, &stateSize))
        throw CCryptError(150901, Vsk::Utils::LastErrorCode);
    if (!(state & CERT_ACCESS_STATE_LM_SYSTEM_STORE_FLAG)) return true;
    if (!(p->m_flags & CERT_SYSTEM_STORE_LOCAL_MACHINE)) return false;
    bool worked = false;
    const BOOL admin = Vsk::Utils::IsCurrentUserAdmin(&worked);
    if (!worked) throw CCryptError(150902, Vsk::Utils::LastErrorCode);
    return admin != FALSE;
}

void CStore::DeleteCertificate(const CCertificate& certificate) {
    CImpl* p = impl();
    CLogScope scope;
    if (traced()) scope.enter("Vsk::PKI::CStore::DeleteCertificate", certificate.getText());
    CLock lock(p);
    if (!p->m_store) throw CCryptError(150701, Vsk::Utils::NoErrorCode);
    PCCERT_CONTEXT context = certificate.get_CertContext();
    if (!context) throw CCryptError(150702, Vsk::Utils::NoErrorCode);
    // Deleting frees the found context, also when it fails.
    PCCERT_CONTEXT found =
        CertFindCertificateInStore(p->m_store.get(), Encoding, 0, CERT_FIND_EXISTING, context, nullptr);
    const auto logCertificate = [&] {
        logLine(1, "DeleteCertificate",
                CWString("Certificate: ", CP) + base64(context->pbCertEncoded, context->cbCertEncoded));
    };
    if (!found) {
        logCertificate();
        throw CCryptError(150704, Vsk::Utils::NoErrorCode);
    }
    CCertCache::deleteInCache(context);
    if (!CertDeleteCertificateFromStore(found)) {
        const DWORD code = GetLastError();
        logCertificate();
        throw CCryptError::CCryptErrorText(150703, certificate.getText(), code);
    }
}

void CStore::DeleteCRL(PCCRL_CONTEXT context) {
    CImpl* p = impl();
    CLogScope scope;
    if (traced()) scope.enter("Vsk::PKI::CStore::DeleteCRL", handleText(context));
    CLock lock(p);
    if (!p->m_store) throw CCryptError(150801, Vsk::Utils::NoErrorCode);
    if (!context) throw CCryptError(150802, Vsk::Utils::NoErrorCode);
    // Deleting frees the found context, also when it fails.
    PCCRL_CONTEXT found =
        CertFindCRLInStore(p->m_store.get(), Encoding, 0, CRL_FIND_EXISTING, context, nullptr);
    const auto logCrl = [&] {
        logLine(1, "DeleteCRL", CWString("CRL: ", CP) + base64(context->pbCrlEncoded, context->cbCrlEncoded));
    };
    if (!found) {
        logCrl();
        throw CCryptError(150804, Vsk::Utils::NoErrorCode);
    }
    if (!CertDeleteCRLFromStore(found)) {
        const DWORD code = GetLastError();
        logCrl();
        throw CCryptError(150803, code);
    }
}

CDataBlob CStore::Save() {
    CImpl* p = impl();
    CLogScope scope;
    if (traced()) scope.enter("Vsk::PKI::CStore::Save");
    CLock lock(p);
    if (!p->m_store) throw CCryptError(150801, Vsk::Utils::NoErrorCode);
    CRYPT_DATA_BLOB blob{0, nullptr};
    if (!CertSaveStore(p->m_store.get(), Encoding, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &blob,
                       0))
        throw CCryptError(130204, Vsk::Utils::LastErrorCode);
    CDataBlob out(static_cast<size_t>(blob.cbData));
    blob.pbData = out.getData();
    if (!CertSaveStore(p->m_store.get(), Encoding, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &blob,
                       0))
        throw CCryptError(130206, Vsk::Utils::LastErrorCode);
    return blob.cbData == out.getSize() ? out : out.getBlock(0, blob.cbData).clone();
}

void CStore::Load(const CDataBlob& serialized) {
    CImpl* p = impl();
    CLogScope scope;
    if (traced()) scope.enter("Vsk::PKI::CStore::Load", ToWString(serialized.getSize()));
    CLock lock(p);
    p->close();
    CRYPT_DATA_BLOB blob{serialized.getSize(), serialized.getData()};
    p->m_store.reset(OpenStore(CERT_STORE_PROV_SERIALIZED, 0, 0, 0, &blob));
    if (!p->m_store) throw CCryptError(130302, Vsk::Utils::LastErrorCode);
    logLine(4, "Load", handleText(p->m_store.get()));
}

}  // namespace Vsk::PKI
