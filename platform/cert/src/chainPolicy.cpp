// Chain policies (CertVerifyCertificateChainPolicy): the base policy, which turns the trust status
// of the elements into one error in a fixed order of precedence, and the GOST signature policy,
// which adds the end certificate's private-key usage period and key usage.
#include "chainImpl.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <strings.h>

namespace vsk::cert {

namespace {

constexpr DWORD kNameConstraintBits =
    CERT_TRUST_INVALID_NAME_CONSTRAINTS | CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT |
    CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT | CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT |
    CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT;

struct Fault {
    DWORD error = 0;
    LONG element = -1;
};

Fault basePolicy(const ChainObject& chain, DWORD flags) {
    const auto& elements = chain.elements;
    const LONG n = static_cast<LONG>(elements.size());
    // The first element with one of `bits`, unless `ignore` is among the flags.
    const auto first = [&](DWORD bits, DWORD error, DWORD ignore = 0) -> Fault {
        if (ignore && (flags & ignore)) return {};
        for (LONG i = 0; i < n; ++i)
            if (elements[i].TrustStatus.dwErrorStatus & bits) return {error, i};
        return {};
    };
    for (const Fault& fault : {
             first(CERT_TRUST_IS_EXPLICIT_DISTRUST, CERT_E_EXPLICIT_DISTRUST),
             first(CERT_TRUST_IS_NOT_SIGNATURE_VALID, TRUST_E_CERT_SIGNATURE),
             first(CERT_TRUST_IS_UNTRUSTED_ROOT, CERT_E_UNTRUSTEDROOT,
                   CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG),
             first(CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC, CERT_E_CHAINING,
                   CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG),
             first(CERT_TRUST_IS_NOT_TIME_VALID, CERT_E_EXPIRED,
                   CERT_CHAIN_POLICY_IGNORE_NOT_TIME_VALID_FLAG),
             first(CERT_TRUST_IS_NOT_TIME_NESTED, CERT_E_VALIDITYPERIODNESTING,
                   CERT_CHAIN_POLICY_IGNORE_NOT_TIME_NESTED_FLAG),
             first(CERT_TRUST_INVALID_BASIC_CONSTRAINTS, TRUST_E_BASIC_CONSTRAINTS,
                   CERT_CHAIN_POLICY_IGNORE_INVALID_BASIC_CONSTRAINTS_FLAG),
             first(CERT_TRUST_IS_NOT_VALID_FOR_USAGE, CERT_E_WRONG_USAGE,
                   CERT_CHAIN_POLICY_IGNORE_WRONG_USAGE_FLAG),
             first(CERT_TRUST_IS_REVOKED, CRYPT_E_REVOKED),
         }) {
        if (fault.error) return fault;
    }
    // An unknown revocation status, unless ignored for the element's place in the chain.
    for (LONG i = 0; i < n; ++i) {
        const DWORD status = elements[i].TrustStatus.dwErrorStatus;
        if (!(status & CERT_TRUST_REVOCATION_STATUS_UNKNOWN)) continue;
        const DWORD ignore = i == 0 ? CERT_CHAIN_POLICY_IGNORE_END_REV_UNKNOWN_FLAG
                             : i == n - 1 && chain.topSelfSigned
                                 ? CERT_CHAIN_POLICY_IGNORE_ROOT_REV_UNKNOWN_FLAG
                                 : CERT_CHAIN_POLICY_IGNORE_CA_REV_UNKNOWN_FLAG;
        if (flags & ignore) continue;
        return {status & CERT_TRUST_IS_OFFLINE_REVOCATION ? CRYPT_E_REVOCATION_OFFLINE
                                                          : CRYPT_E_NO_REVOCATION_CHECK,
                i};
    }
    for (const Fault& fault : {
             first(CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT, CERT_E_CRITICAL),
             first(kNameConstraintBits, CERT_E_INVALID_NAME, CERT_CHAIN_POLICY_IGNORE_INVALID_NAME_FLAG),
             first(CERT_TRUST_INVALID_EXTENSION | CERT_TRUST_INVALID_POLICY_CONSTRAINTS,
                   CERT_E_INVALID_POLICY, CERT_CHAIN_POLICY_IGNORE_INVALID_POLICY_FLAG),
         }) {
        if (fault.error) return fault;
    }
    return {};
}

// The GOST signature policy's own checks of the end certificate at the verification time.
DWORD signatureChecks(const ChainObject& chain, DWORD flags) {
    X509* end = chain.x509.front().get();
    if (!(flags & CERT_CHAIN_POLICY_IGNORE_NOT_TIME_VALID_FLAG)) {
        auto* period = static_cast<PKEY_USAGE_PERIOD*>(
            X509_get_ext_d2i(end, NID_private_key_usage_period, nullptr, nullptr));
        ERR_clear_error();
        DWORD error = 0;
        if (period) {
            if (period->notAfter && ASN1_TIME_cmp_time_t(period->notAfter, chain.verifyTime) < 0)
                error = CPSIGNATURE_KEY_USAGE_EXPIRED;
            else if (period->notBefore && ASN1_TIME_cmp_time_t(period->notBefore, chain.verifyTime) > 0)
                error = CPSIGNATURE_KEY_USAGE_NOT_YET_VALID;
            PKEY_USAGE_PERIOD_free(period);
        }
        if (error) return error;
    }
    if ((X509_get_extension_flags(end) & EXFLAG_KUSAGE) && !(X509_get_key_usage(end) & KU_DIGITAL_SIGNATURE))
        return CPSIGNATURE_NO_DIGITAL_SIGNATURE;
    return 0;
}

bool isPolicy(LPCSTR policy, LPCSTR wanted) {
    const auto value = reinterpret_cast<uintptr_t>(policy);
    const auto number = reinterpret_cast<uintptr_t>(wanted);
    if (value < 0x10000 || number < 0x10000) return value == number;
    return strcasecmp(policy, wanted) == 0;
}

BOOL fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

}  // namespace

}  // namespace vsk::cert

