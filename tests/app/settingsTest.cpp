// The settings dialog: its controls and texts, every value stored by OK and shown again, the option
// bits in the registry and the start check they switch off, the token switch with the provider list,
// the proxy dialog behind its button, and the log folder handed to the desktop.
#include "appTestSupport.h"
#include "certListFixtures.h"
#include "propertiesFixtures.h"
#include "settingsDlg.h"

#include <vsk/pki/Csp.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/platform/shell.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/global.h>
#include <vsk/utils/log.h>
#include <vsk/utils/registry.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>

#include <cctype>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace AppTest;
using PropertiesFixtures::WithModalDialogs;
using Vsk::InternalUtils::CLog;
using Vsk::InternalUtils::GetLog;
using Vsk::Utils::CWString;
using VskTest::Utf8;

namespace {

const WCHAR LibraryFlagsKey[] = u"Software\\Voskel\\HelvorCom\\Settings";
const WCHAR LogKey[] = u"Software\\Voskel\\Helvor";

template <class T>
T* child(QWidget* dialog, int id) {
    return dialog->findChild<T*>(QStringLiteral("id_%1").arg(id));
}

std::optional<DWORD> ReadDword(HKEY root, const WCHAR* key, const WCHAR* name) {
    const Vsk::Utils::CDataBlob value = Vsk::InternalUtils::regReadValue(key, name, root);
    bool ok = false;
    const uint32_t word = value.getSize() != 0 ? value.toUInt32(&ok) : 0;
    return ok ? std::optional<DWORD>(word) : std::nullopt;
}

std::u16string ReadText(HKEY root, const WCHAR* key, const WCHAR* name) {
    const Vsk::Utils::CDataBlob value = Vsk::InternalUtils::regReadValue(key, name, root);
    return value.getSize() != 0 ? CWString(value, true).toU16() : std::u16string();
}

// The log's settings are the user's, or the machine's for an administrator.
std::optional<DWORD> LogSetting(const WCHAR* name) {
    std::optional<DWORD> value = ReadDword(HKEY_CURRENT_USER, LogKey, name);
    return value ? value : ReadDword(HKEY_LOCAL_MACHINE, LogKey, name);
}
std::u16string LogTextSetting(const WCHAR* name) {
    std::u16string value = ReadText(HKEY_CURRENT_USER, LogKey, name);
    return value.empty() ? ReadText(HKEY_LOCAL_MACHINE, LogKey, name) : value;
}

bool TokenBit() {
    return (Vsk::InternalUtils::GetCommonFlags()->getFlags(1) & 1) != 0;
}
void SetTokenBit(bool on) {
    Vsk::InternalUtils::GetCommonFlags()->setFlags(on ? 1 : 0, 1, false, 1);
}

// The developer log's level and file as they were before the test: OK changes both for the process.
class LogStateGuard {
public:
    LogStateGuard() : m_word(GetLog()->getLevelWord()), m_path(GetLog()->getPath().toU16()) {}
    ~LogStateGuard() {
        GetLog()->setLevel(m_word);
        const size_t slash = m_path.rfind(u'/');
        const std::u16string folder = slash == std::u16string::npos ? u"" : m_path.substr(0, slash + 1);
        GetLog()->setFolder(CWString(folder.c_str()), false);
    }
    LogStateGuard(const LogStateGuard&) = delete;
    LogStateGuard& operator=(const LogStateGuard&) = delete;

private:
    int32_t m_word;
    std::u16string m_path;
};

// The library's switch word as it was: the token switch is kept for the process.
class LibraryFlagsGuard {
public:
    LibraryFlagsGuard() : m_word(Vsk::InternalUtils::GetCommonFlags()->getFlags(1)) {}
    ~LibraryFlagsGuard() { Vsk::InternalUtils::GetCommonFlags()->setFlags(m_word, 0xFFFFFFFF, false, 1); }
    LibraryFlagsGuard(const LibraryFlagsGuard&) = delete;
    LibraryFlagsGuard& operator=(const LibraryFlagsGuard&) = delete;

private:
    DWORD m_word;
};

class ShellOpenRecorder {
public:
    explicit ShellOpenRecorder(bool answer) : m_saved(GetShellOpenHandler()) {
        SetShellOpenHandler([this, answer](const std::string& path) {
            m_paths.push_back(path);
            return answer;
        });
    }
    ~ShellOpenRecorder() { SetShellOpenHandler(m_saved); }
    ShellOpenRecorder(const ShellOpenRecorder&) = delete;
    ShellOpenRecorder& operator=(const ShellOpenRecorder&) = delete;
    const std::vector<std::string>& paths() const { return m_paths; }

private:
    ShellOpenHandler m_saved;
    std::vector<std::string> m_paths;
};

// Runs the settings command: `act` is handed the dialog once it shows, then the button closes it.
void RunSettings(CKestrovanDlg& window, const std::function<void(CSetsDlg&)>& act, int button) {
    bool answered = false;
    WithModalDialogs([&] { window.runCommand(CMD_SETS); },
                     [&](QWidget* shown) {
                         auto* dialog = dynamic_cast<CSetsDlg*>(shown);
                         if (!dialog || answered) return;
                         answered = true;
                         act(*dialog);
                         child<QPushButton>(dialog, button)->click();
                     });
    EXPECT_TRUE(answered);
}

// What the test reads from or sets into the dialog's controls. A combo value or level of -1: no item
// selected (read) or left as shown (set); a null text is left as shown.
struct Controls {
    int verifyFlags;
    int revocationFlag;
    int revocationMode;
    const char16_t* timeout;
    bool containerCheck;
    bool tokenAsCsp;
    bool startCheck;
    bool containerCerts;
    bool findInMy;
    bool replaceInContainer;
    int logLevel;
    const char* logFolder;  // under the test root; null: left as shown
};

int SelectedBits(const QListWidget* list) {
    int bits = 0;
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->isSelected()) bits |= list->item(i)->data(Qt::UserRole).toInt();
    return bits;
}

