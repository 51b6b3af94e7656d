// Certificate extensions read by the program: CRL distribution points, extended key usages and the
// private key usage period, and the validity answer they feed; certificates made by openssl with the
// extensions as written, malformed ones included.
#include "certificateFixtures.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

using namespace Vsk::Utils;
using namespace Vsk::PKI;

namespace {

// A GOST certificate valid for 30 days from now with the extensions given as openssl -addext texts.
CCertificate withExtensions(const std::string& name, const std::vector<std::string>& extensions) {
    const auto pem = CertFixture::folder() / (name + ".pem");
    std::string command = "openssl req -x509 -nodes -days 30 " +
                          CertFixture::keyArguments(CertFixture::Key::Gost256) + " -keyout " +
                          CertFixture::quote((CertFixture::folder() / (name + ".key")).string()) + " -out " +
                          CertFixture::quote(pem.string()) + " -subj " + CertFixture::quote("/CN=" + name);
    for (const auto& extension : extensions) command += " -addext " + CertFixture::quote(extension);
    bool ok = false;
    CertFixture::run(command + " >/dev/null 2>&1", &ok);
    EXPECT_TRUE(ok) << command;
    CCertificate certificate(true);
    certificate.LoadFromBlob(CertFixture::readFile(pem));
    return certificate;
}

// PrivateKeyUsagePeriod with the given tagged bounds: [0] notBefore, [1] notAfter, as
// GeneralizedTime texts ("YYYYMMDDhhmmssZ").
std::string keyPeriod(const std::string& notBefore, const std::string& notAfter) {
    std::string inner;
    auto bound = [&](int tag, const std::string& text) {
        if (text.empty()) return;
        char head[16];
        std::snprintf(head, sizeof head, "%02X:%02X", 0x80 | tag, static_cast<unsigned>(text.size()));
        inner += std::string(":") + head;
        for (unsigned char c : text) {
            char hex[8];
            std::snprintf(hex, sizeof hex, ":%02X", c);
            inner += hex;
        }
    };
    bound(0, notBefore);
    bound(1, notAfter);
    char length[8];
    std::snprintf(length, sizeof length, "%02X", static_cast<unsigned>(inner.size() / 3));
    return "2.5.29.16=DER:30:" + std::string(length) + inner;
}

std::vector<std::u16string> texts(const CArray<CWString>& list) {
    std::vector<std::u16string> out;
    for (size_t i = 0; i < list.getCount(); ++i) out.push_back(list[i].toU16());
    return out;
}

DWORD stepOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CError& e) {
        return e.getErrorNumber();
    }
    return 0;
}

}  // namespace

TEST(CertificateExtensionsTest, DistributionPointsInOrderAndMalformedExtensionsStayApart) {
    CCertificate both = withExtensions(
        "cdp-two", {"crlDistributionPoints=URI:http://first.example/a.crl,URI:https://second.example/b.crl",
                    "extendedKeyUsage=clientAuth,emailProtection"});
    EXPECT_EQ(texts(both.get_CrlDistributionPoints()),
              (std::vector<std::u16string>{u"http://first.example/a.crl", u"https://second.example/b.crl"}));
    EXPECT_TRUE(both.isValidDate());

    CCertificate none = withExtensions("cdp-none", {});
    EXPECT_TRUE(none.get_CrlDistributionPoints().getCount() == 0);

    // A malformed key-usage extension fails nothing but itself: the distribution points and the
    // validity of the certificate are still read.
    CCertificate badUsage = withExtensions(
        "eku-bad", {"crlDistributionPoints=URI:http://only.example/c.crl", "2.5.29.37=DER:30:05:06:01"});
    EXPECT_EQ(texts(badUsage.get_CrlDistributionPoints()),
              std::vector<std::u16string>{u"http://only.example/c.crl"});
    CWString reason;
    EXPECT_TRUE(badUsage.isValidDate(&reason));
    EXPECT_EQ(reason.toU16(), u"");

    // A malformed distribution-points extension is the error of the operations that need it only.
    CCertificate badPoints = withExtensions("cdp-bad", {"2.5.29.31=DER:30:05:02"});
    EXPECT_EQ(stepOf([&] { badPoints.get_CrlDistributionPoints(); }), 130115u);
    EXPECT_TRUE(badPoints.isValidDate());
}

