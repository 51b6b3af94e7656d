// The two-column list dialog (template 101): a list of names and values, a box with the selected
// value and a button that opens the certificate of the selected row.
#include "dialogs.h"

#include <vsk/utils/gui.h>
#include <vsk/utils/logScope.h>

#include <QHeaderView>
#include <QIcon>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QResizeEvent>
#include <QTreeWidget>

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

class CListDialog : public QDialog {
public:
    CListDialog(CListDialogParams& params, HWND parent, bool modal)
        : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint |
                              Qt::WindowCloseButtonHint),
          m_params(params),
          m_modal(modal) {
        setObjectName(QStringLiteral("listDialog"));
        applyTemplateFont(this);
        resize(dluX(275), dluY(255));
        setSizeGripEnabled(true);
        // Created in the template's order, which is also the tab order.
        m_list = placeControl(new QTreeWidget(this), IdList, dluRect(7, 7, 261, 161));
        m_value = placeControl(new QPlainTextEdit(this), IdValue, dluRect(7, 178, 261, 51));
        m_certificate = placeControl(new QPushButton(this), IdCertificate, dluRect(7, 234, 65, 14));
        m_ok = placeControl(new QPushButton(QStringLiteral("ОК"), this), IDOK, dluRect(218, 234, 50, 14));
        m_value->setReadOnly(true);
        m_value->setTabChangesFocus(true);
        m_certificate->hide();
        m_ok->setDefault(true);
        m_list->setRootIsDecorated(false);
        m_list->setSelectionMode(QAbstractItemView::SingleSelection);
        m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
        m_list->setAllColumnsShowFocus(true);
        m_list->header()->setStretchLastSection(false);
        m_list->header()->setSectionsClickable(false);

        setWindowTitle(toQ(params.m_caption));
        if (params.m_icon) SetWindowIcon(this, params.m_icon);
        m_list->setHeaderLabels({toQ(params.m_firstColumnTitle), toQ(params.m_secondColumnTitle)});
        for (int column = 0; column < 2; ++column)
            m_list->header()->resizeSection(column, m_list->header()->sectionSizeHint(column));
        // Each list item keeps its own copy of the row, as long as the dialog lives.
        for (const CListDialogParams::CItem& item : params.m_items) {
            m_rows.push_back(item);
            new QTreeWidgetItem(m_list, {toQ(item.name), toQ(item.value)});
        }
        m_list->resizeColumnToContents(0);

        connect(m_list, &QTreeWidget::currentItemChanged, this,
                [this](QTreeWidgetItem* item) { select(item); });
        connect(m_ok, &QPushButton::clicked, this, [this] { done(IDOK); });
        connect(m_certificate, &QPushButton::clicked, this, [this] { openCertificate(); });
        layoutControls(width(), height());
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QDialog::resizeEvent(event);
        layoutControls(event->size().width(), event->size().height());
    }

    void reject() override { done(IDCANCEL); }

    void done(int result) override {
        QDialog::done(result);
        if (!m_modal) {
            m_params.m_dialog = nullptr;
            deleteLater();
        }
    }

private:
    // The template's resizing rule: buttons keep their sizes in the bottom corners, the value box
    // takes a fifth of the height above them, the list the rest.
    void layoutControls(int w, int h) {
        const QSize certificateSize = m_certificate->size();
        const QSize okSize = m_ok->size();
        m_certificate->move(8, h - certificateSize.height() - 8);
        m_ok->move(w - okSize.width() - 8, h - okSize.height() - 8);
        const int valueHeight = (h - okSize.height() - 32) / 5;
        m_value->setGeometry(8, h - valueHeight - okSize.height() - 16, w - 16, valueHeight);
        m_list->setGeometry(8, 8, w - 16, (4 * (h - okSize.height()) - 128) / 5);
        m_list->resizeColumnToContents(0);
        m_list->setColumnWidth(1, 2 * (w - 16) / 3);
    }

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
    QTreeWidget* m_list;
    QPlainTextEdit* m_value;
    QPushButton* m_certificate;
    QPushButton* m_ok;
};

// The dialog cannot work without its list.
void requireList(QDialog* dialog) {
    if (!GetDlgItem(dialog, IdList)) throw CError("ListView absent.", static_cast<DWORD>(-1));
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
