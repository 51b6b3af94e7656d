// The store tree and the certificate list: the list of the chosen node, the refresh, the clearing, the
// certificate rows of a store with their cached reading, and what every list shares (sorting by column,
// the rows' tool tips, the count in the status text).
#include "kestrovanDlg.h"

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/CryptError.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/oleaut.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QItemSelection>
#include <QLabel>
#include <QTreeWidget>

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

using Vsk::InternalUtils::CLogScope;
using Vsk::PKI::CCertificate;
using Vsk::Utils::CWString;

namespace {

// The error number of a system store that does not exist.
constexpr DWORD ErrorStoreMissing = 150102;

template <class T>
int threeWay(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// Texts as the list compares them: by the user's locale.
int compareTexts(const QString& a, const QString& b) {
    return threeWay(QString::localeAwareCompare(a, b), 0);
}

int compareTexts(const CWString& a, const CWString& b) {
    return compareTexts(toQ(a), toQ(b));
}

int compareTimes(const FILETIME& a, const FILETIME& b) {
    return threeWay(FileTimeToU64(a), FileTimeToU64(b));
}

// The order of two rows nothing else tells apart: by their item data, a fixed order for one filling.
int baseValue(const void* p, const void* q) {
    return threeWay(reinterpret_cast<uintptr_t>(q), reinterpret_cast<uintptr_t>(p));
}

// The containers' certificates for one sort: read once per row (an empty handle for none, nothing when
// the reading failed).
using ContainerCertificates = std::unordered_map<const void*, std::optional<CCertificate>>;

bool hasCertificate(const CCertificate& certificate) {
    return !certificate.isNull() && certificate.get_CertContext() != nullptr;
}

// One comparison of the sort. The rows' texts are taken from `rowP` and `rowQ` when given, else looked
// up by item data; `certificates` holds the containers' certificates when they were read before.
int compareRows(const CKestrovanDlg& dlg, void* p, void* q, const QTreeWidgetItem* rowP,
                const QTreeWidgetItem* rowQ, const ContainerCertificates* certificates) {
    const int base = baseValue(p, q);
    if (!p || !q) return base;
    const NodeId node = dlg.getCurrentNode();
    const int column = dlg.m_sortColumn;
    try {
        if (isStoreNode(node)) {
            const auto* a = static_cast<const CCertificate*>(p);
            const auto* b = static_cast<const CCertificate*>(q);
            switch (column) {
                case 0:
                    return compareTexts(a->get_SubjectShortName(), b->get_SubjectShortName());
                case 1:
                    return compareTimes(a->get_NotBefore(), b->get_NotBefore());
                case 2:
                    return compareTimes(a->get_NotAfter(), b->get_NotAfter());
                case 3:
                    return threeWay(a->get_Thumbprint().compare(b->get_Thumbprint(), false), 0);
                case 4:
                case 5:
                case 6: {
                    if (!rowP) rowP = dlg.listItem(dlg.findItemByData(p));
                    if (!rowQ) rowQ = dlg.listItem(dlg.findItemByData(q));
                    return compareTexts(rowP ? rowP->text(column) : QString(),
                                        rowQ ? rowQ->text(column) : QString());
                }
                default:
                    return base;
            }
        }
        if (node == NODE_CRLS) {
            const auto* a = static_cast<const Vsk::PKI::CCrl*>(p);
            const auto* b = static_cast<const Vsk::PKI::CCrl*>(q);
            switch (column) {
                case 0:
                    return compareTexts(a->get_IssuerName(), b->get_IssuerName());
                case 1:
                    return threeWay(a->get_ThisUpdate(), b->get_ThisUpdate());
                case 2:
                    return threeWay(a->get_NextUpdate(), b->get_NextUpdate());
                default:
                    return base;
            }
        }
        if (node == NODE_KEY_CONTAINERS) {
            const auto* a = static_cast<const Vsk::PKI::CKeyContainer*>(p);
            const auto* b = static_cast<const Vsk::PKI::CKeyContainer*>(q);
            switch (column) {
                case 0:
                    return compareTexts(a->get_Name(), b->get_Name());
                case 4:
                    return compareTexts(a->get_UniqueName(), b->get_UniqueName());
                case 1:
                case 2:
                case 3: {
                    CCertificate certA, certB;
                    if (certificates) {
                        const auto foundA = certificates->find(p);
                        const auto foundB = certificates->find(q);
                        if (foundA == certificates->end() || foundB == certificates->end() ||
                            !foundA->second || !foundB->second)
                            return base;
                        certA = *foundA->second;
                        certB = *foundB->second;
                    } else {
                        certA = dlg.getContainerCertificate(*a);
                        certB = dlg.getContainerCertificate(*b);
                    }
                    const bool hasA = hasCertificate(certA);
                    const bool hasB = hasCertificate(certB);
                    if (!hasA && !hasB) return base;
                    if (!hasB) return -1;
                    if (!hasA) return 1;
                    if (column == 1)
                        return compareTexts(certA.get_SubjectShortName(), certB.get_SubjectShortName());
                    if (column == 2) return compareTimes(certA.get_NotBefore(), certB.get_NotBefore());
                    return compareTimes(certA.get_NotAfter(), certB.get_NotAfter());
                }
                default:
                    return base;
            }
        }
    } catch (...) {
        // A row that cannot be read keeps its fixed place.
    }
    return base;
}

// A long loop's progress on the GUI thread: every step moves the bar, but only the first steps (which
// take their time so that the bar is seen) and then one step every so often let the window's events
// flow (painting, Esc): a step that lets them flow repaints the window, too dear for each row.
class CSteadyProgress : public Vsk::Utils::IProgress {
public:
    explicit CSteadyProgress(Vsk::Utils::IProgress& target) : m_target(target) { m_sinceStep.start(); }

    // Whether the next step lets the events flow.
    bool due() const { return m_steps < AlwaysShownSteps || m_sinceStep.elapsed() >= StepIntervalMs; }

    void start(const WCHAR* title) override { m_target.start(title); }
    void stop() override { m_target.stop(); }
    bool setRange(uint32_t range) override { return m_target.setRange(range); }
    uint32_t getRange() override { return m_target.getRange(); }
    void setPos(uint32_t position) override { m_target.setPos(position); }
    int32_t getPos() override { return m_target.getPos(); }
    void next() override {
        if (due()) {
            m_target.next();
            m_sinceStep.restart();
        } else {
            // The bar's step without the events: forward, back to the start past the end.
            const uint32_t position = static_cast<uint32_t>(std::max(m_target.getPos(), 0)) + 1;
            m_target.setPos(position > m_target.getRange() ? 0 : position);
        }
        ++m_steps;
    }
    bool isCancelled() override { return m_target.isCancelled(); }

private:
    static constexpr uint32_t AlwaysShownSteps = 10;
    static constexpr qint64 StepIntervalMs = 100;

    Vsk::Utils::IProgress& m_target;
    QElapsedTimer m_sinceStep;
    uint32_t m_steps = 0;
};

// Rows made but not yet in the list; they join it in one insertion, also when the filling fails.
struct CPendingRows {
    explicit CPendingRows(QTreeWidget* list) : list(list) {}
    ~CPendingRows() { flush(); }
    CPendingRows(const CPendingRows&) = delete;
    CPendingRows& operator=(const CPendingRows&) = delete;
    void flush() {
        if (rows.isEmpty()) return;
        list->addTopLevelItems(rows);
        rows.clear();
    }
    QTreeWidget* list;
    QList<QTreeWidgetItem*> rows;
};

CCertList listFromArray(const Vsk::Utils::CArray<CCertificate>& certificates) {
    CCertList list;
    for (const CCertificate& certificate : certificates) list.push_back(certificate);
    return list;
}

// Opens the store and reads all its certificates in the store's order; a missing system store gives
// an empty list.
CCertList readStore(Vsk::PKI::CStore& store, const WCHAR* name, DWORD locationFlags,
                    Vsk::Utils::IProgress* progress) {
    try {
        store.Open(name, locationFlags);
        Vsk::Utils::CArray<CCertificate> certificates;
        store.GetCertificates(&certificates, progress);
        return listFromArray(certificates);
    } catch (const Vsk::PKI::CCryptError& error) {
        if (error.getErrorNumber() == ErrorStoreMissing) return {};
        throw;
    }
}

// Under the window's lock: a copy of the window's certificate list when the window's open store is
// the one asked for and the list is filled.
std::optional<CCertList> cachedList(const CKestrovanDlg& dlg, const WCHAR* name, DWORD locationFlags) {
    Vsk::Utils::CLock lock(&dlg.m_shared->lock);
    if (!dlg.m_certList || dlg.m_certList->empty() || dlg.m_openStore.isNull()) return std::nullopt;
    if (dlg.m_openStore.get_Name() != CWString(name ? name : u"")) return std::nullopt;
    if ((dlg.m_openStore.get_Flags() & locationFlags) != locationFlags) return std::nullopt;
    return *dlg.m_certList;
}

}  // namespace

// ---- The tree

void CKestrovanDlg::OnTvnSelchangedTreeStore(QTreeWidgetItem* current) {
    CLogScope scope("CKestrovanDlg::OnTvnSelchangedTreeStore", 3);
    m_currentNode = nodeOf(current);
    updateToolTips();
    fillSelected();
}

void CKestrovanDlg::fillSelected() {
    switch (m_currentNode) {
        case NODE_ROOT:
            clearList();
            break;
        case NODE_CRLS:
            FillCRLs(StoreCA);
            break;
        case NODE_KEY_CONTAINERS:
            FillKeyConts();
            break;
        default:
            FillCerts(storeNameOf(m_currentNode));
            break;
    }
}

void CKestrovanDlg::OnRefresh() {
    CLogScope scope("CKestrovanDlg::OnRefresh", 3);
    refresh(true);
}

void CKestrovanDlg::refresh(bool clearCatalogue) {
    clearList();
    {
        Vsk::Utils::CLock lock(&m_shared->lock);
        m_openStore.Close();
        CCertificate::ClearCache();
        m_crlList.clear();
        m_keyContList.clear();
        // A worker that outlived its stop keeps the old cache.
        m_statusCache = std::make_shared<CStatusCache>();
        if (clearCatalogue) Vsk::PKI::ClearCspAlgInfo();
        if (m_provider) m_provider->clear();
        m_cspCache.clear();
    }
    loadCspList(nullptr);
    fillSelected();
    enableCommand(CMD_OIDS_REG, true);
}

void CKestrovanDlg::clearList() {
    // The rows point into the certificate list; it stays alive until they are gone.
    const std::shared_ptr<CCertList> shown = m_certList;
    clearCertList();
    if (m_providerLabel) m_providerLabel->hide();
    if (m_provider) m_provider->hide();
    for (int id :
         {CMD_PROPERTIES, CMD_EXPORT, CMD_IMPORT, CMD_CRL_INSTALL, CMD_DELETE, CMD_CERT_FROM_KEY_CONT})
        showCommand(id, false);
    m_list->clear();
    m_list->setColumnCount(0);
    m_sortColumn = 0xFFFF;
    m_sortDescending = 0xFFFF;
    setStatusText(QString());
    // The buttons' tool tips follow the node.
    updateToolTips();
}

// ---- The certificate list

CCertList CKestrovanDlg::GetCertList(Vsk::PKI::CStore& store, const WCHAR* name, DWORD locationFlags,
                                     Vsk::Utils::IProgress* progress, const CWorkerJob* job) {
    if (job) return GetCertList(store, name, locationFlags, progress, *job);
    CLogScope scope("CKestrovanDlg::GetCertList", 3, CWString(name ? name : u""));
    if (std::optional<CCertList> cached = cachedList(*this, name, locationFlags)) return std::move(*cached);
    return readStore(store, name, locationFlags, progress);
}

CCertList CKestrovanDlg::GetCertList(Vsk::PKI::CStore& store, const WCHAR* name, DWORD locationFlags,
                                     Vsk::Utils::IProgress* progress, const CWorkerJob& job) {
    CLogScope scope("CKestrovanDlg::GetCertList", 4, CWString(name ? name : u""));
    std::optional<CCertList> cached;
    job.runOnDlg([&](CKestrovanDlg& dlg) { cached = cachedList(dlg, name, locationFlags); });
    if (cached) return std::move(*cached);
    return readStore(store, name, locationFlags, progress);
}

QString CKestrovanDlg::formatFileTime(const FILETIME& utc) {
    // Local time, then through the date-time value the program shows dates with.
    FILETIME local{};
    SYSTEMTIME time{};
    DATE date = 0;
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &time)) return {};
    time.wMilliseconds = 0;
    if (!SystemTimeToVariantTime(&time, &date) || !VariantTimeToSystemTime(date, &time)) return {};
    return QString::asprintf("%04u.%02u.%02u %02u:%02u", time.wYear, time.wMonth, time.wDay, time.wHour,
                             time.wMinute);
}

