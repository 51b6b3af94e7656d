// Which commands the window offers for the node and the list's selection (toolbar and context
// menu), and the window's own keys: Esc, Del, F5, F1, Ctrl+C, Ctrl+V and Ctrl+A.
#include "commandFixtures.h"
#include "containerFixtures.h"

#include <vsk/utils/error.h>
#include <vsk/utils/system.h>

#include <QClipboard>
#include <QComboBox>
#include <QMenu>
#include <QTimer>
#include <QWindow>

#include <atomic>

using namespace AppTest;
using namespace CommandFixtures;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CKeyContainer;

namespace {

const NodeId MY = reinterpret_cast<NodeId>(StoreMY);
const NodeId CA = reinterpret_cast<NodeId>(StoreCA);

// The buttons that follow the selection, and 32773 which follows the filling.
constexpr int Buttons[] = {CMD_PROPERTIES, CMD_EXPORT, CMD_CRL_INSTALL, CMD_DELETE, CMD_CERT_FROM_KEY_CONT};

struct ButtonState {
    bool visible;
    bool enabled;
    bool operator==(const ButtonState&) const = default;
};
using Toolbar = std::map<int, ButtonState>;

Toolbar toolbarOf(const CKestrovanDlg& window) {
    Toolbar state;
    // A hidden action always reads as disabled: only a shown button's state is seen.
    for (int id : Buttons) {
        const bool visible = window.isCommandVisible(id);
        state[id] = {visible, visible && window.command(id)->isEnabled()};
    }
    return state;
}

std::string describe(const Toolbar& state) {
    std::string text;
    for (const auto& [id, button] : state)
        text += std::to_string(id) + (button.visible ? " shown" : " hidden") +
                (button.enabled ? " enabled" : " disabled") + "; ";
    return text;
}

// What a row click should leave: the visible buttons (the others hidden) and whether the visible
// ones of 32776, 32774 and 32775 are enabled.
Toolbar expected(std::initializer_list<int> visible, bool enabled) {
    Toolbar state;
    for (int id : Buttons) {
        const bool shown = std::find(visible.begin(), visible.end(), id) != visible.end();
        const bool singleRule = id == CMD_PROPERTIES || id == CMD_EXPORT || id == CMD_CRL_INSTALL;
        state[id] = {shown, shown && (singleRule ? enabled : true)};
    }
    return state;
}

// A point in the first cell of the row, in the list's viewport (the row may be wider than the list).
QPoint rowPoint(QTreeWidget* list, int row) {
    const QRect rect = list->visualItemRect(list->topLevelItem(row));
    return QPoint(list->columnViewportPosition(0) + std::max(list->columnWidth(0), 2) / 2, rect.center().y());
}

void clickRow(CKestrovanDlg& window, int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTreeWidget* list = window.list();
    ASSERT_TRUE(list->visualItemRect(list->topLevelItem(row)).isValid()) << "row " << row << " is not shown";
    QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, rowPoint(list, row));
}

// A key press as the window system delivers it (QTest knows no Cyrillic letters).
void pressKey(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers);
    QApplication::sendEvent(target, &release);
}

// The certificates of a system store as its own elements (they carry the store's access state).
std::vector<CCertificate> storeCertificates(const WCHAR* name, DWORD location) {
    Vsk::PKI::CStore store(true);
    store.Open(name, location);
    Vsk::Utils::CArray<CCertificate> all;
    store.GetCertificates(&all);
    return std::vector<CCertificate>(all.begin(), all.end());
}

class CommandStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetOptions(OPTION_NO_START_CHECK);
        m_window = ShowWindow();
        ASSERT_TRUE(WaitForInit(*m_window));
    }
    void TearDown() override { m_window.reset(); }

    std::set<DWORD> cancelSet() const {
        Vsk::Utils::CLock lock(&m_window->m_shared->lock);
        return m_window->m_shared->cancelSet;
    }

    FreshRoot m_root;
    MessageRecorder m_messages;
    std::unique_ptr<CKestrovanDlg> m_window;
};

// ---- Toolbar by selection -------------------------------------------------------------------------

