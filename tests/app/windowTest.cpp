// The main window's shell: caption, tree, toolbar at start, the keys that never close it, the trace
// switch, the layout, the tool tips, and the progress bar's rules.
#include "appTestSupport.h"
#include "commandFixtures.h"
#include "kestrovanApp.h"

#include <vsk/utils/file.h>
#include <vsk/utils/log.h>
#include <vsk/utils/registry.h>

#include <vsk/platform/windowMessages.h>

#include <QComboBox>
#include <QMenu>
#include <QProgressBar>
#include <QScreen>
#include <QToolBar>
#include <QToolButton>

#include <chrono>
#include <thread>

using namespace AppTest;

namespace {

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override { SetOptions(OPTION_NO_START_CHECK); }
    FreshRoot m_root;
    MessageRecorder m_messages;
};

TEST_F(WindowTest, ShowsCaptionTreeAndStartToolbar) {
    auto window = ShowWindow();
    EXPECT_EQ(window->windowTitle(), Text(u"Кестрован"));

    struct Node {
        const char16_t* text;
        NodeId id;
        int depth;
    };
    const Node expected[] = {
        {u"Сертификаты", NODE_ROOT, 0},
        {u"Личные", reinterpret_cast<NodeId>(StoreMY), 1},
        {u"Другие пользователи", reinterpret_cast<NodeId>(StoreAddressBook), 1},
        {u"Промежуточные центры сертификации", reinterpret_cast<NodeId>(StoreCA), 1},
        {u"Доверенные корневые центры сертификации", reinterpret_cast<NodeId>(StoreROOT), 1},
        {u"Списки отозванных сертификатов", NODE_CRLS, 0},
        {u"Ключевые контейнеры", NODE_KEY_CONTAINERS, 0},
    };
    size_t index = 0;
    for (QTreeWidgetItemIterator it(window->tree()); *it; ++it, ++index) {
        ASSERT_LT(index, std::size(expected));
        EXPECT_EQ((*it)->text(0), Text(expected[index].text));
        EXPECT_EQ(CKestrovanDlg::nodeOf(*it), expected[index].id);
        EXPECT_EQ((*it)->parent() ? 1 : 0, expected[index].depth);
        // Store nodes have no picture.
        EXPECT_EQ((*it)->icon(0).isNull(), expected[index].depth == 1) << index;
    }
    EXPECT_EQ(index, std::size(expected));
    EXPECT_EQ(window->getCurrentNode(), NODE_ROOT);
    EXPECT_EQ(window->list()->columnCount(), 0);
    EXPECT_TRUE(window->statusText()->text().isEmpty());

    const int visible[] = {CMD_LOCATION_USER, CMD_LOCATION_MACHINE,
                           CMD_REFRESH,       CMD_CHECK_ROOT_CERT,
                           CMD_OIDS_REG,      CMD_TEST,
                           CMD_SETS,          CMD_HELP};
    const int hidden[] = {CMD_PROPERTIES,  CMD_EXPORT, CMD_IMPORT,
                          CMD_CRL_INSTALL, CMD_DELETE, CMD_CERT_FROM_KEY_CONT};
    for (int id : visible) EXPECT_TRUE(window->isCommandVisible(id)) << id;
    for (int id : hidden) EXPECT_FALSE(window->isCommandVisible(id)) << id;
    EXPECT_TRUE(window->command(CMD_LOCATION_USER)->isChecked());
    EXPECT_EQ(window->getStoreLocationFlags(), STORE_LOCATION_USER);
}

// A damaged proxy value in the registry does not keep the window from starting: the automatic
// settings stay and the failure is logged.
TEST_F(WindowTest, ADamagedProxyValueStillStarts) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, AppProxyRegistryKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              0);
    const DWORD badType = 77;
    ASSERT_EQ(
        RegSetValueExW(key, u"type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&badType), sizeof badType),
        0);
    RegCloseKey(key);
    VskTest::LogCapture log(1);
    auto window = ShowWindow();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->m_proxySettings.get_Mode(), Vsk::Utils::CProxySettings::ModeAutomatic);
    EXPECT_EQ(log.count(u"CKestrovanDlg::OnInitDialog CProxySettings::Load"), 1u);
}

