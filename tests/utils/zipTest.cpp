#include "testSupport.h"

#include <vsk/platform/kernel.h>
#include <vsk/utils/error.h>
#include <vsk/utils/string.h>
#include <vsk/utils/zip.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

using namespace Vsk::Utils;
using namespace Vsk::InternalUtils;
using namespace VskTest;

namespace {

// How many files in the temporary folder begin with `prefix`.
int CountTempFiles(const std::string& prefix) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(TempDir()))
        if (entry.path().filename().string().rfind(prefix, 0) == 0) ++count;
    return count;
}

std::string RunCommand(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe.get())) > 0) out.append(buffer, n);
    return out;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

CDataBlob Blob(const std::string& bytes) {
    return CDataBlob(bytes.data(), bytes.size(), true);
}

std::string FirstLine(const CError& error) {
    const std::string message = Utf8(error.getMessage());
    return message.substr(0, message.find("\r\n"));
}

bool HaveUnzip() {
    return system("unzip -v >/dev/null 2>&1") == 0;
}

}  // namespace

TEST(CZip, TwoEntriesOneArchiveNoTemporaryLeft) {
    if (!HaveUnzip()) GTEST_SKIP() << "unzip is not installed";
    const std::string archive = RootPath() + "/2026.12.10 13.14.15.zip";
    const std::string log(100000, 'L');
    {
        CZip zip;
        zip.Add(Blob(log), u"kestrovan.dev.log");
        zip.Add(Blob("inner"), u"dir\\inner.txt");
        EXPECT_EQ(CountTempFiles("zip_"), 1);
        zip.Save(Utf16(archive).c_str(), false);
        EXPECT_EQ(CountTempFiles("zip_"), 0);
        // Saved: the object starts over and has nothing to save.
        EXPECT_EQ(FirstLine(Thrown([&] { zip.Save(Utf16(archive).c_str(), true); })),
                  Utf8(u"Архив пуст или уже был сохранен!"));
        // A new Add starts a new archive in a new temporary file.
        zip.Add(Blob("again"), u"again.txt");
        zip.Save(Utf16(RootPath() + "/second.zip").c_str(), false);
    }
    const std::string listing = RunCommand("unzip -Z1 '" + archive + "'");
    EXPECT_EQ(listing, "kestrovan.dev.log\ndir/inner.txt\n");
    EXPECT_EQ(RunCommand("unzip -p '" + archive + "' kestrovan.dev.log"), log);
    EXPECT_EQ(RunCommand("unzip -p '" + archive + "' dir/inner.txt"), "inner");
    EXPECT_EQ(system(("unzip -tq '" + archive + "' >/dev/null").c_str()), 0);
    EXPECT_EQ(RunCommand("unzip -p '" + RootPath() + "/second.zip'"), "again");
    EXPECT_EQ(CountTempFiles("zip_"), 0);
}