int ComboValue(const QComboBox* combo) {
    return combo->currentIndex() < 0 ? -1 : combo->currentData().toInt();
}

void Set(CSetsDlg& dialog, const Controls& c, const std::string& root) {
    for (int i = 0; i < dialog.m_verifyFlags->count(); ++i) {
        QListWidgetItem* item = dialog.m_verifyFlags->item(i);
        item->setSelected((c.verifyFlags & item->data(Qt::UserRole).toInt()) != 0);
    }
    if (c.revocationFlag >= 0)
        dialog.m_revocationFlag->setCurrentIndex(dialog.m_revocationFlag->findData(c.revocationFlag));
    if (c.revocationMode >= 0)
        dialog.m_revocationMode->setCurrentIndex(dialog.m_revocationMode->findData(c.revocationMode));
    if (c.timeout) dialog.m_urlTimeout->setText(QString::fromUtf16(c.timeout));
    dialog.m_containerCheck->setChecked(c.containerCheck);
    dialog.m_tokenAsCsp->setChecked(c.tokenAsCsp);
    dialog.m_startCheck->setChecked(c.startCheck);
    dialog.m_containerCerts->setChecked(c.containerCerts);
    dialog.m_findInMy->setChecked(c.findInMy);
    dialog.m_replaceInContainer->setChecked(c.replaceInContainer);
    if (c.logLevel >= 0) dialog.m_logLevel->setCurrentIndex(c.logLevel);
    if (c.logFolder) dialog.m_logFolder->setText(QString::fromStdString(root + "/" + c.logFolder));
}

