// The certificate and CRL viewers in the manner of the system's: a certificate on the pages "Общие"
// (to whom, by whom, validity, purposes, status), "Состав" (every field with its value, the selected
// one shown whole below) and "Путь сертификации"; a CRL on "Общие" (its fields) and "Список отзыва"
// (the revoked certificates, the selected one's fields below). The stand-in modules "Cryptui.dll"
// and "cryptext.dll" export them.
#include "viewerFields.h"

#include <vsk/platform/cryptui.h>
#include <vsk/platform/gui.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/module.h>
#include <vsk/platform/windowMessages.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStringList>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <vector>

namespace vsk::gui {

namespace {

constexpr DWORD CertificateContext = 1;  // CERT_STORE_CERTIFICATE_CONTEXT
constexpr DWORD CrlContext = 2;          // CERT_STORE_CRL_CONTEXT

// A field list with the selected value shown whole below it.
class FieldList : public QWidget {
public:
    FieldList(const QString& objectName, QWidget* parent) : QWidget(parent) {
        setObjectName(objectName);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* splitter = new QSplitter(Qt::Vertical, this);
        m_list = new QTreeWidget(splitter);
        m_list->setObjectName(QStringLiteral("fields"));
        m_list->setColumnCount(2);
        m_list->setHeaderLabels({QStringLiteral("Поле"), QStringLiteral("Значение")});
        m_list->setRootIsDecorated(false);
        m_list->setAllColumnsShowFocus(true);
        m_list->setUniformRowHeights(true);
        m_list->header()->setStretchLastSection(true);
        m_list->header()->setSectionResizeMode(0, QHeaderView::Interactive);
        m_value = new QPlainTextEdit(splitter);
        m_value->setObjectName(QStringLiteral("fieldValue"));
        m_value->setReadOnly(true);
        m_value->setTabChangesFocus(true);
        splitter->addWidget(m_list);
        splitter->addWidget(m_value);
        splitter->setStretchFactor(0, 3);
        splitter->setStretchFactor(1, 1);
        splitter->setChildrenCollapsible(false);
        layout->addWidget(splitter);
        QObject::connect(m_list, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
            const int row = item ? m_list->indexOfTopLevelItem(item) : -1;
            m_value->setPlainText(row >= 0 && static_cast<size_t>(row) < m_fields.size()
                                      ? m_fields[static_cast<size_t>(row)].fullValue
                                      : QString());
        });
    }

    void setFields(std::vector<Field> fields) {
        m_fields = std::move(fields);
        m_list->clear();
        m_value->clear();
        for (const Field& field : m_fields) {
            auto* item = new QTreeWidgetItem(m_list, {field.name, field.value});
            item->setToolTip(1, field.value);
        }
        // The names whole where they fit in half the list; the values take the rest.
        m_list->resizeColumnToContents(0);
        m_list->header()->resizeSection(0, std::min(m_list->header()->sectionSize(0) + 12, 330));
    }

