// The authority's OIDs: counted when the window starts, registered by command 32782 as an
// administrator, unregistered by its next use, the button's tool tip following the count; without
// administrator rights only the message and the refused restart.
#include "appTestSupport.h"

#include <vsk/pki/OidNames.h>
#include <vsk/platform/certname.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/error.h>
#include <vsk/utils/system.h>

#include <algorithm>
#include <cstring>
#include <set>

// The platform's seam: the in-process OID table forgets the registrations, as another process would
// start without them (certTesting.h of the certificate area).
void ReloadRegisteredOIDInfo();

using namespace AppTest;

namespace {

const char16_t* const OidInfoKey =
    u"Software\\Microsoft\\Cryptography\\OID\\EncodingType 0\\CryptDllFindOIDInfo";
const QString RegisterTip = Text(u"Зарегистрировать OID-ы «Зорнавелиста»");
const QString UnregisterTip = Text(u"Разрегистрировать OID-ы «Зорнавелиста»");
const std::u16string RegisterCaption = u"Регистрация OID-ов";

// The registrations kept in the machine hive: "<oid>!<group>".
std::set<std::u16string> registeredKeys() {
    std::set<std::u16string> keys;
    HKEY root = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, OidInfoKey, 0, KEY_READ, &root) != 0) return keys;
    for (DWORD index = 0;; ++index) {
        char16_t name[512];
        DWORD chars = 512;
        if (RegEnumKeyExW(root, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != 0) break;
        keys.insert(std::u16string(name, chars));
    }
    RegCloseKey(root);
    return keys;
}

PCCRYPT_OID_INFO find(const char* oid, DWORD group) {
    return CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(oid), group);
}

std::u16string nameOf(const char* oid, DWORD group) {
    PCCRYPT_OID_INFO info = find(oid, group);
    return info && info->pwszName ? std::u16string(info->pwszName) : std::u16string();
}

// Registers one entry directly, as another program would.
void registerDirectly(const char* oid, const char16_t* name, DWORD group, bool numericOnly) {
    static const DWORD numeric[] = {CERT_RDN_NUMERIC_STRING, 0};
    CRYPT_OID_INFO info{};
    info.cbStruct = sizeof info;
    info.pszOID = oid;
    info.pwszName = name;
    info.dwGroupId = group;
    if (numericOnly) {
        info.ExtraInfo.cbData = sizeof numeric;
        info.ExtraInfo.pbData = reinterpret_cast<BYTE*>(const_cast<DWORD*>(numeric));
    }
    ASSERT_TRUE(CryptRegisterOIDInfo(&info, 0)) << oid << " " << GetLastError();
}

// A fresh root, the in-process OID table without registrations and the administrator test asked
// anew under KESTROVAN_ADMIN; all undone afterwards.
class OidRegistrationTest : public ::testing::Test {
protected:
    void SetUp() override { restart(); }
    void TearDown() override {
        ReloadRegisteredOIDInfo();
        Vsk::Utils::ForgetCurrentUserAdmin();
    }
    // As a new process: the registrations are read again from the machine hive.
    static void restart() {
        ReloadRegisteredOIDInfo();
        LoadRegisteredOIDInfo();
        Vsk::Utils::ForgetCurrentUserAdmin();
    }
    static QString tip(const CKestrovanDlg& window) { return window.command(CMD_OIDS_REG)->toolTip(); }

    FreshRoot m_root;
    VskTest::EnvGuard m_admin{"KESTROVAN_ADMIN", "1"};
    MessageRecorder m_messages;
};

