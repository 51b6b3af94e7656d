// Helpers shared by the test executables: the executable's temporary root (made by testMain.cpp), a
// fresh root for one test, a capture of the developer log's lines, an environment guard, UTF-8 <->
// UTF-16 for the tests' own texts, and what an action threw.
#pragma once

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tempRoot.h"

// The log capture and the CWString overloads are there for the executables that link the utilities.
#if __has_include(<vsk/utils/log.h>)
#include <gtest/gtest.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/progress.h>
#include <vsk/utils/string.h>
#define VSK_TEST_SUPPORT_HAS_UTILS 1
#endif

namespace VskTest {

// The temporary root of the whole test executable (tempRoot.h); a child process started by a test
// shares it.
inline std::string RootPath() {
    const char* root = std::getenv("KESTROVAN_TEST_ROOT");
    return root ? root : "";
}

// The executable's temporary folder ($TMPDIR, inside the root).
inline std::string TempDir() {
    return RootPath() + "/tmp";
}

// A fresh root for one test, for tests that must not see each other's state (registry hives, user
// and machine folders): HOME, the XDG folders, the Kestrovan state folders and the event log point
// into it while it lives, and every variable changed through it is restored afterwards. TMPDIR
// stays on the executable's folder because fixtures made once per process live there.
class TestRoot {
public:
    // Missing: only the home and runtime folders are made; the data, config, cache and state folders
    // are named but left for the library to make, for tests that watch that.
    enum class Folders { Made, Missing };

    explicit TestRoot(Folders folders = Folders::Made)
        : m_make(folders == Folders::Made), m_path(MakeTempFolder("vsk-test-").string()) {
        remember("TMPDIR");
        for (const auto& [variable, value] : RootEnvironment(m_path, false)) point(variable, value);
    }
    ~TestRoot() {
        for (const auto& [name, value] : m_saved) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TestRoot(const TestRoot&) = delete;
    TestRoot& operator=(const TestRoot&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

    // Changes a variable until the root goes.
    void set(const char* name, const std::string& value) {
        remember(name);
        setenv(name, value.c_str(), 1);
    }
    void unset(const char* name) {
        remember(name);
        unsetenv(name);
    }

private:
    void remember(const char* name) {
        if (m_saved.count(name)) return;
        const char* value = std::getenv(name);
        m_saved[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
    // The home and runtime folders are always made; the others only for Folders::Made.
    void point(const std::string& name, const std::string& path) {
        for (const RootEntry& entry : RootLayout())
            if (entry.folder && name == entry.variable &&
                (m_make || name == "HOME" || name == "XDG_RUNTIME_DIR")) {
                std::filesystem::create_directories(path);
                chmod(path.c_str(), entry.mode);
            }
        set(name.c_str(), path);
    }

    bool m_make;
    std::string m_path;
    std::map<std::string, std::optional<std::string>> m_saved;
};

// Sets (or, with nullptr, removes) an environment variable for one scope.
class EnvGuard {
public:
    EnvGuard(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~EnvGuard() { m_old ? setenv(m_name.c_str(), m_old->c_str(), 1) : unsetenv(m_name.c_str()); }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// UTF-8 (the tests' own texts, written u8"..." or read from files; narrow literals are code page
// 1251) to UTF-16. A malformed sequence becomes U+FFFD.
inline std::u16string Utf16(std::string_view text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const int extra = c < 0x80                ? 0
                          : c >= 0xC2 && c < 0xE0 ? 1
                          : c >= 0xE0 && c < 0xF0 ? 2
                          : c >= 0xF0 && c < 0xF5 ? 3
                                                  : -1;
        char32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        bool good = extra >= 0;
        for (int k = 1; good && k <= extra; ++k) {
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                good = false;
            else
                cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        if (good && ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000))) ||
                     (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))))
            good = false;
        if (!good) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        i += 1 + extra;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
inline std::string Utf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (cp >= 0xD800 && cp < 0xE000)
            cp = 0xFFFD;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}
inline std::string Utf8(const std::u16string& text) {
    return Utf8(std::u16string_view(text));
}
inline std::string Utf8(const char16_t* text) {
    return Utf8(std::u16string_view(text));
}
// The bytes of a u8"..." literal, for texts that must be UTF-8 (narrow literals are code page 1251).
inline std::string Utf8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

#ifdef VSK_TEST_SUPPORT_HAS_UTILS
inline std::string Utf8(const Vsk::Utils::CWString& text) {
    return Utf8(text.toU16());
}

// What `action` threw: the CError it raised (a CCryptError and its kin as their CError), or nothing
// when it returned.
template <class Action>
std::optional<Vsk::Utils::CError> MaybeThrown(Action&& action) {
    try {
        std::forward<Action>(action)();
    } catch (const Vsk::Utils::CError& error) {
        return error;
    }
    return std::nullopt;
}

// The CError that `action` must raise; a test failure, and an empty CError, when it returned.
template <class Action>
Vsk::Utils::CError Thrown(Action&& action) {
    if (auto error = MaybeThrown(std::forward<Action>(action))) return *error;
    ADD_FAILURE() << "nothing raised";
    return Vsk::Utils::CError();
}

// Collects the developer log's lines while it lives, at `level` when one is given; the level is
// restored afterwards.
class LogCapture {
public:
    explicit LogCapture(std::optional<int> level = std::nullopt) : m_log(Vsk::InternalUtils::GetLog()) {
        if (!m_log) return;
        m_savedLevel = m_log->getLevel();
        if (level) m_log->setLevel(*level);
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

    std::vector<std::u16string> lines() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.clear();
    }
    // How many lines contain `part`.
    size_t count(const std::u16string& part) const {
        size_t n = 0;
        for (const auto& line : lines())
            if (line.find(part) != std::u16string::npos) ++n;
        return n;
    }
    bool any(const std::u16string& part) const { return count(part) != 0; }
    // The lines that begin with `prefix`.
    std::vector<std::u16string> startingWith(const std::u16string& prefix) const {
        std::vector<std::u16string> found;
        for (const auto& line : lines())
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        return found;
    }

private:
    Vsk::InternalUtils::CLog* m_log = nullptr;
    int m_savedLevel = 0;
    mutable std::mutex m_lock;
    std::vector<std::u16string> m_lines;
};

// A progress object that records the ranges it is given and cancels once its position reaches
// `cancelAt` (never when 0).
class RecordingProgress : public Vsk::Utils::IProgress {
public:
    void start(const WCHAR*) override {}
    void stop() override {}
    bool setRange(uint32_t range) override {
        ranges.push_back(range);
        m_range = range;
        return true;
    }
    uint32_t getRange() override { return m_range; }
    void setPos(uint32_t position) override { m_pos = static_cast<int32_t>(position); }
    int32_t getPos() override { return m_pos; }
    void next() override { ++m_pos; }
    bool isCancelled() override { return cancelAt != 0 && m_pos >= cancelAt; }

    std::vector<uint32_t> ranges;
    int32_t cancelAt = 0;

private:
    uint32_t m_range = 0;
    int32_t m_pos = -1;
};
#endif

}  // namespace VskTest
