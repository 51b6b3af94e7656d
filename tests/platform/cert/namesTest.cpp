// Names as text: CertNameToStrW, CertStrToNameW and CertGetNameStringW on names built here.
#include "certnameTestUtil.h"

#include <vsk/platform/certname.h>
#include <vsk/platform/kernel.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

using namespace certname_test;

namespace {

const DWORD X500Reverse = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;  // 0x02000003
const DWORD LibraryWrite = CERT_X500_NAME_STR | CERT_NAME_STR_COMMA_FLAG | CERT_NAME_STR_NO_PLUS_FLAG;

const char* CN = "2.5.4.3";
const char* SN = "2.5.4.4";
const char* O = "2.5.4.10";
const char* OU = "2.5.4.11";
const char* C = "2.5.4.6";
const char* E = "1.2.840.113549.1.9.1";

// C=RU, O=Org, {CN=Пётр Иванов (UTF8) + SN=Иванов (BMP)}, OU="Отдел, 1"
Bytes PersonName() {
    return Name({Rdn({Atv(C, Printable, Text("RU"))}), Rdn({Atv(O, Printable, Text("Org"))}),
                 Rdn({Atv(CN, Utf8Tag, Utf8(u8"Пётр Иванов")), Atv(SN, Bmp, BmpBE(u"Иванов"))}),
                 Rdn({Atv(OU, Utf8Tag, Utf8(u8"Отдел, 1"))})});
}

struct ToStrRow {
    const char* what;
    Bytes der;
    DWORD strType;
    std::u16string expected;
};

TEST(CertNameToStr, FormatsFlagsAndValueTypes) {
    const Bytes person = PersonName();
    const ToStrRow rows[] = {
        {"forward", person, CERT_X500_NAME_STR, u"C=RU, O=Org, CN=Пётр Иванов + SN=Иванов, OU=\"Отдел, 1\""},
        {"reverse keeps the values of an RDN in order", person, X500Reverse,
         u"OU=\"Отдел, 1\", CN=Пётр Иванов + SN=Иванов, O=Org, C=RU"},
        {"no plus", person, CERT_X500_NAME_STR | CERT_NAME_STR_NO_PLUS_FLAG,
         u"C=RU, O=Org, CN=Пётр Иванов SN=Иванов, OU=\"Отдел, 1\""},
        {"semicolon", person, CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG,
         u"C=RU; O=Org; CN=Пётр Иванов + SN=Иванов; OU=\"Отдел, 1\""},
        {"crlf", person, CERT_X500_NAME_STR | CERT_NAME_STR_CRLF_FLAG,
         u"C=RU\r\nO=Org\r\nCN=Пётр Иванов + SN=Иванов\r\nOU=\"Отдел, 1\""},
        {"no quoting", person, CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG,
         u"C=RU, O=Org, CN=Пётр Иванов + SN=Иванов, OU=Отдел, 1"},
        {"simple", person, CERT_SIMPLE_NAME_STR, u"RU, Org, Пётр Иванов + Иванов, \"Отдел, 1\""},
        {"oid", person, CERT_OID_NAME_STR,
         u"2.5.4.6=RU, 2.5.4.10=Org, 2.5.4.3=Пётр Иванов + 2.5.4.4=Иванов, 2.5.4.11=\"Отдел, 1\""},
        {"empty name", Name({}), CERT_X500_NAME_STR, u""},
        {"unknown OID", Name({Rdn({Atv("1.2.3.4", Printable, Text("x"))})}), CERT_X500_NAME_STR,
         u"OID.1.2.3.4=x"},
        {"more keys",
         Name({Rdn({Atv("2.5.4.8", Utf8Tag, Utf8(u8"Московская обл."))}),
               Rdn({Atv("2.5.4.5", Printable, Text("123"))}),
               Rdn({Atv("0.9.2342.19200300.100.1.25", Ia5, Text("example"))}),
               Rdn({Atv(E, Ia5, Text("a@b.ru"))})}),
         CERT_X500_NAME_STR, u"S=Московская обл., SERIALNUMBER=123, DC=example, E=a@b.ru"},
        {"numeric and T61 (UTF-8 and Latin-1)",
         Name({Rdn({Atv("1.2.643.100.1", Numeric, Text("1027700132195"))}),
               Rdn({Atv(CN, T61, Utf8(u8"Ёлка"))}), Rdn({Atv(O, T61, Bytes{'C', 'a', 'f', 0xE9})})}),
         CERT_OID_NAME_STR, u"1.2.643.100.1=1027700132195, 2.5.4.3=Ёлка, 2.5.4.10=Café"},
        {"not text: hex of the DER",
         Name({Rdn({Atv("1.2.3.4", 0x04, Bytes{1, 2, 3})}), Rdn({AtvRaw("1.2.3.5", Der(0x02, {5}))}),
               Rdn({Atv(CN, Bmp, Bytes{0x04})})}),
         CERT_X500_NAME_STR, u"OID.1.2.3.4=#0403010203, OID.1.2.3.5=#020105, CN=#1E0104"},
    };
    for (const ToStrRow& row : rows) EXPECT_EQ(NameToStr(row.der, row.strType), row.expected) << row.what;
}

TEST(CertNameToStr, QuotesOnlyWhenNeeded) {
    const struct {
        const char* value;
        std::u16string expected;
    } rows[] = {
        {"plain value", u"CN=plain value"},
        {"a,b", u"CN=\"a,b\""},
        {"a+b", u"CN=\"a+b\""},
        {"a=b", u"CN=\"a=b\""},
        {"a;b", u"CN=\"a;b\""},
        {"<a>", u"CN=\"<a>\""},
        {"#1", u"CN=\"#1\""},
        {" lead", u"CN=\" lead\""},
        {"trail ", u"CN=\"trail \""},
        {"say \"hi\"", u"CN=\"say \"\"hi\"\"\""},
        {"two\nlines", u"CN=\"two\nlines\""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(NameToStr(Name({Rdn({Atv(CN, Utf8Tag, Text(row.value))})}), CERT_X500_NAME_STR),
                  row.expected)
            << row.value;
}

TEST(CertNameToStr, SizeProtocolAndBadInput) {
    const Bytes der = Name({Rdn({Atv(CN, Printable, Text("Name"))})});
    CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), const_cast<BYTE*>(der.data())};
    EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, nullptr, 0),
              8u);  // "CN=Name" + NUL
    WCHAR small[5];
    EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, small, 5), 5u);
    EXPECT_EQ(std::u16string(small), u"CN=N");

    const Bytes bad[] = {
        {0x30, 0x05, 0x31, 0x03},                                       // truncated
        {0x31, 0x00},                                                   // not a SEQUENCE
        Name({Der(0x30, {})}),                                          // an RDN that is not a SET
        Name({Rdn({})}),                                                // an empty RDN
        Name({Rdn({Der(0x30, Cat({Oid(CN)}))})}),                       // a type without a value
        Cat({Name({Rdn({Atv(CN, Printable, Text("x"))})}), Bytes{0}}),  // data after the Name
    };
    for (const Bytes& b : bad) {
        CERT_NAME_BLOB badBlob{static_cast<DWORD>(b.size()), const_cast<BYTE*>(b.data())};
        WCHAR out[8] = u"junk";
        SetLastError(0);
        EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &badBlob, CERT_X500_NAME_STR, out, 8), 0u);
        EXPECT_EQ(GetLastError() & 0xFFFFFF00u, 0x80093100u);
        EXPECT_EQ(out[0], 0);
    }
}

