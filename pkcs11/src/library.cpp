// PKCS#11 libraries: the configured list of library names, loading and initialising a library once
// per path for the whole process, its table of slots, and the thread that waits for slot events.
//
// The map from path to library object is guarded by the common lock and never destroyed: at the
// process's end the modules' own static objects may already be gone, so finalising them from a
// static destructor would call into destroyed state. Libraries are finalised by clearAll (and by
// the last handle going), which the program's shutdown and the token switch call.
//
// The slot-event thread blocks in the module. After C_Finalize a sound module returns from the wait;
// one that does not within ShutdownWaitMs is left behind: the library lets go of the thread's shared
// context, the thread touches nothing of the library when it wakes, and the module stays loaded so
// that the thread's code stays mapped (threads cannot be cut off safely on this system).
#include "pkcs11Impl.h"

#include <vsk/platform/kernel.h>
#include <vsk/platform/registry.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/error.h>
#include <vsk/utils/file.h>
#include <vsk/utils/global.h>
#include <vsk/utils/lib.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/registry.h>
#include <vsk/utils/system.h>

#include <cstring>
#include <map>

namespace Vsk::PKCS11 {

using Vsk::InternalUtils::CCommonInfoLock;
using Vsk::InternalUtils::CLogScope;
using Vsk::InternalUtils::GetLogLevel;
using Vsk::InternalUtils::LogAt;
using Vsk::Utils::CArray;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace {

constexpr const WCHAR* SettingsKey = u"Software\\Voskel\\HelvorCom\\Settings";
constexpr const WCHAR* LibrariesValue = u"pkcs11Libraries";

// The vendors' libraries tried when the registry names none, in this order.
constexpr const WCHAR* DefaultLibraries[] = {u"jcPKCS11-2.dll", u"jcPKCS11.dll",    u"eTPKCS11g.dll",
                                             u"eTPKCS11.dll",   u"rtPKCS11ECP.dll", u"rtPKCS11.dll"};

// The modules the same vendors install on Linux, tried when a default's own name does not load.
struct LinuxModule {
    const WCHAR* windowsName;
    const WCHAR* linuxNames[2];
};
constexpr LinuxModule LinuxModules[] = {
    {u"jcPKCS11-2.dll", {u"libjcPKCS11-2.so", nullptr}},
    {u"jcPKCS11.dll", {u"libjcPKCS11.so", u"libjcPKCS11-2.so"}},
    {u"eTPKCS11g.dll", {u"libeTPkcs11.so", u"libeToken.so"}},
    {u"eTPKCS11.dll", {u"libeTPkcs11.so", u"libeToken.so"}},
    {u"rtPKCS11ECP.dll", {u"librtpkcs11ecp.so", nullptr}},
    {u"rtPKCS11.dll", {u"librtpkcs11.so", u"librtpkcs11ecp.so"}},
};

// How long the shutdown waits for the slot-event thread to leave the module after C_Finalize
// (LibraryTest.ShutdownLeavesAThreadThatDoesNotReturn).
constexpr DWORD ShutdownWaitMs = 2000;

// Cryptoki 2.10 brought UTF-8 texts; older libraries speak the code page of the program.
constexpr uint32_t Utf8SinceVersion = (2u << 8) | 10u;

constexpr DWORD ResultUnexpected = 0x8000FFFFu;  // E_UNEXPECTED
constexpr DWORD ResultFail = 0x80004005u;        // E_FAIL

// Made before the program's code runs and never destroyed (see the file's opening comment); guarded
// by the common lock.
std::map<CWString, CRefPtr<CPKCS11::CImpl>>& libraryMap() {
    static auto* map = new std::map<CWString, CRefPtr<CPKCS11::CImpl>>;
    return *map;
}

struct LibraryNames {
    bool loaded = false;
    CArray<CWString> names;
};
LibraryNames& libraryNames() {
    static auto* names = new LibraryNames;
    return *names;
}

void logLine(int level, const char* function, const CWString& text) {
    if (GetLogLevel() >= level) LogAt(level, ToWString(function) + u" " + text);
}

CWString systemText(DWORD code) {
    return Vsk::Utils::GetSystemErrorText(code);
}

// The C_EX_GetFunctionListExtended entry point of some vendors.
using GetFunctionListExtendedFn = CK_RV (*)(void**);

DWORD eventThread(LPVOID parameter);

}  // namespace

// ---- Library names ---------------------------------------------------------------------------------

CArray<CWString> CPKCS11::getLibraries() {
    CCommonInfoLock common;
    LibraryNames& cache = libraryNames();
    if (cache.loaded && !cache.names.isEmpty()) return cache.names;
    CDataBlob value = Vsk::InternalUtils::regReadValue(SettingsKey, LibrariesValue, HKEY_CURRENT_USER);
    if (!value.getSize())
        value = Vsk::InternalUtils::regReadValue(SettingsKey, LibrariesValue, HKEY_LOCAL_MACHINE);
    if (value.getSize()) {
        const auto* text = reinterpret_cast<const WCHAR*>(value.getData());
        size_t length = value.getSize() / sizeof(WCHAR);
        for (size_t i = 0; i < length; ++i)
            if (text[i] == 0) {
                length = i;
                break;
            }
        cache.names = Vsk::Utils::SplitString(CWString(text, length), u'|');
        cache.loaded = true;
    } else {
        CArray<CWString> defaults;
        for (const WCHAR* name : DefaultLibraries) defaults.add(CWString(name));
        setLibraries(defaults, true);
    }
    return cache.names;
}

void CPKCS11::setLibraries(const CArray<CWString>& names, bool write) {
    CCommonInfoLock common;
    LibraryNames& cache = libraryNames();
    cache.names = CArray<CWString>();
    for (const CWString& name : names) cache.names.add(name);
    cache.loaded = true;
    if (!write) return;
    const CWString text = Vsk::Utils::JoinStrings(names, CWString(u"|"));
    HKEY key = nullptr;
    LONG rc = Vsk::InternalUtils::regCreateKey(HKEY_CURRENT_USER, SettingsKey, KEY_WRITE, &key);
    if (rc != 0) {
        logLine(1, "PKCS11::CPKCS11::setLibraries",
                CError(CWString(SettingsKey), static_cast<DWORD>(rc)).getText());
        return;
    }
    rc = RegSetValueExW(key, LibrariesValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        (text.getLength() + 1) * sizeof(WCHAR));
    if (rc != 0)
        logLine(1, "PKCS11::CPKCS11::setLibraries",
                CError(CWString(u"set pkcs11Libraries"), static_cast<DWORD>(rc)).getText());
    Vsk::InternalUtils::regCloseKey(&key);
}

void ResetLibraryNames() {
    CCommonInfoLock common;
    libraryNames() = LibraryNames();
}

// ---- Handle ------------------------------------------------------------------------------------------

CPKCS11::CPKCS11(bool create) {
    if (create) m_pImpl = CRefPtr<CImpl>::create();
}
CPKCS11::CPKCS11(const CPKCS11& other) = default;
CPKCS11& CPKCS11::operator=(const CPKCS11& other) = default;
CPKCS11::~CPKCS11() = default;

bool CPKCS11::init(const CWString& path) {
    m_pImpl.checkCreated();
    CLogScope scope("Vsk::PKCS11::CPKCS11::init", 4, path, m_pImpl.get());
    {
        CCommonInfoLock common;
        auto it = libraryMap().find(path);
        if (it != libraryMap().end()) {
            m_pImpl = it->second;
            scope.setResult(true);
            return true;
        }
    }
    bool held;
    {
        CLock lock(m_pImpl.get());
        held = m_pImpl->m_functions != nullptr;
    }
    if (held) m_pImpl = CRefPtr<CImpl>::create();
    const bool result = m_pImpl->init(path);
    scope.setResult(result);
    return result;
}

void CPKCS11::setOnSlotEvent(SlotEventCallback handler) {
    m_pImpl.checkCreated();
    CLock lock(m_pImpl.get());
    m_pImpl->m_onSlotEvent = std::move(handler);
}

uint64_t CPKCS11::getTokenCount() const {
    m_pImpl.checkCreated();
    CLogScope scope("Vsk::PKCS11::CPKCS11::getTokenCount", 4, {}, m_pImpl.get());
    CLock lock(m_pImpl.get());
    const uint64_t count = m_pImpl->m_presentCount;
    if (scope.getLevel() >= 3) scope.m_result = ToWString(count);
    return count;
}

CToken CPKCS11::getToken(uint64_t index) const {
    m_pImpl.checkCreated();
    CLock lock(m_pImpl.get());
    if (index >= m_pImpl->m_presentCount)
        throw CError(CWString(u"CPKCS11::getToken(") + ToWString(index) + u"), индекс должен быть меньше " +
                         ToWString(m_pImpl->m_presentCount),
                     Vsk::Utils::NoErrorCode);
    uint64_t present = 0;
    for (const SlotStatus& slot : m_pImpl->m_slots) {
        if (slot.status != CKR_OK) continue;
        if (present++ == index) {
            CPKCS11 self(*this);
            return CToken(&self, slot.slotId);
        }
    }
    throw CError("Внутренняя ошибка. token:1118.", Vsk::Utils::NoErrorCode);
}

void CPKCS11::clearAll() {
    std::map<CWString, CRefPtr<CImpl>> released;
    {
        CCommonInfoLock common;
        released.swap(libraryMap());
    }
    // The references go here, without the common lock, so that a library is finalised outside it.
}

bool CPKCS11::isLoaded() const {
    m_pImpl.checkCreated();
    CLock lock(m_pImpl.get());
    return m_pImpl->m_functions != nullptr;
}

// ---- Library object ---------------------------------------------------------------------------------

CPKCS11::CImpl::CImpl() : m_events(std::make_shared<CSlotEventContext>()) {}

CPKCS11::CImpl::~CImpl() {
    // From here on the slot-event thread hands nothing to this object; an event being handled ends
    // first.
    if (m_events) {
        CLock events(&m_events->eventLock);
        m_events->owner = nullptr;
    }
    deinit();
}

bool CPKCS11::CImpl::init(const CWString& path) {
    CLock lock(this);
    deinit();
    if (!m_events) m_events = std::make_shared<CSlotEventContext>();
    m_path = path;
    if (!m_module) {
        // Names without a folder are looked for in the library folder first.
        {
            static const auto setDllDirectory = [] {
                HMODULE kernel = GetModuleHandleW(u"Kernel32.dll");
                if (!kernel) kernel = LoadLibraryW(u"Kernel32.dll");
                return kernel
                           ? reinterpret_cast<BOOL (*)(LPCWSTR)>(GetProcAddress(kernel, "SetDllDirectoryW"))
                           : nullptr;
            }();
            const CWString folder = Vsk::InternalUtils::GetLibraryFolder();
            if (setDllDirectory && folder.getLength()) setDllDirectory(folder.c_str());
        }
        m_module = LoadLibraryW(path.c_str());
        DWORD loadError = m_module ? 0 : GetLastError();
        if (!m_module) {
            for (const LinuxModule& alt : LinuxModules) {
                if (CWString(alt.windowsName).compare(path, false) != 0) continue;
                for (const WCHAR* name : alt.linuxNames) {
                    if (!name || m_module) continue;
                    m_module = LoadLibraryW(name);
                    // A module that is there but cannot be loaded tells more than one that is not.
                    if (!m_module && GetLastError() != ERROR_MOD_NOT_FOUND) loadError = GetLastError();
                }
            }
        }
        if (!m_module) {
            m_versionText.clear();
            throw CError(CWString(u"Библиотека PKCS#11 \"") + path + u"\" не загружена.", loadError);
        }
        m_versionText = Vsk::InternalUtils::GetModuleFileNameW(m_module) + u" version " +
                        Vsk::InternalUtils::GetModuleVersion(m_module);
        if (GetLogLevel() >= 4) {
            logLine(4, "PKCS11::CPKCS11::CImpl::init", m_versionText);
            const CArray<CWString> modules = Vsk::InternalUtils::GetProcessModules(GetCurrentProcess(), true);
            Vsk::InternalUtils::WriteLog(Vsk::InternalUtils::GetLog(),
                                         CWString(u"PKCS11::CPKCS11::CImpl::init ") +
                                             Vsk::Utils::JoinStrings(modules, CWString(u"\r\n")),
                                         Vsk::InternalUtils::CLog::FlagNoCut);
        }
    }
    if (!m_functions) {
        auto getFunctionList =
            reinterpret_cast<CK_C_GetFunctionList>(GetProcAddress(m_module, "C_GetFunctionList"));
        if (!getFunctionList)
            throw CError(CWString(u"Не найдена функция C_GetFunctionList в библиотеке \"") + path +
                             u"\". Возможно, эта библиотека не реализует PKCS#11.",
                         Vsk::Utils::LastErrorCode);
        CK_FUNCTION_LIST_PTR list = nullptr;
        checkRetVal(getFunctionList(&list), "C_GetFunctionList");
        if (!list) throw CError("C_GetFunctionList не вернула список.", Vsk::Utils::LastErrorCode);
        m_functions = list;
    }
    if (!m_extendedFunctions) {
        if (auto extended = reinterpret_cast<GetFunctionListExtendedFn>(
                GetProcAddress(m_module, "C_EX_GetFunctionListExtended"))) {
            void* list = nullptr;
            const CK_RV rv = extended(&list);
            if (rv != CKR_OK)
                logIfError(rv, "C_EX_GetFunctionListExtended");
            else
                m_extendedFunctions = list;
        }
    }
    // The library is called from several threads at once (loaders, event thread, the program's
    // workers), and lets it use the system's locks.
    CK_C_INITIALIZE_ARGS args;
    std::memset(&args, 0, sizeof args);
    args.flags = CKF_OS_LOCKING_OK;
    const CK_RV rv = m_functions->C_Initialize(&args);
    if (rv != CKR_OK) {
        // Not initialised by us (another object of the process may hold it): never finalise it.
        m_functions = nullptr;
        checkRetVal(rv, "C_Initialize(CKF_OS_LOCKING_OK)");
    }
    fillSlotList();

    // Vendor entry points: kept, never called.
    if (m_extendedFunctions) {
        // The extended list: a CK_VERSION, then entry points; entries 9 and 10.
        auto* entries = reinterpret_cast<FARPROC*>(static_cast<char*>(m_extendedFunctions) + sizeof(void*));
        m_createCSR = entries[9];
        m_freeBuffer = entries[10];
    } else {
        m_createCSR = GetProcAddress(m_module, "createCSR");
        m_genCert = GetProcAddress(m_module, "genCert");
        m_freeBuffer = GetProcAddress(m_module, "freeBuffer");
        m_pkcs7Sign = GetProcAddress(m_module, "pkcs7Sign");
        m_pkcs7SignEx = GetProcAddress(m_module, "pkcs7SignEx");
        m_pkcs7Verify = GetProcAddress(m_module, "pkcs7Verify");
        if (!m_jcCtrl) m_jcCtrl = GetProcAddress(m_module, "C_jcCtrl");
        if (!m_sapiInitToken) {
            if (!m_etsapi) m_etsapi = LoadLibraryW(u"etsapi.dll");
            if (m_etsapi) m_sapiInitToken = GetProcAddress(m_etsapi, "SAPI_InitToken");
        }
    }
    SetLastError(0);

    if (m_functions) startEventThread();
    {
        CCommonInfoLock common;
        libraryMap()[path] = CRefPtr<CImpl>(this);
    }
    return true;
}

void CPKCS11::CImpl::startEventThread() {
    CLock lock(this);
    m_events->functions = m_functions;
    m_events->owner = this;
    auto* parameter = new std::shared_ptr<CSlotEventContext>(m_events);
    m_eventThread = CreateThread(nullptr, 0, eventThread, parameter, 0, &m_eventThreadId);
    if (!m_eventThread) {
        // The library then works without slot events.
        const DWORD e = GetLastError();
        delete parameter;
        m_events->owner = nullptr;
        logLine(1, "PKCS11::CPKCS11::CImpl::init", CWString(u"CreateThread ") + systemText(e));
    }
}

void CPKCS11::CImpl::deinit() {
    CLogScope scope("Vsk::PKCS11::CPKCS11::CImpl::deinit", 4, m_versionText, this);
    CLock guard(this);
    m_liveTokens.clear();
    m_presentCount = 0;
    if (m_functions) {
        const CK_RV rv = m_functions->C_Finalize(nullptr);
        m_functions = nullptr;
        logIfError(rv, "C_Finalize");
    }
    bool keepModule = false;
    if (m_eventThread && GetCurrentThreadId() == m_eventThreadId) {
        // The last handle went in a slot-event callback: the thread is ours, out of the module, and
        // ends as soon as it finds itself let go.
        {
            CLock events(&m_events->eventLock);
            m_events->owner = nullptr;
        }
        CloseHandle(m_eventThread);
        m_eventThread = nullptr;
        m_eventThreadId = 0;
        m_events = std::make_shared<CSlotEventContext>();
    } else if (m_eventThread) {
        // The lock is left while waiting, so that an event being handled can finish.
        const int depth = isOwner() ? getDepth() : 0;
        for (int i = 0; i < depth; ++i) unlock();
        const DWORD wait = WaitForSingleObject(m_eventThread, ShutdownWaitMs);
        if (wait == WAIT_FAILED)
            logLine(1, "PKCS11::CPKCS11::CImpl::deinit",
                    u"wait for Event thread " + systemText(GetLastError()));
        {
            CLock events(&m_events->eventLock);
            m_events->owner = nullptr;
        }
        if (wait != WAIT_OBJECT_0) {
            // The thread is still inside the module: it is left to return on its own, and the
            // module must stay mapped for it.
            logLine(1, "PKCS11::CPKCS11::CImpl::deinit",
                    u"terminate events thread " + systemText(ERROR_NOT_SUPPORTED) +
                        u" (поток оставлен, модуль " + m_path + u" не выгружается)");
            keepModule = true;
        }
        for (int i = 0; i < depth; ++i) lock();
        CloseHandle(m_eventThread);
        m_eventThread = nullptr;
        m_eventThreadId = 0;
        m_events = std::make_shared<CSlotEventContext>();
    }
    m_extendedFunctions = nullptr;
    if (m_module) {
        if (!keepModule && !FreeLibrary(m_module))
            logLine(1, "PKCS11::CPKCS11::CImpl::deinit", u"FreeLibrary " + systemText(GetLastError()));
        m_module = nullptr;
    }
    if (m_etsapi) {
        m_sapiInitToken = nullptr;
        if (!FreeLibrary(m_etsapi))
            logLine(1, "PKCS11::CPKCS11::CImpl::deinit", u"FreeLibrary " + systemText(GetLastError()));
        m_etsapi = nullptr;
    }
    m_dbInfo.clear();
    m_slots.clear();
    m_createCSR = m_freeBuffer = m_genCert = m_pkcs7Sign = m_pkcs7SignEx = m_pkcs7Verify = nullptr;
}

void CPKCS11::CImpl::fillSlotList() {
    CK_ULONG count = 0;
    checkRetVal(m_functions->C_GetSlotList(CK_TRUE, nullptr, &count),
                "C_GetSlotList(CK_TRUE, NULL, &slotCount)");
    m_slots.clear();
    m_presentCount = 0;
    if (count == 0) return;
    std::vector<CK_SLOT_ID> ids(count);
    checkRetVal(m_functions->C_GetSlotList(CK_TRUE, ids.data(), &count),
                "C_GetSlotList(CK_TRUE, p, &slotCount)");
    ids.resize(count);
    for (CK_SLOT_ID id : ids) {
        CK_TOKEN_INFO info;
        const CK_RV status = m_functions->C_GetTokenInfo(id, &info);
        if (status == CKR_OK)
            ++m_presentCount;
        else
            logLine(3, "PKCS11::CPKCS11::CImpl::fillSlotList",
                    CWString(u"slotId=") + ToWString(static_cast<uint64_t>(id)) + u" " +
                        CWString(rvCallText(status, "C_GetTokenInfo"), 1251));
        m_slots.push_back({id, status});
    }
}

void CPKCS11::CImpl::onSlotEvent(CK_SLOT_ID slot) {
    CLogScope scope("Vsk::PKCS11::CPKCS11::CImpl::onSlotEvent", 4, ToWString(static_cast<uint64_t>(slot)),
                    this);
    // A callback may drop the library's last handle: the object then goes after this event, not
    // under it.
    CRefPtr<CImpl> keep = getRefCount() != 0 ? CRefPtr<CImpl>(this) : CRefPtr<CImpl>();
    CLock lock(this);
    if (!m_functions) return;
    CK_TOKEN_INFO info;
    const CK_RV status = m_functions->C_GetTokenInfo(slot, &info);
    SlotStatus* entry = nullptr;
    for (size_t i = m_slots.size(); i-- > 0;)
        if (m_slots[i].slotId == slot) {
            entry = &m_slots[i];
            break;
        }
    bool inserted = false;
    if (!entry) {
        m_slots.push_back({slot, status});
        if (status != CKR_OK)
            logLine(3, "PKCS11::CPKCS11::CImpl::onSlotEvent",
                    CWString(u"slotId=") + ToWString(static_cast<uint64_t>(slot)) + u" " +
                        CWString(rvCallText(status, "C_GetTokenInfo"), 1251));
        inserted = status == CKR_OK;
    } else {
        const CK_RV previous = entry->status;
        entry->status = status;
        if (status != CKR_OK && previous == CKR_OK) {
            if (m_presentCount) --m_presentCount;
            logLine(4, "PKCS11::CPKCS11::CImpl::onSlotEvent", u"токен извлекли");
            // The very token objects handed out before, so that the receiver finds them by identity.
            for (size_t i = m_liveTokens.size(); i-- > 0;) {
                CToken::CImpl* token = m_liveTokens[i];
                if (token->m_info.slotId != slot) continue;
                token->m_state = CToken::CImpl::StateRemoved;
                // A token whose last handle is going right now is not handed out again.
                if (m_onSlotEvent && token->getRefCount() != 0) m_onSlotEvent(CToken(token));
            }
        } else if (status == CKR_OK && previous != CKR_OK) {
            inserted = true;
        } else {
            logLine(2, "PKCS11::CPKCS11::CImpl::onSlotEvent",
                    CWString(u"old status ") + CWString(rvToString(previous), 1251) + u", new status " +
                        CWString(rvToString(status), 1251));
        }
    }
    if (inserted) {
        ++m_presentCount;
        logLine(4, "PKCS11::CPKCS11::CImpl::onSlotEvent", u"токен вставили");
        if (m_onSlotEvent && getRefCount() != 0) {
            CPKCS11 self(false);
            self.m_pImpl = CRefPtr<CImpl>(this);
            m_onSlotEvent(CToken(&self, slot));
        }
    }
}

UINT CPKCS11::CImpl::getCodePage() {
    CLock lock(this);
    if (!m_dbInfo.getSize()) {
        if (!m_functions) return CP_UTF8;
        CDataBlob info(sizeof(CK_INFO));
        checkRetVal(m_functions->C_GetInfo(reinterpret_cast<CK_INFO*>(info.getData())),
                    "C_GetInfo((CK_INFO_PTR)(LPVOID)m_dbInfo)");
        m_dbInfo = info;
    }
    const auto* info = reinterpret_cast<const CK_INFO*>(m_dbInfo.getData());
    return versionToNumber(info->cryptokiVersion) >= Utf8SinceVersion ? CP_UTF8 : Vsk::Utils::CP_PROGRAM;
}

CAString CPKCS11::CImpl::toTokenText(const CWString& text) {
    return CAString(text, getCodePage());
}

CWString CPKCS11::CImpl::fromTokenText(const void* bytes, size_t size) {
    return CWString(static_cast<const char*>(bytes), size, getCodePage());
}

void CPKCS11::CImpl::addToken(CToken::CImpl* token) {
    CLock lock(this);
    m_liveTokens.push_back(token);
}

void CPKCS11::CImpl::removeToken(CToken::CImpl* token) {
    CLock lock(this);
    for (size_t i = m_liveTokens.size(); i-- > 0;)
        if (m_liveTokens[i] == token) {
            m_liveTokens.erase(m_liveTokens.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
}

namespace {

DWORD eventThread(LPVOID parameter) {
    std::unique_ptr<std::shared_ptr<CSlotEventContext>> holder(
        static_cast<std::shared_ptr<CSlotEventContext>*>(parameter));
    if (!holder || !*holder || !(*holder)->functions) return ResultUnexpected;
    CSlotEventContext& context = **holder;
    const CK_FUNCTION_LIST_PTR functions = context.functions;
    try {
        for (;;) {
            CK_SLOT_ID slot = 0;
            const CK_RV rv = functions->C_WaitForSlotEvent(0, &slot, nullptr);
            CLock events(&context.eventLock);
            if (rv != CKR_OK) {
                // C_Finalize makes the wait return; a module without blocking waits answers at once.
                logIfError(rv, "C_WaitForSlotEvent");
                return 0;
            }
            if (!context.owner) return 0;
            context.owner->onSlotEvent(slot);
            // The library may have gone in the event's callback.
            if (!context.owner) return 0;
        }
    } catch (...) {
        return ResultFail;
    }
}

}  // namespace

}  // namespace Vsk::PKCS11
