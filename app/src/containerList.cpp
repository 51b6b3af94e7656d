// The CRL list, the key-container list with its provider selector, and token refresh.
#include "kestrovanDlg.h"

#include <vsk/pki/CryptError.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/platform/windowMessages.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QTreeWidget>

#include <cstring>

using Vsk::InternalUtils::CLogScope;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CCrl;
using Vsk::PKI::CCsp;
using Vsk::PKI::CKeyContainer;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CWString;

namespace {

// The store does not exist (CStore::Open).
constexpr DWORD StoreMissing = 150102;
// The provider type whose user or machine default is preselected.
constexpr DWORD DefaultProviderType = 75;
constexpr DWORD UserDefaultFlag = 0x2;
constexpr DWORD MachineDefaultFlag = 0x1;

const QString NoValue = QStringLiteral(u"—");

uint64_t toU64(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME toFileTime(uint64_t value) {
    return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
}

// A local date as "%d.%m.%Y".
QString localDate(const FILETIME& local) {
    SYSTEMTIME date{};
    if (!FileTimeToSystemTime(&local, &date)) return QString();
    return QStringLiteral("%1.%2.%3")
        .arg(date.wDay, 2, 10, QLatin1Char('0'))
        .arg(date.wMonth, 2, 10, QLatin1Char('0'))
        .arg(date.wYear);
}

// "Внутренняя ошибка (ZERO). <file>:<line>.": the window's text for a state its callers never make.
CError internalError(const char* file, int line) {
    return Vsk::Utils::LocatedError(u"Внутренняя ошибка (ZERO). ", file, line);
}

template <class T>
std::list<T> listFromArray(const Vsk::Utils::CArray<T>& array) {
    std::list<T> list;
    for (size_t i = 0; i < array.getCount(); ++i) list.push_back(array[i]);
    return list;
}

}  // namespace

// ---- Key-container work in progress ------------------------------------------------------------------

CKestrovanDlg::CKeyContWork::CKeyContWork(CKestrovanDlg& dlg) : m_dlg(dlg) {
    ++m_dlg.m_keyContBusy;
}

CKestrovanDlg::CKeyContWork::~CKeyContWork() {
    if (--m_dlg.m_keyContBusy == 0 && m_dlg.m_tokenRefreshPending) {
        // The token change that came meanwhile is handled as a fresh message.
        m_dlg.m_tokenRefreshPending = false;
        PostMessageW(&m_dlg, WM_TOKEN_REFRESH, 0, 0);
    }
}

// ---- CRLs ------------------------------------------------------------------------------------------------

void CKestrovanDlg::FillCRLs(const WCHAR* storeName) {
    CLogScope scope("CKestrovanDlg::FillCRLs", 3, CWString(storeName ? storeName : u""));
    CWaitCursor wait;
    const QString caption = QStringLiteral(u"СОС");
    try {
        clearList();
        m_list->setColumnCount(3);
        m_list->setHeaderLabels({QStringLiteral(u"Кем выдан"), QStringLiteral(u"Действителен с"),
                                 QStringLiteral(u"Следующее обновление")});
        autosizeColumns(0, 2, true);

        const CWString name(storeName ? storeName : u"");
        const bool cached = m_openStore.get_Name() == name &&
                            (m_openStore.get_Flags() & getStoreLocationFlags()) != 0 && !m_crlList.empty();
        if (!cached) {
            m_crlList.clear();
            try {
                CLock lock(&m_shared->lock);
                m_openStore.Open(storeName, getStoreLocationFlags() | STORE_OPEN_EXISTING);
                Vsk::Utils::CArray<CCrl> crls;
                m_openStore.GetCrls(&crls);
                m_crlList = listFromArray(crls);
            } catch (const Vsk::PKI::CCryptError& e) {
                // A store that does not exist has no CRLs; nothing is counted.
                if (e.getErrorNumber() == StoreMissing) return;
                throw;
            }
        }

        FILETIME nowTime{};
        Vsk::Utils::GetSystemFileTime(&nowTime);
        const uint64_t now = toU64(nowTime);
        for (CCrl& crl : m_crlList) {
            auto* item = new CListItem(this, &crl, false);
            item->setText(0, toQ(crl.get_IssuerName()));
            const uint64_t thisUpdate = crl.get_ThisUpdate();
            const uint64_t nextUpdate = crl.get_NextUpdate();
            item->setIcon(0, listImage(now < thisUpdate || nextUpdate < now ? IMG_CRL_INVALID : IMG_CRL));
            const FILETIME thisTime = toFileTime(thisUpdate);
            const FILETIME nextTime = toFileTime(nextUpdate);
            item->setText(1, toQ(Vsk::Utils::FileTimeToText(&thisTime)));
            item->setText(2, toQ(Vsk::Utils::FileTimeToText(&nextTime)));
            m_list->addTopLevelItem(item);
        }
        m_list->setColumnWidth(0, m_list->viewport()->width() * 4 / 7);
        autosizeColumns(1, 2, false);
    } catch (const CError& e) {
        showError(e, caption);
    } catch (...) {
        messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
    }
    updateStatusCounts();
}

// ---- Key containers ------------------------------------------------------------------------------------

void CKestrovanDlg::FillKeyConts() {
    CLogScope scope("CKestrovanDlg::FillKeyConts", 3);
    CWaitCursor wait;
    CKeyContWork work(*this);
    const QString caption = QStringLiteral(u"Получение списка ключевых контейнеров");
    std::unique_ptr<CProgressImpl> progress;
    try {
        clearList();
        m_providerLabel->show();
        m_provider->show();

        if (m_provider->count() == 0) {
            bool empty = false;
            {
                CLock lock(&m_shared->lock);
                empty = m_cspCache.getCount() == 0;
            }
            if (empty) {
                CError error(Vsk::Utils::NoErrorCode);
                loadCspList(&error);
                bool stillEmpty = false;
                {
                    CLock lock(&m_shared->lock);
                    stillEmpty = m_cspCache.getCount() == 0;
                }
                // Shown without the lock: workers take it while the box is open.
                if (stillEmpty) {
                    messageBox(toQ(error.getText()), QStringLiteral(u"Получение списка криптопровайдеров"),
                               MB_ICONERROR);
                    return;
                }
            }
            CLock lock(&m_shared->lock);
            const DWORD defaultFlag = isComputerLocation() ? MachineDefaultFlag : UserDefaultFlag;
            for (size_t i = 0; i < m_cspCache.getCount(); ++i) {
                const CCsp& csp = m_cspCache[i];
                QString text =
                    csp.get_Token() ? QString() : QString::number(csp.get_Type()) + QStringLiteral(" - ");
                text += toQ(csp.get_Name());
                m_provider->addItem(text, QVariant::fromValue<qulonglong>(i));
                if (m_selectedProvider == -1 && csp.get_Type() == DefaultProviderType &&
                    (csp.get_DefaultFlags() & defaultFlag))
                    m_selectedProvider = static_cast<int32_t>(i);
            }
            if (m_selectedProvider == -1) m_selectedProvider = 0;
            // The box selects its first entry by itself; the selection is the selected provider's (none
            // when a token change left fewer providers).
            m_provider->setCurrentIndex(m_selectedProvider < m_provider->count() ? m_selectedProvider : -1);
        }

        progress = std::make_unique<CProgressImpl>(m_progress, this);

        if (m_keyContList.empty()) {
            setStatusText(QStringLiteral(u"Получение списка ключевых контейнеров..."));
            if (m_provider->count() == 0)
                throw CError(u"Отсутствует Гостовый криптопровайдер!", Vsk::Utils::LastErrorCode);
            const int selection = m_provider->currentIndex();
            m_selectedProvider = selection < 0 ? 0 : selection;
            if (selection < 0) m_provider->setCurrentIndex(m_selectedProvider);
            const QVariant data = m_provider->itemData(m_selectedProvider);
            CCsp csp(false);
            {
                CLock lock(&m_shared->lock);
                bool ok = false;
                const qulonglong index = data.toULongLong(&ok);
                if (!data.isValid() || !ok || index >= m_cspCache.getCount())
                    throw internalError(__FILE__, __LINE__);
                csp = m_cspCache[static_cast<size_t>(index)];
            }
            Vsk::Utils::CArray<CKeyContainer> containers;
            csp.GetContainerList(containers, isComputerLocation(), progress.get());
            m_keyContList = listFromArray(containers);
        }

        m_list->setColumnCount(5);
        m_list->setHeaderLabels({QStringLiteral(u"Наименование контейнера"),
                                 QStringLiteral(u"Сертификат в контейнере или хранилище"),
                                 QStringLiteral(u"Сертификат действителен с"),
                                 QStringLiteral(u"Сертификат действителен по"),
                                 QStringLiteral(u"Уникальное наименование")});
        autosizeColumns(0, 4, true);

        Vsk::Utils::CErrorFormatter errors;
        if (!(m_options & OPTION_NO_CONTAINER_CERTS)) {
            progress->setRange(static_cast<uint32_t>(m_keyContList.size()));
            progress->setPos(0);
            setStatusText(QStringLiteral(u"Фильтрация по криптопровайдеру..."));
            for (auto it = m_keyContList.begin(); it != m_keyContList.end();) {
                bool keep = true;
                try {
                    keep = it->isExchangeKey();
                } catch (const CError& e) {
                    errors.push(e);
                }
                it = keep ? std::next(it) : m_keyContList.erase(it);
                progress->next();
            }
        }

        progress->setRange(static_cast<uint32_t>(m_keyContList.size()));
        progress->setPos(0);
        setStatusText(QStringLiteral(u"Получение свойств контейнеров..."));
        for (CKeyContainer& container : m_keyContList) {
            try {
                // Drawing a row never asks the user anything.
                container.get_CommonSettings().put_Silent(true);
                auto* item = new CListItem(this, &container, true);
                item->setIcon(0, listImage(IMG_KEY_CONTAINER));
                m_list->addTopLevelItem(item);
            } catch (const CError& e) {
                errors.push(e);
            }
            progress->next();
        }
        if (!m_keyContList.empty()) autosizeColumns(0, 4, false);

        if (errors.getCount()) messageBox(toQ(errors.format(u"\r\n").getText()), caption, MB_OK);
        progress.reset();
    } catch (const CError& e) {
        progress.reset();
        showError(e, caption);
    } catch (...) {
        progress.reset();
        messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
    }
    updateStatusCounts();
}

CCertificate CKestrovanDlg::getContainerCertificate(const CKeyContainer& container) const {
    const CCertificate* certificate =
        (m_options & OPTION_FIND_IN_MY) ? container.findCertificate() : container.getCertificate();
    return certificate ? *certificate : CCertificate(false);
}

QString CKestrovanDlg::OnLvnGetdispinfoListCert(int item, int column) const {
    const CListItem* row = listItem(item);
    return row ? OnLvnGetdispinfoListCert(*row, column) : QString();
}

QString CKestrovanDlg::OnLvnGetdispinfoListCert(const CListItem& item, int column) const {
    // Asked for while the list paints: it never raises, and reads only what the container keeps.
    try {
        if (m_currentNode != NODE_KEY_CONTAINERS) return QString();
        const auto* container = static_cast<const CKeyContainer*>(item.itemData());
        if (!container || container->isNull()) return QString();
        switch (column) {
            case 0:
                return toQ(container->get_Name());
            case 4:
                // A container whose properties cannot be read shows no unique name.
                return toQ(container->get_UniqueName());
            case 1:
            case 2:
            case 3:
                break;
            default:
                return QString();
        }
        CCertificate certificate(false);
        if (!(m_options & OPTION_NO_CONTAINER_CERTS)) {
            try {
                certificate = getContainerCertificate(*container);
            } catch (...) {
                certificate = CCertificate(false);
            }
        }
        if (certificate.isNull() || !certificate.get_CertContext()) return NoValue;
        switch (column) {
            case 1:
                return toQ(certificate.get_SubjectShortName());
            case 2:
                return localDate(certificate.get_NotBefore(true));
            default:
                return localDate(certificate.get_NotAfter(true));
        }
    } catch (...) {
        return QString();
    }
}

void CKestrovanDlg::OnCbnSelchangeProvider() {
    CLogScope scope("CKestrovanDlg::OnCbnSelchangeProvider", 3);
    clearList();
    m_keyContList.clear();
    FillKeyConts();
}

void CKestrovanDlg::OnTokenRefresh() {
    // A list being filled or installed from lets events through its progress: the change waits until
    // that work is done.
    if (m_keyContBusy) {
        m_tokenRefreshPending = true;
        return;
    }
    CLogScope scope("CKestrovanDlg::OnTokenRefresh", 3);
    {
        CLock lock(&m_shared->lock);
        m_provider->clear();
        m_cspCache.clear();
        // Rows of the container node point into the list emptied here.
        if (m_currentNode == NODE_KEY_CONTAINERS) m_list->clear();
        m_keyContList.clear();
    }
    if (m_currentNode == NODE_KEY_CONTAINERS) FillKeyConts();
}
