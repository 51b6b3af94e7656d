// The implementation behind CCertificate, private to the library's certificate code (key binding,
// extensions, verification and the cache build on its members). Callers use Certificate.h.
#pragma once

#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/pki/Attributes.h>
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/Password.h>
#include <vsk/platform/cert.h>

#include "certHandles.h"

#include <memory>

namespace Vsk::PKI {

// The values that order certificates, copied from one object under its lock (see CImpl::less). Two
// objects holding the same context have the same values, so they are equivalent.
struct CCertOrderKey {
    bool hasContext = false;
    Vsk::Utils::CDataBlob serial;
    Vsk::Utils::CAString thumbprint;
    const void* store = nullptr;
    Vsk::Utils::CAString serialText;
    Vsk::Utils::CDataBlob issuerDer;
    DWORD providerType = 0;
    Vsk::Utils::CWString providerName;
    Vsk::Utils::CWString containerName;
};
// a < b in the certificate order.
bool lessOrderKey(const CCertOrderKey& a, const CCertOrderKey& b);

// A copy of a text from a decoded structure; raises `noMemoryStep` when memory ran out and
// `otherStep` for any other failed copy. Null gives the empty text.
Vsk::Utils::CWString copyCertText(LPCWSTR text, DWORD noMemoryStep, DWORD otherStep);
Vsk::Utils::CAString copyCertText(LPCSTR text, DWORD noMemoryStep, DWORD otherStep);

class CCertificate::CImpl : public Vsk::Utils::CRefMan {
public:
    // Bits of m_cacheFlags.
    enum : DWORD {
        FlagKeyProvInfo = 0x02,
        FlagSubject = 0x04,
        FlagIssuer = 0x08,
        FlagSubjectName = 0x40,
        FlagIssuerName = 0x80,
        FlagExtensions = 0x100,
        FlagAlgorithms = 0x200,
    };

    CImpl();
    ~CImpl() override;

    // Frees the context and forgets every derived value.
    void clear();
    void LoadFromBlob(const Vsk::Utils::CDataBlob& bytes);
    // Clears, then keeps a duplicate of the context (130601 when it cannot be duplicated).
    void put_CertContext(PCCERT_CONTEXT context);
    // Looks the described certificate up in the system stores and takes the first one found; every
    // failure is swallowed.
    void findCertInStores();

    // The certificate information at hand: the context's; null without a context.
    const CERT_INFO* certInfo() const;

    Vsk::Utils::CAString get_Thumbprint();
    Vsk::Utils::CDataBlob get_SerialNumberBlob();
    Vsk::Utils::CAString serialText();
    CAttributes& subject();
    CAttributes& issuer();
    Vsk::Utils::CWString subjectName();
    Vsk::Utils::CWString issuerName();
    Vsk::Utils::CWString subjectShortName();
    Vsk::Utils::CWString issuerShortName();
    Vsk::Utils::CWString getText();

    void fillAlgorithmOIDs();
    Vsk::Utils::CDataBlob get_PublicKey();
    Vsk::Utils::CDataBlob get_PublicKeyWrap();
    Vsk::Utils::CRefPtr<CAlgorithm> getPublicKeyAlgorithm();

    // The three extensions, read once (FlagExtensions); each one's failure is kept for the operations
    // that need that extension (CertificateExtensions.cpp).
    void parseExtensions();
    Vsk::Utils::CArray<Vsk::Utils::CWString> crlDistributionPoints();
    bool isValidDate(Vsk::Utils::CWString* reason);

    void loadKeyProvInfo();
    bool setKeyProvInfo(DWORD providerType, const Vsk::Utils::CWString& providerName,
                        const Vsk::Utils::CWString& containerName, DWORD keySpec, bool machine, bool silent,
                        bool cache);

    // Key binding (CertificateBinding.cpp). findKeyContainer fills provider, container and key spec
    // of the first container that holds the key.
    bool findKeyContainer(const CPassword& password, bool machine, bool silent);
    bool BindWithKeyContainer(const CPassword& password, bool machine, bool addCertToCont, bool silent,
                              bool cache);
    CHoldCSP AcquirePrivateKey(DWORD* keySpec, DWORD flags, bool autoBind);
    bool hasPrivateKey(bool verify);
    // The token parts: true when a token holds the certificate (the token key pair is kept).
    bool bindOnToken(bool addCertToCont);
    bool hasTokenKey(bool verify);
    Vsk::PKCS11::CTokenKeyPair AcquireTokenPrivateKey(const CPassword& pin);

    // The ordering values, filled first where they are filled on demand. Takes this object's lock.
    CCertOrderKey orderKey();
    // a < b: compares copies of both sides' ordering values (each taken under its own lock only).
    static bool less(CImpl& a, CImpl& b);
    bool equal(CImpl& other);

    // The certificate cache (CertCache.h).
    static bool deleteInCache(PCCERT_CONTEXT context);
    static void freeNonUsedCache();

    // Everything known about the certificate besides its context: computed from the context at the
    // first request and kept, or given by put_DecryptCertInfo. clear() replaces it whole.
    struct CValues {
        DWORD cacheFlags = 0;
        // Least significant byte first.
        Vsk::Utils::CDataBlob serialBytes;
        Vsk::Utils::CAString thumbprint;
        Vsk::Utils::CAString serialText;
        Vsk::Utils::CWString subjectName;
        // For a description made by put_DecryptCertInfo, the issuer's common name.
        Vsk::Utils::CWString issuerName;
        // Null until first asked for (subject(), issuer()); the names and texts above are computed
        // without keeping them.
        CAttributesPtr issuerAttributes;
        CAttributesPtr subjectAttributes;
        Vsk::Utils::CWString subjectShortName;
        Vsk::Utils::CWString issuerShortName;
        Vsk::Utils::CAString publicKeyOid;
        Vsk::Utils::CAString signatureOid;
        ALG_ID keyAlgId = 0;
        Vsk::Utils::CRefPtr<CAlgorithm> algorithm;
        // Private key usage period (UTC), zero when absent.
        FILETIME keyNotBefore{0, 0};
        FILETIME keyNotAfter{0, 0};
        bool hasKeyLink = false;
        DWORD providerType = 0;
        Vsk::Utils::CWString providerName;
        Vsk::Utils::CWString containerName;
        DWORD keySpec = 0;
        Vsk::Utils::CRefPtr<CSPInfo> cspInfo;
        Vsk::Utils::CArray<Vsk::Utils::CWString> crlDistributionPoints;
        // Null until the extensions are parsed.
        CAttributesPtr enhancedKeyUsages;
        // Why the distribution points or the key usages could not be read; null when they could.
        std::shared_ptr<Vsk::Utils::CError> crlPointsError;
        std::shared_ptr<Vsk::Utils::CError> keyUsagesError;
        bool cacheAcquisition = false;
        // The key pair on a token found by a binding or a key check; empty otherwise.
        Vsk::PKCS11::CTokenKeyPair tokenKeyPair = Vsk::PKCS11::CTokenKeyPair();
        Vsk::Utils::CDataBlob publicKey;
    };

    // Owned duplicate; empty when none is held.
    CertContextPtr m_context;
    CValues m_values;
};

}  // namespace Vsk::PKI
