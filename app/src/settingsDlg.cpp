// The settings dialog: what the main window checks about certificates and key containers, the option
// bits it keeps in the registry, the token support, the developer log, and the proxy dialog.
#include "settingsDlg.h"

#include "kestrovanDlg.h"

#include <vsk/pki/PkiHelpers.h>
#include <vsk/pki/Settings.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/platform/gui.h>
#include <vsk/platform/registry.h>
#include <vsk/platform/shell.h>
#include <vsk/utils/gui.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/proxySettings.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include <cstring>
#include <initializer_list>
#include <limits>

using Vsk::InternalUtils::CLog;
using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CAString;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

constexpr int IdSetsIcon = 184;
constexpr int ErrorCancelled = 1223;
constexpr int VerifyFlagBits[] = {1, 2, 4, 8, 16, 32};
constexpr int LogLevelCount = 6;
// The longest time-out the settings hold, in whole seconds (milliseconds are 32-bit).
constexpr uint64_t MaxTimeoutSeconds = std::numeric_limits<uint32_t>::max() / 1000;

QString idName(int id) {
    return QStringLiteral("id_%1").arg(id);
}

QIcon iconOf(int id) {
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(id));
    return icon ? *reinterpret_cast<QIcon*>(icon) : QIcon();
}

// "Внутренняя ошибка (ZERO). <file>:<line>.": the window's text for a state its callers never make.
CError internalError(const char* file, int line) {
    return Vsk::Utils::LocatedError(u"Внутренняя ошибка (ZERO). ", file, line);
}

// The dialog's errors: under its title, a cancel (1223) not shown.
void showError(QDialog* dialog, const CError& error) {
    if (error.getErrorNumber() == ErrorCancelled) return;
    const CWString title = fromQ(dialog->windowTitle());
    Vsk::InternalUtils::ShowError(dialog, error, title.c_str());
}

void showFailure(QDialog* dialog) {
    const CWString title = fromQ(dialog->windowTitle());
    MessageBoxW(dialog, u"...", title.c_str(), MB_ICONERROR);
}

// Items in the given order with their values as item data; the item of `current` is selected, none
// when no item has that value.
void fillCombo(QComboBox* combo, std::initializer_list<int> values, CAString (*text)(int), int current) {
    combo->clear();
    for (int value : values) combo->addItem(fromCp1251(text(value).c_str()), value);
    combo->setCurrentIndex(combo->findData(current));
}

// The selected item's value; `current` when none is selected.
int comboValue(const QComboBox* combo, int current) {
    return combo->currentIndex() < 0 ? current : combo->currentData().toInt();
}

// The edit's whole seconds as milliseconds; an empty edit gives 0, a number past what the settings
// hold gives the longest time-out.
uint32_t timeoutOf(const QString& text) {
    uint64_t seconds = 0;
    for (QChar c : text) {
        if (!c.isDigit()) break;
        seconds = seconds * 10 + static_cast<uint64_t>(c.digitValue());
        if (seconds > MaxTimeoutSeconds) return static_cast<uint32_t>(MaxTimeoutSeconds * 1000);
    }
    return static_cast<uint32_t>(seconds * 1000);
}

void setBit(DWORD& word, DWORD bit, bool on) {
    word = on ? (word | bit) : (word & ~bit);
}

QLabel* label(const char16_t* text, QWidget* buddy, QWidget* parent) {
    auto* result = new QLabel(QString::fromUtf16(text), parent);
    result->setBuddy(buddy);
    return result;
}

QCheckBox* checkBox(int id, const char16_t* text, QWidget* parent) {
    auto* box = new QCheckBox(QString::fromUtf16(text), parent);
    box->setObjectName(idName(id));
    return box;
}

QPushButton* button(int id, const QString& text, QWidget* parent) {
    auto* result = new QPushButton(text, parent);
    result->setObjectName(idName(id));
    return result;
}

// The proxy settings' hive: the current user's while the toolbar shows the user's stores.
HKEY proxyHive(const CKestrovanDlg& dlg) {
    const QAction* user = dlg.command(CMD_LOCATION_USER);
    return user && user->isChecked() ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

}  // namespace

// ---- The command ------------------------------------------------------------------------------------------

