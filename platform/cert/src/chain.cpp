// Chain building (CertGetCertificateChain) on OpenSSL with the GOST engine.
//
// The issuers OpenSSL may choose from are gathered first by walking issuer names through the CA, MY
// and TRUST views, the certificate's own store and the extra store, so that a store of thousands of
// certificates costs an index look-up per level, not an OpenSSL object per certificate. Trust anchors
// are the ROOT view's certificates (an X509_STORE made once per view). OpenSSL checks the chain with
// the self-signatures of roots and policy constraints included, and without any CRL: a verify
// callback records every error with its depth and lets the check go on, so that all of them reach
// the element they belong to. The signatures and validity times are checked by our own step in
// OpenSSL's place, the same way, except that a signature found good once is not verified again.
// Revocation follows on the built chain (revocation.cpp).
#include "chainImpl.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <deque>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace vsk::cert {

ChainObject::~ChainObject() {
    for (CERT_CHAIN_ELEMENT& e : elements) CertFreeCertificateContext(e.pCertContext);
    magic = 0;
}

ChainObject* AsChain(PCCERT_CHAIN_CONTEXT chain) {
    if (!chain) return nullptr;
    auto* object = reinterpret_cast<ChainObject*>(const_cast<CERT_CHAIN_CONTEXT*>(chain));
    return object->magic == kChainMagic ? object : nullptr;
}

namespace {

// Longer chains are not built: real hierarchies have two to five levels, and the issuer walk and
// OpenSSL's depth both stop here (chainTest "ChainDeeperThanTheLimitIsPartial").
constexpr int kMaxChainDepth = 32;
// The retrieval time-out when the parameters give none (ms).
constexpr DWORD kDefaultUrlTimeoutMs = 15000;

// Extensions of Russian qualified certificates that OpenSSL does not handle but that say nothing a
// chain check must enforce: subject sign tool, issuer sign tool, identification kind. Accepted even
// when critical.
const char* const kKnownCriticalExtensions[] = {"1.2.643.100.111", "1.2.643.100.112", "1.2.643.100.114"};

bool knownExtension(const ASN1_OBJECT* oid) {
    char text[128];
    if (OBJ_obj2txt(text, sizeof text, oid, 1) <= 0) return false;
    for (const char* known : kKnownCriticalExtensions)
        if (std::strcmp(text, known) == 0) return true;
    return false;
}

// Every critical extension OpenSSL does not handle is a known one.
bool onlyKnownUnhandled(X509* cert) {
    for (int i = 0; i < X509_get_ext_count(cert); ++i) {
        X509_EXTENSION* ext = X509_get_ext(cert, i);
        if (!X509_EXTENSION_get_critical(ext) || X509_supported_extension(ext)) continue;
        if (!knownExtension(X509_EXTENSION_get_object(ext))) return false;
    }
    return true;
}

// The trust error bit of an OpenSSL verification error.
DWORD bitOfError(int error) {
    switch (error) {
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return CERT_TRUST_IS_NOT_TIME_VALID;
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
        case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
        case X509_V_ERR_SIGNATURE_ALGORITHM_MISMATCH:
            return CERT_TRUST_IS_NOT_SIGNATURE_VALID;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_CERT_REJECTED:
            return CERT_TRUST_IS_UNTRUSTED_ROOT;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return CERT_TRUST_IS_PARTIAL_CHAIN;
        // A CA whose key may not sign certificates is reported by the text of this bit ("cannot be
        // used for issuing certificates").
        case X509_V_ERR_INVALID_CA:
        case X509_V_ERR_PATH_LENGTH_EXCEEDED:
        case X509_V_ERR_CERT_CHAIN_TOO_LONG:
        case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
        case X509_V_ERR_INVALID_NON_CA:
        case X509_V_ERR_PROXY_PATH_LENGTH_EXCEEDED:
            return CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
        case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
            return CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT;
        case X509_V_ERR_INVALID_POLICY_EXTENSION:
        case X509_V_ERR_NO_EXPLICIT_POLICY:
            return CERT_TRUST_INVALID_POLICY_CONSTRAINTS;
        case X509_V_ERR_PERMITTED_VIOLATION:
            return CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT;
        case X509_V_ERR_EXCLUDED_VIOLATION:
            return CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT;
        case X509_V_ERR_SUBTREE_MINMAX:
        case X509_V_ERR_UNSUPPORTED_CONSTRAINT_TYPE:
            return CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT;
        case X509_V_ERR_UNSUPPORTED_CONSTRAINT_SYNTAX:
        case X509_V_ERR_UNSUPPORTED_NAME_SYNTAX:
            return CERT_TRUST_INVALID_NAME_CONSTRAINTS;
        case X509_V_ERR_INVALID_PURPOSE:
            return CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
        // Malformed extensions, and whatever else OpenSSL finds wrong with a certificate.
        default:
            return CERT_TRUST_INVALID_EXTENSION;
    }
}

struct Collected {
    std::vector<std::pair<int, int>> errors;  // error, depth
    time_t at = 0;                            // the verification time
};

// Signatures found good: a certificate (SHA-256 of its DER) with an issuer key (SHA-256 of its
// SubjectPublicKeyInfo). The CA certificates of a hierarchy come back in every chain; their
// signatures are verified once per process. Failures are not kept.
class SignatureMemo {
public:
    bool Verified(X509* subject, X509* issuer, EVP_PKEY* key) {
        std::string id =
            digestOf(subject, i2d_X509) + digestOf(X509_get_X509_PUBKEY(issuer), i2d_X509_PUBKEY);
        {
            std::lock_guard guard(m_lock);
            if (m_good.count(id)) return true;
        }
        const bool ok = X509_verify(subject, key) > 0;
        ERR_clear_error();
        if (ok) {
            std::lock_guard guard(m_lock);
            if (m_good.insert(id).second) {
                m_order.push_back(std::move(id));
                if (m_order.size() > kKept) {
                    m_good.erase(m_order.front());
                    m_order.pop_front();
                }
            }
        }
        return ok;
    }

private:
    // Enough for every CA of a large store; each entry is 64 bytes and its key.
    static constexpr size_t kKept = 8192;

