// Deletion of the selected rows: certificates from the open store, CRLs, and key containers (with the
// token PIN where the provider needs it), each after its own question.
#include "kestrovanDlg.h"

#include <vsk/platform/kernel.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/logScope.h>

#include <QTreeWidget>

#include <map>
#include <unordered_map>

using Vsk::InternalUtils::CLogScope;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CCrl;
using Vsk::PKI::CKeyContainer;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CWString;

namespace {

// A local date "dd.mm.yyyy".
QString localDate(const FILETIME& local) {
    SYSTEMTIME time{};
    if (!FileTimeToSystemTime(&local, &time)) return {};
    return QString::asprintf("%02u.%02u.%04u", time.wDay, time.wMonth, time.wYear);
}

// Whether a unique container name is that of a smart-card reader: "SCARD\" in any case.
bool isSmartCardName(const CWString& uniqueName) {
    return toQ(uniqueName).startsWith(QStringLiteral("SCARD\\"), Qt::CaseInsensitive);
}

bool isExpired(const CCertificate& certificate) {
    FILETIME now{};
    if (!Vsk::Utils::GetSystemFileTime(&now)) return false;
    return FileTimeToU64(certificate.get_NotAfter()) < FileTimeToU64(now);
}

// Takes the rows of the object out of the list before the object leaves its list: while a row goes,
// the list still reads its neighbours' (and a text callback row its own) data.
void removeRows(CKestrovanDlg& dlg, const void* itemData) {
    for (int index = dlg.listCount() - 1; index >= 0; --index)
        if (dlg.listItem(index)->itemData() == itemData) delete dlg.list()->takeTopLevelItem(index);
}

}  // namespace

bool CKestrovanDlg::pauseStatusThread() {
    if (!m_statusThread) return false;
    const bool running = WaitForSingleObject(m_statusThread, 0) == WAIT_TIMEOUT;
    if (stopThread(m_statusThread, m_statusThreadId, "CKestrovanDlg::OnDelete")) return running;

    // The worker still goes through its list: that list stays as it is, the window and its rows go on
    // with a copy (and a status cache of their own, which the worker does not write into).
    auto copy = std::make_shared<CCertList>();
    std::unordered_map<void*, void*> moved;
    {
        CLock lock(&m_shared->lock);
        for (CCertificate& certificate : *m_certList) {
            copy->push_back(certificate);
            moved[&certificate] = &copy->back();
        }
        m_certList = copy;
        m_statusCache = std::make_shared<CStatusCache>();
    }
    for (int index = 0; index < listCount(); ++index) {
        CListItem* row = listItem(index);
        const auto found = moved.find(row->itemData());
        row->setItemData(found != moved.end() ? found->second : nullptr);
    }
    return true;
}

void CKestrovanDlg::OnDelete() {
    CLogScope scope("CKestrovanDlg::OnDelete", 3);
    const QString caption = QStringLiteral(u"Удаление");
    if (selectedCount() == 0) return;
    // The rows point into the window's lists: a token change waits until the deletion ends.
    CKeyContWork work(*this);
    // The status worker reads the certificate list that the deletion changes.
    const bool restartStatus = isStoreNode(m_currentNode) && pauseStatusThread();

    std::map<int, void*> selected;
    for (int index = 0; index < listCount(); ++index) {
        const CListItem* row = listItem(index);
        if (row->isSelected()) selected.emplace(index, row->itemData());
    }

    // From the last row up, so that the indexes of the rows still to come stay valid.
    for (auto it = selected.rbegin(); it != selected.rend(); ++it) {
        const int index = it->first;
        int result = 0;
        try {
            result = confirmDelete(it->second);
        } catch (const CError& e) {
            showError(e, caption);
            continue;
        } catch (...) {
            messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
            continue;
        }
        if (result < 0) break;
        if (result == 0) continue;
        // A deleted object's row went with it; a row that did not stand for one goes now.
        if (CListItem* row = listItem(index); row && row->itemData() == it->second)
            delete m_list->takeTopLevelItem(index);
    }

    // The rows that stay get their statuses.
    if (restartStatus && isStoreNode(m_currentNode) && !m_statusThread && !m_certList->empty())
        startStatusThread();
    updateStatusCounts();
}

int CKestrovanDlg::confirmDelete(void* itemData) {
    CLogScope scope("CKestrovanDlg::confirmDelete", 3);
    if (!itemData) return 0;

    if (m_currentNode == NODE_CRLS) {
        const CCrl crl = *static_cast<const CCrl*>(itemData);
        m_openStore.DeleteCRL(crl.get_CrlContext());
        removeRows(*this, itemData);
        m_crlList.remove_if([itemData](const CCrl& element) { return &element == itemData; });
        return 1;
    }

    if (m_currentNode == NODE_KEY_CONTAINERS) {
        CKeyContainer container = *static_cast<const CKeyContainer*>(itemData);
        QString certificatePart;
        if (const CCertificate* certificate = container.getCertificate())
            certificatePart = QStringLiteral(u"\r\n\r\nСертификат в контейнере: ") +
                              localDate(certificate->get_NotBefore(true)) + QStringLiteral(" - ") +
                              localDate(certificate->get_NotAfter(true)) + QStringLiteral(", ") +
                              toQ(certificate->get_SubjectName());
        const int answer =
            messageBox(QStringLiteral(u"Вы действительно хотите удалить ключевой контейнер \"") +
                           toQ(container.get_Name()) + QStringLiteral("\"?") + certificatePart,
                       QStringLiteral(u"Подтверждение удаления ключевого контейнера"),
                       MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2);
        if (answer == IDCANCEL) return -1;
        if (answer != IDYES) return 0;

        const Vsk::PKI::CSPInfo* provider = container.get_CSPInfo();
        const bool smartCard = isSmartCardName(container.get_UniqueName()) && !container.hasKeysetPassword();
        if (smartCard || (provider && provider->isToken())) {
            const CWString prompt = CWString(u"Для удаления ключевого контейнера \"") + container.get_Name() +
                                    u"\"\r\nВведите ПИН токена";
            CPasswordDlg dialog(prompt, CWString(u"Кестрован"), this);
            if (dialog.exec() != IDOK) return -1;
            container.put_KeysetPassword(dialog.m_password);  // wipes the entered text
        }
        container.put_ParentWnd(this);
        container.Delete();
        removeRows(*this, itemData);
        m_keyContList.remove_if([itemData](const CKeyContainer& element) { return &element == itemData; });
        return 1;
    }

    if (isStoreNode(m_currentNode)) {
        const CCertificate certificate = *static_cast<const CCertificate*>(itemData);
        QString question =
            QStringLiteral(u"Сертификат \"") + toQ(certificate.get_SubjectShortName()) +
            QStringLiteral(u"\" (отпечаток ") + fromCp1251(certificate.get_Thumbprint().c_str()) +
            (isExpired(certificate) ? QStringLiteral(u") просрочен.") : QStringLiteral(u") не просрочен!"));
        if (certificate.get_HasPrivateKey(false))
            question += QStringLiteral(u"\nИ имеет связь с закрытым ключом.");
        question += QStringLiteral(u"\nВы действительно хотите удалить этот сертификат?");
        if (messageBox(question, QStringLiteral(u"Подтверждение удаления сертификата"),
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
            return 0;
        m_openStore.DeleteCertificate(certificate);
        removeRows(*this, itemData);
        // No worker goes through the window's list now (see pauseStatusThread).
        CLock lock(&m_shared->lock);
        m_certList->remove_if([itemData](const CCertificate& element) { return &element == itemData; });
        return 1;
    }

    return 1;
}
