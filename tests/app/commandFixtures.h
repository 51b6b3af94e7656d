// Fixtures of the command-availability and keyboard tests: certificates with and without a CRL
// distribution point, key containers of the provider stand-in with and without a stored
// certificate, and rows of the window's list made by hand over them (the rules read only the rows'
// item data, the node and the open store).
#pragma once

#include "../pki/certificates/certificateFixtures.h"
#include "appTestSupport.h"
#include "containerFixtures.h"

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/Csp.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/pki/Store.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/crypt.h>
#include <vsk/platform/registryTesting.h>

#include <QHeaderView>
#include <QTreeWidget>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace CommandFixtures {

using CertFixture::quote;
using CertFixture::run;

using ContainerFixtures::Encoding;
using ContainerFixtures::GostType;
using ContainerFixtures::load;

// A self-signed certificate "CN=<name>", made once per process; with `crlPoint` it names a CRL
// distribution point.
inline Vsk::PKI::CCertificate selfSigned(const std::string& name, bool crlPoint) {
    const std::filesystem::path der = CertFixture::folder() / ("cmd-" + name + ".der");
    if (!std::filesystem::exists(der)) {
        const std::filesystem::path key = CertFixture::folder() / ("cmd-" + name + ".key");
        std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout " +
                              quote(key.string()) + " -subj " + quote("/CN=" + name) + " -outform DER -out " +
                              quote(der.string());
        if (crlPoint) command += " -addext 'crlDistributionPoints=URI:http://127.0.0.1:9/none.crl'";
        bool ok = false;
        run(command + " 2>&1", &ok);
        EXPECT_TRUE(ok) << command;
    }
    return load(CertFixture::readFile(der));
}

// ---- Key containers of the provider stand-in ----------------------------------------------------------

// A user container with a GOST R 34.10-2012 256 exchange key; with `storeCertificate` a certificate
// "CN=<name>" issued for its key is written into it. Returns that certificate (empty handle without).
inline Vsk::PKI::CCertificate makeContainer(const std::string& name, bool storeCertificate) {
    const std::u16string wide(name.begin(), name.end());
    if (!storeCertificate) {
        ContainerFixtures::makeContainer(wide);
        return Vsk::PKI::CCertificate(false);
    }
    const ContainerFixtures::WithCertificate made = ContainerFixtures::makeWithCertificate(wide, name);
    return made.container.ok ? load(made.der) : Vsk::PKI::CCertificate(false);
}

// The user's containers of the default GOST provider, as the program lists them.
inline Vsk::Utils::CArray<Vsk::PKI::CKeyContainer> listContainers() {
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, GostType, CRYPT_VERIFYCONTEXT));
    DWORD type = 0;
    Vsk::Utils::CWString name;
    EXPECT_TRUE(Vsk::PKI::GetCSPParams(prov, &type, &name, nullptr, nullptr));
    CryptReleaseContext(prov, 0);
    Vsk::Utils::CRefPtr<Vsk::PKI::CSPInfo> provider = Vsk::PKI::FindCSPInfo(GostType, name);
    Vsk::Utils::CArray<Vsk::PKI::CKeyContainer> list;
    if (!provider) {
        ADD_FAILURE() << "no GOST provider";
        return list;
    }
    Vsk::PKI::CCsp csp(true);
    csp.putCSPInfo(provider.get());
    csp.GetContainerList(list, false, nullptr);
    return list;
}

inline Vsk::PKI::CKeyContainer findContainer(const std::string& name) {
    const std::u16string wide(name.begin(), name.end());
    for (const Vsk::PKI::CKeyContainer& container : listContainers())
        if (container.get_Name().toU16() == wide) return container;
    ADD_FAILURE() << "container not listed: " << name;
    return Vsk::PKI::CKeyContainer(false);
}

// ---- Rows made by hand --------------------------------------------------------------------------------

// Empties the shown list without the window's filling: stops the status worker (it may hold the
// certificate list), drops the rows and leaves one column for the hand-made ones.
inline void emptyList(CKestrovanDlg& window) {
    window.clearCertList();
    window.list()->clear();
    if (window.list()->columnCount() == 0) window.list()->setColumnCount(1);
}

inline CListItem* addRow(CKestrovanDlg& window, void* itemData, const QString& text) {
    auto* row = new CListItem(&window, itemData, false);
    row->setText(0, text);
    window.list()->addTopLevelItem(row);
    return row;
}

// Selects the store node and shows `certificates` as its rows, with the node's store of `location`
// as the open store.
inline void showCertificates(CKestrovanDlg& window, NodeId node,
                             const std::vector<Vsk::PKI::CCertificate>& certificates,
                             DWORD location = STORE_LOCATION_USER) {
    AppTest::SelectNode(window, node);
    emptyList(window);
    window.m_openStore = Vsk::PKI::CStore(true);
    window.m_openStore.Open(storeNameOf(node), location);
    for (const Vsk::PKI::CCertificate& certificate : certificates) {
        window.m_certList->push_back(certificate);
        addRow(window, &window.m_certList->back(),
               AppTest::Text(certificate.get_SubjectShortName().toU16().c_str()));
    }
}

inline void showContainers(CKestrovanDlg& window, const std::vector<Vsk::PKI::CKeyContainer>& containers) {
    AppTest::SelectNode(window, NODE_KEY_CONTAINERS);
    emptyList(window);
    window.m_keyContList.clear();
    int index = 0;
    for (const Vsk::PKI::CKeyContainer& container : containers) {
        window.m_keyContList.push_back(container);
        addRow(window, &window.m_keyContList.back(), QStringLiteral("container %1").arg(index++));
    }
}

inline void showCrls(CKestrovanDlg& window, int count) {
    AppTest::SelectNode(window, NODE_CRLS);
    emptyList(window);
    window.m_crlList.clear();
    for (int i = 0; i < count; ++i) {
        window.m_crlList.emplace_back();
        addRow(window, &window.m_crlList.back(), QStringLiteral("crl %1").arg(i));
    }
}

// A certificate installed into a system store of the location.
inline void install(const Vsk::PKI::CCertificate& certificate, const WCHAR* store, DWORD location) {
    Vsk::PKI::CStore target(true);
    target.Open(store, location);
    target.InstallCertificate(certificate, CERT_STORE_ADD_ALWAYS);
}

// A stand-in worker: a real thread that runs until it is let go. The thread shares its run flag, so
// a thread handed to the window may outlive this object.
class RunningWorker {
public:
    RunningWorker() {
        m_thread = CreateThread(
            nullptr, 0,
            [](LPVOID parameter) -> DWORD {
                const std::unique_ptr<std::shared_ptr<std::atomic<bool>>> run(
                    static_cast<std::shared_ptr<std::atomic<bool>>*>(parameter));
                while ((*run)->load()) Sleep(5);
                return 0;
            },
            new std::shared_ptr<std::atomic<bool>>(m_run), 0, &m_id);
    }
    ~RunningWorker() {
        release();
        if (m_thread) {
            WaitForSingleObject(m_thread, 10000);
            CloseHandle(m_thread);
        }
    }
    void release() { *m_run = false; }
    // Hands the thread to the window, which closes its handle when it stops it.
    HANDLE give() {
        HANDLE handle = m_thread;
        m_thread = nullptr;
        return handle;
    }
    DWORD id() const { return m_id; }

private:
    std::shared_ptr<std::atomic<bool>> m_run = std::make_shared<std::atomic<bool>>(true);
    HANDLE m_thread = nullptr;
    DWORD m_id = 0;
};

}  // namespace CommandFixtures
