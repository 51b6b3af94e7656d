// The CRL list, the key-container list with its provider selector, and token refresh.
#include "kestrovanDlg.h"

void CKestrovanDlg::FillCRLs(const WCHAR*) {}
void CKestrovanDlg::FillKeyConts() {}
Vsk::PKI::CCertificate CKestrovanDlg::getContainerCertificate(const Vsk::PKI::CKeyContainer&) const {
    return Vsk::PKI::CCertificate(false);
}
QString CKestrovanDlg::OnLvnGetdispinfoListCert(int, int) const {
    return {};
}
QString CKestrovanDlg::OnLvnGetdispinfoListCert(const CListItem&, int) const {
    return {};
}
void CKestrovanDlg::OnCbnSelchangeProvider() {}
void CKestrovanDlg::OnTokenRefresh() {}