TEST_F(CommandStateTest, StoreSelectionShowsAndEnablesTheSelectionButtons) {
    const CCertificate withPoint = selfSigned("with-point", true);
    const CCertificate withoutPoint = selfSigned("without-point", false);
    showCertificates(*m_window, MY, {withPoint, withoutPoint});
    EXPECT_EQ(toolbarOf(*m_window), expected({}, false)) << describe(toolbarOf(*m_window));

    struct Step {
        const char* what;
        int row;
        Qt::KeyboardModifiers modifiers;
        bool unchanged;  // the toolbar stays as it was
        Toolbar after;
    };
    const Step steps[] = {
        {"one without a CRL point", 1, Qt::NoModifier, false,
         expected({CMD_PROPERTIES, CMD_EXPORT, CMD_DELETE}, true)},
        {"one with a CRL point", 0, Qt::NoModifier, false,
         expected({CMD_PROPERTIES, CMD_EXPORT, CMD_CRL_INSTALL, CMD_DELETE}, true)},
        {"a second one added", 1, Qt::ControlModifier, false,
         expected({CMD_PROPERTIES, CMD_EXPORT, CMD_DELETE}, false)},
        {"the first added to it again", 0, Qt::NoModifier, false,
         expected({CMD_PROPERTIES, CMD_EXPORT, CMD_CRL_INSTALL, CMD_DELETE}, true)},
        {"a second one without a point added again", 1, Qt::ControlModifier, false,
         expected({CMD_PROPERTIES, CMD_EXPORT, CMD_DELETE}, false)},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const Toolbar before = toolbarOf(*m_window);
        clickRow(*m_window, step.row, step.modifiers);
        EXPECT_EQ(toolbarOf(*m_window), step.unchanged ? before : step.after)
            << describe(toolbarOf(*m_window));
    }

    // Two selected, the one with the point last: 32776, 32774 and 32775 shown but disabled.
    m_window->list()->clearSelection();
    clickRow(*m_window, 1);
    clickRow(*m_window, 0, Qt::ControlModifier);
    EXPECT_EQ(m_window->selectedCount(), 2);
    EXPECT_EQ(toolbarOf(*m_window),
              expected({CMD_PROPERTIES, CMD_EXPORT, CMD_CRL_INSTALL, CMD_DELETE}, false))
        << describe(toolbarOf(*m_window));

    // Deselecting one of the two changes nothing; deselecting the last hides the five.
    const Toolbar two = toolbarOf(*m_window);
    clickRow(*m_window, 1, Qt::ControlModifier);
    EXPECT_EQ(m_window->selectedCount(), 1);
    EXPECT_EQ(toolbarOf(*m_window), two) << describe(toolbarOf(*m_window));
    clickRow(*m_window, 0, Qt::ControlModifier);
    EXPECT_EQ(m_window->selectedCount(), 0);
    EXPECT_EQ(toolbarOf(*m_window), expected({}, false)) << describe(toolbarOf(*m_window));
}

TEST_F(CommandStateTest, DeleteFollowsTheRightToRemoveFromTheStore) {
    // The user's "CA" shows the computer's "CA" too; an element of the computer's store can only be
    // removed through the computer's store, by an administrator.
    install(selfSigned("computer", false), StoreCA, STORE_LOCATION_MACHINE);
    install(selfSigned("user", false), StoreCA, STORE_LOCATION_USER);
    bool checked = false;
    const bool administrator = Vsk::Utils::IsCurrentUserAdmin(&checked) && checked;

    struct Case {
        const char* what;
        DWORD location;
        const char16_t* subject;
        bool deletable;
    };
    const Case cases[] = {
        {"the user's own element", STORE_LOCATION_USER, u"user", true},
        {"the computer's element in the user's store", STORE_LOCATION_USER, u"computer", false},
        {"the computer's element in the computer's store", STORE_LOCATION_MACHINE, u"computer",
         administrator},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<CCertificate> rows;
        for (const CCertificate& certificate : storeCertificates(StoreCA, c.location))
            if (certificate.get_SubjectShortName().toU16() == c.subject) rows.push_back(certificate);
        ASSERT_EQ(rows.size(), 1u);
        showCertificates(*m_window, CA, rows, c.location);
        clickRow(*m_window, 0);
        EXPECT_EQ(m_window->isCommandVisible(CMD_DELETE), c.deletable);
        EXPECT_TRUE(m_window->isCommandVisible(CMD_EXPORT));
        QMenu* menu = m_window->prepareListMenu(0);
        ASSERT_EQ(menu, m_window->subMenu(0));
        EXPECT_EQ(m_window->menuItem(0, CMD_DELETE)->isEnabled(), c.deletable);
    }
}

