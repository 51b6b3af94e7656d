// Window handles as widgets: the hand-over to the GUI thread, message boxes, window texts, control
// identifiers, icons and the foreground window.
#include <vsk/platform/gui.h>
#include <vsk/platform/kernel.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QThread>
#include <QTranslator>

#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace vsk::gui {
extern const bool viewersRegistered;
}
// Every program with windows carries the viewers' stand-in modules (their registration lives beside
// the viewers and is linked in through this reference).
[[gnu::used]] static const bool* const keepViewers = &vsk::gui::viewersRegistered;

namespace {

QString toQ(LPCWSTR text) {
    return text ? QString::fromUtf16(text) : QString();
}

std::mutex& hookLock() {
    static std::mutex lock;
    return lock;
}
MessageBoxHook& messageBoxHook() {
    static MessageBoxHook hook;
    return hook;
}

// The text of a control, or the title of any other window.
QString widgetText(QWidget* w) {
    if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
    if (auto* line = qobject_cast<QLineEdit*>(w)) return line->text();
    if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) return plain->toPlainText();
    if (auto* rich = qobject_cast<QTextEdit*>(w)) return rich->toPlainText();
    return w->windowTitle();
}

void setWidgetText(QWidget* w, const QString& text) {
    if (auto* label = qobject_cast<QLabel*>(w))
        label->setText(text);
    else if (auto* button = qobject_cast<QAbstractButton*>(w))
        button->setText(text);
    else if (auto* line = qobject_cast<QLineEdit*>(w))
        line->setText(text);
    else if (auto* plain = qobject_cast<QPlainTextEdit*>(w))
        plain->setPlainText(text);
    else if (auto* rich = qobject_cast<QTextEdit*>(w))
        rich->setPlainText(text);
    else
        w->setWindowTitle(text);
}

bool isLiveWidget(QWidget* w) {
    return w && QApplication::instance() && QApplication::allWidgets().contains(w);
}

struct ButtonSpec {
    int id;
    const char16_t* text;
    QMessageBox::ButtonRole role;
};

int runMessageBox(HWND owner, const QString& text, const QString& caption, UINT type) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (type & MB_ICONMASK) {
        case MB_ICONERROR:
            icon = QMessageBox::Critical;
            break;
        case MB_ICONQUESTION:
            icon = QMessageBox::Question;
            break;
        case MB_ICONWARNING:
            icon = QMessageBox::Warning;
            break;
        case MB_ICONINFORMATION:
            icon = QMessageBox::Information;
            break;
        default:
            break;
    }
    static const ButtonSpec Ok{IDOK, u"ОК", QMessageBox::AcceptRole};
    static const ButtonSpec Cancel{IDCANCEL, u"Отмена", QMessageBox::RejectRole};
    static const ButtonSpec Abort{IDABORT, u"Прервать", QMessageBox::RejectRole};
    static const ButtonSpec Retry{IDRETRY, u"Повторить", QMessageBox::AcceptRole};
    static const ButtonSpec Ignore{IDIGNORE, u"Пропустить", QMessageBox::AcceptRole};
    static const ButtonSpec Yes{IDYES, u"Да", QMessageBox::YesRole};
    static const ButtonSpec No{IDNO, u"Нет", QMessageBox::NoRole};
    std::vector<ButtonSpec> specs;
    // The answer when the box is closed without a button: Cancel where there is one, as the platform does.
    int closeAnswer = IDCANCEL;
    switch (type & MB_TYPEMASK) {
        case MB_OK:
            specs = {Ok};
            closeAnswer = IDOK;
            break;
        case MB_OKCANCEL:
            specs = {Ok, Cancel};
            break;
        case MB_ABORTRETRYIGNORE:
            specs = {Abort, Retry, Ignore};
            closeAnswer = IDABORT;
            break;
        case MB_YESNOCANCEL:
            specs = {Yes, No, Cancel};
            break;
        case MB_YESNO:
            specs = {Yes, No};
            closeAnswer = IDNO;
            break;
        case MB_RETRYCANCEL:
            specs = {Retry, Cancel};
            break;
    }
    QMessageBox box(icon, caption, text, QMessageBox::NoButton, owner);
    box.setTextFormat(Qt::PlainText);
    std::map<QAbstractButton*, int> ids;
    std::vector<QPushButton*> buttons;
    for (const ButtonSpec& spec : specs) {
        QPushButton* button = box.addButton(QString::fromUtf16(spec.text), spec.role);
        ids[button] = spec.id;
        buttons.push_back(button);
        if (spec.id == IDCANCEL) box.setEscapeButton(button);
    }
    const size_t defaultIndex = (type & MB_DEFMASK) >> 8;
    box.setDefaultButton(buttons[defaultIndex < buttons.size() ? defaultIndex : 0]);
    box.exec();
    auto found = ids.find(box.clickedButton());
    return found != ids.end() ? found->second : closeAnswer;
}

