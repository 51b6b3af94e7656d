// The handle table: 64-bit ids with the kind of object in the top byte, the slot of the table below
// it and the slot's generation in the low 32 bits. A slot is used again once its handle is released,
// with the next generation, so an id of one kind is never taken for another and a released id is not
// given out again before its slot has been used 2^32 times more. A handle is found by indexing, not
// by searching: the provider functions look their handles up at every call, and on short hashes
// that lookup counted.
#include "cryptState.h"

#include <new>
#include <vector>

namespace vsk::crypt {

// The "Crypt32.dll" stand-in module is registered by a static object of its own file; this reference
// brings that file into every program that uses the handle table.
extern const bool crypt32Registered;
[[gnu::used]] static const bool* const keepCrypt32Registration = &crypt32Registered;

namespace {

constexpr int KindShift = 56;
constexpr int SlotShift = 32;
constexpr uint64_t SlotMask = (uint64_t(1) << (KindShift - SlotShift)) - 1;  // 2^24 slots

struct Slot {
    uint64_t id = 0;  // 0 while free
    uint32_t generation = 0;
    std::shared_ptr<Object> object;
};

struct Table {
    std::mutex mutex;
    std::vector<Slot> slots;
    std::vector<uint32_t> free;
};

// Never destroyed: handles may be released by threads that outlive static destruction.
Table& TheTable() {
    static auto* table = new Table;
    return *table;
}

bool KindMatches(uint64_t handle, HandleKind kind) {
    return handle != 0 && (handle >> KindShift) == static_cast<uint64_t>(kind);
}

// The slot of a live handle, or null; the table's mutex is held.
Slot* Live(Table& t, uint64_t handle) {
    const uint64_t index = (handle >> SlotShift) & SlotMask;
    if (index >= t.slots.size() || t.slots[index].id != handle) return nullptr;
    return &t.slots[index];
}

}  // namespace

uint64_t AddHandle(HandleKind kind, std::shared_ptr<Object> object) {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    uint32_t index;
    if (!t.free.empty()) {
        index = t.free.back();
        t.free.pop_back();
    } else {
        // 2^24 live handles would take gigabytes of provider objects; past them the process is lost.
        if (t.slots.size() > SlotMask) throw std::bad_alloc();
        index = static_cast<uint32_t>(t.slots.size());
        t.slots.emplace_back();
    }
    Slot& slot = t.slots[index];
    // Generation 0 is skipped so that no id of a live handle has zero low bits.
    if (++slot.generation == 0) slot.generation = 1;
    slot.id = (static_cast<uint64_t>(kind) << KindShift) | (static_cast<uint64_t>(index) << SlotShift) |
              slot.generation;
    slot.object = std::move(object);
    return slot.id;
}

std::shared_ptr<Object> FindHandle(uint64_t handle, HandleKind kind, DWORD unknownCode) {
    if (!KindMatches(handle, kind)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    Slot* slot = Live(t, handle);
    if (!slot) {
        SetLastError(unknownCode);
        return nullptr;
    }
    return slot->object;
}

bool RemoveHandle(uint64_t handle, HandleKind kind, DWORD unknownCode) {
    if (!KindMatches(handle, kind)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    std::shared_ptr<Object> object;  // released after the lock, outside the table's mutex
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    Slot* slot = Live(t, handle);
    if (!slot) {
        SetLastError(unknownCode);
        return false;
    }
    object = std::move(slot->object);
    slot->id = 0;
    t.free.push_back(static_cast<uint32_t>((handle >> SlotShift) & SlotMask));
    return true;
}

}  // namespace vsk::crypt
