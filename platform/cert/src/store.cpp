// Stores: lifetime, enumeration, finding, adding and deleting certificates and CRLs, and saving.
// System stores differ only in where an element goes (a file of its own, written through at once)
// and in who may change it; see systemStore.cpp.
#include "certImpl.h"

#include <vsk/platform/kernel.h>

#include <strings.h>
#include <algorithm>
#include <cstring>
#include <memory>

namespace vsk::cert {

std::recursive_mutex& Lock() {
    static std::recursive_mutex mutex;
    return mutex;
}

Store* NewStore(StoreKind kind) {
    auto* store = new Store;
    store->kind = kind;
    return store;
}

void AddRef(Store* store) {
    ++store->refs;
}

namespace {

void destroy(CertCtx* cert) {
    cert->state.dropKeyContext();
    cert->magic = 0;
    delete cert;
}

void destroy(CrlCtx* crl) {
    crl->state.dropKeyContext();
    crl->magic = 0;
    delete crl;
}

template <class Ctx>
void insertSorted(std::vector<Ctx*>& list, Ctx* ctx) {
    auto at = std::upper_bound(list.begin(), list.end(), ctx->state.sortKey,
                               [](const SortKey& key, const Ctx* c) { return key < c->state.sortKey; });
    list.insert(at, ctx);
}

template <class Ctx>
void attach(Store* store, Ctx* ctx, std::vector<Ctx*>& list, bool fromMachine) {
    ElementState& s = ctx->state;
    s.store = store;
    s.attached = true;
    s.fromMachine = fromMachine;
    ctx->pub.hCertStore = store;
    s.sortKey = {};
    if (store->kind == StoreKind::System) {
        s.sortKey.group = fromMachine ? 1 : 0;
        s.sortKey.id = s.thumbprint();
    } else {
        const uint64_t seq = store->nextSeq++;
        for (int i = 0; i < 8; ++i) s.sortKey.id[i] = static_cast<BYTE>(seq >> (56 - 8 * i));
    }
    insertSorted(list, ctx);
}

template <class Ctx>
void detach(Ctx* ctx, std::vector<Ctx*>& list) {
    auto it = std::find(list.begin(), list.end(), ctx);
    if (it != list.end()) list.erase(it);
    ctx->state.attached = false;
    if (ctx->state.refs == 0) destroy(ctx);
}

}  // namespace

void Release(Store* store) {
    if (--store->refs > 0) return;
    for (CertCtx* c : store->certs) destroy(c);
    for (CrlCtx* c : store->crls) destroy(c);
    store->magic = 0;
    delete store;
}

Store* AsStore(HCERTSTORE handle) {
    auto* store = static_cast<Store*>(handle);
    return store && store->magic == 0x53544F52 ? store : nullptr;
}

void Attach(Store* store, CertCtx* cert, bool fromMachine) {
    attach(store, cert, store->certs, fromMachine);
}
void Attach(Store* store, CrlCtx* crl, bool fromMachine) {
    attach(store, crl, store->crls, fromMachine);
}
void Detach(CertCtx* cert) {
    detach(cert, cert->state.store->certs);
}
void Detach(CrlCtx* crl) {
    detach(crl, crl->state.store->crls);
}

void Reference(ElementState& state) {
    ++state.refs;
    AddRef(state.store);
}

void Unreference(CertCtx* cert) {
    Store* store = cert->state.store;
    if (--cert->state.refs == 0 && !cert->state.attached) destroy(cert);
    Release(store);
}

void Unreference(CrlCtx* crl) {
    Store* store = crl->state.store;
    if (--crl->state.refs == 0 && !crl->state.attached) destroy(crl);
    Release(store);
}

bool ElementWritable(const ElementState& state) {
    return state.store && !state.store->readOnly && !state.fromMachine;
}

DWORD AccessState(const ElementState& state) {
    const Store* store = state.store;
    if (!store || store->kind != StoreKind::System) return 0;
    DWORD bits = CERT_ACCESS_STATE_SYSTEM_STORE_FLAG;
    if (state.fromMachine || store->scope == CERT_SYSTEM_STORE_LOCAL_MACHINE)
        bits |= CERT_ACCESS_STATE_LM_SYSTEM_STORE_FLAG;
    if (ElementWritable(state)) bits |= CERT_ACCESS_STATE_WRITE_PERSIST_FLAG;
    return bits;
}

namespace {

PFN_CERT_ROOT_CONFIRM g_rootHook = nullptr;
void* g_rootHookArg = nullptr;
std::mutex g_hookMutex;

}  // namespace

bool ConfirmRootChange(PCCERT_CONTEXT cert, bool adding) {
    PFN_CERT_ROOT_CONFIRM hook;
    void* arg;
    {
        std::lock_guard guard(g_hookMutex);
        hook = g_rootHook;
        arg = g_rootHookArg;
    }
    return !hook || hook(cert, adding ? TRUE : FALSE, arg);
}

}  // namespace vsk::cert