    template <class T>
    static std::string digestOf(const T* object, int (*encode)(const T*, unsigned char**)) {
        unsigned char* der = nullptr;
        const int size = encode(object, &der);
        if (size <= 0) return {};
        const Bytes digest = ComputeDigest("SHA256", der, static_cast<size_t>(size));
        OPENSSL_free(der);
        return std::string(digest.begin(), digest.end());
    }

    std::mutex m_lock;
    std::unordered_set<std::string> m_good;
    std::deque<std::string> m_order;
};

SignatureMemo& Signatures() {
    static SignatureMemo memo;
    return memo;
}

// The signatures and validity times of the built chain, as OpenSSL's own check does them (the top
// certificate's self-signature included), but with signatures found good before taken from the memo.
// Every error is recorded; the check always goes on.
int verifySignaturesAndTimes(X509_STORE_CTX* ctx) {
    auto* collected = static_cast<Collected*>(X509_STORE_CTX_get_app_data(ctx));
    const auto record = [&](int error, int depth) { collected->errors.emplace_back(error, depth); };
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx);
    int n = sk_X509_num(chain) - 1;
    if (n < 0) return 1;
    X509* xi = sk_X509_value(chain, n);
    X509* xs = xi;
    // The top is self-issued (a key usage without keyCertSign does not change that) or its issuer is
    // missing: then its signature cannot be checked.
    const int topIssued = X509_check_issued(xi, xi);
    ERR_clear_error();
    if (topIssued != X509_V_OK && topIssued != X509_V_ERR_KEYUSAGE_NO_CERTSIGN) {
        if (n > 0) {
            xs = sk_X509_value(chain, --n);
        } else {
            record(X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE, 0);
        }
    }
    while (n >= 0) {
        const uint32_t issuerFlags = X509_get_extension_flags(xi);
        if (xs != xi || (issuerFlags & EXFLAG_SS)) {
            const int issuerDepth = n + (xs == xi ? 0 : 1);
            // A root's own key usage does not limit its self-signature (a root installed in ROOT
            // without keyCertSign is trusted as it stands).
            const int allowed = xs == xi ? X509_V_OK : X509_check_issued(xi, xs);
            ERR_clear_error();
            if (allowed != X509_V_OK) record(allowed, issuerDepth);
            EVP_PKEY* key = X509_get0_pubkey(xi);
            if (!key)
                record(X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY, issuerDepth);
            else if (!Signatures().Verified(xs, xi, key))
                record(X509_V_ERR_CERT_SIGNATURE_FAILURE, n);
        }
        const int notBefore = X509_cmp_time(X509_get0_notBefore(xs), &collected->at);
        if (notBefore == 0) record(X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD, n);
        if (notBefore > 0) record(X509_V_ERR_CERT_NOT_YET_VALID, n);
        const int notAfter = X509_cmp_time(X509_get0_notAfter(xs), &collected->at);
        if (notAfter == 0) record(X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD, n);
        if (notAfter < 0) record(X509_V_ERR_CERT_HAS_EXPIRED, n);
        if (--n >= 0) {
            xi = xs;
            xs = sk_X509_value(chain, n);
        }
    }
    return 1;
}

