// Messages to windows with the program's own numbers (WM_APP 0x8000, the token notification 0x800A,
// ...). A window receives them as a WindowMessageEvent in its event() or an event filter and may set
// the event's result, which SendMessageW returns.
#pragma once

#include <vsk/platform/gui.h>

#include <QEvent>

class WindowMessageEvent : public QEvent {
public:
    WindowMessageEvent(UINT message, WPARAM wParam, LPARAM lParam)
        : QEvent(eventType()), m_message(message), m_wParam(wParam), m_lParam(lParam) {}

    // The event type of every window message, registered with Qt once.
    static QEvent::Type eventType();

    UINT message() const { return m_message; }
    WPARAM wParam() const { return m_wParam; }
    LPARAM lParam() const { return m_lParam; }
    LRESULT result() const { return m_result; }
    void setResult(LRESULT result) { m_result = result; }

private:
    UINT m_message;
    WPARAM m_wParam;
    LPARAM m_lParam;
    LRESULT m_result = 0;
};

// Queues the message for the window and returns at once, from any thread (also from threads that
// hold locks the GUI thread may wait for: it never waits for the GUI thread). The window is checked
// when the message is delivered on the GUI thread; a window that is gone by then drops it. FALSE
// with ERROR_INVALID_WINDOW_HANDLE only for a null window.
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Delivers the message and returns the window's result; from another thread through a blocking call
// to the GUI thread, which serves it while it dispatches events. 0 with ERROR_INVALID_WINDOW_HANDLE
// for a window that does not exist.
LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
