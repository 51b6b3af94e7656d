// The certificate-status worker and the start-up expiry check.
#include "kestrovanDlg.h"

DWORD CKestrovanDlg::verifyCerts(CWorkerJob&) {
    return 0;
}
void CKestrovanDlg::checkPersonalCerts(CWorkerJob&) {}
