// Modules loaded at run time, process memory and module lists, and the version information of our
// own binaries.
//
// Two kinds of module:
//  - stand-in modules: the Windows system library names the code asks for ("Psapi.dll",
//    "Advapi32.dll", "Shlwapi.dll", "Winhttp.dll", "Kernel32.dll", and what other areas register),
//    matched without regard to case (".dll" may be left off). Their exports are our own functions,
//    looked up by exact export name. GetModuleFileNameW gives the name as registered.
//  - anything else (a path, which starts with "/", or a shared-object name for the system's search):
//    dlopen(RTLD_NOW | RTLD_LOCAL) and dlsym. A missing module or a missing dependency gives
//    ERROR_MOD_NOT_FOUND (126), a file that is not a loadable object of this machine
//    ERROR_BAD_EXE_FORMAT (193), a missing export ERROR_PROC_NOT_FOUND (127). An HMODULE of such a
//    module is the address of its ELF header, like a base address.
#pragma once

#include <vsk/platform/handle.h>
#include <vsk/platform/types.h>

#include <cstddef>
#include <initializer_list>

// The generic function pointer type: casts to and from it draw no warnings about function types.
using FARPROC = void (*)();

HMODULE LoadLibraryW(LPCWSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR exportName);
BOOL FreeLibrary(HMODULE module);
// Null: the program. A name: the module when it is already loaded (never loads it); a stand-in module
// counts as loaded while LoadLibraryW holds it or when it was registered as resident.
HMODULE GetModuleHandleW(LPCWSTR name);
// The module's full path (the program's from /proc/self/exe for null). A small buffer receives the
// cut path with its NUL, returns `size` and sets ERROR_INSUFFICIENT_BUFFER; 0 on failure.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
// A folder that LoadLibraryW tries first for names without a folder; null or empty forgets it.
BOOL SetDllDirectoryW(LPCWSTR folder);

// Registration of stand-in modules by the areas that implement them. Registering a name again adds
// exports to that module (an export of the same name is replaced). `resident` makes the module count
// as loaded for GetModuleHandleW before anyone loads it (the platform links it into every process).
// "Psapi.dll" (GetProcessMemoryInfo, EnumProcessModules), "Kernel32.dll" (SetDllDirectoryW),
// "Advapi32.dll" (CheckTokenMembership), "Shlwapi.dll" (AssocQueryStringW) and "Winhttp.dll" (empty
// until the HTTP area registers) are registered from the start.
struct StandInExport {
    const char* name;
    FARPROC address;
};
void RegisterStandInModule(LPCWSTR name, const StandInExport* exports, size_t count, bool resident = false);
inline void RegisterStandInModule(LPCWSTR name, std::initializer_list<StandInExport> exports,
                                  bool resident = false) {
    RegisterStandInModule(name, exports.begin(), exports.size(), resident);
}

// The address of one of our functions as an export: RegisterStandInModule(u"Winhttp.dll",
// {{"WinHttpOpen", StandInAddress(&WinHttpOpen)}}).
template <class F>
FARPROC StandInAddress(F* function) {
    return reinterpret_cast<FARPROC>(function);
}

// ---- Process memory and modules -------------------------------------------------------------------

struct PROCESS_MEMORY_COUNTERS {
    DWORD cb;
    DWORD PageFaultCount;
    SIZE_T PeakWorkingSetSize;
    SIZE_T WorkingSetSize;
    SIZE_T QuotaPeakPagedPoolUsage;
    SIZE_T QuotaPagedPoolUsage;
    SIZE_T QuotaPeakNonPagedPoolUsage;
    SIZE_T QuotaNonPagedPoolUsage;
    SIZE_T PagefileUsage;
    SIZE_T PeakPagefileUsage;
};
// The current process only. WorkingSetSize is the resident size (/proc/self/statm), PagefileUsage the
// data size; `cb` must hold the structure (ERROR_INSUFFICIENT_BUFFER otherwise).
BOOL GetProcessMemoryInfo(HANDLE process, PROCESS_MEMORY_COUNTERS* counters, DWORD cb);
// The current process's modules with a file: the program first, then the shared objects in load
// order. *needed receives the bytes for all of them; as many as fit are written.
BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD cb, DWORD* needed);

// ---- Version information ---------------------------------------------------------------------------
// Our binaries carry their version information in an ELF section of their own, built in from the
// project's version. Files without it (other programs and libraries, non-ELF files) have none:
// GetFileVersionInfoSizeW gives 0 with ERROR_RESOURCE_TYPE_NOT_FOUND; a missing file gives its
// open error.

struct VS_FIXEDFILEINFO {
    DWORD dwSignature;  // 0xFEEF04BD
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};
constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;

DWORD GetFileVersionInfoSizeW(LPCWSTR path, DWORD* handle);
BOOL GetFileVersionInfoW(LPCWSTR path, DWORD handle, DWORD size, LPVOID data);
// Blocks: "\" (VS_FIXEDFILEINFO), "\VarFileInfo\Translation" (pairs of 16-bit language and code
// page), "\StringFileInfo\<language><code page in 8 hex digits>\<name>" (a UTF-16 text; *length counts
// its characters with the NUL). Names match without regard to case. FALSE when the block is absent.
BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* value, UINT* length);
