// Module resources: the program's registered table, a shared object's exported table and a source
// that answers on demand; look-up without regard to case, identifiers as "#n", the codes of what is
// missing, and the walk over the names of a type.
#include "kernelTestRoot.h"

#include <vsk/platform/kernel.h>
#include <vsk/platform/resource.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char Hello[] = "hello";
const char Other[] = "other";
const unsigned char Numbered[] = {1, 2, 3};

// The program's own resources; the zero-length one still loads.
const ModuleResources ProgramResources{
    {u"TEXT", u"hello", Hello, 5},       {u"TEXT", u"other", Other, 5},
    {u"TEXT", u"empty", Hello, 0},       {RT_RCDATA, MAKEINTRESOURCEW(7), Numbered, 3},
    {u"Template", u"#300", Numbered, 2},
};

// The bytes of a resource, or the last error as text when it cannot be found.
std::string bytesOf(HMODULE module, LPCWSTR name, LPCWSTR type) {
    SetLastError(0);
    HRSRC found = FindResourceW(module, name, type);
    if (!found) return "error " + std::to_string(GetLastError());
    HGLOBAL data = LoadResource(module, found);
    EXPECT_NE(data, nullptr);
    const DWORD size = SizeofResource(module, found);
    const auto* bytes = static_cast<const char*>(LockResource(data));
    EXPECT_NE(bytes, nullptr);
    EXPECT_EQ(FreeResource(data), FALSE);
    return std::string(bytes, size);
}

BOOL collect(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
    auto* names = reinterpret_cast<std::vector<std::u16string>*>(param);
    if (IS_INTRESOURCE(name))
        names->push_back(u"id " + Utf16(std::to_string(reinterpret_cast<uintptr_t>(name))));
    else
        names->push_back(name);
    return names->size() < 10;
}

BOOL stopAtFirst(HMODULE, LPCWSTR, LPWSTR, LONG_PTR param) {
    ++*reinterpret_cast<int*>(param);
    return FALSE;
}

