#include "testSupport.h"

#include <vsk/platform/kernel.h>
#include <vsk/platform/shell.h>
#include <vsk/utils/error.h>
#include <vsk/utils/file.h>
#include <vsk/utils/log.h>
#include <vsk/utils/string.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <vector>

extern char** environ;

using namespace Vsk::Utils;
using namespace Vsk::InternalUtils;
using namespace VskTest;

namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

// ---- CFile ----------------------------------------------------------------------------------------

TEST(CFileErrors, TextsAndCodes) {
    const std::string missing = RootPath() + "/no-such-file.txt";
    const std::string noFolder = RootPath() + "/no-such-folder/out.txt";
    const std::string held = RootPath() + "/held.txt";
    const std::string writeOnly = RootPath() + "/write-only.txt";
    WriteText(writeOnly, "0123456789");
    CFile holder;
    holder.openForWrite(Utf16(held).c_str(), CREATE_ALWAYS);

    struct Row {
        const char* what;
        std::function<void(CFile&)> op;
        std::u16string message;  // the whole message for code 0, its first line otherwise
        DWORD code;
    };
    const Row rows[] = {
        {"open a missing file for reading", [&](CFile& f) { f.openForRead(Utf16(missing).c_str()); },
         u"Файл \"" + Utf16(missing) + u"\" не открылся на чтение", ERROR_FILE_NOT_FOUND},
        {"open in a missing folder for writing",
         [&](CFile& f) { f.openForWrite(Utf16(noFolder).c_str(), CREATE_ALWAYS); },
         u"Файл \"" + Utf16(noFolder) + u"\" не открылся на запись", ERROR_PATH_NOT_FOUND},
        {"second writer", [&](CFile& f) { f.openForWrite(Utf16(held).c_str(), OPEN_EXISTING); },
         u"Файл \"" + Utf16(held) + u"\" не открылся на запись", ERROR_SHARING_VIOLATION},
        {"read without a file", [](CFile& f) { f.read(); }, u"Файл не был открыт на чтение!", 0},
        {"write without a file",
         [](CFile& f) {
             static_cast<CDataBlob&>(f) = CDataBlob("x", 1, true);
             f.write();
         },
         u"Файл не был открыт на запись!", 0},
        {"size without a file", [](CFile& f) { f.getSize(); }, u"Файл не был открыт!", 0},
        {"read from a handle open for writing",
         [&](CFile& f) {
             f.openForWrite(Utf16(writeOnly).c_str(), OPEN_EXISTING);
             static_cast<CDataBlob&>(f) = CDataBlob(size_t{4});
             f.read();
         },
         u"Ошибка чтения файла \"" + Utf16(writeOnly) + u"\"", Vsk::Utils::LastErrorCode},
        {"write to a full device",
         [](CFile& f) {
             static_cast<CDataBlob&>(f) = CDataBlob("data", 4, true);
             f.writeAll(u"/dev/full", OPEN_EXISTING);
         },
         u"Ошибка записи в файл \"/dev/full\"", ERROR_DISK_FULL},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CFile file;
        const CError error = Thrown([&] { row.op(file); });
        const std::u16string message = error.getMessage().toU16();
        if (row.code == 0) {
            EXPECT_EQ(Utf8(message), Utf8(row.message));
            EXPECT_EQ(error.getCode(), 0);
        } else {
            // The system's text for the code follows on its own line.
            EXPECT_EQ(Utf8(message.substr(0, message.find(u"\r\n"))), Utf8(row.message));
            if (row.code == Vsk::Utils::LastErrorCode)
                EXPECT_NE(error.getCode(), 0);
            else
                EXPECT_EQ(error.getCode(), static_cast<int32_t>(row.code));
        }
    }
}

TEST(CFileErrors, WholeFileLimits) {
    // A sparse file past 4 GiB cannot be read in one piece.
    const std::string big = RootPath() + "/big.bin";
    {
        int fd = ::open(big.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 0x100000010LL), 0);
        ::close(fd);
    }
    CFile file;
    CError error = Thrown([&] { file.readAll(Utf16(big).c_str()); });
    EXPECT_EQ(Utf8(error.getMessage()),
              Utf8(u"Файл \"" + Utf16(big) + u"\" слишком большой для чтения целиком!"));
    EXPECT_EQ(error.getCode(), 0);
    // The file stays open after the failure.
    EXPECT_EQ(file.getSize(), 0x100000010ull);
    file.close();
    std::filesystem::remove(big);

    // Kernel attribute files report a page as their size and hold less.
    const char* shortFile = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat st {};
    if (stat(shortFile, &st) == 0 && st.st_size == 4096 && access(shortFile, R_OK) == 0) {
        CFile partial;
        error = Thrown([&] { partial.readAll(Utf16(shortFile).c_str()); });
        const std::string expected = Utf8(u"Файл \"" + Utf16(shortFile) + u"\" не прочтен полностью (");
        EXPECT_EQ(Utf8(error.getMessage()).rfind(expected, 0), 0u) << Utf8(error.getMessage());
        EXPECT_NE(Utf8(error.getMessage()).find(Utf8(u" из 4096)")), std::string::npos);
    }
}

