#include <vsk/asn1/asn1.h>
#include <vsk/pki/Attributes.h>
#include <vsk/pki/CertApi.h>
#include <vsk/pki/CertCache.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CertificateImpl.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/OidNames.h>
#include <vsk/platform/certname.h>
#include <vsk/platform/cryptui.h>
#include <vsk/platform/module.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/error.h>
#include <vsk/utils/global.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <atomic>
#include <mutex>

#include "certificateText.h"

namespace Vsk::PKI {

using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;

namespace {

constexpr DWORD Encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const char* const ImplClassName = "PKI::CCertificate::CImpl";

FILETIME zeroTime() {
    return FILETIME{0, 0};
}

FILETIME maybeLocal(const FILETIME& utc, bool local) {
    if (!local) return utc;
    FILETIME out{};
    return FileTimeToLocalFileTime(&utc, &out) ? out : zeroTime();
}

// Blanks, tabs and line breaks at both ends.
CWString trimmed(const CWString& text) {
    const WCHAR* p = text.c_str();
    size_t begin = 0, end = text.getLength();
    auto blank = [](WCHAR c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
    while (begin < end && blank(p[begin])) ++begin;
    while (end > begin && blank(p[end - 1])) --end;
    return begin == 0 && end == text.getLength() ? text : CWString(p + begin, end - begin);
}

CWString valueOf(const CAttributes& name, const char* oid) {
    CAttributePtr attribute = name.findByOID(oid);
    return attribute ? attribute->m_value : CWString();
}

// The name as the object shows it: its short name, else its X.500 text of names.
CWString displayName(CAttributes& name) {
    CWString shortName = getShortName(name);
    return shortName.getLength() ? shortName : name.toX500String(false, true, true);
}

// The copies of one side's values that equality works on.
struct CEqualView {
    CEqualView() = default;
    CEqualView(const CEqualView&) = delete;
    CEqualView& operator=(const CEqualView&) = delete;
    ~CEqualView() { FreeCertificateContext(context); }

    PCCERT_CONTEXT context = nullptr;
    CDataBlob serial;
    CAString serialText;
    CAttributesPtr issuer;
    CAString publicKeyOid;
    CAString signatureOid;
    CWString text;
};

void takeView(CCertificate::CImpl& impl, CEqualView& view) {
    CLock lock(&impl);
    if (impl.m_context) view.context = CertDuplicateCertificateContext(impl.m_context);
    view.serial = impl.get_SerialNumberBlob();
    view.serialText = impl.serialText();
    view.issuer = CAttributesPtr(&impl.issuer());
    impl.fillAlgorithmOIDs();
    view.publicKeyOid = impl.m_publicKeyOid;
    view.signatureOid = impl.m_signatureOid;
    view.text = impl.getText();
}

}  // namespace

// ---- Shared texts -------------------------------------------------------------------------------------

namespace CertText {

void log(int level, const char* function, const CWString& message) {
    Vsk::Utils::CLastErrorGuard keep;
    if (Vsk::InternalUtils::GetLogLevel() < level) return;
    Vsk::InternalUtils::LogAt(
        level, CWString(Vsk::Utils::StripNamespacePrefix(function), Vsk::Utils::CP_PROGRAM) + u" " + message);
}

void logError(int level, const char* function, const CWString& message, DWORD error) {
    Vsk::Utils::CLastErrorGuard keep;
    if (Vsk::InternalUtils::GetLogLevel() < level) return;
    CWString line = message;
    if (line.getLength()) line += u" ";
    log(level, function, line + Vsk::Utils::GetSystemErrorText(error));
}

CWString a2w(const CAString& text) {
    return CWString(text, Vsk::Utils::CP_PROGRAM);
}

}  // namespace CertText

using CertText::a2w;

void RegisterOidResolvers() {
    static std::once_flag once;
    std::call_once(once, [] {
        Vsk::ASN1::setOidNameResolver(&NameFromOID);
        Vsk::ASN1::setOidAlgIdResolver(&OIDToAlgId);
    });
}

// ---- Free functions -----------------------------------------------------------------------------------

CWString getCertSimpleName(PCCERT_CONTEXT context, bool issuer) {
    if (!context || !context->pCertInfo) return CWString();
    const DWORD flags = issuer ? CERT_NAME_ISSUER_FLAG : 0;
    const DWORD length =
        CertGetNameStringW(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, nullptr, 0);
    if (length < 2) return CWString();
    CWString name(static_cast<size_t>(length));
    if (name.getStatus() != 0 || !name.at(0))
        throw CCryptError(130108, static_cast<DWORD>(ERROR_OUTOFMEMORY));
    const DWORD written =
        CertGetNameStringW(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, name.at(0), length);
    if (written < 2) return CWString();
    name.setLength(written - 1);
    return name;
}

CWString getCertContextText(PCCERT_CONTEXT context) {
    const CWString name = getCertSimpleName(context, false);
    if (name.getLength() == 0) return CWString();
    return u"\"" + name + u"\", действителен с " +
           Vsk::Utils::FileTimeToText(&context->pCertInfo->NotBefore) + u" по " +
           Vsk::Utils::FileTimeToText(&context->pCertInfo->NotAfter);
}

CWString getShortName(const CAttributes& name) {
    const CWString surname = trimmed(valueOf(name, "2.5.4.4"));
    const CWString givenNames = trimmed(valueOf(name, "2.5.4.42"));
    const CWString commonName = trimmed(valueOf(name, "2.5.4.3"));
    CWString result = surname;
    if (givenNames.getLength()) {
        if (result.getLength()) result += u" ";
        result += givenNames;
    }
    if (commonName.getLength()) {
        if (result.getLength() == 0)
            result = commonName;
        else if (result.find(commonName, true) < 0)
            result += u", " + commonName;
    }
    if (result.getLength() == 0) result = valueOf(name, "2.5.4.10");
    return result;
}

// ---- Implementation: life -------------------------------------------------------------------------------

CCertificate::CImpl::CImpl()
    : m_cacheFlags(0),
      m_context(nullptr),
      m_keyAlgId(0),
      m_keyNotBefore(zeroTime()),
      m_keyNotAfter(zeroTime()),
      m_hasKeyLink(false),
      m_providerType(0),
      m_keySpec(0),
      m_cacheAcquisition(false) {
    RegisterOidResolvers();
    if (Vsk::InternalUtils::GetLogLevel() >= 5) {
        const int count = Vsk::InternalUtils::addObjectCount(ImplClassName, 1);
        Vsk::InternalUtils::LogAt(5, Vsk::Utils::ToWString(static_cast<const void*>(this)) +
                                         u" PKI::CCertificate::CImpl::CImpl " + Vsk::Utils::ToWString(count));
    }
}

CCertificate::CImpl::~CImpl() {
    try {
        if (m_context) {
            if (!CertFreeCertificateContext(m_context))
                CertText::logError(1, "Vsk::PKI::CCertificate::CImpl::~CImpl", u"CertFreeCertificateContext",
                                   GetLastError());
            m_context = nullptr;
        }
        if (Vsk::InternalUtils::GetLogLevel() >= 5) {
            const int count = Vsk::InternalUtils::addObjectCount(ImplClassName, -1);
            Vsk::InternalUtils::LogAt(5, Vsk::Utils::ToWString(static_cast<const void*>(this)) +
                                             u" PKI::CCertificate::CImpl::~CImpl " +
                                             Vsk::Utils::ToWString(count));
        }
    } catch (...) {
    }
}

void CCertificate::CImpl::clear() {
    CLock lock(this);
    if (m_context) {
        const PCCERT_CONTEXT held = m_context;
        m_context = nullptr;
        if (CertFreeCertificateContext(held))
            CertText::log(4, "Vsk::PKI::CCertificate::CImpl::clear",
                          Vsk::Utils::ToWString(static_cast<const void*>(held)) + u" context freed");
        else
            CertText::logError(1, "Vsk::PKI::CCertificate::CImpl::clear", u"CertFreeCertificateContext",
                               GetLastError());
    }
    m_keyNotBefore = zeroTime();
    m_keyNotAfter = zeroTime();
    m_cacheFlags = 0;
    m_hasKeyLink = false;
    m_providerType = 0;
    m_thumbprint.clear();
    m_serialBytes.clear();
    m_serialText.clear();
    m_subjectName.clear();
    m_issuerName.clear();
    m_providerName.clear();
    m_containerName.clear();
    m_crlDistributionPoints.clear();
    // Empty lists again; they are made when first asked for.
    m_enhancedKeyUsages.reset();
    m_issuerAttributes.reset();
    m_subjectAttributes.reset();
    m_cacheAcquisition = false;
    m_keySpec = 0;
    // Values of the certificate held before must not outlive it.
    m_subjectShortName.clear();
    m_issuerShortName.clear();
    m_publicKeyOid.clear();
    m_signatureOid.clear();
    m_keyAlgId = 0;
    m_algorithm.reset();
    m_cspInfo.reset();
    m_publicKey.clear();
}

void CCertificate::CImpl::LoadFromBlob(const CDataBlob& input) {
    CLock lock(this);
    clear();
    if (input.getSize() == 0)
        throw CCryptError::CCryptErrorTextA(130501, "Отсутствуют данные сертификата", 0);
    try {
        CDataBlob bytes = input;
        CDataBlob decoded;
        if (Vsk::Utils::IsBase64(input, &decoded)) bytes = decoded;
        const PCCERT_CONTEXT context =
            CertCreateCertificateContext(Encoding, bytes.getData(), bytes.getSize());
        if (!context) {
            const DWORD error = GetLastError();
            CertText::logError(1, "Vsk::PKI::CCertificate::CImpl::LoadFromBlob",
                               u"Certificate: " + Vsk::Utils::ToBase64Text(input), error);
            throw CCryptError(130502, error);
        }
        m_context = context;
        CertText::log(4, "Vsk::PKI::CCertificate::CImpl::LoadFromBlob",
                      Vsk::Utils::ToWString(static_cast<const void*>(context)));
    } catch (const CCryptError&) {
        throw;
    } catch (const CError& error) {
        throw CCryptError(error);
    }
}

void CCertificate::CImpl::put_CertContext(PCCERT_CONTEXT context) {
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::CCertificate::CImpl::put_CertContext",
                    Vsk::Utils::ToWString(static_cast<const void*>(context)));
    CLock lock(this);
    clear();
    if (!context) return;
    const PCCERT_CONTEXT duplicate = CertDuplicateCertificateContext(context);
    if (!duplicate) {
        const DWORD error = GetLastError();
        CDataBlob der(context->pbCertEncoded, context->cbCertEncoded, false);
        CertText::logError(1, "Vsk::PKI::CCertificate::CImpl::put_CertContext",
                           getCertContextText(context) + u" " + Vsk::Utils::ToBase64Text(der), error);
        throw CCryptError(130601, error);
    }
    m_context = duplicate;
}

void CCertificate::CImpl::findCertInStores() {
    try {
        CDataBlob issuerDer = issuer().m_encoding;
        CDataBlob serial = m_serialBytes;
        CERT_INFO id{};
        id.Issuer.cbData = issuerDer.getSize();
        id.Issuer.pbData = issuerDer.getData();
        id.SerialNumber.cbData = serial.getSize();
        id.SerialNumber.pbData = serial.getData();
        static const WCHAR* const stores[] = {u"MY", u"AddressBook", u"CA", u"ROOT"};
        for (DWORD location : {CERT_SYSTEM_STORE_CURRENT_USER, CERT_SYSTEM_STORE_LOCAL_MACHINE}) {
            for (const WCHAR* name : stores) {
                HCERTSTORE store =
                    CertOpenStore(CERT_STORE_PROV_SYSTEM_W, Encoding, 0,
                                  location | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG, name);
                if (!store) continue;
                PCCERT_CONTEXT found = CertGetSubjectCertificateFromStore(store, Encoding, &id);
                CertCloseStore(store, 0);
                if (!found) continue;
                try {
                    put_CertContext(found);
                } catch (...) {
                }
                CertFreeCertificateContext(found);
                return;
            }
        }
    } catch (...) {
    }
}

const CERT_INFO* CCertificate::CImpl::certInfo() const {
    return m_context ? m_context->pCertInfo : nullptr;
}

// ---- Implementation: identity and names ---------------------------------------------------------------

CAString CCertificate::CImpl::get_Thumbprint() {
    CLock lock(this);
    if (m_thumbprint.getLength() || !m_context) return m_thumbprint;
    DWORD error = 0;
    const CDataBlob hash = GetCertificateContextProperty(m_context, CERT_SHA1_HASH_PROP_ID, &error);
    if (hash.getSize() == 0) throw CCryptError(130102, error);
    CAString text = hash.toHex(nullptr, false);
    if (text.getStatus() != 0) throw CCryptError(130105, static_cast<DWORD>(ERROR_OUTOFMEMORY));
    m_thumbprint = text;
    return m_thumbprint;
}

CDataBlob CCertificate::CImpl::get_SerialNumberBlob() {
    CLock lock(this);
    const CERT_INFO* info = certInfo();
    if (m_serialBytes.getSize() == 0 && info && info->SerialNumber.cbData)
        m_serialBytes = CDataBlob(info->SerialNumber.pbData, info->SerialNumber.cbData, true);
    return m_serialBytes.clone();
}

CAString CCertificate::CImpl::serialText() {
    CLock lock(this);
    if (m_serialText.getLength()) return m_serialText;
    const CDataBlob serial = get_SerialNumberBlob();
    if (serial.getSize() == 0) return m_serialText;
    CAString text = serial.toHex(nullptr, true);
    if (text.getStatus() != 0) throw CCryptError(130106, static_cast<DWORD>(ERROR_OUTOFMEMORY));
    m_serialText = text;
    return m_serialText;
}

CAttributes& CCertificate::CImpl::subject() {
    CLock lock(this);
    const CERT_INFO* info = certInfo();
    if (!(m_cacheFlags & FlagSubject) && info) {
        CAttributesPtr parsed = CAttributes::createNew();
        parsed->fromX501Name(CDataBlob(info->Subject.pbData, info->Subject.cbData, true));
        m_subjectAttributes = parsed;
        m_cacheFlags |= FlagSubject;
    }
    if (!m_subjectAttributes) m_subjectAttributes = CAttributes::createNew();
    return *m_subjectAttributes;
}

CAttributes& CCertificate::CImpl::issuer() {
    CLock lock(this);
    const CERT_INFO* info = certInfo();
    if (!(m_cacheFlags & FlagIssuer) && info) {
        CAttributesPtr parsed = CAttributes::createNew();
        parsed->fromX501Name(CDataBlob(info->Issuer.pbData, info->Issuer.cbData, true));
        m_issuerAttributes = parsed;
        m_cacheFlags |= FlagIssuer;
    }
    if (!m_issuerAttributes) m_issuerAttributes = CAttributes::createNew();
    return *m_issuerAttributes;
}

CWString CCertificate::CImpl::subjectName() {
    CLock lock(this);
    if (!(m_cacheFlags & FlagSubjectName) && m_context) {
        m_subjectName = displayName(subject());
        m_cacheFlags |= FlagSubjectName;
    }
    return m_subjectName;
}

CWString CCertificate::CImpl::issuerName() {
    CLock lock(this);
    if (!(m_cacheFlags & FlagIssuerName) && m_context) {
        m_issuerName = displayName(issuer());
        m_cacheFlags |= FlagIssuerName;
    }
    return m_issuerName;
}

CWString CCertificate::CImpl::subjectShortName() {
    CLock lock(this);
    if (m_subjectShortName.getLength() == 0) m_subjectShortName = getShortName(subject());
    return m_subjectShortName;
}

CWString CCertificate::CImpl::issuerShortName() {
    CLock lock(this);
    if (m_issuerShortName.getLength() == 0) m_issuerShortName = getShortName(issuer());
    return m_issuerShortName;
}

CWString CCertificate::CImpl::getText() {
    CLock lock(this);
    const CAString thumbprint = get_Thumbprint();
    if (thumbprint.getLength())
        return u"отпечаток: " + a2w(thumbprint) + u", владелец: " + subjectShortName();
    return u"серийный номер: " + a2w(serialText()) + u", издатель: " + issuerShortName();
}

// ---- Implementation: comparison -------------------------------------------------------------------------

bool lessOrderKey(const CCertOrderKey& a, const CCertOrderKey& b) {
    auto decide = [](int difference, bool& decided) {
        decided = difference != 0;
        return difference < 0;
    };
    bool decided = false;
    bool result = false;
    if (a.hasContext != b.hasContext) {
        // Certificates and descriptions are ordered by different values; keeping the two kinds apart
        // keeps the order strict and weak across both (a description sorts first).
        return !a.hasContext;
    }
    if (a.hasContext) {
        result = decide(a.serial.compare(b.serial), decided);
        if (!decided) result = decide(a.thumbprint.compare(b.thumbprint, true), decided);
        if (!decided) result = decide(a.store < b.store ? -1 : (b.store < a.store ? 1 : 0), decided);
    } else {
        result = decide(a.serialText.compare(b.serialText, true), decided);
        if (!decided) result = decide(a.issuerDer.compare(b.issuerDer), decided);
    }
    if (decided) return result;
    if (a.providerType != b.providerType) return a.providerType < b.providerType;
    int difference = a.providerName.compare(b.providerName, true);
    if (difference != 0) return difference < 0;
    difference = a.containerName.compare(b.containerName, true);
    return difference < 0;
}

CCertOrderKey CCertificate::CImpl::orderKey() {
    CLock lock(this);
    CCertOrderKey key;
    key.hasContext = m_context != nullptr;
    if (m_context) {
        key.serial = get_SerialNumberBlob();
        key.thumbprint = get_Thumbprint();
        key.store = m_context->hCertStore;
    } else {
        key.serialText = serialText();
        if (m_cacheFlags & FlagIssuer) key.issuerDer = issuer().toX501Name(false);
    }
    loadKeyProvInfo();
    key.providerType = m_providerType;
    key.providerName = m_providerName;
    key.containerName = m_containerName;
    return key;
}

bool CCertificate::CImpl::less(CImpl& a, CImpl& b) {
    if (&a == &b) return false;
    const CCertOrderKey left = a.orderKey();
    const CCertOrderKey right = b.orderKey();
    return lessOrderKey(left, right);
}

bool CCertificate::CImpl::equal(CImpl& other) {
    if (this == &other) return true;
    CEqualView mine, theirs;
    takeView(*this, mine);
    takeView(other, theirs);
    if (mine.context) {
        if (mine.context == theirs.context) return true;
        if (theirs.context)
            return mine.context->cbCertEncoded == theirs.context->cbCertEncoded &&
                   std::equal(mine.context->pbCertEncoded,
                              mine.context->pbCertEncoded + mine.context->cbCertEncoded,
                              theirs.context->pbCertEncoded);
    }
    const bool same = mine.serial == theirs.serial && mine.issuer->equal(*theirs.issuer, false);
    if (Vsk::InternalUtils::GetLogLevel() >= 4)
        CertText::log(4, "Vsk::PKI::CCertificate::CImpl::equal",
                      CWString(same ? u"true" : u"false") + u", SerialNumber: " + a2w(mine.serialText) +
                          u" - " + a2w(theirs.serialText) + u"\nIssuerAttributes: " +
                          mine.issuer->toX500String(false, false, false) + u" - " +
                          theirs.issuer->toX500String(false, false, false));
    if (!same) return false;
    if (mine.publicKeyOid.getLength() && theirs.publicKeyOid.getLength() &&
        mine.publicKeyOid != theirs.publicKeyOid) {
        CertText::log(2, "Vsk::PKI::CCertificate::CImpl::equal",
                      mine.text + u", PublicKeyAlgorithm: " + a2w(mine.publicKeyOid) + u" != " +
                          a2w(theirs.publicKeyOid));
        return false;
    }
    if (mine.signatureOid.getLength() && theirs.signatureOid.getLength() &&
        mine.signatureOid != theirs.signatureOid) {
        CertText::log(2, "Vsk::PKI::CCertificate::CImpl::equal",
                      mine.text + u", SignatureAlgorithm: " + a2w(mine.signatureOid) + u" != " +
                          a2w(theirs.signatureOid));
        return false;
    }
    return true;
}

// ---- Handle -------------------------------------------------------------------------------------------

CCertificate::CCertificate(bool create) {
    if (create) m_pImpl = CRefPtr<CImpl>::tryCreate();
}
CCertificate::CCertificate(const CCertificate& other) = default;
CCertificate::CCertificate(CCertificate&& other) noexcept = default;
CCertificate& CCertificate::operator=(const CCertificate& other) = default;
CCertificate& CCertificate::operator=(CCertificate&& other) noexcept = default;
CCertificate::~CCertificate() = default;

CCertificate::CImpl* CCertificate::impl() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

bool CCertificate::create() {
    m_pImpl = CRefPtr<CImpl>::tryCreate();
    return static_cast<bool>(m_pImpl);
}

void CCertificate::LoadFromBlob(const CDataBlob& bytes) {
    CLogScope scope;
    if (scope.getLevel() >= 5)
        scope.enter("Vsk::PKI::CCertificate::LoadFromBlob", Vsk::Utils::ToBase64Text(bytes));
    CImpl* p = impl();
    CLock lock(p);
    p->LoadFromBlob(bytes);
}

void CCertificate::put_CertContext(PCCERT_CONTEXT context) {
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::CCertificate::put_CertContext",
                    Vsk::Utils::ToWString(static_cast<const void*>(context)));
    if (m_pImpl) {
        CLock lock(m_pImpl.get());
        if (m_pImpl->m_context == context) return;
    }
    if (context) CImpl::freeNonUsedCache();
    CRefPtr<CImpl> fresh = CRefPtr<CImpl>::create();
    if (context) fresh->put_CertContext(context);
    m_pImpl = fresh;
}

