// The crypto-system test dialog: a run in both modes on a test authority and key containers made at
// test time, the abort (also between step 3's containers) and the blocked close, the password and PIN
// prompts, the test data on a token and the key-container test on the GOST test token, the temporary
// container's failures, the repairs of steps 1, 2 and 4, the escaped report, and the viewer's saved file
// and printout.

#include "appTestSupport.h"
#include "containerFixtures.h"
// The token fixtures before any other OpenSSL user: they ask for its legacy engine functions.
#include "gostTokenControl.h"
#include "gostTokenSigner.h"
#include "importExportFixtures.h"
#include "testDlg.h"
#include "tokenFixtures.h"

#include <vsk/pkcs11/Token.h>
#include <vsk/pki/Signature.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/platform/certname.h>
#include <vsk/platform/crypt.h>
#include <vsk/platform/resource.h>
#include <vsk/utils/global.h>
#include <vsk/utils/system.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBrowser>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <optional>
#include <utility>

using namespace AppTest;
using namespace ContainerFixtures;

// The platform's seam: the in-process OID table forgets the registrations, as another process would
// start without them.
void ReloadRegisteredOIDInfo();

namespace {

namespace fs = std::filesystem;

// The authority's root that the program carries (CERT_ROOT_ALWAYS/1), made once per process, served
// as the program's resources; its SHA-1 thumbprint in upper-case hex. Below the root, the authority's
// cross certificate: an intermediate authority that issues the users' certificates; and the empty
// CRLs of both, valid now.
struct Authority {
    fs::path folder = CertFixture::folder() / "testdlg-authority";
    QString thumbprint;
    fs::path crossIssuer = folder / "cross";  // "cross.pem" and "cross.key"
    Vsk::Utils::CDataBlob cross, rootCrl, crossCrl;

    Authority() {
        fs::create_directories(folder / "CERT_ROOT_ALWAYS");
        const std::string pem = (folder / "root.pem").string();
        const std::string der = (folder / "CERT_ROOT_ALWAYS" / "1").string();
        bool ok = false;
        CertFixture::run(
            "openssl req -x509 -engine gost -days 3650 -newkey gost2012_256 -pkeyopt paramset:A "
            "-nodes -keyout " +
                CertFixture::quote((folder / "root.key").string()) +
                " -subj '/O=Test Authority/CN=Test Head CA' -out " + CertFixture::quote(pem) + " 2>/dev/null",
            &ok);
        EXPECT_TRUE(ok);
        CertFixture::run("openssl x509 -in " + CertFixture::quote(pem) + " -outform DER -out " +
                             CertFixture::quote(der) + " 2>/dev/null",
                         &ok);
        EXPECT_TRUE(ok);
        std::string fingerprint =
            CertFixture::run("openssl x509 -noout -fingerprint -sha1 -in " + CertFixture::quote(pem));
        fingerprint = fingerprint.substr(fingerprint.find('=') + 1);
        for (char c : fingerprint)
            if (std::isxdigit(static_cast<unsigned char>(c))) thumbprint += QChar(std::toupper(c));
        makeCross();

        const QString root = QString::fromStdString(folder.string());
        ResourceSource source;
        auto folderOf = [root](const std::u16string& type) {
            const QString t = QString::fromStdU16String(type).toUpper();
            if (t == u"CERT_ROOT_ALWAYS") return root + QStringLiteral("/CERT_ROOT_ALWAYS");
            if (t == u"CERT_ROOT" || t == u"CERT_CROSS_ALWAYS" || t == u"CERT_CROSS") return QString();
            for (const QString& entry : QDir(QStringLiteral(":/res")).entryList(QDir::Dirs))
                if (entry.compare(t, Qt::CaseInsensitive) == 0) return QStringLiteral(":/res/") + entry;
            return QString();
        };
        source.names = [folderOf](const std::u16string& type, std::vector<std::u16string>& names) {
            const QString folder = folderOf(type);
            if (folder.isEmpty()) return false;
            for (const QString& entry : QDir(folder).entryList(QDir::Files, QDir::Name))
                names.push_back(entry.toStdU16String());
            return true;
        };
        source.bytes = [folderOf](const std::u16string& type, const std::u16string& name,
                                  std::vector<BYTE>& bytes) {
            QFile file(folderOf(type) + u'/' + QString::fromStdU16String(name));
            if (!file.open(QIODevice::ReadOnly)) return false;
            const QByteArray data = file.readAll();
            bytes.assign(data.begin(), data.end());
            return true;
        };
        RegisterResourceSource(nullptr, source);
    }

    void makeCross() {
        std::ofstream(folder / "ca.cnf") << "[root]\n"
                                            "database = root.txt\n"
                                            "crlnumber = root.crlnumber\n"
                                            "certificate = root.pem\n"
                                            "private_key = root.key\n"
                                            "default_md = md_gost12_256\n"
                                            "default_crl_days = 30\n"
                                            "[cross]\n"
                                            "database = cross.txt\n"
                                            "crlnumber = cross.crlnumber\n"
                                            "certificate = cross.pem\n"
                                            "private_key = cross.key\n"
                                            "default_md = md_gost12_256\n"
                                            "default_crl_days = 30\n"
                                            "[cross_ext]\n"
                                            "basicConstraints = critical,CA:TRUE\n"
                                            "keyUsage = critical,keyCertSign,cRLSign\n"
                                            "subjectKeyIdentifier = hash\n"
                                            "authorityKeyIdentifier = keyid\n";
        bool ok = false;
        CertFixture::run(
            "(cd " + CertFixture::quote(folder.string()) +
                " && : > root.txt && : > cross.txt && echo 01 > root.crlnumber && echo 01 > cross.crlnumber"
                " && openssl req -new -engine gost -newkey gost2012_256 -pkeyopt paramset:A -nodes "
                "-keyout cross.key -subj '/O=Test Authority/CN=Test Cross CA' -out cross.csr"
                " && openssl x509 -req -engine gost -in cross.csr -CA root.pem -CAkey root.key -set_serial 2 "
                "-days 3650 -extfile ca.cnf -extensions cross_ext -out cross.pem"
                " && openssl x509 -in cross.pem -outform DER -out cross.der"
                " && openssl ca -engine gost -config ca.cnf -name root -gencrl -out root.crl"
                " && openssl ca -engine gost -config ca.cnf -name cross -gencrl -out cross.crl"
                " && openssl crl -in root.crl -outform DER -out root.crl.der"
                " && openssl crl -in cross.crl -outform DER -out cross.crl.der) >/dev/null 2>&1",
            &ok);
        EXPECT_TRUE(ok) << "openssl could not make the cross certificate and the CRLs";
        cross = CertFixture::readFile(folder / "cross.der");
        rootCrl = CertFixture::readFile(folder / "root.crl.der");
        crossCrl = CertFixture::readFile(folder / "cross.crl.der");
    }
};

const Authority& TestAuthority() {
    static const Authority authority;
    return authority;
}

class TestDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestAuthority();
        // As a new process: the OID registrations of an earlier test are forgotten.
        ReloadRegisteredOIDInfo();
        LoadRegisteredOIDInfo();
        Vsk::Utils::ForgetCurrentUserAdmin();
    }
    void TearDown() override { Vsk::Utils::ForgetCurrentUserAdmin(); }

    // The window, its offer at start to install the authority's root refused.
    std::unique_ptr<CKestrovanDlg> open() {
        SetOptions(OPTION_NO_START_CHECK);
        m_messages.answer(IDNO);
        auto window = ShowWindow();
        EXPECT_TRUE(WaitForInit(*window));
        m_messages.clear();
        return window;
    }
    // The authority's root in ROOT and the OIDs registered, through the window's own commands.
    void prepare(CKestrovanDlg& window) {
        window.runCommand(CMD_CHECK_ROOT_CERT);
        ASSERT_TRUE(window.loadMissingRootCerts().isEmpty());
        window.runCommand(CMD_OIDS_REG);
        ASSERT_EQ(window.m_unregisteredOids, 0);
        m_messages.clear();
    }
    static void runToEnd(CTest& dialog) {
        dialog.button(IDOK)->click();
        EXPECT_TRUE(dialog.isRunning());
        APP_WAIT_TRUE(!dialog.isRunning());
    }

    FreshRoot m_root;
    VskTest::EnvGuard m_admin{"KESTROVAN_ADMIN", "1"};
    MessageRecorder m_messages;
};

