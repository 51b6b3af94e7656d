// Installing the certificates of key containers into "MY": one container (success, the replace
// question, a container without a certificate), several containers through the options dialog with
// its summary, and the certificate viewer of a container's certificate.
#include "containerFixtures.h"

#include <vsk/pki/Store.h>
#include <vsk/pki/TokenAsCsp.h>

#include <QCheckBox>
#include <QKeyEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <optional>

using namespace AppTest;
using namespace ContainerFixtures;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CStore;

namespace {

const std::u16string OneCaption = u"Установка сертификата из ключевого контейнера";
const std::u16string SeveralCaption = u"Установка сертификатов из ключевых контейнеров";

class InstallFromContainersTest : public ::testing::Test {
protected:
    std::unique_ptr<CKestrovanDlg> open(DWORD options = 0) {
        SetOptions(OPTION_NO_START_CHECK | options);
        auto window = ShowWindow();
        EXPECT_TRUE(WaitForInit(*window));
        ShowGostContainers(*window);
        m_messages.clear();
        return window;
    }

    FreshRoot m_root;
    MessageRecorder m_messages;
};

// The personal store's copy of the certificate; an empty handle when it is not there.
CCertificate inMy(const Vsk::Utils::CDataBlob& der) {
    CStore my;
    my.Open(StoreMY, STORE_LOCATION_USER);
    return my.FindCertificate(load(der));
}

size_t countMy() {
    CStore my;
    my.Open(StoreMY, STORE_LOCATION_USER);
    Vsk::Utils::CArray<CCertificate> all;
    my.GetCertificates(&all);
    return all.getCount();
}

// The certificate is in "MY" and bound to the container's key.
void expectBound(const WithCertificate& made) {
    const CCertificate stored = inMy(made.der);
    ASSERT_FALSE(stored.isNull());
    EXPECT_EQ(stored.get_ContainerName().toU16(),
              std::u16string(made.container.uniqueName.begin(), made.container.uniqueName.end()));
    EXPECT_EQ(stored.get_ProviderType(), GostType);
    EXPECT_TRUE(stored.get_HasPrivateKey(false));
    EXPECT_TRUE(stored.get_HasPrivateKey(true));
}

// Puts the certificate into "MY" without its key.
void installUnbound(const Vsk::Utils::CDataBlob& der) {
    CStore my;
    my.Open(StoreMY, STORE_LOCATION_USER);
    const CCertificate old = my.FindCertificate(load(der));
    if (!old.isNull()) my.DeleteCertificate(old);
    ASSERT_TRUE(my.InstallCertificate(load(der), CERT_STORE_ADD_ALWAYS));
    ASSERT_FALSE(inMy(der).get_HasPrivateKey(false));
}

// What the options dialog showed, and the answer given to it.
struct SetsAnswer {
    bool onlyValid = true;
    bool replace = false;
    bool ok = true;
    // Run right after the dialog was answered (events it posts arrive during the installations).
    std::function<void()> afterAnswer;
};
struct SetsSeen {
    bool shown = false;
    QString objectName;
    QString title;
    bool iconSet = false;
    bool onlyValidChecked = false;
    bool replaceChecked = true;
    QString onlyValidText;
    QString replaceText;
    QString okText;
    QString cancelText;
    QSize size;
};

// Answers the options dialog once it is shown (polling, since it opens inside the command).
void answerSets(const SetsAnswer& answer, SetsSeen* seen) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, tries, answer, seen] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog || !dialog->findChild<QCheckBox*>(QStringLiteral("id_1070"))) {
            if (++*tries > 1000) timer->deleteLater();
            return;
        }
        timer->stop();
        timer->deleteLater();
        auto* onlyValid = dialog->findChild<QCheckBox*>(QStringLiteral("id_1070"));
        auto* replace = dialog->findChild<QCheckBox*>(QStringLiteral("id_1071"));
        auto* ok = dialog->findChild<QPushButton*>(QStringLiteral("id_1"));
        auto* cancel = dialog->findChild<QPushButton*>(QStringLiteral("id_2"));
        if (!replace || !ok || !cancel) return;
        seen->shown = true;
        seen->objectName = dialog->objectName();
        seen->title = dialog->windowTitle();
        seen->iconSet = !dialog->windowIcon().isNull();
        seen->onlyValidChecked = onlyValid->isChecked();
        seen->replaceChecked = replace->isChecked();
        seen->onlyValidText = onlyValid->text();
        seen->replaceText = replace->text();
        seen->okText = ok->text();
        seen->cancelText = cancel->text();
        seen->size = dialog->size();
        onlyValid->setChecked(answer.onlyValid);
        replace->setChecked(answer.replace);
        (answer.ok ? ok : cancel)->click();
        if (answer.afterAnswer) answer.afterAnswer();
    });
    timer->start();
}

