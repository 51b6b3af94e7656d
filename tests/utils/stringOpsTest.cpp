#include <vsk/utils.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <iterator>
#include <set>
#include <string>
#include <vector>

using namespace Vsk::Utils;

namespace {

int sign(int v) {
    return (v > 0) - (v < 0);
}

std::vector<std::u16string> texts(const CArray<CWString>& items) {
    std::vector<std::u16string> out;
    for (const CWString& item : items) out.push_back(item.toU16());
    return out;
}

CArray<CWString> arrayOf(const std::vector<const char16_t*>& items) {
    CArray<CWString> out;
    for (const char16_t* item : items) out.add(CWString(item));
    return out;
}

}  // namespace

TEST(StringOps, CompareOrdersShorterFirst) {
    struct Row {
        const char16_t* a;
        const char16_t* b;
        bool caseSensitive;
        int expected;  // sign only, unless exact is set
        bool exact;
    };
    const Row rows[] = {
        {u"b", u"aa", true, -1, false},     {u"ab", u"ac", true, -1, false},
        {u"abc", u"abcd", true, -1, true},  {u"abcd", u"a", true, 3, true},
        {u"ABC", u"abc", false, 0, true},   {u"ABC", u"abc", true, -1, false},
        {u"ЁЖИК", u"ёжик", false, 0, true}, {u"ЁЖИК", u"ёжик", true, -1, false},
        {u"", u"", true, 0, true},          {u"", u"a", true, -1, true},
        {u"я", u"а", false, 1, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(CAString(CWString(row.a), CP_UTF8).toStd() + " vs " +
                     CAString(CWString(row.b), CP_UTF8).toStd());
        const int wide = CWString(row.a).compare(CWString(row.b), row.caseSensitive);
        const int narrow = CAString(CWString(row.a), CP_PROGRAM)
                               .compare(CAString(CWString(row.b), CP_PROGRAM), row.caseSensitive);
        if (row.exact) {
            EXPECT_EQ(wide, row.expected);
            EXPECT_EQ(narrow, row.expected);
        } else {
            EXPECT_EQ(sign(wide), row.expected);
            EXPECT_EQ(sign(narrow), row.expected);
        }
    }

    // The order of every set keyed by strings.
    std::set<CWString> ordered{CWString(u"aa"), CWString(u"b"), CWString(u"ab"), CWString(u"c")};
    std::vector<std::u16string> seen;
    for (const CWString& s : ordered) seen.push_back(s.toU16());
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"b", u"c", u"aa", u"ab"}));

    EXPECT_TRUE(CAString("Жук") == "Жук");
    EXPECT_FALSE(CAString("Жук") == "жук");
    EXPECT_TRUE(CAString() == "");
    EXPECT_TRUE(CWString(u"x") != CWString(u"y"));
}