int collectError(int ok, X509_STORE_CTX* ctx) {
    if (ok) return 1;
    auto* collected = static_cast<Collected*>(X509_STORE_CTX_get_app_data(ctx));
    const int error = X509_STORE_CTX_get_error(ctx);
    if (error == X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION) {
        X509* cert = X509_STORE_CTX_get_current_cert(ctx);
        if (cert && onlyKnownUnhandled(cert)) return 1;
    }
    collected->errors.emplace_back(error, X509_STORE_CTX_get_error_depth(ctx));
    return 1;
}

// The certificates OpenSSL may take issuers from, with the contexts they came from.
class Pool {
public:
    Pool() : m_stack(sk_X509_new_null()) {}
    ~Pool() { sk_X509_free(m_stack); }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    STACK_OF(X509) * stack() const { return m_stack; }
    void Add(X509* cert, PCCERT_CONTEXT context) {
        if (!cert || !m_stack || !m_contexts.emplace(cert, context).second) return;
        sk_X509_push(m_stack, cert);
    }
    void AddOwned(X509Ptr cert, PCCERT_CONTEXT context) {
        if (!cert) return;
        Add(cert.get(), context);
        m_owned.push_back(std::move(cert));
    }
    PCCERT_CONTEXT ContextOf(const X509* cert) const {
        auto it = m_contexts.find(cert);
        return it == m_contexts.end() ? nullptr : it->second;
    }

private:
    STACK_OF(X509) * m_stack;
    std::unordered_map<const X509*, PCCERT_CONTEXT> m_contexts;
    std::vector<X509Ptr> m_owned;
};

// Walks issuer names up from `leaf`, level by level, putting every certificate of the pools whose
// subject is a name on the way into `pool`. ROOT certificates are anchors (OpenSSL finds them in the
// anchor store) but the walk goes on through their issuers, for cross-certified roots.
void gatherIssuers(Pool& pool, const Views& views, const std::vector<Store*>& stores, const CERT_INFO& leaf) {
    std::set<std::string, std::less<>> seen;
    std::vector<std::string> frontier, next;
    const auto follow = [&](const CERT_INFO& info) {
        if (SameBlobs(info.Issuer, info.Subject)) return;
        std::string name(NameKey(info.Issuer));
        if (seen.insert(name).second) next.push_back(std::move(name));
    };
    follow(leaf);
    std::vector<CertCtx*> found;
    for (int depth = 0; depth < kMaxChainDepth && !next.empty(); ++depth) {
        frontier.swap(next);
        next.clear();
        for (const std::string& name : frontier) {
            for (const ViewPtr& view : {views.ca, views.my, views.trust}) {
                found.clear();
                view->Subjects(name, found);
                for (CertCtx* c : found) {
                    pool.Add(view->X509Of(c), &c->pub);
                    follow(c->info);
                }
            }
            found.clear();
            views.root->Subjects(name, found);
            for (CertCtx* c : found) follow(c->info);
            for (Store* store : stores) {
                std::lock_guard guard(Lock());
                for (CertCtx* c : store->certs) {
                    if (NameKey(c->info.Subject) != name) continue;
                    pool.AddOwned(ToX509(c->state.der.data(), c->state.der.size()), &c->pub);
                    follow(c->info);
                }
            }
        }
    }
}

// Every element with an enhanced key usage extension must allow the requested usages.
bool usageAllowed(X509* cert, const CERT_USAGE_MATCH& requested) {
    auto* usages =
        static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr));
    ERR_clear_error();
    if (!usages) return true;
    std::set<std::string> present;
    for (int i = 0; i < sk_ASN1_OBJECT_num(usages); ++i) {
        char text[128];
        if (OBJ_obj2txt(text, sizeof text, sk_ASN1_OBJECT_value(usages, i), 1) > 0) present.insert(text);
    }
    sk_ASN1_OBJECT_pop_free(usages, ASN1_OBJECT_free);
    if (present.count("2.5.29.37.0")) return true;  // any extended key usage
    const CERT_ENHKEY_USAGE& wanted = requested.Usage;
    DWORD matched = 0;
    for (DWORD i = 0; i < wanted.cUsageIdentifier; ++i)
        if (wanted.rgpszUsageIdentifier[i] && present.count(wanted.rgpszUsageIdentifier[i])) ++matched;
    return requested.dwType == USAGE_MATCH_TYPE_OR ? matched > 0 : matched == wanted.cUsageIdentifier;
}

BOOL fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

struct StoreCtxFree {
    void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};

}  // namespace

}  // namespace vsk::cert

