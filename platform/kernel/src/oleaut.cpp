#include "calendar.h"

#include <vsk/platform/kernel.h>
#include <vsk/platform/oleaut.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

using namespace vsk::kernel;

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IErrorInfo = {0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
const IID IID_ICreateErrorInfo = {
    0x22F03340, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};

// ---- BSTR ----------------------------------------------------------------------------------------------

namespace {

using BstrPrefix = uint32_t;
// The byte length, the prefix and the NUL must fit the 32-bit prefix.
constexpr UINT MaxBstrLength = (UINT32_MAX - sizeof(BstrPrefix) - sizeof(OLECHAR)) / sizeof(OLECHAR);

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    if (length > MaxBstrLength) return nullptr;
    const size_t bytes = size_t(length) * sizeof(OLECHAR);
    auto* raw = static_cast<char*>(std::calloc(1, sizeof(BstrPrefix) + bytes + sizeof(OLECHAR)));
    if (!raw) return nullptr;
    const BstrPrefix prefix = static_cast<BstrPrefix>(bytes);
    std::memcpy(raw, &prefix, sizeof(prefix));
    auto* s = reinterpret_cast<BSTR>(raw + sizeof(BstrPrefix));
    if (text) std::memcpy(s, text, bytes);
    return s;
}

BSTR SysAllocString(const OLECHAR* text) {
    return text ? SysAllocStringLen(text, static_cast<UINT>(wcslen16(text))) : nullptr;
}

void SysFreeString(BSTR text) {
    if (text) std::free(reinterpret_cast<char*>(text) - sizeof(BstrPrefix));
}

UINT SysStringLen(BSTR text) {
    if (!text) return 0;
    BstrPrefix prefix;
    std::memcpy(&prefix, reinterpret_cast<const char*>(text) - sizeof(BstrPrefix), sizeof(prefix));
    return prefix / sizeof(OLECHAR);
}

// ---- SAFEARRAY -------------------------------------------------------------------------------------------

namespace {

// The array's element type is kept next to it.
struct ArrayBlock {
    SAFEARRAY array;
    VARTYPE vt;
};

constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_VARIANT = 0x0800;
// SafeArrayLock counts in a 32-bit field but the platform caps the nesting here.
constexpr ULONG MaxLocks = 65535;

ULONG elementSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_R8:
        case VT_DATE:
        case VT_I8:
        case VT_UI8:
            return 8;
        case VT_BSTR:
            return sizeof(BSTR);
        case VT_VARIANT:
            return sizeof(VARIANT);
        default:
            return 0;
    }
}

VARTYPE arrayType(const SAFEARRAY* array) {
    return reinterpret_cast<const ArrayBlock*>(array)->vt;
}

HRESULT copyArray(SAFEARRAY* source, SAFEARRAY** out) {
    SAFEARRAY* copy = SafeArrayCreate(arrayType(source), 1, source->rgsabound);
    if (!copy) return E_OUTOFMEMORY;
    const ULONG count = source->rgsabound[0].cElements;
    if (arrayType(source) == VT_BSTR) {
        auto* from = static_cast<BSTR*>(source->pvData);
        auto* to = static_cast<BSTR*>(copy->pvData);
        for (ULONG i = 0; i < count; ++i) {
            if (!from[i]) continue;
            to[i] = SysAllocStringLen(from[i], SysStringLen(from[i]));
            if (!to[i]) {
                SafeArrayDestroy(copy);
                return E_OUTOFMEMORY;
            }
        }
    } else if (arrayType(source) == VT_VARIANT) {
        auto* from = static_cast<const VARIANT*>(source->pvData);
        auto* to = static_cast<VARIANT*>(copy->pvData);
        for (ULONG i = 0; i < count; ++i) {
            if (HRESULT hr = VariantCopy(&to[i], &from[i]); FAILED(hr)) {
                SafeArrayDestroy(copy);
                return hr;
            }
        }
    } else if (count != 0) {
        std::memcpy(copy->pvData, source->pvData, size_t(count) * source->cbElements);
    }
    *out = copy;
    return S_OK;
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds) {
    const ULONG size = elementSize(vt);
    if (dims != 1 || !bounds || size == 0) return nullptr;
    auto* block = static_cast<ArrayBlock*>(std::calloc(1, sizeof(ArrayBlock)));
    // At least one element's room, so that even an empty array has data to point at.
    void* data = std::calloc(bounds[0].cElements ? bounds[0].cElements : 1, size);
    if (!block || !data) {
        std::free(block);
        std::free(data);
        return nullptr;
    }
    block->vt = vt;
    SAFEARRAY& array = block->array;
    array.cDims = 1;
    array.fFeatures = vt == VT_BSTR ? FADF_BSTR : vt == VT_VARIANT ? FADF_VARIANT : 0;
    array.cbElements = size;
    array.cLocks = 0;
    array.pvData = data;
    array.rgsabound[0] = bounds[0];
    return &array;
}

