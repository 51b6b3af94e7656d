// Command availability by selection, the list's context menu and the window's keys.
#include "kestrovanDlg.h"

#include <QKeyEvent>

bool CKestrovanDlg::PreTranslateMessage(QKeyEvent* key) {
    if (key->key() == Qt::Key_Escape) cancelWorkers();
    return false;
}
void CKestrovanDlg::onLVItem(void*) {}
void CKestrovanDlg::OnLvnItemchangedListCert() {}
void CKestrovanDlg::OnNMSetfocusListCert() {}
void CKestrovanDlg::OnNMKillfocusListCert(QWidget*) {}
void CKestrovanDlg::OnNMRclickListCert(const QPoint&) {}
