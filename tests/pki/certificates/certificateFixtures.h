// Certificates made at test time with the openssl command and the GOST engine, and openssl as the
// oracle of their fields. Each fixture is made once per test process in the temporary root's TMPDIR.
// Texts handed to openssl are UTF-8 (u8 literals): narrow literals are code page 1251 here.
#pragma once

#include <vsk/utils/dataBlob.h>
#include <vsk/utils/string.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

namespace CertFixture {

inline std::string utf8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

inline std::filesystem::path folder() {
    static const std::filesystem::path path = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::filesystem::path p = std::filesystem::path(tmp && *tmp ? tmp : "/tmp") /
                                  ("certificate-fixtures-" + std::to_string(getpid()));
        std::filesystem::create_directories(p);
        return p;
    }();
    return path;
}

// Runs a shell command; its standard output, or nullopt-like empty text with ok=false on failure.
inline std::string run(const std::string& command, bool* ok = nullptr) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        if (ok) *ok = false;
        return output;
    }
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
    const int status = pclose(pipe);
    if (ok) *ok = status == 0;
    return output;
}

inline std::string quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

inline Vsk::Utils::CDataBlob readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return Vsk::Utils::CDataBlob(bytes.data(), bytes.size(), true);
}

// Key kinds: openssl -newkey arguments and the engine flag they need.
enum class Key { Gost256, Gost512, Rsa2048, Rsa2048Exponent3 };

inline std::string keyArguments(Key key) {
    switch (key) {
        case Key::Gost256:
            return "-engine gost -newkey gost2012_256 -pkeyopt paramset:A";
        case Key::Gost512:
            return "-engine gost -newkey gost2012_512 -pkeyopt paramset:A";
        case Key::Rsa2048:
            return "-newkey rsa:2048";
        case Key::Rsa2048Exponent3:
            return "-newkey rsa:2048 -pkeyopt rsa_keygen_pubexp:3";
    }
    return {};
}

inline bool isGost(Key key) {
    return key == Key::Gost256 || key == Key::Gost512;
}

struct Made {
    std::filesystem::path pem;
    std::filesystem::path der;
    Key key;
    Vsk::Utils::CDataBlob derBytes() const { return readFile(der); }
    Vsk::Utils::CDataBlob pemBytes() const { return readFile(pem); }
    // openssl x509 on this certificate with `arguments`; standard output.
    std::string x509(const std::string& arguments) const {
        return run("openssl x509 " + std::string(isGost(key) ? "-engine gost " : "") + "-in " +
                   quote(pem.string()) + " -noout " + arguments + " 2>/dev/null");
    }
    // The value after "<key>=" in the output of x509 (first line that has it).
    std::string field(const std::string& arguments, const std::string& key) const {
        std::istringstream lines(x509(arguments));
        std::string line;
        while (std::getline(lines, line))
            if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
        return {};
    }
};

// A self-signed certificate, made once per name. `subject` is UTF-8 in openssl's /A=v/B=w form;
// `serial` is a number openssl accepts ("0x0102"), empty for a random one.
inline Made make(const std::string& name, Key key, const std::string& subject,
                 const std::string& serial = {}) {
    static std::mutex lock;
    static std::map<std::string, Made> made;
    std::lock_guard guard(lock);
    auto it = made.find(name);
    if (it != made.end()) return it->second;
    Made result{folder() / (name + ".pem"), folder() / (name + ".der"), key};
    const std::filesystem::path keyFile = folder() / (name + ".key");
    std::string command = "openssl req -x509 -utf8 -nodes -days 30 " + keyArguments(key) + " -keyout " +
                          quote(keyFile.string()) + " -out " + quote(result.pem.string()) + " -subj " +
                          quote(subject);
    if (!serial.empty()) command += " -set_serial " + serial;
    bool ok = false;
    run(command + " >/dev/null 2>&1", &ok);
    EXPECT_TRUE(ok) << command;
    run("openssl x509 -in " + quote(result.pem.string()) + " -outform DER -out " +
            quote(result.der.string()) + " 2>/dev/null",
        &ok);
    EXPECT_TRUE(ok);
    made.emplace(name, result);
    return result;
}

// Hexadecimal text to bytes (colons and blanks skipped).
inline std::string hexToBytes(const std::string& hex) {
    std::string digits;
    for (char c : hex)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    std::string bytes;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    return bytes;
}

inline std::string upperHex(const BYTE* data, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

inline std::string upperHex(const Vsk::Utils::CDataBlob& blob) {
    return upperHex(blob.getData(), blob.getSize());
}

// "Dec 10 13:55:06 2026 GMT" as a FILETIME (100 ns since 1601).
inline FILETIME opensslTime(const std::string& text) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::istringstream in(text);
    std::string month, clock;
    int day = 0, year = 0;
    in >> month >> day >> clock >> year;
    int mon = 0;
    while (mon < 12 && month != months[mon]) ++mon;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon;
    tm.tm_mday = day;
    tm.tm_hour = std::stoi(clock.substr(0, 2));
    tm.tm_min = std::stoi(clock.substr(3, 2));
    tm.tm_sec = std::stoi(clock.substr(6, 2));
    const uint64_t ticks = (static_cast<uint64_t>(timegm(&tm)) + 11644473600ULL) * 10000000ULL;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

inline uint64_t ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace CertFixture
