// The login dialog: confirmations, the empty-user rule, cancel, and use from a worker thread.
#include "guiTestEnvironment.h"
#include "messageRecorder.h"

#include <vsk/platform/handle.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/gui.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

using Vsk::Utils::CErrorFormatter;
using Vsk::Utils::CWString;

const char16_t* const Caption = u"Прокси-сервер";

struct LoginCase {
    const char16_t* initialUser;
    const char16_t* typedUser;
    const char16_t* typedPassword;
    bool pressOk;
    bool expected;
    // The messages shown, in order.
    std::vector<const char16_t*> messages;
    bool staysOpenAfterOk;
};

class LoginDialogTest : public ::testing::TestWithParam<LoginCase> {};

bool isLoginDialog(QWidget* w) {
    return w->objectName() == QStringLiteral("loginDialog");
}

void press(QWidget* dialog, int id) {
    qobject_cast<QPushButton*>(GetDlgItem(dialog, id))->click();
}

TEST_P(LoginDialogTest, Answers) {
    const LoginCase& c = GetParam();
    GuiTest::MessageRecorder recorder;
    CErrorFormatter formatter;
    CWString user(c.initialUser);
    CWString password(u"старый");
    bool stayedOpen = false;
    QString prefilledUser;
    GuiTest::OnModal(
        [&](QWidget* dialog) {
            GuiTest::Screenshot(dialog, "loginDialog");
            prefilledUser = qobject_cast<QLineEdit*>(GetDlgItem(dialog, 1004))->text();
            qobject_cast<QLineEdit*>(GetDlgItem(dialog, 1004))->setText(QString::fromUtf16(c.typedUser));
            qobject_cast<QLineEdit*>(GetDlgItem(dialog, 1005))->setText(QString::fromUtf16(c.typedPassword));
            if (c.pressOk) {
                press(dialog, IDOK);
                stayedOpen = dialog->isVisible();
            }
            if (dialog->isVisible()) press(dialog, IDCANCEL);
        },
        isLoginDialog);
    EXPECT_EQ(Vsk::InternalUtils::ShowLoginDialog(&formatter, CWString(Caption), user, password, nullptr),
              c.expected);
    EXPECT_EQ(prefilledUser, QString::fromUtf16(c.initialUser));
    EXPECT_EQ(stayedOpen, c.staysOpenAfterOk);
    const auto shown = recorder.shown();
    ASSERT_EQ(shown.size(), c.messages.size());
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i].text, c.messages[i]);
        EXPECT_EQ(shown[i].caption, Caption);
        EXPECT_EQ(shown[i].type, MB_ICONERROR);
    }
    if (c.expected) {
        EXPECT_EQ(formatter.getCount(), 0u);
        EXPECT_EQ(user.toU16(), c.typedUser);
        EXPECT_EQ(password.toU16(), c.typedPassword);
    } else {
        ASSERT_EQ(formatter.getCount(), 1u);
        EXPECT_TRUE(formatter.format(CWString(u"\n"))
                        .getText()
                        .startsWith(CWString(u"Прокси-сервер. Авторизация отменена пользователем.")));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoginDialogTest,
    ::testing::Values(
        // Both empty: accepted as they are.
        LoginCase{u"", u"", u"", true, true, {}, false},
        LoginCase{u"", u"иванов", u"пароль", true, true, {}, false},
        // Only a password: told, and the dialog stays open (then cancelled).
        LoginCase{u"", u"", u"пароль", true, false, {u"Имя пользователя не может быть пустым."}, true},
        LoginCase{u"", u"иванов", u"пароль", false, false, {}, false},
        // A user name on entry means the last attempt failed: that is said first.
        LoginCase{
            u"петров", u"петров", u"новый", true, true, {u"Введеные логин и пароль не подходят."}, false}));

