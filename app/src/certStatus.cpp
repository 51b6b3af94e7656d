// The certificate-status worker (each row's status, icon and key-container presence, computed after
// the list is shown) and the start-up check of the personal certificates that expire soon.
#include "kestrovanDlg.h"

#include <vsk/pki/CertApi.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/oleaut.h>
#include <vsk/utils/gui.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <QHeaderView>
#include <QProgressBar>
#include <QTreeWidget>

#include <cmath>
#include <cstring>
#include <ctime>
#include <set>

using Vsk::InternalUtils::CLogScope;
using Vsk::PKI::CCertificate;
using Vsk::Utils::CWString;

namespace {

// A certificate is reported when so many whole days or fewer are left.
constexpr int64_t ReportDays = 45;
// Half a second in days: the rounding of a date span's day count.
constexpr double HalfSecondInDays = 0.5 / 86400.0;

bool sameBytes(const CRYPT_DATA_BLOB& a, const CRYPT_DATA_BLOB& b) {
    return a.cbData == b.cbData && (a.cbData == 0 || std::memcmp(a.pbData, b.pbData, a.cbData) == 0);
}

bool sameText(const char* a, const char* b) {
    return std::strcmp(a ? a : "", b ? b : "") == 0;
}

// ---- The status worker

QString progressText(bool presenceCheck, size_t position, size_t count) {
    QString text = QStringLiteral(u"Получение статусов сертификатов");
    if (presenceCheck) text += QStringLiteral(u" и проверка наличия ключевого контейнера");
    return text + QStringLiteral(u" (%1 из %2 шт.)").arg(position).arg(count);
}

// On the GUI thread: the row of `data` when the window still shows the job's certificates (row `hint`
// when it carries it, else searched from the last row down), -1 when no row carries it; `stale` when
// the window shows another list (the worker then has nothing more to do).
int findRow(CKestrovanDlg& dlg, const CWorkerJob& job, const void* data, int hint, bool& stale) {
    stale = dlg.m_certList.get() != job.certs.get();
    if (stale) return -1;
    if (const CListItem* row = dlg.listItem(hint); row && row->itemData() == data) return hint;
    return dlg.findItemByData(const_cast<void*>(data));
}

// On the GUI thread: column 4 widened to its contents when the row's new text needs more room. Only
// the status column changes while the worker runs, so this keeps every column sized to its contents
// without measuring all rows for each certificate.
void fitStatusColumn(CKestrovanDlg& dlg, QTreeWidgetItem* row) {
    constexpr int StatusColumn = 4;
    QTreeWidget* list = dlg.list();
    const int needed = list->sizeHintForIndex(list->indexFromItem(row, StatusColumn)).width();
    if (needed > list->columnWidth(StatusColumn)) dlg.autosizeColumns(StatusColumn, StatusColumn, false);
}

// ---- The expiry check

// The local date-time value of a local FILETIME; false when it has none.
bool toDate(const FILETIME& local, DATE& date) {
    SYSTEMTIME time{};
    if (!FileTimeToSystemTime(&local, &time)) return false;
    time.wMilliseconds = 0;
    return SystemTimeToVariantTime(&time, &date) != 0;
}

// Now as a local date-time value, from the C library's clock.
DATE localNow() {
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(local.tm_year + 1900);
    time.wMonth = static_cast<WORD>(local.tm_mon + 1);
    time.wDay = static_cast<WORD>(local.tm_mday);
    time.wDayOfWeek = static_cast<WORD>(local.tm_wday);
    time.wHour = static_cast<WORD>(local.tm_hour);
    time.wMinute = static_cast<WORD>(local.tm_min);
    time.wSecond = static_cast<WORD>(std::min(local.tm_sec, 59));
    DATE date = 0;
    SystemTimeToVariantTime(&time, &date);
    return date;
}

// The whole days from `now` to the certificate's end, rounded as a date span's day count is: half a
// second toward the sign, then the fraction cut toward zero.
int64_t remainingDays(const CCertificate& certificate, DATE now) {
    DATE end = 0;
    if (!toDate(certificate.get_NotAfter(true), end)) end = 0;
    const double span = end - now;
    return static_cast<int64_t>(std::trunc(span + (span < 0 ? -HalfSecondInDays : HalfSecondInDays)));
}

// The end of the certificate as a local date "dd.mm.yyyy".
QString endDateText(const CCertificate& certificate) {
    DATE date = 0;
    SYSTEMTIME time{};
    if (!toDate(certificate.get_NotAfter(true), date) || !VariantTimeToSystemTime(date, &time)) return {};
    return QString::asprintf("%02u.%02u.%04u", time.wDay, time.wMonth, time.wYear);
}

// Whether two certificates are issues of one holder: the same subject bytes, extensions and signature
// algorithm (OID and parameters).
bool sameKind(const CERT_INFO& a, const CERT_INFO& b) {
    return CKestrovanDlg::equalExtensions(a, b) &&
           sameText(a.SignatureAlgorithm.pszObjId, b.SignatureAlgorithm.pszObjId) &&
           sameBytes(a.SignatureAlgorithm.Parameters, b.SignatureAlgorithm.Parameters);
}

bool twins(const CCertificate& a, const CCertificate& b) {
    const PCCERT_CONTEXT ca = a.get_CertContext();
    const PCCERT_CONTEXT cb = b.get_CertContext();
    if (!ca || !cb || !ca->pCertInfo || !cb->pCertInfo) return false;
    return sameBytes(ca->pCertInfo->Subject, cb->pCertInfo->Subject) &&
           sameKind(*ca->pCertInfo, *cb->pCertInfo);
}

// Whether the request store holds a renewal request of the certificate: one of the same subject,
// extensions and signature algorithm.
bool renewalPending(HCERTSTORE requests, const CCertificate& certificate) {
    const PCCERT_CONTEXT context = certificate.get_CertContext();
    if (!context || !context->pCertInfo) return false;
    PCCERT_CONTEXT found = nullptr;
    while (
        (found = CertFindCertificateInStore(requests, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                            CERT_FIND_SUBJECT_NAME, &context->pCertInfo->Subject, found))) {
        if (found->pCertInfo && sameKind(*found->pCertInfo, *context->pCertInfo)) {
            CertFreeCertificateContext(found);
            return true;
        }
    }
    return false;
}

// The request store of the run, opened when first needed and closed at the end.
class CRequestStore {
public:
    explicit CRequestStore(DWORD location) : m_location(location) {}
    ~CRequestStore() { Vsk::PKI::CloseStore(m_store); }
    CRequestStore(const CRequestStore&) = delete;
    CRequestStore& operator=(const CRequestStore&) = delete;

