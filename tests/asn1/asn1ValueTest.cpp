// Values of the primitive types, their texts, labels, search, tree views and VARIANTs.
#include "asn1Impl.h"
#include "asn1TestUtil.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Vsk::ASN1;
using namespace asn1test;

namespace {

TEST(Asn1Values, IntegersFromInts) {
    const std::pair<int, const char*> rows[] = {
        {0, "02 01 00"},
        {5, "02 01 05"},
        {127, "02 01 7F"},
        {128, "02 02 00 80"},
        {255, "02 02 00 FF"},
        {-1, "02 01 FF"},
        {-128, "02 01 80"},
        {-129, "02 02 FF 7F"},
        {INT32_MIN, "02 04 80 00 00 00"},
        {INT32_MAX, "02 04 7F FF FF FF"},
    };
    for (const auto& [value, expected] : rows) {
        EXPECT_EQ(hexOf(CInteger(value).encode()), expected) << value;
        CInteger back{CDataBlob()};
        back.decode(hex(expected));
        VARIANT v;
        back.toVariant(&v);
        EXPECT_EQ(v.vt, VT_I4);
        EXPECT_EQ(v.lVal, value);
    }
    EXPECT_EQ(hexOf(CInteger(CDataBlob()).encode()), "02 00");
}

TEST(Asn1Values, IntegerValuesAndVariants) {
    struct Row {
        const char* input;
        const char* lsbFirst;
        VARTYPE vt;
        uint64_t bits;
    };
    const Row rows[] = {
        {"02 02 00 80", "80 00", VT_I4, 128},
        {"02 05 00 80 00 00 00", "00 00 00 80 00", VT_UI4, 2147483648u},
        {"02 05 01 00 00 00 00", "00 00 00 00 01", VT_I8, 4294967296ull},
        {"02 08 80 00 00 00 00 00 00 00", "00 00 00 00 00 00 00 80", VT_I8, 0x8000000000000000ull},
        {"02 09 00 FF FF FF FF FF FF FF FF", "FF FF FF FF FF FF FF FF 00", VT_UI8, ~0ull},
        {"02 0A 01 00 00 00 00 00 00 00 00 00", "00 00 00 00 00 00 00 00 00 01", VT_ARRAY | VT_UI1, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        CInteger node{CDataBlob()};
        node.decode(hex(row.input));
        EXPECT_EQ(hexOf(node.getValue()), row.lsbFirst);
        EXPECT_EQ(hexOf(node.getContents()), hexOf(hex(row.input).getBlock(2)));
        VARIANT v;
        node.toVariant(&v);
        EXPECT_EQ(v.vt, row.vt);
        if (row.vt != (VT_ARRAY | VT_UI1)) {
            EXPECT_EQ(v.ullVal & (row.vt == VT_I4 || row.vt == VT_UI4 ? 0xFFFFFFFFull : ~0ull), row.bits);
        }
        VariantClear(&v);
    }
}

TEST(Asn1Values, ObjectIdentifiers) {
    struct Row {
        const char* text;
        const char* encoding;
    };
    const Row rows[] = {
        {"1.2.840.113549", "06 06 2A 86 48 86 F7 0D"},
        {"2.999.3", "06 03 88 37 03"},
        {"0.0", "06 01 00"},
        {"1.39", "06 01 4F"},
        {"2.5.29.14", "06 03 55 1D 0E"},
        {"1.2.643.7.1.1.1.1", "06 08 2A 85 03 07 01 01 01 01"},
        {"2.25.329800735698586629295641978511506172918",
         "06 14 69 83 F0 9D A7 EB CF DE E0 C7 A1 A7 B2 C0 94 8C C8 F9 D7 76"},
        {"1.3.6.1.4.1.18446744073709551615", "06 0F 2B 06 01 04 01 81 FF FF FF FF FF FF FF FF 7F"},
        {"", "06 00"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        CObjectId oid{CAString(row.text)};
        EXPECT_EQ(hexOf(oid.encode()), row.encoding);
        CObjectId back;
        back.decode(hex(row.encoding));
        // Empty contents read as the single arc 0.
        EXPECT_EQ(back.getValue().toStd(), *row.text ? row.text : "0");
        EXPECT_EQ(hexOf(back.encode()), row.encoding);
    }
    EXPECT_EQ(CObjectId(CAString("1..2")).getValue().toStd(), "1.0.2");
    EXPECT_EQ(CObjectId(CAString("1.2.")).getValue().toStd(), "1.2.0");
    EXPECT_EQ(hexOf(CObjectId(CAString("1")).encode()), "06 00");
    EXPECT_EQ(hexOf(CObjectId(CAString("1.2.3")).getValueBlob()), "01 00 00 00 02 00 00 00 03 00 00 00");
    // Arcs beyond 32 bits have no form among 32-bit words.
    EXPECT_EQ(Utf8(errorOf([] { CObjectId(CAString("2.25.4294967296")).getValueBlob(); })),
              Utf8(u"Неверный формат ASN.1 типа ObjectId."));

    for (const char* bad : {"1.2 .3", "3.1", "1.40", "a", "1.2.-3"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(Utf8(errorOf([&] { CObjectId oid{CAString(bad)}; })),
                  std::string("Vsk::ASN1::CObjectIdImpl::setValue OID = \"") + bad + "\"");
    }
    std::string longArc = "1.2." + std::string(300, '7');
    VskTest::Thrown([&] { CObjectId oid{CAString(longArc)}; });
}

TEST(Asn1Values, OidNamesComeFromTheRegisteredTable) {
    CObjectId oid{CAString("1.2.840.113549.1.1.1")};
    EXPECT_EQ(Utf8(u16(oid.getName())), "1.2.840.113549.1.1.1");
    EXPECT_EQ(Utf8(u16(oid.toString(true))), "ObjectId 1.2.840.113549.1.1.1");
    // The error carries the thread's last error; an earlier test may have left one.
    SetLastError(0);
    EXPECT_EQ(Utf8(errorOf([&] { oid.getAlgId(); })),
              Utf8(u"В системе отсутствует OID = 1.2.840.113549.1.1.1. Не установлен соответствующий "
                   u"криптопровайдер?"));
    setOidNameResolver([](const CAString& dotted) {
        return dotted == "1.2.840.113549.1.1.1" ? Vsk::Utils::CWString(u"RSA") : Vsk::Utils::CWString();
    });
    setOidAlgIdResolver([](const CAString&) -> ALG_ID { return 0xA400; });
    EXPECT_EQ(Utf8(u16(oid.getName())), "RSA");
    EXPECT_EQ(Utf8(u16(oid.toString(true))), "ObjectId 1.2.840.113549.1.1.1 (RSA)");
    EXPECT_EQ(oid.getAlgId(), 0xA400u);
    EXPECT_EQ(CObjectId().getAlgId(), 0u);
    setOidNameResolver(nullptr);
    setOidAlgIdResolver(nullptr);
}

TEST(Asn1Values, BitStrings) {
    EXPECT_EQ(hexOf(CBitString(hex("A5 F0"), 12).encode()), "03 03 04 A5 F0");
    EXPECT_EQ(hexOf(CBitString(hex("A5 F0"), 16).encode()), "03 03 00 A5 F0");
    EXPECT_EQ(hexOf(CBitString().encode()), "03 01 00");
    struct Row {
        const char* input;
        uint64_t bits;
        const char* value;
        const char16_t* text;
    };
    const Row rows[] = {
        {"03 02 07 80", 1, "80", u"BitString (1 bits) 2-base 10000000"},
        {"03 02 00 05", 8, "05", u"BitString (8 bits) 2-base 00000101"},
        {"03 02 07 FF", 1, "80", u"BitString (1 bits) 2-base 10000000"},
        {"03 03 04 A5 FF", 12, "A5 F0", u"BitString (12 bits) 16-base A5 F0"},
        {"03 01 00", 0, "", u"BitString (0 bits) 16-base "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        CBitString node;
        node.decode(hex(row.input));
        EXPECT_EQ(node.getBitCount(), row.bits);
        EXPECT_EQ(hexOf(node.getValue()), row.value);
        EXPECT_EQ(Utf8(u16(node.toString(true))), Utf8(row.text));
    }
}

TEST(Asn1Values, Strings) {
    EXPECT_EQ(hexOf(CBMPString(Vsk::Utils::CWString(u"AB")).encode()), "1E 04 00 41 00 42");
    EXPECT_EQ(hexOf(CUTF8String(Vsk::Utils::CWString(u"Ж")).encode()), "0C 02 D0 96");
    EXPECT_EQ(hexOf(CIA5String(CAString("a@b")).encode()), "16 03 61 40 62");
    struct Row {
        const char* input;
        const char16_t* text;
    };
    const Row rows[] = {
        {"0C 06 D0 9F D1 80 D0 B8", u"UTF8String При"},
        {"1E 04 04 1F 04 40", u"BMPString Пр"},
        {"13 02 41 42", u"PrintableString AB"},
        {"12 03 31 32 33", u"NumericString 123"},
        {"16 01 7A", u"IA5String z"},
        {"2C 80 0C 01 D0 0C 01 96 00 00", u"UTF8String Ж"},
        {"3E 08 1E 02 04 1F 1E 02 04 40", u"BMPString Пр"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        CNode node;
        node.decode(hex(row.input));
        EXPECT_EQ(Utf8(u16(node.toString(true))), Utf8(row.text));
    }
    // A constructed string is written back in the primitive form.
    CNode segmented;
    segmented.decode(hex("30 0A 36 80 16 01 61 16 01 62 00 00"));
    CConstructed(segmented.getImpl()).addItem(CNull());
    EXPECT_EQ(hexOf(segmented.encode()), "30 06 16 02 61 62 05 00");

    CNode printable;
    printable.decode(hex("13 02 41 42"));
    printable.setStringType(22);
    EXPECT_EQ(hexOf(printable.encode()), "16 02 41 42");
    EXPECT_TRUE(printable.isModified());
}

TEST(Asn1Values, Times) {
    struct Row {
        const char* input;
        WORD year, month, day, hour, minute, second, ms;
    };
    const Row rows[] = {
        {"17 0D 39 39 31 32 33 31 32 33 35 39 35 39 5A", 1999, 12, 31, 23, 59, 59, 0},
        {"17 0D 34 39 31 32 33 31 32 33 35 39 35 39 5A", 2049, 12, 31, 23, 59, 59, 0},
        {"17 0D 35 30 30 31 30 31 30 30 30 30 30 30 5A", 1950, 1, 1, 0, 0, 0, 0},
        {"18 0F 32 30 32 34 30 32 32 39 31 32 33 34 35 36 5A", 2024, 2, 29, 12, 34, 56, 0},
        {"18 11 32 30 32 34 30 32 32 39 31 32 33 34 35 36 2E 35 5A", 2024, 2, 29, 12, 34, 56, 500},
        {"18 16 32 30 32 34 30 32 32 39 31 32 33 34 35 36 2E 31 32 33 34 35 36 5A", 2024, 2, 29, 12, 34, 56,
         123},
        {"18 0B 32 30 32 34 30 32 32 39 31 32 5A", 2024, 2, 29, 12, 0, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        CNode node;
        node.decode(hex(row.input));
        SYSTEMTIME st = node.getTag() == 23 ? CUTCTime(node.getImpl()).getSystemTime()
                                            : CGeneralizedTime(node.getImpl()).getSystemTime();
        EXPECT_EQ(st.wYear, row.year);
        EXPECT_EQ(st.wMonth, row.month);
        EXPECT_EQ(st.wDay, row.day);
        EXPECT_EQ(st.wHour, row.hour);
        EXPECT_EQ(st.wMinute, row.minute);
        EXPECT_EQ(st.wSecond, row.second);
        EXPECT_EQ(st.wMilliseconds, row.ms);
        EXPECT_EQ(hexOf(node.encode()), hexOf(hex(row.input)));
        VARIANT v;
        node.toVariant(&v);
        EXPECT_EQ(v.vt, VT_DATE);
        EXPECT_NE(v.date, 0.0);
    }
    // Offsets are not read; an impossible GeneralizedTime reads with zero times.
    CNode offset;
    offset.decode(hex("17 11 39 39 31 32 33 31 32 33 35 39 35 39 2B 30 33 30 30"));
    FILETIME ft = CUTCTime(offset.getImpl()).getFileTime();
    EXPECT_EQ(FileTimeToU64(ft), 0u);
    CNode impossible;
    EXPECT_NO_THROW(impossible.decode(hex("18 0F 32 30 32 34 31 33 30 31 30 30 30 30 30 30 5A")));
    EXPECT_EQ(FileTimeToU64(CGeneralizedTime(impossible.getImpl()).getFileTime()), 0u);

    EXPECT_EQ(FileTimeToU64(parseUTCTime(CAString(""))), 0u);
    EXPECT_EQ(FileTimeToU64(parseUTCTime(CAString("700101000000Z"))), 116444736000000000ull);
    EXPECT_EQ(FileTimeToU64(parseUTCTime(CAString("19700101000000Z"))), 116444736000000000ull);
    EXPECT_EQ(Utf8(errorOf([] { parseUTCTime(CAString("7001010000Z")); })),
              "Invalid UTC time format: 7001010000Z");
}

TEST(Asn1Texts, DumpsLabelsAndTypeNames) {
    CNode seq;
    seq.decode(hex("30 06 02 01 05 01 01 FF"));
    EXPECT_EQ(Utf8(u16(seq.toString(true))), "Sequence (2 items)\r\n\tInteger 0x05\r\n\tBoolean true");
    EXPECT_EQ(Utf8(u16(seq.toString(false))), "(2 items)\r\n\t0x05\r\n\ttrue");
    CNode twoLevels;
    twoLevels.decode(hex("30 05 30 03 02 01 05"));
    EXPECT_EQ(Utf8(u16(twoLevels.toString(true))),
              "Sequence (1 items)\r\n\tSequence (1 items)\r\n\t\tInteger 0x05");
    CNode octets;
    octets.decode(hex("04 03 01 02 0A"));
    EXPECT_EQ(Utf8(u16(octets.toString(true))), "OctetString (3 bytes) 16-base 01 02 0A");

    CNode integer;
    integer.decode(hex("02 01 05"));
    EXPECT_EQ(Utf8(u16(integer.getLabel())), "1 bytes 0x05");
    CNode indefinite;
    indefinite.decode(hex("30 80 02 01 05 01 01 FF 00 00"));
    EXPECT_EQ(Utf8(u16(indefinite.getLabel())), Utf8(u"(2 items) \u221E"));
    EXPECT_EQ(Utf8(u16(octets.getLabel())), "(3 bytes) 16-base 01 02 0A");

    const std::pair<const char*, const char*> names[] = {
        {"A0 00", "Context-specific type 0x0"},
        {"0D 00", "Universal type 0xd"},
        {"5E 00", "Application type 0x1e"},
        {"DF 00", nullptr},
        {"C2 00", "Private type 0x2"},
        {"0A 01 00", "Enumerated"},
        {"1A 00", "VisibleString"},
        {"14 00", "T61String"},
    };
    for (const auto& [input, name] : names) {
        if (!name) continue;
        CNode node;
        node.decode(hex(input));
        EXPECT_EQ(node.getTypeName().toStd(), name) << input;
    }
}

TEST(Asn1Texts, Find) {
    CNode seq;
    seq.decode(hex("30 0B 02 01 05 01 01 FF 30 03 02 01 07"));
    EXPECT_TRUE(seq.find(Vsk::Utils::CWString(u"Integer"), 0).isEmpty());
    CNode five = seq.find(Vsk::Utils::CWString(u"0x05"), 0);
    ASSERT_FALSE(five.isEmpty());
    EXPECT_EQ(hexOf(five.encode()), "02 01 05");
    // Backwards the last match comes first, forwards the first.
    EXPECT_EQ(hexOf(seq.find(Vsk::Utils::CWString(u"bytes 0x0"), 0).encode()), "02 01 07");
    EXPECT_EQ(hexOf(seq.find(Vsk::Utils::CWString(u"bytes 0x0"), FindForward).encode()), "02 01 05");
    EXPECT_EQ(hexOf(seq.find(Vsk::Utils::CWString(u"TRUE"), 0).encode()), "01 01 FF");
    EXPECT_TRUE(seq.find(Vsk::Utils::CWString(u"TRUE"), FindCaseSensitive).isEmpty());
    EXPECT_TRUE(seq.find(Vsk::Utils::CWString(u"tru"), FindWholeLabel).isEmpty());
    EXPECT_EQ(hexOf(seq.find(Vsk::Utils::CWString(u"(1 items)"), FindWholeLabel).encode()), "30 03 02 01 07");
}

struct FakeSink : ITreeSink {
    struct Item {
        uint64_t parent, after;
        std::string label;
        CNode node;
    };
    std::vector<Item> items;
    std::vector<std::string> errors;
    uint64_t insertItem(uint64_t parent, uint64_t after, const CNode& node) override {
        items.push_back({parent, after, Utf8(u16(node.getLabel())), node});
        return items.size();
    }
    void showError(const Vsk::Utils::CWString& text, const Vsk::Utils::CWString& caption) override {
        errors.push_back(Utf8(u16(caption)) + ": " + Utf8(u16(text)));
    }
};

TEST(Asn1Texts, TreeView) {
    CNode top;
    top.decode(hex("30 0E 02 01 05 04 04 30 02 05 00 30 03 02 05 01"), false, true);
    FakeSink sink;
    uint64_t item = top.insertIntoTree(sink);
    EXPECT_EQ(item, 1u);
    ASSERT_EQ(sink.items.size(), 6u);
    const std::tuple<uint64_t, uint64_t, std::string> expected[] = {
        {TreeRoot, TreeLast, "(3 items)"}, {1, TreeFirst, "1 bytes 0x05"}, {1, 2, "(4 bytes)"},
        {3, TreeFirst, "(1 items)"},       {4, TreeFirst, "Null"},         {1, 3, "(0 items)"},
    };
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(sink.items[i].parent, std::get<0>(expected[i]));
        EXPECT_EQ(sink.items[i].after, std::get<1>(expected[i]));
        if (i != 4) {
            EXPECT_EQ(sink.items[i].label, std::get<2>(expected[i]));
        }
    }
    // The malformed third child is reported and shown all the same.
    ASSERT_EQ(sink.errors.size(), 1u);
    EXPECT_EQ(sink.errors[0], Utf8(u"Invalid ASN.1 format: Неверный формат ASN.1 типа Integer."));
    EXPECT_EQ(top.getImpl()->m_treeItem, 1u);
}

TEST(Asn1Values, Variants) {
    CSequence seq;
    seq.decode(hex("30 0F 01 01 00 05 00 06 01 2A 13 01 41 04 02 01 02"));
    const VARTYPE expected[] = {VT_BOOL, VT_NULL, VT_BSTR, VT_BSTR, VT_ARRAY | VT_UI1};
    for (size_t i = 0; i < seq.getCount(); ++i) {
        VARIANT v;
        seq.getItem(i)->toVariant(&v);
        EXPECT_EQ(v.vt, expected[i]) << i;
        if (v.vt == VT_BSTR && i == 2) {
            EXPECT_EQ(std::u16string(v.bstrVal), u"1.2");
        }
        VariantClear(&v);
    }
    EXPECT_EQ(Utf8(errorOf([&] { seq.getValueBlob(); })),
              Utf8(u"Не реализовано, не было необходимости. asn1:2532."));

    // The constructed node gives one VARIANT per child.
    VARIANT v;
    seq.toVariant(&v);
    ASSERT_EQ(v.vt, VT_ARRAY | VT_VARIANT);
    EXPECT_EQ(v.parray->rgsabound[0].cElements, std::size(expected));
    EXPECT_EQ(v.parray->rgsabound[0].lLbound, 0);
    VARIANT* items = nullptr;
    ASSERT_EQ(SafeArrayAccessData(v.parray, reinterpret_cast<void**>(&items)), S_OK);
    for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(items[i].vt, expected[i]) << i;
    SafeArrayUnaccessData(v.parray);
    VariantClear(&v);

    // A constructed child becomes an array inside the array.
    CSequence outer;
    outer.decode(hex("30 05 30 03 02 01 05"));
    outer.toVariant(&v);
    ASSERT_EQ(v.vt, VT_ARRAY | VT_VARIANT);
    ASSERT_EQ(v.parray->rgsabound[0].cElements, 1u);
    const VARIANT& inner = static_cast<VARIANT*>(v.parray->pvData)[0];
    ASSERT_EQ(inner.vt, VT_ARRAY | VT_VARIANT);
    ASSERT_EQ(inner.parray->rgsabound[0].cElements, 1u);
    const VARIANT& five = static_cast<VARIANT*>(inner.parray->pvData)[0];
    EXPECT_EQ(five.vt, VT_I4);
    EXPECT_EQ(five.lVal, 5);
    EXPECT_EQ(VariantClear(&v), S_OK);
}

}  // namespace
