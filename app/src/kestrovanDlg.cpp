// The main window's construction, layout, toolbar, menus, command routing and close semantics.
#include "kestrovanDlg.h"

#include <vsk/pki/TokenAsCsp.h>
#include <vsk/platform/registry.h>
#include <vsk/platform/wait.h>
#include <vsk/platform/windowMessages.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/file.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/registry.h>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>

using Vsk::InternalUtils::CLogScope;

const WCHAR AppRegistryKey[] = u"Software\\Zornavelista\\Kestrovan";
const WCHAR AppProxyRegistryKey[] = u"Software\\Zornavelista\\Kestrovan\\proxy";
const WCHAR StoreMY[] = u"MY";
const WCHAR StoreAddressBook[] = u"AddressBook";
const WCHAR StoreCA[] = u"CA";
const WCHAR StoreROOT[] = u"ROOT";

namespace {

// The toolbar's height: the tree and the list start below it.
constexpr int ToolbarHeight = 31;
// The tree's width at start; the user's later width is kept by the layout.
constexpr int InitialTreeWidth = 300;

struct ToolbarEntry {
    int command;  // 0: separator
    int icon;
    bool check;
};

// The toolbar's buttons in order.
constexpr ToolbarEntry ToolbarEntries[] = {
    {CMD_LOCATION_USER, 169, true},
    {CMD_LOCATION_MACHINE, 170, true},
    {0, 0, false},
    {CMD_REFRESH, 151, false},
    {CMD_CHECK_ROOT_CERT, 156, false},
    {CMD_OIDS_REG, 166, false},
    {CMD_TEST, 172, false},
    {0, 0, false},
    {CMD_IMPORT, 162, false},
    {CMD_CERT_FROM_KEY_CONT, 168, false},
    {CMD_EXPORT, 161, false},
    {CMD_DELETE, 167, false},
    {CMD_CRL_INSTALL, 159, false},
    {0, 0, false},
    {CMD_PROPERTIES, 152, false},
    {CMD_SETS, 184, false},
    {CMD_HELP, 154, false},
};

// Pictures of the menu items, by command, in every sub-menu.
constexpr std::pair<int, int> MenuPictures[] = {
    {162, CMD_IMPORT},        {161, CMD_EXPORT},         {159, CMD_CRL_INSTALL},
    {167, CMD_DELETE},        {152, CMD_PROPERTIES},     {168, CMD_CERT_FROM_KEY_CONT},
    {172, CMD_TEST_KEY_CONT}, {155, CMD_PROP_CERT_CONT}, {154, CMD_USER_MANUAL},
    {156, CMD_ABOUT_PROG},    {162, CMD_ADD_STORE},      {161, CMD_SAVE_STORE},
};

struct MenuItem {
    int command;
    const char16_t* text;
};

struct SubMenu {
    const char16_t* text;
    std::initializer_list<MenuItem> items;
};

// Menu 176: five sub-menus used by position.
const SubMenu SubMenus[] = {
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

QIcon iconOf(int id) {
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(id));
    return icon ? *reinterpret_cast<QIcon*>(icon) : QIcon();
}

QString idName(int id) {
    return QStringLiteral("id_%1").arg(id);
}

}  // namespace

// ---- Texts ----------------------------------------------------------------------------------------------

QString toQ(const Vsk::Utils::CWString& text) {
    return text.getLength() ? QString::fromUtf16(text.c_str(), static_cast<qsizetype>(text.getLength()))
                            : QString();
}

QString toQ(const WCHAR* text) {
    return text ? QString::fromUtf16(text) : QString();
}

QString fromCp1251(const char* text) {
    return text ? toQ(Vsk::Utils::CWString(text, strlen(text), 1251)) : QString();
}

Vsk::Utils::CWString fromQ(const QString& text) {
    return Vsk::Utils::CWString(reinterpret_cast<const WCHAR*>(text.utf16()),
                                static_cast<size_t>(text.size()));
}

QString appTitle() {
    return QFileInfo(toQ(Vsk::InternalUtils::GetModuleFileNameW(nullptr))).completeBaseName();
}

