// The registry: two persistent hives, the current user's and the machine's, each one SQLite database
// (registry.db in the user and machine state folders) shared safely by every process of the user or
// machine. Key and value names are case-insensitive for all of Unicode and keep the case they were
// created with; values keep their type and exact bytes. Result codes are Win32 codes.
#pragma once

#include <vsk/platform/types.h>

using HKEY = struct HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

struct SECURITY_ATTRIBUTES;

// The predefined roots: sign-extended 32-bit values, as a 64-bit process sees them
// (HKEY_CURRENT_USER prints as ffffffff80000001).
inline const HKEY HKEY_CURRENT_USER =
    reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000001u))));
inline const HKEY HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000002u))));

// Access rights.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Key creation.
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Result codes of the registry beyond the common ones of types.h.
constexpr DWORD ERROR_BADDB = 1009;
constexpr DWORD ERROR_REGISTRY_IO_FAILED = 1016;
constexpr DWORD ERROR_KEY_DELETED = 1018;

// Opening and creating keys. A path is relative to `key`, with "\" between key names; an empty or
// null path opens `key` itself again; an empty name inside a path gives 161 (bad path name). With
// KEY_WOW64_32KEY, paths from HKEY_LOCAL_MACHINE that start with "Software" lead to "Software\WOW6432Node";
// the current user's keys are the same in both views. Write access to the machine's keys needs an
// administrator (else 5).
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
// Creates the missing keys along the path; `disposition` (may be null) receives REG_CREATED_NEW_KEY
// or REG_OPENED_EXISTING_KEY. The class text and the security attributes are not kept.
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                        REGSAM access, SECURITY_ATTRIBUTES* security, PHKEY result, DWORD* disposition);
// 0 for a predefined root and for an open key (which is then closed); 6 for anything else.
LSTATUS RegCloseKey(HKEY key);

// Values. A null or empty name is the key's default value. Reading: with a null buffer the size is
// reported; a buffer smaller than the value gives 234 (ERROR_MORE_DATA) with the size needed; the
// type is reported in both cases. The bytes come back exactly as they were set (a string keeps or
// lacks its terminating NUL as its writer gave it).
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name);
// Deletes a key that has no subkeys (5 when it has some).
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey);

// Enumeration in the order of the folded names (case-insensitive alphabetical). `nameChars` holds the
// buffer's room in characters and receives the name's length without the NUL; a buffer too small
// for the name and its NUL gives 234; an index past the end gives 259 (ERROR_NO_MORE_ITEMS). No class
// texts or write times are kept: the class comes back empty and the time as 0.
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* nameChars, DWORD* reserved, LPWSTR keyClass,
                      DWORD* classChars, FILETIME* lastWriteTime);
// The value's type, size and bytes as RegQueryValueExW gives them.
LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, DWORD* nameChars, DWORD* reserved, DWORD* type,
                      BYTE* data, DWORD* size);

// Registry reflection does not exist here: 0 for any valid key.
LONG RegEnableReflectionKey(HKEY key);

// Copies every value and subkey of `sourceKey`\`sourcePath` into `target`, replacing values of the
// same name, in one transaction: the target sees all of the copy or none of it. 2 when the source
// is missing.
LSTATUS SHCopyKeyW(HKEY sourceKey, LPCWSTR sourcePath, HKEY target, DWORD reserved);

// Why a hive cannot be used (corrupt, unreadable, not writable), beyond the code the caller gets, is
// reported once per new failure through ReportPlatformDiagnostic (vsk/platform/diagnostics.h).
