// The certificate viewer over a certificate made by the openssl command, which is also the oracle
// for the thumbprint and the serial number.
#include "guiTestEnvironment.h"

#include <vsk/platform/cert.h>
#include <vsk/platform/cryptui.h>
#include <vsk/platform/kernel.h>

#include <QDialog>
#include <QFile>
#include <QPlainTextEdit>
#include <QProcess>

#include <vector>

namespace {

class CertificateViewerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const QString folder = QString::fromStdString(GuiTest::Root());
        certPath() = folder + QStringLiteral("/viewer.der");
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"), {QStringLiteral("req"),
                                                  QStringLiteral("-x509"),
                                                  QStringLiteral("-newkey"),
                                                  QStringLiteral("ec"),
                                                  QStringLiteral("-pkeyopt"),
                                                  QStringLiteral("ec_paramgen_curve:prime256v1"),
                                                  QStringLiteral("-nodes"),
                                                  QStringLiteral("-keyout"),
                                                  folder + QStringLiteral("/viewer.key"),
                                                  QStringLiteral("-outform"),
                                                  QStringLiteral("DER"),
                                                  QStringLiteral("-out"),
                                                  certPath(),
                                                  QStringLiteral("-utf8"),
                                                  QStringLiteral("-subj"),
                                                  QStringLiteral("/CN=Тестовый сертификат/O=Кестрован"),
                                                  QStringLiteral("-set_serial"),
                                                  QStringLiteral("0x1234abcd"),
                                                  QStringLiteral("-days"),
                                                  QStringLiteral("30"),
                                                  QStringLiteral("-addext"),
                                                  QStringLiteral("keyUsage=digitalSignature")});
        openssl.waitForFinished(30000);
        QFile file(certPath());
        if (file.open(QIODevice::ReadOnly)) der() = file.readAll();
        QProcess fingerprint;
        fingerprint.start(
            QStringLiteral("openssl"),
            {QStringLiteral("x509"), QStringLiteral("-inform"), QStringLiteral("DER"), QStringLiteral("-in"),
             certPath(), QStringLiteral("-noout"), QStringLiteral("-fingerprint"), QStringLiteral("-sha1")});
        fingerprint.waitForFinished(30000);
        // "SHA1 Fingerprint=AB:CD:..." becomes "ab cd ..." as the viewer writes it.
        sha1() = QString::fromLatin1(fingerprint.readAllStandardOutput())
                     .trimmed()
                     .section(u'=', 1)
                     .toLower()
                     .replace(u':', u' ');
    }

    void SetUp() override { ASSERT_FALSE(der().isEmpty()) << "the openssl command made no certificate"; }

    // A context of the certificate stand-in over the test certificate; freed by the caller.
    PCCERT_CONTEXT context() const {
        return CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                            reinterpret_cast<const BYTE*>(der().constData()),
                                            static_cast<DWORD>(der().size()));
    }

    static QString& certPath() {
        static QString value;
        return value;
    }
    static QByteArray& der() {
        static QByteArray value;
        return value;
    }
    static QString& sha1() {
        static QString value;
        return value;
    }
};

TEST_F(CertificateViewerTest, TextNamesSubjectIssuerValiditySerialThumbprintAndExtensions) {
    const QString text = QString::fromStdU16String(CertificateViewText(
        reinterpret_cast<const BYTE*>(der().constData()), static_cast<DWORD>(der().size())));
    EXPECT_TRUE(text.contains(QStringLiteral("Кому выдан: CN = Тестовый сертификат, O = Кестрован")))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("Кем выдан: CN = Тестовый сертификат, O = Кестрован")));
    EXPECT_TRUE(text.contains(QStringLiteral("Действителен с: ")));
    EXPECT_TRUE(text.contains(QStringLiteral("Действителен по: ")));
    ASSERT_FALSE(sha1().isEmpty());
    EXPECT_TRUE(text.contains(QStringLiteral("Отпечаток SHA-1: ") + sha1()));
    EXPECT_TRUE(text.contains(QStringLiteral("305441741 (0x1234abcd)")));
    EXPECT_TRUE(text.contains(QStringLiteral("X509v3 Key Usage")));
}

TEST_F(CertificateViewerTest, DialogShowsTheTextAndClosingIsSuccess) {
    PCCERT_CONTEXT cert = context();
    ASSERT_NE(cert, nullptr);
    QString shown;
    GuiTest::OnModal([&](QWidget* modal) {
        if (auto* edit = modal->findChild<QPlainTextEdit*>()) shown = edit->toPlainText();
        GuiTest::Screenshot(modal, "certificateViewer");
        static_cast<QDialog*>(modal)->accept();
    });
    CRYPTUI_VIEWCERTIFICATE_STRUCTW view{};
    view.dwSize = sizeof(view);
    view.pCertContext = cert;
    BOOL changed = TRUE;
    EXPECT_TRUE(CryptUIDlgViewCertificateW(&view, &changed));
    EXPECT_FALSE(changed);
    EXPECT_TRUE(shown.contains(sha1()));
    CertFreeCertificateContext(cert);
}

TEST_F(CertificateViewerTest, BadInputFails) {
    std::vector<BYTE> junk = {0x30, 0x03, 0x02, 0x01};
    const CERT_CONTEXT bad{1, junk.data(), static_cast<DWORD>(junk.size()), nullptr, nullptr};
    CRYPTUI_VIEWCERTIFICATE_STRUCTW view{};
    view.dwSize = sizeof(view);
    view.pCertContext = &bad;
    SetLastError(0);
    EXPECT_FALSE(CryptUIDlgViewCertificateW(&view, nullptr));
    EXPECT_EQ(GetLastError(), CRYPT_E_BAD_ENCODE_CODE);
    view.dwSize = 112;
    EXPECT_FALSE(CryptUIDlgViewCertificateW(&view, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CertificateViewText(nullptr, 0).empty());
}

}  // namespace