std::mutex& iconLock() {
    static std::mutex lock;
    return lock;
}
std::map<QString, std::unique_ptr<QIcon>>& iconCache() {
    static std::map<QString, std::unique_ptr<QIcon>> cache;
    return cache;
}

}  // namespace

// ---- Running calls on the GUI thread ---------------------------------------------------------------------

bool IsGuiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

void RunOnGuiThread(const std::function<void()>& call) {
    if (IsGuiThread()) {
        call();
        return;
    }
    // The caller's last error travels with the call and back, so the stand-ins behave as if they ran
    // on the calling thread.
    DWORD lastError = GetLastError();
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [&] {
            const DWORD guiError = GetLastError();
            SetLastError(lastError);
            try {
                call();
            } catch (...) {
                failure = std::current_exception();
            }
            lastError = GetLastError();
            SetLastError(guiError);
        },
        Qt::BlockingQueuedConnection);
    SetLastError(lastError);
    if (failure) std::rethrow_exception(failure);
}

// ---- Message boxes -------------------------------------------------------------------------------------

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    if ((type & MB_TYPEMASK) > MB_RETRYCANCEL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string textCopy = text ? text : u"";
    const std::u16string captionCopy = caption ? caption : u"Ошибка";
    return CallOnGuiThread([&]() -> int {
        MessageBoxHook hook;
        {
            std::lock_guard guard(hookLock());
            hook = messageBoxHook();
        }
        if (hook) return hook(captionCopy, textCopy, type, owner);
        // A program without a window system (no QApplication) cannot show a box.
        if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return 0;
        }
        return runMessageBox(owner, QString::fromStdU16String(textCopy),
                             QString::fromStdU16String(captionCopy), type);
    });
}

void SetMessageBoxHook(MessageBoxHook hook) {
    std::lock_guard guard(hookLock());
    messageBoxHook() = std::move(hook);
}

// ---- Window texts, controls and icons
// ------------------------------------------------------------------------

int GetWindowTextLengthW(HWND window) {
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return CallOnGuiThread([&] { return static_cast<int>(widgetText(window).size()); });
}

int GetWindowTextW(HWND window, LPWSTR buffer, int size) {
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        if (buffer && size > 0) buffer[0] = 0;
        return 0;
    }
    if (!buffer || size <= 0) return 0;
    const QString text = CallOnGuiThread([&] { return widgetText(window); });
    const int n = std::min(static_cast<int>(text.size()), size - 1);
    std::memcpy(buffer, text.utf16(), static_cast<size_t>(n) * sizeof(WCHAR));
    buffer[n] = 0;
    return n;
}

BOOL SetWindowTextW(HWND window, LPCWSTR text) {
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const QString value = toQ(text);
    RunOnGuiThread([&] { setWidgetText(window, value); });
    return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
    if (!dialog) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    HWND found = CallOnGuiThread([&]() -> HWND {
        for (QWidget* child : dialog->findChildren<QWidget*>())
            if (child->property("dlgId").isValid() && child->property("dlgId").toInt() == id) return child;
        return nullptr;
    });
    if (!found) SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return found;
}

int GetDlgCtrlID(HWND control) {
    if (!control) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return CallOnGuiThread([&] { return control->property("dlgId").toInt(); });
}

void SetDlgCtrlID(HWND control, int id) {
    if (control) RunOnGuiThread([&] { control->setProperty("dlgId", id); });
}

