// The certificate and CRL viewers over a GOST R 34.10-2012 (512 bit) certificate and a CRL made by the
// openssl command with the GOST engine; openssl is also the oracle for the thumbprint. The tests read
// the viewers' pages the way a user reads them.
#include "guiTestEnvironment.h"

#include <vsk/platform/cert.h>
#include <vsk/platform/cryptui.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/module.h>

#include <QDate>
#include <QDateTime>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTabWidget>
#include <QTreeWidget>

#include <map>
#include <vector>

namespace {

QString runOpenssl(const QString& folder, const QStringList& arguments) {
    QProcess openssl;
    openssl.setWorkingDirectory(folder);
    openssl.start(QStringLiteral("openssl"), arguments);
    openssl.waitForFinished(60000);
    return QString::fromUtf8(openssl.readAllStandardOutput());
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// What a viewer shows, read off its widgets.
struct Shown {
    QStringList tabs;
    std::map<QString, QString> labels;  // object name -> text
    std::map<QString, QString> fields;  // field name -> list value, of the first field list
    std::map<QString, QString> whole;   // field name -> the whole value shown below when selected
    std::vector<std::pair<QString, QString>> revoked;
    std::map<QString, QString> entry;  // fields of the second revoked certificate
    QStringList path;                  // the certification path, root first
};

std::map<QString, QString> readFields(QTreeWidget* list, QPlainTextEdit* value,
                                      std::map<QString, QString>* whole = nullptr) {
    std::map<QString, QString> out;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = list->topLevelItem(i);
        out[item->text(0)] = item->text(1);
        if (whole) {
            list->setCurrentItem(item);
            (*whole)[item->text(0)] = value->toPlainText();
        }
    }
    return out;
}

Shown read(QWidget* dialog) {
    Shown shown;
    auto* tabs = dialog->findChild<QTabWidget*>(QStringLiteral("pages"));
    if (!tabs) return shown;
    for (int i = 0; i < tabs->count(); ++i) shown.tabs << tabs->tabText(i);
    for (QLabel* label : dialog->findChildren<QLabel*>())
        if (!label->objectName().isEmpty()) shown.labels[label->objectName()] = label->text();
    if (auto* details = dialog->findChild<QWidget*>(QStringLiteral("details")))
        shown.fields =
            readFields(details->findChild<QTreeWidget*>(QStringLiteral("fields")),
                       details->findChild<QPlainTextEdit*>(QStringLiteral("fieldValue")), &shown.whole);
    if (auto* chain = dialog->findChild<QTreeWidget*>(QStringLiteral("chain"))) {
        for (QTreeWidgetItem* item = chain->topLevelItem(0); item; item = item->child(0))
            shown.path << item->text(0);
    }
    if (auto* revoked = dialog->findChild<QTreeWidget*>(QStringLiteral("revoked"))) {
        for (int i = 0; i < revoked->topLevelItemCount(); ++i)
            shown.revoked.emplace_back(revoked->topLevelItem(i)->text(0), revoked->topLevelItem(i)->text(1));
        if (revoked->topLevelItemCount() > 1) {
            revoked->setCurrentItem(revoked->topLevelItem(1));
            auto* entry = dialog->findChild<QWidget*>(QStringLiteral("entry"));
            shown.entry = readFields(entry->findChild<QTreeWidget*>(QStringLiteral("fields")),
                                     entry->findChild<QPlainTextEdit*>(QStringLiteral("fieldValue")));
        }
    }
    return shown;
}

// Reads the next viewer, takes its pictures (page by page) and closes it.
void readNextViewer(Shown& shown, const char* picture) {
    GuiTest::OnModal([&shown, picture](QWidget* modal) {
        shown = read(modal);
        if (auto* tabs = modal->findChild<QTabWidget*>(QStringLiteral("pages"))) {
            for (int i = 0; i < tabs->count(); ++i) {
                tabs->setCurrentIndex(i);
                GuiTest::Screenshot(modal, (std::string(picture) + "-" + std::to_string(i + 1)).c_str());
            }
        }
        static_cast<QDialog*>(modal)->accept();
    });
}

class ViewerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const QString dir = QString::fromStdString(GuiTest::Root()) + QStringLiteral("/viewer");
        QDir().mkpath(dir);
        folder() = dir;
        runOpenssl(dir, {QStringLiteral("req"),
                         QStringLiteral("-x509"),
                         QStringLiteral("-engine"),
                         QStringLiteral("gost"),
                         QStringLiteral("-newkey"),
                         QStringLiteral("gost2012_512"),
                         QStringLiteral("-pkeyopt"),
                         QStringLiteral("paramset:A"),
                         QStringLiteral("-nodes"),
                         QStringLiteral("-keyout"),
                         QStringLiteral("ca.key"),
                         QStringLiteral("-out"),
                         QStringLiteral("ca.pem"),
                         QStringLiteral("-utf8"),
                         QStringLiteral("-subj"),
                         QStringLiteral("/C=RU/O=Кестрован/CN=Иванов Иван Иванович"),
                         QStringLiteral("-days"),
                         QStringLiteral("365"),
                         QStringLiteral("-set_serial"),
                         QStringLiteral("0x0123456789abcdef"),
                         QStringLiteral("-addext"),
                         QStringLiteral("keyUsage=critical,digitalSignature,nonRepudiation"),
                         QStringLiteral("-addext"),
                         QStringLiteral("extendedKeyUsage=clientAuth,emailProtection"),
                         QStringLiteral("-addext"),
                         QStringLiteral("crlDistributionPoints=URI:http://ca.example.ru/ca.crl"),
                         QStringLiteral("-addext"),
                         QStringLiteral("1.2.643.100.111=ASN1:FORMAT:UTF8,UTF8String:СКЗИ «Кестрован»")});
        runOpenssl(dir, {QStringLiteral("x509"), QStringLiteral("-in"), QStringLiteral("ca.pem"),
                         QStringLiteral("-outform"), QStringLiteral("DER"), QStringLiteral("-out"),
                         QStringLiteral("ca.der")});
        certificate() = readFile(dir + QStringLiteral("/ca.der"));
        // "SHA1 Fingerprint=AB:CD:..." becomes "AB CD ..." as the viewer writes it.
        sha1() = runOpenssl(
                     dir, {QStringLiteral("x509"), QStringLiteral("-in"), QStringLiteral("ca.pem"),
                           QStringLiteral("-noout"), QStringLiteral("-fingerprint"), QStringLiteral("-sha1")})
                     .trimmed()
                     .section(u'=', 1)
                     .replace(u':', u' ');
        // Two revoked certificates, the second with a reason.
        writeFile(dir + QStringLiteral("/index.txt"),
                  "R\t271231000000Z\t261201120000Z,keyCompromise\t0A1B2C\tunknown\t/CN=A\n"
                  "R\t271231000000Z\t261205093000Z\t01F4\tunknown\t/CN=B\n");
        writeFile(dir + QStringLiteral("/crlnumber"), "1000\n");
        writeFile(dir + QStringLiteral("/ca.cnf"),
                  "[ca]\ndefault_ca = CA\n[CA]\ndatabase = index.txt\ncrlnumber = crlnumber\n"
                  "default_md = default\ndefault_crl_days = 30\ncrl_extensions = crl_ext\n"
                  "[crl_ext]\nauthorityKeyIdentifier = keyid:always\n");
        runOpenssl(dir, {QStringLiteral("ca"), QStringLiteral("-engine"), QStringLiteral("gost"),
                         QStringLiteral("-gencrl"), QStringLiteral("-keyfile"), QStringLiteral("ca.key"),
                         QStringLiteral("-cert"), QStringLiteral("ca.pem"), QStringLiteral("-config"),
                         QStringLiteral("ca.cnf"), QStringLiteral("-out"), QStringLiteral("crl.pem")});
        runOpenssl(dir, {QStringLiteral("crl"), QStringLiteral("-in"), QStringLiteral("crl.pem"),
                         QStringLiteral("-outform"), QStringLiteral("DER"), QStringLiteral("-out"),
                         QStringLiteral("crl.der")});
        crl() = readFile(dir + QStringLiteral("/crl.der"));
    }

    void SetUp() override {
        ASSERT_FALSE(certificate().isEmpty()) << "the openssl command made no GOST certificate";
        ASSERT_FALSE(crl().isEmpty()) << "the openssl command made no CRL";
    }

    static PCCERT_CONTEXT certificateContext() {
        return CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                            reinterpret_cast<const BYTE*>(certificate().constData()),
                                            static_cast<DWORD>(certificate().size()));
    }
    static PCCRL_CONTEXT crlContext() {
        return CertCreateCRLContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                    reinterpret_cast<const BYTE*>(crl().constData()),
                                    static_cast<DWORD>(crl().size()));
    }

    static QString& folder() {
        static QString value;
        return value;
    }
    static QByteArray& certificate() {
        static QByteArray value;
        return value;
    }
    static QByteArray& crl() {
        static QByteArray value;
        return value;
    }
    static QString& sha1() {
        static QString value;
        return value;
    }
};