TEST_F(TestDlgTest, SystemRunWithoutASelectedContainerFailsTheStepsThatNeedIt) {
    // A container whose certificate is not in the personal store: listed by step 3, found by step 4's
    // search over the window's providers (no row selected).
    const WithCertificate made = makeWithCertificate(u"amp", "<b>& User");
    ASSERT_TRUE(made.container.ok);
    auto window = open();
    prepare(*window);
    ShowGostContainers(*window);
    window->list()->clearSelection();
    CTest dialog(window.get(), false);
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), Text(u"Тестирование криптосистемы"));
    EXPECT_FALSE(dialog.button(IDC_TEST_REPORT)->isEnabled());
    EXPECT_EQ(dialog.resultText(1), QString());

    runToEnd(dialog);
    EXPECT_EQ(m_messages.count(), 0u);
    EXPECT_EQ(dialog.resultText(1), Text(u"Все установлены"));
    EXPECT_EQ(dialog.resultText(2), Text(u"Все зарегистрированы"));
    EXPECT_EQ(dialog.markState(1), 1);
    EXPECT_EQ(dialog.markState(2), 1);
    EXPECT_EQ(dialog.markState(3), 1);
    EXPECT_EQ(dialog.markState(4), 0);
    EXPECT_TRUE(dialog.resultText(4).endsWith(
        Text(u") в выбранном ключевом контейнере \"amp\".\r\nСертификат отсутствует в хранилище Личные!")))
        << dialog.resultText(4).toStdString();
    EXPECT_FALSE(dialog.button(IDC_TEST_FIX_CERT)->isHidden());
    // Without the run's container: no provider for the test data, steps on the certificate copy step
    // 4's text, the checks find nothing to check; step 12 uses the first GOST provider of step 3.
    const struct {
        int step;
        QString text;
    } missing[] = {
        {6, dialog.resultText(4)},  {7, Text(u"Данные не были зашифрованы!")},
        {8, dialog.resultText(4)},  {9, Text(u"Данные не были подписаны!")},
        {10, dialog.resultText(4)}, {11, Text(u"Данные не были подписаны!")},
    };
    for (const auto& m : missing) {
        EXPECT_EQ(dialog.resultText(m.step), m.text) << m.step;
        EXPECT_EQ(dialog.markState(m.step), 0) << m.step;
    }
    EXPECT_EQ(dialog.markState(5), 0);
    EXPECT_TRUE(dialog.resultText(5).contains(QStringLiteral("190204")))
        << dialog.resultText(5).toStdString();
    EXPECT_EQ(dialog.markState(12), 1) << dialog.resultText(12).toStdString();
    EXPECT_TRUE(dialog.resultText(12).endsWith(Text(u" успешно создан в Реестр, успешно удален")));
    for (int id : {IDC_TEST_FIX_ROOTS, IDC_TEST_FIX_OIDS}) EXPECT_TRUE(dialog.button(id)->isHidden()) << id;
    EXPECT_TRUE(dialog.button(IDC_TEST_REPORT)->isEnabled());
    EXPECT_EQ(dialog.button(IDOK)->text(), Text(u"Пуск"));
    EXPECT_TRUE(dialog.progressBar()->isHidden());
    EXPECT_EQ(dialog.progressBar()->value(), 12);

    const QString report = dialog.buildReport();
    EXPECT_TRUE(report.startsWith(QStringLiteral("<html><head><style type='text/css'>")));
    EXPECT_TRUE(report.contains(
        Text(u"<caption>Тестирование криптосистемы</caption><th>№ теста<th>Наименование "
             u"теста<th>Результат теста<th>Длительность теста (секунд)<tr><td>0<td>Компьютер<td>"
             u"Операционная система: ")));
    EXPECT_TRUE(report.contains(
        Text(u"<tr><td>1<td>Корневые сертификаты УЦ ООО «Зорнавелиста»<td>Все установлены<td>")));
    EXPECT_TRUE(
        report.contains(Text(u"<tr><td>2<td>OID-ы УЦ ООО «Зорнавелиста»<td>Все зарегистрированы<td>")));
    EXPECT_TRUE(
        report.contains(Text(u"<tr><td>3<td>ГОСТовые криптопровайдеры, ключевые контейнеры<td><table><th>"
                             u"Криптопровайдер<th>Ключевые контейнеры<tr><td>")));
    EXPECT_TRUE(report.contains(QStringLiteral("<tr><td>amp<td>&lt;b&gt;&amp; User<td>")));
    EXPECT_TRUE(report.contains(Text(u"<td>нет</table>")) || report.contains(Text(u"<td>нет<tr>")));
    EXPECT_TRUE(report.contains(Text(u"<tr><td>12<td>Создание ключевого контейнера и генерация ключей<td>")));
    EXPECT_TRUE(report.endsWith(QStringLiteral("</table></body></html>")));
    // The tool tip shows the row's result text over its label.
    dialog.OnMouseMove(dialog.label(2)->geometry().center());
    EXPECT_EQ(dialog.toolTipText(), Text(u"Все зарегистрированы"));
    dialog.OnMouseMove(QPoint(1, dialog.height() - 2));
    EXPECT_EQ(dialog.toolTipText(), QString());

    // A second run starts from empty marks.
    dialog.button(IDOK)->click();
    EXPECT_EQ(dialog.markState(1), -1);
    APP_WAIT_TRUE(!dialog.isRunning());
}

