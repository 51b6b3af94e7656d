#include <vsk/platform/kernelTesting.h>
#include <vsk/utils.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <cstring>
#include <functional>
#include <string>

using namespace Vsk::Utils;
using Vsk::InternalUtils::GetLog;
using VskTest::Thrown;

namespace {

constexpr size_t Whole = static_cast<size_t>(-1);

uint64_t refs(const CWString& s) {
    return s.getImpl() ? s.getImpl()->getRefCount() : 0;
}
uint64_t refs(const CAString& s) {
    return s.getImpl() ? s.getImpl()->getRefCount() : 0;
}

// Allocation failures are injected into the process heap; the common record must exist before, so
// that its own creation does not take the failure.
class StringTest : public ::testing::Test {
protected:
    void SetUp() override {
        GetLog();
        SetLastError(0);
    }
    void TearDown() override {
        HeapFailNext(0);
        SetLastError(0);
    }
};

}  // namespace

TEST_F(StringTest, NarrowLiteralsAreCodePage1251) {
    ASSERT_EQ(std::strlen("Ж"), 1u);
    EXPECT_EQ(static_cast<unsigned char>("Ж"[0]), 0xC6);
}

TEST_F(StringTest, EveryByteOf1251RoundTrips) {
    char all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
    CAString bytes(all, sizeof(all));
    CWString wide(bytes, CP_PROGRAM);
    ASSERT_EQ(wide.getLength(), 256u);
    EXPECT_EQ(wide.getStatus(), 0u);
    CAString back(wide, CP_PROGRAM);
    ASSERT_EQ(back.getLength(), 256u);
    EXPECT_EQ(std::memcmp(back.c_str(), all, sizeof(all)), 0);
    EXPECT_EQ(back.c_str()[256], 0);
    // Code page 0 is the system's 8-bit code page, 1251 here.
    EXPECT_EQ(CWString(bytes, CP_ACP).toU16(), wide.toU16());
}

TEST_F(StringTest, ConversionsOfSingleCharacters) {
    struct Row {
        const char* narrow;
        UINT codePage;
        std::u16string wide;
    };
    const Row rows[] = {
        {"\xA8", 1251, u"Ё"},
        {"\xB8", 1251, u"ё"},
        {"\xB9", 1251, u"№"},
        {"\xC6", 1251, u"Ж"},
        {"\xFF", 1251, u"я"},
        {"A", 1251, u"A"},
        {"\xF0\x9F\x98\x80", CP_UTF8, u"\U0001F600"},  // outside the BMP: a surrogate pair
        {"\xD0\x81", CP_UTF8, u"Ё"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.narrow);
        CWString wide(row.narrow, Whole, row.codePage);
        EXPECT_EQ(wide.toU16(), row.wide);
        EXPECT_EQ(CWString(row.narrow, std::strlen(row.narrow), row.codePage).toU16(), row.wide);
        CAString back(wide, row.codePage);
        EXPECT_EQ(back.toStd(), std::string(row.narrow));
        EXPECT_EQ(CAString(row.wide.c_str(), Whole, row.codePage).toStd(), std::string(row.narrow));
    }
    ASSERT_EQ(CWString("\xF0\x9F\x98\x80", Whole, CP_UTF8).getLength(), 2u);
    // A character 1251 has no byte for becomes '?'.
    EXPECT_EQ(CAString(u"a\u4E2D", Whole, CP_PROGRAM).toStd(), "a?");
}

TEST_F(StringTest, UnknownCodePageLeavesStatusUntilChecked) {
    CWString wide("abc", Whole, 12345);
    CAString narrow(u"abc", Whole, 12345);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        int code = -1;
        const DWORD status = i == 0 ? wide.getStatus(&code) : narrow.getStatus(&code);
        EXPECT_EQ(status, 4u);
        EXPECT_EQ(code, 87);
        EXPECT_EQ(i == 0 ? wide.getLength() : narrow.getLength(), 0u);
        EXPECT_EQ(i == 0 ? wide.c_str()[0] : narrow.c_str()[0], 0);
        CError e = Thrown([&] { i == 0 ? wide.checkStatus() : narrow.checkStatus(); });
        EXPECT_EQ(e.getCode(), 87);
        EXPECT_TRUE(e.getMessage().startsWith(CWString(u"Внутренняя ошибка")));
    }
    EXPECT_EQ(CWString(u"ok").checkStatus(), 0);
    EXPECT_EQ(CWString().checkStatus(), 0);
    int code = -1;
    EXPECT_EQ(CAString().getStatus(&code), 0u);
    EXPECT_EQ(code, 0);
}

