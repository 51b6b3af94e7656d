#include <vsk/platform/diagnostics.h>
#include <vsk/platform/shell.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/error.h>
#include <vsk/utils/global.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/registry.h>
#include <vsk/utils/system.h>

#include <mutex>

namespace Vsk::InternalUtils {

using Utils::CDataBlob;
using Utils::CLock;
using Utils::CWString;

std::atomic<void*> pCommonInfo{nullptr};

namespace {

constexpr const WCHAR* SettingsKey = u"Software\\Voskel\\HelvorCom\\Settings";
constexpr DWORD DefaultFileBlockSize = 0x400000;
constexpr DWORD MutexWaitMs = 30000;

CCommonInfo* Published() {
    return static_cast<CCommonInfo*>(pCommonInfo.load());
}

// Set while this thread creates the record: code reached from the creation (the user-name lookup)
// that asks for the record finds none instead of recursing.
thread_local bool t_creating = false;

// Serialises the creation among this process's threads also when the wait for the named mutex
// times out.
std::mutex g_createLock;

CUserMutex& UserMutex() {
    static CUserMutex mutex(u"VosKel, Helvor");
    return mutex;
}

void PlatformDiagnostic(const char* utf8Line) {
    if (CCommonInfo* info = Published())
        info->m_log.writeDiagnostic(CWString(utf8Line, static_cast<size_t>(-1), CP_UTF8));
}

}  // namespace

CUserMutex::CUserMutex(const CWString& suffix) : m_handle(nullptr) {
    m_name = GetUserNameText() + u", " + suffix;
    m_handle = CreateMutexW(nullptr, FALSE, m_name.c_str());
    if (!m_handle) m_handle = OpenMutexW(MUTEX_MODIFY_STATE, FALSE, m_name.c_str());
}

CUserMutex::~CUserMutex() {
    if (m_handle) CloseHandle(m_handle);
}

void CUserMutex::wait() {
    // Timed out, abandoned or failed: the caller goes on without the mutex.
    if (m_handle) WaitForSingleObject(m_handle, MutexWaitMs);
}

void CUserMutex::release() {
    if (m_handle) ReleaseMutex(m_handle);
}

void createCommonInfo() {
    if (t_creating || Published()) return;
    t_creating = true;
    struct Reset {
        ~Reset() { t_creating = false; }
    } reset;

    CUserMutex& mutex = UserMutex();
    if (!mutex.getHandle()) return;
    std::lock_guard<std::mutex> guard(g_createLock);
    mutex.wait();
    if (!Published()) {
        if (void* memory = Utils::memAlloc(sizeof(CCommonInfo), false)) {
            auto* info = new (memory) CCommonInfo();
            // This reference is never given back: the record lives until the process ends. No process
            // locale is set here: the library formats and folds text without one.
            info->addRef();
            pCommonInfo = info;
            SetPlatformDiagnosticSink(&PlatformDiagnostic);
        }
    }
    mutex.release();
}

CCommonInfo* GetCommonInfo() {
    if (!Published()) createCommonInfo();
    return Published();
}

Utils::CFlags* GetCommonFlags() {
    CCommonInfo* info = GetCommonInfo();
    return info ? &info->m_flags : nullptr;
}

DWORD GetMaxFileBlockSize() {
    CCommonInfo* info = GetCommonInfo();
    if (!info) return DefaultFileBlockSize;
    CLock guard(static_cast<Utils::CCriticalSection*>(info));
    if (info->m_fileBlockSize == 0) {
        const CDataBlob value = regReadValue(SettingsKey, u"maxFileBlockSize", HKEY_CURRENT_USER, nullptr);
        bool ok = false;
        const uint32_t size = value.getSize() != 0 ? value.toUInt32(&ok) : 0;
        info->m_fileBlockSize = ok && size != 0 ? size : DefaultFileBlockSize;
    }
    return info->m_fileBlockSize;
}

int* zipEncoding() {
    CCommonInfo* info = GetCommonInfo();
    if (!info) return nullptr;
    CLogScope scope("Vsk::InternalUtils::zipEncoding", 3);
    std::atomic_ref<int> codePage(info->m_zipCodePage);
    if (codePage.load() == 0) {
        const CDataBlob value =
            regReadValue(u"Software\\Voskel\\Helvor", u"ZipEncoding", HKEY_CURRENT_USER, nullptr);
        if (value.getSize() != 0) {
            bool ok = false;
            const uint32_t number = value.toUInt32(&ok);
            codePage.store(ok ? static_cast<int>(number) : 866);
        } else {
            WCHAR executable[260] = {};
            DWORD size = 260;
            const HRESULT hr = AssocQueryStringW(0, ASSOCSTR_EXECUTABLE, u".zip", u"open", executable, &size);
            if (FAILED(hr)) {
                if (GetLogLevel() >= 1)
                    LogAt(1, CWString(u"InternalUtils::zipEncoding AssocQueryString ") +
                                 Utils::GetHResultText(hr));
                codePage.store(866);
            } else {
                const CWString path(executable);
                const DWORD length = path.getLength();
                const CWString tail =
                    length > 10 ? CWString(path.c_str() + length - 10, static_cast<size_t>(10)) : path;
                codePage.store(tail.compare(CWString(u"WinRAR.exe"), false) == 0 ? 1251 : 866);
            }
        }
    }
    if (scope.getLevel() >= 3) scope.m_result = Utils::ToWString(codePage.load());
    return &info->m_zipCodePage;
}

int CCommonInfo::addObjectCount(const char* className, int delta) {
    CLock guard(&m_counterLock);
    auto [it, inserted] = m_objectCounters.try_emplace(className, delta);
    if (!inserted) it->second += delta;
    return it->second;
}

int addObjectCount(const char* className, int delta) {
    CCommonInfo* info = GetCommonInfo();
    return info ? info->addObjectCount(className, delta) : 0;
}

uint64_t getAllocatedBytes() {
    CCommonInfo* info = Published();
    return info ? info->m_allocatedBytes.load() : 0;
}

void addAllocatedBytes(size_t n) {
    CCommonInfo* info = Published();
    if (!info) return;
    // Every node and blob passes here: a lock-free step keeps the count exact without a lock round.
    info->m_allocatedBytes.fetch_add(n, std::memory_order_relaxed);
}

void subAllocatedBytes(size_t n) {
    CCommonInfo* info = Published();
    if (!info || n == static_cast<size_t>(-1)) return;
    // Never below zero: a block allocated before the record existed may be freed after it.
    uint64_t now = info->m_allocatedBytes.load(std::memory_order_relaxed);
    while (!info->m_allocatedBytes.compare_exchange_weak(now, n > now ? 0 : now - n,
                                                         std::memory_order_relaxed)) {
    }
}

DWORD GetLibraryFlags(int defaultWord) {
    Utils::CFlags* flags = GetCommonFlags();
    return flags ? flags->getFlags(defaultWord) : 0;
}

void SetLibraryFlags(DWORD bits, DWORD mask, bool persist, int defaultWord) {
    if (Utils::CFlags* flags = GetCommonFlags()) flags->setFlags(bits, mask, persist, defaultWord);
}

CCommonInfoLock::CCommonInfoLock() : m_locked(nullptr) {
    CCommonInfo* info = GetCommonInfo();
    if (!info || info->m_log.getLock().isOwner()) return;
    info->lock();
    m_locked = info;
}

CCommonInfoLock::~CCommonInfoLock() {
    if (m_locked) m_locked->unlock();
}

}  // namespace Vsk::InternalUtils

