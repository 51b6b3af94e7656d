// Command availability by selection, the list's context menu and the window's own keys.
#include "kestrovanDlg.h"

#include <vsk/platform/cert.h>
#include <vsk/utils/logScope.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QTreeWidget>

#include <algorithm>

using Vsk::InternalUtils::CLogScope;

namespace {

// The buttons that follow the list's selection (32773 follows the certificate filling).
constexpr int SelectionButtons[] = {CMD_PROPERTIES, CMD_EXPORT, CMD_CRL_INSTALL, CMD_DELETE,
                                    CMD_CERT_FROM_KEY_CONT};

// A letter key with Ctrl, whatever the keyboard layout: Qt reports the letter of the active layout,
// so the Cyrillic letter on the same key counts too (С on C, М on V, Ф on A).
bool isLetter(const QKeyEvent* key, int latin, int cyrillic) {
    return key->key() == latin || key->key() == cyrillic;
}

bool isMyNode(NodeId node) {
    return node == reinterpret_cast<NodeId>(StoreMY);
}

// Whether the certificate names a CRL distribution point; a certificate that cannot be read names none.
bool hasCrlDistributionPoint(const Vsk::PKI::CCertificate& certificate) {
    try {
        return certificate.get_CrlDistributionPoints().getCount() != 0;
    } catch (...) {
        return false;
    }
}

// Whether the open store lets the user delete the certificate; no when that cannot be told.
bool canDelete(const Vsk::PKI::CStore& store, const Vsk::PKI::CCertificate& certificate) {
    try {
        const PCCERT_CONTEXT context = certificate.get_CertContext();
        return context && !store.isNull() && store.canDeleteCertificate(context);
    } catch (...) {
        return false;
    }
}

}  // namespace

// ---- Keys ------------------------------------------------------------------------------------------------

bool CKestrovanDlg::PreTranslateMessage(QKeyEvent* key) {
    switch (key->key()) {
        case Qt::Key_Escape:
            // Asks the workers to stop; the window stays open.
            cancelWorkers();
            return true;
        case Qt::Key_Delete:
            OnDelete();
            return true;
        case Qt::Key_F5:
            OnRefresh();
            return true;
        case Qt::Key_F1:
            OnHelpInfo();
            return true;
        default:
            break;
    }
    if (!(key->modifiers() & Qt::ControlModifier)) return false;

    if (isLetter(key, Qt::Key_C, 0x0421)) {
        // The list's own copy (its text to the clipboard) never runs.
        if (isStoreNode(m_currentNode)) {
            void* selected = getSelectedItemData();
            m_copiedCert =
                selected ? *static_cast<Vsk::PKI::CCertificate*>(selected) : Vsk::PKI::CCertificate(false);
        }
        return true;
    }
    if (isLetter(key, Qt::Key_V, 0x041C)) {
        if (isStoreNode(m_currentNode) && !m_copiedCert.isNull() && m_copiedCert.get_CertContext()) {
            const QString caption = QStringLiteral(u"Копирование сертификата");
            try {
                const bool mine = isMyNode(m_currentNode);
                // False outside "MY": the user refused the add (the trusted roots ask first), so nothing
                // was installed and nothing is said. In "MY" it means only the binding was declined.
                if (!m_openStore.InstallCertificate(m_copiedCert, CERT_STORE_ADD_ALWAYS, mine) && !mine)
                    return true;
                refresh(false);
                messageBox(QStringLiteral(u"Сертификат \"") + toQ(m_copiedCert.get_SubjectShortName()) +
                               QStringLiteral(u"\" был успешно установлен!"),
                           caption, MB_ICONINFORMATION);
            } catch (const Vsk::Utils::CError& error) {
                showError(error, caption);
            } catch (...) {
                messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
            }
        }
        return true;
    }
    if (isLetter(key, Qt::Key_A, 0x0424)) {
        // The list's own select-all never runs: on other nodes Ctrl+A does nothing.
        if (m_currentNode == NODE_KEY_CONTAINERS) {
            for (int i = listCount() - 1; i >= 0; --i) listItem(i)->setSelected(true);
            m_list->setFocus(Qt::ShortcutFocusReason);
        }
        return true;
    }
    return false;
}

// ---- Toolbar by selection ------------------------------------------------------------------------------

void CKestrovanDlg::onLVItem(void* itemData) {
    CLogScope scope("CKestrovanDlg::onLVItem", 3,
                    Vsk::Utils::ToWString(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(itemData))));
    const int n = selectedCount();
    if (n == 0) {
        for (int id : SelectionButtons) showCommand(id, false);
    } else if (!itemData) {
        // A row left a selection that still has others: nothing changes.
        return;
    } else {
        showCommand(CMD_PROPERTIES, true);
        if (m_currentNode == NODE_KEY_CONTAINERS) {
            const auto* container = static_cast<const Vsk::PKI::CKeyContainer*>(itemData);
            try {
                showCommand(CMD_CERT_FROM_KEY_CONT, container->getCertificate() != nullptr);
            } catch (...) {
                // The container cannot be read now: the button keeps its state.
            }
            showCommand(CMD_DELETE, true);
        } else if (m_currentNode == NODE_ROOT || m_currentNode == NODE_CRLS) {
            showCommand(CMD_DELETE, true);
        } else {
            const auto* certificate = static_cast<const Vsk::PKI::CCertificate*>(itemData);
            showCommand(CMD_CRL_INSTALL, hasCrlDistributionPoint(*certificate));
            showCommand(CMD_EXPORT, true);
            showCommand(CMD_DELETE, canDelete(m_openStore, *certificate));
        }
    }
    enableCommand(CMD_PROPERTIES, n == 1);
    enableCommand(CMD_EXPORT, n == 1);
    enableCommand(CMD_CRL_INSTALL, n == 1);
}

