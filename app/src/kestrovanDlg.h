// The main window: the tree of stores, CRLs and key containers on the left, the list of the chosen
// node on the right, the toolbar with the provider selector, the status text and the progress bar.
//
// Threads. Everything that touches a widget runs on the GUI thread. The window does its slow work on
// two workers of its own (the initialisation thread and the certificate-status thread). A worker
// never touches a widget or a field of the window directly: it holds a job object (CWorkerJob) with
// its own references to the data it reads (the certificate list, the status cache, the settings) and
// a guarded pointer to the window, and reaches the window only through runOnDlg(), a blocking call
// on the GUI thread that first checks that the window still exists. A worker that outlives the
// window's 10-second wait thus never touches freed memory. The window's lock and the cancel set live
// in a block shared with the workers (CDlgShared) for the same reason.
#pragma once

#include <vsk/pki/Certificate.h>
#include <vsk/pki/Crl.h>
#include <vsk/pki/Csp.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/Password.h>
#include <vsk/pki/Settings.h>
#include <vsk/pki/Store.h>
#include <vsk/platform/gui.h>
#include <vsk/utils/array.h>
#include <vsk/utils/error.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/progress.h>
#include <vsk/utils/proxySettings.h>
#include <vsk/utils/string.h>

#include <QApplication>
#include <QDialog>
#include <QHash>
#include <QIcon>
#include <QPointer>
#include <QTreeWidgetItem>

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

class QAction;
class QActionGroup;
class QComboBox;
class QKeyEvent;
class QLabel;
class QMenu;
class QProgressBar;
class QToolBar;
class QToolButton;
class QTreeWidget;
class CKestrovanDlg;

// Option bits of the application's registry value "flags".
constexpr DWORD OPTION_REPLACE_IN_CONTAINER = 0x08;
constexpr DWORD OPTION_NO_START_CHECK = 0x20;
constexpr DWORD OPTION_NO_CONTAINER_CERTS = 0x40;
constexpr DWORD OPTION_FIND_IN_MY = 0x100;

// The application's registry key (current user) and its proxy subkey.
extern const WCHAR AppRegistryKey[];       // "Software\Zornavelista\Kestrovan"
extern const WCHAR AppProxyRegistryKey[];  // "Software\Zornavelista\Kestrovan\proxy"

// Store locations.
constexpr DWORD STORE_LOCATION_USER = 0x10000;     // CERT_SYSTEM_STORE_CURRENT_USER
constexpr DWORD STORE_LOCATION_MACHINE = 0x20000;  // CERT_SYSTEM_STORE_LOCAL_MACHINE
constexpr DWORD STORE_OPEN_EXISTING = 0x4000;      // CERT_STORE_OPEN_EXISTING_FLAG

// Tree node identifiers: 0, 10, 11, or the address of one of the store-name constants below, so that
// a node is a store node exactly when its identifier is none of the three numbers.
using NodeId = intptr_t;
constexpr NodeId NODE_ROOT = 0;
constexpr NodeId NODE_CRLS = 10;
constexpr NodeId NODE_KEY_CONTAINERS = 11;
extern const WCHAR StoreMY[];           // "MY"
extern const WCHAR StoreAddressBook[];  // "AddressBook"
extern const WCHAR StoreCA[];           // "CA"
extern const WCHAR StoreROOT[];         // "ROOT"
inline bool isStoreNode(NodeId node) {
    return node != NODE_ROOT && node != NODE_CRLS && node != NODE_KEY_CONTAINERS;
}
inline const WCHAR* storeNameOf(NodeId node) {
    return isStoreNode(node) ? reinterpret_cast<const WCHAR*>(node) : nullptr;
}

// Command identifiers (toolbar buttons, menu items). Each is one QAction with the object name
// "cmd_<id>", shared by the toolbar and the menus.
enum Command : int {
    CMD_REFRESH = 32771,
    CMD_CHECK_ROOT_CERT = 32772,
    CMD_IMPORT = 32773,
    CMD_EXPORT = 32774,
    CMD_CRL_INSTALL = 32775,
    CMD_PROPERTIES = 32776,
    CMD_HELP = 32778,
    CMD_OIDS_REG = 32782,
    CMD_DELETE = 32783,
    CMD_CERT_FROM_KEY_CONT = 32784,
    CMD_LOCATION_USER = 32785,
    CMD_LOCATION_MACHINE = 32786,
    CMD_PROP_CERT_CONT = 32787,
    CMD_TEST = 32788,
    CMD_SETS = 32795,
    CMD_USER_MANUAL = 32796,
    CMD_ABOUT_PROG = 32797,
    CMD_ADD_STORE = 32801,
    CMD_SAVE_STORE = 32802,
    CMD_TEST_KEY_CONT = 32805,
};