void CKestrovanDlg::FillCerts(const WCHAR* storeName) {
    CLogScope scope("CKestrovanDlg::FillCerts", 3, CWString(storeName ? storeName : u""));
    CWaitCursor wait;
    try {
        clearList();
        m_list->setColumnCount(7);
        m_list->setHeaderLabels({QStringLiteral(u"Кому выдан"), QStringLiteral(u"Действителен с"),
                                 QStringLiteral(u"Действителен по"), QStringLiteral(u"Отпечаток"),
                                 QStringLiteral(u"Статус"), QStringLiteral(u"Срок действия закрытого ключа"),
                                 QStringLiteral(u"Наличие ключевого контейнера")});
        autosizeColumns(0, 6, true);
        setStatusText(QStringLiteral(u"Получение сертификатов (Esc - отмена)"));

        {
            Vsk::PKI::CStore store;
            CProgressImpl progress(m_progress, this);
            CSteadyProgress steady(progress);
            CCertList certificates = GetCertList(store, storeName, getStoreLocationFlags(), &steady);
            {
                Vsk::Utils::CLock lock(&m_shared->lock);
                m_certList = std::make_shared<CCertList>(std::move(certificates));
                m_openStore = store;
            }
            const std::shared_ptr<CCertList> list = m_certList;
            const size_t count = list->size();
            progress.setRange(static_cast<uint32_t>(std::min<size_t>(count, UINT32_MAX)));
            progress.setPos(0);
            setStatusText(QStringLiteral(u"Отображение сертификатов (%1 шт.)").arg(count));

            const QString unknown = QStringLiteral("?");
            const QString dash = QStringLiteral(" - ");
            // Rows go into the list in batches: at each visible step of the progress, which lets
            // the window paint and hears Esc; between those the bar only moves.
            CPendingRows pending(m_list);
            for (CCertificate& certificate : *list) {
                // A row joins the list with its name and picture, or not at all.
                const QString name = toQ(certificate.get_SubjectShortName());
                const int image = !certificate.isValidDate()             ? IMG_CERT_INVALID
                                  : certificate.get_HasPrivateKey(false) ? IMG_CERT_KEY
                                                                         : IMG_CERT;
                auto* row = new CListItem(this, &certificate, false);
                pending.rows.append(row);
                row->setText(0, name);
                setItemImage(row, image);
                row->setText(1, formatFileTime(certificate.get_NotBefore()));
                row->setText(2, formatFileTime(certificate.get_NotAfter()));
                row->setText(3, fromCp1251(certificate.get_Thumbprint().c_str()));
                row->setText(4, unknown);
                const FILETIME keyFrom = certificate.get_PrivateKeyNotBefore(false);
                const FILETIME keyTo = certificate.get_PrivateKeyNotAfter(false);
                if (FileTimeToU64(keyFrom) || FileTimeToU64(keyTo))
                    row->setText(5, formatFileTime(keyFrom) + dash + formatFileTime(keyTo));
                if (!steady.due()) {
                    steady.next();
                    continue;
                }
                pending.flush();
                steady.next();
                if (steady.isCancelled()) break;
            }
            pending.flush();
            if (!list->empty()) autosizeColumns(0, 6, false);
            startStatusThread();
        }
    } catch (const Vsk::Utils::CError& error) {
        showError(error, QStringLiteral(u"Сертификаты"));
    } catch (...) {
        messageBox(QStringLiteral("..."), QStringLiteral(u"Сертификаты"), MB_ICONERROR);
    }
    updateStatusCounts();
    showCommand(CMD_IMPORT, true);
}

