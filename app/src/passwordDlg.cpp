// The password and PIN dialogs, and the provider's password prompt that shows the password dialog.
#include "kestrovanDlg.h"

#include <vsk/platform/crypt.h>
#include <vsk/utils/gui.h>
#include <vsk/utils/logScope.h>

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstring>

using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CAString;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

constexpr int IdPasswordTemplate = 191;
constexpr int IdPinTemplate = 187;
constexpr int IdKeyIcon = 171;
constexpr int IdPrompt = 1128;
constexpr int IdPasswordEdit = 1012;
constexpr int IdPinInfo = 1088;
constexpr int IdPinEdit = 1087;
constexpr int IdShowPin = 1085;

QString idName(int id) {
    return QStringLiteral("id_%1").arg(id);
}

QIcon iconOf(int id) {
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(id));
    return icon ? *reinterpret_cast<QIcon*>(icon) : QIcon();
}

constexpr Qt::WindowFlags DialogFlags =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;

// The OK and Cancel row of both dialogs.
QHBoxLayout* buttonRow(QDialog* dialog, const QString& cancelText, QPushButton*& ok, QPushButton*& cancel) {
    ok = new QPushButton(QStringLiteral("OK"), dialog);
    ok->setObjectName(idName(IDOK));
    ok->setDefault(true);
    cancel = new QPushButton(cancelText, dialog);
    cancel->setObjectName(idName(IDCANCEL));
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(ok);
    row->addWidget(cancel);
    return row;
}

// The errors of the OK handlers: under the dialog's title, a cancel (1223) not shown.
void showOkError(QDialog* dialog, const CError& error) {
    if (error.getErrorNumber() == ERROR_CANCELLED) return;
    const CWString title = fromQ(dialog->windowTitle());
    Vsk::InternalUtils::ShowError(dialog, error, title.c_str());
}

void showOkFailure(QDialog* dialog) {
    const CWString title = fromQ(dialog->windowTitle());
    MessageBoxW(dialog, u"...", title.c_str(), MB_ICONERROR);
}

void noSecretMessage(QDialog* dialog, const char16_t* text) {
    const CWString caption = fromQ(appTitle());
    MessageBoxW(dialog, reinterpret_cast<const WCHAR*>(text), caption.c_str(), MB_OK);
}

}  // namespace

void WipeLineEdit(QLineEdit* edit) {
    if (!edit) return;
    // The line edit hands out its own buffer (implicitly shared): overwrite it where it lives before
    // the edit lets it go, so that no freed memory keeps the secret.
    QString text = edit->text();
    // Static text (a literal set by code) lives in read-only memory: nothing typed to wipe there.
    if (!text.isEmpty() && text.data_ptr().isMutable()) {
        auto* characters = const_cast<QChar*>(text.constData());
        std::memset(static_cast<void*>(characters), 0, static_cast<size_t>(text.size()) * sizeof(QChar));
    }
    edit->clear();
}

// ---- The password dialog -----------------------------------------------------------------------------

CPasswordDlg::CPasswordDlg(const CWString& prompt, const CWString& title, QWidget* parent)
    : QDialog(parent, DialogFlags), m_prompt(prompt), m_title(title) {
    setObjectName(idName(IdPasswordTemplate));
    setWindowTitle(QStringLiteral(u"Пароль"));
    m_promptText = new QLabel(this);
    m_promptText->setObjectName(idName(IdPrompt));
    m_promptText->setAlignment(Qt::AlignCenter);
    m_promptText->setWordWrap(true);
    m_promptText->setMinimumHeight(2 * m_promptText->fontMetrics().lineSpacing());
    auto* label = new QLabel(QStringLiteral(u"Пароль"), this);
    m_edit = new QLineEdit(this);
    m_edit->setObjectName(idName(IdPasswordEdit));
    m_edit->setEchoMode(QLineEdit::Password);
    label->setBuddy(m_edit);
    QPushButton* ok = nullptr;
    QPushButton* cancel = nullptr;
    QHBoxLayout* buttons = buttonRow(this, QStringLiteral(u"Отмена"), ok, cancel);

    auto* field = new QHBoxLayout;
    field->addWidget(label);
    field->addWidget(m_edit, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_promptText);
    layout->addLayout(field);
    layout->addLayout(buttons);
    setMinimumWidth(360);

    connect(ok, &QPushButton::clicked, this, [this] { OnBnClickedOk(); });
    connect(cancel, &QPushButton::clicked, this, [this] { done(IDCANCEL); });
    OnInitDialog();
}

CPasswordDlg::~CPasswordDlg() {
    WipeLineEdit(m_edit);
    m_password.zeroFill();
}

BOOL CPasswordDlg::OnInitDialog() {
    CLogScope scope("CPasswordDlg::OnInitDialog", 3);
    setWindowIcon(iconOf(IdKeyIcon));
    setWindowTitle(toQ(m_title));
    m_promptText->setText(toQ(m_prompt));
    m_edit->setFocus();
    return TRUE;
}

void CPasswordDlg::OnBnClickedOk() {
    CLogScope scope("CPasswordDlg::OnBnClickedOk", 3);
    try {
        m_password.zeroFill();
        m_password = fromQ(m_edit->text());
        if (m_password.getLength() != 0) {
            done(IDOK);
            return;
        }
        noSecretMessage(this, u"Пароль не задан");
    } catch (const CError& e) {
        showOkError(this, e);
    } catch (...) {
        showOkFailure(this);
    }
}