// The user's container "own" with its certificate installed into "MY" bound to it, selected in the
// window; 4 KiB of test data.
void SelectOwnContainer(CKestrovanDlg& window, const WithCertificate& made) {
    ShowGostContainers(window);
    SelectRows(window, {u"own"});
    auto* container = static_cast<Vsk::PKI::CKeyContainer*>(window.getSelectedItemData());
    ASSERT_NE(container, nullptr);
    const Vsk::PKI::CCertificate certificate = load(made.der);
    container->installCertificate(certificate.get_CertContext());
    window.m_testDataMin = 4;
    window.m_testDataMax = 4;
}

// Flips the last non-zero byte of a signed message: a byte of the signature value, which ends the
// message before any end-of-contents octets.
void TamperSignatureValue(Vsk::Utils::CDataBlob& message) {
    ASSERT_GT(message.getSize(), 0u);
    size_t i = message.getSize() - 1;
    while (i > 0 && *message.at(i) == 0) --i;
    *message.at(i) ^= 0x01;
}

// The authority's cross certificate and the CRLs of the root and the cross certificate in the user's
// "CA" store.
void InstallCrossAndCrls(const Authority& authority) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"CA");
    ASSERT_NE(store, nullptr);
    EXPECT_TRUE(CertAddEncodedCertificateToStore(store, Encoding, authority.cross.getData(),
                                                 static_cast<DWORD>(authority.cross.getSize()),
                                                 CERT_STORE_ADD_ALWAYS, nullptr));
    for (const Vsk::Utils::CDataBlob* crl : {&authority.rootCrl, &authority.crossCrl})
        EXPECT_TRUE(CertAddEncodedCRLToStore(store, Encoding, crl->getData(),
                                             static_cast<DWORD>(crl->getSize()), CERT_STORE_ADD_ALWAYS,
                                             nullptr));
    CertCloseStore(store, 0);
}

TEST_F(TestDlgTest, SystemRunWithTheUsersContainerPassesEveryStep) {
    // The user's certificate comes from the test authority: root (ROOT), cross certificate and CRLs
    // ("CA"), the user's certificate issued by the cross certificate.
    WithCertificate made{makeContainer(u"own"), {}};
    ASSERT_TRUE(made.container.ok);
    made.der = issue(made.container.publicPem, "Own User", {}, TestAuthority().crossIssuer);
    storeInContainer(u"own", made.der);
    InstallCrossAndCrls(TestAuthority());
    auto window = open();
    prepare(*window);
    SelectOwnContainer(*window, made);
    CTest dialog(window.get(), false);
    dialog.show();
    runToEnd(dialog);
    EXPECT_EQ(m_messages.count(), 0u);
    for (int step = 1; step <= 12; ++step)
        EXPECT_EQ(dialog.markState(step), 1) << step << " " << dialog.resultText(step).toStdString();

    EXPECT_EQ(dialog.resultText(1), Text(u"Все установлены"));
    EXPECT_EQ(dialog.resultText(2), Text(u"Все зарегистрированы"));
    const QString thumbprint = QString::fromLatin1(load(made.der).get_Thumbprint().c_str());
    EXPECT_EQ(dialog.resultText(4), Text(u"Сертификат \"Own User\" (отпечаток ") + thumbprint +
                                        Text(u"), соответствующий выбранному ключевому контейнеру "
                                             u"\"own\".\r\nОшибок не обнаружено"));
    // Step 4 judges the date and the key binding and the signature steps verify no chain: the chain
    // root - cross certificate - user with both CRLs is checked here with the window's settings.
    const DWORD chain = Vsk::PKI::CCertificate::VerifyCertificate(load(made.der).get_CertContext(),
                                                                  &window->m_verifySettings, nullptr);
    EXPECT_EQ(chain, 0u);

    const QString ok = Text(u"Ошибок не найдено.");
    EXPECT_EQ(dialog.resultText(5), Text(u"Успешно создано 4'096 байт случайных чисел"));
    EXPECT_TRUE(dialog.resultText(6).startsWith(Text(u"Успешно, размер зашифрованных данных: ")));
    EXPECT_EQ(dialog.resultText(7), Text(u"Успешно, расшифрованные данные совпали с исходными данными"));
    EXPECT_TRUE(dialog.resultText(8).startsWith(Text(u"Успешно, размер подписи: ")));
    EXPECT_EQ(dialog.resultText(9), ok);
    EXPECT_TRUE(dialog.resultText(10).startsWith(Text(u"Успешно, размер подписанных данных: ")));
    EXPECT_EQ(dialog.resultText(11), ok + Text(u", данные из подписи совпали с исходными данными"));
    // "<guid> успешно создан в <reader>, успешно удален": the reader "REGISTRY" shown by its display
    // name, and the container gone again.
    const QString created = dialog.resultText(12);
    const QString tail = Text(u" успешно создан в Реестр, успешно удален");
    ASSERT_TRUE(created.endsWith(tail)) << created.toStdString();
    const QString guid = created.left(created.size() - tail.size());
    EXPECT_EQ(guid.size(), 36) << guid.toStdString();
    EXPECT_EQ(acquire(u"\\\\.\\REGISTRY\\" + guid.toStdU16String(), CRYPT_SILENT), 0u);

    const QString report = dialog.buildReport();
    for (const QString& row : {
             Text(u"<tr><td>1<td>Корневые сертификаты УЦ ООО «Зорнавелиста»<td>Все установлены<td>"),
             Text(u"<tr><td>2<td>OID-ы УЦ ООО «Зорнавелиста»<td>Все зарегистрированы<td>"),
             Text(u"<tr><td>4<td>Проверка личного сертификата<td>Сертификат &quot;Own User&quot; "
                  u"(отпечаток ") +
                 thumbprint +
                 Text(u"), соответствующий выбранному ключевому контейнеру &quot;own&quot;.\r\nОшибок не "
                      u"обнаружено<td>"),
             Text(u"<tr><td>5<td>Создание исходных данных<td>Успешно создано 4'096 байт случайных "
                  u"чисел<td>"),
             Text(u"<tr><td>6<td>Шифрование.<br>Алгоритм шифрования: "),
             Text(u".<td>Успешно, размер зашифрованных данных: "),
             Text(u"<tr><td>7<td>Расшифрование<td>Успешно, расшифрованные данные совпали"),
             Text(u"<tr><td>8<td>Формирование отсоединенной электронной подписи.<br>Алгоритм хэширования: "),
             Text(u"<tr><td>9<td>Проверка отсоединенной электронной подписи<td>Ошибок не найдено.<td>"),
             Text(
                 u"<tr><td>10<td>Формирование присоединенной электронной подписи.<br>Алгоритм хэширования: "),
             Text(u"<tr><td>11<td>Проверка присоединенной электронной подписи<td>Ошибок не найдено., данные"),
             Text(u"<tr><td>12<td>Создание ключевого контейнера и генерация ключей<td>") + created +
                 QStringLiteral("<td>"),
         })
        EXPECT_TRUE(report.contains(row)) << row.toStdString();
    EXPECT_TRUE(report.endsWith(QStringLiteral("</table></body></html>")));
}

