// The start-up check of the personal certificates: which certificates are reported and how (days left,
// expired), the newer certificates of the same holder and the pending renewal requests that silence
// a report, the option that switches the check off, the order of the lines; and the comparison of two
// certificates' extensions it relies on.
#include "appTestSupport.h"
#include "certListFixtures.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/Store.h>

#include <ctime>
#include <string>
#include <vector>

using namespace AppTest;
using ListFixture::Day;
using ListFixture::Der;
using ListFixture::Hour;
using VskTest::Utf8;

namespace {

const char16_t Caption[] = u"Личные сертификаты";

// Extension sets of the certificates: two holders' certificates are twins only with equal sets.
enum class Kind { Plain, Signing, Encryption, Sha384 };

ListFixture::Spec SpecOf(const char8_t* name, long long notAfter, Kind kind) {
    ListFixture::Spec spec(Utf8(name), -400 * Day, notAfter);
    if (kind == Kind::Signing) spec.extensions = {{"keyUsage", "critical,digitalSignature"}};
    if (kind == Kind::Encryption) spec.extensions = {{"keyUsage", "critical,keyEncipherment"}};
    if (kind == Kind::Sha384) spec.digest = EVP_sha384();
    return spec;
}

struct Cert {
    const char8_t* name;
    long long notAfter;  // seconds from now
    Kind kind = Kind::Plain;
};

// A line the message must hold: the days left, or -1 for the expired form.
struct Line {
    const char8_t* name;
    int days;
};

struct ExpiryCase {
    const char* label;
    DWORD options;
    std::vector<Cert> personal;
    std::vector<Cert> requests;
    std::vector<Line> lines;
};

// The certificate's end as a local date "dd.mm.yyyy".
std::u16string EndDate(const Der& der) {
    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    tm utc{};
    ASN1_TIME_to_tm(X509_get0_notAfter(x), &utc);
    X509_free(x);
    const time_t t = timegm(&utc);
    tm local{};
    localtime_r(&t, &local);
    char text[16];
    strftime(text, sizeof text, "%d.%m.%Y", &local);
    return VskTest::Utf16(text);
}

std::u16string LineText(const Line& line, const Der& der) {
    const std::u16string name = VskTest::Utf16(Utf8(line.name));
    if (line.days < 0) return u"\"" + name + u"\" просрочен " + EndDate(der);
    return u"Осталось " + VskTest::Utf16(std::to_string(line.days)) +
           u" дней до истечения срока действительности сертификата \"" + name + u"\".";
}

std::u16string Join(const std::vector<std::u16string>& lines) {
    std::u16string text;
    for (const auto& line : lines) text += (text.empty() ? u"" : u"\n\n") + line;
    return text;
}

// The messages of one start of the window with the check.
std::vector<Message> StartAndCollect(MessageRecorder& messages) {
    auto window = ShowWindow();
    EXPECT_TRUE(WaitForInit(*window));
    QCoreApplication::processEvents();
    return messages.messages();
}

const ExpiryCase Cases[] = {
    {"45 days left are reported", 0, {{u8"Сорок Пять", 45 * Day + Hour}}, {}, {{u8"Сорок Пять", 45}}},
    {"46 days left are not", 0, {{u8"Сорок Шесть", 46 * Day + Hour}}, {}, {}},
    {"expired 10 hours ago is 0 days left", 0, {{u8"Десять Часов", -10 * Hour}}, {}, {{u8"Десять Часов", 0}}},
    {"expired 30 hours ago is expired",
     0,
     {{u8"Тридцать Часов", -30 * Hour}},
     {},
     {{u8"Тридцать Часов", -1}}},
    {"a twin in force for 300 days silences",
     0,
     {{u8"Двойник", 10 * Day + Hour}, {u8"Двойник", 300 * Day}},
     {},
     {}},
    {"of twins with 10 and 40 days the 40 is reported",
     0,
     {{u8"Двойник", 10 * Day + Hour}, {u8"Двойник", 40 * Day + Hour}},
     {},
     {{u8"Двойник", 40}}},
    {"other extensions are no twin",
     0,
     {{u8"Разные", 10 * Day + Hour, Kind::Signing}, {u8"Разные", 300 * Day, Kind::Encryption}},
     {},
     {{u8"Разные", 10}}},
    {"another signature algorithm is no twin",
     0,
     {{u8"Алгоритм", 10 * Day + Hour}, {u8"Алгоритм", 300 * Day, Kind::Sha384}},
     {},
     {{u8"Алгоритм", 10}}},
    {"equal extensions make twins",
     0,
     {{u8"Подпись", 10 * Day + Hour, Kind::Signing}, {u8"Подпись", 300 * Day, Kind::Signing}},
     {},
     {}},
    {"a pending renewal request silences",
     0,
     {{u8"Продление", 10 * Day + Hour}},
     {{u8"Продление", 400 * Day}},
     {}},
    {"a request of other extensions does not",
     0,
     {{u8"Запрос", 10 * Day + Hour}},
     {{u8"Запрос", 400 * Day, Kind::Signing}},
     {{u8"Запрос", 10}}},
    {"a request of another holder does not",
     0,
     {{u8"Владелец", 10 * Day + Hour}},
     {{u8"Другой Владелец", 400 * Day}},
     {{u8"Владелец", 10}}},
    {"option 0x20 switches the check off",
     OPTION_NO_START_CHECK,
     {{u8"Без Проверки", 10 * Day + Hour}},
     {},
     {}},
};

class ExpiryCheckTest : public ::testing::TestWithParam<ExpiryCase> {
protected:
    FreshRoot m_root;
    MessageRecorder m_messages;
};

TEST_P(ExpiryCheckTest, ReportsCertificatesExpiringWithin45Days) {
    const ExpiryCase& row = GetParam();
    SetOptions(row.options);
    std::vector<std::pair<const char8_t*, Der>> made;
    for (const Cert& cert : row.personal) {
        Der der = ListFixture::Make(SpecOf(cert.name, cert.notAfter, cert.kind));
        ListFixture::AddToStore(u"MY", der);
        made.emplace_back(cert.name, std::move(der));
    }
    for (const Cert& cert : row.requests)
        ListFixture::AddToStore(u"REQUEST", ListFixture::Make(SpecOf(cert.name, cert.notAfter, cert.kind)));

    std::vector<std::u16string> lines;
    for (const Line& line : row.lines)
        for (const auto& [name, der] : made)
            if (std::u8string(name) == line.name) {
                lines.push_back(LineText(line, der));
                break;
            }

    const std::vector<Message> shown = StartAndCollect(m_messages);
    if (lines.empty()) {
        EXPECT_TRUE(shown.empty()) << (shown.empty() ? "" : Utf8(shown.front().text));
        return;
    }
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, Caption);
    EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_ICONWARNING));
    EXPECT_EQ(shown[0].type, 0x30u);
    EXPECT_EQ(Utf8(shown[0].text), Utf8(Join(lines)));
}

