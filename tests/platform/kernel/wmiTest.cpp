// COM initialisation and object creation, and the WMI stand-in: its query rules, the instances it
// makes from a fixture's files and the locale of the environment, and the failures tests inject.
#include "kernelTestRoot.h"

#include <vsk/platform/kernelTesting.h>
#include <vsk/platform/wbem.h>

#include <gtest/gtest.h>

#include <sys/utsname.h>
#include <ctime>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using VskTest::EnvGuard;

// A value as the tests compare it: "null", "I4 1049", "I2 180", "S text" or "A tag,tag".
std::string describe(const VARIANT& v) {
    switch (v.vt) {
        case VT_NULL:
            return "null";
        case VT_I4:
            return "I4 " + std::to_string(v.lVal);
        case VT_I2:
            return "I2 " + std::to_string(v.iVal);
        case VT_BSTR:
            return "S " + Utf8(std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal)));
        case VT_ARRAY | VT_BSTR: {
            std::string text = "A ";
            auto* items = static_cast<BSTR*>(v.parray->pvData);
            for (ULONG i = 0; i < v.parray->rgsabound[0].cElements; ++i)
                text += (i ? "," : "") + Utf8(std::u16string_view(items[i], SysStringLen(items[i])));
            return text;
        }
        default:
            return "vt " + std::to_string(v.vt);
    }
}

using Instance = std::vector<std::pair<std::string, std::string>>;

struct Bstr {
    explicit Bstr(const char16_t* text) : s(SysAllocString(text)) {}
    ~Bstr() { SysFreeString(s); }
    BSTR s;
};

std::string uname(bool release) {
    utsname names{};
    EXPECT_EQ(::uname(&names), 0);
    return release ? names.release : names.machine;
}

// Each test runs in COM's multi-threaded model with a connected namespace, its files under a root of
// its own (empty until the test writes some).
class WmiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                   reinterpret_cast<void**>(&locator)),
                  S_OK);
        Bstr space(u"ROOT\\CIMV2");
        ASSERT_EQ(locator->ConnectServer(space.s, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services),
                  WBEM_S_NO_ERROR);
        files = root.path() + "/sources";
        std::filesystem::create_directories(files);
        SetWmiSourceRoot(files.c_str());
    }
    void TearDown() override {
        SetWmiSourceRoot(nullptr);
        ComClearFailures();
        if (services) services->Release();
        if (locator) locator->Release();
        CoUninitialize();
    }

    void write(const std::string& path, const std::string& content) {
        const std::filesystem::path full = files + path;
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full, std::ios::binary) << content;
    }

    HRESULT exec(const char16_t* language, const char16_t* query, IEnumWbemClassObject** out) {
        Bstr l(language), q(query);
        return services->ExecQuery(l.s, q.s, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                   out);
    }

    // Every instance of the class with all its properties, in the order GetNames gives them.
    std::vector<Instance> instances(const char16_t* className) {
        std::vector<Instance> all;
        IEnumWbemClassObject* enumerator = nullptr;
        const std::u16string query = u"SELECT * FROM " + std::u16string(className);
        EXPECT_EQ(exec(u"WQL", query.c_str(), &enumerator), WBEM_S_NO_ERROR);
        if (!enumerator) return all;
        for (;;) {
            IWbemClassObject* object = nullptr;
            ULONG returned = 0;
            const HRESULT hr = enumerator->Next(WBEM_INFINITE, 1, &object, &returned);
            if (returned == 0) {
                EXPECT_EQ(hr, WBEM_S_FALSE);
                break;
            }
            SAFEARRAY* names = nullptr;
            EXPECT_EQ(object->GetNames(nullptr, WBEM_FLAG_ALWAYS, nullptr, &names), S_OK);
            BSTR* items = nullptr;
            EXPECT_EQ(SafeArrayAccessData(names, reinterpret_cast<void**>(&items)), S_OK);
            Instance instance;
            for (ULONG i = 0; i < names->rgsabound[0].cElements; ++i) {
                VARIANT value;
                VariantInit(&value);
                EXPECT_EQ(object->Get(items[i], 0, &value, nullptr, nullptr), S_OK);
                instance.emplace_back(Utf8(std::u16string_view(items[i], SysStringLen(items[i]))),
                                      describe(value));
                VariantClear(&value);
            }
            SafeArrayUnaccessData(names);
            SafeArrayDestroy(names);
            object->Release();
            all.push_back(std::move(instance));
        }
        enumerator->Release();
        return all;
    }

    // One property of the only (or first) instance.
    std::string property(const char16_t* className, const std::string& name) {
        const std::vector<Instance> all = instances(className);
        if (all.empty()) return "no instance";
        for (const auto& [n, value] : all.front())
            if (n == name) return value;
        return "no property";
    }

    KernelTestRoot root;
    std::string files;
    IWbemLocator* locator = nullptr;
    IWbemServices* services = nullptr;
};

