// Internal objects of the provider stand-in: the provider table, the objects behind handles and the
// handle table.
#pragma once

#include "keyMaterial.h"

#include <vsk/platform/crypt.h>
#include <vsk/platform/kernel.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct evp_md_st;
struct evp_md_ctx_st;

namespace vsk::crypt {

// Fails the calling function: sets the last error and gives FALSE.
inline BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

// One algorithm as a provider lists it (PP_ENUMALGS).
struct AlgorithmEntry {
    ALG_ID id = 0;
    DWORD bits = 0;
    std::string name;  // code page 1251, at most 19 bytes
};

// Failures injected into one provider (only tables that tests install set them; the built-in
// providers never fail on purpose).
struct Injections {
    std::shared_ptr<std::atomic<int>>
        busyCalls;  // next calls of CryptSetProvParam/CryptImportKey: ERROR_BUSY
    DWORD acquireDelayMs = 0;
    DWORD acquireError = 0;
    DWORD enumAlgsError = 0;  // PP_ENUMALGS fails with this code after enumAlgsErrorAfter records
    DWORD enumAlgsErrorAfter = 0;
    bool uniqueRefused = false;         // PP_ENUMCONTAINERS with CRYPT_UNIQUE: NTE_BAD_FLAGS
    std::vector<ALG_ID> refusedHashes;  // listed, but CryptCreateHash fails with NTE_BAD_ALGID
};

// One installed provider.
struct ProviderEntry {
    DWORD type = 0;
    std::u16string name;
    std::vector<AlgorithmEntry> algorithms;
    DWORD version = 0x0100;  // major << 8 | minor
    bool hasVersionEx = true;
    DWORD versionBuild = 0;
    DWORD versionRevision = 0;
    bool machineDefault = false;
    bool userDefault = false;
    // Containers that PP_ENUMCONTAINERS lists: {name, unique name}, of the user and of the machine
    // (contexts with CRYPT_MACHINE_KEYSET). The built-in providers keep no containers yet.
    std::vector<std::pair<std::string, std::string>> containers;
    std::vector<std::pair<std::string, std::string>> machineContainers;
    // The built-in providers keep their containers in files under the key roots (containers.cpp);
    // a provider of a table that a test installed lists only the containers above.
    bool keepsContainers = false;
    Injections inject;