TEST(Resources, ProgramTableByTextIdentifierAndCase) {
    const struct {
        LPCWSTR name;
        LPCWSTR type;
        std::string expected;
    } cases[] = {
        {u"hello", u"TEXT", "hello"},
        {u"HeLLo", u"text", "hello"},  // neither type nor name heeds case
        {u"other", u"Text", "other"},
        {u"empty", u"TEXT", ""},
        {MAKEINTRESOURCEW(7), RT_RCDATA, "\x01\x02\x03"},
        {u"#7", u"#10", "\x01\x02\x03"},  // an identifier is the text "#n"
        {MAKEINTRESOURCEW(300), u"TEMPLATE", "\x01\x02"},
        {u"missing", u"TEXT", "error 1814"},
        {u"hello", u"NOSUCHTYPE", "error 1813"},
        {MAKEINTRESOURCEW(8), RT_RCDATA, "error 1814"},
        {u"hello", nullptr, "error 1813"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(IS_INTRESOURCE(c.name) ? std::string("#") : Utf8(c.name));
        EXPECT_EQ(bytesOf(nullptr, c.name, c.type), c.expected);
        EXPECT_EQ(bytesOf(GetModuleHandleW(nullptr), c.name, c.type), c.expected);
    }
    // The handle of a found resource stays the same.
    EXPECT_EQ(FindResourceW(nullptr, u"hello", u"TEXT"), FindResourceW(nullptr, u"HELLO", u"text"));
    EXPECT_EQ(SizeofResource(nullptr, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Resources, NamesOfATypeInOrder) {
    std::vector<std::u16string> names;
    ASSERT_TRUE(EnumResourceNamesW(nullptr, u"text", collect, reinterpret_cast<LONG_PTR>(&names)));
    EXPECT_EQ(names, (std::vector<std::u16string>{u"hello", u"other", u"empty"}));
    names.clear();
    ASSERT_TRUE(EnumResourceNamesW(nullptr, RT_RCDATA, collect, reinterpret_cast<LONG_PTR>(&names)));
    EXPECT_EQ(names, (std::vector<std::u16string>{u"id 7"}));

    int calls = 0;
    SetLastError(0);
    EXPECT_FALSE(EnumResourceNamesW(nullptr, u"TEXT", stopAtFirst, reinterpret_cast<LONG_PTR>(&calls)));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_ENUM_USER_STOP);
    EXPECT_FALSE(EnumResourceNamesW(nullptr, u"NOSUCHTYPE", stopAtFirst, reinterpret_cast<LONG_PTR>(&calls)));
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_EQ(calls, 1);
}

// A shared object's own table answers for that module only, while it is loaded.
TEST(Resources, SharedObjectExportsItsTable) {
    HMODULE module = LoadLibraryW(Utf16(VSK_TEST_RESOURCES).c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(bytesOf(module, u"GREETING", u"text"), "Привет из модуля");
    EXPECT_EQ(bytesOf(module, MAKEINTRESOURCEW(101), RT_RCDATA), std::string("\x30\x03\x02\x01\x05", 5));
    EXPECT_EQ(bytesOf(module, u"hello", u"TEXT"), "error 1814");
    EXPECT_EQ(bytesOf(module, u"x", u"TEMPLATE"), "error 1813");
    EXPECT_EQ(bytesOf(nullptr, u"greeting", u"TEXT"), "error 1814");
    std::vector<std::u16string> names;
    ASSERT_TRUE(EnumResourceNamesW(module, RT_RCDATA, collect, reinterpret_cast<LONG_PTR>(&names)));
    EXPECT_EQ(names, (std::vector<std::u16string>{u"id 101"}));
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleW(Utf16(VSK_TEST_RESOURCES).c_str()), nullptr);
}

// A source answers for the types and names the tables lack; the table wins where both have one, and
// fetched bytes stay where they are.
TEST(Resources, SourceAnswersOnDemand) {
    int fetches = 0;
    ResourceSource source;
    source.names = [](const std::u16string& type, std::vector<std::u16string>& names) {
        if (type != u"manual" && type != u"MANUAL" && type != u"TEXT") return false;
        names = type == u"TEXT" ? std::vector<std::u16string>{u"hello", u"extra"}
                                : std::vector<std::u16string>{u"Index.html"};
        return true;
    };
    source.bytes = [&fetches](const std::u16string&, const std::u16string& name, std::vector<BYTE>& bytes) {
        ++fetches;
        const std::string text = "from source: " + Utf8(name);
        bytes.assign(text.begin(), text.end());
        return true;
    };
    RegisterResourceSource(nullptr, source);
    EXPECT_EQ(bytesOf(nullptr, u"index.HTML", u"MANUAL"), "from source: Index.html");
    EXPECT_EQ(bytesOf(nullptr, u"hello", u"TEXT"), "hello");
    EXPECT_EQ(bytesOf(nullptr, u"extra", u"TEXT"), "from source: extra");
    EXPECT_EQ(bytesOf(nullptr, u"absent", u"MANUAL"), "error 1814");
    EXPECT_EQ(bytesOf(nullptr, u"absent", u"HELP"), "error 1813");
    const void* first = LockResource(LoadResource(nullptr, FindResourceW(nullptr, u"Index.html", u"MANUAL")));
    const void* again = LockResource(LoadResource(nullptr, FindResourceW(nullptr, u"INDEX.html", u"MANUAL")));
    EXPECT_EQ(first, again);
    EXPECT_EQ(fetches, 2);
    std::vector<std::u16string> names;
    ASSERT_TRUE(EnumResourceNamesW(nullptr, u"TEXT", collect, reinterpret_cast<LONG_PTR>(&names)));
    EXPECT_EQ(names, (std::vector<std::u16string>{u"hello", u"other", u"empty", u"extra"}));

    RegisterResourceSource(nullptr, ResourceSource{});
    EXPECT_EQ(bytesOf(nullptr, u"extra", u"TEXT"), "error 1814");
    EXPECT_EQ(bytesOf(nullptr, u"hello", u"TEXT"), "hello");
}

}  // namespace
