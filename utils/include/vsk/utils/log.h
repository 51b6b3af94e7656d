// The developer log that the whole library writes to: errors as they are built, warnings and the
// trace lines of traced functions, gated by the level. One text file per program, in code page 1251
// with CRLF line ends; a file that grows past its maximum size is packed into a dated ZIP archive
// next to it. Failures of the log itself go to the system event log under the source "Helvor".
#pragma once

#include <vsk/utils/string.h>

#include <functional>
#include <map>
#include <vector>

namespace Vsk::InternalUtils {

// Descriptions of the six levels, indexed by the level; the settings dialog fills its list from them.
extern const WCHAR* const LogLevelNames[6];

// Reports an error event under the source "Helvor"; whether the report succeeded.
bool WriteEventLog(DWORD eventId, const Vsk::Utils::CWString& text);

class CLog {
public:
    // Flags of setLevel and write.
    enum : DWORD { FlagPersist = 1, FlagThread = 2, FlagRemoveThread = 4, FlagNoCut = 8 };

    CLog();
    ~CLog();
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    // The effective level (low three bits of the level word): the calling thread's override when it
    // has one, else the global word, read from the registry once ("log", 2 when absent).
    int getLevel();
    // The effective level word with the bits above the level.
    int32_t getLevelWord();
    // FlagThread: the word becomes the calling thread's override; else FlagRemoveThread: the override
    // goes; else the global word is set, and with FlagPersist also stored as "log".
    void setLevel(int levelWord, DWORD flags = 0);
    // A global level of 1, 2 or 3 becomes 4 (in memory only) and 0 is returned; otherwise nothing
    // changes and the effective level is returned.
    int escalateLevel();
    // Writes one line (FlagNoCut: a long message is never cut), then packs the file into an archive
    // when it grew past the maximum size. Never raises.
    void write(const Vsk::Utils::CWString& message, DWORD flags = 0);
    // At level 1 and more: text " HRESULT=" signed decimal, a blank and the system text, for a
    // negative HRESULT.
    void writeHResult(const Vsk::Utils::CWString& text, HRESULT hr);
    // At level 1 and more: text, a blank and the system text, for a code other than 0.
    void writeWin32Error(const Vsk::Utils::CWString& text, DWORD code);
    // Moves the log into `folder` (empty: the default folder); with `persist` also stored as
    // "logFolder".
    void setFolder(const Vsk::Utils::CWString& folder, bool persist);
    // The folder of the current file with its final separator, or the stored "logFolder" while no
    // file has been named yet.
    Vsk::Utils::CWString getFolder();
    // The rotation threshold in bytes ("logMaxSize", 4194304 when absent or below 1024).
    DWORD getMaxSize();
    // The full path of the current file; empty until the first line or setFolder.
    Vsk::Utils::CWString getPath();

    // Test seam: every message written is also handed to `sink` (null removes it).
    void setSink(std::function<void(const Vsk::Utils::CWString&)> sink);

    // The log's own lock: a thread that holds it never waits for the common lock.
    Vsk::Utils::CCriticalSection& getLock() { return m_lock; }

    // Diagnostics of the registry stand-in reach the log through here (level 1); lines that come
    // while the log is reading its own level wait until the level is known.
    void writeDiagnostic(const Vsk::Utils::CWString& message);

private:
    enum : DWORD { BusyLevel = 1, BusyLine = 2, BusyPath = 4, BusyRotate = 8 };
    class CBusy;

    CLog* target();
    int32_t effectiveWordLocked();
    void loadLevelLocked();
    bool writeLine(const Vsk::Utils::CWString& message, DWORD flags);
    bool openFileLocked(const Vsk::Utils::CWString& line);
    void makePathLocked();
    void rotateLocked(DWORD flags);
    void closeFileLocked();

    Vsk::Utils::CCriticalSection m_lock;
    Vsk::Utils::CWString m_path;
    Vsk::Utils::CWString m_lastUser;
    DWORD m_lastProcess;
    DWORD m_lastThread;
    int32_t m_levelWord;
    DWORD m_busy;
    DWORD m_maxSize;
    HANDLE m_file;
    std::map<DWORD, int32_t> m_threadLevels;
    std::vector<Vsk::Utils::CWString> m_pendingDiagnostics;
    std::function<void(const Vsk::Utils::CWString&)> m_sink;
};

// The log of the common-information record; null when the record cannot be had.
CLog* GetLog();
// The effective level, 0 without a log.
int GetLogLevel();
// Writes `message` when the log exists and its level is at least `level`.
void LogAt(int level, const Vsk::Utils::CWString& message);
// CLog::write through a log pointer that may be null: without a log the message goes to the event
// log as "CLog not created, " + message.
void WriteLog(CLog* log, const Vsk::Utils::CWString& message, DWORD flags = 0);
// CLog::getMaxSize through a pointer that may be null (4194304 without a log, reported to the event
// log).
DWORD GetLogMaxSize(CLog* log);

}  // namespace Vsk::InternalUtils
