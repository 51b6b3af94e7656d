// Deletion of the selected rows: the certificate question (expiry, key link), several rows from the last
// upwards, CRLs without a question, key containers with Yes/No/Cancel and the token PIN of a smart-card
// container, and deletions while the certificate-status worker goes through the same list.
#include "commandFixtures.h"
#include "importExportFixtures.h"
#include "propertiesFixtures.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <openssl/sha.h>

using namespace AppTest;
using namespace ImportExportFixtures;
using ContainerFixtures::FindRow;
using PropertiesFixtures::WithModalDialogs;

namespace {

const NodeId MY = reinterpret_cast<NodeId>(StoreMY);
const std::u16string CertificateCaption = u"Подтверждение удаления сертификата";
const std::u16string ContainerCaption = u"Подтверждение удаления ключевого контейнера";

std::u16string Thumbprint(const ListFixture::Der& der) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(der.data(), der.size(), digest);
    static const char digits[] = "0123456789ABCDEF";
    std::u16string text;
    for (unsigned char c : digest) {
        text += static_cast<char16_t>(digits[c >> 4]);
        text += static_cast<char16_t>(digits[c & 15]);
    }
    return text;
}

QStringList Names(const CKestrovanDlg& window) {
    QStringList names;
    for (int i = 0; i < window.listCount(); ++i) names << window.listItem(i)->text(0);
    return names;
}

int RowOf(CKestrovanDlg& window, const QString& name) {
    return Names(window).indexOf(name);
}

bool StatusesDone(CKestrovanDlg& window, int count) {
    return QTest::qWaitFor(
        [&] {
            for (int i = 0; i < window.listCount(); ++i)
                if (window.listItem(i)->text(4) == QStringLiteral("?")) return false;
            return window.statusText()->text() == Text(u"Сертификатов: %1 шт.").arg(count);
        },
        30000);
}

class DeletionTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetOptions(OPTION_NO_START_CHECK);
        m_window = ShowWindow();
        ASSERT_TRUE(WaitForInit(*m_window));
        m_messages.clear();
    }
    void TearDown() override { m_window.reset(); }

    FreshRoot m_root;
    MessageRecorder m_messages;
    std::unique_ptr<CKestrovanDlg> m_window;
};

// The question says whether the certificate has expired and whether it is linked with a private key;
// No keeps it.
TEST_F(DeletionTest, CertificateQuestionTellsExpiryAndKeyLink) {
    const struct {
        const char* name;
        long long notAfter;
        bool linked;
        std::u16string says;
    } cases[] = {
        {"Expired Plain", -ListFixture::Hour, false, u") просрочен."},
        {"Valid Linked", 30 * ListFixture::Day, true, u") не просрочен!\nИ имеет связь с закрытым ключом."},
        {"Expired Linked", -ListFixture::Day, true, u") просрочен.\nИ имеет связь с закрытым ключом."},
    };
    std::vector<ListFixture::Der> ders;
    for (const auto& c : cases) {
        ders.push_back(ListFixture::Make({c.name, -2 * ListFixture::Day, c.notAfter}));
        ListFixture::AddToStore(u"MY", ders.back(), c.linked ? u"some-container" : nullptr);
    }
    SelectNode(*m_window, MY);
    ASSERT_EQ(m_window->listCount(), 3);
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        m_messages.clear();
        m_messages.answer(IDNO);
        SelectRows(*m_window, {RowOf(*m_window, QString::fromLatin1(cases[i].name))});
        m_window->runCommand(CMD_DELETE);
        const std::vector<Message> messages = m_messages.messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].caption, CertificateCaption);
        EXPECT_EQ(messages[0].type, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2));
        EXPECT_EQ(messages[0].text, u"Сертификат \"" + VskTest::Utf16(cases[i].name) + u"\" (отпечаток " +
                                        Thumbprint(ders[i]) + cases[i].says +
                                        u"\nВы действительно хотите удалить этот сертификат?");
        EXPECT_EQ(m_window->listCount(), 3);
    }
    EXPECT_EQ(StoreCertificates(StoreMY).getCount(), 3u);
}

