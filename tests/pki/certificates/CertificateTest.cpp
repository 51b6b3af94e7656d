// The certificate object: loading, identity, names and texts, equality and ordering, recipient
// descriptions and the viewer, on certificates made by openssl with the GOST engine.
#include "certificates/certificateFixtures.h"
#include "testSupport.h"

#include <vsk/pki/Attributes.h>
#include <vsk/pki/CertApi.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/Settings.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/certname.h>
#include <vsk/utils/error.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

using namespace Vsk::Utils;
using namespace Vsk::PKI;
using CertFixture::Key;
using CertFixture::Made;
using CertFixture::utf8;

namespace {

CCertificate load(const CDataBlob& bytes) {
    CCertificate certificate(true);
    certificate.LoadFromBlob(bytes);
    return certificate;
}

CCertificate load(const Made& made) {
    return load(made.derBytes());
}

std::u16string u16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// The error number of what `action` raises (0 when it raises nothing), and its text.
template <class Action>
DWORD errorNumberOf(Action action, std::u16string* text = nullptr) {
    const auto error = VskTest::MaybeThrown(action);
    if (error && text) *text = error->getText().toU16();
    return error ? error->getErrorNumber() : 0;
}

Made gost256() {
    return CertFixture::make("gost256", Key::Gost256, utf8(u8"/CN=Тест ГОСТ 256/O=Испытания/C=RU"),
                             "0x0102030405");
}
Made gost512() {
    return CertFixture::make("gost512", Key::Gost512, utf8(u8"/CN=Тест ГОСТ 512/O=Испытания/C=RU"),
                             "0x7F0A0B");
}
Made rsa2048() {
    return CertFixture::make("rsa2048", Key::Rsa2048, "/CN=RSA Test/O=Trials/C=RU", "0x00C0FFEE");
}

// DER length octets.
std::string derLength(size_t length) {
    if (length < 0x80) return std::string(1, static_cast<char>(length));
    std::string bytes;
    for (size_t n = length; n; n >>= 8) bytes.insert(bytes.begin(), static_cast<char>(n & 0xFF));
    return std::string(1, static_cast<char>(0x80 | bytes.size())) + bytes;
}

// Header size and contents size of the element at `pos`.
std::pair<size_t, size_t> elementAt(const std::string& der, size_t pos) {
    size_t length = static_cast<unsigned char>(der.at(pos + 1));
    size_t header = 2;
    if (length & 0x80) {
        const size_t octets = length & 0x7F;
        length = 0;
        for (size_t i = 0; i < octets; ++i)
            length = (length << 8) | static_cast<unsigned char>(der.at(pos + 2 + i));
        header += octets;
    }
    return {header, length};
}

// An issuer Name whose AttributeTypeAndValue has three elements: the name reader refuses it.
const std::string BadIssuer =
    std::string("\x30\x10\x31\x0E\x30\x0C\x06\x03\x55\x04\x03\x0C\x01X\x0C\x02YZ", 18);

// The certificate with its issuer Name replaced (the signature no longer matches; nothing here
// checks it).
CDataBlob withIssuer(const CDataBlob& certificate, const std::string& issuer) {
    const std::string der(reinterpret_cast<const char*>(certificate.getData()), certificate.getSize());
    const auto [outerHeader, outerLength] = elementAt(der, 0);
    const auto [tbsHeader, tbsLength] = elementAt(der, outerHeader);
    const size_t tbsEnd = outerHeader + tbsHeader + tbsLength;
    std::string contents;
    size_t pos = outerHeader + tbsHeader;
    // version [0], serialNumber, signature, issuer, ...
    for (int index = static_cast<unsigned char>(der[pos]) == 0xA0 ? 0 : 1; pos < tbsEnd; ++index) {
        const auto [header, length] = elementAt(der, pos);
        contents += index == 3 ? issuer : der.substr(pos, header + length);
        pos += header + length;
    }
    const std::string tbs = "\x30" + derLength(contents.size()) + contents;
    const std::string rest = tbs + der.substr(tbsEnd);
    const std::string out = "\x30" + derLength(rest.size()) + rest;
    return CDataBlob(out.data(), out.size(), true);
}

struct IdentityRow {
    const char* name;
    Made (*make)();
    const char* serial;
};

class CertificateIdentity : public ::testing::TestWithParam<IdentityRow> {};

}  // namespace