void ExpectShown(CSetsDlg& dialog, const Controls& c, const std::string& root) {
    EXPECT_EQ(SelectedBits(dialog.m_verifyFlags), c.verifyFlags);
    EXPECT_EQ(ComboValue(dialog.m_revocationFlag), c.revocationFlag);
    EXPECT_EQ(ComboValue(dialog.m_revocationMode), c.revocationMode);
    EXPECT_EQ(dialog.m_urlTimeout->text(), QString::fromUtf16(c.timeout));
    EXPECT_EQ(dialog.m_containerCheck->isChecked(), c.containerCheck);
    EXPECT_EQ(dialog.m_tokenAsCsp->isChecked(), c.tokenAsCsp);
    EXPECT_EQ(dialog.m_startCheck->isChecked(), c.startCheck);
    EXPECT_EQ(dialog.m_containerCerts->isChecked(), c.containerCerts);
    EXPECT_EQ(dialog.m_findInMy->isChecked(), c.findInMy);
    EXPECT_EQ(dialog.m_replaceInContainer->isChecked(), c.replaceInContainer);
    EXPECT_EQ(dialog.m_logLevel->currentIndex(), c.logLevel);
    if (c.logFolder) {
        EXPECT_EQ(dialog.m_logFolder->text().toStdString(), root + "/" + c.logFolder + "/");
    }
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { SetOptions(OPTION_NO_START_CHECK); }

    std::unique_ptr<CKestrovanDlg> start() {
        auto window = ShowWindow();
        EXPECT_TRUE(WaitForInit(*window));
        return window;
    }

    // Restored after the root is gone.
    LogStateGuard m_log;
    LibraryFlagsGuard m_libraryFlags;
    FreshRoot m_root;
    MessageRecorder m_messages;
};

// ---- Controls and texts
// ------------------------------------------------------------------------------------