constexpr char TwoPackages[] =
    "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 85\n"
    "model name\t: Intel(R) Xeon(R) Gold 6230 CPU @ 2.10GHz\nstepping\t: 7\nphysical id\t: 0\n\n"
    "processor\t: 1\nvendor_id\t: AuthenticAMD\ncpu family\t: 23\nmodel\t\t: 49\n"
    "model name\t: AMD EPYC 7742 64-Core Processor\nstepping\t: 0\nphysical id\t: 1\n\n"
    "processor\t: 2\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 85\n"
    "model name\t: Intel(R) Xeon(R) Gold 6230 CPU @ 2.10GHz\nstepping\t: 7\nphysical id\t: 0\n\n"
    "processor\t: 3\nvendor_id\t: AuthenticAMD\ncpu family\t: 23\nmodel\t\t: 49\n"
    "model name\t: AMD EPYC 7742 64-Core Processor\nstepping\t: 0\nphysical id\t: 1\n";

TEST(ComInitTest, ModelsNestAndExcludeEachOther) {
    EXPECT_EQ(CoInitializeEx(nullptr, 1), E_INVALIDARG);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE);
    CoUninitialize();
    // One call still holds the model.
    EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE);
    CoUninitialize();
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();
    // A failure injected into initialisation hits both models.
    ComFailNext(ComCall::Initialize, E_OUTOFMEMORY, 2);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), E_OUTOFMEMORY);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), E_OUTOFMEMORY);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
}

TEST(ComInitTest, LocatorNeedsInitialisationAndAnInProcessContext) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, &out),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, 0x4, IID_IWbemLocator, &out), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(IID_IWbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator, &out),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemServices, &out),
              E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IUnknown, &out), S_OK);
    auto* unknown = static_cast<IUnknown*>(out);
    IWbemLocator* locator = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IWbemLocator, reinterpret_cast<void**>(&locator)), S_OK);
    unknown->Release();
    IWbemServices* services = nullptr;
    Bstr lower(u"root\\cimv2"), other(u"ROOT\\DEFAULT");
    EXPECT_EQ(locator->ConnectServer(other.s, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services),
              WBEM_E_INVALID_NAMESPACE);
    EXPECT_EQ(services, nullptr);
    ASSERT_EQ(locator->ConnectServer(lower.s, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services),
              WBEM_S_NO_ERROR);
    EXPECT_EQ(CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
              S_OK);
    EXPECT_EQ(CoSetProxyBlanket(nullptr, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
              E_INVALIDARG);
    services->Release();
    locator->Release();
    CoUninitialize();
}

