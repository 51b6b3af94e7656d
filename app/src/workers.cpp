// The window's workers: the initialisation thread, the certificate-status thread, the cancel set,
// the message-pumping stop, and the progress bar as the library's progress interface.
#include "kestrovanDlg.h"

#include <vsk/pki/TokenAsCsp.h>
#include <vsk/platform/file.h>
#include <vsk/platform/wait.h>
#include <vsk/platform/windowMessages.h>
#include <vsk/utils/file.h>
#include <vsk/utils/gui.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <QApplication>
#include <QKeyEvent>
#include <QProgressBar>

using Vsk::InternalUtils::CLogScope;
using Vsk::InternalUtils::GetLog;
using Vsk::InternalUtils::GetLogLevel;

namespace {

// How long the window waits for a worker it asked to stop; the worker goes on alone afterwards.
constexpr DWORD WorkerStopWaitMs = 10000;
// The leftover program file of a self-update is deleted at start; a running old copy may hold it for
// a moment: so many tries, 10 ms apart (about 3 seconds).
constexpr int OldFileDeleteTries = 300;
// The first ten steps of an operation last this long together, so the bar is seen.
constexpr uint64_t MinVisibleProgressMs = 300;

uint64_t nowFileTime() {
    FILETIME now{};
    Vsk::Utils::GetSystemFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void logWin32(const char* caller, const char* call, DWORD error) {
    if (GetLogLevel() < 1) return;
    Vsk::Utils::CWString text(caller, strlen(caller), 1251);
    text += u" ";
    text += Vsk::Utils::CWString(call, strlen(call), 1251);
    GetLog()->writeWin32Error(text, error);
}

}  // namespace

// ---- The job of a worker --------------------------------------------------------------------------------

bool CWorkerJob::isThreadRegistered() const {
    Vsk::Utils::CLock lock(&shared->lock);
    return shared->cancelSet.erase(GetCurrentThreadId()) != 0;
}

bool CWorkerJob::runOnDlg(const std::function<void(CKestrovanDlg&)>& call) const {
    bool ran = false;
    RunOnGuiThread([&] {
        if (CKestrovanDlg* window = dlg.data()) {
            call(*window);
            ran = true;
        }
    });
    return ran;
}

// ---- Cancel set and stopping ------------------------------------------------------------------------

bool CKestrovanDlg::isThreadRegistered() {
    Vsk::Utils::CLock lock(&m_shared->lock);
    return m_shared->cancelSet.erase(GetCurrentThreadId()) != 0;
}

void CKestrovanDlg::cancelWorkers() {
    // Only a worker that still runs is asked: a finished one never takes its identifier out again,
    // and the system may give that identifier to a later thread.
    const auto running = [](HANDLE handle) {
        return handle && WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
    };
    Vsk::Utils::CLock lock(&m_shared->lock);
    if (m_initThreadId && running(m_initThread)) m_shared->cancelSet.insert(m_initThreadId);
    if (m_statusThreadId && running(m_statusThread)) m_shared->cancelSet.insert(m_statusThreadId);
}

bool CKestrovanDlg::stopThread(HANDLE& handle, DWORD& threadId, const char* caller) {
    if (!handle) return true;
    {
        Vsk::Utils::CLock lock(&m_shared->lock);
        m_shared->cancelSet.insert(threadId);
    }
    // The worker's calls to the window are served while we wait.
    Vsk::InternalUtils::MsgWaitForObjects(1, &handle, false, WorkerStopWaitMs);
    // A worker that ended before it looked at the set left its identifier there.
    const bool ended = WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
    if (ended) {
        Vsk::Utils::CLock lock(&m_shared->lock);
        m_shared->cancelSet.erase(threadId);
    }
    if (!CloseHandle(handle)) {
        const DWORD error = GetLastError();
        if (error) logWin32(caller, "close thread handle", error);
    }
    handle = nullptr;
    threadId = 0;
    return ended;
}

void CKestrovanDlg::clearCertList() {
    const bool ended = stopThread(m_statusThread, m_statusThreadId, "CKestrovanDlg::clearCertList");
    // A worker that outlived its wait keeps the old list; the window takes a new one. That worker
    // may still write into the status cache, so the window also takes a new, empty cache.
    Vsk::Utils::CLock lock(&m_shared->lock);
    m_certList = std::make_shared<CCertList>();
    if (!ended) m_statusCache = std::make_shared<CStatusCache>();
}

void CKestrovanDlg::OnDestroy() {
    if (m_destroyed) return;
    m_destroyed = true;
    clearCertList();
    stopThread(m_initThread, m_initThreadId, "CKestrovanDlg::OnDestroy");
    Vsk::PKI::delWndOnTokenRefresh(this);
}

void CKestrovanDlg::OnShowProgress(int show) {
    if (show == 0 || show == 5) m_progress->setVisible(show == 5);
}

// ---- The initialisation thread ------------------------------------------------------------------------

namespace {

// A worker that ends, however it ends, takes its identifier out of the cancel set: a worker that
// outlived the window's wait and stopped on its own would otherwise leave it there, and a later
// thread given the same identifier would be stopped at once.
class CLeaveCancelSet {
public:
    explicit CLeaveCancelSet(const CWorkerJob* job) : m_job(job) {}
    ~CLeaveCancelSet() {
        if (!m_job || !m_job->shared) return;
        Vsk::Utils::CLock lock(&m_job->shared->lock);
        m_job->shared->cancelSet.erase(GetCurrentThreadId());
    }
    CLeaveCancelSet(const CLeaveCancelSet&) = delete;
    CLeaveCancelSet& operator=(const CLeaveCancelSet&) = delete;

private:
    const CWorkerJob* m_job;
};

}  // namespace

DWORD CKestrovanDlg::initThreadProc(LPVOID parameter) {
    std::unique_ptr<CWorkerJob> job(static_cast<CWorkerJob*>(parameter));
    const CLeaveCancelSet leave(job.get());
    if (job) {
        try {
            init(*job);
        } catch (...) {
            // Every step reports its own failures; nothing may leave the thread.
        }
    }
    return 0;
}

void CKestrovanDlg::init(CWorkerJob& job) {
    CLogScope scope("CKestrovanDlg::init", 4);

    // What a self-update left behind.
    const Vsk::Utils::CWString old = GetProgramPath() + u".old";
    if (GetFileAttributesW(old.c_str()) != INVALID_FILE_ATTRIBUTES) {
        for (int attempt = 0; attempt < OldFileDeleteTries; ++attempt) {
            if (DeleteFileW(old.c_str())) break;
            Sleep(10);
        }
    }

    // The update check runs beside the rest of the start; nobody waits for it.
    auto* updateJob = new CWorkerJob;
    updateJob->dlg = job.dlg;
    updateJob->shared = job.shared;
    HANDLE update = CreateThread(nullptr, 0, &UpdateProc, updateJob, 0, nullptr);
    if (!update) {
        const DWORD error = GetLastError();
        delete updateJob;
        logWin32("CKestrovanDlg::init", "CreateThread", error);
    } else if (!job.runOnDlg([&](CKestrovanDlg& dlg) { dlg.m_updateThread = update; })) {
        CloseHandle(update);
    }
    installCaCerts(job);

    loadCspList(nullptr, job);

    if (!(job.options & OPTION_NO_START_CHECK)) checkPersonalCerts(job);
}

// ---- The certificate-status thread --------------------------------------------------------------------

DWORD CKestrovanDlg::verifyCertsThreadProc(LPVOID parameter) {
    std::unique_ptr<CWorkerJob> job(static_cast<CWorkerJob*>(parameter));
    const CLeaveCancelSet leave(job.get());
    if (!job) return 0xFFFFFFFF;
    try {
        return verifyCerts(*job);
    } catch (...) {
        return 0xFFFFFFFF;
    }
}

void CKestrovanDlg::startStatusThread() {
    auto* job = new CWorkerJob;
    job->dlg = this;
    job->shared = m_shared;
    job->certs = m_certList;
    job->statusCache = m_statusCache;
    job->verifySettings = m_verifySettings;
    job->containerPresenceCheck = m_containerPresenceCheck;
    job->options = m_options;
    job->location = getStoreLocationFlags();
    m_statusThread =
        CreateThread(nullptr, 0, &CKestrovanDlg::verifyCertsThreadProc, job, 0, &m_statusThreadId);
    if (!m_statusThread) {
        const DWORD error = GetLastError();
        delete job;
        m_statusThreadId = 0;
        logWin32("CKestrovanDlg::FillCerts", "CreateThread", error);
    }
}

// ---- The provider cache ----------------------------------------------------------------------------------

void CKestrovanDlg::loadCspList(Vsk::Utils::CError* error) {
    Vsk::Utils::CLock lock(&m_shared->lock);
    if (m_cspCache.getCount()) return;
    try {
        Vsk::PKI::CCsp::GetAllCspArr(m_cspCache);
    } catch (const Vsk::Utils::CError& e) {
        if (error) *error = e;
    }
}

void CKestrovanDlg::loadCspList(Vsk::Utils::CError* error, const CWorkerJob& worker) {
    const CWorkerJob* job = &worker;
    // From a worker: the listing runs here, the window's cache is filled on the GUI thread (when the
    // window still exists and its cache is still empty).
    bool empty = false;
    if (!job->runOnDlg([&](CKestrovanDlg& dlg) {
            Vsk::Utils::CLock lock(&dlg.m_shared->lock);
            empty = dlg.m_cspCache.getCount() == 0;
        }))
        return;
    if (!empty) return;
    Vsk::Utils::CArray<Vsk::PKI::CCsp> providers;
    try {
        Vsk::PKI::CCsp::GetAllCspArr(providers);
    } catch (const Vsk::Utils::CError& e) {
        if (error) *error = e;
        return;
    }
    job->runOnDlg([&](CKestrovanDlg& dlg) {
        Vsk::Utils::CLock lock(&dlg.m_shared->lock);
        if (dlg.m_cspCache.getCount() == 0) dlg.m_cspCache = providers;
    });
}

// ---- Progress
// ----------------------------------------------------------------------------------------------

// While a progress runs on the GUI thread, its steps let Qt's events flow (the bar paints, workers'
// calls are served) but the window's own input is held back, so that no handler starts in the middle
// of another; Esc among it cancels. A close of the window is remembered and done afterwards.
class CProgressImpl::CInputFilter : public QObject {
public:
    CInputFilter(CKestrovanDlg* owner, CProgressImpl* progress) : m_owner(owner), m_progress(progress) {
        qApp->installEventFilter(this);
    }
    ~CInputFilter() override {
        qApp->removeEventFilter(this);
        if (m_closeRequested && m_owner) QMetaObject::invokeMethod(m_owner, "close", Qt::QueuedConnection);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (!widget || !m_owner || widget->window() != m_owner) return false;
        switch (event->type()) {
            case QEvent::KeyPress:
                if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
                    m_progress->m_cancelled = true;
                    m_owner->cancelWorkers();
                }
                return true;
            case QEvent::KeyRelease:
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::Wheel:
            case QEvent::ContextMenu:
            case QEvent::Shortcut:
            case QEvent::ShortcutOverride:
                return true;
            case QEvent::Close:
                if (widget == m_owner) {
                    m_closeRequested = true;
                    event->ignore();
                    return true;
                }
                return false;
            default:
                return false;
        }
    }

private:
    QPointer<CKestrovanDlg> m_owner;
    CProgressImpl* m_progress;
    bool m_closeRequested = false;
};

