// The frame of the library: the counting allocator, the recursive lock with its owner, reference
// counting and the intrusive pointer that every handle class holds.
#pragma once

#include <vsk/platform/kernel.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <typeinfo>
#include <utility>

namespace Vsk::Utils {

class CError;

// Allocator over the process heap (or the C run-time heap when asked); keeps the process-wide count
// of bytes in use in the common-information record when that record exists.
void* memAlloc(size_t size, bool crtHeap = false);
void* memRealloc(void* block, size_t size, bool crtHeap = false);
bool memFree(void* block, bool crtHeap = false);
CError OutOfMemoryError(size_t size);
bool globalFree(HGLOBAL& handle);

// Raise helpers kept out of line so that the templates below need not see CError.
[[noreturn]] void raiseOutOfMemory(size_t size);
[[noreturn]] void raiseNotCreated(const std::type_info& type);

// Recursive lock that knows its owner thread and depth. Unlocking from a thread that does not own
// the lock does nothing.
class CCriticalSection {
public:
    CCriticalSection();
    ~CCriticalSection();
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void lock();
    void unlock();
    bool isOwner() const;
    DWORD getOwner() const { return m_owner.load(std::memory_order_acquire); }
    int getDepth() const { return m_depth; }

private:
    CRITICAL_SECTION m_cs;
    // Read by threads that do not hold the lock (unlock, isOwner), hence atomic.
    std::atomic<DWORD> m_owner;
    int32_t m_depth;
};

// Scoped guard; a null pointer means no locking.
class CLock {
public:
    explicit CLock(CCriticalSection* cs) : m_cs(cs) {
        if (m_cs) m_cs->lock();
    }
    explicit CLock(const CCriticalSection* cs) : CLock(const_cast<CCriticalSection*>(cs)) {}
    ~CLock() {
        if (m_cs) m_cs->unlock();
    }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

private:
    CCriticalSection* m_cs;
};

// Base of every implementation object: a reference count and the object's own lock, which guards
// the object's state. The count is atomic and taken without the lock. The release that reaches 0
// destroys the object in place; its caller frees the memory.
class CRefMan : public virtual CCriticalSection {
public:
    CRefMan() : m_refCount(0) {}
    virtual ~CRefMan() = default;
    CRefMan(const CRefMan&) = delete;
    CRefMan& operator=(const CRefMan&) = delete;

    void addRef();
    uint64_t release();
    // Unlocked read, as the handle destructors make it.
    uint64_t getRefCount() const { return m_refCount.load(std::memory_order_relaxed); }

private:
    template <class T>
    friend class CRefPtr;
    // addRef for an object that no other thread can see yet: no atomic step needed.
    void firstRef() {
        m_refCount.store(m_refCount.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }

    std::atomic<uint64_t> m_refCount;
};

// Gives back one reference to `obj` and frees its memory when that was the last one.
void releaseRef(CRefMan* obj);

// Intrusive pointer to a CRefMan object.
template <class T>
class CRefPtr {
public:
    CRefPtr() : m_p(nullptr) {}
    // Takes a reference of its own to `p`.
    explicit CRefPtr(T* p) : m_p(p) {
        if (m_p) m_p->addRef();
    }
    CRefPtr(const CRefPtr& other) : m_p(other.m_p) {
        if (m_p) m_p->addRef();
    }
    template <class U>
    CRefPtr(const CRefPtr<U>& other) : m_p(other.get()) {
        if (m_p) m_p->addRef();
    }
    CRefPtr(CRefPtr&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    template <class U>
    CRefPtr(CRefPtr<U>&& other) noexcept : m_p(other.detach()) {}
    ~CRefPtr() { release(); }

    CRefPtr& operator=(const CRefPtr& other) {
        assign(other.m_p);
        return *this;
    }
    template <class U>
    CRefPtr& operator=(const CRefPtr<U>& other) {
        assign(other.get());
        return *this;
    }
    CRefPtr& operator=(CRefPtr&& other) noexcept {
        if (this != &other) {
            T* old = m_p;
            m_p = other.m_p;
            other.m_p = nullptr;
            if (old) releaseRef(old);
        }
        return *this;
    }

    // A new T from the library allocator, with one reference.
    template <class... Args>
    static CRefPtr create(Args&&... args) {
        void* mem = memAlloc(sizeof(T), false);
        if (!mem) raiseOutOfMemory(sizeof(T));
        T* p;
        try {
            p = new (mem) T(std::forward<Args>(args)...);
        } catch (...) {
            memFree(mem, false);
            throw;
        }
        CRefPtr r;
        r.m_p = p;
        p->firstRef();
        return r;
    }
    // Points at `p` without counting a reference: for a handle that lives inside the object it names
    // and so must not keep it alive. Such a handle gives nothing back when the count is 0.
    static CRefPtr uncounted(T* p) {
        CRefPtr r;
        r.m_p = p;
        return r;
    }
    // As create, but a failed allocation gives an empty pointer instead of raising.
    template <class... Args>
    static CRefPtr tryCreate(Args&&... args) {
        void* mem = memAlloc(sizeof(T), false);
        if (!mem) return CRefPtr();
        CRefPtr r;
        r.m_p = new (mem) T(std::forward<Args>(args)...);
        r.m_p->firstRef();
        return r;
    }

    void checkCreated() const {
        if (!m_p) raiseNotCreated(typeid(T));
    }
    // Gives the reference back and empties the pointer.
    void release() {
        T* p = m_p;
        m_p = nullptr;
        if (p && p->getRefCount() != 0) releaseRef(p);
    }
    void reset() { release(); }
    // Empties the pointer and hands its reference to the caller.
    T* detach() noexcept {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    bool operator==(const CRefPtr& other) const { return m_p == other.m_p; }

private:
    void assign(T* p) {
        if (p == m_p) return;
        // The new reference comes first: `p` may be owned by the object released below.
        if (p) p->addRef();
        T* old = m_p;
        m_p = p;
        if (old) releaseRef(old);
    }

    T* m_p;
};

}  // namespace Vsk::Utils