TEST_F(WmiTest, QueriesAreWqlSelectAllOfAKnownClass) {
    struct Row {
        const char16_t* language;
        const char16_t* query;
        HRESULT expected;
    };
    const Row rows[] = {
        {u"WQL", u"SELECT * FROM Win32_Processor", WBEM_S_NO_ERROR},
        {u"wql", u"  select\t*  from win32_operatingsystem ", WBEM_S_NO_ERROR},
        {u"WQL", u"SELECT * FROM Win32_ComputerSystem", WBEM_S_NO_ERROR},
        {u"SQL", u"SELECT * FROM Win32_Processor", WBEM_E_INVALID_QUERY_TYPE},
        {u"WQL", u"SELECT Name FROM Win32_Processor", WBEM_E_INVALID_QUERY},
        {u"WQL", u"SELECT * FROM", WBEM_E_INVALID_QUERY},
        {u"WQL", u"SELECT * FROM Win32_Processor WHERE", WBEM_E_INVALID_QUERY},
        {u"WQL", u"SELECT * FROM Win32_Nothing", WBEM_E_INVALID_CLASS},
        {u"WQL", u"SELECT * FROM Processor", WBEM_E_INVALID_CLASS},
    };
    for (const Row& row : rows) {
        IEnumWbemClassObject* enumerator = reinterpret_cast<IEnumWbemClassObject*>(1);
        EXPECT_EQ(exec(row.language, row.query, &enumerator), row.expected) << Utf8(row.query);
        EXPECT_EQ(enumerator != nullptr, SUCCEEDED(row.expected)) << Utf8(row.query);
        if (enumerator) enumerator->Release();
    }
}

TEST_F(WmiTest, InstancesComeFromTheFilesAndTheEnvironment) {
    write("/etc/os-release", "NAME=Other\nPRETTY_NAME=\"Test \\\"Linux\\\" 1 \\$x\"\nID=test\n");
    write("/proc/sys/kernel/osrelease", "6.1.0-test\n");
    write("/proc/meminfo",
          "MemTotal:       16318412 kB\nMemFree:         1000 kB\nSwapTotal:       1048572 kB\n");
    write("/proc/cpuinfo", TwoPackages);
    write("/sys/class/dmi/id/sys_vendor", "Maker Ltd\n");
    // No product_name: the model is NULL, as in a container without DMI data.
    EnvGuard all("LC_ALL", nullptr), lang("LANG", "ru_RU.UTF-8"), zone("TZ", "UTC-3");

    const std::string architecture =
        uname(false).find("64") != std::string::npos || uname(false) == "s390x" ? "S 64-bit" : "S 32-bit";
    const std::vector<Instance> os = instances(u"Win32_OperatingSystem");
    ASSERT_EQ(os.size(), 1u);
    EXPECT_EQ(os[0], (Instance{
                         {"__GENUS", "I4 2"},
                         {"__CLASS", "S Win32_OperatingSystem"},
                         {"Caption", "S Test \"Linux\" 1 $x"},
                         {"Version", "S 6.1.0-test"},
                         {"OSArchitecture", architecture},
                         {"OSLanguage", "I4 1049"},
                         {"CodeSet", "S 1251"},
                         {"CountryCode", "S 7"},
                         {"CurrentTimeZone", "I2 180"},
                         {"Locale", "S 0419"},
                         {"ServicePackMajorVersion", "I4 0"},
                         {"ServicePackMinorVersion", "I4 0"},
                         {"TotalVirtualMemorySize", "S 17366984"},
                         {"TotalVisibleMemorySize", "S 16318412"},
                         {"MUILanguages", "A ru-RU"},
                     }));

    EXPECT_EQ(instances(u"Win32_ComputerSystem"), (std::vector<Instance>{{
                                                      {"__GENUS", "I4 2"},
                                                      {"__CLASS", "S Win32_ComputerSystem"},
                                                      {"Manufacturer", "S Maker Ltd"},
                                                      {"Model", "null"},
                                                      {"NumberOfProcessors", "I4 2"},
                                                      {"NumberOfLogicalProcessors", "I4 4"},
                                                  }}));

    // One instance per package, in the order the packages first appear.
    EXPECT_EQ(instances(u"Win32_Processor"), (std::vector<Instance>{
                                                 {{"__GENUS", "I4 2"},
                                                  {"__CLASS", "S Win32_Processor"},
                                                  {"Caption", "S Intel64 Family 6 Model 85 Stepping 7"},
                                                  {"Name", "S Intel(R) Xeon(R) Gold 6230 CPU @ 2.10GHz"}},
                                                 {{"__GENUS", "I4 2"},
                                                  {"__CLASS", "S Win32_Processor"},
                                                  {"Caption", "S AMD64 Family 23 Model 49 Stepping 0"},
                                                  {"Name", "S AMD EPYC 7742 64-Core Processor"}},
                                             }));
}

