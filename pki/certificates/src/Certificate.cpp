#include <vsk/asn1/asn1.h>
#include <vsk/pki/Attributes.h>
#include <vsk/pki/CertApi.h>
#include <vsk/pki/CertCache.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/Hash.h>
#include <vsk/pki/OidNames.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/platform/certname.h>
#include <vsk/platform/cryptui.h>
#include <vsk/platform/module.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/error.h>
#include <vsk/utils/global.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <atomic>
#include <cstring>

#include "CertificateImpl.h"
#include "certificateText.h"
#include "nameRows.h"

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

// Surname and given names, with the common name unless contained; else the common name; else the
// organisation. `valueOf` gives the value of the first attribute of an OID.
template <class ValueOf>
CWString shortNameFrom(ValueOf valueOf) {
    const CWString surname = trimmed(valueOf("2.5.4.4"));
    const CWString givenNames = trimmed(valueOf("2.5.4.42"));
    const CWString commonName = trimmed(valueOf("2.5.4.3"));
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
    if (result.getLength() == 0) result = valueOf("2.5.4.10");
    return result;
}

CWString shortNameOfRows(const CParsedName& rows) {
    return shortNameFrom([&](const char* oid) {
        for (const CParsedAttribute& row : rows)
            if (row.oid.c_str() && std::strcmp(row.oid.c_str(), oid) == 0) return row.value;
        return CWString();
    });
}

CDataBlob nameBlob(const CERT_NAME_BLOB& name) {
    return CDataBlob(name.pbData, name.cbData, false);
}

// The name as the object shows it, from attributes already parsed.
CWString displayName(CAttributes& name) {
    CWString shortName = getShortName(name);
    return shortName.getLength() ? shortName : name.toX500String(false, true, true);
}

// The short name of a DER Name, read into rows that the certificate does not keep.
CWString shortNameOfDer(const CERT_NAME_BLOB& name) {
    return shortNameOfRows(*ReadNameRows(nameBlob(name)));
}

// The name as the object shows it: its short name, else its X.500 text of names, last RDN first.
// Read on demand: the attribute objects are made only when there is no short name, and dropped.
CWString displayNameOfDer(const CERT_NAME_BLOB& name) {
    const CWString shortName = shortNameOfDer(name);
    if (shortName.getLength()) return shortName;
    CAttributesPtr attributes = CAttributes::createNew();
    attributes->fromX501Name(nameBlob(name));
    return attributes->toX500String(false, true, true);
}

// The copies of one side's values that equality works on when a side holds no certificate.
struct CEqualView {
    CDataBlob serial;
    CAString serialText;
    CAttributesPtr issuer;
    CAString publicKeyOid;
    CAString signatureOid;
    CWString text;
};

void takeView(CCertificate::CImpl& impl, CEqualView& view) {
    CLock lock(&impl);
    view.serial = impl.get_SerialNumberBlob();
    view.serialText = impl.serialText();
    view.issuer = CAttributesPtr(&impl.issuer());
    impl.fillAlgorithmOIDs();
    view.publicKeyOid = impl.m_values.publicKeyOid;
    view.signatureOid = impl.m_values.signatureOid;
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
    return shortNameFrom([&](const char* oid) { return valueOf(name, oid); });
}

// ---- Implementation: life -------------------------------------------------------------------------------

CCertificate::CImpl::CImpl() {
    countLiveObject(ImplClassName, this, 1, "PKI::CCertificate::CImpl::CImpl");
}

CCertificate::CImpl::~CImpl() {
    try {
        m_context.reset();
        countLiveObject(ImplClassName, this, -1, "PKI::CCertificate::CImpl::~CImpl");
    } catch (...) {
        // Only the count's log line can fail (out of memory).
    }
}

void CCertificate::CImpl::clear() {
    CLock lock(this);
    if (m_context) {
        const PCCERT_CONTEXT held = m_context.release();
        if (CertContextFree::free(held, "Vsk::PKI::CCertificate::CImpl::clear"))
            CertText::log(4, "Vsk::PKI::CCertificate::CImpl::clear",
                          Vsk::Utils::ToWString(static_cast<const void*>(held)) + u" context freed");
    }
    m_values = CValues{};
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
        CertContextPtr context(CertCreateCertificateContext(Encoding, bytes.getData(), bytes.getSize()));
        if (!context) {
            const DWORD error = GetLastError();
            // What failed to decode may be anything the user picked, a private key too: the log gets
            // its size and digest, never its bytes.
            CertText::logError(1, "Vsk::PKI::CCertificate::CImpl::LoadFromBlob",
                               u"Certificate: " + SizeAndDigestText(input), error);
            throw CCryptError(130502, error);
        }
        m_context = std::move(context);
        CertText::log(4, "Vsk::PKI::CCertificate::CImpl::LoadFromBlob",
                      Vsk::Utils::ToWString(static_cast<const void*>(m_context.get())));
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
    CertContextPtr duplicate = duplicateContext(context);
    if (!duplicate) {
        const DWORD error = GetLastError();
        CDataBlob der(context->pbCertEncoded, context->cbCertEncoded, false);
        CertText::logError(1, "Vsk::PKI::CCertificate::CImpl::put_CertContext",
                           getCertContextText(context) + u" " + Vsk::Utils::ToBase64Text(der), error);
        throw CCryptError(130601, error);
    }
    m_context = std::move(duplicate);
}