void CKestrovanDlg::setItemImage(QTreeWidgetItem* row, int image) const {
    row->setIcon(0, listImage(image));
    row->setData(0, ImageRole, image);
}

int CKestrovanDlg::findItemByData(void* itemData) const {
    for (int index = listCount() - 1; index >= 0; --index)
        if (listItem(index)->itemData() == itemData) return index;
    return -1;
}

void CKestrovanDlg::updateStatusCounts() {
    size_t count = 0;
    QString text;
    if (m_currentNode == NODE_ROOT) return;
    if (m_currentNode == NODE_CRLS) {
        count = m_crlList.size();
        text = QStringLiteral(u"Списков отозванных сертификатов: %1 шт.");
    } else if (m_currentNode == NODE_KEY_CONTAINERS) {
        count = m_keyContList.size();
        text = QStringLiteral(u"Ключевых контейнеров: %1 шт.");
    } else {
        Vsk::Utils::CLock lock(&m_shared->lock);
        count = m_certList ? m_certList->size() : 0;
        text = QStringLiteral(u"Сертификатов: %1 шт.");
    }
    setStatusText(text.arg(count));
}

// ---- Sorting

void CKestrovanDlg::OnLvnColumnclickListCert(int column) {
    CLogScope scope("CKestrovanDlg::OnLvnColumnclickListCert", 3);
    if (column == m_sortColumn) {
        m_sortDescending = m_sortDescending == 0 ? 1 : 0;
    } else {
        m_sortColumn = static_cast<uint16_t>(column);
        m_sortDescending = 0;
    }

    // The containers' certificates are read once for the whole sort.
    std::optional<ContainerCertificates> certificates;
    if (m_currentNode == NODE_KEY_CONTAINERS && column >= 1 && column <= 3) {
        certificates.emplace();
        for (int index = 0; index < listCount(); ++index) {
            const void* data = listItem(index)->itemData();
            if (!data) continue;
            try {
                (*certificates)[data] =
                    getContainerCertificate(*static_cast<const Vsk::PKI::CKeyContainer*>(data));
            } catch (...) {
                (*certificates)[data] = std::nullopt;
            }
        }
    }

    // The rows leave the list, are sorted stably and come back; selection and current row stay.
    const bool descending = m_sortDescending != 0;
    const QList<QTreeWidgetItem*> selected = m_list->selectedItems();
    QTreeWidgetItem* current = m_list->currentItem();
    const bool blocked = m_list->blockSignals(true);
    QList<QTreeWidgetItem*> rows = m_list->invisibleRootItem()->takeChildren();
    const ContainerCertificates* certs = certificates ? &*certificates : nullptr;
    std::stable_sort(rows.begin(), rows.end(), [&](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        auto* rowA = static_cast<CListItem*>(a);
        auto* rowB = static_cast<CListItem*>(b);
        const int r = compareRows(*this, rowA->itemData(), rowB->itemData(), rowA, rowB, certs);
        return (descending ? -r : r) < 0;
    });
    m_list->addTopLevelItems(rows);
    if (current) m_list->setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
    if (!selected.isEmpty()) {
        // One selection of runs of rows: selecting row by row costs a pass over the selection each.
        const std::unordered_set<const QTreeWidgetItem*> wanted(selected.begin(), selected.end());
        QItemSelection selection;
        const int lastColumn = std::max(m_list->columnCount() - 1, 0);
        for (int index = 0; index < rows.size();) {
            if (!wanted.count(rows[index])) {
                ++index;
                continue;
            }
            int end = index;
            while (end + 1 < rows.size() && wanted.count(rows[end + 1])) ++end;
            selection.select(m_list->indexFromItem(rows[index], 0),
                             m_list->indexFromItem(rows[end], lastColumn));
            index = end + 1;
        }
        m_list->selectionModel()->select(selection, QItemSelectionModel::Select);
    }
    m_list->blockSignals(blocked);
}

int CKestrovanDlg::compareItems(void* p, void* q) const {
    const int r = compareRows(*this, p, q, nullptr, nullptr, nullptr);
    return m_sortDescending != 0 ? -r : r;
}

// ---- Tool tips

QString CKestrovanDlg::OnLvnGetInfoTipListCert(int item) const {
    CLogScope scope("CKestrovanDlg::OnLvnGetInfoTipListCert", 3);
    const CListItem* row = listItem(item);
    if (!row) return {};
    if (isStoreNode(m_currentNode)) return row->text(4);
    if (m_currentNode != NODE_CRLS || !row->itemData()) return {};
    FILETIME now{};
    if (!Vsk::Utils::GetSystemFileTime(&now)) return {};
    const uint64_t time = FileTimeToU64(now);
    const auto* crl = static_cast<const Vsk::PKI::CCrl*>(row->itemData());
    if (time < crl->get_ThisUpdate()) return QStringLiteral(u"СОС еще не действителен!");
    if (crl->get_NextUpdate() < time) return QStringLiteral(u"СОС уже просрочен!");
    return {};
}
