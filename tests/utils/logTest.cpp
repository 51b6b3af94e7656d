// The developer log, the common record and the library flags as a fresh process sees them: each test
// runs the probe program in a temporary root of its own (home, XDG folders, state folders, event-log
// sink) and reads what it left behind.
#include <vsk/platform/file.h>
#include <vsk/platform/registry.h>
#include <vsk/utils/global.h>
#include <vsk/utils/log.h>

#include <gtest/gtest.h>

#include "tempRoot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const char* const LogKey = "Software\\Voskel\\Helvor";
const char* const SettingsKey = "Software\\Voskel\\HelvorCom\\Settings";

// 2026-03-04 05:06:07.089 UTC as a FILETIME; the probe runs with TZ=UTC, so local time is the same.
std::string FixedClock() {
    SYSTEMTIME t{};
    t.wYear = 2026;
    t.wMonth = 3;
    t.wDay = 4;
    t.wHour = 5;
    t.wMinute = 6;
    t.wSecond = 7;
    t.wMilliseconds = 89;
    FILETIME ft;
    EXPECT_TRUE(SystemTimeToFileTime(&t, &ft));
    return std::to_string(FileTimeToU64(ft));
}
const char* const FixedStamp = "2026.03.04 05:06:07.089";

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

struct ProbeResult {
    int status = -1;
    std::multimap<std::string, std::string> values;
    std::string get(const std::string& key) const {
        auto it = values.find(key);
        return it == values.end() ? std::string("<none>") : it->second;
    }
    std::vector<std::string> all(const std::string& key) const {
        std::vector<std::string> out;
        for (auto [it, end] = values.equal_range(key); it != end; ++it) out.push_back(it->second);
        return out;
    }
};

class LogProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = VskTest::MakeTempFolder("vsklog-");
        for (const auto& [variable, value] : VskTest::RootEnvironment(m_root)) m_env[variable] = value;
        m_env.insert({
            {"KESTROVAN_ADMIN", "0"},
            {"TMPDIR", m_root.string()},
            {"TZ", "UTC"},
        });
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    ProbeResult probe(const std::vector<std::string>& args, const std::string& program = VSK_LOG_PROBE) {
        std::vector<std::string> envText;
        for (char** e = environ; *e; ++e) {
            std::string entry = *e;
            std::string name = entry.substr(0, entry.find('='));
            if (!m_env.count(name)) envText.push_back(entry);
        }
        for (auto& [name, value] : m_env) envText.push_back(name + "=" + value);
        std::vector<char*> envp, argv;
        for (auto& e : envText) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<std::string> argText{program};
        argText.insert(argText.end(), args.begin(), args.end());
        for (auto& a : argText) argv.push_back(a.data());
        argv.push_back(nullptr);

        int fds[2];
        ProbeResult result;
        if (pipe(fds) != 0) return result;
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            execve(program.c_str(), argv.data(), envp.data());
            _exit(127);
        }
        close(fds[1]);
        std::string out;
        char buffer[4096];
        ssize_t n;
        while ((n = read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
        close(fds[0]);
        waitpid(pid, &result.status, 0);
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos) result.values.emplace(line.substr(0, eq), line.substr(eq + 1));
        }
        EXPECT_EQ(result.status, 0) << out;
        return result;
    }

    fs::path logFolder() const { return m_root / "data" / "Helvor"; }
    fs::path logFile(const std::string& name = "logProbe.dev.log") const { return logFolder() / name; }
    std::string events() const { return ReadFile(m_root / "eventlog.txt"); }

    fs::path m_root;
    std::map<std::string, std::string> m_env;
};

std::string Cp1251(const std::u16string& text) {
    std::string out(text.size() * 2 + 1, '\0');
    const int n = WideCharToMultiByte(1251, 0, text.c_str(), static_cast<int>(text.size()), out.data(),
                                      static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(static_cast<size_t>(n));
    return out;
}

// Arguments and the event-log file are UTF-8, while narrow literals here are code page 1251.
std::string U8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

std::string Digits(size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += static_cast<char>('0' + i % 10);
    return text;
}

}  // namespace