void CCertificate::CImpl::findCertInStores() {
    static const char* const Function = "Vsk::PKI::CCertificate::CImpl::findCertInStores";
    try {
        const CDataBlob issuerDer = issuer().m_encoding;
        const CDataBlob serial = m_values.serialBytes;
        CERT_ID id{};
        id.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
        id.IssuerSerialNumber.Issuer.cbData = issuerDer.getSize();
        id.IssuerSerialNumber.Issuer.pbData = issuerDer.getData();
        id.IssuerSerialNumber.SerialNumber.cbData = serial.getSize();
        id.IssuerSerialNumber.SerialNumber.pbData = serial.getData();
        Vsk::Utils::CArray<CWString> stores;
        for (const char16_t* name : {u"MY", u"AddressBook", u"CA", u"ROOT"}) stores.add(CWString(name));
        for (DWORD location : {CERT_SYSTEM_STORE_CURRENT_USER, CERT_SYSTEM_STORE_LOCAL_MACHINE}) {
            const CertContextPtr found(Vsk::PKI::FindCertificate(stores, id, location));
            if (!found) continue;
            put_CertContext(found.get());
            return;
        }
    } catch (const CError& error) {
        // The search only finds or does not find: the description stays as it is.
        CertText::log(2, Function, u"Поиск сертификата в хранилищах: " + error.getText());
    } catch (const std::exception& error) {
        CertText::log(2, Function,
                      u"Поиск сертификата в хранилищах: " + CWString(error.what(), Vsk::Utils::CP_PROGRAM));
    }
}

const CERT_INFO* CCertificate::CImpl::certInfo() const {
    return m_context ? m_context->pCertInfo : nullptr;
}

// ---- Implementation: identity and names ---------------------------------------------------------------

CAString CCertificate::CImpl::get_Thumbprint() {
    CLock lock(this);
    if (m_values.thumbprint.getLength() || !m_context) return m_values.thumbprint;
    DWORD error = 0;
    const CDataBlob hash = GetCertificateContextProperty(m_context.get(), CERT_SHA1_HASH_PROP_ID, &error);
    if (hash.getSize() == 0) throw CCryptError(130102, error);
    CAString text = hash.toHex(nullptr, false);
    if (text.getStatus() != 0) throw CCryptError(130105, static_cast<DWORD>(ERROR_OUTOFMEMORY));
    m_values.thumbprint = text;
    return m_values.thumbprint;
}

CDataBlob CCertificate::CImpl::get_SerialNumberBlob() {
    CLock lock(this);
    const CERT_INFO* info = certInfo();
    if (m_values.serialBytes.getSize() == 0 && info && info->SerialNumber.cbData)
        m_values.serialBytes = CDataBlob(info->SerialNumber.pbData, info->SerialNumber.cbData, true);
    return m_values.serialBytes.clone();
}

CAString CCertificate::CImpl::serialText() {
    CLock lock(this);
    if (m_values.serialText.getLength()) return m_values.serialText;
    const CDataBlob serial = get_SerialNumberBlob();
    if (serial.getSize() == 0) return m_values.serialText;
    CAString text = serial.toHex(nullptr, true);
    if (text.getStatus() != 0) throw CCryptError(130106, static_cast<DWORD>(ERROR_OUTOFMEMORY));
    m_values.serialText = text;
    return m_values.serialText;
}

CAttributes& CCertificate::CImpl::subject() {
    CLock lock(this);
    const CERT_INFO* info = certInfo();
    if (!(m_values.cacheFlags & FlagSubject) && info) {
        CAttributesPtr parsed = CAttributes::createNew();
        parsed->fromX501Name(CDataBlob(info->Subject.pbData, info->Subject.cbData, true));
        m_values.subjectAttributes = parsed;
        m_values.cacheFlags |= FlagSubject;
    }
    if (!m_values.subjectAttributes) m_values.subjectAttributes = CAttributes::createNew();
    return *m_values.subjectAttributes;
}