TEST_F(OidRegistrationTest, AdministratorRegistersAllRowsThenUnregistersEachOidOnce) {
    auto window = ShowWindow();
    ASSERT_TRUE(WaitForInit(*window));
    EXPECT_EQ(window->m_unregisteredOids, 86);
    EXPECT_EQ(tip(*window), RegisterTip);

    // Every row registers by itself: 86, though three OIDs are listed twice.
    window->runCommand(CMD_OIDS_REG);
    ASSERT_EQ(m_messages.count(), 1u);
    Message message = m_messages.messages()[0];
    EXPECT_EQ(message.caption, RegisterCaption);
    EXPECT_EQ(message.text, u"Все OID-ы (86 шт.) успешно зарегистрированы!");
    EXPECT_EQ(message.type, static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_EQ(window->m_unregisteredOids, 0);
    EXPECT_EQ(tip(*window), UnregisterTip);
    EXPECT_EQ(window->command(CMD_OIDS_REG)->text(), UnregisterTip);

    // One key per OID and group: 79 purposes and 4 attributes.
    const std::set<std::u16string> keys = registeredKeys();
    EXPECT_EQ(keys.size(), 83u);
    EXPECT_EQ(std::count_if(keys.begin(), keys.end(), [](const auto& k) { return k.ends_with(u"!7"); }), 79);
    EXPECT_EQ(std::count_if(keys.begin(), keys.end(), [](const auto& k) { return k.ends_with(u"!5"); }), 4);
    // Names as the table has them, found by the program's own lookup too.
    const struct {
        const char* oid;
        DWORD group;
        const char16_t* name;
    } rows[] = {
        {"1.2.643.3.215.8", 7, u"ФТС. Уполномоченные лица организации - таможенного представителя"},
        {"1.2.643.5.1.28.3", 7, u"Система декларирования ФСРАР-розничная АП"},
        {"1.2.643.6.3.1.4.2", 7, u"Уполномоченный специалист"},
        {"1.2.643.100.2.2", 7, u"Доступ к СМЭВ ЭП-ОВ"},
        {"1.3.6.1.4.1.53907.1.1.9.1", 7, u"Информационное взаимодействие с контролирующими органами"},
        {"1.3.6.1.4.1.53907.1.1.2.7", 7,
         u"Комбинированный (для коммерческих торговых площадок, срок действия 15 месяцев)"},
        {"1.2.643.3.131.1.1", 5, u"ИНН"},
        {"1.2.643.100.3", 5, u"СНИЛС"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.oid);
        EXPECT_EQ(nameOf(r.oid, r.group), r.name);
        EXPECT_EQ(Vsk::PKI::NameFromOID(Vsk::Utils::CAString(r.oid)).toU16(), r.name);
    }
    // Attribute rows allow NumericString only: 3, then the terminating 0.
    PCCRYPT_OID_INFO ogrn = find("1.2.643.100.1", CRYPT_RDN_ATTR_OID_GROUP_ID);
    ASSERT_NE(ogrn, nullptr);
    ASSERT_EQ(ogrn->ExtraInfo.cbData, 8u);
    const BYTE numericOnly[8] = {3, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(ogrn->ExtraInfo.pbData, numericOnly, 8), 0);
    EXPECT_EQ(find("1.2.643.3.215.8", CRYPT_ENHKEY_USAGE_OID_GROUP_ID)->ExtraInfo.cbData, 0u);

    // The next start finds them all: the next use unregisters, each OID once (the second row of a
    // duplicated OID finds nothing left).
    window.reset();
    restart();
    m_messages.clear();
    window = ShowWindow();
    ASSERT_TRUE(WaitForInit(*window));
    EXPECT_EQ(window->m_unregisteredOids, 0);
    EXPECT_EQ(tip(*window), UnregisterTip);
    window->runCommand(CMD_OIDS_REG);
    ASSERT_EQ(m_messages.count(), 1u);
    message = m_messages.messages()[0];
    EXPECT_EQ(message.caption, u"Разрегистрация OID-ов");
    EXPECT_EQ(message.text, u"OID-ы (83 шт.) успешно разрегистрированы!");
    EXPECT_EQ(message.type, static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_EQ(window->m_unregisteredOids, 83);
    EXPECT_EQ(tip(*window), RegisterTip);
    EXPECT_TRUE(registeredKeys().empty());
    EXPECT_EQ(find("1.2.643.3.215.8", CRYPT_ENHKEY_USAGE_OID_GROUP_ID), nullptr);

    // And the use after that registers again.
    m_messages.clear();
    window->runCommand(CMD_OIDS_REG);
    ASSERT_EQ(m_messages.count(), 1u);
    EXPECT_EQ(m_messages.messages()[0].text, u"Все OID-ы (86 шт.) успешно зарегистрированы!");
    EXPECT_EQ(tip(*window), UnregisterTip);
    EXPECT_EQ(registeredKeys().size(), 83u);
}

// What counts as registered: a purpose row under another name does not, an attribute row without
// value types does not, an attribute row under another name with value types does. A purpose row
// that another program renamed is never removed.
TEST_F(OidRegistrationTest, ForeignRegistrationsAreCountedAndKept) {
    registerDirectly("1.2.643.3.215.8", u"Чужое имя", CRYPT_ENHKEY_USAGE_OID_GROUP_ID, false);
    registerDirectly("1.2.643.6.3.1.2.1", u"Юридическое лицо", CRYPT_ENHKEY_USAGE_OID_GROUP_ID, false);
    registerDirectly("1.2.643.100.3", u"СНИЛС", CRYPT_RDN_ATTR_OID_GROUP_ID, false);
    registerDirectly("1.2.643.100.1", u"OGRN", CRYPT_RDN_ATTR_OID_GROUP_ID, true);
    restart();
    auto window = ShowWindow();
    ASSERT_TRUE(WaitForInit(*window));
    // 86 less the purpose row under its own name and the attribute row with value types.
    EXPECT_EQ(window->m_unregisteredOids, 84);
    EXPECT_EQ(tip(*window), RegisterTip);

    window->runCommand(CMD_OIDS_REG);
    ASSERT_EQ(m_messages.count(), 1u);
    EXPECT_EQ(m_messages.messages()[0].text, u"Все OID-ы (86 шт.) успешно зарегистрированы!");
    EXPECT_EQ(nameOf("1.2.643.3.215.8", CRYPT_ENHKEY_USAGE_OID_GROUP_ID),
              u"ФТС. Уполномоченные лица организации - таможенного представителя");
    EXPECT_EQ(nameOf("1.2.643.100.1", CRYPT_RDN_ATTR_OID_GROUP_ID), u"ОГРН");

    // Another program renames one purpose and one attribute: unregistering leaves both alone.
    registerDirectly("1.2.643.3.215.8", u"Чужое имя", CRYPT_ENHKEY_USAGE_OID_GROUP_ID, false);
    registerDirectly("1.2.643.100.5", u"OGRNIP", CRYPT_RDN_ATTR_OID_GROUP_ID, true);
    m_messages.clear();
    window->runCommand(CMD_OIDS_REG);
    ASSERT_EQ(m_messages.count(), 1u);
    EXPECT_EQ(m_messages.messages()[0].text, u"OID-ы (81 шт.) успешно разрегистрированы!");
    EXPECT_EQ(registeredKeys(), (std::set<std::u16string>{u"1.2.643.3.215.8!7", u"1.2.643.100.5!5"}));
    EXPECT_EQ(nameOf("1.2.643.3.215.8", CRYPT_ENHKEY_USAGE_OID_GROUP_ID), u"Чужое имя");
}

// Not an administrator: the message, then the restart through the shell's "runas", which this
// platform refuses; its failure is logged and the program goes on with nothing registered.
TEST_F(OidRegistrationTest, NonAdministratorGetsTheMessageAndTheRefusedRestart) {
    VskTest::EnvGuard admin("KESTROVAN_ADMIN", "0");
    Vsk::Utils::ForgetCurrentUserAdmin();
    VskTest::LogCapture log(1);
    auto window = ShowWindow();
    ASSERT_TRUE(WaitForInit(*window));
    EXPECT_EQ(window->m_unregisteredOids, 86);

    window->runCommand(CMD_OIDS_REG);
    ASSERT_EQ(m_messages.count(), 1u);
    const Message message = m_messages.messages()[0];
    EXPECT_EQ(message.caption, RegisterCaption);
    EXPECT_EQ(message.text,
              u"Для регистрации OID-ов необходимо запустить эту программу с правами администратора!");
    EXPECT_EQ(message.type, static_cast<UINT>(MB_ICONERROR));
    const std::u16string line = u"CKestrovanDlg::OnOIDsReg ShellExecute " +
                                Vsk::Utils::GetSystemErrorText(ERROR_NOT_SUPPORTED).toU16();
    EXPECT_EQ(log.count(line), 1u);
    // Nothing registered, the count and the tool tip as before, the window still there.
    EXPECT_TRUE(registeredKeys().empty());
    EXPECT_EQ(window->m_unregisteredOids, 86);
    EXPECT_EQ(tip(*window), RegisterTip);
    QCoreApplication::processEvents();
    EXPECT_TRUE(window->isVisible());
}

// The administrator test says yes but the machine hive refuses the writes (the answer is kept for
// the process while the rights changed): registration reports both numbers and the last error;
// failed removals are only logged.
TEST_F(OidRegistrationTest, RefusedWritesAreReportedOnRegistrationAndLoggedOnRemoval) {
    ASSERT_TRUE(Vsk::Utils::IsCurrentUserAdmin());
    VskTest::LogCapture log(1);
    auto window = ShowWindow();
    ASSERT_TRUE(WaitForInit(*window));
    {
        VskTest::EnvGuard refused("KESTROVAN_ADMIN", "0");
        window->runCommand(CMD_OIDS_REG);
    }
    ASSERT_EQ(m_messages.count(), 1u);
    Message message = m_messages.messages()[0];
    EXPECT_EQ(message.caption, RegisterCaption);
    EXPECT_EQ(message.text,
              u"Зарегистрировано 0 шт., не зарегистрировано 86 шт., ошибка: " +
                  Vsk::Utils::CError(static_cast<DWORD>(ERROR_ACCESS_DENIED)).getText().toU16());
    EXPECT_EQ(message.type, static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(window->m_unregisteredOids, 86);
    EXPECT_EQ(tip(*window), RegisterTip);

    // Registered for real, then the removal refused: nothing shown, one log line per OID.
    m_messages.clear();
    window->runCommand(CMD_OIDS_REG);
    ASSERT_EQ(m_messages.count(), 1u);
    EXPECT_EQ(window->m_unregisteredOids, 0);
    m_messages.clear();
    log.clear();
    {
        VskTest::EnvGuard refused("KESTROVAN_ADMIN", "0");
        window->runCommand(CMD_OIDS_REG);
    }
    EXPECT_EQ(m_messages.count(), 0u);
    EXPECT_EQ(window->m_unregisteredOids, 0);
    EXPECT_EQ(tip(*window), UnregisterTip);
    // Every row is tried: a duplicated OID that stayed is found and refused again.
    EXPECT_EQ(log.count(u"CKestrovanDlg::OnOIDsReg Разрегистрация "), 86u);
    EXPECT_EQ(log.count(u"CKestrovanDlg::OnOIDsReg Разрегистрация 1.2.643.100.3 " +
                        Vsk::Utils::GetSystemErrorText(ERROR_ACCESS_DENIED).toU16()),
              1u);
    EXPECT_EQ(registeredKeys().size(), 83u);
}

}  // namespace
