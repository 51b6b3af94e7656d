// Registry access of the library. Opening a key falls back to the 32-bit view and then to the
// maker's older key word "\Vsks\" in place of "\Voskel\"; a key found only under the older word is
// merged once into the new name. Reading a value falls back the same way. Creating a key also
// switches registry reflection on for it. Results are Win32 codes (0 for success); nothing here
// raises.
#pragma once

#include <vsk/platform/registry.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/error.h>
#include <vsk/utils/string.h>

namespace Vsk::InternalUtils {

// Opens `subKey` with the fall-backs; on success `*key` holds the open key (the key under the older
// name when it could not be merged into the new one).
LONG regOpenKeyEx(HKEY root, const WCHAR* subKey, DWORD options, REGSAM access, HKEY* key);
LONG regOpenKey(HKEY root, const WCHAR* subKey, REGSAM access, HKEY* key);

// RegCreateKeyExW, then reflection switched on for the new key (a failure of that is only logged).
// No fall-backs: keys are always created under the path given.
LONG regCreateKeyEx(HKEY root, const WCHAR* subKey, DWORD reserved, WCHAR* keyClass, DWORD options,
                    REGSAM access, SECURITY_ATTRIBUTES* security, HKEY* key, DWORD* disposition);
LONG regCreateKey(HKEY root, const WCHAR* subKey, REGSAM access, HKEY* key, DWORD* disposition = nullptr);

// Closes the key held in `*key` and nulls the variable, also when the close fails; 0 for a null
// variable.
LONG regCloseKey(HKEY* key);

// The value's bytes whatever its type; empty on failure. `*code` (may be null) receives the result of
// the last RegQueryValueExW.
Utils::CDataBlob regQueryValue(HKEY key, const WCHAR* valueName, LONG* code);

// Reads `valueName` of `subKey` under `root` with every fall-back. `*code` (may be null) receives 0
// or the Win32 code of the failure; `*failureText` (when given) a description of a failure.
Utils::CDataBlob regReadValueEx(const WCHAR* subKey, const WCHAR* valueName, HKEY root, LONG* code,
                                Utils::CWString* failureText = nullptr);
// regReadValueEx; a failure is handed to `*error` (when given) as a CError of the failure text and the
// code. A missing key or value is never raised: it reads as an empty blob.
Utils::CDataBlob regReadValue(const WCHAR* subKey, const WCHAR* valueName, HKEY root,
                              Utils::CError* error = nullptr);

// The one-time migration of a key kept under the older name: values and subkeys of `source` that
// `destination` lacks are copied into it; values already present under the new name are kept.
LONG regCopyKey(HKEY root, const WCHAR* source, const WCHAR* destination);

// Sets a REG_SZ value of `text` with its terminating NUL (2 x (length + 1) bytes). The result of the
// write is not reported.
void regWriteString(HKEY key, const WCHAR* valueName, const Utils::CWString& text);

// The path with every "\Voskel\" (exactly so, case-sensitive) replaced by "\Vsks\"; empty when the
// path holds no such occurrence.
Utils::CWString regOldKeyPath(const WCHAR* subKey);

}  // namespace Vsk::InternalUtils
