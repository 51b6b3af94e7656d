// Resources of a module: byte blocks found by type and name, as the resource section of a Windows
// binary gives them. ELF objects have no such section, so resources are compiled in and made known
// here in three ways:
//  - code that shares this platform layer with the program (the program itself, the libraries
//    linked into it) registers a table of (type, name, bytes) for its module, usually from a static
//    object (ModuleResources below), which withdraws it when it is destroyed;
//  - a shared object built on its own exports its table as the data symbol VskModuleResources
//    (a ResourceTable; see VSK_MODULE_RESOURCES), read while the module is loaded, the way the
//    platform reads a module's resource section;
//  - an area that keeps resources elsewhere registers a source that answers for a module on demand
//    (the GUI area serves the program's resources from Qt's resource tree, ":/res/<TYPE>/<name>").
// A module's registered table is searched first, then its exported one, then its source.
//
// Type and name are texts or integer identifiers (MAKEINTRESOURCEW, a value below 0x10000 in the
// pointer); an identifier n is the same resource as the text "#n". Types and names match without
// regard to case. A missing type fails with ERROR_RESOURCE_TYPE_NOT_FOUND (1813), a missing name with
// ERROR_RESOURCE_NAME_NOT_FOUND (1814). The bytes stay valid while the module stays loaded (a
// source's bytes for the rest of the process).
#pragma once

#include <vsk/platform/module.h>
#include <vsk/platform/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
constexpr DWORD ERROR_RESOURCE_ENUM_USER_STOP = 15106;

using HRSRC = struct HRSRC__*;

inline LPCWSTR MAKEINTRESOURCEW(WORD id) {
    return reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(id));
}
inline bool IS_INTRESOURCE(LPCWSTR value) {
    return (reinterpret_cast<uintptr_t>(value) >> 16) == 0;
}
// A macro, as on the platform: an inline variable would be a unique symbol, and a shared object
// with one can never be unloaded.
#define RT_RCDATA MAKEINTRESOURCEW(10)

// Null `module`: the program. The handle stays valid while the module stays loaded.
HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
// The resource's data handle; LockResource turns it into the address of the bytes.
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
// 0 with ERROR_INVALID_HANDLE for a null resource.
DWORD SizeofResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL data);
// Resources need no freeing; FALSE (success), as on the platform.
BOOL FreeResource(HGLOBAL data);

// Calls `callback` with every name of `type` in the module, in the order the table or source gives
// them; an identifier name is passed as MAKEINTRESOURCEW, a text name as a NUL-terminated text
// valid during the call. A callback that returns FALSE stops the walk: FALSE with
// ERROR_RESOURCE_ENUM_USER_STOP.
using ENUMRESNAMEPROCW = BOOL (*)(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR param);
BOOL EnumResourceNamesW(HMODULE module, LPCWSTR type, ENUMRESNAMEPROCW callback, LONG_PTR param);

// ---- Registration ---------------------------------------------------------------------------------

// One resource of a table: type and name as texts ("#n" for an identifier) or MAKEINTRESOURCEW; the
// bytes belong to the module (static data).
struct ResourceEntry {
    LPCWSTR type;
    LPCWSTR name;
    const void* data;
    DWORD size;
};

// The table of the module that holds `addressInModule` (any function or object of it); registering
// again for the module replaces its table. The entries' texts and bytes must outlive the
// registration.
void RegisterModuleResources(const void* addressInModule, const ResourceEntry* entries, size_t count);
void UnregisterModuleResources(const void* addressInModule);

// The exported table of a shared object:
//   static const ResourceEntry entries[] = {{u"TEXT", u"hello", "Hi", 2}};
//   VSK_MODULE_RESOURCES(entries);
struct ResourceTable {
    const ResourceEntry* entries;
    size_t count;
};
#define VSK_MODULE_RESOURCES(entries)                       \
    extern "C" __attribute__((visibility("default"), used)) \
    const ResourceTable VskModuleResources = {entries, sizeof(entries) / sizeof((entries)[0])}

// Registers a table for the module it is defined in and withdraws it on destruction; a static
// object of the module's:
//   static const ModuleResources resources{{{u"TEXT", u"hello", "Hi", 2}}};
class ModuleResources {
public:
    ModuleResources(std::initializer_list<ResourceEntry> entries);
    ~ModuleResources();
    ModuleResources(const ModuleResources&) = delete;
    ModuleResources& operator=(const ModuleResources&) = delete;

private:
    std::vector<ResourceEntry> m_entries;
};

// A source of resources for one module. `names` lists the names of a type (case-insensitive
// `type` as the caller spelt it, "#n" for identifiers) and answers false when the module has no such
// type; `bytes` gives the bytes of one resource and answers false when it is missing. Both are called
// under the resource registry's lock and must not call the functions of this header.
struct ResourceSource {
    std::function<bool(const std::u16string& type, std::vector<std::u16string>& names)> names;
    std::function<bool(const std::u16string& type, const std::u16string& name, std::vector<BYTE>& bytes)>
        bytes;
};
// Null `module`: the program. An empty source withdraws the module's source.
void RegisterResourceSource(HMODULE module, ResourceSource source);
