// The test's repair buttons: the authority's root certificates (step 1), its OIDs (step 2) and the
// personal certificate of the selected key container (step 4).
#include "testDlg.h"

#include <vsk/platform/gui.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/shell.h>
#include <vsk/utils/file.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/system.h>

#include <QLabel>
#include <QPushButton>

using Vsk::InternalUtils::CLogScope;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CKeyContainer;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

void CTest::OnBnClickedBtRootCerts() {
    CLogScope scope("CTest::OnBnClickedBtRootCerts", 3);
    m_fixRoots->setEnabled(false);
    if (m_mainDlg) {
        m_mainDlg->OnCheckRootCert();
        if (m_mainDlg->loadMissingRootCerts().isEmpty()) {
            setStepMark(IDC_TEST_MARK_FIRST, true);
            m_fixRoots->hide();
            setResultText(1, QStringLiteral(u"Все установлены"));
        }
    }
    m_fixRoots->setEnabled(true);
}

void CTest::OnBnClickedBtOidsVoskel() {
    CLogScope scope("CTest::OnBnClickedBtOidsVoskel", 3);
    bool checkWorked = false;
    const bool admin = Vsk::Utils::IsCurrentUserAdmin(&checkWorked) != FALSE;
    if (!admin && checkWorked) {
        MessageBoxW(this,
                    u"Для регистрации OID-ов необходимо запустить эту программу с правами администратора!",
                    u"Регистрация OID-ов ООО «Зорнавелиста»", MB_ICONERROR);
        // The program's own file again, elevated; this platform's shell refuses that, so the failure
        // is only logged and the program goes on.
        const CWString self = Vsk::InternalUtils::GetModuleFileNameW(nullptr);
        const HINSTANCE started = ShellExecuteW(nullptr, u"runas", self.c_str(), u"", nullptr, SW_SHOW);
        if (reinterpret_cast<intptr_t>(started) > 32) {
            PostQuitMessage(0);
        } else {
            const DWORD error = GetLastError();
            if (error != 0 && Vsk::InternalUtils::GetLogLevel() >= 1) {
                if (auto* log = Vsk::InternalUtils::GetLog())
                    log->writeWin32Error(CWString(u"CTest::OnBnClickedBtOidsVoskel ShellExecute"), error);
            }
        }
        return;
    }
    m_fixOids->setEnabled(false);
    if (m_mainDlg) {
        DWORD registered = 0;
        const DWORD error = m_mainDlg->registerOids(registered);
        m_mainDlg->updateToolTips();
        if (m_mainDlg->m_unregisteredOids == 0) {
            setStepMark(IDC_TEST_MARK_FIRST + 1, true);
            m_fixOids->hide();
            setResultText(2, QStringLiteral(u"Все зарегистрированы"));
        } else {
            const QString text =
                QStringLiteral(u"Зарегистрировано %1 шт., не зарегистрировано %2 шт., ошибка: %3")
                    .arg(registered)
                    .arg(m_mainDlg->m_unregisteredOids)
                    .arg(toQ(CError(error).getText()));
            MessageBoxW(this, fromQ(text).c_str(), u"Регистрация OID-ов", MB_ICONERROR);
        }
    }
    m_fixOids->setEnabled(true);
}

void CTest::OnBnClickedBtCsp() {
    CLogScope scope("CTest::OnBnClickedBtCsp", 3);
    m_fixCert->setEnabled(false);
    try {
        if (!m_mainDlg || !m_mainDlg->isKeyContNodeSelected()) return;
        auto* container = static_cast<CKeyContainer*>(m_mainDlg->getSelectedItemData());
        if (!container) return;
        const CCertificate* stored = container->getCertificate();
        if (!stored) return;
        container->installCertificate(stored->get_CertContext());
        OnBnClickedStart();
    } catch (const CError& error) {
        setResultText(4, resultText(4) + QStringLiteral(u". Установка сертификата: ") + toQ(error.getText()));
    } catch (...) {
        setResultText(4, resultText(4) + QStringLiteral(u". Установка сертификата: Неопознанная ошибка"));
    }
}