// Control identifiers, also the widgets' object names "id_<id>".
constexpr int IDC_LIST_CERT = 1001;
constexpr int IDC_TREE_STORE = 1002;
constexpr int IDC_PROGRESS = 1003;
constexpr int IDC_STATUS = 1004;
constexpr int IDC_PROVIDER = 1011;
constexpr int IDC_PROVIDER_LABEL = 0xFFFF;
constexpr int IDR_TOOLBAR = 129;

// Window messages of the program.
constexpr UINT WM_SHOW_PROGRESS = 0x8000;  // WM_APP: wParam 5 shows the progress bar, 0 hides it
constexpr UINT WM_TOKEN_REFRESH = 0x800A;  // WM_APP + 10: a token was inserted or removed

// List images.
enum ListImage : int {
    IMG_CERT = 0,          // valid, no private key
    IMG_CERT_KEY = 1,      // valid, with private key
    IMG_CERT_INVALID = 2,  // not valid
    IMG_CRL = 3,           // current CRL
    IMG_CRL_INVALID = 4,   // CRL not yet valid or expired
    IMG_KEY_CONTAINER = 6,
};

// One row of the list. Its item data (the address of the handle in one of the window's lists) is
// kept under Qt::UserRole. A row made with a text callback asks the window for its texts whenever
// they are shown (the key-container rows: reading a container can be slow).
class CListItem : public QTreeWidgetItem {
public:
    CListItem(CKestrovanDlg* owner, void* itemData, bool textCallback);
    QVariant data(int column, int role) const override;
    void* itemData() const { return m_itemData; }
    void setItemData(void* itemData) { m_itemData = itemData; }
    bool hasTextCallback() const { return m_textCallback; }

private:
    CKestrovanDlg* m_owner;
    void* m_itemData;
    bool m_textCallback;
};

// The window's lock and the cancel set, shared with the workers (see the opening comment).
struct CDlgShared {
    // The dialog's lock (recursive): the cancel set, the provider cache, the open store and the
    // exchange of the certificate list.
    Vsk::Utils::CCriticalSection lock;
    // Identifiers of the workers asked to stop. Only the GUI thread inserts; only a worker removes
    // its own identifier.
    std::set<DWORD> cancelSet;
};

using CCertList = std::list<Vsk::PKI::CCertificate>;
using CStatusCache = std::map<Vsk::Utils::CAString, DWORD>;

// What a worker holds while it runs.
struct CWorkerJob {
    QPointer<CKestrovanDlg> dlg;
    std::shared_ptr<CDlgShared> shared;
    // The certificate-status thread: the list it goes through (the window's list at the start; the
    // window replaces, never changes, a list a worker holds), the status cache, the settings.
    std::shared_ptr<CCertList> certs;
    std::shared_ptr<CStatusCache> statusCache;
    Vsk::PKI::CCertVerifySettings verifySettings;
    bool containerPresenceCheck = false;
    DWORD options = 0;
    DWORD location = STORE_LOCATION_USER;

    // Under the shared lock: when the calling thread's identifier is in the cancel set, removes it
    // and answers true (stop now).
    bool isThreadRegistered() const;
    // Runs `call` with the window on the GUI thread and waits for it; false (nothing run) when the
    // window is gone.
    bool runOnDlg(const std::function<void(CKestrovanDlg&)>& call) const;
};

// The progress bar as the library's progress interface: called on the GUI thread it changes the bar
// directly; called from a worker it queues the changes for the GUI thread.
class CProgressImpl : public Vsk::Utils::IProgress {
public:
    // Shows the bar.
    CProgressImpl(QProgressBar* bar, CKestrovanDlg* owner);
    // Hides the bar.
    ~CProgressImpl();
    CProgressImpl(const CProgressImpl&) = delete;
    CProgressImpl& operator=(const CProgressImpl&) = delete;

    void start(const WCHAR* title) override;
    void stop() override;
    bool setRange(uint32_t range) override;
    uint32_t getRange() override;
    void setPos(uint32_t position) override;
    int32_t getPos() override;
    void next() override;
    bool isCancelled() override;

private:
    class CInputFilter;
    bool onGuiThread() const;