// A UTC time as the viewers show it: local, day first.
QString local(int year, int month, int day, int hour, int minute) {
    return QDateTime(QDate(year, month, day), QTime(hour, minute), Qt::UTC)
        .toLocalTime()
        .toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

// Words of OpenSSL's own printers that must never reach the user.
void expectNoOpensslText(const Shown& shown) {
    auto check = [](const QString& text) {
        for (const char* word : {"X509v3", "GMT", "Unable", "error:", "Digital Signature", "TLS Web"})
            EXPECT_FALSE(text.contains(QLatin1String(word))) << text.toStdString();
    };
    for (const auto& [name, value] : shown.whole) check(name + value);
    for (const auto& [name, value] : shown.labels) check(value);
}

TEST_F(ViewerTest, CertificatePagesShowTheGostCertificateInRussian) {
    PCCERT_CONTEXT cert = certificateContext();
    ASSERT_NE(cert, nullptr);
    Shown shown;
    readNextViewer(shown, "certificateViewer");
    CRYPTUI_VIEWCERTIFICATE_STRUCTW view{};
    view.dwSize = sizeof(view);
    view.pCertContext = cert;
    view.szTitle = u"Сертификат";
    BOOL changed = TRUE;
    SetLastError(0);
    EXPECT_TRUE(CryptUIDlgViewCertificateW(&view, &changed));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_FALSE(changed);
    CertFreeCertificateContext(cert);

    EXPECT_EQ(shown.tabs, (QStringList{QStringLiteral("Общие"), QStringLiteral("Состав"),
                                       QStringLiteral("Путь сертификации")}));
    // "Общие".
    EXPECT_EQ(shown.labels[QStringLiteral("issuedTo")], QStringLiteral("Иванов Иван Иванович"));
    EXPECT_EQ(shown.labels[QStringLiteral("issuedBy")], QStringLiteral("Иванов Иван Иванович"));
    const QString today = QDate::currentDate().toString(QStringLiteral("dd.MM.yyyy"));
    EXPECT_TRUE(shown.labels[QStringLiteral("validity")].startsWith(today + QStringLiteral(" по ")))
        << shown.labels[QStringLiteral("validity")].toStdString();
    EXPECT_EQ(shown.labels[QStringLiteral("purposes")],
              QStringLiteral("• Проверка подлинности клиента\n• Защищенная электронная почта"));
    EXPECT_EQ(shown.labels[QStringLiteral("status")], QStringLiteral("Срок действия сертификата не истек."));
    // "Состав": the list values, and the whole values below the list.
    const std::pair<const char16_t*, const char16_t*> expected[] = {
        {u"Версия", u"V3"},
        {u"Серийный номер", u"01 23 45 67 89 AB CD EF"},
        {u"Алгоритм подписи", u"ГОСТ Р 34.11-2012/34.10-2012 512 бит"},
        {u"Хэш-алгоритм подписи", u"ГОСТ Р 34.11-2012 512 бит"},
        {u"Издатель", u"Иванов Иван Иванович, Кестрован, RU"},
        {u"Субъект", u"Иванов Иван Иванович, Кестрован, RU"},
        {u"Открытый ключ", u"ГОСТ Р 34.10-2012 512 бит (1024 бит)"},
        {u"Использование ключа", u"Цифровая подпись, Неотрекаемость (c0)"},
        {u"Средство электронной подписи владельца", u"СКЗИ «Кестрован»"},
    };
    for (const auto& [name, value] : expected)
        EXPECT_EQ(shown.fields[QString::fromUtf16(name)], QString::fromUtf16(value))
            << QString::fromUtf16(name).toStdString();
    EXPECT_EQ(shown.whole[QStringLiteral("Субъект")],
              QStringLiteral("CN = Иванов Иван Иванович\nO = Кестрован\nC = RU"));
    EXPECT_EQ(shown.whole[QStringLiteral("Улучшенный ключ")],
              QStringLiteral("Проверка подлинности клиента (1.3.6.1.5.5.7.3.2)\n"
                             "Защищенная электронная почта (1.3.6.1.5.5.7.3.4)"));
    EXPECT_TRUE(shown.whole[QStringLiteral("Точки распространения списков отзыва (CRL)")].contains(
        QStringLiteral("URL=http://ca.example.ru/ca.crl")));
    EXPECT_TRUE(shown.whole[QStringLiteral("Использование ключа")].startsWith(
        QStringLiteral("Критическое расширение\n")));
    EXPECT_EQ(shown.fields[QStringLiteral("Действителен с")].left(10), today);
    // The public key whole: 1024 bits of point after the octet string's header, in upper-case pairs.
    EXPECT_TRUE(shown.whole[QStringLiteral("Открытый ключ")].startsWith(QStringLiteral("04 81 80 ")));
    ASSERT_FALSE(sha1().isEmpty());
    EXPECT_EQ(shown.fields[QStringLiteral("Отпечаток (SHA-1)")], sha1());
    // "Путь сертификации": the self-signed certificate alone, not trusted while outside ROOT.
    EXPECT_EQ(shown.path, QStringList{QStringLiteral("Иванов Иван Иванович")});
    EXPECT_TRUE(shown.labels[QStringLiteral("chainStatus")].startsWith(
        QStringLiteral("Корневой сертификат цепочки не является доверенным")))
        << shown.labels[QStringLiteral("chainStatus")].toStdString();
    expectNoOpensslText(shown);
}

TEST_F(ViewerTest, PathOfATrustedCertificateIsValid) {
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"ROOT");
    ASSERT_NE(root, nullptr);
    PCCERT_CONTEXT installed = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(
        root, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(certificate().constData()),
        static_cast<DWORD>(certificate().size()), CERT_STORE_ADD_REPLACE_EXISTING, &installed));
    Shown shown;
    readNextViewer(shown, "certificateViewer-trusted");
    CRYPTUI_VIEWCERTIFICATE_STRUCTW view{};
    view.dwSize = sizeof(view);
    view.pCertContext = installed;
    EXPECT_TRUE(CryptUIDlgViewCertificateW(&view, nullptr));
    EXPECT_EQ(shown.path, QStringList{QStringLiteral("Иванов Иван Иванович")});
    EXPECT_EQ(shown.labels[QStringLiteral("chainStatus")], QStringLiteral("Этот сертификат действителен."));
    EXPECT_TRUE(CertDeleteCertificateFromStore(installed));
    CertCloseStore(root, 0);
}

