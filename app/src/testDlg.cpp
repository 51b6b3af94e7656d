// The crypto-system test dialog and its run: the controls of both modes, start and abort, the test
// thread with its frame (rows in order, progress, timing, abort between rows), the marks, the tool
// tips and the credential prompts the rows use.
#include "testDlg.h"

#include <vsk/pki/PkiHelpers.h>
#include <vsk/platform/gui.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/system.h>

#include <QCloseEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QToolTip>

#include <cstring>

using Vsk::InternalUtils::CLogScope;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CKeyContainer;
using Vsk::Utils::CError;
using Vsk::Utils::CStopwatch;
using Vsk::Utils::CWString;

namespace {

const QString TestCaption = QStringLiteral(u"Тестирование криптосистемы");

inline int dluX(int x) {
    return static_cast<int>(x * 1.5 + 0.5);
}
inline int dluY(int y) {
    return static_cast<int>(y * 1.625 + 0.5);
}

QIcon iconOf(int id) {
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(id));
    return icon ? *reinterpret_cast<QIcon*>(icon) : QIcon();
}

QString idName(int id) {
    return QStringLiteral("id_%1").arg(id);
}

// "Внутренняя ошибка (ZERO). <file>:<line>.": the window's text for a state its callers never make.
CError internalError(const char* file, int line) {
    return Vsk::Utils::LocatedError(u"Внутренняя ошибка (ZERO). ", file, line);
}

const char16_t* const LabelTexts[12] = {
    u"1. Корневые сертификаты УЦ ООО «Зорнавелиста»",
    u"2. OID-ы УЦ ООО «Зорнавелиста»",
    u"3. Наличие установленных криптопровайдеров",
    u"4. Проверка личного сертификата",
    u"5. Генерация данных для дальнейшего тестирования",
    u"6. Шифрование данных",
    u"7. Расшифрование данных",
    u"8. Формирование отсоединенной электронной подписи",
    u"9. Проверка отсоединенной электронной подписи",
    u"10. Формирование присоединенной электронной подписи",
    u"11. Проверка присоединенной электронной подписи",
    u"12. Создание ключевого контейнера и генерация ключей",
};
const int LabelWidths[12] = {189, 131, 200, 140, 217, 99, 110, 212, 200, 219, 202, 220};

// A container object of its own for the run, opened afresh by name: the window's object keeps what it
// once found in the personal store, and a run after the certificate's installation must look again.
// A token's key pair, and a container that cannot be opened afresh, are taken as they are.
CKeyContainer freshContainer(const CKeyContainer& shown, bool machine) {
    Vsk::PKI::CSPInfo* provider = shown.get_CSPInfo();
    if (!provider || provider->isToken()) return shown;
    try {
        CKeyContainer fresh(true);
        const CWString unique = shown.get_UniqueName();
        fresh.Initialize(shown.get_Name(), unique.getLength() ? &unique : nullptr, provider, machine);
        if (shown.hasKeysetPassword()) fresh.put_KeysetPassword(*shown.get_KeysetPassword());
        return fresh;
    } catch (...) {
        return shown;
    }
}

}  // namespace

bool isCredentialError(const CError& error) {
    return Vsk::PKI::isPinError(static_cast<DWORD>(error.getCode())) ||
           Vsk::PKI::isPinError(error.getErrorNumber());
}

bool iconToBitmap(const QWidget* context, const QIcon& icon, QPixmap& bitmap, int width, int height) {
    bitmap = QPixmap(width, height);
    bitmap.fill(context ? context->palette().color(QPalette::Button) : QColor(Qt::lightGray));
    QPainter painter(&bitmap);
    icon.paint(&painter, 0, 0, width, height);
    return true;
}

