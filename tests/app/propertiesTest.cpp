// The password and PIN dialogs, the provider's password prompt, the properties of the list's rows and
// the installation of a certificate's CRL from a local HTTP server.
#include "commandFixtures.h"
#include "httpTestServer.h"
#include "propertiesFixtures.h"

#include <vsk/pki/OidNames.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/base64.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>

#include <atomic>
#include <cstring>
#include <thread>

using namespace AppTest;
using namespace PropertiesFixtures;

namespace {

template <class T>
T* child(QWidget* dialog, int id) {
    return dialog->findChild<T*>(QStringLiteral("id_%1").arg(id));
}

void click(QWidget* dialog, int id) {
    QPushButton* button = child<QPushButton>(dialog, id);
    ASSERT_NE(button, nullptr) << id;
    button->click();
}

class PropertiesTest : public ::testing::Test {
protected:
    FreshRoot m_root;
    MessageRecorder m_messages;
};

// ---- Password dialog ------------------------------------------------------------------------------------

TEST_F(PropertiesTest, PasswordDialogAsksAgainForAnEmptyPasswordAndWipesItsEdit) {
    CPasswordDlg dialog(Vsk::Utils::CWString(u"Введите пароль"), Vsk::Utils::CWString(u"Кестрован"), nullptr);
    EXPECT_EQ(dialog.objectName(), QStringLiteral("id_191"));
    EXPECT_EQ(dialog.windowTitle(), Text(u"Кестрован"));
    ASSERT_NE(child<QLabel>(&dialog, 1128), nullptr);
    EXPECT_EQ(child<QLabel>(&dialog, 1128)->text(), Text(u"Введите пароль"));
    QLineEdit* edit = child<QLineEdit>(&dialog, 1012);
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->echoMode(), QLineEdit::Password);

    int step = 0;
    QString editAfter = QStringLiteral("unset");
    const int result = WithModalDialogs([&] { dialog.exec(); },
                                        [&](QWidget* shown) {
                                            if (shown != &dialog) return;
                                            if (step == 0) {
                                                click(&dialog, IDOK);  // empty: asked again
                                                EXPECT_TRUE(dialog.isVisible());
                                                edit->setText(Text(u"секрет"));
                                                step = 1;
                                            } else if (step == 1) {
                                                click(&dialog, IDOK);
                                                editAfter = edit->text();
                                                step = 2;
                                            }
                                        });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(dialog.result(), IDOK);
    EXPECT_EQ(dialog.m_password.toU16(), u"секрет");
    EXPECT_TRUE(editAfter.isEmpty());
    const std::vector<Message> messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, u"Пароль не задан");
    EXPECT_EQ(messages[0].caption, appTitle().toStdU16String());
    EXPECT_EQ(messages[0].type, MB_OK);
}

TEST_F(PropertiesTest, PasswordDialogCancelLeavesNoPassword) {
    CPasswordDlg dialog(Vsk::Utils::CWString(u"p"), Vsk::Utils::CWString(u"t"), nullptr);
    QLineEdit* edit = child<QLineEdit>(&dialog, 1012);
    WithModalDialogs([&] { dialog.exec(); },
                     [&](QWidget* shown) {
                         if (shown != &dialog) return;
                         edit->setText(QStringLiteral("typed"));
                         click(&dialog, IDCANCEL);
                     });
    EXPECT_EQ(dialog.result(), IDCANCEL);
    EXPECT_EQ(dialog.m_password.getLength(), 0u);
    EXPECT_TRUE(edit->text().isEmpty());
    EXPECT_TRUE(m_messages.messages().empty());
}

// The edit's text is overwritten where it lives: a copy that shares it sees zeros.
TEST_F(PropertiesTest, WipingAnEditOverwritesItsBuffer) {
    QLineEdit edit;
    edit.setText(QString::fromLatin1("secret"));
    const QString shared = edit.text();
    WipeLineEdit(&edit);
    EXPECT_TRUE(edit.text().isEmpty());
    EXPECT_EQ(shared, QString(6, QChar(0)));
}

// ---- PIN dialog -----------------------------------------------------------------------------------------

