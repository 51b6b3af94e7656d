// The test's rows on the system: the computer row, the authority's root certificates, its OIDs, the
// GOST providers with their key containers, and the personal certificate with its container.
#include "testDlg.h"

#include <vsk/pki/ProviderChoice.h>
#include <vsk/pki/Store.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/systemInfo.h>

#include <QLabel>
#include <QPushButton>

#include <ctime>

using Vsk::InternalUtils::CLogScope;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CKeyContainer;
using Vsk::PKI::CStore;
using Vsk::Utils::CArray;
using Vsk::Utils::CError;
using Vsk::Utils::CStopwatch;
using Vsk::Utils::CWString;

namespace {

QString field(const CWString& info, const char16_t* name) {
    return toQ(Vsk::Utils::GetFieldValue(info, CWString(name)));
}

QString ascii(const Vsk::Utils::CAString& text) {
    return QString::fromLatin1(text.c_str(), static_cast<qsizetype>(text.getLength()));
}

// A certificate date as a local date "dd.mm.yyyy".
QString localDate(const FILETIME& utc) {
    const uint64_t ticks = (static_cast<uint64_t>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;
    const time_t seconds = static_cast<time_t>(ticks / 10000000ULL) - 11644473600LL;
    struct tm local {};
    localtime_r(&seconds, &local);
    char text[16];
    std::strftime(text, sizeof text, "%d.%m.%Y", &local);
    return QString::fromLatin1(text);
}

}  // namespace

void CTest::checkComputer(CStopwatch& stopwatch) {
    stopwatch.start();
    QString row = QStringLiteral(u"<tr><td>0<td>Компьютер<td>");
    try {
        static const char* const os[] = {"OperatingSystem",
                                         "Caption",
                                         "Version",
                                         "OSArchitecture",
                                         "OSLanguage",
                                         "CodeSet",
                                         "ServicePackMajorVersion",
                                         "ServicePackMinorVersion",
                                         "TotalVisibleMemorySize",
                                         nullptr};
        static const char* const system[] = {
            "ComputerSystem", "Manufacturer", "Model", "NumberOfProcessors", "NumberOfLogicalProcessors",
            nullptr};
        static const char* const processor[] = {"Processor", "Name", nullptr};
        const CWString osInfo = Vsk::InternalUtils::GetSysInfo(os, nullptr);
        const CWString systemInfo = Vsk::InternalUtils::GetSysInfo(system, nullptr);
        const CWString processorInfo = Vsk::InternalUtils::GetSysInfo(processor, nullptr);
        const QString text = QStringLiteral(u"Операционная система: ") + field(osInfo, u"Caption") +
                             QStringLiteral(u" (") + field(osInfo, u"Version") + QStringLiteral(u", ") +
                             field(osInfo, u"OSArchitecture") + QStringLiteral(u", SP ") +
                             field(osInfo, u"ServicePackMajorVersion") + QStringLiteral(u".") +
                             field(osInfo, u"ServicePackMinorVersion") + QStringLiteral(u", язык: ") +
                             field(osInfo, u"OSLanguage") + QStringLiteral(u", кодовая страница: ") +
                             field(osInfo, u"CodeSet") + QStringLiteral(u", используемая память: ") +
                             field(osInfo, u"TotalVisibleMemorySize") + QStringLiteral(u" Кб),");
        const QString board = QStringLiteral(u"системная плата: ") + field(systemInfo, u"Model") +
                              QStringLiteral(u" (") + field(systemInfo, u"Manufacturer") +
                              QStringLiteral(u"), процессор: ") + field(processorInfo, u"Name") +
                              QStringLiteral(u" (количество ") + field(systemInfo, u"NumberOfProcessors") +
                              QStringLiteral(u", ядер ") + field(systemInfo, u"NumberOfLogicalProcessors") +
                              QStringLiteral(u")");
        row += htmlEscape(text) + QStringLiteral("<br>") + htmlEscape(board);
    } catch (const CError& error) {
        row += htmlEscape(toQ(error.getText()));
    } catch (...) {
        row += QStringLiteral(u"Неопознанная ошибка");
    }
    m_report += row + QStringLiteral("<td>") + toQ(stopwatch.text());
}

bool CTest::checkRootCerts(QString& result) {
    CLogScope scope("CTest::checkRootCerts", 3);
    const CArray<CCertificate> missing = CKestrovanDlg::loadCaCerts(u"CERT_ROOT_ALWAYS", u"ROOT", m_location);
    if (missing.isEmpty()) {
        result = QStringLiteral(u"Все установлены");
        return true;
    }
    result = QStringLiteral(u"Не установлено %1 шт., их отпечатки:").arg(missing.getCount());
    for (size_t i = 0; i < missing.getCount(); ++i) result += u' ' + ascii(missing[i].get_Thumbprint());
    showRepairButton(IDC_TEST_FIX_ROOTS);
    return false;
}

bool CTest::checkOIDs(QString& result) {
    CLogScope scope("CTest::checkOIDs", 3);
    int32_t unregistered = 0;
    // The count belongs to the window: it is made and read on the GUI thread.
    onGui([&] {
        if (!m_mainDlg) return;
        m_mainDlg->areOidsRegistered();
        unregistered = m_mainDlg->m_unregisteredOids;
    });
    if (unregistered == 0) {
        result = QStringLiteral(u"Все зарегистрированы");
        return true;
    }
    result = QStringLiteral(u"Не зарегистрировано %1 OID-ов").arg(unregistered);
    showRepairButton(IDC_TEST_FIX_OIDS);
    return false;
}

bool CTest::checkCspAndKeyContAvailability(QString& result, Vsk::PKI::CSPInfoArray& providers) {
    CLogScope scope("CTest::checkCspAndKeyContAvailability", 3);
    constexpr int step = 3;
    markCurrentStep(IDC_TEST_LABEL_FIRST + 2);
    m_report += QStringLiteral(u"<tr><td>3<td>ГОСТовые криптопровайдеры, ключевые контейнеры<td>");
    bool passed = false;
    CStopwatch stopwatch(CStopwatch::ThreadCpu);
    stopwatch.start();
    try {
        CStore store;
        store.Open(u"MY", m_location | STORE_OPEN_EXISTING);
        providers = Vsk::PKI::GetGostCSPInfo();
        if (providers.isEmpty()) {
            result = QStringLiteral(u"ГОСТовые криптопровайдеры отсутствуют");
            m_report += result;
        } else {
            m_report += QStringLiteral(u"<table><th>Криптопровайдер<th>Ключевые контейнеры");
            for (size_t p = 0; p < providers.getCount(); ++p) {
                Vsk::PKI::CSPInfo* provider = providers[p].get();
                const QString name = toQ(provider->m_name) + QStringLiteral(u" (версия: ") +
                                     toQ(provider->getVersionText()) + QStringLiteral(u")");
                if (!result.isEmpty()) result += u'\n';
                result += name;
                setResultText(step, result);
                m_report += QStringLiteral("<tr><td>") + htmlEscape(name) + QStringLiteral("<td>");
                passed = true;
                Vsk::PKI::CCsp csp(true);
                csp.putCSPInfo(provider);
                CArray<CKeyContainer> containers;
                csp.GetContainerList(containers, m_computer, nullptr);
                if (containers.isEmpty()) {
                    m_report += QStringLiteral(u"отсутствуют");
                    continue;
                }
                m_report += QStringLiteral(
                    u"<table><th>Наименование контейнера<th>Сертификат в контейнере<th>Срок действия "
                    u"сертификата<th>Установлен ли сертификат в хранилище Личные");
                for (size_t c = 0; c < containers.getCount(); ++c) {
                    try {
                        const CKeyContainer& container = containers[c];
                        if (!container.isExchangeKey()) continue;
                        m_report += QStringLiteral("<tr><td>") + htmlEscape(toQ(container.get_Name())) +
                                    QStringLiteral("<td>");
                        if (const CCertificate* stored = container.getCertificate()) {
                            const CCertificate found =
                                store.FindCertificate(stored->get_Thumbprint().c_str());
                            QString installed = QStringLiteral(u"нет");
                            if (!found.isNull())
                                installed = found.get_HasPrivateKey(false)
                                                ? QStringLiteral(u"да")
                                                : QStringLiteral(u"нет связи с ключевым контейнером");
                            m_report += htmlEscape(toQ(stored->get_SubjectShortName())) +
                                        QStringLiteral("<td>") + localDate(stored->get_NotBefore()) +
                                        QStringLiteral(" - ") + localDate(stored->get_NotAfter()) +
                                        QStringLiteral("<td>") + installed;
                        } else {
                            m_report += QStringLiteral(u"—<td>—<td>—");
                        }
                    } catch (const CError& error) {
                        m_report += htmlEscape(toQ(error.getText()));
                    } catch (...) {
                        m_report += QStringLiteral(u"Неопознанная ошибка");
                    }
                    if (m_abort) {
                        m_report += QStringLiteral("</table></table>");
                        setResultText(step, result);
                        return false;
                    }
                }
                m_report += QStringLiteral("</table>");
            }
            m_report += QStringLiteral("</table>");
        }
        setResultText(step, result);
    } catch (const CError& error) {
        setResultText(step, result);
        appendResultError(step, toQ(error.getText()));
        passed = false;
    } catch (...) {
        setResultText(step, result);
        appendResultError(step, QStringLiteral(u"Неопознанная ошибка"));
        passed = false;
    }
    m_report += QStringLiteral("<td>") + toQ(stopwatch.text());
    setStepMark(IDC_TEST_MARK_FIRST + 2, passed);
    return true;
}

void CTest::checkMyCertAndKeyContPresence(QString& result, const CCertificate* certificate,
                                          CKeyContainer* container) {
    CLogScope scope("CTest::checkMyCertAndKeyContPresence", 3);
    constexpr int step = 4;
    markCurrentStep(IDC_TEST_LABEL_FIRST + 3);
    bool passed = true;
    m_report += QStringLiteral(u"<tr><td>4<td>Проверка личного сертификата<td>");
    CStopwatch stopwatch(CStopwatch::ThreadCpu);
    stopwatch.start();
    CWString validity;
    CKeyContainer found;
    if (!container) {
        for (int pass = 0; pass < 2 && found.isNull(); ++pass) {
            for (size_t p = 0; p < m_cspCache.getCount() && found.isNull(); ++p) {
                CArray<CKeyContainer> containers;
                // A failed listing escapes the step and ends the run.
                m_cspCache[p].GetContainerList(containers, m_computer, nullptr);
                for (size_t c = 0; c < containers.getCount(); ++c) {
                    try {
                        const CKeyContainer& candidate = containers[c];
                        if (!candidate.isExchangeKey()) continue;
                        const CCertificate* cert = nullptr;
                        try {
                            cert = candidate.findCertificateInPersonalStore();
                        } catch (...) {
                            cert = nullptr;
                        }
                        if (!cert) cert = candidate.getCertificate();
                        if (!cert || !cert->get_HasPrivateKey(false)) continue;
                        if (pass == 0 && !cert->isValidDate(&validity)) continue;
                        found = candidate;
                        break;
                    } catch (...) {
                    }
                }
            }
        }
        if (found.isNull()) {
            result = QStringLiteral(u"Не найден подходящий ключевой контейнер для тестирования!\n") +
                     toQ(validity);
            passed = false;
        } else {
            container = &found;
        }
    }
    if (container) {
        const CCertificate* latest = certificate;
        for (;;) {
            try {
                result.clear();
                passed = true;
                container->get_CommonSettings().put_Silent(true);
                const CCertificate* personal = container->findCertificateInPersonalStore();
                latest = personal;
                if (personal) {
                    result = QStringLiteral(u"Сертификат \"") + toQ(personal->get_SubjectShortName()) +
                             QStringLiteral(u"\" (отпечаток ") + ascii(personal->get_Thumbprint()) +
                             QStringLiteral(u"), соответствующий выбранному ключевому контейнеру \"") +
                             toQ(container->get_Name()) + QStringLiteral("\".");
                    CWString reason;
                    if (!personal->isValidDate(&reason)) {
                        result += QStringLiteral("\r\n") + toQ(reason);
                        passed = false;
                    }
                    if (!personal->get_HasPrivateKey(false)) {
                        result += QStringLiteral(u"\r\nСертификат не имеет связи с ключевым контейнером!");
                        showRepairButton(IDC_TEST_FIX_CERT);
                        passed = false;
                    }
                } else {
                    const CCertificate* stored = container->getCertificate();
                    latest = stored;
                    if (!stored) {
                        result = QStringLiteral(u"Выбранный (перед тестированием) ключевой контейнер \"") +
                                 toQ(container->get_Name()) +
                                 QStringLiteral(
                                     u"\" не содержит сертификат и сертификат отсутствует в хранилище "
                                     u"Личные!");
                    } else {
                        result = QStringLiteral(u"Сертификат \"") + toQ(stored->get_SubjectShortName()) +
                                 QStringLiteral(u"\" (отпечаток ") + ascii(stored->get_Thumbprint()) +
                                 QStringLiteral(u") в выбранном ключевом контейнере \"") +
                                 toQ(container->get_Name()) +
                                 QStringLiteral(u"\".\r\nСертификат отсутствует в хранилище Личные!");
                        showRepairButton(IDC_TEST_FIX_CERT);
                    }
                    passed = false;
                }
                break;
            } catch (const CError& error) {
                if (askContainerPassword(error, *container, latest, stopwatch)) continue;
                if (!result.isEmpty()) result += QStringLiteral("\r\n");
                result += toQ(error.getText());
                passed = false;
                break;
            }
        }
    }
    if (passed) result += QStringLiteral(u"\r\nОшибок не обнаружено");
    setResultText(step, result);
    m_report += htmlEscape(result) + QStringLiteral("<td>") + toQ(stopwatch.text());
    setStepMark(IDC_TEST_MARK_FIRST + 3, passed);
}
