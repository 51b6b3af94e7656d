#include <vsk/platform/kernelTesting.h>
#include <vsk/utils.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace Vsk::Utils;

namespace {

using Bytes = std::vector<BYTE>;
constexpr size_t ToEnd = static_cast<size_t>(-1);

Bytes bytesOf(const CDataBlob& blob) {
    const BYTE* p = blob.getData();
    return p ? Bytes(p, p + blob.getSize()) : Bytes();
}

CDataBlob blobOf(const Bytes& bytes) {
    return CDataBlob(bytes.data(), bytes.size(), true);
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes counting(size_t n) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<BYTE>(i);
    return bytes;
}

// The text of the error `action` must raise.
std::u16string errorOf(const std::function<void()>& action) {
    return VskTest::Thrown(action).getText().toU16();
}

}  // namespace

TEST(DataBlob, CopiesShareUntilOneOfThemWrites) {
    const struct {
        const char* name;
        std::function<void(CDataBlob&)> write;
        Bytes expected;
    } rows[] = {
        {"setData, same size", [](CDataBlob& b) { b.setData(3, "xyz"); }, bytesOf(std::string("xyz"))},
        {"setData, new size", [](CDataBlob& b) { b.setData(1, "x"); }, {'x'}},
        {"setData without data", [](CDataBlob& b) { b.setData(2, nullptr); }, {1, 2}},
        {"appendData", [](CDataBlob& b) { b.appendData(1, "x"); }, {1, 2, 3, 'x'}},
        {"operator+=", [](CDataBlob& b) { b += blobOf({9}); }, {1, 2, 3, 9}},
        {"removeChars", [](CDataBlob& b) { b.removeChars("\x02"); }, {1, 3}},
        {"fromHex", [](CDataBlob& b) { b.fromHex("ff"); }, {0xFF}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CDataBlob a = blobOf({1, 2, 3});
        CDataBlob b = a;
        EXPECT_EQ(a.getRefCount(), 2u);
        row.write(b);
        EXPECT_EQ(bytesOf(a), Bytes({1, 2, 3}));
        EXPECT_EQ(bytesOf(b), row.expected);
        EXPECT_EQ(a.getRefCount(), 1u);
        EXPECT_EQ(b.getRefCount(), 1u);
    }
}

TEST(DataBlob, PlusAndCloneLeaveTheirSourcesAlone) {
    CDataBlob a = blobOf({1, 2});
    CDataBlob sum = a + blobOf({3});
    EXPECT_EQ(bytesOf(a), Bytes({1, 2}));
    EXPECT_EQ(bytesOf(sum), Bytes({1, 2, 3}));

    CDataBlob copy = a.clone();
    EXPECT_NE(copy.getData(), a.getData());
    EXPECT_EQ(bytesOf(copy), bytesOf(a));
    EXPECT_EQ(a.getRefCount(), 1u);
    EXPECT_EQ(CDataBlob().clone().getRefCount(), 0u);
}

// zeroFill, reverse and writes through at() act on the storage, so copies and views see them.
TEST(DataBlob, InPlaceChangesReachEverySharer) {
    const struct {
        const char* name;
        std::function<void(CDataBlob&)> change;
        Bytes expected;
    } rows[] = {
        {"zeroFill", [](CDataBlob& b) { b.zeroFill(); }, {0, 0, 0, 0}},
        {"reverse", [](CDataBlob& b) { b.reverse(); }, {4, 3, 2, 1}},
        {"write through at", [](CDataBlob& b) { *b.at(1) = 7; }, {1, 7, 3, 4}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CDataBlob source = blobOf({1, 2, 3, 4});
        CDataBlob copy = source;
        CDataBlob view = source.getBlock(0, ToEnd);
        CDataBlob inner = view.getBlock(1, 2);
        row.change(copy);
        for (const CDataBlob* b : {&source, &copy, &view}) EXPECT_EQ(bytesOf(*b), row.expected);
        EXPECT_EQ(bytesOf(inner), Bytes(row.expected.begin() + 1, row.expected.begin() + 3));
    }
}

TEST(DataBlob, FillRandomKeepsTheSizeAndReachesSharers) {
    for (size_t size : {0u, 1u, 3u, 4u, 7u, 1000u}) {
        SCOPED_TRACE(size);
        CDataBlob b = blobOf(Bytes(size, 0));
        CDataBlob copy = b;
        b.fillRandom();
        EXPECT_EQ(b.getSize(), size);
        EXPECT_EQ(bytesOf(copy), bytesOf(b));
        if (size == 1000) {
            EXPECT_NE(bytesOf(b), Bytes(size, 0));
        }
    }
    CDataBlob empty;
    empty.fillRandom();
    EXPECT_EQ(empty.getRefCount(), 0u);
}

// Passwords held as strings are wiped through a blob that shares the string.
TEST(DataBlob, WipingAStringThroughItsBlob) {
    CAString secret("пароль");
    CDataBlob blob(secret);
    EXPECT_EQ(blob.getRefCount(), 2u);
    EXPECT_EQ(blob.getSize(), 6u);
    blob.zeroFill();
    EXPECT_EQ(secret.getLength(), 6u);
    EXPECT_EQ(secret.toStd(), std::string(6, '\0'));
    EXPECT_EQ(CDataBlob(CAString()).getRefCount(), 0u);
}

// A blob left alone with a string's storage must not grow it in place: a string made from the blob
// again would read past the text, which lost its terminating NUL.
TEST(DataBlob, GrowingAStringsStorageKeepsItTerminated) {
    CDataBlob blob;
    {
        CAString text("abc");
        blob = CDataBlob(text);
    }
    blob.appendData(2, "de");
    CAString again(blob, false);
    EXPECT_EQ(again.toStd(), "abcde");
    EXPECT_EQ(std::strlen(again.c_str()), 5u);
}

TEST(DataBlob, ViewsKeepTheirSourceAlive) {
    CDataBlob view, inner;
    {
        CDataBlob source = blobOf(counting(8));
        view = source.getBlock(2, 4);
        EXPECT_EQ(source.getRefCount(), 2u);
        inner = view.getBlock(1, 2);
        // A view of a view refers to the storage that owns the bytes.
        EXPECT_EQ(source.getRefCount(), 3u);
        EXPECT_EQ(view.getRefCount(), 1u);
    }
    EXPECT_EQ(bytesOf(view), Bytes({2, 3, 4, 5}));
    EXPECT_EQ(bytesOf(inner), Bytes({3, 4}));

    view.appendData(1, "\x09");
    EXPECT_EQ(bytesOf(view), Bytes({2, 3, 4, 5, 9}));
    EXPECT_EQ(bytesOf(inner), Bytes({3, 4}));

    CDataBlob source = blobOf(counting(8));
    CDataBlob part = source.getBlock(2, 2);
    part.setData(2, "xy");
    EXPECT_EQ(bytesOf(source), counting(8));
    EXPECT_EQ(source.getRefCount(), 1u);
}

TEST(DataBlob, GetBlockRanges) {
    enum Result { Empty, Shared, View, Fails };
    const struct {
        size_t start, length;
        Result result;
        Bytes expected;
        const char16_t* error;
    } rows[] = {
        {8, 5, Empty, {}, nullptr},
        {8, ToEnd, Empty, {}, nullptr},
        {3, 0, Empty, {}, nullptr},
        {0, 8, Shared, counting(8), nullptr},
        {0, ToEnd, View, counting(8), nullptr},
        {2, 3, View, {2, 3, 4}, nullptr},
        {5, ToEnd, View, {5, 6, 7}, nullptr},
        {6, 2, View, {6, 7}, nullptr},
        {9, 0, Fails, {}, u"Индекс начала блока данных за пределами."},
        {2, 7, Fails, {}, u"Длина блока данных за пределами."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.start << ", " << static_cast<int64_t>(row.length));
        CDataBlob source = blobOf(counting(8));
        if (row.result == Fails) {
            EXPECT_EQ(errorOf([&] { source.getBlock(row.start, row.length); }), row.error);
            continue;
        }
        CDataBlob block = source.getBlock(row.start, row.length);
        EXPECT_EQ(bytesOf(block), row.expected);
        switch (row.result) {
            case Empty:
                EXPECT_EQ(block.getRefCount(), 0u);
                EXPECT_EQ(source.getRefCount(), 1u);
                break;
            case Shared:
                EXPECT_EQ(block.getImpl(), source.getImpl());
                break;
            case View:
                EXPECT_NE(block.getImpl(), source.getImpl());
                EXPECT_EQ(block.getData(), source.getData() + row.start);
                EXPECT_EQ(source.getRefCount(), 2u);
                break;
            case Fails:
                break;
        }
    }
    CDataBlob empty;
    EXPECT_EQ(empty.getBlock(0).getRefCount(), 0u);
    EXPECT_EQ(errorOf([&] { empty.getBlock(1, 0); }), u"Индекс начала блока данных за пределами.");
}

TEST(DataBlob, AttachedMemory) {
    SetLastError(0);
    EXPECT_EQ(errorOf([] { CDataBlob(nullptr, 5, false); }), u"Исходные данные для CDataBlob не валидны.");
    EXPECT_EQ(CDataBlob(nullptr, 0, false).getRefCount(), 0u);

    BYTE memory[3] = {1, 2, 3};
    CDataBlob attached(memory, 3, false);
    EXPECT_EQ(attached.getData(), memory);
    // Neither shared nor borrowed: a write of the same size goes into the caller's memory.
    attached.setData(3, "\x07\x08\x09");
    EXPECT_EQ(Bytes(memory, memory + 3), Bytes({7, 8, 9}));
    // A new size gives the blob a buffer of its own.
    attached.setData(2, "xy");
    EXPECT_NE(attached.getData(), memory);
    EXPECT_EQ(Bytes(memory, memory + 3), Bytes({7, 8, 9}));

    DATA_BLOB record{3, memory};
    EXPECT_EQ(CDataBlob(record, false).getData(), memory);
    EXPECT_NE(CDataBlob(record, true).getData(), memory);
}

// Appending or setting a blob's own bytes must read them before the growth moves them, whatever
// kind of buffer the blob holds.
TEST(DataBlob, WritingItsOwnBytes) {
    static BYTE callerMemory[64];
    const Bytes pattern = counting(64);
    std::memcpy(callerMemory, pattern.data(), pattern.size());
    const struct {
        const char* name;
        std::function<CDataBlob()> make;
    } kinds[] = {
        {"owned", [&] { return blobOf(pattern); }},
        {"shared", [&] { return blobOf(pattern); }},
        {"view", [&] { return blobOf(counting(70)).getBlock(0, 64); }},
        {"attached", [] { return CDataBlob(callerMemory, 64, false); }},
        {"string",
         [&] { return CDataBlob(CAString(reinterpret_cast<const char*>(pattern.data()) + 1, 63)); }},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        CDataBlob b = kind.make();
        CDataBlob other = kind.name == std::string("shared") ? b : CDataBlob();
        const Bytes start = bytesOf(b);

        b += b;
        Bytes doubled = start;
        doubled.insert(doubled.end(), start.begin(), start.end());
        EXPECT_EQ(bytesOf(b), doubled);

        b.appendData(3, b.getData() + 1);
        doubled.insert(doubled.end(), doubled.begin() + 1, doubled.begin() + 4);
        EXPECT_EQ(bytesOf(b), doubled);

        b.setData(5, b.getData() + 2);
        EXPECT_EQ(bytesOf(b), Bytes(doubled.begin() + 2, doubled.begin() + 7));
        if (other.getRefCount()) {
            EXPECT_EQ(bytesOf(other), start);
        }
    }
    EXPECT_EQ(Bytes(callerMemory, callerMemory + 64), pattern);
}

TEST(DataBlob, FromHex) {
    const struct {
        const char* text;
        bool reverse;
        Bytes expected;
        const char16_t* error;
    } rows[] = {
        {"0x0a ff", false, {0x0A, 0xFF}, nullptr},
        {"0 a", false, {0x0A}, nullptr},
        {"0X0A\tFf", false, {0x0A, 0xFF}, nullptr},
        {"0a ff 10", true, {0x10, 0xFF, 0x0A}, nullptr},
        {"", false, {}, nullptr},
        {"0x", false, {}, nullptr},
        {"0g", false, {}, u"0g - не шестнадцатиричный формат данных! (встретился символ с кодом 0x67)"},
        {"abc", false, {0xAB}, u"abc - последний байт не полный!"},
        {"abc", true, {0xAB}, u"abc - последний байт не полный!"},
        // The narrow literal is code page 1251: "А" is the byte 0xC0.
        {"abА", false, {0xAB}, u"abА - не шестнадцатиричный формат данных! (встретился символ с кодом 0xc0)"},
        // The prefix counts only at the very start.
        {"ab0x12",
         false,
         {0xAB},
         u"ab0x12 - не шестнадцатиричный формат данных! (встретился символ с кодом 0x78)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        CDataBlob b = blobOf({1, 2, 3});
        if (row.error)
            EXPECT_EQ(errorOf([&] { b.fromHex(row.text, row.reverse); }), row.error);
        else
            b.fromHex(row.text, row.reverse);
        EXPECT_EQ(bytesOf(b), row.expected);
    }
    CDataBlob b = blobOf({1});
    b.fromHex(nullptr);
    EXPECT_EQ(b.getRefCount(), 0u);
}

// The text may be the blob's own bytes, which the blob gives up when it takes the result.
TEST(DataBlob, FromHexOfItsOwnBytes) {
    CDataBlob b(CAString("0a0b0c"));
    b.fromHex(reinterpret_cast<const char*>(b.getData()));
    EXPECT_EQ(bytesOf(b), Bytes({0x0A, 0x0B, 0x0C}));
}

TEST(DataBlob, ToHex) {
    const struct {
        Bytes bytes;
        const char* separator;
        bool reverse;
        const char* expected;
    } rows[] = {
        {{0x0A, 0xFF}, " ", false, "0A FF"}, {{0x0A, 0xFF}, " ", true, "FF 0A"},
        {{0x0A, 0xFF}, "", false, "0AFF"},   {{0x0A, 0xFF}, nullptr, false, "0AFF"},
        {{0x0A, 0xFF}, ":", false, "0A:FF"}, {{0x01, 0xC0, 0x3B}, ", ", true, "3B, C0, 01"},
        {{0x5E}, ", ", false, "5E"},         {{}, ":", false, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expected);
        CDataBlob b = row.bytes.empty() ? CDataBlob() : blobOf(row.bytes);
        EXPECT_EQ(b.toHex(row.separator, row.reverse).toStd(), row.expected);
    }
}

TEST(DataBlob, IntegerReads) {
    enum Kind { I32, U32, I64, U64 };
    const auto read = [](const CDataBlob& b, Kind kind, bool* ok) -> std::string {
        switch (kind) {
            case I32:
                return std::to_string(b.toInt32(ok));
            case U32:
                return std::to_string(b.toUInt32(ok));
            case I64:
                return std::to_string(b.toInt64(ok));
            case U64:
                return std::to_string(b.toUInt64(ok));
        }
        return "";
    };
    const char* const fails = nullptr;
    const struct {
        Bytes bytes;
        Kind kind;
        const char* expected;
    } rows[] = {
        {{0x01, 0x02}, I32, "513"},
        {{0xFF}, I32, "-1"},
        {{0xFF}, U32, "255"},
        {{0x00, 0x00, 0x00, 0x80, 0xFF}, I32, "-2147483648"},
        {{0x01, 0x00, 0x00, 0x00, 0x01}, I32, fails},
        {{0xFF, 0xFF, 0xFF, 0x7F, 0xFF}, I32, fails},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x00}, I32, fails},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x00}, U32, "4294967295"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, U32, fails},
        {{0xFF, 0xFF}, I64, "-1"},
        {{0xFF, 0xFF}, U64, "65535"},
        {{0, 0, 0, 0, 0, 0, 0, 0x80}, I64, "-9223372036854775808"},
        {{1, 2, 3, 4, 5, 6, 7, 8, 0, 0}, U64, "578437695752307201"},
        {{1, 2, 3, 4, 5, 6, 7, 8, 0, 1}, U64, fails},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "kind " << row.kind << ", " << row.bytes.size() << " bytes");
        CDataBlob b = blobOf(row.bytes);
        bool ok = !row.expected;
        EXPECT_EQ(read(b, row.kind, &ok), row.expected ? row.expected : "0");
        EXPECT_EQ(ok, row.expected != nullptr);
        if (row.expected)
            EXPECT_EQ(read(b, row.kind, nullptr), row.expected);
        else
            EXPECT_EQ(errorOf([&] { read(b, row.kind, nullptr); }),
                      u"CDataBlob не вмещается в указанный тип.");
    }

    bool ok = true;
    EXPECT_EQ(CDataBlob().toInt64(&ok), 0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(errorOf([] { CDataBlob().toUInt32(); }), u"CDataBlob пуст.");

    // Storage of zero bytes is not the empty blob: it reads as 0.
    CDataBlob none = blobOf({0x20});
    ASSERT_TRUE(none.removeChars(" "));
    EXPECT_EQ(none.toInt32(&ok), 0);
    EXPECT_TRUE(ok);
}

