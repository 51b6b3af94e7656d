// Posted and sent messages to windows as Qt events.
#include <vsk/platform/kernel.h>
#include <vsk/platform/windowMessages.h>

#include <QApplication>
#include <QWidget>

namespace {

// Compares the address only: a window that is gone is never touched.
bool isLiveWidget(QWidget* w) {
    return w && QApplication::allWidgets().contains(w);
}

}  // namespace

QEvent::Type WindowMessageEvent::eventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!window || !QCoreApplication::instance()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [window, message, wParam, lParam] {
            if (!isLiveWidget(window)) return;
            WindowMessageEvent event(message, wParam, lParam);
            QCoreApplication::sendEvent(window, &event);
        },
        Qt::QueuedConnection);
    return TRUE;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return CallOnGuiThread([&]() -> LRESULT {
        if (!isLiveWidget(window)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        WindowMessageEvent event(message, wParam, lParam);
        QCoreApplication::sendEvent(window, &event);
        return event.result();
    });
}
