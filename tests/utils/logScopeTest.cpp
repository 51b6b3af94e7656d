// Trace scopes, stopwatches and the time helpers, watched through the log's sink in this process
// (the level is set as a thread override, so the process-wide level stays as it was); and the
// common record's counters, guard and mutex name.
#include <vsk/platform/kernelTesting.h>
#include <vsk/utils/error.h>
#include <vsk/utils/global.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/system.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <regex>
#include <string>
#include <thread>
#include <vector>

using Vsk::InternalUtils::CCommonInfo;
using Vsk::InternalUtils::CCommonInfoLock;
using Vsk::InternalUtils::CLog;
using Vsk::InternalUtils::CLogScope;
using Vsk::InternalUtils::GetLog;
using Vsk::Utils::CAString;
using Vsk::Utils::CStopwatch;
using Vsk::Utils::CWString;

namespace {

using VskTest::Utf8;

// Collects the trace lines of the "Test::" functions at a thread level of its own.
class TraceCapture {
public:
    explicit TraceCapture(int level) {
        GetLog()->setLevel(level, CLog::FlagThread);
        GetLog()->setSink([this](const CWString& line) {
            const std::string text = Utf8(line);
            if (text.find("Test::") != std::string::npos) m_lines.push_back(text);
        });
    }
    ~TraceCapture() {
        GetLog()->setSink(nullptr);
        GetLog()->setLevel(0, CLog::FlagRemoveThread);
    }
    const std::vector<std::string>& lines() const { return m_lines; }

private:
    std::vector<std::string> m_lines;
};

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

void PublicFunction(const void* object) {
    CLogScope scope("Vsk::Test::Api::run", 3, u"x=1", object);
    scope.m_result = u"ok";
}

void FrequentFunction() {
    CLogScope scope("Vsk::Test::often", 5);
}

void InnerFunction() {
    CLogScope scope("Vsk::Test::inner", 4);
    scope.setResult(true);
}

const std::string Times = R"( \d+\.\d{3}sec \d+\.\d{3}sec)";

// Restores the real clock when a test that fixed it ends.
struct ClockGuard {
    ~ClockGuard() { SetClockOverride(nullptr); }
};

FILETIME At(uint64_t value) {
    return U64ToFileTime(value);
}

}  // namespace

// Which lines each level lets through, and their form.
TEST(LogScope, LinesFollowTheLevel) {
    int object = 0;
    const std::string obj = Hex(&object);
    struct Row {
        int level;
        std::vector<std::string> patterns;
    };
    const Row rows[] = {
        {2, {}},
        {3, {obj + R"( -> Test::Api::run\(x=1\))", obj + " Test::Api::run -> ok" + Times}},
        {4,
         {obj + R"( -> Test::Api::run\(x=1\) mem=\d+:[1-9]\d*)",
          obj + " Test::Api::run -> ok" + Times + R"( memDiff=-?\d+:-?\d+)",
          R"(-> Test::inner\(\) mem=\d+:\d+)", "Test::inner -> true" + Times + R"( memDiff=-?\d+:-?\d+)"}},
        {5,
         {obj + R"( -> Test::Api::run\(x=1\) mem=\d+:\d+)",
          obj + " Test::Api::run -> ok" + Times + R"( memDiff=-?\d+:-?\d+)",
          R"(-> Test::inner\(\) mem=\d+:\d+)", "Test::inner -> true" + Times + R"( memDiff=-?\d+:-?\d+)",
          R"(-> Test::often\(\) mem=\d+:\d+)", "Test::often -> " + Times + R"( memDiff=-?\d+:-?\d+)"}},
    };
    for (const Row& row : rows) {
        TraceCapture capture(row.level);
        PublicFunction(&object);
        InnerFunction();
        FrequentFunction();
        ASSERT_EQ(capture.lines().size(), row.patterns.size()) << row.level;
        for (size_t i = 0; i < row.patterns.size(); ++i)
            EXPECT_TRUE(std::regex_match(capture.lines()[i], std::regex(row.patterns[i])))
                << row.level << ": " << capture.lines()[i];
    }
}

// Memory given back inside the scope shows as a negative difference.
TEST(LogScope, MemoryDifferenceCanBeNegative) {
    GetLog();  // the byte count lives in the common record
    void* block = Vsk::Utils::memAlloc(1 << 20);
    ASSERT_NE(block, nullptr);
    TraceCapture capture(4);
    {
        CLogScope scope("Vsk::Test::release", 4);
        Vsk::Utils::memFree(block);
    }
    ASSERT_EQ(capture.lines().size(), 2u);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(capture.lines()[1], m, std::regex(R"( memDiff=(-?\d+):)")))
        << capture.lines()[1];
    const long long diff = std::stoll(m[1]);
    EXPECT_LT(diff, -(1 << 20) + 65536);
    EXPECT_GT(diff, -(1 << 20) - 65536);
}

// An exception that leaves the function still gets its exit line, with the result as it was.
TEST(LogScope, ExitLineWhenAnExceptionPasses) {
    TraceCapture capture(3);
    EXPECT_THROW(
        {
            CLogScope scope("Vsk::Test::thrower", 3, u"a");
            scope.m_result = u"partial";
            throw Vsk::Utils::CError(u"boom", 0u);
        },
        Vsk::Utils::CError);
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_EQ(capture.lines()[0], "-> Test::thrower(a)");
    EXPECT_TRUE(std::regex_match(capture.lines()[1], std::regex("Test::thrower -> partial" + Times)))
        << capture.lines()[1];
}

