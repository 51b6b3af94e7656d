// A temporary state root for one test: home, XDG folders and both registry hives point into it, and
// the registry is reopened from there. Also a capture of the developer log's lines.
#pragma once

#include <vsk/platform/registry.h>
#include <vsk/utils/log.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace regacc_test {

class TestRoot {
public:
    TestRoot() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/vsk-regacc-XXXXXX";
        const char* made = mkdtemp(pattern.data());
        if (!made) std::abort();
        m_path = made;
        for (const char* sub : {"home", "data", "config", "cache", "runtime", "user", "machine"})
            std::filesystem::create_directories(m_path + "/" + sub);
        set("HOME", "home");
        set("XDG_DATA_HOME", "data");
        set("XDG_CONFIG_HOME", "config");
        set("XDG_CACHE_HOME", "cache");
        set("XDG_RUNTIME_DIR", "runtime");
        set("KESTROVAN_USER_DIR", "user");
        set("KESTROVAN_MACHINE_DIR", "machine");
        RegistryResetForTests();
    }
    ~TestRoot() {
        RegistryResetForTests();
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& path() const { return m_path; }

private:
    void set(const char* name, const char* sub) { setenv(name, (m_path + "/" + sub).c_str(), 1); }
    std::string m_path;
};

// Sets an environment variable for one scope, restoring the previous state after.
class EnvGuard {
public:
    EnvGuard(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old, m_had = true;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~EnvGuard() { m_had ? setenv(m_name, m_old.c_str(), 1) : unsetenv(m_name); }

private:
    const char* m_name;
    std::string m_old;
    bool m_had = false;
};

// Collects the log's lines at a given level while it lives.
class LogCapture {
public:
    explicit LogCapture(int level) {
        m_log = Vsk::InternalUtils::GetLog();
        if (!m_log) return;
        m_savedLevel = m_log->getLevel();
        m_log->setLevel(level);
        m_log->setSink([this](const Vsk::Utils::CWString& line) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_lines.push_back(line.toU16());
        });
    }
    ~LogCapture() {
        if (!m_log) return;
        m_log->setSink(nullptr);
        m_log->setLevel(m_savedLevel);
    }
    std::vector<std::u16string> lines() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines;
    }
    bool any(const std::u16string& part) {
        for (const auto& line : lines())
            if (line.find(part) != std::u16string::npos) return true;
        return false;
    }

private:
    Vsk::InternalUtils::CLog* m_log = nullptr;
    int m_savedLevel = 0;
    std::mutex m_lock;
    std::vector<std::u16string> m_lines;
};

}  // namespace regacc_test