// ---- List rows -------------------------------------------------------------------------------------------

CListItem::CListItem(CKestrovanDlg* owner, void* itemData, bool textCallback)
    : QTreeWidgetItem(UserType), m_owner(owner), m_itemData(itemData), m_textCallback(textCallback) {}

QVariant CListItem::data(int column, int role) const {
    if (role == Qt::DisplayRole && m_textCallback && m_owner)
        return m_owner->OnLvnGetdispinfoListCert(*this, column);
    if (role == Qt::ToolTipRole && m_owner) {
        const QTreeWidget* view = treeWidget();
        const QString tip =
            view ? m_owner->OnLvnGetInfoTipListCert(view->indexOfTopLevelItem(const_cast<CListItem*>(this)))
                 : QString();
        return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    return QTreeWidgetItem::data(column, role);
}

// ---- Construction -------------------------------------------------------------------------------------

CKestrovanDlg::CKestrovanDlg(QWidget* parent)
    : QDialog(parent),
      m_options(0),
      m_shared(std::make_shared<CDlgShared>()),
      m_currentNode(NODE_ROOT),
      m_sortColumn(0xFFFF),
      m_sortDescending(0xFFFF),
      m_initThread(nullptr),
      m_updateThread(nullptr),
      m_statusThread(nullptr),
      m_initThreadId(0),
      m_statusThreadId(0),
      m_unregisteredOids(-1),
      m_selectedProvider(-1),
      m_testDataMin(1024),
      m_testDataMax(10240),
      m_certList(std::make_shared<CCertList>()),
      m_cspCache(),
      m_copiedCert(false),
      m_statusCache(std::make_shared<CStatusCache>()),
      m_containerPresenceCheck(false),
      m_toolbar(nullptr),
      m_locationGroup(nullptr),
      m_helpButton(nullptr),
      m_provider(nullptr),
      m_providerAction(nullptr),
      m_providerLabel(nullptr),
      m_providerLabelAction(nullptr),
      m_menu(nullptr),
      m_initialized(false),
      m_framePlaced(false),
      m_destroyed(false) {
    setObjectName(QStringLiteral("id_104"));
    setWindowTitle(QStringLiteral(u"Кестрован"));
    setWindowIcon(iconOf(128));
    // A missing or unreadable value reads as no option at all.
    bool ok = false;
    const DWORD flags =
        Vsk::InternalUtils::regReadValue(AppRegistryKey, u"flags", HKEY_CURRENT_USER).toUInt32(&ok);
    m_options = ok ? flags : 0;

    // The controls of the template.
    m_tree = new QTreeWidget(this);
    m_tree->setObjectName(idName(IDC_TREE_STORE));
    m_list = new QTreeWidget(this);
    m_list->setObjectName(idName(IDC_LIST_CERT));
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(idName(IDC_PROGRESS));
    m_progress->setTextVisible(false);
    m_progress->hide();
    m_status = new QLabel(this);
    m_status->setObjectName(idName(IDC_STATUS));
    m_status->setTextFormat(Qt::PlainText);
    m_tree->setGeometry(0, ToolbarHeight, InitialTreeWidth, 300);
    m_status->setFixedHeight(m_status->sizeHint().height());
    m_progress->setFixedHeight(16);

    // Keys reach the window before its widgets.
    qApp->installEventFilter(this);
}

CKestrovanDlg::~CKestrovanDlg() {
    qApp->removeEventFilter(this);
    OnDestroy();
    // The rows ask the window for their texts and point into its lists: they go while both exist (the
    // list widget itself goes only with the dialog base, and may lay its rows out once more then).
    m_list->clear();
}

void CKestrovanDlg::showEvent(QShowEvent* event) {
    if (!m_initialized) {
        m_initialized = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
    // The window system adds its frame only once the window is shown: the whole window, frame
    // included, is then fitted again.
    if (!m_framePlaced) {
        m_framePlaced = true;
        QTimer::singleShot(0, this, [this] { placeOnScreen(); });
    }
}

void CKestrovanDlg::placeOnScreen() {
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->geometry() : QRect(0, 0, 1000, 600);
    const int width = std::min(area.width(), 1000);
    const int height = std::min(area.height(), 600);
    const QSize frame = frameGeometry().size() - size();
    resize(width - frame.width(), height - frame.height());
    move(area.x() + (area.width() - width) / 2, area.y() + (area.height() - height) / 2);
}

int CKestrovanDlg::exec() {
    if (!m_initialized) {
        m_initialized = true;
        OnInitDialog();
    }
    return QDialog::exec();
}

BOOL CKestrovanDlg::OnInitDialog() {
    CLogScope scope("CKestrovanDlg::OnInitDialog", 3);
    m_initialized = true;

    // Size and centre on the screen.
    placeOnScreen();
    const int width = this->width();

    setWindowIcon(iconOf(128));
    createMenu();
    createToolbar();

    // Unregistered OIDs are counted by the OID registration; the button is usable from the start.
    areOidsRegistered();
    enableCommand(CMD_OIDS_REG, true);
    command(CMD_LOCATION_USER)->setChecked(true);

    // The provider label and selector: children of the toolbar at the window's right edge, hidden
    // until the key-container node is shown.
    QFont font(QStringLiteral("Arial"));
    font.setPointSize(8);
    m_providerLabel = new QLabel(QStringLiteral(u"Криптопровайдер "), m_toolbar);
    m_providerLabel->setObjectName(idName(IDC_PROVIDER_LABEL));
    m_providerLabel->setFont(font);
    // The label ends where the selector begins; it is as wide as its text needs in this font.
    const int labelWidth = std::max(100, m_providerLabel->sizeHint().width());
    m_providerLabel->setGeometry(width - 380 - labelWidth, 5, labelWidth, 25);
    m_providerLabel->hide();
    m_provider = new QComboBox(m_toolbar);
    m_provider->setObjectName(idName(IDC_PROVIDER));
    m_provider->setFont(font);
    m_provider->setGeometry(width - 380, 2, 360, 26);
    m_provider->hide();
    connect(m_provider, &QComboBox::activated, this, [this] { OnCbnSelchangeProvider(); });

    createList();
    createTree();

    m_verifySettings.put_RevocationFlag(1);
    m_verifySettings.put_RevocationMode(3);
    m_verifySettings.put_UrlRetrievalTimeout(0);
    m_verifySettings.put_VerifyFlags(0);

    // A damaged proxy value must not keep the program from starting: the automatic settings stay, the
    // failure goes into the log, and the settings dialog's proxy button reports it again.
    try {
        Vsk::Utils::CProxySettings loaded;
        loaded.Load(AppProxyRegistryKey, isComputerLocation() ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER);
        m_proxySettings = loaded;
    } catch (const Vsk::Utils::CError& error) {
        Vsk::InternalUtils::LogAt(1, u"CKestrovanDlg::OnInitDialog CProxySettings::Load " + error.getText());
    }

    // Changes of the user's ROOT store (the authority's roots at start among them) are confirmed here.
    installRootConfirmation();

    // The initialisation thread.
    auto* job = new CWorkerJob;
    job->dlg = this;
    job->shared = m_shared;
    job->options = m_options;
    job->location = getStoreLocationFlags();
    m_initThread = CreateThread(nullptr, 0, &CKestrovanDlg::initThreadProc, job, 0, &m_initThreadId);
    if (!m_initThread) {
        const DWORD error = GetLastError();
        delete job;
        m_initThreadId = 0;
        if (Vsk::InternalUtils::GetLogLevel() >= 1)
            Vsk::InternalUtils::GetLog()->writeWin32Error(u"CKestrovanDlg::OnInitDialog CreateThread", error);
    }

    Vsk::PKI::addWndOnTokenRefresh(this);
    OnSize();
    return TRUE;
}

QAction* CKestrovanDlg::addCommand(int id, const QString& text, int icon) {
    auto* action = new QAction(iconOf(icon), text, this);
    action->setObjectName(QStringLiteral("cmd_%1").arg(id));
    connect(action, &QAction::triggered, this, [this, id] { runCommand(id); });
    m_commands.insert(id, action);
    return action;
}

void CKestrovanDlg::createToolbar() {
    m_toolbar = new QToolBar(this);
    m_toolbar->setObjectName(idName(IDR_TOOLBAR));
    m_toolbar->setIconSize(QSize(20, 20));
    m_toolbar->setMovable(false);
    m_toolbar->setFloatable(false);
    m_toolbar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    m_locationGroup = new QActionGroup(this);
    m_locationGroup->setExclusive(true);
    for (const ToolbarEntry& entry : ToolbarEntries) {
        if (!entry.command) {
            m_toolbar->addSeparator();
            continue;
        }
        QAction* action = addCommand(entry.command, QString(), entry.icon);
        if (entry.check) {
            action->setCheckable(true);
            m_locationGroup->addAction(action);
        }
        if (entry.command == CMD_HELP) {
            // The help button drops its menu down; the button itself does nothing else.
            m_helpButton = new QToolButton(m_toolbar);
            m_helpButton->setObjectName(QStringLiteral("cmd_%1_button").arg(CMD_HELP));
            m_helpButton->setDefaultAction(action);
            m_helpButton->setPopupMode(QToolButton::InstantPopup);
            m_helpButton->setIconSize(QSize(20, 20));
            m_helpButton->setAutoRaise(true);
            QMenu* help = subMenu(3);
            action->setMenu(help);
            // The drop-down opens on the press itself; the handler only traces it.
            connect(help, &QMenu::aboutToShow, this, [this] { OnAbout(); });
            m_toolbar->addWidget(m_helpButton);
            continue;
        }
        m_toolbar->addAction(action);
    }
    updateToolTips();
    // Made while the window is being shown: a child made then stays hidden until shown.
    m_toolbar->show();
}

void CKestrovanDlg::createMenu() {
    m_menu = new QMenu(this);
    m_menu->setObjectName(QStringLiteral("id_176"));
    for (size_t position = 0; position < std::size(SubMenus); ++position) {
        const SubMenu& sub = SubMenus[position];
        QMenu* menu = m_menu->addMenu(QString::fromUtf16(sub.text));
        menu->setObjectName(QStringLiteral("menu_%1").arg(position));
        for (const MenuItem& item : sub.items) {
            QAction* action = menu->addAction(QString::fromUtf16(item.text));
            action->setObjectName(QStringLiteral("menu_%1_%2").arg(position).arg(item.command));
            const int id = item.command;
            connect(action, &QAction::triggered, this, [this, id] { runCommand(id); });
            for (const auto& [icon, command] : MenuPictures)
                if (command == id) action->setIcon(iconOf(icon));
        }
    }
}

QMenu* CKestrovanDlg::subMenu(int position) const {
    const QList<QAction*> actions = m_menu->actions();
    return position >= 0 && position < actions.size() ? actions.at(position)->menu() : nullptr;
}

QAction* CKestrovanDlg::menuItem(int position, int id) const {
    QMenu* menu = subMenu(position);
    return menu ? menu->findChild<QAction*>(QStringLiteral("menu_%1_%2").arg(position).arg(id)) : nullptr;
}

void CKestrovanDlg::createList() {
    static const int ListIcons[] = {155, 157, 158, 159, 160, 164, 171};
    m_listImages.clear();
    for (int id : ListIcons) m_listImages.push_back(iconOf(id));
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setAllColumnsShowFocus(true);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSortingEnabled(false);
    m_list->setIconSize(QSize(16, 16));
    m_list->setColumnCount(0);
    m_list->setHeaderLabels({});
    m_list->header()->setSectionsClickable(true);
    m_list->header()->setStretchLastSection(false);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_list->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { OnLvnColumnclickListCert(column); });
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, [this] { OnLvnItemchangedListCert(); });
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this] { OnNMDblclkListCert(); });
    connect(m_list, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& point) { OnNMRclickListCert(point); });
}