void CKestrovanDlg::OnSets() {
    CLogScope scope("CKestrovanDlg::OnSets", 3);
    CSetsDlg dialog(this);
    // The refill restarts the status worker with the new settings and fills the provider list anew.
    if (dialog.exec() == IDOK) refresh(false);
}

// ---- The dialog -------------------------------------------------------------------------------------------

CSetsDlg::CSetsDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_initialized(false) {
    setObjectName(idName(IDD_SETS));
    setWindowTitle(QStringLiteral(u"Настройки"));
    DoDataExchange();
}

void CSetsDlg::DoDataExchange() {
    m_verifyFlags = new QListWidget(this);
    m_verifyFlags->setObjectName(idName(IDC_SETS_VERIFY_FLAGS));
    m_verifyFlags->setSelectionMode(QAbstractItemView::MultiSelection);
    m_verifyFlags->setSortingEnabled(true);
    m_verifyFlags->sortItems(Qt::AscendingOrder);
    auto* verifyLabel = label(u"Способ проверки сертификатов", m_verifyFlags, this);

    auto* revocation = new QGroupBox(QStringLiteral(u"Проверка отозванности сертификата"), this);
    m_revocationFlag = new QComboBox(revocation);
    m_revocationFlag->setObjectName(idName(IDC_SETS_REVOCATION_FLAG));
    m_revocationMode = new QComboBox(revocation);
    m_revocationMode->setObjectName(idName(IDC_SETS_REVOCATION_MODE));
    m_urlTimeout = new QLineEdit(revocation);
    m_urlTimeout->setObjectName(idName(IDC_SETS_URL_TIMEOUT));
    m_urlTimeout->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_urlTimeout));
    auto* revocationGrid = new QGridLayout(revocation);
    revocationGrid->addWidget(label(u"Какие из сертификатов цепочки проверять", m_revocationFlag, revocation),
                              0, 0);
    revocationGrid->addWidget(m_revocationFlag, 0, 1);
    revocationGrid->addWidget(label(u"Способ проверки", m_revocationMode, revocation), 1, 0);
    revocationGrid->addWidget(m_revocationMode, 1, 1);
    revocationGrid->addWidget(label(u"Ограничение времени получения СОС (секунд)", m_urlTimeout, revocation),
                              2, 0);
    revocationGrid->addWidget(m_urlTimeout, 2, 1);
    revocationGrid->setColumnStretch(1, 1);

    m_containerCheck =
        checkBox(IDC_SETS_CONTAINER_CHECK, u"Проверять наличие ключевого контейнера по сертификату", this);
    m_tokenAsCsp = checkBox(IDC_SETS_TOKEN_AS_CSP,
                            u"Поддержка ключевых носителей со встроенной криптографией (eToken GOST, "
                            u"Rutoken ECP, ...)",
                            this);
    m_startCheck = checkBox(IDC_SETS_START_CHECK, u"Проверять Личные сертификаты при старте программы", this);
    m_containerCerts =
        checkBox(IDC_SETS_CONTAINER_CERTS, u"Отображать сертификаты в ключевых контейнерах", this);
    m_findInMy = checkBox(IDC_SETS_FIND_IN_MY,
                          u"Искать сертификат в Личном хранилище при отсутствии в ключевом контейнере", this);
    m_replaceInContainer =
        checkBox(IDC_SETS_REPLACE_IN_CONTAINER,
                 u"Заменять сертификат в контейнере при добавлении сертификата в Личные", this);

    auto* logGroup = new QGroupBox(QStringLiteral(u"Лог для разработчиков"), this);
    m_logLevel = new QComboBox(logGroup);
    m_logLevel->setObjectName(idName(IDC_SETS_LOG_LEVEL));
    m_logFolder = new QLineEdit(logGroup);
    m_logFolder->setObjectName(idName(IDC_SETS_LOG_FOLDER));
    QPushButton* openFolder = button(IDC_SETS_OPEN_LOG_FOLDER, QStringLiteral(u"Открыть"), logGroup);
    auto* logGrid = new QGridLayout(logGroup);
    logGrid->addWidget(label(u"Уровень", m_logLevel, logGroup), 0, 0);
    logGrid->addWidget(m_logLevel, 0, 1, 1, 2);
    logGrid->addWidget(label(u"Директория", m_logFolder, logGroup), 1, 0);
    logGrid->addWidget(m_logFolder, 1, 1);
    logGrid->addWidget(openFolder, 1, 2);
    logGrid->setColumnStretch(1, 1);

    QPushButton* proxy = button(IDC_SETS_PROXY, QStringLiteral(u"Прокси сервер"), this);
    QPushButton* ok = button(IDOK, QStringLiteral("OK"), this);
    ok->setDefault(true);
    QPushButton* cancel = button(IDCANCEL, QStringLiteral(u"Отмена"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(proxy);
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(verifyLabel);
    layout->addWidget(m_verifyFlags);
    layout->addWidget(revocation);
    for (QCheckBox* box :
         {m_containerCheck, m_tokenAsCsp, m_startCheck, m_containerCerts, m_findInMy, m_replaceInContainer})
        layout->addWidget(box);
    layout->addWidget(logGroup);
    layout->addSpacing(4);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(ok, &QPushButton::clicked, this, [this] { OnBnClickedOk(); });
    connect(cancel, &QPushButton::clicked, this, [this] { done(IDCANCEL); });
    connect(proxy, &QPushButton::clicked, this, [this] { OnBnClickedBtProxy(); });
    connect(openFolder, &QPushButton::clicked, this, [this] { OnBnClickedOpenLogDir(); });
}

CKestrovanDlg& CSetsDlg::mainDlg() const {
    auto* dlg = qobject_cast<CKestrovanDlg*>(parentWidget());
    if (!dlg) throw internalError(__FILE__, __LINE__);
    return *dlg;
}

int CSetsDlg::exec() {
    if (!m_initialized) OnInitDialog();
    return QDialog::exec();
}

BOOL CSetsDlg::OnInitDialog() {
    CLogScope scope("CSetsDlg::OnInitDialog", 3);
    m_initialized = true;
    setWindowIcon(iconOf(IdSetsIcon));
    try {
        CKestrovanDlg& dlg = mainDlg();
        const Vsk::PKI::CCertVerifySettings& settings = dlg.m_verifySettings;

        // The list sorts the items by their text.
        m_verifyFlags->clear();
        const int verifyFlags = settings.get_VerifyFlags();
        for (int bit : VerifyFlagBits) {
            auto* item = new QListWidgetItem(fromCp1251(Vsk::PKI::VerifyFlagToStr(bit).c_str()));
            item->setData(Qt::UserRole, bit);
            m_verifyFlags->addItem(item);
            item->setSelected((verifyFlags & bit) != 0);
        }
        // The list shows every item without scrolling.
        m_verifyFlags->setFixedHeight(m_verifyFlags->sizeHintForRow(0) * m_verifyFlags->count() +
                                      2 * m_verifyFlags->frameWidth() + 4);

        fillCombo(m_revocationFlag, {1, 2, 3}, Vsk::PKI::RevocationFlagToStr, settings.get_RevocationFlag());
        fillCombo(m_revocationMode, {1, 3, 2}, Vsk::PKI::RevocationModeToStr, settings.get_RevocationMode());
        m_urlTimeout->setText(QString::number(settings.get_UrlRetrievalTimeout() / 1000));
        m_containerCheck->setChecked(dlg.m_containerPresenceCheck);
        m_tokenAsCsp->setChecked(Vsk::PKI::getTokenAsCsp());

        const DWORD options = dlg.getOptions();
        m_startCheck->setChecked(!(options & OPTION_NO_START_CHECK));
        m_containerCerts->setChecked(!(options & OPTION_NO_CONTAINER_CERTS));
        m_findInMy->setChecked((options & OPTION_FIND_IN_MY) != 0);
        m_replaceInContainer->setChecked((options & OPTION_REPLACE_IN_CONTAINER) != 0);

        m_logLevel->clear();
        for (int level = 0; level < LogLevelCount; ++level)
            m_logLevel->addItem(toQ(Vsk::InternalUtils::LogLevelNames[level]));
        CLog* log = Vsk::InternalUtils::GetLog();
        const int level = log ? (log->getLevelWord() & 7) : 0;
        m_logLevel->setCurrentIndex(level < LogLevelCount ? level : -1);
        m_logFolder->setText(log ? toQ(log->getFolder()) : QString());
    } catch (const CError& error) {
        showError(this, error);
    } catch (...) {
        showFailure(this);
    }
    return TRUE;
}

void CSetsDlg::OnBnClickedOk() {
    CLogScope scope("CSetsDlg::OnBnClickedOk", 3);
    CWaitCursor wait;
    try {
        CKestrovanDlg& dlg = mainDlg();

        // A new settings object in place of the window's: a status worker still running keeps reading
        // the one it was given, and the refresh after OK starts the next worker with this one.
        const Vsk::PKI::CCertVerifySettings& current = dlg.m_verifySettings;
        Vsk::PKI::CCertVerifySettings settings;
        int verifyFlags = 0;
        for (int i = 0; i < m_verifyFlags->count(); ++i) {
            const QListWidgetItem* item = m_verifyFlags->item(i);
            if (item->isSelected()) verifyFlags |= item->data(Qt::UserRole).toInt();
        }
        settings.put_VerifyFlags(verifyFlags);
        settings.put_RevocationFlag(comboValue(m_revocationFlag, current.get_RevocationFlag()));
        settings.put_RevocationMode(comboValue(m_revocationMode, current.get_RevocationMode()));
        settings.put_UrlRetrievalTimeout(timeoutOf(m_urlTimeout->text()));
        dlg.m_verifySettings = settings;
        dlg.m_containerPresenceCheck = m_containerCheck->isChecked();

        DWORD options = dlg.getOptions();
        setBit(options, OPTION_NO_START_CHECK, !m_startCheck->isChecked());
        setBit(options, OPTION_NO_CONTAINER_CERTS, !m_containerCerts->isChecked());
        setBit(options, OPTION_FIND_IN_MY, m_findInMy->isChecked());
        setBit(options, OPTION_REPLACE_IN_CONTAINER, m_replaceInContainer->isChecked());
        dlg.setOptions(options);

        // A key that cannot be opened keeps the bits in memory only.
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, AppRegistryKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                            &key, nullptr) == ERROR_SUCCESS) {
            RegSetValueExW(key, u"flags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&options),
                           sizeof options);
            RegCloseKey(key);
        }

        const bool tokenAsCsp = m_tokenAsCsp->isChecked();
        if (tokenAsCsp != Vsk::PKI::getTokenAsCsp()) {
            Vsk::PKI::setTokenAsCsp(tokenAsCsp, true);
            dlg.loadCspList(nullptr);
        }

        if (CLog* log = Vsk::InternalUtils::GetLog()) {
            // A level the list does not offer (6, 7) stays as it is while no item is chosen.
            const int level = m_logLevel->currentIndex();
            if (level >= 0) log->setLevel((log->getLevelWord() & ~7) | level, CLog::FlagPersist);
            log->setFolder(fromQ(m_logFolder->text()), true);
        }
    } catch (const CError& error) {
        showError(this, error);
    } catch (...) {
        showFailure(this);
    }
    done(IDOK);
}