namespace Vsk::Utils {

using InternalUtils::regCloseKey;
using InternalUtils::regCreateKey;
using InternalUtils::regReadValue;
using InternalUtils::SettingsKey;

void CFlags::load(int defaultWord) {
    CLock guard(&m_lock);
    const CDataBlob value = regReadValue(SettingsKey, u"flags", HKEY_CURRENT_USER, nullptr);
    bool ok = false;
    const uint32_t word = value.getSize() != 0 ? value.toUInt32(&ok) : 0;
    m_word = ok ? word : static_cast<DWORD>(defaultWord);
}

DWORD CFlags::getFlags(int defaultWord) {
    CLock guard(&m_lock);
    if (m_word == Unread) load(defaultWord);
    return m_word;
}

void CFlags::setFlags(DWORD bits, DWORD mask, bool persist, int defaultWord) {
    CLock guard(&m_lock);
    if (m_word == Unread) load(defaultWord);
    const DWORD word = bits | (m_word & ~mask);
    if (word == m_word) return;
    if (persist) {
        HKEY key = nullptr;
        const LONG created = regCreateKey(HKEY_CURRENT_USER, SettingsKey, KEY_WRITE, &key);
        if (created != 0) throw CError(CWString(SettingsKey), static_cast<DWORD>(created));
        const LONG set =
            RegSetValueExW(key, u"flags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&word), sizeof word);
        regCloseKey(&key);
        if (set != 0) throw CError("set flags", static_cast<DWORD>(set));
    }
    m_word = word;
}

}  // namespace Vsk::Utils