HRESULT SafeArrayLock(SAFEARRAY* array) {
    if (!array) return E_INVALIDARG;
    if (array->cLocks >= MaxLocks) return E_UNEXPECTED;
    ++array->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* array) {
    if (!array) return E_INVALIDARG;
    if (array->cLocks == 0) return E_UNEXPECTED;
    --array->cLocks;
    return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
    if (!array) return S_OK;
    if (array->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    if (arrayType(array) == VT_BSTR) {
        auto* items = static_cast<BSTR*>(array->pvData);
        for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) SysFreeString(items[i]);
    } else if (arrayType(array) == VT_VARIANT) {
        // An element that cannot be cleared (a locked nested array) is left behind, as the platform does.
        auto* items = static_cast<VARIANT*>(array->pvData);
        for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) VariantClear(&items[i]);
    }
    std::free(array->pvData);
    std::free(reinterpret_cast<ArrayBlock*>(array));
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
    if (!array || !data) return E_INVALIDARG;
    HRESULT hr = SafeArrayLock(array);
    if (SUCCEEDED(hr)) *data = array->pvData;
    return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) {
    return SafeArrayUnlock(array);
}

// ---- VARIANT ---------------------------------------------------------------------------------------------

namespace {

bool isScalarType(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_DATE:
        case VT_BSTR:
        case VT_ERROR:
        case VT_BOOL:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

bool isValidType(VARTYPE vt) {
    if (vt & VT_ARRAY) return elementSize(static_cast<VARTYPE>(vt & ~VT_ARRAY)) != 0;
    return isScalarType(vt);
}

// DATE's range on the platform: 0100-01-01 to 9999-12-31.
constexpr DATE MinDate = -657434.0;
constexpr DATE MaxDate = 2958465.99999999;
constexpr int64_t MillisecondsPerDay = 86'400'000;
// 1899-12-30, day 0 of DATE, counted from 1970-01-01.
constexpr int64_t DateEpochDays = -25'569;
static_assert(DaysFromCivil(100, 1, 1) - DaysFromCivil(1899, 12, 30) == -657434);
static_assert(DaysFromCivil(9999, 12, 31) - DaysFromCivil(1899, 12, 30) == 2958465);

// Milliseconds since 1899-12-30 00:00, rounded to the nearest. The whole part counts days (towards
// zero) and the fraction is the time of that day, also for negative dates: -1.25 is 1899-12-29 06:00.
bool dateToMilliseconds(DATE date, int64_t& ms) {
    if (!(date >= MinDate && date <= MaxDate)) return false;
    const double whole = std::trunc(date);
    const double fraction = std::fabs(date - whole);
    ms = static_cast<int64_t>(whole) * MillisecondsPerDay + std::llround(fraction * MillisecondsPerDay);
    return true;
}

// Locale-free number texts: digits, '-', '.', no grouping.
template <typename T>
std::string integerText(T value) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof(digits), value);
    return std::string(digits, result.ptr);
}

// As the platform writes them: up to 15 (double) or 7 (float) significant digits, upper-case
// exponent.
std::string realText(double value, int precision) {
    if (value == 0) return "0";
    char digits[40];
    auto result =
        std::to_chars(digits, digits + sizeof(digits), value, std::chars_format::general, precision);
    std::string text(digits, result.ptr);
    for (char& c : text)
        if (c == 'e') c = 'E';
    return text;
}

void putTwoDigits(std::string& text, unsigned value) {
    text += static_cast<char>('0' + value / 10 % 10);
    text += static_cast<char>('0' + value % 10);
}

