#include "kernelObjects.h"

#include <vsk/platform/file.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/module.h>
#include <vsk/platform/security.h>
#include <vsk/platform/shell.h>

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

using namespace vsk::kernel;

// ---- Version information compiled into every binary that links the platform ------------------------
//
// Section ".vsk_verinfo", little-endian:
//   char magic[8] = "VSKVER1"; DWORD total size; DWORD translation count T;
//   VS_FIXEDFILEINFO (52 bytes); T pairs of WORD (language, code page);
//   then, per translation in order, UTF-16 pairs name NUL value NUL, ended by an empty name (one NUL).
// GetFileVersionInfoW hands out the section's bytes as they are; VerQueryValueW reads them.

namespace {

constexpr char VersionMagic[8] = {'V', 'S', 'K', 'V', 'E', 'R', '1', 0};
constexpr const char VersionSection[] = ".vsk_verinfo";
// Bounds for reading another file's ELF headers and our section from it.
constexpr uint64_t MaxSectionHeadersBytes = 1 << 20;
constexpr uint64_t MaxSectionNamesBytes = 1 << 20;
constexpr uint64_t MaxVersionBytes = 1 << 16;

constexpr uint32_t versionPart(const char* text, int index) {
    int part = 0;
    uint32_t value = 0;
    for (; *text; ++text) {
        if (*text == '.') {
            if (part == index) return value;
            ++part;
            value = 0;
        } else {
            value = value * 10 + static_cast<uint32_t>(*text - '0');
        }
    }
    return part == index ? value : 0;
}

#ifndef VSK_PROJECT_VERSION
#error "VSK_PROJECT_VERSION must come from the build: the version of the project"
#endif

#define VSK_VERSION_STRINGS \
    u"CompanyName\0Voskel\0FileDescription\0Kestrovan\0FileVersion\0" VSK_PROJECT_VERSION          \
    u"\0ProductName\0Kestrovan\0ProductVersion\0" VSK_PROJECT_VERSION u"\0LegalCopyright\0© Voskel\0"

struct VersionImage {
    char magic[8];
    DWORD size;
    DWORD translationCount;
    VS_FIXEDFILEINFO fixed;
    WORD translations[2];
    char16_t strings[sizeof(VSK_VERSION_STRINGS) / sizeof(char16_t)];
};

constexpr DWORD versionMS = (versionPart(VSK_PROJECT_VERSION, 0) << 16) | versionPart(VSK_PROJECT_VERSION, 1);
constexpr DWORD versionLS = (versionPart(VSK_PROJECT_VERSION, 2) << 16) | versionPart(VSK_PROJECT_VERSION, 3);

[[gnu::used, gnu::section(".vsk_verinfo")]] const VersionImage g_versionImage = {
    {'V', 'S', 'K', 'V', 'E', 'R', '1', 0},
    sizeof(VersionImage),
    1,
    {0xFEEF04BD, 0x00010000, versionMS, versionLS, versionMS, versionLS, 0x3F, 0, 0, 1, 0, 0, 0},
    {0x0419, 0x04B0},  // Russian, Unicode
    VSK_VERSION_STRINGS,
};

// ---- Stand-in modules ------------------------------------------------------------------------------

struct StandInModule {
    std::u16string name;
    std::string key;  // lower-case UTF-8, for matching
    std::map<std::string, FARPROC> exports;
    int loads = 0;
    bool resident = false;
};

struct RealModule {
    void* dl;
    int loads;
};

struct ModuleState {
    std::recursive_mutex lock;  // a loaded object's constructors may load modules themselves
    std::vector<std::unique_ptr<StandInModule>> standIns;  // never freed: their addresses are handles
    std::map<uintptr_t, RealModule> loaded;                // by base address
    std::string dllDirectory;
};

std::string asciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

void registerLocked(ModuleState& state, LPCWSTR name, const StandInExport* exports, size_t count,
                    bool resident) {
    const std::string key = asciiLower(PathToUtf8(name));
    StandInModule* module = nullptr;
    for (auto& m : state.standIns)
        if (m->key == key) module = m.get();
    if (!module) {
        state.standIns.push_back(std::make_unique<StandInModule>());
        module = state.standIns.back().get();
        for (size_t i = 0; name[i]; ++i) module->name += name[i];
        module->key = key;
    }
    module->resident |= resident;
    for (size_t i = 0; i < count; ++i) module->exports[exports[i].name] = exports[i].address;
}

ModuleState& state() {
    static ModuleState* s = [] {
        auto* st = new ModuleState;
        const StandInExport psapi[] = {{"GetProcessMemoryInfo", StandInAddress(&GetProcessMemoryInfo)},
                                       {"EnumProcessModules", StandInAddress(&EnumProcessModules)}};
        const StandInExport kernel32[] = {{"SetDllDirectoryW", StandInAddress(&SetDllDirectoryW)}};
        const StandInExport advapi32[] = {{"CheckTokenMembership", StandInAddress(&CheckTokenMembership)}};
        const StandInExport shlwapi[] = {{"AssocQueryStringW", StandInAddress(&AssocQueryStringW)}};
        registerLocked(*st, u"Psapi.dll", psapi, std::size(psapi), false);
        registerLocked(*st, u"Kernel32.dll", kernel32, std::size(kernel32), true);
        registerLocked(*st, u"Advapi32.dll", advapi32, std::size(advapi32), false);
        registerLocked(*st, u"Shlwapi.dll", shlwapi, std::size(shlwapi), false);
        registerLocked(*st, u"Winhttp.dll", nullptr, 0, false);
        return st;
    }();
    return *s;
}

// Under the state's lock.
StandInModule* standInByName(ModuleState& s, const std::string& path) {
    if (path.find('/') != std::string::npos) return nullptr;
    const std::string key = asciiLower(path);
    for (auto& m : s.standIns)
        if (m->key == key || (key.find('.') == std::string::npos && m->key == key + ".dll")) return m.get();
    return nullptr;
}

StandInModule* standInByHandle(ModuleState& s, HMODULE module) {
    for (auto& m : s.standIns)
        if (reinterpret_cast<HMODULE>(m.get()) == module) return m.get();
    return nullptr;
}

// ---- Loaded ELF objects ------------------------------------------------------------------------------

struct ObjectRecord {
    uintptr_t base;     // address of the ELF header in memory
    uintptr_t dynamic;  // address of the dynamic section, to match a link map
    std::string name;   // as the loader knows it; empty for the program
};

int collect(struct dl_phdr_info* info, size_t, void* data) {
    auto* records = static_cast<std::vector<ObjectRecord>*>(data);
    ObjectRecord record{0, 0, info->dlpi_name ? info->dlpi_name : ""};
    bool haveBase = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && !haveBase) {
            record.base = info->dlpi_addr + ph.p_vaddr - ph.p_offset;
            haveBase = true;
        } else if (ph.p_type == PT_DYNAMIC) {
            record.dynamic = info->dlpi_addr + ph.p_vaddr;
        }
    }
    if (haveBase) records->push_back(std::move(record));
    return 0;
}

