// The authority's root and cross certificates the program carries: a test authority (GOST R 34.10-2012
// roots and cross certificates made with openssl) served as the program's resources, the question at
// start, the installation in its order with one line per certificate, the user's refusals, and the
// command that checks again.
#include "appTestSupport.h"
#include "certificates/certificateFixtures.h"

#include <vsk/pki/Store.h>
#include <vsk/platform/resource.h>

#include <QDir>
#include <QFile>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>

using namespace AppTest;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CStore;

namespace {

namespace fs = std::filesystem;

// One certificate of the test authority.
struct AuthorityCert {
    const char* type;    // resource type
    const char* number;  // resource name
    std::u16string commonName;
    CertFixture::Made made;
    fs::path keyFile;
};

std::string runChecked(const std::string& command) {
    bool ok = false;
    std::string output = CertFixture::run(command + " 2>/dev/null", &ok);
    EXPECT_TRUE(ok) << command;
    return output;
}

// A certificate in the authority's folder, self-signed or issued by `issuer`.
AuthorityCert makeCert(const fs::path& folder, const char* type, const char* number,
                       const std::string& commonName, const AuthorityCert* issuer, int serial) {
    const fs::path dir = folder / type;
    fs::create_directories(dir);
    const std::string base = (folder / (std::string(type) + "-" + number)).string();
    AuthorityCert cert{type,
                       number,
                       std::u16string(commonName.begin(), commonName.end()),
                       {base + ".pem", dir / number, CertFixture::Key::Gost256},
                       base + ".key"};
    const std::string subject = CertFixture::quote("/C=RU/O=Test Authority/CN=" + commonName);
    const std::string key = "-engine gost -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout " +
                            CertFixture::quote(cert.keyFile.string());
    if (!issuer) {
        runChecked("openssl req -x509 -days 3650 " + key + " -subj " + subject + " -set_serial " +
                   std::to_string(serial) + " -out " + CertFixture::quote(cert.made.pem.string()));
    } else {
        const std::string request = base + ".csr";
        const std::string extensions = base + ".ext";
        std::ofstream(extensions) << "basicConstraints=critical,CA:TRUE\n";
        runChecked("openssl req -new " + key + " -subj " + subject + " -out " + CertFixture::quote(request));
        runChecked("openssl x509 -req -engine gost -days 1825 -in " + CertFixture::quote(request) + " -CA " +
                   CertFixture::quote(issuer->made.pem.string()) + " -CAkey " +
                   CertFixture::quote(issuer->keyFile.string()) + " -set_serial " + std::to_string(serial) +
                   " -extfile " + CertFixture::quote(extensions) + " -out " +
                   CertFixture::quote(cert.made.pem.string()));
    }
    runChecked("openssl x509 -in " + CertFixture::quote(cert.made.pem.string()) + " -outform DER -out " +
               CertFixture::quote(cert.made.der.string()));
    return cert;
}

// The test authority, made once per process: two head roots (CERT_ROOT_ALWAYS), one further root
// (CERT_ROOT), two subordinate authorities of the head roots (CERT_CROSS_ALWAYS) and the authority
// itself (CERT_CROSS).
struct Authority {
    fs::path folder = CertFixture::folder() / "authority";
    std::vector<AuthorityCert> certs;

    Authority() {
        certs.push_back(makeCert(folder, "CERT_ROOT_ALWAYS", "1", "Test Head CA 1", nullptr, 101));
        certs.push_back(makeCert(folder, "CERT_ROOT_ALWAYS", "2", "Test Head CA 2", nullptr, 102));
        certs.push_back(makeCert(folder, "CERT_ROOT", "1", "Test Further Root", nullptr, 103));
        certs.push_back(makeCert(folder, "CERT_CROSS_ALWAYS", "1", "Test Sub CA 1", &certs[0], 104));
        certs.push_back(makeCert(folder, "CERT_CROSS_ALWAYS", "2", "Test Sub CA 2", &certs[1], 105));
        certs.push_back(makeCert(folder, "CERT_CROSS", "1", "Test Authority CA", &certs[3], 106));
    }