void CKestrovanDlg::createTree() {
    static const int TreeIcons[] = {155, 159, 164, 171};
    m_treeImages.clear();
    for (int id : TreeIcons) m_treeImages.push_back(iconOf(id));
    m_tree->setHeaderHidden(true);
    m_tree->setColumnCount(1);
    m_tree->setIconSize(QSize(20, 20));
    m_tree->setContextMenuPolicy(Qt::CustomContextMenu);
    auto makeItem = [this](QTreeWidgetItem* parent, const char16_t* text, int image, NodeId id) {
        auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(m_tree);
        item->setText(0, QString::fromUtf16(text));
        // Store nodes are drawn without a picture.
        if (image >= 0 && image < static_cast<int>(m_treeImages.size()))
            item->setIcon(0, m_treeImages[image]);
        item->setData(0, Qt::UserRole, QVariant::fromValue<qlonglong>(id));
        return item;
    };
    constexpr int NoImage = 100;
    QTreeWidgetItem* root = makeItem(nullptr, u"Сертификаты", 0, NODE_ROOT);
    makeItem(root, u"Личные", NoImage, reinterpret_cast<NodeId>(StoreMY));
    makeItem(root, u"Другие пользователи", NoImage, reinterpret_cast<NodeId>(StoreAddressBook));
    makeItem(root, u"Промежуточные центры сертификации", NoImage, reinterpret_cast<NodeId>(StoreCA));
    makeItem(root, u"Доверенные корневые центры сертификации", NoImage, reinterpret_cast<NodeId>(StoreROOT));
    makeItem(nullptr, u"Списки отозванных сертификатов", 1, NODE_CRLS);
    makeItem(nullptr, u"Ключевые контейнеры", 3, NODE_KEY_CONTAINERS);
    connect(m_tree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current) { OnTvnSelchangedTreeStore(current); });
    connect(m_tree, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& point) { OnNMRClickTreeStore(point); });
    m_tree->setCurrentItem(root);
    root->setExpanded(true);
    m_tree->show();
}