struct RoundTripRow {
    const char16_t* text;
    DWORD flags;
    Bytes der;
    std::u16string back;  // CertNameToStrW with CERT_X500_NAME_STR
};

TEST(CertStrToName, EncodesAndReadsBack) {
    const DWORD plus = CERT_X500_NAME_STR | CERT_NAME_STR_COMMA_FLAG;
    const RoundTripRow rows[] = {
        {u"CN=Ivan, O=Org, C=RU", LibraryWrite,
         Name({Rdn({Atv(CN, Printable, Text("Ivan"))}), Rdn({Atv(O, Printable, Text("Org"))}),
               Rdn({Atv(C, Printable, Text("RU"))})}),
         u"CN=Ivan, O=Org, C=RU"},
        {u"2.5.4.3=Пётр,OID.2.5.4.10=Org", LibraryWrite,
         Name({Rdn({Atv(CN, Utf8Tag, Utf8(u8"Пётр"))}), Rdn({Atv(O, Printable, Text("Org"))})}),
         u"CN=Пётр, O=Org"},
        {u"CN=a+SN=b,O=c", plus,
         Name({Rdn({Atv(CN, Printable, Text("a")), Atv(SN, Printable, Text("b"))}),
               Rdn({Atv(O, Printable, Text("c"))})}),
         u"CN=a + SN=b, O=c"},
        {u"CN=a+b", LibraryWrite, Name({Rdn({Atv(CN, Printable, Text("a+b"))})}), u"CN=\"a+b\""},
        {u"CN=\"a,b\",O=\"say \"\"hi\"\"\"", LibraryWrite,
         Name({Rdn({Atv(CN, Printable, Text("a,b"))}), Rdn({Atv(O, Utf8Tag, Text("say \"hi\""))})}),
         u"CN=\"a,b\", O=\"say \"\"hi\"\"\""},
        {u"  cn =  padded value  , E=user@example.com", LibraryWrite,
         Name(
             {Rdn({Atv(CN, Printable, Text("padded value"))}), Rdn({Atv(E, Ia5, Text("user@example.com"))})}),
         u"CN=padded value, E=user@example.com"},
        {u"CN=user@example.com", LibraryWrite, Name({Rdn({Atv(CN, Utf8Tag, Text("user@example.com"))})}),
         u"CN=user@example.com"},
        {u"CN=a, O=b", LibraryWrite | CERT_NAME_STR_REVERSE_FLAG,
         Name({Rdn({Atv(O, Printable, Text("b"))}), Rdn({Atv(CN, Printable, Text("a"))})}), u"O=b, CN=a"},
        {u"CN=a;O=b,OU=c", CERT_X500_NAME_STR,
         Name({Rdn({Atv(CN, Printable, Text("a"))}), Rdn({Atv(O, Printable, Text("b"))}),
               Rdn({Atv(OU, Printable, Text("c"))})}),
         u"CN=a, O=b, OU=c"},
        {u"CN=a\r\nO=b", CERT_X500_NAME_STR | CERT_NAME_STR_CRLF_FLAG,
         Name({Rdn({Atv(CN, Printable, Text("a"))}), Rdn({Atv(O, Printable, Text("b"))})}), u"CN=a, O=b"},
        {u"1.2.3.4=#020105,Email=a@b", LibraryWrite,
         Name({Rdn({AtvRaw("1.2.3.4", Der(0x02, {5}))}), Rdn({Atv(E, Ia5, Text("a@b"))})}),
         u"OID.1.2.3.4=#020105, E=a@b"},
        {u"CN=#1 Shop,O=#0201", LibraryWrite,
         Name({Rdn({Atv(CN, Utf8Tag, Text("#1 Shop"))}), Rdn({Atv(O, Utf8Tag, Text("#0201"))})}),
         u"CN=\"#1 Shop\", O=\"#0201\""},
        {u"CN=", LibraryWrite, Name({Rdn({Atv(CN, Printable, {})})}), u"CN="},
        {u"", LibraryWrite, Name({}), u""},
    };
    for (const RoundTripRow& row : rows) {
        DWORD error = 0;
        const Bytes der = StrToName(row.text, row.flags, &error);
        EXPECT_EQ(error, 0u) << std::string(row.text,
                                            row.text + std::char_traits<char16_t>::length(row.text));
        EXPECT_EQ(der, row.der) << "row " << (&row - rows);
        EXPECT_EQ(NameToStr(der, CERT_X500_NAME_STR), row.back) << "row " << (&row - rows);
    }
}

