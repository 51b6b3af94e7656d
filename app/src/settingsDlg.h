// The settings dialog of the main window: certificate verification, the key-container check, tokens
// with on-board cryptography, the option bits "flags", the developer log, and the proxy dialog.
#pragma once

#include <vsk/platform/types.h>

#include <QDialog>

class CKestrovanDlg;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;

// Control identifiers of the dialog; the widgets' object names are "id_<id>".
constexpr int IDD_SETS = 185;
constexpr int IDC_SETS_REVOCATION_FLAG = 1067;
constexpr int IDC_SETS_REVOCATION_MODE = 1075;
constexpr int IDC_SETS_URL_TIMEOUT = 1077;
constexpr int IDC_SETS_LOG_LEVEL = 1078;
constexpr int IDC_SETS_VERIFY_FLAGS = 1079;
constexpr int IDC_SETS_CONTAINER_CHECK = 1085;
constexpr int IDC_SETS_TOKEN_AS_CSP = 1086;
constexpr int IDC_SETS_REPLACE_IN_CONTAINER = 1129;
constexpr int IDC_SETS_START_CHECK = 1131;
constexpr int IDC_SETS_LOG_FOLDER = 1139;
constexpr int IDC_SETS_CONTAINER_CERTS = 1148;
constexpr int IDC_SETS_FIND_IN_MY = 1149;
constexpr int IDC_SETS_OPEN_LOG_FOLDER = 1151;
constexpr int IDC_SETS_PROXY = 32789;

// Shown modally by CKestrovanDlg::OnSets with the main window as parent. The values go to the main
// window (verification settings, container check, option bits), to the library (token switch, log
// level and folder) and to the registry; the proxy dialog saves its own settings on its OK.
class CSetsDlg : public QDialog {
public:
    explicit CSetsDlg(QWidget* parent);

    // Runs the initialisation once, then the dialog's own loop.
    int exec() override;
    BOOL OnInitDialog();
    // Stores every value and ends the dialog with OK, also after an error.
    void OnBnClickedOk();
    void OnBnClickedBtProxy();
    void OnBnClickedOpenLogDir();

    // The controls in the template's order.
    QComboBox* m_revocationFlag;
    QComboBox* m_revocationMode;
    QLineEdit* m_urlTimeout;
    QListWidget* m_verifyFlags;
    QCheckBox* m_containerCheck;
    QCheckBox* m_tokenAsCsp;
    QCheckBox* m_containerCerts;
    QCheckBox* m_findInMy;
    QCheckBox* m_replaceInContainer;
    QCheckBox* m_startCheck;
    QComboBox* m_logLevel;
    QLineEdit* m_logFolder;

private:
    // Makes the widget of each control, named by its identifier, and lays them out.
    void DoDataExchange();
    // The main window this dialog edits; raises the library's internal error when the parent is
    // something else.
    CKestrovanDlg& mainDlg() const;
    bool m_initialized;
};