QIcon CKestrovanDlg::listImage(int index) const {
    return index >= 0 && index < static_cast<int>(m_listImages.size()) ? m_listImages[index] : QIcon();
}

NodeId CKestrovanDlg::nodeOf(const QTreeWidgetItem* item) {
    return item ? static_cast<NodeId>(item->data(0, Qt::UserRole).toLongLong()) : NODE_ROOT;
}

// ---- Location ------------------------------------------------------------------------------------------

DWORD CKestrovanDlg::getStoreLocationFlags() const {
    return isComputerLocation() ? STORE_LOCATION_MACHINE : STORE_LOCATION_USER;
}

bool CKestrovanDlg::isComputerLocation() const {
    const QAction* machine = command(CMD_LOCATION_MACHINE);
    return machine && machine->isChecked();
}

// ---- Toolbar --------------------------------------------------------------------------------------------

bool CKestrovanDlg::isCommandVisible(int id) const {
    const QAction* action = command(id);
    return action && action->isVisible();
}

void CKestrovanDlg::showCommand(int id, bool show) {
    if (QAction* action = command(id)) action->setVisible(show);
}

void CKestrovanDlg::enableCommand(int id, bool enable) {
    if (QAction* action = command(id)) action->setEnabled(enable);
}

QString CKestrovanDlg::OnTbnGetInfoTip(int id) const {
    const bool store = isStoreNode(m_currentNode);
    switch (id) {
        case CMD_LOCATION_USER:
            return QStringLiteral(u"Для текущего пользователя");
        case CMD_LOCATION_MACHINE:
            return QStringLiteral(u"Для компьютера");
        case CMD_REFRESH:
            return QStringLiteral(u"Обновить");
        case CMD_CHECK_ROOT_CERT:
            return QStringLiteral(u"Проверить корневые сертификаты УЦ ООО «Зорнавелиста»");
        case CMD_OIDS_REG:
            return m_unregisteredOids != 0 ? QStringLiteral(u"Зарегистрировать OID-ы «Зорнавелиста»")
                                           : QStringLiteral(u"Разрегистрировать OID-ы «Зорнавелиста»");
        case CMD_TEST:
            return QStringLiteral(u"Тестирование криптосистемы, выбранного ключевого контейнера");
        case CMD_IMPORT:
            return QStringLiteral(u"Добавить сертификат из файла");
        case CMD_CERT_FROM_KEY_CONT:
            return QStringLiteral(u"Установить сертификат из ключевого контейнера");
        case CMD_EXPORT:
            return QStringLiteral(u"Сохранить сертификат в файл");
        case CMD_DELETE:
            if (m_currentNode == NODE_CRLS) return QStringLiteral(u"Удалить список отозванных сертификатов");
            if (m_currentNode == NODE_KEY_CONTAINERS) return QStringLiteral(u"Удалить ключевой контейнер");
            return store ? QStringLiteral(u"Удалить сертификат") : QString();
        case CMD_CRL_INSTALL:
            return QStringLiteral(u"Скачать и установить список отозванных сертификатов");
        case CMD_PROPERTIES:
            if (m_currentNode == NODE_CRLS) return QStringLiteral(u"Свойства списка отозванных сертификатов");
            if (m_currentNode == NODE_KEY_CONTAINERS) return QStringLiteral(u"Свойства ключевого контейнера");
            return store ? QStringLiteral(u"Свойства сертификата") : QString();
        case CMD_SETS:
            return QStringLiteral(u"Настройки");
        case CMD_HELP:
            return QStringLiteral(u"Справка");
        default:
            return QString();
    }
}

