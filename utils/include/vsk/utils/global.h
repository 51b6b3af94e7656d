// The process-wide common-information record: the developer log, the allocator's byte count, the
// per-class counters of live objects, the library's switch word, the file block size, the code page
// of ZIP entry names and the common lock that guards the library's process-wide tables. It is made
// on first use under a named mutex of the current user and never destroyed.
#pragma once

#include <vsk/utils/log.h>
#include <vsk/utils/memory.h>

#include <atomic>
#include <map>

namespace Vsk::Utils {

// The library's switch word. Bit 0: tokens with on-board cryptography are presented as providers.
// The word is read from the current user's "flags" value once per process; the first reader's
// default decides it when the value is absent.
class CFlags {
public:
    enum : DWORD { TokenAsCsp = 0x1 };
    static constexpr DWORD Unread = 0xFFFFFFFF;

    CFlags() : m_word(Unread) {}
    CFlags(const CFlags&) = delete;
    CFlags& operator=(const CFlags&) = delete;

    DWORD getFlags(int defaultWord);
    // new = bits | (word & ~mask); with `persist` the new word is stored first (CError when it
    // cannot be), and nothing is written when it does not change.
    void setFlags(DWORD bits, DWORD mask, bool persist, int defaultWord);
    void load(int defaultWord);

private:
    CCriticalSection m_lock;
    DWORD m_word;
};

}  // namespace Vsk::Utils

namespace Vsk::InternalUtils {

// Allocator over the library heap: what it hands out is counted in the record's byte count.
template <class T>
struct CLibAllocator {
    using value_type = T;
    CLibAllocator() = default;
    template <class U>
    CLibAllocator(const CLibAllocator<U>&) {}
    T* allocate(size_t n) {
        void* p = Vsk::Utils::memAlloc(n * sizeof(T));
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) { Vsk::Utils::memFree(p); }
    template <class U>
    bool operator==(const CLibAllocator<U>&) const {
        return true;
    }
};

struct CCommonInfo : public Vsk::Utils::CRefMan {
    CCommonInfo() = default;

    // Counter of live objects of one class, keyed by the address of the class-name text.
    int addObjectCount(const char* className, int delta);

    CLog m_log;
    Vsk::Utils::CCriticalSection m_counterLock;
    // Filled on first use (atomically, without a lock); racing fillers compute the same value.
    int m_zipCodePage = 0;
    // Under the common lock.
    DWORD m_fileBlockSize = 0;
    Vsk::Utils::CFlags m_flags;
    std::map<const char*, int32_t, std::less<const char*>,
             CLibAllocator<std::pair<const char* const, int32_t>>>
        m_objectCounters;
    // Changed under the counter lock; read without it.
    std::atomic<uint64_t> m_allocatedBytes{0};
};

// The record's address, published once and never cleared; shared by every module of the process.
extern std::atomic<void*> pCommonInfo;

// Creates and publishes the record when it does not exist yet (serialised by the named mutex
// "<user>, VosKel, Helvor"); pCommonInfo stays null when the mutex cannot be had.
void createCommonInfo();
CCommonInfo* GetCommonInfo();
Vsk::Utils::CFlags* GetCommonFlags();
// Bytes per block for block-wise file processing ("maxFileBlockSize", 4194304 by default).
DWORD GetMaxFileBlockSize();
// The code page of ZIP entry names ("ZipEncoding", else 1251 when ".zip" opens with WinRAR.exe, else
// 866); null without a record.
int* zipEncoding();
int addObjectCount(const char* className, int delta);
uint64_t getAllocatedBytes();
void addAllocatedBytes(size_t n);
// (size_t)-1 means the heap could not tell the size: nothing is subtracted.
void subAllocatedBytes(size_t n);

// CFlags through the record, for callers that need not look at a missing record: 0 and no change
// then.
DWORD GetLibraryFlags(int defaultWord);
void SetLibraryFlags(DWORD bits, DWORD mask, bool persist, int defaultWord);

// Holds the common lock for one block. A thread that holds the log's lock does not lock (the log
// never waits for the common lock); without a record nothing is locked.
class CCommonInfoLock {
public:
    CCommonInfoLock();
    ~CCommonInfoLock();
    CCommonInfoLock(const CCommonInfoLock&) = delete;
    CCommonInfoLock& operator=(const CCommonInfoLock&) = delete;

private:
    CCommonInfo* m_locked;
};

// The named mutex "<user name>, <suffix>" that serialises the creation of the record across the
// user's processes. The handle is null when the mutex could neither be created nor opened.
class CUserMutex {
public:
    explicit CUserMutex(const Vsk::Utils::CWString& suffix);
    ~CUserMutex();
    CUserMutex(const CUserMutex&) = delete;
    CUserMutex& operator=(const CUserMutex&) = delete;

    void wait();
    void release();
    HANDLE getHandle() const { return m_handle; }
    const Vsk::Utils::CWString& getName() const { return m_name; }

private:
    HANDLE m_handle;
    Vsk::Utils::CWString m_name;
};

}  // namespace Vsk::InternalUtils