INSTANTIATE_TEST_SUITE_P(Table, ExpiryCheckTest, ::testing::ValuesIn(Cases),
                         [](const ::testing::TestParamInfo<ExpiryCase>& info) {
                             std::string name;
                             for (char c : std::string(info.param.label))
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

class ExpiryCheckOrderTest : public ::testing::Test {
protected:
    FreshRoot m_root;
    MessageRecorder m_messages;
};

TEST_F(ExpiryCheckOrderTest, ExpiringLastFoundFirstThenExpiredInListOrder) {
    SetOptions(0);
    const Cert certs[] = {{u8"Анна", 5 * Day + Hour},
                          {u8"Борис", 20 * Day + Hour},
                          {u8"Вера", -3 * Day},
                          {u8"Глеб", -5 * Day},
                          {u8"Дина", 100 * Day}};
    std::vector<std::pair<std::u16string, Der>> made;
    for (const Cert& cert : certs) {
        const Der der = ListFixture::Make(SpecOf(cert.name, cert.notAfter, Kind::Plain));
        ListFixture::AddToStore(u"MY", der);
        made.emplace_back(VskTest::Utf16(Utf8(cert.name)), der);
    }
    // The list's order is the store's.
    Vsk::PKI::CStore store;
    store.Open(StoreMY, STORE_LOCATION_USER);
    Vsk::Utils::CArray<Vsk::PKI::CCertificate> listed;
    store.GetCertificates(&listed);
    ASSERT_EQ(listed.getCount(), std::size(certs));
    std::vector<std::u16string> expiring, expired;
    for (const Vsk::PKI::CCertificate& certificate : listed) {
        const std::u16string name = certificate.get_SubjectShortName().toU16();
        for (size_t i = 0; i < std::size(certs); ++i) {
            if (made[i].first != name) continue;
            const long long after = certs[i].notAfter;
            if (after > 45 * Day) break;
            const Line line{certs[i].name, after < 0 ? -1 : static_cast<int>(after / Day)};
            if (after < 0)
                expired.push_back(LineText(line, made[i].second));
            else
                expiring.insert(expiring.begin(), LineText(line, made[i].second));
        }
    }
    std::vector<std::u16string> lines = expiring;
    lines.insert(lines.end(), expired.begin(), expired.end());

    const std::vector<Message> shown = StartAndCollect(m_messages);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(Utf8(shown[0].text), Utf8(Join(lines)));
}

TEST_F(ExpiryCheckOrderTest, TheCheckGivesThePersonalStoreToAWindowWithoutOne) {
    SetOptions(0);
    ListFixture::AddToStore(u"MY", ListFixture::Make(SpecOf(u8"Один", 300 * Day, Kind::Plain)));
    ListFixture::AddToStore(u"MY", ListFixture::Make(SpecOf(u8"Два", 300 * Day, Kind::Plain)));
    auto window = ShowWindow();
    ASSERT_TRUE(WaitForInit(*window));
    EXPECT_TRUE(window->m_openStore.isOpened());
    EXPECT_EQ(window->m_openStore.get_Name().toU16(), u"MY");
    EXPECT_EQ(window->m_certList->size(), 2u);
    EXPECT_EQ(m_messages.count(), 0u);
    // The root still shows nothing.
    EXPECT_EQ(window->listCount(), 0);
}

// ---- equalExtensions

struct Extension {
    const char* oid;
    BOOL critical;
    std::string value;
};

bool Equal(std::vector<Extension> a, std::vector<Extension> b) {
    auto build = [](std::vector<Extension>& source, std::vector<CERT_EXTENSION>& out) {
        for (Extension& e : source)
            out.push_back({const_cast<LPSTR>(e.oid),
                           e.critical,
                           {static_cast<DWORD>(e.value.size()), reinterpret_cast<BYTE*>(e.value.data())}});
    };
    std::vector<CERT_EXTENSION> ea, eb;
    build(a, ea);
    build(b, eb);
    CERT_INFO ia{}, ib{};
    ia.cExtension = static_cast<DWORD>(ea.size());
    ia.rgExtension = ea.data();
    ib.cExtension = static_cast<DWORD>(eb.size());
    ib.rgExtension = eb.data();
    const bool forward = CKestrovanDlg::equalExtensions(ia, ib);
    EXPECT_EQ(forward, CKestrovanDlg::equalExtensions(ib, ia));
    return forward;
}

TEST(EqualExtensionsTest, SameCountAndAtEachIndexSameOidFlagAndValue) {
    const Extension keyUsage{"2.5.29.15", TRUE, std::string("\x03\x02\x07\x80", 4)};
    const Extension basic{"2.5.29.19", FALSE, std::string("\x30\x00", 2)};
    const struct {
        const char* label;
        std::vector<Extension> a, b;
        bool equal;
    } rows[] = {
        {"none", {}, {}, true},
        {"one equal", {keyUsage}, {keyUsage}, true},
        {"two equal", {keyUsage, basic}, {keyUsage, basic}, true},
        {"other count", {keyUsage}, {keyUsage, basic}, false},
        {"other order", {keyUsage, basic}, {basic, keyUsage}, false},
        {"other OID", {keyUsage}, {{"2.5.29.37", TRUE, keyUsage.value}}, false},
        {"other critical flag", {keyUsage}, {{"2.5.29.15", FALSE, keyUsage.value}}, false},
        {"other value", {keyUsage}, {{"2.5.29.15", TRUE, std::string("\x03\x02\x05\x20", 4)}}, false},
        {"longer value", {keyUsage}, {{"2.5.29.15", TRUE, keyUsage.value + '\0'}}, false},
        {"both values empty", {{"1.2.3", FALSE, ""}}, {{"1.2.3", FALSE, ""}}, true},
    };
    for (const auto& row : rows) EXPECT_EQ(Equal(row.a, row.b), row.equal) << row.label;
}

// A status worker that stops on its own (here: its window is gone) takes its identifier out of the
// cancel set, where a window that gave up waiting for it had put it; a later thread with the same
// identifier would otherwise be stopped at once.
TEST(StatusWorkerTest, LeavesNoIdentifierInTheCancelSet) {
    auto shared = std::make_shared<CDlgShared>();
    shared->cancelSet.insert(GetCurrentThreadId());
    auto* job = new CWorkerJob;
    job->shared = shared;
    job->certs = std::make_shared<CCertList>();
    job->statusCache = std::make_shared<CStatusCache>();
    CKestrovanDlg::verifyCertsThreadProc(job);
    EXPECT_TRUE(shared->cancelSet.empty());
}

}  // namespace
