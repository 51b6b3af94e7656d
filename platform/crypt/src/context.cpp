// Provider contexts: acquisition, release, provider parameters and random numbers.
#include "cryptState.h"

#include <vsk/platform/wait.h>

#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <tuple>

namespace vsk::crypt {

namespace {

// The window that providers would parent their dialogs to when a context has none of its own.
std::atomic<uintptr_t> processClientWindow{0};

constexpr DWORD AcquireFlagsKnown =
    CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT;

BOOL ReturnBytes(const void* bytes, DWORD size, BYTE* data, DWORD* dataLen) {
    if (!data) {
        *dataLen = size;
        return TRUE;
    }
    if (*dataLen < size) {
        *dataLen = size;
        return Fail(ERROR_MORE_DATA);
    }
    if (size) std::memcpy(data, bytes, size);
    *dataLen = size;
    return TRUE;
}

BOOL ReturnText(const std::string& text, BYTE* data, DWORD* dataLen) {
    return ReturnBytes(text.c_str(), static_cast<DWORD>(text.size() + 1), data, dataLen);
}

BOOL ReturnDword(DWORD value, BYTE* data, DWORD* dataLen) {
    return ReturnBytes(&value, sizeof value, data, dataLen);
}

// OIDs of the GOST providers' algorithms: hash, cipher, public key, key agreement.
const char* AlgorithmOidParameter(DWORD type, DWORD param) {
    static const char* const gost256[] = {"1.2.643.7.1.1.2.2", "1.2.643.2.2.21", "1.2.643.7.1.1.1.1",
                                          "1.2.643.7.1.1.6.1"};
    static const char* const gost512[] = {"1.2.643.7.1.1.2.3", "1.2.643.2.2.21", "1.2.643.7.1.1.1.2",
                                          "1.2.643.7.1.1.6.2"};
    size_t i = param - PP_HASHOID;
    if (type == PROV_GOST_2012_256) return gost256[i];
    if (type == PROV_GOST_2012_512) return gost512[i];
    return nullptr;
}

// One step of an enumeration kept in the context: CRYPT_FIRST starts over; a size query (no buffer)
// reports the size of the record and does not move on.
template <class Record>
BOOL EnumStep(size_t& position, DWORD flags, size_t count, Record record, BYTE* data, DWORD* dataLen) {
    size_t at = (flags & CRYPT_FIRST) ? 0 : position;
    if (at >= count) return Fail(ERROR_NO_MORE_ITEMS);
    std::string bytes = record(at);
    if (!ReturnBytes(bytes.data(), static_cast<DWORD>(bytes.size()), data, dataLen)) return FALSE;
    if (data) position = at + 1;
    return TRUE;
}

BOOL GetEnumAlgs(Context& ctx, DWORD flags, BYTE* data, DWORD* dataLen) {
    if (flags & ~(CRYPT_FIRST | CRYPT_NEXT)) return Fail(NTE_BAD_FLAGS);
    const ProviderEntry& p = *ctx.provider;
    std::lock_guard lock(ctx.mutex);
    size_t at = (flags & CRYPT_FIRST) ? 0 : ctx.enumAlgsPos;
    if (p.inject.enumAlgsError && at >= p.inject.enumAlgsErrorAfter) return Fail(p.inject.enumAlgsError);
    return EnumStep(
        ctx.enumAlgsPos, flags, p.algorithms.size(),
        [&](size_t i) {
            const AlgorithmEntry& a = p.algorithms[i];
            PROV_ENUMALGS r{};
            r.aiAlgid = a.id;
            r.dwBitLen = a.bits;
            size_t n = std::min<size_t>(a.name.size(), sizeof r.szName - 1);
            std::memcpy(r.szName, a.name.data(), n);
            r.dwNameLen = static_cast<DWORD>(n + 1);
            return std::string(reinterpret_cast<const char*>(&r), sizeof r);
        },
        data, dataLen);
}

BOOL GetEnumContainers(Context& ctx, DWORD flags, BYTE* data, DWORD* dataLen) {
    if (flags & ~(CRYPT_FIRST | CRYPT_NEXT | CRYPT_UNIQUE)) return Fail(NTE_BAD_FLAGS);
    const ProviderEntry& p = *ctx.provider;
    bool unique = flags & CRYPT_UNIQUE;
    if (unique && p.inject.uniqueRefused) return Fail(NTE_BAD_FLAGS);
    const bool machine = ctx.flags & CRYPT_MACHINE_KEYSET;
    std::lock_guard lock(ctx.mutex);
    if (p.keepsContainers && ((flags & CRYPT_FIRST) || ctx.enumContainersPos == 0)) {
        // The list is read from the key folders when an enumeration starts and kept for its rest,
        // so containers made or deleted meanwhile do not shift the cursor.
        ctx.enumSnapshot = ListContainers(p, machine);
    }
    const auto& containers =
        p.keepsContainers ? ctx.enumSnapshot : (machine ? p.machineContainers : p.containers);
    auto record = [&](size_t i) {
        const auto& [name, uniqueName] = containers[i];
        return unique ? uniqueName + '\0' + name + '\0' : name + '\0';
    };
    if (!data) {
        // The size query answers the largest record, so one buffer serves the whole enumeration.
        size_t at = (flags & CRYPT_FIRST) ? 0 : ctx.enumContainersPos;
        if (at >= containers.size()) return Fail(ERROR_NO_MORE_ITEMS);
        size_t most = 0;
        for (size_t i = 0; i < containers.size(); ++i) most = std::max(most, record(i).size());
        *dataLen = static_cast<DWORD>(most);
        return TRUE;
    }
    return EnumStep(ctx.enumContainersPos, flags, containers.size(), record, data, dataLen);
}

BOOL GetEnumReaders(Context& ctx, DWORD flags, BYTE* data, DWORD* dataLen) {
    if (flags & ~(CRYPT_FIRST | CRYPT_NEXT | CRYPT_MEDIA)) return Fail(NTE_BAD_FLAGS);
    std::lock_guard lock(ctx.mutex);
    return EnumStep(
        ctx.enumReadersPos, flags, std::size(Readers),
        [](size_t i) {
            const ReaderEntry& r = Readers[i];
            std::string s = std::string(r.nickname) + '\0' + r.name + '\0' + r.media + '\0';
            s += '\0';  // flag byte
            return s;
        },
        data, dataLen);
}

std::optional<std::pair<std::string, std::string>> FindListedContainer(const ProviderEntry& p, DWORD flags,
                                                                       LPCWSTR container) {
    if (!container || !*container) return std::nullopt;
    std::string name = To1251(container);
    const auto& listed = (flags & CRYPT_MACHINE_KEYSET) ? p.machineContainers : p.containers;
    for (const auto& c : listed)
        if (c.first == name || c.second == name) return c;
    // "\\.\<reader>\<name>"
    if (name.rfind("\\\\.\\", 0) == 0) {
        std::string plain = name.substr(name.find_last_of('\\') + 1);
        for (const auto& c : listed)
            if (c.first == plain) return c;
    }
    return std::nullopt;
}

}  // namespace

}  // namespace vsk::crypt

