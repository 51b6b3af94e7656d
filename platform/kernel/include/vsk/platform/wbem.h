// The WMI client interfaces through which the library reads system information: the locator
// (CoCreateInstance of CLSID_WbemLocator), the namespace "ROOT\CIMV2", WQL "SELECT * FROM <class>"
// and the properties of the instances. Only the calls the library makes exist. The answers come from
// Linux: /etc/os-release, /proc/sys/kernel/osrelease and uname, /proc/meminfo, /proc/cpuinfo,
// /sys/class/dmi/id, the locale of the environment (LC_ALL, else LANG) and the local time zone.
//
// Classes, in the order GetNames lists their properties (after the system properties "__GENUS" and
// "__CLASS"); a source that cannot be read gives VT_NULL:
//   Win32_OperatingSystem  Caption (PRETTY_NAME, "Linux" without one), Version (kernel release),
//                          OSArchitecture ("64-bit"/"32-bit"), OSLanguage (LCID, VT_I4), CodeSet
//                          ("1251", the ANSI code page), CountryCode (telephone code), CurrentTimeZone
//                          (minutes east of UTC, VT_I2), Locale (LCID as four hex digits),
//                          ServicePackMajorVersion and ServicePackMinorVersion (0), TotalVirtualMemorySize
//                          (MemTotal + SwapTotal, kB), TotalVisibleMemorySize (MemTotal, kB), MUILanguages
//                          (array of one language tag)
//   Win32_ComputerSystem   Manufacturer (sys_vendor), Model (product_name), NumberOfProcessors
//                          (physical packages), NumberOfLogicalProcessors (processors online)
//   Win32_Processor        one instance per physical package: Caption ("Intel64 Family 6 Model 85
//                          Stepping 7"), Name (model name)
// Integers are VT_I4 unless said otherwise; 64-bit sizes are decimal VT_BSTR texts, as WMI gives them.
#pragma once

#include <vsk/platform/com.h>

constexpr HRESULT WBEM_S_NO_ERROR = MakeHResult(0);
constexpr HRESULT WBEM_S_FALSE = MakeHResult(1);
constexpr HRESULT WBEM_E_FAILED = MakeHResult(0x80041001);
constexpr HRESULT WBEM_E_NOT_FOUND = MakeHResult(0x80041002);
constexpr HRESULT WBEM_E_INVALID_PARAMETER = MakeHResult(0x80041008);
constexpr HRESULT WBEM_E_NOT_SUPPORTED = MakeHResult(0x8004100C);
constexpr HRESULT WBEM_E_INVALID_NAMESPACE = MakeHResult(0x8004100E);
constexpr HRESULT WBEM_E_INVALID_CLASS = MakeHResult(0x80041010);
constexpr HRESULT WBEM_E_INVALID_QUERY = MakeHResult(0x80041017);
constexpr HRESULT WBEM_E_INVALID_QUERY_TYPE = MakeHResult(0x80041018);

constexpr LONG WBEM_INFINITE = -1;
constexpr LONG WBEM_FLAG_RETURN_IMMEDIATELY = 0x10;
constexpr LONG WBEM_FLAG_FORWARD_ONLY = 0x20;
constexpr LONG WBEM_FLAG_ALWAYS = 0;

using CIMTYPE = LONG;

struct IWbemContext;

struct IWbemClassObject : IUnknown {
    // The value of a property (names compare without regard to case) as a VARIANT the caller clears;
    // WBEM_E_NOT_FOUND for a name the class lacks. `value` may be null. Types and flavours are not
    // kept: asking for them fails with WBEM_E_NOT_SUPPORTED.
    virtual HRESULT Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) = 0;
    // The property names, system properties first, as a new array of BSTR with lower bound 0. Only
    // WBEM_FLAG_ALWAYS without a qualifier (WBEM_E_INVALID_PARAMETER otherwise).
    virtual HRESULT GetNames(LPCWSTR qualifierName, LONG flags, VARIANT* qualifierValue,
                             SAFEARRAY** names) = 0;

protected:
    ~IWbemClassObject() = default;
};

struct IEnumWbemClassObject : IUnknown {
    // Up to `count` further instances (references for the caller): WBEM_S_NO_ERROR when all came,
    // WBEM_S_FALSE when fewer did (none at the end). The instances were read when the query ran, so
    // the time-out never expires.
    virtual HRESULT Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) = 0;

protected:
    ~IEnumWbemClassObject() = default;
};

struct IWbemServices : IUnknown {
    // Language "WQL" only (WBEM_E_INVALID_QUERY_TYPE); the query "SELECT * FROM <class>" only
    // (WBEM_E_INVALID_QUERY), keywords and class names without regard to case; an unknown class gives
    // WBEM_E_INVALID_CLASS. The instances are read from their sources now, on the calling thread.
    virtual HRESULT ExecQuery(const BSTR language, const BSTR query, LONG flags, IWbemContext* context,
                              IEnumWbemClassObject** enumerator) = 0;

protected:
    ~IWbemServices() = default;
};

struct IWbemLocator : IUnknown {
    // The local namespace "ROOT\CIMV2" (without regard to case) only: WBEM_E_INVALID_NAMESPACE for
    // any other. The other arguments are not read.
    virtual HRESULT ConnectServer(const BSTR networkResource, const BSTR user, const BSTR password,
                                  const BSTR locale, LONG securityFlags, const BSTR authority,
                                  IWbemContext* context, IWbemServices** services) = 0;

protected:
    ~IWbemLocator() = default;
};

extern const CLSID CLSID_WbemLocator;       // {4590F811-1D3A-11D0-891F-00AA004B2E24}
extern const IID IID_IWbemLocator;          // {DC12A687-737F-11CF-884D-00AA004B2E24}
extern const IID IID_IWbemServices;         // {9556DC99-828C-11CF-A37E-00AA003240C7}
extern const IID IID_IEnumWbemClassObject;  // {027947E1-D731-11CE-A357-000000000001}
extern const IID IID_IWbemClassObject;      // {DC12A681-737F-11CF-884D-00AA004B2E24}