TEST_F(PropertiesTest, PinDialogPreloadsTogglesEchoAndAsksAgainForAnEmptyPin) {
    CPINDlg dialog(Vsk::Utils::CWString(u"\"Токен 1\""), nullptr);
    Vsk::Utils::CWString initial(u"1234");
    dialog.m_pin.putPassword(initial);
    EXPECT_EQ(dialog.objectName(), QStringLiteral("id_187"));
    EXPECT_EQ(dialog.windowTitle(), Text(u"ПИН крипто токена"));
    QLineEdit* edit = child<QLineEdit>(&dialog, 1087);
    QCheckBox* show = child<QCheckBox>(&dialog, 1085);
    ASSERT_TRUE(edit && show);
    EXPECT_EQ(show->text(), Text(u"Отобразить"));

    struct Seen {
        QString info, preloaded;
        QLineEdit::EchoMode first, checked, unchecked;
        bool focus = false;
    } seen{};
    int step = 0;
    WithModalDialogs([&] { dialog.exec(); },
                     [&](QWidget* shown) {
                         if (shown != &dialog || step > 1) return;
                         if (step == 0) {
                             seen.info = child<QLabel>(&dialog, 1088)->text();
                             seen.preloaded = edit->text();
                             seen.first = edit->echoMode();
                             seen.focus = edit->hasFocus() || dialog.focusWidget() == edit;
                             show->click();
                             seen.checked = edit->echoMode();
                             show->click();
                             seen.unchecked = edit->echoMode();
                             edit->clear();
                             click(&dialog, IDOK);  // empty: asked again
                             EXPECT_TRUE(dialog.isVisible());
                             edit->setText(QStringLiteral("98765"));
                             step = 1;
                         } else {
                             click(&dialog, IDOK);
                             step = 2;
                         }
                     });
    EXPECT_EQ(seen.info, Text(u"\"Токен 1\""));
    EXPECT_EQ(seen.preloaded, QStringLiteral("1234"));
    EXPECT_EQ(seen.first, QLineEdit::Password);
    EXPECT_EQ(seen.checked, QLineEdit::Normal);
    EXPECT_EQ(seen.unchecked, QLineEdit::Password);
    EXPECT_TRUE(seen.focus);
    EXPECT_EQ(dialog.result(), IDOK);
    EXPECT_EQ(dialog.m_pin.getPasswordWide().toU16(), u"98765");
    EXPECT_TRUE(dialog.m_pin.isProtected() || dialog.m_pin.hasPassword());
    EXPECT_TRUE(edit->text().isEmpty());
    const std::vector<Message> messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, u"ПИН код не задан");
    EXPECT_EQ(messages[0].caption, appTitle().toStdU16String());
    EXPECT_EQ(messages[0].type, MB_OK);
}

TEST_F(PropertiesTest, PinDialogCancelKeepsThePin) {
    CPINDlg dialog(Vsk::Utils::CWString(u"x"), nullptr);
    Vsk::Utils::CWString initial(u"1111");
    dialog.m_pin.putPassword(initial);
    WithModalDialogs([&] { dialog.exec(); },
                     [&](QWidget* shown) {
                         if (shown != &dialog) return;
                         child<QLineEdit>(&dialog, 1087)->setText(QStringLiteral("2222"));
                         click(&dialog, IDCANCEL);
                     });
    EXPECT_EQ(dialog.result(), IDCANCEL);
    EXPECT_EQ(dialog.m_pin.getPasswordWide().toU16(), u"1111");
    EXPECT_TRUE(m_messages.messages().empty());
}

// ---- The provider's prompt --------------------------------------------------------------------------

