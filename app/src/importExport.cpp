// Certificates and whole stores to and from files: the import of a certificate file into the selected
// store, the export of the selected certificate in one of three formats (with the format dialog), the
// store menu of the tree, and the installation and saving of ".store" files.
#include "kestrovanDlg.h"

#include <vsk/utils/base64.h>
#include <vsk/utils/file.h>
#include <vsk/utils/gui.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <QAction>
#include <QHBoxLayout>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

using Vsk::InternalUtils::CFile;
using Vsk::InternalUtils::CLogScope;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CStore;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

constexpr int IdExportTemplate = 105;
constexpr int IdBinary = 1005;
constexpr int IdBase64 = 1006;
constexpr int IdBase64Headed = 1007;

constexpr DWORD AddAlways = 4;          // CERT_STORE_ADD_ALWAYS
constexpr DWORD CreateAlways = 2;       // CREATE_ALWAYS
constexpr DWORD OpenReadOnly = 0xC000;  // CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG
constexpr int StoreMenu = 4;

// The file dialogs' filters: description and patterns, pair by pair, ending with an empty description.
const WCHAR CertificateFilter[] = u"Сертификаты\0*.cer;*.crt\0Все файлы\0*\0";
const WCHAR StoreFilter[] = u"Хранилища\0*.store;*.sto\0Все файлы\0*\0";

QString idName(int id) {
    return QStringLiteral("id_%1").arg(id);
}

// The exported file's content in the format chosen in the dialog.
CDataBlob exportContent(const CDataBlob& der, int32_t format) {
    if (format != IdBase64 && format != IdBase64Headed) return der;
    // Lines of 76 characters joined by CR LF; a CR LF also follows the last full line when the
    // encoding of the complete three-byte groups ends there.
    CAString text = Vsk::Utils::Base64Enc(der, 0);
    if (format == IdBase64Headed)
        text = CAString("-----BEGIN CERTIFICATE-----\r\n") + text + CAString("\r\n-----END CERTIFICATE-----");
    return CDataBlob(text.c_str(), text.getLength(), true);
}

void writeFile(const CWString& path, const CDataBlob& content) {
    CFile file(content);
    file.writeAll(path.c_str(), CreateAlways);
}

// The file dialogs: a cancel is reported with the thread's last error appended to "Файл не выбран.";
// what an earlier call left there has nothing to do with the cancel.
CWString selectExistingFile(const CWString& title, QWidget* owner, const WCHAR* filter,
                            const WCHAR* extension) {
    SetLastError(0);
    return Vsk::InternalUtils::SelectExistingFile(title.c_str(), owner, filter, extension, nullptr);
}

CWString selectWriteFile(const CWString& title, QWidget* owner, const WCHAR* filter, const WCHAR* extension,
                         const CWString& initialName) {
    SetLastError(0);
    return Vsk::InternalUtils::SelectWriteFile(title.c_str(), owner, filter, extension, initialName.c_str());
}

CDataBlob readFile(const CWString& path) {
    CFile file;
    file.readAll(path.c_str());
    return CDataBlob(static_cast<const CDataBlob&>(file));
}

}  // namespace

// ---- The format dialog ---------------------------------------------------------------------------------

CExportType::CExportType(QWidget* parent)
    : QDialog(parent,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setObjectName(idName(IdExportTemplate));
    setWindowTitle(QStringLiteral(u"Выберите формат сохраняемых данных"));
    const struct {
        int id;
        const char16_t* text;
    } formats[] = {{IdBinary, u"Бинарный"}, {IdBase64, u"Base64"}, {IdBase64Headed, u"Base64 с заголовками"}};
    auto* layout = new QVBoxLayout(this);
    for (size_t i = 0; i < std::size(formats); ++i) {
        // Radio buttons of one parent exclude each other.
        m_buttons[i] = new QRadioButton(QString::fromUtf16(formats[i].text), this);
        m_buttons[i]->setObjectName(idName(formats[i].id));
        layout->addWidget(m_buttons[i]);
    }
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(idName(IDOK));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral(u"Отмена"), this);
    cancel->setObjectName(idName(IDCANCEL));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addStretch(1);
    layout->addLayout(buttons);
    setFixedSize(layout->sizeHint().expandedTo(QSize(300, 0)));

    connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(cancel, &QPushButton::clicked, this, [this] { done(IDCANCEL); });
    OnInitDialog();
}