    // Null when it cannot be opened (the next call tries again).
    HCERTSTORE get() {
        if (!m_store)
            m_store = Vsk::PKI::OpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                          m_location | CERT_STORE_OPEN_EXISTING_FLAG, u"REQUEST");
        return m_store;
    }
    void close() { Vsk::PKI::CloseStore(m_store); }

private:
    DWORD m_location;
    HCERTSTORE m_store = nullptr;
};

}  // namespace

bool CKestrovanDlg::equalExtensions(const CERT_INFO& a, const CERT_INFO& b) {
    if (a.cExtension != b.cExtension) return false;
    for (DWORD i = 0; i < a.cExtension; ++i) {
        const CERT_EXTENSION& x = a.rgExtension[i];
        const CERT_EXTENSION& y = b.rgExtension[i];
        if (!sameText(x.pszObjId, y.pszObjId) || (x.fCritical != 0) != (y.fCritical != 0) ||
            !sameBytes(x.Value, y.Value))
            return false;
    }
    return true;
}

// ---- The status worker

DWORD CKestrovanDlg::verifyCerts(CWorkerJob& job) {
    const CCertList& certificates = *job.certs;
    const size_t count = certificates.size();
    CLogScope scope("CKestrovanDlg::verifyCerts", 4, Vsk::Utils::ToWString(static_cast<uint64_t>(count)));

    QProgressBar* bar = nullptr;
    CKestrovanDlg* owner = nullptr;
    if (!job.runOnDlg([&](CKestrovanDlg& dlg) {
            bar = dlg.progressBar();
            owner = &dlg;
        }))
        return 1;

    DWORD result = 0;
    {
        CProgressImpl progress(bar, owner);
        progress.setRange(static_cast<uint32_t>(std::min<size_t>(count, UINT32_MAX)));
        progress.setPos(0);
        size_t position = 0;
        for (auto it = certificates.begin(); it != certificates.end(); ++it, ++position) {
            const CCertificate& certificate = *it;
            const void* data = &certificate;
            const int hint = static_cast<int>(std::min<size_t>(position, INT32_MAX));
            bool stale = false;
            int row = -1;
            try {
                // Status text and the row, in one call on the GUI thread.
                const QString text = progressText(job.containerPresenceCheck, position + 1, count);
                const bool shown = job.runOnDlg([&](CKestrovanDlg& dlg) {
                    row = findRow(dlg, job, data, hint, stale);
                    if (!stale) dlg.setStatusText(text);
                });
                if (!shown || stale) {
                    result = 1;
                    break;
                }
                if (row < 0) {
                    Vsk::InternalUtils::LogAt(
                        2, CWString(u"CKestrovanDlg::verifyCerts Не найден: ") + certificate.getText());
                    continue;
                }

                const Vsk::Utils::CAString thumbprint = certificate.get_Thumbprint();
                const auto cached = job.statusCache->find(thumbprint);
                if (job.isThreadRegistered()) {
                    result = 1;
                    break;
                }
                DWORD status = 0;
                if (cached != job.statusCache->end()) {
                    status = cached->second;
                } else {
                    status = certificate.Verify(job.verifySettings);
                    job.statusCache->emplace(thumbprint, status);
                }
                if (job.isThreadRegistered()) {
                    result = 1;
                    break;
                }

                const bool presence = job.containerPresenceCheck;
                const bool reachable = presence && certificate.get_HasPrivateKey(true);
                int image = IMG_CERT_KEY;
                if (!certificate.isValidDate() || status != 0)
                    image = IMG_CERT_INVALID;
                else if (!certificate.get_HasPrivateKey(false) || (presence && !reachable))
                    image = IMG_CERT;
                const QString statusText = fromCp1251(Vsk::PKI::getVerifyStatusText(status));
                const QString presenceText = reachable ? QStringLiteral(u"да") : QStringLiteral(u"нет");

                job.runOnDlg([&](CKestrovanDlg& dlg) {
                    bool gone = false;
                    const int index = findRow(dlg, job, data, row, gone);
                    CListItem* item = dlg.listItem(index);
                    if (gone || !item) return;
                    dlg.setItemImage(item, image);
                    item->setText(4, statusText);
                    if (presence) item->setText(6, presenceText);
                    fitStatusColumn(dlg, item);
                });
                progress.next();
            } catch (const Vsk::Utils::CError& error) {
                // The error's text is the row's status (row `position` when the row was not found yet).
                const QString text = toQ(error.getText());
                job.runOnDlg([&](CKestrovanDlg& dlg) {
                    bool gone = false;
                    const int index = row >= 0 ? findRow(dlg, job, data, row, gone) : hint;
                    if (gone || dlg.m_certList.get() != job.certs.get()) return;
                    if (CListItem* item = dlg.listItem(index)) {
                        item->setText(4, text);
                        fitStatusColumn(dlg, item);
                    }
                });
                progress.next();
            }
        }
        if (result == 0)
            job.runOnDlg([&](CKestrovanDlg& dlg) {
                if (dlg.m_certList.get() == job.certs.get()) dlg.updateStatusCounts();
            });
    }
    // The bar's queued changes and its hiding reach the window before the worker ends, so a stopped
    // worker's late messages never touch the bar of the next operation.
    job.runOnDlg([](CKestrovanDlg&) {});
    if (scope.isEntered()) scope.m_result = Vsk::Utils::ToWString(result);
    return result;
}