TEST(DataBlob, Compare) {
    const struct {
        Bytes left, right;
        int sign;
    } rows[] = {
        {{0x01, 0x02}, {0xFF}, 1}, {{0xFF}, {0x01, 0x02}, -1},      {{0x01}, {0x02}, -1},
        {{0x80}, {0x7F}, 1},       {{0x01, 0x02}, {0x01, 0x02}, 0}, {{}, {}, 0},
        {{}, {0x00}, -1},
    };
    for (const auto& row : rows) {
        CDataBlob left = row.left.empty() ? CDataBlob() : blobOf(row.left);
        CDataBlob right = row.right.empty() ? CDataBlob() : blobOf(row.right);
        const int order = left.compare(right);
        EXPECT_EQ((order > 0) - (order < 0), row.sign);
        EXPECT_EQ(left == right, row.sign == 0);
        EXPECT_EQ(left != right, row.sign != 0);
    }
    // Blobs of different sizes are ordered by size alone.
    EXPECT_EQ(blobOf({0x01, 0x02}).compare(blobOf({0xFF})), 1);

    BYTE a[] = {1, 2}, b[] = {0, 0, 0};
    EXPECT_EQ(compareCryptBlob({2, a}, {3, b}), -1);
    EXPECT_EQ(compareCryptBlob({2, a}, {2, nullptr}), 1234567890);
}