CAttributes& CCertificate::CImpl::issuer() {
    CLock lock(this);
    const CERT_INFO* info = certInfo();
    if (!(m_values.cacheFlags & FlagIssuer) && info) {
        CAttributesPtr parsed = CAttributes::createNew();
        parsed->fromX501Name(CDataBlob(info->Issuer.pbData, info->Issuer.cbData, true));
        m_values.issuerAttributes = parsed;
        m_values.cacheFlags |= FlagIssuer;
    }
    if (!m_values.issuerAttributes) m_values.issuerAttributes = CAttributes::createNew();
    return *m_values.issuerAttributes;
}

CWString CCertificate::CImpl::subjectName() {
    CLock lock(this);
    if (!(m_values.cacheFlags & FlagSubjectName) && m_context) {
        m_values.subjectName = (m_values.cacheFlags & FlagSubject)
                                   ? displayName(subject())
                                   : displayNameOfDer(m_context->pCertInfo->Subject);
        m_values.cacheFlags |= FlagSubjectName;
    }
    return m_values.subjectName;
}

CWString CCertificate::CImpl::issuerName() {
    CLock lock(this);
    if (!(m_values.cacheFlags & FlagIssuerName) && m_context) {
        m_values.issuerName = (m_values.cacheFlags & FlagIssuer)
                                  ? displayName(issuer())
                                  : displayNameOfDer(m_context->pCertInfo->Issuer);
        m_values.cacheFlags |= FlagIssuerName;
    }
    return m_values.issuerName;
}

CWString CCertificate::CImpl::subjectShortName() {
    CLock lock(this);
    if (m_values.subjectShortName.getLength() == 0)
        m_values.subjectShortName = (m_values.cacheFlags & FlagSubject) || !certInfo()
                                        ? getShortName(subject())
                                        : shortNameOfDer(certInfo()->Subject);
    return m_values.subjectShortName;
}

CWString CCertificate::CImpl::issuerShortName() {
    CLock lock(this);
    if (m_values.issuerShortName.getLength() == 0)
        m_values.issuerShortName = (m_values.cacheFlags & FlagIssuer) || !certInfo()
                                       ? getShortName(issuer())
                                       : shortNameOfDer(certInfo()->Issuer);
    return m_values.issuerShortName;
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
        if (m_values.cacheFlags & FlagIssuer) key.issuerDer = issuer().toX501Name(false);
    }
    loadKeyProvInfo();
    key.providerType = m_values.providerType;
    key.providerName = m_values.providerName;
    key.containerName = m_values.containerName;
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
    // Two certificates are the same when their encodings are: nothing is parsed or hashed for that.
    // Each side's context is duplicated under its own lock, so the bytes stay valid after it.
    CertContextPtr mineContext, theirContext;
    {
        CLock lock(this);
        mineContext = duplicateContext(m_context.get());
    }
    if (mineContext) {
        {
            CLock lock(&other);
            theirContext = duplicateContext(other.m_context.get());
        }
        if (mineContext.get() == theirContext.get()) return true;
        if (theirContext)
            return mineContext->cbCertEncoded == theirContext->cbCertEncoded &&
                   std::equal(mineContext->pbCertEncoded,
                              mineContext->pbCertEncoded + mineContext->cbCertEncoded,
                              theirContext->pbCertEncoded);
    }
    CEqualView mine, theirs;
    takeView(*this, mine);
    takeView(other, theirs);
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
    if (scope.getLevel() >= 5) scope.enter("Vsk::PKI::CCertificate::LoadFromBlob", SizeAndDigestText(bytes));
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
        if (m_pImpl->m_context.get() == context) return;
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
    p->m_values.issuerAttributes = issuer;
    p->m_values.cacheFlags |= CImpl::FlagIssuer;
    p->m_values.issuerName = valueOf(*issuer, "2.5.4.3");
    p->m_values.issuerShortName.clear();
    p->m_values.serialBytes = serialNumber.clone();
    p->m_values.serialText.clear();
    p->serialText();
    p->m_values.publicKeyOid = publicKeyOid;
    p->m_values.keyAlgId = OIDToAlgId(publicKeyOid);
    if (!p->m_context) p->findCertInStores();
}

PCCERT_CONTEXT CCertificate::get_CertContext() const {
    if (!m_pImpl) return nullptr;
    CLock lock(m_pImpl.get());
    return m_pImpl->m_context.get();
}

CDataBlob CCertificate::get_Encoded(bool copy) const {
    if (!m_pImpl) return CDataBlob();
    CLock lock(m_pImpl.get());
    const PCCERT_CONTEXT context = m_pImpl->m_context.get();
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
    // The viewer is modal: it shows a duplicate, so the object stays usable by other threads while
    // it is open.
    CertContextPtr shown;
    {
        CLock lock(p);
        if (!p->m_context) throw CCryptError(130401, Vsk::Utils::NoErrorCode);
        shown = duplicateContext(p->m_context.get());
    }
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
    info.pCertContext = shown.get();
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
