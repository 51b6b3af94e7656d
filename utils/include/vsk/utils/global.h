// The process-wide common-information record: the developer log, the allocator's byte count and
// the common lock that guards the library's process-wide tables.
#pragma once

#include <vsk/utils/log.h>

#include <atomic>

namespace Vsk::InternalUtils {

struct CCommonInfo : public Vsk::Utils::CRefMan {
    CCommonInfo() = default;

    CLog m_log;
    Vsk::Utils::CCriticalSection m_counterLock;
    // Changed under the counter lock; read without it.
    std::atomic<uint64_t> m_allocatedBytes{0};
};

// The record's address, published once and never cleared; shared by every module of the process.
extern std::atomic<void*> pCommonInfo;

void createCommonInfo();
CCommonInfo* GetCommonInfo();
uint64_t getAllocatedBytes();
void addAllocatedBytes(size_t n);
// (size_t)-1 means the heap could not tell the size: nothing is subtracted.
void subAllocatedBytes(size_t n);

}  // namespace Vsk::InternalUtils
