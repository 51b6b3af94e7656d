// The open and save dialogs on QFileDialog.
#include <vsk/platform/commdlg.h>
#include <vsk/platform/kernel.h>

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>

#include <cstring>
#include <mutex>

namespace {

thread_local DWORD t_extendedError = 0;

std::mutex& driverLock() {
    static std::mutex lock;
    return lock;
}
FileDialogDriver& fileDialogDriver() {
    static FileDialogDriver driver;
    return driver;
}

std::u16string trimmed(std::u16string text) {
    while (!text.empty() && text.back() == u' ') text.pop_back();
    size_t first = 0;
    while (first < text.size() && text[first] == u' ') ++first;
    return text.substr(first);
}

std::u16string fileNamePart(const std::u16string& path) {
    const size_t slash = path.find_last_of(u"/\\");
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

// The dialog's own rules applied to an answer that did not come from the dialog.
std::optional<std::u16string> applyDialogRules(std::optional<std::u16string> answer,
                                               const FileDialogRequest& r) {
    if (!answer || answer->empty()) return std::nullopt;
    if (!r.defaultSuffix.empty() && fileNamePart(*answer).find(u'.') == std::u16string::npos)
        *answer += u"." + r.defaultSuffix;
    if (!r.save && r.mustExist && !QFileInfo(QString::fromStdU16String(*answer)).isFile())
        return std::nullopt;
    return answer;
}

std::optional<std::u16string> runQtDialog(const FileDialogRequest& r) {
    QFileDialog dialog(r.owner, QString::fromStdU16String(r.title));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    // Descriptions already name their patterns ("Сертификаты (*.cer)").
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    if (!r.nameFilters.empty())
        dialog.setNameFilters(QString::fromStdU16String(r.nameFilters).split(QStringLiteral(";;")));
    dialog.setAcceptMode(r.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(!r.save && r.mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    if (r.save && !r.overwritePrompt) dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (!r.defaultSuffix.empty()) dialog.setDefaultSuffix(QString::fromStdU16String(r.defaultSuffix));
    if (!r.initialName.empty()) {
        const QString initial = QString::fromStdU16String(r.initialName);
        const QFileInfo info(initial);
        if (initial.contains(u'/')) dialog.setDirectory(info.absolutePath());
        dialog.selectFile(info.fileName());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first().toStdU16String();
}

BOOL runFileDialog(OPENFILENAMEW* ofn, bool save) {
    t_extendedError = 0;
    if (!ofn || ofn->lStructSize != sizeof(OPENFILENAMEW)) {
        t_extendedError = CDERR_STRUCTSIZE;
        return FALSE;
    }
    if (!ofn->lpstrFile || ofn->nMaxFile == 0) {
        t_extendedError = CDERR_INITIALIZATION;
        return FALSE;
    }
    FileDialogRequest request;
    request.save = save;
    request.mustExist = (ofn->Flags & OFN_FILEMUSTEXIST) != 0;
    request.overwritePrompt = (ofn->Flags & OFN_OVERWRITEPROMPT) != 0;
    request.owner = ofn->hwndOwner;
    if (ofn->lpstrTitle) request.title = ofn->lpstrTitle;
    request.nameFilters = ConvertFileFilter(ofn->lpstrFilter);
    if (ofn->lpstrDefExt) request.defaultSuffix = ofn->lpstrDefExt;
    // The buffer may hold no NUL within its size: read no further than the size.
    size_t initialLength = 0;
    while (initialLength < ofn->nMaxFile && ofn->lpstrFile[initialLength]) ++initialLength;
    request.initialName.assign(ofn->lpstrFile, initialLength);

    bool noWindowSystem = false;
    const std::optional<std::u16string> answer = CallOnGuiThread([&]() -> std::optional<std::u16string> {
        FileDialogDriver driver;
        {
            std::lock_guard guard(driverLock());
            driver = fileDialogDriver();
        }
        if (driver) return applyDialogRules(driver(request), request);
        noWindowSystem = !qobject_cast<QApplication*>(QCoreApplication::instance());
        return noWindowSystem ? std::nullopt : runQtDialog(request);
    });
    if (noWindowSystem) t_extendedError = CDERR_INITIALIZATION;
    if (!answer) return FALSE;

    const std::u16string& path = *answer;
    if (path.size() + 1 > ofn->nMaxFile) {
        t_extendedError = FNERR_BUFFERTOOSMALL;
        // The platform leaves the size needed in the first two bytes of the buffer.
        if (ofn->nMaxFile >= 1) {
            const WORD needed = static_cast<WORD>(std::min<size_t>(path.size() + 1, 0xFFFF));
            std::memcpy(ofn->lpstrFile, &needed, sizeof(needed));
        }
        return FALSE;
    }
    std::memcpy(ofn->lpstrFile, path.data(), path.size() * sizeof(WCHAR));
    ofn->lpstrFile[path.size()] = 0;
    const size_t slash = path.find_last_of(u'/');
    const size_t nameStart = slash == std::u16string::npos ? 0 : slash + 1;
    const size_t dot = path.find_last_of(u'.');
    ofn->nFileOffset = static_cast<WORD>(nameStart);
    ofn->nFileExtension =
        static_cast<WORD>(dot == std::u16string::npos || dot < nameStart ? path.size() : dot + 1);
    return TRUE;
}

}  // namespace

std::u16string ConvertFileFilter(LPCWSTR filter) {
    std::u16string result;
    if (!filter) return result;
    const WCHAR* p = filter;
    while (*p) {
        const std::u16string description = p;
        p += description.size() + 1;
        const std::u16string patterns = p;
        p += *p ? patterns.size() + 1 : 0;
        std::u16string list;
        size_t start = 0;
        while (start <= patterns.size()) {
            size_t end = patterns.find(u';', start);
            if (end == std::u16string::npos) end = patterns.size();
            std::u16string pattern = trimmed(patterns.substr(start, end - start));
            if (pattern == u"*.*") pattern = u"*";
            if (!pattern.empty()) list += (list.empty() ? u"" : u" ") + pattern;
            start = end + 1;
        }
        if (list.empty()) list = u"*";
        if (!result.empty()) result += u";;";
        result += description + u" (" + list + u")";
    }
    return result;
}

BOOL GetOpenFileNameW(OPENFILENAMEW* ofn) {
    return runFileDialog(ofn, false);
}

BOOL GetSaveFileNameW(OPENFILENAMEW* ofn) {
    return runFileDialog(ofn, true);
}

DWORD CommDlgExtendedError() {
    return t_extendedError;
}

void SetFileDialogDriver(FileDialogDriver driver) {
    std::lock_guard guard(driverLock());
    fileDialogDriver() = std::move(driver);
}
