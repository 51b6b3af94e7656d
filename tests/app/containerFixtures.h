// Key containers for the window tests, made at test time in the provider stand-in's key folders of
// the test's root: a GOST R 34.10-2012 256 key pair (exchange or signature key), optionally holding a
// certificate that openssl with the GOST engine issued for the container's public key. Also a guard
// that puts providers described by a test in place of the built-in ones.
#pragma once

#include "appTestSupport.h"
#include "certificates/certificateFixtures.h"
#include "certificates/derFixtures.h"

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/CertApi.h>
#include <vsk/pki/Certificate.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/dataBlob.h>

#include "fakeProviders.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDateTime>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace ContainerFixtures {

constexpr DWORD GostType = 80;
constexpr DWORD Encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

using DerFixture::spkiDer;

struct Made {
    std::u16string name;
    std::string uniqueName;
    std::filesystem::path publicPem;
    bool ok = false;
};

inline HCRYPTPROV acquire(const std::u16string& name, DWORD flags) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, reinterpret_cast<const WCHAR*>(name.c_str()), nullptr, GostType, flags))
        return 0;
    return prov;
}

// A container of the default GOST 2012 256 provider with a fresh key of `keySpec` (the user's keys,
// or the computer's with `machine`), protected by `password` when one is given.
inline Made makeContainer(const std::u16string& name, DWORD keySpec = AT_KEYEXCHANGE, bool machine = false,
                          const char* password = nullptr) {
    Made made;
    made.name = name;
    const DWORD scope = machine ? CRYPT_MACHINE_KEYSET : 0;
    HCRYPTPROV prov = acquire(name, CRYPT_NEWKEYSET | CRYPT_SILENT | scope);
    EXPECT_NE(prov, 0u) << "CRYPT_NEWKEYSET failed: " << std::hex << GetLastError();
    if (!prov) return made;
    if (password) {
        EXPECT_TRUE(CryptSetProvParam(prov, keySpec == AT_KEYEXCHANGE ? PP_KEYEXCHANGE_PIN : PP_SIGNATURE_PIN,
                                      reinterpret_cast<const BYTE*>(password), 0));
    }
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGenKey(prov, keySpec, CRYPT_EXPORTABLE, &key)) << std::hex << GetLastError();
    DWORD uniqueSize = 0;
    EXPECT_TRUE(CryptGetProvParam(prov, PP_UNIQUE_CONTAINER, nullptr, &uniqueSize, 0));
    std::string unique(uniqueSize, '\0');
    EXPECT_TRUE(
        CryptGetProvParam(prov, PP_UNIQUE_CONTAINER, reinterpret_cast<BYTE*>(unique.data()), &uniqueSize, 0));
    made.uniqueName = unique.c_str();
    DWORD infoSize = 0;
    EXPECT_TRUE(CryptExportPublicKeyInfo(prov, keySpec, Encoding, nullptr, &infoSize));
    std::vector<BYTE> info(infoSize);
    EXPECT_TRUE(CryptExportPublicKeyInfo(prov, keySpec, Encoding,
                                         reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()), &infoSize));
    const std::string file = "container-" + std::string(name.begin(), name.end()) + "-" +
                             std::to_string(reinterpret_cast<uintptr_t>(prov));
    const std::filesystem::path base = CertFixture::folder() / file;
    std::ofstream(base.string() + ".pub.der", std::ios::binary)
        << spkiDer(*reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(info.data()));
    made.publicPem = base.string() + ".pub.pem";
    bool ok = false;
    CertFixture::run("openssl pkey -engine gost -pubin -inform DER -in " +
                         CertFixture::quote(base.string() + ".pub.der") + " -out " +
                         CertFixture::quote(made.publicPem.string()) + " 2>&1",
                     &ok);
    EXPECT_TRUE(ok) << "openssl could not read the container's public key";
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    made.ok = ok;
    return made;
}

