// One temporary root for the whole test process: HOME, the XDG folders, TMPDIR and the Kestrovan
// state folders point into it before the first test, because the library caches some folders for
// the life of the process. A child process started by a test shares the parent's root through
// VSK_FILES_TEST_ROOT and leaves it in place.
#pragma once

#include <vsk/platform/kernel.h>
#include <vsk/utils/string.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace FilesTest {

class Root : public ::testing::Environment {
public:
    void SetUp() override {
        if (const char* inherited = getenv("VSK_FILES_TEST_ROOT")) {
            path() = inherited;
            owner_ = false;
        } else {
            std::string pattern = (std::filesystem::temp_directory_path() / "vsk-files-XXXXXX").string();
            ASSERT_NE(mkdtemp(pattern.data()), nullptr);
            path() = pattern;
            owner_ = true;
        }
        for (const char* sub : {"home", "data", "config", "cache", "runtime", "tmp", "user", "machine"})
            std::filesystem::create_directories(path() + "/" + sub);
        setenv("HOME", (path() + "/home").c_str(), 1);
        setenv("XDG_DATA_HOME", (path() + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (path() + "/config").c_str(), 1);
        setenv("XDG_CACHE_HOME", (path() + "/cache").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (path() + "/runtime").c_str(), 1);
        setenv("TMPDIR", (path() + "/tmp").c_str(), 1);
        setenv("KESTROVAN_USER_DIR", (path() + "/user").c_str(), 1);
        setenv("KESTROVAN_MACHINE_DIR", (path() + "/machine").c_str(), 1);
        setenv("KESTROVAN_EVENTLOG_FILE", (path() + "/eventlog.txt").c_str(), 1);
    }
    void TearDown() override {
        if (!owner_) return;
        std::error_code ignored;
        std::filesystem::remove_all(path(), ignored);
    }

    static std::string& path() {
        static std::string value;
        return value;
    }

private:
    bool owner_ = false;
};

inline std::string RootPath() {
    return Root::path();
}
inline std::string TempDir() {
    return Root::path() + "/tmp";
}

// UTF-8 (test texts, file-system paths) to UTF-16 and back.
inline std::u16string W(const std::string& text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n), u'\0');
    if (n) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}
inline std::string U8(const std::u16string& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    if (n)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                            nullptr);
    return out;
}
inline std::string U8(const Vsk::Utils::CWString& text) {
    return U8(text.toU16());
}
inline std::string U8(const char16_t* text) {
    return U8(std::u16string(text));
}

// Names of the files in the temporary folder that begin with `prefix`.
inline int CountTempFiles(const std::string& prefix) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(TempDir()))
        if (entry.path().filename().string().rfind(prefix, 0) == 0) ++count;
    return count;
}

}  // namespace FilesTest
