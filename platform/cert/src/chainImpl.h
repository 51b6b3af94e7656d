// Inner structures of chain building: the system store views kept open between chains, CRLs parsed
// for OpenSSL once, the chain object behind CERT_CHAIN_CONTEXT, and revocation checking.
#pragma once

#include "certImpl.h"

#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vsk::cert {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct X509CrlFree {
    void operator()(X509_CRL* c) const { X509_CRL_free(c); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using X509CrlPtr = std::unique_ptr<X509_CRL, X509CrlFree>;

X509Ptr ToX509(const BYTE* der, size_t size);
inline X509Ptr ToX509(PCCERT_CONTEXT cert) {
    return ToX509(cert->pbCertEncoded, cert->cbCertEncoded);
}

inline std::string_view NameKey(const CERT_NAME_BLOB& name) {
    return {reinterpret_cast<const char*>(name.pbData), name.cbData};
}

// Seconds since 1970 <-> FILETIME.
time_t TimeFromFileTime(const FILETIME& time);

// ---- CRLs --------------------------------------------------------------------------------------------

// A CRL parsed for OpenSSL once (sorting its entries for look-ups happens once too), with the keys
// its signature was checked against: the check is made once per key.
class ParsedCrl {
public:
    explicit ParsedCrl(X509CrlPtr crl) : m_crl(std::move(crl)) {}
    X509_CRL* get() const { return m_crl.get(); }
    // The signature verifies with the public key of `issuer`.
    bool SignedBy(X509* issuer);

private:
    X509CrlPtr m_crl;
    std::mutex m_lock;
    std::vector<std::pair<Bytes, bool>> m_checked;  // SubjectPublicKeyInfo DER, outcome
};
using ParsedCrlPtr = std::shared_ptr<ParsedCrl>;

// Null when the bytes are not a CRL (DER, or PEM for downloads).
ParsedCrlPtr ParseCrl(const BYTE* data, size_t size, bool allowPem);

// ---- System store views ---------------------------------------------------------------------------

// One system store opened read-only and kept while its folders are unchanged, with its certificates
// indexed by subject and its base CRLs by issuer. The OpenSSL forms are made when first asked for.
class View {
public:
    View(HCERTSTORE store, std::string dir, std::string machineDir);
    ~View();
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    HCERTSTORE store() const { return m_store; }
    const std::string& dir() const { return m_dir; }
    // The certificates whose subject is `name` (DER).
    void Subjects(std::string_view name, std::vector<CertCtx*>& out) const;
    // The OpenSSL form of one of its certificates; null when OpenSSL cannot read it.
    X509* X509Of(CertCtx* cert);
    // Its base CRLs whose issuer is `name`, parsed (those OpenSSL cannot read are left out).
    void Crls(std::string_view name, std::vector<std::pair<CrlCtx*, ParsedCrlPtr>>& out);
    // The certificate (same DER) is in the view.
    bool Holds(PCCERT_CONTEXT cert) const;
    // Every certificate as a trust anchor (made once); the contexts beside their OpenSSL forms.
    X509_STORE* Anchors();
    CertCtx* ContextOf(const X509* cert) const;

    // When the folders were read: the process's change count of system stores and the folders'
    // modification times.
    struct Stamp {
        uint64_t generation = 0;
        timespec dirTime{}, machineTime{};
        bool operator==(const Stamp& o) const;
    };
    Stamp stamp;

private:
    HCERTSTORE m_store;
    std::string m_dir, m_machineDir;
    std::unordered_multimap<std::string_view, CertCtx*> m_subjects;
    std::unordered_multimap<std::string_view, CrlCtx*> m_crls;
    mutable std::mutex m_lock;
    std::unordered_map<const CertCtx*, X509*> m_x509;
    std::unordered_map<const X509*, CertCtx*> m_byX509;
    std::unordered_map<const CrlCtx*, ParsedCrlPtr> m_parsed;
    X509_STORE* m_anchors = nullptr;
};
using ViewPtr = std::shared_ptr<View>;

struct Views {
    ViewPtr root, ca, my, trust, disallowed;
};
// The views of the current user (with the computer's ROOT and CA elements) or of the computer, as
// they are now on disk. A view whose store cannot be opened is empty.
Views CurrentViews(bool machine);

// How many changes this process made to system store folders (CountSystemStoreChange), so that
// views see them at once.
uint64_t SystemStoreGeneration();

// ---- Revocation -------------------------------------------------------------------------------------

struct RevocationSettings {
    bool cacheOnly = false;
    bool accumulative = false;
    DWORD timeoutMs = 15000;
    time_t verifyTime = 0;  // revocation dates are compared with it
    time_t now = 0;         // freshness of CRLs
};

struct RevocationOutcome {
    DWORD errorBits = 0;  // CERT_TRUST_IS_REVOKED, _REVOCATION_STATUS_UNKNOWN, _IS_OFFLINE_REVOCATION
    DWORD result = 0;     // 0, CRYPT_E_REVOKED, CRYPT_E_REVOCATION_OFFLINE, CRYPT_E_NO_REVOCATION_CHECK
};

// The revocation checks of one chain: CRL sources in order, and one time budget for downloads when
// it is accumulative.
class RevocationChecker {
public:
    RevocationChecker(const Views& views, std::vector<Store*> extraStores,
                      const RevocationSettings& settings);
    // `issuer` is the next element of the chain (the certificate itself for a self-signed root), null
    // when the chain ends below its issuer.
    RevocationOutcome Check(PCCERT_CONTEXT cert, X509* certX509, X509* issuer);

private:
    const Views& m_views;
    std::vector<Store*> m_extraStores;
    RevocationSettings m_settings;
    std::chrono::steady_clock::time_point m_deadline;
};

// The folder of the URL cache, made when `create` (empty when no home is known).
std::string CrlCacheFolder(bool create);

// ---- Chains -----------------------------------------------------------------------------------------

constexpr DWORD kChainMagic = 0x43484E21;

// The chain context callers see is the first member.
struct ChainObject {
    CERT_CHAIN_CONTEXT pub{};
    DWORD magic = kChainMagic;
    std::atomic<int> refs{1};
    CERT_SIMPLE_CHAIN simple{};
    PCERT_SIMPLE_CHAIN simplePtr = nullptr;
    std::vector<CERT_CHAIN_ELEMENT> elements;
    std::vector<PCERT_CHAIN_ELEMENT> elementPtrs;
    std::vector<CERT_REVOCATION_INFO> revocation;
    std::vector<X509Ptr> x509;  // beside the elements
    time_t verifyTime = 0;
    bool topSelfSigned = false;  // the last element is a self-signed root

    ~ChainObject();
};

ChainObject* AsChain(PCCERT_CHAIN_CONTEXT chain);

}  // namespace vsk::cert