TEST(CFile, WholeFileRoundTrip) {
    const std::string path = RootPath() + "/round.bin";
    const std::string content("line 1\r\n\0binary\xff", 16);

    CFile writer(CDataBlob(content.data(), content.size(), true));
    writer.writeAll(Utf16(path).c_str(), CREATE_ALWAYS);
    EXPECT_EQ(ReadText(path), content);
    EXPECT_EQ(Utf8(writer.getFileName()), path);

    // Reading gets storage of its own: the blob the file was made from keeps its bytes.
    CDataBlob source("keep", 4, true);
    CFile reader(source);
    reader.readAll(Utf16(path).c_str());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(reader.getData()), reader.CDataBlob::getSize()),
              content);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(source.getData()), source.getSize()), "keep");

    // An empty blob writes an empty file, and reading it back leaves an empty blob.
    CFile empty;
    empty.write();  // never opened: nothing to write, nothing to fail
    empty.writeAll(Utf16(path).c_str(), CREATE_ALWAYS);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    CFile emptyReader(CDataBlob("x", 1, true));
    emptyReader.readAll(Utf16(path).c_str());
    EXPECT_EQ(emptyReader.CDataBlob::getSize(), 0u);
}

TEST(CFile, ReadFillsThePresizedBlob) {
    const std::string path = RootPath() + "/ten.txt";
    WriteText(path, "0123456789");
    CFile file(CDataBlob(size_t{4}));
    file.openForRead(Utf16(path).c_str());
    EXPECT_EQ(file.getSize(), 10u);
    std::string got;
    for (DWORD expected : {4u, 4u, 2u, 0u}) {
        const DWORD n = file.read();
        EXPECT_EQ(n, expected);
        got.append(reinterpret_cast<const char*>(file.getData()), n);
        EXPECT_EQ(file.CDataBlob::getSize(), 4u);
    }
    EXPECT_EQ(got, "0123456789");
}

TEST(CFile, TracedAtLevelFour) {
    const std::string path = RootPath() + "/traced.txt";
    WriteText(path, "0123456789");
    CLog* log = GetLog();
    ASSERT_NE(log, nullptr);
    std::vector<std::string> lines;
    auto readOnce = [&](int level) {
        lines.clear();
        log->setLevel(level, CLog::FlagThread);
        log->setSink([&](const CWString& line) { lines.push_back(Utf8(line)); });
        CFile file(CDataBlob(size_t{4}));
        file.openForRead(Utf16(path).c_str());
        file.read();
        log->setSink(nullptr);
        log->setLevel(0, CLog::FlagRemoveThread);
    };
    auto has = [&](const std::string& text) {
        for (const std::string& line : lines)
            if (line.find(text) != std::string::npos) return true;
        return false;
    };
    readOnce(4);
    EXPECT_TRUE(has("InternalUtils::CFile::openForRead(" + path + ")"));
    EXPECT_TRUE(has("InternalUtils::CFile::read(4)"));
    EXPECT_FALSE(has("Vsk::InternalUtils::CFile"));  // written without the leading "Vsk::"
    readOnce(3);
    EXPECT_FALSE(has("InternalUtils::CFile::"));
}

TEST(CFile, RelativePathIsStoredFull) {
    const std::string folder = RootPath() + "/rel";
    std::filesystem::create_directories(folder + "/sub");
    const std::string saved = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(folder.c_str()), 0);
    CFile writer(CDataBlob("abc", 3, true));
    writer.writeAll(u"out.txt", CREATE_ALWAYS);
    CFile reader;
    reader.openForRead(u"sub/../out.txt");
    ASSERT_EQ(chdir(saved.c_str()), 0);
    EXPECT_EQ(Utf8(writer.getFileName()), folder + "/out.txt");
    EXPECT_EQ(Utf8(reader.getFileName()), folder + "/out.txt");
}

