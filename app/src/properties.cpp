// The properties of the selected row (a certificate's or a CRL's viewer, a key container's property
// list) and the installation of a certificate's CRL.
#include "kestrovanDlg.h"

#include <vsk/pki/CryptError.h>
#include <vsk/pki/OidNames.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/gui.h>
#include <vsk/utils/logScope.h>

#include <QApplication>
#include <QTreeWidget>

using Vsk::InternalUtils::CLogScope;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CCrl;
using Vsk::PKI::CKeyContainer;
using Vsk::PKI::CStore;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

constexpr int IdKeyIcon = 171;
constexpr DWORD CryptErrorExists = 0x80092005;  // CRYPT_E_EXISTS
constexpr DWORD AddNewer = 6;                   // CERT_STORE_ADD_NEWER

CWString wide(const QString& text) {
    return fromQ(text);
}

// A local date "dd.mm.yyyy".
QString localDate(const FILETIME& local) {
    SYSTEMTIME time{};
    if (!FileTimeToSystemTime(&local, &time)) return {};
    return QString::asprintf("%02u.%02u.%04u", time.wDay, time.wMonth, time.wYear);
}

QString keyPurpose(DWORD keySpec) {
    if (keySpec == AT_KEYEXCHANGE) return QStringLiteral(u"подпись и шифрование");
    if (keySpec == AT_SIGNATURE) return QStringLiteral(u"подпись");
    return {};
}

PublicKeyReader& publicKeyReader() {
    static PublicKeyReader reader;
    return reader;
}

}  // namespace

void SetPublicKeyReaderForTests(PublicKeyReader reader) {
    publicKeyReader() = std::move(reader);
}

// ---- Properties ----------------------------------------------------------------------------------------

void CKestrovanDlg::showProperties(CKeyContainer& container) {
    CLogScope scope("CKestrovanDlg::showProperties", 3);
    CWaitCursor wait;
    Vsk::InternalUtils::CListDialogParams params;
    params.addItem(wide(QStringLiteral(u"Наименование контейнера")), container.get_Name());
    params.addItem(wide(QStringLiteral(u"Уникальное наименование")), container.get_UniqueName());
    params.addItem(wide(QStringLiteral(u"Назначение ключей")), wide(keyPurpose(container.get_KeySpec())));
    const CAString oid = Vsk::PKI::AlgIdToOID(container.get_KeyAID());
    QString algorithm = fromCp1251(oid.c_str());
    if (!algorithm.isEmpty())
        algorithm += QStringLiteral(" (") + toQ(Vsk::PKI::NameFromOID(oid)) + QLatin1Char(')');
    params.addItem(wide(QStringLiteral(u"Алгоритм ключей")), wide(algorithm));
    params.addItem(wide(QStringLiteral(u"Длина ключа (бит)")),
                   wide(QString::number(container.get_KeyLength())));
    params.addItem(wide(QStringLiteral(u"Экспортируемость")),
                   wide(container.isExportable() ? QStringLiteral(u"Да") : QStringLiteral(u"Нет")));

    // The public key; a PIN or password asked for as often as the user answers it.
    for (;;) {
        try {
            const PublicKeyReader& reader = publicKeyReader();
            const CDataBlob publicKey = reader ? reader(container).first : container.get_PublicKey();
            params.addItem(wide(QStringLiteral(u"Публичный ключ (%1 байт, x16)").arg(publicKey.getSize())),
                           CWString(publicKey.toHex(" "), 1251));
            const CDataBlob wrapped = reader ? reader(container).second : container.get_PublicKeyWrap();
            params.addItem(
                wide(
                    QStringLiteral(u"Публичный ключ с параметрами (%1 байт, base64)").arg(wrapped.getSize())),
                Vsk::Utils::Base64EncW(wrapped, Vsk::Utils::Base64NoLineBreaks));
            break;
        } catch (const CError& e) {
            if (Vsk::PKI::isPinError(static_cast<DWORD>(e.getCode())) ||
                Vsk::PKI::isPinError(e.getErrorNumber())) {
                CWString prompt(u"Для получения публичного ключа Введите пароль на ключевой контейнер \"");
                prompt += container.get_Name();
                prompt += u"\"";
                CPasswordDlg dialog(prompt, CWString(u"Кестрован"), this);
                if (dialog.exec() == IDOK) {
                    container.put_KeysetPassword(dialog.m_password);  // wipes the entered text
                    continue;
                }
            }
            params.addItem(wide(QStringLiteral(u"Публичный ключ")), e.getText());
            break;
        }
    }

    if (const CCertificate* certificate = container.findCertificate()) {
        const QString validity = localDate(certificate->get_NotBefore(true)) + QStringLiteral(" - ") +
                                 localDate(certificate->get_NotAfter(true));
        params.addItem(wide(QStringLiteral(u"Срок действия сертификата")), wide(validity));
        params.attachToLastItem(CWString(), certificate->get_CertContext());
    }

    params.setIcon(IdKeyIcon);
    params.show(wide(QStringLiteral(u"Свойства ключевого контейнера")), CWString(), CWString(), this, true);
}