void CKestrovanDlg::updateToolTips() {
    for (const ToolbarEntry& entry : ToolbarEntries) {
        if (!entry.command) continue;
        QAction* action = command(entry.command);
        const QString tip = OnTbnGetInfoTip(entry.command);
        action->setToolTip(tip);
        // The text shows in menus and for the accessibility tools; a button without a tip has none.
        action->setText(tip);
    }
}

void CKestrovanDlg::OnAbout() {
    CLogScope scope("CKestrovanDlg::OnAbout", 3);
}

// ---- Layout --------------------------------------------------------------------------------------------

void CKestrovanDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    OnSize();
}

void CKestrovanDlg::OnSize() {
    if (!m_tree || !m_list) return;
    const int cx = width();
    const int cy = height();
    if (m_toolbar) m_toolbar->setGeometry(0, 0, cx, ToolbarHeight);
    const int w = m_tree->width();
    m_tree->setGeometry(0, ToolbarHeight, w, cy - 54);
    m_list->setGeometry(w + 3, ToolbarHeight, cx - w - 3, cy - 54);
    const int h = m_status->height();
    m_status->setGeometry(3, cy - h - 2, (2 * cx) / 3 - 4, h);
    const int h2 = m_progress->height();
    m_progress->setGeometry((2 * cx) / 3, cy - h2 - 4, cx / 3 - 2, h2);
}

