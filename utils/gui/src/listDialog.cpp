// The two-column list dialog (template 101): a list of names and values, a box with the selected
// value and a button that opens the certificate of the selected row.
#include "dialogs.h"

#include <vsk/utils/gui.h>
#include <vsk/utils/logScope.h>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QResizeEvent>
#include <QShowEvent>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <memory>
#include <vector>

namespace Vsk::InternalUtils {

using Utils::CError;
using Utils::CWString;

namespace {

using namespace Dialogs;

constexpr int IdList = 1001;
constexpr int IdCertificate = 1002;
constexpr int IdValue = 1004;

// The list: the value column takes two thirds of the visible width and the name column the rest, so
// the rows never need a horizontal scroll bar; the whole value of a row is in the box below.
class CListView : public QTreeWidget {
public:
    using QTreeWidget::QTreeWidget;

protected:
    void resizeEvent(QResizeEvent* event) override {
        QTreeWidget::resizeEvent(event);
        fitColumns();
    }
    void showEvent(QShowEvent* event) override {
        QTreeWidget::showEvent(event);
        fitColumns();
    }

public:
    void fitColumns() {
        const int visible = viewport()->width();
        header()->resizeSection(0, visible - 2 * visible / 3);
    }
};

class CListDialog : public QDialog {
public:
    CListDialog(CListDialogParams& params, HWND parent, bool modal)
        : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint |
                              Qt::WindowCloseButtonHint),
          m_params(params),
          m_modal(modal) {
        setObjectName(QStringLiteral("listDialog"));
        // Created in the template's order, which is also the tab order. Qt's layouts place them as
        // the template's resizing rule does (the list above, a fifth of the room for the value box,
        // the buttons in the bottom corners) with the system's font at any scale.
        m_list = new CListView(this);
        SetDlgCtrlID(m_list, IdList);
        m_value = new QPlainTextEdit(this);
        SetDlgCtrlID(m_value, IdValue);
        m_certificate = new QPushButton(this);
        SetDlgCtrlID(m_certificate, IdCertificate);
        m_ok = new QPushButton(QStringLiteral("ОК"), this);
        SetDlgCtrlID(m_ok, IDOK);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(8, 8, 8, 8);
        layout->addWidget(m_list, 4);
        layout->addWidget(m_value, 1);
        auto* buttons = new QHBoxLayout;
        buttons->addWidget(m_certificate);
        buttons->addStretch(1);
        buttons->addWidget(m_ok);
        layout->addLayout(buttons);
        m_value->setReadOnly(true);
        m_value->setTabChangesFocus(true);
        m_certificate->setText(QStringLiteral("Сертификат"));
        m_certificate->setMinimumWidth(dluX(65));
        m_ok->setMinimumWidth(dluX(50));
        // Hidden but keeping its room, so the layout does not move when it appears.
        QSizePolicy keep = m_certificate->sizePolicy();
        keep.setRetainSizeWhenHidden(true);
        m_certificate->setSizePolicy(keep);
        m_certificate->hide();
        m_ok->setDefault(true);
        m_list->setRootIsDecorated(false);
        m_list->setSelectionMode(QAbstractItemView::SingleSelection);
        m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
        m_list->setAllColumnsShowFocus(true);
        m_list->setUniformRowHeights(true);
        m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        m_list->header()->setStretchLastSection(true);
        m_list->header()->setSectionsClickable(false);
        m_list->header()->setMinimumSectionSize(dluX(20));

        setWindowTitle(toQ(params.m_caption));
        if (params.m_icon) SetWindowIcon(this, params.m_icon);
        m_list->setHeaderLabels({toQ(params.m_firstColumnTitle), toQ(params.m_secondColumnTitle)});
        // Each list item keeps its own copy of the row, as long as the dialog lives.
        for (const CListDialogParams::CItem& item : params.m_items) {
            m_rows.push_back(item);
            auto* row = new QTreeWidgetItem(m_list, {toQ(item.name), toQ(item.value)});
            row->setToolTip(0, toQ(item.name));
            row->setToolTip(1, toQ(item.value));
        }

        connect(m_list, &QTreeWidget::currentItemChanged, this,
                [this](QTreeWidgetItem* item) { select(item); });
        connect(m_ok, &QPushButton::clicked, this, [this] { done(IDOK); });
        connect(m_certificate, &QPushButton::clicked, this, [this] { openCertificate(); });
        // The template's size is the smallest that shows everything.
        const QSize templateSize(dluX(275), dluY(255));
        setMinimumSize(templateSize.expandedTo(minimumSizeHint()));
        resize(minimumSize());
        setSizeGripEnabled(true);
    }

protected:
    void reject() override { done(IDCANCEL); }