using namespace vsk::crypt;

BOOL CryptAcquireContextW(HCRYPTPROV* prov, LPCWSTR container, LPCWSTR provider, DWORD provType,
                          DWORD flags) {
    if (!prov) return Fail(ERROR_INVALID_PARAMETER);
    *prov = 0;
    if (flags & ~AcquireFlagsKnown) return Fail(NTE_BAD_FLAGS);
    if (provType == 0) return Fail(NTE_BAD_PROV_TYPE);
    auto table = Providers();
    std::shared_ptr<const ProviderEntry> entry;
    if (provider && *provider) {
        std::u16string name(provider);
        bool otherType = false;
        for (const auto& p : table->providers) {
            if (!SameProviderName(p->name, name)) continue;
            if (p->type == provType) {
                entry = p;
                break;
            }
            otherType = true;
        }
        if (!entry) return Fail(otherType ? NTE_PROV_TYPE_NO_MATCH : NTE_KEYSET_NOT_DEF);
    } else {
        for (bool user : {true, false}) {
            for (const auto& p : table->providers)
                if (p->type == provType && (user ? p->userDefault : p->machineDefault)) {
                    entry = p;
                    break;
                }
            if (entry) break;
        }
        if (!entry) return Fail(NTE_PROV_TYPE_NOT_DEF);
    }
    if (entry->inject.acquireDelayMs) Sleep(entry->inject.acquireDelayMs);
    if (entry->inject.acquireError) return Fail(entry->inject.acquireError);

    auto ctx = std::make_shared<Context>();
    ctx->provider = entry;
    ctx->flags = flags;
    if ((flags & CRYPT_VERIFYCONTEXT) != CRYPT_VERIFYCONTEXT) {
        if ((flags & CRYPT_NEWKEYSET) && (flags & CRYPT_DELETEKEYSET)) return Fail(NTE_BAD_FLAGS);
        if (entry->keepsContainers) {
            if (flags & CRYPT_DELETEKEYSET) {
                if (DWORD e = DeleteContainer(*entry, container, flags)) return Fail(e);
                return TRUE;  // a deleted container leaves no context
            }
            if (DWORD e = OpenContainer(*ctx, container, flags)) return Fail(e);
        } else {
            // A provider of a test table opens only the containers it lists.
            if (flags & CRYPT_NEWKEYSET) return Fail(NTE_NOT_SUPPORTED);
            if (flags & CRYPT_DELETEKEYSET) return Fail(NTE_BAD_KEYSET);
            auto found = FindListedContainer(*entry, flags, container);
            if (!found) return Fail(NTE_BAD_KEYSET);
            std::tie(ctx->container, ctx->uniqueContainer) = *found;
        }
    }
    *prov = AddHandle(HandleKind::Provider, ctx);
    return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags) {
    if (flags) {
        // As on Windows the context is released even when the flags are refused.
        RemoveHandle(prov, HandleKind::Provider, NTE_BAD_UID);
        return Fail(NTE_BAD_FLAGS);
    }
    return RemoveHandle(prov, HandleKind::Provider, NTE_BAD_UID) ? TRUE : FALSE;
}