TEST(CertStrToName, NameToStrOutputReadsBackToTheSameDer) {
    const Bytes person = PersonName();
    for (DWORD flags : {DWORD(CERT_X500_NAME_STR), DWORD(CERT_OID_NAME_STR)}) {
        const std::u16string text = NameToStr(person, flags);
        const Bytes again = StrToName(text.c_str(), flags | CERT_NAME_STR_COMMA_FLAG);
        // The string types are chosen anew (the BMP surname becomes UTF8String); the structure stays.
        EXPECT_EQ(NameToStr(again, CERT_X500_NAME_STR), NameToStr(person, CERT_X500_NAME_STR));
    }
    const Bytes reversed =
        StrToName(NameToStr(person, X500Reverse).c_str(),
                  CERT_X500_NAME_STR | CERT_NAME_STR_COMMA_FLAG | CERT_NAME_STR_REVERSE_FLAG);
    EXPECT_EQ(NameToStr(reversed, CERT_X500_NAME_STR), NameToStr(person, CERT_X500_NAME_STR));
}

TEST(CertStrToName, ReportsTheOffendingPosition) {
    const struct {
        const char16_t* text;
        DWORD flags;
        long at;
    } rows[] = {
        {u"CN=a, XX=b", LibraryWrite, 6},        // unknown key
        {u"CN=a, O", LibraryWrite, 6},           // no "="
        {u"CN=\"abc", LibraryWrite, 3},          // unterminated quote
        {u"CN=\"a\"b", LibraryWrite, 6},         // text after the closing quote
        {u"CN=a,,O=b", LibraryWrite, 5},         // empty item
        {u"CN=a, ", LibraryWrite, 6},            // separator at the end
        {u"CN=a\"b", LibraryWrite, 4},           // quote inside an unquoted value
        {u"C=Россия", LibraryWrite, 2},          // country: PrintableString only
        {u"E=иван@пример.рф", LibraryWrite, 2},  // e-mail: IA5String only
        {u"1.2.3.=x", LibraryWrite, 0},          // malformed OID
        {u"OID.=x", LibraryWrite, 0},            // "OID." without an OID
        {u"CN=a+", CERT_X500_NAME_STR, 5},       // "+" without a value after it
    };
    for (const auto& row : rows) {
        DWORD error = 0;
        long at = -2;
        EXPECT_TRUE(StrToName(row.text, row.flags, &error, &at).empty());
        EXPECT_EQ(error, CRYPT_E_INVALID_X500_STRING) << (&row - rows);
        EXPECT_EQ(at, row.at) << (&row - rows);
    }
}