TEST_F(CommandStateTest, ContainerSelectionShowsInstallOnlyForAStoredCertificate) {
    makeContainer("cmd-holds", true);
    makeContainer("cmd-empty", false);
    // Rows 0 and 1 are read from the provider; row 2 cannot be read (it names no container).
    showContainers(*m_window, {findContainer("cmd-holds"), findContainer("cmd-empty"), CKeyContainer(true)});

    const Toolbar holds = expected({CMD_PROPERTIES, CMD_DELETE, CMD_CERT_FROM_KEY_CONT}, true);
    const Toolbar empty = expected({CMD_PROPERTIES, CMD_DELETE}, true);
    const struct {
        int row;
        const Toolbar* after;
    } steps[] = {{0, &holds}, {1, &empty}, {0, &holds}, {2, &holds}, {1, &empty}, {2, &empty}};
    for (const auto& step : steps) {
        SCOPED_TRACE("row " + std::to_string(step.row));
        clickRow(*m_window, step.row);
        EXPECT_EQ(toolbarOf(*m_window), *step.after) << describe(toolbarOf(*m_window));
    }
}

TEST_F(CommandStateTest, ContainerNodeAsTheProviderFillsIt) {
    makeContainer("filled-holds", true);
    makeContainer("filled-empty", false);
    ContainerFixtures::ShowGostContainers(*m_window);
    const auto rowOf = [&](const QString& name) {
        for (int i = 0; i < m_window->listCount(); ++i)
            if (m_window->listItem(i)->text(0) == name) return i;
        return -1;
    };
    const int holds = rowOf(QStringLiteral("filled-holds"));
    const int empty = rowOf(QStringLiteral("filled-empty"));
    ASSERT_GE(holds, 0);
    ASSERT_GE(empty, 0);

    clickRow(*m_window, holds);
    EXPECT_EQ(toolbarOf(*m_window), expected({CMD_PROPERTIES, CMD_DELETE, CMD_CERT_FROM_KEY_CONT}, true))
        << describe(toolbarOf(*m_window));
    ASSERT_EQ(m_window->prepareListMenu(holds), m_window->subMenu(2));
    EXPECT_TRUE(m_window->menuItem(2, CMD_CERT_FROM_KEY_CONT)->isEnabled());
    EXPECT_TRUE(m_window->menuItem(2, CMD_PROP_CERT_CONT)->isEnabled());

    clickRow(*m_window, empty);
    EXPECT_EQ(toolbarOf(*m_window), expected({CMD_PROPERTIES, CMD_DELETE}, true))
        << describe(toolbarOf(*m_window));
    m_window->prepareListMenu(empty);
    EXPECT_FALSE(m_window->menuItem(2, CMD_CERT_FROM_KEY_CONT)->isEnabled());
    EXPECT_FALSE(m_window->menuItem(2, CMD_PROP_CERT_CONT)->isEnabled());

    QTest::keyClick(m_window->list(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(m_window->selectedCount(), m_window->listCount());
    EXPECT_FALSE(m_window->command(CMD_PROPERTIES)->isEnabled());
}

TEST_F(CommandStateTest, CrlAndRootRowsShowPropertiesAndDelete) {
    for (const NodeId node : {NODE_CRLS, NODE_ROOT}) {
        SCOPED_TRACE(node == NODE_CRLS ? "CRLs" : "root");
        showCrls(*m_window, 2);
        if (node == NODE_ROOT) {
            // The root shows no rows of its own; the rule for it is the CRLs' one.
            SelectNode(*m_window, NODE_ROOT);
            emptyList(*m_window);
            m_window->m_crlList.clear();
            for (int i = 0; i < 2; ++i) {
                m_window->m_crlList.emplace_back();
                addRow(*m_window, &m_window->m_crlList.back(), QStringLiteral("row"));
            }
        }
        clickRow(*m_window, 0);
        EXPECT_EQ(toolbarOf(*m_window), expected({CMD_PROPERTIES, CMD_DELETE}, true))
            << describe(toolbarOf(*m_window));
        clickRow(*m_window, 1, Qt::ControlModifier);
        EXPECT_EQ(toolbarOf(*m_window), expected({CMD_PROPERTIES, CMD_DELETE}, false))
            << describe(toolbarOf(*m_window));
    }
}

TEST_F(CommandStateTest, ListFocusFollowsTheSelection) {
    showCertificates(*m_window, MY, {selfSigned("focus", true)});

    // Nothing selected: the focus going to the tree hides the selection buttons, elsewhere not.
    m_window->showCommand(CMD_PROPERTIES, true);
    m_window->OnNMKillfocusListCert(m_window->providerSelector());
    EXPECT_TRUE(m_window->isCommandVisible(CMD_PROPERTIES));
    m_window->OnNMKillfocusListCert(nullptr);
    EXPECT_TRUE(m_window->isCommandVisible(CMD_PROPERTIES));
    m_window->OnNMKillfocusListCert(m_window->tree());
    EXPECT_FALSE(m_window->isCommandVisible(CMD_PROPERTIES));

    // Focus on the list shows the buttons of the selected row.
    {
        const QSignalBlocker quiet(m_window->list());
        m_window->list()->topLevelItem(0)->setSelected(true);
    }
    EXPECT_EQ(toolbarOf(*m_window), expected({}, false));
    m_window->OnNMSetfocusListCert();
    const Toolbar shown = expected({CMD_PROPERTIES, CMD_EXPORT, CMD_CRL_INSTALL, CMD_DELETE}, true);
    EXPECT_EQ(toolbarOf(*m_window), shown) << describe(toolbarOf(*m_window));
    // With a selection, the tree taking the focus changes nothing.
    m_window->OnNMKillfocusListCert(m_window->tree());
    EXPECT_EQ(toolbarOf(*m_window), shown) << describe(toolbarOf(*m_window));
}

TEST_F(CommandStateTest, FocusMovesBetweenListAndTreeReachTheHandlers) {
    showCertificates(*m_window, MY, {selfSigned("real-focus", false)});
    m_window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
    QTreeWidget* list = m_window->list();

    // Focus into the list with a row selected (without the selection's own notification).
    {
        const QSignalBlocker quiet(list);
        list->topLevelItem(0)->setSelected(true);
    }
    m_window->tree()->setFocus();
    APP_WAIT_TRUE(m_window->tree()->hasFocus());
    list->setFocus();
    APP_WAIT_TRUE(list->hasFocus());
    EXPECT_TRUE(m_window->isCommandVisible(CMD_PROPERTIES));

    // Nothing selected, focus to the tree: the buttons go.
    {
        const QSignalBlocker quiet(list);
        list->clearSelection();
    }
    m_window->tree()->setFocus();
    APP_WAIT_TRUE(m_window->tree()->hasFocus());
    EXPECT_FALSE(m_window->isCommandVisible(CMD_PROPERTIES));
}

// ---- The list's context menu ------------------------------------------------------------------------

struct MenuCase {
    const char* what;
    int underCursor;            // -1: the empty area
    std::vector<int> selected;  // rows
    std::map<int, bool> enabled;
};

void checkMenu(CKestrovanDlg& window, int position, const MenuCase& c) {
    SCOPED_TRACE(c.what);
    window.list()->clearSelection();
    for (int row : c.selected) window.list()->topLevelItem(row)->setSelected(true);
    QMenu* menu = window.prepareListMenu(c.underCursor);
    ASSERT_EQ(menu, window.subMenu(position));
    for (const auto& [id, enabled] : c.enabled) {
        QAction* item = window.menuItem(position, id);
        ASSERT_NE(item, nullptr) << id;
        EXPECT_EQ(item->isEnabled(), enabled) << id;
    }
}

TEST_F(CommandStateTest, StoreMenuGreysByRowAndSelection) {
    showCertificates(*m_window, MY, {selfSigned("menu-point", true), selfSigned("menu-plain", false)});
    const MenuCase cases[] = {
        {"empty area, nothing selected",
         -1,
         {},
         {{CMD_IMPORT, true},
          {CMD_EXPORT, false},
          {CMD_CRL_INSTALL, false},
          {CMD_DELETE, false},
          {CMD_PROPERTIES, false}}},
        {"empty area, one selected",
         -1,
         {0},
         {{CMD_IMPORT, true},
          {CMD_EXPORT, true},
          {CMD_CRL_INSTALL, false},
          {CMD_DELETE, false},
          {CMD_PROPERTIES, true}}},
        {"on the one with a CRL point",
         0,
         {0},
         {{CMD_IMPORT, true},
          {CMD_EXPORT, true},
          {CMD_CRL_INSTALL, true},
          {CMD_DELETE, true},
          {CMD_PROPERTIES, true}}},
        {"on the one without",
         1,
         {1},
         {{CMD_IMPORT, true},
          {CMD_EXPORT, true},
          {CMD_CRL_INSTALL, false},
          {CMD_DELETE, true},
          {CMD_PROPERTIES, true}}},
        {"on the one with a point, two selected",
         0,
         {0, 1},
         {{CMD_IMPORT, true},
          {CMD_EXPORT, false},
          {CMD_CRL_INSTALL, false},
          {CMD_DELETE, true},
          {CMD_PROPERTIES, false}}},
    };
    for (const MenuCase& c : cases) checkMenu(*m_window, 0, c);
    EXPECT_EQ(m_window->menuItem(0, CMD_DELETE)->text(), Text(u"Удалить"));
    EXPECT_EQ(m_window->menuItem(0, CMD_CRL_INSTALL)->text(), Text(u"Установить СОС"));
    EXPECT_EQ(m_window->menuItem(0, CMD_IMPORT)->text(), Text(u"Загрузить из файла"));
}

TEST_F(CommandStateTest, ContainerMenuGreysByStoredCertificate) {
    makeContainer("menu-holds", true);
    makeContainer("menu-empty", false);
    showContainers(*m_window,
                   {findContainer("menu-holds"), findContainer("menu-empty"), CKeyContainer(true)});
    const MenuCase cases[] = {
        {"empty area",
         -1,
         {},
         {{CMD_DELETE, false},
          {CMD_CERT_FROM_KEY_CONT, false},
          {CMD_PROP_CERT_CONT, false},
          {CMD_PROPERTIES, false},
          {CMD_TEST_KEY_CONT, true}}},
        {"on a container with a certificate",
         0,
         {0},
         {{CMD_DELETE, true},
          {CMD_CERT_FROM_KEY_CONT, true},
          {CMD_PROP_CERT_CONT, true},
          {CMD_PROPERTIES, true},
          {CMD_TEST_KEY_CONT, true}}},
        {"on a container with a certificate, two selected",
         0,
         {0, 1},
         {{CMD_DELETE, true},
          {CMD_CERT_FROM_KEY_CONT, true},
          {CMD_PROP_CERT_CONT, false},
          {CMD_PROPERTIES, false},
          {CMD_TEST_KEY_CONT, true}}},
        {"on a container without",
         1,
         {1},
         {{CMD_DELETE, true},
          {CMD_CERT_FROM_KEY_CONT, false},
          {CMD_PROP_CERT_CONT, false},
          {CMD_PROPERTIES, true},
          {CMD_TEST_KEY_CONT, true}}},
        {"on a container that cannot be read",
         2,
         {2},
         {{CMD_DELETE, true},
          {CMD_CERT_FROM_KEY_CONT, false},
          {CMD_PROP_CERT_CONT, false},
          {CMD_PROPERTIES, true},
          {CMD_TEST_KEY_CONT, true}}},
    };
    for (const MenuCase& c : cases) checkMenu(*m_window, 2, c);
}

TEST_F(CommandStateTest, CrlMenuAndNoMenuOnTheRoot) {
    showCrls(*m_window, 2);
    const MenuCase cases[] = {
        {"empty area", -1, {}, {{CMD_DELETE, false}, {CMD_PROPERTIES, false}}},
        {"on a row", 0, {0}, {{CMD_DELETE, true}, {CMD_PROPERTIES, true}}},
        {"on a row, two selected", 1, {0, 1}, {{CMD_DELETE, true}, {CMD_PROPERTIES, false}}},
    };
    for (const MenuCase& c : cases) checkMenu(*m_window, 1, c);

    SelectNode(*m_window, NODE_ROOT);
    EXPECT_EQ(m_window->prepareListMenu(-1), nullptr);
}

TEST_F(CommandStateTest, RightClickPopsTheNodesMenuAtTheCursor) {
    showCrls(*m_window, 1);
    QTreeWidget* list = m_window->list();
    const QPoint point = rowPoint(list, 0);
    QPointer<QMenu> shown;
    QPoint shownAt;
    QTimer::singleShot(0, [&] {
        shown = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (shown) {
            shownAt = shown->pos();
            shown->close();
        }
    });
    m_window->OnNMRclickListCert(point);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown.data(), m_window->subMenu(1));
    EXPECT_TRUE(m_window->menuItem(1, CMD_DELETE)->isEnabled());
    // Placed at the click point (the platform may only move it to stay on the screen).
    const QPoint global = list->viewport()->mapToGlobal(point);
    EXPECT_LE(std::abs(shownAt.x() - global.x()) + std::abs(shownAt.y() - global.y()), 1) << shownAt.x();

    // The root has no menu: nothing pops up.
    SelectNode(*m_window, NODE_ROOT);
    bool popped = false;
    QTimer::singleShot(0, [&] {
        if (QWidget* popup = QApplication::activePopupWidget()) {
            popped = true;
            popup->close();
        }
    });
    m_window->OnNMRclickListCert(QPoint(5, 5));
    QCoreApplication::processEvents();
    EXPECT_FALSE(popped);
}

TEST_F(CommandStateTest, RightClickOnTheWindowOpensTheStoreMenu) {
    showCertificates(*m_window, MY, {selfSigned("click-point", true)});
    QTreeWidget* list = m_window->list();
    QWindow* handle = m_window->windowHandle();
    ASSERT_NE(handle, nullptr);
    const struct {
        const char* what;
        QPoint point;  // in the list's viewport
        bool onRow;
    } clicks[] = {
        {"on the row", rowPoint(list, 0), true},
        {"below the rows", QPoint(5, list->viewport()->height() - 5), false},
    };
    for (const auto& click : clicks) {
        SCOPED_TRACE(click.what);
        list->clearSelection();
        std::map<int, bool> enabled;
        bool popped = false;
        QTimer::singleShot(0, [&] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                popped = menu == m_window->subMenu(0);
                for (int id : {CMD_IMPORT, CMD_EXPORT, CMD_CRL_INSTALL, CMD_DELETE, CMD_PROPERTIES})
                    enabled[id] = m_window->menuItem(0, id)->isEnabled();
                menu->close();
            }
        });
        const QPoint inWindow = list->viewport()->mapTo(m_window.get(), click.point);
        QTest::mouseClick(handle, Qt::RightButton, Qt::NoModifier, inWindow);
        APP_WAIT_TRUE(popped);
        // A right click on a row selects it first.
        EXPECT_EQ(m_window->selectedCount(), click.onRow ? 1 : 0);
        const std::map<int, bool> expected = {{CMD_IMPORT, true},
                                              {CMD_EXPORT, click.onRow},
                                              {CMD_CRL_INSTALL, click.onRow},
                                              {CMD_DELETE, click.onRow},
                                              {CMD_PROPERTIES, click.onRow}};
        EXPECT_EQ(enabled, expected);
    }
}

