#include <vsk/platform/eventLog.h>
#include <vsk/platform/file.h>
#include <vsk/platform/shell.h>
#include <vsk/utils/error.h>
#include <vsk/utils/file.h>
#include <vsk/utils/global.h>
#include <vsk/utils/log.h>
#include <vsk/utils/registry.h>
#include <vsk/utils/system.h>
#include <vsk/utils/zip.h>

#include <cstdio>

namespace Vsk::InternalUtils {

using Utils::CAString;
using Utils::CDataBlob;
using Utils::CLock;
using Utils::CWString;
using Utils::GetSystemErrorText;
using Utils::ToWString;

const WCHAR* const LogLevelNames[6] = {
    u"Не вести лог",
    u"Только ошибки",
    u"Ошибки и предупреждения",
    u"Ошибки, предупреждения и трассировка наружних вызовов",
    u"Ошибки, предупреждения, трассировка наружних и внутренних вызовов",
    u"--||-- + трассировка 2 внутренних вызовов (тормозит)",
};

namespace {

constexpr const WCHAR* LogKey = u"Software\\Voskel\\Helvor";
constexpr int32_t DefaultLevelWord = 2;
constexpr DWORD DefaultMaxSize = 4194304;
constexpr DWORD MinMaxSize = 1024;
constexpr DWORD MaxCutLength = 4096;
constexpr int MaxNameRetries = 256;
constexpr DWORD LogNotCreatedEvent = 0x80004005;

// The event id of a Win32 failure, as HRESULT_FROM_WIN32 forms it.
DWORD EventIdOf(DWORD error) {
    if (static_cast<int32_t>(error) < 1) return error;
    return 0x80070000u | (error & 0xFFFFu);
}

// Paths are built with "/", the separator on disk; folders given by the user may end in either.
void AddSeparator(CWString& folder) {
    const DWORD n = folder.getLength();
    if (n == 0 || (folder.c_str()[n - 1] != u'/' && folder.c_str()[n - 1] != u'\\')) folder += u'/';
}

// A REG_SZ value as text (up to its NUL, when it has one).
CWString TextOf(const CDataBlob& value) {
    const auto* text = reinterpret_cast<const WCHAR*>(value.getData());
    const size_t units = value.getSize() / sizeof(WCHAR);
    size_t length = 0;
    while (length < units && text[length] != 0) ++length;
    return length == 0 ? CWString() : CWString(text, length);
}

// A log setting: the current user's value, else the machine's when that one is missing or empty.
CDataBlob ReadSetting(const WCHAR* name) {
    // Reading the settings must not disturb the caller's last error: every log call keeps it.
    Utils::CLastErrorGuard keepLastError;
    CDataBlob value = regReadValue(LogKey, name, HKEY_CURRENT_USER, nullptr);
    if (value.getSize() == 0) value = regReadValue(LogKey, name, HKEY_LOCAL_MACHINE, nullptr);
    return value;
}

// Settings go to the machine for an administrator (the user's own copy is then removed, so the
// machine's value takes effect), else to the current user. Failures are ignored.
void WriteSetting(const WCHAR* name, DWORD type, const void* data, DWORD size) {
    bool checkWorked = false;
    const bool admin = Utils::IsCurrentUserAdmin(&checkWorked) && checkWorked;
    HKEY key = nullptr;
    if (regCreateKey(admin ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, LogKey, KEY_WRITE, &key) != 0) return;
    const LONG result = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    regCloseKey(&key);
    if (result != 0 || !admin) return;
    HKEY userKey = nullptr;
    if (regCreateKey(HKEY_CURRENT_USER, LogKey, KEY_SET_VALUE, &userKey) != 0) return;
    RegDeleteValueW(userKey, name);
    regCloseKey(&userKey);
}

CWString ProgramFileName() {
    return GetFileNamePartW(Vsk::InternalUtils::GetModuleFileNameW(nullptr));
}

// The program file's name cut at its first dot.
CWString LogBaseName() {
    CWString name = ProgramFileName();
    TruncateAtFirstDot(name);
    return name;
}

// The local application-data folder, else the temporary folder, each followed by "Helvor/"; the
// program's folder when none of them can be had.
CWString DefaultFolder() {
    WCHAR buffer[MAX_PATH + 1] = {};
    CWString base;
    if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                         buffer) >= 0)
        base = CWString(buffer).clone();
    else if (SHGetSpecialFolderPathW(nullptr, buffer, CSIDL_LOCAL_APPDATA, TRUE))
        base = CWString(buffer).clone();
    else {
        const DWORD n = ::GetTempPathW(MAX_PATH, buffer);
        if (n != 0 && n < MAX_PATH) base = CWString(buffer, static_cast<size_t>(n)).clone();
    }
    if (base.getLength() == 0) return GetModuleFolder(nullptr);
    AddSeparator(base);
    return base + u"Helvor/";
}

