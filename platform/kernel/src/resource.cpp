// Module resources over compiled-in tables and registered sources (see vsk/platform/resource.h).
//
// Types and names are compared as upper-cased texts; identifiers become "#n" first. One lock guards
// the registered tables, the sources and the resources fetched from sources; the callbacks of
// EnumResourceNamesW run outside it, and a module's exported table is looked up before it is taken.
#include <vsk/platform/kernel.h>
#include <vsk/platform/resource.h>

#include <dlfcn.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

// An HRSRC is the address of the resource's entry: in a registered table (kept here while it is
// registered), in a module's exported table (inside the module), or in a record fetched from a
// source (kept for the rest of the process).
HRSRC handleOf(const ResourceEntry* entry) {
    return reinterpret_cast<HRSRC>(const_cast<ResourceEntry*>(entry));
}
const ResourceEntry* entryOf(HRSRC resource) {
    return reinterpret_cast<const ResourceEntry*>(resource);
}

// LoadResource must give a non-null handle for a resource of zero bytes.
const BYTE EmptyResource[1] = {0};

struct Fetched {
    ResourceEntry entry{};
    std::u16string type, name;
    std::vector<BYTE> bytes;
};

struct ResourceState {
    std::recursive_mutex lock;
    std::map<uintptr_t, std::vector<ResourceEntry>> tables;  // by module base
    std::map<uintptr_t, ResourceSource> sources;             // by module base
    std::map<std::tuple<uintptr_t, std::u16string, std::u16string>, Fetched> fetched;
};

ResourceState& state() {
    // Constructed by the first registration, so the static tables of modules, which withdraw
    // themselves on destruction, are destroyed before it.
    static ResourceState s;
    return s;
}

std::u16string textOf(LPCWSTR value) {
    if (IS_INTRESOURCE(value)) {
        const std::string digits = std::to_string(reinterpret_cast<uintptr_t>(value));
        return u"#" + std::u16string(digits.begin(), digits.end());
    }
    return std::u16string(value);
}

std::u16string keyOf(const std::u16string& text) {
    std::u16string key = text;
    for (auto& c : key) c = towupper16(c);
    return key;
}

uintptr_t baseOfAddress(const void* address) {
    Dl_info info{};
    if (!address || !dladdr(address, &info)) return 0;
    return reinterpret_cast<uintptr_t>(info.dli_fbase);
}

uintptr_t baseOfModule(HMODULE module) {
    return reinterpret_cast<uintptr_t>(module ? module : GetModuleHandleW(nullptr));
}

// The table a module exports, looked up without the resource lock (the module loader has a lock of
// its own and runs registrations under it). The thread's last error is left as it was.
std::span<const ResourceEntry> exportedTable(uintptr_t base) {
    const DWORD lastError = GetLastError();
    const auto* table = reinterpret_cast<const ResourceTable*>(
        GetProcAddress(reinterpret_cast<HMODULE>(base), "VskModuleResources"));
    SetLastError(lastError);
    if (!table || (table->count && !table->entries)) return {};
    return {table->entries, table->count};
}

// The resources of `type` in one module, in the order they are searched: the registered table, the
// exported table, the source's names. Under the lock; a source's resources are fetched on demand.
class ModuleView {
public:
    ModuleView(ResourceState& s, uintptr_t base, std::span<const ResourceEntry> exported)
        : m_state(s), m_base(base), m_exported(exported) {}

    // Whether the module has the type; `names` receives every name of it once, in order.
    bool names(const std::u16string& type, std::vector<std::u16string>& names) {
        const std::u16string typeKey = keyOf(type);
        std::set<std::u16string> seen;
        bool haveType = false;
        auto take = [&](const std::u16string& name) {
            if (seen.insert(keyOf(name)).second) names.push_back(name);
        };
        for (std::span<const ResourceEntry> table : tables())
            for (const ResourceEntry& e : table)
                if (valid(e) && keyOf(textOf(e.type)) == typeKey) haveType = true, take(textOf(e.name));
        if (ResourceSource* source = this->source(); source && source->names) {
            std::vector<std::u16string> more;
            if (source->names(type, more)) {
                haveType = true;
                for (const auto& name : more) take(name);
            }
        }
        return haveType;
    }

