// Shared by the catalogue and provider-choice tests: a temporary state root, the fake provider
// backend loaded from a fixture text, and a capture of the developer log's lines. Each test starts
// and ends with an empty catalogue and the built-in providers.
#pragma once

#include <vsk/pki/CSPInfo.h>
#include <vsk/platform/crypt.h>
#include <vsk/platform/registry.h>
#include <vsk/utils/log.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace catalogue_test {

inline std::u16string U16(const Vsk::Utils::CWString& text) {
    return text.toU16();
}

// UTF-16 of a narrow test literal (narrow literals are code page 1251).
inline Vsk::Utils::CWString W(const char* text) {
    return Vsk::Utils::CWString(text, static_cast<size_t>(-1), 1251);
}

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
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::u16string> lines() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines;
    }
    bool any(const std::u16string& part) { return count(part) != 0; }
    size_t count(const std::u16string& part) {
        size_t n = 0;
        for (const auto& line : lines())
            if (line.find(part) != std::u16string::npos) ++n;
        return n;
    }

private:
    Vsk::InternalUtils::CLog* m_log = nullptr;
    int m_savedLevel = 0;
    std::mutex m_lock;
    std::vector<std::u16string> m_lines;
};

// Polls `done` for up to `seconds`.
inline bool WaitFor(const std::function<bool()>& done, int seconds = 10) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

class CatalogueFixture : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/vsk-catalogue-XXXXXX";
        const char* made = mkdtemp(pattern.data());
        ASSERT_NE(made, nullptr);
        m_root = made;
        for (const char* sub : {"home", "data", "config", "cache", "runtime", "user", "machine"})
            std::filesystem::create_directories(m_root + "/" + sub);
        setRootVariable("HOME", "home");
        setRootVariable("XDG_DATA_HOME", "data");
        setRootVariable("XDG_CONFIG_HOME", "config");
        setRootVariable("XDG_CACHE_HOME", "cache");
        setRootVariable("XDG_RUNTIME_DIR", "runtime");
        setRootVariable("KESTROVAN_USER_DIR", "user");
        setRootVariable("KESTROVAN_MACHINE_DIR", "machine");
        RegistryResetForTests();
        useBuiltIn();
    }

    void TearDown() override {
        useBuiltIn();
        RegistryResetForTests();
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }

    // The providers of the fixture text replace the built-in ones; the catalogue starts empty.
    void useFake(const std::string& fixture) {
        const std::string path = m_root + "/providers-" + std::to_string(++m_fixtures) + ".ini";
        std::ofstream(path) << fixture;
        setenv("KESTROVAN_FAKE_CSP", path.c_str(), 1);
        CryptReloadProviders();
        Vsk::PKI::ClearCspAlgInfo();
    }

    void useBuiltIn() {
        unsetenv("KESTROVAN_FAKE_CSP");
        CryptReloadProviders();
        Vsk::PKI::ClearCspAlgInfo();
    }

    // The catalogue's descriptions by name, filling it first.
    Vsk::Utils::CRefPtr<Vsk::PKI::CSPInfo> provider(const char* name) {
        Vsk::PKI::InitCspAlgInfo();
        for (const auto& p : Vsk::PKI::GetCatalogueProviders())
            if (p->m_name == W(name)) return p;
        return {};
    }

    std::vector<std::u16string> providerNames() {
        std::vector<std::u16string> names;
        for (const auto& p : Vsk::PKI::GetCatalogueProviders()) names.push_back(U16(p->m_name));
        return names;
    }

    const std::string& root() const { return m_root; }

private:
    void setRootVariable(const char* name, const char* sub) { setenv(name, (m_root + "/" + sub).c_str(), 1); }

    std::string m_root;
    int m_fixtures = 0;
};

}  // namespace catalogue_test