// ---- The start-up expiry check

void CKestrovanDlg::checkPersonalCerts(CWorkerJob& job) {
    CLogScope scope("CKestrovanDlg::checkPersonalCerts", 4);
    const QString caption = QStringLiteral(u"Личные сертификаты");
    CRequestStore requests(job.location);
    try {
        QProgressBar* bar = nullptr;
        CKestrovanDlg* owner = nullptr;
        if (!job.runOnDlg([&](CKestrovanDlg& dlg) {
                bar = dlg.progressBar();
                owner = &dlg;
            }))
            return;
        Vsk::Utils::CArray<CWString> lines;
        {
            CProgressImpl progress(bar, owner);
            const DATE now = localNow();

            Vsk::PKI::CStore store;
            const CCertList certificates = GetCertList(store, StoreMY, job.location, &progress, job);
            job.runOnDlg([&](CKestrovanDlg& dlg) {
                Vsk::Utils::CLock lock(&dlg.m_shared->lock);
                // A list the window shows rows of is never replaced here.
                if (!dlg.m_openStore.isOpened() && dlg.m_certList->empty()) {
                    dlg.m_openStore = store;
                    dlg.m_certList = std::make_shared<CCertList>(certificates);
                }
            });

            progress.setRange(static_cast<uint32_t>(std::min<size_t>(certificates.size(), UINT32_MAX)));
            progress.setPos(0);
            std::set<const CCertificate*> accounted;
            for (const CCertificate& certificate : certificates) {
                progress.next();
                if (progress.isCancelled() || job.isThreadRegistered()) return;
                if (accounted.count(&certificate)) continue;
                const CCertificate* candidate = &certificate;
                int64_t days = remainingDays(*candidate, now);
                if (days > ReportDays) continue;

                // A newer certificate of the same holder in force silences the candidate; among those
                // about to expire, the one with the most days left is reported.
                bool covered = false;
                for (const CCertificate& other : certificates) {
                    if (&other == candidate || !twins(other, *candidate)) continue;
                    accounted.insert(&other);
                    const int64_t otherDays = remainingDays(other, now);
                    if (otherDays > ReportDays) {
                        covered = true;
                        break;
                    }
                    if (days < otherDays) {
                        candidate = &other;
                        days = otherDays;
                    }
                }
                if (covered) continue;

                if (HCERTSTORE pending = requests.get())
                    if (renewalPending(pending, *candidate)) continue;

                const CWString name = candidate->get_SubjectShortName();
                if (days < 0) {
                    lines.add(fromQ(QStringLiteral("\"") + toQ(name) + QStringLiteral(u"\" просрочен ") +
                                    endDateText(*candidate)));
                } else {
                    lines.insert(fromQ(QStringLiteral(u"Осталось %1 дней до истечения срока действительности "
                                                      u"сертификата \"")
                                           .arg(days) +
                                       toQ(name) + QStringLiteral("\".")),
                                 0);
                }
            }
        }
        requests.close();
        if (lines.getCount()) {
            const QString text = toQ(Vsk::Utils::JoinStrings(lines, CWString(u"\r\n\r\n")));
            job.runOnDlg([&](CKestrovanDlg& dlg) {
                Vsk::InternalUtils::BringToForeground(&dlg);
                dlg.messageBox(text, caption, MB_ICONWARNING);
            });
        }
    } catch (const Vsk::Utils::CError& error) {
        requests.close();
        job.runOnDlg([&](CKestrovanDlg& dlg) { dlg.showError(error, caption); });
    } catch (...) {
        requests.close();
        job.runOnDlg(
            [&](CKestrovanDlg& dlg) { dlg.messageBox(QStringLiteral("..."), caption, MB_ICONERROR); });
    }
}