void CSetsDlg::OnBnClickedBtProxy() {
    CLogScope scope("CSetsDlg::OnBnClickedBtProxy", 3);
    const WCHAR* const caption = u"Настройки прокси сервера";
    try {
        CKestrovanDlg& dlg = mainDlg();
        dlg.m_proxySettings.Load(AppProxyRegistryKey, proxyHive(dlg));
        if (dlg.m_proxySettings.ShowDialog(this) == IDOK)
            dlg.m_proxySettings.Save(AppProxyRegistryKey, proxyHive(dlg));
    } catch (const CError& error) {
        Vsk::InternalUtils::ShowError(this, error, caption);
    } catch (...) {
        MessageBoxW(this, u"...", caption, MB_ICONERROR);
    }
}

void CSetsDlg::OnBnClickedOpenLogDir() {
    CLogScope scope("CSetsDlg::OnBnClickedOpenLogDir", 3);
    try {
        mainDlg();
        CLog* log = Vsk::InternalUtils::GetLog();
        CWString folder = log ? log->getFolder() : CWString();
        if (log && folder.getLength() == 0) {
            // No file named and no folder configured yet: the log goes to its default folder, which
            // is named (and made) now so that there is a folder to open.
            log->setFolder(CWString(), false);
            folder = log->getFolder();
        }
        const HINSTANCE opened =
            ShellExecuteW(this, u"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        if (reinterpret_cast<intptr_t>(opened) <= 32)
            throw CError(u"Не удалось открыть директорию \"" + folder + u"\"", GetLastError());
    } catch (const CError& error) {
        showError(this, error);
    } catch (...) {
        showFailure(this);
    }
}
