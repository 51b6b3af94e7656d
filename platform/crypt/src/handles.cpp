// The handle table: 64-bit ids with the kind of object in the top byte and a counter below, so a
// released id is never given out again and an id of one kind is never taken for another.
#include "cryptState.h"

#include <unordered_map>

namespace vsk::crypt {

// The "Crypt32.dll" stand-in module is registered by a static object of its own file; this reference
// brings that file into every program that uses the handle table.
extern const bool crypt32Registered;
[[gnu::used]] static const bool* const keepCrypt32Registration = &crypt32Registered;

namespace {

std::mutex handleMutex;
std::unordered_map<uint64_t, std::shared_ptr<Object>>& Table() {
    static auto* table = new std::unordered_map<uint64_t, std::shared_ptr<Object>>;
    return *table;
}
uint64_t nextId = 1;

constexpr int KindShift = 56;

bool KindMatches(uint64_t handle, HandleKind kind) {
    return handle != 0 && (handle >> KindShift) == static_cast<uint64_t>(kind);
}

}  // namespace

uint64_t AddHandle(HandleKind kind, std::shared_ptr<Object> object) {
    std::lock_guard lock(handleMutex);
    uint64_t id = (static_cast<uint64_t>(kind) << KindShift) | nextId++;
    Table().emplace(id, std::move(object));
    return id;
}

std::shared_ptr<Object> FindHandle(uint64_t handle, HandleKind kind, DWORD unknownCode) {
    if (!KindMatches(handle, kind)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    std::lock_guard lock(handleMutex);
    auto it = Table().find(handle);
    if (it == Table().end()) {
        SetLastError(unknownCode);
        return nullptr;
    }
    return it->second;
}

bool RemoveHandle(uint64_t handle, HandleKind kind, DWORD unknownCode) {
    if (!KindMatches(handle, kind)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    std::shared_ptr<Object> object;  // released after the lock, outside the table's mutex
    std::lock_guard lock(handleMutex);
    auto it = Table().find(handle);
    if (it == Table().end()) {
        SetLastError(unknownCode);
        return false;
    }
    object = std::move(it->second);
    Table().erase(it);
    return true;
}

}  // namespace vsk::crypt
