// Failures that the platform layer tolerates (a damaged registry hive, a damaged store element) are
// reported here, one UTF-8 line each, so that the developer log can record them; the platform has no
// log of its own. Without a sink the line goes to standard error.
#pragma once

#include <string>

using PlatformDiagnosticSink = void (*)(const char* utf8Line);

void SetPlatformDiagnosticSink(PlatformDiagnosticSink sink);
// Never called under a lock the sink might need: the sink may call back into the platform.
void ReportPlatformDiagnostic(const std::string& utf8Line);
