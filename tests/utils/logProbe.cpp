// A small program that drives the developer log, the trace scope and the common record from a fresh
// process, so tests can watch first reads of settings and the log file as another process sees it.
// Each argument group is one command; results are printed to stdout as "name=value" lines.
#include <vsk/platform/kernelTesting.h>
#include <vsk/platform/registry.h>
#include <vsk/utils/error.h>
#include <vsk/utils/global.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/system.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using Vsk::InternalUtils::GetLog;
using Vsk::Utils::CAString;
using Vsk::Utils::CWString;

namespace {

CWString Wide(const char* utf8) {
    return CWString(utf8, static_cast<size_t>(-1), CP_UTF8);
}

std::string Utf8(const CWString& text) {
    return CAString(text, CP_UTF8).toStd();
}

HKEY Root(const char* name) {
    return std::strcmp(name, "HKLM") == 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

unsigned long Number(const char* text) {
    return std::strtoul(text, nullptr, 0);
}

void SetValue(const char* root, const char* key, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY handle = nullptr;
    LONG rc =
        RegCreateKeyExW(Root(root), Wide(key).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr);
    if (rc == 0) {
        rc = RegSetValueExW(handle, Wide(name).c_str(), 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(handle);
    }
    std::printf("regset=%ld\n", static_cast<long>(rc));
}

// "regget=<type>:<hex bytes>" or "regget=missing".
void PrintValue(const char* root, const char* key, const char* name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(Root(root), Wide(key).c_str(), 0, KEY_READ, &handle) != 0) {
        std::printf("regget=missing\n");
        return;
    }
    BYTE data[1024];
    DWORD size = sizeof data, type = 0;
    const LONG rc = RegQueryValueExW(handle, Wide(name).c_str(), nullptr, &type, data, &size);
    RegCloseKey(handle);
    if (rc != 0) {
        std::printf("regget=missing\n");
        return;
    }
    std::printf("regget=%u:", type);
    for (DWORD i = 0; i < size; ++i) std::printf("%02x", data[i]);
    std::printf("\n");
}

// A message of `length` characters that shows where it was cut: "0123456789" repeated.
CWString Digits(size_t length) {
    std::u16string text;
    for (size_t i = 0; i < length; ++i) text += static_cast<char16_t>(u'0' + i % 10);
    return CWString(text.c_str(), text.size());
}

int Run(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string command = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "missing argument of %s\n", command.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (command == "clock") {
            const FILETIME t = U64ToFileTime(std::strtoull(next(), nullptr, 0));
            SetClockOverride(&t);
        } else if (command == "level") {
            const int word = static_cast<int>(Number(next()));
            GetLog()->setLevel(word, static_cast<DWORD>(Number(next())));
        } else if (command == "print-level") {
            std::printf("level=%d\n", GetLog()->getLevel());
        } else if (command == "escalate") {
            const int result = GetLog()->escalateLevel();
            std::printf("escalate=%d level=%d\n", result, GetLog()->getLevel());
        } else if (command == "write") {
            const DWORD flags = static_cast<DWORD>(Number(next()));
            GetLog()->write(Wide(next()), flags);
        } else if (command == "logat") {
            const int level = static_cast<int>(Number(next()));
            Vsk::InternalUtils::LogAt(level, Wide(next()));
        } else if (command == "long") {
            const size_t length = Number(next());
            GetLog()->write(Digits(length), static_cast<DWORD>(Number(next())));
        } else if (command == "utf16") {
            // A message given as UTF-16 code units in hexadecimal (lone surrogates and pairs alike).
            std::u16string text;
            for (const char* p = next(); *p; p += 4)
                text += static_cast<char16_t>(std::strtoul(std::string(p, 4).c_str(), nullptr, 16));
            GetLog()->write(CWString(text.c_str(), text.size()));
        } else if (command == "thread") {
            const CWString text = Wide(next());
            DWORD id = 0;
            std::thread worker([&] {
                id = GetCurrentThreadId();
                GetLog()->write(text);
            });
            worker.join();
            std::printf("thread=%x\n", id);
        } else if (command == "thread-level") {
            int level = -1;
            std::thread worker([&] { level = GetLog()->getLevel(); });
            worker.join();
            std::printf("threadlevel=%d\n", level);
        } else if (command == "threads") {
            const int count = static_cast<int>(Number(next()));
            const int lines = static_cast<int>(Number(next()));
            std::vector<std::thread> workers;
            for (int t = 0; t < count; ++t)
                workers.emplace_back([t, lines] {
                    for (int n = 0; n < lines; ++n)
                        GetLog()->write(CWString(u"worker ") + Vsk::Utils::ToWString(t) + u" line " +
                                        Vsk::Utils::ToWString(n) + u" " + Digits(200));
                });
            for (std::thread& worker : workers) worker.join();
        } else if (command == "ids") {
            std::printf("process=%x\nthread=%x\nuser=%s\n", GetCurrentProcessId(), GetCurrentThreadId(),
                        Utf8(Vsk::InternalUtils::GetUserNameText()).c_str());
        } else if (command == "max-size") {
            std::printf("maxsize=%u\n", GetLog()->getMaxSize());
        } else if (command == "folder") {
            const CWString folder = Wide(next());
            GetLog()->setFolder(folder, Number(next()) != 0);
        } else if (command == "get-folder") {
            std::printf("folder=%s\n", Utf8(GetLog()->getFolder()).c_str());
        } else if (command == "path") {
            std::printf("path=%s\n", Utf8(GetLog()->getPath()).c_str());
        } else if (command == "nolog") {
            Vsk::InternalUtils::WriteLog(nullptr, Wide(next()));
        } else if (command == "nolog-max") {
            std::printf("maxsize=%u\n", Vsk::InternalUtils::GetLogMaxSize(nullptr));
        } else if (command == "regdword") {
            const char* root = next();
            const char* key = next();
            const char* name = next();
            const DWORD value = static_cast<DWORD>(Number(next()));
            SetValue(root, key, name, REG_DWORD, &value, sizeof value);
        } else if (command == "regsz") {
            const char* root = next();
            const char* key = next();
            const char* name = next();
            const CWString text = Wide(next());
            SetValue(root, key, name, REG_SZ, text.c_str(), (text.getLength() + 1) * 2);
        } else if (command == "regget") {
            const char* root = next();
            const char* key = next();
            PrintValue(root, key, next());
        } else if (command == "flags-get") {
            std::printf("flags=%x\n", Vsk::InternalUtils::GetLibraryFlags(static_cast<int>(Number(next()))));
        } else if (command == "flags-set") {
            const DWORD bits = static_cast<DWORD>(Number(next()));
            const DWORD mask = static_cast<DWORD>(Number(next()));
            const bool persist = Number(next()) != 0;
            const int defaultWord = static_cast<int>(Number(next()));
            try {
                Vsk::InternalUtils::SetLibraryFlags(bits, mask, persist, defaultWord);
                std::printf("flags-set=ok\n");
            } catch (const Vsk::Utils::CError& e) {
                std::printf("flags-set=%u %s\n", e.getErrorNumber(), Utf8(e.getMessage()).c_str());
            }
        } else if (command == "blocksize") {
            std::printf("blocksize=%u\n", Vsk::InternalUtils::GetMaxFileBlockSize());
        } else if (command == "zipenc") {
            int* codePage = Vsk::InternalUtils::zipEncoding();
            std::printf("zipenc=%d\n", codePage ? *codePage : -1);
        } else if (command == "scope") {
            Vsk::InternalUtils::CLogScope scope("Vsk::Probe::run", 3, Wide(next()));
            scope.m_result = u"done";
        } else {
            std::fprintf(stderr, "unknown command %s\n", command.c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return Run(argc, argv);
}