using namespace vsk::cert;

namespace {

BOOL fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

template <class T>
T* failNull(DWORD code) {
    SetLastError(code);
    return nullptr;
}

bool equalNoCase(LPCSTR a, const char* b) {
    return strcasecmp(a, b) == 0;
}

// The store-opening text forms: numbers below 64 Ki travel as the pointer's value.
int providerNumber(LPCSTR provider) {
    const auto value = reinterpret_cast<uintptr_t>(provider);
    if (value < 0x10000) return static_cast<int>(value);
    if (equalNoCase(provider, sz_CERT_STORE_PROV_MEMORY)) return 2;
    if (equalNoCase(provider, sz_CERT_STORE_PROV_SERIALIZED)) return 6;
    if (equalNoCase(provider, sz_CERT_STORE_PROV_SYSTEM_W)) return 10;
    return -1;
}

// A memory store read from a serialized-store blob (defined at the end of this file).
Store* openSerialized(const CRYPT_DATA_BLOB* blob);

CertCtx* copyOf(CertCtx* source, DWORD& error) {
    CertCtx* copy = DecodeCertificate(source->state.der.data(), source->state.der.size(), error);
    if (copy) {
        copy->state.sha1 = source->state.thumbprint();
        copy->state.sha1Done = true;
    }
    return copy;
}

CrlCtx* copyOf(CrlCtx* source, DWORD& error) {
    CrlCtx* copy = DecodeCrl(source->state.der.data(), source->state.der.size(), error);
    if (copy) {
        copy->state.sha1 = source->state.thumbprint();
        copy->state.sha1Done = true;
    }
    return copy;
}

bool laterThan(const FILETIME& a, const FILETIME& b) {
    return FileTimeToU64(a) > FileTimeToU64(b);
}

// The next context after `previous` in the store's order; `previous` must belong to the store.
template <class Ctx, class Match>
Ctx* findNext(std::vector<Ctx*>& list, Ctx* previous, Match match) {
    auto it = list.begin();
    if (previous)
        it = std::upper_bound(list.begin(), list.end(), previous->state.sortKey,
                              [](const SortKey& key, const Ctx* c) { return key < c->state.sortKey; });
    for (; it != list.end(); ++it)
        if (match(**it)) return *it;
    return nullptr;
}

bool sameKey(const CertCtx& c, const CERT_PUBLIC_KEY_INFO& key) {
    const CRYPT_BIT_BLOB& mine = c.info.SubjectPublicKeyInfo.PublicKey;
    return mine.cbData == key.PublicKey.cbData && mine.cUnusedBits == key.PublicKey.cUnusedBits &&
           (mine.cbData == 0 || std::memcmp(mine.pbData, key.PublicKey.pbData, mine.cbData) == 0);
}

bool sameHash(CertCtx& c, const CRYPT_HASH_BLOB& hash) {
    const Sha1& h = c.state.thumbprint();
    return hash.cbData == h.size() && std::memcmp(hash.pbData, h.data(), h.size()) == 0;
}

bool matchesId(CertCtx& c, const CERT_ID& id) {
    switch (id.dwIdChoice) {
        case CERT_ID_ISSUER_SERIAL_NUMBER:
            return SameBlobs(c.info.Issuer, id.IssuerSerialNumber.Issuer) &&
                   SameIntegers(c.info.SerialNumber, id.IssuerSerialNumber.SerialNumber);
        case CERT_ID_KEY_IDENTIFIER: {
            const Bytes kid = KeyIdentifier(c);
            return kid.size() == id.KeyId.cbData && std::memcmp(kid.data(), id.KeyId.pbData, kid.size()) == 0;
        }
        case CERT_ID_SHA1_HASH:
            return sameHash(c, id.HashId);
        default:
            return false;
    }
}

template <class Ctx>
Ctx* findSame(std::vector<Ctx*>& list, const Sha1& thumbprint, bool ownOnly) {
    for (Ctx* c : list)
        if (c->state.thumbprint() == thumbprint && !(ownOnly && c->state.fromMachine)) return c;
    return nullptr;
}

// Certificates and CRLs go into a store the same way; `Traits` names the differences.
struct CertTraits {
    using Ctx = CertCtx;
    static constexpr DWORD elementId = kCertElementId;
    static std::vector<CertCtx*>& list(Store* s) { return s->certs; }
};
struct CrlTraits {
    using Ctx = CrlCtx;
    static constexpr DWORD elementId = kCrlElementId;
    static std::vector<CrlCtx*>& list(Store* s) { return s->crls; }
};

bool matchingCrl(const CrlCtx& a, const CrlCtx& b) {
    return SameBlobs(a.info.Issuer, b.info.Issuer) && a.isDelta == b.isDelta;
}

// Puts a copy of `source` with `props` into the store, replacing `replaced` (elements of the same
// store). For a system store the file is written first; nothing changes in memory when that fails.
template <class Traits>
typename Traits::Ctx* putElement(Store* store, typename Traits::Ctx* source, std::map<DWORD, Bytes> props,
                                 const std::vector<typename Traits::Ctx*>& replaced, bool mustBeNew) {
    using Ctx = typename Traits::Ctx;
    DWORD error = 0;
    std::unique_ptr<Ctx> fresh(copyOf(source, error));
    if (!fresh) {
        SetLastError(error);
        return nullptr;
    }
    fresh->state.props = std::move(props);
    if (store->kind == StoreKind::System) {
        fresh->state.store = store;
        fresh->state.inFile = true;
        // The new file first: a failure on the way leaves the old elements, never none.
        if (!WriteElementFile(store, fresh->state, Traits::elementId,
                              mustBeNew ? WriteMode::CreateNew : WriteMode::Create))
            return nullptr;
    }
    for (Ctx* old : replaced) {
        // An old file that cannot be removed stays, and so does its element in this open. The file
        // of the same thumbprint was just replaced by the new one.
        if (store->kind == StoreKind::System && !old->state.fromMachine &&
            old->state.thumbprint() != fresh->state.thumbprint() && !RemoveElementFile(store, old->state))
            continue;
        if (old->state.attached) Detach(old);
    }
    Attach(store, fresh.get(), false);
    return fresh.release();
}

template <class Traits>
BOOL addElement(HCERTSTORE handle, typename Traits::Ctx* source, DWORD disposition, const void** added) {
    using Ctx = typename Traits::Ctx;
    if (added) *added = nullptr;
    std::unique_lock lock(Lock());
    Store* store = AsStore(handle);
    if (!store || !source) return fail(static_cast<DWORD>(E_INVALIDARG));
    if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES)
        return fail(static_cast<DWORD>(E_INVALIDARG));
    if (store->readOnly) return fail(ERROR_ACCESS_DENIED);