// The log can hold what a user would not show others (names, paths, inputs that failed to load), so
// its folder and file are the current user's alone: folders come out 0700, the file 0600. Built
// without logging, since the log itself asks for it. When the user's SID cannot be had, `get`
// answers null and the platform's defaults apply, rather than losing the log.
class CUserOnlySecurity {
public:
    CUserOnlySecurity() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_READ, &token)) return;
        alignas(8) BYTE tokenBuffer[1024];
        DWORD length = 0;
        const BOOL haveUser = GetTokenInformation(token, TokenUser, tokenBuffer, sizeof tokenBuffer, &length);
        CloseHandle(token);
        if (!haveUser) return;
        EXPLICIT_ACCESS_W entry = {};
        entry.grfAccessPermissions = 0x10000000;  // GENERIC_ALL
        entry.grfAccessMode = SET_ACCESS;
        entry.grfInheritance = NO_INHERITANCE;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.TrusteeType = TRUSTEE_IS_USER;
        entry.Trustee.ptstrName = static_cast<LPWSTR>(reinterpret_cast<TOKEN_USER*>(tokenBuffer)->User.Sid);
        if (SetEntriesInAclW(1, &entry, nullptr, &m_dacl) != 0) {
            m_dacl = nullptr;
            return;
        }
        if (!InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&m_descriptor, TRUE, m_dacl, FALSE))
            return;
        m_attributes = {sizeof(SECURITY_ATTRIBUTES), &m_descriptor, FALSE};
        m_ready = true;
    }
    ~CUserOnlySecurity() {
        if (m_dacl) LocalFree(m_dacl);
    }
    CUserOnlySecurity(const CUserOnlySecurity&) = delete;
    CUserOnlySecurity& operator=(const CUserOnlySecurity&) = delete;

    SECURITY_ATTRIBUTES* get() { return m_ready ? &m_attributes : nullptr; }

private:
    SECURITY_DESCRIPTOR m_descriptor = {};
    ACL* m_dacl = nullptr;
    SECURITY_ATTRIBUTES m_attributes = {};
    bool m_ready = false;
};

void MakeFolder(const CWString& folder) {
    if (DirectoryExists(folder)) return;
    Utils::CLastErrorGuard keepLastError;
    CUserOnlySecurity security;
    SHCreateDirectoryExW(nullptr, folder.c_str(), security.get());
}

CWString ReplaceNewLines(const CWString& text) {
    const WCHAR* p = text.c_str();
    const DWORD n = text.getLength();
    DWORD breaks = 0;
    for (DWORD i = 0; i < n; ++i) breaks += p[i] == u'\n';
    if (breaks == 0) return text;
    std::u16string out;
    out.reserve(n + breaks);
    for (DWORD i = 0; i < n; ++i) {
        out += p[i];
        if (p[i] == u'\n') out += u'\t';
    }
    return CWString(out.c_str(), out.size());
}

}  // namespace

bool WriteEventLog(DWORD eventId, const CWString& text) {
    HANDLE source = RegisterEventSourceW(nullptr, u"Helvor");
    if (!source) return false;
    LPCWSTR strings[1] = {text.c_str()};
    const BOOL reported =
        ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, eventId, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
    return reported != FALSE;
}

// Sets a busy bit for one step and gives the bits back as they were on every exit.
class CLog::CBusy {
public:
    CBusy(DWORD& bits, DWORD bit) : m_bits(bits), m_saved(bits) { m_bits |= bit; }
    ~CBusy() { m_bits = m_saved; }
    CBusy(const CBusy&) = delete;
    CBusy& operator=(const CBusy&) = delete;

private:
    DWORD& m_bits;
    DWORD m_saved;
};

CLog::CLog()
    : m_lastProcess(0),
      m_lastThread(0),
      m_levelWord(-1),
      m_busy(0),
      m_maxSize(0),
      m_file(INVALID_HANDLE_VALUE) {}

