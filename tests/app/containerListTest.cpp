// The container node (provider selector, container rows with their texts read on demand, option bits
// 0x40 and 0x100, token changes) and the CRL node, on containers, stores and CRLs made at test time.
#include "certificates/storeFixtures.h"
#include "containerFixtures.h"

#include <vsk/pki/Crl.h>
#include <vsk/pki/Store.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/platform/windowMessages.h>

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>

using namespace AppTest;
using namespace ContainerFixtures;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CCrl;
using Vsk::PKI::CStore;

namespace {

const QString Dash = QStringLiteral(u"—");

class ContainerListTest : public ::testing::Test {
protected:
    // A window with the option bits, its initialisation ended and its messages so far forgotten.
    std::unique_ptr<CKestrovanDlg> open(DWORD options = 0) {
        SetOptions(OPTION_NO_START_CHECK | options);
        auto window = ShowWindow();
        EXPECT_TRUE(WaitForInit(*window));
        m_messages.clear();
        return window;
    }

    FreshRoot m_root;
    MessageRecorder m_messages;
};

QStringList headings(QTreeWidget* list) {
    QStringList texts;
    for (int i = 0; i < list->columnCount(); ++i) texts << list->headerItem()->text(i);
    return texts;
}

// The row shows the picture; without the program's pictures in the build, every picture is empty.
bool hasIcon(QTreeWidgetItem* row, const QIcon& icon) {
    if (!row) return false;
    if (!HasIcon(128)) return icon.isNull() && row->icon(0).isNull();
    return !icon.isNull() && row->icon(0).cacheKey() == icon.cacheKey();
}

// The texts of a row, columns 0 to 4.
QStringList rowTexts(QTreeWidgetItem* row) {
    QStringList texts;
    for (int column = 0; column < 5; ++column) texts << row->text(column);
    return texts;
}

TEST_F(ContainerListTest, SelectorAndRowsOfTheGostProvider) {
    const WithCertificate alpha = makeWithCertificate(u"alpha", "Alpha User");
    const Made bare = makeContainer(u"bare");
    const Made signing = makeContainer(u"signing", AT_SIGNATURE);
    ASSERT_TRUE(alpha.container.ok && bare.ok && signing.ok);

    auto window = open();
    ShowContainers(*window);
    EXPECT_FALSE(window->providerSelector()->isHidden());
    EXPECT_FALSE(window->findChild<QLabel*>(QStringLiteral("id_65535"))->isHidden());

    // One entry per installed provider, "<type> - <name>", in the order of the provider list; no
    // provider of type 75 is installed, so the first one is chosen.
    Vsk::Utils::CArray<Vsk::PKI::CCsp> providers;
    Vsk::PKI::CCsp::GetAllCspArr(providers);
    std::vector<QString> expected;
    for (const Vsk::PKI::CCsp& csp : providers)
        expected.push_back(QString::number(csp.get_Type()) + QStringLiteral(" - ") + toQ(csp.get_Name()));
    EXPECT_EQ(ProviderTexts(*window), expected);
    EXPECT_EQ(ProviderTexts(*window).size(), 3u);
    EXPECT_EQ(window->providerSelector()->currentIndex(), 0);
    EXPECT_EQ(window->m_selectedProvider, 0);

    ShowGostContainers(*window);
    EXPECT_EQ(window->m_selectedProvider, ProviderOfType(*window, GostType));
    EXPECT_EQ(headings(window->list()),
              QStringList({Text(u"Наименование контейнера"), Text(u"Сертификат в контейнере или хранилище"),
                           Text(u"Сертификат действителен с"), Text(u"Сертификат действителен по"),
                           Text(u"Уникальное наименование")}));

    // The signature-key container is not listed; the two exchange keys are, with their texts.
    EXPECT_EQ(window->m_keyContList.size(), 2u);
    ASSERT_EQ(window->listCount(), 2);
    EXPECT_EQ(window->statusText()->text(), Text(u"Ключевых контейнеров: 2 шт."));
    EXPECT_EQ(FindRow(*window, u"signing"), nullptr);
    QTreeWidgetItem* alphaRow = FindRow(*window, u"alpha");
    QTreeWidgetItem* bareRow = FindRow(*window, u"bare");
    ASSERT_TRUE(alphaRow && bareRow);
    EXPECT_EQ(
        rowTexts(alphaRow),
        QStringList({Text(u"alpha"), Text(u"Alpha User"), LocalDateOf(alpha.der, "startdate"),
                     LocalDateOf(alpha.der, "enddate"), QString::fromStdString(alpha.container.uniqueName)}));
    EXPECT_EQ(rowTexts(bareRow),
              QStringList({Text(u"bare"), Dash, Dash, Dash, QString::fromStdString(bare.uniqueName)}));
    for (QTreeWidgetItem* row : {alphaRow, bareRow}) {
        EXPECT_TRUE(hasIcon(row, window->listImage(IMG_KEY_CONTAINER)));
        // Each row points at its container in the window's list.
        const void* data = static_cast<CListItem*>(row)->itemData();
        EXPECT_TRUE(std::any_of(window->m_keyContList.begin(), window->m_keyContList.end(),
                                [&](const Vsk::PKI::CKeyContainer& c) { return &c == data; }));
    }
    // Every container of the list is silent when it is read.
    for (const Vsk::PKI::CKeyContainer& container : window->m_keyContList)
        EXPECT_TRUE(container.get_CommonSettings().get_Silent());
    EXPECT_TRUE(m_messages.messages().empty());

    // On another node the rows have no texts to give.
    window->m_currentNode = NODE_ROOT;
    EXPECT_TRUE(alphaRow->text(0).isEmpty());
    window->m_currentNode = NODE_KEY_CONTAINERS;
    EXPECT_EQ(window->OnLvnGetdispinfoListCert(window->list()->indexOfTopLevelItem(alphaRow), 1),
              Text(u"Alpha User"));
    EXPECT_TRUE(window->OnLvnGetdispinfoListCert(window->listCount(), 0).isEmpty());
}

// Option 0x40: every container of the provider, no certificate read; 0x100: a container without a
// stored certificate shows the personal store's certificate of its key.
TEST_F(ContainerListTest, OptionBitsChooseContainersAndCertificates) {
    const WithCertificate stored = makeWithCertificate(u"stored", "Stored User");
    const Made signing = makeContainer(u"signing", AT_SIGNATURE);
    const Made personal = makeContainer(u"personal");
    ASSERT_TRUE(stored.container.ok && signing.ok && personal.ok);
    const Vsk::Utils::CDataBlob personalDer = issue(personal.publicPem, "Personal User");
    {
        CStore my;
        my.Open(StoreMY, STORE_LOCATION_USER);
        ASSERT_TRUE(my.InstallCertificate(load(personalDer), CERT_STORE_ADD_ALWAYS));
    }

    const struct {
        DWORD options;
        size_t rows;
        const char16_t* stored;
        const char16_t* personal;
    } rows[] = {
        {0, 2, u"Stored User", u"—"},
        {OPTION_NO_CONTAINER_CERTS, 3, u"—", u"—"},
        {OPTION_FIND_IN_MY, 2, u"Stored User", u"Personal User"},
        {OPTION_NO_CONTAINER_CERTS | OPTION_FIND_IN_MY, 3, u"—", u"—"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.options);
        auto window = open(row.options);
        ShowGostContainers(*window);
        EXPECT_EQ(window->listCount(), static_cast<int>(row.rows));
        EXPECT_EQ(window->statusText()->text(), Text(u"Ключевых контейнеров: %1 шт.").arg(row.rows));
        EXPECT_EQ(FindRow(*window, u"signing") != nullptr, row.rows == 3);
        QTreeWidgetItem* storedRow = FindRow(*window, u"stored");
        QTreeWidgetItem* personalRow = FindRow(*window, u"personal");
        ASSERT_TRUE(storedRow && personalRow);
        EXPECT_EQ(storedRow->text(1), Text(row.stored));
        EXPECT_EQ(personalRow->text(1), Text(row.personal));
        EXPECT_EQ(personalRow->text(2) == Dash, Text(row.personal) == Dash);
        if (QTreeWidgetItem* signingRow = FindRow(*window, u"signing")) {
            EXPECT_EQ(rowTexts(signingRow), QStringList({Text(u"signing"), Dash, Dash, Dash,
                                                         QString::fromStdString(signing.uniqueName)}));
        }
        EXPECT_TRUE(m_messages.messages().empty());
    }
}

// The default provider is the first of type 75 that is the default of the location; a choice made in
// the selector is kept when a token change reloads the providers.
TEST_F(ContainerListTest, DefaultProviderByLocationAndKeptAcrossTokenChanges) {
    FakeProvidersGuard fake(
        "[provider]\ntype = 80\nname = GOST 80\n"
        "[provider]\ntype = 75\nname = Machine 75\nmachine_default = yes\n"
        "[provider]\ntype = 75\nname = User 75\nmachine_default = no\nuser_default = yes\n"
        "[provider]\ntype = 1\nname = RSA 1\n");
    for (const bool computer : {false, true}) {
        SCOPED_TRACE(computer ? "computer" : "user");
        auto window = open();
        // The location as the check group sets it, before the node is first shown.
        window->command(computer ? CMD_LOCATION_MACHINE : CMD_LOCATION_USER)->setChecked(true);
        ShowContainers(*window);
        const std::vector<QString> texts = ProviderTexts(*window);
        ASSERT_EQ(texts.size(), 4u);
        for (const char16_t* text : {u"80 - GOST 80", u"75 - Machine 75", u"75 - User 75", u"1 - RSA 1"})
            EXPECT_NE(std::find(texts.begin(), texts.end(), Text(text)), texts.end())
                << Text(text).toStdString();
        EXPECT_EQ(window->providerSelector()->currentText(),
                  Text(computer ? u"75 - Machine 75" : u"75 - User 75"));
        EXPECT_EQ(window->m_selectedProvider, window->providerSelector()->currentIndex());
        // A provider without containers: an empty list, counted.
        EXPECT_EQ(window->listCount(), 0);
        EXPECT_EQ(window->list()->columnCount(), 5);
        EXPECT_EQ(window->statusText()->text(), Text(u"Ключевых контейнеров: 0 шт."));

        // The user picks another provider; a token change keeps that index.
        const int picked = ProviderOfType(*window, 1);
        PickProvider(*window, picked);
        EXPECT_EQ(window->m_selectedProvider, picked);
        // A mark on the selector, gone when the token change has refilled it.
        const QString first = window->providerSelector()->itemText(0);
        window->providerSelector()->setItemText(0, QStringLiteral("mark"));
        Vsk::PKI::notifyTokenRefresh();
        APP_WAIT_EQ(window->providerSelector()->itemText(0), first);
        EXPECT_EQ(window->providerSelector()->count(), 4);
        EXPECT_EQ(window->providerSelector()->currentIndex(), picked);
        EXPECT_EQ(window->m_selectedProvider, picked);
    }
}

// Failures of the provider listing: one message under its caption, and no columns.
TEST_F(ContainerListTest, NoProvidersIsOneMessage) {
    const struct {
        const char* fixture;
        bool text;
    } rows[] = {
        {"", false},
        {"[provider]\ntype = 80\nname = Failing\n[global]\nenum_providers_error = 0 0x80090020\n", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fixture);
        FakeProvidersGuard fake(row.fixture);
        auto window = open();
        ShowContainers(*window);
        const std::vector<Message> messages = m_messages.messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].caption, u"Получение списка криптопровайдеров");
        EXPECT_EQ(messages[0].type, MB_ICONERROR);
        EXPECT_EQ(!messages[0].text.empty(), row.text);
        EXPECT_EQ(window->list()->columnCount(), 0);
        EXPECT_EQ(window->providerSelector()->count(), 0);
        EXPECT_TRUE(window->statusText()->text().isEmpty());
    }
}