CProgressImpl::CProgressImpl(QProgressBar* bar, CKestrovanDlg* owner)
    : m_bar(bar), m_owner(owner), m_startTime(0), m_uiThread(0), m_cancelled(false) {
    // The GUI thread owns the bar; the object may be made on either.
    m_uiThread = CallOnGuiThread([] { return GetCurrentThreadId(); });
    if (onGuiThread() && owner) m_filter = std::make_unique<CInputFilter>(owner, this);
    start(nullptr);
}

CProgressImpl::~CProgressImpl() {
    stop();
    m_filter.reset();
}

bool CProgressImpl::onGuiThread() const {
    return GetCurrentThreadId() == m_uiThread;
}

void CProgressImpl::start(const WCHAR*) {
    m_startTime = 0;
    if (onGuiThread()) {
        if (m_bar) m_bar->show();
    } else if (m_owner) {
        PostMessageW(m_owner.data(), WM_SHOW_PROGRESS, 5, 0);
    }
}

void CProgressImpl::stop() {
    if (onGuiThread()) {
        if (m_bar) m_bar->hide();
    } else if (m_owner) {
        PostMessageW(m_owner.data(), WM_SHOW_PROGRESS, 0, 0);
    }
}

bool CProgressImpl::setRange(uint32_t range) {
    // An empty range shows an empty bar (Qt would show its busy animation for 0 - 0).
    const int upper = std::max(1, static_cast<int>(std::min<uint32_t>(range, INT32_MAX)));
    if (onGuiThread()) {
        if (m_bar) m_bar->setRange(0, upper);
    } else if (m_bar) {
        QMetaObject::invokeMethod(
            qApp,
            [bar = m_bar, upper] {
                if (bar) bar->setRange(0, upper);
            },
            Qt::QueuedConnection);
    }
    return true;
}

