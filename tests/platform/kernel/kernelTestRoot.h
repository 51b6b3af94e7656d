// The kernel tests' root for one test, their UTF-8 literals and the helper program.
#pragma once

#include "testSupport.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// The kernel tests watch the library make the data, config and state folders and fall back to the
// XDG defaults under HOME, so only HOME and the runtime folder exist and the XDG data and config
// variables are unset; the event log goes to the system's log unless a test names a file.
class KernelTestRoot : public VskTest::TestRoot {
public:
    KernelTestRoot() : TestRoot(Folders::Missing) {
        unset("XDG_DATA_HOME");
        unset("XDG_CONFIG_HOME");
        unset("KESTROVAN_EVENTLOG_FILE");
    }
    static void set(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }
};

using VskTest::Utf16;
using VskTest::Utf8;

// Runs the helper program (a second process) with the arguments and returns its exit code, -1 when it
// could not run.
inline int RunHelper(std::initializer_list<std::string> arguments) {
    std::vector<std::string> texts{VSK_KERNEL_TEST_HELPER};
    texts.insert(texts.end(), arguments);
    std::vector<char*> argv;
    for (auto& t : texts) argv.push_back(t.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