TEST(LoginDialogOwnerTest, EmptyUserMessageIsOwnedByTheDialogAndTheFailureMessageByNobody) {
    GuiTest::MessageRecorder recorder;
    CWString user(u"петров");
    CWString password;
    HWND dialogSeen = nullptr;
    GuiTest::OnModal(
        [&](QWidget* dialog) {
            dialogSeen = dialog;
            qobject_cast<QLineEdit*>(GetDlgItem(dialog, 1004))->clear();
            qobject_cast<QLineEdit*>(GetDlgItem(dialog, 1005))->setText(QStringLiteral("x"));
            press(dialog, IDOK);
            press(dialog, IDCANCEL);
        },
        isLoginDialog);
    EXPECT_FALSE(Vsk::InternalUtils::ShowLoginDialog(nullptr, CWString(Caption), user, password, nullptr));
    const auto shown = recorder.shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].owner, nullptr);
    EXPECT_EQ(shown[1].owner, dialogSeen);
}

DWORD loginFromWorker(LPVOID parameter) {
    auto* result = static_cast<int*>(parameter);
    CWString user;
    CWString password;
    CErrorFormatter formatter;
    *result = Vsk::InternalUtils::ShowLoginDialog(&formatter, CWString(Caption), user, password, nullptr) &&
              user.toU16() == u"иванов";
    return 0;
}

TEST(LoginDialogThreadTest, WorkerThreadGetsTheDialogOnTheGuiThread) {
    GuiTest::OnModal(
        [&](QWidget* dialog) {
            qobject_cast<QLineEdit*>(GetDlgItem(dialog, 1004))->setText(QStringLiteral("иванов"));
            press(dialog, IDOK);
        },
        isLoginDialog);
    int result = -1;
    HANDLE thread = CreateThread(nullptr, 0, loginFromWorker, &result, 0, nullptr);
    Vsk::InternalUtils::MsgWaitForObjects(1, &thread, false, 10000);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(result, 1);
}

TEST(LoginDialogFailureTest, DeadParentIsPushedAsDialogBoxParam) {
    CErrorFormatter formatter;
    CWString user;
    CWString password;
    EXPECT_FALSE(Vsk::InternalUtils::ShowLoginDialog(&formatter, CWString(Caption), user, password,
                                                     reinterpret_cast<HWND>(uintptr_t{0x10})));
    ASSERT_EQ(formatter.getCount(), 1u);
    EXPECT_TRUE(formatter.format(CWString(u"\n")).getText().startsWith(CWString(u"DialogBoxParam")));
}

}  // namespace

namespace {

// The template's tab order: user name, password, OK, Cancel; at least the template's size; each label
// whole and apart from its edit, also with a font half as large again (as at a scale of 1.5).
TEST(LoginDialogLayoutTest, TabOrderSizeAndLabels) {
    const QFont normal = QApplication::font();
    for (const double scale : {1.0, 1.5}) {
        SCOPED_TRACE(scale);
        QFont font = normal;
        font.setPointSizeF(normal.pointSizeF() * scale);
        QApplication::setFont(font);
        QList<int> order;
        QSize size;
        std::vector<std::pair<QRect, QRect>> labelsAndEdits;
        bool labelsWhole = true;
        GuiTest::OnModal(
            [&](QWidget* dialog) {
                size = dialog->size();
                QWidget* w = GetDlgItem(dialog, 1004);
                for (int i = 0; i < 4; ++i, w = w->nextInFocusChain()) {
                    while (!(w->focusPolicy() & Qt::TabFocus)) w = w->nextInFocusChain();
                    order << GetDlgCtrlID(w);
                }
                for (QLabel* label : dialog->findChildren<QLabel*>()) {
                    labelsAndEdits.emplace_back(label->geometry(), label->buddy()->geometry());
                    labelsWhole = labelsWhole && label->width() >= label->sizeHint().width();
                }
                GuiTest::Screenshot(dialog, scale == 1.0 ? "loginDialog" : "loginDialog-largeFont");
                press(dialog, IDCANCEL);
            },
            isLoginDialog);
        CWString user;
        CWString password;
        Vsk::InternalUtils::ShowLoginDialog(nullptr, CWString(Caption), user, password, nullptr);
        EXPECT_EQ(order, QList<int>({1004, 1005, IDOK, IDCANCEL}));
        EXPECT_GE(size.width(), 293);
        EXPECT_GE(size.height(), 109);
        ASSERT_EQ(labelsAndEdits.size(), 2u);
        EXPECT_TRUE(labelsWhole);
        for (const auto& [label, edit] : labelsAndEdits) EXPECT_LT(label.right() + 4, edit.left());
    }
    QApplication::setFont(normal);
}

}  // namespace