// A token change on the container node reads providers and containers again; on another node it
// only empties the caches, which the next showing of the container node fills.
TEST_F(ContainerListTest, TokenChangeReloadsOrEmptiesTheCaches) {
    ASSERT_TRUE(makeContainer(u"first").ok);
    auto window = open();
    ShowGostContainers(*window);
    ASSERT_EQ(window->listCount(), 1);

    ASSERT_TRUE(makeContainer(u"second").ok);
    Vsk::PKI::notifyTokenRefresh();
    APP_WAIT_EQ(window->listCount(), 2);
    EXPECT_NE(FindRow(*window, u"second"), nullptr);
    EXPECT_EQ(window->m_keyContList.size(), 2u);

    SelectNode(*window, NODE_CRLS);
    PostMessageW(window.get(), WM_TOKEN_REFRESH, 0, 0);
    APP_WAIT_EQ(window->providerSelector()->count(), 0);
    EXPECT_EQ(window->m_cspCache.getCount(), 0u);
    EXPECT_TRUE(window->m_keyContList.empty());

    ASSERT_TRUE(makeContainer(u"third").ok);
    ShowContainers(*window);
    EXPECT_EQ(window->providerSelector()->count(), 3);
    EXPECT_EQ(window->listCount(), 3);
    EXPECT_TRUE(m_messages.messages().empty());
}