void CKestrovanDlg::showItemProperties(void* itemData) {
    if (m_currentNode == NODE_CRLS)
        static_cast<CCrl*>(itemData)->ShowDialog(this, nullptr);
    else if (m_currentNode == NODE_KEY_CONTAINERS)
        showProperties(*static_cast<CKeyContainer*>(itemData));
    else
        static_cast<CCertificate*>(itemData)->ShowDialog(this, nullptr);
}

void CKestrovanDlg::OnProperties() {
    CLogScope scope("CKestrovanDlg::OnProperties", 3);
    const QString caption = QStringLiteral(u"Свойства");
    try {
        void* itemData = getSelectedItemData();
        if (!itemData || m_currentNode == NODE_ROOT) return;
        showItemProperties(itemData);
    } catch (const CError& e) {
        showError(e, caption);
    } catch (...) {
        messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
    }
}

void CKestrovanDlg::OnNMDblclkListCert() {
    CLogScope scope("CKestrovanDlg::OnNMDblclkListCert", 3);
    const QString caption = QStringLiteral(u"Получение свойств");
    try {
        // The row double-clicked is the list's current one; a click beside the rows names none.
        const int row = m_list->indexOfTopLevelItem(m_list->currentItem());
        const CListItem* item = listItem(row);
        if (row < 0 || !item || !item->itemData() || m_currentNode == NODE_ROOT) return;
        showItemProperties(item->itemData());
    } catch (const CError& e) {
        showError(e, caption);
    } catch (...) {
        messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
    }
}

// ---- CRL installation ----------------------------------------------------------------------------------

void CKestrovanDlg::OnCRLInstall() {
    CLogScope scope("CKestrovanDlg::OnCRLInstall", 3);
    const QString caption = QStringLiteral(u"Скачивание и установка списка отозванных сертификатов");
    try {
        if (!isStoreNode(m_currentNode)) return;
        auto* certificate = static_cast<CCertificate*>(getSelectedItemData());
        if (!certificate) return;
        // Fresh default proxy settings, not the window's.
        const CCrl crl = certificate->DownloadCRL(nullptr, this);
        if (crl.isRevoked(*certificate))
            messageBox(toQ(certificate->getText()), QStringLiteral(u"Сертификат отозван!"), MB_ICONWARNING);
        CStore store(true);
        store.Open(StoreCA, getStoreLocationFlags() | STORE_OPEN_EXISTING);
        store.AddCrl(crl, AddNewer);
        messageBox(QStringLiteral(u"Список отозванных сертификатов успешно установлен."), caption,
                   MB_ICONINFORMATION);
    } catch (const CError& e) {
        if (static_cast<DWORD>(e.getCode()) == CryptErrorExists || e.getErrorNumber() == CryptErrorExists)
            messageBox(QStringLiteral(u"Список отозванных сертификатов уже установлен."), caption,
                       MB_ICONINFORMATION);
        else
            showError(e, caption);
    } catch (...) {
        messageBox(QStringLiteral(u"Неопознанная ошибка."), caption, MB_ICONERROR);
    }
}
