// Windows of the platform layer on Qt 6 Widgets: a window handle is a QWidget pointer. Message boxes,
// window texts, icons, the foreground window, the thread's message queue and the message-pumping wait,
// and the hand-over of calls from worker threads to the GUI thread.
//
// Qt allows widgets only on the GUI thread (the thread of the QApplication). Every function here that
// touches a window may be called from any thread: off the GUI thread it hands the call to the GUI
// thread and waits for the answer (a blocking queued call), so the GUI thread must keep its events
// flowing (the message-pumping wait does) while workers use windows.
#pragma once

#include <vsk/platform/resource.h>
#include <vsk/platform/types.h>

#include <functional>
#include <string>
#include <type_traits>

using HICON = struct HICON__*;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using INT_PTR = intptr_t;
using UINT_PTR = uintptr_t;

// ---- Running calls on the GUI thread -------------------------------------------------------------------

// True on the thread of the application object, and on every thread while there is none.
bool IsGuiThread();
// Runs `call` on the GUI thread and returns when it has run. On the GUI thread (or without a
// QApplication) it runs at once. An exception that the call throws is caught on the GUI thread (it must
// not cross Qt's event handling) and thrown again on the calling thread.
void RunOnGuiThread(const std::function<void()>& call);
// The value-returning form.
template <class F>
auto CallOnGuiThread(F&& call) -> decltype(call()) {
    using R = decltype(call());
    if constexpr (std::is_void_v<R>) {
        RunOnGuiThread(std::function<void()>(std::forward<F>(call)));
    } else {
        R result{};
        RunOnGuiThread([&] { result = call(); });
        return result;
    }
}

// ---- Translations ---------------------------------------------------------------------------------------

// Makes Qt's own texts (file dialogs, standard buttons, context menus) Russian: installs Qt's Russian
// translation (qtbase_ru) into the application object and makes Russian Qt's default locale (the
// dates Qt's widgets write; the C library's locale is not touched). Call after making the QApplication; false
// when there is none or the translation is not installed (Qt's texts stay English then).
bool InstallQtTranslations();

// ---- Message boxes -------------------------------------------------------------------------------------

constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_OKCANCEL = 0x00000001;
constexpr UINT MB_ABORTRETRYIGNORE = 0x00000002;
constexpr UINT MB_YESNOCANCEL = 0x00000003;
constexpr UINT MB_YESNO = 0x00000004;
constexpr UINT MB_RETRYCANCEL = 0x00000005;
constexpr UINT MB_TYPEMASK = 0x0000000F;
constexpr UINT MB_ICONHAND = 0x00000010;
constexpr UINT MB_ICONERROR = MB_ICONHAND;
constexpr UINT MB_ICONSTOP = MB_ICONHAND;
constexpr UINT MB_ICONQUESTION = 0x00000020;
constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr UINT MB_ICONASTERISK = 0x00000040;
constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr UINT MB_ICONMASK = 0x000000F0;
constexpr UINT MB_DEFBUTTON1 = 0x00000000;
constexpr UINT MB_DEFBUTTON2 = 0x00000100;
constexpr UINT MB_DEFBUTTON3 = 0x00000200;
constexpr UINT MB_DEFMASK = 0x00000F00;
constexpr UINT MB_APPLMODAL = 0x00000000;
constexpr UINT MB_SYSTEMMODAL = 0x00001000;
constexpr UINT MB_TASKMODAL = 0x00002000;
constexpr UINT MB_SETFOREGROUND = 0x00010000;
constexpr UINT MB_TOPMOST = 0x00040000;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// A modal message box with the icon and buttons of `type` (Russian button texts); the text is always
// shown as plain text. The caption is used as given; a null caption shows "Ошибка". Returns the
// button's identifier (IDOK ...); closing the box returns IDCANCEL where the box has a Cancel button,
// else IDOK or IDNO as the platform does; 0 with ERROR_INVALID_PARAMETER for an unknown button type,
// and with ERROR_NOT_SUPPORTED in a program without a QApplication (no window system).
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

// Test seam: while set, MessageBoxW shows nothing and hands (caption, text, flags, owner) to the
// hook on the GUI thread; the hook's answer is returned. An empty function removes the hook.
using MessageBoxHook =
    std::function<int(const std::u16string& caption, const std::u16string& text, UINT type, HWND owner)>;