uint32_t CProgressImpl::getRange() {
    return onGuiThread() && m_bar ? static_cast<uint32_t>(m_bar->maximum()) : 0;
}

void CProgressImpl::setPos(uint32_t position) {
    const int value = static_cast<int>(std::min<uint32_t>(position, INT32_MAX));
    if (onGuiThread()) {
        if (m_bar) m_bar->setValue(value);
    } else if (m_bar) {
        QMetaObject::invokeMethod(
            qApp,
            [bar = m_bar, value] {
                if (bar) bar->setValue(value);
            },
            Qt::QueuedConnection);
    }
}

int32_t CProgressImpl::getPos() {
    return onGuiThread() && m_bar ? m_bar->value() : 0;
}

namespace {

// The bar's step: one forward, wrapping to the start past the end as the bar control does.
void stepBar(QProgressBar* bar) {
    const int next = std::max(bar->value(), bar->minimum()) + 1;
    bar->setValue(next > bar->maximum() ? bar->minimum() : next);
}

}  // namespace

void CProgressImpl::next() {
    if (!onGuiThread()) {
        if (!m_bar) return;
        const bool posted = qApp && QMetaObject::invokeMethod(
                                        qApp,
                                        [bar = m_bar] {
                                            if (bar) stepBar(bar);
                                        },
                                        Qt::QueuedConnection);
        if (!posted) logWin32("CProgressImpl::next", "PBM_STEPIT", ERROR_INVALID_WINDOW_HANDLE);
        return;
    }
    if (!m_bar) return;
    const int before = std::max(m_bar->value(), 0);
    stepBar(m_bar);
    if (before < 10) {
        if (m_startTime == 0) {
            m_startTime = nowFileTime();
        } else {
            const uint64_t elapsedMs = (nowFileTime() - m_startTime) / 10000;
            if (elapsedMs < MinVisibleProgressMs) Sleep(static_cast<DWORD>(MinVisibleProgressMs - elapsedMs));
        }
    }
    m_bar->repaint();
    // Paint, serve the workers, and look for Esc (the input filter holds the rest back).
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool CProgressImpl::isCancelled() {
    return m_cancelled;
}