// The first line names program, user, process and thread; later lines only what changed; messages
// are code page 1251 with CRLF ends, "\n" continued by a tab, long ones cut below level 5.
TEST_F(LogProbeTest, LinesMatchTheFormatByteForByte) {
    const ProbeResult r = probe({"clock",
                                 FixedClock(),
                                 "ids",  //
                                 "write",
                                 "0",
                                 "first",  //
                                 "write",
                                 "0",
                                 "second",  //
                                 "write",
                                 "0",
                                 "a\nb\nc",  //
                                 "thread",
                                 "from thread",  //
                                 "write",
                                 "0",
                                 "back",  //
                                 "write",
                                 "0",
                                 U8(u8"Жёлтый €"),  //
                                 "utf16",
                                 "0061d83dde000062",  // a, U+1F600, b
                                 "logat",
                                 "3",
                                 "gated out",  //
                                 "logat",
                                 "2",
                                 "gated in",  //
                                 "long",
                                 "5000",
                                 "0",  //
                                 "long",
                                 "4096",
                                 "0",  //
                                 "long",
                                 "5000",
                                 "8",  //
                                 "level",
                                 "5",
                                 "0",
                                 "long",
                                 "5000",
                                 "0"});
    const std::string stamp = FixedStamp;
    const std::string user = r.get("user");
    ASSERT_FALSE(user.empty());
    std::string expected = stamp + " logProbe user:" + user + " process:" + r.get("process") +
                           " thread:" + r.all("thread").at(0) + " first\r\n";
    expected += stamp + " second\r\n";
    expected += stamp + " a\n\tb\n\tc\r\n";
    expected += stamp + " thread:" + r.all("thread").at(1) + " from thread\r\n";
    expected += stamp + " thread:" + r.all("thread").at(0) + " back\r\n";
    expected += stamp + " " + Cp1251(u"Жёлтый €") + "\r\n";
    expected += stamp + " a" + Cp1251(u"\U0001F600") + "b\r\n";
    expected += stamp + " gated in\r\n";
    expected += stamp + " " + Digits(4096) + "...(5000 chars)\r\n";
    expected += stamp + " " + Digits(4096) + "\r\n";
    expected += stamp + " " + Digits(5000) + "\r\n";
    expected += stamp + " " + Digits(5000) + "\r\n";
    EXPECT_EQ(ReadFile(logFile()), expected);
    EXPECT_EQ(Cp1251(u"Ж"), "\xC6");
    // Nothing failed, so the event log heard nothing (a surrogate pair is no failed write).
    EXPECT_EQ(events(), "");
}

// Several threads write at once: every line arrives whole.
TEST_F(LogProbeTest, ConcurrentLinesNeverInterleave) {
    probe({"threads", "4", "50"});
    std::istringstream in(ReadFile(logFile()));
    int count = 0;
    for (std::string line; std::getline(in, line);) {
        ++count;
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.back(), '\r');
        EXPECT_NE(line.find(" line "), std::string::npos) << line;
        EXPECT_NE(line.find(Digits(200) + "\r"), std::string::npos) << line;
    }
    EXPECT_EQ(count, 200);
}

// The level: "log" of the current user, else of the machine, else 2; read once per process; with
// per-thread overrides.
TEST_F(LogProbeTest, LevelComesFromTheRegistryAndThreadOverrides) {
    EXPECT_EQ(probe({"print-level"}).get("level"), "2");

    m_env["KESTROVAN_ADMIN"] = "1";
    probe({"regdword", "HKLM", LogKey, "log", "3"});
    m_env["KESTROVAN_ADMIN"] = "0";
    EXPECT_EQ(probe({"print-level"}).get("level"), "3");

    // The current user's value wins; the level is read once, later changes are not seen.
    const ProbeResult r = probe({"regdword", "HKCU", LogKey, "log", "1", "print-level",  //
                                 "regdword", "HKCU", LogKey, "log", "5", "print-level"});
    EXPECT_EQ(r.all("level"), (std::vector<std::string>{"1", "1"}));

    // A thread's override silences only that thread; removing it gives the global level back.
    const ProbeResult t = probe({"level", "0", "2", "print-level", "thread-level",  //
                                 "level", "0", "4", "print-level"});
    EXPECT_EQ(t.all("level"), (std::vector<std::string>{"0", "5"}));
    EXPECT_EQ(t.get("threadlevel"), "5");
}