    QPointer<QProgressBar> m_bar;
    QPointer<CKestrovanDlg> m_owner;
    uint64_t m_startTime;  // FILETIME units, 0 = not set
    DWORD m_uiThread;
    std::atomic<bool> m_cancelled;
    std::unique_ptr<CInputFilter> m_filter;
};

class CKestrovanDlg : public QDialog {
    Q_OBJECT

public:
    explicit CKestrovanDlg(QWidget* parent = nullptr);
    ~CKestrovanDlg() override;

    // ---- Start-up and shell
    // Builds the window; runs once, at the first showing (exec() or show()).
    BOOL OnInitDialog();
    int exec() override;
    DWORD getStoreLocationFlags() const;
    bool isComputerLocation() const;
    bool isKeyContNodeSelected() const { return m_currentNode == NODE_KEY_CONTAINERS; }
    void* getSelectedItemData() const;
    DWORD getOptions() const { return m_options; }
    void setOptions(DWORD options) { m_options = options; }
    NodeId getCurrentNode() const { return m_currentNode; }

    // The command's action (object name "cmd_<id>"); null for an unknown identifier.
    QAction* command(int id) const { return m_commands.value(id, nullptr); }
    QTreeWidget* tree() const { return m_tree; }
    QTreeWidget* list() const { return m_list; }
    QProgressBar* progressBar() const { return m_progress; }
    QLabel* statusText() const { return m_status; }
    QComboBox* providerSelector() const { return m_provider; }
    QMenu* menu() const { return m_menu; }
    // Sub-menu `position` of menu 176, and its item of a command (object name "menu_<pos>_<id>").
    QMenu* subMenu(int position) const;
    QAction* menuItem(int position, int id) const;
    // The list's and the tree's pictures by image number; a null icon outside the list.
    QIcon listImage(int index) const;
    static NodeId nodeOf(const QTreeWidgetItem* item);
    // The message map: routes a command to its handler.
    void runCommand(int id);

    // ---- Workers, cancellation and progress
    void clearCertList();
    bool isThreadRegistered();
    void OnDestroy();
    // Message-pumping wait for a worker: inserts its identifier into the cancel set, waits up to
    // 10000 ms while the GUI thread's events flow, closes the handle; `caller` names the log line.
    // True when the worker has ended.
    bool stopThread(HANDLE& handle, DWORD& threadId, const char* caller);
    void cancelWorkers();
    void OnShowProgress(int show);
    static DWORD initThreadProc(LPVOID parameter);
    static DWORD verifyCertsThreadProc(LPVOID parameter);
    static void init(CWorkerJob& job);
    void startStatusThread();

    // ---- Store tree and certificate list
    void OnTvnSelchangedTreeStore(QTreeWidgetItem* current);
    void fillSelected();
    void OnRefresh();
    void refresh(bool clearCatalogue);
    void clearList();
    void FillCerts(const WCHAR* storeName);
    // The certificates of a store; from a worker pass its job (the cache test then runs on the GUI
    // thread), from the GUI thread pass null.
    CCertList GetCertList(Vsk::PKI::CStore& store, const WCHAR* name, DWORD locationFlags,
                          Vsk::Utils::IProgress* progress, const CWorkerJob* job = nullptr);
    // The same for a worker: it reaches the window only through the job.
    static CCertList GetCertList(Vsk::PKI::CStore& store, const WCHAR* name, DWORD locationFlags,
                                 Vsk::Utils::IProgress* progress, const CWorkerJob& job);
    int findItemByData(void* itemData) const;
    void updateStatusCounts();
    void OnLvnColumnclickListCert(int column);
    int compareItems(void* p, void* q) const;
    QString OnLvnGetInfoTipListCert(int item) const;
    static QString formatFileTime(const FILETIME& utc);
    // A row's image: its icon, and its number under ImageRole of column 0.
    static constexpr int ImageRole = Qt::UserRole + 1;
    void setItemImage(QTreeWidgetItem* row, int image) const;

    // ---- Certificate statuses and the start-up expiry check
    static DWORD verifyCerts(CWorkerJob& job);
    static void checkPersonalCerts(CWorkerJob& job);
    // The same number of extensions and, index by index, the same OID text, critical flag and value.
    static bool equalExtensions(const CERT_INFO& a, const CERT_INFO& b);