TEST_F(WindowTest, EnterAndEscNeverCloseAndTheCloseBoxEndsWithZero) {
    auto window = ShowWindow();
    window->setResult(-1);
    QTest::keyClick(window->tree(), Qt::Key_Return);
    QTest::keyClick(window->tree(), Qt::Key_Escape);
    QTest::keyClick(window.get(), Qt::Key_Enter);
    EXPECT_TRUE(window->isVisible());
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->result(), 0);
}

// ---- The trace switch -----------------------------------------------------------------------------

TEST(TraceSwitch, CountsInAnyCaseAnywhereInTheCommandLine) {
    const struct {
        std::vector<std::string> arguments;
        bool found;
    } cases[] = {
        {{"kestrovan", "-TRACE"}, true},   {{"kestrovan", "x-tracey"}, true},
        {{"kestrovan", "-Trace"}, true},   {{"kestrovan", "--trace"}, true},
        {{"/opt/-trace/kestrovan"}, true}, {{"kestrovan"}, false},
        {{"kestrovan", "trace"}, false},   {{"kestrovan", "-trac", "e"}, false},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv;
        for (const std::string& argument : c.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        EXPECT_EQ(CKestrovanApp::hasTraceSwitch(static_cast<int>(argv.size()), argv.data()), c.found)
            << c.arguments.back();
    }
}

TEST(TraceSwitch, SetsLevelThreeForThisRunAndStoresNothing) {
    FreshRoot root;
    Vsk::InternalUtils::CLog* log = Vsk::InternalUtils::GetLog();
    ASSERT_NE(log, nullptr);
    const int saved = log->getLevelWord();

    // The stored level: 5.
    constexpr WCHAR LogKey[] = u"Software\\Voskel\\Helvor";
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, LogKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    const DWORD stored = 5;
    ASSERT_EQ(
        RegSetValueExW(key, u"log", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&stored), sizeof stored), 0);
    RegCloseKey(key);
    const auto storedLevel = [&] {
        bool ok = false;
        const uint32_t value =
            Vsk::InternalUtils::regReadValue(LogKey, u"log", HKEY_CURRENT_USER).toUInt32(&ok);
        return ok ? static_cast<int>(value) : -1;
    };

    char program[] = "kestrovan";
    char trace[] = "-trace";
    char* withSwitch[] = {program, trace};
    char* without[] = {program};
    const struct {
        int before;
        bool given;
        int after;  // the level word for the run
    } cases[] = {
        {5, true, 3},  {2, true, 3}, {0, true, 3},
        {4, true, 3},  {7, true, 3}, {0x15, true, 0x13},  // the bits above the level stay
        {5, false, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        log->setLevel(c.before, 0);
        EXPECT_EQ(CKestrovanApp::applyTraceSwitch(c.given ? 2 : 1, c.given ? withSwitch : without), c.given);
        EXPECT_EQ(log->getLevelWord(), c.after);
        EXPECT_EQ(log->getLevel(), c.after & 7);
        EXPECT_EQ(storedLevel(), 5);
    }
    log->setLevel(saved, 0);
}

// ---- Layout and tool tips -------------------------------------------------------------------------

TEST_F(WindowTest, StartsCentredAtMost1000By600) {
    auto window = ShowWindow();
    const QRect screen = window->screen()->geometry();
    const int width = std::min(screen.width(), 1000);
    const int height = std::min(screen.height(), 600);
    // The whole window, its frame included.
    APP_WAIT_EQ(window->frameGeometry().size(), QSize(width, height));
    EXPECT_EQ(window->frameGeometry().topLeft(),
              QPoint(screen.x() + (screen.width() - width) / 2, screen.y() + (screen.height() - height) / 2));
}

TEST_F(WindowTest, LayoutFollowsTheClientSizeAndKeepsTheTreesWidth) {
    auto window = ShowWindow();
    window->tree()->resize(211, window->tree()->height());
    const QSize sizes[] = {{701, 457}, {640, 480}, {555, 333}};
    for (const QSize& size : sizes) {
        SCOPED_TRACE(std::to_string(size.width()) + "x" + std::to_string(size.height()));
        window->resize(size);
        APP_WAIT_EQ(window->size(), size);
        const int cx = size.width();
        const int cy = size.height();
        EXPECT_EQ(window->tree()->geometry(), QRect(0, 31, 211, cy - 54));
        EXPECT_EQ(window->list()->geometry(), QRect(214, 31, cx - 214, cy - 54));
        const int h = window->statusText()->height();
        EXPECT_EQ(window->statusText()->geometry(), QRect(3, cy - h - 2, (2 * cx) / 3 - 4, h));
        const int h2 = window->progressBar()->height();
        EXPECT_EQ(window->progressBar()->geometry(), QRect((2 * cx) / 3, cy - h2 - 4, cx / 3 - 2, h2));
    }
}

TEST_F(WindowTest, ToolTipsFollowTheNode) {
    auto window = ShowWindow();
    const struct {
        NodeId node;
        const char16_t* deleteTip;
        const char16_t* propertiesTip;
    } nodes[] = {
        {NODE_ROOT, u"", u""},
        {NODE_CRLS, u"Удалить список отозванных сертификатов", u"Свойства списка отозванных сертификатов"},
        {NODE_KEY_CONTAINERS, u"Удалить ключевой контейнер", u"Свойства ключевого контейнера"},
        {reinterpret_cast<NodeId>(StoreMY), u"Удалить сертификат", u"Свойства сертификата"},
        {reinterpret_cast<NodeId>(StoreAddressBook), u"Удалить сертификат", u"Свойства сертификата"},
        {reinterpret_cast<NodeId>(StoreCA), u"Удалить сертификат", u"Свойства сертификата"},
        {reinterpret_cast<NodeId>(StoreROOT), u"Удалить сертификат", u"Свойства сертификата"},
    };
    for (const auto& n : nodes) {
        SCOPED_TRACE(n.node);
        SelectNode(*window, n.node);
        EXPECT_EQ(window->OnTbnGetInfoTip(CMD_DELETE), Text(n.deleteTip));
        EXPECT_EQ(window->OnTbnGetInfoTip(CMD_PROPERTIES), Text(n.propertiesTip));
        // The buttons show them.
        EXPECT_EQ(window->command(CMD_DELETE)->toolTip(), Text(n.deleteTip));
        EXPECT_EQ(window->command(CMD_PROPERTIES)->toolTip(), Text(n.propertiesTip));
    }

    const struct {
        int id;
        const char16_t* tip;
    } fixed[] = {
        {CMD_LOCATION_USER, u"Для текущего пользователя"},
        {CMD_LOCATION_MACHINE, u"Для компьютера"},
        {CMD_REFRESH, u"Обновить"},
        {CMD_CHECK_ROOT_CERT, u"Проверить корневые сертификаты УЦ ООО «Зорнавелиста»"},
        {CMD_TEST, u"Тестирование криптосистемы, выбранного ключевого контейнера"},
        {CMD_IMPORT, u"Добавить сертификат из файла"},
        {CMD_CERT_FROM_KEY_CONT, u"Установить сертификат из ключевого контейнера"},
        {CMD_EXPORT, u"Сохранить сертификат в файл"},
        {CMD_CRL_INSTALL, u"Скачать и установить список отозванных сертификатов"},
        {CMD_SETS, u"Настройки"},
        {CMD_HELP, u"Справка"},
        {CMD_PROP_CERT_CONT, u""},
        {CMD_TEST_KEY_CONT, u""},
    };
    for (const auto& f : fixed) EXPECT_EQ(window->OnTbnGetInfoTip(f.id), Text(f.tip)) << f.id;

    const struct {
        int32_t unregistered;
        const char16_t* tip;
    } oids[] = {
        {-1, u"Зарегистрировать OID-ы «Зорнавелиста»"},
        {0, u"Разрегистрировать OID-ы «Зорнавелиста»"},
        {3, u"Зарегистрировать OID-ы «Зорнавелиста»"},
    };
    for (const auto& o : oids) {
        window->m_unregisteredOids = o.unregistered;
        EXPECT_EQ(window->OnTbnGetInfoTip(CMD_OIDS_REG), Text(o.tip)) << o.unregistered;
    }
}

// ---- Progress ------------------------------------------------------------------------------------------

TEST_F(WindowTest, ProgressOnTheGuiThreadDrivesTheBarAndAWorkerReadsNothingBack) {
    auto window = ShowWindow();
    QProgressBar* bar = window->progressBar();
    EXPECT_FALSE(bar->isVisible());
    {
        CProgressImpl progress(bar, window.get());
        EXPECT_TRUE(bar->isVisible());
        progress.setRange(7);
        progress.setPos(3);
        EXPECT_EQ(progress.getRange(), 7u);
        EXPECT_EQ(progress.getPos(), 3);
        uint32_t range = 99;
        int32_t position = 99;
        std::thread([&] {
            range = progress.getRange();
            position = progress.getPos();
        }).join();
        EXPECT_EQ(range, 0u);
        EXPECT_EQ(position, 0);
    }
    EXPECT_FALSE(bar->isVisible());

    // A worker's progress: shown, set and stepped through the window's queue; read back as 0.
    std::atomic<bool> stepped{false};
    std::atomic<bool> finish{false};
    uint32_t range = 99;
    int32_t position = 99;
    std::thread worker([&] {
        CProgressImpl progress(bar, window.get());
        progress.setRange(4);
        progress.setPos(2);
        progress.next();
        range = progress.getRange();
        position = progress.getPos();
        stepped = true;
        while (!finish) Sleep(2);
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return stepped.load(); }, 10000));
    APP_WAIT_TRUE(bar->isVisible());
    APP_WAIT_EQ(bar->value(), 3);
    EXPECT_EQ(bar->maximum(), 4);
    EXPECT_EQ(range, 0u);
    EXPECT_EQ(position, 0);
    finish = true;
    worker.join();
    APP_WAIT_TRUE(!bar->isVisible());
}