BOOL CExportType::OnInitDialog() {
    CLogScope scope("CExportType::OnInitDialog", 3);
    m_buttons[0]->setChecked(true);
    return TRUE;
}

void CExportType::OnOK() {
    CLogScope scope("CExportType::OnOK", 3);
    static const int Ids[] = {IdBinary, IdBase64, IdBase64Headed};
    for (size_t i = 0; i < std::size(Ids); ++i) {
        if (m_buttons[i]->isChecked()) {
            m_type = Ids[i];
            break;
        }
    }
    done(IDOK);
}

// Certificate files are a few kilobytes; anything bigger is not dumped into the log.
constexpr size_t MaxLoggedImport = 64 * 1024;

// Whether a file that failed to import may go into the log as it is: not when it is large, and never
// when it holds a private key (a PEM or PKCS#12 key file chosen in place of the certificate).
bool mayLogImportedContent(const CDataBlob& content) {
    if (content.getSize() > MaxLoggedImport) return false;
    const QByteArray bytes(reinterpret_cast<const char*>(content.getData()),
                           static_cast<qsizetype>(content.getSize()));
    return !bytes.contains("PRIVATE KEY") && !bytes.contains("ENCRYPTED KEY");
}

// ---- Import and export of one certificate ---------------------------------------------------------------

void CKestrovanDlg::OnImport() {
    CLogScope scope("CKestrovanDlg::OnImport", 3);
    if (!isStoreNode(m_currentNode)) return;
    const QString caption = QStringLiteral(u"Импорт сертификата");
    CDataBlob content;
    bool failed = false;
    try {
        const CWString path =
            selectExistingFile(CWString(u"Выберите файл сертификата"), this, CertificateFilter, u"cer");
        content = readFile(path);
        CDataBlob bytes = content;
        CDataBlob decoded;
        if (Vsk::Utils::IsBase64(content, &decoded)) bytes = decoded;
        CCertificate certificate(true);
        certificate.LoadFromBlob(bytes);
        // Declining the system's confirmation or the key binding does not stop the command.
        const bool mine = m_currentNode == reinterpret_cast<NodeId>(StoreMY);
        (void)m_openStore.InstallCertificate(certificate, AddAlways, mine);
        if (m_options & OPTION_REPLACE_IN_CONTAINER) {
            // The certificate is written into its key container too (for every store).
            (void)certificate.BindWithKeyContainer(Vsk::PKI::CPassword(), isComputerLocation(), true, false,
                                                   false);
        }
        refresh(false);
        messageBox(QStringLiteral(u"Сертификат \"") + toQ(certificate.get_SubjectShortName()) +
                       QStringLiteral(u"\" был успешно установлен!"),
                   caption, MB_ICONINFORMATION);
    } catch (const CError& e) {
        failed = true;
        showError(e, caption);
    } catch (...) {
        failed = true;
        messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
    }
    // What could not be imported goes into the developer log, for the support; a file that holds a key
    // (picked by mistake) or is far too big for a certificate is logged by its size only.
    if (failed && content.getSize() && Vsk::InternalUtils::GetLogLevel() >= 3) {
        CWString what;
        if (mayLogImportedContent(content))
            what = Vsk::Utils::ToBase64Text(content);
        else
            what = fromQ(QStringLiteral("<%1 bytes not logged>").arg(content.getSize()));
        Vsk::InternalUtils::LogAt(3, CWString(u"CKestrovanDlg::OnImport Import certificate: ") + what);
    }
}

void CKestrovanDlg::OnExport() {
    CLogScope scope("CKestrovanDlg::OnExport", 3);
    if (!isStoreNode(m_currentNode)) return;
    const QString caption = QStringLiteral(u"Экспорт сертификата");
    try {
        const auto* selected = static_cast<const CCertificate*>(getSelectedItemData());
        if (!selected) return;
        const CCertificate certificate = *selected;
        const CDataBlob der = certificate.get_Encoded();
        CExportType dialog(this);
        if (dialog.exec() != IDOK) return;
        const CDataBlob content = exportContent(der, dialog.m_type);
        const CWString name =
            Vsk::InternalUtils::MakeValidFileName(certificate.get_SubjectShortName()) + u".cer";
        const CWString path =
            selectWriteFile(CWString(u"Сохраните сертификат в файле"), this, CertificateFilter, u"cer", name);
        writeFile(path, content);
    } catch (const CError& e) {
        showError(e, caption);
    } catch (...) {
        messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
    }
}