// ---- Close, keys and messages ------------------------------------------------------------------------

void CKestrovanDlg::closeEvent(QCloseEvent* event) {
    // The caption's close button, Alt+F4 and the window menu's Close end the run with 0.
    event->accept();
    OnDestroy();
    done(0);
}

void CKestrovanDlg::keyPressEvent(QKeyEvent* event) {
    // Enter and Esc never close the window (Esc was handled by the keyboard filter).
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

bool CKestrovanDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* widget = qobject_cast<QWidget*>(watched);
        // Keys of this window only; a modal dialog over it has its own. Keys with Alt belong to
        // the window system and the menus.
        if (widget && widget->window() == this && !m_destroyed &&
            !(static_cast<QKeyEvent*>(event)->modifiers() & Qt::AltModifier)) {
            if (PreTranslateMessage(static_cast<QKeyEvent*>(event))) return true;
        }
    } else if (watched == m_list && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)) {
        if (event->type() == QEvent::FocusIn)
            OnNMSetfocusListCert();
        else
            OnNMKillfocusListCert(QApplication::focusWidget());
    }
    return QDialog::eventFilter(watched, event);
}

bool CKestrovanDlg::event(QEvent* event) {
    if (event->type() == WindowMessageEvent::eventType()) {
        auto* message = static_cast<WindowMessageEvent*>(event);
        switch (message->message()) {
            case WM_SHOW_PROGRESS:
                OnShowProgress(static_cast<int>(message->wParam()));
                return true;
            case WM_TOKEN_REFRESH:
                OnTokenRefresh();
                return true;
            default:
                break;
        }
    }
    return QDialog::event(event);
}

