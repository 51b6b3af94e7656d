// The crypto-system test: the dialog with its numbered rows, marks and repair buttons, the run on a
// thread of its own, the HTML report and its viewer.
//
// Threads. The run works on the test thread and never touches a widget: every change of a control,
// every message box and credential prompt goes to the GUI thread through onGui() (a blocking call).
// What the run needs of the main window (its location, the selected key container and the provider
// cache) is copied on the GUI thread under the window's lock when the run starts, so a token refresh
// that empties the window's lists meanwhile does not pull them from under the run. The result texts
// are read by the tool tip while the run writes them: they are guarded by a mutex of their own.
#pragma once

#include "kestrovanDlg.h"

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/Csp.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/Settings.h>
#include <vsk/utils/logScope.h>

#include <QDialog>
#include <QPixmap>
#include <QPointer>
#include <QString>

#include <array>
#include <atomic>
#include <functional>
#include <mutex>

class QLabel;
class QProgressBar;
class QPushButton;
class QTextBrowser;

// Control identifiers of the test dialog (also the widgets' object names "id_<id>").
constexpr int IDC_TEST_PROGRESS = 1006;
constexpr int IDC_TEST_LABEL_FIRST = 1021;  // label of step k: 1020 + k
constexpr int IDC_TEST_MARK_FIRST = 1033;   // mark of step k: 1032 + k
constexpr int IDC_TEST_REPORT = 32790;
constexpr int IDC_TEST_FIX_ROOTS = 32772;
constexpr int IDC_TEST_FIX_OIDS = 32782;
constexpr int IDC_TEST_FIX_CERT = 32784;

// Draws `icon` at width x height over the button-face colour into `bitmap`.
bool iconToBitmap(const QWidget* context, const QIcon& icon, QPixmap& bitmap, int width, int height);

// A byte count in decimal with its digits grouped in threes by "'": 10485760 gives 10'485'760.
QString formatByteCount(uint64_t count);

// The size in bytes of the test data for a draw of 0 to 32767 within the range in KiB (the window's
// 1024 to 10240: 1 MiB to 10 MiB), truncated; a token's data at most 10240 bytes.
uint64_t testDataSize(int draw, int32_t minKiB, int32_t maxKiB, bool token);

// Whether a signature's verification status says the signature itself is bad (invalid, no signer
// certificate), with or without a time-stamp verdict added; chain statuses do not count here.
bool isBadSignatureStatus(DWORD status);

// Whether an error means that a password or PIN is needed: the provider's or token's code says so (a
// library error carries its own step number besides the code).
bool isCredentialError(const Vsk::Utils::CError& error);

// HTML text of a datum: &, <, > and " as entities, so that names and error texts show literally; the
// apostrophe stays (the report's texts use it as a digit separator and no datum goes into an attribute).
QString htmlEscape(const QString& text);

class CTest : public QDialog {
    Q_OBJECT

public:
    CTest(QWidget* parent, bool keyContainerMode);
    ~CTest() override;
    BOOL OnInitDialog();

    // ---- Handlers
    void OnBnClickedStart();
    void OnBnClickedClose();
    void OnBnClickedBtReport();
    void OnBnClickedBtRootCerts();
    void OnBnClickedBtOidsVoskel();
    void OnBnClickedBtCsp();

    // ---- The run (test thread)
    static DWORD threadProc(LPVOID parameter);
    void run();
    void finishRun();
    void markCurrentStep(int labelId);
    void setStepMark(int markId, bool passed);
    // Asks for the container's password when `error` is a PIN error; true: repeat the operation.
    bool askContainerPassword(const Vsk::Utils::CError& error, Vsk::PKI::CKeyContainer& container,
                              const Vsk::PKI::CCertificate* certificate, Vsk::Utils::CStopwatch& stopwatch);

    // ---- Rows on the system
    void checkComputer(Vsk::Utils::CStopwatch& stopwatch);
    bool checkRootCerts(QString& result);
    bool checkOIDs(QString& result);
    // The whole step 3; false when the user aborted between two containers.
    bool checkCspAndKeyContAvailability(QString& result, Vsk::PKI::CSPInfoArray& providers);
    // The whole step 4.
    void checkMyCertAndKeyContPresence(QString& result, const Vsk::PKI::CCertificate* certificate,
                                       Vsk::PKI::CKeyContainer* container);

    // ---- Rows on data and keys (each the work of one step; true when it passed)
    bool createTestData(QString& result);
    bool encryptTestData(QString& result);
    bool decryptTestData(QString& result);
    bool signDetached(QString& result);
    bool verifyDetached(QString& result);
    bool signAttached(QString& result);
    bool verifyAttached(QString& result);
    bool createTempKeyContainer(QString& result, const Vsk::PKI::CSPInfoArray& providers);
    // The PIN prompt of a token: true when the user logged in and the operation is to be repeated.
    bool askTokenPin(const Vsk::Utils::CError& error);

    // ---- The report
    QString buildReport() const;
    void startReport(const SYSTEMTIME& time, const QString& object);

