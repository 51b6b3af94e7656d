// Certificate verification: the chain is built under the verification settings and checked with the
// GOST signature policy (the base policy when that one is not available); the outcome is a status
// that the certificate list, the signature checks and the crypto-system test show with its text.
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/pki/Settings.h>
#include <vsk/platform/cert.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include "CertificateImpl.h"

namespace Vsk::PKI {

using Vsk::InternalUtils::GetLogLevel;
using Vsk::InternalUtils::LogAt;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace {

// Chain flags by revocation mode: cached data only for mode 3, the network allowed for mode 2.
constexpr DWORD CacheOnlyFlags = CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY |
                                 CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT |
                                 CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;  // 0x88000004
// The policy flag every check carries besides the ignore flags of the settings.
constexpr DWORD PolicyBaseFlags = 0x10000;

const struct {
    DWORD bit;
    const char* text;
} TrustTexts[] = {
    {0x0, "Ошибок не найдено."},
    {0x1, "У данного сертификата или у сертификата из цепочки доверия истёк срок действия."},
    {0x2, "Сроки действия сертификатов в цепочке доверия не вложены."},
    {0x4, "Данный сертификат или один из сертификатов цепочки доверия был отозван."},
    {0x8, "Данный сертификат или сертификат из цепочки доверия имеет неверную подпись."},
    {0x10, "Один из сертификатов в цепочке доверия используется не по назначению."},
    {0x20, "Сертификат или один из серификатов цепочки выдан не доверенным УЦ."},
    {0x40, "Не определен статус отозванности сертификата или одного из сертификатов цепочки доверия."},
    {0x80, "Зацикленная цепочка доверия сертификата."},
    {0x100, "Один из сертификатов в цепочке доверия имеет недействительное расширение."},
    {0x200,
     "The certificate or one of the certificates in the certificate chain has a policy constraints "
     "extension:return and one of the issued certificates has a disallowed policy mapping extension or "
     "does not have a required issuance policies extension."},
    {0x400,
     "Один из сертификатов удостоверяющего центра в цепочке доверия не может использоваться для "
     "выпуска сертификатов, либо превышена максимальная длина цепочки."},
    {0x800,
     "The certificate or one of the certificates in the certificate chain has an invalid name "
     "constraints extension."},
    {0x1000,
     "The certificate or one of the certificates in the certificate chain has a name constraints "
     "extension containing unsupported fields."},
    {0x2000,
     "The certificate or one of the certificates in the certificate chain has a name constraints "
     "extension and a name constraint is missing for one of the name choices in the end certificate."},
    {0x4000,
     "The certificate or one of the certificates in the certificate chain has a name constraints "
     "extension and there is not a permitted name constraint for one of the name choices in the end "
     "certificate."},
    {0x8000,
     "The certificate or one of the certificates in the certificate chain has a name constraints "
     "extension and one of the name choices in the end certificate is explicitly excluded."},
    {0x10000, "Неполная цепочка доверия сертификатов."},
    {0x20000, "A CTL used to create this chain was not time-valid."},
    {0x40000, "A CTL used to create this chain did not have a valid signature."},
    {0x80000, "A CTL used to create this chain is not valid for this usage."},
    {0x1000000,
     "Статус отзыва сертификата или одного из сертификатов в цепочке сертификатов либо автономный, "
     "либо устаревший."},
    {0x2000000,
     "The end certificate does not have any resultant issuance policies, and one of the issuing CA "
     "certificates has a policy constraints extension requiring it."},
    {0x4000000, "The certificate is explicitly distrusted."},
    {0x8000000, "Сертификат не поддерживает критическое расширение."},
};

// Statuses that stand for one chain trust bit.
const struct {
    DWORD status;
    DWORD bit;
} StatusBits[] = {
    {101, 0x1},  {102, 0x2},   {103, 0x4},   {104, 0x8},       {105, 0x10},      {106, 0x20},
    {107, 0x40}, {108, 0x100}, {110, 0x400}, {116, 0x1000000}, {119, 0x8000000}, {120, 0x10000},
};

const char* const UnknownStatus = "Неизвестный статус.";

DWORD statusOfPolicy(DWORD error, DWORD extraError) {
    switch (error) {
        case 0:
            if (extraError == 0) return 0;
            if (extraError == 1 || extraError == 2) return 101;
            if (extraError == 32) return 105;
            return 199;
        case 0x800B0101:
            return 101;
        case 0x800B0102:
            return 102;
        case 0x80092010:
        case 0x800B010C:
            return 103;
        case 0x80096004:
            return 104;
        case 0x800B0105:
        case 0x800B0106:
        case 0x800B0110:
            return 105;
        case 0x800B0109:
        case 0x800B010D:
            return 106;
        case 0x80092012:
        case 0x800B010E:
            return 107;
        case 0x800B0113:
            return 109;
        case 0x80096019:
            return 110;
        case 0x800B0114:
            return 111;
        case 0x80092013:
            return 116;
        case 0x800B010A:
            return 120;
        default:
            return 199;
    }
}

}  // namespace

DWORD statusToTrustError(DWORD status) {
    if (status == 0) return 0;
    for (const auto& row : StatusBits)
        if (row.status == status) return row.bit;
    return static_cast<DWORD>(-1);
}

const char* getChainTrustErrorText(DWORD bit) {
    for (const auto& row : TrustTexts)
        if (row.bit == bit) return row.text;
    return "";
}

const char* getVerifyStatusText(DWORD status) {
    switch (status) {
        case 0:
            return "Ошибок не найдено.";
        case 1:
            return "Подпись неверна";
        case 2:
            return "Неизвестный или неподдерживаемый алгоритм";
        case 3:
            return "Не найден сертификат для проверки подписи";
        case 199:
            return "Неизвестная ошибка при проверке сертификата";
        case 200:
            return "На подпись не получен штамп времени";
        case 201:
            return "Штамп времени не соответствует переданным данным";
        case 202:
            return "Подпись штампа времени неверна";
        case 203:
            return "Не найден сертификат для проверки подписи штампа времени";
        default:
            break;
    }
    const DWORD bit = statusToTrustError(status);
    if (bit == 0 || bit == static_cast<DWORD>(-1)) return UnknownStatus;
    return getChainTrustErrorText(bit);
}

DWORD CCertificate::VerifyCertificate(PCCERT_CONTEXT context, const CCertVerifySettings* settings,
                                      const FILETIME* time) {
    if (!settings) throw CCryptError(130701, Vsk::Utils::NoErrorCode);
    if (!context || !context->pCertInfo) throw CCryptError(130702, Vsk::Utils::NoErrorCode);
    Vsk::InternalUtils::CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::CCertificate::VerifyCertificate",
                    getCertContextText(context) + u", " + settings->getText());

