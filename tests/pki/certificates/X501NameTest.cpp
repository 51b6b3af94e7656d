// X.501 names: reading, X.500 and display texts, writing with the registration-number fix-up, and
// comparison.
#include "storeFixtures.h"

#include <vsk/asn1/asn1.h>
#include <vsk/pki/Attributes.h>
#include <vsk/pki/CryptError.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/certname.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <string>
#include <utility>
#include <vector>

using Vsk::PKI::CAttribute;
using Vsk::PKI::CAttributePtr;
using Vsk::PKI::CAttributes;
using Vsk::PKI::CAttributesPtr;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CWString;

namespace {

std::string bytes(const CDataBlob& blob) {
    return std::string(reinterpret_cast<const char*>(blob.getData()), blob.getSize());
}

// DER pieces for hand-made names.
std::string tlv(unsigned char tag, const std::string& contents) {
    return std::string(1, static_cast<char>(tag)) + static_cast<char>(contents.size()) + contents;
}
std::string ava(const std::string& oidBytes, unsigned char stringTag, const std::string& value) {
    return tlv(0x30, tlv(0x06, oidBytes) + tlv(stringTag, value));
}
const std::string CN = "\x55\x04\x03", O = "\x55\x04\x0A", C = std::string("\x55\x04\x06", 3);

CAttributesPtr parse(const std::string& der) {
    CAttributesPtr name = CAttributes::createNew();
    name->fromX501Name(CDataBlob(der.data(), der.size(), true));
    return name;
}

CAttributesPtr make(std::initializer_list<std::pair<const char*, const char16_t*>> rows) {
    CAttributesPtr name = CAttributes::createNew();
    for (const auto& [oid, value] : rows) name->add(CAString(oid), CWString(value));
    return name;
}

TEST(X501Name, ValueQuotingForX500Text) {
    struct Row {
        const char16_t* value;
        const char16_t* quoted;
    };
    const Row rows[] = {
        {u"a,b", u"\"a,b\""}, {u"say \"hi\"", u"\"say \"\"hi\"\"\""},
        {u"a;b", u"\"a;b\""}, {u"x=y", u"\"x=y\""},
        {u"a+b", u"a+b"},     {u" lead <x>", u" lead <x>"},
        {u"", u""},
    };
    for (const Row& row : rows) {
        CAttribute attribute(CAString("2.5.4.3"), CWString(row.value));
        EXPECT_EQ(attribute.getValueText(true).toU16(), std::u16string(row.quoted));
        EXPECT_EQ(attribute.getValueText(false).toU16(), std::u16string(row.value));
    }
}

TEST(X501Name, PutOidTrimsAndRejectsWhatIsNoOid) {
    CAttribute attribute;
    attribute.put_OID(CAString(" \t2.5.4.3  "));
    EXPECT_EQ(attribute.get_OID().toStd(), "2.5.4.3");
    EXPECT_EQ(attribute.m_names.begin()->toU16(), u"CN");
    EXPECT_EQ(CWString(attribute.m_displayName, 1251).toU16(), u"Общее имя");

    struct Row {
        const char* oid;
        const char16_t* message;
    };
    const Row rows[] = {{"2.5.4.", u"2.5.4. не OID"},
                        {".2.5", u".2.5 не OID"},
                        {"2.5.a", u"2.5.a не OID"},
                        {"   ", u"OID пуст"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.oid);
        const auto e = VskTest::Thrown([&] { attribute.put_OID(CAString(row.oid)); });
        EXPECT_EQ(e.getMessage().toU16(), std::u16string(row.message));
    }
}

TEST(X501Name, X500AndDisplayTexts) {
    CAttributesPtr name = make({{"2.5.4.6", u"RU"},
                                {"2.5.4.10", u"Org, Inc"},
                                {"2.5.4.3", u"Name"},
                                {"2.5.4.11", u""},
                                {"1.2.643.3.131.1.1", u"7701234567"}});
    EXPECT_EQ(name->toX500String(false, false, false).toU16(),
              u"C=RU,O=\"Org, Inc\",CN=Name,OU,1.2.643.3.131.1.1=7701234567");
    EXPECT_EQ(name->toX500String(true, true, true).toU16(),
              u"1.2.643.3.131.1.1=7701234567,2.5.4.3=Name,2.5.4.10=\"Org, Inc\",2.5.4.6=RU");
    EXPECT_EQ(name->toDisplayString(u"=", u"; ", true).toU16(),
              u"Страна/регион=RU; Организация=Org, Inc; Общее имя=Name; ИНН=7701234567");
    EXPECT_EQ(name->toDisplayString(u": ", u"|", false).toU16(),
              u"Страна/регион: RU|Организация: Org, Inc|Общее имя: Name|Подразделение|ИНН: 7701234567");
    EXPECT_EQ(name->findByOID(CAString("2.5.4.3"))->m_value.toU16(), u"Name");
    EXPECT_EQ(name->findByName(CWString(u"O"))->m_value.toU16(), u"Org, Inc");
    EXPECT_FALSE(name->findByOID(CAString("2.5.4.7")));
}

// Every value of a multi-valued RDN is kept, shown, and written back in its RDN.
TEST(X501Name, MultiValuedRdnKeepsEveryValueAndItsGrouping) {
    const std::string der =
        tlv(0x30, tlv(0x31, ava(CN, 0x0C, "A") + ava(O, 0x0C, "B")) + tlv(0x31, ava(C, 0x13, "RU")));
    CAttributesPtr name = parse(der);
    ASSERT_EQ(name->getCount(), 3u);
    EXPECT_EQ(name->toX500String(false, true, false).toU16(), u"CN=A+O=B,C=RU");
    EXPECT_EQ(name->toX500String(false, true, true).toU16(), u"C=RU,CN=A+O=B");
    EXPECT_EQ(name->toDisplayString(u"=", u"; ", true).toU16(),
              u"Общее имя=A; Организация=B; Страна/регион=RU");
    EXPECT_EQ(bytes(name->toX501Name(false)), der);

    name->getAt(1)->m_value = CWString(u"B2");
    const CDataBlob written = name->toX501Name(false);
    CAttributesPtr back = CAttributes::createNew();
    back->fromX501Name(written);
    ASSERT_EQ(back->getCount(), 3u);
    EXPECT_EQ(back->toX500String(false, true, false).toU16(), u"CN=A+O=B2,C=RU");
    EXPECT_TRUE(back->getAt(1)->m_joinedToPrevious);
    EXPECT_FALSE(back->getAt(2)->m_joinedToPrevious);
}

// Writing a name in reverse turns the order of the RDNs around, never the values inside one RDN: a
// SET holds its values in DER order (ascending encodings) in both directions.
TEST(X501Name, ReversedWritingKeepsEachRdnsValuesInDerOrder) {
    const std::string L = std::string("\x55\x04\x07", 3);
    const std::string cn = ava(CN, 0x13, "Name"), o = ava(O, 0x13, "Orgs");
    ASSERT_LT(cn, o);  // same length: CN (2.5.4.3) sorts before O (2.5.4.10)
    const std::string c = tlv(0x31, ava(C, 0x13, "RU")), rdn = tlv(0x31, cn + o),
                      l = tlv(0x31, ava(L, 0x13, "City"));
    for (const bool derOrderGiven : {true, false}) {
        for (const bool reverse : {false, true}) {
            SCOPED_TRACE(std::string(derOrderGiven ? "CN+O" : "O+CN") + (reverse ? ", reversed" : ""));
            CAttributesPtr name = CAttributes::createNew();
            name->add(CAttributePtr::create(CAString("2.5.4.6"), CWString(u"RU")));
            if (derOrderGiven) {
                name->add(CAttributePtr::create(CAString("2.5.4.3"), CWString(u"Name")));
                name->add(CAttributePtr::create(CAString("2.5.4.10"), CWString(u"Orgs"), true));
            } else {
                name->add(CAttributePtr::create(CAString("2.5.4.10"), CWString(u"Orgs")));
                name->add(CAttributePtr::create(CAString("2.5.4.3"), CWString(u"Name"), true));
            }
            name->add(CAttributePtr::create(CAString("2.5.4.7"), CWString(u"City")));
            EXPECT_EQ(bytes(name->toX501Name(reverse)), tlv(0x30, reverse ? l + rdn + c : c + rdn + l));
        }
    }
}

// Names are read directly where they are plain; the texts must be the ASN.1 layer's in every case.
TEST(X501Name, ValuesAreTheAsn1LayersTexts) {
    const std::string bigArc = "\x2A\x03\x81\x80\x80\x80\x80\x80\x80\x80\x01";  // 1.2.3.2^63+1
    const std::string values[] = {
        ava(CN, 0x13, "Plain Printable"),
        ava(CN, 0x0C, "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD"),  // Иван in UTF-8
        ava(CN, 0x0C, "\xF0\x9F\x98\x80 smile"),            // beyond the BMP
        ava(CN, 0x0C, "bad \xC0\xAF utf-8"),                // overlong: not UTF-8
        ava(CN, 0x16, "mail@example.org"),
        ava(std::string("\x2A\x85\x03\x03\x81\x03\x01\x01", 8), 0x12, "7701234567"),
        ava(CN, 0x1E, std::string("\x04\x10\x04\x11", 4)),  // BMPString
        ava(CN, 0x14, "T61 \xE9t\xE9"),                     // 8-bit T61String
        ava(CN, 0x13, "Printable \xC6"),                    // 8-bit in PrintableString
        ava(bigArc, 0x0C, "big arc"),
        tlv(0x30, tlv(0x06, CN) + tlv(0x04, "\x0C\x01X")),  // OCTET STRING value
    };
    for (const std::string& value : values) {
        const std::string der =
            tlv(0x30, tlv(0x31, value + ava(O, 0x0C, "second")) + tlv(0x31, ava(C, 0x13, "RU")));
        CAttributesPtr name = parse(der);
        Vsk::ASN1::CSequence top;
        top.decode(CDataBlob(der.data(), der.size(), true), false, true);
        std::vector<std::pair<std::string, std::u16string>> expected;
        auto* seq = Vsk::ASN1::castToSequence(&top);
        for (size_t i = 0; i < seq->getCount(); ++i) {
            auto* rdn = Vsk::ASN1::castToSet(seq->getItem(i));
            for (size_t k = 0; k < rdn->getCount(); ++k) {
                auto* pair = Vsk::ASN1::castToSequence(rdn->getItem(k));
                expected.emplace_back(Vsk::ASN1::castToObjectId(pair->getItem(0))->getValue().toStd(),
                                      pair->getItem(1)->toString(false).toU16());
            }
        }
        ASSERT_EQ(name->getCount(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(name->getAt(i)->get_OID().toStd(), expected[i].first);
            EXPECT_EQ(name->getAt(i)->m_value.toU16(), expected[i].second) << i;
        }
        EXPECT_TRUE(name->getAt(1)->m_joinedToPrevious);
        EXPECT_EQ(bytes(name->toX501Name(false)), der);
    }
}

TEST(X501Name, UnchangedNameIsWrittenByteForByte) {
    // T61String and IA5String values: the conversion would choose other string types.
    const std::string der = tlv(0x30, tlv(0x31, ava(C, 0x13, "RU")) + tlv(0x31, ava(CN, 0x14, "Teletex")) +
                                          tlv(0x31, ava(O, 0x16, "ia5 org")));
    CAttributesPtr name = parse(der);
    EXPECT_EQ(bytes(name->toX501Name(false)), der);
    EXPECT_EQ(bytes(name->toX501Name(true)), der);

    const StoreFixtures::Set& fx = StoreFixtures::get();
    ASSERT_TRUE(fx.ok);
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, fx.gost256User.getData(), fx.gost256User.getSize());
    ASSERT_NE(cert, nullptr);
    const CERT_NAME_BLOB& subject = cert->pCertInfo->Subject;
    const std::string subjectDer(reinterpret_cast<const char*>(subject.pbData), subject.cbData);
    CAttributesPtr fromCert = parse(subjectDer);
    EXPECT_EQ(fromCert->toX500String(false, true, true).toU16(),
              u"CN=Ivan Ivanov,G=Ivan,SN=Ivanov,O=Fixture GOST,C=RU");
    EXPECT_EQ(bytes(fromCert->toX501Name(false)), subjectDer);
    CertFreeCertificateContext(cert);
}

TEST(X501Name, ChangedNameIsEncodedOnceAndRegistrationNumbersBecomeNumericString) {
    CAttributesPtr name = make({{"2.5.4.6", u"RU"},
                                {"2.5.4.3", u" padded "},
                                {"1.2.643.100.1", u"1027700132195"},
                                {"2.5.4.10", u"#not hex"}});
    const CDataBlob first = name->toX501Name(false);
    // OGRN: OID 1.2.643.100.1 followed by a NumericString.
    const std::string ogrn =
        "\x06\x05\x2A\x85\x03\x64\x01\x12\x0D"
        "1027700132195";
    EXPECT_NE(bytes(first).find(ogrn), std::string::npos);
    EXPECT_EQ(name->toX501Name(false).getImpl(), first.getImpl());

    // The values survive the conversion exactly (blanks and a leading "#" included).
    CAttributesPtr back = parse(bytes(first));
    ASSERT_EQ(back->getCount(), 4u);
    EXPECT_EQ(back->getAt(1)->m_value.toU16(), u" padded ");
    EXPECT_EQ(back->getAt(3)->m_value.toU16(), u"#not hex");
    EXPECT_TRUE(back->equal(*name, true));
    EXPECT_TRUE(*back == *name);

    // Reversed writing of a new name puts the last RDN first.
    CAttributesPtr fresh = make({{"2.5.4.6", u"RU"}, {"2.5.4.10", u"Org"}, {"2.5.4.3", u"Name"}});
    CAttributesPtr reversed = parse(bytes(fresh->toX501Name(true)));
    EXPECT_EQ(reversed->toX500String(false, true, false).toU16(), u"CN=Name,O=Org,C=RU");
    // An unchanged name keeps its encoding whatever order is asked.
    EXPECT_EQ(fresh->toX501Name(false).getImpl(), fresh->toX501Name(true).getImpl());
}

TEST(X501Name, EqualityAttributeWiseAndByEncoding) {
    CAttributesPtr a = make({{"2.5.4.6", u"RU"}, {"2.5.4.3", u"Name"}});
    CAttributesPtr b = make({{"2.5.4.6", u"RU"}, {"2.5.4.3", u"Name"}});
    CAttributesPtr c = make({{"2.5.4.6", u"RU"}, {"2.5.4.3", u"name"}});
    EXPECT_TRUE(a->equal(*b, true));
    EXPECT_TRUE(*a == *b);
    EXPECT_FALSE(a->equal(*c, true));
    EXPECT_FALSE(*a == *c);
    CAttributesPtr empty1 = CAttributes::createNew(), empty2 = CAttributes::createNew();
    EXPECT_TRUE(empty1->equal(*empty2, true));
}

TEST(X501Name, MalformedNamesRaiseTheParseError) {
    const std::string rows[] = {
        tlv(0x31, ""),                                                        // not a SEQUENCE
        tlv(0x30, tlv(0x30, ava(CN, 0x0C, "A"))),                             // RDN not a SET
        tlv(0x30, tlv(0x31, "")),                                             // empty RDN
        tlv(0x30, tlv(0x31, tlv(0x30, tlv(0x06, CN)))),                       // one-element AVA
        tlv(0x30, tlv(0x31, tlv(0x30, tlv(0x02, "\x01") + tlv(0x0C, "A")))),  // type not an OID
        tlv(0x30, tlv(0x31, ava(CN, 0x0C, "A"))).substr(0, 7),                // truncated
    };
    for (const std::string& der : rows) {
        CAttributesPtr name = CAttributes::createNew();
        name->add(CAString("2.5.4.3"), CWString(u"old"));
        try {
            name->fromX501Name(CDataBlob(der.data(), der.size(), true));
            ADD_FAILURE() << "accepted";
        } catch (const Vsk::PKI::CCryptError& e) {
            EXPECT_EQ(e.getText().toU16().rfind(u"Ошибка разбора \"X.501 type Name\"", 0), 0u);
        }
        EXPECT_EQ(name->getCount(), 0u);
    }
}

}  // namespace