    auto& list = Traits::list(store);
    const Sha1 thumbprint = source->state.thumbprint();
    // The elements the new one meets: the same certificate, or for CRLs the same issuer's CRL of the
    // same kind (base or delta).
    std::vector<Ctx*> matches;
    if constexpr (std::is_same_v<Ctx, CrlCtx>) {
        for (Ctx* c : list)
            if (matchingCrl(*c, *source)) matches.push_back(c);
    } else {
        for (Ctx* c : list)
            if (c->state.thumbprint() == thumbprint) matches.push_back(c);
    }
    const bool onDisk = store->kind == StoreKind::System && ElementFileExists(store, thumbprint);

    std::map<DWORD, Bytes> props = source->state.props;
    std::vector<Ctx*> replaced;
    switch (disposition) {
        case CERT_STORE_ADD_NEW:
            if (!matches.empty() || onDisk) return fail(CRYPT_E_EXISTS);
            break;
        case CERT_STORE_ADD_USE_EXISTING:
            if (!matches.empty()) {
                Ctx* existing = matches.front();
                if (added) {
                    Reference(existing->state);
                    *added = &existing->pub;
                }
                return TRUE;
            }
            break;
        case CERT_STORE_ADD_NEWER:
        case CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES:
            for (Ctx* c : matches) {
                bool newer;
                if constexpr (std::is_same_v<Ctx, CrlCtx>)
                    newer = laterThan(source->info.ThisUpdate, c->info.ThisUpdate);
                else
                    newer = laterThan(source->info.NotBefore, c->info.NotBefore);
                if (!newer) return fail(CRYPT_E_EXISTS);
            }
            replaced = matches;
            break;
        case CERT_STORE_ADD_ALWAYS:
            // A memory store keeps duplicates; a system store has one file per thumbprint.
            if (store->kind == StoreKind::System) replaced = {findSame(list, thumbprint, false)};
            if (!replaced.empty() && !replaced.front()) replaced.clear();
            break;
        default:  // replace
            replaced = matches;
            break;
    }
    if (disposition == CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES ||
        disposition == CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES) {
        for (Ctx* c : replaced)
            for (const auto& p : c->state.props) props.emplace(p.first, p.second);
    }
    // A machine element seen through the user's view is not the user's to replace: the user's copy
    // hides it from the view.
    if constexpr (std::is_same_v<Ctx, CertCtx>) {
        if (Ctx* machineCopy = nullptr; store->machineDir.size()) {
            for (Ctx* c : list)
                if (c->state.fromMachine && c->state.thumbprint() == thumbprint) machineCopy = c;
            if (machineCopy && std::find(replaced.begin(), replaced.end(), machineCopy) == replaced.end())
                replaced.push_back(machineCopy);
        }
        if (store->userRoot) {
            AddRef(store);
            Reference(source->state);
            lock.unlock();
            const bool allowed = ConfirmRootChange(&source->pub, true);
            lock.lock();
            Unreference(source);
            Release(store);
            if (!allowed) return fail(ERROR_CANCELLED);
            // Another thread may have changed the list meanwhile: keep only what is still there.
            std::erase_if(replaced,
                          [&](Ctx* c) { return std::find(list.begin(), list.end(), c) == list.end(); });
        }
    }
    Ctx* fresh =
        putElement<Traits>(store, source, std::move(props), replaced, disposition == CERT_STORE_ADD_NEW);
    if (!fresh) return FALSE;
    if (added) {
        Reference(fresh->state);
        *added = &fresh->pub;
    }
    return TRUE;
}

