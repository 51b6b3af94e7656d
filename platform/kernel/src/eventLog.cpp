#include "kernelObjects.h"

#include <vsk/platform/eventLog.h>
#include <vsk/platform/kernel.h>

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

using namespace vsk::kernel;

namespace {

struct EventSource : KernelObject {
    explicit EventSource(std::string n) : KernelObject(ObjectKind::EventSource), name(std::move(n)) {}
    const std::string name;
};

const char* typeName(WORD type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE:
            return "error";
        case EVENTLOG_WARNING_TYPE:
            return "warning";
        case EVENTLOG_AUDIT_SUCCESS:
            return "audit success";
        case EVENTLOG_AUDIT_FAILURE:
            return "audit failure";
        default:
            return "information";
    }
}

int priority(WORD type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE:
        case EVENTLOG_AUDIT_FAILURE:
            return LOG_ERR;
        case EVENTLOG_WARNING_TYPE:
            return LOG_WARNING;
        case EVENTLOG_AUDIT_SUCCESS:
            return LOG_NOTICE;
        default:
            return LOG_INFO;
    }
}

std::string escaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// openlog's identity is process-wide, so a report sets it, logs and closes under one lock.
std::mutex& syslogLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source) {
    if ((server && *server) || !source || !*source) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return InsertHandle(std::make_shared<EventSource>(ToUtf8(source)), 0);
}

BOOL DeregisterEventSource(HANDLE source) {
    if (!RemoveHandle(source, ObjectKind::EventSource)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL ReportEventW(HANDLE sourceHandle, WORD type, WORD /*category*/, DWORD eventId, PSID /*user*/,
                  WORD stringCount, DWORD /*dataSize*/, LPCWSTR* strings, LPVOID /*data*/) {
    auto source = Lookup<EventSource>(sourceHandle, ObjectKind::EventSource);
    if (!source) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (stringCount && !strings) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char id[16];
    std::snprintf(id, sizeof id, "0x%08x", eventId);
    std::string message;
    std::string line = source->name + "\t" + typeName(type) + "\t" + id;
    for (WORD i = 0; i < stringCount; ++i) {
        const std::string text = ToUtf8(strings[i]);
        message += (i ? "\n" : "") + text;
        line += "\t" + escaped(text);
    }
    line += "\n";
    {
        std::lock_guard guard(syslogLock());
        openlog(source->name.c_str(), LOG_PID, LOG_USER);
        syslog(priority(type), "[%s] %s", id, message.c_str());
        closelog();
    }
    const char* sink = getenv("KESTROVAN_EVENTLOG_FILE");
    if (sink && *sink) {
        // One write of the whole line on an appending descriptor: lines of several processes never mix.
        const int fd = open(sink, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            SetLastError(Win32FromErrno(errno));
            return FALSE;
        }
        ssize_t n;
        do n = write(fd, line.data(), line.size());
        while (n < 0 && errno == EINTR);
        const int err = errno;
        close(fd);
        if (n != static_cast<ssize_t>(line.size())) {
            SetLastError(n < 0 ? Win32FromErrno(err) : ERROR_DISK_FULL);
            return FALSE;
        }
    }
    return TRUE;
}
