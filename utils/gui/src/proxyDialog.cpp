// The proxy settings dialog (template 103), and the windows the HTTP client opens: the login dialog
// for a server or proxy that asks for credentials, and the wait cursor while a request is sent.
#include "dialogs.h"

#include <vsk/utils/gui.h>
#include <vsk/utils/progressDialog.h>
#include <vsk/utils/http.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/proxySettings.h>

#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

namespace Vsk::Utils {

namespace {

using namespace InternalUtils::Dialogs;

constexpr int IdNoProxy = 1006;
constexpr int IdAutomatic = 1007;
constexpr int IdManual = 1008;
constexpr int IdAddress = 1009;
constexpr int IdPort = 1010;
constexpr int IdLogin = 1011;
constexpr int IdPassword = 1012;
constexpr int IdAddressLabel = 1013;
constexpr int IdPortLabel = 1014;
constexpr int IdLoginLabel = 1015;
constexpr int IdPasswordLabel = 1016;
constexpr int IdManualGroup = 1017;

const WCHAR* const Caption = u"Настройки прокси сервера";
// A port is a 16-bit number: a larger one typed in is refused, not cut.
constexpr unsigned MaxPort = 65535;

class CProxyDialog : public QDialog {
public:
    CProxyDialog(CProxySettings::CImpl& settings, HWND parent)
        : QDialog(parent,
                  Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
          m_settings(settings) {
        setObjectName(QStringLiteral("proxyDialog"));
        auto* ok = new QPushButton(QStringLiteral("OK"), this);
        SetDlgCtrlID(ok, IDOK);
        auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
        SetDlgCtrlID(cancel, IDCANCEL);
        m_noProxy = radio(u"Не использовать прокси", IdNoProxy);
        m_automatic = radio(u"Использовать системные настройки", IdAutomatic);
        m_manual = radio(u"Ручная настройка параметров прокси", IdManual);
        m_group = new QGroupBox(this);
        SetDlgCtrlID(m_group, IdManualGroup);
        m_address = edit(IdAddress, 188);
        m_port = edit(IdPort, 57);
        m_port->setValidator(
            new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_port));
        m_login = edit(IdLogin, 188);
        m_password = edit(IdPassword, 188);
        m_password->setEchoMode(QLineEdit::Password);

        // Qt's layouts keep the template's arrangement (the radio buttons above the manual group,
        // its labels right-aligned left of their fields, the buttons at the bottom right) with the
        // system's font at any scale.
        auto* fields = new QGridLayout(m_group);
        fields->setHorizontalSpacing(dluX(10));
        const std::pair<const char16_t*, int> labels[] = {{u"Адрес", IdAddressLabel},
                                                          {u"Порт", IdPortLabel},
                                                          {u"Логин", IdLoginLabel},
                                                          {u"Пароль", IdPasswordLabel}};
        QLineEdit* const edits[] = {m_address, m_port, m_login, m_password};
        for (int row = 0; row < 4; ++row) {
            auto* label = new QLabel(QString::fromUtf16(labels[row].first), m_group);
            SetDlgCtrlID(label, labels[row].second);
            label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            label->setMinimumWidth(dluX(29));
            label->setBuddy(edits[row]);
            fields->addWidget(label, row, 0);
            fields->addWidget(edits[row], row, 1, Qt::AlignLeft);
        }
        fields->setColumnStretch(1, 1);
        auto* indented = new QHBoxLayout;
        indented->addSpacing(dluX(10));
        indented->addWidget(m_group, 1);
        auto* buttons = new QHBoxLayout;
        buttons->addStretch(1);
        ok->setMinimumWidth(dluX(50));
        cancel->setMinimumWidth(dluX(50));
        buttons->addWidget(ok);
        buttons->addSpacing(dluX(11));
        buttons->addWidget(cancel);
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(m_noProxy);
        layout->addWidget(m_automatic);
        layout->addWidget(m_manual);
        layout->addLayout(indented);
        layout->addSpacing(dluY(4));
        layout->addLayout(buttons);
        // A modal frame: at least the template's size, not resizable.
        setFixedSize(layout->sizeHint().expandedTo(QSize(dluX(280), dluY(163))));
        ok->setDefault(true);
        setTabOrder(ok, cancel);
        setTabOrder(cancel, m_noProxy);
        setTabOrder(m_noProxy, m_automatic);
        setTabOrder(m_automatic, m_manual);
        setTabOrder(m_manual, m_address);
        setTabOrder(m_address, m_port);
        setTabOrder(m_port, m_login);
        setTabOrder(m_login, m_password);
        connect(ok, &QPushButton::clicked, this, [this] { accept(); });
        connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
        connect(m_noProxy, &QRadioButton::clicked, this, [this] { m_group->setEnabled(false); });
        connect(m_automatic, &QRadioButton::clicked, this, [this] { m_group->setEnabled(false); });
        connect(m_manual, &QRadioButton::clicked, this, [this] { m_group->setEnabled(true); });

        setWindowTitle(toQ(Caption));
        switch (m_settings.m_mode) {
            case CProxySettings::ModeNoProxy:
                m_noProxy->setChecked(true);
                m_group->setEnabled(false);
                break;
            case CProxySettings::ModeAutomatic:
                m_automatic->setChecked(true);
                m_group->setEnabled(false);
                break;
            case CProxySettings::ModeManual:
                m_manual->setChecked(true);
                m_group->setEnabled(true);
                break;
            default:
                break;
        }
        m_address->setText(toQ(m_settings.m_host));
        if (m_settings.m_port != 0) m_port->setText(QString::number(m_settings.m_port));
        m_login->setText(toQ(m_settings.m_login));
        m_password->setText(toQ(m_settings.m_password));
    }