TEST_F(StringTest, EmptyInputsGiveTheEmptyString) {
    const CWString empties[] = {
        CWString(nullptr, 5),
        CWString(u"", Whole),
        CWString(u"abc", size_t{0}),
        CWString(u"", -1),
        CWString(nullptr, Whole, 1251),
        CWString("", Whole, 1251),
        CWString(CAString(), 1251),
        CWString(0),
        CWString(-3),
        CWString(CDataBlob(), false),
    };
    for (const CWString& s : empties) {
        EXPECT_FALSE(s.getImpl());
        EXPECT_EQ(s.getLength(), 0u);
        ASSERT_NE(s.c_str(), nullptr);
        EXPECT_EQ(s.c_str()[0], 0);
    }
    EXPECT_FALSE(CAString(std::string()).getImpl());
    EXPECT_FALSE(CAString(nullptr, 3).getImpl());
    EXPECT_FALSE(CAString(CWString(), 1251).getImpl());

    CWString nul(u'\0');
    EXPECT_EQ(nul.getLength(), 1u);
    CAString embedded(std::string("a\0b", 3));
    EXPECT_EQ(embedded.getLength(), 3u);
}

TEST_F(StringTest, BufferThenFixLength) {
    CWString s(5);
    ASSERT_EQ(s.getLength(), 5u);
    EXPECT_EQ(*s.at(5), 0);
    std::memcpy(s.at(0), u"ab", 3 * sizeof(WCHAR));
    s.fixLength();
    EXPECT_EQ(s.toU16(), u"ab");

    CAString a(3u);
    EXPECT_EQ(a.getLength(), 3u);
    std::memcpy(a.at(0), "xyz", 3);
    a.fixLength();  // no NUL inside: unchanged
    EXPECT_EQ(a.toStd(), "xyz");
}

TEST_F(StringTest, SetLengthKeepsTextOnlyForTheSoleHolder) {
    CWString own(u"abcdef");
    own.setLength(3);
    EXPECT_EQ(own.toU16(), u"abc");
    EXPECT_EQ(own.c_str()[3], 0);
    own.setLength(5);
    EXPECT_EQ(own.getLength(), 5u);
    EXPECT_EQ(std::u16string(own.c_str(), 3), u"abc");

    CWString first(u"abcdef");
    CWString second = first;
    second.setLength(3);
    EXPECT_EQ(first.toU16(), u"abcdef");
    EXPECT_EQ(second.getLength(), 3u);
    EXPECT_EQ(second.c_str()[3], 0);
    EXPECT_EQ(refs(first), 1u);
    EXPECT_EQ(refs(second), 1u);

    second.setLength(0);
    EXPECT_FALSE(second.getImpl());
    CAString grown;
    grown.setLength(4);
    EXPECT_EQ(grown.getLength(), 4u);
}

TEST_F(StringTest, CopiesShareAndWriteOnTheirOwn) {
    CWString a(u"text");
    CWString b = a;
    EXPECT_EQ(a.getImpl().get(), b.getImpl().get());
    EXPECT_EQ(refs(a), 2u);

    b.append(u"!");
    EXPECT_EQ(a.toU16(), u"text");
    EXPECT_EQ(b.toU16(), u"text!");
    EXPECT_EQ(refs(a), 1u);

    b += u'?';
    b += u"";
    EXPECT_EQ(b.toU16(), u"text!?");

    // An empty string takes the other's storage on +=.
    CAString empty;
    CAString word("word");
    empty += word;
    EXPECT_EQ(empty.getImpl().get(), word.getImpl().get());

    CAString x("x");
    x.assign("yz", 1);
    EXPECT_EQ(x.toStd(), "y");
    x.assign("");
    EXPECT_FALSE(x.getImpl());

    CWString source(u"orig");
    CWString copy = source.clone();
    EXPECT_NE(copy.getImpl().get(), source.getImpl().get());
    EXPECT_EQ(copy.toU16(), u"orig");
    EXPECT_FALSE(CWString().clone().getImpl());
}

TEST_F(StringTest, ZeroFillReachesEveryHolder) {
    CWString secret(u"pin1");
    CWString holder = secret;
    CDataBlob bytes(CAString("pass"));
    CAString narrow(bytes, false);
    holder.zeroFill();
    narrow.zeroFill();
    ASSERT_EQ(secret.getLength(), 4u);
    for (DWORD i = 0; i < 4; ++i) EXPECT_EQ(secret.c_str()[i], 0);
    for (DWORD i = 0; i < 4; ++i) EXPECT_EQ(bytes.getAt(i), 0);
}

TEST_F(StringTest, AtAllowsTheTerminatorOnly) {
    CWString s(u"abc");
    EXPECT_EQ(*s.at(0), u'a');
    EXPECT_EQ(*s.at(3), 0);
    *s.at(1) = u'X';
    EXPECT_EQ(s.toU16(), u"aXc");
    CAString a("xy");
    EXPECT_EQ(a.charAt(1), 'y');

    struct Row {
        std::function<void()> call;
        std::u16string text;
    };
    const Row rows[] = {
        {[&] { s.at(4); }, u"Индекс 4 за пределом 3"},
        {[] { CWString().at(0); }, u"Индекс 0 за пределом 0"},
        {[&] { a.charAt(3); }, u"Индекс 3 за пределом 2"},
        {[] { CAString(u"", Whole, 1251).at(0); }, u"Индекс 0 за пределом 0"},
    };
    for (const Row& row : rows) {
        CError e = Thrown(row.call);
        EXPECT_EQ(e.getCode(), 0);
        EXPECT_EQ(e.getMessage().toU16(), row.text);
    }
}

