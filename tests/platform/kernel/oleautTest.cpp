#include <vsk/platform/kernel.h>
#include <vsk/platform/oleaut.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>

namespace {

std::u16string textOf(BSTR s) {
    return s ? std::u16string(s, SysStringLen(s)) : std::u16string();
}

// Holds a VARIANT and clears it at the end of the test.
struct Var {
    VARIANT v;
    Var() { VariantInit(&v); }
    ~Var() { EXPECT_EQ(VariantClear(&v), S_OK); }
};

VARIANT make(VARTYPE vt, auto setter) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    setter(v);
    return v;
}

}  // namespace

TEST(Bstr, LengthPrefixAndCopies) {
    BSTR s = SysAllocStringLen(u"abc", 2);
    ASSERT_NE(s, nullptr);
    uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<char*>(s) - 4, 4);
    EXPECT_EQ(prefix, 4u);
    EXPECT_EQ(SysStringLen(s), 2u);
    EXPECT_EQ(textOf(s), u"ab");
    EXPECT_EQ(s[2], 0);
    SysFreeString(s);

    BSTR blank = SysAllocStringLen(nullptr, 3);
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(textOf(blank), std::u16string(3, u'\0'));
    SysFreeString(blank);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
}

TEST(Variant, ChangeTypeToText) {
    const struct {
        VARIANT value;
        const char16_t* text;
    } rows[] = {
        {make(VT_EMPTY, [](VARIANT&) {}), u""},
        {make(VT_I1, [](VARIANT& v) { v.cVal = -1; }), u"-1"},
        {make(VT_UI1, [](VARIANT& v) { v.bVal = 255; }), u"255"},
        {make(VT_I2, [](VARIANT& v) { v.iVal = -32768; }), u"-32768"},
        {make(VT_UI2, [](VARIANT& v) { v.uiVal = 65535; }), u"65535"},
        {make(VT_I4, [](VARIANT& v) { v.lVal = -5; }), u"-5"},
        {make(VT_UI4, [](VARIANT& v) { v.ulVal = 4294967295u; }), u"4294967295"},
        {make(VT_INT, [](VARIANT& v) { v.intVal = 1234567; }), u"1234567"},
        {make(VT_UINT, [](VARIANT& v) { v.uintVal = 7; }), u"7"},
        {make(VT_I8, [](VARIANT& v) { v.llVal = std::numeric_limits<int64_t>::min(); }),
         u"-9223372036854775808"},
        {make(VT_UI8, [](VARIANT& v) { v.ullVal = ~0ull; }), u"18446744073709551615"},
        {make(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }), u"-1"},
        {make(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_FALSE; }), u"0"},
        {make(VT_R8, [](VARIANT& v) { v.dblVal = -2.25; }), u"-2.25"},
        {make(VT_R8, [](VARIANT& v) { v.dblVal = 1.0 / 3; }), u"0.333333333333333"},
        {make(VT_R8, [](VARIANT& v) { v.dblVal = 1e20; }), u"1E+20"},
        {make(VT_R8, [](VARIANT& v) { v.dblVal = 123456789012.5; }), u"123456789012.5"},
        {make(VT_R4, [](VARIANT& v) { v.fltVal = 0.1f; }), u"0.1"},
        {make(VT_DATE, [](VARIANT& v) { v.date = 45351.5; }), u"29.02.2024 12:00:00"},
        {make(VT_DATE, [](VARIANT& v) { v.date = 45351.0; }), u"29.02.2024"},
        {make(VT_DATE, [](VARIANT& v) { v.date = 0.75; }), u"18:00:00"},
        {make(VT_DATE, [](VARIANT& v) { v.date = -1.25; }), u"29.12.1899 06:00:00"},
        {make(VT_DATE, [](VARIANT& v) { v.date = 2958465.99999999; }), u"31.12.9999 23:59:59"},
    };
    for (const auto& row : rows) {
        Var out;
        ASSERT_EQ(VariantChangeType(&out.v, &row.value, 0, VT_BSTR), S_OK) << row.value.vt;
        EXPECT_EQ(out.v.vt, VT_BSTR);
        EXPECT_EQ(textOf(out.v.bstrVal), row.text) << row.value.vt;
    }
}