TEST_F(WindowTest, ProgressOfAFewStepsStaysInViewForAtLeast300Ms) {
    using Clock = std::chrono::steady_clock;
    const auto ms = [](Clock::duration d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    };
    auto window = ShowWindow();
    const struct {
        int steps;
        bool lasts300;
    } cases[] = {{1, false}, {2, true}, {5, true}, {9, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        CProgressImpl progress(window->progressBar(), window.get());
        progress.setRange(c.steps);
        progress.setPos(0);
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < c.steps; ++i) progress.next();
        const auto elapsed = ms(Clock::now() - start);
        if (c.lasts300)
            EXPECT_GE(elapsed, 300);
        else
            EXPECT_LT(elapsed, 250);
    }

    // The first ten steps together last 300 ms; later steps do not wait.
    CProgressImpl progress(window->progressBar(), window.get());
    progress.setRange(100);
    progress.setPos(0);
    for (int i = 0; i < 10; ++i) progress.next();
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < 10; ++i) progress.next();
    EXPECT_LT(ms(Clock::now() - start), 250);
    EXPECT_EQ(progress.getPos(), 20);
}

TEST_F(WindowTest, EscDuringAProgressCancelsItAndAsksTheWorkers) {
    auto window = ShowWindow();
    ASSERT_TRUE(WaitForInit(*window));
    const auto cancelSet = [&] {
        Vsk::Utils::CLock lock(&window->m_shared->lock);
        return window->m_shared->cancelSet;
    };
    const auto pressEsc = [&] {
        QCoreApplication::postEvent(window->list(),
                                    new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    };

    // No worker runs: the progress is cancelled, nobody else is asked.
    {
        CProgressImpl progress(window->progressBar(), window.get());
        progress.setRange(10);
        progress.next();
        EXPECT_FALSE(progress.isCancelled());
        pressEsc();
        progress.next();
        EXPECT_TRUE(progress.isCancelled());
        EXPECT_TRUE(cancelSet().empty());
    }

    // A running status worker is asked too.
    CommandFixtures::RunningWorker worker;
    window->m_statusThreadId = worker.id();
    window->m_statusThread = worker.give();
    {
        CProgressImpl progress(window->progressBar(), window.get());
        progress.setRange(10);
        pressEsc();
        progress.next();
        EXPECT_TRUE(progress.isCancelled());
        EXPECT_EQ(cancelSet(), std::set<DWORD>{worker.id()});
    }
    EXPECT_TRUE(window->isVisible());
    worker.release();
    window->clearCertList();
    EXPECT_TRUE(cancelSet().empty());
}

// ---- Shell ------------------------------------------------------------------------------------------------

TEST_F(WindowTest, OptionBitsComeFromTheFlagsValue) {
    const struct {
        bool written;
        DWORD flags;
    } cases[] = {{false, 0}, {true, OPTION_NO_START_CHECK}, {true, 0x148}, {true, 0xFFFFFFFF}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        FreshRoot root;
        if (c.written) SetOptions(c.flags);
        CKestrovanDlg window;
        EXPECT_EQ(window.getOptions(), c.flags);
    }
}

TEST_F(WindowTest, ToolbarAndMenusInTheirOrder) {
    auto window = ShowWindow();
    auto* toolbar = window->findChild<QToolBar*>(QStringLiteral("id_129"));
    ASSERT_NE(toolbar, nullptr);
    // 0: a separator.
    const int buttons[] = {CMD_LOCATION_USER,
                           CMD_LOCATION_MACHINE,
                           0,
                           CMD_REFRESH,
                           CMD_CHECK_ROOT_CERT,
                           CMD_OIDS_REG,
                           CMD_TEST,
                           0,
                           CMD_IMPORT,
                           CMD_CERT_FROM_KEY_CONT,
                           CMD_EXPORT,
                           CMD_DELETE,
                           CMD_CRL_INSTALL,
                           0,
                           CMD_PROPERTIES,
                           CMD_SETS,
                           CMD_HELP};
    std::vector<int> shown;
    for (QAction* action : toolbar->actions()) {
        if (action->isSeparator()) {
            shown.push_back(0);
            continue;
        }
        // The help button is a drop-down widget with the command's action.
        QAction* command = action;
        if (auto* button = qobject_cast<QToolButton*>(toolbar->widgetForAction(action));
            button && button->defaultAction())
            command = button->defaultAction();
        const QString name = command->objectName();
        if (name.startsWith(QStringLiteral("cmd_"))) shown.push_back(name.mid(4).toInt());
    }
    EXPECT_EQ(shown, std::vector<int>(std::begin(buttons), std::end(buttons)));
    EXPECT_TRUE(window->command(CMD_LOCATION_USER)->isCheckable());
    EXPECT_TRUE(window->command(CMD_LOCATION_MACHINE)->isCheckable());
    EXPECT_TRUE(window->command(CMD_OIDS_REG)->isEnabled());

    const struct {
        const char16_t* text;
        std::vector<std::pair<int, const char16_t*>> items;
    } menus[] = {
        {u"Сертификат",
         {{CMD_IMPORT, u"Загрузить из файла"},
          {CMD_EXPORT, u"Сохранить в файл"},
          {CMD_CRL_INSTALL, u"Установить СОС"},
          {CMD_DELETE, u"Удалить"},
          {CMD_PROPERTIES, u"Свойства"}}},
        {u"СОС", {{CMD_DELETE, u"Удалить"}, {CMD_PROPERTIES, u"Свойства"}}},
        {u"Контейнер",
         {{CMD_PROP_CERT_CONT, u"Свойства сертификата в контейнере"},
          {CMD_CERT_FROM_KEY_CONT, u"Установить сертификат из контейнера"},
          {CMD_PROPERTIES, u"Свойства ключевого контейнера"},
          {CMD_TEST_KEY_CONT, u"Тест ключевого контейнера"},
          {CMD_DELETE, u"Удалить ключевой контейнер"}}},
        {u"Справка", {{CMD_USER_MANUAL, u"Руководство пользователя"}, {CMD_ABOUT_PROG, u"О программе"}}},
        {u"Хранилище",
         {{CMD_ADD_STORE, u"Добавить из файла хранилища"}, {CMD_SAVE_STORE, u"Сохранить хранилище в файл"}}},
    };
    const QList<QAction*> top = window->menu()->actions();
    ASSERT_EQ(top.size(), static_cast<qsizetype>(std::size(menus)));
    for (size_t position = 0; position < std::size(menus); ++position) {
        SCOPED_TRACE(position);
        EXPECT_EQ(top[position]->text(), Text(menus[position].text));
        QMenu* sub = window->subMenu(static_cast<int>(position));
        ASSERT_NE(sub, nullptr);
        const QList<QAction*> items = sub->actions();
        ASSERT_EQ(items.size(), static_cast<qsizetype>(menus[position].items.size()));
        for (size_t i = 0; i < menus[position].items.size(); ++i) {
            const auto& [id, text] = menus[position].items[i];
            EXPECT_EQ(items[static_cast<qsizetype>(i)], window->menuItem(static_cast<int>(position), id));
            EXPECT_EQ(items[static_cast<qsizetype>(i)]->text(), Text(text));
        }
    }
    // The help button drops the help menu down.
    EXPECT_EQ(window->command(CMD_HELP)->menu(), window->subMenu(3));
}

TEST_F(WindowTest, ProviderLabelAndSelectorWaitHiddenForTheContainerNode) {
    auto window = ShowWindow();
    auto* label = window->findChild<QLabel*>(QStringLiteral("id_65535"));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), Text(u"Криптопровайдер "));
    EXPECT_FALSE(label->isVisible());
    EXPECT_FALSE(window->providerSelector()->isVisible());
    EXPECT_EQ(window->providerSelector()->objectName(), QStringLiteral("id_1011"));
    EXPECT_EQ(label->font().family(), QStringLiteral("Arial"));
    EXPECT_EQ(label->font().pointSize(), 8);
}