TEST_F(WmiTest, MissingSourcesGiveNullValues) {
    const std::vector<Instance> os = instances(u"Win32_OperatingSystem");
    ASSERT_EQ(os.size(), 1u);
    auto value = [&](const std::string& name) {
        for (const auto& [n, v] : os[0])
            if (n == name) return v;
        return std::string("no property");
    };
    EXPECT_EQ(value("Caption"), "null");
    // Without the file the kernel release comes from uname.
    EXPECT_EQ(value("Version"), "S " + uname(true));
    EXPECT_EQ(value("TotalVirtualMemorySize"), "null");
    EXPECT_EQ(value("TotalVisibleMemorySize"), "null");
    EXPECT_EQ(property(u"Win32_ComputerSystem", "Manufacturer"), "null");
    EXPECT_EQ(property(u"Win32_ComputerSystem", "Model"), "null");
    EXPECT_EQ(property(u"Win32_ComputerSystem", "NumberOfProcessors"), "null");
    // sysconf still knows the processors online.
    EXPECT_EQ(property(u"Win32_ComputerSystem", "NumberOfLogicalProcessors"),
              "I4 " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)));
    EXPECT_TRUE(instances(u"Win32_Processor").empty());
}

TEST_F(WmiTest, SourceFormsAndFallbacks) {
    struct Row {
        const char* path;
        std::string content;
        const char16_t* className;
        const char* property;
        const char* expected;
    };
    const Row rows[] = {
        // os-release without PRETTY_NAME: the format's default.
        {"/etc/os-release", "NAME=Debian\n", u"Win32_OperatingSystem", "Caption", "S Linux"},
        {"/usr/lib/os-release", "PRETTY_NAME='Single quoted'\n", u"Win32_OperatingSystem", "Caption",
         "S Single quoted"},
        {"/etc/os-release", "PRETTY_NAME=Bare\n", u"Win32_OperatingSystem", "Caption", "S Bare"},
        // Without SwapTotal the virtual size is the memory alone.
        {"/proc/meminfo", "MemTotal: 2048 kB\n", u"Win32_OperatingSystem", "TotalVirtualMemorySize",
         "S 2048"},
        {"/proc/meminfo", "MemFree: 2048 kB\n", u"Win32_OperatingSystem", "TotalVisibleMemorySize", "null"},
        // A DMI file with blanks only says nothing.
        {"/sys/class/dmi/id/product_name", " \n", u"Win32_ComputerSystem", "Model", "null"},
        {"/sys/class/dmi/id/product_name", "Box 1\n", u"Win32_ComputerSystem", "Model", "S Box 1"},
        // cpuinfo without packages (as on many ARM machines): one package.
        {"/proc/cpuinfo", "processor\t: 0\nBogoMIPS\t: 50\n\nprocessor\t: 1\nBogoMIPS\t: 50\n",
         u"Win32_ComputerSystem", "NumberOfProcessors", "I4 1"},
        {"/proc/cpuinfo", "processor\t: 0\nBogoMIPS\t: 50\n\nprocessor\t: 1\nBogoMIPS\t: 50\n",
         u"Win32_ComputerSystem", "NumberOfLogicalProcessors", "I4 2"},
        {"/proc/cpuinfo", "processor\t: 0\nBogoMIPS\t: 50\n", u"Win32_Processor", "Name", "null"},
        {"/proc/cpuinfo", "processor\t: 0\nvendor_id\t: GenuineIntel\n", u"Win32_Processor", "Caption",
         "S Intel64"},
        {"/proc/cpuinfo",
         "processor\t: 0\nvendor_id\t: CentaurHauls\ncpu family\t: 7\nmodel\t: 59\nstepping\t: 3\n",
         u"Win32_Processor", "Caption", "S x64 Family 7 Model 59 Stepping 3"},
    };
    for (const Row& row : rows) {
        std::filesystem::remove_all(files);
        write(row.path, row.content);
        EXPECT_EQ(property(row.className, row.property), row.expected) << row.path << ": " << row.content;
    }
    std::filesystem::remove_all(files);
    write("/proc/cpuinfo", "processor\t: 0\n");
    EXPECT_EQ(property(u"Win32_Processor", "Caption"), "S " + uname(false));
}

