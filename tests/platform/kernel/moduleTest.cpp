#include "kernelTestRoot.h"

#include <vsk/platform/file.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/module.h>

#include <gtest/gtest.h>

#include <fstream>

namespace {

std::string moduleFile(HMODULE module) {
    WCHAR buffer[4096];
    const DWORD n = GetModuleFileNameW(module, buffer, 4096);
    return n ? Utf8(std::u16string(buffer, n)) : std::string();
}

TEST(Module, LoadFailuresGiveThePlatformCodes) {
    KernelTestRoot root;
    std::ofstream(root / "notElf.so") << "this is not an ELF file, only some text long enough to be read";
    const struct {
        std::string name;
        DWORD error;
    } cases[] = {
        {"/nonexistent/folder/libvskNothing.so", ERROR_MOD_NOT_FOUND},
        {"libvskNothingAnywhere.so", ERROR_MOD_NOT_FOUND},
        {"VskTspClient.dll", ERROR_MOD_NOT_FOUND},
        {VSK_TEST_NEEDS_DEPENDENCY, ERROR_MOD_NOT_FOUND},
        {root / "notElf.so", ERROR_BAD_EXE_FORMAT},
        {root.path(), ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(0);
        EXPECT_EQ(LoadLibraryW(Utf16(c.name).c_str()), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
    // The dependency case differs from a missing module only in that the file itself exists.
    EXPECT_NE(GetFileAttributesW(Utf16(VSK_TEST_NEEDS_DEPENDENCY).c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(Module, SharedObjectExportsAndPath) {
    const std::u16string path = Utf16(VSK_TEST_PLUGIN);
    HMODULE module = LoadLibraryW(path.c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(LoadLibraryW(path.c_str()), module);  // counted: two loads, two frees
    auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module, "vskTestAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    // An export is what the module itself defines, not what its dependencies do.
    for (const char* missing : {"vskTestMissing", "malloc"}) {
        SCOPED_TRACE(missing);
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(module, missing), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    }
    EXPECT_EQ(moduleFile(module), VSK_TEST_PLUGIN);
    EXPECT_EQ(GetModuleHandleW(path.c_str()), module);

    DWORD needed = 0;
    ASSERT_TRUE(EnumProcessModules(GetCurrentProcess(), nullptr, 0, &needed));
    std::vector<HMODULE> modules(needed / sizeof(HMODULE) + 4);
    ASSERT_TRUE(EnumProcessModules(GetCurrentProcess(), modules.data(),
                                   static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed));
    modules.resize(needed / sizeof(HMODULE));
    ASSERT_FALSE(modules.empty());
    EXPECT_EQ(modules[0], GetModuleHandleW(nullptr));
    EXPECT_NE(std::find(modules.begin(), modules.end(), module), modules.end());
    for (HMODULE m : modules) EXPECT_EQ(moduleFile(m)[0], '/');

    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleW(path.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

    // A folder set for the search is tried first for names without a folder.
    const std::string folder =
        std::string(VSK_TEST_PLUGIN).substr(0, std::string(VSK_TEST_PLUGIN).rfind('/'));
    const std::u16string bare = Utf16(std::string(VSK_TEST_PLUGIN).substr(folder.size() + 1));
    EXPECT_EQ(LoadLibraryW(bare.c_str()), nullptr);
    ASSERT_TRUE(SetDllDirectoryW(Utf16(folder).c_str()));
    module = LoadLibraryW(bare.c_str());
    EXPECT_NE(module, nullptr);
    EXPECT_TRUE(FreeLibrary(module));
    SetDllDirectoryW(nullptr);
}

TEST(Module, StandInModulesAreFoundWithoutRegardToCase) {
    HMODULE psapi = LoadLibraryW(u"PSAPI.DLL");
    ASSERT_NE(psapi, nullptr);
    EXPECT_EQ(LoadLibraryW(u"psapi"), psapi);
    EXPECT_EQ(moduleFile(psapi), "Psapi.dll");
    auto getInfo = reinterpret_cast<BOOL (*)(HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD)>(
        GetProcAddress(psapi, "GetProcessMemoryInfo"));
    ASSERT_NE(getInfo, nullptr);
    PROCESS_MEMORY_COUNTERS counters{};
    ASSERT_TRUE(getInfo(GetCurrentProcess(), &counters, 72));
    EXPECT_GT(counters.WorkingSetSize, 0u);
    EXPECT_GE(counters.PeakWorkingSetSize, counters.WorkingSetSize);
    EXPECT_FALSE(getInfo(GetCurrentProcess(), &counters, 40));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    // Export names are exact.
    EXPECT_EQ(GetProcAddress(psapi, "getprocessmemoryinfo"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(psapi));
    EXPECT_TRUE(FreeLibrary(psapi));

    // Kernel32 is always there; Advapi32 serves the administrator test.
    HMODULE kernel32 = GetModuleHandleW(u"kernel32.dll");
    ASSERT_NE(kernel32, nullptr);
    EXPECT_NE(GetProcAddress(kernel32, "SetDllDirectoryW"), nullptr);
    HMODULE advapi = LoadLibraryW(u"Advapi32.dll");
    EXPECT_NE(GetProcAddress(advapi, "CheckTokenMembership"), nullptr);
    FreeLibrary(advapi);

    // Other areas register their modules; a resident one needs no loading.
    static const StandInExport exports[] = {{"vskTestStandIn", StandInAddress(&GetCurrentProcess)}};
    RegisterStandInModule(u"VskTestOnly.dll", exports, 1);
    EXPECT_EQ(GetModuleHandleW(u"vsktestonly.dll"), nullptr);
    HMODULE loaded = LoadLibraryW(u"VSKTESTONLY.dll");
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(GetModuleHandleW(u"vsktestonly.dll"), loaded);
    EXPECT_EQ(GetProcAddress(loaded, "vskTestStandIn"), StandInAddress(&GetCurrentProcess));
    FreeLibrary(loaded);
    RegisterStandInModule(u"VskTestResident.dll", {{"vskTestStandIn", StandInAddress(&GetCurrentThread)}},
                          true);
    EXPECT_NE(GetModuleHandleW(u"VskTestResident.DLL"), nullptr);
}

TEST(Module, RealPkcs11Module) {
    const char* path = "/usr/lib/softhsm/libsofthsm2.so";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not installed";
    HMODULE module = LoadLibraryW(Utf16(path).c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_NE(GetProcAddress(module, "C_GetFunctionList"), nullptr);
    EXPECT_EQ(moduleFile(module), path);
    // Not one of our binaries: no version information.
    EXPECT_EQ(GetFileVersionInfoSizeW(Utf16(path).c_str(), nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(Module, ProgramPath) {
    std::vector<char> target(4096);
    const ssize_t n = readlink("/proc/self/exe", target.data(), target.size());
    ASSERT_GT(n, 0);
    const std::string exe(target.data(), static_cast<size_t>(n));
    EXPECT_EQ(moduleFile(nullptr), exe);
    EXPECT_EQ(moduleFile(GetModuleHandleW(nullptr)), exe);
    // Loading the program's own file gives the program's module, which frees like any other.
    HMODULE self = LoadLibraryW(Utf16(exe).c_str());
    EXPECT_EQ(self, GetModuleHandleW(nullptr));
    EXPECT_TRUE(FreeLibrary(self));
    // A small buffer gets the cut path.
    WCHAR small[5];
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Utf8(small), exe.substr(0, 4));
    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x10), small, 5), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Module, VersionInformationOfOurOwnBinary) {
    const std::u16string exe = Utf16(moduleFile(nullptr));
    DWORD handle = 1;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), handle, size, block.data()));

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), u"\\", &value, &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = static_cast<VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const std::string version = VSK_PROJECT_VERSION;
    const std::string parts = std::to_string(fixed->dwFileVersionMS >> 16) + "." +
                              std::to_string(fixed->dwFileVersionMS & 0xFFFF) + "." +
                              std::to_string(fixed->dwFileVersionLS >> 16);
    EXPECT_EQ(parts, version.substr(0, parts.size()));

    ASSERT_TRUE(VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(static_cast<WORD*>(value)[0], 0x0419);
    EXPECT_EQ(static_cast<WORD*>(value)[1], 0x04B0);

    ASSERT_TRUE(VerQueryValueW(block.data(), u"\\StringFileInfo\\041904B0\\productversion", &value, &length));
    EXPECT_EQ(Utf8(static_cast<WCHAR*>(value)), version);
    EXPECT_EQ(length, version.size() + 1);
    EXPECT_TRUE(VerQueryValueW(block.data(), u"\\StringFileInfo\\041904b0\\LegalCopyright", &value, &length));
    EXPECT_FALSE(
        VerQueryValueW(block.data(), u"\\StringFileInfo\\040904b0\\LegalCopyright", &value, &length));
    EXPECT_FALSE(VerQueryValueW(block.data(), u"\\StringFileInfo\\041904b0\\Comments", &value, &length));

    EXPECT_EQ(GetFileVersionInfoSizeW(u"/nonexistent/program", nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    // A stand-in module has no file.
    EXPECT_EQ(GetFileVersionInfoSizeW(u"Psapi.dll", nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
