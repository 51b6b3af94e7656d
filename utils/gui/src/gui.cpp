// File dialogs, message boxes, the foreground window, the message-pumping wait, the certificate
// viewer and shortcuts.
#include "dialogs.h"
#include "templateModule.h"

#include <vsk/platform/commdlg.h>
#include <vsk/platform/shellLink.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/file.h>
#include <vsk/utils/gui.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <QApplication>

#include <algorithm>
#include <mutex>
#include <vector>

namespace Vsk::InternalUtils {

using Utils::CError;
using Utils::CErrorFormatter;
using Utils::CWString;
using Utils::ToWString;

namespace {

CWString orEmpty(const WCHAR* text) {
    return text ? CWString(text) : CWString();
}

CWString runFileDialog(const char* traceName, bool save, const WCHAR* title, HWND owner, const WCHAR* filter,
                       const WCHAR* defaultExtension, const WCHAR* initialName, DWORD flags) {
    Dialogs::CKeepLastError keep;
    CLogScope scope;
    if (GetLogLevel() >= 4) scope.enter(traceName, orEmpty(title));
    std::vector<WCHAR> buffer(MaxInitialFileName + 1, 0);
    if (initialName) {
        size_t length = 0;
        while (length < MaxInitialFileName && initialName[length]) ++length;
        std::copy(initialName, initialName + length, buffer.begin());
    }
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter;
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = static_cast<DWORD>(buffer.size());
    ofn.lpstrTitle = title;
    ofn.lpstrDefExt = defaultExtension;
    ofn.Flags = flags;
    if (save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn)) return CWString(buffer.data());
    if (const DWORD extended = CommDlgExtendedError())
        throw CError(u"Ошибка диалога \"" + orEmpty(title) + u"\": " + ToWString(extended),
                     Vsk::Utils::LastErrorCode);
    CError cancelled("Файл не выбран.", Vsk::Utils::LastErrorCode);
    cancelled.setErrorNumber(ERROR_CANCELLED);
    throw cancelled;
}

// The wait of MsgWaitForObjects, without its trace; false when the wait itself failed.
bool waitServingEvents(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds) {
    Utils::CStopwatch watch;
    watch.start();
    for (;;) {
        if (milliseconds != INFINITE && watch.elapsedMs() > milliseconds) return true;
        const DWORD result =
            MsgWaitForMultipleObjects(count, handles, waitAll ? TRUE : FALSE, milliseconds, QS_ALLINPUT);
        if (result == WAIT_OBJECT_0 + count) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
                if (message.message == WM_QUIT) return true;
            }
            continue;
        }
        if (result == WAIT_TIMEOUT || result < WAIT_OBJECT_0 + count) return true;
        if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) continue;
        const DWORD error = GetLastError();
        if (error != 0 && GetLogLevel() >= 1)
            if (CLog* log = GetLog())
                log->writeWin32Error(CWString(u"InternalUtils::MsgWaitForObjects MsgWaitForMultipleObjects"),
                                     error);
        return false;
    }
}

}  // namespace

// ---- File dialogs ---------------------------------------------------------------------------------------

CWString SelectFile(const WCHAR* title, HWND owner, const WCHAR* filter, const WCHAR* defaultExtension,
                    const WCHAR* initialName, bool mustExist) {
    return runFileDialog("Vsk::InternalUtils::SelectFile", false, title, owner, filter, defaultExtension,
                         initialName, mustExist ? OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST : OFN_PATHMUSTEXIST);
}

CWString SelectExistingFile(const WCHAR* title, HWND owner, const WCHAR* filter,
                            const WCHAR* defaultExtension, const WCHAR* initialName) {
    return SelectFile(title, owner, filter, defaultExtension, initialName, true);
}

CWString SelectWriteFile(const WCHAR* title, HWND owner, const WCHAR* filter, const WCHAR* defaultExtension,
                         const WCHAR* initialName) {
    return runFileDialog("Vsk::InternalUtils::SelectWriteFile", true, title, owner, filter, defaultExtension,
                         initialName, OFN_OVERWRITEPROMPT);
}

// ---- Message boxes and window texts -------------------------------------------------------------------

CWString GetWindowTextString(HWND window) {
    Dialogs::CKeepLastError keep;
    if (!window) return CWString();
    const int length = GetWindowTextLengthW(window);
    if (length <= 0) return CWString();
    std::vector<WCHAR> buffer(static_cast<size_t>(length) + 1, 0);
    const int copied = GetWindowTextW(window, buffer.data(), length + 1);
    return CWString(buffer.data(), static_cast<size_t>(std::max(copied, 0)));
}

void ShowErrorMessage(HWND owner, const WCHAR* text) {
    Dialogs::CKeepLastError keep;
    if (GetLogLevel() >= 1) LogAt(1, orEmpty(text));
    CWString caption = GetWindowTextString(owner);
    if (caption.getLength() == 0) caption = CWString(u"Ошибка");
    MessageBoxW(owner, text, caption.c_str(), MB_ICONERROR);
}

void ShowError(HWND owner, const CError& error, const WCHAR* caption) {
    Dialogs::CKeepLastError keep;
    const CWString text = error.getText();
    const CWString ownerText = caption ? CWString() : GetWindowTextString(owner);
    MessageBoxW(owner, text.c_str(), caption ? caption : ownerText.c_str(), MB_ICONERROR);
}

// ---- Windows and waits -----------------------------------------------------------------------------------

