// The proxy dialog: the fields and the radio buttons as the settings open it, what OK takes and
// refuses, and the login dialog that the HTTP client opens for a proxy that asks for credentials.
#include "guiTestEnvironment.h"
#include "messageRecorder.h"

#include <vsk/utils/gui.h>
#include <vsk/utils/http.h>
#include <vsk/utils/proxySettings.h>

#include <httpTestServer.h>
#include <testSupport.h>

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {

using Vsk::Utils::CProxySettings;
using Vsk::Utils::CWString;

const char16_t* const Caption = u"Настройки прокси сервера";

bool isProxyDialog(QWidget* w) {
    return w->objectName() == QStringLiteral("proxyDialog");
}
bool isLoginDialog(QWidget* w) {
    return w->objectName() == QStringLiteral("loginDialog");
}

template <class W>
W* item(QWidget* dialog, int id) {
    return qobject_cast<W*>(GetDlgItem(dialog, id));
}
QString text(QWidget* dialog, int id) {
    return item<QLineEdit>(dialog, id)->text();
}

CProxySettings settingsOf(DWORD mode) {
    CProxySettings settings;
    CProxySettings::CImpl& impl = *settings.getImpl();
    impl.m_mode = mode;
    impl.m_host = CWString(u"old.host");
    impl.m_port = mode == CProxySettings::ModeManual ? 8080 : 0;
    impl.m_login = CWString(u"иванов");
    impl.m_password = CWString(u"секрет");
    return settings;
}

TEST(ProxyDialogTest, OpensWithTheSettings) {
    struct Case {
        DWORD mode;
        int checked;  // 0: none
        bool groupEnabled;
        const char16_t* port;
    };
    const Case cases[] = {
        {CProxySettings::ModeNoProxy, 1006, false, u""},
        {CProxySettings::ModeAutomatic, 1007, false, u""},
        {CProxySettings::ModeManual, 1008, true, u"8080"},
        {3, 0, true, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        CProxySettings settings = settingsOf(c.mode);
        int checked = 0;
        bool groupEnabled = false, enabledBy1008 = false, disabledBy1006 = false;
        QString address, port, login, password;
        QList<int> order;
        GuiTest::OnModal(
            [&](QWidget* dialog) {
                GuiTest::Screenshot(dialog, "proxyDialog");
                EXPECT_EQ(dialog->windowTitle(), QString::fromUtf16(Caption));
                for (int id : {1006, 1007, 1008})
                    if (item<QRadioButton>(dialog, id)->isChecked()) checked = id;
                groupEnabled = GetDlgItem(dialog, 1017)->isEnabled();
                address = text(dialog, 1009);
                port = text(dialog, 1010);
                login = text(dialog, 1011);
                password = text(dialog, 1012);
                QWidget* w = GetDlgItem(dialog, IDOK);
                for (int i = 0; i < 9; ++i, w = w->nextInFocusChain()) {
                    while (!(w->focusPolicy() & Qt::TabFocus)) w = w->nextInFocusChain();
                    order << GetDlgCtrlID(w);
                }
                item<QRadioButton>(dialog, 1008)->click();
                enabledBy1008 = GetDlgItem(dialog, 1011)->isEnabled();
                item<QRadioButton>(dialog, 1006)->click();
                disabledBy1006 = !GetDlgItem(dialog, 1011)->isEnabled();
                item<QPushButton>(dialog, IDCANCEL)->click();
            },
            isProxyDialog);
        EXPECT_EQ(settings.ShowDialog(nullptr), IDCANCEL);
        EXPECT_EQ(checked, c.checked);
        EXPECT_EQ(groupEnabled, c.groupEnabled);
        EXPECT_EQ(address, QStringLiteral("old.host"));
        EXPECT_EQ(port, QString::fromUtf16(c.port));
        EXPECT_EQ(login, QStringLiteral("иванов"));
        EXPECT_EQ(password, QStringLiteral("секрет"));
        EXPECT_TRUE(enabledBy1008);
        EXPECT_TRUE(disabledBy1006);
        EXPECT_EQ(order, QList<int>({IDOK, IDCANCEL, 1006, 1007, 1008, 1009, 1010, 1011, 1012}));
        EXPECT_EQ(settings.get_Mode(), c.mode) << "a cancel changes nothing here";
    }
}

TEST(ProxyDialogTest, OkTakesOrRefuses) {
    struct Case {
        const char* what;
        int radio;
        const char16_t* address;
        const char16_t* port;
        const char16_t* login;
        intptr_t result;
        const char16_t* message;  // null: none
        DWORD mode;
        const char16_t* host;
        WORD portAfter;
        const char16_t* loginAfter;
        DWORD accessType;
    };
    const Case cases[] = {
        {"no proxy", 1006, u"", u"", u"", IDOK, nullptr, 1, u"old.host", 0, u"иванов", 1},
        {"automatic", 1007, u"", u"", u"", IDOK, nullptr, 2, u"old.host", 0, u"иванов", 1},
        {"manual", 1008, u" proxy.local ", u"3128", u"петров", IDOK, nullptr, 4, u"proxy.local", 3128,
         u"петров", 3},
        // Refused: the dialog stays open; what was taken before the refusal stays in the settings
        // when the dialog is then cancelled.
        {"no login", 1008, u"proxy.local", u"3128", u"  ", IDCANCEL, u"Не задан логин!", 4, u"old.host", 3128,
         u"иванов", 1},
        {"no address", 1008, u" ", u"3128", u"петров", IDCANCEL, u"Не задан адрес прокси!", 4, u"old.host",
         3128, u"петров", 1},
        {"port too large", 1008, u"proxy.local", u"70000", u"петров", IDCANCEL,
         u"Порт прокси должен быть числом от 0 до 65535!", 4, u"old.host", 0, u"иванов", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GuiTest::MessageRecorder recorder;
        CProxySettings settings = settingsOf(CProxySettings::ModeAutomatic);
        bool stayedOpen = false;
        HWND dialogSeen = nullptr;
        GuiTest::OnModal(
            [&](QWidget* dialog) {
                dialogSeen = dialog;
                item<QRadioButton>(dialog, c.radio)->click();
                item<QLineEdit>(dialog, 1009)->setText(QString::fromUtf16(c.address));
                item<QLineEdit>(dialog, 1010)->setText(QString::fromUtf16(c.port));
                item<QLineEdit>(dialog, 1011)->setText(QString::fromUtf16(c.login));
                item<QLineEdit>(dialog, 1012)->setText(QStringLiteral("новый"));
                item<QPushButton>(dialog, IDOK)->click();
                stayedOpen = dialog->isVisible();
                if (stayedOpen) item<QPushButton>(dialog, IDCANCEL)->click();
            },
            isProxyDialog);
        EXPECT_EQ(settings.ShowDialog(nullptr), c.result);
        EXPECT_EQ(stayedOpen, c.message != nullptr);
        const auto shown = recorder.shown();
        ASSERT_EQ(shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(shown[0].text, c.message);
            EXPECT_EQ(shown[0].caption, Caption);
            EXPECT_EQ(shown[0].type, MB_ICONERROR);
            EXPECT_EQ(shown[0].owner, dialogSeen);
        }
        EXPECT_EQ(settings.get_Mode(), c.mode);
        EXPECT_EQ(settings.get_Address().toU16(), c.host);
        EXPECT_EQ(settings.getImpl()->m_port, c.portAfter);
        EXPECT_EQ(settings.get_Login().toU16(), c.loginAfter);
        EXPECT_EQ(settings.getImpl()->m_accessType, c.accessType);
    }
}

TEST(ProxyDialogTest, DeadParentRaises) {
    CProxySettings settings;
    const auto error =
        VskTest::MaybeThrown([&] { settings.ShowDialog(reinterpret_cast<HWND>(uintptr_t{0x10})); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->getCode(), static_cast<int32_t>(ERROR_INVALID_WINDOW_HANDLE));
}

// A proxy that asks for credentials the settings do not have: the client's login dialog asks, owned
// by the window given; a cancel leaves the request without an answer.
TEST(ProxyDialogTest, ProxyLoginThroughTheLoginDialog) {
    auto proxy = VskTest::HttpTestServer::proxy("proxy-user", "Pr0xy-Secret");
    auto origin = VskTest::HttpTestServer::plain();
    VskTest::HttpTestResponse crl;
    crl.body = "crl";
    origin->setResponse("/ca.crl", crl);
    QWidget owner;
    for (const bool confirm : {true, false}) {
        SCOPED_TRACE(confirm);
        proxy->resetCounts();
        QString caption;
        GuiTest::OnModal(
            [&](QWidget* dialog) {
                caption = dialog->windowTitle();
                EXPECT_EQ(dialog->parentWidget(), &owner);
                item<QLineEdit>(dialog, 1004)->setText(QStringLiteral("proxy-user"));
                item<QLineEdit>(dialog, 1005)->setText(QStringLiteral("Pr0xy-Secret"));
                item<QPushButton>(dialog, confirm ? IDOK : IDCANCEL)->click();
            },
            isLoginDialog);
        CProxySettings settings;
        settings.put_Address(CWString(reinterpret_cast<const char16_t*>(
            QStringLiteral("http://%1").arg(QString::fromStdString(proxy->address())).utf16())));
        Vsk::InternalUtils::CHttp http(&settings);
        ASSERT_TRUE(http.put_Url(CWString(
            reinterpret_cast<const char16_t*>(QString::fromStdString(origin->url("/ca.crl")).utf16()))));
        EXPECT_EQ(http.SendRequest(Vsk::Utils::CDataBlob(), 1, CWString(u"VosKel"), CWString(), &owner),
                  confirm ? 200 : 0);
        EXPECT_EQ(caption, QStringLiteral("Прокси сервер требует авторизации"));
        EXPECT_EQ(proxy->requestCount(), confirm ? 2u : 1u);
        EXPECT_EQ(settings.get_Login().toU16(), confirm ? u"proxy-user" : u"");
        if (!confirm) {
            EXPECT_TRUE(
                http.format(CWString(u"\n"))
                    .getText()
                    .startsWith(CWString(u"Прокси сервер требует авторизации. Авторизация отменена")));
        }
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "the wait cursor is gone";
    }
}

}  // namespace
