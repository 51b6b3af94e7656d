#include <vsk/utils/global.h>

#include <mutex>

namespace Vsk::InternalUtils {

std::atomic<void*> pCommonInfo{nullptr};

namespace {
std::mutex g_createLock;
}

void createCommonInfo() {
    std::lock_guard<std::mutex> guard(g_createLock);
    if (pCommonInfo) return;
    void* mem = Utils::memAlloc(sizeof(CCommonInfo), false);
    if (!mem) return;
    auto* info = new (mem) CCommonInfo();
    // This reference is never given back: the record lives until the process ends.
    info->addRef();
    pCommonInfo = info;
}

CCommonInfo* GetCommonInfo() {
    if (!pCommonInfo) createCommonInfo();
    return static_cast<CCommonInfo*>(pCommonInfo.load());
}

uint64_t getAllocatedBytes() {
    auto* info = static_cast<CCommonInfo*>(pCommonInfo.load());
    return info ? info->m_allocatedBytes.load() : 0;
}

void addAllocatedBytes(size_t n) {
    auto* info = static_cast<CCommonInfo*>(pCommonInfo.load());
    if (!info) return;
    Utils::CLock guard(&info->m_counterLock);
    info->m_allocatedBytes += n;
}

void subAllocatedBytes(size_t n) {
    auto* info = static_cast<CCommonInfo*>(pCommonInfo.load());
    if (!info || n == static_cast<size_t>(-1)) return;
    Utils::CLock guard(&info->m_counterLock);
    uint64_t now = info->m_allocatedBytes.load();
    info->m_allocatedBytes.store(n > now ? 0 : now - n);
}

}  // namespace Vsk::InternalUtils
