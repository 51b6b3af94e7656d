// The shell's folder functions on the XDG folders, and file associations (none on this platform).
#pragma once

#include <vsk/platform/security.h>
#include <vsk/platform/types.h>

#include <functional>
#include <string>

// Folder identifiers. The owner-window and token arguments are accepted and ignored.
constexpr int CSIDL_DESKTOP = 0x0000;
constexpr int CSIDL_DESKTOPDIRECTORY = 0x0010;
constexpr int CSIDL_APPDATA = 0x001A;
constexpr int CSIDL_LOCAL_APPDATA = 0x001C;
constexpr int CSIDL_FLAG_CREATE = 0x8000;
constexpr DWORD SHGFP_TYPE_CURRENT = 0;

// The folders, without a trailing separator:
//   CSIDL_LOCAL_APPDATA    $XDG_DATA_HOME, else ~/.local/share
//   CSIDL_APPDATA          $XDG_CONFIG_HOME, else ~/.config
//   CSIDL_DESKTOP(DIRECTORY) XDG_DESKTOP_DIR of user-dirs.dirs in the configuration folder, else ~/Desktop
// ("~" is $HOME, else the password database's home; relative XDG values are ignored, as the XDG rules
// say). CSIDL_FLAG_CREATE makes a missing folder with its parents (mode 0700). `path` holds MAX_PATH
// characters. S_OK; E_INVALIDARG for another identifier; HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
// for a missing folder without CSIDL_FLAG_CREATE; the creation's error otherwise.
HRESULT SHGetFolderPathW(void* owner, int csidl, HANDLE token, DWORD flags, LPWSTR path);
BOOL SHGetSpecialFolderPathW(void* owner, LPWSTR path, int csidl, BOOL create);

// Makes a folder with all its missing parents. Returns a Win32 code (also set as the last error):
// ERROR_SUCCESS, ERROR_ALREADY_EXISTS when the path exists, ERROR_BAD_PATHNAME for a relative path,
// ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_FILENAME_EXCED_RANGE.
constexpr DWORD ERROR_BAD_PATHNAME = 161;
int SHCreateDirectoryExW(void* owner, LPCWSTR path, const SECURITY_ATTRIBUTES* security);

// File associations: this platform keeps none, so every query answers
// HRESULT_FROM_WIN32(ERROR_NO_ASSOCIATION) (0x80070483) and leaves the output alone.
using ASSOCF = DWORD;
enum ASSOCSTR { ASSOCSTR_COMMAND = 1, ASSOCSTR_EXECUTABLE = 2, ASSOCSTR_FRIENDLYAPPNAME = 4 };
constexpr DWORD ERROR_NO_ASSOCIATION = 1155;
HRESULT AssocQueryStringW(ASSOCF flags, ASSOCSTR what, LPCWSTR association, LPCWSTR extra, LPWSTR out,
                          DWORD* outSize);

// Starting a file through the shell. A desktop program cannot safely restart itself with the
// administrator's rights here, and nothing is ever run as a program through the shell: "runas"
// (elevation, any case) answers SE_ERR_ACCESSDENIED with the last error ERROR_NOT_SUPPORTED. The verb
// "open" (any case; also a null or empty verb) hands an existing file or folder to the desktop's
// handler (the GUI area registers one that opens it with the user's application for its type, as
// xdg-open does); without a handler, or when the handler fails, SE_ERR_NOASSOC with
// ERROR_NO_ASSOCIATION. Every other verb: SE_ERR_NOASSOC with ERROR_NO_ASSOCIATION. A null file, or
// a file to open that does not exist: SE_ERR_FNF with ERROR_FILE_NOT_FOUND. The parameters, folder
// and show arguments are not passed on. Success gives a value above 32.
constexpr int SE_ERR_FNF = 2;
constexpr int SE_ERR_ACCESSDENIED = 5;
constexpr int SE_ERR_NOASSOC = 31;
HINSTANCE ShellExecuteW(void* owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR folder,
                        int show);

// The desktop's handler for "open": gets the absolute UTF-8 path, answers whether the desktop took it.
// Tests put a recording handler here (and put the previous one back).
using ShellOpenHandler = std::function<bool(const std::string& path)>;
void SetShellOpenHandler(ShellOpenHandler handler);
ShellOpenHandler GetShellOpenHandler();