// The program's date form, dd.mm.yyyy hh:mm:ss, rounded to the second. As on the platform, a time of
// midnight is left out, and so is the date of day 0 (1899-12-30).
bool dateText(DATE date, std::string& text) {
    int64_t ms;
    if (!dateToMilliseconds(date, ms)) return false;
    // Rounding must not carry the last second of 9999 into a five-digit year.
    constexpr int64_t LastSecond = static_cast<int64_t>(MaxDate) * 86400 + 86399;
    const int64_t seconds = std::min(FloorDiv(ms + 500, 1000), LastSecond);
    const int64_t days = FloorDiv(seconds, 86400);
    const auto secondOfDay = static_cast<unsigned>(seconds - days * 86400);
    if (days != 0) {
        const CivilDate civil = CivilFromDays(days + DateEpochDays);
        putTwoDigits(text, civil.day);
        text += '.';
        putTwoDigits(text, civil.month);
        text += '.';
        putTwoDigits(text, static_cast<unsigned>(civil.year / 100));
        putTwoDigits(text, static_cast<unsigned>(civil.year % 100));
        if (secondOfDay == 0) return true;
        text += ' ';
    }
    putTwoDigits(text, secondOfDay / 3600);
    text += ':';
    putTwoDigits(text, secondOfDay / 60 % 60);
    text += ':';
    putTwoDigits(text, secondOfDay % 60);
    return true;
}

BSTR bstrFromAscii(const std::string& text) {
    BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
    if (s)
        for (size_t i = 0; i < text.size(); ++i) s[i] = static_cast<unsigned char>(text[i]);
    return s;
}

// The text of a scalar value; VT_BSTR sources are copied by the caller.
HRESULT textOf(const VARIANT& v, std::string& text) {
    switch (v.vt) {
        case VT_EMPTY:
            return S_OK;
        case VT_I1:
            text = integerText(static_cast<signed char>(v.cVal));
            return S_OK;
        case VT_UI1:
            text = integerText(v.bVal);
            return S_OK;
        case VT_I2:
            text = integerText(v.iVal);
            return S_OK;
        case VT_UI2:
            text = integerText(v.uiVal);
            return S_OK;
        case VT_I4:
            text = integerText(v.lVal);
            return S_OK;
        case VT_UI4:
            text = integerText(v.ulVal);
            return S_OK;
        case VT_INT:
            text = integerText(v.intVal);
            return S_OK;
        case VT_UINT:
            text = integerText(v.uintVal);
            return S_OK;
        case VT_I8:
            text = integerText(v.llVal);
            return S_OK;
        case VT_UI8:
            text = integerText(v.ullVal);
            return S_OK;
        // Without VARIANT_ALPHABOOL the platform writes the number: VARIANT_TRUE is "-1".
        case VT_BOOL:
            text = integerText(v.boolVal);
            return S_OK;
        case VT_R4:
            text = realText(v.fltVal, 7);
            return S_OK;
        case VT_R8:
            text = realText(v.dblVal, 15);
            return S_OK;
        case VT_DATE:
            return dateText(v.date, text) ? S_OK : E_INVALIDARG;
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

}  // namespace

void VariantInit(VARIANT* v) {
    std::memset(v, 0, sizeof(*v));
}

HRESULT VariantClear(VARIANT* v) {
    if (!v) return E_INVALIDARG;
    if (!isValidType(v->vt)) return DISP_E_BADVARTYPE;
    if (v->vt & VT_ARRAY) {
        HRESULT hr = SafeArrayDestroy(v->parray);
        if (FAILED(hr)) return hr;
    } else if (v->vt == VT_BSTR) {
        SysFreeString(v->bstrVal);
    }
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
    if (!dest || !src) return E_INVALIDARG;
    if (dest == src) return S_OK;
    if (!isValidType(src->vt)) return DISP_E_BADVARTYPE;
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) return hr;
    VARIANT copy = *src;
    if (src->vt & VT_ARRAY) {
        if (src->parray && FAILED(hr = copyArray(src->parray, &copy.parray))) return hr;
    } else if (src->vt == VT_BSTR && src->bstrVal) {
        copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
        if (!copy.bstrVal) return E_OUTOFMEMORY;
    }
    *dest = copy;
    return S_OK;
}

