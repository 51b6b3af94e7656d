// The certificate list of the store nodes: columns, row texts and icons, the count, the statuses the
// worker fills in with their cache, stopping the worker with Esc, sorting by column, the rows' tool
// tips, the cached reading of a store and the list of a store that does not exist.
#include "appTestSupport.h"
#include "certListFixtures.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/Crl.h>
#include <vsk/pki/Store.h>

#include <QHeaderView>
#include <QKeyEvent>
#include <QProgressBar>
#include <QToolBar>

#include <openssl/sha.h>

#include <algorithm>
#include <ctime>
#include <optional>

using namespace AppTest;
using ListFixture::Day;
using ListFixture::Der;
using ListFixture::Hour;
using ListFixture::Spec;
using VskTest::Utf8;

namespace {

const char16_t* const Headings[] = {u"Кому выдан",
                                    u"Действителен с",
                                    u"Действителен по",
                                    u"Отпечаток",
                                    u"Статус",
                                    u"Срок действия закрытого ключа",
                                    u"Наличие ключевого контейнера"};
const char16_t NoErrors[] = u"Ошибок не найдено.";
const char16_t Expired[] = u"У данного сертификата или у сертификата из цепочки доверия истёк срок действия.";

const NodeId NodeMY = reinterpret_cast<NodeId>(StoreMY);

QString LocalText(time_t t) {
    tm local{};
    localtime_r(&t, &local);
    char text[32];
    strftime(text, sizeof text, "%Y.%m.%d %H:%M", &local);
    return QString::fromLatin1(text);
}

// The validity bound of the DER certificate as local time "%Y.%m.%d %H:%M" (openssl and the C library
// as the oracle).
QString LocalTimeText(const Der& der, bool notAfter) {
    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    tm utc{};
    ASN1_TIME_to_tm(notAfter ? X509_get0_notAfter(x) : X509_get0_notBefore(x), &utc);
    X509_free(x);
    return LocalText(timegm(&utc));
}

QString Thumbprint(const Der& der) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(der.data(), der.size(), digest);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), SHA_DIGEST_LENGTH).toHex().toUpper());
}

QStringList Column(const CKestrovanDlg& window, int column) {
    QStringList texts;
    for (int i = 0; i < window.listCount(); ++i) texts << window.listItem(i)->text(column);
    return texts;
}

QStringList HeadingTexts(const CKestrovanDlg& window) {
    QStringList texts;
    const QTreeWidgetItem* header = window.list()->headerItem();
    for (int i = 0; i < window.list()->columnCount(); ++i) texts << header->text(i);
    return texts;
}

int RowOf(const CKestrovanDlg& window, const QString& name) {
    for (int i = 0; i < window.listCount(); ++i)
        if (window.listItem(i)->text(0) == name) return i;
    return -1;
}

int ImageOf(const CKestrovanDlg& window, const QString& name) {
    const int row = RowOf(window, name);
    if (row < 0) return -1;
    const CListItem* item = window.listItem(row);
    const int image = item->data(0, CKestrovanDlg::ImageRole).toInt();
    // The icon is the list's picture of that number.
    EXPECT_EQ(item->icon(0).cacheKey(), window.listImage(image).cacheKey());
    return image;
}

QString CountText(int count) {
    return Text(u"Сертификатов: %1 шт.").arg(count);
}

// Waits until the worker has written every status and the count.
bool WaitForStatuses(CKestrovanDlg& window, int count) {
    return QTest::qWaitFor(
        [&] {
            return !Column(window, 4).contains(QStringLiteral("?")) &&
                   window.statusText()->text() == CountText(count);
        },
        30000);
}

bool WaitForStatusThread(CKestrovanDlg& window) {
    return QTest::qWaitFor(
        [&] {
            return !window.m_statusThread || WaitForSingleObject(window.m_statusThread, 0) == WAIT_OBJECT_0;
        },
        30000);
}

void ClickHeading(CKestrovanDlg& window, int column) {
    QHeaderView* header = window.list()->header();
    const QPoint point(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                       header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, point);
}

// A root in ROOT with a current CRL in CA: what it issues verifies without errors.
struct TrustedChain {
    ListFixture::Authority root{"List Test Root"};
    TrustedChain() {
        ListFixture::AddToStore(u"ROOT", root.der());
        ListFixture::AddCrlToStore(u"CA", root.crl(-Hour, 7 * Day));
    }
};