// Asked from a worker, the prompt shows the password dialog on the GUI thread and hands back the text
// in code page 1251; a cancel answers FALSE.
TEST_F(PropertiesTest, ProviderPromptFromAWorkerShowsThePasswordDialog) {
    const struct {
        bool ok;
        BOOL expected;
    } rows[] = {{true, TRUE}, {false, FALSE}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.ok);
        char buffer[64];
        std::memset(buffer, 'x', sizeof buffer);
        std::atomic<int> answer{-1};
        std::thread worker([&] { answer = AskContainerPassword(u"cont-1", 0, buffer, sizeof buffer); });
        QString prompt, title;
        WithModalDialogs([&] { (void)QTest::qWaitFor([&] { return answer.load() >= 0; }, 10000); },
                         [&](QWidget* dialog) {
                             if (dialog->objectName() != QStringLiteral("id_191")) return;
                             prompt = child<QLabel>(dialog, 1128)->text();
                             title = dialog->windowTitle();
                             child<QLineEdit>(dialog, 1012)->setText(Text(u"пароль"));
                             click(dialog, row.ok ? IDOK : IDCANCEL);
                         });
        worker.join();
        EXPECT_EQ(answer.load(), row.expected);
        EXPECT_EQ(prompt, Text(u"Введите пароль на ключевой контейнер \"cont-1\""));
        EXPECT_EQ(title, Text(u"Кестрован"));
        if (row.ok) {
            EXPECT_STREQ(buffer, "\xEF\xE0\xF0\xEE\xEB\xFC");  // "пароль" in code page 1251
        }
    }
}

// ---- Properties -----------------------------------------------------------------------------------------

class PropertiesWindowTest : public PropertiesTest {
protected:
    void SetUp() override {
        m_window = ShowWindow();
        ASSERT_TRUE(WaitForInit(*m_window));
        m_messages.clear();
    }
    void TearDown() override { m_window.reset(); }

    // Runs the command and gives back the object names and titles of the dialogs it opened (closed).
    QStringList dialogsOf(const std::function<void()>& action) {
        QStringList names;
        WithModalDialogs(action, [&](QWidget* dialog) {
            names << dialog->objectName() + QLatin1Char('|') + dialog->windowTitle();
            dialog->close();
        });
        return names;
    }

    // The row alone selected and current. (The current row is set without touching the selection:
    // a modifier key left down by an earlier test would toggle it.)
    void selectRow(int index) {
        m_window->list()->clearSelection();
        m_window->list()->setCurrentItem(m_window->listItem(index), 0, QItemSelectionModel::NoUpdate);
        m_window->listItem(index)->setSelected(true);
    }

    std::unique_ptr<CKestrovanDlg> m_window;
};

TEST_F(PropertiesWindowTest, CertificateAndCrlViewersByCommandAndDoubleClick) {
    const Vsk::PKI::CCertificate certificate = CommandFixtures::selfSigned("props-cert", false);
    CommandFixtures::showCertificates(*m_window, reinterpret_cast<NodeId>(StoreAddressBook), {certificate});
    // Nothing selected: nothing happens.
    EXPECT_TRUE(dialogsOf([&] { m_window->runCommand(CMD_PROPERTIES); }).isEmpty());
    selectRow(0);
    const QStringList byCommand = dialogsOf([&] { m_window->runCommand(CMD_PROPERTIES); });
    ASSERT_EQ(byCommand.size(), 1)
        << (m_messages.count() ? QString::fromStdU16String(m_messages.messages()[0].text).toStdString()
                               : std::string("no message"));
    EXPECT_TRUE(byCommand[0].startsWith(QStringLiteral("certificateViewer|")));
    const QStringList byClick = dialogsOf([&] { m_window->OnNMDblclkListCert(); });
    ASSERT_EQ(byClick.size(), 1);
    EXPECT_TRUE(byClick[0].startsWith(QStringLiteral("certificateViewer|")));

    // A CRL: its viewer; an empty CRL handle: the error under each handler's caption.
    Authority authority("props-crl-ca");
    const std::string der = authority.crl();
    CommandFixtures::showCrls(*m_window, 2);
    m_window->m_crlList.front().LoadFromBlob(
        Vsk::Utils::CDataBlob(reinterpret_cast<const BYTE*>(der.data()), der.size(), true).clone());
    m_window->m_crlList.back() = Vsk::PKI::CCrl(false);
    selectRow(0);
    const QStringList crl = dialogsOf([&] { m_window->runCommand(CMD_PROPERTIES); });
    ASSERT_EQ(crl.size(), 1);
    EXPECT_TRUE(crl[0].startsWith(QStringLiteral("crlViewer|")));
    EXPECT_TRUE(m_messages.messages().empty());

    selectRow(1);
    EXPECT_TRUE(dialogsOf([&] { m_window->runCommand(CMD_PROPERTIES); }).isEmpty());
    EXPECT_TRUE(dialogsOf([&] { m_window->OnNMDblclkListCert(); }).isEmpty());
    const std::vector<Message> messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].caption, u"Свойства");
    EXPECT_EQ(messages[1].caption, u"Получение свойств");
    for (const Message& message : messages) {
        EXPECT_EQ(message.type, MB_ICONERROR);
        EXPECT_FALSE(message.text.empty());
    }
}

