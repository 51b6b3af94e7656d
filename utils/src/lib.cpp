#include <vsk/platform/file.h>
#include <vsk/utils/error.h>
#include <vsk/utils/file.h>
#include <vsk/utils/global.h>
#include <vsk/utils/lib.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

namespace Vsk::InternalUtils {

using Vsk::Utils::CArray;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CWString;

namespace {

// Tried before the plain module name when not empty. Nothing in the library sets it; it is read
// under the common lock like the other process-wide tables.
CWString& libraryFolder() {
    static CWString folder;
    return folder;
}

}  // namespace

// ---- CLib ---------------------------------------------------------------------------------------

CLib::CLib(const WCHAR* moduleName) : m_moduleName(moduleName), m_module(nullptr) {}

CLib::~CLib() {
    if (m_module) ::FreeLibrary(m_module);
}

void CLib::setModuleName(const WCHAR* moduleName) {
    CLock guard(this);
    m_moduleName = CWString(moduleName);
    if (m_module) ::FreeLibrary(m_module);
    m_module = nullptr;
}

HMODULE CLib::tryLoad() {
    CLock guard(this);
    if (m_module) return m_module;
    const CWString folder = GetLibraryFolder();
    CWString loadedBy;
    HMODULE module = nullptr;
    if (folder.getLength() != 0) {
        loadedBy = folder + m_moduleName;
        module = ::LoadLibraryW(loadedBy.c_str());
    }
    if (!module) {
        loadedBy = m_moduleName;
        module = ::LoadLibraryW(loadedBy.c_str());
        if (!module) return nullptr;
    }
    // A full path starts with "/" here; anything else is named by the path the loader found.
    if (loadedBy.getLength() != 0 && loadedBy.c_str()[0] == u'/') {
        m_moduleName = loadedBy;
    } else {
        CWString fullPath = GetModuleFileNameW(module);
        m_moduleName = fullPath.getLength() != 0 ? fullPath : loadedBy;
    }
    m_module = module;
    return m_module;
}

HMODULE CLib::load() {
    CLock guard(this);
    if (HMODULE module = tryLoad()) return module;
    const DWORD error = GetLastError();
    if (error == ERROR_MOD_NOT_FOUND) {
        const CWString inFolder = GetLibraryFolder() + m_moduleName;
        const bool inFolderMissing = ::GetFileAttributesW(inFolder.c_str()) == INVALID_FILE_ATTRIBUTES;
        const bool bareMissing = ::GetFileAttributesW(m_moduleName.c_str()) == INVALID_FILE_ATTRIBUTES;
        const DWORD code = GetLastError();
        if (inFolderMissing && bareMissing) throw CError(u"Модуль " + m_moduleName + u" не найден!", code);
        throw CError(u"Не найдены модули, от которых зависит модуль " + m_moduleName + u" !", code);
    }
    throw CError(u"Ошибка загрузки модуля " + m_moduleName + u" !", error);
}

void* CLib::getProcAddress(const char* name) {
    const HMODULE module = load();
    FARPROC address = ::GetProcAddress(module, name);
    if (!address) {
        const DWORD error = GetLastError();
        CWString moduleName;
        {
            CLock guard(this);
            moduleName = m_moduleName;
        }
        const CWString exportName(name ? name : "", name ? std::strlen(name) : 0, Vsk::Utils::CP_PROGRAM);
        throw CError(u"Функция \"" + exportName + u"\" отсутствует в модуле \"" + moduleName + u"\" !",
                     error);
    }
    return reinterpret_cast<void*>(address);
}

CWString GetLibraryFolder() {
    CCommonInfoLock guard;
    return libraryFolder().clone();
}

// ---- Version information ------------------------------------------------------------------------

CArray<CWString> GetModuleInfo(const WCHAR* filePath, const WCHAR* valueName) {
    static constexpr char ScopeName[] = "Vsk::InternalUtils::GetModuleInfo";
    CLogScope scope;
    if (GetLogLevel() >= 5) scope.enter(ScopeName, CWString(filePath));
    CArray<CWString> values;
    const CWString path(filePath);

    auto logFailure = [&](const WCHAR* call) {
        const DWORD error = GetLastError();
        if (error == 0 || GetLogLevel() < 1) return;
        if (CLog* log = GetLog())
            log->writeWin32Error(u"InternalUtils::GetModuleInfo " + CWString(call) + path, error);
    };

    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(filePath, &handle);
    if (size == 0) {
        logFailure(u"GetFileVersionInfoSize ");
        return values;
    }
    std::vector<BYTE> block(size);
    if (!::GetFileVersionInfoW(filePath, 0, size, block.data())) {
        logFailure(u"GetFileVersionInfo ");
        return values;
    }
    void* translations = nullptr;
    UINT translationBytes = 0;
    if (!::VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &translations, &translationBytes)) {
        logFailure(u"VerQueryValue ");
        return values;
    }
    const WORD* pairs = static_cast<const WORD*>(translations);
    for (UINT i = 0; i + 1 < translationBytes / sizeof(WORD); i += 2) {
        char hex[10];
        const int written = std::snprintf(hex, sizeof(hex), "%04x%04x", pairs[i], pairs[i + 1]);
        if (written < 0 || written >= static_cast<int>(sizeof(hex))) {
            if (GetLogLevel() >= 1) LogAt(1, CWString(u"InternalUtils::GetModuleInfo StringCchPrintf"));
            break;
        }
        const CWString subBlock = u"\\StringFileInfo\\" +
                                  CWString(hex, std::strlen(hex), Vsk::Utils::CP_PROGRAM) + u"\\" + valueName;
        void* value = nullptr;
        UINT length = 0;
        if (!::VerQueryValueW(block.data(), subBlock.c_str(), &value, &length)) {
            logFailure(u"VerQueryValue ");
            break;
        }
        if (length != 0) {
            const WCHAR* text = static_cast<const WCHAR*>(value);
            size_t n = 0;
            while (n < length && text[n] != 0) ++n;
            values.add(CWString(text, n));
        }
    }
    return values;
}