TEST_F(WmiTest, LocaleOfTheEnvironment) {
    struct Row {
        const char* lcAll;
        const char* lang;
        const char* language;
        const char* locale;
        const char* country;
        const char* tags;
    };
    const Row rows[] = {
        {nullptr, "ru_RU.UTF-8", "I4 1049", "S 0419", "S 7", "A ru-RU"},
        {"en_GB.UTF-8", "ru_RU.UTF-8", "I4 2057", "S 0809", "S 44", "A en-GB"},
        {"", "de_DE@euro", "I4 1031", "S 0407", "S 49", "A de-DE"},
        {nullptr, "kk_KZ", "I4 1087", "S 043f", "S 7", "A kk-KZ"},
        // A known language in another territory takes the language's entry.
        {nullptr, "ru_UA.UTF-8", "I4 1049", "S 0419", "S 7", "A ru-RU"},
        // The C locale's messages are American English.
        {nullptr, "C.UTF-8", "I4 1033", "S 0409", "S 1", "A en-US"},
        {nullptr, "POSIX", "I4 1033", "S 0409", "S 1", "A en-US"},
        {nullptr, nullptr, "I4 1033", "S 0409", "S 1", "A en-US"},
        {nullptr, "xx_YY.UTF-8", "null", "null", "null", "null"},
    };
    for (const Row& row : rows) {
        EnvGuard all("LC_ALL", row.lcAll), lang("LANG", row.lang);
        const std::string context =
            std::string(row.lcAll ? row.lcAll : "-") + " " + (row.lang ? row.lang : "-");
        EXPECT_EQ(property(u"Win32_OperatingSystem", "OSLanguage"), row.language) << context;
        EXPECT_EQ(property(u"Win32_OperatingSystem", "Locale"), row.locale) << context;
        EXPECT_EQ(property(u"Win32_OperatingSystem", "CountryCode"), row.country) << context;
        EXPECT_EQ(property(u"Win32_OperatingSystem", "MUILanguages"), row.tags) << context;
    }
}

TEST_F(WmiTest, TimeZoneIsReadAtEachQuery) {
    const std::pair<const char*, const char*> rows[] = {
        {"UTC", "I2 0"}, {"UTC-3", "I2 180"}, {"UTC+5:30", "I2 -330"}};
    for (const auto& [zone, expected] : rows) {
        EnvGuard tz("TZ", zone);
        EXPECT_EQ(property(u"Win32_OperatingSystem", "CurrentTimeZone"), expected) << zone;
    }
}

// WmiTest.OversizedSourceIsUnreadable: the bound of a source file (MaxSourceBytes, 8 MiB).
TEST_F(WmiTest, OversizedSourceIsUnreadable) {
    std::string meminfo = "MemTotal: 4096 kB\n";
    write("/proc/meminfo", meminfo + std::string((size_t(8) << 20) - meminfo.size(), '\n'));
    EXPECT_EQ(property(u"Win32_OperatingSystem", "TotalVisibleMemorySize"), "S 4096");
    write("/proc/meminfo", meminfo + std::string((size_t(8) << 20) - meminfo.size() + 1, '\n'));
    EXPECT_EQ(property(u"Win32_OperatingSystem", "TotalVisibleMemorySize"), "null");
}