template <class T>
T* Child(QWidget* dialog, int id) {
    return dialog->findChild<T*>(QStringLiteral("id_%1").arg(id));
}

// Answers the password and PIN dialogs that a run shows, in order: the text typed and OK, or Cancel
// for an answer without text (also when the script has run out). Records each dialog's title and prompt.
class CredentialPrompts {
public:
    explicit CredentialPrompts(std::vector<std::optional<QString>> answers) : m_answers(std::move(answers)) {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { answer(); });
        m_timer.start();
    }
    // "title|prompt" of each dialog shown.
    const std::vector<QString>& seen() const { return m_seen; }

private:
    void answer() {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog || !dialog->isVisible()) return;
        // The password dialog (191: prompt 1128, edit 1012) or the PIN dialog (187: 1088, 1087).
        const bool password = dialog->objectName() == QStringLiteral("id_191");
        if (!password && dialog->objectName() != QStringLiteral("id_187")) return;
        const auto* prompt = Child<QLabel>(dialog, password ? 1128 : 1088);
        auto* edit = Child<QLineEdit>(dialog, password ? 1012 : 1087);
        m_seen.push_back(dialog->windowTitle() + u'|' + (prompt ? prompt->text() : QString()));
        const std::optional<QString> text = m_next < m_answers.size() ? m_answers[m_next] : std::nullopt;
        ++m_next;
        if (text && edit) edit->setText(*text);
        Child<QPushButton>(dialog, text ? IDOK : IDCANCEL)->click();
    }

    std::vector<std::optional<QString>> m_answers;
    size_t m_next = 0;
    std::vector<QString> m_seen;
    QTimer m_timer;
};

// Runs `action` once, on the GUI thread, when the label turns bold: the run is then at the start of
// that label's step, waiting for the label's change.
class WhenStepStarts : public QObject {
public:
    WhenStepStarts(QLabel* label, std::function<void()> action) : m_action(std::move(action)) {
        label->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::FontChange && m_action && static_cast<QWidget*>(watched)->font().bold())
            std::exchange(m_action, nullptr)();
        return false;
    }

private:
    std::function<void()> m_action;
};

// A container with a password: the decryption asks for it (a wrong one, then Cancel: the provider's
// error fails the step), the detached signing asks again (the right one: it and every later step pass,
// the attached signing without asking).
TEST_F(TestDlgTest, ContainerPasswordIsAskedByDecryptionAndSigning) {
    const WithCertificate made = makeWithCertificate(u"locked", "Locked User", {}, false, "secret");
    ASSERT_TRUE(made.container.ok);
    auto window = open();
    ShowGostContainers(*window);
    SelectRows(*window, {u"locked"});
    auto* container = static_cast<Vsk::PKI::CKeyContainer*>(window->getSelectedItemData());
    ASSERT_NE(container, nullptr);
    container->installCertificate(load(made.der).get_CertContext());
    window->m_testDataMin = window->m_testDataMax = 4;
    CTest dialog(window.get(), true);
    dialog.show();
    {
        CredentialPrompts prompts({Text(u"неверный"), std::nullopt, QStringLiteral("secret")});
        runToEnd(dialog);
        const QString asked =
            Text(
                u"Кестрован|Введите пароль на ключевой контейнер \"locked\", соответствующий "
                u"сертификату \"") +
            toQ(load(made.der).get_SubjectName()) + u'"';
        EXPECT_EQ(prompts.seen(), std::vector<QString>(3, asked));
    }
    EXPECT_EQ(m_messages.count(), 0u);
    EXPECT_EQ(dialog.markState(7), 0);
    EXPECT_FALSE(dialog.resultText(7).isEmpty());
    EXPECT_FALSE(dialog.resultText(7).startsWith(Text(u"Успешно"))) << dialog.resultText(7).toStdString();
    for (int step : {4, 5, 6, 8, 9, 10, 11})
        EXPECT_EQ(dialog.markState(step), 1) << step << " " << dialog.resultText(step).toStdString();
}

TEST_F(TestDlgTest, TamperedSignaturesFailTheirVerificationSteps) {
    const WithCertificate made = makeWithCertificate(u"own", "Own User");
    ASSERT_TRUE(made.container.ok);
    auto window = open();
    prepare(*window);
    SelectOwnContainer(*window, made);
    CTest dialog(window.get(), true);
    dialog.show();
    runToEnd(dialog);
    ASSERT_EQ(dialog.markState(11), 1) << dialog.resultText(11).toStdString();

    // The run's data and container stay with the dialog: each signing step again, then its check on
    // the message with a changed signature value.
    const QString invalid = fromCp1251(Vsk::PKI::getVerifyStatusText(Vsk::PKI::SignatureInvalid));
    QString result;
    ASSERT_TRUE(dialog.signDetached(result)) << result.toStdString();
    TamperSignatureValue(dialog.signatureBlob());
    EXPECT_FALSE(dialog.verifyDetached(result));
    EXPECT_EQ(result, invalid);

    ASSERT_TRUE(dialog.signAttached(result)) << result.toStdString();
    TamperSignatureValue(dialog.signatureBlob());
    EXPECT_FALSE(dialog.verifyAttached(result));
    EXPECT_EQ(result, invalid + Text(u", данные из подписи совпали с исходными данными"));
}