TEST_F(ViewerTest, CrlPagesShowItsFieldsAndTheRevokedCertificates) {
    PCCRL_CONTEXT context = crlContext();
    ASSERT_NE(context, nullptr);
    Shown shown;
    readNextViewer(shown, "crlViewer");
    SetLastError(0);
    EXPECT_TRUE(CryptUIDlgViewContext(2, context, nullptr, u"Список отзыва", 0, nullptr));
    EXPECT_EQ(GetLastError(), 0u);
    CertFreeCRLContext(context);

    EXPECT_EQ(shown.tabs, (QStringList{QStringLiteral("Общие"), QStringLiteral("Список отзыва")}));
    EXPECT_EQ(shown.fields[QStringLiteral("Версия")], QStringLiteral("V2"));
    EXPECT_EQ(shown.fields[QStringLiteral("Издатель")],
              QStringLiteral("Иванов Иван Иванович, Кестрован, RU"));
    EXPECT_EQ(shown.fields[QStringLiteral("Номер CRL")], QStringLiteral("10 00"));
    EXPECT_EQ(shown.fields[QStringLiteral("Алгоритм подписи")],
              QStringLiteral("ГОСТ Р 34.11-2012/34.10-2012 512 бит"));
    const QString today = QDate::currentDate().toString(QStringLiteral("dd.MM.yyyy"));
    EXPECT_EQ(shown.fields[QStringLiteral("Действителен с")].left(10), today);
    EXPECT_EQ(shown.fields[QStringLiteral("Следующее обновление")].left(10),
              QDate::currentDate().addDays(30).toString(QStringLiteral("dd.MM.yyyy")));
    EXPECT_TRUE(shown.fields[QStringLiteral("Идентификатор ключа центра сертификатов")].startsWith(
        QStringLiteral("Идентификатор ключа=")));
    ASSERT_EQ(shown.revoked.size(), 2u);
    EXPECT_EQ(shown.revoked[0], std::make_pair(QStringLiteral("01 F4"), local(2026, 12, 5, 9, 30)));
    EXPECT_EQ(shown.revoked[1], std::make_pair(QStringLiteral("0A 1B 2C"), local(2026, 12, 1, 12, 0)));
    EXPECT_EQ(shown.entry[QStringLiteral("Серийный номер")], QStringLiteral("0A 1B 2C"));
    EXPECT_EQ(shown.entry[QStringLiteral("Код причины отзыва CRL")],
              QStringLiteral("Компрометация ключа (1)"));
    expectNoOpensslText(shown);
}