TEST(StringOps, StartsWith) {
    struct Row {
        const char16_t* text;
        const char16_t* prefix;
        bool caseSensitive;
        bool expected;
    };
    const Row rows[] = {
        {u"abc", u"", true, true},      {u"", u"", true, true},       {u"abc", u"ab", true, true},
        {u"abc", u"abcd", true, false}, {u"abc", u"AB", true, false}, {u"abc", u"AB", false, true},
        {u"Ёлка", u"ёл", false, true},  {u"abc", u"bc", true, false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(CWString(row.text).startsWith(CWString(row.prefix), row.caseSensitive), row.expected);
}

TEST(StringOps, Find) {
    struct Row {
        const char16_t* text;
        const char16_t* pattern;
        bool caseSensitive;
        int64_t expected;
    };
    const Row rows[] = {
        {u"abc", u"", true, -1},    {u"", u"a", true, -1},         {u"abc", u"bc", true, 1},
        {u"abc", u"BC", true, -1},  {u"abc", u"BC", false, 1},     {u"abc", u"abcd", true, -1},
        {u"aXbXc", u"Xc", true, 3}, {u"Привет", u"ВЕТ", false, 3}, {u"abab", u"ab", true, 0},
    };
    for (const Row& row : rows)
        EXPECT_EQ(CWString(row.text).find(CWString(row.pattern), row.caseSensitive), row.expected);

    CWString text(u"needle");
    CWString same = text;
    EXPECT_EQ(text.find(same), 0);
    // The case-insensitive search works on copies: the operands keep their case.
    CWString upper(u"ABC");
    EXPECT_EQ(CWString(u"xabc").find(upper, false), 1);
    EXPECT_EQ(upper.toU16(), u"ABC");
}

TEST(StringOps, TrimRight) {
    struct Row {
        std::u16string text;
        std::u16string expected;
    };
    const Row rows[] = {
        {u"ab \t\r\n", u"ab"}, {u"   ", u""}, {u"a", u"a"}, {std::u16string(u"ab\0 ", 4), u"ab"},
        {u" a b ", u" a b"},
    };
    for (const Row& row : rows) {
        CWString s(row.text.data(), row.text.size());
        s.trimRight();
        EXPECT_EQ(s.toU16(), row.expected);
        EXPECT_EQ(s.c_str()[s.getLength()], 0);
    }
    CWString original(u"x  ");
    CWString sharer = original;
    sharer.trimRight();
    EXPECT_EQ(sharer.toU16(), u"x");
    EXPECT_EQ(original.toU16(), u"x  ");
    CWString empty;
    EXPECT_FALSE(empty.trimRight().getImpl());
}

TEST(StringOps, ToUpperCopiesSharedText) {
    CWString original(u"ёжик abc");
    CWString sharer = original;
    sharer.toUpper();
    EXPECT_EQ(sharer.toU16(), u"ЁЖИК ABC");
    EXPECT_EQ(original.toU16(), u"ёжик abc");

    // A sole holder is changed in place.
    const void* before = original.getImpl().get();
    sharer = CWString();
    original.toUpper();
    EXPECT_EQ(original.getImpl().get(), before);
    EXPECT_EQ(original.toU16(), u"ЁЖИК ABC");
}

TEST(StringOps, HasCyrillic) {
    struct Row {
        const char16_t* text;
        bool expected;
    };
    const Row rows[] = {
        {u"Ёж", true}, {u"Ё", false}, {u"ё", false}, {u"abc", false},
        {u"", false},  {u"А", true},  {u"я", true},  {u"\u040F\u0450", false},
    };
    for (const Row& row : rows) EXPECT_EQ(CWString(row.text).hasCyrillic(), row.expected);
}

TEST(StringOps, ConcatenationSharesEmptySides) {
    CWString x(u"x");
    CWString empty;
    EXPECT_EQ((empty + x).getImpl().get(), x.getImpl().get());
    EXPECT_EQ((x + empty).getImpl().get(), x.getImpl().get());
    EXPECT_EQ((x + u"").getImpl().get(), x.getImpl().get());
    EXPECT_EQ((static_cast<const WCHAR*>(nullptr) + x).getImpl().get(), x.getImpl().get());

    CWString a(u"a"), b(u"b");
    CWString ab = a + b;
    EXPECT_EQ(ab.toU16(), u"ab");
    EXPECT_NE(ab.getImpl().get(), a.getImpl().get());
    EXPECT_NE(ab.getImpl().get(), b.getImpl().get());
    EXPECT_EQ(a.toU16(), u"a");
    EXPECT_EQ(b.toU16(), u"b");

    CAString na("a");
    CAString nothing;
    EXPECT_EQ((nothing + na).getImpl().get(), na.getImpl().get());
    EXPECT_EQ((na + "").getImpl().get(), na.getImpl().get());
}

TEST(StringOps, ConcatenationForms) {
    const CWString w(u"ж");
    const CAString n("Ж");
    const std::u16string results[] = {
        (w + CWString(u"1")).toU16(),
        (w + u"1").toU16(),
        (u"1" + w).toU16(),
        (w + u'1').toU16(),
        (u'1' + w).toU16(),
        (w + "Я").toU16(),
        ("Я" + w).toU16(),
        (w + n).toU16(),
        (n + w).toU16(),
        (CWString() + u'\0').toU16(),
        (u"" + CWString()).toU16(),
    };
    const std::u16string expected[] = {
        u"ж1", u"ж1", u"1ж", u"ж1", u"1ж", u"жЯ", u"Яж", u"жЖ", u"Жж", std::u16string(1, u'\0'), u"",
    };
    ASSERT_EQ(std::size(results), std::size(expected));
    for (size_t i = 0; i < std::size(results); ++i) EXPECT_EQ(results[i], expected[i]) << i;

    EXPECT_EQ((n + CAString("1")).toStd(), "Ж1");
    EXPECT_EQ((n + "1").toStd(), "Ж1");
    EXPECT_EQ(("1" + n).toStd(), "1Ж");
    EXPECT_EQ((n + '1').toStd(), "Ж1");
    EXPECT_EQ(('1' + n).toStd(), "1Ж");
    EXPECT_EQ((CAString() + '\0').getLength(), 1u);
    EXPECT_EQ((CAString() + "").getLength(), 0u);
}

TEST(StringOps, NumberTexts) {
    struct Row {
        std::u16string actual;
        std::u16string expected;
    };
    const Row rows[] = {
        {ToWString(255, 16).toU16(), u"ff"},
        {ToWString(uint64_t{255}, 16).toU16(), u"ff"},
        {ToWString(0).toU16(), u"0"},
        {ToWString(-5).toU16(), u"-5"},
        {ToWString(-1, 16).toU16(), u"ffffffffffffffff"},
        {ToWString(uint32_t{4000000000u}).toU16(), u"4000000000"},
        {ToWString(UINT64_MAX).toU16(), u"18446744073709551615"},
        {ToWString(INT64_MIN).toU16(), u"-9223372036854775808"},
        {ToWString(uint64_t{5}, 2).toU16(), u"101"},
        {ToWString(uint64_t{35}, 36).toU16(), u"z"},
        {ToWString(uint64_t{5}, 1).toU16(), u""},
        {ToWString(uint64_t{5}, 37).toU16(), u""},
        {ToWString(reinterpret_cast<const void*>(0xABC)).toU16(), u"abc"},
        {ToWString(static_cast<const void*>(nullptr)).toU16(), u"0"},
        {ToWString(true).toU16(), u"true"},
        {ToWString(false).toU16(), u"false"},
        {ToWString("Ж").toU16(), u"Ж"},
        {ToWString(CAString("№")).toU16(), u"№"},
        {ToWString(u"x").toU16(), u"x"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.actual, row.expected);

    EXPECT_EQ(ToAString(-5, 10).toStd(), "-5");
    EXPECT_EQ(ToAString(-1, 16).toStd(), "ffffffffffffffff");
    EXPECT_EQ(ToAString(INT32_MIN).toStd(), "-2147483648");
    EXPECT_EQ(ToAString(uint32_t{0xFFFFFFFFu}, 16).toStd(), "ffffffff");
    EXPECT_EQ(UInt64ToAString(UINT64_MAX, 16).toStd(), "ffffffffffffffff");
    EXPECT_EQ(UInt64ToAString(7, 0).getLength(), 0u);

    CWString shared(u"s");
    EXPECT_EQ(ToWString(shared).getImpl().get(), shared.getImpl().get());
}

TEST(StringOps, TimeTexts) {
    const SYSTEMTIME time{2024, 3, 2, 5, 7, 8, 9, 45};
    EXPECT_EQ(SystemTimeToText(time).toU16(), u"05.03.2024 07:08:09");
    EXPECT_EQ(SystemTimeToText(time, true).toU16(), u"05.03.2024 07:08:09.045");

    // 2024-03-05 07:08:09.045 UTC, in 100 ns units since 1601; no conversion to local time.
    const FILETIME file = U64ToFileTime(133540960890450000ull);
    EXPECT_EQ(FileTimeToText(&file, true).toU16(), u"05.03.2024 07:08:09.045");
    EXPECT_EQ(FileTimeToText(&file).toU16(), u"05.03.2024 07:08:09");
    const FILETIME zero{0, 0};
    const FILETIME tooLate = U64ToFileTime(1ull << 63);
    EXPECT_FALSE(FileTimeToText(nullptr).getImpl());
    EXPECT_FALSE(FileTimeToText(&zero).getImpl());
    EXPECT_FALSE(FileTimeToText(&tooLate).getImpl());

    // Days since 1899-12-30; a quarter day is 06:00.
    EXPECT_EQ(VariantTimeToText(45356.25).toU16(), u"05.03.2024 06:00:00");
    EXPECT_FALSE(VariantTimeToText(1e9).getImpl());
}

TEST(StringOps, VariantTexts) {
    VARIANT number;
    VariantInit(&number);
    number.vt = VT_I4;
    number.lVal = -42;
    EXPECT_EQ(VariantToWString(number).toU16(), u"-42");

    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"Текст");
    EXPECT_EQ(VariantToWString(text).toU16(), u"Текст");
    EXPECT_EQ(text.vt, VT_BSTR);  // the caller's variant is not changed
    VariantClear(&text);

    VARIANT real;
    VariantInit(&real);
    real.vt = VT_R8;
    real.dblVal = 1.5;
    EXPECT_EQ(VariantToWString(real).toU16(), u"1.5");

    // A value without a text form gives the empty string; a variant that cannot be copied raises.
    VARIANT bytes;
    VariantInit(&bytes);
    bytes.vt = static_cast<VARTYPE>(VT_ARRAY | VT_UI1);
    bytes.parray = nullptr;
    EXPECT_FALSE(VariantToWString(bytes).getImpl());
    VARIANT broken;
    VariantInit(&broken);
    broken.vt = 0x7F;
    const auto e = VskTest::Thrown([&] { VariantToWString(broken); });
    EXPECT_EQ(e.getCode(), static_cast<int32_t>(DISP_E_BADVARTYPE));
}

TEST(StringOps, SplitAndJoin) {
    struct SplitRow {
        const char16_t* text;
        std::vector<std::u16string> pieces;
    };
    const SplitRow splits[] = {
        {u"a;;b;", {u"a", u"", u"b", u""}},
        {u"", {u""}},
        {u"abc", {u"abc"}},
        {u";", {u"", u""}},
    };
    for (const SplitRow& row : splits) {
        CArray<CWString> pieces = SplitString(CWString(row.text), u';');
        EXPECT_EQ(texts(pieces), row.pieces);
        // A piece of length 0 is the empty string, without an implementation.
        for (const CWString& piece : pieces) EXPECT_TRUE(piece.getLength() != 0 || !piece.getImpl());
    }

    struct JoinRow {
        std::vector<const char16_t*> items;
        const char16_t* expected;
    };
    const JoinRow joins[] = {
        {{u"", u"a", u"", u"b"}, u"a;;b"},
        {{u"a", u"b", u"c"}, u"a;b;c"},
        {{u"", u""}, u""},
        {{}, u""},
    };
    for (const JoinRow& row : joins)
        EXPECT_EQ(JoinStrings(arrayOf(row.items), CWString(u";")).toU16(), row.expected);

    // Joining builds new text: the items keep theirs.
    CArray<CWString> items = arrayOf({u"x", u"y"});
    EXPECT_EQ(JoinStrings(items, CWString(u", ")).toU16(), u"x, y");
    EXPECT_EQ(texts(items), (std::vector<std::u16string>{u"x", u"y"}));
}

TEST(StringOps, GroupDigits) {
    struct Row {
        const char16_t* text;
        unsigned group;
        const char16_t* separator;
        const char16_t* expected;
    };
    const Row rows[] = {
        {u"12345", 3, u"'", u"12'345"},      {u"1234", 3, u"'", u"1'234"},  {u"123", 3, u"'", u"123"},
        {u"1234567", 3, u"'", u"1'234'567"}, {u"", 3, u"'", u""},           {u"abcdef", 2, u" ", u"ab cd ef"},
        {u"12345", 3, nullptr, u"12345"},    {u"12345", 0, u"'", u"12345"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(GroupDigits(CWString(row.text), row.group, row.separator).toU16(), row.expected);
}