// CertAddEncoded*ToStore: a context of its own made of the bytes, added, and freed again.
template <class Public, class Create, class Add, class Free>
BOOL addEncoded(Create create, Add add, Free free, HCERTSTORE store, DWORD encoding, const BYTE* encoded,
                DWORD encodedLen, DWORD disposition, Public* added) {
    const auto context = create(encoding, encoded, encodedLen);
    if (!context) return FALSE;
    const BOOL ok = add(store, context, disposition, added);
    const DWORD error = GetLastError();
    free(context);
    if (!ok) SetLastError(error);
    return ok;
}

// CertDelete*FromStore: frees `ctx` in every case. A certificate of the user's ROOT goes only when
// the confirmation hook allows it.
template <class Ctx>
BOOL deleteElement(Ctx* ctx) {
    std::unique_lock lock(Lock());
    if (!ctx) return fail(static_cast<DWORD>(E_INVALIDARG));
    Store* store = ctx->state.store;
    if (!ctx->state.attached) {
        Unreference(ctx);
        return TRUE;
    }
    if (store->readOnly || ctx->state.fromMachine) {
        Unreference(ctx);
        return fail(ERROR_ACCESS_DENIED);
    }
    if constexpr (std::is_same_v<Ctx, CertCtx>) {
        if (store->userRoot) {
            lock.unlock();
            const bool allowed = ConfirmRootChange(&ctx->pub, false);
            lock.lock();
            if (!allowed) {
                Unreference(ctx);
                return fail(ERROR_CANCELLED);
            }
            if (!ctx->state.attached) {
                Unreference(ctx);
                return TRUE;
            }
        }
    }
    if (store->kind == StoreKind::System && !RemoveElementFile(store, ctx->state)) {
        const DWORD error = GetLastError();
        Unreference(ctx);
        return fail(error);
    }
    Detach(ctx);
    Unreference(ctx);
    return TRUE;
}

}  // namespace