// ---- Keys ----------------------------------------------------------------------------------------------

TEST_F(CommandStateTest, EscAsksOnlyRunningWorkersToStopAndNeverCloses) {
    // The initialisation thread has ended: Esc asks nobody.
    QTest::keyClick(m_window->tree(), Qt::Key_Escape);
    EXPECT_TRUE(cancelSet().empty());
    EXPECT_TRUE(m_window->isVisible());

    // A running status worker is asked; stopping it leaves no identifier behind.
    RunningWorker worker;
    m_window->m_statusThreadId = worker.id();
    m_window->m_statusThread = worker.give();
    QTest::keyClick(m_window->list(), Qt::Key_Escape);
    EXPECT_EQ(cancelSet(), std::set<DWORD>{worker.id()});
    EXPECT_TRUE(m_window->isVisible());
    worker.release();
    m_window->clearCertList();
    EXPECT_EQ(m_window->m_statusThread, nullptr);
    EXPECT_EQ(m_window->m_statusThreadId, 0u);
    EXPECT_TRUE(cancelSet().empty());
}

TEST_F(CommandStateTest, DelAndF1RunTheirCommandsOnEveryWidgetOfTheWindow) {
    struct Case {
        Qt::Key key;
        const char16_t* handler;
    };
    const Case cases[] = {{Qt::Key_Delete, u"CKestrovanDlg::OnDelete"},
                          {Qt::Key_F1, u"CKestrovanDlg::OnUserManual"}};
    showCertificates(*m_window, MY, {selfSigned("keys", false)});
    for (const Case& c : cases) {
        for (QWidget* target :
             {static_cast<QWidget*>(m_window->list()), static_cast<QWidget*>(m_window->tree())}) {
            SCOPED_TRACE(QString::fromUtf16(c.handler).toStdString() + " on " +
                         target->objectName().toStdString());
            VskTest::LogCapture log(3);
            QTest::keyClick(target, c.key);
            EXPECT_EQ(log.count(u"-> " + std::u16string(c.handler)), 1u);
        }
    }
    EXPECT_TRUE(m_window->isVisible());
}

