#include <vsk/utils/error.h>
#include <vsk/utils/global.h>
#include <vsk/utils/memory.h>

#include <cstdlib>

namespace Vsk::Utils {

using InternalUtils::addAllocatedBytes;
using InternalUtils::subAllocatedBytes;

void* memAlloc(size_t size, bool crtHeap) {
    void* block = crtHeap ? std::malloc(size) : HeapAlloc(GetProcessHeap(), 0, size);
    if (block) addAllocatedBytes(size);
    return block;
}

void* memRealloc(void* block, size_t size, bool crtHeap) {
    // The C run-time heap cannot tell a block's size; nothing is subtracted for such a block.
    size_t oldSize = static_cast<size_t>(-1);
    if (block && !crtHeap) oldSize = HeapSize(GetProcessHeap(), 0, block);
    void* fresh;
    if (crtHeap)
        fresh = std::realloc(block, size);
    else
        fresh = block ? HeapReAlloc(GetProcessHeap(), 0, block, size) : HeapAlloc(GetProcessHeap(), 0, size);
    if (!fresh) return nullptr;
    if (block) subAllocatedBytes(oldSize);
    addAllocatedBytes(size);
    return fresh;
}

bool memFree(void* block, bool crtHeap) {
    if (!block) return true;
    if (crtHeap) {
        std::free(block);
        return true;
    }
    subAllocatedBytes(HeapSize(GetProcessHeap(), 0, block));
    DWORD saved = GetLastError();
    BOOL ok = HeapFree(GetProcessHeap(), 0, block);
    if (saved != 0 && GetLastError() != saved) SetLastError(saved);
    return ok != FALSE;
}

bool globalFree(HGLOBAL& handle) {
    if (!handle) return true;
    HGLOBAL before = handle;
    handle = GlobalFree(handle);
    if (handle && GetLastError() != 0 && InternalUtils::GetLogLevel() >= 1) {
        InternalUtils::LogAt(1, CWString(StripNamespacePrefix("Vsk::Utils::globalFree"), CP_PROGRAM) + u" " +
                                    ToWString(static_cast<const void*>(before)) + u" " +
                                    GetSystemErrorText(GetLastError()));
    }
    return handle == nullptr;
}

CCriticalSection::CCriticalSection() : m_owner(0), m_depth(0) {
    InitializeCriticalSection(&m_cs);
}

CCriticalSection::~CCriticalSection() {
    DeleteCriticalSection(&m_cs);
}

void CCriticalSection::lock() {
    EnterCriticalSection(&m_cs);
    m_owner.store(GetCurrentThreadId(), std::memory_order_release);
    ++m_depth;
}

void CCriticalSection::unlock() {
    if (!isOwner()) return;
    if (m_depth != 0) --m_depth;
    if (m_depth == 0) m_owner.store(0, std::memory_order_release);
    LeaveCriticalSection(&m_cs);
}

bool CCriticalSection::isOwner() const {
    return m_owner.load(std::memory_order_acquire) == GetCurrentThreadId();
}

// The count is one atomic word changed by atomic read-modify-write steps, never under the object's
// lock: handles are copied and dropped for every node of a parsed tree, and a lock round per step
// cost more than the parsing itself. Whoever changes the count holds a reference already, so no
// one that holds the object's lock can see the count fall to 0 underneath it.
void CRefMan::addRef() {
    m_refCount.fetch_add(1, std::memory_order_relaxed);
}

uint64_t CRefMan::release() {
    uint64_t count = m_refCount.load(std::memory_order_acquire);
    // The last reference: no other thread holds one it could copy or give back, so no atomic step is
    // needed to end the object.
    if (count == 1) {
        m_refCount.store(0, std::memory_order_relaxed);
        DWORD saved = GetLastError();
        this->~CRefMan();
        if (saved != 0 && GetLastError() != saved) SetLastError(saved);
        return 0;
    }
    do {
        if (count == 0) {
            if (InternalUtils::GetLogLevel() >= 1)
                InternalUtils::LogAt(
                    1, CWString(StripNamespacePrefix("Vsk::Utils::CRefMan::release"), CP_PROGRAM) +
                           u" Повторное освобождение объекта");
            return 0;
        }
    } while (!m_refCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel,
                                               std::memory_order_relaxed));
    if (count == 1) {
        DWORD saved = GetLastError();
        this->~CRefMan();
        if (saved != 0 && GetLastError() != saved) SetLastError(saved);
    }
    return count - 1;
}

void releaseRef(CRefMan* obj) {
    // The allocation starts at the most-derived object, which may lie before the CRefMan part.
    void* mem = dynamic_cast<void*>(obj);
    if (obj->release() == 0) memFree(mem, false);
}

}  // namespace Vsk::Utils