void CCertificate::put_DecryptCertInfo(const CDataBlob& issuerName, const CDataBlob& serialNumber,
                                       const CAString& publicKeyOid) {
    CLogScope scope;
    if (scope.getLevel() >= 4) scope.enter("Vsk::PKI::CCertificate::put_DecryptCertInfo");
    if (!m_pImpl) m_pImpl = CRefPtr<CImpl>::create();
    CImpl* p = m_pImpl.get();
    CLock lock(p);
    CAttributesPtr issuer = CAttributes::createNew();
    issuer->fromX501Name(issuerName);
    p->m_issuerAttributes = issuer;
    p->m_cacheFlags |= CImpl::FlagIssuer;
    p->m_issuerName = valueOf(*issuer, "2.5.4.3");
    p->m_issuerShortName.clear();
    p->m_serialBytes = serialNumber.clone();
    p->m_serialText.clear();
    p->serialText();
    p->m_publicKeyOid = publicKeyOid;
    p->m_keyAlgId = OIDToAlgId(publicKeyOid);
    if (!p->m_context) p->findCertInStores();
}

PCCERT_CONTEXT CCertificate::get_CertContext() const {
    if (!m_pImpl) return nullptr;
    CLock lock(m_pImpl.get());
    return m_pImpl->m_context;
}

