// The common open and save dialogs on QFileDialog (Qt's own dialog, so the behaviour does not depend
// on the desktop), with the platform's record, flags and extended error codes, and a test seam that
// answers the dialogs in place of a user.
#pragma once

#include <vsk/platform/gui.h>

#include <optional>
#include <string>

using LPOFNHOOKPROC = UINT_PTR (*)(HWND, UINT, WPARAM, LPARAM);

// 152 bytes, as the callers' lStructSize says.
struct OPENFILENAMEW {
    DWORD lStructSize;
    HWND hwndOwner;
    HINSTANCE hInstance;
    LPCWSTR lpstrFilter;
    LPWSTR lpstrCustomFilter;
    DWORD nMaxCustFilter;
    DWORD nFilterIndex;
    LPWSTR lpstrFile;
    DWORD nMaxFile;
    LPWSTR lpstrFileTitle;
    DWORD nMaxFileTitle;
    LPCWSTR lpstrInitialDir;
    LPCWSTR lpstrTitle;
    DWORD Flags;
    WORD nFileOffset;
    WORD nFileExtension;
    LPCWSTR lpstrDefExt;
    LPARAM lCustData;
    LPOFNHOOKPROC lpfnHook;
    LPCWSTR lpTemplateName;
    void* pvReserved;
    DWORD dwReserved;
    DWORD FlagsEx;
};
static_assert(sizeof(OPENFILENAMEW) == 152);

constexpr DWORD OFN_OVERWRITEPROMPT = 0x00000002;
constexpr DWORD OFN_HIDEREADONLY = 0x00000004;
constexpr DWORD OFN_NOCHANGEDIR = 0x00000008;
constexpr DWORD OFN_PATHMUSTEXIST = 0x00000800;
constexpr DWORD OFN_FILEMUSTEXIST = 0x00001000;

// Extended error codes.
constexpr DWORD CDERR_STRUCTSIZE = 0x0001;
constexpr DWORD CDERR_INITIALIZATION = 0x0002;
constexpr DWORD FNERR_INVALIDFILENAME = 0x3002;
constexpr DWORD FNERR_BUFFERTOOSMALL = 0x3003;

// TRUE with the chosen full path in lpstrFile (NUL-terminated; nFileOffset and nFileExtension set).
// FALSE when the user cancelled (CommDlgExtendedError 0) or the dialog failed: CDERR_STRUCTSIZE for a
// wrong lStructSize, CDERR_INITIALIZATION without a file buffer or
// without a QApplication, FNERR_BUFFERTOOSMALL when the path
// does not fit nMaxFile characters with its NUL (the first two bytes of the buffer then hold the
// characters needed). The filter is the double-NUL list of description and ";"-separated pattern
// pairs; "*.*" means every file. The initial file name in lpstrFile is preselected; lpstrDefExt is
// appended to a chosen name without an extension. OFN_FILEMUSTEXIST allows existing files only; the
// save dialog confirms overwriting only with OFN_OVERWRITEPROMPT.
BOOL GetOpenFileNameW(OPENFILENAMEW* ofn);
BOOL GetSaveFileNameW(OPENFILENAMEW* ofn);
// The extended error of the calling thread's last dialog; 0 after a cancel or a success.
DWORD CommDlgExtendedError();

// What a dialog asks, in Qt's terms: handed to the test driver.
struct FileDialogRequest {
    bool save = false;
    bool mustExist = false;
    bool overwritePrompt = false;
    HWND owner = nullptr;
    std::u16string title;
    // "description (patterns);;..." with patterns separated by blanks, as QFileDialog takes them.
    std::u16string nameFilters;
    std::u16string defaultSuffix;
    std::u16string initialName;
};

// Test seam: while set, the dialogs show nothing and ask the driver (on the GUI thread); it answers
// a path or std::nullopt for a cancel. The dialog's own rules are applied to the answer: the default
// extension is added to a name without one, and an open dialog with OFN_FILEMUSTEXIST treats a
// missing file as a cancel (the real dialog would not let the user choose it). An empty function
// removes the driver.
using FileDialogDriver = std::function<std::optional<std::u16string>(const FileDialogRequest& request)>;
void SetFileDialogDriver(FileDialogDriver driver);

// The filter list in QFileDialog's form; exposed for the dialog and its tests.
std::u16string ConvertFileFilter(LPCWSTR filter);
