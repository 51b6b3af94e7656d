// The progress dialog: caption, positions, Cancel, a failed start and use from a worker thread.
#include "guiTestEnvironment.h"

#include <vsk/platform/handle.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/gui.h>
#include <vsk/utils/progressDialog.h>

#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

namespace {

using Vsk::InternalUtils::CProgress;
using Vsk::InternalUtils::ProgressPercent;

QString caption(CProgress& progress) {
    return progress.getDialog() ? progress.getDialog()->windowTitle() : QString();
}

TEST(ProgressTest, NothingBeforeStart) {
    CProgress progress(nullptr);
    progress.setPos(5);
    progress.next();
    EXPECT_EQ(progress.getPos(), -1);
    EXPECT_EQ(progress.getDialog(), nullptr);
    EXPECT_FALSE(progress.isCancelled());
}

TEST(ProgressTest, CaptionShowsThePercentage) {
    CProgress progress(nullptr);
    progress.start(u"Загрузка списка отзыва");
    ASSERT_NE(progress.getDialog(), nullptr);
    EXPECT_EQ(progress.getPos(), 0);
    EXPECT_EQ(caption(progress), QStringLiteral("Загрузка списка отзыва"));
    EXPECT_EQ(progress.getDialog()->size(), QSize(315, 75));
    progress.setRange(200);
    EXPECT_EQ(progress.getRange(), 200u);
    progress.setPos(50);
    EXPECT_EQ(progress.getPos(), 50);
    EXPECT_EQ(caption(progress), QStringLiteral("Загрузка списка отзыва - 25%"));
    auto* bar = qobject_cast<QProgressBar*>(GetDlgItem(progress.getDialog(), 1006));
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->maximum(), 200);
    EXPECT_EQ(bar->value(), 50);
    GuiTest::Screenshot(progress.getDialog(), "progressDialog");
    progress.next();
    EXPECT_EQ(progress.getPos(), 51);
    EXPECT_EQ(caption(progress), QStringLiteral("Загрузка списка отзыва - 25%"));
    progress.stop();
    EXPECT_EQ(progress.getDialog(), nullptr);
}

TEST(ProgressTest, PercentageIsCutAndARangeOfZeroShowsZero) {
    struct Row {
        uint32_t position, range, percent;
    };
    for (const Row& r :
         {Row{50, 200, 25}, Row{2, 3, 66}, Row{0, 1, 0}, Row{7, 0, 0}, Row{0xFFFFFFFF, 0xFFFFFFFF, 100}})
        EXPECT_EQ(ProgressPercent(r.position, r.range), r.percent) << r.position << "/" << r.range;
    CProgress progress(nullptr);
    progress.start(u"Т");
    progress.setPos(7);
    EXPECT_EQ(caption(progress), QStringLiteral("Т - 0%"));
}

TEST(ProgressTest, CancelDuringTheOperationIsSeenAtTheNextCheck) {
    CProgress progress(nullptr);
    progress.start(u"Операция");
    progress.setRange(100000);
    HWND dialog = progress.getDialog();
    ASSERT_NE(dialog, nullptr);
    QTimer::singleShot(30, [dialog] { qobject_cast<QPushButton*>(GetDlgItem(dialog, IDCANCEL))->click(); });
    // The operation: steps on this thread, dispatching the dialog's events in each step.
    int steps = 0;
    while (!progress.isCancelled() && steps < 100000) {
        progress.next();
        ++steps;
        Sleep(1);
    }
    EXPECT_TRUE(progress.isCancelled());
    EXPECT_EQ(progress.getDialog(), nullptr);
    const int32_t position = progress.getPos();
    progress.next();
    progress.setPos(5);
    EXPECT_EQ(progress.getPos(), position);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(ProgressTest, FailedStartLeavesThePositionAtMinusOne) {
    // A parent that is no window: the dialog cannot be made.
    CProgress progress(reinterpret_cast<HWND>(uintptr_t{0x10}));
    progress.start(u"Операция");
    EXPECT_EQ(progress.getPos(), -1);
    EXPECT_EQ(progress.getDialog(), nullptr);
    progress.setRange(10);
    progress.setPos(5);
    EXPECT_EQ(progress.getPos(), -1);
    EXPECT_FALSE(progress.isCancelled());
}

struct WorkerReport {
    int32_t position = -2;
    QString caption;
};

DWORD progressOnWorker(LPVOID parameter) {
    auto* report = static_cast<WorkerReport*>(parameter);
    CProgress progress(nullptr);
    progress.start(u"Из потока");
    progress.setRange(10);
    progress.setPos(5);
    report->position = progress.getPos();
    report->caption =
        QString::fromStdU16String(Vsk::InternalUtils::GetWindowTextString(progress.getDialog()).toU16());
    return 0;
}

TEST(ProgressTest, WorkerThreadProgressLivesOnTheGuiThread) {
    WorkerReport report;
    HANDLE thread = CreateThread(nullptr, 0, progressOnWorker, &report, 0, nullptr);
    Vsk::InternalUtils::MsgWaitForObjects(1, &thread, false, 10000);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(report.position, 5);
    EXPECT_EQ(report.caption, QStringLiteral("Из потока - 50%"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace
