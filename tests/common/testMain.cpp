// Entry point of every test executable: the whole run happens in a temporary root, so no test can
// read or write the real home, the user's XDG folders or the machine's state folder. The root is
// exported as KESTROVAN_TEST_ROOT; a copy of the executable started by one of its tests finds it
// there, works in the same root and leaves it for its parent to remove.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::filesystem::path makeRoot() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrovan-test-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    // Traversable by other users: some tests act as an unprivileged user on files made by root.
    chmod(pattern.c_str(), 0755);
    return pattern;
}

void point(const char* variable, const std::filesystem::path& folder, mode_t mode = 0755) {
    std::filesystem::create_directories(folder);
    chmod(folder.c_str(), mode);
    setenv(variable, folder.c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
    const char* inherited = std::getenv("KESTROVAN_TEST_ROOT");
    const bool owner = !(inherited && *inherited);
    const std::filesystem::path root = owner ? makeRoot() : std::filesystem::path(inherited);
    setenv("KESTROVAN_TEST_ROOT", root.c_str(), 1);
    point("HOME", root / "home");
    point("XDG_DATA_HOME", root / "data");
    point("XDG_CONFIG_HOME", root / "config");
    point("XDG_CACHE_HOME", root / "cache");
    point("XDG_RUNTIME_DIR", root / "runtime", 0700);
    point("KESTROVAN_USER_DIR", root / "user", 0700);
    point("KESTROVAN_MACHINE_DIR", root / "machine");
    point("TMPDIR", root / "tmp");
    setenv("KESTROVAN_EVENTLOG_FILE", (root / "eventlog.txt").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    if (owner) {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    return result;
}
