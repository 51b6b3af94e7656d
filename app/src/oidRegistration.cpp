// The authority's OIDs: a fixed table of identifiers with Russian display names, registered with the
// machine's OID information (certificate purposes and subject-name attributes) and removed again.
// Registration writes to the machine's part of the registry, so it needs an administrator.
#include "kestrovanDlg.h"

#include <vsk/platform/certname.h>
#include <vsk/platform/crypt.h>
#include <vsk/platform/gui.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/shell.h>
#include <vsk/utils/error.h>
#include <vsk/utils/file.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/system.h>

#include <cstring>
#include <iterator>

using Vsk::InternalUtils::CLogScope;
using Vsk::InternalUtils::GetLog;
using Vsk::InternalUtils::GetLogLevel;
using Vsk::Utils::CWString;

namespace {

// One row: the dotted OID (ASCII) and its display name (code page 1251).
struct OidRow {
    const char* oid;
    const char* description;
};

// Certificate purposes, registered in the enhanced-key-usage group. Three identifiers are listed
// twice with the same name; every row is registered and counted by itself.
const OidRow PurposeRows[] = {
    {"1.2.643.3.7.3.3", "Система раскрытия информации эмитентами ценных бумаг"},
    {"1.2.643.3.8.100.1.42", "Электронная торговая площадка. Участник размещения заказа"},
    {"1.2.643.3.215.11", "ФТС. Уполномоченные лица организации - владельца склада временного хранения"},
    {"1.2.643.3.215.12", "ФТС. Уполномоченные лица организации - владельца таможенного склада"},
    {"1.2.643.3.215.13", "ФТС. Уполномоченные лица организации - уполномоченного экономического оператора"},
    {"1.2.643.3.215.4", "ФТС. Уполномоченные лица организации - декларанта"},
    {"1.2.643.3.215.6", "ФТС. Физическое лицо - декларант"},
    {"1.2.643.3.215.7", "ФТС. Уполномоченные лица организации - таможенного перевозчика"},
    {"1.2.643.3.215.8", "ФТС. Уполномоченные лица организации - таможенного представителя"},
    {"1.2.643.3.241", "Система раскрытия информации на оптовом рынке электроэнергии"},
    {"1.2.643.3.63.1.1.2.4", "Электронная торговая площадка по продаже имущества должников"},
    {"1.2.643.5.1.24.2.1.3", "Росреестр. Формирование документов как результат кадастровых работ"},
    {"1.2.643.5.1.24.2.1.3.1",
     "Росреестр. Формирование кадастровым инженером документов как результат кадастровых работ - "
     "Кадастровый инженер"},
    {"1.2.643.5.1.24.2.19",
     "Росреестр. Получение сведений из государственного кадастра недвижимости - "
     "Орган государственной власти"},
    {"1.2.643.5.1.24.2.27",
     "Росреестр. Получение сведений из Единого государственного реестра прав - Нотариус"},
    {"1.2.643.5.1.24.2.30",
     "Росреестр. Представление заявлений о государственной регистрации прав - Заявитель"},
    {"1.2.643.5.1.24.2.49",
     "Росреестр. Получение сведений из Единого государственного реестра недвижимости - Заявитель"},
    {"1.2.643.5.1.28.2", "Система декларирования ФСРАР"},
    {"1.2.643.5.1.28.3", "Система декларирования ФСРАР-розничная АП"},
    {"1.2.643.5.1.28.4", "Система декларирования ФСРАР-лицензиат"},
    {"1.2.643.6.14", "Электронная торговая площадка. Участник торгов по банкротству"},
    {"1.2.643.6.15", "Электронная торговая площадка. Организатор торгов по банкротству"},
    {"1.2.643.6.17.1", "Система раскрытия информации в сфере жилищно-коммунального хозяйства"},
    {"1.2.643.6.18.1", "Электронная торговая площадка имущественных торгов. Участник торгов"},
    {"1.2.643.6.18.2", "Электронная торговая площадка имущественных торгов. Организатор торгов"},
    {"1.2.643.6.3", "Электронные торги"},
    {"1.2.643.6.3.2", "Электронные торги. Участник размещения заказа"},
    {"1.2.643.6.37.1.1", "Система электронных паспортов транспортных средств"},
    {"1.2.643.6.40.1", "Система электронного документооборота торговой площадки коммерческих закупок"},
    {"1.2.643.6.41.1.1.1", "Электронная торговая площадка коммерческих закупок. Участник закупок"},
    {"1.2.643.6.42.5.5.5", "Электронная торговая площадка коммерческих закупок. Заказчик"},
    {"1.2.643.6.44.1.1.1", "Электронная торговая площадка закупок малого объема. Участник закупок"},
    {"1.2.643.6.45.1.1.1", "Электронная торговая площадка продажи имущества. Участник торгов"},
    {"1.2.643.6.3.1.1", "Участник электронных торгов"},
    {"1.2.643.6.3.1.2.1", "Юридическое лицо"},
    {"1.2.643.6.3.1.2.2", "Физическое лицо"},
    {"1.2.643.6.3.1.2.3", "Индивидуальный предприниматель"},
    {"1.2.643.6.3.1.3.1", "Администратор организации"},
    {"1.2.643.6.3.1.4.1", "Руководитель организации"},
    {"1.2.643.6.3.1.4.2", "Уполномоченный специалист"},
    {"1.2.643.6.3.1.4.3", "Специалист с правом подписи контракта"},
    {"1.2.643.6.7", "Электронная торговая площадка государственных закупок"},
    {"1.2.643.5.1.28.2", "Система декларирования ФСРАР"},
    {"1.2.643.5.1.28.4", "Система декларирования ФСРАР-лицензиат"},
    {"1.2.643.5.1.28.3", "Система декларирования ФСРАР-розничная АП"},
    {"1.3.6.1.4.1.53907.1.1.1.1", "Подписывание документов руководителем организации"},
    {"1.3.6.1.4.1.53907.1.1.1.2", "Подписывание документов главным бухгалтером организации"},
    {"1.3.6.1.4.1.53907.1.1.1.3", "Подписывание документов уполномоченным лицом организации"},
    {"1.3.6.1.4.1.53907.1.1.1.4", "Подписывание документов сотрудником организации"},
    {"1.3.6.1.4.1.53907.1.1.1.5", "Подписывание документов кадровой службой организации"},
    {"1.3.6.1.4.1.53907.1.1.1.6", "Подписывание документов представителем организации по доверенности"},
    {"1.3.6.1.4.1.53907.1.1.2.1", "Уполномоченное лицо БКИ (Подписывание кредитных отчетов)"},
    {"1.3.6.1.4.1.53907.1.1.2.2",
     "Уполномоченное лицо источника формирования кредитной истории (Представление сведений в БКИ)"},
    {"1.3.6.1.4.1.53907.1.1.2.3",
     "Уполномоченное лицо пользователя кредитной истории (Получение кредитных отчетов)"},
    {"1.3.6.1.4.1.53907.1.1.3.1", "Электронный документооборот с налоговыми органами"},
    {"1.3.6.1.4.1.53907.1.1.3.2", "Электронный документооборот с пенсионным фондом"},
    {"1.3.6.1.4.1.53907.1.1.3.3", "Электронный документооборот с органами статистики"},
    {"1.3.6.1.4.1.53907.1.1.3.6", "Электронный документооборот с фондом социального страхования"},
    {"1.3.6.1.4.1.53907.1.1.3.7", "Электронный документооборот с таможенными органами"},
    {"1.3.6.1.4.1.53907.1.1.3.8", "Электронный документооборот с органами регулирования алкогольного рынка"},
    {"1.3.6.1.4.1.53907.1.1.4.1", "Стандартный (для ФЛ, срок действия 12 месяцев)"},
    {"1.3.6.1.4.1.53907.1.1.4.3", "Стандартный (для ЮЛ, срок действия 12 месяцев)"},
    {"1.3.6.1.4.1.53907.1.1.4.4", "Стандартный (для ИП, срок действия 12 месяцев)"},
    {"1.3.6.1.4.1.53907.1.1.5.1", "Дополнительная политика штампов времени"},
    {"1.3.6.1.4.1.53907.1.1.5.2", "Основная политика штампов времени"},
    {"1.3.6.1.4.1.53907.1.1.6.1", "Сертификат информационной системы (срок действия 12 месяцев)"},
    {"1.3.6.1.4.1.53907.1.1.7.1", "Сертификат службы актуальных статусов сертификатов"},
    {"1.3.6.1.4.1.53907.1.1.8.1", "Отчетность (для ЮЛ, срок действия 12 месяцев)"},
    {"1.3.6.1.4.1.53907.1.1.8.3", "Отчетность (для ИП, срок действия 12 месяцев)"},
    {"1.3.6.1.4.1.53907.1.1.8.4", "Отчетность (для ФЛ, срок действия 12 месяцев)"},
    {"1.3.6.1.4.1.53907.1.1.8.5", "Отчетность (для ЮЛ, срок действия 15 месяцев)"},
    {"1.3.6.1.4.1.53907.1.1.8.6", "Отчетность (для ИП, срок действия 15 месяцев)"},
    {"1.3.6.1.4.1.53907.1.1.8.7", "Отчетность (для ФЛ, срок действия 15 месяцев)"},
    {"1.3.6.1.4.1.53907.1.1.8.8", "Отчетность (для органов власти, срок действия 12 месяцев)"},
    {"1.3.6.1.4.1.53907.1.1.3.4", "Электронный документооборот с контрагентами"},
    {"1.3.6.1.4.1.53907.1.1.9.1", "Информационное взаимодействие с контролирующими органами"},
    {"1.2.643.100.2.2", "Доступ к СМЭВ ЭП-ОВ"},
    {"1.2.643.100.2.1", "Доступ к СМЭВ ЭП-СП"},
    {"1.3.6.1.4.1.53907.1.1.2.4",
     "Комбинированный (для федеральных торговых площадок, срок действия 12 месяцев)"},
    {"1.3.6.1.4.1.53907.1.1.2.5",
     "Комбинированный (для федеральных торговых площадок, срок действия 15 месяцев)"},
    {"1.3.6.1.4.1.53907.1.1.2.6",
     "Комбинированный (для коммерческих торговых площадок, срок действия 12 месяцев)"},
    {"1.3.6.1.4.1.53907.1.1.2.7",
     "Комбинированный (для коммерческих торговых площадок, срок действия 15 месяцев)"},
};
static_assert(std::size(PurposeRows) == 82);

// Subject-name attributes, registered in the RDN attribute group with NumericString values only.
const OidRow AttributeRows[] = {
    {"1.2.643.3.131.1.1", "ИНН"},
    {"1.2.643.100.1", "ОГРН"},
    {"1.2.643.100.5", "ОГРНИП"},
    {"1.2.643.100.3", "СНИЛС"},
};
static_assert(std::size(AttributeRows) == 4);

// The attribute rows' value types: NumericString, then the terminating 0.
const DWORD NumericOnly[] = {CERT_RDN_NUMERIC_STRING, 0};

CWString nameOf(const OidRow& row) {
    return CWString(row.description, std::strlen(row.description), 1251);
}

PCCRYPT_OID_INFO findRow(const OidRow& row, DWORD group) {
    return CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(row.oid), group);
}