CTest::CTest(QWidget* parent, bool keyContainerMode)
    : QDialog(parent), m_keyContainerMode(keyContainerMode), m_mainDlg(qobject_cast<CKestrovanDlg*>(parent)) {
    setObjectName(QStringLiteral("dlg_108"));
    setWindowTitle(TestCaption);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(dluX(293), dluY(235));
    for (int k = 0; k < 12; ++k) {
        auto* mark = new QLabel(this);
        mark->setObjectName(idName(IDC_TEST_MARK_FIRST + k));
        mark->setGeometry(dluX(10), dluY(10 + 15 * k), dluX(15), dluY(13));
        mark->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        m_marks[static_cast<size_t>(k)] = mark;
        auto* label = new QLabel(QString::fromUtf16(LabelTexts[k]), this);
        label->setObjectName(idName(IDC_TEST_LABEL_FIRST + k));
        // Wide enough for the bold font of the current step.
        label->setGeometry(dluX(26), dluY(10 + 15 * k), dluX(LabelWidths[k] + 30), dluY(10));
        label->setMouseTracking(true);
        mark->setMouseTracking(true);
        m_labels[static_cast<size_t>(k)] = label;
    }
    auto makeButton = [this](int id, const QString& text, int x, int y, int w, int h) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(idName(id));
        b->setGeometry(dluX(x), dluY(y), dluX(w), dluY(h));
        b->setAutoDefault(false);
        return b;
    };
    const QString fix = QStringLiteral(u"Исправить");
    m_fixRoots = makeButton(IDC_TEST_FIX_ROOTS, fix, 221, 8, 51, 12);
    m_fixOids = makeButton(IDC_TEST_FIX_OIDS, fix, 221, 23, 51, 12);
    m_fixCert = makeButton(IDC_TEST_FIX_CERT, fix, 221, 53, 51, 12);
    for (QPushButton* b : {m_fixRoots, m_fixOids, m_fixCert}) {
        b->hide();
        b->setEnabled(false);
    }
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(idName(IDC_TEST_PROGRESS));
    m_progress->setGeometry(dluX(23), dluY(195), dluX(248), dluY(10));
    m_progress->setTextVisible(false);
    m_start = makeButton(IDOK, QStringLiteral(u"Пуск"), 7, 214, 50, 14);
    m_start->setDefault(true);
    m_reportButton = makeButton(IDC_TEST_REPORT, QStringLiteral(u"Отчет"), 73, 214, 50, 14);
    m_reportButton->setEnabled(false);
    m_close = makeButton(IDCANCEL, QStringLiteral(u"Закрыть"), 236, 214, 50, 14);
    connect(m_start, &QPushButton::clicked, this, [this] { OnBnClickedStart(); });
    connect(m_reportButton, &QPushButton::clicked, this, [this] { OnBnClickedBtReport(); });
    connect(m_close, &QPushButton::clicked, this, [this] { OnBnClickedClose(); });
    connect(m_fixRoots, &QPushButton::clicked, this, [this] { OnBnClickedBtRootCerts(); });
    connect(m_fixOids, &QPushButton::clicked, this, [this] { OnBnClickedBtOidsVoskel(); });
    connect(m_fixCert, &QPushButton::clicked, this, [this] { OnBnClickedBtCsp(); });
    setMouseTracking(true);
}