TEST_F(ViewerTest, ModulesExportTheViewersAndTheShellViewerReadsAFile) {
    // "Cryptui.dll" is loaded in every program with windows; "cryptext.dll" loads on request.
    const HMODULE cryptui = GetModuleHandleW(u"Cryptui.dll");
    ASSERT_NE(cryptui, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(cryptui, "CryptUIDlgViewCertificateW")),
              reinterpret_cast<void*>(&CryptUIDlgViewCertificateW));
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(cryptui, "CryptUIDlgViewContext")),
              reinterpret_cast<void*>(&CryptUIDlgViewContext));
    EXPECT_EQ(GetModuleHandleW(u"cryptext.dll"), nullptr);
    const HMODULE cryptext = LoadLibraryW(u"cryptext.dll");
    ASSERT_NE(cryptext, nullptr);
    const auto open = reinterpret_cast<PFN_CRYPTEXT_OPEN_CRL>(GetProcAddress(cryptext, "CryptExtOpenCRL"));
    ASSERT_NE(open, nullptr);

    // The path comes in code page 1251: a Cyrillic file name.
    const QString path = folder() + QStringLiteral("/список.crl");
    writeFile(path, crl());
    const QByteArray path1251 = QByteArray(folder().toLatin1()) + "/\xF1\xEF\xE8\xF1\xEE\xEA.crl";
    Shown shown;
    readNextViewer(shown, "crlViewerShell");
    SetLastError(0);
    open(nullptr, cryptext, path1251.constData(), 5);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(shown.revoked.size(), 2u);

    // A file without a CRL: an error message, no viewer.
    std::u16string message;
    SetMessageBoxHook([&](const std::u16string&, const std::u16string& text, UINT, HWND) {
        message = text;
        return IDOK;
    });
    open(nullptr, cryptext, (folder().toLatin1() + "/ca.pem").constData(), 5);
    SetMessageBoxHook({});
    EXPECT_NE(message.find(u"не является списком отзыва сертификатов"), std::u16string::npos);
    FreeLibrary(cryptext);
}

TEST_F(ViewerTest, BadInputFails) {
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
    PCCRL_CONTEXT context = crlContext();
    EXPECT_FALSE(CryptUIDlgViewContext(3, context, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    CertFreeCRLContext(context);
}

}  // namespace
