// The library's windows shared by the application and the library's own operations: the open and
// save dialogs (a cancel becomes an error with the number 1223), error message boxes, bringing a
// window to the front, the wait that keeps the thread's events flowing, the certificate viewer, the
// two-column list dialog, the login dialog and desktop shortcuts. Linked only by code with windows.
#pragma once

#include <vsk/platform/cryptui.h>
#include <vsk/platform/gui.h>
#include <vsk/utils/array.h>
#include <vsk/utils/error.h>
#include <vsk/utils/lib.h>
#include <vsk/utils/string.h>

namespace Vsk::InternalUtils {

// Every function here leaves the caller's last error as it was unless the function fails itself.

// ---- File dialogs ---------------------------------------------------------------------------------
// `filter` is the double-NUL list of description and pattern pairs; `initialName` may be null. A
// cancel raises "Файл не выбран." with the error number 1223 (ERROR_CANCELLED), by which callers
// recognise it and show nothing; a failed dialog raises "Ошибка диалога \"<title>\": <code>".

// Initial file names are cut to this many characters: the dialog's buffer holds 1024 with the NUL,
// and the names are made from certificate subjects, which nobody bounds.
constexpr size_t MaxInitialFileName = 1023;

Vsk::Utils::CWString SelectFile(const WCHAR* title, HWND owner, const WCHAR* filter,
                                const WCHAR* defaultExtension, const WCHAR* initialName, bool mustExist);
Vsk::Utils::CWString SelectExistingFile(const WCHAR* title, HWND owner, const WCHAR* filter,
                                        const WCHAR* defaultExtension, const WCHAR* initialName);
// The save dialog; it asks before overwriting an existing file.
Vsk::Utils::CWString SelectWriteFile(const WCHAR* title, HWND owner, const WCHAR* filter,
                                     const WCHAR* defaultExtension, const WCHAR* initialName);

// ---- Message boxes and window texts -------------------------------------------------------------------

// Empty for a null window or an empty text.
Vsk::Utils::CWString GetWindowTextString(HWND window);
// Logs the text (log level 1 and more) and shows it with the error icon under the owner's text, or
// "Ошибка" when the owner is null or has no text.
void ShowErrorMessage(HWND owner, const WCHAR* text);
// Shows the error's text with the error icon; a null caption takes the owner's text (possibly
// empty). Nothing is logged.
void ShowError(HWND owner, const Vsk::Utils::CError& error, const WCHAR* caption);

// ---- Windows and waits -----------------------------------------------------------------------------------

// Brings the window to the front and gives it the focus; a window that already is in front is left
// as it is. Between its tries it sleeps: a pending WM_QUIT stays for the caller.
void BringToForeground(HWND window);
// Waits for the handles (any or all) for about `milliseconds` while dispatching the thread's events,
// so that calls handed to this thread by the workers it waits for are served. Returns when the
// handles are signalled, when the time has passed (checked before each wait, so the total may
// exceed it by up to one wait), when a WM_QUIT arrives, or when the wait fails (logged).
void MsgWaitForObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds);
// The certificate viewer; a cancel by the user is no error. Any other failure raises
// "CryptUIDlgViewCertificate" with the last error.
void ViewCertificate(HWND parent, PCCERT_CONTEXT certificate);

// ---- Shortcuts
// ------------------------------------------------------------------------------------------------

// Creates a desktop shortcut to `target` (a ".lnk" name is saved as ".desktop"); `icon` and
// `formatter` may be null. Never raises: failures go into the formatter; returns whether it worked.
bool CreateLink(const WCHAR* target, const WCHAR* shortcut, const WCHAR* description, const WCHAR* icon,
                Vsk::Utils::CErrorFormatter* formatter);
// The shell-link part of CreateLink: the HRESULT of the first failing step (logged), or S_OK.
HRESULT createLink(const WCHAR* target, const WCHAR* shortcut, const WCHAR* description, const WCHAR* icon);

// ---- Dialogs
// ---------------------------------------------------------------------------------------------------

// Loads the module that supplies the library's dialog templates into `lib` (constructed on
// "VskTspClient.dll"): that module when it loads, else the program's own file.
// A failure to load the program's own file raises CLib's error.
void LoadDialogTemplateModule(CLib& lib);

// Asks for a user name and password (dialog 102). A non-empty user name on entry means that the
// previous attempt failed, which is said first. True when the user confirmed; the strings then hold
// the answers. Never raises: a cancel and any failure go into the formatter (may be null).
bool ShowLoginDialog(Vsk::Utils::CErrorFormatter* formatter, const Vsk::Utils::CWString& caption,
                     Vsk::Utils::CWString& user, Vsk::Utils::CWString& password, HWND parent);

// The parameters of the two-column list dialog (dialog 101): rows of name and value that may carry a
// certificate, shown with a button "Сертификат" that opens the viewer. A modeless dialog reads the
// parameters while it lives: they must outlive it.
class CListDialogParams {
public:
    struct CItem {
        Vsk::Utils::CWString name;
        Vsk::Utils::CWString value;
        PCCERT_CONTEXT certificate = nullptr;
    };

    CListDialogParams();
    ~CListDialogParams();
    CListDialogParams(const CListDialogParams&) = delete;
    CListDialogParams& operator=(const CListDialogParams&) = delete;

    void addItem(const Vsk::Utils::CWString& name, const Vsk::Utils::CWString& value);
    // With a certificate: attaches it to the last row (the name is not used; no rows raises the
    // array's "Массив пуст"). Without: appends a row with the name and an empty value.
    void attachToLastItem(const Vsk::Utils::CWString& name, PCCERT_CONTEXT certificate);
    // A non-zero id loads that icon of the program; 0 changes nothing.
    void setIcon(UINT resourceId);
    // Stores the texts and shows the dialog, modal (returns when it is closed) or modeless.
    void show(const Vsk::Utils::CWString& caption, const Vsk::Utils::CWString& firstColumnTitle,
              const Vsk::Utils::CWString& secondColumnTitle, HWND parent, bool modal);

    const Vsk::Utils::CArray<CItem>& getItems() const { return m_items; }
    // The dialog while it exists (modeless), else null.
    HWND getDialog() const { return m_dialog; }

    Vsk::Utils::CWString m_caption;
    Vsk::Utils::CWString m_firstColumnTitle;
    Vsk::Utils::CWString m_secondColumnTitle;
    Vsk::Utils::CArray<CItem> m_items;
    HWND m_dialog;
    HICON m_icon;
};

}  // namespace Vsk::InternalUtils