void SetRootStoreConfirmHook(PFN_CERT_ROOT_CONFIRM hook, void* arg) {
    std::lock_guard guard(g_hookMutex);
    g_rootHook = hook;
    g_rootHookArg = arg;
}

HCERTSTORE CertOpenStore(LPCSTR provider, DWORD /*encoding*/, HCRYPTPROV /*prov*/, DWORD flags,
                         const void* para) {
    switch (providerNumber(provider)) {
        case 2: {
            std::lock_guard guard(Lock());
            Store* store = NewStore(StoreKind::Memory);
            AddRef(store);
            return store;
        }
        case 6:
            if (!para) return failNull<void>(static_cast<DWORD>(E_INVALIDARG));
            return openSerialized(static_cast<const CRYPT_DATA_BLOB*>(para));
        case 10:
            return OpenSystemStore(static_cast<LPCWSTR>(para), flags);
        default:
            return failNull<void>(CRYPT_E_NO_PROVIDER);
    }
}

HCERTSTORE CertDuplicateStore(HCERTSTORE handle) {
    std::lock_guard guard(Lock());
    Store* store = AsStore(handle);
    if (!store) return failNull<void>(static_cast<DWORD>(E_INVALIDARG));
    AddRef(store);
    return store;
}

BOOL CertCloseStore(HCERTSTORE handle, DWORD flags) {
    if (!handle) return TRUE;
    std::lock_guard guard(Lock());
    Store* store = AsStore(handle);
    if (!store) return fail(static_cast<DWORD>(E_INVALIDARG));
    const bool stillHeld = store->refs > 1;
    Release(store);
    if ((flags & CERT_CLOSE_STORE_CHECK_FLAG) && stillHeld) return fail(CRYPT_E_PENDING_CLOSE);
    return TRUE;
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE handle, PCCERT_CONTEXT previous) {
    return CertFindCertificateInStore(handle, 0, 0, CERT_FIND_ANY, nullptr, previous);
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE handle, DWORD, DWORD, DWORD findType, const void* para,
                                          PCCERT_CONTEXT previous) {
    std::lock_guard guard(Lock());
    Store* store = AsStore(handle);
    CertCtx* prev = AsCert(previous);
    if (!store || (previous && (!prev || prev->state.store != store))) {
        if (prev) Unreference(prev);
        return failNull<const CERT_CONTEXT>(static_cast<DWORD>(E_INVALIDARG));
    }
    if (findType != CERT_FIND_ANY && !para) {
        if (prev) Unreference(prev);
        return failNull<const CERT_CONTEXT>(static_cast<DWORD>(E_INVALIDARG));
    }
    CertCtx* found = nullptr;
    auto next = [&](auto match) { return findNext(store->certs, prev, match); };
    switch (findType) {
        case CERT_FIND_ANY:
            found = next([](CertCtx&) { return true; });
            break;
        case CERT_FIND_SHA1_HASH: {
            const auto* hash = static_cast<const CRYPT_HASH_BLOB*>(para);
            found = next([&](CertCtx& c) { return sameHash(c, *hash); });
            break;
        }
        case CERT_FIND_MD5_HASH: {
            const auto* hash = static_cast<const CRYPT_HASH_BLOB*>(para);
            found = next([&](CertCtx& c) {
                const Bytes h = ComputeDigest("MD5", c.state.der.data(), c.state.der.size());
                return h.size() == hash->cbData && std::memcmp(h.data(), hash->pbData, h.size()) == 0;
            });
            break;
        }
        case CERT_FIND_KEY_IDENTIFIER: {
            const auto* kid = static_cast<const CRYPT_HASH_BLOB*>(para);
            found = next([&](CertCtx& c) {
                const Bytes k = KeyIdentifier(c);
                return k.size() == kid->cbData && std::memcmp(k.data(), kid->pbData, k.size()) == 0;
            });
            break;
        }
        case CERT_FIND_SUBJECT_NAME: {
            const auto* name = static_cast<const CERT_NAME_BLOB*>(para);
            found = next([&](CertCtx& c) { return SameBlobs(c.info.Subject, *name); });
            break;
        }
        case CERT_FIND_ISSUER_NAME: {
            const auto* name = static_cast<const CERT_NAME_BLOB*>(para);
            found = next([&](CertCtx& c) { return SameBlobs(c.info.Issuer, *name); });
            break;
        }
        case CERT_FIND_PUBLIC_KEY: {
            const auto* key = static_cast<const CERT_PUBLIC_KEY_INFO*>(para);
            found = next([&](CertCtx& c) { return sameKey(c, *key); });
            break;
        }
        case CERT_FIND_EXISTING: {
            CertCtx* wanted = AsCert(static_cast<PCCERT_CONTEXT>(para));
            if (!wanted) break;
            const Sha1 h = wanted->state.thumbprint();
            found = next([&](CertCtx& c) { return c.state.thumbprint() == h; });
            break;
        }
        case CERT_FIND_CERT_ID: {
            const auto* id = static_cast<const CERT_ID*>(para);
            found = next([&](CertCtx& c) { return matchesId(c, *id); });
            break;
        }
        default:
            if (prev) Unreference(prev);
            return failNull<const CERT_CONTEXT>(static_cast<DWORD>(E_INVALIDARG));
    }
    if (found) Reference(found->state);
    if (prev) Unreference(prev);
    if (!found) return failNull<const CERT_CONTEXT>(CRYPT_E_NOT_FOUND);
    return &found->pub;
}