    const AuthorityCert& cert(const char* type, const char* number) const {
        for (const AuthorityCert& c : certs)
            if (std::string(c.type) == type && std::string(c.number) == number) return c;
        throw std::runtime_error("no such certificate");
    }
};

const Authority& TestAuthority() {
    static const Authority authority;
    return authority;
}

// What the program's resources hold for the four certificate types.
enum class Carried { Nothing, Authority, BrokenAuthority };
std::atomic<Carried> carried{Carried::Nothing};

bool isCertType(const std::u16string& type) {
    const QString t = QString::fromStdU16String(type).toUpper();
    return t == u"CERT_ROOT_ALWAYS" || t == u"CERT_ROOT" || t == u"CERT_CROSS_ALWAYS" || t == u"CERT_CROSS";
}

// The folder of `type` (matched without regard to case) under `root`; empty when none.
QString folderOf(const QString& root, const std::u16string& type) {
    for (const QString& entry : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (entry.compare(QString::fromStdU16String(type), Qt::CaseInsensitive) == 0)
            return root + u'/' + entry;
    return {};
}

// The program's resources as the program serves them, with the test authority's folder in place of
// the certificate types while a test asks for it. (A source's resources are kept once fetched: the
// authority is one per process; the broken one adds a name of its own.)
void ServeAuthority(Carried what) {
    static const bool registered = [] {
        const QString authority = QString::fromStdString(TestAuthority().folder.string());
        ResourceSource source;
        source.names = [authority](const std::u16string& type, std::vector<std::u16string>& names) {
            const Carried now = carried.load();
            QString folder;
            if (!isCertType(type))
                folder = folderOf(QStringLiteral(":/res"), type);
            else if (now != Carried::Nothing)
                folder = folderOf(authority, type);
            if (folder.isEmpty()) return false;
            for (const QString& entry : QDir(folder).entryList(QDir::Files, QDir::Name))
                names.push_back(entry.toStdU16String());
            if (now == Carried::BrokenAuthority && QString::fromStdU16String(type).toUpper() == u"CERT_CROSS")
                names.push_back(u"9");
            return true;
        };
        source.bytes = [authority](const std::u16string& type, const std::u16string& name,
                                   std::vector<BYTE>& bytes) {
            if (isCertType(type) && name == u"9") {
                const char garbage[] = "no certificate";
                bytes.assign(garbage, garbage + sizeof garbage - 1);
                return true;
            }
            const QString folder = folderOf(isCertType(type) ? authority : QStringLiteral(":/res"), type);
            QFile file(folder + u'/' + QString::fromStdU16String(name));
            if (folder.isEmpty() || !file.open(QIODevice::ReadOnly)) return false;
            const QByteArray data = file.readAll();
            bytes.assign(data.begin(), data.end());
            return true;
        };
        RegisterResourceSource(nullptr, source);
        return true;
    }();
    (void)registered;
    carried = what;
}

// The year of an openssl time text in local time.
std::u16string localYear(const std::string& opensslTime) {
    const FILETIME time = CertFixture::opensslTime(opensslTime);
    const time_t seconds = static_cast<time_t>(CertFixture::ticks(time) / 10000000ULL - 11644473600ULL);
    struct tm local {};
    localtime_r(&seconds, &local);
    const std::string year = std::to_string(local.tm_year + 1900);
    return std::u16string(year.begin(), year.end());
}

// The line of a certificate in the summary, without its outcome.
std::u16string Described(const AuthorityCert& cert) {
    std::string thumbprint = cert.made.x509("-fingerprint -sha1");
    thumbprint = thumbprint.substr(thumbprint.find('=') + 1);
    std::u16string hex;
    for (char c : thumbprint)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            hex += static_cast<char16_t>(std::toupper(static_cast<unsigned char>(c)));
    return hex + u", " + cert.commonName + u", " + localYear(cert.made.field("-startdate", "notBefore")) +
           u" - " + localYear(cert.made.field("-enddate", "notAfter"));
}

// The summary as the message box shows it (line breaks as bare line feeds).
std::u16string Summary(std::initializer_list<std::pair<const AuthorityCert*, const char16_t*>> lines,
                       const std::u16string& first = u"") {
    std::u16string text = first;
    bool start = true;
    for (const auto& [cert, outcome] : lines) {
        text += (start && first.empty() ? u" - " : u"\n - ") + Described(*cert) + outcome;
        start = false;
    }
    return text;
}

const std::u16string Question =
    u"В системе установлены не все сертификаты УЦ ООО «Зорнавелиста». Это может привести к некорректной "
    u"работе "
    u"некоторых программ.\n\nУстановить сертификаты УЦ ООО «Зорнавелиста»?";
const std::u16string Cancelled = u"Была отменена установка некоторых сертификатов УЦ ООО «Зорнавелиста».";
const std::u16string ConfirmCaption = u"Предупреждение системы безопасности";

class AuthorityCertsTest : public ::testing::Test {
protected:
    void SetUp() override { ServeAuthority(Carried::Authority); }
    void TearDown() override { ServeAuthority(Carried::Nothing); }

    const AuthorityCert& cert(const char* type, const char* number) {
        return TestAuthority().cert(type, number);
    }

    std::unique_ptr<CKestrovanDlg> start() {
        SetOptions(OPTION_NO_START_CHECK);
        auto window = ShowWindow();
        EXPECT_TRUE(WaitForInit(*window));
        return window;
    }

    static size_t missing(const char16_t* type, const char16_t* store) {
        return CKestrovanDlg::loadCaCerts(type, store, STORE_LOCATION_USER).getCount();
    }

    // The captions of the recorded messages.
    std::vector<std::u16string> captions() const {
        std::vector<std::u16string> out;
        for (const Message& m : m_messages.messages()) out.push_back(m.caption);
        return out;
    }

    FreshRoot m_root;
    MessageRecorder m_messages;
};

TEST_F(AuthorityCertsTest, StartAsksThenInstallsEveryListInOrder) {
    auto window = start();
    const std::vector<Message> messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[0].caption, u"Внимание!");
    EXPECT_EQ(messages[0].text, Question);
    EXPECT_EQ(messages[0].type, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
    // The three roots are confirmed one by one before the user's ROOT store takes them.
    for (size_t i = 1; i <= 3; ++i) {
        EXPECT_EQ(messages[i].caption, ConfirmCaption);
        EXPECT_EQ(messages[i].type, static_cast<UINT>(MB_YESNO | MB_ICONWARNING));
    }
    EXPECT_NE(messages[1].text.find(u"Test Head CA 1"), std::u16string::npos);
    EXPECT_NE(messages[2].text.find(u"Test Head CA 2"), std::u16string::npos);
    EXPECT_NE(messages[3].text.find(u"Test Further Root"), std::u16string::npos);
    EXPECT_EQ(messages[4].caption, u"Установка сертификатов");
    EXPECT_EQ(messages[4].type, static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_EQ(messages[4].text, Summary({{&cert("CERT_ROOT_ALWAYS", "1"), u" - установлен"},
                                         {&cert("CERT_ROOT_ALWAYS", "2"), u" - установлен"},
                                         {&cert("CERT_CROSS_ALWAYS", "1"), u" - установлен"},
                                         {&cert("CERT_CROSS_ALWAYS", "2"), u" - установлен"},
                                         {&cert("CERT_ROOT", "1"), u" - установлен"},
                                         {&cert("CERT_CROSS", "1"), u" - установлен"}}));
    EXPECT_EQ(missing(u"CERT_ROOT_ALWAYS", u"ROOT"), 0u);
    EXPECT_EQ(missing(u"CERT_ROOT", u"ROOT"), 0u);
    EXPECT_EQ(missing(u"CERT_CROSS_ALWAYS", u"CA"), 0u);
    EXPECT_EQ(missing(u"CERT_CROSS", u"CA"), 0u);

    // Everything is there now: the command says so and asks nothing.
    m_messages.clear();
    window->runCommand(CMD_CHECK_ROOT_CERT);
    const std::vector<Message> check = m_messages.messages();
    ASSERT_EQ(check.size(), 1u);
    EXPECT_EQ(check[0].caption, u"Проверка");
    EXPECT_EQ(check[0].text, u"Все корневые сертификаты УЦ ООО «Зорнавелиста» уже установлены.");
    EXPECT_EQ(check[0].type, static_cast<UINT>(MB_ICONINFORMATION));
}

TEST_F(AuthorityCertsTest, NoInstallsNothingAndTheCommandAsksAgain) {
    m_messages.answer(IDNO);
    auto window = start();
    EXPECT_EQ(captions(), std::vector<std::u16string>{u"Внимание!"});
    EXPECT_EQ(missing(u"CERT_ROOT_ALWAYS", u"ROOT"), 2u);
    EXPECT_EQ(missing(u"CERT_ROOT", u"ROOT"), 1u);
    EXPECT_EQ(missing(u"CERT_CROSS_ALWAYS", u"CA"), 2u);
    EXPECT_EQ(missing(u"CERT_CROSS", u"CA"), 1u);
    EXPECT_EQ(window->loadMissingRootCerts().getCount(), 2u);

    // On demand: the installation shows only its summary, not the "already installed" message.
    m_messages.clear();
    window->runCommand(CMD_CHECK_ROOT_CERT);
    const std::vector<std::u16string> shown = captions();
    ASSERT_EQ(shown.size(), 5u);
    EXPECT_EQ(shown.front(), u"Внимание!");
    EXPECT_EQ(shown.back(), u"Установка сертификатов");
    EXPECT_EQ(window->loadMissingRootCerts().getCount(), 0u);

    m_messages.clear();
    window->runCommand(CMD_CHECK_ROOT_CERT);
    EXPECT_EQ(captions(), std::vector<std::u16string>{u"Проверка"});
}

TEST_F(AuthorityCertsTest, RefusedRootStopsTheFollowingLists) {
    m_messages.answer(IDYES);  // the question
    m_messages.answer(IDNO);   // the first head root
    m_messages.answer(IDYES);  // the second head root
    auto window = start();
    const std::vector<Message> messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[3].caption, u"Установка сертификатов");
    EXPECT_EQ(messages[3].type, static_cast<UINT>(MB_ICONWARNING));
    EXPECT_EQ(messages[3].text, Summary({{&cert("CERT_ROOT_ALWAYS", "1"), u" - отменен"},
                                         {&cert("CERT_ROOT_ALWAYS", "2"), u" - установлен"}},
                                        Cancelled));
    // Only the second head root went in; the cross certificates and the further root were not tried.
    EXPECT_EQ(missing(u"CERT_ROOT_ALWAYS", u"ROOT"), 1u);
    EXPECT_EQ(missing(u"CERT_ROOT", u"ROOT"), 1u);
    EXPECT_EQ(missing(u"CERT_CROSS_ALWAYS", u"CA"), 2u);
    EXPECT_EQ(missing(u"CERT_CROSS", u"CA"), 1u);
    const auto roots = window->loadMissingRootCerts();
    ASSERT_EQ(roots.getCount(), 1u);
    EXPECT_EQ(roots[0].get_Encoded().getSize(), cert("CERT_ROOT_ALWAYS", "1").made.derBytes().getSize());
}

TEST_F(AuthorityCertsTest, OnlyCrossCertificatesMissing) {
    {
        CStore root;
        root.Open(u"ROOT", STORE_LOCATION_USER);
        for (const AuthorityCert& c : TestAuthority().certs) {
            if (std::string(c.type).find("CERT_ROOT") != 0) continue;
            CCertificate certificate(true);
            certificate.LoadFromBlob(c.made.derBytes());
            ASSERT_TRUE(root.InstallCertificate(certificate, 1));
        }
    }
    auto window = start();
    EXPECT_EQ(window->loadMissingRootCerts().getCount(), 0u);
    const std::vector<Message> messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].caption, u"Внимание!");
    EXPECT_EQ(messages[1].text, Summary({{&cert("CERT_CROSS_ALWAYS", "1"), u" - установлен"},
                                         {&cert("CERT_CROSS_ALWAYS", "2"), u" - установлен"},
                                         {&cert("CERT_CROSS", "1"), u" - установлен"}}));
}