// Runs the command on exactly these rows, answering the options dialog when there are several.
SetsSeen install(CKestrovanDlg& window, const std::vector<std::u16string>& names,
                 const SetsAnswer& answer = {}) {
    SetsSeen seen;
    SelectRows(window, names);
    if (names.size() > 1) answerSets(answer, &seen);
    window.runCommand(CMD_CERT_FROM_KEY_CONT);
    return seen;
}

TEST_F(InstallFromContainersTest, OneContainerInstallsBoundAndAsksBeforeReplacing) {
    const WithCertificate road = makeWithCertificate(u"road", "Road User");
    ASSERT_TRUE(road.container.ok);
    auto window = open();
    const size_t before = countMy();

    window->m_openStore.Open(StoreMY, STORE_LOCATION_USER);
    install(*window, {u"road"});
    std::vector<Message> messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, OneCaption);
    EXPECT_EQ(messages[0].text,
              u"Сертификат \"Road User\" был успешно установлен из ключевого контейнера \"road\"!");
    EXPECT_EQ(messages[0].type, MB_ICONINFORMATION);
    expectBound(road);
    EXPECT_EQ(countMy(), before + 1);
    // The window's open store is closed so that no list cached from it is used again.
    EXPECT_FALSE(window->m_openStore.isOpened());

    // Already there (here without its key): "No" changes nothing and shows nothing more.
    installUnbound(road.der);
    m_messages.clear();
    m_messages.answer(IDNO);
    window->m_openStore.Open(StoreMY, STORE_LOCATION_USER);
    install(*window, {u"road"});
    messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, OneCaption);
    EXPECT_EQ(messages[0].text,
              u"В хранилище Личные уже установлен сертификат \"Road User\", заменить сертификат?");
    EXPECT_EQ(messages[0].type, MB_YESNO | MB_ICONQUESTION);
    EXPECT_EQ(messages[0].type, 0x24u);
    EXPECT_FALSE(inMy(road.der).get_HasPrivateKey(false));
    EXPECT_EQ(countMy(), before + 1);
    EXPECT_FALSE(window->m_openStore.isOpened());

    // "Yes" replaces the copy with the bound one.
    m_messages.clear();
    m_messages.answer(IDYES);
    install(*window, {u"road"});
    messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].type, 0x24u);
    EXPECT_EQ(messages[1].text,
              u"Сертификат \"Road User\" был успешно установлен из ключевого контейнера \"road\"!");
    expectBound(road);
    EXPECT_EQ(countMy(), before + 1);

    // The rows still show the certificate; nothing was refilled.
    EXPECT_EQ(FindRow(*window, u"road")->text(1), Text(u"Road User"));
}

// Without a stored certificate: the error, also when option 0x100 lists the personal store's one;
// the open store stays open after an error.
TEST_F(InstallFromContainersTest, ContainerWithoutCertificate) {
    const Made empty = makeContainer(u"empty");
    ASSERT_TRUE(empty.ok);
    installUnbound(issue(empty.publicPem, "Empty In My"));
    for (const DWORD options : {DWORD{0}, OPTION_FIND_IN_MY}) {
        SCOPED_TRACE(options);
        auto window = open(options);
        EXPECT_EQ(FindRow(*window, u"empty")->text(1), Text(options ? u"Empty In My" : u"—"));
        window->m_openStore.Open(StoreMY, STORE_LOCATION_USER);
        const size_t before = countMy();
        install(*window, {u"empty"});
        const std::vector<Message> messages = m_messages.messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].caption, OneCaption);
        const std::u16string expected = u"В ключевом контейнере \"empty\" отсутствует сертификат!";
        EXPECT_EQ(messages[0].text.substr(0, expected.size()), expected);
        EXPECT_EQ(messages[0].type, MB_ICONERROR);
        EXPECT_EQ(countMy(), before);
        EXPECT_TRUE(window->m_openStore.isOpened());
        m_messages.clear();
    }
}