// Step 12 on providers that cannot give the temporary container: one without any medium to make it
// on, and one that makes the container but no key pair for it. The container made before the failure
// does not stay behind with its known password.
TEST_F(TestDlgTest, TemporaryContainerStepFailsWithoutLeavingTheContainer) {
    const struct {
        const char* fixture;
        DWORD type;
        const char16_t* name;
        const char16_t* result;  // the result text starts so
    } cases[] = {
        {"[provider]\ntype = 80\nname = No Media\nacquire_error = 0x80090016\n", 80, u"No Media",
         u"Отсутствуют ключевые носители"},
        {"[provider]\ntype = 24\nname = No Key Pairs\nkeeps_containers = yes\n", 24, u"No Key Pairs",
         u"Ошибка генерации ключей!"},
    };
    for (const auto& c : cases) {
        FakeProvidersGuard providers(c.fixture);
        // Described by hand: the catalogue leaves out a provider it cannot open.
        auto provider = Vsk::Utils::CRefPtr<Vsk::PKI::CSPInfo>::create();
        provider->m_name = Vsk::Utils::CWString(c.name);
        provider->m_type = c.type;
        Vsk::PKI::CSPInfoArray list;
        list.add(provider);
        CTest dialog(nullptr, false);
        QString result;
        EXPECT_FALSE(dialog.createTempKeyContainer(result, list)) << c.type;
        EXPECT_TRUE(result.startsWith(Text(c.result))) << result.toStdString();

        Vsk::PKI::CCsp csp(true);
        csp.putCSPInfo(list[0].get());
        Vsk::Utils::CArray<Vsk::PKI::CKeyContainer> left;
        try {
            csp.GetContainerList(left, false, nullptr);
        } catch (const Vsk::Utils::CError&) {
        }
        EXPECT_EQ(left.getCount(), 0u) << c.type;
    }
}

// The GOST test token as the run's provider, loaded as the configured PKCS#11 library, with a GOST key
// pair and its self-signed certificate on it.
class TestDlgTokenTest : public TestDlgTest {
protected:
    void SetUp() override {
        TestDlgTest::SetUp();
        ASSERT_TRUE(m_library.start(m_module,
                                    "slot0.description = Test Reader 0\ntoken0.model = GT-1\n"
                                    "token0.serial = 0001\n"));
        VskTest::PutSignerOnToken(m_module, "token signer");
        void* module = dlopen(m_module.path().c_str(), RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(module, nullptr);
        m_failCall = reinterpret_cast<decltype(m_failCall)>(dlsym(module, "vskGostTokenFailCall"));
        ASSERT_NE(m_failCall, nullptr);
    }
    void TearDown() override {
        m_library.stop();
        TestDlgTest::TearDown();
    }

    FakeProvidersGuard m_providers{"[provider]\ntype = 80\nname = GOST 80\n"};
    VskTest::GostTokenModule m_module{VSK_GOST_TOKEN_PATH};
    decltype(&vskGostTokenFailCall) m_failCall = nullptr;
    GostTokenLibrary m_library;
};

const QString TokenText = QStringLiteral(u"Test Reader 0 - GT-1 - 0001");

// The token picked in the provider selector and its container "token signer" selected.
void PickTokenSigner(CKestrovanDlg& window) {
    ShowContainers(window);
    const int token = window.providerSelector()->findText(TokenText);
    ASSERT_GE(token, 0);
    if (window.providerSelector()->currentIndex() != token) PickProvider(window, token);
    APP_WAIT_TRUE(FindRow(window, u"token signer") != nullptr);
    SelectRows(window, {u"token signer"});
}

// The token's generator refuses once for want of a login: the PIN prompt names the token; Cancel
// leaves the token's error, the right PIN logs in and the data is made, capped at 10240 bytes.
TEST_F(TestDlgTokenTest, TestDataOnATokenAsksForThePinAndStaysSmall) {
    auto window = open();
    PickTokenSigner(*window);
    CTest dialog(window.get(), false);
    dialog.show();

    const struct {
        std::optional<QString> pin;
        int mark;
        QString result;
    } runs[] = {
        {std::nullopt, 0, Text(u"Требуется авторизация в режиме пользователя.")},
        {QStringLiteral("12345678"), 1, Text(u"Успешно создано 10'240 байт случайных чисел")},
    };
    for (const auto& r : runs) {
        m_messages.clear();
        WhenStepStarts stopAfterStep5(dialog.label(5), [&] {
            m_failCall("C_GenerateRandom", CKR_USER_NOT_LOGGED_IN, 1, VSK_GOST_TOKEN_ANY_SLOT);
            dialog.button(IDOK)->click();
        });
        CredentialPrompts prompts({r.pin});
        runToEnd(dialog);
        ASSERT_EQ(prompts.seen().size(), 1u) << r.mark;
        EXPECT_EQ(prompts.seen()[0], Text(u"ПИН крипто токена|\"") + TokenText + u'"');
        EXPECT_EQ(dialog.markState(5), r.mark);
        EXPECT_TRUE(dialog.resultText(5).contains(r.result)) << dialog.resultText(5).toStdString();
        EXPECT_EQ(dialog.markState(6), -1);
        EXPECT_EQ(m_messages.count(), 1u);
    }
}

// The token's key pair selected in the window and its certificate installed into "MY" by the window's
// install command.
void SelectTokenSigner(CKestrovanDlg& window, MessageRecorder& messages) {
    PickTokenSigner(window);
    window.runCommand(CMD_CERT_FROM_KEY_CONT);
    ASSERT_EQ(messages.count(), 1u);
    EXPECT_NE(messages.messages()[0].text.find(u"был успешно установлен"), std::u16string::npos);
    messages.clear();
}

// The key-container test of the token's container, run to its end: the token asks for its PIN once,
// when the encryption first needs its session; the session key is made and wrapped, unwrapped and
// used, and both signatures are made on the token; the messages then verify.
TEST_F(TestDlgTokenTest, KeyContainerModeRunsEveryStepOnTheToken) {
    auto window = open();
    SelectTokenSigner(*window, m_messages);
    CTest dialog(window.get(), true);
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), Text(u"Тест ключевого контейнера \"token signer\""));
    const char* const onToken[] = {"C_GenerateKey", "C_WrapKey", "C_Encrypt",
                                   "C_UnwrapKey",   "C_Decrypt", "C_SignFinal"};
    std::vector<unsigned long> before;
    for (const char* call : onToken) before.push_back(m_module.callCount(call));
    {
        CredentialPrompts prompts({QStringLiteral("12345678")});
        runToEnd(dialog);
        EXPECT_EQ(prompts.seen(), std::vector<QString>{Text(u"ПИН крипто токена|\"") + TokenText + u'"'});
    }
    EXPECT_EQ(m_messages.count(), 0u);
    for (size_t i = 0; i < std::size(onToken); ++i)
        EXPECT_GT(m_module.callCount(onToken[i]), before[i]) << onToken[i];
    EXPECT_EQ(dialog.progressBar()->maximum(), 7);
    EXPECT_EQ(dialog.progressBar()->value(), 7);
    EXPECT_TRUE(dialog.progressBar()->isHidden());
    for (int step = 4; step <= 11; ++step)
        EXPECT_EQ(dialog.markState(step), 1) << step << " " << dialog.resultText(step).toStdString();
    for (int step : {1, 2, 3, 12}) {
        EXPECT_EQ(dialog.markState(step), -1) << step;
        EXPECT_EQ(dialog.resultText(step), QString()) << step;
    }
    const QString step4 = dialog.resultText(4);
    EXPECT_TRUE(step4.startsWith(Text(u"Сертификат \"Token Signer\" (отпечаток "))) << step4.toStdString();
    EXPECT_TRUE(step4.endsWith(Text(
        u"), соответствующий выбранному ключевому контейнеру \"token signer\".\r\nОшибок не обнаружено")))
        << step4.toStdString();
    const QString ok = Text(u"Ошибок не найдено.");
    EXPECT_EQ(dialog.resultText(5), Text(u"Успешно создано 10'240 байт случайных чисел"));
    EXPECT_TRUE(dialog.resultText(6).startsWith(Text(u"Успешно, размер зашифрованных данных: ")));
    EXPECT_EQ(dialog.resultText(7), Text(u"Успешно, расшифрованные данные совпали с исходными данными"));
    EXPECT_TRUE(dialog.resultText(8).startsWith(Text(u"Успешно, размер подписи: ")));
    EXPECT_EQ(dialog.resultText(9), ok);
    EXPECT_TRUE(dialog.resultText(10).startsWith(Text(u"Успешно, размер подписанных данных: ")));
    EXPECT_EQ(dialog.resultText(11), ok + Text(u", данные из подписи совпали с исходными данными"));

    // The report: the container's caption, rows 4 to 11 only.
    const QString report = dialog.buildReport();
    EXPECT_TRUE(
        report.contains(Text(u"<caption>Тестирование ключевого контейнера \"token signer\"</caption>")));
    EXPECT_TRUE(
        report.contains(Text(u"Длительность теста (секунд)<tr><td>4<td>Проверка личного сертификата<td>")));
    for (int row : {0, 1, 2, 3, 12})
        EXPECT_FALSE(report.contains(QStringLiteral("<tr><td>%1<td>").arg(row))) << row;
    for (const QString& row : {
             Text(
                 u"<tr><td>5<td>Создание исходных данных<td>Успешно создано 10'240 байт случайных чисел<td>"),
             Text(u"<tr><td>6<td>Шифрование.<br>Алгоритм шифрования: "),
             Text(u".<td>Успешно, размер зашифрованных данных: "),
             Text(u"<tr><td>7<td>Расшифрование<td>Успешно, расшифрованные данные совпали"),
             Text(u"<tr><td>8<td>Формирование отсоединенной электронной подписи.<br>Алгоритм хэширования: "),
             Text(u"<tr><td>9<td>Проверка отсоединенной электронной подписи<td>Ошибок не найдено.<td>"),
             Text(
                 u"<tr><td>10<td>Формирование присоединенной электронной подписи.<br>Алгоритм хэширования: "),
             Text(u"<tr><td>11<td>Проверка присоединенной электронной подписи<td>Ошибок не найдено., данные"),
         })
        EXPECT_TRUE(report.contains(row)) << row.toStdString();
    EXPECT_TRUE(report.endsWith(QStringLiteral("</table></body></html>")));
}