TEST_F(CommandStateTest, F5RefillsTheList) {
    // The list shows a certificate the store does not hold; the refill shows the store's own.
    install(selfSigned("in-store", false), StoreMY, STORE_LOCATION_USER);
    showCertificates(*m_window, MY, {selfSigned("not-in-store", false)});
    ASSERT_EQ(m_window->listCount(), 1);
    QTest::keyClick(m_window->list(), Qt::Key_F5);
    ASSERT_EQ(m_window->listCount(), 1);
    EXPECT_EQ(m_window->listItem(0)->text(0), QStringLiteral("in-store"));
    EXPECT_EQ(m_window->getCurrentNode(), MY);
}

TEST_F(CommandStateTest, CopyFromOneStoreAndPasteIntoAnother) {
    install(selfSigned("travelling", true), StoreMY, STORE_LOCATION_USER);
    SelectNode(*m_window, MY);
    ASSERT_EQ(m_window->listCount(), 1);
    clickRow(*m_window, 0);
    EXPECT_EQ(toolbarOf(*m_window), expected({CMD_PROPERTIES, CMD_EXPORT, CMD_CRL_INSTALL, CMD_DELETE}, true))
        << describe(toolbarOf(*m_window));
    QTest::keyClick(m_window->list(), Qt::Key_C, Qt::ControlModifier);

    SelectNode(*m_window, CA);
    EXPECT_EQ(m_window->listCount(), 0);
    // A new list shows no selection button.
    EXPECT_EQ(toolbarOf(*m_window), expected({}, false)) << describe(toolbarOf(*m_window));
    QTest::keyClick(m_window->tree(), Qt::Key_V, Qt::ControlModifier);
    const std::vector<Message> shown = m_messages.messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(QString::fromStdU16String(shown[0].text),
              Text(u"Сертификат \"travelling\" был успешно установлен!"));
    // The list was filled again from the store.
    ASSERT_EQ(m_window->listCount(), 1);
    EXPECT_EQ(m_window->listItem(0)->text(0), QStringLiteral("travelling"));
    EXPECT_EQ(storeCertificates(StoreCA, STORE_LOCATION_USER).size(), 1u);
}