// A certificate "CN=<commonName>" issued by a test authority for the public key in `publicPem`, valid
// 30 days from now. `keyNotAfter` (GeneralizedTime text, e.g. "20200101000000Z") adds a private key
// usage period that ended then. `issuer`, when given, names the issuing authority's files without
// their ending ("<issuer>.pem" and "<issuer>.key"); by default a "Containers CA" made here issues.
inline Vsk::Utils::CDataBlob issue(const std::filesystem::path& publicPem, const std::string& commonName,
                                   const std::string& keyNotAfter = {},
                                   const std::filesystem::path& issuer = {}) {
    const std::filesystem::path dir = CertFixture::folder();
    const std::string ca = issuer.empty() ? (dir / "app-containers-ca").string() : issuer.string();
    bool ok = true;
    if (issuer.empty() && !std::filesystem::exists(ca + ".pem"))
        CertFixture::run(
            "openssl req -x509 -engine gost -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout " +
                CertFixture::quote(ca + ".key") + " -out " + CertFixture::quote(ca + ".pem") +
                " -subj '/CN=Containers CA' -days 30 2>&1",
            &ok);
    EXPECT_TRUE(ok);
    const std::string out = (dir / (publicPem.stem().string() + ".cert.der")).string();
    std::string extensions;
    if (!keyNotAfter.empty()) {
        std::string hex;
        for (unsigned char c : keyNotAfter) {
            char digits[4];
            std::snprintf(digits, sizeof digits, ":%02X", c);
            hex += digits;
        }
        char header[16];
        std::snprintf(header, sizeof header, "30:%02zX:81:%02zX", keyNotAfter.size() + 2, keyNotAfter.size());
        const std::string config = out + ".ext";
        std::ofstream(config) << "[e]\n2.5.29.16=DER:" << header << hex << "\n";
        extensions = " -extfile " + CertFixture::quote(config) + " -extensions e";
    }
    CertFixture::run("openssl x509 -new -engine gost -subj " + CertFixture::quote("/CN=" + commonName) +
                         " -force_pubkey " + CertFixture::quote(publicPem.string()) + " -CA " +
                         CertFixture::quote(ca + ".pem") + " -CAkey " + CertFixture::quote(ca + ".key") +
                         " -days 30" + extensions + " -outform DER -out " + CertFixture::quote(out) + " 2>&1",
                     &ok);
    EXPECT_TRUE(ok) << "openssl could not issue the certificate";
    return CertFixture::readFile(out);
}

// Writes the certificate into the container's key of `keySpec`.
inline void storeInContainer(const std::u16string& name, const Vsk::Utils::CDataBlob& certificate,
                             DWORD keySpec = AT_KEYEXCHANGE, bool machine = false) {
    HCRYPTPROV prov = acquire(name, CRYPT_SILENT | (machine ? CRYPT_MACHINE_KEYSET : 0));
    ASSERT_NE(prov, 0u);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, keySpec, &key));
    EXPECT_TRUE(CryptSetKeyParam(key, KP_CERTIFICATE, certificate.getData(), 0))
        << std::hex << GetLastError();
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

// Deletes the container.
inline void deleteContainer(const std::u16string& name, bool machine = false) {
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(CryptAcquireContextW(&prov, reinterpret_cast<const WCHAR*>(name.c_str()), nullptr, GostType,
                                     CRYPT_DELETEKEYSET | (machine ? CRYPT_MACHINE_KEYSET : 0)))
        << std::hex << GetLastError();
}

// An exchange-key container holding a certificate for its key.
struct WithCertificate {
    Made container;
    Vsk::Utils::CDataBlob der;
};
inline WithCertificate makeWithCertificate(const std::u16string& name, const std::string& commonName,
                                           const std::string& keyNotAfter = {}, bool machine = false,
                                           const char* password = nullptr) {
    WithCertificate made{makeContainer(name, AT_KEYEXCHANGE, machine, password), {}};
    if (!made.container.ok) return made;
    made.der = issue(made.container.publicPem, commonName, keyNotAfter);
    storeInContainer(name, made.der, AT_KEYEXCHANGE, machine);
    return made;
}

inline Vsk::PKI::CCertificate load(const Vsk::Utils::CDataBlob& der) {
    Vsk::PKI::CCertificate certificate(true);
    certificate.LoadFromBlob(der);
    return certificate;
}

