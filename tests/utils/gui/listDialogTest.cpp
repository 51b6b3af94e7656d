// The list dialog: rows, columns, the resizing rule and the certificate button.
#include "guiTestEnvironment.h"
#include "testSupport.h"

#include <vsk/platform/cert.h>
#include <vsk/utils/gui.h>

#include <QHeaderView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>

namespace {

using Vsk::InternalUtils::CListDialogParams;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

BYTE CertBytes[] = {0x30, 0x00};
const CERT_CONTEXT Cert{1, CertBytes, sizeof(CertBytes), nullptr, nullptr};

void fill(CListDialogParams& params) {
    params.addItem(CWString(u"Имя контейнера"), CWString(u"\\\\.\\REGISTRY\\ключ"));
    params.addItem(CWString(u"Сертификат"), CWString(u"CN=Иванов"));
    params.attachToLastItem(CWString(u"не используется"), &Cert);
    params.attachToLastItem(CWString(u"Отдельная строка"), nullptr);
}

TEST(ListDialogParamsTest, RowsAndAttachments) {
    CListDialogParams params;
    EXPECT_THROW(params.attachToLastItem(CWString(u"x"), &Cert), CError);
    fill(params);
    const auto& items = params.getItems();
    ASSERT_EQ(items.getCount(), 3u);
    EXPECT_EQ(items[0].certificate, nullptr);
    EXPECT_EQ(items[1].certificate, &Cert);
    EXPECT_EQ(items[1].name.toU16(), u"Сертификат");
    EXPECT_EQ(items[2].name.toU16(), u"Отдельная строка");
    EXPECT_EQ(items[2].value.getLength(), 0u);
    // No icon of that number in the program.
    params.setIcon(0);
    EXPECT_EQ(params.m_icon, nullptr);
}

TEST(ListDialogParamsTest, ArrayEmptyTextForAttachWithoutRows) {
    CListDialogParams params;
    const auto error = VskTest::Thrown([&] { params.attachToLastItem(CWString(u"x"), &Cert); });
    EXPECT_TRUE(error.getText().startsWith(CWString(u"Массив пуст")));
}

class ListDialogTest : public ::testing::TestWithParam<QSize> {
protected:
    void SetUp() override {
        fill(params);
        params.show(CWString(u"Свойства контейнера"), CWString(u"Свойство"), CWString(u"Значение"), nullptr,
                    false);
        dialog = params.getDialog();
        ASSERT_NE(dialog, nullptr);
        list = qobject_cast<QTreeWidget*>(GetDlgItem(dialog, 1001));
        value = qobject_cast<QPlainTextEdit*>(GetDlgItem(dialog, 1004));
        certificate = qobject_cast<QPushButton*>(GetDlgItem(dialog, 1002));
        ok = qobject_cast<QPushButton*>(GetDlgItem(dialog, IDOK));
        ASSERT_TRUE(list && value && certificate && ok);
    }
    void TearDown() override {
        if (params.getDialog()) ok->click();
        EXPECT_EQ(params.getDialog(), nullptr);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    CListDialogParams params;
    HWND dialog = nullptr;
    QTreeWidget* list = nullptr;
    QPlainTextEdit* value = nullptr;
    QPushButton* certificate = nullptr;
    QPushButton* ok = nullptr;
};

TEST_P(ListDialogTest, RowsColumnsAndGeometryFollowTheResizingRule) {
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Свойства контейнера"));
    ASSERT_EQ(list->topLevelItemCount(), 3);
    EXPECT_EQ(list->headerItem()->text(0), QStringLiteral("Свойство"));
    EXPECT_EQ(list->headerItem()->text(1), QStringLiteral("Значение"));
    EXPECT_EQ(list->topLevelItem(1)->text(0), QStringLiteral("Сертификат"));
    EXPECT_EQ(list->topLevelItem(1)->text(1), QStringLiteral("CN=Иванов"));
    // The template's buttons: 65x14 and 50x14 dialog units.
    EXPECT_EQ(certificate->size(), QSize(98, 23));
    EXPECT_EQ(ok->size(), QSize(75, 23));

    const QSize client = GetParam();
    dialog->resize(client);
    QCoreApplication::processEvents();
    ASSERT_EQ(dialog->size(), client);
    const int w = client.width();
    const int h = client.height();
    EXPECT_EQ(certificate->pos(), QPoint(8, h - 23 - 8));
    EXPECT_EQ(ok->pos(), QPoint(w - 75 - 8, h - 23 - 8));
    const int valueHeight = (h - 23 - 32) / 5;
    EXPECT_EQ(value->geometry(), QRect(8, h - valueHeight - 23 - 16, w - 16, valueHeight));
    EXPECT_EQ(list->geometry(), QRect(8, 8, w - 16, (4 * (h - 23) - 128) / 5));
    EXPECT_EQ(list->columnWidth(1), 2 * (w - 16) / 3);
    EXPECT_GT(list->columnWidth(0), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ListDialogTest,
                         ::testing::Values(QSize(413, 414), QSize(640, 480), QSize(300, 260)));

TEST_F(ListDialogTest, SelectingARowShowsItsValueAndTheCertificateButton) {
    EXPECT_FALSE(certificate->isVisibleTo(dialog));
    list->setCurrentItem(list->topLevelItem(1));
    EXPECT_EQ(value->toPlainText(), QStringLiteral("CN=Иванов"));
    EXPECT_TRUE(certificate->isVisibleTo(dialog));
    EXPECT_EQ(certificate->text(), QStringLiteral("Сертификат"));
    GuiTest::Screenshot(dialog, "listDialog");
    list->setCurrentItem(list->topLevelItem(0));
    EXPECT_EQ(value->toPlainText(), QStringLiteral("\\\\.\\REGISTRY\\ключ"));
    EXPECT_FALSE(certificate->isVisibleTo(dialog));
}

TEST(ListDialogFailureTest, DeadParentRaisesTheLastError) {
    CListDialogParams params;
    fill(params);
    const auto error = VskTest::Thrown([&] {
        params.show(CWString(u"x"), CWString(u"a"), CWString(u"b"), reinterpret_cast<HWND>(uintptr_t{0x10}),
                    true);
    });
    EXPECT_EQ(error.getCode(), static_cast<int32_t>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(params.getDialog(), nullptr);
}

TEST(ListDialogModalTest, ModalDialogEndsWithOk) {
    CListDialogParams params;
    fill(params);
    bool sawDialog = false;
    GuiTest::OnModal([&](QWidget* modal) {
        sawDialog = modal->objectName() == QStringLiteral("listDialog") && params.getDialog() == modal;
        qobject_cast<QPushButton*>(GetDlgItem(modal, IDOK))->click();
    });
    params.show(CWString(u"Модальный"), CWString(u"a"), CWString(u"b"), nullptr, true);
    EXPECT_TRUE(sawDialog);
    EXPECT_EQ(params.getDialog(), nullptr);
}

}  // namespace