    // ---- CRL and key-container lists and token refresh
    void FillCRLs(const WCHAR* storeName);
    void FillKeyConts();
    // Fills the provider cache when it is empty (GUI thread); `error` (may be null) receives a failure.
    void loadCspList(Vsk::Utils::CError* error);
    // The same from a worker: the listing runs on the worker, the cache is filled on the GUI thread.
    static void loadCspList(Vsk::Utils::CError* error, const CWorkerJob& job);
    Vsk::PKI::CCertificate getContainerCertificate(const Vsk::PKI::CKeyContainer& container) const;
    QString OnLvnGetdispinfoListCert(int item, int column) const;
    QString OnLvnGetdispinfoListCert(const CListItem& item, int column) const;
    void OnCbnSelchangeProvider();
    void OnTokenRefresh();
    // While the container list is filled or installed from, its progress lets events through; a token
    // change that arrives meanwhile waits (it would empty the list being worked on) and is posted
    // again when the last such work ends.
    class CKeyContWork {
    public:
        explicit CKeyContWork(CKestrovanDlg& dlg);
        ~CKeyContWork();
        CKeyContWork(const CKeyContWork&) = delete;
        CKeyContWork& operator=(const CKeyContWork&) = delete;

    private:
        CKestrovanDlg& m_dlg;
    };
    int m_keyContBusy = 0;
    bool m_tokenRefreshPending = false;

    // ---- Installing certificates from key containers
    void OnCertFromKeyCont();
    void OnPropCertCont();

    // ---- Command availability, context menu and keyboard
    // True when the key was handled here and must not reach the widgets.
    bool PreTranslateMessage(QKeyEvent* key);
    void onLVItem(void* itemData);
    void OnLvnItemchangedListCert();
    void OnNMSetfocusListCert();
    void OnNMKillfocusListCert(QWidget* newFocus);
    void OnNMRclickListCert(const QPoint& position);
    // The list's context menu for the row under the cursor (-1: none) with its items enabled or
    // greyed; null for the root node. OnNMRclickListCert shows it at the click point.
    QMenu* prepareListMenu(int item);
    void OnNMRClickTreeStore(const QPoint& position);
    // The rows selected at the last selection notification and the row that was current then: Qt
    // reports a changed selection as a whole, the handler tells new rows from lost ones by them.
    std::vector<QTreeWidgetItem*> m_lvSelection;
    QTreeWidgetItem* m_lvCurrent = nullptr;

    // ---- Commands of other parts of the program
    void OnCheckRootCert();
    void OnOIDsReg();
    void OnTest();
    void OnTestKeyCont();
    void OnExport();
    void OnImport();
    void OnSaveStore();
    void OnAddStore();
    void OnCRLInstall();
    void OnDelete();
    void OnProperties();
    void OnNMDblclkListCert();
    // ---- Import, export and deletion (importExport.cpp, deletion.cpp)
    // Asks for and performs the deletion of one row's object by the current node: 1 deleted (the row
    // goes), 0 kept, -1 stop the whole deletion.
    int confirmDelete(void* itemData);
    // Before rows of a store node are deleted: the status worker is stopped (it reads the certificate
    // list); when it outlives its wait, the window goes on with a copy of the list. True when the worker
    // had not finished, so that it is started again for the rows that stay.
    bool pauseStatusThread();
    // The store menu of a tree node (sub-menu 4), prepared for that node, which becomes the context
    // node; null for a node that is no store, or when the store cannot be opened (shown).
    QMenu* prepareTreeMenu(QTreeWidgetItem* item);
    // The node the store menu's commands act on: the last node right-clicked in the tree.
    NodeId m_contextNode = NODE_ROOT;
    // ---- Properties and CRL installation
    void showProperties(Vsk::PKI::CKeyContainer& container);
    // The viewer or property list of a row's item data by the current node.
    void showItemProperties(void* itemData);
    void OnSets();
    void OnAboutProg();
    void OnUserManual();
    void OnHelpInfo();
    // Offered at start from the initialisation thread.
    static void installCaCerts(CWorkerJob& job);
    // ---- Authority certificates carried by the program
    // The certificates of a resource type missing from a system store of the location.
    static Vsk::Utils::CArray<Vsk::PKI::CCertificate> loadCaCerts(const WCHAR* type, const WCHAR* storeName,
                                                                  DWORD location);
    Vsk::Utils::CArray<Vsk::PKI::CCertificate> loadMissingRootCerts() const;
    // The check on the GUI thread; true when nothing was missing.
    bool installCaCerts();
    // While the window lives, changes of the user's ROOT store are confirmed through its message box.
    void installRootConfirmation();
    void areOidsRegistered();
    // ---- OID registration (oidRegistration.cpp)
    // Registers every row of the OID table; `registered` gets the number registered. The code of the
    // last failure, 0 when none failed.
    DWORD registerOids(DWORD& registered);