PCCERT_CONTEXT CertGetSubjectCertificateFromStore(HCERTSTORE handle, DWORD encoding, PCERT_INFO id) {
    if (!id) return failNull<const CERT_CONTEXT>(static_cast<DWORD>(E_INVALIDARG));
    CERT_ID certId{};
    certId.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
    certId.IssuerSerialNumber.Issuer = id->Issuer;
    certId.IssuerSerialNumber.SerialNumber = id->SerialNumber;
    return CertFindCertificateInStore(handle, encoding, 0, CERT_FIND_CERT_ID, &certId, nullptr);
}

BOOL CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT cert, DWORD disposition,
                                      PCCERT_CONTEXT* added) {
    return addElement<CertTraits>(store, AsCert(cert), disposition, reinterpret_cast<const void**>(added));
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE store, DWORD encoding, const BYTE* encoded, DWORD encodedLen,
                                      DWORD disposition, PCCERT_CONTEXT* added) {
    return addEncoded(CertCreateCertificateContext, CertAddCertificateContextToStore,
                      CertFreeCertificateContext, store, encoding, encoded, encodedLen, disposition, added);
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT cert) {
    return deleteElement(AsCert(cert));
}

PCCRL_CONTEXT CertEnumCRLsInStore(HCERTSTORE store, PCCRL_CONTEXT previous) {
    return CertFindCRLInStore(store, 0, 0, CRL_FIND_ANY, nullptr, previous);
}