TEST(CertificateExtensionsTest, PrivateKeyUsagePeriodBoundsEachCountOnTheirOwn) {
    const struct {
        const char* name;
        const char* notBefore;
        const char* notAfter;
        bool valid;
        const char16_t* reason;
    } rows[] = {
        {"pkup-inside", "20200101000000Z", "20990101000000Z", true, u""},
        {"pkup-ended", "20200101000000Z", "20210101000000Z", false, u"Ключ сертификата просрочен!"},
        {"pkup-later", "20990101000000Z", "20991231000000Z", false,
         u"Срок действия ключа сертификата еще не наступил!"},
        // Only one bound: it still limits the key on its side.
        {"pkup-only-end", "", "20210101000000Z", false, u"Ключ сертификата просрочен!"},
        {"pkup-only-start", "20990101000000Z", "", false,
         u"Срок действия ключа сертификата еще не наступил!"},
        {"pkup-only-start-past", "20200101000000Z", "", true, u""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CCertificate certificate = withExtensions(row.name, {keyPeriod(row.notBefore, row.notAfter)});
        CWString reason(u"Причина: ");
        EXPECT_EQ(certificate.isValidDate(&reason), row.valid);
        // The reason is appended to what the caller had.
        EXPECT_EQ(reason.toU16(), std::u16string(u"Причина: ") + row.reason);
        EXPECT_EQ(CertFixture::ticks(certificate.get_PrivateKeyNotBefore(false)) != 0, *row.notBefore != 0);
        EXPECT_EQ(CertFixture::ticks(certificate.get_PrivateKeyNotAfter(false)) != 0, *row.notAfter != 0);
        // The bound as read: 2021-01-01 00:00:00 UTC.
        if (std::string(row.notAfter) == "20210101000000Z")
            EXPECT_EQ(CertFixture::ticks(certificate.get_PrivateKeyNotAfter(false)),
                      CertFixture::ticks(CertFixture::opensslTime("Jan  1 00:00:00 2021 GMT")));
    }
}

TEST(CertificateExtensionsTest, ValidityOfTheCertificateItself) {
    CCertificate empty(true);
    CWString reason;
    EXPECT_FALSE(empty.isValidDate(&reason));
    EXPECT_EQ(reason.toU16(), u"срок действия сертификата не известен");

    // Expired and not yet valid certificates: openssl ca signs them with the dates given.
    const struct {
        const char* name;
        const char* start;
        const char* end;
        const char16_t* reason;
    } rows[] = {
        {"cert-expired", "20200101000000Z", "20210101000000Z", u"срок действия сертификата истек"},
        {"cert-later", "20990101000000Z", "20991231000000Z", u"срок действия сертификата еще не наступил"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto dir = CertFixture::folder() / row.name;
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "index.txt").close();
        std::ofstream(dir / "serial") << "01\n";
        std::ofstream(dir / "ca.cnf")
            << "[ca]\ndefault_ca=d\n[d]\ndatabase=" << (dir / "index.txt").string()
            << "\nserial=" << (dir / "serial").string() << "\nnew_certs_dir=" << dir.string()
            << "\ndefault_md=md_gost12_256\npolicy=p\n[p]\ncommonName=supplied\n";
        const std::string d = CertFixture::quote(dir.string());
        bool ok = false;
        CertFixture::run(
            "(cd " + d +
                " && openssl req -new -engine gost -newkey gost2012_256 -pkeyopt paramset:A -nodes "
                "-keyout k.pem -subj /CN=dates -out r.pem && openssl ca -batch -engine gost -config "
                "ca.cnf -selfsign -keyfile k.pem -in r.pem -notext -out c.pem -startdate " +
                row.start + " -enddate " + row.end + ") >/dev/null 2>&1",
            &ok);
        ASSERT_TRUE(ok);
        CCertificate certificate(true);
        certificate.LoadFromBlob(CertFixture::readFile(dir / "c.pem"));
        CWString why;
        EXPECT_FALSE(certificate.isValidDate(&why));
        EXPECT_EQ(why.toU16(), row.reason);
    }
}
