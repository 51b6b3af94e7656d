// The list dialog: rows, columns, the resizing rule and the certificate button.
#include "guiTestEnvironment.h"
#include "testSupport.h"

#include <vsk/platform/cert.h>
#include <vsk/utils/gui.h>

#include <QApplication>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
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

// The template's size in pixels (275x255 dialog units) is the smallest the dialog gets.
const QSize TemplateSize(413, 414);

// Checks that the controls fit the dialog and one another: the list above the value box above the
// buttons, the buttons in the bottom corners, nothing cut or covered.
void expectLaidOut(QWidget* dialog, QTreeWidget* list, QPlainTextEdit* value, QPushButton* certificate,
                   QPushButton* ok) {
    const QRect all = dialog->rect();
    for (QWidget* w : {static_cast<QWidget*>(list), static_cast<QWidget*>(value),
                       static_cast<QWidget*>(certificate), static_cast<QWidget*>(ok)}) {
        EXPECT_TRUE(all.contains(w->geometry())) << w->metaObject()->className();
        EXPECT_GE(w->width(), w->minimumSizeHint().width()) << w->metaObject()->className();
    }
    EXPECT_LT(list->geometry().bottom(), value->geometry().top());
    EXPECT_LT(value->geometry().bottom(), ok->geometry().top());
    EXPECT_FALSE(certificate->geometry().intersects(ok->geometry()));
    EXPECT_LT(certificate->geometry().left(), dialog->width() / 4);
    EXPECT_GT(ok->geometry().right(), dialog->width() * 3 / 4);
    // The list: header shown, columns filling the visible width (the value column two thirds, the
    // name column the rest), no horizontal scroll bar.
    EXPECT_TRUE(list->header()->isVisible());
    const int visible = list->viewport()->width();
    EXPECT_EQ(list->columnWidth(1), 2 * visible / 3);
    EXPECT_EQ(list->columnWidth(0) + list->columnWidth(1), visible);
    EXPECT_FALSE(list->horizontalScrollBar()->isVisible());
    // The value column shows values, not a few characters of them.
    EXPECT_GE(list->columnWidth(1),
              list->fontMetrics().horizontalAdvance(QStringLiteral("\\\\.\\REGISTRY\\")));
}

TEST_P(ListDialogTest, ControlsFitAtEverySize) {
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Свойства контейнера"));
    ASSERT_EQ(list->topLevelItemCount(), 3);
    EXPECT_EQ(list->headerItem()->text(0), QStringLiteral("Свойство"));
    EXPECT_EQ(list->headerItem()->text(1), QStringLiteral("Значение"));
    EXPECT_EQ(list->topLevelItem(1)->text(0), QStringLiteral("Сертификат"));
    EXPECT_EQ(list->topLevelItem(1)->text(1), QStringLiteral("CN=Иванов"));
    // The system's font, not a smaller one of the templates' time.
    EXPECT_EQ(dialog->font(), QApplication::font());
    EXPECT_EQ(dialog->minimumSize(), TemplateSize);
    EXPECT_EQ(dialog->size(), TemplateSize);

    dialog->show();
    dialog->resize(GetParam());
    QCoreApplication::processEvents();
    EXPECT_EQ(dialog->size(), GetParam().expandedTo(TemplateSize));
    expectLaidOut(dialog, list, value, certificate, ok);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ListDialogTest,
                         ::testing::Values(QSize(413, 414), QSize(640, 480), QSize(300, 260)));

// With a font half as large again (as at a scale of 1.5) the dialog grows to fit its controls.
TEST(ListDialogLargeFontTest, ControlsStillFit) {
    const QFont normal = QApplication::font();
    QFont large = normal;
    large.setPointSizeF(normal.pointSizeF() * 1.5);
    QApplication::setFont(large);
    CListDialogParams params;
    fill(params);
    params.show(CWString(u"Свойства контейнера"), CWString(u"Свойство"), CWString(u"Значение"), nullptr,
                false);
    HWND dialog = params.getDialog();
    ASSERT_NE(dialog, nullptr);
    dialog->show();
    QCoreApplication::processEvents();
    expectLaidOut(dialog, qobject_cast<QTreeWidget*>(GetDlgItem(dialog, 1001)),
                  qobject_cast<QPlainTextEdit*>(GetDlgItem(dialog, 1004)),
                  qobject_cast<QPushButton*>(GetDlgItem(dialog, 1002)),
                  qobject_cast<QPushButton*>(GetDlgItem(dialog, IDOK)));
    qobject_cast<QPushButton*>(GetDlgItem(dialog, IDOK))->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::setFont(normal);
}

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

// The rows the program shows for a key container: at the template's size every name is whole, every
// value shows more than its first characters, and nothing scrolls sideways.
TEST(ListDialogKeyContainerTest, RowsFitTheTemplateSize) {
    CListDialogParams params;
    const std::pair<const char16_t*, const char16_t*> rows[] = {
        {u"Имя контейнера", u"le-5f3c2a9e-7b1d-4c8e-9a60-2d4f1e8b7c35"},
        {u"Уникальное имя", u"\\\\.\\REGISTRY\\le-5f3c2a9e-7b1d-4c8e-9a60-2d4f1e8b7c35"},
        {u"Считыватель", u"Реестр"},
        {u"Провайдер", u"Kestrovan GOST R 34.10-2012 Strong Cryptographic Provider"},
        {u"Тип провайдера", u"81"},
        {u"Ключ обмена", u"ГОСТ Р 34.10-2012 512 бит (1024 бит)"},
        {u"Ключ подписи", u"ГОСТ Р 34.10-2012 512 бит (1024 бит)"},
        {u"Сертификат", u"Иванов Иван Иванович, действителен с 10.12.2026 по 10.12.2027"},
    };
    for (const auto& [name, value] : rows) params.addItem(CWString(name), CWString(value));
    params.show(CWString(u"Ключевой контейнер"), CWString(u"Свойство"), CWString(u"Значение"), nullptr,
                false);
    HWND dialog = params.getDialog();
    ASSERT_NE(dialog, nullptr);
    dialog->show();
    QCoreApplication::processEvents();
    auto* list = qobject_cast<QTreeWidget*>(GetDlgItem(dialog, 1001));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(dialog->size(), TemplateSize);
    EXPECT_FALSE(list->horizontalScrollBar()->isVisible());
    const QFontMetrics metrics = list->fontMetrics();
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        EXPECT_LE(metrics.horizontalAdvance(list->topLevelItem(i)->text(0)), list->columnWidth(0));
        EXPECT_GE(list->columnWidth(1), metrics.horizontalAdvance(QStringLiteral("le-5f3c2a9e-7b")));
    }
    list->setCurrentItem(list->topLevelItem(3));
    EXPECT_EQ(qobject_cast<QPlainTextEdit*>(GetDlgItem(dialog, 1004))->toPlainText(),
              QStringLiteral("Kestrovan GOST R 34.10-2012 Strong Cryptographic Provider"));
    GuiTest::Screenshot(dialog, "listDialog-keyContainer");
    qobject_cast<QPushButton*>(GetDlgItem(dialog, IDOK))->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
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