TEST_F(StringTest, AppendingToItself) {
    CWString wide(u"abc");
    wide += wide;
    EXPECT_EQ(wide.toU16(), u"abcabc");
    // Grow well past the first block so that the buffer has to move.
    for (int i = 0; i < 6; ++i) wide += wide;
    EXPECT_EQ(wide.getLength(), 384u);
    EXPECT_EQ(std::u16string(wide.c_str() + 381), u"abc");

    CAString narrow("0123456789");
    narrow.append(narrow.c_str() + 2, 3);
    EXPECT_EQ(narrow.toStd(), "0123456789234");
    narrow += narrow;
    EXPECT_EQ(narrow.toStd(), "01234567892340123456789234");
    narrow += narrow.c_str();
    EXPECT_EQ(narrow.getLength(), 52u);

    CAString shared("ab");
    CAString other = shared;
    shared += shared;
    EXPECT_EQ(shared.toStd(), "abab");
    EXPECT_EQ(other.toStd(), "ab");
}

TEST_F(StringTest, StringsFromBlobs) {
    CAString text("abc");
    CDataBlob blob(text);
    ASSERT_EQ(refs(text), 2u);
    CAString shared(blob, false);
    EXPECT_EQ(shared.getImpl().get(), text.getImpl().get());
    EXPECT_EQ(refs(text), 3u);
    CAString copied(blob, true);
    EXPECT_NE(copied.getImpl().get(), text.getImpl().get());
    EXPECT_EQ(copied.toStd(), "abc");

    // Cutting at the first NUL also cuts the blob that shares the storage.
    CAString withNul(std::string("ab\0cd", 5));
    CDataBlob same(withNul);
    CAString cut(same, false);
    EXPECT_EQ(cut.getLength(), 2u);
    EXPECT_EQ(same.getSize(), 2u);

    const BYTE five[] = {'h', 0, 'i', 0, 'x'};
    CWString wide(CDataBlob(five, sizeof(five), true), false);
    EXPECT_EQ(wide.toU16(), u"hi");

    // A blob that grows a string's storage does so in storage of its own; a string made from it
    // again is terminated.
    CDataBlob grown(CAString("abc"));
    grown.appendData(2, "xy");
    CAString fromGrown(grown, false);
    EXPECT_EQ(fromGrown.toStd(), "abcxy");
    EXPECT_EQ(fromGrown.c_str()[5], 0);
}

TEST_F(StringTest, AllocationFailures) {
    // The implementation of a constructor: an empty string, nothing raised.
    HeapFailNext(1);
    CWString notMade(u"abc");
    EXPECT_FALSE(notMade.getImpl());

    // assign: out of memory for the implementation's size.
    HeapFailNext(1);
    CError e = Thrown([] {
        CAString s;
        s.assign("abc");
    });
    EXPECT_EQ(e.getCode(), 14);
    EXPECT_TRUE(e.getMessage().startsWith(CWString(u"Нехватка памяти для выделения ")));

    // setLength: the not-created error, the string left empty.
    CWString target(u"abc");
    CWString sharer = target;
    HeapFailNext(1);
    e = Thrown([&] { target.setLength(2); });
    EXPECT_EQ(e.getCode(), 0);
    EXPECT_EQ(e.getMessage().toU16(), u"Объект class Vsk::Utils::CWString::CImpl не был создан!");
    EXPECT_FALSE(target.getImpl());
    EXPECT_EQ(sharer.toU16(), u"abc");

    // The text's buffer: status 2, old text kept, raised only on request.
    CWString grows(u"abc");
    HeapFailNext(1);
    grows.append(u"def");
    EXPECT_EQ(grows.toU16(), u"abc");
    int code = -1;
    EXPECT_EQ(grows.getStatus(&code), 2u);
    e = Thrown([&] { grows.checkStatus(); });
    EXPECT_EQ(e.getMessage().toU16(), u"Нехватка памяти");
    EXPECT_EQ(e.getCode(), 0);
}

TEST_F(StringTest, InvalidLengthsAreRefused) {
    // Lengths the platform's 32-bit conversion calls cannot take, and counts no buffer can hold.
    CWString tooLong("abc", size_t{1} << 33, CP_PROGRAM);
    EXPECT_EQ(tooLong.getStatus(), 3u);
    EXPECT_EQ(tooLong.getLength(), 0u);
    EXPECT_EQ(Thrown([&] { tooLong.checkStatus(); }).getMessage().toU16(), u"Исходные данные не валидны");
    CAString negative("abc", -2);
    EXPECT_EQ(negative.getStatus(), 2u);
    EXPECT_EQ(negative.getLength(), 0u);
}
