// The certificate list of the main window against the bare listing of the same store.
//   bench_app [--count 10000] [--rounds 3] [--status-seconds 20]
// Each round: the library alone opens the user's "MY" store and lists it into certificate objects,
// reading each one's thumbprint text, subject and validity (the certificate benchmark's work); then the
// window (offscreen) selects its "Личные" node, which reads the same store and fills the list with its
// seven columns. Reported: the medians of both wall times and their ratio (goal: at most 2), and,
// while the status worker verifies the certificates, the longest gap between two ticks of a 5 ms
// timer on the GUI thread (goal: under 50 ms).
#include "benchSets.h"

#include "kestrovanDlg.h"
#include "tempRoot.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/Store.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/registry.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/array.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeWidget>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench_app: %s failed\n", what);
    std::exit(1);
}

double wallSeconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void fillStore(const std::vector<Der>& certificates) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
    if (!store) fail("opening the store");
    for (const auto& der : certificates)
        if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                              static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, nullptr))
            fail("adding to the store");
    CertCloseStore(store, 0);
}

volatile size_t sink = 0;

double listAlone(size_t expected) {
    const double start = wallSeconds();
    Vsk::PKI::CStore store;
    store.Open(u"MY", CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG);
    Vsk::Utils::CArray<Vsk::PKI::CCertificate> certificates;
    store.GetCertificates(&certificates);
    size_t total = 0;
    for (const Vsk::PKI::CCertificate& cert : certificates) {
        total += cert.get_Thumbprint().getLength() + cert.get_SubjectName().getLength();
        total += (cert.get_NotBefore().dwLowDateTime & 1) + (cert.get_NotAfter().dwLowDateTime & 1);
    }
    const double seconds = wallSeconds() - start;
    if (certificates.getCount() != expected) fail("listing the store");
    sink = sink + total;
    return seconds;
}

QTreeWidgetItem* nodeItem(CKestrovanDlg& window, NodeId node) {
    for (QTreeWidgetItemIterator it(window.tree()); *it; ++it)
        if (CKestrovanDlg::nodeOf(*it) == node) return *it;
    fail("finding the tree node");
}

}  // namespace

int main(int argc, char** argv) {
    int count = 10000;
    int rounds = 3;
    int statusSeconds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--count")) count = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--status-seconds")) statusSeconds = std::atoi(argv[i + 1]);
    }
    if (count <= 0 || rounds <= 0 || statusSeconds <= 0) {
        std::fprintf(stderr, "usage: bench_app [--count 10000] [--rounds 3] [--status-seconds 20]\n");
        return 2;
    }
    VskTest::EnterProcessRoot("kestrovan-bench-");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);

    fillStore(MakeCertificates(SetKind::Gost, count));
    // No expiry check at start: the window's only work is the list.
    HKEY key = nullptr;
    const DWORD options = OPTION_NO_START_CHECK;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, AppRegistryKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) ||
        RegSetValueExW(key, u"flags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&options), sizeof options))
        fail("writing the options");
    RegCloseKey(key);

    std::printf(
        "bare listing: CStore::Open \"MY\", CStore::GetCertificates, per object get_Thumbprint, "
        "get_SubjectName, get_NotBefore, get_NotAfter\n");
    std::printf(
        "window: selecting the personal store node (FillCerts: the same listing, then one row of seven "
        "columns "
        "per certificate, icons and column widths), statuses computed afterwards by the worker\n\n");

    CKestrovanDlg window;
    window.show();
    QCoreApplication::processEvents();
    std::vector<double> bare, filled;
    for (int r = 0; r < rounds; ++r) {
        bare.push_back(listAlone(static_cast<size_t>(count)));
        // A new reading each round: the refresh drops the window's cached list and store.
        window.tree()->setCurrentItem(nodeItem(window, NODE_ROOT));
        window.refresh(false);
        const double start = wallSeconds();
        window.tree()->setCurrentItem(nodeItem(window, reinterpret_cast<NodeId>(StoreMY)));
        filled.push_back(wallSeconds() - start);
        if (window.listCount() != count) fail("filling the list");
    }

    // The GUI thread's longest hold while the worker verifies (for at most --status-seconds).
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.elapsed(), longest = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    tick.start(5);
    const double statusStart = wallSeconds();
    while (window.m_statusThread && WaitForSingleObject(window.m_statusThread, 0) == WAIT_TIMEOUT &&
           wallSeconds() - statusStart < statusSeconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const double statusWall = wallSeconds() - statusStart;
    tick.stop();
    int done = 0;
    for (int i = 0; i < window.listCount(); ++i)
        if (window.listItem(i)->text(4) != QStringLiteral("?")) ++done;

    const double b = median(bare), f = median(filled);
    std::printf("%8s  %14s  %14s  %7s\n", "count", "bare listing s", "window list s", "ratio");
    std::printf("%8d  %14.3f  %14.3f  %7.2f   (goal: ratio at most 2)\n", count, b, f, f / b);
    std::printf(
        "the window's time includes the progress bar's deliberate minimum of 0.3 s for its first ten "
        "steps\n");
    std::printf(
        "\nstatuses: %d of %d verified in %.1f s; longest GUI-thread hold meanwhile: %lld ms (goal: under "
        "50 ms)\n",
        done, count, statusWall, static_cast<long long>(longest));
    window.close();
    return 0;
}