TEST_F(WindowTest, LocationFollowsTheCheckedButtonAndNodesAnswerTheirKind) {
    auto window = ShowWindow();
    EXPECT_FALSE(window->isComputerLocation());
    window->command(CMD_LOCATION_MACHINE)->trigger();
    EXPECT_TRUE(window->command(CMD_LOCATION_MACHINE)->isChecked());
    EXPECT_FALSE(window->command(CMD_LOCATION_USER)->isChecked());
    EXPECT_TRUE(window->isComputerLocation());
    EXPECT_EQ(window->getStoreLocationFlags(), STORE_LOCATION_MACHINE);
    window->command(CMD_LOCATION_USER)->trigger();
    EXPECT_FALSE(window->isComputerLocation());
    EXPECT_EQ(window->getStoreLocationFlags(), STORE_LOCATION_USER);

    const struct {
        NodeId node;
        bool store;
        bool containers;
    } nodes[] = {
        {NODE_ROOT, false, false},
        {NODE_CRLS, false, false},
        {NODE_KEY_CONTAINERS, false, true},
        {reinterpret_cast<NodeId>(StoreMY), true, false},
        {reinterpret_cast<NodeId>(StoreROOT), true, false},
    };
    for (const auto& n : nodes) {
        SelectNode(*window, n.node);
        EXPECT_EQ(window->getCurrentNode(), n.node);
        EXPECT_EQ(isStoreNode(n.node), n.store);
        EXPECT_EQ(window->isKeyContNodeSelected(), n.containers) << n.node;
    }
}