// Self-signed certificates of the given names in MY.
void AddNamed(std::initializer_list<const char8_t*> names, long long notAfter = 300 * Day) {
    for (const char8_t* name : names)
        ListFixture::AddToStore(u"MY", ListFixture::Make({Utf8(name), -Day, notAfter}));
}

// How many certificate verifications the log shows.
size_t Verifications(const VskTest::LogCapture& log) {
    return log.count(u"-> PKI::CCertificate::VerifyCertificate(");
}

class StoreListTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetOptions(OPTION_NO_START_CHECK);
        ASSERT_FALSE(HasFailure());
    }

    FreshRoot m_root;
    MessageRecorder m_messages;
};

TEST_F(StoreListTest, StoreRowsShowTheirTextsThenTheWorkerFillsStatusesAndIcons) {
    TrustedChain chain;
    time_t keyFrom = 0, keyTo = 0;
    const Der bound =
        chain.root.issue({Utf8(u8"Иванов Иван"),
                          -Day,
                          300 * Day,
                          {ListFixture::PrivateKeyUsagePeriod(-Hour, 100 * Day, &keyFrom, &keyTo)}});
    const Der plain = chain.root.issue({Utf8(u8"Петров Пётр"), -Day, 300 * Day});
    const Der expired = chain.root.issue({Utf8(u8"Сидоров Сидор"), -30 * Day, -Day});
    time_t oldFrom = 0, oldTo = 0;
    const Der keyExpired =
        chain.root.issue({Utf8(u8"Козлов Кирилл"),
                          -Day,
                          300 * Day,
                          {ListFixture::PrivateKeyUsagePeriod(-20 * Day, -Day, &oldFrom, &oldTo)}});
    ListFixture::AddToStore(u"MY", bound, u"bound-container");
    ListFixture::AddToStore(u"MY", plain);
    ListFixture::AddToStore(u"MY", expired, u"expired-container");
    ListFixture::AddToStore(u"MY", keyExpired);

    auto window = ShowWindow();
    SelectNode(*window, NodeMY);

    // Right after the filling, before the worker could write anything.
    QStringList headings;
    for (const char16_t* heading : Headings) headings << Text(heading);
    EXPECT_EQ(HeadingTexts(*window), headings);
    ASSERT_EQ(window->listCount(), 4);
    EXPECT_EQ(Column(*window, 4), QStringList(4, QStringLiteral("?")));
    EXPECT_EQ(window->statusText()->text(), CountText(4));
    EXPECT_TRUE(window->isCommandVisible(CMD_IMPORT));
    const struct {
        const char8_t* name;
        const Der* der;
        int imageAtFill;
        int imageAfter;
        const char16_t* status;
        QString keyPeriod;
    } rows[] = {
        {u8"Иванов Иван", &bound, IMG_CERT_KEY, IMG_CERT_KEY, NoErrors,
         LocalText(keyFrom) + " - " + LocalText(keyTo)},
        {u8"Петров Пётр", &plain, IMG_CERT, IMG_CERT, NoErrors, QString()},
        {u8"Сидоров Сидор", &expired, IMG_CERT_INVALID, IMG_CERT_INVALID, Expired, QString()},
        {u8"Козлов Кирилл", &keyExpired, IMG_CERT_INVALID, IMG_CERT_INVALID, Expired,
         LocalText(oldFrom) + " - " + LocalText(oldTo)},
    };
    for (const auto& row : rows) {
        const QString name = QString::fromUtf8(reinterpret_cast<const char*>(row.name));
        SCOPED_TRACE(Utf8(name.toStdU16String()));
        const int index = RowOf(*window, name);
        ASSERT_GE(index, 0);
        const CListItem* item = window->listItem(index);
        EXPECT_EQ(item->text(1), LocalTimeText(*row.der, false));
        EXPECT_EQ(item->text(2), LocalTimeText(*row.der, true));
        EXPECT_EQ(item->text(3), Thumbprint(*row.der));
        EXPECT_EQ(item->text(5), row.keyPeriod);
        EXPECT_EQ(item->text(6), QString());
        EXPECT_EQ(ImageOf(*window, name), row.imageAtFill);
        // The row's data is the certificate of the window's list.
        const auto* certificate = static_cast<const Vsk::PKI::CCertificate*>(item->itemData());
        ASSERT_NE(certificate, nullptr);
        EXPECT_EQ(QString::fromUtf16(certificate->get_SubjectShortName().c_str()), name);
    }

    ASSERT_TRUE(WaitForStatuses(*window, 4)) << Utf8(window->statusText()->text().toStdU16String());
    for (const auto& row : rows) {
        const QString name = QString::fromUtf8(reinterpret_cast<const char*>(row.name));
        SCOPED_TRACE(Utf8(name.toStdU16String()));
        const CListItem* item = window->listItem(RowOf(*window, name));
        EXPECT_EQ(Utf8(item->text(4).toStdU16String()), Utf8(row.status));
        EXPECT_EQ(ImageOf(*window, name), row.imageAfter);
        // A store row's tool tip is its status.
        EXPECT_EQ(Utf8(item->data(0, Qt::ToolTipRole).toString().toStdU16String()), Utf8(row.status));
        EXPECT_EQ(item->text(6), QString());
    }
    // Column 4 fits its longest status.
    QTreeWidget* list = window->list();
    const int expiredRow = RowOf(*window, Text(u"Сидоров Сидор"));
    EXPECT_GE(list->columnWidth(4),
              list->sizeHintForIndex(list->indexFromItem(list->topLevelItem(expiredRow), 4)).width());
    // The import button is on screen (the toolbar lays its buttons out when the events flow).
    const auto* toolbar = window->findChild<QToolBar*>(QStringLiteral("id_129"));
    ASSERT_NE(toolbar, nullptr);
    const QWidget* importButton = toolbar->widgetForAction(window->command(CMD_IMPORT));
    ASSERT_NE(importButton, nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return importButton->isVisible(); }, 5000));
    // The worker ends with the bar hidden.
    ASSERT_TRUE(WaitForStatusThread(*window));
    EXPECT_FALSE(window->progressBar()->isVisible());
    EXPECT_EQ(m_messages.count(), 0u);
}

