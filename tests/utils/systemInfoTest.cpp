// System information: the field lookup, the three classes the crypto-system test asks for on this
// machine (checked against /proc, /sys, os-release read by the shell, uname and date), the error
// lines, the log lines of failed set-up steps and the enumeration that stops at its first failure.
#include <vsk/platform/kernelTesting.h>
#include <vsk/platform/wbem.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/systemInfo.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace Vsk::Utils;
using namespace Vsk::InternalUtils;
using VskTest::EnvGuard;
using VskTest::LogCapture;
using VskTest::Utf16;
using VskTest::Utf8;

namespace {

// ---- Field lookup -----------------------------------------------------------------------------------

TEST(GetFieldValue, FirstOccurrenceToTheLineEnd) {
    struct Row {
        const char16_t* text;
        const char16_t* name;
        const char16_t* expected;
    };
    const Row rows[] = {
        {u"Caption: Debian\r\nNumberOfProcessors: 4\r\nName: x", u"NumberOfProcessors", u"4"},
        // The first occurrence wins, also at the end of a longer name or inside a value.
        {u"LogicalNumberOfProcessors: 8\r\nNumberOfProcessors: 2", u"NumberOfProcessors", u"8"},
        {u"Caption: Name: inner\r\nName: outer", u"Name", u"inner"},
        // The last line runs to the end of the text.
        {u"A: 1\r\nB: 2", u"B", u"2"},
        {u"A: 1\r\nB", u"B", u""},
        // Exactly ": " is skipped; anything else stays, then blanks are trimmed.
        {u"A:1\r\nB: 2", u"A", u":1"},
        {u"A : 1\r\n", u"A", u": 1"},
        {u"A:  1\r\n", u"A", u"1"},
        {u"A: \t 5 \t\r\nB: 2", u"A", u"5"},
        {u"A: \r\nB: 2", u"A", u""},
        // Only CR LF ends a line.
        {u"A: 1\nB: 2", u"A", u"1\nB: 2"},
        {u"A: 1\rB: 2\r\n", u"A", u"1\rB: 2"},
        // Case counts.
        {u"NumberOfProcessors: 4", u"numberofprocessors", u""},
        {u"Caption: Debian", u"Model", u""},
        // An empty name matches at the start: the rest of the first line.
        {u"Caption: Debian\r\nVersion: 6", u"", u"Caption: Debian"},
        {u"", u"", u""},
        // A name reaching over a line end: the end lies before the start.
        {u"A: 1\r\nB: 2", u"1\r\nB", u""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(GetFieldValue(row.text, row.name).toU16(), row.expected)
            << Utf8(row.text) << " / " << Utf8(row.name);
}

// ---- What this machine says ---------------------------------------------------------------------------

// The output of a shell command, without its final line break.
std::string shell(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    return first == std::string::npos ? std::string()
                                      : text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// "Key: number kB" of /proc/meminfo; 0 when absent.
uint64_t meminfo(const std::string& key) {
    std::istringstream lines(readFile("/proc/meminfo"));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(key + ":", 0) == 0) return std::stoull(line.substr(key.size() + 1));
    return 0;
}

// The "key : value" entries of /proc/cpuinfo for one key, in order.
std::vector<std::string> cpuinfo(const std::string& key) {
    std::vector<std::string> values;
    std::istringstream lines(readFile("/proc/cpuinfo"));
    for (std::string line; std::getline(lines, line);) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos && trim(line.substr(0, colon)) == key)
            values.push_back(trim(line.substr(colon + 1)));
    }
    return values;
}

CWString sysInfo(std::initializer_list<const char*> request, const char* prefix = nullptr) {
    std::vector<const char*> list(request);
    list.push_back(nullptr);
    return GetSysInfo(list.data(), prefix);
}

std::string text(const CWString& s) {
    return Utf8(s);
}

std::string hresultText(HRESULT hr) {
    return Utf8(GetHResultText(hr));
}

class SysInfoTest : public ::testing::Test {
protected:
    void SetUp() override { SetErrorInfo(0, nullptr); }
    void TearDown() override {
        ComClearFailures();
        SetWmiSourceRoot(nullptr);
        // Every call undid its own COM initialisation: the thread starts afresh in either model.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        CoUninitialize();
    }

    // Files of a machine of the test's own, in place of /proc, /sys and /etc.
    void useFiles(std::initializer_list<std::pair<const char*, const char*>> files) {
        for (const auto& [path, content] : files) {
            const std::filesystem::path full = root.path() + "/sources" + path;
            std::filesystem::create_directories(full.parent_path());
            std::ofstream(full, std::ios::binary) << content;
        }
        sources = root.path() + "/sources";
        std::filesystem::create_directories(sources);
        SetWmiSourceRoot(sources.c_str());
    }