// The encryption on the token before any login: the library asks for the token's PIN, the dialog
// prompts for it; Cancel leaves the library's text as the step's failure, a wrong PIN fails only this
// step with the token's refusal, the right PIN lets the step pass. Each run is stopped once the
// encryption is over.
TEST_F(TestDlgTokenTest, EncryptionOnTheTokenAsksForThePin) {
    auto window = open();
    SelectTokenSigner(*window, m_messages);
    CTest dialog(window.get(), true);
    dialog.show();
    const struct {
        std::optional<QString> pin;
        int mark;
        QString result;
    } runs[] = {
        {std::nullopt, 0, Text(u"Не задан ПИН токена!")},
        {QStringLiteral("0000"), 0,
         Text(u"Функции передан ПИН-код, который не соответствует тому, который сохранен на Устройстве.")},
        {QStringLiteral("12345678"), 1, Text(u"Успешно, размер зашифрованных данных: ")},
    };
    for (const auto& r : runs) {
        m_messages.clear();
        WhenStepStarts stopAfterStep6(dialog.label(7), [&] { dialog.button(IDOK)->click(); });
        CredentialPrompts prompts({r.pin});
        runToEnd(dialog);
        ASSERT_EQ(prompts.seen().size(), 1u) << r.mark;
        EXPECT_EQ(prompts.seen()[0], Text(u"ПИН крипто токена|\"") + TokenText + u'"');
        EXPECT_EQ(dialog.markState(5), 1) << dialog.resultText(5).toStdString();
        EXPECT_EQ(dialog.markState(6), r.mark);
        EXPECT_TRUE(dialog.resultText(6).contains(r.result)) << dialog.resultText(6).toStdString();
        EXPECT_EQ(m_messages.count(), 1u);
    }
}

TEST(TestRowsDataTest, ByteCountsAndSignatureVerdicts) {
    const struct {
        uint64_t count;
        const char* text;
    } counts[] = {{0, "0"}, {999, "999"}, {1000, "1'000"}, {5242880, "5'242'880"}, {10485760, "10'485'760"}};
    for (const auto& c : counts) EXPECT_EQ(formatByteCount(c.count), QString::fromLatin1(c.text)) << c.count;
    // The test data: 1 MiB to 10 MiB over the draw's range with the window's range, the fraction cut;
    // on a token at most 10240 bytes.
    const struct {
        int draw;
        int32_t minKiB, maxKiB;
        bool token;
        uint64_t bytes;
    } sizes[] = {
        {0, 1024, 10240, false, 1048576},  {32767, 1024, 10240, false, 10485760},
        {1, 1024, 10240, false, 1048864},  {16384, 1024, 10240, false, 5767312},
        {32767, 1024, 10240, true, 10240}, {0, 4, 4, true, 4096},
    };
    for (const auto& c : sizes)
        EXPECT_EQ(testDataSize(c.draw, c.minKiB, c.maxKiB, c.token), c.bytes) << c.draw << " " << c.token;
    // Bad signatures fail; chain statuses and the missing time stamp are for other rows to judge.
    for (DWORD status : {1u, 2u, 3u, 201u, 202u, 203u}) EXPECT_TRUE(isBadSignatureStatus(status)) << status;
    for (DWORD status : {0u, 4u, 100u, 101u, 150u, 199u, 200u, 204u})
        EXPECT_FALSE(isBadSignatureStatus(status)) << status;
}

