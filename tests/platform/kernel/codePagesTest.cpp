#include <vsk/platform/kernel.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string toWide(UINT codePage, const std::string& bytes) {
    int n = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::u16string text(static_cast<size_t>(n), u'\0');
    EXPECT_EQ(MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n),
              n);
    return text;
}

std::string toNarrow(UINT codePage, const std::u16string& text, BOOL* usedDefault = nullptr) {
    int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    EXPECT_EQ(WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n,
                                  nullptr, usedDefault),
              n);
    return bytes;
}

}  // namespace

TEST(CodePages, NarrowLiteralsAreCodePage1251) {
    static_assert(sizeof("Ж") == 2);
    EXPECT_EQ(static_cast<unsigned char>("Ж"[0]), 0xC6);
    EXPECT_EQ(toWide(1251, "Ж"), u"Ж");
}

TEST(CodePages, EveryByteRoundTrips) {
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
    for (UINT codePage : {1251u, 866u, 1252u, CP_ACP, CP_OEMCP}) {
        std::u16string wide = toWide(codePage, all);
        ASSERT_EQ(wide.size(), 256u) << codePage;
        BOOL usedDefault = TRUE;
        EXPECT_EQ(toNarrow(codePage, wide, &usedDefault), all) << codePage;
        EXPECT_FALSE(usedDefault) << codePage;
    }
}

TEST(CodePages, KnownCharacters) {
    const struct {
        UINT codePage;
        unsigned char byte;
        char16_t unit;
    } rows[] = {
        {1251, 0xA8, 0x0401}, {1251, 0xB8, 0x0451}, {1251, 0xB9, 0x2116}, {1251, 0xC0, 0x0410},
        {1251, 0xFF, 0x044F}, {1251, 0x88, 0x20AC}, {1251, 0x98, 0x0098}, {CP_ACP, 0xA8, 0x0401},
        {866, 0x80, 0x0410},  {866, 0xA0, 0x0430},  {866, 0xE0, 0x0440},  {866, 0xF1, 0x0451},
        {866, 0xC4, 0x2500},  {1252, 0x80, 0x20AC}, {1252, 0x9F, 0x0178}, {1252, 0xE9, 0x00E9},
    };
    for (const auto& row : rows)
        EXPECT_EQ(toWide(row.codePage, std::string(1, static_cast<char>(row.byte))),
                  std::u16string(1, row.unit))
            << row.codePage << " " << int(row.byte);
}

TEST(CodePages, Utf8OutsideTheBmpBothWays) {
    const std::string bytes = "\xF0\x9F\x98\x80";
    const std::u16string units = u"\U0001F600";
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(toWide(CP_UTF8, bytes), units);
    EXPECT_EQ(toNarrow(CP_UTF8, units), bytes);
    EXPECT_EQ(toNarrow(CP_UTF8, u"Ёж"), "\xD0\x81\xD0\xB6");
}

TEST(CodePages, SizeQueries) {
    // -1 counts the NUL; an explicit length neither counts nor writes one.
    EXPECT_EQ(MultiByteToWideChar(1251, 0, "Жук", -1, nullptr, 0), 4);
    EXPECT_EQ(MultiByteToWideChar(1251, 0, "Жук", 3, nullptr, 0), 3);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"Жук", -1, nullptr, 0, nullptr, nullptr), 7);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"Жук", 3, nullptr, 0, nullptr, nullptr), 6);

    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(MultiByteToWideChar(1251, 0, "Жук", 3, buffer, 8), 3);
    EXPECT_EQ(buffer[3], u'#');
    EXPECT_EQ(MultiByteToWideChar(1251, 0, "Жук", -1, buffer, 8), 4);
    EXPECT_EQ(std::u16string(buffer), u"Жук");
}