CTest::~CTest() {
    // A run still under way (the window is going away) is asked to stop and waited for: it reaches
    // this dialog until its last action.
    if (isRunning()) {
        m_abort = true;
        while (isRunning()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

void CTest::showEvent(QShowEvent* event) {
    if (!m_initialized) OnInitDialog();
    QDialog::showEvent(event);
}

BOOL CTest::OnInitDialog() {
    CLogScope scope("CTest::OnInitDialog", 3);
    m_initialized = true;
    try {
        setWindowIcon(iconOf(172));
        m_boldFont = font();
        m_boldFont.setWeight(QFont::Bold);
        iconToBitmap(this, iconOf(173), m_passedMark, 16, 16);
        iconToBitmap(this, iconOf(174), m_failedMark, 16, 16);
        for (size_t k = 0; k < 12; ++k)
            m_hotRects[k] = m_marks[k]->geometry().united(m_labels[k]->geometry());
        if (m_keyContainerMode) {
            for (int step = 1; step <= 3; ++step) label(step)->setEnabled(false);
            label(12)->hide();
            if (m_mainDlg && m_mainDlg->isKeyContNodeSelected()) {
                if (auto* container = static_cast<CKeyContainer*>(m_mainDlg->getSelectedItemData()))
                    setWindowTitle(QStringLiteral(u"Тест ключевого контейнера \"") +
                                   toQ(container->get_Name()) + u'"');
            }
        }
    } catch (const CError& error) {
        MessageBoxW(this, error.getText().c_str(), u"Создание диалога", MB_ICONERROR);
    } catch (...) {
        MessageBoxW(this, u"...", u"Создание диалога", MB_ICONERROR);
    }
    return TRUE;
}

QPushButton* CTest::button(int id) const {
    return findChild<QPushButton*>(idName(id));
}

int CTest::markState(int step) const {
    const QPixmap shown = mark(step)->pixmap();
    if (shown.isNull()) return -1;
    return shown.cacheKey() == m_passedMark.cacheKey() ? 1 : 0;
}

void CTest::onGui(const std::function<void()>& call) {
    if (QThread::currentThread() == thread())
        call();
    else
        QMetaObject::invokeMethod(this, call, Qt::BlockingQueuedConnection);
}

// ---- Result texts (the tool tip reads them during a run)

QString CTest::resultText(int step) const {
    std::lock_guard guard(m_resultLock);
    return m_resultTexts[static_cast<size_t>(step - 1)];
}

void CTest::setResultText(int step, const QString& text) {
    std::lock_guard guard(m_resultLock);
    m_resultTexts[static_cast<size_t>(step - 1)] = text;
}

void CTest::appendResultError(int step, const QString& error) {
    std::lock_guard guard(m_resultLock);
    QString& text = m_resultTexts[static_cast<size_t>(step - 1)];
    if (!text.isEmpty()) text += QStringLiteral("\r\n");
    text += error;
}

// ---- Handlers

void CTest::OnBnClickedStart() {
    if (!isRunning()) {
        m_start->setText(QStringLiteral(u"Отмена"));
        for (QPushButton* b : {m_close, m_reportButton, m_fixRoots, m_fixOids, m_fixCert})
            b->setEnabled(false);
        for (QPushButton* b : {m_fixRoots, m_fixOids, m_fixCert}) b->hide();
        for (QLabel* m : m_marks) m->setPixmap(QPixmap());
        m_abort = false;
        // What the run needs of the main window, copied under its lock now: a token refresh during
        // the run empties the window's lists, not these counted copies.
        m_container = CKeyContainer();
        m_certificate = CCertificate();
        m_cspCache = Vsk::Utils::CArray<Vsk::PKI::CCsp>();
        if (m_mainDlg) {
            Vsk::Utils::CLock lock(&m_mainDlg->m_shared->lock);
            m_location = m_mainDlg->getStoreLocationFlags();
            m_computer = m_mainDlg->isComputerLocation();
            m_cspCache = m_mainDlg->m_cspCache;
            m_verifySettings = m_mainDlg->m_verifySettings;
            m_testDataMin = m_mainDlg->m_testDataMin;
            m_testDataMax = m_mainDlg->m_testDataMax;
            if (m_mainDlg->isKeyContNodeSelected()) {
                if (auto* container = static_cast<CKeyContainer*>(m_mainDlg->getSelectedItemData())) {
                    m_container = freshContainer(*container, m_computer);
                    if (const CCertificate* stored = m_container.getCertificate()) m_certificate = *stored;
                }
            }
        }
        HANDLE thread = CreateThread(nullptr, 0, &CTest::threadProc, this, 0, nullptr);
        if (!thread) {
            const CError error(GetLastError());
            MessageBoxW(this, error.getText().c_str(), TestCaption.toStdU16String().c_str(), MB_ICONERROR);
            m_start->setText(QStringLiteral(u"Пуск"));
            for (QPushButton* b : {m_close, m_reportButton, m_fixRoots, m_fixOids, m_fixCert})
                b->setEnabled(true);
            return;
        }
        // The run reaches the GUI thread only through onGui(), so it cannot finish before this
        // handler has stored its handle.
        m_thread = thread;
        return;
    }
    if (m_abort) return;
    if (MessageBoxW(this, u"Прервать тестирование?", TestCaption.toStdU16String().c_str(),
                    MB_YESNO | MB_ICONQUESTION) == IDYES)
        m_abort = true;
}

void CTest::OnBnClickedClose() {
    if (isRunning())
        OnBnClickedStart();
    else
        QDialog::reject();
}

void CTest::reject() {
    OnBnClickedClose();
}

void CTest::closeEvent(QCloseEvent* event) {
    if (isRunning()) {
        event->ignore();
        OnBnClickedStart();
        return;
    }
    QDialog::closeEvent(event);
}

bool CTest::event(QEvent* event) {
    if (event->type() == QEvent::MouseMove) {
        OnMouseMove(static_cast<QMouseEvent*>(event)->position().toPoint());
    } else if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        OnMouseMove(help->pos());
        if (m_toolTip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(),
                               m_toolTip.toHtmlEscaped().replace(u'\n', QStringLiteral("<br>")), this);
        return true;
    }
    return QDialog::event(event);
}

void CTest::OnMouseMove(const QPoint& point) {
    int step = 0;
    for (size_t k = 0; k < m_hotRects.size(); ++k) {
        if (m_hotRects[k].contains(point)) {
            step = static_cast<int>(k) + 1;
            break;
        }
    }
    if (!step) {
        m_toolTip.clear();
        return;
    }
    const QString text = resultText(step);
    if (m_toolTip != text) m_toolTip = text;
}

void CTest::OnBnClickedBtReport() {
    CHtmlViewDlg viewer(buildReport(), QStringLiteral(u"Отчет тестирования криптосистемы"), this);
    viewer.exec();
}

// ---- The run

DWORD CTest::threadProc(LPVOID parameter) {
    static_cast<CTest*>(parameter)->run();
    return 0;
}

void CTest::markCurrentStep(int labelId) {
    onGui([&] {
        if (m_currentLabel) m_currentLabel->setFont(font());
        m_currentLabel = nullptr;
        if (labelId) {
            m_currentLabel = findChild<QLabel*>(idName(labelId));
            if (m_currentLabel) m_currentLabel->setFont(m_boldFont);
        }
    });
}

void CTest::setStepMark(int markId, bool passed) {
    onGui([&] {
        if (auto* m = findChild<QLabel*>(idName(markId))) m->setPixmap(passed ? m_passedMark : m_failedMark);
    });
}

void CTest::showRepairButton(int id) {
    onGui([&] {
        if (QPushButton* b = button(id)) b->show();
    });
}

bool CTest::afterRow() {
    onGui([&] { m_progress->setValue(m_progress->value() + 1); });
    if (!m_abort) return false;
    finishRun();
    return true;
}

void CTest::runStep(int step, const QString& rowHeader, const std::function<bool(QString& result)>& work,
                    const QString& cell) {
    markCurrentStep(IDC_TEST_LABEL_FIRST - 1 + step);
    m_report += rowHeader;
    // A header without its closing "<td>" leaves the name cell open for the step's algorithm line.
    m_nameCellOpen = !rowHeader.endsWith(QStringLiteral("<td>"));
    CStopwatch stopwatch(CStopwatch::ThreadCpu);
    stopwatch.start();
    m_stepWatch = &stopwatch;
    bool passed = false;
    QString result;
    try {
        passed = work(result);
        setResultText(step, result);
    } catch (const CError& error) {
        setResultText(step, result);
        appendResultError(step, toQ(error.getText()));
        passed = false;
    } catch (...) {
        setResultText(step, result);
        appendResultError(step, QStringLiteral(u"Неопознанная ошибка"));
        passed = false;
    }
    m_stepWatch = nullptr;
    // The name cell is closed in every case, also when the algorithm line was never written.
    if (m_nameCellOpen) m_report += QStringLiteral("<td>");
    m_nameCellOpen = false;
    m_report += (cell.isNull() ? htmlEscape(resultText(step)) : cell) + QStringLiteral("<td>") +
                toQ(stopwatch.text());
    setStepMark(IDC_TEST_MARK_FIRST - 1 + step, passed);
}

void CTest::logStep(int step) {
    if (Vsk::InternalUtils::GetLogLevel() >= 3) {
        if (auto* log = Vsk::InternalUtils::GetLog())
            log->write(CWString(u"CTest::run ") + Vsk::Utils::ToWString(step) + u" test");
    }
}

void CTest::run() {
    try {
        if (!m_mainDlg) throw internalError(__FILE__, __LINE__);
        SYSTEMTIME now{};
        GetLocalTime(&now);
        QString object = QStringLiteral(u"криптосистемы");
        if (m_keyContainerMode && !m_container.isNull())
            object =
                QStringLiteral(u"ключевого контейнера \"") + htmlEscape(toQ(m_container.get_Name())) + u'"';
        startReport(now, object);
        onGui([&] {
            m_progress->show();
            m_progress->setRange(0, m_keyContainerMode ? 7 : 12);
            m_progress->setValue(0);
            QApplication::setOverrideCursor(Qt::WaitCursor);
            m_waitCursor = true;
        });
        m_placeholder = toQ(Vsk::Utils::CreateGuid());
        CStopwatch stopwatch(CStopwatch::ThreadCpu);
        for (int step = 1; step <= 12; ++step) setResultText(step, QString());

        Vsk::PKI::CSPInfoArray providers;
        if (!m_keyContainerMode) {
            checkComputer(stopwatch);
            if (afterRow()) return;
            runStep(
                1, QStringLiteral(u"<tr><td>1<td>Корневые сертификаты УЦ ООО «Зорнавелиста»<td>"),
                [this](QString& r) { return checkRootCerts(r); }, m_placeholder + u'1');
            if (afterRow()) return;
            runStep(
                2, QStringLiteral(u"<tr><td>2<td>OID-ы УЦ ООО «Зорнавелиста»<td>"),
                [this](QString& r) { return checkOIDs(r); }, m_placeholder + u'2');
            if (afterRow()) return;
            QString result;
            if (!checkCspAndKeyContAvailability(result, providers)) {
                // Aborted between containers: the row stays without duration and mark.
                finishRun();
                return;
            }
            if (afterRow()) return;
        }
        {
            QString result;
            checkMyCertAndKeyContPresence(result, m_certificate.isNull() ? nullptr : &m_certificate,
                                          m_container.isNull() ? nullptr : &m_container);
        }
        if (afterRow()) return;

        if (!runDataSteps(providers)) return;
        finishRun();
    } catch (const CError& error) {
        onGui([&] {
            MessageBoxW(this, error.getText().c_str(), TestCaption.toStdU16String().c_str(), MB_ICONERROR);
        });
        finishRun();
    } catch (...) {
        onGui([&] { MessageBoxW(this, u"...", TestCaption.toStdU16String().c_str(), MB_ICONERROR); });
        finishRun();
    }
}

void CTest::finishRun() {
    m_report +=
        m_abort
            ? QStringLiteral(u"</table><br>Тестирование криптосистемы прервано пользователем.</body></html>")
            : QStringLiteral("</table></body></html>");
    markCurrentStep(0);
    onGui([&] {
        m_progress->hide();
        m_start->setText(QStringLiteral(u"Пуск"));
        for (QPushButton* b : {m_close, m_reportButton, m_fixRoots, m_fixOids, m_fixCert})
            b->setEnabled(true);
        if (m_waitCursor) QApplication::restoreOverrideCursor();
        m_waitCursor = false;
        // The run's last action on the dialog: after this the dialog may go away.
        HANDLE thread = m_thread.exchange(nullptr);
        if (thread) CloseHandle(thread);
    });
}

// ---- Credential prompts

bool CTest::askContainerPassword(const CError& error, CKeyContainer& container,
                                 const CCertificate* certificate, CStopwatch& stopwatch) {
    if (!isCredentialError(error)) return false;
    CWString prompt = CWString(u"Введите пароль на ключевой контейнер \"") + container.get_Name() + u"\"";
    if (certificate)
        prompt += CWString(u", соответствующий сертификату \"") + certificate->get_SubjectName() + u"\"";
    stopwatch.update();
    bool ok = false;
    // The password leaves the dialog protected (the dialog wipes its own text when it goes).
    Vsk::PKI::CPassword entered;
    onGui([&] {
        CPasswordDlg dialog(prompt, CWString(u"Кестрован"), this);
        if (dialog.exec() == IDOK) {
            entered.putPassword(dialog.m_password);
            ok = true;
        }
    });
    stopwatch.restamp();
    if (!ok) return false;
    // Given to the container here, on the test thread: a password the provider refuses at once raises
    // its error into the step, never through the dialog's event loop.
    container.put_KeysetPassword(entered);
    return true;
}

// ---- Main window commands

void CKestrovanDlg::OnTest() {
    CLogScope scope("CKestrovanDlg::OnTest", 3);
    const QString caption = QStringLiteral(u"Тестирование криптосистемы, выбранного ключевого контейнера");
    try {
        CTest dialog(this, false);
        dialog.exec();
    } catch (const CError& error) {
        showError(error, caption);
    } catch (...) {
        messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
    }
}

void CKestrovanDlg::OnTestKeyCont() {
    CLogScope scope("CKestrovanDlg::OnTestKeyCont", 3);
    const QString caption = QStringLiteral(u"Тестирование ключевого контейнера");
    try {
        CTest dialog(this, true);
        dialog.exec();
    } catch (const CError& error) {
        showError(error, caption);
    } catch (...) {
        messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
    }
}
