// The store tree and the certificate list.
#include "kestrovanDlg.h"

#include <QTreeWidget>

void CKestrovanDlg::OnTvnSelchangedTreeStore(QTreeWidgetItem* current) {
    m_currentNode = nodeOf(current);
    fillSelected();
}
void CKestrovanDlg::fillSelected() {
    clearList();
}
void CKestrovanDlg::OnRefresh() {
    refresh(true);
}
void CKestrovanDlg::refresh(bool) {
    clearList();
}
void CKestrovanDlg::clearList() {
    clearCertList();
    for (int id :
         {CMD_PROPERTIES, CMD_EXPORT, CMD_IMPORT, CMD_CRL_INSTALL, CMD_DELETE, CMD_CERT_FROM_KEY_CONT})
        showCommand(id, false);
    m_list->clear();
    m_list->setColumnCount(0);
}
void CKestrovanDlg::FillCerts(const WCHAR*) {}
CCertList CKestrovanDlg::GetCertList(Vsk::PKI::CStore&, const WCHAR*, DWORD, Vsk::Utils::IProgress*,
                                     const CWorkerJob*) {
    return {};
}
int CKestrovanDlg::findItemByData(void*) const {
    return -1;
}
void CKestrovanDlg::updateStatusCounts() {}
void CKestrovanDlg::OnLvnColumnclickListCert(int) {}
int CKestrovanDlg::compareItems(void*, void*) const {
    return 0;
}
QString CKestrovanDlg::OnLvnGetInfoTipListCert(int) const {
    return {};
}
QString CKestrovanDlg::formatFileTime(const FILETIME&) {
    return {};
}