TEST_F(SettingsTest, ControlsCarryTheirTextsItemsAndValues) {
    auto window = start();
    CSetsDlg dialog(window.get());
    dialog.OnInitDialog();
    EXPECT_EQ(dialog.objectName(), QStringLiteral("id_185"));
    EXPECT_EQ(dialog.windowTitle(), Text(u"Настройки"));
    EXPECT_FALSE(dialog.windowIcon().isNull());

    // The list sorts its items by text; each carries its bit.
    std::vector<std::pair<std::u16string, int>> items;
    for (int i = 0; i < dialog.m_verifyFlags->count(); ++i)
        items.emplace_back(dialog.m_verifyFlags->item(i)->text().toStdU16String(),
                           dialog.m_verifyFlags->item(i)->data(Qt::UserRole).toInt());
    const std::vector<std::pair<std::u16string, int>> sorted = {
        {u"Не проверять срок действия сертификата", 1},
        {u"Не проверять сроки действия на вложенность", 2},
        {u"Не учитывать, что корневой отзыв неизвестен", 32},
        {u"Не учитывать, что отзыв конечного сертификата (сертификата пользователя) неизвестен", 8},
        {u"Не учитывать, что отзыв центра сертификации неизвестен", 16},
        {u"Не учитывать, что цепочку нельзя проверить из-за неизвестного центра сертификации (ЦС)", 4},
    };
    EXPECT_EQ(items, sorted);
    EXPECT_EQ(dialog.m_verifyFlags->selectionMode(), QAbstractItemView::MultiSelection);

    auto comboItems = [](const QComboBox* combo) {
        std::vector<std::pair<std::u16string, int>> result;
        for (int i = 0; i < combo->count(); ++i)
            result.emplace_back(combo->itemText(i).toStdU16String(), combo->itemData(i).toInt());
        return result;
    };
    EXPECT_EQ(comboItems(dialog.m_revocationFlag),
              (std::vector<std::pair<std::u16string, int>>{
                  {u"только пользовательский сертификат", 1},
                  {u"все сертификаты цепочки за исключением корневого сертификата", 2},
                  {u"все сертификаты цепочки", 3}}));
    EXPECT_EQ(comboItems(dialog.m_revocationMode),
              (std::vector<std::pair<std::u16string, int>>{
                  {u"не проверять сертификаты на отозванность", 1},
                  {u"только по локальному СОС", 3},
                  {u"по локальному СОС, если локальный СОС просрочен, то загружать СОС по сети", 2}}));
    std::vector<std::u16string> levels;
    for (int i = 0; i < dialog.m_logLevel->count(); ++i)
        levels.push_back(dialog.m_logLevel->itemText(i).toStdU16String());
    EXPECT_EQ(levels, (std::vector<std::u16string>{
                          u"Не вести лог", u"Только ошибки", u"Ошибки и предупреждения",
                          u"Ошибки, предупреждения и трассировка наружних вызовов",
                          u"Ошибки, предупреждения, трассировка наружних и внутренних вызовов",
                          u"--||-- + трассировка 2 внутренних вызовов (тормозит)"}));

    const std::pair<int, const char16_t*> checks[] = {
        {1085, u"Проверять наличие ключевого контейнера по сертификату"},
        {1086, u"Поддержка ключевых носителей со встроенной криптографией (eToken GOST, Rutoken ECP, ...)"},
        {1131, u"Проверять Личные сертификаты при старте программы"},
        {1148, u"Отображать сертификаты в ключевых контейнерах"},
        {1149, u"Искать сертификат в Личном хранилище при отсутствии в ключевом контейнере"},
        {1129, u"Заменять сертификат в контейнере при добавлении сертификата в Личные"},
    };
    for (const auto& [id, text] : checks) {
        ASSERT_NE(child<QCheckBox>(&dialog, id), nullptr) << id;
        EXPECT_EQ(child<QCheckBox>(&dialog, id)->text(), Text(text)) << id;
    }
    const std::pair<int, const char16_t*> buttons[] = {
        {1151, u"Открыть"}, {32789, u"Прокси сервер"}, {IDOK, u"OK"}, {IDCANCEL, u"Отмена"}};
    for (const auto& [id, text] : buttons) {
        ASSERT_NE(child<QPushButton>(&dialog, id), nullptr) << id;
        EXPECT_EQ(child<QPushButton>(&dialog, id)->text(), Text(text)) << id;
    }
    for (int id : {1067, 1075, 1078}) EXPECT_NE(child<QComboBox>(&dialog, id), nullptr) << id;
    for (int id : {1077, 1139}) EXPECT_NE(child<QLineEdit>(&dialog, id), nullptr) << id;
    EXPECT_NE(child<QListWidget>(&dialog, 1079), nullptr);

    // The edit of seconds takes digits only.
    dialog.m_urlTimeout->clear();
    QTest::keyClicks(dialog.m_urlTimeout, QStringLiteral("1a2-3"));
    EXPECT_EQ(dialog.m_urlTimeout->text(), QStringLiteral("123"));

    QStringList labels, groups;
    for (const QLabel* label : dialog.findChildren<QLabel*>()) labels << label->text();
    for (const QGroupBox* group : dialog.findChildren<QGroupBox*>()) groups << group->title();
    for (const char16_t* text :
         {u"Способ проверки сертификатов", u"Какие из сертификатов цепочки проверять", u"Способ проверки",
          u"Ограничение времени получения СОС (секунд)", u"Уровень", u"Директория"})
        EXPECT_TRUE(labels.contains(Text(text))) << Utf8(std::u16string(text));
    EXPECT_EQ(groups,
              QStringList({Text(u"Проверка отозванности сертификата"), Text(u"Лог для разработчиков")}));
}

// ---- Every value stored and shown again -------------------------------------------------------------------

// The window's values before the dialog, and what OK stored.
struct Window {
    DWORD options;
    int revocationFlag;
    int revocationMode;
    int verifyFlags;
    uint32_t timeout;
    bool containerCheck;
    bool tokenAsCsp;
    int logLevel;
};

struct RoundTripCase {
    const char* label;
    Window before;
    Controls set;    // in the dialog
    Controls shown;  // when it is opened again
    Window stored;
};