BOOL CryptGetProvParam(HCRYPTPROV prov, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags) {
    auto ctx = FindContext(prov);
    if (!ctx) return FALSE;
    if (!dataLen) return Fail(ERROR_INVALID_PARAMETER);
    const ProviderEntry& p = *ctx->provider;
    switch (param) {
        case PP_ENUMALGS:
            return GetEnumAlgs(*ctx, flags, data, dataLen);
        case PP_ENUMCONTAINERS:
            return GetEnumContainers(*ctx, flags, data, dataLen);
        case PP_ENUMREADERS:
            return GetEnumReaders(*ctx, flags, data, dataLen);
        default:
            break;
    }
    if (flags) return Fail(NTE_BAD_FLAGS);
    switch (param) {
        case PP_NAME:
            return ReturnText(To1251(p.name), data, dataLen);
        case PP_VERSION:
            return ReturnDword(p.version, data, dataLen);
        case PP_PROVTYPE:
            return ReturnDword(p.type, data, dataLen);
        case PP_VERSION_EX: {
            if (!p.hasVersionEx) return Fail(NTE_BAD_TYPE);
            PROV_VERSION_EX v{p.versionBuild, p.versionRevision, {}};
            return ReturnBytes(&v, sizeof v, data, dataLen);
        }
        case PP_CONTAINER:
        case PP_UNIQUE_CONTAINER:
            if (ctx->container.empty()) return Fail(NTE_BAD_KEYSET);
            return ReturnText(param == PP_CONTAINER ? ctx->container : ctx->uniqueContainer, data, dataLen);
        case PP_HASHOID:
        case PP_CIPHEROID:
        case PP_SIGNATUREOID:
        case PP_DHOID:
            if (const char* oid = AlgorithmOidParameter(p.type, param)) return ReturnText(oid, data, dataLen);
            return Fail(NTE_BAD_TYPE);
        default:
            return Fail(NTE_BAD_TYPE);
    }
}

BOOL CryptSetProvParam(HCRYPTPROV prov, DWORD param, const BYTE* data, DWORD flags) {
    if (prov == 0 && param == PP_CLIENT_HWND) {
        // A window for every context of the process.
        if (!data) return Fail(ERROR_INVALID_PARAMETER);
        uintptr_t window;
        std::memcpy(&window, data, sizeof window);
        processClientWindow = window;
        return TRUE;
    }
    auto ctx = FindContext(prov);
    if (!ctx) return FALSE;
    if (auto& busy = ctx->provider->inject.busyCalls; busy && busy->load() > 0 && busy->fetch_sub(1) > 0)
        return Fail(ERROR_BUSY);
    if (flags) return Fail(NTE_BAD_FLAGS);
    switch (param) {
        case PP_CLIENT_HWND: {
            if (!data) return Fail(ERROR_INVALID_PARAMETER);
            uintptr_t window;
            std::memcpy(&window, data, sizeof window);
            std::lock_guard lock(ctx->mutex);
            ctx->clientWindow = window;
            return TRUE;
        }
        case PP_KEYEXCHANGE_PIN:
        case PP_SIGNATURE_PIN: {
            // One password per container, accepted through either parameter.
            if (!data) return Fail(ERROR_INVALID_PARAMETER);
            if (DWORD e = SetContainerPin(*ctx, reinterpret_cast<const char*>(data))) return Fail(e);
            return TRUE;
        }
        default:
            return Fail(NTE_BAD_TYPE);
    }
}

BOOL CryptGenRandom(HCRYPTPROV prov, DWORD len, BYTE* buffer) {
    if (!FindContext(prov)) return FALSE;
    if (len == 0) return TRUE;
    if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
    for (DWORD done = 0; done < len;) {
        int chunk = static_cast<int>(std::min<DWORD>(len - done, 1u << 30));
        if (RAND_bytes(buffer + done, chunk) != 1) return Fail(NTE_FAIL);
        done += static_cast<DWORD>(chunk);
    }
    return TRUE;
}
