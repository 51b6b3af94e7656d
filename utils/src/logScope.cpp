#include <vsk/platform/wait.h>
#include <vsk/utils/global.h>
#include <vsk/utils/lib.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <cstring>
#include <ctime>

namespace Vsk::Utils {

bool GetSystemFileTime(FILETIME* out) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    if (!SystemTimeToFileTime(&now, out)) {
        *out = FILETIME{0, 0};
        return false;
    }
    return true;
}

int CheckTimePeriod(const FILETIME& notBefore, const FILETIME& notAfter) {
    FILETIME now;
    if (!GetSystemFileTime(&now)) return 12345;
    const uint64_t current = FileTimeToU64(now);
    if (current < FileTimeToU64(notBefore)) return -1;
    if (current > FileTimeToU64(notAfter)) return 1;
    return 0;
}

uint64_t CStopwatch::takeStamp() const {
    if (m_mode == WallClock) {
        FILETIME now;
        GetSystemFileTime(&now);
        return FileTimeToU64(now);
    }
    FILETIME creation, exit, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &creation, &exit, &kernel, &user)) return 0;
    return FileTimeToU64(kernel) + FileTimeToU64(user);
}

void CStopwatch::start() {
    m_stamp = takeStamp();
    m_total = 0;
}

void CStopwatch::update() {
    const uint64_t now = takeStamp();
    // A clock set back counts as no time passed.
    if (now > m_stamp) m_total += (now - m_stamp) / 10000;
    m_stamp = now;
}

void CStopwatch::restamp() {
    m_stamp = takeStamp();
}

CWString CStopwatch::text() {
    update();
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%llu.%03u", static_cast<unsigned long long>(m_total / 1000),
                  static_cast<unsigned>(m_total % 1000));
    return CWString(buffer, static_cast<size_t>(-1), CP_PROGRAM);
}

uint32_t CStopwatch::elapsedMs() {
    update();
    return static_cast<uint32_t>(m_total);
}

int64_t CTimeAccumulator::start() {
    m_start = static_cast<int64_t>(std::time(nullptr));
    return m_start;
}

int64_t CTimeAccumulator::stop() {
    const auto now = static_cast<int64_t>(std::time(nullptr));
    m_total += now - m_start;
    m_start = now;
    return now;
}

}  // namespace Vsk::Utils

namespace Vsk::InternalUtils {

using Utils::CWString;
using Utils::ToWString;

namespace {

// Set while this thread binds the process-status function: a scope built from inside the binding
// (the module loader logs) sees no function.
thread_local bool t_binding = false;

CWString SignedDifference(uint64_t now, uint64_t before) {
    if (now >= before) return ToWString(now - before);
    return u"-" + ToWString(before - now);
}

}  // namespace

uint64_t GetWorkingSetSize() {
    if (t_binding) return 0;
    t_binding = true;
    PFN_GetProcessMemoryInfo getInfo = nullptr;
    try {
        getInfo = BindGetProcessMemoryInfo();
    } catch (...) {
        getInfo = nullptr;
    }
    t_binding = false;
    if (!getInfo) return 0;
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!getInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return counters.WorkingSetSize;
}

CLogScope::CLogScope()
    : m_log(GetLog()),
      m_object(nullptr),
      m_name(nullptr),
      m_wall(Utils::CStopwatch::WallClock),
      m_cpu(Utils::CStopwatch::ThreadCpu),
      m_libraryBytes(0),
      m_workingSet(0),
      m_level(m_log ? m_log->getLevel() : 0) {
    if (m_level >= 4) {
        m_libraryBytes = getAllocatedBytes();
        m_workingSet = GetWorkingSetSize();
    }
}

CLogScope::CLogScope(const char* name, int minLevel, const CWString& arguments, const void* object,
                     const CWString& label)
    : CLogScope() {
    if (m_level >= minLevel) enter(name, arguments, object, label);
}

CLogScope::~CLogScope() {
    if (!m_name || !m_log) return;
    try {
        const int level = m_log->getLevel();
        if (level < 3) return;
        CWString memory;
        if (level >= 4) {
            memory = u" memDiff=" + SignedDifference(getAllocatedBytes(), m_libraryBytes);
            if (const uint64_t workingSet = GetWorkingSetSize(); workingSet != 0)
                memory += u":" + SignedDifference(workingSet, m_workingSet);
        }
        const CWString cpu = m_cpu.text();
        const CWString wall = m_wall.text();
        m_log->write(prefix() + CWString(m_name, static_cast<size_t>(-1), Utils::CP_PROGRAM) + u" -> " +
                     m_result + u" " + cpu + u"sec " + wall + u"sec" + memory);
    } catch (...) {
        // A trace line is never worth an exception out of a destructor.
    }
}

void CLogScope::enter(const char* name, const CWString& arguments, const void* object,
                      const CWString& label) {
    if (!m_log || !name) return;
    const int level = m_log->getLevel();
    if (level < 3) return;
    m_wall.start();
    m_cpu.start();
    CWString memory;
    if (level >= 4) memory = u" mem=" + ToWString(m_libraryBytes) + u":" + ToWString(m_workingSet);
    const CWString fullName(name, static_cast<size_t>(-1), Utils::CP_PROGRAM);
    m_name = std::strncmp(name, "Vsk::", 5) == 0 ? name + 5 : name;
    m_object = object;
    if (label.getLength() != 0 && fullName.find(label) < 0) m_label = label;
    m_log->write(prefix() + u"-> " + CWString(m_name, static_cast<size_t>(-1), Utils::CP_PROGRAM) + u"(" +
                 arguments + u")" + memory);
}

void CLogScope::setResult(bool value) {
    m_result = ToWString(value);
}

CWString CLogScope::prefix() const {
    CWString text;
    if (m_object) {
        text += ToWString(m_object);
        text += u" ";
    }
    if (m_label.getLength() != 0) {
        text += m_label;
        text += u" ";
    }
    return text;
}

}  // namespace Vsk::InternalUtils