// A persisted level goes to the machine for an administrator (the user's copy is removed) and to
// the current user otherwise; the word in memory changes either way.
TEST_F(LogProbeTest, PersistedLevelFollowsTheAdministratorTest) {
    probe({"regdword", "HKCU", LogKey, "log", "2", "level", "4", "1"});
    EXPECT_EQ(probe({"regget", "HKCU", LogKey, "log"}).get("regget"), "4:04000000");

    m_env["KESTROVAN_ADMIN"] = "1";
    const ProbeResult r = probe({"level", "3", "1", "print-level",  //
                                 "regget", "HKLM", LogKey, "log", "regget", "HKCU", LogKey, "log"});
    EXPECT_EQ(r.get("level"), "3");
    EXPECT_EQ(r.all("regget"), (std::vector<std::string>{"4:03000000", "missing"}));
}

// Escalation raises only a global 1, 2 or 3 to 4, in memory only.
TEST_F(LogProbeTest, EscalationTouchesOnlyLevelsOneToThree) {
    struct Row {
        const char* global;
        const char* result;
        const char* level;
    };
    const Row rows[] = {{"0", "0", "0"}, {"1", "0", "4"}, {"2", "0", "4"}, {"3", "0", "4"},
                        {"4", "4", "4"}, {"5", "5", "5"}, {"10", "0", "4"}};
    for (const Row& row : rows) {
        const ProbeResult r = probe({"level", row.global, "0", "escalate"});
        EXPECT_EQ(r.get("escalate"), std::string(row.result) + " level=" + row.level) << row.global;
    }
    // A silenced thread does not keep the other threads from escalating; the registry keeps its 2.
    const ProbeResult r = probe({"regdword", "HKCU", LogKey, "log", "2", "level", "0", "2", "escalate",
                                 "thread-level", "regget", "HKCU", LogKey, "log"});
    EXPECT_EQ(r.get("escalate"), "0 level=0");
    EXPECT_EQ(r.get("threadlevel"), "4");
    EXPECT_EQ(r.get("regget"), "4:02000000");
}

