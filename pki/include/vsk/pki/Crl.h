// A certificate revocation list: made from DER bytes (a downloaded CRL) or from a context a store
// enumerates. Answers the issuer, the update times and whether a certificate is listed.
#pragma once

#include <vsk/pki/Attributes.h>
#include <vsk/platform/cert.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/string.h>

#include <cstdint>

namespace Vsk::PKI {

class CCertificate;

class CCrl {
public:
    // Private to the library.
    class CImpl;

    // true: an empty CRL object; false: an empty handle.
    explicit CCrl(bool create = true);
    CCrl(const CCrl& other);
    CCrl(CCrl&& other) noexcept;
    CCrl& operator=(const CCrl& other);
    CCrl& operator=(CCrl&& other) noexcept;
    ~CCrl();

    // DER only (Base64 text fails with 140302); a failed load leaves the object empty.
    void LoadFromBlob(const Vsk::Utils::CDataBlob& der);
    // Takes a duplicate of the context (null empties the object).
    void put_CrlContext(PCCRL_CONTEXT context);
    // Borrowed; null when no CRL is held.
    PCCRL_CONTEXT get_CrlContext() const;
    Vsk::Utils::CWString get_IssuerName() const;
    CAttributesPtr get_Issuer() const;
    // FILETIMEs as 64-bit values; 0 when no CRL is held (and for a CRL without a next update).
    uint64_t get_ThisUpdate() const;
    uint64_t get_NextUpdate() const;
    uint64_t get_NextPublish() const;
    // The certificate is listed in this CRL, which must be its issuer's.
    bool isRevoked(const CCertificate& certificate) const;
    // Shows the CRL: in CryptUIDlgViewContext when "Cryptui.dll" is loaded in the process (140502 when
    // it fails; a user cancel is no error), else in the shell's viewer CryptExtOpenCRL of
    // "cryptext.dll" over a temporary file "vsk…" (its failures come as CCryptError without step).
    void ShowDialog(HWND owner, const WCHAR* title) const;

    bool isNull() const { return !m_pImpl; }
    const Vsk::Utils::CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    CImpl* impl() const;

    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKI
