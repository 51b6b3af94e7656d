// Certificate verification as the program shows it: statuses and their texts for chains made by
// openssl (a GOST root in ROOT, certificates it issued, a CRL in CA) under the revocation settings
// that matter, and the CRL download from the distribution points of a local server.
#include "certificateFixtures.h"
#include "httpTestServer.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/Crl.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/Settings.h>
#include <vsk/platform/cert.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace Vsk::Utils;
using namespace Vsk::PKI;

namespace {

std::string sh(const std::filesystem::path& path) {
    return CertFixture::quote(path.string());
}

// A GOST root and what it issues, made with openssl ca in a folder of its own.
class TestCa {
public:
    explicit TestCa(const std::string& name) : m_dir(CertFixture::folder() / name) {
        std::filesystem::create_directories(m_dir);
        std::ofstream(m_dir / "index.txt").close();
        std::ofstream(m_dir / "serial") << "1000\n";
        std::ofstream(m_dir / "crlnumber") << "01\n";
        std::ofstream(m_dir / "ca.cnf")
            << "[ca]\ndefault_ca=d\n[d]\ndir=" << m_dir.string()
            << "\ndatabase=$dir/index.txt\nserial=$dir/serial\ncrlnumber=$dir/crlnumber\n"
               "new_certs_dir=$dir\ndefault_md=md_gost12_256\ndefault_days=30\n"
               "default_crl_days=7\npolicy=p\nunique_subject=no\n[p]\n"
               "commonName=supplied\n[leaf]\nbasicConstraints=CA:FALSE\n";
        run("openssl req -x509 -engine gost -newkey gost2012_256 -pkeyopt paramset:A -nodes -days 60 "
            "-keyout " +
            sh(m_dir / "root.key") + " -out " + sh(m_dir / "root.pem") + " -subj /CN=" + name + "-root");
    }

    // A leaf issued by the root; `extra` is more openssl ca arguments (dates), `extensions` the lines of
    // its extension section.
    std::filesystem::path issue(const std::string& name, const std::string& extra = {},
                                const std::string& extensions = {}) {
        std::string section = "leaf";
        if (!extensions.empty()) {
            section = "ext_" + name;
            std::ofstream(m_dir / "ca.cnf", std::ios::app) << "[" << section << "]\n" << extensions << "\n";
        }
        run("openssl req -new -engine gost -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout " +
            sh(m_dir / (name + ".key")) + " -out " + sh(m_dir / (name + ".csr")) + " -subj /CN=" + name);
        run("openssl ca -batch -engine gost -notext -config " + sh(m_dir / "ca.cnf") + " -extensions " +
            section + " -cert " + sh(m_dir / "root.pem") + " -keyfile " + sh(m_dir / "root.key") + " -in " +
            sh(m_dir / (name + ".csr")) + " -out " + sh(m_dir / (name + ".pem")) + " " + extra);
        return m_dir / (name + ".pem");
    }

    void revoke(const std::filesystem::path& pem) {
        run("openssl ca -engine gost -config " + sh(m_dir / "ca.cnf") + " -cert " + sh(m_dir / "root.pem") +
            " -keyfile " + sh(m_dir / "root.key") + " -revoke " + sh(pem));
    }

    std::filesystem::path crl() {
        run("openssl ca -engine gost -gencrl -config " + sh(m_dir / "ca.cnf") + " -cert " +
            sh(m_dir / "root.pem") + " -keyfile " + sh(m_dir / "root.key") + " -out " +
            sh(m_dir / "crl.pem"));
        run("openssl crl -in " + sh(m_dir / "crl.pem") + " -outform DER -out " + sh(m_dir / "crl.der"));
        return m_dir / "crl.der";
    }

    std::filesystem::path root() const { return m_dir / "root.pem"; }

private:
    static void run(const std::string& command) {
        bool ok = false;
        CertFixture::run("(" + command + ") >/dev/null 2>&1", &ok);
        EXPECT_TRUE(ok) << command;
    }