TEST_F(CommandStateTest, CtrlCCopiesTheSelectedCertificateOnStoreNodesOnly) {
    const CCertificate first = selfSigned("copy-first", false);
    const CCertificate second = selfSigned("copy-second", false);

    // On the root, CRL and container nodes the copied certificate stays.
    for (const NodeId node : {NODE_ROOT, NODE_CRLS, NODE_KEY_CONTAINERS}) {
        SelectNode(*m_window, node);
        m_window->m_copiedCert = first;
        QTest::keyClick(m_window->list(), Qt::Key_C, Qt::ControlModifier);
        EXPECT_TRUE(m_window->m_copiedCert.equal(first)) << node;
    }

    showCertificates(*m_window, MY, {first, second});
    struct Case {
        const char* what;
        std::vector<int> selected;
        int key;
        const CCertificate* copied;  // null: emptied
    };
    const Case cases[] = {
        {"the selected one", {1}, Qt::Key_C, &second},
        {"the first of two selected", {0, 1}, Qt::Key_C, &first},
        {"the Cyrillic letter on the same key", {1}, 0x0421, &second},
        {"nothing selected", {}, Qt::Key_C, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_window->list()->clearSelection();
        for (int row : c.selected) m_window->list()->topLevelItem(row)->setSelected(true);
        pressKey(m_window->list(), c.key, Qt::ControlModifier);
        if (c.copied)
            EXPECT_TRUE(m_window->m_copiedCert.equal(*c.copied));
        else
            EXPECT_TRUE(m_window->m_copiedCert.isNull());
    }
    EXPECT_TRUE(m_messages.messages().empty());
}

TEST_F(CommandStateTest, CtrlCAndCtrlANeverReachTheListsOwnCopyAndSelectAll) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    showCertificates(*m_window, MY, {selfSigned("clip-a", false), selfSigned("clip-b", false)});
    m_window->list()->setCurrentItem(m_window->list()->topLevelItem(0));
    clipboard->setText(QStringLiteral("before"));
    QTest::keyClick(m_window->list(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(clipboard->text(), QStringLiteral("before"));

    // Ctrl+A on a store node selects nothing.
    m_window->list()->clearSelection();
    QTest::keyClick(m_window->list(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(m_window->selectedCount(), 0);
}

TEST_F(CommandStateTest, CtrlASelectsEveryContainerFromTheLastToTheFirst) {
    makeContainer("all-holds", true);
    makeContainer("all-empty", false);
    const CKeyContainer holds = findContainer("all-holds");
    const CKeyContainer empty = findContainer("all-empty");
    // The toolbar follows the last row selected, the first one.
    const struct {
        const char* what;
        std::vector<CKeyContainer> rows;
        int key;
        bool installShown;
    } cases[] = {
        {"first row holds a certificate", {holds, empty, empty}, Qt::Key_A, true},
        {"first row holds none", {empty, holds, holds}, Qt::Key_A, false},
        {"the Cyrillic letter on the same key", {holds, empty}, 0x0424, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        showContainers(*m_window, c.rows);
        m_window->tree()->setFocus();
        pressKey(m_window->tree(), c.key, Qt::ControlModifier);
        EXPECT_EQ(m_window->selectedCount(), static_cast<int>(c.rows.size()));
        EXPECT_EQ(m_window->focusWidget(), m_window->list());
        EXPECT_EQ(m_window->isCommandVisible(CMD_CERT_FROM_KEY_CONT), c.installShown);
        EXPECT_TRUE(m_window->isCommandVisible(CMD_PROPERTIES));
        EXPECT_FALSE(m_window->command(CMD_PROPERTIES)->isEnabled());
    }
}

TEST_F(CommandStateTest, CtrlVInstallsTheCopiedCertificateBoundOnlyInMy) {
    const CCertificate bound = makeContainer("paste-key", true);
    const CKeyContainer container = findContainer("paste-key");
    const QString caption = Text(u"Копирование сертификата");

    struct Case {
        const char* what;
        NodeId node;
        bool bindsKey;
    };
    const Case cases[] = {{"into CA", CA, false}, {"into MY", MY, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_messages.clear();
        showCertificates(*m_window, c.node, {});
        m_window->m_copiedCert = bound;
        QTest::keyClick(m_window->list(), Qt::Key_V, Qt::ControlModifier);

        const std::vector<Message> shown = m_messages.messages();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(QString::fromStdU16String(shown[0].caption), caption);
        EXPECT_EQ(QString::fromStdU16String(shown[0].text),
                  Text(u"Сертификат \"paste-key\" был успешно установлен!"));
        EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_ICONINFORMATION));

        Vsk::PKI::CStore store(true);
        store.Open(storeNameOf(c.node), STORE_LOCATION_USER);
        const CCertificate installed = store.FindCertificate(bound);
        ASSERT_FALSE(installed.isNull());
        // Bound: the store's copy names the container (by its name or its unique name).
        const std::u16string named = installed.get_ContainerName().toU16();
        if (c.bindsKey)
            EXPECT_TRUE(named == container.get_Name().toU16() || named == container.get_UniqueName().toU16())
                << QString::fromStdU16String(named).toStdString();
        else
            EXPECT_TRUE(named.empty());
    }
}

TEST_F(CommandStateTest, CtrlVFailuresAndNothingCopied) {
    const QString caption = Text(u"Копирование сертификата");
    const CCertificate keyless = selfSigned("paste-keyless", false);

    // Nothing copied: nothing happens.
    showCertificates(*m_window, MY, {keyless});
    m_window->m_copiedCert = CCertificate(false);
    QTest::keyClick(m_window->list(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_TRUE(m_messages.messages().empty());
    EXPECT_TRUE(storeCertificates(StoreMY, STORE_LOCATION_USER).empty());

    // Ctrl+C with nothing selected empties the copy, so Ctrl+V then does nothing.
    m_window->m_copiedCert = keyless;
    m_window->list()->clearSelection();
    QTest::keyClick(m_window->list(), Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(m_window->list(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_TRUE(m_messages.messages().empty());

    // Into MY a certificate whose key no container holds: the binding fails, its text is shown, the
    // list is not refilled.
    m_window->m_copiedCert = keyless;
    QTest::keyClick(m_window->list(), Qt::Key_V, Qt::ControlModifier);
    std::vector<Message> shown = m_messages.messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(QString::fromStdU16String(shown[0].caption), caption);
    EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_ICONERROR));
    EXPECT_FALSE(shown[0].text.empty());
    EXPECT_EQ(m_window->listCount(), 1);

    // A store that cannot be written to (the open store is closed): the error's text.
    m_messages.clear();
    m_window->m_openStore.Close();
    QTest::keyClick(m_window->list(), Qt::Key_V, Qt::ControlModifier);
    shown = m_messages.messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(QString::fromStdU16String(shown[0].caption), caption);
    EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(m_window->listCount(), 1);

    // Into the trusted roots when the user refuses the add: nothing installed, nothing said.
    m_messages.clear();
    SetRootStoreConfirmHook([](PCCERT_CONTEXT, BOOL, void*) -> BOOL { return FALSE; }, nullptr);
    showCertificates(*m_window, reinterpret_cast<NodeId>(StoreROOT), {});
    m_window->m_copiedCert = keyless;
    QTest::keyClick(m_window->list(), Qt::Key_V, Qt::ControlModifier);
    SetRootStoreConfirmHook(nullptr, nullptr);
    EXPECT_TRUE(m_messages.messages().empty());
    EXPECT_TRUE(storeCertificates(StoreROOT, STORE_LOCATION_USER).empty());

    // Keys of the window never close it.
    EXPECT_TRUE(m_window->isVisible());
}

}  // namespace