// Three rows are asked from the last upwards; No on the middle one keeps it and the first still goes.
TEST_F(DeletionTest, ThreeRowsFromTheLastUpwardsWithNoForTheMiddle) {
    for (const char* name : {"Row A", "Row B", "Row C"})
        ListFixture::AddToStore(u"MY", ListFixture::Make({name}));
    SelectNode(*m_window, MY);
    const QStringList names = Names(*m_window);
    ASSERT_EQ(names.size(), 3);
    SelectRows(*m_window, {0, 1, 2});
    m_messages.answer(IDYES);
    m_messages.answer(IDNO);
    m_messages.answer(IDYES);
    m_window->runCommand(CMD_DELETE);
    const std::vector<Message> messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(
            messages[static_cast<size_t>(i)].text.find(u"Сертификат \"" + names[2 - i].toStdU16String()), 0u)
            << i;
    EXPECT_EQ(Names(*m_window), QStringList({names[1]}));
    EXPECT_EQ(m_window->m_certList->size(), 1u);
    const auto all = StoreCertificates(StoreMY);
    ASSERT_EQ(all.getCount(), 1u);
    EXPECT_EQ(Text(all[0].get_SubjectShortName().toU16().c_str()), names[1]);
    EXPECT_TRUE(StatusesDone(*m_window, 1));
}

TEST_F(DeletionTest, CrlIsDeletedWithoutAQuestion) {
    ListFixture::Authority authority("Deletion CRL Issuer");
    ListFixture::AddCrlToStore(u"CA", authority.crl(-ListFixture::Hour, 7 * ListFixture::Day));
    SelectNode(*m_window, NODE_CRLS);
    ASSERT_EQ(m_window->listCount(), 1);
    SelectRows(*m_window, {0});
    m_window->runCommand(CMD_DELETE);
    EXPECT_EQ(m_messages.count(), 0u);
    EXPECT_EQ(m_window->listCount(), 0);
    EXPECT_TRUE(m_window->m_crlList.empty());
    EXPECT_EQ(m_window->statusText()->text(), Text(u"Списков отозванных сертификатов: 0 шт."));
    Vsk::PKI::CStore ca(true);
    ca.Open(StoreCA, STORE_LOCATION_USER);
    Vsk::Utils::CArray<Vsk::PKI::CCrl> crls;
    ca.GetCrls(&crls);
    EXPECT_EQ(crls.getCount(), 0u);
}