// A token change that arrives while the list is being filled (the progress lets events through)
// waits until the filling is done, then reloads.
TEST_F(ContainerListTest, TokenChangeDuringFillingWaits) {
    for (const char16_t* name : {u"busy-1", u"busy-2", u"busy-3"}) ASSERT_TRUE(makeContainer(name).ok);
    auto window = open();
    ShowGostContainers(*window);
    ASSERT_EQ(window->listCount(), 3);

    PostMessageW(window.get(), WM_TOKEN_REFRESH, 0, 0);
    window->OnCbnSelchangeProvider();
    EXPECT_EQ(window->listCount(), 3);
    // The change that waited runs now, on the container node: a full reload.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(window->m_keyContBusy, 0);
    EXPECT_FALSE(window->m_tokenRefreshPending);
    ASSERT_EQ(window->listCount(), 3);
    ASSERT_EQ(window->m_keyContList.size(), 3u);
    // Every row points into the list as it is now.
    for (int i = 0; i < window->listCount(); ++i) {
        const void* data = window->listItem(i)->itemData();
        EXPECT_TRUE(std::any_of(window->m_keyContList.begin(), window->m_keyContList.end(),
                                [&](const Vsk::PKI::CKeyContainer& c) { return &c == data; }));
        EXPECT_FALSE(window->listItem(i)->text(4).isEmpty());
    }
    EXPECT_EQ(window->providerSelector()->currentIndex(), ProviderOfType(*window, GostType));
}

