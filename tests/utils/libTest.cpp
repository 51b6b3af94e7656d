#include "testSupport.h"

#include <vsk/platform/kernel.h>
#include <vsk/utils/error.h>
#include <vsk/utils/lib.h>
#include <vsk/utils/log.h>
#include <vsk/utils/string.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <vector>

using namespace Vsk::Utils;
using namespace Vsk::InternalUtils;
using namespace VskTest;

namespace {

const char* const SoftHsmModule = "/usr/lib/softhsm/libsofthsm2.so";

std::u16string FirstLine(const CError& error) {
    const std::u16string message = error.getMessage().toU16();
    return message.substr(0, message.find(u"\r\n"));
}

CError LoadError(CLib& lib, const std::function<void()>& op) {
    SCOPED_TRACE(Utf8(lib.getModuleName()));
    return Thrown(op);
}

}  // namespace

TEST(CLib, LoadFailuresNameTheModule) {
    const std::string notElf = RootPath() + "/libvskNotElf.so";
    std::ofstream(notElf) << "not a shared object\n";
    const std::u16string needsDependency = Utf16(VSK_FILES_NEEDS_DEPENDENCY);

    struct Row {
        std::u16string module;
        std::u16string text;
        DWORD code;
    };
    const Row rows[] = {
        {u"libvskNoSuchModule.so", u"Модуль libvskNoSuchModule.so не найден!", ERROR_FILE_NOT_FOUND},
        {u"/no/such/folder/libx.so", u"Модуль /no/such/folder/libx.so не найден!", ERROR_PATH_NOT_FOUND},
        {needsDependency, u"Не найдены модули, от которых зависит модуль " + needsDependency + u" !",
         ERROR_MOD_NOT_FOUND},
        {Utf16(notElf), u"Ошибка загрузки модуля " + Utf16(notElf) + u" !", ERROR_BAD_EXE_FORMAT},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Utf8(row.module));
        CLib lib(row.module.c_str());
        SetLastError(0);
        EXPECT_EQ(lib.tryLoad(), nullptr);
        EXPECT_NE(GetLastError(), 0u);
        for (int attempt = 0; attempt < 2; ++attempt) {  // the object stays usable
            const CError error = LoadError(lib, [&] { lib.load(); });
            EXPECT_EQ(Utf8(FirstLine(error)), Utf8(row.text));
            EXPECT_EQ(error.getCode(), static_cast<int32_t>(row.code));
            EXPECT_EQ(Utf8(lib.getModuleName()), Utf8(row.module));
        }
        // Looking up an export loads first, and fails the same way.
        const CError viaLookup = LoadError(lib, [&] { lib.getProcAddress("anything"); });
        EXPECT_EQ(Utf8(FirstLine(viaLookup)), Utf8(row.text));
    }
}

TEST(CLib, MissingExportNamesExportAndFullPath) {
    // Found through the system's search: afterwards the name is the path the loader used.
    CLib lib(u"libz.so.1");
    ASSERT_NE(lib.load(), nullptr);
    const std::string path = Utf8(lib.getModuleName());
    ASSERT_EQ(path.front(), '/');
    EXPECT_EQ(path.substr(path.rfind('/')), "/libz.so.1");

    struct Row {
        const char* exportName;  // code page 1251
        std::u16string shown;
    };
    const Row rows[] = {
        {"vskNoSuchExport", u"vskNoSuchExport"},
        {"Функция", u"Функция"},
    };
    for (const Row& row : rows) {
        const CError error = LoadError(lib, [&] { lib.getProcAddress(row.exportName); });
        EXPECT_EQ(Utf8(error.getMessage().toU16().substr(0, error.getMessage().toU16().find(u"\r\n"))),
                  Utf8(u"Функция \"" + row.shown + u"\" отсутствует в модуле \"" + Utf16(path) + u"\" !"));
        EXPECT_EQ(error.getCode(), static_cast<int32_t>(ERROR_PROC_NOT_FOUND));
    }
}