// ---- Process-wide holders -----------------------------------------------------------------------
// Each holder is made on first use and lives until process exit, so a bound pointer stays valid for
// the rest of the process. Function-local statics make the first construction safe when two
// threads arrive together.

PFN_GetProcessMemoryInfo BindGetProcessMemoryInfo() {
    static CLib holder(u"Psapi.dll");
    static std::atomic<PFN_GetProcessMemoryInfo> bound{nullptr};
    if (PFN_GetProcessMemoryInfo p = bound.load(std::memory_order_acquire)) return p;
    if (HMODULE module = holder.tryLoad())
        bound.store(
            reinterpret_cast<PFN_GetProcessMemoryInfo>(::GetProcAddress(module, "GetProcessMemoryInfo")),
            std::memory_order_release);
    return bound.load(std::memory_order_acquire);
}

PFN_CheckTokenMembership BindCheckTokenMembership() {
    CCommonInfoLock guard;
    static CLib holder(u"Advapi32.dll");
    static PFN_CheckTokenMembership bound = nullptr;
    if (!bound)
        bound = reinterpret_cast<PFN_CheckTokenMembership>(holder.getProcAddress("CheckTokenMembership"));
    return bound;
}

PFN_RegEnableReflectionKey BindRegEnableReflectionKey() {
    CCommonInfoLock guard;
    static CLib holder(u"Advapi32.dll");
    static PFN_RegEnableReflectionKey bound = nullptr;
    if (!bound) {
        if (HMODULE module = holder.tryLoad())
            bound = reinterpret_cast<PFN_RegEnableReflectionKey>(
                ::GetProcAddress(module, "RegEnableReflectionKey"));
    }
    return bound;
}

PFN_SHCopyKeyW BindSHCopyKeyW() {
    static CLib holder(u"Shlwapi.dll");
    static std::atomic<PFN_SHCopyKeyW> bound{nullptr};
    if (PFN_SHCopyKeyW p = bound.load(std::memory_order_acquire)) return p;
    if (HMODULE module = holder.tryLoad())
        bound.store(reinterpret_cast<PFN_SHCopyKeyW>(::GetProcAddress(module, "SHCopyKeyW")),
                    std::memory_order_release);
    return bound.load(std::memory_order_acquire);
}

}  // namespace Vsk::InternalUtils