TEST_F(WindowTest, SelectedItemDataIsTheFirstSelectedRow) {
    auto window = ShowWindow();
    CommandFixtures::showCrls(*window, 3);
    QTreeWidget* list = window->list();
    EXPECT_EQ(window->getSelectedItemData(), nullptr);
    list->topLevelItem(2)->setSelected(true);
    list->topLevelItem(1)->setSelected(true);
    EXPECT_EQ(window->getSelectedItemData(), window->listItem(1)->itemData());
    EXPECT_EQ(window->selectedCount(), 2);
    list->clearSelection();
    EXPECT_EQ(window->getSelectedItemData(), nullptr);
}

TEST_F(WindowTest, StoreNodesHaveNoPicture) {
    auto window = ShowWindow();
    for (QTreeWidgetItemIterator it(window->tree()); *it; ++it) {
        const NodeId node = CKestrovanDlg::nodeOf(*it);
        EXPECT_EQ((*it)->icon(0).isNull(), isStoreNode(node)) << (*it)->text(0).toStdString();
    }
}

// ---- Workers ----------------------------------------------------------------------------------------------

TEST_F(WindowTest, InitialisationThreadFillsTheProviderCacheAndRemovesTheOldProgramFile) {
    // What a self-update leaves beside the program.
    const std::string old =
        QString::fromStdU16String(Vsk::InternalUtils::GetModuleFileNameW(nullptr).toU16()).toStdString() +
        ".old";
    { std::ofstream(old) << "old"; }
    auto window = ShowWindow();
    ASSERT_TRUE(WaitForInit(*window));
    EXPECT_FALSE(std::filesystem::exists(old));
    std::filesystem::remove(old);
    Vsk::Utils::CLock lock(&window->m_shared->lock);
    EXPECT_GT(window->m_cspCache.getCount(), 0u);
}