TEST_F(AuthorityCertsTest, ProgramWithoutCertificatesAsksNothing) {
    ServeAuthority(Carried::Nothing);
    auto window = start();
    EXPECT_EQ(m_messages.count(), 0u);
    EXPECT_EQ(window->loadMissingRootCerts().getCount(), 0u);
    window->runCommand(CMD_CHECK_ROOT_CERT);
    EXPECT_EQ(captions(), std::vector<std::u16string>{u"Проверка"});
}

TEST_F(AuthorityCertsTest, ResourceThatIsNoCertificateEndsTheCheck) {
    ServeAuthority(Carried::BrokenAuthority);
    auto window = start();
    const std::vector<Message> messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, u"Проверка корневых сертификатов УЦ ООО «Зорнавелиста»");
    EXPECT_EQ(messages[0].type, static_cast<UINT>(MB_ICONERROR));
    EXPECT_FALSE(messages[0].text.empty());
    EXPECT_EQ(missing(u"CERT_ROOT_ALWAYS", u"ROOT"), 2u);
}

TEST_F(AuthorityCertsTest, SummaryRefreshesTheShownStore) {
    m_messages.answer(IDNO);
    auto window = start();
    SelectNode(*window, reinterpret_cast<NodeId>(StoreCA));
    APP_WAIT_EQ(window->listCount(), 0);
    window->runCommand(CMD_CHECK_ROOT_CERT);
    APP_WAIT_EQ(window->listCount(), 3);
}

}  // namespace
