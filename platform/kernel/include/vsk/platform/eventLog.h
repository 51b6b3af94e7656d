// The system event log: reports go to syslog under the source name, and are also appended to the
// file named by KESTROVAN_EVENTLOG_FILE when that variable is set (tests and machines without a
// syslog daemon read them there). One line per report, UTF-8:
//   <source> TAB <type> TAB 0x<event id, 8 hex digits> TAB <string> [TAB <string> ...] LF
// where <type> is "error", "warning", "information", "audit success" or "audit failure", and every
// backslash, tab, CR and LF inside a string is written as \\, \t, \r and \n.
#pragma once

#include <vsk/platform/security.h>
#include <vsk/platform/types.h>

constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

// Only the local computer (server null or empty); null with ERROR_INVALID_PARAMETER otherwise.
HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source);
// TRUE once syslog has the report and the file sink (when set) has its line; FALSE with the sink's
// error when the line could not be appended.
BOOL ReportEventW(HANDLE source, WORD type, WORD category, DWORD eventId, PSID user, WORD stringCount,
                  DWORD dataSize, LPCWSTR* strings, LPVOID data);
BOOL DeregisterEventSource(HANDLE source);