    QTreeWidget* list() const { return m_list; }

private:
    std::vector<Field> m_fields;
    QTreeWidget* m_list;
    QPlainTextEdit* m_value;
};

QLabel* boldLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

QLabel* valueLabel(const QString& objectName, const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(objectName);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// The frame of both viewers: the pages and an OK button.
class ViewerDialog : public QDialog {
public:
    ViewerDialog(HWND parent, const QString& objectName, const QString& title) : QDialog(parent) {
        setObjectName(objectName);
        setWindowTitle(title);
        auto* layout = new QVBoxLayout(this);
        m_tabs = new QTabWidget(this);
        m_tabs->setObjectName(QStringLiteral("pages"));
        layout->addWidget(m_tabs);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
        buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("ОК"));
        QObject::connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
        layout->addWidget(buttons);
        resize(680, 600);
    }

    QTabWidget* tabs() const { return m_tabs; }

private:
    QTabWidget* m_tabs;
};

QWidget* certificateGeneralPage(PCCERT_CONTEXT context, QWidget* parent) {
    const CertificateSummary summary = certificateSummary(context);
    auto* page = new QWidget(parent);
    page->setObjectName(QStringLiteral("general"));
    auto* layout = new QVBoxLayout(page);
    auto* box = new QFrame(page);
    box->setFrameShape(QFrame::StyledPanel);
    auto* boxLayout = new QVBoxLayout(box);
    boxLayout->addWidget(boldLabel(QStringLiteral("Сведения о сертификате"), box));
    boxLayout->addWidget(new QLabel(QStringLiteral("Этот сертификат предназначается для:"), box));
    QStringList bullets;
    for (const QString& purpose : summary.purposes) bullets << QStringLiteral("• ") + purpose;
    boxLayout->addWidget(valueLabel(QStringLiteral("purposes"), bullets.join(u'\n'), box));
    auto* line = new QFrame(box);
    line->setFrameShape(QFrame::HLine);
    boxLayout->addWidget(line);
    auto* form = new QGridLayout;
    form->addWidget(boldLabel(QStringLiteral("Кому выдан:"), box), 0, 0, Qt::AlignTop);
    form->addWidget(valueLabel(QStringLiteral("issuedTo"), summary.issuedTo, box), 0, 1);
    form->addWidget(boldLabel(QStringLiteral("Кем выдан:"), box), 1, 0, Qt::AlignTop);
    form->addWidget(valueLabel(QStringLiteral("issuedBy"), summary.issuedBy, box), 1, 1);
    form->addWidget(boldLabel(QStringLiteral("Действителен с"), box), 2, 0, Qt::AlignTop);
    form->addWidget(valueLabel(QStringLiteral("validity"),
                               summary.validFrom + QStringLiteral(" по ") + summary.validTo, box),
                    2, 1);
    form->setColumnStretch(1, 1);
    form->setVerticalSpacing(12);
    boxLayout->addSpacing(8);
    boxLayout->addLayout(form);
    boxLayout->addStretch(1);
    QString status = summary.status;
    if (summary.hasPrivateKey) status += QStringLiteral("\nЕсть закрытый ключ для этого сертификата.");
    boxLayout->addWidget(valueLabel(QStringLiteral("status"), status, box));
    layout->addWidget(box);
    return page;
}

// What the path page says of one element of the chain: every fault its trust status holds, one line
// each, or that it is valid.
QString elementStatusText(DWORD errors) {
    static const struct {
        DWORD bits;
        const char16_t* text;
    } faults[] = {
        {CERT_TRUST_IS_NOT_SIGNATURE_VALID, u"Цифровая подпись этого сертификата недействительна."},
        {CERT_TRUST_IS_REVOKED, u"Этот сертификат отозван центром сертификации."},
        {CERT_TRUST_IS_EXPLICIT_DISTRUST, u"Этот сертификат явно помечен как недоверенный."},
        {CERT_TRUST_IS_NOT_TIME_VALID, u"Срок действия этого сертификата истек или еще не наступил."},
        {CERT_TRUST_IS_UNTRUSTED_ROOT,
         u"Корневой сертификат цепочки не является доверенным: он не установлен в хранилище доверенных "
         u"корневых центров сертификации."},
        {CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC,
         u"Невозможно найти издателя этого сертификата: путь сертификации не полон."},
        {CERT_TRUST_INVALID_BASIC_CONSTRAINTS,
         u"Этот сертификат не может выпускать сертификаты, или превышена допустимая длина пути."},
        {CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT,
         u"Этот сертификат содержит неподдерживаемое критическое расширение."},
        {CERT_TRUST_INVALID_EXTENSION | CERT_TRUST_INVALID_POLICY_CONSTRAINTS |
             CERT_TRUST_INVALID_NAME_CONSTRAINTS | CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT |
             CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT | CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT |
             CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT,
         u"Этот сертификат содержит недопустимое расширение."},
        {CERT_TRUST_IS_NOT_TIME_NESTED,
         u"Срок действия этого сертификата выходит за срок действия издателя."},
        {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, u"Этот сертификат не предназначен для этой цели."},
        {CERT_TRUST_IS_OFFLINE_REVOCATION,
         u"Сервер отзыва недоступен, а сохраненный список отзыва устарел или отсутствует."},
        {CERT_TRUST_REVOCATION_STATUS_UNKNOWN, u"Не удалось проверить, не отозван ли этот сертификат."},
    };
    QStringList lines;
    DWORD seen = 0;
    for (const auto& fault : faults)
        if (errors & fault.bits) {
            lines << QString::fromUtf16(fault.text);
            seen |= fault.bits;
        }
    if (errors & ~seen) lines << QStringLiteral("Этот сертификат недействителен.");
    return lines.isEmpty() ? QStringLiteral("Этот сертификат действителен.") : lines.join(u'\n');
}

// The chain from the root down to the certificate, each element with its status shown below when
// selected (the certificate itself at first). The viewer never waits on the network: revocation comes
// from the stores and the CRL cache only.
QWidget* certificatePathPage(PCCERT_CONTEXT context, HCERTSTORE ownStore, QWidget* parent) {
    auto* page = new QWidget(parent);
    page->setObjectName(QStringLiteral("path"));
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("Путь сертификации"), page));
    auto* tree = new QTreeWidget(page);
    tree->setObjectName(QStringLiteral("chain"));
    tree->setHeaderHidden(true);
    layout->addWidget(tree);
    layout->addWidget(new QLabel(QStringLiteral("Состояние сертификата:"), page));
    QLabel* status = valueLabel(QStringLiteral("chainStatus"),
                                QStringLiteral("Путь сертификации построить не удалось."), page);
    layout->addWidget(status);

    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    const DWORD flags = CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT |
                        CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, context, nullptr, ownStore, &para, flags, nullptr, &chain))
        return page;
    if (chain->cChain && chain->rgpChain[0]->cElement) {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
        QTreeWidgetItem* above = nullptr;
        for (DWORD i = simple->cElement; i-- > 0;) {
            const CERT_CHAIN_ELEMENT* element = simple->rgpElement[i];
            const QString name = certificateSummary(element->pCertContext).issuedTo;
            auto* item = above ? new QTreeWidgetItem(above, {name}) : new QTreeWidgetItem(tree, {name});
            item->setData(0, Qt::UserRole, elementStatusText(element->TrustStatus.dwErrorStatus));
            above = item;
        }
        tree->expandAll();
        QObject::connect(tree, &QTreeWidget::currentItemChanged, status, [status](QTreeWidgetItem* item) {
            if (item) status->setText(item->data(0, Qt::UserRole).toString());
        });
        tree->setCurrentItem(above);
    }
    CertFreeCertificateChain(chain);
    return page;
}

