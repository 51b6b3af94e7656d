#include <vsk/utils.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace Vsk::Utils;

namespace {

using Texts = std::vector<std::u16string>;

CArray<CWString> arrayOf(const Texts& texts) {
    CArray<CWString> array;
    for (const auto& t : texts) array.add(CWString(t.c_str()));
    return array;
}

Texts textsOf(const CArray<CWString>& array) {
    Texts texts;
    for (const CWString& s : array) texts.push_back(s.toU16());
    return texts;
}

uint64_t refsOf(const CWString& s) {
    return s.getImpl()->getRefCount();
}

std::u16string errorOf(const std::function<void()>& action) {
    return VskTest::Thrown(action).getText().toU16();
}

struct Item : CRefMan {
    static inline int destroyed = 0;
    ~Item() override { ++destroyed; }
};

}  // namespace

TEST(Array, ReserveGrowsToTwiceTheRequest) {
    const struct { size_t request, capacity; } steps[] = {{3, 6}, {6, 6}, {0, 6}, {7, 14}, {1, 14}};
    CWString a(u"a"), b(u"b");
    CArray<CWString> array;
    array.add(a);
    array.add(b);
    array.clear();
    EXPECT_EQ(array.getCapacity(), 0u);
    for (const auto& step : steps) {
        array.reserve(step.request);
        EXPECT_EQ(array.getCapacity(), step.capacity) << "reserve(" << step.request << ")";
        if (step.request == 6) {
            array.add(a);
            array.add(b);
        }
    }
    // Moving to the larger storage keeps the elements and their references.
    EXPECT_EQ(textsOf(array), Texts({u"a", u"b"}));
    EXPECT_EQ(refsOf(a), 2u);

    CArray<uint32_t> numbers;
    for (uint32_t n = 1; n <= 5; ++n) numbers.add(n);
    EXPECT_EQ(numbers.getCapacity(), 6u);
    EXPECT_EQ(numbers[4], 5u);
}

TEST(Array, ReserveBeyondDwordRaises) {
    CArray<uint32_t> numbers;
    numbers.add(7);
    for (size_t request : {size_t{1} << 31, static_cast<size_t>(-1) / 2, static_cast<size_t>(-1)}) {
        EXPECT_EQ(errorOf([&] { numbers.reserve(request); }), u"Значение не помещается в DWORD!");
        EXPECT_EQ(numbers.getCount(), 1u);
        EXPECT_EQ(numbers[0], 7u);
    }
}

TEST(Array, IndexChecks) {
    const struct {
        Texts texts;
        size_t index;
        const char16_t* error;
    } rows[] = {
        {{}, 0, u"Массив пуст"},
        {{u"a", u"b", u"c"}, 3, u"Индекс 3 за пределом 2"},
        {{u"a"}, 5, u"Индекс 5 за пределом 0"},
        {{u"a", u"b", u"c"}, 2, nullptr},
    };
    for (const auto& row : rows) {
        const CArray<CWString> array = arrayOf(row.texts);
        if (row.error)
            EXPECT_EQ(errorOf([&] { array[row.index]; }), row.error);
        else
            EXPECT_EQ(array[row.index].toU16(), row.texts[row.index]);
    }
}

TEST(Array, Insert) {
    const struct {
        Texts before;
        size_t index;
        Texts after;
        const char16_t* error;
    } rows[] = {
        {{u"a", u"b"}, 0, {u"x", u"a", u"b"}, nullptr},
        {{u"a", u"b"}, 1, {u"a", u"x", u"b"}, nullptr},
        {{u"a", u"b", u"c"}, 3, {u"a", u"b", u"c", u"x"}, nullptr},
        {{}, 0, {u"x"}, nullptr},
        {{u"a", u"b", u"c"}, 4, {u"a", u"b", u"c"}, u"Индекс 4 за пределом 3"},
        {{}, 1, {}, u"Индекс 1 за пределом 0"},
    };
    CWString x(u"x");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.index);
        {
            CArray<CWString> array = arrayOf(row.before);
            if (row.error)
                EXPECT_EQ(errorOf([&] { array.insert(x, row.index); }), row.error);
            else
                array.insert(x, row.index);
            EXPECT_EQ(textsOf(array), row.after);
            EXPECT_EQ(refsOf(x), row.error ? 1u : 2u);
        }
        EXPECT_EQ(refsOf(x), 1u);
    }
}

