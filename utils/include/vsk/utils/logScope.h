// Function tracing: the scope object that writes a traced function's entry and exit lines into the
// developer log, the stopwatch it times with, the seconds accumulator used around token calls, and
// two time helpers for validity periods.
#pragma once

#include <vsk/utils/string.h>

#include <cstdint>

namespace Vsk::Utils {

// Millisecond stopwatch on the wall clock (mode 0) or on the calling thread's CPU time (otherwise).
class CStopwatch {
public:
    enum : uint8_t { WallClock = 0, ThreadCpu = 1 };

    explicit CStopwatch(uint8_t mode = WallClock) : m_stamp(0), m_total(0), m_mode(mode) {}

    // Takes a stamp and sets the total to 0.
    void start();
    // Adds the whole milliseconds since the last stamp to the total.
    void update();
    // Takes a stamp without changing the total: time before it is not counted.
    void restamp();
    // update(), then the total as seconds "." three-digit milliseconds ("1.005", "0.050").
    CWString text();
    // update(), then the total.
    uint32_t elapsedMs();

    uint64_t getTotal() const { return m_total; }
    uint8_t getMode() const { return m_mode; }

private:
    uint64_t takeStamp() const;

    uint64_t m_stamp;  // 100 ns units
    uint64_t m_total;  // milliseconds
    uint8_t m_mode;
};

// Seconds spent inside bracketed calls (the token layer brackets its calls into a token library).
class CTimeAccumulator {
public:
    CTimeAccumulator() : m_start(0), m_total(0) {}

    // The start becomes now; returns it.
    int64_t start();
    // Adds (now - start) to the total, the start becomes now; returns now.
    int64_t stop();
    void reset() {
        m_start = 0;
        m_total = 0;
    }
    int64_t getTotal() const { return m_total; }

private:
    int64_t m_start;  // seconds since 1970
    int64_t m_total;  // seconds
};

// The current UTC time; on failure `out` is 0 and false is returned.
bool GetSystemFileTime(FILETIME* out);
// -1 before `notBefore`, 1 after `notAfter`, 0 inside (both bounds inclusive), 12345 when the clock
// cannot be read.
int CheckTimePeriod(const FILETIME& notBefore, const FILETIME& notAfter);

}  // namespace Vsk::Utils

namespace Vsk::InternalUtils {

class CLog;

// Trace scope: an object on the traced function's stack. `enter` writes the entry line
// "[object ][label ]-> name(arguments)[ mem=bytes:workingSet]"; the destructor of an entered scope
// writes "[object ][label ]name -> result cpu.msec wall.msec[ memDiff=...]", also when an exception
// leaves the function. The scope itself needs level 3; callers decide their own gate (3 public
// functions, 4 inner functions, 5 frequently called ones) and build argument texts only when it is
// open.
//
//   CLogScope scope("Vsk::Utils::CFile::open", 4, path);   // entry line at level 4 and above
//   ...
//   scope.m_result = ToWString(size);                       // exit line shows it
class CLogScope {
public:
    CLogScope();
    // Constructs, then enters when the effective level is at least `minLevel`.
    explicit CLogScope(const char* name, int minLevel = 3, const Vsk::Utils::CWString& arguments = {},
                       const void* object = nullptr, const Vsk::Utils::CWString& label = {});
    ~CLogScope();
    CLogScope(const CLogScope&) = delete;
    CLogScope& operator=(const CLogScope&) = delete;

    // Writes the entry line when the level is 3 or more. `name` is an 8-bit (code page 1251) literal
    // that outlives the scope; a leading "Vsk::" is left off in the lines.
    void enter(const char* name, const Vsk::Utils::CWString& arguments = {}, const void* object = nullptr,
               const Vsk::Utils::CWString& label = {});
    // The result text becomes "true" or "false".
    void setResult(bool value);
    void setResult(const Vsk::Utils::CWString& text) { m_result = text; }

    // Whether the entry line was written (only then is an exit line written).
    bool isEntered() const { return m_name != nullptr; }
    // The effective level read at construction (0 without a log).
    int getLevel() const { return m_level; }

    // The exit line's result text; the traced function assigns it.
    Vsk::Utils::CWString m_result;

private:
    Vsk::Utils::CWString prefix() const;

    CLog* m_log;
    const void* m_object;
    const char* m_name;
    Vsk::Utils::CWString m_label;
    Vsk::Utils::CStopwatch m_wall;
    Vsk::Utils::CStopwatch m_cpu;
    uint64_t m_libraryBytes;
    uint64_t m_workingSet;
    int m_level;
};

// The process's working-set size in bytes; 0 when it cannot be read.
uint64_t GetWorkingSetSize();

}  // namespace Vsk::InternalUtils