    std::filesystem::path m_dir;
};

CCertificate load(const std::filesystem::path& pem) {
    CCertificate certificate(true);
    certificate.LoadFromBlob(CertFixture::readFile(pem));
    return certificate;
}

void addToStore(const char16_t* store, const CDataBlob& bytes, bool crl = false) {
    HCERTSTORE h = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, store);
    ASSERT_NE(h, nullptr);
    CDataBlob der = bytes;
    // PEM files: the DER inside.
    if (!crl) {
        CCertificate c(true);
        c.LoadFromBlob(bytes);
        der = CDataBlob(c.get_CertContext()->pbCertEncoded,
                        static_cast<size_t>(c.get_CertContext()->cbCertEncoded), true)
                  .clone();
    }
    if (crl)
        EXPECT_TRUE(CertAddEncodedCRLToStore(h, X509_ASN_ENCODING, der.getData(),
                                             static_cast<DWORD>(der.getSize()),
                                             CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
    else
        EXPECT_TRUE(CertAddEncodedCertificateToStore(h, X509_ASN_ENCODING, der.getData(),
                                                     static_cast<DWORD>(der.getSize()),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
    CertCloseStore(h, 0);
}

CCertVerifySettings settings(int flag, int mode) {
    CCertVerifySettings s;
    s.put_RevocationFlag(flag);
    s.put_RevocationMode(mode);
    return s;
}

std::u16string statusText(DWORD status) {
    return CWString(getVerifyStatusText(status), static_cast<size_t>(-1), 1251).toU16();
}

}  // namespace

TEST(CertificateVerifyTest, StatusTexts) {
    const struct {
        DWORD status;
        const char16_t* text;
    } rows[] = {
        {0, u"Ошибок не найдено."},
        {1, u"Подпись неверна"},
        {101, u"У данного сертификата или у сертификата из цепочки доверия истёк срок действия."},
        {103, u"Данный сертификат или один из сертификатов цепочки доверия был отозван."},
        {120, u"Неполная цепочка доверия сертификатов."},
        {199, u"Неизвестная ошибка при проверке сертификата"},
        {200, u"На подпись не получен штамп времени"},
        {109, u"Неизвестный статус."},
        {111, u"Неизвестный статус."},
        {121, u"Неизвестный статус."},
        {5, u"Неизвестный статус."},
    };
    for (const auto& row : rows) EXPECT_EQ(statusText(row.status), row.text) << row.status;
    EXPECT_EQ(statusToTrustError(116), 0x1000000u);
    EXPECT_EQ(statusToTrustError(109), static_cast<DWORD>(-1));
    EXPECT_EQ(std::string(getChainTrustErrorText(0x3)), "");
}

TEST(CertificateVerifyTest, StatusesOfChainsUnderTheRevocationSettings) {
    TestCa ca("verify-ca");
    const auto good = ca.issue("good");
    const auto expired = ca.issue("expired", "-startdate 20200101000000Z -enddate 20210101000000Z");
    const auto revoked = ca.issue("revoked");
    ca.revoke(revoked);
    const auto crl = ca.crl();

    // Without the root anywhere the chain is not complete; in CA only it is not trusted.
    EXPECT_EQ(load(good).Verify(settings(2, 1)), 120u);
    addToStore(u"CA", CertFixture::readFile(ca.root()));
    EXPECT_EQ(load(good).Verify(settings(2, 1)), 106u);

    addToStore(u"ROOT", CertFixture::readFile(ca.root()));
    // No CRL yet: mode 1 ("do not check revocation") asks nothing of revocation, mode 3 cannot tell.
    EXPECT_EQ(load(good).Verify(settings(1, 1)), 0u);
    EXPECT_EQ(load(good).Verify(settings(2, 3)), 107u);
    EXPECT_EQ(load(revoked).Verify(settings(3, 1)), 0u);

    addToStore(u"CA", CertFixture::readFile(crl), true);
    const struct {
        const char* name;
        std::filesystem::path pem;
        int flag, mode;
        DWORD status;
    } rows[] = {
        {"good, defaults", good, 2, 3, 0},
        {"good, whole chain from stores and network", good, 3, 2, 0},
        {"expired", expired, 2, 3, 101},
        {"revoked, end certificate", revoked, 1, 3, 103},
        {"revoked, chain without root", revoked, 2, 3, 103},
        {"revoked, revocation not checked", revoked, 2, 1, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(load(row.pem).Verify(settings(row.flag, row.mode)), row.status);
    }
    // A given time: the good certificate did not exist yet in 2020.
    const FILETIME then = CertFixture::opensslTime("Jun  1 00:00:00 2020 GMT");
    CCertVerifySettings noRevocation = settings(2, 1);
    EXPECT_EQ(CCertificate::VerifyCertificate(load(good).get_CertContext(), &noRevocation, &then), 101u);
}

TEST(CertificateVerifyTest, CrlDownloadFromTheDistributionPoints) {
    // The machine's proxy settings must not send loopback requests elsewhere.
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(name);
    auto server = VskTest::HttpTestServer::plain();
    TestCa ca("download-ca");
    const CDataBlob crlBytes = CertFixture::readFile(ca.crl());
    VskTest::HttpTestResponse served;
    served.body.assign(reinterpret_cast<const char*>(crlBytes.getData()), crlBytes.getSize());
    server->setResponse("/ca.crl", served);
    VskTest::HttpTestResponse missing;
    missing.status = 404;
    server->setResponse("/missing.crl", missing);
    const std::string base = "http://" + server->address();
    const std::string closed = "http://127.0.0.1:1/a.crl";

    // The first address cannot be reached; the second serves the CRL.
    CCertificate second = load(ca.issue(
        "second", {},
        "basicConstraints=CA:FALSE\ncrlDistributionPoints=URI:" + closed + ",URI:" + base + "/ca.crl"));
    CCrl crl = second.DownloadCRL(nullptr, nullptr);
    EXPECT_EQ(crl.get_IssuerName().toU16(), u"CN=download-ca-root");

    // Both fail: one error naming each address's failure, numbered.
    CCertificate failing = load(ca.issue(
        "failing", {},
        "basicConstraints=CA:FALSE\ncrlDistributionPoints=URI:" + base + "/missing.crl,URI:" + closed));
    std::u16string text;
    try {
        failing.DownloadCRL(nullptr, nullptr);
    } catch (const CError& e) {
        text = e.getText().toU16();
    }
    EXPECT_NE(text.find(u"1 - "), std::u16string::npos) << CAString(CWString(text.c_str()), 65001).toStd();
    EXPECT_NE(text.find(u"2 - "), std::u16string::npos);
    EXPECT_NE(text.find(u"HTTP Status Code = 404"), std::u16string::npos);
    EXPECT_NE(text.find(u"127.0.0.1:1"), std::u16string::npos);

    CCertificate none = load(ca.issue("none"));
    text.clear();
    try {
        none.DownloadCRL(nullptr, nullptr);
    } catch (const CError& e) {
        text = e.getText().toU16();
    }
    EXPECT_EQ(text.find(u"CrlDestinationPoints отсутствуют у сертификата \"none\""), 0u)
        << CAString(CWString(text.c_str()), 65001).toStd();
}
