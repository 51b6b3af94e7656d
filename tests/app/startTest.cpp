// The built program started as a user starts it, on the offscreen platform, in a fresh user folder
// (home, XDG folders and the Kestrovan state folders of a new temporary root): it must build its main
// window and keep running.
//
// Nothing outside the program can close an offscreen window, and the program has no switch that
// ends it, so the test knows the window is up from the program's own developer log: started with
// "-trace" (level 3 for the run), the program writes the exit line of its window's construction
// ("CKestrovanDlg::OnInitDialog ->"). The test then ends the program with SIGTERM and counts an end by
// that signal as a good run; that closing the window ends the run with 0 is shown by the window tests.
#include "tempRoot.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// Every developer log under the folder, read whole.
std::string readLogs(const std::filesystem::path& root) {
    std::string text;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(root, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() > 8 && name.compare(name.size() - 8, 8, ".dev.log") == 0) {
            std::ifstream in(it->path(), std::ios::binary);
            text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    return text;
}

TEST(ProgramStart, ShowsItsWindowOnAFreshMachine) {
    VskTest::TempFolder root("kestrovan-start-");

    // The environment of this process with the fresh root's folders, the offscreen platform and no
    // trace of the test root.
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const size_t equals = text.find('=');
        if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : VskTest::RootEnvironment(root.path())) variables[name] = value;
    std::filesystem::create_directories(root / "tmp");
    variables["TMPDIR"] = (root / "tmp").string();
    variables["QT_QPA_PLATFORM"] = "offscreen";
    variables.erase("KESTROVAN_TEST_ROOT");
    variables.erase("KESTROVAN_ADMIN");
    std::vector<std::string> texts;
    for (const auto& [name, value] : variables) texts.push_back(name + "=" + value);
    std::vector<char*> environment;
    for (std::string& text : texts) environment.push_back(text.data());
    environment.push_back(nullptr);

    std::string program = KESTROVAN_EXE;
    std::string trace = "-trace";
    char* arguments[] = {program.data(), trace.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, arguments, environment.data()), 0)
        << program;

    // Up to a minute (sanitizer builds start slowly) for the window.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool shown = false;
    int status = 0;
    bool ended = false;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            break;
        }
        if (readLogs(root.path()).find("CKestrovanDlg::OnInitDialog ->") != std::string::npos) {
            shown = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!ended) {
        // Still running a moment after its window was built.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ended = waitpid(pid, &status, WNOHANG) == pid;
    }
    EXPECT_FALSE(ended) << "the program ended by itself, status " << status;
    // The log is read from the fresh root only: the program used the folders it was given.
    EXPECT_TRUE(shown) << "no window in the developer log:\n" << readLogs(root.path());
    if (!ended) {
        kill(pid, SIGTERM);
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) ||
                    (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << "status " << status;
    }
}

}  // namespace