// The rows of a container's property list, with and without a certificate.
TEST_F(PropertiesWindowTest, KeyContainerPropertyRows) {
    const Vsk::PKI::CCertificate certificate = CommandFixtures::makeContainer("props-with", true);
    CommandFixtures::makeContainer("props-without", false);
    const Vsk::PKI::CKeyContainer with = CommandFixtures::findContainer("props-with");
    const Vsk::PKI::CKeyContainer without = CommandFixtures::findContainer("props-without");
    ASSERT_FALSE(with.isNull() || without.isNull() || certificate.isNull());
    CommandFixtures::showContainers(*m_window, {with, without});

    for (int index = 0; index < 2; ++index) {
        SCOPED_TRACE(index);
        selectRow(index);
        QStringList names, values;
        QString title;
        int certificateButtons = 0;
        WithModalDialogs([&] { m_window->runCommand(CMD_PROPERTIES); },
                         [&](QWidget* dialog) {
                             if (dialog->objectName() != QStringLiteral("listDialog")) return;
                             title = dialog->windowTitle();
                             auto* list = dialog->findChild<QTreeWidget*>();
                             for (int row = 0; list && row < list->topLevelItemCount(); ++row) {
                                 names << list->topLevelItem(row)->text(0);
                                 values << list->topLevelItem(row)->text(1);
                             }
                             for (QPushButton* button : dialog->findChildren<QPushButton*>())
                                 if (button->text().contains(Text(u"Сертификат"))) ++certificateButtons;
                             dialog->close();
                         });
        EXPECT_EQ(title, Text(u"Свойства ключевого контейнера"));
        const Vsk::PKI::CKeyContainer& container = index == 0 ? with : without;
        ASSERT_EQ(names.size(), index == 0 ? 9 : 8) << names.join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(names[0], Text(u"Наименование контейнера"));
        EXPECT_EQ(values[0], toQ(container.get_Name()));
        EXPECT_EQ(names[1], Text(u"Уникальное наименование"));
        EXPECT_EQ(values[1], toQ(container.get_UniqueName()));
        EXPECT_EQ(names[2], Text(u"Назначение ключей"));
        EXPECT_EQ(values[2], Text(u"подпись и шифрование"));
        EXPECT_EQ(names[3], Text(u"Алгоритм ключей"));
        // The OID of the key's algorithm with its name; empty when the algorithm has no OID.
        const Vsk::Utils::CAString oid = Vsk::PKI::AlgIdToOID(container.get_KeyAID());
        const QString expected = oid.getLength() == 0
                                     ? QString()
                                     : QString::fromLatin1(oid.c_str()) + QStringLiteral(" (") +
                                           toQ(Vsk::PKI::NameFromOID(oid)) + QLatin1Char(')');
        EXPECT_EQ(values[3], expected);
        EXPECT_EQ(names[4], Text(u"Длина ключа (бит)"));
        EXPECT_EQ(values[4], QStringLiteral("512"));
        EXPECT_EQ(names[5], Text(u"Экспортируемость"));
        EXPECT_EQ(values[5], Text(u"Да"));
        const Vsk::Utils::CDataBlob key = container.get_PublicKey();
        EXPECT_EQ(names[6], Text(u"Публичный ключ (%1 байт, x16)").arg(key.getSize()));
        EXPECT_EQ(values[6], QString::fromLatin1(key.toHex(" ").c_str()));
        const Vsk::Utils::CDataBlob wrapped = container.get_PublicKeyWrap();
        EXPECT_EQ(names[7], Text(u"Публичный ключ с параметрами (%1 байт, base64)").arg(wrapped.getSize()));
        EXPECT_EQ(values[7], toQ(Vsk::Utils::Base64EncW(wrapped, Vsk::Utils::Base64NoLineBreaks)));
        EXPECT_FALSE(values[7].contains(QLatin1Char('\n')));
        if (index == 0) {
            EXPECT_EQ(names[8], Text(u"Срок действия сертификата"));
            EXPECT_TRUE(
                QRegularExpression(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} - \\d\\d\\.\\d\\d\\.\\d{4}$"))
                    .match(values[8])
                    .hasMatch())
                << values[8].toStdString();
        }
        EXPECT_GE(certificateButtons, index == 0 ? 1 : 0);
    }
    EXPECT_TRUE(m_messages.messages().empty());
}