// Found with a name equal to the table's (case-sensitive).
bool foundUnderTableName(PCCRYPT_OID_INFO info, const OidRow& row) {
    return info && info->pwszName && info->pwszName[0] &&
           CWString(info->pwszName).compare(nameOf(row), true) == 0;
}

// Calls `each(row, group)` for the purpose rows, then the attribute rows.
template <typename Each>
void forEachRow(Each each) {
    for (const OidRow& row : PurposeRows) each(row, CRYPT_ENHKEY_USAGE_OID_GROUP_ID);
    for (const OidRow& row : AttributeRows) each(row, CRYPT_RDN_ATTR_OID_GROUP_ID);
}

void logWin32(const CWString& text, DWORD error) {
    if (error == 0 || GetLogLevel() < 1) return;
    if (auto* log = GetLog()) log->writeWin32Error(text, error);
}

}  // namespace

// Counts once, on the GUI thread while the window initialises; later calls (the test's, from its own
// thread) only find the count made and touch nothing.
void CKestrovanDlg::areOidsRegistered() {
    if (m_unregisteredOids != -1) return;
    CLogScope scope("CKestrovanDlg::areOidsRegistered", 4);
    LoadRegisteredOIDInfo();
    int32_t missing = 0;
    for (const OidRow& row : PurposeRows)
        if (!foundUnderTableName(findRow(row, CRYPT_ENHKEY_USAGE_OID_GROUP_ID), row)) ++missing;
    for (const OidRow& row : AttributeRows) {
        PCCRYPT_OID_INFO info = findRow(row, CRYPT_RDN_ATTR_OID_GROUP_ID);
        if (!info || !info->pwszName || !info->pwszName[0] || info->ExtraInfo.cbData == 0) ++missing;
    }
    m_unregisteredOids = missing;
    updateToolTips();
}