// ---- The store menu of the tree and store files --------------------------------------------------------

QMenu* CKestrovanDlg::prepareTreeMenu(QTreeWidgetItem* item) {
    m_contextNode = nodeOf(item);
    if (!isStoreNode(m_contextNode)) return nullptr;
    const QString caption = QStringLiteral(u"Хранилище");
    try {
        CStore store(true);
        store.Open(storeNameOf(m_contextNode), getStoreLocationFlags() | OpenReadOnly);
        // An empty store has nothing to save.
        if (QAction* save = menuItem(StoreMenu, CMD_SAVE_STORE)) save->setEnabled(!store.isEmpty());
        return subMenu(StoreMenu);
    } catch (const CError& e) {
        showError(e, caption);
    } catch (...) {
        messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
    }
    return nullptr;
}

void CKestrovanDlg::OnNMRClickTreeStore(const QPoint& position) {
    CLogScope scope("CKestrovanDlg::OnNMRClickTreeStore", 3);
    // The position is in the tree's viewport, where its items are. The tree's selection stays.
    QTreeWidgetItem* item = m_tree->itemAt(position);
    if (!item) return;
    if (QMenu* menu = prepareTreeMenu(item)) menu->exec(m_tree->viewport()->mapToGlobal(position));
}

void CKestrovanDlg::OnAddStore() {
    CLogScope scope("CKestrovanDlg::OnAddStore", 3);
    if (!isStoreNode(m_contextNode)) return;
    const WCHAR* name = storeNameOf(m_contextNode);
    const QString caption = QStringLiteral(u"Загрузка хранилища");
    try {
        const CWString title = CWString(u"Загрузите хранилище ") + CWString(name);
        const CWString path = selectExistingFile(title, this, StoreFilter, u"store");
        Vsk::Utils::CArray<CCertificate> certificates;
        {
            CStore file(true);
            file.Load(readFile(path));
            CProgressImpl progress(m_progress, this);
            file.GetCertificates(&certificates, &progress);
        }
        size_t installed = 0;
        if (certificates.getCount()) {
            CStore target(true);
            target.Open(name, getStoreLocationFlags() | STORE_OPEN_EXISTING);
            const bool mine = CWString(name) == CWString(StoreMY);
            for (const CCertificate& certificate : certificates) {
                try {
                    (void)target.InstallCertificate(certificate, AddAlways, mine);
                    ++installed;
                } catch (const CError& e) {
                    showError(e, QStringLiteral(u"Установка сертификата"));
                } catch (...) {
                    messageBox(QStringLiteral("..."), QStringLiteral(u"Установка сертификата"), MB_ICONERROR);
                }
            }
        }
        refresh(false);
        if (installed)
            messageBox(QString::fromUtf16(installed == certificates.getCount() ? u"Все с" : u"С") +
                           QStringLiteral(u"ертификаты (%1 шт.) из хранилища \"").arg(installed) + toQ(path) +
                           QStringLiteral(u"\" были успешно установлены!"),
                       QStringLiteral(u"Добавление хранилища"), MB_ICONINFORMATION);
    } catch (const CError& e) {
        showError(e, caption);
    } catch (...) {
        messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
    }
}

void CKestrovanDlg::OnSaveStore() {
    CLogScope scope("CKestrovanDlg::OnSaveStore", 3);
    if (!isStoreNode(m_contextNode)) return;
    const WCHAR* name = storeNameOf(m_contextNode);
    const QString caption = QStringLiteral(u"Сохранение хранилища");
    try {
        CStore store(true);
        store.Open(name, getStoreLocationFlags() | STORE_OPEN_EXISTING);
        const CDataBlob serialized = store.Save();
        const CWString title = CWString(u"Сохраните хранилище ") + CWString(name);
        const CWString initial = CWString(name) + u".store";
        const CWString path = selectWriteFile(title, this, StoreFilter, u"store", initial);
        writeFile(path, serialized);
    } catch (const CError& e) {
        showError(e, caption);
    } catch (...) {
        messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
    }
}
