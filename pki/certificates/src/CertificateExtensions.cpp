// The three extensions the program reads from a certificate: the CRL distribution points (shown, and
// used to download the issuer's CRL), the extended key usages, and the private key usage period that
// limits the key's validity inside the certificate's own; and the certificate's validity now.
//
// The CRL download tries the distribution points in order over the library's HTTP client; it runs on
// the caller's thread under the certificate's lock.
//
// Each extension is read on its own: a malformed one fails only the operations that need it (its
// error is kept and raised by them), so one bad extension never hides the others or the validity of
// a certificate in a list.
#include <vsk/asn1/asn1.h>
#include <vsk/pki/Attributes.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/Crl.h>
#include <vsk/pki/CryptError.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/certname.h>
#include <vsk/platform/kernel.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/http.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include "CertificateImpl.h"

namespace Vsk::PKI {

using Vsk::InternalUtils::GetLogLevel;
using Vsk::InternalUtils::LogAt;
using Vsk::Utils::CArray;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CWString;

namespace {

// A structure CryptDecodeObjectEx allocated, given back with LocalFree.
struct CDecoded {
    void* data = nullptr;
    ~CDecoded() {
        if (data) LocalFree(data);
    }
};

bool decodeExtension(const CERT_EXTENSION& extension, LPCSTR structType, void** out) {
    DWORD size = 0;
    return CryptDecodeObjectEx(X509_ASN_ENCODING, structType, extension.Value.pbData, extension.Value.cbData,
                               CRYPT_DECODE_ALLOC_FLAG, nullptr, out, &size) != FALSE;
}

void readDistributionPoints(const CERT_EXTENSION& extension, CArray<CWString>& urls) {
    CDecoded decoded;
    if (!decodeExtension(extension, szOID_CRL_DIST_POINTS, &decoded.data))
        throw CCryptError(130115, Vsk::Utils::LastErrorCode);
    const auto* info = static_cast<const CRL_DIST_POINTS_INFO*>(decoded.data);
    for (DWORD i = 0; i < info->cDistPoint; ++i) {
        const CRL_DIST_POINT_NAME& name = info->rgDistPoint[i].DistPointName;
        if (name.dwDistPointNameChoice != CRL_DIST_POINT_FULL_NAME) continue;
        for (DWORD j = 0; j < name.FullName.cAltEntry; ++j) {
            const CERT_ALT_NAME_ENTRY& entry = name.FullName.rgAltEntry[j];
            if (entry.dwAltNameChoice != CERT_ALT_NAME_URL || !entry.pwszURL) continue;
            CWString url = copyCertText(entry.pwszURL, 130116, 130117);
            if (url.getLength()) urls.add(url);
        }
    }
}

void readKeyUsages(const CERT_EXTENSION& extension, CAttributes& usages) {
    CDecoded decoded;
    if (!decodeExtension(extension, X509_ENHANCED_KEY_USAGE, &decoded.data))
        throw CCryptError(130118, Vsk::Utils::LastErrorCode);
    const auto* info = static_cast<const CERT_ENHKEY_USAGE*>(decoded.data);
    for (DWORD i = 0; i < info->cUsageIdentifier; ++i) {
        const CAString oid = copyCertText(info->rgpszUsageIdentifier[i], 130119, 130120);
        CAttributePtr usage = CAttributePtr::create();
        usage->put_OID(oid);
        usages.add(usage);
    }
}

// PrivateKeyUsagePeriod ::= SEQUENCE { notBefore [0] GeneralizedTime OPTIONAL,
//                                      notAfter  [1] GeneralizedTime OPTIONAL }
// Each bound is read by its tag, so a period with only one bound limits the key on that side.
void readKeyUsagePeriod(const CERT_EXTENSION& extension, FILETIME& notBefore, FILETIME& notAfter) {
    Vsk::ASN1::CSequence period;
    period.decode(CDataBlob(extension.Value.pbData, extension.Value.cbData, true));
    if (period.isIncomplete()) return;
    for (size_t i = 0; i < period.getCount(); ++i) {
        const Vsk::ASN1::CNode* bound = period.getItem(i);
        if (bound->getClass() != 0x80) continue;
        const CDataBlob text = bound->getContents();
        const FILETIME time = Vsk::ASN1::parseUTCTime(
            CAString(reinterpret_cast<const char*>(text.getData()), static_cast<size_t>(text.getSize())));
        if (bound->getTag() == 0) notBefore = time;
        if (bound->getTag() == 1) notAfter = time;
    }
}

bool isZero(const FILETIME& time) {
    return time.dwLowDateTime == 0 && time.dwHighDateTime == 0;
}

void logExtensionError(const CError& error) {
    if (GetLogLevel() >= 1)
        LogAt(1, CWString(u"PKI::CCertificate::CImpl::parseExtensions ") + error.getText());
}

}  // namespace

void CCertificate::CImpl::parseExtensions() {
    CLock lock(this);
    if (m_values.cacheFlags & FlagExtensions) return;
    const CERT_INFO* info = certInfo();
    if (!info) return;
    CArray<CWString> urls;
    CAttributesPtr usages = CAttributes::createNew();
    FILETIME notBefore{0, 0}, notAfter{0, 0};
    for (DWORD i = 0; i < info->cExtension; ++i) {
        const CERT_EXTENSION& extension = info->rgExtension[i];
        if (!extension.pszObjId || !extension.Value.cbData) continue;
        const CAString oid(extension.pszObjId);
        try {
            if (oid == szOID_CRL_DIST_POINTS)
                readDistributionPoints(extension, urls);
            else if (oid == szOID_ENHANCED_KEY_USAGE)
                readKeyUsages(extension, *usages);
        } catch (const CError& e) {
            logExtensionError(e);
            (oid == szOID_CRL_DIST_POINTS ? m_values.crlPointsError : m_values.keyUsagesError) =
                std::make_shared<CError>(e);
        }
        if (oid == "2.5.29.16") {
            try {
                readKeyUsagePeriod(extension, notBefore, notAfter);
            } catch (const CError& e) {
                // A period that cannot be read does not limit the key.
                logExtensionError(e);
                notBefore = notAfter = FILETIME{0, 0};
            }
        }
    }
    m_values.crlDistributionPoints = urls;
    m_values.enhancedKeyUsages = usages;
    m_values.keyNotBefore = notBefore;
    m_values.keyNotAfter = notAfter;
    m_values.cacheFlags |= FlagExtensions;
}

CArray<CWString> CCertificate::CImpl::crlDistributionPoints() {
    CLock lock(this);
    parseExtensions();
    if (m_values.crlPointsError) throw CCryptError(*m_values.crlPointsError);
    return m_values.crlDistributionPoints;
}

bool CCertificate::CImpl::isValidDate(CWString* reason) {
    CLock lock(this);
    const CERT_INFO* info = certInfo();
    if (!info) {
        if (reason) *reason += u"срок действия сертификата не известен";
        return false;
    }
    const int place = Vsk::Utils::CheckTimePeriod(info->NotBefore, info->NotAfter);
    if (place == -1) {
        if (reason) *reason += u"срок действия сертификата еще не наступил";
        return false;
    }
    if (place != 0) {
        if (reason) *reason += u"срок действия сертификата истек";
        return false;
    }
    // Extension errors were logged where they were met; the validity does not depend on them.
    parseExtensions();
    const FILETIME& keyNotBefore = m_values.keyNotBefore;
    const FILETIME& keyNotAfter = m_values.keyNotAfter;
    if (isZero(keyNotBefore) && isZero(keyNotAfter)) return true;
    // An absent bound does not limit the key on its side.
    const FILETIME earliest{0, 0};
    const FILETIME latest{0xFFFFFFFFu, 0x7FFFFFFFu};
    const int keyPlace = Vsk::Utils::CheckTimePeriod(isZero(keyNotBefore) ? earliest : keyNotBefore,
                                                     isZero(keyNotAfter) ? latest : keyNotAfter);
    if (keyPlace == 0) return true;
    if (reason)
        *reason += keyPlace == -1 ? CWString(u"Срок действия ключа сертификата еще не наступил!")
                                  : CWString(u"Ключ сертификата просрочен!");
    return false;
}

CArray<CWString> CCertificate::get_CrlDistributionPoints() const {
    return impl()->crlDistributionPoints();
}

FILETIME CCertificate::get_PrivateKeyNotBefore(bool local) const {
    CImpl* p = impl();
    CLock lock(p);
    p->parseExtensions();
    FILETIME time = p->m_values.keyNotBefore;
    // An absent bound stays zero in local time too.
    if (local && !isZero(time) && !FileTimeToLocalFileTime(&p->m_values.keyNotBefore, &time))
        time = FILETIME{0, 0};
    return time;
}

FILETIME CCertificate::get_PrivateKeyNotAfter(bool local) const {
    CImpl* p = impl();
    CLock lock(p);
    p->parseExtensions();
    FILETIME time = p->m_values.keyNotAfter;
    if (local && !isZero(time) && !FileTimeToLocalFileTime(&p->m_values.keyNotAfter, &time))
        time = FILETIME{0, 0};
    return time;
}

bool CCertificate::isValidDate(CWString* reason) const {
    CImpl* p = impl();
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CCertificate::isValidDate", 3);
    const bool valid = p->isValidDate(reason);
    if (scope.isEntered()) scope.setResult(valid);
    return valid;
}

CCrl CCertificate::DownloadCRL(const Vsk::Utils::CProxySettings* proxy, HWND parent) const {
    CImpl* p = impl();
    CLock lock(p);
    const CArray<CWString> urls = p->crlDistributionPoints();
    if (!urls.getCount())
        throw CCryptError::CCryptErrorText(
            0, u"CrlDestinationPoints отсутствуют у сертификата \"" + p->subjectName() + u"\"",
            Vsk::Utils::NoErrorCode);
    Vsk::Utils::CErrorFormatter collected;
    // Bytes that came with status 200 but did not load as a CRL, for the detailed log.
    CDataBlob unloaded;
    for (size_t i = 0; i < urls.getCount(); ++i) {
        try {
            Vsk::InternalUtils::CHttp http(proxy);
            if (!http.put_Url(urls[i])) {
                collected.push(http.format(u"\r\n"));
                continue;
            }
            if (http.SendRequest(CDataBlob(), 1, CWString(u"VosKel"), CWString(), parent) != 200) {
                collected.push(http.format(u"\r\n"));
                continue;
            }
            const CDataBlob bytes = Vsk::InternalUtils::DownloadWithProgress(http, parent);
            unloaded = bytes;
            CCrl crl(true);
            crl.LoadFromBlob(bytes);
            return crl;
        } catch (const CError& e) {
            collected.push(e);
        } catch (...) {
            collected.push(CError(u"Неопознанная ошибка.", Vsk::Utils::LastErrorCode));
        }
    }
    if (unloaded.getSize() && GetLogLevel() >= 4)
        LogAt(4, CWString(u"PKI::CCertificate::CImpl::DownloadCRL Downloaded CRL: ") +
                     Vsk::Utils::ToBase64Text(unloaded));
    throw CCryptError(collected.format(u"\r\n"));
}

}  // namespace Vsk::PKI
