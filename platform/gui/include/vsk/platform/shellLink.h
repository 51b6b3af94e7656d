// The shell link object, made with CoCreateInstance (COM itself is the kernel's). A "shell link" here
// is a freedesktop desktop entry: desktops run only *.desktop files, so a requested ".lnk" name is
// saved as ".desktop".
#pragma once

#include <vsk/platform/com.h>
#include <vsk/platform/oleaut.h>
#include <vsk/platform/types.h>

#include <string>

extern const CLSID CLSID_ShellLink;  // {00021401-0000-0000-C000-000000000046}
extern const IID IID_IShellLinkW;    // {000214F9-0000-0000-C000-000000000046}
extern const IID IID_IPersistFile;   // {0000010B-0000-0000-C000-000000000046}

struct IShellLinkW : IUnknown {
    virtual HRESULT SetPath(LPCWSTR path) = 0;
    virtual HRESULT SetDescription(LPCWSTR description) = 0;
    virtual HRESULT SetArguments(LPCWSTR arguments) = 0;
    virtual HRESULT SetIconLocation(LPCWSTR iconPath, int index) = 0;

protected:
    ~IShellLinkW() = default;
};

struct IPersistFile : IUnknown {
    // Writes the desktop entry: [Desktop Entry], Type=Application, Name= (the file name without its
    // extension), Exec= (the quoted target and its arguments), Comment=, Icon= (when set),
    // Terminal=false; through a temporary file renamed into place, mode 0755. A name ending in ".lnk"
    // (any case) is saved with ".desktop" instead. Failures: HRESULT_FROM_WIN32 of the file error;
    // E_INVALIDARG without a path or target.
    virtual HRESULT Save(LPCOLESTR fileName, BOOL remember) = 0;

protected:
    ~IPersistFile() = default;
};

// The path the shell link object saves to for a requested name.
std::u16string DesktopEntryPath(const std::u16string& requested);
