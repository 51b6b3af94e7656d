// The login dialog of the HTTP client (template 102): user name and password.
#include "dialogs.h"

#include <vsk/utils/gui.h>

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace Vsk::InternalUtils {

using Utils::CError;
using Utils::CErrorFormatter;
using Utils::CWString;

namespace {

using namespace Dialogs;

constexpr int IdUser = 1004;
constexpr int IdPassword = 1005;

class CLoginDialog : public QDialog {
public:
    CLoginDialog(CErrorFormatter* formatter, const CWString& caption, CWString& user, CWString& password,
                 HWND parent)
        : QDialog(parent,
                  Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
          m_formatter(formatter),
          m_caption(caption),
          m_user(user),
          m_password(password) {
        setObjectName(QStringLiteral("loginDialog"));
        // Qt's layouts keep the template's arrangement (labels left of their edits, the buttons
        // centred below) with the system's font at any scale: a label never reaches its edit.
        auto* userLabel = new QLabel(QStringLiteral("Имя пользователя"), this);
        m_userEdit = new QLineEdit(this);
        SetDlgCtrlID(m_userEdit, IdUser);
        auto* passwordLabel = new QLabel(QStringLiteral("Пароль"), this);
        m_passwordEdit = new QLineEdit(this);
        SetDlgCtrlID(m_passwordEdit, IdPassword);
        auto* ok = new QPushButton(QStringLiteral("ОК"), this);
        SetDlgCtrlID(ok, IDOK);
        auto* cancel = new QPushButton(QStringLiteral("Отмена"), this);
        SetDlgCtrlID(cancel, IDCANCEL);
        userLabel->setBuddy(m_userEdit);
        passwordLabel->setBuddy(m_passwordEdit);
        m_userEdit->setMinimumWidth(dluX(108));
        m_passwordEdit->setMinimumWidth(dluX(108));
        ok->setMinimumWidth(dluX(50));
        cancel->setMinimumWidth(dluX(50));
        auto* fields = new QGridLayout;
        fields->setHorizontalSpacing(dluX(7));
        fields->addWidget(userLabel, 0, 0);
        fields->addWidget(m_userEdit, 0, 1);
        fields->addWidget(passwordLabel, 1, 0);
        fields->addWidget(m_passwordEdit, 1, 1);
        fields->setColumnStretch(1, 1);
        auto* buttons = new QHBoxLayout;
        buttons->addStretch(1);
        buttons->addWidget(ok);
        buttons->addWidget(cancel);
        buttons->addStretch(1);
        auto* layout = new QVBoxLayout(this);
        layout->addLayout(fields);
        layout->addSpacing(dluY(4));
        layout->addLayout(buttons);
        // A modal frame: at least the template's size, not resizable.
        setFixedSize(layout->sizeHint().expandedTo(QSize(dluX(195), dluY(67))));
        m_passwordEdit->setEchoMode(QLineEdit::Password);
        ok->setDefault(true);
        setTabOrder(m_userEdit, m_passwordEdit);
        setTabOrder(m_passwordEdit, ok);
        setTabOrder(ok, cancel);
        connect(ok, &QPushButton::clicked, this, [this] { accept(); });
        connect(cancel, &QPushButton::clicked, this, [this] { reject(); });

        setWindowTitle(toQ(caption));
        m_userEdit->setText(toQ(user));
        m_passwordEdit->setText(toQ(password));
        m_userEdit->setFocus();
    }

    ~CLoginDialog() override {
        // The password leaves no copy in the control.
        m_passwordEdit->clear();
    }

protected:
    void accept() override {
        m_user = fromQ(m_userEdit->text());
        m_password = fromQ(m_passwordEdit->text());
        if (m_user.getLength() == 0 && m_password.getLength() != 0) {
            MessageBoxW(this, u"Имя пользователя не может быть пустым.", m_caption.c_str(), MB_ICONERROR);
            return;
        }
        done(1);
    }

    void reject() override {
        // Errors must not leave a Qt handler.
        try {
            if (m_formatter)
                m_formatter->push(
                    CError(m_caption + u". Авторизация отменена пользователем.", Vsk::Utils::LastErrorCode));
        } catch (const CError&) {
        }
        done(0);
    }

private:
    CErrorFormatter* m_formatter;
    const CWString& m_caption;
    CWString& m_user;
    CWString& m_password;
    QLineEdit* m_userEdit;
    QLineEdit* m_passwordEdit;
};

}  // namespace

bool ShowLoginDialog(CErrorFormatter* formatter, const CWString& caption, CWString& user, CWString& password,
                     HWND parent) {
    // A confirmation keeps the caller's last error; a failure or cancel leaves its own.
    Dialogs::CKeepLastError keep;
    try {
        CLib templates(u"VskTspClient.dll");
        LoadDialogTemplateModule(templates);
        if (!canCreateDialog(parent)) {
            if (formatter) formatter->push(CError("DialogBoxParam", Vsk::Utils::LastErrorCode));
            keep.release();
            return false;
        }
        int result = 0;
        RunOnGuiThread([&] {
            // A user name on entry means that it did not work last time.
            if (user.getLength() != 0)
                MessageBoxW(nullptr, u"Введеные логин и пароль не подходят.", caption.c_str(), MB_ICONERROR);
            CLoginDialog dialog(formatter, caption, user, password, parent);
            result = dialog.exec();
        });
        if (result != 1) keep.release();
        return result == 1;
    } catch (const CError& error) {
        if (formatter) formatter->push(error);
    } catch (...) {
        if (formatter) formatter->push(CError("...", Vsk::Utils::LastErrorCode));
    }
    keep.release();
    return false;
}

}  // namespace Vsk::InternalUtils