PCCRL_CONTEXT CertFindCRLInStore(HCERTSTORE handle, DWORD, DWORD, DWORD findType, const void* para,
                                 PCCRL_CONTEXT previous) {
    std::lock_guard guard(Lock());
    Store* store = AsStore(handle);
    CrlCtx* prev = AsCrl(previous);
    auto failed = [&](DWORD code) {
        if (prev) Unreference(prev);
        return failNull<const CRL_CONTEXT>(code);
    };
    if (!store || (previous && (!prev || prev->state.store != store)))
        return failed(static_cast<DWORD>(E_INVALIDARG));
    CrlCtx* found = nullptr;
    switch (findType) {
        case CRL_FIND_ANY:
            found = findNext(store->crls, prev, [](CrlCtx&) { return true; });
            break;
        case CRL_FIND_EXISTING: {
            CrlCtx* wanted = AsCrl(static_cast<PCCRL_CONTEXT>(para));
            if (!wanted) return failed(static_cast<DWORD>(E_INVALIDARG));
            const Sha1 h = wanted->state.thumbprint();
            found = findNext(store->crls, prev, [&](CrlCtx& c) { return c.state.thumbprint() == h; });
            break;
        }
        case CRL_FIND_ISSUED_BY: {
            CertCtx* issuer = AsCert(static_cast<PCCERT_CONTEXT>(para));
            if (!issuer) return failed(static_cast<DWORD>(E_INVALIDARG));
            found = findNext(store->crls, prev,
                             [&](CrlCtx& c) { return SameBlobs(c.info.Issuer, issuer->info.Subject); });
            break;
        }
        default:
            return failed(static_cast<DWORD>(E_INVALIDARG));
    }
    if (found) Reference(found->state);
    if (prev) Unreference(prev);
    if (!found) return failNull<const CRL_CONTEXT>(CRYPT_E_NOT_FOUND);
    return &found->pub;
}

BOOL CertAddCRLContextToStore(HCERTSTORE store, PCCRL_CONTEXT crl, DWORD disposition, PCCRL_CONTEXT* added) {
    return addElement<CrlTraits>(store, AsCrl(crl), disposition, reinterpret_cast<const void**>(added));
}

BOOL CertAddEncodedCRLToStore(HCERTSTORE store, DWORD encoding, const BYTE* encoded, DWORD encodedLen,
                              DWORD disposition, PCCRL_CONTEXT* added) {
    return addEncoded(CertCreateCRLContext, CertAddCRLContextToStore, CertFreeCRLContext, store, encoding,
                      encoded, encodedLen, disposition, added);
}

BOOL CertDeleteCRLFromStore(PCCRL_CONTEXT crl) {
    return deleteElement(AsCrl(crl));
}

BOOL CertSaveStore(HCERTSTORE handle, DWORD, DWORD saveAs, DWORD saveTo, void* para, DWORD) {
    if (saveAs != CERT_STORE_SAVE_AS_STORE || saveTo != CERT_STORE_SAVE_TO_MEMORY || !para)
        return fail(static_cast<DWORD>(E_INVALIDARG));
    Bytes out;
    {
        std::lock_guard guard(Lock());
        Store* store = AsStore(handle);
        if (!store) return fail(static_cast<DWORD>(E_INVALIDARG));
        const BYTE header[8] = {0, 0, 0, 0, 0x43, 0x45, 0x52, 0x54};
        out.assign(header, header + sizeof header);
        for (CertCtx* c : store->certs) AppendElement(out, kCertElementId, c->state);
        for (CrlCtx* c : store->crls) AppendElement(out, kCrlElementId, c->state);
        out.insert(out.end(), 12, 0);
    }
    if (out.size() > 0xFFFFFFFFu) return fail(ERROR_NOT_ENOUGH_MEMORY);
    auto* blob = static_cast<CRYPT_DATA_BLOB*>(para);
    const DWORD size = static_cast<DWORD>(out.size());
    if (!blob->pbData) {
        blob->cbData = size;
        return TRUE;
    }
    if (blob->cbData < size) {
        blob->cbData = size;
        return fail(ERROR_MORE_DATA);
    }
    std::memcpy(blob->pbData, out.data(), size);
    blob->cbData = size;
    return TRUE;
}

namespace {

Store* openSerialized(const CRYPT_DATA_BLOB* blob) {
    if (blob->cbData && !blob->pbData) return failNull<Store>(static_cast<DWORD>(E_INVALIDARG));
    std::vector<ParsedElement> elements;
    if (!ParseSerializedStore(blob->pbData, blob->cbData, elements))
        return failNull<Store>(CRYPT_E_FILE_ERROR);
    std::lock_guard guard(Lock());
    Store* store = NewStore(StoreKind::Memory);
    AddRef(store);
    DWORD error = 0;
    if (!LoadElements(store, elements, error)) {
        Release(store);
        return failNull<Store>(CRYPT_E_FILE_ERROR);
    }
    return store;
}

}  // namespace