    void done(int result) override {
        QDialog::done(result);
        if (!m_modal) {
            m_params.m_dialog = nullptr;
            deleteLater();
        }
    }

private:
    const CListDialogParams::CItem* rowOf(QTreeWidgetItem* item) const {
        const int index = item ? m_list->indexOfTopLevelItem(item) : -1;
        return index >= 0 && static_cast<size_t>(index) < m_rows.size() ? &m_rows[static_cast<size_t>(index)]
                                                                        : nullptr;
    }

    void select(QTreeWidgetItem* item) {
        const CListDialogParams::CItem* row = rowOf(item);
        if (!row) return;
        m_value->setPlainText(toQ(row->value));
        if (row->certificate) {
            m_certificate->setText(QStringLiteral("Сертификат"));
            m_certificate->show();
        } else {
            m_certificate->hide();
        }
    }

    void openCertificate() {
        const CListDialogParams::CItem* row = rowOf(m_list->currentItem());
        if (!row || !row->certificate) return;
        // Errors must not leave a Qt handler: they are shown here.
        try {
            ViewCertificate(this, row->certificate);
        } catch (const CError& error) {
            ShowError(this, error, nullptr);
        }
    }

    CListDialogParams& m_params;
    const bool m_modal;
    std::vector<CListDialogParams::CItem> m_rows;
    CListView* m_list;
    QPlainTextEdit* m_value;
    QPushButton* m_certificate;
    QPushButton* m_ok;
};

// The dialog cannot work without its list.
void requireList(QDialog* dialog) {
    if (!GetDlgItem(dialog, IdList)) throw CError("ListView absent.", Vsk::Utils::LastErrorCode);
}

}  // namespace

CListDialogParams::CListDialogParams() : m_dialog(nullptr), m_icon(nullptr) {}

CListDialogParams::~CListDialogParams() = default;

void CListDialogParams::addItem(const CWString& name, const CWString& value) {
    m_items.add(CItem{name, value, nullptr});
}

void CListDialogParams::attachToLastItem(const CWString& name, PCCERT_CONTEXT certificate) {
    if (certificate) {
        m_items[m_items.getCount() ? m_items.getCount() - 1 : 0].certificate = certificate;
        return;
    }
    m_items.add(CItem{name, CWString(), nullptr});
}

void CListDialogParams::setIcon(UINT resourceId) {
    if (resourceId) m_icon = LoadIconW(nullptr, MAKEINTRESOURCEW(resourceId));
}

void CListDialogParams::show(const CWString& caption, const CWString& firstColumnTitle,
                             const CWString& secondColumnTitle, HWND parent, bool modal) {
    Dialogs::CKeepLastError keep;
    m_caption = caption;
    m_firstColumnTitle = firstColumnTitle;
    m_secondColumnTitle = secondColumnTitle;
    CLib templates(u"VskTspClient.dll");
    LoadDialogTemplateModule(templates);
    if (!canCreateDialog(parent)) throw CError();
    RunOnGuiThread([&] {
        if (modal) {
            CListDialog dialog(*this, parent, true);
            requireList(&dialog);
            m_dialog = &dialog;
            dialog.exec();
            m_dialog = nullptr;
        } else {
            auto dialog = std::make_unique<CListDialog>(*this, parent, false);
            requireList(dialog.get());
            m_dialog = dialog.get();
            dialog.release()->show();
        }
    });
}

}  // namespace Vsk::InternalUtils