TEST(CFile, LastWriteTimeIsLocal) {
    const std::string path = RootPath() + "/stamped.txt";
    WriteText(path, "x");
    // 2020-03-04 05:06:07 UTC.
    const time_t stamp = 1583298367;
    const timespec times[2] = {{stamp, 0}, {stamp, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    tm local{};
    localtime_r(&stamp, &local);

    CFile file;
    SYSTEMTIME st{};
    EXPECT_FALSE(file.getLastWriteTime(st));
    file.openForRead(Utf16(path).c_str());
    ASSERT_TRUE(file.getLastWriteTime(st));
    EXPECT_EQ(st.wYear, local.tm_year + 1900);
    EXPECT_EQ(st.wMonth, local.tm_mon + 1);
    EXPECT_EQ(st.wDay, local.tm_mday);
    EXPECT_EQ(st.wHour, local.tm_hour);
    EXPECT_EQ(st.wMinute, 6);
    EXPECT_EQ(st.wSecond, 7);
}

// ---- Temporary files ----------------------------------------------------------------------------

TEST(CTempFile, FileVanishesWithTheLastHandle) {
    std::string path;
    {
        CTempFile first;
        EXPECT_EQ(first.getPath().getLength(), 0u);
        path = Utf8(first.getName(u"tst_"));
        EXPECT_EQ(Utf8(first.getName(u"other_")), path);  // the name is made once
        WriteText(path, "temporary");
        {
            CTempFile second = first;
            EXPECT_EQ(Utf8(second.getPath()), path);
        }
        EXPECT_TRUE(std::filesystem::exists(path));  // still held by `first`
    }
    EXPECT_FALSE(std::filesystem::exists(path));

    CTempFile file;
    const std::string old = Utf8(file.getName(nullptr));
    WriteText(old, "x");
    file.reset();
    EXPECT_FALSE(std::filesystem::exists(old));
    EXPECT_EQ(file.getPath().getLength(), 0u);
    EXPECT_NE(Utf8(file.getName(nullptr)), old);
}

TEST(TempFileName, FreshGuidInTheTemporaryFolder) {
    const std::string a = Utf8(Get_TempFileName(u"zip_"));
    const std::string b = Utf8(Get_TempFileName(u"zip_"));
    const std::string prefix = TempDir() + "/zip_";
    EXPECT_NE(a, b);
    EXPECT_EQ(a.size(), b.size());
    for (const std::string& name : {a, b}) {
        ASSERT_EQ(name.rfind(prefix, 0), 0u) << name;
        const std::string guid = name.substr(prefix.size());
        ASSERT_EQ(guid.size(), 36u) << name;
        for (size_t i = 0; i < guid.size(); ++i) {
            if (i == 8 || i == 13 || i == 18 || i == 23)
                EXPECT_EQ(guid[i], '-');
            else
                EXPECT_TRUE(std::isdigit(guid[i]) || (guid[i] >= 'a' && guid[i] <= 'f')) << guid;
        }
    }
    EXPECT_EQ(Utf8(Get_TempFileName(nullptr)).size(), TempDir().size() + 1 + 36);
}

// ---- Path helpers ---------------------------------------------------------------------------------

TEST(PathHelpers, NameParts) {
    struct Row {
        std::u16string path, folder, name;
    };
    const Row rows[] = {
        {u"/home/u/a.b.txt", u"/home/u/", u"a.b.txt"},
        {u"C:\\dir/sub\\file", u"C:\\dir/sub\\", u"file"},  // the later separator wins
        {u"/x\\y/z", u"/x\\y/", u"z"},
        {u"name.ext", u"name.ext", u"name.ext"},
        {u"folder/", u"folder/", u""},
        {u"", u"", u""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Utf8(row.path));
        EXPECT_EQ(Utf8(GetFolderPart(CWString(row.path.c_str()))), Utf8(row.folder));
        EXPECT_EQ(Utf8(GetFileNamePartW(CWString(row.path.c_str()))), Utf8(row.name));
        const std::string narrow = Utf8(row.path);
        EXPECT_STREQ(GetFileNamePartA(narrow.c_str()), Utf8(row.name).c_str());
    }
    EXPECT_EQ(GetFileNamePartA(nullptr), nullptr);
}

TEST(PathHelpers, TextEdits) {
    struct Row {
        std::u16string input, firstDot, withSeparator, validName;
    };
    const Row rows[] = {
        {u"kestrovan.dev.log", u"kestrovan", u"kestrovan.dev.log/", u"kestrovan.dev.log"},
        {u"/tmp/", u"/tmp/", u"/tmp/", u"tmp"},
        {u"C:\\Logs\\", u"C:\\Logs\\", u"C:\\Logs\\", u"C  Logs"},
        {u"  a:b?  ", u"  a:b?  ", u"  a:b?  /", u"a b"},
        {u"*|\\:\"<>?/", u"*|\\:\"<>?/", u"*|\\:\"<>?/", u""},
        {u"\tКонтейнер <1>\r\n", u"\tКонтейнер <1>\r\n", u"\tКонтейнер <1>\r\n/", u"Контейнер  1"},
        {u".hidden", u"", u".hidden/", u".hidden"},
        {u"", u"", u"/", u""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Utf8(row.input));
        CWString cut(row.input.c_str());
        TruncateAtFirstDot(cut);
        EXPECT_EQ(Utf8(cut), Utf8(row.firstDot));
        CWString folder(row.input.c_str());
        AddBackslash(folder);
        EXPECT_EQ(Utf8(folder), Utf8(row.withSeparator));
        EXPECT_EQ(Utf8(MakeValidFileName(CWString(row.input.c_str()))), Utf8(row.validName));
    }
}

TEST(PathHelpers, DiskQueries) {
    const std::string file = RootPath() + "/exists.txt";
    WriteText(file, "x");
    struct Row {
        std::string path;
        bool isFile, isDirectory;
    };
    const Row rows[] = {
        {file, true, false},
        {RootPath(), false, true},
        {RootPath() + "/", false, true},
        {RootPath() + "/missing", false, false},
        {"", false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(FileExists(CWString(Utf16(row.path).c_str())), row.isFile);
        EXPECT_EQ(DirectoryExists(CWString(Utf16(row.path).c_str())), row.isDirectory);
    }

    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(Utf8(GetFullPath(CWString(u"a/./b/../c.txt"))), cwd + "/a/c.txt");
    EXPECT_EQ(Utf8(GetFullPath(CWString(u"/x//y/"))), "/x/y/");
    EXPECT_EQ(GetFullPath(CWString()).getLength(), 0u);  // failure keeps the text

    EXPECT_EQ(Utf8(Vsk::InternalUtils::GetTempPathW()), TempDir() + "/");
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(Utf8(Vsk::InternalUtils::GetModuleFileNameW(nullptr)), exe);
    EXPECT_EQ(Utf8(GetModuleFolder(nullptr)), exe.substr(0, exe.rfind('/') + 1));

    // The special folder is not created when it is missing.
    const std::string desktop = RootPath() + "/home/Desktop";
    EXPECT_EQ(GetSpecialFolderPath(CSIDL_DESKTOPDIRECTORY).getLength(), 0u);
    EXPECT_FALSE(std::filesystem::exists(desktop));
    std::filesystem::create_directories(desktop);
    EXPECT_EQ(Utf8(GetSpecialFolderPath(CSIDL_DESKTOPDIRECTORY)), desktop);
}

// ---- Profile folder -------------------------------------------------------------------------------

TEST(ProfileFolder, NamedFolderIsCreated) {
    const std::string expected = RootPath() + "/config/Kestrovan";
    EXPECT_EQ(Utf8(GetProfileFolder(CWString(u"Kestrovan"))), expected);
    EXPECT_TRUE(std::filesystem::is_directory(expected));
    // Parents are made as needed, and no final separator is returned.
    EXPECT_EQ(Utf8(GetProfileFolder(CWString(u"Voskel/Helvor/"))), RootPath() + "/config/Voskel/Helvor");
    EXPECT_TRUE(std::filesystem::is_directory(RootPath() + "/config/Voskel/Helvor"));
}

// Also run by ProgramNameWithDots in a copy of this program with a dotted name.
TEST(ProfileFolder, EmptyNameIsProgramName) {
    std::string name = std::filesystem::read_symlink("/proc/self/exe").filename().string();
    if (name.find('.') != std::string::npos) name.erase(name.rfind('.'));
    const std::string expected = RootPath() + "/config/" + name;
    EXPECT_EQ(Utf8(GetProfileFolder(CWString())), expected);
    EXPECT_TRUE(std::filesystem::is_directory(expected));
}

TEST(ProfileFolder, ProgramNameWithDots) {
    std::string copy = RootPath() + "/prog.name.bin";
    std::filesystem::copy_file("/proc/self/exe", copy, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    std::string filter = "--gtest_filter=ProfileFolder.EmptyNameIsProgramName";
    char* argv[] = {copy.data(), filter.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, copy.c_str(), nullptr, nullptr, argv, environ), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Only the last dot goes.
    EXPECT_TRUE(std::filesystem::is_directory(RootPath() + "/config/prog.name"));
}