TEST_F(StoreListTest, PresenceCheckShowsAMissingContainerAsNoKey) {
    TrustedChain chain;
    ListFixture::AddToStore(u"MY", chain.root.issue({Utf8(u8"Удалённый Ключ"), -Day, 300 * Day}),
                            u"deleted-container");
    ListFixture::AddToStore(u"MY", chain.root.issue({Utf8(u8"Без Ключа"), -Day, 300 * Day}));
    auto window = ShowWindow();
    window->m_containerPresenceCheck = true;
    SelectNode(*window, NodeMY);
    EXPECT_EQ(ImageOf(*window, Text(u"Удалённый Ключ")), IMG_CERT_KEY);
    ASSERT_TRUE(WaitForStatuses(*window, 2));
    for (const char16_t* name : {u"Удалённый Ключ", u"Без Ключа"}) {
        SCOPED_TRACE(Utf8(name));
        const CListItem* item = window->listItem(RowOf(*window, Text(name)));
        EXPECT_EQ(item->text(4), Text(NoErrors));
        EXPECT_EQ(item->text(6), Text(u"нет"));
        EXPECT_EQ(ImageOf(*window, Text(name)), IMG_CERT);
    }
}

TEST_F(StoreListTest, EscStopsTheWorkerAndTheRowsKeepTheirQuestionMarks) {
    AddNamed({u8"Первый", u8"Второй", u8"Третий"});
    for (bool presence : {false, true}) {
        SCOPED_TRACE(presence);
        auto window = ShowWindow();
        window->m_containerPresenceCheck = presence;
        SelectNode(*window, NodeMY);
        ASSERT_EQ(window->listCount(), 3);
        // The worker waits for the GUI thread for its first row; Esc comes first.
        QTest::keyClick(window->list(), Qt::Key_Escape);
        ASSERT_TRUE(WaitForStatusThread(*window));
        QCoreApplication::processEvents();
        DWORD code = 0;
        ASSERT_TRUE(GetExitCodeThread(window->m_statusThread, &code));
        EXPECT_EQ(code, 1u);
        EXPECT_EQ(Column(*window, 4), QStringList(3, QStringLiteral("?")));
        EXPECT_TRUE(window->m_statusCache->empty());
        // The last progress text stays; no count is written.
        EXPECT_EQ(
            window->statusText()->text(),
            presence
                ? Text(
                      u"Получение статусов сертификатов и проверка наличия ключевого контейнера (1 из 3 шт.)")
                : Text(u"Получение статусов сертификатов (1 из 3 шт.)"));
        EXPECT_FALSE(window->progressBar()->isVisible());
    }
}

