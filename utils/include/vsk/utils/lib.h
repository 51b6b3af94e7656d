// Modules loaded at run time: one holder class that loads on first use, finds entry points by name
// and frees the module at destruction; the process-wide holders of the system functions the library
// binds at run time; the library folder; and the string values of a module's version information.
#pragma once

#include <vsk/platform/module.h>
#include <vsk/platform/registry.h>
#include <vsk/platform/security.h>
#include <vsk/utils/array.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/string.h>

namespace Vsk::InternalUtils {

class CLib : public Vsk::Utils::CCriticalSection {
public:
    explicit CLib(const WCHAR* moduleName);
    ~CLib();
    CLib(const CLib&) = delete;
    CLib& operator=(const CLib&) = delete;

    // Forgets (and frees) the loaded module; the next use loads by the new name.
    void setModuleName(const WCHAR* moduleName);
    // Null when the module cannot be loaded, with the last error as the loader left it.
    HMODULE tryLoad();
    // As tryLoad, but a failure raises CError naming the module.
    HMODULE load();
    // Loads through load(); a missing export raises CError naming the export and the module.
    void* getProcAddress(const char* name);

    // The name as given, or the full path of the loaded module.
    Vsk::Utils::CWString getModuleName() const { return m_moduleName; }
    HMODULE getModule() const { return m_module; }

private:
    Vsk::Utils::CWString m_moduleName;
    HMODULE m_module;
};

// A copy of the folder tried before the plain module name (empty unless set).
Vsk::Utils::CWString GetLibraryFolder();

// Every value named `valueName` in the string tables of the file's version information, one per
// translation, in the order of the translation list.
Vsk::Utils::CArray<Vsk::Utils::CWString> GetModuleInfo(const WCHAR* filePath, const WCHAR* valueName);

// The system functions bound at run time, each through its process-wide holder that lives until
// process exit. A function that cannot be bound gives null, except CheckTokenMembership, whose
// binding raises the error of CLib::getProcAddress.
using PFN_GetProcessMemoryInfo = BOOL (*)(HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD);
using PFN_CheckTokenMembership = BOOL (*)(HANDLE, PSID, BOOL*);
using PFN_RegEnableReflectionKey = LONG (*)(HKEY);
using PFN_SHCopyKeyW = LSTATUS (*)(HKEY, LPCWSTR, HKEY, DWORD);

PFN_GetProcessMemoryInfo BindGetProcessMemoryInfo();
PFN_CheckTokenMembership BindCheckTokenMembership();
PFN_RegEnableReflectionKey BindRegEnableReflectionKey();
PFN_SHCopyKeyW BindSHCopyKeyW();

}  // namespace Vsk::InternalUtils