    ~CProxyDialog() override {
        // The password leaves no copy in the control.
        m_password->clear();
    }

protected:
    void accept() override {
        // Errors must not leave a Qt handler.
        try {
            if (m_noProxy->isChecked()) {
                m_settings.setNoProxy();
                done(IDOK);
                return;
            }
            if (m_automatic->isChecked()) {
                m_settings.setAutoProxy();
                done(IDOK);
                return;
            }
            // The manual proxy; the object is edited as the checks pass, so what came before a
            // refusal stays.
            m_settings.m_mode = CProxySettings::ModeManual;
            bool isNumber = true;
            const QString portText = m_port->text();
            const unsigned port = portText.isEmpty() ? 0 : portText.toUInt(&isNumber);
            if (!isNumber || port > MaxPort) {
                refuse(u"Порт прокси должен быть числом от 0 до 65535!", m_port);
                return;
            }
            m_settings.m_port = static_cast<WORD>(port);
            if (m_login->text().trimmed().isEmpty()) {
                refuse(u"Не задан логин!", m_login);
                return;
            }
            m_settings.m_login = fromQ(m_login->text());
            m_settings.m_password = fromQ(m_password->text());
            const QString address = m_address->text().trimmed();
            if (address.isEmpty()) {
                refuse(u"Не задан адрес прокси!", m_address);
                return;
            }
            m_settings.setProxy(fromQ(address));
            done(IDOK);
        } catch (const CError& error) {
            InternalUtils::ShowError(this, error, Caption);
        }
    }

    void reject() override { done(IDCANCEL); }

private:
    QRadioButton* radio(const char16_t* text, int id) {
        auto* button = new QRadioButton(QString::fromUtf16(text), this);
        SetDlgCtrlID(button, id);
        return button;
    }
    QLineEdit* edit(int id, int widthDlu) {
        auto* field = new QLineEdit(this);
        SetDlgCtrlID(field, id);
        field->setMinimumWidth(dluX(widthDlu));
        if (widthDlu < 100) field->setMaximumWidth(dluX(widthDlu));
        return field;
    }
    void refuse(const WCHAR* text, QLineEdit* field) {
        MessageBoxW(this, text, Caption, MB_ICONERROR);
        field->setFocus();
    }

    CProxySettings::CImpl& m_settings;
    QRadioButton* m_noProxy;
    QRadioButton* m_automatic;
    QRadioButton* m_manual;
    QGroupBox* m_group;
    QLineEdit* m_address;
    QLineEdit* m_port;
    QLineEdit* m_login;
    QLineEdit* m_password;
};

}  // namespace

intptr_t CProxySettings::ShowDialog(HWND parent) {
    CImpl& settings = *getImpl();
    InternalUtils::CLogScope scope("Vsk::Utils::CProxySettings::ShowDialog", 3);
    InternalUtils::CLib templates(u"VskTspClient.dll");
    InternalUtils::LoadDialogTemplateModule(templates);
    if (!InternalUtils::Dialogs::canCreateDialog(parent)) throw CError();
    intptr_t result = 0;
    RunOnGuiThread([&] {
        CProxyDialog dialog(settings, parent);
        result = dialog.exec();
    });
    if (scope.isEntered()) scope.m_result = ToWString(static_cast<int64_t>(result));
    return result;
}

}  // namespace Vsk::Utils

namespace {

// The wait cursor belongs to the GUI thread; requests sent by workers leave it alone.
void httpWaitCursor(bool wait) {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()) || !IsGuiThread()) return;
    if (wait)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QGuiApplication::restoreOverrideCursor();
}

// A body read with the library's progress dialog, which lives on this stack while the body comes.
Vsk::Utils::CDataBlob httpDownloadProgress(Vsk::InternalUtils::CHttp& http, HWND parent) {
    Vsk::InternalUtils::CProgress progress(parent);
    return http.Download(&progress);
}

bool registerHttpWindows() {
    Vsk::InternalUtils::SetHttpLoginDialog(&Vsk::InternalUtils::ShowLoginDialog);
    Vsk::InternalUtils::SetHttpWaitCursor(&httpWaitCursor);
    Vsk::InternalUtils::SetHttpDownloadProgress(&httpDownloadProgress);
    return true;
}

}  // namespace

// Kept by the linker (see CMakeLists.txt), so that every program with the library's windows gives
// them to the HTTP client.
extern "C" {
extern const bool VskHttpWindows;
const bool VskHttpWindows = registerHttpWindows();
}