TEST_F(StoreListTest, EscWhileTheRowsAreShownLeavesTheRestOutButCountsThem) {
    AddNamed({u8"Ряд 1", u8"Ряд 2", u8"Ряд 3", u8"Ряд 4", u8"Ряд 5", u8"Ряд 6", u8"Ряд 7"});
    VskTest::LogCapture log(2);
    auto window = ShowWindow();
    // Esc arrives once the store has been read: when the bar starts again from 0 with the number of
    // certificates as its range (the reading's own ranges are 10, 20, ...).
    bool posted = false;
    QProgressBar* bar = window->progressBar();
    QObject::connect(bar, &QProgressBar::valueChanged, window.get(), [&](int value) {
        if (value != 0 || bar->maximum() != 7 || posted) return;
        posted = true;
        QCoreApplication::postEvent(window->list(),
                                    new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    });
    SelectNode(*window, NodeMY);
    ASSERT_TRUE(posted);
    ASSERT_GE(window->listCount(), 1);
    EXPECT_LT(window->listCount(), 7);
    EXPECT_EQ(window->m_certList->size(), 7u);
    EXPECT_EQ(window->statusText()->text(), CountText(7));
    // The worker gives the shown rows their statuses and skips the others.
    const int shown = window->listCount();
    ASSERT_TRUE(WaitForStatuses(*window, 7));
    ASSERT_TRUE(WaitForStatusThread(*window));
    EXPECT_EQ(log.count(u"CKestrovanDlg::verifyCerts Не найден: "), static_cast<size_t>(7 - shown));
    EXPECT_EQ(window->m_statusCache->size(), static_cast<size_t>(shown));
}

TEST_F(StoreListTest, ARowRemovedBeforeTheWorkerIsLoggedAndSkipped) {
    AddNamed({u8"Остаётся", u8"Удаляется"});
    VskTest::LogCapture log(2);
    auto window = ShowWindow();
    SelectNode(*window, NodeMY);
    const int removed = RowOf(*window, Text(u"Удаляется"));
    ASSERT_GE(removed, 0);
    const auto* certificate =
        static_cast<const Vsk::PKI::CCertificate*>(window->listItem(removed)->itemData());
    const std::u16string line = u"CKestrovanDlg::verifyCerts Не найден: " + certificate->getText().toU16();
    delete window->list()->takeTopLevelItem(removed);
    // The count is of the window's list, which still holds both.
    ASSERT_TRUE(WaitForStatuses(*window, 2));
    EXPECT_EQ(window->listCount(), 1);
    EXPECT_EQ(log.count(line), 1u);
}

TEST_F(StoreListTest, TheStatusCacheVerifiesEachCertificateOnceUntilARefresh) {
    AddNamed({u8"Кэш Один", u8"Кэш Два", u8"Кэш Три"});
    VskTest::LogCapture log(4);
    auto window = ShowWindow();
    SelectNode(*window, NodeMY);
    ASSERT_TRUE(WaitForStatuses(*window, 3));
    EXPECT_EQ(Verifications(log), 3u);
    EXPECT_EQ(window->m_statusCache->size(), 3u);

    // Another node and back: the same store, no new verification.
    SelectNode(*window, NODE_ROOT);
    SelectNode(*window, NodeMY);
    ASSERT_TRUE(WaitForStatuses(*window, 3));
    EXPECT_EQ(Verifications(log), 3u);

    // The refresh button empties the cache.
    window->command(CMD_REFRESH)->trigger();
    EXPECT_TRUE(window->m_statusCache->empty());
    ASSERT_TRUE(WaitForStatuses(*window, 3));
    EXPECT_EQ(Verifications(log), 6u);
    EXPECT_EQ(window->m_statusCache->size(), 3u);
}

TEST_F(StoreListTest, ClickingAColumnSortsAscendingDescendingAscending) {
    AddNamed({u8"Борисов", u8"Алексеев", u8"Воронов", u8"Громов"});
    auto window = ShowWindow();
    SelectNode(*window, NodeMY);
    ASSERT_TRUE(WaitForStatuses(*window, 4));
    // One selected row keeps its selection through the sorts.
    window->listItem(RowOf(*window, Text(u"Воронов")))->setSelected(true);

    const QStringList ascending = {Text(u"Алексеев"), Text(u"Борисов"), Text(u"Воронов"), Text(u"Громов")};
    QStringList descending = ascending;
    std::reverse(descending.begin(), descending.end());
    const QStringList expected[] = {ascending, descending, ascending};
    for (int click = 0; click < 3; ++click) {
        SCOPED_TRACE(click);
        ClickHeading(*window, 0);
        EXPECT_EQ(Column(*window, 0), expected[click]);
        EXPECT_EQ(window->m_sortColumn, 0);
        EXPECT_EQ(window->m_sortDescending, click == 1 ? 1 : 0);
        ASSERT_EQ(window->selectedCount(), 1);
        EXPECT_EQ(window->list()->selectedItems().front()->text(0), Text(u"Воронов"));
        // The rows are still the window's, each with its certificate.
        for (int i = 0; i < window->listCount(); ++i)
            EXPECT_EQ(window->findItemByData(window->listItem(i)->itemData()), i);
    }
    // Another column starts ascending.
    ClickHeading(*window, 3);
    EXPECT_EQ(window->m_sortColumn, 3);
    EXPECT_EQ(window->m_sortDescending, 0);
    QStringList thumbprints = Column(*window, 3);
    QStringList sorted = thumbprints;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(thumbprints, sorted);

    // A new filling forgets the order.
    SelectNode(*window, NODE_ROOT);
    EXPECT_EQ(window->m_sortColumn, 0xFFFF);
    EXPECT_EQ(window->m_sortDescending, 0xFFFF);
}

TEST_F(StoreListTest, SortingByDatesAndEqualKeysKeepTheirOrder) {
    // Two certificates end on the same second; the others earlier and later.
    const long long end = 200 * Day;
    ListFixture::AddToStore(u"MY", ListFixture::Make({Utf8(u8"Поздний"), -Day, end + Day}));
    ListFixture::AddToStore(u"MY", ListFixture::Make({Utf8(u8"Ранний"), -Day, end - Day}));
    const Der twinA = ListFixture::Make({Utf8(u8"Ровня А"), -Day, end});
    const Der twinB = ListFixture::Make({Utf8(u8"Ровня Б"), -Day, end});
    ListFixture::AddToStore(u"MY", twinA);
    ListFixture::AddToStore(u"MY", twinB);
    auto window = ShowWindow();
    SelectNode(*window, NodeMY);
    ASSERT_EQ(window->listCount(), 4);
    const auto* a = static_cast<const Vsk::PKI::CCertificate*>(
        window->listItem(RowOf(*window, Text(u"Ровня А")))->itemData());
    const auto* b = static_cast<const Vsk::PKI::CCertificate*>(
        window->listItem(RowOf(*window, Text(u"Ровня Б")))->itemData());
    ASSERT_EQ(FileTimeToU64(a->get_NotAfter()), FileTimeToU64(b->get_NotAfter()));
    const bool aFirst = RowOf(*window, Text(u"Ровня А")) < RowOf(*window, Text(u"Ровня Б"));
    const QString first = aFirst ? Text(u"Ровня А") : Text(u"Ровня Б");
    const QString second = aFirst ? Text(u"Ровня Б") : Text(u"Ровня А");

    ClickHeading(*window, 2);
    EXPECT_EQ(Column(*window, 0), QStringList({Text(u"Ранний"), first, second, Text(u"Поздний")}));
    // Descending: the equal pair keeps its order.
    ClickHeading(*window, 2);
    EXPECT_EQ(Column(*window, 0), QStringList({Text(u"Поздний"), first, second, Text(u"Ранний")}));
    // The public comparison agrees: equal ends compare equal, others by date, inverted while descending.
    void* pa = const_cast<Vsk::PKI::CCertificate*>(a);
    void* pb = const_cast<Vsk::PKI::CCertificate*>(b);
    EXPECT_EQ(window->compareItems(pa, pb), 0);
    void* late = window->listItem(0)->itemData();
    EXPECT_EQ(window->compareItems(late, pa), -1);
    EXPECT_EQ(window->compareItems(pa, late), 1);
    // A null row orders by a fixed, antisymmetric rule.
    EXPECT_EQ(window->compareItems(nullptr, pa), -window->compareItems(pa, nullptr));
    EXPECT_NE(window->compareItems(nullptr, pa), 0);
}

TEST_F(StoreListTest, SelectingTheRootLeavesAnEmptyListWithoutColumns) {
    AddNamed({u8"Кто-то"});
    auto window = ShowWindow();
    SelectNode(*window, NodeMY);
    ASSERT_TRUE(WaitForStatuses(*window, 1));
    SelectNode(*window, NODE_ROOT);
    EXPECT_EQ(window->listCount(), 0);
    EXPECT_EQ(window->list()->columnCount(), 0);
    EXPECT_TRUE(window->statusText()->text().isEmpty());
    for (int id :
         {CMD_PROPERTIES, CMD_EXPORT, CMD_IMPORT, CMD_CRL_INSTALL, CMD_DELETE, CMD_CERT_FROM_KEY_CONT})
        EXPECT_FALSE(window->isCommandVisible(id)) << id;
    // The toolbar's tool tips follow the node.
    EXPECT_TRUE(window->command(CMD_DELETE)->toolTip().isEmpty());
    SelectNode(*window, NodeMY);
    EXPECT_EQ(window->command(CMD_DELETE)->toolTip(), Text(u"Удалить сертификат"));
}

TEST_F(StoreListTest, TheLocationButtonsReadTheOtherLocationsStore) {
    AddNamed({u8"Пользователь"});
    ListFixture::AddToStore(u"MY", ListFixture::Make({Utf8(u8"Компьютер"), -Day, 300 * Day}), nullptr,
                            CERT_SYSTEM_STORE_LOCAL_MACHINE);
    auto window = ShowWindow();
    SelectNode(*window, NodeMY);
    EXPECT_EQ(Column(*window, 0), QStringList({Text(u"Пользователь")}));
    window->command(CMD_LOCATION_MACHINE)->trigger();
    EXPECT_EQ(window->getStoreLocationFlags(), STORE_LOCATION_MACHINE);
    EXPECT_EQ(Column(*window, 0), QStringList({Text(u"Компьютер")}));
    EXPECT_EQ(window->m_openStore.get_Flags() & STORE_LOCATION_MACHINE, STORE_LOCATION_MACHINE);
    ASSERT_TRUE(WaitForStatuses(*window, 1));
    window->command(CMD_LOCATION_USER)->trigger();
    EXPECT_EQ(Column(*window, 0), QStringList({Text(u"Пользователь")}));
}

TEST_F(StoreListTest, AStoreThatDoesNotExistGivesAnEmptyListAndNoMessage) {
    // Not an administrator: the computer's "AddressBook" is not made by opening it.
    m_root.set("KESTROVAN_ADMIN", "0");
    auto window = ShowWindow();
    window->command(CMD_LOCATION_MACHINE)->trigger();
    SelectNode(*window, reinterpret_cast<NodeId>(StoreAddressBook));
    EXPECT_EQ(window->list()->columnCount(), 7);
    EXPECT_EQ(window->listCount(), 0);
    EXPECT_EQ(window->statusText()->text(), CountText(0));
    EXPECT_TRUE(window->isCommandVisible(CMD_IMPORT));
    ASSERT_TRUE(WaitForStatusThread(*window));
    QCoreApplication::processEvents();
    EXPECT_EQ(window->statusText()->text(), CountText(0));
    EXPECT_EQ(m_messages.count(), 0u);
}

TEST_F(StoreListTest, GetCertListCopiesTheWindowsListOnlyForTheOpenStore) {
    AddNamed({u8"Один", u8"Два"});
    ListFixture::AddToStore(u"CA", ListFixture::Make({Utf8(u8"Центр"), -Day, 300 * Day}));
    auto window = ShowWindow();
    SelectNode(*window, NodeMY);
    ASSERT_TRUE(WaitForStatuses(*window, 2));
    // One more certificate in the store: a reading sees it, a copy does not.
    AddNamed({u8"Три"});
    const struct {
        const WCHAR* name;
        DWORD location;
        bool copied;
        size_t count;
    } rows[] = {
        {StoreMY, STORE_LOCATION_USER, true, 2},
        {u"my", STORE_LOCATION_USER, false, 3},
        {StoreMY, STORE_LOCATION_MACHINE, false, 0},
        {StoreCA, STORE_LOCATION_USER, false, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(Utf8(row.name));
        Vsk::PKI::CStore store;
        const CCertList list = window->GetCertList(store, row.name, row.location, nullptr);
        EXPECT_EQ(list.size(), row.count);
        EXPECT_EQ(store.isOpened(), !row.copied);
        if (row.copied) {
            EXPECT_TRUE(list.front().equal(window->m_certList->front()));
        }
    }
}

TEST_F(StoreListTest, CrlRowsToolTipsTellACrlNotYetValidOrExpired) {
    ListFixture::Authority issuer("Tool Tip CA");
    const struct {
        const char* name;
        long long thisUpdate, nextUpdate;
        const char16_t* tip;
    } rows[] = {
        {"current", -Hour, 7 * Day, u""},
        {"not yet valid", Hour, 7 * Day, u"СОС еще не действителен!"},
        {"expired", -7 * Day, -Hour, u"СОС уже просрочен!"},
        {"without next update", -2 * Hour, 0, u"СОС уже просрочен!"},
    };
    auto window = ShowWindow();
    // The rows as the CRL list makes them: item data = the CRL in the window's list.
    window->m_currentNode = NODE_CRLS;
    for (const auto& row : rows) {
        const Der der = issuer.crl(row.thisUpdate, row.nextUpdate);
        Vsk::PKI::CCrl crl(true);
        crl.LoadFromBlob(Vsk::Utils::CDataBlob(der.data(), der.size(), true));
        window->m_crlList.push_back(crl);
        auto* item = new CListItem(window.get(), &window->m_crlList.back(), false);
        item->setText(0, QString::fromLatin1(row.name));
        window->list()->addTopLevelItem(item);
    }
    for (int i = 0; i < static_cast<int>(std::size(rows)); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(window->OnLvnGetInfoTipListCert(i), Text(rows[i].tip));
    }
    // Sorting the CRL rows by their next update (none sorts first).
    window->list()->setColumnCount(3);
    window->OnLvnColumnclickListCert(2);
    EXPECT_EQ(Column(*window, 0),
              QStringList({"without next update", "expired", "current", "not yet valid"}));
    window->OnLvnColumnclickListCert(1);
    EXPECT_EQ(Column(*window, 0),
              QStringList({"expired", "without next update", "current", "not yet valid"}));
    window->list()->clear();
    window->m_crlList.clear();
}

TEST(FormatFileTimeTest, LocalTimeToTheMinute) {
    std::optional<VskTest::EnvGuard> zone;
    zone.emplace("TZ", "MSK-3");
    tzset();
    const struct {
        int year, month, day, hour, minute, second, millisecond;
        const char* text;
    } rows[] = {
        {2026, 1, 2, 21, 30, 59, 999, "2026.01.03 00:30"},
        {2026, 12, 31, 20, 59, 0, 0, "2026.12.31 23:59"},
        {2026, 12, 31, 21, 0, 0, 0, "2027.01.01 00:00"},
        {1999, 6, 15, 0, 0, 0, 0, "1999.06.15 03:00"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        SYSTEMTIME utc{};
        utc.wYear = static_cast<WORD>(row.year);
        utc.wMonth = static_cast<WORD>(row.month);
        utc.wDay = static_cast<WORD>(row.day);
        utc.wHour = static_cast<WORD>(row.hour);
        utc.wMinute = static_cast<WORD>(row.minute);
        utc.wSecond = static_cast<WORD>(row.second);
        utc.wMilliseconds = static_cast<WORD>(row.millisecond);
        FILETIME time{};
        ASSERT_TRUE(SystemTimeToFileTime(&utc, &time));
        EXPECT_EQ(CKestrovanDlg::formatFileTime(time), QString::fromLatin1(row.text));
    }
    zone.reset();
    tzset();
}

}  // namespace
