// Inner structures of the certificate area: contexts with their property sets, stores, DER reading
// and the serialized element format shared by ".store" blobs and the system stores' element files.
#pragma once

#include <vsk/platform/cert.h>

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace VskCert {

using Bytes = std::vector<BYTE>;

// ---- DER reading --------------------------------------------------------------------------------

// A strict reader over one buffer. Every read checks the bytes left; a failure leaves `error` set to
// the CRYPT_E_ASN1_* code and makes every later read fail.
class DerReader {
public:
    DerReader(const BYTE* data, size_t size) : m_p(data), m_end(data + size) {}
    struct Tlv {
        BYTE tag = 0;
        const BYTE* whole = nullptr;  // tag, length and contents
        size_t wholeSize = 0;
        const BYTE* body = nullptr;
        size_t bodySize = 0;
        DerReader reader() const { return DerReader(body, bodySize); }
    };
    bool atEnd() const { return m_p == m_end; }
    bool failed() const { return error != 0; }
    BYTE peekTag() const { return m_p < m_end ? *m_p : 0; }
    // Reads one element; `tag` 0 takes any tag.
    bool read(Tlv& out, BYTE tag = 0);
    // Reads the element when the next tag is `tag`; false (and no error) when it is not.
    bool readOptional(Tlv& out, BYTE tag);
    DWORD error = 0;

private:
    const BYTE* m_p;
    const BYTE* m_end;
};

// Dotted text of an OBJECT IDENTIFIER's contents; false when it is malformed.
bool DecodeOid(const BYTE* body, size_t size, std::string& dotted);
// UTCTime (tag 0x17) or GeneralizedTime (0x18) to FILETIME; false when it is malformed.
bool DecodeTime(const DerReader::Tlv& tlv, FILETIME& out);

// ---- Hashes ---------------------------------------------------------------------------------------

using Sha1 = std::array<BYTE, 20>;
Sha1 ComputeSha1(const BYTE* data, size_t size);
Bytes ComputeDigest(const char* name, const BYTE* data, size_t size);
std::string HexUpper(const BYTE* data, size_t size);

// ---- Contexts --------------------------------------------------------------------------------------

struct Store;

// What a context shares with every other reference to the same store element.
struct ElementState {
    int refs = 0;              // references held by callers
    Store* store = nullptr;    // the store that owns the element
    bool attached = false;     // still listed by the store
    bool fromMachine = false;  // the computer's element seen through a user's view
    std::string sortKey;       // enumeration order within the store
    std::string filePath;      // the element's file in a system store, empty otherwise
    Bytes der;
    bool sha1Done = false;
    Sha1 sha1{};
    // Properties kept with the element (written to files): key-provider information in its
    // self-relative file layout, the friendly name and opaque ids, as raw bytes.
    std::map<DWORD, Bytes> props;
    bool hasKeyContext = false;
    bool releaseKeyContext = true;
    CERT_KEY_CONTEXT keyContext{};

    const Sha1& thumbprint();
    void dropKeyContext();
};

constexpr DWORD kCertMagic = 0x43455254;  // "CERT"
constexpr DWORD kCrlMagic = 0x43524C21;

// The context callers see is the first member, so the pointer they hold is the object's address.
struct CertCtx {
    CERT_CONTEXT pub{};
    DWORD magic = kCertMagic;
    ElementState state;
    CERT_INFO info{};
    Bytes serialLE;
    std::deque<std::string> oids;
    std::vector<CERT_EXTENSION> extensions;
};

struct CrlCtx {
    CRL_CONTEXT pub{};
    DWORD magic = kCrlMagic;
    ElementState state;
    CRL_INFO info{};
    std::deque<std::string> oids;
    std::deque<Bytes> serials;
    std::vector<CRL_ENTRY> entries;
    std::deque<std::vector<CERT_EXTENSION>> entryExtensions;
    std::vector<CERT_EXTENSION> extensions;
    bool isDelta = false;
};

// Decodes the DER into a new context that belongs to no store yet; null with the error code set in
// `error`.
bool DecodeExtensions(DerReader& reader, std::deque<std::string>& oids, std::vector<CERT_EXTENSION>& out,
                      DWORD& error);
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

// Makes the store's contexts from parsed groups (each DER must decode). False with the error set.
bool LoadElements(Store* store, const std::vector<ParsedElement>& elements, bool fromMachine,
                  const std::string& dirForFiles, DWORD& error);

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

// The confirmation hook for the user's ROOT; true when the change may go ahead.
bool ConfirmRootChange(PCCERT_CONTEXT cert, bool adding);

}  // namespace VskCert