// Yes deletes, No keeps, Cancel stops the whole deletion; the question names the container's
// certificate when it holds one.
TEST_F(DeletionTest, KeyContainersWithYesNoAndCancel) {
    const ContainerFixtures::WithCertificate held = ContainerFixtures::makeWithCertificate(u"del-a", "del-a");
    ASSERT_TRUE(held.container.ok);
    for (const char16_t* name : {u"del-b", u"del-c", u"del-d"})
        ASSERT_TRUE(ContainerFixtures::makeContainer(name).ok);
    ContainerFixtures::ShowGostContainers(*m_window);
    ASSERT_EQ(m_window->listCount(), 4);
    m_messages.clear();

    // Rows of a, b, c selected: asked from the last row up; the middle one answered No.
    std::vector<int> rows;
    for (const char16_t* name : {u"del-a", u"del-b", u"del-c"})
        rows.push_back(m_window->list()->indexOfTopLevelItem(FindRow(*m_window, name)));
    SelectRows(*m_window, rows);
    std::sort(rows.rbegin(), rows.rend());
    m_messages.answer(IDYES);
    m_messages.answer(IDNO);
    m_messages.answer(IDYES);
    m_window->runCommand(CMD_DELETE);
    std::vector<Message> messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 3u);
    QStringList asked;
    for (const Message& message : messages) {
        EXPECT_EQ(message.caption, ContainerCaption);
        EXPECT_EQ(message.type, 0x123u);
        asked << QString::fromStdU16String(message.text);
    }
    for (size_t i = 0; i < 3; ++i) {
        const QString name = asked[static_cast<int>(i)].section(QLatin1Char('"'), 1, 1);
        if (name == QStringLiteral("del-a"))
            EXPECT_EQ(asked[static_cast<int>(i)],
                      Text(u"Вы действительно хотите удалить ключевой контейнер \"del-a\"?\n\nСертификат в "
                           u"контейнере: ") +
                          ContainerFixtures::LocalDateOf(held.der, "startdate") + QStringLiteral(" - ") +
                          ContainerFixtures::LocalDateOf(held.der, "enddate") + QStringLiteral(", del-a"));
        else
            EXPECT_EQ(asked[static_cast<int>(i)],
                      Text(u"Вы действительно хотите удалить ключевой контейнер \"") + name +
                          QStringLiteral("\"?"));
    }
    const QString middle = asked[1].section(QLatin1Char('"'), 1, 1);
    EXPECT_EQ(m_window->listCount(), 2);
    EXPECT_NE(FindRow(*m_window, middle.toStdU16String()), nullptr);
    EXPECT_NE(FindRow(*m_window, u"del-d"), nullptr);
    EXPECT_EQ(m_window->m_keyContList.size(), 2u);
    EXPECT_EQ(m_window->statusText()->text(), Text(u"Ключевых контейнеров: 2 шт."));
    EXPECT_EQ(CommandFixtures::listContainers().getCount(), 2u);

    // Both rows selected: Yes for the last, Cancel for the first.
    m_messages.clear();
    SelectRows(*m_window, {0, 1});
    const QString last = m_window->listItem(1)->text(0);
    m_messages.answer(IDYES);
    m_messages.answer(IDCANCEL);
    m_messages.answer(IDYES);
    m_window->runCommand(CMD_DELETE);
    EXPECT_EQ(m_messages.count(), 2u);
    EXPECT_EQ(m_window->listCount(), 1);
    EXPECT_EQ(FindRow(*m_window, last.toStdU16String()), nullptr);
    EXPECT_EQ(CommandFixtures::listContainers().getCount(), 1u);
}

// A container on a smart card (unique name "scard\...", any case) asks for the token's PIN until the
// container has a password; Cancel there stops the deletion.
TEST_F(DeletionTest, SmartCardContainerAsksForTheTokenPin) {
    ContainerFixtures::FakeProvidersGuard fake(
        "[provider]\ntype = 80\nname = Card Provider\ncontainer = card scard\\reader\\card\n");
    // A window of these providers; their listed containers hold no keys: no filtering by key.
    m_window.reset();
    SetOptions(OPTION_NO_START_CHECK | OPTION_NO_CONTAINER_CERTS);
    m_window = ShowWindow();
    ASSERT_TRUE(WaitForInit(*m_window));
    ContainerFixtures::ShowGostContainers(*m_window);
    ASSERT_EQ(m_window->listCount(), 1);
    ASSERT_EQ(m_window->m_keyContList.front().get_UniqueName().toU16(), u"scard\\reader\\card");
    VskTest::LogCapture log(5);

    const struct {
        bool ok;
        bool pinAsked;
        size_t messages;  // the question, and the failing deletion of the fake provider
    } rounds[] = {{false, true, 1}, {true, true, 2}, {true, false, 2}};
    for (const auto& round : rounds) {
        SCOPED_TRACE(std::to_string(round.ok) + std::to_string(round.pinAsked));
        m_messages.clear();
        SelectRows(*m_window, {0});
        QString prompt, title;
        WithModalDialogs(
            [&] { m_window->runCommand(CMD_DELETE); },
            [&](QWidget* dialog) {
                if (dialog->objectName() != QStringLiteral("id_191")) return;
                prompt = dialog->findChild<QLabel*>(QStringLiteral("id_1128"))->text();
                title = dialog->windowTitle();
                dialog->findChild<QLineEdit*>(QStringLiteral("id_1012"))->setText(QStringLiteral("pin-zq4321"));
                dialog->findChild<QPushButton*>(QString::fromLatin1(round.ok ? "id_1" : "id_2"))->click();
            });
        if (round.pinAsked) {
            EXPECT_EQ(prompt, Text(u"Для удаления ключевого контейнера \"card\"\r\nВведите ПИН токена"));
            EXPECT_EQ(title, Text(u"Кестрован"));
        } else {
            EXPECT_TRUE(prompt.isEmpty());
        }
        const std::vector<Message> messages = m_messages.messages();
        ASSERT_EQ(messages.size(), round.messages);
        EXPECT_EQ(messages[0].caption, ContainerCaption);
        if (messages.size() > 1) {
            EXPECT_EQ(messages[1].caption, u"Удаление");
            EXPECT_EQ(messages[1].type, MB_ICONERROR);
            EXPECT_EQ(messages[1].text.find(u"pin-zq4321"), std::u16string::npos);
        }
        EXPECT_EQ(m_window->m_keyContList.front().hasKeysetPassword(), round.ok);
        EXPECT_EQ(m_window->listCount(), 1);
    }
    EXPECT_EQ(log.count(u"pin-zq4321"), 0u);
}