// A file held by another process makes the log move on to ".1", ".2", ... before ".dev.log".
TEST_F(LogProbeTest, HeldFileMovesToTheNextNumberedName) {
    fs::create_directories(logFolder());
    auto hold = [](const fs::path& path) {
        const std::string narrow = path.string();
        const std::u16string wide(narrow.begin(), narrow.end());
        return CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE first = hold(logFile());
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    probe({"clock", FixedClock(), "write", "0", "one", "path"});
    EXPECT_EQ(fs::file_size(logFile()), 0u);
    const std::string moved = ReadFile(logFile("logProbe.1.dev.log"));
    EXPECT_EQ(moved.rfind(std::string(FixedStamp) + " logProbe ", 0), 0u) << moved;
    EXPECT_NE(moved.find(" one\r\n"), std::string::npos);

    HANDLE second = hold(logFile("logProbe.1.dev.log"));
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    const ProbeResult r = probe({"write", "0", "two", "write", "0", "three", "path"});
    EXPECT_EQ(r.get("path"), logFile("logProbe.2.dev.log").string());
    const std::string third = ReadFile(logFile("logProbe.2.dev.log"));
    EXPECT_NE(third.find(" two\r\n"), std::string::npos);
    EXPECT_NE(third.find(" three\r\n"), std::string::npos);
    CloseHandle(first);
    CloseHandle(second);
    EXPECT_EQ(events(), "");
}

// A program named with two dots logs into the name cut at the first dot.
TEST_F(LogProbeTest, ProgramNameIsCutAtTheFirstDot) {
    const fs::path copy = m_root / "a.b.exe";
    fs::copy_file(VSK_LOG_PROBE, copy);
    probe({"write", "0", "hello"}, copy.string());
    const std::string text = ReadFile(logFile("a.dev.log"));
    EXPECT_NE(text.find(" a.b.exe user:"), std::string::npos) << text;
}

// The maximum size: 4194304 by default and for values below 1024.
TEST_F(LogProbeTest, MaximumSizeDefaultsAndFloor) {
    EXPECT_EQ(probe({"max-size"}).get("maxsize"), "4194304");
    const std::pair<const char*, const char*> rows[] = {
        {"1000", "4194304"}, {"1024", "1024"}, {"70000", "70000"}};
    for (auto [stored, expected] : rows)
        EXPECT_EQ(probe({"regdword", "HKCU", LogKey, "logMaxSize", stored, "max-size"}).get("maxsize"),
                  expected);
}

// A file that grows past the maximum is packed into an archive named by the clock and deleted; the
// next line starts a new file with program, process and thread again.
TEST_F(LogProbeTest, FullFileIsPackedIntoADatedArchive) {
    std::vector<std::string> args{"regdword", "HKCU", LogKey, "logMaxSize", "1024", "clock", FixedClock()};
    for (int i = 0; i < 10; ++i)
        args.insert(args.end(), {"write", "0", "line " + std::to_string(i) + " " + Digits(100)});
    probe(args);
    const fs::path archive = logFolder() / "2026.03.04 05.06.07.zip";
    ASSERT_TRUE(fs::exists(archive));

    // One entry named like the log, holding the lines up to the one that crossed the size.
    const std::string listing = [&] {
        std::string command = "unzip -Z1 '" + archive.string() + "'";
        FILE* pipe = popen(command.c_str(), "r");
        std::string out;
        char buffer[256];
        while (pipe && fgets(buffer, sizeof buffer, pipe)) out += buffer;
        if (pipe) {
            EXPECT_EQ(pclose(pipe), 0);
        }
        return out;
    }();
    EXPECT_EQ(listing, "logProbe.dev.log\n");
    const fs::path unpacked = m_root / "unpacked";
    ASSERT_EQ(std::system(("unzip -q '" + archive.string() + "' -d '" + unpacked.string() + "'").c_str()), 0);
    const std::string packed = ReadFile(unpacked / "logProbe.dev.log");
    EXPECT_GT(packed.size(), 1024u);
    EXPECT_EQ(packed.rfind(std::string(FixedStamp) + " logProbe user:", 0), 0u);
    EXPECT_EQ(packed.find("read log:"), std::string::npos) << "a fresh file must be readable for packing";

    // The new file: the remaining lines, opened again with program, process and thread (the user is
    // unchanged).
    const std::string rest = ReadFile(logFile());
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.rfind(std::string(FixedStamp) + " logProbe process:", 0), 0u) << rest;
    // Every line is in exactly one of the two.
    for (int i = 0; i < 10; ++i) {
        const std::string line = " line " + std::to_string(i) + " ";
        EXPECT_EQ((packed.find(line) != std::string::npos) + (rest.find(line) != std::string::npos), 1) << i;
    }
}