// ---- Commands ------------------------------------------------------------------------------------------

void CKestrovanDlg::runCommand(int id) {
    switch (id) {
        case CMD_LOCATION_USER:
        case CMD_LOCATION_MACHINE:
        case CMD_REFRESH:
            OnRefresh();
            break;
        case CMD_CHECK_ROOT_CERT:
            OnCheckRootCert();
            break;
        case CMD_OIDS_REG:
            OnOIDsReg();
            break;
        case CMD_TEST:
            OnTest();
            break;
        case CMD_TEST_KEY_CONT:
            OnTestKeyCont();
            break;
        case CMD_EXPORT:
            OnExport();
            break;
        case CMD_IMPORT:
            OnImport();
            break;
        case CMD_SAVE_STORE:
            OnSaveStore();
            break;
        case CMD_ADD_STORE:
            OnAddStore();
            break;
        case CMD_CERT_FROM_KEY_CONT:
            OnCertFromKeyCont();
            break;
        case CMD_CRL_INSTALL:
            OnCRLInstall();
            break;
        case CMD_DELETE:
            OnDelete();
            break;
        case CMD_PROPERTIES:
            OnProperties();
            break;
        case CMD_SETS:
            OnSets();
            break;
        case CMD_ABOUT_PROG:
            OnAboutProg();
            break;
        case CMD_USER_MANUAL:
            OnUserManual();
            break;
        case CMD_PROP_CERT_CONT:
            OnPropCertCont();
            break;
        case CMD_HELP:
            OnAbout();
            break;
        default:
            break;
    }
}

// ---- Helpers ---------------------------------------------------------------------------------------------

int CKestrovanDlg::messageBox(const QString& text, const QString& caption, UINT flags) {
    const QString shown = caption.isEmpty() ? appTitle() : caption;
    // A box shown in the middle of a long operation has the ordinary pointer, not the wait cursor.
    const bool waiting = QApplication::overrideCursor() != nullptr;
    if (waiting) QApplication::setOverrideCursor(Qt::ArrowCursor);
    const Vsk::Utils::CWString wideText =
        fromQ(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    const Vsk::Utils::CWString wideCaption = fromQ(shown);
    const int answer = MessageBoxW(this, wideText.c_str(), wideCaption.c_str(), flags);
    if (waiting) QApplication::restoreOverrideCursor();
    return answer;
}

void CKestrovanDlg::showError(const Vsk::Utils::CError& error, const QString& caption) {
    messageBox(toQ(error.getText()), caption, MB_ICONERROR);
}

void CKestrovanDlg::setStatusText(const QString& text) {
    m_status->setText(text);
}

void* CKestrovanDlg::getSelectedItemData() const {
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = m_list->topLevelItem(i);
        if (item->isSelected()) return static_cast<CListItem*>(item)->itemData();
    }
    return nullptr;
}

CListItem* CKestrovanDlg::listItem(int index) const {
    return index >= 0 && index < m_list->topLevelItemCount()
               ? static_cast<CListItem*>(m_list->topLevelItem(index))
               : nullptr;
}

int CKestrovanDlg::listCount() const {
    return m_list->topLevelItemCount();
}

int CKestrovanDlg::selectedCount() const {
    return static_cast<int>(m_list->selectedItems().size());
}

void CKestrovanDlg::autosizeColumns(int first, int last, bool useHeader) {
    // Qt's sizing always counts the heading too, so both forms give the wider of the two.
    (void)useHeader;
    for (int column = first; column <= last && column < m_list->columnCount(); ++column)
        m_list->resizeColumnToContents(column);
}
