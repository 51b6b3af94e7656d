#include "kernelTestRoot.h"

#include <vsk/platform/file.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/process.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

constexpr DWORD Untouched = 0x5EED;

void writeText(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Waits up to 5 s for a file that a started program writes when it has finished.
std::string waitForText(const std::string& path) {
    for (int i = 0; i < 500 && !std::filesystem::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return readText(path);
}

}  // namespace

// The program comes from the command line (whole path with blanks, quoted path with arguments) or
// from the application name; a descriptor of this process that is not close-on-exec does not reach
// it; missing and non-executable programs fail with their codes.
TEST(Process, CreateProcessStartsTheProgramOfTheCommandLine) {
    KernelTestRoot root;
    const std::string folder = root / "my programs";
    std::filesystem::create_directories(folder);
    const std::string script = folder + "/new program";
    const std::string mark = root / "mark";
    // Writes its arguments and whether descriptor 9 (held open below) is there, then the mark.
    writeText(script,
              "#!/bin/sh\n{ echo \"$*\"; [ -e /proc/$$/fd/9 ] && echo fd9; } > \"" + mark + ".tmp\"\n" +
                  "mv \"" + mark + ".tmp\" \"" + mark + "\"\n",
              0755);
    writeText(root / "plain", "text", 0644);
    const int held = open((root / "plain").c_str(), O_RDONLY);
    ASSERT_GE(dup2(held, 9), 0);

    struct Case {
        const char* name;
        std::string application;
        std::string commandLine;
        DWORD error;
        const char* output;
    } cases[] = {
        {"unquoted path with blanks", "", script, 0, "\n"},
        {"quoted path and arguments", "", "\"" + script + "\" one  two", 0, "one two\n"},
        {"application name", script, "ignored first", 0, "first\n"},
        {"missing program", "", root / "none", ERROR_FILE_NOT_FOUND, nullptr},
        {"not executable", "", root / "plain", ERROR_ACCESS_DENIED, nullptr},
        {"empty command line", "", "  ", ERROR_INVALID_PARAMETER, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(mark);
        std::u16string line = Utf16(c.commandLine);
        const std::u16string application = Utf16(c.application);
        STARTUPINFOW start{};
        start.cb = sizeof start;
        PROCESS_INFORMATION info{};
        SetLastError(Untouched);
        const BOOL started =
            CreateProcessW(c.application.empty() ? nullptr : application.c_str(), line.data(), nullptr,
                           nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &start, &info);
        EXPECT_EQ(GetLastError(), c.error ? c.error : Untouched);
        if (c.error) {
            EXPECT_FALSE(started);
            continue;
        }
        ASSERT_TRUE(started);
        EXPECT_NE(info.dwProcessId, 0u);
        EXPECT_EQ(info.hProcess, nullptr);
        EXPECT_EQ(waitForText(mark), c.output);
    }
    close(9);
    close(held);
}

// The write time (and the access time) of a file opened for writing is set to the second and below;
// a null time keeps its value; a read-only handle is refused.
TEST(Process, SetFileTimeSetsTheWriteTime) {
    KernelTestRoot root;
    const std::string path = root / "program";
    writeText(path, "x");
    const FILETIME written = U64ToFileTime(133'500'000'001'234'500ULL);
    const FILETIME accessed = U64ToFileTime(133'400'000'000'000'000ULL);

    struct Case {
        const char* name;
        DWORD access;
        const FILETIME* access_;
        const FILETIME* write;
        DWORD error;
        uint64_t expectedWrite;
        uint64_t expectedAccess;
    } cases[] = {
        {"both times", GENERIC_WRITE, &accessed, &written, 0, FileTimeToU64(written),
         FileTimeToU64(accessed)},
        {"write only", GENERIC_WRITE, nullptr, &accessed, 0, FileTimeToU64(accessed),
         FileTimeToU64(accessed)},
        {"read-only handle", GENERIC_READ, nullptr, &written, ERROR_ACCESS_DENIED, FileTimeToU64(accessed),
         FileTimeToU64(accessed)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE file = CreateFileW(Utf16(path).c_str(), c.access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        SetLastError(Untouched);
        EXPECT_EQ(SetFileTime(file, nullptr, c.access_, c.write), c.error ? FALSE : TRUE);
        EXPECT_EQ(GetLastError(), c.error ? c.error : Untouched);
        FILETIME lastWrite{}, lastAccess{};
        ASSERT_TRUE(GetFileTime(file, nullptr, &lastAccess, &lastWrite));
        EXPECT_EQ(FileTimeToU64(lastWrite), c.expectedWrite);
        EXPECT_EQ(FileTimeToU64(lastAccess), c.expectedAccess);
        CloseHandle(file);
    }
    SetLastError(Untouched);
    EXPECT_FALSE(SetFileTime(nullptr, nullptr, nullptr, &written));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}