    const AlgorithmEntry* findAlgorithm(ALG_ID id) const;
};

struct ProviderTypeEntry {
    DWORD type = 0;
    std::u16string name;
};

// The providers in effect: the built-in ones, or a table a test installed (cryptTestSeam.h).
struct ProviderTable {
    std::vector<std::shared_ptr<const ProviderEntry>> providers;
    std::vector<ProviderTypeEntry> types;
    // Injected: CryptEnumProvidersW / CryptEnumProviderTypesW fail at this index with this code.
    std::optional<std::pair<DWORD, DWORD>> enumProvidersError;
    std::optional<std::pair<DWORD, DWORD>> enumTypesError;
};
std::shared_ptr<const ProviderTable> Providers();

// A provider of `type` with the built-in algorithm list of that type (empty for a type without one)
// and this release's version.
std::shared_ptr<ProviderEntry> NewProvider(DWORD type, std::u16string name);
// The built-in algorithm list of a provider type; empty for a type without one.
const std::vector<AlgorithmEntry>& BuiltInAlgorithms(DWORD type);
// The display name of a provider type (CryptEnumProviderTypesW); null for an unknown type.
const char16_t* TypeName(DWORD type);

// The kinds of handle; the kind is kept in the top byte of the id.
enum class HandleKind : uint8_t { Provider = 1, Hash = 2, Key = 3 };

struct Object {
    virtual ~Object() = default;
};

// Readers of the key folders: display name, reader name, medium (narrow literals are code page 1251).
// A container's unique name is "\\.\<reader name>\<container name>".
struct ReaderEntry {
    const char* nickname;
    const char* name;
    const char* media;
};
inline constexpr ReaderEntry Readers[] = {
    {"Реестр", "REGISTRY", "REGISTRY"},
    {"Каталог на диске", "DISK", "DISK"},
};

// A provider context. `container` and `uniqueContainer` name the key container this context opened
// in code page 1251 (empty for a verification context); `reader` and `fileName` locate the file of a
// container kept in the key folders (empty for a container of a test table).
struct Context : Object {
    std::shared_ptr<const ProviderEntry> provider;
    DWORD flags = 0;
    std::string container;
    std::string uniqueContainer;
    std::string reader;
    std::string fileName;
    std::mutex mutex;  // guards the fields below
    size_t enumAlgsPos = 0;
    size_t enumContainersPos = 0;
    size_t enumReadersPos = 0;
    // The containers listed at the last CRYPT_FIRST: {name, unique name} in code page 1251.
    std::vector<std::pair<std::string, std::string>> enumSnapshot;
    uintptr_t clientWindow = 0;
    // The container's password as set through PP_KEYEXCHANGE_PIN / PP_SIGNATURE_PIN or given at the
    // prompt (checked against the container's keys when it has protected ones).
    bool pinSet = false;
    SecretText pin;
    Pkey unlocked[2];  // decrypted keys of AT_KEYEXCHANGE and AT_SIGNATURE, while the context is open
};

// Container contexts of the built-in providers (containers.cpp). `OpenContainer` fills the context's
// container fields for CryptAcquireContextW (creating with CRYPT_NEWKEYSET); `DeleteContainer` serves
// CRYPT_DELETEKEYSET. Both give 0 or the error code.
DWORD OpenContainer(Context& ctx, const char16_t* name, DWORD flags);
DWORD DeleteContainer(const ProviderEntry& provider, const char16_t* name, DWORD flags);
// {name, unique name} of every container of the provider's type in the scope, readers in order, names
// in code-unit order.
std::vector<std::pair<std::string, std::string>> ListContainers(const ProviderEntry& provider, bool machine);
// PP_KEYEXCHANGE_PIN / PP_SIGNATURE_PIN on a container context: checked at once against a protected
// key; 0 or SCARD_W_WRONG_CHV. Call with the context's mutex not held.
DWORD SetContainerPin(Context& ctx, const char* pin);
// The application's password prompt (SetPasswordPrompt), or null.
PasswordPrompt CurrentPasswordPrompt();

// The digest context of a hash object. Freed, or kept for the next hash of the same algorithm on
// this thread (hash.cpp).
struct DigestContextRelease {
    ALG_ID alg = 0;
    void operator()(evp_md_ctx_st* md) const;
};
using DigestContext = std::unique_ptr<evp_md_ctx_st, DigestContextRelease>;

struct HashObject : Object {
    std::shared_ptr<Context> context;
    ALG_ID alg = 0;
    DWORD size = 0;  // of the value, in bytes
    std::mutex mutex;
    DigestContext md;
    bool finished = false;  // the value was read or set: no more data
    BYTE value[64] = {};    // the first `size` bytes, once finished
};

uint64_t AddHandle(HandleKind kind, std::shared_ptr<Object> object);
// The object of a live handle of that kind; null with the last error set (ERROR_INVALID_HANDLE for 0
// or another kind, else `unknownCode`).
std::shared_ptr<Object> FindHandle(uint64_t handle, HandleKind kind, DWORD unknownCode);
// Removes the handle; false with the last error set as FindHandle does.
bool RemoveHandle(uint64_t handle, HandleKind kind, DWORD unknownCode);

inline std::shared_ptr<Context> FindContext(HCRYPTPROV prov) {
    return std::static_pointer_cast<Context>(FindHandle(prov, HandleKind::Provider, NTE_BAD_UID));
}

// OpenSSL with the GOST engine, loaded once; the digest of an ALG_ID or null, looked up once per
// algorithm and kept for the life of the process.
bool GostEngine();
const evp_md_st* DigestOf(ALG_ID alg);

// UTF-16 -> code page 1251 and back; ASCII-only case-insensitive comparison of provider names.
std::string To1251(const std::u16string& text);
std::u16string From1251(const std::string& text);
bool SameProviderName(const std::u16string& a, const std::u16string& b);

}  // namespace vsk::crypt