CLog::~CLog() {
    if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
}

// Operations on a log object other than the record's are carried out by the record's log.
CLog* CLog::target() {
    auto* info = static_cast<CCommonInfo*>(pCommonInfo.load());
    if (info && &info->m_log == this) return this;
    return GetLog();
}

void CLog::loadLevelLocked() {
    CBusy busy(m_busy, BusyLevel);
    const CDataBlob value = ReadSetting(u"log");
    bool ok = false;
    const uint32_t word = value.getSize() != 0 ? value.toUInt32(&ok) : 0;
    m_levelWord = ok ? static_cast<int32_t>(word) : DefaultLevelWord;
}

int32_t CLog::effectiveWordLocked() {
    if (!m_threadLevels.empty()) {
        auto it = m_threadLevels.find(GetCurrentThreadId());
        if (it != m_threadLevels.end()) return it->second;
    }
    if (m_levelWord == -1) {
        // Nothing logs while the level itself is being read.
        if (m_busy & BusyLevel) return 0;
        loadLevelLocked();
    }
    return m_levelWord;
}

int32_t CLog::getLevelWord() {
    CLog* log = target();
    if (log != this) return log ? log->getLevelWord() : 0;
    CLock guard(&m_lock);
    return effectiveWordLocked();
}

int CLog::getLevel() {
    return getLevelWord() & 7;
}

void CLog::setLevel(int levelWord, DWORD flags) {
    CLog* log = target();
    if (log != this) {
        if (log) log->setLevel(levelWord, flags);
        return;
    }
    CLock guard(&m_lock);
    if (flags & FlagThread) {
        m_threadLevels[GetCurrentThreadId()] = levelWord;
    } else if (flags & FlagRemoveThread) {
        m_threadLevels.erase(GetCurrentThreadId());
    } else {
        m_levelWord = levelWord;
        if (flags & FlagPersist) {
            const DWORD value = static_cast<DWORD>(levelWord);
            WriteSetting(u"log", REG_DWORD, &value, sizeof value);
        }
    }
}

int CLog::escalateLevel() {
    CLock guard(&m_lock);
    if (m_levelWord == -1 && !(m_busy & BusyLevel)) loadLevelLocked();
    // Only the global word is raised, and only from 1, 2 or 3: a silenced log (0) stays silent and
    // a deeper level (5) is kept.
    const int global = m_levelWord == -1 ? 0 : (m_levelWord & 7);
    if (global >= 1 && global <= 3) {
        m_levelWord = (m_levelWord & ~3) | 4;
        return 0;
    }
    return effectiveWordLocked() & 7;
}

DWORD CLog::getMaxSize() {
    CLog* log = target();
    if (log != this) return GetLogMaxSize(log);
    CLock guard(&m_lock);
    if (m_maxSize == 0) {
        const CDataBlob value = ReadSetting(u"logMaxSize");
        bool ok = false;
        const uint32_t size = value.getSize() != 0 ? value.toUInt32(&ok) : 0;
        m_maxSize = (ok && size >= MinMaxSize) ? size : DefaultMaxSize;
    }
    return m_maxSize;
}

CWString CLog::getPath() {
    CLock guard(&m_lock);
    return m_path.clone();
}

void CLog::closeFileLocked() {
    if (m_file == INVALID_HANDLE_VALUE) return;
    CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
}

void CLog::makePathLocked() {
    if (m_busy & BusyPath) return;
    CBusy busy(m_busy, BusyPath);
    closeFileLocked();
    CWString folder = TextOf(ReadSetting(u"logFolder"));
    if (folder.getLength() == 0)
        folder = DefaultFolder();
    else
        AddSeparator(folder);
    MakeFolder(folder);
    m_path = folder + LogBaseName() + u".dev.log";
}

bool CLog::openFileLocked(const CWString& line) {
    for (int attempt = 0;; ++attempt) {
        const bool exists = GetFileAttributesW(m_path.c_str()) != INVALID_FILE_ATTRIBUTES;
        // Read access too: the rotation reads the whole file back before packing it.
        CUserOnlySecurity security;
        m_file =
            CreateFileW(m_path.c_str(), FILE_READ_DATA | FILE_APPEND_DATA, FILE_SHARE_READ, security.get(),
                        exists ? OPEN_EXISTING : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_file != INVALID_HANDLE_VALUE) return true;
        const DWORD error = GetLastError();
        if (!exists || attempt >= MaxNameRetries) {
            WriteEventLog(EventIdOf(error), u"Создание/открытие на запись лог файла \"" + m_path + u"\": " +
                                                GetSystemErrorText(error) + u"\r\n" + line);
            return false;
        }
        // Held by another process: the plain name again, then ".1" to ".255" before ".dev.log".
        CWString name = LogBaseName();
        if (attempt > 0) name += u"." + ToWString(attempt);
        m_path = GetFolderPart(m_path) + name + u".dev.log";
    }
}