void SetMessageBoxHook(MessageBoxHook hook);

// ---- Window texts, controls and icons --------------------------------------------------------------------

// The text of a window: the title of a top-level window, the text of a control (label, button, line
// or text edit). Lengths and copies as on the platform: the copy is cut to size - 1 characters and
// NUL-terminated; 0 for a null window (ERROR_INVALID_WINDOW_HANDLE) or an empty text.
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
int GetWindowTextLengthW(HWND window);
int GetWindowTextW(HWND window, LPWSTR buffer, int size);
BOOL SetWindowTextW(HWND window, LPCWSTR text);

// Controls of a dialog carry their identifier in the property "dlgId" (set with SetDlgCtrlID); the
// first descendant with it, or null with ERROR_CONTROL_ID_NOT_FOUND.
constexpr DWORD ERROR_CONTROL_ID_NOT_FOUND = 1421;
HWND GetDlgItem(HWND dialog, int id);
int GetDlgCtrlID(HWND control);
void SetDlgCtrlID(HWND control, int id);

BOOL ShowWindow(HWND window, int command);
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOW = 5;
constexpr int SW_RESTORE = 9;
BOOL IsWindow(HWND window);
BOOL IsWindowVisible(HWND window);
// Closes and deletes the window (later, through Qt's deferred deletion, so a window may destroy
// itself from its own handler).
BOOL DestroyWindow(HWND window);

// Icons from the program's resources: resource id n is the Qt resource ":/vsk/icons/<n>.png". The
// handle stays valid for the life of the process (icons shared by the loader are never destroyed).
// Null with ERROR_RESOURCE_NAME_NOT_FOUND for a missing icon.
// (ERROR_RESOURCE_NAME_NOT_FOUND and MAKEINTRESOURCEW come from resource.h.)
HICON LoadIconW(HINSTANCE module, LPCWSTR name);
// Sets the window's icon (both sizes: Qt keeps one icon with all its sizes).
void SetWindowIcon(HWND window, HICON icon);

// ---- Foreground window and focus
// ---------------------------------------------------------------------------

// The active top-level window of the application, null when none is active.
HWND GetForegroundWindow();
// Shows (un-minimises), raises and activates the window's top-level window; TRUE when it is the active
// window afterwards. The window system may refuse activation (Wayland does): FALSE then.
BOOL SetForegroundWindow(HWND window);
// Gives the keyboard focus to the window; returns the window that had it.
HWND SetFocus(HWND window);

// ---- The thread's message queue and the message-pumping wait
// ------------------------------------------------

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_APP = 0x8000;
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;
constexpr DWORD QS_ALLINPUT = 0x04FF;

struct POINT {
    LONG x;
    LONG y;
};
struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

// WM_QUIT for the calling thread's queue: the next PeekMessageW on that thread returns it.
void PostQuitMessage(int exitCode);

// Qt dispatches its events itself and cannot hand them out one by one. On the GUI thread a
// PeekMessageW with PM_REMOVE runs one pass of the Qt event loop (all events of the application; a
// window filter cannot be honoured) and reports it as one WM_NULL message; the next call reports an
// empty queue. A `while (PeekMessageW(...))` loop thus runs exactly one pass. A pending WM_QUIT is
// reported first, on any thread. Off the GUI thread there are no other messages.
BOOL PeekMessageW(MSG* message, HWND window, UINT filterMin, UINT filterMax, UINT remove);
BOOL TranslateMessage(const MSG* message);
// The event was delivered by PeekMessageW's pass already: returns 0.
LRESULT DispatchMessageW(const MSG* message);

// As WaitForMultipleObjects, and also returns WAIT_OBJECT_0 + count when input may be waiting for the
// thread (wakeMask not 0): on the GUI thread that is after each slice of a few milliseconds in which
// no handle was signalled, because Qt cannot report whether events are pending without dispatching
// them; at once when a WM_QUIT is pending. Off the GUI thread only a WM_QUIT counts as input. A count
// of 0 waits for the time-out or input alone.
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds,
                                DWORD wakeMask);
