// The shell's "open" verb on the desktop: a file or folder goes to the user's application for its
// type through Qt's desktop services (xdg-open or the desktop portal).
#include <vsk/platform/shell.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMetaObject>
#include <QThread>
#include <QUrl>

namespace {

bool openOnDesktop(const std::string& path) {
    QCoreApplication* app = QCoreApplication::instance();
    // Without a window system there is no desktop to hand the file to.
    if (!qobject_cast<QGuiApplication*>(app)) return false;
    const QUrl url = QUrl::fromLocalFile(QString::fromStdString(path));
    if (QThread::currentThread() == app->thread()) return QDesktopServices::openUrl(url);
    bool opened = false;
    QMetaObject::invokeMethod(
        app, [&] { opened = QDesktopServices::openUrl(url); }, Qt::BlockingQueuedConnection);
    return opened;
}

const bool Registered = [] {
    SetShellOpenHandler(openOnDesktop);
    return true;
}();

}  // namespace

// Linked into every program that links this area (its link options name this symbol), so that the
// registration above runs although nothing calls into this file.
extern "C" const bool VskDesktopOpenHandler = Registered;