    // ---- About box, manual and self-update (aboutUpdate.cpp)
    // Asks the download server (the window's proxy settings) for the program file and its time. With
    // `check` set, empty data when the server's file is not newer than the program's own; otherwise
    // the file's bytes. `owner` (may be null) owns the login dialog. Raises CError.
    static Vsk::Utils::CDataBlob DownloadUpdate(const Vsk::Utils::CProxySettings& proxy, QWidget* owner,
                                                FILETIME& serverTime, bool check);

    // ---- Helpers shared by the handlers
    // A message box owned by the window (plain text; MB_* flags; returns IDOK ...).
    int messageBox(const QString& text, const QString& caption, UINT flags);
    void showError(const Vsk::Utils::CError& error, const QString& caption);
    void setStatusText(const QString& text);
    // Whether the toolbar shows the command.
    bool isCommandVisible(int id) const;
    void showCommand(int id, bool show);
    void enableCommand(int id, bool enable);
    // The tool tip of a toolbar button for the current node; empty for none.
    QString OnTbnGetInfoTip(int id) const;
    void updateToolTips();
    void OnSize();
    void OnAbout();
    // Rows of the list with their item data.
    CListItem* listItem(int index) const;
    int listCount() const;
    int selectedCount() const;
    void autosizeColumns(int first, int last, bool useHeader);

    // ---- Fields (public: the program's other parts and its tests read them)
    DWORD m_options;
    std::shared_ptr<CDlgShared> m_shared;
    NodeId m_currentNode;
    uint16_t m_sortColumn;
    uint16_t m_sortDescending;
    HANDLE m_initThread;
    HANDLE m_updateThread;
    HANDLE m_statusThread;
    DWORD m_initThreadId;
    DWORD m_statusThreadId;
    int32_t m_unregisteredOids;
    int32_t m_selectedProvider;
    int32_t m_testDataMin;
    int32_t m_testDataMax;
    std::shared_ptr<CCertList> m_certList;
    std::list<Vsk::PKI::CCrl> m_crlList;
    std::list<Vsk::PKI::CKeyContainer> m_keyContList;
    Vsk::PKI::CStore m_openStore;
    Vsk::Utils::CArray<Vsk::PKI::CCsp> m_cspCache;
    Vsk::PKI::CCertificate m_copiedCert;
    std::shared_ptr<CStatusCache> m_statusCache;
    bool m_containerPresenceCheck;
    Vsk::PKI::CCertVerifySettings m_verifySettings;
    Vsk::Utils::CProxySettings m_proxySettings;

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void accept() override {}
    void reject() override {}

private:
    // Size min(screen, 1000 x 600) with the frame, centred on the screen.
    void placeOnScreen();
    void createToolbar();
    void createMenu();
    void createTree();
    void createList();
    QAction* addCommand(int id, const QString& text, int icon);

    QToolBar* m_toolbar;
    QActionGroup* m_locationGroup;
    QToolButton* m_helpButton;
    QComboBox* m_provider;
    QAction* m_providerAction;
    QLabel* m_providerLabel;
    QAction* m_providerLabelAction;
    QTreeWidget* m_tree;
    QTreeWidget* m_list;
    QProgressBar* m_progress;
    QLabel* m_status;
    QMenu* m_menu;
    QHash<int, QAction*> m_commands;
    std::vector<QIcon> m_listImages;
    std::vector<QIcon> m_treeImages;
    bool m_initialized;
    bool m_framePlaced;
    bool m_destroyed;
};

// The wait cursor while it lives.
class CWaitCursor {
public:
    CWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~CWaitCursor() { QApplication::restoreOverrideCursor(); }
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;
};

// The options dialog of installing several containers' certificates.
class CCertsInstallSets : public QDialog {
    Q_OBJECT

public:
    explicit CCertsInstallSets(QWidget* parent);
    BOOL OnInitDialog();
    void OnBnClickedOk();

    bool m_onlyValid;
    bool m_replace;

private:
    class QCheckBox* m_onlyValidBox;
    class QCheckBox* m_replaceBox;
};

// The format of an exported certificate: the identifier of the checked radio button (1005 binary,
// 1006 Base64, 1007 Base64 with header lines), 0 before OK.
class CExportType : public QDialog {
public:
    explicit CExportType(QWidget* parent);
    BOOL OnInitDialog();
    void OnOK();