BOOL ShowWindow(HWND window, int command) {
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return CallOnGuiThread([&]() -> BOOL {
        const BOOL wasVisible = window->isVisible();
        if (command == SW_HIDE) {
            window->hide();
        } else {
            if (command == SW_RESTORE || command == SW_SHOWNORMAL)
                window->setWindowState(window->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
            window->show();
        }
        return wasVisible;
    });
}

BOOL IsWindow(HWND window) {
    return CallOnGuiThread([&]() -> BOOL { return isLiveWidget(window); });
}

BOOL IsWindowVisible(HWND window) {
    return CallOnGuiThread([&]() -> BOOL { return isLiveWidget(window) && window->isVisible(); });
}

BOOL DestroyWindow(HWND window) {
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    RunOnGuiThread([&] {
        window->hide();
        window->deleteLater();
    });
    return TRUE;
}

HICON LoadIconW(HINSTANCE, LPCWSTR name) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(name);
    const QString key = value <= 0xFFFF ? QString::number(static_cast<unsigned>(value)) : toQ(name);
    const QString base = QStringLiteral(":/vsk/icons/") + key;
    const QString path = base + QStringLiteral(".png");
    if (!QFile::exists(path)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return CallOnGuiThread([&] {
        std::lock_guard guard(iconLock());
        std::unique_ptr<QIcon>& icon = iconCache()[path];
        if (!icon) {
            icon = std::make_unique<QIcon>(path);
            // The pictures drawn for the small sizes, "<name>-16.png" and "<name>-20.png", when there
            // are such: sharper than the large picture scaled down.
            for (const QString& size : {QStringLiteral("-16.png"), QStringLiteral("-20.png")})
                if (QFile::exists(base + size)) icon->addFile(base + size);
        }
        return reinterpret_cast<HICON>(icon.get());
    });
}

void SetWindowIcon(HWND window, HICON icon) {
    if (!window) return;
    RunOnGuiThread([&] { window->setWindowIcon(icon ? *reinterpret_cast<QIcon*>(icon) : QIcon()); });
}

// ---- Foreground window and focus
// --------------------------------------------------------------------------------

HWND GetForegroundWindow() {
    return CallOnGuiThread([] { return QApplication::activeWindow(); });
}

BOOL SetForegroundWindow(HWND window) {
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return CallOnGuiThread([&]() -> BOOL {
        QWidget* top = window->window();
        if (top->windowState() & Qt::WindowMinimized)
            top->setWindowState(top->windowState() & ~Qt::WindowMinimized);
        top->show();
        top->raise();
        top->activateWindow();
        // Activation reaches the application as a window-system event.
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        return QApplication::activeWindow() == top;
    });
}

HWND SetFocus(HWND window) {
    return CallOnGuiThread([&]() -> HWND {
        QWidget* previous = QApplication::focusWidget();
        if (window) window->setFocus(Qt::OtherFocusReason);
        return previous;
    });
}

namespace {

// Texts that Qt's Russian translation lacks: the file dialog's type column (Qt 6.4 has no entries
// for this context).
class MissingQtTexts : public QTranslator {
public:
    using QTranslator::QTranslator;
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* source, const char* disambiguation,
                      int n) const override {
        (void)disambiguation;
        (void)n;
        if (!context || !source || std::strcmp(context, "QAbstractFileIconProvider") != 0) return {};
        static const std::pair<const char*, const char16_t*> Texts[] = {
            {"Drive", u"Диск"},      {"Folder", u"Папка"},        {"Shortcut", u"Ярлык"},
            {"Alias", u"Псевдоним"}, {"Unknown", u"Неизвестный"}, {"%1 File", u"Файл %1"},
        };
        for (const auto& [english, russian] : Texts)
            if (std::strcmp(source, english) == 0) return QString::fromUtf16(russian);
        return {};
    }
};

}  // namespace

bool InstallQtTranslations() {
    auto* app = QCoreApplication::instance();
    if (!app) return false;
    // Once per application object: the translator is its child and goes with it.
    if (app->findChild<QTranslator*>(QStringLiteral("vskQtTranslations"))) return true;
    auto translator = std::make_unique<QTranslator>(app);
    translator->setObjectName(QStringLiteral("vskQtTranslations"));
    if (!translator->load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"),
                          QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    QCoreApplication::installTranslator(translator.release());
    auto missing = std::make_unique<MissingQtTexts>(app);
    QCoreApplication::installTranslator(missing.release());
    // Dates and numbers that Qt's widgets format themselves (the file dialog's dates) in Russian too.
    // Only Qt's formatting: the C library's locale stays untouched.
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    return true;
}
