#include "kernelTestRoot.h"

#include <vsk/platform/eventLog.h>
#include <vsk/platform/kernel.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

TEST(EventLog, ReportsReachTheFileSinkOneLineEach) {
    KernelTestRoot root;
    const std::string sink = root / "events.log";
    KernelTestRoot::set("KESTROVAN_EVENTLOG_FILE", sink);
    HANDLE source = RegisterEventSourceW(nullptr, u"Helvor");
    ASSERT_NE(source, nullptr);
    const std::u16string first = Utf16(Utf8(u8"CLog not created, строка\nвторая\tстрока\\"));
    LPCWSTR strings[] = {first.c_str()};
    EXPECT_TRUE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 0x80004005, nullptr, 1, 0, strings, nullptr));
    LPCWSTR two[] = {u"a", u"b"};
    EXPECT_TRUE(ReportEventW(source, EVENTLOG_WARNING_TYPE, 0, 0x80070020, nullptr, 2, 0, two, nullptr));
    EXPECT_TRUE(DeregisterEventSource(source));
    EXPECT_FALSE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    std::ifstream in(sink, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), Utf8(u8"Helvor\terror\t0x80004005\tCLog not created, строка\\nвторая\\tстрока\\\\\n"
                               u8"Helvor\twarning\t0x80070020\ta\tb\n"));
}

TEST(EventLog, UnwritableSinkFailsTheReport) {
    KernelTestRoot root;
    KernelTestRoot::set("KESTROVAN_EVENTLOG_FILE", root / "missing/events.log");
    HANDLE source = RegisterEventSourceW(nullptr, u"Helvor");
    LPCWSTR strings[] = {u"x"};
    EXPECT_FALSE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    DeregisterEventSource(source);
    EXPECT_EQ(RegisterEventSourceW(u"\\\\server", u"Helvor"), nullptr);
}

}  // namespace