// Only conversions to VT_BSTR (and to the type a value already has) are implemented.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT /*flags*/, VARTYPE vt) {
    if (!dest || !src) return E_INVALIDARG;
    if (!isValidType(src->vt) || !isValidType(vt)) return DISP_E_BADVARTYPE;
    if (vt == src->vt) return VariantCopy(dest, src);
    if (vt != VT_BSTR) return E_NOTIMPL;
    std::string text;
    if (HRESULT hr = textOf(*src, text); FAILED(hr)) return hr;
    BSTR converted = bstrFromAscii(text);
    if (!converted) return E_OUTOFMEMORY;
    if (HRESULT hr = VariantClear(dest); FAILED(hr)) {
        SysFreeString(converted);
        return hr;
    }
    dest->vt = VT_BSTR;
    dest->bstrVal = converted;
    return S_OK;
}

INT VariantTimeToSystemTime(DATE time, SYSTEMTIME* out) {
    int64_t ms;
    if (!out || !dateToMilliseconds(time, ms)) return FALSE;
    const int64_t days = FloorDiv(ms, MillisecondsPerDay);
    const auto inDay = static_cast<unsigned>(ms - days * MillisecondsPerDay);
    const CivilDate civil = CivilFromDays(days + DateEpochDays);
    out->wYear = static_cast<WORD>(civil.year);
    out->wMonth = static_cast<WORD>(civil.month);
    out->wDay = static_cast<WORD>(civil.day);
    out->wDayOfWeek = static_cast<WORD>(DayOfWeek(days + DateEpochDays));
    out->wHour = static_cast<WORD>(inDay / 3'600'000);
    out->wMinute = static_cast<WORD>(inDay / 60'000 % 60);
    out->wSecond = static_cast<WORD>(inDay / 1000 % 60);
    out->wMilliseconds = static_cast<WORD>(inDay % 1000);
    return TRUE;
}

INT SystemTimeToVariantTime(const SYSTEMTIME* time, DATE* out) {
    if (!time || !out) return FALSE;
    const SYSTEMTIME& st = *time;
    if (st.wYear < 100 || st.wYear > 9999 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour >= 24 || st.wMinute >= 60 ||
        st.wSecond >= 60 || st.wMilliseconds >= 1000)
        return FALSE;
    const double days = static_cast<double>(DaysFromCivil(st.wYear, st.wMonth, st.wDay) - DateEpochDays);
    const double fraction =
        ((st.wHour * 60.0 + st.wMinute) * 60.0 + st.wSecond + st.wMilliseconds / 1000.0) / 86400.0;
    *out = days >= 0 ? days + fraction : days - fraction;
    return TRUE;
}

// ---- COM error information ---------------------------------------------------------------------------

namespace {

class ErrorInfo final : public IErrorInfo, public ICreateErrorInfo {
public:
    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IErrorInfo) {
            *out = static_cast<IErrorInfo*>(this);
        } else if (iid == IID_ICreateErrorInfo) {
            *out = static_cast<ICreateErrorInfo*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

    // A null BSTR while no description has been set.
    HRESULT GetDescription(BSTR* description) override {
        if (!description) return E_POINTER;
        *description = nullptr;
        if (!m_hasDescription) return S_OK;
        *description = SysAllocStringLen(m_description.data(), static_cast<UINT>(m_description.size()));
        return *description ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT SetDescription(LPCOLESTR description) override {
        try {
            m_description = description ? description : u"";
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        m_hasDescription = description != nullptr;
        return S_OK;
    }

private:
    std::atomic<ULONG> m_refs{1};
    std::u16string m_description;
    bool m_hasDescription = false;
};

// The thread's error information; the reference it holds is released when the thread ends.
struct ErrorInfoSlot {
    IErrorInfo* info = nullptr;
    ~ErrorInfoSlot() {
        if (info) info->Release();
    }
};
thread_local ErrorInfoSlot t_errorInfo;

}  // namespace

HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** info) {
    if (reserved != 0 || !info) return E_INVALIDARG;
    *info = t_errorInfo.info;
    t_errorInfo.info = nullptr;
    return *info ? S_OK : S_FALSE;
}

HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info) {
    if (reserved != 0) return E_INVALIDARG;
    if (info) info->AddRef();
    IErrorInfo* old = t_errorInfo.info;
    t_errorInfo.info = info;
    if (old) old->Release();
    return S_OK;
}

HRESULT CreateErrorInfo(ICreateErrorInfo** info) {
    if (!info) return E_INVALIDARG;
    auto* object = new (std::nothrow) ErrorInfo();
    *info = object;
    return object ? S_OK : E_OUTOFMEMORY;
}
