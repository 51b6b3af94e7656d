// A second process for the kernel tests: it tries what the test's own process holds and reports the
// outcome in its exit code.
//   kernelTestHelper write <path>          0 when a writer (sharing reads) opens the file, else the last
//   error kernelTestHelper read <path>           the same for a reader that shares reading and writing
//   kernelTestHelper mutex <name> <ms>     0 acquired (then released), 1 time-out, 2 abandoned, 3 failed
#include <vsk/platform/file.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/wait.h>

#include <cstdlib>
#include <string>

namespace {

std::u16string wide(const char* text) {
    std::u16string out;
    for (; *text; ++text) out += static_cast<unsigned char>(*text);
    return out;
}

int openFile(const char* path, DWORD access, DWORD share) {
    HANDLE file = CreateFileW(wide(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError() & 0xFF);
    CloseHandle(file);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "write" && argc == 3) return openFile(argv[2], GENERIC_WRITE, FILE_SHARE_READ);
    if (command == "read" && argc == 3)
        return openFile(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (command == "mutex" && argc == 4) {
        HANDLE mutex = CreateMutexW(nullptr, FALSE, wide(argv[2]).c_str());
        if (!mutex) return 3;
        const DWORD result = WaitForSingleObject(mutex, static_cast<DWORD>(std::atoi(argv[3])));
        int code = result == WAIT_OBJECT_0    ? 0
                   : result == WAIT_TIMEOUT   ? 1
                   : result == WAIT_ABANDONED ? 2
                                              : 3;
        if (code == 0 || code == 2) ReleaseMutex(mutex);
        CloseHandle(mutex);
        return code;
    }
    return 100;
}