void BringToForeground(HWND window) {
    Dialogs::CKeepLastError keep;
    CLogScope scope;
    if (GetLogLevel() >= 4)
        scope.enter("Vsk::InternalUtils::BringToForeground", ToWString(static_cast<const void*>(window)));
    if (GetForegroundWindow() == window || SetForegroundWindow(window)) return;
    // The window system may take a moment to hand over the activation. The platform's foreground lock
    // and topmost toggling have no counterpart here; the tries and pauses stay. The pauses sleep: they
    // must neither take a pending quit request off the queue nor run handlers in the middle of the
    // caller's work (the window system's answers arrive with the caller's next event pass).
    constexpr int Tries = 100;
    constexpr DWORD PauseMs = 20;
    for (int i = 0; i < Tries; ++i) {
        if (GetForegroundWindow() == window) break;
        SetForegroundWindow(window);
        Sleep(PauseMs);
    }
    SetFocus(window);
}

void MsgWaitForObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds) {
    Dialogs::CKeepLastError keep;
    CLogScope scope;
    if (GetLogLevel() >= 4) scope.enter("Vsk::InternalUtils::MsgWaitForObjects", ToWString(count));
    if (!waitServingEvents(count, handles, waitAll, milliseconds)) keep.release();
}

void ViewCertificate(HWND parent, PCCERT_CONTEXT certificate) {
    Dialogs::CKeepLastError keep;
    CRYPTUI_VIEWCERTIFICATE_STRUCTW view{};
    view.dwSize = sizeof(view);
    view.hwndParent = parent;
    view.pCertContext = certificate;
    if (CryptUIDlgViewCertificateW(&view, nullptr) || GetLastError() == ERROR_CANCELLED) return;
    throw CError("CryptUIDlgViewCertificate", Vsk::Utils::LastErrorCode);
}

// ---- Shortcuts
// ------------------------------------------------------------------------------------------------

bool CreateLink(const WCHAR* target, const WCHAR* shortcut, const WCHAR* description, const WCHAR* icon,
                CErrorFormatter* formatter) {
    Dialogs::CKeepLastError keep;
    CLogScope scope;
    if (GetLogLevel() >= 4)
        scope.enter("Vsk::InternalUtils::CreateLink", orEmpty(target) + u"\r\n" + orEmpty(shortcut) +
                                                          u"\r\n" + orEmpty(description) + u"\r\n" +
                                                          orEmpty(icon));
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init) && init != RPC_E_CHANGED_MODE) {
        if (formatter) formatter->push(CError("Инициализация COM", init));
        keep.release();
        return false;
    }
    const HRESULT hr = createLink(target, shortcut, description, icon);
    if (FAILED(hr) && formatter) formatter->push(CError(u"Создание ярлыка " + orEmpty(shortcut), hr));
    if (SUCCEEDED(init)) CoUninitialize();
    scope.setResult(SUCCEEDED(hr));
    if (FAILED(hr)) keep.release();
    return SUCCEEDED(hr);
}

HRESULT createLink(const WCHAR* target, const WCHAR* shortcut, const WCHAR* description, const WCHAR* icon) {
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    HRESULT hr = S_OK;
    int failedLine = 0;
    auto fails = [&](HRESULT result, int line) {
        hr = result;
        if (FAILED(result)) failedLine = line;
        return FAILED(result);
    };
    fails(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_ALL, IID_IShellLinkW,
                           reinterpret_cast<void**>(&link)),
          __LINE__) ||
        fails(link->SetPath(target), __LINE__) || fails(link->SetDescription(description), __LINE__) ||
        (icon && fails(link->SetIconLocation(icon, 0), __LINE__)) ||
        fails(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)), __LINE__) ||
        fails(file->Save(shortcut, TRUE), __LINE__);
    if (file) file->Release();
    if (link) link->Release();
    if (failedLine != 0 && GetLogLevel() >= 1)
        if (CLog* log = GetLog())
            log->writeHResult(
                CWString(u"InternalUtils::createLink ") + __FILE_NAME__ + u":" + ToWString(failedLine), hr);
    return hr;
}

// ---- Dialog templates
// --------------------------------------------------------------------------------------------

namespace {

std::mutex templateFallbackLock;
CWString templateFallbackPath;

CWString templateFallback() {
    std::lock_guard lock(templateFallbackLock);
    return templateFallbackPath;
}

}  // namespace

void LoadDialogTemplateModule(CLib& lib) {
    try {
        lib.load();
        return;
    } catch (const CError& error) {
        // The time-stamp client module is optional: the program carries the templates itself. Its
        // absence is the usual case, so it is noted only in a detailed log.
        if (GetLogLevel() >= 4)
            LogAt(4,
                  CWString(u"LoadDialogTemplateModule: ") + error.getText() + u" - взяты шаблоны программы");
    }
    // The program's own file: loading it gives the module the program already is. Its failure goes
    // to the caller unchanged.
    const CWString fallback = templateFallback();
    lib.setModuleName(fallback.getLength() ? fallback.c_str() : GetModuleFileNameW(nullptr).c_str());
    lib.load();
}

void SetTemplateFallbackModule(const WCHAR* path) {
    std::lock_guard lock(templateFallbackLock);
    templateFallbackPath = path ? CWString(path) : CWString();
}

namespace Dialogs {

bool canCreateDialog(HWND parent) {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()) || (parent && !IsWindow(parent))) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    return true;
}

}  // namespace Dialogs

}  // namespace Vsk::InternalUtils