    // The entry of the resource; null with the code of what is missing.
    const ResourceEntry* find(const std::u16string& type, const std::u16string& name, DWORD& missing) {
        const std::u16string typeKey = keyOf(type), nameKey = keyOf(name);
        bool haveType = false;
        for (std::span<const ResourceEntry> table : tables()) {
            for (const ResourceEntry& e : table) {
                if (!valid(e) || keyOf(textOf(e.type)) != typeKey) continue;
                haveType = true;
                if (keyOf(textOf(e.name)) == nameKey) return &e;
            }
        }
        ResourceSource* source = this->source();
        const auto key = std::make_tuple(m_base, typeKey, nameKey);
        if (auto f = m_state.fetched.find(key); source && f != m_state.fetched.end()) return &f->second.entry;
        std::vector<std::u16string> names;
        if (source && source->names && source->names(type, names)) {
            haveType = true;
            for (const auto& candidate : names) {
                if (keyOf(candidate) != nameKey) continue;
                std::vector<BYTE> bytes;
                if (!source->bytes || !source->bytes(type, candidate, bytes)) break;
                Fetched& f = m_state.fetched[key];
                f.type = type;
                f.name = candidate;
                f.bytes = std::move(bytes);
                f.entry = {f.type.c_str(), f.name.c_str(), f.bytes.data(),
                           static_cast<DWORD>(f.bytes.size())};
                return &f.entry;
            }
        }
        missing = haveType ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND;
        return nullptr;
    }

private:
    static bool valid(const ResourceEntry& e) { return e.type && e.name && (e.size == 0 || e.data); }

    std::vector<std::span<const ResourceEntry>> tables() const {
        std::vector<std::span<const ResourceEntry>> out;
        if (auto t = m_state.tables.find(m_base); t != m_state.tables.end()) out.emplace_back(t->second);
        out.push_back(m_exported);
        return out;
    }
    ResourceSource* source() {
        auto it = m_state.sources.find(m_base);
        return it == m_state.sources.end() ? nullptr : &it->second;
    }

    ResourceState& m_state;
    uintptr_t m_base;
    std::span<const ResourceEntry> m_exported;
};

}  // namespace

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    if (!name || !type) {
        SetLastError(!type ? ERROR_RESOURCE_TYPE_NOT_FOUND : ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    ResourceState& s = state();
    const uintptr_t base = baseOfModule(module);
    const auto exported = exportedTable(base);
    std::lock_guard guard(s.lock);
    DWORD missing = 0;
    const ResourceEntry* entry = ModuleView(s, base, exported).find(textOf(type), textOf(name), missing);
    if (!entry) {
        SetLastError(missing);
        return nullptr;
    }
    return handleOf(entry);
}

HGLOBAL LoadResource(HMODULE, HRSRC resource) {
    if (!resource) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const ResourceEntry* entry = entryOf(resource);
    const void* data = entry->size ? entry->data : EmptyResource;
    return const_cast<void*>(data);
}

DWORD SizeofResource(HMODULE, HRSRC resource) {
    if (!resource) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return entryOf(resource)->size;
}

LPVOID LockResource(HGLOBAL data) {
    return data;
}

BOOL FreeResource(HGLOBAL) {
    return FALSE;
}

BOOL EnumResourceNamesW(HMODULE module, LPCWSTR type, ENUMRESNAMEPROCW callback, LONG_PTR param) {
    if (!type || !callback) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ResourceState& s = state();
    const uintptr_t base = baseOfModule(module);
    const auto exported = exportedTable(base);
    std::vector<std::u16string> names;
    bool haveType;
    {
        std::lock_guard guard(s.lock);
        haveType = ModuleView(s, base, exported).names(textOf(type), names);
    }
    if (!haveType) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    // Outside the lock: the callback may look the resources up.
    for (std::u16string& name : names) {
        // "#n" goes out as the identifier it stands for.
        LPWSTR passed = name.data();
        if (name.size() > 1 && name.size() <= 6 && name[0] == u'#') {
            uint32_t id = 0;
            bool digits = true;
            for (size_t i = 1; i < name.size(); ++i) {
                if (name[i] < u'0' || name[i] > u'9') digits = false;
                id = id * 10 + static_cast<uint32_t>(name[i] - u'0');
            }
            if (digits && id <= 0xFFFF) passed = const_cast<LPWSTR>(MAKEINTRESOURCEW(static_cast<WORD>(id)));
        }
        if (!callback(module, type, passed, param)) {
            SetLastError(ERROR_RESOURCE_ENUM_USER_STOP);
            return FALSE;
        }
    }
    return TRUE;
}

void RegisterModuleResources(const void* addressInModule, const ResourceEntry* entries, size_t count) {
    const uintptr_t base = baseOfAddress(addressInModule);
    if (!base || (count && !entries)) return;
    ResourceState& s = state();
    std::lock_guard guard(s.lock);
    s.tables[base].assign(entries, entries + count);
}

void UnregisterModuleResources(const void* addressInModule) {
    const uintptr_t base = baseOfAddress(addressInModule);
    ResourceState& s = state();
    std::lock_guard guard(s.lock);
    s.tables.erase(base);
}

ModuleResources::ModuleResources(std::initializer_list<ResourceEntry> entries) : m_entries(entries) {
    RegisterModuleResources(this, m_entries.data(), m_entries.size());
}

ModuleResources::~ModuleResources() {
    UnregisterModuleResources(this);
}

void RegisterResourceSource(HMODULE module, ResourceSource source) {
    const uintptr_t base = baseOfModule(module);
    ResourceState& s = state();
    std::lock_guard guard(s.lock);
    if (!source.names && !source.bytes)
        s.sources.erase(base);
    else
        s.sources[base] = std::move(source);
}