TEST(DataBlob, RemoveChars) {
    const std::string base64Blanks("\0\r\n\t ", 5);
    const struct {
        std::string bytes;
        std::string set;
        bool removed;
        std::string expected;
    } rows[] = {
        {"QQ==\r\n", base64Blanks, true, "QQ=="},
        {"QQ==", base64Blanks, false, "QQ=="},
        {std::string("Q\0Q \t", 5), base64Blanks, true, "QQ"},
        {"a-b-c", "-", true, "abc"},
        {"a-b_c", "_-", true, "abc"},
        {std::string("\0a\0", 3), std::string("\0", 1), true, "a"},
        {"abc", std::string("\0", 1), false, "abc"},
        {"--", "-", true, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.bytes);
        CDataBlob b = blobOf(bytesOf(row.bytes));
        EXPECT_EQ(b.removeChars(row.set.c_str()), row.removed);
        EXPECT_EQ(bytesOf(b), bytesOf(row.expected));
        // Removing every byte leaves storage of zero bytes, not the empty blob.
        EXPECT_EQ(b.getRefCount(), 1u);
    }
    CDataBlob empty;
    EXPECT_FALSE(empty.removeChars("a"));
}

TEST(DataBlob, IndexesAndEmptyBlob) {
    CDataBlob b = blobOf({5, 6, 7});
    EXPECT_EQ(b.getAt(2), 7);
    EXPECT_EQ(errorOf([&] { b.at(3); }), u"Индекс 3 за пределом 3");

    CDataBlob empty;
    EXPECT_EQ(errorOf([&] { empty.getAt(0); }), u"Индекс 0 за пределом 0");
    EXPECT_EQ(empty.getSize(), 0u);
    EXPECT_EQ(empty.getData(), nullptr);
    EXPECT_EQ(empty.getDataBlob(), CDataBlob().getDataBlob());
    EXPECT_EQ(empty.getDataBlob()->cbData, 0u);
    EXPECT_EQ(empty.getDataBlob()->pbData, nullptr);
    CRYPT_DATA_BLOB record{7, b.getData()};
    empty.toCryptBlob(record);
    EXPECT_EQ(record.cbData, 0u);
    EXPECT_EQ(record.pbData, nullptr);
    EXPECT_EQ(empty.toHex().getLength(), 0u);
    empty.zeroFill();
    empty.reverse();
    EXPECT_EQ(errorOf([&] { empty.toUtf8Text(); }),
              u"Объект class Vsk::Utils::CDataBlob::CImpl не был создан!");

    // The storage's record reads as CryptoAPI's while the size fits 32 bits.
    EXPECT_EQ(b.getDataBlob()->cbData, 3u);
    EXPECT_EQ(b.getDataBlob()->pbData, b.getData());
}