// The value passed in may be an element of the same array, which the growth or the shift moves.
TEST(Array, InsertingAndAddingItsOwnElement) {
    const struct {
        const char* name;
        Texts before;
        size_t capacity;
        std::function<void(CArray<CWString>&)> change;
        Texts after;
    } rows[] = {
        {"insert, growth",
         {u"a", u"b"},
         2,
         [](CArray<CWString>& v) { v.insert(v[0], 1); },
         {u"a", u"a", u"b"}},
        {"insert, shift",
         {u"a", u"b", u"c"},
         6,
         [](CArray<CWString>& v) { v.insert(v[2], 0); },
         {u"c", u"a", u"b", u"c"}},
        {"add, growth", {u"a", u"b"}, 2, [](CArray<CWString>& v) { v.add(v[1]); }, {u"a", u"b", u"b"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CArray<CWString> array = arrayOf(row.before);
        ASSERT_EQ(array.getCapacity(), row.capacity);
        row.change(array);
        EXPECT_EQ(textsOf(array), row.after);
    }
}

TEST(Array, SharedStorageDestroysElementsOnce) {
    Item::destroyed = 0;
    {
        auto item = CRefPtr<Item>::create();
        std::optional<CArray<CRefPtr<Item>>> first(std::in_place);
        first->add(item);
        first->add(item);
        {
            CArray<CRefPtr<Item>> second(*first);
            EXPECT_EQ(second.getStorage().getRefCount(), 2u);
            EXPECT_EQ(item->getRefCount(), 3u);
            first.reset();
            EXPECT_EQ(item->getRefCount(), 3u);
            EXPECT_EQ(second[1].get(), item.get());
        }
        EXPECT_EQ(item->getRefCount(), 1u);
        EXPECT_EQ(Item::destroyed, 0);
    }
    EXPECT_EQ(Item::destroyed, 1);
}

// An array that shares its storage with a copy gets storage of its own before it changes, so the
// other array keeps its elements and each element is released once.
TEST(Array, ChangingASharedCopyLeavesTheOriginal) {
    const struct {
        const char* name;
        std::function<void(CArray<CWString>& copy, CArray<CWString>& original)> change;
        Texts copyAfter;
    } rows[] = {
        {"add", [](auto& copy, auto&) { copy.add(CWString(u"x")); }, {u"a", u"b", u"c", u"x"}},
        {"insert", [](auto& copy, auto&) { copy.insert(CWString(u"x"), 1); }, {u"a", u"x", u"b", u"c"}},
        {"reserve", [](auto& copy, auto&) { copy.reserve(20); }, {u"a", u"b", u"c"}},
        {"clear", [](auto& copy, auto&) { copy.clear(); }, {}},
        {"assign another", [](auto& copy, auto&) { copy = arrayOf({u"y"}); }, {u"y"}},
        {"assign the original", [](auto& copy, auto& original) { copy = original; }, {u"a", u"b", u"c"}},
    };
    CWString a(u"a"), b(u"b"), c(u"c");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        {
            CArray<CWString> original;
            for (const CWString* s : {&a, &b, &c}) original.add(*s);
            CArray<CWString> copy(original);
            row.change(copy, original);
            EXPECT_EQ(textsOf(copy), row.copyAfter);
            EXPECT_EQ(textsOf(original), Texts({u"a", u"b", u"c"}));
            EXPECT_EQ(original.getStorage().getRefCount(), 1u);
        }
        for (const CWString* s : {&a, &b, &c}) EXPECT_EQ(refsOf(*s), 1u);
    }
}

TEST(Array, AssignmentCopiesIntoStorageOfItsOwn) {
    CWString a(u"a"), b(u"b"), z(u"z");
    CArray<CWString> source;
    source.add(a);
    source.add(b);
    CArray<CWString> target;
    target.add(z);

    target = source;
    EXPECT_EQ(textsOf(target), Texts({u"a", u"b"}));
    EXPECT_NE(target.getStorage().getImpl(), source.getStorage().getImpl());
    EXPECT_EQ(target.getCapacity(), 4u);
    // The elements share their implementations with the source's.
    EXPECT_EQ(target[0].getImpl(), a.getImpl());
    EXPECT_EQ(refsOf(a), 3u);
    EXPECT_EQ(refsOf(z), 1u);

    target = target;
    EXPECT_EQ(textsOf(target), Texts({u"a", u"b"}));
    target = CArray<CWString>();
    EXPECT_EQ(target.getCount(), 0u);
    EXPECT_EQ(target.getCapacity(), 0u);
    EXPECT_EQ(refsOf(a), 2u);

    CArray<uint32_t> numbers, copy;
    numbers.add(1);
    numbers.add(2);
    copy = numbers;
    numbers[0] = 9;
    EXPECT_EQ(copy[0], 1u);
    EXPECT_EQ(copy.getCount(), 2u);
}
