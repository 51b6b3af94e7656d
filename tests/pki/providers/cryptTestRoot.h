// Shared pieces of the provider-layer tests: one temporary root per test process (HOME, the XDG
// folders and the Kestrovan state folders point into it before the first test), a fake provider
// backend made from a fixture text for one test, and the capture of developer-log lines.
#pragma once

#include <vsk/pki/CSPInfo.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/log.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace CryptTest {

class Root : public ::testing::Environment {
public:
    void SetUp() override {
        // Another suite of the same executable may have made the root already.
        if (const char* existing = getenv("VSK_PKI_TEST_ROOT")) {
            path() = existing;
            return;
        }
        std::string pattern = (std::filesystem::temp_directory_path() / "vsk-pki-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        path() = pattern;
        m_owner = true;
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
        setenv("VSK_PKI_TEST_ROOT", path().c_str(), 1);
    }
    void TearDown() override {
        if (!m_owner) return;
        unsetenv("VSK_PKI_TEST_ROOT");
        std::error_code ignored;
        std::filesystem::remove_all(path(), ignored);
    }

    static std::string& path() {
        static std::string value;
        return value;
    }

private:
    bool m_owner = false;
};

inline ::testing::Environment* const RootEnvironment = ::testing::AddGlobalTestEnvironment(new Root);

inline std::string TempDir() {
    return Root::path() + "/tmp";
}

// While alive, the provider stand-in answers from the fake backend described by `fixture` (the
// fixture format of the stand-in), and the catalogue starts empty.
class FakeBackend {
public:
    explicit FakeBackend(const std::string& fixture) {
        static int counter = 0;
        m_file = TempDir() + "/fake-csp-" + std::to_string(++counter) + ".ini";
        std::ofstream(m_file) << fixture;
        setenv("KESTROVAN_FAKE_CSP", m_file.c_str(), 1);
        CryptReloadProviders();
        Vsk::PKI::ClearCspAlgInfo();
    }
    ~FakeBackend() {
        unsetenv("KESTROVAN_FAKE_CSP");
        CryptReloadProviders();
        Vsk::PKI::ClearCspAlgInfo();
        std::error_code ignored;
        std::filesystem::remove(m_file, ignored);
    }
    FakeBackend(const FakeBackend&) = delete;
    FakeBackend& operator=(const FakeBackend&) = delete;

private:
    std::string m_file;
};

// Collects the developer log's lines at `level` while alive; restores the level afterwards.
class LogCapture {
public:
    explicit LogCapture(int level) : m_saved(log()->getLevel()) {
        log()->setLevel(level);
        log()->setSink([this](const Vsk::Utils::CWString& line) {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_lines.push_back(line.toU16());
        });
    }
    ~LogCapture() {
        log()->setSink(nullptr);
        log()->setLevel(m_saved);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::u16string> lines() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lines;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_lines.clear();
    }
    // The lines that begin with `prefix`.
    std::vector<std::u16string> startingWith(const std::u16string& prefix) const {
        std::vector<std::u16string> found;
        for (const std::u16string& line : lines())
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        return found;
    }

private:
    static Vsk::InternalUtils::CLog* log() { return Vsk::InternalUtils::GetLog(); }
    int m_saved;
    mutable std::mutex m_mutex;
    std::vector<std::u16string> m_lines;
};

}  // namespace CryptTest