TEST(DataBlob, FailedAllocations) {
    CDataBlob grown = blobOf({1, 2, 3, 4});
    HeapFailNext(1);
    std::u16string text = errorOf([&] { grown.setData(100, nullptr); });
    EXPECT_EQ(text.rfind(u"Нехватка памяти для выделения 100 байт.", 0), 0u) << testing::PrintToString(text);
    EXPECT_EQ(grown.getRefCount(), 0u);

    CDataBlob appended = blobOf({1, 2, 3});
    HeapFailNext(1);
    text = errorOf([&] { appended.appendData(100, nullptr); });
    EXPECT_EQ(text.rfind(u"Нехватка памяти для выделения 103 байт.", 0), 0u) << testing::PrintToString(text);
    EXPECT_EQ(bytesOf(appended), Bytes({1, 2, 3}));

    HeapFailNext(1);
    const auto e = VskTest::Thrown([&] { CDataBlob fresh(16); });
    EXPECT_EQ(e.getCode(), 14);
}

TEST(DataBlob, CheckedDword) {
    EXPECT_EQ(checkedDword(0xFFFFFFFFull), 0xFFFFFFFFu);
    EXPECT_EQ(errorOf([] { checkedDword(0x100000000ull); }), u"Значение не помещается в DWORD!");
}