// A provider that wants the PIN: the password dialog is asked until the right PIN (as often as the
// user answers OK); a cancel leaves the error as the row "Публичный ключ" after the fixed rows.
TEST_F(PropertiesWindowTest, KeyContainerPinRetry) {
    CommandFixtures::makeContainer("props-pin", false);
    const Vsk::PKI::CKeyContainer container = CommandFixtures::findContainer("props-pin");
    ASSERT_FALSE(container.isNull());
    const Vsk::Utils::CDataBlob key(reinterpret_cast<const BYTE*>("\x01\xAB"), 2u, true);
    const Vsk::Utils::CDataBlob wrapped(reinterpret_cast<const BYTE*>("\x06\x02\x00"), 3u, true);
    int reads = 0;
    SetPublicKeyReaderForTests([&](const Vsk::PKI::CKeyContainer& read) {
        ++reads;
        Vsk::PKI::CPassword* password = read.get_KeysetPassword();
        if (!password || password->getPasswordWide().toU16() != u"1234")
            throw Vsk::Utils::CError(Vsk::Utils::CWString(u"PIN needed"), static_cast<HRESULT>(0x8010006B));
        return std::make_pair(key.clone(), wrapped.clone());
    });
    struct Reset {
        ~Reset() { SetPublicKeyReaderForTests({}); }
    } reset;

    const struct {
        const char* name;
        std::vector<const char16_t*> answers;  // nullptr: Cancel
        int reads;
        std::vector<QString> lastRows;
    } rows[] = {
        {"wrong, then right",
         {u"0000", u"1234"},
         4,
         {Text(u"Публичный ключ (2 байт, x16)") + QStringLiteral("=01 AB"),
          Text(u"Публичный ключ с параметрами (3 байт, base64)") + QStringLiteral("=BgIA")}},
        {"cancel", {nullptr}, 1, {Text(u"Публичный ключ") + QStringLiteral("=PIN needed")}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CommandFixtures::showContainers(*m_window, {CommandFixtures::findContainer("props-pin")});
        selectRow(0);
        reads = 0;
        size_t answered = 0;
        QStringList prompts, listed;
        WithModalDialogs([&] { m_window->runCommand(CMD_PROPERTIES); },
                         [&](QWidget* dialog) {
                             if (dialog->objectName() == QStringLiteral("id_191")) {
                                 if (!dialog->isVisible() || answered >= row.answers.size()) return;
                                 prompts << dialog->windowTitle() + QLatin1Char('|') +
                                                child<QLabel>(dialog, 1128)->text();
                                 const char16_t* answer = row.answers[answered++];
                                 if (answer) {
                                     child<QLineEdit>(dialog, 1012)->setText(Text(answer));
                                     click(dialog, IDOK);
                                 } else {
                                     click(dialog, IDCANCEL);
                                 }
                             } else if (dialog->objectName() == QStringLiteral("listDialog")) {
                                 auto* list = dialog->findChild<QTreeWidget*>();
                                 for (int i = 0; list && i < list->topLevelItemCount(); ++i)
                                     listed << list->topLevelItem(i)->text(0) + QLatin1Char('=') +
                                                   list->topLevelItem(i)->text(1);
                                 dialog->close();
                             }
                         });
        EXPECT_EQ(answered, row.answers.size());
        EXPECT_EQ(reads, row.reads);
        ASSERT_EQ(prompts.size(), static_cast<int>(row.answers.size()));
        for (const QString& prompt : prompts)
            EXPECT_EQ(prompt, Text(u"Кестрован|Для получения публичного ключа Введите пароль на ключевой "
                                   u"контейнер \"props-pin\""));
        ASSERT_EQ(listed.size(), 6 + static_cast<int>(row.lastRows.size()));
        for (size_t i = 0; i < row.lastRows.size(); ++i)
            EXPECT_TRUE(listed[6 + static_cast<int>(i)].startsWith(row.lastRows[i]))
                << listed[6 + static_cast<int>(i)].toStdString();
    }
    EXPECT_TRUE(m_messages.messages().empty());
}

// ---- CRL installation -------------------------------------------------------------------------------

// Counts the CRLs of the user's "CA" store.
int crlsInCa() {
    HCERTSTORE h = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"CA");
    if (!h) return -1;
    int count = 0;
    PCCRL_CONTEXT crl = nullptr;
    while ((crl = CertEnumCRLsInStore(h, crl)) != nullptr) ++count;
    CertCloseStore(h, 0);
    return count;
}

