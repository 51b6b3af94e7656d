#include "tempRoot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace VskTest {

namespace {

// The root this process made and the process that made it: a child forked by a test shares the
// atexit list and must not remove its parent's root.
std::string& ownedRoot() {
    static std::string path;
    return path;
}
pid_t ownerPid = 0;

void removeOwnedRoot() {
    if (getpid() != ownerPid || ownedRoot().empty()) return;
    std::error_code error;
    std::filesystem::remove_all(ownedRoot(), error);
    if (error)
        std::fprintf(stderr, "temporary root %s not removed: %s\n", ownedRoot().c_str(),
                     error.message().c_str());
}

void makeFolder(const std::filesystem::path& folder, mode_t mode) {
    std::filesystem::create_directories(folder);
    chmod(folder.c_str(), mode);
}

}  // namespace

std::filesystem::path TempBase() {
    const char* base = std::getenv("TMPDIR");
    return base && *base ? base : "/tmp";
}

std::filesystem::path MakeTempFolder(std::string_view prefix) {
    std::string pattern = (TempBase() / prefix).string() + "XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::filesystem::filesystem_error("mkdtemp", pattern,
                                                std::error_code(errno, std::generic_category()));
    chmod(pattern.c_str(), 0755);
    return pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

const std::vector<RootEntry>& RootLayout() {
    static const std::vector<RootEntry> layout{
        {"HOME", "home", true, 0755},
        {"XDG_DATA_HOME", "data", true, 0755},
        {"XDG_CONFIG_HOME", "config", true, 0755},
        {"XDG_CACHE_HOME", "cache", true, 0755},
        {"XDG_RUNTIME_DIR", "runtime", true, 0700},
        {"KESTROVAN_USER_DIR", "user", true, 0700},
        {"KESTROVAN_MACHINE_DIR", "machine", true, 0755},
        {"KESTROVAN_EVENTLOG_FILE", "eventlog.txt", false, 0},
    };
    return layout;
}

std::vector<std::pair<std::string, std::string>> RootEnvironment(const std::filesystem::path& root,
                                                                 bool make) {
    std::vector<std::pair<std::string, std::string>> values;
    for (const RootEntry& entry : RootLayout()) {
        const std::filesystem::path path = root / entry.name;
        if (make && entry.folder) makeFolder(path, entry.mode);
        values.emplace_back(entry.variable, path.string());
    }
    return values;
}

std::filesystem::path EnterProcessRoot(std::string_view prefix) {
    const char* inherited = std::getenv("KESTROVAN_TEST_ROOT");
    std::filesystem::path root;
    if (inherited && *inherited) {
        root = inherited;
    } else {
        try {
            root = MakeTempFolder(prefix);
        } catch (const std::filesystem::filesystem_error& error) {
            std::fprintf(stderr, "no temporary root: %s\n", error.what());
            std::exit(2);
        }
        ownedRoot() = root.string();
        ownerPid = getpid();
        std::atexit(removeOwnedRoot);
        setenv("KESTROVAN_TEST_ROOT", root.c_str(), 1);
    }
    for (const auto& [variable, value] : RootEnvironment(root)) setenv(variable.c_str(), value.c_str(), 1);
    makeFolder(root / "tmp", 0755);
    setenv("TMPDIR", (root / "tmp").c_str(), 1);
    return root;
}

}  // namespace VskTest