TEST(DataBlob, Utf8Text) {
    const struct {
        std::string bytes;
        bool isText;
        std::u16string expected;
    } rows[] = {
        {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80", true, u"Привет, мир"},
        {std::string("abc\0\x01\x02", 6), true, u"abc"},
        {std::string("\x30\x82\x01\x0A\x02\x01\x00\x05", 8), false, u""},
        {std::string("\0abc", 4), false, u""},
    };
    for (const auto& row : rows) {
        CDataBlob b = blobOf(bytesOf(row.bytes));
        bool isText = !row.isText;
        EXPECT_EQ(b.toUtf8Text(&isText).toU16(), row.expected);
        EXPECT_EQ(isText, row.isText);
    }
}

TEST(DataBlob, ByteSafeArray) {
    EXPECT_EQ(blobOf({1}).toByteSafeArray(nullptr), E_POINTER);
    for (const Bytes& bytes : {Bytes{1, 2, 3}, Bytes{}}) {
        CDataBlob b = bytes.empty() ? CDataBlob() : blobOf(bytes);
        SAFEARRAY* array = reinterpret_cast<SAFEARRAY*>(1);
        ASSERT_EQ(b.toByteSafeArray(&array), S_OK);
        ASSERT_NE(array, nullptr);
        EXPECT_EQ(array->cDims, 1);
        EXPECT_EQ(array->rgsabound[0].cElements, bytes.size());
        EXPECT_EQ(array->rgsabound[0].lLbound, 0);
        if (!bytes.empty()) {
            EXPECT_EQ(std::memcmp(array->pvData, bytes.data(), bytes.size()), 0);
        }
        EXPECT_EQ(SafeArrayDestroy(array), S_OK);
    }
}

// A buffer the heap refuses to free is reported in the developer log, not dropped silently.
TEST(DataBlob, FailedFreeIsLogged) {
    std::vector<std::u16string> lines;
    Vsk::InternalUtils::GetLog()->setSink([&](const CWString& line) {
        if (line.toU16().find(u"CImpl::free") != std::u16string::npos) lines.push_back(line.toU16());
    });
    void* buffer;
    {
        CDataBlob b = blobOf({1, 2, 3});
        buffer = b.getData();
        HeapFailNext(0, 1);
    }
    Vsk::InternalUtils::GetLog()->setSink(nullptr);
    // The failed free left the block allocated.
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, buffer));

    char address[32];
    std::snprintf(address, sizeof address, "%" PRIxPTR, reinterpret_cast<uintptr_t>(buffer));
    std::u16string expected = u"Utils::CDataBlob::CImpl::free Ошибка освобождения памяти ";
    expected.append(address, address + std::strlen(address));
    expected += u", флаги 1";
    EXPECT_EQ(lines, std::vector<std::u16string>({expected}));
}
