// Inner structures of the certificate area: contexts with their property sets, stores and the
// serialized element format shared by ".store" blobs and the system stores' element files.
#pragma once

#include <vsk/platform/cert.h>
#include <vsk/platform/kernel.h>

#include "der.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vsk::cert {

// ---- Hashes ---------------------------------------------------------------------------------------

using Sha1 = std::array<BYTE, 20>;
Sha1 ComputeSha1(const BYTE* data, size_t size);
Bytes ComputeDigest(const char* name, const BYTE* data, size_t size);
std::string HexUpper(const BYTE* data, size_t size);

// ---- Contexts --------------------------------------------------------------------------------------

struct Store;

// Where an element stands in its store's enumeration: memory stores keep insertion order (a
// sequence number), system stores thumbprint order, the user's own elements before the computer's.
struct SortKey {
    uint8_t group = 0;  // 1: the computer's element in a user's view
    std::array<BYTE, 20> id{};
    auto operator<=>(const SortKey&) const = default;
};

// What a context shares with every other reference to the same store element.
struct ElementState {
    int refs = 0;                   // references held by callers
    Store* store = nullptr;         // the store that owns the element
    bool attached = false;          // still listed by the store
    bool fromMachine = false;       // the computer's element seen through a user's view
    bool inFile = false;            // a file of a system store's folder holds it (see ElementPath)
    mutable bool sha1Done = false;  // the thumbprint is computed once, when first asked for
    SortKey sortKey;
    mutable Sha1 sha1{};
    Bytes der;
    // Properties kept with the element (written to files): key-provider information in its
    // self-relative file layout, the friendly name and opaque ids, as raw bytes.
    std::map<DWORD, Bytes> props;
    bool hasKeyContext = false;
    bool releaseKeyContext = true;
    CERT_KEY_CONTEXT keyContext{};

    const Sha1& thumbprint() const;
    void dropKeyContext();
};

constexpr DWORD kCertMagic = 0x43455254;  // "CERT"
constexpr DWORD kCrlMagic = 0x43524C21;

// Bytes kept inside their owner up to a size that covers nearly every use (serial numbers: RFC 5280
// allows 20 octets), on the heap beyond it.
template <size_t Inline>
class SmallBytes {
public:
    template <class It>
    void assign(size_t size, It first) {
        m_heap = size > Inline ? std::make_unique<BYTE[]>(size) : nullptr;
        m_size = size;
        std::copy_n(first, size, data());
    }
    BYTE* data() { return m_heap ? m_heap.get() : m_inline.data(); }
    size_t size() const { return m_size; }

private:
    std::array<BYTE, Inline> m_inline{};
    std::unique_ptr<BYTE[]> m_heap;
    size_t m_size = 0;
};

// OID texts a context keeps itself, when the process's shared table is full (see InternOid).
using OwnOids = std::vector<std::unique_ptr<char[]>>;

// The context callers see is the first member, so the pointer they hold is the object's address.
// Everything CERT_INFO points to is inside the element's DER, apart from the little-endian serial
// number and the OID texts (shared by every context of the process, see InternOid).
struct CertCtx {
    CERT_CONTEXT pub{};
    DWORD magic = kCertMagic;
    ElementState state;
    CERT_INFO info{};
    SmallBytes<24> serialLE;
    std::vector<CERT_EXTENSION> extensions;
    OwnOids ownOids;
};

struct CrlCtx {
    CRL_CONTEXT pub{};
    DWORD magic = kCrlMagic;
    ElementState state;
    CRL_INFO info{};
    Bytes serials;  // every entry's little-endian serial number, one after the other
    std::vector<CRL_ENTRY> entries;
    std::vector<CERT_EXTENSION> entryExtensions;  // every entry's, one after the other
    std::vector<CERT_EXTENSION> extensions;
    OwnOids ownOids;
    bool isDelta = false;
};

// The text of an OID element, null when it is malformed. Contexts share the process's one copy of
// each text instead of keeping their own; once the shared table holds as many OIDs as it may, the
// text of a new one goes to `own`.
LPSTR InternOid(const Tlv& oid, OwnOids& own);

// Decoding into a context that belongs to no store yet; null with the error code set in `error`.
// The failure returns of the decoders: the reader's error, or CRYPT_E_ASN1_CORRUPT for a check of
// their own; null either way.
struct DecodeFailure {
    DWORD& error;
    std::nullptr_t operator()(const DerReader& reader) const {
        error = reader.error();
        return nullptr;
    }
    std::nullptr_t corrupt() const {
        error = CRYPT_E_ASN1_CORRUPT;
        return nullptr;
    }
};

// The frame every signed element shares: SEQUENCE { to-be-signed SEQUENCE, AlgorithmIdentifier,
// BIT STRING } and nothing after it, at most `maxSize` bytes. Copies the bytes into `state` and
// finds the to-be-signed part in that copy.
bool ReadSigned(const BYTE* der, size_t size, size_t maxSize, ElementState& state, Tlv& tbs, OwnOids& own,
                DWORD& error);
bool DecodeAlgorithm(DerReader& reader, CRYPT_ALGORITHM_IDENTIFIER& alg, OwnOids& own, DWORD& error);
bool DecodeExtensions(DerReader& reader, std::vector<CERT_EXTENSION>& out, OwnOids& own, DWORD& error);
CertCtx* DecodeCertificate(const BYTE* der, size_t size, DWORD& error);
CrlCtx* DecodeCrl(const BYTE* der, size_t size, DWORD& error);

CertCtx* AsCert(PCCERT_CONTEXT cert);
CrlCtx* AsCrl(PCCRL_CONTEXT crl);

