// The WMI locator, the "ROOT\CIMV2" namespace and its three Win32_ classes, answered from Linux. A
// query reads its sources once, when it runs, into plain instances (name and value per property);
// the enumerator then hands those out. A source that cannot be read leaves its properties VT_NULL,
// which callers show as no line, so a container without DMI data simply has no manufacturer.
#include "comInternal.h"

#include <vsk/platform/kernel.h>
#include <vsk/platform/utf8.h>
#include <vsk/platform/wbem.h>

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>
#include <string_view>
#include <vector>

const CLSID CLSID_WbemLocator = {
    0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID IID_IWbemLocator = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID IID_IWbemServices = {0x9556DC99, 0x828C, 0x11CF, {0xA3, 0x7E, 0x00, 0xAA, 0x00, 0x32, 0x40, 0xC7}};
const IID IID_IEnumWbemClassObject = {
    0x027947E1, 0xD731, 0x11CE, {0xA3, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
const IID IID_IWbemClassObject = {
    0xDC12A681, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

namespace {

using vsk::kernel::TakeComFailure;

// ---- Sources ---------------------------------------------------------------------------------------------

thread_local std::string t_sourceRoot;

// The files read here are a few kilobytes (cpuinfo of a large machine about a megabyte); a larger
// one is not what it claims to be and counts as unreadable (WmiTest.OversizedSourceIsUnreadable).
constexpr size_t MaxSourceBytes = size_t(8) << 20;

bool readSource(const char* path, std::string& out) {
    out.clear();
    const std::string full = t_sourceRoot + path;
    const int fd = open(full.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // Files under /proc and /sys report no size; read until the end.
    char buffer[16384];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || out.size() + static_cast<size_t>(n) > MaxSourceBytes) {
            close(fd);
            if (n != 0) out.clear();
            return n == 0;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view Blanks = " \t\r\n\v\f";
    const size_t first = text.find_first_not_of(Blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(Blanks) - first + 1);
}

// Calls `line` for every line of `text`.
template <typename F>
void forEachLine(std::string_view text, F line) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        line(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

// A value of os-release(5): shell-like, optionally in single or double quotes; inside double quotes a
// backslash escapes $, ", \ and `.
std::string osReleaseValue(std::string_view raw) {
    raw = trimmed(raw);
    if (raw.size() < 2 || (raw.front() != '"' && raw.front() != '\'')) return std::string(raw);
    const char quote = raw.front();
    std::string value;
    for (size_t i = 1; i < raw.size() && raw[i] != quote; ++i) {
        if (quote == '"' && raw[i] == '\\' && i + 1 < raw.size() &&
            std::string_view("$\"\\`").find(raw[i + 1]) != std::string_view::npos)
            ++i;
        value += raw[i];
    }
    return value;
}

// PRETTY_NAME of os-release, "Linux" (the format's default) when the file has none; false when
// neither place of the file can be read.
bool osPrettyName(std::string& name) {
    std::string text;
    if (!readSource("/etc/os-release", text) && !readSource("/usr/lib/os-release", text)) return false;
    name = "Linux";
    forEachLine(text, [&](std::string_view line) {
        line = trimmed(line);
        if (line.substr(0, 12) == "PRETTY_NAME=") name = osReleaseValue(line.substr(12));
    });
    return true;
}

// A "Key: number kB" entry of /proc/meminfo.
bool meminfoValue(const std::string& text, std::string_view key, uint64_t& value) {
    bool found = false;
    forEachLine(text, [&](std::string_view line) {
        const size_t colon = line.find(':');
        if (found || colon == std::string_view::npos || trimmed(line.substr(0, colon)) != key) return;
        const std::string number(trimmed(line.substr(colon + 1)));
        char* end = nullptr;
        errno = 0;
        const unsigned long long parsed = std::strtoull(number.c_str(), &end, 10);
        if (end != number.c_str() && errno == 0) {
            value = parsed;
            found = true;
        }
    });
    return found;
}

// One processor block of /proc/cpuinfo: its "key : value" pairs in order.
using CpuBlock = std::vector<std::pair<std::string, std::string>>;

std::string fieldOf(const CpuBlock& block, std::string_view key) {
    for (const auto& [name, value] : block)
        if (name == key) return value;
    return {};
}

bool hasField(const CpuBlock& block, std::string_view key) {
    for (const auto& field : block)
        if (field.first == key) return true;
    return false;
}

// The blocks that describe a logical processor (they have a "processor" entry); empty when the file
// cannot be read.
std::vector<CpuBlock> readCpuBlocks() {
    std::vector<CpuBlock> blocks;
    std::string text;
    if (!readSource("/proc/cpuinfo", text)) return blocks;
    CpuBlock block;
    auto finish = [&] {
        if (hasField(block, "processor")) blocks.push_back(std::move(block));
        block.clear();
    };
    forEachLine(text, [&](std::string_view line) {
        if (trimmed(line).empty()) return finish();
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) return;
        block.emplace_back(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
    });
    finish();
    return blocks;
}

// The first block of each physical package, in the order of the file. Machines whose cpuinfo names
// no packages have one.
std::vector<const CpuBlock*> packagesOf(const std::vector<CpuBlock>& blocks) {
    std::vector<const CpuBlock*> packages;
    std::vector<std::string> seen;
    for (const CpuBlock& block : blocks) {
        std::string id = fieldOf(block, "physical id");
        bool known = false;
        for (const std::string& s : seen) known = known || s == id;
        if (known) continue;
        seen.push_back(std::move(id));
        packages.push_back(&block);
    }
    return packages;
}

std::string machineName() {
    utsname names{};
    return uname(&names) == 0 ? std::string(names.machine) : std::string();
}

// The processor's caption as the platform writes it for x86 ("Intel64 Family 6 Model 85 Stepping 7");
// elsewhere the machine name.
std::string processorCaption(const CpuBlock& block) {
    const std::string vendor = fieldOf(block, "vendor_id");
    std::string caption;
    if (vendor == "GenuineIntel")
        caption = "Intel64";
    else if (vendor == "AuthenticAMD" || vendor == "HygonGenuine")
        caption = "AMD64";
    else if (!vendor.empty())
        caption = "x64";
    else
        return machineName();
    const std::string family = fieldOf(block, "cpu family");
    const std::string model = fieldOf(block, "model");
    const std::string stepping = fieldOf(block, "stepping");
    if (!family.empty() && !model.empty() && !stepping.empty())
        caption += " Family " + family + " Model " + model + " Stepping " + stepping;
    return caption;
}

// The locale of the environment as the platform names it: its LCID, telephone country code and
// language tag. A locale outside this table leaves the three properties VT_NULL.
struct LocaleEntry {
    std::string_view name;
    LONG lcid;
    const char* countryCode;
    const char* tag;
};
constexpr LocaleEntry Locales[] = {
    {"ru_RU", 0x0419, "7", "ru-RU"},   {"en_US", 0x0409, "1", "en-US"},  {"en_GB", 0x0809, "44", "en-GB"},
    {"de_DE", 0x0407, "49", "de-DE"},  {"fr_FR", 0x040C, "33", "fr-FR"}, {"uk_UA", 0x0422, "380", "uk-UA"},
    {"be_BY", 0x0423, "375", "be-BY"}, {"kk_KZ", 0x043F, "7", "kk-KZ"},
};

// LC_ALL, else LANG, as the C library would choose for the whole locale; "C" and "POSIX" (and no
// setting) are American English, as the messages of the C locale are. A language with an unknown
// territory takes the language's first entry.
const LocaleEntry* environmentLocale() {
    const char* value = std::getenv("LC_ALL");
    if (!value || !*value) value = std::getenv("LANG");
    std::string_view name = value ? value : "";
    name = name.substr(0, name.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") name = "en_US";
    for (const LocaleEntry& entry : Locales)
        if (entry.name == name) return &entry;
    const std::string_view language = name.substr(0, name.find('_'));
    for (const LocaleEntry& entry : Locales)
        if (entry.name.substr(0, entry.name.find('_')) == language) return &entry;
    return nullptr;
}

// ---- Values and instances -------------------------------------------------------------------------------

std::u16string fromUtf8(std::string_view text) {
    return vsk::kernel::Utf8ToUtf16(text);
}

// One property: VT_NULL, VT_I2 or VT_I4 (number), VT_BSTR (texts[0]) or VT_ARRAY | VT_BSTR (texts).
struct Property {
    std::u16string name;
    VARTYPE vt = VT_NULL;
    LONG number = 0;
    std::vector<std::u16string> texts;
};

Property nullProperty(const char* name) {
    return Property{fromUtf8(name), VT_NULL, 0, {}};
}
Property numberProperty(const char* name, LONG value, VARTYPE vt = VT_I4) {
    return Property{fromUtf8(name), vt, value, {}};
}
Property textProperty(const char* name, std::string_view value) {
    return Property{fromUtf8(name), VT_BSTR, 0, {fromUtf8(value)}};
}
Property textOrNull(const char* name, bool known, std::string_view value) {
    return known ? textProperty(name, value) : nullProperty(name);
}

HRESULT toVariant(const Property& property, VARIANT& out) {
    VariantInit(&out);
    switch (property.vt) {
        case VT_I2:
            out.vt = VT_I2;
            out.iVal = static_cast<SHORT>(property.number);
            return S_OK;
        case VT_I4:
            out.vt = VT_I4;
            out.lVal = property.number;
            return S_OK;
        case VT_BSTR: {
            const std::u16string& text = property.texts.front();
            out.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            if (!out.bstrVal) return E_OUTOFMEMORY;
            out.vt = VT_BSTR;
            return S_OK;
        }
        case VT_ARRAY | VT_BSTR: {
            SAFEARRAYBOUND bound{static_cast<ULONG>(property.texts.size()), 0};
            SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 1, &bound);
            if (!array) return E_OUTOFMEMORY;
            auto* items = static_cast<BSTR*>(array->pvData);
            for (size_t i = 0; i < property.texts.size(); ++i) {
                items[i] =
                    SysAllocStringLen(property.texts[i].data(), static_cast<UINT>(property.texts[i].size()));
                if (!items[i]) {
                    SafeArrayDestroy(array);
                    return E_OUTOFMEMORY;
                }
            }
            out.vt = VT_ARRAY | VT_BSTR;
            out.parray = array;
            return S_OK;
        }
        default:
            out.vt = VT_NULL;
            return S_OK;
    }
}

bool sameName(std::u16string_view a, const WCHAR* b) {
    size_t i = 0;
    for (; i < a.size(); ++i)
        if (b[i] == 0 || towlower16(a[i]) != towlower16(b[i])) return false;
    return b[i] == 0;
}

using Instance = std::vector<Property>;

// Every instance starts with the system properties the platform lists first.
Instance newInstance(const char* className) {
    return Instance{numberProperty("__GENUS", 2), textProperty("__CLASS", className)};
}

void operatingSystem(std::vector<Instance>& out) {
    Instance os = newInstance("Win32_OperatingSystem");
    std::string caption;
    const bool haveCaption = osPrettyName(caption);
    os.push_back(textOrNull("Caption", haveCaption, caption));

    std::string release;
    if (readSource("/proc/sys/kernel/osrelease", release)) release = std::string(trimmed(release));
    utsname names{};
    const bool haveNames = uname(&names) == 0;
    if (release.empty() && haveNames) release = names.release;
    os.push_back(textOrNull("Version", !release.empty(), release));
    const std::string_view machine = haveNames ? names.machine : "";
    os.push_back(
        textOrNull("OSArchitecture", haveNames,
                   machine.find("64") != std::string_view::npos || machine == "s390x" ? "64-bit" : "32-bit"));

    const LocaleEntry* locale = environmentLocale();
    os.push_back(locale ? numberProperty("OSLanguage", locale->lcid) : nullProperty("OSLanguage"));
    // The 8-bit code page of the platform's ANSI texts (CP_ACP).
    os.push_back(textProperty("CodeSet", "1251"));
    os.push_back(textOrNull("CountryCode", locale != nullptr, locale ? locale->countryCode : ""));

    // The zone as it is now, not as it was when the process first asked.
    tzset();
    const time_t now = time(nullptr);
    tm local{};
    if (localtime_r(&now, &local))
        os.push_back(numberProperty("CurrentTimeZone", static_cast<LONG>(local.tm_gmtoff / 60), VT_I2));
    else
        os.push_back(nullProperty("CurrentTimeZone"));

    if (locale) {
        static constexpr char Hex[] = "0123456789abcdef";
        std::string lcid(4, '0');
        for (int i = 0; i < 4; ++i) lcid[3 - i] = Hex[(locale->lcid >> (4 * i)) & 0xF];
        os.push_back(textProperty("Locale", lcid));
    } else {
        os.push_back(nullProperty("Locale"));
    }
    os.push_back(numberProperty("ServicePackMajorVersion", 0));
    os.push_back(numberProperty("ServicePackMinorVersion", 0));

    std::string meminfo;
    uint64_t memTotal = 0, swapTotal = 0;
    const bool haveMemory =
        readSource("/proc/meminfo", meminfo) && meminfoValue(meminfo, "MemTotal", memTotal);
    if (haveMemory) meminfoValue(meminfo, "SwapTotal", swapTotal);
    os.push_back(textOrNull("TotalVirtualMemorySize", haveMemory, std::to_string(memTotal + swapTotal)));
    os.push_back(textOrNull("TotalVisibleMemorySize", haveMemory, std::to_string(memTotal)));

    if (locale) {
        os.push_back(Property{u"MUILanguages", VT_ARRAY | VT_BSTR, 0, {fromUtf8(locale->tag)}});
    } else {
        os.push_back(nullProperty("MUILanguages"));
    }
    out.push_back(std::move(os));
}

// A DMI text of the firmware; absent (as in containers and on machines without DMI) or empty gives
// VT_NULL.
Property dmiProperty(const char* name, const char* file) {
    std::string text;
    const bool known = readSource(file, text) && !trimmed(text).empty();
    return textOrNull(name, known, trimmed(text));
}

void computerSystem(std::vector<Instance>& out) {
    Instance computer = newInstance("Win32_ComputerSystem");
    computer.push_back(dmiProperty("Manufacturer", "/sys/class/dmi/id/sys_vendor"));
    computer.push_back(dmiProperty("Model", "/sys/class/dmi/id/product_name"));
    const std::vector<CpuBlock> blocks = readCpuBlocks();
    if (blocks.empty())
        computer.push_back(nullProperty("NumberOfProcessors"));
    else
        computer.push_back(
            numberProperty("NumberOfProcessors", static_cast<LONG>(packagesOf(blocks).size())));
    // cpuinfo lists the processors online; sysconf counts them where its format differs.
    LONG logical = static_cast<LONG>(blocks.size());
    if (logical == 0) logical = static_cast<LONG>(sysconf(_SC_NPROCESSORS_ONLN));
    computer.push_back(logical > 0 ? numberProperty("NumberOfLogicalProcessors", logical)
                                   : nullProperty("NumberOfLogicalProcessors"));
    out.push_back(std::move(computer));
}

void processors(std::vector<Instance>& out) {
    const std::vector<CpuBlock> blocks = readCpuBlocks();
    for (const CpuBlock* package : packagesOf(blocks)) {
        Instance processor = newInstance("Win32_Processor");
        const std::string caption = processorCaption(*package);
        processor.push_back(textOrNull("Caption", !caption.empty(), caption));
        const std::string name = fieldOf(*package, "model name");
        processor.push_back(textOrNull("Name", !name.empty(), name));
        out.push_back(std::move(processor));
    }
}

struct ClassEntry {
    const char16_t* name;
    void (*read)(std::vector<Instance>& out);
};
constexpr ClassEntry Classes[] = {
    {u"Win32_OperatingSystem", operatingSystem},
    {u"Win32_ComputerSystem", computerSystem},
    {u"Win32_Processor", processors},
};

// ---- COM objects -----------------------------------------------------------------------------------------

// Reference counting and QueryInterface for an object with one interface besides IUnknown.
template <class Interface>
class ComObject : public Interface {
public:
    explicit ComObject(const IID& iid) : m_iid(iid) {}
    virtual ~ComObject() = default;

    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (!(iid == IID_IUnknown) && !(iid == m_iid)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        *out = static_cast<Interface*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> m_refs{1};
    const IID& m_iid;
};

class ClassObject final : public ComObject<IWbemClassObject> {
public:
    explicit ClassObject(Instance instance)
        : ComObject(IID_IWbemClassObject), m_instance(std::move(instance)) {}

    HRESULT Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
        if (HRESULT hr = TakeComFailure(ComCall::Get); FAILED(hr)) return hr;
        if (!name || flags != 0) return WBEM_E_INVALID_PARAMETER;
        if (type || flavor) return WBEM_E_NOT_SUPPORTED;
        for (const Property& property : m_instance) {
            if (!sameName(property.name, name)) continue;
            return value ? toVariant(property, *value) : S_OK;
        }
        return WBEM_E_NOT_FOUND;
    }

    HRESULT GetNames(LPCWSTR qualifierName, LONG flags, VARIANT* qualifierValue, SAFEARRAY** names) override {
        if (HRESULT hr = TakeComFailure(ComCall::GetNames); FAILED(hr)) return hr;
        if (!names || qualifierName || qualifierValue || flags != WBEM_FLAG_ALWAYS)
            return WBEM_E_INVALID_PARAMETER;
        *names = nullptr;
        SAFEARRAYBOUND bound{static_cast<ULONG>(m_instance.size()), 0};
        SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 1, &bound);
        if (!array) return E_OUTOFMEMORY;
        auto* items = static_cast<BSTR*>(array->pvData);
        for (size_t i = 0; i < m_instance.size(); ++i) {
            const std::u16string& name = m_instance[i].name;
            items[i] = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
            if (!items[i]) {
                SafeArrayDestroy(array);
                return E_OUTOFMEMORY;
            }
        }
        *names = array;
        return S_OK;
    }

private:
    const Instance m_instance;
};

class Enumerator final : public ComObject<IEnumWbemClassObject> {
public:
    explicit Enumerator(std::vector<Instance> instances)
        : ComObject(IID_IEnumWbemClassObject), m_instances(std::move(instances)) {}

    HRESULT Next(LONG, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
        if (!objects || !returned) return WBEM_E_INVALID_PARAMETER;
        *returned = 0;
        if (HRESULT hr = TakeComFailure(ComCall::Next); FAILED(hr)) return hr;
        while (*returned < count && m_next < m_instances.size()) {
            auto* object = new (std::nothrow) ClassObject(m_instances[m_next]);
            if (!object) return E_OUTOFMEMORY;
            objects[(*returned)++] = object;
            ++m_next;
        }
        return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }

private:
    const std::vector<Instance> m_instances;
    size_t m_next = 0;
};

// The words of a query, split at blanks.
std::vector<std::u16string_view> words(std::u16string_view text) {
    std::vector<std::u16string_view> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() &&
               (text[i] == u' ' || text[i] == u'\t' || text[i] == u'\r' || text[i] == u'\n'))
            ++i;
        const size_t start = i;
        while (i < text.size() && text[i] != u' ' && text[i] != u'\t' && text[i] != u'\r' && text[i] != u'\n')
            ++i;
        if (i > start) out.push_back(text.substr(start, i - start));
    }
    return out;
}

class Services final : public ComObject<IWbemServices> {
public:
    Services() : ComObject(IID_IWbemServices) {}

    HRESULT ExecQuery(const BSTR language, const BSTR query, LONG, IWbemContext*,
                      IEnumWbemClassObject** enumerator) override {
        if (!enumerator || !language || !query) return WBEM_E_INVALID_PARAMETER;
        *enumerator = nullptr;
        if (HRESULT hr = TakeComFailure(ComCall::ExecQuery); FAILED(hr)) return hr;
        if (!sameName(u"WQL", language)) return WBEM_E_INVALID_QUERY_TYPE;
        const std::vector<std::u16string_view> parts = words(query);
        if (parts.size() != 4 || !sameName(parts[0], u"SELECT") || parts[1] != u"*" ||
            !sameName(parts[2], u"FROM"))
            return WBEM_E_INVALID_QUERY;
        for (const ClassEntry& entry : Classes) {
            if (!sameName(parts[3], entry.name)) continue;
            std::vector<Instance> instances;
            try {
                entry.read(instances);
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            auto* result = new (std::nothrow) Enumerator(std::move(instances));
            if (!result) return E_OUTOFMEMORY;
            *enumerator = result;
            return WBEM_S_NO_ERROR;
        }
        return WBEM_E_INVALID_CLASS;
    }
};

class Locator final : public ComObject<IWbemLocator> {
public:
    Locator() : ComObject(IID_IWbemLocator) {}

    HRESULT ConnectServer(const BSTR networkResource, const BSTR, const BSTR, const BSTR, LONG, const BSTR,
                          IWbemContext*, IWbemServices** services) override {
        if (!services || !networkResource) return WBEM_E_INVALID_PARAMETER;
        *services = nullptr;
        if (HRESULT hr = TakeComFailure(ComCall::ConnectServer); FAILED(hr)) return hr;
        if (!sameName(u"ROOT\\CIMV2", networkResource)) return WBEM_E_INVALID_NAMESPACE;
        auto* result = new (std::nothrow) Services;
        if (!result) return E_OUTOFMEMORY;
        *services = result;
        return WBEM_S_NO_ERROR;
    }
};

HRESULT createLocator(REFIID iid, void** out) {
    auto* locator = new (std::nothrow) Locator;
    if (!locator) return E_OUTOFMEMORY;
    const HRESULT hr = locator->QueryInterface(iid, out);
    locator->Release();
    return hr;
}

// Whoever names CLSID_WbemLocator links this file, and with it the registration.
const struct LocatorRegistration {
    LocatorRegistration() { RegisterComClass(CLSID_WbemLocator, createLocator); }
} locatorRegistration;

}  // namespace

void SetWmiSourceRoot(const char* root) {
    t_sourceRoot = root ? root : "";
}