TEST_F(WmiTest, PropertyReadsAndTheEnumeration) {
    write("/proc/cpuinfo", TwoPackages);
    IEnumWbemClassObject* enumerator = nullptr;
    ASSERT_EQ(exec(u"WQL", u"SELECT * FROM Win32_Processor", &enumerator), WBEM_S_NO_ERROR);
    IWbemClassObject* objects[3] = {};
    ULONG returned = 9;
    EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 1, nullptr, &returned), WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 1, objects, &returned), WBEM_S_NO_ERROR);
    EXPECT_EQ(returned, 1u);
    // Fewer than asked for: WBEM_S_FALSE with what there was, then nothing.
    EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 2, objects + 1, &returned), WBEM_S_FALSE);
    EXPECT_EQ(returned, 1u);
    EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 1, objects + 2, &returned), WBEM_S_FALSE);
    EXPECT_EQ(returned, 0u);
    enumerator->Release();

    IWbemClassObject* object = objects[0];
    VARIANT value;
    VariantInit(&value);
    EXPECT_EQ(object->Get(u"name", 0, &value, nullptr, nullptr), S_OK);
    EXPECT_EQ(describe(value), "S Intel(R) Xeon(R) Gold 6230 CPU @ 2.10GHz");
    VariantClear(&value);
    EXPECT_EQ(object->Get(u"Name", 0, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(object->Get(u"Nam", 0, &value, nullptr, nullptr), WBEM_E_NOT_FOUND);
    EXPECT_EQ(object->Get(u"NameX", 0, &value, nullptr, nullptr), WBEM_E_NOT_FOUND);
    EXPECT_EQ(object->Get(u"Name", 1, &value, nullptr, nullptr), WBEM_E_INVALID_PARAMETER);
    CIMTYPE type = 0;
    EXPECT_EQ(object->Get(u"Name", 0, &value, &type, nullptr), WBEM_E_NOT_SUPPORTED);
    EXPECT_EQ(value.vt, VT_EMPTY);
    SAFEARRAY* names = nullptr;
    EXPECT_EQ(object->GetNames(u"key", WBEM_FLAG_ALWAYS, nullptr, &names), WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(object->GetNames(nullptr, 0x40, nullptr, &names), WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(names, nullptr);
    objects[0]->Release();
    objects[1]->Release();
}

TEST_F(WmiTest, InjectedFailuresCountDown) {
    IEnumWbemClassObject* enumerator = nullptr;
    ComFailNext(ComCall::ExecQuery, WBEM_E_FAILED);
    EXPECT_EQ(exec(u"WQL", u"SELECT * FROM Win32_Processor", &enumerator), WBEM_E_FAILED);
    ASSERT_EQ(exec(u"WQL", u"SELECT * FROM Win32_OperatingSystem", &enumerator), WBEM_S_NO_ERROR);
    IWbemClassObject* object = nullptr;
    ULONG returned = 9;
    ComFailNext(ComCall::Next, WBEM_E_FAILED, -1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 1, &object, &returned), WBEM_E_FAILED);
        EXPECT_EQ(returned, 0u);
    }
    ComFailNext(ComCall::Next, S_OK, 0);
    ASSERT_EQ(enumerator->Next(WBEM_INFINITE, 1, &object, &returned), WBEM_S_NO_ERROR);
    ComFailNext(ComCall::Get, WBEM_E_NOT_FOUND);
    EXPECT_EQ(object->Get(u"CodeSet", 0, nullptr, nullptr, nullptr), WBEM_E_NOT_FOUND);
    EXPECT_EQ(object->Get(u"CodeSet", 0, nullptr, nullptr, nullptr), S_OK);
    object->Release();
    enumerator->Release();
}

}  // namespace