// A label already in the name is not repeated; another one comes before the arrow and the name.
TEST(LogScope, LabelShownOnlyWhenNotInTheName) {
    TraceCapture capture(3);
    { CLogScope scope("Vsk::Test::Api::run", 3, u"", nullptr, u"Api"); }
    { CLogScope scope("Vsk::Test::Api::run", 3, u"", nullptr, u"Other"); }
    { CLogScope scope("Test::plain", 3); }
    ASSERT_EQ(capture.lines().size(), 6u);
    EXPECT_EQ(capture.lines()[0], "-> Test::Api::run()");
    EXPECT_EQ(capture.lines()[2], "Other -> Test::Api::run()");
    EXPECT_EQ(capture.lines()[3].rfind("Other Test::Api::run -> ", 0), 0u);
    EXPECT_EQ(capture.lines()[4], "-> Test::plain()");
}

// A scope whose gate is closed, or that is never entered, stays silent.
TEST(LogScope, UnenteredScopeIsSilent) {
    TraceCapture capture(5);
    { CLogScope scope; }
    { CLogScope scope("Vsk::Test::deep", 6); }
    EXPECT_TRUE(capture.lines().empty());
}

TEST(Stopwatch, TextIsSecondsAndThreeDigitMilliseconds) {
    ClockGuard restore;
    const uint64_t t0 = 134000000000000000ull;
    const std::pair<uint64_t, const char*> rows[] = {
        {0, "0.000"}, {50, "0.050"}, {999, "0.999"}, {1005, "1.005"}, {61234, "61.234"}};
    for (auto [ms, text] : rows) {
        FILETIME now = At(t0);
        SetClockOverride(&now);
        CStopwatch watch;
        watch.start();
        now = At(t0 + ms * 10000 + 9999);  // part of a millisecond is not counted
        SetClockOverride(&now);
        EXPECT_EQ(Utf8(watch.text()), text);
    }
    // A restamp leaves the time before it out; the total keeps growing from there.
    FILETIME now = At(t0);
    SetClockOverride(&now);
    CStopwatch watch;
    watch.start();
    now = At(t0 + 100 * 10000);
    SetClockOverride(&now);
    EXPECT_EQ(watch.elapsedMs(), 100u);
    now = At(t0 + 500 * 10000);
    SetClockOverride(&now);
    watch.restamp();
    now = At(t0 + 700 * 10000);
    SetClockOverride(&now);
    EXPECT_EQ(watch.elapsedMs(), 300u);
}

TEST(Stopwatch, CpuModeCountsThisThreadOnly) {
    CStopwatch cpu(CStopwatch::ThreadCpu);
    cpu.start();
    // Another thread's work is not this thread's time: while it works, this one only waits.
    uint64_t theirs = 0;
    std::thread([&theirs] {
        CStopwatch own(CStopwatch::ThreadCpu);
        own.start();
        volatile uint64_t sink = 0;
        while (own.elapsedMs() < 100) sink = sink + 1;
        theirs = own.elapsedMs();
    }).join();
    EXPECT_GE(theirs, 100u);
    EXPECT_LT(cpu.elapsedMs(), theirs / 2);
}

TEST(TimeHelpers, CheckTimePeriodIncludesBothBounds) {
    ClockGuard restore;
    const uint64_t now = 134000000000000000ull;
    FILETIME fixed = At(now);
    SetClockOverride(&fixed);
    FILETIME read;
    ASSERT_TRUE(Vsk::Utils::GetSystemFileTime(&read));
    EXPECT_EQ(FileTimeToU64(read), now);
    struct Row {
        uint64_t notBefore, notAfter;
        int expected;
    };
    const Row rows[] = {
        {now - 10, now, 0}, {now, now + 10, 0}, {now - 10, now - 1, 1}, {now + 1, now + 10, -1}};
    for (const Row& row : rows)
        EXPECT_EQ(Vsk::Utils::CheckTimePeriod(At(row.notBefore), At(row.notAfter)), row.expected)
            << row.notBefore;
}

// Counters are keyed by the address of the name, not by its characters.
TEST(CommonInfo, ObjectCountersAreKeyedByAddress) {
    static const char name[] = "PKI::CCrl::CImpl";
    static const char sameText[] = "PKI::CCrl::CImpl";
    EXPECT_EQ(Vsk::InternalUtils::addObjectCount(name, 1), 1);
    EXPECT_EQ(Vsk::InternalUtils::addObjectCount(name, 1), 2);
    EXPECT_EQ(Vsk::InternalUtils::addObjectCount(sameText, 1), 1);
    EXPECT_EQ(Vsk::InternalUtils::addObjectCount(name, -2), 0);
}

// The guard locks the common lock, except for a thread inside the log, whose outer hold it leaves
// as it was.
TEST(CommonInfo, GuardSkipsTheLockInsideTheLog) {
    CCommonInfo* info = Vsk::InternalUtils::GetCommonInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(Vsk::InternalUtils::pCommonInfo.load(), info);
    EXPECT_EQ(&info->m_log, GetLog());
    Vsk::Utils::CCriticalSection& common = *info;
    {
        CCommonInfoLock guard;
        EXPECT_TRUE(common.isOwner());
    }
    EXPECT_FALSE(common.isOwner());

    GetLog()->getLock().lock();
    {
        CCommonInfoLock guard;
        EXPECT_FALSE(common.isOwner());
    }
    common.lock();
    {
        CCommonInfoLock guard;
        EXPECT_EQ(common.getDepth(), 1);
    }
    EXPECT_TRUE(common.isOwner());
    common.unlock();
    GetLog()->getLock().unlock();
}

TEST(CommonInfo, MutexIsNamedAfterTheUser) {
    Vsk::InternalUtils::CUserMutex mutex(u"VosKel, Helvor");
    EXPECT_NE(mutex.getHandle(), nullptr);
    EXPECT_EQ(mutex.getName(), Vsk::InternalUtils::GetUserNameText() + u", VosKel, Helvor");
}