bool haveWindows() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) return true;
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

// A context of the stand-in over the bytes: the decoded structures the pages read.
PCCERT_CONTEXT decodedCertificate(PCCERT_CONTEXT context) {
    return CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, context->pbCertEncoded,
                                        context->cbCertEncoded);
}

BOOL showCertificate(HWND parent, LPCWSTR title, PCCERT_CONTEXT given) {
    const DWORD callerError = GetLastError();
    PCCERT_CONTEXT context = decodedCertificate(given);
    if (!context) {
        SetLastError(CRYPT_E_BAD_ENCODE_CODE);
        return FALSE;
    }
    if (!haveWindows()) {
        CertFreeCertificateContext(context);
        return FALSE;
    }
    const QString caption = title ? QString::fromUtf16(title) : QStringLiteral("Сертификат");
    RunOnGuiThread([&] {
        ViewerDialog dialog(parent, QStringLiteral("certificateViewer"), caption);
        dialog.tabs()->addTab(certificateGeneralPage(context, &dialog), QStringLiteral("Общие"));
        auto* fields = new FieldList(QStringLiteral("details"), &dialog);
        fields->setFields(certificateFields(context));
        dialog.tabs()->addTab(fields, QStringLiteral("Состав"));
        dialog.tabs()->addTab(certificatePathPage(context, given->hCertStore, &dialog),
                              QStringLiteral("Путь сертификации"));
        dialog.exec();
    });
    CertFreeCertificateContext(context);
    SetLastError(callerError);
    return TRUE;
}

BOOL showCrl(HWND parent, LPCWSTR title, PCCRL_CONTEXT given) {
    const DWORD callerError = GetLastError();
    PCCRL_CONTEXT context = CertCreateCRLContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, given->pbCrlEncoded,
                                                 given->cbCrlEncoded);
    if (!context) {
        SetLastError(CRYPT_E_BAD_ENCODE_CODE);
        return FALSE;
    }
    if (!haveWindows()) {
        CertFreeCRLContext(context);
        return FALSE;
    }
    const QString caption = title ? QString::fromUtf16(title) : QStringLiteral("Список отзыва сертификатов");
    RunOnGuiThread([&] {
        ViewerDialog dialog(parent, QStringLiteral("crlViewer"), caption);
        auto* general = new QWidget(&dialog);
        auto* generalLayout = new QVBoxLayout(general);
        generalLayout->addWidget(boldLabel(QStringLiteral("Сведения о списке отзыва сертификатов"), general));
        auto* fields = new FieldList(QStringLiteral("details"), general);
        fields->setFields(crlFields(context));
        generalLayout->addWidget(fields);
        dialog.tabs()->addTab(general, QStringLiteral("Общие"));

        const CRL_INFO& info = *context->pCrlInfo;
        auto* revoked = new QWidget(&dialog);
        auto* revokedLayout = new QVBoxLayout(revoked);
        revokedLayout->addWidget(new QLabel(QStringLiteral("Отозванные сертификаты:"), revoked));
        auto* list = new QTreeWidget(revoked);
        list->setObjectName(QStringLiteral("revoked"));
        list->setHeaderLabels({QStringLiteral("Серийный номер"), QStringLiteral("Дата отзыва")});
        list->setRootIsDecorated(false);
        list->setAllColumnsShowFocus(true);
        for (DWORD i = 0; i < info.cCRLEntry; ++i)
            new QTreeWidgetItem(list, {serialText(info.rgCRLEntry[i].SerialNumber),
                                       localTime(info.rgCRLEntry[i].RevocationDate)});
        list->resizeColumnToContents(0);
        revokedLayout->addWidget(list, 2);
        revokedLayout->addWidget(new QLabel(QStringLiteral("Сведения о записи отзыва:"), revoked));
        auto* entry = new FieldList(QStringLiteral("entry"), revoked);
        revokedLayout->addWidget(entry, 1);
        QObject::connect(
            list, &QTreeWidget::currentItemChanged, entry, [&info, list, entry](QTreeWidgetItem* item) {
                const int row = item ? list->indexOfTopLevelItem(item) : -1;
                entry->setFields(row >= 0 ? crlEntryFields(info.rgCRLEntry[row]) : std::vector<Field>());
            });
        dialog.tabs()->addTab(revoked, QStringLiteral("Список отзыва"));
        dialog.exec();
    });
    CertFreeCRLContext(context);
    SetLastError(callerError);
    return TRUE;
}

}  // namespace

}  // namespace vsk::gui