TEST_F(InstallFromContainersTest, OptionsDialogTemplate) {
    CCertsInstallSets sets(nullptr);
    EXPECT_EQ(sets.objectName(), QStringLiteral("id_183"));
    EXPECT_EQ(sets.windowTitle(), Text(u"Настройки установки сертификатов"));
    EXPECT_FALSE(sets.m_onlyValid);
    EXPECT_FALSE(sets.m_replace);
    auto* onlyValid = sets.findChild<QCheckBox*>(QStringLiteral("id_1070"));
    auto* replace = sets.findChild<QCheckBox*>(QStringLiteral("id_1071"));
    ASSERT_TRUE(onlyValid && replace);
    EXPECT_EQ(onlyValid->text(), Text(u"Только действующие сертификаты"));
    EXPECT_EQ(replace->text(), Text(u"Заменять, если сертификат уже установлен"));
    EXPECT_TRUE(onlyValid->isChecked());
    EXPECT_FALSE(replace->isChecked());
    EXPECT_EQ(sets.findChild<QPushButton*>(QStringLiteral("id_1"))->text(), QStringLiteral("OK"));
    EXPECT_EQ(sets.findChild<QPushButton*>(QStringLiteral("id_2"))->text(), Text(u"Отмена"));
    EXPECT_EQ(!sets.windowIcon().isNull(), HasIcon(168));
    EXPECT_GE(sets.width(), 279);
    EXPECT_GE(sets.height(), 109);

    // OK takes both boxes.
    onlyValid->setChecked(false);
    replace->setChecked(true);
    sets.OnBnClickedOk();
    EXPECT_EQ(sets.result(), IDOK);
    EXPECT_FALSE(sets.m_onlyValid);
    EXPECT_TRUE(sets.m_replace);
}

// Several containers: the options dialog, then one summary.
TEST_F(InstallFromContainersTest, SeveralContainersSummaries) {
    const WithCertificate one = makeWithCertificate(u"one", "One User");
    const WithCertificate two = makeWithCertificate(u"two", "Two User");
    const Made none = makeContainer(u"none");
    // A key whose use ended: skipped when only valid certificates are installed.
    const WithCertificate old = makeWithCertificate(u"old", "Old Key User", "20200101000000Z");
    // A container deleted after the list was read: its installation fails.
    const WithCertificate doomed = makeWithCertificate(u"doomed", "Doomed User");
    ASSERT_TRUE(one.container.ok && two.container.ok && none.ok && old.container.ok && doomed.container.ok);

    auto window = open();
    deleteContainer(u"doomed");
    const struct Row {
        const char* what;
        std::vector<std::u16string> names;
        SetsAnswer answer;
        std::u16string text;  // empty: no summary
        UINT icon;
        size_t added;
    } rows[] = {
        {"two fresh", {u"one", u"two"}, {}, u"Успешно установлено сертификатов: 2", MB_ICONINFORMATION, 2},
        {"cancel", {u"one", u"two"}, {true, true, false}, u"", 0, 0},
        {"both there, no replace",
         {u"one", u"two"},
         {},
         u"Успешно установлено сертификатов: 0\n\nНе установлено сертификатов: 2",
         MB_ICONINFORMATION,
         0},
        {"both there, replace",
         {u"one", u"two"},
         {true, true, true},
         u"Успешно установлено сертификатов: 2",
         MB_ICONINFORMATION,
         0},
        {"one without a certificate",
         {u"one", u"none"},
         {true, true, true},
         u"Успешно установлено сертификатов: 1\n\nНе установлено сертификатов: 1",
         MB_ICONINFORMATION,
         0},
        {"only valid",
         {u"one", u"old"},
         {true, true, true},
         u"Успешно установлено сертификатов: 1\n\nНе установлено сертификатов: 1",
         MB_ICONINFORMATION,
         0},
        {"also expired keys",
         {u"one", u"old"},
         {false, true, true},
         u"Успешно установлено сертификатов: 2",
         MB_ICONINFORMATION,
         1},
        {"a failure",
         {u"one", u"doomed"},
         {true, true, true},
         u"Успешно установлено сертификатов: 1\n\nНе установлено сертификатов: 1\n\nПоследняя ошибка: ",
         MB_ICONERROR,
         0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        m_messages.clear();
        const size_t before = countMy();
        window->m_openStore.Open(StoreMY, STORE_LOCATION_USER);
        const SetsSeen seen = install(*window, row.names, row.answer);
        ASSERT_TRUE(seen.shown);
        EXPECT_EQ(seen.objectName, QStringLiteral("id_183"));
        EXPECT_EQ(seen.title, Text(u"Настройки установки сертификатов"));
        EXPECT_EQ(seen.iconSet, HasIcon(168));
        EXPECT_TRUE(seen.onlyValidChecked);
        EXPECT_FALSE(seen.replaceChecked);
        EXPECT_EQ(countMy(), before + row.added);
        const std::vector<Message> messages = m_messages.messages();
        if (row.text.empty()) {
            EXPECT_TRUE(messages.empty());
            EXPECT_TRUE(window->m_openStore.isOpened());
            continue;
        }
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].caption, SeveralCaption);
        EXPECT_EQ(messages[0].type, row.icon);
        if (row.icon == MB_ICONERROR) {
            // The library's text of the failure follows.
            EXPECT_EQ(messages[0].text.substr(0, row.text.size()), row.text);
            EXPECT_GT(messages[0].text.size(), row.text.size());
        } else {
            EXPECT_EQ(messages[0].text, row.text);
        }
        EXPECT_FALSE(window->m_openStore.isOpened());
        EXPECT_FALSE(window->progressBar()->isVisible());
        EXPECT_EQ(window->statusText()->text(), Text(u"Ключевых контейнеров: 5 шт."));
    }
    expectBound(one);
    expectBound(two);
    expectBound(old);
    EXPECT_TRUE(inMy(doomed.der).isNull());
}