TEST(Variant, ChangeTypeFailuresAndInPlace) {
    const struct {
        VARTYPE vt;
        HRESULT hr;
    } rows[] = {
        {VT_NULL, DISP_E_TYPEMISMATCH},
        {VT_ERROR, DISP_E_TYPEMISMATCH},
        {VARTYPE(0x99), DISP_E_BADVARTYPE},
    };
    for (const auto& row : rows) {
        VARIANT in = make(row.vt, [](VARIANT&) {});
        Var out;
        EXPECT_EQ(VariantChangeType(&out.v, &in, 0, VT_BSTR), row.hr) << row.vt;
        EXPECT_EQ(out.v.vt, VT_EMPTY);
    }
    SAFEARRAYBOUND bound{2, 0};
    Var array;
    array.v.vt = VT_ARRAY | VT_UI1;
    array.v.parray = SafeArrayCreate(VT_UI1, 1, &bound);
    Var out;
    EXPECT_EQ(VariantChangeType(&out.v, &array.v, 0, VT_BSTR), DISP_E_TYPEMISMATCH);

    Var v;
    v.v.vt = VT_I4;
    v.v.lVal = 42;
    ASSERT_EQ(VariantChangeType(&v.v, &v.v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(textOf(v.v.bstrVal), u"42");
}

TEST(Variant, CopyIsDeep) {
    Var source;
    source.v.vt = VT_BSTR;
    source.v.bstrVal = SysAllocString(u"Ёж");
    Var copy;
    ASSERT_EQ(VariantCopy(&copy.v, &source.v), S_OK);
    ASSERT_EQ(copy.v.vt, VT_BSTR);
    EXPECT_NE(copy.v.bstrVal, source.v.bstrVal);
    copy.v.bstrVal[0] = u'Е';
    EXPECT_EQ(textOf(source.v.bstrVal), u"Ёж");

    SAFEARRAYBOUND bound{3, 0};
    Var array;
    array.v.vt = VT_ARRAY | VT_UI1;
    array.v.parray = SafeArrayCreate(VT_UI1, 1, &bound);
    static_cast<BYTE*>(array.v.parray->pvData)[1] = 7;
    ASSERT_EQ(VariantCopy(&copy.v, &array.v), S_OK);  // clears the BSTR it held
    ASSERT_NE(copy.v.parray, array.v.parray);
    EXPECT_EQ(static_cast<BYTE*>(copy.v.parray->pvData)[1], 7);
}

// Arrays of VARIANTs own their elements: a copy is deep down to nested arrays, and clearing the
// holder frees every element (the leak checker of the sanitizer build sees any left behind).
TEST(Variant, ArraysOfVariants) {
    SAFEARRAYBOUND bound{3, 0};
    SAFEARRAY* inner = SafeArrayCreate(VT_VARIANT, 1, &bound);
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->cbElements, sizeof(VARIANT));
    auto* innerItems = static_cast<VARIANT*>(inner->pvData);
    for (ULONG i = 0; i < bound.cElements; ++i) EXPECT_EQ(innerItems[i].vt, VT_EMPTY) << i;
    innerItems[0].vt = VT_BSTR;
    innerItems[0].bstrVal = SysAllocString(u"вложенный");

    Var outer;
    outer.v.vt = VT_ARRAY | VT_VARIANT;
    outer.v.parray = SafeArrayCreate(VT_VARIANT, 1, &bound);
    ASSERT_NE(outer.v.parray, nullptr);
    auto* items = static_cast<VARIANT*>(outer.v.parray->pvData);
    items[0].vt = VT_BSTR;
    items[0].bstrVal = SysAllocString(u"первый");
    items[1].vt = VT_ARRAY | VT_VARIANT;
    items[1].parray = inner;
    items[2].vt = VT_I4;
    items[2].lVal = -5;

    Var copy;
    ASSERT_EQ(VariantCopy(&copy.v, &outer.v), S_OK);
    ASSERT_EQ(copy.v.vt, VT_ARRAY | VT_VARIANT);
    ASSERT_NE(copy.v.parray, outer.v.parray);
    auto* copied = static_cast<VARIANT*>(copy.v.parray->pvData);
    ASSERT_EQ(copied[0].vt, VT_BSTR);
    EXPECT_NE(copied[0].bstrVal, items[0].bstrVal);
    EXPECT_EQ(textOf(copied[0].bstrVal), u"первый");
    ASSERT_EQ(copied[1].vt, VT_ARRAY | VT_VARIANT);
    ASSERT_NE(copied[1].parray, inner);
    auto* copiedInner = static_cast<VARIANT*>(copied[1].parray->pvData);
    ASSERT_EQ(copiedInner[0].vt, VT_BSTR);
    EXPECT_NE(copiedInner[0].bstrVal, innerItems[0].bstrVal);
    EXPECT_EQ(textOf(copiedInner[0].bstrVal), u"вложенный");
    EXPECT_EQ(copiedInner[1].vt, VT_EMPTY);
    EXPECT_EQ(copied[2].vt, VT_I4);
    EXPECT_EQ(copied[2].lVal, -5);

    // An element of a type no VARIANT may hold fails the copy and leaves the target empty.
    items[2].vt = VT_VARIANT;
    Var failed;
    EXPECT_EQ(VariantCopy(&failed.v, &outer.v), DISP_E_BADVARTYPE);
    EXPECT_EQ(failed.v.vt, VT_EMPTY);
    items[2].vt = VT_I4;

    // A locked array is not destroyed, neither directly nor through its holder.
    ASSERT_EQ(SafeArrayLock(copy.v.parray), S_OK);
    EXPECT_EQ(VariantClear(&copy.v), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(copy.v.vt, VT_ARRAY | VT_VARIANT);
    ASSERT_EQ(SafeArrayUnlock(copy.v.parray), S_OK);
}

TEST(VariantTime, KnownDates) {
    const struct {
        DATE date;
        SYSTEMTIME time;
    } rows[] = {
        {0.0, {1899, 12, 6, 30, 0, 0, 0, 0}},
        {2.0, {1900, 1, 1, 1, 0, 0, 0, 0}},
        {-1.25, {1899, 12, 5, 29, 6, 0, 0, 0}},
        {45351.5, {2024, 2, 4, 29, 12, 0, 0, 0}},
        {45351.5 + 123.0 / 86400000, {2024, 2, 4, 29, 12, 0, 0, 123}},
        {36526.9999999999, {2000, 1, 0, 2, 0, 0, 0, 0}},  // rounds up into the next day
        {-657434.0, {100, 1, 5, 1, 0, 0, 0, 0}},
        {2958465.0, {9999, 12, 5, 31, 0, 0, 0, 0}},
    };
    for (const auto& row : rows) {
        SYSTEMTIME out{};
        ASSERT_TRUE(VariantTimeToSystemTime(row.date, &out)) << row.date;
        EXPECT_EQ(std::memcmp(&out, &row.time, sizeof(out)), 0)
            << row.date << ": " << out.wYear << "-" << out.wMonth << "-" << out.wDay << " " << out.wHour
            << ":" << out.wMinute << ":" << out.wSecond << "." << out.wMilliseconds << " dow "
            << out.wDayOfWeek;
        if (row.date == 36526.9999999999) continue;
        DATE back = 0;
        ASSERT_TRUE(SystemTimeToVariantTime(&row.time, &back));
        EXPECT_NEAR(back, row.date, 1e-9) << row.date;
    }
    SYSTEMTIME out{};
    for (DATE bad : {-657434.5, 2958466.0, std::nan("")})
        EXPECT_FALSE(VariantTimeToSystemTime(bad, &out)) << bad;
    DATE date;
    const SYSTEMTIME early{99, 12, 0, 31, 0, 0, 0, 0}, badDay{2023, 2, 0, 29, 0, 0, 0, 0};
    EXPECT_FALSE(SystemTimeToVariantTime(&early, &date));
    EXPECT_FALSE(SystemTimeToVariantTime(&badDay, &date));
}

TEST(SafeArray, LocksAndData) {
    SAFEARRAYBOUND bound{4, 0};
    SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(array->cDims, 1);
    EXPECT_EQ(array->cbElements, 1u);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
    std::memcpy(data, "\x01\x02\x03\x04", 4);
    EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnaccessData(array), S_OK);
    EXPECT_EQ(SafeArrayUnlock(array), E_UNEXPECTED);
    EXPECT_EQ(static_cast<BYTE*>(array->pvData)[3], 4);
    EXPECT_EQ(SafeArrayDestroy(array), S_OK);

    SAFEARRAYBOUND none{0, 0};
    SAFEARRAY* empty = SafeArrayCreate(VT_UI1, 1, &none);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
    SAFEARRAYBOUND two[2] = {{1, 0}, {1, 0}};
    EXPECT_EQ(SafeArrayCreate(VT_UI1, 2, two), nullptr);
}

TEST(ErrorInfo, ThreadSlotHandsOutAndTakesBack) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    ASSERT_EQ(create->SetDescription(u"Ошибка"), S_OK);
    IErrorInfo* info = nullptr;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    void* other = nullptr;
    EXPECT_EQ(create->QueryInterface(IID_IUnknown, &other), S_OK);
    static_cast<IUnknown*>(other)->Release();
    EXPECT_EQ(create->QueryInterface(GUID{1, 2, 3, {}}, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(SetErrorInfo(0, info), S_OK);
    create->Release();
    info->Release();  // the thread's slot keeps the object alive

    // Reading without consuming: take it, read it, put it back.
    for (int round = 0; round < 2; ++round) {
        IErrorInfo* taken = nullptr;
        ASSERT_EQ(GetErrorInfo(0, &taken), S_OK);
        ASSERT_NE(taken, nullptr);
        BSTR description = nullptr;
        ASSERT_EQ(taken->GetDescription(&description), S_OK);
        EXPECT_EQ(textOf(description), u"Ошибка");
        SysFreeString(description);
        EXPECT_EQ(SetErrorInfo(0, taken), S_OK);
        taken->Release();
    }

    HRESULT otherThread = S_OK;
    std::thread([&] {
        IErrorInfo* none = nullptr;
        otherThread = GetErrorInfo(0, &none);
    }).join();
    EXPECT_EQ(otherThread, S_FALSE);

    IErrorInfo* taken = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &taken), S_OK);
    taken->Release();
    EXPECT_EQ(GetErrorInfo(0, &taken), S_FALSE);  // consumed
    EXPECT_EQ(taken, nullptr);
}
