// Installing the certificates that key containers hold into the personal store.
#include "kestrovanDlg.h"

void CKestrovanDlg::OnCertFromKeyCont() {}
void CKestrovanDlg::OnPropCertCont() {}
CCertsInstallSets::CCertsInstallSets(QWidget* parent)
    : QDialog(parent), m_onlyValid(false), m_replace(false) {}
BOOL CCertsInstallSets::OnInitDialog() {
    return TRUE;
}
void CCertsInstallSets::OnBnClickedOk() {}