// Esc and a token change during the installations stop nothing; the token change waits until the
// command ends, then the node is read again.
TEST_F(InstallFromContainersTest, EventsDuringSeveralInstallations) {
    const WithCertificate first = makeWithCertificate(u"first", "First User");
    const WithCertificate second = makeWithCertificate(u"second", "Second User");
    ASSERT_TRUE(first.container.ok && second.container.ok);
    auto window = open();
    QTreeWidget* list = window->list();
    SetsAnswer answer;
    answer.afterAnswer = [list] {
        QCoreApplication::postEvent(list, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
        QCoreApplication::postEvent(list, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier));
        Vsk::PKI::notifyTokenRefresh();
    };
    const SetsSeen seen = install(*window, {u"first", u"second"}, answer);
    ASSERT_TRUE(seen.shown);
    const std::vector<Message> messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, u"Успешно установлено сертификатов: 2");
    EXPECT_EQ(messages[0].type, MB_ICONINFORMATION);
    expectBound(first);
    expectBound(second);

    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(window->m_keyContBusy, 0);
    EXPECT_FALSE(window->m_tokenRefreshPending);
    ASSERT_EQ(window->listCount(), 2);
    EXPECT_EQ(window->listItem(0)->text(4).isEmpty(), false);
    EXPECT_EQ(window->selectedCount(), 0);
}

// The computer location lists the computer's containers and installs into the computer's "MY".
TEST_F(InstallFromContainersTest, ComputerLocation) {
    m_root.set("KESTROVAN_ADMIN", "1");
    const WithCertificate machine = makeWithCertificate(u"machine-road", "Machine User", {}, true);
    const WithCertificate user = makeWithCertificate(u"user-road", "User Road");
    ASSERT_TRUE(machine.container.ok && user.container.ok);
    SetOptions(OPTION_NO_START_CHECK);
    auto window = ShowWindow();
    ASSERT_TRUE(WaitForInit(*window));
    window->command(CMD_LOCATION_MACHINE)->setChecked(true);
    ShowGostContainers(*window);
    ASSERT_EQ(window->listCount(), 1);
    EXPECT_EQ(FindRow(*window, u"machine-road")->text(1), Text(u"Machine User"));
    m_messages.clear();

    install(*window, {u"machine-road"});
    const std::vector<Message> messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(
        messages[0].text,
        u"Сертификат \"Machine User\" был успешно установлен из ключевого контейнера \"machine-road\"!");
    CStore my;
    my.Open(StoreMY, STORE_LOCATION_MACHINE);
    const CCertificate stored = my.FindCertificate(load(machine.der));
    ASSERT_FALSE(stored.isNull());
    EXPECT_EQ(stored.get_ContainerName().toU16(),
              std::u16string(machine.container.uniqueName.begin(), machine.container.uniqueName.end()));
    EXPECT_TRUE(stored.get_HasPrivateKey(true));
    EXPECT_TRUE(inMy(machine.der).isNull());
}

// The certificate viewer of the container's certificate: the stored one, else the personal store's
// one whatever the option bits say; nothing for a container without either.
TEST_F(InstallFromContainersTest, CertificateViewerOfAContainer) {
    const WithCertificate shown = makeWithCertificate(u"shown", "Shown User");
    const Made personal = makeContainer(u"personal");
    const Made nothing = makeContainer(u"nothing");
    ASSERT_TRUE(shown.container.ok && personal.ok && nothing.ok);
    installUnbound(issue(personal.publicPem, "Personal User"));
    auto window = open();

    const struct {
        const char16_t* name;
        bool viewer;
    } rows[] = {{u"shown", true}, {u"personal", true}, {u"nothing", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(Text(row.name).toStdString());
        SelectRows(*window, {row.name});
        bool viewerShown = false;
        auto* timer = new QTimer;
        timer->setInterval(10);
        QObject::connect(timer, &QTimer::timeout, [timer, &viewerShown] {
            if (QWidget* dialog = QApplication::activeModalWidget()) {
                viewerShown = true;
                dialog->close();
            }
        });
        timer->start();
        window->runCommand(CMD_PROP_CERT_CONT);
        timer->stop();
        delete timer;
        EXPECT_EQ(viewerShown, row.viewer);
        EXPECT_TRUE(m_messages.messages().empty());
    }
}

}  // namespace
