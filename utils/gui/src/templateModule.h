// Where the library's dialog templates come from when "VskTspClient.dll" is absent. Private to the
// library and its tests.
#pragma once

#include <vsk/platform/types.h>

namespace Vsk::InternalUtils {

// The file tried after "VskTspClient.dll" in place of the program's own; null restores the
// program's.
void SetTemplateFallbackModule(const WCHAR* path);

}  // namespace Vsk::InternalUtils