DWORD CKestrovanDlg::registerOids(DWORD& registered) {
    CLogScope scope("CKestrovanDlg::registerOids", 4);
    registered = 0;
    m_unregisteredOids = 0;
    DWORD lastError = 0;
    forEachRow([&](const OidRow& row, DWORD group) {
        const CWString name = nameOf(row);
        CRYPT_OID_INFO info{};
        info.cbStruct = sizeof info;
        info.pszOID = row.oid;
        info.pwszName = name.c_str();
        info.dwGroupId = group;
        info.dwValue = 0;
        if (group == CRYPT_RDN_ATTR_OID_GROUP_ID) {
            info.ExtraInfo.cbData = sizeof NumericOnly;
            info.ExtraInfo.pbData = reinterpret_cast<BYTE*>(const_cast<DWORD*>(NumericOnly));
        }
        if (CryptRegisterOIDInfo(&info, 0)) {
            ++registered;
        } else {
            lastError = GetLastError();
            ++m_unregisteredOids;
        }
    });
    return lastError;
}

void CKestrovanDlg::OnOIDsReg() {
    CLogScope scope("CKestrovanDlg::OnOIDsReg", 3);
    const QString caption = QStringLiteral(u"Регистрация OID-ов");
    try {
        bool checkWorked = false;
        const bool admin = Vsk::Utils::IsCurrentUserAdmin(&checkWorked) != FALSE;
        if (!admin && checkWorked) {
            messageBox(QStringLiteral(u"Для регистрации OID-ов необходимо запустить эту программу с правами "
                                      u"администратора!"),
                       caption, MB_ICONERROR);
            // The program's own file again, elevated; this platform's shell refuses that, so the
            // failure is only logged and the program goes on.
            const CWString self = Vsk::InternalUtils::GetModuleFileNameW(nullptr);
            const HINSTANCE started = ShellExecuteW(nullptr, u"runas", self.c_str(), u"", nullptr, SW_SHOW);
            if (reinterpret_cast<intptr_t>(started) > 32) {
                PostQuitMessage(0);
            } else {
                logWin32(CWString(u"CKestrovanDlg::OnOIDsReg ShellExecute"), GetLastError());
            }
            return;
        }

        if (m_unregisteredOids != 0) {
            DWORD registered = 0;
            const DWORD error = registerOids(registered);
            if (m_unregisteredOids != 0) {
                messageBox(QStringLiteral(u"Зарегистрировано %1 шт., не зарегистрировано %2 шт., ошибка: %3")
                               .arg(registered)
                               .arg(m_unregisteredOids)
                               .arg(toQ(Vsk::Utils::CError(error).getText())),
                           caption, MB_ICONERROR);
            } else {
                messageBox(QStringLiteral(u"Все OID-ы (%1 шт.) успешно зарегистрированы!").arg(registered),
                           caption, MB_ICONINFORMATION);
            }
        } else {
            forEachRow([&](const OidRow& row, DWORD group) {
                PCCRYPT_OID_INFO info = findRow(row, group);
                if (!foundUnderTableName(info, row)) return;
                if (CryptUnregisterOIDInfo(info)) {
                    ++m_unregisteredOids;
                } else {
                    CWString text(u"CKestrovanDlg::OnOIDsReg Разрегистрация ");
                    text += CWString(row.oid, std::strlen(row.oid), 1251);
                    logWin32(text, GetLastError());
                }
            });
            if (m_unregisteredOids != 0)
                messageBox(
                    QStringLiteral(u"OID-ы (%1 шт.) успешно разрегистрированы!").arg(m_unregisteredOids),
                    QStringLiteral(u"Разрегистрация OID-ов"), MB_ICONINFORMATION);
        }
    } catch (const Vsk::Utils::CError& error) {
        showError(error, caption);
    } catch (...) {
        messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
    }
    updateToolTips();
}
