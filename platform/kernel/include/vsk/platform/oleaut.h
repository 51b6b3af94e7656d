// The small automation types the library uses: BSTR, VARIANT, SAFEARRAY, DATE, and the thread's COM
// error information.
#pragma once

#include <vsk/platform/types.h>

using OLECHAR = WCHAR;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
// A length-prefixed UTF-16 text: the 32-bit byte length lies just before the characters.
using BSTR = OLECHAR*;
// Days since 1899-12-30, the fraction is the time of day.
using DATE = double;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_ERROR = 10,
    VT_BOOL = 11,
    // Only as the element type of an array: VT_ARRAY | VT_VARIANT holds VARIANTs.
    VT_VARIANT = 12,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
};

struct SAFEARRAY;

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1, wReserved2, wReserved3;
    union {
        LONGLONG llVal;
        ULONGLONG ullVal;
        LONG lVal;
        ULONG ulVal;
        SHORT iVal;
        USHORT uiVal;
        char cVal;
        BYTE bVal;
        INT intVal;
        UINT uintVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        LONG scode;
        DATE date;
        BSTR bstrVal;
        SAFEARRAY* parray;
    };
};
using VARIANTARG = VARIANT;

void VariantInit(VARIANT* v);
HRESULT VariantClear(VARIANT* v);
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// Conversions to VT_BSTR from the numeric, boolean ("True"/"False" as -1/0 give "-1"/"0" like the
// platform with flags 0), date and string types; decimal point '.', never a locale's comma.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt);

// DATE <-> SYSTEMTIME. Returns 0 (FALSE) for a DATE outside the platform's range
// (-657434.0 to 2958465.99999999, years 100 to 9999).
INT VariantTimeToSystemTime(DATE time, SYSTEMTIME* out);
INT SystemTimeToVariantTime(const SYSTEMTIME* time, DATE* out);

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};
struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};
// One-dimensional arrays only, of the scalar types above, of BSTR or of VARIANT. Elements start
// zeroed: 0, null BSTRs, VT_EMPTY VARIANTs. Destroying an array of BSTR or VARIANT frees each element
// (VariantClear for VARIANTs, so nested arrays go with it).
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds);
HRESULT SafeArrayLock(SAFEARRAY* array);
HRESULT SafeArrayUnlock(SAFEARRAY* array);
HRESULT SafeArrayDestroy(SAFEARRAY* array);
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
// SafeArrayDestroy of an array that is still locked.
constexpr HRESULT DISP_E_ARRAYISLOCKED = MakeHResult(0x8002000D);

// ---- COM error information ------------------------------------------------------------------------------
// A thread holds at most one error-information object; GetErrorInfo hands it out and clears the
// thread's slot (the caller puts it back to read without consuming).

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID iid, void** out) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};
struct IErrorInfo : IUnknown {
    virtual HRESULT GetDescription(BSTR* description) = 0;

protected:
    ~IErrorInfo() = default;
};
struct ICreateErrorInfo : IUnknown {
    virtual HRESULT SetDescription(LPCOLESTR description) = 0;

protected:
    ~ICreateErrorInfo() = default;
};

extern const IID IID_IUnknown;
extern const IID IID_IErrorInfo;        // {1CF2B120-547D-101B-8E65-08002B2BD119}
extern const IID IID_ICreateErrorInfo;  // {22F03340-547D-101B-8E65-08002B2BD119}

// S_OK with an object (a reference for the caller), S_FALSE with null when there is none.
HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** info);
// Replaces the thread's object (null clears it); the thread takes its own reference.
HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info);
HRESULT CreateErrorInfo(ICreateErrorInfo** info);