void CKestrovanDlg::OnLvnItemchangedListCert() {
    CLogScope scope("CKestrovanDlg::OnLvnItemchangedListCert", 3);
    // Qt reports the new selection as a whole; the toolbar follows the rows as the list control
    // reported them one by one: a newly selected row gives its data, a lost row gives none (which
    // changes nothing while other rows stay selected). A row that became current and is selected
    // counts as newly selected, as the list control reports a moved focus on a selected row.
    QList<QTreeWidgetItem*> selected = m_list->selectedItems();
    std::vector<QTreeWidgetItem*> now(selected.begin(), selected.end());
    std::sort(now.begin(), now.end());
    std::vector<QTreeWidgetItem*> added;
    std::set_difference(now.begin(), now.end(), m_lvSelection.begin(), m_lvSelection.end(),
                        std::back_inserter(added));
    QTreeWidgetItem* current = m_list->currentItem();
    const bool currentMoved = current != m_lvCurrent;
    m_lvSelection = std::move(now);
    m_lvCurrent = m_lvSelection.empty() ? nullptr : current;

    QTreeWidgetItem* reported = nullptr;
    if (!added.empty()) {
        if (current && std::find(added.begin(), added.end(), current) != added.end()) {
            reported = current;
        } else {
            // The last of the new rows in the list's order.
            int lastRow = -1;
            for (QTreeWidgetItem* row : added) {
                const int index = m_list->indexOfTopLevelItem(row);
                if (index > lastRow) {
                    lastRow = index;
                    reported = row;
                }
            }
        }
    } else if (currentMoved && current && current->isSelected()) {
        reported = current;
    }
    onLVItem(reported ? static_cast<CListItem*>(reported)->itemData() : nullptr);
}

void CKestrovanDlg::OnNMSetfocusListCert() {
    onLVItem(getSelectedItemData());
}

void CKestrovanDlg::OnNMKillfocusListCert(QWidget* newFocus) {
    if (newFocus && newFocus == m_tree) onLVItem(nullptr);
}

// ---- The list's context menu -----------------------------------------------------------------------

QMenu* CKestrovanDlg::prepareListMenu(int item) {
    const int n = selectedCount();
    const bool oneSelected = n == 1;     // E1
    const bool onItem = listItem(item);  // EI
    void* itemData = onItem ? listItem(item)->itemData() : nullptr;
    auto enable = [this](int position, int id, bool on) {
        if (QAction* action = menuItem(position, id)) action->setEnabled(on);
    };

    if (m_currentNode == NODE_ROOT) return nullptr;
    if (m_currentNode == NODE_CRLS) {
        enable(1, CMD_DELETE, onItem);
        enable(1, CMD_PROPERTIES, oneSelected);
        return subMenu(1);
    }
    if (m_currentNode == NODE_KEY_CONTAINERS) {
        enable(2, CMD_DELETE, onItem);
        // C: the container under the cursor holds a certificate; one that cannot be read holds none.
        bool holdsCertificate = false;
        if (itemData) {
            try {
                holdsCertificate =
                    static_cast<const Vsk::PKI::CKeyContainer*>(itemData)->getCertificate() != nullptr;
            } catch (...) {
                holdsCertificate = false;
            }
        }
        enable(2, CMD_CERT_FROM_KEY_CONT, holdsCertificate);
        enable(2, CMD_PROP_CERT_CONT, n > 1 ? false : holdsCertificate);
        enable(2, CMD_PROPERTIES, oneSelected);
        enable(2, CMD_TEST_KEY_CONT, true);
        return subMenu(2);
    }
    enable(0, CMD_EXPORT, oneSelected);
    if (itemData) {
        const auto* certificate = static_cast<const Vsk::PKI::CCertificate*>(itemData);
        enable(0, CMD_CRL_INSTALL, hasCrlDistributionPoint(*certificate) && n < 2);
        enable(0, CMD_DELETE, canDelete(m_openStore, *certificate));
    } else {
        enable(0, CMD_CRL_INSTALL, false);
        enable(0, CMD_DELETE, false);
    }
    enable(0, CMD_PROPERTIES, oneSelected);
    enable(0, CMD_IMPORT, true);
    return subMenu(0);
}

void CKestrovanDlg::OnNMRclickListCert(const QPoint& position) {
    CLogScope scope("CKestrovanDlg::OnNMRclickListCert", 3);
    // The position is in the list's viewport, where its rows are.
    const QPoint screen = m_list->viewport()->mapToGlobal(position);
    QTreeWidgetItem* under = m_list->itemAt(position);
    QMenu* menu = prepareListMenu(under ? m_list->indexOfTopLevelItem(under) : -1);
    if (menu) menu->exec(screen);
}