constexpr DWORD AllOptions =
    OPTION_NO_START_CHECK | OPTION_NO_CONTAINER_CERTS | OPTION_FIND_IN_MY | OPTION_REPLACE_IN_CONTAINER;

const RoundTripCase RoundTrips[] = {
    {"everything switched on from the start values",
     {0, 1, 3, 0, 0, false, false, 2},
     {1 | 8 | 32, 3, 2, u"30", true, true, false, false, true, true, 5, "logs-a"},
     {1 | 8 | 32, 3, 2, u"30", true, true, false, false, true, true, 5, "logs-a"},
     {AllOptions, 3, 2, 1 | 8 | 32, 30000, true, true, 5}},
    {"everything switched off, an empty time-out",
     {AllOptions | 0x1000, 3, 2, 63, 45000, true, true, 4},
     {0, 2, 1, u"", false, false, true, true, false, false, 0, "logs-b"},
     {0, 2, 1, u"0", false, false, true, true, false, false, 0, "logs-b"},
     {0x1000, 2, 1, 0, 0, false, false, 0}},
    {"values no item offers are kept",
     {OPTION_NO_START_CHECK, 7, 9, 4, 2000, false, false, 6},
     {4, -1, -1, nullptr, false, false, false, true, false, false, -1, nullptr},
     {4, -1, -1, u"2", false, false, false, true, false, false, -1, nullptr},
     {OPTION_NO_START_CHECK, 7, 9, 4, 2000, false, false, 6}},
    {"a time-out past what the settings hold is the longest",
     {0, 1, 3, 0, 0, false, false, 2},
     {0, 1, 3, u"99999999999", false, false, true, true, false, false, 2, nullptr},
     {0, 1, 3, u"4294967", false, false, true, true, false, false, 2, nullptr},
     {0, 1, 3, 0, 4294967000u, false, false, 2}},
};

class SettingsRoundTripTest : public SettingsTest, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(SettingsRoundTripTest, OkStoresEveryControlAndTheDialogShowsItAgain) {
    const RoundTripCase& c = GetParam();
    SetOptions(c.before.options);
    SetTokenBit(c.before.tokenAsCsp);
    GetLog()->setLevel((GetLog()->getLevelWord() & ~7) | c.before.logLevel);
    auto window = start();
    window->m_verifySettings.put_RevocationFlag(c.before.revocationFlag);
    window->m_verifySettings.put_RevocationMode(c.before.revocationMode);
    window->m_verifySettings.put_VerifyFlags(c.before.verifyFlags);
    window->m_verifySettings.put_UrlRetrievalTimeout(c.before.timeout);
    window->m_containerPresenceCheck = c.before.containerCheck;
    const Vsk::PKI::CCertVerifySettings before = window->m_verifySettings;
    const std::string root = m_root.path();

    RunSettings(
        *window, [&](CSetsDlg& dialog) { Set(dialog, c.set, root); }, IDOK);