using namespace vsk::gui;

BOOL CryptUIDlgViewCertificateW(const CRYPTUI_VIEWCERTIFICATE_STRUCTW* view, BOOL* propertiesChanged) {
    if (propertiesChanged) *propertiesChanged = FALSE;
    if (!view || view->dwSize != sizeof(CRYPTUI_VIEWCERTIFICATE_STRUCTW) || !view->pCertContext) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return showCertificate(view->hwndParent, view->szTitle, view->pCertContext);
}

BOOL CryptUIDlgViewContext(DWORD contextType, const void* context, HWND owner, LPCWSTR title, DWORD flags,
                           void* reserved) {
    // The callers pass no flags and nothing reserved: the dialog has no variants to choose.
    (void)flags;
    (void)reserved;
    if (!context || (contextType != CertificateContext && contextType != CrlContext)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    if (contextType == CertificateContext)
        return showCertificate(owner, title, static_cast<PCCERT_CONTEXT>(context));
    return showCrl(owner, title, static_cast<PCCRL_CONTEXT>(context));
}

void CryptExtOpenCRL(HWND owner, HINSTANCE module, LPCSTR path, int showCommand) {
    // The module handle and show command of the shell's entry point mean nothing to a Qt dialog, which
    // is always shown normally.
    (void)module;
    (void)showCommand;
    const DWORD callerError = GetLastError();
    QString file;
    if (path) {
        // The shell hands the path over in the program's 8-bit code page.
        const int size = MultiByteToWideChar(1251, 0, path, -1, nullptr, 0);
        std::u16string wide(size > 0 ? static_cast<size_t>(size) : 1, u'\0');
        MultiByteToWideChar(1251, 0, path, -1, wide.data(), size);
        wide.resize(size > 0 ? static_cast<size_t>(size) - 1 : 0);
        file = QString::fromStdU16String(wide);
    }
    QFile input(file);
    QByteArray der;
    if (input.open(QIODevice::ReadOnly)) der = input.readAll();
    PCCRL_CONTEXT crl = der.isEmpty() ? nullptr
                                      : CertCreateCRLContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                             reinterpret_cast<const BYTE*>(der.constData()),
                                                             static_cast<DWORD>(der.size()));
    if (!crl) {
        const QString text =
            QStringLiteral("Файл \"") + file +
            QStringLiteral("\" не является списком отзыва сертификатов или не может быть прочитан.");
        MessageBoxW(owner, reinterpret_cast<LPCWSTR>(text.utf16()), u"Список отзыва сертификатов",
                    MB_ICONERROR);
    } else {
        showCrl(owner, nullptr, crl);
        CertFreeCRLContext(crl);
    }
    SetLastError(callerError);
}

namespace vsk::gui {

namespace {

bool RegisterViewers() {
    // Resident: a program with the windowing part has CryptUI loaded, as one that imports it.
    RegisterStandInModule(u"Cryptui.dll",
                          {{"CryptUIDlgViewCertificateW", StandInAddress(&CryptUIDlgViewCertificateW)},
                           {"CryptUIDlgViewContext", StandInAddress(&CryptUIDlgViewContext)}},
                          true);
    RegisterStandInModule(u"cryptext.dll", {{"CryptExtOpenCRL", StandInAddress(&CryptExtOpenCRL)}});
    // The library asks its questions (deleting a container's certificate requests) through the
    // message box it finds here, and tells the windows about tokens through the posted message,
    // without linking the windowing part.
    RegisterStandInModule(
        u"User32.dll",
        {{"MessageBoxW", StandInAddress(&MessageBoxW)}, {"PostMessageW", StandInAddress(&PostMessageW)}},
        true);
    return true;
}

}  // namespace

// Referenced from the window functions, so that every program with windows carries the viewers.
extern const bool viewersRegistered = RegisterViewers();

}  // namespace vsk::gui
