// The authority's root and cross certificates that the program carries as resources: which of them the
// system stores lack, the question whether to install them, the installation and its summary; and the
// confirmation the window gives before the user's ROOT store changes.
#include "kestrovanDlg.h"

#include <vsk/platform/cert.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/resource.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/system.h>

#include <QPointer>

#include <string>

using Vsk::InternalUtils::CLogScope;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CStore;
using Vsk::Utils::CArray;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

constexpr DWORD OpenExisting = 0x4000;  // CERT_STORE_OPEN_EXISTING_FLAG
constexpr DWORD ReadOnly = 0x8000;      // CERT_STORE_READONLY_FLAG
constexpr DWORD AddNew = 1;             // CERT_STORE_ADD_NEW

const QString Caption = QStringLiteral(u"Установка сертификатов");
const QString CheckCaption = QStringLiteral(u"Проверка корневых сертификатов УЦ ООО «Зорнавелиста»");

// How the check reaches the window: directly on the GUI thread, through the job from a worker.
struct CheckHost {
    std::function<int(const QString& text, const QString& caption, UINT flags)> messageBox;
    std::function<DWORD()> location;
    // Refreshes the window when its tree shows a certificate store.
    std::function<void()> refreshStoreNode;
};

// Hexadecimal text as a wide text.
CWString wide(const Vsk::Utils::CAString& text) {
    CWString out;
    for (DWORD i = 0; i < text.getLength(); ++i)
        out += static_cast<WCHAR>(static_cast<unsigned char>(text.charAt(i)));
    return out;
}

// The resource-name callback: a copy of each resource's bytes.
BOOL enumCertResNameProc(HMODULE, LPCWSTR type, LPWSTR name, LONG_PTR parameter) {
    auto* list = reinterpret_cast<CArray<CDataBlob>*>(parameter);
    Vsk::Utils::CResourceLoader loader;
    list->add(loader.load(nullptr, name, type));
    loader.release();
    return TRUE;
}

CWString fileTimeYear(const FILETIME& time) {
    // A zero time is what a failed conversion to local time gives: no year either.
    SYSTEMTIME system{};
    if ((!time.dwLowDateTime && !time.dwHighDateTime) || !FileTimeToSystemTime(&time, &system)) return {};
    const std::u16string year = QString::number(system.wYear).toStdU16String();
    return CWString(year.c_str(), year.size());
}

CWString describeCaCert(const CCertificate& certificate) {
    return wide(certificate.get_Thumbprint()) + u", " + certificate.get_SubjectName() + u", " +
           fileTimeYear(certificate.get_NotBefore(true)) + u" - " +
           fileTimeYear(certificate.get_NotAfter(true));
}

// Installs the certificates into the store; one line each. Returns the number that failed.
DWORD installCertArray(const CArray<CCertificate>& certificates, const WCHAR* storeName, DWORD location,
                       CArray<CWString>& lines, bool& cancelled) {
    if (certificates.isEmpty()) return 0;
    CStore store;
    store.Open(storeName, location | OpenExisting);
    DWORD failures = 0;
    for (size_t i = 0; i < certificates.getCount(); ++i) {
        const CCertificate& certificate = certificates[i];
        try {
            if (store.InstallCertificate(certificate, AddNew, false)) {
                lines.add(describeCaCert(certificate) + u" - установлен");
            } else {
                lines.add(describeCaCert(certificate) + u" - отменен");
                cancelled = true;
            }
        } catch (const CError& e) {
            lines.add(describeCaCert(certificate) + u" - " + e.getText());
            ++failures;
        }
    }
    return failures;
}

bool runCheck(const CheckHost& host) {
    try {
        const CArray<CCertificate> r1 =
            CKestrovanDlg::loadCaCerts(u"CERT_ROOT_ALWAYS", u"ROOT", host.location());
        const CArray<CCertificate> r2 = CKestrovanDlg::loadCaCerts(u"CERT_ROOT", u"ROOT", host.location());
        const CArray<CCertificate> c1 =
            CKestrovanDlg::loadCaCerts(u"CERT_CROSS_ALWAYS", u"CA", host.location());
        const CArray<CCertificate> c2 = CKestrovanDlg::loadCaCerts(u"CERT_CROSS", u"CA", host.location());
        if (r1.isEmpty() && r2.isEmpty() && c1.isEmpty() && c2.isEmpty()) return true;

        if (host.messageBox(
                QStringLiteral(
                    u"В системе установлены не все сертификаты УЦ ООО «Зорнавелиста». Это может привести "
                    u"к некорректной работе некоторых программ.\n\nУстановить сертификаты УЦ ООО "
                    u"«Зорнавелиста»?"),
                QStringLiteral(u"Внимание!"), MB_YESNO | MB_ICONQUESTION) != IDYES)
            return false;

        CArray<CWString> lines;
        DWORD failures = 0;
        bool cancelled = false;
        const struct {
            const CArray<CCertificate>* list;
            const WCHAR* store;
        } order[] = {{&r1, u"ROOT"}, {&c1, u"CA"}, {&r2, u"ROOT"}, {&c2, u"CA"}};
        for (const auto& step : order) {
            if (step.list->isEmpty()) continue;
            failures += installCertArray(*step.list, step.store, host.location(), lines, cancelled);
            if (cancelled) break;
        }

        const CWString joined = Vsk::Utils::JoinStrings(lines, u"\r\n - ");
        if (cancelled) {
            host.messageBox(
                QStringLiteral(
                    u"Была отменена установка некоторых сертификатов УЦ ООО «Зорнавелиста».\r\n - ") +
                    toQ(joined),
                Caption, failures ? MB_ICONERROR : MB_ICONWARNING);
            return false;
        }
        host.messageBox(QStringLiteral(u" - ") + toQ(joined), Caption,
                        failures ? MB_ICONERROR : MB_ICONINFORMATION);
        host.refreshStoreNode();
        return false;
    } catch (const CError& e) {
        host.messageBox(toQ(e.getText()), CheckCaption, MB_ICONERROR);
    } catch (...) {
        host.messageBox(QStringLiteral("..."), CheckCaption, MB_ICONERROR);
    }
    return false;
}