std::vector<ObjectRecord> loadedObjects() {
    std::vector<ObjectRecord> records;
    dl_iterate_phdr(collect, &records);
    return records;
}

// Objects with a file: the program (first) and the objects whose name is a path (not the vdso).
std::vector<ObjectRecord> moduleList() {
    std::vector<ObjectRecord> all = loadedObjects();
    std::vector<ObjectRecord> out;
    for (size_t i = 0; i < all.size(); ++i)
        if (i == 0 || all[i].name.find('/') != std::string::npos) out.push_back(all[i]);
    return out;
}

uintptr_t baseOfHandle(void* dl) {
    struct link_map* map = nullptr;
    if (dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0 || !map) return 0;
    for (const auto& r : loadedObjects())
        if (r.dynamic && r.dynamic == reinterpret_cast<uintptr_t>(map->l_ld)) return r.base;
    return 0;
}

std::string programPath() {
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(n));
        buffer.resize(buffer.size() * 2);
    }
}

// The Win32 code for a failed dlopen of `path`.
DWORD loadError(const std::string& path, const char* message) {
    if (path.find('/') != std::string::npos) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            return errno == ENOENT || errno == ENOTDIR ? ERROR_MOD_NOT_FOUND : Win32FromErrno(errno);
        if (S_ISDIR(st.st_mode) || access(path.c_str(), R_OK) != 0) return ERROR_ACCESS_DENIED;
    }
    const std::string text = message ? message : "";
    for (const char* format : {"invalid ELF header", "wrong ELF class", "file too short", "ELF load command",
                               "ELF file", "cannot dynamically load", "only ET_DYN and ET_EXEC"})
        if (text.find(format) != std::string::npos) return ERROR_BAD_EXE_FORMAT;
    if (text.find("cannot open shared object file") != std::string::npos) return ERROR_MOD_NOT_FOUND;
    if (text.find("undefined symbol") != std::string::npos) return ERROR_PROC_NOT_FOUND;
    return ERROR_GEN_FAILURE;
}

