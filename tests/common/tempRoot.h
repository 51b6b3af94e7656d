// Temporary folders for the test executables and the benchmarks. A whole process runs in a root of
// its own under $TMPDIR (or /tmp): HOME, the XDG folders, the Kestrovan state folders, the event log
// and TMPDIR itself point into it, so nothing reads or writes the real home or the machine's state,
// and the root is removed when the process that made it exits.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace VskTest {

// The folder temporary files go to: $TMPDIR, or /tmp when it is unset or empty.
std::filesystem::path TempBase();

// A fresh folder "<prefix>XXXXXX" under TempBase(), traversable by other users (some tests act as an
// unprivileged user on files made by root). Throws std::filesystem::filesystem_error when none can
// be made.
std::filesystem::path MakeTempFolder(std::string_view prefix);

// A fresh temporary folder, removed with everything in it when the object goes.
class TempFolder {
public:
    explicit TempFolder(std::string_view prefix = "vsk-") : m_path(MakeTempFolder(prefix)) {}
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::string string() const { return m_path.string(); }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// One variable of a root: the variable and the path inside the root it names. `folder` is false for
// a file (the event log); `mode` is what a made folder gets.
struct RootEntry {
    const char* variable;
    const char* name;
    bool folder;
    mode_t mode;
};

// The variables that point into a root and where they point; TMPDIR is not among them (a root for
// one test keeps the process's TMPDIR, where fixtures made once per process live).
const std::vector<RootEntry>& RootLayout();

// The variables of RootLayout() with their values for `root`, making the folders when `make` is set.
std::vector<std::pair<std::string, std::string>> RootEnvironment(const std::filesystem::path& root,
                                                                 bool make = true);

// Puts the calling process into a root: the one named by KESTROVAN_TEST_ROOT when a parent test
// process made it (a child leaves it for the parent to remove), else a fresh "<prefix>XXXXXX" root,
// exported as KESTROVAN_TEST_ROOT and removed when this process exits. Points every variable of
// RootLayout() and TMPDIR (the root's "tmp") into it. Returns the root.
std::filesystem::path EnterProcessRoot(std::string_view prefix);

}  // namespace VskTest
