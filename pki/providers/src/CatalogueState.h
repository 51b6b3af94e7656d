// The catalogue's process-wide state, shared by the lookups and the filling, and the log-line helpers
// of the provider code.
#pragma once

#include <vsk/pki/CSPInfo.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/string.h>

#include <map>

namespace Vsk::PKI::Catalogue {

struct CState {
    CSPInfoSet m_providers;
    CAlgorithmSet m_algorithms;
    std::map<DWORD, Vsk::Utils::CWString> m_userDefaults;
    std::map<DWORD, Vsk::Utils::CWString> m_machineDefaults;
    // Counts the clearings: a worker whose filling began before the last clearing enters nothing.
    uint64_t m_generation = 1;
};

// The catalogue; touch it only under the common lock. It is never destroyed: workers that timed out
// may still enter their providers while the process ends.
CState& State();
// The lock that serialises fillings; taken before the common lock, never while holding it.
Vsk::Utils::CCriticalSection& FillingLock();
// Under the common lock: whether `provider` is the very description that the provider set holds.
bool IsMember(const CSPInfo* provider);

// "<function without Vsk::> <text>" at `level` and above.
void LogLine(int level, const char* function, const Vsk::Utils::CWString& text);
// "<function> <text> <system text of code>" at `level` and above, only for a code other than 0.
void LogSystemLine(int level, const char* function, const Vsk::Utils::CWString& text, DWORD code);
// A line without the function prefix.
void LogPlain(int level, const Vsk::Utils::CWString& text);
bool LogEnabled(int level);

// 8-bit program text (code page 1251) as UTF-16.
Vsk::Utils::CWString Wide(const char* text);
Vsk::Utils::CWString Wide(const Vsk::Utils::CAString& text);
// An error that means "no error": code 0, no text (the default CError takes the last error).
Vsk::Utils::CError EmptyError();

}  // namespace Vsk::PKI::Catalogue