// Thumbprint, serial number, version, validity and the encoding agree with openssl for each key kind,
// and the PEM form loads as the same certificate.
TEST_P(CertificateIdentity, AgreesWithOpenssl) {
    const Made made = GetParam().make();
    const CCertificate certificate = load(made);

    std::string fingerprint = made.field("-fingerprint -sha1", "sha1 Fingerprint");
    fingerprint.erase(std::remove(fingerprint.begin(), fingerprint.end(), ':'), fingerprint.end());
    EXPECT_EQ(certificate.get_Thumbprint().toStd(), fingerprint);
    EXPECT_EQ(certificate.get_SerialNumber().toU16(), u16(GetParam().serial));
    // openssl leaves out the sign byte that the stored serial number keeps.
    std::u16string ours = certificate.get_SerialNumber().toU16();
    if (ours.rfind(u"00", 0) == 0 && ours.size() > 2 && ours[2] >= u'8') ours.erase(0, 2);
    EXPECT_EQ(ours, u16(made.field("-serial", "serial")));
    const CDataBlob serial = certificate.get_SerialNumberBlob();
    std::string reversed = CertFixture::upperHex(serial);
    std::string msbFirst;
    for (size_t i = reversed.size(); i >= 2; i -= 2) msbFirst += reversed.substr(i - 2, 2);
    EXPECT_EQ(msbFirst, GetParam().serial);
    EXPECT_EQ(certificate.get_Version(), 3u);

    const FILETIME notBefore = certificate.get_NotBefore(false);
    const FILETIME notAfter = certificate.get_NotAfter(false);
    EXPECT_EQ(CertFixture::ticks(notBefore),
              CertFixture::ticks(CertFixture::opensslTime(made.field("-dates", "notBefore"))));
    EXPECT_EQ(CertFixture::ticks(notAfter),
              CertFixture::ticks(CertFixture::opensslTime(made.field("-dates", "notAfter"))));
    FILETIME expectedLocal{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&notBefore, &expectedLocal));
    EXPECT_EQ(CertFixture::ticks(certificate.get_NotBefore(true)), CertFixture::ticks(expectedLocal));

    EXPECT_EQ(certificate.get_Encoded(true), made.derBytes());
    const CDataBlob attached = certificate.get_Encoded(false);
    EXPECT_EQ(attached.getData(), certificate.get_CertContext()->pbCertEncoded);

    const CCertificate fromPem = load(made.pemBytes());
    EXPECT_TRUE(fromPem.equal(certificate));
    EXPECT_TRUE(certificate.equal(fromPem));
    EXPECT_EQ(fromPem.get_Thumbprint(), certificate.get_Thumbprint());
}

