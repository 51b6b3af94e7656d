// The library's progress dialog (template 130).
#include "dialogs.h"

#include <vsk/utils/gui.h>
#include <vsk/utils/progressDialog.h>

#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <climits>

namespace Vsk::InternalUtils {

using Utils::CWString;

namespace {

constexpr int IdProgressBar = 1006;

int barValue(uint32_t value) {
    return static_cast<int>(std::min<uint32_t>(value, INT_MAX));
}

}  // namespace

// The dialog knows its progress object, as the template's procedure finds it through the window.
class CProgressDialog : public QDialog {
public:
    CProgressDialog(CProgress* owner, HWND parent)
        : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), m_owner(owner) {
        using namespace Dialogs;
        setObjectName(QStringLiteral("progressDialog"));
        setFixedSize(dluX(210), dluY(46));
        m_bar = placeControl(new QProgressBar(this), IdProgressBar, dluRect(7, 6, 196, 12));
        m_bar->setTextVisible(false);
        m_bar->setRange(0, 100);
        m_bar->setValue(0);
        auto* cancel =
            placeControl(new QPushButton(QStringLiteral("Отмена"), this), IDCANCEL, dluRect(79, 25, 50, 14));
        connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
        // Input reaches no other window while the operation pumps events for this one.
        setWindowModality(Qt::ApplicationModal);
    }

    QProgressBar* bar() const { return m_bar; }
    // The progress object lets go of its dialog (stop, or a second start).
    void detach() { m_owner = nullptr; }

protected:
    // Cancel, Esc and closing all end the operation.
    void reject() override {
        if (m_owner) {
            m_owner->m_dialog.store(nullptr);
            m_owner->m_cancelled.store(true);
            m_owner = nullptr;
        }
        hide();
        deleteLater();
    }

private:
    CProgress* m_owner;
    QProgressBar* m_bar;
};

uint32_t ProgressPercent(uint32_t position, uint32_t range) {
    // Without a range there is nothing to measure against.
    if (range == 0) return 0;
    return static_cast<uint32_t>(static_cast<double>(position) * 100.0 / range);
}

CProgress::CProgress(HWND parent)
    : m_dialog(nullptr), m_parent(parent), m_range(0), m_position(-1), m_cancelled(false) {}

CProgress::~CProgress() {
    stop();
}

void CProgress::start(const WCHAR* title) {
    Dialogs::CKeepLastError keep;
    // A dialog of an earlier start would stay behind, modal, with nobody to end it.
    stop();
    m_title = title ? CWString(title) : CWString();
    m_position = -1;
    CLib templates(u"VskTspClient.dll");
    LoadDialogTemplateModule(templates);
    // A dialog that cannot be made leaves the operation without visible progress, silently.
    if (!Dialogs::canCreateDialog(m_parent)) return;
    RunOnGuiThread([&] {
        auto* dialog = new CProgressDialog(this, m_parent);
        dialog->setWindowTitle(Dialogs::toQ(m_title));
        dialog->bar()->setRange(0, std::max(barValue(m_range), 1));
        m_dialog.store(dialog);
        dialog->show();
    });
    if (m_dialog.load()) m_position = 0;
}

void CProgress::stop() {
    Dialogs::CKeepLastError keep;
    // Nothing to hand to the GUI thread: a worker never waits for it without need.
    if (!m_dialog.load()) return;
    RunOnGuiThread([&] {
        if (HWND dialog = m_dialog.exchange(nullptr)) {
            static_cast<CProgressDialog*>(dialog)->detach();
            dialog->hide();
            dialog->deleteLater();
        }
    });
}

bool CProgress::setRange(uint32_t range) {
    Dialogs::CKeepLastError keep;
    m_range = range;
    if (!m_dialog.load()) return true;
    RunOnGuiThread([&] {
        // A range of 0 would make Qt's bar a busy indicator.
        if (HWND dialog = m_dialog.load())
            static_cast<CProgressDialog*>(dialog)->bar()->setRange(0, std::max(barValue(range), 1));
    });
    return true;
}

void CProgress::setPos(uint32_t position) {
    Dialogs::CKeepLastError keep;
    if (m_position == -1 || !m_dialog.load()) return;
    bool shown = false;
    RunOnGuiThread([&] {
        auto* dialog = static_cast<CProgressDialog*>(m_dialog.load());
        if (!dialog) return;
        dialog->bar()->setValue(std::min(barValue(position), dialog->bar()->maximum()));
        dialog->setWindowTitle(
            Dialogs::toQ(m_title + u" - " + Utils::ToWString(ProgressPercent(position, m_range)) + u"%"));
        shown = true;
    });
    if (!shown) return;
    m_position = static_cast<int32_t>(position);
    // Serve the dialog's events (the Cancel button) while the operation runs on this thread. Off
    // the GUI thread the GUI thread serves them itself.
    if (!IsGuiThread()) return;
    MSG message;
    while (m_dialog.load() && PeekMessageW(&message, m_dialog.load(), 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void CProgress::next() {
    setPos(static_cast<uint32_t>(getPos() + 1));
}

}  // namespace Vsk::InternalUtils
