// A temporary folder for one test, with HOME, the XDG folders and the Kestrovan state folders pointed
// into it and restored afterwards, so that no test touches the real home.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

class KernelTestRoot {
public:
    KernelTestRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vsk-kernel-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
        for (const char* name :
             {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "KESTROVAN_USER_DIR",
              "KESTROVAN_MACHINE_DIR", "KESTROVAN_EVENTLOG_FILE", "TMPDIR"}) {
            const char* value = getenv(name);
            saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
        }
        std::filesystem::create_directories(path_ + "/home");
        std::filesystem::create_directories(path_ + "/runtime");
        set("HOME", path_ + "/home");
        set("XDG_RUNTIME_DIR", path_ + "/runtime");
        set("KESTROVAN_USER_DIR", path_ + "/user");
        set("KESTROVAN_MACHINE_DIR", path_ + "/machine");
        unsetenv("XDG_DATA_HOME");
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("KESTROVAN_EVENTLOG_FILE");
    }
    ~KernelTestRoot() {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    KernelTestRoot(const KernelTestRoot&) = delete;
    KernelTestRoot& operator=(const KernelTestRoot&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    static void set(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

private:
    std::string path_;
    std::map<std::string, std::optional<std::string>> saved_;
};

// Narrow literals are code page 1251 in this build; texts that must be UTF-8 are written u8"...".
inline std::string U8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

// UTF-8 to UTF-16 for the test's own texts (ASCII and Cyrillic paths).
inline std::u16string Wide(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char32_t cp;
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
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

inline std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

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