    VskTest::TestRoot root;
    std::string sources;
};

TEST_F(SysInfoTest, OperatingSystemOfThisMachine) {
    EnvGuard all("LC_ALL", nullptr), lang("LANG", "ru_RU.UTF-8");
    std::string caption = shell(". /etc/os-release 2>/dev/null && printf %s \"$PRETTY_NAME\"");
    if (caption.empty()) caption = shell(". /usr/lib/os-release 2>/dev/null && printf %s \"$PRETTY_NAME\"");
    ASSERT_FALSE(caption.empty()) << "no os-release on this machine";
    const std::string machine = shell("uname -m");
    const std::string zone = shell("date +%z");  // "+0300"
    const int minutes =
        (zone[0] == '-' ? -1 : 1) * (std::stoi(zone.substr(1, 2)) * 60 + std::stoi(zone.substr(3, 2)));
    const uint64_t memory = meminfo("MemTotal");
    ASSERT_NE(memory, 0u);

    const CWString info =
        sysInfo({"OperatingSystem", "Caption", "Version", "OSArchitecture", "OSLanguage", "CodeSet",
                 "CountryCode", "CurrentTimeZone", "Locale", "ServicePackMajorVersion",
                 "ServicePackMinorVersion", "TotalVirtualMemorySize", "TotalVisibleMemorySize"});
    EXPECT_EQ(text(info),
              "Caption: " + caption + "\r\nVersion: " + shell("uname -r") + "\r\nOSArchitecture: " +
                  (machine.find("64") != std::string::npos || machine == "s390x" ? "64-bit" : "32-bit") +
                  "\r\nOSLanguage: 1049\r\nCodeSet: 1251\r\nCountryCode: 7\r\nCurrentTimeZone: " +
                  std::to_string(minutes) + "\r\nLocale: 0419\r\nServicePackMajorVersion: 0\r\n" +
                  "ServicePackMinorVersion: 0\r\nTotalVirtualMemorySize: " +
                  std::to_string(memory + meminfo("SwapTotal")) +
                  "\r\nTotalVisibleMemorySize: " + std::to_string(memory));
    EXPECT_EQ(text(GetFieldValue(info, u"TotalVisibleMemorySize")), std::to_string(memory));
    EXPECT_EQ(text(GetFieldValue(info, u"Caption")), caption);
}

TEST_F(SysInfoTest, ComputerSystemOfThisMachine) {
    const std::vector<std::string> processors = cpuinfo("processor");
    ASSERT_FALSE(processors.empty());
    const std::vector<std::string> ids = cpuinfo("physical id");
    const size_t packages = ids.empty() ? 1 : std::set<std::string>(ids.begin(), ids.end()).size();
    // DMI data is absent in containers: no line then.
    std::string expected;
    const std::string vendor = trim(readFile("/sys/class/dmi/id/sys_vendor"));
    const std::string product = trim(readFile("/sys/class/dmi/id/product_name"));
    if (!vendor.empty()) expected += "Manufacturer: " + vendor + "\r\n";
    if (!product.empty()) expected += "Model: " + product + "\r\n";
    expected += "NumberOfProcessors: " + std::to_string(packages) +
                "\r\nNumberOfLogicalProcessors: " + std::to_string(processors.size());

    const CWString info = sysInfo(
        {"ComputerSystem", "Manufacturer", "Model", "NumberOfProcessors", "NumberOfLogicalProcessors"});
    EXPECT_EQ(text(info), expected);
    // As the crypto-system test reads it back.
    EXPECT_EQ(text(GetFieldValue(info, u"NumberOfProcessors")), std::to_string(packages));
    EXPECT_EQ(text(GetFieldValue(info, u"NumberOfLogicalProcessors")), std::to_string(processors.size()));
    EXPECT_EQ(text(GetFieldValue(info, u"Manufacturer")), vendor);
}

TEST_F(SysInfoTest, ProcessorsOfThisMachine) {
    const std::vector<std::string> names = cpuinfo("model name");
    const std::vector<std::string> ids = cpuinfo("physical id");
    const size_t packages = ids.empty() ? 1 : std::set<std::string>(ids.begin(), ids.end()).size();
    const std::string info = text(sysInfo({"Processor", "Caption", "Name"}));
    // Caption and Name per package, CR LF between all lines.
    size_t lines = 1;
    for (size_t at = 0; (at = info.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
    EXPECT_EQ(lines, names.empty() ? packages : 2 * packages) << info;
    EXPECT_EQ(info.rfind("Caption: ", 0), 0u) << info;
    if (!names.empty()) {
        EXPECT_EQ(text(GetFieldValue(CWString(Utf16(info).c_str()), u"Name")), names.front());
    }
    const std::vector<std::string> vendors = cpuinfo("vendor_id");
    if (!vendors.empty() && vendors.front() == "GenuineIntel") {
        EXPECT_EQ(info.rfind("Caption: Intel64 Family " + cpuinfo("cpu family").front() + " Model ", 0), 0u)
            << info;
    }
}

// ---- Lines of a machine of the test's own -------------------------------------------------------------

constexpr char TwoPackages[] =
    "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 85\nmodel name\t: First\n"
    "stepping\t: 7\nphysical id\t: 0\n\n"
    "processor\t: 1\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 85\nmodel name\t: Second\n"
    "stepping\t: 7\nphysical id\t: 1\n";

TEST_F(SysInfoTest, LinesOfEachRequest) {
    useFiles({{"/proc/cpuinfo", TwoPackages}, {"/sys/class/dmi/id/sys_vendor", "Maker\n"}});
    EnvGuard all("LC_ALL", nullptr), lang("LANG", "ru_RU.UTF-8");
    struct Row {
        std::vector<const char*> request;
        const char* prefix;
        std::string expected;
    };
    const Row rows[] = {
        // Two processors: their lines in order, the first processor's first.
        {{"Processor", "Caption", "Name"},
         nullptr,
         "Caption: Intel64 Family 6 Model 85 Stepping 7\r\nName: First\r\n"
         "Caption: Intel64 Family 6 Model 85 Stepping 7\r\nName: Second"},
        // A NULL value gives no line.
        {{"ComputerSystem", "Model", "NumberOfProcessors"}, nullptr, "NumberOfProcessors: 2"},
        // An array cannot be converted: the name and nothing after ": ".
        {{"OperatingSystem", "MUILanguages", "CodeSet"}, nullptr, "MUILanguages: \r\nCodeSet: 1251"},
        // No property names: every property but the system ones, in the order they are listed.
        {{"ComputerSystem"},
         nullptr,
         "Manufacturer: Maker\r\nNumberOfProcessors: 2\r\nNumberOfLogicalProcessors: 2"},
        // The prefix starts every line.
        {{"Processor", "Name"}, "  ", "  Name: First\r\n  Name: Second"},
        {{"Processor", "Name"}, "\xC6 ", "\xD0\x96 Name: First\r\n\xD0\x96 Name: Second"},
        // Nothing to show: the prefix alone.
        {{"ComputerSystem", "Model"}, "  ", "  "},
        // Names and class suffixes in any case, as WMI takes them; the lines say them as asked.
        {{"processor", "name"}, nullptr, "name: First\r\nname: Second"},
        // A property the class lacks: an error line, and the others still come.
        {{"OperatingSystem", "CodeSet", "NoSuchProperty", "ServicePackMajorVersion"},
         nullptr,
         "CodeSet: 1251\r\nWin32_OperatingSystem::NoSuchProperty - " + hresultText(WBEM_E_NOT_FOUND) +
             "\r\nServicePackMajorVersion: 0"},
        // A class WMI does not know: the one error line.
        {{"NoSuchClass", "Name"}, nullptr, "Win32_NoSuchClass - " + hresultText(WBEM_E_INVALID_CLASS)},
        {{"NoSuchClass", "Name"}, "  ", "  Win32_NoSuchClass - " + hresultText(WBEM_E_INVALID_CLASS)},
    };
    for (Row row : rows) {
        row.request.push_back(nullptr);
        EXPECT_EQ(text(GetSysInfo(row.request.data(), row.prefix)), row.expected) << row.request[0];
    }
    EXPECT_EQ(hresultText(WBEM_E_INVALID_CLASS).rfind("0x80041010", 0), 0u);
    // Nothing to ask for.
    const char* empty[] = {nullptr};
    EXPECT_EQ(GetSysInfo(empty, nullptr).getLength(), 0u);
    EXPECT_EQ(GetSysInfo(nullptr, nullptr).getLength(), 0u);
}

// ---- Failures ------------------------------------------------------------------------------------------

TEST_F(SysInfoTest, FailedSetUpStepIsLoggedWithItsLine) {
    struct Row {
        ComCall call;
        int times;
        int line;
    };
    const Row rows[] = {
        {ComCall::Initialize, 2, 85},
        {ComCall::CreateInstance, 1, 99},
        {ComCall::ConnectServer, 1, 113},
        {ComCall::ProxyBlanket, 1, 124},
    };
    for (const Row& row : rows) {
        LogCapture capture(1);
        ComFailNext(row.call, E_ACCESSDENIED, row.times);
        EXPECT_EQ(sysInfo({"OperatingSystem", "CodeSet"}).getLength(), 0u) << row.line;
        const std::u16string expected =
            u"InternalUtils::GetSysInfo systemInfo:" + Utf16(std::to_string(row.line)) + u" HRESULT=" +
            Utf16(std::to_string(int32_t(E_ACCESSDENIED))) + u" " + GetHResultText(E_ACCESSDENIED).toU16();
        EXPECT_EQ(capture.count(expected), 1u) << row.line;
        EXPECT_EQ(capture.count(u"systemInfo:"), 1u) << row.line;
        // The call released what it had and undid its initialisation (TearDown checks the model).
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << row.line;
        CoUninitialize();
    }
    // At level 0 nothing is written.
    LogCapture quiet(0);
    ComFailNext(ComCall::ConnectServer, E_ACCESSDENIED);
    EXPECT_EQ(sysInfo({"OperatingSystem", "CodeSet"}).getLength(), 0u);
    EXPECT_EQ(quiet.count(u"systemInfo:"), 0u);
}

TEST_F(SysInfoTest, ComInitialisationFallsBackToTheApartmentModel) {
    // The multi-threaded attempt fails; the apartment one carries the call.
    ComFailNext(ComCall::Initialize, E_OUTOFMEMORY, 1);
    EXPECT_EQ(text(sysInfo({"OperatingSystem", "CodeSet"})), "CodeSet: 1251");
    // A thread already in the apartment model stays in it, initialised once.
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(text(sysInfo({"OperatingSystem", "CodeSet"})), "CodeSet: 1251");
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
}

TEST_F(SysInfoTest, FailedQueryAndPropertyBecomeLines) {
    LogCapture capture(1);
    ComFailNext(ComCall::ExecQuery, WBEM_E_FAILED);
    EXPECT_EQ(text(sysInfo({"OperatingSystem", "CodeSet"})),
              "Win32_OperatingSystem - " + hresultText(WBEM_E_FAILED));
    ComFailNext(ComCall::Get, WBEM_E_FAILED);
    EXPECT_EQ(
        text(sysInfo({"OperatingSystem", "CodeSet", "ServicePackMajorVersion"})),
        "Win32_OperatingSystem::CodeSet - " + hresultText(WBEM_E_FAILED) + "\r\nServicePackMajorVersion: 0");
    EXPECT_EQ(capture.count(u"systemInfo:"), 0u);
}

TEST_F(SysInfoTest, FailedEnumerationStopsAfterItsErrorLine) {
    useFiles({{"/proc/cpuinfo", TwoPackages}});
    const std::string line = "Win32_Processor - " + hresultText(WBEM_E_FAILED);
    // Once: the enumerator is not asked again, so the processors that would follow do not come.
    ComFailNext(ComCall::Next, WBEM_E_FAILED, 1);
    EXPECT_EQ(text(sysInfo({"Processor", "Name"})), line);
    // For ever: the call still ends.
    ComFailNext(ComCall::Next, WBEM_E_FAILED, -1);
    EXPECT_EQ(text(sysInfo({"Processor", "Name"})), line);
    EXPECT_EQ(text(sysInfo({"Processor"})), line);
}

TEST_F(SysInfoTest, FailuresWithoutPropertyNamesEndTheCall) {
    const std::pair<ComCall, int> rows[] = {{ComCall::GetNames, 56}, {ComCall::Get, 67}};
    for (const auto& [call, line] : rows) {
        LogCapture capture(1);
        ComFailNext(call, WBEM_E_FAILED);
        EXPECT_EQ(sysInfo({"OperatingSystem"}).getLength(), 0u) << line;
        EXPECT_EQ(
            capture.count(u"InternalUtils::GetSysInfo systemInfo:" + Utf16(std::to_string(line)) +
                          u" HRESULT=" + Utf16(std::to_string(int32_t(WBEM_E_FAILED)))),
            1u)
            << line;
    }
}

TEST_F(SysInfoTest, QueryRaisesOnlyWithoutPropertyNames) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    IWbemLocator* locator = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<void**>(&locator)),
              S_OK);
    IWbemServices* services = nullptr;
    BSTR space = SysAllocString(u"ROOT\\CIMV2");
    ASSERT_EQ(locator->ConnectServer(space, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services), S_OK);
    SysFreeString(space);

    const char* const names[] = {"CodeSet", nullptr};
    ComFailNext(ComCall::Get, WBEM_E_FAILED);
    EXPECT_EQ(text(querySysInfoClass(services, "Win32_OperatingSystem", names)),
              "Win32_OperatingSystem::CodeSet - " + hresultText(WBEM_E_FAILED));
    ComFailNext(ComCall::GetNames, WBEM_E_FAILED);
    EXPECT_EQ(
        VskTest::Thrown([&] { querySysInfoClass(services, "Win32_OperatingSystem", nullptr); }).getCode(),
        int32_t(WBEM_E_FAILED));
    ComFailNext(ComCall::Get, WBEM_E_FAILED);
    EXPECT_EQ(
        VskTest::Thrown([&] { querySysInfoClass(services, "Win32_OperatingSystem", names + 1); }).getCode(),
        int32_t(WBEM_E_FAILED));

    services->Release();
    locator->Release();
    CoUninitialize();
}

}  // namespace
