// The library's progress dialog (dialog 130): a progress bar and a Cancel button, shown modeless
// while a long operation runs on the thread that started it.
#pragma once

#include <vsk/platform/gui.h>
#include <vsk/utils/progress.h>
#include <vsk/utils/string.h>

#include <atomic>

namespace Vsk::InternalUtils {

// Lives on its user's stack. On the GUI thread the dialog's events (the Cancel button) are served
// only while setPos or next run, so the operation calls them regularly. From a worker thread the
// dialog lives on the GUI thread, whose own event loop serves it.
class CProgress : public Vsk::Utils::IProgress {
public:
    explicit CProgress(HWND parent);
    ~CProgress();
    CProgress(const CProgress&) = delete;
    CProgress& operator=(const CProgress&) = delete;

    // Stores the title and shows the dialog; the position becomes 0, or stays -1 when the dialog
    // could not be made (the operation then runs without visible progress).
    void start(const WCHAR* title) override;
    void stop() override;
    bool setRange(uint32_t range) override;
    uint32_t getRange() override { return m_range; }
    // Ignored before a successful start and after Cancel. The caption becomes
    // "<title> - <position x 100 / range>%" (0 % for a range of 0).
    void setPos(uint32_t position) override;
    int32_t getPos() override { return m_position; }
    void next() override;
    bool isCancelled() override { return m_cancelled.load(); }

    // The dialog while it exists.
    HWND getDialog() const { return m_dialog.load(); }

private:
    friend class CProgressDialog;

    std::atomic<HWND> m_dialog;
    HWND m_parent;
    uint32_t m_range;
    int32_t m_position;
    Vsk::Utils::CWString m_title;
    std::atomic<bool> m_cancelled;
};

// The percentage that the caption shows.
uint32_t ProgressPercent(uint32_t position, uint32_t range);

}  // namespace Vsk::InternalUtils
