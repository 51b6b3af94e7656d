// New GUIDs and their text form.
#pragma once

#include <vsk/platform/types.h>

// A random (version 4) GUID from the kernel's random source. S_OK, or the HRESULT of the read error.
HRESULT CoCreateGuid(GUID* guid);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case; returns 39 (the characters with the NUL),
// or 0 when `size` is smaller.
int StringFromGUID2(const GUID& guid, LPWSTR buffer, int size);