TEST_F(PropertiesWindowTest, CrlInstallationFromTheDistributionPoint) {
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(name);
    auto server = VskTest::HttpTestServer::plain();
    const std::string url = "http://" + server->address() + "/ca.crl";
    Authority authority("props-install-ca");
    const std::filesystem::path good = authority.issue("props-good", url);
    const std::filesystem::path revoked = authority.issue("props-revoked", url);
    authority.revoke(revoked);
    VskTest::HttpTestResponse served;
    served.body = authority.crl();
    server->setResponse("/ca.crl", served);

    const Vsk::PKI::CCertificate goodCert = ContainerFixtures::load(CertFixture::readFile(good));
    const Vsk::PKI::CCertificate revokedCert = ContainerFixtures::load(CertFixture::readFile(revoked));
    CommandFixtures::showCertificates(*m_window, reinterpret_cast<NodeId>(StoreAddressBook),
                                      {goodCert, revokedCert});
    const std::u16string caption = u"Скачивание и установка списка отозванных сертификатов";

    selectRow(0);
    m_window->runCommand(CMD_CRL_INSTALL);
    std::vector<Message> messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, caption);
    EXPECT_EQ(messages[0].text, u"Список отозванных сертификатов успешно установлен.");
    EXPECT_EQ(messages[0].type, MB_ICONINFORMATION);
    EXPECT_EQ(crlsInCa(), 1);

    // The same CRL again.
    m_messages.clear();
    m_window->runCommand(CMD_CRL_INSTALL);
    messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, u"Список отозванных сертификатов уже установлен.");
    EXPECT_EQ(messages[0].type, MB_ICONINFORMATION);
    EXPECT_EQ(crlsInCa(), 1);

    // The revoked certificate: the warning first, then the result of the installation.
    m_messages.clear();
    selectRow(1);
    m_window->runCommand(CMD_CRL_INSTALL);
    messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].caption, u"Сертификат отозван!");
    EXPECT_EQ(messages[0].text, revokedCert.getText().toU16());
    EXPECT_EQ(messages[0].type, MB_ICONWARNING);
    EXPECT_EQ(messages[1].caption, caption);
    EXPECT_EQ(messages[1].text, u"Список отозванных сертификатов уже установлен.");

    // A distribution point that does not answer: the download's error.
    m_messages.clear();
    VskTest::HttpTestResponse missing;
    missing.status = 404;
    server->setResponse("/ca.crl", missing);
    CommandFixtures::showCertificates(*m_window, reinterpret_cast<NodeId>(StoreAddressBook),
                                      {ContainerFixtures::load(CertFixture::readFile(good))});
    selectRow(0);
    m_window->runCommand(CMD_CRL_INSTALL);
    messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, caption);
    EXPECT_EQ(messages[0].type, MB_ICONERROR);
}

}  // namespace