TEST_F(TestDlgTest, AbortEndsTheReportAndCloseIsRefusedDuringARun) {
    auto window = open();
    CTest dialog(window.get(), false);
    dialog.show();
    dialog.button(IDOK)->click();
    ASSERT_TRUE(dialog.isRunning());
    EXPECT_EQ(dialog.button(IDOK)->text(), Text(u"Отмена"));
    EXPECT_FALSE(dialog.button(IDCANCEL)->isEnabled());

    // The close box asks instead of closing; No changes nothing.
    m_messages.answer(IDNO);
    dialog.close();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.isRunning());
    // Yes stops the run after the row under way; a further "Отмена" asks nothing.
    dialog.button(IDOK)->click();
    dialog.button(IDOK)->click();
    const std::vector<Message> messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 2u);
    for (const Message& m : messages) {
        EXPECT_EQ(m.text, u"Прервать тестирование?");
        EXPECT_EQ(m.caption, u"Тестирование криптосистемы");
        EXPECT_EQ(m.type, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
    }
    APP_WAIT_TRUE(!dialog.isRunning());
    const QString report = dialog.buildReport();
    EXPECT_TRUE(report.endsWith(
        Text(u"</table><br>Тестирование криптосистемы прервано пользователем.</body></html>")));
    EXPECT_TRUE(report.contains(QStringLiteral("<tr><td>0<td>")));
    EXPECT_FALSE(report.contains(QStringLiteral("<tr><td>1<td>")));
    EXPECT_EQ(dialog.markState(1), -1);
    EXPECT_TRUE(dialog.isVisible());
    // Idle, the close button closes.
    dialog.button(IDCANCEL)->click();
    EXPECT_FALSE(dialog.isVisible());
}

// "Отмена" and Yes while step 3 lists the key containers: the list stops after the container under
// way, its tables are closed, and the row gets neither a duration nor a mark.
TEST_F(TestDlgTest, AbortBetweenContainersClosesTheTablesOfStepThree) {
    for (const char16_t* name : {u"first", u"second"}) ASSERT_TRUE(makeContainer(name).ok);
    auto window = open();
    CTest dialog(window.get(), false);
    dialog.show();
    WhenStepStarts abort(dialog.label(3), [&] { dialog.button(IDOK)->click(); });
    runToEnd(dialog);
    ASSERT_EQ(m_messages.count(), 1u);
    EXPECT_EQ(m_messages.messages()[0].text, u"Прервать тестирование?");

    const QString report = dialog.buildReport();
    EXPECT_EQ(report.count(Text(u"<td>—<td>—<td>—")), 1) << report.toStdString();
    EXPECT_TRUE(
        report.endsWith(Text(u"<td>—<td>—<td>—</table></table></table><br>Тестирование криптосистемы "
                             u"прервано пользователем.</body></html>")))
        << report.toStdString();
    EXPECT_FALSE(report.contains(QStringLiteral("<tr><td>4<td>")));
    EXPECT_EQ(dialog.markState(3), -1);
    EXPECT_EQ(dialog.markState(4), -1);
    EXPECT_FALSE(dialog.resultText(3).isEmpty());
    EXPECT_EQ(dialog.button(IDOK)->text(), Text(u"Пуск"));
}

TEST_F(TestDlgTest, RepairsOfRootsAndOidsMarkTheirStepsPassedAndChangeTheReport) {
    auto window = open();
    m_messages.clear();
    CTest dialog(window.get(), false);
    dialog.show();
    runToEnd(dialog);
    EXPECT_EQ(dialog.resultText(1),
              Text(u"Не установлено 1 шт., их отпечатки: ") + TestAuthority().thumbprint);
    EXPECT_EQ(dialog.markState(1), 0);
    EXPECT_EQ(dialog.resultText(2), Text(u"Не зарегистрировано 86 OID-ов"));
    EXPECT_EQ(dialog.markState(2), 0);
    for (int id : {IDC_TEST_FIX_ROOTS, IDC_TEST_FIX_OIDS}) {
        EXPECT_FALSE(dialog.button(id)->isHidden()) << id;
        EXPECT_TRUE(dialog.button(id)->isEnabled()) << id;
    }
    EXPECT_TRUE(dialog.buildReport().contains(dialog.resultText(1)));

    dialog.button(IDC_TEST_FIX_ROOTS)->click();
    EXPECT_GE(m_messages.count(), 1u);
    EXPECT_EQ(dialog.markState(1), 1);
    EXPECT_TRUE(dialog.button(IDC_TEST_FIX_ROOTS)->isHidden());
    EXPECT_EQ(dialog.resultText(1), Text(u"Все установлены"));

    dialog.button(IDC_TEST_FIX_OIDS)->click();
    EXPECT_EQ(dialog.markState(2), 1);
    EXPECT_TRUE(dialog.button(IDC_TEST_FIX_OIDS)->isHidden());
    EXPECT_EQ(window->m_unregisteredOids, 0);
    const QString report = dialog.buildReport();
    EXPECT_TRUE(report.contains(Text(u"Корневые сертификаты УЦ ООО «Зорнавелиста»<td>Все установлены<td>")));
    EXPECT_TRUE(report.contains(Text(u"OID-ы УЦ ООО «Зорнавелиста»<td>Все зарегистрированы<td>")));
}

TEST_F(TestDlgTest, OidRepairWithoutAdministratorOnlyOffersTheRestart) {
    VskTest::EnvGuard user{"KESTROVAN_ADMIN", "0"};
    Vsk::Utils::ForgetCurrentUserAdmin();
    auto window = open();
    CTest dialog(window.get(), false);
    dialog.show();
    runToEnd(dialog);
    m_messages.clear();
    dialog.button(IDC_TEST_FIX_OIDS)->click();
    ASSERT_EQ(m_messages.count(), 1u);
    EXPECT_EQ(m_messages.messages()[0].caption, u"Регистрация OID-ов ООО «Зорнавелиста»");
    EXPECT_EQ(m_messages.messages()[0].text,
              u"Для регистрации OID-ов необходимо запустить эту программу с правами администратора!");
    EXPECT_EQ(dialog.markState(2), 0);
    EXPECT_NE(window->m_unregisteredOids, 0);
}

