#include <vsk/pki/CertCache.h>
#include <vsk/utils/error.h>
#include <vsk/utils/global.h>
#include <vsk/utils/logScope.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "CertificateImpl.h"
#include "certificateText.h"

namespace Vsk::PKI {

using Vsk::InternalUtils::CCommonInfoLock;
using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;

namespace {

struct CCacheEntry {
    CRefPtr<CCertificate::CImpl> impl;
    CCertOrderKey key;
};

struct CCacheEntryLess {
    using is_transparent = void;
    bool operator()(const CCacheEntry& a, const CCacheEntry& b) const { return lessOrderKey(a.key, b.key); }
    bool operator()(const CCacheEntry& a, const CCertOrderKey& b) const { return lessOrderKey(a.key, b); }
    bool operator()(const CCertOrderKey& a, const CCacheEntry& b) const { return lessOrderKey(a, b.key); }
};

using CThreadSet = std::set<CCacheEntry, CCacheEntryLess>;
using CCacheMap = std::map<DWORD, CThreadSet>;

// Never destroyed: certificates still cached at exit would otherwise be released after the platform's
// own tables are gone.
CCacheMap& cacheMap() {
    static CCacheMap* const map = new CCacheMap();
    return *map;
}

// The number of threads with an entry, changed under the common lock. Taking a context checks for
// ended threads every time; with no entry at all that check needs no lock.
std::atomic<size_t> g_threadCount{0};

// The calling thread's set, made when missing. Under the common lock.
CThreadSet& threadSet() {
    CCacheMap& map = cacheMap();
    CThreadSet& set = map[GetCurrentThreadId()];
    g_threadCount.store(map.size());
    return set;
}

// Whether a thread of this process with that id still runs: its task entry exists and is not a
// zombie (a leader thread that returned stays listed as one while the others run).
bool threadRuns(DWORD threadId) {
    const std::string path = "/proc/self/task/" + std::to_string(threadId) + "/stat";
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (!file) return false;
    char buffer[512] = {};
    const size_t read = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    const std::string stat(buffer, read);
    // The state follows the command name, which is in parentheses and may itself hold them.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return true;
    const char state = stat[close + 2];
    return state != 'Z' && state != 'X';
}

}  // namespace

bool CCertCache::add(const CCertificate& certificate) {
    if (!certificate.getImpl()) return false;
    CCacheEntry entry{certificate.getImpl(), certificate.getImpl()->orderKey()};
    CCommonInfoLock lock;
    return threadSet().insert(std::move(entry)).second;
}

bool CCertCache::deleteInCache(PCCERT_CONTEXT context) {
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::CCertificate::CImpl::deleteInCache",
                    Vsk::Utils::ToWString(static_cast<const void*>(context)));
    // The probe's values are taken before the common lock: certificate locks come first.
    CRefPtr<CCertificate::CImpl> probe = CRefPtr<CCertificate::CImpl>::create();
    probe->put_CertContext(context);
    const CCertOrderKey key = probe->orderKey();
    std::vector<CCacheEntry> removed;
    {
        CCommonInfoLock lock;
        CThreadSet& set = threadSet();
        CertText::log(4, "Vsk::PKI::CCertificate::CImpl::deleteInCache", Vsk::Utils::ToWString(set.size()));
        auto range = set.equal_range(key);
        for (auto it = range.first; it != range.second;)
            removed.push_back(std::move(set.extract(it++).value()));
    }
    if (scope.isEntered()) scope.m_result = Vsk::Utils::ToWString(removed.size());
    return !removed.empty();
}

void CCertCache::clearThreadCache() {
    CLogScope scope;
    if (scope.getLevel() >= 4) scope.enter("Vsk::PKI::CCertificate::ClearCache");
    CThreadSet released;
    {
        CCommonInfoLock lock;
        if (cacheMap().empty()) return;
        released.swap(threadSet());
    }
}

void CCertCache::freeNonUsedCache() {
    if (g_threadCount.load() == 0) return;
    std::vector<CThreadSet> released;
    std::vector<DWORD> ended;
    const DWORD self = GetCurrentThreadId();
    {
        CCommonInfoLock lock;
        CCacheMap& map = cacheMap();
        for (auto it = map.begin(); it != map.end();) {
            if (it->first == self || threadRuns(it->first)) {
                ++it;
                continue;
            }
            ended.push_back(it->first);
            released.push_back(std::move(it->second));
            it = map.erase(it);
        }
        g_threadCount.store(map.size());
    }
    for (DWORD threadId : ended)
        CertText::log(4, "Vsk::PKI::CCertificate::CImpl::freeNonUsedCache",
                      u"thread " + Vsk::Utils::ToWString(threadId) + u": " +
                          Vsk::Utils::GetSystemErrorText(ERROR_INVALID_PARAMETER));
}

size_t CCertCache::getThreadCount() {
    CCommonInfoLock lock;
    return cacheMap().size();
}

size_t CCertCache::getThreadCacheSize() {
    CCommonInfoLock lock;
    const CCacheMap& map = cacheMap();
    auto it = map.find(GetCurrentThreadId());
    return it == map.end() ? 0 : it->second.size();
}

}  // namespace Vsk::PKI