CDataBlob CCertificate::get_Encoded(bool copy) const {
    if (!m_pImpl) return CDataBlob();
    CLock lock(m_pImpl.get());
    const PCCERT_CONTEXT context = m_pImpl->m_context;
    if (!context || !context->cbCertEncoded) return CDataBlob();
    return CDataBlob(context->pbCertEncoded, context->cbCertEncoded, copy);
}

DWORD CCertificate::get_Version() const {
    CImpl* p = impl();
    CLock lock(p);
    const CERT_INFO* info = p->certInfo();
    if (!info) return 0;
    switch (info->dwVersion) {
        case CERT_V1:
        case CERT_V2:
        case CERT_V3:
            return info->dwVersion + 1;
        default:
            return 0;
    }
}

CAString CCertificate::get_Thumbprint() const {
    return impl()->get_Thumbprint();
}

CWString CCertificate::get_SerialNumber() const {
    return a2w(impl()->serialText());
}

CDataBlob CCertificate::get_SerialNumberBlob() const {
    return impl()->get_SerialNumberBlob();
}

FILETIME CCertificate::get_NotBefore(bool local) const {
    CImpl* p = impl();
    CLock lock(p);
    const CERT_INFO* info = p->certInfo();
    return info ? maybeLocal(info->NotBefore, local) : zeroTime();
}