    int32_t m_type = 0;

private:
    class QRadioButton* m_buttons[3];
};

// ---- About box, manual and self-update (aboutUpdate.cpp)
// The about box: the program's version and the MD5 digest of its file, and the update on demand.
class CAboutDlg : public QDialog {
public:
    // The parent must be the main window for the update button to work.
    explicit CAboutDlg(QWidget* parent);
    BOOL OnInitDialog();
    void OnBnClickedOk2();
    // Text 1045 as made ("Кестрован\r\n\tversion ...,\r\n\tmd5 ..."); the label shows it with its
    // line breaks.
    const Vsk::Utils::CWString& text() const { return m_fullText; }

private:
    class QLabel* m_text;
    Vsk::Utils::CWString m_fullText;
};

// The update check, started by the initialisation thread with a job of the window (owned by the
// thread); it ends by itself and nobody waits for it.
DWORD UpdateProc(LPVOID parameter);
// Puts the downloaded program in place of the running one (the old file kept as "<path>.old"), starts
// it, makes the desktop entry and ends the process. Without an owner a folder that cannot be written
// is an error; with one the user chooses where to save. Raises CError, with the old program put back.
void InstallUpdate(const Vsk::Utils::CDataBlob& data, const FILETIME& serverTime, QWidget* owner);

// The program's own file (the running program, or the file a test names); the download address
// (the build's KESTROVAN_UPDATE_URL, or the test's); the end of the process after an installation
// (a test's function instead of the real end). Empty values and a null function restore the real ones.
Vsk::Utils::CWString GetProgramPath();
void SetProgramPathForTests(const Vsk::Utils::CWString& path);
Vsk::Utils::CWString GetUpdateUrl();
void SetUpdateUrlForTests(const Vsk::Utils::CWString& url);
using ProcessExitFunction = std::function<void(UINT code)>;
void SetProcessExitForTests(ProcessExitFunction exit);

// ---- Password and PIN dialogs
// The password of a key container (or a token's PIN) with the caller's prompt and title. After IDOK
// m_password holds the entered text for the caller to pass on (put_KeysetPassword wipes it); the edit
// is wiped when the dialog ends and m_password when the dialog is destroyed.
class CPasswordDlg : public QDialog {
public:
    CPasswordDlg(const Vsk::Utils::CWString& prompt, const Vsk::Utils::CWString& title, QWidget* parent);
    ~CPasswordDlg() override;
    BOOL OnInitDialog();
    void OnBnClickedOk();
    void done(int result) override;

    Vsk::Utils::CWString m_prompt;
    Vsk::Utils::CWString m_title;
    Vsk::Utils::CWString m_password;

private:
    class QLabel* m_promptText;
    class QLineEdit* m_edit;
};

// A token's user PIN, kept in protected memory; a PIN set before the dialog is shown is preloaded.
class CPINDlg : public QDialog {
public:
    CPINDlg(const Vsk::Utils::CWString& info, QWidget* parent);
    ~CPINDlg() override;
    BOOL OnInitDialog();
    void OnBnClickedOk();
    void OnBnClickedShowPin();
    void done(int result) override;
    int exec() override;

    Vsk::Utils::CWString m_info;
    Vsk::PKI::CPassword m_pin;

private:
    class QLabel* m_infoText;
    class QLineEdit* m_edit;
    class QCheckBox* m_showPin;
};

// The provider's password prompt (SetPasswordPrompt): CPasswordDlg on the GUI thread from any thread.
BOOL AskContainerPassword(LPCWSTR container, uintptr_t parent, char* password, DWORD capacity);
// Overwrites the edit's text in place (and every string sharing it) and empties the edit.
void WipeLineEdit(class QLineEdit* edit);

// Tests: reads a container's public key (first) and its wrapped form (second) in place of the
// container's own reading, so that a provider asking for a PIN can be played; empty: the container's.
using PublicKeyReader =
    std::function<std::pair<Vsk::Utils::CDataBlob, Vsk::Utils::CDataBlob>(const Vsk::PKI::CKeyContainer&)>;
void SetPublicKeyReaderForTests(PublicKeyReader reader);

// Texts between the library's strings and Qt.
QString toQ(const Vsk::Utils::CWString& text);
QString toQ(const WCHAR* text);
// 8-bit text in code page 1251.
QString fromCp1251(const char* text);
Vsk::Utils::CWString fromQ(const QString& text);

// The title of message boxes given no caption: the program file's name without its extension.
QString appTitle();
