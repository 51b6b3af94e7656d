// The developer log that the whole library writes to: errors as they are built, warnings and the
// trace lines of traced functions, gated by the level.
#pragma once

#include <vsk/utils/string.h>

#include <functional>

namespace Vsk::InternalUtils {

class CLog {
public:
    enum : DWORD { FlagPersist = 1, FlagThread = 2, FlagRemoveThread = 4, FlagNoCut = 8 };

    CLog();
    ~CLog();
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    // The level is the low three bits of the level word.
    int getLevel();
    void setLevel(int levelWord, DWORD flags = 0);
    int escalateLevel();
    void write(const Vsk::Utils::CWString& message, DWORD flags = 0);
    void writeHResult(const Vsk::Utils::CWString& text, HRESULT hr);
    void writeWin32Error(const Vsk::Utils::CWString& text, DWORD code);

    // Test seam: every line written is also handed to `sink` (null removes it).
    void setSink(std::function<void(const Vsk::Utils::CWString&)> sink);

    Vsk::Utils::CCriticalSection& getLock() { return m_lock; }

private:
    Vsk::Utils::CCriticalSection m_lock;
    int32_t m_levelWord;
    std::function<void(const Vsk::Utils::CWString&)> m_sink;
};

// The log of the common-information record; null when the record cannot be had.
CLog* GetLog();
// The effective level, 0 without a log.
int GetLogLevel();
// Writes `message` when the log exists and its level is at least `level`.
void LogAt(int level, const Vsk::Utils::CWString& message);

}  // namespace Vsk::InternalUtils