bool SameIntegers(const CRYPT_INTEGER_BLOB& a, const CRYPT_INTEGER_BLOB& b);
bool SameBlobs(const CRYPTOAPI_BLOB& a, const CRYPTOAPI_BLOB& b);
// The subject key identifier extension's value, else the SHA-1 of the public key bits.
Bytes KeyIdentifier(const CertCtx& cert);

// Property ids never kept with an element: they are computed (hashes, access state) or live only in
// memory (key context, key-provider handle).
bool IsComputedProperty(DWORD propId);

// ---- Stores -----------------------------------------------------------------------------------------

enum class StoreKind { Memory, System };

struct Store {
    DWORD magic = 0x53544F52;
    int refs = 0;  // open handles plus references held on its contexts
    StoreKind kind = StoreKind::Memory;
    bool readOnly = false;
    uint64_t nextSeq = 0;
    std::vector<CertCtx*> certs;  // sorted by sortKey
    std::vector<CrlCtx*> crls;
    // System stores.
    DWORD scope = 0;
    std::string name;        // upper case
    std::string dir;         // the store's own folder
    std::string machineDir;  // the computer's folder shown in a user's view; empty otherwise
    bool userRoot = false;   // the current user's ROOT: changes are confirmed
};

// One lock for every store and context of the process; the stores are small and the operations short.
std::recursive_mutex& Lock();

Store* NewStore(StoreKind kind);
void AddRef(Store* store);
void Release(Store* store);
Store* AsStore(HCERTSTORE handle);

// Puts a fresh context into the store's list (the store owns it until it is removed).
void Attach(Store* store, CertCtx* cert, bool fromMachine);
void Attach(Store* store, CrlCtx* crl, bool fromMachine);
void Detach(CertCtx* cert);
void Detach(CrlCtx* crl);
// A new caller reference.
void Reference(ElementState& state);
void Unreference(CertCtx* cert);
void Unreference(CrlCtx* crl);

// The public functions that make, duplicate and free contexts, for certificates and CRLs alike. A
// made context is the only element of a store of its own; null with the decoding's `error`.
template <class Ctx>
auto NewContext(Ctx* ctx, DWORD error) -> decltype(&ctx->pub) {
    if (!ctx) {
        SetLastError(error);
        return nullptr;
    }
    std::lock_guard guard(Lock());
    Store* own = NewStore(StoreKind::Memory);
    Attach(own, ctx, false);
    Reference(ctx->state);
    return &ctx->pub;
}
template <class Ctx>
bool DuplicateContext(Ctx* ctx) {
    if (!ctx) return false;
    std::lock_guard guard(Lock());
    Reference(ctx->state);
    return true;
}
template <class Ctx>
void FreeContext(Ctx* ctx) {
    if (!ctx) return;
    std::lock_guard guard(Lock());
    Unreference(ctx);
}

DWORD AccessState(const ElementState& state);
bool ElementWritable(const ElementState& state);

// ---- The serialized format ----------------------------------------------------------------------

constexpr DWORD kCertElementId = 0x20;
constexpr DWORD kCrlElementId = 0x21;
constexpr DWORD kCtlElementId = 0x22;

// One element group: its properties, then the certificate or CRL.
struct ParsedElement {
    DWORD id = 0;
    const BYTE* der = nullptr;
    DWORD derSize = 0;
    std::map<DWORD, Bytes> props;
};
// Reads element groups from `data` (after the header, or a whole element file): false when the data
// is malformed. `allowEnd` accepts the end marker (and then nothing may follow).
bool ParseElements(const BYTE* data, size_t size, bool allowEnd, std::vector<ParsedElement>& out);
// A whole serialized store: the header, the groups and (optionally) the end marker, within the size
// cap.
bool ParseSerializedStore(const BYTE* data, size_t size, std::vector<ParsedElement>& out);
void AppendElement(Bytes& out, DWORD elementId, const ElementState& state);
// Checks the self-relative key-provider information of a file.
bool KeyProvInfoValid(const Bytes& value);
Bytes KeyProvInfoToFile(const CRYPT_KEY_PROV_INFO& info);
// The pointer form into `buffer` (may be null for the size); returns the size.
DWORD KeyProvInfoFromFile(const Bytes& value, BYTE* buffer);

// Makes a memory store's contexts from parsed groups (each DER must decode). False with the error set.
bool LoadElements(Store* store, const std::vector<ParsedElement>& elements, DWORD& error);

// ---- System stores --------------------------------------------------------------------------------

Store* OpenSystemStore(LPCWSTR name, DWORD flags);
// Writes the element's file (under the store's lock). False with the last error set.
// How an element file is written (the checks are made under the folder's lock): Create makes or
// replaces it; CreateNew fails with CRYPT_E_EXISTS when it is there; Update (a property change) fails
// with CRYPT_E_NOT_FOUND when another process deleted it, rather than bringing it back.
enum class WriteMode { Create, CreateNew, Update };
bool WriteElementFile(const Store* store, const ElementState& state, DWORD elementId, WriteMode mode);
bool RemoveElementFile(const Store* store, const ElementState& state);
// True when a file for the thumbprint is already in the store's folder.
bool ElementFileExists(const Store* store, const Sha1& thumbprint);
std::string ElementFilePath(const std::string& dir, const Sha1& thumbprint);
// The file of an element that is in one (ElementState::inFile): in its store's folder, or in the
// computer's folder for an element seen through a user's view.
std::string ElementPath(const ElementState& state);

// Counts a change this process made to a system store folder (chainViews.cpp reads the count).
void CountSystemStoreChange();

// The confirmation hook for the user's ROOT; true when the change may go ahead.
bool ConfirmRootChange(PCCERT_CONTEXT cert, bool adding);

}  // namespace vsk::cert