using namespace vsk::cert;

BOOL CertVerifyCertificateChainPolicy(LPCSTR policy, PCCERT_CHAIN_CONTEXT chain, PCERT_CHAIN_POLICY_PARA para,
                                      PCERT_CHAIN_POLICY_STATUS status) {
    const ChainObject* object = AsChain(chain);
    if (!policy || !object || object->elements.empty() || !status ||
        status->cbSize < offsetof(CERT_CHAIN_POLICY_STATUS, pvExtraPolicyStatus))
        return fail(static_cast<DWORD>(E_INVALIDARG));
    const bool gost = isPolicy(policy, CPCERT_CHAIN_POLICY_SIGNATURE);
    if (!gost && !isPolicy(policy, CERT_CHAIN_POLICY_BASE)) return fail(CRYPT_E_NOT_FOUND);
    // The GOST policy is there only with the engine that knows GOST keys.
    if (gost && !LoadGostEngine()) return fail(CRYPT_E_NOT_FOUND);

    const DWORD flags =
        para && para->cbSize >= offsetof(CERT_CHAIN_POLICY_PARA, pvExtraPolicyPara) ? para->dwFlags : 0;
    const Fault fault = basePolicy(*object, flags);
    status->dwError = fault.error;
    status->lChainIndex = fault.error ? 0 : -1;
    status->lElementIndex = fault.error ? fault.element : -1;
    if (gost && status->cbSize >= sizeof(CERT_CHAIN_POLICY_STATUS) && status->pvExtraPolicyStatus) {
        auto* extra = static_cast<CPSIGNATURE_EXTRA_CERT_CHAIN_POLICY_STATUS*>(status->pvExtraPolicyStatus);
        if (extra->cbSize >= offsetof(CPSIGNATURE_EXTRA_CERT_CHAIN_POLICY_STATUS, pvReserved))
            extra->dwError = fault.error ? 0 : signatureChecks(*object, flags);
    }
    return TRUE;
}
