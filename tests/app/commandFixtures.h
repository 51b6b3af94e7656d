// Fixtures of the command-availability and keyboard tests: certificates with and without a CRL
// distribution point, key containers of the provider stand-in with and without a stored
// certificate, and rows of the window's list made by hand over them (the rules read only the rows'
// item data, the node and the open store).
#pragma once

#include "../pki/certificates/certificateFixtures.h"
#include "appTestSupport.h"

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
#include <string>
#include <vector>

namespace CommandFixtures {

using CertFixture::quote;
using CertFixture::run;

constexpr DWORD GostType = 80;
constexpr DWORD Encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

inline Vsk::PKI::CCertificate load(const Vsk::Utils::CDataBlob& der) {
    Vsk::PKI::CCertificate certificate(true);
    certificate.LoadFromBlob(der);
    return certificate;
}

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

inline std::string derLength(size_t size) {
    if (size < 0x80) return std::string(1, static_cast<char>(size));
    std::string octets;
    for (size_t left = size; left; left >>= 8) octets.insert(octets.begin(), static_cast<char>(left & 0xFF));
    return std::string(1, static_cast<char>(0x80 | octets.size())) + octets;
}

inline std::string der(BYTE tag, const std::string& contents) {
    return std::string(1, static_cast<char>(tag)) + derLength(contents.size()) + contents;
}

inline std::string oidDer(const char* dotted) {
    std::vector<unsigned long> arcs;
    for (const char* p = dotted; *p;) {
        arcs.push_back(std::strtoul(p, const_cast<char**>(&p), 10));
        if (*p == '.') ++p;
    }
    std::string body(1, static_cast<char>(arcs[0] * 40 + arcs[1]));
    for (size_t i = 2; i < arcs.size(); ++i) {
        std::string arc(1, static_cast<char>(arcs[i] & 0x7F));
        for (unsigned long v = arcs[i] >> 7; v; v >>= 7)
            arc.insert(arc.begin(), static_cast<char>(0x80 | (v & 0x7F)));
        body += arc;
    }
    return der(0x06, body);
}

inline std::string spkiDer(const CERT_PUBLIC_KEY_INFO& info) {
    const std::string parameters(reinterpret_cast<const char*>(info.Algorithm.Parameters.pbData),
                                 info.Algorithm.Parameters.cbData);
    const std::string bits =
        std::string(1, static_cast<char>(info.PublicKey.cUnusedBits)) +
        std::string(reinterpret_cast<const char*>(info.PublicKey.pbData), info.PublicKey.cbData);
    return der(0x30, der(0x30, oidDer(info.Algorithm.pszObjId) + parameters) + der(0x03, bits));
}

inline HCRYPTPROV acquire(const std::u16string& name, DWORD flags) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, reinterpret_cast<const WCHAR*>(name.c_str()), nullptr, GostType, flags))
        return 0;
    return prov;
}

// A user container with a GOST R 34.10-2012 256 exchange key; with `storeCertificate` a certificate
// "CN=<name>" issued for its key is written into it. Returns that certificate (empty handle without).
inline Vsk::PKI::CCertificate makeContainer(const std::string& name, bool storeCertificate) {
    const std::u16string wide(name.begin(), name.end());
    HCRYPTPROV prov = acquire(wide, CRYPT_NEWKEYSET | CRYPT_SILENT);
    EXPECT_NE(prov, 0u) << "CRYPT_NEWKEYSET failed: " << std::hex << GetLastError();
    if (!prov) return Vsk::PKI::CCertificate(false);
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, &key));
    Vsk::PKI::CCertificate issued(false);
    if (storeCertificate) {
        DWORD infoSize = 0;
        EXPECT_TRUE(CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, Encoding, nullptr, &infoSize));
        std::vector<BYTE> info(infoSize);
        EXPECT_TRUE(CryptExportPublicKeyInfo(
            prov, AT_KEYEXCHANGE, Encoding, reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()), &infoSize));
        const std::filesystem::path base = CertFixture::folder() / ("cmd-container-" + name);
        std::ofstream(base.string() + ".pub.der", std::ios::binary)
            << spkiDer(*reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(info.data()));
        const std::string ca = (CertFixture::folder() / "cmd-container-ca").string();
        bool ok = true;
        if (!std::filesystem::exists(ca + ".pem"))
            run("openssl req -x509 -engine gost -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout " +
                    quote(ca + ".key") + " -out " + quote(ca + ".pem") +
                    " -subj '/CN=Command CA' -days 30 2>&1",
                &ok);
        EXPECT_TRUE(ok);
        run("openssl pkey -engine gost -pubin -inform DER -in " + quote(base.string() + ".pub.der") +
                " -out " + quote(base.string() + ".pub.pem") + " 2>&1",
            &ok);
        EXPECT_TRUE(ok);
        run("openssl x509 -new -engine gost -subj " + quote("/CN=" + name) + " -force_pubkey " +
                quote(base.string() + ".pub.pem") + " -CA " + quote(ca + ".pem") + " -CAkey " +
                quote(ca + ".key") + " -days 30 -outform DER -out " + quote(base.string() + ".der") + " 2>&1",
            &ok);
        EXPECT_TRUE(ok) << "openssl could not issue the container's certificate";
        const Vsk::Utils::CDataBlob bytes = CertFixture::readFile(base.string() + ".der");
        EXPECT_TRUE(CryptSetKeyParam(key, KP_CERTIFICATE, bytes.getData(), 0)) << std::hex << GetLastError();
        issued = load(bytes);
    }
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    return issued;
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

// A stand-in worker: a real thread that runs until it is let go.
class RunningWorker {
public:
    RunningWorker() {
        m_thread = CreateThread(
            nullptr, 0,
            [](LPVOID parameter) -> DWORD {
                auto* run = static_cast<std::atomic<bool>*>(parameter);
                while (run->load()) Sleep(5);
                return 0;
            },
            &m_run, 0, &m_id);
    }
    ~RunningWorker() {
        release();
        if (m_thread) {
            WaitForSingleObject(m_thread, 10000);
            CloseHandle(m_thread);
        }
    }
    void release() { m_run = false; }
    // Hands the thread to the window, which closes its handle when it stops it.
    HANDLE give() {
        HANDLE handle = m_thread;
        m_thread = nullptr;
        return handle;
    }
    DWORD id() const { return m_id; }

private:
    std::atomic<bool> m_run{true};
    HANDLE m_thread = nullptr;
    DWORD m_id = 0;
};

}  // namespace CommandFixtures