INSTANTIATE_TEST_SUITE_P(Keys, CertificateIdentity,
                         ::testing::Values(IdentityRow{"Gost256", &gost256, "0102030405"},
                                           IdentityRow{"Gost512", &gost512, "7F0A0B"},
                                           IdentityRow{"Rsa2048", &rsa2048, "00C0FFEE"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Base64 text in the forms the loader accepts: with and without header lines, 8-bit and UTF-16.
TEST(CertificateTest, LoadsBase64Forms) {
    const Made made = gost256();
    const std::string pem = CertFixture::run("cat " + CertFixture::quote(made.pem.string()));
    std::string bare;
    std::istringstream lines(pem);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("-----", 0) != 0) bare += line + "\n";
    std::u16string wide(pem.begin(), pem.end());
    const CDataBlob forms[] = {CDataBlob(pem.data(), pem.size(), true),
                               CDataBlob(bare.data(), bare.size(), true),
                               CDataBlob(wide.data(), wide.size() * 2, true)};
    const CCertificate der = load(made);
    for (const CDataBlob& form : forms) {
        const CCertificate certificate = load(form);
        EXPECT_EQ(certificate.get_Encoded(), made.derBytes());
        EXPECT_TRUE(certificate.equal(der));
    }
}

TEST(CertificateTest, LoadingErrors) {
    const CDataBlob der = gost256().derBytes();
    struct Row {
        const char* what;
        CDataBlob bytes;
        DWORD number;
    };
    const char garbage[] = "this is no certificate at all";
    const Row rows[] = {
        {"empty", CDataBlob(), 130501},
        {"garbage", CDataBlob(garbage, sizeof garbage, true), 130502},
        {"truncated", der.getBlock(0, der.getSize() - 10).clone(), 130502},
        {"one byte", CDataBlob("\x30", 1, true), 130502},
    };
    for (const Row& row : rows) {
        CCertificate certificate(true);
        std::u16string text;
        EXPECT_EQ(errorNumberOf([&] { certificate.LoadFromBlob(row.bytes); }, &text), row.number) << row.what;
        if (row.number == 130501) {
            EXPECT_NE(text.find(u"Отсутствуют данные сертификата"), std::u16string::npos);
        }
        EXPECT_EQ(certificate.get_CertContext(), nullptr) << row.what;
    }
}

// Input that is no certificate may be a private key picked by mistake: the log tells its size and
// SHA-1, never its bytes, also at the most detailed level where the load is traced.
TEST(CertificateTest, FailedInputReachesTheLogOnlyAsSizeAndDigest) {
    const Made made = CertFixture::make("secret-holder", Key::Rsa2048, "/CN=Secret holder");
    const std::filesystem::path pemKey = CertFixture::folder() / "secret-holder.key";
    const std::filesystem::path derKey = CertFixture::folder() / "secret-holder.key.der";
    bool ok = false;
    CertFixture::run("openssl pkey -in " + CertFixture::quote(pemKey.string()) + " -outform DER -out " +
                         CertFixture::quote(derKey.string()) + " 2>/dev/null",
                     &ok);
    ASSERT_TRUE(ok);
    const CDataBlob pem = CertFixture::readFile(pemKey), der = CertFixture::readFile(derKey);
    const std::string pemText(reinterpret_cast<const char*>(pem.getData()), pem.getSize());
    const std::string derBase64 = CertFixture::run("base64 -w0 " + CertFixture::quote(derKey.string()));
    ASSERT_GT(derBase64.size(), 100u);

    VskTest::LogCapture capture(5);
    for (const CDataBlob* input : {&pem, &der}) {
        CCertificate certificate(true);
        EXPECT_EQ(errorNumberOf([&] { certificate.LoadFromBlob(*input); }), 130502u);
    }
    const auto sha1Of = [](const std::filesystem::path& file) {
        std::string hex = CertFixture::run("openssl dgst -sha1 -r " + CertFixture::quote(file.string()));
        hex = hex.substr(0, hex.find(' '));
        for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return hex;
    };
    const std::string sha1Pem = sha1Of(pemKey), sha1Der = sha1Of(derKey);
    ASSERT_EQ(sha1Pem.size(), 40u);
    for (const auto& [size, sha1] : {std::pair{pem.getSize(), sha1Pem}, std::pair{der.getSize(), sha1Der}}) {
        const std::u16string summary = u"size=" + u16(std::to_string(size)) + u", SHA-1=" + u16(sha1);
        EXPECT_TRUE(capture.any(u"Certificate: " + summary)) << sha1;
    }

    // Neither the captured lines nor the log file hold the key: no line of its PEM body, no stretch of
    // its DER in Base64.
    std::vector<std::string> secrets;
    std::istringstream body(pemText);
    for (std::string line; std::getline(body, line);)
        if (line.size() > 40 && line.rfind("-----", 0) != 0) secrets.push_back(line);
    for (size_t at = 0; at + 64 <= derBase64.size(); at += 64) secrets.push_back(derBase64.substr(at, 64));
    ASSERT_GT(secrets.size(), 10u);
    std::string logged;
    for (const std::u16string& line : capture.lines()) logged += VskTest::Utf8(line) + "\n";
    const std::string path = VskTest::Utf8(Vsk::InternalUtils::GetLog()->getPath());
    ASSERT_FALSE(path.empty());
    std::ifstream file(path, std::ios::binary);
    const std::string fileBytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_NE(fileBytes.find("size="), std::string::npos) << path;
    for (const std::string& secret : secrets) {
        EXPECT_EQ(logged.find(secret), std::string::npos);
        EXPECT_EQ(fileBytes.find(secret), std::string::npos);
    }
}

// Two objects that hold certificates are equal when the encodings are: nothing is parsed or hashed
// for it, so a certificate whose issuer the name reader refuses compares like any other.
TEST(CertificateTest, EqualityOfCertificatesIsEqualityOfEncodings) {
    const CCertificate odd = load(withIssuer(gost256().derBytes(), BadIssuer));
    ASSERT_NE(odd.get_CertContext(), nullptr);
    {
        // The precondition: the name reader refuses this issuer.
        const CCertificate probe = load(odd.get_Encoded());
        EXPECT_THROW(probe.get_Issuer(), CCryptError);
    }
    const CCertificate same = load(odd.get_Encoded());
    const CCertificate other = load(gost256());
    EXPECT_TRUE(odd.equal(same));
    EXPECT_TRUE(same.equal(odd));
    EXPECT_FALSE(odd.equal(other));
    EXPECT_FALSE(other.equal(odd));
    EXPECT_TRUE(other.equal(load(gost256())));
}

// A failed or repeated load leaves nothing of the certificate held before: the second certificate's
// values are reported, not the first one's cached ones.
TEST(CertificateTest, LoadingAgainForgetsCachedValues) {
    const Made first = gost256();
    const Made second = rsa2048();
    CCertificate certificate = load(first);
    const CCertificate sharer = certificate;
    const CAString firstThumbprint = certificate.get_Thumbprint();
    EXPECT_EQ(certificate.get_PublicKey().getSize(), 64u);
    EXPECT_EQ(certificate.get_PublicKeyAlgorithmOID().toU16(), u"1.2.643.7.1.1.1.1");
    EXPECT_TRUE(certificate.getPublicKeyAlgorithm());
    const CWString firstName = certificate.get_SubjectName();
    certificate.get_SubjectShortName();
    certificate.get_ProviderName();

    certificate.LoadFromBlob(second.derBytes());
    const CCertificate fresh = load(second);
    for (const CCertificate* view : {static_cast<const CCertificate*>(&certificate), &sharer}) {
        EXPECT_EQ(view->get_Thumbprint(), fresh.get_Thumbprint());
        EXPECT_NE(view->get_Thumbprint(), firstThumbprint);
        EXPECT_EQ(view->get_PublicKey(), fresh.get_PublicKey());
        EXPECT_EQ(view->get_PublicKeyAlgorithmOID().toU16(), u"1.2.840.113549.1.1.1");
        EXPECT_EQ(view->getPublicKeyAlgorithm()->m_oid, CAString("1.2.840.113549.1.1.1"));
        EXPECT_EQ(view->get_SubjectName().toU16(), u"RSA Test");
        EXPECT_EQ(view->get_SubjectShortName().toU16(), u"RSA Test");
        EXPECT_EQ(view->get_ProviderName(), fresh.get_ProviderName());
        EXPECT_EQ(view->get_SerialNumber().toU16(), u"00C0FFEE");
    }

    // A load that fails leaves an object without a certificate.
    EXPECT_EQ(errorNumberOf([&] { certificate.LoadFromBlob(CDataBlob("junk", 4, true)); }), 130502u);
    EXPECT_EQ(certificate.get_CertContext(), nullptr);
    EXPECT_EQ(certificate.get_Thumbprint().getLength(), 0u);
    EXPECT_EQ(certificate.get_PublicKey().getSize(), 0u);
    EXPECT_EQ(certificate.get_SubjectName().getLength(), 0u);
}

TEST(CertificateTest, TakingContexts) {
    const CCertificate a = load(gost256());
    const CCertificate b = load(gost512());

    CCertificate holder;
    holder.put_CertContext(a.get_CertContext());
    const auto* implBefore = holder.getImpl().get();
    ASSERT_NE(holder.get_CertContext(), nullptr);
    holder.put_CertContext(holder.get_CertContext());
    EXPECT_EQ(holder.getImpl().get(), implBefore);

    const CCertificate copy = holder;
    holder.put_CertContext(b.get_CertContext());
    EXPECT_EQ(copy.get_Thumbprint(), a.get_Thumbprint());
    EXPECT_EQ(holder.get_Thumbprint(), b.get_Thumbprint());
    // The same context in two objects: the same certificate, neither before the other.
    CCertificate twin;
    twin.put_CertContext(holder.get_CertContext());
    EXPECT_TRUE(twin.equal(holder));
    EXPECT_FALSE(twin < holder);
    EXPECT_FALSE(holder < twin);

    holder.put_CertContext(nullptr);
    EXPECT_FALSE(holder.isNull());
    EXPECT_EQ(holder.get_CertContext(), nullptr);
    EXPECT_EQ(copy.get_Thumbprint(), a.get_Thumbprint());
}

TEST(CertificateTest, EmptyHandles) {
    const CCertificate empty;
    const CCertificate some = load(gost256());
    EXPECT_EQ(empty.get_CertContext(), nullptr);
    EXPECT_EQ(empty.get_Encoded().getSize(), 0u);
    EXPECT_EQ(empty.getText().toU16(), u"null");
    EXPECT_FALSE(empty.equal(some));
    EXPECT_FALSE(some.equal(empty));
    EXPECT_TRUE(empty < some);
    EXPECT_FALSE(some < empty);
    std::u16string text;
    EXPECT_EQ(errorNumberOf([&] { empty.get_Thumbprint(); }, &text), 0u);
    EXPECT_NE(text.find(u"не был создан!"), std::u16string::npos);
    EXPECT_NE(text.find(u"CCertificate::CImpl"), std::u16string::npos);

    CCertificate made;
    EXPECT_TRUE(made.create());
    // Two objects without anything: nothing tells them apart.
    CCertificate other(true);
    EXPECT_TRUE(made.equal(other));
    EXPECT_FALSE(made < other && other < made);
    EXPECT_EQ(made.get_Version(), 0u);
    EXPECT_EQ(made.get_Thumbprint().getLength(), 0u);
    EXPECT_EQ(CertFixture::ticks(made.get_NotAfter()), 0u);
}

// ---- Names ----------------------------------------------------------------------------------------------

namespace {

struct NameRow {
    const char* fixture;
    const char8_t* subject;
    const char16_t* shortName;
    const char16_t* simpleName;
};

const NameRow NameRows[] = {
    // Surname and given names, common name not among them: appended after ", ".
    {"names-full", u8"/SN=Иванов/GN=Иван Петрович/CN=ООО Ромашка/O=Ромашка",
     u"Иванов Иван Петрович, ООО Ромашка", u"ООО Ромашка"},
    // The common name is the surname and given names: not repeated.
    {"names-same", u8"/SN=Иванов/GN=Иван/CN=Иванов Иван", u"Иванов Иван", u"Иванов Иван"},
    // The comparison respects case.
    {"names-case", u8"/SN=Сидоров/GN=Сидор/CN=сидоров сидор", u"Сидоров Сидор, сидоров сидор",
     u"сидоров сидор"},
    // Blanks around the values do not count.
    {"names-blanks", u8"/SN=  Петров /GN=Пётр  /CN=Петров Пётр", u"Петров Пётр", u"Петров Пётр"},
    // Surname alone, then common name.
    {"names-surname", u8"/SN=Петров/CN=Петров П.", u"Петров, Петров П.", u"Петров П."},
    {"names-cn", u8"/CN=Только имя/C=RU", u"Только имя", u"Только имя"},
    {"names-org", u8"/O=Рога и копыта/C=RU", u"Рога и копыта", u"Рога и копыта"},
    // No surname, names, common name or organisation: no short name.
    {"names-none", u8"/C=RU/L=Москва/OU=Отдел", u"", u"Отдел"},
};

}  // namespace

// The short-name rules and every display form built on them, for subject and issuer (self-signed).
TEST(CertificateNames, DisplayForms) {
    for (const NameRow& row : NameRows) {
        SCOPED_TRACE(row.fixture);
        const Made made = CertFixture::make(row.fixture, Key::Gost256, utf8(row.subject));
        const CCertificate certificate = load(made);
        const CRefPtr<CAttributes> subject = certificate.get_Subject();
        ASSERT_TRUE(subject);
        EXPECT_EQ(getShortName(*subject).toU16(), row.shortName);
        EXPECT_EQ(certificate.get_SubjectShortName().toU16(), row.shortName);

        const std::u16string displayed =
            *row.shortName ? std::u16string(row.shortName) : subject->toX500String(false, true, true).toU16();
        EXPECT_FALSE(displayed.empty());
        EXPECT_EQ(certificate.get_SubjectName().toU16(), displayed);
        EXPECT_EQ(certificate.get_IssuerName().toU16(), displayed);

        const PCCERT_CONTEXT context = certificate.get_CertContext();
        EXPECT_EQ(getCertSimpleName(context, false).toU16(), row.simpleName);
        EXPECT_EQ(getCertSimpleName(context, true).toU16(), row.simpleName);
        const FILETIME notBefore = certificate.get_NotBefore();
        const FILETIME notAfter = certificate.get_NotAfter();
        EXPECT_EQ(getCertContextText(context).toU16(),
                  u"\"" + std::u16string(row.simpleName) + u"\", действителен с " +
                      FileTimeToText(&notBefore).toU16() + u" по " + FileTimeToText(&notAfter).toU16());
        const std::u16string expectedText =
            u"отпечаток: " + u16(certificate.get_Thumbprint().toStd()) + u", владелец: " + row.shortName;
        EXPECT_EQ(certificate.getText().toU16(), expectedText);
        // The parsed issuer is the subject here; the object keeps the parse.
        EXPECT_TRUE(certificate.get_Issuer()->equal(*subject, false));
        EXPECT_EQ(certificate.get_Subject().get(), subject.get());
    }
}

TEST(CertificateNames, NullAndEmptyContexts) {
    EXPECT_EQ(getCertSimpleName(nullptr, false).getLength(), 0u);
    EXPECT_EQ(getCertContextText(nullptr).getLength(), 0u);
    CERT_CONTEXT bare{};
    EXPECT_EQ(getCertSimpleName(&bare, true).getLength(), 0u);
}

// ---- Recipient descriptions ---------------------------------------------------------------------------

namespace {

CDataBlob issuerDer(const CCertificate& certificate) {
    const CERT_NAME_BLOB& issuer = certificate.get_CertContext()->pCertInfo->Issuer;
    return CDataBlob(issuer.pbData, issuer.cbData, true);
}

CCertificate describe(const CDataBlob& issuer, const CDataBlob& serial, const char* oid) {
    CCertificate description;
    description.put_DecryptCertInfo(issuer, serial, CAString(oid));
    return description;
}

}  // namespace

TEST(CertificateDescription, WithoutCertificate) {
    const CCertificate certificate = load(gost256());
    const BYTE serial[] = {0x01, 0x02, 0x03};
    const CCertificate description =
        describe(issuerDer(certificate), CDataBlob(serial, sizeof serial, true), "1.2.643.7.1.1.1.1");
    EXPECT_EQ(description.get_CertContext(), nullptr);
    EXPECT_EQ(description.get_SerialNumber().toU16(), u"030201");
    EXPECT_EQ(description.get_SerialNumberBlob(), CDataBlob(serial, sizeof serial, true));
    EXPECT_EQ(description.get_IssuerName().toU16(), u"Тест ГОСТ 256");
    EXPECT_EQ(description.getText().toU16(), u"серийный номер: 030201, издатель: Тест ГОСТ 256");
    EXPECT_EQ(description.get_PublicKeyAlgorithmOID().toU16(), u"1.2.643.7.1.1.1.1");
    EXPECT_EQ(description.get_SignatureAlgorithmOID().toU16(), u"");
    EXPECT_EQ(description.get_Thumbprint().getLength(), 0u);
    EXPECT_EQ(description.get_Version(), 0u);
}

// A description equals the certificate it describes, also when the certificate object has computed
// nothing yet, and the order treats both consistently.
TEST(CertificateDescription, EqualityWithCertificates) {
    const Made made = gost256();
    const CCertificate reference = load(made);
    const CDataBlob issuer = issuerDer(reference);
    const CDataBlob serial = reference.get_SerialNumberBlob();
    const BYTE otherSerialBytes[] = {0x05, 0x04, 0x03, 0x02, 0x02};

    struct Row {
        const char* what;
        CDataBlob serial;
        const char* oid;
        bool equal;
    };
    const Row rows[] = {
        {"same issuer and serial", serial, "1.2.643.7.1.1.1.1", true},
        {"key OID not given", serial, "", true},
        {"other serial", CDataBlob(otherSerialBytes, sizeof otherSerialBytes, true), "1.2.643.7.1.1.1.1",
         false},
        {"other key algorithm", serial, "1.2.840.113549.1.1.1", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const CCertificate description = describe(issuer, row.serial, row.oid);
        // Fresh certificate objects each time: nothing filled on demand yet.
        EXPECT_EQ(description.equal(load(made)), row.equal);
        EXPECT_EQ(load(made).equal(description), row.equal);
    }
    const CCertificate rsaDescription =
        describe(issuerDer(load(rsa2048())), load(rsa2048()).get_SerialNumberBlob(), "1.2.840.113549.1.1.1");
    EXPECT_FALSE(rsaDescription.equal(load(made)));
}

// Once the described certificate is in one of the system stores, the description becomes it.
TEST(CertificateDescription, FindsCertificateInStores) {
    const Made made =
        CertFixture::make("in-ca-store", Key::Gost256, utf8(u8"/CN=В хранилище/O=Испытания"), "0x4455");
    const CCertificate certificate = load(made);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"CA");
    ASSERT_NE(store, nullptr) << GetLastError();
    ASSERT_TRUE(CertAddCertificateContextToStore(store, certificate.get_CertContext(), CERT_STORE_ADD_ALWAYS,
                                                 nullptr))
        << std::hex << GetLastError();
    CertCloseStore(store, 0);

    const CCertificate description =
        describe(issuerDer(certificate), certificate.get_SerialNumberBlob(), "1.2.643.7.1.1.1.1");
    ASSERT_NE(description.get_CertContext(), nullptr);
    EXPECT_EQ(description.get_Thumbprint(), certificate.get_Thumbprint());
    EXPECT_EQ(description.get_SubjectName().toU16(), u"В хранилище");
    EXPECT_TRUE(description.equal(certificate));
}

// ---- Ordering and equality --------------------------------------------------------------------------------

// The order is strict and weak over certificates and descriptions together (what sorted containers
// need), and equal certificates are never ordered apart by their contents.
TEST(CertificateOrder, StrictWeakOverMixedObjects) {
    std::vector<CCertificate> items = {
        load(gost256()), load(gost512()), load(rsa2048()),
        load(CertFixture::make("names-cn", Key::Gost256, utf8(u8"/CN=Только имя/C=RU")))};
    const BYTE serialA[] = {1, 2, 3};
    const BYTE serialB[] = {9};
    items.push_back(describe(issuerDer(items[0]), CDataBlob(serialA, 3, true), "1.2.643.7.1.1.1.1"));
    items.push_back(describe(issuerDer(items[1]), CDataBlob(serialB, 1, true), "1.2.643.7.1.1.1.2"));
    items.push_back(CCertificate());
    const size_t n = items.size();
    for (size_t i = 0; i < n; ++i) {
        EXPECT_FALSE(items[i] < items[i]) << i;
        for (size_t j = 0; j < n; ++j) {
            if (i == j) continue;
            EXPECT_FALSE(items[i] < items[j] && items[j] < items[i]) << i << "," << j;
            EXPECT_TRUE(items[i] < items[j] || items[j] < items[i]) << i << "," << j;
            for (size_t k = 0; k < n; ++k)
                if (items[i] < items[j] && items[j] < items[k]) {
                    EXPECT_TRUE(items[i] < items[k]) << i << j << k;
                }
        }
    }
    std::sort(items.begin(), items.end());
    EXPECT_TRUE(items.front().isNull());
}

// Two threads compare the same pair in opposite directions at once; neither may wait for the other.
TEST(CertificateOrder, OppositeComparisonsDoNotDeadlock) {
    const CCertificate a = load(gost256());
    const CCertificate b = load(gost512());
    auto compare = [](const CCertificate& x, const CCertificate& y) {
        int count = 0;
        for (int i = 0; i < 2000; ++i) count += (x < y) + x.equal(y);
        return count;
    };
    auto first = std::async(std::launch::async, compare, a, b);
    auto second = std::async(std::launch::async, compare, b, a);
    ASSERT_EQ(first.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    ASSERT_EQ(second.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(first.get() + second.get(), 2000);
}

// Verification checks its arguments before anything else.
TEST(CertificateVerify, ArgumentsChecked) {
    const CCertificate certificate = load(gost256());
    const CCertVerifySettings settings;
    EXPECT_EQ(errorNumberOf([&] { CCertificate::VerifyCertificate(certificate.get_CertContext(), nullptr); }),
              130701u);
    EXPECT_EQ(errorNumberOf([&] { CCertificate::VerifyCertificate(nullptr, &settings); }), 130702u);
    CCertificate empty(true);
    EXPECT_EQ(errorNumberOf([&] { empty.Verify(settings); }), 130702u);
}

// The search of named system stores by certificate identifier.
TEST(CertificateStores, FindCertificateById) {
    const Made made =
        CertFixture::make("in-ca-store", Key::Gost256, utf8(u8"/CN=В хранилище/O=Испытания"), "0x4455");
    const CCertificate certificate = load(made);
    HCERTSTORE store = OpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"CA");
    ASSERT_NE(store, nullptr);
    ASSERT_TRUE(CertAddCertificateContextToStore(store, certificate.get_CertContext(), CERT_STORE_ADD_ALWAYS,
                                                 nullptr));
    CloseStore(store);
    EXPECT_EQ(store, nullptr);

    CArray<CWString> names;
    names.add(u"MY");
    names.add(u"CA");
    CERT_ID byIssuer{};
    byIssuer.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
    byIssuer.IssuerSerialNumber.Issuer = certificate.get_CertContext()->pCertInfo->Issuer;
    byIssuer.IssuerSerialNumber.SerialNumber = certificate.get_CertContext()->pCertInfo->SerialNumber;
    const CDataBlob thumbprint =
        GetCertificateContextProperty(certificate.get_CertContext(), CERT_SHA1_HASH_PROP_ID);
    ASSERT_EQ(thumbprint.getSize(), 20u);
    CERT_ID byHash{};
    byHash.dwIdChoice = CERT_ID_SHA1_HASH;
    byHash.HashId.cbData = thumbprint.getSize();
    byHash.HashId.pbData = thumbprint.getData();
    for (const CERT_ID* id : {&byIssuer, &byHash}) {
        PCCERT_CONTEXT found = FindCertificate(names, *id, CERT_SYSTEM_STORE_CURRENT_USER);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(CDataBlob(found->pbCertEncoded, found->cbCertEncoded, true), made.derBytes());
        EXPECT_TRUE(FreeCertificateContext(found));
        EXPECT_EQ(found, nullptr);
    }
    CArray<CWString> elsewhere;
    elsewhere.add(u"ROOT");
    elsewhere.add(u"NoSuchStore");
    EXPECT_EQ(FindCertificate(elsewhere, byHash, CERT_SYSTEM_STORE_CURRENT_USER), nullptr);

    DWORD error = 0;
    EXPECT_EQ(GetCertificateContextProperty(certificate.get_CertContext(), CERT_FRIENDLY_NAME_PROP_ID, &error)
                  .getSize(),
              0u);
    EXPECT_EQ(error, static_cast<DWORD>(CRYPT_E_NOT_FOUND));
}