// Deleting rows while the status worker goes through the same list: the worker is stopped first and
// started again for the rows that stay (the address sanitizer watches the list).
TEST_F(DeletionTest, DeletingWhileTheStatusWorkerRunsIsSafe) {
    constexpr int Count = 12;
    std::vector<ListFixture::Der> ders;
    for (int i = 0; i < Count; ++i) ders.push_back(ListFixture::Make({"Racing " + std::to_string(i)}));
    SelectNode(*m_window, MY);
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        for (const auto& der : ders) ListFixture::AddToStore(u"MY", der);
        m_window->refresh(false);
        ASSERT_EQ(m_window->listCount(), Count);
        // Into the list, past its first rows (a fast worker may also have finished).
        const QString midway = QStringLiteral(" (%1 из %2 шт.)").arg(3 + round % 6).arg(Count);
        (void)QTest::qWaitFor([&] { return m_window->statusText()->text().endsWith(midway); }, 5000);
        std::vector<int> odd;
        for (int i = 1; i < Count; i += 2) odd.push_back(i);
        SelectRows(*m_window, odd);
        m_window->runCommand(CMD_DELETE);
        ASSERT_EQ(m_window->listCount(), Count / 2);
        EXPECT_EQ(m_window->m_certList->size(), static_cast<size_t>(Count / 2));
        ASSERT_TRUE(StatusesDone(*m_window, Count / 2));
    }
    EXPECT_EQ(m_messages.count(), 50u * (Count / 2));
}

// A worker that outlives its wait keeps its list untouched: the window and its rows go on with a copy.
TEST_F(DeletionTest, AWorkerThatOutlivesItsWaitKeepsItsList) {
    std::vector<Vsk::PKI::CCertificate> certificates;
    for (const char* name : {"Kept One", "Gone", "Kept Two"}) {
        certificates.push_back(Load(ListFixture::Make({name})));
        CommandFixtures::install(certificates.back(), StoreMY, STORE_LOCATION_USER);
    }
    CommandFixtures::showCertificates(*m_window, MY, certificates);
    CommandFixtures::RunningWorker worker;
    m_window->m_statusThreadId = worker.id();
    m_window->m_statusThread = worker.give();
    const std::shared_ptr<CCertList> workersList = m_window->m_certList;
    SelectRows(*m_window, {1});
    m_window->runCommand(CMD_DELETE);
    worker.release();

    EXPECT_EQ(workersList->size(), 3u);
    ASSERT_NE(m_window->m_certList.get(), workersList.get());
    EXPECT_EQ(m_window->m_certList->size(), 2u);
    EXPECT_EQ(Names(*m_window), QStringList({QStringLiteral("Kept One"), QStringLiteral("Kept Two")}));
    for (int i = 0; i < m_window->listCount(); ++i) {
        const void* data = m_window->listItem(i)->itemData();
        bool inWindowsList = false;
        for (const auto& certificate : *m_window->m_certList) inWindowsList |= &certificate == data;
        EXPECT_TRUE(inWindowsList) << i;
    }
    EXPECT_EQ(StoreCertificates(StoreMY).getCount(), 2u);
    // A worker of its own gives the rows that stay their statuses.
    EXPECT_NE(m_window->m_statusThread, nullptr);
    EXPECT_TRUE(StatusesDone(*m_window, 2));
}

}  // namespace
