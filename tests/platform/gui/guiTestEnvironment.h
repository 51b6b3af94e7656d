// The environment of the GUI tests: one QApplication on the offscreen platform for the whole test
// process, and a scratch folder for the files the tests make (inside the temporary root that every
// test executable runs in). VSK_GUI_SCREENSHOTS=<folder> keeps the caller's platform (run under Xvfb)
// and makes the dialog tests save a picture of each dialog into that folder, to be looked at by eye.
#pragma once

#include <gtest/gtest.h>

#include <vsk/platform/gui.h>

#include "tempRoot.h"

#include <QApplication>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace GuiTest {

class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        root() = VskTest::MakeTempFolder("vsk-gui-").string();
        if (!getenv("VSK_GUI_SCREENSHOTS")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "vsk-gui-test";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
        // Qt's own texts in Russian, as in the program.
        InstallQtTranslations();
    }
    void TearDown() override {
        app_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(root(), ignored);
    }

    static std::string& root() {
        static std::string value;
        return value;
    }

private:
    std::unique_ptr<QApplication> app_;
};

inline std::string Root() {
    return Environment::root();
}

// Saves a picture of the widget when VSK_GUI_SCREENSHOTS names a folder: the widget as it appears
// on the X server's screen (ImageMagick's import of the root window, cut to the window), or Qt's own
// rendering of it when the screen cannot be read.
inline void Screenshot(QWidget* widget, const char* name) {
    const char* folder = getenv("VSK_GUI_SCREENSHOTS");
    if (!folder) return;
    const QString path =
        QString::fromUtf8(folder) + QStringLiteral("/") + QString::fromUtf8(name) + QStringLiteral(".png");
    QWidget* window = widget->window();
    window->raise();
    window->activateWindow();
    for (int i = 0; i < 10; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(20);
    }
    const QRect frame = window->frameGeometry();
    const QSize device = frame.size() * window->devicePixelRatio();
    const QPoint origin = frame.topLeft() * window->devicePixelRatio();
    const QString crop = QStringLiteral("%1x%2+%3+%4")
                             .arg(device.width())
                             .arg(device.height())
                             .arg(origin.x())
                             .arg(origin.y());
    if (getenv("DISPLAY") &&
        QProcess::execute(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"),
                                                     QStringLiteral("-crop"), crop, path}) == 0)
        return;
    widget->grab().save(path);
}

// Acts once on the next modal window that satisfies `accept` (any modal window by default), from
// the event loop that the modal window runs. Polls, because the window opens after this call.
inline void OnModal(std::function<void(QWidget*)> act, std::function<bool(QWidget*)> accept = {}) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [timer, act, accept] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || (accept && !accept(modal))) return;
        timer->stop();
        timer->deleteLater();
        act(modal);
    });
    timer->start(2);
}

}  // namespace GuiTest