bool CLog::writeLine(const CWString& message, DWORD flags) {
    Utils::CLastErrorGuard keepLastError;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%d.%02d.%02d %02d:%02d:%02d.%03d", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);

    CLock guard(&m_lock);
    if (m_busy & BusyLine) return false;
    CBusy busy(m_busy, BusyLine);

    CWString line(stamp, static_cast<size_t>(-1), Utils::CP_PROGRAM);
    const bool noFile = m_file == INVALID_HANDLE_VALUE;
    const DWORD process = GetCurrentProcessId();
    if (process != m_lastProcess || noFile) {
        line += u" ";
        line += ProgramFileName();
        const CWString user = GetUserNameText();
        if (user != m_lastUser) {
            line += u" user:";
            line += user;
            m_lastUser = user;
        }
        line += u" process:";
        line += ToWString(process, 16);
        m_lastProcess = process;
        m_lastThread = 0;
    }
    const DWORD thread = GetCurrentThreadId();
    if (thread != m_lastThread || noFile) {
        line += u" thread:";
        line += ToWString(thread, 16);
        m_lastThread = thread;
    }

    CWString text = message;
    if (!(flags & FlagNoCut) && (effectiveWordLocked() & 7) < 5 && text.getLength() > MaxCutLength)
        text = CWString(message.c_str(), static_cast<size_t>(MaxCutLength)) + u"...(" +
               ToWString(message.getLength()) + u" chars)";
    line += u" ";
    line += ReplaceNewLines(text);
    line += u"\r\n";

    if (m_path.getLength() == 0) makePathLocked();
    if (m_file == INVALID_HANDLE_VALUE && !openFileLocked(line)) return false;

    const CAString bytes(line, Utils::CP_PROGRAM);
    DWORD written = 0;
    const BOOL ok = WriteFile(m_file, bytes.c_str(), bytes.getLength(), &written, nullptr);
    // Compared with the bytes the conversion produced: a surrogate pair is two characters but one byte.
    if (!ok || written != bytes.getLength()) {
        const DWORD error = ok ? 0 : GetLastError();
        WriteEventLog(EventIdOf(error), u"Запись в лог файл \"" + m_path + u"\": " +
                                            GetSystemErrorText(error) + u"\n\nсообщения: " + line);
        return false;
    }
    return true;
}