TEST_F(WindowTest, AWorkerFindsItsStopRequestOnce) {
    auto window = ShowWindow();
    ASSERT_TRUE(WaitForInit(*window));
    CWorkerJob job;
    job.dlg = window.get();
    job.shared = window->m_shared;
    std::atomic<DWORD> id{0};
    std::atomic<bool> asked{false};
    std::vector<bool> answers;
    std::thread worker([&] {
        id = GetCurrentThreadId();
        while (!asked) Sleep(1);
        answers.push_back(job.isThreadRegistered());
        answers.push_back(job.isThreadRegistered());
    });
    while (!id) Sleep(1);
    {
        Vsk::Utils::CLock lock(&window->m_shared->lock);
        window->m_shared->cancelSet.insert(id);
    }
    asked = true;
    worker.join();
    EXPECT_EQ(answers, (std::vector<bool>{true, false}));
    Vsk::Utils::CLock lock(&window->m_shared->lock);
    EXPECT_TRUE(window->m_shared->cancelSet.empty());
}

TEST_F(WindowTest, ShowProgressMessageShowsOrHidesTheBarOnly) {
    auto window = ShowWindow();
    QProgressBar* bar = window->progressBar();
    const struct {
        WPARAM wParam;
        bool visibleAfter;
    } steps[] = {{5, true}, {7, true}, {0, false}, {1, false}, {5, true}, {0, false}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.wParam);
        ASSERT_TRUE(PostMessageW(window.get(), WM_SHOW_PROGRESS, step.wParam, 0));
        APP_WAIT_EQ(bar->isVisible(), step.visibleAfter);
        QCoreApplication::processEvents();
        EXPECT_EQ(bar->isVisible(), step.visibleAfter);
    }
}

TEST_F(WindowTest, ProxySettingsAreReadOnceFromTheUsersHive) {
    m_root.set("KESTROVAN_ADMIN", "1");
    const struct {
        HKEY hive;
        const char16_t* address;
    } stored[] = {{HKEY_CURRENT_USER, u"127.0.0.1"}, {HKEY_LOCAL_MACHINE, u"127.0.0.2"}};
    for (const auto& s : stored) {
        Vsk::Utils::CProxySettings settings;
        settings.put_Address(s.address);
        ASSERT_NO_THROW(settings.Save(AppProxyRegistryKey, s.hive));
    }
    auto window = ShowWindow();
    EXPECT_EQ(window->m_proxySettings.get_Address().toU16(), u"127.0.0.1");
    // Another location later does not load them again.
    window->command(CMD_LOCATION_MACHINE)->trigger();
    ASSERT_TRUE(window->isComputerLocation());
    EXPECT_EQ(window->m_proxySettings.get_Address().toU16(), u"127.0.0.1");
}

}  // namespace
