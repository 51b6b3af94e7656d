// Helpers of the library's dialogs: the templates' dialog units, texts between the library's strings
// and Qt, and the controls placed as the templates place them.
#pragma once

#include <vsk/platform/gui.h>
#include <vsk/platform/kernel.h>
#include <vsk/utils/string.h>

#include <QDialog>
#include <QRect>
#include <QString>

#include <exception>

namespace Vsk::InternalUtils::Dialogs {

// Dialog units of the templates in pixels: the 8-point shell font at 96 dots per inch.
constexpr double PixelsPerDluX = 1.5;
constexpr double PixelsPerDluY = 1.625;

inline int dluX(int x) {
    return static_cast<int>(x * PixelsPerDluX + 0.5);
}
inline int dluY(int y) {
    return static_cast<int>(y * PixelsPerDluY + 0.5);
}
inline QRect dluRect(int x, int y, int width, int height) {
    return QRect(dluX(x), dluY(y), dluX(width), dluY(height));
}

inline QString toQ(const Vsk::Utils::CWString& text) {
    return text.getLength() ? QString::fromUtf16(text.c_str(), text.getLength()) : QString();
}
inline QString toQ(const WCHAR* text) {
    return text ? QString::fromUtf16(text) : QString();
}
inline Vsk::Utils::CWString fromQ(const QString& text) {
    return Vsk::Utils::CWString(reinterpret_cast<const WCHAR*>(text.utf16()),
                                static_cast<size_t>(text.size()));
}

// Places a control as its template does and gives it the template's identifier.
template <class W>
W* placeControl(W* control, int id, const QRect& rect) {
    control->setGeometry(rect);
    if (id) SetDlgCtrlID(control, id);
    return control;
}

// Whether a dialog can be made under `parent`: a QApplication must exist and the parent must be a
// live window (ERROR_INVALID_WINDOW_HANDLE otherwise, as the platform's dialog functions fail).
bool canCreateDialog(HWND parent);

// Keeps the caller's last error across a window function: the error that was set on entry is set
// again when the function returns normally. A function that fails itself (raises, or reports the
// failure through the last error) calls `release` or leaves by an exception, and its error stays.
class CKeepLastError {
public:
    CKeepLastError() : m_error(GetLastError()), m_exceptions(std::uncaught_exceptions()) {}
    ~CKeepLastError() {
        if (m_kept && std::uncaught_exceptions() == m_exceptions) SetLastError(m_error);
    }
    CKeepLastError(const CKeepLastError&) = delete;
    CKeepLastError& operator=(const CKeepLastError&) = delete;
    void release() { m_kept = false; }

private:
    DWORD m_error;
    int m_exceptions;
    bool m_kept = true;
};

}  // namespace Vsk::InternalUtils::Dialogs