void CLog::rotateLocked(DWORD flags) {
    if (m_busy & BusyRotate) return;
    CBusy busy(m_busy, BusyRotate);
    if (m_file == INVALID_HANDLE_VALUE) return;
    DWORD size = GetFileSize(m_file, nullptr);
    if (size == INVALID_FILE_SIZE || size <= getMaxSize() || pCommonInfo.load() == nullptr) return;
    size = GetFileSize(m_file, nullptr);
    if (size == INVALID_FILE_SIZE || size <= getMaxSize()) return;
    try {
        CDataBlob data(static_cast<size_t>(size));
        DWORD read = 0;
        BOOL ok = SetFilePointer(m_file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
        ok = ok && ReadFile(m_file, data.getData(), size, &read, nullptr);
        if (!ok || read != size) {
            const DWORD error = ok ? 0 : GetLastError();
            writeLine(u"read log: " + GetSystemErrorText(error) + u", read " + ToWString(read) +
                          u" instead of " + ToWString(size),
                      flags);
            closeFileLocked();
            return;
        }
        SYSTEMTIME now;
        GetLocalTime(&now);
        char name[64];
        std::snprintf(name, sizeof name, "%u.%02u.%02u %02u.%02u.%02u.zip", now.wYear, now.wMonth, now.wDay,
                      now.wHour, now.wMinute, now.wSecond);
        const CWString archive =
            GetFolderPart(m_path) + CWString(name, static_cast<size_t>(-1), Utils::CP_PROGRAM);
        Utils::CZip zip;
        zip.Add(data, GetFileNamePartW(m_path).c_str());
        zip.Save(archive.c_str(), false);

        HANDLE file = m_file;
        m_file = INVALID_HANDLE_VALUE;
        if (!CloseHandle(file)) {
            writeLine(u"CloseHandle " + GetSystemErrorText(GetLastError()), flags);
        } else if (!DeleteFileW(m_path.c_str())) {
            const DWORD error = GetLastError();
            writeLine(u"delete \"" + m_path + u"\": " + GetSystemErrorText(error), flags);
            DeleteFileW(archive.c_str());
        }
    } catch (...) {
        // The file stays as it is; the next line tries again.
    }
}

void CLog::write(const CWString& message, DWORD flags) {
    CLog* log = target();
    if (log != this) {
        WriteLog(log, message, flags);
        return;
    }
    std::function<void(const CWString&)> sink;
    std::vector<CWString> pending;
    {
        CLock guard(&m_lock);
        sink = m_sink;
        if (!m_pendingDiagnostics.empty() && m_levelWord != -1 && !(m_busy & (BusyLevel | BusyLine)))
            pending.swap(m_pendingDiagnostics);
    }
    for (const CWString& line : pending)
        if (getLevel() >= 1) write(line);
    if (sink) sink(message);

    CLock guard(&m_lock);
    if (!writeLine(message, flags)) return;
    rotateLocked(flags);
}

void CLog::writeDiagnostic(const CWString& message) {
    {
        CLock guard(&m_lock);
        if (m_levelWord == -1 && (m_busy & BusyLevel)) {
            m_pendingDiagnostics.push_back(message);
            return;
        }
    }
    if (getLevel() >= 1) write(message);
}

void CLog::writeHResult(const CWString& text, HRESULT hr) {
    if (hr < 0 && getLevel() >= 1)
        write(text + u" HRESULT=" + ToWString(static_cast<int>(hr)) + u" " + Utils::GetHResultText(hr));
}

void CLog::writeWin32Error(const CWString& text, DWORD code) {
    if (code != 0 && getLevel() >= 1) write(text + u" " + GetSystemErrorText(code));
}

void CLog::setFolder(const CWString& folderGiven, bool persist) {
    CLog* log = target();
    if (log != this) {
        if (log) log->setFolder(folderGiven, persist);
        return;
    }
    CLock guard(&m_lock);
    CWString name = m_path.getLength() != 0 ? GetFileNamePartW(m_path) : CWString();
    if (name.getLength() == 0) name = LogBaseName() + u".dev.log";
    CWString folder = folderGiven.getLength() == 0 ? DefaultFolder() : folderGiven.clone();
    AddSeparator(folder);
    const CWString path = folder + name;
    // File names on this platform differ by letter case, so the comparisons here heed it.
    if (path != m_path) {
        closeFileLocked();
        MakeFolder(folder);
    }
    m_path = path;
    if (persist && folder != TextOf(ReadSetting(u"logFolder"))) {
        const DWORD bytes = (folder.getLength() + 1) * sizeof(WCHAR);
        WriteSetting(u"logFolder", REG_SZ, folder.c_str(), bytes);
    }
}

CWString CLog::getFolder() {
    CLock guard(&m_lock);
    if (m_path.getLength() != 0) return GetFolderPart(m_path);
    return TextOf(ReadSetting(u"logFolder"));
}

void CLog::setSink(std::function<void(const CWString&)> sink) {
    CLock guard(&m_lock);
    m_sink = std::move(sink);
}

CLog* GetLog() {
    CCommonInfo* info = GetCommonInfo();
    return info ? &info->m_log : nullptr;
}

int GetLogLevel() {
    CLog* log = GetLog();
    return log ? log->getLevel() : 0;
}

void LogAt(int level, const CWString& message) {
    CLog* log = GetLog();
    if (log && log->getLevel() >= level) log->write(message);
}

void WriteLog(CLog* log, const CWString& message, DWORD flags) {
    if (log) {
        log->write(message, flags);
        return;
    }
    WriteEventLog(LogNotCreatedEvent, u"CLog not created, " + message);
}

DWORD GetLogMaxSize(CLog* log) {
    if (log) return log->getMaxSize();
    WriteEventLog(LogNotCreatedEvent, u"CLog not created, getMaxSize " + ToWString(DefaultMaxSize));
    return DefaultMaxSize;
}

}  // namespace Vsk::InternalUtils