using namespace vsk::cert;

BOOL CertGetCertificateChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert, const FILETIME* time,
                             HCERTSTORE additionalStore, const CERT_CHAIN_PARA* para, DWORD flags, void*,
                             PCCERT_CHAIN_CONTEXT* chain) {
    if (chain) *chain = nullptr;
    CertCtx* leafCtx = AsCert(cert);
    if (!chain || !leafCtx || !para || para->cbSize < offsetof(CERT_CHAIN_PARA, RequestedIssuancePolicy) ||
        (engine != HCCE_CURRENT_USER && engine != HCCE_LOCAL_MACHINE))
        return fail(static_cast<DWORD>(E_INVALIDARG));
    // GOST keys and signatures are known to OpenSSL only through the engine.
    LoadGostEngine();

    const time_t now = ::time(nullptr);
    const time_t at = time ? TimeFromFileTime(*time) : now;
    const Views views = CurrentViews(engine == HCCE_LOCAL_MACHINE);
    X509Ptr leaf = ToX509(cert);
    if (!leaf) return fail(CRYPT_E_ASN1_CORRUPT);

    // The certificate's own store and the extra store, unless they are one of the views already.
    std::vector<Store*> stores;
    {
        std::lock_guard guard(Lock());
        for (HCERTSTORE handle : {cert->hCertStore, additionalStore}) {
            Store* store = AsStore(handle);
            if (!store || std::find(stores.begin(), stores.end(), store) != stores.end()) continue;
            bool isView = false;
            if (store->kind == StoreKind::System)
                for (const ViewPtr& view : {views.root, views.ca, views.my, views.trust, views.disallowed})
                    isView = isView || store->dir == view->dir();
            if (!isView) stores.push_back(store);
        }
    }

    Pool pool;
    gatherIssuers(pool, views, stores, *cert->pCertInfo);
    X509_STORE* anchors = views.root->Anchors();
    std::unique_ptr<X509_STORE_CTX, StoreCtxFree> storeCtx(X509_STORE_CTX_new());
    if (!anchors || !storeCtx || !pool.stack() ||
        !X509_STORE_CTX_init(storeCtx.get(), anchors, leaf.get(), pool.stack())) {
        ERR_clear_error();
        return fail(static_cast<DWORD>(E_OUTOFMEMORY));
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(storeCtx.get());
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_CHECK_SS_SIGNATURE | X509_V_FLAG_POLICY_CHECK);
    X509_VERIFY_PARAM_set_time(param, at);
    X509_VERIFY_PARAM_set_depth(param, kMaxChainDepth);
    Collected collected;
    collected.at = at;
    X509_STORE_CTX_set_app_data(storeCtx.get(), &collected);
    X509_STORE_CTX_set_verify_cb(storeCtx.get(), collectError);
    X509_STORE_CTX_set_verify(storeCtx.get(), verifySignaturesAndTimes);
    X509_verify_cert(storeCtx.get());
    STACK_OF(X509)* built = X509_STORE_CTX_get1_chain(storeCtx.get());
    ERR_clear_error();
    for (const auto& [error, depth] : collected.errors)
        if (error == X509_V_ERR_OUT_OF_MEM) {
            sk_X509_pop_free(built, X509_free);
            return fail(static_cast<DWORD>(E_OUTOFMEMORY));
        }

    auto object = std::make_unique<ChainObject>();
    object->verifyTime = at;
    for (int i = 0; built && i < sk_X509_num(built); ++i) object->x509.emplace_back(sk_X509_value(built, i));
    sk_X509_free(built);
    // Nothing built (OpenSSL gave up at once): the certificate alone. A leaf found in ROOT comes back
    // as the anchor's copy, equal but not the same object.
    if (object->x509.empty() || X509_cmp(object->x509[0].get(), leaf.get()) != 0) {
        object->x509.clear();
        object->x509.push_back(std::move(leaf));
        collected.errors.emplace_back(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, 0);
    }

    const size_t n = object->x509.size();
    object->elements.resize(n);
    for (size_t i = 0; i < n; ++i) {
        X509* x = object->x509[i].get();
        CERT_CHAIN_ELEMENT& e = object->elements[i];
        e.cbSize = sizeof e;
        PCCERT_CONTEXT context = i == 0 ? cert : pool.ContextOf(x);
        if (!context) {
            if (CertCtx* anchor = views.root->ContextOf(x)) context = &anchor->pub;
        }
        if (context) {
            e.pCertContext = CertDuplicateCertificateContext(context);
        } else {
            // Not one of ours: OpenSSL found it elsewhere (never expected).
            unsigned char* der = nullptr;
            const int size = i2d_X509(x, &der);
            if (size > 0)
                e.pCertContext = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der,
                                                              static_cast<DWORD>(size));
            OPENSSL_free(der);
            if (!e.pCertContext) return fail(CRYPT_E_ASN1_CORRUPT);
        }
        const bool selfSigned = X509_self_signed(x, 0) == 1;
        if (selfSigned)
            e.TrustStatus.dwInfoStatus |= CERT_TRUST_IS_SELF_SIGNED | CERT_TRUST_HAS_NAME_MATCH_ISSUER;
        else if (i + 1 < n)
            e.TrustStatus.dwInfoStatus |= CERT_TRUST_HAS_NAME_MATCH_ISSUER;
        if (para->RequestedUsage.Usage.cUsageIdentifier && !usageAllowed(x, para->RequestedUsage))
            e.TrustStatus.dwErrorStatus |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
        if (views.disallowed->Holds(e.pCertContext))
            e.TrustStatus.dwErrorStatus |= CERT_TRUST_IS_EXPLICIT_DISTRUST;
    }
    for (const auto& [error, depth] : collected.errors) {
        const size_t index = std::min(static_cast<size_t>(std::max(depth, 0)), n - 1);
        object->elements[index].TrustStatus.dwErrorStatus |= bitOfError(error);
    }
    const bool partial = object->elements[n - 1].TrustStatus.dwErrorStatus & CERT_TRUST_IS_PARTIAL_CHAIN;
    object->topSelfSigned = !partial && X509_self_signed(object->x509[n - 1].get(), 0) == 1;

    // Revocation, in the scope the flags ask for (the widest when several are given).
    size_t checked = 0;
    if (flags & CERT_CHAIN_REVOCATION_CHECK_CHAIN)
        checked = n;
    else if (flags & CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT)
        checked = object->topSelfSigned ? n - 1 : n;
    else if (flags & CERT_CHAIN_REVOCATION_CHECK_END_CERT)
        checked = 1;
    if (checked) {
        RevocationSettings settings;
        settings.cacheOnly =
            flags & (CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL);
        settings.accumulative = flags & CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
        const bool hasTimeout =
            para->cbSize >= offsetof(CERT_CHAIN_PARA, dwUrlRetrievalTimeout) + sizeof(DWORD);
        settings.timeoutMs =
            hasTimeout && para->dwUrlRetrievalTimeout ? para->dwUrlRetrievalTimeout : kDefaultUrlTimeoutMs;
        settings.verifyTime = at;
        settings.now = now;
        RevocationChecker checker(views, stores, settings);
        object->revocation.resize(n);
        for (size_t i = 0; i < checked; ++i) {
            X509* x = object->x509[i].get();
            X509* issuer =
                i + 1 < n ? object->x509[i + 1].get() : (X509_self_signed(x, 0) == 1 ? x : nullptr);
            CERT_CHAIN_ELEMENT& e = object->elements[i];
            const RevocationOutcome outcome = checker.Check(e.pCertContext, x, issuer);
            e.TrustStatus.dwErrorStatus |= outcome.errorBits;
            CERT_REVOCATION_INFO& info = object->revocation[i];
            info.cbSize = sizeof info;
            info.dwRevocationResult = outcome.result;
            e.pRevocationInfo = &info;
        }
        ERR_clear_error();
    }

    object->elementPtrs.resize(n);
    for (size_t i = 0; i < n; ++i) {
        object->elementPtrs[i] = &object->elements[i];
        object->simple.TrustStatus.dwErrorStatus |= object->elements[i].TrustStatus.dwErrorStatus;
        object->simple.TrustStatus.dwInfoStatus |= object->elements[i].TrustStatus.dwInfoStatus;
    }
    object->simple.cbSize = sizeof object->simple;
    object->simple.cElement = static_cast<DWORD>(n);
    object->simple.rgpElement = object->elementPtrs.data();
    object->simplePtr = &object->simple;
    CERT_CHAIN_CONTEXT& pub = object->pub;
    pub.cbSize = sizeof pub;
    pub.TrustStatus = object->simple.TrustStatus;
    pub.cChain = 1;
    pub.rgpChain = &object->simplePtr;
    *chain = &object.release()->pub;
    return TRUE;
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chain) {
    ChainObject* object = AsChain(chain);
    if (object && --object->refs == 0) delete object;
}

PCCERT_CHAIN_CONTEXT CertDuplicateCertificateChain(PCCERT_CHAIN_CONTEXT chain) {
    ChainObject* object = AsChain(chain);
    if (!object) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    ++object->refs;
    return chain;
}