DWORD copyModulePath(const std::string& path, LPWSTR buffer, DWORD size) {
    const std::u16string wide = ToUtf16(path);
    if (!buffer || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (wide.size() < size) {
        wide.copy(buffer, wide.size());
        buffer[wide.size()] = 0;
        return static_cast<DWORD>(wide.size());
    }
    wide.copy(buffer, size - 1);
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

// Whether `path` names the running program's own file.
bool isProgramFile(const std::string& path) {
    if (path.find('/') == std::string::npos) return false;
    char self[PATH_MAX];
    char other[PATH_MAX];
    return realpath("/proc/self/exe", self) && realpath(path.c_str(), other) && std::strcmp(self, other) == 0;
}

}  // namespace

void RegisterStandInModule(LPCWSTR name, const StandInExport* exports, size_t count, bool resident) {
    if (!name || !*name || (count && !exports)) return;
    ModuleState& s = state();
    std::lock_guard guard(s.lock);
    registerLocked(s, name, exports, count, resident);
}

HMODULE LoadLibraryW(LPCWSTR name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ModuleState& s = state();
    std::lock_guard guard(s.lock);
    std::string path = PathToUtf8(name);
    if (StandInModule* standIn = standInByName(s, path)) {
        ++standIn->loads;
        return reinterpret_cast<HMODULE>(standIn);
    }
    if (path.find('/') == std::string::npos && !s.dllDirectory.empty()) {
        const std::string candidate = s.dllDirectory + "/" + path;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0) path = candidate;
    }
    // The program itself cannot be opened as a library (an executable is refused by the loader):
    // loading its own file gives the module the program already is.
    const bool isProgram = isProgramFile(path);
    dlerror();
    void* dl = isProgram ? dlopen(nullptr, RTLD_NOW) : dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
        SetLastError(loadError(path, dlerror()));
        return nullptr;
    }
    uintptr_t base = baseOfHandle(dl);
    if (isProgram) {
        const auto modules = moduleList();
        base = modules.empty() ? 0 : modules[0].base;
    }
    if (!base) {
        dlclose(dl);
        SetLastError(ERROR_GEN_FAILURE);
        return nullptr;
    }
    auto [it, fresh] = s.loaded.try_emplace(base, RealModule{dl, 0});
    ++it->second.loads;
    return reinterpret_cast<HMODULE>(base);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR exportName) {
    if (!exportName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ModuleState& s = state();
    std::lock_guard guard(s.lock);
    if (StandInModule* standIn = standInByHandle(s, module)) {
        auto it = standIn->exports.find(exportName);
        if (it == standIn->exports.end()) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return it->second;
    }
    const std::vector<ObjectRecord> modules = moduleList();
    const uintptr_t base =
        module ? reinterpret_cast<uintptr_t>(module) : (modules.empty() ? 0 : modules[0].base);
    void* dl = nullptr;
    bool temporary = false;
    if (auto it = s.loaded.find(base); it != s.loaded.end()) {
        dl = it->second.dl;
    } else {
        auto record = std::find_if(modules.begin(), modules.end(),
                                   [&](const ObjectRecord& r) { return r.base == base; });
        if (record == modules.end()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        dl = record == modules.begin() ? dlopen(nullptr, RTLD_NOW)
                                       : dlopen(record->name.c_str(), RTLD_NOW | RTLD_NOLOAD);
        temporary = dl != nullptr;
        if (!dl) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
    }
    dlerror();
    void* symbol = dlsym(dl, exportName);
    // dlsym also searches the module's dependencies; an export is only what the module itself defines.
    Dl_info info{};
    if (symbol && (!dladdr(symbol, &info) || reinterpret_cast<uintptr_t>(info.dli_fbase) != base))
        symbol = nullptr;
    if (temporary) dlclose(dl);
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module) {
    ModuleState& s = state();
    std::lock_guard guard(s.lock);
    if (StandInModule* standIn = standInByHandle(s, module)) {
        if (standIn->loads > 0) --standIn->loads;
        return TRUE;
    }
    const uintptr_t base = reinterpret_cast<uintptr_t>(module);
    if (auto it = s.loaded.find(base); it != s.loaded.end()) {
        void* dl = it->second.dl;
        if (--it->second.loads == 0) s.loaded.erase(it);
        dlclose(dl);
        return TRUE;
    }
    // A module this layer did not load (the program, a library it links) stays where it is.
    for (const auto& r : moduleList())
        if (r.base == base) return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

HMODULE GetModuleHandleW(LPCWSTR name) {
    ModuleState& s = state();
    std::lock_guard guard(s.lock);
    if (!name) {
        const auto modules = moduleList();
        return modules.empty() ? nullptr : reinterpret_cast<HMODULE>(modules[0].base);
    }
    const std::string path = PathToUtf8(name);
    if (StandInModule* standIn = standInByName(s, path)) {
        if (standIn->loads > 0 || standIn->resident) return reinterpret_cast<HMODULE>(standIn);
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* dl = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (!dl) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const uintptr_t base = baseOfHandle(dl);
    dlclose(dl);
    if (!base) SetLastError(ERROR_MOD_NOT_FOUND);
    return reinterpret_cast<HMODULE>(base);
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    std::string path;
    {
        ModuleState& s = state();
        std::lock_guard guard(s.lock);
        if (StandInModule* standIn = standInByHandle(s, module)) path = ToUtf8(standIn->name);
    }
    if (path.empty()) {
        const auto modules = moduleList();
        const uintptr_t base =
            module ? reinterpret_cast<uintptr_t>(module) : (modules.empty() ? 0 : modules[0].base);
        auto record = std::find_if(modules.begin(), modules.end(),
                                   [&](const ObjectRecord& r) { return r.base == base; });
        if (record == modules.end()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = record == modules.begin() ? programPath() : AbsolutePath(record->name);
        if (path.empty()) {
            SetLastError(Win32FromErrno(errno));
            return 0;
        }
    }
    return copyModulePath(path, buffer, size);
}

BOOL SetDllDirectoryW(LPCWSTR folder) {
    ModuleState& s = state();
    std::lock_guard guard(s.lock);
    s.dllDirectory = folder ? PathToUtf8(folder) : std::string();
    while (s.dllDirectory.size() > 1 && s.dllDirectory.back() == '/') s.dllDirectory.pop_back();
    return TRUE;
}

BOOL GetProcessMemoryInfo(HANDLE process, PROCESS_MEMORY_COUNTERS* counters, DWORD cb) {
    if (process != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!counters || cb < sizeof(PROCESS_MEMORY_COUNTERS)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::ifstream statm("/proc/self/statm");
    uint64_t pages = 0, resident = 0, shared = 0, text = 0, lib = 0, data = 0;
    if (!(statm >> pages >> resident >> shared >> text >> lib >> data)) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    std::memset(counters, 0, sizeof *counters);
    counters->cb = sizeof(PROCESS_MEMORY_COUNTERS);
    counters->WorkingSetSize = resident * page;
    counters->PagefileUsage = data * page;
    counters->PeakPagefileUsage = counters->PagefileUsage;
    struct rusage usage {};
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        counters->PageFaultCount = static_cast<DWORD>(usage.ru_minflt + usage.ru_majflt);
        counters->PeakWorkingSetSize = static_cast<SIZE_T>(usage.ru_maxrss) * 1024;
    }
    counters->PeakWorkingSetSize = std::max(counters->PeakWorkingSetSize, counters->WorkingSetSize);
    return TRUE;
}

BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD cb, DWORD* needed) {
    if (process != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!needed || (cb && !modules)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto list = moduleList();
    *needed = static_cast<DWORD>(list.size() * sizeof(HMODULE));
    const size_t fit = std::min<size_t>(list.size(), cb / sizeof(HMODULE));
    for (size_t i = 0; i < fit; ++i) modules[i] = reinterpret_cast<HMODULE>(list[i].base);
    return TRUE;
}

// ---- Version information ---------------------------------------------------------------------------

namespace {

bool readAt(int fd, uint64_t offset, void* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n =
            pread(fd, static_cast<char*>(buffer) + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The section's bytes; false with the last error set when the file has none.
bool readVersionSection(LPCWSTR path, std::vector<BYTE>& out) {
    const std::string name = PathToUtf8(path);
    if (name.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(PathError(name, errno));
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    // Every way out below but success means the file carries no version information.
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    struct stat st;
    Elf64_Ehdr eh;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !readAt(fd, 0, &eh, sizeof eh)) return false;
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
        eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shnum == 0 ||
        eh.e_shstrndx >= eh.e_shnum)
        return false;
    const uint64_t headersBytes = uint64_t{eh.e_shnum} * sizeof(Elf64_Shdr);
    if (headersBytes > MaxSectionHeadersBytes || eh.e_shoff > fileSize ||
        headersBytes > fileSize - eh.e_shoff)
        return false;
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    if (!readAt(fd, eh.e_shoff, sections.data(), headersBytes)) return false;
    const Elf64_Shdr& names = sections[eh.e_shstrndx];
    if (names.sh_size > MaxSectionNamesBytes || names.sh_offset > fileSize ||
        names.sh_size > fileSize - names.sh_offset)
        return false;
    std::vector<char> nameTable(names.sh_size + 1, 0);
    if (!readAt(fd, names.sh_offset, nameTable.data(), names.sh_size)) return false;
    for (const Elf64_Shdr& sh : sections) {
        if (sh.sh_name >= names.sh_size || std::strcmp(nameTable.data() + sh.sh_name, VersionSection) != 0)
            continue;
        if (sh.sh_type == SHT_NOBITS || sh.sh_size < sizeof(VersionMagic) + 8 ||
            sh.sh_size > MaxVersionBytes || sh.sh_offset > fileSize || sh.sh_size > fileSize - sh.sh_offset)
            return false;
        out.resize(sh.sh_size);
        if (!readAt(fd, sh.sh_offset, out.data(), out.size())) return false;
        if (std::memcmp(out.data(), VersionMagic, sizeof VersionMagic) != 0) return false;
        return true;
    }
    return false;
}

// Case-insensitive (ASCII) comparison of a UTF-16 path part with an ASCII name.
bool sameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char16_t c) {
            return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
        };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

}  // namespace

DWORD GetFileVersionInfoSizeW(LPCWSTR path, DWORD* handle) {
    if (handle) *handle = 0;
    const DWORD saved = GetLastError();
    std::vector<BYTE> data;
    if (!readVersionSection(path, data)) return 0;
    SetLastError(saved);
    return static_cast<DWORD>(data.size());
}

BOOL GetFileVersionInfoW(LPCWSTR path, DWORD /*handle*/, DWORD size, LPVOID out) {
    if (!out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD saved = GetLastError();
    std::vector<BYTE> data;
    if (!readVersionSection(path, data)) return FALSE;
    if (size < data.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    SetLastError(saved);
    std::memcpy(out, data.data(), data.size());
    return TRUE;
}

BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* value, UINT* length) {
    auto notFound = [] {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    };
    if (!block || !subBlock || !value || !length) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto* bytes = static_cast<const BYTE*>(block);
    DWORD total = 0, translations = 0;
    std::memcpy(&total, bytes + 8, 4);
    std::memcpy(&translations, bytes + 12, 4);
    const size_t fixedAt = 16, translationsAt = fixedAt + sizeof(VS_FIXEDFILEINFO);
    const size_t stringsAt = translationsAt + 4 * size_t{translations};
    if (std::memcmp(bytes, VersionMagic, sizeof VersionMagic) != 0 || total > MaxVersionBytes ||
        stringsAt > total)
        return notFound();

    // The query split at its separators; a leading separator is optional.
    std::vector<std::u16string> parts;
    std::u16string part;
    for (size_t i = 0;; ++i) {
        const char16_t c = subBlock[i];
        if (c == 0 || c == u'\\' || c == u'/') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
            if (c == 0) break;
        } else {
            part += c;
        }
    }
    if (parts.empty()) {
        *value = const_cast<BYTE*>(bytes + fixedAt);
        *length = sizeof(VS_FIXEDFILEINFO);
        return TRUE;
    }
    if (parts.size() == 2 && sameName(parts[0], u"VarFileInfo") && sameName(parts[1], u"Translation")) {
        if (translations == 0) return notFound();
        *value = const_cast<BYTE*>(bytes + translationsAt);
        *length = 4 * translations;
        return TRUE;
    }
    if (parts.size() != 3 || !sameName(parts[0], u"StringFileInfo") || parts[1].size() != 8)
        return notFound();
    const auto* text = reinterpret_cast<const char16_t*>(bytes + stringsAt);
    const size_t chars = (total - stringsAt) / 2;
    size_t pos = 0;
    auto next = [&](std::u16string_view& out) {
        const size_t start = pos;
        while (pos < chars && text[pos]) ++pos;
        if (pos >= chars) return false;
        out = std::u16string_view(text + start, pos - start);
        ++pos;
        return true;
    };
    for (DWORD t = 0; t < translations; ++t) {
        WORD pair[2];
        std::memcpy(pair, bytes + translationsAt + 4 * t, 4);
        char key[9];
        std::snprintf(key, sizeof key, "%04x%04x", pair[0], pair[1]);
        const bool wanted = sameName(parts[1], ToUtf16(key));
        for (;;) {
            std::u16string_view name, data;
            if (!next(name)) return notFound();
            if (name.empty()) break;
            if (!next(data)) return notFound();
            if (wanted && sameName(name, parts[2])) {
                *value = const_cast<char16_t*>(data.data());
                *length = static_cast<UINT>(data.size() + 1);
                return TRUE;
            }
        }
    }
    return notFound();
}