// Moving the log: the next line goes to the new folder; with persist the folder is stored as
// "logFolder" (REG_SZ with its NUL) and later processes log there.
TEST_F(LogProbeTest, FolderCanBeMovedAndStored) {
    const fs::path elsewhere = m_root / "elsewhere" / "deep";
    const ProbeResult r =
        probe({"get-folder", "folder", elsewhere.string(), "1", "get-folder", "write", "0", "moved",  //
               "regget", "HKCU", LogKey, "logFolder"});
    EXPECT_EQ(r.all("folder"), (std::vector<std::string>{"", elsewhere.string() + "/"}));
    EXPECT_NE(ReadFile(elsewhere / "logProbe.dev.log").find(" moved\r\n"), std::string::npos);
    std::string hex;
    char byte[3];
    for (char c : elsewhere.string() + "/") {
        std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(c));
        hex += std::string(byte) + "00";
    }
    EXPECT_EQ(r.get("regget"), "1:" + hex + "0000");

    const ProbeResult later = probe({"get-folder", "write", "0", "again"});
    EXPECT_EQ(later.get("folder"), elsewhere.string() + "/");
    EXPECT_NE(ReadFile(elsewhere / "logProbe.dev.log").find(" again\r\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(logFile()));

    // Folders that differ only in letter case are different folders here.
    const fs::path otherCase = m_root / "Elsewhere" / "deep";
    const ProbeResult moved = probe({"folder", otherCase.string(), "1", "write", "0", "case", "get-folder"});
    EXPECT_EQ(moved.get("folder"), otherCase.string() + "/");
    EXPECT_NE(ReadFile(otherCase / "logProbe.dev.log").find(" case\r\n"), std::string::npos);
    EXPECT_EQ(probe({"get-folder", "path"}).get("folder"), otherCase.string() + "/");
}

// The log is its user's alone: the folders it makes are 0700 and its file 0600, whatever the umask
// would let through (0 here, the most permissive).
TEST_F(LogProbeTest, FolderAndFileArePrivate) {
    auto modeOf = [](const fs::path& path) {
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
        return st.st_mode & 07777;
    };
    const mode_t savedMask = umask(0);
    const fs::path elsewhere = m_root / "elsewhere" / "deep";
    probe({"write", "0", "default"});
    probe({"folder", elsewhere.string(), "0", "write", "0", "moved"});
    umask(savedMask);
    EXPECT_EQ(modeOf(logFolder()), 0700u);
    EXPECT_EQ(modeOf(logFile()), 0600u);
    EXPECT_EQ(modeOf(m_root / "elsewhere"), 0700u);
    EXPECT_EQ(modeOf(elsewhere), 0700u);
    EXPECT_EQ(modeOf(elsewhere / "logProbe.dev.log"), 0600u);
}

// Failures of the log itself reach the event log: a null log, and a file that cannot be created.
TEST_F(LogProbeTest, FailuresGoToTheEventLog) {
    const ProbeResult r = probe({"nolog", "lost line", "nolog-max"});
    EXPECT_EQ(r.get("maxsize"), "4194304");
    EXPECT_EQ(events(),
              "Helvor\terror\t0x80004005\tCLog not created, lost line\n"
              "Helvor\terror\t0x80004005\tCLog not created, getMaxSize 4194304\n");

    fs::remove(m_root / "eventlog.txt");
    std::ofstream(m_root / "blocker") << "a file where a folder should be";
    probe({"clock", FixedClock(), "regsz", "HKCU", LogKey, "logFolder",
           (m_root / "blocker" / "sub").string(),  //
           "write", "0", "nowhere"});
    const std::string text = events();
    const std::string head = U8(u8"Helvor\terror\t0x80070003\tСоздание/открытие на запись лог файла \"") +
                             (m_root / "blocker" / "sub" / "logProbe.dev.log").string() + "\": 3: ";
    EXPECT_EQ(text.rfind(head, 0), 0u) << text;
    EXPECT_NE(text.find("\\r\\n" + std::string(FixedStamp) + " logProbe "), std::string::npos) << text;
    EXPECT_NE(text.find(" nowhere\\r\\n\n"), std::string::npos) << text;
}

// The library flags: the first reader's default decides an absent value, once per process.
TEST_F(LogProbeTest, FlagsFollowTheirDefaultRules) {
    EXPECT_EQ(probe({"flags-get", "1", "flags-get", "0"}).all("flags"), (std::vector<std::string>{"1", "1"}));
    EXPECT_EQ(probe({"flags-get", "0"}).get("flags"), "0");

    // Unchanged word: nothing is written.
    ProbeResult r =
        probe({"flags-get", "1", "flags-set", "1", "1", "1", "1", "regget", "HKCU", SettingsKey, "flags"});
    EXPECT_EQ(r.get("regget"), "missing");

    r = probe({"regdword", "HKCU", SettingsKey, "flags", "5", "flags-set", "0", "1", "1", "1", "flags-get",
               "0", "regget", "HKCU", SettingsKey, "flags"});
    EXPECT_EQ(r.get("flags"), "4");
    EXPECT_EQ(r.get("regget"), "4:04000000");

    // Bits outside the mask are set too; without persist nothing is stored.
    r = probe({"regdword", "HKCU", SettingsKey, "flags", "0", "flags-set", "3", "1", "0", "0", "flags-get",
               "0", "regget", "HKCU", SettingsKey, "flags"});
    EXPECT_EQ(r.get("flags"), "3");
    EXPECT_EQ(r.get("regget"), "4:00000000");

    // 0xFFFFFFFF looks unread: every reader loads again.
    r = probe({"regdword", "HKCU", SettingsKey, "flags", "0xffffffff", "flags-get", "1",  //
               "regdword", "HKCU", SettingsKey, "flags", "2", "flags-get", "1"});
    EXPECT_EQ(r.all("flags"), (std::vector<std::string>{"ffffffff", "2"}));
}

// The file block size and the ZIP entry code page: their defaults and stored values.
TEST_F(LogProbeTest, BlockSizeAndZipCodePage) {
    EXPECT_EQ(probe({"blocksize"}).get("blocksize"), "4194304");
    EXPECT_EQ(probe({"regdword", "HKCU", SettingsKey, "maxFileBlockSize", "0", "blocksize"}).get("blocksize"),
              "4194304");
    EXPECT_EQ(probe({"regsz", "HKCU", SettingsKey, "maxFileBlockSize", "many", "blocksize"}).get("blocksize"),
              "4194304");
    EXPECT_EQ(
        probe({"regdword", "HKCU", SettingsKey, "maxFileBlockSize", "65536", "blocksize"}).get("blocksize"),
        "65536");

    // No association for ".zip" on this platform: 866 and one line at level 1.
    EXPECT_EQ(probe({"clock", FixedClock(), "zipenc", "zipenc"}).all("zipenc"),
              (std::vector<std::string>{"866", "866"}));
    const std::string text = ReadFile(logFile());
    const size_t first = text.find(" InternalUtils::zipEncoding AssocQueryString ");
    EXPECT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.rfind(" InternalUtils::zipEncoding AssocQueryString "), first) << text;
    EXPECT_EQ(probe({"regdword", "HKCU", LogKey, "ZipEncoding", "1252", "zipenc"}).get("zipenc"), "1252");
}

// Trace lines reach the file like any other line.
TEST_F(LogProbeTest, TraceLinesReachTheFile) {
    probe({"clock", FixedClock(), "level", "3", "0", "scope", "a=1", "level", "2", "0", "scope", "hidden"});
    std::istringstream in(ReadFile(logFile()));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 20), " -> Probe::run(a=1)\r");
    const std::string exit = std::string(FixedStamp) + " Probe::run -> done ";
    EXPECT_EQ(lines[1].rfind(exit, 0), 0u) << lines[1];
    EXPECT_EQ(lines[1].substr(lines[1].size() - 13), "sec 0.000sec\r") << lines[1];
}

// A hive the registry cannot use is reported in the log, also when that happens while the log reads
// its own level.
TEST_F(LogProbeTest, RegistryFailuresAreLogged) {
    std::ofstream(m_root / "user" / "registry.db") << std::string(8192, 'x');
    probe({"print-level", "write", "0", "after"});
    const std::string text = ReadFile(logFile());
    const size_t after = text.find(" after\r\n");
    ASSERT_NE(after, std::string::npos) << text;
    EXPECT_NE(text.find("registry.db"), std::string::npos) << text;
    EXPECT_LT(text.find("registry.db"), after) << text;
}
