#include "kernelObjects.h"

#include <vsk/platform/kernel.h>
#include <vsk/platform/process.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace vsk::kernel;

namespace {

BOOL fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// The words after the program, split at blanks.
void splitWords(const std::string& text, std::vector<std::string>& words) {
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isBlank(text[i])) ++i;
        const size_t start = i;
        while (i < text.size() && !isBlank(text[i])) ++i;
        if (i > start) words.push_back(text.substr(start, i - start));
    }
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The program (a path as the callers write it) and its arguments from the command line.
bool parseCommandLine(const std::string& line, std::string& program, std::vector<std::string>& arguments) {
    size_t start = 0;
    while (start < line.size() && isBlank(line[start])) ++start;
    if (start == line.size()) return false;
    if (line[start] == '"') {
        const size_t close = line.find('"', start + 1);
        program = line.substr(start + 1, close == std::string::npos ? std::string::npos : close - start - 1);
        if (close != std::string::npos) splitWords(line.substr(close + 1), arguments);
        return !program.empty();
    }
    std::string whole = line.substr(start);
    while (!whole.empty() && isBlank(whole.back())) whole.pop_back();
    std::string wholePath = whole;
    for (char& c : wholePath)
        if (c == '\\') c = '/';
    if (fileExists(wholePath)) {
        program = whole;
        return true;
    }
    size_t end = start;
    while (end < line.size() && !isBlank(line[end])) ++end;
    program = line.substr(start, end - start);
    splitWords(line.substr(end), arguments);
    return true;
}

DWORD spawnError(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case ENOEXEC:
            return ERROR_BAD_EXE_FORMAT;
        default:
            return Win32FromErrno(err);
    }
}

}  // namespace

BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine, SECURITY_ATTRIBUTES*, SECURITY_ATTRIBUTES*, BOOL,
                    DWORD, LPVOID environment, LPCWSTR folder, STARTUPINFOW*,
                    PROCESS_INFORMATION* information) {
    if (environment) return fail(ERROR_INVALID_PARAMETER);
    std::string program;
    std::vector<std::string> arguments;
    const std::string line = commandLine ? ToUtf8(commandLine) : std::string();
    if (application && *application) {
        program = ToUtf8(application);
        // The command line's first word names the program again (argv[0]); the rest are arguments.
        std::string first;
        std::vector<std::string> rest;
        if (parseCommandLine(line, first, rest)) arguments = rest;
    } else if (!parseCommandLine(line, program, arguments)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    const std::string path = PathToUtf8(ToUtf16(program).c_str());

    std::vector<std::string> texts{path};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Only the standard descriptors go to the new program.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::string folderPath;
    if (folder && *folder) {
        folderPath = PathToUtf8(folder);
        posix_spawn_file_actions_addchdir_np(&actions, folderPath.c_str());
    }
    pid_t pid = 0;
    const int err = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) return fail(spawnError(err));

    // Nobody waits for the program through a handle: reap it when it ends.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    if (information) {
        information->hProcess = nullptr;
        information->hThread = nullptr;
        information->dwProcessId = static_cast<DWORD>(pid);
        information->dwThreadId = 0;
    }
    return TRUE;
}