TEST(CodePages, Failures) {
    const struct {
        UINT codePage;
        DWORD flags;
        const char* text;
        int length;
        int size;
        DWORD error;
    } rows[] = {
        {1250, 0, "abc", -1, 0, ERROR_INVALID_PARAMETER},    // unknown code page
        {1251, 0, "abc", -1, 3, ERROR_INSUFFICIENT_BUFFER},  // no room for the NUL
        {1251, 0, "abc", 0, 0, ERROR_INVALID_PARAMETER},     // nothing to convert
        {1251, 0, nullptr, 3, 0, ERROR_INVALID_PARAMETER},  {1251, 0, "abc", -2, 0, ERROR_INVALID_PARAMETER},
        {1251, 8, "abc", -1, 0, ERROR_INVALID_FLAGS},
    };
    for (const auto& row : rows) {
        WCHAR buffer[8];
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(row.codePage, row.flags, row.text, row.length, buffer, row.size), 0);
        EXPECT_EQ(GetLastError(), row.error) << row.codePage << " " << row.length << " " << row.size;
    }
    char narrow[4];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"Жук", -1, narrow, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(WideCharToMultiByte(437, 0, u"abc", -1, narrow, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // UTF-8 has no default character.
    BOOL used;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"abc", -1, narrow, 4, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(CodePages, UnmappableCharactersBecomeTheDefault) {
    BOOL used = FALSE;
    // Kept out of the assertion macros: their text is stringised into code page 1251.
    const std::u16string foreign = u"a中\U0001F600b";
    EXPECT_EQ(toNarrow(1251, foreign, &used), "a??b");  // one '?' per character
    EXPECT_TRUE(used);
    EXPECT_EQ(toNarrow(866, u"№€"), "\xFC?");

    char narrow[8];
    int n = WideCharToMultiByte(1252, 0, u"Жx", 2, narrow, 8, "*", &used);
    EXPECT_EQ(std::string(narrow, n), "*x");
    EXPECT_TRUE(used);
}

TEST(CodePages, InvalidUtf8BecomesReplacementCharacters) {
    const struct {
        std::string bytes;
        std::u16string units;
    } rows[] = {
        {"a\x80"
         "b",
         u"a\uFFFDb"},                                      // stray continuation byte
        {"\xC3", u"\uFFFD"},                                // cut off at the end
        {"\xE2\x82x", u"\uFFFDx"},                          // one U+FFFD for a broken sequence
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong form
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xF0\x9F\x98", u"\uFFFD"},                        // truncated 4-byte form
        {"\xFF\xD0\x96", u"\uFFFDЖ"},
    };
    for (const auto& row : rows) EXPECT_EQ(toWide(CP_UTF8, row.bytes), row.units) << row.bytes;

    // A lone surrogate has no UTF-8 form.
    EXPECT_EQ(toNarrow(CP_UTF8, std::u16string(1, u'\xD800') + u"a"),
              "\xEF\xBF\xBD"
              "a");
}

TEST(IsTextUnicode, StatisticsTellTextFromBytes) {
    const struct {
        std::u16string text;
        bool isText;
    } rows[] = {
        {u"Иванов Иван Иванович, ООО \"Ромашка\"\r\n", true},
        {u"CN=Test, O=Example", true},
        {u"\U0001F600 ok", true},
        // Binary data read as UTF-8: controls and replacement characters.
        {u"\u0002\u0001\u0005\uFFFD\uFFFD0\u0003", false},
        {u"\uFFFD", false},
        // One suspicious unit in sixteen is tolerated, two are not.
        {u"abcdefghijklmno\u0001", true},
        {u"abcdefghijklmn\u0001\u0001", false},
        {std::u16string(1, u'\xDC00') + u"abc", false},
    };
    for (const auto& row : rows) {
        int tests = IS_TEXT_UNICODE_STATISTICS;
        EXPECT_EQ(IsTextUnicode(row.text.data(), static_cast<int>(row.text.size() * 2), &tests) != FALSE,
                  row.isText);
        EXPECT_EQ(tests, row.isText ? IS_TEXT_UNICODE_STATISTICS : 0);
    }
    int tests = IS_TEXT_UNICODE_STATISTICS;
    EXPECT_FALSE(IsTextUnicode(u"abc", 5, &tests));  // not whole units
    EXPECT_FALSE(IsTextUnicode(u"", 0, nullptr));
}