TEST(CZip, SaveFailures) {
    const std::string target = RootPath() + "/existing.zip";
    {
        CZip fresh;
        EXPECT_EQ(FirstLine(Thrown([&] { fresh.Save(Utf16(target).c_str(), false); })),
                  Utf8(u"Архив пуст или уже был сохранен!"));
    }

    std::ofstream(target) << "keep me";
    {
        CZip zip;
        zip.Add(Blob("data"), u"a.txt");
        const CError error = Thrown([&] { zip.Save(Utf16(target).c_str(), false); });
        EXPECT_EQ(FirstLine(error), Utf8(u"Ошибка перезаписи файла " + Utf16(target) + u"!"));
        EXPECT_EQ(error.getCode(), static_cast<int32_t>(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(ReadBytes(target), "keep me");
        // The closed temporary file waits for the object's end.
        EXPECT_EQ(CountTempFiles("zip_"), 1);
    }
    EXPECT_EQ(CountTempFiles("zip_"), 0);

    // A failed move can be retried with replacing allowed.
    CZip retry;
    retry.Add(Blob("data"), u"a.txt");
    Thrown([&] { retry.Save(Utf16(target).c_str(), false); });
    retry.Save(Utf16(target).c_str(), true);
    EXPECT_EQ(ReadBytes(target).substr(0, 2), "PK");
    EXPECT_EQ(CountTempFiles("zip_"), 0);
}

std::string TempArchive() {
    for (const auto& entry : std::filesystem::directory_iterator(TempDir()))
        if (entry.path().filename().string().rfind("zip_", 0) == 0) return entry.path().string();
    return std::string();
}

TEST(CZip, UnsavedArchiveVanishes) {
    // Others may read the temporary archive but not change it, whatever the umask.
    const mode_t savedMask = umask(0);
    {
        CZip zip;
        zip.Add(Blob("data"), u"a.txt");
        umask(savedMask);
        ASSERT_EQ(CountTempFiles("zip_"), 1);
        struct stat st {};
        ASSERT_EQ(stat(TempArchive().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
    }
    umask(savedMask);
    EXPECT_EQ(CountTempFiles("zip_"), 0);
}

TEST(CZip, ClosedArchiveTakesNoMoreEntries) {
    CZip zip;
    zip.Add(Blob("data"), u"a.txt");
    // The temporary file disappears under the archive: the save stops after closing the archive.
    std::filesystem::remove(TempArchive());
    CError error = Thrown([&] { zip.Save(Utf16(RootPath() + "/never.zip").c_str(), false); });
    EXPECT_EQ(FirstLine(error), "SetFileAttributes");
    EXPECT_EQ(error.getCode(), static_cast<int32_t>(ERROR_FILE_NOT_FOUND));
    error = Thrown([&] { zip.Add(Blob("more"), u"b.txt"); });
    EXPECT_EQ(FirstLine(error), Utf8(u"Архив уже закрыт для добавления данных!"));
    EXPECT_FALSE(std::filesystem::exists(RootPath() + "/never.zip"));
}

TEST(CZip, EntryNames) {
    // Stored in the configured code page, "\" as "/", the UTF-8 flag only for code page 65001.
    const std::string archive = RootPath() + "/names.zip";
    const std::u16string name = u"Журнал\\лог.txt";
    {
        CZip zip;
        EXPECT_EQ(FirstLine(Thrown([&] { zip.Add(Blob("x"), u""); })),
                  Utf8(u"Неверный параметр записи ZIP-архива"));
        EXPECT_EQ(FirstLine(Thrown([&] { zip.Add(Blob("x"), nullptr); })),
                  Utf8(u"Неверный параметр записи ZIP-архива"));
        zip.Add(Blob("x"), name.c_str());
        zip.Save(Utf16(archive).c_str(), false);
    }
    int* codePagePtr = GetZipEncodingPtr();
    const UINT codePage = codePagePtr ? static_cast<UINT>(*codePagePtr) : 866u;
    std::u16string stored = name;
    stored[6] = u'/';
    char expected[64] = {};
    const int length = WideCharToMultiByte(codePage, 0, stored.data(), static_cast<int>(stored.size()),
                                           expected, sizeof(expected), nullptr, nullptr);
    ASSERT_GT(length, 0);

    // The first local header: signature, flags at offset 6, name length at 26, the name at 30.
    const std::string bytes = ReadBytes(archive);
    ASSERT_GT(bytes.size(), 30u + length);
    ASSERT_EQ(bytes.substr(0, 4), std::string("PK\x03\x04", 4));
    const unsigned flags = static_cast<unsigned char>(bytes[6]) | (static_cast<unsigned char>(bytes[7]) << 8);
    const unsigned nameLength =
        static_cast<unsigned char>(bytes[26]) | (static_cast<unsigned char>(bytes[27]) << 8);
    EXPECT_EQ(nameLength, static_cast<unsigned>(length));
    EXPECT_EQ(bytes.substr(30, nameLength), std::string(expected, length));
    EXPECT_EQ((flags & 0x800) != 0, codePage == CP_UTF8);
}
