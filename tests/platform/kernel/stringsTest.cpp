#include <vsk/platform/kernel.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

TEST(CaseFolding, PairsOfCapitalAndSmall) {
    const struct {
        char16_t upper;
        char16_t lower;
    } pairs[] = {
        {u'A', u'a'}, {u'Z', u'z'}, {u'Ё', u'ё'}, {u'А', u'а'},   {u'Я', u'я'}, {u'Ж', u'ж'},
        {u'Ђ', u'ђ'}, {u'Џ', u'џ'}, {u'Ґ', u'ґ'}, {u'Ї', u'ї'},   {u'Ў', u'ў'}, {u'Ӑ', u'ӑ'},
        {u'À', u'à'}, {u'Þ', u'þ'}, {u'Ÿ', u'ÿ'}, {u'Ā', u'ā'},   {u'Ł', u'ł'}, {u'Ž', u'ž'},
        {u'Σ', u'σ'}, {u'Ω', u'ω'}, {u'Ά', u'ά'}, {u'Ａ', u'ａ'},
    };
    for (const auto& p : pairs) {
        EXPECT_EQ(towupper16(p.lower), p.upper) << int(p.lower);
        EXPECT_EQ(towlower16(p.upper), p.lower) << int(p.upper);
        EXPECT_EQ(towupper16(p.upper), p.upper) << int(p.upper);
        EXPECT_EQ(towlower16(p.lower), p.lower) << int(p.lower);
    }
    // Characters without case, and surrogates, stay.
    for (char16_t ch : {u'1', u'№', u'×', u'÷', u'ß', char16_t(0xD800), char16_t(0xDC00), u'ς'}) {
        EXPECT_EQ(towupper16(ch), ch) << int(ch);
        EXPECT_EQ(towlower16(ch), ch) << int(ch);
    }
}

TEST(CaseFolding, CodePage1251Bytes) {
    const struct {
        char upper;
        char lower;
    } pairs[] = {{'A', 'a'}, {'Ё', 'ё'}, {'Ж', 'ж'}, {'Я', 'я'},
                 {'Ђ', 'ђ'}, {'Ѓ', 'ѓ'}, {'Ґ', 'ґ'}, {'І', 'і'}};
    for (const auto& p : pairs) {
        EXPECT_EQ(toupper1251(p.lower), p.upper);
        EXPECT_EQ(tolower1251(p.upper), p.lower);
    }
    EXPECT_EQ(toupper1251('\xB9'), '\xB9');  // №
    EXPECT_EQ(tolower1251('\xB5'), '\xB5');  // µ has no capital in 1251
}

TEST(Strings, ComparisonsStopAtNul) {
    const struct {
        const char16_t* a;
        const char16_t* b;
        size_t n;
        int sensitive;    // sign of wcsncmp16
        int insensitive;  // sign of wcsnicmp16
    } rows[] = {
        {u"abc", u"abc", 3, 0, 0},   {u"abc", u"abd", 3, -1, -1}, {u"abc", u"abd", 2, 0, 0},
        {u"ab", u"abc", 5, -1, -1},  {u"ABC", u"abc", 3, -1, 0},  {u"ЁЖИК", u"ёжик", 4, -1, 0},
        {u"a\0x", u"a\0y", 3, 0, 0}, {u"я", u"Ё", 1, 1, -1},      {u"_", u"A", 1, 1, -1},
    };
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    for (const auto& row : rows) {
        EXPECT_EQ(sign(wcsncmp16(row.a, row.b, row.n)), row.sensitive) << int(row.a[0]);
        EXPECT_EQ(sign(wcsnicmp16(row.a, row.b, row.n)), row.insensitive) << int(row.a[0]);
    }
    // '_' (0x5F) sorts after 'A' but before 'a': the fold goes to lower case, as _strnicmp does.
    EXPECT_LT(strnicmp1251("_", "A", 1), 0);
    EXPECT_EQ(strnicmp1251("ЁЖИК", "ёжик", 10), 0);
    EXPECT_GT(strnicmp1251("ёжиха", "ЁЖИК", 10), 0);
    EXPECT_EQ(strnicmp1251("abX", "ABy", 2), 0);
}

TEST(Strings, SearchAndInPlaceFolding) {
    const char16_t* hay = u"Ёжик в тумане";
    EXPECT_EQ(wcsstr16(hay, u"в т"), hay + 5);
    EXPECT_EQ(wcsstr16(hay, u""), hay);
    EXPECT_EQ(wcsstr16(hay, u"ёжик"), nullptr);
    EXPECT_EQ(wcslen16(hay), 13u);

    char16_t text[] = u"Ёжик IN";
    EXPECT_EQ(wcsupr_s16(text, sizeof(text) / 2), 0);
    EXPECT_EQ(std::u16string(text), u"ЁЖИК IN");
    EXPECT_EQ(wcslwr_s16(text, sizeof(text) / 2), 0);
    EXPECT_EQ(std::u16string(text), u"ёжик in");

    // No NUL within the size: EINVAL and the text untouched.
    CrtErrno() = 0;
    EXPECT_EQ(wcsupr_s16(text, 4), EINVAL);
    EXPECT_EQ(CrtErrno(), EINVAL);
    EXPECT_EQ(std::u16string(text), u"ёжик in");
    EXPECT_EQ(wcslwr_s16(nullptr, 4), EINVAL);
    CrtErrno() = 0;
}