TEST(CLib, LoadsOnceAndReloadsAfterRename) {
    const std::u16string plugin = Utf16(VSK_FILES_TEST_MODULE);
    CLib lib(plugin.c_str());
    EXPECT_EQ(lib.getModule(), nullptr);  // nothing is loaded before the first use
    auto value = reinterpret_cast<int (*)()>(lib.getProcAddress("vskFilesTestValue"));
    const HMODULE first = lib.getModule();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(value(), 42);
    EXPECT_EQ(lib.getProcAddress("vskFilesTestValue"), reinterpret_cast<void*>(value));
    EXPECT_EQ(lib.getModule(), first);
    // A full path is kept as given.
    EXPECT_EQ(Utf8(lib.getModuleName()), VSK_FILES_TEST_MODULE);

    lib.setModuleName(u"libz.so.1");
    EXPECT_EQ(lib.getModule(), nullptr);
    EXPECT_EQ(GetModuleHandleW(plugin.c_str()), nullptr);  // freed
    EXPECT_NE(lib.getProcAddress("zlibVersion"), nullptr);
    EXPECT_NE(lib.getModule(), first);
}

TEST(CLib, RealPkcs11Module) {
    if (access(SoftHsmModule, R_OK) != 0) GTEST_SKIP() << SoftHsmModule << " is not installed";
    CLib lib(Utf16(SoftHsmModule).c_str());
    void* entry = lib.getProcAddress("C_GetFunctionList");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(Utf8(lib.getModuleName()), SoftHsmModule);
    // The PKCS#11 entry point hands out its function table (CKR_OK = 0).
    void* functionList = nullptr;
    EXPECT_EQ(reinterpret_cast<unsigned long (*)(void**)>(entry)(&functionList), 0ul);
    EXPECT_NE(functionList, nullptr);
}

TEST(CLib, StandInModulesAndHolders) {
    CLib psapi(u"PSAPI.DLL");
    EXPECT_NE(psapi.getProcAddress("GetProcessMemoryInfo"), nullptr);

    PFN_GetProcessMemoryInfo memoryInfo = BindGetProcessMemoryInfo();
    ASSERT_NE(memoryInfo, nullptr);
    EXPECT_EQ(BindGetProcessMemoryInfo(), memoryInfo);
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    ASSERT_TRUE(memoryInfo(GetCurrentProcess(), &counters, sizeof(counters)));
    EXPECT_GT(counters.WorkingSetSize, 0u);

    EXPECT_NE(BindCheckTokenMembership(), nullptr);
    // Bound to the registry's own functions when the registry offers them, otherwise switched off.
    PFN_RegEnableReflectionKey reflection = BindRegEnableReflectionKey();
    if (reflection) {
        EXPECT_EQ(reflection, &::RegEnableReflectionKey);
    }
    PFN_SHCopyKeyW copyKey = BindSHCopyKeyW();
    if (copyKey) {
        EXPECT_EQ(copyKey, &::SHCopyKeyW);
    }

    EXPECT_EQ(GetLibraryFolder().getLength(), 0u);
}

TEST(ModuleInfo, VersionStringsAndTheirAbsence) {
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    CArray<CWString> values = GetModuleInfo(Utf16(exe).c_str(), u"LegalCopyright");
    ASSERT_EQ(values.getCount(), 1u);
    EXPECT_EQ(Utf8(values[0]), Utf8(u"© Voskel"));
    EXPECT_EQ(GetModuleInfo(Utf16(exe).c_str(), u"NoSuchValue").getCount(), 0u);

    CLog* log = GetLog();
    ASSERT_NE(log, nullptr);
    std::vector<std::string> lines;
    log->setLevel(1, CLog::FlagThread);
    log->setSink([&](const CWString& line) { lines.push_back(Utf8(line)); });
    const std::string plain = RootPath() + "/plain.txt";
    std::ofstream(plain) << "no version here\n";
    EXPECT_EQ(GetModuleInfo(Utf16(plain).c_str(), u"LegalCopyright").getCount(), 0u);
    log->setSink(nullptr);
    log->setLevel(0, CLog::FlagRemoveThread);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("InternalUtils::GetModuleInfo GetFileVersionInfoSize " + plain + " ", 0), 0u)
        << lines[0];
}