// ---- The confirmation of changes of the user's ROOT store

// The window that asks; used on the GUI thread only. Kept as a QObject: the window's destroyed signal
// comes when only its QWidget part is left.
QPointer<QObject>& confirmingWindow() {
    static QPointer<QObject> window;
    return window;
}

BOOL confirmRootChange(PCCERT_CONTEXT context, BOOL adding, void*) {
    QString text;
    try {
        CCertificate certificate;
        certificate.put_CertContext(context);
        const QString subject = toQ(certificate.get_SubjectName());
        const QString thumbprint = toQ(wide(certificate.get_Thumbprint()));
        text = adding ? QStringLiteral(u"Будет установлен корневой сертификат центра сертификации:\n") +
                            subject + QStringLiteral(u"\nОтпечаток (sha1): ") + thumbprint +
                            QStringLiteral(
                                u"\n\nПосле установки система будет доверять всем сертификатам, "
                                u"выданным этим центром сертификации.\n\nУстановить этот сертификат?")
                      : QStringLiteral(u"Удалить из хранилища корневых сертификатов сертификат:\n") +
                            subject + QStringLiteral(u"\nОтпечаток (sha1): ") + thumbprint + u'?';
    } catch (...) {
        return FALSE;
    }
    int answer = IDNO;
    RunOnGuiThread([&] {
        if (auto* window = static_cast<CKestrovanDlg*>(confirmingWindow().data()))
            answer = window->messageBox(text, QStringLiteral(u"Предупреждение системы безопасности"),
                                        MB_YESNO | MB_ICONWARNING);
    });
    return answer == IDYES ? TRUE : FALSE;
}

}  // namespace

CArray<CCertificate> CKestrovanDlg::loadCaCerts(const WCHAR* type, const WCHAR* storeName, DWORD location) {
    CArray<CDataBlob> resources;
    if (!EnumResourceNamesW(nullptr, type, &enumCertResNameProc, reinterpret_cast<LONG_PTR>(&resources))) {
        const DWORD error = GetLastError();
        if (error == ERROR_RESOURCE_TYPE_NOT_FOUND) return {};
        throw CError("EnumResourceNames", error);
    }
    CStore store;
    store.Open(storeName, location | OpenExisting | ReadOnly);
    CArray<CCertificate> missing;
    for (size_t i = 0; i < resources.getCount(); ++i) {
        CCertificate certificate(true);
        certificate.LoadFromBlob(resources[i]);
        const CCertificate found = store.FindCertificate(certificate);
        if (found.isNull() || !found.get_CertContext()) missing.add(certificate);
    }
    return missing;
}

CArray<CCertificate> CKestrovanDlg::loadMissingRootCerts() const {
    return loadCaCerts(u"CERT_ROOT_ALWAYS", u"ROOT", getStoreLocationFlags());
}

bool CKestrovanDlg::installCaCerts() {
    CLogScope scope("CKestrovanDlg::installCaCerts", 3);
    CheckHost host;
    host.messageBox = [this](const QString& text, const QString& caption, UINT flags) {
        return messageBox(text, caption, flags);
    };
    host.location = [this] { return getStoreLocationFlags(); };
    host.refreshStoreNode = [this] {
        if (isStoreNode(m_currentNode)) refresh(false);
    };
    return runCheck(host);
}

void CKestrovanDlg::installCaCerts(CWorkerJob& job) {
    CLogScope scope("CKestrovanDlg::installCaCerts", 4);
    CheckHost host;
    host.messageBox = [&job](const QString& text, const QString& caption, UINT flags) {
        int answer = 0;
        job.runOnDlg([&](CKestrovanDlg& dlg) { answer = dlg.messageBox(text, caption, flags); });
        return answer;
    };
    host.location = [&job] {
        DWORD location = job.location;
        job.runOnDlg([&](CKestrovanDlg& dlg) { location = dlg.getStoreLocationFlags(); });
        return location;
    };
    host.refreshStoreNode = [&job] {
        job.runOnDlg([](CKestrovanDlg& dlg) {
            if (isStoreNode(dlg.m_currentNode)) dlg.refresh(false);
        });
    };
    runCheck(host);
}

void CKestrovanDlg::OnCheckRootCert() {
    CLogScope scope("CKestrovanDlg::OnCheckRootCert", 3);
    if (installCaCerts())
        messageBox(QStringLiteral(u"Все корневые сертификаты УЦ ООО «Зорнавелиста» уже установлены."),
                   QStringLiteral(u"Проверка"), MB_ICONINFORMATION);
}

void CKestrovanDlg::installRootConfirmation() {
    confirmingWindow() = this;
    SetRootStoreConfirmHook(&confirmRootChange, nullptr);
    connect(this, &QObject::destroyed, [](QObject* gone) {
        // The confirmation ends with the window that gives it, unless a newer window took it over.
        QPointer<QObject>& window = confirmingWindow();
        if (window && window.data() != gone) return;
        window = nullptr;
        SetRootStoreConfirmHook(nullptr, nullptr);
    });
}