    const Vsk::PKI::CCertVerifySettings& stored = window->m_verifySettings;
    EXPECT_EQ(stored.get_VerifyFlags(), c.stored.verifyFlags);
    EXPECT_EQ(stored.get_RevocationFlag(), c.stored.revocationFlag);
    EXPECT_EQ(stored.get_RevocationMode(), c.stored.revocationMode);
    EXPECT_EQ(stored.get_UrlRetrievalTimeout(), c.stored.timeout);
    // A status worker that still holds the old settings object does not see them change.
    EXPECT_EQ(before.get_RevocationFlag(), c.before.revocationFlag);
    EXPECT_EQ(window->m_containerPresenceCheck, c.stored.containerCheck);
    EXPECT_EQ(window->getOptions(), c.stored.options);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, AppRegistryKey, u"flags"), c.stored.options);
    EXPECT_EQ(Vsk::PKI::getTokenAsCsp(), c.stored.tokenAsCsp);
    EXPECT_EQ(GetLog()->getLevelWord() & 7, c.stored.logLevel);
    // A level the list does not offer is neither changed nor stored.
    if (c.set.logLevel >= 0) {
        EXPECT_EQ(LogSetting(u"log").value_or(0xFF) & 7, static_cast<DWORD>(c.stored.logLevel));
    } else {
        EXPECT_FALSE(LogSetting(u"log").has_value());
    }
    if (c.set.logFolder) {
        const std::string folder = root + "/" + c.set.logFolder + "/";
        EXPECT_EQ(Utf8(GetLog()->getFolder().toU16()), folder);
        EXPECT_EQ(Utf8(LogTextSetting(u"logFolder")), folder);
        EXPECT_TRUE(std::filesystem::is_directory(folder));
    }
    EXPECT_EQ(m_messages.count(), 0u);

    RunSettings(
        *window, [&](CSetsDlg& dialog) { ExpectShown(dialog, c.shown, root); }, IDCANCEL);
}

INSTANTIATE_TEST_SUITE_P(Table, SettingsRoundTripTest, ::testing::ValuesIn(RoundTrips),
                         [](const ::testing::TestParamInfo<RoundTripCase>& info) {
                             std::string name;
                             for (char ch : std::string(info.param.label))
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });

// ---- OK, Cancel and the refresh ---------------------------------------------------------------------------

TEST_F(SettingsTest, OkWithoutChangesWritesTheFlagsAndRefreshesCancelDoesNeither) {
    for (const bool ok : {true, false}) {
        SCOPED_TRACE(ok ? "OK" : "Cancel");
        FreshRoot root;
        SetOptions(OPTION_NO_START_CHECK | 0x4000);
        auto window = start();
        // The value goes; only OK writes it again.
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, AppRegistryKey, 0, KEY_ALL_ACCESS, &key), 0);
        RegDeleteValueW(key, u"flags");
        RegCloseKey(key);
        const std::shared_ptr<CStatusCache> cache = window->m_statusCache;

        RunSettings(
            *window, [](CSetsDlg&) {}, ok ? IDOK : IDCANCEL);

        EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, AppRegistryKey, u"flags"),
                  ok ? std::optional<DWORD>(OPTION_NO_START_CHECK | 0x4000) : std::nullopt);
        EXPECT_EQ(window->getOptions(), OPTION_NO_START_CHECK | 0x4000);
        // The refresh replaces the status cache and fills the provider list again.
        EXPECT_EQ(window->m_statusCache != cache, ok);
        EXPECT_GT(window->m_cspCache.getCount(), 0u);
        EXPECT_EQ(m_messages.count(), 0u);
    }
}

// Unchecking the start check sets bit 0x20: the next window reports no expiring certificate.
TEST_F(SettingsTest, StartCheckSwitchedOffSkipsTheNextStartsCheck) {
    for (const bool uncheck : {true, false}) {
        SCOPED_TRACE(uncheck ? "unchecked" : "left checked");
        FreshRoot root;
        SetOptions(0);
        {
            auto window = start();
            RunSettings(
                *window, [&](CSetsDlg& dialog) { dialog.m_startCheck->setChecked(!uncheck); }, IDOK);
        }
        EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, AppRegistryKey, u"flags"),
                  uncheck ? OPTION_NO_START_CHECK : 0u);
        ListFixture::AddToStore(u"MY", ListFixture::Make(ListFixture::Spec(
                                           "Expiring", -400 * ListFixture::Day, 10 * ListFixture::Day)));
        m_messages.clear();
        auto window = start();
        QCoreApplication::processEvents();
        const std::vector<Message> shown = m_messages.messages();
        ASSERT_EQ(shown.size(), uncheck ? 0u : 1u);
        if (!uncheck) {
            EXPECT_EQ(shown[0].caption, u"Личные сертификаты");
        }
    }
}

// ---- Tokens -----------------------------------------------------------------------------------------------

