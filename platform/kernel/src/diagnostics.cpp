#include <vsk/platform/diagnostics.h>

#include <atomic>
#include <cstdio>

namespace {
std::atomic<PlatformDiagnosticSink> g_sink{nullptr};
}

void SetPlatformDiagnosticSink(PlatformDiagnosticSink sink) {
    g_sink.store(sink);
}

void ReportPlatformDiagnostic(const std::string& utf8Line) {
    if (PlatformDiagnosticSink sink = g_sink.load())
        sink(utf8Line.c_str());
    else
        std::fprintf(stderr, "%s\n", utf8Line.c_str());
}