    // Mode 1 means "do not check revocation": no scope and no cache-only retrieval, so a user who
    // turned checking off never sees "revocation unknown".
    const int mode = settings->get_RevocationMode();
    DWORD flags = mode == 3 ? CacheOnlyFlags : CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
    if (mode != 1) {
        switch (settings->get_RevocationFlag()) {
            case 1:
                flags |= CERT_CHAIN_REVOCATION_CHECK_END_CERT;
                break;
            case 2:
                flags |= CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
                break;
            case 3:
                flags |= CERT_CHAIN_REVOCATION_CHECK_CHAIN;
                break;
            default:
                break;
        }
    }
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    const uint32_t timeout = settings->get_UrlRetrievalTimeout();
    para.dwUrlRetrievalTimeout = timeout ? timeout : 1;

    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, context, time, nullptr, &para, flags, nullptr, &chain))
        throw CError(u"Ошибка построения цепочки сертификатов!", Vsk::Utils::LastErrorCode);
    struct ChainFree {
        PCCERT_CHAIN_CONTEXT chain;
        ~ChainFree() { CertFreeCertificateChain(chain); }
    } chainFree{chain};

    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = PolicyBaseFlags;
    const int verifyFlags = settings->get_VerifyFlags();
    static const struct {
        int setting;
        DWORD flag;
    } ignores[] = {{1, 0x1}, {2, 0x4}, {4, 0x10}, {8, 0x100}, {16, 0x400}, {32, 0x800}};
    for (const auto& row : ignores)
        if (verifyFlags & row.setting) policy.dwFlags |= row.flag;
    CPSIGNATURE_EXTRA_CERT_CHAIN_POLICY_STATUS extra{};
    extra.cbSize = sizeof extra;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    status.pvExtraPolicyStatus = &extra;
    if (!CertVerifyCertificateChainPolicy(CPCERT_CHAIN_POLICY_SIGNATURE, chain, &policy, &status)) {
        const DWORD code = GetLastError();
        if (GetLogLevel() >= 1)
            LogAt(1, CWString(u"PKI::CCertificate::VerifyCertificate Ошибка проверки цепочки сертификатов c "
                              u"pszPolicyOID=CPCERT_CHAIN_POLICY_SIGNATURE, далее пробуем "
                              u"CERT_CHAIN_POLICY_BASE. ") +
                         Vsk::Utils::GetSystemErrorText(code));
        extra.dwError = 0;
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain, &policy, &status))
            throw CError(u"Ошибка проверки цепочки сертификатов!", Vsk::Utils::LastErrorCode);
    }
    if (scope.getLevel() >= 4)
        LogAt(4, u"PKI::CCertificate::VerifyCertificate CERT_CHAIN_POLICY_STATUS.dwError=0x" +
                     ToWString(static_cast<uint32_t>(status.dwError), 16) +
                     u", CPSIGNATURE_EXTRA_CERT_CHAIN_POLICY_STATUS.dwError=0x" +
                     ToWString(static_cast<uint32_t>(extra.dwError), 16));
    const DWORD result = statusOfPolicy(status.dwError, extra.dwError);
    if (scope.isEntered()) scope.m_result = CWString(getVerifyStatusText(result), 1251);
    return result;
}

DWORD CCertificate::Verify(const CCertVerifySettings& settings, const FILETIME* time) const {
    CImpl* p = impl();
    CLock lock(p);
    return VerifyCertificate(p->m_context.get(), &settings, time);
}

}  // namespace Vsk::PKI