TEST_F(SettingsTest, TokenSwitchIsStoredOnlyWhenChangedAndTheProviderListIsFilledAnew) {
    struct Case {
        bool before;
        bool after;
    } cases[] = {{false, true}, {true, false}, {true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.before) + " -> " + std::to_string(c.after));
        FreshRoot root;
        SetOptions(OPTION_NO_START_CHECK);
        SetTokenBit(c.before);
        auto window = start();
        // A stand-in entry: only a new filling replaces it.
        Vsk::Utils::CArray<Vsk::PKI::CCsp> stale;
        stale.add(Vsk::PKI::CCsp(true));
        window->m_cspCache = stale;

        bool shownChecked = !c.before;
        RunSettings(
            *window,
            [&](CSetsDlg& dialog) {
                shownChecked = dialog.m_tokenAsCsp->isChecked();
                dialog.m_tokenAsCsp->setChecked(c.after);
            },
            IDOK);

        EXPECT_EQ(shownChecked, c.before);
        EXPECT_EQ(TokenBit(), c.after);
        const std::optional<DWORD> stored = ReadDword(HKEY_CURRENT_USER, LibraryFlagsKey, u"flags");
        if (c.before == c.after) {
            EXPECT_FALSE(stored.has_value());
        } else {
            ASSERT_TRUE(stored.has_value());
            EXPECT_EQ((*stored & 1) != 0, c.after);
        }
        Vsk::Utils::CArray<Vsk::PKI::CCsp> providers;
        Vsk::PKI::CCsp::GetAllCspArr(providers);
        ASSERT_EQ(window->m_cspCache.getCount(), providers.getCount());
        for (size_t i = 0; i < providers.getCount(); ++i)
            EXPECT_EQ(window->m_cspCache[i].get_Name().toU16(), providers[i].get_Name().toU16()) << i;
        EXPECT_EQ(m_messages.count(), 0u);
    }
}

// ---- The proxy dialog -------------------------------------------------------------------------------------

TEST_F(SettingsTest, ProxyDialogSavesOnItsOkIntoTheHiveOfTheLocation) {
    struct Case {
        bool machine;
        bool ok;
    } cases[] = {{false, true}, {true, true}, {false, false}, {true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.machine ? "machine" : "user") + (c.ok ? " OK" : " Cancel"));
        FreshRoot root;
        SetOptions(OPTION_NO_START_CHECK);
        auto window = start();
        if (c.machine) window->command(CMD_LOCATION_MACHINE)->trigger();
        ASSERT_EQ(window->isComputerLocation(), c.machine);

        int step = 0;
        WithModalDialogs(
            [&] { window->runCommand(CMD_SETS); },
            [&](QWidget* shown) {
                auto* settings = dynamic_cast<CSetsDlg*>(shown);
                if (step == 0 && settings) {
                    // The proxy dialog runs its own loop: the click comes from the queue.
                    QMetaObject::invokeMethod(child<QPushButton>(settings, 32789), "click",
                                              Qt::QueuedConnection);
                    step = 1;
                } else if (step == 1 && shown->objectName() == QStringLiteral("proxyDialog")) {
                    qobject_cast<QRadioButton*>(GetDlgItem(shown, 1008))->click();
                    qobject_cast<QLineEdit*>(GetDlgItem(shown, 1009))->setText(QStringLiteral("proxy.local"));
                    qobject_cast<QLineEdit*>(GetDlgItem(shown, 1010))->setText(QStringLiteral("3128"));
                    qobject_cast<QLineEdit*>(GetDlgItem(shown, 1011))->setText(Text(u"петров"));
                    qobject_cast<QPushButton*>(GetDlgItem(shown, c.ok ? IDOK : IDCANCEL))->click();
                    step = 2;
                } else if (step == 2 && settings) {
                    // Saved by the proxy dialog's OK, whatever ends the settings.
                    child<QPushButton>(settings, IDCANCEL)->click();
                    step = 3;
                }
            });
        ASSERT_EQ(step, 3);

        const HKEY hive = c.machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        const HKEY other = c.machine ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
        EXPECT_EQ(ReadDword(hive, AppProxyRegistryKey, u"type"),
                  c.ok ? std::optional<DWORD>(4) : std::nullopt);
        EXPECT_EQ(ReadText(hive, AppProxyRegistryKey, u"address"), c.ok ? u"proxy.local" : u"");
        EXPECT_EQ(ReadDword(hive, AppProxyRegistryKey, u"port"),
                  c.ok ? std::optional<DWORD>(3128) : std::nullopt);
        EXPECT_EQ(ReadText(hive, AppProxyRegistryKey, u"login"), c.ok ? u"петров" : u"");
        EXPECT_FALSE(ReadDword(other, AppProxyRegistryKey, u"type").has_value());
        EXPECT_EQ(m_messages.count(), 0u);
    }
}

