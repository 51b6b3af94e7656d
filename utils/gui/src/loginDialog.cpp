// The login dialog of the HTTP client (template 102): user name and password.
#include "dialogs.h"

#include <vsk/utils/gui.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

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
        applyTemplateFont(this);
        setFixedSize(dluX(195), dluY(67));
        // The labels may use the room up to the edits: desktop fonts run wider than the shell font
        // the template was measured with.
        const int labelWidth = dluX(80) - dluX(7) - 2;
        placeControl(new QLabel(QStringLiteral("Имя пользователя"), this), 0,
                     QRect(dluX(7), dluY(9) - 1, labelWidth, dluY(8) + 2));
        m_userEdit = placeControl(new QLineEdit(this), IdUser, dluRect(80, 7, 108, 12));
        placeControl(new QLabel(QStringLiteral("Пароль"), this), 0,
                     QRect(dluX(7), dluY(27) - 1, labelWidth, dluY(8) + 2));
        m_passwordEdit = placeControl(new QLineEdit(this), IdPassword, dluRect(80, 25, 108, 12));
        auto* ok = placeControl(new QPushButton(QStringLiteral("ОК"), this), IDOK, dluRect(44, 46, 50, 14));
        auto* cancel =
            placeControl(new QPushButton(QStringLiteral("Отмена"), this), IDCANCEL, dluRect(100, 46, 50, 14));
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
                    CError(m_caption + u". Авторизация отменена пользователем.", static_cast<DWORD>(-1)));
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
    try {
        CLib templates(u"VskTspClient.dll");
        LoadDialogTemplateModule(templates);
        if (!canCreateDialog(parent)) {
            if (formatter) formatter->push(CError("DialogBoxParam", static_cast<DWORD>(-1)));
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
        return result == 1;
    } catch (const CError& error) {
        if (formatter) formatter->push(error);
    } catch (...) {
        if (formatter) formatter->push(CError("...", static_cast<DWORD>(-1)));
    }
    return false;
}

}  // namespace Vsk::InternalUtils
