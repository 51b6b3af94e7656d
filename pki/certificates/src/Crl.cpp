// The CRL object: loading from DER or from a store's context, the issuer and update times, the
// revocation test for one certificate, and the viewer.
#include <vsk/pki/Crl.h>

#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/platform/certname.h>
#include <vsk/platform/cryptui.h>
#include <vsk/platform/file.h>
#include <vsk/platform/module.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/file.h>
#include <vsk/utils/global.h>
#include <vsk/utils/lib.h>
#include <vsk/utils/log.h>

#include <atomic>

#include "CrlImpl.h"
#include "certHandles.h"
#include "certificateText.h"

using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace Vsk::PKI {

namespace {

constexpr UINT CP = Vsk::Utils::CP_PROGRAM;
constexpr DWORD Encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD IssuerStrType = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
constexpr const char* NextPublishOid = "1.3.6.1.4.1.311.21.4";
// The live-object counter is keyed by the address of this text.
constexpr const char ClassName[] = "PKI::CCrl::CImpl";

uint64_t fileTimeValue(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

CCrl::CImpl::CImpl() : m_issuer(CAttributes::createNew()) {
    countLiveObject(ClassName, this, 1, "PKI::CCrl::CImpl::CImpl");
}

CCrl::CImpl::~CImpl() {
    try {
        countLiveObject(ClassName, this, -1, "PKI::CCrl::CImpl::~CImpl");
    } catch (...) {
        // Only the count's log line can fail (out of memory).
    }
}

void CCrl::CImpl::clear() {
    m_context.reset();
    m_issuerText.clear();
    m_nextPublish = FILETIME{};
}

void CCrl::CImpl::readFields() {
    if (!m_context || !m_context->pCrlInfo) throw CCryptError(140201, Vsk::Utils::NoErrorCode);
    const CRL_INFO& info = *m_context->pCrlInfo;
    m_issuer->fromX501Name(CDataBlob(info.Issuer.pbData, info.Issuer.cbData, true));

    try {
        CERT_NAME_BLOB issuer = info.Issuer;
        const DWORD length =
            CertNameToStrW(m_context->dwCertEncodingType, &issuer, IssuerStrType, nullptr, 0);
        if (length == 0) throw CError(Vsk::Utils::LastErrorCode);
        CWString text(static_cast<size_t>(length));
        const DWORD written =
            CertNameToStrW(m_context->dwCertEncodingType, &issuer, IssuerStrType, text.at(0), length);
        if (text.checkStatus() != 0) throw CError(Vsk::Utils::LastErrorCode);
        text.setLength(written ? written - 1 : 0);
        m_issuerText = text;
    } catch (const CError& e) {
        throw CCryptError::CCryptErrorFromError(140202, e);
    }

    for (DWORD i = 0; i < info.cExtension; ++i) {
        const CERT_EXTENSION& ext = info.rgExtension[i];
        if (!ext.pszObjId || std::string(ext.pszObjId) != NextPublishOid) continue;
        FILETIME time{};
        DWORD size = sizeof time;
        if (!CryptDecodeObject(Encoding, X509_CHOICE_OF_TIME, ext.Value.pbData, ext.Value.cbData, 0, &time,
                               &size))
            throw CCryptError(140203, Vsk::Utils::LastErrorCode);
        m_nextPublish = time;
        break;
    }
}

void CCrl::CImpl::LoadFromBlob(const CDataBlob& der) {
    clear();
    if (der.getSize() == 0) throw CCryptError(140301, Vsk::Utils::NoErrorCode);
    try {
        m_context.reset(CertCreateCRLContext(Encoding, der.getData(), der.getSize()));
        if (!m_context) {
            const DWORD code = GetLastError();
            // Input that is no CRL may be anything, a key too: its size and digest, never its bytes.
            CertText::log(1, "Vsk::PKI::CCrl::CImpl::LoadFromBlob", u"CRL: " + SizeAndDigestText(der));
            throw CCryptError(140302, code);
        }
        readFields();
    } catch (const CCryptError&) {
        clear();
        throw;
    } catch (const CError& e) {
        clear();
        throw CCryptError(e);
    }
}

void CCrl::CImpl::put_CrlContext(PCCRL_CONTEXT context) {
    clear();
    if (!context) return;
    m_context.reset(CertDuplicateCRLContext(context));
    if (!m_context) throw CCryptError(140101, Vsk::Utils::LastErrorCode);
    try {
        readFields();
    } catch (const CCryptError&) {
        clear();
        throw;
    } catch (const CError& e) {
        clear();
        throw CCryptError(e);
    }
}

CCrl::CCrl(bool create) {
    if (create) m_pImpl = Vsk::Utils::CRefPtr<CImpl>::create();
}
CCrl::CCrl(const CCrl& other) = default;
CCrl::CCrl(CCrl&& other) noexcept = default;
CCrl& CCrl::operator=(const CCrl& other) = default;
CCrl& CCrl::operator=(CCrl&& other) noexcept = default;
CCrl::~CCrl() = default;

CCrl::CImpl* CCrl::impl() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

void CCrl::LoadFromBlob(const CDataBlob& der) {
    impl()->LoadFromBlob(der);
}

void CCrl::put_CrlContext(PCCRL_CONTEXT context) {
    impl()->put_CrlContext(context);
}

PCCRL_CONTEXT CCrl::get_CrlContext() const {
    return impl()->m_context.get();
}

CWString CCrl::get_IssuerName() const {
    return impl()->m_issuerText;
}

CAttributesPtr CCrl::get_Issuer() const {
    return impl()->m_issuer;
}

uint64_t CCrl::get_ThisUpdate() const {
    const CImpl* p = impl();
    return p->m_context && p->m_context->pCrlInfo ? fileTimeValue(p->m_context->pCrlInfo->ThisUpdate) : 0;
}

uint64_t CCrl::get_NextUpdate() const {
    const CImpl* p = impl();
    return p->m_context && p->m_context->pCrlInfo ? fileTimeValue(p->m_context->pCrlInfo->NextUpdate) : 0;
}

uint64_t CCrl::get_NextPublish() const {
    return fileTimeValue(impl()->m_nextPublish);
}

bool CCrl::isRevoked(const CCertificate& certificate) const {
    const CImpl* p = impl();
    if (!p->m_context) throw CCryptError(140201, Vsk::Utils::NoErrorCode);
    PCCERT_CONTEXT cert = certificate.get_CertContext();
    if (!cert) throw CCryptError(CError("Сертификат не задан", E_INVALIDARG));
    PCRL_ENTRY entry = nullptr;
    if (!CertFindCertificateInCRL(cert, p->m_context.get(), 0, nullptr, &entry))
        throw CCryptError(0, Vsk::Utils::LastErrorCode);
    return entry != nullptr;
}

namespace {

constexpr int ShowCommand = 5;  // SW_SHOW

// The shell's CRL viewer opens files: the CRL goes through a temporary file "vsk…" that is deleted
// when the viewer has returned.
void showThroughShell(PCCRL_CONTEXT context, HWND owner) {
    const CWString folder = Vsk::InternalUtils::GetTempPathW();
    WCHAR path[MAX_PATH + 1] = {};
    if (!GetTempFileNameW(folder.c_str(), u"vsk", 0, path))
        throw CError("GetTempFileName", Vsk::Utils::LastErrorCode);
    {
        HANDLE file =
            CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            throw CError(u"CreateFile(" + CWString(path) + u")", Vsk::Utils::LastErrorCode);
        DWORD written = 0;
        const BOOL ok = WriteFile(file, context->pbCrlEncoded, context->cbCrlEncoded, &written, nullptr);
        const DWORD error = GetLastError();
        CloseHandle(file);
        if (!ok || written != context->cbCrlEncoded) {
            DeleteFileW(path);
            throw CError(u"WriteFile(" + CWString(path) + u")",
                         ok ? static_cast<DWORD>(ERROR_DISK_FULL) : error);
        }
    }
    {
        // The file goes in any case; a failure to show it comes first.
        struct Remove {
            const WCHAR* path;
            bool armed = true;
            ~Remove() {
                if (armed) DeleteFileW(path);
            }
        } cleanup{path};
        Vsk::InternalUtils::CLib cryptext(u"cryptext.dll");
        const HMODULE module = cryptext.load();
        const auto open = reinterpret_cast<PFN_CRYPTEXT_OPEN_CRL>(GetProcAddress(module, "CryptExtOpenCRL"));
        if (!open) throw CError("CryptExtOpenCRL отсутствует", Vsk::Utils::LastErrorCode);
        const Vsk::Utils::CAString narrowPath(CWString(path), CP);
        open(owner, module, narrowPath.c_str(), ShowCommand);
        cleanup.armed = false;
    }
    if (!DeleteFileW(path)) throw CError(u"DeleteFile(" + CWString(path) + u")", Vsk::Utils::LastErrorCode);
}

}  // namespace

void CCrl::ShowDialog(HWND owner, const WCHAR* title) const {
    const CImpl* p = impl();
    if (!p->m_context) throw CCryptError(140501, Vsk::Utils::NoErrorCode);
    try {
        // The CryptUI viewer only when the program has the module loaded already.
        if (const HMODULE cryptui = GetModuleHandleW(u"Cryptui.dll")) {
            const auto view = reinterpret_cast<PFN_CRYPTUI_DLG_VIEW_CONTEXT>(
                GetProcAddress(cryptui, "CryptUIDlgViewContext"));
            if (view) {
                if (view(CERT_STORE_CRL_CONTEXT, p->m_context.get(), owner, title, 0, nullptr)) return;
                const DWORD code = GetLastError();
                if (code == ERROR_CANCELLED) return;
                throw CCryptError(140502, code);
            }
        }
        showThroughShell(p->m_context.get(), owner);
    } catch (const CCryptError&) {
        throw;
    } catch (const CError& e) {
        throw CCryptError(e);
    } catch (...) {
        throw CCryptError::CCryptErrorTextA(0, "error", Vsk::Utils::NoErrorCode);
    }
}

}  // namespace Vsk::PKI