    // ---- State a test reads
    QString resultText(int step) const;  // step 1 to 12
    void setResultText(int step, const QString& text);
    void appendResultError(int step, const QString& error);
    bool isRunning() const { return m_thread.load() != nullptr; }
    const QString& report() const { return m_report; }
    QString toolTipText() const { return m_toolTip; }
    // The result text the tool tip shows at a point of the dialog (the OnMouseMove logic).
    void OnMouseMove(const QPoint& point);
    QPushButton* button(int id) const;
    QLabel* mark(int step) const { return m_marks[static_cast<size_t>(step - 1)]; }
    QLabel* label(int step) const { return m_labels[static_cast<size_t>(step - 1)]; }
    QProgressBar* progressBar() const { return m_progress; }
    // The signed message of the last signing step (steps 8 and 10), as steps 9 and 11 read it.
    Vsk::Utils::CDataBlob& signatureBlob() { return m_signature; }
    // Which mark a control shows: 1 passed, 0 failed, -1 none.
    int markState(int step) const;

    // A blocking call on the GUI thread (a direct call there).
    void onGui(const std::function<void()>& call);

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // One numbered step in the frame: bold label, row header, stopwatch, work, result cell, duration,
    // mark. `work` sets the result text and answers passed; errors end in the result text. The result
    // cell is the escaped result text, or `cell` when given (the report placeholder of steps 1 and 2).
    void runStep(int step, const QString& rowHeader, const std::function<bool(QString& result)>& work,
                 const QString& cell = QString());
    // After a row: the progress bar advances; true when the run must stop (abort requested).
    bool afterRow();
    // Steps 5 to 12 with their log line; false when the run must stop (abort requested).
    bool runDataSteps(const Vsk::PKI::CSPInfoArray& providers);
    void logStep(int step);
    void showRepairButton(int id);

    bool m_keyContainerMode;
    QProgressBar* m_progress = nullptr;
    std::atomic<bool> m_abort{false};
    std::atomic<HANDLE> m_thread{nullptr};
    QFont m_boldFont;
    QLabel* m_currentLabel = nullptr;
    QPixmap m_passedMark;
    QPixmap m_failedMark;
    QPointer<CKestrovanDlg> m_mainDlg;
    std::array<QRect, 12> m_hotRects{};
    std::array<QString, 12> m_resultTexts;
    mutable std::mutex m_resultLock;
    QString m_placeholder;
    QString m_report;
    QString m_toolTip;
    bool m_initialized = false;
    bool m_waitCursor = false;

    std::array<QLabel*, 12> m_marks{};
    std::array<QLabel*, 12> m_labels{};
    QPushButton* m_start = nullptr;
    QPushButton* m_reportButton = nullptr;
    QPushButton* m_close = nullptr;
    QPushButton* m_fixRoots = nullptr;
    QPushButton* m_fixOids = nullptr;
    QPushButton* m_fixCert = nullptr;

    // What the run took from the main window when it started.
    DWORD m_location = STORE_LOCATION_USER;
    bool m_computer = false;
    Vsk::PKI::CKeyContainer m_container;
    Vsk::PKI::CCertificate m_certificate;
    Vsk::Utils::CArray<Vsk::PKI::CCsp> m_cspCache;
    Vsk::PKI::CCertVerifySettings m_verifySettings;
    int32_t m_testDataMin = 1024;  // KiB
    int32_t m_testDataMax = 10240;

    // What the steps on data and keys share during a run.
    Vsk::Utils::CStopwatch* m_stepWatch = nullptr;  // the stopwatch of the step under way
    bool m_nameCellOpen = false;                    // the step's name cell awaits its algorithm line
    QString m_providerName;
    Vsk::PKI::CSPInfo* m_provider = nullptr;  // K's provider description, or none
    Vsk::Utils::CDataBlob m_data;
    Vsk::Utils::CDataBlob m_encrypted;
    Vsk::Utils::CDataBlob m_signature;
    Vsk::PKI::CSignSettings m_signSettings{static_cast<const Vsk::PKI::CSignSettings*>(nullptr)};
};

// The report viewer: the HTML shown in a text browser, saved as UTF-16LE ".htm" with the byte-order
// mark, printed through the print dialog.
class CHtmlViewDlg : public QDialog {
public:
    CHtmlViewDlg(const QString& html, const QString& title, QWidget* parent);
    BOOL OnInitDialog();
    void layoutControls(int width, int height);
    void OnBnClickedBtnSave();
    void OnBnClickedBtnPrint();
    QTextBrowser* view() const { return m_view; }

    // Tests: prints to this PDF file instead of asking with the print dialog.
    static void SetPdfOutputForTests(const QString& path);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QString m_html;
    QString m_title;
    QTextBrowser* m_view = nullptr;
    QPushButton* m_save = nullptr;
    QPushButton* m_print = nullptr;
    QPushButton* m_close = nullptr;
    bool m_initialized = false;
};