TEST(CertStrToName, SizeProtocolAndArguments) {
    DWORD size = 0;
    LPCWSTR bad = u"not touched";
    ASSERT_TRUE(CertStrToNameW(X509_ASN_ENCODING, u"CN=x", LibraryWrite, nullptr, nullptr, &size, &bad));
    EXPECT_EQ(bad, nullptr);
    EXPECT_EQ(size, 14u);
    BYTE buffer[32];
    DWORD small = size - 1;
    SetLastError(0);
    EXPECT_FALSE(CertStrToNameW(X509_ASN_ENCODING, u"CN=x", LibraryWrite, nullptr, buffer, &small, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(small, size);
    EXPECT_FALSE(
        CertStrToNameW(X509_ASN_ENCODING, u"CN=x", CERT_SIMPLE_NAME_STR, nullptr, nullptr, &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST(OidInfoKeys, X500KeysAreTheRdnGroupsNames) {
    PCCRYPT_OID_INFO cn =
        CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(CN), CRYPT_RDN_ATTR_OID_GROUP_ID);
    ASSERT_NE(cn, nullptr);
    EXPECT_EQ(std::u16string(cn->pwszName), u"CN");
    EXPECT_EQ(
        CryptFindOIDInfo(CRYPT_OID_INFO_NAME_KEY, const_cast<char16_t*>(u"cn"), CRYPT_RDN_ATTR_OID_GROUP_ID),
        cn);
    // The registration numbers are not built in: they come with registration.
    EXPECT_EQ(CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>("1.2.643.100.1"), 0), nullptr);
}

// ---- CertGetNameStringW -------------------------------------------------------------------------------

// A certificate context carrying only what the name functions read.
struct FakeCert {
    Bytes subject, issuer;
    std::vector<Bytes> values;
    std::vector<CERT_EXTENSION> extensions;
    CERT_INFO info{};
    CERT_CONTEXT context{};

    FakeCert(Bytes s, Bytes i, std::vector<std::pair<const char*, Bytes>> ext = {})
        : subject(std::move(s)), issuer(std::move(i)) {
        for (auto& [oid, value] : ext) values.push_back(value);
        for (size_t k = 0; k < ext.size(); ++k)
            extensions.push_back({const_cast<char*>(ext[k].first),
                                  FALSE,
                                  {static_cast<DWORD>(values[k].size()), values[k].data()}});
        info.Subject = {static_cast<DWORD>(subject.size()), subject.data()};
        info.Issuer = {static_cast<DWORD>(issuer.size()), issuer.data()};
        info.cExtension = static_cast<DWORD>(extensions.size());
        info.rgExtension = extensions.data();
        context.dwCertEncodingType = X509_ASN_ENCODING;
        context.pCertInfo = &info;
    }
};

std::u16string GetName(PCCERT_CONTEXT cert, DWORD type, DWORD flags = 0, void* para = nullptr) {
    const DWORD size = CertGetNameStringW(cert, type, flags, para, nullptr, 0);
    std::u16string out(size, u'\0');
    EXPECT_EQ(CertGetNameStringW(cert, type, flags, para, out.data(), size), size);
    out.resize(size ? size - 1 : 0);
    return out;
}

Bytes AltNames(std::initializer_list<Bytes> names) {
    return Der(0x30, Cat(names));
}

TEST(CertGetNameString, SimpleDisplayNameRules) {
    const Bytes san = AltNames({Der(0x82, Text("host.example")), Der(0x81, Text("san@example.com"))});
    const Bytes ian = AltNames({Der(0x81, Text("ca@example.com"))});
    const struct {
        const char* what;
        Bytes name;
        bool withSan;
        std::u16string expected;
    } rows[] = {
        {"CN first, wherever it is",
         Name({Rdn({Atv(OU, Printable, Text("Unit"))}), Rdn({Atv(CN, Utf8Tag, Utf8(u8"Пётр"))})}), true,
         u"Пётр"},
        {"CN inside a multi-valued RDN",
         Name({Rdn({Atv(SN, Bmp, BmpBE(u"Иванов")), Atv(CN, Bmp, BmpBE(u"Иван Иванов"))})}), false,
         u"Иван Иванов"},
        {"OU before O",
         Name({Rdn({Atv(O, Printable, Text("Org"))}), Rdn({Atv(OU, Printable, Text("Unit"))})}), true,
         u"Unit"},
        {"O", Name({Rdn({Atv(C, Printable, Text("RU"))}), Rdn({Atv(O, Printable, Text("Org"))})}), true,
         u"Org"},
        {"E before the alternative names", Name({Rdn({Atv(E, Ia5, Text("e@example.com"))})}), true,
         u"e@example.com"},
        {"the alternative names' e-mail", Name({Rdn({Atv(C, Printable, Text("RU"))})}), true,
         u"san@example.com"},
        {"else the first value", Name({Rdn({Atv(C, Printable, Text("RU"))})}), false, u"RU"},
        {"empty name", Name({}), false, u""},
    };
    for (const auto& row : rows) {
        std::vector<std::pair<const char*, Bytes>> ext;
        if (row.withSan) ext = {{szOID_SUBJECT_ALT_NAME2, san}, {szOID_ISSUER_ALT_NAME2, ian}};
        FakeCert cert(row.name, Name({Rdn({Atv(C, Printable, Text("RU"))})}), ext);
        EXPECT_EQ(GetName(&cert.context, CERT_NAME_SIMPLE_DISPLAY_TYPE), row.expected) << row.what;
        if (row.withSan) {
            EXPECT_EQ(GetName(&cert.context, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG),
                      u"ca@example.com");
        }
    }
}

TEST(CertGetNameString, OtherTypesAndProtocol) {
    const Bytes subject =
        Name({Rdn({Atv(C, Printable, Text("RU"))}), Rdn({Atv(CN, Utf8Tag, Utf8(u8"Сервер"))}),
              Rdn({Atv(E, Ia5, Text("name@example.com"))})});
    const Bytes issuer = Name({Rdn({Atv(CN, Printable, Text("Test CA"))})});
    FakeCert withSan(subject, issuer,
                     {{szOID_SUBJECT_ALT_NAME2,
                       AltNames({Der(0x86, Text("http://example.com/")), Der(0x82, Text("host.example")),
                                 Der(0x81, Text("san@example.com"))})}});
    FakeCert plain(subject, issuer);

    EXPECT_EQ(GetName(&plain.context, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG), u"Test CA");
    EXPECT_EQ(GetName(&withSan.context, CERT_NAME_EMAIL_TYPE), u"san@example.com");
    EXPECT_EQ(GetName(&plain.context, CERT_NAME_EMAIL_TYPE), u"name@example.com");
    EXPECT_EQ(GetName(&withSan.context, CERT_NAME_DNS_TYPE), u"host.example");
    EXPECT_EQ(GetName(&plain.context, CERT_NAME_DNS_TYPE), u"Сервер");
    EXPECT_EQ(GetName(&withSan.context, CERT_NAME_URL_TYPE), u"http://example.com/");
    EXPECT_EQ(GetName(&plain.context, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(C)), u"RU");
    EXPECT_EQ(GetName(&plain.context, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(O)), u"");
    DWORD rdnType = X500Reverse;
    EXPECT_EQ(GetName(&plain.context, CERT_NAME_RDN_TYPE, 0, &rdnType),
              u"E=name@example.com, CN=Сервер, C=RU");

    WCHAR small[4];
    EXPECT_EQ(CertGetNameStringW(&plain.context, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, small, 4), 4u);
    EXPECT_EQ(std::u16string(small), u"Сер");
    EXPECT_EQ(CertGetNameStringW(nullptr, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, small, 4), 1u);
    EXPECT_EQ(small[0], 0);
}

// A certificate made by the openssl command: a multi-valued RDN, Cyrillic values and an e-mail in
// the alternative names reach the name functions through a real context.
TEST(CertGetNameString, CertificateMadeByOpenssl) {
    const std::filesystem::path dir = std::filesystem::path(std::getenv("TMPDIR")) / "certnames-openssl";
    std::filesystem::create_directories(dir);
    // u8 literals: narrow literals are code page 1251, and the command wants UTF-8.
    const std::string cmd =
        "cd '" + dir.string() +
        "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout k.pem"
        " -utf8 -multivalue-rdn -days 30 -outform DER -out c.der -subj '" +
        reinterpret_cast<const char*>(u8"/C=RU/O=ООО \"Рога, и копыта\"/CN=Иван+SN=Петров-Водкин") +
        "' -addext 'subjectAltName=email:ivan@example.com' >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(dir / "c.der", std::ios::binary);
    const Bytes der{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    ASSERT_NE(cert, nullptr) << std::hex << GetLastError();
    EXPECT_EQ(GetName(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE), u"Иван");
    EXPECT_EQ(GetName(cert, CERT_NAME_EMAIL_TYPE), u"ivan@example.com");
    EXPECT_EQ(NameToStr(Bytes(cert->pCertInfo->Subject.pbData,
                              cert->pCertInfo->Subject.pbData + cert->pCertInfo->Subject.cbData),
                        X500Reverse),
              u"CN=Иван + SN=Петров-Водкин, O=\"ООО \"\"Рога, и копыта\"\"\", C=RU");
    CertFreeCertificateContext(cert);
}

}  // namespace