// ---- CRLs ------------------------------------------------------------------------------------------------

Vsk::Utils::CDataBlob crlWithTimes(const std::string& name, const std::string& last,
                                   const std::string& next) {
    using StoreFixtures::run;
    const std::string cnf = "appcrl.cnf";
    const bool done = run("openssl ca -engine gost -config " + cnf +
                          " -cert appcrl.pem -keyfile appcrl.key -gencrl -crlexts plain -crl_lastupdate " +
                          last + " -crl_nextupdate " + next + " -out " + name + ".pem") &&
                      run("openssl crl -in " + name + ".pem -outform DER -out " + name + ".der");
    EXPECT_TRUE(done) << name;
    return StoreFixtures::blobOf(StoreFixtures::readFile(name + ".der"));
}

void addCrl(const Vsk::Utils::CDataBlob& der) {
    CCrl crl(true);
    crl.LoadFromBlob(der);
    CStore ca;
    ca.Open(StoreCA, STORE_LOCATION_USER);
    ASSERT_TRUE(ca.AddCrl(crl, CERT_STORE_ADD_ALWAYS));
}

TEST_F(ContainerListTest, CrlRowsTextsImagesAndReload) {
    StoreFixtures::Authority authority("appcrl", StoreFixtures::Key::Gost256, "/CN=App CRL Issuer");
    ASSERT_TRUE(authority.ok());
    addCrl(crlWithTimes("appcrl-expired", "20200101000000Z", "20200201120000Z"));
    addCrl(crlWithTimes("appcrl-later", "20990102030405Z", "20990203040506Z"));
    addCrl(crlWithTimes("appcrl-current", "20200101000000Z", "20990101000000Z"));

    auto window = open();
    SelectNode(*window, NODE_CRLS);
    window->FillCRLs(StoreCA);
    EXPECT_EQ(headings(window->list()),
              QStringList({Text(u"Кем выдан"), Text(u"Действителен с"), Text(u"Следующее обновление")}));
    ASSERT_EQ(window->listCount(), 3);
    EXPECT_EQ(window->m_crlList.size(), 3u);
    EXPECT_EQ(window->statusText()->text(), Text(u"Списков отозванных сертификатов: 3 шт."));

    const struct {
        const char16_t* thisUpdate;
        const char16_t* nextUpdate;
        int image;
    } expected[] = {
        {u"01.01.2020 00:00:00", u"01.02.2020 12:00:00", IMG_CRL_INVALID},
        {u"02.01.2099 03:04:05", u"03.02.2099 04:05:06", IMG_CRL_INVALID},
        {u"01.01.2020 00:00:00", u"01.01.2099 00:00:00", IMG_CRL},
    };
    for (const auto& row : expected) {
        SCOPED_TRACE(Text(row.nextUpdate).toStdString());
        QTreeWidgetItem* found = nullptr;
        for (int i = 0; i < window->listCount(); ++i)
            if (window->listItem(i)->text(2) == Text(row.nextUpdate)) found = window->listItem(i);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->text(0), Text(u"CN=App CRL Issuer"));
        EXPECT_EQ(found->text(1), Text(row.thisUpdate));
        EXPECT_TRUE(hasIcon(found, window->listImage(row.image)));
    }
    EXPECT_EQ(window->list()->columnWidth(0), window->list()->viewport()->width() * 4 / 7);
    EXPECT_TRUE(m_messages.messages().empty());

    // Kept while the open store stays "CA": a CRL added meanwhile shows after the store is closed.
    addCrl(crlWithTimes("appcrl-added", "20200101000000Z", "20980101000000Z"));
    window->FillCRLs(StoreCA);
    EXPECT_EQ(window->listCount(), 3);
    window->m_openStore.Close();
    window->FillCRLs(StoreCA);
    EXPECT_EQ(window->listCount(), 4);
    EXPECT_EQ(window->statusText()->text(), Text(u"Списков отозванных сертификатов: 4 шт."));
}

// A store that does not exist has no CRLs and no message.
TEST_F(ContainerListTest, MissingStoreGivesAnEmptyCrlList) {
    auto window = open();
    SelectNode(*window, NODE_CRLS);
    window->FillCRLs(u"NoSuchStore");
    EXPECT_EQ(window->list()->columnCount(), 3);
    EXPECT_EQ(window->listCount(), 0);
    EXPECT_TRUE(window->m_crlList.empty());
    EXPECT_TRUE(m_messages.messages().empty());
    EXPECT_TRUE(window->statusText()->text().isEmpty());
}

}  // namespace