FILETIME CCertificate::get_NotAfter(bool local) const {
    CImpl* p = impl();
    CLock lock(p);
    const CERT_INFO* info = p->certInfo();
    return info ? maybeLocal(info->NotAfter, local) : zeroTime();
}

CRefPtr<CAttributes> CCertificate::get_Subject() const {
    CImpl* p = impl();
    CLock lock(p);
    return CAttributesPtr(&p->subject());
}

CRefPtr<CAttributes> CCertificate::get_Issuer() const {
    CImpl* p = impl();
    CLock lock(p);
    return CAttributesPtr(&p->issuer());
}

CWString CCertificate::get_SubjectName() const {
    return impl()->subjectName();
}

CWString CCertificate::get_IssuerName() const {
    return impl()->issuerName();
}

CWString CCertificate::get_SubjectShortName() const {
    return impl()->subjectShortName();
}

CWString CCertificate::getText() const {
    if (!m_pImpl) return u"null";
    return m_pImpl->getText();
}

bool CCertificate::equal(const CCertificate& other) const {
    if (m_pImpl.get() == other.m_pImpl.get()) return true;
    if (!m_pImpl || !other.m_pImpl) return false;
    return m_pImpl->equal(*other.m_pImpl);
}

bool CCertificate::operator<(const CCertificate& other) const {
    if (m_pImpl.get() == other.m_pImpl.get()) return false;
    if (m_pImpl && other.m_pImpl) return CImpl::less(*m_pImpl, *other.m_pImpl);
    return std::less<const CImpl*>()(m_pImpl.get(), other.m_pImpl.get());
}