TEST_F(SettingsTest, UnreadableProxySettingsAreReportedUnderTheProxyCaption) {
    auto window = start();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, AppProxyRegistryKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              0);
    const DWORD badType = 9;
    RegSetValueExW(key, u"type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&badType), sizeof badType);
    RegCloseKey(key);
    m_messages.clear();

    CSetsDlg dialog(window.get());
    dialog.OnInitDialog();
    dialog.OnBnClickedBtProxy();  // no proxy dialog: the settings cannot be read

    const std::vector<Message> shown = m_messages.messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, u"Настройки прокси сервера");
    EXPECT_EQ(shown[0].text, u"Некорректный тип прокси в реестре: 9");
    EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_ICONERROR));
}

// ---- The log folder ---------------------------------------------------------------------------------------

TEST_F(SettingsTest, OpenHandsTheLogFolderToTheDesktop) {
    auto window = start();
    const std::string folder = m_root / "log-here";
    GetLog()->setFolder(CWString(VskTest::Utf16(folder).c_str()), false);
    for (const bool handled : {true, false}) {
        SCOPED_TRACE(handled ? "opened" : "refused");
        m_messages.clear();
        ShellOpenRecorder desktop(handled);
        CSetsDlg dialog(window.get());
        dialog.OnInitDialog();
        // The edit's text is not what is opened.
        dialog.m_logFolder->setText(QStringLiteral("/elsewhere"));
        child<QPushButton>(&dialog, 1151)->click();

        ASSERT_EQ(desktop.paths().size(), 1u);
        EXPECT_EQ(desktop.paths()[0], folder + "/");
        const std::vector<Message> shown = m_messages.messages();
        if (handled) {
            EXPECT_TRUE(shown.empty());
        } else {
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(shown[0].caption, u"Настройки");
            EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_ICONERROR));
            EXPECT_EQ(
                shown[0].text.rfind(u"Не удалось открыть директорию \"" + VskTest::Utf16(folder) + u"/\"", 0),
                0u)
                << Utf8(shown[0].text);
        }
    }
}

// ---- A parent that is no main window ----------------------------------------------------------------------

TEST_F(SettingsTest, WithoutTheMainWindowEveryStepReportsTheInternalErrorAndOkStillEnds) {
    QWidget parent;
    CSetsDlg dialog(&parent);
    dialog.OnInitDialog();
    dialog.OnBnClickedOk();
    EXPECT_EQ(dialog.result(), IDOK);
    const std::vector<Message> shown = m_messages.messages();
    ASSERT_EQ(shown.size(), 2u);
    for (const Message& message : shown) {
        EXPECT_EQ(message.caption, u"Настройки");
        EXPECT_EQ(message.type, static_cast<UINT>(MB_ICONERROR));
        EXPECT_EQ(message.text.rfind(u"Внутренняя ошибка (ZERO). settingsDlg.cpp:", 0), 0u)
            << Utf8(message.text);
    }
}

}  // namespace