// While it lives, the providers of the fixture text (fakeProviders.h) are the installed ones; the
// provider catalogue is read afresh on both ends.
class FakeProvidersGuard {
public:
    explicit FakeProvidersGuard(const std::string& fixture) {
        VskTest::UseFakeProviders(fixture);
        Vsk::PKI::ClearCspAlgInfo();
    }
    ~FakeProvidersGuard() {
        VskTest::UseBuiltInProviders();
        Vsk::PKI::ClearCspAlgInfo();
    }
    FakeProvidersGuard(const FakeProvidersGuard&) = delete;
    FakeProvidersGuard& operator=(const FakeProvidersGuard&) = delete;
};

// Whether the program's pictures include this icon (they are resources of the build).
inline bool HasIcon(int id) {
    return LoadIconW(nullptr, MAKEINTRESOURCEW(id)) != nullptr;
}

// ---- The window's container node ----------------------------------------------------------------------

// Shows the key-container node: the node change fills it, or, where the change does not fill lists
// yet, the filling is called as the change would.
inline void ShowContainers(CKestrovanDlg& window) {
    window.providerSelector()->hide();
    AppTest::SelectNode(window, NODE_KEY_CONTAINERS);
    if (window.providerSelector()->isHidden()) window.FillKeyConts();
}

// The row whose column 0 reads `name`; null when there is none.
inline QTreeWidgetItem* FindRow(CKestrovanDlg& window, const std::u16string& name) {
    QTreeWidget* list = window.list();
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(0) == QString::fromStdU16String(name)) return list->topLevelItem(i);
    return nullptr;
}

// Selects exactly the rows of these containers.
inline void SelectRows(CKestrovanDlg& window, const std::vector<std::u16string>& names) {
    window.list()->clearSelection();
    for (const std::u16string& name : names) {
        QTreeWidgetItem* row = FindRow(window, name);
        ASSERT_NE(row, nullptr) << "no row " << std::string(name.begin(), name.end());
        row->setSelected(true);
    }
}

// The selector's texts.
inline std::vector<QString> ProviderTexts(CKestrovanDlg& window) {
    std::vector<QString> texts;
    for (int i = 0; i < window.providerSelector()->count(); ++i)
        texts.push_back(window.providerSelector()->itemText(i));
    return texts;
}

// The user picks a provider in the selector.
inline void PickProvider(CKestrovanDlg& window, int index) {
    QComboBox* selector = window.providerSelector();
    selector->setCurrentIndex(index);
    emit selector->activated(index);
}

// The index of the first provider of `type` in the selector; -1 when there is none.
inline int ProviderOfType(CKestrovanDlg& window, DWORD type) {
    const QString prefix = QString::number(type) + QStringLiteral(" - ");
    for (int i = 0; i < window.providerSelector()->count(); ++i)
        if (window.providerSelector()->itemText(i).startsWith(prefix)) return i;
    return -1;
}

// Shows the containers of the stand-in's GOST 2012 256 provider, where the tests make them.
inline void ShowGostContainers(CKestrovanDlg& window) {
    ShowContainers(window);
    const int gost = ProviderOfType(window, GostType);
    ASSERT_GE(gost, 0);
    if (window.providerSelector()->currentIndex() != gost) PickProvider(window, gost);
}

// A validity bound of a DER certificate as openssl reads it ("startdate" or "enddate"), as a local
// date "dd.mm.yyyy".
inline QString LocalDateOf(const Vsk::Utils::CDataBlob& der, const std::string& bound) {
    const std::filesystem::path file = CertFixture::folder() / "dates.der";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(der.getData()), static_cast<std::streamsize>(der.getSize()));
    std::string said =
        CertFixture::run("openssl x509 -engine gost -inform DER -in " + CertFixture::quote(file.string()) +
                         " -noout -dateopt iso_8601 -" + bound + " 2>/dev/null");
    // "notBefore=2026-12-11 03:00:00Z"
    const size_t equals = said.find('=');
    if (equals == std::string::npos) return QString();
    QString text = QString::fromStdString(said.substr(equals + 1)).trimmed();
    text.replace(QLatin1Char(' '), QLatin1Char('T'));
    const QDateTime utc = QDateTime::fromString(text, Qt::ISODate);
    return utc.isValid() ? utc.toLocalTime().toString(QStringLiteral("dd.MM.yyyy")) : QString();
}

}  // namespace ContainerFixtures