void CPasswordDlg::done(int result) {
    // The edit's copy goes when the question is answered; a cancel leaves no password behind.
    WipeLineEdit(m_edit);
    if (result != IDOK) {
        m_password.zeroFill();
        m_password.clear();
    }
    QDialog::done(result);
}

// ---- The PIN dialog ---------------------------------------------------------------------------------

CPINDlg::CPINDlg(const CWString& info, QWidget* parent) : QDialog(parent, DialogFlags), m_info(info) {
    setObjectName(idName(IdPinTemplate));
    setWindowTitle(QStringLiteral(u"ПИН крипто токена"));
    auto* heading = new QLabel(QStringLiteral(u"Введите пользовательский ПИН крипто токена"), this);
    heading->setAlignment(Qt::AlignCenter);
    m_infoText = new QLabel(this);
    m_infoText->setObjectName(idName(IdPinInfo));
    m_infoText->setAlignment(Qt::AlignCenter);
    auto* label = new QLabel(QStringLiteral(u"ПИН"), this);
    m_edit = new QLineEdit(this);
    m_edit->setObjectName(idName(IdPinEdit));
    m_edit->setEchoMode(QLineEdit::Password);
    label->setBuddy(m_edit);
    m_showPin = new QCheckBox(QStringLiteral(u"Отобразить"), this);
    m_showPin->setObjectName(idName(IdShowPin));
    QPushButton* ok = nullptr;
    QPushButton* cancel = nullptr;
    QHBoxLayout* buttons = buttonRow(this, QStringLiteral(u"Отмена"), ok, cancel);

    auto* field = new QHBoxLayout;
    field->addWidget(label);
    field->addWidget(m_edit, 1);
    field->addWidget(m_showPin);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addWidget(m_infoText);
    layout->addLayout(field);
    layout->addLayout(buttons);
    setMinimumWidth(360);

    connect(ok, &QPushButton::clicked, this, [this] { OnBnClickedOk(); });
    connect(cancel, &QPushButton::clicked, this, [this] { done(IDCANCEL); });
    connect(m_showPin, &QCheckBox::clicked, this, [this] { OnBnClickedShowPin(); });
}

CPINDlg::~CPINDlg() {
    WipeLineEdit(m_edit);
}

int CPINDlg::exec() {
    // The PIN may be set after construction: the dialog's initialisation runs when it is shown.
    OnInitDialog();
    return QDialog::exec();
}

BOOL CPINDlg::OnInitDialog() {
    CLogScope scope("CPINDlg::OnInitDialog", 3);
    m_edit->setFocus();
    setWindowIcon(iconOf(IdKeyIcon));
    m_infoText->setText(toQ(m_info));
    CWString pin = m_pin.getPasswordWide();
    m_edit->setText(toQ(pin));
    pin.zeroFill();
    return FALSE;
}

void CPINDlg::OnBnClickedOk() {
    CLogScope scope("CPINDlg::OnBnClickedOk", 3);
    try {
        CWString text = fromQ(m_edit->text());
        m_pin.putPassword(text);  // wipes the text
        if (m_pin.hasPassword()) {
            done(IDOK);
            return;
        }
        noSecretMessage(this, u"ПИН код не задан");
    } catch (const CError& e) {
        showOkError(this, e);
    } catch (...) {
        showOkFailure(this);
    }
}

void CPINDlg::OnBnClickedShowPin() {
    m_edit->setEchoMode(m_showPin->isChecked() ? QLineEdit::Normal : QLineEdit::Password);
    m_edit->update();
}

void CPINDlg::done(int result) {
    WipeLineEdit(m_edit);
    QDialog::done(result);
}

// ---- The provider's prompt ----------------------------------------------------------------------------

BOOL AskContainerPassword(LPCWSTR container, uintptr_t parent, char* password, DWORD capacity) {
    CLogScope scope("AskContainerPassword", 3);
    if (!password || capacity == 0) return FALSE;
    const CWString name(container ? container : u"");
    // A C callback of the provider: nothing may escape it.
    try {
        return CallOnGuiThread([&]() -> BOOL {
            // The provider's window only while it still exists; else the active window.
            QWidget* owner = nullptr;
            if (parent) {
                for (QWidget* widget : QApplication::allWidgets())
                    if (reinterpret_cast<uintptr_t>(widget) == parent) owner = widget;
            }
            if (!owner) owner = QApplication::activeWindow();
            CWString prompt(u"Введите пароль на ключевой контейнер \"");
            prompt += name;
            prompt += u"\"";
            CPasswordDlg dialog(prompt, CWString(u"Кестрован"), owner);
            if (dialog.exec() != IDOK) return FALSE;
            // Through the protected password into code page 1251; every copy is wiped.
            Vsk::PKI::CPassword protectedText;
            protectedText.putPassword(dialog.m_password);
            CAString text = protectedText.getPassword();
            const DWORD length = text.getLength();
            const bool fits = length < capacity;
            if (fits) {
                std::memcpy(password, text.c_str(), length);
                password[length] = '\0';
            }
            text.zeroFill();
            return fits ? TRUE : FALSE;
        });
    } catch (...) {
        return FALSE;
    }
}
