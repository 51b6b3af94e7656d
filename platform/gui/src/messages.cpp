// The thread's message queue as far as Qt can stand in for it, and the message-pumping wait.
#include <vsk/platform/gui.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/wait.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>
#include <chrono>

namespace {

// On the GUI thread the wait returns to its caller this often, so that Qt's own events (timers,
// window-system input, calls handed over by workers) are dispatched while it waits.
constexpr DWORD PumpSliceMs = 5;

thread_local bool t_quitPending = false;
thread_local int t_quitCode = 0;
// Set after a PeekMessageW pass was reported, so that the next call ends the caller's loop.
thread_local bool t_passReported = false;

void fill(MSG* message, UINT id, WPARAM wParam) {
    if (!message) return;
    *message = MSG{};
    message->message = id;
    message->wParam = wParam;
    message->time = static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now().time_since_epoch())
                                           .count());
}

bool pumpsHere() {
    return QCoreApplication::instance() && IsGuiThread();
}

}  // namespace

void PostQuitMessage(int exitCode) {
    t_quitPending = true;
    t_quitCode = exitCode;
}

BOOL PeekMessageW(MSG* message, HWND window, UINT, UINT, UINT remove) {
    // WM_QUIT belongs to the thread, not to a window: a window filter does not retrieve it.
    if (t_quitPending && !window) {
        fill(message, WM_QUIT, static_cast<WPARAM>(t_quitCode));
        if (remove & PM_REMOVE) t_quitPending = false;
        return TRUE;
    }
    if (!(remove & PM_REMOVE) || !pumpsHere()) return FALSE;
    if (t_passReported) {
        t_passReported = false;
        return FALSE;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    // A handler may have asked to quit during the pass.
    if (t_quitPending && !window) {
        fill(message, WM_QUIT, static_cast<WPARAM>(t_quitCode));
        t_quitPending = false;
        return TRUE;
    }
    fill(message, WM_NULL, 0);
    t_passReported = true;
    return TRUE;
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;
}

LRESULT DispatchMessageW(const MSG*) {
    return 0;
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds,
                                DWORD wakeMask) {
    if (count > MAXIMUM_WAIT_OBJECTS || (count && !handles)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    const DWORD inputWaiting = WAIT_OBJECT_0 + count;
    if (wakeMask && t_quitPending) return inputWaiting;
    const bool pump = wakeMask != 0 && pumpsHere();
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        DWORD remaining = INFINITE;
        if (milliseconds != INFINITE) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count();
            remaining = elapsed >= milliseconds ? 0 : milliseconds - static_cast<DWORD>(elapsed);
        }
        const DWORD slice = pump ? std::min(remaining, PumpSliceMs) : remaining;
        DWORD result = WAIT_TIMEOUT;
        if (count) {
            result = WaitForMultipleObjects(count, handles, waitAll, slice);
        } else {
            // With no handle and no time-out only the GUI thread's input can end the wait.
            Sleep(slice);
        }
        if (result != WAIT_TIMEOUT) return result;
        if (remaining != INFINITE && slice >= remaining) return WAIT_TIMEOUT;
        if (pump) return inputWaiting;
    }
}