void CCertificate::ShowDialog(HWND parent, const WCHAR* title) const {
    CImpl* p = impl();
    PCCERT_CONTEXT shown = nullptr;
    {
        CLock lock(p);
        if (!p->m_context) throw CCryptError(130401, static_cast<DWORD>(0));
        shown = CertDuplicateCertificateContext(p->m_context);
    }
    // The viewer is modal: the object stays usable by other threads while it is open.
    struct Release {
        PCCERT_CONTEXT& context;
        ~Release() { FreeCertificateContext(context); }
    } release{shown};
    // The system viewer of the windowing part; a program without windows lacks the module
    // (ERROR_MOD_NOT_FOUND) and gets the step's error.
    struct Module {
        HMODULE handle = LoadLibraryW(u"Cryptui.dll");
        ~Module() {
            if (handle) FreeLibrary(handle);
        }
    } cryptui;
    const auto view = cryptui.handle ? reinterpret_cast<PFN_CRYPTUI_DLG_VIEW_CERTIFICATE_W>(
                                           GetProcAddress(cryptui.handle, "CryptUIDlgViewCertificateW"))
                                     : nullptr;
    if (!view) throw CCryptError(130402, GetLastError());
    CRYPTUI_VIEWCERTIFICATE_STRUCTW info{};
    info.dwSize = sizeof(info);
    info.hwndParent = parent;
    info.szTitle = title;
    info.pCertContext = shown;
    if (view(&info, nullptr)) return;
    const DWORD error = GetLastError();
    if (error == ERROR_CANCELLED) return;
    throw CCryptError(130402, error);
}

void CCertificate::ClearCache() {
    CCertCache::clearThreadCache();
}

bool CCertificate::CImpl::deleteInCache(PCCERT_CONTEXT context) {
    return CCertCache::deleteInCache(context);
}

void CCertificate::CImpl::freeNonUsedCache() {
    CCertCache::freeNonUsedCache();
}

}  // namespace Vsk::PKI