TEST_F(TestDlgTest, KeyContainerModeEscapesNamesAndTheCertificateRepairStartsANewRun) {
    const WithCertificate made = makeWithCertificate(u"amp", "<b>& User");
    ASSERT_TRUE(made.container.ok);
    auto window = open();
    ShowGostContainers(*window);
    SelectRows(*window, {u"amp"});
    CTest dialog(window.get(), true);
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), Text(u"Тест ключевого контейнера \"amp\""));
    for (int step = 1; step <= 3; ++step) EXPECT_FALSE(dialog.label(step)->isEnabled());
    EXPECT_TRUE(dialog.label(12)->isHidden());

    runToEnd(dialog);
    EXPECT_EQ(dialog.progressBar()->maximum(), 7);
    EXPECT_EQ(dialog.progressBar()->value(), 7);
    const QString thumbprint = QString::fromLatin1(load(made.der).get_Thumbprint().c_str());
    EXPECT_EQ(dialog.resultText(4), Text(u"Сертификат \"<b>& User\" (отпечаток ") + thumbprint +
                                        Text(u") в выбранном ключевом контейнере \"amp\".\r\nСертификат "
                                             u"отсутствует в хранилище Личные!"));
    EXPECT_EQ(dialog.markState(4), 0);
    EXPECT_EQ(dialog.markState(12), -1);
    EXPECT_FALSE(dialog.button(IDC_TEST_FIX_CERT)->isHidden());
    QString report = dialog.buildReport();
    EXPECT_TRUE(report.contains(Text(u"<caption>Тестирование ключевого контейнера \"amp\"</caption>")));
    EXPECT_TRUE(report.contains(QStringLiteral("&lt;b&gt;&amp; User")));
    EXPECT_FALSE(report.contains(QStringLiteral("<b>")));
    EXPECT_FALSE(report.contains(QStringLiteral("<tr><td>0<td>")));
    EXPECT_FALSE(report.contains(QStringLiteral("<tr><td>3<td>")));
    EXPECT_FALSE(report.contains(QStringLiteral("<tr><td>12<td>")));
    // The viewer shows the datum as text, not as mark-up.
    {
        CHtmlViewDlg viewer(report, Text(u"Отчет тестирования криптосистемы"), &dialog);
        viewer.show();
        EXPECT_TRUE(viewer.view()->toPlainText().contains(QStringLiteral("<b>& User")));
    }

    // The repair installs the stored certificate bound to the container and runs again: step 4 passes.
    dialog.button(IDC_TEST_FIX_CERT)->click();
    EXPECT_TRUE(dialog.isRunning());
    APP_WAIT_TRUE(!dialog.isRunning());
    EXPECT_EQ(dialog.markState(4), 1) << dialog.resultText(4).toStdString();
    EXPECT_TRUE(dialog.resultText(4).endsWith(Text(u"\r\nОшибок не обнаружено")));
    EXPECT_TRUE(
        dialog.resultText(4).contains(Text(u"соответствующий выбранному ключевому контейнеру \"amp\".")));
    EXPECT_TRUE(dialog.button(IDC_TEST_FIX_CERT)->isHidden());
}

TEST_F(TestDlgTest, ViewerSavesUtf16WithByteOrderMarkAndPrintsToPdf) {
    auto window = open();
    CTest dialog(window.get(), false);
    dialog.show();
    runToEnd(dialog);
    const QString html = dialog.buildReport();
    CHtmlViewDlg viewer(html, Text(u"Отчет тестирования криптосистемы"), &dialog);
    viewer.show();
    EXPECT_EQ(viewer.size(), QSize(800, 600));
    // Save left, Print in the middle, Close right, 30 pixels above the bottom.
    const QPushButton* save = viewer.findChild<QPushButton*>(QStringLiteral("id_32791"));
    const QPushButton* print = viewer.findChild<QPushButton*>(QStringLiteral("id_32792"));
    const QPushButton* close = viewer.findChild<QPushButton*>(QStringLiteral("id_2"));
    EXPECT_EQ(save->y(), 570);
    EXPECT_EQ(print->y(), 570);
    EXPECT_EQ(close->x() + close->width(), 790);
    EXPECT_EQ(print->x() + print->width() / 2, 400);

    ImportExportFixtures::FileDialogs files;
    const fs::path saved = fs::path(CertFixture::folder()) / "report.htm";
    files.answer(saved.u16string());
    viewer.findChild<QPushButton*>(QStringLiteral("id_32791"))->click();
    ASSERT_EQ(files.requests().size(), 1u);
    QFile file(QString::fromStdString(saved.string()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_GE(bytes.size(), 2);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xFE);
    EXPECT_EQ(
        QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData() + 2), (bytes.size() - 2) / 2),
        html);

    // A cancelled save dialog says so under "Сохранение".
    m_messages.clear();
    viewer.findChild<QPushButton*>(QStringLiteral("id_32791"))->click();
    ASSERT_EQ(m_messages.count(), 1u);
    EXPECT_EQ(m_messages.messages()[0].caption, u"Сохранение");
    EXPECT_TRUE(m_messages.messages()[0].text.starts_with(u"Файл не выбран."));

    const QString pdf = QString::fromStdString((fs::path(CertFixture::folder()) / "report.pdf").string());
    CHtmlViewDlg::SetPdfOutputForTests(pdf);
    viewer.findChild<QPushButton*>(QStringLiteral("id_32792"))->click();
    CHtmlViewDlg::SetPdfOutputForTests(QString());
    QFile printed(pdf);
    ASSERT_TRUE(printed.open(QIODevice::ReadOnly));
    EXPECT_TRUE(printed.readAll().startsWith("%PDF"));
}

TEST_F(TestDlgTest, WindowCommandsOpenTheDialogInTheirModes) {
    auto window = open();
    const struct {
        int command;
        bool keyContainerMode;
    } cases[] = {{CMD_TEST, false}, {CMD_TEST_KEY_CONT, true}};
    for (const auto& c : cases) {
        bool seen = false;
        bool label12Hidden = false;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<CTest*>(QApplication::activeModalWidget());
            if (!dialog) return;
            seen = true;
            label12Hidden = dialog->label(12)->isHidden();
            // Esc when idle closes the dialog.
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        window->runCommand(c.command);
        EXPECT_TRUE(seen) << c.command;
        EXPECT_EQ(label12Hidden, c.keyContainerMode) << c.command;
    }
    EXPECT_EQ(m_messages.count(), 0u);
}

TEST(TestReportTest, EscapesEveryMarkupCharacter) {
    EXPECT_EQ(htmlEscape(QStringLiteral("<b>&\"x'</b>")), QStringLiteral("&lt;b&gt;&amp;&quot;x'&lt;/b&gt;"));
    EXPECT_EQ(htmlEscape(Text(u"Все установлены")), Text(u"Все установлены"));
}

}  // namespace
